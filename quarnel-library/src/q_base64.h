#pragma once
// Base64 (RFC 4648, standard alphabet, padded) in caller buffers.

#include <cstddef>

// Encodes len bytes into dst of capacity cap (zero-terminated). Returns the
// encoded length, or -1 when dst is too small (dst is then left empty).
long q_base64_encode(const void *src, size_t len, char *dst, size_t cap);
// Decodes text (whitespace ignored, padding optional) into dst of capacity
// cap. Returns the decoded length, or -1 for bad input or a too small dst.
long q_base64_decode(const char *text, size_t len, void *dst, size_t cap);
