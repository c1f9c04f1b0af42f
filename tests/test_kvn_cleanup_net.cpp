// labels: net
// Project cleanup against a small cloud on 127.0.0.1 that keeps its
// resources in memory: which kinds are listed and how, which items are taken,
// the order of the deletions, the waits, refusals and cancellation. The real
// services are exercised by the cloud test; this one holds the faults and the
// exact request sequence that they do not give on demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kvn_cleanup.h"
#include "kvn_profile.h"
#include "kvn_session.h"
#include "kvn_test_script_server.h"
#include "q_common.h"
#include "q_http_client.h"
#include "q_str.h"

namespace {

// One resource of the fake cloud: the collection it is listed in (path
// without query), its own path, its JSON, and how many GETs after its
// deletion still find it.
struct FAKE_ITEM {
    std::string list, key, path, json;
    bool gone = false;
    int linger = 0;
};

std::string encode_spaces(const std::string &s) {
    std::string out;
    for (char c : s)
        out += c == ' ' ? std::string("%20") : std::string(1, c);
    return out;
}

struct FAKE_CLOUD {
    std::mutex mutex; // guards everything below
    std::vector<FAKE_ITEM> items;
    std::map<std::string, std::vector<std::string>> objects;   // container path -> names
    std::map<std::string, std::pair<int, std::string>> refuse; // DELETE path -> status, body
    std::map<std::string, std::pair<int, std::string>> list_fault;
    std::vector<std::string> calls; // "METHOD target" of every call but tokens and version documents
    std::string cancel_after;       // fires the token once this DELETE is answered
    Q_HTTPC_CANCEL *cancel = nullptr;
    std::string catalog; // of the token answers

    void add(const std::string &list, const std::string &key, const std::string &path,
             const std::string &json) {
        FAKE_ITEM it;
        it.list = list;
        it.key = key;
        it.path = path;
        it.json = json;
        items.push_back(it);
    }
    std::vector<std::string> mutations() {
        std::lock_guard<std::mutex> g(mutex);
        std::vector<std::string> out;
        for (auto &c : calls)
            if (c.rfind("GET ", 0) != 0) out.push_back(c);
        return out;
    }
    std::vector<std::string> all_calls() {
        std::lock_guard<std::mutex> g(mutex);
        return calls;
    }

    kvn_script::ANSWER answer(const kvn_script::REQUEST &r) {
        using kvn_script::json_answer;
        std::lock_guard<std::mutex> g(mutex);
        if (r.target.find("/auth/tokens") != std::string::npos)
            return {
                json_answer(201,
                            R"({"token": {"expires_at": "2099-01-01T00:00:00.000000Z", "user": {"id": "u1", )"
                            R"("name": "demo"}, "project": {"id": "p1", "name": "demo", "domain": {"name": )"
                            R"("Default"}}, "roles": [{"name": "admin"}], "catalog": )" +
                                catalog + "}}",
                            "X-Subject-Token: tok\r\n")};
        const std::string path = r.target.substr(0, r.target.find('?'));
        if (r.method == "GET" && path.back() == '/' && path.rfind("/swift", 0) != 0)
            return {json_answer(404, "{}")}; // version documents
        calls.push_back(r.method + " " + r.target);
        if (r.method == "DELETE") {
            auto ref = refuse.find(path);
            if (ref != refuse.end()) return {json_answer(ref->second.first, ref->second.second)};
            for (auto &o : objects) {
                auto &names = o.second;
                for (size_t i = 0; i < names.size(); i++)
                    if (o.first + "/" + encode_spaces(names[i]) == path) {
                        names.erase(names.begin() + (long)i);
                        return {json_answer(204, "")};
                    }
            }
            for (auto &it : items)
                if (it.path == path && !it.gone) {
                    it.gone = true;
                    if (path == cancel_after && cancel) q_httpc_cancel(cancel);
                    return {json_answer(204, "")};
                }
            return {json_answer(404, R"({"itemNotFound": {"message": "not found"}})")};
        }
        if (r.method == "PUT") return {json_answer(200, "{}")};
        auto fault = list_fault.find(path);
        if (fault != list_fault.end()) return {json_answer(fault->second.first, fault->second.second)};
        auto obj = objects.find(path);
        if (obj != objects.end()) {
            std::string body = "[";
            if (r.target.find("marker=") == std::string::npos)
                for (auto &n : obj->second)
                    body += (body.size() > 1 ? ", {\"name\": \"" : "{\"name\": \"") + n + "\"}";
            return {json_answer(200, body + "]")};
        }
        for (auto &it : items)
            if (it.path == path) {
                if (it.gone && it.linger-- <= 0) return {json_answer(404, "{}")};
                return {json_answer(200, "{\"item\": " + it.json + "}")};
            }
        std::map<std::string, std::string> lists;
        bool array = false;
        for (auto &it : items)
            if (it.list == path) {
                array = it.key.empty();
                std::string &l = lists[it.key];
                if (!it.gone && r.target.find("marker=") == std::string::npos)
                    l += (l.empty() ? "" : ", ") + it.json;
            }
        if (lists.empty()) return {json_answer(404, "{}")};
        if (array) return {json_answer(200, "[" + lists.begin()->second + "]")};
        return {json_answer(200, "{\"" + lists.begin()->first + "\": [" + lists.begin()->second + "]}")};
    }
};

struct SESSION_PTR {
    KVN_SESSION *s = nullptr;
    ~SESSION_PTR() { kvn_session_free(&s); }
};
struct PLAN_PTR {
    KVN_CLEANUP_PLAN *p = kvn_cleanup_plan_new();
    ~PLAN_PTR() { kvn_cleanup_plan_free(&p); }
};
struct STR_PTR {
    Q_STR *s = new_qstr(64);
    ~STR_PTR() { free_qstr(&s); }
    std::string text() const { return std::string(s->data, s->length); }
};

// The fake cloud, its server and a session authenticated against it, as
// project p1.
struct FIXTURE {
    FAKE_CLOUD cloud;
    kvn_script::SERVER server{[this](const kvn_script::REQUEST &r) { return cloud.answer(r); }};
    SESSION_PTR session;

    FIXTURE() {
        auto ep = [this](const char *type, const std::string &path) {
            return std::string(R"({"type": ")") + type +
                   R"(", "endpoints": [{"interface": "public", )"
                   R"("region": "RegionOne", "url": ")" +
                   server.url(path) + "\"}]}";
        };
        std::lock_guard<std::mutex> g(cloud.mutex);
        cloud.catalog = "[" + ep("compute", "/compute/v2.1") + ", " + ep("volumev3", "/volume/v3/p1") + ", " +
                        ep("network", "/network/v2.0") + ", " + ep("image", "/image/v2") + ", " +
                        ep("object-store", "/swift/v1/AUTH_p1") + "]";
        KVN_PROFILE p;
        kvn_profile_defaults(&p);
        q_strcpy(p.auth_url, sizeof p.auth_url, server.url("/v3").c_str());
        q_strcpy(p.username, sizeof p.username, "demo");
        q_strcpy(p.secret, sizeof p.secret, "pw");
        session.s = kvn_session_new(&p);
    }
    // A project full of resources of p1, with some of p2 beside them.
    void fill() {
        FAKE_CLOUD &c = cloud;
        std::lock_guard<std::mutex> g(c.mutex);
        const std::string C = "/compute/v2.1", V = "/volume/v3/p1", N = "/network/v2.0", I = "/image/v2";
        c.add(C + "/servers/detail", "servers", C + "/servers/s1",
              R"({"id": "s1", "name": "web", "tenant_id": "p1"})");
        c.add(C + "/servers/detail", "servers", C + "/servers/s2",
              R"({"id": "s2", "name": "other", "tenant_id": "p2"})");
        c.add(C + "/os-server-groups", "server_groups", C + "/os-server-groups/g1",
              R"({"id": "g1", "name": "grp", "project_id": "p1"})");
        c.add(V + "/backups/detail", "backups", V + "/backups/b1", R"({"id": "b1", "name": "bk"})");
        c.add(V + "/snapshots/detail", "snapshots", V + "/snapshots/sn1",
              R"({"id": "sn1", "name": "snap", "os-extended-snapshot-attributes:project_id": "p1"})");
        c.add(V + "/volumes/detail", "volumes", V + "/volumes/v1",
              R"({"id": "v1", "name": "data", "os-vol-tenant-attr:tenant_id": "p1"})");
        c.add(V + "/volumes/detail", "volumes", V + "/volumes/v2", R"({"id": "v2", "name": ""})");
        c.add(N + "/floatingips", "floatingips", N + "/floatingips/f1",
              R"({"id": "f1", "floating_ip_address": "172.24.4.10", "project_id": "p1"})");
        c.add(
            N + "/routers", "routers", N + "/routers/r1",
            R"({"id": "r1", "name": "gw", "project_id": "p1", "external_gateway_info": {"network_id": "ext"}})");
        c.add(N + "/routers", "routers", N + "/routers/r2",
              R"({"id": "r2", "name": "inner", "project_id": "p1", "external_gateway_info": null})");
        c.add(N + "/ports", "ports", N + "/ports/pt1",
              R"({"id": "pt1", "name": "", "project_id": "p1", "device_owner": ""})");
        c.add(
            N + "/ports", "ports", N + "/ports/pt2",
            R"({"id": "pt2", "project_id": "p1", "device_id": "r1", "device_owner": "network:router_interface"})");
        c.add(N + "/ports", "ports", N + "/ports/pt3",
              R"({"id": "pt3", "project_id": "p1", "device_owner": "network:dhcp"})");
        c.add(N + "/ports", "ports", N + "/ports/pt4",
              R"({"id": "pt4", "project_id": "p2", "device_owner": ""})");
        c.add(N + "/networks", "networks", N + "/networks/n1",
              R"({"id": "n1", "name": "net", "project_id": "p1"})");
        c.add(N + "/networks", "networks", N + "/networks/n2", R"({"id": "n2", "name": "shared"})");
        c.add(N + "/security-groups", "security_groups", N + "/security-groups/sg0",
              R"({"id": "sg0", "name": "default", "project_id": "p1"})");
        c.add(N + "/security-groups", "security_groups", N + "/security-groups/sg1",
              R"({"id": "sg1", "name": "web", "project_id": "p1"})");
        c.add(I + "/images", "images", I + "/images/i1", R"({"id": "i1", "name": "cirros", "owner": "p1"})");
        c.add(I + "/images", "images", I + "/images/i2", R"({"id": "i2", "name": "theirs", "owner": "p2"})");
        c.add("/swift/v1/AUTH_p1/", "", "/swift/v1/AUTH_p1/c%201", R"({"name": "c 1", "count": 2})");
        c.objects["/swift/v1/AUTH_p1/c%201"] = {"o1", "a b"};
    }
};

const char *const FULL_PLAN = "server           s1                                   web\n"
                              "server group     g1                                   grp\n"
                              "volume backup    b1                                   bk\n"
                              "volume snapshot  sn1                                  snap\n"
                              "volume           v1                                   data\n"
                              "volume           v2                                   v2\n"
                              "floating IP      f1                                   172.24.4.10\n"
                              "router           r1                                   gw\n"
                              "router           r2                                   inner\n"
                              "port             pt1                                  pt1\n"
                              "network          n1                                   net\n"
                              "security group   sg1                                  web\n"
                              "image            i1                                   cirros\n"
                              "container        c 1                                  c 1\n";
} // namespace

TEST(CleanupNet, DiscoveryTakesWhatTheProjectOwnsInDeletionOrder) {
    FIXTURE f;
    f.fill();
    PLAN_PTR plan;
    STR_PTR log;
    ASSERT_EQ(kvn_cleanup_discover(f.session.s, "", plan.p, log.s, nullptr), 14) << log.text();
    EXPECT_STREQ(plan.p->project, "p1");
    EXPECT_EQ(plan.p->other_project, 0);
    STR_PTR lines;
    kvn_cleanup_plan_lines(plan.p, 0, lines.s);
    EXPECT_EQ(lines.text(), FULL_PLAN);
    EXPECT_EQ(log.text(), "");
    EXPECT_STREQ(plan.p->entries[0].path, "/servers/s1");
    EXPECT_STREQ(plan.p->entries[0].service, "compute");
    EXPECT_STREQ(plan.p->entries[13].path, "/c%201");
    EXPECT_EQ(plan.p->entries[7].external_gateway, 1);
    EXPECT_EQ(plan.p->entries[8].external_gateway, 0);

    // A listing that fails is named and the others go on.
    {
        std::lock_guard<std::mutex> g(f.cloud.mutex);
        f.cloud.list_fault["/volume/v3/p1/snapshots/detail"] = {500, R"({"message": "boom"})"};
        f.cloud.list_fault["/image/v2/images"] = {200, R"({"other": []})"};
    }
    ASSERT_EQ(kvn_cleanup_discover(f.session.s, nullptr, plan.p, log.s, nullptr), 12);
    EXPECT_EQ(log.text(), "volume snapshot: cannot list (HTTP 500: boom)\nimage: cannot list (no answer)\n");
}

TEST(CleanupNet, AnotherProjectIsListedAcrossTenantsWithoutGroupsOrContainers) {
    FIXTURE f;
    f.fill();
    PLAN_PTR plan;
    STR_PTR log;
    // Only the items naming p2 are taken: the fake cloud ignores the filters,
    // as an older service might.
    ASSERT_EQ(kvn_cleanup_discover(f.session.s, "p2", plan.p, log.s, nullptr), 3) << log.text();
    EXPECT_EQ(plan.p->other_project, 1);
    STR_PTR lines;
    kvn_cleanup_plan_lines(plan.p, 0, lines.s);
    EXPECT_EQ(lines.text(), "server           s2                                   other\n"
                            "port             pt4                                  pt4\n"
                            "image            i2                                   theirs\n");
    std::vector<std::string> want = {
        "GET /compute/v2.1/servers/detail?all_tenants=1&project_id=p2",
        "GET /volume/v3/p1/backups/detail?all_tenants=1&project_id=p2",
        "GET /volume/v3/p1/snapshots/detail?all_tenants=1&project_id=p2",
        "GET /volume/v3/p1/volumes/detail?all_tenants=1&project_id=p2",
        "GET /network/v2.0/floatingips?project_id=p2",
        "GET /network/v2.0/routers?project_id=p2",
        "GET /network/v2.0/ports?project_id=p2",
        "GET /network/v2.0/networks?project_id=p2",
        "GET /network/v2.0/security-groups?project_id=p2",
        "GET /image/v2/images?owner=p2",
    };
    EXPECT_EQ(f.cloud.all_calls(), want);
}

TEST(CleanupNet, DeletionFollowsThePlanAndGoesOnPastRefusals) {
    FIXTURE f;
    f.fill();
    PLAN_PTR plan;
    STR_PTR log;
    ASSERT_EQ(kvn_cleanup_discover(f.session.s, "", plan.p, log.s, nullptr), 14);
    {
        std::lock_guard<std::mutex> g(f.cloud.mutex);
        f.cloud.calls.clear();
        f.cloud.refuse["/volume/v3/p1/volumes/v1"] = {
            409, R"({"badRequest": {"message": "Volume v1 is in use"}})"};
        f.cloud.refuse["/image/v2/images/i1"] = {500, "<html><body>Internal error</body></html>"};
        f.cloud.refuse["/network/v2.0/ports/pt1"] = {404, "{}"}; // gone meanwhile: counts as deleted
        f.cloud.items[0].linger = 1;                             // the server takes a while to go
    }
    float progress = -1;
    EXPECT_EQ(kvn_cleanup_delete(f.session.s, plan.p, &progress, nullptr), 2);
    EXPECT_EQ(progress, 1.0f);
    std::vector<std::string> want = {
        "DELETE /compute/v2.1/servers/s1",      "DELETE /compute/v2.1/os-server-groups/g1",
        "DELETE /volume/v3/p1/backups/b1",      "DELETE /volume/v3/p1/snapshots/sn1",
        "DELETE /volume/v3/p1/volumes/v1",      "DELETE /volume/v3/p1/volumes/v2",
        "DELETE /network/v2.0/floatingips/f1",  "PUT /network/v2.0/routers/r1/remove_router_interface",
        "PUT /network/v2.0/routers/r1",         "DELETE /network/v2.0/routers/r1",
        "DELETE /network/v2.0/routers/r2",      "DELETE /network/v2.0/ports/pt1",
        "DELETE /network/v2.0/networks/n1",     "DELETE /network/v2.0/security-groups/sg1",
        "DELETE /image/v2/images/i1",           "DELETE /swift/v1/AUTH_p1/c%201/o1",
        "DELETE /swift/v1/AUTH_p1/c%201/a%20b", "DELETE /swift/v1/AUTH_p1/c%201",
    };
    EXPECT_EQ(f.cloud.mutations(), want);

    // The server was gone (a 404) before the first volume deletion was sent.
    std::vector<std::string> calls = f.cloud.all_calls();
    auto at = [&](const std::string &c) { return std::find(calls.begin(), calls.end(), c) - calls.begin(); };
    long server_gets = std::count(calls.begin(), calls.end(), "GET /compute/v2.1/servers/s1");
    EXPECT_GE(server_gets, 2);
    EXPECT_LT(at("GET /compute/v2.1/servers/s1") + server_gets - 1, at("DELETE /volume/v3/p1/volumes/v1"));
    EXPECT_LT(at("GET /volume/v3/p1/snapshots/sn1"), at("DELETE /volume/v3/p1/volumes/v1"));

    STR_PTR report;
    kvn_cleanup_deletion_report(plan.p, 0, report.s);
    EXPECT_EQ(report.text(),
              "12 of 14 resource(s) deleted, 2 failed.\n\n"
              "deleted server           s1                                   web\n"
              "deleted server group     g1                                   grp\n"
              "deleted volume backup    b1                                   bk\n"
              "deleted volume snapshot  sn1                                  snap\n"
              "FAILED  volume           v1                                   data   HTTP 409: Volume "
              "v1 is in use\n"
              "deleted volume           v2                                   v2\n"
              "deleted floating IP      f1                                   172.24.4.10\n"
              "deleted router           r1                                   gw\n"
              "deleted router           r2                                   inner\n"
              "deleted port             pt1                                  pt1\n"
              "deleted network          n1                                   net\n"
              "deleted security group   sg1                                  web\n"
              "FAILED  image            i1                                   cirros   HTTP 500: "
              "Internal error\n"
              "deleted container        c 1                                  c 1\n");

    // A second run over what is left finishes it once the refusals end.
    {
        std::lock_guard<std::mutex> g(f.cloud.mutex);
        f.cloud.refuse.clear();
    }
    ASSERT_EQ(kvn_cleanup_discover(f.session.s, "", plan.p, log.s, nullptr), 3); // v1, pt1, i1
    EXPECT_EQ(kvn_cleanup_delete(f.session.s, plan.p, nullptr, nullptr), 0);
    EXPECT_EQ(kvn_cleanup_discover(f.session.s, "", plan.p, log.s, nullptr), 0);
}

TEST(CleanupNet, NothingOutsideTheProjectIsDeleted) {
    FIXTURE f;
    f.fill();
    PLAN_PTR plan;
    q_strcpy(plan.p->project, sizeof plan.p->project, "p1");
    // A plan that names what p1 does not own, as a stale or altered plan
    // could: a server and an image of p2, and a network without an owner.
    KVN_CLEANUP_ITEM it = {};
    struct {
        const char *service, *kind, *id, *path;
    } rows[] = {
        {"compute", "server", "s2", "/servers/s2"},
        {"network", "network", "n2", "/networks/n2"},
        {"image", "image", "i2", "/images/i2"},
    };
    for (auto &r : rows) {
        q_strcpy(it.service, sizeof it.service, r.service);
        q_strcpy(it.kind, sizeof it.kind, r.kind);
        q_strcpy(it.id, sizeof it.id, r.id);
        q_strcpy(it.name, sizeof it.name, r.id);
        q_strcpy(it.path, sizeof it.path, r.path);
        kvn_cleanup_plan_add(plan.p, &it);
    }
    EXPECT_EQ(kvn_cleanup_delete(f.session.s, plan.p, nullptr, nullptr), 3);
    EXPECT_EQ(f.cloud.mutations(), std::vector<std::string>{});
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(plan.p->entries[i].state, KVN_CLEANUP_FAILED);
        EXPECT_STREQ(plan.p->entries[i].detail, "not deleted: it does not belong to project p1");
    }

    // Once the session has moved to another project, a container name and an
    // owner-less volume of the old plan no longer say whose they are.
    PLAN_PTR old;
    ASSERT_EQ(kvn_cleanup_discover(f.session.s, "", old.p, nullptr, nullptr), 14);
    q_strcpy(old.p->project, sizeof old.p->project, "p9");
    kvn_cleanup_delete(f.session.s, old.p, nullptr, nullptr);
    EXPECT_EQ(f.cloud.mutations(), std::vector<std::string>{});
    EXPECT_EQ(kvn_cleanup_plan_count_state(old.p, KVN_CLEANUP_DELETED), 0);
    EXPECT_STREQ(old.p->entries[13].detail, "not deleted: the session is no longer scoped to project p9");
}

TEST(CleanupNet, CancelStopsAfterTheCallUnderWay) {
    FIXTURE f;
    f.fill();
    PLAN_PTR plan;
    ASSERT_EQ(kvn_cleanup_discover(f.session.s, "", plan.p, nullptr, nullptr), 14);
    Q_HTTPC_CANCEL *cancel = q_httpc_cancel_new();
    {
        std::lock_guard<std::mutex> g(f.cloud.mutex);
        f.cloud.cancel = cancel;
        f.cloud.cancel_after = "/volume/v3/p1/backups/b1";
    }
    float progress = -1;
    EXPECT_EQ(kvn_cleanup_delete(f.session.s, plan.p, &progress, cancel), 0);
    EXPECT_FLOAT_EQ(progress, 2.0f / 14.0f);
    EXPECT_EQ(f.cloud.mutations().back(), "DELETE /volume/v3/p1/backups/b1");
    STR_PTR report;
    kvn_cleanup_deletion_report(plan.p, q_httpc_is_cancelled(cancel), report.s);
    const std::string text = report.text();
    EXPECT_EQ(text.substr(0, text.find('\n')), "3 of 14 resource(s) deleted, 0 failed (cancelled).");
    EXPECT_NE(text.find("deleted volume backup    b1 "), std::string::npos);
    EXPECT_NE(text.find("\n        volume snapshot  sn1 "), std::string::npos);
    EXPECT_NE(text.find("\n        container        c 1 "), std::string::npos);
    q_httpc_cancel_free(&cancel);
}
