// labels: cloud
// Requests through the job workers and the delivery loop against the local
// cloud, in both of its layouts (each service on its own port, and all of
// them behind the TLS front): every page of a list, an image upload and
// download with progress, a failed or cut download leaving no file, the
// projects fallback for a non-admin, and answers after a disconnect calling
// nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_cloud_test.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
struct DONE {
    int calls = 0;
    int status = -1;
    std::string error;
    std::string request_id;
    Q_CJSON json;
    float progress = -2;
};

void on_done(KVN_REQ *req, void *user) {
    auto *d = static_cast<DONE *>(user);
    d->calls++;
    d->status = req->result->status;
    d->error = req->result->error;
    d->request_id = req->result->request_id;
    d->json.reset(req->result->json); // kept: taken out of the result
    req->result->json = nullptr;
    d->progress = kvn_job_progress(req->job);
}

// Runs the main loop's delivery until the callback ran (or time ran out).
bool deliver_until(DONE *d, int ms = 60000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (d->calls == 0 && std::chrono::steady_clock::now() < end) {
        kvn_jobs_deliver();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return d->calls > 0;
}

std::string jstr(const cJSON *j, const char *path) {
    const cJSON *v = kvn_api_json_at(j, path);
    return cJSON_IsString(v) ? v->valuestring : "";
}

// What a failed request prints: the request, its answer, and the cloud's
// log lines of its request id.
std::string explain(const std::string &what, const DONE &d) {
    std::vector<std::string> ids;
    if (!d.request_id.empty()) ids.push_back(d.request_id);
    return ::explain(what, std::to_string(d.status) + " " + d.error, "", ids);
}

// Each test runs once per layout; the demo user's session of each layout is
// made once for the whole suite and shared by reference.
struct APP_FIXTURE : ::testing::TestWithParam<CLOUD_LAYOUT> {
    KVN_APP app;
    static std::map<int, KVN_SESSION *> shared_;

    static void SetUpTestSuite() {
        // As the program does first: without it a write to a peer that went
        // away (the front closing a kept connection, the cut relay) ends the
        // process.
        q_httpc_global_init();
        for (CLOUD_LAYOUT l : {CLOUD_PORTS, CLOUD_TLS_FRONT}) {
            KVN_PROFILE p;
            test_cloud_profile(layout_who(l, "demo"), &p);
            if (l == CLOUD_TLS_FRONT) q_strcpy(p.ca_file, sizeof p.ca_file, cloud_ca_file().c_str());
            KVN_SESSION *s = kvn_session_new(&p);
            if (kvn_session_authenticate(s, nullptr) != 0) kvn_session_free(&s);
            shared_[l] = s;
        }
    }
    static void TearDownTestSuite() {
        for (auto &kv : shared_)
            kvn_session_free(&kv.second);
        shared_.clear();
    }
    void SetUp() override {
        memset(&app, 0, sizeof app);
        kvn_app_publish(&app);
        ASSERT_EQ(kvn_jobs_init(4), 0);
        ASSERT_TRUE(shared_[GetParam()])
            << "authentication of " << layout_who(GetParam(), "demo") << " failed";
        app.session = kvn_session_ref(shared_[GetParam()]);
    }
    void TearDown() override {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_app_publish(nullptr);
    }
    // A synchronous call for set-up and clean-up.
    Q_CJSON call(const char *svc, const char *method, const char *path, const char *body = nullptr,
                 int *status = nullptr) {
        Q_CJSON json(body ? cJSON_Parse(body) : nullptr);
        KVN_RESULT *r = kvn_session_call(app.session, svc, method, path, json.get(), nullptr, nullptr);
        if (status) *status = r ? r->status : 0;
        Q_CJSON out(r ? r->json : nullptr);
        if (r) r->json = nullptr;
        kvn_result_free(&r);
        return out;
    }
    DONE run(KVN_REQ *req) {
        DONE d;
        EXPECT_GE(kvn_req_submit(req, "test", on_done, &d), 0);
        EXPECT_TRUE(deliver_until(&d));
        return d;
    }
    // Polls a server until it leaves the build; its last status.
    std::string settle(const std::string &id) {
        std::string st;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(300);
        while (std::chrono::steady_clock::now() < end) {
            Q_CJSON one = call("compute", "GET", ("/servers/" + id).c_str());
            st = jstr(one.get(), "server.status");
            if (st == "ACTIVE" || st == "ERROR") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return st;
    }
    std::string endpoint(const char *type) {
        char url[KVN_URL_MAX];
        EXPECT_EQ(kvn_session_endpoint(app.session, type, url, sizeof url), 0) << type;
        return url;
    }
};
std::map<int, KVN_SESSION *> APP_FIXTURE::shared_;
} // namespace

INSTANTIATE_TEST_SUITE_P(Layouts, APP_FIXTURE, ::testing::Values(CLOUD_PORTS, CLOUD_TLS_FRONT),
                         [](const ::testing::TestParamInfo<CLOUD_LAYOUT> &i) {
                             return layout_name(i.param);
                         });

TEST_P(APP_FIXTURE, ListsEveryPageOfServers) {
    Q_CJSON flavors = call("compute", "GET", "/flavors?minRam=0");
    Q_CJSON images = call("image", "GET", "/images?name=cirros-fake");
    std::string flavor, image = jstr(images.get(), "images.0.id");
    const cJSON *it;
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(flavors.get(), "flavors")) if (jstr(it, "name") == "m1.nano")
        flavor = jstr(it, "id");
    ASSERT_FALSE(flavor.empty());
    ASSERT_FALSE(image.empty());
    // Servers of a run that was killed before its clean-up count against
    // demo's quota; only those an hour old are surely nobody's running test.
    Q_CJSON old = call("compute", "GET", "/servers/detail?name=%5Ekvn-page-");
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(old.get(), "servers")) {
        int64_t created = kvn_parse_iso_time(jstr(it, "created").c_str());
        if (created > 0 && created < (int64_t)time(nullptr) - 3600)
            call("compute", "DELETE", ("/servers/" + jstr(it, "id")).c_str());
    }
    // One at a time, each settled before the next: nova-conductor has lost
    // one of several servers asked for at once in BUILD. And a server still
    // being built is listed from the API's build requests and moves into its
    // cell when scheduled; pages taken across that move can show it twice.
    std::vector<std::string> made;
    for (int i = 0; i < 3; i++) {
        std::string name = "kvn-page-" + std::to_string(getpid()) + "-" + std::to_string(i);
        std::string body = R"({"server": {"name": ")" + name + R"(", "imageRef": ")" + image +
                           R"(", "flavorRef": ")" + flavor + R"(", "networks": "none"}})";
        int status = 0;
        Q_CJSON s = call("compute", "POST", "/servers", body.c_str(), &status);
        ASSERT_EQ(status, 202) << explain("POST /servers " + name, std::to_string(status), "", {});
        made.push_back(jstr(s.get(), "server.id"));
        std::string st = settle(made.back());
        EXPECT_EQ(st, "ACTIVE") << explain("GET /servers/" + made.back(), "server " + st, "", {made.back()});
    }
    KVN_REQ *req = kvn_req_new("compute", "GET", "/servers/detail?limit=1");
    q_strcpy(req->collection_key, sizeof req->collection_key, "servers");
    req->flags = KVN_REQ_ALL_PAGES;
    DONE d = run(req);
    EXPECT_EQ(d.status, 200) << d.error;
    EXPECT_EQ(d.error, "");
    // Servers of other tests may be mid-build (and so listed twice by the
    // service); ours have settled and must each come exactly once.
    std::multiset<std::string> ids;
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(d.json.get(), "servers")) ids.insert(jstr(it, "id"));
    for (auto &id : made)
        EXPECT_EQ(ids.count(id), 1u) << id;
    for (auto &id : made)
        call("compute", "DELETE", ("/servers/" + id).c_str());
}

// A download whose connection breaks mid-body, after the 200 and part of the
// image came, is a failed download: the relay between the client and the
// service (or the front) cuts it after a fixed number of bytes.
TEST_P(APP_FIXTURE, DownloadCutMidBodyFailsAndLeavesNoFile) {
    TEST_DIR dir;
    std::string data(2 * 1024 * 1024, '\0');
    std::mt19937 rng(11);
    for (auto &c : data)
        c = (char)(rng() & 0xFF);
    test_write_file(dir.file("in.raw"), data);
    int status = 0;
    Q_CJSON img = call("image", "POST", "/images",
                       R"({"name": "kvn-cut", "disk_format": "raw", "container_format": "bare"})", &status);
    ASSERT_EQ(status, 201);
    std::string id = jstr(img.get(), "id");
    KVN_REQ *up = kvn_req_new("image", "PUT", ("/images/" + id + "/file").c_str());
    q_strcpy(up->opts.upload_path, sizeof up->opts.upload_path, dir.file("in.raw").c_str());
    DONE u = run(up);
    ASSERT_EQ(u.status, 204) << explain("PUT /images/" + id + "/file", u);

    // The same request as the catalog's, sent to the relay instead.
    std::string url = endpoint("image");
    int upstream = GetParam() == CLOUD_TLS_FRONT ? front_port() : 9292;
    std::string origin = (GetParam() == CLOUD_TLS_FRONT ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                         std::to_string(upstream);
    ASSERT_EQ(url.rfind(origin, 0), 0u) << url;
    CUT_RELAY relay;
    ASSERT_TRUE(relay.start(upstream, 256 * 1024));
    std::string via = (GetParam() == CLOUD_TLS_FRONT ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                      std::to_string(relay.port) + url.substr(origin.size()) + "/images/" + id + "/file";
    KVN_REQ *down = kvn_req_new("image", "GET", via.c_str());
    down->opts.absolute = 1;
    q_strcpy(down->opts.download_path, sizeof down->opts.download_path, dir.file("cut.raw").c_str());
    DONE g = run(down);
    EXPECT_EQ(relay.cuts.load(), 1) << "the relay never cut the answer";
    EXPECT_NE(g.error, "") << explain("GET " + via + " (cut after 256 KiB)", g);
    EXPECT_NE(g.error.find("while reading"), std::string::npos)
        << explain("GET " + via + " (cut after 256 KiB)", g);
    EXPECT_FALSE(test_exists(dir.file("cut.raw"))) << "a cut download left its partial file";

    call("image", "DELETE", ("/images/" + id).c_str());
}

TEST_P(APP_FIXTURE, ImageUploadAndDownloadByteForByte) {
    TEST_DIR dir;
    std::string data(3 * 1024 * 1024 + 17, '\0');
    std::mt19937 rng(7);
    for (auto &c : data)
        c = (char)(rng() & 0xFF);
    test_write_file(dir.file("in.raw"), data);

    int status = 0;
    Q_CJSON img =
        call("image", "POST", "/images",
             R"({"name": "kvn-upload", "disk_format": "raw", "container_format": "bare"})", &status);
    ASSERT_EQ(status, 201);
    std::string id = jstr(img.get(), "id");

    KVN_REQ *up = kvn_req_new("image", "PUT", ("/images/" + id + "/file").c_str());
    q_strcpy(up->opts.upload_path, sizeof up->opts.upload_path, dir.file("in.raw").c_str());
    DONE u = run(up); // no content type given: sent as application/octet-stream
    EXPECT_EQ(u.status, 204) << u.error;
    EXPECT_FLOAT_EQ(u.progress, 1.0f);

    KVN_REQ *down = kvn_req_new("image", "GET", ("/images/" + id + "/file").c_str());
    q_strcpy(down->opts.download_path, sizeof down->opts.download_path, dir.file("out.raw").c_str());
    DONE g = run(down);
    EXPECT_EQ(g.status, 200) << g.error;
    EXPECT_TRUE(test_read_file(dir.file("out.raw")) == data);

    // A download answered 404 leaves no file; one into a missing folder says so.
    KVN_REQ *missing = kvn_req_new("image", "GET", "/images/00000000-0000-0000-0000-000000000000/file");
    q_strcpy(missing->opts.download_path, sizeof missing->opts.download_path, dir.file("none.raw").c_str());
    DONE m = run(missing);
    EXPECT_EQ(m.status, 404);
    EXPECT_FALSE(test_exists(dir.file("none.raw")));

    KVN_REQ *nowhere = kvn_req_new("image", "GET", ("/images/" + id + "/file").c_str());
    std::string bad = dir.file("no/such/folder/out.raw");
    q_strcpy(nowhere->opts.download_path, sizeof nowhere->opts.download_path, bad.c_str());
    DONE n = run(nowhere);
    EXPECT_EQ(n.status, 0);
    EXPECT_EQ(n.error, "cannot create " + bad);

    KVN_REQ *noup = kvn_req_new("image", "PUT", ("/images/" + id + "/file").c_str());
    q_strcpy(noup->opts.upload_path, sizeof noup->opts.upload_path, bad.c_str());
    DONE nu = run(noup);
    EXPECT_EQ(nu.error, "cannot open " + bad);

    call("image", "DELETE", ("/images/" + id).c_str());
}

TEST_P(APP_FIXTURE, NonAdminProjectsComeFromTheScopableList) {
    KVN_REQ *req = kvn_req_new("identity", "GET", "/projects");
    q_strcpy(req->collection_key, sizeof req->collection_key, "projects");
    req->flags = KVN_REQ_ALL_PAGES;
    DONE d = run(req);
    EXPECT_EQ(d.status, 200) << d.error;
    bool demo = false;
    const cJSON *it;
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(d.json.get(), "projects")) demo =
        demo || jstr(it, "name") == "demo";
    EXPECT_TRUE(demo);
}

TEST_P(APP_FIXTURE, AnswersAfterDisconnectCallNothing) {
    DONE d;
    for (int i = 0; i < 3; i++) {
        KVN_REQ *req = kvn_req_new("compute", "GET", "/servers/detail");
        ASSERT_GE(kvn_req_submit(req, "late", on_done, &d), 0);
    }
    kvn_app_disconnect();
    for (int i = 0; i < 50; i++) {
        kvn_jobs_deliver();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(d.calls, 0);
    EXPECT_EQ(app.session, nullptr);
}
