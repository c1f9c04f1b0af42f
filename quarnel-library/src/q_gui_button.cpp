// q_gui button kind: a labelled (or bitmap) push or toggle button with an
// optional keyboard shortcut. Clicks fire on release over the button.

#include <allegro5/allegro_primitives.h>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static const double k_flash = 0.12;

static Q_GUI_BUTTON_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_BUTTON_DATA *>(w->data);
}

// Shared by click, keyboard and shortcut: flips a toggle, flashes, calls back.
static void _activate(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_BUTTON_DATA *d = _data(w);
    if (d->toggle_mode) d->toggled = !d->toggled;
    const double now = q_gui_now();
    d->flash_until = now + k_flash;
    q_gui_redraw_until(ctx, now + k_flash + 0.05);
    ctx->redraw = 1;
    // The callback may change anything, this widget included; nothing of it
    // is touched afterwards.
    if (d->on_click) d->on_click(w->id, d->user);
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_BUTTON_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    const bool flashing = d->flash_until > q_gui_now();
    const Q_GUI_LOOK look = q_gui_look(w, flashing || d->toggled);
    const bool hover = (w->state & Q_GUI_WS_HOVER) && w->enabled;
    const bool pressed = flashing || d->toggled || ((w->state & Q_GUI_WS_PRESSED) && hover);
    if (d->shape == Q_GUI_BUTTON_SHAPE_BITMAP && d->bmp_normal) {
        ALLEGRO_BITMAP *b = pressed && d->bmp_active ? d->bmp_active
                            : hover && d->bmp_hover  ? d->bmp_hover
                                                     : d->bmp_normal;
        al_draw_scaled_bitmap(b, 0, 0, (float)al_get_bitmap_width(b), (float)al_get_bitmap_height(b), x, y,
                              w->w, w->h, 0);
    } else {
        q_gui_fill_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, look.bg);
        q_gui_stroke_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, look.border, t->border_thickness);
    }
    if (w->state & Q_GUI_WS_FOCUSED)
        q_gui_stroke_box(ctx, x + 2, y + 2, w->w - 4, w->h - 4, t->corner_rx, t->corner_ry, t->border_active,
                         1);
    if (d->label[0]) {
        ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
        const float ty = y + (w->h - (float)al_get_font_line_height(font)) / 2;
        q_gui_draw_text_fit(font, look.text, x + w->w / 2, ty, w->w - 8, 1, d->label);
    }
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    if (ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_UP || ev->mouse.button != 1) return;
    if (!(w->state & Q_GUI_WS_PRESSED)) return;
    if (mx >= x && mx < x + w->w && my >= y && my < y + w->h) _activate(ctx, w);
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_SPACE:
    case ALLEGRO_KEY_PAD_ENTER:
        if (!ev->keyboard.repeat) _activate(ctx, w);
        return 1;
    case ALLEGRO_KEY_LEFT:
        q_gui_focus_move_dir(ctx, w, -1, 0);
        return 1;
    case ALLEGRO_KEY_RIGHT:
        q_gui_focus_move_dir(ctx, w, 1, 0);
        return 1;
    case ALLEGRO_KEY_UP:
        q_gui_focus_move_dir(ctx, w, 0, -1);
        return 1;
    case ALLEGRO_KEY_DOWN:
        q_gui_focus_move_dir(ctx, w, 0, 1);
        return 1;
    default:
        return 0;
    }
}

static int _key_down(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    const Q_GUI_BUTTON_DATA *d = _data(w);
    if (!d->keycode || ev->keyboard.keycode != d->keycode) return 0;
    if (d->key_mods && (int)q_gui_allegro_mods(ctx) != d->key_mods) return 0;
    if (d->scoped) {
        bool in_scope = ctx->focus == w->id;
        for (int i = 0; i < Q_GUI_BUTTON_SCOPE_MAX && d->scope[i] >= 0 && !in_scope; i++)
            in_scope = d->scope[i] == ctx->focus;
        if (!in_scope) return 0;
    }
    _activate(ctx, w);
    return 1;
}

static int _takes_key(const Q_GUI_WIDGET *, int keycode) {
    switch (keycode) {
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_SPACE:
    case ALLEGRO_KEY_LEFT:
    case ALLEGRO_KEY_RIGHT:
    case ALLEGRO_KEY_UP:
    case ALLEGRO_KEY_DOWN:
    case ALLEGRO_KEY_PAD_ENTER:
        return 1;
    default:
        return 0;
    }
}

static const Q_GUI_KIND_OPS k_button_ops = {
    .kind = Q_GUI_KIND_BUTTON,
    .name = "button",
    .click_focus = 0, // a click does not take the focus; Tab does
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .key_down = _key_down,
    .takes_key = _takes_key,
};

int q_gui_add_button(Q_GUI_CTX *ctx, int window, const char *label, float x, float y, float w, float h,
                     int shape, Q_GUI_CLICK_CB on_click, void *user) {
    Q_GUARD(ctx, -1);
    Q_GUI_BUTTON_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_BUTTON_DATA);
    if (!d) return -1;
    q_strcpy(d->label, sizeof d->label, label ? label : "");
    d->shape = shape;
    d->on_click = on_click;
    d->user = user;
    for (int &s : d->scope)
        s = -1;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_button_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

void q_gui_button_set_label(Q_GUI_CTX *ctx, int id, const char *label) {
    Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    if (!d) return;
    q_strcpy(d->label, sizeof d->label, label ? label : "");
    ctx->redraw = 1;
}

const char *q_gui_button_get_label(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    return d ? d->label : "";
}

static const int k_mod_keep =
    ALLEGRO_KEYMOD_SHIFT | ALLEGRO_KEYMOD_CTRL | ALLEGRO_KEYMOD_ALT | ALLEGRO_KEYMOD_COMMAND;

void q_gui_button_set_keycode(Q_GUI_CTX *ctx, int id, int keycode, int mods) {
    Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    if (!d) return;
    d->keycode = keycode;
    d->key_mods = mods & k_mod_keep;
    d->scoped = 0;
    for (int &s : d->scope)
        s = -1;
}

void q_gui_button_set_keycode_scoped(Q_GUI_CTX *ctx, int id, int keycode, int mods, const int *scope,
                                     int count) {
    Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    if (!d) return;
    d->keycode = keycode;
    d->key_mods = mods & k_mod_keep;
    d->scoped = 1;
    for (int &s : d->scope)
        s = -1;
    for (int i = 0; scope && i < count && i < Q_GUI_BUTTON_SCOPE_MAX; i++)
        d->scope[i] = scope[i];
}

void q_gui_button_set_bitmaps(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *normal, ALLEGRO_BITMAP *hover,
                              ALLEGRO_BITMAP *active) {
    Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    if (!d) return;
    d->bmp_normal = normal;
    d->bmp_hover = hover;
    d->bmp_active = active;
    d->shape = Q_GUI_BUTTON_SHAPE_BITMAP;
    ctx->redraw = 1;
}

void q_gui_button_set_toggle(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    if (!d) return;
    d->toggle_mode = flag ? 1 : 0;
    if (!flag) d->toggled = 0;
    ctx->redraw = 1;
}

void q_gui_button_set_toggled(Q_GUI_CTX *ctx, int id, int flag) {
    Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    if (!d) return;
    d->toggled = flag ? 1 : 0;
    ctx->redraw = 1;
}

int q_gui_button_is_toggled(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_BUTTON_DATA *d = q_gui_lookup<Q_GUI_BUTTON_DATA>(ctx, id);
    return d ? d->toggled : 0;
}

int q_gui_window_find_button(const Q_GUI_CTX *ctx, int id, const char *label) {
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, id);
    if (!win || !label) return -1;
    for (int i = 0; i < win->widget_count; i++) {
        const Q_GUI_WIDGET *w = win->widgets[i];
        if (w->kind != Q_GUI_KIND_BUTTON) continue;
        const char *l = q_gui_button_get_label(ctx, w->id);
        if (l && !strcmp(l, label)) return w->id;
    }
    return -1;
}
