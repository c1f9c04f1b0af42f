// labels: unit
// The library base: log line format and levels, Q_STR growth and freeing, the
// bounded helpers and the convention messages.
#include <gtest/gtest.h>

#include <regex>

#include "kvn_test_util.h"
#include "q_common.h"
#include "q_log.h"
#include "q_str.h"

TEST(Log, LineFormatLevelNamesAndFiltering) {
    TEST_LOG_CAPTURE cap;
    set_log_level(Q_LOG_DEBUG);
    const char *names[8] = {"EMERG", "ALERT", "CRITICAL", "ERR", "WARNING", "NOTICE", "INFO", "DEBUG"};
    for (int level = 0; level <= 7; level++) q_log_write(level, "/a/b/mod.cpp", "fn", 42, "n=%d", level);
    ASSERT_EQ(cap.lines.size(), 8u);
    for (int level = 0; level <= 7; level++) {
        // Standard error is not a terminal under ctest, so no colour codes.
        std::regex re(std::string("^") + names[level] + ":[0-9]+:mod\\.cpp->fn:42 n=" + std::to_string(level) + "$");
        EXPECT_TRUE(std::regex_match(cap.lines[level], re)) << cap.lines[level];
    }

    cap.lines.clear();
    set_log_level(Q_LOG_NOTICE);
    q_log(Q_LOG_INFO, "hidden");
    q_log(Q_LOG_NOTICE, "shown");
    q_log_write(Q_LOG_ERR, nullptr, nullptr, 1, "missing names");
    ASSERT_EQ(cap.lines.size(), 2u);
    EXPECT_NE(cap.lines[0].find("shown"), std::string::npos);
    EXPECT_NE(cap.lines[1].find(":NULL->NULL:1 missing names"), std::string::npos);
}

TEST(Str, GrowFormatAppendAndSelfReference) {
    Q_STR *s = new_qstr(2);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->length, 0u);
    EXPECT_STREQ(s->data, "");
    ASSERT_EQ(qstrcat_bytes_ex(s, "abc\0def", 7), 0);
    EXPECT_EQ(s->length, 7u);
    EXPECT_EQ(memcmp(s->data, "abc\0def", 8), 0); // stays zero-terminated after binary bytes
    EXPECT_EQ(s->size, 8u);                       // grown to exactly what is needed

    ASSERT_EQ(qstrprintf_ex(s, "%s-%d", "x", 12), 0);
    EXPECT_STREQ(s->data, "x-12");
    EXPECT_EQ(s->length, 4u);
    ASSERT_EQ(qstrprintf_cat_ex(s, "/%s", "tail"), 0);
    EXPECT_STREQ(s->data, "x-12/tail");

    // An argument that points into the string survives the buffer being replaced.
    ASSERT_EQ(qstrprintf_cat_ex(s, "%s%s%s", s->data, s->data, s->data), 0);
    EXPECT_STREQ(s->data, "x-12/tailx-12/tailx-12/tailx-12/tail");

    Q_STR *c = char_to_qstr("copy");
    EXPECT_EQ(c->length, 4u);
    free_qstr(&c);
    EXPECT_EQ(c, nullptr);

    TEST_LOG_CAPTURE cap;
    set_log_level(Q_LOG_DEBUG);
    free_qstr(&c);
    EXPECT_TRUE(cap.contains("c is already NULL"));
    EXPECT_EQ(qstrcat_bytes_ex(nullptr, "a", 1), -1);
    EXPECT_TRUE(cap.contains("if( !(str) ) assert at line"));
    set_log_level(Q_LOG_NOTICE);
    free_qstr(&s);
}

TEST(Common, BoundedCopiesCutSilently) {
    char buf[5];
    EXPECT_EQ(q_strcpy(buf, sizeof buf, "abcdefgh"), 4u);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(q_strcpy(buf, sizeof buf, nullptr), 0u);
    EXPECT_STREQ(buf, "");
    q_strcpy(buf, sizeof buf, "ab");
    EXPECT_EQ(q_strcat(buf, sizeof buf, "cdef"), 4u);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(q_format(buf, sizeof buf, "%d", 123456), 4u);
    EXPECT_STREQ(buf, "1234");

    char secret[] = "hunter2";
    q_secure_zero_str(secret);
    for (char ch : secret) EXPECT_EQ(ch, 0);
}

TEST(Common, FreeOfAbsentValueIsLoggedNotFatal) {
    TEST_LOG_CAPTURE cap;
    set_log_level(Q_LOG_DEBUG);
    char *p = nullptr;
    Q_FREE(p);
    EXPECT_TRUE(cap.contains("Free( p ) already done or NULL at line"));
    Q_CALLOC(p, 4, char);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[3], 0);
    Q_FREE(p);
    EXPECT_EQ(p, nullptr);
    set_log_level(Q_LOG_NOTICE);
}
