#include "q_base64.h"

#include "q_common.h"

namespace {
const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int _value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
} // namespace

long q_base64_encode(const void *src, size_t len, char *dst, size_t cap) {
    Q_GUARD(dst && cap > 0 && (src || len == 0), -1);
    size_t need = (len + 2) / 3 * 4;
    if (need + 1 > cap) {
        dst[0] = 0;
        return -1;
    }
    const unsigned char *s = static_cast<const unsigned char *>(src);
    char *o = dst;
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        unsigned v = (unsigned)s[i] << 16 | (unsigned)s[i + 1] << 8 | s[i + 2];
        *o++ = B64[v >> 18];
        *o++ = B64[(v >> 12) & 63];
        *o++ = B64[(v >> 6) & 63];
        *o++ = B64[v & 63];
    }
    if (i < len) {
        unsigned v = (unsigned)s[i] << 16 | (i + 1 < len ? (unsigned)s[i + 1] << 8 : 0u);
        *o++ = B64[v >> 18];
        *o++ = B64[(v >> 12) & 63];
        *o++ = i + 1 < len ? B64[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    *o = 0;
    return (long)(o - dst);
}

long q_base64_decode(const char *text, size_t len, void *dst, size_t cap) {
    Q_GUARD(text && (dst || cap == 0), -1);
    unsigned char *out = static_cast<unsigned char *>(dst);
    size_t n = 0;
    unsigned acc = 0;
    int bits = 0, pad = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            pad++;
            continue;
        }
        int v = _value(c);
        // Data after padding, or a byte outside the alphabet, is not Base64.
        if (v < 0 || pad) return -1;
        acc = acc << 6 | (unsigned)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (n >= cap) return -1;
            out[n++] = (unsigned char)(acc >> bits);
        }
    }
    // Six leftover bits cannot come from whole bytes; more than two pads is junk.
    if (bits >= 6 || pad > 2) return -1;
    return (long)n;
}
