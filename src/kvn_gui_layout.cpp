#include "kvn_gui_layout.h"

#include <allegro5/allegro.h>
#include <cJSON.h>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_paths.h"
#include "q_common.h"
#include "q_gui.h"

// ---- tables ------------------------------------------------------------------

enum {
    LAYOUT_KEY_MAX = 64,
    LAYOUT_SAVED_MAX = 128,
    LAYOUT_SPLIT_MAX = 32,
    LAYOUT_POPUP_MAX = 128,
    LAYOUT_ANCHOR_MAX = 2048,
    LAYOUT_TRACK_MAX = 128,
    LAYOUT_AUTO_WIDGETS_MAX = 512,
    LAYOUT_DEFAULT_W = 1400,
    LAYOUT_DEFAULT_H = 860,
};

// Geometry read from a file is taken only inside these bounds: anything
// farther is a damaged file, not a desktop.
static const double k_coord_limit = 1e6;
static const double k_size_limit = 16384;

struct LAYOUT_MAIN {
    int x, y; // INT_MAX when unknown
    int w, h;
    int maximized;
    int known;
};

struct LAYOUT_SAVED {
    char key[LAYOUT_KEY_MAX];
    float x, y, w, h;
};

struct LAYOUT_SPLIT {
    char key[LAYOUT_KEY_MAX];
    float ratio;
};

struct LAYOUT_POPUP {
    int window;
    char key[LAYOUT_KEY_MAX];
    float default_w, default_h;
};

struct LAYOUT_ANCHOR {
    int window, widget, flags;
    float x, y, w, h;       // the widget when anchored
    float win_w, content_h; // its window when anchored
};

struct LAYOUT_TRACK {
    int window;
    float w, content_h; // -1 until first seen
};

struct LAYOUT_STATE {
    LAYOUT_MAIN main;
    LAYOUT_SAVED saved[LAYOUT_SAVED_MAX];
    int saved_count;
    LAYOUT_SPLIT splits[LAYOUT_SPLIT_MAX];
    int split_count;
    LAYOUT_POPUP popups[LAYOUT_POPUP_MAX];
    int popup_count;
    LAYOUT_ANCHOR anchors[LAYOUT_ANCHOR_MAX];
    int anchor_count;
    LAYOUT_TRACK tracks[LAYOUT_TRACK_MAX];
    int track_count;
};

// Main thread only, like every GUI structure.
static LAYOUT_STATE g_layout = {
    {INT_MAX, INT_MAX, LAYOUT_DEFAULT_W, LAYOUT_DEFAULT_H, 0, 0}, {}, 0, {}, 0, {}, 0, {}, 0, {}, 0};

static void _main_defaults(LAYOUT_MAIN *m) {
    m->x = m->y = INT_MAX;
    m->w = LAYOUT_DEFAULT_W;
    m->h = LAYOUT_DEFAULT_H;
    m->maximized = 0;
    m->known = 0;
}

static Q_GUI_CTX *_gui(void) {
    KVN_APP *app = kvn_app_get();
    return app ? app->gui : nullptr;
}

static float _content_h(const Q_GUI_WINDOW *win) {
    if (win->flags & Q_GUI_WIN_NO_TITLEBAR) return win->h;
    return win->h - win->titlebar_h;
}

static LAYOUT_SAVED *_saved_find(const char *key) {
    for (int i = 0; i < g_layout.saved_count; i++)
        if (!strcmp(g_layout.saved[i].key, key)) return &g_layout.saved[i];
    return nullptr;
}

static void _saved_put(const char *key, float x, float y, float w, float h) {
    LAYOUT_SAVED *s = _saved_find(key);
    if (!s) {
        if (g_layout.saved_count >= LAYOUT_SAVED_MAX) return;
        s = &g_layout.saved[g_layout.saved_count++];
        q_strcpy(s->key, sizeof s->key, key);
    }
    s->x = x;
    s->y = y;
    s->w = w;
    s->h = h;
}

static LAYOUT_POPUP *_popup_find(int window) {
    for (int i = 0; i < g_layout.popup_count; i++)
        if (g_layout.popups[i].window == window) return &g_layout.popups[i];
    return nullptr;
}

static LAYOUT_TRACK *_track_get(int window) {
    for (int i = 0; i < g_layout.track_count; i++)
        if (g_layout.tracks[i].window == window) return &g_layout.tracks[i];
    if (g_layout.track_count >= LAYOUT_TRACK_MAX) return nullptr;
    LAYOUT_TRACK *t = &g_layout.tracks[g_layout.track_count++];
    t->window = window;
    t->w = t->content_h = -1;
    return t;
}

// Size cut to the display, then moved left or up until it fits, never past
// the top left corner. Returns whether anything changed.
static bool _fit_inside(float dw, float dh, float *x, float *y, float *w, float *h) {
    const float ox = *x, oy = *y, ow = *w, oh = *h;
    if (*w > dw) *w = dw;
    if (*h > dh) *h = dh;
    if (*x + *w > dw) *x = dw - *w;
    if (*y + *h > dh) *y = dh - *h;
    if (*x < 0) *x = 0;
    if (*y < 0) *y = 0;
    return *x != ox || *y != oy || *w != ow || *h != oh;
}

// ---- the file ----------------------------------------------------------------

static bool _number(const cJSON *o, const char *name, double *out) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, name);
    if (!cJSON_IsNumber(v) || !std::isfinite(v->valuedouble)) return false;
    *out = v->valuedouble;
    return true;
}

// Returns the number of members that did not pass their rule.
static int _read_main(const cJSON *m) {
    if (!m) return 0;
    double w, h;
    if (!cJSON_IsObject(m) || !_number(m, "w", &w) || !_number(m, "h", &h) || w < 640 || w > k_size_limit ||
        h < 400 || h > k_size_limit)
        return 1;
    LAYOUT_MAIN *g = &g_layout.main;
    _main_defaults(g);
    g->w = (int)w;
    g->h = (int)h;
    double v;
    if (_number(m, "x", &v) && fabs(v) < k_coord_limit) g->x = (int)v;
    if (_number(m, "y", &v) && fabs(v) < k_coord_limit) g->y = (int)v;
    g->maximized = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(m, "maximized")) ? 1 : 0;
    g->known = 1;
    return 0;
}

static int _read_popups(const cJSON *p) {
    if (!p) return 0;
    if (!cJSON_IsObject(p)) return 1;
    int bad = 0;
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, p) {
        double x, y, w, h;
        if (!e->string || !cJSON_IsObject(e) || !_number(e, "x", &x) || !_number(e, "y", &y) ||
            !_number(e, "w", &w) || !_number(e, "h", &h) || w < 50 || h < 50 || w > k_size_limit ||
            h > k_size_limit || fabs(x) > k_coord_limit || fabs(y) > k_coord_limit) {
            bad++;
            continue;
        }
        if (g_layout.saved_count >= LAYOUT_SAVED_MAX) break;
        _saved_put(e->string, (float)x, (float)y, (float)w, (float)h);
    }
    return bad;
}

static int _read_splits(const cJSON *s) {
    if (!s) return 0;
    if (!cJSON_IsObject(s)) return 1;
    int bad = 0;
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, s) {
        if (!e->string || !cJSON_IsNumber(e) || !(e->valuedouble > 0.02 && e->valuedouble < 0.98)) {
            bad++;
            continue;
        }
        if (g_layout.split_count >= LAYOUT_SPLIT_MAX) break;
        kvn_gui_layout_split_set(e->string, (float)e->valuedouble);
    }
    return bad;
}

void kvn_gui_layout_load(void) {
    // Only what the file holds starts over; dialogs and anchors already
    // registered stay.
    _main_defaults(&g_layout.main);
    g_layout.saved_count = g_layout.split_count = 0;
    char path[KVN_PATH_MAX];
    kvn_paths_data_file(path, sizeof path, "layout.json");
    // Over the cap the reader names the file itself.
    char *text = kvn_paths_read_file(path, KVN_READ_CAP, nullptr);
    if (!text) return;
    Q_CJSON root(cJSON_Parse(text));
    free(text);
    if (!root) {
        q_log(Q_LOG_NOTICE, "layout.json is not valid JSON, ignored");
        return;
    }
    if (!cJSON_IsObject(root.get())) {
        q_log(Q_LOG_NOTICE, "layout.json is not a JSON object, ignored");
        return;
    }
    int bad = _read_main(cJSON_GetObjectItemCaseSensitive(root.get(), "main"));
    bad += _read_popups(cJSON_GetObjectItemCaseSensitive(root.get(), "popups"));
    bad += _read_splits(cJSON_GetObjectItemCaseSensitive(root.get(), "splits"));
    if (bad) q_log(Q_LOG_NOTICE, "layout.json: %d entries of the wrong form or size ignored", bad);
}

void kvn_gui_layout_main_geometry(int *x, int *y, int *w, int *h, int *maximized) {
    const LAYOUT_MAIN *m = &g_layout.main;
    if (x) *x = m->known ? m->x : INT_MAX;
    if (y) *y = m->known ? m->y : INT_MAX;
    if (w) *w = m->known ? m->w : LAYOUT_DEFAULT_W;
    if (h) *h = m->known ? m->h : LAYOUT_DEFAULT_H;
    if (maximized) *maximized = m->known ? m->maximized : 0;
}

// A maximized display says nothing about the size to come back to, so only
// the flag is taken then.
static void _note_main_geometry(void) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->display) return;
    LAYOUT_MAIN *m = &g_layout.main;
    if (al_get_display_flags(app->display) & ALLEGRO_MAXIMIZED) {
        m->maximized = 1;
        return;
    }
    int x = 0, y = 0;
    al_get_window_position(app->display, &x, &y);
    m->x = x;
    m->y = y;
    m->w = al_get_display_width(app->display);
    m->h = al_get_display_height(app->display);
    m->maximized = 0;
    m->known = 1;
}

static void _add_number(cJSON *o, const char *name, double v) {
    cJSON_AddItemToObject(o, name, cJSON_CreateNumber(v));
}

void kvn_gui_layout_save(void) {
    _note_main_geometry();
    Q_CJSON root(cJSON_CreateObject());
    if (!root) return;
    cJSON *m = cJSON_CreateObject();
    cJSON_AddItemToObject(root.get(), "main", m);
    const LAYOUT_MAIN *g = &g_layout.main;
    if (g->x != INT_MAX && g->y != INT_MAX) {
        _add_number(m, "x", g->x);
        _add_number(m, "y", g->y);
    }
    _add_number(m, "w", g->w);
    _add_number(m, "h", g->h);
    cJSON_AddItemToObject(m, "maximized", cJSON_CreateBool(g->maximized));
    cJSON *p = cJSON_CreateObject();
    cJSON_AddItemToObject(root.get(), "popups", p);
    for (int i = 0; i < g_layout.saved_count; i++) {
        const LAYOUT_SAVED *s = &g_layout.saved[i];
        cJSON *e = cJSON_CreateObject();
        _add_number(e, "x", lroundf(s->x));
        _add_number(e, "y", lroundf(s->y));
        _add_number(e, "w", lroundf(s->w));
        _add_number(e, "h", lroundf(s->h));
        cJSON_AddItemToObject(p, s->key, e);
    }
    cJSON *sp = cJSON_CreateObject();
    cJSON_AddItemToObject(root.get(), "splits", sp);
    for (int i = 0; i < g_layout.split_count; i++)
        _add_number(sp, g_layout.splits[i].key, g_layout.splits[i].ratio);

    char *text = cJSON_Print(root.get());
    if (!text) return;
    char path[KVN_PATH_MAX];
    kvn_paths_data_file(path, sizeof path, "layout.json");
    if (kvn_paths_write_atomic(path, text, strlen(text), 0) != 0) q_log(Q_LOG_ERR, "cannot write %s", path);
    cJSON_free(text);
}

// ---- pop-ups -----------------------------------------------------------------

void kvn_gui_layout_place_popup(int window, const char *key, float default_w, float default_h) {
    Q_GUI_CTX *gui = _gui();
    Q_GUI_WINDOW *win = gui ? q_gui_get_window(gui, window) : nullptr;
    if (!win || !key) return;
    LAYOUT_POPUP *p = _popup_find(window);
    if (!p) {
        if (g_layout.popup_count >= LAYOUT_POPUP_MAX) return;
        p = &g_layout.popups[g_layout.popup_count++];
        p->window = window;
    }
    q_strcpy(p->key, sizeof p->key, key);
    p->default_w = default_w;
    p->default_h = default_h;
    win->min_w = default_w;
    win->min_h = default_h;
    q_gui_window_set_flags(gui, window, q_gui_window_get_flags(gui, window) | Q_GUI_WIN_RESIZABLE);
    if (q_gui_window_is_detached(gui, window)) return;

    const float dw = gui->display_w, dh = gui->display_h;
    float w = fmaxf(default_w, win->w), h = fmaxf(default_h, win->h);
    float x = (dw - w) / 2, y = (dh - h) / 2;
    const LAYOUT_SAVED *s = _saved_find(p->key);
    if (s && s->w > 0) {
        x = s->x;
        y = s->y;
        w = fmaxf(default_w, s->w);
        h = fmaxf(default_h, s->h);
    }
    _fit_inside(dw, dh, &x, &y, &w, &h);
    q_gui_window_set_rect(gui, window, x, y, w, h);
}

// Moves an open attached dialog into a native window of its own, where the
// dialog was on the desktop.
static void _detach_popup(KVN_APP *app, const LAYOUT_POPUP *p, const Q_GUI_WINDOW *win) {
    const float wx = win->x, wy = win->y;
    if (q_gui_window_detach(app->gui, p->window, Q_GUI_DETACH_RESIZABLE) != 0) {
        q_log(Q_LOG_NOTICE, "cannot open %s in a native window", p->key);
        return;
    }
    ALLEGRO_DISPLAY *native = q_gui_window_get_display(app->gui, p->window);
    if (!native || !app->display) return;
    int mx = 0, my = 0;
    al_get_window_position(app->display, &mx, &my);
    al_set_window_position(native, mx + (int)lroundf(wx), my + (int)lroundf(wy));
}

static void _popup_tick(KVN_APP *app) {
    Q_GUI_CTX *gui = app->gui;
    const bool native_on = app->config.native_popups != 0;
    for (int i = 0; i < g_layout.popup_count; i++) {
        const LAYOUT_POPUP *p = &g_layout.popups[i];
        Q_GUI_WINDOW *win = q_gui_get_window(gui, p->window);
        if (!win || !(win->state & Q_GUI_WST_OPEN)) continue;
        const bool detached = q_gui_window_is_detached(gui, p->window) != 0;
        if (native_on) {
            if (!detached) _detach_popup(app, p, win);
            continue;
        }
        if (detached) {
            q_gui_window_attach(gui, p->window);
            continue;
        }
        if (win->state & (Q_GUI_WST_MOVING | Q_GUI_WST_RESIZING)) continue;
        float x = win->x, y = win->y, w = win->w, h = win->h;
        if (_fit_inside(gui->display_w, gui->display_h, &x, &y, &w, &h))
            q_gui_window_set_rect(gui, p->window, x, y, w, h);
        _saved_put(p->key, x, y, w, h);
    }
}

void kvn_gui_layout_attach_all(void) {
    Q_GUI_CTX *gui = _gui();
    if (!gui) return;
    for (int i = 0; i < g_layout.popup_count; i++)
        if (q_gui_window_is_detached(gui, g_layout.popups[i].window))
            q_gui_window_attach(gui, g_layout.popups[i].window);
}

int kvn_gui_layout_window_of_event(const ALLEGRO_EVENT *ev) {
    KVN_APP *app = kvn_app_get();
    if (!ev || !app || !app->gui) return -1;
    ALLEGRO_DISPLAY *d = nullptr;
    if (ev->type >= 10 && ev->type <= 12)
        d = ev->keyboard.display;
    else if (ev->type >= 20 && ev->type <= 24)
        d = ev->mouse.display;
    else if (ev->type >= 40 && ev->type <= 61)
        d = ev->display.source;
    if (!d || d == app->display) return -1;
    return q_gui_window_from_display(app->gui, d);
}

// ---- anchors -----------------------------------------------------------------

int kvn_gui_layout_anchor(int window, int widget, int flags) {
    Q_GUI_CTX *gui = _gui();
    const Q_GUI_WINDOW *win = gui ? q_gui_get_window(gui, window) : nullptr;
    const Q_GUI_WIDGET *wd = gui ? q_gui_get_widget(gui, widget) : nullptr;
    if (!win || !wd || wd->window_id != window) return -1;
    LAYOUT_ANCHOR *a = nullptr;
    for (int i = 0; i < g_layout.anchor_count && !a; i++)
        if (g_layout.anchors[i].window == window && g_layout.anchors[i].widget == widget)
            a = &g_layout.anchors[i];
    if (!a) {
        if (g_layout.anchor_count >= LAYOUT_ANCHOR_MAX) {
            q_log(Q_LOG_ERR, "too many anchored widgets");
            return -1;
        }
        a = &g_layout.anchors[g_layout.anchor_count++];
    }
    a->window = window;
    a->widget = widget;
    a->flags = flags ? (flags & KVN_ANCHOR_ALL) : (KVN_ANCHOR_LEFT | KVN_ANCHOR_TOP);
    a->x = wd->x;
    a->y = wd->y;
    a->w = wd->w;
    a->h = wd->h;
    a->win_w = win->w;
    a->content_h = _content_h(win);
    _track_get(window);
    return 0;
}

static int _auto_flags(float W, float B, const Q_GUI_WIDGET *wd, bool growing) {
    const float x = wd->x, w = wd->w, g = W - (x + w);
    const bool below = wd->y >= B - 1;
    const int vert = below ? KVN_ANCHOR_BOTTOM : KVN_ANCHOR_TOP;
    const bool stretch = w > 160 && g < 48;
    if (x < 0.35f * W) {
        if (!growing) return KVN_ANCHOR_LEFT | (stretch ? KVN_ANCHOR_RIGHT : 0) | vert;
        if (g < 0.35f * W) return KVN_ANCHOR_ALL;
        return KVN_ANCHOR_LEFT | KVN_ANCHOR_TOP | KVN_ANCHOR_BOTTOM | (stretch ? KVN_ANCHOR_RIGHT : 0);
    }
    if (w <= 160) {
        const int horiz = (x > 0.5f * W && g < 48) ? KVN_ANCHOR_RIGHT : KVN_ANCHOR_LEFT;
        return horiz | (growing ? KVN_ANCHOR_TOP | KVN_ANCHOR_BOTTOM : vert);
    }
    if (g < 48) return growing ? KVN_ANCHOR_ALL : KVN_ANCHOR_LEFT | KVN_ANCHOR_RIGHT | vert;
    return KVN_ANCHOR_LEFT | (growing ? KVN_ANCHOR_TOP | KVN_ANCHOR_BOTTOM : vert);
}

void kvn_gui_layout_auto_anchor(int window, int growing_widget) {
    Q_GUI_CTX *gui = _gui();
    const Q_GUI_WINDOW *win = gui ? q_gui_get_window(gui, window) : nullptr;
    if (!win) return;
    const Q_GUI_WIDGET *grow = nullptr;
    for (int i = 0; i < win->widget_count && !grow; i++)
        if (win->widgets[i]->id == growing_widget) grow = win->widgets[i];
    const float B = grow ? grow->y + grow->h : _content_h(win) - 56;
    const int n = win->widget_count < LAYOUT_AUTO_WIDGETS_MAX ? win->widget_count : LAYOUT_AUTO_WIDGETS_MAX;
    for (int i = 0; i < n; i++) {
        const Q_GUI_WIDGET *wd = win->widgets[i];
        kvn_gui_layout_anchor(window, wd->id, _auto_flags(win->w, B, wd, wd == grow));
    }
}

void kvn_gui_layout_forget_window(int window) {
    int n = 0;
    for (int i = 0; i < g_layout.anchor_count; i++)
        if (g_layout.anchors[i].window != window) g_layout.anchors[n++] = g_layout.anchors[i];
    g_layout.anchor_count = n;
    n = 0;
    for (int i = 0; i < g_layout.track_count; i++)
        if (g_layout.tracks[i].window != window) g_layout.tracks[n++] = g_layout.tracks[i];
    g_layout.track_count = n;
}

static void _apply_anchor(Q_GUI_CTX *gui, const LAYOUT_ANCHOR *a, float win_w, float content_h) {
    const float dw = win_w - a->win_w, dh = content_h - a->content_h;
    float x = a->x, y = a->y, w = a->w, h = a->h;
    const bool l = a->flags & KVN_ANCHOR_LEFT, r = a->flags & KVN_ANCHOR_RIGHT;
    const bool t = a->flags & KVN_ANCHOR_TOP, b = a->flags & KVN_ANCHOR_BOTTOM;
    if (l && r)
        w += dw;
    else if (r)
        x += dw;
    else if (!l)
        x += dw / 2;
    if (t && b)
        h += dh;
    else if (b)
        y += dh;
    else if (!t)
        y += dh / 2;
    q_gui_widget_set_rect(gui, a->widget, x, y, fmaxf(w, 1), fmaxf(h, 1));
}

static void _anchor_tick(Q_GUI_CTX *gui) {
    for (int i = 0; i < g_layout.track_count; i++) {
        LAYOUT_TRACK *t = &g_layout.tracks[i];
        const Q_GUI_WINDOW *win = q_gui_get_window(gui, t->window);
        if (!win) continue;
        const float ch = _content_h(win);
        if (win->w == t->w && ch == t->content_h) continue;
        t->w = win->w;
        t->content_h = ch;
        for (int k = 0; k < g_layout.anchor_count; k++)
            if (g_layout.anchors[k].window == t->window) _apply_anchor(gui, &g_layout.anchors[k], win->w, ch);
    }
}

// ---- splits ------------------------------------------------------------------

float kvn_gui_layout_split_get(const char *key, float default_ratio) {
    if (!key) return default_ratio;
    for (int i = 0; i < g_layout.split_count; i++)
        if (!strcmp(g_layout.splits[i].key, key)) return g_layout.splits[i].ratio;
    return default_ratio;
}

void kvn_gui_layout_split_set(const char *key, float ratio) {
    if (!key) return;
    for (int i = 0; i < g_layout.split_count; i++)
        if (!strcmp(g_layout.splits[i].key, key)) {
            g_layout.splits[i].ratio = ratio;
            return;
        }
    if (g_layout.split_count >= LAYOUT_SPLIT_MAX) return;
    LAYOUT_SPLIT *s = &g_layout.splits[g_layout.split_count++];
    q_strcpy(s->key, sizeof s->key, key);
    s->ratio = ratio;
}

// ---- tick and reset ----------------------------------------------------------

void kvn_gui_layout_tick(void) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui) return;
    _anchor_tick(app->gui);
    _popup_tick(app);
    _note_main_geometry();
}

void kvn_gui_layout_reset(void) {
    KVN_APP *app = kvn_app_get();
    if (!app) return;
    g_layout.saved_count = 0;
    g_layout.split_count = 0;
    Q_GUI_CTX *gui = app->gui;
    if (gui) {
        for (int i = 0; i < g_layout.popup_count; i++) {
            const LAYOUT_POPUP *p = &g_layout.popups[i];
            if (!q_gui_window_is_open(gui, p->window) || q_gui_window_is_detached(gui, p->window)) continue;
            const float x = (gui->display_w - p->default_w) / 2, y = (gui->display_h - p->default_h) / 2;
            q_gui_window_set_rect(gui, p->window, fmaxf(x, 0), fmaxf(y, 0), p->default_w, p->default_h);
        }
    }
    app->config.sidebar_w = 270;
    kvn_config_save(&app->config);
    if (app->display) {
        al_set_display_flag(app->display, ALLEGRO_MAXIMIZED, false);
        al_resize_display(app->display, LAYOUT_DEFAULT_W, LAYOUT_DEFAULT_H);
        ALLEGRO_MONITOR_INFO mi;
        if (al_get_monitor_info(0, &mi)) {
            const int mw = mi.x2 - mi.x1, mh = mi.y2 - mi.y1;
            al_set_window_position(app->display, mi.x1 + (mw - LAYOUT_DEFAULT_W) / 2,
                                   mi.y1 + (mh - LAYOUT_DEFAULT_H) / 2);
        }
        if (gui)
            q_gui_set_display_size(gui, (float)al_get_display_width(app->display),
                                   (float)al_get_display_height(app->display));
    }
    _main_defaults(&g_layout.main);
    char path[KVN_PATH_MAX];
    kvn_paths_data_file(path, sizeof path, "layout.json");
    remove(path);
    // The main window's re-layout (kvn_gui_main_layout) is called here once it exists.
    kvn_app_status(KVN_STATUS_INFO, "layout reset to the defaults");
}

// ---- test hooks --------------------------------------------------------------

void kvn_gui_layout_clear(void) {
    _main_defaults(&g_layout.main);
    g_layout.saved_count = g_layout.split_count = g_layout.popup_count = 0;
    g_layout.anchor_count = g_layout.track_count = 0;
}

int kvn_gui_layout_saved_popup(const char *key, float *x, float *y, float *w, float *h) {
    const LAYOUT_SAVED *s = key ? _saved_find(key) : nullptr;
    if (!s) return -1;
    if (x) *x = s->x;
    if (y) *y = s->y;
    if (w) *w = s->w;
    if (h) *h = s->h;
    return 0;
}
