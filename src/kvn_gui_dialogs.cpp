#include "kvn_gui_dialogs.h"

#include <allegro5/allegro.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kvn_app.h"
#include "kvn_gui_layout.h"
#include "kvn_paths.h"
#include "q_clipboard.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_filechooser.h"

namespace {
enum { URL_MAX = 2048, FILE_NAME_MAX = 256 };

const float k_result_w = 820, k_result_h = 560;
const float k_result_min_w = 420, k_result_min_h = 240;
const float k_confirm_w = 460;

struct RESULT_DIALOG {
    int window = -1, text = -1, copy = -1, open = -1, save = -1, close = -1;
    char url[URL_MAX] = "";
    char *secret = nullptr; // owned, zeroed before it is freed
    size_t secret_len = 0;
    char file_name[FILE_NAME_MAX] = "";
};

struct CONFIRM_DIALOG {
    int window = -1, first = -1, second = -1, yes = -1, no = -1;
    KVN_CONFIRM_FN on_yes = nullptr;
    KVN_CONFIRM_FN release = nullptr;
    void *value = nullptr;
};

struct CHOOSER {
    Q_GUI_FILECHOOSER *chooser = nullptr;
    KVN_CHOOSE_FN callback = nullptr;
    void *context = nullptr;
};

// All three belong to the main thread. They are built in one GUI context;
// when the application's context changes (a test building a new one) they are
// built again in the new one.
Q_GUI_CTX *g_ctx = nullptr;
RESULT_DIALOG g_result;
CONFIRM_DIALOG g_confirm;
CHOOSER g_chooser;

Q_GUI_CTX *_ctx(void) {
    KVN_APP *app = kvn_app_get();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (ctx != g_ctx) {
        // The old context's ids mean nothing in the new one; what was pending
        // there is dropped with them.
        if (g_result.secret) {
            q_secure_zero(g_result.secret, g_result.secret_len);
            free(g_result.secret);
        }
        g_result = RESULT_DIALOG();
        g_confirm = CONFIRM_DIALOG();
        g_chooser = CHOOSER();
        g_ctx = ctx;
    }
    return ctx;
}

// ---- result window ----------------------------------------------------------------

void _drop_secret(void) {
    if (g_result.secret) {
        q_secure_zero(g_result.secret, g_result.secret_len);
        free(g_result.secret);
    }
    g_result.secret = nullptr;
    g_result.secret_len = 0;
    if (g_ctx && g_result.save >= 0) q_gui_widget_set_visible(g_ctx, g_result.save, 0);
}

void _result_close(void) {
    _drop_secret();
    if (g_ctx && g_result.window >= 0) q_gui_close_window(g_ctx, g_result.window);
}

// The Close button and the window's close box.
void _on_close(int, void *) {
    _result_close();
}

void _on_copy(int, void *) {
    const char *text = q_gui_syntaxview_get_text(g_ctx, g_result.text);
    int ok = 0;
    if (q_clipboard_init())
        ok = q_clipboard_set(0, text) == 0;
    else if (g_ctx->display)
        ok = al_set_clipboard_text(g_ctx->display, text);
    if (ok)
        kvn_app_status(KVN_STATUS_INFO, "copied %zu bytes to the clipboard", strlen(text));
    else
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot set the clipboard");
}

void _on_open(int, void *) {
    if (!g_result.url[0] || kvn_open_external(g_result.url) != 0) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the URL in a browser");
        return;
    }
    kvn_app_status(KVN_STATUS_INFO, "opened %s", g_result.url);
}

void _save_chosen(const char *path, void *) {
    if (!g_result.secret) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "nothing left to save: the result was closed");
        return;
    }
    errno = 0;
    if (kvn_paths_write_atomic(path, g_result.secret, g_result.secret_len, 1) != 0) {
        const int e = errno;
        if (e)
            kvn_app_status(KVN_STATUS_ERROR, "cannot write %s: %s", path, strerror(e));
        else
            kvn_app_status(KVN_STATUS_ERROR, "cannot write %s", path);
        return;
    }
    kvn_app_status(KVN_STATUS_INFO, "saved to %s (mode 0600)", path);
}

void _on_save(int, void *) {
    kvn_gui_choose_file("Save private key", KVN_CHOOSE_SAVE, g_result.file_name, _save_chosen, nullptr);
}

int _tip(Q_GUI_CTX *ctx, int id, const char *tip) {
    if (id >= 0 && tip) q_gui_widget_set_tooltip(ctx, id, tip);
    return id;
}

bool _build_result(Q_GUI_CTX *ctx) {
    if (g_result.window >= 0) return true;
    const int win = q_gui_add_window(ctx, "Result", 0, 0, k_result_w, k_result_h);
    if (win < 0) return false;
    q_gui_window_set_flags(ctx, win, Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_RESIZABLE);
    q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(ctx, win, _on_close, nullptr);
    RESULT_DIALOG &r = g_result;
    r.window = win;
    r.text = q_gui_add_syntaxview(ctx, win, 8, 8, 804, 470, Q_GUI_SYNTAX_PLAIN);
    r.copy = _tip(ctx, q_gui_add_button(ctx, win, "Copy", 8, 488, 90, 30, 1, _on_copy, nullptr),
                  "Copy the whole text to the clipboard");
    r.open = _tip(ctx, q_gui_add_button(ctx, win, "Open in browser", 106, 488, 150, 30, 1, _on_open, nullptr),
                  "Open the returned URL with the desktop browser");
    r.save = _tip(ctx, q_gui_add_button(ctx, win, "Save...", 264, 488, 170, 30, 1, _on_save, nullptr),
                  "Write it to a file readable by you only (0600). It is not shown again by the cloud");
    r.close = _tip(ctx, q_gui_add_button(ctx, win, "Close", 722, 488, 90, 30, 1, _on_close, nullptr),
                   "Close (ESC)");
    if (r.text < 0 || r.copy < 0 || r.open < 0 || r.save < 0 || r.close < 0) {
        q_log(Q_LOG_ERR, "result window: a widget could not be created");
        return false;
    }
    // API answers read best with aligned columns.
    KVN_APP *app = kvn_app_get();
    if (app && app->mono_font) q_gui_widget_set_font(ctx, r.text, app->mono_font);
    kvn_gui_layout_anchor(win, r.text, KVN_ANCHOR_ALL);
    kvn_gui_layout_anchor(win, r.copy, KVN_ANCHOR_LEFT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, r.open, KVN_ANCHOR_LEFT | KVN_ANCHOR_BOTTOM);
    // Left free it would stay where the text grows into it.
    kvn_gui_layout_anchor(win, r.save, KVN_ANCHOR_LEFT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, r.close, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    q_gui_widget_set_visible(ctx, r.save, 0);
    q_gui_close_window(ctx, win);
    return true;
}

// ---- confirmation -----------------------------------------------------------------

struct PENDING {
    KVN_CONFIRM_FN on_yes, release;
    void *value;
};

// Taken out before anything is called, so a function that opens another
// confirmation never sees (or releases) this one again.
PENDING _take_pending(void) {
    PENDING p = {g_confirm.on_yes, g_confirm.release, g_confirm.value};
    g_confirm.on_yes = g_confirm.release = nullptr;
    g_confirm.value = nullptr;
    return p;
}

void _release(const PENDING &p) {
    if (p.release && p.value) p.release(p.value);
}

void _confirm_answer(bool yes) {
    if (g_ctx && g_confirm.window >= 0) q_gui_close_window(g_ctx, g_confirm.window);
    PENDING p = _take_pending();
    q_log(Q_LOG_INFO, "answered: %s", yes ? "yes" : "no");
    if (yes && p.on_yes) p.on_yes(p.value);
    _release(p);
}

void _on_yes(int, void *) {
    _confirm_answer(true);
}
void _on_no(int, void *) {
    _confirm_answer(false);
}

bool _build_confirm(Q_GUI_CTX *ctx) {
    if (g_confirm.window >= 0) return true;
    const int win = q_gui_add_window(ctx, "Confirm", 0, 0, k_confirm_w, 170);
    if (win < 0) return false;
    q_gui_window_set_flags(ctx, win, 0);
    q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
    CONFIRM_DIALOG &c = g_confirm;
    c.window = win;
    c.first = q_gui_add_label(ctx, win, "", 16, 14, 428, 24, 3);
    c.second = q_gui_add_label(ctx, win, "", 16, 42, 428, 24, 3);
    c.yes = _tip(ctx, q_gui_add_button(ctx, win, "Yes", 240, 82, 96, 30, 1, _on_yes, nullptr), "Proceed (Y)");
    c.no =
        _tip(ctx, q_gui_add_button(ctx, win, "No", 348, 82, 96, 30, 1, _on_no, nullptr), "Cancel (N or ESC)");
    if (c.first < 0 || c.second < 0 || c.yes < 0 || c.no < 0) {
        q_log(Q_LOG_ERR, "confirmation dialog: a widget could not be created");
        return false;
    }
    q_gui_button_set_keycode(ctx, c.yes, ALLEGRO_KEY_Y, 0);
    q_gui_button_set_keycode(ctx, c.no, ALLEGRO_KEY_N, 0);
    q_gui_close_window(ctx, win);
    return true;
}

// A label as tall as its wrapped text, at least one row of buttons' worth.
float _fit_label(Q_GUI_CTX *ctx, int id, const char *text, float y) {
    q_gui_label_set_text(ctx, id, text ? text : "");
    q_gui_widget_set_rect(ctx, id, 16, y, 428, 24);
    float need_h = 0;
    q_gui_label_fits(ctx, id, nullptr, &need_h);
    const float h = need_h > 24 ? need_h : 24;
    q_gui_widget_set_rect(ctx, id, 16, y, 428, h);
    return h;
}

// ---- file chooser -----------------------------------------------------------------

void _chooser_done(const char *const *paths, int count, void *) {
    KVN_CHOOSE_FN cb = g_chooser.callback;
    void *context = g_chooser.context;
    g_chooser.callback = nullptr;
    g_chooser.context = nullptr;
    if (cb && count > 0 && paths && paths[0]) cb(paths[0], context);
}
} // namespace

void kvn_gui_show_result(const char *title, const char *text, int is_json, const char *url) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || !_build_result(ctx)) return;
    RESULT_DIALOG &r = g_result;
    _drop_secret();
    q_strcpy(r.url, sizeof r.url, url ? url : "");
    q_gui_window_set_caption(ctx, r.window, (title && *title) ? title : "Result");
    q_gui_syntaxview_set_language(ctx, r.text, is_json ? Q_GUI_SYNTAX_JSON : Q_GUI_SYNTAX_PLAIN);
    q_gui_syntaxview_set_text(ctx, r.text, text ? text : "");
    q_gui_widget_set_visible(ctx, r.open, r.url[0] ? 1 : 0);
    kvn_gui_layout_place_popup(r.window, "result", k_result_w, k_result_h);
    if (Q_GUI_WINDOW *w = q_gui_get_window(ctx, r.window)) {
        // Smaller than its default size it still shows the text and buttons.
        w->min_w = k_result_min_w;
        w->min_h = k_result_min_h;
    }
    q_gui_open_window(ctx, r.window);
    q_gui_raise_window(ctx, r.window);
    q_gui_request_redraw(ctx);
}

void kvn_gui_result_offer_save(const char *button_text, const char *secret, const char *default_name) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || g_result.window < 0 || !secret) return;
    _drop_secret();
    const size_t n = strlen(secret);
    char *copy = nullptr;
    Q_CALLOC(copy, n + 1, char);
    if (!copy) return;
    memcpy(copy, secret, n);
    g_result.secret = copy;
    g_result.secret_len = n;
    q_strcpy(g_result.file_name, sizeof g_result.file_name, default_name ? default_name : "");
    q_gui_button_set_label(ctx, g_result.save, (button_text && *button_text) ? button_text : "Save...");
    q_gui_widget_set_visible(ctx, g_result.save, 1);
    q_gui_request_redraw(ctx);
}

void kvn_gui_confirm(const char *title, const char *first_line, const char *second_line,
                     KVN_CONFIRM_FN on_yes, void *value, KVN_CONFIRM_FN release) {
    Q_GUI_CTX *ctx = _ctx();
    // The replaced question is answered neither way: its value goes back.
    _release(_take_pending());
    if (!ctx || !_build_confirm(ctx)) {
        PENDING dropped = {on_yes, release, value};
        _release(dropped);
        return;
    }
    CONFIRM_DIALOG &c = g_confirm;
    c.on_yes = on_yes;
    c.release = release;
    c.value = value;
    q_gui_window_set_caption(ctx, c.window, (title && *title) ? title : "Confirm");
    const float h1 = _fit_label(ctx, c.first, first_line, 14);
    const float y2 = 14 + h1 + 4;
    const float h2 = _fit_label(ctx, c.second, second_line, y2);
    const float bottom = y2 + h2;
    float h = bottom + 16 + 30 + 14 + 30;
    if (h < 170) h = 170;
    float x = (ctx->display_w - k_confirm_w) / 2, y = (ctx->display_h - h) / 2;
    // Resizing a window moves its widgets with it: the rectangles are set
    // once the window has its new size.
    q_gui_window_set_rect(ctx, c.window, x > 0 ? x : 0, y > 0 ? y : 0, k_confirm_w, h);
    q_gui_widget_set_rect(ctx, c.first, 16, 14, 428, h1);
    q_gui_widget_set_rect(ctx, c.second, 16, y2, 428, h2);
    q_gui_widget_set_rect(ctx, c.yes, 240, bottom + 16, 96, 30);
    q_gui_widget_set_rect(ctx, c.no, 348, bottom + 16, 96, 30);
    q_gui_open_window(ctx, c.window);
    q_gui_raise_window(ctx, c.window);
    // With a text field focused elsewhere, Y and N would be typed into it.
    q_gui_set_focus(ctx, -1);
    q_gui_request_redraw(ctx);
    q_log(Q_LOG_INFO, "asking: %s", (title && *title) ? title : "Confirm");
}

int kvn_gui_choose_file(const char *title, int mode, const char *start_path, KVN_CHOOSE_FN callback,
                        void *context) {
    Q_GUI_CTX *ctx = _ctx();
    if (ctx && !g_chooser.chooser) g_chooser.chooser = q_gui_filechooser_new(ctx, 1.0f);
    if (!g_chooser.chooser) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the file chooser");
        return -1;
    }
    Q_GUI_FC_OPTIONS o;
    memset(&o, 0, sizeof o);
    o.mode = (mode >= 0 && mode <= 2) ? mode : KVN_CHOOSE_OPEN;
    // A saved key or result must never overwrite a file unasked.
    o.flags = o.mode == KVN_CHOOSE_SAVE ? Q_GUI_FC_CONFIRM_REPLACE : 0;
    o.tree_mode = Q_GUI_FC_TREE_HIDDEN;
    o.caption = title;
    o.initial_path = start_path;
    // An opening that replaces an earlier one cancels it first, which clears
    // the earlier callback; the new one is kept only once this one is open.
    if (!q_gui_filechooser_open(g_chooser.chooser, &o, _chooser_done, nullptr)) return -1;
    g_chooser.callback = callback;
    g_chooser.context = context;
    return 0;
}

int kvn_gui_dialogs_close_window(int window) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || window < 0) return 0;
    if (window == g_confirm.window && q_gui_window_is_open(ctx, window)) {
        _confirm_answer(false);
        return 1;
    }
    if (window == g_result.window && q_gui_window_is_open(ctx, window)) {
        _result_close();
        return 1;
    }
    if (g_chooser.chooser && window == g_chooser.chooser->window &&
        q_gui_filechooser_is_open(g_chooser.chooser)) {
        q_gui_filechooser_cancel(g_chooser.chooser);
        return 1;
    }
    return kvn_gui_connect_close_window(window);
}

void kvn_gui_dialogs_shutdown(void) {
    kvn_gui_connect_shutdown();
    _drop_secret();
    if (g_chooser.chooser) q_gui_filechooser_destroy(&g_chooser.chooser);
    g_chooser = CHOOSER();
    if (g_ctx && g_confirm.window >= 0) q_gui_close_window(g_ctx, g_confirm.window);
    _release(_take_pending());
    // The context goes next; a later one builds the dialogs afresh.
    g_result = RESULT_DIALOG();
    g_confirm = CONFIRM_DIALOG();
    g_ctx = nullptr;
}

void kvn_gui_dialogs_ids(KVN_GUI_DIALOG_IDS *out) {
    if (!out) return;
    _ctx();
    out->result_window = g_result.window;
    out->result_text = g_result.text;
    out->result_copy = g_result.copy;
    out->result_open = g_result.open;
    out->result_save = g_result.save;
    out->result_close = g_result.close;
    out->confirm_window = g_confirm.window;
    out->confirm_first = g_confirm.first;
    out->confirm_second = g_confirm.second;
    out->confirm_yes = g_confirm.yes;
    out->confirm_no = g_confirm.no;
    out->chooser_window = g_chooser.chooser ? g_chooser.chooser->window : -1;
}

Q_GUI_FILECHOOSER *kvn_gui_dialogs_chooser(void) {
    _ctx();
    return g_chooser.chooser;
}
