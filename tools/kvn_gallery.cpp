// kvn_gallery: builds a scene that shows what the toolkit draws (every z
// mode, a detached native window, a minimized window, a window with a grip
// and scroll bars, an open pop-up menu with its submenu, a tooltip) and writes
// the main display's back buffer to the PNG named on the command line.
//
// usage: kvn_gallery out.png [font.ttf]
// Needs an X display (CI runs it under xvfb-run).

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <cstdio>
#include <cstring>
#include <memory>

#include "q_common.h"
#include "q_gui.h"
#include "q_gui_popup.h"

namespace {
struct BITMAP_DELETER {
    void operator()(ALLEGRO_BITMAP *b) const { al_destroy_bitmap(b); }
};
struct FONT_DELETER {
    void operator()(ALLEGRO_FONT *f) const { al_destroy_font(f); }
};
struct DISPLAY_DELETER {
    void operator()(ALLEGRO_DISPLAY *d) const { al_destroy_display(d); }
};
struct QUEUE_DELETER {
    void operator()(ALLEGRO_EVENT_QUEUE *q) const { al_destroy_event_queue(q); }
};
using BITMAP_PTR = std::unique_ptr<ALLEGRO_BITMAP, BITMAP_DELETER>;

const int k_w = 1280, k_h = 800;

// The detached window's pixels, copied from its native back buffer while it is
// being drawn (before its flip), so the PNG can show it beside the scene.
BITMAP_PTR g_native_shot;

void _grab_native(int window_id, void *user) {
    Q_GUI_CTX *ctx = static_cast<Q_GUI_CTX *>(user);
    ALLEGRO_DISPLAY *d = q_gui_window_get_display(ctx, window_id);
    if (!d) return;
    ALLEGRO_BITMAP *bb = al_get_backbuffer(d);
    const int w = al_get_bitmap_width(bb), h = al_get_bitmap_height(bb);
    ALLEGRO_LOCKED_REGION *src = al_lock_bitmap(bb, ALLEGRO_PIXEL_FORMAT_ABGR_8888, ALLEGRO_LOCK_READONLY);
    if (!src) return;
    const int flags = al_get_new_bitmap_flags();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP *copy = al_create_bitmap(w, h);
    al_set_new_bitmap_flags(flags);
    if (copy) {
        ALLEGRO_LOCKED_REGION *dst =
            al_lock_bitmap(copy, ALLEGRO_PIXEL_FORMAT_ABGR_8888, ALLEGRO_LOCK_WRITEONLY);
        if (dst) {
            for (int y = 0; y < h; y++)
                memcpy((char *)dst->data + y * dst->pitch, (const char *)src->data + y * src->pitch,
                       (size_t)w * 4);
            al_unlock_bitmap(copy);
        }
    }
    al_unlock_bitmap(bb);
    g_native_shot.reset(copy);
}

void _noop_pick(Q_GUI_POPUP *, int, void *) {}

void _mouse_move(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *d, int x, int y, double t) {
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
    ev.mouse.x = x;
    ev.mouse.y = y;
    ev.mouse.display = d;
    ev.any.timestamp = t;
    q_gui_process_event(ctx, &ev);
}

int _labelled_window(Q_GUI_CTX *ctx, const char *title, float x, float y, float w, float h,
                     const char *text) {
    const int id = q_gui_add_window(ctx, title, x, y, w, h);
    q_gui_add_label(ctx, id, text, 8, 8, w - 16, h - 44, 3);
    return id;
}

// Builds the scene; returns the popup (owned by the caller).
Q_GUI_POPUP *_build(Q_GUI_CTX *ctx, int *tooltip_button) {
    // ALWAYS_BEHIND: a desktop-like backdrop.
    const int back = _labelled_window(ctx, "Always behind", 20, 20, 520, 300,
                                      "ALWAYS_BEHIND stays under every other window, even when raised. "
                                      "This paragraph wraps inside the label's width (alignment 3).");
    q_gui_window_set_zorder(ctx, back, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
    q_gui_add_label(ctx, back, "Left", 8, 120, 160, 24, 0);
    q_gui_add_label(ctx, back, "Centred", 8, 150, 160, 24, 1);
    q_gui_add_label(ctx, back, "Right", 8, 180, 160, 24, 2);
    const int link = q_gui_add_label(ctx, back, "A link label", 8, 210, 160, 24, 0);
    q_gui_label_set_link(ctx, link, "https://example.invalid", nullptr, nullptr);

    // Two FIXED windows: z value 2 draws above z value 1 whatever the order.
    const int f2 = _labelled_window(ctx, "Fixed z=2", 300, 150, 200, 120, "FIXED, z value 2");
    const int f1 = _labelled_window(ctx, "Fixed z=1", 240, 110, 200, 120, "FIXED, z value 1");
    q_gui_window_set_zorder(ctx, f2, Q_GUI_ZORDER_FIXED, 2);
    q_gui_window_set_zorder(ctx, f1, Q_GUI_ZORDER_FIXED, 1);

    // NORMAL with the three title-bar buttons and the button states.
    const int buttons = q_gui_add_window(ctx, "Buttons (NORMAL, min/max/close)", 560, 40, 400, 230);
    q_gui_window_set_flags(ctx, buttons,
                           Q_GUI_WIN_MINIMIZE_BTN | Q_GUI_WIN_MAXIMIZE_BTN | Q_GUI_WIN_CLOSE_BTN);
    q_gui_add_label(ctx, buttons, "Normal, toggled, focused, disabled:", 10, 8, 380, 22, 0);
    const int b1 = q_gui_add_button(ctx, buttons, "Normal", 10, 40, 110, 30, 0, nullptr, nullptr);
    const int b2 = q_gui_add_button(ctx, buttons, "Toggled", 130, 40, 110, 30, 0, nullptr, nullptr);
    q_gui_button_set_toggle(ctx, b2, 1);
    q_gui_button_set_toggled(ctx, b2, 1);
    const int b3 = q_gui_add_button(ctx, buttons, "Focused", 250, 40, 110, 30, 0, nullptr, nullptr);
    const int b4 = q_gui_add_button(ctx, buttons, "Disabled", 10, 80, 110, 30, 0, nullptr, nullptr);
    q_gui_widget_set_enabled(ctx, b4, 0);
    const int b5 = q_gui_add_button(ctx, buttons, "Hover me", 130, 80, 110, 30, 0, nullptr, nullptr);
    q_gui_widget_set_tooltip(ctx, b5, "Tooltips appear after 0.6 s of hovering and wrap at 480 px.");
    q_gui_set_focus(ctx, b3);
    (void)b1;
    *tooltip_button = b5;

    // NORMAL, resizable with a grip, content larger than the body.
    const int grip = q_gui_add_window(ctx, "Grip and scroll bars", 40, 360, 300, 220);
    q_gui_window_set_flags(ctx, grip, Q_GUI_WIN_RESIZABLE | Q_GUI_WIN_SCROLLABLE | Q_GUI_WIN_CLOSE_BTN);
    for (int i = 0; i < 8; i++) {
        char text[64];
        q_format(text, sizeof text, "Row %d of a long content list", i + 1);
        q_gui_add_label(ctx, grip, text, 8, 8 + 30.0f * (float)i, 380, 24, 0);
    }
    q_gui_window_set_scroll(ctx, grip, 0, 40);

    // ALWAYS_ON_TOP over the FIXED and NORMAL ones.
    const int top =
        _labelled_window(ctx, "Always on top", 430, 230, 220, 110, "ALWAYS_ON_TOP sits over NORMAL");
    q_gui_window_set_zorder(ctx, top, Q_GUI_ZORDER_ALWAYS_ON_TOP, 0);

    // Minimized: only its title bar.
    const int mini = _labelled_window(ctx, "Minimized window", 360, 610, 260, 160, "hidden while minimized");
    q_gui_window_set_flags(ctx, mini, Q_GUI_WIN_MINIMIZE_BTN | Q_GUI_WIN_CLOSE_BTN);
    q_gui_window_set_minimized(ctx, mini, 1);

    // Title-less, rounded window.
    const int bare = _labelled_window(ctx, "", 680, 600, 240, 80, "No title bar: drag me by this label");
    q_gui_window_set_flags(ctx, bare, Q_GUI_WIN_NO_TITLEBAR);

    // Detached into a native window; its picture is pasted into the PNG.
    const int native = q_gui_add_window(ctx, "Detached window", 980, 420, 260, 168);
    q_gui_add_label(ctx, native, "Drawn in its own X11 window", 10, 10, 240, 24, 0);
    q_gui_add_button(ctx, native, "Native button", 10, 50, 140, 30, 0, nullptr, nullptr);
    q_gui_window_set_content_draw_callback(ctx, native, _grab_native, ctx);
    if (q_gui_window_detach(ctx, native, Q_GUI_DETACH_RESIZABLE) != 0)
        fprintf(stderr, "kvn_gallery: the detached window could not be created\n");

    // A pop-up menu with a checked item, a disabled one, separators and an
    // open submenu.
    Q_GUI_POPUP *p = q_gui_popup_new(ctx, 1, _noop_pick, nullptr);
    q_gui_popup_add_item(p, 0, "Open", 1, "Open the selected resource");
    const int check = q_gui_popup_add_item(p, 0, "Show details", 2, nullptr);
    q_gui_popup_set_checked(p, check, 1);
    q_gui_popup_add_separator(p, 0);
    const int off = q_gui_popup_add_item(p, 0, "Delete (disabled)", 3, nullptr);
    q_gui_popup_set_enabled(p, off, 0);
    const int sub = q_gui_popup_add_submenu(p, 0, "Actions", nullptr);
    q_gui_popup_add_item(p, sub, "Reboot", 10, nullptr);
    q_gui_popup_add_item(p, sub, "Shelve", 11, nullptr);
    q_gui_popup_add_separator(p, sub);
    q_gui_popup_add_item(p, sub, "Rebuild...", 12, nullptr);
    q_gui_popup_open_at(p, 1000, 60);
    q_gui_popup_activate(p, sub);
    return p;
}
} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s out.png [font.ttf]\n", argv[0]);
        return 2;
    }
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon() ||
        !al_init_image_addon()) {
        fprintf(stderr, "kvn_gallery: cannot initialize Allegro\n");
        return 1;
    }
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
    std::unique_ptr<ALLEGRO_DISPLAY, DISPLAY_DELETER> display(al_create_display(k_w, k_h));
    if (!display) {
        fprintf(stderr, "kvn_gallery: cannot create the display (is DISPLAY set?)\n");
        return 1;
    }
    const char *font_path = argc > 2 ? argv[2] : KVN_GALLERY_FONT;
    std::unique_ptr<ALLEGRO_FONT, FONT_DELETER> font(al_load_ttf_font(font_path, 14, 0));
    if (!font) font.reset(al_create_builtin_font());
    std::unique_ptr<ALLEGRO_EVENT_QUEUE, QUEUE_DELETER> queue(al_create_event_queue());

    Q_GUI_CTX *ctx = q_gui_new_ctx(font.get());
    if (!ctx) return 1;
    q_gui_set_display(ctx, display.get());
    q_gui_set_display_size(ctx, k_w, k_h);
    q_gui_detect_dpi_scale(ctx, display.get());
    q_gui_set_resize_mode(ctx, 1);
    q_gui_set_event_queue(ctx, queue.get());

    int tip_button = -1;
    Q_GUI_POPUP *popup = _build(ctx, &tip_button);

    // Hover the tooltip button long enough ago that its tooltip is due.
    while (al_get_time() < 1.0)
        al_rest(0.05);
    float bx = 0, by = 0, bw = 0, bh = 0;
    q_gui_widget_screen_rect(ctx, tip_button, &bx, &by, &bw, &bh);
    _mouse_move(ctx, display.get(), (int)(bx + bw / 2), (int)(by + bh / 2), 0.001);

    al_set_target_backbuffer(display.get());
    al_clear_to_color(al_map_rgb(22, 24, 29));
    q_gui_draw(ctx);
    q_gui_draw_detached(ctx);
    al_set_target_backbuffer(display.get());
    if (g_native_shot) {
        // The native window, framed and captioned, in the lower right corner.
        const float sw = (float)al_get_bitmap_width(g_native_shot.get());
        const float sh = (float)al_get_bitmap_height(g_native_shot.get());
        const float x = k_w - sw - 30, y = k_h - sh - 40;
        al_draw_filled_rectangle(x - 4, y - 22, x + sw + 4, y + sh + 4, al_map_rgb(200, 200, 205));
        al_draw_text(font.get(), al_map_rgb(20, 20, 20), x, y - 19, 0, "native X11 window (detached):");
        al_draw_bitmap(g_native_shot.get(), x, y, 0);
    }
    const bool saved = al_save_bitmap(argv[1], al_get_backbuffer(display.get()));
    q_gui_popup_destroy(&popup);
    q_gui_destroy_ctx(&ctx);
    g_native_shot.reset();
    if (!saved) {
        fprintf(stderr, "kvn_gallery: cannot write %s\n", argv[1]);
        return 1;
    }
    printf("kvn_gallery: wrote %s\n", argv[1]);
    return 0;
}
