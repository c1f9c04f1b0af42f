// q_gui widgets: the record every kind shares, the id table, and the common
// operations (rectangles, visibility, tooltip, theme). The kinds themselves
// are in q_gui_<kind>.cpp.

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
