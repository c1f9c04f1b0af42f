// q_gui key/value table composite: a grid of key, "Value" and "Description"
// columns, three fields below it to type a new row, and the buttons
// "Add row" and "Remove" (the selected row).

#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static const float k_row = 26, k_gap = 4;

static void _changed(Q_GUI_KVTABLE *kv) {
    if (kv->on_change) kv->on_change(kv->grid, kv->user);
}

static void _on_add(int, void *user) {
    Q_GUI_KVTABLE *kv = static_cast<Q_GUI_KVTABLE *>(user);
    const char *key = q_gui_textarea_get_text(kv->ctx, kv->key_field);
    if (!key[0]) {
        q_gui_set_focus(kv->ctx, kv->key_field);
        return;
    }
    if (q_gui_kvtable_add(kv, key, q_gui_textarea_get_text(kv->ctx, kv->value_field),
                          q_gui_textarea_get_text(kv->ctx, kv->desc_field)) < 0)
        return;
    q_gui_textarea_set_text(kv->ctx, kv->key_field, "");
    q_gui_textarea_set_text(kv->ctx, kv->value_field, "");
    q_gui_textarea_set_text(kv->ctx, kv->desc_field, "");
    q_gui_set_focus(kv->ctx, kv->key_field);
    _changed(kv);
}

static void _on_remove(int, void *user) {
    Q_GUI_KVTABLE *kv = static_cast<Q_GUI_KVTABLE *>(user);
    const int row = q_gui_datagrid_get_selected_row(kv->ctx, kv->grid);
    if (row < 0) return;
    q_gui_datagrid_remove_row(kv->ctx, kv->grid, row);
    const int n = q_gui_datagrid_row_count(kv->ctx, kv->grid);
    if (n > 0) q_gui_datagrid_set_selected_row(kv->ctx, kv->grid, row < n ? row : n - 1);
    _changed(kv);
}

Q_GUI_KVTABLE *q_gui_kvtable_create(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                                    const char *key_title) {
    Q_GUARD(ctx, nullptr);
    if (!q_gui_window_find(ctx, window)) return nullptr;
    Q_GUI_KVTABLE *kv = nullptr;
    Q_CALLOC(kv, 1, Q_GUI_KVTABLE);
    if (!kv) return nullptr;
    kv->ctx = ctx;
    const float grid_h = h - 2 * (k_row + k_gap);
    kv->grid = q_gui_add_datagrid(ctx, window, x, y, w, grid_h > 40 ? grid_h : 40, nullptr, nullptr);
    const float kw = w * 0.3f, vw = w * 0.3f, dw = w - kw - vw;
    q_gui_datagrid_add_column(ctx, kv->grid, key_title && key_title[0] ? key_title : "Key", kw - 2);
    q_gui_datagrid_add_column(ctx, kv->grid, "Value", vw);
    q_gui_datagrid_add_column(ctx, kv->grid, "Description", dw - 16);
    const float fy = y + h - 2 * k_row - k_gap;
    kv->key_field = q_gui_add_textarea(ctx, window, x, fy, kw - k_gap, k_row, 0, 0, nullptr, nullptr);
    kv->value_field = q_gui_add_textarea(ctx, window, x + kw, fy, vw - k_gap, k_row, 0, 0, nullptr, nullptr);
    kv->desc_field = q_gui_add_textarea(ctx, window, x + kw + vw, fy, dw, k_row, 0, 0, nullptr, nullptr);
    q_gui_textarea_set_placeholder(ctx, kv->key_field, key_title && key_title[0] ? key_title : "Key");
    q_gui_textarea_set_placeholder(ctx, kv->value_field, "Value");
    q_gui_textarea_set_placeholder(ctx, kv->desc_field, "Description");
    const float by = y + h - k_row;
    kv->add_button = q_gui_add_button(ctx, window, "Add row", x, by, 100, k_row, 0, _on_add, kv);
    kv->remove_button = q_gui_add_button(ctx, window, "Remove", x + 104, by, 100, k_row, 0, _on_remove, kv);
    if (kv->grid < 0 || kv->key_field < 0 || kv->value_field < 0 || kv->desc_field < 0 ||
        kv->add_button < 0 || kv->remove_button < 0) {
        // Whatever was made stays with the window; it must not call back.
        Q_GUI_KVTABLE *dead = kv;
        q_gui_kvtable_destroy(&dead);
        return nullptr;
    }
    // Enter in any of the fields adds the row.
    const int scope[3] = {kv->key_field, kv->value_field, kv->desc_field};
    q_gui_button_set_keycode_scoped(ctx, kv->add_button, ALLEGRO_KEY_ENTER, 0, scope, 3);
    return kv;
}

void q_gui_kvtable_destroy(Q_GUI_KVTABLE **kv) {
    Q_GUARD_VOID(kv);
    Q_GUI_KVTABLE *k = *kv;
    if (!k) return;
    const int buttons[2] = {k->add_button, k->remove_button};
    for (int id : buttons) {
        Q_GUI_WIDGET *b = q_gui_widget_of_kind(k->ctx, id, Q_GUI_KIND_BUTTON);
        if (b) static_cast<Q_GUI_BUTTON_DATA *>(b->data)->on_click = nullptr;
    }
    Q_FREE(*kv);
}

int q_gui_kvtable_add(Q_GUI_KVTABLE *kv, const char *key, const char *value, const char *description) {
    Q_GUARD(kv, -1);
    const char *cells[3] = {key, value, description};
    return q_gui_datagrid_add_row(kv->ctx, kv->grid, cells);
}

int q_gui_kvtable_count(const Q_GUI_KVTABLE *kv) {
    return kv ? q_gui_datagrid_row_count(kv->ctx, kv->grid) : 0;
}

const char *q_gui_kvtable_get(const Q_GUI_KVTABLE *kv, int row, int col) {
    return kv ? q_gui_datagrid_get_cell(kv->ctx, kv->grid, row, col) : nullptr;
}

void q_gui_kvtable_set_callback(Q_GUI_KVTABLE *kv, Q_GUI_CLICK_CB cb, void *user) {
    Q_GUARD_VOID(kv);
    kv->on_change = cb;
    kv->user = user;
}
