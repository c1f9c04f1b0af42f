// The console window under load, against peers measured in the same run:
//
// - frame time (console tick + drawing of the whole display, pixels read
//   back) at the first grid of 100 x 32 cells while 10 MB/s of busy console
//   output arrives, paced by the program's 30 Hz frame timer, against the
//   same console idle with the screen the flood left;
// - bytes per second from the server into the terminal cells, frames back
//   to back and at the program's 30 Hz, against the terminal model's own
//   parse rate (kvn_term_feed alone, in the console thread's 16 KiB pieces,
//   on the same bytes).
//
// The output is the flood of tests/ws_server.py (log lines, colours, cursor
// moves, wide characters, invalid UTF-8, escape garbage); the script gives
// its block as a file, written by that server, so both sides see the same
// bytes. Frames are given in wall-clock time (the drawing happens partly
// outside this process) and in the main thread's CPU time, which on a
// loaded machine leaves out the time the thread waited for a core.
//
// usage: bench_console PORT BLOCKFILE [seconds per round] [rounds] [MiB]
//        (needs an X display; bench/bench_console.sh runs it)

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_term.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_term.h"
#include "kvn_theme.h"
#include "q_gui.h"

namespace {
const int k_w = 1280, k_h = 800;
const double k_frame = 1.0 / 30; // the program's frame timer
const double k_rate = 10e6;      // bytes per second of the paced flood
const char *const k_end = "\r\nflood end\r\n";

double _median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string _read(const char *path) {
    std::string out;
    FILE *f = fopen(path, "rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

KVN_GUI_TERM_IDS _ids() {
    KVN_GUI_TERM_IDS ids;
    kvn_gui_term_ids(&ids);
    return ids;
}

double _thread_cpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

// One frame as the program's loop makes it, the pixels read back so the
// drawing has really happened. Returns its wall time; *cpu gets the main
// thread's CPU time.
double _frame(KVN_APP *app, double *cpu = nullptr) {
    al_set_target_backbuffer(app->display);
    const double c0 = _thread_cpu();
    const double t0 = al_get_time();
    kvn_jobs_deliver();
    kvn_gui_term_tick();
    al_clear_to_color(kvn_theme_current()->background);
    q_gui_draw(app->gui);
    ALLEGRO_BITMAP *bb = al_get_backbuffer(app->display);
    if (al_lock_bitmap_region(bb, 0, 0, 1, 1, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY))
        al_unlock_bitmap(bb);
    const double t = al_get_time() - t0;
    if (cpu) *cpu = _thread_cpu() - c0;
    al_flip_display();
    return t;
}

void _wait_until(double when) {
    const double left = when - al_get_time();
    if (left > 0) al_rest(left);
}

bool _open(int port, const std::string &path) {
    const std::string url = "ws://127.0.0.1:" + std::to_string(port) + path;
    if (kvn_gui_term_open_url(KVN_CONSOLE_SERIAL, url.c_str(), "bench") != 0) return false;
    const double give_up = al_get_time() + 60;
    while (!_ids().linked) {
        if (al_get_time() > give_up) return false;
        kvn_jobs_deliver();
        kvn_gui_term_tick();
        al_rest(0.005);
    }
    return true;
}

// Seconds from the console's opening until every byte of the flood is in
// the cells; frames paced at 30 Hz or back to back. -1 on a failure.
double _end_to_end(KVN_APP *app, int port, size_t block, long long count, bool paced) {
    const std::string path = "/flood?size=" + std::to_string(block) + "&count=" + std::to_string(count);
    const long long total = (long long)block * count + (long long)strlen(k_end);
    const double t0 = al_get_time();
    if (!_open(port, path)) return -1;
    double next = al_get_time();
    const double give_up = t0 + 600;
    while (_ids().fed < total) {
        if (al_get_time() > give_up) return -1;
        if (paced) {
            next += k_frame;
            _wait_until(next);
        }
        _frame(app);
    }
    const double t = al_get_time() - t0;
    kvn_gui_term_close();
    return t;
}
} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: bench_console PORT BLOCKFILE [seconds] [rounds] [MiB]\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const std::string block = _read(argv[2]);
    const double seconds = argc > 3 ? atof(argv[3]) : 3;
    const int rounds = argc > 4 ? atoi(argv[4]) : 5;
    const long long mib = argc > 5 ? atoll(argv[5]) : 64;
    if (block.empty()) {
        fprintf(stderr, "bench_console: cannot read %s\n", argv[2]);
        return 1;
    }
    char home[] = "/tmp/kvn-bench-console-XXXXXX";
    if (!mkdtemp(home)) return 1;
    setenv("KVN_HOME", home, 1);
    kvn_paths_init();
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon()) return 1;
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_config_load(&app.config);
    app.display = al_create_display(k_w, k_h);
    if (!app.display) {
        fprintf(stderr, "bench_console: no display\n");
        return 1;
    }
    app.ui_font = al_load_ttf_font("/usr/share/fonts/opentype/inter/Inter-Regular.otf", 14, 0);
    if (!app.ui_font) app.ui_font = al_create_builtin_font();
    app.mono_font =
        al_load_ttf_font("/usr/share/fonts/truetype/jetbrains-mono/JetBrainsMono-Regular.ttf", 13, 0);
    app.gui = q_gui_new_ctx(app.ui_font);
    q_gui_set_display(app.gui, app.display);
    q_gui_set_display_size(app.gui, k_w, k_h);
    kvn_app_publish(&app);
    kvn_theme_apply(app.gui, KVN_THEME_DARK);
    if (kvn_jobs_init(2) != 0) return 1;

    // Frame time: each round floods at 10 MB/s for the given seconds, then
    // the server holds the console open and quiet.
    const long long per_round = std::max(1LL, (long long)(seconds * k_rate / (double)block.size()));
    const std::string paced = "/flood?size=" + std::to_string(block.size()) +
                              "&count=" + std::to_string(per_round) +
                              "&rate=" + std::to_string((long long)k_rate) + "&hold=1";
    const long long round_total = per_round * (long long)block.size() + (long long)strlen(k_end);
    std::vector<double> busy, idle, busy_cpu, idle_cpu, fed_per_frame;
    int columns = 0, rows = 0;
    for (int r = 0; r < rounds; r++) {
        if (!_open(port, paced)) {
            fprintf(stderr, "bench_console: the console did not open\n");
            return 1;
        }
        columns = _ids().columns;
        rows = _ids().rows;
        double next = al_get_time();
        long long last = 0;
        const double give_up = al_get_time() + seconds * 20 + 60;
        while (_ids().fed < round_total && al_get_time() < give_up) {
            next += k_frame;
            _wait_until(next);
            double cpu = 0;
            const double t = _frame(&app, &cpu);
            const long long fed = _ids().fed;
            if (fed > last) {
                busy.push_back(t);
                busy_cpu.push_back(cpu);
                fed_per_frame.push_back((double)(fed - last));
            }
            last = fed;
        }
        for (int i = 0; i < 30; i++) {
            next += k_frame;
            _wait_until(next);
            double cpu = 0;
            idle.push_back(_frame(&app, &cpu));
            idle_cpu.push_back(cpu);
        }
        kvn_gui_term_close();
    }
    const double fb = _median(busy), fi = _median(idle);
    printf("console %dx%d cells, %.1f KiB block of mixed output, %d rounds of %.0f s\n", columns, rows,
           block.size() / 1024.0, rounds, seconds);
    printf("frame at 30 Hz while 10 MB/s arrives: %.2f ms (%.0f KiB fed per frame), idle console: %.2f ms, "
           "ratio %.2f (medians of %zu and %zu frames; goal <= 1.5)\n",
           fb * 1e3, _median(fed_per_frame) / 1024, fi * 1e3, fi > 0 ? fb / fi : 0, busy.size(), idle.size());
    const double cb = _median(busy_cpu), ci = _median(idle_cpu);
    printf("the same frames in main-thread CPU time: %.2f ms while fed, %.2f ms idle, ratio %.2f\n", cb * 1e3,
           ci * 1e3, ci > 0 ? cb / ci : 0);

    // Throughput: the same bytes through the whole console, and into a bare
    // terminal model.
    const long long count = std::max(1LL, mib * 1048576 / (long long)block.size());
    const double total = (double)count * (double)block.size();
    std::vector<double> fast, timed, parse;
    for (int r = 0; r < std::max(1, rounds / 2); r++) {
        const double a = _end_to_end(&app, port, block.size(), count, false);
        const double b = _end_to_end(&app, port, block.size(), count, true);
        if (a < 0 || b < 0) {
            fprintf(stderr, "bench_console: a flood did not arrive\n");
            return 1;
        }
        fast.push_back(a);
        timed.push_back(b);
        KVN_TERM *term = kvn_term_new(columns > 0 ? columns : 100, rows > 0 ? rows : 32);
        const double t0 = al_get_time();
        for (long long k = 0; k < count; k++)
            for (size_t off = 0; off < block.size(); off += 16384)
                kvn_term_feed(term, block.data() + off, std::min<size_t>(16384, block.size() - off));
        parse.push_back(al_get_time() - t0);
        kvn_term_free(&term);
    }
    const double mf = total / _median(fast) / 1e6, mt = total / _median(timed) / 1e6,
                 mp = total / _median(parse) / 1e6;
    printf("end to end (server -> cells) of %.0f MiB: frames back to back %.1f MB/s, at 30 Hz %.1f MB/s; "
           "kvn_term_feed alone %.1f MB/s; ratios %.2f and %.2f (medians of %zu)\n",
           total / 1048576, mf, mt, mp, mf / mp, mt / mp, fast.size());
    kvn_gui_term_shutdown();
    kvn_jobs_shutdown();
    q_gui_destroy_ctx(&app.gui);
    kvn_app_publish(nullptr);
    if (app.mono_font) al_destroy_font(app.mono_font);
    al_destroy_font(app.ui_font);
    al_destroy_display(app.display);
    return 0;
}
