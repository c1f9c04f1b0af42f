#include "kvn_session.h"

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvn_session_internal.h"
#include "q_common.h"

using namespace kvn_session_shared;

namespace {
struct ALIAS {
    const char *from, *to;
};
const ALIAS k_aliases[] = {
    {"volume", "block-storage"},
    {"volumev2", "block-storage"},
    {"volumev3", "block-storage"},
    {"block-store", "block-storage"},
    {"sharev2", "shared-file-system"},
    {"share", "shared-file-system"},
    {"workflowv2", "workflow"},
    {"object-store", "object-store"},
    {"appcontainer", "container"},
    {"registration", "admin-logic"},
    {"cloudformation", "orchestration"},
    {"messaging", "message"},
    {"infra-optim", "resource-optimization"},
};

// A profile copy that carries the clear secret; wiped when it goes.
struct PROFILE_COPY {
    KVN_PROFILE p;
    ~PROFILE_COPY() { q_secure_zero(&p, sizeof p); }
};

void _set_error(KVN_SESSION *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void _set_error(KVN_SESSION *s, const char *fmt, ...) {
    LOCK lock(s);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s->last_error, sizeof s->last_error, fmt, ap);
    va_end(ap);
}

void _add_domain(cJSON *o, const char *id, const char *name) {
    if (*id)
        cJSON_AddItemToObject(cJSON_AddObjectToObject(o, "domain"), "id", cJSON_CreateString(id));
    else if (*name)
        cJSON_AddItemToObject(cJSON_AddObjectToObject(o, "domain"), "name", cJSON_CreateString(name));
}

cJSON *_user_ref(const KVN_PROFILE *p) {
    cJSON *u = cJSON_CreateObject();
    if (p->user_id[0]) {
        cJSON_AddStringToObject(u, "id", p->user_id);
    } else {
        cJSON_AddStringToObject(u, "name", p->username);
        _add_domain(u, p->user_domain_id, p->user_domain_name);
    }
    return u;
}

void _add_scope(cJSON *auth, const KVN_PROFILE *p, const char *project_override) {
    const char *pid = (project_override && *project_override) ? project_override : p->project_id;
    if (!*pid && !p->project_name[0]) return;
    cJSON *project = cJSON_AddObjectToObject(cJSON_AddObjectToObject(auth, "scope"), "project");
    if (*pid) {
        cJSON_AddStringToObject(project, "id", pid);
    } else {
        cJSON_AddStringToObject(project, "name", p->project_name);
        _add_domain(project, p->project_domain_id, p->project_domain_name);
    }
}

cJSON *_token_request(const KVN_PROFILE *p, const char *token, const char *project_override) {
    cJSON *root = cJSON_CreateObject();
    cJSON *auth = cJSON_AddObjectToObject(root, "auth");
    cJSON *identity = cJSON_AddObjectToObject(auth, "identity");
    cJSON *methods = cJSON_AddArrayToObject(identity, "methods");
    if (token) {
        cJSON_AddItemToArray(methods, cJSON_CreateString("token"));
        cJSON_AddStringToObject(cJSON_AddObjectToObject(identity, "token"), "id", token);
        _add_scope(auth, p, project_override);
    } else if (p->auth_type == KVN_AUTH_APPCRED) {
        cJSON_AddItemToArray(methods, cJSON_CreateString("application_credential"));
        cJSON *ac = cJSON_AddObjectToObject(identity, "application_credential");
        if (p->application_credential_id[0]) {
            cJSON_AddStringToObject(ac, "id", p->application_credential_id);
        } else {
            cJSON_AddStringToObject(ac, "name", p->application_credential_name);
            cJSON_AddItemToObject(ac, "user", _user_ref(p));
        }
        cJSON_AddStringToObject(ac, "secret", p->secret);
    } else if (p->auth_type == KVN_AUTH_TOKEN) {
        cJSON_AddItemToArray(methods, cJSON_CreateString("token"));
        cJSON_AddStringToObject(cJSON_AddObjectToObject(identity, "token"), "id", p->secret);
        _add_scope(auth, p, project_override);
    } else {
        cJSON_AddItemToArray(methods, cJSON_CreateString("password"));
        cJSON *user = _user_ref(p);
        cJSON_AddStringToObject(user, "password", p->secret);
        cJSON_AddItemToObject(cJSON_AddObjectToObject(identity, "password"), "user", user);
        _add_scope(auth, p, project_override);
    }
    return root;
}

void _walk_catalog(KVN_SESSION *s, const cJSON *catalog) {
    s->endpoint_count = 0;
    const cJSON *entry;
    cJSON_ArrayForEach(entry, q_json_array(catalog)) {
        const cJSON *eps = cJSON_GetObjectItemCaseSensitive(entry, "endpoints");
        const cJSON *ep;
        cJSON_ArrayForEach(ep, q_json_array(eps)) {
            if (s->endpoint_count >= KVN_MAX_ENDPOINTS) return;
            KVN_ENDPOINT *e = &s->endpoints[s->endpoint_count];
            memset(e, 0, sizeof *e);
            q_strcpy(e->type, sizeof e->type, jstr(entry, "type"));
            q_strcpy(e->name, sizeof e->name, jstr(entry, "name"));
            const char *region = jstr(ep, "region_id");
            q_strcpy(e->region, sizeof e->region, *region ? region : jstr(ep, "region"));
            q_strcpy(e->interface, sizeof e->interface, jstr(ep, "interface"));
            q_strcpy(e->url, sizeof e->url, jstr(ep, "url"));
            if (e->url[0]) s->endpoint_count++;
        }
    }
}

// Runs one token request; the session lock is taken only to copy the profile
// in and the outcome out.
int _do_auth(KVN_SESSION *s, const char *token, const char *project_override, Q_HTTPC_CANCEL *cancel) {
    PROFILE_COPY copy;
    SECRET_TEXT current_token;
    {
        LOCK lock(s);
        copy.p = s->profile;
        if (token) current_token.s = token;
    }
    char base[2048];
    if (kvn_identity_v3_url(copy.p.auth_url, base, sizeof base) != 0 || strlen(base) >= 2032) {
        _set_error(s, "authentication URL too long");
        return -1;
    }
    std::string url = std::string(base) + "/auth/tokens";

    Q_SECRET_CBUF printed;
    {
        Q_CJSON_SECRET body(
            _token_request(&copy.p, token ? current_token.s.c_str() : nullptr, project_override));
        printed.reset(q_json_print_secret(body.get(), 0));
    }
    if (!printed) {
        _set_error(s, "out of memory");
        return -1;
    }

    Q_HTTPC_REQ req;
    memset(&req, 0, sizeof req);
    req.method = "POST";
    req.url = url.c_str();
    req.body = printed.get();
    req.body_len = strlen(printed.get());
    req.insecure = copy.p.insecure;
    req.ca_file = copy.p.ca_file[0] ? copy.p.ca_file : nullptr;
    req.cancel = cancel;
    Q_HTTPC_RESP *resp = q_httpc_perform(&req);
    if (!resp) {
        _set_error(s, "out of memory");
        return -1;
    }

    int rc = -1;
    char *fresh = nullptr;
    char header[KVN_TOKEN_MAX];
    header[0] = 0;
    if (resp->status == 0 || resp->error[0]) {
        // Also an answer cut in its body: a token whose catalog and expiry
        // never arrived is worth nothing.
        _set_error(s, "%s", resp->error[0] ? resp->error : "no response");
    } else if (resp->status != 200 && resp->status != 201) {
        char err[1024];
        kvn_http_error_text(resp->status, q_httpc_resp_body(resp), err, sizeof err);
        _set_error(s, "authentication failed: %.900s", err);
    } else if (!q_httpc_resp_header(resp, "X-Subject-Token", header, sizeof header) || !header[0]) {
        _set_error(s, "authentication answer carries no X-Subject-Token");
    } else if (!(fresh = strdup(header))) {
        // The previous token, still good, stays.
        _set_error(s, "out of memory");
    } else {
        cJSON *answer = cJSON_Parse(q_httpc_resp_body(resp));
        const cJSON *tok = cJSON_GetObjectItemCaseSensitive(answer, "token");
        const cJSON *user = cJSON_GetObjectItemCaseSensitive(tok, "user");
        const cJSON *project = cJSON_GetObjectItemCaseSensitive(tok, "project");
        char expires[64];
        q_strcpy(expires, sizeof expires, jstr(tok, "expires_at"));
        std::string roles;
        const cJSON *role;
        const cJSON *role_list = cJSON_GetObjectItemCaseSensitive(tok, "roles");
        cJSON_ArrayForEach(role, q_json_array(role_list)) {
            if (!roles.empty()) roles += ",";
            roles += jstr(role, "name");
        }
        LOCK lock(s);
        if (s->token) {
            q_secure_zero_str(s->token);
            free(s->token);
        }
        s->token = fresh;
        s->expires = kvn_parse_iso_time(expires);
        q_strcpy(s->user_id, sizeof s->user_id, jstr(user, "id"));
        q_strcpy(s->user_name, sizeof s->user_name, jstr(user, "name"));
        q_strcpy(s->project_id, sizeof s->project_id, jstr(project, "id"));
        q_strcpy(s->project_name, sizeof s->project_name, jstr(project, "name"));
        q_strcpy(s->project_domain_name, sizeof s->project_domain_name,
                 jstr(cJSON_GetObjectItemCaseSensitive(project, "domain"), "name"));
        q_strcpy(s->roles, sizeof s->roles, roles.c_str());
        _walk_catalog(s, cJSON_GetObjectItemCaseSensitive(tok, "catalog"));
        s->microversion_count = 0;
        q_json_delete_secret(s->token_body);
        s->token_body = answer;
        s->last_error[0] = 0;
        q_log(Q_LOG_NOTICE, "authenticated as %s on project %s, %d endpoints", s->user_name, s->project_name,
              s->endpoint_count);
        rc = s->token ? 0 : -1;
    }
    q_secure_zero(header, sizeof header);
    // The answer's head carries the token too.
    if (resp->head) q_secure_zero(resp->head, resp->head_len);
    q_httpc_resp_free(&resp);
    return rc;
}

// Index of the selected endpoint for a canonical type, -1 for none. Lock held.
int _select_endpoint(KVN_SESSION *s, const char *canonical) {
    const char *want_if = s->profile.interface[0] ? s->profile.interface : "public";
    int best = -1, best_score = 0;
    for (int i = 0; i < s->endpoint_count; i++) {
        const KVN_ENDPOINT *e = &s->endpoints[i];
        if (strcmp(kvn_service_alias(e->type), canonical) != 0) continue;
        int score = 100;
        if (!strcmp(e->type, "block-storage") || !strcmp(e->type, "volumev3"))
            score = 0;
        else if (!strcmp(e->type, "volumev2"))
            score = 200;
        else if (!strcmp(e->type, "volume"))
            score = 300;
        else if (!strcmp(e->type, "cloudformation"))
            score = 500;
        if (strcmp(e->interface, want_if) != 0) score += 10;
        if (s->profile.region[0] && strcmp(e->region, s->profile.region) != 0) score += 1000;
        if (best < 0 || score < best_score) {
            best = i;
            best_score = score;
        }
    }
    return best;
}

void _strip_slashes(std::string *s) {
    while (!s->empty() && s->back() == '/')
        s->pop_back();
}

} // namespace

const char *kvn_service_alias(const char *type) {
    if (!type) return "";
    for (const auto &a : k_aliases)
        if (!strcmp(a.from, type)) return a.to;
    return type;
}

int kvn_identity_v3_url(const char *auth_url, char *out, size_t size) {
    std::string u = auth_url ? auth_url : "";
    _strip_slashes(&u);
    if (!ends_with(u, "/v3")) {
        if (ends_with(u, "/v2.0")) u.resize(u.size() - 5);
        u += "/v3";
    }
    q_strcpy(out, size, u.c_str());
    return u.size() < size ? 0 : -1;
}

int64_t kvn_parse_iso_time(const char *text) {
    if (!text) return 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    int n = sscanf(text, "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &sec);
    if (n < 3 || mo < 1 || mo > 12 || d < 1 || d > 31) return 0;
    if (n < 4) h = 0;
    if (n < 5) mi = 0;
    if (n < 6) sec = 0;
    // Days since 1970-01-01 in the proleptic Gregorian calendar.
    int64_t yy = y - (mo <= 2);
    int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
    int64_t yoe = yy - era * 400;
    int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    int64_t t = days * 86400 + (int64_t)h * 3600 + (int64_t)mi * 60 + sec;
    const char *p = strchr(text, 'T');
    if (p) {
        p++;
        while (isdigit((unsigned char)*p) || *p == ':' || *p == '.')
            p++;
        if (*p == '+' || *p == '-') {
            int oh = 0, om = 0;
            sscanf(p + 1, "%d:%d", &oh, &om);
            int64_t off = (int64_t)oh * 3600 + (int64_t)om * 60;
            t += *p == '+' ? -off : off;
        }
    }
    return t;
}

KVN_SESSION *kvn_session_new(const KVN_PROFILE *profile) {
    if (!profile) return nullptr;
    KVN_SESSION *s = nullptr;
    Q_CALLOC(s, 1, KVN_SESSION);
    if (!s) return nullptr;
    pthread_mutex_init(&s->mutex, nullptr);
    s->profile = *profile;
    s->refs = 1;
    return s;
}

KVN_SESSION *kvn_session_ref(KVN_SESSION *s) {
    if (!s) return nullptr;
    LOCK lock(s);
    s->refs++;
    return s;
}

void kvn_session_free(KVN_SESSION **ref) {
    if (!ref || !*ref) return;
    KVN_SESSION *s = *ref;
    *ref = nullptr;
    {
        LOCK lock(s);
        if (--s->refs > 0) return;
    }
    if (s->token) {
        q_secure_zero_str(s->token);
        free(s->token);
    }
    q_secure_zero(&s->profile, sizeof s->profile);
    q_json_delete_secret(s->token_body);
    pthread_mutex_destroy(&s->mutex);
    free(s);
}

int kvn_session_authenticate(KVN_SESSION *s, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(s, -1);
    bool has_url;
    {
        LOCK lock(s);
        has_url = s->profile.auth_url[0] != 0;
    }
    if (!has_url) {
        _set_error(s, "the profile has no authentication URL");
        return -1;
    }
    return _do_auth(s, nullptr, nullptr, cancel);
}

int kvn_session_rescope(KVN_SESSION *s, const char *project_id, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(s, -1);
    if (!project_id || !*project_id) return -1;
    SECRET_TEXT token;
    {
        LOCK lock(s);
        if (!s->token) return -1;
        token.s = s->token;
    }
    if (_do_auth(s, token.s.c_str(), project_id, cancel) != 0) return -1;
    LOCK lock(s);
    q_strcpy(s->profile.project_id, sizeof s->profile.project_id, project_id);
    s->profile.project_name[0] = 0;
    return 0;
}

int kvn_session_endpoint(KVN_SESSION *s, const char *type, char *out, size_t size) {
    Q_GUARD(s && type && out && size, -1);
    out[0] = 0;
    const char *canonical = kvn_service_alias(type);
    std::string url;
    {
        LOCK lock(s);
        int i = _select_endpoint(s, canonical);
        if (i >= 0)
            url = s->endpoints[i].url;
        else if (!strcmp(canonical, "identity"))
            url = s->profile.auth_url;
        else
            return -1;
    }
    _strip_slashes(&url);
    if (!strcmp(canonical, "network") && url.find("/v2.0") == std::string::npos) {
        if (url.size() + 5 < size) url += "/v2.0";
    } else if (!strcmp(canonical, "image") && !ends_with(url, "/v2")) {
        if (url.size() + 3 < size) url += "/v2";
    } else if (!strcmp(canonical, "identity")) {
        char v3[2048];
        if (kvn_identity_v3_url(url.c_str(), v3, sizeof v3) == 0 && strlen(v3) < size) url = v3;
    }
    q_strcpy(out, size, url.c_str());
    return 0;
}

int kvn_session_has_service(KVN_SESSION *s, const char *type) {
    if (!s || !type) return 0;
    const char *canonical = kvn_service_alias(type);
    if (!strcmp(canonical, "identity")) return 1;
    LOCK lock(s);
    return _select_endpoint(s, canonical) >= 0;
}

int kvn_session_regions(KVN_SESSION *s, const char **out, int capacity) {
    if (!s || !out) return 0;
    LOCK lock(s);
    int n = 0;
    for (int i = 0; i < s->endpoint_count && n < capacity; i++) {
        const char *r = s->endpoints[i].region;
        if (!*r) continue;
        bool seen = false;
        for (int j = 0; j < n && !seen; j++)
            seen = !strcmp(out[j], r);
        if (!seen) out[n++] = r;
    }
    return n;
}

int kvn_session_is_admin(KVN_SESSION *s) {
    if (!s) return 0;
    LOCK lock(s);
    std::string roles = s->roles;
    size_t start = 0;
    while (start <= roles.size()) {
        size_t comma = roles.find(',', start);
        std::string r = roles.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!strcasecmp(r.c_str(), "admin")) return 1;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return 0;
}

void kvn_session_last_error(KVN_SESSION *s, char *out, size_t size) {
    if (!out || !size) return;
    out[0] = 0;
    if (!s) return;
    LOCK lock(s);
    q_strcpy(out, size, s->last_error);
}

int kvn_session_endpoint_at(KVN_SESSION *s, int index, KVN_ENDPOINT_INFO *out) {
    Q_GUARD(s && out, -1);
    memset(out, 0, sizeof *out);
    LOCK lock(s);
    if (index < 0 || index >= s->endpoint_count) return -1;
    const KVN_ENDPOINT &e = s->endpoints[index];
    q_strcpy(out->type, sizeof out->type, e.type);
    q_strcpy(out->region, sizeof out->region, e.region);
    q_strcpy(out->interface, sizeof out->interface, e.interface);
    q_strcpy(out->url, sizeof out->url, e.url);
    return 0;
}

int kvn_session_info(KVN_SESSION *s, KVN_SESSION_INFO *info) {
    Q_GUARD(s && info, -1);
    memset(info, 0, sizeof *info);
    LOCK lock(s);
    q_strcpy(info->user_id, sizeof info->user_id, s->user_id);
    q_strcpy(info->user_name, sizeof info->user_name, s->user_name);
    q_strcpy(info->project_id, sizeof info->project_id, s->project_id);
    q_strcpy(info->project_name, sizeof info->project_name, s->project_name);
    q_strcpy(info->project_domain_name, sizeof info->project_domain_name, s->project_domain_name);
    q_strcpy(info->roles, sizeof info->roles, s->roles);
    info->expires = s->expires;
    info->endpoint_count = s->endpoint_count;
    info->has_token = s->token != nullptr;
    return 0;
}

int kvn_session_token(KVN_SESSION *s, char *out, size_t size) {
    Q_GUARD(s && out && size, -1);
    out[0] = 0;
    LOCK lock(s);
    if (!s->token || strlen(s->token) >= size) return -1;
    q_strcpy(out, size, s->token);
    return 0;
}

int kvn_session_profile(KVN_SESSION *s, KVN_PROFILE *out) {
    Q_GUARD(s && out, -1);
    LOCK lock(s);
    *out = s->profile;
    return 0;
}

int kvn_session_set_profile(KVN_SESSION *s, const KVN_PROFILE *profile) {
    Q_GUARD(s && profile, -1);
    LOCK lock(s);
    q_secure_zero(&s->profile, sizeof s->profile);
    s->profile = *profile;
    return 0;
}

void kvn_session_set_expires(KVN_SESSION *s, int64_t expires) {
    Q_GUARD_VOID(s);
    LOCK lock(s);
    s->expires = expires;
}

int kvn_session_add_endpoint(KVN_SESSION *s, const char *type, const char *interface, const char *region,
                             const char *url) {
    Q_GUARD(s && type && url && *url, -1);
    LOCK lock(s);
    if (s->endpoint_count >= KVN_MAX_ENDPOINTS) return -1;
    KVN_ENDPOINT *e = &s->endpoints[s->endpoint_count++];
    memset(e, 0, sizeof *e);
    q_strcpy(e->type, sizeof e->type, type);
    q_strcpy(e->interface, sizeof e->interface, interface ? interface : "");
    q_strcpy(e->region, sizeof e->region, region ? region : "");
    q_strcpy(e->url, sizeof e->url, url);
    return 0;
}

int kvn_session_cached_microversion(KVN_SESSION *s, const char *service, char *min, size_t min_size,
                                    char *max, size_t max_size) {
    if (!s || !service) return 0;
    const char *canonical = kvn_service_alias(service);
    LOCK lock(s);
    for (int i = 0; i < s->microversion_count; i++) {
        const KVN_MICROVERSION *m = &s->microversions[i];
        if (strcmp(m->type, canonical) != 0) continue;
        if (min && min_size) q_strcpy(min, min_size, m->min);
        if (max && max_size) q_strcpy(max, max_size, m->max);
        return 1;
    }
    return 0;
}
