// End-to-end listing of 1000 images on the local cloud: from the request to
// every cell formatted with the shipped descriptor's columns, against the same
// pages fetched with libcurl and parsed with cJSON (the physical limit) and
// against `openstack image list -f value`. Medians of 5; prints ratios.
//
// usage: bench_list_cloud <build dir with resources/api> [count]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <string>
#include <thread>
#include <vector>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
using CLOCK = std::chrono::steady_clock;

double ms_since(CLOCK::time_point t0) { return std::chrono::duration<double, std::milli>(CLOCK::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct LISTED {
    bool done = false;
    int items = 0;
    size_t cells = 0;
};
const KVN_RESOURCE *g_res;

void on_list(KVN_REQ *req, void *user) {
    auto *l = static_cast<LISTED *>(user);
    cJSON *items = kvn_api_items(req->result->json, g_res->list_key);
    char cell[512];
    const cJSON *it;
    cJSON_ArrayForEach(it, items) {
        for (int c = 0; c < g_res->column_count; c++) {
            kvn_api_format_cell(it, &g_res->columns[c], cell, sizeof cell);
            l->cells += strlen(cell);
        }
        l->items++;
    }
    l->done = true;
}

size_t on_body(char *p, size_t n, size_t m, void *user) {
    static_cast<std::string *>(user)->append(p, n * m);
    return n * m;
}

// The same pages with libcurl and cJSON only: follows Glance's "next".
int curl_list(const std::string &base, const std::string &token) {
    CURL *c = curl_easy_init();
    curl_slist *h = curl_slist_append(nullptr, ("X-Auth-Token: " + token).c_str());
    h = curl_slist_append(h, "Accept: application/json");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, h);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    std::string root = base.substr(0, base.find('/', base.find("://") + 3));
    std::string url = base + "/images";
    int total = 0;
    while (!url.empty()) {
        std::string body;
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        if (curl_easy_perform(c) != CURLE_OK) break;
        cJSON *doc = cJSON_Parse(body.c_str());
        total += cJSON_GetArraySize(cJSON_GetObjectItem(doc, "images"));
        const cJSON *next = cJSON_GetObjectItem(doc, "next");
        url = cJSON_IsString(next) ? root + next->valuestring : "";
        cJSON_Delete(doc);
    }
    curl_slist_free_all(h);
    curl_easy_cleanup(c);
    return total;
}
} // namespace

int main(int argc, char **argv) {
    set_log_level(Q_LOG_ERR);
    std::string build = argc > 1 ? argv[1] : "build/release";
    int want = argc > 2 ? atoi(argv[2]) : 1000;
    KVN_API *api = kvn_api_load_dir((build + "/resources/api").c_str());
    g_res = kvn_api_lookup(api, "image.image");
    if (!g_res) {
        fprintf(stderr, "no image.image in %s/resources/api\n", build.c_str());
        return 1;
    }

    KVN_PROFILE p;
    test_cloud_profile("admin", &p);
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    kvn_jobs_init(4);
    app.session = kvn_session_new(&p);
    if (kvn_session_authenticate(app.session, nullptr) != 0) {
        char err[1024];
        kvn_session_last_error(app.session, err, sizeof err);
        fprintf(stderr, "cannot authenticate: %s\n", err);
        return 1;
    }

    // Set-up, once: enough images (metadata only) to list.
    KVN_RESULT *r = kvn_call_paged(app.session, "image", "/images?limit=1000", "images", nullptr);
    int have = kvn_result_ok(r) ? cJSON_GetArraySize(cJSON_GetObjectItem(r->json, "images")) : 0;
    kvn_result_free(&r);
    for (int i = have; i < want; i++) {
        Q_CJSON body(cJSON_Parse(R"({"name": "kvn-bench", "disk_format": "raw", "container_format": "bare"})"));
        r = kvn_session_call(app.session, "image", "POST", "/images", body.get(), nullptr, nullptr);
        kvn_result_free(&r);
    }

    std::vector<double> ours, limit, cli;
    int items = 0, curl_items = 0;
    char base[KVN_URL_MAX];
    kvn_session_endpoint(app.session, "image", base, sizeof base);
    for (int run = 0; run < 5; run++) {
        auto t0 = CLOCK::now();
        LISTED l;
        KVN_REQ *req = kvn_req_new("image", "GET", g_res->list_path);
        q_strcpy(req->collection_key, sizeof req->collection_key, g_res->list_key);
        req->flags = KVN_REQ_ALL_PAGES;
        kvn_req_submit(req, "bench", on_list, &l);
        while (!l.done) {
            kvn_jobs_deliver();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ours.push_back(ms_since(t0));
        items = l.items;

        t0 = CLOCK::now();
        char token[KVN_TOKEN_MAX];
        kvn_session_token(app.session, token, sizeof token);
        curl_items = curl_list(base, token);
        q_secure_zero(token, sizeof token);
        limit.push_back(ms_since(t0));

        t0 = CLOCK::now();
        std::string cmd = "bash -c 'set -a; . " + test_cloud_dir() + "/admin-openrc; openstack image list -f value " +
                          "| wc -l' > /dev/null 2>&1";
        int rc = system(cmd.c_str());
        (void)rc;
        cli.push_back(ms_since(t0));
    }
    double o = median(ours), l = median(limit), c = median(cli);
    printf("listing %d images (%d via libcurl): kelvane %.1f ms, libcurl+cJSON %.1f ms, openstack CLI %.1f ms\n",
           items, curl_items, o, l, c);
    printf("ratio to the limit %.2fx, to the CLI %.3fx (medians of 5)\n", o / l, o / c);

    kvn_app_disconnect();
    kvn_jobs_shutdown();
    kvn_api_free(&api);
    return 0;
}
