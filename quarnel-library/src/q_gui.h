#pragma once
// q_gui: the program's own retained-mode toolkit drawn with Allegro 5.
//
// One context record owns every window and widget. The application keeps
// integer ids and calls the operations below; it feeds every Allegro event to
// q_gui_process_event and draws with q_gui_draw / q_gui_draw_detached.
// Everything here runs on the thread that runs the event loop.
//
// Widget kinds live in files of their own (q_gui_button.cpp, q_gui_label.cpp,
// ...). Each kind fills a Q_GUI_KIND_OPS table with its drawing and event
// handling and points its widgets at it, so the dispatcher never switches on
// the kind.

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <cstdint>

// ---- constants ---------------------------------------------------------------

enum {
    Q_GUI_ZORDER_NORMAL = 0,
    Q_GUI_ZORDER_ALWAYS_ON_TOP = 1,
    Q_GUI_ZORDER_ALWAYS_BEHIND = 2,
    Q_GUI_ZORDER_FIXED = 3,
    Q_GUI_ZORDER_POPUP = 4,
};

// Window flags set by the application.
enum {
    Q_GUI_WIN_SCROLLABLE = 0x10,
    Q_GUI_WIN_RESIZABLE = 0x20,
    Q_GUI_WIN_FIXED = 0x40,
    Q_GUI_WIN_NO_TITLEBAR = 0x80,
    Q_GUI_WIN_MINIMIZE_BTN = 0x100,
    Q_GUI_WIN_MAXIMIZE_BTN = 0x200,
    Q_GUI_WIN_CLOSE_BTN = 0x400,
};

// Window state bits kept by the toolkit. Bits 7-8 hold the number (1..3) of
// the title-bar button under the pointer.
enum {
    Q_GUI_WST_OPEN = 0x01,
    Q_GUI_WST_MINIMIZED = 0x02,
    Q_GUI_WST_MOVING = 0x04,
    Q_GUI_WST_RESIZING = 0x08,
    Q_GUI_WST_VSCROLL_DRAG = 0x10,
    Q_GUI_WST_HSCROLL_DRAG = 0x20,
    Q_GUI_WST_MAXIMIZED = 0x40,
    Q_GUI_WST_TB_HOVER_SHIFT = 7,
    Q_GUI_WST_TB_HOVER_MASK = 0x180,
};

// Widget interaction state bits.
enum {
    Q_GUI_WS_HOVER = 0x01,
    Q_GUI_WS_PRESSED = 0x02,
    Q_GUI_WS_FOCUSED = 0x04,
    Q_GUI_WS_CAPTURE = 0x08,
};

enum {
    Q_GUI_KIND_BUTTON = 1,
    Q_GUI_KIND_SLIDER = 2,
    Q_GUI_KIND_TEXTAREA = 3,
    Q_GUI_KIND_CHECKBOX = 4,
    Q_GUI_KIND_SCROLLBAR = 5,
    Q_GUI_KIND_LISTBOX = 6,
    Q_GUI_KIND_RADIOLIST = 7,
    Q_GUI_KIND_COMBOBOX = 8,
    Q_GUI_KIND_IMAGE = 9,
    Q_GUI_KIND_LABEL = 10,
    Q_GUI_KIND_DROPMENU = 11,
    Q_GUI_KIND_SPLITPANE = 12,
    Q_GUI_KIND_HEXVIEW = 13,
    Q_GUI_KIND_SYNTAXVIEW = 14,
    Q_GUI_KIND_DATAGRID = 15,
    Q_GUI_KIND_PROGRESSBAR = 16,
    Q_GUI_KIND_CUSTOM = 17,
    Q_GUI_KIND_MARKDOWNVIEW = 18,
};

// Detach flags of q_gui_window_detach.
enum {
    Q_GUI_DETACH_RESIZABLE = 0x1,
    Q_GUI_DETACH_FRAMELESS = 0x4,
};

// Modifier mask kept by the context (not read from Allegro).
enum {
    Q_GUI_MOD_LCTRL = 0x01,
    Q_GUI_MOD_RCTRL = 0x02,
    Q_GUI_MOD_LSHIFT = 0x04,
    Q_GUI_MOD_RSHIFT = 0x08,
    Q_GUI_MOD_ALT = 0x10,
    Q_GUI_MOD_ALTGR = 0x20,
};

#define Q_GUI_WIDGET_BUCKETS 256
#define Q_GUI_TAB_MAX 512
#define Q_GUI_TITLE_MAX 128
#define Q_GUI_NATIVE_POS_UNSET ((int)0x80000000)

// ---- theme and style ---------------------------------------------------------

struct Q_GUI_THEME {
    ALLEGRO_COLOR bg_normal, bg_hover, bg_active;
    ALLEGRO_COLOR border_normal, border_hover, border_active;
    ALLEGRO_COLOR text_normal, text_hover, text_active;
    float border_thickness;
    float corner_rx, corner_ry;
    ALLEGRO_COLOR selection_color;
};

// Lengths are pixels of the virtual canvas. The fields mirror the "style"
// object of the theme file one for one.
struct Q_GUI_STYLE {
    float titlebar_h, min_win_w, min_win_h, title_padding, title_max_w_reserve;
    float tb_btn_size, tb_btn_spacing, tb_btn_right_margin, tb_btn_glyph_thickness;
    float scrollbar_size, scrollbar_thumb_min, scrollbar_thumb_padding, scrollbar_thumb_corner_r;
    ALLEGRO_COLOR scrollbar_track_color, scrollbar_thumb_color;
    float global_scrollbar_size, global_scrollbar_thumb_min, global_scrollbar_thumb_padding;
    float global_scrollbar_thumb_corner_r, global_scrollbar_border_thickness;
    ALLEGRO_COLOR global_scrollbar_track_color, global_scrollbar_thumb_color,
        global_scrollbar_thumb_border_color;
    float grip_size, grip_line_thickness;
    ALLEGRO_COLOR grip_color;
    float slider_track_size, slider_track_corner_r, slider_track_border_thickness, slider_handle_min_r;
    float slider_handle_edge_offset, slider_handle_border_thickness, slider_value_label_offset;
    float textarea_padding, textarea_cursor_width, textarea_cursor_blink_period;
    float checkbox_max_size, checkbox_mark_margin, checkbox_mark_thickness, checkbox_label_gap,
        checkbox_label_offset;
    float radio_circle_min_r, radio_circle_border_thickness, radio_inner_offset, radio_label_gap;
    float listbox_default_item_height, radiolist_default_item_height;
    int combobox_max_visible, dropmenu_max_visible, shape_mode;
    float item_text_padding, item_selection_inset, item_height_pad;
    float dropdown_arrow_reserve, dropdown_arrow_thickness, dropdown_arrow_half_h, dropdown_arrow_half_w;
    float dropdown_border_thickness;
    float label_padding, link_underline_thickness;
    ALLEGRO_COLOR link_color_normal, link_color_hover;
    float scroll_step, global_scroll_step, combobox_max_dropdown_width;
    // Tooltips; not part of the theme file.
    float tooltip_delay;
    ALLEGRO_COLOR tooltip_bg, tooltip_border, tooltip_text;
    float tooltip_max_w;
};

// ---- records -----------------------------------------------------------------

struct Q_GUI_CTX;
struct Q_GUI_WINDOW;
struct Q_GUI_WIDGET;

typedef void (*Q_GUI_WINDOW_CB)(int window_id, void *user);
typedef void (*Q_GUI_WINDOW_BTN_CB)(int window_id, void *user, int button, float bx, float by, float bw,
                                    float bh);
typedef void (*Q_GUI_CLICK_CB)(int widget_id, void *user);

// What a widget kind contributes. Hooks may be null. Coordinates handed to the
// hooks are canvas coordinates (the widget's own origin is given separately).
struct Q_GUI_KIND_OPS {
    int kind = 0;
    const char *name = "";
    int click_focus = 0; // a press gives it the keyboard focus
    int tab_focus = 0;   // it is in the Tab order
    void (*draw)(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, Q_GUI_WIDGET *w, float x, float y) = nullptr;
    // Presses, releases and moves that reach the widget; (x, y) is its origin.
    void (*mouse)(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                  float my, float x, float y) = nullptr;
    // A key-char event for the focused widget (or the owner of a text
    // selection); returns 1 when consumed.
    int (*key_char)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) = nullptr;
    // A key-down event offered to every visible, enabled widget of the open
    // windows of the event's display; returns 1 when it acted.
    int (*key_down)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) = nullptr;
    // Whether the focused widget would consume this key.
    int (*takes_key)(const Q_GUI_WIDGET *w, int keycode) = nullptr;
    // Whether a press on it moves a window that has no title bar.
    int (*moves_window)(const Q_GUI_WIDGET *w) = nullptr;
    void (*destroy)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) = nullptr;
    // Wheel over the widget (notches); returns 1 when it scrolled.
    int (*wheel)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float dw) = nullptr;
    // The focused widget asks for Tab itself (completion lists and the like).
    int (*wants_tab)(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) = nullptr;
    // System cursor wanted over the widget at a canvas point, 0 for the
    // application's cursor.
    int (*cursor_at)(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float mx, float my) = nullptr;
    // Focused widgets of this kind keep frames coming (a blinking caret).
    int animates_when_focused = 0;
};

// Layers of the overlays drawn above every window, bottom first. A combobox
// list, a drop-down menu and a text area's suggestions can be open at once,
// one widget per layer.
enum { Q_GUI_LAYER_LIST, Q_GUI_LAYER_MENU, Q_GUI_LAYER_SUGGEST, Q_GUI_OVERLAY_LAYERS };

struct Q_GUI_OVERLAY_OPS; // the overlay's hooks (q_gui_internal.h)

// An open overlay: the widget that holds the layer (-1 none) and its hooks.
struct Q_GUI_OVERLAY {
    int widget;
    const Q_GUI_OVERLAY_OPS *ops;
};

struct Q_GUI_WIDGET {
    int32_t id;
    int32_t kind;
    float x, y, w, h; // relative to the window's content origin
    int state;        // Q_GUI_WS_* bits
    int visible;
    int enabled;
    Q_GUI_THEME theme;
    ALLEGRO_FONT *font;   // none = the context's default font
    void *data;           // per-kind record, owned
    char *tooltip;        // owned, may be absent
    float fx, fy, fw, fh; // rectangle as fractions of the window size
    const Q_GUI_KIND_OPS *ops;
    int window_id;
};

struct Q_GUI_WINDOW {
    int32_t id;
    char title[Q_GUI_TITLE_MAX];
    char caption[Q_GUI_TITLE_MAX];
    int wheel_scrollbar;
    float x, y, w, h;
    float titlebar_h;
    int state; // Q_GUI_WST_* bits
    int flags; // Q_GUI_WIN_* bits
    Q_GUI_WIDGET **widgets;
    int widget_count, widget_cap;
    Q_GUI_THEME theme;
    float min_w, min_h;
    float scroll_y, scroll_x;
    float content_w, content_h;
    ALLEGRO_BITMAP *bg_bitmap;
    int bg_scale_mode;
    ALLEGRO_BITMAP *titlebar_bitmap;
    int z_mode, z_value;
    int autofit, autofit_border;
    float autofit_anchor_x, autofit_anchor_y;
    int resize_policy;
    float nx, ny, nw, nh; // rectangle as fractions of the reference display size
    int tb_pressed;       // title-bar button armed by a press (1..3), 0 none
    float press_x, press_y, press_wx, press_wy, press_ww, press_wh;
    int press_native_x, press_native_y;
    float saved_x, saved_y, saved_w, saved_h; // before maximizing
    Q_GUI_THEME tb_theme, tb_close_theme;
    ALLEGRO_BITMAP *tb_bitmaps[3][3]; // [button-1][normal, hover, active]
    Q_GUI_WINDOW_CB content_draw_cb;
    void *content_draw_user;
    Q_GUI_WINDOW_CB close_cb;
    void *close_user;
    Q_GUI_WINDOW_BTN_CB minimize_cb;
    void *minimize_user;
    Q_GUI_WINDOW_BTN_CB maximize_cb;
    void *maximize_user;
    // Native window state.
    ALLEGRO_DISPLAY *native;
    int detach_flags;
    int wants_native;
    int native_close_pending;
    float det_x, det_y, det_w, det_h;
    int det_flags;
    int native_w, native_h; // remembered size, 0 = none
    int native_x, native_y; // remembered position, Q_GUI_NATIVE_POS_UNSET = none
    int drawing_halted;
};

struct Q_GUI_WIDGET_SLOT {
    char key[16];
    Q_GUI_WIDGET *widget;
    Q_GUI_WIDGET_SLOT *next;
};

struct Q_GUI_CTX {
    // windows, bottom-most first, sorted by layer
    Q_GUI_WINDOW **windows;
    int window_count, window_cap;
    // id -> widget index over the decimal id text
    Q_GUI_WIDGET_SLOT **widgets;
    int next_window_id, next_widget_id;
    ALLEGRO_FONT *default_font;
    Q_GUI_THEME theme;
    int focus;
    // pointer
    int mouse_x, mouse_y;
    int mouse_down, mouse_down_prev;
    // cursor
    int system_cursor;
    int requested_cursor;
    int cursor_pending;
    // double click
    int dc_last_widget;
    double dc_last_time;
    float dc_last_x, dc_last_y;
    int dc_widget;
    double dc_time;
    float dc_radius;
    // tooltip and hover
    int hover_widget;
    double hover_start;
    float hover_x, hover_y;
    int pointer_over_window;
    Q_GUI_OVERLAY overlays[Q_GUI_OVERLAY_LAYERS];
    int capture; // widget that holds the mouse capture, -1
    // display
    float display_w, display_h;
    int display_size_set, display_size_warned;
    float gscroll_x, gscroll_y;
    float content_w, content_h;
    float dpi_scale;
    float virtual_w, virtual_h;
    float virtual_scale;
    float letterbox_x, letterbox_y;
    int gscroll_drag_v, gscroll_drag_h;
    float gscroll_drag_offset;
    int gscroll_show_v, gscroll_show_h;
    Q_GUI_STYLE style;
    ALLEGRO_DISPLAY *display;
    int resize_mode;
    float ref_w, ref_h;
    Q_GUI_THEME tb_theme, tb_close_theme;
    // pending layout (reserved for the toolkit's own layout file)
    void *pending_geom;
    int pending_geom_count;
    void *pending_states;
    int pending_state_count;
    ALLEGRO_EVENT_QUEUE *queue;
    ALLEGRO_DISPLAY *draw_display; // none = main display
    ALLEGRO_DISPLAY *event_display;
    int redraw;
    double redraw_until;
    int mods;
    // A key that fired a button shortcut on key-down; its key-char is not
    // offered to the focused widget so one press never acts twice.
    int shortcut_key;
    // The widget that owns a text selection (labels), -1 none.
    int selection_owner;
};

// ---- context and display -----------------------------------------------------

Q_GUI_CTX *q_gui_new_ctx(ALLEGRO_FONT *font);
void q_gui_destroy_ctx(Q_GUI_CTX **ctx);
int q_gui_set_default_font(Q_GUI_CTX *ctx, ALLEGRO_FONT *font);
void q_gui_set_display(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *display);
void q_gui_set_display_size(Q_GUI_CTX *ctx, float w, float h);
void q_gui_set_virtual_size(Q_GUI_CTX *ctx, float w, float h);
void q_gui_update_transform(Q_GUI_CTX *ctx);
void q_gui_screen_to_virtual(const Q_GUI_CTX *ctx, float x, float y, float *vx, float *vy);
float q_gui_detect_dpi_scale(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *display);
// The rule behind q_gui_detect_dpi_scale, for a display of w x h whose back
// buffer is bw x bh.
float q_gui_dpi_scale_for(float w, float h, float bw, float bh);
void q_gui_set_dpi_scale(Q_GUI_CTX *ctx, float s);
float q_gui_get_dpi_scale(const Q_GUI_CTX *ctx);
void q_gui_set_resize_mode(Q_GUI_CTX *ctx, int mode);
int q_gui_get_resize_mode(const Q_GUI_CTX *ctx);
void q_gui_apply_adaptive_resize(Q_GUI_CTX *ctx, float w, float h);
void q_gui_set_shape_mode(Q_GUI_CTX *ctx, int mode);
void q_gui_set_event_queue(Q_GUI_CTX *ctx, ALLEGRO_EVENT_QUEUE *queue);
ALLEGRO_EVENT_QUEUE *q_gui_get_event_queue(const Q_GUI_CTX *ctx);

Q_GUI_THEME q_gui_default_theme(void);
Q_GUI_THEME q_gui_make_theme(ALLEGRO_COLOR bg_normal, ALLEGRO_COLOR bg_hover, ALLEGRO_COLOR bg_active,
                             ALLEGRO_COLOR border_normal, ALLEGRO_COLOR border_hover,
                             ALLEGRO_COLOR border_active, ALLEGRO_COLOR text_normal, ALLEGRO_COLOR text_hover,
                             ALLEGRO_COLOR text_active, float border_thickness, float corner_rx,
                             float corner_ry);
void q_gui_set_theme(Q_GUI_CTX *ctx, const Q_GUI_THEME *theme);
int q_gui_save_theme_json(const Q_GUI_CTX *ctx, const char *path);
int q_gui_load_theme_json(Q_GUI_CTX *ctx, const char *path);

// ---- events, focus and queries ----------------------------------------------

int q_gui_process_event(Q_GUI_CTX *ctx, const ALLEGRO_EVENT *ev);
// Which source an Allegro event comes from: the keyboard (down, up, char), the
// pointer (moves, wheel, buttons, warps, entering and leaving a display) or a
// display (expose through resume-drawing, connected, disconnected).
int q_gui_is_key_event(const ALLEGRO_EVENT *ev);
int q_gui_is_pointer_event(const ALLEGRO_EVENT *ev);
int q_gui_is_display_event(const ALLEGRO_EVENT *ev);
int q_gui_wants_mouse(const Q_GUI_CTX *ctx);
void q_gui_set_focus(Q_GUI_CTX *ctx, int widget_id);
int q_gui_get_focus(const Q_GUI_CTX *ctx);
void q_gui_focus_window(Q_GUI_CTX *ctx, int window_id);
int q_gui_focus_takes_key(const Q_GUI_CTX *ctx, int keycode);
int q_gui_hovered_widget(const Q_GUI_CTX *ctx);
int q_gui_double_clicked_widget(const Q_GUI_CTX *ctx);
int q_gui_was_double_click(const Q_GUI_CTX *ctx, int widget_id);
void q_gui_set_double_click_time(Q_GUI_CTX *ctx, double seconds);
void q_gui_set_double_click_radius(Q_GUI_CTX *ctx, float px);
int q_gui_menu_is_open(const Q_GUI_CTX *ctx);
void q_gui_close_menus(Q_GUI_CTX *ctx);
// Whether an open pick list, menu or suggestion list takes this key-down
// (Enter or Escape) before any button shortcut or window close sees it.
int q_gui_list_takes_key(const Q_GUI_CTX *ctx, int keycode);
void q_gui_set_cursor(Q_GUI_CTX *ctx, int shape, ALLEGRO_MOUSE_CURSOR *bitmap_cursor);
// The widget whose tooltip the next draw shows, or -1.
int q_gui_tooltip_widget(const Q_GUI_CTX *ctx);

// ---- drawing -----------------------------------------------------------------

void q_gui_request_redraw(Q_GUI_CTX *ctx);
int q_gui_needs_redraw(const Q_GUI_CTX *ctx);
void q_gui_draw(Q_GUI_CTX *ctx);
void q_gui_draw_detached(Q_GUI_CTX *ctx);

// ---- windows -----------------------------------------------------------------

int q_gui_add_window(Q_GUI_CTX *ctx, const char *title, float x, float y, float w, float h);
Q_GUI_WINDOW *q_gui_get_window(const Q_GUI_CTX *ctx, int id);
void q_gui_open_window(Q_GUI_CTX *ctx, int id);
void q_gui_close_window(Q_GUI_CTX *ctx, int id);
int q_gui_window_is_open(const Q_GUI_CTX *ctx, int id);
void q_gui_toggle_window(Q_GUI_CTX *ctx, int id);
int q_gui_window_is_minimized(const Q_GUI_CTX *ctx, int id);
void q_gui_window_set_minimized(Q_GUI_CTX *ctx, int id, int flag);
void q_gui_window_set_flags(Q_GUI_CTX *ctx, int id, int flags);
int q_gui_window_get_flags(const Q_GUI_CTX *ctx, int id);
void q_gui_window_set_caption(Q_GUI_CTX *ctx, int id, const char *text);
void q_gui_window_set_rect(Q_GUI_CTX *ctx, int id, float x, float y, float w, float h);
void q_gui_window_set_rect_axes(Q_GUI_CTX *ctx, int id, float x, float y, float w, float h, int scale_x,
                                int scale_y);
void q_gui_window_set_resize_policy(Q_GUI_CTX *ctx, int id, int policy);
int q_gui_window_get_resize_policy(const Q_GUI_CTX *ctx, int id);
void q_gui_window_update_normalized(Q_GUI_CTX *ctx, int id);
void q_gui_window_set_zorder(Q_GUI_CTX *ctx, int id, int mode, int value);
int q_gui_window_get_zorder(const Q_GUI_CTX *ctx, int id);
int q_gui_window_get_zvalue(const Q_GUI_CTX *ctx, int id);
void q_gui_raise_window(Q_GUI_CTX *ctx, int id);
void q_gui_lower_window(Q_GUI_CTX *ctx, int id);
int q_gui_get_topmost_open_window(const Q_GUI_CTX *ctx);
void q_gui_maximize_window(Q_GUI_CTX *ctx, int id);
int q_gui_window_is_maximised(const Q_GUI_CTX *ctx, int id);
void q_gui_window_set_autofit(Q_GUI_CTX *ctx, int id, int flags, int border);
void q_gui_window_apply_autofit(Q_GUI_CTX *ctx, int id);
void q_gui_window_autosize(Q_GUI_CTX *ctx, int id);
void q_gui_window_set_wheel_scrollbar(Q_GUI_CTX *ctx, int id, int scrollbar_id);
void q_gui_window_set_close_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_CB cb, void *user);
void q_gui_window_set_content_draw_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_CB cb, void *user);
void q_gui_window_set_minimize_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_BTN_CB cb, void *user);
void q_gui_window_set_maximize_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_BTN_CB cb, void *user);
void q_gui_window_set_tb_btn_theme(Q_GUI_CTX *ctx, int id, const Q_GUI_THEME *theme);
void q_gui_window_set_tb_close_theme(Q_GUI_CTX *ctx, int id, const Q_GUI_THEME *theme);
void q_gui_window_set_tb_button_bitmaps(Q_GUI_CTX *ctx, int id, int button, ALLEGRO_BITMAP *normal,
                                        ALLEGRO_BITMAP *hover, ALLEGRO_BITMAP *active);
void q_gui_window_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *body, ALLEGRO_BITMAP *titlebar,
                              int scale_mode);
int q_gui_window_button_rect(const Q_GUI_CTX *ctx, int id, int button, float *x, float *y, float *w,
                             float *h);
int q_gui_window_find_button(const Q_GUI_CTX *ctx, int id, const char *label);
// Current scroll offsets of a window's content.
void q_gui_window_set_scroll(Q_GUI_CTX *ctx, int id, float sx, float sy);

int q_gui_window_detach(Q_GUI_CTX *ctx, int id, int flags);
int q_gui_window_attach(Q_GUI_CTX *ctx, int id);
int q_gui_window_is_detached(const Q_GUI_CTX *ctx, int id);
ALLEGRO_DISPLAY *q_gui_window_get_display(const Q_GUI_CTX *ctx, int id);
int q_gui_window_from_display(const Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *display);
int q_gui_count_detached(const Q_GUI_CTX *ctx);
int q_gui_window_native_is_hidden(const Q_GUI_CTX *ctx, int id);
int q_gui_window_set_native_icons(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP **bitmaps, int count);

// ---- widgets: common operations ---------------------------------------------

Q_GUI_WIDGET *q_gui_get_widget(const Q_GUI_CTX *ctx, int id);
void q_gui_widget_set_rect(Q_GUI_CTX *ctx, int id, float x, float y, float w, float h);
int q_gui_widget_screen_rect(const Q_GUI_CTX *ctx, int id, float *x, float *y, float *w, float *h);
void q_gui_widget_set_visible(Q_GUI_CTX *ctx, int id, int flag);
int q_gui_widget_is_visible(const Q_GUI_CTX *ctx, int id);
void q_gui_widget_set_enabled(Q_GUI_CTX *ctx, int id, int flag);
int q_gui_widget_is_enabled(const Q_GUI_CTX *ctx, int id);
void q_gui_widget_set_tooltip(Q_GUI_CTX *ctx, int id, const char *text);
void q_gui_widget_set_theme(Q_GUI_CTX *ctx, int id, const Q_GUI_THEME *theme);
void q_gui_widget_set_font(Q_GUI_CTX *ctx, int id, ALLEGRO_FONT *font);

// ---- button ------------------------------------------------------------------

#define Q_GUI_BUTTON_LABEL_MAX 128
#define Q_GUI_BUTTON_SCOPE_MAX 8
#define Q_GUI_BUTTON_SHAPE_BITMAP 2

int q_gui_add_button(Q_GUI_CTX *ctx, int window, const char *label, float x, float y, float w, float h,
                     int shape, Q_GUI_CLICK_CB on_click, void *user);
void q_gui_button_set_label(Q_GUI_CTX *ctx, int id, const char *label);
const char *q_gui_button_get_label(const Q_GUI_CTX *ctx, int id);
void q_gui_button_set_keycode(Q_GUI_CTX *ctx, int id, int keycode, int mods);
void q_gui_button_set_keycode_scoped(Q_GUI_CTX *ctx, int id, int keycode, int mods, const int *scope,
                                     int count);
void q_gui_button_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *normal, ALLEGRO_BITMAP *hover,
                              ALLEGRO_BITMAP *active);
void q_gui_button_set_toggle(Q_GUI_CTX *ctx, int id, int flag);
void q_gui_button_set_toggled(Q_GUI_CTX *ctx, int id, int flag);
int q_gui_button_is_toggled(const Q_GUI_CTX *ctx, int id);

// ---- label -------------------------------------------------------------------

#define Q_GUI_LABEL_TEXT_MAX 4096

typedef void (*Q_GUI_LINK_CB)(int widget_id, const char *link, void *user);

int q_gui_add_label(Q_GUI_CTX *ctx, int window, const char *text, float x, float y, float w, float h,
                    int align);
void q_gui_label_set_text(Q_GUI_CTX *ctx, int id, const char *text);
const char *q_gui_label_get_text(const Q_GUI_CTX *ctx, int id);
int q_gui_label_fits(Q_GUI_CTX *ctx, int id, float *needed_w, float *needed_h);
// A null target removes the link.
void q_gui_label_set_link(Q_GUI_CTX *ctx, int id, const char *target, Q_GUI_LINK_CB cb, void *user);
void q_gui_label_set_bitmap(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap);
// The selected part of the label's text (empty when nothing is selected).
int q_gui_label_get_selection(const Q_GUI_CTX *ctx, int id, int *start, int *end);

// ---- custom (application-drawn) ---------------------------------------------

typedef void (*Q_GUI_CUSTOM_DRAW_CB)(int widget_id, float x, float y, float w, float h, void *user);
// kind: the Allegro event type (press, release, axes); (x, y) in display
// coordinates of the canvas.
typedef void (*Q_GUI_CUSTOM_MOUSE_CB)(int widget_id, const ALLEGRO_EVENT *ev, float x, float y, void *user);
typedef void (*Q_GUI_CUSTOM_DESTROY_CB)(int widget_id, void *user);
// Wheel notches over the widget, (x, y) the pointer in display coordinates;
// returns 1 when it used them (else they scroll the window as usual).
typedef int (*Q_GUI_CUSTOM_WHEEL_CB)(int widget_id, float dz, float dw, float x, float y, void *user);

int q_gui_add_custom(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                     Q_GUI_CUSTOM_DRAW_CB on_draw, void *user);
void q_gui_custom_set_mouse(Q_GUI_CTX *ctx, int id, Q_GUI_CUSTOM_MOUSE_CB cb, void *user);
void q_gui_custom_set_destroy(Q_GUI_CTX *ctx, int id, Q_GUI_CUSTOM_DESTROY_CB cb, void *user);
void q_gui_custom_set_wheel(Q_GUI_CTX *ctx, int id, Q_GUI_CUSTOM_WHEEL_CB cb, void *user);

// ---- items shared by lists ---------------------------------------------------

#define Q_GUI_ITEM_TEXT_MAX 128

struct Q_GUI_LISTITEM {
    char text[Q_GUI_ITEM_TEXT_MAX];
    int selected;
    // Tree rows: indentation level and the fold mark (0 none, 1 folded, 2
    // unfolded). Plain lists leave both 0.
    int indent;
    int mark;
};

typedef void (*Q_GUI_VALUE_CB)(int widget_id, double value, void *user);
typedef void (*Q_GUI_TEXT_CB)(int widget_id, const char *text, void *user);
typedef void (*Q_GUI_INDEX_CB)(int widget_id, int index, void *user);

// ---- slider ------------------------------------------------------------------

int q_gui_add_slider(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, double min, double max,
                     double value, int mode, Q_GUI_VALUE_CB on_change, void *user);
void q_gui_slider_set_value(Q_GUI_CTX *ctx, int id, double value);
double q_gui_slider_get_value(const Q_GUI_CTX *ctx, int id);
void q_gui_slider_set_range(Q_GUI_CTX *ctx, int id, double min, double max);
void q_gui_slider_set_step(Q_GUI_CTX *ctx, int id, double step);
void q_gui_slider_set_orientation(Q_GUI_CTX *ctx, int id, int vertical);
void q_gui_slider_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *track, ALLEGRO_BITMAP *handle);

// ---- text area ---------------------------------------------------------------

#define Q_GUI_TEXTAREA_DEFAULT_MAX 4095
#define Q_GUI_SUGGEST_MAX 64
#define Q_GUI_SUGGEST_WORD_MAX 128
#define Q_GUI_PASTE_MAX 4095

// Fills up to max_items items with completions of a word; returns how many.
typedef int (*Q_GUI_SUGGEST_CB)(const char *word, Q_GUI_LISTITEM *items, int max_items, void *user);

int q_gui_add_textarea(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int multiline,
                       int max_len, Q_GUI_TEXT_CB on_change, void *user);
void q_gui_textarea_set_text(Q_GUI_CTX *ctx, int id, const char *text);
const char *q_gui_textarea_get_text(const Q_GUI_CTX *ctx, int id);
void q_gui_textarea_set_placeholder(Q_GUI_CTX *ctx, int id, const char *text);
void q_gui_textarea_set_mask_char(Q_GUI_CTX *ctx, int id, int codepoint);
void q_gui_textarea_set_suggest(Q_GUI_CTX *ctx, int id, Q_GUI_SUGGEST_CB provider, const char *separators,
                                void *user);
void q_gui_textarea_set_bitmap(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap);
// Caret and selection (byte offsets); for tests and dialogs that preselect.
int q_gui_textarea_get_caret(const Q_GUI_CTX *ctx, int id);
void q_gui_textarea_set_selection(Q_GUI_CTX *ctx, int id, int anchor, int end);
int q_gui_textarea_get_selection(const Q_GUI_CTX *ctx, int id, int *start, int *end);
// Suggestion list state: open flag, item count and highlighted item.
int q_gui_textarea_suggest_state(const Q_GUI_CTX *ctx, int id, int *count, int *highlight);

// ---- checkbox ----------------------------------------------------------------

int q_gui_add_checkbox(Q_GUI_CTX *ctx, int window, const char *label, float x, float y, float w, float h,
                       int checked, Q_GUI_INDEX_CB on_toggle, void *user);
void q_gui_checkbox_set_checked(Q_GUI_CTX *ctx, int id, int flag);
int q_gui_checkbox_is_checked(const Q_GUI_CTX *ctx, int id);
void q_gui_checkbox_set_label(Q_GUI_CTX *ctx, int id, const char *label);
const char *q_gui_checkbox_get_label(const Q_GUI_CTX *ctx, int id);
void q_gui_checkbox_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *unchecked, ALLEGRO_BITMAP *checked);

// ---- scrollbar ---------------------------------------------------------------

int q_gui_add_scrollbar(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int orientation,
                        int shape, double content, double viewport, Q_GUI_VALUE_CB on_change, void *user);
void q_gui_scrollbar_set_position(Q_GUI_CTX *ctx, int id, double position);
double q_gui_scrollbar_get_position(const Q_GUI_CTX *ctx, int id);
void q_gui_scrollbar_set_range(Q_GUI_CTX *ctx, int id, double content, double viewport);
void q_gui_scrollbar_set_step(Q_GUI_CTX *ctx, int id, double step);
void q_gui_scrollbar_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *track, ALLEGRO_BITMAP *thumb);

// ---- listbox -----------------------------------------------------------------

typedef void (*Q_GUI_LIST_SELECT_CB)(int widget_id, int index, int selected, void *user);
// A key offered to a list's owner with the row under the keyboard cursor;
// returns 1 when it acted on it.
typedef int (*Q_GUI_LIST_KEY_CB)(int widget_id, int index, int keycode, void *user);

int q_gui_add_listbox(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int mode,
                      Q_GUI_LIST_SELECT_CB on_select, void *user);
int q_gui_listbox_add_item(Q_GUI_CTX *ctx, int id, const char *text);
void q_gui_listbox_clear(Q_GUI_CTX *ctx, int id);
void q_gui_listbox_set_selected(Q_GUI_CTX *ctx, int id, int index, int flag);
int q_gui_listbox_is_selected(const Q_GUI_CTX *ctx, int id, int index);
int q_gui_listbox_count(const Q_GUI_CTX *ctx, int id);
const char *q_gui_listbox_get_item_text(const Q_GUI_CTX *ctx, int id, int index);
// First selected index, -1 none.
int q_gui_listbox_get_selected(const Q_GUI_CTX *ctx, int id);
float q_gui_listbox_get_scroll(const Q_GUI_CTX *ctx, int id);
void q_gui_listbox_set_scroll(Q_GUI_CTX *ctx, int id, float scroll);
void q_gui_listbox_scroll_to(Q_GUI_CTX *ctx, int id, int index);
void q_gui_listbox_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *background, ALLEGRO_BITMAP *selection);
// For a single-selection list whose selection opens something (a tree of
// views): the arrow keys, Page Up/Down, Home and End then move the selection
// without calling the select callback, so passing over a row opens nothing,
// and Enter, Left and Right are offered to `on_key` first.
void q_gui_listbox_set_key_callback(Q_GUI_CTX *ctx, int id, Q_GUI_LIST_KEY_CB on_key, void *user);
// Indentation and fold mark of an item (trees).
void q_gui_listbox_set_item_indent(Q_GUI_CTX *ctx, int id, int index, int indent, int mark);

// ---- radio list ----------------------------------------------------------------

int q_gui_add_radiolist(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_INDEX_CB cb,
                        void *user);
int q_gui_radiolist_add_item(Q_GUI_CTX *ctx, int id, const char *text);
void q_gui_radiolist_clear(Q_GUI_CTX *ctx, int id);
int q_gui_radiolist_get_selected(const Q_GUI_CTX *ctx, int id);
void q_gui_radiolist_set_selected(Q_GUI_CTX *ctx, int id, int index);
void q_gui_radiolist_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *off, ALLEGRO_BITMAP *on);

// ---- combobox ------------------------------------------------------------------

enum {
    Q_GUI_COMBOBOX_OPEN_ABOVE = 2, // open above whenever there is room
};

int q_gui_add_combobox(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_INDEX_CB cb,
                       void *user);
int q_gui_combobox_add_item(Q_GUI_CTX *ctx, int id, const char *text);
void q_gui_combobox_clear(Q_GUI_CTX *ctx, int id);
void q_gui_combobox_set_selected(Q_GUI_CTX *ctx, int id, int index);
int q_gui_combobox_get_selected(const Q_GUI_CTX *ctx, int id);
const char *q_gui_combobox_get_item_text(const Q_GUI_CTX *ctx, int id, int index);
int q_gui_combobox_count(const Q_GUI_CTX *ctx, int id);
void q_gui_combobox_set_flags(Q_GUI_CTX *ctx, int id, int flags);
void q_gui_combobox_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *box, ALLEGRO_BITMAP *list);
void q_gui_combobox_set_open(Q_GUI_CTX *ctx, int id, int flag);
// Rectangle of the open list (canvas coordinates); 0 when it is closed.
int q_gui_combobox_list_rect(const Q_GUI_CTX *ctx, int id, float *x, float *y, float *w, float *h);

// ---- image ---------------------------------------------------------------------

int q_gui_add_image(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, ALLEGRO_BITMAP *bitmap,
                    int scale_mode);
void q_gui_image_set_bitmap(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap, int scale_mode);

// ---- drop-down menu ------------------------------------------------------------

typedef void (*Q_GUI_DROPMENU_CB)(int widget_id, int entry, int tag, void *user);

int q_gui_add_dropmenu(Q_GUI_CTX *ctx, int window, const char *label, float x, float y, float w, float h,
                       Q_GUI_CLICK_CB on_open, void *user);
int q_gui_dropmenu_add_dynamic_entry(Q_GUI_CTX *ctx, int id, const char *text, int tag, Q_GUI_DROPMENU_CB cb,
                                     void *user);
void q_gui_dropmenu_clear(Q_GUI_CTX *ctx, int id);
int q_gui_dropmenu_count(const Q_GUI_CTX *ctx, int id);
void q_gui_dropmenu_set_open(Q_GUI_CTX *ctx, int id, int flag);
int q_gui_dropmenu_is_open(const Q_GUI_CTX *ctx, int id);
void q_gui_dropmenu_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *button, ALLEGRO_BITMAP *list);

// ---- split pane ----------------------------------------------------------------

int q_gui_add_splitpane(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int orientation,
                        double ratio, Q_GUI_VALUE_CB on_change, void *user);
double q_gui_splitpane_get_ratio(const Q_GUI_CTX *ctx, int id);
void q_gui_splitpane_set_ratio(Q_GUI_CTX *ctx, int id, double ratio);
void q_gui_splitpane_set_limits(Q_GUI_CTX *ctx, int id, double min, double max);
float q_gui_splitpane_band(const Q_GUI_CTX *ctx, int id);

// ---- hex view --------------------------------------------------------------------

int q_gui_add_hexview(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h);
void q_gui_hexview_set_data(Q_GUI_CTX *ctx, int id, const void *bytes, size_t size);
size_t q_gui_hexview_get_cursor(const Q_GUI_CTX *ctx, int id);

// ---- syntax view -----------------------------------------------------------------

enum {
    Q_GUI_SYNTAX_PLAIN = 0,
    Q_GUI_SYNTAX_HEADERS = 1,
    Q_GUI_SYNTAX_JSON = 2,
    Q_GUI_SYNTAX_XML = 3,
    Q_GUI_SYNTAX_YAML = 4,
    Q_GUI_SYNTAX_SCRIPT = 5,
    Q_GUI_SYNTAX_DIFF = 6,
};

int q_gui_add_syntaxview(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int language);
void q_gui_syntaxview_set_text(Q_GUI_CTX *ctx, int id, const char *text);
const char *q_gui_syntaxview_get_text(const Q_GUI_CTX *ctx, int id);
void q_gui_syntaxview_set_language(Q_GUI_CTX *ctx, int id, int language);
int q_gui_syntaxview_get_language(const Q_GUI_CTX *ctx, int id);
// Owned copy (free with free()), or null when nothing is selected.
char *q_gui_syntaxview_get_selected_text(const Q_GUI_CTX *ctx, int id);
// Token colour classes of one line, for tests: one class per byte.
enum {
    Q_GUI_TOK_TEXT = 0,
    Q_GUI_TOK_KEY,
    Q_GUI_TOK_STRING,
    Q_GUI_TOK_NUMBER,
    Q_GUI_TOK_LITERAL,
    Q_GUI_TOK_PUNCT,
    Q_GUI_TOK_COMMENT,
    Q_GUI_TOK_TAG,
    Q_GUI_TOK_ATTR,
    Q_GUI_TOK_REGEX,
    Q_GUI_TOK_KEYWORD,
    Q_GUI_TOK_DIFF_HUNK,
    Q_GUI_TOK_DIFF_ADD,
    Q_GUI_TOK_DIFF_DEL,
};
void q_gui_syntax_classify(int language, const char *line, int len, int *state, unsigned char *classes);

// ---- data grid -------------------------------------------------------------------

typedef void (*Q_GUI_GRID_CONTEXT_CB)(int widget_id, int row, float x, float y, void *user);

int q_gui_add_datagrid(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                       Q_GUI_INDEX_CB on_select, void *user);
int q_gui_datagrid_add_column(Q_GUI_CTX *ctx, int id, const char *title, float width);
int q_gui_datagrid_column_count(const Q_GUI_CTX *ctx, int id);
int q_gui_datagrid_add_row(Q_GUI_CTX *ctx, int id, const char *const *cells);
int q_gui_datagrid_remove_row(Q_GUI_CTX *ctx, int id, int row);
const char *q_gui_datagrid_get_cell(const Q_GUI_CTX *ctx, int id, int row, int col);
void q_gui_datagrid_clear(Q_GUI_CTX *ctx, int id);
int q_gui_datagrid_row_count(const Q_GUI_CTX *ctx, int id);
int q_gui_datagrid_get_selected_row(const Q_GUI_CTX *ctx, int id);
void q_gui_datagrid_set_selected_row(Q_GUI_CTX *ctx, int id, int row);
void q_gui_datagrid_set_multi_select(Q_GUI_CTX *ctx, int id, int flag);
int q_gui_datagrid_get_selected_rows(const Q_GUI_CTX *ctx, int id, int *out, int capacity);
void q_gui_datagrid_select_row(Q_GUI_CTX *ctx, int id, int row, int flag);
void q_gui_datagrid_clear_selection(Q_GUI_CTX *ctx, int id);
void q_gui_datagrid_sort(Q_GUI_CTX *ctx, int id, int col, int direction);
void q_gui_datagrid_get_sort(const Q_GUI_CTX *ctx, int id, int *col, int *direction);
void q_gui_datagrid_set_row_color(Q_GUI_CTX *ctx, int id, int row, ALLEGRO_COLOR color);
int q_gui_datagrid_get_row_color(const Q_GUI_CTX *ctx, int id, int row, ALLEGRO_COLOR *color);
void q_gui_datagrid_set_context_callback(Q_GUI_CTX *ctx, int id, Q_GUI_GRID_CONTEXT_CB cb, void *user);
void q_gui_datagrid_scroll_to_row(Q_GUI_CTX *ctx, int id, int row);
int q_gui_datagrid_get_first_row(const Q_GUI_CTX *ctx, int id);
void q_gui_datagrid_set_column_width(Q_GUI_CTX *ctx, int id, int col, float width);
float q_gui_datagrid_get_column_width(const Q_GUI_CTX *ctx, int id, int col);
void q_gui_datagrid_set_column_visible(Q_GUI_CTX *ctx, int id, int col, int flag);
int q_gui_datagrid_get_column_visible(const Q_GUI_CTX *ctx, int id, int col);
// Moves column col to display position pos.
void q_gui_datagrid_move_column(Q_GUI_CTX *ctx, int id, int col, int pos);
int q_gui_datagrid_column_at(const Q_GUI_CTX *ctx, int id, int pos);
void q_gui_datagrid_set_hscroll(Q_GUI_CTX *ctx, int id, float offset);
float q_gui_datagrid_get_hscroll(const Q_GUI_CTX *ctx, int id);
// Height of the header and of each row.
float q_gui_datagrid_row_height(const Q_GUI_CTX *ctx, int id);

// ---- progress bar ------------------------------------------------------------------

int q_gui_add_progressbar(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h);
void q_gui_progressbar_set_value(Q_GUI_CTX *ctx, int id, double value);
double q_gui_progressbar_get_value(const Q_GUI_CTX *ctx, int id);
void q_gui_progressbar_set_text(Q_GUI_CTX *ctx, int id, const char *text);

// ---- markdown view -------------------------------------------------------------------

int q_gui_add_markdownview(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                           ALLEGRO_FONT *const fonts[4]);
void q_gui_markdownview_set_text(Q_GUI_CTX *ctx, int id, const char *text);
void q_gui_markdownview_set_fonts(Q_GUI_CTX *ctx, int id, ALLEGRO_FONT *const fonts[4]);
// Owned copy of the selected text (free with free()), or null.
char *q_gui_markdownview_get_selection(const Q_GUI_CTX *ctx, int id);

// ---- composites ----------------------------------------------------------------------

#define Q_GUI_TREE_MAX 2048
#define Q_GUI_TREE_PATH_MAX 1024
#define Q_GUI_TREE_STATE_MAX 512

typedef void (*Q_GUI_TREE_CB)(int node, void *user);

struct Q_GUI_TREE_NODE {
    char label[Q_GUI_ITEM_TEXT_MAX];
    int parent; // -1 top level
    int expanded;
    int has_children;
    int depth;
    void *user;
};

struct Q_GUI_TREE {
    Q_GUI_CTX *ctx;
    int listbox; // widget id
    Q_GUI_TREE_NODE *nodes;
    int count;
    int *row_node; // listbox row -> node
    int row_count;
    int selected; // node, -1
    Q_GUI_TREE_CB on_select;
    void *user;
};

struct Q_GUI_TREE_STATE {
    char (*expanded)[Q_GUI_TREE_PATH_MAX];
    int expanded_count;
    char selected[Q_GUI_TREE_PATH_MAX];
    float scroll;
};

Q_GUI_TREE *q_gui_tree_create(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                              Q_GUI_TREE_CB on_select, void *user);
void q_gui_tree_destroy(Q_GUI_TREE **tree);
int q_gui_tree_add_node(Q_GUI_TREE *tree, const char *label, int parent, void *user);
void q_gui_tree_clear(Q_GUI_TREE *tree);
int q_gui_tree_find(const Q_GUI_TREE *tree, const void *user);
int q_gui_tree_get_selected(const Q_GUI_TREE *tree);
void q_gui_tree_select(Q_GUI_TREE *tree, int index);
void q_gui_tree_expand(Q_GUI_TREE *tree, int index, int flag);
void q_gui_tree_rebuild(Q_GUI_TREE *tree);
Q_GUI_TREE_STATE *q_gui_tree_save_state(const Q_GUI_TREE *tree);
void q_gui_tree_restore_state(Q_GUI_TREE *tree, const Q_GUI_TREE_STATE *state);
void q_gui_tree_free_state(Q_GUI_TREE_STATE **state);

#define Q_GUI_TAB_PAGES_MAX 32

struct Q_GUI_TAB_PAGE {
    int button;   // tab button widget
    int *members; // widget ids shown with the page
    int count, cap;
};

struct Q_GUI_TAB_PANEL {
    Q_GUI_CTX *ctx;
    int window;
    float x, y, w, h, tab_h;
    Q_GUI_TAB_PAGE pages[Q_GUI_TAB_PAGES_MAX];
    int page_count;
    int current;              // -1
    int frame;                // custom widget drawing the page area
    Q_GUI_INDEX_CB on_change; // (button id of the page, page index, user)
    void *user;
};

Q_GUI_TAB_PANEL *q_gui_tab_create(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h);
void q_gui_tab_destroy(Q_GUI_TAB_PANEL **tab);
int q_gui_tab_add_page(Q_GUI_TAB_PANEL *tab, const char *title);
int q_gui_tab_add_widget(Q_GUI_TAB_PANEL *tab, int page, int widget_id);
void q_gui_tab_select(Q_GUI_TAB_PANEL *tab, int page);
int q_gui_tab_get_selected(const Q_GUI_TAB_PANEL *tab);
void q_gui_tab_set_callback(Q_GUI_TAB_PANEL *tab, Q_GUI_INDEX_CB cb, void *user);
// Top of the page area (content coordinates) below the tab buttons.
float q_gui_tab_page_top(const Q_GUI_TAB_PANEL *tab);

struct Q_GUI_KVTABLE {
    Q_GUI_CTX *ctx;
    int grid, key_field, value_field, desc_field, add_button, remove_button;
    Q_GUI_CLICK_CB on_change; // (grid id, user) after a row is added or removed
    void *user;
};

Q_GUI_KVTABLE *q_gui_kvtable_create(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                                    const char *key_title);
void q_gui_kvtable_destroy(Q_GUI_KVTABLE **kv);
int q_gui_kvtable_add(Q_GUI_KVTABLE *kv, const char *key, const char *value, const char *description);
int q_gui_kvtable_count(const Q_GUI_KVTABLE *kv);
const char *q_gui_kvtable_get(const Q_GUI_KVTABLE *kv, int row, int col);
void q_gui_kvtable_set_callback(Q_GUI_KVTABLE *kv, Q_GUI_CLICK_CB cb, void *user);

#define Q_GUI_SECTIONS_MAX 32

struct Q_GUI_SECTION {
    char title[Q_GUI_ITEM_TEXT_MAX];
    int header; // toggle button
    int *members;
    float *member_dy; // member's offset below the header
    int count, capacity;
    int folded;
    float body_h;
};

struct Q_GUI_SECTIONLIST {
    Q_GUI_CTX *ctx;
    int window;
    float x, y, w, header_h;
    Q_GUI_SECTION sections[Q_GUI_SECTIONS_MAX];
    int section_count;
};

Q_GUI_SECTIONLIST *q_gui_sectionlist_create(Q_GUI_CTX *ctx, int window, float x, float y, float w);
void q_gui_sectionlist_destroy(Q_GUI_SECTIONLIST **sl);
// capacity: the most members the section takes.
int q_gui_sectionlist_add_section(Q_GUI_SECTIONLIST *sl, const char *title, int capacity);
// The widget keeps its x and height; its y is taken as an offset below the
// section header. Returns 0, or -1 when refused.
int q_gui_sectionlist_add_widget(Q_GUI_SECTIONLIST *sl, int section, int widget_id);
void q_gui_sectionlist_set_folded(Q_GUI_SECTIONLIST *sl, int section, int flag);
int q_gui_sectionlist_is_folded(const Q_GUI_SECTIONLIST *sl, int section);
// Total height the sections take now.
float q_gui_sectionlist_height(const Q_GUI_SECTIONLIST *sl);
