// labels: gui
// The toolkit in a real Allegro display: synthetic events go through
// q_gui_process_event as in the program; checks read widget and window state
// and pixels of the back buffer.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include "kvn_test_gui.h"
#include "kvn_test_util.h"
#include "q_clipboard.h"
#include "q_log.h"
#include "q_gui.h"
#include "q_gui_popup.h"

namespace {
// A context as the program sets it up, with a queue for native windows.
struct Gui {
    Q_GUI_CTX *ctx;
    ALLEGRO_EVENT_QUEUE *queue;
    Gui() {
        ctx = q_gui_new_ctx(g_font);
        queue = al_create_event_queue();
        q_gui_set_display(ctx, g_display);
        q_gui_set_display_size(ctx, k_dw, k_dh);
        q_gui_set_event_queue(ctx, queue);
    }
    ~Gui() {
        q_gui_destroy_ctx(&ctx);
        al_destroy_event_queue(queue);
        al_set_target_backbuffer(g_display);
    }
    int feed(ALLEGRO_EVENT ev) { return q_gui_process_event(ctx, &ev); }
    int mouse(int type, float x, float y, int button = 1, double t = 0, ALLEGRO_DISPLAY *d = nullptr) {
        return feed(kvn_mouse_event(type, x, y, button, t, d));
    }
    int move(float x, float y, double t = 0) { return mouse(ALLEGRO_EVENT_MOUSE_AXES, x, y, 0, t); }
    int press(float x, float y, double t = 0) { return mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, 1, t); }
    int release(float x, float y) { return mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, 1); }
    void click(float x, float y, double t = 0) {
        move(x, y);
        press(x, y, t);
        release(x, y);
    }
    void drag(float x0, float y0, float x1, float y1) {
        move(x0, y0);
        press(x0, y0);
        move((x0 + x1) / 2, (y0 + y1) / 2);
        move(x1, y1);
        release(x1, y1);
    }
    int key(int type, int keycode, unsigned mods = 0, int unichar = 0, bool repeat = false) {
        return feed(kvn_key_event(type, keycode, mods, unichar, repeat));
    }
    // A full key press as Allegro delivers it: down, char, up.
    void press_key(int keycode, unsigned mods = 0, int unichar = 0) {
        key(ALLEGRO_EVENT_KEY_DOWN, keycode, 0, 0);
        key(ALLEGRO_EVENT_KEY_CHAR, keycode, mods, unichar);
        key(ALLEGRO_EVENT_KEY_UP, keycode, 0, 0);
    }
    void draw() {
        al_set_target_backbuffer(g_display);
        al_clear_to_color(al_map_rgb(0, 0, 0));
        q_gui_draw(ctx);
    }
    std::vector<int> order() const {
        std::vector<int> ids;
        for (int i = 0; i < ctx->window_count; i++)
            ids.push_back(ctx->windows[i]->id);
        return ids;
    }
};

void pixel(int x, int y, unsigned char *r, unsigned char *g, unsigned char *b) {
    ALLEGRO_COLOR c = al_get_pixel(al_get_backbuffer(g_display), x, y);
    al_unmap_rgb(c, r, g, b);
}

bool near(unsigned char a, int b, int tol = 3) {
    return std::abs((int)a - b) <= tol;
}

int g_clicks = 0;
int g_last_click = -1;
void on_click(int id, void *) {
    g_clicks++;
    g_last_click = id;
}
} // namespace

// ---- stacking ---------------------------------------------------------------

TEST(GuiStacking, LayersHoldAfterRaisesPressesAndZValues) {
    Gui g;
    TEST_LOG_CAPTURE log;
    set_log_level(Q_LOG_WARNING);
    const int behind = q_gui_add_window(g.ctx, "behind", 0, 0, 300, 200);
    const int normal = q_gui_add_window(g.ctx, "normal", 10, 10, 300, 200);
    const int popup = q_gui_add_window(g.ctx, "popup", 400, 300, 200, 150);
    const int fixed5 = q_gui_add_window(g.ctx, "fixed5", 20, 20, 100, 100);
    const int fixed2 = q_gui_add_window(g.ctx, "fixed2", 30, 30, 100, 100);
    const int top = q_gui_add_window(g.ctx, "top", 600, 0, 150, 100);
    q_gui_window_set_zorder(g.ctx, behind, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
    q_gui_window_set_zorder(g.ctx, popup, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_zorder(g.ctx, fixed5, Q_GUI_ZORDER_FIXED, 5);
    q_gui_window_set_zorder(g.ctx, fixed2, Q_GUI_ZORDER_FIXED, 2);
    q_gui_window_set_zorder(g.ctx, top, Q_GUI_ZORDER_ALWAYS_ON_TOP, 0);
    EXPECT_EQ(g.order(), (std::vector<int>{behind, fixed2, fixed5, normal, top, popup}));

    q_gui_raise_window(g.ctx, behind); // not NORMAL or POPUP: stays
    g.click(200, 150);                 // press on the NORMAL window
    EXPECT_EQ(g.order(), (std::vector<int>{behind, fixed2, fixed5, normal, top, popup}));

    const int normal2 = q_gui_add_window(g.ctx, "normal2", 50, 50, 200, 200);
    EXPECT_EQ(g.order(), (std::vector<int>{behind, fixed2, fixed5, normal, normal2, top, popup}));
    g.click(15, 100); // only the first NORMAL window is there
    EXPECT_EQ(g.order(), (std::vector<int>{behind, fixed2, fixed5, normal2, normal, top, popup}));
    q_gui_lower_window(g.ctx, normal);
    EXPECT_EQ(g.order(), (std::vector<int>{behind, fixed2, fixed5, normal, normal2, top, popup}));
    EXPECT_EQ(q_gui_get_topmost_open_window(g.ctx), popup);
    q_gui_close_window(g.ctx, popup);
    EXPECT_EQ(q_gui_get_topmost_open_window(g.ctx), top);

    q_gui_window_set_zorder(g.ctx, top, 9, 0);
    EXPECT_EQ(q_gui_window_get_zorder(g.ctx, top), Q_GUI_ZORDER_NORMAL);
    EXPECT_TRUE(log.contains("unknown z_mode 9 for window 6"));
    set_log_level(Q_LOG_NOTICE);
}

TEST(GuiStacking, PopupIsDrawnAboveNormalWindow) {
    Gui g;
    const int normal = q_gui_add_window(g.ctx, "n", 100, 100, 300, 200);
    const int pop = q_gui_add_window(g.ctx, "p", 200, 150, 200, 150);
    Q_GUI_THEME red = q_gui_default_theme();
    red.bg_normal = al_map_rgb(200, 0, 0);
    Q_GUI_THEME blue = red;
    blue.bg_normal = al_map_rgb(0, 0, 200);
    q_gui_get_window(g.ctx, normal)->theme = red;
    q_gui_get_window(g.ctx, pop)->theme = blue;
    q_gui_window_set_zorder(g.ctx, pop, Q_GUI_ZORDER_POPUP, 0);
    g.click(150, 250); // pressing the NORMAL window does not lift it over the pop-up
    g.draw();
    unsigned char r, gg, b;
    pixel(250, 250, &r, &gg, &b);
    EXPECT_TRUE(near(b, 200) && near(r, 0)) << (int)r << "," << (int)gg << "," << (int)b;
    pixel(150, 250, &r, &gg, &b);
    EXPECT_TRUE(near(r, 200) && near(b, 0));
    // The title bar is drawn in the window theme's bg_active.
    pixel(120, 104, &r, &gg, &b);
    EXPECT_TRUE(near(r, 90) && near(gg, 90) && near(b, 110)) << (int)r << "," << (int)gg << "," << (int)b;
}

// ---- title bar ----------------------------------------------------------------

TEST(GuiTitleBar, ButtonPlacementFollowsFlags) {
    Gui g;
    const float X = 100, W = 400;
    const float size = 28 - 4, right = X + W - 4, step = size + 2;
    struct {
        int flags;
        float close, max, min; // expected x, -1 = absent
    } cases[] = {
        {0x400, right - size, -1, -1},
        {0x700, right - size, right - size - step, right - size - 2 * step},
        {0x300, -1, right - size, right - size - step},
        {0x500, right - size, -1, right - size - step},
        {0x100, -1, -1, right - size},
        {0x000, -1, -1, -1},
        {0x780, -1, -1, -1}, // no title bar, no buttons
    };
    for (const auto &c : cases) {
        const int id = q_gui_add_window(g.ctx, "w", X, 50, W, 200);
        q_gui_window_set_flags(g.ctx, id, c.flags);
        const float want[4] = {0, c.min, c.max, c.close};
        for (int b = 1; b <= 3; b++) {
            float x = -1, y = 0, w = 0, h = 0;
            const int shown = q_gui_window_button_rect(g.ctx, id, b, &x, &y, &w, &h);
            EXPECT_EQ(shown, want[b] >= 0) << "flags " << std::hex << c.flags << " button " << b;
            if (shown) {
                EXPECT_FLOAT_EQ(x, want[b]) << "flags " << std::hex << c.flags << " button " << b;
                EXPECT_FLOAT_EQ(w, size);
                EXPECT_FLOAT_EQ(y, 50 + 2);
            }
        }
    }
}

namespace {
int g_closed_cb = 0;
void on_close_cb(int, void *) {
    g_closed_cb++;
}
} // namespace

TEST(GuiTitleBar, ButtonsActOnReleaseOverTheSameButton) {
    Gui g;
    q_gui_set_display_size(g.ctx, k_dw, k_dh);
    const int id = q_gui_add_window(g.ctx, "w", 100, 100, 300, 200);
    q_gui_window_set_flags(g.ctx, id, 0x700);
    float bx[4], by[4], bw[4], bh[4];
    for (int b = 1; b <= 3; b++)
        q_gui_window_button_rect(g.ctx, id, b, &bx[b], &by[b], &bw[b], &bh[b]);
    auto mid = [&](int b, float *x, float *y) {
        *x = bx[b] + bw[b] / 2;
        *y = by[b] + bh[b] / 2;
    };
    float x, y;
    // Press on minimize, release on maximize: nothing happens.
    mid(1, &x, &y);
    g.press(x, y);
    float x2, y2;
    mid(2, &x2, &y2);
    g.move(x2, y2);
    g.release(x2, y2);
    EXPECT_FALSE(q_gui_window_is_minimized(g.ctx, id));
    EXPECT_FALSE(q_gui_window_is_maximised(g.ctx, id));

    g.click(x, y);
    EXPECT_TRUE(q_gui_window_is_minimized(g.ctx, id));
    EXPECT_TRUE(q_gui_wants_mouse(g.ctx)); // pointer on the title bar
    g.move(200, 250);                      // below a minimized window's title bar: free
    EXPECT_FALSE(q_gui_wants_mouse(g.ctx));
    g.click(x, y);
    EXPECT_FALSE(q_gui_window_is_minimized(g.ctx, id));

    // Maximize fills the display; the second click restores the rectangle.
    g.click(x2, y2);
    Q_GUI_WINDOW *w = q_gui_get_window(g.ctx, id);
    EXPECT_TRUE(q_gui_window_is_maximised(g.ctx, id));
    EXPECT_FLOAT_EQ(w->x, 0);
    EXPECT_FLOAT_EQ(w->w, k_dw);
    EXPECT_FLOAT_EQ(w->h, k_dh);
    // A maximized window does not move by its title bar.
    g.drag(50, 10, 150, 60);
    EXPECT_FLOAT_EQ(w->x, 0);
    q_gui_window_button_rect(g.ctx, id, 2, &bx[2], &by[2], &bw[2], &bh[2]);
    g.click(bx[2] + 5, by[2] + 5);
    EXPECT_FALSE(q_gui_window_is_maximised(g.ctx, id));
    EXPECT_FLOAT_EQ(w->x, 100);
    EXPECT_FLOAT_EQ(w->y, 100);
    EXPECT_FLOAT_EQ(w->w, 300);
    EXPECT_FLOAT_EQ(w->h, 200);

    // Close: a callback replaces the default, without one the window hides.
    mid(3, &x, &y);
    q_gui_window_set_close_callback(g.ctx, id, on_close_cb, nullptr);
    g_closed_cb = 0;
    g.click(x, y);
    EXPECT_EQ(g_closed_cb, 1);
    EXPECT_TRUE(q_gui_window_is_open(g.ctx, id));
    q_gui_window_set_close_callback(g.ctx, id, nullptr, nullptr);
    g.click(x, y);
    EXPECT_FALSE(q_gui_window_is_open(g.ctx, id));
}

// ---- move and resize -----------------------------------------------------------

TEST(GuiWindow, MoveByTitleBarOrLabelAndGripResizeKeepsMinimum) {
    Gui g;
    const int a = q_gui_add_window(g.ctx, "a", 100, 100, 300, 200);
    g.drag(150, 110, 250, 160);
    Q_GUI_WINDOW *wa = q_gui_get_window(g.ctx, a);
    EXPECT_FLOAT_EQ(wa->x, 200);
    EXPECT_FLOAT_EQ(wa->y, 150);

    q_gui_window_set_flags(g.ctx, a, Q_GUI_WIN_FIXED);
    g.drag(250, 160, 350, 260);
    EXPECT_FLOAT_EQ(wa->x, 200);

    // Without a title bar: a label drags the window, a button does not.
    const int b = q_gui_add_window(g.ctx, "b", 500, 300, 200, 150);
    q_gui_window_set_flags(g.ctx, b, Q_GUI_WIN_NO_TITLEBAR);
    q_gui_add_label(g.ctx, b, "drag me", 10, 10, 100, 20, 0);
    q_gui_add_button(g.ctx, b, "stay", 10, 50, 100, 24, 0, nullptr, nullptr);
    Q_GUI_WINDOW *wb = q_gui_get_window(g.ctx, b);
    g.drag(520, 320, 480, 290);
    EXPECT_FLOAT_EQ(wb->x, 460);
    EXPECT_FLOAT_EQ(wb->y, 270);
    g.drag(480, 330, 520, 380);
    EXPECT_FLOAT_EQ(wb->x, 460);

    q_gui_close_window(g.ctx, b);
    // Grip: bigger, then never below the minimum size (120 x 60).
    q_gui_window_set_flags(g.ctx, a, Q_GUI_WIN_RESIZABLE);
    g.drag(200 + 300 - 4, 150 + 200 - 4, 200 + 350, 150 + 260);
    EXPECT_FLOAT_EQ(wa->w, 354);
    EXPECT_FLOAT_EQ(wa->h, 264);
    g.drag(200 + 354 - 4, 150 + 264 - 4, 150, 120);
    EXPECT_FLOAT_EQ(wa->w, 120);
    EXPECT_FLOAT_EQ(wa->h, 60);
}

TEST(GuiWindow, AdaptiveResizeFollowsPolicies) {
    Gui g;
    q_gui_set_resize_mode(g.ctx, 1);
    const int keep = q_gui_add_window(g.ctx, "k", 80, 60, 200, 100);
    const int move = q_gui_add_window(g.ctx, "m", 400, 300, 200, 100);
    const int scale = q_gui_add_window(g.ctx, "s", 400, 0, 200, 100);
    q_gui_window_set_resize_policy(g.ctx, move, 1);
    q_gui_window_set_resize_policy(g.ctx, scale, 2);
    const int btn = q_gui_add_button(g.ctx, scale, "b", 100, 20, 50, 20, 0, nullptr, nullptr);
    q_gui_set_display_size(g.ctx, 1600, 1200);
    Q_GUI_WINDOW *wk = q_gui_get_window(g.ctx, keep), *wm = q_gui_get_window(g.ctx, move);
    Q_GUI_WINDOW *ws = q_gui_get_window(g.ctx, scale);
    EXPECT_FLOAT_EQ(wk->x, 80);
    EXPECT_FLOAT_EQ(wm->x, 800);
    EXPECT_FLOAT_EQ(wm->y, 600);
    EXPECT_FLOAT_EQ(wm->w, 200);
    EXPECT_FLOAT_EQ(ws->w, 400);
    EXPECT_FLOAT_EQ(ws->h, 200);
    EXPECT_FLOAT_EQ(q_gui_get_widget(g.ctx, btn)->x, 200);
    // Shrinking far: a scaled window stops at its minimum size.
    q_gui_set_display_size(g.ctx, 200, 150);
    EXPECT_FLOAT_EQ(ws->w, 120);
    EXPECT_FLOAT_EQ(ws->h, 60);
}

// ---- focus, keys, shortcuts -----------------------------------------------------

TEST(GuiFocus, TabOrderSkipsHiddenAndDisabledAndWraps) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "w", 10, 10, 400, 300);
    const int b1 = q_gui_add_button(g.ctx, w, "1", 10, 10, 60, 24, 0, nullptr, nullptr);
    const int b2 = q_gui_add_button(g.ctx, w, "2", 80, 10, 60, 24, 0, nullptr, nullptr);
    const int b3 = q_gui_add_button(g.ctx, w, "3", 150, 10, 60, 24, 0, nullptr, nullptr);
    const int b4 = q_gui_add_button(g.ctx, w, "4", 10, 60, 60, 24, 0, nullptr, nullptr);
    q_gui_add_label(g.ctx, w, "not focusable", 10, 100, 100, 20, 0);
    q_gui_widget_set_visible(g.ctx, b2, 0);
    q_gui_widget_set_enabled(g.ctx, b4, 0);
    struct {
        unsigned mods;
        int want;
    } steps[] = {
        {0, b1},
        {0, b3},
        {0, b1},
        {ALLEGRO_KEYMOD_SHIFT, b3},
        {ALLEGRO_KEYMOD_SHIFT, b1},
        {ALLEGRO_KEYMOD_SHIFT, b3},
    };
    for (const auto &s : steps) {
        g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_TAB, s.mods, '\t');
        EXPECT_EQ(q_gui_get_focus(g.ctx), s.want);
    }
    EXPECT_TRUE(q_gui_get_widget(g.ctx, b3)->state & Q_GUI_WS_FOCUSED);
    EXPECT_FALSE(q_gui_get_widget(g.ctx, b1)->state & Q_GUI_WS_FOCUSED);
    EXPECT_EQ(q_gui_focus_takes_key(g.ctx, ALLEGRO_KEY_ENTER), 1);
    EXPECT_EQ(q_gui_focus_takes_key(g.ctx, ALLEGRO_KEY_ESCAPE), 0);
    // Arrows move among buttons by position: left of 3 (hidden 2 skipped) is 1.
    g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_LEFT);
    EXPECT_EQ(q_gui_get_focus(g.ctx), b1);
    // A click on a button does not focus it; a press elsewhere clears the focus.
    g.click(150 + 10 + 30, 10 + 28 + 10 + 12);
    EXPECT_EQ(q_gui_get_focus(g.ctx), -1);
    TEST_LOG_CAPTURE log;
    set_log_level(Q_LOG_WARNING);
    q_gui_set_focus(g.ctx, 999);
    EXPECT_TRUE(log.contains("q_gui_set_focus: widget 999 not found"));
    EXPECT_EQ(q_gui_get_focus(g.ctx), -1);
    set_log_level(Q_LOG_NOTICE);
}

TEST(GuiButton, ActivationByClickKeyAndShortcutFiresOnce) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "w", 0, 0, 400, 300);
    const int ok = q_gui_add_button(g.ctx, w, "OK", 10, 10, 80, 24, 0, on_click, nullptr);
    const int tog = q_gui_add_button(g.ctx, w, "T", 100, 10, 80, 24, 0, on_click, nullptr);
    const int other = q_gui_add_button(g.ctx, w, "O", 200, 10, 80, 24, 0, on_click, nullptr);
    q_gui_button_set_toggle(g.ctx, tog, 1);
    g_clicks = 0;
    // Release outside the button: no click.
    g.move(20, 45);
    g.press(20, 45);
    g.move(300, 200);
    g.release(300, 200);
    EXPECT_EQ(g_clicks, 0);
    g.click(20, 45);
    EXPECT_EQ(g_clicks, 1);
    EXPECT_EQ(g_last_click, ok);
    g.click(120, 45);
    g.click(120, 45);
    g.click(120, 45);
    EXPECT_EQ(q_gui_button_is_toggled(g.ctx, tog), 1);
    q_gui_button_set_toggle(g.ctx, tog, 0);
    EXPECT_EQ(q_gui_button_is_toggled(g.ctx, tog), 0);

    // Enter on the focused button; a key repeat does not fire again.
    g_clicks = 0;
    q_gui_set_focus(g.ctx, other);
    g.press_key(ALLEGRO_KEY_ENTER, 0, '\r');
    g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_ENTER, 0, '\r', true);
    EXPECT_EQ(g_clicks, 1);
    EXPECT_EQ(g_last_click, other);

    // Unscoped Ctrl+S fires regardless of focus, only with Ctrl held.
    q_gui_button_set_keycode(g.ctx, ok, ALLEGRO_KEY_S, ALLEGRO_KEYMOD_CTRL);
    g_clicks = 0;
    g.press_key(ALLEGRO_KEY_S, 0, 's');
    EXPECT_EQ(g_clicks, 0);
    g.key(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_LCTRL);
    g.press_key(ALLEGRO_KEY_S, ALLEGRO_KEYMOD_CTRL, 19);
    g.key(ALLEGRO_EVENT_KEY_UP, ALLEGRO_KEY_LCTRL);
    EXPECT_EQ(g_clicks, 1);
    EXPECT_EQ(g_last_click, ok);

    // Scoped Enter: only while the button or a scope widget has the focus, and
    // a focused button with its own Enter shortcut fires once, not twice.
    const int scope[1] = {tog};
    q_gui_button_set_keycode_scoped(g.ctx, ok, ALLEGRO_KEY_ENTER, 0, scope, 1);
    g_clicks = 0;
    q_gui_set_focus(g.ctx, other);
    g.press_key(ALLEGRO_KEY_ENTER, 0, '\r');
    EXPECT_EQ(g_last_click, other);
    q_gui_set_focus(g.ctx, tog);
    g.press_key(ALLEGRO_KEY_ENTER, 0, '\r');
    EXPECT_EQ(g_last_click, ok);
    q_gui_set_focus(g.ctx, ok);
    g.key(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_ENTER);
    g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_ENTER, 0, '\r');
    g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_ENTER, 0, '\r', true); // held: repeats
    g.key(ALLEGRO_EVENT_KEY_UP, ALLEGRO_KEY_ENTER);
    EXPECT_EQ(g_clicks, 3);
    EXPECT_EQ(q_gui_window_find_button(g.ctx, w, "O"), other);
    EXPECT_EQ(q_gui_window_find_button(g.ctx, w, "X"), -1);
}

// An open list owns Enter and Escape: the OK button scoped to Enter used to
// fire on key-down while the focused drop-down's list was open, so a form was
// submitted with the value the list was about to replace.
TEST(GuiKeys, AnOpenListTakesEnterAndEscapeBeforeAShortcut) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "w", 50, 50, 400, 300);
    const int combo = q_gui_add_combobox(g.ctx, w, 10, 10, 200, 26, nullptr, nullptr);
    for (const char *t : {"first", "second", "third"})
        q_gui_combobox_add_item(g.ctx, combo, t);
    q_gui_combobox_set_selected(g.ctx, combo, 0);
    const int ok = q_gui_add_button(g.ctx, w, "OK", 250, 200, 100, 30, 1, on_click, nullptr);
    const int scope[1] = {combo};
    q_gui_button_set_keycode_scoped(g.ctx, ok, ALLEGRO_KEY_ENTER, 0, scope, 1);
    q_gui_open_window(g.ctx, w);
    q_gui_set_focus(g.ctx, combo);

    struct {
        int key, unichar;
        int start, want_selected;
    } cases[] = {
        {ALLEGRO_KEY_ENTER, '\r', 0, 1},     // picks the highlighted entry
        {ALLEGRO_KEY_PAD_ENTER, '\r', 1, 2}, // the keypad's Enter alike
        {ALLEGRO_KEY_ESCAPE, 27, 0, 0},      // closes the list, keeps the old choice
    };
    for (const auto &c : cases) {
        g_clicks = 0;
        q_gui_combobox_set_selected(g.ctx, combo, c.start);
        q_gui_combobox_set_open(g.ctx, combo, 1);
        ASSERT_TRUE(q_gui_menu_is_open(g.ctx));
        EXPECT_TRUE(q_gui_list_takes_key(g.ctx, c.key));
        EXPECT_FALSE(q_gui_list_takes_key(g.ctx, ALLEGRO_KEY_A));
        g.press_key(ALLEGRO_KEY_DOWN, 0, 0);
        g.press_key(c.key, 0, c.unichar);
        EXPECT_EQ(g_clicks, 0) << c.key;
        EXPECT_FALSE(q_gui_menu_is_open(g.ctx)) << c.key;
        EXPECT_EQ(q_gui_combobox_get_selected(g.ctx, combo), c.want_selected) << c.key;
    }
    // With the list closed, Enter is the button's again.
    EXPECT_FALSE(q_gui_list_takes_key(g.ctx, ALLEGRO_KEY_ENTER));
    g.press_key(ALLEGRO_KEY_ENTER, 0, '\r');
    EXPECT_EQ(g_clicks, 1);
    EXPECT_EQ(q_gui_combobox_get_selected(g.ctx, combo), 0);
}

// ---- hover, tooltips, double clicks ------------------------------------------------

TEST(GuiHover, TooltipAppearsAfterTheDelayAndJitterKeepsIt) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "w", 100, 100, 300, 200);
    const int b = q_gui_add_button(g.ctx, w, "B", 10, 10, 100, 30, 0, nullptr, nullptr);
    q_gui_widget_set_tooltip(g.ctx, b, "Runs the thing");
    // Event times are seconds since Allegro started; make sure a start far
    // enough in the past exists.
    while (al_get_time() < 1.0)
        al_rest(0.05);
    const double now = al_get_time(), past = 0.001;
    // A hover that began "in the future" is not due yet.
    g.move(150, 150, now + 100);
    EXPECT_EQ(q_gui_tooltip_widget(g.ctx), -1);
    EXPECT_EQ(q_gui_hovered_widget(g.ctx), b);
    // Restart it well in the past; a 1 px jitter keeps that start...
    g.move(160, 150, past);
    g.move(161, 150, now + 100);
    EXPECT_EQ(q_gui_tooltip_widget(g.ctx), b);
    // ...a 3 px move restarts it.
    g.move(164, 150, now + 100);
    EXPECT_EQ(q_gui_tooltip_widget(g.ctx), -1);
    g.move(170, 150, past);
    g.draw();
    // The box is drawn below right of the pointer in the tooltip background.
    unsigned char r, gg, bb;
    pixel(170 + 14 + 3, 150 + 20 + 3, &r, &gg, &bb);
    EXPECT_TRUE(near(r, 28, 8) && near(gg, 30, 8) && near(bb, 36, 8))
        << (int)r << "," << (int)gg << "," << (int)bb;
    // A disabled widget still shows its tooltip, and takes no click.
    int clicks = 0;
    const int off = q_gui_add_button(
        g.ctx, w, "Off", 10, 100, 100, 30, 0, [](int, void *u) { ++*static_cast<int *>(u); }, &clicks);
    q_gui_widget_set_tooltip(g.ctx, off, "Comes with the settings dialog");
    q_gui_widget_set_enabled(g.ctx, off, 0);
    g.move(150, 240, past);
    EXPECT_EQ(q_gui_tooltip_widget(g.ctx), off);
    g.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 150, 240, 1, past));
    g.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 150, 240, 1, past));
    EXPECT_EQ(clicks, 0);
    // Off every window the hover ends.
    g.move(700, 500, past);
    EXPECT_EQ(q_gui_tooltip_widget(g.ctx), -1);
}

TEST(GuiHover, DoubleClickNeedsTimeAndRadius) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "w", 0, 0, 400, 300);
    const int b = q_gui_add_button(g.ctx, w, "B", 10, 10, 200, 100, 0, nullptr, nullptr);
    struct {
        double dt;
        float dx;
        int want;
    } cases[] = {{0.3, 3, b}, {0.5, 0, -1}, {0.1, 5, -1}, {0.0, 4, b}};
    double t = 100;
    for (const auto &c : cases) {
        t += 10;
        g.click(50, 50, t);
        g.move(50 + c.dx, 50);
        g.press(50 + c.dx, 50, t + c.dt);
        EXPECT_EQ(q_gui_double_clicked_widget(g.ctx), c.want) << c.dt << " s, " << c.dx << " px";
        EXPECT_EQ(q_gui_was_double_click(g.ctx, b), c.want == b);
        g.release(50 + c.dx, 50);
        EXPECT_EQ(q_gui_double_clicked_widget(g.ctx), -1); // only for the event itself
    }
    // A third quick click starts a new pair instead of a second double click.
    t += 10;
    g.click(50, 50, t);
    g.click(50, 50, t + 0.1);
    g.press(50, 50, t + 0.2);
    EXPECT_EQ(q_gui_double_clicked_widget(g.ctx), -1);
    // Time 0 disables double clicks.
    q_gui_set_double_click_time(g.ctx, -1);
    g.click(50, 50, t + 20);
    g.release(50, 50);
    g.click(50, 50, t + 20);
    g.press(50, 50, t + 20.01);
    EXPECT_EQ(q_gui_double_clicked_widget(g.ctx), -1);
}

// ---- pop-up menus -----------------------------------------------------------------

namespace {
int g_picked = -1;
void on_pick(Q_GUI_POPUP *, int tag, void *) {
    g_picked = tag;
}
} // namespace

TEST(GuiPopup, PlacementSubmenusSeparatorsAndPick) {
    Gui g;
    Q_GUI_POPUP *p = q_gui_popup_new(g.ctx, 1, on_pick, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(q_gui_popup_new(g.ctx, 1, nullptr, nullptr), nullptr);
    q_gui_popup_add_separator(p, 0); // leading: dropped
    const int open = q_gui_popup_add_item(p, 0, "Open", 1, "Open the thing");
    q_gui_popup_add_separator(p, 0);
    q_gui_popup_add_separator(p, 0); // repeated: dropped
    const int off = q_gui_popup_add_item(p, 0, "Disabled", 2, nullptr);
    const int hidden = q_gui_popup_add_item(p, 0, "Hidden", 3, nullptr);
    const int sub = q_gui_popup_add_submenu(p, 0, "More", nullptr);
    const int deep = q_gui_popup_add_item(p, sub, "Deep", 4, nullptr);
    const int empty = q_gui_popup_add_submenu(p, 0, "Empty", nullptr);
    q_gui_popup_add_separator(p, 0); // trailing: dropped
    EXPECT_EQ(q_gui_popup_add_item(p, open, "bad parent", 9, nullptr), -1);
    (void)empty;
    q_gui_popup_set_enabled(p, off, 0);
    q_gui_popup_set_visible(p, hidden, 0);
    q_gui_popup_set_checked(p, open, 1);

    ASSERT_EQ(q_gui_popup_open_at(p, k_dw - 5, k_dh - 5), 0);
    const Q_GUI_POPUP_ENTRY *root = &p->entries[0];
    ASSERT_EQ(root->row_count, 4); // Open, separator, Disabled, More
    EXPECT_EQ(root->rows[0], open);
    EXPECT_EQ(root->rows[3], sub);
    // Shifted so that all of it is visible.
    Q_GUI_WINDOW *rw = q_gui_get_window(g.ctx, q_gui_popup_window(p, 0));
    EXPECT_FLOAT_EQ(rw->x + rw->w, k_dw);
    EXPECT_FLOAT_EQ(rw->y + rw->h, k_dh);
    EXPECT_EQ(rw->z_mode, Q_GUI_ZORDER_POPUP);
    EXPECT_TRUE(q_gui_popup_contains(p, rw->x + 5, rw->y + 5));

    // Moving over "More" opens its submenu beside it, inside the display.
    const float row_more = rw->y + root->row_y[3] + 5;
    g.move(rw->x + 20, row_more);
    ASSERT_GE(q_gui_popup_window(p, sub), 0);
    Q_GUI_WINDOW *sw = q_gui_get_window(g.ctx, q_gui_popup_window(p, sub));
    EXPECT_TRUE(q_gui_window_is_open(g.ctx, sw->id));
    EXPECT_LE(sw->x + sw->w, k_dw);
    EXPECT_LE(sw->y + sw->h, k_dh);
    // The hint becomes the tooltip of the row under the pointer.
    g.move(rw->x + 20, rw->y + root->row_y[0] + 5);
    EXPECT_STREQ(q_gui_get_widget(g.ctx, p->entries[0].widget)->tooltip, "Open the thing");
    EXPECT_FALSE(q_gui_window_is_open(g.ctx, sw->id)); // another row closed it
    // The disabled row does nothing.
    g_picked = -1;
    g.click(rw->x + 20, rw->y + root->row_y[2] + 5);
    EXPECT_EQ(g_picked, -1);
    EXPECT_TRUE(q_gui_popup_is_open(p));
    // Picking in the submenu closes every level.
    g.move(rw->x + 20, row_more);
    const Q_GUI_POPUP_ENTRY *se = &p->entries[sub];
    g.click(sw->x + 20, sw->y + se->row_y[0] + 5);
    EXPECT_EQ(g_picked, 4);
    EXPECT_FALSE(q_gui_popup_is_open(p));
    EXPECT_FALSE(q_gui_window_is_open(g.ctx, sw->id));
    (void)deep;
    q_gui_popup_destroy(&p);
    EXPECT_EQ(p, nullptr);
    g.draw(); // the kept windows draw nothing of the freed menu
}

TEST(GuiPopup, PressDragAndReleaseAcrossNestedMenusPicksUnderThePointer) {
    Gui g;
    Q_GUI_POPUP *p = q_gui_popup_new(g.ctx, 1, on_pick, nullptr);
    ASSERT_NE(p, nullptr);
    q_gui_popup_add_item(p, 0, "Top", 1, nullptr);
    const int sub = q_gui_popup_add_submenu(p, 0, "More", nullptr);
    q_gui_popup_add_item(p, 0, "Last", 2, nullptr);
    q_gui_popup_add_item(p, sub, "First inner", 10, nullptr);
    q_gui_popup_add_item(p, sub, "Second inner", 11, nullptr);
    q_gui_popup_add_item(p, sub, "Third inner", 12, nullptr);
    ASSERT_EQ(q_gui_popup_open_at(p, 100, 100), 0);
    const Q_GUI_POPUP_ENTRY *root = &p->entries[0];
    Q_GUI_WINDOW *rw = q_gui_get_window(g.ctx, q_gui_popup_window(p, 0));
    // Pressed on "More": its submenu opens and the root's widget holds the
    // capture for the drag.
    g_picked = -1;
    g.move(rw->x + 20, rw->y + root->row_y[1] + 5);
    g.press(rw->x + 20, rw->y + root->row_y[1] + 5, 1);
    Q_GUI_WINDOW *sw = q_gui_get_window(g.ctx, q_gui_popup_window(p, sub));
    ASSERT_NE(sw, nullptr);
    ASSERT_TRUE(q_gui_window_is_open(g.ctx, sw->id));
    const Q_GUI_POPUP_ENTRY *se = &p->entries[sub];
    // Dragged to the third row of the submenu, lower than any row of the
    // root would reach at that height: the submenu's row lights up, the
    // submenu stays open, and the release picks it.
    const float x = sw->x + 20, y = sw->y + se->row_y[2] + 5;
    g.move(x, y);
    EXPECT_TRUE(q_gui_window_is_open(g.ctx, sw->id));
    EXPECT_EQ(se->highlight, se->rows[2]);
    g.release(x, y);
    EXPECT_EQ(g_picked, 12);
    EXPECT_FALSE(q_gui_popup_is_open(p));
    // A drag that ends outside every menu picks nothing.
    ASSERT_EQ(q_gui_popup_open_at(p, 100, 100), 0);
    g_picked = -1;
    g.move(rw->x + 20, rw->y + root->row_y[1] + 5);
    g.press(rw->x + 20, rw->y + root->row_y[1] + 5, 2);
    g.move(5, 5);
    g.release(5, 5);
    EXPECT_EQ(g_picked, -1);
    q_gui_popup_destroy(&p);
}

// ---- native windows ------------------------------------------------------------------

TEST(GuiNative, DetachNativeCloseDrawAndReopenAtTheOldPlace) {
    Gui g;
    const int id = q_gui_add_window(g.ctx, "Native", 100, 80, 320, 228);
    const int b = q_gui_add_button(g.ctx, id, "Press", 10, 10, 100, 30, 0, on_click, nullptr);
    q_gui_add_label(g.ctx, id, "text", 10, 60, 100, 20, 0);
    {
        // Without a queue the detach is refused and nothing changes.
        TEST_LOG_CAPTURE log;
        set_log_level(Q_LOG_ERR);
        q_gui_set_event_queue(g.ctx, nullptr);
        EXPECT_EQ(q_gui_window_detach(g.ctx, id, 0), -1);
        EXPECT_TRUE(
            log.contains("q_gui_window_detach: no event queue set, call q_gui_set_event_queue first"));
        EXPECT_FALSE(q_gui_window_is_detached(g.ctx, id));
        q_gui_set_event_queue(g.ctx, g.queue);
        EXPECT_EQ(q_gui_window_detach(g.ctx, 77, 0), -1);
        EXPECT_TRUE(log.contains("q_gui_window_detach: no window with id 77"));
        set_log_level(Q_LOG_NOTICE);
    }
    ASSERT_EQ(q_gui_window_detach(g.ctx, id, Q_GUI_DETACH_RESIZABLE), 0);
    ALLEGRO_DISPLAY *d = q_gui_window_get_display(g.ctx, id);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(al_get_display_width(d), 320);
    EXPECT_EQ(al_get_display_height(d), 200); // the title bar became the native frame
    EXPECT_EQ(q_gui_window_from_display(g.ctx, d), id);
    EXPECT_EQ(q_gui_count_detached(g.ctx), 1);
    EXPECT_EQ(al_get_target_bitmap(), al_get_backbuffer(g_display));

    // Events of the native display reach the window at (0, 0).
    g_clicks = 0;
    g.mouse(ALLEGRO_EVENT_MOUSE_AXES, 20, 20, 0, 0, d);
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 20, 20, 1, 0, d);
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 20, 20, 1, 0, d);
    EXPECT_EQ(g_clicks, 1);
    EXPECT_EQ(g_last_click, b);
    // The main display's events do not.
    g.click(120, 130);
    EXPECT_EQ(g_clicks, 1);
    // The native frame moves it: a label in it does not start a move.
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 20, 65, 1, 0, d);
    EXPECT_EQ(q_gui_get_window(g.ctx, id)->state & Q_GUI_WST_MOVING, 0);
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 20, 65, 1, 0, d);
    q_gui_draw_detached(g.ctx);
    EXPECT_EQ(al_get_target_bitmap(), al_get_backbuffer(g_display));

    int nx = 0, ny = 0;
    al_get_window_position(d, &nx, &ny);
    // The native close box hides the window; the next detached draw drops the
    // native display and brings the old rectangle back.
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_DISPLAY_CLOSE;
    ev.display.source = d;
    g.feed(ev);
    EXPECT_FALSE(q_gui_window_is_open(g.ctx, id));
    EXPECT_TRUE(q_gui_window_is_detached(g.ctx, id));
    q_gui_draw_detached(g.ctx);
    EXPECT_FALSE(q_gui_window_is_detached(g.ctx, id));
    Q_GUI_WINDOW *w = q_gui_get_window(g.ctx, id);
    EXPECT_FLOAT_EQ(w->x, 100);
    EXPECT_FLOAT_EQ(w->h, 228);
    EXPECT_EQ(w->flags & Q_GUI_WIN_NO_TITLEBAR, 0);

    // Opening it again makes a new native window of the old size and place.
    q_gui_open_window(g.ctx, id);
    ALLEGRO_DISPLAY *d2 = q_gui_window_get_display(g.ctx, id);
    ASSERT_NE(d2, nullptr);
    EXPECT_EQ(al_get_display_width(d2), 320);
    EXPECT_EQ(al_get_display_height(d2), 200);
    int nx2 = 0, ny2 = 0;
    al_get_window_position(d2, &nx2, &ny2);
    EXPECT_EQ(nx2, nx);
    EXPECT_EQ(ny2, ny);
    q_gui_draw_detached(g.ctx);

    // Attaching drops the wish to be native: reopening stays attached.
    EXPECT_EQ(q_gui_window_attach(g.ctx, id), 0);
    EXPECT_FALSE(q_gui_window_is_detached(g.ctx, id));
    q_gui_close_window(g.ctx, id);
    q_gui_open_window(g.ctx, id);
    EXPECT_FALSE(q_gui_window_is_detached(g.ctx, id));
    EXPECT_EQ(q_gui_window_attach(g.ctx, 55), -1);
}

// ---- display, DPI, canvas ---------------------------------------------------------

TEST(GuiDisplay, DpiScaleFromBackBufferSize) {
    struct {
        float bw, bh, want;
    } cases[] = {{1600, 1200, 2}, {320, 240, 1},     {8000, 6000, 8},
                 {800, 600, 1},   {1200, 600, 1.5f}, {0, 0, 1}};
    for (const auto &c : cases)
        EXPECT_FLOAT_EQ(q_gui_dpi_scale_for(800, 600, c.bw, c.bh), c.want) << c.bw;
    Gui g;
    EXPECT_FLOAT_EQ(q_gui_detect_dpi_scale(g.ctx, g_display), 1.0f);
    q_gui_set_dpi_scale(g.ctx, 20);
    EXPECT_FLOAT_EQ(q_gui_get_dpi_scale(g.ctx), 8);
    q_gui_set_dpi_scale(g.ctx, 0.1f);
    EXPECT_FLOAT_EQ(q_gui_get_dpi_scale(g.ctx), 0.25f);
    EXPECT_FLOAT_EQ(q_gui_get_dpi_scale(nullptr), 1);
}

TEST(GuiDisplay, VirtualCanvasLetterboxesAndRefusesHalfSizes) {
    Gui g;
    TEST_LOG_CAPTURE log;
    set_log_level(Q_LOG_WARNING);
    q_gui_set_virtual_size(g.ctx, 400, 400); // 800x600 display: scale 1.5, bars left and right
    float vx, vy;
    q_gui_screen_to_virtual(g.ctx, 100 + 150, 150, &vx, &vy);
    EXPECT_FLOAT_EQ(vx, 100);
    EXPECT_FLOAT_EQ(vy, 100);
    q_gui_set_virtual_size(g.ctx, 800, 0);
    EXPECT_TRUE(log.contains("q_gui_set_virtual_size: both dimensions must be > 0 (got w=800.0, h=0.0); "
                             "virtual canvas not changed"));
    EXPECT_FLOAT_EQ(g.ctx->virtual_w, 400);
    q_gui_set_virtual_size(g.ctx, -1, 5);
    EXPECT_FLOAT_EQ(g.ctx->virtual_w, 400);
    // A click lands on a widget through the letterbox.
    const int w = q_gui_add_window(g.ctx, "w", 0, 0, 200, 200);
    q_gui_add_button(g.ctx, w, "B", 0, 0, 100, 100, 0, on_click, nullptr);
    g_clicks = 0;
    g.click(150 + 50 * 1.5f, (28 + 50) * 1.5f);
    EXPECT_EQ(g_clicks, 1);
    q_gui_set_virtual_size(g.ctx, 0, 0);
    q_gui_screen_to_virtual(g.ctx, 250, 150, &vx, &vy);
    EXPECT_FLOAT_EQ(vx, 250);
    set_log_level(Q_LOG_NOTICE);
}

// ---- theme file ---------------------------------------------------------------------

TEST(GuiTheme, SaveThenLoadRestoresEveryKey) {
    TEST_DIR dir;
    Q_GUI_CTX *a = q_gui_new_ctx(g_font);
    // Give every float, int and colour of both records a distinct value.
    {
        float *f = reinterpret_cast<float *>(&a->theme);
        for (size_t i = 0; i < sizeof(Q_GUI_THEME) / sizeof(float); i++)
            f[i] = (float)((i * 37) % 251) / 255.0f;
        a->theme.border_thickness = 2.5f;
        a->theme.corner_rx = 7;
        a->theme.corner_ry = 9;
    }
    const Q_GUI_STYLE defaults = a->style;
    a->style.titlebar_h = 31;
    a->style.combobox_max_visible = 9;
    a->style.shape_mode = 0;
    a->style.grip_color = al_map_rgba(1, 2, 3, 4);
    a->style.combobox_max_dropdown_width = 333;
    a->style.link_color_hover = al_map_rgba(9, 8, 7, 6);
    const std::string path = dir.file("theme.json");
    ASSERT_EQ(q_gui_save_theme_json(a, path.c_str()), 0);
    const std::string text = test_read_file(path);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("\"global_scrollbar_thumb_border_color\""), std::string::npos);

    Q_GUI_CTX *b = q_gui_new_ctx(g_font);
    ASSERT_EQ(q_gui_load_theme_json(b, path.c_str()), 0);
    const float *fa = reinterpret_cast<const float *>(&a->theme),
                *fb = reinterpret_cast<const float *>(&b->theme);
    for (size_t i = 0; i < sizeof(Q_GUI_THEME) / sizeof(float); i++)
        EXPECT_NEAR(fa[i], fb[i], 0.5f / 255) << "theme float " << i;
    EXPECT_EQ(memcmp(&a->style, &b->style, sizeof(Q_GUI_STYLE)), 0);
    EXPECT_NE(memcmp(&defaults, &b->style, sizeof(Q_GUI_STYLE)), 0);

    // A partial file changes only its keys; a missing file is an error.
    test_write_file(dir.file("part.json"), "{\"style\":{\"scroll_step\":44}}");
    Q_GUI_CTX *c = q_gui_new_ctx(g_font);
    ASSERT_EQ(q_gui_load_theme_json(c, dir.file("part.json").c_str()), 0);
    EXPECT_FLOAT_EQ(c->style.scroll_step, 44);
    EXPECT_FLOAT_EQ(c->style.titlebar_h, 28);
    EXPECT_EQ(q_gui_load_theme_json(c, dir.file("none.json").c_str()), -1);
    test_write_file(dir.file("bad.json"), "[1,2");
    EXPECT_EQ(q_gui_load_theme_json(c, dir.file("bad.json").c_str()), -1);
    q_gui_destroy_ctx(&a);
    q_gui_destroy_ctx(&b);
    q_gui_destroy_ctx(&c);
    EXPECT_EQ(a, nullptr);
}

// ---- clipboard and labels -------------------------------------------------------------

TEST(GuiClipboard, RoundTripAndNoPrimarySelection) {
    Gui g;
    EXPECT_EQ(q_clipboard_init(), 1);
    ASSERT_EQ(q_clipboard_set(0, "kelvane \xc3\xa9t\xc3\xa9"), 0);
    char *t = q_clipboard_get(0);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "kelvane \xc3\xa9t\xc3\xa9");
    free(t);
    EXPECT_EQ(q_clipboard_set(1, "primary"), 0);
    EXPECT_EQ(q_clipboard_get(1), nullptr);
    t = q_clipboard_get(0);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "kelvane \xc3\xa9t\xc3\xa9");
    free(t);
    const char *types[] = {"image/png", "text/plain"};
    size_t n = 0;
    int idx = -1;
    EXPECT_EQ(q_clipboard_set_data(0, "UTF8_STRING", "abc", 3), 0);
    char *data = static_cast<char *>(q_clipboard_get_data(0, types, 2, &n, &idx));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, n), "abc");
    EXPECT_EQ(idx, 1);
    free(data);
    EXPECT_EQ(q_clipboard_set_data(0, nullptr, "x", 1), -1);
    EXPECT_EQ(q_clipboard_set_data(0, "text/plain", "x", 0x4000001), -1);
}

namespace {
std::string g_link;
void on_link(int, const char *link, void *) {
    g_link = link;
}
} // namespace

TEST(GuiLabel, TextLinkSelectionAndFit) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "w", 0, 0, 500, 300);
    const int l = q_gui_add_label(g.ctx, w, "ab\r\ncd", 10, 10, 200, 40, 0);
    EXPECT_STREQ(q_gui_label_get_text(g.ctx, l), "ab\ncd");
    std::string big(5000, 'x');
    q_gui_label_set_text(g.ctx, l, big.c_str());
    EXPECT_EQ(strlen(q_gui_label_get_text(g.ctx, l)), 4095u);
    // A cut in the middle of a two-byte character drops the partial one.
    std::string utf(4094, 'y');
    utf += "\xc3\xa9";
    q_gui_label_set_text(g.ctx, l, utf.c_str());
    EXPECT_EQ(strlen(q_gui_label_get_text(g.ctx, l)), 4094u);
    EXPECT_STREQ(
        q_gui_label_get_text(g.ctx, q_gui_add_button(g.ctx, w, "b", 0, 0, 1, 1, 0, nullptr, nullptr)), "");

    // The builtin font is 8 px per character: "Hello world" needs 88 + 8.
    q_gui_label_set_text(g.ctx, l, "Hello world");
    float nw = 0, nh = 0;
    EXPECT_EQ(q_gui_label_fits(g.ctx, l, &nw, &nh), 1);
    EXPECT_FLOAT_EQ(nw, 96);
    q_gui_widget_set_rect(g.ctx, l, 10, 10, 60, 40);
    EXPECT_EQ(q_gui_label_fits(g.ctx, l, &nw, &nh), 0);
    q_gui_widget_set_rect(g.ctx, l, 10, 10, 200, 40);

    // Dragging over the text selects characters; Ctrl+C copies them.
    const float ox = 10 + 4, oy = 28 + 10 + 20;
    g.drag(ox + 6 * 8 + 1, oy, ox + 11 * 8 + 1, oy);
    int s0 = -1, s1 = -1;
    EXPECT_EQ(q_gui_label_get_selection(g.ctx, l, &s0, &s1), 1);
    EXPECT_EQ(s0, 6);
    EXPECT_EQ(s1, 11);
    q_clipboard_set(0, "before");
    g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_C, ALLEGRO_KEYMOD_CTRL, 3);
    char *t = q_clipboard_get(0);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "world");
    free(t);

    // A link calls back on click.
    const int link = q_gui_add_label(g.ctx, w, "docs", 10, 100, 100, 20, 0);
    q_gui_label_set_link(g.ctx, link, "https://example.invalid/docs", on_link, nullptr);
    g.click(20, 28 + 110);
    EXPECT_EQ(g_link, "https://example.invalid/docs");
}

// ---- scrolling and autofit ------------------------------------------------------------

TEST(GuiScroll, WheelScrollsWindowContentThenTheWholeCanvas) {
    Gui g;
    // A scrollable window whose widgets reach below its body.
    const int w = q_gui_add_window(g.ctx, "list", 0, 0, 200, 128);
    q_gui_window_set_flags(g.ctx, w, Q_GUI_WIN_SCROLLABLE);
    for (int i = 0; i < 10; i++)
        q_gui_add_label(g.ctx, w, "row", 0, 30.0f * (float)i, 150, 24, 0);
    Q_GUI_WINDOW *win = q_gui_get_window(g.ctx, w);
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
    ev.mouse.display = g_display;
    ev.mouse.x = 50;
    ev.mouse.y = 60;
    ev.mouse.dz = -2;
    g.feed(ev);
    EXPECT_FLOAT_EQ(win->scroll_y, 40);
    ev.mouse.dz = -100; // clamped at the last row's bottom (294) less the body (100)
    g.feed(ev);
    EXPECT_FLOAT_EQ(win->scroll_y, 194);

    // A window below the display: the global bar appears and the wheel over
    // empty space scrolls everything; clicks follow the scroll.
    const int far = q_gui_add_window(g.ctx, "far", 300, 900, 200, 100);
    q_gui_add_button(g.ctx, far, "B", 10, 10, 100, 40, 0, on_click, nullptr);
    g.draw();
    EXPECT_TRUE(g.ctx->gscroll_show_v);
    ev.mouse.x = 700;
    ev.mouse.y = 300;
    ev.mouse.dz = -3;
    g.feed(ev);
    EXPECT_FLOAT_EQ(g.ctx->gscroll_y, 90);
    ev.mouse.dz = -100;
    g.feed(ev);
    g.draw();
    EXPECT_FLOAT_EQ(g.ctx->gscroll_y, 1000 - 600);
    g_clicks = 0;
    const float sy = 900 + 28 + 30 - g.ctx->gscroll_y;
    g.click(350, sy);
    EXPECT_EQ(g_clicks, 1);
}

TEST(GuiScroll, AutofitFollowsTheWidgets) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "fit", 400, 100, 300, 300);
    const int b = q_gui_add_button(g.ctx, w, "B", 10, 10, 200, 100, 0, nullptr, nullptr);
    q_gui_window_set_autofit(g.ctx, w, 1 | 2 | 4, 5);
    q_gui_window_apply_autofit(g.ctx, w);
    Q_GUI_WINDOW *win = q_gui_get_window(g.ctx, w);
    EXPECT_FLOAT_EQ(win->w, 220);
    EXPECT_FLOAT_EQ(win->h, 10 + 100 + 10 + 28);
    EXPECT_FLOAT_EQ(win->x, 400 + 300 - 220); // grew to the left: right edge kept
    q_gui_widget_set_visible(g.ctx, b, 0);
    q_gui_window_apply_autofit(g.ctx, w);
    EXPECT_FLOAT_EQ(win->w, 120); // never below the minimum size
    EXPECT_FLOAT_EQ(win->h, 60);
    TEST_LOG_CAPTURE log;
    set_log_level(Q_LOG_WARNING);
    q_gui_window_set_autofit(g.ctx, 99, 1, 0);
    EXPECT_TRUE(log.contains("q_gui_window_set_autofit: window 99 not found"));
    set_log_level(Q_LOG_NOTICE);
}

// ---- keyboard mask and redraw --------------------------------------------------------

TEST(GuiKeys, ModifierMaskFollowsKeysCharsAndSwitchOut) {
    Gui g;
    struct {
        int key;
        int bit;
    } keys[] = {{ALLEGRO_KEY_LCTRL, 0x01},  {ALLEGRO_KEY_RCTRL, 0x02}, {ALLEGRO_KEY_LSHIFT, 0x04},
                {ALLEGRO_KEY_RSHIFT, 0x08}, {ALLEGRO_KEY_ALT, 0x10},   {ALLEGRO_KEY_ALTGR, 0x20}};
    for (const auto &k : keys) {
        g.key(ALLEGRO_EVENT_KEY_DOWN, k.key);
        EXPECT_EQ(g.ctx->mods, k.bit) << k.key;
        g.key(ALLEGRO_EVENT_KEY_UP, k.key);
        EXPECT_EQ(g.ctx->mods, 0) << k.key;
    }
    // A char event re-derives the mask: Ctrl held keeps right Ctrl, Shift
    // released clears both Shift bits, Alt appears.
    g.key(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_RCTRL);
    g.key(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_RSHIFT);
    g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_A, ALLEGRO_KEYMOD_CTRL | ALLEGRO_KEYMOD_ALT, 'a');
    EXPECT_EQ(g.ctx->mods, 0x02 | 0x10);
    g.key(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_A, ALLEGRO_KEYMOD_SHIFT, 'A');
    EXPECT_EQ(g.ctx->mods, 0x04);
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_DISPLAY_SWITCH_OUT;
    ev.display.source = g_display;
    g.feed(ev);
    EXPECT_EQ(g.ctx->mods, 0);
}

TEST(GuiKeys, RedrawFlagAndButtonFlash) {
    Gui g;
    const int w = q_gui_add_window(g.ctx, "w", 0, 0, 300, 200);
    const int b = q_gui_add_button(g.ctx, w, "B", 10, 10, 100, 30, 0, nullptr, nullptr);
    g.draw();
    EXPECT_EQ(q_gui_needs_redraw(g.ctx), 0);
    q_gui_set_focus(g.ctx, b);
    g.draw();
    g.press_key(ALLEGRO_KEY_SPACE, 0, ' ');
    EXPECT_EQ(q_gui_needs_redraw(g.ctx), 1);
    g.draw();
    // Still flashing: the frame keeps coming until the flash is over.
    EXPECT_EQ(q_gui_needs_redraw(g.ctx), 1);
    unsigned char r, gg, bb;
    pixel(30, 28 + 10 + 4, &r, &gg, &bb); // inside the button, drawn pressed (bg_active)
    EXPECT_TRUE(near(r, 90, 6) && near(bb, 110, 6)) << (int)r << "," << (int)gg << "," << (int)bb;
    EXPECT_EQ(q_gui_needs_redraw(nullptr), 1);
}

// ---- frameless native window ------------------------------------------------------------

TEST(GuiNative, FramelessKeepsItsTitleBarAndFollowsNativeResize) {
    Gui g;
    const int id = q_gui_add_window(g.ctx, "Frameless", 50, 50, 300, 200);
    q_gui_window_set_flags(g.ctx, id, Q_GUI_WIN_CLOSE_BTN);
    q_gui_window_set_resize_policy(g.ctx, id, 2);
    const int b = q_gui_add_button(g.ctx, id, "B", 0, 0, 150, 86, 0, nullptr, nullptr);
    ASSERT_EQ(q_gui_window_detach(g.ctx, id, Q_GUI_DETACH_FRAMELESS), 0);
    ALLEGRO_DISPLAY *d = q_gui_window_get_display(g.ctx, id);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(al_get_display_height(d), 200); // the toolkit's title bar stays inside
    EXPECT_EQ(q_gui_window_get_flags(g.ctx, id) & Q_GUI_WIN_NO_TITLEBAR, 0);
    EXPECT_EQ(q_gui_window_detach(g.ctx, id, Q_GUI_DETACH_FRAMELESS | Q_GUI_DETACH_RESIZABLE), 0);
    EXPECT_EQ(q_gui_get_window(g.ctx, id)->detach_flags, Q_GUI_DETACH_FRAMELESS | Q_GUI_DETACH_RESIZABLE);

    // A native resize re-lays widgets that follow the window's size.
    al_resize_display(d, 600, 400);
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_DISPLAY_RESIZE;
    ev.display.source = d;
    g.feed(ev);
    Q_GUI_WINDOW *w = q_gui_get_window(g.ctx, id);
    EXPECT_FLOAT_EQ(w->w, (float)al_get_display_width(d));
    EXPECT_FLOAT_EQ(q_gui_get_widget(g.ctx, b)->w, w->w / 2);
    al_set_target_backbuffer(g_display);

    // Its own close button closes the native window at the next detached draw.
    float x, y, bw, bh;
    ASSERT_TRUE(q_gui_window_button_rect(g.ctx, id, 3, &x, &y, &bw, &bh));
    g.mouse(ALLEGRO_EVENT_MOUSE_AXES, x + 3, y + 3, 0, 0, d);
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x + 3, y + 3, 1, 0, d);
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x + 3, y + 3, 1, 0, d);
    EXPECT_FALSE(q_gui_window_is_open(g.ctx, id));
    q_gui_draw_detached(g.ctx);
    EXPECT_EQ(q_gui_count_detached(g.ctx), 0);
    EXPECT_FLOAT_EQ(w->x, 50);
    EXPECT_FLOAT_EQ(w->w, 300);
}

TEST(GuiWindow, SetRectScalesWidgetsOnTheChosenAxes) {
    Gui g;
    const int id = q_gui_add_window(g.ctx, "w", 0, 0, 200, 100);
    const int b = q_gui_add_button(g.ctx, id, "B", 20, 10, 100, 40, 0, nullptr, nullptr);
    const Q_GUI_WIDGET *w = q_gui_get_widget(g.ctx, b);
    struct {
        float ww, wh;
        int sx, sy;
        float x, y, w, h;
    } steps[] = {
        {400, 200, 1, 0, 40, 10, 200, 40}, // x follows, y is kept and becomes the new fraction
        {200, 100, 1, 1, 20, 5, 100, 20},  // both follow from the fractions
        {100, 100, 0, 1, 20, 5, 100, 20},  // y fractions of a same-height window: unchanged
    };
    for (const auto &s : steps) {
        q_gui_window_set_rect_axes(g.ctx, id, 10, 10, s.ww, s.wh, s.sx, s.sy);
        EXPECT_FLOAT_EQ(w->x, s.x);
        EXPECT_FLOAT_EQ(w->y, s.y);
        EXPECT_FLOAT_EQ(w->w, s.w);
        EXPECT_FLOAT_EQ(w->h, s.h);
    }
    // The display rectangle of a widget goes through the letterbox.
    q_gui_set_virtual_size(g.ctx, 400, 400);
    float x, y, ww, hh;
    ASSERT_EQ(q_gui_widget_screen_rect(g.ctx, b, &x, &y, &ww, &hh), 1);
    EXPECT_FLOAT_EQ(x, 100 + (10 + 20) * 1.5f); // bars of 100 px left and right
    EXPECT_FLOAT_EQ(y, (10 + 28 + 5) * 1.5f);
    EXPECT_FLOAT_EQ(ww, 150);
    q_gui_close_window(g.ctx, id);
    EXPECT_EQ(q_gui_widget_screen_rect(g.ctx, b, &x, &y, &ww, &hh), 0);
}
