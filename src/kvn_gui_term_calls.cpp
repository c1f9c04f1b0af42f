// The calls that turn a container or a server into a console address, and
// the WebSocket opened on it. They run on job workers. The addresses carry
// the console's access token: results are freed zeroed (kvn_result_free
// wipes the body and the parsed answer) and nothing here logs them.
#include "kvn_gui_term.h"

#include <cJSON.h>

#include <cstdio>
#include <cstring>

#include "kvn_profile.h"
#include "kvn_session.h"
#include "kvn_ws.h"
#include "q_common.h"
#include "q_http_client.h"
#include "q_str.h"

namespace {

void _error(char *err, size_t cap, const KVN_RESULT *r, const char *fallback) {
    if (!err || !cap) return;
    if (r && r->cancelled)
        q_strcpy(err, cap, "cancelled");
    else
        q_strcpy(err, cap, (r && r->error[0]) ? r->error : fallback);
}

bool _is_ws(const char *s) {
    return s && (!strncmp(s, "ws://", 5) || !strncmp(s, "wss://", 6));
}

int _call(KVN_SESSION *s, const char *service, const char *method, const char *path, const cJSON *body,
          KVN_RESULT **out, Q_HTTPC_CANCEL *cancel) {
    KVN_CALL_OPTS opts;
    memset(&opts, 0, sizeof opts);
    *out = kvn_session_call(s, service, method, path, body, &opts, cancel);
    return kvn_result_ok(*out) ? 0 : -1;
}

// Ids go into paths: anything but the characters of ids and names is
// encoded so a crafted name cannot reach another path.
bool _encoded(const char *text, char *out, size_t cap) {
    Q_STR *enc = nullptr;
    if (q_httpc_url_encode(&enc, text ? text : "") != 0 || !enc) {
        free_qstr(&enc);
        return false;
    }
    const bool fits = enc->length < cap;
    q_strcpy(out, cap, enc->data);
    free_qstr(&enc);
    return fits;
}
} // namespace

int kvn_console_url_in_text(const char *text, char *url, size_t url_cap) {
    if (url && url_cap) url[0] = 0;
    if (!text || !url || !url_cap) return -1;
    const char *p = text;
    while (*p == ' ' || *p == '\n')
        p++;
    // A JSON answer that is a bare string.
    if (*p == '"') p++;
    if (!_is_ws(p)) return -1;
    size_t n = strcspn(p, " \r\n\"");
    if (n >= url_cap) return -1;
    memcpy(url, p, n);
    url[n] = 0;
    return 0;
}

int kvn_container_attach_url(KVN_SESSION *s, const char *container, char *url, size_t url_cap, char *err,
                             size_t err_cap, Q_HTTPC_CANCEL *cancel) {
    if (url && url_cap) url[0] = 0;
    char id[768], path[1024];
    if (!_encoded(container, id, sizeof id)) {
        q_strcpy(err, err_cap, "attach refused");
        return -1;
    }
    q_format(path, sizeof path, "/containers/%s/attach", id);
    KVN_RESULT *r = nullptr;
    int rc = _call(s, "container", "GET", path, nullptr, &r, cancel);
    if (rc != 0) {
        _error(err, err_cap, r, "attach refused");
    } else if (kvn_console_url_in_text(r->text, url, url_cap) != 0) {
        q_strcpy(err, err_cap, "the cloud did not return a WebSocket address");
        rc = -1;
    }
    kvn_result_free(&r);
    return rc;
}

int kvn_container_exec_url(KVN_SESSION *s, const char *container, const char *command, char *url,
                           size_t url_cap, char *exec_id, size_t exec_id_cap, char *err, size_t err_cap,
                           Q_HTTPC_CANCEL *cancel) {
    if (url && url_cap) url[0] = 0;
    if (exec_id && exec_id_cap) exec_id[0] = 0;
    char id[768];
    Q_STR *cmd = nullptr;
    if (!_encoded(container, id, sizeof id) || q_httpc_url_encode(&cmd, command ? command : "") != 0 ||
        !cmd) {
        free_qstr(&cmd);
        q_strcpy(err, err_cap, "exec refused");
        return -1;
    }
    Q_STR *path = new_qstr(64 + strlen(id) + cmd->length);
    if (!path || qstrprintf_ex(path, "/containers/%s/execute?run=false&interactive=true&command=%s", id,
                               cmd->data) != 0) {
        free_qstr(&cmd);
        free_qstr(&path);
        q_strcpy(err, err_cap, "exec refused");
        return -1;
    }
    free_qstr(&cmd);
    KVN_RESULT *r = nullptr;
    int rc = _call(s, "container", "POST", path->data, nullptr, &r, cancel);
    free_qstr(&path);
    if (rc != 0) {
        _error(err, err_cap, r, "exec refused");
    } else {
        const cJSON *eid = cJSON_GetObjectItemCaseSensitive(r->json, "exec_id");
        const cJSON *proxy = cJSON_GetObjectItemCaseSensitive(r->json, "proxy_url");
        if (cJSON_IsString(eid) && exec_id) q_strcpy(exec_id, exec_id_cap, eid->valuestring);
        if (!cJSON_IsString(proxy) || !_is_ws(proxy->valuestring) || strlen(proxy->valuestring) >= url_cap) {
            q_strcpy(err, err_cap,
                     "the cloud did not return a WebSocket address (is the container interactive?)");
            rc = -1;
        } else {
            q_strcpy(url, url_cap, proxy->valuestring);
        }
    }
    kvn_result_free(&r);
    return rc;
}

int kvn_server_serial_url(KVN_SESSION *s, const char *server, char *url, size_t url_cap, char *err,
                          size_t err_cap, Q_HTTPC_CANCEL *cancel) {
    if (url && url_cap) url[0] = 0;
    char id[768], path[1024];
    if (!_encoded(server, id, sizeof id)) {
        q_strcpy(err, err_cap, "serial console refused");
        return -1;
    }
    q_format(path, sizeof path, "/servers/%s/remote-consoles", id);
    cJSON *body = cJSON_Parse("{\"remote_console\": {\"protocol\": \"serial\", \"type\": \"serial\"}}");
    KVN_RESULT *r = nullptr;
    int rc = _call(s, "compute", "POST", path, body, &r, cancel);
    cJSON_Delete(body);
    if (rc != 0) {
        _error(err, err_cap, r, "serial console refused");
    } else {
        const cJSON *rcon = cJSON_GetObjectItemCaseSensitive(r->json, "remote_console");
        const cJSON *u = cJSON_GetObjectItemCaseSensitive(rcon, "url");
        if (!cJSON_IsString(u) || !_is_ws(u->valuestring) || strlen(u->valuestring) >= url_cap) {
            q_strcpy(err, err_cap, "the cloud did not return a WebSocket address (serial console disabled?)");
            rc = -1;
        } else {
            q_strcpy(url, url_cap, u->valuestring);
        }
    }
    kvn_result_free(&r);
    return rc;
}

namespace {
int _resize(KVN_SESSION *s, const char *path, char *err, size_t err_cap, Q_HTTPC_CANCEL *cancel) {
    KVN_RESULT *r = nullptr;
    int rc = _call(s, "container", "POST", path, nullptr, &r, cancel);
    if (rc != 0) _error(err, err_cap, r, "resize refused");
    kvn_result_free(&r);
    return rc;
}
} // namespace

int kvn_container_resize(KVN_SESSION *s, const char *container, int columns, int rows, char *err,
                         size_t err_cap, Q_HTTPC_CANCEL *cancel) {
    char id[768], path[1024];
    if (columns <= 0 || rows <= 0 || !_encoded(container, id, sizeof id)) {
        q_strcpy(err, err_cap, "resize refused");
        return -1;
    }
    q_format(path, sizeof path, "/containers/%s/resize?w=%d&h=%d", id, columns, rows);
    return _resize(s, path, err, err_cap, cancel);
}

int kvn_container_exec_resize(KVN_SESSION *s, const char *container, const char *exec_id, int columns,
                              int rows, char *err, size_t err_cap, Q_HTTPC_CANCEL *cancel) {
    char id[768], eid[768], path[2048];
    if (columns <= 0 || rows <= 0 || !_encoded(container, id, sizeof id) ||
        !_encoded(exec_id, eid, sizeof eid)) {
        q_strcpy(err, err_cap, "resize refused");
        return -1;
    }
    q_format(path, sizeof path, "/containers/%s/execute_resize?exec_id=%s&w=%d&h=%d", id, eid, columns, rows);
    return _resize(s, path, err, err_cap, cancel);
}

KVN_WS *kvn_console_ws_open(KVN_SESSION *s, const char *url, char *err, size_t err_cap,
                            Q_HTTPC_CANCEL *cancel) {
    KVN_PROFILE p;
    memset(&p, 0, sizeof p);
    if (s) kvn_session_profile(s, &p);
    Q_WS_OPTIONS opts;
    memset(&opts, 0, sizeof opts);
    opts.subprotocols = "binary, base64";
    opts.verify = p.insecure ? 0 : 1;
    opts.ca_file = p.ca_file[0] ? p.ca_file : nullptr;
    KVN_WS *ws = kvn_ws_connect(url, &opts, cancel, err, err_cap);
    q_secure_zero(&p, sizeof p);
    return ws;
}
