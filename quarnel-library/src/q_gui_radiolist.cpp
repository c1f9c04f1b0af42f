// q_gui radio list kind: a column of options of which one is chosen.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_RADIOLIST_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_RADIOLIST_DATA *>(w->data);
}

static void _choose(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int index) {
    Q_GUI_RADIOLIST_DATA *d = _data(w);
    if (index < 0 || index >= d->count || index == d->selected) return;
    d->selected = index;
    ctx->redraw = 1;
    if (d->on_select) d->on_select(w->id, index, d->user);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_RADIOLIST_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const Q_GUI_STYLE *s = &ctx->style;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float lh = (float)al_get_font_line_height(font);
    const float r = std::max(s->radio_circle_min_r, d->item_h / 2 - 5);
    const Q_GUI_LOOK look = q_gui_look(w, 0);
    for (int i = 0; i < d->count; i++) {
        const float ry = y + d->item_h * (float)i;
        if (ry > y + w->h) break;
        const float cx = x + r + 2, cy = ry + d->item_h / 2;
        ALLEGRO_BITMAP *b = i == d->selected ? d->bmp_on : d->bmp_off;
        if (b) {
            q_gui_draw_bitmap_in(b, cx - r, cy - r, 2 * r, 2 * r);
        } else {
            al_draw_filled_circle(cx, cy, r, look.bg);
            al_draw_circle(cx, cy, r, look.border, s->radio_circle_border_thickness);
            if (i == d->selected)
                al_draw_filled_circle(cx, cy, std::max(1.5f, r - s->radio_inner_offset),
                                      q_gui_dim(w, t->text_active));
        }
        if ((w->state & Q_GUI_WS_FOCUSED) && i == std::max(0, d->selected))
            al_draw_circle(cx, cy, r + 2.5f, t->border_active, 1);
        const float tx = cx + r + s->radio_label_gap;
        q_gui_draw_text_fit(font, q_gui_dim(w, i == d->selected ? t->text_active : t->text_normal), tx,
                            cy - lh / 2, x + w->w - tx, 0, d->items[i].text);
    }
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float, float my,
                   float, float y) {
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN || ev->mouse.button != 1) return;
    _choose(ctx, w, (int)floorf((my - y) / _data(w)->item_h));
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    const Q_GUI_RADIOLIST_DATA *d = _data(w);
    if (ev->keyboard.keycode == ALLEGRO_KEY_ENTER || ev->keyboard.keycode == ALLEGRO_KEY_PAD_ENTER) return 1;
    int to;
    if (!q_gui_item_step(ev->keyboard.keycode, d->selected, d->count, &to)) return 0;
    // An empty list has nothing to choose: _choose turns the index down.
    _choose(ctx, w, to);
    return 1;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_FREE(_data(w)->items);
}

static const Q_GUI_KIND_OPS k_radiolist_ops = {
    .kind = Q_GUI_KIND_RADIOLIST,
    .name = "radiolist",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
};

int q_gui_add_radiolist(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_INDEX_CB cb,
                        void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_RADIOLIST_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_RADIOLIST_DATA);
    if (!d) return -1;
    d->selected = -1;
    d->item_h = ctx->style.radiolist_default_item_height > 1 ? ctx->style.radiolist_default_item_height : 22;
    d->on_select = cb;
    d->user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_radiolist_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

int q_gui_radiolist_add_item(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_RADIOLIST_DATA *d = q_gui_lookup<Q_GUI_RADIOLIST_DATA>(ctx, id);
    if (!d) return -1;
    ctx->redraw = 1;
    return q_gui_items_add(&d->items, &d->count, &d->cap, text);
}

void q_gui_radiolist_clear(Q_GUI_CTX *ctx, int id) {
    Q_GUI_RADIOLIST_DATA *d = q_gui_lookup<Q_GUI_RADIOLIST_DATA>(ctx, id);
    if (!d) return;
    d->count = 0;
    d->selected = -1;
    ctx->redraw = 1;
}

int q_gui_radiolist_get_selected(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_RADIOLIST_DATA *d = q_gui_lookup<Q_GUI_RADIOLIST_DATA>(ctx, id);
    return d ? d->selected : -1;
}

void q_gui_radiolist_set_selected(Q_GUI_CTX *ctx, int id, int index) {
    Q_GUI_RADIOLIST_DATA *d = q_gui_lookup<Q_GUI_RADIOLIST_DATA>(ctx, id);
    if (!d || index < -1 || index >= d->count) return;
    d->selected = index;
    ctx->redraw = 1;
}

void q_gui_radiolist_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *off, ALLEGRO_BITMAP *on) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_RADIOLIST, "q_gui_radiolist_set_bitmaps", "radiolist");
    if (!w) return;
    _data(w)->bmp_off = off;
    _data(w)->bmp_on = on;
    ctx->redraw = 1;
}
