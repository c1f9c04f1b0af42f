// labels: cloud
// The composite tools against the local cloud as the demo user: a container
// of 1,000 objects in pseudo folders and one of 50 MiB saved byte for byte,
// names that would leave the folder refused, a download on a full disk; the
// metric benchmark against Gnocchi; the cluster certificates against Magnum.
#include <gtest/gtest.h>

#include <cJSON.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <csignal>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <vector>

#include "kvn_cloud_test.h"
#include "kvn_composite.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_http_client.h"
#include "q_str.h"

namespace {

const char *const k_prefix = "kvn-composite-";

struct SESSION_PTR {
    KVN_SESSION *s = nullptr;
    ~SESSION_PTR() { kvn_session_free(&s); }
};

KVN_SESSION *_connect(const std::string &who) {
    q_httpc_global_init();
    KVN_PROFILE p;
    test_cloud_profile(who, &p);
    KVN_SESSION *s = kvn_session_new(&p);
    kvn_profile_wipe_secret(&p);
    if (kvn_session_authenticate(s, nullptr) != 0) ADD_FAILURE() << "authentication of " << who;
    return s;
}

// Built by appending: g++ 12 warns falsely on "/" + std::string here.
std::string _slash(const std::string &x) {
    std::string r(1, '/');
    r += x;
    return r;
}

std::string _enc(const std::string &text) {
    Q_STR *e = nullptr;
    q_httpc_url_encode(&e, text.c_str());
    std::string out = e ? std::string(e->data, e->length) : "";
    if (e) free_qstr(&e);
    return out;
}

// A Swift call without a microversion; its status (0 without an answer).
int _swift(KVN_SESSION *s, const char *method, const std::string &path, const char *body = nullptr,
           const std::string &upload = "", cJSON **json = nullptr) {
    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    o.has_microversion = 1;
    o.raw_body = body;
    if (!upload.empty()) q_strcpy(o.upload_path, sizeof o.upload_path, upload.c_str());
    KVN_RESULT *r = kvn_call(s, "object-store", method, path.c_str(), nullptr, &o, nullptr);
    const int status = r ? r->status : 0;
    if (json && r) {
        *json = r->json;
        r->json = nullptr;
    }
    kvn_result_free(&r);
    return status;
}

// Removes this test's containers (and their objects): this run's, and those
// of runs that stopped without cleaning up. A container whose name ends in
// the id of a live process belongs to a run going on now, and stays.
void _remove_containers(KVN_SESSION *s) {
    cJSON *list = nullptr;
    _swift(s, "GET", "/?format=json", nullptr, "", &list);
    Q_CJSON guard(list);
    const cJSON *c;
    cJSON_ArrayForEach(c, list) {
        const cJSON *n = cJSON_GetObjectItemCaseSensitive(c, "name");
        if (!cJSON_IsString(n) || strncmp(n->valuestring, k_prefix, strlen(k_prefix)) != 0) continue;
        const char *dash = strrchr(n->valuestring, '-');
        const long owner = dash ? strtol(dash + 1, nullptr, 10) : 0;
        if (owner > 0 && owner != getpid() && kill((pid_t)owner, 0) == 0) continue;
        const std::string cpath = _slash(_enc(n->valuestring));
        // Swift deletes up to 10,000 names per bulk request, one object per
        // line; a listing gives at most as many.
        for (int round = 0; round < 20; round++) {
            cJSON *objects = nullptr;
            _swift(s, "GET", cpath + "?format=json", nullptr, "", &objects);
            Q_CJSON og(objects);
            if (!cJSON_GetArraySize(objects)) break;
            std::string names;
            const cJSON *o;
            cJSON_ArrayForEach(o, objects) {
                const cJSON *on = cJSON_GetObjectItemCaseSensitive(o, "name");
                if (cJSON_IsString(on)) names += cpath + _slash(_enc(on->valuestring)) + "\n";
            }
            KVN_CALL_OPTS opts;
            memset(&opts, 0, sizeof opts);
            opts.has_microversion = 1;
            opts.raw_body = names.c_str();
            q_strcpy(opts.content_type, sizeof opts.content_type, "text/plain");
            KVN_RESULT *r = kvn_call(s, "object-store", "POST", "/?bulk-delete", nullptr, &opts, nullptr);
            kvn_result_free(&r);
        }
        _swift(s, "DELETE", cpath);
    }
}

TEST(CompositeCloud, ContainerSaveWritesEveryObjectByteForByte) {
    SESSION_PTR s{_connect("demo")};
    ASSERT_TRUE(s.s);
    _remove_containers(s.s);
    const std::string container = std::string(k_prefix) + "save-" + std::to_string(getpid());
    const std::string cpath = _slash(_enc(container));
    ASSERT_EQ(_swift(s.s, "PUT", cpath, ""), 201);

    // 1,000 small objects under pseudo folders (sent as one archive that
    // the proxy unpacks), a folder marker, one object of 50 MiB of random
    // bytes, and names that would leave the folder.
    TEST_DIR src;
    std::vector<std::pair<std::string, std::string>> small;
    for (int i = 0; i < 1000; i++) {
        char name_text[64], body[32];
        snprintf(name_text, sizeof name_text, "d%d/sub%d/o%d.txt", i % 10, i % 4, i);
        snprintf(body, sizeof body, "object %d\n", i);
        small.push_back({name_text, body});
        ASSERT_EQ(
            kvn_paths_mkdirs(
                src.file("tree/" + small.back().first.substr(0, small.back().first.rfind('/'))).c_str()),
            0);
        test_write_file(src.file("tree/" + small.back().first), body);
    }
    ASSERT_EQ(sh_run("tar -C " + quote(src.file("tree")) + " -cf " + quote(src.file("objects.tar")) +
                     " d0 d1 d2 d3 d4 d5 d6 d7 d8 d9")
                  .code,
              0);
    cJSON *extracted = nullptr;
    ASSERT_EQ(
        _swift(s.s, "PUT", cpath + "?extract-archive=tar", nullptr, src.file("objects.tar"), &extracted),
        200);
    Q_CJSON extracted_guard(extracted);
    const cJSON *created = cJSON_GetObjectItemCaseSensitive(extracted, "Number Files Created");
    ASSERT_TRUE(cJSON_IsNumber(created) && created->valueint == 1000) << cJSON_PrintUnformatted(extracted);
    ASSERT_EQ(_swift(s.s, "PUT", cpath + "/empty-folder/", ""), 201);
    std::string big(50 * 1024 * 1024, '\0');
    std::mt19937 rng(7);
    for (char &c : big)
        c = (char)(rng() & 0xff);
    test_write_file(src.file("big.bin"), big);
    ASSERT_EQ(_swift(s.s, "PUT", cpath + "/big/blob.bin", nullptr, src.file("big.bin")), 201);
    // Encoded whole, the slash stays inside one name, as a hostile uploader
    // would send it.
    ASSERT_EQ(_swift(s.s, "PUT", cpath + _slash(_enc("../x")), "escape"), 201);
    ASSERT_EQ(_swift(s.s, "PUT", cpath + _slash(_enc("d0/../../y")), "escape"), 201);

    TEST_DIR out;
    const std::string folder = out.file("saved/here");
    Q_STR *log = new_qstr(1024);
    std::vector<float> seen;
    auto progress = [](float done, void *user) { static_cast<std::vector<float> *>(user)->push_back(done); };
    const int n = kvn_container_save(s.s, container.c_str(), folder.c_str(), progress, &seen, log, nullptr);
    const std::string report = log->data;
    free_qstr(&log);
    EXPECT_EQ(n, 1001) << report;
    EXPECT_EQ(report, "skipped ../x: the name would leave the folder\n"
                      "skipped d0/../../y: the name would leave the folder\n");
    for (const auto &o : small)
        EXPECT_EQ(test_read_file(folder + "/" + o.first), o.second) << o.first;
    EXPECT_TRUE(test_read_file(folder + "/big/blob.bin") == big);
    struct stat st;
    EXPECT_EQ(stat((folder + "/empty-folder").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(test_exists(out.file("saved/x")));
    EXPECT_FALSE(test_exists(out.file("saved/y")));
    EXPECT_FALSE(test_exists(out.path + "/y"));
    ASSERT_FALSE(seen.empty());
    EXPECT_FLOAT_EQ(seen.back(), 1.0f);
    for (size_t i = 1; i < seen.size(); i++)
        EXPECT_LE(seen[i - 1], seen[i]);

    // A container that does not exist is a failure with its reason.
    log = new_qstr(1024);
    EXPECT_EQ(kvn_container_save(s.s, (container + "-none").c_str(), folder.c_str(), nullptr, nullptr, log,
                                 nullptr),
              -1);
    EXPECT_EQ(std::string(log->data).rfind("cannot list " + container + "-none: ", 0), 0u) << log->data;
    free_qstr(&log);

    _remove_containers(s.s);
}

// A disk that fills during a download: the save runs in a child whose files
// may not grow past 1 MiB, so the 3 MiB object fails midway; its partial
// file goes, the small object next to it is saved, and the log says why.
TEST(CompositeCloud, ContainerSaveOnAFullDiskRemovesThePartialFile) {
    SESSION_PTR s{_connect("demo")};
    ASSERT_TRUE(s.s);
    const std::string container = std::string(k_prefix) + "full-" + std::to_string(getpid());
    const std::string cpath = _slash(_enc(container));
    ASSERT_EQ(_swift(s.s, "PUT", cpath, ""), 201);
    TEST_DIR src, out;
    test_write_file(src.file("big.bin"), std::string(3 * 1024 * 1024, 'z'));
    ASSERT_EQ(_swift(s.s, "PUT", cpath + "/a/big.bin", nullptr, src.file("big.bin")), 201);
    ASSERT_EQ(_swift(s.s, "PUT", cpath + "/a/small.txt", "small\n"), 201);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string folder = out.file("saved");
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
        const struct rlimit rl = {1024 * 1024, 1024 * 1024};
        setrlimit(RLIMIT_FSIZE, &rl);
        KVN_SESSION *child = _connect("demo");
        Q_STR *log = new_qstr(1024);
        const int n =
            kvn_container_save(child, container.c_str(), folder.c_str(), nullptr, nullptr, log, nullptr);
        const ssize_t w = write(fds[1], log->data, log->length);
        _exit(w < 0 || n < 0 ? 255 : n);
    }
    close(fds[1]);
    std::string log;
    char buf[4096];
    ssize_t got;
    while ((got = read(fds[0], buf, sizeof buf)) > 0)
        log.append(buf, (size_t)got);
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << log;
    EXPECT_EQ(log, "failed a/big.bin: cannot write the download file: File too large\n");
    EXPECT_FALSE(test_exists(folder + "/a/big.bin"));
    EXPECT_EQ(test_read_file(folder + "/a/small.txt"), "small\n");
    _remove_containers(s.s);
}

TEST(CompositeCloud, MetricBenchmarkTimesGnocchiAndDeletesItsMetrics) {
    SESSION_PTR s{_connect("demo")};
    ASSERT_TRUE(s.s);
    if (!kvn_session_has_service(s.s, "metric")) GTEST_SKIP() << "no metric service in the catalog";
    KVN_BENCH_STATS stats;
    const int rows = kvn_metric_benchmark(s.s, "low", 4, 2, 50, 0, &stats, nullptr, nullptr, nullptr);
    ASSERT_EQ(rows, 5);
    const char *names[] = {"metric create", "metric show", "measures add", "measures show", "metric delete"};
    const int counts[] = {4, 4, 8, 4, 4};
    for (int i = 0; i < 5; i++) {
        EXPECT_STREQ(stats.rows[i].name, names[i]);
        EXPECT_EQ(stats.rows[i].count, counts[i]) << names[i];
        EXPECT_EQ(stats.rows[i].failed, 0) << names[i];
        EXPECT_GT(stats.rows[i].min_ms, 0) << names[i];
        EXPECT_LE(stats.rows[i].min_ms, stats.rows[i].p95_ms);
        EXPECT_LE(stats.rows[i].p95_ms, stats.rows[i].max_ms);
    }
    Q_STR *text = new_qstr(1024);
    kvn_metric_benchmark_report(&stats, 0, text);
    EXPECT_NE(std::string(text->data).find("measures add         8       0"), std::string::npos)
        << text->data;
    free_qstr(&text);

    // An unknown archive policy fails every create and leaves no metric.
    ASSERT_EQ(kvn_metric_benchmark(s.s, "no-such-policy", 2, 0, 1, 0, &stats, nullptr, nullptr, nullptr), 3);
    EXPECT_EQ(stats.rows[0].count, 0);
    EXPECT_EQ(stats.rows[0].failed, 2);
}

} // namespace

namespace {

// The uuids of the log's "created <kind> <uuid> <name>" lines, last first:
// ports go before their port groups, nodes before their chassis.
std::vector<std::pair<std::string, std::string>> _created(const std::string &log) {
    std::vector<std::pair<std::string, std::string>> out;
    static const char *const kinds[][2] = {
        {"created chassis ", "/v1/chassis/"},
        {"created node ", "/v1/nodes/"},
        {"created port group ", "/v1/portgroups/"}, // before "created port "
        {"created port ", "/v1/ports/"},
    };
    size_t at = 0;
    while (at < log.size()) {
        const size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        for (const auto &k : kinds)
            if (line.rfind(k[0], 0) == 0) {
                const std::string rest = line.substr(strlen(k[0]));
                out.insert(out.begin(), {k[1], rest.substr(0, rest.find(' '))});
                break;
            }
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

TEST(CompositeCloud, BaremetalCreateBuildsTheDocumentInIronic) {
    SESSION_PTR s{_connect("admin")};
    ASSERT_TRUE(s.s);
    if (!kvn_session_has_service(s.s, "baremetal")) GTEST_SKIP() << "no baremetal service in the catalog";
    const std::string tag = std::string(k_prefix) + std::to_string(getpid());
    const int b = getpid() & 0xff, c = (getpid() >> 8) & 0xff;
    char mac[4][32];
    for (int i = 0; i < 4; i++)
        snprintf(mac[i], sizeof mac[i], "52:54:%02x:%02x:00:%02x", b, c, i + 1);
    // A chassis with one node, a node with a port group holding a port and a
    // port of its own, and a node Ironic refuses (unknown driver) with two
    // ports: three failures, the rest created.
    char doc[2048];
    snprintf(
        doc, sizeof doc,
        R"({"chassis": [{"description": "%s-ch", "nodes": [{"name": "%s-a", "driver": "fake-hardware"}]}],
                 "nodes": [{"name": "%s-b", "driver": "fake-hardware",
                            "portgroups": [{"name": "%s-pg", "ports": [{"address": "%s"}]}],
                            "ports": [{"address": "%s"}]},
                           {"name": "%s-c", "driver": "no-such-driver",
                            "ports": [{"address": "%s"}, {"address": "%s"}]}]})",
        tag.c_str(), tag.c_str(), tag.c_str(), tag.c_str(), mac[0], mac[1], tag.c_str(), mac[2], mac[3]);
    Q_CJSON document(cJSON_Parse(doc));
    ASSERT_TRUE(document);
    Q_STR *log = new_qstr(1024);
    const int failed = kvn_baremetal_create(s.s, document.get(), log, nullptr);
    const std::string report = log->data;
    free_qstr(&log);
    EXPECT_EQ(failed, 3) << report;
    EXPECT_NE(report.find("FAILED  node " + tag + "-c: "), std::string::npos) << report;
    const auto created = _created(report);
    EXPECT_EQ(created.size(), 6u) << report; // chassis, 2 nodes, port group, 2 ports

    const std::string nodes = os_cli("baremetal node list -f value -c Name", "admin").out;
    EXPECT_NE(nodes.find(tag + "-a"), std::string::npos) << nodes;
    EXPECT_NE(nodes.find(tag + "-b"), std::string::npos) << nodes;
    EXPECT_EQ(nodes.find(tag + "-c"), std::string::npos) << nodes;
    const std::string ports = os_cli("baremetal port list -f value -c Address", "admin").out;
    EXPECT_NE(ports.find(mac[0]), std::string::npos) << ports;
    EXPECT_NE(ports.find(mac[1]), std::string::npos) << ports;
    EXPECT_EQ(ports.find(mac[2]), std::string::npos) << ports;
    const std::string chassis_of_a =
        os_cli("baremetal node show " + tag + "-a -f value -c chassis_uuid", "admin").out;
    EXPECT_FALSE(chassis_of_a.empty() || chassis_of_a == "None") << chassis_of_a;

    for (const auto &item : created) {
        KVN_RESULT *r = kvn_call(s.s, "baremetal", "DELETE", (item.first + item.second).c_str(), nullptr,
                                 nullptr, nullptr);
        EXPECT_TRUE(kvn_result_ok(r)) << item.first << item.second << ": " << (r ? r->error : "");
        kvn_result_free(&r);
    }
}

} // namespace

namespace {

// A container-infra call; the answer, or null.
KVN_RESULT *_magnum(KVN_SESSION *s, const char *method, const std::string &path, const char *body = nullptr) {
    Q_CJSON json(body ? cJSON_Parse(body) : nullptr);
    return kvn_call(s, "container-infra", method, path.c_str(), json.get(), nullptr, nullptr);
}

std::string _field(const KVN_RESULT *r, const char *key) {
    const cJSON *v = r && cJSON_IsObject(r->json) ? cJSON_GetObjectItemCaseSensitive(r->json, key) : nullptr;
    return cJSON_IsString(v) ? v->valuestring : "";
}

struct X509_PTR {
    X509 *x = nullptr;
    explicit X509_PTR(const char *pem) {
        BIO *b = BIO_new_mem_buf(pem, -1);
        x = b ? PEM_read_bio_X509(b, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(b);
    }
    ~X509_PTR() { X509_free(x); }
};

// Deletes the test's cluster, then its template, which Magnum keeps while a
// cluster refers to it.
struct MAGNUM_CLEANUP {
    KVN_SESSION *s;
    std::string template_id, cluster;
    ~MAGNUM_CLEANUP() {
        if (!cluster.empty()) {
            KVN_RESULT *r = _magnum(s, "DELETE", "/clusters/" + cluster);
            EXPECT_TRUE(kvn_result_ok(r)) << (r ? r->error : "no answer");
            kvn_result_free(&r);
        }
        bool gone = template_id.empty();
        for (int i = 0; i < 240 && !gone; i++) {
            KVN_RESULT *r = _magnum(s, "DELETE", "/clustertemplates/" + template_id);
            gone = kvn_result_ok(r) || (r && r->status == 404);
            kvn_result_free(&r);
            if (!gone) usleep(500 * 1000);
        }
        EXPECT_TRUE(gone) << "cluster template " << template_id << " left behind";
    }
};

// Magnum keeps a cluster record whose VMs never came (the local cloud cannot
// reach the etcd discovery service, so creation fails at once), and its
// certificate API serves such a record: the CA is made before the VMs.
// The tool itself stops at the missing API address; the certificate calls,
// the request it signs and the errors are checked against the real API.
TEST(CompositeCloud, ClusterCertificatesFromMagnum) {
    SESSION_PTR s{_connect("demo")};
    ASSERT_TRUE(s.s);
    if (!kvn_session_has_service(s.s, "container-infra")) GTEST_SKIP() << "no container-infra service";
    const std::string tag = std::string(k_prefix) + "coe-" + std::to_string(getpid());
    KVN_RESULT *r = _magnum(s.s, "POST", "/clustertemplates",
                            ("{\"name\": \"" + tag +
                             "\", \"coe\": \"kubernetes\", \"image_id\": "
                             "\"fedora-coreos-fake\", \"external_network_id\": \"public\", \"flavor_id\": "
                             "\"m1.tiny\", \"master_flavor_id\": \"m1.tiny\"}")
                                .c_str());
    MAGNUM_CLEANUP cleanup{s.s, _field(r, "uuid"), ""};
    const std::string template_id = cleanup.template_id;
    ASSERT_FALSE(template_id.empty()) << (r ? r->error : "no answer");
    kvn_result_free(&r);
    r = _magnum(s.s, "POST", "/clusters",
                ("{\"name\": \"" + tag + "\", \"cluster_template_id\": \"" + template_id +
                 "\", \"master_count\": 1, \"node_count\": 1}")
                    .c_str());
    const std::string uuid = cleanup.cluster = _field(r, "uuid");
    ASSERT_FALSE(uuid.empty()) << (r ? r->error : "no answer");
    kvn_result_free(&r);
    {
        TEST_DIR dir;
        const std::string folder = dir.file("conf");
        char report[1024];
        EXPECT_EQ(
            kvn_coe_cluster_config(s.s, uuid.c_str(), folder.c_str(), 0, report, sizeof report, nullptr), -1);
        EXPECT_EQ(std::string(report),
                  "the API address of cluster " + tag + " is not known yet (still creating?)");
        EXPECT_FALSE(test_exists(folder)) << "nothing is written for a cluster without an address";
        EXPECT_EQ(kvn_coe_cluster_config(s.s, (tag + "-none").c_str(), folder.c_str(), 0, report,
                                         sizeof report, nullptr),
                  -1);
        EXPECT_EQ(std::string(report).rfind("cluster: ", 0), 0u) << report;
        EXPECT_GT(strlen(report), strlen("cluster: ")) << "the service's reason follows";

        // The conductor makes the CA just after the record: wait for it.
        Q_STR *ca = nullptr;
        char err[1024] = "";
        for (int i = 0; i < 240 && kvn_coe_fetch_ca(s.s, uuid.c_str(), &ca, err, sizeof err, nullptr) != 0;
             i++)
            usleep(250 * 1000);
        ASSERT_TRUE(ca) << err;
        Q_STR *key = nullptr, *csr = nullptr, *cert = nullptr;
        ASSERT_EQ(kvn_coe_client_request(&key, &csr), 0);
        EXPECT_EQ(kvn_coe_sign(s.s, uuid.c_str(), csr->data, &cert, err, sizeof err, nullptr), 0) << err;
        if (cert) {
            // The certificate is the request's, issued by the cluster's CA.
            X509_PTR c(cert->data), authority(ca->data);
            ASSERT_TRUE(c.x && authority.x);
            EVP_PKEY *ca_key = X509_get0_pubkey(authority.x);
            EXPECT_EQ(X509_verify(c.x, ca_key), 1);
            char subject[256];
            X509_NAME_oneline(X509_get_subject_name(c.x), subject, sizeof subject);
            EXPECT_NE(std::string(subject).find("CN=admin"), std::string::npos) << subject;
            BIO *kb = BIO_new_mem_buf(key->data, -1);
            EVP_PKEY *pkey = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
            EXPECT_EQ(X509_check_private_key(c.x, pkey), 1)
                << "the certificate is for the key written with it";
            EVP_PKEY_free(pkey);
            BIO_free(kb);

            // The real PEMs make a kubeconfig whose data decode to them.
            KVN_COE_FILES f{folder.c_str(), tag.c_str(), "https://192.0.2.1:6443",
                            "kubernetes",   0,           0,
                            ca->data,       cert->data,  key->data};
            ASSERT_EQ(kvn_paths_mkdirs(folder.c_str()), 0);
            ASSERT_EQ(kvn_coe_write_config(&f, report, sizeof report), 0) << report;
            EXPECT_EQ(test_read_file(folder + "/ca.pem"), ca->data);
            EXPECT_EQ(test_read_file(folder + "/cert.pem"), cert->data);
            EXPECT_EQ(test_mode_of(folder + "/key.pem"), 0600);
        }
        Q_STR *none = nullptr;
        EXPECT_EQ(kvn_coe_sign(s.s, uuid.c_str(), "not a request", &none, err, sizeof err, nullptr), -1);
        EXPECT_TRUE(err[0]) << "Magnum's reason for a bad request";
        printf("signing a text that is not a request: %s\n", err);
        EXPECT_EQ(
            kvn_coe_fetch_ca(s.s, "00000000-0000-0000-0000-000000000000", &none, err, sizeof err, nullptr),
            -1);
        printf("the CA of an unknown cluster: %s\n", err);
        free_qstr(&ca);
        free_qstr(&key);
        free_qstr(&csr);
        if (cert) free_qstr(&cert);
    }
}

} // namespace
