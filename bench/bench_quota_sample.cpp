// One quota sample of a project holding 50 servers and 50 volumes, on the
// local cloud: kvn_quota_sample against the same API calls made one after
// another with libcurl and parsed with cJSON (the physical limit of a
// sequential collector), and, as a figure only, the same calls with the four
// services side by side on four threads. Medians of 5. Then the load of a
// history file of 100,000 such samples: time, and peak RSS of a process that
// does nothing else (measured with /usr/bin/time -v).
//
// The project, its user, servers and volumes are made by the benchmark as
// admin and removed at the end.
//
// usage: bench_quota_sample [servers] [volumes] [history lines]
//        bench_quota_sample --history <lines>        (the history part alone)
//        bench_quota_sample --load <file> [prefix...] (the RSS probe)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <functional>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kvn_api.h"
#include "kvn_history.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
using CLOCK = std::chrono::steady_clock;

double ms_since(CLOCK::time_point t0) {
    return std::chrono::duration<double, std::milli>(CLOCK::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct ANSWER {
    int status = 0;
    Q_CJSON json;
};

ANSWER call(KVN_SESSION *s, const char *svc, const char *method, const std::string &path,
            const std::string &body = "") {
    Q_CJSON j(body.empty() ? nullptr : cJSON_Parse(body.c_str()));
    KVN_RESULT *r = kvn_session_call(s, svc, method, path.c_str(), j.get(), nullptr, nullptr);
    ANSWER a;
    if (!r) return a;
    a.status = r->status;
    a.json.reset(r->json);
    r->json = nullptr;
    kvn_result_free(&r);
    return a;
}

std::string jstr(const cJSON *j, const char *path) {
    const cJSON *v = kvn_api_json_at(j, path);
    return cJSON_IsString(v) ? v->valuestring : "";
}

bool wait_for(const std::function<bool()> &done, int seconds) {
    auto end = CLOCK::now() + std::chrono::seconds(seconds);
    while (CLOCK::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return false;
}

size_t on_body(char *p, size_t n, size_t m, void *user) {
    static_cast<std::string *>(user)->append(p, n * m);
    return n * m;
}

// One service's calls as a plain client would make them: the same URLs and
// headers on one kept connection, each body parsed, next links followed.
struct CURL_CALLS {
    std::vector<std::string> urls;
    std::vector<std::string> headers; // besides the token
    const char *paged_key = nullptr;  // the last URL's collection, followed by "next"
};

int curl_run(const CURL_CALLS &c, const std::string &token) {
    CURL *h = curl_easy_init();
    curl_slist *hs = curl_slist_append(nullptr, ("X-Auth-Token: " + token).c_str());
    hs = curl_slist_append(hs, "Accept: application/json");
    for (const auto &x : c.headers)
        hs = curl_slist_append(hs, x.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, hs);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    int items = 0;
    for (size_t i = 0; i < c.urls.size(); i++) {
        std::string url = c.urls[i];
        while (!url.empty()) {
            std::string body;
            curl_easy_setopt(h, CURLOPT_URL, url.c_str());
            curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
            if (curl_easy_perform(h) != CURLE_OK) break;
            Q_CJSON doc(cJSON_Parse(body.c_str()));
            url.clear();
            if (c.paged_key && i + 1 == c.urls.size()) {
                items += cJSON_GetArraySize(cJSON_GetObjectItem(doc.get(), c.paged_key));
                const cJSON *next = cJSON_GetObjectItem(doc.get(), "next");
                if (cJSON_IsString(next)) {
                    std::string root = c.urls[i].substr(0, c.urls[i].find('/', c.urls[i].find("://") + 3));
                    url = root + next->valuestring;
                }
            }
        }
    }
    curl_slist_free_all(hs);
    curl_easy_cleanup(h);
    return items;
}

long peak_rss_kib(const std::string &self, const std::string &file, const std::string &prefixes = "") {
    std::string cmd = "/usr/bin/time -v " + self + " --load " + file + " " + prefixes + " 2>&1 >/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char line[512];
    long kib = -1;
    while (fgets(line, sizeof line, p))
        if (sscanf(line, " Maximum resident set size (kbytes): %ld", &kib) == 1) break;
    while (fgets(line, sizeof line, p)) {
    }
    pclose(p);
    return kib;
}
// A history of `lines` samples like this one, a sampling period apart: the
// load of all of it, and of one chart's group ("Compute usage").
void history_bench(cJSON *sample, int history_lines) {
    // A history of 100,000 samples like this one, a sampling period apart.
    TEST_DIR dir;
    std::string file = dir.file("history.jsonl");
    {
        FILE *f = fopen(file.c_str(), "wb");
        cJSON *t = cJSON_GetObjectItem(sample, "time");
        double start = t->valuedouble - 300.0 * history_lines;
        for (int i = 0; i < history_lines; i++) {
            cJSON_SetNumberValue(t, start + 300.0 * i);
            Q_CBUF line(cJSON_PrintUnformatted(sample));
            fprintf(f, "%s\n", line.get());
        }
        fclose(f);
    }
    std::vector<double> loads;
    size_t loaded = 0;
    for (int run = 0; run < 5; run++) {
        auto t0 = CLOCK::now();
        Q_CJSON all(kvn_history_load(file.c_str(), 0));
        loads.push_back(ms_since(t0));
        loaded = (size_t)cJSON_GetArraySize(all.get());
    }
    std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
    char exe[4096];
    ssize_t len = readlink(self.c_str(), exe, sizeof exe - 1);
    exe[len > 0 ? len : 0] = 0;
    long rss = peak_rss_kib(exe, file), rss_empty = peak_rss_kib(exe, "/dev/null");
    long long bytes = 0;
    if (FILE *f = fopen(file.c_str(), "rb")) {
        fseek(f, 0, SEEK_END);
        bytes = ftell(f);
        fclose(f);
    }
    printf(
        "history load: %zu lines (%.1f MiB) in %.0f ms (median of 5); peak RSS %ld KiB (%ld KiB without the "
        "load)\n",
        loaded, bytes / 1048576.0, median(loads), rss, rss_empty);
    const char *group[] = {"compute.instances", "compute.cores", "compute.server_groups", "compute.keypairs"};
    std::vector<double> group_loads;
    for (int run = 0; run < 5; run++) {
        auto t0 = CLOCK::now();
        Q_CJSON some(kvn_history_load_keys(file.c_str(), 0, group, 4));
        group_loads.push_back(ms_since(t0));
    }
    long rss_group =
        peak_rss_kib(exe, file, "compute.instances compute.cores compute.server_groups compute.keypairs");
    printf("history load of one chart group (4 prefixes): %.0f ms (median of 5); peak RSS %ld KiB\n",
           median(group_loads), rss_group);
}
} // namespace

int main(int argc, char **argv) {
    set_log_level(Q_LOG_ERR);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 3 && !strcmp(argv[1], "--load")) {
        auto t0 = CLOCK::now();
        Q_CJSON all(kvn_history_load_keys(argv[2], 0, argv + 3, argc - 3));
        printf("%d samples in %.1f ms\n", cJSON_GetArraySize(all.get()), ms_since(t0));
        return 0;
    }
    if (argc == 3 && !strcmp(argv[1], "--history")) {
        // The history part alone, from a sample of the demo project.
        q_httpc_global_init();
        KVN_PROFILE demo;
        test_cloud_profile("demo", &demo);
        KVN_SESSION *s = kvn_session_new(&demo);
        kvn_session_authenticate(s, nullptr);
        Q_CJSON sample(kvn_quota_sample(s, nullptr, nullptr, 0));
        kvn_session_free(&s);
        printf("sample of demo: %d metrics\n", cJSON_GetArraySize(sample.get()));
        history_bench(sample.get(), atoi(argv[2]));
        return 0;
    }
    int want_servers = argc > 1 ? atoi(argv[1]) : 50;
    int want_volumes = argc > 2 ? atoi(argv[2]) : 50;
    int history_lines = argc > 3 ? atoi(argv[3]) : 100000;
    q_httpc_global_init();
    curl_global_init(CURL_GLOBAL_DEFAULT);

    KVN_PROFILE admin_p;
    test_cloud_profile("admin", &admin_p);
    KVN_SESSION *admin = kvn_session_new(&admin_p);
    if (kvn_session_authenticate(admin, nullptr) != 0) {
        fprintf(stderr, "cannot authenticate as admin\n");
        return 1;
    }
    std::random_device rd;
    std::string name = "kvn-bench-quota-" + std::to_string(rd() % 1000000);
    std::string password = "pw-" + std::to_string(rd());
    ANSWER proj = call(admin, "identity", "POST", "/projects",
                       R"({"project": {"name": ")" + name + R"(", "domain_id": "default"}})");
    std::string project = jstr(proj.json.get(), "project.id");
    ANSWER user = call(admin, "identity", "POST", "/users",
                       R"({"user": {"name": ")" + name + R"(", "domain_id": "default", "password": ")" +
                           password + R"(", "default_project_id": ")" + project + R"("}})");
    std::string user_id = jstr(user.json.get(), "user.id");
    ANSWER roles = call(admin, "identity", "GET", "/roles?name=member");
    call(admin, "identity", "PUT",
         "/projects/" + project + "/users/" + user_id + "/roles/" + jstr(roles.json.get(), "roles.0.id"));
    int n = std::max(want_servers, want_volumes) + 10;
    call(admin, "compute", "PUT", "/os-quota-sets/" + project,
         R"({"quota_set": {"instances": )" + std::to_string(n) + R"(, "cores": )" + std::to_string(4 * n) +
             R"(, "ram": )" + std::to_string(4096 * n) + "}}");
    call(admin, "block-storage", "PUT", "/os-quota-sets/" + project,
         R"({"quota_set": {"volumes": )" + std::to_string(n) + R"(, "gigabytes": )" + std::to_string(4 * n) +
             "}}");

    KVN_PROFILE up;
    test_cloud_profile("demo", &up);
    q_strcpy(up.username, sizeof up.username, name.c_str());
    q_strcpy(up.secret, sizeof up.secret, password.c_str());
    q_strcpy(up.project_name, sizeof up.project_name, name.c_str());
    KVN_SESSION *us = kvn_session_new(&up);
    if (project.empty() || kvn_session_authenticate(us, nullptr) != 0) {
        fprintf(stderr, "cannot set up the benchmark project\n");
        return 1;
    }

    // Servers in batches of ten (one request each), each batch settled before
    // the next: the fake compute driver builds them quickly, the conductor
    // copes badly with many builds asked for at once.
    ANSWER flavors = call(us, "compute", "GET", "/flavors?minRam=0");
    ANSWER images = call(us, "image", "GET", "/images?name=cirros-fake");
    std::string flavor, image = jstr(images.json.get(), "images.0.id");
    const cJSON *it;
    cJSON_ArrayForEach(it,
                       cJSON_GetObjectItem(flavors.json.get(), "flavors")) if (jstr(it, "name") == "m1.nano")
        flavor = jstr(it, "id");
    auto count_status = [&](const char *path, const char *key, const char *status) {
        KVN_RESULT *r =
            kvn_call_paged(us, strstr(path, "volume") ? "block-storage" : "compute", path, key, nullptr);
        int c = 0, all = 0;
        const cJSON *x;
        if (r && r->json) cJSON_ArrayForEach(x, cJSON_GetObjectItem(r->json, key)) {
                all++;
                c += jstr(x, "status") == status;
            }
        kvn_result_free(&r);
        return std::make_pair(c, all);
    };
    auto t_setup = CLOCK::now();
    for (int made = 0; made < want_servers; made += 10) {
        int batch = std::min(10, want_servers - made);
        call(us, "compute", "POST", "/servers",
             R"({"server": {"name": "kvn-bench", "imageRef": ")" + image + R"(", "flavorRef": ")" + flavor +
                 R"(", "networks": "none", "min_count": )" + std::to_string(batch) + R"(, "max_count": )" +
                 std::to_string(batch) + "}}");
        wait_for([&] { return count_status("/servers/detail", "servers", "ACTIVE").first >= made + batch; },
                 600);
    }
    for (int i = 0; i < want_volumes; i++)
        call(us, "block-storage", "POST", "/volumes", R"({"volume": {"name": "kvn-bench", "size": 1}})");
    wait_for([&] { return count_status("/volumes/detail", "volumes", "available").first >= want_volumes; },
             900);
    auto servers = count_status("/servers/detail", "servers", "ACTIVE");
    auto volumes = count_status("/volumes/detail", "volumes", "available");
    printf("project %s: %d servers (%d ACTIVE), %d volumes (%d available); set-up %.0f s\n", name.c_str(),
           servers.second, servers.first, volumes.second, volumes.first, ms_since(t_setup) / 1000);

    // Warm: tokens, connections and microversions as a running program has them.
    char err[1024];
    Q_CJSON sample(kvn_quota_sample(us, nullptr, err, sizeof err));
    if (err[0]) printf("collector errors: %s\n", err);

    char base_c[KVN_URL_MAX], base_n[KVN_URL_MAX], base_v[KVN_URL_MAX], base_i[KVN_URL_MAX];
    kvn_session_endpoint(us, "compute", base_c, sizeof base_c);
    kvn_session_endpoint(us, "network", base_n, sizeof base_n);
    kvn_session_endpoint(us, "block-storage", base_v, sizeof base_v);
    kvn_session_endpoint(us, "image", base_i, sizeof base_i);
    char mv_c[16] = "", mv_v[16] = "";
    kvn_session_cached_microversion(us, "compute", nullptr, 0, mv_c, sizeof mv_c);
    kvn_session_cached_microversion(us, "block-storage", nullptr, 0, mv_v, sizeof mv_v);
    std::string c = base_c, nb = base_n, v = base_v, im = base_i;
    CURL_CALLS services[4] = {
        {{c + "/limits", c + "/os-keypairs", c + "/servers/detail"},
         {std::string("OpenStack-API-Version: compute ") + mv_c,
          std::string("X-OpenStack-Nova-API-Version: ") + mv_c},
         nullptr},
        {{nb + "/quotas/" + project + "/details.json"}, {}, nullptr},
        {{v + "/os-quota-sets/" + project + "?usage=true", v + "/volumes/detail"},
         {std::string("OpenStack-API-Version: volume ") + mv_v},
         nullptr},
        {{im + "/info/usage", im + "/images?owner=" + project}, {}, "images"},
    };

    std::vector<double> ours, seq, par;
    for (int run = 0; run < 5; run++) {
        auto t0 = CLOCK::now();
        sample.reset(kvn_quota_sample(us, nullptr, err, sizeof err));
        ours.push_back(ms_since(t0));

        char token[KVN_TOKEN_MAX];
        kvn_session_token(us, token, sizeof token);
        std::string tok = token;
        q_secure_zero(token, sizeof token);
        t0 = CLOCK::now();
        for (const auto &s : services)
            curl_run(s, tok);
        seq.push_back(ms_since(t0));

        t0 = CLOCK::now();
        std::vector<std::thread> threads;
        for (const auto &s : services)
            threads.emplace_back([&s, &tok] { curl_run(s, tok); });
        for (auto &t : threads)
            t.join();
        par.push_back(ms_since(t0));
        q_secure_zero(tok.data(), tok.size());
    }
    double o = median(ours), s = median(seq), p = median(par);
    printf("quota sample (%d metrics): kelvane %.1f ms, libcurl sequential %.1f ms, libcurl 4 services in "
           "parallel %.1f ms\n",
           cJSON_GetArraySize(sample.get()), o, s, p);
    printf(
        "ratio to the sequential limit %.2fx; running the four services in parallel would take %.2fx of the "
        "sequential time (medians of 5)\n",
        o / s, p / s);

    history_bench(sample.get(), history_lines);

    // Clean-up: servers and volumes first, then the user and the project.
    KVN_RESULT *r = kvn_call_paged(us, "compute", "/servers/detail", "servers", nullptr);
    if (r && r->json)
        cJSON_ArrayForEach(it, cJSON_GetObjectItem(r->json, "servers"))
            call(us, "compute", "DELETE", "/servers/" + jstr(it, "id"));
    kvn_result_free(&r);
    r = kvn_call_paged(us, "block-storage", "/volumes/detail", "volumes", nullptr);
    if (r && r->json)
        cJSON_ArrayForEach(it, cJSON_GetObjectItem(r->json, "volumes"))
            call(us, "block-storage", "DELETE", "/volumes/" + jstr(it, "id"));
    kvn_result_free(&r);
    wait_for([&] { return count_status("/servers/detail", "servers", "").second == 0; }, 600);
    wait_for([&] { return count_status("/volumes/detail", "volumes", "").second == 0; }, 600);
    call(admin, "identity", "DELETE", "/users/" + user_id);
    call(admin, "identity", "DELETE", "/projects/" + project);
    kvn_session_free(&us);
    kvn_session_free(&admin);
    curl_global_cleanup();
    return 0;
}
