// q_gui widgets: the record every kind shares, the id table, and the common
// operations (rectangles, visibility, tooltip, theme). The kinds themselves
// are in q_gui_<kind>.cpp.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cstdio>
#include <cstring>

#include "q_clipboard.h"
#include "q_common.h"
#include "q_gui_internal.h"

// =============================================================================
// Id table: 256 buckets over the decimal text of the id
// =============================================================================

static unsigned _bucket(const char *key) {
    unsigned h = 5381;
    for (const char *p = key; *p; p++)
        h = h * 33u + (unsigned char)*p;
    return h % Q_GUI_WIDGET_BUCKETS;
}

static int _table_add(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_WIDGET_SLOT *slot = nullptr;
    Q_CALLOC(slot, 1, Q_GUI_WIDGET_SLOT);
    if (!slot) return -1;
    q_format(slot->key, sizeof slot->key, "%d", w->id);
    slot->widget = w;
    const unsigned b = _bucket(slot->key);
    slot->next = ctx->widgets[b];
    ctx->widgets[b] = slot;
    return 0;
}

void q_gui_widget_table_remove(Q_GUI_CTX *ctx, int id) {
    char key[16];
    q_format(key, sizeof key, "%d", id);
    Q_GUI_WIDGET_SLOT **pp = &ctx->widgets[_bucket(key)];
    while (*pp) {
        if (!strcmp((*pp)->key, key)) {
            Q_GUI_WIDGET_SLOT *dead = *pp;
            *pp = dead->next;
            free(dead);
            return;
        }
        pp = &(*pp)->next;
    }
}

Q_GUI_WIDGET *q_gui_get_widget(const Q_GUI_CTX *ctx, int id) {
    if (!ctx || id < 1) return nullptr;
    char key[16];
    q_format(key, sizeof key, "%d", id);
    for (Q_GUI_WIDGET_SLOT *s = ctx->widgets[_bucket(key)]; s; s = s->next)
        if (!strcmp(s->key, key)) return s->widget;
    return nullptr;
}

Q_GUI_WIDGET *q_gui_widget_of_kind(const Q_GUI_CTX *ctx, int id, int kind) {
    Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    return (w && w->kind == kind) ? w : nullptr;
}

// =============================================================================
// Creation and destruction
// =============================================================================

void q_gui_widget_update_fractions(const Q_GUI_WINDOW *win, Q_GUI_WIDGET *w) {
    const float ww = win->w > 0 ? win->w : 1, wh = win->h > 0 ? win->h : 1;
    w->fx = w->x / ww;
    w->fy = w->y / wh;
    w->fw = w->w / ww;
    w->fh = w->h / wh;
}

Q_GUI_WIDGET *q_gui_widget_create(Q_GUI_CTX *ctx, int window, const Q_GUI_KIND_OPS *ops, void *data, float x,
                                  float y, float w, float h) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, window);
    Q_GUI_WIDGET *wd = nullptr;
    if (win) Q_CALLOC(wd, 1, Q_GUI_WIDGET);
    if (!wd) {
        free(data);
        return nullptr;
    }
    if (win->widget_count == win->widget_cap) {
        const int cap = win->widget_cap * 2;
        void *p = realloc(win->widgets, sizeof(Q_GUI_WIDGET *) * (size_t)cap);
        if (!p) {
            q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "win->widgets",
                  "cap", sizeof(Q_GUI_WIDGET *), "malloc error", __LINE__, __FILE__);
            free(data);
            Q_FREE(wd);
            return nullptr;
        }
        win->widgets = static_cast<Q_GUI_WIDGET **>(p);
        win->widget_cap = cap;
    }
    wd->id = ctx->next_widget_id;
    wd->kind = ops->kind;
    wd->x = x;
    wd->y = y;
    wd->w = w;
    wd->h = h;
    wd->visible = 1;
    wd->enabled = 1;
    wd->theme = ctx->theme;
    wd->data = data;
    wd->ops = ops;
    wd->window_id = window;
    if (_table_add(ctx, wd) != 0) {
        free(data);
        Q_FREE(wd);
        return nullptr;
    }
    ctx->next_widget_id++;
    q_gui_widget_update_fractions(win, wd);
    win->widgets[win->widget_count++] = wd;
    ctx->redraw = 1;
    return wd;
}

void q_gui_widget_destroy(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    if (!w) return;
    if (w->ops && w->ops->destroy) w->ops->destroy(ctx, w);
    q_gui_widget_table_remove(ctx, w->id);
    if (ctx->focus == w->id) ctx->focus = -1;
    if (ctx->capture == w->id) ctx->capture = -1;
    q_gui_overlay_forget(ctx, w);
    if (ctx->selection_owner == w->id) ctx->selection_owner = -1;
    Q_FREE(w->data);
    Q_FREE(w->tooltip);
    Q_FREE(w);
}

// =============================================================================
// Common operations
// =============================================================================

Q_GUI_WINDOW *q_gui_widget_window(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return w ? q_gui_window_find(ctx, w->window_id) : nullptr;
}

ALLEGRO_FONT *q_gui_widget_font(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return (w && w->font) ? w->font : ctx->default_font;
}

void q_gui_widget_origin(const Q_GUI_WINDOW *win, const Q_GUI_WIDGET *w, float *x, float *y) {
    *x = win->x - win->scroll_x + w->x;
    *y = win->y + q_gui_window_tb_h(win) - win->scroll_y + w->y;
}

void q_gui_widget_set_rect(Q_GUI_CTX *ctx, int id, float x, float y, float w, float h) {
    Q_GUI_WIDGET *wd = q_gui_get_widget(ctx, id);
    Q_GUI_WINDOW *win = q_gui_widget_window(ctx, wd);
    if (!wd || !win) return;
    wd->x = x;
    wd->y = y;
    wd->w = w;
    wd->h = h;
    q_gui_widget_update_fractions(win, wd);
    // The scroll bars follow the content a moved widget leaves or reaches.
    q_gui_window_update_content(ctx, win);
    ctx->redraw = 1;
}

int q_gui_widget_screen_rect(const Q_GUI_CTX *ctx, int id, float *x, float *y, float *w, float *h) {
    const Q_GUI_WIDGET *wd = q_gui_get_widget(ctx, id);
    const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, wd);
    if (!wd || !win || !(win->state & Q_GUI_WST_OPEN)) return 0;
    float ox, oy;
    q_gui_widget_origin(win, wd, &ox, &oy);
    if (!win->native) {
        // Canvas -> display: global scroll, then the letterbox.
        const float s = ctx->virtual_w > 0 ? ctx->virtual_scale : 1.0f;
        const float lx = ctx->virtual_w > 0 ? ctx->letterbox_x : 0,
                    ly = ctx->virtual_w > 0 ? ctx->letterbox_y : 0;
        if (x) *x = (ox - ctx->gscroll_x) * s + lx;
        if (y) *y = (oy - ctx->gscroll_y) * s + ly;
        if (w) *w = wd->w * s;
        if (h) *h = wd->h * s;
        return 1;
    }
    if (x) *x = ox;
    if (y) *y = oy;
    if (w) *w = wd->w;
    if (h) *h = wd->h;
    return 1;
}

void q_gui_widget_set_visible(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    if (!w) return;
    w->visible = flag ? 1 : 0;
    if (!w->visible && ctx->focus == id) q_gui_set_focus(ctx, -1);
    ctx->redraw = 1;
}

int q_gui_widget_is_visible(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    return w ? w->visible : 0;
}

void q_gui_widget_set_enabled(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    if (!w) return;
    w->enabled = flag ? 1 : 0;
    if (!w->enabled && ctx->focus == id) q_gui_set_focus(ctx, -1);
    ctx->redraw = 1;
}

int q_gui_widget_is_enabled(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    return w ? w->enabled : 0;
}

void q_gui_widget_set_tooltip(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    if (!w) return;
    if (w->tooltip && text && !strcmp(w->tooltip, text)) return;
    Q_FREE(w->tooltip);
    if (text && text[0]) {
        const size_t n = strlen(text);
        Q_CALLOC(w->tooltip, n + 1, char);
        if (w->tooltip) memcpy(w->tooltip, text, n);
    }
    ctx->redraw = 1;
}

void q_gui_widget_set_theme(Q_GUI_CTX *ctx, int id, const Q_GUI_THEME *theme) {
    Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    if (!w || !theme) return;
    w->theme = *theme;
    ctx->redraw = 1;
}

void q_gui_widget_set_font(Q_GUI_CTX *ctx, int id, ALLEGRO_FONT *font) {
    Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    if (!w) return;
    w->font = font;
    ctx->redraw = 1;
}

void q_gui_copy_text(Q_GUI_CTX *ctx, const char *text) {
    if (!text) return;
    if (q_clipboard_init())
        q_clipboard_set(0, text);
    else if (ctx->display)
        al_set_clipboard_text(ctx->display, text);
}

// =============================================================================
// Helpers shared by the kinds
// =============================================================================

int q_gui_copy_key(Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev,
                   char *(*selection)(const Q_GUI_CTX *ctx, int id)) {
    if (!(ev->keyboard.modifiers & ALLEGRO_KEYMOD_CTRL) || ev->keyboard.keycode != ALLEGRO_KEY_C) return -1;
    char *t = selection(ctx, w->id);
    if (!t) return 0;
    q_gui_copy_text(ctx, t);
    free(t);
    return 1;
}

Q_GUI_WIDGET *q_gui_widget_expect(const Q_GUI_CTX *ctx, int id, int kind, const char *fn, const char *what) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, kind);
    if (!w) q_log(Q_LOG_WARNING, "%s: widget %d is not a %s", fn, id, what);
    return w;
}

int q_gui_utf8_size(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

size_t q_gui_utf8_cut(const char *text, size_t len, size_t max) {
    if (len <= max) return len;
    size_t n = 0;
    while (n < max) {
        const size_t s = (size_t)q_gui_utf8_size((unsigned char)text[n]);
        if (n + s > max) break;
        n += s;
    }
    return n;
}

int q_gui_items_add(Q_GUI_LISTITEM **items, int *count, int *cap, const char *text) {
    if (*count == *cap) {
        const int ncap = *cap ? *cap * 2 : 4;
        void *p = realloc(*items, sizeof(Q_GUI_LISTITEM) * (size_t)ncap);
        if (!p) {
            q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "items", "ncap",
                  sizeof(Q_GUI_LISTITEM), "malloc error", __LINE__, __FILE__);
            return -1;
        }
        *items = static_cast<Q_GUI_LISTITEM *>(p);
        *cap = ncap;
    }
    Q_GUI_LISTITEM *it = &(*items)[*count];
    memset(it, 0, sizeof *it);
    const char *t = text ? text : "";
    const size_t n = q_gui_utf8_cut(t, strlen(t), Q_GUI_ITEM_TEXT_MAX - 1);
    memcpy(it->text, t, n);
    return (*count)++;
}

void q_gui_overlay_area(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win, float *top, float *bottom) {
    if (win && win->native) {
        *top = 0;
        *bottom = (float)al_get_display_height(win->native);
        return;
    }
    const float h = ctx->virtual_w > 0 ? ctx->virtual_h : ctx->display_h;
    // Canvas coordinates of the visible part: the global scroll shifts it.
    *top = ctx->gscroll_y;
    *bottom = ctx->gscroll_y + (h > 0 ? h : 1e9f);
}

char *q_gui_clipboard_text(Q_GUI_CTX *ctx, int selection) {
    if (q_clipboard_init()) return q_clipboard_get(selection);
    if (selection != 0 || !ctx->display) return nullptr;
    char *a = al_get_clipboard_text(ctx->display);
    if (!a) return nullptr;
    const size_t n = strlen(a);
    char *copy = static_cast<char *>(malloc(n + 1));
    if (copy) memcpy(copy, a, n + 1);
    q_secure_zero(a, n);
    al_free(a);
    return copy;
}

void q_gui_strip_thumb(const Q_GUI_CTX *ctx, float track, double content, double view, double pos,
                       float *tpos, float *tlen) {
    const float pad = ctx->style.scrollbar_thumb_padding;
    const float room = track - 2 * pad;
    float tl = content > 0 ? (float)(room * view / content) : room;
    if (tl < ctx->style.scrollbar_thumb_min) tl = ctx->style.scrollbar_thumb_min;
    if (tl > room) tl = room;
    const double maxp = content - view;
    *tlen = tl;
    *tpos = pad + (maxp > 0 ? (float)((room - tl) * (pos / maxp)) : 0);
}

double q_gui_strip_pos(const Q_GUI_CTX *ctx, float track, double content, double view, float m, float grab) {
    float tp, tl;
    q_gui_strip_thumb(ctx, track, content, view, 0, &tp, &tl);
    const float pad = ctx->style.scrollbar_thumb_padding;
    const float room = track - 2 * pad - tl;
    const double maxp = content - view;
    if (room <= 0 || maxp <= 0) return 0;
    double f = (m - grab - pad) / room;
    f = f < 0 ? 0 : f > 1 ? 1 : f;
    return f * maxp;
}

int q_gui_ctrl_held(const Q_GUI_CTX *ctx) {
    return (ctx->mods & (Q_GUI_MOD_LCTRL | Q_GUI_MOD_RCTRL)) != 0;
}

int q_gui_shift_held(const Q_GUI_CTX *ctx) {
    return (ctx->mods & (Q_GUI_MOD_LSHIFT | Q_GUI_MOD_RSHIFT)) != 0;
}

int q_gui_widget_hit(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float mx, float my) {
    const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, w);
    float x = 0, y = 0;
    if (win) q_gui_widget_origin(win, w, &x, &y);
    return (mx >= x && mx < x + w->w && my >= y && my < y + w->h) ? 1 : 0;
}
