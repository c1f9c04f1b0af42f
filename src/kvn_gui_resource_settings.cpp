// The settings dialog: every user setting of kvn.conf with its input, the
// numbers checked against their ranges before anything is stored, the theme
// and the log level applied at once, and the layout reset.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_resource.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_log.h"

namespace {
const float k_settings_w = 620, k_settings_h = 480;
const int k_levels[4] = {Q_LOG_ERR, Q_LOG_NOTICE, Q_LOG_INFO, Q_LOG_DEBUG};

struct SETTINGS {
    Q_GUI_CTX *ctx = nullptr;
    KVN_SETTINGS_IDS ids = {};
    KVN_SETTINGS_SAVED_FN after_save = nullptr;
    void *user = nullptr;
};

// Main thread only.
SETTINGS s;

void _forget(void) {
    s = SETTINGS();
    memset(&s.ids, 0xff, sizeof s.ids); // every id -1
}

void _message(const char *text) {
    if (s.ids.message >= 0) q_gui_label_set_text(s.ctx, s.ids.message, text);
}

void _hide(void) {
    if (s.ctx && s.ids.window >= 0 && q_gui_window_is_open(s.ctx, s.ids.window))
        q_gui_close_window(s.ctx, s.ids.window);
}

void _on_cancel(int, void *) {
    _hide();
}

void _on_reset(int, void *) {
    kvn_gui_layout_reset();
    kvn_app_status(KVN_STATUS_INFO, "%s", "layout reset to the defaults");
}

void _on_ok(int, void *) {
    KVN_APP *app = kvn_app_get();
    if (!app || !s.ctx) return;
    struct FIELD {
        int id, lo, hi;
        const char *refusal;
        int value;
    } fields[3] = {
        {s.ids.period, 30, 86400, "sampling period: 30 to 86400 seconds", 0},
        {s.ids.keep, 1, 3650, "history retention: 1 to 3650 days", 0},
        {s.ids.refresh, 0, 86400, "auto refresh: 0 (off) to 86400 seconds", 0},
    };
    // Nothing is stored until every number is good: a refused field must
    // not leave the others half applied.
    for (FIELD &f : fields) {
        if (kvn_settings_parse(q_gui_textarea_get_text(s.ctx, f.id), f.lo, f.hi, &f.value) != 0) {
            _message(f.refusal);
            return;
        }
    }
    KVN_CONFIG *c = &app->config;
    const int theme = q_gui_combobox_get_selected(s.ctx, s.ids.theme);
    c->theme = theme == KVN_THEME_LIGHT ? KVN_THEME_LIGHT : KVN_THEME_DARK;
    c->show_restricted = q_gui_checkbox_is_checked(s.ctx, s.ids.show_restricted) ? 1 : 0;
    c->show_unavailable = q_gui_checkbox_is_checked(s.ctx, s.ids.show_unavailable) ? 1 : 0;
    c->native_popups = q_gui_checkbox_is_checked(s.ctx, s.ids.native_popups) ? 1 : 0;
    c->history_enabled = q_gui_checkbox_is_checked(s.ctx, s.ids.history_enabled) ? 1 : 0;
    c->history_period_s = fields[0].value;
    c->history_keep_days = fields[1].value;
    c->auto_refresh_s = fields[2].value;
    const int level = q_gui_combobox_get_selected(s.ctx, s.ids.log_level);
    c->log_level = level >= 0 && level < 4 ? k_levels[level] : Q_LOG_NOTICE;
    set_log_level(c->log_level);
    const KVN_PALETTE before = *kvn_theme_current();
    kvn_theme_apply(app->gui, c->theme);
    kvn_theme_restyle(app->gui, &before);
    if (kvn_config_save(c) == 0)
        kvn_app_status(KVN_STATUS_INFO, "%s", "settings saved");
    else
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot save the settings");
    _hide();
    // Taken out first: the callback may open the dialog again.
    KVN_SETTINGS_SAVED_FN fn = s.after_save;
    if (fn) fn(s.user);
}

int _tip(int id, const char *tip) {
    if (id >= 0) q_gui_widget_set_tooltip(s.ctx, id, tip);
    return id;
}

int _label(const char *text, float y, const char *tip) {
    return _tip(q_gui_add_label(s.ctx, s.ids.window, text, 16, y, 250, 26, 0), tip);
}

int _check(const char *text, float y, const char *tip) {
    return _tip(q_gui_add_checkbox(s.ctx, s.ids.window, text, 16, y, 588, 26, 0, nullptr, nullptr), tip);
}

int _number(float y, const char *placeholder, const char *tip) {
    const int id = q_gui_add_textarea(s.ctx, s.ids.window, 270, y, 140, 26, 0, 16, nullptr, nullptr);
    if (id >= 0) q_gui_textarea_set_placeholder(s.ctx, id, placeholder);
    return _tip(id, tip);
}

bool _build(Q_GUI_CTX *ctx) {
    _forget();
    s.ctx = ctx;
    KVN_SETTINGS_IDS &d = s.ids;
    d.window = q_gui_add_window(ctx, "Settings", 0, 0, k_settings_w, k_settings_h);
    if (d.window < 0) return false;
    q_gui_window_set_flags(ctx, d.window, Q_GUI_WIN_CLOSE_BTN);
    q_gui_window_set_zorder(ctx, d.window, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(ctx, d.window, _on_cancel, nullptr);

    _label("Theme", 14, "Color theme");
    d.theme = _tip(q_gui_add_combobox(ctx, d.window, 270, 14, 200, 26, nullptr, nullptr), "Color theme");
    q_gui_combobox_add_item(ctx, d.theme, "Dark");
    q_gui_combobox_add_item(ctx, d.theme, "Light");
    d.show_restricted = _check("Show operations my roles do not allow", 50,
                               "Off: without the admin role, administrator-only resources and actions are "
                               "hidden. On: everything is listed (the cloud still refuses what your roles "
                               "forbid)");
    d.show_unavailable = _check("Show services this cloud does not offer", 86,
                                "On: services missing from the catalog are listed as \"(not in catalog)\". "
                                "Off: they are hidden while connected");
    d.native_popups = _check("Open pop-ups in their own OS windows", 122,
                             "On: result, form, chart, terminal and other dialogs open as separate desktop "
                             "windows you can move to another screen. Applies to open dialogs at once");
    d.history_enabled = _check("Record usage history in the background", 158,
                               "Sample quotas and resource counts while connected, for the History charts");
    _label("History sampling period (s)", 194, "Seconds between two samples");
    d.period = _number(194, "300", "Seconds between two samples (30 minimum)");
    _label("History retention (days)", 230, "Older samples are deleted at connection");
    d.keep = _number(230, "90", "Days of history kept");
    _label("List auto refresh (s, 0 = off)", 266, "Reload the visible list periodically");
    d.refresh = _number(266, "0", "Seconds between two automatic reloads of the visible list, 0 disables");
    _label("Log level", 302, "Messages written to the console");
    d.log_level = _tip(q_gui_add_combobox(ctx, d.window, 270, 302, 200, 26, nullptr, nullptr),
                       "Console log verbosity (never contains secrets)");
    for (const char *name : {"Errors", "Notices", "Info", "Debug"})
        q_gui_combobox_add_item(ctx, d.log_level, name);
    d.message = q_gui_add_label(ctx, d.window, "", 16, 338, 588, 26, 0);
    const Q_GUI_THEME err = kvn_theme_status_theme(KVN_STATUS_ERROR);
    if (d.message >= 0) q_gui_widget_set_theme(ctx, d.message, &err);
    d.reset = _tip(q_gui_add_button(ctx, d.window, "Reset layout", 16, 374, 130, 30, 1, _on_reset, nullptr),
                   "Put the main window, the sidebar, the list / detail split and every dialog back to their "
                   "default size and place");
    d.ok = _tip(q_gui_add_button(ctx, d.window, "OK", 390, 374, 100, 30, 1, _on_ok, nullptr),
                "Apply and save the settings");
    d.cancel = _tip(q_gui_add_button(ctx, d.window, "Cancel", 500, 374, 100, 30, 1, _on_cancel, nullptr),
                    "Close without saving (ESC)");
    if (d.theme < 0 || d.show_restricted < 0 || d.show_unavailable < 0 || d.native_popups < 0 ||
        d.history_enabled < 0 || d.period < 0 || d.keep < 0 || d.refresh < 0 || d.log_level < 0 ||
        d.message < 0 || d.reset < 0 || d.ok < 0 || d.cancel < 0) {
        q_log(Q_LOG_ERR, "settings dialog: a widget could not be created");
        return false;
    }
    kvn_gui_layout_auto_anchor(d.window, -1);
    q_gui_close_window(ctx, d.window);
    return true;
}

void _set_number(int id, int value) {
    char text[32];
    q_format(text, sizeof text, "%d", value);
    q_gui_textarea_set_text(s.ctx, id, text);
}
// A context made after this one was destroyed may sit at the same address
// and hold another window under the same id.
bool _is_ours(Q_GUI_CTX *ctx, int window) {
    const Q_GUI_WINDOW *w = q_gui_get_window(ctx, window);
    return w && !strcmp(w->title, "Settings");
}

} // namespace

int kvn_settings_parse(const char *text, int lo, int hi, int *out) {
    if (!text || !text[0] || !out) return -1;
    // strtol takes leading blanks and a sign: only digits are a number here.
    for (const char *p = text; *p; p++)
        if (*p < '0' || *p > '9') return -1;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || !end || *end != 0 || v < lo || v > hi) return -1;
    *out = (int)v;
    return 0;
}

void kvn_gui_settings_open(KVN_SETTINGS_SAVED_FN after_save, void *user) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui) return;
    if (s.ctx != app->gui || s.ids.window < 0 || !_is_ours(app->gui, s.ids.window)) {
        if (!_build(app->gui)) return;
    }
    const KVN_CONFIG *c = &app->config;
    q_gui_combobox_set_selected(s.ctx, s.ids.theme, c->theme == KVN_THEME_LIGHT ? 1 : 0);
    q_gui_checkbox_set_checked(s.ctx, s.ids.show_restricted, c->show_restricted != 0);
    q_gui_checkbox_set_checked(s.ctx, s.ids.show_unavailable, c->show_unavailable != 0);
    q_gui_checkbox_set_checked(s.ctx, s.ids.native_popups, c->native_popups != 0);
    q_gui_checkbox_set_checked(s.ctx, s.ids.history_enabled, c->history_enabled != 0);
    _set_number(s.ids.period, c->history_period_s);
    _set_number(s.ids.keep, c->history_keep_days);
    _set_number(s.ids.refresh, c->auto_refresh_s);
    int level = 1;
    for (int i = 0; i < 4; i++)
        if (k_levels[i] == c->log_level) level = i;
    q_gui_combobox_set_selected(s.ctx, s.ids.log_level, level);
    _message("");
    s.after_save = after_save;
    s.user = user;
    kvn_gui_layout_place_popup(s.ids.window, "settings", k_settings_w, k_settings_h);
    if (!q_gui_window_is_open(s.ctx, s.ids.window)) q_gui_open_window(s.ctx, s.ids.window);
    q_gui_raise_window(s.ctx, s.ids.window);
}

void kvn_gui_settings_ids(KVN_SETTINGS_IDS *out) {
    if (!out) return;
    KVN_APP *app = kvn_app_get();
    if (!app || s.ctx != app->gui) {
        memset(out, 0xff, sizeof *out);
        return;
    }
    *out = s.ids;
}
