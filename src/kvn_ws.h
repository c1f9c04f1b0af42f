#pragma once
// The console's WebSocket: negotiates the "base64" subprotocol, decodes and
// encodes its payloads, answers pings and closes, and hands received bytes
// out in pieces of any size. One console thread owns an adapter; only its
// cancel token is shared with another thread.

#include <cstddef>

#include "q_str.h"
#include "q_ws.h"

struct Q_HTTPC_CANCEL;

struct KVN_WS {
    Q_WS_CONN *conn;
    Q_HTTPC_CANCEL *cancel; // the console's, not owned
    Q_STR *pending;         // decoded bytes not yet read
    size_t pending_off;
    // Base64 text of a message whose final fragment has not arrived yet.
    Q_STR *partial;
    int base64;
    int closed;
};

// Opens the console WebSocket. opts may be null; its origin, proxy, time-out
// and error destination are filled in here. Returns nullptr with the reason
// in err.
KVN_WS *kvn_ws_connect(const char *url, const Q_WS_OPTIONS *opts, Q_HTTPC_CANCEL *cancel, char *err,
                       size_t err_cap);
// One frame of bytes (Base64 text in Base64 mode). 0, or -1 when closed or
// the send failed.
int kvn_ws_send(KVN_WS *ws, int opcode, const void *bytes, size_t len);
// Bytes copied into dst (at most cap), 0 when nothing arrived within ms, -1
// once the console is closed or failed.
long kvn_ws_recv(KVN_WS *ws, void *dst, size_t cap, int ms);
// Closes (politely unless the peer already closed), frees and clears the
// reference.
void kvn_ws_close(KVN_WS **ws);
