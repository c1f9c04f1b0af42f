// WebSocket receive throughput on loopback: our client against the Python
// server's own send rate, measured in the same run on the same stream. The
// peer reader does the upgrade by hand and then only counts bytes (no frame
// parsing), so its figure is the most the server can send; ours parses every
// frame into a message. Prints medians of alternating rounds and the ratio.
//
//   bench_ws PORT [message KiB] [messages per round] [rounds]
// bench/bench_ws.sh starts tests/ws_server.py and runs this against it.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "q_http_client.h"
#include "q_log.h"
#include "q_ws.h"

using CLOCK = std::chrono::steady_clock;

namespace {

double _seconds_since(CLOCK::time_point t0) {
    return std::chrono::duration<double>(CLOCK::now() - t0).count();
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string _path(size_t size, int count) {
    return "/raw/stream?size=" + std::to_string(size) + "&count=" + std::to_string(count);
}

// Payload bytes per second through our client.
double _ours(int port, size_t size, int count) {
    std::string url = "ws://127.0.0.1:" + std::to_string(port) + _path(size, count);
    char err[1024] = "";
    Q_WS_OPTIONS o = {};
    o.error = err;
    o.error_cap = sizeof err;
    Q_WS_CONN *c = q_ws_connect_ex(url.c_str(), &o);
    if (!c) {
        fprintf(stderr, "bench_ws: %s\n", err);
        exit(1);
    }
    auto t0 = CLOCK::now();
    size_t bytes = 0;
    for (int got = 0; got < count;) {
        Q_WS_MSG m = {};
        if (q_ws_recv(c, &m) != 0) {
            fprintf(stderr, "bench_ws: receive failed after %d messages\n", got);
            exit(1);
        }
        if (m.opcode == Q_WS_OP_BINARY) {
            bytes += m.payload->length;
            got++;
        }
        q_ws_msg_clear(&m);
    }
    double s = _seconds_since(t0);
    q_ws_conn_free(&c);
    return bytes / s;
}

// Payload bytes per second of a reader that takes the bytes off the socket
// and does nothing else.
double _peer(int port, size_t size, int count) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        perror("bench_ws: connect");
        exit(1);
    }
    std::string req = "GET " + _path(size, count) +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) exit(1);
    size_t head = size < 126 ? 2 : size <= 65535 ? 4 : 10;
    size_t want = (head + size) * (size_t)count;
    std::vector<char> buf(Q_WS_READ_BUF);
    std::string answer;
    size_t got = 0;
    while (answer.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) exit(1);
        answer.append(buf.data(), (size_t)n);
    }
    got = answer.size() - (answer.find("\r\n\r\n") + 4);
    auto t0 = CLOCK::now();
    while (got < want) {
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
            fprintf(stderr, "bench_ws: peer stream ended early\n");
            exit(1);
        }
        got += (size_t)n;
    }
    double s = _seconds_since(t0);
    close(fd);
    return size * (double)count / s;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_ws PORT [message KiB] [messages per round] [rounds]\n");
        return 2;
    }
    set_log_level(Q_LOG_ERR);
    q_httpc_global_init();
    int port = atoi(argv[1]);
    size_t size = (argc > 2 ? (size_t)atol(argv[2]) : 64) * 1024;
    int count = argc > 3 ? atoi(argv[3]) : 2048;
    int rounds = argc > 4 ? atoi(argv[4]) : 5;
    std::vector<double> ours, peer;
    _ours(port, size, 16); // warm-up: the server's first stream starts cold
    for (int r = 0; r < rounds; r++) {
        peer.push_back(_peer(port, size, count));
        ours.push_back(_ours(port, size, count));
    }
    double o = _median(ours) / 1e6, p = _median(peer) / 1e6;
    printf("WebSocket receive, %zu KiB binary messages, %d per round, median of %d rounds\n", size / 1024,
           count, rounds);
    printf("  server send rate (byte-counting reader): %8.1f MB/s\n", p);
    printf("  our client (frames parsed):              %8.1f MB/s\n", o);
    printf("  ratio ours / server send rate:           %8.2f\n", o / p);
    return 0;
}
