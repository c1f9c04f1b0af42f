#include "kvn_ws.h"

#include <cstring>
#include <ctime>
#include <strings.h>

#include "q_base64.h"
#include "q_common.h"
#include "q_http_client.h"

namespace {

constexpr int DEFAULT_CONNECT_MS = 15000;

long long _now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int _reserved_opcode(int op) {
    return (op >= 3 && op <= 7) || op >= 11;
}

// Turns one Base64 message into the pending bytes. 0, 1 when there was
// nothing to decode, -1 when it is not Base64.
int _take_base64(KVN_WS *ws, const char *text, size_t len) {
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == ' '))
        len--;
    if (len == 0) return 1;
    if (len % 4 != 0) return -1;
    Q_STR *out = new_qstr(len / 4 * 3);
    if (!out) return -1;
    long n = q_base64_decode(text, len, out->data, out->size - 1);
    if (n < 0) {
        free_qstr(&out);
        return -1;
    }
    out->length = (size_t)n;
    out->data[n] = 0;
    if (n == 0) {
        free_qstr(&out);
        return 1;
    }
    ws->pending = out;
    ws->pending_off = 0;
    return 0;
}

long _serve_pending(KVN_WS *ws, void *dst, size_t cap) {
    size_t left = ws->pending->length - ws->pending_off;
    size_t n = left < cap ? left : cap;
    memcpy(dst, ws->pending->data + ws->pending_off, n);
    ws->pending_off += n;
    if (ws->pending_off >= ws->pending->length) {
        free_qstr(&ws->pending); // zeroes the console output it held
        ws->pending_off = 0;
    }
    return (long)n;
}

long _close_bad(KVN_WS *ws, const char *what) {
    q_log(Q_LOG_WARNING, "%s", what);
    ws->closed = 1;
    return -1;
}

} // namespace

KVN_WS *kvn_ws_connect(const char *url, const Q_WS_OPTIONS *opts, Q_HTTPC_CANCEL *cancel, char *err,
                       size_t err_cap) {
    if (err && err_cap) err[0] = 0;
    if (!url || !(strncasecmp(url, "ws://", 5) == 0 || strncasecmp(url, "wss://", 6) == 0)) {
        if (err && err_cap) q_strcpy(err, err_cap, "not a ws:// or wss:// address");
        return nullptr;
    }
    Q_WS_OPTIONS o = {};
    if (opts) o = *opts;
    int tls = strncasecmp(url, "wss://", 6) == 0;
    const char *authority = url + (tls ? 6 : 5);
    char origin[512];
    if (!o.origin) {
        q_format(origin, sizeof origin, "%s://%.*s", tls ? "https" : "http", (int)strcspn(authority, "/?#"),
                 authority);
        o.origin = origin;
    }
    char proxy[1024];
    o.proxy = q_httpc_proxy_for_url(url, proxy, sizeof proxy) == 1 ? proxy : nullptr;
    if (o.connect_timeout_ms <= 0) o.connect_timeout_ms = DEFAULT_CONNECT_MS;
    char lib_err[1024] = "";
    o.error = lib_err;
    o.error_cap = sizeof lib_err;
    o.cancel = cancel;
    Q_WS_CONN *conn = q_ws_connect_ex(url, &o);
    q_secure_zero(proxy, sizeof proxy); // may hold proxy credentials
    if (!conn) {
        if (err && err_cap)
            q_strcpy(err, err_cap, lib_err[0] ? lib_err : "cannot open the console WebSocket");
        return nullptr;
    }
    KVN_WS *ws = nullptr;
    Q_CALLOC(ws, 1, KVN_WS);
    if (!ws) {
        q_ws_conn_free(&conn);
        if (err && err_cap) q_strcpy(err, err_cap, "cannot open the console WebSocket");
        return nullptr;
    }
    ws->conn = conn;
    ws->cancel = cancel;
    ws->base64 = strcasecmp(q_ws_protocol(conn), "base64") == 0;
    if (cancel) q_httpc_cancel_bind_socket(cancel, q_ws_socket(conn));
    return ws;
}

int kvn_ws_send(KVN_WS *ws, int opcode, const void *bytes, size_t len) {
    Q_GUARD(ws && (bytes || len == 0), -1);
    if (ws->closed || !ws->conn) return -1;
    int rc;
    if (!ws->base64) {
        rc = q_ws_send(ws->conn, bytes, len, opcode);
    } else {
        size_t cap = (len + 2) / 3 * 4 + 1;
        char *text = static_cast<char *>(q_calloc_checked(cap, 1, "text", "char", __LINE__, __FILE__));
        if (!text) return -1;
        long n = q_base64_encode(bytes, len, text, cap);
        rc = n < 0 ? -1 : q_ws_send(ws->conn, text, (size_t)n, Q_WS_OP_TEXT);
        q_secure_zero(text, cap); // keystrokes
        free(text);
    }
    if (rc != 0) ws->closed = 1;
    return rc;
}

long kvn_ws_recv(KVN_WS *ws, void *dst, size_t cap, int ms) {
    Q_GUARD(ws && dst, -1);
    long long deadline = _now_ms() + (ms > 0 ? ms : 0);
    for (;;) {
        if (ws->pending) return _serve_pending(ws, dst, cap);
        if (ws->closed || !ws->conn) return -1;
        long long left = deadline - _now_ms();
        Q_WS_MSG msg = {};
        int rc = q_ws_recv_timeout(ws->conn, &msg, left > 0 ? (int)left : 0);
        if (rc == 0) return 0;
        if (rc < 0) {
            ws->closed = 1;
            return -1;
        }
        const char *p = msg.payload->data;
        size_t n = msg.payload->length;
        long out = -2; // keep waiting
        if (msg.opcode == Q_WS_OP_PING) {
            if (q_ws_send(ws->conn, p, n, Q_WS_OP_PONG) != 0) {
                ws->closed = 1;
                out = -1;
            }
        } else if (msg.opcode == Q_WS_OP_PONG) {
            // unsolicited or late: nothing to do
        } else if (msg.opcode == Q_WS_OP_CLOSE) {
            unsigned char code[2] = {0x03, 0xE8}; // 1000, normal closure
            if (n >= 2) memcpy(code, p, 2);
            q_ws_send(ws->conn, code, 2, Q_WS_OP_CLOSE);
            ws->closed = 1;
            out = -1;
        } else if (_reserved_opcode(msg.opcode)) {
            out = _close_bad(ws, "console: unexpected WebSocket opcode");
        } else if (!ws->base64) {
            if (n > 0) {
                ws->pending = msg.payload;
                ws->pending_off = 0;
                msg.payload = nullptr;
            }
        } else if (!msg.fin || ws->partial) {
            // A fragmented message may be cut anywhere, also inside a group
            // of four Base64 characters: it is decoded once it is whole.
            if (!ws->partial) ws->partial = new_qstr(n);
            if (!ws->partial || ws->partial->length + n > Q_WS_MAX_PAYLOAD ||
                qstrcat_bytes_ex(ws->partial, p, n) != 0) {
                out = _close_bad(ws, "console: invalid base64 payload");
            } else if (msg.fin) {
                int d = _take_base64(ws, ws->partial->data, ws->partial->length);
                free_qstr(&ws->partial);
                if (d < 0) out = _close_bad(ws, "console: invalid base64 payload");
            }
        } else if (_take_base64(ws, p, n) < 0) {
            out = _close_bad(ws, "console: invalid base64 payload");
        }
        q_ws_msg_clear(&msg);
        if (out != -2) return out;
    }
}

void kvn_ws_close(KVN_WS **ref) {
    if (!ref || !*ref) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", "ws", __LINE__, __FILE__);
        return;
    }
    KVN_WS *ws = *ref;
    if (ws->cancel) q_httpc_cancel_unbind_socket(ws->cancel);
    if (ws->conn) {
        if (ws->closed) ws->conn->open = 0;
        q_ws_conn_free(&ws->conn);
    }
    if (ws->pending) free_qstr(&ws->pending);
    if (ws->partial) free_qstr(&ws->partial);
    Q_FREE(*ref);
}
