// The resource panel's windows: one record per resource shown, its list and
// show requests, the rows, the selection and the automatic reload. The
// operations run from it live in kvn_gui_resource_ops.cpp.
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
#include "kvn_gui_layout.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_gui_resource_internal.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_popup.h"

namespace {
const char *const k_split_key = "resource.list";
const float k_split_default = 0.58f;
const int k_cell_max = 512;
const double k_busy_reload_s = 5.0;

RES_PANEL *g_panels[KVN_RES_PANELS_MAX];
int g_panel_count;
int g_shown = -1;

Q_GUI_CTX *_ctx(void) {
    KVN_APP *app = kvn_app_get();
    return app ? app->gui : nullptr;
}

const char *_title(const KVN_RESOURCE *res) {
    return res->title ? res->title : res->id;
}

// Answers carry the panel's index and the generation that asked, packed into
// the request's user pointer, so a late answer needs no allocation to be
// recognised as stale.
void *_pack(int index, unsigned generation) {
    return reinterpret_cast<void *>(((uintptr_t)(unsigned)index << 32) | generation);
}

RES_PANEL *_unpack(void *user, unsigned *generation) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(user);
    const int index = (int)(v >> 32);
    *generation = (unsigned)(v & 0xffffffffu);
    return index >= 0 && index < g_panel_count ? g_panels[index] : nullptr;
}

void _set_label(Q_GUI_CTX *ctx, int id, const char *text) {
    if (id >= 0 && strcmp(q_gui_label_get_text(ctx, id), text) != 0) q_gui_label_set_text(ctx, id, text);
}

void _set_detail(RES_PANEL *p, const char *text) {
    Q_GUI_CTX *ctx = _ctx();
    if (ctx && p->detail >= 0) q_gui_syntaxview_set_text(ctx, p->detail, text);
}

void _set_detail_json(RES_PANEL *p, const cJSON *json) {
    Q_SECRET_CBUF text(q_json_print_secret(json, 1));
    // The printer indents with tabs, which the view's fonts draw as boxes.
    std::string spaced;
    for (const char *c = text ? text.get() : ""; *c; c++)
        if (*c == '\t')
            spaced += "  ";
        else
            spaced += *c;
    _set_detail(p, spaced.c_str());
    q_secure_zero(spaced.data(), spaced.size());
}

void _set_count(RES_PANEL *p, const char *text) {
    Q_GUI_CTX *ctx = _ctx();
    if (ctx) _set_label(ctx, p->count, text);
}

// Status texts of a failed list or single show.
void _report_failure(RES_PANEL *p, const KVN_RESULT *r) {
    char detail[1024];
    q_format(detail, sizeof detail, "error: %.900s", r->error);
    _set_detail(p, detail);
    const char *title = _title(p->res);
    if (r->status == 403) {
        _set_count(p, "not allowed");
        kvn_app_status(KVN_STATUS_WARNING, "%s: your roles do not allow reading this (%s)", title, r->error);
    } else if (r->status == 404) {
        _set_count(p, "not available");
        kvn_app_status(KVN_STATUS_WARNING, "%s: not provided by this cloud (%s)", title, r->error);
    } else {
        _set_count(p, "error");
        kvn_app_status(KVN_STATUS_ERROR, "%s: %s", title, r->error);
    }
}

void _expand_ctx(RES_PANEL *p, KVN_EXPAND_CTX *x, KVN_SESSION_INFO *info, const cJSON *item) {
    KVN_APP *app = kvn_app_get();
    memset(x, 0, sizeof *x);
    if (app && app->session && kvn_session_info(app->session, info) == 0) {
        x->project_id = info->project_id;
        x->user_id = info->user_id;
    }
    x->item = item;
    x->id_field = p->res->id_field;
    x->parent_id = p->parent_id;
}

// The resource's header and microversion on a request.
int _dress(RES_PANEL *p, KVN_REQ *req, const KVN_EXPAND_CTX *x) {
    const KVN_RESOURCE *res = p->res;
    if (res->microversion) {
        q_strcpy(req->opts.microversion, sizeof req->opts.microversion, res->microversion);
        req->opts.has_microversion = 1;
    }
    if (res->header) {
        if (strchr(res->header, '{')) {
            if (kvn_api_expand(res->header, x, nullptr, nullptr, req->opts.extra_headers[0],
                               sizeof req->opts.extra_headers[0]) != 0)
                return -1;
        } else {
            q_strcpy(req->opts.extra_headers[0], sizeof req->opts.extra_headers[0], res->header);
        }
    }
    return 0;
}

// ---- rows ---------------------------------------------------------------------------

const char *_id_field(const KVN_RESOURCE *res) {
    return res->id_field ? res->id_field : "id";
}

void _item_id(const KVN_RESOURCE *res, const cJSON *item, char *out, size_t size) {
    out[0] = 0;
    const cJSON *v = kvn_api_json_at(item, _id_field(res));
    if (v) kvn_api_value_text(v, out, size);
}

void _forget_selection(RES_PANEL *p) {
    p->show_gen++;
    p->selected[0] = 0;
    q_json_delete_secret(p->show_json);
    p->show_json = nullptr;
    _set_detail(p, "");
}

// The rows of an answer no longer kept.
void _drop_rows(RES_PANEL *p) {
    p->rows_of = nullptr;
    p->rows.clear();
    p->row_text.clear();
    p->row_folded.clear();
    p->shown.clear();
    p->shown_valid = false;
}

// ASCII only, as the filter has always compared.
void _fold(std::string *s, size_t from) {
    for (size_t i = from; i < s->size(); i++) {
        char &c = (*s)[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c + ('a' - 'A'));
    }
}

void _format_rows(RES_PANEL *p) {
    _drop_rows(p);
    const KVN_RESOURCE *res = p->res;
    const int cols = res->column_count;
    char buf[k_cell_max];
    p->busy = 0;
    const cJSON *item;
    cJSON_ArrayForEach(item, q_json_array(p->items)) {
        RES_ROW row;
        row.cells = p->row_text.size();
        row.folded = p->row_folded.size();
        for (int c = 0; c < cols; c++) {
            kvn_api_format_cell(item, &res->columns[c], buf, sizeof buf);
            const size_t n = strlen(buf) + 1;
            p->row_text.append(buf, n);
            p->row_folded.append(buf, n);
        }
        _fold(&p->row_folded, row.folded);
        row.folded_len = p->row_folded.size() - row.folded;
        row.id = p->row_text.size();
        _item_id(res, item, buf, sizeof buf);
        p->row_text.append(buf, strlen(buf) + 1);
        row.cls = kvn_res_status_class(item);
        // A hidden transitional row still means the list must be reloaded.
        if (row.cls == 2) p->busy = 1;
        p->rows.push_back(row);
    }
    p->rows_of = p->items;
}

// Whether a column cell of the row holds the folded filter. The cells are
// joined by NULs, which no filter holds, so one search spans them all
// without matching across two.
bool _row_matches(const RES_PANEL *p, int i, const std::string &filter) {
    const RES_ROW &r = p->rows[(size_t)i];
    return memmem(p->row_folded.data() + r.folded, r.folded_len, filter.data(), filter.size()) != nullptr;
}

bool _same_color(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

// The grid from the formatted rows under the current filter.
void _show_rows(RES_PANEL *p) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || p->grid < 0) return;
    const int cols = p->res->column_count;
    const int total = (int)p->rows.size();
    std::string filter = p->filter_text;
    _fold(&filter, 0);
    std::vector<int> keep;
    if (filter.empty()) {
        keep.resize((size_t)total);
        for (int i = 0; i < total; i++)
            keep[(size_t)i] = i;
    } else if (p->shown_valid && filter.find(p->shown_filter) != std::string::npos) {
        // A longer filter keeps a subset of what the shorter one kept.
        for (int i : p->shown)
            if (_row_matches(p, i, filter)) keep.push_back(i);
    } else {
        for (int i = 0; i < total; i++)
            if (_row_matches(p, i, filter)) keep.push_back(i);
    }
    int sort_col = -1, sort_dir = 0;
    q_gui_datagrid_get_sort(ctx, p->grid, &sort_col, &sort_dir);
    const KVN_PALETTE *pal = kvn_theme_current();
    const bool unchanged = p->shown_valid && keep == p->shown && sort_col == p->shown_sort_col &&
                           sort_dir == p->shown_sort_dir && _same_color(pal->error, p->shown_error) &&
                           _same_color(pal->warning, p->shown_warning) &&
                           q_gui_datagrid_row_count(ctx, p->grid) == (int)keep.size();
    if (unchanged) {
        // The grid holds these very rows in this very order: a refill would
        // only have let go of the selection and scrolled to the top.
        q_gui_datagrid_clear_selection(ctx, p->grid);
        q_gui_datagrid_scroll_to_row(ctx, p->grid, 0);
    } else {
        q_gui_datagrid_clear(ctx, p->grid);
        std::vector<const char *> ptrs((size_t)cols + 1);
        size_t added = 0;
        for (int i : keep) {
            const RES_ROW &r = p->rows[(size_t)i];
            const char *cell = p->row_text.data() + r.cells;
            for (int c = 0; c <= cols; c++) {
                ptrs[(size_t)c] = cell;
                cell += strlen(cell) + 1;
            }
            const int row = q_gui_datagrid_add_row(ctx, p->grid, ptrs.data());
            if (row < 0) break;
            added++;
            if (r.cls == 1) q_gui_datagrid_set_row_color(ctx, p->grid, row, pal->error);
            if (r.cls == 2) q_gui_datagrid_set_row_color(ctx, p->grid, row, pal->warning);
        }
        keep.resize(added);
        if (sort_col >= 0 && sort_dir != 0) q_gui_datagrid_sort(ctx, p->grid, sort_col, sort_dir);
        q_gui_datagrid_get_sort(ctx, p->grid, &p->shown_sort_col, &p->shown_sort_dir);
        p->shown_error = pal->error;
        p->shown_warning = pal->warning;
    }
    const int shown = (int)keep.size();
    p->shown = std::move(keep);
    p->shown_filter = filter;
    p->shown_valid = true;
    if (p->selected[0]) {
        bool found = false;
        for (const RES_ROW &r : p->rows)
            if (!strcmp(p->row_text.data() + r.id, p->selected)) {
                found = true;
                break;
            }
        if (!found) {
            _forget_selection(p);
        } else {
            const int n = q_gui_datagrid_row_count(ctx, p->grid);
            for (int r = 0; r < n; r++)
                if (!strcmp(q_gui_datagrid_get_cell(ctx, p->grid, r, cols), p->selected)) {
                    q_gui_datagrid_set_selected_row(ctx, p->grid, r);
                    break;
                }
        }
    }
    char count[64];
    kvn_res_count_text(shown, total, count, sizeof count);
    _set_count(p, count);
    p->next_reload = p->busy ? al_get_time() + k_busy_reload_s : 0;
    kvn_res_refresh_buttons(p);
    kvn_gui_main_mark_dirty();
}

// A new answer: its cells are formatted here, and only here.
void _fill_rows(RES_PANEL *p) {
    _format_rows(p);
    _show_rows(p);
}

// ---- loading ------------------------------------------------------------------------

void _show_request(RES_PANEL *p, const cJSON *item);

void _on_list(KVN_REQ *req, void *user) {
    unsigned gen;
    RES_PANEL *p = _unpack(user, &gen);
    if (!p || gen != p->list_gen) return;
    p->loading = 0;
    KVN_RESULT *r = req->result;
    if (!kvn_result_ok(r)) {
        _report_failure(p, r);
        kvn_gui_main_mark_dirty();
        return;
    }
    cJSON_Delete(p->answer);
    p->answer = r->json;
    r->json = nullptr;
    p->items = kvn_api_items(p->answer, p->res->list_key);
    if (!cJSON_IsArray(p->items)) {
        p->items = nullptr;
        _drop_rows(p);
        // The rows of the last list would name items no longer kept.
        Q_GUI_CTX *ctx = _ctx();
        if (ctx && p->grid >= 0) q_gui_datagrid_clear(ctx, p->grid);
        p->selected[0] = 0;
        _set_count(p, "unexpected answer");
        if (p->answer)
            _set_detail_json(p, p->answer);
        else
            _set_detail(p, r->text ? r->text : "");
        kvn_gui_main_mark_dirty();
        return;
    }
    p->loaded = 1;
    _fill_rows(p);
    if (r->error[0]) kvn_app_status(KVN_STATUS_ERROR, "%s: %s", _title(p->res), r->error);
}

void _on_parents(KVN_REQ *req, void *user) {
    unsigned gen;
    RES_PANEL *p = _unpack(user, &gen);
    Q_GUI_CTX *ctx = _ctx();
    if (!p || !ctx || gen != p->list_gen || p->parent < 0) return;
    p->parent_ids.clear();
    p->filling = 1;
    q_gui_combobox_clear(ctx, p->parent);
    const KVN_RESOURCE *pr = p->parent_res;
    cJSON *items =
        kvn_result_ok(req->result) && pr ? kvn_api_items(req->result->json, pr->list_key) : nullptr;
    const bool any = cJSON_GetArraySize(q_json_array(items)) > 0;
    q_gui_combobox_add_item(ctx, p->parent, any ? "(choose a parent)" : "(no parent item)");
    p->parent_ids.emplace_back("");
    const cJSON *item;
    cJSON_ArrayForEach(item, q_json_array(items)) {
        char id[KVN_RES_ID_MAX], name[256], label[600];
        _item_id(pr, item, id, sizeof id);
        const cJSON *n = kvn_api_json_at(item, pr->name_field ? pr->name_field : "name");
        name[0] = 0;
        if (n) kvn_api_value_text(n, name, sizeof name);
        q_format(label, sizeof label, "%s  (%s)", name[0] ? name : id, id);
        if (q_gui_combobox_add_item(ctx, p->parent, label) < 0) break;
        p->parent_ids.emplace_back(id);
    }
    q_gui_combobox_set_selected(ctx, p->parent, 0);
    p->filling = 0;
    if (!kvn_result_ok(req->result))
        kvn_app_status(KVN_STATUS_ERROR, "%s: %s", _title(pr ? pr : p->res), req->result->error);
    kvn_gui_main_mark_dirty();
}

void _load(RES_PANEL *p) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->session) {
        _set_count(p, "not connected");
        return;
    }
    const KVN_RESOURCE *res = p->res;
    const char *service = res->service ? res->service->name : "";
    if (!kvn_session_has_service(app->session, service)) {
        _set_count(p, "service not available on this cloud");
        char text[512];
        q_format(text, sizeof text,
                 "The service '%s' is not in the catalog of the connected cloud.\nThe operations of this "
                 "resource cannot be used here.",
                 service);
        _set_detail(p, text);
        return;
    }
    if (res->single) {
        _set_count(p, "loading...");
        _show_request(p, nullptr);
        return;
    }
    KVN_SESSION_INFO info;
    KVN_EXPAND_CTX x;
    _expand_ctx(p, &x, &info, nullptr);
    if (res->parent && !p->parent_id[0]) {
        if (p->parent_ids.empty() && p->parent_res && p->parent_res->list_path) {
            char path[4096];
            kvn_api_expand(p->parent_res->list_path, &x, nullptr, nullptr, path, sizeof path);
            const char *psvc = p->parent_res->service ? p->parent_res->service->name : service;
            KVN_REQ *req = kvn_req_new(psvc, "GET", path);
            if (req) {
                req->flags = KVN_REQ_ALL_PAGES;
                if (p->parent_res->list_key)
                    q_strcpy(req->collection_key, sizeof req->collection_key, p->parent_res->list_key);
                p->list_gen++;
                kvn_req_submit(req, "loading parents", _on_parents, _pack(p->index, p->list_gen));
            }
        }
        _set_count(p, "choose a parent item");
        return;
    }
    char path[4096];
    if (!res->list_path || kvn_api_expand(res->list_path, &x, nullptr, nullptr, path, sizeof path) != 0) {
        _set_count(p, "cannot build the list path");
        return;
    }
    KVN_REQ *req = kvn_req_new(service, "GET", path);
    if (!req) return;
    if (res->list_key) q_strcpy(req->collection_key, sizeof req->collection_key, res->list_key);
    if (_dress(p, req, &x) != 0) {
        kvn_req_free(req);
        _set_count(p, "cannot build the list path");
        return;
    }
    if (!res->no_paging) req->flags = KVN_REQ_ALL_PAGES;
    p->list_gen++;
    p->loading = 1;
    p->next_reload = 0;
    _set_count(p, "loading...");
    char title[300];
    q_format(title, sizeof title, "list %s", _title(res));
    if (kvn_req_submit(req, title, _on_list, _pack(p->index, p->list_gen)) < 0) p->loading = 0;
}

void _on_show(KVN_REQ *req, void *user) {
    unsigned gen;
    RES_PANEL *p = _unpack(user, &gen);
    if (!p || gen != p->show_gen) return;
    KVN_RESULT *r = req->result;
    if (p->res->single) p->loading = 0;
    if (!kvn_result_ok(r)) {
        if (p->res->single) _report_failure(p, r);
        kvn_gui_main_mark_dirty();
        return;
    }
    cJSON *whole = r->json;
    if (!whole) return;
    cJSON *part = p->res->show_key ? cJSON_GetObjectItemCaseSensitive(whole, p->res->show_key) : nullptr;
    cJSON *keep = part ? cJSON_DetachItemViaPointer(whole, part) : whole;
    if (!part) r->json = nullptr;
    q_json_delete_secret(p->show_json);
    p->show_json = keep;
    _set_detail_json(p, keep);
    if (p->res->single) {
        p->loaded = 1;
        _set_count(p, "loaded");
    }
    kvn_gui_main_mark_dirty();
}

void _show_request(RES_PANEL *p, const cJSON *item) {
    const KVN_RESOURCE *res = p->res;
    if (!res->show_path) {
        if (res->single) {
            p->loading = 0;
            _set_count(p, "error");
        }
        return;
    }
    KVN_SESSION_INFO info;
    KVN_EXPAND_CTX x;
    _expand_ctx(p, &x, &info, item);
    char path[4096];
    // An item without the id field has no show path: a half-expanded one
    // would ask the service for something else.
    if (kvn_api_expand(res->show_path, &x, nullptr, nullptr, path, sizeof path) != 0) {
        if (res->single) {
            p->loading = 0;
            _set_count(p, "cannot build the list path");
        }
        return;
    }
    KVN_REQ *req = kvn_req_new(res->service ? res->service->name : "", "GET", path);
    if (!req) return;
    if (_dress(p, req, &x) != 0) {
        kvn_req_free(req);
        return;
    }
    p->show_gen++;
    if (res->single) p->loading = 1;
    char title[300];
    q_format(title, sizeof title, "show %s", _title(res));
    kvn_req_submit(req, title, _on_show, _pack(p->index, p->show_gen));
}

// ---- widgets ------------------------------------------------------------------------

void _on_refresh(int, void *user) {
    RES_PANEL *p = static_cast<RES_PANEL *>(user);
    kvn_res_refresh_buttons(p);
    _load(p);
}

void _on_filter(int, const char *text, void *user) {
    RES_PANEL *p = static_cast<RES_PANEL *>(user);
    q_strcpy(p->filter_text, sizeof p->filter_text, text ? text : "");
    if (!p->items) return;
    if (p->rows_of != p->items) _format_rows(p);
    _show_rows(p);
}

void _on_parent(int, int index, void *user) {
    RES_PANEL *p = static_cast<RES_PANEL *>(user);
    if (p->filling || index < 0 || index >= (int)p->parent_ids.size()) return;
    q_strcpy(p->parent_id, sizeof p->parent_id, p->parent_ids[(size_t)index].c_str());
    // The children of another parent: nothing of the old list stays.
    p->list_gen++;
    p->loading = 0;
    cJSON_Delete(p->answer);
    p->answer = nullptr;
    p->items = nullptr;
    _drop_rows(p);
    _forget_selection(p);
    Q_GUI_CTX *ctx = _ctx();
    if (ctx && p->grid >= 0) q_gui_datagrid_clear(ctx, p->grid);
    if (p->parent_id[0])
        _load(p);
    else
        _set_count(p, "choose a parent item");
}

void _on_select(int, int row, void *user) {
    RES_PANEL *p = static_cast<RES_PANEL *>(user);
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || row < 0) return;
    const char *id = q_gui_datagrid_get_cell(ctx, p->grid, row, p->res->column_count);
    if (!id) return;
    q_strcpy(p->selected, sizeof p->selected, id);
    q_json_delete_secret(p->show_json);
    p->show_json = nullptr;
    p->show_gen++;
    const cJSON *item = kvn_res_find_item(p, id);
    if (item) _set_detail_json(p, item);
    if (item && p->res->show_path) _show_request(p, item);
    kvn_res_refresh_buttons(p);
}

void _on_context(int, int row, float x, float y, void *user) {
    RES_PANEL *p = static_cast<RES_PANEL *>(user);
    Q_GUI_CTX *ctx = _ctx();
    // The grid's own press already selected a row it did not hold; asking
    // for the same show again would only double the request.
    const char *id =
        ctx && row >= 0 ? q_gui_datagrid_get_cell(ctx, p->grid, row, p->res->column_count) : nullptr;
    if (id && strcmp(id, p->selected) != 0) _on_select(-1, row, p);
    kvn_res_open_menu(p, x, y, 0);
}

void _on_split(int, double ratio, void *user) {
    RES_PANEL *p = static_cast<RES_PANEL *>(user);
    kvn_gui_layout_split_set(k_split_key, (float)ratio);
    kvn_res_place(p, p->x, p->y, p->w, p->h);
}

RES_PANEL *_find(const KVN_RESOURCE *res) {
    for (int i = 0; i < g_panel_count; i++)
        if (g_panels[i]->res == res) return g_panels[i];
    return nullptr;
}

int _tip_button(Q_GUI_CTX *ctx, int window, const char *label, float x, float w, Q_GUI_CLICK_CB cb,
                void *user, const char *tip) {
    const int id = q_gui_add_button(ctx, window, label, x, 40, w, 26, 0, cb, user);
    if (id >= 0) q_gui_widget_set_tooltip(ctx, id, tip);
    return id;
}

void _op_tip(char *out, size_t size, const char *prefix, const KVN_OP *op, const char *none) {
    if (!op)
        q_strcpy(out, size, none);
    else
        q_format(out, size, "%sopenstack %s", prefix, op->cli ? op->cli : op->id ? op->id : "");
}

void _build(RES_PANEL *p) {
    Q_GUI_CTX *ctx = _ctx();
    const KVN_RESOURCE *res = p->res;
    p->window = q_gui_add_window(ctx, _title(res), p->x, p->y, p->w, p->h);
    if (p->window < 0) return;
    q_gui_window_set_flags(ctx, p->window, Q_GUI_WIN_FIXED | Q_GUI_WIN_NO_TITLEBAR);
    q_gui_window_set_zorder(ctx, p->window, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
    char text[600];
    q_format(text, sizeof text, "%s / %s",
             res->service && res->service->title ? res->service->title
             : res->service                      ? res->service->name
                                                 : "",
             _title(res));
    p->header = q_gui_add_label(ctx, p->window, text, 8, 8, 100, 26, 0);
    q_format(text, sizeof text, "openstack %s", res->cli ? res->cli : res->id);
    p->cli = q_gui_add_label(ctx, p->window, text, 100, 8, 100, 26, 2);
    q_gui_widget_set_tooltip(ctx, p->cli, res->help ? res->help : "Equivalent openstack CLI command group");
    p->refresh = _tip_button(ctx, p->window, "Refresh", 8, 80, _on_refresh, p,
                             res->single ? "Reload (GET)" : "Reload the list (GET)");
    _op_tip(text, sizeof text, "", res->create, "(no create operation)");
    p->create = _tip_button(ctx, p->window, "Create...", 94, 80, kvn_res_on_create, p, text);
    _op_tip(text, sizeof text, "Edit the selected item: ", res->update, "(no update operation)");
    p->edit = _tip_button(ctx, p->window, "Edit...", 180, 70, kvn_res_on_edit, p, text);
    _op_tip(text, sizeof text, "Delete the selected items: ", res->del, "(no delete operation)");
    p->del = _tip_button(ctx, p->window, "Delete", 256, 70, kvn_res_on_delete, p, text);
    p->actions = _tip_button(ctx, p->window, "Actions", 332, 90, kvn_res_on_actions, p,
                             "Every other operation on the selected items (also on right click)");
    if (res->parent && !res->single) {
        p->parent = q_gui_add_combobox(ctx, p->window, 432, 40, 300, 26, _on_parent, p);
        q_gui_combobox_add_item(ctx, p->parent, "(loading parents...)");
        q_gui_combobox_set_selected(ctx, p->parent, 0);
        q_gui_widget_set_tooltip(ctx, p->parent, "Parent item whose children are listed");
    }
    if (!res->single) {
        p->filter =
            q_gui_add_textarea(ctx, p->window, 432, 40, 120, 26, 0, KVN_RES_FILTER_MAX - 1, _on_filter, p);
        q_gui_textarea_set_placeholder(ctx, p->filter, "filter (any column)");
        q_gui_widget_set_tooltip(ctx, p->filter, "Show only the rows containing this text");
    }
    p->count = q_gui_add_label(ctx, p->window, "", 560, 40, 140, 26, 0);
    if (!res->single) {
        const float ratio = kvn_gui_layout_split_get(k_split_key, k_split_default);
        p->split = q_gui_add_splitpane(ctx, p->window, 8, 72, 100, 100, 1, ratio, _on_split, p);
        q_gui_splitpane_set_limits(ctx, p->split, 0.12, 0.88);
        q_gui_widget_set_tooltip(ctx, p->split, "Drag to share the height between the list and the detail");
        p->grid = q_gui_add_datagrid(ctx, p->window, 8, 72, 100, 100, _on_select, p);
        for (int c = 0; c < res->column_count && c < KVN_API_MAX_COLUMNS; c++)
            q_gui_datagrid_add_column(ctx, p->grid, res->columns[c].title ? res->columns[c].title : "",
                                      res->columns[c].width > 0 ? res->columns[c].width : 120);
        const int hidden = q_gui_datagrid_add_column(ctx, p->grid, "_id", 10);
        q_gui_datagrid_set_column_visible(ctx, p->grid, hidden, 0);
        q_gui_datagrid_set_multi_select(ctx, p->grid, 1);
        q_gui_datagrid_set_context_callback(ctx, p->grid, _on_context, p);
        q_gui_widget_set_tooltip(
            ctx, p->grid, "Click to select, Ctrl/Shift click for several, right click for the actions");
    }
    p->detail = q_gui_add_syntaxview(ctx, p->window, 8, 72, 100, 100, Q_GUI_SYNTAX_JSON);
    q_gui_widget_set_tooltip(ctx, p->detail, "Detail of the selected item (JSON as returned by the API)");
}

RES_PANEL *_panel_of(const KVN_RESOURCE *res) {
    RES_PANEL *p = _find(res);
    if (p || g_panel_count >= KVN_RES_PANELS_MAX || !_ctx()) return p;
    p = new (std::nothrow) RES_PANEL();
    if (!p) return nullptr;
    p->res = res;
    p->index = g_panel_count;
    KVN_APP *app = kvn_app_get();
    if (res->parent && app && app->api) p->parent_res = kvn_api_lookup(app->api, res->parent);
    if (res->parent && !p->parent_res && res->service) {
        // A parent named within the same service.
        char key[256];
        q_format(key, sizeof key, "%s.%s", res->service->name, res->parent);
        if (app && app->api) p->parent_res = kvn_api_lookup(app->api, key);
    }
    g_panels[g_panel_count++] = p;
    _build(p);
    return p;
}

void _hide(RES_PANEL *p) {
    Q_GUI_CTX *ctx = _ctx();
    if (p->menu) q_gui_popup_close(p->menu);
    if (ctx && p->window >= 0 && q_gui_window_is_open(ctx, p->window)) q_gui_close_window(ctx, p->window);
}
} // namespace

// ---- shared with the operations -------------------------------------------------------

void kvn_res_place(RES_PANEL *p, float x, float y, float w, float h) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || p->window < 0) return;
    p->x = x;
    p->y = y;
    p->w = w;
    p->h = h;
    const float W = w, H = h;
    q_gui_window_set_rect(ctx, p->window, x, y, W, H);
    q_gui_widget_set_rect(ctx, p->header, 8, 8, 0.45f * W, 26);
    q_gui_widget_set_rect(ctx, p->cli, 0.45f * W, 8, 0.55f * W - 8, 26);
    // The toolkit scales a window's widgets with it: every rectangle is
    // given again, the fixed ones included.
    q_gui_widget_set_rect(ctx, p->refresh, 8, 40, 80, 26);
    q_gui_widget_set_rect(ctx, p->create, 94, 40, 80, 26);
    q_gui_widget_set_rect(ctx, p->edit, 180, 40, 70, 26);
    q_gui_widget_set_rect(ctx, p->del, 256, 40, 70, 26);
    q_gui_widget_set_rect(ctx, p->actions, 332, 40, 90, 26);
    if (p->parent >= 0) q_gui_widget_set_rect(ctx, p->parent, 432, 40, 300, 26);
    const float F = p->parent >= 0 ? 738 : 432;
    const float fw = W - F - 158 > 120 ? W - F - 158 : 120;
    if (p->filter >= 0) q_gui_widget_set_rect(ctx, p->filter, F, 40, fw, 26);
    q_gui_widget_set_rect(ctx, p->count, p->filter >= 0 ? F + fw + 8 : 432, 40, 140, 26);
    if (p->res->single) {
        q_gui_widget_set_rect(ctx, p->detail, 8, 72, W - 16, H - 80 > 1 ? H - 80 : 1);
        return;
    }
    const float ratio = (float)q_gui_splitpane_get_ratio(ctx, p->split);
    const float band = q_gui_splitpane_band(ctx, p->split);
    const float area = H - 80 > 2 ? H - 80 : 2;
    q_gui_widget_set_rect(ctx, p->split, 8, 72, W - 16, area);
    float top = ratio * area - band;
    if (top < 1) top = 1;
    q_gui_widget_set_rect(ctx, p->grid, 8, 72, W - 16, top);
    float rest = area - ratio * area - band;
    if (rest < 1) rest = 1;
    q_gui_widget_set_rect(ctx, p->detail, 8, 72 + ratio * area + band, W - 16, rest);
}

// Whether rows are listed and none is chosen: an operation on the selected
// item has nothing to run on. Before a list is there the button stays
// usable, and its click says why nothing happens (not connected, no item).
static bool _no_row_chosen(Q_GUI_CTX *ctx, const RES_PANEL *p) {
    if (p->res->single || !p->items || p->grid < 0) return false;
    int one[1];
    return q_gui_datagrid_get_selected_row(ctx, p->grid) < 0 &&
           q_gui_datagrid_get_selected_rows(ctx, p->grid, one, 1) == 0;
}

void kvn_res_refresh_buttons(RES_PANEL *p) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || p->window < 0) return;
    const KVN_RESOURCE *res = p->res;
    const KVN_OP *ops[3] = {res->create, res->update, res->del};
    const int ids[3] = {p->create, p->edit, p->del};
    const bool none = _no_row_chosen(ctx, p);
    p->no_row = none;
    for (int i = 0; i < 3; i++) {
        if (ops[i]) {
            q_gui_widget_set_visible(ctx, ids[i], 1);
            const bool lacks = none && kvn_res_path_needs_item(ops[i]->path);
            q_gui_widget_set_enabled(ctx, ids[i], kvn_app_can_run(res, ops[i]) && !lacks);
        } else {
            q_gui_widget_set_visible(ctx, ids[i], !res->single);
            q_gui_widget_set_enabled(ctx, ids[i], 0);
        }
    }
}

void kvn_res_reload(RES_PANEL *p) {
    _load(p);
}

void kvn_res_reload_show(RES_PANEL *p) {
    _show_request(p, nullptr);
}

RES_PANEL *kvn_res_panel(int index) {
    return index >= 0 && index < g_panel_count ? g_panels[index] : nullptr;
}

RES_PANEL *kvn_res_shown_panel(void) {
    return kvn_res_panel(g_shown);
}

const cJSON *kvn_res_find_item(const RES_PANEL *p, const char *id) {
    char buf[KVN_RES_ID_MAX];
    const cJSON *item;
    cJSON_ArrayForEach(item, q_json_array(p->items)) {
        _item_id(p->res, item, buf, sizeof buf);
        if (!strcmp(buf, id)) return item;
    }
    return nullptr;
}

int kvn_res_panel_count(void) {
    return g_panel_count;
}

// ---- interface ----------------------------------------------------------------------

void kvn_gui_resource_show(const KVN_RESOURCE *res, float x, float y, float w, float h) {
    if (!res) return;
    RES_PANEL *p = _panel_of(res);
    if (g_shown >= 0 && (!p || g_shown != p->index)) _hide(g_panels[g_shown]);
    if (!p || p->window < 0) {
        g_shown = -1;
        return;
    }
    g_shown = p->index;
    kvn_res_refresh_buttons(p);
    kvn_res_place(p, x, y, w, h);
    Q_GUI_CTX *ctx = _ctx();
    if (!q_gui_window_is_open(ctx, p->window)) q_gui_open_window(ctx, p->window);
    if (!p->loaded && !p->loading) _load(p);
}

void kvn_gui_resource_hide_all(void) {
    for (int i = 0; i < g_panel_count; i++)
        _hide(g_panels[i]);
    g_shown = -1;
}

void kvn_gui_resource_relayout(float x, float y, float w, float h) {
    RES_PANEL *p = kvn_res_shown_panel();
    if (p) kvn_res_place(p, x, y, w, h);
}

void kvn_gui_resource_reload_current(void) {
    RES_PANEL *p = kvn_res_shown_panel();
    if (!p) return;
    kvn_res_refresh_buttons(p);
    _load(p);
}

void kvn_gui_resource_reset_all(void) {
    Q_GUI_CTX *ctx = _ctx();
    for (int i = 0; i < g_panel_count; i++) {
        RES_PANEL *p = g_panels[i];
        p->list_gen++;
        _forget_selection(p);
        cJSON_Delete(p->answer);
        p->answer = nullptr;
        p->items = nullptr;
        _drop_rows(p);
        p->loaded = p->loading = p->busy = 0;
        p->next_reload = 0;
        p->parent_id[0] = 0;
        p->parent_ids.clear();
        if (ctx && p->grid >= 0) q_gui_datagrid_clear(ctx, p->grid);
        if (ctx && p->parent >= 0) {
            p->filling = 1;
            q_gui_combobox_clear(ctx, p->parent);
            q_gui_combobox_add_item(ctx, p->parent, "(loading parents...)");
            q_gui_combobox_set_selected(ctx, p->parent, 0);
            p->filling = 0;
        }
        _set_count(p, "");
    }
    kvn_res_ops_reset();
    RES_PANEL *p = kvn_res_shown_panel();
    if (p) {
        kvn_res_refresh_buttons(p);
        _load(p);
    }
}

void kvn_gui_resource_reload(const KVN_RESOURCE *res) {
    Q_GUI_CTX *ctx = _ctx();
    for (int i = 0; i < g_panel_count; i++) {
        RES_PANEL *p = g_panels[i];
        if (p->res != res) continue;
        if (p->loaded || (ctx && p->window >= 0 && q_gui_window_is_open(ctx, p->window))) _load(p);
    }
}

void kvn_gui_resource_tick(void) {
    KVN_APP *app = kvn_app_get();
    RES_PANEL *p = kvn_res_shown_panel();
    if (!app || !app->session || !p || p->res->single) return;
    // Rows chosen or let go without the grid's select callback (a Ctrl
    // click that empties the selection) still set the buttons right.
    Q_GUI_CTX *ctx = _ctx();
    if (ctx && _no_row_chosen(ctx, p) != (p->no_row == 1)) kvn_res_refresh_buttons(p);
    const double now = al_get_time();
    if (p->next_reload > 0 && now >= p->next_reload && !p->loading) {
        _load(p);
        return;
    }
    if (app->config.auto_refresh_s >= 1 && p->loaded && !p->loading && p->next_reload <= 0)
        p->next_reload = now + app->config.auto_refresh_s;
}

int kvn_gui_resource_ids(const KVN_RESOURCE *res, KVN_RES_IDS *out) {
    if (!out) return -1;
    memset(out, 0xff, offsetof(KVN_RES_IDS, loaded));
    out->loaded = out->loading = out->busy = 0;
    out->next_reload = 0;
    out->item_count = 0;
    out->menu = nullptr;
    out->selected_id[0] = 0;
    RES_PANEL *p = _find(res);
    if (!p) return -1;
    out->window = p->window;
    out->header = p->header;
    out->cli = p->cli;
    out->refresh = p->refresh;
    out->create = p->create;
    out->edit = p->edit;
    out->del = p->del;
    out->actions = p->actions;
    out->parent = p->parent;
    out->filter = p->filter;
    out->count = p->count;
    out->split = p->split;
    out->grid = p->grid;
    out->detail = p->detail;
    out->loaded = p->loaded;
    out->loading = p->loading;
    out->busy = p->busy;
    out->next_reload = p->next_reload;
    out->item_count = cJSON_GetArraySize(q_json_array(p->items));
    out->menu = p->menu;
    q_strcpy(out->selected_id, sizeof out->selected_id, p->selected);
    return 0;
}

int kvn_gui_resource_fill(const KVN_RESOURCE *res, cJSON *answer) {
    RES_PANEL *p = _find(res);
    cJSON *items = p ? kvn_api_items(answer, res->list_key) : nullptr;
    if (!cJSON_IsArray(items)) {
        cJSON_Delete(answer);
        return -1;
    }
    p->list_gen++;
    p->loading = 0;
    cJSON_Delete(p->answer);
    p->answer = answer;
    p->items = items;
    p->loaded = 1;
    _fill_rows(p);
    return 0;
}

void kvn_gui_resource_destroy_all(void) {
    kvn_res_ops_reset();
    for (int i = 0; i < g_panel_count; i++) {
        RES_PANEL *p = g_panels[i];
        if (p->menu) q_gui_popup_destroy(&p->menu);
        cJSON_Delete(p->answer);
        q_json_delete_secret(p->show_json);
        delete p;
        g_panels[i] = nullptr;
    }
    g_panel_count = 0;
    g_shown = -1;
}
