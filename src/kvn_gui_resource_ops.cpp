// The operations of the resource panel: the context menu, the pending
// records that forms and confirmations answer to, the batches of requests
// over the selected items and what their answers show.
#include <allegro5/allegro.h>
#include <cJSON.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_gui_cmdtools.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_gui_resource_internal.h"
#include "kvn_paths.h"
#include "q_base64.h"
#include "q_clipboard.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_popup.h"

namespace {
enum { TAG_EDIT = 100000, TAG_DELETE, TAG_COPY, TAG_SHOW };
const double k_reopen_guard_s = 0.4;

struct UI_ENTRY {
    char name[64];
    KVN_RES_UI_FN fn;
};

// One run of an operation over the selected items; its jobs find it by id,
// so a batch dropped by a connection change leaves nothing to point at.
struct BATCH {
    long id = 0;
    int panel = -1;
    const KVN_RESOURCE *res = nullptr;
    const KVN_OP *op = nullptr;
    int kind = 0;
    int ok = 0, failed = 0, pending = 0;
    char last_error[1024] = "";
    char save_path[4096] = "";
    // What a form handed over (owned, wiped before release) and the items
    // the batch ran on (owned): a failure reopens the form with both, so
    // nothing the user typed is lost. failed_items has the items of the
    // failed jobs when the jobs went item by item.
    char **values = nullptr;
    int value_count = 0;
    cJSON *items = nullptr;
    cJSON *failed_items = nullptr;
    int per_item = 0, jobs = 0;
};

KVN_RES_PENDING_TABLE g_pending;
UI_ENTRY g_ui[KVN_RES_UI_MAX];
int g_ui_count;
std::vector<BATCH *> g_batches;
long g_batch_ids;

const char *_title(const KVN_RESOURCE *res) {
    return res->title ? res->title : res->id;
}

const char *_op_title(const KVN_OP *op, const KVN_RESOURCE *res) {
    return op && op->title && op->title[0] ? op->title : _title(res);
}

KVN_RES_UI_FN _ui_lookup(const char *name) {
    for (int i = 0; i < g_ui_count; i++)
        if (!strcmp(g_ui[i].name, name)) return g_ui[i].fn;
    return nullptr;
}

bool _needs_item(const KVN_OP *op) {
    return op->needs_item || kvn_res_path_needs_item(op->path);
}

// An operation whose custom window is missing from this build: its generated
// form stands in when it has one to offer.
bool _ui_missing(const KVN_OP *op) {
    return op->ui && !_ui_lookup(op->ui) && !(op->field_count > 0 && op->path);
}

int _kind_of(const KVN_RESOURCE *res, const KVN_OP *op) {
    if (op == res->create) return KVN_RES_CREATE;
    if (op == res->update) return KVN_RES_UPDATE;
    if (op == res->del) return KVN_RES_DELETE;
    return KVN_RES_ACTION;
}

void _name_of(const KVN_RESOURCE *res, const cJSON *item, char *out, size_t size) {
    out[0] = 0;
    const cJSON *v = item ? kvn_api_json_at(item, res->name_field ? res->name_field : "name") : nullptr;
    if (v) kvn_api_value_text(v, out, size);
}

// The selected items as owned copies: the ids of the selected rows, the one
// whose show answer is kept overlaid with it.
cJSON *_selected_items(RES_PANEL *p) {
    cJSON *arr = cJSON_CreateArray();
    if (!arr) return nullptr;
    if (p->res->single) {
        if (p->show_json) cJSON_AddItemToArray(arr, cJSON_Duplicate(p->show_json, 1));
        return arr;
    }
    KVN_APP *app = kvn_app_get();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (!ctx || p->grid < 0) return arr;
    std::vector<int> rows(KVN_RES_SELECTED_MAX);
    int n = q_gui_datagrid_get_selected_rows(ctx, p->grid, rows.data(), KVN_RES_SELECTED_MAX);
    if (n <= 0) {
        const int one = q_gui_datagrid_get_selected_row(ctx, p->grid);
        n = 0;
        if (one >= 0) rows[(size_t)n++] = one;
    }
    for (int i = 0; i < n && i < KVN_RES_SELECTED_MAX; i++) {
        const char *id = q_gui_datagrid_get_cell(ctx, p->grid, rows[(size_t)i], p->res->column_count);
        const cJSON *item = id ? kvn_res_find_item(p, id) : nullptr;
        if (!item) continue;
        cJSON *copy = cJSON_Duplicate(item, 1);
        if (!copy) continue;
        if (n == 1 && p->show_json && !strcmp(id, p->selected) && cJSON_IsObject(p->show_json)) {
            const cJSON *m;
            cJSON_ArrayForEach(m, p->show_json) {
                if (!m->string) continue;
                cJSON *dup = cJSON_Duplicate(m, 1);
                if (!dup) continue;
                if (cJSON_GetObjectItemCaseSensitive(copy, m->string))
                    cJSON_ReplaceItemInObjectCaseSensitive(copy, m->string, dup);
                else
                    cJSON_AddItemToObject(copy, m->string, dup);
            }
        }
        cJSON_AddItemToArray(arr, copy);
    }
    return arr;
}

const char *_value_of(const KVN_OP *op, const KVN_RES_PENDING *pend, const char *field) {
    if (!field) return nullptr;
    for (int i = 0; i < op->field_count && i < pend->value_count; i++)
        if (op->fields[i].name && !strcmp(op->fields[i].name, field)) return pend->values[i];
    return nullptr;
}

BATCH *_batch(long id) {
    for (BATCH *b : g_batches)
        if (b->id == id) return b;
    return nullptr;
}

void _batch_delete(BATCH *b) {
    for (int i = 0; i < b->value_count; i++)
        if (b->values[i]) {
            q_secure_zero_str(b->values[i]);
            free(b->values[i]);
        }
    free(b->values);
    q_json_delete_secret(b->items);
    q_json_delete_secret(b->failed_items);
    delete b;
}

void _batch_free(BATCH *b) {
    for (size_t i = 0; i < g_batches.size(); i++)
        if (g_batches[i] == b) {
            g_batches.erase(g_batches.begin() + (long)i);
            break;
        }
    _batch_delete(b);
}

// A job names its batch and the item it ran on (0 for none, else the
// index + 1) in the one pointer it carries.
const int k_job_item_bits = 12;
static_assert(KVN_RES_SELECTED_MAX < (1 << k_job_item_bits), "item index fits the job tag");

void *_job_tag(long batch, int item) {
    return reinterpret_cast<void *>(((intptr_t)batch << k_job_item_bits) | (intptr_t)(item + 1));
}

BATCH *_job_batch(void *tag, int *item) {
    const intptr_t t = reinterpret_cast<intptr_t>(tag);
    *item = (int)(t & ((1 << k_job_item_bits) - 1)) - 1;
    return _batch((long)(t >> k_job_item_bits));
}

void _note_failed_item(BATCH *b, int item) {
    if (!b->per_item || item < 0) return;
    const cJSON *it = cJSON_GetArrayItem(b->items, item);
    if (!it) return;
    if (!b->failed_items) b->failed_items = cJSON_CreateArray();
    if (b->failed_items) cJSON_AddItemToArray(b->failed_items, cJSON_Duplicate(it, 1));
}

// ---- answers ---------------------------------------------------------------------------

bool _has_secret(const char *raw) {
    static const char *const k_keys[] = {"\"private_key\"", "\"secret\"", "\"adminPass\"", "\"auth_key\""};
    if (!raw) return false;
    for (const char *k : k_keys)
        if (strstr(raw, k)) return true;
    return false;
}

void _save_base64(BATCH *b, const KVN_RESULT *r, const char *path_in_answer, const char *display) {
    const cJSON *v = r->json ? kvn_api_json_at(r->json, path_in_answer) : nullptr;
    if (!cJSON_IsString(v)) {
        b->failed++;
        q_strcpy(b->last_error, sizeof b->last_error, "the answer carries no base64 data");
        return;
    }
    const size_t len = strlen(v->valuestring);
    std::vector<unsigned char> bytes(len / 4 * 3 + 4);
    const long n = q_base64_decode(v->valuestring, len, bytes.data(), bytes.size());
    if (n < 0) {
        b->failed++;
        q_strcpy(b->last_error, sizeof b->last_error, "the answer carries no base64 data");
        return;
    }
    if (!b->save_path[0] || kvn_paths_write_atomic(b->save_path, bytes.data(), (size_t)n, 0) != 0) {
        b->failed++;
        q_strcpy(b->last_error, sizeof b->last_error, "cannot write the file");
        return;
    }
    kvn_app_status(KVN_STATUS_INFO, "%s: %zu bytes saved to %s", display, (size_t)n, b->save_path);
}

void _show_answer(BATCH *b, KVN_RESULT *r, const char *display) {
    const KVN_OP *op = b->op;
    const char *result = op->result ? op->result : "";
    if (!strncmp(result, "text:", 5)) {
        const cJSON *v = r->json ? kvn_api_json_at(r->json, result + 5) : nullptr;
        kvn_gui_show_result(display, cJSON_IsString(v) ? v->valuestring : r->text ? r->text : "", 0, nullptr);
        return;
    }
    if (!strncmp(result, "save:", 5)) {
        char path[512];
        q_strcpy(path, sizeof path, result + 5);
        if (char *colon = strchr(path, ':')) *colon = 0;
        _save_base64(b, r, path, display);
        return;
    }
    if (!strcmp(result, "none")) return;
    Q_SECRET_CBUF printed(r->json ? q_json_print_secret(r->json, 1) : nullptr);
    if (!strncmp(result, "url:", 4)) {
        const cJSON *v = r->json ? kvn_api_json_at(r->json, result + 4) : nullptr;
        kvn_gui_show_result(display,
                            printed   ? printed.get()
                            : r->text ? r->text
                                      : "",
                            printed != nullptr, cJSON_IsString(v) ? v->valuestring : nullptr);
        return;
    }
    if (!strncmp(result, "chart:", 6)) {
        // Without anything to draw, the answer is shown as it came.
        kvn_gui_chart_show(display, result + 6, r->json, printed ? printed.get() : r->text ? r->text : "");
        return;
    }
    const bool body = (r->text && r->text[0]) || r->json;
    if (!body) return;
    const bool secret = _has_secret(r->text) || (printed && _has_secret(printed.get()));
    const bool get = op->method && !strcmp(op->method, "GET");
    const char *title = nullptr;
    if (secret)
        title = "Result (contains a secret shown only once)";
    else if (b->kind == KVN_RES_ACTION || ((b->kind == KVN_RES_CREATE || b->kind == KVN_RES_UPDATE) && get))
        title = display;
    if (!title) return;
    kvn_gui_show_result(title, printed ? printed.get() : r->text ? r->text : "", printed != nullptr, nullptr);
    const cJSON *key = r->json ? kvn_api_json_at(r->json, "keypair.private_key") : nullptr;
    if (cJSON_IsString(key)) {
        const cJSON *name = kvn_api_json_at(r->json, "keypair.name");
        kvn_gui_result_offer_save("Save private key...", key->valuestring,
                                  cJSON_IsString(name) ? name->valuestring : "key");
    }
}

void _form_done(const KVN_OP *op, const char *const *values, int field_count, long number, void *);

void _form_title(const KVN_RESOURCE *res, const KVN_OP *op, int kind, char *out, size_t size) {
    static const char *const k_kind[] = {"Action", "Create", "Edit", "Delete"};
    q_format(out, size, "%s - %s", _title(res), op->title && op->title[0] ? op->title : k_kind[kind]);
}

// A run that came from a form and failed: the form opens again with what
// was typed and the error, bound to a new pending record over the items
// still to do (the failed ones when the jobs went item by item), so OK
// there neither loses the values nor repeats what succeeded.
void _reopen_form(BATCH *b) {
    if (!b->values || b->failed == 0) return;
    cJSON *items;
    if (b->per_item) {
        items = b->failed_items;
        b->failed_items = nullptr;
    } else {
        items = b->items;
        b->items = nullptr;
    }
    if (!items) items = cJSON_CreateArray();
    KVN_RES_PENDING *pend = kvn_res_pending_add(&g_pending, b->panel, b->res, b->op, b->kind, items);
    char title[600], text[1200];
    _form_title(b->res, b->op, b->kind, title, sizeof title);
    if (b->jobs > 1)
        q_format(text, sizeof text, "%d of %d failed: %s", b->failed, b->jobs, b->last_error);
    else
        q_strcpy(text, sizeof text, b->last_error[0] ? b->last_error : "the request failed");
    if (kvn_gui_form_reopen(b->op, title, b->values, b->value_count, text, _form_done, pend->id, nullptr) !=
        0)
        kvn_res_pending_free(pend);
}

void _finish(BATCH *b) {
    char display[256], line[1600];
    kvn_res_display_name(b->op, b->kind, display, sizeof display);
    const int bad =
        kvn_res_batch_summary(_title(b->res), display, b->ok, b->failed, b->last_error, line, sizeof line);
    kvn_app_status(bad ? KVN_STATUS_ERROR : KVN_STATUS_INFO, "%s", line);
    RES_PANEL *p = kvn_res_panel(b->panel);
    const bool get = b->op->method && !strcmp(b->op->method, "GET");
    if (p && p->res == b->res && !get) {
        if (p->res->single)
            kvn_res_reload_show(p);
        else
            kvn_res_reload(p);
    }
    _reopen_form(b);
    _batch_free(b);
    kvn_gui_main_mark_dirty();
}

void _op_done(KVN_REQ *req, void *user) {
    int item;
    BATCH *b = _job_batch(user, &item);
    if (!b) return;
    b->pending--;
    KVN_RESULT *r = req->result;
    char display[256];
    kvn_res_display_name(b->op, b->kind, display, sizeof display);
    if (!kvn_result_ok(r)) {
        b->failed++;
        q_strcpy(b->last_error, sizeof b->last_error, r->error[0] ? r->error : "failed");
        _note_failed_item(b, item);
    } else {
        const int before = b->failed;
        if (b->kind != KVN_RES_DELETE) _show_answer(b, r, display);
        if (b->failed == before)
            b->ok++;
        else
            _note_failed_item(b, item);
    }
    if (b->pending <= 0) _finish(b);
}

// ---- running ---------------------------------------------------------------------------

// Builds and submits one job; 0 when it was submitted, else the text in err.
int _submit_one(BATCH *b, const KVN_RES_PENDING *pend, const cJSON *item, int item_index,
                const char *parent_id, char *err, size_t err_size) {
    const KVN_OP *op = b->op;
    const KVN_RESOURCE *res = b->res;
    KVN_APP *app = kvn_app_get();
    KVN_SESSION_INFO info;
    KVN_EXPAND_CTX x = {};
    if (app && app->session && kvn_session_info(app->session, &info) == 0) {
        x.project_id = info.project_id;
        x.user_id = info.user_id;
    }
    x.item = item;
    x.id_field = res->id_field;
    x.parent_id = parent_id;
    KVN_VALUES values = pend->values;
    char path[4096];
    cJSON *body = nullptr;
    if (kvn_api_prepare(op, &x, values, path, sizeof path, &body, err, err_size) != 0) return -1;
    const char *service = op->service ? op->service : res->service ? res->service->name : "";
    KVN_REQ *req = kvn_req_new(service, op->method ? op->method : "POST", path);
    if (!req) {
        q_json_delete_secret(body);
        q_strcpy(err, err_size, "not connected");
        return -1;
    }
    req->body = body;
    const char *mv = op->microversion ? op->microversion : res->microversion;
    if (mv) {
        q_strcpy(req->opts.microversion, sizeof req->opts.microversion, mv);
        req->opts.has_microversion = 1;
    }
    if (op->content_type) q_strcpy(req->opts.content_type, sizeof req->opts.content_type, op->content_type);
    const char *header = op->header ? op->header : res->header;
    if (header) {
        char *line = req->opts.extra_headers[0];
        if (strchr(header, '{')) {
            if (kvn_api_expand(header, &x, op, values, line, KVN_HEADER_LINE_MAX) != 0) {
                q_format(err, err_size, "cannot resolve header %s", header);
                kvn_req_free(req);
                return -1;
            }
        } else {
            q_strcpy(line, KVN_HEADER_LINE_MAX, header);
        }
    }
    if (op->accept) q_format(req->opts.extra_headers[1], KVN_HEADER_LINE_MAX, "Accept: %s", op->accept);
    if (op->raw_body) {
        const char *v = _value_of(op, pend, op->raw_body);
        req->opts.raw_body = strdup(v ? v : "");
    }
    if (op->upload) {
        const char *v = _value_of(op, pend, op->upload);
        if (v) q_strcpy(req->opts.upload_path, sizeof req->opts.upload_path, v);
    }
    if (op->download) {
        const char *v = _value_of(op, pend, op->download);
        if (v) q_strcpy(req->opts.download_path, sizeof req->opts.download_path, v);
    }
    char name[256], title[300];
    _name_of(res, item, name, sizeof name);
    q_format(title, sizeof title, "%.120s %.120s", op->title ? op->title : req->method, name);
    b->pending++;
    b->jobs++;
    if (kvn_req_submit(req, title, _op_done, _job_tag(b->id, item_index)) < 0) {
        b->pending--;
        q_strcpy(err, err_size, "cannot start the request");
        return -1;
    }
    return 0;
}

void _execute(KVN_RES_PENDING *pend) {
    const KVN_OP *op = pend->op;
    const KVN_RESOURCE *res = pend->res;
    const int count = cJSON_GetArraySize(q_json_array(pend->items));
    const bool needs = _needs_item(op);
    if (needs && count == 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s: select an item first", op->title ? op->title : "operation");
        kvn_res_pending_free(pend);
        return;
    }
    BATCH *b = new (std::nothrow) BATCH();
    if (!b) return;
    b->id = ++g_batch_ids;
    b->panel = pend->panel;
    b->res = res;
    b->op = op;
    b->kind = pend->kind;
    if (op->result && !strncmp(op->result, "save:", 5)) {
        const char *second = strchr(op->result + 5, ':');
        const char *v = second ? _value_of(op, pend, second + 1) : nullptr;
        if (v) q_strcpy(b->save_path, sizeof b->save_path, v);
    }
    g_batches.push_back(b);
    RES_PANEL *p = kvn_res_panel(pend->panel);
    const char *parent_id = p && p->res == res ? p->parent_id : "";
    char err[1024] = "";
    b->per_item = needs && (count == 1 || op->multi);
    b->items = pend->items; // taken over below
    // Pending counts the submitted jobs, so a job answered while the loop
    // still submits cannot end the batch early: answers come on this thread
    // only after the loop returns.
    if (b->per_item) {
        const cJSON *item;
        int index = 0;
        cJSON_ArrayForEach(item, pend->items) {
            char e[1024];
            if (_submit_one(b, pend, item, index, parent_id, e, sizeof e) != 0) {
                b->failed++;
                b->jobs++;
                q_strcpy(b->last_error, sizeof b->last_error, e);
                q_strcpy(err, sizeof err, e);
                _note_failed_item(b, index);
            }
            index++;
        }
    } else {
        const cJSON *first = count > 0 ? cJSON_GetArrayItem(pend->items, 0) : nullptr;
        if (_submit_one(b, pend, first, -1, parent_id, err, sizeof err) != 0) {
            b->failed++;
            b->jobs++;
            q_strcpy(b->last_error, sizeof b->last_error, err);
        }
    }
    // The batch keeps what the form gave and the items, for a form to open
    // again should the run fail; the record itself is done.
    b->values = pend->values;
    b->value_count = pend->value_count;
    pend->values = nullptr;
    pend->value_count = 0;
    pend->items = nullptr;
    kvn_res_pending_free(pend);
    if (b->pending == 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s: %s", _title(res), err[0] ? err : "nothing to do");
        _reopen_form(b);
        _batch_free(b);
    }
}

void _on_yes(void *value) {
    const long id = (long)reinterpret_cast<intptr_t>(value);
    for (KVN_RES_PENDING &s : g_pending.slots)
        if (s.id == id) {
            _execute(&s);
            return;
        }
}

void _confirm_step(KVN_RES_PENDING *pend) {
    const KVN_OP *op = pend->op;
    if (!op->confirm && pend->kind != KVN_RES_DELETE) {
        _execute(pend);
        return;
    }
    const int count = cJSON_GetArraySize(q_json_array(pend->items));
    char name[256] = "", first[600], second[4200];
    if (count > 0) _name_of(pend->res, cJSON_GetArrayItem(pend->items, 0), name, sizeof name);
    kvn_res_confirm_line(op, pend->kind, _title(pend->res), count, name, first, sizeof first);
    q_format(second, sizeof second, "%s %s", op->method ? op->method : "POST", op->path ? op->path : "");
    const char *title = op->title && op->title[0]      ? op->title
                        : pend->kind == KVN_RES_DELETE ? "Delete"
                                                       : "Run";
    kvn_gui_confirm(title, first, second, _on_yes, reinterpret_cast<void *>((intptr_t)pend->id), nullptr);
}

void _form_done(const KVN_OP *op, const char *const *values, int field_count, long number, void *) {
    KVN_RES_PENDING *pend = kvn_res_pending_find(&g_pending, number, op);
    // The record gave way to newer ones: the form's answer has nothing to run.
    if (!pend) return;
    if (kvn_res_pending_set_values(pend, values, field_count) != 0) return;
    _confirm_step(pend);
}

// Steps shared by the buttons, the menu and kvn_gui_resource_run; items is
// owned here.
int _start(int panel, const KVN_RESOURCE *res, const KVN_OP *op, int kind, cJSON *items) {
    KVN_APP *app = kvn_app_get();
    const char *service = op->service ? op->service : res->service ? res->service->name : "";
    const int count = cJSON_GetArraySize(q_json_array(items));
    int rc = -1;
    if (!app || !app->session) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "not connected");
    } else if (!kvn_session_has_service(app->session, service)) {
        kvn_app_status(KVN_STATUS_ERROR, "service '%s' is not available on this cloud", service);
    } else if (kvn_res_path_needs_item(op->path) && count == 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s: select an item first", _op_title(op, res));
    } else if (op->ui && _ui_lookup(op->ui)) {
        _ui_lookup(op->ui)(res, op, count > 0 ? cJSON_GetArrayItem(items, 0) : nullptr);
        rc = 0;
    } else if (_ui_missing(op)) {
        kvn_app_status(KVN_STATUS_ERROR, "%s: window \"%s\" is not available in this build",
                       _op_title(op, res), op->ui);
    } else {
        KVN_RES_PENDING *pend = kvn_res_pending_add(&g_pending, panel, res, op, kind, items);
        items = nullptr;
        if (op->field_count > 0) {
            char title[600];
            _form_title(res, op, kind, title, sizeof title);
            const cJSON *prefill = kind == KVN_RES_UPDATE ? cJSON_GetArrayItem(pend->items, 0) : nullptr;
            rc = kvn_gui_form_open(op, title, prefill, _form_done, pend->id, nullptr);
        } else {
            _confirm_step(pend);
            rc = 0;
        }
    }
    q_json_delete_secret(items);
    kvn_gui_main_mark_dirty();
    return rc;
}

void _run_from(RES_PANEL *p, const KVN_OP *op, int kind) {
    if (!op) return;
    kvn_res_refresh_buttons(p);
    _start(p->index, p->res, op, kind, _selected_items(p));
}

// ---- context menu ----------------------------------------------------------------------

int _admin_mode(void) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->session) return 4;
    return 2 * (kvn_session_is_admin(app->session) ? 1 : 0) + (app->config.show_restricted ? 1 : 0);
}

void _on_pick(Q_GUI_POPUP *, int tag, void *user) {
    RES_PANEL *p = static_cast<RES_PANEL *>(user);
    const KVN_RESOURCE *res = p->res;
    if (tag == TAG_EDIT) {
        _run_from(p, res->update, KVN_RES_UPDATE);
    } else if (tag == TAG_DELETE) {
        _run_from(p, res->del, KVN_RES_DELETE);
    } else if (tag == TAG_COPY) {
        if (p->selected[0] && q_clipboard_set(0, p->selected) == 0)
            kvn_app_status(KVN_STATUS_INFO, "copied %s", p->selected);
    } else if (tag == TAG_SHOW) {
        Q_CJSON_SECRET items(_selected_items(p));
        const cJSON *first = cJSON_GetArrayItem(items.get(), 0);
        Q_SECRET_CBUF text(first ? q_json_print_secret(first, 1) : nullptr);
        kvn_gui_show_result(_title(res), text ? text.get() : "", 1, nullptr);
    } else if (tag >= 0 && tag < res->action_count) {
        _run_from(p, res->actions[tag], KVN_RES_ACTION);
    }
    p->menu_closed_at = al_get_time();
    kvn_gui_main_mark_dirty();
}

void _build_menu(RES_PANEL *p, Q_GUI_CTX *ctx) {
    const int mode = _admin_mode();
    if (p->menu && p->menu_mode == mode) return;
    if (p->menu) q_gui_popup_destroy(&p->menu);
    p->menu = q_gui_popup_new(ctx, 1, _on_pick, p);
    if (!p->menu) return;
    p->menu_mode = mode;
    const KVN_RESOURCE *res = p->res;
    Q_GUI_POPUP *m = p->menu;
    q_gui_popup_set_title(m, _title(res));
    if (res->update && kvn_app_can_run(res, res->update))
        q_gui_popup_add_item(m, 0, "Edit...", TAG_EDIT, res->update->cli ? res->update->cli : "");
    if (res->del && kvn_app_can_run(res, res->del))
        q_gui_popup_add_item(m, 0, "Delete", TAG_DELETE, res->del->cli ? res->del->cli : "");
    q_gui_popup_add_item(m, 0, "Copy ID", TAG_COPY, "Copy the item id to the clipboard");
    q_gui_popup_add_item(m, 0, "Show JSON", TAG_SHOW, "Open the item JSON in a window");
    std::vector<const KVN_OP *> allowed;
    std::vector<int> index;
    for (int i = 0; i < res->action_count; i++)
        if (kvn_app_can_run(res, res->actions[i])) {
            allowed.push_back(res->actions[i]);
            index.push_back(i);
        }
    if (allowed.empty()) return;
    q_gui_popup_add_separator(m, 0);
    std::vector<int> groups(allowed.size());
    kvn_res_group_actions(allowed.data(), (int)allowed.size(), groups.data());
    int subs[4] = {0, -1, -1, -1};
    static const char *const k_sub[4][2] = {{"", ""},
                                            {"Show", "Read-only views of the selected item"},
                                            {"Administration", "Operations that need the admin role"},
                                            {"More", "Other operations"}};
    for (size_t i = 0; i < allowed.size(); i++) {
        const KVN_OP *op = allowed[i];
        const int g = groups[i];
        if (subs[g] < 0) subs[g] = q_gui_popup_add_submenu(m, 0, k_sub[g][0], k_sub[g][1]);
        char hint[4600];
        q_format(hint, sizeof hint, "%s %s%s%s", op->method ? op->method : "POST", op->path ? op->path : "",
                 op->cli ? " - openstack " : "", op->cli ? op->cli : "");
        const bool missing = _ui_missing(op);
        if (missing) q_strcpy(hint, sizeof hint, "not available in this build");
        const int e = q_gui_popup_add_item(m, subs[g] >= 0 ? subs[g] : 0, op->title ? op->title : op->id,
                                           index[i], hint);
        if (missing && e >= 0) q_gui_popup_set_enabled(m, e, 0);
    }
}
} // namespace

// ---- shared with the panel --------------------------------------------------------------

void kvn_res_on_create(int, void *panel) {
    RES_PANEL *p = static_cast<RES_PANEL *>(panel);
    _run_from(p, p->res->create, KVN_RES_CREATE);
}

void kvn_res_on_edit(int, void *panel) {
    RES_PANEL *p = static_cast<RES_PANEL *>(panel);
    _run_from(p, p->res->update, KVN_RES_UPDATE);
}

void kvn_res_on_delete(int, void *panel) {
    RES_PANEL *p = static_cast<RES_PANEL *>(panel);
    _run_from(p, p->res->del, KVN_RES_DELETE);
}

void kvn_res_on_actions(int widget, void *panel) {
    RES_PANEL *p = static_cast<RES_PANEL *>(panel);
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui) return;
    float x = 0, y = 0, w = 0, h = 0;
    q_gui_widget_screen_rect(app->gui, widget, &x, &y, &w, &h);
    kvn_res_refresh_buttons(p);
    kvn_res_open_menu(p, x, y + h, 1);
}

void kvn_res_open_menu(RES_PANEL *p, float x, float y, int from_button) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui) return;
    if (from_button && p->menu_closed_at >= 0 && al_get_time() - p->menu_closed_at < k_reopen_guard_s) return;
    _build_menu(p, app->gui);
    if (p->menu) q_gui_popup_open_at(p->menu, x, y);
    kvn_gui_main_mark_dirty();
}

void kvn_res_ops_reset(void) {
    kvn_res_pending_clear(&g_pending);
    for (BATCH *b : g_batches)
        _batch_delete(b);
    g_batches.clear();
}

// ---- interface -------------------------------------------------------------------------

int kvn_gui_resource_run(const KVN_RESOURCE *res, const KVN_OP *op, const cJSON *item) {
    if (!res || !op) return -1;
    cJSON *items = cJSON_CreateArray();
    if (item && items) cJSON_AddItemToArray(items, cJSON_Duplicate(item, 1));
    RES_PANEL *p = kvn_res_shown_panel();
    return _start(p && p->res == res ? p->index : -1, res, op, _kind_of(res, op), items);
}

int kvn_gui_resource_register_ui(const char *name, KVN_RES_UI_FN fn) {
    if (!name || !name[0] || !fn) return -1;
    for (int i = 0; i < g_ui_count; i++)
        if (!strcmp(g_ui[i].name, name)) {
            g_ui[i].fn = fn;
            return 0;
        }
    if (g_ui_count >= KVN_RES_UI_MAX) return -1;
    q_strcpy(g_ui[g_ui_count].name, sizeof g_ui[g_ui_count].name, name);
    g_ui[g_ui_count++].fn = fn;
    return 0;
}

int kvn_gui_resource_mouse_down(float x, float y) {
    int closed = 0;
    for (int i = 0; i < kvn_res_panel_count(); i++) {
        RES_PANEL *p = kvn_res_panel(i);
        if (!p->menu || !q_gui_popup_is_open(p->menu) || q_gui_popup_contains(p->menu, x, y)) continue;
        q_gui_popup_close(p->menu);
        p->menu_closed_at = al_get_time();
        closed = 1;
    }
    if (closed) kvn_gui_main_mark_dirty();
    return closed;
}

int kvn_gui_resource_close_menus(void) {
    int closed = 0;
    for (int i = 0; i < kvn_res_panel_count(); i++) {
        RES_PANEL *p = kvn_res_panel(i);
        if (!p->menu || !q_gui_popup_is_open(p->menu)) continue;
        q_gui_popup_close(p->menu);
        closed = 1;
    }
    if (closed) kvn_gui_main_mark_dirty();
    return closed;
}
