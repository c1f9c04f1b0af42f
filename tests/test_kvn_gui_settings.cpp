// labels: gui
// The settings dialog on a real display, opened from the main window's
// Settings button: every number refused out of range with its message and
// nothing written, good values stored, written whole and applied at once
// (log level, theme on widgets made before, the tree's visibility switches),
// Cancel and the layout reset.
#include "kvn_test_gui.h"

#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_log.h"

namespace {
const char *k_compute = R"J({"service": "compute", "title": "Compute",
  "resources": [{"id": "server", "title": "Servers", "list": {"path": "/servers/detail", "key": "servers"}}]})J";
const char *k_dns = R"J({"service": "dns", "title": "DNS",
  "resources": [{"id": "zone", "title": "Zones", "list": {"path": "/v2/zones", "key": "zones"}}]})J";

bool same(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    unsigned char r1, g1, b1, r2, g2, b2;
    al_unmap_rgb(a, &r1, &g1, &b1);
    al_unmap_rgb(b, &r2, &g2, &b2);
    return r1 == r2 && g1 == g2 && b1 == b2;
}

struct SETTINGS_APP {
    TEST_DIR dir;
    KVN_APP app;
    KVN_SETTINGS_IDS ids;
    double clock = 100;
    SETTINGS_APP() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        kvn_theme_apply(app.gui, KVN_THEME_DARK);
        mkdir(dir.file("api").c_str(), 0700);
        app.api = kvn_api_load_dir(dir.file("api").c_str());
        EXPECT_EQ(kvn_api_add(app.api, k_compute, "compute.json"), 0);
        EXPECT_EQ(kvn_api_add(app.api, k_dns, "dns.json"), 0);
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(1), 0);
        kvn_gui_main_build();
    }
    ~SETTINGS_APP() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        kvn_theme_apply(nullptr, KVN_THEME_DARK);
        set_log_level(Q_LOG_NOTICE);
        unsetenv("KVN_HOME");
    }
    void click(int id) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        clock += 10;
        for (int type :
             {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ALLEGRO_EVENT_MOUSE_BUTTON_UP}) {
            ALLEGRO_EVENT ev =
                kvn_mouse_event(type, x + w / 2, y + h / 2, type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1, clock);
            q_gui_process_event(app.gui, &ev);
        }
    }
    void open() {
        KVN_GUI_MAIN_IDS m;
        kvn_gui_main_ids(&m);
        click(m.settings);
        kvn_gui_settings_ids(&ids);
        ASSERT_GE(ids.window, 0);
        ASSERT_TRUE(q_gui_window_is_open(app.gui, ids.window));
    }
    void type(int id, const char *text) { q_gui_textarea_set_text(app.gui, id, text); }
    std::string message() { return q_gui_label_get_text(app.gui, ids.message); }
    bool open_now() { return q_gui_window_is_open(app.gui, ids.window); }
    std::string conf() {
        return test_exists(dir.file("kvn.conf")) ? test_read_file(dir.file("kvn.conf")) : "";
    }
    std::vector<std::string> rows() {
        KVN_GUI_MAIN_IDS m;
        kvn_gui_main_ids(&m);
        std::vector<std::string> out;
        for (int i = 0; i < q_gui_listbox_count(app.gui, m.tree->listbox); i++)
            out.push_back(q_gui_listbox_get_item_text(app.gui, m.tree->listbox, i));
        return out;
    }
};
} // namespace

TEST(SettingsDialog, EveryNumberOutOfRangeIsRefusedAndNothingIsWritten) {
    SETTINGS_APP s;
    s.open();
    // Controls show the settings as they are.
    EXPECT_EQ(std::string(q_gui_textarea_get_text(s.app.gui, s.ids.period)), "300");
    EXPECT_EQ(std::string(q_gui_textarea_get_text(s.app.gui, s.ids.keep)), "90");
    EXPECT_EQ(std::string(q_gui_textarea_get_text(s.app.gui, s.ids.refresh)), "0");
    EXPECT_EQ(q_gui_combobox_get_selected(s.app.gui, s.ids.log_level), 1); // Notices
    EXPECT_EQ(q_gui_combobox_get_selected(s.app.gui, s.ids.theme), 0);
    const KVN_CONFIG before = s.app.config;
    struct CASE {
        const char *period, *keep, *refresh, *message;
    } cases[] = {
        {"29", "90", "0", "sampling period: 30 to 86400 seconds"},
        {"86401", "90", "0", "sampling period: 30 to 86400 seconds"},
        {"5m", "90", "0", "sampling period: 30 to 86400 seconds"},
        {"", "90", "0", "sampling period: 30 to 86400 seconds"},
        {" 300", "90", "0", "sampling period: 30 to 86400 seconds"},
        {"99999999999999", "90", "0", "sampling period: 30 to 86400 seconds"},
        {"300", "0", "0", "history retention: 1 to 3650 days"},
        {"300", "3651", "0", "history retention: 1 to 3650 days"},
        {"300", "", "0", "history retention: 1 to 3650 days"},
        {"300", "-1", "0", "history retention: 1 to 3650 days"},
        {"300", "90", "-1", "auto refresh: 0 (off) to 86400 seconds"},
        {"300", "90", "86401", "auto refresh: 0 (off) to 86400 seconds"},
        {"300", "90", "5m", "auto refresh: 0 (off) to 86400 seconds"},
        {"300", "90", "", "auto refresh: 0 (off) to 86400 seconds"},
        // The first refusal wins.
        {"29", "0", "-1", "sampling period: 30 to 86400 seconds"},
    };
    // A switch changed with a refused number must not be stored either.
    q_gui_checkbox_set_checked(s.app.gui, s.ids.show_restricted, 1);
    q_gui_combobox_set_selected(s.app.gui, s.ids.log_level, 3);
    for (const CASE &c : cases) {
        SCOPED_TRACE(std::string(c.period) + "/" + c.keep + "/" + c.refresh);
        s.type(s.ids.period, c.period);
        s.type(s.ids.keep, c.keep);
        s.type(s.ids.refresh, c.refresh);
        s.click(s.ids.ok);
        EXPECT_EQ(s.message(), c.message);
        EXPECT_TRUE(s.open_now());
        EXPECT_EQ(s.conf(), "");
        EXPECT_EQ(memcmp(&before, &s.app.config, sizeof before), 0);
        EXPECT_EQ(get_log_level(), Q_LOG_NOTICE);
    }
    // Cancel hides and stores nothing; reopening shows the settings again.
    s.click(s.ids.cancel);
    EXPECT_FALSE(s.open_now());
    EXPECT_EQ(s.app.config.show_restricted, 0);
    s.open();
    EXPECT_EQ(s.message(), "");
    EXPECT_FALSE(q_gui_checkbox_is_checked(s.app.gui, s.ids.show_restricted));
    EXPECT_EQ(std::string(q_gui_textarea_get_text(s.app.gui, s.ids.period)), "300");
}

TEST(SettingsDialog, OkStoresWritesAndAppliesAtOnce) {
    SETTINGS_APP s;
    // A catalog without DNS, shown as "(not in catalog)" to begin with.
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, "http://127.0.0.1:9/v3");
    s.app.session = kvn_session_new(&p);
    kvn_session_add_endpoint(s.app.session, "compute", "public", "RegionX", "http://127.0.0.1:9/");
    s.app.session_generation++;
    kvn_app_connect_changed();
    EXPECT_EQ(s.rows().back(), "DNS  (not in catalog)");
    KVN_GUI_MAIN_IDS m;
    kvn_gui_main_ids(&m);
    const Q_GUI_WIDGET *connect_button = q_gui_get_widget(s.app.gui, m.connect);
    ASSERT_TRUE(same(connect_button->theme.bg_normal, kvn_theme_palette(KVN_THEME_DARK).panel));

    s.open();
    q_gui_combobox_set_selected(s.app.gui, s.ids.theme, 1);
    q_gui_checkbox_set_checked(s.app.gui, s.ids.show_unavailable, 0);
    q_gui_checkbox_set_checked(s.app.gui, s.ids.history_enabled, 0);
    q_gui_combobox_set_selected(s.app.gui, s.ids.log_level, 3);
    s.type(s.ids.period, "30");
    s.type(s.ids.keep, "3650");
    s.type(s.ids.refresh, "0");
    s.click(s.ids.ok);
    EXPECT_FALSE(s.open_now());
    EXPECT_EQ(std::string(s.app.status_text), "settings saved");
    EXPECT_EQ(s.app.config.history_period_s, 30);
    EXPECT_EQ(s.app.config.history_keep_days, 3650);
    EXPECT_EQ(s.app.config.auto_refresh_s, 0);
    EXPECT_EQ(s.app.config.history_enabled, 0);
    EXPECT_EQ(s.app.config.log_level, Q_LOG_DEBUG);
    EXPECT_EQ(get_log_level(), Q_LOG_DEBUG);
    // The file holds what is in force.
    KVN_CONFIG loaded;
    kvn_config_load(&loaded);
    EXPECT_EQ(memcmp(&loaded, &s.app.config, sizeof loaded), 0);
    EXPECT_FALSE(test_exists(s.dir.file("kvn.conf.tmp")));
    // The light theme on a button made long before, and on the charts.
    EXPECT_EQ(std::string(kvn_theme_current()->name), "Light");
    EXPECT_TRUE(same(connect_button->theme.bg_normal, kvn_theme_palette(KVN_THEME_LIGHT).panel));
    EXPECT_TRUE(same(kvn_theme_chart_palette()->background, kvn_theme_palette(KVN_THEME_LIGHT).panel));
    // The switch took the missing service out of the tree.
    EXPECT_EQ(s.rows().back(), "Compute");

    // Every log level entry maps to its level; an unknown stored level shows
    // as Notices.
    const int levels[4] = {Q_LOG_ERR, Q_LOG_NOTICE, Q_LOG_INFO, Q_LOG_DEBUG};
    for (int i = 0; i < 4; i++) {
        s.open();
        q_gui_combobox_set_selected(s.app.gui, s.ids.log_level, i);
        s.click(s.ids.ok);
        EXPECT_EQ(s.app.config.log_level, levels[i]);
    }
    s.app.config.log_level = 4;
    s.open();
    EXPECT_EQ(q_gui_combobox_get_selected(s.app.gui, s.ids.log_level), 1);

    // A settings file that cannot be written: the values stay in force.
    s.type(s.ids.refresh, "60");
    chmod(s.dir.path.c_str(), 0500);
    s.click(s.ids.ok);
    chmod(s.dir.path.c_str(), 0700);
    if (geteuid() != 0) {
        EXPECT_EQ(std::string(s.app.status_text), "cannot save the settings");
        EXPECT_EQ(s.app.status_kind, KVN_STATUS_ERROR);
    }
    EXPECT_EQ(s.app.config.auto_refresh_s, 60);

    // Reset layout keeps the dialog open.
    s.open();
    s.click(s.ids.reset);
    EXPECT_TRUE(s.open_now());
    EXPECT_EQ(std::string(s.app.status_text), "layout reset to the defaults");
}
