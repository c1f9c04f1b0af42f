#pragma once
// Socket layer: TCP connections with time-outs, optionally wrapped in TLS.
// Only what the HTTP client needs lives here; everything else of the
// platform's socket API stays out of the callers' sight.

#include <cstddef>

#include <openssl/ssl.h>

// One connection. The socket is blocking once connected; receive and send
// time-outs come from netw_setsockopt. `ssl` is set once TLS is on.
struct NETW_CONN {
    int fd;
    SSL_CTX *ctx; // owned
    SSL *ssl;     // owned
    // Options already set on the socket, so a kept connection reused with the
    // same values costs no system calls.
    int rcv_timeout_ms, snd_timeout_ms, nodelay;
    // Bytes handed to the peer over the connection's life (TLS: application
    // bytes the TLS layer took). A caller compares it before and after a
    // failed send to tell whether anything of a request may have left.
    long long sent;
};

// Results of netw_recv besides a positive byte count.
enum {
    NETW_CLOSED = 0,   // orderly close by the peer (or our own shutdown)
    NETW_ERROR = -1,   // reset or any other failure
    NETW_TIMEOUT = -2, // nothing arrived within the receive time-out
};

// Asked while a connect or handshake waits, so a cancelled caller does not sit
// out the whole connect time-out; non-zero stops the wait.
typedef int (*NETW_ABORT_FN)(void *user);

// TCP connect to host:port (names are resolved; IPv4 and IPv6) within
// timeout_ms. Returns the connection or nullptr.
NETW_CONN *netw_connect_to(const char *host, const char *port, int timeout_ms, NETW_ABORT_FN abort_fn,
                           void *abort_user);
// TCP connect plus TLS handshake; the time-out bounds both. verify non-zero
// checks the peer certificate against the CA file (or the default paths) and
// against host (a name, or an IP address for IP literals).
NETW_CONN *netw_ssl_connect_verify(const char *host, const char *port, const char *ca_file, int verify,
                                   int timeout_ms, NETW_ABORT_FN abort_fn, void *abort_user);

// TLS on an already connected socket (used inside a proxy tunnel).
int netw_ssl_start_client(NETW_CONN *conn);
int netw_ssl_set_ca(NETW_CONN *conn, const char *ca_file);
int netw_ssl_set_verify(NETW_CONN *conn, int verify);
int netw_ssl_do_handshake(NETW_CONN *conn, const char *host, int timeout_ms, NETW_ABORT_FN abort_fn,
                          void *abort_user);

// Receive and send time-outs in milliseconds (<= 0 leaves them alone), and
// TCP_NODELAY when nodelay is non-zero.
int netw_setsockopt(NETW_CONN *conn, int rcv_timeout_ms, int snd_timeout_ms, int nodelay);

// One-shot receive of at most cap bytes: > 0 bytes, or NETW_CLOSED,
// NETW_ERROR, NETW_TIMEOUT.
long netw_recv(NETW_CONN *conn, void *buf, size_t cap);
// Sends every byte; 0 or NETW_ERROR / NETW_TIMEOUT.
int netw_send_all(NETW_CONN *conn, const void *buf, size_t len);

// Asks an idle connection, without waiting, whether the peer has closed it
// (or sent something nobody asked for): 1 then, 0 when it looks usable.
int netw_peer_gone(NETW_CONN *conn);

// Shuts a socket down in both directions so blocked calls on it return.
void netw_shutdown_fd(int fd);
// Closes and frees the connection and clears the reference.
void netw_close(NETW_CONN **conn);
