#include "kvn_profile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "kvn_paths.h"
#include "q_base64.h"
#include "q_common.h"
#include "q_digest.h"
#include "q_random.h"

namespace {
const int k_pbkdf2_iterations = 310000;
const size_t k_salt = 16;
const size_t k_header = k_salt + Q_GCM_NONCE_LEN + Q_GCM_TAG_LEN; // 44
const char k_aad[] = "v1:";

// Buffer that is zeroed before it is released: keys, plaintexts, blobs.
struct SECRET_BUF {
    std::vector<uint8_t> b;
    explicit SECRET_BUF(size_t n) : b(n) {}
    ~SECRET_BUF() { q_secure_zero(b.data(), b.size()); }
    uint8_t *data() { return b.data(); }
};

struct TEXT_FIELD {
    const char *key;
    size_t offset;
    size_t size;
};

#define KVN_PF(k) {#k, offsetof(KVN_PROFILE, k), sizeof(((KVN_PROFILE *)nullptr)->k)}
// The text members in the file's order (auth_type sits after auth_url).
const TEXT_FIELD k_before_type[] = {KVN_PF(name), KVN_PF(auth_url)};
const TEXT_FIELD k_after_type[] = {
    KVN_PF(username),          KVN_PF(user_id),
    KVN_PF(user_domain_name),  KVN_PF(user_domain_id),
    KVN_PF(project_name),      KVN_PF(project_id),
    KVN_PF(project_domain_name), KVN_PF(project_domain_id),
    KVN_PF(region),            KVN_PF(interface),
    KVN_PF(application_credential_id), KVN_PF(application_credential_name),
    KVN_PF(ca_file),
};
#undef KVN_PF

char *_field(KVN_PROFILE *p, const TEXT_FIELD &f) { return reinterpret_cast<char *>(p) + f.offset; }
const char *_field(const KVN_PROFILE *p, const TEXT_FIELD &f) {
    return reinterpret_cast<const char *>(p) + f.offset;
}

bool _profile_path(const char *name, char *out, size_t size) {
    if (!kvn_profile_name_valid(name)) return false;
    char rel[300];
    q_format(rel, sizeof rel, "profiles/%s.json", name);
    kvn_paths_data_file(out, size, rel);
    return true;
}

const char *_auth_type_text(int t) {
    return t == KVN_AUTH_APPCRED ? "v3applicationcredential" : t == KVN_AUTH_TOKEN ? "v3token" : "password";
}

int _derive(const char *master, const uint8_t *salt, uint8_t key[Q_AES256_KEY_LEN]) {
    return q_pbkdf2_sha256(master, strlen(master), salt, k_salt, k_pbkdf2_iterations, key, Q_AES256_KEY_LEN);
}
} // namespace

void kvn_profile_defaults(KVN_PROFILE *p) {
    Q_GUARD_VOID(p);
    q_secure_zero(p, sizeof *p);
    q_strcpy(p->user_domain_name, sizeof p->user_domain_name, "Default");
    q_strcpy(p->project_domain_name, sizeof p->project_domain_name, "Default");
    q_strcpy(p->interface, sizeof p->interface, "public");
}

int kvn_profile_name_valid(const char *name) {
    if (!name || !*name || name[0] == '.') return 0;
    size_t n = strlen(name);
    if (n > 247) return 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)name[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
                  c == '-' || c == '.' || c == '_';
        if (!ok) return 0;
    }
    return 1;
}

int kvn_auth_type_from_text(const char *t) {
    if (!t) return KVN_AUTH_PASSWORD;
    if (!strcmp(t, "v3applicationcredential") || !strcmp(t, "applicationcredential")) return KVN_AUTH_APPCRED;
    if (!strcmp(t, "v3token") || !strcmp(t, "token")) return KVN_AUTH_TOKEN;
    return KVN_AUTH_PASSWORD;
}

int kvn_profile_save(const KVN_PROFILE *p) {
    Q_GUARD(p, -1);
    char path[KVN_PATH_MAX];
    if (!_profile_path(p->name, path, sizeof path)) return -1;
    Q_CJSON root(cJSON_CreateObject());
    if (!root) return -1;
    cJSON *r = root.get();
    for (const auto &f : k_before_type)
        if (*_field(p, f)) cJSON_AddStringToObject(r, f.key, _field(p, f));
    cJSON_AddStringToObject(r, "auth_type", _auth_type_text(p->auth_type));
    for (const auto &f : k_after_type)
        if (*_field(p, f)) cJSON_AddStringToObject(r, f.key, _field(p, f));
    cJSON_AddBoolToObject(r, "insecure", p->insecure != 0);
    cJSON_AddBoolToObject(r, "store_secret", p->store_secret != 0);
    if (p->store_secret && p->vault[0]) cJSON_AddStringToObject(r, "vault", p->vault);
    Q_CBUF text(cJSON_Print(r));
    if (!text) return -1;
    int rc = kvn_paths_write_atomic(path, text.get(), strlen(text.get()), 1);
    // The printed text may hold the sealed secret; no reason to leave it around.
    q_secure_zero_str(text.get());
    return rc;
}

int kvn_profile_from_json(const char *text, KVN_PROFILE *p) {
    Q_GUARD(text && p, -1);
    Q_CJSON root(cJSON_Parse(text));
    if (!cJSON_IsObject(root.get())) return -1;
    const cJSON *r = root.get();
    kvn_profile_defaults(p);
    auto copy = [&](const TEXT_FIELD &f) {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(r, f.key);
        if (cJSON_IsString(v)) q_strcpy(_field(p, f), f.size, v->valuestring);
    };
    for (const auto &f : k_before_type) copy(f);
    for (const auto &f : k_after_type) copy(f);
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(r, "auth_type");
    p->auth_type = kvn_auth_type_from_text(cJSON_IsString(t) ? t->valuestring : nullptr);
    p->insecure = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(r, "insecure"));
    p->store_secret = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(r, "store_secret"));
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(r, "vault");
    if (cJSON_IsString(v)) q_strcpy(p->vault, sizeof p->vault, v->valuestring);
    if (!p->interface[0]) q_strcpy(p->interface, sizeof p->interface, "public");
    return 0;
}

int kvn_profile_load(const char *name, KVN_PROFILE *p) {
    Q_GUARD(p, -1);
    char path[KVN_PATH_MAX];
    if (!_profile_path(name, path, sizeof path)) return -1;
    size_t len = 0;
    Q_CBUF text(kvn_paths_read_file(path, KVN_READ_CAP, &len));
    if (!text) return -1;
    int rc = kvn_profile_from_json(text.get(), p);
    q_secure_zero(text.get(), len);
    if (rc != 0) return -1;
    if (!p->name[0]) q_strcpy(p->name, sizeof p->name, name);
    return 0;
}

int kvn_profile_delete(const char *name) {
    char path[KVN_PATH_MAX];
    if (!_profile_path(name, path, sizeof path)) return -1;
    return unlink(path) == 0 ? 0 : -1;
}

int kvn_profile_list(char ***out) {
    Q_GUARD(out, 0);
    *out = nullptr;
    char dir_path[KVN_PATH_MAX];
    kvn_paths_data_file(dir_path, sizeof dir_path, "profiles");
    DIR *dir = opendir(dir_path);
    if (!dir) return 0;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(dir)) {
        size_t len = strlen(e->d_name);
        if (len < 6 || strcmp(e->d_name + len - 5, ".json") != 0) continue;
        names.emplace_back(e->d_name, len - 5);
    }
    closedir(dir);
    if (names.empty()) return 0;
    std::sort(names.begin(), names.end());
    size_t cap = 8;
    while (cap < names.size()) cap *= 2;
    char **arr = static_cast<char **>(q_calloc_checked(cap, sizeof(char *), "arr", "char *", __LINE__, __FILE__));
    if (!arr) return 0;
    int n = 0;
    for (const auto &s : names) {
        arr[n] = strdup(s.c_str());
        if (!arr[n]) break;
        n++;
    }
    *out = arr;
    return n;
}

void kvn_profile_wipe_secret(KVN_PROFILE *p) {
    if (p) q_secure_zero(p->secret, sizeof p->secret);
}

int kvn_profile_vault_seal(KVN_PROFILE *p, const char *master) {
    Q_GUARD(p, -1);
    if (!master || !*master) return -1;
    size_t n = strnlen(p->secret, sizeof p->secret - 1);
    SECRET_BUF blob(k_header + n);
    uint8_t *salt = blob.data(), *nonce = salt + k_salt, *tag = nonce + Q_GCM_NONCE_LEN, *ct = tag + Q_GCM_TAG_LEN;
    if (q_random_bytes(salt, k_salt + Q_GCM_NONCE_LEN) != 0) return -1;
    SECRET_BUF key(Q_AES256_KEY_LEN);
    if (_derive(master, salt, key.data()) != 0) return -1;
    if (q_aead_aes256gcm_encrypt(key.data(), nonce, k_aad, 3, p->secret, n, ct, tag) != 0) return -1;
    char enc[sizeof p->vault];
    long elen = q_base64_encode(blob.data(), blob.b.size(), enc, sizeof enc);
    if (elen < 0 || (size_t)elen + 4 >= sizeof p->vault) return -1;
    q_format(p->vault, sizeof p->vault, "v1:%s", enc);
    return 0;
}

int kvn_profile_vault_open(KVN_PROFILE *p, const char *master) {
    Q_GUARD(p, -1);
    if (!master || strncmp(p->vault, "v1:", 3) != 0) return -1;
    SECRET_BUF blob(sizeof p->vault);
    long len = q_base64_decode(p->vault + 3, strlen(p->vault + 3), blob.data(), blob.b.size());
    if (len < (long)k_header || (size_t)len - k_header >= sizeof p->secret) return -1;
    size_t n = (size_t)len - k_header;
    uint8_t *salt = blob.data(), *nonce = salt + k_salt, *tag = nonce + Q_GCM_NONCE_LEN, *ct = tag + Q_GCM_TAG_LEN;
    SECRET_BUF key(Q_AES256_KEY_LEN);
    if (_derive(master, salt, key.data()) != 0) return -1;
    SECRET_BUF plain(n + 1);
    if (q_aead_aes256gcm_decrypt(key.data(), nonce, k_aad, 3, ct, n, tag, plain.data()) != 0) return -1;
    q_secure_zero(p->secret, sizeof p->secret);
    memcpy(p->secret, plain.data(), n);
    p->secret[n] = 0;
    return 0;
}
