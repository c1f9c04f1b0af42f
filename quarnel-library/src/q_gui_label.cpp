// q_gui label kind: static text (one line aligned left, centred or right, or a
// wrapped paragraph), optionally a link, with mouse selection and Ctrl+C.

#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_LABEL_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_LABEL_DATA *>(w->data);
}

// Copies text without carriage returns, cut at the capacity on a character
// boundary.
static void _set_text(Q_GUI_LABEL_DATA *d, const char *text) {
    size_t n = 0;
    for (const char *p = text ? text : ""; *p && n + 1 < sizeof d->text; p++)
        if (*p != '\r') d->text[n++] = *p;
    while (n > 0 && ((unsigned char)d->text[n - 1] & 0x80)) {
        // Drop a trailing partial UTF-8 sequence left by the cut.
        size_t s = n - 1;
        while (s > 0 && ((unsigned char)d->text[s] & 0xC0) == 0x80)
            s--;
        const unsigned char lead = (unsigned char)d->text[s];
        const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (n - s >= need) break;
        n = s;
    }
    d->text[n] = 0;
    d->sel_start = d->sel_end = -1;
}

// ---- line layout ---------------------------------------------------------------

#define LABEL_MAX_LINES 256

struct LINES {
    int start[LABEL_MAX_LINES];
    int len[LABEL_MAX_LINES];
    int count;
};

struct LINES_BUILD {
    LINES *lines;
    const char *base;
};

static bool _line_cb(int, const char *line, int size, void *extra) {
    LINES_BUILD *b = static_cast<LINES_BUILD *>(extra);
    if (b->lines->count >= LABEL_MAX_LINES) return false;
    const ptrdiff_t off = line - b->base;
    b->lines->start[b->lines->count] = (off >= 0 && off <= (ptrdiff_t)strlen(b->base)) ? (int)off : 0;
    b->lines->len[b->lines->count] = size;
    b->lines->count++;
    return true;
}

static void _layout(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, LINES *out) {
    const Q_GUI_LABEL_DATA *d = _data(w);
    out->count = 0;
    if (d->align == 3) {
        const float pad = ctx->style.label_padding;
        LINES_BUILD b = {out, d->text};
        al_do_multiline_text(q_gui_widget_font(ctx, w), fmaxf(1, w->w - 2 * pad), d->text, _line_cb, &b);
        if (out->count == 0) {
            out->start[0] = out->len[0] = 0;
            out->count = 1;
        }
        return;
    }
    const char *p = d->text;
    while (out->count < LABEL_MAX_LINES) {
        const char *e = strchr(p, '\n');
        out->start[out->count] = (int)(p - d->text);
        out->len[out->count] = e ? (int)(e - p) : (int)strlen(p);
        out->count++;
        if (!e) break;
        p = e + 1;
    }
}

static float _width_of(ALLEGRO_FONT *font, const char *s, int len) {
    ALLEGRO_USTR_INFO info;
    const ALLEGRO_USTR *u = al_ref_buffer(&info, s, (size_t)(len < 0 ? 0 : len));
    return (float)al_get_ustr_width(font, u);
}

// Geometry shared by drawing and hit-testing: where line i starts.
static void _line_pos(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, const LINES *lines, int i, float x,
                      float y, float *lx, float *ly) {
    const Q_GUI_LABEL_DATA *d = _data(w);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float pad = ctx->style.label_padding, lh = (float)al_get_font_line_height(font);
    const float lw = _width_of(font, d->text + lines->start[i], lines->len[i]);
    const float total = lh * (float)lines->count;
    *ly = (d->align == 3 ? y + pad : y + (w->h - total) / 2) + lh * (float)i;
    if (d->align == 1)
        *lx = x + (w->w - lw) / 2;
    else if (d->align == 2)
        *lx = x + w->w - pad - lw;
    else
        *lx = x + pad;
}

// Byte offset of the character boundary nearest to a canvas point.
static int _offset_at(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, float mx, float my) {
    const Q_GUI_LABEL_DATA *d = _data(w);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    LINES lines;
    _layout(ctx, w, &lines);
    const float lh = (float)al_get_font_line_height(font);
    int li = 0;
    for (int i = 0; i < lines.count; i++) {
        float lx, ly;
        _line_pos(ctx, w, &lines, i, x, y, &lx, &ly);
        if (my >= ly) li = i;
        (void)lh;
    }
    float lx, ly;
    _line_pos(ctx, w, &lines, li, x, y, &lx, &ly);
    const char *s = d->text + lines.start[li];
    int best = 0;
    for (int k = 0; k <= lines.len[li]; k++) {
        if (k < lines.len[li] && ((unsigned char)s[k] & 0xC0) == 0x80) continue;
        const float px = lx + _width_of(font, s, k);
        if (px <= mx)
            best = k;
        else {
            const float prev = lx + _width_of(font, s, best);
            if (px - mx < mx - prev) best = k;
            break;
        }
    }
    return lines.start[li] + best;
}

// ---- kind hooks ----------------------------------------------------------------

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_LABEL_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    if (d->bitmap) {
        ALLEGRO_BITMAP *b = d->bitmap;
        al_draw_scaled_bitmap(b, 0, 0, (float)al_get_bitmap_width(b), (float)al_get_bitmap_height(b), x, y,
                              w->w, w->h, 0);
    }
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const bool hover = (w->state & Q_GUI_WS_HOVER) != 0;
    ALLEGRO_COLOR c =
        d->link ? (hover ? ctx->style.link_color_hover : ctx->style.link_color_normal) : t->text_normal;
    if (!w->enabled) c = q_gui_with_alpha(c, c.a * 0.45f);
    const float lh = (float)al_get_font_line_height(font);
    LINES lines;
    _layout(ctx, w, &lines);
    const int s0 = d->sel_start < d->sel_end ? d->sel_start : d->sel_end;
    const int s1 = d->sel_start < d->sel_end ? d->sel_end : d->sel_start;
    for (int i = 0; i < lines.count; i++) {
        float lx, ly;
        _line_pos(ctx, w, &lines, i, x, y, &lx, &ly);
        const char *s = d->text + lines.start[i];
        const int a = lines.start[i], b = a + lines.len[i];
        if (s0 >= 0 && s1 > a && s0 < b) {
            const int from = (s0 > a ? s0 : a) - a, to = (s1 < b ? s1 : b) - a;
            const float x0 = lx + _width_of(font, s, from), x1 = lx + _width_of(font, s, to);
            al_draw_filled_rectangle(x0, ly, x1, ly + lh, t->selection_color);
        }
        ALLEGRO_USTR_INFO info;
        const ALLEGRO_USTR *u = al_ref_buffer(&info, s, (size_t)lines.len[i]);
        al_draw_ustr(font, c, lx, ly, 0, u);
        if (d->link) {
            const float lw = _width_of(font, s, lines.len[i]);
            const float uy = ly + (float)al_get_font_ascent(font) + 2;
            al_draw_line(lx, uy, lx + lw, uy, c, ctx->style.link_underline_thickness);
        }
    }
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_LABEL_DATA *d = _data(w);
    if (ev->mouse.button != 1 && ev->type != ALLEGRO_EVENT_MOUSE_AXES) return;
    if (d->link) {
        if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP && (w->state & Q_GUI_WS_PRESSED) && mx >= x &&
            mx < x + w->w && my >= y && my < y + w->h && d->on_link)
            d->on_link(w->id, d->link, d->link_user);
        return;
    }
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN) {
        // One text selection at a time across all labels.
        Q_GUI_WIDGET *prev = q_gui_widget_of_kind(ctx, ctx->selection_owner, Q_GUI_KIND_LABEL);
        if (prev && prev != w) _data(prev)->sel_start = _data(prev)->sel_end = -1;
        d->sel_start = d->sel_end = _offset_at(ctx, w, x, y, mx, my);
        d->selecting = 1;
        ctx->selection_owner = w->id;
    } else if (d->selecting) {
        d->sel_end = _offset_at(ctx, w, x, y, mx, my);
        if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) {
            d->selecting = 0;
            if (d->sel_start == d->sel_end) d->sel_start = d->sel_end = -1;
        }
    }
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    const Q_GUI_LABEL_DATA *d = _data(w);
    if (ev->keyboard.keycode != ALLEGRO_KEY_C || !(ev->keyboard.modifiers & ALLEGRO_KEYMOD_CTRL)) return 0;
    if (d->sel_start < 0 || d->sel_start == d->sel_end) return 0;
    const int s0 = d->sel_start < d->sel_end ? d->sel_start : d->sel_end;
    const int s1 = d->sel_start < d->sel_end ? d->sel_end : d->sel_start;
    char buf[Q_GUI_LABEL_TEXT_MAX];
    memcpy(buf, d->text + s0, (size_t)(s1 - s0));
    buf[s1 - s0] = 0;
    q_gui_copy_text(ctx, buf);
    return 1;
}

static int _moves_window(const Q_GUI_WIDGET *w) {
    return _data(w)->link == nullptr;
}

static int _cursor_at(const Q_GUI_CTX *, const Q_GUI_WIDGET *w, float, float) {
    return _data(w)->link ? ALLEGRO_SYSTEM_MOUSE_CURSOR_LINK : 0;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_FREE(_data(w)->link);
}

static const Q_GUI_KIND_OPS k_label_ops = {
    .kind = Q_GUI_KIND_LABEL,
    .name = "label",
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .moves_window = _moves_window,
    .destroy = _destroy,
    .cursor_at = _cursor_at,
};

// ---- operations ----------------------------------------------------------------

int q_gui_add_label(Q_GUI_CTX *ctx, int window, const char *text, float x, float y, float w, float h,
                    int align) {
    Q_GUARD(ctx, -1);
    Q_GUI_LABEL_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_LABEL_DATA);
    if (!d) return -1;
    _set_text(d, text);
    d->align = (align >= 0 && align <= 3) ? align : 0;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_label_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_label(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_LABEL);
}

void q_gui_label_set_text(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = _label(ctx, id);
    if (!w) return;
    _set_text(_data(w), text);
    ctx->redraw = 1;
}

const char *q_gui_label_get_text(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _label(ctx, id);
    return w ? _data(w)->text : "";
}

int q_gui_label_fits(Q_GUI_CTX *ctx, int id, float *needed_w, float *needed_h) {
    Q_GUI_WIDGET *w = _label(ctx, id);
    if (!w) return 0;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    LINES lines;
    _layout(ctx, w, &lines);
    float maxw = 0;
    for (int i = 0; i < lines.count; i++)
        maxw = fmaxf(maxw, _width_of(font, _data(w)->text + lines.start[i], lines.len[i]));
    const float pad = ctx->style.label_padding;
    const float nw = maxw + 2 * pad;
    const float nh =
        (float)lines.count * (float)al_get_font_line_height(font) + (_data(w)->align == 3 ? 2 * pad : 0);
    if (needed_w) *needed_w = nw;
    if (needed_h) *needed_h = nh;
    return (nw <= w->w && nh <= w->h) ? 1 : 0;
}

void q_gui_label_set_link(Q_GUI_CTX *ctx, int id, const char *target, Q_GUI_LINK_CB cb, void *user) {
    Q_GUI_WIDGET *w = _label(ctx, id);
    if (!w) return;
    Q_GUI_LABEL_DATA *d = _data(w);
    Q_FREE(d->link);
    d->on_link = nullptr;
    d->link_user = nullptr;
    if (target) {
        size_t n = strlen(target);
        if (n > Q_GUI_LABEL_TEXT_MAX - 1) n = Q_GUI_LABEL_TEXT_MAX - 1;
        Q_CALLOC(d->link, n + 1, char);
        if (!d->link) return;
        memcpy(d->link, target, n);
        d->on_link = cb;
        d->link_user = user;
        d->sel_start = d->sel_end = -1;
    }
    ctx->redraw = 1;
}

void q_gui_label_set_bitmap(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap) {
    Q_GUI_WIDGET *w = _label(ctx, id);
    if (!w) {
        q_log(Q_LOG_WARNING, "q_gui_label_set_bitmap: widget %d is not a label", id);
        return;
    }
    _data(w)->bitmap = bitmap;
    ctx->redraw = 1;
}

int q_gui_label_get_selection(const Q_GUI_CTX *ctx, int id, int *start, int *end) {
    const Q_GUI_WIDGET *w = _label(ctx, id);
    if (!w) return 0;
    const Q_GUI_LABEL_DATA *d = _data(w);
    const int s0 = d->sel_start < d->sel_end ? d->sel_start : d->sel_end;
    const int s1 = d->sel_start < d->sel_end ? d->sel_end : d->sel_start;
    if (start) *start = s0;
    if (end) *end = s1;
    return s0 >= 0 && s1 > s0;
}
