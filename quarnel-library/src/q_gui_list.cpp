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
        if (i == l->highlight)
            al_draw_filled_rectangle(lx + 1, ry, lx + lw - sw - 1, ry + l->row_h, t->selection_color);
        else if (i == l->selected)
            al_draw_filled_rectangle(lx + 1, ry, lx + lw - sw - 1, ry + l->row_h, t->bg_hover);
        q_gui_draw_text_fit(font, i == l->highlight ? t->text_active : t->text_normal,
                            lx + ctx->style.item_text_padding, ry + (l->row_h - fh) / 2,
                            lw - sw - 2 * ctx->style.item_text_padding, 0, l->text_at(w, i));
    }
    if (l->strip) q_gui_draw_strip(ctx, lx + lw - sw, ly, sw, lh, 1, l->count, l->rows, l->first, 0);
    const float bt = ctx->style.dropdown_border_thickness;
    al_draw_rectangle(lx + bt / 2, ly + bt / 2, lx + lw - bt / 2, ly + lh - bt / 2, t->border_active, bt);
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
