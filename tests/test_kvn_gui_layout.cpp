// labels: gui
// Window layout persistence in a real display: layout.json read and written,
// dialogs placed and kept inside the display, anchors following a grip
// resize made with synthetic mouse events, dialogs moved into native windows
// and back, and the real program started with a layout from a larger screen.
#include <gtest/gtest.h>

#include <allegro5/allegro.h>
#include <cJSON.h>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_layout.h"
#include "kvn_paths.h"
#include "kvn_test_gui.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"

namespace {
// The application record as main sets it up, in a fresh data folder.
struct APP_FIXTURE {
    TEST_DIR dir;
    KVN_APP app;
    ALLEGRO_EVENT_QUEUE *queue;
    APP_FIXTURE() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.gui = q_gui_new_ctx(g_font);
        queue = al_create_event_queue();
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        q_gui_set_event_queue(app.gui, queue);
        kvn_app_publish(&app);
        kvn_gui_layout_clear();
    }
    ~APP_FIXTURE() {
        kvn_gui_layout_attach_all();
        kvn_gui_layout_clear();
        q_gui_destroy_ctx(&app.gui);
        al_destroy_event_queue(queue);
        al_set_target_backbuffer(g_display);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    std::string layout_path() const { return dir.file("layout.json"); }
    int dialog(const char *title = "dialog") {
        int id = q_gui_add_window(app.gui, title, 10, 10, 100, 100);
        q_gui_window_set_zorder(app.gui, id, Q_GUI_ZORDER_POPUP, 0);
        return id;
    }
    const Q_GUI_WINDOW *win(int id) const { return q_gui_get_window(app.gui, id); }
    void feed(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
};

struct RECT {
    float x, y, w, h;
};
RECT rect_of(const Q_GUI_WINDOW *w) {
    return {w->x, w->y, w->w, w->h};
}
RECT widget_rect(Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    return {w->x, w->y, w->w, w->h};
}
#define EXPECT_RECT(r, ex, ey, ew, eh, label)                                                                \
    do {                                                                                                     \
        EXPECT_FLOAT_EQ((r).x, (ex)) << label;                                                               \
        EXPECT_FLOAT_EQ((r).y, (ey)) << label;                                                               \
        EXPECT_FLOAT_EQ((r).w, (ew)) << label;                                                               \
        EXPECT_FLOAT_EQ((r).h, (eh)) << label;                                                               \
    } while (0)

Q_CJSON read_json(const std::string &path) {
    return Q_CJSON(cJSON_Parse(test_read_file(path).c_str()));
}
} // namespace

TEST(Layout, SaveThenLoadGivesBackRectanglesSplitsAndMainGeometry) {
    APP_FIXTURE f;
    const int a = f.dialog(), b = f.dialog();
    kvn_gui_layout_place_popup(a, "connect", 300, 200);
    kvn_gui_layout_place_popup(b, "form:compute.server.create", 250, 150);
    // The user moves and grows them; the tick notes where they are.
    q_gui_window_set_rect(f.app.gui, a, 40, 30, 420, 260);
    q_gui_window_set_rect(f.app.gui, b, 500, 350, 280, 220);
    kvn_gui_layout_split_set("resource.list", 0.4f);
    kvn_gui_layout_split_set("other", 0.75f);
    kvn_gui_layout_tick();
    kvn_gui_layout_save();
    EXPECT_TRUE(test_exists(f.layout_path()));
    int mx0, my0, mw0, mh0, max0;
    kvn_gui_layout_main_geometry(&mx0, &my0, &mw0, &mh0, &max0);
    EXPECT_EQ(mw0, k_dw);
    EXPECT_EQ(mh0, k_dh);

    kvn_gui_layout_clear();
    EXPECT_NE(kvn_gui_layout_saved_popup("connect", nullptr, nullptr, nullptr, nullptr), 0);
    kvn_gui_layout_load();
    struct {
        const char *key;
        RECT r;
    } rows[] = {{"connect", {40, 30, 420, 260}}, {"form:compute.server.create", {500, 350, 280, 220}}};
    for (auto &row : rows) {
        RECT r;
        ASSERT_EQ(kvn_gui_layout_saved_popup(row.key, &r.x, &r.y, &r.w, &r.h), 0) << row.key;
        EXPECT_RECT(r, row.r.x, row.r.y, row.r.w, row.r.h, row.key);
        // A dialog shown again under the key opens where it was left.
        const int w = f.dialog();
        kvn_gui_layout_place_popup(w, row.key, 200, 100);
        EXPECT_RECT(rect_of(f.win(w)), row.r.x, row.r.y, row.r.w, row.r.h, row.key);
    }
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("resource.list", 0.6f), 0.4f);
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("other", 0.5f), 0.75f);
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("never.set", 0.6f), 0.6f);
    int mx, my, mw, mh, max;
    kvn_gui_layout_main_geometry(&mx, &my, &mw, &mh, &max);
    EXPECT_EQ(mx, mx0);
    EXPECT_EQ(my, my0);
    EXPECT_EQ(mw, k_dw);
    EXPECT_EQ(mh, k_dh);
    EXPECT_EQ(max, 0);

    // Written formatted, popups as whole numbers.
    const std::string text = test_read_file(f.layout_path());
    EXPECT_NE(text.find("\n\t\"popups\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"w\":\t420,"), std::string::npos) << text;
}

TEST(Layout, BadFilesStartWithDefaultsAndAreLeftUntilTheNextSave) {
    struct {
        const char *label;
        std::string content;
        const char *log;
    } rows[] = {
        {"not JSON", "{\"main\": {\"w\": 900,", "layout.json is not valid JSON, ignored"},
        {"an array", "[{\"main\": {\"w\": 900, \"h\": 700}}]", "layout.json is not a JSON object, ignored"},
        {"wrong types", R"({"main": "wide", "popups": [1], "splits": {"resource.list": "half"}})",
         "layout.json: 3 entries of the wrong form or size ignored"},
        {"sizes as text",
         R"({"main": {"w": "900", "h": 700}, "popups": {"connect": {"x": 1, "y": 1, "w": "300", "h": 200}}})",
         "layout.json: 2 entries of the wrong form or size ignored"},
        {"negative sizes",
         R"({"main": {"w": -900, "h": 700}, "popups": {"connect": {"x": 1, "y": 1, "w": -300, "h": 200}}})",
         "layout.json: 2 entries of the wrong form or size ignored"},
        {"huge sizes",
         R"({"main": {"w": 1e300, "h": 1e300}, "popups": {"connect": {"x": 1e300, "y": 1, "w": 1e30, "h": 200}}})",
         "layout.json: 2 entries of the wrong form or size ignored"},
        {"small pop-up", R"({"popups": {"connect": {"x": 1, "y": 1, "w": 49, "h": 200}}})",
         "layout.json: 1 entries of the wrong form or size ignored"},
        {"over the cap", std::string(KVN_READ_CAP + 1, ' '), "refusing to read "},
    };
    for (auto &row : rows) {
        APP_FIXTURE f;
        test_write_file(f.layout_path(), row.content);
        TEST_LOG_CAPTURE log;
        kvn_gui_layout_load();
        EXPECT_EQ(log.count(row.log), 1u) << row.label;
        int found = 0;
        for (auto &l : log.lines)
            found += l.find("layout.json") != std::string::npos;
        EXPECT_EQ(found, 1) << row.label;
        int x, y, w, h, m;
        kvn_gui_layout_main_geometry(&x, &y, &w, &h, &m);
        EXPECT_EQ(x, INT_MAX) << row.label;
        EXPECT_EQ(y, INT_MAX) << row.label;
        EXPECT_EQ(w, 1400) << row.label;
        EXPECT_EQ(h, 860) << row.label;
        EXPECT_EQ(m, 0) << row.label;
        EXPECT_NE(kvn_gui_layout_saved_popup("connect", nullptr, nullptr, nullptr, nullptr), 0) << row.label;
        EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("resource.list", 0.6f), 0.6f) << row.label;
        // The dialog opens centred at its default size.
        const int d = f.dialog();
        kvn_gui_layout_place_popup(d, "connect", 300, 200);
        EXPECT_RECT(rect_of(f.win(d)), 250, 200, 300, 200, row.label);
        kvn_gui_layout_tick();
        EXPECT_EQ(test_read_file(f.layout_path()), row.content) << row.label;
        kvn_gui_layout_save();
        EXPECT_TRUE(read_json(f.layout_path())) << row.label;
    }
}

TEST(Layout, EdgeCasesOfTheFile) {
    APP_FIXTURE f;
    // A main geometry under 640 wide is dropped whole.
    test_write_file(f.layout_path(),
                    R"({"main": {"x": 10, "y": 20, "w": 639, "h": 700, "maximized": true}})");
    kvn_gui_layout_load();
    int x, y, w, h, m;
    kvn_gui_layout_main_geometry(&x, &y, &w, &h, &m);
    EXPECT_EQ(x, INT_MAX);
    EXPECT_EQ(y, INT_MAX);
    EXPECT_EQ(w, 1400);
    EXPECT_EQ(h, 860);
    EXPECT_EQ(m, 0);
    test_write_file(f.layout_path(),
                    R"({"main": {"x": 10, "y": 20, "w": 640, "h": 400, "maximized": true}})");
    kvn_gui_layout_load();
    kvn_gui_layout_main_geometry(&x, &y, &w, &h, &m);
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, 20);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 400);
    EXPECT_EQ(m, 1);
    // Without a position the system places the display.
    test_write_file(f.layout_path(), R"({"main": {"x": "10", "w": 900, "h": 700}})");
    kvn_gui_layout_load();
    kvn_gui_layout_main_geometry(&x, &y, &w, &h, &m);
    EXPECT_EQ(x, INT_MAX);
    EXPECT_EQ(y, INT_MAX);
    EXPECT_EQ(w, 900);

    // Splits: only strictly between 0.02 and 0.98.
    test_write_file(f.layout_path(), R"({"splits": {"a": 0.98, "b": 0.97, "c": 0.02, "d": 0.03}})");
    kvn_gui_layout_load();
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("a", 0.5f), 0.5f);
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("b", 0.5f), 0.97f);
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("c", 0.5f), 0.5f);
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("d", 0.5f), 0.03f);

    // Pop-ups placed from the file on a 1920 x 1080 display.
    test_write_file(f.layout_path(), R"({"popups": {
        "far": {"x": 5000, "y": 100, "w": 400, "h": 300},
        "low": {"x": 100, "y": 2000, "w": 400, "h": 300},
        "small": {"x": 100, "y": 100, "w": 200, "h": 120},
        "large": {"x": -40, "y": -30, "w": 3000, "h": 2000}}})");
    kvn_gui_layout_load();
    q_gui_set_display_size(f.app.gui, 1920, 1080);
    struct {
        const char *key;
        float dw, dh;
        RECT want;
    } rows[] = {
        {"far", 300, 200, {1520, 100, 400, 300}},  // right edge on the display's
        {"low", 300, 200, {100, 780, 400, 300}},   // bottom edge on the display's
        {"small", 350, 250, {100, 100, 350, 250}}, // the default wins over a smaller saved size
        {"large", 300, 200, {0, 0, 1920, 1080}},   // cut to the display, never left or above it
        {"unknown", 300, 200, {810, 440, 300, 200}},
    };
    for (auto &r : rows) {
        const int d = f.dialog();
        kvn_gui_layout_place_popup(d, r.key, r.dw, r.dh);
        EXPECT_RECT(rect_of(f.win(d)), r.want.x, r.want.y, r.want.w, r.want.h, r.key);
        // Resizable, never below its default size.
        EXPECT_TRUE(q_gui_window_get_flags(f.app.gui, d) & Q_GUI_WIN_RESIZABLE) << r.key;
        EXPECT_FLOAT_EQ(f.win(d)->min_w, r.dw) << r.key;
        EXPECT_FLOAT_EQ(f.win(d)->min_h, r.dh) << r.key;
    }
}

TEST(Layout, SavingWhileMaximizedKeepsTheNormalSize) {
    APP_FIXTURE f;
    kvn_gui_layout_tick(); // notes the normal 800 x 600 display
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_RESIZABLE | ALLEGRO_MAXIMIZED);
    ALLEGRO_DISPLAY *big = al_create_display(640, 480);
    ASSERT_NE(big, nullptr);
    if (!(al_get_display_flags(big) & ALLEGRO_MAXIMIZED)) {
        al_destroy_display(big);
        GTEST_SKIP() << "the X server keeps no maximized state without a window manager";
    }
    f.app.display = big;
    kvn_gui_layout_save();
    f.app.display = g_display;
    al_destroy_display(big);
    al_set_target_backbuffer(g_display);
    Q_CJSON root = read_json(f.layout_path());
    const cJSON *m = cJSON_GetObjectItem(root.get(), "main");
    ASSERT_TRUE(m);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(m, "maximized")));
    EXPECT_EQ(cJSON_GetObjectItem(m, "w")->valueint, k_dw);
    EXPECT_EQ(cJSON_GetObjectItem(m, "h")->valueint, k_dh);
}

TEST(Layout, AnchorsFollowAGripResize) {
    APP_FIXTURE f;
    Q_GUI_CTX *ctx = f.app.gui;
    const int d = f.dialog();
    kvn_gui_layout_place_popup(d, "result", 400, 300); // centred: 200,150 400 x 300
    ASSERT_EQ(f.win(d)->x, 200);
    // Content height 272 under a 28 px title bar.
    const int title = q_gui_add_label(ctx, d, "Title", 10, 10, 200, 20, 0);   // left, top
    const int filter = q_gui_add_label(ctx, d, "filter", 10, 40, 370, 24, 0); // wide: left, right, top
    const int list = q_gui_add_label(ctx, d, "list", 10, 70, 380, 150, 0);    // growing: all four
    const int side = q_gui_add_label(ctx, d, "side", 300, 10, 80, 20, 0);     // right, top
    const int ok = q_gui_add_button(ctx, d, "OK", 310, 236, 80, 26, 0, nullptr, nullptr); // right, bottom
    const int status = q_gui_add_label(ctx, d, "status", 10, 236, 200, 26, 0);            // left, bottom
    const int mid = q_gui_add_label(ctx, d, "mid", 150, 236, 60, 26, 0); // left (x <= W/2), bottom
    kvn_gui_layout_auto_anchor(d, list);
    kvn_gui_layout_tick();

    // Drag the grip from the lower right corner by (+120, +80).
    const float gx = 200 + 400 - 4, gy = 150 + 300 - 4;
    f.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, gx, gy, 0));
    f.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, gx, gy, 1));
    f.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, gx + 60, gy + 40, 0));
    f.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, gx + 120, gy + 80, 0));
    // Nothing moves the dialog back while the user holds the grip.
    kvn_gui_layout_tick();
    f.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, gx + 120, gy + 80, 1));
    ASSERT_FLOAT_EQ(f.win(d)->w, 520);
    ASSERT_FLOAT_EQ(f.win(d)->h, 380);
    kvn_gui_layout_tick();
    struct {
        int id;
        RECT want;
        const char *label;
    } rows[] = {
        {title, {10, 10, 200, 20}, "title"}, {filter, {10, 40, 490, 24}, "filter"},
        {list, {10, 70, 500, 230}, "list"},  {side, {420, 10, 80, 20}, "side"},
        {ok, {430, 316, 80, 26}, "ok"},      {status, {10, 316, 200, 26}, "status"},
        {mid, {150, 316, 60, 26}, "mid"},
    };
    for (auto &r : rows)
        EXPECT_RECT(widget_rect(ctx, r.id), r.want.x, r.want.y, r.want.w, r.want.h, r.label);
    // The tick noted the new size under the dialog's key.
    RECT s;
    ASSERT_EQ(kvn_gui_layout_saved_popup("result", &s.x, &s.y, &s.w, &s.h), 0);
    EXPECT_RECT(s, 200, 150, 520, 380, "saved");

    // Forgotten windows are left alone.
    kvn_gui_layout_forget_window(d);
    q_gui_window_set_rect_axes(ctx, d, 200, 150, 600, 400, 0, 0);
    kvn_gui_layout_tick();
    EXPECT_RECT(widget_rect(ctx, ok), 430, 316, 80, 26, "forgotten");
}

TEST(Layout, ExplicitAnchorEdges) {
    APP_FIXTURE f;
    Q_GUI_CTX *ctx = f.app.gui;
    const int d = f.dialog();
    q_gui_window_set_flags(ctx, d, Q_GUI_WIN_NO_TITLEBAR);
    q_gui_window_set_rect(ctx, d, 0, 0, 400, 300);
    struct {
        int flags;
        RECT want; // after the window grows by 100 x 60
    } rows[] = {
        {0, {100, 100, 50, 40}},
        {KVN_ANCHOR_LEFT | KVN_ANCHOR_TOP, {100, 100, 50, 40}},
        {KVN_ANCHOR_RIGHT, {200, 130, 50, 40}},
        {KVN_ANCHOR_BOTTOM, {150, 160, 50, 40}},
        {KVN_ANCHOR_LEFT | KVN_ANCHOR_RIGHT, {100, 130, 150, 40}},
        {KVN_ANCHOR_TOP | KVN_ANCHOR_BOTTOM, {150, 100, 50, 100}},
        {KVN_ANCHOR_ALL, {100, 100, 150, 100}},
        {KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM, {200, 160, 50, 40}},
    };
    int ids[8];
    for (int i = 0; i < 8; i++) {
        ids[i] = q_gui_add_label(ctx, d, "x", 100, 100, 50, 40, 0);
        // A second anchoring replaces the first.
        ASSERT_EQ(kvn_gui_layout_anchor(d, ids[i], KVN_ANCHOR_ALL), 0);
        ASSERT_EQ(kvn_gui_layout_anchor(d, ids[i], rows[i].flags), 0);
    }
    EXPECT_EQ(kvn_gui_layout_anchor(d, 99999, 0), -1);
    kvn_gui_layout_tick();
    q_gui_window_set_rect_axes(ctx, d, 0, 0, 500, 360, 0, 0);
    kvn_gui_layout_tick();
    for (int i = 0; i < 8; i++)
        EXPECT_RECT(widget_rect(ctx, ids[i]), rows[i].want.x, rows[i].want.y, rows[i].want.w, rows[i].want.h,
                    "flags " << rows[i].flags);
    // Shrinking far below the anchored size keeps every widget at least 1 x 1.
    q_gui_window_set_rect_axes(ctx, d, 0, 0, 100, 100, 0, 0);
    kvn_gui_layout_tick();
    EXPECT_RECT(widget_rect(ctx, ids[6]), 100, 100, 1, 1, "all edges, shrunk");
}

TEST(Layout, TablesRefuseWhatDoesNotFit) {
    APP_FIXTURE f;
    Q_GUI_CTX *ctx = f.app.gui;
    int last = -1;
    for (int i = 0; i < 129; i++) {
        last = q_gui_add_window(ctx, "d", 5, 5, 60, 60);
        kvn_gui_layout_place_popup(last, "k", 100, 80);
    }
    // The 129th dialog is neither registered nor placed.
    EXPECT_RECT(rect_of(f.win(last)), 5, 5, 60, 60, "129th");
    EXPECT_FALSE(q_gui_window_get_flags(ctx, last) & Q_GUI_WIN_RESIZABLE);

    const int d = f.dialog();
    int w = -1;
    for (int i = 0; i < 2048; i++) {
        w = q_gui_add_label(ctx, d, "x", 0, 0, 10, 10, 0);
        ASSERT_EQ(kvn_gui_layout_anchor(d, w, 0), 0);
    }
    ASSERT_EQ(kvn_gui_layout_anchor(d, w, KVN_ANCHOR_RIGHT), 0); // replacing still works
    TEST_LOG_CAPTURE log;
    w = q_gui_add_label(ctx, d, "x", 0, 0, 10, 10, 0);
    EXPECT_EQ(kvn_gui_layout_anchor(d, w, 0), -1);
    EXPECT_TRUE(log.contains("too many anchored widgets"));
}

TEST(Layout, DialogsStayInsideASmallerDisplay) {
    APP_FIXTURE f;
    // Saved on a large screen, shown on a 1024 x 768 one.
    test_write_file(f.layout_path(), R"({"popups": {"settings": {"x": 1800, "y": 1100, "w": 700, "h": 500},
        "wizard": {"x": 100, "y": 80, "w": 2400, "h": 1300}}})");
    kvn_gui_layout_load();
    q_gui_set_display_size(f.app.gui, 1024, 768);
    const int s = f.dialog(), z = f.dialog();
    kvn_gui_layout_place_popup(s, "settings", 500, 400);
    kvn_gui_layout_place_popup(z, "wizard", 600, 400);
    EXPECT_RECT(rect_of(f.win(s)), 324, 268, 700, 500, "settings");
    EXPECT_RECT(rect_of(f.win(z)), 0, 0, 1024, 768, "wizard");

    // The display shrinks under open dialogs: the tick pulls them back.
    q_gui_set_display_size(f.app.gui, 640, 480);
    kvn_gui_layout_tick();
    EXPECT_RECT(rect_of(f.win(s)), 0, 0, 640, 480, "settings after shrink");
    RECT r;
    ASSERT_EQ(kvn_gui_layout_saved_popup("settings", &r.x, &r.y, &r.w, &r.h), 0);
    EXPECT_RECT(r, 0, 0, 640, 480, "saved after shrink");
    // A dialog dragged past the edge comes back; a closed one is left alone.
    q_gui_set_display_size(f.app.gui, 1024, 768);
    q_gui_window_set_rect(f.app.gui, s, 900, -50, 300, 200);
    q_gui_window_set_rect(f.app.gui, z, 900, 700, 300, 200);
    q_gui_close_window(f.app.gui, z);
    kvn_gui_layout_tick();
    EXPECT_RECT(rect_of(f.win(s)), 724, 0, 300, 200, "dragged out");
    EXPECT_RECT(rect_of(f.win(z)), 900, 700, 300, 200, "closed");
}

TEST(Layout, NativePopupsOnAndOff) {
    APP_FIXTURE f;
    Q_GUI_CTX *ctx = f.app.gui;
    const int d = f.dialog("Settings");
    kvn_gui_layout_place_popup(d, "settings", 300, 200); // 250,200
    const int closed = f.dialog();
    kvn_gui_layout_place_popup(closed, "result", 200, 100);
    q_gui_close_window(ctx, closed);

    f.app.config.native_popups = 1;
    kvn_gui_layout_tick();
    ASSERT_TRUE(q_gui_window_is_detached(ctx, d));
    EXPECT_FALSE(q_gui_window_is_detached(ctx, closed));
    ALLEGRO_DISPLAY *native = q_gui_window_get_display(ctx, d);
    ASSERT_NE(native, nullptr);
    EXPECT_EQ(al_get_display_width(native), 300);
    EXPECT_EQ(al_get_display_height(native), 200 - 28);
    // Placed where the dialog was on the desktop.
    int mx, my, nx, ny;
    al_get_window_position(g_display, &mx, &my);
    al_get_window_position(native, &nx, &ny);
    EXPECT_EQ(nx, mx + 250);
    EXPECT_EQ(ny, my + 200);
    // Placing it again while it is native leaves it be.
    kvn_gui_layout_place_popup(d, "settings", 300, 200);
    EXPECT_TRUE(q_gui_window_is_detached(ctx, d));

    // Its events belong to it; the main display's to none.
    ALLEGRO_EVENT ev = kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 5, 5, 1, 0, native);
    EXPECT_EQ(kvn_gui_layout_window_of_event(&ev), d);
    ev = kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_ESCAPE, 0, 0);
    ev.keyboard.display = native;
    EXPECT_EQ(kvn_gui_layout_window_of_event(&ev), d);
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_DISPLAY_RESIZE;
    ev.display.source = native;
    EXPECT_EQ(kvn_gui_layout_window_of_event(&ev), d);
    ev.display.source = g_display;
    EXPECT_EQ(kvn_gui_layout_window_of_event(&ev), -1);
    ev = kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, 5, 5, 0);
    EXPECT_EQ(kvn_gui_layout_window_of_event(&ev), -1);
    ev.type = ALLEGRO_EVENT_TIMER;
    EXPECT_EQ(kvn_gui_layout_window_of_event(&ev), -1);

    // Off again: back in the main display where it was.
    f.app.config.native_popups = 0;
    kvn_gui_layout_tick();
    EXPECT_FALSE(q_gui_window_is_detached(ctx, d));
    EXPECT_RECT(rect_of(f.win(d)), 250, 200, 300, 200, "attached");
    EXPECT_FALSE(q_gui_window_get_flags(ctx, d) & Q_GUI_WIN_NO_TITLEBAR);

    // At shutdown every native dialog comes back.
    f.app.config.native_popups = 1;
    kvn_gui_layout_tick();
    ASSERT_TRUE(q_gui_window_is_detached(ctx, d));
    kvn_gui_layout_attach_all();
    EXPECT_EQ(q_gui_count_detached(ctx), 0);

    // Without an event queue no native window can open: the dialog stays and
    // is tried again.
    q_gui_set_event_queue(ctx, nullptr);
    TEST_LOG_CAPTURE log;
    kvn_gui_layout_tick();
    kvn_gui_layout_tick();
    EXPECT_EQ(log.count("cannot open settings in a native window"), 2u);
    EXPECT_FALSE(q_gui_window_is_detached(ctx, d));
    q_gui_set_event_queue(ctx, f.queue);
}

TEST(Layout, ResetRestoresTheDefaults) {
    APP_FIXTURE f;
    test_write_file(f.layout_path(), R"({"main": {"x": 5, "y": 5, "w": 1000, "h": 700},
        "popups": {"connect": {"x": 10, "y": 20, "w": 500, "h": 400}}, "splits": {"resource.list": 0.3}})");
    kvn_gui_layout_load();
    f.app.config.sidebar_w = 400;
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_RESIZABLE);
    ALLEGRO_DISPLAY *disp = al_create_display(1000, 700);
    ASSERT_NE(disp, nullptr);
    f.app.display = disp;
    q_gui_set_display_size(f.app.gui, 1000, 700);
    const int d = f.dialog();
    kvn_gui_layout_place_popup(d, "connect", 300, 200);
    EXPECT_RECT(rect_of(f.win(d)), 10, 20, 500, 400, "before");

    kvn_gui_layout_reset();
    EXPECT_STREQ(f.app.status_text, "layout reset to the defaults");
    EXPECT_EQ(f.app.status_kind, KVN_STATUS_INFO);
    EXPECT_FALSE(test_exists(f.layout_path()));
    EXPECT_NE(kvn_gui_layout_saved_popup("connect", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_FLOAT_EQ(kvn_gui_layout_split_get("resource.list", 0.6f), 0.6f);
    int x, y, w, h, m;
    kvn_gui_layout_main_geometry(&x, &y, &w, &h, &m);
    EXPECT_EQ(x, INT_MAX);
    EXPECT_EQ(w, 1400);
    KVN_CONFIG saved;
    kvn_config_load(&saved);
    EXPECT_FLOAT_EQ(saved.sidebar_w, 270);
    EXPECT_EQ(al_get_display_width(disp), 1400);
    EXPECT_EQ(al_get_display_height(disp), 860);
    EXPECT_FLOAT_EQ(f.app.gui->display_w, 1400);
    // Centred in the display they are in when the reset starts.
    EXPECT_RECT(rect_of(f.win(d)), 350, 250, 300, 200, "after");
    f.app.display = g_display;
    al_destroy_display(disp);
    al_set_target_backbuffer(g_display);
}

// The real program, started with the geometry of a 2560 x 1440 screen on the
// test server's smaller one, comes up inside it and saves what it had.
TEST(Layout, ProgramFitsASavedGeometryToTheScreen) {
    ALLEGRO_MONITOR_INFO mi;
    ASSERT_TRUE(al_get_monitor_info(0, &mi));
    const int sw = mi.x2 - mi.x1, sh = mi.y2 - mi.y1;
    ASSERT_LT(sw, 2560);
    ASSERT_LT(sh, 1440);
    struct {
        const char *label;
        std::string layout;
        int max_w, max_h;
    } rows[] = {
        {"larger than the screen", R"({"main": {"x": 300, "y": 200, "w": 2560, "h": 1440}})", sw, sh},
        {"fits", R"({"main": {"x": 30, "y": 40, "w": 700, "h": 500}})", 700, 500},
    };
    for (auto &row : rows) {
        TEST_DIR d;
        const std::string home = d.file("home");
        std::filesystem::create_directories(home);
        test_write_file(home + "/layout.json", row.layout);
        TEST_PROC p;
        ASSERT_TRUE(test_spawn(&p, {KVN_PROGRAM, "-v", "2"}, {"KVN_HOME=" + home}));
        ASSERT_TRUE(p.wait_for("first frame drawn", 60000)) << p.err;
        p.kill_now(SIGTERM);
        ASSERT_EQ(p.wait_exit(60000), 0) << p.err;
        Q_CJSON root = read_json(home + "/layout.json");
        const cJSON *m = cJSON_GetObjectItem(root.get(), "main");
        ASSERT_TRUE(m) << row.label;
        const int x = cJSON_GetObjectItem(m, "x")->valueint, y = cJSON_GetObjectItem(m, "y")->valueint;
        const int w = cJSON_GetObjectItem(m, "w")->valueint, h = cJSON_GetObjectItem(m, "h")->valueint;
        EXPECT_EQ(w, row.max_w) << row.label;
        EXPECT_EQ(h, row.max_h) << row.label;
        EXPECT_GE(x, mi.x1) << row.label;
        EXPECT_GE(y, mi.y1) << row.label;
        EXPECT_LE(x + w, mi.x2) << row.label;
        EXPECT_LE(y + h, mi.y2) << row.label;
        EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(m, "maximized"))) << row.label;
    }
}
