#include "kvn_session.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "kvn_session_internal.h"
#include "q_common.h"

using namespace kvn_session_shared;

namespace {
struct ALIAS {
    const char *from, *to;
};

const ALIAS k_mv_headers[] = {
    {"compute", "compute"},         {"block-storage", "volume"},
    {"placement", "placement"},     {"shared-file-system", "shared-file-system"},
    {"baremetal", "baremetal"},     {"container-infra", "container-infra"},
    {"accelerator", "accelerator"}, {"container", "container"},
};

const char *_mv_header(const char *canonical) {
    for (const auto &h : k_mv_headers)
        if (!strcmp(h.from, canonical)) return h.to;
    return nullptr;
}

bool _is_version(const std::string &seg) {
    if (seg.size() < 2 || seg[0] != 'v' || !isdigit((unsigned char)seg[1])) return false;
    for (size_t i = 2; i < seg.size(); i++)
        if (!isdigit((unsigned char)seg[i]) && seg[i] != '.') return false;
    return true;
}

// Whether the last segment of a base URL is a version such as "v2.1".
bool _version_segment(const std::string &base, std::string *segment) {
    size_t slash = base.rfind('/');
    if (slash == std::string::npos || !_is_version(base.substr(slash + 1))) return false;
    *segment = base.substr(slash + 1);
    return true;
}

// Where a service sits on its host: the base path before its version
// segment ("/image" of "/image/v2", "" of "/v2.1"), or the whole path when
// it has none ("/placement").
std::string _path_prefix(const char *path) {
    std::string p = path;
    p = p.substr(0, p.find('?'));
    std::string prefix;
    size_t at = 0;
    while (at < p.size()) {
        size_t next = p.find('/', at + 1);
        std::string seg = p.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (_is_version(seg)) break;
        if (!seg.empty()) prefix += "/" + seg;
        if (next == std::string::npos) break;
        at = next;
    }
    return prefix;
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

// What one call sends besides its headers, taken from the options once per
// call so that a retry after a 401 sends the same: the body, the files and
// the progress callback. The files close when it goes; a download that did
// not succeed is removed.
struct CALL_IO {
    Q_HTTPC_REQ req;        // body, files and progress only
    char content_type[160]; // the "Content-Type: %s" line, empty for none
    Q_SECRET_CBUF printed;  // the JSON body as sent
    FILE *up = nullptr;
    FILE *down = nullptr;
    const char *down_path = nullptr;
    bool download_ok = false;

    CALL_IO() {
        memset(&req, 0, sizeof req);
        content_type[0] = 0;
    }
    CALL_IO(const CALL_IO &) = delete;
    CALL_IO &operator=(const CALL_IO &) = delete;
    ~CALL_IO() { close(); }
    int close_errno = 0; // why the download file could not be closed
    // 0, or -1 when the download could not be written out.
    int close() {
        int rc = 0;
        if (up) fclose(up);
        up = nullptr;
        if (down) {
            rc = fclose(down) != 0 ? -1 : 0;
            if (rc != 0) close_errno = errno;
            down = nullptr;
            if (rc != 0 || !download_ok) unlink(down_path);
        }
        return rc;
    }
};

// Fills the HTTP request's body, files and progress from the options: 0, or
// -1 with the reason in err.
int _request_from_opts(const KVN_CALL_OPTS *opts, const cJSON *body, CALL_IO *io, char *err,
                       size_t err_size) {
    if (opts && opts->raw_body) {
        io->req.body = opts->raw_body;
    } else if (body) {
        io->printed.reset(q_json_print_secret(body, 0));
        if (!io->printed) {
            q_strcpy(err, err_size, "out of memory");
            return -1;
        }
        io->req.body = io->printed.get();
    }
    if (io->req.body) io->req.body_len = strlen(io->req.body);
    if (!opts) return 0;
    const char *content_type = opts->content_type;
    if (opts->upload_path[0]) {
        // Without O_NONBLOCK a FIFO would hold the open until a writer came.
        int fd = open(opts->upload_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        io->up = fd >= 0 ? fdopen(fd, "rb") : nullptr;
        if (!io->up) {
            if (fd >= 0) ::close(fd);
            q_format(err, err_size, "cannot open %.900s", opts->upload_path);
            return -1;
        }
        // A pipe or a device has no size to announce.
        int64_t size = fseeko(io->up, 0, SEEK_END) == 0 ? (int64_t)ftello(io->up) : -1;
        if (size < 0 || fseeko(io->up, 0, SEEK_SET) != 0) {
            q_format(err, err_size, "cannot find the size of %.900s", opts->upload_path);
            return -1;
        }
        io->req.upload_size = size;
        io->req.upload_file = io->up;
        if (!content_type[0]) content_type = "application/octet-stream";
    }
    if (opts->download_path[0]) {
        io->down = fopen(opts->download_path, "wb");
        if (!io->down) {
            q_format(err, err_size, "cannot create %.900s", opts->download_path);
            return -1;
        }
        io->down_path = opts->download_path;
        io->req.download_file = io->down;
    }
    if (content_type[0])
        q_format(io->content_type, sizeof io->content_type, "Content-Type: %s", content_type);
    io->req.progress = opts->progress;
    io->req.progress_user = opts->progress_user;
    return 0;
}

KVN_RESULT *_call_once(KVN_SESSION *s, const char *canonical, const char *method, const std::string &url,
                       const char *microversion, const KVN_CALL_OPTS *opts, const CALL_IO *io,
                       Q_HTTPC_CANCEL *cancel) {
    SECRET_TEXT token_header;
    int insecure;
    std::string ca_file;
    {
        LOCK lock(s);
        const char *token = s->token ? s->token : "";
        // Sized once, so no grown-out buffer with the token is left unwiped.
        token_header.s.reserve(14 + strlen(token));
        token_header.s.append("X-Auth-Token: ").append(token);
        insecure = s->profile.insecure;
        ca_file = s->profile.ca_file;
    }
    std::vector<std::string> mv_lines;
    const char *mv_name = _mv_header(canonical);
    if (microversion && *microversion && mv_name) {
        mv_lines.push_back(std::string("OpenStack-API-Version: ") + mv_name + " " + microversion);
        if (!strcmp(canonical, "compute"))
            mv_lines.push_back(std::string("X-OpenStack-Nova-API-Version: ") + microversion);
        if (!strcmp(canonical, "shared-file-system"))
            mv_lines.push_back(std::string("X-OpenStack-Manila-API-Version: ") + microversion);
        if (!strcmp(canonical, "baremetal"))
            mv_lines.push_back(std::string("X-OpenStack-Ironic-API-Version: ") + microversion);
    }

    Q_HTTPC_REQ req = io->req;
    req.method = method;
    req.url = url.c_str();
    req.headers[req.header_count++] = token_header.s.c_str();
    for (const auto &l : mv_lines)
        req.headers[req.header_count++] = l.c_str();
    if (io->content_type[0]) req.headers[req.header_count++] = io->content_type;
    // The extra lines may carry credentials: they are sent from the caller's
    // own buffers, never copied.
    for (int i = 0; opts && i < 2; i++)
        if (opts->extra_headers[i][0]) req.headers[req.header_count++] = opts->extra_headers[i];
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
    // The client keeps the status of an answer whose body then failed (cut,
    // too large, unwritable, cancelled): the call has failed all the same,
    // and half a body is no answer to parse.
    if (resp->error[0]) {
        q_strcpy(r->error, sizeof r->error, resp->error);
        r->broken = r->status != 0;
    }
    const char *text = q_httpc_resp_body(resp);
    if (r->status != 0 && text && *text) {
        r->text = strdup(text);
        const char *p = text;
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
            p++;
        if (!r->broken && (*p == '{' || *p == '[')) r->json = cJSON_Parse(p);
    }
    if (r->status == 0 && !r->error[0])
        q_strcpy(r->error, sizeof r->error, "no response");
    else if (!r->error[0] && (r->status < 200 || r->status > 299))
        kvn_http_error_text(r->status, text, r->error, sizeof r->error);
    // Answers carry secrets too (credential secrets, private keys, passwords).
    if (resp->body && resp->body->data) q_secure_zero(resp->body->data, resp->body->length);
    q_httpc_resp_free(&resp);
    return r;
}

} // namespace

KVN_RESULT *kvn_session_call(KVN_SESSION *s, const char *service, const char *method, const char *path,
                             const cJSON *body, const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel) {
    if (!s || !service || !method || !path) return nullptr;
    return kvn_call(s, service, method, path, body, opts, cancel);
}

KVN_RESULT *kvn_call(KVN_SESSION *s, const char *service, const char *method, const char *path,
                     const cJSON *body, const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel) {
    if (!s || !service || !method || !path) return nullptr;
    const char *canonical = kvn_service_alias(service);

    // Files first: a call that cannot read or write them sends nothing.
    CALL_IO io;
    char err[1024];
    if (_request_from_opts(opts, body, &io, err, sizeof err) != 0) return _error_result("%s", err);

    bool need_auth;
    {
        LOCK lock(s);
        need_auth = !s->token || (s->expires != 0 && s->expires - (int64_t)time(nullptr) < 120);
    }
    if (need_auth && kvn_session_authenticate(s, cancel) != 0) {
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
    if (opts && opts->has_microversion)
        q_strcpy(mv, sizeof mv, opts->microversion);
    else
        kvn_session_microversion(s, canonical, mv, sizeof mv, cancel);

    KVN_RESULT *r = _call_once(s, canonical, method, url, mv, opts, &io, cancel);
    // A signed request (OAuth1) carries a nonce that is good for one use:
    // sent again it would only be refused.
    if (r && r->status == 401 && !io.up && !(opts && opts->no_reauth)) {
        q_log(Q_LOG_NOTICE, "401 on %s %s, re-authenticating", method, url.c_str());
        if (kvn_session_authenticate(s, cancel) == 0) {
            kvn_result_free(&r);
            r = _call_once(s, canonical, method, url, mv, opts, &io, cancel);
        }
    }
    io.download_ok = kvn_result_ok(r);
    if (io.close() != 0 && r && !r->broken && r->status != 0) {
        // The last buffered bytes fail here on a full disk.
        q_format(r->error, sizeof r->error, "cannot write the download file: %s", strerror(io.close_errno));
        r->broken = 1;
    }
    if (r)
        q_log(Q_LOG_INFO, "%s %s -> %d (%lld ms)", method, url.c_str(), r->status,
              (long long)(r->elapsed / 1000));
    return r;
}

int kvn_session_microversion(KVN_SESSION *s, const char *service, char *out, size_t size,
                             Q_HTTPC_CANCEL *cancel) {
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
    if (!project.empty() && ends_with(url, ("/" + project).c_str()))
        url.resize(url.size() - project.size() - 1);
    url += "/";

    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    o.absolute = 1;
    o.has_microversion = 1;
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
        std::string m = jstr(c, "max_version");
        if (m.empty()) m = jstr(c, "version");
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

int kvn_result_ok(const KVN_RESULT *r) {
    return r && !r->broken && r->status >= 200 && r->status <= 299;
}

void kvn_result_free(KVN_RESULT **ref) {
    if (!ref || !*ref) return;
    KVN_RESULT *r = *ref;
    q_json_delete_secret(r->json);
    if (r->text) {
        q_secure_zero_str(r->text);
        free(r->text);
    }
    q_secure_zero(r, sizeof *r);
    free(r);
    *ref = nullptr;
}

namespace {
// What a reader sees of an error page, blanks folded: tags, comments and
// the insides of <style> and <script> go (a server's stylesheet is no
// reason), the common entities are decoded. At most `max` characters.
void _html_text(const char *body, size_t max, std::string *text) {
    static const struct {
        const char *name;
        char c;
    } k_entities[] = {{"&amp;", '&'},  {"&lt;", '<'},    {"&gt;", '>'},  {"&quot;", '"'},
                      {"&#39;", '\''}, {"&apos;", '\''}, {"&nbsp;", ' '}};
    bool blank = false;
    auto put = [&](char c) {
        if (isspace((unsigned char)c)) {
            blank = true;
            return;
        }
        if (blank && !text->empty()) *text += ' ';
        blank = false;
        *text += c;
    };
    for (const char *p = body; *p && text->size() < max;) {
        if (*p == '<') {
            const char *end = nullptr;
            if (!strncmp(p, "<!--", 4)) {
                end = strstr(p + 4, "-->");
                p = end ? end + 3 : p + strlen(p);
                continue;
            }
            for (const char *skip : {"style", "script"}) {
                const size_t n = strlen(skip);
                if (!strncasecmp(p + 1, skip, n) && !isalnum((unsigned char)p[1 + n])) {
                    const std::string close = std::string("</") + skip;
                    for (const char *q = p + 1 + n; *q; q++)
                        if (!strncasecmp(q, close.c_str(), close.size())) {
                            end = q;
                            break;
                        }
                    if (!end) end = p + strlen(p);
                }
            }
            if (end) p = end;
            const char *gt = strchr(p, '>');
            p = gt ? gt + 1 : p + strlen(p);
            continue;
        }
        if (*p == '&') {
            bool decoded = false;
            for (const auto &e : k_entities) {
                const size_t n = strlen(e.name);
                if (!strncmp(p, e.name, n)) {
                    put(e.c);
                    p += n;
                    decoded = true;
                    break;
                }
            }
            if (decoded) continue;
        }
        put(*p++);
    }
    if (text->size() > max) text->resize(max);
}
} // namespace

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
                if (!cJSON_IsString(v)) continue;
                msg = v->valuestring;
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
        _html_text(body, 300, &text);
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
    if (key && *key)
        places.push_back(cJSON_GetObjectItemCaseSensitive(answer, (std::string(key) + "_links").c_str()));
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

int kvn_page_url(const char *base, const char *link, char *out, size_t size) {
    if (out && size) out[0] = 0;
    if (!base || !link || !out || !size) return -1;
    Q_HTTPC_URL u;
    if (q_httpc_parse_url(base, &u) != 0) return -1;
    std::string l = link, rest;
    if (l.rfind("http://", 0) == 0 || l.rfind("https://", 0) == 0) {
        size_t authority = l.find("://") + 3;
        size_t slash = l.find('/', authority);
        rest = slash == std::string::npos ? "/" : l.substr(slash);
    } else if (!l.empty() && l[0] == '/') {
        rest = l;
    } else {
        return -1;
    }
    // Services behind a path prefix (a proxy serving "/image" for the image
    // service) often write their links as if they stood at the root.
    std::string prefix = _path_prefix(u.path);
    bool carries = rest.compare(0, prefix.size(), prefix) == 0 &&
                   (rest.size() == prefix.size() || rest[prefix.size()] == '/' || rest[prefix.size()] == '?');
    if (!carries) rest = prefix + rest;
    bool v6 = strchr(u.host, ':') != nullptr;
    std::string url = std::string(u.tls ? "https" : "http") + "://" + (v6 ? "[" : "") + u.host +
                      (v6 ? "]" : "") + ":" + u.port + rest;
    if (url.size() >= size || url.size() >= KVN_URL_MAX) return -1;
    q_strcpy(out, size, url.c_str());
    return 0;
}

// Pages of one collection fetched at most: a service whose next links never
// end must not keep a worker forever.
const int k_max_pages = 200;

KVN_RESULT *kvn_call_paged(KVN_SESSION *s, const char *service, const char *path, const char *key,
                           Q_HTTPC_CANCEL *cancel) {
    return kvn_call_paged_opts(s, service, path, key, nullptr, cancel);
}

KVN_RESULT *kvn_call_paged_opts(KVN_SESSION *s, const char *service, const char *path, const char *key,
                                const KVN_CALL_OPTS *opts, Q_HTTPC_CANCEL *cancel) {
    KVN_RESULT *first = kvn_call(s, service, "GET", path, nullptr, opts, cancel);
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
    int page = 1;
    for (; page < k_max_pages && !link_text.empty(); page++) {
        char page_url[KVN_URL_MAX];
        if (kvn_page_url(base, link_text.c_str(), page_url, sizeof page_url) != 0) break;
        std::string url = page_url;
        if (url == previous) break;
        previous = url;

        // Every page is asked in the same dialect as the first: a page under
        // another microversion, or without the resource's header, can hold
        // other fields or another project's items.
        KVN_CALL_OPTS o;
        memset(&o, 0, sizeof o);
        if (opts) {
            q_strcpy(o.microversion, sizeof o.microversion, opts->microversion);
            o.has_microversion = opts->has_microversion;
            for (int h = 0; h < 2; h++)
                q_strcpy(o.extra_headers[h], sizeof o.extra_headers[h], opts->extra_headers[h]);
            o.no_reauth = opts->no_reauth;
        }
        o.absolute = 1;
        KVN_RESULT *r = kvn_call(s, service, "GET", url.c_str(), nullptr, &o, cancel);
        q_secure_zero(o.extra_headers, sizeof o.extra_headers);
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
    // A collection longer than the cap is cut: the caller must not take the
    // items it has for the whole list.
    if (page >= k_max_pages && !link_text.empty() && !first->error[0])
        q_format(first->error, sizeof first->error,
                 "pagination stopped: more than %d pages, the list is incomplete", k_max_pages);
    return first;
}
