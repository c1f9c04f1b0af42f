#include "kvn_session.h"

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "q_common.h"

namespace {
struct ALIAS {
    const char *from, *to;
};
const ALIAS k_aliases[] = {
    {"volume", "block-storage"},  {"volumev2", "block-storage"},  {"volumev3", "block-storage"},
    {"block-store", "block-storage"}, {"sharev2", "shared-file-system"}, {"share", "shared-file-system"},
    {"workflowv2", "workflow"},   {"object-store", "object-store"}, {"appcontainer", "container"},
    {"registration", "admin-logic"}, {"cloudformation", "orchestration"},
};

const ALIAS k_mv_headers[] = {
    {"compute", "compute"},
    {"block-storage", "volume"},
    {"placement", "placement"},
    {"shared-file-system", "shared-file-system"},
    {"baremetal", "baremetal"},
    {"container-infra", "container-infra"},
    {"accelerator", "accelerator"},
    {"container", "container"},
};

struct LOCK {
    pthread_mutex_t *m;
    explicit LOCK(KVN_SESSION *s) : m(&s->mutex) { pthread_mutex_lock(m); }
    ~LOCK() { pthread_mutex_unlock(m); }
};

// A profile copy that carries the clear secret; wiped when it goes.
struct PROFILE_COPY {
    KVN_PROFILE p;
    ~PROFILE_COPY() { q_secure_zero(&p, sizeof p); }
};

// A text that held a token or a secret.
struct SECRET_TEXT {
    std::string s;
    ~SECRET_TEXT() { q_secure_zero(s.data(), s.size()); }
};

const char *_mv_header(const char *canonical) {
    for (const auto &h : k_mv_headers)
        if (!strcmp(h.from, canonical)) return h.to;
    return nullptr;
}

void _set_error(KVN_SESSION *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void _set_error(KVN_SESSION *s, const char *fmt, ...) {
    LOCK lock(s);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s->last_error, sizeof s->last_error, fmt, ap);
    va_end(ap);
}

const char *_jstr(const cJSON *o, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsString(v) ? v->valuestring : "";
}

void _add_domain(cJSON *o, const char *id, const char *name) {
    if (*id) cJSON_AddItemToObject(cJSON_AddObjectToObject(o, "domain"), "id", cJSON_CreateString(id));
    else if (*name) cJSON_AddItemToObject(cJSON_AddObjectToObject(o, "domain"), "name", cJSON_CreateString(name));
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

// The request body carries the password, token or credential secret: every
// string of it is zeroed before the tree goes.
void _scrub(cJSON *node) {
    for (cJSON *c = node ? node->child : nullptr; c; c = c->next) {
        if (cJSON_IsString(c) && c->valuestring) q_secure_zero_str(c->valuestring);
        _scrub(c);
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
            q_strcpy(e->type, sizeof e->type, _jstr(entry, "type"));
            q_strcpy(e->name, sizeof e->name, _jstr(entry, "name"));
            const char *region = _jstr(ep, "region_id");
            q_strcpy(e->region, sizeof e->region, *region ? region : _jstr(ep, "region"));
            q_strcpy(e->interface, sizeof e->interface, _jstr(ep, "interface"));
            q_strcpy(e->url, sizeof e->url, _jstr(ep, "url"));
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

    Q_CJSON body(_token_request(&copy.p, token ? current_token.s.c_str() : nullptr, project_override));
    SECRET_TEXT printed;
    {
        Q_CBUF text(cJSON_PrintUnformatted(body.get()));
        if (text) {
            printed.s = text.get();
            q_secure_zero_str(text.get());
        }
    }
    _scrub(body.get());

    Q_HTTPC_REQ req;
    memset(&req, 0, sizeof req);
    req.method = "POST";
    req.url = url.c_str();
    req.body = printed.s.c_str();
    req.body_len = printed.s.size();
    req.insecure = copy.p.insecure;
    req.ca_file = copy.p.ca_file[0] ? copy.p.ca_file : nullptr;
    req.cancel = cancel;
    Q_HTTPC_RESP *resp = q_httpc_perform(&req);
    if (!resp) {
        _set_error(s, "out of memory");
        return -1;
    }

    int rc = -1;
    char header[KVN_TOKEN_MAX];
    header[0] = 0;
    if (resp->status == 0) {
        _set_error(s, "%s", resp->error);
    } else if (resp->status != 200 && resp->status != 201) {
        char err[1024];
        kvn_http_error_text(resp->status, q_httpc_resp_body(resp), err, sizeof err);
        _set_error(s, "authentication failed: %.900s", err);
    } else if (!q_httpc_resp_header(resp, "X-Subject-Token", header, sizeof header) || !header[0]) {
        _set_error(s, "authentication answer carries no X-Subject-Token");
    } else {
        cJSON *answer = cJSON_Parse(q_httpc_resp_body(resp));
        const cJSON *tok = cJSON_GetObjectItemCaseSensitive(answer, "token");
        const cJSON *user = cJSON_GetObjectItemCaseSensitive(tok, "user");
        const cJSON *project = cJSON_GetObjectItemCaseSensitive(tok, "project");
        char expires[64];
        q_strcpy(expires, sizeof expires, _jstr(tok, "expires_at"));
        std::string roles;
        const cJSON *role;
        const cJSON *role_list = cJSON_GetObjectItemCaseSensitive(tok, "roles");
        cJSON_ArrayForEach(role, q_json_array(role_list)) {
            if (!roles.empty()) roles += ",";
            roles += _jstr(role, "name");
        }
        char *fresh = strdup(header);
        LOCK lock(s);
        if (s->token) {
            q_secure_zero_str(s->token);
            free(s->token);
        }
        s->token = fresh;
        s->expires = kvn_parse_iso_time(expires);
        q_strcpy(s->user_id, sizeof s->user_id, _jstr(user, "id"));
        q_strcpy(s->user_name, sizeof s->user_name, _jstr(user, "name"));
        q_strcpy(s->project_id, sizeof s->project_id, _jstr(project, "id"));
        q_strcpy(s->project_name, sizeof s->project_name, _jstr(project, "name"));
        q_strcpy(s->project_domain_name, sizeof s->project_domain_name,
                 _jstr(cJSON_GetObjectItemCaseSensitive(project, "domain"), "name"));
        q_strcpy(s->roles, sizeof s->roles, roles.c_str());
        _walk_catalog(s, cJSON_GetObjectItemCaseSensitive(tok, "catalog"));
        s->microversion_count = 0;
        cJSON_Delete(s->token_body);
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
        if (!strcmp(e->type, "block-storage") || !strcmp(e->type, "volumev3")) score = 0;
        else if (!strcmp(e->type, "volumev2")) score = 200;
        else if (!strcmp(e->type, "volume")) score = 300;
        else if (!strcmp(e->type, "cloudformation")) score = 500;
        if (strcmp(e->interface, want_if) != 0) score += 10;
        if (s->profile.region[0] && strcmp(e->region, s->profile.region) != 0) score += 1000;
        if (best < 0 || score < best_score) {
            best = i;
            best_score = score;
        }
    }
    return best;
}

bool _ends_with(const std::string &s, const char *tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

void _strip_slashes(std::string *s) {
    while (!s->empty() && s->back() == '/') s->pop_back();
}

// Whether the last segment of a base URL is a version such as "v2.1".
bool _version_segment(const std::string &base, std::string *segment) {
    size_t slash = base.rfind('/');
    if (slash == std::string::npos) return false;
    std::string seg = base.substr(slash + 1);
    if (seg.size() < 2 || seg[0] != 'v' || !isdigit((unsigned char)seg[1])) return false;
    for (size_t i = 2; i < seg.size(); i++)
        if (!isdigit((unsigned char)seg[i]) && seg[i] != '.') return false;
    *segment = seg;
    return true;
}

KVN_RESULT *_new_result(void) {
    KVN_RESULT *r = nullptr;
    Q_CALLOC(r, 1, KVN_RESULT);
    return r;
}

KVN_RESULT *_error_result(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
KVN_RESULT *_error_result(const char *fmt, ...) {
    KVN_RESULT *r = _new_result();
    if (!r) return nullptr;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(r->error, sizeof r->error, fmt, ap);
    va_end(ap);
    return r;
}

KVN_RESULT *_call_once(KVN_SESSION *s, const char *canonical, const char *method, const std::string &url,
                       const char *body, const char *microversion, const KVN_CALL_OPTS *opts,
                       Q_HTTPC_CANCEL *cancel) {
    SECRET_TEXT token_header;
    int insecure;
    std::string ca_file;
    {
        LOCK lock(s);
        token_header.s = std::string("X-Auth-Token: ") + (s->token ? s->token : "");
        insecure = s->profile.insecure;
        ca_file = s->profile.ca_file;
    }
    std::vector<std::string> lines;
    const char *mv_name = _mv_header(canonical);
    if (microversion && *microversion && mv_name) {
        lines.push_back(std::string("OpenStack-API-Version: ") + mv_name + " " + microversion);
        if (!strcmp(canonical, "compute")) lines.push_back(std::string("X-OpenStack-Nova-API-Version: ") + microversion);
        if (!strcmp(canonical, "shared-file-system"))
            lines.push_back(std::string("X-OpenStack-Manila-API-Version: ") + microversion);
        if (!strcmp(canonical, "baremetal"))
            lines.push_back(std::string("X-OpenStack-Ironic-API-Version: ") + microversion);
    }
    if (opts && opts->content_type && *opts->content_type) {
        char ct[160];
        q_format(ct, sizeof ct, "Content-Type: %s", opts->content_type);
        lines.push_back(ct);
    }
    for (int i = 0; opts && i < 2; i++)
        if (opts->extra_headers[i] && *opts->extra_headers[i]) lines.push_back(opts->extra_headers[i]);

    Q_HTTPC_REQ req;
    memset(&req, 0, sizeof req);
    req.method = method;
    req.url = url.c_str();
    req.headers[req.header_count++] = token_header.s.c_str();
    for (const auto &l : lines)
        if (req.header_count < Q_HTTPC_MAX_HEADERS) req.headers[req.header_count++] = l.c_str();
    if (body) {
        req.body = body;
        req.body_len = strlen(body);
    }
    if (opts) {
        req.upload_file = opts->upload_file;
        req.upload_size = opts->upload_size;
        req.download_file = opts->download_file;
        req.progress = opts->progress;
        req.progress_user = opts->progress_user;
    }
    req.insecure = insecure;
    req.ca_file = ca_file.empty() ? nullptr : ca_file.c_str();
    req.cancel = cancel;

    Q_HTTPC_RESP *resp = q_httpc_perform(&req);
    KVN_RESULT *r = _new_result();
    if (!r) {
        q_httpc_resp_free(&resp);
        return nullptr;
    }
    if (!resp) {
        q_strcpy(r->error, sizeof r->error, "out of memory");
        return r;
    }
    r->status = resp->status;
    r->elapsed = resp->elapsed;
    r->cancelled = resp->cancelled;
    if (!q_httpc_resp_header(resp, "X-OpenStack-Request-Id", r->request_id, sizeof r->request_id))
        q_httpc_resp_header(resp, "X-Compute-Request-Id", r->request_id, sizeof r->request_id);
    q_httpc_resp_header(resp, "Location", r->location, sizeof r->location);
    const char *text = q_httpc_resp_body(resp);
    if (r->status != 0 && text && *text) {
        r->text = strdup(text);
        const char *p = text;
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
        if (*p == '{' || *p == '[') r->json = cJSON_Parse(p);
    }
    if (r->status == 0) q_strcpy(r->error, sizeof r->error, resp->error);
    else if (r->status < 200 || r->status > 299) kvn_http_error_text(r->status, text, r->error, sizeof r->error);
    q_httpc_resp_free(&resp);
    return r;
}

bool _has_auth_url(KVN_SESSION *s) {
    LOCK lock(s);
    return s->profile.auth_url[0] != 0;
}

// Authenticates without override, with the messages of the call layer.
int _reauth(KVN_SESSION *s, Q_HTTPC_CANCEL *cancel) {
    if (!_has_auth_url(s)) {
        _set_error(s, "the profile has no authentication URL");
        return -1;
    }
    return _do_auth(s, nullptr, nullptr, cancel);
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
    if (!_ends_with(u, "/v3")) {
        if (_ends_with(u, "/v2.0")) u.resize(u.size() - 5);
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
        while (isdigit((unsigned char)*p) || *p == ':' || *p == '.') p++;
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
    cJSON_Delete(s->token_body);
    pthread_mutex_destroy(&s->mutex);
    free(s);
}

int kvn_session_authenticate(KVN_SESSION *s, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(s, -1);
    if (!_has_auth_url(s)) {
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
        if (i >= 0) url = s->endpoints[i].url;
        else if (!strcmp(canonical, "identity")) url = s->profile.auth_url;
        else return -1;
    }
    _strip_slashes(&url);
    if (!strcmp(canonical, "network") && url.find("/v2.0") == std::string::npos) {
        if (url.size() + 5 < size) url += "/v2.0";
    } else if (!strcmp(canonical, "image") && !_ends_with(url, "/v2")) {
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
        for (int j = 0; j < n && !seen; j++) seen = !strcmp(out[j], r);
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

// ---- the call layer ----------------------------------------------------------

KVN_RESULT *kvn_session_call(KVN_SESSION *s, const char *service, const char *method, const char *path,
                             const cJSON *body, const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel) {
    if (!s || !service || !method || !path) return nullptr;
    return kvn_call(s, service, method, path, body, opts, cancel);
}

KVN_RESULT *kvn_call(KVN_SESSION *s, const char *service, const char *method, const char *path, const cJSON *body,
                     const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel) {
    if (!s || !service || !method || !path) return nullptr;
    const char *canonical = kvn_service_alias(service);

    bool need_auth;
    {
        LOCK lock(s);
        need_auth = !s->token || (s->expires != 0 && s->expires - (int64_t)time(nullptr) < 120);
    }
    if (need_auth && _reauth(s, cancel) != 0) {
        char err[1024];
        kvn_session_last_error(s, err, sizeof err);
        return _error_result("%s", err[0] ? err : "not authenticated");
    }

    std::string url;
    if (opts && opts->absolute) {
        url = std::string(path).substr(0, KVN_URL_MAX - 1);
    } else {
        char base[KVN_URL_MAX];
        if (kvn_session_endpoint(s, canonical, base, sizeof base) != 0)
            return _error_result("service '%s' is not in the catalog of this cloud", service);
        char joined[KVN_URL_MAX];
        kvn_url_join(base, path, joined, sizeof joined);
        url = joined;
    }

    char mv[16] = "";
    if (opts && opts->microversion) q_strcpy(mv, sizeof mv, opts->microversion);
    else kvn_session_microversion(s, canonical, mv, sizeof mv, cancel);

    SECRET_TEXT body_text;
    const char *body_ptr = nullptr;
    if (opts && opts->raw_body) {
        body_ptr = opts->raw_body;
    } else if (body) {
        Q_CBUF printed(cJSON_PrintUnformatted(body));
        if (printed) {
            body_text.s = printed.get();
            q_secure_zero_str(printed.get());
            body_ptr = body_text.s.c_str();
        }
    }

    KVN_RESULT *r = _call_once(s, canonical, method, url, body_ptr, mv, opts, cancel);
    if (r && r->status == 401 && !(opts && opts->upload_file)) {
        q_log(Q_LOG_NOTICE, "401 on %s %s, re-authenticating", method, url.c_str());
        if (_reauth(s, cancel) == 0) {
            kvn_result_free(&r);
            r = _call_once(s, canonical, method, url, body_ptr, mv, opts, cancel);
        }
    }
    if (r) q_log(Q_LOG_INFO, "%s %s -> %d (%lld ms)", method, url.c_str(), r->status, (long long)(r->elapsed / 1000));
    return r;
}

int kvn_session_microversion(KVN_SESSION *s, const char *service, char *out, size_t size, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(s && service && out && size, -1);
    out[0] = 0;
    const char *canonical = kvn_service_alias(service);
    if (!_mv_header(canonical)) return 0;
    std::string project;
    {
        LOCK lock(s);
        for (int i = 0; i < s->microversion_count; i++)
            if (!strcmp(s->microversions[i].type, canonical)) {
                q_strcpy(out, size, s->microversions[i].max);
                return 0;
            }
        project = s->project_id;
    }
    char base[KVN_URL_MAX];
    if (kvn_session_endpoint(s, canonical, base, sizeof base) != 0) return -1;
    std::string url = base;
    if (!project.empty() && _ends_with(url, ("/" + project).c_str())) url.resize(url.size() - project.size() - 1);
    url += "/";

    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    o.absolute = 1;
    o.microversion = "";
    KVN_RESULT *r = kvn_call(s, canonical, "GET", url.c_str(), nullptr, &o, cancel);

    std::string min, max;
    bool taken = false;
    int best_major = 0, best_minor = 0;
    std::vector<const cJSON *> candidates;
    if (r && r->json) {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(r->json, "version");
        if (cJSON_IsObject(v)) candidates.push_back(v);
        const cJSON *vs = cJSON_GetObjectItemCaseSensitive(r->json, "versions");
        if (cJSON_IsObject(vs)) vs = cJSON_GetObjectItemCaseSensitive(vs, "values");
        const cJSON *c;
        cJSON_ArrayForEach(c, q_json_array(vs)) {
            if (candidates.size() >= 64) break;
            candidates.push_back(c);
        }
    }
    for (const cJSON *c : candidates) {
        std::string m = _jstr(c, "max_version");
        if (m.empty()) m = _jstr(c, "version");
        if (m.empty()) continue;
        int major = 0, minor = 0;
        sscanf(m.c_str(), "%d.%d", &major, &minor);
        if (taken && (major < best_major || (major == best_major && minor <= best_minor))) continue;
        taken = true;
        best_major = major;
        best_minor = minor;
        max = m;
        const cJSON *mn = cJSON_GetObjectItemCaseSensitive(c, "min_version");
        if (cJSON_IsString(mn)) min = mn->valuestring;
    }
    kvn_result_free(&r);
    if (!max.empty() && max[0] == 'v') max.clear();
    {
        LOCK lock(s);
        if (s->microversion_count < KVN_MAX_MICROVERSIONS) {
            KVN_MICROVERSION *e = &s->microversions[s->microversion_count++];
            q_strcpy(e->type, sizeof e->type, canonical);
            q_strcpy(e->min, sizeof e->min, min.c_str());
            q_strcpy(e->max, sizeof e->max, max.c_str());
            e->valid = 1;
        }
    }
    q_log(Q_LOG_INFO, "microversion %s: %s..%s", canonical, min.c_str(), max.c_str());
    q_strcpy(out, size, max.c_str());
    return 0;
}

int kvn_result_ok(const KVN_RESULT *r) { return r && r->status >= 200 && r->status <= 299; }

void kvn_result_free(KVN_RESULT **ref) {
    if (!ref || !*ref) return;
    KVN_RESULT *r = *ref;
    cJSON_Delete(r->json);
    free(r->text);
    free(r);
    *ref = nullptr;
}

void kvn_http_error_text(int status, const char *body, char *out, size_t size) {
    if (!out || !size) return;
    Q_CJSON doc(body ? cJSON_Parse(body) : nullptr);
    if (cJSON_IsObject(doc.get())) {
        const cJSON *r = doc.get();
        const char *msg = nullptr;
        for (const char *k : {"message", "faultstring", "description", "detail"}) {
            const cJSON *v = cJSON_GetObjectItemCaseSensitive(r, k);
            if (cJSON_IsString(v)) {
                msg = v->valuestring;
                break;
            }
        }
        if (!msg) {
            const cJSON *m;
            cJSON_ArrayForEach(m, r) {
                if (!cJSON_IsObject(m)) continue;
                const cJSON *v = cJSON_GetObjectItemCaseSensitive(m, "message");
                if (cJSON_IsString(v)) msg = v->valuestring;
                break;
            }
        }
        if (!msg) {
            const cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(r, "errors"), 0);
            for (const char *k : {"detail", "title"}) {
                const cJSON *v = cJSON_GetObjectItemCaseSensitive(first, k);
                if (cJSON_IsString(v)) {
                    msg = v->valuestring;
                    break;
                }
            }
        }
        if (msg) {
            q_format(out, size, "HTTP %d: %s", status, msg);
            return;
        }
    }
    if (body && *body) {
        std::string text;
        bool in_tag = false, blank = false;
        for (const char *p = body; *p && text.size() < 300; p++) {
            if (*p == '<') in_tag = true;
            if (in_tag) {
                if (*p == '>') in_tag = false;
                continue;
            }
            if (isspace((unsigned char)*p)) {
                blank = true;
                continue;
            }
            if (blank && !text.empty()) text += ' ';
            blank = false;
            if (text.size() < 300) text += *p;
        }
        if (!text.empty()) {
            q_format(out, size, "HTTP %d: %s", status, text.c_str());
            return;
        }
    }
    q_format(out, size, "HTTP %d", status);
}

const char *kvn_next_link(const cJSON *answer, const char *key) {
    if (!answer) return nullptr;
    std::vector<const cJSON *> places;
    if (key && *key) places.push_back(cJSON_GetObjectItemCaseSensitive(answer, (std::string(key) + "_links").c_str()));
    places.push_back(cJSON_GetObjectItemCaseSensitive(answer, "links"));
    for (const cJSON *links : places) {
        if (cJSON_IsObject(links)) {
            const cJSON *next = cJSON_GetObjectItemCaseSensitive(links, "next");
            if (cJSON_IsString(next) && *next->valuestring) return next->valuestring;
        } else if (cJSON_IsArray(links)) {
            const cJSON *l;
            cJSON_ArrayForEach(l, links) {
                const cJSON *rel = cJSON_GetObjectItemCaseSensitive(l, "rel");
                const cJSON *href = cJSON_GetObjectItemCaseSensitive(l, "href");
                if (cJSON_IsString(rel) && !strcmp(rel->valuestring, "next") && cJSON_IsString(href))
                    return href->valuestring;
            }
        }
    }
    const cJSON *next = cJSON_GetObjectItemCaseSensitive(answer, "next");
    if (cJSON_IsString(next) && *next->valuestring) return next->valuestring;
    return nullptr;
}

void kvn_url_join(const char *base, const char *path, char *out, size_t size) {
    std::string b = base ? base : "", p = path ? path : "";
    std::string seg;
    if (_version_segment(b, &seg)) {
        std::string lead = "/" + seg;
        if (p.compare(0, lead.size(), lead) == 0 &&
            (p.size() == lead.size() || p[lead.size()] == '/' || p[lead.size()] == '?')) {
            q_strcpy(out, size, (b + p.substr(lead.size())).c_str());
            return;
        }
    }
    if (!p.empty() && p[0] != '/' && p[0] != '?') b += "/";
    q_strcpy(out, size, (b + p).c_str());
}

KVN_RESULT *kvn_call_paged(KVN_SESSION *s, const char *service, const char *path, const char *key,
                           Q_HTTPC_CANCEL *cancel) {
    KVN_RESULT *first = kvn_call(s, service, "GET", path, nullptr, nullptr, cancel);
    if (!kvn_result_ok(first) || !cJSON_IsObject(first->json)) return first;

    std::string k = key ? key : "";
    if (k.empty()) {
        const cJSON *m;
        cJSON_ArrayForEach(m, first->json) {
            if (cJSON_IsArray(m) && m->string && !strstr(m->string, "_links")) {
                k = m->string;
                break;
            }
        }
    }
    cJSON *items = k.empty() ? nullptr : cJSON_GetObjectItemCaseSensitive(first->json, k.c_str());
    char base[KVN_URL_MAX];
    if (!cJSON_IsArray(items) || kvn_session_endpoint(s, service, base, sizeof base) != 0) return first;

    std::string link_text;
    if (const char *l = kvn_next_link(first->json, k.c_str())) link_text = l;
    std::string previous;
    for (int page = 1; page < 200 && !link_text.empty(); page++) {
        Q_HTTPC_URL u;
        if (q_httpc_parse_url(base, &u) != 0) break;
        std::string rest;
        if (link_text.rfind("http://", 0) == 0 || link_text.rfind("https://", 0) == 0) {
            size_t authority = link_text.find("://") + 3;
            size_t slash = link_text.find('/', authority);
            rest = slash == std::string::npos ? "/" : link_text.substr(slash);
        } else if (link_text[0] == '/') {
            rest = link_text;
        } else {
            break;
        }
        bool v6 = strchr(u.host, ':') != nullptr;
        std::string url = std::string(u.tls ? "https" : "http") + "://" + (v6 ? "[" : "") + u.host + (v6 ? "]" : "") +
                          ":" + u.port + rest;
        if (url.size() >= KVN_URL_MAX || url == previous) break;
        previous = url;

        KVN_CALL_OPTS o;
        memset(&o, 0, sizeof o);
        o.absolute = 1;
        KVN_RESULT *r = kvn_call(s, service, "GET", url.c_str(), nullptr, &o, cancel);
        if (!r) break;
        if (!kvn_result_ok(r) || !r->json) {
            q_format(first->error, sizeof first->error, "pagination stopped: %.900s",
                     r->error[0] ? r->error : "no JSON answer");
            kvn_result_free(&r);
            break;
        }
        cJSON *more = cJSON_GetObjectItemCaseSensitive(r->json, k.c_str());
        int moved = 0;
        while (cJSON_IsArray(more) && more->child) {
            cJSON *item = cJSON_DetachItemViaPointer(more, more->child);
            cJSON_AddItemToArray(items, item);
            moved++;
        }
        const char *next = kvn_next_link(r->json, k.c_str());
        link_text = (moved && next) ? next : "";
        kvn_result_free(&r);
    }
    return first;
}
