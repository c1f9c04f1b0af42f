// labels: cloud
// Project cleanup against the local cloud: a fresh project filled with what
// the cloud can hold is listed exactly (the client's listings say the same),
// then emptied, while a second project with the same kinds stays whole. A
// volume of the project attached to the other project's server is refused
// midway, the rest goes on, and a second run finishes once it is free.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "kvn_cleanup.h"
#include "kvn_cloud_test.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_str.h"

namespace {

struct SESSION_PTR {
    KVN_SESSION *s = nullptr;
    ~SESSION_PTR() { kvn_session_free(&s); }
};
struct PLAN_PTR {
    KVN_CLEANUP_PLAN *p = kvn_cleanup_plan_new();
    ~PLAN_PTR() { kvn_cleanup_plan_free(&p); }
};
struct STR_PTR {
    Q_STR *s = new_qstr(256);
    ~STR_PTR() { free_qstr(&s); }
    std::string text() const { return std::string(s->data, s->length); }
};

const std::string PREFIX = "kvn-cleanup-";

// The admin user, scoped to a project by name (the admin project when empty).
KVN_SESSION *admin_on(const std::string &project) {
    KVN_PROFILE p;
    test_cloud_profile("admin", &p);
    if (!project.empty()) {
        q_strcpy(p.project_name, sizeof p.project_name, project.c_str());
        p.project_id[0] = 0;
    }
    KVN_SESSION *s = kvn_session_new(&p);
    if (s && kvn_session_authenticate(s, nullptr) != 0) kvn_session_free(&s);
    return s;
}

struct ANSWER {
    int status = 0;
    Q_CJSON json;
    std::string error;
};

ANSWER api(KVN_SESSION *s, const char *svc, const char *method, const std::string &path,
           const std::string &body = "", const char *content_type = nullptr) {
    KVN_CALL_OPTS o = {};
    if (content_type) {
        q_strcpy(o.content_type, sizeof o.content_type, content_type);
        o.raw_body = body.c_str();
    }
    Q_CJSON b(body.empty() || content_type ? nullptr : cJSON_Parse(body.c_str()));
    KVN_RESULT *r = kvn_session_call(s, svc, method, path.c_str(), b.get(), &o, nullptr);
    ANSWER a;
    if (!r) return a;
    a.status = r->status;
    a.error = r->error;
    a.json.reset(r->json);
    r->json = nullptr;
    kvn_result_free(&r);
    return a;
}

std::string str_at(const cJSON *j, const char *key, const char *member = "id") {
    const cJSON *o = key ? cJSON_GetObjectItemCaseSensitive(j, key) : j;
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, member);
    return cJSON_IsString(v) ? v->valuestring : "";
}

// Creates and returns the new id, failing the test when the cloud refuses.
std::string make(KVN_SESSION *s, const char *svc, const std::string &path, const std::string &body,
                 const char *key) {
    ANSWER a = api(s, svc, "POST", path, body);
    EXPECT_TRUE(a.status >= 200 && a.status < 300) << path << " " << body << ": " << a.error;
    return str_at(a.json.get(), key);
}

// Polls a resource until a member has the value (or an error state).
std::string wait_for(KVN_SESSION *s, const char *svc, const std::string &path, const char *key,
                     const char *member, const std::string &want, int seconds = 300) {
    std::string v;
    for (int i = 0; i < seconds; i++) {
        ANSWER a = api(s, svc, "GET", path);
        v = str_at(a.json.get(), key, member);
        if (v == want || v == "ERROR" || v == "error") return v;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return v;
}

// Whose ids the plan holds, by kind.
std::set<std::string> plan_ids(const KVN_CLEANUP_PLAN *p, const char *kind) {
    std::set<std::string> out;
    for (int i = 0; i < p->count; i++)
        if (!strcmp(p->entries[i].kind, kind)) out.insert(p->entries[i].id);
    return out;
}

std::set<std::string> lines_of(const std::string &text) {
    std::set<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (!l.empty()) out.insert(l);
    return out;
}

// The client's listings of a project, run side by side: ids per kind, with
// the same exclusions the cleanup makes (the default security group, and
// ports a router or network owns).
std::map<std::string, std::set<std::string>> cli_listings(const std::string &project_id,
                                                          const std::string &who) {
    const std::string p = " --project " + project_id;
    const std::vector<std::pair<std::string, std::string>> cmds = {
        {"server", "server list --all-projects" + p + " -f value -c ID"},
        {"volume snapshot", "volume snapshot list --all-projects" + p + " -f value -c ID"},
        {"volume", "volume list --all-projects" + p + " -f value -c ID"},
        {"floating IP", "floating ip list" + p + " -f value -c ID"},
        {"router", "router list" + p + " -f value -c ID"},
        {"port", "port list --long" + p + " -f value -c ID -c 'Device Owner'"},
        {"network", "network list" + p + " -f value -c ID"},
        {"security group", "security group list" + p + " -f value -c ID -c Name"},
        {"image", "image list --long -f value -c ID -c Project"},
    };
    std::string script;
    const std::string dir = "/tmp/kvn-cleanup-cli-" + std::to_string(getpid());
    sh_run("mkdir -p " + dir);
    for (size_t i = 0; i < cmds.size(); i++)
        script += "(. " + quote(cloud_dir() + "/" + who + "-openrc") +
                  " && /usr/bin/python3 /usr/bin/openstack " + cmds[i].second + " > " + dir + "/" +
                  std::to_string(i) + " 2>&1) & ";
    sh_run("env -u OS_CLOUD -u OS_CLIENT_CONFIG_FILE bash -c " + quote(script + "wait"));
    std::map<std::string, std::set<std::string>> out;
    for (size_t i = 0; i < cmds.size(); i++) {
        std::set<std::string> &ids = out[cmds[i].first];
        for (const std::string &l : lines_of(test_read_file(dir + "/" + std::to_string(i)))) {
            std::string id = l.substr(0, l.find(' '));
            std::string rest = l.find(' ') == std::string::npos ? "" : l.substr(l.find(' ') + 1);
            if (cmds[i].first == "port" && rest.rfind("network:", 0) == 0) continue;
            if (cmds[i].first == "security group" && rest == "default") continue;
            if (cmds[i].first == "image" && rest != project_id) continue;
            ids.insert(id);
        }
    }
    sh_run("rm -rf " + dir);
    return out;
}

// Removes the projects of earlier runs, and whatever they still own.
void remove_leftovers(KVN_SESSION *admin) {
    ANSWER a = api(admin, "identity", "GET", "/projects");
    const cJSON *p;
    cJSON_ArrayForEach(p, cJSON_GetObjectItemCaseSensitive(a.json.get(), "projects")) {
        std::string name = str_at(p, nullptr, "name");
        if (name.rfind(PREFIX, 0) != 0) continue;
        PLAN_PTR plan;
        if (kvn_cleanup_discover(admin, str_at(p, nullptr).c_str(), plan.p, nullptr, nullptr) > 0)
            kvn_cleanup_delete(admin, plan.p, nullptr, nullptr);
        api(admin, "identity", "DELETE", "/projects/" + str_at(p, nullptr));
    }
}

// A project of this run on which admin holds the admin role.
std::string new_project(KVN_SESSION *admin, const std::string &name, const std::string &role,
                        const std::string &user) {
    std::string id = make(admin, "identity", "/projects",
                          R"({"project": {"name": ")" + name + R"(", "domain_id": "default"}})", "project");
    if (!id.empty()) api(admin, "identity", "PUT", "/projects/" + id + "/users/" + user + "/roles/" + role);
    return id;
}

struct FILLED {
    std::string net, subnet, net2, subnet2, router, port, port2, fip, fip2, sg, server, vol, vol2, snap,
        image, stack, secret, zone, lb, container = "kvn-cleanup-box";
};

// Fills a project with one or more of each kind the cleanup knows, and
// some it does not.
void fill(KVN_SESSION *s, const std::string &tag, const std::string &public_net, const std::string &flavor,
          const std::string &image, FILLED *f, bool full) {
    f->net = make(s, "network", "/networks", R"({"network": {"name": "n-)" + tag + R"("}})", "network");
    f->subnet =
        make(s, "network", "/subnets",
             R"({"subnet": {"network_id": ")" + f->net + R"(", "ip_version": 4, "cidr": "10.91.1.0/24"}})",
             "subnet");
    f->sg = make(s, "network", "/security-groups", R"({"security_group": {"name": "web-)" + tag + R"("}})",
                 "security_group");
    make(s, "network", "/security-group-rules",
         R"({"security_group_rule": {"security_group_id": ")" + f->sg +
             R"(", "direction": "ingress", "protocol": "tcp", "port_range_min": 22, "port_range_max": 22}})",
         "security_group_rule");
    f->vol = make(s, "block-storage", "/volumes", R"({"volume": {"size": 1, "name": "v-)" + tag + R"("}})",
                  "volume");
    f->image =
        make(s, "image", "/images",
             R"({"name": "img-)" + tag + R"(", "disk_format": "raw", "container_format": "bare"})", nullptr);
    f->server =
        make(s, "compute", "/servers",
             R"({"server": {"name": "s-)" + tag + R"(", "flavorRef": ")" + flavor + R"(", "imageRef": ")" +
                 image + R"(", "networks": [{"uuid": ")" + f->net + R"("}]}})",
             "server");
    if (!full) return;
    f->net2 = make(s, "network", "/networks", R"({"network": {"name": "n2-)" + tag + R"("}})", "network");
    f->subnet2 =
        make(s, "network", "/subnets",
             R"({"subnet": {"network_id": ")" + f->net2 + R"(", "ip_version": 4, "cidr": "10.91.2.0/24"}})",
             "subnet");
    f->router = make(s, "network", "/routers",
                     R"({"router": {"name": "r-)" + tag + R"(", "external_gateway_info": {"network_id": ")" +
                         public_net + R"("}}})",
                     "router");
    for (const std::string &sub : {f->subnet, f->subnet2})
        api(s, "network", "PUT", "/routers/" + f->router + "/add_router_interface",
            R"({"subnet_id": ")" + sub + "\"}");
    f->port = make(s, "network", "/ports", R"({"port": {"network_id": ")" + f->net + R"(", "name": "p1"}})",
                   "port");
    f->port2 = make(s, "network", "/ports", R"({"port": {"network_id": ")" + f->net2 + R"(", "name": "p2"}})",
                    "port");
    f->fip = make(s, "network", "/floatingips",
                  R"({"floatingip": {"floating_network_id": ")" + public_net + R"(", "port_id": ")" +
                      f->port + "\"}}",
                  "floatingip");
    f->fip2 = make(s, "network", "/floatingips",
                   R"({"floatingip": {"floating_network_id": ")" + public_net + "\"}}", "floatingip");
    f->vol2 = make(s, "block-storage", "/volumes", R"({"volume": {"size": 1, "name": "v2-)" + tag + R"("}})",
                   "volume");
    api(s, "object-store", "PUT", "/" + f->container);
    for (const char *o : {"a.txt", "dir/b c.txt"})
        api(s, "object-store", "PUT",
            "/" + f->container + "/" + (std::string(o) == "a.txt" ? "a.txt" : "dir/b%20c.txt"), "hello",
            "text/plain");
    // Kinds of other services: the cleanup does not know them.
    ANSWER st =
        api(s, "orchestration", "POST", "/stacks",
            R"({"stack_name": "st-)" + tag +
                R"(", "template": {"heat_template_version": "2018-08-31", "resources": {"w": {"type": )"
                R"("OS::Heat::RandomString"}}}})");
    f->stack = str_at(st.json.get(), "stack");
    ANSWER sec =
        api(s, "key-manager", "POST", "/v1/secrets",
            R"({"name": "sec-)" + tag + R"(", "payload": "x", "payload_content_type": "text/plain"})");
    f->secret = str_at(sec.json.get(), nullptr, "secret_ref");
    ANSWER z =
        api(s, "dns", "POST", "/v2/zones", R"({"name": ")" + tag + R"(.kvn.test.", "email": "h@kvn.test"})");
    f->zone = str_at(z.json.get(), nullptr);
}

} // namespace

TEST(CleanupCloud, EmptiesOneProjectAndLeavesTheOtherWhole) {
    const auto t0 = std::chrono::steady_clock::now();
    SESSION_PTR admin;
    admin.s = admin_on("");
    ASSERT_NE(admin.s, nullptr);
    remove_leftovers(admin.s);

    KVN_SESSION_INFO ai;
    kvn_session_info(admin.s, &ai);
    ANSWER roles = api(admin.s, "identity", "GET", "/roles?name=admin");
    const std::string role =
        str_at(cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(roles.json.get(), "roles"), 0), nullptr);
    const std::string tag = std::to_string(getpid());
    const std::string name_a = PREFIX + "a-" + tag, name_b = PREFIX + "b-" + tag;
    const std::string pa = new_project(admin.s, name_a, role, ai.user_id);
    const std::string pb = new_project(admin.s, name_b, role, ai.user_id);
    ASSERT_FALSE(pa.empty());
    ASSERT_FALSE(pb.empty());

    ANSWER nets = api(admin.s, "network", "GET", "/networks?router:external=true");
    const std::string public_net =
        str_at(cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(nets.json.get(), "networks"), 0), nullptr);
    ANSWER flavors = api(admin.s, "compute", "GET", "/flavors");
    std::string flavor;
    const cJSON *fl;
    cJSON_ArrayForEach(fl, cJSON_GetObjectItemCaseSensitive(flavors.json.get(), "flavors")) {
        if (str_at(fl, nullptr, "name") == "m1.nano") flavor = str_at(fl, nullptr);
    }
    ANSWER images = api(admin.s, "image", "GET", "/images?name=cirros-fake");
    const std::string image =
        str_at(cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(images.json.get(), "images"), 0), nullptr);
    ASSERT_FALSE(public_net.empty() || flavor.empty() || image.empty());

    SESSION_PTR sa, sb;
    sa.s = admin_on(name_a);
    sb.s = admin_on(name_b);
    ASSERT_NE(sa.s, nullptr);
    ASSERT_NE(sb.s, nullptr);
    FILLED a, b;
    fill(sa.s, "a" + tag, public_net, flavor, image, &a, true);
    fill(sb.s, "b" + tag, public_net, flavor, image, &b, false);
    ASSERT_EQ(wait_for(sa.s, "block-storage", "/volumes/" + a.vol2, "volume", "status", "available"),
              "available");
    a.snap = make(sa.s, "block-storage", "/snapshots",
                  R"({"snapshot": {"volume_id": ")" + a.vol2 + R"(", "name": "snap"}})", "snapshot");
    ASSERT_EQ(wait_for(sa.s, "compute", "/servers/" + a.server, "server", "status", "ACTIVE"), "ACTIVE");
    ASSERT_EQ(wait_for(sb.s, "compute", "/servers/" + b.server, "server", "status", "ACTIVE"), "ACTIVE");
    ASSERT_EQ(wait_for(sa.s, "block-storage", "/volumes/" + a.vol, "volume", "status", "available"),
              "available");
    // A's first volume on its own server; A's snapshot's volume on B's server:
    // the refusal a cleanup of A meets.
    make(sa.s, "compute", "/servers/" + a.server + "/os-volume_attachments",
         R"({"volumeAttachment": {"volumeId": ")" + a.vol + "\"}}", "volumeAttachment");
    ASSERT_EQ(wait_for(sa.s, "block-storage", "/volumes/" + a.vol, "volume", "status", "in-use"), "in-use");
    ASSERT_EQ(wait_for(sa.s, "block-storage", "/snapshots/" + a.snap, "snapshot", "status", "available"),
              "available");
    make(sb.s, "compute", "/servers/" + b.server + "/os-volume_attachments",
         R"({"volumeAttachment": {"volumeId": ")" + a.vol2 + "\"}}", "volumeAttachment");
    ASSERT_EQ(wait_for(sa.s, "block-storage", "/volumes/" + a.vol2, "volume", "status", "in-use"), "in-use");
    const double setup_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("set-up: %.1f s\n", setup_s);

    // ---- dry run, as admin of A
    PLAN_PTR plan;
    STR_PTR log;
    const auto td = std::chrono::steady_clock::now();
    int n = kvn_cleanup_discover(sa.s, "", plan.p, log.s, nullptr);
    printf("discovery: %d entries in %.2f s\n", n,
           std::chrono::duration<double>(std::chrono::steady_clock::now() - td).count());
    ASSERT_GT(n, 0) << log.text();
    EXPECT_EQ(log.text(), "");
    EXPECT_STREQ(plan.p->project, pa.c_str());
    EXPECT_EQ(plan_ids(plan.p, "server"), std::set<std::string>{a.server});
    EXPECT_EQ(plan_ids(plan.p, "volume"), (std::set<std::string>{a.vol, a.vol2}));
    EXPECT_EQ(plan_ids(plan.p, "volume snapshot"), std::set<std::string>{a.snap});
    EXPECT_EQ(plan_ids(plan.p, "floating IP"), (std::set<std::string>{a.fip, a.fip2}));
    EXPECT_EQ(plan_ids(plan.p, "router"), std::set<std::string>{a.router});
    EXPECT_EQ(plan_ids(plan.p, "network"), (std::set<std::string>{a.net, a.net2}));
    EXPECT_EQ(plan_ids(plan.p, "security group"), std::set<std::string>{a.sg});
    EXPECT_EQ(plan_ids(plan.p, "image"), std::set<std::string>{a.image});
    EXPECT_EQ(plan_ids(plan.p, "container"), std::set<std::string>{a.container});
    std::set<std::string> ports = plan_ids(plan.p, "port");
    EXPECT_TRUE(ports.count(a.port) && ports.count(a.port2)) << "the server's own port is listed beside them";
    // The client's listings of A say the same, kind by kind.
    auto cli = cli_listings(pa, "admin");
    for (auto &kv : cli)
        EXPECT_EQ(plan_ids(plan.p, kv.first.c_str()), kv.second) << kv.first;
    STR_PTR dry;
    kvn_cleanup_discovery_report(plan.p, n, log.text().c_str(), dry.s);
    printf("%s\n", dry.text().c_str());

    // The client's own dry run on the same project, for the comparison.
    CLOUD_RESULT cli_dry =
        os_cli("--os-project-name " + name_a + " project cleanup --dry-run --project " + pa, "admin");
    printf("openstack project cleanup --dry-run (exit %d):\n%s\n", cli_dry.code, cli_dry.out.c_str());

    // ---- deletion: A's second volume is held by B's server
    const auto tx = std::chrono::steady_clock::now();
    int failed = kvn_cleanup_delete(sa.s, plan.p, nullptr, nullptr);
    printf("deletion: %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - tx).count());
    STR_PTR rep;
    kvn_cleanup_deletion_report(plan.p, 0, rep.s);
    printf("%s\n", rep.text().c_str());
    EXPECT_GE(failed, 1);
    for (int i = 0; i < plan.p->count; i++) {
        const KVN_CLEANUP_ITEM &e = plan.p->entries[i];
        if (e.id == a.vol2)
            EXPECT_EQ(e.state, KVN_CLEANUP_FAILED) << "in use by a server of another project";
        else
            EXPECT_EQ(e.state, KVN_CLEANUP_DELETED) << e.kind << " " << e.id << ": " << e.detail;
    }
    EXPECT_NE(rep.text().find("FAILED  volume           " + a.vol2), std::string::npos);

    // B is whole: its server still holds A's volume.
    EXPECT_EQ(wait_for(sb.s, "compute", "/servers/" + b.server, "server", "status", "ACTIVE", 1), "ACTIVE");
    for (const auto &[svc, path] :
         std::vector<std::pair<const char *, std::string>>{{"network", "/networks/" + b.net},
                                                           {"network", "/subnets/" + b.subnet},
                                                           {"network", "/security-groups/" + b.sg},
                                                           {"block-storage", "/volumes/" + b.vol},
                                                           {"image", "/images/" + b.image}})
        EXPECT_EQ(api(sb.s, svc, "GET", path).status, 200) << path;

    // ---- once B lets go of the volume, a second run finishes A
    api(sb.s, "compute", "DELETE", "/servers/" + b.server + "/os-volume_attachments/" + a.vol2);
    ASSERT_EQ(wait_for(sa.s, "block-storage", "/volumes/" + a.vol2, "volume", "status", "available"),
              "available");
    n = kvn_cleanup_discover(sa.s, "", plan.p, log.s, nullptr);
    EXPECT_GT(n, 0);
    EXPECT_EQ(kvn_cleanup_delete(sa.s, plan.p, nullptr, nullptr), 0);
    STR_PTR rep2;
    kvn_cleanup_deletion_report(plan.p, 0, rep2.s);
    printf("second run:\n%s\n", rep2.text().c_str());
    EXPECT_EQ(kvn_cleanup_discover(sa.s, "", plan.p, log.s, nullptr), 0);
    for (auto &kv : cli_listings(pa, "admin"))
        EXPECT_TRUE(kv.second.empty()) << kv.first << " left: " << *kv.second.begin();
    EXPECT_EQ(api(sa.s, "object-store", "GET", "/" + a.container).status, 404);
    // What the cleanup does not know stays: the stack, the secret and the zone.
    if (!a.stack.empty()) {
        EXPECT_EQ(api(sa.s, "orchestration", "GET", "/stacks/st-a" + tag + "/" + a.stack).status / 100, 2);
    }

    // ---- B afterwards: still whole, then removed with the cleanup itself,
    // as another project seen from the admin project.
    EXPECT_EQ(api(sb.s, "network", "GET", "/networks/" + b.net).status, 200);
    EXPECT_EQ(api(sb.s, "block-storage", "GET", "/volumes/" + b.vol).status, 200);
    PLAN_PTR pbp;
    EXPECT_GT(kvn_cleanup_discover(admin.s, pb.c_str(), pbp.p, nullptr, nullptr), 0);
    EXPECT_EQ(pbp.p->other_project, 1);
    EXPECT_EQ(kvn_cleanup_delete(admin.s, pbp.p, nullptr, nullptr), 0);
    // Leftovers of other services in A go with the test.
    if (!a.stack.empty()) api(sa.s, "orchestration", "DELETE", "/stacks/st-a" + tag + "/" + a.stack);
    if (!a.secret.empty()) api(sa.s, "key-manager", "DELETE", a.secret.substr(a.secret.find("/v1/")));
    if (!a.zone.empty()) api(sa.s, "dns", "DELETE", "/v2/zones/" + a.zone);
    for (const std::string &id : {pa, pb})
        api(admin.s, "identity", "DELETE", "/projects/" + id);
    printf("whole test: %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}
