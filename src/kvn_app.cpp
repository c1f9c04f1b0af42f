#include "kvn_app.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "kvn_api.h"
#include "kvn_clouds.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "q_common.h"

namespace {
// Written once by main before the workers start; the record's fields belong
// to the main thread.
KVN_APP *g_app = nullptr;

void _progress(int64_t done, int64_t total, void *user) {
    if (total > 0) kvn_job_set_progress(static_cast<KVN_JOB *>(user), (float)((double)done / (double)total));
}

__attribute__((format(printf, 1, 2))) KVN_RESULT *_failed(const char *fmt, ...) {
    KVN_RESULT *r = nullptr;
    Q_CALLOC(r, 1, KVN_RESULT);
    if (r) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(r->error, sizeof r->error, fmt, ap);
        va_end(ap);
    }
    return r;
}

bool _is_projects_path(const char *path) {
    return !strcmp(path, "/projects") || !strncmp(path, "/projects?", 10);
}

void _req_run(KVN_JOB *job) {
    KVN_REQ *req = static_cast<KVN_REQ *>(job->user);
    req->job = job;
    if (req->flags & KVN_REQ_ALL_PAGES) {
        const char *key = req->collection_key[0] ? req->collection_key : nullptr;
        req->result =
            kvn_call_paged_opts(req->session, req->service, req->path, key, &req->opts, job->cancel);
        // Keystone lets only admins list every project; the projects a user
        // may scope to are the useful answer for everybody else.
        if (req->result && req->result->status == 403 &&
            !strcmp(kvn_service_alias(req->service), "identity") && _is_projects_path(req->path)) {
            kvn_result_free(&req->result);
            req->result =
                kvn_call_paged(req->session, req->service, "/auth/projects", "projects", job->cancel);
        }
        return;
    }

    if (req->opts.upload_path[0] || req->opts.download_path[0]) {
        req->opts.progress = _progress;
        req->opts.progress_user = job;
    }
    req->result = kvn_session_call(req->session, req->service, req->method, req->path, req->body, &req->opts,
                                   job->cancel);
}

void _req_done(KVN_JOB *job) {
    KVN_REQ *req = static_cast<KVN_REQ *>(job->user);
    if (!g_app || req->generation != g_app->session_generation) return;
    if (!req->result) req->result = _failed("%s", "out of memory");
    if (req->done) req->done(req, req->user);
}

void _req_free(void *user) {
    kvn_req_free(static_cast<KVN_REQ *>(user));
}
} // namespace

void kvn_app_publish(KVN_APP *app) {
    g_app = app;
}

KVN_APP *kvn_app_get(void) {
    return g_app;
}

void kvn_app_status(int kind, const char *fmt, ...) {
    if (!fmt || !g_app) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_app->status_text, sizeof g_app->status_text, fmt, ap);
    va_end(ap);
    g_app->status_kind = kind;
    int level = kind == KVN_STATUS_ERROR ? Q_LOG_ERR : kind == KVN_STATUS_WARNING ? Q_LOG_NOTICE : Q_LOG_INFO;
    q_log(level, "status: %s", g_app->status_text);
}

void kvn_app_disconnect(void) {
    if (!g_app) return;
    g_app->session_generation++;
    kvn_jobs_cancel_all();
    kvn_jobs_wait_idle(30000);
    // Requests still running hold their own reference; the session goes with
    // the last of them.
    kvn_session_free(&g_app->session);
}

void kvn_app_connect_changed(void) {
    if (g_app && g_app->connect_changed) g_app->connect_changed(g_app->connect_changed_user);
}

int kvn_app_import_env(KVN_PROFILE *p) {
    Q_GUARD(p, -1);
    char msg[1024];
    int n = kvn_import_environment(p, msg, sizeof msg);
    if (n < 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", msg);
        q_log(Q_LOG_NOTICE, "--env: %s", msg);
        return -1;
    }
    kvn_app_status(KVN_STATUS_INFO, "%s", msg);
    static const char *const k_types[] = {"password", "application credential", "token"};
    q_log(Q_LOG_NOTICE, "--env: profile '%s' (%s, %s%s, project %s, region %s) at %s", p->name,
          k_types[p->auth_type >= 0 && p->auth_type <= 2 ? p->auth_type : 0],
          p->username[0] ? "user " : "credential ",
          p->username[0]                    ? p->username
          : p->application_credential_id[0] ? p->application_credential_id
                                            : "-",
          p->project_name[0] ? p->project_name
          : p->project_id[0] ? p->project_id
                             : "-",
          p->region[0] ? p->region : "any", p->auth_url[0] ? p->auth_url : "no auth URL");
    return n;
}

int kvn_app_can_run(const KVN_RESOURCE *res, const KVN_OP *op) {
    if (!g_app || !g_app->session) return 1;
    return kvn_api_allowed(res, op, kvn_session_is_admin(g_app->session), g_app->config.show_restricted);
}

KVN_REQ *kvn_req_new(const char *service, const char *method, const char *path) {
    if (!g_app || !g_app->session || !service || !method || !path) return nullptr;
    KVN_REQ *req = nullptr;
    Q_CALLOC(req, 1, KVN_REQ);
    if (!req) return nullptr;
    q_strcpy(req->service, sizeof req->service, service);
    q_strcpy(req->method, sizeof req->method, method);
    q_strcpy(req->path, sizeof req->path, path);
    req->session = kvn_session_ref(g_app->session);
    req->generation = g_app->session_generation;
    return req;
}

int kvn_req_submit(KVN_REQ *req, const char *title, KVN_REQ_DONE done, void *user) {
    if (!req) return -1;
    req->done = done;
    req->user = user;
    return kvn_jobs_submit(title, _req_run, _req_done, _req_free, req, req->generation);
}

void kvn_req_free(KVN_REQ *req) {
    if (!req) return;
    // Bodies carry passwords, credential secrets and keys.
    q_json_delete_secret(req->body);
    if (req->opts.raw_body) {
        char *raw = const_cast<char *>(req->opts.raw_body);
        q_secure_zero_str(raw);
        free(raw);
    }
    kvn_result_free(&req->result);
    kvn_session_free(&req->session);
    q_secure_zero(req, sizeof *req);
    free(req);
}
