// q_gui split pane kind: a band between two panes that the user drags. The
// pane only reports the ratio; the application lays out both panes from it.

#include <allegro5/allegro_primitives.h>
#include <cmath>

#include "q_common.h"
#include "q_gui_internal.h"

static const float k_band = 6.0f;

static Q_GUI_SPLITPANE_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_SPLITPANE_DATA *>(w->data);
}

static double _clamp(const Q_GUI_SPLITPANE_DATA *d, double r) {
    if (!std::isfinite(r)) r = 0.5;
    return r < d->min_ratio ? d->min_ratio : r > d->max_ratio ? d->max_ratio : r;
}

static bool _stacked(const Q_GUI_SPLITPANE_DATA *d) {
    return d->orientation == 1;
}

// Centre of the band in canvas coordinates along the split axis.
static float _band_pos(const Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_SPLITPANE_DATA *d = _data(w);
    return _stacked(d) ? y + (float)(w->h * d->ratio) : x + (float)(w->w * d->ratio);
}

static void _draw(Q_GUI_CTX *, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_SPLITPANE_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const bool drag = (w->state & Q_GUI_WS_CAPTURE) != 0, hover = (w->state & Q_GUI_WS_HOVER) && w->enabled;
    const ALLEGRO_COLOR c = drag ? t->border_active : hover ? t->border_hover : t->bg_active;
    const float p = _band_pos(w, x, y), half = d->band / 2;
    if (_stacked(d)) {
        al_draw_filled_rectangle(x, p - half, x + w->w, p + half, q_gui_dim(w, c));
        for (int i = -1; i <= 1; i++) // grip dots
            al_draw_filled_circle(x + w->w / 2 + 6.0f * (float)i, p, 1.2f, t->text_normal);
    } else {
        al_draw_filled_rectangle(p - half, y, p + half, y + w->h, q_gui_dim(w, c));
        for (int i = -1; i <= 1; i++)
            al_draw_filled_circle(p, y + w->h / 2 + 6.0f * (float)i, 1.2f, t->text_normal);
    }
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_SPLITPANE_DATA *d = _data(w);
    const bool stacked = _stacked(d);
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN) {
        // Only a press within the grab zone around the band starts a drag.
        const float m = stacked ? my : mx;
        if (ev->mouse.button != 1 || fabsf(m - _band_pos(w, x, y)) > d->band) {
            w->state &= ~(Q_GUI_WS_CAPTURE | Q_GUI_WS_PRESSED);
            if (ctx->capture == w->id) ctx->capture = -1;
        }
        return;
    }
    if (!(w->state & Q_GUI_WS_CAPTURE) || ev->type != ALLEGRO_EVENT_MOUSE_AXES) return;
    const float len = stacked ? w->h : w->w;
    if (len <= 0) return;
    const double r = _clamp(d, (stacked ? my - y : mx - x) / len);
    if (r == d->ratio) return;
    d->ratio = r;
    ctx->redraw = 1;
    if (d->on_change) d->on_change(w->id, r, d->user);
}

static int _cursor_at(const Q_GUI_CTX *, const Q_GUI_WIDGET *w, float, float) {
    return _stacked(_data(w)) ? ALLEGRO_SYSTEM_MOUSE_CURSOR_RESIZE_N : ALLEGRO_SYSTEM_MOUSE_CURSOR_RESIZE_E;
}

static const Q_GUI_KIND_OPS k_splitpane_ops = {
    .kind = Q_GUI_KIND_SPLITPANE,
    .name = "splitpane",
    .draw = _draw,
    .mouse = _mouse,
    .cursor_at = _cursor_at,
};

int q_gui_add_splitpane(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int orientation,
                        double ratio, Q_GUI_VALUE_CB on_change, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_SPLITPANE_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_SPLITPANE_DATA);
    if (!d) return -1;
    d->orientation = orientation;
    d->min_ratio = 0.05;
    d->max_ratio = 0.95;
    d->ratio = _clamp(d, ratio);
    d->band = k_band;
    d->on_change = on_change;
    d->user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_splitpane_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

double q_gui_splitpane_get_ratio(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_SPLITPANE_DATA *d = q_gui_lookup<Q_GUI_SPLITPANE_DATA>(ctx, id);
    return d ? d->ratio : 0.5;
}

void q_gui_splitpane_set_ratio(Q_GUI_CTX *ctx, int id, double ratio) {
    Q_GUI_SPLITPANE_DATA *d = q_gui_lookup<Q_GUI_SPLITPANE_DATA>(ctx, id);
    if (!d) return;
    d->ratio = _clamp(d, ratio);
    ctx->redraw = 1;
}

void q_gui_splitpane_set_limits(Q_GUI_CTX *ctx, int id, double min, double max) {
    Q_GUI_SPLITPANE_DATA *d = q_gui_lookup<Q_GUI_SPLITPANE_DATA>(ctx, id);
    if (!d) return;
    if (!std::isfinite(min)) min = 0;
    if (!std::isfinite(max)) max = 1;
    min = min < 0 ? 0 : min;
    max = max > 1 ? 1 : max;
    if (min > max) min = max;
    d->min_ratio = min;
    d->max_ratio = max;
    d->ratio = _clamp(d, d->ratio);
    ctx->redraw = 1;
}

float q_gui_splitpane_band(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_SPLITPANE_DATA *d = q_gui_lookup<Q_GUI_SPLITPANE_DATA>(ctx, id);
    return d ? 2 * d->band : 0;
}
