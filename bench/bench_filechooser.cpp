// File chooser at folder scale: a folder of 10,000 files. Prints the time
// from opening the chooser on it to its first drawn frame, the frame cost
// while its list is scrolled to the middle, and both as ratios against the
// same chooser opened on an empty folder (measured interleaved in the same
// run), with the peak resident memory.
//
// usage: bench_filechooser [files] [runs]   (needs an X display;
// bench/bench_filechooser.sh runs it under xvfb-run)

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "q_gui.h"
#include "q_gui_filechooser.h"

namespace {
const int k_w = 1280, k_h = 800;

long _status_kib(const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    const size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, field, n)) kib = atol(line + n);
    fclose(f);
    return kib;
}

// Reads one pixel back so the frame's drawing has really happened.
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

void _done(const char *const *, int, void *) {}

double _draw(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *d) {
    al_set_target_backbuffer(d);
    al_clear_to_color(al_map_rgb(0, 0, 0));
    const double t0 = al_get_time();
    q_gui_draw(ctx);
    _finish(d);
    const double t = al_get_time() - t0;
    al_flip_display();
    return t;
}

// The floor any listing pays: every name of the folder read and examined
// with no chooser around it. Seconds taken.
double _bare_read(const std::string &folder) {
    const double t0 = al_get_time();
    DIR *dir = opendir(folder.c_str());
    if (!dir) return 0;
    long n = 0;
    for (const struct dirent *de; (de = readdir(dir));) {
        struct stat st;
        if (fstatat(dirfd(dir), de->d_name, &st, 0) == 0) n += (long)st.st_size & 1;
    }
    closedir(dir);
    const double t = al_get_time() - t0;
    return n < 0 ? 0 : t;
}

// Opens the chooser on a folder and draws the first frame: seconds taken.
double _open_to_frame(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *d, Q_GUI_FILECHOOSER *fc, const std::string &folder) {
    Q_GUI_FC_OPTIONS o = {};
    o.initial_path = folder.c_str();
    al_set_target_backbuffer(d);
    al_clear_to_color(al_map_rgb(0, 0, 0));
    const double t0 = al_get_time();
    q_gui_filechooser_open(fc, &o, _done, nullptr);
    q_gui_draw(ctx);
    _finish(d);
    const double t = al_get_time() - t0;
    al_flip_display();
    return t;
}
} // namespace

int main(int argc, char **argv) {
    const int files = argc > 1 ? atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? atoi(argv[2]) : 30;
    char tmpl[] = "/tmp/kvn-bench-fc-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string root = tmpl, big = root + "/big", empty = root + "/empty";
    std::filesystem::create_directory(big);
    std::filesystem::create_directory(empty);
    for (int i = 0; i < files; i++) {
        char name[64];
        snprintf(name, sizeof name, "/report-%05d.json", i);
        const int fd = open((big + name).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) {
            if (ftruncate(fd, (off_t)(i * 37 % 100000)) != 0) perror("ftruncate");
            close(fd);
        }
    }

    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon()) return 1;
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
    ALLEGRO_DISPLAY *d = al_create_display(k_w, k_h);
    if (!d) {
        fprintf(stderr, "bench_filechooser: no display\n");
        return 1;
    }
    ALLEGRO_FONT *font = al_load_ttf_font("/usr/share/fonts/opentype/inter/Inter-Regular.otf", 14, 0);
    if (!font) font = al_create_builtin_font();
    Q_GUI_CTX *ctx = q_gui_new_ctx(font);
    q_gui_set_display(ctx, d);
    q_gui_set_display_size(ctx, k_w, k_h);
    Q_GUI_FILECHOOSER *fc_big = q_gui_filechooser_new(ctx, 1);
    Q_GUI_FILECHOOSER *fc_empty = q_gui_filechooser_new(ctx, 1);
    if (!fc_big || !fc_empty) return 1;

    // Warm the glyph cache and the folder's pages once, as a second opening
    // in the program finds them.
    _open_to_frame(ctx, d, fc_big, big);
    q_gui_filechooser_cancel(fc_big);
    _open_to_frame(ctx, d, fc_empty, empty);
    q_gui_filechooser_cancel(fc_empty);

    std::vector<double> ob, oe, obare;
    for (int r = 0; r < runs; r++) {
        obare.push_back(_bare_read(big));
        ob.push_back(_open_to_frame(ctx, d, fc_big, big));
        q_gui_filechooser_cancel(fc_big);
        oe.push_back(_open_to_frame(ctx, d, fc_empty, empty));
        q_gui_filechooser_cancel(fc_empty);
    }

    // Frames: both open in turn, the big list scrolled to its middle.
    _open_to_frame(ctx, d, fc_big, big);
    q_gui_datagrid_scroll_to_row(ctx, fc_big->list, files / 2);
    _open_to_frame(ctx, d, fc_empty, empty);
    std::vector<double> fb, fe;
    for (int f = 0; f < runs * 2; f++) {
        for (int which = 0; which < 2; which++) {
            q_gui_close_window(ctx, which ? fc_big->window : fc_empty->window);
            q_gui_open_window(ctx, which ? fc_empty->window : fc_big->window);
            (which ? fe : fb).push_back(_draw(ctx, d));
        }
    }
    const double mob = _median(ob), moe = _median(oe), mfb = _median(fb), mfe = _median(fe);
    printf("open to first frame: %d files %.1f ms, empty folder %.1f ms, ratio %.2f\n", files, mob * 1e3,
           moe * 1e3, mob / moe);
    printf("bare readdir + fstatat of the %d files %.1f ms: opening costs %.2f times the bare read\n", files,
           _median(obare) * 1e3, mob / _median(obare));
    printf("frame scrolled to the middle: %d files %.3f ms, empty folder %.3f ms, ratio %.2f\n", files,
           mfb * 1e3, mfe * 1e3, mfb / mfe);
    printf("peak RSS %ld KiB\n", _status_kib("VmHWM:"));
    q_gui_filechooser_destroy(&fc_big);
    q_gui_filechooser_destroy(&fc_empty);
    q_gui_destroy_ctx(&ctx);
    al_destroy_font(font);
    al_destroy_display(d);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
