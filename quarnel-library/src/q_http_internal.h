#pragma once
// What the HTTP client's two files share: the parsers' extra entry points and
// the text helpers the request path needs too. Not for the library's users.

#include <cstddef>
#include <cstring>
#include <strings.h>

#include "q_http_client.h"

// States of Q_HTTPC_CHUNKED; the reader needs them to word a cut-off body.
enum { Q_HTTPC_CH_SIZE = 0, Q_HTTPC_CH_DATA, Q_HTTPC_CH_TRAILER, Q_HTTPC_CH_DONE };

int q_httpc_starts_with_ci(const char *s, const char *prefix);
// Case-insensitive substring test over a bounded text.
int q_httpc_contains_ci(const char *s, size_t len, const char *needle);
// Value of a hexadecimal digit, -1 for any other character.
int q_httpc_hexval(char c);

// q_httpc_parse_url that also tells whether the port was written out (a
// proxy without one gets its own default, not the scheme's).
int q_httpc_parse_url_ex(const char *url, Q_HTTPC_URL *out, int *explicit_port);

// A proxy as written in a setting or http_proxy: "http://" or no scheme, an
// optional percent-encoded "user:password@", the host and an optional port
// (1080 when none is written). The credentials are kept Base64-encoded, ready
// for Proxy-Authorization; zero the record when done with it.
struct Q_HTTPC_PROXY_ADDR {
    char host[Q_HTTPC_HOST_SIZE];
    char port[Q_HTTPC_PORT_SIZE];
    char creds[512];
};
enum {
    Q_HTTPC_PROXY_OK = 0,
    Q_HTTPC_PROXY_BAD_SCHEME,  // another "scheme://"
    Q_HTTPC_PROXY_LONG_CREDS,  // more than 383 bytes before "@" (only when refused)
    Q_HTTPC_PROXY_BAD_ADDRESS, // the host part does not parse
};
// Returns a Q_HTTPC_PROXY_* kind; on failure the record is zeroed. Callers
// word the failure in their own texts. Credentials too long to encode are
// cut at 383 bytes unless refuse_long_creds is set.
int q_httpc_parse_proxy(const char *text, Q_HTTPC_PROXY_ADDR *out, int refuse_long_creds);

// Walks the head's header lines (after the status line); calls fn with the
// trimmed value of each line named `name`. fn returns non-zero to stop.
template <typename FN> void q_httpc_each_header(const char *head, size_t hlen, const char *name, FN fn) {
    size_t nlen = strlen(name);
    const char *end = head + hlen;
    const char *line = static_cast<const char *>(memchr(head, '\n', hlen));
    while (line && ++line < end) {
        const char *eol = static_cast<const char *>(memchr(line, '\n', (size_t)(end - line)));
        const char *stop = eol ? eol : end;
        if ((size_t)(stop - line) > nlen && strncasecmp(line, name, nlen) == 0 && line[nlen] == ':') {
            const char *v = line + nlen + 1;
            while (v < stop && (*v == ' ' || *v == '\t'))
                v++;
            const char *ve = v;
            while (ve < stop && *ve != '\r' && *ve != '\n')
                ve++;
            while (ve > v && (ve[-1] == ' ' || ve[-1] == '\t'))
                ve--;
            if (fn(v, (size_t)(ve - v))) return;
        }
        line = eol;
    }
}
