// WebSocket client connections: the opening handshake (directly or through
// an http:// proxy tunnel), sending masked frames, receiving frames through
// the resumable reader, and the closing handshake. Sockets, TLS, URL and head
// parsing and cancel tokens are the HTTP client's.
#include "q_ws.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/ssl.h>

#include "q_base64.h"
#include "q_common.h"
#include "q_digest.h"
#include "q_http_internal.h"
#include "q_network.h"
#include "q_random.h"

namespace {

constexpr int DEFAULT_CONNECT_MS = 15000;
constexpr size_t REQUEST_MAX = 8191; // upgrade request, and its answer head
constexpr int CLOSE_WAIT_MS = 1000;
const char ACCEPT_GUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

struct WS_ERR {
    char *dst;
    size_t cap;
};

__attribute__((format(printf, 2, 3))) void _fail(WS_ERR *e, const char *fmt, ...) {
    if (!e->dst || e->cap == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(e->dst, e->cap, fmt, ap);
    va_end(ap);
}

long long _now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int _abort_cb(void *user) {
    return q_httpc_is_cancelled(static_cast<Q_HTTPC_CANCEL *>(user));
}

// netw_setsockopt leaves a time-out alone for values <= 0; a cleared one
// (block for as long as it takes) is set here.
void _set_recv_timeout(NETW_CONN *net, int ms) {
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    if (setsockopt(net->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0) net->rcv_timeout_ms = ms;
}

int _has_crlf(const char *s) {
    return s && strpbrk(s, "\r\n") != nullptr;
}

// ---- addresses ----------------------------------------------------------------

struct WS_TARGET {
    int tls;
    char host[Q_WS_HOST_SIZE];
    char port[Q_WS_PORT_SIZE];
    char path[Q_WS_PATH_SIZE];
};

int _parse_target(const char *url, WS_TARGET *t, WS_ERR *e) {
    const char *p;
    if (q_httpc_starts_with_ci(url, "wss://")) {
        t->tls = 1;
        p = url + 6;
    } else if (q_httpc_starts_with_ci(url, "ws://")) {
        t->tls = 0;
        p = url + 5;
    } else {
        _fail(e, "not a ws:// or wss:// URL");
        return -1;
    }
    size_t alen = strcspn(p, "/?#");
    if (memchr(p, '@', alen)) {
        _fail(e, "credentials in the URL are not supported");
        return -1;
    }
    // Host and port follow the HTTP client's rules, IPv6 brackets included.
    char hurl[Q_WS_HOST_SIZE + 64];
    Q_HTTPC_URL hu;
    if (alen <= Q_WS_HOST_SIZE + 24)
        q_format(hurl, sizeof hurl, "%s://%.*s/", t->tls ? "https" : "http", (int)alen, p);
    if (alen > Q_WS_HOST_SIZE + 24 || q_httpc_parse_url_ex(hurl, &hu, nullptr) != 0) {
        _fail(e, "bad host or port in the URL");
        return -1;
    }
    q_strcpy(t->host, sizeof t->host, hu.host);
    q_strcpy(t->port, sizeof t->port, hu.port);
    const char *rest = p + alen;
    size_t rlen = strcspn(rest, "#");
    size_t lead = (rlen == 0 || rest[0] == '?') ? 1 : 0;
    if (lead + rlen + 2 > Q_WS_PATH_SIZE) {
        _fail(e, "path too long");
        return -1;
    }
    for (size_t i = 0; i < rlen; i++)
        if ((unsigned char)rest[i] < '!') {
            _fail(e, "control or space character in the path");
            return -1;
        }
    t->path[0] = '/';
    memcpy(t->path + lead, rest, rlen);
    t->path[lead + rlen] = 0;
    return 0;
}

int _parse_proxy(const char *text, Q_HTTPC_PROXY_ADDR *px, WS_ERR *e) {
    switch (q_httpc_parse_proxy(text, px, 1)) {
    case Q_HTTPC_PROXY_OK:
        return 0;
    case Q_HTTPC_PROXY_BAD_SCHEME:
        _fail(e, "only http:// proxies are supported");
        return -1;
    case Q_HTTPC_PROXY_LONG_CREDS:
        _fail(e, "proxy credentials too long");
        return -1;
    default:
        _fail(e, "bad proxy address");
        return -1;
    }
}

// ---- handshake ------------------------------------------------------------------

// Reads a head byte by byte (nothing of what follows it is taken) into dst;
// its length, or -1 when the peer did not send one within REQUEST_MAX bytes.
long _read_head_bytewise(NETW_CONN *net, char *dst, size_t cap) {
    Q_HTTPC_HEAD_SCAN scan = {};
    size_t n = 0;
    while (n < cap && n < REQUEST_MAX) {
        long r = netw_recv(net, dst + n, 1);
        if (r <= 0) return -1;
        if (q_httpc_head_scan(&scan, dst + n, 1) >= 0) return (long)(n + 1);
        n++;
    }
    return -1;
}

size_t _first_line(const char *head, size_t len) {
    size_t n = 0;
    while (n < len && head[n] != '\r' && head[n] != '\n')
        n++;
    return n;
}

int _tunnel(NETW_CONN *net, const WS_TARGET *t, const Q_HTTPC_PROXY_ADDR *px, WS_ERR *e) {
    int v6 = strchr(t->host, ':') != nullptr;
    const char *lb = v6 ? "[" : "", *rb = v6 ? "]" : "";
    const char *creds = px->creds;
    char req[1024];
    int n = snprintf(req, sizeof req, "CONNECT %s%s%s:%s HTTP/1.1\r\nHost: %s%s%s:%s\r\n%s%s%s\r\n", lb,
                     t->host, rb, t->port, lb, t->host, rb, t->port,
                     creds[0] ? "Proxy-Authorization: Basic " : "", creds, creds[0] ? "\r\n" : "");
    int rc = n > 0 && (size_t)n < sizeof req ? netw_send_all(net, req, (size_t)n) : -1;
    q_secure_zero(req, sizeof req);
    if (rc != 0) {
        _fail(e, "cannot send the request to the proxy %s:%s", px->host, px->port);
        return -1;
    }
    // Byte by byte: whatever follows the head belongs to the tunnel (the
    // start of a TLS handshake), not to this answer.
    char head[REQUEST_MAX + 1];
    long hl = _read_head_bytewise(net, head, sizeof head - 1);
    if (hl < 0) {
        _fail(e, "no answer from the proxy %s:%s", px->host, px->port);
        return -1;
    }
    if (q_httpc_head_status(head, (size_t)hl) != 200) {
        _fail(e, "the proxy refused the tunnel to %s:%s: %.*s", t->host, t->port,
              (int)_first_line(head, (size_t)hl), head);
        return -1;
    }
    return 0;
}

NETW_CONN *_open_socket(const WS_TARGET *t, const Q_WS_OPTIONS *o, int ms, WS_ERR *e) {
    NETW_ABORT_FN abort_fn = o->cancel ? _abort_cb : nullptr;
    void *abort_user = o->cancel;
    if (!o->proxy || !o->proxy[0]) {
        NETW_CONN *net = t->tls ? netw_ssl_connect_verify(t->host, t->port, o->ca_file, o->verify, ms,
                                                          abort_fn, abort_user)
                                : netw_connect_to(t->host, t->port, ms, abort_fn, abort_user);
        if (!net)
            _fail(e, "cannot connect to %s:%s%s", t->host, t->port,
                  t->tls && o->verify ? " (or the certificate did not verify)" : "");
        return net;
    }
    Q_HTTPC_PROXY_ADDR px = {};
    if (_parse_proxy(o->proxy, &px, e) != 0) {
        q_secure_zero(&px, sizeof px);
        return nullptr;
    }
    long long start = _now_ms();
    NETW_CONN *net = netw_connect_to(px.host, px.port, ms, abort_fn, abort_user);
    if (!net) {
        _fail(e, "cannot connect to the proxy %s:%s", px.host, px.port);
        q_secure_zero(&px, sizeof px);
        return nullptr;
    }
    netw_setsockopt(net, ms, ms, 1);
    if (o->cancel) q_httpc_cancel_bind_socket(o->cancel, net->fd);
    int rc = _tunnel(net, t, &px, e);
    q_secure_zero(&px, sizeof px);
    if (rc == 0 && t->tls) {
        int left = (int)(ms - (_now_ms() - start));
        if (left < 1) left = 1;
        if (netw_ssl_start_client(net) != 0 || (o->verify && netw_ssl_set_ca(net, o->ca_file) != 0) ||
            netw_ssl_set_verify(net, o->verify) != 0 ||
            netw_ssl_do_handshake(net, t->host, left, abort_fn, abort_user) != 0) {
            _fail(e, "TLS through the proxy to %s:%s failed", t->host, t->port);
            rc = -1;
        }
    }
    if (rc != 0) {
        if (o->cancel) q_httpc_cancel_unbind_socket(o->cancel);
        netw_close(&net);
    }
    return net;
}

// The key and the answer the server must give for it.
int _make_key(char key[32], char accept[32]) {
    unsigned char raw[16];
    if (q_random_bytes(raw, sizeof raw) != 0) return -1;
    long n = q_base64_encode(raw, sizeof raw, key, 32);
    q_secure_zero(raw, sizeof raw);
    if (n != 24) return -1;
    char joined[64];
    q_format(joined, sizeof joined, "%s%s", key, ACCEPT_GUID);
    uint8_t sha[Q_SHA1_LEN];
    if (q_sha1(joined, strlen(joined), sha) != 0) return -1;
    return q_base64_encode(sha, sizeof sha, accept, 32) == 28 ? 0 : -1;
}

int _send_upgrade(Q_WS_CONN *c, const Q_WS_OPTIONS *o, const char *key, WS_ERR *e) {
    const char *def = c->tls ? "443" : "80";
    int v6 = strchr(c->host, ':') != nullptr;
    int show_port = strcmp(c->port, def) != 0;
    char req[REQUEST_MAX + 1];
    int n = snprintf(req, sizeof req,
                     "GET %s HTTP/1.1\r\nHost: %s%s%s%s%s\r\nUpgrade: websocket\r\nConnection: "
                     "Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n%s%s%s%s%s%s%s%s\r\n",
                     c->path, v6 ? "[" : "", c->host, v6 ? "]" : "", show_port ? ":" : "",
                     show_port ? c->port : "", key, o->subprotocols ? "Sec-WebSocket-Protocol: " : "",
                     o->subprotocols ? o->subprotocols : "", o->subprotocols ? "\r\n" : "",
                     o->origin ? "Origin: " : "", o->origin ? o->origin : "", o->origin ? "\r\n" : "",
                     o->extra_header ? o->extra_header : "", o->extra_header ? "\r\n" : "");
    if (n < 0 || (size_t)n >= REQUEST_MAX) {
        q_secure_zero(req, sizeof req);
        _fail(e, "upgrade request too large");
        return -1;
    }
    int rc = netw_send_all(c->net, req, (size_t)n);
    q_secure_zero(req, sizeof req); // the path may carry the console's token
    if (rc != 0) _fail(e, "cannot send the upgrade request to %s:%s", c->host, c->port);
    return rc == 0 ? 0 : -1;
}

// Reads the answer into the connection's buffer; bytes after its head stay
// there as the start of the first frame.
int _read_answer(Q_WS_CONN *c, const Q_WS_OPTIONS *o, const char *accept, WS_ERR *e) {
    Q_HTTPC_HEAD_SCAN scan = {};
    long end = -2;
    c->fill = 0;
    while (end == -2) {
        long n = netw_recv(c->net, c->buf + c->fill, sizeof c->buf - c->fill);
        if (n <= 0) break;
        end = q_httpc_head_scan(&scan, reinterpret_cast<char *>(c->buf) + c->fill, (size_t)n);
        if (end >= 0) end += (long)c->fill;
        c->fill += (size_t)n;
        if (end == -2 && c->fill > REQUEST_MAX) break;
    }
    if (end < 0 || (size_t)end > REQUEST_MAX) {
        _fail(e, "no upgrade answer from %s:%s", c->host, c->port);
        return -1;
    }
    const char *head = reinterpret_cast<const char *>(c->buf);
    size_t hl = (size_t)end;
    c->rpos = hl;
    if (q_httpc_head_status(head, hl) != 101) {
        _fail(e, "the server did not switch protocols: %.*s", (int)_first_line(head, hl), head);
        return -1;
    }
    int upgraded = 0, accepted = 0;
    q_httpc_each_header(head, hl, "Upgrade", [&](const char *v, size_t n) {
        upgraded = n == 9 && strncasecmp(v, "websocket", 9) == 0;
        return 1;
    });
    if (!upgraded) {
        _fail(e, "the server did not upgrade to WebSocket");
        return -1;
    }
    q_httpc_each_header(head, hl, "Sec-WebSocket-Accept", [&](const char *v, size_t n) {
        accepted = n == strlen(accept) && memcmp(v, accept, n) == 0;
        return 1;
    });
    if (!accepted) {
        if (!o->lenient_accept) {
            _fail(e, "wrong Sec-WebSocket-Accept from %s:%s", c->host, c->port);
            return -1;
        }
        q_log(Q_LOG_DEBUG, "q_ws_connect_ex: wrong Sec-WebSocket-Accept from %s:%s accepted", c->host,
              c->port);
    }
    q_httpc_each_header(head, hl, "Sec-WebSocket-Protocol", [&](const char *v, size_t n) {
        if (n >= sizeof c->protocol) n = sizeof c->protocol - 1;
        memcpy(c->protocol, v, n);
        c->protocol[n] = 0;
        return 1;
    });
    return 0;
}

} // namespace

// ============================================================================
// Opening
// ============================================================================

Q_WS_CONN *q_ws_connect_ex(const char *url, const Q_WS_OPTIONS *opts) {
    Q_WS_OPTIONS o = {};
    if (opts) o = *opts;
    WS_ERR e = {o.error, o.error_cap};
    if (e.dst && e.cap) e.dst[0] = 0;
    if (!url) {
        _fail(&e, "not a ws:// or wss:// URL");
        return nullptr;
    }
    q_httpc_global_init(); // OpenSSL, and SIGPIPE off for a peer leaving mid-write
    if (_has_crlf(o.subprotocols) || _has_crlf(o.origin) || _has_crlf(o.extra_header)) {
        _fail(&e, "line break in a request header");
        return nullptr;
    }
    WS_TARGET t = {};
    if (_parse_target(url, &t, &e) != 0) {
        q_secure_zero(&t, sizeof t);
        return nullptr;
    }
    int ms = o.connect_timeout_ms > 0 ? o.connect_timeout_ms : DEFAULT_CONNECT_MS;
    Q_WS_CONN *c = nullptr;
    Q_CALLOC(c, 1, Q_WS_CONN);
    if (!c) {
        q_secure_zero(&t, sizeof t);
        _fail(&e, "out of memory");
        return nullptr;
    }
    c->tls = t.tls;
    q_strcpy(c->host, sizeof c->host, t.host);
    q_strcpy(c->port, sizeof c->port, t.port);
    q_strcpy(c->path, sizeof c->path, t.path);
    c->net = _open_socket(&t, &o, ms, &e);
    q_secure_zero(&t, sizeof t);
    int rc = -1;
    if (c->net) {
        netw_setsockopt(c->net, ms, ms, 1);
        // Bound for the handshake, so the owner can stop a stalled server.
        if (o.cancel) q_httpc_cancel_bind_socket(o.cancel, c->net->fd);
        char key[32], accept[32];
        if (_make_key(key, accept) != 0)
            _fail(&e, "no random source for the WebSocket key");
        else if (_send_upgrade(c, &o, key, &e) == 0 && _read_answer(c, &o, accept, &e) == 0)
            rc = 0;
        if (o.cancel) q_httpc_cancel_unbind_socket(o.cancel);
    }
    if (rc == 0 && q_httpc_is_cancelled(o.cancel)) rc = -1;
    if (rc != 0) {
        if (q_httpc_is_cancelled(o.cancel) && e.dst && e.cap) q_strcpy(e.dst, e.cap, "cancelled");
        q_log(Q_LOG_INFO, "q_ws_connect_ex: %s", e.dst && e.cap ? e.dst : "failed");
        q_ws_conn_free(&c);
        return nullptr;
    }
    _set_recv_timeout(c->net, 0);
    c->open = 1;
    // The path stays out of the log: console addresses carry access tokens.
    q_log(Q_LOG_INFO, "q_ws_connect_ex: WebSocket open to %s:%s%s", c->host, c->port, c->tls ? " (TLS)" : "");
    return c;
}

// ============================================================================
// Frames
// ============================================================================

int q_ws_send(Q_WS_CONN *c, const void *bytes, size_t len, int opcode) {
    Q_GUARD(c && c->net && (bytes || len == 0), -1);
    unsigned char mask[4];
    if (q_random_bytes(mask, sizeof mask) != 0) {
        q_log(Q_LOG_ERR, "q_ws_send: RAND_bytes failed for mask key");
        return -1;
    }
    unsigned char head[Q_WS_FRAME_HEAD_MAX];
    size_t hl = q_ws_frame_head(head, opcode, len, mask);
    size_t total = hl + len;
    unsigned char *frame = static_cast<unsigned char *>(
        q_calloc_checked(total, 1, "frame", "unsigned char", __LINE__, __FILE__));
    if (!frame) return -1;
    memcpy(frame, head, hl);
    if (len) memcpy(frame + hl, bytes, len);
    q_ws_mask(frame + hl, len, mask, 0);
    long long before = c->net->sent;
    int rc = netw_send_all(c->net, frame, total);
    q_secure_zero(frame, total); // keystrokes and pasted text
    free(frame);
    if (rc != 0) {
        q_log(Q_LOG_WARNING, "q_ws_send: write failed (wrote %zd of %zu)", (ssize_t)(c->net->sent - before),
              total);
        c->open = 0; // a frame cut in the middle leaves nothing to close politely
        return -1;
    }
    return 0;
}

namespace {

// Frames what the buffer holds and receives more until a frame is complete.
// deadline < 0 blocks; otherwise 0 is returned once it passes.
int _recv_frame(Q_WS_CONN *c, Q_WS_MSG *msg, long long deadline) {
    for (;;) {
        if (c->rpos < c->fill) {
            long used = q_ws_frame_read(&c->reader, c->buf + c->rpos, c->fill - c->rpos);
            if (used == -1) {
                q_log(Q_LOG_WARNING, "%s", c->reader.error);
                c->open = 0;
                return -1;
            }
            if (used >= 0) {
                c->rpos += (size_t)used;
                return q_ws_frame_take(&c->reader, msg) == 0 ? 1 : -1;
            }
        }
        c->rpos = c->fill = 0;
        if (deadline >= 0 && !(c->net->ssl && SSL_pending(c->net->ssl) > 0)) {
            long long left = deadline - _now_ms();
            struct pollfd p = {c->net->fd, POLLIN, 0};
            int r = poll(&p, 1, left > 0 ? (int)left : 0);
            if (r == 0) return 0;
            if (r < 0 && errno != EINTR) {
                c->open = 0;
                return -1;
            }
            if (r < 0) continue;
        }
        long n = netw_recv(c->net, c->buf, sizeof c->buf);
        if (n > 0) {
            c->fill = (size_t)n;
            continue;
        }
        // A TLS read can come back empty-handed after a poll said readable
        // (only part of a record had arrived); that is no failure.
        if (n == NETW_TIMEOUT && deadline >= 0) continue;
        q_log(Q_LOG_INFO, "q_ws_recv: %s from %s:%s",
              n == NETW_CLOSED ? "connection closed" : "receive failed", c->host, c->port);
        c->open = 0;
        return -1;
    }
}

} // namespace

int q_ws_recv(Q_WS_CONN *c, Q_WS_MSG *msg) {
    Q_GUARD(c && c->net && msg && !msg->payload, -1);
    return _recv_frame(c, msg, -1) == 1 ? 0 : -1;
}

int q_ws_recv_timeout(Q_WS_CONN *c, Q_WS_MSG *msg, int ms) {
    Q_GUARD(c && c->net && msg && !msg->payload, -1);
    return _recv_frame(c, msg, _now_ms() + (ms > 0 ? ms : 0));
}

// ============================================================================
// Closing
// ============================================================================

void q_ws_close(Q_WS_CONN *c) {
    Q_GUARD_VOID(c);
    if (c->open && c->net) {
        c->open = 0;
        if (q_ws_send(c, "", 0, Q_WS_OP_CLOSE) == 0) {
            netw_setsockopt(c->net, CLOSE_WAIT_MS, 0, 0);
            Q_WS_MSG msg = {};
            _recv_frame(c, &msg, _now_ms() + CLOSE_WAIT_MS);
            q_ws_msg_clear(&msg);
        }
    }
    c->open = 0;
    if (c->net) netw_close(&c->net);
    q_ws_frame_reset(&c->reader);
    q_secure_zero(c->buf, sizeof c->buf);
    c->rpos = c->fill = 0;
}

void q_ws_conn_free(Q_WS_CONN **ref) {
    if (!ref || !*ref) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", "conn", __LINE__, __FILE__);
        return;
    }
    q_ws_close(*ref);
    q_secure_zero((*ref)->path, sizeof(*ref)->path);
    Q_FREE(*ref);
}

const char *q_ws_protocol(const Q_WS_CONN *c) {
    return c ? c->protocol : "";
}

int q_ws_socket(const Q_WS_CONN *c) {
    return c && c->net ? c->net->fd : -1;
}
