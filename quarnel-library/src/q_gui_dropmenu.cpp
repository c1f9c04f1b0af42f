// q_gui drop-down menu kind: a button that opens a list of entries drawn
// above every window. Its open callback may rebuild the entries each time
// the menu opens; picking an entry calls that entry's own callback.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_DROPMENU_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_DROPMENU_DATA *>(w->data);
}

static bool _is_open(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return _data(w)->open && ctx->open_dropmenu == w->id;
}

static int _rows(const Q_GUI_CTX *ctx, const Q_GUI_DROPMENU_DATA *d) {
    const int vis = ctx->style.dropmenu_max_visible > 0 ? ctx->style.dropmenu_max_visible : 12;
    return std::min(d->count, vis);
}

static const char *_text_at(const Q_GUI_WIDGET *w, int i) {
    return _data(w)->entries[i].text;
}

// The open list as it stands, laid out in canvas coordinates.
static Q_GUI_DROP_LIST _list(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_DROPMENU_DATA *d = _data(w);
    Q_GUI_DROP_LIST l = {};
    l.row_h = d->row_h;
    l.count = d->count;
    l.first = d->first;
    l.rows = _rows(ctx, d);
    l.highlight = d->highlight;
    l.selected = -1;
    // No strip at all when the style gives it no width.
    l.strip = d->count > l.rows && ctx->style.scrollbar_size > 0;
    l.bmp = d->bmp_list;
    l.text_at = _text_at;
    q_gui_drop_list_place(ctx, w, &l, 0, 0);
    return l;
}

static void _set_open(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int flag) {
    Q_GUI_DROPMENU_DATA *d = _data(w);
    if (flag) {
        // The entries may be rebuilt now; the widget stays where it is.
        if (d->on_open) d->on_open(w->id, d->open_user);
        if (ctx->open_dropmenu >= 0 && ctx->open_dropmenu != w->id) {
            Q_GUI_WIDGET *o = q_gui_widget_of_kind(ctx, ctx->open_dropmenu, Q_GUI_KIND_DROPMENU);
            if (o) _data(o)->open = 0;
        }
        d->open = 1;
        d->highlight = d->count > 0 ? 0 : -1;
        d->first = 0;
        ctx->open_dropmenu = w->id;
    } else {
        d->open = 0;
        d->highlight = -1;
        if (ctx->open_dropmenu == w->id) ctx->open_dropmenu = -1;
    }
    ctx->redraw = 1;
}

static void _pick(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int index) {
    Q_GUI_DROPMENU_DATA *d = _data(w);
    if (index < 0 || index >= d->count) {
        _set_open(ctx, w, 0);
        return;
    }
    // The entry is copied out first: its callback may rebuild the entries.
    const Q_GUI_DROPMENU_ENTRY e = d->entries[index];
    _set_open(ctx, w, 0);
    if (e.cb) e.cb(w->id, index, e.tag, e.user);
}

static void _move(const Q_GUI_CTX *ctx, Q_GUI_DROPMENU_DATA *d, int delta) {
    q_gui_drop_list_move(&d->highlight, &d->first, d->count, _rows(ctx, d), delta);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_DROPMENU_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const bool open = _is_open(ctx, w);
    const bool hover = (w->state & Q_GUI_WS_HOVER) && w->enabled;
    if (d->bmp_button)
        q_gui_draw_bitmap_in(d->bmp_button, x, y, w->w, w->h);
    else
        q_gui_fill_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry,
                       open    ? t->bg_active
                       : hover ? t->bg_hover
                               : t->bg_normal);
    const ALLEGRO_COLOR br = (w->state & Q_GUI_WS_FOCUSED) || open ? t->border_active
                             : hover                               ? t->border_hover
                                                                   : t->border_normal;
    q_gui_stroke_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, q_gui_dim(w, br),
                     t->border_thickness);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float reserve = ctx->style.dropdown_arrow_reserve;
    q_gui_draw_text_fit(font, q_gui_dim(w, hover || open ? t->text_hover : t->text_normal),
                        x + ctx->style.item_text_padding,
                        y + (w->h - (float)al_get_font_line_height(font)) / 2,
                        w->w - reserve - 2 * ctx->style.item_text_padding, 0, d->label);
    const float cx = x + w->w - reserve / 2 - 4, cy = y + w->h / 2;
    const float hw = ctx->style.dropdown_arrow_half_w * 0.8f, hh = ctx->style.dropdown_arrow_half_h;
    al_draw_filled_triangle(cx - hw, cy - hh, cx + hw, cy - hh, cx, cy + hh, q_gui_dim(w, t->text_normal));
}

static void _draw_overlay(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    const Q_GUI_DROPMENU_DATA *d = _data(w);
    if (!d->open || d->count == 0) return;
    const Q_GUI_DROP_LIST l = _list(ctx, w);
    q_gui_drop_list_draw(ctx, w, &l);
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float, float,
                   float, float) {
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN || ev->mouse.button != 1) return;
    _set_open(ctx, w, !_is_open(ctx, w));
}

static int _overlay_mouse(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx, float my) {
    const Q_GUI_DROP_LIST l = _list(ctx, w);
    int i;
    if (q_gui_drop_list_hit(&l, mx, my, &i)) {
        if (ev->mouse.button == 1) _pick(ctx, w, i);
        return 1;
    }
    _set_open(ctx, w, 0);
    return q_gui_widget_hit(ctx, w, mx, my);
}

static int _overlay_key(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_DROPMENU_DATA *d = _data(w);
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        _pick(ctx, w, d->highlight);
        return 1;
    case ALLEGRO_KEY_ESCAPE:
        _set_open(ctx, w, 0);
        return 1;
    default:
        // The menu does not page: PgUp and PgDn are not its keys here.
        return q_gui_drop_list_key_move(ev->keyboard.keycode, &d->highlight, &d->first, d->count,
                                        _rows(ctx, d), 0);
    }
}

static int _overlay_wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz) {
    _move(ctx, _data(w), -(int)dz);
    return 1;
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
    case ALLEGRO_KEY_SPACE:
    case ALLEGRO_KEY_DOWN:
        _set_open(ctx, w, 1);
        return 1;
    case ALLEGRO_KEY_UP:
    case ALLEGRO_KEY_HOME:
    case ALLEGRO_KEY_END:
    case ALLEGRO_KEY_PGUP:
    case ALLEGRO_KEY_PGDN:
    case ALLEGRO_KEY_LEFT:
    case ALLEGRO_KEY_RIGHT:
        return 1;
    default:
        return 0;
    }
}

static void _free_entries(Q_GUI_DROPMENU_DATA *d) {
    for (int i = 0; i < d->count; i++)
        Q_FREE(d->entries[i].text);
    d->count = 0;
}

static void _destroy(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_DROPMENU_DATA *d = _data(w);
    if (ctx->open_dropmenu == w->id) ctx->open_dropmenu = -1;
    _free_entries(d);
    Q_FREE(d->entries);
}

static const Q_GUI_KIND_OPS k_dropmenu_ops = {
    .kind = Q_GUI_KIND_DROPMENU,
    .name = "dropmenu",
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

int q_gui_add_dropmenu(Q_GUI_CTX *ctx, int window, const char *label, float x, float y, float w, float h,
                       Q_GUI_CLICK_CB on_open, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_DROPMENU_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_DROPMENU_DATA);
    if (!d) return -1;
    q_strcpy(d->label, sizeof d->label, label ? label : "");
    d->highlight = -1;
    d->visible_rows = ctx->style.dropmenu_max_visible;
    d->row_h = h > 1 ? h : 22;
    d->on_open = on_open;
    d->open_user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_dropmenu_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_dm(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_DROPMENU);
}

int q_gui_dropmenu_add_dynamic_entry(Q_GUI_CTX *ctx, int id, const char *text, int tag, Q_GUI_DROPMENU_CB cb,
                                     void *user) {
    Q_GUI_WIDGET *w = _dm(ctx, id);
    if (!w) return -1;
    Q_GUI_DROPMENU_DATA *d = _data(w);
    if (d->count == d->cap) {
        const int cap = d->cap ? d->cap * 2 : 4;
        void *p = realloc(d->entries, sizeof(Q_GUI_DROPMENU_ENTRY) * (size_t)cap);
        if (!p) {
            q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "d->entries", "cap",
                  sizeof(Q_GUI_DROPMENU_ENTRY), "malloc error", __LINE__, __FILE__);
            return -1;
        }
        d->entries = static_cast<Q_GUI_DROPMENU_ENTRY *>(p);
        d->cap = cap;
    }
    Q_GUI_DROPMENU_ENTRY *e = &d->entries[d->count];
    memset(e, 0, sizeof *e);
    const char *t = text ? text : "";
    const size_t n = strlen(t);
    Q_CALLOC(e->text, n + 1, char);
    if (!e->text) return -1;
    memcpy(e->text, t, n);
    e->tag = tag;
    e->cb = cb;
    e->user = user;
    ctx->redraw = 1;
    return d->count++;
}

void q_gui_dropmenu_clear(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = _dm(ctx, id);
    if (!w) return;
    Q_GUI_DROPMENU_DATA *d = _data(w);
    _free_entries(d);
    d->highlight = -1;
    d->first = 0;
    ctx->redraw = 1;
}

int q_gui_dropmenu_count(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _dm(ctx, id);
    return w ? _data(w)->count : 0;
}

void q_gui_dropmenu_set_open(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WIDGET *w = _dm(ctx, id);
    if (w) _set_open(ctx, w, flag);
}

int q_gui_dropmenu_is_open(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _dm(ctx, id);
    return w && _is_open(ctx, w) ? 1 : 0;
}

void q_gui_dropmenu_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *button, ALLEGRO_BITMAP *list) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_DROPMENU, "q_gui_dropmenu_set_bitmaps", "dropmenu");
    if (!w) return;
    _data(w)->bmp_button = button;
    _data(w)->bmp_list = list;
    ctx->redraw = 1;
}
