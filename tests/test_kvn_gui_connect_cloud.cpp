// labels: cloud display
// The connect dialog against the local cloud's Keystone: each way of signing
// in (password by name and by ids, application credential, token), each
// import (openrc, clouds.yaml, the environment), a wrong password that keeps
// the session in place, and a sealed secret that survives a restart.
#include <gtest/gtest.h>

#include <cJSON.h>
#include <csignal>

#include "kvn_cloud_test.h"
#include "kvn_jobs.h"
#include "kvn_profile.h"
#include "kvn_session.h"
#include "kvn_test_connect.h"
#include "q_common.h"
#include "q_log.h"

namespace {
std::string openrc_value(const std::string &who, const std::string &name) {
    for (auto &kv : test_cloud_openrc(who))
        if (kv.first == name) return kv.second;
    return "";
}

// Fills the form from a user's openrc file of the local cloud.
void fill(CONNECT_APP &a, const std::string &who, const std::string &name) {
    const KVN_GUI_CONNECT_IDS &ids = a.ids;
    a.set(ids.name, name);
    a.set(ids.auth_url, openrc_value(who, "OS_AUTH_URL"));
    a.set(ids.username, openrc_value(who, "OS_USERNAME"));
    a.set(ids.user_domain, "Default");
    a.set(ids.project_name, openrc_value(who, "OS_PROJECT_NAME"));
    a.set(ids.project_id, "");
    a.set(ids.project_domain, "Default");
    a.set(ids.region, openrc_value(who, "OS_REGION_NAME"));
    a.set(ids.secret, openrc_value(who, "OS_PASSWORD"));
}

// "connected as <user> to project <project> (N endpoints)" with N > 0.
::testing::AssertionResult connected_as(CONNECT_APP &a, const std::string &user, const std::string &project) {
    const std::string want = "connected as " + user + " to project " + project + " (";
    const std::string got = a.message();
    if (got.rfind(want, 0) != 0 || got.find("(0 endpoints)") != std::string::npos)
        return ::testing::AssertionFailure() << "message: " << got;
    if (a.status() != got) return ::testing::AssertionFailure() << "status: " << a.status();
    if (!a.app.session) return ::testing::AssertionFailure() << "no session";
    KVN_SESSION_INFO info;
    kvn_session_info(a.app.session, &info);
    if (user != info.user_name || project != info.project_name)
        return ::testing::AssertionFailure()
               << "session of " << info.user_name << " on " << info.project_name;
    if (a.is_open(a.ids.window)) return ::testing::AssertionFailure() << "the dialog is still open";
    return ::testing::AssertionSuccess();
}

std::string json_field(const std::string &text, const char *key) {
    Q_CJSON root(cJSON_Parse(text.c_str()));
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(root.get(), key);
    return cJSON_IsString(v) ? v->valuestring : "";
}
} // namespace

TEST(ConnectCloud, PasswordByNameAndByIdsAndAWrongOneKeepsTheSession) {
    CONNECT_APP a;
    const int level = get_log_level();
    set_log_level(Q_LOG_DEBUG);
    TEST_LOG_CAPTURE log;
    a.open();
    fill(a, "demo", "demo cloud");
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    set_log_level(level);
    ASSERT_TRUE(connected_as(a, "demo", "demo"));
    EXPECT_EQ(a.changed, 1);
    EXPECT_GT(a.app.session_generation, 0u) << "late answers of before are dropped";
    EXPECT_EQ(a.text(a.ids.secret), "") << "the session holds the secret now, the dialog does not";
    for (const auto &line : log.lines)
        EXPECT_EQ(line.find(openrc_value("demo", "OS_PASSWORD")), std::string::npos) << line;
    // Remembered for the next start.
    kvn_config_load(&a.app.config);
    EXPECT_STREQ(a.app.config.last_profile, "demo cloud");
    EXPECT_TRUE(test_exists(a.profile_file("demo cloud")));

    // A wrong password: the dialog and the status line say so, the session
    // in place stays.
    KVN_SESSION *before = a.app.session;
    a.open();
    a.set(a.ids.secret, "not-the-password");
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_EQ(a.message().rfind("connection failed: authentication failed: HTTP 401: ", 0), 0u)
        << a.message();
    EXPECT_EQ(a.status(), a.message());
    EXPECT_EQ(a.app.status_kind, KVN_STATUS_ERROR);
    EXPECT_EQ(a.app.session, before);
    EXPECT_EQ(a.changed, 1);
    EXPECT_TRUE(a.is_open(a.ids.window));

    // By ids: a user of a domain of its own, the domain typed as its id, the
    // project given by id only.
    const std::string tag = std::to_string(getpid());
    const std::string domain = field("domain create kvn-connect-" + tag + " -f value -c id", "admin");
    ASSERT_EQ(domain.size(), 32u) << domain;
    const std::string user = field("user create --domain " + domain + " --password by-id-pw kvn-connect-" +
                                       tag + " -f value -c id",
                                   "admin");
    const std::string project = field("project show demo -f value -c id", "admin");
    ASSERT_FALSE(user.empty());
    ASSERT_FALSE(project.empty());
    ASSERT_EQ(os_cli("role add --user " + user + " --project " + project + " member", "admin").code, 0);
    fill(a, "demo", "by ids");
    a.set(a.ids.username, "kvn-connect-" + tag);
    a.set(a.ids.user_domain, domain);
    a.set(a.ids.project_name, "");
    a.set(a.ids.project_id, project);
    a.set(a.ids.secret, "by-id-pw");
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "kvn-connect-" + tag, "demo"));
    EXPECT_EQ(a.changed, 2);
    EXPECT_NE(a.app.session, nullptr);
    const std::string saved = test_read_file(a.profile_file("by ids"));
    EXPECT_EQ(json_field(saved, "user_domain_id"), domain);
    EXPECT_EQ(json_field(saved, "project_id"), project);
    kvn_app_disconnect();
    os_cli("user delete " + user, "admin");
    os_cli("domain set --disable " + domain, "admin");
    os_cli("domain delete " + domain, "admin");
}

TEST(ConnectCloud, ApplicationCredentialAndToken) {
    CONNECT_APP a;
    const std::string name = "kvn-connect-ac-" + std::to_string(getpid());
    CLOUD_RESULT cred = os_cli("application credential create " + name + " -f json");
    ASSERT_EQ(cred.code, 0) << cred.out;
    const std::string id = json_field(cred.out, "id"), secret = json_field(cred.out, "secret");
    ASSERT_FALSE(id.empty());

    a.open();
    fill(a, "demo", "");
    a.method(KVN_AUTH_APPCRED);
    a.set(a.ids.cred_id, id);
    a.set(a.ids.project_name, "");
    a.set(a.ids.secret, secret);
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "demo", "demo"));
    os_cli("application credential delete " + name);

    const std::string token = field("token issue -f value -c id");
    ASSERT_FALSE(token.empty());
    a.open();
    fill(a, "demo", "");
    a.method(KVN_AUTH_TOKEN);
    a.set(a.ids.secret, token);
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "demo", "demo"));
    EXPECT_EQ(a.changed, 2);
}

TEST(ConnectCloud, OpenrcCloudsYamlAndTheEnvironment) {
    CONNECT_APP a;
    CLEAN_ENV env;
    a.open();
    a.click(a.ids.import_openrc);
    a.choose(test_cloud_dir() + "/demo-openrc");
    EXPECT_EQ(a.message().rfind("imported ", 0), 0u) << a.message();
    EXPECT_EQ(a.text(a.ids.name), "demo");
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "demo", "demo"));

    a.open();
    a.click(a.ids.import_clouds);
    a.choose(test_cloud_dir() + "/clouds.yaml");
    a.refresh();
    ASSERT_TRUE(a.is_open(a.ids.clouds_window));
    int row = -1;
    for (int i = 0; i < q_gui_listbox_count(a.ctx(), a.ids.clouds_list); i++)
        if (std::string(q_gui_listbox_get_item_text(a.ctx(), a.ids.clouds_list, i)) == "kvn-alt-demo")
            row = i;
    ASSERT_GE(row, 0);
    a.click_row(a.ids.clouds_list, row);
    a.click(a.ids.clouds_import);
    EXPECT_EQ(a.message().rfind("imported cloud kvn-alt-demo (", 0), 0u) << a.message();
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "alt_demo", "alt_demo"));

    // --env: the dialog opens, takes the environment and connects at once.
    for (auto &kv : test_cloud_openrc("demo"))
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
    a.rebuild();
    kvn_gui_connect_from_env();
    a.refresh();
    ASSERT_TRUE(kvn_gui_connect_in_progress()) << a.message();
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "demo", "demo"));
    EXPECT_EQ(a.changed, 3);

    // Started before any window, as the program does with --env: the dialog
    // adopts the token under way. A wrong password answers in the dialog
    // like its own Connect, and nothing else is asked of Keystone.
    setenv("OS_PASSWORD", "not-the-password", 1);
    ASSERT_EQ(kvn_gui_connect_start_env(), 1);
    a.rebuild();
    kvn_gui_connect_from_env();
    a.refresh();
    ASSERT_TRUE(kvn_gui_connect_in_progress()) << a.message();
    ASSERT_TRUE(a.wait_connected());
    EXPECT_EQ(a.message().rfind("connection failed: authentication failed: HTTP 401: ", 0), 0u)
        << a.message();
    EXPECT_EQ(a.changed, 3);
    EXPECT_TRUE(a.is_open(a.ids.window));
    EXPECT_EQ(kvn_jobs_running(nullptr, 0, nullptr), 0);

    setenv("OS_PASSWORD", openrc_value("demo", "OS_PASSWORD").c_str(), 1);
    ASSERT_EQ(kvn_gui_connect_start_env(), 1);
    a.rebuild();
    kvn_gui_connect_from_env();
    a.refresh();
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "demo", "demo"));
    EXPECT_EQ(a.changed, 4);

    // Without a secret nothing starts early; the dialog asks for it.
    unsetenv("OS_PASSWORD");
    EXPECT_EQ(kvn_gui_connect_start_env(), 0);
}

TEST(ConnectCloud, AStoredSecretIsUnlockedAfterARestart) {
    CONNECT_APP a;
    a.open();
    fill(a, "alt_demo", "sealed");
    q_gui_checkbox_set_checked(a.ctx(), a.ids.store, 1);
    a.type(a.ids.master, "correct horse");
    a.click(a.ids.save);
    ASSERT_EQ(a.message(), "profile sealed saved");

    a.rebuild();
    a.open();
    a.click_row(a.ids.list, 0);
    EXPECT_EQ(a.text(a.ids.secret), "");
    // The master password typed, Connect unlocks on its own.
    a.type(a.ids.master, "correct horse");
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_TRUE(connected_as(a, "alt_demo", "alt_demo"));
    EXPECT_EQ(a.text(a.ids.master), "");
}

TEST(ConnectCloud, TheProgramStartedWithEnvConnectsAndLogsNoSecret) {
    TEST_DIR home;
    std::vector<std::string> env = {"KVN_HOME=" + home.path, "-OS_CLOUD", "-OS_CLIENT_CONFIG_FILE"};
    for (auto &kv : test_cloud_openrc("demo"))
        env.push_back(kv.first + "=" + kv.second);
    TEST_PROC p;
    ASSERT_TRUE(test_spawn(&p, {KVN_PROGRAM, "--env", "-v", "4"}, env));
    ASSERT_TRUE(p.wait_for("status: connected as demo to project demo (", 120000)) << p.err;
    ASSERT_TRUE(p.wait_for("status: overview loaded", 120000)) << p.err;
    // The figures came with the token, before the connection was adopted,
    // and the overview showed them without a second round of the same calls.
    const std::string before = p.err.substr(0, p.err.find("status: overview loaded"));
    size_t limits = 0;
    for (size_t at = before.find("/limits -> "); at != std::string::npos;
         at = before.find("/limits -> ", at + 1))
        limits++;
    EXPECT_EQ(limits, 1u) << before;
    EXPECT_LT(before.find("/limits -> "), before.find("status: connected as demo")) << before;
    p.kill_now(SIGTERM);
    EXPECT_EQ(p.wait_exit(30000), 0) << p.err;
    EXPECT_NE(p.err.find("connect dialog closed"), std::string::npos) << "the dialog hides once connected";
    EXPECT_EQ(p.err.find(openrc_value("demo", "OS_PASSWORD")), std::string::npos) << "a secret in the log";
    KVN_CONFIG config;
    setenv("KVN_HOME", home.path.c_str(), 1);
    kvn_paths_init();
    kvn_config_load(&config);
    unsetenv("KVN_HOME");
    EXPECT_STREQ(config.last_profile, "demo");
}

TEST(ConnectCloud, TheTlsFrontWithTheProfilesCaFileAndRegion) {
    CONNECT_APP a;
    a.open();
    fill(a, "demo-tls", "front");
    // Another CA than the front's: the client's verification error, in the
    // dialog and on the status line.
    a.set(a.ids.ca_file, "/etc/ssl/certs/ca-certificates.crt");
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_EQ(a.message().rfind("connection failed: cannot connect to 127.0.0.1:8443", 0), 0u) << a.message();
    EXPECT_NE(a.message().find("verification"), std::string::npos) << a.message();
    EXPECT_EQ(a.status(), a.message());
    EXPECT_EQ(a.app.session, nullptr);

    a.set(a.ids.ca_file, cloud_ca_file());
    a.set(a.ids.secret, openrc_value("demo-tls", "OS_PASSWORD"));
    a.click(a.ids.connect);
    ASSERT_TRUE(a.wait_connected());
    ASSERT_TRUE(connected_as(a, "demo", "demo"));
    char url[KVN_URL_MAX];
    ASSERT_EQ(kvn_session_endpoint(a.app.session, "compute", url, sizeof url), 0);
    EXPECT_EQ(std::string(url).rfind("https://127.0.0.1:8443/", 0), 0u) << url << " (region RegionTLS)";
}
