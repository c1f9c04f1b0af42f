#pragma once
// Helpers of the cloud tests: they drive the project's local cloud with the
// `openstack` command-line client, with the environment of one of its
// openrc files, in either of its two layouts (every service on its own
// port, or all of them behind the TLS front under path prefixes); and when
// a check fails they gather the cloud's log lines of the requests involved.

#include <arpa/inet.h>
#include <array>
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kvn_test_util.h"

struct CLOUD_RESULT {
    int code = -1;
    std::string out;
};

inline std::string cloud_dir() {
    const char *d = std::getenv("KVN_CLOUD_DIR");
    return d && *d ? d : "/tmp/kvn-cloud";
}

inline std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command; its exit code and what it printed on both streams,
// without trailing blanks.
inline CLOUD_RESULT sh_run(const std::string &cmd) {
    CLOUD_RESULT r;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int st = pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == ' '))
        r.out.pop_back();
    return r;
}

// The last client command and what it gave, for the failure report below.
struct CLOUD_LAST_CALL {
    std::mutex mutex;
    std::string command;
    CLOUD_RESULT result;
};
inline CLOUD_LAST_CALL &cloud_last_call() {
    static CLOUD_LAST_CALL last;
    return last;
}

// Runs the client with the environment of an openrc file of the cloud.
// Debian's python runs it: another python3 first in PATH lacks the packages.
inline CLOUD_RESULT os_cli(const std::string &args, const std::string &who = "demo") {
    CLOUD_RESULT r = sh_run("env -u OS_CLOUD -u OS_CLIENT_CONFIG_FILE bash -c " +
                            quote(". " + quote(cloud_dir() + "/" + who + "-openrc") +
                                  " && exec /usr/bin/python3 /usr/bin/openstack " + args));
    CLOUD_LAST_CALL &last = cloud_last_call();
    std::lock_guard<std::mutex> lock(last.mutex);
    last.command = "openstack " + args + " (as " + who + ")";
    last.result = r;
    return r;
}

// A value printed by `... -f value -c field`; empty when the call failed.
inline std::string field(const std::string &args, const std::string &who = "demo") {
    CLOUD_RESULT r = os_cli(args, who);
    return r.code == 0 ? r.out : "";
}

// Polls a `show` command until its value is `want` or a failure state;
// the bound is generous because the machine's two cores are shared.
inline std::string wait_value(const std::string &show_args, const std::string &want, int seconds = 180,
                              const std::string &who = "demo") {
    std::string v;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        v = field(show_args, who);
        if (v == want || v == "ERROR" || v == "error" || v == "error_deleting" ||
            v.find("FAILED") != std::string::npos)
            return v;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return v;
}

// Polls until `show` fails (the resource is gone); true when it did.
inline bool wait_gone(const std::string &show_args, int seconds = 120, const std::string &who = "demo") {
    for (int i = 0; i < seconds; i++) {
        if (os_cli(show_args, who).code != 0) return true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return false;
}

// Names unique to this run, so a rerun or a leftover never collides.
inline std::string unique(const std::string &base) {
    return "kvn-smoke-" + base + "-" + std::to_string(getpid());
}

// ------------------------------------------------------------------ layouts
enum CLOUD_LAYOUT { CLOUD_PORTS = 0, CLOUD_TLS_FRONT = 1 };

inline const char *layout_name(CLOUD_LAYOUT l) {
    return l == CLOUD_TLS_FRONT ? "TlsFront" : "Ports";
}

// The openrc name of a user in a layout: "demo" or "demo-tls".
inline std::string layout_who(CLOUD_LAYOUT l, const std::string &who) {
    return l == CLOUD_TLS_FRONT ? who + "-tls" : who;
}
inline std::string layout_region(CLOUD_LAYOUT l) {
    return l == CLOUD_TLS_FRONT ? "RegionTLS" : "RegionOne";
}
inline std::string cloud_ca_file() {
    return cloud_dir() + "/tls/ca.pem";
}
inline int front_port() {
    return 8443;
}

// ------------------------------------------------------------------ logs
// Every request id the text carries: OpenStack's "req-<uuid>" and Swift's
// "tx..." transaction ids.
inline std::vector<std::string> request_ids_in(const std::string &text) {
    static const std::regex id_re(
        "req-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}|tx[0-9a-f]{21}-[0-9a-f]{10}");
    std::set<std::string> seen;
    std::vector<std::string> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), id_re); it != std::sregex_iterator(); ++it)
        if (seen.insert(it->str()).second) out.push_back(it->str());
    return out;
}

// The lines under $KVN_CLOUD_DIR/log (the front's access log included) that
// carry the request id, at most `limit` of them, each prefixed with its file.
inline std::string cloud_log_lines(const std::string &request_id, int limit = 40) {
    if (request_id.empty()) return "";
    CLOUD_RESULT r = sh_run("grep -rsF --include='*.log' -- " + quote(request_id) + " " +
                            quote(cloud_dir() + "/log") + " | tail -n " + std::to_string(limit));
    return r.out;
}

// What a failed check prints: the request or command, what came back, and
// the cloud's log lines of every request id it involved.
inline std::string explain(const std::string &what, const std::string &status, const std::string &answer,
                           const std::vector<std::string> &ids) {
    std::ostringstream o;
    o << "\n  request: " << what << "\n  status: " << status;
    if (!answer.empty()) o << "\n  answer: " << answer.substr(0, 2000);
    for (const auto &id : ids) {
        std::string lines = cloud_log_lines(id);
        o << "\n  log lines of " << id << ":\n" << (lines.empty() ? "    (none)" : lines);
    }
    if (ids.empty()) o << "\n  (no request id to look up in " << cloud_dir() << "/log)";
    return o.str();
}

inline std::string explain(const std::string &cmd, const CLOUD_RESULT &r) {
    return explain(cmd, "exit " + std::to_string(r.code), r.out, request_ids_in(r.out));
}

// Every failed check of a test that drives the client also prints the last
// command, its exit status and output, and the cloud's log lines of the
// request ids in that output.
struct CLOUD_FAILURE_REPORT : ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult &part) override {
        if (!part.failed()) return;
        CLOUD_LAST_CALL &last = cloud_last_call();
        std::lock_guard<std::mutex> lock(last.mutex);
        if (last.command.empty()) return;
        printf("last cloud command:%s\n", explain(last.command, last.result).c_str());
        fflush(stdout);
    }
    void OnTestStart(const ::testing::TestInfo &) override {
        CLOUD_LAST_CALL &last = cloud_last_call();
        std::lock_guard<std::mutex> lock(last.mutex);
        last.command.clear();
    }
};
inline const bool cloud_failure_report_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CLOUD_FAILURE_REPORT);
    return true;
}();

// ------------------------------------------------------------------ front
// A token of a user from Keystone behind the TLS front and the answer's
// JSON text (with the catalog), or an empty token and the whole answer.
struct FRONT_LOGIN {
    std::string token, body;
};
inline FRONT_LOGIN front_login(const std::string &user, const std::string &password) {
    std::string auth = R"({"auth": {"identity": {"methods": ["password"], "password": {"user": {"name": ")" +
                       user + R"(", "domain": {"name": "Default"}, "password": ")" + password +
                       R"("}}}, "scope": {"project": {"name": ")" + user +
                       R"(", "domain": {"name": "Default"}}}}})";
    CLOUD_RESULT r = sh_run(
        "curl -sS -i -m 60 --cacert " + quote(cloud_ca_file()) + " -H 'Content-Type: application/json' -d " +
        quote(auth) + " https://127.0.0.1:" + std::to_string(front_port()) + "/identity/v3/auth/tokens");
    FRONT_LOGIN out;
    size_t end = r.out.find("\r\n\r\n");
    std::string head = r.out.substr(0, end);
    std::smatch m;
    if (end != std::string::npos &&
        std::regex_search(head, m, std::regex("[Xx]-[Ss]ubject-[Tt]oken: *([^\r\n]+)"))) {
        out.token = m[1];
        out.body = r.out.substr(end + 4);
    } else {
        out.body = r.out;
    }
    return out;
}

// ------------------------------------------------------------------ cut relay
// A TCP relay between a client and a real server that passes everything on
// until the server has sent `cut_after` bytes on a connection, then closes
// both sides: an answer cut mid-body, which no real server gives on demand.
struct CUT_RELAY {
    int listen_fd = -1;
    int port = 0;
    int upstream_port = 0;
    long cut_after = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> cuts{0};
    std::thread acceptor;
    std::mutex mutex;
    std::vector<std::thread> pipes;

    bool start(int upstream, long cut) {
        upstream_port = upstream;
        cut_after = cut;
        listen_fd = test_listen_loopback(&port, 8);
        if (listen_fd < 0) return false;
        acceptor = std::thread([this] { accept_loop(); });
        return true;
    }
    ~CUT_RELAY() {
        stop = true;
        if (acceptor.joinable()) acceptor.join();
        std::lock_guard<std::mutex> lock(mutex);
        for (auto &t : pipes)
            if (t.joinable()) t.join();
        if (listen_fd >= 0) close(listen_fd);
    }

  private:
    void accept_loop() {
        while (!stop) {
            struct pollfd p = {listen_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue; // wakes to see `stop`
            int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::lock_guard<std::mutex> lock(mutex);
            pipes.emplace_back([this, c] { relay(c); });
        }
    }
    static bool send_all(int fd, const char *p, long n) {
        while (n > 0) {
            ssize_t w = send(fd, p, (size_t)n, MSG_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= w;
        }
        return true;
    }
    void relay(int client) {
        int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)upstream_port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (up < 0 || connect(up, (struct sockaddr *)&a, sizeof a) != 0) {
            if (up >= 0) close(up);
            close(client);
            return;
        }
        long down = 0;
        char buf[16384];
        while (!stop) {
            struct pollfd p[2] = {{client, POLLIN, 0}, {up, POLLIN, 0}};
            if (poll(p, 2, 100) <= 0) continue;
            if (p[0].revents) {
                ssize_t n = recv(client, buf, sizeof buf, 0);
                if (n <= 0 || !send_all(up, buf, n)) break;
            }
            if (p[1].revents) {
                ssize_t n = recv(up, buf, sizeof buf, 0);
                if (n <= 0) break;
                long keep = n;
                if (down + n >= cut_after) keep = cut_after - down;
                if (keep > 0 && !send_all(client, buf, keep)) break;
                down += keep;
                if (down >= cut_after) {
                    cuts++;
                    break;
                }
            }
        }
        close(up);
        close(client);
    }
};
