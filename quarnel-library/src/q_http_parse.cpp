// The HTTP client's parsers, apart from its I/O so they can be tested and
// fuzzed alone: URLs, the resumable response head scanner, the resumable
// chunked body decoder, header lookup and percent-encoding.
#include <cstdint>
#include <cstring>
#include <memory>
#include <strings.h>

#include "q_common.h"
#include "q_http_internal.h"

// ============================================================================
// Text helpers
// ============================================================================

int q_httpc_starts_with_ci(const char *s, const char *prefix) {
    return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

int q_httpc_contains_ci(const char *s, size_t len, const char *needle) {
    size_t n = strlen(needle);
    for (size_t i = 0; i + n <= len; i++)
        if (strncasecmp(s + i, needle, n) == 0) return 1;
    return 0;
}

int q_httpc_hexval(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// ============================================================================
// URLs
// ============================================================================

namespace {

int _all_above_space(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)s[i] <= ' ') return 0;
    return 1;
}

} // namespace

int q_httpc_parse_url_ex(const char *url, Q_HTTPC_URL *out, int *explicit_port) {
    memset(out, 0, sizeof *out);
    const char *p;
    if (q_httpc_starts_with_ci(url, "https://")) {
        out->tls = 1;
        p = url + 8;
    } else if (q_httpc_starts_with_ci(url, "http://")) {
        p = url + 7;
    } else {
        return -1;
    }
    size_t alen = strcspn(p, "/?#");
    if (memchr(p, '@', alen)) return -1; // no user information in request URLs
    const char *host = p, *port = nullptr;
    size_t hlen, plen = 0;
    if (alen > 0 && p[0] == '[') {
        const char *close = static_cast<const char *>(memchr(p, ']', alen));
        if (!close) return -1;
        host = p + 1;
        hlen = (size_t)(close - host);
        const char *after = close + 1;
        if (after < p + alen) {
            if (*after != ':') return -1;
            port = after + 1;
            plen = (size_t)(p + alen - port);
        }
    } else {
        const char *colon = static_cast<const char *>(memchr(p, ':', alen));
        hlen = colon ? (size_t)(colon - p) : alen;
        if (colon) {
            port = colon + 1;
            plen = (size_t)(p + alen - port);
        }
    }
    if (hlen < 1 || hlen >= Q_HTTPC_HOST_SIZE || !_all_above_space(host, hlen)) return -1;
    memcpy(out->host, host, hlen);
    if (port) {
        if (plen < 1 || plen >= Q_HTTPC_PORT_SIZE) return -1;
        long long v = 0;
        for (size_t i = 0; i < plen; i++) {
            if (port[i] < '0' || port[i] > '9') return -1;
            v = v * 10 + (port[i] - '0');
            if (v > 65535) return -1;
        }
        if (v < 1) return -1;
        memcpy(out->port, port, plen);
    } else {
        q_strcpy(out->port, sizeof out->port, out->tls ? "443" : "80");
    }
    if (explicit_port) *explicit_port = port != nullptr;

    const char *rest = p + alen;
    size_t rlen = strcspn(rest, "#");
    size_t off = 0;
    if (rlen == 0 || rest[0] == '?') out->path[off++] = '/';
    if (off + rlen + 2 >= Q_HTTPC_PATH_SIZE - 1) return -1;
    if (!_all_above_space(rest, rlen)) return -1;
    memcpy(out->path + off, rest, rlen);
    out->path[off + rlen] = 0;
    return 0;
}

int q_httpc_parse_url(const char *url, Q_HTTPC_URL *out) {
    Q_GUARD(url && out, -1);
    return q_httpc_parse_url_ex(url, out, nullptr);
}

// ============================================================================
// Response head and chunked body
// ============================================================================

namespace {

constexpr int CH_MAX_TRAILERS = 64;
constexpr size_t CH_MAX_TRAILER_LINE = 8192;

// Size line: optional blanks, hexadecimal digits, anything after them (chunk
// extensions) ignored. Sizes beyond 63 bits are refused, not wrapped.
int _chunk_size(const char *line, size_t len, uint64_t *size) {
    size_t i = 0;
    while (i < len && (line[i] == ' ' || line[i] == '\t'))
        i++;
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < len; i++, digits++) {
        int d = q_httpc_hexval(line[i]);
        if (d < 0) break;
        if (v > (UINT64_C(0x7fffffffffffffff) >> 4)) return -1;
        v = v << 4 | (uint64_t)d;
    }
    if (digits == 0) return -1;
    *size = v;
    return 0;
}

} // namespace

long q_httpc_head_scan(Q_HTTPC_HEAD_SCAN *scan, const char *buf, size_t len) {
    Q_GUARD(scan && (buf || len == 0), -1);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)buf[i];
        if (++scan->total > Q_HTTPC_HEAD_MAX) return -1;
        unsigned prev = scan->tail;
        scan->tail = (prev << 8 | c) & 0xffffffu;
        // CR LF CR LF (the last three before this byte are CR LF CR) or LF LF.
        if (c == '\n' && ((prev & 0xffffffu) == 0x0d0a0du || (prev & 0xffu) == '\n')) return (long)(i + 1);
    }
    return -2;
}

int q_httpc_head_status(const char *head, size_t len) {
    Q_GUARD(head, -1);
    if (len < 12 || strncmp(head, "HTTP/1.", 7) != 0) return -1;
    int st = 0;
    for (int i = 9; i < 12; i++) {
        if (head[i] < '0' || head[i] > '9') return -1;
        st = st * 10 + (head[i] - '0');
    }
    return st;
}

long q_httpc_chunked_decode(Q_HTTPC_CHUNKED *d, char *buf, size_t *len) {
    Q_GUARD(d && len && (buf || *len == 0), -1);
    size_t n = *len, in = 0, out = 0;
    if (d->state == Q_HTTPC_CH_DONE) {
        *len = 0;
        return 0;
    }
    while (in < n) {
        if (d->state == Q_HTTPC_CH_DATA) {
            size_t take = n - in;
            if ((uint64_t)take > d->left) take = (size_t)d->left;
            memmove(buf + out, buf + in, take);
            out += take;
            in += take;
            d->left -= take;
            if (d->left == 0) d->state = Q_HTTPC_CH_SIZE;
            continue;
        }
        char c = buf[in++];
        if (c == '\r') continue;
        if (d->state == Q_HTTPC_CH_SIZE) {
            if (c != '\n') {
                if (d->line_len >= Q_HTTPC_CHUNK_LINE_MAX) {
                    d->error = "chunk header too long";
                    return -1;
                }
                d->line[d->line_len++] = c;
                continue;
            }
            if (d->line_len == 0) continue; // the CR LF after a chunk's data
            uint64_t size = 0;
            int rc = _chunk_size(d->line, d->line_len, &size);
            d->line_len = 0;
            if (rc != 0) {
                d->error = "bad chunk size";
                return -1;
            }
            if (size == 0) {
                d->state = Q_HTTPC_CH_TRAILER;
            } else {
                d->left = size;
                d->state = Q_HTTPC_CH_DATA;
            }
            continue;
        }
        // Trailers are read and dropped, up to a bounded count and length.
        if (c != '\n') {
            if (++d->line_len > CH_MAX_TRAILER_LINE) {
                d->state = Q_HTTPC_CH_DONE;
                d->error = "trailers cut";
                *len = out;
                return (long)in;
            }
            continue;
        }
        int blank = d->line_len == 0;
        d->line_len = 0;
        if (blank || ++d->trailers >= CH_MAX_TRAILERS) {
            d->state = Q_HTTPC_CH_DONE;
            *len = out;
            return (long)in;
        }
    }
    *len = out;
    return -2;
}

// ============================================================================
// Header lookup and percent-encoding
// ============================================================================

char *q_httpc_resp_header(const Q_HTTPC_RESP *resp, const char *name, char *dst, size_t cap) {
    Q_GUARD(resp && name && dst && cap > 0, nullptr);
    if (!resp->head) return nullptr;
    char *found = nullptr;
    q_httpc_each_header(resp->head, resp->head_len, name, [&](const char *v, size_t n) {
        if (n > cap - 1) n = cap - 1;
        memcpy(dst, v, n);
        dst[n] = 0;
        found = dst;
        return 1;
    });
    return found;
}

int q_httpc_url_encode(Q_STR **dst, const char *text) {
    Q_GUARD(dst && text, -1);
    if (!*dst && !(*dst = new_qstr(64))) return -1;
    static const char hex[] = "0123456789ABCDEF";
    size_t n = strlen(text);
    std::unique_ptr<char, Q_FREE_DELETER> out(
        static_cast<char *>(q_calloc_checked(n * 3 + 1, 1, "out", "char", __LINE__, __FILE__)));
    if (!out) return -1;
    char *o = out.get();
    for (size_t i = 0; i < n; i++) {
        unsigned char ch = (unsigned char)text[i];
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' ||
            ch == '.' || ch == '_' || ch == '~') {
            *o++ = (char)ch;
        } else {
            *o++ = '%';
            *o++ = hex[ch >> 4];
            *o++ = hex[ch & 15];
        }
    }
    size_t len = (size_t)(o - out.get());
    int rc = qstrcat_bytes_ex(*dst, out.get(), len);
    q_secure_zero(out.get(), len);
    return rc;
}
