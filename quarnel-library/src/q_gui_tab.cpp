// q_gui tab panel composite: a row of toggle buttons, one per page, over a
// framed page area; only the current page's widgets are visible.

#include <allegro5/allegro_primitives.h>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static const float k_tab_h = 26, k_tab_gap = 2;

static void _frame(int, float x, float y, float w, float h, void *user) {
    const Q_GUI_TAB_PANEL *t = static_cast<const Q_GUI_TAB_PANEL *>(user);
    if (!t) return;
    const Q_GUI_THEME *th = &t->ctx->theme;
    al_draw_filled_rectangle(x, y + t->tab_h, x + w, y + h, q_gui_with_alpha(th->bg_hover, 0.35f));
    al_draw_rectangle(x + 0.5f, y + t->tab_h + 0.5f, x + w - 0.5f, y + h - 0.5f, th->border_normal, 1);
}

static void _on_tab(int button, void *user) {
    Q_GUI_TAB_PANEL *t = static_cast<Q_GUI_TAB_PANEL *>(user);
    for (int p = 0; p < t->page_count; p++)
        if (t->pages[p].button == button) {
            q_gui_tab_select(t, p);
            if (t->on_change) t->on_change(button, p, t->user);
            return;
        }
}

Q_GUI_TAB_PANEL *q_gui_tab_create(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h) {
    Q_GUARD(ctx, nullptr);
    if (!q_gui_window_find(ctx, window)) return nullptr;
    Q_GUI_TAB_PANEL *t = nullptr;
    Q_CALLOC(t, 1, Q_GUI_TAB_PANEL);
    if (!t) return nullptr;
    t->ctx = ctx;
    t->window = window;
    t->x = x;
    t->y = y;
    t->w = w;
    t->h = h;
    t->tab_h = k_tab_h;
    t->current = -1;
    t->frame = q_gui_add_custom(ctx, window, x, y, w, h, _frame, t);
    if (t->frame < 0) {
        Q_FREE(t);
        return nullptr;
    }
    return t;
}

void q_gui_tab_destroy(Q_GUI_TAB_PANEL **tab) {
    Q_GUARD_VOID(tab);
    Q_GUI_TAB_PANEL *t = *tab;
    if (!t) return;
    // Buttons and frame live on with the window; they must not reach back
    // into the freed panel.
    for (int p = 0; p < t->page_count; p++) {
        Q_GUI_WIDGET *b = q_gui_widget_of_kind(t->ctx, t->pages[p].button, Q_GUI_KIND_BUTTON);
        if (b) static_cast<Q_GUI_BUTTON_DATA *>(b->data)->on_click = nullptr;
        Q_FREE(t->pages[p].members);
    }
    Q_GUI_WIDGET *f = q_gui_widget_of_kind(t->ctx, t->frame, Q_GUI_KIND_CUSTOM);
    if (f) static_cast<Q_GUI_CUSTOM_DATA *>(f->data)->draw_user = nullptr;
    Q_FREE(*tab);
}

int q_gui_tab_add_page(Q_GUI_TAB_PANEL *tab, const char *title) {
    Q_GUARD(tab, -1);
    if (tab->page_count >= Q_GUI_TAB_PAGES_MAX) return -1;
    float bx = tab->x;
    for (int p = 0; p < tab->page_count; p++) {
        const Q_GUI_WIDGET *b = q_gui_get_widget(tab->ctx, tab->pages[p].button);
        if (b) bx = b->x + b->w + k_tab_gap;
    }
    const char *t = title ? title : "";
    const float bw = q_gui_text_w(tab->ctx->default_font, t, (int)strlen(t)) + 24;
    const int b = q_gui_add_button(tab->ctx, tab->window, t, bx, tab->y, bw, tab->tab_h, 0, _on_tab, tab);
    if (b < 0) return -1;
    q_gui_button_set_toggle(tab->ctx, b, 1);
    Q_GUI_TAB_PAGE *pg = &tab->pages[tab->page_count];
    memset(pg, 0, sizeof *pg);
    pg->button = b;
    const int index = tab->page_count++;
    if (tab->current < 0)
        q_gui_tab_select(tab, index);
    else
        q_gui_button_set_toggled(tab->ctx, b, 0);
    return index;
}

int q_gui_tab_add_widget(Q_GUI_TAB_PANEL *tab, int page, int widget_id) {
    Q_GUARD(tab, -1);
    if (page < 0 || page >= tab->page_count || !q_gui_get_widget(tab->ctx, widget_id)) return -1;
    Q_GUI_TAB_PAGE *pg = &tab->pages[page];
    if (pg->count == pg->cap) {
        const int cap = pg->cap ? pg->cap * 2 : 8;
        void *p = realloc(pg->members, sizeof(int) * (size_t)cap);
        if (!p) {
            q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "pg->members", "cap",
                  sizeof(int), "malloc error", __LINE__, __FILE__);
            return -1;
        }
        pg->members = static_cast<int *>(p);
        pg->cap = cap;
    }
    pg->members[pg->count++] = widget_id;
    q_gui_widget_set_visible(tab->ctx, widget_id, page == tab->current);
    return 0;
}

void q_gui_tab_select(Q_GUI_TAB_PANEL *tab, int page) {
    Q_GUARD_VOID(tab);
    if (page < 0 || page >= tab->page_count) return;
    tab->current = page;
    for (int p = 0; p < tab->page_count; p++) {
        q_gui_button_set_toggled(tab->ctx, tab->pages[p].button, p == page);
        for (int k = 0; k < tab->pages[p].count; k++)
            q_gui_widget_set_visible(tab->ctx, tab->pages[p].members[k], p == page);
    }
}

int q_gui_tab_get_selected(const Q_GUI_TAB_PANEL *tab) {
    return tab ? tab->current : -1;
}

void q_gui_tab_set_callback(Q_GUI_TAB_PANEL *tab, Q_GUI_INDEX_CB cb, void *user) {
    Q_GUARD_VOID(tab);
    tab->on_change = cb;
    tab->user = user;
}

float q_gui_tab_page_top(const Q_GUI_TAB_PANEL *tab) {
    return tab ? tab->y + tab->tab_h + 6 : 0;
}
