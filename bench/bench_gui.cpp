// Frame cost of the toolkit against drawing the same rectangles and texts
// directly with Allegro in the same run, and the cost of routing mouse moves.
//
// usage: bench_gui [frames]   (needs an X display; bench/bench_gui.sh runs it
// under xvfb-run). Prints medians and the ratio.

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "q_gui.h"

namespace {
const int k_windows = 40, k_widgets = 25, k_w = 1280, k_h = 800;

struct SCENE_RECT {
    float x, y, w, h;
};

// Window i's rectangle: a cascade that covers the display.
SCENE_RECT _win_rect(int i) {
    return {(float)(i % 8) * 140.0f, (float)(i / 8) * 140.0f, 300.0f, 330.0f};
}

SCENE_RECT _widget_rect(int k) {
    return {8.0f + (float)(k % 2) * 140.0f, 6.0f + (float)(k / 2) * 24.0f, 130.0f, 22.0f};
}

void _build(Q_GUI_CTX *ctx) {
    for (int i = 0; i < k_windows; i++) {
        const SCENE_RECT r = _win_rect(i);
        char title[32];
        snprintf(title, sizeof title, "Window %d", i);
        const int id = q_gui_add_window(ctx, title, r.x, r.y, r.w, r.h);
        for (int k = 0; k < k_widgets; k++) {
            const SCENE_RECT c = _widget_rect(k);
            char text[32];
            snprintf(text, sizeof text, "Item %d", k);
            if (k % 2)
                q_gui_add_button(ctx, id, text, c.x, c.y, c.w, c.h, 0, nullptr, nullptr);
            else
                q_gui_add_label(ctx, id, text, c.x, c.y, c.w, c.h, 0);
        }
    }
}

// The same shapes and texts, drawn straight with Allegro.
void _draw_direct(ALLEGRO_FONT *font) {
    const ALLEGRO_COLOR body = al_map_rgba(50, 50, 60, 230), bar = al_map_rgba(90, 90, 110, 250);
    const ALLEGRO_COLOR border = al_map_rgba(120, 120, 140, 255), text = al_map_rgba(220, 220, 220, 255);
    const float lh = (float)al_get_font_line_height(font);
    for (int i = 0; i < k_windows; i++) {
        const SCENE_RECT r = _win_rect(i);
        char title[32];
        snprintf(title, sizeof title, "Window %d", i);
        al_draw_filled_rectangle(r.x, r.y + 28, r.x + r.w, r.y + r.h, body);
        al_draw_filled_rectangle(r.x, r.y, r.x + r.w, r.y + 28, bar);
        al_draw_text(font, text, r.x + 8, r.y + (28 - lh) / 2, 0, title);
        al_set_clipping_rectangle((int)r.x, (int)r.y + 28, (int)r.w, (int)r.h - 28);
        for (int k = 0; k < k_widgets; k++) {
            const SCENE_RECT c = _widget_rect(k);
            const float x = r.x + c.x, y = r.y + 28 + c.y;
            char label[32];
            snprintf(label, sizeof label, "Item %d", k);
            if (k % 2) {
                al_draw_filled_rounded_rectangle(x, y, x + c.w, y + c.h, 4, 4, body);
                al_draw_rounded_rectangle(x + 0.5f, y + 0.5f, x + c.w - 0.5f, y + c.h - 0.5f, 4, 4, border,
                                          1);
                al_draw_text(font, text, x + c.w / 2, y + (c.h - lh) / 2, ALLEGRO_ALIGN_CENTRE, label);
            } else {
                al_draw_text(font, text, x + 4, y + (c.h - lh) / 2, 0, label);
            }
        }
        al_reset_clipping_rectangle();
        al_draw_rectangle(r.x, r.y, r.x + r.w, r.y + r.h, border, 1);
    }
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Waits for the GPU (Mesa under Xvfb) so a frame's time includes its drawing.
void _finish(ALLEGRO_DISPLAY *d) {
    ALLEGRO_BITMAP *bb = al_get_backbuffer(d);
    ALLEGRO_LOCKED_REGION *r =
        al_lock_bitmap_region(bb, 0, 0, 1, 1, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    if (r) al_unlock_bitmap(bb);
}
} // namespace

int main(int argc, char **argv) {
    const int frames = argc > 1 ? atoi(argv[1]) : 60;
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon()) return 1;
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
    ALLEGRO_DISPLAY *d = al_create_display(k_w, k_h);
    if (!d) {
        fprintf(stderr, "bench_gui: no display\n");
        return 1;
    }
    ALLEGRO_FONT *font =
        al_load_ttf_font(argc > 2 ? argv[2] : "/usr/share/fonts/opentype/inter/Inter-Regular.otf", 14, 0);
    if (!font) font = al_create_builtin_font();
    Q_GUI_CTX *ctx = q_gui_new_ctx(font);
    q_gui_set_display(ctx, d);
    q_gui_set_display_size(ctx, k_w, k_h);
    _build(ctx);

    std::vector<double> gui, direct;
    for (int f = 0; f < frames; f++) {
        // Interleaved so both see the same machine load.
        al_set_target_backbuffer(d);
        al_clear_to_color(al_map_rgb(0, 0, 0));
        double t0 = al_get_time();
        q_gui_draw(ctx);
        _finish(d);
        gui.push_back(al_get_time() - t0);
        al_flip_display();

        al_clear_to_color(al_map_rgb(0, 0, 0));
        t0 = al_get_time();
        _draw_direct(font);
        _finish(d);
        direct.push_back(al_get_time() - t0);
        al_flip_display();
    }
    const double mg = _median(gui), md = _median(direct);

    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
    ev.mouse.display = d;
    const int moves = 10000;
    const double t0 = al_get_time();
    for (int i = 0; i < moves; i++) {
        ev.mouse.x = (i * 37) % k_w;
        ev.mouse.y = (i * 53) % k_h;
        ev.any.timestamp = t0;
        q_gui_process_event(ctx, &ev);
    }
    const double per_event = (al_get_time() - t0) / moves;

    printf("frame (%d windows x %d widgets): toolkit %.3f ms, direct Allegro %.3f ms, ratio %.2f\n",
           k_windows, k_widgets, mg * 1e3, md * 1e3, mg / md);
    printf("routing %d mouse moves: %.2f us per event\n", moves, per_event * 1e6);
    q_gui_destroy_ctx(&ctx);
    al_destroy_font(font);
    al_destroy_display(d);
    return 0;
}
