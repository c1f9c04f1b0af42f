// q_gui scrollbar kind: a stand-alone scroll bar over a content size and a
// viewport size; the position runs from 0 to content - viewport.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_SCROLLBAR_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_SCROLLBAR_DATA *>(w->data);
}

static bool _vertical(const Q_GUI_SCROLLBAR_DATA *d) {
    return d->orientation != 1;
}

static void _set(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, double p, bool notify) {
    Q_GUI_SCROLLBAR_DATA *d = _data(w);
    const double maxp = std::max(0.0, d->content - d->viewport);
    if (!std::isfinite(p)) p = 0;
    p = p < 0 ? 0 : p > maxp ? maxp : p;
    if (p == d->position) return;
    d->position = p;
    ctx->redraw = 1;
    if (notify && d->on_change) d->on_change(w->id, p, d->user);
}

static double _step(const Q_GUI_CTX *ctx, const Q_GUI_SCROLLBAR_DATA *d) {
    return d->step > 0 ? d->step : ctx->style.scroll_step;
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_SCROLLBAR_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const bool v = _vertical(d);
    const bool hover = (w->state & Q_GUI_WS_HOVER) && w->enabled, drag = (w->state & Q_GUI_WS_CAPTURE) != 0;
    float tp, tl;
    q_gui_strip_thumb(ctx, v ? w->h : w->w, d->content, d->viewport, d->position, &tp, &tl);
    const float pad = ctx->style.scrollbar_thumb_padding;
    const float r = d->shape == 1 ? ctx->style.scrollbar_thumb_corner_r : 0;
    if (d->bmp_track)
        q_gui_draw_bitmap_in(d->bmp_track, x, y, w->w, w->h);
    else
        al_draw_filled_rectangle(x, y, x + w->w, y + w->h, ctx->style.scrollbar_track_color);
    const float x0 = v ? x + pad : x + tp, y0 = v ? y + tp : y + pad;
    const float x1 = v ? x + w->w - pad : x + tp + tl, y1 = v ? y + tp + tl : y + w->h - pad;
    if (d->bmp_thumb) {
        q_gui_draw_bitmap_in(d->bmp_thumb, x0, y0, x1 - x0, y1 - y0);
    } else {
        const ALLEGRO_COLOR c = drag    ? t->border_active
                                : hover ? t->border_hover
                                        : ctx->style.scrollbar_thumb_color;
        if (r > 0)
            al_draw_filled_rounded_rectangle(x0, y0, x1, y1, r, r, q_gui_dim(w, c));
        else
            al_draw_filled_rectangle(x0, y0, x1, y1, q_gui_dim(w, c));
    }
    if (w->state & Q_GUI_WS_FOCUSED)
        al_draw_rectangle(x + 0.5f, y + 0.5f, x + w->w - 0.5f, y + w->h - 0.5f, t->border_active, 1);
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_SCROLLBAR_DATA *d = _data(w);
    const bool v = _vertical(d);
    const float track = v ? w->h : w->w, m = v ? my - y : mx - x;
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN) {
        if (ev->mouse.button != 1) return;
        float tp, tl;
        q_gui_strip_thumb(ctx, track, d->content, d->viewport, d->position, &tp, &tl);
        if (m >= tp && m < tp + tl) {
            d->grab = m - tp;
        } else {
            // A press on the track pages towards the pointer.
            d->grab = -1;
            _set(ctx, w, d->position + (m < tp ? -d->viewport : d->viewport), true);
        }
        return;
    }
    if ((w->state & Q_GUI_WS_CAPTURE) && d->grab >= 0)
        _set(ctx, w, q_gui_strip_pos(ctx, track, d->content, d->viewport, m, d->grab), true);
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    const Q_GUI_SCROLLBAR_DATA *d = _data(w);
    double to;
    const int r = q_gui_value_step(ev->keyboard.keycode, d->position, 0, d->content, _step(ctx, d),
                                   d->viewport, 0, &to);
    if (r == 2) _set(ctx, w, to, true);
    return r != 0;
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float dw) {
    const Q_GUI_SCROLLBAR_DATA *d = _data(w);
    const float delta = _vertical(d) ? dz : (dw != 0 ? dw : dz);
    _set(ctx, w, d->position - delta * _step(ctx, d), true);
    return 1;
}

static const Q_GUI_KIND_OPS k_scrollbar_ops = {
    .kind = Q_GUI_KIND_SCROLLBAR,
    .name = "scrollbar",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .wheel = _wheel,
};

int q_gui_add_scrollbar(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int orientation,
                        int shape, double content, double viewport, Q_GUI_VALUE_CB on_change, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_SCROLLBAR_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_SCROLLBAR_DATA);
    if (!d) return -1;
    d->orientation = orientation;
    d->shape = shape;
    d->content = content > 0 ? content : 1;
    d->viewport = viewport > 0 ? viewport : 1;
    d->grab = -1;
    d->on_change = on_change;
    d->user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_scrollbar_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_sb(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_SCROLLBAR);
}

void q_gui_scrollbar_set_position(Q_GUI_CTX *ctx, int id, double position) {
    Q_GUI_WIDGET *w = _sb(ctx, id);
    if (w) _set(ctx, w, position, false);
}

double q_gui_scrollbar_get_position(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _sb(ctx, id);
    return w ? _data(w)->position : 0;
}

void q_gui_scrollbar_set_range(Q_GUI_CTX *ctx, int id, double content, double viewport) {
    Q_GUI_WIDGET *w = _sb(ctx, id);
    if (!w) return;
    Q_GUI_SCROLLBAR_DATA *d = _data(w);
    d->content = content > 0 ? content : 1;
    d->viewport = viewport > 0 ? viewport : 1;
    _set(ctx, w, d->position, false);
    ctx->redraw = 1;
}

void q_gui_scrollbar_set_step(Q_GUI_CTX *ctx, int id, double step) {
    Q_GUI_WIDGET *w = _sb(ctx, id);
    if (w) _data(w)->step = step > 0 ? step : 0;
}

void q_gui_scrollbar_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *track, ALLEGRO_BITMAP *thumb) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_SCROLLBAR, "q_gui_scrollbar_set_bitmaps", "scrollbar");
    if (!w) return;
    _data(w)->bmp_track = track;
    _data(w)->bmp_thumb = thumb;
    ctx->redraw = 1;
}
