// labels: unit
// The HTTP client's parsers and helpers that need no network: URL parsing,
// the head and chunk readers fed in every split, header lookup, percent
// encoding and proxy choice from the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "q_http_client.h"

TEST(HttpUrl, ParsesAndRefuses) {
    struct {
        const char *url;
        int ok, tls;
        const char *host, *port, *path;
    } cases[] = {
        {"https://[2001:db8::1]:8443/v3/auth?x=1&y=2#frag", 1, 1, "2001:db8::1", "8443", "/v3/auth?x=1&y=2"},
        {"https://example.com?q=1", 1, 1, "example.com", "443", "/?q=1"},
        {"HTTP://Example.com", 1, 0, "Example.com", "80", "/"},
        {"http://h:8080#top", 1, 0, "h", "8080", "/"},
        {"http://h:65535/a/b", 1, 0, "h", "65535", "/a/b"},
        {"http://[::1]/", 1, 0, "::1", "80", "/"},
        {"http://user:pw@h/", 0, 0, "", "", ""},
        {"http://h:0/", 0, 0, "", "", ""},
        {"http://h:65536/", 0, 0, "", "", ""},
        {"http://h:/", 0, 0, "", "", ""},
        {"http://h:8a/", 0, 0, "", "", ""},
        {"http://h:0000000000000080/", 0, 0, "", "", ""}, // 16 digits
        {"http:///path", 0, 0, "", "", ""},
        {"http://[::1/", 0, 0, "", "", ""},
        {"http://[]/", 0, 0, "", "", ""},
        {"http://[::1]x/", 0, 0, "", "", ""},
        {"http://a b/", 0, 0, "", "", ""},
        {"http://h/a b", 0, 0, "", "", ""},
        {"http://h/a\tb", 0, 0, "", "", ""},
        {"ftp://h/", 0, 0, "", "", ""},
        {"h/path", 0, 0, "", "", ""},
    };
    for (const auto &c : cases) {
        Q_HTTPC_URL u;
        int rc = q_httpc_parse_url(c.url, &u);
        EXPECT_EQ(rc, c.ok ? 0 : -1) << c.url;
        if (rc != 0 || !c.ok) continue;
        EXPECT_EQ(u.tls, c.tls) << c.url;
        EXPECT_STREQ(u.host, c.host) << c.url;
        EXPECT_STREQ(u.port, c.port) << c.url;
        EXPECT_STREQ(u.path, c.path) << c.url;
    }
    // Host and path length limits.
    Q_HTTPC_URL u;
    EXPECT_EQ(q_httpc_parse_url(("http://" + std::string(255, 'h') + "/").c_str(), &u), 0);
    EXPECT_EQ(q_httpc_parse_url(("http://" + std::string(256, 'h') + "/").c_str(), &u), -1);
    EXPECT_EQ(q_httpc_parse_url(("http://h/" + std::string(4091, 'p')).c_str(), &u), 0);
    EXPECT_EQ(q_httpc_parse_url(("http://h/" + std::string(4092, 'p')).c_str(), &u), -1);
}

// Feeds text through the head scanner in pieces of `step` bytes; returns the
// head length found, -1 for too large, or -2 when the head never ended.
static long _scan_in_steps(const std::string &text, size_t step) {
    Q_HTTPC_HEAD_SCAN scan = {};
    size_t off = 0;
    while (off < text.size()) {
        size_t n = std::min(step, text.size() - off);
        long rc = q_httpc_head_scan(&scan, text.data() + off, n);
        if (rc == -1) return -1;
        if (rc >= 0) return (long)(off + rc);
        off += n;
    }
    return -2;
}

TEST(HttpHead, EndFoundInEverySplit) {
    struct {
        std::string text;
        long end;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nA: b\r\n\r\nBODY", 25},
        {"HTTP/1.1 200 OK\nA: b\n\nBODY", 22},
        {"HTTP/1.1 200 OK\r\nA: b\r\n\rX", -2}, // no LF after the last CR
        {"HTTP/1.1 200 OK\r\nA: b\n\r\n", -2},  // mixed endings are not an end
        {std::string("HTTP/1.1 200 OK\r\n") + std::string(65536 - 19, 'x') + "\r\n\r\n", -1},
        {std::string("HTTP/1.1 200 OK\r\n") + std::string(65536 - 21, 'x') + "\r\n\r\n", 65536},
    };
    for (const auto &c : cases)
        for (size_t step : {(size_t)1, (size_t)2, (size_t)3, (size_t)7, (size_t)100000})
            EXPECT_EQ(_scan_in_steps(c.text, step), c.end)
                << "step " << step << " text " << c.text.substr(0, 40);

    EXPECT_EQ(q_httpc_head_status("HTTP/1.1 204 No Content\r\n\r\n", 27), 204);
    EXPECT_EQ(q_httpc_head_status("HTTP/1.0 404 x\n\n", 16), 404);
    EXPECT_EQ(q_httpc_head_status("HTTP/1.1 20\r\n\r\n", 15), -1);
    EXPECT_EQ(q_httpc_head_status("HTTP/2 200 OK\r\n\r\n", 17), -1);
    EXPECT_EQ(q_httpc_head_status("SSH-2.0-OpenSSH\r\n\r\n", 19), -1);
    EXPECT_EQ(q_httpc_head_status("HTTP/1.1 2\n\n", 12), -1);
}

// Decodes `wire` in pieces of `step`; returns the body, or "ERR:<error>", or
// "MORE" when the body did not end; *rest gets the bytes after the end.
static std::string _dechunk(const std::string &wire, size_t step, std::string *rest = nullptr) {
    Q_HTTPC_CHUNKED d = {};
    std::string body;
    size_t off = 0;
    while (off < wire.size()) {
        size_t n = std::min(step, wire.size() - off);
        std::string piece = wire.substr(off, n);
        size_t len = piece.size();
        long rc = q_httpc_chunked_decode(&d, piece.data(), &len);
        if (rc == -1) return std::string("ERR:") + d.error;
        body.append(piece.data(), len);
        if (rc >= 0) {
            if (rest) *rest = piece.substr((size_t)rc) + wire.substr(off + n);
            return body;
        }
        off += n;
    }
    return "MORE";
}

TEST(HttpChunked, DecodesInEverySplit) {
    std::string line255 = "5;" + std::string(253, 'e');
    struct {
        std::string wire, body;
    } cases[] = {
        {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world"},
        {"5;name=value\r\nhello\r\nA; x\r\n0123456789\r\n0\r\n\r\n", "hello0123456789"},
        {"5\nhello\n0\n\n", "hello"},
        {"\r\n\r\n3\r\nabc\r\n0\r\nX-Trailer: 1\r\nY: 2\r\n\r\n", "abc"},
        {"0000000003\r\nabc\r\n0\r\n\r\n", "abc"},
        {line255 + "\r\nhello\r\n0\r\n\r\n", "hello"},
        {"5;" + std::string(254, 'e') + "\r\nhello\r\n0\r\n\r\n", "ERR:chunk header too long"},
        {"zz\r\nhello\r\n", "ERR:bad chunk size"},
        {"-5\r\nhello\r\n", "ERR:bad chunk size"},
        {";ext\r\n", "ERR:bad chunk size"},
        {"10000000000000000\r\n", "ERR:bad chunk size"}, // 2^64 does not wrap to 0
        {"8000000000000000\r\n", "ERR:bad chunk size"},
        {"5\r\nhel", "MORE"},
        {"5\r\nhello\r\n0\r\nTrailer: x\r\n", "MORE"},
    };
    for (const auto &c : cases)
        for (size_t step : {(size_t)1, (size_t)2, (size_t)5, (size_t)4096})
            EXPECT_EQ(_dechunk(c.wire, step), c.body) << "step " << step << " wire " << c.wire.substr(0, 40);

    // Bytes after the end stay unread, so the caller can tell a clean end.
    std::string rest;
    EXPECT_EQ(_dechunk("3\r\nabc\r\n0\r\n\r\nHTTP/1.1", 4, &rest), "abc");
    EXPECT_EQ(rest, "HTTP/1.1");
    // Endless trailers stop after 64 lines.
    std::string many = "1\r\na\r\n0\r\n";
    for (int i = 0; i < 70; i++)
        many += "T: v\r\n";
    EXPECT_EQ(_dechunk(many, 3, &rest), "a");
    EXPECT_EQ(rest.size(), 6u * 6u);
}

TEST(HttpRespHeader, FindsTrimsAndCuts) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type:  application/json \t\r\nX-Long: abcdefgh\r\n"
                       "Location:\t/next\r\nContent-Length: 5\r\nX-Empty:\r\n\r\n";
    Q_HTTPC_RESP resp = {};
    resp.head = head.data();
    resp.head_len = head.size();
    char buf[64];
    EXPECT_STREQ(q_httpc_resp_header(&resp, "content-type", buf, sizeof buf), "application/json");
    EXPECT_STREQ(q_httpc_resp_header(&resp, "Location", buf, sizeof buf), "/next");
    EXPECT_STREQ(q_httpc_resp_header(&resp, "X-Long", buf, 4), "abc");
    EXPECT_STREQ(q_httpc_resp_header(&resp, "X-Empty", buf, sizeof buf), "");
    EXPECT_EQ(q_httpc_resp_header(&resp, "Content", buf, sizeof buf), nullptr); // a prefix is not the name
    EXPECT_EQ(q_httpc_resp_header(&resp, "HTTP/1.1 200 OK", buf, sizeof buf), nullptr);
    EXPECT_STREQ(q_httpc_resp_body(nullptr), "");
}

TEST(HttpUrlEncode, KeepsUnreservedOnly) {
    Q_STR *s = nullptr;
    ASSERT_EQ(q_httpc_url_encode(&s, "aZ09-._~ /?&=%\xc3\xa9"), 0);
    EXPECT_STREQ(s->data, "aZ09-._~%20%2F%3F%26%3D%25%C3%A9");
    ASSERT_EQ(q_httpc_url_encode(&s, "+"), 0); // appends
    EXPECT_STREQ(s->data, "aZ09-._~%20%2F%3F%26%3D%25%C3%A9%2B");
    free_qstr(&s);
}

struct ENV_GUARD {
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> unset_names;
    void set(const char *name, const char *value) {
        const char *old = getenv(name);
        if (old)
            saved.emplace_back(name, old);
        else
            unset_names.emplace_back(name);
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ENV_GUARD() {
        for (auto &n : unset_names)
            unsetenv(n.c_str());
        for (auto &[n, v] : saved)
            setenv(n.c_str(), v.c_str(), 1);
    }
};

TEST(HttpProxyForUrl, EnvironmentAndNoProxy) {
    ENV_GUARD env;
    for (const char *n : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
        env.set(n, nullptr);
    env.set("https_proxy", "http://secure-proxy:3128");
    env.set("HTTP_PROXY", "http://plain-proxy:8080");
    env.set("no_proxy", "localhost, .internal.example\t[::1]:5000,10.0.0.1:80");
    struct {
        const char *url;
        int rc;
        const char *proxy;
    } cases[] = {
        {"https://cloud.example/v3", 1, "http://secure-proxy:3128"},
        {"wss://cloud.example/console?token=x", 1, "http://secure-proxy:3128"},
        {"http://cloud.example/", 1, "http://plain-proxy:8080"},
        {"ws://cloud.example/", 1, "http://plain-proxy:8080"},
        {"http://LOCALHOST:5000/", 0, ""},
        {"https://internal.example/", 0, ""},     // leading dot: the domain itself
        {"https://a.b.internal.example/", 0, ""}, // and every name below it
        {"https://xinternal.example/", 1, "http://secure-proxy:3128"},
        {"http://[::1]:5000/", 0, ""},
        {"http://10.0.0.1:8080/", 0, ""}, // the entry's port is not compared
        {"gopher://x/", -1, ""},
    };
    char buf[256];
    for (const auto &c : cases) {
        EXPECT_EQ(q_httpc_proxy_for_url(c.url, buf, sizeof buf), c.rc) << c.url;
        if (c.rc >= 0) {
            EXPECT_STREQ(buf, c.proxy) << c.url;
        }
    }
    env.set("NO_PROXY", "*");
    env.set("no_proxy", ""); // empty counts as absent, so NO_PROXY applies
    EXPECT_EQ(q_httpc_proxy_for_url("https://anything.example/", buf, sizeof buf), 0);
}
