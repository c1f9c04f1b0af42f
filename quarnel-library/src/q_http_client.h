#pragma once
// Blocking HTTP/1.1 client: plain HTTP and HTTPS, a keep-alive pool of eight
// connections, http:// proxies from the environment, redirects, chunked and
// length-delimited bodies, uploads from and downloads to files, and
// cancellation from another thread.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

#include "q_str.h"

enum {
    Q_HTTPC_MAX_HEADERS = 32,
    Q_HTTPC_ERROR_SIZE = 1024,
    Q_HTTPC_HOST_SIZE = 256,
    Q_HTTPC_PORT_SIZE = 16,
    Q_HTTPC_PATH_SIZE = 4096,
    Q_HTTPC_READ_BUF = 16384,
    Q_HTTPC_HEAD_MAX = 65536,
    Q_HTTPC_CHUNK_LINE_MAX = 255,
};
// Largest body kept in memory.
constexpr long long Q_HTTPC_BODY_CAP = 67108864LL;

// Fired from any thread; the request's thread sees it before every receive
// and send block, and a blocked socket is shut down at once.
struct Q_HTTPC_CANCEL {
    pthread_mutex_t mutex; // guards flag and sock
    int flag;              // goes from 0 to 1 once, never back
    int sock;              // socket of the running request, -1 for none
};

typedef void (*Q_HTTPC_PROGRESS)(int64_t done, int64_t expected, void *user);

// Filled by the caller; zero-initialise it and set what is needed.
struct Q_HTTPC_REQ {
    const char *method;                       // absent: "GET"
    const char *url;                          // required, http:// or https://
    const char *headers[Q_HTTPC_MAX_HEADERS]; // "Name: value", without CR LF
    int header_count;
    const char *body; // sent when present, even with body_len 0
    size_t body_len;
    FILE *upload_file; // its bytes are the body (wins over body)
    int64_t upload_size;
    FILE *download_file;    // receives the body of a 2xx answer
    int insecure;           // non-zero: no TLS peer verification
    const char *ca_file;    // absent: SSL_CERT_FILE, else the default bundle
    int connect_timeout_ms; // <= 0: 15000
    int io_timeout_ms;      // <= 0: 60000
    int no_redirect;
    const char *proxy;    // absent: environment; "" means direct
    const char *no_proxy; // absent: environment
    int tunnel_always;    // plain http:// through a CONNECT tunnel too
    Q_HTTPC_CANCEL *cancel;
    Q_HTTPC_PROGRESS progress;
    void *progress_user;
};

struct Q_HTTPC_RESP {
    int status; // 0 when no answer was obtained
    char *head; // raw head of the final answer, with its CR LF
    size_t head_len;
    Q_STR *body;                    // empty when the body went to the download file
    int64_t received;               // body bytes taken so far
    char error[Q_HTTPC_ERROR_SIZE]; // empty on success
    int64_t elapsed;                // microseconds, monotonic clock
    int cancelled;
};

struct Q_HTTPC_URL {
    int tls;
    char host[Q_HTTPC_HOST_SIZE]; // without IPv6 brackets
    char port[Q_HTTPC_PORT_SIZE];
    char path[Q_HTTPC_PATH_SIZE]; // path and query, always starting with "/"
};

// OpenSSL set-up, and SIGPIPE ignored when nobody handles it (a peer leaving
// mid-write must not end the process). Done once per process; the program
// entry calls it at start-up, and q_httpc_perform makes sure of it.
void q_httpc_global_init(void);
// Set once at start-up, before any worker runs. An absent or empty agent
// restores "quarnel-httpc"; an absent CA path means none.
void q_httpc_set_user_agent(const char *agent);
void q_httpc_set_ca_file(const char *path);

// Runs the request (redirects, keep-alive, proxy) on the calling thread. The
// response comes back on failure too, with status 0 or the last status, the
// error text and the cancelled flag; nullptr only when it cannot be allocated.
Q_HTTPC_RESP *q_httpc_perform(const Q_HTTPC_REQ *req);
void q_httpc_resp_free(Q_HTTPC_RESP **resp);
// Copies the first header `name` (case-insensitive) of the head, trimmed, cut
// to cap - 1; returns dst, or nullptr when there is no such header.
char *q_httpc_resp_header(const Q_HTTPC_RESP *resp, const char *name, char *dst, size_t cap);
// The body text, or "" when there is none.
const char *q_httpc_resp_body(const Q_HTTPC_RESP *resp);

Q_HTTPC_CANCEL *q_httpc_cancel_new(void);
void q_httpc_cancel_free(Q_HTTPC_CANCEL **token);
// Fires the token from any thread; a socket bound to it is shut down at once.
void q_httpc_cancel(Q_HTTPC_CANCEL *token);
int q_httpc_is_cancelled(Q_HTTPC_CANCEL *token);
// For other modules that block on their own sockets (the console WebSocket).
void q_httpc_cancel_bind_socket(Q_HTTPC_CANCEL *token, int sock);
void q_httpc_cancel_unbind_socket(Q_HTTPC_CANCEL *token);

// Appends text percent-encoded (all but letters, digits and "-._~");
// creates the string when *dst is empty.
int q_httpc_url_encode(Q_STR **dst, const char *text);
// 1 with the proxy text (as configured, credentials included: zero dst after
// use), 0 for a direct connection, -1 for an address that does not parse.
// ws:// and wss:// addresses are looked up as http:// and https://.
int q_httpc_proxy_for_url(const char *address, char *dst, size_t cap);
// Closes every kept connection; at program exit.
void q_httpc_pool_flush(void);

// ---- parsers, exposed for tests and fuzzing --------------------------------

int q_httpc_parse_url(const char *url, Q_HTTPC_URL *out);

// Finds the end of a response head fed in pieces. Zero-initialise, then feed
// bytes: returns the bytes of this piece up to and including the blank line
// that ends the head, -2 when the whole piece belongs to the head and more is
// needed, -1 when the head grows over Q_HTTPC_HEAD_MAX bytes.
struct Q_HTTPC_HEAD_SCAN {
    size_t total;
    unsigned tail; // last bytes seen, newest in the low byte
};
long q_httpc_head_scan(Q_HTTPC_HEAD_SCAN *scan, const char *buf, size_t len);
// Status of a complete head, or -1 when it is not an HTTP/1.x response.
int q_httpc_head_status(const char *head, size_t len);

// Decodes a chunked body fed in pieces, in place. Zero-initialise, then call
// with buf[0..*len): on return buf[0..*len) holds the body bytes decoded from
// this piece. Returns -2 when the whole piece was used and more is needed, the
// number of input bytes used when the body (with its trailers) ended, or -1
// for bad input with `error` set.
struct Q_HTTPC_CHUNKED {
    int state;
    uint64_t left; // data bytes left in the current chunk
    char line[Q_HTTPC_CHUNK_LINE_MAX + 1];
    size_t line_len;
    int trailers;
    const char *error; // "chunk header too long" or "bad chunk size"
};
long q_httpc_chunked_decode(Q_HTTPC_CHUNKED *dec, char *buf, size_t *len);
