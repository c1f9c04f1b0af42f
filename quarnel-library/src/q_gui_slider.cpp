// q_gui slider kind: a value in a range picked by dragging a handle along a
// track, or by the arrow, Home/End and page keys while focused.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstdio>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_SLIDER_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_SLIDER_DATA *>(w->data);
}

static double _clamp(const Q_GUI_SLIDER_DATA *d, double v) {
    if (!std::isfinite(v)) v = d->min;
    return v < d->min ? d->min : v > d->max ? d->max : v;
}

static void _set(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, double v, bool notify) {
    Q_GUI_SLIDER_DATA *d = _data(w);
    v = _clamp(d, v);
    if (v == d->value) return;
    d->value = v;
    ctx->redraw = 1;
    if (notify && d->on_change) d->on_change(w->id, v, d->user);
}

static double _step(const Q_GUI_SLIDER_DATA *d) {
    return d->step > 0 ? d->step : (d->max - d->min) / 100.0;
}

// Track geometry: where the handle's centre can go.
static void _track(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, float *a, float *b,
                   float *r) {
    const Q_GUI_SLIDER_DATA *d = _data(w);
    const float thick = d->orientation ? w->w : w->h;
    *r = std::max(ctx->style.slider_handle_min_r, thick / 2 - ctx->style.slider_handle_edge_offset);
    if (d->orientation) {
        *a = y + w->h - *r - 1;
        *b = y + *r + 1;
    } else {
        *a = x + *r + 1;
        *b = x + w->w - *r - 1;
    }
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_SLIDER_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const Q_GUI_STYLE *s = &ctx->style;
    const bool drag = (w->state & Q_GUI_WS_CAPTURE) != 0;
    float a, b, r;
    _track(ctx, w, x, y, &a, &b, &r);
    const double f = d->max > d->min ? (d->value - d->min) / (d->max - d->min) : 0;
    const float pos = a + (b - a) * (float)f;
    const float ts = s->slider_track_size;
    float hx, hy;
    if (d->bmp_track) {
        q_gui_draw_bitmap_in(d->bmp_track, x, y, w->w, w->h);
    }
    if (d->orientation) {
        const float cx = x + w->w / 2;
        hx = cx;
        hy = pos;
        if (!d->bmp_track) {
            al_draw_filled_rounded_rectangle(cx - ts / 2, b, cx + ts / 2, a, s->slider_track_corner_r,
                                             s->slider_track_corner_r, t->bg_active);
            al_draw_filled_rounded_rectangle(cx - ts / 2, pos, cx + ts / 2, a, s->slider_track_corner_r,
                                             s->slider_track_corner_r, q_gui_dim(w, t->selection_color));
            al_draw_rounded_rectangle(cx - ts / 2, b, cx + ts / 2, a, s->slider_track_corner_r,
                                      s->slider_track_corner_r, t->border_normal,
                                      s->slider_track_border_thickness);
        }
    } else {
        const float cy = y + w->h / 2;
        hx = pos;
        hy = cy;
        if (!d->bmp_track) {
            al_draw_filled_rounded_rectangle(a, cy - ts / 2, b, cy + ts / 2, s->slider_track_corner_r,
                                             s->slider_track_corner_r, t->bg_active);
            al_draw_filled_rounded_rectangle(a, cy - ts / 2, pos, cy + ts / 2, s->slider_track_corner_r,
                                             s->slider_track_corner_r, q_gui_dim(w, t->selection_color));
            al_draw_rounded_rectangle(a, cy - ts / 2, b, cy + ts / 2, s->slider_track_corner_r,
                                      s->slider_track_corner_r, t->border_normal,
                                      s->slider_track_border_thickness);
        }
    }
    if (d->bmp_handle) {
        q_gui_draw_bitmap_in(d->bmp_handle, hx - r, hy - r, 2 * r, 2 * r);
    } else {
        const Q_GUI_LOOK look = q_gui_look(w, drag);
        al_draw_filled_circle(hx, hy, r, look.bg);
        al_draw_circle(hx, hy, r, look.border, s->slider_handle_border_thickness);
    }
    if (w->state & Q_GUI_WS_FOCUSED) al_draw_circle(hx, hy, r + 2.5f, t->border_active, 1);
    if (drag) {
        // The value follows the handle while it is dragged.
        char text[48];
        if (d->mode == 1)
            snprintf(text, sizeof text, "%.0f%%", d->value);
        else
            snprintf(text, sizeof text, "%.4g", d->value);
        ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
        const float lh = (float)al_get_font_line_height(font);
        if (d->orientation)
            al_draw_text(font, t->text_active, hx + r + s->slider_value_label_offset, hy - lh / 2, 0, text);
        else
            al_draw_text(font, t->text_active, hx, hy - r - s->slider_value_label_offset - lh,
                         ALLEGRO_ALIGN_CENTRE, text);
    }
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    if (!(w->state & Q_GUI_WS_CAPTURE)) return;
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button != 1) return;
    const Q_GUI_SLIDER_DATA *d = _data(w);
    float a, b, r;
    _track(ctx, w, x, y, &a, &b, &r);
    const float m = d->orientation ? my : mx;
    double f = b != a ? (m - a) / (b - a) : 0;
    f = f < 0 ? 0 : f > 1 ? 1 : f;
    double v = d->min + f * (d->max - d->min);
    if (d->step > 0) v = d->min + std::round((v - d->min) / d->step) * d->step;
    _set(ctx, w, v, true);
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    const Q_GUI_SLIDER_DATA *d = _data(w);
    const double st = _step(d);
    double to;
    const int r = q_gui_value_step(ev->keyboard.keycode, d->value, d->min, d->max, st, 10 * st, 1, &to);
    if (r == 2) _set(ctx, w, to, true);
    return r != 0;
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float) {
    const Q_GUI_SLIDER_DATA *d = _data(w);
    _set(ctx, w, d->value + dz * _step(d), true);
    return 1;
}

static const Q_GUI_KIND_OPS k_slider_ops = {
    .kind = Q_GUI_KIND_SLIDER,
    .name = "slider",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .wheel = _wheel,
};

int q_gui_add_slider(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, double min, double max,
                     double value, int mode, Q_GUI_VALUE_CB on_change, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_SLIDER_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_SLIDER_DATA);
    if (!d) return -1;
    d->mode = mode;
    if (mode == 1) {
        min = 0;
        max = 100;
    }
    if (!(min <= max)) std::swap(min, max);
    d->min = min;
    d->max = max;
    d->value = _clamp(d, value);
    d->orientation = h > w ? 1 : 0;
    d->on_change = on_change;
    d->user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_slider_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_slider(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_SLIDER);
}

void q_gui_slider_set_value(Q_GUI_CTX *ctx, int id, double value) {
    Q_GUI_WIDGET *w = _slider(ctx, id);
    if (w) _set(ctx, w, value, false);
}

double q_gui_slider_get_value(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _slider(ctx, id);
    return w ? _data(w)->value : 0;
}

void q_gui_slider_set_range(Q_GUI_CTX *ctx, int id, double min, double max) {
    Q_GUI_WIDGET *w = _slider(ctx, id);
    if (!w) return;
    Q_GUI_SLIDER_DATA *d = _data(w);
    if (d->mode == 1) return; // a percentage slider keeps 0..100
    if (!(min <= max)) std::swap(min, max);
    d->min = min;
    d->max = max;
    d->value = _clamp(d, d->value);
    ctx->redraw = 1;
}

void q_gui_slider_set_step(Q_GUI_CTX *ctx, int id, double step) {
    Q_GUI_WIDGET *w = _slider(ctx, id);
    if (w) _data(w)->step = step > 0 ? step : 0;
}

void q_gui_slider_set_orientation(Q_GUI_CTX *ctx, int id, int vertical) {
    Q_GUI_WIDGET *w = _slider(ctx, id);
    if (!w) return;
    _data(w)->orientation = vertical ? 1 : 0;
    ctx->redraw = 1;
}

void q_gui_slider_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *track, ALLEGRO_BITMAP *handle) {
    Q_GUI_WIDGET *w = q_gui_widget_expect(ctx, id, Q_GUI_KIND_SLIDER, "q_gui_slider_set_bitmaps", "slider");
    if (!w) return;
    _data(w)->bmp_track = track;
    _data(w)->bmp_handle = handle;
    ctx->redraw = 1;
}
