// q_gui image kind: an application bitmap (not owned) stretched, centred or
// fitted with its aspect ratio kept.

#include <algorithm>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_IMAGE_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_IMAGE_DATA *>(w->data);
}

static void _draw(Q_GUI_CTX *, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_IMAGE_DATA *d = _data(w);
    if (!d->bitmap) return;
    const ALLEGRO_COLOR tint = w->enabled ? al_map_rgba_f(1, 1, 1, 1) : al_map_rgba_f(0.5f, 0.5f, 0.5f, 0.5f);
    q_gui_draw_bitmap_mode(d->bitmap, tint, d->scale_mode, x, y, w->w, w->h);
}

static int _moves_window(const Q_GUI_WIDGET *) {
    return 1;
}

static const Q_GUI_KIND_OPS k_image_ops = {
    .kind = Q_GUI_KIND_IMAGE,
    .name = "image",
    .draw = _draw,
    .moves_window = _moves_window,
};

int q_gui_add_image(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, ALLEGRO_BITMAP *bitmap,
                    int scale_mode) {
    Q_GUARD(ctx, -1);
    Q_GUI_IMAGE_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_IMAGE_DATA);
    if (!d) return -1;
    d->bitmap = bitmap;
    d->scale_mode = scale_mode;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_image_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

void q_gui_image_set_bitmap(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap, int scale_mode) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_IMAGE);
    if (!w) return;
    _data(w)->bitmap = bitmap;
    _data(w)->scale_mode = scale_mode;
    ctx->redraw = 1;
}
