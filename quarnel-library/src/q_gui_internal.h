#pragma once
// What the toolkit's own files share with each other: the widget creation step
// every kind uses, geometry helpers, and the window functions the dispatcher
// and the draw pass call. Not for the application.

#include "q_gui.h"

// ---- per-kind records --------------------------------------------------------

// What each kind keeps behind widget->data. Only the kind's own file and the
// composites built on it look inside.

struct Q_GUI_BUTTON_DATA {
    static constexpr int kind = Q_GUI_KIND_BUTTON;
    char label[Q_GUI_BUTTON_LABEL_MAX];
    ALLEGRO_BITMAP *bmp_normal, *bmp_hover, *bmp_active;
    int shape;
    int toggle_mode;
    int toggled;
    int keycode;
    int key_mods;
    int scoped;
    int scope[Q_GUI_BUTTON_SCOPE_MAX]; // -1 ends the list
    double flash_until;
    Q_GUI_CLICK_CB on_click;
    void *user;
};

struct Q_GUI_LABEL_DATA {
    static constexpr int kind = Q_GUI_KIND_LABEL;
    char text[Q_GUI_LABEL_TEXT_MAX];
    int align;  // 0 left, 1 centred, 2 right, 3 wrapped paragraph
    char *link; // owned, may be absent
    Q_GUI_LINK_CB on_link;
    void *link_user;
    int sel_start, sel_end; // byte offsets, -1 = none
    int selecting;
    ALLEGRO_BITMAP *bitmap;
};

struct Q_GUI_CUSTOM_DATA {
    static constexpr int kind = Q_GUI_KIND_CUSTOM;
    Q_GUI_CUSTOM_DRAW_CB on_draw;
    void *draw_user;
    Q_GUI_CUSTOM_MOUSE_CB on_mouse;
    void *mouse_user;
    Q_GUI_CUSTOM_DESTROY_CB on_destroy;
    void *destroy_user;
    Q_GUI_CUSTOM_WHEEL_CB on_wheel;
    void *wheel_user;
};

struct Q_GUI_SLIDER_DATA {
    static constexpr int kind = Q_GUI_KIND_SLIDER;
    double min, max, value, step;
    int mode;        // 1: a percentage slider, range forced to 0..100
    int orientation; // 1 vertical, 0 horizontal
    Q_GUI_VALUE_CB on_change;
    void *user;
    ALLEGRO_BITMAP *bmp_track, *bmp_handle;
};

struct Q_GUI_TEXTAREA_DATA {
    static constexpr int kind = Q_GUI_KIND_TEXTAREA;
    char *buf; // max_len + 1 bytes
    int len, max_len;
    int multiline;
    int caret;               // byte offset
    int sel_anchor, sel_end; // a selection exists when they differ
    float scroll_x, scroll_y;
    double blink_start;
    int mask_char; // code point, 0 = none
    char *placeholder;
    Q_GUI_TEXT_CB on_change;
    void *user;
    Q_GUI_SUGGEST_CB suggest;
    char separators[8];
    void *suggest_user;
    Q_GUI_LISTITEM *sugg; // Q_GUI_SUGGEST_MAX, allocated on first use
    int sugg_count;
    int sugg_hl;
    int sugg_open;
    char sugg_word[Q_GUI_SUGGEST_WORD_MAX];
    ALLEGRO_BITMAP *bitmap;
    int selecting;
};

struct Q_GUI_CHECKBOX_DATA {
    static constexpr int kind = Q_GUI_KIND_CHECKBOX;
    char label[Q_GUI_ITEM_TEXT_MAX];
    int checked;
    Q_GUI_INDEX_CB on_toggle; // (widget id, new state, user)
    void *user;
    ALLEGRO_BITMAP *bmp_off, *bmp_on;
};

struct Q_GUI_SCROLLBAR_DATA {
    static constexpr int kind = Q_GUI_KIND_SCROLLBAR;
    int orientation; // 1 horizontal, else vertical
    int shape;       // 1 rounded thumb, else square
    double content, viewport, position, step;
    Q_GUI_VALUE_CB on_change;
    void *user;
    float grab; // where the thumb was grabbed, -1 = paging
    ALLEGRO_BITMAP *bmp_track, *bmp_thumb;
};

struct Q_GUI_LISTBOX_DATA {
    static constexpr int kind = Q_GUI_KIND_LISTBOX;
    Q_GUI_LISTITEM *items;
    int count, cap;
    int mode;     // 0 clicks select nothing, 1 single, 2 multiple
    float scroll; // pixels
    float item_h;
    Q_GUI_LIST_SELECT_CB on_select;
    void *user;
    // Set by lists whose selection opens something: the arrow keys then move
    // the selection quietly and Enter, Left and Right go here.
    Q_GUI_LIST_KEY_CB on_key;
    void *key_user;
    int hovered; // -1
    int cursor;  // keyboard position, -1
    float drag_offset;
    int dragging_strip;
    ALLEGRO_BITMAP *bmp_bg, *bmp_sel;
};

struct Q_GUI_RADIOLIST_DATA {
    static constexpr int kind = Q_GUI_KIND_RADIOLIST;
    Q_GUI_LISTITEM *items;
    int count, cap;
    int selected; // -1
    float item_h;
    Q_GUI_INDEX_CB on_select;
    void *user;
    ALLEGRO_BITMAP *bmp_off, *bmp_on;
};

struct Q_GUI_DROP_KIND;

// What the combobox and the drop-down menu share: a box that opens a list
// drawn above every window. It is the first member of both records, so the
// shared code reaches it through widget->data.
struct Q_GUI_DROP {
    const Q_GUI_DROP_KIND *kind;
    int count; // items
    int open;
    int highlight; // -1
    int first;     // first row shown in the open list
    float row_h;
    int visible_rows;
    ALLEGRO_BITMAP *bmp_box, *bmp_list;
};

struct Q_GUI_COMBOBOX_DATA {
    static constexpr int kind = Q_GUI_KIND_COMBOBOX;
    Q_GUI_DROP drop;
    Q_GUI_LISTITEM *items;
    int cap;
    int selected; // -1
    int flags;
    Q_GUI_INDEX_CB on_select;
    void *user;
};

struct Q_GUI_IMAGE_DATA {
    static constexpr int kind = Q_GUI_KIND_IMAGE;
    ALLEGRO_BITMAP *bitmap; // not owned
    int scale_mode;         // 1 stretch, 2 centre, else fit keeping the aspect
};

struct Q_GUI_DROPMENU_ENTRY {
    char *text; // owned
    int tag;
    Q_GUI_DROPMENU_CB cb;
    void *user;
};

struct Q_GUI_DROPMENU_DATA {
    static constexpr int kind = Q_GUI_KIND_DROPMENU;
    Q_GUI_DROP drop;
    char label[Q_GUI_ITEM_TEXT_MAX];
    Q_GUI_DROPMENU_ENTRY *entries;
    int cap;
    Q_GUI_CLICK_CB on_open; // may rebuild the entries each time the menu opens
    void *open_user;
};

struct Q_GUI_SPLITPANE_DATA {
    static constexpr int kind = Q_GUI_KIND_SPLITPANE;
    int orientation; // 1 stacked panes (horizontal band), else side by side
    double ratio, min_ratio, max_ratio;
    float band;
    Q_GUI_VALUE_CB on_change;
    void *user;
};

struct Q_GUI_HEXVIEW_DATA {
    static constexpr int kind = Q_GUI_KIND_HEXVIEW;
    unsigned char *bytes; // owned copy
    size_t size;
    int per_row; // 16
    size_t cursor;
    size_t scroll; // first row shown
};

struct Q_GUI_SYNTAXVIEW_DATA {
    static constexpr int kind = Q_GUI_KIND_SYNTAXVIEW;
    char *text; // owned, carriage returns before line feeds removed
    size_t len;
    int language;
    int *line_start; // byte offset of each line
    int line_count;
    int *line_state;         // classifier state at the start of each line
    int sel_anchor, sel_end; // byte offsets; equal = none
    int selecting;
    int scroll_line;
    float scroll_x;
};

struct Q_GUI_DATAGRID_COL {
    char title[Q_GUI_ITEM_TEXT_MAX];
    float width;
    int visible;
};

struct Q_GUI_DATAGRID_DATA {
    static constexpr int kind = Q_GUI_KIND_DATAGRID;
    Q_GUI_DATAGRID_COL *cols;
    int *order; // display position -> column index
    int col_count, col_cap;
    int resizing; // column being resized, -1
    float resize_x0, resize_w0;
    int pressed_title; // column whose title was pressed, -1
    // One block per row: the cells' offsets, their measured widths, then
    // their texts, so a row costs one allocation however many columns it has.
    // A width below zero is not measured yet; all are dropped when the font
    // they were measured with changes.
    char **rows;
    const ALLEGRO_FONT *measured_font;
    int row_count, row_cap;
    int sort_col, sort_dir;
    int selected; // -1
    int multi;
    unsigned char *sel; // per row
    int anchor;         // -1
    ALLEGRO_COLOR *colors;
    unsigned char *has_color;
    int first_row;
    float hscroll;
    int dragging_strip;
    float strip_grab;
    Q_GUI_INDEX_CB on_select;
    Q_GUI_GRID_CONTEXT_CB on_context;
    void *user;
};

struct Q_GUI_PROGRESSBAR_DATA {
    static constexpr int kind = Q_GUI_KIND_PROGRESSBAR;
    double value; // 0..1
    char text[Q_GUI_LABEL_TEXT_MAX];
};

struct Q_GUI_MD_RUN; // a laid-out piece of text (q_gui_markdown.cpp)

struct Q_GUI_MARKDOWNVIEW_DATA {
    static constexpr int kind = Q_GUI_KIND_MARKDOWNVIEW;
    ALLEGRO_FONT *fonts[4]; // regular, bold, italic, monospace (null = the widget's font)
    char *source;           // owned
    Q_GUI_MD_RUN *runs;     // layout
    int run_count, run_cap;
    float laid_w;    // width the layout was made for
    float content_h; // laid-out height
    float scroll;
    int sel_a, sel_b; // positions (run index * 4096 + byte), -1 none
    int selecting;
};

// ---- time and redraw ---------------------------------------------------------

double q_gui_now(void);
// Keeps frames coming until the given time (flashes, tooltips).
void q_gui_redraw_until(Q_GUI_CTX *ctx, double t);
// The time of an event: its timestamp when it has one, else now.
double q_gui_event_time(const ALLEGRO_EVENT *ev);

// ---- widgets -----------------------------------------------------------------

// Creates a widget of a kind in a window: allocates the record, adopts the
// per-kind data (freed with the widget through ops->destroy and Q_FREE),
// appends it to the window, enters it into the id table and asks for a
// redraw. Returns the widget or null (data is then freed).
Q_GUI_WIDGET *q_gui_widget_create(Q_GUI_CTX *ctx, int window, const Q_GUI_KIND_OPS *ops, void *data, float x,
                                  float y, float w, float h);
// The widget only when it exists and is of the kind; else null.
Q_GUI_WIDGET *q_gui_widget_of_kind(const Q_GUI_CTX *ctx, int id, int kind);
ALLEGRO_FONT *q_gui_widget_font(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w);
Q_GUI_WINDOW *q_gui_widget_window(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w);
// Canvas position of the widget's top-left corner.
void q_gui_widget_origin(const Q_GUI_WINDOW *win, const Q_GUI_WIDGET *w, float *x, float *y);
void q_gui_widget_update_fractions(const Q_GUI_WINDOW *win, Q_GUI_WIDGET *w);
void q_gui_widget_destroy(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w);
void q_gui_widget_table_remove(Q_GUI_CTX *ctx, int id);
// Copies a text to the system clipboard (q_clipboard when it is ready, the
// display's Allegro clipboard otherwise).
void q_gui_copy_text(Q_GUI_CTX *ctx, const char *text);

// Ctrl+C on a read-only view: copies the text the view's selection getter
// returns (an owned copy) and returns 1, or 0 without a selection; -1 for
// other keys.
int q_gui_copy_key(Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev,
                   char *(*selection)(const Q_GUI_CTX *ctx, int id));

// Moves the focus from a widget to the nearest Tab-order widget of its window
// in a direction (dx, dy of -1, 0, 1).
void q_gui_focus_move_dir(Q_GUI_CTX *ctx, Q_GUI_WIDGET *from, int dx, int dy);
// Allegro modifier bits (Shift, Ctrl, Alt) of the context's own mask.
unsigned q_gui_allegro_mods(const Q_GUI_CTX *ctx);

// ---- drawing helpers (q_gui_draw.cpp) -----------------------------------------

// The colours of a part in a state. One rule for every kind: pressed beats
// hover for the background and the text; the border shows focus as it shows
// a press; a disabled part is dimmed whatever else it is.
enum { Q_GUI_LOOK_HOVER = 1, Q_GUI_LOOK_PRESSED = 2, Q_GUI_LOOK_FOCUSED = 4, Q_GUI_LOOK_DISABLED = 8 };
struct Q_GUI_LOOK {
    ALLEGRO_COLOR bg, border, text;
};
Q_GUI_LOOK q_gui_look_of(const Q_GUI_THEME *t, int states);
// A widget's look from its state bits: hovered only while enabled, pressed
// while the button is held over it or while active (an open list, a drag, a
// toggled button).
Q_GUI_LOOK q_gui_look(const Q_GUI_WIDGET *w, int active);
// A lit row of a list: Q_GUI_LIT_CURSOR (the keyboard's or the pointer's
// row in an open list, a selected list row) in the selection colour,
// Q_GUI_LIT_MARK (the chosen item, the row under the pointer) in the hover
// background. Returns the text colour of the row. Rows of a disabled widget
// are dimmed like the rest of it.
enum { Q_GUI_LIT_NONE, Q_GUI_LIT_MARK, Q_GUI_LIT_CURSOR };
ALLEGRO_COLOR q_gui_lit_row(const Q_GUI_THEME *t, int enabled, float x0, float y0, float x1, float y1,
                            int lit);

void q_gui_fill_box(const Q_GUI_CTX *ctx, float x, float y, float w, float h, float rx, float ry,
                    ALLEGRO_COLOR c);
void q_gui_stroke_box(const Q_GUI_CTX *ctx, float x, float y, float w, float h, float rx, float ry,
                      ALLEGRO_COLOR c, float thickness);
ALLEGRO_COLOR q_gui_with_alpha(ALLEGRO_COLOR c, float a);
// Clips drawing to a canvas rectangle (x0, y0)-(x1, y1) inside the clip
// (ox, oy, ow, oh) that was set before, so a widget never draws outside its
// window; the corners go through the current transform and are truncated to
// whole pixels.
void q_gui_clip_within(float x0, float y0, float x1, float y1, int ox, int oy, int ow, int oh);
// The border of a view kind (lists, grids, text views) at (x, y): the active
// colour with the focus, the hover colour under the pointer, dimmed when
// disabled.
void q_gui_stroke_view_border(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, float rx,
                              float ry);
// Clips to a canvas rectangle, widened to whole pixels, inside the clip
// (ox, oy, ow, oh) that was set before.
void q_gui_clip_rect(float x, float y, float w, float h, int ox, int oy, int ow, int oh);
// A bitmap in a rectangle by scale mode: 1 stretched, 2 centred unscaled,
// else fitted keeping its aspect ratio.
void q_gui_draw_bitmap_mode(ALLEGRO_BITMAP *bmp, ALLEGRO_COLOR tint, int mode, float x, float y, float w,
                            float h);
// Draws text cut with "..." to max_w.
void q_gui_draw_text_fit(ALLEGRO_FONT *font, ALLEGRO_COLOR c, float x, float y, float max_w, int align,
                         const char *text);

// ---- windows -----------------------------------------------------------------

Q_GUI_WINDOW *q_gui_window_find(const Q_GUI_CTX *ctx, int id);
int q_gui_window_index(const Q_GUI_CTX *ctx, int id);
void q_gui_windows_sort(Q_GUI_CTX *ctx);
void q_gui_window_free(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win);
// Title-bar height actually shown (0 without one).
float q_gui_window_tb_h(const Q_GUI_WINDOW *win);
// Height the window occupies on the canvas (title bar only when minimized).
float q_gui_window_visible_h(const Q_GUI_WINDOW *win);
int q_gui_window_contains(const Q_GUI_WINDOW *win, float x, float y);
ALLEGRO_DISPLAY *q_gui_window_display(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win);
void q_gui_window_draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win);
// Mouse event for a window under the pointer (or one moving/resizing).
void q_gui_window_mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, const ALLEGRO_EVENT *ev, float mx, float my);
// Ends every drag of the window (switch-out, detach).
void q_gui_window_cancel_drags(Q_GUI_WINDOW *win);
// Wheel over the window: returns 1 when it scrolled.
int q_gui_window_wheel(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, float dz, float dw);
void q_gui_window_update_content(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win);
// The widget under a canvas point, topmost (last created) first.
Q_GUI_WIDGET *q_gui_window_widget_at(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win, float x, float y);
// Native display event of a detached window.
void q_gui_window_native_event(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, const ALLEGRO_EVENT *ev);
// Destroys a detached window's native display and brings back its old
// rectangle and flags; keep_wants leaves the wants-native flag set.
void q_gui_window_drop_native(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, int keep_wants);
void q_gui_window_relayout_widgets(Q_GUI_WINDOW *win, int scale_x, int scale_y);

// ---- helpers shared by the widget kinds --------------------------------------

// The widget when it is of the kind; otherwise logs "<fn>: widget %d is not a
// <what>" at warning level and returns null (skins and text-area setters).
Q_GUI_WIDGET *q_gui_widget_expect(const Q_GUI_CTX *ctx, int id, int kind, const char *fn, const char *what);
// Appends an item (text cut at 127 bytes on a character boundary) to an item
// array that starts with room for 4 and doubles; returns its index or -1.
int q_gui_items_add(Q_GUI_LISTITEM **items, int *count, int *cap, const char *text);
// Bytes of the UTF-8 character that starts with this byte (1 for stray bytes).
int q_gui_utf8_size(unsigned char lead);
// Length of text cut to at most max bytes without splitting a character.
size_t q_gui_utf8_cut(const char *text, size_t len, size_t max);
// Canvas height available to overlays of a window (its native display, the
// virtual canvas or the main display), and the global scroll that applies.
void q_gui_overlay_area(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win, float *top, float *bottom);
// Text of the system clipboard (selection 0) or primary selection (1), newly
// allocated with malloc, or null. The caller zeroes it before freeing.
char *q_gui_clipboard_text(Q_GUI_CTX *ctx, int selection);
// Scroll strip geometry: thumb position and length inside a track.
void q_gui_strip_thumb(const Q_GUI_CTX *ctx, float track, double content, double view, double pos,
                       float *tpos, float *tlen);
// Scroll position for a pointer at m along the track, the thumb grabbed at grab.
double q_gui_strip_pos(const Q_GUI_CTX *ctx, float track, double content, double view, float m, float grab);
void q_gui_draw_strip(const Q_GUI_CTX *ctx, float x, float y, float w, float h, int vertical, double content,
                      double view, double pos, int active);
// Width of len bytes of text in a font.
float q_gui_text_w(ALLEGRO_FONT *font, const char *s, int len);
// Disabled widgets keep their shape but read as unavailable.
ALLEGRO_COLOR q_gui_dim(const Q_GUI_WIDGET *w, ALLEGRO_COLOR c);
// A bitmap stretched over a rectangle.
void q_gui_draw_bitmap_in(ALLEGRO_BITMAP *b, float x, float y, float w, float h);
// Keeps the (canvas) pointer's modifier state: Shift and Ctrl as the
// context's own mask sees them.
int q_gui_ctrl_held(const Q_GUI_CTX *ctx);
int q_gui_shift_held(const Q_GUI_CTX *ctx);
// The navigation keys the list-like kinds consume (Enter, Home, End, PgUp,
// PgDn, arrows, keypad Enter).
int q_gui_nav_takes_key(const Q_GUI_WIDGET *w, int keycode);
// Whether a canvas point is on the widget's own rectangle.
int q_gui_widget_hit(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float mx, float my);

// ---- overlays ----------------------------------------------------------------

// What an open overlay does. The dispatcher offers it keys, presses and the
// wheel before any window, and draws it after every window. Hooks may be null.
struct Q_GUI_OVERLAY_OPS {
    int (*key)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev);
    int (*mouse)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx, float my);
    int (*wheel)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz);
    void (*draw)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w);
    // Another widget took the layer: the one that held it closes its state.
    void (*displaced)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w);
};

// The widget takes the layer; the one that held it before is displaced.
void q_gui_overlay_open(Q_GUI_CTX *ctx, int layer, Q_GUI_WIDGET *w, const Q_GUI_OVERLAY_OPS *ops);
// Frees the layer when the widget holds it.
void q_gui_overlay_release(Q_GUI_CTX *ctx, int layer, const Q_GUI_WIDGET *w);
// Whether the widget holds the layer now (the context may close overlays
// behind a widget's back, q_gui_close_menus).
int q_gui_overlay_held(const Q_GUI_CTX *ctx, int layer, const Q_GUI_WIDGET *w);
// Frees every layer the widget holds (it is being destroyed).
void q_gui_overlay_forget(Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w);

// The per-kind record of a widget, only when the widget exists and is of the
// record's kind (every record names its kind); else null.
template <class T> T *q_gui_lookup(const Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, T::kind);
    return w ? static_cast<T *>(w->data) : nullptr;
}

// ---- open drop-down lists (combobox, drop-down menu) -------------------------

// An open list as its kind sees it now: the rectangle (set by
// q_gui_drop_list_place), the rows in view and the marked items. The kinds
// keep their own item arrays; text_at reads one item's text.
typedef struct Q_GUI_DROP_LIST {
    float x, y, w, h;
    float row_h;
    int count, first, rows;
    int highlight;
    int selected; // drawn with the hover colour; -1 for none
    int strip;    // draw the scroll strip (the kinds decide when)
    ALLEGRO_BITMAP *bmp;
    const char *(*text_at)(const Q_GUI_WIDGET *w, int i);
} Q_GUI_DROP_LIST;

// Lays the list out under the widget, or above it when it does not fit
// below and there is room above (prefer_above: whenever there is room
// above). It is as wide as its widest item, at least the widget's width,
// and at most max_w when max_w > 0.
void q_gui_drop_list_place(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, Q_GUI_DROP_LIST *l, float max_w,
                           int prefer_above);
void q_gui_drop_list_draw(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, const Q_GUI_DROP_LIST *l);
// 1 when the point is on the list; *index is then the row under it counted
// from the first item (possibly past the last).
int q_gui_drop_list_hit(const Q_GUI_DROP_LIST *l, float mx, float my, int *index);
// Moves the highlight by delta within the items and scrolls it into view.
void q_gui_drop_list_move(int *highlight, int *first, int count, int rows, int delta);
// Home, End, Up, Down (and PgUp, PgDn with paging) on an open list: moves
// the highlight and returns 1, or returns 0 for other keys.
int q_gui_drop_list_key_move(int keycode, int *highlight, int *first, int count, int rows, int paging);

// What a kind with a drop list adds to the shared behaviour.
struct Q_GUI_DROP_KIND {
    int layer;  // Q_GUI_LAYER_*
    int paging; // PgUp and PgDn page through the open list
    // Rows shown at most: the style's value when it is > 0, else the default.
    int Q_GUI_STYLE::*max_visible;
    int default_rows;
    const char *(*text_at)(const Q_GUI_WIDGET *w, int i);
    // The open list laid out in canvas coordinates (q_gui_drop_list_base
    // plus what the kind adds).
    Q_GUI_DROP_LIST (*list)(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w);
    void (*set_open)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int flag);
    // Picks an item (an index outside the items only closes the list).
    void (*pick)(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int index);
};

Q_GUI_DROP *q_gui_drop(const Q_GUI_WIDGET *w);
int q_gui_drop_rows(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w);
// The open list's rows, highlight and skin, not yet placed.
Q_GUI_DROP_LIST q_gui_drop_list_base(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w);
// Open and holding its layer (the context may close menus behind the
// widget's back, q_gui_close_menus).
int q_gui_drop_is_open(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w);
// Takes or frees the widget's layer and marks the list open or closed; the
// kinds add what opening means to them.
void q_gui_drop_hold(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int flag);
// The hooks of every open drop list.
extern const Q_GUI_OVERLAY_OPS q_gui_drop_overlay;
// Kind mouse hook: a press on the box opens or closes the list.
void q_gui_drop_mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                      float my, float x, float y);
// The box in its state colours (an open list counts as pressed) with its
// text (may be null) left of the arrow's room.
void q_gui_drop_draw_box(Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, const char *text);

// ---- stepping through items --------------------------------------------------

// The item a one-choice kind (combobox, radio list) moves to for a key: Up
// or Left the one before (the first when none is chosen), Down or Right the
// one after, Home or PgUp the first, End or PgDn the last, kept within
// 0..count-1. Returns 0 for other keys.
int q_gui_item_step(int keycode, int current, int count, int *to);
// The row a scrolling list (list box, data grid) moves its cursor to for a
// key: Up the row before (the first when there is none), Down the row after,
// PgUp and PgDn a page away (PgDn from no row lands on row page), Home the
// first, End the last, kept within 0..count-1. Returns 0 for other keys.
int q_gui_row_step(int keycode, int current, int count, int page, int *to);
// The value a value kind (scroll bar, slider) moves to for a key: Left and
// Right a step down and up, Up and Down a step and PgUp and PgDn a page
// towards hi when up_raises (a slider) or towards lo (a scroll bar, whose
// top is lo), Home lo, End hi. Returns 2 with *to set, 1 for Enter (taken
// without a move), 0 for other keys.
int q_gui_value_step(int keycode, double value, double lo, double hi, double step, double page, int up_raises,
                     double *to);
