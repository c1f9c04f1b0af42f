#pragma once
// The live connection to one cloud: a Keystone v3 token, the identity and
// project it is scoped to, the service catalog as an endpoint table, and the
// call layer every API request goes through.

#include <cJSON.h>
#include <cstddef>
#include <cstdint>

#include "kvn_profile.h"
#include "q_http_client.h"

enum { KVN_MAX_ENDPOINTS = 256, KVN_MAX_MICROVERSIONS = 64, KVN_TOKEN_MAX = 8192, KVN_URL_MAX = 4096 };

// The live session; its record is the module's own, read through the
// functions below.
struct KVN_SESSION;

// What a caller may know of the session's identity, copied under its lock.
struct KVN_SESSION_INFO {
    char user_id[256];
    char user_name[256];
    char project_id[256];
    char project_name[256];
    char project_domain_name[256];
    char roles[1024]; // role names joined with ","
    int64_t expires;  // epoch seconds, 0 when unknown
    int endpoint_count;
    int has_token;
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
    int broken; // an answer came (status kept for display) but its body did not arrive whole
};

enum { KVN_HEADER_LINE_MAX = 4096 };

// Everything about a call besides its service, method, path and JSON body.
// Zero it, then set what is needed.
struct KVN_CALL_OPTS {
    char microversion[16];
    int has_microversion; // 0: negotiated; 1 with "": none sent and nothing negotiated
    char content_type[128];
    char extra_headers[2][KVN_HEADER_LINE_MAX]; // complete "Name: value" lines, empty for none
    const char *raw_body;                       // sent instead of the JSON body
    char upload_path[4096];                     // its bytes are the body
    char download_path[2048];                   // receives a 2xx body; removed when the call fails
    Q_HTTPC_PROGRESS progress;
    void *progress_user;
    int absolute;  // the path is a complete URL
    int no_reauth; // a 401 is returned as it is, never sent again after a new token
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
// One entry of the catalog's endpoint table, copied under the lock.
struct KVN_ENDPOINT_INFO {
    char type[64];
    char region[256];
    char interface[16];
    char url[2048];
};
// The endpoint at an index of the table, in catalog order; -1 past its end.
int kvn_session_endpoint_at(KVN_SESSION *s, int index, KVN_ENDPOINT_INFO *out);
// Fills info from the session; -1 without a session.
int kvn_session_info(KVN_SESSION *s, KVN_SESSION_INFO *info);
// Copies the current token: 0, or -1 when there is none or it does not fit.
// The caller wipes the copy.
int kvn_session_token(KVN_SESSION *s, char *out, size_t size);
// Copies the session's profile, clear secret included: the caller wipes it.
int kvn_session_profile(KVN_SESSION *s, KVN_PROFILE *out);
// Replaces the session's profile (the old copy is wiped); token, identity and
// catalog stay until the next authentication.
int kvn_session_set_profile(KVN_SESSION *s, const KVN_PROFILE *profile);
// Sets the token's expiry (epoch seconds), as if the token answer had said
// so: for tools and tests that age a token.
void kvn_session_set_expires(KVN_SESSION *s, int64_t expires);
// Appends an endpoint to the catalog table, as an answer's catalog would:
// for tools and tests that have no token answer. -1 when the table is full.
int kvn_session_add_endpoint(KVN_SESSION *s, const char *type, const char *interface, const char *region,
                             const char *url);
// The cached microversion range of a service: 1 when negotiated, else 0.
int kvn_session_cached_microversion(KVN_SESSION *s, const char *service, char *min, size_t min_size,
                                    char *max, size_t max_size);

KVN_RESULT *kvn_session_call(KVN_SESSION *s, const char *service, const char *method, const char *path,
                             const cJSON *body, const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel);
KVN_RESULT *kvn_call(KVN_SESSION *s, const char *service, const char *method, const char *path,
                     const cJSON *body, const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel);
KVN_RESULT *kvn_call_paged(KVN_SESSION *s, const char *service, const char *path, const char *key,
                           Q_HTTPC_CANCEL *cancel);
// The same with the call's options (microversion, extra headers) on every
// page; files, raw bodies and progress are for single calls and not used on
// the following pages.
KVN_RESULT *kvn_call_paged_opts(KVN_SESSION *s, const char *service, const char *path, const char *key,
                                const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel);
int kvn_session_microversion(KVN_SESSION *s, const char *service, char *out, size_t size,
                             Q_HTTPC_CANCEL *cancel);
int kvn_result_ok(const KVN_RESULT *r);
void kvn_result_free(KVN_RESULT **r);
void kvn_http_error_text(int status, const char *body, char *out, size_t size);
const char *kvn_next_link(const cJSON *answer, const char *key);
void kvn_url_join(const char *base, const char *path, char *out, size_t size);
// The URL of the next page for a next link, against the service's base URL:
// scheme, host and port always come from the base; a link path that lacks
// the base's path prefix (the part before its version segment) is placed
// under it. 0, or -1 for a link that is no path or URL, or too long.
int kvn_page_url(const char *base, const char *link, char *out, size_t size);
