#pragma once
// The real Allegro display and font the gui test programs draw into: one
// display for the whole program, made before the first test and destroyed
// after the last, since Allegro cannot be set up again once shut down.

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <cstring>
#include <gtest/gtest.h>

inline ALLEGRO_DISPLAY *g_display = nullptr;
inline ALLEGRO_FONT *g_font = nullptr;
inline constexpr int k_dw = 800, k_dh = 600;

class GuiEnv : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(al_init());
        ASSERT_TRUE(al_init_font_addon());
        ASSERT_TRUE(al_init_primitives_addon());
        al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
        g_display = al_create_display(k_dw, k_dh);
        ASSERT_NE(g_display, nullptr);
        g_font = al_create_builtin_font();
        ASSERT_NE(g_font, nullptr);
    }
    void TearDown() override {
        al_destroy_font(g_font);
        al_destroy_display(g_display);
    }
};
inline const auto *g_env = ::testing::AddGlobalTestEnvironment(new GuiEnv);

// Synthetic input as Allegro delivers it on the test display (fields not
// named are zero).
inline ALLEGRO_EVENT kvn_mouse_event(int type, float x, float y, int button, double t = 0,
                                     ALLEGRO_DISPLAY *d = nullptr) {
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    ev.mouse.x = (int)x;
    ev.mouse.y = (int)y;
    ev.mouse.button = (unsigned)button;
    ev.mouse.display = d ? d : g_display;
    ev.any.timestamp = t;
    return ev;
}
inline ALLEGRO_EVENT kvn_key_event(int type, int keycode, unsigned mods, int unichar, bool repeat = false) {
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    ev.keyboard.keycode = keycode;
    ev.keyboard.modifiers = mods;
    ev.keyboard.unichar = unichar;
    ev.keyboard.repeat = repeat;
    ev.keyboard.display = g_display;
    return ev;
}
