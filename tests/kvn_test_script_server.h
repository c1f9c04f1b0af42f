#pragma once
// A hand-written HTTP server on 127.0.0.1 for the faults no real server
// produces on demand: answers cut in the middle of their body, answers that
// stall, and exact counts of what arrived. Each connection gets one request
// and one answer, then is closed (or held open when the answer says so).

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kvn_test_util.h"

namespace kvn_script {

struct REQUEST {
    std::string method, target, head, body;
    bool has_header(const std::string &line) const { return head.find(line) != std::string::npos; }
};

struct ANSWER {
    std::string bytes; // written as they are
    bool hold = false; // keep the connection open until the peer leaves
};

// "HTTP/1.1 <status> X" with a JSON body and an exact Content-Length.
inline std::string json_answer(int status, const std::string &body, const std::string &extra_head = "") {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n" + extra_head + "\r\n" + body;
}

struct SERVER {
    int fd = -1;
    int port = 0;
    std::function<ANSWER(const REQUEST &)> answer;
    std::mutex mutex; // guards seen
    std::vector<REQUEST> seen;
    std::atomic<bool> stop{false};
    std::thread acceptor;
    std::vector<std::thread> conns; // the acceptor's own until it is joined

    explicit SERVER(std::function<ANSWER(const REQUEST &)> fn) : answer(std::move(fn)) {
        fd = test_listen_loopback(&port, 64);
        acceptor = std::thread([this] {
            while (!stop) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) conns.emplace_back([this, c] { serve(c); });
            }
        });
    }
    ~SERVER() {
        stop = true;
        acceptor.join();
        for (auto &t : conns)
            t.join();
        close(fd);
    }
    SERVER(const SERVER &) = delete;
    SERVER &operator=(const SERVER &) = delete;

    std::string url(const std::string &path = "") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // How many requests arrived whose target starts with `prefix`.
    int count(const std::string &prefix) {
        std::lock_guard<std::mutex> g(mutex);
        int n = 0;
        for (auto &r : seen)
            n += r.target.rfind(prefix, 0) == 0;
        return n;
    }
    std::vector<REQUEST> requests() {
        std::lock_guard<std::mutex> g(mutex);
        return seen;
    }

  private:
    // Waits for bytes with a bound; false when the peer left or the server stops.
    bool _readable(int c) {
        for (int i = 0; i < 3000 && !stop; i++) {
            pollfd p = {c, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    void serve(int c) {
        std::string in;
        char buf[4096];
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            if (!_readable(c)) return (void)close(c);
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) return (void)close(c);
            in.append(buf, (size_t)n);
        }
        REQUEST r;
        r.head = in.substr(0, end + 4);
        size_t sp = r.head.find(' '), sp2 = r.head.find(' ', sp + 1);
        r.method = r.head.substr(0, sp);
        r.target = r.head.substr(sp + 1, sp2 - sp - 1);
        size_t want = 0;
        size_t cl = r.head.find("Content-Length: ");
        if (cl != std::string::npos) want = strtoul(r.head.c_str() + cl + 16, nullptr, 10);
        r.body = in.substr(end + 4);
        while (r.body.size() < want) {
            if (!_readable(c)) break;
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            r.body.append(buf, (size_t)n);
        }
        {
            std::lock_guard<std::mutex> g(mutex);
            seen.push_back(r);
        }
        ANSWER a = answer(r);
        size_t off = 0;
        while (off < a.bytes.size()) {
            ssize_t n = send(c, a.bytes.data() + off, a.bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += (size_t)n;
        }
        if (a.hold) {
            // Until the client closes its end (or gives up).
            while (_readable(c) && recv(c, buf, sizeof buf, 0) > 0) {
            }
        } else {
            shutdown(c, SHUT_WR);
        }
        close(c);
    }
};

} // namespace kvn_script
