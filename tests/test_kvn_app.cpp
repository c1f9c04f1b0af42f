// labels: net
// Requests against a server that accepts and never answers: disconnecting
// cancels them, their callbacks never run, and the session outlives the last
// of them. Run under ThreadSanitizer and AddressSanitizer too.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <cJSON.h>

#include "kvn_app.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_test_script_server.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
// Accepts connections and holds them open without a word.
struct SILENT_SERVER {
    int fd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread th;
    std::vector<int> conns; // the server thread's own until it is joined
    std::atomic<int> accepted{0};
    SILENT_SERVER() {
        fd = test_listen_loopback(&port, 64);
        th = std::thread([this] {
            while (!stop) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 20) > 0) {
                    conns.push_back(accept(fd, nullptr, nullptr));
                    accepted++;
                }
            }
        });
    }
    ~SILENT_SERVER() {
        stop = true;
        th.join();
        for (int c : conns)
            close(c);
        close(fd);
    }
};

int g_callbacks = 0;
void count_done(KVN_REQ *, void *) {
    g_callbacks++;
}
} // namespace

TEST(Requests, DisconnectCancelsRunningRequestsAndDropsTheirAnswers) {
    SILENT_SERVER server;
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    ASSERT_EQ(kvn_jobs_init(4), 0);

    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, "http://127.0.0.1:1/v3");
    // A token whose catalog has one endpoint, on the silent server.
    std::string catalog =
        R"([{"type": "object-store", "name": "swift", "endpoints": [{"interface": "public", )"
        R"("region_id": "R1", "url": "http://127.0.0.1:)" +
        std::to_string(server.port) + R"(/v1/AUTH_x"}]}])";
    kvn_script::SERVER keystone([&](const kvn_script::REQUEST &) {
        return kvn_script::ANSWER{kvn_script::json_answer(
            201, R"({"token": {"expires_at": "2099-01-01T00:00:00Z", "catalog": )" + catalog + "}}",
            "X-Subject-Token: not-a-real-token\r\n")};
    });
    q_strcpy(p.auth_url, sizeof p.auth_url, keystone.url("/v3").c_str());
    app.session = kvn_session_new(&p);
    ASSERT_EQ(kvn_session_authenticate(app.session, nullptr), 0);

    g_callbacks = 0;
    for (int i = 0; i < 6; i++) {
        KVN_REQ *r = kvn_req_new("object-store", "GET", "/c");
        ASSERT_NE(r, nullptr);
        ASSERT_GE(kvn_req_submit(r, "List", count_done, nullptr), 0);
    }
    // Four run (blocked on the silent server), two wait in the queue.
    for (int i = 0; i < 2000 && server.accepted < 4; i++)
        usleep(5000);
    char status[128];
    kvn_jobs_status_text(status, sizeof status);
    EXPECT_STREQ(status, "6 running: List");

    uint64_t gen = app.session_generation;
    kvn_app_disconnect();
    EXPECT_EQ(app.session, nullptr);
    EXPECT_EQ(app.session_generation, gen + 1);
    EXPECT_EQ(g_callbacks, 0);
    EXPECT_EQ(kvn_jobs_running(nullptr, 0, nullptr), 0);
    EXPECT_EQ(kvn_req_new("object-store", "GET", "/c"), nullptr); // no session, no request

    kvn_jobs_shutdown();
    kvn_app_publish(nullptr);
}

namespace {
struct SEEN {
    int calls = 0;
    int status = -1;
    std::string error;
};
void keep_answer(KVN_REQ *req, void *user) {
    SEEN *seen = static_cast<SEEN *>(user);
    seen->calls++;
    seen->status = req->result->status;
    seen->error = req->result->error;
}
} // namespace

TEST(Requests, FilesOfARequestComeFromItsOptions) {
    std::string data(2000, 'u');
    kvn_script::SERVER server([&](const kvn_script::REQUEST &r) {
        if (r.target == "/v3/auth/tokens") {
            std::string catalog =
                R"([{"type": "object-store", "endpoints": [{"interface": "public", "url": ")" +
                std::string("http://127.0.0.1:") + std::to_string(server.port) + R"(/v1/AUTH_x"}]}])";
            return kvn_script::ANSWER{kvn_script::json_answer(
                201, R"({"token": {"catalog": )" + catalog + "}}", "X-Subject-Token: t\r\n")};
        }
        if (r.method == "PUT") return kvn_script::ANSWER{"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"};
        // A download whose body breaks off.
        return kvn_script::ANSWER{"HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n" + data.substr(0, 300)};
    });
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    ASSERT_EQ(kvn_jobs_init(2), 0);
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, server.url("/v3").c_str());
    app.session = kvn_session_new(&p);
    TEST_DIR dir;
    test_write_file(dir.file("up.raw"), data);

    SEEN up, down;
    KVN_REQ *u = kvn_req_new("object-store", "PUT", "/c/up.raw");
    q_strcpy(u->opts.upload_path, sizeof u->opts.upload_path, dir.file("up.raw").c_str());
    ASSERT_GE(kvn_req_submit(u, "Upload", keep_answer, &up), 0);
    KVN_REQ *d = kvn_req_new("object-store", "GET", "/c/down.raw");
    q_strcpy(d->opts.download_path, sizeof d->opts.download_path, dir.file("down.raw").c_str());
    ASSERT_GE(kvn_req_submit(d, "Download", keep_answer, &down), 0);
    for (int i = 0; i < 3000 && (up.calls == 0 || down.calls == 0); i++) {
        kvn_jobs_deliver();
        usleep(5000);
    }
    EXPECT_EQ(up.status, 201) << up.error;
    EXPECT_EQ(down.status, 200);
    EXPECT_EQ(down.error, "connection closed while reading the body");
    EXPECT_FALSE(test_exists(dir.file("down.raw")));
    bool sent = false;
    for (auto &r : server.requests())
        if (r.method == "PUT")
            sent = r.body == data && r.has_header("Content-Type: application/octet-stream\r\n");
    EXPECT_TRUE(sent) << "the upload arrives whole, typed as octets";

    kvn_app_disconnect();
    kvn_jobs_shutdown();
    kvn_app_publish(nullptr);
}

TEST(Requests, StatusLineLevels) {
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_status(KVN_STATUS_ERROR, "ignored without an application");
    kvn_app_publish(&app);
    TEST_LOG_CAPTURE cap;
    set_log_level(Q_LOG_DEBUG);
    kvn_app_status(KVN_STATUS_WARNING, "quota at %d%%", 90);
    EXPECT_STREQ(app.status_text, "quota at 90%");
    EXPECT_EQ(app.status_kind, 2);
    kvn_app_status(KVN_STATUS_INFO, "loaded");
    ASSERT_EQ(cap.lines.size(), 2u);
    EXPECT_EQ(cap.lines[0].rfind("NOTICE:", 0), 0u);
    EXPECT_EQ(cap.lines[1].rfind("INFO:", 0), 0u);
    std::string long_text(2000, 'x');
    kvn_app_status(KVN_STATUS_ERROR, "%s", long_text.c_str());
    EXPECT_EQ(strlen(app.status_text), 1023u);
    EXPECT_EQ(cap.lines[2].rfind("ERR:", 0), 0u);
    set_log_level(Q_LOG_NOTICE);
    kvn_app_publish(nullptr);
}

TEST(Requests, EveryPageOfAListKeepsTheMicroversionAndHeader) {
    kvn_script::SERVER server([&](const kvn_script::REQUEST &r) {
        if (r.target == "/v3/auth/tokens") {
            std::string catalog = R"([{"type": "compute", "endpoints": [{"interface": "public", "url": ")" +
                                  server.url("/v2.1") + R"("}]}])";
            return kvn_script::ANSWER{kvn_script::json_answer(
                201, R"({"token": {"catalog": )" + catalog + "}}", "X-Subject-Token: t\r\n")};
        }
        if (r.target == "/v2.1/servers?limit=1")
            return kvn_script::ANSWER{kvn_script::json_answer(
                200, R"({"servers": [{"id": "a"}], "servers_links": [{"rel": "next", "href": ")" +
                         server.url("/v2.1/servers?limit=1&marker=a") + R"("}]})")};
        if (r.target == "/v2.1/servers?limit=1&marker=a")
            return kvn_script::ANSWER{kvn_script::json_answer(200, R"({"servers": [{"id": "b"}]})")};
        // A version document would let the session negotiate its own
        // microversion; none is offered, so any header seen came from the
        // request.
        return kvn_script::ANSWER{kvn_script::json_answer(404, R"({"message": "no"})")};
    });
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    ASSERT_EQ(kvn_jobs_init(2), 0);
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, server.url("/v3").c_str());
    app.session = kvn_session_new(&p);

    SEEN seen;
    KVN_REQ *req = kvn_req_new("compute", "GET", "/servers?limit=1");
    ASSERT_NE(req, nullptr);
    q_strcpy(req->collection_key, sizeof req->collection_key, "servers");
    q_strcpy(req->opts.microversion, sizeof req->opts.microversion, "2.47");
    req->opts.has_microversion = 1;
    q_strcpy(req->opts.extra_headers[0], sizeof req->opts.extra_headers[0], "X-Test-Scope: all");
    req->flags |= KVN_REQ_ALL_PAGES;
    int items = -1;
    struct GOT {
        SEEN *seen;
        int *items;
    } got = {&seen, &items};
    ASSERT_GE(kvn_req_submit(
                  req, "List",
                  [](KVN_REQ *r, void *user) {
                      GOT *g = static_cast<GOT *>(user);
                      keep_answer(r, g->seen);
                      *g->items = cJSON_GetArraySize(cJSON_GetObjectItem(r->result->json, "servers"));
                  },
                  &got),
              0);
    for (int i = 0; i < 3000 && seen.calls == 0; i++) {
        kvn_jobs_deliver();
        usleep(5000);
    }
    EXPECT_EQ(seen.status, 200) << seen.error;
    EXPECT_EQ(seen.error, "");
    EXPECT_EQ(items, 2);
    int pages = 0;
    for (auto &r : server.requests()) {
        if (r.target.rfind("/v2.1/servers", 0) != 0) continue;
        pages++;
        EXPECT_TRUE(r.has_header("X-OpenStack-Nova-API-Version: 2.47\r\n")) << r.target;
        EXPECT_TRUE(r.has_header("OpenStack-API-Version: compute 2.47\r\n")) << r.target;
        EXPECT_TRUE(r.has_header("X-Test-Scope: all\r\n")) << r.target;
    }
    EXPECT_EQ(pages, 2);

    kvn_app_disconnect();
    kvn_jobs_shutdown();
    kvn_app_publish(nullptr);
}
