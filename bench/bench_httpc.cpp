// The HTTP client against libcurl (one easy handle reused) on the same local
// nginx in the same run: sequential keep-alive GETs of a 1 KiB JSON file over
// plain HTTP and TLS (requests per second), and one 256 MiB download to a
// file (throughput). Prints medians of alternating rounds and their ratios.
//
//   bench_httpc [requests per round] [rounds] [download MiB]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "kvn_test_net.h"
#include "q_http_client.h"
#include "q_log.h"

using namespace kvn_net;
using CLOCK = std::chrono::steady_clock;

namespace {

double _seconds_since(CLOCK::time_point t0) {
    return std::chrono::duration<double>(CLOCK::now() - t0).count();
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

size_t _curl_to_string(char *p, size_t size, size_t n, void *user) {
    static_cast<std::string *>(user)->append(p, size * n);
    return size * n;
}

size_t _curl_to_file(char *p, size_t size, size_t n, void *user) {
    return fwrite(p, size, n, static_cast<FILE *>(user)) * size;
}

// Requests per second of `count` sequential GETs with our client.
double _ours_rps(const std::string &url, const std::string &ca, int count, size_t expect) {
    Q_HTTPC_REQ req = {};
    req.url = url.c_str();
    req.ca_file = ca.empty() ? nullptr : ca.c_str();
    auto t0 = CLOCK::now();
    for (int i = 0; i < count; i++) {
        Q_HTTPC_RESP *r = q_httpc_perform(&req);
        if (!r || r->status != 200 || r->body->length != expect) {
            fprintf(stderr, "our request failed: %s\n", r ? r->error : "no memory");
            exit(1);
        }
        q_httpc_resp_free(&r);
    }
    return count / _seconds_since(t0);
}

double _curl_rps(CURL *h, const std::string &url, const std::string &ca, int count, size_t expect) {
    std::string body;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _curl_to_string);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    if (!ca.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
    auto t0 = CLOCK::now();
    for (int i = 0; i < count; i++) {
        body.clear();
        long status = 0;
        if (curl_easy_perform(h) != CURLE_OK ||
            (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status), status != 200) || body.size() != expect) {
            fprintf(stderr, "curl request failed\n");
            exit(1);
        }
    }
    return count / _seconds_since(t0);
}

// MiB per second of one download to `path`.
double _ours_download(const std::string &url, const std::string &path, size_t expect) {
    FILE *f = fopen(path.c_str(), "wb");
    Q_HTTPC_REQ req = {};
    req.url = url.c_str();
    req.download_file = f;
    auto t0 = CLOCK::now();
    Q_HTTPC_RESP *r = q_httpc_perform(&req);
    fflush(f);
    double s = _seconds_since(t0);
    fclose(f);
    if (!r || r->status != 200 || (size_t)r->received != expect) {
        fprintf(stderr, "our download failed: %s\n", r ? r->error : "no memory");
        exit(1);
    }
    q_httpc_resp_free(&r);
    return expect / 1048576.0 / s;
}

double _curl_download(CURL *h, const std::string &url, const std::string &path, size_t expect) {
    FILE *f = fopen(path.c_str(), "wb");
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _curl_to_file);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, f);
    auto t0 = CLOCK::now();
    CURLcode rc = curl_easy_perform(h);
    fflush(f);
    double s = _seconds_since(t0);
    long size = ftell(f);
    fclose(f);
    if (rc != CURLE_OK || (size_t)size != expect) {
        fprintf(stderr, "curl download failed\n");
        exit(1);
    }
    return expect / 1048576.0 / s;
}

} // namespace

int main(int argc, char **argv) {
    int count = argc > 1 ? atoi(argv[1]) : 2000;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    size_t mib = argc > 3 ? (size_t)atol(argv[3]) : 256;
    set_log_level(Q_LOG_WARNING);
    q_httpc_global_init();
    curl_global_init(CURL_GLOBAL_DEFAULT);

    std::string tmpl = (std::filesystem::temp_directory_path() / "kvn-bench-XXXXXX").string();
    std::string dir = mkdtemp(tmpl.data());
    make_test_certs(dir);
    std::filesystem::create_directory(dir + "/www");
    std::string json = "{\"items\": [";
    while (json.size() < 1000)
        json += "{\"id\": " + std::to_string(json.size()) + "},";
    json += "{\"id\": 0}]}";
    json.resize(1024, ' ');
    write_file(dir + "/www/data.json", json);
    {
        std::string block(1 << 20, 'k');
        FILE *f = fopen((dir + "/www/big.bin").c_str(), "wb");
        for (size_t i = 0; i < mib; i++)
            fwrite(block.data(), 1, block.size(), f);
        fclose(f);
    }
    int plain = free_port(), tls = free_port();
    NGINX nginx;
    std::string common = "root %DIR%/www;\n";
    if (!nginx.start(dir,
                     "server { listen 127.0.0.1:" + std::to_string(plain) + ";\n" + common + "}\n" +
                         "server { listen 127.0.0.1:" + std::to_string(tls) +
                         " ssl;\nssl_certificate %DIR%/good.pem;\nssl_certificate_key %DIR%/good.key;\n" +
                         common + "}\n",
                     {plain, tls})) {
        fprintf(stderr, "nginx did not start (see %s)\n", dir.c_str());
        return 1;
    }
    std::string ca = dir + "/ca.pem";
    std::string plain_url = "http://127.0.0.1:" + std::to_string(plain) + "/data.json";
    std::string tls_url = "https://localhost:" + std::to_string(tls) + "/data.json";
    std::string big_url = "http://127.0.0.1:" + std::to_string(plain) + "/big.bin";
    std::string out = dir + "/download.bin";
    size_t big = mib << 20;

    CURL *h = curl_easy_init();
    std::vector<double> ours_plain, curl_plain, ours_tls, curl_tls, ours_dl, curl_dl;
    // Warm both clients' connections and caches before measuring.
    _ours_rps(plain_url, "", 50, json.size());
    _curl_rps(h, plain_url, "", 50, json.size());
    for (int r = 0; r < rounds; r++) {
        ours_plain.push_back(_ours_rps(plain_url, "", count, json.size()));
        curl_plain.push_back(_curl_rps(h, plain_url, "", count, json.size()));
        ours_tls.push_back(_ours_rps(tls_url, ca, count, json.size()));
        curl_tls.push_back(_curl_rps(h, tls_url, ca, count, json.size()));
    }
    int dl_rounds = rounds < 3 ? rounds : 3;
    for (int r = 0; r < dl_rounds; r++) {
        ours_dl.push_back(_ours_download(big_url, out, big));
        curl_dl.push_back(_curl_download(h, big_url, out, big));
    }
    curl_easy_cleanup(h);
    q_httpc_pool_flush();
    nginx.proc.stop();
    std::filesystem::remove_all(dir);

    printf("keep-alive GET 1 KiB, plain: ours %.0f req/s, libcurl %.0f req/s, ratio %.2f\n",
           _median(ours_plain), _median(curl_plain), _median(ours_plain) / _median(curl_plain));
    printf("keep-alive GET 1 KiB, TLS:   ours %.0f req/s, libcurl %.0f req/s, ratio %.2f\n",
           _median(ours_tls), _median(curl_tls), _median(ours_tls) / _median(curl_tls));
    printf("download %zu MiB to a file: ours %.0f MiB/s, libcurl %.0f MiB/s, ratio %.2f\n", mib,
           _median(ours_dl), _median(curl_dl), _median(ours_dl) / _median(curl_dl));
    curl_global_cleanup();
    return 0;
}
