// q_gui custom kind: the application draws the widget and receives its mouse
// events. Pop-up menus are built on it.

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_CUSTOM_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_CUSTOM_DATA *>(w->data);
}

static void _draw(Q_GUI_CTX *, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_CUSTOM_DATA *d = _data(w);
    if (d->on_draw) d->on_draw(w->id, x, y, w->w, w->h, d->draw_user);
}

static void _mouse(Q_GUI_CTX *, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx, float my,
                   float, float) {
    const Q_GUI_CUSTOM_DATA *d = _data(w);
    if (d->on_mouse) d->on_mouse(w->id, ev, mx, my, d->mouse_user);
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    const Q_GUI_CUSTOM_DATA *d = _data(w);
    if (d->on_destroy) d->on_destroy(w->id, d->destroy_user);
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float dw) {
    const Q_GUI_CUSTOM_DATA *d = _data(w);
    return d->on_wheel ? d->on_wheel(w->id, dz, dw, (float)ctx->mouse_x, (float)ctx->mouse_y, d->wheel_user)
                       : 0;
}

static const Q_GUI_KIND_OPS k_custom_ops = {
    .kind = Q_GUI_KIND_CUSTOM,
    .name = "custom",
    .draw = _draw,
    .mouse = _mouse,
    .destroy = _destroy,
    .wheel = _wheel,
};

int q_gui_add_custom(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                     Q_GUI_CUSTOM_DRAW_CB on_draw, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_CUSTOM_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_CUSTOM_DATA);
    if (!d) return -1;
    d->on_draw = on_draw;
    d->draw_user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_custom_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

void q_gui_custom_set_mouse(Q_GUI_CTX *ctx, int id, Q_GUI_CUSTOM_MOUSE_CB cb, void *user) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_CUSTOM);
    if (!w) return;
    _data(w)->on_mouse = cb;
    _data(w)->mouse_user = user;
}

void q_gui_custom_set_destroy(Q_GUI_CTX *ctx, int id, Q_GUI_CUSTOM_DESTROY_CB cb, void *user) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_CUSTOM);
    if (!w) return;
    _data(w)->on_destroy = cb;
    _data(w)->destroy_user = user;
}

void q_gui_custom_set_wheel(Q_GUI_CTX *ctx, int id, Q_GUI_CUSTOM_WHEEL_CB cb, void *user) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_CUSTOM);
    if (!w) return;
    _data(w)->on_wheel = cb;
    _data(w)->wheel_user = user;
}
