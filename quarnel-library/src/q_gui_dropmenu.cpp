// q_gui drop-down menu kind: a button that opens a list of entries drawn
// above every window. Its open callback may rebuild the entries each time
// the menu opens; picking an entry calls that entry's own callback.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_DROPMENU_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_DROPMENU_DATA *>(w->data);
}

static_assert(offsetof(Q_GUI_DROPMENU_DATA, drop) == 0, "the shared drop state leads the record");

static const char *_text_at(const Q_GUI_WIDGET *w, int i) {
    return _data(w)->entries[i].text;
}

static Q_GUI_DROP_LIST _list(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    Q_GUI_DROP_LIST l = q_gui_drop_list_base(ctx, w);
    // No strip at all when the style gives it no width.
    l.strip = l.strip && ctx->style.scrollbar_size > 0;
    q_gui_drop_list_place(ctx, w, &l, 0, 0);
    return l;
}

static void _set_open(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int flag) {
    Q_GUI_DROPMENU_DATA *d = _data(w);
    // The entries may be rebuilt now; the widget stays where it is.
    if (flag && d->on_open) d->on_open(w->id, d->open_user);
    q_gui_drop_hold(ctx, w, flag);
    d->drop.highlight = flag && d->drop.count > 0 ? 0 : -1;
    if (flag) d->drop.first = 0;
}

static void _pick(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int index) {
    Q_GUI_DROPMENU_DATA *d = _data(w);
    if (index < 0 || index >= d->drop.count) {
        _set_open(ctx, w, 0);
        return;
    }
    // The entry is copied out first: its callback may rebuild the entries.
    const Q_GUI_DROPMENU_ENTRY e = d->entries[index];
    _set_open(ctx, w, 0);
    if (e.cb) e.cb(w->id, index, e.tag, e.user);
}

// The menu does not page: PgUp and PgDn are not its keys.
static const Q_GUI_DROP_KIND k_dropmenu_drop = {
    .layer = Q_GUI_LAYER_MENU,
    .paging = 0,
    .max_visible = &Q_GUI_STYLE::dropmenu_max_visible,
    .default_rows = 12,
    .text_at = _text_at,
    .list = _list,
    .set_open = _set_open,
    .pick = _pick,
};

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    q_gui_drop_draw_box(ctx, w, x, y, _data(w)->label);
    const float cx = x + w->w - ctx->style.dropdown_arrow_reserve / 2 - 4, cy = y + w->h / 2;
    const float hw = ctx->style.dropdown_arrow_half_w * 0.8f, hh = ctx->style.dropdown_arrow_half_h;
    al_draw_filled_triangle(cx - hw, cy - hh, cx + hw, cy - hh, cx, cy + hh,
                            q_gui_dim(w, w->theme.text_normal));
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
    case ALLEGRO_KEY_SPACE:
    case ALLEGRO_KEY_DOWN:
        _set_open(ctx, w, 1);
        return 1;
    case ALLEGRO_KEY_UP:
    case ALLEGRO_KEY_HOME:
    case ALLEGRO_KEY_END:
    case ALLEGRO_KEY_PGUP:
    case ALLEGRO_KEY_PGDN:
    case ALLEGRO_KEY_LEFT:
    case ALLEGRO_KEY_RIGHT:
        return 1;
    default:
        return 0;
    }
}

static void _free_entries(Q_GUI_DROPMENU_DATA *d) {
    for (int i = 0; i < d->drop.count; i++)
        Q_FREE(d->entries[i].text);
    d->drop.count = 0;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_GUI_DROPMENU_DATA *d = _data(w);
    _free_entries(d);
    Q_FREE(d->entries);
}

static const Q_GUI_KIND_OPS k_dropmenu_ops = {
    .kind = Q_GUI_KIND_DROPMENU,
    .name = "dropmenu",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = q_gui_drop_mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
};

int q_gui_add_dropmenu(Q_GUI_CTX *ctx, int window, const char *label, float x, float y, float w, float h,
                       Q_GUI_CLICK_CB on_open, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_DROPMENU_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_DROPMENU_DATA);
    if (!d) return -1;
    q_strcpy(d->label, sizeof d->label, label ? label : "");
    d->drop.kind = &k_dropmenu_drop;
    d->drop.highlight = -1;
    d->drop.visible_rows = ctx->style.dropmenu_max_visible;
    d->drop.row_h = h > 1 ? h : 22;
    d->on_open = on_open;
    d->open_user = user;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_dropmenu_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

static Q_GUI_WIDGET *_dm(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_DROPMENU);
}

int q_gui_dropmenu_add_dynamic_entry(Q_GUI_CTX *ctx, int id, const char *text, int tag, Q_GUI_DROPMENU_CB cb,
                                     void *user) {
    Q_GUI_WIDGET *w = _dm(ctx, id);
    if (!w) return -1;
    Q_GUI_DROPMENU_DATA *d = _data(w);
    if (d->drop.count == d->cap) {
        const int cap = d->cap ? d->cap * 2 : 4;
        void *p = realloc(d->entries, sizeof(Q_GUI_DROPMENU_ENTRY) * (size_t)cap);
        if (!p) {
            q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "d->entries", "cap",
                  sizeof(Q_GUI_DROPMENU_ENTRY), "malloc error", __LINE__, __FILE__);
            return -1;
        }
        d->entries = static_cast<Q_GUI_DROPMENU_ENTRY *>(p);
        d->cap = cap;
    }
    Q_GUI_DROPMENU_ENTRY *e = &d->entries[d->drop.count];
    memset(e, 0, sizeof *e);
    const char *t = text ? text : "";
    const size_t n = strlen(t);
    Q_CALLOC(e->text, n + 1, char);
    if (!e->text) return -1;
    memcpy(e->text, t, n);
    e->tag = tag;
    e->cb = cb;
    e->user = user;
    ctx->redraw = 1;
    return d->drop.count++;
}

void q_gui_dropmenu_clear(Q_GUI_CTX *ctx, int id) {
    Q_GUI_WIDGET *w = _dm(ctx, id);
    if (!w) return;
    Q_GUI_DROPMENU_DATA *d = _data(w);
    _free_entries(d);
    d->drop.highlight = -1;
    d->drop.first = 0;
    ctx->redraw = 1;
}

int q_gui_dropmenu_count(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _dm(ctx, id);
    return w ? _data(w)->drop.count : 0;
}

void q_gui_dropmenu_set_open(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_WIDGET *w = _dm(ctx, id);
    if (w) _set_open(ctx, w, flag);
}

int q_gui_dropmenu_is_open(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _dm(ctx, id);
    return w && q_gui_drop_is_open(ctx, w) ? 1 : 0;
}

void q_gui_dropmenu_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *button, ALLEGRO_BITMAP *list) {
    Q_GUI_WIDGET *w =
        q_gui_widget_expect(ctx, id, Q_GUI_KIND_DROPMENU, "q_gui_dropmenu_set_bitmaps", "dropmenu");
    if (!w) return;
    _data(w)->drop.bmp_box = button;
    _data(w)->drop.bmp_list = list;
    ctx->redraw = 1;
}
