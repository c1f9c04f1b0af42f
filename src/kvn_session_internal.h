#pragma once
// The session record and the helpers its two source files share: the token,
// catalog and endpoint side (kvn_session.cpp) and the call layer
// (kvn_session_call.cpp). Nothing outside the module includes this.

#include <cstring>
#include <pthread.h>
#include <string>

#include "kvn_session.h"
#include "q_common.h"

struct KVN_ENDPOINT {
    char type[64]; // as the catalog spells it
    char name[64];
    char region[256];
    char interface[16];
    char url[2048];
};

struct KVN_MICROVERSION {
    char type[64]; // canonical
    char min[16];
    char max[16];
    int valid;
};

struct KVN_SESSION {
    pthread_mutex_t mutex; // guards every field below; never held across network I/O
    int refs;              // holders: the application and every request still running
    KVN_PROFILE profile;   // private copy, with the clear secret
    char *token;           // zeroed before it is freed
    int64_t expires;       // epoch seconds, 0 when unknown
    char user_id[256];
    char user_name[256];
    char project_id[256];
    char project_name[256];
    char project_domain_name[256];
    char roles[1024]; // role names joined with ","
    int endpoint_count;
    KVN_ENDPOINT endpoints[KVN_MAX_ENDPOINTS];
    int microversion_count;
    KVN_MICROVERSION microversions[KVN_MAX_MICROVERSIONS];
    cJSON *token_body;
    char last_error[1024];
};

namespace kvn_session_shared {
// Holds the session's mutex for one scope.
struct LOCK {
    pthread_mutex_t *m;
    explicit LOCK(KVN_SESSION *s) : m(&s->mutex) { pthread_mutex_lock(m); }
    ~LOCK() { pthread_mutex_unlock(m); }
    LOCK(const LOCK &) = delete;
    LOCK &operator=(const LOCK &) = delete;
};

// A text that held a token or a secret.
struct SECRET_TEXT {
    std::string s;
    ~SECRET_TEXT() { q_secure_zero(s.data(), s.size()); }
};

inline const char *jstr(const cJSON *o, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsString(v) ? v->valuestring : "";
}

inline bool ends_with(const std::string &s, const char *tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}
} // namespace kvn_session_shared
