// Project cleanup at scale on the local cloud: two projects filled alike with
// `count` resources of cheap kinds (networks, ports, security groups with a
// rule each, floating IPs, images), one emptied by Kelvane's cleanup
// (discovery and deletion), the other by `openstack project cleanup`
// (confirmed on its input), in the same run. Prints both wall times, their ratio, what
// each left behind and the peak RSS of this process. The projects go at the
// end, and with --cleanup alone (the driver runs that on an interrupt too).
//
// usage: bench_cleanup <source dir> [count] | bench_cleanup <source dir> --cleanup
#include <cJSON.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "kvn_cleanup.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_str.h"

namespace {
using CLOCK = std::chrono::steady_clock;
const char *const k_ours = "kvn-bench-cleanup-ours";
const char *const k_peer = "kvn-bench-cleanup-cli";

double s_since(CLOCK::time_point t0) {
    return std::chrono::duration<double>(CLOCK::now() - t0).count();
}

KVN_SESSION *admin_on(const char *project) {
    KVN_PROFILE p;
    test_cloud_profile("admin", &p);
    if (project) {
        q_strcpy(p.project_name, sizeof p.project_name, project);
        p.project_id[0] = 0;
    }
    KVN_SESSION *s = kvn_session_new(&p);
    if (s && kvn_session_authenticate(s, nullptr) != 0) kvn_session_free(&s);
    return s;
}

Q_CJSON call(KVN_SESSION *s, const char *svc, const char *method, const std::string &path,
             const std::string &body = "", int *status = nullptr) {
    Q_CJSON b(body.empty() ? nullptr : cJSON_Parse(body.c_str()));
    KVN_RESULT *r = kvn_session_call(s, svc, method, path.c_str(), b.get(), nullptr, nullptr);
    Q_CJSON out;
    if (status) *status = r ? r->status : 0;
    if (r && !kvn_result_ok(r)) fprintf(stderr, "%s %s: %s\n", method, path.c_str(), r->error);
    if (r) {
        out.reset(r->json);
        r->json = nullptr;
    }
    kvn_result_free(&r);
    return out;
}

std::string id_at(const cJSON *j, const char *key) {
    const cJSON *o = key ? cJSON_GetObjectItemCaseSensitive(j, key) : j;
    if (cJSON_IsArray(o)) o = cJSON_GetArrayItem(o, 0);
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, "id");
    return cJSON_IsString(v) ? v->valuestring : "";
}

std::string project_id(KVN_SESSION *admin, const char *name) {
    Q_CJSON a = call(admin, "identity", "GET", std::string("/projects?name=") + name);
    return id_at(a.get(), "projects");
}

// Removes a bench project and all it owns, with the cleanup itself.
void drop_project(KVN_SESSION *admin, const char *name) {
    const std::string id = project_id(admin, name);
    if (id.empty()) return;
    KVN_CLEANUP_PLAN *plan = kvn_cleanup_plan_new();
    if (plan && kvn_cleanup_discover(admin, id.c_str(), plan, nullptr, nullptr) > 0)
        kvn_cleanup_delete(admin, plan, nullptr, nullptr);
    kvn_cleanup_plan_free(&plan);
    call(admin, "identity", "DELETE", "/projects/" + id);
}

std::string make_project(KVN_SESSION *admin, const char *name) {
    KVN_SESSION_INFO ai;
    kvn_session_info(admin, &ai);
    Q_CJSON roles = call(admin, "identity", "GET", "/roles?name=admin");
    const std::string role = id_at(roles.get(), "roles");
    Q_CJSON p = call(admin, "identity", "POST", "/projects",
                     std::string(R"({"project": {"name": ")") + name + R"(", "domain_id": "default"}})");
    const std::string id = id_at(p.get(), "project");
    if (id.empty()) return id;
    call(admin, "identity", "PUT", "/projects/" + id + "/users/" + ai.user_id + "/roles/" + role);
    call(
        admin, "network", "PUT", "/quotas/" + id,
        R"({"quota": {"network": -1, "subnet": -1, "port": -1, "security_group": -1, "security_group_rule": -1, )"
        R"("floatingip": -1}})");
    return id;
}

// A bulk create of n items under a plural key, in calls of at most 20.
std::vector<std::string> bulk(KVN_SESSION *s, const char *path, const char *plural, int n,
                              const std::string &item_json) {
    std::vector<std::string> ids;
    for (int done = 0; done < n;) {
        int k = std::min(20, n - done);
        std::string body = std::string("{\"") + plural + "\": [";
        for (int i = 0; i < k; i++)
            body += (i ? ", " : "") + item_json;
        Q_CJSON a = call(s, "network", "POST", path, body + "]}");
        const cJSON *e;
        cJSON_ArrayForEach(e, cJSON_GetObjectItemCaseSensitive(a.get(), plural)) {
            ids.push_back(id_at(e, nullptr));
        }
        if (!a) break;
        done += k;
    }
    return ids;
}

// Fills a project with `count` resources: 1/5 networks, 2/5 ports, 1/5
// security groups (each with a rule), 1/10 floating IPs and 1/10 images.
int fill(KVN_SESSION *s, int count, const std::string &public_net) {
    const int nets = count / 5, ports = 2 * count / 5, sgs = count / 5, fips = count / 10;
    const int images = count - nets - ports - sgs - fips;
    std::vector<std::string> net_ids = bulk(s, "/networks", "networks", nets, R"({"name": "bench"})");
    int made = (int)net_ids.size();
    for (int i = 0; i < ports && !net_ids.empty(); i += 2) {
        std::string p = R"({"network_id": ")" + net_ids[(size_t)(i / 2) % net_ids.size()] + "\"}";
        made += (int)bulk(s, "/ports", "ports", std::min(2, ports - i), p).size();
    }
    std::vector<std::string> sg_ids =
        bulk(s, "/security-groups", "security_groups", sgs, R"({"name": "bench"})");
    made += (int)sg_ids.size();
    for (const std::string &sg : sg_ids)
        call(
            s, "network", "POST", "/security-group-rules",
            R"({"security_group_rule": {"security_group_id": ")" + sg +
                R"(", "direction": "ingress", "protocol": "tcp", "port_range_min": 80, "port_range_max": 80}})");
    for (int i = 0; i < fips; i++)
        made += !id_at(call(s, "network", "POST", "/floatingips",
                            R"({"floatingip": {"floating_network_id": ")" + public_net + "\"}}")
                           .get(),
                       "floatingip")
                     .empty();
    for (int i = 0; i < images; i++)
        made += !id_at(call(s, "image", "POST", "/images",
                            R"({"name": "bench", "disk_format": "raw", "container_format": "bare"})")
                           .get(),
                       nullptr)
                     .empty();
    return made;
}

int remaining(KVN_SESSION *admin, const std::string &project) {
    KVN_CLEANUP_PLAN *plan = kvn_cleanup_plan_new();
    int n = plan ? kvn_cleanup_discover(admin, project.c_str(), plan, nullptr, nullptr) : -1;
    kvn_cleanup_plan_free(&plan);
    return n;
}
} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_cleanup <source dir> [count] | <source dir> --cleanup\n");
        return 2;
    }
    KVN_SESSION *admin = admin_on(nullptr);
    if (!admin) {
        fprintf(stderr, "cannot sign in as admin on the local cloud\n");
        return 1;
    }
    drop_project(admin, k_ours);
    drop_project(admin, k_peer);
    if (argc > 2 && !strcmp(argv[2], "--cleanup")) {
        kvn_session_free(&admin);
        return 0;
    }
    const int count = argc > 2 ? atoi(argv[2]) : 200;
    Q_CJSON nets = call(admin, "network", "GET", "/networks?router:external=true");
    const std::string public_net = id_at(nets.get(), "networks");
    const std::string ours_id = make_project(admin, k_ours), peer_id = make_project(admin, k_peer);
    KVN_SESSION *ours = admin_on(k_ours);
    KVN_SESSION *peer = admin_on(k_peer);
    if (ours_id.empty() || peer_id.empty() || !ours || !peer || public_net.empty()) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    auto t0 = CLOCK::now();
    const int made_ours = fill(ours, count, public_net);
    const int made_peer = fill(peer, count, public_net);
    printf("set-up: %d + %d resources in %.1f s\n", made_ours, made_peer, s_since(t0));

    KVN_CLEANUP_PLAN *plan = kvn_cleanup_plan_new();
    Q_STR *log = new_qstr(256);
    t0 = CLOCK::now();
    const int listed = kvn_cleanup_discover(ours, "", plan, log, nullptr);
    const double discover_s = s_since(t0);
    const int failed = kvn_cleanup_delete(ours, plan, nullptr, nullptr);
    const double ours_s = s_since(t0);
    printf("kelvane: %d listed in %.1f s, deleted with %d failed, %.1f s in all%s%s\n", listed, discover_s,
           failed, ours_s, log->length ? "; not checked: " : "", log->data);

    // Debian's client has no --auto-approve: it asks once, on its input.
    const std::string cmd = "echo y | env -u OS_CLOUD -u OS_CLIENT_CONFIG_FILE bash -c '. " +
                            test_cloud_dir() +
                            "/admin-openrc && exec /usr/bin/python3 /usr/bin/openstack --os-project-name " +
                            k_peer + " project cleanup --project " + peer_id + "' > /dev/null 2>&1";
    t0 = CLOCK::now();
    const int rc = system(cmd.c_str());
    const double peer_s = s_since(t0);
    printf("openstack project cleanup: exit %d, %.1f s\n", rc, peer_s);

    const int left_ours = remaining(admin, ours_id), left_peer = remaining(admin, peer_id);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("left behind: kelvane %d, openstack %d (of the kinds the cleanup lists)\n", left_ours, left_peer);
    printf("peak RSS: %ld KiB\n", ru.ru_maxrss);
    printf("ratio (openstack / kelvane): %.2f\n", ours_s > 0 ? peer_s / ours_s : 0.0);
    // The client leaves kinds it does not clean (networks, ports, routers
    // in Debian's version): the time per resource it did remove is the
    // figure that compares like with like.
    const int gone_ours = made_ours - left_ours, gone_peer = made_peer - left_peer;
    if (gone_ours > 0 && gone_peer > 0)
        printf("per resource removed: kelvane %.2f s (%d), openstack %.2f s (%d), ratio %.2f\n",
               ours_s / gone_ours, gone_ours, peer_s / gone_peer, gone_peer,
               (peer_s / gone_peer) / (ours_s / gone_ours));

    free_qstr(&log);
    kvn_cleanup_plan_free(&plan);
    kvn_session_free(&ours);
    kvn_session_free(&peer);
    drop_project(admin, k_ours);
    drop_project(admin, k_peer);
    kvn_session_free(&admin);
    return 0;
}
