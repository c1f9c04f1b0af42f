// q_gui listbox kind: a scrolling list of text items with no, single or
// multiple selection, a scroll strip at its right edge and wheel scrolling by
// whole items. Only the rows in view are drawn, so the cost of a frame does
// not depend on the number of items.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_LISTBOX_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_LISTBOX_DATA *>(w->data);
}

static float _content(const Q_GUI_LISTBOX_DATA *d) {
    return d->item_h * (float)d->count;
}

static bool _has_strip(const Q_GUI_WIDGET *w) {
    return _content(_data(w)) > w->h;
}

static void _clamp_scroll(Q_GUI_WIDGET *w) {
    Q_GUI_LISTBOX_DATA *d = _data(w);
    const float maxs = std::max(0.0f, _content(d) - w->h);
    d->scroll = std::min(std::max(d->scroll, 0.0f), maxs);
}

static void _scroll_to(Q_GUI_WIDGET *w, int index) {
    Q_GUI_LISTBOX_DATA *d = _data(w);
    if (index < 0 || index >= d->count) return;
    const float top = d->item_h * (float)index;
    if (top < d->scroll) d->scroll = top;
    if (top + d->item_h > d->scroll + w->h) d->scroll = top + d->item_h - w->h;
    _clamp_scroll(w);
}

static void _select(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int index, int flag, bool notify) {
    Q_GUI_LISTBOX_DATA *d = _data(w);
    if (index < 0 || index >= d->count) return;
    if (d->mode == 1 && flag)
        for (int i = 0; i < d->count; i++)
            d->items[i].selected = 0;
    d->items[index].selected = flag ? 1 : 0;
    d->cursor = index;
    ctx->redraw = 1;
    if (notify && d->on_select) d->on_select(w->id, index, flag ? 1 : 0, d->user);
}

static void _draw_mark(float x, float cy, int mark, ALLEGRO_COLOR c) {
    if (mark == 1)
        al_draw_filled_triangle(x, cy - 4, x, cy + 4, x + 5, cy, c);
    else if (mark == 2)
        al_draw_filled_triangle(x - 1, cy - 2, x + 7, cy - 2, x + 3, cy + 3, c);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    Q_GUI_LISTBOX_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const Q_GUI_STYLE *s = &ctx->style;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    _clamp_scroll(w);
    if (d->bmp_bg)
        q_gui_draw_bitmap_in(d->bmp_bg, x, y, w->w, w->h);
    else
        q_gui_fill_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, t->bg_normal);
    const bool strip = _has_strip(w);
    const float sw = strip ? s->scrollbar_size : 0;
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    {
        float x0 = x, y0 = y, x1 = x + w->w - sw, y1 = y + w->h;
        al_transform_coordinates(al_get_current_transform(), &x0, &y0);
        al_transform_coordinates(al_get_current_transform(), &x1, &y1);
        const int cx0 = std::max(ox, (int)x0), cy0 = std::max(oy, (int)y0);
        const int cx1 = std::min(ox + ow, (int)ceilf(x1)), cy1 = std::min(oy + oh, (int)ceilf(y1));
        al_set_clipping_rectangle(cx0, cy0, std::max(0, cx1 - cx0), std::max(0, cy1 - cy0));
    }
    const float lh = (float)al_get_font_line_height(font);
    const int first = (int)floorf(d->scroll / d->item_h);
    const int last = std::min(d->count - 1, (int)floorf((d->scroll + w->h) / d->item_h));
    al_hold_bitmap_drawing(true);
    for (int i = std::max(0, first); i <= last; i++) {
        const Q_GUI_LISTITEM *it = &d->items[i];
        const float ry = y + d->item_h * (float)i - d->scroll;
        const float in = s->item_selection_inset;
        const int lit = it->selected                                                   ? Q_GUI_LIT_CURSOR
                        : i == d->hovered && (w->state & Q_GUI_WS_HOVER) && w->enabled ? Q_GUI_LIT_MARK
                                                                                       : Q_GUI_LIT_NONE;
        ALLEGRO_COLOR tc = t->text_normal;
        al_hold_bitmap_drawing(false);
        if (lit == Q_GUI_LIT_CURSOR && d->bmp_sel) {
            q_gui_draw_bitmap_in(d->bmp_sel, x + in, ry + in, w->w - sw - 2 * in, d->item_h - 2 * in);
            tc = q_gui_dim(w, t->text_active);
        } else {
            tc = q_gui_lit_row(t, w->enabled, x + in, ry + in, x + w->w - sw - in, ry + d->item_h - in, lit);
        }
        al_hold_bitmap_drawing(true);
        if ((w->state & Q_GUI_WS_FOCUSED) && i == d->cursor) {
            al_hold_bitmap_drawing(false);
            al_draw_rectangle(x + in + 0.5f, ry + in + 0.5f, x + w->w - sw - in - 0.5f,
                              ry + d->item_h - in - 0.5f, t->border_active, 1);
            al_hold_bitmap_drawing(true);
        }
        const float indent = 14.0f * (float)it->indent;
        float tx = x + s->item_text_padding + indent;
        if (it->mark || it->indent) {
            al_hold_bitmap_drawing(false);
            _draw_mark(tx, ry + d->item_h / 2, it->mark, q_gui_dim(w, t->text_normal));
            al_hold_bitmap_drawing(true);
            tx += 12;
        }
        q_gui_draw_text_fit(font, tc, tx, ry + (d->item_h - lh) / 2, x + w->w - sw - tx - 2, 0, it->text);
    }
    al_hold_bitmap_drawing(false);
    al_set_clipping_rectangle(ox, oy, ow, oh);
    if (strip)
        q_gui_draw_strip(ctx, x + w->w - sw, y, sw, w->h, 1, _content(d), w->h, d->scroll, d->dragging_strip);
    q_gui_stroke_view_border(ctx, w, x, y, t->corner_rx, t->corner_ry);
}

static int _item_at(const Q_GUI_WIDGET *w, float y, float my) {
    const Q_GUI_LISTBOX_DATA *d = _data(w);
    const int i = (int)floorf((my - y + d->scroll) / d->item_h);
    return (i >= 0 && i < d->count) ? i : -1;
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_LISTBOX_DATA *d = _data(w);
    const float sw = ctx->style.scrollbar_size;
    if (ev->type == ALLEGRO_EVENT_MOUSE_AXES) {
        d->hovered = _item_at(w, y, my);
        if (d->dragging_strip && (w->state & Q_GUI_WS_CAPTURE))
            d->scroll = (float)q_gui_strip_pos(ctx, w->h, _content(d), w->h, my - y, d->drag_offset);
        return;
    }
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) {
        d->dragging_strip = 0;
        return;
    }
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN || ev->mouse.button != 1) return;
    if (_has_strip(w) && mx >= x + w->w - sw) {
        float tp, tl;
        q_gui_strip_thumb(ctx, w->h, _content(d), w->h, d->scroll, &tp, &tl);
        const float m = my - y;
        d->drag_offset = (m >= tp && m < tp + tl) ? m - tp : tl / 2;
        d->dragging_strip = 1;
        d->scroll = (float)q_gui_strip_pos(ctx, w->h, _content(d), w->h, m, d->drag_offset);
        return;
    }
    const int i = _item_at(w, y, my);
    if (i < 0) return;
    d->cursor = i;
    if (d->mode == 1)
        _select(ctx, w, i, 1, true);
    else if (d->mode == 2)
        _select(ctx, w, i, !d->items[i].selected, true);
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float) {
    Q_GUI_LISTBOX_DATA *d = _data(w);
    if (!_has_strip(w)) return 0;
    // Whole items: the first row stays aligned to the top.
    const float rows = -dz * 3;
    const float first = floorf(d->scroll / d->item_h + 0.5f) + rows;
    d->scroll = first * d->item_h;
    _clamp_scroll(w);
    ctx->redraw = 1;
    return 1;
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_LISTBOX_DATA *d = _data(w);
    if (d->count == 0) return 0;
    const int page = std::max(1, (int)(w->h / d->item_h) - 1);
    const int key = ev->keyboard.keycode;
    if (d->on_key && (key == ALLEGRO_KEY_ENTER || key == ALLEGRO_KEY_PAD_ENTER || key == ALLEGRO_KEY_LEFT ||
                      key == ALLEGRO_KEY_RIGHT)) {
        const int row = d->cursor >= 0 ? d->cursor : q_gui_listbox_get_selected(ctx, w->id);
        ctx->redraw = 1;
        // The owner may rebuild the list: nothing of it is touched afterwards.
        return d->on_key(w->id, row, key, d->key_user) || key == ALLEGRO_KEY_LEFT || key == ALLEGRO_KEY_RIGHT;
    }
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_SPACE:
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        if (d->cursor >= 0 && d->mode == 2)
            _select(ctx, w, d->cursor, !d->items[d->cursor].selected, true);
        else if (d->cursor >= 0 && d->mode == 1)
            _select(ctx, w, d->cursor, 1, true);
        return ev->keyboard.keycode != ALLEGRO_KEY_SPACE || d->mode == 2;
    case ALLEGRO_KEY_LEFT:
    case ALLEGRO_KEY_RIGHT:
        return 1;
    default:
        break;
    }
    int to;
    if (!q_gui_row_step(ev->keyboard.keycode, d->cursor < 0 ? -1 : d->cursor, d->count, page, &to)) return 0;
    d->cursor = to;
    // A single-selection list follows the keyboard; the others only move the
    // cursor until Space or Enter. A list whose owner takes the keys follows
    // quietly: its owner acts on Enter, not on every row passed.
    if (d->mode == 1 && !d->items[to].selected) _select(ctx, w, to, 1, d->on_key == nullptr);
    _scroll_to(w, to);
    ctx->redraw = 1;
    return 1;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_FREE(_data(w)->items);
}

static const Q_GUI_KIND_OPS k_listbox_ops = {
    .kind = Q_GUI_KIND_LISTBOX,
    .name = "listbox",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
    .wheel = _wheel,
};

int q_gui_add_listbox(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int mode,
                      Q_GUI_LIST_SELECT_CB on_select, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_LISTBOX_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_LISTBOX_DATA);
    if (!d) return -1;
    d->mode = (mode >= 0 && mode <= 2) ? mode : 1;
    d->item_h = ctx->style.listbox_default_item_height > 1 ? ctx->style.listbox_default_item_height : 20;
    d->on_select = on_select;
    d->user = user;
    d->hovered = -1;
    d->cursor = -1;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_listbox_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_lb(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_LISTBOX);
}

int q_gui_listbox_add_item(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return -1;
    Q_GUI_LISTBOX_DATA *d = _data(w);
    ctx->redraw = 1;
    return q_gui_items_add(&d->items, &d->count, &d->cap, text);
}

void q_gui_listbox_clear(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return;
    Q_GUI_LISTBOX_DATA *d = _data(w);
    d->count = 0;
    d->hovered = d->cursor = -1;
    ctx->redraw = 1;
}

void q_gui_listbox_set_selected(Q_GUI_CTX *ctx, int id, int index, int flag) {
    Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return;
    Q_GUI_LISTBOX_DATA *d = _data(w);
    if (index < 0 || index >= d->count) return;
    _select(ctx, w, index, flag, false);
}

int q_gui_listbox_is_selected(const Q_GUI_CTX *ctx, int id, int index) {
    const Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return 0;
    const Q_GUI_LISTBOX_DATA *d = _data(w);
    return (index >= 0 && index < d->count) ? d->items[index].selected : 0;
}

int q_gui_listbox_count(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _lb(ctx, id);
    return w ? _data(w)->count : 0;
}

const char *q_gui_listbox_get_item_text(const Q_GUI_CTX *ctx, int id, int index) {
    const Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return "";
    const Q_GUI_LISTBOX_DATA *d = _data(w);
    return (index >= 0 && index < d->count) ? d->items[index].text : "";
}

int q_gui_listbox_get_selected(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return -1;
    const Q_GUI_LISTBOX_DATA *d = _data(w);
    for (int i = 0; i < d->count; i++)
        if (d->items[i].selected) return i;
    return -1;
}

float q_gui_listbox_get_scroll(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _lb(ctx, id);
    return w ? _data(w)->scroll : 0;
}

void q_gui_listbox_set_scroll(Q_GUI_CTX *ctx, int id, float scroll) {
    Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return;
    _data(w)->scroll = std::isfinite(scroll) ? scroll : 0;
    _clamp_scroll(w);
    ctx->redraw = 1;
}

void q_gui_listbox_scroll_to(Q_GUI_CTX *ctx, int id, int index) {
    Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return;
    _scroll_to(w, index);
    ctx->redraw = 1;
}

void q_gui_listbox_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *background,
                               ALLEGRO_BITMAP *selection) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_LISTBOX, "q_gui_listbox_set_bitmaps", "listbox");
    if (!w) return;
    _data(w)->bmp_bg = background;
    _data(w)->bmp_sel = selection;
    ctx->redraw = 1;
}

void q_gui_listbox_set_key_callback(Q_GUI_CTX *ctx, int id, Q_GUI_LIST_KEY_CB on_key, void *user) {
    Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return;
    _data(w)->on_key = on_key;
    _data(w)->key_user = user;
}

void q_gui_listbox_set_item_indent(Q_GUI_CTX *ctx, int id, int index, int indent, int mark) {
    Q_GUI_WIDGET *w = _lb(ctx, id);
    if (!w) return;
    Q_GUI_LISTBOX_DATA *d = _data(w);
    if (index < 0 || index >= d->count) return;
    d->items[index].indent = indent < 0 ? 0 : indent;
    d->items[index].mark = mark;
    ctx->redraw = 1;
}
