// labels: unit
// The library base: log line format and levels, Q_STR growth and freeing, the
// bounded helpers and the convention messages, JSON wiping, Base64, random
// bytes, digests and the cipher against published vectors.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "kvn_test_util.h"
#include "q_base64.h"
#include "q_common.h"
#include "q_digest.h"
#include "q_log.h"
#include "q_random.h"
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

namespace {
std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}
} // namespace

TEST(Base64, RoundTripsAndRefusesJunk) {
    struct {
        std::string clear, coded;
    } cases[] = {{"", ""},
                 {"f", "Zg=="},
                 {"fo", "Zm8="},
                 {"foo", "Zm9v"},
                 {"user:p@ss", "dXNlcjpwQHNz"},
                 {std::string("\x00\xff\xfe", 3), "AP/+"}};
    for (const auto &c : cases) {
        char enc[64], dec[64];
        EXPECT_EQ(q_base64_encode(c.clear.data(), c.clear.size(), enc, sizeof enc), (long)c.coded.size());
        EXPECT_EQ(std::string(enc), c.coded);
        long n = q_base64_decode(c.coded.data(), c.coded.size(), dec, sizeof dec);
        ASSERT_EQ(n, (long)c.clear.size());
        EXPECT_EQ(std::string(dec, (size_t)n), c.clear);
    }
    char small[4];
    EXPECT_EQ(q_base64_encode("foo", 3, small, sizeof small), -1); // needs 5 with the terminator
    char out[16];
    EXPECT_EQ(q_base64_decode("Zm9v\r\nYg==", 10, out, sizeof out), 4);
    EXPECT_EQ(q_base64_decode("Zm9v*", 5, out, sizeof out), -1);
    EXPECT_EQ(q_base64_decode("Zg==Zg", 6, out, sizeof out), -1);
    EXPECT_EQ(q_base64_decode("Z", 1, out, sizeof out), -1);
    EXPECT_EQ(q_base64_decode("Zm9vYmFy", 8, out, 5), -1);
}

TEST(Random, FillsLargeBuffers) {
    std::string a(100000, '\0'), b(100000, '\0');
    ASSERT_EQ(q_random_bytes(a.data(), a.size()), 0);
    ASSERT_EQ(q_random_bytes(b.data(), b.size()), 0);
    EXPECT_NE(a, b);
    // No long run of zeros survives: the whole buffer was written.
    EXPECT_EQ(a.find(std::string(32, '\0')), std::string::npos);
}

TEST(Digest, KnownAnswers) {
    uint8_t out[64];
    ASSERT_EQ(q_sha1("abc", 3, out), 0);
    EXPECT_EQ(hex(out, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    ASSERT_EQ(q_sha256("abc", 3, out), 0);
    EXPECT_EQ(hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // RFC 2202 and RFC 4231, test case 2.
    const char *data = "what do ya want for nothing?";
    ASSERT_EQ(q_hmac_sha1("Jefe", 4, data, strlen(data), out), 0);
    EXPECT_EQ(hex(out, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    ASSERT_EQ(q_hmac_sha256("Jefe", 4, data, strlen(data), out), 0);
    EXPECT_EQ(hex(out, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // RFC 7914, section 11: PBKDF2-HMAC-SHA256 ("passwd", "salt", 1 iteration).
    ASSERT_EQ(q_pbkdf2_sha256("passwd", 6, "salt", 4, 1, out, 64), 0);
    EXPECT_EQ(hex(out, 64), "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                            "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
}

TEST(Digest, AesGcmVectorsAndTamperedData) {
    // Test cases 13 and 14 of the original GCM paper (all-zero key and nonce).
    uint8_t key[32] = {0}, nonce[12] = {0}, tag[16], ct[16], pt[16] = {0};
    ASSERT_EQ(q_aead_aes256gcm_encrypt(key, nonce, nullptr, 0, nullptr, 0, ct, tag), 0);
    EXPECT_EQ(hex(tag, 16), "530f8afbc74536b9a963b4f1c4cb738b");
    ASSERT_EQ(q_aead_aes256gcm_encrypt(key, nonce, nullptr, 0, pt, 16, ct, tag), 0);
    EXPECT_EQ(hex(ct, 16), "cea7403d4d606b6e074ec5d3baf39d18");
    EXPECT_EQ(hex(tag, 16), "d0d1c8a799996bf0265b98b5d48ab919");

    uint8_t back[16];
    ASSERT_EQ(q_aead_aes256gcm_decrypt(key, nonce, nullptr, 0, ct, 16, tag, back), 0);
    EXPECT_EQ(hex(back, 16), std::string(32, '0'));
    TEST_LOG_CAPTURE cap;
    ct[3] ^= 1;
    memset(back, 0xAA, sizeof back);
    EXPECT_EQ(q_aead_aes256gcm_decrypt(key, nonce, nullptr, 0, ct, 16, tag, back), -1);
    EXPECT_EQ(hex(back, 16), std::string(32, '0')); // no plaintext of a forged message survives
    EXPECT_TRUE(cap.contains("q_aead_aes256gcm_decrypt: tag check failed"));
}
