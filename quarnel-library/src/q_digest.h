#pragma once
// Hashes, HMACs, PBKDF2 and AES-256-GCM over OpenSSL. Every function returns
// 0 or -1; the failing step is logged at ERR, never the data.

#include <cstddef>
#include <cstdint>

enum { Q_SHA1_LEN = 20, Q_SHA256_LEN = 32, Q_GCM_TAG_LEN = 16, Q_GCM_NONCE_LEN = 12, Q_AES256_KEY_LEN = 32 };

int q_sha1(const void *data, size_t len, uint8_t out[Q_SHA1_LEN]);
int q_sha256(const void *data, size_t len, uint8_t out[Q_SHA256_LEN]);
int q_hmac_sha1(const void *key, size_t key_len, const void *data, size_t len, uint8_t out[Q_SHA1_LEN]);
int q_hmac_sha256(const void *key, size_t key_len, const void *data, size_t len, uint8_t out[Q_SHA256_LEN]);
int q_pbkdf2_sha256(const void *password, size_t password_len, const void *salt, size_t salt_len, int iterations,
                    uint8_t *out, size_t out_len);
// ct receives len bytes; tag receives Q_GCM_TAG_LEN bytes.
int q_aead_aes256gcm_encrypt(const uint8_t key[Q_AES256_KEY_LEN], const uint8_t nonce[Q_GCM_NONCE_LEN],
                             const void *aad, size_t aad_len, const void *pt, size_t len, uint8_t *ct,
                             uint8_t tag[Q_GCM_TAG_LEN]);
// Fails when the tag does not match (wrong key or altered data); pt is then
// zeroed.
int q_aead_aes256gcm_decrypt(const uint8_t key[Q_AES256_KEY_LEN], const uint8_t nonce[Q_GCM_NONCE_LEN],
                             const void *aad, size_t aad_len, const void *ct, size_t len,
                             const uint8_t tag[Q_GCM_TAG_LEN], uint8_t *pt);
