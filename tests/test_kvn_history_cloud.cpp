// labels: cloud
// The quota collector against the local cloud: in a project of its own (made
// as admin, with a member user, so no other test changes it meanwhile) that
// holds a server, a volume and three images, every metric the history charts
// draw equals what the services answer when asked directly; the TLS front
// gives the same figures; and the sample goes to the scope's history file.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "kvn_api.h"
#include "kvn_cloud_test.h"
#include "kvn_history.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
struct SESSION_PTR {
    KVN_SESSION *s = nullptr;
    SESSION_PTR() = default;
    ~SESSION_PTR() { kvn_session_free(&s); }
};

struct ANSWER {
    int status = 0;
    std::string error, request_id;
    Q_CJSON json;
};

ANSWER call(KVN_SESSION *s, const char *svc, const char *method, const std::string &path,
            const std::string &body = "") {
    Q_CJSON json(body.empty() ? nullptr : cJSON_Parse(body.c_str()));
    KVN_RESULT *r = kvn_session_call(s, svc, method, path.c_str(), json.get(), nullptr, nullptr);
    ANSWER a;
    if (!r) return a;
    a.status = r->status;
    a.error = r->error;
    a.request_id = r->request_id;
    a.json.reset(r->json);
    r->json = nullptr;
    kvn_result_free(&r);
    return a;
}

ANSWER all_pages(KVN_SESSION *s, const char *svc, const std::string &path, const char *key) {
    KVN_RESULT *r = kvn_call_paged(s, svc, path.c_str(), key, nullptr);
    ANSWER a;
    if (!r) return a;
    a.status = r->status;
    a.error = r->error;
    a.json.reset(r->json);
    r->json = nullptr;
    kvn_result_free(&r);
    return a;
}

std::string jstr(const cJSON *j, const char *path) {
    const cJSON *v = kvn_api_json_at(j, path);
    return cJSON_IsString(v) ? v->valuestring : "";
}

double jnum(const cJSON *j, const char *path) {
    const cJSON *v = kvn_api_json_at(j, path);
    return cJSON_IsNumber(v) ? v->valuedouble : -12345;
}

std::string why(const std::string &what, const ANSWER &a) {
    std::vector<std::string> ids;
    if (!a.request_id.empty()) ids.push_back(a.request_id);
    return explain(what, std::to_string(a.status) + " " + a.error, "", ids);
}

// Polls until `done` says yes; generous, the machine's cores are shared.
bool wait_for(const std::function<bool()> &done, int seconds = 240) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
}

KVN_SESSION *connect(const KVN_PROFILE &p) {
    KVN_SESSION *s = kvn_session_new(&p);
    if (kvn_session_authenticate(s, nullptr) != 0) {
        char err[1024];
        kvn_session_last_error(s, err, sizeof err);
        ADD_FAILURE() << "authentication of " << p.username << " failed: " << err;
    }
    return s;
}

// The project, its user and everything made in it; removed in reverse order
// whatever the test's outcome.
struct SCRATCH_PROJECT {
    SESSION_PTR admin, user, user_tls;
    std::string project_id, user_id, name, password;
    std::vector<std::function<void()>> undo;
    ~SCRATCH_PROJECT() {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it)
            (*it)();
    }
};

// The metrics the history charts draw from a sample, against the answers
// of the services asked directly.
std::map<std::string, double> direct_figures(KVN_SESSION *s, const std::string &project) {
    std::map<std::string, double> f;
    ANSWER limits = call(s, "compute", "GET", "/limits");
    const cJSON *abs = kvn_api_json_at(limits.json.get(), "limits.absolute");
    f["compute.instances.used"] = jnum(abs, "totalInstancesUsed");
    f["compute.cores.used"] = jnum(abs, "totalCoresUsed");
    f["compute.ram.used"] = jnum(abs, "totalRAMUsed");
    ANSWER servers = all_pages(s, "compute", "/servers/detail", "servers");
    const cJSON *it;
    double active = 0;
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(servers.json.get(), "servers")) active +=
        jstr(it, "status") == "ACTIVE";
    f["servers.count"] = cJSON_GetArraySize(cJSON_GetObjectItem(servers.json.get(), "servers"));
    f["servers.status.ACTIVE"] = active;
    ANSWER vols = all_pages(s, "block-storage", "/volumes/detail", "volumes");
    double size = 0;
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(vols.json.get(), "volumes")) size += jnum(it, "size");
    f["volumes.count"] = cJSON_GetArraySize(cJSON_GetObjectItem(vols.json.get(), "volumes"));
    f["volumes.size_gb"] = size;
    ANSWER ports = all_pages(s, "network", "/ports?project_id=" + project, "ports");
    f["network.port.used"] = cJSON_GetArraySize(cJSON_GetObjectItem(ports.json.get(), "ports"));
    ANSWER quota = call(s, "block-storage", "GET", "/os-quota-sets/" + project);
    f["volume.gigabytes.limit"] = jnum(quota.json.get(), "quota_set.gigabytes");
    ANSWER images = all_pages(s, "image", "/images?owner=" + project, "images");
    f["image.count.used"] = cJSON_GetArraySize(cJSON_GetObjectItem(images.json.get(), "images"));
    return f;
}

// A sample's metric by its dotted name (not a path into the tree).
double metric(const cJSON *sample, const char *name) {
    const cJSON *v = cJSON_GetObjectItem(sample, name);
    return cJSON_IsNumber(v) ? v->valuedouble : -12345;
}

std::map<std::string, double> sampled(const cJSON *sample, const std::map<std::string, double> &like) {
    std::map<std::string, double> f;
    for (const auto &kv : like) {
        const cJSON *v = cJSON_GetObjectItem(sample, kv.first.c_str());
        f[kv.first] = cJSON_IsNumber(v) ? v->valuedouble : -99999;
    }
    return f;
}

class HistoryCloud : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { q_httpc_global_init(); }
};
} // namespace

TEST_F(HistoryCloud, SampleEqualsWhatTheServicesAnswer) {
    SCRATCH_PROJECT p;
    std::random_device rd;
    p.name = "kvn-hist-" + std::to_string(getpid()) + "-" + std::to_string(rd() % 100000);
    p.password = "pw-" + std::to_string(rd());

    KVN_PROFILE admin;
    test_cloud_profile("admin", &admin);
    p.admin.s = connect(admin);
    KVN_SESSION *as = p.admin.s;

    ANSWER proj = call(as, "identity", "POST", "/projects",
                       R"({"project": {"name": ")" + p.name + R"(", "domain_id": "default"}})");
    ASSERT_EQ(proj.status, 201) << why("POST /projects", proj);
    p.project_id = jstr(proj.json.get(), "project.id");
    p.undo.push_back([&p] { call(p.admin.s, "identity", "DELETE", "/projects/" + p.project_id); });
    ANSWER user = call(as, "identity", "POST", "/users",
                       R"({"user": {"name": ")" + p.name + R"(", "domain_id": "default", "password": ")" +
                           p.password + R"(", "default_project_id": ")" + p.project_id + R"("}})");
    ASSERT_EQ(user.status, 201) << why("POST /users", user);
    p.user_id = jstr(user.json.get(), "user.id");
    p.undo.push_back([&p] { call(p.admin.s, "identity", "DELETE", "/users/" + p.user_id); });
    ANSWER roles = call(as, "identity", "GET", "/roles?name=member");
    std::string role = jstr(roles.json.get(), "roles.0.id");
    ASSERT_FALSE(role.empty()) << why("GET /roles?name=member", roles);
    ANSWER grant =
        call(as, "identity", "PUT", "/projects/" + p.project_id + "/users/" + p.user_id + "/roles/" + role);
    ASSERT_EQ(grant.status, 204) << why("PUT role", grant);

    auto user_profile = [&p](const std::string &who) {
        KVN_PROFILE u;
        test_cloud_profile(who, &u);
        q_strcpy(u.username, sizeof u.username, p.name.c_str());
        q_strcpy(u.secret, sizeof u.secret, p.password.c_str());
        q_strcpy(u.project_name, sizeof u.project_name, p.name.c_str());
        if (who == "demo-tls") q_strcpy(u.ca_file, sizeof u.ca_file, cloud_ca_file().c_str());
        return u;
    };
    p.user.s = connect(user_profile("demo"));
    KVN_SESSION *us = p.user.s;

    // A network with a subnet, a server on it (one more port), a volume and
    // three images (metadata only).
    // Neutron answers 500 when its database pool is exhausted by the other
    // tests; nothing was made then, so asking again is safe.
    auto create = [us](const char *path, const std::string &body) {
        ANSWER a;
        for (int i = 0; i < 3 && a.status != 201; i++)
            a = call(us, "network", "POST", path, body);
        return a;
    };
    ANSWER net = create("/networks", R"({"network": {"name": "kvn-hist"}})");
    ASSERT_EQ(net.status, 201) << why("POST /networks", net);
    std::string net_id = jstr(net.json.get(), "network.id");
    p.undo.push_back([us, net_id] { call(us, "network", "DELETE", "/networks/" + net_id); });
    ANSWER sub =
        create("/subnets", R"({"subnet": {"network_id": ")" + net_id +
                               R"(", "ip_version": 4, "cidr": "192.168.77.0/24", "enable_dhcp": false}})");
    ASSERT_EQ(sub.status, 201) << why("POST /subnets", sub);

    ANSWER flavors = call(us, "compute", "GET", "/flavors?minRam=0");
    ANSWER images = call(us, "image", "GET", "/images?name=cirros-fake");
    std::string flavor, image = jstr(images.json.get(), "images.0.id");
    const cJSON *it;
    cJSON_ArrayForEach(it,
                       cJSON_GetObjectItem(flavors.json.get(), "flavors")) if (jstr(it, "name") == "m1.nano")
        flavor = jstr(it, "id");
    ASSERT_FALSE(flavor.empty() || image.empty());
    // A create that timed out may still make its server: the clean-up deletes
    // every server of the project, not only the one it knows of.
    p.undo.push_back([us] {
        ANSWER list = all_pages(us, "compute", "/servers/detail", "servers");
        const cJSON *x;
        cJSON_ArrayForEach(x, cJSON_GetObjectItem(list.json.get(), "servers"))
            call(us, "compute", "DELETE", "/servers/" + jstr(x, "id"));
        wait_for([&] {
            ANSWER left = all_pages(us, "compute", "/servers/detail", "servers");
            return left.status == 200 &&
                   cJSON_GetArraySize(cJSON_GetObjectItem(left.json.get(), "servers")) == 0;
        });
    });
    ANSWER srv = call(us, "compute", "POST", "/servers",
                      R"({"server": {"name": "kvn-hist", "imageRef": ")" + image + R"(", "flavorRef": ")" +
                          flavor + R"(", "networks": [{"uuid": ")" + net_id + R"("}]}})");
    ASSERT_EQ(srv.status, 202) << why("POST /servers", srv);
    std::string server_id = jstr(srv.json.get(), "server.id");
    ANSWER vol =
        call(us, "block-storage", "POST", "/volumes", R"({"volume": {"name": "kvn-hist", "size": 2}})");
    ASSERT_EQ(vol.status, 202) << why("POST /volumes", vol);
    std::string volume_id = jstr(vol.json.get(), "volume.id");
    p.undo.push_back([us, volume_id] {
        wait_for([&] {
            ANSWER v = call(us, "block-storage", "GET", "/volumes/" + volume_id);
            std::string st = jstr(v.json.get(), "volume.status");
            return v.status == 404 || (st != "creating" && st != "deleting");
        });
        call(us, "block-storage", "DELETE", "/volumes/" + volume_id);
        wait_for([&] { return call(us, "block-storage", "GET", "/volumes/" + volume_id).status == 404; });
    });
    for (int i = 0; i < 3; i++) {
        ANSWER img = call(us, "image", "POST", "/images",
                          R"({"name": "kvn-hist", "disk_format": "raw", "container_format": "bare"})");
        ASSERT_EQ(img.status, 201) << why("POST /images", img);
        std::string id = jstr(img.json.get(), "id");
        p.undo.push_back([us, id] { call(us, "image", "DELETE", "/images/" + id); });
    }
    std::string server_status, volume_status;
    ASSERT_TRUE(wait_for([&] {
        server_status = jstr(call(us, "compute", "GET", "/servers/" + server_id).json.get(), "server.status");
        return server_status == "ACTIVE" || server_status == "ERROR";
    }));
    ASSERT_EQ(server_status, "ACTIVE");
    ASSERT_TRUE(wait_for([&] {
        volume_status =
            jstr(call(us, "block-storage", "GET", "/volumes/" + volume_id).json.get(), "volume.status");
        return volume_status == "available" || volume_status == "error";
    }));
    ASSERT_EQ(volume_status, "available");

    // Usage figures settle shortly after a build; the pair is taken again
    // until two direct readings around the sample agree.
    std::map<std::string, double> want, got;
    Q_CJSON sample;
    char err[1024] = "x";
    for (int attempt = 0; attempt < 5; attempt++) {
        std::map<std::string, double> before = direct_figures(us, p.project_id);
        sample.reset(kvn_quota_sample(us, nullptr, err, sizeof err));
        want = direct_figures(us, p.project_id);
        got = sampled(sample.get(), want);
        if (before == want && got == want) break;
    }
    EXPECT_STREQ(err, "");
    EXPECT_EQ(got, want);
    // What this test made, so the comparison is not of zeros with zeros.
    EXPECT_EQ(want["servers.count"], 1);
    EXPECT_EQ(want["servers.status.ACTIVE"], 1);
    EXPECT_EQ(want["compute.instances.used"], 1);
    EXPECT_EQ(want["volumes.count"], 1);
    EXPECT_EQ(want["volumes.size_gb"], 2);
    EXPECT_EQ(want["image.count.used"], 3);
    EXPECT_GE(want["network.port.used"], 1);
    EXPECT_EQ(metric(sample.get(), "servers.flavor.m1.nano"), 1);
    EXPECT_EQ(metric(sample.get(), "volumes.status.available"), 1);
    // This cloud has no image usage API: the count comes from the listing.
    EXPECT_EQ(metric(sample.get(), "image.count.limit"), -1);
    EXPECT_EQ(metric(sample.get(), "image.size.limit"), -1);
    for (const char *key : {"compute.instances.limit", "compute.keypairs.used", "compute.keypairs.limit",
                            "network.network.used", "network.port.limit", "volume.volumes.used",
                            "volume.gigabytes.used", "volume.gigabytes.reserved", "image.size.used", "time"})
        EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(sample.get(), key))) << key;

    // The TLS front serves every service under a path prefix: same figures.
    p.user_tls.s = connect(user_profile("demo-tls"));
    char tls_err[1024] = "x";
    Q_CJSON tls(kvn_quota_sample(p.user_tls.s, nullptr, tls_err, sizeof tls_err));
    EXPECT_STREQ(tls_err, "");
    EXPECT_EQ(sampled(tls.get(), want), want);

    // Stored in the history file of this cloud and project.
    TEST_DIR dir;
    setenv("KVN_HOME", dir.path.c_str(), 1);
    kvn_paths_init();
    EXPECT_EQ(kvn_history_add_sample(us, sample.get()), 1);
    EXPECT_TRUE(test_exists(dir.file("history/127.0.0.1_" + p.project_id + ".jsonl")));
    Q_CJSON stored(kvn_history_load(dir.file("history/127.0.0.1_" + p.project_id + ".jsonl").c_str(), 0));
    ASSERT_EQ(cJSON_GetArraySize(stored.get()), 1);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetArrayItem(stored.get(), 0)), cJSON_GetArraySize(sample.get()));
    unsetenv("KVN_HOME");
}
