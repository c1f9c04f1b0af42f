// q_gui combobox kind: a box showing the selected item that opens a list of
// items drawn above every window. The list opens below the box when it fits
// in the display, else above it (flag 2: above whenever there is room).

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_COMBOBOX_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_COMBOBOX_DATA *>(w->data);
}

// The context may close menus behind the widget's back (q_gui_close_menus).
static bool _is_open(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return _data(w)->open && ctx->open_combobox == w->id;
}

static int _rows(const Q_GUI_CTX *ctx, const Q_GUI_COMBOBOX_DATA *d) {
    const int vis = ctx->style.combobox_max_visible > 0 ? ctx->style.combobox_max_visible : 6;
    return std::min(d->count, vis);
}

static const char *_text_at(const Q_GUI_WIDGET *w, int i) {
    return _data(w)->items[i].text;
}

// The open list as it stands, laid out in canvas coordinates.
static Q_GUI_DROP_LIST _list(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_COMBOBOX_DATA *d = _data(w);
    Q_GUI_DROP_LIST l = {};
    l.row_h = d->item_h;
    l.count = d->count;
    l.first = d->first;
    l.rows = _rows(ctx, d);
    l.highlight = d->highlight;
    l.selected = d->selected;
    l.strip = d->count > l.rows;
    l.bmp = d->bmp_list;
    l.text_at = _text_at;
    q_gui_drop_list_place(ctx, w, &l, ctx->style.combobox_max_dropdown_width,
                          (d->flags & Q_GUI_COMBOBOX_OPEN_ABOVE) ? 1 : 0);
    return l;
}

static void _open(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int flag) {
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    if (flag && d->count > 0) {
        if (ctx->open_combobox >= 0 && ctx->open_combobox != w->id) {
            Q_GUI_WIDGET *o = q_gui_widget_of_kind(ctx, ctx->open_combobox, Q_GUI_KIND_COMBOBOX);
            if (o) _data(o)->open = 0;
        }
        d->open = 1;
        d->highlight = d->selected >= 0 ? d->selected : 0;
        const int rows = _rows(ctx, d);
        d->first = std::max(0, std::min(d->highlight - rows / 2, d->count - rows));
        ctx->open_combobox = w->id;
    } else {
        d->open = 0;
        if (ctx->open_combobox == w->id) ctx->open_combobox = -1;
    }
    ctx->redraw = 1;
}

static void _pick(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int index) {
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    _open(ctx, w, 0);
    if (index < 0 || index >= d->count) return;
    d->selected = index;
    if (d->on_select) d->on_select(w->id, index, d->user);
}

static void _move_highlight(const Q_GUI_CTX *ctx, Q_GUI_COMBOBOX_DATA *d, int delta) {
    q_gui_drop_list_move(&d->highlight, &d->first, d->count, _rows(ctx, d), delta);
}

static void _draw_arrow(const Q_GUI_CTX *ctx, float cx, float cy, ALLEGRO_COLOR c, bool up) {
    const float hw = ctx->style.dropdown_arrow_half_w, hh = ctx->style.dropdown_arrow_half_h;
    const float dir = up ? -1.0f : 1.0f;
    al_draw_line(cx - hw, cy - hh * dir, cx, cy + hh * dir, c, ctx->style.dropdown_arrow_thickness);
    al_draw_line(cx, cy + hh * dir, cx + hw, cy - hh * dir, c, ctx->style.dropdown_arrow_thickness);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_COMBOBOX_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const bool hover = (w->state & Q_GUI_WS_HOVER) && w->enabled;
    const bool open = _is_open(ctx, w);
    const bool active = open || ((w->state & Q_GUI_WS_PRESSED) && hover);
    if (d->bmp_box)
        q_gui_draw_bitmap_in(d->bmp_box, x, y, w->w, w->h);
    else
        q_gui_fill_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry,
                       active  ? t->bg_active
                       : hover ? t->bg_hover
                               : t->bg_normal);
    const ALLEGRO_COLOR br = (w->state & Q_GUI_WS_FOCUSED) || active ? t->border_active
                             : hover                                 ? t->border_hover
                                                                     : t->border_normal;
    q_gui_stroke_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, q_gui_dim(w, br),
                     (w->state & Q_GUI_WS_FOCUSED) ? t->border_thickness + 1 : t->border_thickness);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float reserve = ctx->style.dropdown_arrow_reserve;
    if (d->selected >= 0 && d->selected < d->count)
        q_gui_draw_text_fit(font, q_gui_dim(w, hover ? t->text_hover : t->text_normal),
                            x + ctx->style.item_text_padding,
                            y + (w->h - (float)al_get_font_line_height(font)) / 2,
                            w->w - reserve - 2 * ctx->style.item_text_padding, 0, d->items[d->selected].text);
    _draw_arrow(ctx, x + w->w - reserve / 2 - 4, y + w->h / 2, q_gui_dim(w, t->text_normal), open);
}

static void _draw_overlay(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    if (!_data(w)->open) return;
    const Q_GUI_DROP_LIST l = _list(ctx, w);
    q_gui_drop_list_draw(ctx, w, &l);
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float, float,
                   float, float) {
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN || ev->mouse.button != 1) return;
    _open(ctx, w, !_is_open(ctx, w));
}

static int _overlay_mouse(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx, float my) {
    const Q_GUI_DROP_LIST l = _list(ctx, w);
    int i;
    if (q_gui_drop_list_hit(&l, mx, my, &i)) {
        if (ev->mouse.button == 1) _pick(ctx, w, i);
        return 1;
    }
    _open(ctx, w, 0);
    // A press on the box itself only closes; anywhere else it goes on to
    // whatever is under the pointer.
    return q_gui_widget_hit(ctx, w, mx, my);
}

static int _overlay_key(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        _pick(ctx, w, d->highlight);
        return 1;
    case ALLEGRO_KEY_ESCAPE:
        _open(ctx, w, 0);
        return 1;
    default:
        return q_gui_drop_list_key_move(ev->keyboard.keycode, &d->highlight, &d->first, d->count,
                                        _rows(ctx, d), 1);
    }
}

static int _overlay_wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz) {
    _move_highlight(ctx, _data(w), -(int)dz);
    return 1;
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
    case ALLEGRO_KEY_SPACE:
        _open(ctx, w, 1);
        return 1;
    default:
        break;
    }
    int to;
    if (!q_gui_item_step(ev->keyboard.keycode, d->selected, d->count, &to)) return 0;
    if (d->count == 0) return 1;
    if (to != d->selected) {
        d->selected = to;
        ctx->redraw = 1;
        if (d->on_select) d->on_select(w->id, to, d->user);
    }
    return 1;
}

static void _destroy(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    if (ctx->open_combobox == w->id) ctx->open_combobox = -1;
    Q_FREE(_data(w)->items);
}

static const Q_GUI_KIND_OPS k_combobox_ops = {
    .kind = Q_GUI_KIND_COMBOBOX,
    .name = "combobox",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
    .overlay_key = _overlay_key,
    .overlay_mouse = _overlay_mouse,
    .overlay_wheel = _overlay_wheel,
    .draw_overlay = _draw_overlay,
};

int q_gui_add_combobox(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_INDEX_CB cb,
                       void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_COMBOBOX_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_COMBOBOX_DATA);
    if (!d) return -1;
    d->selected = -1;
    d->highlight = -1;
    d->item_h = h > 1 ? h : 20;
    d->visible_rows = ctx->style.combobox_max_visible;
    d->on_select = cb;
    d->user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_combobox_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_cbx(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_COMBOBOX);
}

int q_gui_combobox_add_item(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (!w) return -1;
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    ctx->redraw = 1;
    return q_gui_items_add(&d->items, &d->count, &d->cap, text);
}

void q_gui_combobox_clear(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (!w) return;
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    _open(ctx, w, 0);
    d->count = 0;
    d->selected = d->highlight = -1;
    d->first = 0;
}

void q_gui_combobox_set_selected(Q_GUI_CTX *ctx, int id, int index) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (!w) return;
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    if (index < -1 || index >= d->count) return;
    d->selected = index;
    ctx->redraw = 1;
}

int q_gui_combobox_get_selected(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _cbx(ctx, id);
    return w ? _data(w)->selected : -1;
}

const char *q_gui_combobox_get_item_text(const Q_GUI_CTX *ctx, int id, int index) {
    const Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (!w) return "";
    const Q_GUI_COMBOBOX_DATA *d = _data(w);
    return (index >= 0 && index < d->count) ? d->items[index].text : "";
}

int q_gui_combobox_count(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _cbx(ctx, id);
    return w ? _data(w)->count : 0;
}

void q_gui_combobox_set_flags(Q_GUI_CTX *ctx, int id, int flags) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (w) _data(w)->flags = flags;
}

void q_gui_combobox_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *box, ALLEGRO_BITMAP *list) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_COMBOBOX, "q_gui_combobox_set_bitmaps", "combobox");
    if (!w) return;
    _data(w)->bmp_box = box;
    _data(w)->bmp_list = list;
    ctx->redraw = 1;
}

void q_gui_combobox_set_open(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (w) _open(ctx, w, flag);
}

int q_gui_combobox_list_rect(const Q_GUI_CTX *ctx, int id, float *x, float *y, float *w, float *h) {
    const Q_GUI_WIDGET *wd = _cbx(ctx, id);
    if (!wd || !_is_open(ctx, wd)) return 0;
    const Q_GUI_DROP_LIST l = _list(ctx, wd);
    if (x) *x = l.x;
    if (y) *y = l.y;
    if (w) *w = l.w;
    if (h) *h = l.h;
    return 1;
}
