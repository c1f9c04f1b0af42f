#pragma once
// The application as main builds it around the connect dialog, in a fresh
// configuration folder on the test display: job workers, the GUI context,
// the connection-changed hook counted, and the moves a user makes (clicks,
// typing, the file chooser).

#include <allegro5/allegro.h>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_layout.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_test_gui.h"
#include "kvn_test_util.h"
#include "q_gui.h"
#include "q_gui_filechooser.h"
#include "q_gui_internal.h"
#include "q_http_client.h"

struct CONNECT_APP {
    TEST_DIR home;
    KVN_APP app;
    KVN_GUI_CONNECT_IDS ids;
    int changed = 0;
    double clock = 100;

    CONNECT_APP() {
        q_httpc_global_init();
        setenv("KVN_HOME", home.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.ui_font = g_font;
        app.connect_changed = [](void *user) { static_cast<CONNECT_APP *>(user)->changed++; };
        app.connect_changed_user = this;
        kvn_app_publish(&app);
        kvn_gui_layout_clear();
        EXPECT_EQ(kvn_jobs_init(2), 0);
        make_gui();
    }
    ~CONNECT_APP() {
        drop_gui();
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_layout_clear();
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    // A GUI context as the program makes it at start; the display is larger
    // than the dialog so every widget can be clicked.
    void make_gui() {
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, 1280, 800);
        memset(&ids, 0xff, sizeof ids);
    }
    void drop_gui() {
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
    }
    // As a restart of the program would: the dialog is built again from the
    // files, the settings read again.
    void rebuild() {
        drop_gui();
        kvn_config_load(&app.config);
        make_gui();
    }
    Q_GUI_CTX *ctx() { return app.gui; }
    const KVN_GUI_CONNECT_IDS &open() {
        kvn_gui_connect_open();
        return refresh();
    }
    const KVN_GUI_CONNECT_IDS &refresh() {
        kvn_gui_connect_ids(&ids);
        return ids;
    }
    void feed(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
    void click(int id) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        clock += 10;
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x + w / 2, y + h / 2, 0, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x + w / 2, y + h / 2, 1, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x + w / 2, y + h / 2, 1, clock));
    }
    // Clicks row `index` of a list, scrolled into view first.
    void click_row(int list, int index) {
        q_gui_listbox_scroll_to(app.gui, list, index);
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, list, &x, &y, &w, &h));
        const auto *d = static_cast<const Q_GUI_LISTBOX_DATA *>(q_gui_get_widget(app.gui, list)->data);
        const float cy = y + (float)index * d->item_h - d->scroll + d->item_h / 2;
        clock += 10;
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x + 20, cy, 0, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x + 20, cy, 1, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x + 20, cy, 1, clock));
    }
    // Types the text into a field as key presses would.
    void type(int field, const std::string &text) {
        q_gui_set_focus(app.gui, field);
        for (unsigned char c : text)
            feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, c));
    }
    void set(int field, const std::string &text) { q_gui_textarea_set_text(app.gui, field, text.c_str()); }
    std::string text(int field) { return q_gui_textarea_get_text(app.gui, field); }
    std::string message() { return q_gui_label_get_text(app.gui, ids.message); }
    std::string status() { return app.status_text; }
    bool visible(int id) { return q_gui_widget_is_visible(app.gui, id) != 0; }
    bool is_open(int window) { return q_gui_window_is_open(app.gui, window) != 0; }
    // Picks an authentication method with the keyboard, as a user would.
    void method(int m) {
        q_gui_set_focus(app.gui, ids.auth_type);
        const int from = q_gui_combobox_get_selected(app.gui, ids.auth_type);
        for (int i = from; i < m; i++)
            feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_DOWN, 0, 0));
        for (int i = from; i > m; i--)
            feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_UP, 0, 0));
        q_gui_set_focus(app.gui, -1);
    }
    // Answers the open file chooser with a path.
    void choose(const std::string &path) {
        Q_GUI_FILECHOOSER *fc = kvn_gui_dialogs_chooser();
        ASSERT_NE(fc, nullptr);
        ASSERT_TRUE(q_gui_filechooser_is_open(fc));
        q_gui_textarea_set_text(app.gui, fc->name_field, path.c_str());
        EXPECT_EQ(q_gui_filechooser_accept(fc), 1);
    }
    std::string chooser_title() {
        Q_GUI_FILECHOOSER *fc = kvn_gui_dialogs_chooser();
        return fc ? q_gui_get_window(app.gui, fc->window)->caption : "";
    }
    // Runs the loop's delivery until the authentication job has answered.
    bool wait_connected(int seconds = 120) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            kvn_jobs_deliver();
            if (!kvn_gui_connect_in_progress()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    std::string profile_file(const std::string &name) { return home.file("profiles/" + name + ".json"); }
};

// The OS_* variables the environment import reads, removed for the test and
// put back after it.
struct CLEAN_ENV {
    std::vector<std::pair<std::string, std::string>> saved;
    CLEAN_ENV() {
        for (char **e = environ; *e; e++) {
            std::string kv = *e;
            if (kv.rfind("OS_", 0) != 0) continue;
            const size_t eq = kv.find('=');
            saved.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        }
        for (auto &kv : saved)
            unsetenv(kv.first.c_str());
    }
    ~CLEAN_ENV() {
        for (char **e = environ; *e;) {
            std::string kv = *e;
            if (kv.rfind("OS_", 0) == 0) {
                unsetenv(kv.substr(0, kv.find('=')).c_str());
                e = environ;
            } else {
                e++;
            }
        }
        for (auto &kv : saved)
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
};
