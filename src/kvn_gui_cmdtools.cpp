#include "kvn_gui_cmdtools.h"

#include <algorithm>
#include <allegro5/allegro.h>
#include <cJSON.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <string>
#include <vector>

#include "kvn_api.h"
#include "kvn_cleanup.h"
#include "kvn_app.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"
#include "q_http_client.h"
#include "q_str.h"

namespace {

const char *const k_version = "0.1.0";
const char *const k_build = "dev";
const size_t k_document_cap = 16u * 1024 * 1024;
const char *const k_unavailable = "not available in this build";

KVN_APP *_app(void) {
    return kvn_app_get();
}

// ---- the tool forms ------------------------------------------------------------------------

enum {
    FORM_SAVE,
    FORM_CLEANUP,
    FORM_CREATE,
    FORM_CONFIG,
    FORM_BENCHMARK,
    FORM_REQUEST,
    FORM_ACCESS,
    FORM_COUNT
};

KVN_OP g_forms[FORM_COUNT];

KVN_FIELD *_field(KVN_OP *op, const char *name, const char *label, int type, int required, const char *help) {
    KVN_FIELD *f = &op->fields[op->field_count++];
    f->name = name;
    f->label = label;
    f->type = type;
    f->required = required;
    f->help = help;
    return f;
}

void _op(KVN_OP *op, const char *id, const char *title, const char *cli) {
    op->id = id;
    op->title = title;
    op->cli = cli;
    op->method = "POST";
}

void _build_forms(void) {
    if (g_forms[0].id) return;
    KVN_OP *op = &g_forms[FORM_SAVE];
    _op(op, "save", "Save every object to a folder", "container save");
    _field(op, "dir", "Destination folder", KVN_FT_FILE, 1,
           "Objects are written under this folder; pseudo folders become directories")
        ->folder = 1;

    op = &g_forms[FORM_CLEANUP];
    _op(op, "cleanup", "Project cleanup", "project cleanup");
    KVN_FIELD *f = _field(op, "project", "Project (empty = the current one)", KVN_FT_REF, 0,
                          "Another project than the current one needs the admin role; its Swift containers "
                          "are not reachable");
    f->ref = "identity.project";
    f->omit_empty = 1;

    op = &g_forms[FORM_CREATE];
    _op(op, "create", "Baremetal create", "baremetal create");
    _field(op, "file", "JSON file", KVN_FT_FILE, 1,
           "{\"chassis\": [{..., \"nodes\": [...]}], \"nodes\": [{..., \"ports\": [...], \"portgroups\": "
           "[...]}]}");

    op = &g_forms[FORM_CONFIG];
    _op(op, "config", "Cluster configuration", "coe cluster config");
    _field(op, "dir", "Destination folder", KVN_FT_FILE, 1,
           "config (kubeconfig), ca.pem, cert.pem and key.pem are written here")
        ->folder = 1;
    f = _field(op, "keystone", "Keystone token auth (no client certificate)", KVN_FT_BOOL, 0,
               "The kubeconfig then reads $OS_TOKEN (openstack coe cluster config --use-keystone)");
    f->def = "false";
    f->omit_empty = 1;

    op = &g_forms[FORM_BENCHMARK];
    _op(op, "benchmark", "Metric benchmark", "metric benchmark metric create");
    f = _field(op, "archive_policy", "Archive policy", KVN_FT_REF, 1,
               "Archive policy of the created metrics");
    f->ref = "metric.archive_policy";
    f->ref_value = "name";
    _field(op, "count", "Metrics to create", KVN_FT_INT, 1, "metric create / show requests")->def = "50";
    _field(op, "batches", "Measure batches per metric (0 = none)", KVN_FT_INT, 1,
           "measures add requests per metric")
        ->def = "2";
    _field(op, "batch_size", "Measures per batch", KVN_FT_INT, 1, "points sent by each measures add")->def =
        "100";
    f = _field(op, "keep", "Keep the metrics afterwards", KVN_FT_BOOL, 0,
               "Off: the benchmark deletes what it created");
    f->def = "false";
    f->omit_empty = 1;

    op = &g_forms[FORM_REQUEST];
    _op(op, "request_token", "Create a request token", "request token create");
    _field(op, "consumer", "Consumer id", KVN_FT_STRING, 1,
           "Id of the OAuth1 consumer (listing consumers needs the admin role)");
    _field(op, "consumer_secret", "Consumer secret", KVN_FT_PASSWORD, 1,
           "Secret shown when the consumer was created");
    f = _field(op, "project", "Project", KVN_FT_REF, 1, "Project the delegation is for");
    f->ref = "identity.project";

    op = &g_forms[FORM_ACCESS];
    _op(op, "access_token", "Create an access token", "access token create");
    _field(op, "consumer", "Consumer id", KVN_FT_STRING, 1,
           "Id of the OAuth1 consumer (listing consumers needs the admin role)");
    _field(op, "consumer_secret", "Consumer secret", KVN_FT_PASSWORD, 1, "Secret of the consumer");
    _field(op, "request_key", "Request token key", KVN_FT_STRING, 1, "Key of the authorized request token");
    _field(op, "request_secret", "Request token secret", KVN_FT_PASSWORD, 1, "Secret of the request token");
    _field(op, "verifier", "Verifier", KVN_FT_STRING, 1, "oauth_verifier returned by the authorization");
}

// ---- the tool job --------------------------------------------------------------------------

// Only one project cleanup at a time; main thread.
int g_cleanup_running;

const char *_value(const char *const *values, int count, int i) {
    return i < count && values[i] ? values[i] : "";
}

void _job_free(void *user) {
    KVN_TOOL_JOB *j = static_cast<KVN_TOOL_JOB *>(user);
    if (!j) return;
    // The texts of the OAuth1 kinds hold secrets; the others are wiped too,
    // which costs nothing.
    q_secure_zero(j->text0, sizeof j->text0);
    q_secure_zero(j->text1, sizeof j->text1);
    q_secure_zero(j->text2, sizeof j->text2);
    q_secure_zero(j->text3, sizeof j->text3);
    q_secure_zero(j->text4, sizeof j->text4);
    q_secure_zero(&j->token, sizeof j->token);
    q_secure_zero(j->report, sizeof j->report);
    if (j->document) cJSON_Delete(j->document);
    if (j->log) free_qstr(&j->log);
    kvn_cleanup_plan_free(&j->plan);
    if (j->session) kvn_session_free(&j->session);
    q_secure_zero(j, sizeof *j);
    free(j);
}

void _job_progress(float done, void *user) {
    kvn_job_set_progress(static_cast<KVN_JOB *>(user), done);
}

void _run(KVN_JOB *job) {
    KVN_TOOL_JOB *j = static_cast<KVN_TOOL_JOB *>(job->user);
    switch (j->kind) {
    case KVN_TOOL_REQUEST_TOKEN:
        j->result = kvn_oauth1_request_token(j->session, j->text0, j->text1, j->text5, &j->token, j->error,
                                             sizeof j->error, job->cancel);
        break;
    case KVN_TOOL_ACCESS_TOKEN:
        j->result = kvn_oauth1_access_token(j->session, j->text0, j->text1, j->text2, j->text3, j->text4,
                                            &j->token, j->error, sizeof j->error, job->cancel);
        break;
    case KVN_TOOL_CLEANUP_DISCOVER:
        j->plan = kvn_cleanup_plan_new();
        j->result =
            j->plan && j->log ? kvn_cleanup_discover(j->session, j->text5, j->plan, j->log, job->cancel) : -1;
        break;
    case KVN_TOOL_CLEANUP_DELETE:
        j->result = j->plan ? kvn_cleanup_delete(j->session, j->plan, &job->progress, job->cancel) : -1;
        break;
    case KVN_TOOL_CONTAINER_SAVE:
        j->result = j->log ? kvn_container_save(j->session, j->text0, j->text1, _job_progress, job, j->log,
                                                job->cancel)
                           : -1;
        break;
    case KVN_TOOL_BAREMETAL_CREATE:
        j->result = j->log ? kvn_baremetal_create(j->session, j->document, j->log, job->cancel) : -1;
        break;
    case KVN_TOOL_METRIC_BENCHMARK:
        j->result = kvn_metric_benchmark(j->session, j->text0, j->count, j->batches, j->batch_size, j->flag,
                                         &j->bench, _job_progress, job, job->cancel);
        break;
    case KVN_TOOL_COE_CONFIG:
        j->result = kvn_coe_cluster_config(j->session, j->text0, j->text1, j->flag, j->report,
                                           sizeof j->report, job->cancel);
        break;
    default:
        j->result = -1;
        q_strcpy(j->error, sizeof j->error, k_unavailable);
        break;
    }
    kvn_job_set_progress(job, 1.0f);
}

const char *_kind_title(int kind) {
    static const char *const k_titles[] = {"container save",       "project cleanup",    "project cleanup",
                                           "baremetal create",     "coe cluster config", "metric benchmark",
                                           "request token create", "access token create"};
    return kind >= 0 && kind <= KVN_TOOL_ACCESS_TOKEN ? k_titles[kind] : "tool";
}

void _report_oauth(KVN_TOOL_JOB *j) {
    const bool request = j->kind == KVN_TOOL_REQUEST_TOKEN;
    const char *name = _kind_title(j->kind);
    if (j->result != 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s: %s", name, j->error[0] ? j->error : "failed");
        return;
    }
    q_format(j->report, sizeof j->report, "%s\n\nkey      %s\nsecret   %s\nexpires  %s\n\n%s",
             request ? "Request token (the secret is shown only now)"
                     : "Access token (the secret is shown only now)",
             j->token.token, j->token.token_secret, j->token.expires_at[0] ? j->token.expires_at : "-",
             request
                 ? "Next: a user with a role on the project authorizes it (Identity > OAuth1 delegation > "
                   "Authorize), then the consumer exchanges it for an access token."
                 : "The consumer can now get a Keystone token with this access token.");
    kvn_gui_show_result(request ? "openstack request token create (secret)"
                                : "openstack access token create (secret)",
                        j->report, 0, nullptr);
    q_secure_zero(j->report, sizeof j->report);
    kvn_app_status(KVN_STATUS_INFO, "%s: done", name);
}

// The plan between the dry run and the user's answer; main thread.
KVN_CLEANUP_PLAN *g_pending_plan;

void _cleanup_yes(void *) {
    if (g_cleanup_running || !g_pending_plan) return;
    KVN_TOOL_JOB *j = kvn_tool_job_new(KVN_TOOL_CLEANUP_DELETE);
    if (!j) return;
    j->plan = g_pending_plan;
    g_pending_plan = nullptr;
    g_cleanup_running = 1;
    kvn_tool_job_submit(j, KVN_CLEANUP_JOB_DELETING);
}

// No, Escape, or a newer question: the plan goes unused.
void _cleanup_release(void *) {
    if (!g_pending_plan) return;
    kvn_cleanup_plan_free(&g_pending_plan);
    kvn_app_status(KVN_STATUS_INFO, "%s", KVN_CLEANUP_NOTHING_DELETED);
}

void _report_discovery(KVN_TOOL_JOB *j) {
    Q_STR *text = new_qstr(4096);
    if (!text) return;
    const int result = (int)j->result;
    kvn_cleanup_discovery_report(j->plan, result, j->log ? j->log->data : "", text);
    if (j->cancelled) qstrprintf_cat_ex(text, "%s", " (cancelled)\n");
    kvn_gui_show_result(kvn_cleanup_discovery_title(result), text->data, 0, nullptr);
    free_qstr(&text);
    if (result <= 0 || !j->plan || j->plan->count <= 0) return;
    // A plan still waiting for an answer gives way to this one.
    kvn_cleanup_plan_free(&g_pending_plan);
    g_pending_plan = j->plan;
    j->plan = nullptr;
    char question[256];
    kvn_cleanup_confirm_question(g_pending_plan, question, sizeof question);
    kvn_gui_confirm(KVN_CLEANUP_CONFIRM_TITLE, question, KVN_CLEANUP_CONFIRM_NOTE, _cleanup_yes,
                    &g_pending_plan, _cleanup_release);
}

void _report_deletion(KVN_TOOL_JOB *j) {
    if (!j->plan) return;
    Q_STR *text = new_qstr(4096);
    if (!text) return;
    kvn_cleanup_deletion_report(j->plan, j->cancelled, text);
    kvn_gui_show_result(KVN_CLEANUP_TITLE, text->data, 0, nullptr);
    free_qstr(&text);
    char status[256];
    kvn_cleanup_deletion_status(j->plan, status, sizeof status);
    const int failed = kvn_cleanup_plan_count_state(j->plan, KVN_CLEANUP_FAILED);
    kvn_app_status(failed > 0 ? KVN_STATUS_ERROR : KVN_STATUS_INFO, "%s", status);
    kvn_gui_resource_reload_current();
}

const char *_cancel_mark(const KVN_TOOL_JOB *j) {
    return j->cancelled ? " (cancelled)" : "";
}

void _report_save(KVN_TOOL_JOB *j) {
    const char *log = j->log ? j->log->data : "";
    if (j->result < 0) {
        char first[512] = "failed";
        if (*log) {
            const size_t n = strcspn(log, "\n");
            q_format(first, sizeof first, "%.*s", (int)std::min<size_t>(n, 500), log);
        }
        kvn_app_status(KVN_STATUS_ERROR, "container save: %s", first);
        return;
    }
    const int n = (int)j->result;
    Q_STR *text = new_qstr(1024 + (j->log ? j->log->length : 0));
    if (!text) return;
    qstrprintf_cat_ex(text, "%d object%s of %s saved in %s%s\n\n%s", n, n == 1 ? "" : "s", j->text0, j->text1,
                      _cancel_mark(j), log);
    kvn_gui_show_result("openstack container save", text->data, 0, nullptr);
    free_qstr(&text);
    kvn_app_status(*log ? KVN_STATUS_WARNING : KVN_STATUS_INFO, "container save: %d object(s) saved in %s", n,
                   j->text1);
}

void _report_create(KVN_TOOL_JOB *j) {
    const char *head = j->result == 0  ? "Everything was created."
                       : j->result > 0 ? "Some resources could not be created."
                                       : "The document was not accepted.";
    Q_STR *text = new_qstr(1024 + (j->log ? j->log->length : 0));
    if (!text) return;
    qstrprintf_cat_ex(text, "%s%s\n\n%s", head, _cancel_mark(j), j->log ? j->log->data : "");
    kvn_gui_show_result("openstack baremetal create", text->data, 0, nullptr);
    free_qstr(&text);
    if (j->result == 0)
        kvn_app_status(KVN_STATUS_INFO, "baremetal create: %s", "done");
    else
        kvn_app_status(KVN_STATUS_ERROR, "baremetal create: %s", "see the report");
}

void _report_benchmark(KVN_TOOL_JOB *j) {
    if (j->result <= 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "metric benchmark failed");
        return;
    }
    Q_STR *text = new_qstr(2048);
    if (!text) return;
    kvn_metric_benchmark_report(&j->bench, j->cancelled, text);
    kvn_gui_show_result("openstack metric benchmark", text->data, 0, nullptr);
    free_qstr(&text);
    Q_CJSON chart(kvn_metric_benchmark_chart(&j->bench));
    if (chart) kvn_gui_chart_show("Metric benchmark: requests per second", "summary", chart.get(), nullptr);
}

void _report_config(KVN_TOOL_JOB *j) {
    if (j->result != 0) {
        kvn_app_status(KVN_STATUS_ERROR, "coe cluster config: %s",
                       j->report[0] ? j->report : (j->cancelled ? "cancelled" : "failed"));
        return;
    }
    char text[2200];
    q_format(text, sizeof text, "Configuration written in %s\n\n%s", j->text1, j->report);
    kvn_gui_show_result("openstack coe cluster config", text, 0, nullptr);
    kvn_app_status(KVN_STATUS_INFO, "coe cluster config: written in %s", j->text1);
}

void _done(KVN_JOB *job) {
    KVN_TOOL_JOB *j = static_cast<KVN_TOOL_JOB *>(job->user);
    kvn_tool_job_report(j, q_httpc_is_cancelled(job->cancel));
}

// ---- form Run handlers -----------------------------------------------------------------------

char g_container[2048];
char g_cluster[2048];

KVN_TOOL_JOB *_new_or_message(int kind, const KVN_OP *op) {
    KVN_TOOL_JOB *j = kvn_tool_job_new(kind);
    if (!j) kvn_gui_form_set_message(op, "connect first");
    return j;
}

// A check that failed: the form opens again with what was typed and says why.
void _refuse(const KVN_OP *op, const char *const *values, int count, const char *why, KVN_FORM_DONE done) {
    if (kvn_gui_form_reopen(op, nullptr, values, count, why, done, 0, nullptr) != 0)
        kvn_gui_form_set_message(op, why);
}

void _on_save(const KVN_OP *op, const char *const *values, int count, long, void *) {
    const char *dir = _value(values, count, 0);
    if (!*dir) {
        _refuse(op, values, count, "choose a folder", _on_save);
        return;
    }
    KVN_TOOL_JOB *j = _new_or_message(KVN_TOOL_CONTAINER_SAVE, op);
    if (!j) return;
    q_strcpy(j->text0, sizeof j->text0, g_container);
    q_strcpy(j->text1, sizeof j->text1, dir);
    kvn_tool_job_submit(j, "container save");
}

void _on_cleanup(const KVN_OP *op, const char *const *values, int count, long, void *) {
    if (g_cleanup_running) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", KVN_CLEANUP_ALREADY_RUNNING);
        return;
    }
    KVN_TOOL_JOB *j = _new_or_message(KVN_TOOL_CLEANUP_DISCOVER, op);
    if (!j) return;
    q_strcpy(j->text5, sizeof j->text5, _value(values, count, 0));
    g_cleanup_running = 1;
    kvn_tool_job_submit(j, "project cleanup: listing");
}

void _on_create(const KVN_OP *op, const char *const *values, int count, long, void *) {
    const char *file = _value(values, count, 0);
    size_t length = 0;
    Q_CBUF text(*file ? kvn_paths_read_file(file, k_document_cap, &length) : nullptr);
    if (!text) {
        _refuse(op, values, count, "cannot read the file", _on_create);
        return;
    }
    cJSON *doc = cJSON_ParseWithLength(text.get(), length);
    if (!cJSON_IsObject(doc)) {
        if (doc) cJSON_Delete(doc);
        _refuse(op, values, count, "the file is not a JSON object (YAML is not read: convert it to JSON)",
                _on_create);
        return;
    }
    KVN_TOOL_JOB *j = _new_or_message(KVN_TOOL_BAREMETAL_CREATE, op);
    if (!j) {
        cJSON_Delete(doc);
        return;
    }
    j->document = doc;
    kvn_tool_job_submit(j, "baremetal create");
}

void _on_config(const KVN_OP *op, const char *const *values, int count, long, void *) {
    const char *dir = _value(values, count, 0);
    if (!*dir) {
        _refuse(op, values, count, "choose a folder", _on_config);
        return;
    }
    KVN_TOOL_JOB *j = _new_or_message(KVN_TOOL_COE_CONFIG, op);
    if (!j) return;
    q_strcpy(j->text0, sizeof j->text0, g_cluster);
    q_strcpy(j->text1, sizeof j->text1, dir);
    j->flag = !strcmp(_value(values, count, 1), "true");
    kvn_tool_job_submit(j, "coe cluster config");
}

// A whole decimal integer within the range; anything else is refused.
bool _int_in(const char *text, long lo, long hi, int *out) {
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (!*text || errno || !end || *end || v < lo || v > hi) return false;
    *out = (int)v;
    return true;
}

void _on_benchmark(const KVN_OP *op, const char *const *values, int count, long, void *) {
    int metrics = 0, batches = 0, size = 0;
    if (!_int_in(_value(values, count, 1), 1, 10000, &metrics) ||
        !_int_in(_value(values, count, 2), 0, 1000, &batches) ||
        !_int_in(_value(values, count, 3), 1, 10000, &size)) {
        _refuse(op, values, count, "metrics 1..10000, batches 0..1000, batch size 1..10000", _on_benchmark);
        return;
    }
    KVN_TOOL_JOB *j = _new_or_message(KVN_TOOL_METRIC_BENCHMARK, op);
    if (!j) return;
    q_strcpy(j->text0, sizeof j->text0, _value(values, count, 0));
    j->count = metrics;
    j->batches = batches;
    j->batch_size = size;
    j->flag = !strcmp(_value(values, count, 4), "true");
    kvn_tool_job_submit(j, "metric benchmark");
}

void _on_request(const KVN_OP *op, const char *const *values, int count, long, void *) {
    KVN_TOOL_JOB *j = _new_or_message(KVN_TOOL_REQUEST_TOKEN, op);
    if (!j) return;
    q_strcpy(j->text0, sizeof j->text0, _value(values, count, 0));
    q_strcpy(j->text1, sizeof j->text1, _value(values, count, 1));
    q_strcpy(j->text5, sizeof j->text5, _value(values, count, 2));
    kvn_tool_job_submit(j, "request token create");
}

void _on_access(const KVN_OP *op, const char *const *values, int count, long, void *) {
    KVN_TOOL_JOB *j = _new_or_message(KVN_TOOL_ACCESS_TOKEN, op);
    if (!j) return;
    q_strcpy(j->text0, sizeof j->text0, _value(values, count, 0));
    q_strcpy(j->text1, sizeof j->text1, _value(values, count, 1));
    q_strcpy(j->text2, sizeof j->text2, _value(values, count, 2));
    q_strcpy(j->text3, sizeof j->text3, _value(values, count, 3));
    q_strcpy(j->text4, sizeof j->text4, _value(values, count, 4));
    kvn_tool_job_submit(j, "access token create");
}

// ---- the "ui" handlers ---------------------------------------------------------------------

const char *_str(const cJSON *item, const char *name) {
    const cJSON *v = item ? cJSON_GetObjectItemCaseSensitive(item, name) : nullptr;
    return cJSON_IsString(v) && v->valuestring[0] ? v->valuestring : nullptr;
}

void _ui_container_save(const KVN_RESOURCE *, const KVN_OP *, const cJSON *item) {
    const char *name = _str(item, "name");
    if (!name) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "select a container first");
        return;
    }
    _build_forms();
    q_strcpy(g_container, sizeof g_container, name);
    char title[2100];
    q_format(title, sizeof title, "Save container %s", name);
    kvn_gui_form_open(&g_forms[FORM_SAVE], title, nullptr, _on_save, 0, nullptr);
}

void _ui_cleanup(const KVN_RESOURCE *, const KVN_OP *, const cJSON *item) {
    _build_forms();
    // From a project's row the form starts on that project.
    const char *id = _str(item, "id");
    cJSON *prefill = id ? cJSON_CreateObject() : nullptr;
    if (prefill) cJSON_AddStringToObject(prefill, "project", id);
    kvn_gui_form_open(&g_forms[FORM_CLEANUP], "Project cleanup", prefill, _on_cleanup, 0, nullptr);
    if (prefill) cJSON_Delete(prefill);
}

void _ui_baremetal(const KVN_RESOURCE *, const KVN_OP *, const cJSON *) {
    _build_forms();
    kvn_gui_form_open(&g_forms[FORM_CREATE], "Baremetal create", nullptr, _on_create, 0, nullptr);
}

void _ui_coe(const KVN_RESOURCE *, const KVN_OP *, const cJSON *item) {
    const char *id = _str(item, "uuid");
    if (!id) id = _str(item, "name");
    if (!id) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "select a cluster first");
        return;
    }
    _build_forms();
    q_strcpy(g_cluster, sizeof g_cluster, id);
    kvn_gui_form_open(&g_forms[FORM_CONFIG], "Cluster configuration", nullptr, _on_config, 0, nullptr);
}

void _ui_benchmark(const KVN_RESOURCE *, const KVN_OP *, const cJSON *) {
    _build_forms();
    kvn_gui_form_open(&g_forms[FORM_BENCHMARK], "Metric benchmark", nullptr, _on_benchmark, 0, nullptr);
}

void _ui_oauth1(const KVN_RESOURCE *, const KVN_OP *op, const cJSON *) {
    _build_forms();
    if (op && op->id && !strcmp(op->id, "request_token"))
        kvn_gui_form_open(&g_forms[FORM_REQUEST], "Create a request token", nullptr, _on_request, 0, nullptr);
    else
        kvn_gui_form_open(&g_forms[FORM_ACCESS], "Create an access token", nullptr, _on_access, 0, nullptr);
}

void _ui_modules(const KVN_RESOURCE *, const KVN_OP *, const cJSON *) {
    KVN_APP *app = _app();
    char text[2048];
    kvn_cmdtools_module_text(app ? app->api : nullptr, text, sizeof text);
    kvn_gui_show_result("openstack module list", text, 0, nullptr);
}

void _ui_config(const KVN_RESOURCE *, const KVN_OP *, const cJSON *) {
    std::vector<char> text(65536);
    kvn_cmdtools_config_text(text.data(), text.size());
    kvn_gui_show_result("openstack configuration show", text.data(), 0, nullptr);
}

void _ui_command_list(const KVN_RESOURCE *, const KVN_OP *, const cJSON *) {
    kvn_gui_cmdlist_open();
}

// ---- the command list window -----------------------------------------------------------------

// The heights include the title bar (about 28 px): the bottom row of
// buttons sits that far above the bottom edge.
const float k_list_w = 1000, k_list_h = 640;
const float k_list_default_w = 640, k_list_default_h = 400;
const float k_chart_w = 900, k_chart_h = 560;
const float k_chart_default_w = 420, k_chart_default_h = 240;
enum { CMD_ROWS_MAX = 8192 };

// The windows belong to the context they were built in; a new context
// (tests) builds them again.
struct WINDOWS {
    Q_GUI_CTX *ctx = nullptr;
    int list = -1, filter = -1, count = -1, grid = -1, open = -1, close = -1;
    int chart_window = -1, chart_widget = -1, chart_close = -1;
    std::vector<KVN_CMD_ROW> rows; // what the grid shows, in grid order before any sort
};
WINDOWS g_w;
Q_GUI_CHART g_chart;

Q_GUI_CTX *_ctx(void) {
    KVN_APP *app = _app();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (ctx != g_w.ctx) {
        q_gui_chart_clear_series(&g_chart);
        g_w = WINDOWS();
        g_w.ctx = ctx;
    }
    return ctx;
}

void _list_fill(void) {
    KVN_APP *app = _app();
    Q_GUI_CTX *ctx = g_w.ctx;
    if (!ctx || g_w.grid < 0) return;
    const char *filter = q_gui_textarea_get_text(ctx, g_w.filter);
    g_w.rows.resize(CMD_ROWS_MAX);
    const int n = kvn_cmdtools_rows(app ? app->api : nullptr, filter, g_w.rows.data(), CMD_ROWS_MAX);
    g_w.rows.resize((size_t)n);
    q_gui_datagrid_clear(ctx, g_w.grid);
    for (const KVN_CMD_ROW &r : g_w.rows) {
        const char *cells[5] = {r.command, r.service_title, r.resource_title, r.operation, r.ref};
        q_gui_datagrid_add_row(ctx, g_w.grid, cells);
    }
    char label[64];
    q_format(label, sizeof label, "%d command%s", n, n == 1 ? "" : "s");
    q_gui_label_set_text(ctx, g_w.count, label);
    q_gui_request_redraw(ctx);
}

void _on_filter(int, const char *, void *) {
    _list_fill();
}

void _on_list_close(int, void *) {
    if (g_w.ctx && g_w.list >= 0) q_gui_close_window(g_w.ctx, g_w.list);
}

// The row behind the grid's selection, found by its texts so a sorted grid
// still runs what the user sees.
const KVN_CMD_ROW *_selected_row(void) {
    const int row = q_gui_datagrid_get_selected_row(g_w.ctx, g_w.grid);
    if (row < 0) return nullptr;
    const char *command = q_gui_datagrid_get_cell(g_w.ctx, g_w.grid, row, 0);
    const char *operation = q_gui_datagrid_get_cell(g_w.ctx, g_w.grid, row, 3);
    const char *ref = q_gui_datagrid_get_cell(g_w.ctx, g_w.grid, row, 4);
    if (!command || !ref || !operation) return nullptr;
    for (const KVN_CMD_ROW &r : g_w.rows)
        if (!strcmp(r.command, command) && !strcmp(r.ref, ref) && !strcmp(r.operation, operation)) return &r;
    return nullptr;
}

void _on_open_resource(int, void *) {
    const KVN_CMD_ROW *r = _selected_row();
    if (!r) {
        q_gui_label_set_text(g_w.ctx, g_w.count, "select a command first");
        q_gui_request_redraw(g_w.ctx);
        return;
    }
    const KVN_CMD_ROW chosen = *r;
    if (kvn_gui_main_open_view(chosen.ref) != 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s: the resource cannot be shown", chosen.ref);
        return;
    }
    q_gui_close_window(g_w.ctx, g_w.list);
    // Listing is what opening the view does; any other operation then runs as
    // if chosen in the panel (a form, a confirmation, or "select an item").
    if (!chosen.is_list && chosen.op)
        kvn_gui_resource_run(static_cast<const KVN_RESOURCE *>(chosen.res), chosen.op, nullptr);
}

int _tip(Q_GUI_CTX *ctx, int id, const char *tip) {
    if (id >= 0 && tip) q_gui_widget_set_tooltip(ctx, id, tip);
    return id;
}

bool _build_list(Q_GUI_CTX *ctx) {
    if (g_w.list >= 0) return true;
    const int win = q_gui_add_window(ctx, "openstack command list", 0, 0, k_list_w, k_list_h);
    if (win < 0) return false;
    q_gui_window_set_flags(ctx, win, Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_RESIZABLE);
    q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(ctx, win, _on_list_close, nullptr);
    g_w.list = win;
    g_w.filter = _tip(ctx, q_gui_add_textarea(ctx, win, 8, 8, 620, 30, 0, 255, _on_filter, nullptr),
                      "Show only the commands containing this text");
    g_w.count = q_gui_add_label(ctx, win, "", 640, 8, 352, 30, 0);
    g_w.grid = q_gui_add_datagrid(ctx, win, 8, 46, 984, 520, nullptr, nullptr);
    g_w.open =
        _tip(ctx, q_gui_add_button(ctx, win, "Open resource", 8, 574, 150, 30, 1, _on_open_resource, nullptr),
             "Show the resource of the selected command");
    g_w.close = _tip(ctx, q_gui_add_button(ctx, win, "Close", 902, 574, 90, 30, 1, _on_list_close, nullptr),
                     "Close (ESC)");
    if (g_w.filter < 0 || g_w.count < 0 || g_w.grid < 0 || g_w.open < 0 || g_w.close < 0) {
        q_log(Q_LOG_ERR, "command list: a widget could not be created");
        return false;
    }
    q_gui_textarea_set_placeholder(ctx, g_w.filter, "part of a command, resource or action");
    q_gui_datagrid_add_column(ctx, g_w.grid, "CLI command", 360);
    q_gui_datagrid_add_column(ctx, g_w.grid, "Service", 150);
    q_gui_datagrid_add_column(ctx, g_w.grid, "Resource", 200);
    q_gui_datagrid_add_column(ctx, g_w.grid, "Operation in the GUI", 240);
    q_gui_datagrid_add_column(ctx, g_w.grid, "_ref", 10);
    q_gui_datagrid_set_column_visible(ctx, g_w.grid, 4, 0);
    kvn_gui_layout_anchor(win, g_w.filter, KVN_ANCHOR_LEFT | KVN_ANCHOR_RIGHT | KVN_ANCHOR_TOP);
    kvn_gui_layout_anchor(win, g_w.count, KVN_ANCHOR_RIGHT | KVN_ANCHOR_TOP);
    kvn_gui_layout_anchor(win, g_w.grid, KVN_ANCHOR_ALL);
    kvn_gui_layout_anchor(win, g_w.open, KVN_ANCHOR_LEFT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, g_w.close, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    q_gui_close_window(ctx, win);
    return true;
}

// ---- the chart window ----------------------------------------------------------------------

void _on_chart_close(int, void *) {
    if (g_w.ctx && g_w.chart_window >= 0) q_gui_close_window(g_w.ctx, g_w.chart_window);
}

bool _build_chart(Q_GUI_CTX *ctx) {
    if (g_w.chart_window >= 0) return true;
    const int win = q_gui_add_window(ctx, "Chart", 0, 0, k_chart_w, k_chart_h);
    if (win < 0) return false;
    q_gui_window_set_flags(ctx, win, Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_RESIZABLE);
    q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(ctx, win, _on_chart_close, nullptr);
    g_w.chart_window = win;
    g_w.chart_widget = kvn_theme_add_chart(ctx, win, 8, 8, k_chart_w - 16, k_chart_h - 82, &g_chart);
    g_w.chart_close = _tip(ctx,
                           q_gui_add_button(ctx, win, "Close", k_chart_w - 98, k_chart_h - 66, 90, 30, 1,
                                            _on_chart_close, nullptr),
                           "Close (ESC)");
    if (g_w.chart_widget < 0 || g_w.chart_close < 0) {
        q_log(Q_LOG_ERR, "chart window: a widget could not be created");
        return false;
    }
    kvn_gui_layout_anchor(win, g_w.chart_widget, KVN_ANCHOR_ALL);
    kvn_gui_layout_anchor(win, g_w.chart_close, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    q_gui_close_window(ctx, win);
    return true;
}

// Index of a column name in the "columns" array, -1 when absent.
int _column(const cJSON *columns, const char *name) {
    int i = 0;
    const cJSON *c;
    cJSON_ArrayForEach(c, columns) {
        if (cJSON_IsString(c) && !strcmp(c->valuestring, name)) return i;
        i++;
    }
    return -1;
}

// Fills the chart from the answer; the number of points or bars drawn.
int _chart_fill(Q_GUI_CHART *chart, const char *title, const char *kind, const cJSON *answer) {
    q_gui_chart_clear_series(chart);
    q_gui_chart_bars_clear(chart);
    chart->has_data = 0;
    chart->message[0] = 0;
    chart->units[0] = 0;
    chart->has_x_range = 0;
    const bool measures = kind && !strcmp(kind, "measures");
    q_strcpy(chart->title, sizeof chart->title, title && *title ? title : measures ? "Measures" : "Summary");
    int drawn = 0;
    if (measures) {
        chart->kind = Q_GUI_CHART_LINE;
        chart->time_axis = 1;
        Q_GUI_CHART_SERIES *s = q_gui_chart_series(chart, "value");
        const cJSON *point;
        cJSON_ArrayForEach(point, (cJSON_IsArray(answer) ? answer : nullptr)) {
            if (!s || drawn >= Q_GUI_CHART_POINTS_MAX) break;
            if (!cJSON_IsArray(point) || cJSON_GetArraySize(point) < 3) continue;
            const cJSON *t = cJSON_GetArrayItem(point, 0), *v = cJSON_GetArrayItem(point, 2);
            if (!cJSON_IsString(t) || !cJSON_IsNumber(v)) continue;
            const int64_t when = kvn_parse_iso_time(t->valuestring);
            if (when <= 0) continue;
            if (q_gui_chart_point_add(s, (double)when, v->valuedouble) >= 0) drawn++;
        }
        chart->has_data = drawn > 0;
        if (!drawn) q_strcpy(chart->message, sizeof chart->message, "no measure in the answer");
        return drawn;
    }
    chart->kind = Q_GUI_CHART_BARS;
    chart->time_axis = 0;
    const cJSON *columns = cJSON_GetObjectItemCaseSensitive(answer, "columns");
    const cJSON *results = cJSON_GetObjectItemCaseSensitive(answer, "results");
    const int value_col = _column(columns, "rate");
    int label_col = _column(columns, "type");
    if (label_col < 0) label_col = _column(columns, "res_type");
    if (label_col < 0) label_col = _column(columns, "project_id");
    const cJSON *row;
    cJSON_ArrayForEach(row, (cJSON_IsArray(results) ? results : nullptr)) {
        if (value_col < 0 || !cJSON_IsArray(row)) break;
        const cJSON *v = cJSON_GetArrayItem(row, value_col);
        if (!cJSON_IsNumber(v)) continue;
        const cJSON *l = label_col >= 0 ? cJSON_GetArrayItem(row, label_col) : nullptr;
        char label[Q_GUI_CHART_BAR_LABEL_MAX];
        kvn_api_value_text(l, label, sizeof label);
        if (q_gui_chart_bar_add(chart, label[0] ? label : "total", v->valuedouble, Q_GUI_CHART_BLUE) >= 0)
            drawn++;
    }
    chart->has_data = chart->bar_count > 0;
    if (!chart->bar_count)
        q_format(chart->message, sizeof chart->message, "%s%s", "no cost in the", " answer");
    return chart->bar_count;
}

// ---- the configuration report --------------------------------------------------------------

const char *_auth_type(int t) {
    return t == 0 ? "password" : t == 1 ? "v3applicationcredential" : t == 2 ? "token" : "?";
}

} // namespace

// ---- public ------------------------------------------------------------------------------

void kvn_cmdtools_register(void) {
    _build_forms();
    kvn_gui_resource_register_ui("container_save", _ui_container_save);
    kvn_gui_resource_register_ui("project_cleanup", _ui_cleanup);
    kvn_gui_resource_register_ui("baremetal_create", _ui_baremetal);
    kvn_gui_resource_register_ui("coe_cluster_config", _ui_coe);
    kvn_gui_resource_register_ui("metric_benchmark", _ui_benchmark);
    kvn_gui_resource_register_ui("oauth1", _ui_oauth1);
    kvn_gui_resource_register_ui("module_list", _ui_modules);
    kvn_gui_resource_register_ui("configuration_show", _ui_config);
    kvn_gui_resource_register_ui("command_list", _ui_command_list);
}

const KVN_OP *kvn_cmdtools_form_op(int index) {
    _build_forms();
    return index >= 0 && index < FORM_COUNT ? &g_forms[index] : nullptr;
}

int kvn_cmdtools_form_run(int index, const char *const *values, int count) {
    static const KVN_FORM_DONE k_run[FORM_COUNT] = {_on_save,      _on_cleanup, _on_create, _on_config,
                                                    _on_benchmark, _on_request, _on_access};
    if (index < 0 || index >= FORM_COUNT) return -1;
    _build_forms();
    k_run[index](&g_forms[index], values, count, 0, nullptr);
    return 0;
}

int kvn_cmdtools_cleanup_running(void) {
    return g_cleanup_running;
}

KVN_TOOL_JOB *kvn_tool_job_new(int kind) {
    KVN_APP *app = _app();
    if (!app || !app->session) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "connect first");
        return nullptr;
    }
    KVN_TOOL_JOB *j = nullptr;
    Q_CALLOC(j, 1, KVN_TOOL_JOB);
    if (!j) return nullptr;
    j->kind = kind;
    j->session = kvn_session_ref(app->session);
    j->generation = app->session_generation;
    j->log = new_qstr(1024);
    return j;
}

void kvn_tool_job_free(KVN_TOOL_JOB *job) {
    _job_free(job);
}

int kvn_tool_job_submit(KVN_TOOL_JOB *job, const char *title) {
    const int kind = job ? job->kind : -1;
    const uint64_t generation = job ? job->generation : 0;
    if (!job || kvn_jobs_submit(title, _run, _done, _job_free, job, generation) < 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s: cannot start", title ? title : "tool");
        if (kind == KVN_TOOL_CLEANUP_DISCOVER || kind == KVN_TOOL_CLEANUP_DELETE) g_cleanup_running = 0;
        return -1;
    }
    return 0;
}

void kvn_tool_job_report(KVN_TOOL_JOB *j, int cancelled) {
    if (!j) return;
    KVN_APP *app = _app();
    const bool cleanup = j->kind == KVN_TOOL_CLEANUP_DISCOVER || j->kind == KVN_TOOL_CLEANUP_DELETE;
    if (cleanup) g_cleanup_running = 0;
    // An answer for a project or connection that is gone shows nothing.
    if (!app || !app->session || app->session_generation != j->generation) return;
    j->cancelled = cancelled;
    switch (j->kind) {
    case KVN_TOOL_REQUEST_TOKEN:
    case KVN_TOOL_ACCESS_TOKEN:
        _report_oauth(j);
        break;
    case KVN_TOOL_CLEANUP_DISCOVER:
        _report_discovery(j);
        break;
    case KVN_TOOL_CLEANUP_DELETE:
        _report_deletion(j);
        break;
    case KVN_TOOL_CONTAINER_SAVE:
        _report_save(j);
        break;
    case KVN_TOOL_BAREMETAL_CREATE:
        _report_create(j);
        break;
    case KVN_TOOL_METRIC_BENCHMARK:
        _report_benchmark(j);
        break;
    case KVN_TOOL_COE_CONFIG:
        _report_config(j);
        break;
    default:
        kvn_app_status(KVN_STATUS_ERROR, "%s: %s", _kind_title(j->kind),
                       j->error[0] ? j->error : k_unavailable);
        break;
    }
}

int kvn_gui_chart_show(const char *title, const char *kind, const cJSON *answer, const char *fallback) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || !_build_chart(ctx)) return -1;
    const int drawn = _chart_fill(&g_chart, title, kind, answer);
    if (!drawn && fallback && *fallback) {
        kvn_gui_show_result(g_chart.title, fallback, 0, nullptr);
        return 1;
    }
    kvn_gui_layout_place_popup(g_w.chart_window, "chart", k_chart_default_w, k_chart_default_h);
    q_gui_open_window(ctx, g_w.chart_window);
    q_gui_raise_window(ctx, g_w.chart_window);
    q_gui_request_redraw(ctx);
    return 0;
}

void kvn_gui_cmdlist_open(void) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || !_build_list(ctx)) return;
    kvn_gui_layout_place_popup(g_w.list, "command_list", k_list_default_w, k_list_default_h);
    if (!q_gui_window_is_open(ctx, g_w.list)) {
        q_gui_textarea_set_text(ctx, g_w.filter, "");
        _list_fill();
    }
    q_gui_open_window(ctx, g_w.list);
    q_gui_raise_window(ctx, g_w.list);
    q_gui_set_focus(ctx, g_w.filter);
    q_gui_request_redraw(ctx);
}

namespace {
// Adds the rows of one cli text: each "/"-separated piece is one command.
int _add_commands(const KVN_RESOURCE *r, const KVN_OP *op, const char *text, const char *operation,
                  int is_list, const char *filter, KVN_CMD_ROW *rows, int n, int capacity) {
    const char *p = text;
    while (p && *p && n < capacity) {
        const char *slash = strchr(p, '/');
        size_t len = slash ? (size_t)(slash - p) : strlen(p);
        const char *start = p;
        while (len > 0 && *start == ' ') {
            start++;
            len--;
        }
        while (len > 0 && start[len - 1] == ' ')
            len--;
        if (len > 245) len = 245;
        p = slash ? slash + 1 : nullptr;
        if (!len) continue;
        KVN_CMD_ROW &row = rows[n];
        memset(&row, 0, sizeof row);
        q_format(row.command, sizeof row.command, "openstack %.*s", (int)len, start);
        row.service_title = r->service && r->service->title ? r->service->title : "";
        row.resource_title = r->title ? r->title : "";
        q_strcpy(row.operation, sizeof row.operation, operation);
        q_format(row.ref, sizeof row.ref, "%s.%s", r->service ? r->service->name : "", r->id ? r->id : "");
        row.res = r;
        row.op = op;
        row.is_list = is_list;
        if (filter && *filter && !kvn_res_cell_matches(row.command, filter) &&
            !kvn_res_cell_matches(row.resource_title, filter) && !kvn_res_cell_matches(row.operation, filter))
            continue;
        n++;
    }
    return n;
}

// Whether the text has the word (between blanks or at its ends).
bool _has_word(const char *text, const char *word) {
    const size_t n = strlen(word);
    for (const char *p = strstr(text, word); p; p = strstr(p + 1, word))
        if ((p == text || p[-1] == ' ') && (p[n] == 0 || p[n] == ' ')) return true;
    return false;
}

// The commands behind a resource's list and show. Most descriptors write
// the list command itself ("volume list"): doubling it into "volume list
// list" would name commands that do not exist, so such a text gets its show
// command beside it, and only a bare noun ("server") gets both verbs.
void _list_commands(const KVN_RESOURCE *r, char *out, size_t size) {
    const char *cli = r->cli;
    const size_t len = strlen(cli);
    if (strchr(cli, '/') || r->single)
        q_strcpy(out, size, cli);
    else if (len > 5 && !strcmp(cli + len - 5, " list"))
        q_format(out, size, "%s / %.*s show", cli, (int)(len - 5), cli);
    else if (_has_word(cli, "list") || _has_word(cli, "show"))
        q_strcpy(out, size, cli);
    else
        q_format(out, size, "%s list / %s show", cli, cli);
}

int _add_op(const KVN_RESOURCE *r, const KVN_OP *op, const char *fallback, const char *filter,
            KVN_CMD_ROW *rows, int n, int capacity) {
    if (!op || !op->cli || !op->cli[0]) return n;
    char name[128];
    q_strcpy(name, sizeof name, op->title && op->title[0] ? op->title : fallback);
    return _add_commands(r, op, op->cli, name, 0, filter, rows, n, capacity);
}
} // namespace

int kvn_cmdtools_rows(const KVN_API *api, const char *filter, KVN_CMD_ROW *rows, int capacity) {
    int n = 0;
    for (int s = 0; api && s < api->service_count; s++) {
        const KVN_SERVICE *svc = api->services[s];
        for (int i = 0; i < svc->resource_count && n < capacity; i++) {
            const KVN_RESOURCE *r = svc->resources[i];
            if (r->cli && r->cli[0] && r->list_path) {
                char text[600];
                _list_commands(r, text, sizeof text);
                n = _add_commands(r, nullptr, text, r->single ? "Show" : "List / show", 1, filter, rows, n,
                                  capacity);
            }
            n = _add_op(r, r->create, "Create", filter, rows, n, capacity);
            n = _add_op(r, r->update, "Edit", filter, rows, n, capacity);
            n = _add_op(r, r->del, "Delete", filter, rows, n, capacity);
            for (int a = 0; a < r->action_count; a++)
                n = _add_op(r, r->actions[a], "Action", filter, rows, n, capacity);
        }
    }
    return n;
}

void kvn_cmdtools_module_text(const KVN_API *api, char *out, size_t size) {
    int services = api ? api->service_count : 0, resources = 0, operations = 0;
    for (int s = 0; api && s < api->service_count; s++) {
        const KVN_SERVICE *svc = api->services[s];
        resources += svc->resource_count;
        for (int i = 0; i < svc->resource_count; i++) {
            const KVN_RESOURCE *r = svc->resources[i];
            operations +=
                1 + (r->create != nullptr) + (r->update != nullptr) + (r->del != nullptr) + r->action_count;
        }
    }
    const uint32_t v = al_get_allegro_version();
    q_format(
        out, size,
        "Kelvane   %s (%s build)\nAllegro            %d.%d.%d\nOpenSSL            %s\ncJSON              %s\n"
        "quarnel-library    compiled in from source\nAPI descriptors    %d services, %d resources, %d "
        "operations\n\nThe REST APIs are called directly: no Python client library is involved.\n",
        k_version, k_build, (int)(v >> 24), (int)((v >> 16) & 255), (int)((v >> 8) & 255),
        OpenSSL_version(OPENSSL_VERSION), cJSON_Version(), services, resources, operations);
}

void kvn_cmdtools_config_text(char *out, size_t size) {
    KVN_APP *app = _app();
    Q_STR *s = new_qstr(4096);
    if (!s) {
        q_strcpy(out, size, "");
        return;
    }
    KVN_CONFIG c;
    memset(&c, 0, sizeof c);
    if (app) c = app->config;
    qstrprintf_cat_ex(s,
                      "Settings (%s)\n  theme %d, history %s every %d s kept %d days, auto refresh %d s,\n  "
                      "show restricted %d, "
                      "show services not in catalog %d\nData   %s\n\n",
                      kvn_paths_config_dir(), c.theme, c.history_enabled ? "on" : "off", c.history_period_s,
                      c.history_keep_days, c.auto_refresh_s, c.show_restricted, c.show_unavailable,
                      kvn_paths_data_dir());
    KVN_SESSION *session = app ? app->session : nullptr;
    if (!session) {
        qstrprintf_cat_ex(s, "Not connected.\n");
    } else {
        KVN_PROFILE p;
        memset(&p, 0, sizeof p);
        kvn_session_profile(session, &p);
        const bool has_secret = p.secret[0] != 0;
        kvn_profile_wipe_secret(&p);
        KVN_SESSION_INFO info;
        memset(&info, 0, sizeof info);
        kvn_session_info(session, &info);
        qstrprintf_cat_ex(
            s,
            "Profile %s\n  auth_url             %s\n  auth_type            %s\n  username             %s\n"
            "  user_id              %s\n  user_domain          %s%s\n  project_name         %s\n"
            "  project_id           %s\n  project_domain       %s%s\n  region_name          %s\n"
            "  interface            %s\n  application cred.    %s%s\n  cacert               %s\n"
            "  insecure             %s\n  secret               %s\n\nSession\n  user                 %s "
            "(%s)\n"
            "  project              %s (%s)\n  roles                %s\n\nCatalog\n",
            p.name, p.auth_url, _auth_type(p.auth_type), p.username, p.user_id, p.user_domain_name,
            p.user_domain_id, p.project_name, p.project_id, p.project_domain_name, p.project_domain_id,
            p.region[0] ? p.region : "(first)", p.interface, p.application_credential_id,
            p.application_credential_name, p.ca_file[0] ? p.ca_file : "(system)", p.insecure ? "YES" : "no",
            has_secret ? "<set, not shown>" : "<none>", info.user_name, info.user_id, info.project_name,
            info.project_id, info.roles);
        q_secure_zero(&p, sizeof p);
        KVN_ENDPOINT_INFO e;
        std::vector<std::string> types;
        for (int i = 0; kvn_session_endpoint_at(session, i, &e) == 0; i++) {
            qstrprintf_cat_ex(s, "  %-18s %-9s %-10s %s\n", e.type, e.interface, e.region, e.url);
            bool seen = false;
            for (const std::string &t : types)
                seen = seen || t == e.type;
            if (!seen) types.emplace_back(e.type);
        }
        qstrprintf_cat_ex(s, "\nMicroversions\n");
        for (const std::string &t : types) {
            char lo[64] = "", hi[64] = "";
            if (kvn_session_cached_microversion(session, t.c_str(), lo, sizeof lo, hi, sizeof hi) == 1 &&
                hi[0])
                qstrprintf_cat_ex(s, "  %-18s %s .. %s\n", t.c_str(), lo, hi);
        }
    }
    q_strcpy(out, size, s->data ? s->data : "");
    free_qstr(&s);
}

void kvn_cmdtools_shutdown(void) {
    kvn_cleanup_plan_free(&g_pending_plan);
    q_gui_chart_clear_series(&g_chart);
    g_w = WINDOWS();
    g_cleanup_running = 0;
}

void kvn_cmdtools_ids(KVN_CMDTOOLS_IDS *out) {
    if (!out) return;
    _ctx();
    out->list_window = g_w.list;
    out->list_filter = g_w.filter;
    out->list_count = g_w.count;
    out->list_grid = g_w.grid;
    out->list_open = g_w.open;
    out->list_close = g_w.close;
    out->chart_window = g_w.chart_window;
    out->chart_widget = g_w.chart_widget;
    out->chart_close = g_w.chart_close;
    out->chart = &g_chart;
}
