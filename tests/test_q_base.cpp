// labels: unit
// The library base: log line format and levels, Q_STR growth and freeing, the
// bounded helpers and the convention messages.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "kvn_test_util.h"
#include "q_common.h"
#include "q_log.h"
#include "q_str.h"

TEST(Log, LineFormatLevelNamesAndFiltering) {
    TEST_LOG_CAPTURE cap;
    set_log_level(Q_LOG_DEBUG);
    const char *names[8] = {"EMERG", "ALERT", "CRITICAL", "ERR", "WARNING", "NOTICE", "INFO", "DEBUG"};
    for (int level = 0; level <= 7; level++)
        q_log_write(level, "/a/b/mod.cpp", "fn", 42, "n=%d", level);
    ASSERT_EQ(cap.lines.size(), 8u);
    for (int level = 0; level <= 7; level++) {
        // Standard error is not a terminal under ctest, so no colour codes.
        std::regex re(std::string("^") + names[level] +
                      ":[0-9]+:mod\\.cpp->fn:42 n=" + std::to_string(level) + "$");
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
    for (char ch : secret)
        EXPECT_EQ(ch, 0);
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

// A tree that held a password must leave no byte of it behind: every value and
// member name is wiped, nested arrays included, and borrowed literals are left
// alone instead of crashing on read-only memory.
TEST(Json, ScrubZeroesEveryStringOfTheTree) {
    cJSON *root = cJSON_Parse(R"({"auth":{"password":"hunter2","list":["a1","b22",{"k":"v333"}]},"n":5})");
    ASSERT_NE(root, nullptr);
    cJSON_AddItemToObjectCS(root, "const-name", cJSON_CreateStringReference("literal"));
    cJSON *auth = cJSON_GetObjectItem(root, "auth");
    char *pw = cJSON_GetObjectItem(auth, "password")->valuestring;
    size_t pw_len = 7;
    char *inner = cJSON_GetArrayItem(cJSON_GetObjectItem(auth, "list"), 2)->child->valuestring;
    q_json_scrub(root);
    for (size_t i = 0; i < pw_len; i++)
        EXPECT_EQ(pw[i], 0) << i;
    EXPECT_EQ(inner[0], 0);
    EXPECT_EQ(auth->string[0], 0);
    EXPECT_EQ(cJSON_GetArrayItem(root, 1)->valueint, 5);
    q_json_delete_secret(root);
    q_json_delete_secret(nullptr);
}

// The wiping printer must print exactly what cJSON's printer prints, across
// the buffer sizes it grows through.
TEST(Json, SecretPrintingMatchesThePlainPrinterAtEverySize) {
    for (int n : {0, 1, 10, 100, 1000, 20000}) {
        cJSON *root = cJSON_CreateObject();
        std::string big(n, 'x');
        cJSON_AddStringToObject(root, "password", big.c_str());
        cJSON_AddNumberToObject(root, "n", n);
        for (int formatted : {0, 1}) {
            Q_CBUF plain(formatted ? cJSON_Print(root) : cJSON_PrintUnformatted(root));
            Q_SECRET_CBUF secret(q_json_print_secret(root, formatted));
            ASSERT_TRUE(secret) << n;
            EXPECT_STREQ(secret.get(), plain.get()) << n << " formatted " << formatted;
        }
        q_json_delete_secret(root);
    }
    EXPECT_EQ(q_json_print_secret(nullptr, 0), nullptr);
}
