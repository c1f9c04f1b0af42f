// The idle peers: an Allegro program with Kelvane's display (size, flags),
// add-ons and fonts (the interface font, the monospace one and the CJK
// fallback) that sits in its event loop with a 30 Hz timer, as Kelvane does.
// With "--every-tick" it redraws on every tick, as a naive loop would; by
// default it redraws only when the display asks for its picture again.
// It says "first frame drawn" on stderr and ends on SIGTERM.
//
// usage: bench_bare_idle <fonts folder> [--every-tick]
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
volatile sig_atomic_t g_stop = 0;
void on_stop(int) {
    g_stop = 1;
}

void draw(ALLEGRO_FONT *font, int frame) {
    al_clear_to_color(al_map_rgb(22, 24, 29));
    al_draw_filled_rectangle(0, 0, 1400, 40, al_map_rgb(40, 44, 52));
    al_draw_textf(font, al_map_rgb(220, 220, 220), 10, 12, 0, "Idle peer, frame %d", frame);
    al_flip_display();
}
} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <fonts folder> [--every-tick]\n", argv[0]);
        return 2;
    }
    const bool every_tick = argc > 2 && !strcmp(argv[2], "--every-tick");
    signal(SIGTERM, on_stop);
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon() ||
        !al_init_image_addon() || !al_install_keyboard() || !al_install_mouse())
        return 1;
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL | ALLEGRO_RESIZABLE);
    ALLEGRO_DISPLAY *d = al_create_display(1400, 860);
    if (!d) return 1;
    const std::string dir = argv[1];
    ALLEGRO_FONT *ui = al_load_ttf_font((dir + "/inter.ttf").c_str(), 14, 0);
    ALLEGRO_FONT *mono = al_load_ttf_font((dir + "/jetbrainsmono.ttf").c_str(), 13, 0);
    ALLEGRO_FONT *cjk = al_load_ttf_font("/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf", 13, 0);
    if (!ui) ui = al_create_builtin_font();
    if (cjk) {
        al_set_fallback_font(ui, cjk);
        if (mono) al_set_fallback_font(mono, cjk);
    }
    ALLEGRO_EVENT_QUEUE *q = al_create_event_queue();
    ALLEGRO_TIMER *t = al_create_timer(1.0 / 30.0);
    al_register_event_source(q, al_get_display_event_source(d));
    al_register_event_source(q, al_get_timer_event_source(t));
    al_register_event_source(q, al_get_keyboard_event_source());
    al_register_event_source(q, al_get_mouse_event_source());
    al_start_timer(t);
    int frame = 0;
    draw(ui, frame++);
    fprintf(stderr, "first frame drawn\n");
    fflush(stderr);
    while (!g_stop) {
        ALLEGRO_EVENT ev;
        al_wait_for_event(q, &ev);
        if (ev.type == ALLEGRO_EVENT_DISPLAY_CLOSE) break;
        if (ev.type == ALLEGRO_EVENT_DISPLAY_RESIZE) al_acknowledge_resize(d);
        const bool asked = ev.type == ALLEGRO_EVENT_DISPLAY_EXPOSE ||
                           ev.type == ALLEGRO_EVENT_DISPLAY_RESIZE ||
                           ev.type == ALLEGRO_EVENT_DISPLAY_SWITCH_IN;
        if (asked || (every_tick && ev.type == ALLEGRO_EVENT_TIMER)) draw(ui, frame++);
    }
    al_destroy_timer(t);
    al_destroy_event_queue(q);
    if (mono) al_destroy_font(mono);
    al_destroy_font(ui);
    if (cjk) al_destroy_font(cjk);
    al_destroy_display(d);
    return 0;
}
