#include "q_network.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "q_common.h"

namespace {

struct SSL_CTX_DELETER {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
struct SSL_DELETER {
    void operator()(SSL *s) const { SSL_free(s); }
};
using Q_SSL_CTX = std::unique_ptr<SSL_CTX, SSL_CTX_DELETER>;
using Q_SSL = std::unique_ptr<SSL, SSL_DELETER>;

struct ADDRINFO_DELETER {
    void operator()(addrinfo *a) const { freeaddrinfo(a); }
};

// Waits are cut into slices so an abort request is seen within this time.
constexpr int ABORT_SLICE_MS = 50;

long long _now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Polls fd for events until the deadline; 1 ready, 0 timed out or aborted,
// -1 error.
int _poll_until(int fd, short events, long long deadline, NETW_ABORT_FN abort_fn, void *abort_user) {
    for (;;) {
        if (abort_fn && abort_fn(abort_user)) return 0;
        long long left = deadline - _now_ms();
        if (left <= 0) return 0;
        int slice = left > ABORT_SLICE_MS && abort_fn ? ABORT_SLICE_MS : (int)left;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, slice);
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

int _set_blocking(int fd, int blocking) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) return -1;
    fl = blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
    return fcntl(fd, F_SETFL, fl);
}

int _connect_fd(const char *host, const char *port, int timeout_ms, NETW_ABORT_FN abort_fn,
                void *abort_user) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *res = nullptr;
    int gai = getaddrinfo(host, port, &hints, &res);
    if (gai != 0) {
        q_log(Q_LOG_INFO, "cannot resolve %s: %s", host, gai_strerror(gai));
        return -1;
    }
    std::unique_ptr<addrinfo, ADDRINFO_DELETER> list(res);
    long long deadline = _now_ms() + timeout_ms;
    for (struct addrinfo *ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) continue;
        int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            if (_poll_until(fd, POLLOUT, deadline, abort_fn, abort_user) == 1) {
                int err = 0;
                socklen_t len = sizeof err;
                rc = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 ? 0 : -1;
                if (rc != 0) errno = err;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (rc == 0 && _set_blocking(fd, 1) == 0) return fd;
        q_log(Q_LOG_INFO, "connect to %s:%s failed: %s", host, port, strerror(errno));
        close(fd);
        if (_now_ms() >= deadline || (abort_fn && abort_fn(abort_user))) break;
    }
    return -1;
}

NETW_CONN *_conn_new(int fd) {
    NETW_CONN *conn = nullptr;
    Q_CALLOC(conn, 1, NETW_CONN);
    if (!conn) {
        close(fd);
        return nullptr;
    }
    conn->fd = fd;
    return conn;
}

int _is_ip_literal(const char *host) {
    unsigned char buf[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

void _log_ssl_errors(const char *what) {
    unsigned long e;
    char text[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, text, sizeof text);
        q_log(Q_LOG_INFO, "%s: %s", what, text);
    }
}

} // namespace

NETW_CONN *netw_connect_to(const char *host, const char *port, int timeout_ms, NETW_ABORT_FN abort_fn,
                           void *abort_user) {
    Q_GUARD(host && port, nullptr);
    int fd = _connect_fd(host, port, timeout_ms > 0 ? timeout_ms : 15000, abort_fn, abort_user);
    if (fd < 0) return nullptr;
    return _conn_new(fd);
}

int netw_ssl_start_client(NETW_CONN *conn) {
    Q_GUARD(conn && conn->fd >= 0 && !conn->ssl, -1);
    Q_SSL_CTX ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        _log_ssl_errors("SSL_CTX_new");
        return -1;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Many servers end a response that runs to the close without close_notify;
    // that is the end of the body, not an error.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    // The system store under /etc/ssl; a failure leaves only the CA file.
    if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) ERR_clear_error();
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    Q_SSL ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), conn->fd) != 1) {
        _log_ssl_errors("SSL_new");
        return -1;
    }
    conn->ctx = ctx.release();
    conn->ssl = ssl.release();
    return 0;
}

int netw_ssl_set_ca(NETW_CONN *conn, const char *ca_file) {
    Q_GUARD(conn && conn->ctx && conn->ssl, -1);
    if (!ca_file || !ca_file[0]) return 0;
    // The SSL object took its store from the context at creation, and both
    // share it, so loading into the context still reaches this connection.
    if (SSL_CTX_load_verify_locations(conn->ctx, ca_file, nullptr) != 1) {
        _log_ssl_errors(ca_file);
        q_log(Q_LOG_WARNING, "cannot load the CA file %s", ca_file);
        return -1;
    }
    return 0;
}

int netw_ssl_set_verify(NETW_CONN *conn, int verify) {
    Q_GUARD(conn && conn->ssl, -1);
    SSL_set_verify(conn->ssl, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    return 0;
}

int netw_ssl_do_handshake(NETW_CONN *conn, const char *host, int timeout_ms, NETW_ABORT_FN abort_fn,
                          void *abort_user) {
    Q_GUARD(conn && conn->ssl && host, -1);
    SSL *ssl = conn->ssl;
    int is_ip = _is_ip_literal(host);
    // SNI may carry only names; an IP literal is checked against the
    // certificate's IP addresses instead of its names.
    if (!is_ip) SSL_set_tlsext_host_name(ssl, host);
    if (SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) {
        X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        int ok =
            is_ip ? X509_VERIFY_PARAM_set1_ip_asc(param, host) : X509_VERIFY_PARAM_set1_host(param, host, 0);
        if (ok != 1) return -1;
    }
    if (_set_blocking(conn->fd, 0) != 0) return -1;
    long long deadline = _now_ms() + (timeout_ms > 0 ? timeout_ms : 15000);
    int rc = -1;
    for (;;) {
        int r = SSL_connect(ssl);
        if (r == 1) {
            rc = 0;
            break;
        }
        int err = SSL_get_error(ssl, r);
        short ev = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (!ev) {
            long vr = SSL_get_verify_result(ssl);
            if (vr != X509_V_OK)
                q_log(Q_LOG_WARNING, "TLS certificate of %s refused: %s", host,
                      X509_verify_cert_error_string(vr));
            _log_ssl_errors("TLS handshake");
            break;
        }
        if (_poll_until(conn->fd, ev, deadline, abort_fn, abort_user) != 1) {
            q_log(Q_LOG_INFO, "TLS handshake with %s timed out or was stopped", host);
            break;
        }
    }
    if (_set_blocking(conn->fd, 1) != 0) rc = -1;
    return rc;
}

NETW_CONN *netw_ssl_connect_verify(const char *host, const char *port, const char *ca_file, int verify,
                                   int timeout_ms, NETW_ABORT_FN abort_fn, void *abort_user) {
    Q_GUARD(host && port, nullptr);
    if (timeout_ms <= 0) timeout_ms = 15000;
    long long start = _now_ms();
    NETW_CONN *conn = netw_connect_to(host, port, timeout_ms, abort_fn, abort_user);
    if (!conn) return nullptr;
    int left = (int)(timeout_ms - (_now_ms() - start));
    if (left < 1) left = 1;
    if (netw_ssl_start_client(conn) != 0 || (verify && netw_ssl_set_ca(conn, ca_file) != 0) ||
        netw_ssl_set_verify(conn, verify) != 0 ||
        netw_ssl_do_handshake(conn, host, left, abort_fn, abort_user) != 0) {
        netw_close(&conn);
        return nullptr;
    }
    return conn;
}

int netw_setsockopt(NETW_CONN *conn, int rcv_timeout_ms, int snd_timeout_ms, int nodelay) {
    Q_GUARD(conn && conn->fd >= 0, -1);
    int rc = 0;
    if (rcv_timeout_ms > 0 && rcv_timeout_ms != conn->rcv_timeout_ms) {
        struct timeval tv = {rcv_timeout_ms / 1000, (rcv_timeout_ms % 1000) * 1000};
        if (setsockopt(conn->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0)
            conn->rcv_timeout_ms = rcv_timeout_ms;
        else
            rc = -1;
    }
    if (snd_timeout_ms > 0 && snd_timeout_ms != conn->snd_timeout_ms) {
        struct timeval tv = {snd_timeout_ms / 1000, (snd_timeout_ms % 1000) * 1000};
        if (setsockopt(conn->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0)
            conn->snd_timeout_ms = snd_timeout_ms;
        else
            rc = -1;
    }
    if (nodelay && !conn->nodelay) {
        int one = 1;
        if (setsockopt(conn->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0)
            conn->nodelay = 1;
        else
            rc = -1;
    }
    return rc;
}

long netw_recv(NETW_CONN *conn, void *buf, size_t cap) {
    Q_GUARD(conn && conn->fd >= 0 && buf, NETW_ERROR);
    if (cap == 0) return NETW_ERROR;
    if (conn->ssl) {
        ERR_clear_error();
        int n = SSL_read(conn->ssl, buf, cap > 0x40000000 ? 0x40000000 : (int)cap);
        if (n > 0) return n;
        int err = SSL_get_error(conn->ssl, n);
        if (err == SSL_ERROR_ZERO_RETURN) return NETW_CLOSED;
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? NETW_TIMEOUT : NETW_ERROR;
        // A socket shut down under a blocked read ends like an orderly close.
        if (err == SSL_ERROR_SYSCALL && errno == 0) return NETW_CLOSED;
        ERR_clear_error();
        return NETW_ERROR;
    }
    for (;;) {
        ssize_t n = recv(conn->fd, buf, cap, 0);
        if (n > 0) return (long)n;
        if (n == 0) return NETW_CLOSED;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return NETW_TIMEOUT;
        return NETW_ERROR;
    }
}

int netw_send_all(NETW_CONN *conn, const void *buf, size_t len) {
    Q_GUARD(conn && conn->fd >= 0 && (buf || len == 0), NETW_ERROR);
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        if (conn->ssl) {
            ERR_clear_error();
            int n = SSL_write(conn->ssl, p, len > 0x40000000 ? 0x40000000 : (int)len);
            if (n <= 0) {
                int err = SSL_get_error(conn->ssl, n);
                int timed_out = (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) &&
                                (errno == EAGAIN || errno == EWOULDBLOCK);
                ERR_clear_error();
                return timed_out ? NETW_TIMEOUT : NETW_ERROR;
            }
            p += n;
            len -= (size_t)n;
            conn->sent += n;
        } else {
            ssize_t n = send(conn->fd, p, len, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                return (errno == EAGAIN || errno == EWOULDBLOCK) ? NETW_TIMEOUT : NETW_ERROR;
            }
            p += n;
            len -= (size_t)n;
            conn->sent += n;
        }
    }
    return 0;
}

int netw_peer_gone(NETW_CONN *conn) {
    Q_GUARD(conn && conn->fd >= 0, 1);
    // Bytes the TLS layer already holds are an answer nobody asked for.
    if (conn->ssl && SSL_pending(conn->ssl) > 0) return 1;
    struct pollfd p = {conn->fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    // Readable on an idle connection means a close (FIN, or a TLS close_notify
    // in front of it), a reset, or stray bytes: none of them can carry the
    // next answer.
    return r != 0;
}

void netw_shutdown_fd(int fd) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void netw_close(NETW_CONN **ref) {
    if (!ref || !*ref) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", "conn", __LINE__, __FILE__);
        return;
    }
    NETW_CONN *conn = *ref;
    if (conn->ssl) {
        // A quiet close: a close_notify is polite but must not block on a
        // dead peer, so the socket is made non-blocking first.
        if (conn->fd >= 0) _set_blocking(conn->fd, 0);
        SSL_shutdown(conn->ssl);
        ERR_clear_error();
        SSL_free(conn->ssl);
    }
    if (conn->ctx) SSL_CTX_free(conn->ctx);
    if (conn->fd >= 0) close(conn->fd);
    Q_FREE(conn);
    *ref = nullptr;
}
