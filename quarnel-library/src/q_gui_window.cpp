// q_gui windows: the stacking list, title bar and body, move, resize,
// maximize, autofit, content scrolling, and detaching into a native window (a
// further Allegro display) and back.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

// =============================================================================
// Lookup and stacking
// =============================================================================

Q_GUI_WINDOW *q_gui_window_find(const Q_GUI_CTX *ctx, int id) {
    if (!ctx) return nullptr;
    for (int i = 0; i < ctx->window_count; i++)
        if (ctx->windows[i]->id == id) return ctx->windows[i];
    return nullptr;
}

int q_gui_window_index(const Q_GUI_CTX *ctx, int id) {
    for (int i = 0; i < ctx->window_count; i++)
        if (ctx->windows[i]->id == id) return i;
    return -1;
}

Q_GUI_WINDOW *q_gui_get_window(const Q_GUI_CTX *ctx, int id) {
    return q_gui_window_find(ctx, id);
}

static int _layer(int z_mode) {
    switch (z_mode) {
    case Q_GUI_ZORDER_ALWAYS_BEHIND:
        return 0;
    case Q_GUI_ZORDER_FIXED:
        return 1;
    case Q_GUI_ZORDER_ALWAYS_ON_TOP:
        return 3;
    case Q_GUI_ZORDER_POPUP:
        return 4;
    default:
        return 2;
    }
}

// a goes after b: a higher layer, or inside FIXED a higher z value.
static bool _after(const Q_GUI_WINDOW *a, const Q_GUI_WINDOW *b) {
    const int la = _layer(a->z_mode), lb = _layer(b->z_mode);
    if (la != lb) return la > lb;
    if (la == 1) return a->z_value > b->z_value;
    return false;
}

void q_gui_windows_sort(Q_GUI_CTX *ctx) {
    // Stable: windows of one layer keep their order, so raising stays put.
    for (int i = 1; i < ctx->window_count; i++) {
        Q_GUI_WINDOW *w = ctx->windows[i];
        int j = i - 1;
        while (j >= 0 && _after(ctx->windows[j], w)) {
            ctx->windows[j + 1] = ctx->windows[j];
            j--;
        }
        ctx->windows[j + 1] = w;
    }
}

static void _move_to(Q_GUI_CTX *ctx, int from, int to) {
    Q_GUI_WINDOW *w = ctx->windows[from];
    if (from < to)
        memmove(&ctx->windows[from], &ctx->windows[from + 1], sizeof(Q_GUI_WINDOW *) * (size_t)(to - from));
    else if (from > to)
        memmove(&ctx->windows[to + 1], &ctx->windows[to], sizeof(Q_GUI_WINDOW *) * (size_t)(from - to));
    ctx->windows[to] = w;
}

void q_gui_raise_window(Q_GUI_CTX *ctx, int id) {
    Q_GUARD_VOID(ctx);
    const int i = q_gui_window_index(ctx, id);
    if (i < 0) return;
    const int mode = ctx->windows[i]->z_mode;
    if (mode != Q_GUI_ZORDER_NORMAL && mode != Q_GUI_ZORDER_POPUP) return;
    _move_to(ctx, i, ctx->window_count - 1);
    q_gui_windows_sort(ctx);
    ctx->redraw = 1;
}

void q_gui_lower_window(Q_GUI_CTX *ctx, int id) {
    Q_GUARD_VOID(ctx);
    const int i = q_gui_window_index(ctx, id);
    if (i < 0 || ctx->windows[i]->z_mode != Q_GUI_ZORDER_NORMAL) return;
    _move_to(ctx, i, 0);
    q_gui_windows_sort(ctx);
    ctx->redraw = 1;
}

void q_gui_window_set_zorder(Q_GUI_CTX *ctx, int id, int mode, int value) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    if (mode < 0 || mode > 4) {
        q_log(Q_LOG_WARNING,
              "q_gui_window_set_zorder: unknown z_mode %d for window %d (expected Q_GUI_ZORDER_NORMAL, "
              "Q_GUI_ZORDER_ALWAYS_ON_TOP, Q_GUI_ZORDER_ALWAYS_BEHIND, Q_GUI_ZORDER_FIXED, or "
              "Q_GUI_ZORDER_POPUP), "
              "falling back to Q_GUI_ZORDER_NORMAL",
              mode, id);
        mode = Q_GUI_ZORDER_NORMAL;
    }
    win->z_mode = mode;
    win->z_value = value;
    q_gui_windows_sort(ctx);
    ctx->redraw = 1;
}

int q_gui_window_get_zorder(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? win->z_mode : -1;
}

int q_gui_window_get_zvalue(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? win->z_value : 0;
}

int q_gui_get_topmost_open_window(const Q_GUI_CTX *ctx) {
    Q_GUARD(ctx, -1);
    for (int i = ctx->window_count - 1; i >= 0; i--) {
        const Q_GUI_WINDOW *win = ctx->windows[i];
        if ((win->state & Q_GUI_WST_OPEN) && !(win->state & Q_GUI_WST_MINIMIZED)) return win->id;
    }
    return -1;
}

// =============================================================================
// Creation and simple state
// =============================================================================

int q_gui_add_window(Q_GUI_CTX *ctx, const char *title, float x, float y, float w, float h) {
    Q_GUARD(ctx, -1);
    if (ctx->window_count == ctx->window_cap) {
        const int cap = ctx->window_cap * 2;
        void *p = realloc(ctx->windows, sizeof(Q_GUI_WINDOW *) * (size_t)cap);
        if (!p) {
            q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "ctx->windows",
                  "cap", sizeof(Q_GUI_WINDOW *), "malloc error", __LINE__, __FILE__);
            return -1;
        }
        ctx->windows = static_cast<Q_GUI_WINDOW **>(p);
        ctx->window_cap = cap;
    }
    Q_GUI_WINDOW *win = nullptr;
    Q_CALLOC(win, 1, Q_GUI_WINDOW);
    if (!win) return -1;
    win->widget_cap = 8;
    win->widgets = static_cast<Q_GUI_WIDGET **>(calloc((size_t)win->widget_cap, sizeof(Q_GUI_WIDGET *)));
    if (!win->widgets) {
        q_log(Q_LOG_ERR, "q_gui_add_window: failed to allocate widget list");
        Q_FREE(win);
        return -1;
    }
    win->id = ctx->next_window_id++;
    q_strcpy(win->title, sizeof win->title, title ? title : "");
    win->wheel_scrollbar = -1;
    win->x = x;
    win->y = y;
    win->w = w < 1 ? 1 : w;
    win->h = h < 1 ? 1 : h;
    win->titlebar_h = ctx->style.titlebar_h;
    win->state = Q_GUI_WST_OPEN;
    win->theme = ctx->theme;
    win->min_w = ctx->style.min_win_w;
    win->min_h = ctx->style.min_win_h;
    win->tb_theme = ctx->tb_theme;
    win->tb_close_theme = ctx->tb_close_theme;
    win->native_x = win->native_y = Q_GUI_NATIVE_POS_UNSET;
    ctx->windows[ctx->window_count++] = win;
    if (ctx->resize_mode == 1) q_gui_window_update_normalized(ctx, win->id);
    q_gui_windows_sort(ctx);
    ctx->redraw = 1;
    return win->id;
}

void q_gui_window_free(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win) {
    if (!win) return;
    for (int i = 0; i < win->widget_count; i++)
        q_gui_widget_destroy(ctx, win->widgets[i]);
    Q_FREE(win->widgets);
    Q_FREE(win);
}

void q_gui_open_window(Q_GUI_CTX *ctx, int id) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->state |= Q_GUI_WST_OPEN;
    if (win->native)
        win->native_close_pending = 0;
    else if (win->wants_native && ctx->queue)
        q_gui_window_detach(ctx, id, win->detach_flags);
    ctx->redraw = 1;
}

void q_gui_close_window(Q_GUI_CTX *ctx, int id) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->state &= ~Q_GUI_WST_OPEN;
    q_gui_window_cancel_drags(win);
    Q_GUI_WIDGET *f = q_gui_get_widget(ctx, ctx->focus);
    if (f && f->window_id == id) q_gui_set_focus(ctx, -1);
    if (win->native) win->native_close_pending = 1;
    ctx->redraw = 1;
}

int q_gui_window_is_open(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? (win->state & Q_GUI_WST_OPEN) : 0;
}

void q_gui_toggle_window(Q_GUI_CTX *ctx, int id) {
    if (q_gui_window_is_open(ctx, id))
        q_gui_close_window(ctx, id);
    else
        q_gui_open_window(ctx, id);
}

int q_gui_window_is_minimized(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? ((win->state & Q_GUI_WST_MINIMIZED) != 0) : 0;
}

void q_gui_window_set_minimized(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    if (flag)
        win->state |= Q_GUI_WST_MINIMIZED;
    else
        win->state &= ~Q_GUI_WST_MINIMIZED;
    ctx->redraw = 1;
}

void q_gui_window_set_flags(Q_GUI_CTX *ctx, int id, int flags) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->flags = flags;
    ctx->redraw = 1;
}

int q_gui_window_get_flags(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? win->flags : 0;
}

void q_gui_window_set_caption(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    q_strcpy(win->caption, sizeof win->caption, text ? text : "");
    if (win->native) al_set_window_title(win->native, win->caption[0] ? win->caption : win->title);
    ctx->redraw = 1;
}

float q_gui_window_tb_h(const Q_GUI_WINDOW *win) {
    return (win->flags & Q_GUI_WIN_NO_TITLEBAR) ? 0.0f : win->titlebar_h;
}

float q_gui_window_visible_h(const Q_GUI_WINDOW *win) {
    if (win->state & Q_GUI_WST_MINIMIZED) return q_gui_window_tb_h(win);
    return win->h;
}

int q_gui_window_contains(const Q_GUI_WINDOW *win, float x, float y) {
    const float h = q_gui_window_visible_h(win);
    return h > 0 && x >= win->x && x < win->x + win->w && y >= win->y && y < win->y + h;
}

ALLEGRO_DISPLAY *q_gui_window_display(const Q_GUI_CTX *, const Q_GUI_WINDOW *win) {
    return win->native;
}

void q_gui_window_relayout_widgets(Q_GUI_WINDOW *win, int scale_x, int scale_y) {
    for (int i = 0; i < win->widget_count; i++) {
        Q_GUI_WIDGET *w = win->widgets[i];
        if (scale_x) {
            w->x = w->fx * win->w;
            w->w = w->fw * win->w;
        }
        if (scale_y) {
            w->y = w->fy * win->h;
            w->h = w->fh * win->h;
        }
        if (!scale_x || !scale_y) q_gui_widget_update_fractions(win, w);
    }
}

void q_gui_window_set_rect_axes(Q_GUI_CTX *ctx, int id, float x, float y, float w, float h, int scale_x,
                                int scale_y) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->x = x;
    win->y = y;
    win->w = w < 1 ? 1 : w;
    win->h = h < 1 ? 1 : h;
    q_gui_window_relayout_widgets(win, scale_x, scale_y);
    q_gui_window_update_normalized(ctx, id);
    q_gui_window_update_content(ctx, win);
    ctx->redraw = 1;
}

void q_gui_window_set_rect(Q_GUI_CTX *ctx, int id, float x, float y, float w, float h) {
    q_gui_window_set_rect_axes(ctx, id, x, y, w, h, 1, 1);
}

void q_gui_window_set_resize_policy(Q_GUI_CTX *ctx, int id, int policy) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (win) win->resize_policy = (policy >= 0 && policy <= 2) ? policy : 0;
}

int q_gui_window_get_resize_policy(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? win->resize_policy : 0;
}

void q_gui_window_update_normalized(Q_GUI_CTX *ctx, int id) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win || win->native) return;
    if (ctx->display_w <= 0 || ctx->display_h <= 0) return;
    ctx->ref_w = ctx->display_w;
    ctx->ref_h = ctx->display_h;
    win->nx = win->x / ctx->display_w;
    win->ny = win->y / ctx->display_h;
    win->nw = win->w / ctx->display_w;
    win->nh = win->h / ctx->display_h;
}

int q_gui_window_is_maximised(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? ((win->state & Q_GUI_WST_MAXIMIZED) != 0) : 0;
}

static void _native_work_area(ALLEGRO_DISPLAY *d, int *x, int *y, int *w, int *h) {
    int wx = 0, wy = 0;
    al_get_window_position(d, &wx, &wy);
    const int n = al_get_num_video_adapters();
    ALLEGRO_MONITOR_INFO mi, first;
    bool have_first = false;
    for (int i = 0; i < n; i++) {
        if (!al_get_monitor_info(i, &mi)) continue;
        if (!have_first) {
            first = mi;
            have_first = true;
        }
        if (wx >= mi.x1 && wx < mi.x2 && wy >= mi.y1 && wy < mi.y2) {
            first = mi;
            break;
        }
    }
    if (!have_first) {
        first.x1 = first.y1 = 0;
        first.x2 = 1024;
        first.y2 = 768;
    }
    *x = first.x1;
    *y = first.y1;
    *w = first.x2 - first.x1;
    *h = first.y2 - first.y1;
}

void q_gui_maximize_window(Q_GUI_CTX *ctx, int id) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    const bool restore = (win->state & Q_GUI_WST_MAXIMIZED) != 0;
    if (win->native) {
        if (!(win->detach_flags & Q_GUI_DETACH_FRAMELESS)) return;
        if (!restore) {
            win->saved_w = (float)al_get_display_width(win->native);
            win->saved_h = (float)al_get_display_height(win->native);
        }
        if (!al_set_display_flag(win->native, ALLEGRO_MAXIMIZED, !restore)) {
            q_log(Q_LOG_WARNING,
                  "q_gui_maximize_window: window manager refused ALLEGRO_MAXIMIZED for window %d", id);
            if (restore) {
                al_resize_display(win->native, (int)lroundf(win->saved_w), (int)lroundf(win->saved_h));
            } else {
                int ax, ay, aw, ah;
                _native_work_area(win->native, &ax, &ay, &aw, &ah);
                al_set_window_position(win->native, ax, ay);
                al_resize_display(win->native, aw, ah);
            }
            win->w = (float)al_get_display_width(win->native);
            win->h = (float)al_get_display_height(win->native);
        }
        win->state ^= Q_GUI_WST_MAXIMIZED;
        ctx->redraw = 1;
        return;
    }
    if (!restore) {
        win->saved_x = win->x;
        win->saved_y = win->y;
        win->saved_w = win->w;
        win->saved_h = win->h;
        win->state &= ~Q_GUI_WST_MINIMIZED;
        float cw = ctx->virtual_w > 0 ? ctx->virtual_w : ctx->display_w;
        float ch = ctx->virtual_w > 0 ? ctx->virtual_h : ctx->display_h;
        win->x = win->y = 0;
        win->w = cw < 1 ? 1 : cw;
        win->h = ch < 1 ? 1 : ch;
        win->state |= Q_GUI_WST_MAXIMIZED;
    } else {
        win->x = win->saved_x;
        win->y = win->saved_y;
        win->w = win->saved_w;
        win->h = win->saved_h;
        win->state &= ~Q_GUI_WST_MAXIMIZED;
    }
    q_gui_window_cancel_drags(win);
    if (ctx->resize_mode == 1) q_gui_window_update_normalized(ctx, id);
    q_gui_window_update_content(ctx, win);
    ctx->redraw = 1;
}

// =============================================================================
// Content extent, autofit, scrolling
// =============================================================================

void q_gui_window_update_content(Q_GUI_CTX *, Q_GUI_WINDOW *win) {
    float cw = 0, ch = 0;
    for (int i = 0; i < win->widget_count; i++) {
        const Q_GUI_WIDGET *w = win->widgets[i];
        if (!w->visible) continue;
        cw = fmaxf(cw, w->x + w->w);
        ch = fmaxf(ch, w->y + w->h);
    }
    win->content_w = cw;
    win->content_h = ch;
}

void q_gui_window_set_autofit(Q_GUI_CTX *ctx, int id, int flags, int border) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) {
        q_log(Q_LOG_WARNING, "q_gui_window_set_autofit: window %d not found", id);
        return;
    }
    win->autofit = flags;
    win->autofit_border = border;
    win->autofit_anchor_x = win->x + win->w / 2;
    win->autofit_anchor_y = win->y + win->h / 2;
    ctx->redraw = 1;
}

void q_gui_window_apply_autofit(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win || !win->autofit) return;
    q_gui_window_update_content(ctx, win);
    const float b = (float)win->autofit_border;
    if (win->autofit & 1) {
        const float nw = fmaxf(win->min_w, win->content_w + 2 * b);
        if (win->autofit & 16)
            win->x = win->autofit_anchor_x - nw / 2;
        else if (win->autofit & 4)
            win->x = win->x + win->w - nw;
        win->w = nw;
    }
    if (win->autofit & 2) {
        const float nh = fmaxf(win->min_h, win->content_h + 2 * b + q_gui_window_tb_h(win));
        if (win->autofit & 16)
            win->y = win->autofit_anchor_y - nh / 2;
        else if (win->autofit & 8)
            win->y = win->y + win->h - nh;
        win->h = nh;
    }
}

void q_gui_window_autosize(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    q_gui_window_update_content(ctx, win);
    win->w = fmaxf(win->min_w, win->content_w + 20);
    win->h = fmaxf(win->min_h, win->content_h + 20 + q_gui_window_tb_h(win));
    ctx->redraw = 1;
}

void q_gui_window_set_wheel_scrollbar(Q_GUI_CTX *ctx, int id, int scrollbar_id) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (win) win->wheel_scrollbar = scrollbar_id;
}

// Body rectangle (below the title bar) and the scroll bars it shows.
struct BODY {
    float x, y, w, h; // body
    float vw, vh;     // viewport left for the widgets
    bool vbar, hbar;
    float max_sx, max_sy;
};

static void _body(const Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, BODY *b) {
    const float tb = q_gui_window_tb_h(win);
    b->x = win->x;
    b->y = win->y + tb;
    b->w = win->w;
    b->h = win->h - tb;
    b->vbar = b->hbar = false;
    b->vw = b->w;
    b->vh = b->h;
    if (win->flags & Q_GUI_WIN_SCROLLABLE) {
        const float bar = ctx->style.scrollbar_size;
        b->vbar = win->content_h > b->h;
        b->hbar = win->content_w > b->w - (b->vbar ? bar : 0);
        if (b->hbar && !b->vbar) b->vbar = win->content_h > b->h - bar;
        if (b->vbar) b->vw -= bar;
        if (b->hbar) b->vh -= bar;
    }
    b->max_sx = fmaxf(0, win->content_w - b->vw);
    b->max_sy = fmaxf(0, win->content_h - b->vh);
    if (!b->vbar) b->max_sy = 0;
    if (!b->hbar) b->max_sx = 0;
    win->scroll_x = fminf(fmaxf(win->scroll_x, 0), b->max_sx);
    win->scroll_y = fminf(fmaxf(win->scroll_y, 0), b->max_sy);
}

// Track and thumb of the vertical (vertical = true) or horizontal bar.
static void _bar_geometry(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win, const BODY *b, bool vertical,
                          float *tx, float *ty, float *tw, float *th, float *thumb_pos, float *thumb_len) {
    const float bar = ctx->style.scrollbar_size, pad = ctx->style.scrollbar_thumb_padding;
    const float grip = (win->flags & Q_GUI_WIN_RESIZABLE) ? ctx->style.grip_size : 0;
    if (vertical) {
        *tx = b->x + b->w - bar;
        *ty = b->y;
        *tw = bar;
        *th = b->h - fmaxf(b->hbar ? bar : 0, grip);
    } else {
        *tx = b->x;
        *ty = b->y + b->h - bar;
        *tw = b->w - (b->vbar ? bar : grip);
        *th = bar;
    }
    const float len = vertical ? *th : *tw;
    const float view = vertical ? b->vh : b->vw, content = vertical ? win->content_h : win->content_w;
    const float maxs = vertical ? b->max_sy : b->max_sx, pos = vertical ? win->scroll_y : win->scroll_x;
    float tl = fmaxf(ctx->style.scrollbar_thumb_min, (len - 2 * pad) * view / fmaxf(content, 1));
    if (tl > len - 2 * pad) tl = len - 2 * pad;
    *thumb_len = tl;
    *thumb_pos = pad + (maxs > 0 ? (len - 2 * pad - tl) * pos / maxs : 0);
}

void q_gui_window_set_scroll(Q_GUI_CTX *ctx, int id, float sx, float sy) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    q_gui_window_update_content(ctx, win);
    win->scroll_x = sx;
    win->scroll_y = sy;
    BODY b;
    _body(ctx, win, &b);
    ctx->redraw = 1;
}

int q_gui_window_wheel(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, float dz, float dw) {
    Q_GUI_WIDGET *sb = q_gui_get_widget(ctx, win->wheel_scrollbar);
    if (sb && sb->ops && sb->ops->wheel) return sb->ops->wheel(ctx, sb, dz, dw);
    if (!(win->flags & Q_GUI_WIN_SCROLLABLE) || (win->state & Q_GUI_WST_MINIMIZED)) return 0;
    q_gui_window_update_content(ctx, win);
    BODY b;
    _body(ctx, win, &b);
    if (b.max_sy <= 0 && b.max_sx <= 0) return 0;
    win->scroll_y -= dz * ctx->style.scroll_step;
    win->scroll_x -= dw * ctx->style.scroll_step;
    _body(ctx, win, &b);
    return 1;
}

// =============================================================================
// Title bar
// =============================================================================

int q_gui_window_button_rect(const Q_GUI_CTX *ctx, int id, int button, float *x, float *y, float *w,
                             float *h) {
    Q_GUARD(ctx, 0);
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win || button < 1 || button > 3) return 0;
    const float tb = q_gui_window_tb_h(win);
    if (tb <= 0) return 0;
    const int bit[4] = {0, Q_GUI_WIN_MINIMIZE_BTN, Q_GUI_WIN_MAXIMIZE_BTN, Q_GUI_WIN_CLOSE_BTN};
    if (!(win->flags & bit[button])) return 0;
    const Q_GUI_STYLE *s = &ctx->style;
    const float size = s->tb_btn_size > 0 ? s->tb_btn_size : tb - 4;
    // Buttons fill from the right: close, then maximize, then minimize.
    float right = win->x + win->w - s->tb_btn_right_margin;
    for (int b = 3; b >= button; b--) {
        if (!(win->flags & bit[b])) continue;
        if (b == button) break;
        right -= size + s->tb_btn_spacing;
    }
    if (x) *x = right - size;
    if (y) *y = win->y + (tb - size) / 2;
    if (w) *w = size;
    if (h) *h = size;
    return 1;
}

static int _tb_button_at(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win, float mx, float my) {
    for (int b = 1; b <= 3; b++) {
        float x, y, w, h;
        if (q_gui_window_button_rect(ctx, win->id, b, &x, &y, &w, &h) && mx >= x && mx < x + w && my >= y &&
            my < y + h)
            return b;
    }
    return 0;
}

static void _draw_tb_button(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win, int b) {
    float x, y, w, h;
    if (!q_gui_window_button_rect(ctx, win->id, b, &x, &y, &w, &h)) return;
    const int hover = ((win->state & Q_GUI_WST_TB_HOVER_MASK) >> Q_GUI_WST_TB_HOVER_SHIFT) == b;
    const int active = hover && win->tb_pressed == b;
    ALLEGRO_BITMAP *bmp = win->tb_bitmaps[b - 1][active ? 2 : hover ? 1 : 0];
    if (!bmp) bmp = win->tb_bitmaps[b - 1][0];
    if (bmp) {
        al_draw_scaled_bitmap(bmp, 0, 0, (float)al_get_bitmap_width(bmp), (float)al_get_bitmap_height(bmp), x,
                              y, w, h, 0);
        return;
    }
    const Q_GUI_THEME *t = b == 3 ? &win->tb_close_theme : &win->tb_theme;
    const Q_GUI_LOOK look =
        q_gui_look_of(t, (hover ? Q_GUI_LOOK_HOVER : 0) | (active ? Q_GUI_LOOK_PRESSED : 0));
    const ALLEGRO_COLOR fg = look.text;
    al_draw_filled_rounded_rectangle(x, y, x + w, y + h, t->corner_rx, t->corner_ry, look.bg);
    const float th = ctx->style.tb_btn_glyph_thickness, m = w * 0.3f;
    if (b == 1) {
        al_draw_line(x + m, y + h - m, x + w - m, y + h - m, fg, th);
    } else if (b == 2) {
        if (win->state & Q_GUI_WST_MAXIMIZED) {
            const float o = w * 0.08f;
            al_draw_rectangle(x + m + o, y + m - o, x + w - m + o, y + h - m - o, fg, th);
            al_draw_filled_rectangle(x + m - o, y + m + o, x + w - m - o, y + h - m + o,
                                     win->theme.bg_active);
            al_draw_rectangle(x + m - o, y + m + o, x + w - m - o, y + h - m + o, fg, th);
        } else {
            al_draw_rectangle(x + m, y + m, x + w - m, y + h - m, fg, th);
        }
    } else {
        al_draw_line(x + m, y + m, x + w - m, y + h - m, fg, th);
        al_draw_line(x + w - m, y + m, x + m, y + h - m, fg, th);
    }
}

// =============================================================================
// Drawing
// =============================================================================

static void _draw_titlebar(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, float tb) {
    if (win->titlebar_bitmap)
        q_gui_draw_bitmap_mode(win->titlebar_bitmap, al_map_rgba_f(1, 1, 1, 1), 1, win->x, win->y, win->w,
                               tb);
    else
        al_draw_filled_rectangle(win->x, win->y, win->x + win->w, win->y + tb, win->theme.bg_active);
    float right = win->x + win->w - ctx->style.title_padding;
    for (int b = 1; b <= 3; b++) {
        float bx;
        if (q_gui_window_button_rect(ctx, win->id, b, &bx, nullptr, nullptr, nullptr))
            right = fminf(right, bx - ctx->style.tb_btn_spacing);
    }
    ALLEGRO_FONT *font = ctx->default_font;
    const char *text = win->caption[0] ? win->caption : win->title;
    const float tx = win->x + ctx->style.title_padding;
    const float ty = win->y + (tb - (float)al_get_font_line_height(font)) / 2;
    q_gui_draw_text_fit(font, win->theme.text_active, tx, ty, right - tx, 0, text);
    for (int b = 1; b <= 3; b++)
        _draw_tb_button(ctx, win, b);
}

void q_gui_window_draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win) {
    const float tb = q_gui_window_tb_h(win);
    const bool minimized = (win->state & Q_GUI_WST_MINIMIZED) != 0;
    const Q_GUI_THEME *t = &win->theme;
    const float bt = t->border_thickness;
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    if (minimized) {
        if (tb <= 0) return;
        _draw_titlebar(ctx, win, tb);
        if (bt > 0)
            al_draw_rectangle(win->x + bt / 2, win->y + bt / 2, win->x + win->w - bt / 2,
                              win->y + tb - bt / 2, t->border_normal, bt);
        return;
    }
    q_gui_window_update_content(ctx, win);
    BODY b;
    _body(ctx, win, &b);
    const bool rounded = ctx->style.shape_mode && tb <= 0;
    if (win->bg_bitmap) {
        q_gui_draw_bitmap_mode(win->bg_bitmap, al_map_rgba_f(1, 1, 1, 1), win->bg_scale_mode, b.x, b.y, b.w,
                               b.h);
    } else if (rounded) {
        al_draw_filled_rounded_rectangle(b.x, b.y, b.x + b.w, b.y + b.h, t->corner_rx, t->corner_ry,
                                         t->bg_normal);
    } else {
        al_draw_filled_rectangle(b.x, b.y, b.x + b.w, b.y + b.h, t->bg_normal);
    }
    if (tb > 0) _draw_titlebar(ctx, win, tb);

    q_gui_clip_rect(b.x, b.y, b.vw, b.vh, ox, oy, ow, oh);
    for (int i = 0; i < win->widget_count; i++) {
        Q_GUI_WIDGET *w = win->widgets[i];
        if (!w->visible || !w->ops || !w->ops->draw) continue;
        float wx, wy;
        q_gui_widget_origin(win, w, &wx, &wy);
        w->ops->draw(ctx, win, w, wx, wy);
    }
    al_set_clipping_rectangle(ox, oy, ow, oh);

    const Q_GUI_STYLE *s = &ctx->style;
    for (int v = 0; v < 2; v++) {
        const bool vertical = v == 0;
        if (vertical ? !b.vbar : !b.hbar) continue;
        float tx, ty, tw, th, tp, tl;
        _bar_geometry(ctx, win, &b, vertical, &tx, &ty, &tw, &th, &tp, &tl);
        al_draw_filled_rectangle(tx, ty, tx + tw, ty + th, s->scrollbar_track_color);
        const float pad = s->scrollbar_thumb_padding, r = s->scrollbar_thumb_corner_r;
        const bool drag = (win->state & (vertical ? Q_GUI_WST_VSCROLL_DRAG : Q_GUI_WST_HSCROLL_DRAG)) != 0;
        const ALLEGRO_COLOR c = drag ? t->border_active : s->scrollbar_thumb_color;
        if (vertical)
            al_draw_filled_rounded_rectangle(tx + pad, ty + tp, tx + tw - pad, ty + tp + tl, r, r, c);
        else
            al_draw_filled_rounded_rectangle(tx + tp, ty + pad, tx + tp + tl, ty + th - pad, r, r, c);
    }
    if (win->flags & Q_GUI_WIN_RESIZABLE) {
        const float g = s->grip_size, x1 = win->x + win->w - 2, y1 = win->y + win->h - 2;
        for (int k = 1; k <= 3; k++) {
            const float d = g * (float)k / 3.0f;
            al_draw_line(x1 - d, y1, x1, y1 - d, s->grip_color, s->grip_line_thickness);
        }
    }
    if (bt > 0) {
        // A native window's border sits fully inside its display.
        const float in = win->native ? bt / 2 : 0;
        if (rounded)
            al_draw_rounded_rectangle(win->x + in, win->y + in, win->x + win->w - in, win->y + win->h - in,
                                      t->corner_rx, t->corner_ry, t->border_normal, bt);
        else
            al_draw_rectangle(win->x + in, win->y + in, win->x + win->w - in, win->y + win->h - in,
                              t->border_normal, bt);
    }
}

// =============================================================================
// Mouse
// =============================================================================

Q_GUI_WIDGET *q_gui_window_widget_at(const Q_GUI_CTX *ctx, const Q_GUI_WINDOW *win, float x, float y) {
    if (win->state & Q_GUI_WST_MINIMIZED) return nullptr;
    const float tb = q_gui_window_tb_h(win);
    if (x < win->x || x >= win->x + win->w || y < win->y + tb || y >= win->y + win->h) return nullptr;
    (void)ctx;
    for (int i = win->widget_count - 1; i >= 0; i--) {
        Q_GUI_WIDGET *w = win->widgets[i];
        if (!w->visible || !w->enabled) continue;
        float wx, wy;
        q_gui_widget_origin(win, w, &wx, &wy);
        if (x >= wx && x < wx + w->w && y >= wy && y < wy + w->h) return w;
    }
    return nullptr;
}

void q_gui_window_cancel_drags(Q_GUI_WINDOW *win) {
    win->state &= ~(Q_GUI_WST_MOVING | Q_GUI_WST_RESIZING | Q_GUI_WST_VSCROLL_DRAG | Q_GUI_WST_HSCROLL_DRAG);
    win->tb_pressed = 0;
}

static void _tb_act(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, int b) {
    float x = 0, y = 0, w = 0, h = 0;
    q_gui_window_button_rect(ctx, win->id, b, &x, &y, &w, &h);
    const int id = win->id;
    if (b == 1) {
        if (win->minimize_cb)
            win->minimize_cb(id, win->minimize_user, 1, x, y, w, h);
        else
            win->state ^= Q_GUI_WST_MINIMIZED;
    } else if (b == 2) {
        if (win->maximize_cb)
            win->maximize_cb(id, win->maximize_user, 2, x, y, w, h);
        else
            q_gui_maximize_window(ctx, id);
    } else {
        if (win->close_cb)
            win->close_cb(id, win->close_user);
        else
            q_gui_close_window(ctx, id);
    }
}

static void _start_move(Q_GUI_CTX *, Q_GUI_WINDOW *win, float mx, float my) {
    win->state |= Q_GUI_WST_MOVING;
    win->press_x = mx;
    win->press_y = my;
    win->press_wx = win->x;
    win->press_wy = win->y;
    if (win->native) {
        // A frameless native window moves on the desktop: follow the system
        // pointer, since the window itself moves under the local one.
        int cx = 0, cy = 0;
        al_get_mouse_cursor_position(&cx, &cy);
        win->press_x = (float)cx;
        win->press_y = (float)cy;
        al_get_window_position(win->native, &win->press_native_x, &win->press_native_y);
    }
}

static void _scroll_drag(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, bool vertical, float m) {
    BODY b;
    _body(ctx, win, &b);
    float tx, ty, tw, th, tp, tl;
    _bar_geometry(ctx, win, &b, vertical, &tx, &ty, &tw, &th, &tp, &tl);
    const float pad = ctx->style.scrollbar_thumb_padding;
    const float len = vertical ? th : tw, start = vertical ? ty : tx;
    const float room = len - 2 * pad - tl;
    const float f = room > 0 ? (m - win->press_x - start - pad) / room : 0;
    const float v = fminf(fmaxf(f, 0), 1) * (vertical ? b.max_sy : b.max_sx);
    if (vertical)
        win->scroll_y = v;
    else
        win->scroll_x = v;
}

void q_gui_window_mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, const ALLEGRO_EVENT *ev, float mx, float my) {
    const bool press = ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN;
    const bool release = ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP;
    const bool left = ev->mouse.button == 1;
    const float tb = q_gui_window_tb_h(win);

    if (win->state & Q_GUI_WST_MOVING) {
        if (release && left) {
            win->state &= ~Q_GUI_WST_MOVING;
            if (ctx->resize_mode == 1) q_gui_window_update_normalized(ctx, win->id);
        } else if (win->native) {
            int cx = 0, cy = 0;
            al_get_mouse_cursor_position(&cx, &cy);
            al_set_window_position(win->native, win->press_native_x + cx - (int)win->press_x,
                                   win->press_native_y + cy - (int)win->press_y);
        } else {
            win->x = win->press_wx + mx - win->press_x;
            win->y = win->press_wy + my - win->press_y;
        }
        return;
    }
    if (win->state & Q_GUI_WST_RESIZING) {
        if (release && left) {
            win->state &= ~Q_GUI_WST_RESIZING;
            if (ctx->resize_mode == 1) q_gui_window_update_normalized(ctx, win->id);
            return;
        }
        const float nw = fmaxf(win->min_w, win->press_ww + mx - win->press_x);
        const float nh = fmaxf(win->min_h, win->press_wh + my - win->press_y);
        if (win->native) {
            al_resize_display(win->native, (int)lroundf(nw), (int)lroundf(nh));
        } else {
            win->w = nw;
            win->h = nh;
            q_gui_window_relayout_widgets(win, 0, 0);
        }
        return;
    }
    if (win->state & (Q_GUI_WST_VSCROLL_DRAG | Q_GUI_WST_HSCROLL_DRAG)) {
        const bool vertical = (win->state & Q_GUI_WST_VSCROLL_DRAG) != 0;
        _scroll_drag(ctx, win, vertical, vertical ? my : mx);
        if (release && left) win->state &= ~(Q_GUI_WST_VSCROLL_DRAG | Q_GUI_WST_HSCROLL_DRAG);
        return;
    }

    const int tb_btn = (tb > 0 && my < win->y + tb) ? _tb_button_at(ctx, win, mx, my) : 0;
    win->state = (win->state & ~Q_GUI_WST_TB_HOVER_MASK) | (tb_btn << Q_GUI_WST_TB_HOVER_SHIFT);

    if (release && left && win->tb_pressed) {
        const int armed = win->tb_pressed;
        win->tb_pressed = 0;
        if (armed == tb_btn) _tb_act(ctx, win, armed);
        return;
    }
    Q_GUI_WIDGET *w = q_gui_window_widget_at(ctx, win, mx, my);
    if (press && left) {
        if (tb > 0 && my < win->y + tb) {
            if (tb_btn) {
                win->tb_pressed = tb_btn;
            } else if (!(win->flags & Q_GUI_WIN_FIXED) && !(win->state & Q_GUI_WST_MAXIMIZED) &&
                       (!win->native || (win->detach_flags & Q_GUI_DETACH_FRAMELESS))) {
                _start_move(ctx, win, mx, my);
            }
            return;
        }
        if (win->state & Q_GUI_WST_MINIMIZED) return;
        const float g = ctx->style.grip_size;
        if ((win->flags & Q_GUI_WIN_RESIZABLE) && mx >= win->x + win->w - g && my >= win->y + win->h - g) {
            win->state |= Q_GUI_WST_RESIZING;
            win->press_x = mx;
            win->press_y = my;
            win->press_ww = win->w;
            win->press_wh = win->h;
            return;
        }
        if (win->flags & Q_GUI_WIN_SCROLLABLE) {
            q_gui_window_update_content(ctx, win);
            BODY b;
            _body(ctx, win, &b);
            for (int v = 0; v < 2; v++) {
                const bool vertical = v == 0;
                if (vertical ? !b.vbar : !b.hbar) continue;
                float tx, ty, tw, th, tp, tl;
                _bar_geometry(ctx, win, &b, vertical, &tx, &ty, &tw, &th, &tp, &tl);
                if (mx < tx || mx >= tx + tw || my < ty || my >= ty + th) continue;
                const float m = vertical ? my - ty : mx - tx;
                // Grabbing the thumb keeps the grab point; elsewhere the
                // thumb's middle jumps to the pointer.
                win->press_x = (m >= tp && m < tp + tl) ? m - tp : tl / 2;
                win->state |= vertical ? Q_GUI_WST_VSCROLL_DRAG : Q_GUI_WST_HSCROLL_DRAG;
                _scroll_drag(ctx, win, vertical, vertical ? my : mx);
                return;
            }
        }
        if (!w) return;
        // A detached window has the system's frame to move it by (or, when
        // frameless, the toolkit's title bar), so its labels select instead.
        if (tb <= 0 && !win->native && !(win->flags & Q_GUI_WIN_FIXED) && w->ops && w->ops->moves_window &&
            w->ops->moves_window(w)) {
            _start_move(ctx, win, mx, my);
            return;
        }
        w->state |= Q_GUI_WS_PRESSED | Q_GUI_WS_CAPTURE;
        ctx->capture = w->id;
        if (w->ops && w->ops->click_focus) q_gui_set_focus(ctx, w->id);
    }
    if (w && w->ops && w->ops->mouse) {
        float ox, oy;
        q_gui_widget_origin(win, w, &ox, &oy);
        w->ops->mouse(ctx, win, w, ev, mx, my, ox, oy);
    }
}

// =============================================================================
// Callbacks and skins
// =============================================================================

void q_gui_window_set_close_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_CB cb, void *user) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->close_cb = cb;
    win->close_user = user;
}

void q_gui_window_set_content_draw_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_CB cb, void *user) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->content_draw_cb = cb;
    win->content_draw_user = user;
}

void q_gui_window_set_minimize_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_BTN_CB cb, void *user) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->minimize_cb = cb;
    win->minimize_user = user;
}

void q_gui_window_set_maximize_callback(Q_GUI_CTX *ctx, int id, Q_GUI_WINDOW_BTN_CB cb, void *user) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->maximize_cb = cb;
    win->maximize_user = user;
}

void q_gui_window_set_tb_btn_theme(Q_GUI_CTX *ctx, int id, const Q_GUI_THEME *theme) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (win && theme) win->tb_theme = *theme;
}

void q_gui_window_set_tb_close_theme(Q_GUI_CTX *ctx, int id, const Q_GUI_THEME *theme) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (win && theme) win->tb_close_theme = *theme;
}

void q_gui_window_set_tb_button_bitmaps(Q_GUI_CTX *ctx, int id, int button, ALLEGRO_BITMAP *normal,
                                        ALLEGRO_BITMAP *hover, ALLEGRO_BITMAP *active) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win || button < 1 || button > 3) return;
    win->tb_bitmaps[button - 1][0] = normal;
    win->tb_bitmaps[button - 1][1] = hover;
    win->tb_bitmaps[button - 1][2] = active;
}

void q_gui_window_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *body, ALLEGRO_BITMAP *titlebar,
                              int scale_mode) {
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) return;
    win->bg_bitmap = body;
    win->titlebar_bitmap = titlebar;
    win->bg_scale_mode = scale_mode;
}

// =============================================================================
// Native windows
// =============================================================================

int q_gui_window_detach(Q_GUI_CTX *ctx, int id, int flags) {
    Q_GUARD(ctx, -1);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (win && win->native) {
        win->detach_flags = flags;
        return 0;
    }
    if (!ctx->queue) {
        q_log(Q_LOG_ERR, "q_gui_window_detach: no event queue set, call q_gui_set_event_queue first");
        return -1;
    }
    if (!win) {
        q_log(Q_LOG_ERR, "q_gui_window_detach: no window with id %d", id);
        return -1;
    }
    const bool frameless = (flags & Q_GUI_DETACH_FRAMELESS) != 0;
    const float tb = q_gui_window_tb_h(win);
    int nw, nh;
    if (win->native_w > 0 && win->native_h > 0) {
        nw = win->native_w;
        nh = win->native_h;
    } else {
        nw = (int)lroundf(win->w);
        nh = (int)lroundf(frameless ? win->h : win->h - tb);
    }
    if (nw < 1) nw = 1;
    if (nh < 1) nh = 1;

    // The new-display settings are process-wide; put back what the program
    // had so its own displays are not affected.
    const int old_flags = al_get_new_display_flags();
    int old_x = 0, old_y = 0;
    al_get_new_window_position(&old_x, &old_y);
    char old_title[256];
    q_strcpy(old_title, sizeof old_title, al_get_new_window_title());
    ALLEGRO_BITMAP *old_target = al_get_target_bitmap();

    int dflags = ALLEGRO_WINDOWED | (old_flags & ALLEGRO_OPENGL);
    if (flags & Q_GUI_DETACH_RESIZABLE) dflags |= ALLEGRO_RESIZABLE;
    if (frameless) dflags |= ALLEGRO_RESIZABLE | ALLEGRO_FRAMELESS;
    al_set_new_display_flags(dflags);
    if (win->native_x != Q_GUI_NATIVE_POS_UNSET) al_set_new_window_position(win->native_x, win->native_y);
    al_set_new_window_title(win->caption[0] ? win->caption : (win->title[0] ? win->title : " "));
    ALLEGRO_DISPLAY *d = al_create_display(nw, nh);
    al_set_new_display_flags(old_flags);
    al_set_new_window_position(old_x, old_y);
    al_set_new_window_title(old_title);
    if (old_target) al_set_target_bitmap(old_target);
    if (!d) {
        q_log(Q_LOG_ERR, "q_gui_window_detach: al_create_display(%d, %d) failed for window %d", nw, nh, id);
        return -1;
    }
    if (dflags & ALLEGRO_RESIZABLE) {
        const float mh = frameless ? win->min_h : win->min_h - tb;
        al_set_window_constraints(d, (int)win->min_w, mh > 1 ? (int)mh : 1, 0, 0);
        al_apply_window_constraints(d, true);
    }
    al_register_event_source(ctx->queue, al_get_display_event_source(d));
    win->native = d;
    win->detach_flags = flags;
    win->wants_native = 1;
    win->native_close_pending = 0;
    win->drawing_halted = 0;
    win->det_x = win->x;
    win->det_y = win->y;
    win->det_w = win->w;
    win->det_h = win->h;
    win->det_flags = win->flags;
    if (!frameless) win->flags |= Q_GUI_WIN_NO_TITLEBAR;
    win->x = win->y = 0;
    win->w = (float)nw;
    win->h = (float)nh;
    q_gui_window_cancel_drags(win);
    win->state &= ~(Q_GUI_WST_MAXIMIZED | Q_GUI_WST_MINIMIZED);
    for (int i = 0; i < win->widget_count; i++)
        q_gui_widget_update_fractions(win, win->widgets[i]);
    ctx->redraw = 1;
    q_log(Q_LOG_INFO, "q_gui_window_detach: window %d ('%s') detached into a %dx%d native window", id,
          win->title, nw, nh);
    return 0;
}

void q_gui_window_drop_native(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, int keep_wants) {
    if (!win->native) return;
    al_get_window_position(win->native, &win->native_x, &win->native_y);
    win->native_w = al_get_display_width(win->native);
    win->native_h = al_get_display_height(win->native);
    if (ctx->queue) al_unregister_event_source(ctx->queue, al_get_display_event_source(win->native));
    al_destroy_display(win->native);
    win->native = nullptr;
    if (ctx->display) al_set_target_backbuffer(ctx->display);
    win->x = win->det_x;
    win->y = win->det_y;
    win->w = win->det_w;
    win->h = win->det_h;
    win->flags = win->det_flags;
    win->native_close_pending = 0;
    win->drawing_halted = 0;
    if (!keep_wants) win->wants_native = 0;
    q_gui_window_cancel_drags(win);
    for (int i = 0; i < win->widget_count; i++)
        q_gui_widget_update_fractions(win, win->widgets[i]);
    ctx->redraw = 1;
}

int q_gui_window_attach(Q_GUI_CTX *ctx, int id) {
    Q_GUARD(ctx, -1);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win) {
        q_log(Q_LOG_ERR, "q_gui_window_attach: no window with id %d", id);
        return -1;
    }
    if (win->native) q_gui_window_drop_native(ctx, win, 0);
    win->wants_native = 0;
    return 0;
}

int q_gui_window_is_detached(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return (win && win->native) ? 1 : 0;
}

ALLEGRO_DISPLAY *q_gui_window_get_display(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    return win ? win->native : nullptr;
}

int q_gui_window_from_display(const Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *display) {
    if (!ctx || !display) return -1;
    for (int i = 0; i < ctx->window_count; i++)
        if (ctx->windows[i]->native == display) return ctx->windows[i]->id;
    return -1;
}

int q_gui_count_detached(const Q_GUI_CTX *ctx) {
    int n = 0;
    if (!ctx) return 0;
    for (int i = 0; i < ctx->window_count; i++)
        n += ctx->windows[i]->native != nullptr;
    return n;
}

int q_gui_window_native_is_hidden(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win || !win->native) return 0;
    return (win->drawing_halted || (al_get_display_flags(win->native) & ALLEGRO_MINIMIZED)) ? 1 : 0;
}

int q_gui_window_set_native_icons(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP **bitmaps, int count) {
    Q_GUARD(ctx, -1);
    if (count < 1 || !bitmaps) {
        q_log(Q_LOG_WARNING, "q_gui_window_set_native_icons: num_icons must be >= 1");
        return -1;
    }
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win || !win->native) {
        q_log(Q_LOG_WARNING, "q_gui_window_set_native_icons: window %d is not detached", id);
        return -1;
    }
    al_set_display_icons(win->native, count, bitmaps);
    return 0;
}

void q_gui_window_native_event(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, const ALLEGRO_EVENT *ev) {
    switch (ev->type) {
    case ALLEGRO_EVENT_DISPLAY_CLOSE:
        if (win->close_cb)
            win->close_cb(win->id, win->close_user);
        else
            q_gui_close_window(ctx, win->id);
        // Whatever the callback did, the native box closes the native window.
        if (win->native && (win->state & Q_GUI_WST_OPEN)) q_gui_close_window(ctx, win->id);
        if (win->native) win->native_close_pending = 1;
        break;
    case ALLEGRO_EVENT_DISPLAY_RESIZE:
        if (!win->native) break;
        al_acknowledge_resize(win->native);
        win->w = (float)al_get_display_width(win->native);
        win->h = (float)al_get_display_height(win->native);
        q_gui_window_relayout_widgets(win, win->resize_policy == 2, win->resize_policy == 2);
        break;
    case ALLEGRO_EVENT_DISPLAY_HALT_DRAWING:
        if (win->native) al_acknowledge_drawing_halt(win->native);
        win->drawing_halted = 1;
        break;
    case ALLEGRO_EVENT_DISPLAY_RESUME_DRAWING:
        if (win->native) al_acknowledge_drawing_resume(win->native);
        win->drawing_halted = 0;
        break;
    default:
        break;
    }
    ctx->redraw = 1;
}
