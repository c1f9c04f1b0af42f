#include "q_digest.h"

#include <climits>
#include <memory>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "q_common.h"

namespace {
struct CTX_DELETER {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using CIPHER_CTX = std::unique_ptr<EVP_CIPHER_CTX, CTX_DELETER>;

int _digest(const EVP_MD *md, const void *data, size_t len, uint8_t *out) {
    unsigned int n = 0;
    if (EVP_Digest(data, len, out, &n, md, nullptr) != 1) {
        q_log(Q_LOG_ERR, "q_digest: digest failed");
        return -1;
    }
    return 0;
}

int _hmac(const EVP_MD *md, const void *key, size_t key_len, const void *data, size_t len, uint8_t *out) {
    unsigned int n = 0;
    if (key_len > INT_MAX || !HMAC(md, key, (int)key_len, static_cast<const unsigned char *>(data), len, out, &n)) {
        q_log(Q_LOG_ERR, "q_hmac: HMAC failed");
        return -1;
    }
    return 0;
}

int _fail(const char *fn, const char *step) {
    q_log(Q_LOG_ERR, "%s: %s failed", fn, step);
    return -1;
}
} // namespace

int q_sha1(const void *data, size_t len, uint8_t out[Q_SHA1_LEN]) { return _digest(EVP_sha1(), data, len, out); }

int q_sha256(const void *data, size_t len, uint8_t out[Q_SHA256_LEN]) {
    return _digest(EVP_sha256(), data, len, out);
}

int q_hmac_sha1(const void *key, size_t key_len, const void *data, size_t len, uint8_t out[Q_SHA1_LEN]) {
    return _hmac(EVP_sha1(), key, key_len, data, len, out);
}

int q_hmac_sha256(const void *key, size_t key_len, const void *data, size_t len, uint8_t out[Q_SHA256_LEN]) {
    return _hmac(EVP_sha256(), key, key_len, data, len, out);
}

int q_pbkdf2_sha256(const void *password, size_t password_len, const void *salt, size_t salt_len, int iterations,
                    uint8_t *out, size_t out_len) {
    if (password_len > INT_MAX || salt_len > INT_MAX || out_len > INT_MAX || iterations < 1)
        return _fail("q_pbkdf2_sha256", "argument check");
    if (PKCS5_PBKDF2_HMAC(static_cast<const char *>(password), (int)password_len,
                          static_cast<const unsigned char *>(salt), (int)salt_len, iterations, EVP_sha256(),
                          (int)out_len, out) != 1)
        return _fail("q_pbkdf2_sha256", "derivation");
    return 0;
}

int q_aead_aes256gcm_encrypt(const uint8_t key[Q_AES256_KEY_LEN], const uint8_t nonce[Q_GCM_NONCE_LEN],
                             const void *aad, size_t aad_len, const void *pt, size_t len, uint8_t *ct,
                             uint8_t tag[Q_GCM_TAG_LEN]) {
    const char *fn = "q_aead_aes256gcm_encrypt";
    if (len > INT_MAX || aad_len > INT_MAX) return _fail(fn, "argument check");
    CIPHER_CTX ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    if (!ctx) return _fail(fn, "context");
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1) return _fail(fn, "init");
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, Q_GCM_NONCE_LEN, nullptr) != 1)
        return _fail(fn, "set nonce length");
    if (EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key, nonce) != 1) return _fail(fn, "set key");
    if (aad_len && EVP_EncryptUpdate(ctx.get(), nullptr, &n, static_cast<const unsigned char *>(aad), (int)aad_len) != 1)
        return _fail(fn, "additional data");
    if (len && EVP_EncryptUpdate(ctx.get(), ct, &n, static_cast<const unsigned char *>(pt), (int)len) != 1)
        return _fail(fn, "encrypt");
    if (EVP_EncryptFinal_ex(ctx.get(), ct + (len ? n : 0), &n) != 1) return _fail(fn, "final");
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, Q_GCM_TAG_LEN, tag) != 1) return _fail(fn, "get tag");
    return 0;
}

int q_aead_aes256gcm_decrypt(const uint8_t key[Q_AES256_KEY_LEN], const uint8_t nonce[Q_GCM_NONCE_LEN],
                             const void *aad, size_t aad_len, const void *ct, size_t len,
                             const uint8_t tag[Q_GCM_TAG_LEN], uint8_t *pt) {
    const char *fn = "q_aead_aes256gcm_decrypt";
    if (len > INT_MAX || aad_len > INT_MAX) return _fail(fn, "argument check");
    CIPHER_CTX ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    if (!ctx) return _fail(fn, "context");
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1) return _fail(fn, "init");
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, Q_GCM_NONCE_LEN, nullptr) != 1)
        return _fail(fn, "set nonce length");
    if (EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, nonce) != 1) return _fail(fn, "set key");
    if (aad_len && EVP_DecryptUpdate(ctx.get(), nullptr, &n, static_cast<const unsigned char *>(aad), (int)aad_len) != 1)
        return _fail(fn, "additional data");
    if (len && EVP_DecryptUpdate(ctx.get(), pt, &n, static_cast<const unsigned char *>(ct), (int)len) != 1) {
        q_secure_zero(pt, len);
        return _fail(fn, "decrypt");
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, Q_GCM_TAG_LEN, const_cast<uint8_t *>(tag)) != 1) {
        q_secure_zero(pt, len);
        return _fail(fn, "set tag");
    }
    if (EVP_DecryptFinal_ex(ctx.get(), pt + (len ? n : 0), &n) != 1) {
        // The plaintext of a message that failed its tag must not be used.
        q_secure_zero(pt, len);
        return _fail(fn, "tag check");
    }
    return 0;
}
