#pragma once
// Where the user left things: the main display's geometry, every dialog's
// place and size under its key, split ratios, anchors that keep dialog
// widgets glued to the edges when a dialog is resized, and dialogs moved into
// their own native windows when the setting asks for it. All of it lives in
// layout.json in the data folder.
union ALLEGRO_EVENT;
struct ALLEGRO_DISPLAY;
struct Q_GUI_CTX;

// Edge flags of an anchor; 0 given by a caller means left and top.
enum {
    KVN_ANCHOR_LEFT = 1,
    KVN_ANCHOR_TOP = 2,
    KVN_ANCHOR_RIGHT = 4,
    KVN_ANCHOR_BOTTOM = 8,
    KVN_ANCHOR_ALL = 15,
};

// Reads layout.json; runs once before the display exists. A bad file leaves
// the defaults.
void kvn_gui_layout_load(void);
// The main display's initial geometry: an unknown position is INT_MAX;
// 1400 x 860, not maximized, when nothing was known.
void kvn_gui_layout_main_geometry(int *x, int *y, int *w, int *h, int *maximized);
// Records the main geometry and writes layout.json; at shutdown.
void kvn_gui_layout_save(void);
// Registers a dialog under a key and places it; every dialog calls it each
// time it is shown. The GUI context and display are the application's.
void kvn_gui_layout_place_popup(int window, const char *key, float default_w, float default_h);
// Anchors one widget to edges of its window (KVN_ANCHOR_*); 0 on success.
int kvn_gui_layout_anchor(int window, int widget, int flags);
// Anchors every widget of a window by the automatic rule; the growing widget
// (or -1) takes the extra height.
void kvn_gui_layout_auto_anchor(int window, int growing_widget);
// Drops every anchor and the size tracker of a window being destroyed.
void kvn_gui_layout_forget_window(int window);
float kvn_gui_layout_split_get(const char *key, float default_ratio);
void kvn_gui_layout_split_set(const char *key, float ratio);
// Once per drawn frame: anchors follow resized windows, dialogs stay inside
// the display or move to and from native windows, the main geometry is noted.
void kvn_gui_layout_tick(void);
// "Reset layout" of the settings dialog.
void kvn_gui_layout_reset(void);
// The toolkit window shown in the native window an event belongs to, or -1
// when the event is for the main display.
int kvn_gui_layout_window_of_event(const ALLEGRO_EVENT *ev);
// Puts every dialog living in a native window back into the main display.
void kvn_gui_layout_attach_all(void);

// Test hooks: forget everything loaded or registered (as a fresh start
// would), and read a dialog's saved geometry (-1 when the key has none).
void kvn_gui_layout_clear(void);
int kvn_gui_layout_saved_popup(const char *key, float *x, float *y, float *w, float *h);
