// labels: net
// The WebSocket client and the console adapter against a real server
// (Debian's python3-websockets running tests/ws_server.py: echo, a bash under
// a pseudo-terminal, fragments, pings, closes, TLS with certificates made
// here, tinyproxy for CONNECT), plus a scripted server for the frames no
// real server sends on demand, and the frame reader fed at every split.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "kvn_test_net.h"
#include "kvn_test_script_server.h"
#include "kvn_test_util.h"
#include "kvn_ws.h"
#include "q_http_client.h"
#include "q_ws.h"

using namespace kvn_net;

namespace {

// ============================================================================
// Frame reader and frame heads (no network)
// ============================================================================

std::string frame(int first, const std::string &payload, const unsigned char *mask = nullptr,
                  int len_form = 0) {
    std::string f(1, (char)first);
    size_t n = payload.size();
    unsigned char mbit = mask ? 0x80 : 0;
    if (len_form == 0 && n < 126) {
        f += (char)(mbit | n);
    } else if (len_form <= 16 && n <= 65535) {
        f += (char)(mbit | 126);
        f += (char)(n >> 8);
        f += (char)n;
    } else {
        f += (char)(mbit | 127);
        for (int i = 7; i >= 0; i--)
            f += (char)((uint64_t)n >> (i * 8));
    }
    std::string body = payload;
    if (mask) {
        f.append((const char *)mask, 4);
        for (size_t i = 0; i < body.size(); i++)
            body[i] = (char)(body[i] ^ mask[i & 3]);
    }
    return f + body;
}

struct FRAME_OUT {
    int opcode, fin, masked;
    std::string payload;
};

// Feeds `in` in the pieces given by the cut positions; collects the frames.
std::vector<FRAME_OUT> read_frames(const std::string &in, const std::vector<size_t> &cuts,
                                   std::string *error) {
    Q_WS_FRAME_READER r = {};
    std::vector<FRAME_OUT> out;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(in.size());
    for (size_t end : ends) {
        while (from < end) {
            long used = q_ws_frame_read(&r, in.data() + from, end - from);
            if (used == -1) {
                *error = r.error;
                q_ws_frame_reset(&r);
                return out;
            }
            if (used == -2) {
                from = end;
                break;
            }
            from += (size_t)used;
            Q_WS_MSG m = {};
            q_ws_frame_take(&r, &m);
            out.push_back({m.opcode, m.fin, m.masked, std::string(m.payload->data, m.payload->length)});
            q_ws_msg_clear(&m);
        }
    }
    if (r.head_len || r.payload) *error = "incomplete";
    q_ws_frame_reset(&r);
    return out;
}

TEST(WsFrame, ReaderGivesTheSameFramesForEveryWayTheInputIsSplit) {
    const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
    std::string big126(126, 'a'), big64k(65536, 'b'), mid(300, 'c');
    for (size_t i = 0; i < mid.size(); i++)
        mid[i] = (char)(i * 31);
    struct CASE {
        const char *name;
        std::string in;
        std::vector<FRAME_OUT> want;
        std::string error;
    } cases[] = {
        {"text", frame(0x81, "Hello"), {{1, 1, 0, "Hello"}}, ""},
        {"empty close", frame(0x88, ""), {{8, 1, 0, ""}}, ""},
        {"close with code",
         frame(0x88, "\x0f\xa1"
                     "bye"),
         {{8, 1, 0,
           "\x0f\xa1"
           "bye"}},
         ""},
        {"16-bit length", frame(0x82, big126), {{2, 1, 0, big126}}, ""},
        {"64-bit length", frame(0x82, big64k), {{2, 1, 0, big64k}}, ""},
        {"short payload in the 64-bit form", frame(0x82, "xyz", nullptr, 64), {{2, 1, 0, "xyz"}}, ""},
        {"masked by the server", frame(0x81, mid, key), {{1, 1, 1, mid}}, ""},
        {"fragments with a ping between",
         frame(0x01, "Zm9v") + frame(0x89, "between") + frame(0x00, "YmFy") + frame(0x80, ""),
         {{1, 0, 0, "Zm9v"}, {9, 1, 0, "between"}, {0, 0, 0, "YmFy"}, {0, 1, 0, ""}},
         ""},
        {"reserved opcode is handed over", frame(0x83, "?"), {{3, 1, 0, "?"}}, ""},
        {"64 MiB plus one refused",
         std::string("\x82\x7f\x00\x00\x00\x00\x04\x00\x00\x01", 10),
         {},
         "q_ws_recv: payload length 67108865 exceeds Q_WS_MAX_PAYLOAD (67108864)"},
        {"length with the top bit set refused",
         std::string("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10),
         {},
         "q_ws_recv: payload length 9223372036854775808 exceeds Q_WS_MAX_PAYLOAD (67108864)"},
        {"frame after a refused one is not read",
         std::string("\x82\x7f\x7f\xff\xff\xff\xff\xff\xff\xff", 10) + frame(0x81, "x"),
         {},
         "q_ws_recv: payload length 9223372036854775807 exceeds Q_WS_MAX_PAYLOAD (67108864)"},
    };
    for (const auto &c : cases) {
        std::vector<std::vector<size_t>> splits = {{}};
        // Every single cut, and byte by byte, for the small inputs; a sample
        // of cuts for the large one.
        size_t step = c.in.size() > 4096 ? 997 : 1;
        for (size_t at = 1; at < c.in.size(); at += step)
            splits.push_back({at});
        std::vector<size_t> each;
        for (size_t at = 1; at < c.in.size() && c.in.size() <= 4096; at++)
            each.push_back(at);
        splits.push_back(each);
        for (const auto &cuts : splits) {
            std::string error;
            auto got = read_frames(c.in, cuts, &error);
            std::string where =
                std::string(c.name) + " cut at " +
                (cuts.size() == 1 ? std::to_string(cuts[0]) : std::to_string(cuts.size()) + " places");
            EXPECT_EQ(error, c.error) << where;
            ASSERT_EQ(got.size(), c.want.size()) << where;
            for (size_t i = 0; i < got.size(); i++) {
                EXPECT_EQ(got[i].opcode, c.want[i].opcode) << where;
                EXPECT_EQ(got[i].fin, c.want[i].fin) << where;
                EXPECT_EQ(got[i].masked, c.want[i].masked) << where;
                EXPECT_TRUE(got[i].payload == c.want[i].payload) << where;
            }
        }
    }
}

TEST(WsFrame, HeadsUseTheShortestLengthFormAndCarryTheMask) {
    const unsigned char key[4] = {1, 2, 3, 4};
    struct {
        uint64_t len;
        std::string head;
    } cases[] = {
        {0, std::string("\x82\x80\x01\x02\x03\x04", 6)},
        {125, std::string("\x82\xfd\x01\x02\x03\x04", 6)},
        {126, std::string("\x82\xfe\x00\x7e\x01\x02\x03\x04", 8)},
        {65535, std::string("\x82\xfe\xff\xff\x01\x02\x03\x04", 8)},
        {65536, std::string("\x82\xff\x00\x00\x00\x00\x00\x01\x00\x00\x01\x02\x03\x04", 14)},
    };
    for (const auto &c : cases) {
        unsigned char out[Q_WS_FRAME_HEAD_MAX];
        size_t n = q_ws_frame_head(out, Q_WS_OP_BINARY, c.len, key);
        EXPECT_EQ(std::string((char *)out, n), c.head) << c.len;
    }
    unsigned char out[Q_WS_FRAME_HEAD_MAX];
    EXPECT_EQ(std::string((char *)out, q_ws_frame_head(out, Q_WS_OP_CLOSE, 2, nullptr)), "\x88\x02");

    // Masking at any offset matches byte-wise XOR with the rotating key.
    std::string data(103, 0);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 13);
    for (uint64_t off : {0, 1, 2, 3, 7}) {
        std::string m = data;
        q_ws_mask((unsigned char *)m.data(), m.size(), key, off);
        for (size_t i = 0; i < m.size(); i++)
            ASSERT_EQ((unsigned char)m[i], (unsigned char)(data[i] ^ key[(off + i) & 3])) << off << " " << i;
    }
}

TEST(WsUrl, BadAddressesAndProxiesAreRefusedWithTheirReason) {
    std::string long_path = "ws://127.0.0.1:1/" + std::string(4094, 'p');
    struct {
        std::string url, proxy, error;
    } cases[] = {
        {"http://127.0.0.1/", "", "not a ws:// or wss:// URL"},
        {"ws://user:pw@127.0.0.1/", "", "credentials in the URL are not supported"},
        {"ws://127.0.0.1:0/", "", "bad host or port in the URL"},
        {"ws://127.0.0.1:65536/", "", "bad host or port in the URL"},
        {"ws://[::1/", "", "bad host or port in the URL"},
        {"ws:///x", "", "bad host or port in the URL"},
        {"ws://127.0.0.1/a b", "", "control or space character in the path"},
        {"ws://127.0.0.1/a\tb", "", "control or space character in the path"},
        {long_path, "", "path too long"},
        {"ws://127.0.0.1:1/", "socks5://127.0.0.1:1", "only http:// proxies are supported"},
        {"ws://127.0.0.1:1/", "http://[::1", "bad proxy address"},
        {"ws://127.0.0.1:1/", "http://" + std::string(400, 'u') + ":p@127.0.0.1:3128",
         "proxy credentials too long"},
    };
    for (const auto &c : cases) {
        char err[1024] = "x";
        Q_WS_OPTIONS o = {};
        o.proxy = c.proxy.empty() ? nullptr : c.proxy.c_str();
        o.error = err;
        o.error_cap = sizeof err;
        o.connect_timeout_ms = 2000;
        Q_WS_CONN *conn = q_ws_connect_ex(c.url.c_str(), &o);
        EXPECT_EQ(conn, nullptr) << c.url;
        EXPECT_EQ(std::string(err), c.error) << c.url;
        if (conn) q_ws_conn_free(&conn);
    }
    char err[1024];
    EXPECT_EQ(kvn_ws_connect("https://127.0.0.1/", nullptr, nullptr, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "not a ws:// or wss:// address");
}

// ============================================================================
// Real peers
// ============================================================================

struct PEERS {
    TEST_DIR dir;
    CHILD server;
    TINYPROXY proxy, strict_proxy;
    int port = 0, tls_port = 0, proxy_port = 0, strict_port = 0;
    bool ok = false;
    std::string log() const { return dir.file("ws-server.log"); }
    std::string ca() const { return dir.file("ca.pem"); }

    void start() {
        port = free_port(), tls_port = free_port(), proxy_port = free_port(), strict_port = free_port();
        make_test_certs(dir.path);
        ok = server.start({"/usr/bin/python3", std::string(KVN_SOURCE_DIR) + "/tests/ws_server.py", "--port",
                           std::to_string(port), "--tls-port", std::to_string(tls_port), "--cert",
                           dir.file("good.pem"), "--key", dir.file("good.key")},
                          log()) &&
             wait_port(port, 20000) && wait_port(tls_port, 20000) &&
             proxy.start(dir.path, "proxy", proxy_port, {port, tls_port}, "") &&
             strict_proxy.start(dir.path, "strict", strict_port, {1}, "");
    }
    // Waits for a line of the server's log; generous, the server is Python.
    bool wait_log(const std::string &text) {
        for (int i = 0; i < 1500; i++) {
            if (read_file(log()).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

PEERS *g_peers;

struct CONN_DELETER {
    void operator()(Q_WS_CONN *c) const { q_ws_conn_free(&c); }
};
using CONN = std::unique_ptr<Q_WS_CONN, CONN_DELETER>;
struct KWS_DELETER {
    void operator()(KVN_WS *w) const { kvn_ws_close(&w); }
};
using KWS = std::unique_ptr<KVN_WS, KWS_DELETER>;

class WsNet : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        q_httpc_global_init();
        for (const char *n :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
            unsetenv(n);
        g_peers = new PEERS;
        g_peers->start();
    }
    static void TearDownTestSuite() {
        delete g_peers;
        g_peers = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(g_peers->ok) << "the WebSocket server or tinyproxy did not start; see "
                                 << g_peers->dir.path;
    }
    PEERS &P = *g_peers;

    std::string ws(const std::string &path) const {
        return "ws://127.0.0.1:" + std::to_string(P.port) + path;
    }
    std::string wss(const std::string &path, const char *host = "localhost") const {
        return std::string("wss://") + host + ":" + std::to_string(P.tls_port) + path;
    }
    CONN connect(const std::string &url, Q_WS_OPTIONS o = {}, std::string *error = nullptr) {
        char err[1024] = "";
        o.error = err;
        o.error_cap = sizeof err;
        if (!o.connect_timeout_ms) o.connect_timeout_ms = 20000;
        CONN c(q_ws_connect_ex(url.c_str(), &o));
        if (error) *error = err;
        return c;
    }
    KWS open(const std::string &url, std::string *error = nullptr, Q_HTTPC_CANCEL *cancel = nullptr) {
        Q_WS_OPTIONS o = {};
        o.subprotocols = "binary, base64";
        o.verify = 1;
        std::string ca = P.ca();
        o.ca_file = ca.c_str();
        char err[1024] = "";
        KWS w(kvn_ws_connect(url.c_str(), &o, cancel, err, sizeof err));
        if (error) *error = err;
        return w;
    }
    // Reads from the adapter until `want` has arrived (or it closes), in
    // pieces of at most `piece` bytes.
    static std::string read_until(KVN_WS *w, const std::string &want, size_t piece = 4096) {
        std::string got;
        std::vector<char> buf(piece);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            long n = kvn_ws_recv(w, buf.data(), buf.size(), 200);
            if (n < 0) break;
            got.append(buf.data(), (size_t)n);
        }
        return got;
    }
};

std::string payload_of(const Q_WS_MSG &m) {
    return std::string(m.payload->data, m.payload->length);
}

TEST_F(WsNet, EchoCarriesEveryLengthFormPlainAndOverTls) {
    std::string ca = P.ca();
    Q_WS_OPTIONS tls = {};
    tls.verify = 1;
    tls.ca_file = ca.c_str();
    struct {
        std::string url;
        Q_WS_OPTIONS o;
    } targets[] = {{ws("/raw/echo"), {}}, {wss("/raw/echo"), tls}, {wss("/raw/echo", "127.0.0.1"), tls}};
    for (auto &t : targets) {
        std::string err;
        CONN c = connect(t.url, t.o, &err);
        ASSERT_TRUE(c) << t.url << ": " << err;
        EXPECT_STREQ(q_ws_protocol(c.get()), "");
        for (size_t len : {0, 1, 125, 126, 65535, 65536, 3 << 20}) {
            std::string data(len, 0);
            for (size_t i = 0; i < len; i++)
                data[i] = (char)(i * 7 + (i >> 11));
            ASSERT_EQ(q_ws_send(c.get(), data.data(), data.size(), Q_WS_OP_BINARY), 0) << len;
            Q_WS_MSG m = {};
            ASSERT_EQ(q_ws_recv(c.get(), &m), 0) << t.url << " " << len;
            EXPECT_EQ(m.opcode, Q_WS_OP_BINARY);
            EXPECT_EQ(m.masked, 0);
            EXPECT_TRUE(payload_of(m) == data) << t.url << " " << len;
            q_ws_msg_clear(&m);
        }
    }
}

TEST_F(WsNet, TlsRefusesAServerItCannotVerify) {
    std::string err;
    Q_WS_OPTIONS o = {};
    o.verify = 1; // the system store does not know the test CA
    EXPECT_FALSE(connect(wss("/raw/echo"), o, &err));
    EXPECT_EQ(err, "cannot connect to localhost:" + std::to_string(P.tls_port) +
                       " (or the certificate did not verify)");
    std::string other_ca = P.dir.file("unknownca.pem");
    o.ca_file = other_ca.c_str();
    EXPECT_FALSE(connect(wss("/raw/echo"), o, &err));
    o.verify = 0; // switched off, anything goes
    EXPECT_TRUE(connect(wss("/raw/echo"), o, &err)) << err;
}

TEST_F(WsNet, ProxyTunnelsWsAndWssAndReportsARefusal) {
    std::string ca = P.ca();
    std::string proxy = "http://127.0.0.1:" + std::to_string(P.proxy_port);
    for (const std::string &url : {ws("/raw/echo"), wss("/raw/echo")}) {
        Q_WS_OPTIONS o = {};
        o.verify = 1;
        o.ca_file = ca.c_str();
        o.proxy = proxy.c_str();
        std::string err;
        CONN c = connect(url, o, &err);
        ASSERT_TRUE(c) << url << ": " << err;
        ASSERT_EQ(q_ws_send(c.get(), "via proxy", 9, Q_WS_OP_TEXT), 0);
        Q_WS_MSG m = {};
        ASSERT_EQ(q_ws_recv(c.get(), &m), 0);
        EXPECT_EQ(payload_of(m), "via proxy");
        q_ws_msg_clear(&m);
    }
    std::string log = read_file(P.proxy.log);
    EXPECT_NE(log.find("CONNECT 127.0.0.1:" + std::to_string(P.port)), std::string::npos) << log;
    EXPECT_NE(log.find("CONNECT localhost:" + std::to_string(P.tls_port)), std::string::npos) << log;

    std::string strict = "http://127.0.0.1:" + std::to_string(P.strict_port);
    Q_WS_OPTIONS o = {};
    o.proxy = strict.c_str();
    std::string err;
    EXPECT_FALSE(connect(ws("/raw/echo"), o, &err));
    EXPECT_EQ(
        err.rfind("the proxy refused the tunnel to 127.0.0.1:" + std::to_string(P.port) + ": HTTP/1.", 0), 0u)
        << err;
    EXPECT_NE(err.find(" 403 "), std::string::npos) << err;
}

TEST_F(WsNet, ConsoleTakesItsProxyFromTheEnvironmentUnlessNoProxyMatches) {
    auto connects = [&] {
        std::string log = read_file(P.proxy.log);
        size_t n = 0;
        for (size_t at = 0;
             (at = log.find("CONNECT 127.0.0.1:" + std::to_string(P.port), at)) != std::string::npos; at++)
            n++;
        return n;
    };
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(P.proxy_port)).c_str(), 1);
    size_t before = connects();
    {
        std::string err;
        KWS w = open(ws("/raw/echo"), &err);
        ASSERT_TRUE(w) << err;
    }
    EXPECT_EQ(connects(), before + 1);
    setenv("no_proxy", "example.com, 127.0.0.1", 1);
    {
        std::string err;
        KWS w = open(ws("/raw/echo"), &err);
        ASSERT_TRUE(w) << err;
    }
    EXPECT_EQ(connects(), before + 1);
    unsetenv("http_proxy");
    unsetenv("no_proxy");
}

TEST_F(WsNet, ConsoleRunsARealShellInBase64AndBinaryMode) {
    for (const char *path : {"/console", "/raw/console"}) {
        std::string err;
        KWS w = open(ws(path), &err);
        ASSERT_TRUE(w) << path << ": " << err;
        EXPECT_EQ(w->base64, strcmp(path, "/console") == 0) << path;
        const char cmd[] = "echo $((6*7))x\r";
        ASSERT_EQ(kvn_ws_send(w.get(), Q_WS_OP_BINARY, cmd, strlen(cmd)), 0);
        // Three bytes at a time: the rest of each message waits in the
        // pending buffer.
        std::string got = read_until(w.get(), "42x\r\n", 3);
        EXPECT_NE(got.find("42x\r\n"), std::string::npos) << path << ": " << got;
        const char bye[] = "exit\r";
        ASSERT_EQ(kvn_ws_send(w.get(), Q_WS_OP_BINARY, bye, strlen(bye)), 0);
        read_until(w.get(), "\x01never");
        EXPECT_EQ(w->closed, 1) << path << ": the shell's end closes the console";
        EXPECT_EQ(kvn_ws_send(w.get(), Q_WS_OP_BINARY, "x", 1), -1);
        char b[8];
        EXPECT_EQ(kvn_ws_recv(w.get(), b, sizeof b, 10), -1);
    }
}

TEST_F(WsNet, FragmentsArriveInOrderWithAPingBetween) {
    std::string err;
    CONN c = connect(ws("/raw/fragments"), {}, &err);
    ASSERT_TRUE(c) << err;
    struct {
        int opcode, fin;
        const char *payload;
    } want[] = {{Q_WS_OP_BINARY, 0, "foo"},
                {Q_WS_OP_PING, 1, "between"},
                {Q_WS_OP_CONT, 0, "bar"},
                {Q_WS_OP_CONT, 0, "baz"},
                {Q_WS_OP_CONT, 1, ""}};
    for (const auto &f : want) {
        Q_WS_MSG m = {};
        ASSERT_EQ(q_ws_recv(c.get(), &m), 0);
        EXPECT_EQ(m.opcode, f.opcode);
        EXPECT_EQ(m.fin, f.fin);
        EXPECT_EQ(payload_of(m), f.payload);
        q_ws_msg_clear(&m);
    }
    // (this server ends a fragmented message with an empty final frame)
    // The adapter joins them, in Base64 mode even when a fragment ends inside
    // a group of four characters.
    for (const char *path : {"/fragments", "/raw/fragments"}) {
        KWS w = open(ws(path), &err);
        ASSERT_TRUE(w) << err;
        EXPECT_EQ(read_until(w.get(), "foobarbaz"), "foobarbaz") << path;
    }
}

TEST_F(WsNet, PingIsAnsweredWithItsPayloadAndReadingGoesOn) {
    for (const char *path : {"/ping", "/raw/ping"}) {
        std::string err;
        KWS w = open(ws(path), &err);
        ASSERT_TRUE(w) << err;
        // The server sends "pong ok" only after a pong with its ping's payload.
        EXPECT_EQ(read_until(w.get(), "pong ok"), "pong ok") << path;
    }
}

TEST_F(WsNet, CloseCodesAndReasonsGoBothWays) {
    // The server's close reaches the library with its code and reason.
    std::string err;
    CONN c = connect(ws("/raw/close?code=4001&reason=bye"), {}, &err);
    ASSERT_TRUE(c) << err;
    Q_WS_MSG m = {};
    ASSERT_EQ(q_ws_recv(c.get(), &m), 0);
    EXPECT_EQ(m.opcode, Q_WS_OP_CLOSE);
    EXPECT_EQ(payload_of(m), "\x0f\xa1"
                             "bye");
    q_ws_msg_clear(&m);
    c.reset();

    struct {
        std::string path;
        std::function<void(KVN_WS *)> act;
        std::string log;
    } cases[] = {
        // The console answers a close with the peer's own code.
        {"/close?code=4002&reason=gone", [](KVN_WS *w) { read_until(w, "\x01never"); },
         "closed /close?code=4002&reason=gone code=4002 reason="},
        // A local close sends an empty close frame (no status: 1005).
        {"/raw/wait-close", [](KVN_WS *) {}, "closed /raw/wait-close code=1005 reason="},
        // A close frame sent through the library carries code and reason.
        {"/wait-close?x=1",
         [](KVN_WS *w) {
             ASSERT_EQ(q_ws_send(w->conn,
                                 "\x0f\xa0"
                                 "done",
                                 6, Q_WS_OP_CLOSE),
                       0);
             read_until(w, "\x01never");
         },
         "closed /wait-close?x=1 code=4000 reason=done"},
    };
    for (auto &cs : cases) {
        KWS w = open(ws(cs.path), &err);
        ASSERT_TRUE(w) << err;
        cs.act(w.get());
        w.reset();
        EXPECT_TRUE(P.wait_log(cs.log)) << cs.log << "\n" << read_file(P.log());
    }
}

TEST_F(WsNet, Base64ModeToleratesLineEndsAndClosesOnBadText) {
    std::string err;
    KWS w = open(ws("/echo"), &err);
    ASSERT_TRUE(w) << err;
    ASSERT_EQ(w->base64, 1);
    // The echo server returns these texts as they are sent.
    ASSERT_EQ(kvn_ws_send(w.get(), Q_WS_OP_BINARY, "\x00\xff hi", 5), 0);
    EXPECT_EQ(read_until(w.get(), " hi"), std::string("\x00\xff hi", 5));
    ASSERT_EQ(q_ws_send(w->conn, "\r\n \n", 4, Q_WS_OP_TEXT), 0); // nothing in it: skipped
    ASSERT_EQ(q_ws_send(w->conn, "aGk=\r\n", 6, Q_WS_OP_TEXT), 0);
    EXPECT_EQ(read_until(w.get(), "hi"), "hi");
    TEST_LOG_CAPTURE logs;
    ASSERT_EQ(q_ws_send(w->conn, "aGk", 3, Q_WS_OP_TEXT), 0);
    char b[16];
    EXPECT_EQ(kvn_ws_recv(w.get(), b, sizeof b, 20000), -1);
    EXPECT_TRUE(logs.contains("console: invalid base64 payload"));
    EXPECT_EQ(kvn_ws_send(w.get(), Q_WS_OP_BINARY, "x", 1), -1);

    // Without the echoed subprotocol the console stays binary.
    KWS raw = open(ws("/raw/echo"), &err);
    ASSERT_TRUE(raw) << err;
    EXPECT_EQ(raw->base64, 0);
    ASSERT_EQ(kvn_ws_send(raw.get(), Q_WS_OP_BINARY, "aGk=", 4), 0);
    EXPECT_EQ(read_until(raw.get(), "aGk="), "aGk=");
}

TEST_F(WsNet, NonUpgradeAnswerIsReportedWithItsStatusLine) {
    std::string err;
    EXPECT_FALSE(connect(ws("/http200"), {}, &err));
    EXPECT_EQ(err, "the server did not switch protocols: HTTP/1.1 200 OK");
}

TEST_F(WsNet, CancelFromAnotherThreadEndsAWaitPromptly) {
    for (int library_level = 0; library_level < 2; library_level++) {
        Q_HTTPC_CANCEL *token = q_httpc_cancel_new();
        std::string err;
        KWS w = open(ws("/raw/wait-close"), &err, token);
        ASSERT_TRUE(w) << err;
        std::mutex mu;
        std::condition_variable cv;
        bool waiting = false;
        std::thread canceller([&] {
            std::unique_lock<std::mutex> g(mu);
            cv.wait(g, [&] { return waiting; });
            g.unlock();
            q_httpc_cancel(token);
        });
        {
            std::lock_guard<std::mutex> g(mu);
            waiting = true;
        }
        cv.notify_all();
        auto start = std::chrono::steady_clock::now();
        if (library_level) {
            Q_WS_MSG m = {};
            EXPECT_EQ(q_ws_recv(w->conn, &m), -1); // no time-out at all
        } else {
            char b[16];
            EXPECT_EQ(kvn_ws_recv(w.get(), b, sizeof b, 60000), -1);
        }
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        EXPECT_LT(ms, 1000);
        canceller.join();
        w.reset();
        q_httpc_cancel_free(&token);
    }
    // A token that fired before the connect stops it at once.
    Q_HTTPC_CANCEL *token = q_httpc_cancel_new();
    q_httpc_cancel(token);
    std::string err;
    EXPECT_FALSE(open(ws("/raw/echo"), &err, token));
    EXPECT_EQ(err, "cancelled");
    q_httpc_cancel_free(&token);
}

// ============================================================================
// Scripted server: frames no real server sends on demand
// ============================================================================

std::string accept_for(const std::string &head) {
    size_t at = head.find("Sec-WebSocket-Key: ");
    std::string key = head.substr(at + 19, 24) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char sha[SHA_DIGEST_LENGTH];
    SHA1((const unsigned char *)key.data(), key.size(), sha);
    unsigned char b64[64];
    int n = EVP_EncodeBlock(b64, sha, sizeof sha);
    return std::string((char *)b64, (size_t)n);
}

std::string upgrade(const kvn_script::REQUEST &r, const std::string &extra = "") {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           accept_for(r.head) + "\r\n" + extra + "\r\n";
}

TEST(WsScripted, FaultyServersAreRefusedWithTheirReason) {
    q_httpc_global_init();
    const unsigned char key[4] = {9, 8, 7, 6};
    kvn_script::SERVER s([&](const kvn_script::REQUEST &r) {
        kvn_script::ANSWER a;
        a.hold = true;
        if (r.target == "/masked")
            a.bytes = upgrade(r) + frame(0x82, "masked by mistake", key);
        else if (r.target == "/oversized")
            a.bytes = upgrade(r) + std::string("\x82\x7f\x00\x00\x00\x00\x04\x00\x00\x01", 10);
        else if (r.target == "/cut") {
            a.bytes = upgrade(r) + frame(0x82, "0123456789").substr(0, 6);
            a.hold = false;
        } else if (r.target == "/opcode")
            a.bytes = upgrade(r) + frame(0x83, "junk");
        else if (r.target == "/wrong-accept")
            a.bytes = "HTTP/1.1 101 X\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: AAAA\r\n\r\n" +
                      frame(0x82, "lenient");
        else if (r.target == "/no-upgrade")
            a.bytes =
                "HTTP/1.1 101 X\r\nUpgrade: h2c\r\nSec-WebSocket-Accept: " + accept_for(r.head) + "\r\n\r\n";
        else if (r.target == "/protocol")
            a.bytes = upgrade(r, "Sec-WebSocket-Protocol: BASE64\r\n") + frame(0x81, "aGk=");
        else
            a.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        return a;
    });
    std::string base = "ws://127.0.0.1:" + std::to_string(s.port);
    auto conn = [&](const std::string &path, std::string *err, int lenient = 0) {
        char e[1024] = "";
        Q_WS_OPTIONS o = {};
        o.error = e;
        o.error_cap = sizeof e;
        o.lenient_accept = lenient;
        o.subprotocols = "binary, base64";
        CONN c(q_ws_connect_ex((base + path).c_str(), &o));
        *err = e;
        return c;
    };
    std::string err;

    // A masked server frame is unmasked, and reported as masked; it came in
    // the same packet as the upgrade answer.
    CONN c = conn("/masked", &err);
    ASSERT_TRUE(c) << err;
    Q_WS_MSG m = {};
    ASSERT_EQ(q_ws_recv(c.get(), &m), 0);
    EXPECT_EQ(m.masked, 1);
    EXPECT_EQ(payload_of(m), "masked by mistake");
    q_ws_msg_clear(&m);

    {
        TEST_LOG_CAPTURE logs;
        c = conn("/oversized", &err);
        ASSERT_TRUE(c) << err;
        EXPECT_EQ(q_ws_recv(c.get(), &m), -1);
        EXPECT_TRUE(logs.contains("q_ws_recv: payload length 67108865 exceeds Q_WS_MAX_PAYLOAD (67108864)"));
        EXPECT_EQ(c->open, 0);
    }

    c = conn("/cut", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_EQ(q_ws_recv_timeout(c.get(), &m, 20000), -1);
    EXPECT_EQ(m.payload, nullptr);

    EXPECT_FALSE(conn("/wrong-accept", &err));
    EXPECT_EQ(err, "wrong Sec-WebSocket-Accept from 127.0.0.1:" + std::to_string(s.port));
    c = conn("/wrong-accept", &err, 1);
    ASSERT_TRUE(c) << err;
    ASSERT_EQ(q_ws_recv(c.get(), &m), 0);
    EXPECT_EQ(payload_of(m), "lenient");
    q_ws_msg_clear(&m);

    EXPECT_FALSE(conn("/no-upgrade", &err));
    EXPECT_EQ(err, "the server did not upgrade to WebSocket");
    EXPECT_FALSE(conn("/elsewhere", &err));
    EXPECT_EQ(err, "the server did not switch protocols: HTTP/1.1 404 Not Found");

    // The adapter: a reserved opcode closes the console; the subprotocol
    // echo is compared without regard to case.
    char e[1024];
    {
        TEST_LOG_CAPTURE logs;
        KWS w(kvn_ws_connect((base + "/opcode").c_str(), nullptr, nullptr, e, sizeof e));
        ASSERT_TRUE(w) << e;
        char b[16];
        EXPECT_EQ(kvn_ws_recv(w.get(), b, sizeof b, 20000), -1);
        EXPECT_TRUE(logs.contains("console: unexpected WebSocket opcode"));
    }
    Q_WS_OPTIONS o = {};
    o.subprotocols = "binary, base64";
    KWS w(kvn_ws_connect((base + "/protocol").c_str(), &o, nullptr, e, sizeof e));
    ASSERT_TRUE(w) << e;
    EXPECT_EQ(w->base64, 1);
    char b[16];
    ASSERT_EQ(kvn_ws_recv(w.get(), b, sizeof b, 20000), 2);
    EXPECT_EQ(std::string(b, 2), "hi");
    // The origin defaults to the address's scheme and authority.
    bool origin = false;
    for (auto &r : s.requests())
        if (r.target == "/protocol")
            origin = r.has_header("Origin: http://127.0.0.1:" + std::to_string(s.port) + "\r\n");
    EXPECT_TRUE(origin);
}

} // namespace
