// q_gui item lists: the layout, drawing, hit test and highlight moves of the
// open list the combobox and the drop-down menu share, and the key steps of
// the one-choice kinds. Each kind keeps its items, opening and picking.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_gui_internal.h"

void q_gui_drop_list_place(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, Q_GUI_DROP_LIST *l, float max_w,
                           int prefer_above) {
    const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, w);
    float x = 0, y = 0;
    if (win) q_gui_widget_origin(win, w, &x, &y);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    float width = w->w;
    for (int i = 0; i < l->count; i++) {
        const char *text = l->text_at(w, i);
        width = std::max(width, q_gui_text_w(font, text, (int)strlen(text)) +
                                    2 * ctx->style.item_text_padding + ctx->style.scrollbar_size);
    }
    if (max_w > 0) width = std::min(width, max_w);
    width = std::max(width, std::min(w->w, max_w > 0 ? max_w : w->w));
    const float h = l->row_h * (float)l->rows;
    float top, bottom;
    q_gui_overlay_area(ctx, win, &top, &bottom);
    const bool fits_below = y + w->h + h <= bottom, room_above = y - h >= top;
    const bool above = prefer_above ? room_above : (!fits_below && room_above);
    l->x = x;
    l->y = above ? y - h : y + w->h;
    l->w = width;
    l->h = h;
}

int q_gui_drop_list_hit(const Q_GUI_DROP_LIST *l, float mx, float my, int *index) {
    if (!(mx >= l->x && mx < l->x + l->w && my >= l->y && my < l->y + l->h)) return 0;
    *index = l->first + (int)floorf((my - l->y) / l->row_h);
    return 1;
}

void q_gui_drop_list_move(int *highlight, int *first, int count, int rows, int delta) {
    if (count == 0) return;
    *highlight = std::max(0, std::min(count - 1, *highlight + delta));
    if (*highlight < *first) *first = *highlight;
    if (*highlight >= *first + rows) *first = *highlight - rows + 1;
}

int q_gui_drop_list_key_move(int keycode, int *highlight, int *first, int count, int rows, int paging) {
    int delta;
    switch (keycode) {
    case ALLEGRO_KEY_HOME:
        delta = -count;
        break;
    case ALLEGRO_KEY_END:
        delta = count;
        break;
    case ALLEGRO_KEY_UP:
        delta = -1;
        break;
    case ALLEGRO_KEY_DOWN:
        delta = 1;
        break;
    case ALLEGRO_KEY_PGUP:
        if (!paging) return 0;
        delta = -rows;
        break;
    case ALLEGRO_KEY_PGDN:
        if (!paging) return 0;
        delta = rows;
        break;
    default:
        return 0;
    }
    q_gui_drop_list_move(highlight, first, count, rows, delta);
    return 1;
}

int q_gui_item_step(int keycode, int current, int count, int *to) {
    int t = current;
    switch (keycode) {
    case ALLEGRO_KEY_UP:
    case ALLEGRO_KEY_LEFT:
        t = t < 0 ? 0 : t - 1;
        break;
    case ALLEGRO_KEY_DOWN:
    case ALLEGRO_KEY_RIGHT:
        t = t + 1;
        break;
    case ALLEGRO_KEY_HOME:
    case ALLEGRO_KEY_PGUP:
        t = 0;
        break;
    case ALLEGRO_KEY_END:
    case ALLEGRO_KEY_PGDN:
        t = count - 1;
        break;
    default:
        return 0;
    }
    *to = std::max(0, std::min(count - 1, t));
    return 1;
}

int q_gui_row_step(int keycode, int current, int count, int page, int *to) {
    int t = current;
    switch (keycode) {
    case ALLEGRO_KEY_UP:
        t = t < 0 ? 0 : t - 1;
        break;
    case ALLEGRO_KEY_DOWN:
        t = t + 1;
        break;
    case ALLEGRO_KEY_PGUP:
        t = t - page;
        break;
    case ALLEGRO_KEY_PGDN:
        t = t < 0 ? page : t + page;
        break;
    case ALLEGRO_KEY_HOME:
        t = 0;
        break;
    case ALLEGRO_KEY_END:
        t = count - 1;
        break;
    default:
        return 0;
    }
    *to = std::max(0, std::min(count - 1, t));
    return 1;
}

// =============================================================================
// Drop lists: what the combobox and the drop-down menu do alike
// =============================================================================

Q_GUI_DROP *q_gui_drop(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_DROP *>(w->data);
}

int q_gui_drop_rows(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_DROP *d = q_gui_drop(w);
    const int vis = ctx->style.*d->kind->max_visible;
    return std::min(d->count, vis > 0 ? vis : d->kind->default_rows);
}

Q_GUI_DROP_LIST q_gui_drop_list_base(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_DROP *d = q_gui_drop(w);
    Q_GUI_DROP_LIST l = {};
    l.row_h = d->row_h;
    l.count = d->count;
    l.first = d->first;
    l.rows = q_gui_drop_rows(ctx, w);
    l.highlight = d->highlight;
    l.selected = -1;
    l.strip = d->count > l.rows;
    l.bmp = d->bmp_list;
    l.text_at = d->kind->text_at;
    return l;
}

int q_gui_drop_is_open(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_DROP *d = q_gui_drop(w);
    return d->open && q_gui_overlay_held(ctx, d->kind->layer, w);
}

void q_gui_drop_hold(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int flag) {
    Q_GUI_DROP *d = q_gui_drop(w);
    if (flag)
        q_gui_overlay_open(ctx, d->kind->layer, w, &q_gui_drop_overlay);
    else
        q_gui_overlay_release(ctx, d->kind->layer, w);
    d->open = flag ? 1 : 0;
    ctx->redraw = 1;
}

void q_gui_drop_mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float, float,
                      float, float) {
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN || ev->mouse.button != 1) return;
    q_gui_drop(w)->kind->set_open(ctx, w, !q_gui_drop_is_open(ctx, w));
}

void q_gui_drop_draw_box(Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, const char *text) {
    const Q_GUI_DROP *d = q_gui_drop(w);
    const Q_GUI_THEME *t = &w->theme;
    const Q_GUI_LOOK look = q_gui_look(w, q_gui_drop_is_open(ctx, w));
    if (d->bmp_box)
        q_gui_draw_bitmap_in(d->bmp_box, x, y, w->w, w->h);
    else
        q_gui_fill_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, look.bg);
    q_gui_stroke_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, look.border,
                     (w->state & Q_GUI_WS_FOCUSED) ? t->border_thickness + 1 : t->border_thickness);
    if (!text) return;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float pad = ctx->style.item_text_padding;
    q_gui_draw_text_fit(font, look.text, x + pad, y + (w->h - (float)al_get_font_line_height(font)) / 2,
                        w->w - ctx->style.dropdown_arrow_reserve - 2 * pad, 0, text);
}

static int _drop_key(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_DROP *d = q_gui_drop(w);
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        d->kind->pick(ctx, w, d->highlight);
        return 1;
    case ALLEGRO_KEY_ESCAPE:
        d->kind->set_open(ctx, w, 0);
        return 1;
    default:
        return q_gui_drop_list_key_move(ev->keyboard.keycode, &d->highlight, &d->first, d->count,
                                        q_gui_drop_rows(ctx, w), d->kind->paging);
    }
}

// A press on an item picks it; on the box itself it only closes; anywhere
// else it closes and goes on to whatever is under the pointer.
static int _drop_press(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx, float my) {
    const Q_GUI_DROP *d = q_gui_drop(w);
    const Q_GUI_DROP_LIST l = d->kind->list(ctx, w);
    int i;
    if (q_gui_drop_list_hit(&l, mx, my, &i)) {
        if (ev->mouse.button == 1) d->kind->pick(ctx, w, i);
        return 1;
    }
    d->kind->set_open(ctx, w, 0);
    return q_gui_widget_hit(ctx, w, mx, my);
}

static int _drop_wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz) {
    Q_GUI_DROP *d = q_gui_drop(w);
    q_gui_drop_list_move(&d->highlight, &d->first, d->count, q_gui_drop_rows(ctx, w), -(int)dz);
    return 1;
}

static void _drop_draw(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    const Q_GUI_DROP *d = q_gui_drop(w);
    if (!d->open || d->count == 0) return;
    const Q_GUI_DROP_LIST l = d->kind->list(ctx, w);
    q_gui_drop_list_draw(ctx, w, &l);
}

static void _drop_displaced(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    q_gui_drop(w)->open = 0;
}

const Q_GUI_OVERLAY_OPS q_gui_drop_overlay = {
    .key = _drop_key,
    .mouse = _drop_press,
    .wheel = _drop_wheel,
    .draw = _drop_draw,
    .displaced = _drop_displaced,
};

// =============================================================================
// Key steps of the value kinds (scroll bar, slider)
// =============================================================================

int q_gui_nav_takes_key(const Q_GUI_WIDGET *, int keycode) {
    switch (keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_HOME:
    case ALLEGRO_KEY_END:
    case ALLEGRO_KEY_PGUP:
    case ALLEGRO_KEY_PGDN:
    case ALLEGRO_KEY_LEFT:
    case ALLEGRO_KEY_RIGHT:
    case ALLEGRO_KEY_UP:
    case ALLEGRO_KEY_DOWN:
    case ALLEGRO_KEY_PAD_ENTER:
        return 1;
    default:
        return 0;
    }
}

int q_gui_value_step(int keycode, double value, double lo, double hi, double step, double page, int up_raises,
                     double *to) {
    const double up = up_raises ? 1 : -1;
    switch (keycode) {
    case ALLEGRO_KEY_LEFT:
        *to = value - step;
        return 2;
    case ALLEGRO_KEY_RIGHT:
        *to = value + step;
        return 2;
    case ALLEGRO_KEY_UP:
        *to = value + up * step;
        return 2;
    case ALLEGRO_KEY_DOWN:
        *to = value - up * step;
        return 2;
    case ALLEGRO_KEY_PGUP:
        *to = value + up * page;
        return 2;
    case ALLEGRO_KEY_PGDN:
        *to = value - up * page;
        return 2;
    case ALLEGRO_KEY_HOME:
        *to = lo;
        return 2;
    case ALLEGRO_KEY_END:
        *to = hi;
        return 2;
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        return 1;
    default:
        return 0;
    }
}
