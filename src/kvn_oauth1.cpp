#include "kvn_oauth1.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "kvn_session.h"
#include "q_base64.h"
#include "q_common.h"
#include "q_digest.h"
#include "q_random.h"

namespace {
const size_t k_max_params = 48;
const size_t k_part_max = 1023;

bool _encode(const std::string &in, std::string *out) {
    std::vector<char> buf(in.size() * 3 + 1);
    if (kvn_oauth1_encode(in.data(), in.size(), buf.data(), buf.size()) != 0) return false;
    *out = buf.data();
    q_secure_zero(buf.data(), buf.size());
    return true;
}

std::string _form_decode(const std::string &in) {
    std::vector<char> buf(in.size() + 1);
    kvn_form_decode(in.data(), in.size(), buf.data(), buf.size());
    return buf.data();
}

int _hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The shared part of the two token calls.
int _token_call(KVN_SESSION *s, const char *path, const char *consumer_key, const char *consumer_secret,
                const char *token, const char *token_secret, const char *verifier, const char *callback,
                const char *extra_header, KVN_OAUTH1_TOKEN *out, char *err, size_t err_size,
                Q_HTTPC_CANCEL *cancel) {
    memset(out, 0, sizeof *out);
    if (err && err_size) err[0] = 0;
    char base[KVN_URL_MAX];
    if (kvn_session_endpoint(s, "identity", base, sizeof base) != 0) {
        q_strcpy(err, err_size, "no identity endpoint");
        return -1;
    }
    char url[KVN_URL_MAX];
    kvn_url_join(base, path, url, sizeof url);
    char header[4096];
    if (kvn_oauth1_header("POST", url, consumer_key, consumer_secret, token, token_secret, verifier, callback,
                          nullptr, 0, header, sizeof header) != 0) {
        q_strcpy(err, err_size, "cannot sign the request");
        return -1;
    }
    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    o.has_microversion = 1;
    o.no_reauth = 1; // the nonce is good for one use
    q_strcpy(o.extra_headers[0], sizeof o.extra_headers[0], header);
    if (extra_header) q_strcpy(o.extra_headers[1], sizeof o.extra_headers[1], extra_header);
    KVN_RESULT *r = kvn_session_call(s, "identity", "POST", path, nullptr, &o, cancel);
    q_secure_zero(header, sizeof header);
    q_secure_zero(&o, sizeof o);
    if (!r) {
        q_strcpy(err, err_size, "no answer");
        return -1;
    }
    int rc = -1;
    if (kvn_result_ok(r)) {
        // Read in place: the answer holds the token secret.
        const char *t = r->text ? r->text : "";
        while (*t) {
            size_t n = strcspn(t, "&\r\n");
            const char *eq = static_cast<const char *>(memchr(t, '=', n));
            if (eq) {
                size_t klen = (size_t)(eq - t);
                char *dst = nullptr;
                size_t cap = 0;
                if (klen == 11 && !strncmp(t, "oauth_token", klen))
                    dst = out->token, cap = sizeof out->token;
                else if (klen == 18 && !strncmp(t, "oauth_token_secret", klen))
                    dst = out->token_secret, cap = sizeof out->token_secret;
                else if (klen == 16 && !strncmp(t, "oauth_expires_at", klen))
                    dst = out->expires_at, cap = sizeof out->expires_at;
                if (dst) kvn_form_decode(eq + 1, n - klen - 1, dst, cap);
            }
            t += n;
            if (*t) t++;
        }
        if (out->token[0] && out->token_secret[0])
            rc = 0;
        else
            q_strcpy(err, err_size, "unexpected answer (no oauth_token / oauth_token_secret)");
    } else {
        q_strcpy(err, err_size, r->error[0] ? r->error : "no answer");
    }
    kvn_result_free(&r); // wipes the answer
    return rc;
}
} // namespace

int kvn_oauth1_encode(const void *bytes, size_t len, char *out, size_t size) {
    if (!out || !size) return -1;
    static const char hex[] = "0123456789ABCDEF";
    const unsigned char *b = static_cast<const unsigned char *>(bytes);
    size_t o = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = b[i];
        bool keep = isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
        size_t need = keep ? 1 : 3;
        if (o + need >= size) {
            out[0] = 0;
            return -1;
        }
        if (keep) {
            out[o++] = (char)c;
        } else {
            out[o++] = '%';
            out[o++] = hex[c >> 4];
            out[o++] = hex[c & 15];
        }
    }
    out[o] = 0;
    return 0;
}

void kvn_form_decode(const char *bytes, size_t len, char *out, size_t size) {
    if (!out || !size) return;
    size_t o = 0;
    for (size_t i = 0; i < len && o + 1 < size; i++) {
        char c = bytes[i];
        if (c == '+') {
            out[o++] = ' ';
        } else if (c == '%' && i + 2 < len && _hexval(bytes[i + 1]) >= 0 && _hexval(bytes[i + 2]) >= 0) {
            out[o++] = (char)(_hexval(bytes[i + 1]) * 16 + _hexval(bytes[i + 2]));
            i += 2;
        } else {
            out[o++] = c;
        }
    }
    out[o] = 0;
}

int kvn_oauth1_header(const char *method, const char *url, const char *consumer_key,
                      const char *consumer_secret, const char *token, const char *token_secret,
                      const char *verifier, const char *callback, const char *nonce, int64_t timestamp,
                      char *out, size_t size) {
    if (out && size) out[0] = 0;
    if (!method || !url || !out || !size) return -1;
    Q_HTTPC_URL u;
    if (q_httpc_parse_url(url, &u) != 0) return -1;

    char nonce_buf[33];
    if (!nonce || !*nonce) {
        uint8_t raw[16];
        if (q_random_bytes(raw, sizeof raw) != 0) return -1;
        for (int i = 0; i < 16; i++)
            snprintf(nonce_buf + i * 2, 3, "%02x", raw[i]);
        nonce = nonce_buf;
    }
    if (timestamp <= 0) timestamp = (int64_t)time(nullptr);
    std::string ts = std::to_string((long long)timestamp);

    const std::pair<const char *, const char *> protocol[] = {
        {"oauth_consumer_key", consumer_key},
        {"oauth_nonce", nonce},
        {"oauth_signature_method", "HMAC-SHA1"},
        {"oauth_timestamp", ts.c_str()},
        {"oauth_version", "1.0"},
        {"oauth_token", token},
        {"oauth_verifier", verifier},
        {"oauth_callback", callback},
    };
    std::vector<std::pair<std::string, std::string>> params, header_params;
    for (const auto &p : protocol) {
        if (!p.second || !*p.second) continue;
        std::string n, v;
        if (strlen(p.second) > k_part_max || !_encode(p.first, &n) || !_encode(p.second, &v)) return -1;
        params.emplace_back(n, v);
        header_params.emplace_back(n, v);
    }

    std::string path = u.path, query;
    size_t q = path.find('?');
    if (q != std::string::npos) {
        query = path.substr(q + 1);
        path.resize(q);
    }
    size_t start = 0;
    while (!query.empty() && start <= query.size()) {
        size_t amp = query.find('&', start);
        std::string piece = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        if (!piece.empty()) {
            size_t eq = piece.find('=');
            std::string name = _form_decode(piece.substr(0, eq));
            std::string value = eq == std::string::npos ? "" : _form_decode(piece.substr(eq + 1));
            std::string n, v;
            if (name.size() > k_part_max || value.size() > k_part_max || !_encode(name, &n) ||
                !_encode(value, &v))
                return -1;
            params.emplace_back(n, v);
        }
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    if (params.size() > k_max_params) return -1;

    std::string host = u.host;
    for (char &c : host)
        c = (char)tolower((unsigned char)c);
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::string scheme = u.tls ? "https" : "http";
    std::string base_url = scheme + "://" + host;
    if (!((u.tls && !strcmp(u.port, "443")) || (!u.tls && !strcmp(u.port, "80"))))
        base_url += std::string(":") + u.port;
    base_url += path;

    std::sort(params.begin(), params.end());
    std::string joined;
    for (const auto &p : params) {
        if (!joined.empty()) joined += "&";
        joined += p.first + "=" + p.second;
    }
    std::string em, eb, ej;
    if (!_encode(method, &em) || !_encode(base_url, &eb) || !_encode(joined, &ej)) return -1;
    std::string base_string = em + "&" + eb + "&" + ej;

    // The key is encoded straight into one buffer: no string copy of either
    // secret is left behind in freed memory.
    const char *csec = consumer_secret ? consumer_secret : "", *tsec = token_secret ? token_secret : "";
    size_t cs_len = strlen(csec), ts_len = strlen(tsec);
    std::vector<char> key(cs_len * 3 + 1 + ts_len * 3 + 1);
    int erc = kvn_oauth1_encode(csec, cs_len, key.data(), cs_len * 3 + 1);
    size_t at = strlen(key.data());
    key[at++] = '&';
    if (erc == 0) erc = kvn_oauth1_encode(tsec, ts_len, key.data() + at, key.size() - at);
    uint8_t digest[Q_SHA1_LEN];
    int hrc =
        erc == 0 ? q_hmac_sha1(key.data(), strlen(key.data()), base_string.data(), base_string.size(), digest)
                 : -1;
    q_secure_zero(key.data(), key.size());
    char b64[64];
    long blen = hrc == 0 ? q_base64_encode(digest, sizeof digest, b64, sizeof b64) : -1;
    q_secure_zero(digest, sizeof digest);
    std::string sig;
    if (blen < 0 || !_encode(b64, &sig)) return -1;

    std::string header = "Authorization: OAuth ";
    for (const auto &p : header_params)
        header += p.first + "=\"" + p.second + "\", ";
    header += "oauth_signature=\"" + sig + "\"";
    if (header.size() >= size) return -1;
    q_strcpy(out, size, header.c_str());
    q_secure_zero(header.data(), header.size());
    return 0;
}

int kvn_oauth1_request_token(KVN_SESSION *s, const char *consumer_key, const char *consumer_secret,
                             const char *project_id, KVN_OAUTH1_TOKEN *out, char *err, size_t err_size,
                             Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(s && out, -1);
    char extra[512];
    q_format(extra, sizeof extra, "Requested-Project-Id: %s", project_id ? project_id : "");
    return _token_call(s, "/OS-OAUTH1/request_token", consumer_key, consumer_secret, nullptr, nullptr,
                       nullptr, "oob", extra, out, err, err_size, cancel);
}

int kvn_oauth1_access_token(KVN_SESSION *s, const char *consumer_key, const char *consumer_secret,
                            const char *request_token, const char *request_secret, const char *verifier,
                            KVN_OAUTH1_TOKEN *out, char *err, size_t err_size, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(s && out, -1);
    return _token_call(s, "/OS-OAUTH1/access_token", consumer_key, consumer_secret, request_token,
                       request_secret, verifier, nullptr, nullptr, out, err, err_size, cancel);
}
