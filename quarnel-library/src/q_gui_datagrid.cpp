// q_gui data grid kind: rows of text cells under a header of column titles.
// Columns can be resized by their header border, hidden and reordered; a
// click on a title sorts by that column; rows can carry their own colour and
// be selected one at a time or many at once with Ctrl and Shift.
//
// Grids hold tens of thousands of rows: each row is one allocation (cell
// offsets followed by the cell texts), a frame draws only the rows in view,
// and sorting is a stable O(n log n) sort of row indices.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "q_common.h"
#include "q_gui_internal.h"

static const float k_border_grab = 4;
static const float k_min_col_w = 16;

static Q_GUI_DATAGRID_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_DATAGRID_DATA *>(w->data);
}

static const char *_cell(const Q_GUI_DATAGRID_DATA *d, int row, int col) {
    const char *block = d->rows[row];
    uint32_t off;
    memcpy(&off, block + sizeof(uint32_t) * (size_t)col, sizeof off);
    return block + off;
}

// Text widths are measured once per cell and font: a scrolled frame then
// walks each visible text's glyphs once, to draw it.
static float *_widths(const Q_GUI_DATAGRID_DATA *d, int row) {
    return reinterpret_cast<float *>(d->rows[row] + sizeof(uint32_t) * (size_t)d->col_count);
}

static void _forget_widths(Q_GUI_DATAGRID_DATA *d, const ALLEGRO_FONT *font) {
    if (d->measured_font == font) return;
    for (int r = 0; r < d->row_count; r++)
        std::fill_n(_widths(d, r), d->col_count, -1.0f);
    d->measured_font = font;
}

// ---- geometry ------------------------------------------------------------------

static float _row_h(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return (float)al_get_font_line_height(q_gui_widget_font(ctx, w)) + ctx->style.item_height_pad + 2;
}

static int _visible_rows(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const float rh = _row_h(ctx, w);
    return std::max(1, (int)floorf((w->h - rh) / rh));
}

static bool _has_strip(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return _data(w)->row_count > _visible_rows(ctx, w);
}

static float _total_w(const Q_GUI_DATAGRID_DATA *d) {
    float t = 0;
    for (int i = 0; i < d->col_count; i++)
        if (d->cols[i].visible) t += d->cols[i].width;
    return t;
}

static void _clamp(const Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    const int maxf = std::max(0, d->row_count - _visible_rows(ctx, w));
    d->first_row = std::max(0, std::min(d->first_row, maxf));
    const float view = w->w - (_has_strip(ctx, w) ? ctx->style.scrollbar_size : 0);
    d->hscroll = std::max(0.0f, std::min(d->hscroll, std::max(0.0f, _total_w(d) - view)));
}

static void _scroll_into_view(const Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int row) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    const int vis = _visible_rows(ctx, w);
    if (row < d->first_row) d->first_row = row;
    if (row >= d->first_row + vis) d->first_row = row - vis + 1;
    _clamp(ctx, w);
}

// Column under a header x (canvas), and whether x is on its right border.
static int _col_at(const Q_GUI_DATAGRID_DATA *d, float x0, float mx, bool *on_border) {
    float cx = x0 - d->hscroll;
    *on_border = false;
    for (int p = 0; p < d->col_count; p++) {
        const int c = d->order[p];
        if (!d->cols[c].visible) continue;
        const float right = cx + d->cols[c].width;
        if (fabsf(mx - right) <= k_border_grab) {
            *on_border = true;
            return c;
        }
        if (mx >= cx && mx < right) return c;
        cx = right;
    }
    return -1;
}

// ---- selection -------------------------------------------------------------------

static void _clear_sel(Q_GUI_DATAGRID_DATA *d) {
    if (d->sel) memset(d->sel, 0, (size_t)d->row_count);
}

static void _notify(Q_GUI_WIDGET *w, int row) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (d->on_select) d->on_select(w->id, row, d->user);
}

static void _click_row(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int row) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (d->multi) {
        if (q_gui_shift_held(ctx) && d->anchor >= 0 && d->anchor < d->row_count) {
            _clear_sel(d);
            const int a = std::min(d->anchor, row), b = std::max(d->anchor, row);
            memset(d->sel + a, 1, (size_t)(b - a + 1));
        } else if (q_gui_ctrl_held(ctx)) {
            d->sel[row] ^= 1;
            d->anchor = row;
        } else {
            _clear_sel(d);
            d->sel[row] = 1;
            d->anchor = row;
        }
    }
    d->selected = row;
    ctx->redraw = 1;
    _notify(w, row);
}

static bool _is_row_selected(const Q_GUI_DATAGRID_DATA *d, int row) {
    return d->multi ? d->sel[row] != 0 : d->selected == row;
}

// ---- sorting ---------------------------------------------------------------------

struct SORT_KEY {
    const char *text;
    const char *digits; // numeric cells: digits without leading zeros
    int dlen;
    int numeric;
};

static SORT_KEY _key(const char *s) {
    SORT_KEY k = {s, nullptr, 0, 0};
    if (!s[0]) return k;
    const char *p = s;
    while (*p >= '0' && *p <= '9')
        p++;
    if (*p) return k;
    k.numeric = 1;
    const char *q = s;
    while (*q == '0' && q[1])
        q++;
    k.digits = q;
    k.dlen = (int)(p - q);
    return k;
}

// Digits-only cells compare as integers (of any length); any other pair
// compares as text without regard to ASCII case.
static int _compare(const SORT_KEY &a, const SORT_KEY &b) {
    if (a.numeric && b.numeric) {
        if (a.dlen != b.dlen) return a.dlen < b.dlen ? -1 : 1;
        const int c = memcmp(a.digits, b.digits, (size_t)a.dlen);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    const unsigned char *x = (const unsigned char *)a.text, *y = (const unsigned char *)b.text;
    for (;; x++, y++) {
        int cx = *x, cy = *y;
        if (cx >= 'A' && cx <= 'Z') cx += 32;
        if (cy >= 'A' && cy <= 'Z') cy += 32;
        if (cx != cy) return cx < cy ? -1 : 1;
        if (!cx) return 0;
    }
}

template <typename T> static void _permute(T *arr, const std::vector<int> &idx) {
    if (!arr) return;
    std::vector<T> tmp(idx.size());
    for (size_t i = 0; i < idx.size(); i++)
        tmp[i] = arr[idx[i]];
    std::copy(tmp.begin(), tmp.end(), arr);
}

static void _sort(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int col, int dir) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (col < 0 || col >= d->col_count) return;
    dir = dir < 0 ? -1 : 1;
    const int n = d->row_count;
    std::vector<SORT_KEY> keys((size_t)n);
    for (int r = 0; r < n; r++)
        keys[(size_t)r] = _key(_cell(d, r, col));
    std::vector<int> idx((size_t)n);
    for (int r = 0; r < n; r++)
        idx[(size_t)r] = r;
    if (dir > 0)
        std::stable_sort(idx.begin(), idx.end(),
                         [&keys](int a, int b) { return _compare(keys[(size_t)a], keys[(size_t)b]) < 0; });
    else
        std::stable_sort(idx.begin(), idx.end(),
                         [&keys](int a, int b) { return _compare(keys[(size_t)a], keys[(size_t)b]) > 0; });
    std::vector<int> where((size_t)n);
    for (int i = 0; i < n; i++)
        where[(size_t)idx[(size_t)i]] = i;
    _permute(d->rows, idx);
    _permute(d->sel, idx);
    _permute(d->colors, idx);
    _permute(d->has_color, idx);
    if (d->selected >= 0 && d->selected < n) d->selected = where[(size_t)d->selected];
    if (d->anchor >= 0 && d->anchor < n) d->anchor = where[(size_t)d->anchor];
    d->sort_col = col;
    d->sort_dir = dir;
    ctx->redraw = 1;
}

// ---- drawing ---------------------------------------------------------------------

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const Q_GUI_STYLE *s = &ctx->style;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    _forget_widths(d, font);
    _clamp(ctx, w);
    const float rh = _row_h(ctx, w), lh = (float)al_get_font_line_height(font);
    const bool strip = _has_strip(ctx, w);
    const float sw = strip ? s->scrollbar_size : 0, pad = s->item_text_padding;
    q_gui_fill_box(ctx, x, y, w->w, w->h, 0, 0, t->bg_normal);
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    q_gui_clip_rect(x, y, w->w - sw, w->h, ox, oy, ow, oh);

    // Header.
    al_draw_filled_rectangle(x, y, x + w->w, y + rh, t->bg_active);
    float cx = x - d->hscroll;
    for (int p = 0; p < d->col_count; p++) {
        const int c = d->order[p];
        const Q_GUI_DATAGRID_COL *col = &d->cols[c];
        if (!col->visible) continue;
        const bool sorted = d->sort_col == c;
        const float tw = col->width - 2 * pad - (sorted ? 12 : 0);
        q_gui_draw_text_fit(font, q_gui_dim(w, t->text_active), cx + pad, y + (rh - lh) / 2, tw, 0,
                            col->title);
        if (sorted) {
            const float ax = cx + col->width - pad - 5, ay = y + rh / 2;
            if (d->sort_dir > 0)
                al_draw_filled_triangle(ax - 4, ay + 2, ax + 4, ay + 2, ax, ay - 3, t->text_active);
            else
                al_draw_filled_triangle(ax - 4, ay - 2, ax + 4, ay - 2, ax, ay + 3, t->text_active);
        }
        al_draw_line(cx + col->width - 0.5f, y + 3, cx + col->width - 0.5f, y + rh - 3,
                     c == d->resizing ? t->border_active : t->border_normal, 1);
        cx += col->width;
    }

    // Rows in view only.
    const int vis = _visible_rows(ctx, w);
    const int last = std::min(d->row_count, d->first_row + vis + 1);
    q_gui_clip_rect(x, y + rh, w->w - sw, w->h - rh, ox, oy, ow, oh);
    // Backgrounds first, then every text with held bitmap drawing: glyphs
    // batch into one draw call instead of one per cell.
    // The stripes of a screenful go out as one batch of triangles: with a
    // software renderer every separate rectangle is a draw call of its own.
    ALLEGRO_VERTEX stripes[6 * 64];
    int nv = 0;
    const ALLEGRO_COLOR stripe = q_gui_with_alpha(t->bg_hover, 0.35f);
    const float sx0 = x, sx1 = x + w->w - sw;
    for (int r = d->first_row; r < last; r++) {
        const float ry = y + rh + rh * (float)(r - d->first_row);
        if (!(r & 1) || _is_row_selected(d, r)) continue;
        if (nv + 6 > (int)(sizeof stripes / sizeof stripes[0])) {
            al_draw_prim(stripes, nullptr, nullptr, 0, nv, ALLEGRO_PRIM_TRIANGLE_LIST);
            nv = 0;
        }
        const float quad[6][2] = {{sx0, ry}, {sx1, ry},      {sx1, ry + rh},
                                  {sx0, ry}, {sx1, ry + rh}, {sx0, ry + rh}};
        for (const auto &q : quad)
            stripes[nv++] = ALLEGRO_VERTEX{q[0], q[1], 0, 0, 0, stripe};
    }
    if (nv) al_draw_prim(stripes, nullptr, nullptr, 0, nv, ALLEGRO_PRIM_TRIANGLE_LIST);
    for (int r = d->first_row; r < last; r++) {
        const float ry = y + rh + rh * (float)(r - d->first_row);
        if (_is_row_selected(d, r))
            q_gui_lit_row(t, w->enabled, x, ry, x + w->w - sw, ry + rh, Q_GUI_LIT_CURSOR);
        if (r == d->selected && (w->state & Q_GUI_WS_FOCUSED))
            al_draw_rectangle(x + 0.5f, ry + 0.5f, x + w->w - sw - 0.5f, ry + rh - 0.5f, t->border_active, 1);
    }
    al_hold_bitmap_drawing(true);
    for (int r = d->first_row; r < last; r++) {
        const float ry = y + rh + rh * (float)(r - d->first_row);
        const bool sel = _is_row_selected(d, r);
        ALLEGRO_COLOR tc = (d->has_color && d->has_color[r]) ? d->colors[r]
                           : sel                             ? t->text_active
                                                             : t->text_normal;
        tc = q_gui_dim(w, tc);
        cx = x - d->hscroll;
        for (int p = 0; p < d->col_count; p++) {
            const int c = d->order[p];
            if (!d->cols[c].visible) continue;
            const float cw = d->cols[c].width;
            if (cx + cw >= x && cx <= x + w->w) {
                float &tw = _widths(d, r)[c];
                const char *text = _cell(d, r, c);
                if (tw < 0) tw = (float)al_get_text_width(font, text);
                if (tw <= cw - 2 * pad)
                    al_draw_text(font, tc, cx + pad, ry + (rh - lh) / 2, ALLEGRO_ALIGN_LEFT, text);
                else
                    q_gui_draw_text_fit(font, tc, cx + pad, ry + (rh - lh) / 2, cw - 2 * pad, 0, text);
            }
            cx += cw;
        }
    }
    al_hold_bitmap_drawing(false);
    al_set_clipping_rectangle(ox, oy, ow, oh);
    if (strip)
        q_gui_draw_strip(ctx, x + w->w - sw, y + rh, sw, w->h - rh, 1, d->row_count, vis, d->first_row,
                         d->dragging_strip);
    q_gui_stroke_view_border(ctx, w, x, y, 0, 0);
}

// ---- events ----------------------------------------------------------------------

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    const float rh = _row_h(ctx, w);
    const float sw = _has_strip(ctx, w) ? ctx->style.scrollbar_size : 0;
    const int vis = _visible_rows(ctx, w);
    if (ev->type == ALLEGRO_EVENT_MOUSE_AXES) {
        if (!(w->state & Q_GUI_WS_CAPTURE)) return;
        if (d->resizing >= 0) {
            d->cols[d->resizing].width = std::max(k_min_col_w, d->resize_w0 + mx - d->resize_x0);
            ctx->redraw = 1;
        } else if (d->dragging_strip) {
            d->first_row =
                (int)lround(q_gui_strip_pos(ctx, w->h - rh, d->row_count, vis, my - y - rh, d->strip_grab));
            _clamp(ctx, w);
        }
        return;
    }
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) {
        if (ev->mouse.button == 1 && d->pressed_title >= 0) {
            bool border;
            const int c = my >= y && my < y + rh ? _col_at(d, x, mx, &border) : -1;
            if (c == d->pressed_title && !border)
                _sort(ctx, w, c, (d->sort_col == c && d->sort_dir > 0) ? -1 : 1);
        }
        d->pressed_title = -1;
        d->resizing = -1;
        d->dragging_strip = 0;
        return;
    }
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN) return;
    const int button = (int)ev->mouse.button;
    if (button == 1 && sw > 0 && mx >= x + w->w - sw && my >= y + rh) {
        float tp, tl;
        q_gui_strip_thumb(ctx, w->h - rh, d->row_count, vis, d->first_row, &tp, &tl);
        const float m = my - y - rh;
        d->strip_grab = (m >= tp && m < tp + tl) ? m - tp : tl / 2;
        d->dragging_strip = 1;
        d->first_row = (int)lround(q_gui_strip_pos(ctx, w->h - rh, d->row_count, vis, m, d->strip_grab));
        _clamp(ctx, w);
        return;
    }
    if (my < y + rh) {
        if (button != 1) return;
        bool border;
        const int c = _col_at(d, x, mx, &border);
        if (c < 0) return;
        if (border) {
            d->resizing = c;
            d->resize_x0 = mx;
            d->resize_w0 = d->cols[c].width;
        } else {
            d->pressed_title = c;
        }
        return;
    }
    const int row = d->first_row + (int)floorf((my - y - rh) / rh);
    if (row < 0 || row >= d->row_count) return;
    if (button == 1) {
        _click_row(ctx, w, row);
    } else if (button == 2) {
        // A right press keeps a multi-selection that already holds the row.
        if (!_is_row_selected(d, row)) _click_row(ctx, w, row);
        if (d->on_context) d->on_context(w->id, row, mx, my, d->user);
    }
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    const int page = std::max(1, _visible_rows(ctx, w) - 1);
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_LEFT:
    case ALLEGRO_KEY_RIGHT:
        d->hscroll +=
            ev->keyboard.keycode == ALLEGRO_KEY_LEFT ? -ctx->style.scroll_step : ctx->style.scroll_step;
        _clamp(ctx, w);
        ctx->redraw = 1;
        return 1;
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        return 1;
    default:
        break;
    }
    int to;
    if (!q_gui_row_step(ev->keyboard.keycode, d->selected, d->row_count, page, &to)) return 0;
    if (d->row_count == 0) return 1;
    _scroll_into_view(ctx, w, to);
    ctx->redraw = 1;
    if (to == d->selected) return 1;
    if (d->multi) {
        _clear_sel(d);
        d->sel[to] = 1;
        d->anchor = to;
    }
    d->selected = to;
    _notify(w, to);
    return 1;
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float dw) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (dw != 0 || q_gui_shift_held(ctx)) {
        d->hscroll -= (dw != 0 ? dw : dz) * ctx->style.scroll_step;
    } else {
        d->first_row -= (int)(dz * 3);
    }
    _clamp(ctx, w);
    ctx->redraw = 1;
    return 1;
}

static int _cursor_at(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float mx, float my) {
    const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, w);
    if (!win) return 0;
    float x, y;
    q_gui_widget_origin(win, w, &x, &y);
    if (my >= y + _row_h(ctx, w)) return 0;
    bool border;
    return _col_at(_data(w), x, mx, &border) >= 0 && border ? ALLEGRO_SYSTEM_MOUSE_CURSOR_RESIZE_E : 0;
}

static void _free_rows(Q_GUI_DATAGRID_DATA *d) {
    for (int r = 0; r < d->row_count; r++)
        free(d->rows[r]);
    d->row_count = 0;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_GUI_DATAGRID_DATA *d = _data(w);
    _free_rows(d);
    Q_FREE(d->rows);
    Q_FREE(d->sel);
    Q_FREE(d->colors);
    Q_FREE(d->has_color);
    Q_FREE(d->cols);
    Q_FREE(d->order);
}

static const Q_GUI_KIND_OPS k_datagrid_ops = {
    .kind = Q_GUI_KIND_DATAGRID,
    .name = "datagrid",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
    .wheel = _wheel,
    .cursor_at = _cursor_at,
};

// ---- operations -------------------------------------------------------------------

int q_gui_add_datagrid(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                       Q_GUI_INDEX_CB on_select, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_DATAGRID_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_DATAGRID_DATA);
    if (!d) return -1;
    d->resizing = d->pressed_title = -1;
    d->sort_col = -1;
    d->sort_dir = 1;
    d->selected = -1;
    d->anchor = -1;
    d->on_select = on_select;
    d->user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_datagrid_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_grid(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_DATAGRID);
}

int q_gui_datagrid_add_column(Q_GUI_CTX *ctx, int id, const char *title, float width) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return -1;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (d->row_count > 0) return -1; // rows are laid out for the columns they were added with
    if (d->col_count == d->col_cap) {
        const int cap = d->col_cap ? d->col_cap * 2 : 8;
        void *pc = realloc(d->cols, sizeof(Q_GUI_DATAGRID_COL) * (size_t)cap);
        if (!pc) return -1;
        d->cols = static_cast<Q_GUI_DATAGRID_COL *>(pc);
        void *po = realloc(d->order, sizeof(int) * (size_t)cap);
        if (!po) return -1;
        d->order = static_cast<int *>(po);
        d->col_cap = cap;
    }
    Q_GUI_DATAGRID_COL *c = &d->cols[d->col_count];
    memset(c, 0, sizeof *c);
    const char *t = title ? title : "";
    memcpy(c->title, t, q_gui_utf8_cut(t, strlen(t), sizeof c->title - 1));
    c->width = std::max(k_min_col_w, std::isfinite(width) ? width : k_min_col_w);
    c->visible = 1;
    d->order[d->col_count] = d->col_count;
    ctx->redraw = 1;
    return d->col_count++;
}

int q_gui_datagrid_column_count(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    return w ? _data(w)->col_count : 0;
}

static int _grow_rows(Q_GUI_DATAGRID_DATA *d) {
    if (d->row_count < d->row_cap) return 0;
    const int cap = d->row_cap ? d->row_cap * 2 : 16;
    void *p = realloc(d->rows, sizeof(char *) * (size_t)cap);
    if (!p) {
        q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "d->rows", "cap",
              sizeof(char *), "malloc error", __LINE__, __FILE__);
        return -1;
    }
    d->rows = static_cast<char **>(p);
    void *ps = realloc(d->sel, (size_t)cap);
    if (!ps) return -1;
    d->sel = static_cast<unsigned char *>(ps);
    memset(d->sel + d->row_cap, 0, (size_t)(cap - d->row_cap));
    if (d->colors) {
        void *pc = realloc(d->colors, sizeof(ALLEGRO_COLOR) * (size_t)cap);
        if (!pc) return -1;
        d->colors = static_cast<ALLEGRO_COLOR *>(pc);
        void *ph = realloc(d->has_color, (size_t)cap);
        if (!ph) return -1;
        d->has_color = static_cast<unsigned char *>(ph);
        memset(d->has_color + d->row_cap, 0, (size_t)(cap - d->row_cap));
    }
    d->row_cap = cap;
    return 0;
}

int q_gui_datagrid_add_row(Q_GUI_CTX *ctx, int id, const char *const *cells) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return -1;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (_grow_rows(d) != 0) return -1;
    const int nc = d->col_count;
    size_t lens[64];
    std::vector<size_t> many;
    size_t *len = nc <= 64 ? lens : (many.resize((size_t)nc), many.data());
    size_t total = (sizeof(uint32_t) + sizeof(float)) * (size_t)nc;
    for (int c = 0; c < nc; c++) {
        const char *s = cells && cells[c] ? cells[c] : "";
        len[c] = strlen(s);
        total += len[c] + 1;
    }
    if (total > UINT32_MAX) return -1;
    char *block = static_cast<char *>(malloc(total ? total : 1));
    if (!block) {
        q_log(Q_LOG_ERR, "( %s *)calloc( %zu , sizeof( %s ) ) %s at line %d of %s", "block", total, "char",
              "malloc error", __LINE__, __FILE__);
        return -1;
    }
    uint32_t off = (uint32_t)((sizeof(uint32_t) + sizeof(float)) * (size_t)nc);
    std::fill_n(reinterpret_cast<float *>(block + sizeof(uint32_t) * (size_t)nc), nc, -1.0f);
    for (int c = 0; c < nc; c++) {
        memcpy(block + sizeof(uint32_t) * (size_t)c, &off, sizeof off);
        const char *s = cells && cells[c] ? cells[c] : "";
        memcpy(block + off, s, len[c] + 1);
        off += (uint32_t)(len[c] + 1);
    }
    const int r = d->row_count++;
    d->rows[r] = block;
    d->sel[r] = 0;
    if (d->has_color) d->has_color[r] = 0;
    ctx->redraw = 1;
    return r;
}

int q_gui_datagrid_remove_row(Q_GUI_CTX *ctx, int id, int row) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return -1;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (row < 0 || row >= d->row_count) return -1;
    free(d->rows[row]);
    const size_t tail = (size_t)(d->row_count - row - 1);
    memmove(d->rows + row, d->rows + row + 1, sizeof(char *) * tail);
    memmove(d->sel + row, d->sel + row + 1, tail);
    if (d->colors) {
        memmove(d->colors + row, d->colors + row + 1, sizeof(ALLEGRO_COLOR) * tail);
        memmove(d->has_color + row, d->has_color + row + 1, tail);
    }
    d->row_count--;
    auto fix = [row](int &v) {
        if (v == row)
            v = -1;
        else if (v > row)
            v--;
    };
    fix(d->selected);
    fix(d->anchor);
    _clamp(ctx, w);
    ctx->redraw = 1;
    return 0;
}

const char *q_gui_datagrid_get_cell(const Q_GUI_CTX *ctx, int id, int row, int col) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return nullptr;
    const Q_GUI_DATAGRID_DATA *d = _data(w);
    if (row < 0 || row >= d->row_count || col < 0 || col >= d->col_count) return nullptr;
    return _cell(d, row, col);
}

void q_gui_datagrid_clear(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    _free_rows(d);
    d->selected = d->anchor = -1;
    d->first_row = 0;
    if (d->has_color) memset(d->has_color, 0, (size_t)d->row_cap);
    if (d->sel) memset(d->sel, 0, (size_t)d->row_cap);
    ctx->redraw = 1;
}

int q_gui_datagrid_row_count(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    return w ? _data(w)->row_count : 0;
}

int q_gui_datagrid_get_selected_row(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    return w ? _data(w)->selected : -1;
}

void q_gui_datagrid_set_selected_row(Q_GUI_CTX *ctx, int id, int row) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    ctx->redraw = 1;
    if (row < 0 || row >= d->row_count) {
        d->selected = -1;
        if (d->multi) _clear_sel(d);
        return;
    }
    if (d->multi) {
        _clear_sel(d);
        d->sel[row] = 1;
        d->anchor = row;
    }
    d->selected = row;
    _scroll_into_view(ctx, w, row);
    _notify(w, row);
}

void q_gui_datagrid_set_multi_select(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    d->multi = flag ? 1 : 0;
    _clear_sel(d);
    if (d->multi && d->selected >= 0) d->sel[d->selected] = 1;
    d->anchor = d->selected;
    ctx->redraw = 1;
}

int q_gui_datagrid_get_selected_rows(const Q_GUI_CTX *ctx, int id, int *out, int capacity) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return 0;
    const Q_GUI_DATAGRID_DATA *d = _data(w);
    int n = 0;
    if (!d->multi) {
        if (d->selected >= 0 && out && capacity > 0) out[n++] = d->selected;
        return n;
    }
    for (int r = 0; r < d->row_count && n < capacity; r++)
        if (d->sel[r] && out) out[n++] = r;
    return n;
}

void q_gui_datagrid_select_row(Q_GUI_CTX *ctx, int id, int row, int flag) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (!d->multi || row < 0 || row >= d->row_count) return;
    d->sel[row] = flag ? 1 : 0;
    ctx->redraw = 1;
}

void q_gui_datagrid_clear_selection(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    _clear_sel(d);
    d->selected = d->anchor = -1;
    ctx->redraw = 1;
}

void q_gui_datagrid_sort(Q_GUI_CTX *ctx, int id, int col, int direction) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (w) _sort(ctx, w, col, direction);
}

void q_gui_datagrid_get_sort(const Q_GUI_CTX *ctx, int id, int *col, int *direction) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    if (col) *col = w ? _data(w)->sort_col : -1;
    if (direction) *direction = w ? _data(w)->sort_dir : 1;
}

void q_gui_datagrid_set_row_color(Q_GUI_CTX *ctx, int id, int row, ALLEGRO_COLOR color) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (row < 0 || row >= d->row_count) return;
    if (!d->colors) {
        Q_CALLOC(d->colors, (size_t)d->row_cap, ALLEGRO_COLOR);
        if (!d->colors) return;
        Q_CALLOC(d->has_color, (size_t)d->row_cap, unsigned char);
        if (!d->has_color) {
            Q_FREE(d->colors);
            return;
        }
    }
    d->colors[row] = color;
    d->has_color[row] = 1;
    ctx->redraw = 1;
}

int q_gui_datagrid_get_row_color(const Q_GUI_CTX *ctx, int id, int row, ALLEGRO_COLOR *color) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return 0;
    const Q_GUI_DATAGRID_DATA *d = _data(w);
    if (row < 0 || row >= d->row_count || !d->has_color || !d->has_color[row]) return 0;
    if (color) *color = d->colors[row];
    return 1;
}

void q_gui_datagrid_set_context_callback(Q_GUI_CTX *ctx, int id, Q_GUI_GRID_CONTEXT_CB cb, void *user) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    _data(w)->on_context = cb;
    // Both callbacks share one user pointer; a null one keeps the select
    // callback's.
    if (user) _data(w)->user = user;
}

void q_gui_datagrid_scroll_to_row(Q_GUI_CTX *ctx, int id, int row) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (d->row_count == 0) return;
    d->first_row = std::max(0, std::min(row, d->row_count - 1));
    _clamp(ctx, w);
    ctx->redraw = 1;
}

int q_gui_datagrid_get_first_row(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    return w ? _data(w)->first_row : 0;
}

void q_gui_datagrid_set_column_width(Q_GUI_CTX *ctx, int id, int col, float width) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w || col < 0 || col >= _data(w)->col_count) return;
    _data(w)->cols[col].width = std::max(k_min_col_w, std::isfinite(width) ? width : k_min_col_w);
    ctx->redraw = 1;
}

float q_gui_datagrid_get_column_width(const Q_GUI_CTX *ctx, int id, int col) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w || col < 0 || col >= _data(w)->col_count) return 0;
    return _data(w)->cols[col].width;
}

void q_gui_datagrid_set_column_visible(Q_GUI_CTX *ctx, int id, int col, int flag) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w || col < 0 || col >= _data(w)->col_count) return;
    _data(w)->cols[col].visible = flag ? 1 : 0;
    _clamp(ctx, w);
    ctx->redraw = 1;
}

int q_gui_datagrid_get_column_visible(const Q_GUI_CTX *ctx, int id, int col) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w || col < 0 || col >= _data(w)->col_count) return 0;
    return _data(w)->cols[col].visible;
}

void q_gui_datagrid_move_column(Q_GUI_CTX *ctx, int id, int col, int pos) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    Q_GUI_DATAGRID_DATA *d = _data(w);
    if (col < 0 || col >= d->col_count) return;
    pos = std::max(0, std::min(pos, d->col_count - 1));
    int from = 0;
    while (d->order[from] != col)
        from++;
    if (from < pos)
        std::rotate(d->order + from, d->order + from + 1, d->order + pos + 1);
    else if (from > pos)
        std::rotate(d->order + pos, d->order + from, d->order + from + 1);
    ctx->redraw = 1;
}

int q_gui_datagrid_column_at(const Q_GUI_CTX *ctx, int id, int pos) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w || pos < 0 || pos >= _data(w)->col_count) return -1;
    return _data(w)->order[pos];
}

void q_gui_datagrid_set_hscroll(Q_GUI_CTX *ctx, int id, float offset) {
    Q_GUI_WIDGET *w = _grid(ctx, id);
    if (!w) return;
    _data(w)->hscroll = std::isfinite(offset) ? offset : 0;
    _clamp(ctx, w);
    ctx->redraw = 1;
}

float q_gui_datagrid_get_hscroll(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    return w ? _data(w)->hscroll : 0;
}

float q_gui_datagrid_row_height(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _grid(ctx, id);
    return w ? _row_h(ctx, w) : 0;
}
