// q_gui hex view kind: a read-only dump of a byte copy, 16 bytes a row, as
// offset, hex bytes and printable characters, with a cursor byte.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_HEXVIEW_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_HEXVIEW_DATA *>(w->data);
}

static float _row_h(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return (float)al_get_font_line_height(q_gui_widget_font(ctx, w)) + 2;
}

static size_t _rows(const Q_GUI_HEXVIEW_DATA *d) {
    return (d->size + (size_t)d->per_row - 1) / (size_t)d->per_row;
}

static size_t _visible(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return (size_t)std::max(1.0f, floorf((w->h - 8) / _row_h(ctx, w)));
}

static void _clamp(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    Q_GUI_HEXVIEW_DATA *d = _data(w);
    const size_t rows = _rows(d), vis = _visible(ctx, w);
    const size_t maxs = rows > vis ? rows - vis : 0;
    if (d->scroll > maxs) d->scroll = maxs;
}

// Column geometry: the character cell width of the font (a monospace font is
// expected; with a proportional one "0" sets the pitch).
static float _cw(ALLEGRO_FONT *font) {
    return (float)al_get_glyph_advance(font, '0', ALLEGRO_NO_KERNING);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_HEXVIEW_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    _clamp(ctx, w);
    q_gui_fill_box(ctx, x, y, w->w, w->h, 0, 0, t->bg_normal);
    const float rh = _row_h(ctx, w), cw = _cw(font);
    const size_t vis = _visible(ctx, w), rows = _rows(d);
    const float hex_x = x + 4 + cw * 10, asc_x = hex_x + cw * (3 * (float)d->per_row + 1);
    const ALLEGRO_COLOR dim = q_gui_with_alpha(t->text_normal, t->text_normal.a * 0.55f);
    const ALLEGRO_COLOR tc = q_gui_dim(w, t->text_normal);
    for (size_t r = d->scroll; r < rows && r < d->scroll + vis + 1; r++) {
        const float ry = y + 4 + rh * (float)(r - d->scroll);
        char buf[32];
        snprintf(buf, sizeof buf, "%08zx", r * (size_t)d->per_row);
        al_draw_text(font, dim, x + 4, ry, 0, buf);
        for (int k = 0; k < d->per_row; k++) {
            const size_t i = r * (size_t)d->per_row + (size_t)k;
            if (i >= d->size) break;
            const float bx = hex_x + cw * 3 * (float)k + (k >= d->per_row / 2 ? cw / 2 : 0);
            const float ax = asc_x + cw * (float)k;
            if (i == d->cursor && (w->state & Q_GUI_WS_FOCUSED)) {
                al_draw_filled_rectangle(bx - 1, ry, bx + cw * 2 + 1, ry + rh - 1, t->selection_color);
                al_draw_filled_rectangle(ax, ry, ax + cw, ry + rh - 1, t->selection_color);
            }
            snprintf(buf, sizeof buf, "%02x", d->bytes[i]);
            al_draw_text(font, tc, bx, ry, 0, buf);
            const unsigned char c = d->bytes[i];
            const char s[2] = {(char)(c >= 32 && c < 127 ? c : '.'), 0};
            al_draw_text(font, c >= 32 && c < 127 ? tc : dim, ax, ry, 0, s);
        }
    }
    if (rows > vis) {
        const float sw = ctx->style.scrollbar_size;
        q_gui_draw_strip(ctx, x + w->w - sw, y, sw, w->h, 1, (double)rows, (double)vis, (double)d->scroll, 0);
    }
    q_gui_stroke_view_border(ctx, w, x, y, 0, 0);
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_HEXVIEW_DATA *d = _data(w);
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN || ev->mouse.button != 1 || d->size == 0) return;
    // Only a view that holds data takes the focus by a click.
    q_gui_set_focus(ctx, w->id);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float cw = _cw(font), hex_x = x + 4 + cw * 10, asc_x = hex_x + cw * (3 * (float)d->per_row + 1);
    const int row = (int)floorf((my - y - 4) / _row_h(ctx, w));
    int col;
    if (mx >= asc_x)
        col = (int)floorf((mx - asc_x) / cw);
    else
        col = (int)floorf((mx - hex_x) / (3 * cw));
    if (row < 0 || col < 0 || col >= d->per_row) return;
    const size_t i = (d->scroll + (size_t)row) * (size_t)d->per_row + (size_t)col;
    if (i < d->size) d->cursor = i;
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_HEXVIEW_DATA *d = _data(w);
    if (d->size == 0) return 0;
    const long per = d->per_row, page = per * (long)std::max<size_t>(1, _visible(ctx, w) - 1);
    long c = (long)d->cursor;
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_LEFT:
        c -= 1;
        break;
    case ALLEGRO_KEY_RIGHT:
        c += 1;
        break;
    case ALLEGRO_KEY_UP:
        c -= per;
        break;
    case ALLEGRO_KEY_DOWN:
        c += per;
        break;
    case ALLEGRO_KEY_PGUP:
        c -= page;
        break;
    case ALLEGRO_KEY_PGDN:
        c += page;
        break;
    case ALLEGRO_KEY_HOME:
        c = 0;
        break;
    case ALLEGRO_KEY_END:
        c = (long)d->size - 1;
        break;
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        return 1;
    default:
        return 0;
    }
    c = std::max(0L, std::min((long)d->size - 1, c));
    d->cursor = (size_t)c;
    const size_t row = d->cursor / (size_t)d->per_row, vis = _visible(ctx, w);
    if (row < d->scroll) d->scroll = row;
    if (row >= d->scroll + vis) d->scroll = row - vis + 1;
    ctx->redraw = 1;
    return 1;
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float) {
    Q_GUI_HEXVIEW_DATA *d = _data(w);
    const long s = (long)d->scroll - (long)(dz * 3);
    d->scroll = (size_t)std::max(0L, s);
    _clamp(ctx, w);
    return 1;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_FREE(_data(w)->bytes);
}

static const Q_GUI_KIND_OPS k_hexview_ops = {
    .kind = Q_GUI_KIND_HEXVIEW,
    .name = "hexview",
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
    .wheel = _wheel,
};

int q_gui_add_hexview(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h) {
    Q_GUARD(ctx, -1);
    Q_GUI_HEXVIEW_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_HEXVIEW_DATA);
    if (!d) return -1;
    d->per_row = 16;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_hexview_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

void q_gui_hexview_set_data(Q_GUI_CTX *ctx, int id, const void *bytes, size_t size) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_HEXVIEW);
    if (!w) return;
    Q_GUI_HEXVIEW_DATA *d = _data(w);
    unsigned char *copy = nullptr;
    if (bytes && size > 0) {
        Q_CALLOC(copy, size, unsigned char);
        if (!copy) return;
        memcpy(copy, bytes, size);
    }
    Q_FREE(d->bytes);
    d->bytes = copy;
    d->size = copy ? size : 0;
    d->cursor = 0;
    d->scroll = 0;
    ctx->redraw = 1;
}

size_t q_gui_hexview_get_cursor(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_HEXVIEW);
    return w ? _data(w)->cursor : 0;
}
