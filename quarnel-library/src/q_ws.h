#pragma once
// WebSocket client (RFC 6455): ws:// and wss://, optionally through an
// http:// proxy with CONNECT, with a frame reader that resumes across reads
// so a receive time-out never loses part of a frame.

#include <cstddef>
#include <cstdint>

#include "q_str.h"

struct NETW_CONN;
struct Q_HTTPC_CANCEL;

// Largest payload one received frame may announce.
constexpr size_t Q_WS_MAX_PAYLOAD = 67108864;

enum {
    Q_WS_OP_CONT = 0,
    Q_WS_OP_TEXT = 1,
    Q_WS_OP_BINARY = 2,
    Q_WS_OP_CLOSE = 8,
    Q_WS_OP_PING = 9,
    Q_WS_OP_PONG = 10,
};

enum {
    Q_WS_HOST_SIZE = 256,
    Q_WS_PORT_SIZE = 16,
    Q_WS_PATH_SIZE = 4096,
    Q_WS_PROTOCOL_SIZE = 256,
    Q_WS_READ_BUF = 65536,
    Q_WS_FRAME_HEAD_MAX = 14, // 2 + 8 length bytes + 4 mask bytes
};

// One received frame. The FIN bit is reported but not acted on: every frame
// is handed over as it arrives, continuation frames with opcode 0.
struct Q_WS_MSG {
    int opcode; // low 4 bits of the first byte
    int fin;
    int masked;
    Q_STR *payload; // unmasked, zero-terminated after the payload bytes
};
// Frees (and zeroes) the payload; the record itself is the caller's.
void q_ws_msg_clear(Q_WS_MSG *msg);

// Resumable frame reader. Zero-initialise, then feed bytes as they arrive:
// returns the bytes of this piece used up to and including the frame's last
// byte once a frame is complete, -2 when the whole piece was used and more
// is needed, -1 for a frame that must not be read (error set). After a
// complete frame, q_ws_frame_take hands it over and readies the next one.
struct Q_WS_FRAME_READER {
    unsigned char head[Q_WS_FRAME_HEAD_MAX];
    unsigned head_len, head_need;
    int fin, opcode, masked, complete;
    unsigned char mask[4];
    uint64_t length, got;
    Q_STR *payload; // owned until taken
    char error[128];
};
long q_ws_frame_read(Q_WS_FRAME_READER *r, const void *buf, size_t len);
// Moves the complete frame into msg (which must be empty) and resets r.
int q_ws_frame_take(Q_WS_FRAME_READER *r, Q_WS_MSG *msg);
// Drops whatever the reader holds and zeroes it.
void q_ws_frame_reset(Q_WS_FRAME_READER *r);
// Writes the head of a final frame (FIN set) into out and returns its size;
// mask null means an unmasked frame (as a server sends).
size_t q_ws_frame_head(unsigned char out[Q_WS_FRAME_HEAD_MAX], int opcode, uint64_t len,
                       const unsigned char *mask);
// XOR-masks (or unmasks) len bytes whose first byte sits at payload offset
// `offset`.
void q_ws_mask(unsigned char *p, size_t len, const unsigned char mask[4], uint64_t offset);

// One client connection.
struct Q_WS_CONN {
    NETW_CONN *net;
    int tls;
    char host[Q_WS_HOST_SIZE]; // without IPv6 brackets
    char port[Q_WS_PORT_SIZE];
    char path[Q_WS_PATH_SIZE];
    char protocol[Q_WS_PROTOCOL_SIZE]; // negotiated subprotocol, "" for none
    // Set after a successful handshake; cleared once the closing handshake
    // ran or must be skipped (the peer is gone or already closed).
    int open;
    unsigned char buf[Q_WS_READ_BUF]; // bytes received, not yet framed
    size_t rpos, fill;
    Q_WS_FRAME_READER reader;
};

// Connect options; zero-initialise and set what is needed.
struct Q_WS_OPTIONS {
    const char *subprotocols; // "Sec-WebSocket-Protocol" value
    const char *origin;       // "Origin" value
    const char *extra_header; // one complete header line, without CR LF
    int verify;               // non-zero checks the server certificate
    const char *ca_file;      // PEM bundle
    int connect_timeout_ms;   // <= 0: 15000; also bounds the handshake
    const char *proxy;        // http:// proxy URL, optionally with credentials
    int lenient_accept;       // non-zero accepts a wrong Sec-WebSocket-Accept
    char *error;              // receives the failure text
    size_t error_cap;
    Q_HTTPC_CANCEL *cancel; // stops a connect or handshake in progress
};

// Opens the connection, or returns nullptr with the reason in opts->error.
Q_WS_CONN *q_ws_connect_ex(const char *url, const Q_WS_OPTIONS *opts);
// One final frame, masked with a fresh key. 0 or -1.
int q_ws_send(Q_WS_CONN *conn, const void *bytes, size_t len, int opcode);
// Blocks until a whole frame has arrived. 0, or -1 (the connection is then
// no longer open).
int q_ws_recv(Q_WS_CONN *conn, Q_WS_MSG *msg);
// 1 with a frame, 0 when none completed within ms (a partly received frame
// is kept for the next call), -1 on error.
int q_ws_recv_timeout(Q_WS_CONN *conn, Q_WS_MSG *msg, int ms);
// The closing handshake when still open, then the socket is closed.
void q_ws_close(Q_WS_CONN *conn);
// Closes when still open, frees and clears the reference.
void q_ws_conn_free(Q_WS_CONN **conn);
// The negotiated subprotocol, or "".
const char *q_ws_protocol(const Q_WS_CONN *conn);
// The socket, for binding a cancel token; -1 when closed.
int q_ws_socket(const Q_WS_CONN *conn);
