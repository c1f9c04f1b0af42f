// Pop-up menus. Each menu level is a title-less, fixed toolkit window of z
// mode POPUP holding one custom widget that draws the rows and takes the
// mouse. Windows are made on first use and kept, closed, between openings.

#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"
#include "q_gui_popup.h"

static char *_dup(const char *s) {
    if (!s) return nullptr;
    const size_t n = strlen(s);
    char *out = static_cast<char *>(calloc(n + 1, 1));
    if (out) memcpy(out, s, n);
    return out;
}

Q_GUI_POPUP *q_gui_popup_new(Q_GUI_CTX *ctx, float unit, Q_GUI_POPUP_PICK_CB on_pick, void *user) {
    Q_GUARD(ctx, nullptr);
    Q_GUARD(on_pick, nullptr);
    Q_GUI_POPUP *p = nullptr;
    Q_CALLOC(p, 1, Q_GUI_POPUP);
    if (!p) return nullptr;
    p->cap = 16;
    Q_CALLOC(p->entries, (size_t)p->cap, Q_GUI_POPUP_ENTRY);
    if (!p->entries) {
        Q_FREE(p);
        return nullptr;
    }
    p->ctx = ctx;
    p->unit = unit > 0 ? unit : 1;
    p->on_pick = on_pick;
    p->user = user;
    Q_GUI_POPUP_ENTRY *root = &p->entries[0];
    root->kind = Q_GUI_POPUP_ROOT;
    root->parent = -1;
    root->enabled = root->visible = 1;
    root->window = root->widget = -1;
    root->open_child = -1;
    root->highlight = -1;
    p->count = 1;
    return p;
}

static int _is_menu(const Q_GUI_POPUP *p, int i) {
    return i >= 0 && i < p->count &&
           (p->entries[i].kind == Q_GUI_POPUP_ROOT || p->entries[i].kind == Q_GUI_POPUP_SUBMENU);
}

static int _add(Q_GUI_POPUP *p, int parent, int kind, const char *label, int tag, const char *hint) {
    Q_GUARD(p, -1);
    if (!_is_menu(p, parent)) return -1;
    if (p->count == p->cap) {
        void *grown = realloc(p->entries, sizeof(Q_GUI_POPUP_ENTRY) * (size_t)p->cap * 2);
        if (!grown) {
            q_log(Q_LOG_ERR, "popup: out of memory for an entry");
            return -1;
        }
        p->entries = static_cast<Q_GUI_POPUP_ENTRY *>(grown);
        memset(p->entries + p->cap, 0, sizeof(Q_GUI_POPUP_ENTRY) * (size_t)p->cap);
        p->cap *= 2;
    }
    Q_GUI_POPUP_ENTRY e;
    memset(&e, 0, sizeof e);
    e.kind = kind;
    e.parent = parent;
    e.tag = tag;
    e.enabled = e.visible = 1;
    e.window = e.widget = -1;
    e.open_child = -1;
    e.highlight = -1;
    e.label = _dup(label ? label : "");
    e.hint = (hint && hint[0]) ? _dup(hint) : nullptr;
    if (!e.label || (hint && hint[0] && !e.hint)) {
        free(e.label);
        free(e.hint);
        q_log(Q_LOG_ERR, "popup: out of memory for an entry");
        return -1;
    }
    p->entries[p->count] = e;
    return p->count++;
}

int q_gui_popup_add_item(Q_GUI_POPUP *popup, int parent, const char *label, int tag, const char *hint) {
    return _add(popup, parent, Q_GUI_POPUP_ITEM, label, tag, hint);
}

int q_gui_popup_add_submenu(Q_GUI_POPUP *popup, int parent, const char *label, const char *hint) {
    return _add(popup, parent, Q_GUI_POPUP_SUBMENU, label, 0, hint);
}

int q_gui_popup_add_separator(Q_GUI_POPUP *popup, int parent) {
    return _add(popup, parent, Q_GUI_POPUP_SEPARATOR, "", 0, nullptr);
}

void q_gui_popup_set_title(Q_GUI_POPUP *popup, const char *text) {
    Q_GUARD_VOID(popup);
    char *t = _dup(text ? text : "");
    if (!t) return;
    free(popup->entries[0].label);
    popup->entries[0].label = t;
}

void q_gui_popup_set_enabled(Q_GUI_POPUP *popup, int index, int flag) {
    if (!popup || index <= 0 || index >= popup->count) return;
    popup->entries[index].enabled = flag ? 1 : 0;
    popup->ctx->redraw = 1;
}

void q_gui_popup_set_visible(Q_GUI_POPUP *popup, int index, int flag) {
    if (!popup || index <= 0 || index >= popup->count) return;
    popup->entries[index].visible = flag ? 1 : 0;
}

void q_gui_popup_set_checked(Q_GUI_POPUP *popup, int index, int flag) {
    if (!popup || index <= 0 || index >= popup->count || popup->entries[index].kind != Q_GUI_POPUP_ITEM)
        return;
    popup->entries[index].checkable = 1;
    popup->entries[index].checked = flag ? 1 : 0;
    popup->ctx->redraw = 1;
}

// ---- layout ----------------------------------------------------------------------

static int _has_rows(const Q_GUI_POPUP *p, int menu, int depth);

// Whether an entry gets a row of its own (separators are decided later).
static int _shown(const Q_GUI_POPUP *p, int i, int depth) {
    const Q_GUI_POPUP_ENTRY *e = &p->entries[i];
    if (!e->visible) return 0;
    if (e->kind == Q_GUI_POPUP_SUBMENU) return _has_rows(p, i, depth + 1);
    return e->kind == Q_GUI_POPUP_ITEM;
}

static int _has_rows(const Q_GUI_POPUP *p, int menu, int depth) {
    if (depth > 32) return 0; // entries only point to earlier parents, but stay safe
    for (int i = 1; i < p->count; i++)
        if (p->entries[i].parent == menu && _shown(p, i, depth)) return 1;
    return 0;
}

static float _row_h(const Q_GUI_POPUP *p, int kind) {
    if (kind == Q_GUI_POPUP_SEPARATOR) return 7 * p->unit;
    return 8 * p->unit + (float)al_get_font_line_height(p->ctx->default_font);
}

static int _layout(Q_GUI_POPUP *p, int menu) {
    Q_GUI_POPUP_ENTRY *m = &p->entries[menu];
    free(m->rows);
    free(m->row_y);
    m->rows = static_cast<int *>(calloc((size_t)p->count, sizeof(int)));
    m->row_y = static_cast<float *>(calloc((size_t)p->count, sizeof(float)));
    m->row_count = 0;
    if (!m->rows || !m->row_y) return -1;
    // Separators only between two shown rows: leading, trailing and repeated
    // ones are dropped.
    bool pending_sep = false;
    int pending_idx = -1;
    for (int i = 1; i < p->count; i++) {
        const Q_GUI_POPUP_ENTRY *e = &p->entries[i];
        if (e->parent != menu) continue;
        if (e->kind == Q_GUI_POPUP_SEPARATOR) {
            if (e->visible && m->row_count > 0 && !pending_sep) {
                pending_sep = true;
                pending_idx = i;
            }
            continue;
        }
        if (!_shown(p, i, 0)) continue;
        if (pending_sep) {
            m->rows[m->row_count++] = pending_idx;
            pending_sep = false;
        }
        m->rows[m->row_count++] = i;
    }
    ALLEGRO_FONT *font = p->ctx->default_font;
    const float u = p->unit;
    bool checks = false, arrows = false;
    float text_w = 0, y = 2 * u;
    for (int r = 0; r < m->row_count; r++) {
        const Q_GUI_POPUP_ENTRY *e = &p->entries[m->rows[r]];
        m->row_y[r] = y;
        y += _row_h(p, e->kind);
        if (e->checkable) checks = true;
        if (e->kind == Q_GUI_POPUP_SUBMENU) arrows = true;
        if (e->kind != Q_GUI_POPUP_SEPARATOR)
            text_w = fmaxf(text_w, (float)al_get_text_width(font, e->label));
    }
    m->w = fmaxf(100 * u, 10 * u + (checks ? 18 * u : 0) + text_w + (arrows ? 22 * u : 0) + 10 * u);
    m->h = y + 2 * u;
    return m->row_count > 0 ? 0 : -1;
}

// ---- menu windows ------------------------------------------------------------------

static void _menu_draw(int widget_id, float x, float y, float w, float h, void *user);
static void _menu_mouse(int widget_id, const ALLEGRO_EVENT *ev, float mx, float my, void *user);

static int _menu_of_widget(const Q_GUI_POPUP *p, int widget_id) {
    for (int i = 0; i < p->count; i++)
        if (_is_menu(p, i) && p->entries[i].widget == widget_id) return i;
    return -1;
}

static void _close_from(Q_GUI_POPUP *p, int menu) {
    // Deepest first, so no open level ever points at a closed parent.
    Q_GUI_POPUP_ENTRY *m = &p->entries[menu];
    if (m->open_child >= 0) _close_from(p, m->open_child);
    m->open_child = -1;
    m->highlight = -1;
    if (m->window >= 0) q_gui_close_window(p->ctx, m->window);
}

static void _canvas(const Q_GUI_CTX *ctx, float *w, float *h) {
    *w = ctx->virtual_w > 0 ? ctx->virtual_w : ctx->display_w;
    *h = ctx->virtual_w > 0 ? ctx->virtual_h : ctx->display_h;
}

static int _show(Q_GUI_POPUP *p, int menu, float x, float y, float alt_x) {
    Q_GUI_CTX *ctx = p->ctx;
    if (_layout(p, menu) != 0) return -1;
    Q_GUI_POPUP_ENTRY *m = &p->entries[menu];
    if (m->window < 0) {
        const int win = q_gui_add_window(ctx, "", x, y, m->w, m->h);
        if (win < 0) return -1;
        q_gui_window_set_flags(ctx, win, Q_GUI_WIN_NO_TITLEBAR | Q_GUI_WIN_FIXED);
        q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
        const int wid = q_gui_add_custom(ctx, win, 0, 0, m->w, m->h, _menu_draw, p);
        if (wid < 0) return -1;
        q_gui_custom_set_mouse(ctx, wid, _menu_mouse, p);
        m = &p->entries[menu];
        m->window = win;
        m->widget = wid;
    }
    // Keep the whole menu on the canvas: a submenu that does not fit to the
    // right flips to the left of its parent; then shift left/up as needed.
    float cw, ch;
    _canvas(ctx, &cw, &ch);
    if (cw > 0 && x + m->w > cw && alt_x >= 0) x = alt_x - m->w;
    if (cw > 0 && x + m->w > cw) x = cw - m->w;
    if (ch > 0 && y + m->h > ch) y = ch - m->h;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    m->x = x;
    m->y = y;
    m->highlight = -1;
    m->open_child = -1;
    Q_GUI_WINDOW *win = q_gui_get_window(ctx, m->window);
    win->x = x;
    win->y = y;
    win->w = m->w;
    win->h = m->h;
    q_gui_widget_set_rect(ctx, m->widget, 0, 0, m->w, m->h);
    q_gui_widget_set_tooltip(ctx, m->widget, nullptr);
    q_gui_open_window(ctx, m->window);
    q_gui_raise_window(ctx, m->window);
    return 0;
}

static void _open_sub(Q_GUI_POPUP *p, int menu, int sub, int row) {
    Q_GUI_POPUP_ENTRY *m = &p->entries[menu];
    if (m->open_child == sub) return;
    if (m->open_child >= 0) _close_from(p, m->open_child);
    m->open_child = -1;
    const float x = m->x + m->w - 2 * p->unit, y = m->y + m->row_y[row] - 2 * p->unit;
    if (_show(p, sub, x, y, m->x + 2 * p->unit) == 0) p->entries[menu].open_child = sub;
}

int q_gui_popup_open_at(Q_GUI_POPUP *popup, float x, float y) {
    Q_GUARD(popup, -1);
    _close_from(popup, 0);
    return _show(popup, 0, x, y, -1);
}

void q_gui_popup_close(Q_GUI_POPUP *popup) {
    Q_GUARD_VOID(popup);
    _close_from(popup, 0);
}

int q_gui_popup_is_open(const Q_GUI_POPUP *popup) {
    return popup && popup->entries[0].window >= 0 &&
           q_gui_window_is_open(popup->ctx, popup->entries[0].window);
}

int q_gui_popup_contains(const Q_GUI_POPUP *popup, float x, float y) {
    if (!popup) return 0;
    for (int i = 0; i < popup->count; i++) {
        const Q_GUI_POPUP_ENTRY *m = &popup->entries[i];
        if (!_is_menu(popup, i) || m->window < 0 || !q_gui_window_is_open(popup->ctx, m->window)) continue;
        if (x >= m->x && x < m->x + m->w && y >= m->y && y < m->y + m->h) return 1;
    }
    return 0;
}

int q_gui_popup_window(const Q_GUI_POPUP *popup, int index) {
    if (!popup || !_is_menu(popup, index)) return -1;
    return popup->entries[index].window;
}

static void _pick(Q_GUI_POPUP *p, int index) {
    const int tag = p->entries[index].tag;
    _close_from(p, 0);
    p->on_pick(p, tag, p->user);
}

void q_gui_popup_activate(Q_GUI_POPUP *popup, int index) {
    if (!popup || index <= 0 || index >= popup->count) return;
    const Q_GUI_POPUP_ENTRY *e = &popup->entries[index];
    if (!e->enabled) return;
    if (e->kind == Q_GUI_POPUP_ITEM) {
        _pick(popup, index);
    } else if (e->kind == Q_GUI_POPUP_SUBMENU) {
        const int parent = e->parent;
        const Q_GUI_POPUP_ENTRY *m = &popup->entries[parent];
        for (int r = 0; r < m->row_count; r++)
            if (m->rows[r] == index) _open_sub(popup, parent, index, r);
    }
}

void q_gui_popup_destroy(Q_GUI_POPUP **pp) {
    Q_GUARD_VOID(pp);
    Q_GUI_POPUP *p = *pp;
    Q_GUARD_VOID(p);
    _close_from(p, 0);
    for (int i = 0; i < p->count; i++) {
        Q_GUI_POPUP_ENTRY *e = &p->entries[i];
        Q_GUI_WIDGET *w = q_gui_widget_of_kind(p->ctx, e->widget, Q_GUI_KIND_CUSTOM);
        if (w) {
            // The windows outlive the popup (windows are never destroyed);
            // they must not call back into freed memory.
            Q_GUI_CUSTOM_DATA *d = static_cast<Q_GUI_CUSTOM_DATA *>(w->data);
            d->on_draw = nullptr;
            d->on_mouse = nullptr;
        }
        free(e->label);
        free(e->hint);
        free(e->rows);
        free(e->row_y);
    }
    Q_FREE(p->entries);
    Q_FREE(p);
    *pp = nullptr;
}

// ---- drawing and mouse ---------------------------------------------------------------

static void _menu_draw(int widget_id, float x, float y, float w, float h, void *user) {
    Q_GUI_POPUP *p = static_cast<Q_GUI_POPUP *>(user);
    const int menu = _menu_of_widget(p, widget_id);
    if (menu < 0) return;
    const Q_GUI_POPUP_ENTRY *m = &p->entries[menu];
    const Q_GUI_WIDGET *wd = q_gui_get_widget(p->ctx, widget_id);
    const Q_GUI_THEME *t = &wd->theme;
    ALLEGRO_FONT *font = p->ctx->default_font;
    const float u = p->unit;
    al_draw_filled_rectangle(x, y, x + w, y + h, q_gui_with_alpha(t->bg_normal, 1.0f));
    al_draw_rectangle(x + 0.5f, y + 0.5f, x + w - 0.5f, y + h - 0.5f, t->border_normal, 1);
    bool checks = false;
    for (int r = 0; r < m->row_count; r++)
        checks = checks || p->entries[m->rows[r]].checkable;
    const float lh = (float)al_get_font_line_height(font);
    for (int r = 0; r < m->row_count; r++) {
        const int idx = m->rows[r];
        const Q_GUI_POPUP_ENTRY *e = &p->entries[idx];
        const float ry = y + m->row_y[r], rh = _row_h(p, e->kind);
        if (e->kind == Q_GUI_POPUP_SEPARATOR) {
            al_draw_line(x + 6 * u, ry + rh / 2, x + w - 6 * u, ry + rh / 2, t->border_normal, 1);
            continue;
        }
        const bool hl = idx == m->highlight && e->enabled;
        ALLEGRO_COLOR tc = q_gui_lit_row(t, 1, x + 2 * u, ry, x + w - 2 * u, ry + rh,
                                         hl                     ? Q_GUI_LIT_CURSOR
                                         : idx == m->open_child ? Q_GUI_LIT_MARK
                                                                : Q_GUI_LIT_NONE);
        if (!e->enabled) tc = q_gui_with_alpha(tc, 0.4f);
        float tx = x + 10 * u;
        if (checks) {
            if (e->checkable) {
                const float cx = tx, cy = ry + rh / 2, s = 5 * u;
                al_draw_rectangle(cx, cy - s, cx + 2 * s, cy + s, tc, 1);
                if (e->checked) {
                    al_draw_line(cx + 0.4f * s, cy, cx + 0.9f * s, cy + 0.6f * s, tc, 2);
                    al_draw_line(cx + 0.9f * s, cy + 0.6f * s, cx + 1.7f * s, cy - 0.6f * s, tc, 2);
                }
            }
            tx += 18 * u;
        }
        al_draw_text(font, tc, tx, ry + (rh - lh) / 2, 0, e->label);
        if (e->kind == Q_GUI_POPUP_SUBMENU) {
            const float ax = x + w - 12 * u, ay = ry + rh / 2;
            al_draw_filled_triangle(ax, ay - 4 * u, ax, ay + 4 * u, ax + 5 * u, ay, tc);
        }
    }
}

// The innermost open menu holding the point, -1 when none does. A drag
// captured by the menu first pressed reports every move to that menu's
// widget; the rows must come from the menu actually under the pointer.
static int _menu_at(const Q_GUI_POPUP *p, float x, float y) {
    int found = -1;
    for (int m = 0; m >= 0 && m < p->count; m = p->entries[m].open_child) {
        const Q_GUI_POPUP_ENTRY *e = &p->entries[m];
        if (e->window < 0 || !q_gui_window_is_open(p->ctx, e->window)) break;
        if (x >= e->x && x < e->x + e->w && y >= e->y && y < e->y + e->h) found = m;
    }
    return found;
}

static void _menu_mouse(int widget_id, const ALLEGRO_EVENT *ev, float mx, float my, void *user) {
    Q_GUI_POPUP *p = static_cast<Q_GUI_POPUP *>(user);
    if (_menu_of_widget(p, widget_id) < 0) return;
    const int menu = _menu_at(p, mx, my);
    if (menu < 0) return;
    Q_GUI_POPUP_ENTRY *m = &p->entries[menu];
    const float ly = my - m->y;
    int row = -1;
    for (int r = 0; r < m->row_count; r++)
        if (ly >= m->row_y[r] && ly < m->row_y[r] + _row_h(p, p->entries[m->rows[r]].kind)) row = r;
    const int idx = row >= 0 ? m->rows[row] : -1;
    const Q_GUI_POPUP_ENTRY *e = idx >= 0 ? &p->entries[idx] : nullptr;
    if (ev->type == ALLEGRO_EVENT_MOUSE_AXES) {
        if (!e) return;
        m->highlight = e->kind == Q_GUI_POPUP_SEPARATOR ? -1 : idx;
        q_gui_widget_set_tooltip(p->ctx, widget_id, e->hint);
        if (e->kind == Q_GUI_POPUP_SUBMENU && e->enabled)
            _open_sub(p, menu, idx, row);
        else if (m->open_child >= 0 && e->kind != Q_GUI_POPUP_SEPARATOR) {
            _close_from(p, m->open_child);
            p->entries[menu].open_child = -1;
        }
        p->ctx->redraw = 1;
    } else if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button == 1) {
        if (!e || !e->enabled) return;
        if (e->kind == Q_GUI_POPUP_ITEM)
            _pick(p, idx);
        else if (e->kind == Q_GUI_POPUP_SUBMENU)
            _open_sub(p, menu, idx, row);
    } else if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP && ev->mouse.button == 1) {
        // The end of a press and drag: the item under the pointer is chosen.
        if (e && e->enabled && e->kind == Q_GUI_POPUP_ITEM) _pick(p, idx);
    }
}
