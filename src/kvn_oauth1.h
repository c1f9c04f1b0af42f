#pragma once
// OAuth 1.0 HMAC-SHA1 request signing and Keystone's OS-OAUTH1 token calls.

#include <cstddef>
#include <cstdint>

struct KVN_SESSION;
struct Q_HTTPC_CANCEL;

struct KVN_OAUTH1_TOKEN {
    char token[256];
    char token_secret[256]; // zeroed by the caller when done
    char expires_at[64];
};

// The complete "Authorization: OAuth ..." line (no CR LF). Empty texts and
// null are the same; a null nonce or timestamp <= 0 are drawn fresh.
int kvn_oauth1_header(const char *method, const char *url, const char *consumer_key, const char *consumer_secret,
                      const char *token, const char *token_secret, const char *verifier, const char *callback,
                      const char *nonce, int64_t timestamp, char *out, size_t size);
int kvn_oauth1_request_token(KVN_SESSION *s, const char *consumer_key, const char *consumer_secret,
                             const char *project_id, KVN_OAUTH1_TOKEN *out, char *err, size_t err_size,
                             Q_HTTPC_CANCEL *cancel);
int kvn_oauth1_access_token(KVN_SESSION *s, const char *consumer_key, const char *consumer_secret,
                            const char *request_token, const char *request_secret, const char *verifier,
                            KVN_OAUTH1_TOKEN *out, char *err, size_t err_size, Q_HTTPC_CANCEL *cancel);
int kvn_oauth1_encode(const void *bytes, size_t len, char *out, size_t size);
void kvn_form_decode(const char *bytes, size_t len, char *out, size_t size);
