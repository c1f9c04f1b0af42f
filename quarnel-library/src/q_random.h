#pragma once
// Cryptographically strong random bytes from the kernel.

#include <cstddef>

// Fills buf with len random bytes. Returns 0, or -1 (logged at ERR) when the
// kernel source fails; never falls back to a weaker source.
int q_random_bytes(void *buf, size_t len);
