#include "q_http_internal.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <strings.h>

#include <openssl/ssl.h>

#include "q_base64.h"
#include "q_common.h"
#include "q_network.h"

// ============================================================================
// Process-wide state
// ============================================================================

namespace {

constexpr int POOL_SLOTS = 8;
constexpr int64_t POOL_MAX_AGE_US = 4000000;
constexpr size_t INLINE_BODY_MAX = 65536; // bodies up to this go out with the head
constexpr size_t SEND_BLOCK = 1048576;    // one send call, so a cancel is seen between blocks
constexpr size_t UPLOAD_BLOCK = 16384;
constexpr int REDIRECT_HOPS = 6;
constexpr int DEFAULT_CONNECT_MS = 15000;
constexpr int DEFAULT_IO_MS = 60000;
constexpr size_t KEY_SIZE = 4096;

// Set once at start-up, before any worker runs; read without a lock after.
char g_user_agent[128] = "quarnel-httpc";
char g_ca_file[4096] = "";

struct HTTPC_CONN {
    NETW_CONN *net;
    int tls;
    Q_HTTPC_CANCEL *cancel; // bound while a request owns the connection
    char buf[Q_HTTPC_READ_BUF];
    size_t rpos, fill;
    int64_t total; // bytes received over the connection's life
    char key[KEY_SIZE];
};

struct POOL_SLOT {
    HTTPC_CONN *conn;
    int64_t parked_us;
};
// g_pool_mutex guards g_pool; connections are closed outside it.
pthread_mutex_t g_pool_mutex = PTHREAD_MUTEX_INITIALIZER;
POOL_SLOT g_pool[POOL_SLOTS];

int64_t _now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// Sets the response's error unless one is already there: the first failure
// is the one the user needs to see.
__attribute__((format(printf, 2, 3))) void _set_err(Q_HTTPC_RESP *resp, const char *fmt, ...) {
    if (resp->error[0]) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(resp->error, sizeof resp->error, fmt, ap);
    va_end(ap);
}

} // namespace

// ============================================================================
// Response records
// ============================================================================

namespace {

void _free_head(Q_HTTPC_RESP *resp) {
    if (resp->head) q_secure_zero(resp->head, resp->head_len); // answers carry tokens (X-Subject-Token)
    Q_FREE(resp->head);
    resp->head_len = 0;
}

void _resp_reset(Q_HTTPC_RESP *resp) {
    _free_head(resp);
    resp->status = 0;
    resp->error[0] = 0;
    if (resp->body) {
        q_secure_zero(resp->body->data, resp->body->size);
        resp->body->length = 0;
    }
    resp->received = 0;
}

// Grows the body geometrically; Q_STR's own appends grow to the exact size,
// which turns a large body read in 16 KiB pieces into quadratic copying.
int _body_append(Q_STR *body, const char *bytes, size_t n) {
    if (body->length + n + 1 > body->size) {
        size_t want = body->size * 2;
        if (want < body->length + n + 1) want = body->length + n + 1;
        char *fresh =
            static_cast<char *>(q_calloc_checked(want, 1, "body->data", "char", __LINE__, __FILE__));
        if (!fresh) return -1;
        memcpy(fresh, body->data, body->length);
        q_secure_zero(body->data, body->size);
        free(body->data);
        body->data = fresh;
        body->size = want;
    }
    memcpy(body->data + body->length, bytes, n);
    body->length += n;
    body->data[body->length] = 0;
    return 0;
}

int _body_reserve(Q_STR *body, size_t total) {
    if (total + 1 <= body->size) return 0;
    size_t keep = body->length;
    char *fresh =
        static_cast<char *>(q_calloc_checked(total + 1, 1, "body->data", "char", __LINE__, __FILE__));
    if (!fresh) return -1;
    memcpy(fresh, body->data, keep);
    q_secure_zero(body->data, body->size);
    free(body->data);
    body->data = fresh;
    body->size = total + 1;
    return 0;
}

} // namespace

const char *q_httpc_resp_body(const Q_HTTPC_RESP *resp) {
    if (!resp || !resp->body || !resp->body->data) return "";
    return resp->body->data;
}

void q_httpc_resp_free(Q_HTTPC_RESP **ref) {
    if (!ref || !*ref) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", "resp", __LINE__, __FILE__);
        return;
    }
    Q_HTTPC_RESP *resp = *ref;
    _free_head(resp);
    if (resp->body) free_qstr(&resp->body);
    Q_FREE(resp);
    *ref = nullptr;
}

// ============================================================================
// Cancel tokens
// ============================================================================

Q_HTTPC_CANCEL *q_httpc_cancel_new(void) {
    Q_HTTPC_CANCEL *t = nullptr;
    Q_CALLOC(t, 1, Q_HTTPC_CANCEL);
    if (!t) return nullptr;
    pthread_mutex_init(&t->mutex, nullptr);
    t->sock = -1;
    return t;
}

void q_httpc_cancel_free(Q_HTTPC_CANCEL **ref) {
    if (!ref || !*ref) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", "token", __LINE__, __FILE__);
        return;
    }
    pthread_mutex_destroy(&(*ref)->mutex);
    Q_FREE(*ref);
}

void q_httpc_cancel(Q_HTTPC_CANCEL *t) {
    Q_GUARD_VOID(t);
    pthread_mutex_lock(&t->mutex);
    t->flag = 1;
    if (t->sock >= 0) netw_shutdown_fd(t->sock);
    pthread_mutex_unlock(&t->mutex);
}

int q_httpc_is_cancelled(Q_HTTPC_CANCEL *t) {
    if (!t) return 0;
    pthread_mutex_lock(&t->mutex);
    int f = t->flag;
    pthread_mutex_unlock(&t->mutex);
    return f;
}

void q_httpc_cancel_bind_socket(Q_HTTPC_CANCEL *t, int sock) {
    Q_GUARD_VOID(t);
    pthread_mutex_lock(&t->mutex);
    t->sock = sock;
    if (t->flag && sock >= 0) netw_shutdown_fd(sock);
    pthread_mutex_unlock(&t->mutex);
}

void q_httpc_cancel_unbind_socket(Q_HTTPC_CANCEL *t) {
    Q_GUARD_VOID(t);
    pthread_mutex_lock(&t->mutex);
    t->sock = -1;
    pthread_mutex_unlock(&t->mutex);
}

// ============================================================================
// Global set-up
// ============================================================================

void q_httpc_global_init(void) {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                             OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS,
                         nullptr);
        // OpenSSL writes to its sockets without MSG_NOSIGNAL; a peer that goes
        // away mid-write must end the request, not the process.
        struct sigaction old;
        if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
    });
}

void q_httpc_set_user_agent(const char *agent) {
    q_strcpy(g_user_agent, sizeof g_user_agent, agent && agent[0] ? agent : "quarnel-httpc");
}

void q_httpc_set_ca_file(const char *path) {
    q_strcpy(g_ca_file, sizeof g_ca_file, path ? path : "");
}

// ============================================================================
// Proxy choice
// ============================================================================

namespace {

struct PROXY {
    int use;
    Q_HTTPC_PROXY_ADDR addr; // zeroed when the request ends
};

const char *_env(const char *a, const char *b) {
    const char *v = getenv(a);
    if (v && v[0]) return v;
    v = getenv(b);
    return v && v[0] ? v : nullptr;
}

int _no_proxy_match(const char *list, const char *host) {
    size_t hlen = strlen(host);
    const char *p = list;
    while (*p) {
        size_t n = strcspn(p, ", \t");
        char entry[256];
        q_strcpy(entry, sizeof entry, "");
        memcpy(entry, p, n < 255 ? n : 255);
        entry[n < 255 ? n : 255] = 0;
        p += n;
        p += strspn(p, ", \t");

        char *e = entry;
        if (e[0] == '[') {
            char *close = strchr(e, ']');
            if (close) {
                *close = 0;
                e++;
            }
        } else {
            char *colon = strchr(e, ':');
            if (colon && !strchr(colon + 1, ':')) *colon = 0;
        }
        if (!e[0]) continue;
        if (strcmp(e, "*") == 0) return 1;
        if (e[0] == '.') e++;
        size_t elen = strlen(e);
        if (!elen) continue;
        if (hlen == elen && strcasecmp(host, e) == 0) return 1;
        if (hlen > elen && host[hlen - elen - 1] == '.' && strcasecmp(host + hlen - elen, e) == 0) return 1;
    }
    return 0;
}

// The proxy text for a URL (raw, with any credentials), or nullptr for a
// direct connection.
const char *_proxy_text(const Q_HTTPC_URL *u, const char *req_proxy, const char *req_no_proxy) {
    const char *proxy = req_proxy;
    if (!proxy) proxy = u->tls ? _env("https_proxy", "HTTPS_PROXY") : _env("http_proxy", "HTTP_PROXY");
    if (!proxy || !proxy[0]) return nullptr;
    const char *np = req_no_proxy ? req_no_proxy : _env("no_proxy", "NO_PROXY");
    if (np && u->host[0] && _no_proxy_match(np, u->host)) return nullptr;
    return proxy;
}

// 0 direct, 1 through px, -1 with the error set.
int _pick_proxy(const Q_HTTPC_URL *u, const Q_HTTPC_REQ *req, PROXY *px, Q_HTTPC_RESP *resp) {
    memset(px, 0, sizeof *px);
    const char *text = _proxy_text(u, req->proxy, req->no_proxy);
    if (!text) return 0;
    switch (q_httpc_parse_proxy(text, &px->addr, 0)) {
    case Q_HTTPC_PROXY_OK:
        px->use = 1;
        return 1;
    case Q_HTTPC_PROXY_BAD_SCHEME:
        _set_err(resp, "unsupported proxy scheme (only http:// proxies are supported)");
        return -1;
    default:
        _set_err(resp, "invalid proxy address");
        return -1;
    }
}

} // namespace

int q_httpc_parse_proxy(const char *text, Q_HTTPC_PROXY_ADDR *out, int refuse_long_creds) {
    memset(out, 0, sizeof *out);
    if (q_httpc_starts_with_ci(text, "http://"))
        text += 7;
    else if (strstr(text, "://"))
        return Q_HTTPC_PROXY_BAD_SCHEME;
    const size_t auth_len = strcspn(text, "/");
    const char *at = nullptr;
    for (size_t i = 0; i < auth_len; i++)
        if (text[i] == '@') at = text + i;
    const char *hostpart = text;
    if (at) {
        char clear[384];
        size_t n = 0;
        int too_long = 0;
        for (const char *c = text; c < at; c++) {
            if (n >= sizeof clear - 1) {
                too_long = 1;
                break;
            }
            int hi, lo;
            if (*c == '%' && c + 2 < at && (hi = q_httpc_hexval(c[1])) >= 0 &&
                (lo = q_httpc_hexval(c[2])) >= 0) {
                clear[n++] = (char)(hi << 4 | lo);
                c += 2;
            } else {
                clear[n++] = *c;
            }
        }
        long rc =
            too_long && refuse_long_creds ? -1 : q_base64_encode(clear, n, out->creds, sizeof out->creds);
        q_secure_zero(clear, sizeof clear);
        if (rc < 0) {
            q_secure_zero(out, sizeof *out);
            return Q_HTTPC_PROXY_LONG_CREDS;
        }
        hostpart = at + 1;
    }
    // Only the host and port count: a path written after them is ignored.
    const size_t hlen = strcspn(hostpart, "/");
    char url[Q_HTTPC_HOST_SIZE + 64];
    Q_HTTPC_URL pu;
    int explicit_port = 0;
    if (hlen > 504) {
        q_secure_zero(out, sizeof *out);
        return Q_HTTPC_PROXY_BAD_ADDRESS;
    }
    q_format(url, sizeof url, "http://%.*s/", (int)hlen, hostpart);
    if (q_httpc_parse_url_ex(url, &pu, &explicit_port) != 0) {
        q_secure_zero(out, sizeof *out);
        return Q_HTTPC_PROXY_BAD_ADDRESS;
    }
    q_strcpy(out->host, sizeof out->host, pu.host);
    q_strcpy(out->port, sizeof out->port, explicit_port ? pu.port : "1080");
    return Q_HTTPC_PROXY_OK;
}

int q_httpc_proxy_for_url(const char *address, char *dst, size_t cap) {
    Q_GUARD(address && dst && cap > 0, -1);
    dst[0] = 0;
    char url[Q_HTTPC_PATH_SIZE + 16];
    if (q_httpc_starts_with_ci(address, "wss://"))
        q_format(url, sizeof url, "https://%s", address + 6);
    else if (q_httpc_starts_with_ci(address, "ws://"))
        q_format(url, sizeof url, "http://%s", address + 5);
    else
        q_strcpy(url, sizeof url, address);
    Q_HTTPC_URL u;
    int rc = q_httpc_parse_url_ex(url, &u, nullptr);
    q_secure_zero(url, sizeof url); // console addresses embed access tokens
    if (rc != 0) return -1;
    const char *text = _proxy_text(&u, nullptr, nullptr);
    if (!text) return 0;
    q_strcpy(dst, cap, text);
    return 1;
}

// ============================================================================
// Request head
// ============================================================================

namespace {

// Counts on the first pass (p == nullptr), writes on the second, so the head
// that may hold a token lives in exactly one allocation that is zeroed whole.
struct HEADBUF {
    char *p;
    size_t cap, len;
};

__attribute__((format(printf, 2, 3))) void _hb(HEADBUF *hb, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(hb->p ? hb->p + hb->len : nullptr, hb->p ? hb->cap - hb->len : 0, fmt, ap);
    va_end(ap);
    if (n > 0) hb->len += (size_t)n;
}

int _header_named(const char *line, const char *name) {
    size_t n = strlen(name);
    return strncasecmp(line, name, n) == 0 && line[n] == ':';
}

// Headers that carry credentials; they do not follow a redirect to another
// server.
int _is_credential_header(const char *line) {
    static const char *const names[] = {"Authorization", "Proxy-Authorization", "X-Auth-Token",
                                        "X-Subject-Token", "Cookie"};
    for (const char *n : names)
        if (_header_named(line, n)) return 1;
    return 0;
}

// The working state of one request across its attempts and redirects.
struct HTTPC_JOB {
    const Q_HTTPC_REQ *req;
    const char *method;
    char url[Q_HTTPC_PATH_SIZE];
    Q_HTTPC_URL u;
    PROXY px;
    const char *body; // sent when send_body is set
    size_t body_len;
    FILE *upload;
    int64_t upload_size;
    int send_body;
    int drop_credentials; // set after a redirect to another server
    int connect_ms, io_ms;
};

int _caller_has(const HTTPC_JOB *j, const char *name) {
    for (int i = 0; i < j->req->header_count && i < Q_HTTPC_MAX_HEADERS; i++)
        if (j->req->headers[i] && _header_named(j->req->headers[i], name)) return 1;
    return 0;
}

int _valid_token(const char *s) {
    if (!s || !s[0]) return 0;
    for (; *s; s++)
        if ((unsigned char)*s <= ' ' || *s == 0x7f) return 0;
    return 1;
}

void _host_value(const Q_HTTPC_URL *u, char *dst, size_t cap) {
    const char *def = u->tls ? "443" : "80";
    int v6 = strchr(u->host, ':') != nullptr;
    q_format(dst, cap, "%s%s%s%s%s", v6 ? "[" : "", u->host, v6 ? "]" : "", strcmp(u->port, def) ? ":" : "",
             strcmp(u->port, def) ? u->port : "");
}

void _build_head(const HTTPC_JOB *j, HEADBUF *hb) {
    const Q_HTTPC_REQ *req = j->req;
    char host[Q_HTTPC_HOST_SIZE + 24];
    _host_value(&j->u, host, sizeof host);
    int absolute = j->px.use && !j->u.tls && !req->tunnel_always;
    _hb(hb, "%s %s%s%s HTTP/1.1\r\nHost: %s\r\n", j->method, absolute ? "http://" : "", absolute ? host : "",
        j->u.path, host);
    if (absolute && j->px.addr.creds[0]) _hb(hb, "Proxy-Authorization: Basic %s\r\n", j->px.addr.creds);
    if (!_caller_has(j, "User-Agent")) _hb(hb, "User-Agent: %s\r\n", g_user_agent);
    if (!_caller_has(j, "Accept")) _hb(hb, "Accept: application/json\r\n");
    if (j->upload) _hb(hb, "Connection: close\r\n");
    if (j->send_body) {
        if (!_caller_has(j, "Content-Type")) _hb(hb, "Content-Type: application/json\r\n");
        _hb(hb, "Content-Length: %lld\r\n", (long long)(j->upload ? j->upload_size : (int64_t)j->body_len));
    } else if (!strcmp(j->method, "POST") || !strcmp(j->method, "PUT") || !strcmp(j->method, "PATCH")) {
        _hb(hb, "Content-Length: 0\r\n");
    }
    for (int i = 0; i < req->header_count && i < Q_HTTPC_MAX_HEADERS; i++) {
        const char *h = req->headers[i];
        if (!h || (j->drop_credentials && _is_credential_header(h))) continue;
        _hb(hb, "%s\r\n", h);
    }
    _hb(hb, "\r\n");
}

// The head, with a small body appended so both go out in one send. Returns
// the buffer (to be zeroed and freed by the caller) or nullptr.
char *_make_head(const HTTPC_JOB *j, size_t *head_len, size_t *total_len) {
    if (!_valid_token(j->method)) return nullptr;
    // A CR or LF inside a caller header would let its value forge further
    // headers or a second request.
    for (int i = 0; i < j->req->header_count && i < Q_HTTPC_MAX_HEADERS; i++) {
        const char *h = j->req->headers[i];
        if (h && (strpbrk(h, "\r\n") || !strchr(h, ':'))) return nullptr;
    }
    HEADBUF count = {nullptr, 0, 0};
    _build_head(j, &count);
    size_t inline_body = j->send_body && !j->upload && j->body_len <= INLINE_BODY_MAX ? j->body_len : 0;
    char *buf = static_cast<char *>(
        q_calloc_checked(count.len + inline_body + 1, 1, "buf", "char", __LINE__, __FILE__));
    if (!buf) return nullptr;
    HEADBUF hb = {buf, count.len + 1, 0};
    _build_head(j, &hb);
    if (hb.len != count.len) {
        q_secure_zero(buf, count.len + 1);
        free(buf);
        return nullptr;
    }
    if (inline_body) memcpy(buf + hb.len, j->body, inline_body);
    *head_len = hb.len;
    *total_len = hb.len + inline_body;
    return buf;
}

// ============================================================================
// Connections and the keep-alive pool
// ============================================================================

int _abort_cb(void *user) {
    return q_httpc_is_cancelled(static_cast<Q_HTTPC_CANCEL *>(user));
}

void _conn_close(HTTPC_CONN **ref) {
    HTTPC_CONN *c = *ref;
    if (!c) return;
    if (c->cancel) q_httpc_cancel_unbind_socket(c->cancel);
    netw_close(&c->net);
    q_secure_zero(c->buf, sizeof c->buf);
    Q_FREE(c);
    *ref = nullptr;
}

void _pool_key(const HTTPC_JOB *j, char *dst, size_t cap) {
    const Q_HTTPC_REQ *req = j->req;
    q_format(dst, cap, "%s|%s|%s|%d|%.512s|%s:%s", j->u.tls ? "https" : "http", j->u.host, j->u.port,
             req->insecure ? 1 : 0, req->ca_file ? req->ca_file : "", j->px.use ? j->px.addr.host : "",
             j->px.use ? j->px.addr.port : "");
}

HTTPC_CONN *_pool_take(const char *key) {
    HTTPC_CONN *found = nullptr, *expired[POOL_SLOTS] = {};
    int n_expired = 0;
    int64_t now = _now_us();
    pthread_mutex_lock(&g_pool_mutex);
    for (auto &slot : g_pool) {
        if (!slot.conn) continue;
        if (now - slot.parked_us > POOL_MAX_AGE_US) {
            expired[n_expired++] = slot.conn;
            slot.conn = nullptr;
        } else if (!found && strcmp(slot.conn->key, key) == 0) {
            found = slot.conn;
            slot.conn = nullptr;
        }
    }
    pthread_mutex_unlock(&g_pool_mutex);
    for (int i = 0; i < n_expired; i++)
        _conn_close(&expired[i]);
    return found;
}

void _pool_park(HTTPC_CONN **ref) {
    HTTPC_CONN *c = *ref;
    *ref = nullptr;
    if (c->cancel) {
        q_httpc_cancel_unbind_socket(c->cancel);
        // A token that fired up to the unbinding may have shut the socket
        // down; once unbound it no longer can, so the flag decides.
        if (q_httpc_is_cancelled(c->cancel)) {
            _conn_close(&c);
            return;
        }
    }
    c->cancel = nullptr;
    pthread_mutex_lock(&g_pool_mutex);
    for (auto &slot : g_pool) {
        if (!slot.conn) {
            slot.conn = c;
            slot.parked_us = _now_us();
            c = nullptr;
            break;
        }
    }
    pthread_mutex_unlock(&g_pool_mutex);
    if (c) _conn_close(&c);
}

constexpr long FILL_CANCELLED = -3;

// Refills an exhausted read buffer with one receive.
long _fill(HTTPC_CONN *c) {
    if (q_httpc_is_cancelled(c->cancel)) return FILL_CANCELLED;
    long n = netw_recv(c->net, c->buf, sizeof c->buf);
    if (n > 0) {
        c->rpos = 0;
        c->fill = (size_t)n;
        c->total += n;
    }
    return n;
}

void _read_error(char *dst, size_t cap, long code, const char *what) {
    if (code == FILL_CANCELLED)
        q_strcpy(dst, cap, "cancelled");
    else if (code == NETW_TIMEOUT)
        q_format(dst, cap, "timeout while %s", what);
    else if (code == NETW_CLOSED)
        q_format(dst, cap, "connection closed while %s", what);
    else
        q_format(dst, cap, "network error while %s", what);
}

// Reads one final answer head (interim 1xx answers other than 101 are
// dropped). On failure the reason goes to err, and *code gets the failed
// receive's result (0 when the failure was not a receive).
int _read_head(HTTPC_CONN *c, Q_STR **head_out, int *status, char *err, size_t errcap, long *code) {
    *code = 0;
    for (;;) {
        Q_HTTPC_HEAD_SCAN scan = {};
        Q_STR *head = new_qstr(1024);
        if (!head) {
            q_strcpy(err, errcap, "request failed");
            return -1;
        }
        long rc = -2;
        while (rc == -2) {
            if (c->rpos == c->fill) {
                long n = _fill(c);
                if (n <= 0) {
                    *code = n;
                    _read_error(err, errcap, n, "waiting for the response");
                    free_qstr(&head);
                    return -1;
                }
            }
            size_t avail = c->fill - c->rpos;
            rc = q_httpc_head_scan(&scan, c->buf + c->rpos, avail);
            if (rc == -1) {
                q_strcpy(err, errcap, "response head too large");
                free_qstr(&head);
                return -1;
            }
            size_t take = rc == -2 ? avail : (size_t)rc;
            if (qstrcat_bytes_ex(head, c->buf + c->rpos, take) != 0) {
                q_strcpy(err, errcap, "request failed");
                free_qstr(&head);
                return -1;
            }
            c->rpos += take;
        }
        int st = q_httpc_head_status(head->data, head->length);
        if (st < 0) {
            q_strcpy(err, errcap, "not an HTTP response");
            free_qstr(&head);
            return -1;
        }
        if (st >= 100 && st < 200 && st != 101) {
            free_qstr(&head);
            continue;
        }
        *status = st;
        *head_out = head;
        return 0;
    }
}

// Sends in blocks so that a fired token stops a long send between blocks.
// Returns 0, FILL_CANCELLED, or the failed send's NETW_ code.
long _send_blocks(HTTPC_CONN *c, const char *p, size_t len) {
    while (len > 0) {
        if (q_httpc_is_cancelled(c->cancel)) return FILL_CANCELLED;
        size_t n = len < SEND_BLOCK ? len : SEND_BLOCK;
        int rc = netw_send_all(c->net, p, n);
        if (rc != 0) return rc;
        p += n;
        len -= n;
    }
    return 0;
}

__attribute__((format(printf, 4, 5))) int _send_text(HTTPC_CONN *c, char *buf, size_t cap, const char *fmt,
                                                     ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, cap, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= cap) return -1;
    return _send_blocks(c, buf, (size_t)n) == 0 ? 0 : -1;
}

int _proxy_tunnel(HTTPC_CONN *c, const HTTPC_JOB *j, Q_HTTPC_RESP *resp) {
    int v6 = strchr(j->u.host, ':') != nullptr;
    const char *lb = v6 ? "[" : "", *rb = v6 ? "]" : "";
    const char *creds = j->px.addr.creds;
    char req[1024];
    int rc = _send_text(c, req, sizeof req,
                        "CONNECT %s%s%s:%s HTTP/1.1\r\nHost: %s%s%s:%s\r\nUser-Agent: %s\r\n%s%s%s\r\n", lb,
                        j->u.host, rb, j->u.port, lb, j->u.host, rb, j->u.port, g_user_agent,
                        creds[0] ? "Proxy-Authorization: Basic " : "", creds, creds[0] ? "\r\n" : "");
    q_secure_zero(req, sizeof req);
    if (rc != 0) {
        _set_err(resp, "cannot send the request to the proxy");
        return -1;
    }
    Q_STR *head = nullptr;
    int status = 0;
    char err[512];
    long code = 0;
    if (_read_head(c, &head, &status, err, sizeof err, &code) != 0) {
        _set_err(resp, "proxy %.200s:%s: %.300s", j->px.addr.host, j->px.addr.port,
                 err[0] ? err : "no answer");
        return -1;
    }
    free_qstr(&head);
    if (status == 200 && c->rpos == c->fill) return 0;
    if (status == 200) {
        _set_err(resp, "proxy sent data before the tunnel was up");
        return -1;
    }
    _set_err(resp, "proxy %s:%s refused the tunnel to %s:%s (HTTP %d%s)", j->px.addr.host, j->px.addr.port,
             j->u.host, j->u.port, status, status == 407 ? ", proxy authentication required" : "");
    return -1;
}

void _conn_ready(HTTPC_CONN *c, const HTTPC_JOB *j) {
    netw_setsockopt(c->net, j->io_ms, j->io_ms, 1);
    c->cancel = j->req->cancel;
    if (c->cancel) q_httpc_cancel_bind_socket(c->cancel, c->net->fd);
}

HTTPC_CONN *_conn_new(const HTTPC_JOB *j, const char *key, Q_HTTPC_RESP *resp) {
    const Q_HTTPC_REQ *req = j->req;
    HTTPC_CONN *c = nullptr;
    Q_CALLOC(c, 1, HTTPC_CONN);
    if (!c) return nullptr;
    q_strcpy(c->key, sizeof c->key, key);
    c->tls = j->u.tls;
    int verify = !req->insecure;
    const char *ca = req->ca_file;
    if ((!ca || !ca[0]) && verify) {
        const char *env = getenv("SSL_CERT_FILE");
        ca = env && env[0] ? env : g_ca_file[0] ? g_ca_file : nullptr;
    }
    Q_HTTPC_CANCEL *tok = req->cancel;
    if (!j->px.use) {
        c->net = j->u.tls ? netw_ssl_connect_verify(j->u.host, j->u.port, ca, verify, j->connect_ms,
                                                    _abort_cb, tok)
                          : netw_connect_to(j->u.host, j->u.port, j->connect_ms, _abort_cb, tok);
        if (!c->net) {
            _set_err(resp, "cannot connect to %s:%s%s", j->u.host, j->u.port,
                     j->u.tls && verify ? " (connection or TLS certificate verification failed)" : "");
            _conn_close(&c);
            return nullptr;
        }
        _conn_ready(c, j);
        return c;
    }
    c->net = netw_connect_to(j->px.addr.host, j->px.addr.port, j->connect_ms, _abort_cb, tok);
    if (!c->net) {
        _set_err(resp, "cannot connect to the proxy %s:%s", j->px.addr.host, j->px.addr.port);
        _conn_close(&c);
        return nullptr;
    }
    // The tunnel exchange obeys the I/O time-out and the token like any other.
    _conn_ready(c, j);
    if (!j->u.tls && !req->tunnel_always) return c;
    if (_proxy_tunnel(c, j, resp) != 0) {
        _conn_close(&c);
        return nullptr;
    }
    if (j->u.tls) {
        if (netw_ssl_start_client(c->net) != 0 || (ca && netw_ssl_set_ca(c->net, ca) != 0) ||
            netw_ssl_set_verify(c->net, verify) != 0 ||
            netw_ssl_do_handshake(c->net, j->u.host, j->connect_ms, _abort_cb, tok) != 0) {
            _set_err(resp, "TLS through the proxy to %s:%s failed%s", j->u.host, j->u.port,
                     verify ? " (certificate verification failed?)" : "");
            _conn_close(&c);
            return nullptr;
        }
    }
    return c;
}

// ============================================================================
// One exchange
// ============================================================================

// Large bodies skip the 16 KiB read buffer: bigger receives straight into the
// reserved body, or into a bulk buffer for the file, cut the system calls of a
// download by an order of magnitude. Only bytes of this body are asked for.
constexpr size_t BULK_READ_SIZE = 262144;

struct BODY_SINK {
    Q_HTTPC_RESP *resp;
    const HTTPC_JOB *job;
    FILE *file;       // the download file for a 2xx answer, else nullptr
    int64_t expected; // Content-Length or -1, for progress
    Q_CBUF bulk;      // large reads for downloads, made on first use
    ~BODY_SINK() {
        if (bulk) q_secure_zero(bulk.get(), BULK_READ_SIZE);
    }
};

int _deliver(BODY_SINK *s, const char *p, size_t n) {
    Q_HTTPC_RESP *resp = s->resp;
    if (n == 0) return 0;
    if (s->file) {
        if (fwrite(p, 1, n, s->file) != n) {
            // A full disk and a file size limit read alike otherwise.
            _set_err(resp, "cannot write the download file: %s", strerror(errno));
            return -1;
        }
        resp->received += (int64_t)n;
        if (s->job->req->progress)
            s->job->req->progress(resp->received, s->expected, s->job->req->progress_user);
        return 0;
    }
    if (resp->received + (int64_t)n > Q_HTTPC_BODY_CAP) {
        _set_err(resp, "response body larger than %lld bytes", Q_HTTPC_BODY_CAP);
        return -1;
    }
    if (_body_append(resp->body, p, n) != 0) {
        _set_err(resp, "request failed");
        return -1;
    }
    resp->received += (int64_t)n;
    return 0;
}

int _read_chunked(HTTPC_CONN *c, BODY_SINK *s, int *end_known) {
    Q_HTTPC_CHUNKED dec = {};
    for (;;) {
        if (c->rpos == c->fill) {
            long n = _fill(c);
            if (n <= 0) {
                // A connection lost among the trailers has delivered the whole body.
                if (dec.state == Q_HTTPC_CH_TRAILER && n != FILL_CANCELLED) {
                    *end_known = 0;
                    return 0;
                }
                char err[128];
                _read_error(err, sizeof err, n,
                            dec.state == Q_HTTPC_CH_DATA ? "reading the body" : "reading a chunk header");
                _set_err(s->resp, "%s", err);
                return -1;
            }
        }
        size_t len = c->fill - c->rpos;
        long rc = q_httpc_chunked_decode(&dec, c->buf + c->rpos, &len);
        if (rc == -1) {
            _set_err(s->resp, "%s", dec.error);
            return -1;
        }
        if (_deliver(s, c->buf + c->rpos, len) != 0) return -1;
        if (rc == -2) {
            c->rpos = c->fill;
            continue;
        }
        c->rpos += (size_t)rc;
        // Cut-off trailers leave an unknown rest on the wire.
        if (dec.error) *end_known = 0;
        return 0;
    }
}

constexpr long DIRECT_FAILED = -4, DIRECT_NONE = -5;

// One receive of at most `max` body bytes past the read buffer; returns the
// bytes taken, a netw_recv code, FILL_CANCELLED, or DIRECT_FAILED with the
// error set; DIRECT_NONE with nothing done when no direct read fits.
long _read_direct(HTTPC_CONN *c, BODY_SINK *s, int64_t max) {
    char *dst;
    size_t want;
    Q_STR *body = s->resp->body;
    if (s->file) {
        if (!s->bulk)
            s->bulk.reset(static_cast<char *>(
                q_calloc_checked(BULK_READ_SIZE, 1, "s->bulk", "char", __LINE__, __FILE__)));
        if (!s->bulk) return DIRECT_NONE;
        dst = s->bulk.get();
        want = BULK_READ_SIZE;
    } else {
        size_t room = body->size - 1 - body->length;
        if (room < sizeof c->buf) return DIRECT_NONE;
        dst = body->data + body->length;
        want = room < BULK_READ_SIZE ? room : BULK_READ_SIZE;
    }
    if (max >= 0 && (int64_t)want > max) want = (size_t)max;
    if (q_httpc_is_cancelled(c->cancel)) return FILL_CANCELLED;
    long n = netw_recv(c->net, dst, want);
    if (n <= 0) return n;
    c->total += n;
    if (s->file) return _deliver(s, dst, (size_t)n) == 0 ? n : DIRECT_FAILED;
    if (s->resp->received + n > Q_HTTPC_BODY_CAP) {
        _set_err(s->resp, "response body larger than %lld bytes", Q_HTTPC_BODY_CAP);
        return DIRECT_FAILED;
    }
    body->length += (size_t)n;
    body->data[body->length] = 0;
    s->resp->received += n;
    return n;
}

int _body_read_failed(BODY_SINK *s, long code) {
    if (code == DIRECT_FAILED) return -1;
    char err[128];
    _read_error(err, sizeof err, code, "reading the body");
    _set_err(s->resp, "%s", err);
    return -1;
}

int _read_length(HTTPC_CONN *c, BODY_SINK *s, int64_t left) {
    while (left > 0) {
        if (c->rpos == c->fill) {
            long n = left >= (int64_t)sizeof c->buf ? _read_direct(c, s, left) : DIRECT_NONE;
            if (n > 0) {
                left -= n;
                continue;
            }
            if (n == DIRECT_NONE) n = _fill(c);
            if (n <= 0) return _body_read_failed(s, n);
        }
        size_t take = c->fill - c->rpos;
        if ((int64_t)take > left) take = (size_t)left;
        if (_deliver(s, c->buf + c->rpos, take) != 0) return -1;
        c->rpos += take;
        left -= (int64_t)take;
    }
    return 0;
}

int _read_to_close(HTTPC_CONN *c, BODY_SINK *s) {
    for (;;) {
        if (c->rpos < c->fill) {
            if (_deliver(s, c->buf + c->rpos, c->fill - c->rpos) != 0) return -1;
            c->rpos = c->fill;
        }
        long n = s->file ? _read_direct(c, s, -1) : DIRECT_NONE;
        if (n > 0) continue;
        if (n == DIRECT_NONE) n = _fill(c);
        if (n == NETW_CLOSED) return 0;
        if (n < 0) return _body_read_failed(s, n);
    }
}

constexpr long SEND_LOCAL_FAILED = -6; // the upload file ran short

// Returns 0, or the failure's code (a NETW_ code, FILL_CANCELLED or
// SEND_LOCAL_FAILED) with the error set.
long _send_request(HTTPC_CONN *c, const HTTPC_JOB *j, const char *buf, size_t head_len, size_t total_len,
                   Q_HTTPC_RESP *resp) {
    long rc = _send_blocks(c, buf, total_len);
    if (rc != 0) {
        _set_err(resp, "cannot send the request");
        return rc;
    }
    if (!j->send_body || total_len > head_len) return 0;
    if (!j->upload) {
        if (j->body_len && (rc = _send_blocks(c, j->body, j->body_len)) != 0) {
            _set_err(resp, "cannot send the request body");
            return rc;
        }
        return 0;
    }
    char block[UPLOAD_BLOCK];
    int64_t sent = 0;
    while (sent < j->upload_size) {
        size_t want =
            j->upload_size - sent < (int64_t)sizeof block ? (size_t)(j->upload_size - sent) : sizeof block;
        size_t got = fread(block, 1, want, j->upload);
        if (got != want) {
            rc = SEND_LOCAL_FAILED;
            break;
        }
        if ((rc = _send_blocks(c, block, got)) != 0) break;
        sent += (int64_t)got;
        if (j->req->progress) j->req->progress(sent, j->upload_size, j->req->progress_user);
    }
    q_secure_zero(block, sizeof block);
    if (rc != 0) _set_err(resp, "cannot send the request body");
    return rc;
}

// Methods whose repetition leaves the server as one sending would.
int _idempotent(const char *method) {
    static const char *const names[] = {"GET", "HEAD", "PUT", "DELETE", "OPTIONS", "TRACE"};
    for (const char *n : names)
        if (!strcmp(method, n)) return 1;
    return 0;
}

// Whether a failed exchange may go out again on a new connection: only when
// the connection was closed or reset under it (never after a time-out: the
// server may be working on the request) before any byte of the answer came,
// and, unless nothing of the request had left, only for a method that bears
// repeating.
int _may_resend(const HTTPC_CONN *c, const HTTPC_JOB *j, long code, int64_t received_before,
                long long sent_before) {
    if (code != NETW_CLOSED && code != NETW_ERROR) return 0;
    if (c->total != received_before) return 0;
    return c->net->sent == sent_before || _idempotent(j->method);
}

// Sends the request and reads the answer. *reusable tells whether the
// connection may be parked; *resend whether the request may go out again on
// a new connection after a failure (see _may_resend).
int _exchange(HTTPC_CONN *c, const HTTPC_JOB *j, const char *buf, size_t head_len, size_t total_len,
              Q_HTTPC_RESP *resp, int *reusable, int *resend) {
    *reusable = 0;
    *resend = 0;
    int64_t received_before = c->total;
    long long sent_before = c->net->sent;
    long code = _send_request(c, j, buf, head_len, total_len, resp);
    if (code != 0) {
        *resend = _may_resend(c, j, code, received_before, sent_before);
        return -1;
    }
    Q_STR *head = nullptr;
    int status = 0;
    char err[256];
    if (_read_head(c, &head, &status, err, sizeof err, &code) != 0) {
        *resend = _may_resend(c, j, code, received_before, sent_before);
        _set_err(resp, "%s", err);
        return -1;
    }
    _free_head(resp);
    resp->head_len = head->length;
    resp->head = head->data; // the string's buffer becomes the response's head
    head->data = nullptr;
    free_qstr(&head);
    resp->status = status;

    const char *h = resp->head;
    size_t hl = resp->head_len;
    int end_known = 1, rc = 0;
    int two = status >= 200 && status < 300;
    BODY_SINK sink = {resp, j, two ? j->req->download_file : nullptr, -1, nullptr};
    char te[256] = "", cl[64] = "";
    if (!strcmp(j->method, "HEAD") || status == 204 || status == 304) {
        // no body
    } else if (status == 101) {
        end_known = 0; // the connection now speaks another protocol
    } else if (q_httpc_resp_header(resp, "Transfer-Encoding", te, sizeof te) &&
               q_httpc_contains_ci(te, strlen(te), "chunked")) {
        rc = _read_chunked(c, &sink, &end_known);
    } else if (q_httpc_resp_header(resp, "Content-Length", cl, sizeof cl)) {
        char *end = nullptr;
        errno = 0;
        long long len = strtoll(cl, &end, 10);
        // A length that is not a plain number leaves the real end of the body
        // unknown: whatever follows must not become the next answer on a
        // kept connection.
        if (end == cl || *end || len < 0 || errno == ERANGE) end_known = 0;
        if (len < 0) len = 0;
        sink.expected = len;
        if (!sink.file && len > Q_HTTPC_BODY_CAP) {
            _set_err(resp, "response body larger than %lld bytes", Q_HTTPC_BODY_CAP);
            return -1;
        }
        if (!sink.file && _body_reserve(resp->body, resp->body->length + (size_t)len) != 0) {
            _set_err(resp, "request failed");
            return -1;
        }
        rc = _read_length(c, &sink, len);
    } else {
        end_known = 0;
        rc = _read_to_close(c, &sink);
    }
    if (rc != 0) return -1;
    if (end_known && !strncmp(h, "HTTP/1.1", 8) && c->rpos == c->fill) {
        int close = 0;
        q_httpc_each_header(h, hl, "Connection", [&](const char *v, size_t n) {
            close = q_httpc_contains_ci(v, n, "close");
            return close;
        });
        *reusable = !close;
    }
    return 0;
}

void _log_kept_closed(const HTTPC_JOB *j) {
    q_log(Q_LOG_INFO, "kept connection to %s:%s was closed by the server, reconnecting", j->u.host,
          j->u.port);
}

// A kept connection the server closed while it was parked (the usual end of
// its idle time) is left before the request goes out on it: learning it
// from a failed exchange would cost a second sending, which a request that
// does not bear repeating cannot have.
HTTPC_CONN *_pool_take_usable(const HTTPC_JOB *j, const char *key) {
    HTTPC_CONN *c;
    while ((c = _pool_take(key)) && netw_peer_gone(c->net)) {
        _log_kept_closed(j);
        _conn_close(&c);
    }
    return c;
}

// One attempt: connection (pooled or new), exchange, and the connection's
// fate. Returns 0 when an answer was read completely.
int _attempt(HTTPC_JOB *j, Q_HTTPC_RESP *resp) {
    const Q_HTTPC_REQ *req = j->req;
    if (q_httpc_is_cancelled(req->cancel)) return -1; // no connection for a call already given up
    if (q_httpc_parse_url_ex(j->url, &j->u, nullptr) != 0) {
        _set_err(resp, "invalid URL");
        return -1;
    }
    if (_pick_proxy(&j->u, req, &j->px, resp) < 0) return -1;
    size_t head_len = 0, total_len = 0;
    char *buf = _make_head(j, &head_len, &total_len);
    if (!buf) {
        _set_err(resp, "cannot build the request");
        return -1;
    }
    char key[KEY_SIZE];
    _pool_key(j, key, sizeof key);
    int rc = -1;
    HTTPC_CONN *c = j->upload ? nullptr : _pool_take_usable(j, key);
    int reused = c != nullptr;
    if (c)
        _conn_ready(c, j);
    else
        c = _conn_new(j, key, resp);
    if (c) {
        int reusable = 0, resend = 0;
        rc = _exchange(c, j, buf, head_len, total_len, resp, &reusable, &resend);
        // A new connection closed before any byte of the answer (a server
        // worker that died or was recycled) costs one more sending too, but
        // only for a method that bears repeating.
        if (rc != 0 && resend && (reused || _idempotent(j->method)) && !q_httpc_is_cancelled(req->cancel)) {
            if (reused)
                _log_kept_closed(j);
            else
                q_log(Q_LOG_INFO, "connection to %s:%s closed before an answer, sending the %s again",
                      j->u.host, j->u.port, j->method);
            _conn_close(&c);
            _resp_reset(resp);
            c = _conn_new(j, key, resp);
            if (c) rc = _exchange(c, j, buf, head_len, total_len, resp, &reusable, &resend);
        }
        if (c) {
            if (rc == 0 && reusable)
                _pool_park(&c);
            else
                _conn_close(&c);
        }
    }
    q_secure_zero(buf, total_len);
    free(buf);
    return rc;
}

int _same_origin(const Q_HTTPC_URL *a, const char *url) {
    Q_HTTPC_URL b;
    if (q_httpc_parse_url_ex(url, &b, nullptr) != 0) return 0;
    return a->tls == b.tls && strcasecmp(a->host, b.host) == 0 && strcmp(a->port, b.port) == 0;
}

// Works out the next URL of a redirect answer; 0 when it is to be followed.
int _redirect_target(HTTPC_JOB *j, Q_HTTPC_RESP *resp, char *next, size_t cap) {
    int st = resp->status;
    if (st != 301 && st != 302 && st != 303 && st != 307 && st != 308) return -1;
    if (j->upload && (st == 307 || st == 308)) return -1;
    // One byte more than a URL may have, so a cut location is recognised and
    // not followed to a different address.
    char loc[Q_HTTPC_PATH_SIZE + 1];
    if (!q_httpc_resp_header(resp, "Location", loc, sizeof loc)) return -1;
    if (strlen(loc) >= Q_HTTPC_PATH_SIZE) return -1;
    if (q_httpc_starts_with_ci(loc, "http://") || q_httpc_starts_with_ci(loc, "https://")) {
        q_strcpy(next, cap, loc);
        return 0;
    }
    if (loc[0] != '/') return -1;
    int v6 = strchr(j->u.host, ':') != nullptr;
    int n = snprintf(next, cap, "%s://%s%s%s:%s%s", j->u.tls ? "https" : "http", v6 ? "[" : "", j->u.host,
                     v6 ? "]" : "", j->u.port, loc);
    return n > 0 && (size_t)n < cap ? 0 : -1;
}

} // namespace

// ============================================================================
// Requests
// ============================================================================

Q_HTTPC_RESP *q_httpc_perform(const Q_HTTPC_REQ *req) {
    int64_t start = _now_us();
    // Cheap once done; a caller that skipped it must not die of SIGPIPE when
    // a TLS peer leaves.
    q_httpc_global_init();
    Q_HTTPC_RESP *resp = nullptr;
    Q_CALLOC(resp, 1, Q_HTTPC_RESP);
    if (!resp) return nullptr;
    resp->body = new_qstr(0);
    if (!req || !req->url) {
        q_strcpy(resp->error, sizeof resp->error, "no URL");
        resp->elapsed = _now_us() - start;
        return resp;
    }
    HTTPC_JOB *j = nullptr;
    Q_CALLOC(j, 1, HTTPC_JOB);
    if (!j || !resp->body) {
        q_strcpy(resp->error, sizeof resp->error, "request failed");
        Q_FREE(j);
        resp->elapsed = _now_us() - start;
        return resp;
    }
    j->req = req;
    j->method = req->method ? req->method : "GET";
    // A cut URL would name another resource; it fails as invalid instead.
    if (strlen(req->url) < sizeof j->url) q_strcpy(j->url, sizeof j->url, req->url);
    j->upload = req->upload_file;
    j->upload_size = req->upload_file ? req->upload_size : 0;
    j->body = req->body;
    j->body_len = req->body ? req->body_len : 0;
    j->send_body = req->body != nullptr || req->upload_file != nullptr;
    j->connect_ms = req->connect_timeout_ms > 0 ? req->connect_timeout_ms : DEFAULT_CONNECT_MS;
    j->io_ms = req->io_timeout_ms > 0 ? req->io_timeout_ms : DEFAULT_IO_MS;

    int failed = 0;
    for (int hops = 0;;) {
        int rc = _attempt(j, resp);
        if (q_httpc_is_cancelled(req->cancel)) {
            resp->cancelled = 1;
            q_strcpy(resp->error, sizeof resp->error, "cancelled");
            failed = 1;
            break;
        }
        if (rc != 0) {
            failed = 1;
            break;
        }
        char next[Q_HTTPC_PATH_SIZE];
        if (req->no_redirect || _redirect_target(j, resp, next, sizeof next) != 0) break;
        int st = resp->status;
        if (st == 303 || ((st == 301 || st == 302) && !strcmp(j->method, "POST"))) {
            j->method = "GET";
            j->send_body = 0;
            j->body = nullptr;
            j->body_len = 0;
            j->upload = nullptr;
            j->upload_size = 0;
        }
        if (!_same_origin(&j->u, next) && !j->drop_credentials) {
            j->drop_credentials = 1;
            q_log(Q_LOG_INFO, "redirect leaves %s:%s: credential headers are not sent on", j->u.host,
                  j->u.port);
        }
        q_log(Q_LOG_INFO, "redirect %d -> %s", st, next);
        _free_head(resp);
        resp->body->length = 0;
        resp->body->data[0] = 0;
        resp->received = 0;
        resp->status = 0;
        q_strcpy(j->url, sizeof j->url, next);
        if (++hops >= REDIRECT_HOPS) break;
    }
    q_secure_zero(j, sizeof *j); // proxy credentials
    Q_FREE(j);
    resp->elapsed = _now_us() - start;
    if (resp->status == 0 && !resp->error[0]) q_strcpy(resp->error, sizeof resp->error, "no response");
    if (failed && !resp->error[0]) q_strcpy(resp->error, sizeof resp->error, "request failed");
    return resp;
}

void q_httpc_pool_flush(void) {
    HTTPC_CONN *all[POOL_SLOTS] = {};
    pthread_mutex_lock(&g_pool_mutex);
    for (int i = 0; i < POOL_SLOTS; i++) {
        all[i] = g_pool[i].conn;
        g_pool[i].conn = nullptr;
    }
    pthread_mutex_unlock(&g_pool_mutex);
    for (auto &c : all)
        _conn_close(&c);
}
