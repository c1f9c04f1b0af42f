// Placeholder until the layout module lands: dialogs are centred at their
// default size and nothing is remembered.
#include "kvn_gui_layout.h"

#include <climits>

#include "kvn_app.h"
#include "q_gui.h"

void kvn_gui_layout_load(void) {}

void kvn_gui_layout_main_geometry(int *x, int *y, int *w, int *h, int *maximized) {
    *x = INT_MAX;
    *y = INT_MAX;
    *w = 1400;
    *h = 860;
    *maximized = 0;
}

void kvn_gui_layout_save(void) {}

void kvn_gui_layout_place_popup(int window, const char *key, float default_w, float default_h) {
    (void)key;
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui || !q_gui_get_window(app->gui, window)) return;
    const float dw = app->gui->display_w, dh = app->gui->display_h;
    const float x = (dw - default_w) / 2, y = (dh - default_h) / 2;
    q_gui_window_set_rect(app->gui, window, x > 0 ? x : 0, y > 0 ? y : 0, default_w, default_h);
}

int kvn_gui_layout_anchor(int window, int widget, int flags) {
    (void)window;
    (void)widget;
    (void)flags;
    return 0;
}

void kvn_gui_layout_auto_anchor(int window, int growing_widget) {
    (void)window;
    (void)growing_widget;
}

void kvn_gui_layout_forget_window(int window) { (void)window; }

float kvn_gui_layout_split_get(const char *key, float default_ratio) {
    (void)key;
    return default_ratio;
}

void kvn_gui_layout_split_set(const char *key, float ratio) {
    (void)key;
    (void)ratio;
}

void kvn_gui_layout_tick(void) {}

void kvn_gui_layout_reset(void) {}

int kvn_gui_layout_window_of_event(const ALLEGRO_EVENT *ev) {
    (void)ev;
    return -1;
}

void kvn_gui_layout_attach_all(void) {}
