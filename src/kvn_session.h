#pragma once
// The live connection to one cloud: a Keystone v3 token, the identity and
// project it is scoped to, the service catalog as an endpoint table, and the
// call layer every API request goes through.

#include <cJSON.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

#include "kvn_profile.h"
#include "q_http_client.h"

enum { KVN_MAX_ENDPOINTS = 256, KVN_MAX_MICROVERSIONS = 64, KVN_TOKEN_MAX = 8192, KVN_URL_MAX = 4096 };

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

struct KVN_RESULT {
    int status; // 0 when no answer came
    cJSON *json;
    char *text;
    char error[1024];
    char request_id[256];
    char location[2048];
    int64_t elapsed; // microseconds
    int cancelled;
};

struct KVN_CALL_OPTS {
    // Absent: negotiated; "": none sent and nothing negotiated.
    const char *microversion;
    const char *content_type;
    const char *extra_headers[2]; // complete "Name: value" lines
    const char *raw_body;
    FILE *upload_file;
    int64_t upload_size;
    FILE *download_file;
    Q_HTTPC_PROGRESS progress;
    void *progress_user;
    int absolute; // the path is a complete URL
};

const char *kvn_service_alias(const char *type);
int kvn_identity_v3_url(const char *auth_url, char *out, size_t size);
int64_t kvn_parse_iso_time(const char *text);

KVN_SESSION *kvn_session_new(const KVN_PROFILE *profile);
// Another holder of the session; each holder lets go with kvn_session_free,
// and the last one frees it, so a late worker never meets a freed session.
KVN_SESSION *kvn_session_ref(KVN_SESSION *session);
void kvn_session_free(KVN_SESSION **session);
int kvn_session_authenticate(KVN_SESSION *s, Q_HTTPC_CANCEL *cancel);
int kvn_session_rescope(KVN_SESSION *s, const char *project_id, Q_HTTPC_CANCEL *cancel);
int kvn_session_endpoint(KVN_SESSION *s, const char *type, char *out, size_t size);
int kvn_session_has_service(KVN_SESSION *s, const char *type);
int kvn_session_regions(KVN_SESSION *s, const char **out, int capacity);
int kvn_session_is_admin(KVN_SESSION *s);
// Copies the last authentication error under the lock.
void kvn_session_last_error(KVN_SESSION *s, char *out, size_t size);

KVN_RESULT *kvn_session_call(KVN_SESSION *s, const char *service, const char *method, const char *path,
                             const cJSON *body, const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel);
KVN_RESULT *kvn_call(KVN_SESSION *s, const char *service, const char *method, const char *path, const cJSON *body,
                     const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel);
KVN_RESULT *kvn_call_paged(KVN_SESSION *s, const char *service, const char *path, const char *key,
                           Q_HTTPC_CANCEL *cancel);
int kvn_session_microversion(KVN_SESSION *s, const char *service, char *out, size_t size, Q_HTTPC_CANCEL *cancel);
int kvn_result_ok(const KVN_RESULT *r);
void kvn_result_free(KVN_RESULT **r);
void kvn_http_error_text(int status, const char *body, char *out, size_t size);
const char *kvn_next_link(const cJSON *answer, const char *key);
void kvn_url_join(const char *base, const char *path, char *out, size_t size);
