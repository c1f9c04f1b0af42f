// Data grid at cloud scale: 100,000 rows x 8 columns. Prints the time to add
// the rows, to sort by a text column and by a numeric column, the resident
// memory before and after filling, and the frame cost while scrolled to the
// middle as a ratio against the same grid holding 100 rows (drawn
// interleaved in the same run).
//
// usage: bench_datagrid [rows] [frames]   (needs an X display;
// bench/bench_datagrid.sh runs it under xvfb-run)

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
const int k_cols = 8, k_w = 1280, k_h = 800;

long _rss_kib() {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, "VmRSS:", 6)) kib = atol(line + 6);
    fclose(f);
    return kib;
}

// Cells like a server list: name, id, status, flavor, image, a number, zone,
// address. Deterministic pseudo-random so runs compare.
void _fill(Q_GUI_CTX *ctx, int grid, int rows) {
    static const char *const status[] = {"ACTIVE", "SHUTOFF", "ERROR", "BUILD", "active"};
    static const char *const flavor[] = {"m1.small", "m1.large", "c4.xlarge", "g1.gpu"};
    unsigned seed = 12345;
    char cells[k_cols][64];
    const char *ptrs[k_cols];
    for (int c = 0; c < k_cols; c++)
        ptrs[c] = cells[c];
    for (int r = 0; r < rows; r++) {
        seed = seed * 1103515245u + 12345u;
        const unsigned v = seed >> 8;
        snprintf(cells[0], sizeof cells[0], "server-%c%c-%u", 'a' + v % 26, 'a' + (v / 26) % 26, v % 100000);
        snprintf(cells[1], sizeof cells[1], "%08x-%04x-4%03x-a%03x-%012x", v, v & 0xffff, v & 0xfff,
                 (v >> 4) & 0xfff, v * 2654435761u);
        snprintf(cells[2], sizeof cells[2], "%s", status[v % 5]);
        snprintf(cells[3], sizeof cells[3], "%s", flavor[(v / 5) % 4]);
        snprintf(cells[4], sizeof cells[4], "debian-12-%u", v % 7);
        snprintf(cells[5], sizeof cells[5], "%u", v % 1000000);
        snprintf(cells[6], sizeof cells[6], "zone-%u", v % 3);
        snprintf(cells[7], sizeof cells[7], "10.%u.%u.%u", (v >> 16) & 255, (v >> 8) & 255, v & 255);
        q_gui_datagrid_add_row(ctx, grid, ptrs);
    }
}

int _grid(Q_GUI_CTX *ctx, int win) {
    const int g = q_gui_add_datagrid(ctx, win, 0, 0, 620, 740, nullptr, nullptr);
    static const char *const titles[k_cols] = {"Name",  "ID",   "Status", "Flavor",
                                               "Image", "Size", "Zone",   "Address"};
    for (const char *t : titles)
        q_gui_datagrid_add_column(ctx, g, t, 110);
    return g;
}

void _finish(ALLEGRO_DISPLAY *d) {
    ALLEGRO_BITMAP *bb = al_get_backbuffer(d);
    ALLEGRO_LOCKED_REGION *r =
        al_lock_bitmap_region(bb, 0, 0, 1, 1, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    if (r) al_unlock_bitmap(bb);
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv) {
    const int rows = argc > 1 ? atoi(argv[1]) : 100000;
    const int frames = argc > 2 ? atoi(argv[2]) : 60;
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon()) return 1;
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
    ALLEGRO_DISPLAY *d = al_create_display(k_w, k_h);
    if (!d) {
        fprintf(stderr, "bench_datagrid: no display\n");
        return 1;
    }
    ALLEGRO_FONT *font = al_load_ttf_font("/usr/share/fonts/opentype/inter/Inter-Regular.otf", 14, 0);
    if (!font) font = al_create_builtin_font();
    Q_GUI_CTX *ctx = q_gui_new_ctx(font);
    q_gui_set_display(ctx, d);
    q_gui_set_display_size(ctx, k_w, k_h);
    const int big_win = q_gui_add_window(ctx, "big", 0, 0, 630, 780);
    const int small_win = q_gui_add_window(ctx, "small", 640, 0, 630, 780);
    const int big = _grid(ctx, big_win), small = _grid(ctx, small_win);

    const long rss0 = _rss_kib();
    double t0 = al_get_time();
    _fill(ctx, big, rows);
    const double t_add = al_get_time() - t0;
    const long rss1 = _rss_kib();
    _fill(ctx, small, 100);

    t0 = al_get_time();
    q_gui_datagrid_sort(ctx, big, 0, 1);
    const double t_sort_text = al_get_time() - t0;
    t0 = al_get_time();
    q_gui_datagrid_sort(ctx, big, 5, 1);
    const double t_sort_num = al_get_time() - t0;
    t0 = al_get_time();
    q_gui_datagrid_sort(ctx, big, 2, -1);
    const double t_sort_status = al_get_time() - t0;

    q_gui_datagrid_scroll_to_row(ctx, big, rows / 2);
    q_gui_datagrid_scroll_to_row(ctx, small, 50);
    std::vector<double> fb, fs;
    for (int f = 0; f < frames; f++) {
        // Each frame draws one of the two windows; interleaved so both see
        // the same load.
        for (int which = 0; which < 2; which++) {
            q_gui_close_window(ctx, which ? big_win : small_win);
            q_gui_open_window(ctx, which ? small_win : big_win);
            al_set_target_backbuffer(d);
            al_clear_to_color(al_map_rgb(0, 0, 0));
            t0 = al_get_time();
            q_gui_draw(ctx);
            _finish(d);
            (which ? fs : fb).push_back(al_get_time() - t0);
            al_flip_display();
        }
    }
    const double mb = _median(fb), ms = _median(fs);
    printf("rows %d x %d columns: add %.1f ms, RSS %ld KiB -> %ld KiB (+%ld KiB, %.0f bytes/row)\n", rows,
           k_cols, t_add * 1e3, rss0, rss1, rss1 - rss0, (double)(rss1 - rss0) * 1024.0 / rows);
    printf("sort: text column %.1f ms, numeric column %.1f ms, status column descending %.1f ms\n",
           t_sort_text * 1e3, t_sort_num * 1e3, t_sort_status * 1e3);
    printf("frame scrolled to the middle: %d rows %.3f ms, 100 rows %.3f ms, ratio %.2f\n", rows, mb * 1e3,
           ms * 1e3, mb / ms);
    q_gui_destroy_ctx(&ctx);
    al_destroy_font(font);
    al_destroy_display(d);
    return 0;
}
