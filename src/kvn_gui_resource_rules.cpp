// The resource panel's rules that need no window: row colour classes, count
// texts, the filter match, the grouping of the context menu, the texts of
// confirmations and batch summaries, and the pending operation table.
#include <cJSON.h>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "kvn_api.h"
#include "kvn_gui_resource.h"
#include "q_common.h"

namespace {
const char *const k_transitional[] = {
    "BUILD",          "CREATING",       "DELETING",       "REBOOT",       "HARD_REBOOT", "RESIZE",
    "VERIFY_RESIZE",  "REVERT_RESIZE",  "MIGRATING",      "REBUILD",      "ATTACHING",   "DETACHING",
    "DOWNLOADING",    "UPLOADING",      "EXTENDING",      "SAVING",       "QUEUED",      "IMPORTING",
    "RESERVED",       "BACKING-UP",     "RESTORING",      "RETYPING",     "MAINTENANCE", "PENDING",
    "PENDING_CREATE", "PENDING_UPDATE", "PENDING_DELETE", "SHELVING",     "UNSHELVING",  "PAUSING",
    "SUSPENDING",     "RESUMING",       "POWERING-ON",    "POWERING-OFF",
};

// With more actions than this the menu no longer fits a screen as one column.
const int k_flat_actions = 18, k_top_actions = 14;

bool _read_only_view(const KVN_OP *op) {
    return op->method && !strcmp(op->method, "GET") && !op->ui && !op->download &&
           !(op->result && !strncmp(op->result, "save:", 5));
}
} // namespace

int kvn_res_state_class(const char *s) {
    if (!s || !s[0]) return 0;
    if (strstr(s, "ERROR") || !strcmp(s, "DOWN") || !strcmp(s, "KILLED") || !strcmp(s, "FAILURE")) return 1;
    for (const char *t : k_transitional)
        if (!strcmp(s, t)) return 2;
    return 0;
}

int kvn_res_status_class(const cJSON *item) {
    const cJSON *st = cJSON_GetObjectItemCaseSensitive(item, "status");
    if (!cJSON_IsString(st)) st = cJSON_GetObjectItemCaseSensitive(item, "provisioning_status");
    if (!cJSON_IsString(st)) return 0;
    char up[64];
    size_t i = 0;
    for (; st->valuestring[i] && i < sizeof up - 1; i++)
        up[i] = (char)toupper((unsigned char)st->valuestring[i]);
    up[i] = 0;
    return kvn_res_state_class(up);
}

void kvn_res_count_text(int shown, int total, char *out, size_t size) {
    if (shown != total)
        q_format(out, size, "%d / %d items", shown, total);
    else
        q_format(out, size, "%d item%s", total, total == 1 ? "" : "s");
}

int kvn_res_cell_matches(const char *cell, const char *filter) {
    if (!filter || !filter[0]) return 1;
    if (!cell) return 0;
    const size_t n = strlen(filter);
    for (const char *p = cell; *p; p++)
        if (!strncasecmp(p, filter, n)) return 1;
    return 0;
}

void kvn_res_group_actions(const KVN_OP *const *actions, int count, int *groups) {
    int top = 0;
    for (int i = 0; i < count; i++) {
        const KVN_OP *op = actions[i];
        if (count <= k_flat_actions)
            groups[i] = KVN_RES_MENU_TOP;
        else if (_read_only_view(op))
            groups[i] = KVN_RES_MENU_SHOW;
        else if (op->title && strstr(op->title, "(admin)"))
            groups[i] = KVN_RES_MENU_ADMIN;
        else
            groups[i] = top++ < k_top_actions ? KVN_RES_MENU_TOP : KVN_RES_MENU_MORE;
    }
}

void kvn_res_display_name(const KVN_OP *op, int kind, char *out, size_t size) {
    static const char *const k_kind[] = {"Action", "Create", "Update", "Delete"};
    const char *t = op && op->title && op->title[0] ? op->title : k_kind[kind >= 0 && kind <= 3 ? kind : 0];
    q_strcpy(out, size, t);
    size_t n = strlen(out);
    while (n > 0 && out[n - 1] == '.')
        out[--n] = 0;
}

int kvn_res_batch_summary(const char *res_title, const char *display, int ok, int failed,
                          const char *last_error, char *out, size_t size) {
    if (failed > 0) {
        q_format(out, size, "%s: %s failed (%d ok, %d failed): %s", res_title, display, ok, failed,
                 last_error ? last_error : "");
        return 1;
    }
    q_format(out, size, "%s: %s done%s", res_title, display, ok > 1 ? " on every item" : "");
    return 0;
}

void kvn_res_confirm_line(const KVN_OP *op, int kind, const char *res_title, int count,
                          const char *first_name, char *out, size_t size) {
    const char *title = op->title && op->title[0] ? op->title : kind == KVN_RES_DELETE ? "Delete" : "Run";
    if (count > 1 && op->multi)
        q_format(out, size, "%s %d %s?", title, count, res_title);
    else
        q_format(out, size, "%s %s%s%s?", title, res_title, first_name && first_name[0] ? ": " : "",
                 first_name ? first_name : "");
}

int kvn_res_path_needs_item(const char *path) {
    return path && (strstr(path, "{id}") || strstr(path, "{item."));
}

// ---- pending operations ---------------------------------------------------------------

KVN_RES_PENDING *kvn_res_pending_add(KVN_RES_PENDING_TABLE *t, int panel, const KVN_RESOURCE *res,
                                     const KVN_OP *op, int kind, cJSON *items) {
    KVN_RES_PENDING *slot = nullptr;
    for (KVN_RES_PENDING &p : t->slots)
        if (p.id == 0) {
            slot = &p;
            break;
        }
    if (!slot) {
        slot = &t->slots[0];
        for (KVN_RES_PENDING &p : t->slots)
            if (p.id < slot->id) slot = &p;
        kvn_res_pending_free(slot);
    }
    slot->id = ++t->next_id;
    slot->panel = panel;
    slot->res = res;
    slot->op = op;
    slot->kind = kind;
    slot->items = items;
    return slot;
}

KVN_RES_PENDING *kvn_res_pending_find(KVN_RES_PENDING_TABLE *t, long id, const KVN_OP *op) {
    if (id <= 0) return nullptr;
    for (KVN_RES_PENDING &p : t->slots)
        if (p.id == id) return p.op == op ? &p : nullptr;
    return nullptr;
}

int kvn_res_pending_set_values(KVN_RES_PENDING *p, const char *const *values, int count) {
    for (int i = 0; i < p->value_count; i++)
        if (p->values[i]) {
            q_secure_zero_str(p->values[i]);
            free(p->values[i]);
        }
    free(p->values);
    p->values = nullptr;
    p->value_count = 0;
    if (count <= 0) return 0;
    p->values = static_cast<char **>(calloc((size_t)count, sizeof(char *)));
    if (!p->values) return -1;
    p->value_count = count;
    for (int i = 0; i < count; i++) {
        p->values[i] = strdup(values && values[i] ? values[i] : "");
        if (!p->values[i]) return -1;
    }
    return 0;
}

void kvn_res_pending_free(KVN_RES_PENDING *p) {
    if (!p) return;
    kvn_res_pending_set_values(p, nullptr, 0);
    q_json_delete_secret(p->items);
    *p = KVN_RES_PENDING();
}

void kvn_res_pending_clear(KVN_RES_PENDING_TABLE *t) {
    for (KVN_RES_PENDING &p : t->slots)
        kvn_res_pending_free(&p);
}
