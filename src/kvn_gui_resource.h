#pragma once
// The resource panel: the generic view of one descriptor resource in the main
// window's content area. A list of what the cloud returns with the
// descriptor's columns, the JSON of the selected item, the buttons and the
// context menu that run the resource's operations on the selected items, and
// the result of each batch. Nothing in it knows one service from another.
// Main thread only; requests run as jobs and are matched by generation.

#include <cstddef>

struct cJSON;
struct KVN_RESOURCE;
struct KVN_OP;
struct Q_GUI_POPUP;

enum {
    KVN_RES_PANELS_MAX = 512,
    KVN_RES_PENDING_MAX = 16,
    KVN_RES_UI_MAX = 16,
    KVN_RES_ID_MAX = 256,
    KVN_RES_FILTER_MAX = 256,
    KVN_RES_SELECTED_MAX = 1024,
};

// Kinds of operation run from a panel.
enum { KVN_RES_ACTION = 0, KVN_RES_CREATE = 1, KVN_RES_UPDATE = 2, KVN_RES_DELETE = 3 };

// A custom window standing in for an operation's generated form: it gets the
// resource, the operation and the first selected item (or none).
typedef void (*KVN_RES_UI_FN)(const KVN_RESOURCE *res, const KVN_OP *op, const cJSON *item);

// Hides the panel shown before, creates or finds the panel of the resource,
// places and shows it; a panel neither loaded nor loading starts a load.
void kvn_gui_resource_show(const KVN_RESOURCE *res, float x, float y, float w, float h);
void kvn_gui_resource_hide_all(void);
void kvn_gui_resource_relayout(float x, float y, float w, float h);
// Refresh and F5 on the shown panel.
void kvn_gui_resource_reload_current(void);
// A connection change: every panel forgets its answers and selection, every
// pending operation is dropped, the shown panel loads again.
void kvn_gui_resource_reset_all(void);
// Reloads every loaded or shown panel of the resource (other windows changed
// its items).
void kvn_gui_resource_reload(const KVN_RESOURCE *res);
// Runs an operation on one item (or none) as if chosen in the shown panel;
// the kind follows the operation's role in the resource. 0 when it started
// (a form, a window, a confirmation or the requests), -1 with the status set.
int kvn_gui_resource_run(const KVN_RESOURCE *res, const KVN_OP *op, const cJSON *item);
// 0, or -1 when the registry is full or the name is empty.
int kvn_gui_resource_register_ui(const char *name, KVN_RES_UI_FN fn);
// Once per frame: the automatic reload of the shown panel.
void kvn_gui_resource_tick(void);
// A mouse press in canvas coordinates: a context menu open elsewhere closes;
// 1 when one closed.
int kvn_gui_resource_mouse_down(float x, float y);
// Escape, focus regained: 1 when a menu was open.
int kvn_gui_resource_close_menus(void);
// Frees every panel, menu, pending record and batch; before the GUI context
// goes.
void kvn_gui_resource_destroy_all(void);

// Ids and state of a resource's panel, for tests and the gallery; -1 when it
// was never shown.
struct KVN_RES_IDS {
    int window, header, cli, refresh, create, edit, del, actions, parent, filter, count, split, grid, detail;
    int loaded, loading, busy;
    double next_reload;
    int item_count; // items in the kept answer
    Q_GUI_POPUP *menu;
    char selected_id[KVN_RES_ID_MAX];
};
int kvn_gui_resource_ids(const KVN_RESOURCE *res, KVN_RES_IDS *out);
// Takes a list answer (owned) as if the cloud had sent it to the resource's
// panel, which must have been shown: the gallery and tests, without a cloud.
int kvn_gui_resource_fill(const KVN_RESOURCE *res, cJSON *answer);

// ---- the panel's pure rules (kvn_gui_resource_rules.cpp) ---------------------------

// Row colour class of an item from its "status", else "provisioning_status":
// 0 plain, 1 error, 2 transitional (the panel reloads while one is shown).
int kvn_res_status_class(const cJSON *item);
// Same rule on an upper-cased state text.
int kvn_res_state_class(const char *upper_state);
// "%d item%s", or "%d / %d items" when the filter hid rows.
void kvn_res_count_text(int shown, int total, char *out, size_t size);
// Whether a cell holds the filter text, ignoring case (ASCII).
int kvn_res_cell_matches(const char *cell, const char *filter);

// Where an allowed action goes in the context menu.
enum { KVN_RES_MENU_TOP = 0, KVN_RES_MENU_SHOW = 1, KVN_RES_MENU_ADMIN = 2, KVN_RES_MENU_MORE = 3 };
// One group per action, in order: all at the top with 18 or fewer, else the
// read-only views under "Show", "(admin)" titles under "Administration", the
// first 14 others at the top and the rest under "More".
void kvn_res_group_actions(const KVN_OP *const *actions, int count, int *groups);

// The display name of an operation in summaries: its title without trailing
// dots, else "Create", "Update", "Delete" or "Action" by kind.
void kvn_res_display_name(const KVN_OP *op, int kind, char *out, size_t size);
// The one line that ends a batch; returns 1 when it is a failure.
int kvn_res_batch_summary(const char *res_title, const char *display, int ok, int failed,
                          const char *last_error, char *out, size_t size);
// The first line of an operation's confirmation.
void kvn_res_confirm_line(const KVN_OP *op, int kind, const char *res_title, int count,
                          const char *first_name, char *out, size_t size);
// Whether a path needs a selected item ("{id}" or "{item.").
int kvn_res_path_needs_item(const char *path);

// Pending operations: what a form or confirmation is about, found again by id
// when it answers. The lowest id gives way when every slot is taken.
struct KVN_RES_PENDING {
    long id; // 0 = free slot
    int panel;
    const KVN_RESOURCE *res;
    const KVN_OP *op;
    int kind;
    cJSON *items;  // owned array
    char **values; // owned, one per field, wiped before release
    int value_count;
};
struct KVN_RES_PENDING_TABLE {
    KVN_RES_PENDING slots[KVN_RES_PENDING_MAX];
    long next_id;
};
// A new record owning items (which may be null); never null.
KVN_RES_PENDING *kvn_res_pending_add(KVN_RES_PENDING_TABLE *t, int panel, const KVN_RESOURCE *res,
                                     const KVN_OP *op, int kind, cJSON *items);
// The record with the id for the operation, else null (evicted or another).
KVN_RES_PENDING *kvn_res_pending_find(KVN_RES_PENDING_TABLE *t, long id, const KVN_OP *op);
// Copies the values in (replacing any), 0 or -1 on exhausted memory.
int kvn_res_pending_set_values(KVN_RES_PENDING *p, const char *const *values, int count);
void kvn_res_pending_free(KVN_RES_PENDING *p);
void kvn_res_pending_clear(KVN_RES_PENDING_TABLE *t);

// ---- the settings dialog (kvn_gui_resource_settings.cpp) ---------------------------

// Runs after OK stored the settings (the main window refills its tree).
typedef void (*KVN_SETTINGS_SAVED_FN)(void *user);
// Builds the dialog on first use, sets its controls from the settings,
// places, shows and raises it.
void kvn_gui_settings_open(KVN_SETTINGS_SAVED_FN after_save, void *user);
// A whole decimal number of digits only within lo..hi into out; 0, else -1.
int kvn_settings_parse(const char *text, int lo, int hi, int *out);
// For tests and the gallery; -1 for what is not built.
struct KVN_SETTINGS_IDS {
    int window, theme, show_restricted, show_unavailable, native_popups, history_enabled;
    int period, keep, refresh, log_level, message, reset, ok, cancel;
};
void kvn_gui_settings_ids(KVN_SETTINGS_IDS *out);
