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

static_assert(offsetof(Q_GUI_COMBOBOX_DATA, drop) == 0, "the shared drop state leads the record");

static const char *_text_at(const Q_GUI_WIDGET *w, int i) {
    return _data(w)->items[i].text;
}

static Q_GUI_DROP_LIST _list(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_COMBOBOX_DATA *d = _data(w);
    Q_GUI_DROP_LIST l = q_gui_drop_list_base(ctx, w);
    l.selected = d->selected;
    q_gui_drop_list_place(ctx, w, &l, ctx->style.combobox_max_dropdown_width,
                          (d->flags & Q_GUI_COMBOBOX_OPEN_ABOVE) ? 1 : 0);
    return l;
}

// An empty combobox does not open; the list opens on the selected item.
static void _open(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int flag) {
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    Q_GUI_DROP *dr = &d->drop;
    if (flag && dr->count > 0) {
        q_gui_drop_hold(ctx, w, 1);
        dr->highlight = d->selected >= 0 ? d->selected : 0;
        const int rows = q_gui_drop_rows(ctx, w);
        dr->first = std::max(0, std::min(dr->highlight - rows / 2, dr->count - rows));
    } else {
        q_gui_drop_hold(ctx, w, 0);
    }
}

static void _pick(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int index) {
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    _open(ctx, w, 0);
    if (index < 0 || index >= d->drop.count) return;
    d->selected = index;
    if (d->on_select) d->on_select(w->id, index, d->user);
}

static const Q_GUI_DROP_KIND k_combobox_drop = {
    .layer = Q_GUI_LAYER_LIST,
    .paging = 1,
    .max_visible = &Q_GUI_STYLE::combobox_max_visible,
    .default_rows = 6,
    .text_at = _text_at,
    .list = _list,
    .set_open = _open,
    .pick = _pick,
};

static void _draw_arrow(const Q_GUI_CTX *ctx, float cx, float cy, ALLEGRO_COLOR c, bool up) {
    const float hw = ctx->style.dropdown_arrow_half_w, hh = ctx->style.dropdown_arrow_half_h;
    const float dir = up ? -1.0f : 1.0f;
    al_draw_line(cx - hw, cy - hh * dir, cx, cy + hh * dir, c, ctx->style.dropdown_arrow_thickness);
    al_draw_line(cx, cy + hh * dir, cx + hw, cy - hh * dir, c, ctx->style.dropdown_arrow_thickness);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_COMBOBOX_DATA *d = _data(w);
    const bool chosen = d->selected >= 0 && d->selected < d->drop.count;
    q_gui_drop_draw_box(ctx, w, x, y, chosen ? d->items[d->selected].text : nullptr);
    const float reserve = ctx->style.dropdown_arrow_reserve;
    _draw_arrow(ctx, x + w->w - reserve / 2 - 4, y + w->h / 2, q_gui_dim(w, w->theme.text_normal),
                q_gui_drop_is_open(ctx, w));
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
    if (!q_gui_item_step(ev->keyboard.keycode, d->selected, d->drop.count, &to)) return 0;
    if (d->drop.count == 0) return 1;
    if (to != d->selected) {
        d->selected = to;
        ctx->redraw = 1;
        if (d->on_select) d->on_select(w->id, to, d->user);
    }
    return 1;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_FREE(_data(w)->items);
}

static const Q_GUI_KIND_OPS k_combobox_ops = {
    .kind = Q_GUI_KIND_COMBOBOX,
    .name = "combobox",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = q_gui_drop_mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
};

int q_gui_add_combobox(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_INDEX_CB cb,
                       void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_COMBOBOX_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_COMBOBOX_DATA);
    if (!d) return -1;
    d->drop.kind = &k_combobox_drop;
    d->selected = -1;
    d->drop.highlight = -1;
    d->drop.row_h = h > 1 ? h : 20;
    d->drop.visible_rows = ctx->style.combobox_max_visible;
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
    return q_gui_items_add(&d->items, &d->drop.count, &d->cap, text);
}

void q_gui_combobox_clear(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (!w) return;
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    _open(ctx, w, 0);
    d->drop.count = 0;
    d->selected = d->drop.highlight = -1;
    d->drop.first = 0;
}

void q_gui_combobox_set_selected(Q_GUI_CTX *ctx, int id, int index) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (!w) return;
    Q_GUI_COMBOBOX_DATA *d = _data(w);
    if (index < -1 || index >= d->drop.count) return;
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
    return (index >= 0 && index < d->drop.count) ? d->items[index].text : "";
}

int q_gui_combobox_count(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _cbx(ctx, id);
    return w ? _data(w)->drop.count : 0;
}

void q_gui_combobox_set_flags(Q_GUI_CTX *ctx, int id, int flags) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (w) _data(w)->flags = flags;
}

void q_gui_combobox_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *box, ALLEGRO_BITMAP *list) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_COMBOBOX, "q_gui_combobox_set_bitmaps", "combobox");
    if (!w) return;
    _data(w)->drop.bmp_box = box;
    _data(w)->drop.bmp_list = list;
    ctx->redraw = 1;
}

void q_gui_combobox_set_open(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WIDGET *w = _cbx(ctx, id);
    if (w) _open(ctx, w, flag);
}

int q_gui_combobox_list_rect(const Q_GUI_CTX *ctx, int id, float *x, float *y, float *w, float *h) {
    const Q_GUI_WIDGET *wd = _cbx(ctx, id);
    if (!wd || !q_gui_drop_is_open(ctx, wd)) return 0;
    const Q_GUI_DROP_LIST l = _list(ctx, wd);
    if (x) *x = l.x;
    if (y) *y = l.y;
    if (w) *w = l.w;
    if (h) *h = l.h;
    return 1;
}
