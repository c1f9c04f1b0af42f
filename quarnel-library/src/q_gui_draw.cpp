// q_gui drawing: the shapes, text and colour rules every kind draws with, so
// a widget's look is decided in one place.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

ALLEGRO_COLOR q_gui_with_alpha(ALLEGRO_COLOR c, float a) {
    // Allegro blends premultiplied colours by default: the colour channels
    // follow the alpha, or a fainter colour would come out brighter.
    const float k = c.a > 0 ? a / c.a : 0;
    c.r *= k;
    c.g *= k;
    c.b *= k;
    c.a = a;
    return c;
}

void q_gui_fill_box(const Q_GUI_CTX *ctx, float x, float y, float w, float h, float rx, float ry,
                    ALLEGRO_COLOR c) {
    if (ctx->style.shape_mode && (rx > 0 || ry > 0))
        al_draw_filled_rounded_rectangle(x, y, x + w, y + h, rx, ry, c);
    else
        al_draw_filled_rectangle(x, y, x + w, y + h, c);
}

void q_gui_stroke_box(const Q_GUI_CTX *ctx, float x, float y, float w, float h, float rx, float ry,
                      ALLEGRO_COLOR c, float thickness) {
    if (thickness <= 0) return;
    const float i = thickness / 2;
    if (ctx->style.shape_mode && (rx > 0 || ry > 0))
        al_draw_rounded_rectangle(x + i, y + i, x + w - i, y + h - i, rx, ry, c, thickness);
    else
        al_draw_rectangle(x + i, y + i, x + w - i, y + h - i, c, thickness);
}

void q_gui_draw_text_fit(ALLEGRO_FONT *font, ALLEGRO_COLOR c, float x, float y, float max_w, int align,
                         const char *text) {
    if (!font || !text || max_w <= 0) return;
    const int flags = align == 1   ? ALLEGRO_ALIGN_CENTRE
                      : align == 2 ? ALLEGRO_ALIGN_RIGHT
                                   : ALLEGRO_ALIGN_LEFT;
    if (al_get_text_width(font, text) <= max_w) {
        al_draw_text(font, c, x, y, flags, text);
        return;
    }
    // Cut at character boundaries until the text and the ellipsis fit.
    char buf[512];
    size_t n = q_strcpy(buf, sizeof buf - 4, text);
    while (n > 0) {
        do
            n--;
        while (n > 0 && ((unsigned char)buf[n] & 0xC0) == 0x80);
        memcpy(buf + n, "...", 4);
        if (al_get_text_width(font, buf) <= max_w) break;
    }
    if (n == 0) q_strcpy(buf, sizeof buf, "...");
    al_draw_text(font, c, x, y, flags, buf);
}

float q_gui_text_w(ALLEGRO_FONT *font, const char *s, int len) {
    if (len <= 0) return 0;
    ALLEGRO_USTR_INFO info;
    const ALLEGRO_USTR *u = al_ref_buffer(&info, s, (size_t)len);
    return (float)al_get_ustr_width(font, u);
}

ALLEGRO_COLOR q_gui_dim(const Q_GUI_WIDGET *w, ALLEGRO_COLOR c) {
    return w->enabled ? c : q_gui_with_alpha(c, c.a * 0.45f);
}

void q_gui_draw_bitmap_in(ALLEGRO_BITMAP *b, float x, float y, float w, float h) {
    if (!b) return;
    al_draw_scaled_bitmap(b, 0, 0, (float)al_get_bitmap_width(b), (float)al_get_bitmap_height(b), x, y, w, h,
                          0);
}

void q_gui_clip_within(float x0, float y0, float x1, float y1, int ox, int oy, int ow, int oh) {
    al_transform_coordinates(al_get_current_transform(), &x0, &y0);
    al_transform_coordinates(al_get_current_transform(), &x1, &y1);
    const int cx0 = std::max(ox, (int)x0), cy0 = std::max(oy, (int)y0);
    const int cx1 = std::min(ox + ow, (int)x1), cy1 = std::min(oy + oh, (int)y1);
    al_set_clipping_rectangle(cx0, cy0, std::max(0, cx1 - cx0), std::max(0, cy1 - cy0));
}

void q_gui_stroke_view_border(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, float rx,
                              float ry) {
    q_gui_stroke_box(ctx, x, y, w->w, w->h, rx, ry, q_gui_look(w, 0).border, w->theme.border_thickness);
}

void q_gui_draw_strip(const Q_GUI_CTX *ctx, float x, float y, float w, float h, int vertical, double content,
                      double view, double pos, int active) {
    const Q_GUI_STYLE *s = &ctx->style;
    al_draw_filled_rectangle(x, y, x + w, y + h, s->scrollbar_track_color);
    float tp, tl;
    q_gui_strip_thumb(ctx, vertical ? h : w, content, view, pos, &tp, &tl);
    const float pad = s->scrollbar_thumb_padding, r = s->scrollbar_thumb_corner_r;
    const ALLEGRO_COLOR c = active ? ctx->theme.border_active : s->scrollbar_thumb_color;
    if (vertical)
        al_draw_filled_rounded_rectangle(x + pad, y + tp, x + w - pad, y + tp + tl, r, r, c);
    else
        al_draw_filled_rounded_rectangle(x + tp, y + pad, x + tp + tl, y + h - pad, r, r, c);
}

void q_gui_drop_list_draw(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, const Q_GUI_DROP_LIST *l) {
    const Q_GUI_THEME *t = &w->theme;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float lx = l->x, ly = l->y, lw = l->w, lh = l->h;
    if (l->bmp)
        q_gui_draw_bitmap_in(l->bmp, lx, ly, lw, lh);
    else
        al_draw_filled_rectangle(lx, ly, lx + lw, ly + lh, q_gui_with_alpha(t->bg_normal, 1.0f));
    const float sw = l->count > l->rows ? ctx->style.scrollbar_size : 0;
    const float fh = (float)al_get_font_line_height(font);
    for (int r = 0; r < l->rows && l->first + r < l->count; r++) {
        const int i = l->first + r;
        const float ry = ly + l->row_h * (float)r;
        const int lit = i == l->highlight  ? Q_GUI_LIT_CURSOR
                        : i == l->selected ? Q_GUI_LIT_MARK
                                           : Q_GUI_LIT_NONE;
        const ALLEGRO_COLOR tc =
            q_gui_lit_row(t, w->enabled, lx + 1, ry, lx + lw - sw - 1, ry + l->row_h, lit);
        q_gui_draw_text_fit(font, tc, lx + ctx->style.item_text_padding, ry + (l->row_h - fh) / 2,
                            lw - sw - 2 * ctx->style.item_text_padding, 0, l->text_at(w, i));
    }
    if (l->strip) q_gui_draw_strip(ctx, lx + lw - sw, ly, sw, lh, 1, l->count, l->rows, l->first, 0);
    const float bt = ctx->style.dropdown_border_thickness;
    al_draw_rectangle(lx + bt / 2, ly + bt / 2, lx + lw - bt / 2, ly + lh - bt / 2, t->border_active, bt);
}

Q_GUI_LOOK q_gui_look_of(const Q_GUI_THEME *t, int states) {
    const bool hover = states & Q_GUI_LOOK_HOVER, pressed = states & Q_GUI_LOOK_PRESSED;
    Q_GUI_LOOK k;
    k.bg = pressed ? t->bg_active : hover ? t->bg_hover : t->bg_normal;
    k.border = pressed || (states & Q_GUI_LOOK_FOCUSED) ? t->border_active
               : hover                                  ? t->border_hover
                                                        : t->border_normal;
    k.text = pressed ? t->text_active : hover ? t->text_hover : t->text_normal;
    if (states & Q_GUI_LOOK_DISABLED) {
        k.bg = q_gui_with_alpha(k.bg, k.bg.a * 0.45f);
        k.border = q_gui_with_alpha(k.border, k.border.a * 0.45f);
        k.text = q_gui_with_alpha(k.text, k.text.a * 0.45f);
    }
    return k;
}

Q_GUI_LOOK q_gui_look(const Q_GUI_WIDGET *w, int active) {
    const bool hover = (w->state & Q_GUI_WS_HOVER) && w->enabled;
    const bool pressed = active || ((w->state & Q_GUI_WS_PRESSED) && hover);
    int states = hover ? Q_GUI_LOOK_HOVER : 0;
    if (pressed) states |= Q_GUI_LOOK_PRESSED;
    if (w->state & Q_GUI_WS_FOCUSED) states |= Q_GUI_LOOK_FOCUSED;
    if (!w->enabled) states |= Q_GUI_LOOK_DISABLED;
    return q_gui_look_of(&w->theme, states);
}

ALLEGRO_COLOR q_gui_lit_row(const Q_GUI_THEME *t, int enabled, float x0, float y0, float x1, float y1,
                            int lit) {
    const float k = enabled ? 1.0f : 0.45f;
    auto dim = [k](ALLEGRO_COLOR c) { return k < 1 ? q_gui_with_alpha(c, c.a * k) : c; };
    if (lit == Q_GUI_LIT_CURSOR) al_draw_filled_rectangle(x0, y0, x1, y1, dim(t->selection_color));
    if (lit == Q_GUI_LIT_MARK) al_draw_filled_rectangle(x0, y0, x1, y1, dim(t->bg_hover));
    return dim(lit == Q_GUI_LIT_CURSOR ? t->text_active : t->text_normal);
}

void q_gui_clip_rect(float x, float y, float w, float h, int ox, int oy, int ow, int oh) {
    float x0 = x, y0 = y, x1 = x + w, y1 = y + h;
    const ALLEGRO_TRANSFORM *t = al_get_current_transform();
    al_transform_coordinates(t, &x0, &y0);
    al_transform_coordinates(t, &x1, &y1);
    const int cx0 = std::max(ox, (int)floorf(fminf(x0, x1))), cy0 = std::max(oy, (int)floorf(fminf(y0, y1)));
    const int cx1 = std::min(ox + ow, (int)ceilf(fmaxf(x0, x1))),
              cy1 = std::min(oy + oh, (int)ceilf(fmaxf(y0, y1)));
    al_set_clipping_rectangle(cx0, cy0, std::max(0, cx1 - cx0), std::max(0, cy1 - cy0));
}

void q_gui_draw_bitmap_mode(ALLEGRO_BITMAP *bmp, ALLEGRO_COLOR tint, int mode, float x, float y, float w,
                            float h) {
    const float bw = (float)al_get_bitmap_width(bmp), bh = (float)al_get_bitmap_height(bmp);
    if (bw <= 0 || bh <= 0) return;
    if (mode == 1) {
        al_draw_tinted_scaled_bitmap(bmp, tint, 0, 0, bw, bh, x, y, w, h, 0);
    } else if (mode == 2) {
        al_draw_tinted_bitmap(bmp, tint, x + (w - bw) / 2, y + (h - bh) / 2, 0);
    } else {
        const float s = fminf(w / bw, h / bh);
        al_draw_tinted_scaled_bitmap(bmp, tint, 0, 0, bw, bh, x + (w - bw * s) / 2, y + (h - bh * s) / 2,
                                     bw * s, bh * s, 0);
    }
}
