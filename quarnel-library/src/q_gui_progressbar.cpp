// q_gui progress bar kind: a filled share 0..1 with an optional text on it.

#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_PROGRESSBAR_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_PROGRESSBAR_DATA *>(w->data);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_PROGRESSBAR_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    q_gui_fill_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, t->bg_normal);
    const float fw = (float)(w->w * d->value);
    if (fw > 1) {
        ALLEGRO_COLOR fill = q_gui_with_alpha(t->selection_color, 0.9f);
        q_gui_fill_box(ctx, x, y, fw, w->h, t->corner_rx, t->corner_ry, q_gui_dim(w, fill));
    }
    q_gui_stroke_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, q_gui_look(w, 0).border,
                     t->border_thickness);
    if (d->text[0]) {
        ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
        q_gui_draw_text_fit(font, q_gui_dim(w, t->text_active), x + w->w / 2,
                            y + (w->h - (float)al_get_font_line_height(font)) / 2, w->w - 8, 1, d->text);
    }
}

static int _moves_window(const Q_GUI_WIDGET *) {
    return 1;
}

static const Q_GUI_KIND_OPS k_progressbar_ops = {
    .kind = Q_GUI_KIND_PROGRESSBAR,
    .name = "progressbar",
    .draw = _draw,
    .moves_window = _moves_window,
};

int q_gui_add_progressbar(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h) {
    Q_GUARD(ctx, -1);
    Q_GUI_PROGRESSBAR_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_PROGRESSBAR_DATA);
    if (!d) return -1;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_progressbar_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

void q_gui_progressbar_set_value(Q_GUI_CTX *ctx, int id, double value) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_PROGRESSBAR);
    if (!w) return;
    if (!std::isfinite(value)) value = 0;
    _data(w)->value = value < 0 ? 0 : value > 1 ? 1 : value;
    ctx->redraw = 1;
}

double q_gui_progressbar_get_value(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_PROGRESSBAR);
    return w ? _data(w)->value : 0;
}

void q_gui_progressbar_set_text(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_PROGRESSBAR);
    if (!w) return;
    Q_GUI_PROGRESSBAR_DATA *d = _data(w);
    const char *t = text ? text : "";
    const size_t n = q_gui_utf8_cut(t, strlen(t), sizeof d->text - 1);
    memcpy(d->text, t, n);
    d->text[n] = 0;
    ctx->redraw = 1;
}
