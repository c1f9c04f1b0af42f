#pragma once
// Pop-up menus drawn in toolkit windows of z mode POPUP: items, separators,
// checkable items and nested submenus, each level in a window of its own.
// A pop-up uses its context's windows: destroy it before the context.

#include "q_gui.h"

struct Q_GUI_POPUP;
typedef void (*Q_GUI_POPUP_PICK_CB)(Q_GUI_POPUP *popup, int tag, void *user);

enum {
    Q_GUI_POPUP_ROOT = 0,
    Q_GUI_POPUP_ITEM = 1,
    Q_GUI_POPUP_SUBMENU = 2,
    Q_GUI_POPUP_SEPARATOR = 3,
};

struct Q_GUI_POPUP_ENTRY {
    int kind;
    int parent;
    int tag;
    int enabled, visible;
    int checkable, checked;
    int window;     // menus only: the toolkit window showing it, -1 until shown
    int widget;     // the custom widget inside that window
    int open_child; // open submenu, -1 none
    char *label;    // owned
    char *hint;     // owned, shown as tooltip
    // Rows of a menu as last laid out: shown entries and their offsets.
    int *rows;
    float *row_y;
    int row_count;
    int highlight; // entry index of the highlighted row, -1 none
    float x, y, w, h;
};

struct Q_GUI_POPUP {
    Q_GUI_CTX *ctx;
    float unit;
    Q_GUI_POPUP_PICK_CB on_pick;
    void *user;
    Q_GUI_POPUP_ENTRY *entries;
    int count, cap;
};

Q_GUI_POPUP *q_gui_popup_new(Q_GUI_CTX *ctx, float unit, Q_GUI_POPUP_PICK_CB on_pick, void *user);
int q_gui_popup_add_item(Q_GUI_POPUP *popup, int parent, const char *label, int tag, const char *hint);
int q_gui_popup_add_submenu(Q_GUI_POPUP *popup, int parent, const char *label, const char *hint);
int q_gui_popup_add_separator(Q_GUI_POPUP *popup, int parent);
void q_gui_popup_set_title(Q_GUI_POPUP *popup, const char *text);
void q_gui_popup_set_enabled(Q_GUI_POPUP *popup, int index, int flag);
void q_gui_popup_set_visible(Q_GUI_POPUP *popup, int index, int flag);
void q_gui_popup_set_checked(Q_GUI_POPUP *popup, int index, int flag);
int q_gui_popup_open_at(Q_GUI_POPUP *popup, float x, float y);
void q_gui_popup_close(Q_GUI_POPUP *popup);
int q_gui_popup_is_open(const Q_GUI_POPUP *popup);
int q_gui_popup_contains(const Q_GUI_POPUP *popup, float x, float y);
int q_gui_popup_window(const Q_GUI_POPUP *popup, int index);
void q_gui_popup_activate(Q_GUI_POPUP *popup, int index);
void q_gui_popup_destroy(Q_GUI_POPUP **popup);
