// q_gui checkbox kind: a box with a check mark and a label. A click (release
// over the box) or Space/Enter while focused flips it and calls back.

#include <algorithm>
#include <allegro5/allegro_primitives.h>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_CHECKBOX_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_CHECKBOX_DATA *>(w->data);
}

static void _flip(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_CHECKBOX_DATA *d = _data(w);
    d->checked = !d->checked;
    ctx->redraw = 1;
    if (d->on_toggle) d->on_toggle(w->id, d->checked, d->user);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_CHECKBOX_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const Q_GUI_STYLE *s = &ctx->style;
    const Q_GUI_LOOK look = q_gui_look(w, 0);
    const float size = std::min(s->checkbox_max_size, w->h);
    const float bx = x + 2, by = y + (w->h - size) / 2;
    ALLEGRO_BITMAP *bmp = d->checked ? d->bmp_on : d->bmp_off;
    if (bmp) {
        q_gui_draw_bitmap_in(bmp, bx, by, size, size);
    } else {
        q_gui_fill_box(ctx, bx, by, size, size, 3, 3, look.bg);
        q_gui_stroke_box(ctx, bx, by, size, size, 3, 3, look.border, t->border_thickness);
        if (d->checked) {
            const float m = s->checkbox_mark_margin;
            const ALLEGRO_COLOR mc = q_gui_dim(w, t->text_active);
            const float x0 = bx + m, x1 = bx + size * 0.42f, x2 = bx + size - m;
            const float y0 = by + size * 0.52f, y1 = by + size - m, y2 = by + m;
            al_draw_line(x0, y0, x1, y1, mc, s->checkbox_mark_thickness);
            al_draw_line(x1, y1, x2, y2, mc, s->checkbox_mark_thickness);
        }
    }
    if (w->state & Q_GUI_WS_FOCUSED)
        al_draw_rectangle(bx - 2.5f, by - 2.5f, bx + size + 2.5f, by + size + 2.5f, t->border_active, 1);
    if (d->label[0]) {
        ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
        const float tx = bx + size + s->checkbox_label_offset;
        const float ty = y + (w->h - (float)al_get_font_line_height(font)) / 2;
        q_gui_draw_text_fit(font, look.text, tx, ty, x + w->w - tx, 0, d->label);
    }
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_UP || ev->mouse.button != 1) return;
    if (!(w->state & Q_GUI_WS_PRESSED)) return;
    if (mx >= x && mx < x + w->w && my >= y && my < y + w->h) _flip(ctx, w);
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    const int k = ev->keyboard.keycode;
    if (k != ALLEGRO_KEY_SPACE && k != ALLEGRO_KEY_ENTER && k != ALLEGRO_KEY_PAD_ENTER) return 0;
    if (!ev->keyboard.repeat) _flip(ctx, w);
    return 1;
}

static const Q_GUI_KIND_OPS k_checkbox_ops = {
    .kind = Q_GUI_KIND_CHECKBOX,
    .name = "checkbox",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
};

int q_gui_add_checkbox(Q_GUI_CTX *ctx, int window, const char *label, float x, float y, float w, float h,
                       int checked, Q_GUI_INDEX_CB on_toggle, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_CHECKBOX_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_CHECKBOX_DATA);
    if (!d) return -1;
    q_strcpy(d->label, sizeof d->label, label ? label : "");
    d->checked = checked ? 1 : 0;
    d->on_toggle = on_toggle;
    d->user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_checkbox_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

void q_gui_checkbox_set_checked(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_CHECKBOX_DATA *d = q_gui_lookup<Q_GUI_CHECKBOX_DATA>(ctx, id);
    if (!d) return;
    d->checked = flag ? 1 : 0;
    ctx->redraw = 1;
}

int q_gui_checkbox_is_checked(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_CHECKBOX_DATA *d = q_gui_lookup<Q_GUI_CHECKBOX_DATA>(ctx, id);
    return d ? d->checked : 0;
}

void q_gui_checkbox_set_label(Q_GUI_CTX *ctx, int id, const char *label) {
    Q_GUI_CHECKBOX_DATA *d = q_gui_lookup<Q_GUI_CHECKBOX_DATA>(ctx, id);
    if (!d) return;
    q_strcpy(d->label, sizeof d->label, label ? label : "");
    ctx->redraw = 1;
}

const char *q_gui_checkbox_get_label(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_CHECKBOX_DATA *d = q_gui_lookup<Q_GUI_CHECKBOX_DATA>(ctx, id);
    return d ? d->label : "";
}

void q_gui_checkbox_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *unchecked, ALLEGRO_BITMAP *checked) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_CHECKBOX, "q_gui_checkbox_set_bitmaps", "checkbox");
    if (!w) return;
    _data(w)->bmp_off = unchecked;
    _data(w)->bmp_on = checked;
    ctx->redraw = 1;
}
