// Operation forms: one dialog per descriptor operation, built on its first
// opening and reused, with an input per field chosen by the field's type,
// pick lists loaded from the referenced resources, and OK that checks the
// values with the request builder before the caller gets them. Main thread.

#include "kvn_gui_form.h"

#include <allegro5/allegro_font.h>
#include <cJSON.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_layout.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"

namespace {
const float k_input_w = 420, k_row_h = 26, k_multi_h = 90, k_pick_gap = 32;
const float k_file_w = 330, k_browse_w = 84, k_button_w = 100, k_button_h = 30;
const size_t k_prefill_max = 4096; // 4095 characters and the terminator
const size_t k_value_size = 64 * 1024;
const int k_key_max = 55;

enum { KIND_TEXT = 0, KIND_DROP = 1, KIND_CHECK = 2 };

// ---- records -------------------------------------------------------------------------

// The values behind a drop-down's entries. An entry without a value behind it
// ("(loading...)", "(service not available)") reads as the value kept at
// opening, so a form confirmed before its list arrives keeps what it had.
struct DROP_VALUES {
    char **values = nullptr; // owned copies
    int count = 0;
    char *want = nullptr; // owned; the value to select when the list arrives
};

struct KVN_FORM {
    const KVN_OP *op = nullptr;
    int window = -1, message = -1, ok = -1, cancel = -1;
    int input[KVN_FORM_FIELDS_MAX];
    int kind[KVN_FORM_FIELDS_MAX];
    int pick[KVN_FORM_FIELDS_MAX];
    int browse[KVN_FORM_FIELDS_MAX];
    DROP_VALUES drop[KVN_FORM_FIELDS_MAX];
    int field_count = 0;
    float width = 0, height = 0;
    unsigned generation = 0;
    KVN_FORM_DONE done = nullptr;
    void *user = nullptr;
    long number = 0;
    int browse_field = -1;
    char key[64] = "";
};

// Main thread only. The records belong to one GUI context: when the
// application's context changes (a test building another), the old records
// go and their widgets with the old context.
Q_GUI_CTX *g_ctx = nullptr;
KVN_FORM *g_forms[KVN_FORMS_MAX];
int g_count = 0;

// ---- small helpers -------------------------------------------------------------------

void _drop_clear(DROP_VALUES *d) {
    for (int i = 0; i < d->count; i++) {
        q_secure_zero_str(d->values[i]);
        free(d->values[i]);
    }
    free(d->values);
    d->values = nullptr;
    d->count = 0;
}

void _drop_add(DROP_VALUES *d, const char *value) {
    char **grown = static_cast<char **>(realloc(d->values, sizeof(char *) * (size_t)(d->count + 1)));
    if (!grown) return;
    d->values = grown;
    d->values[d->count++] = strdup(value ? value : "");
}

void _set_want(DROP_VALUES *d, const char *value) {
    if (d->want) {
        q_secure_zero_str(d->want);
        free(d->want);
    }
    d->want = strdup(value ? value : "");
}

void _free_form(KVN_FORM *f) {
    for (int i = 0; i < f->field_count; i++) {
        _drop_clear(&f->drop[i]);
        if (f->drop[i].want) q_secure_zero_str(f->drop[i].want);
        free(f->drop[i].want);
    }
    delete f;
}

void _forget_all(void) {
    for (int i = 0; i < g_count; i++)
        _free_form(g_forms[i]);
    g_count = 0;
}

Q_GUI_CTX *_ctx(void) {
    KVN_APP *app = kvn_app_get();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (ctx != g_ctx) {
        _forget_all();
        g_ctx = ctx;
    }
    return ctx;
}

int _index_of(const KVN_OP *op) {
    for (int i = 0; i < g_count; i++)
        if (g_forms[i]->op == op) return i;
    return -1;
}

KVN_FORM *_find(const KVN_OP *op) {
    const int i = _index_of(op);
    return i >= 0 ? g_forms[i] : nullptr;
}

int _fields(const KVN_OP *op) {
    return op->field_count < KVN_FORM_FIELDS_MAX ? op->field_count : KVN_FORM_FIELDS_MAX;
}

bool _is_multiline(int type) {
    return type == KVN_FT_TEXT || type == KVN_FT_KV || type == KVN_FT_JSON;
}

bool _is_pick(const KVN_FIELD *f) {
    return f->type == KVN_FT_REF && f->multi;
}

bool _default_true(const KVN_FIELD *f) {
    return f->def && !strcmp(f->def, "true");
}

// Pick-list answers, choosers and pick drop-downs name their form, field and
// generation in the one pointer they carry, so nothing is allocated that a
// dropped answer would leak.
void *_tag(int form, int field, unsigned generation) {
    return reinterpret_cast<void *>(((uintptr_t)(unsigned)form << 40) | ((uintptr_t)(unsigned)field << 32) |
                                    (uintptr_t)generation);
}

KVN_FORM *_untag(void *tag, int *field, unsigned *generation) {
    const uintptr_t t = reinterpret_cast<uintptr_t>(tag);
    const int form = (int)((t >> 40) & 0xffff);
    *field = (int)((t >> 32) & 0xff);
    *generation = (unsigned)(t & 0xffffffffu);
    if (form >= g_count || *field >= g_forms[form]->field_count) return nullptr;
    return g_forms[form];
}

void _message(KVN_FORM *f, int level, const char *text) {
    if (!g_ctx || f->message < 0) return;
    q_gui_label_set_text(g_ctx, f->message, text ? text : "");
    q_gui_widget_set_tooltip(g_ctx, f->message, text && *text ? text : nullptr);
    const Q_GUI_THEME t = kvn_theme_status_theme(level);
    q_gui_widget_set_theme(g_ctx, f->message, &t);
    q_gui_request_redraw(g_ctx);
}

// Every text input is emptied, which zeroes its whole buffer: what was typed
// (passwords among it) does not outlive the form's use. Reopening prefills
// every field again, so nothing is lost by it.
void _wipe_inputs(KVN_FORM *f) {
    for (int i = 0; i < f->field_count; i++)
        if (f->kind[i] == KIND_TEXT && f->input[i] >= 0) q_gui_textarea_set_text(g_ctx, f->input[i], "");
}

void _hide(KVN_FORM *f) {
    if (q_gui_window_is_open(g_ctx, f->window)) q_gui_close_window(g_ctx, f->window);
    _wipe_inputs(f);
    q_gui_request_redraw(g_ctx);
}

void _cancel(KVN_FORM *f) {
    f->generation++;
    _hide(f);
}

// ---- prefill ---------------------------------------------------------------------------

void _replace_all(std::string &s, const char *from, const char *to) {
    const size_t n = strlen(from), m = strlen(to);
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + m))
        s.replace(at, n, to);
}

} // namespace

int kvn_gui_form_prefill(const KVN_FIELD *field, const cJSON *item, const char *user_id,
                         const char *project_id, char *out, size_t size) {
    if (!out || size == 0) return 0;
    out[0] = 0;
    if (!field) return 0;
    if (!item) {
        if (!field->def) return 0;
        std::string d = field->def;
        _replace_all(d, "{user_id}", user_id ? user_id : "");
        _replace_all(d, "{project_id}", project_id ? project_id : "");
        q_strcpy(out, size, d.c_str());
        q_secure_zero(&d[0], d.size());
        return 1;
    }
    if (field->type == KVN_FT_PASSWORD || !field->name) return 0;
    const cJSON *v = kvn_api_json_at(item, field->name);
    if (!v || cJSON_IsNull(v)) return 0;
    if (cJSON_IsString(v)) {
        q_strcpy(out, size, v->valuestring);
    } else if (cJSON_IsBool(v)) {
        q_strcpy(out, size, cJSON_IsTrue(v) ? "true" : "false");
    } else if (cJSON_IsNumber(v)) {
        q_format(out, size, "%g", v->valuedouble);
    } else if (field->type == KVN_FT_KV && cJSON_IsObject(v)) {
        std::string s;
        for (const cJSON *m = v->child; m; m = m->next)
            if (cJSON_IsString(m) && m->string)
                s.append(m->string).append("=").append(m->valuestring).append("\n");
        q_strcpy(out, size, s.c_str());
    } else if ((field->type == KVN_FT_LIST || (field->type == KVN_FT_REF && field->multi)) &&
               cJSON_IsArray(v)) {
        // A multi-valued reference is typed as a comma list too: JSON there
        // would be split at its commas into values that never existed.
        std::string s;
        for (const cJSON *m = v->child; m; m = m->next) {
            if (!cJSON_IsString(m)) continue;
            if (!s.empty()) s += ",";
            s += m->valuestring;
        }
        q_strcpy(out, size, s.c_str());
    } else {
        char *json = cJSON_PrintUnformatted(v);
        q_strcpy(out, size, json ? json : "");
        cJSON_free(json);
    }
    return 1;
}

void kvn_gui_form_entry_text(const char *name, const char *value, const char *id, char *out, size_t size) {
    if (!out || size == 0) return;
    name = name ? name : "";
    value = value ? value : "";
    id = id ? id : "";
    if (*name && strcmp(name, value) != 0)
        q_format(out, size, "%s  (%s)", name, value);
    else if (*id && strcmp(id, value) != 0)
        q_format(out, size, "%s  (%s)", value, id);
    else
        q_strcpy(out, size, value);
}

void kvn_gui_form_bool_value(const KVN_FIELD *field, int checked, char *out, size_t size) {
    if (!out || size == 0) return;
    if (_default_true(field))
        q_strcpy(out, size, checked ? "true" : "false");
    else
        q_strcpy(out, size, checked ? "true" : field->omit_empty ? "" : "false");
}

namespace {

// ---- building ---------------------------------------------------------------------------

float _label_width(const KVN_OP *op) {
    const int n = _fields(op);
    if (n == 0) return 190;
    KVN_APP *app = kvn_app_get();
    ALLEGRO_FONT *font = app && app->ui_font ? app->ui_font : g_ctx->default_font;
    float widest = 0;
    for (int i = 0; i < n; i++) {
        const KVN_FIELD *f = &op->fields[i];
        char text[512];
        q_format(text, sizeof text, "%s%s",
                 f->label  ? f->label
                 : f->name ? f->name
                           : "",
                 f->required ? " *" : "");
        const float w = font ? (float)al_get_text_width(font, text) : 0;
        if (w > widest) widest = w;
    }
    widest += 16;
    return widest < 190 ? 190 : widest > 340 ? 340 : widest;
}

void _field_tooltip(const KVN_FIELD *f, char *out, size_t size) {
    const bool help = f->help && *f->help;
    q_format(out, size, "%s%s(%s%s%s)", help ? f->help : "", help ? " " : "", f->name ? f->name : "",
             f->in == KVN_IN_QUERY  ? ", query"
             : f->in == KVN_IN_PATH ? ", path"
                                    : "",
             f->required ? ", required" : "");
}

void _tip(int id, const char *text) {
    if (id >= 0) q_gui_widget_set_tooltip(g_ctx, id, text);
}

void _on_ok(int, void *user);
void _on_cancel(int, void *user);
void _on_close(int, void *user);
void _on_pick(int widget, int index, void *user);
void _on_browse(int, void *user);

void _reset_drop(KVN_FORM *f, int i, int id, const char *first_entry, bool first_has_value) {
    q_gui_combobox_clear(g_ctx, id);
    _drop_clear(&f->drop[i]);
    q_gui_combobox_add_item(g_ctx, id, first_entry);
    if (first_has_value) _drop_add(&f->drop[i], "");
    q_gui_combobox_set_selected(g_ctx, id, 0);
}

KVN_FORM *_build(const KVN_OP *op, int index) {
    KVN_FORM *f = new KVN_FORM();
    f->op = op;
    f->field_count = _fields(op);
    for (int i = 0; i < KVN_FORM_FIELDS_MAX; i++)
        f->input[i] = f->pick[i] = f->browse[i] = -1, f->kind[i] = KIND_TEXT;

    const float L = _label_width(op);
    const float x = L + 10;
    f->width = k_input_w + L + 10 + 30;
    float content = 12;
    for (int i = 0; i < f->field_count; i++)
        content += _is_multiline(op->fields[i].type) ? 96 : _is_pick(&op->fields[i]) ? 64 : 32;
    content += 96;
    const float avail = g_ctx->display_h > 0 ? g_ctx->display_h - 80 : content + 30;
    f->height = 30 + content < avail ? 30 + content : avail;

    const int win = q_gui_add_window(g_ctx, "Form", 0, 0, f->width, f->height);
    f->window = win;
    q_gui_window_set_flags(g_ctx, win, Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_SCROLLABLE);
    q_gui_window_set_zorder(g_ctx, win, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(g_ctx, win, _on_close, _tag(index, 0, 0));

    float y = 12;
    for (int i = 0; i < f->field_count; i++) {
        const KVN_FIELD *fd = &op->fields[i];
        const char *label = fd->label ? fd->label : fd->name ? fd->name : "";
        char text[512], tip[2048];
        q_format(text, sizeof text, "%s%s", label, fd->required ? " *" : "");
        _field_tooltip(fd, tip, sizeof tip);
        _tip(q_gui_add_label(g_ctx, win, text, 10, y, L - 8, 26, 0), tip);
        const float h = _is_multiline(fd->type) ? k_multi_h : k_row_h;
        int in = -1;
        switch (fd->type) {
        case KVN_FT_BOOL:
            in = q_gui_add_checkbox(g_ctx, win, "", x, y, k_input_w, h, 0, nullptr, nullptr);
            f->kind[i] = KIND_CHECK;
            break;
        case KVN_FT_ENUM:
        case KVN_FT_REF:
            if (!fd->multi || fd->type == KVN_FT_ENUM) {
                in = q_gui_add_combobox(g_ctx, win, x, y, k_input_w, h, nullptr, nullptr);
                f->kind[i] = KIND_DROP;
                break;
            }
            [[fallthrough]];
        default: {
            const bool file = fd->type == KVN_FT_FILE;
            const int max = file ? 2047 : _is_multiline(fd->type) ? 65536 : 4096;
            in = q_gui_add_textarea(g_ctx, win, x, y, file ? k_file_w : k_input_w, h,
                                    _is_multiline(fd->type) ? 1 : 0, max, nullptr, nullptr);
            const char *ph = fd->type == KVN_FT_TEXT     ? "text"
                             : fd->type == KVN_FT_INT    ? "integer"
                             : fd->type == KVN_FT_NUMBER ? "number"
                             : fd->type == KVN_FT_LIST   ? "comma separated values"
                             : fd->type == KVN_FT_KV     ? "key=value, one per line"
                             : fd->type == KVN_FT_JSON   ? "JSON value"
                             : fd->type == KVN_FT_FILE   ? "local file path"
                             : fd->type == KVN_FT_REF    ? "comma separated values, or pick below"
                                                         : label;
            q_gui_textarea_set_placeholder(g_ctx, in, ph);
            if (fd->type == KVN_FT_PASSWORD) q_gui_textarea_set_mask_char(g_ctx, in, '*');
            break;
        }
        }
        f->input[i] = in;
        _tip(in, tip);
        kvn_gui_layout_anchor(win, in, KVN_ANCHOR_LEFT | KVN_ANCHOR_TOP | KVN_ANCHOR_RIGHT);
        if (fd->type == KVN_FT_FILE) {
            f->browse[i] = q_gui_add_button(g_ctx, win, "Browse...", x + k_input_w - k_browse_w, y,
                                            k_browse_w, k_row_h, 1, _on_browse, _tag(index, i, 0));
            _tip(f->browse[i], "Choose the file with the desktop file dialog");
            kvn_gui_layout_anchor(win, f->browse[i], KVN_ANCHOR_TOP | KVN_ANCHOR_RIGHT);
        }
        if (_is_pick(fd)) {
            f->pick[i] = q_gui_add_combobox(g_ctx, win, x, y + k_pick_gap, k_input_w, k_row_h, _on_pick,
                                            _tag(index, i, 0));
            _tip(f->pick[i], "Pick to append to the list above");
            kvn_gui_layout_anchor(win, f->pick[i], KVN_ANCHOR_LEFT | KVN_ANCHOR_TOP | KVN_ANCHOR_RIGHT);
        }
        if (fd->type == KVN_FT_ENUM) {
            const bool empty_first =
                !fd->required && (fd->value_count == 0 || (fd->values[0] && fd->values[0][0] != 0));
            if (empty_first) {
                q_gui_combobox_add_item(g_ctx, in, "(unset)");
                _drop_add(&f->drop[i], "");
            }
            for (int v = 0; v < fd->value_count; v++) {
                const char *val = fd->values[v] ? fd->values[v] : "";
                q_gui_combobox_add_item(g_ctx, in, *val ? val : "(unset)");
                _drop_add(&f->drop[i], val);
            }
        }
        y += h + 6 + (_is_pick(fd) ? k_pick_gap : 0);
    }

    f->message = q_gui_add_label(g_ctx, win, "", 10, y + 4, f->width - 30, 52, 3);
    kvn_gui_layout_anchor(win, f->message, KVN_ANCHOR_LEFT | KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    f->ok = q_gui_add_button(g_ctx, win, "OK", f->width - 230, y + 56, k_button_w, k_button_h, 1, _on_ok,
                             _tag(index, 0, 0));
    f->cancel = q_gui_add_button(g_ctx, win, "Cancel", f->width - 120, y + 56, k_button_w, k_button_h, 1,
                                 _on_cancel, _tag(index, 0, 0));
    char tip[4096];
    q_format(tip, sizeof tip, "Run: %s %s%s%s%s", op->method ? op->method : "", op->path ? op->path : "",
             op->cli ? "  (CLI: openstack " : "", op->cli ? op->cli : "", op->cli ? ")" : "");
    _tip(f->ok, tip);
    _tip(f->cancel, "Close without running (ESC)");
    kvn_gui_layout_anchor(win, f->ok, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, f->cancel, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);

    char key[128];
    q_format(key, sizeof key, "%s", op->title ? op->title : op->cli ? op->cli : "form");
    key[k_key_max] = 0;
    q_format(f->key, sizeof f->key, "form:%s", key);
    q_gui_close_window(g_ctx, win);
    return f;
}

// ---- pick lists ---------------------------------------------------------------------------

void _apply_list(KVN_FORM *f, int i, const cJSON *answer, const char *error) {
    const KVN_FIELD *fd = &f->op->fields[i];
    const bool pick = _is_pick(fd);
    const int id = pick ? f->pick[i] : f->input[i];
    if (id < 0) return;
    const KVN_APP *app = kvn_app_get();
    const KVN_RESOURCE *res = app && app->api && fd->ref ? kvn_api_lookup(app->api, fd->ref) : nullptr;
    _reset_drop(f, i, id, pick ? "(pick to add)" : error ? "(cannot load list)" : "(none)", true);
    const char *label = fd->label ? fd->label : fd->name ? fd->name : "";
    if (error) {
        char text[1024];
        q_format(text, sizeof text, "%s list: %.900s", label, error);
        _message(f, KVN_STATUS_ERROR, text);
        return;
    }
    // The list member is turned into an array in place, so work on a copy.
    cJSON *copy = cJSON_Duplicate(answer, 1);
    const cJSON *items = copy ? kvn_api_items(copy, res ? res->list_key : nullptr) : nullptr;
    const char *value_path = fd->ref_value && *fd->ref_value ? fd->ref_value : "id";
    const char *want = f->drop[i].want ? f->drop[i].want : "";
    int chosen = -1, listed = 0;
    for (const cJSON *it = items && cJSON_IsArray(items) ? items->child : nullptr; it; it = it->next) {
        char value[1024], name[512], item_id[512], text[Q_GUI_ITEM_TEXT_MAX];
        kvn_api_value_text(kvn_api_json_at(it, value_path), value, sizeof value);
        if (!value[0]) continue;
        kvn_api_value_text(kvn_api_json_at(it, res && res->name_field ? res->name_field : "name"), name,
                           sizeof name);
        kvn_api_value_text(kvn_api_json_at(it, res && res->id_field ? res->id_field : "id"), item_id,
                           sizeof item_id);
        kvn_gui_form_entry_text(name, value, item_id, text, sizeof text);
        q_gui_combobox_add_item(g_ctx, id, text);
        _drop_add(&f->drop[i], value);
        listed++;
        if (chosen < 0 && !pick && *want && !strcmp(want, value)) chosen = listed;
    }
    cJSON_Delete(copy);
    if (chosen < 0 && !pick && fd->required && listed == 1) chosen = 1;
    q_gui_combobox_set_selected(g_ctx, id, chosen > 0 ? chosen : 0);
    q_gui_request_redraw(g_ctx);
}

void _on_list(KVN_REQ *req, void *user) {
    int field;
    unsigned generation;
    KVN_FORM *f = _untag(user, &field, &generation);
    if (!f || !g_ctx || generation != f->generation) return;
    const KVN_RESULT *r = req->result;
    if (r && kvn_result_ok(r))
        _apply_list(f, field, r->json, nullptr);
    else
        _apply_list(f, field, nullptr, r && r->error[0] ? r->error : "no answer");
}

void _load_lists(KVN_FORM *f, int index, KVN_APP *app) {
    KVN_SESSION_INFO info;
    memset(&info, 0, sizeof info);
    kvn_session_info(app->session, &info);
    for (int i = 0; i < f->field_count; i++) {
        const KVN_FIELD *fd = &f->op->fields[i];
        if (fd->type != KVN_FT_REF || !fd->ref || !app->api) continue;
        const KVN_RESOURCE *res = kvn_api_lookup(app->api, fd->ref);
        if (!res || !res->list_path || res->parent || !res->service) continue;
        const int id = _is_pick(fd) ? f->pick[i] : f->input[i];
        if (!kvn_session_has_service(app->session, res->service->name)) {
            _reset_drop(f, i, id, "(service not available)", false);
            continue;
        }
        _reset_drop(f, i, id, "(loading...)", false);
        KVN_EXPAND_CTX ctx;
        memset(&ctx, 0, sizeof ctx);
        ctx.project_id = info.project_id;
        ctx.user_id = info.user_id;
        char path[4096];
        kvn_api_expand(res->list_path, &ctx, nullptr, nullptr, path, sizeof path);
        KVN_REQ *req = kvn_req_new(res->service->name, "GET", path);
        if (!req) continue;
        if (res->list_key) q_strcpy(req->collection_key, sizeof req->collection_key, res->list_key);
        if (res->microversion) {
            q_strcpy(req->opts.microversion, sizeof req->opts.microversion, res->microversion);
            req->opts.has_microversion = 1;
        }
        if (res->header)
            kvn_api_expand(res->header, &ctx, nullptr, nullptr, req->opts.extra_headers[0],
                           sizeof req->opts.extra_headers[0]);
        if (!res->no_paging) req->flags |= KVN_REQ_ALL_PAGES;
        char title[512];
        q_format(title, sizeof title, "loading %s", fd->label ? fd->label : fd->name ? fd->name : "");
        kvn_req_submit(req, title, _on_list, _tag(index, i, f->generation));
    }
    q_secure_zero(&info, sizeof info);
}

// ---- callbacks ----------------------------------------------------------------------------

KVN_FORM *_form_of(void *user) {
    int field;
    unsigned generation;
    return _untag(user, &field, &generation);
}

void _on_pick(int widget, int index, void *user) {
    int i;
    unsigned generation;
    KVN_FORM *f = _untag(user, &i, &generation);
    if (!f || !g_ctx || index <= 0 || index >= f->drop[i].count) return;
    const char *now = q_gui_textarea_get_text(g_ctx, f->input[i]);
    std::string text = now ? now : "";
    if (!text.empty()) text += ",";
    text += f->drop[i].values[index];
    q_gui_textarea_set_text(g_ctx, f->input[i], text.c_str());
    q_gui_combobox_set_selected(g_ctx, widget, 0);
}

void _on_chosen(const char *path, void *context) {
    int i;
    unsigned generation;
    KVN_FORM *f = _untag(context, &i, &generation);
    if (!f || !g_ctx || generation != f->generation || !path) return;
    q_gui_textarea_set_text(g_ctx, f->input[i], path);
    q_gui_request_redraw(g_ctx);
}

void _on_browse(int, void *user) {
    int i;
    unsigned generation;
    KVN_FORM *f = _untag(user, &i, &generation);
    if (!f || !g_ctx) return;
    const KVN_OP *op = f->op;
    const KVN_FIELD *fd = &op->fields[i];
    const int mode = fd->folder                                                         ? KVN_CHOOSE_FOLDER
                     : op->download || (op->result && !strncmp(op->result, "save:", 5)) ? KVN_CHOOSE_SAVE
                                                                                        : KVN_CHOOSE_OPEN;
    f->browse_field = i;
    const char *start = q_gui_textarea_get_text(g_ctx, f->input[i]);
    kvn_gui_choose_file(fd->label ? fd->label : fd->name, mode, start ? start : "", _on_chosen,
                        _tag(_index_of(op), i, f->generation));
}

// One value per field as OK reads it, into a buffer of the caller's.
void _read_value(KVN_FORM *f, int i, char *out, size_t size) {
    const KVN_FIELD *fd = &f->op->fields[i];
    out[0] = 0;
    if (f->kind[i] == KIND_CHECK) {
        kvn_gui_form_bool_value(fd, q_gui_checkbox_is_checked(g_ctx, f->input[i]), out, size);
    } else if (f->kind[i] == KIND_DROP) {
        const DROP_VALUES &d = f->drop[i];
        const int sel = q_gui_combobox_get_selected(g_ctx, f->input[i]);
        if (sel >= 0 && sel < d.count)
            q_strcpy(out, size, d.values[sel]);
        else if (fd->type == KVN_FT_REF && d.want)
            q_strcpy(out, size, d.want);
    } else {
        const char *t = q_gui_textarea_get_text(g_ctx, f->input[i]);
        q_strcpy(out, size, t ? t : "");
    }
}

void _on_ok(int, void *user) {
    KVN_FORM *f = _form_of(user);
    if (!f || !g_ctx) return;
    const int n = f->field_count;
    char *values[KVN_FORM_FIELDS_MAX] = {};
    bool ok = true;
    for (int i = 0; i < n && ok; i++) {
        values[i] = static_cast<char *>(malloc(k_value_size));
        if (!values[i])
            ok = false;
        else
            _read_value(f, i, values[i], k_value_size);
    }
    char err[1024] = "";
    if (!ok) q_strcpy(err, sizeof err, "out of memory");
    cJSON *body = nullptr;
    if (ok && kvn_api_build_body(f->op, values, err, sizeof err, &body) != 0) ok = false;
    q_json_delete_secret(body);
    if (ok) {
        const KVN_OP *op = f->op;
        KVN_FORM_DONE done = f->done;
        void *cb_user = f->user;
        const long number = f->number;
        _message(f, KVN_STATUS_INFO, "");
        _hide(f);
        if (done) done(op, values, n, number, cb_user);
    } else {
        _message(f, KVN_STATUS_ERROR, err[0] ? err : "the values were refused");
    }
    for (int i = 0; i < n; i++) {
        if (!values[i]) continue;
        q_secure_zero(values[i], k_value_size);
        free(values[i]);
    }
}

void _on_cancel(int, void *user) {
    KVN_FORM *f = _form_of(user);
    if (f && g_ctx) _cancel(f);
}

void _on_close(int, void *user) {
    _on_cancel(0, user);
}

// ---- opening --------------------------------------------------------------------------------

void _prefill(KVN_FORM *f, const cJSON *item, KVN_APP *app) {
    KVN_SESSION_INFO info;
    memset(&info, 0, sizeof info);
    if (app->session) kvn_session_info(app->session, &info);
    char *text = static_cast<char *>(malloc(k_prefill_max));
    if (!text) return;
    for (int i = 0; i < f->field_count; i++) {
        const KVN_FIELD *fd = &f->op->fields[i];
        const int has = kvn_gui_form_prefill(fd, item, info.user_id, info.project_id, text, k_prefill_max);
        const int id = f->input[i];
        if (f->kind[i] == KIND_CHECK) {
            q_gui_checkbox_set_checked(g_ctx, id, has ? !strcmp(text, "true") : _default_true(fd));
        } else if (f->kind[i] == KIND_DROP && fd->type == KVN_FT_ENUM) {
            int sel = 0;
            for (int v = 0; v < f->drop[i].count; v++)
                if (!strcmp(f->drop[i].values[v], text)) {
                    sel = v;
                    break;
                }
            q_gui_combobox_set_selected(g_ctx, id, sel);
        } else if (f->kind[i] == KIND_DROP) {
            _set_want(&f->drop[i], text);
        } else {
            q_gui_textarea_set_text(g_ctx, id, text);
        }
    }
    q_secure_zero(text, k_prefill_max);
    free(text);
    q_secure_zero(&info, sizeof info);
}

// Puts back what the user gave the form, value by value as OK read it: a
// reference waits for its list as a prefilled one does, and a check box is
// checked exactly when it sent "true".
void _restore(KVN_FORM *f, const char *const *values, int count) {
    for (int i = 0; i < f->field_count; i++) {
        const char *v = i < count && values && values[i] ? values[i] : "";
        const int id = f->input[i];
        if (f->kind[i] == KIND_CHECK) {
            q_gui_checkbox_set_checked(g_ctx, id, !strcmp(v, "true"));
        } else if (f->kind[i] == KIND_DROP && f->op->fields[i].type == KVN_FT_ENUM) {
            int sel = 0;
            for (int e = 0; e < f->drop[i].count; e++)
                if (!strcmp(f->drop[i].values[e], v)) {
                    sel = e;
                    break;
                }
            q_gui_combobox_set_selected(g_ctx, id, sel);
        } else if (f->kind[i] == KIND_DROP) {
            _set_want(&f->drop[i], v);
        } else {
            q_gui_textarea_set_text(g_ctx, id, v);
        }
    }
}

// Opening and reopening: the fields come from the item (or the defaults),
// or, when values are given, from what the user typed before.
int _open(const KVN_OP *op, const char *title, const cJSON *item, const char *const *values, int value_count,
          KVN_FORM_DONE done, long number, void *user) {
    KVN_APP *app = kvn_app_get();
    if (!op || !_ctx() || !app->session) return -1;
    int index = _index_of(op);
    if (index < 0) {
        if (g_count >= KVN_FORMS_MAX) {
            kvn_app_status(KVN_STATUS_ERROR, "%s", "too many forms");
            return -1;
        }
        index = g_count;
        g_forms[g_count++] = _build(op, index);
    }
    KVN_FORM *f = g_forms[index];
    f->generation++;
    f->done = done;
    f->user = user;
    f->number = number;
    f->browse_field = -1;
    q_gui_window_set_caption(g_ctx, f->window,
                             title && *title           ? title
                             : op->title && *op->title ? op->title
                                                       : "Form");
    _message(f, KVN_STATUS_INFO, "");
    if (values)
        _restore(f, values, value_count);
    else
        _prefill(f, item, app);
    _load_lists(f, index, app);
    kvn_gui_layout_place_popup(f->window, f->key, f->width, f->height);
    q_gui_open_window(g_ctx, f->window);
    q_gui_raise_window(g_ctx, f->window);
    q_gui_request_redraw(g_ctx);
    return 0;
}
} // namespace

int kvn_gui_form_open(const KVN_OP *op, const char *title, const cJSON *item, KVN_FORM_DONE done, long number,
                      void *user) {
    return _open(op, title, item, nullptr, 0, done, number, user);
}

int kvn_gui_form_reopen(const KVN_OP *op, const char *title, const char *const *values, int count,
                        const char *error, KVN_FORM_DONE done, long number, void *user) {
    if (!op || !values || !_ctx()) return -1;
    // The user already started over in this form: what they type now wins.
    const KVN_FORM *open = _find(op);
    if (open && q_gui_window_is_open(g_ctx, open->window)) return -1;
    if (_open(op, title, nullptr, values, count, done, number, user) != 0) return -1;
    _message(_find(op), KVN_STATUS_ERROR, error && *error ? error : "the request failed");
    return 0;
}

void kvn_gui_form_set_message(const KVN_OP *op, const char *text) {
    if (!_ctx()) return;
    KVN_FORM *f = _find(op);
    if (f) _message(f, KVN_STATUS_INFO, text);
}

int kvn_gui_form_is_form(int window) {
    if (!_ctx() || window < 0) return 0;
    for (int i = 0; i < g_count; i++)
        if (g_forms[i]->window == window) return 1;
    return 0;
}

void kvn_gui_form_escape(int window) {
    if (!_ctx() || window < 0) return;
    for (int i = 0; i < g_count; i++)
        if (g_forms[i]->window == window) _cancel(g_forms[i]);
}

void kvn_gui_form_reset_all(void) {
    if (!_ctx()) return;
    for (int i = 0; i < g_count; i++) {
        KVN_FORM *f = g_forms[i];
        f->generation++;
        for (int k = 0; k < f->field_count; k++) {
            const KVN_FIELD *fd = &f->op->fields[k];
            if (fd->type != KVN_FT_REF) continue;
            const int id = _is_pick(fd) ? f->pick[k] : f->input[k];
            q_gui_combobox_clear(g_ctx, id);
            _drop_clear(&f->drop[k]);
        }
    }
}

void kvn_gui_form_destroy_all(void) {
    KVN_APP *app = kvn_app_get();
    if (g_ctx && app && app->gui == g_ctx)
        for (int i = 0; i < g_count; i++)
            _hide(g_forms[i]);
    _forget_all();
    g_ctx = nullptr;
}

int kvn_gui_form_ids(const KVN_OP *op, KVN_FORM_IDS *out) {
    if (!out || !_ctx()) return -1;
    const KVN_FORM *f = _find(op);
    if (!f) return -1;
    out->window = f->window;
    out->message = f->message;
    out->ok = f->ok;
    out->cancel = f->cancel;
    out->field_count = f->field_count;
    for (int i = 0; i < KVN_FORM_FIELDS_MAX; i++) {
        out->input[i] = f->input[i];
        out->kind[i] = f->kind[i];
        out->pick[i] = f->pick[i];
        out->browse[i] = f->browse[i];
    }
    out->generation = f->generation;
    return 0;
}

int kvn_gui_form_deliver_list(const KVN_OP *op, int field, unsigned generation, const cJSON *answer,
                              const char *error) {
    if (!_ctx()) return -1;
    KVN_FORM *f = _find(op);
    if (!f || field < 0 || field >= f->field_count || generation != f->generation) return -1;
    _apply_list(f, field, answer, error);
    return 0;
}
