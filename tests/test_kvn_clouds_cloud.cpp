// labels: cloud
// clouds.yaml, secure.yaml and openrc files read two ways against the local
// cloud: imported into a profile and connected with our session, and handed
// to the `openstack` client. Both must land on the same project, user and
// region. The client calls (seconds each) all start first and run side by
// side while our own connections run.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "kvn_clouds.h"
#include "kvn_cloud_test.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_http_client.h"

namespace {
const char *const k_auth = "http://127.0.0.1:5000/v3";
const char *const k_tls_auth = "https://127.0.0.1:8443/identity/v3";

// What the client says after "token issue" and "configuration show", both
// run in one interactive client so the files are read once.
const char *const k_cli_input = "token issue -f json -c project_id -c user_id\n"
                                "configuration show -f json -c region_name -c interface -c verify\n";

struct LANDING {
    std::string project_id, user_id, region, interface, error;
};

struct CASE {
    std::string label;
    std::string cloud;       // a cloud of clouds_file; empty for an openrc case
    std::string clouds_file; // OS_CLIENT_CONFIG_FILE
    std::string openrc;      // an openrc file instead of a cloud
    std::string dir;         // the case's folder: current directory and XDG_CONFIG_HOME
    // A known difference: the reader ignores it by design; only our side is
    // checked, and both outcomes are printed.
    std::string differs;
    FILE *cli = nullptr;
    CLOUD_RESULT cli_out;
    LANDING ours, theirs;
};

// Removes every OS_* variable and sets the search places for our side.
struct ENV_SCOPE {
    std::vector<std::pair<std::string, std::string>> saved;
    std::string old_cwd = std::filesystem::current_path().string();
    ENV_SCOPE() {
        for (char **e = environ; *e; e++) {
            std::string kv = *e;
            size_t eq = kv.find('=');
            if (eq != std::string::npos) saved.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        }
    }
    void apply(const std::string &home, const std::string &dir, const std::string &clouds_file) {
        for (auto &kv : saved)
            if (!kv.first.compare(0, 3, "OS_")) unsetenv(kv.first.c_str());
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        if (!clouds_file.empty())
            setenv("OS_CLIENT_CONFIG_FILE", clouds_file.c_str(), 1);
        else
            unsetenv("OS_CLIENT_CONFIG_FILE");
        std::filesystem::current_path(dir);
    }
    ~ENV_SCOPE() {
        std::filesystem::current_path(old_cwd);
        for (const char *n : {"HOME", "XDG_CONFIG_HOME", "OS_CLIENT_CONFIG_FILE"})
            unsetenv(n);
        for (auto &kv : saved)
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
};

// Starts the client for a case without waiting for it.
void cli_start(CASE *c, const std::string &home) {
    std::string env =
        "env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME=" + quote(home) + " XDG_CONFIG_HOME=" + quote(c->dir);
    std::string script = "cd " + quote(c->dir) + " && ";
    if (c->openrc.empty())
        env += " OS_CLIENT_CONFIG_FILE=" + quote(c->clouds_file) + " OS_CLOUD=" + quote(c->cloud);
    else
        script += ". " + quote(c->openrc) + " && ";
    script += "printf " + quote(k_cli_input) + " | timeout 900 /usr/bin/python3 /usr/bin/openstack";
    c->cli = popen((env + " bash -c " + quote(script) + " 2>&1").c_str(), "r");
}

void cli_finish(CASE *c) {
    if (!c->cli) {
        c->theirs.error = "the client did not start";
        return;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, c->cli)) > 0)
        c->cli_out.out.append(buf, n);
    int st = pclose(c->cli);
    c->cli = nullptr;
    c->cli_out.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    // Two JSON objects one after the other.
    const char *at = strchr(c->cli_out.out.c_str(), '{');
    const char *end = nullptr;
    Q_CJSON token(at ? cJSON_ParseWithOpts(at, &end, 0) : nullptr);
    const char *next = end ? strchr(end, '{') : nullptr;
    Q_CJSON config(next ? cJSON_ParseWithOpts(next, nullptr, 0) : nullptr);
    auto text = [](const cJSON *o, const char *k) {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, k);
        return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
    };
    c->theirs.project_id = text(token.get(), "project_id");
    c->theirs.user_id = text(token.get(), "user_id");
    c->theirs.region = text(config.get(), "region_name");
    c->theirs.interface = text(config.get(), "interface");
    if (c->theirs.project_id.empty()) c->theirs.error = "exit " + std::to_string(c->cli_out.code);
}

// Our side: the import, then a session connected with the profile.
void ours_connect(CASE *c, ENV_SCOPE *env, const std::string &home) {
    env->apply(home, c->dir, c->clouds_file);
    KVN_PROFILE p;
    char msg[1024] = "";
    int n;
    if (c->openrc.empty()) {
        n = kvn_clouds_import(c->cloud.c_str(), &p, msg, sizeof msg);
    } else {
        std::string text = test_read_file(c->openrc);
        n = kvn_profile_from_openrc(text.c_str(), &p);
        q_secure_zero(text.data(), text.size());
        if (n <= 0) q_strcpy(msg, sizeof msg, "no OS_* variable");
    }
    if (n <= 0) {
        c->ours.error = msg;
        return;
    }
    c->ours.region = p.region;
    c->ours.interface = p.interface;
    KVN_SESSION *s = kvn_session_new(&p);
    kvn_profile_wipe_secret(&p);
    if (kvn_session_authenticate(s, nullptr) != 0) {
        char err[1024];
        kvn_session_last_error(s, err, sizeof err);
        c->ours.error = err;
    } else {
        KVN_SESSION_INFO info;
        kvn_session_info(s, &info);
        c->ours.project_id = info.project_id;
        c->ours.user_id = info.user_id;
        // The region must be one the catalog has.
        const char *regions[32];
        int count = kvn_session_regions(s, regions, 32);
        bool known = c->ours.region.empty();
        for (int i = 0; i < count; i++)
            if (c->ours.region == regions[i]) known = true;
        if (!known) c->ours.error = "region " + c->ours.region + " is not in the catalog";
    }
    kvn_session_free(&s);
}

// The local cloud's users: admin has a password of its own.
std::string auth_block(const std::string &url, const std::string &user, const std::string &extra = "") {
    std::string password = user == "admin" ? "admin-password" : "demo-password";
    return "    auth:\n      auth_url: " + url + "\n      username: " + user +
           "\n      password: " + password + "\n      project_name: " + user +
           "\n      user_domain_name: Default\n      project_domain_name: Default\n" + extra;
}

struct APP_CREDENTIAL {
    std::string name = unique("clouds-appcred"), id, secret;
    ~APP_CREDENTIAL() {
        if (!id.empty()) os_cli("application credential delete " + id);
    }
};
} // namespace

TEST(CloudsCloud, ClientAndSessionLandTheSame) {
    q_httpc_global_init();
    TEST_DIR scratch;
    std::string home = scratch.file("home");
    std::filesystem::create_directories(home + "/.config/openstack");
    const std::string ca = cloud_ca_file();

    // The demo user's ids, for the files that name them instead of names.
    KVN_PROFILE demo;
    test_cloud_profile("demo", &demo);
    ASSERT_TRUE(demo.auth_url[0]) << "no demo-openrc in " << cloud_dir();
    std::string demo_project, demo_user;
    {
        KVN_SESSION *s = kvn_session_new(&demo);
        ASSERT_EQ(kvn_session_authenticate(s, nullptr), 0);
        KVN_SESSION_INFO info;
        kvn_session_info(s, &info);
        demo_project = info.project_id;
        demo_user = info.user_id;
        kvn_session_free(&s);
    }
    kvn_profile_wipe_secret(&demo);

    APP_CREDENTIAL appcred;
    {
        CLOUD_RESULT r = os_cli("application credential create " + appcred.name + " -f json -c id -c secret");
        ASSERT_EQ(r.code, 0) << explain("application credential create", r);
        Q_CJSON j(cJSON_Parse(r.out.c_str()));
        const cJSON *id = cJSON_GetObjectItemCaseSensitive(j.get(), "id");
        const cJSON *secret = cJSON_GetObjectItemCaseSensitive(j.get(), "secret");
        ASSERT_TRUE(cJSON_IsString(id) && cJSON_IsString(secret)) << r.out;
        appcred.id = id->valuestring;
        appcred.secret = secret->valuestring;
    }

    std::vector<std::unique_ptr<CASE>> cases;
    int serial = 0;
    auto add = [&](const std::string &label, const std::string &cloud, const std::string &clouds_file,
                   const std::string &openrc = "", const std::string &differs = "") {
        auto c = std::make_unique<CASE>();
        c->label = label;
        c->cloud = cloud;
        c->openrc = openrc;
        c->differs = differs;
        c->dir = scratch.file("case" + std::to_string(serial++));
        std::filesystem::create_directories(c->dir + "/openstack");
        c->clouds_file = clouds_file;
        cases.push_back(std::move(c));
        return cases.back().get();
    };
    // A written file: clouds.yaml (and secure.yaml) in the case's
    // XDG_CONFIG_HOME/openstack, found there by both readers.
    auto add_file = [&](const std::string &label, const std::string &cloud, const std::string &clouds,
                        const std::string &secure = "", const std::string &differs = "") {
        CASE *c = add(label, cloud, "", "", differs);
        c->clouds_file = c->dir + "/openstack/clouds.yaml";
        test_write_file(c->clouds_file, clouds);
        if (!secure.empty()) test_write_file(c->dir + "/openstack/secure.yaml", secure);
    };

    // The local cloud's own files.
    for (const char *cloud :
         {"kvn-admin", "kvn-demo", "kvn-alt-demo", "kvn-admin-tls", "kvn-demo-tls", "kvn-alt-demo-tls"})
        add(std::string("local clouds.yaml ") + cloud, cloud, cloud_dir() + "/clouds.yaml");
    for (const char *who : {"admin", "demo", "alt_demo", "admin-tls", "demo-tls", "alt_demo-tls"})
        add(std::string("local openrc ") + who, "", "", cloud_dir() + "/" + who + "-openrc");

    // secure.yaml holding only the passwords; for one cloud it also
    // overrides a wrong one in clouds.yaml.
    {
        std::string clouds = "clouds:\n"
                             "  sec-demo:\n"
                             "    auth:\n"
                             "      auth_url: " +
                             std::string(k_auth) +
                             "\n"
                             "      username: demo\n"
                             "      project_name: demo\n"
                             "      user_domain_name: Default\n"
                             "      project_domain_name: Default\n"
                             "    region_name: RegionOne\n"
                             "  sec-alt:\n"
                             "    auth:\n"
                             "      auth_url: " +
                             k_tls_auth +
                             "\n"
                             "      username: alt_demo\n"
                             "      password: not-the-password\n"
                             "      project_name: alt_demo\n"
                             "      user_domain_name: Default\n"
                             "      project_domain_name: Default\n"
                             "    region_name: RegionTLS\n"
                             "    cacert: " +
                             ca + "\n";
        std::string secure = "clouds:\n  sec-demo:\n    auth:\n      password: demo-password\n"
                             "  sec-alt:\n    auth:\n      password: demo-password\n";
        add_file("secure.yaml passwords", "sec-demo", clouds, secure);
        add_file("secure.yaml overrides clouds.yaml", "sec-alt", clouds, secure);
    }
    add_file("regions as a list of names", "r",
             "clouds:\n  r:\n" + auth_block(k_tls_auth, "demo") + "    cacert: " + ca +
                 "\n    regions:\n      - RegionTLS\n      - RegionOne\n");
    add_file("regions as a list of mappings", "r",
             "clouds:\n  r:\n" + auth_block(k_auth, "demo") +
                 "    regions:\n    - name: RegionOne\n      values:\n        interface: public\n"
                 "    - name: RegionTLS\n      values:\n        interface: public\n");
    add_file("verify: false", "v",
             "clouds:\n  v:\n" + auth_block(k_tls_auth, "demo") + "    verify: false\n");
    add_file("insecure: yes", "v",
             "clouds:\n  v:\n" + auth_block(k_tls_auth, "alt_demo") + "    insecure: yes\n");
    add_file("a cacert path and a flow mapping", "f",
             "clouds:\n  f:\n    auth: {auth_url: '" + std::string(k_tls_auth) +
                 "', username: demo, password: \"demo-password\", project_name: demo,"
                 " user_domain_name: Default, project_domain_name: Default}\n"
                 "    region_name: RegionTLS\n    cacert: \"" +
                 ca + "\"\n");
    add_file("interface internal", "i",
             "clouds:\n  i:\n" + auth_block(k_auth, "demo") +
                 "    interface: internal\n    region_name: RegionOne\n");
    add_file("endpoint_type publicURL", "i",
             "clouds:\n  i:\n" + auth_block(k_auth, "demo") + "    endpoint_type: publicURL\n");
    add_file("interface admin", "i",
             "clouds:\n  i:\n" + auth_block(k_auth, "admin") + "    interface: admin\n");
    add_file("application credential by id", "ac",
             "clouds:\n  ac:\n    auth_type: v3applicationcredential\n    auth:\n      auth_url: " +
                 std::string(k_auth) + "\n      application_credential_id: " + appcred.id +
                 "\n      application_credential_secret: " + appcred.secret +
                 "\n    region_name: RegionOne\n");
    add_file("application credential by name", "ac",
             "clouds:\n  ac:\n    auth_type: \"v3applicationcredential\"\n    auth:\n      auth_url: " +
                 std::string(k_auth) + "\n      application_credential_name: " + appcred.name +
                 "\n      username: demo\n      user_domain_name: Default\n"
                 "      application_credential_secret: '" +
                 appcred.secret + "'\n");
    add_file("project_id instead of a name", "pid",
             "clouds:\n  pid:\n    auth:\n      auth_url: " + std::string(k_auth) +
                 "\n      username: demo\n      password: demo-password\n      user_domain_name: Default\n"
                 "      project_id: " +
                 demo_project + "\n    region_name: RegionOne\n");
    add_file("user_id and project_id", "ids",
             "clouds:\n  ids:\n    auth:\n      auth_url: " + std::string(k_auth) + "\n      user_id: " +
                 demo_user + "\n      password: demo-password\n      project_id: " + demo_project + "\n");
    add_file("tenant_name and a default domain", "t",
             "clouds:\n  t:\n    auth:\n      auth_url: " + std::string(k_auth) +
                 "\n      username: demo\n      password: demo-password\n      tenant_name: demo\n"
                 "      default_domain_id: default\n");
    add_file("anchors with merge keys", "kvn-anchored",
             "common: &common\n"
             "  region_name: RegionOne\n"
             "  interface: public\n"
             "  identity_api_version: 3\n"
             "auth-defaults: &auth\n"
             "  auth_url: " +
                 std::string(k_auth) +
                 "\n"
                 "  user_domain_name: Default\n"
                 "  project_domain_name: Default\n"
                 "clouds:\n"
                 "  kvn-anchored: &anchored\n"
                 "    <<: *common\n"
                 "    region_name: RegionOne\n"
                 "    auth: &anchored-auth\n"
                 "      <<: *auth\n"
                 "      auth_url: " +
                 k_auth +
                 "\n"
                 "      username: demo\n"
                 "      password: &pw demo-password\n"
                 "      project_name: demo\n"
                 "      user_domain_name: Default\n"
                 "      project_domain_name: Default\n");
    add_file("block scalars", "b",
             "clouds:\n"
             "  b:\n"
             "    description: |\n"
             "      Not keys:\n"
             "        username: admin\n"
             "      password: wrong\n"
             "    auth:\n"
             "      auth_url: |-\n"
             "        " +
                 std::string(k_auth) +
                 "\n"
                 "      username: >-\n"
                 "        demo\n"
                 "      password: >-\n"
                 "        demo-password\n"
                 "      project_name: demo\n"
                 "      user_domain_name: Default\n"
                 "      project_domain_name: Default\n"
                 "    region_name: RegionOne\n");
    {
        std::string text = "# clouds of the test\r\n"
                           "---\r\n"
                           "clouds:   # all of them\r\n"
                           "  # the only cloud\r\n"
                           "  crlf:  # named crlf\r\n"
                           "    auth:\r\n"
                           "      # where keystone is\r\n"
                           "      auth_url: '" +
                           std::string(k_tls_auth) +
                           "'  # quoted\r\n"
                           "      username: \"alt_demo\" # quoted too\r\n"
                           "\r\n"
                           "      password: demo-password # a comment, not part of it\r\n"
                           "    # between mappings\r\n"
                           "      project_name: alt_demo\r\n"
                           "      user_domain_name: Default\r\n"
                           "      project_domain_name: Default\r\n"
                           "    region_name: RegionTLS # the front's region\r\n"
                           "    cacert: " +
                           ca + "\r\n...\r\n";
        add_file("comments everywhere and CRLF line ends", "crlf", text);
    }
    // Known differences, kept visible: merges are not resolved, and a block
    // scalar never ends in a line end.
    add_file("a region only from a merge", "m",
             "base: &base\n  region_name: RegionTLS\nclouds:\n  m:\n    <<: *base\n" +
                 auth_block(k_auth, "demo"),
             "", "merge keys are not resolved: the region comes only from the merge");
    add_file(
        "a password in a '|' block", "p",
        "clouds:\n  p:\n" + std::string("    auth:\n      auth_url: ") + k_auth +
            "\n      username: demo\n      password: |\n        demo-password\n      project_name: demo\n",
        "", "YAML keeps the block's final line end in the password; the reader does not");

    // Every client first, then our side while they run.
    for (auto &c : cases)
        cli_start(c.get(), home);
    {
        ENV_SCOPE env;
        for (auto &c : cases)
            ours_connect(c.get(), &env, home);
    }
    for (auto &c : cases)
        cli_finish(c.get());

    for (auto &c : cases) {
        const LANDING &o = c->ours, &t = c->theirs;
        printf("%-44s ours: %s %s region '%s' interface '%s'%s\n%-44s  cli: %s %s region '%s' interface "
               "'%s'%s\n",
               c->label.c_str(), o.project_id.c_str(), o.user_id.c_str(), o.region.c_str(),
               o.interface.c_str(), o.error.empty() ? "" : (" ERROR " + o.error).c_str(), "",
               t.project_id.c_str(), t.user_id.c_str(), t.region.c_str(), t.interface.c_str(),
               t.error.empty() ? "" : (" ERROR " + t.error).c_str());
        if (!c->differs.empty()) {
            printf("%-44s  known difference: %s\n", "", c->differs.c_str());
            EXPECT_EQ(o.error, "") << c->label;
            EXPECT_EQ(o.project_id, demo_project) << c->label;
            continue;
        }
        EXPECT_EQ(o.error, "") << c->label;
        EXPECT_EQ(t.error, "") << c->label << explain("openstack (" + c->label + ")", c->cli_out);
        EXPECT_FALSE(o.project_id.empty()) << c->label;
        EXPECT_EQ(o.project_id, t.project_id) << c->label;
        EXPECT_EQ(o.user_id, t.user_id) << c->label;
        EXPECT_EQ(o.region, t.region) << c->label;
        // The client keeps "publicURL" as written; we keep the word.
        EXPECT_EQ(t.interface.rfind(o.interface, 0), 0u) << c->label << ": " << t.interface;
    }
}
