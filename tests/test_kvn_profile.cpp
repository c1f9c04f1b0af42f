// labels: unit
// The sealed secret and profile files.
#include <gtest/gtest.h>

#include <chrono>

#include "kvn_paths.h"
#include "kvn_profile.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
struct HOME {
    TEST_DIR dir;
    std::string old;
    HOME() {
        const char *o = getenv("KVN_HOME");
        old = o ? o : "";
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
    }
    ~HOME() {
        if (old.empty()) unsetenv("KVN_HOME");
        else setenv("KVN_HOME", old.c_str(), 1);
    }
};
} // namespace

TEST(Vault, SealAndOpen) {
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    std::string secret(1023, 's');
    secret[0] = 'X';
    q_strcpy(p.secret, sizeof p.secret, secret.c_str());

    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(kvn_profile_vault_seal(&p, "master pw"), 0);
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(strncmp(p.vault, "v1:", 3), 0);
    EXPECT_LT(strlen(p.vault), 2048u);
    EXPECT_EQ(std::string(p.vault).find('\n'), std::string::npos);
    kvn_profile_wipe_secret(&p);
    for (char c : p.secret) ASSERT_EQ(c, 0);

    EXPECT_EQ(kvn_profile_vault_open(&p, "wrong"), -1);
    EXPECT_STREQ(p.secret, ""); // untouched by the failed open
    auto t2 = std::chrono::steady_clock::now();
    ASSERT_EQ(kvn_profile_vault_open(&p, "master pw"), 0);
    auto t3 = std::chrono::steady_clock::now();
    EXPECT_EQ(std::string(p.secret), secret);
    printf("vault seal %.0f ms, open %.0f ms\n", std::chrono::duration<double, std::milli>(t1 - t0).count(),
           std::chrono::duration<double, std::milli>(t3 - t2).count());

    // Two seals of the same secret differ (fresh salt and nonce).
    std::string first = p.vault;
    ASSERT_EQ(kvn_profile_vault_seal(&p, "master pw"), 0);
    EXPECT_NE(first, std::string(p.vault));

    // Altered blobs and wrong prefixes are refused without touching the secret.
    std::string sealed = p.vault;
    struct {
        std::string vault;
    } bad[] = {
        {"v2:" + sealed.substr(3)},
        {"V1:" + sealed.substr(3)},
        {sealed.substr(0, 10) + (sealed[10] == 'A' ? "B" : "A") + sealed.substr(11)},
        {"v1:" + std::string(40, 'A')}, // shorter than salt, nonce and tag
        {"v1:!!!!"},
        {""},
    };
    for (auto &b : bad) {
        q_strcpy(p.vault, sizeof p.vault, b.vault.c_str());
        q_strcpy(p.secret, sizeof p.secret, "keep");
        EXPECT_EQ(kvn_profile_vault_open(&p, "master pw"), -1) << b.vault;
        EXPECT_STREQ(p.secret, "keep");
    }
    q_strcpy(p.secret, sizeof p.secret, "x");
    EXPECT_EQ(kvn_profile_vault_seal(&p, ""), -1);
    EXPECT_EQ(kvn_profile_vault_seal(&p, nullptr), -1);
}

TEST(Profile, NamesAndAuthTypes) {
    for (const char *ok : {"prod", "My cloud 2", "a-b_c.d", "x"}) EXPECT_TRUE(kvn_profile_name_valid(ok)) << ok;
    std::string long_ok(247, 'n'), too_long(248, 'n');
    EXPECT_TRUE(kvn_profile_name_valid(long_ok.c_str()));
    for (const char *bad : {"", ".hidden", "..", "a/b", "a\\b", "../x", "tab\t", "\xc3\xa9", "a:b"})
        EXPECT_FALSE(kvn_profile_name_valid(bad)) << bad;
    EXPECT_FALSE(kvn_profile_name_valid(too_long.c_str()));
    EXPECT_FALSE(kvn_profile_name_valid(nullptr));

    struct {
        const char *text;
        int type;
    } rows[] = {{"v3applicationcredential", 1}, {"applicationcredential", 1}, {"v3token", 2}, {"token", 2},
                {"password", 0},                {"v3password", 0},            {nullptr, 0}};
    for (auto &r : rows) EXPECT_EQ(kvn_auth_type_from_text(r.text), r.type) << (r.text ? r.text : "null");
}

TEST(Profile, FilesRoundTripPrivatelyWithoutTheClearSecret) {
    HOME home;
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.name, sizeof p.name, "prod eu");
    q_strcpy(p.auth_url, sizeof p.auth_url, "https://keystone.example:5000/v3");
    p.auth_type = KVN_AUTH_APPCRED;
    q_strcpy(p.application_credential_id, sizeof p.application_credential_id, "ac1");
    q_strcpy(p.region, sizeof p.region, "RegionTwo");
    p.insecure = 1;
    q_strcpy(p.secret, sizeof p.secret, "clear-secret-never-written");
    ASSERT_EQ(kvn_profile_vault_seal(&p, "m"), 0);
    p.store_secret = 1;
    ASSERT_EQ(kvn_profile_save(&p), 0);

    std::string path = home.dir.file("profiles/prod eu.json");
    EXPECT_EQ(test_mode_of(path), 0600);
    std::string text = test_read_file(path);
    EXPECT_EQ(text.find("clear-secret"), std::string::npos);
    EXPECT_NE(text.find("\"auth_type\":\t\"v3applicationcredential\""), std::string::npos) << text;
    EXPECT_EQ(text.find("\"username\""), std::string::npos); // empty texts are left out
    EXPECT_LT(text.find("\"auth_url\""), text.find("\"auth_type\""));
    EXPECT_LT(text.find("\"store_secret\""), text.find("\"vault\""));

    KVN_PROFILE back;
    ASSERT_EQ(kvn_profile_load("prod eu", &back), 0);
    EXPECT_STREQ(back.secret, "");
    q_strcpy(back.secret, sizeof back.secret, p.secret);
    EXPECT_EQ(memcmp(&back, &p, sizeof p), 0);
    ASSERT_EQ(kvn_profile_vault_open(&back, "m"), 0);
    EXPECT_STREQ(back.secret, "clear-secret-never-written");

    // Without store_secret the vault stays out of the file.
    p.store_secret = 0;
    ASSERT_EQ(kvn_profile_save(&p), 0);
    EXPECT_EQ(test_read_file(path).find("\"vault\""), std::string::npos);

    // Names keep files inside profiles/.
    q_strcpy(p.name, sizeof p.name, "../kvn");
    EXPECT_EQ(kvn_profile_save(&p), -1);
    EXPECT_FALSE(test_exists(home.dir.file("kvn.json")));
    EXPECT_EQ(kvn_profile_load("../kvn", &back), -1);
    EXPECT_EQ(kvn_profile_delete("../kvn"), -1);

    q_strcpy(p.name, sizeof p.name, "b");
    ASSERT_EQ(kvn_profile_save(&p), 0);
    q_strcpy(p.name, sizeof p.name, "A");
    ASSERT_EQ(kvn_profile_save(&p), 0);
    test_write_file(home.dir.file("profiles/.json"), "{}");
    test_write_file(home.dir.file("profiles/notes.txt"), "{}");
    char **names = nullptr;
    int n = kvn_profile_list(&names);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(names[0], "A");
    EXPECT_STREQ(names[1], "b");
    EXPECT_STREQ(names[2], "prod eu");
    for (int i = 0; i < n; i++) free(names[i]);
    free(names);

    EXPECT_EQ(kvn_profile_delete("b"), 0);
    EXPECT_EQ(kvn_profile_delete("b"), -1);
}

TEST(Profile, LoadingTextDefaultsAndRefusals) {
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.name, sizeof p.name, "untouched");
    EXPECT_EQ(kvn_profile_from_json("[1]", &p), -1);
    EXPECT_EQ(kvn_profile_from_json("{broken", &p), -1);
    EXPECT_STREQ(p.name, "untouched");

    std::string doc = R"({"auth_url": "u", "interface": "", "insecure": 1, "store_secret": "yes",
                          "username": 5, "secret": "ignored", "project_name": ")" +
                      std::string(300, 'p') + "\"}";
    ASSERT_EQ(kvn_profile_from_json(doc.c_str(), &p), 0);
    EXPECT_STREQ(p.interface, "public");
    EXPECT_EQ(p.insecure, 0);     // only JSON true sets the flags
    EXPECT_EQ(p.store_secret, 0);
    EXPECT_STREQ(p.username, "");
    EXPECT_STREQ(p.secret, "");   // a clear secret in a file is never read
    EXPECT_STREQ(p.user_domain_name, "Default");
    EXPECT_EQ(strlen(p.project_name), 255u);

    HOME home;
    kvn_paths_mkdirs(home.dir.file("profiles").c_str());
    test_write_file(home.dir.file("profiles/noname.json"), R"({"auth_url": "x"})");
    ASSERT_EQ(kvn_profile_load("noname", &p), 0);
    EXPECT_STREQ(p.name, "noname");
}
