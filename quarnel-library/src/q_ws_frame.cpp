// The WebSocket frame format, apart from the socket code so it can be tested
// and fuzzed alone: the resumable frame reader, frame heads and masking.
#include <cstdio>
#include <cstring>

#include "q_common.h"
#include "q_ws.h"

namespace {

// A payload buffer starts at most this large and grows with the bytes that
// arrive (at least doubling, never past the announced length), so a frame
// that announces 64 MiB and then stalls does not cost 64 MiB at once. Small
// steps cost a copy each: a 256-byte start cut receive throughput to a
// quarter in bench_ws.
constexpr size_t FIRST_ALLOC = 65536;

int _grow(Q_STR *s, size_t need, uint64_t length) {
    if (need + 1 <= s->size) return 0;
    size_t want = s->size * 2;
    if (want < need + 1) want = need + 1;
    if (want > length + 1) want = (size_t)length + 1;
    char *fresh = static_cast<char *>(q_calloc_checked(want, 1, "s->data", "char", __LINE__, __FILE__));
    if (!fresh) return -1;
    memcpy(fresh, s->data, s->length);
    q_secure_zero(s->data, s->size);
    free(s->data);
    s->data = fresh;
    s->size = want;
    return 0;
}

// Parses the complete head; 0, or -1 with the error set.
int _head_done(Q_WS_FRAME_READER *r) {
    const unsigned char *h = r->head;
    r->fin = h[0] >> 7;
    r->opcode = h[0] & 0x0f;
    unsigned len7 = h[1] & 0x7f;
    unsigned at = 2;
    uint64_t len = len7;
    if (len7 == 126) {
        len = (uint64_t)h[2] << 8 | h[3];
        at = 4;
    } else if (len7 == 127) {
        len = 0;
        for (unsigned i = 0; i < 8; i++)
            len = len << 8 | h[2 + i];
        at = 10;
    }
    if (len > Q_WS_MAX_PAYLOAD) {
        snprintf(r->error, sizeof r->error, "q_ws_recv: payload length %llu exceeds Q_WS_MAX_PAYLOAD (%zu)",
                 (unsigned long long)len, Q_WS_MAX_PAYLOAD);
        return -1;
    }
    if (r->masked) memcpy(r->mask, h + at, 4);
    r->length = len;
    size_t first = len < FIRST_ALLOC ? (size_t)len : FIRST_ALLOC;
    r->payload = new_qstr(first);
    if (!r->payload) {
        q_strcpy(r->error, sizeof r->error, "q_ws_recv: out of memory");
        return -1;
    }
    return 0;
}

} // namespace

void q_ws_mask(unsigned char *p, size_t len, const unsigned char mask[4], uint64_t offset) {
    if (!p || !mask) return;
    unsigned char m[4];
    for (unsigned i = 0; i < 4; i++)
        m[i] = mask[(offset + i) & 3];
    size_t i = 0;
    // Word-wise for the bulk: the mask repeats every 4 bytes, so an 8-byte
    // word sees it twice.
    uint64_t w;
    memcpy(&w, m, 4);
    memcpy(reinterpret_cast<unsigned char *>(&w) + 4, m, 4);
    for (; i + 8 <= len; i += 8) {
        uint64_t v;
        memcpy(&v, p + i, 8);
        v ^= w;
        memcpy(p + i, &v, 8);
    }
    for (; i < len; i++)
        p[i] ^= m[i & 3];
}

size_t q_ws_frame_head(unsigned char out[Q_WS_FRAME_HEAD_MAX], int opcode, uint64_t len,
                       const unsigned char *mask) {
    size_t n = 0;
    out[n++] = (unsigned char)(0x80 | (opcode & 0x0f));
    unsigned char mbit = mask ? 0x80 : 0;
    if (len < 126) {
        out[n++] = (unsigned char)(mbit | len);
    } else if (len <= 65535) {
        out[n++] = (unsigned char)(mbit | 126);
        out[n++] = (unsigned char)(len >> 8);
        out[n++] = (unsigned char)len;
    } else {
        out[n++] = (unsigned char)(mbit | 127);
        for (int i = 7; i >= 0; i--)
            out[n++] = (unsigned char)(len >> (i * 8));
    }
    if (mask) {
        memcpy(out + n, mask, 4);
        n += 4;
    }
    return n;
}

long q_ws_frame_read(Q_WS_FRAME_READER *r, const void *buf, size_t len) {
    Q_GUARD(r && (buf || len == 0) && !r->complete, -1);
    if (r->error[0]) return -1; // a refused frame leaves the stream out of step for good
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    size_t i = 0;
    while (i < len) {
        if (!r->payload) {
            r->head[r->head_len++] = p[i++];
            if (r->head_len == 2) {
                r->masked = r->head[1] >> 7;
                unsigned len7 = r->head[1] & 0x7f;
                r->head_need = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (r->masked ? 4 : 0);
            }
            if (r->head_len < 2 || r->head_len < r->head_need) continue;
            if (_head_done(r) != 0) return -1;
            if (r->length == 0) {
                r->complete = 1;
                return (long)i;
            }
            continue;
        }
        size_t take = len - i;
        if ((uint64_t)take > r->length - r->got) take = (size_t)(r->length - r->got);
        Q_STR *s = r->payload;
        if (_grow(s, s->length + take, r->length) != 0) {
            q_strcpy(r->error, sizeof r->error, "q_ws_recv: out of memory");
            return -1;
        }
        unsigned char *dst = reinterpret_cast<unsigned char *>(s->data) + s->length;
        memcpy(dst, p + i, take);
        if (r->masked) q_ws_mask(dst, take, r->mask, r->got);
        s->length += take;
        s->data[s->length] = 0;
        r->got += take;
        i += take;
        if (r->got == r->length) {
            r->complete = 1;
            return (long)i;
        }
    }
    return -2;
}

int q_ws_frame_take(Q_WS_FRAME_READER *r, Q_WS_MSG *msg) {
    Q_GUARD(r && msg && r->complete, -1);
    msg->opcode = r->opcode;
    msg->fin = r->fin;
    msg->masked = r->masked;
    msg->payload = r->payload;
    r->payload = nullptr;
    q_ws_frame_reset(r);
    return 0;
}

void q_ws_frame_reset(Q_WS_FRAME_READER *r) {
    if (!r) return;
    if (r->payload) free_qstr(&r->payload);
    q_secure_zero(r, sizeof *r);
}

void q_ws_msg_clear(Q_WS_MSG *msg) {
    if (!msg) return;
    if (msg->payload) free_qstr(&msg->payload);
    msg->opcode = msg->fin = msg->masked = 0;
}
