// History view of a long history file: 100,000 samples at a 5-minute period
// (almost a year, whole samples as the sampler writes them) against a
// 100-line file of the same samples, drawn in the same view in the same run.
// Prints, as medians, the time from reading the file to the first drawn
// frame for the view's default range (the last 24 hours), for the last 30
// days and for everything, and a frame with the hover read-out moving over
// the chart (CPU time of the process); each as a ratio against the 100-line
// file, and the resident
// memory the view holds after loading.
//
// usage: bench_history [lines] [runs]   (needs an X display;
// bench/bench_history.sh runs it under xvfb-run)

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <cJSON.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_main.h"
#include "kvn_history.h"
#include "kvn_paths.h"
#include "kvn_profile.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"

namespace {
const int k_w = 1600, k_h = 1000;

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

// CPU time of the whole process (the renderer's threads included): on a
// shared machine the wall clock mostly measures the neighbours.
double _cpu(void) {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A whole sample of a busy project, the members the collector writes.
std::string _line(int64_t t, int i) {
    char buf[2048];
    snprintf(
        buf, sizeof buf,
        "{\"compute.instances.used\":%d,\"compute.instances.limit\":50,\"compute.cores.used\":%d,"
        "\"compute.cores.limit\":200,\"compute.ram.used\":%d,\"compute.ram.limit\":512000,"
        "\"compute.server_groups.used\":2,\"compute.server_groups.limit\":10,\"compute.keypairs.limit\":100,"
        "\"compute.keypairs.used\":4,\"servers.count\":%d,\"servers.status.ACTIVE\":%d,"
        "\"servers.status.SHUTOFF\":2,\"servers.flavor.m1.small\":%d,\"servers.flavor.m1.large\":3,"
        "\"network.network.used\":6,\"network.network.limit\":100,\"network.network.reserved\":0,"
        "\"network.subnet.used\":7,\"network.subnet.limit\":100,\"network.subnet.reserved\":0,"
        "\"network.port.used\":%d,\"network.port.limit\":500,\"network.port.reserved\":0,"
        "\"network.router.used\":2,\"network.router.limit\":10,\"network.router.reserved\":0,"
        "\"network.floatingip.used\":5,\"network.floatingip.limit\":50,\"network.floatingip.reserved\":0,"
        "\"network.security_group.used\":8,\"network.security_group.limit\":10,"
        "\"network.security_group.reserved\":0,\"volume.volumes.used\":%d,\"volume.volumes.limit\":10,"
        "\"volume.volumes.reserved\":0,\"volume.gigabytes.used\":%d,\"volume.gigabytes.limit\":1000,"
        "\"volume.gigabytes.reserved\":0,\"volume.snapshots.used\":1,\"volume.snapshots.limit\":10,"
        "\"volume.backups.used\":0,\"volume.backups.limit\":10,\"volumes.count\":%d,\"volumes.size_gb\":%d,"
        "\"volumes.status.in-use\":%d,\"image.count.used\":12,\"image.count.limit\":-1,"
        "\"image.size.used\":9663676416,\"image.size.limit\":-1,\"time\":%lld}",
        10 + i % 30, 20 + i % 60, 40960 + (i % 30) * 2048, 12 + i % 30, 10 + i % 30, 2 + i % 5, 40 + i % 30,
        3 + i % 5, 120 + (i % 5) * 20, 3 + i % 5, 120 + (i % 5) * 20, 3 + i % 5, (long long)t);
    return buf;
}

void _write_file(const char *path, int lines, int64_t now) {
    FILE *f = fopen(path, "wb");
    if (!f) return;
    for (int i = 0; i < lines; i++) {
        const std::string l = _line(now - (int64_t)(lines - i) * 300 + 150, i);
        fputs(l.c_str(), f);
        fputc('\n', f);
    }
    fclose(f);
}

void _finish(ALLEGRO_DISPLAY *d) {
    ALLEGRO_BITMAP *bb = al_get_backbuffer(d);
    ALLEGRO_LOCKED_REGION *r =
        al_lock_bitmap_region(bb, 0, 0, 1, 1, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    if (r) al_unlock_bitmap(bb);
}

void _draw(KVN_APP *app) {
    al_set_target_backbuffer(app->display);
    al_clear_to_color(al_map_rgb(0, 0, 0));
    kvn_gui_main_tick();
    q_gui_draw(app->gui);
    _finish(app->display);
}

// Reading the file and drawing the view once.
double _load_frame(KVN_APP *app, KVN_SESSION *s, int range) {
    app->session = s;
    KVN_HISTORY_IDS h;
    kvn_gui_main_history_ids(&h);
    q_gui_combobox_set_selected(app->gui, h.range, range);
    const double t0 = _cpu();
    kvn_gui_main_history_reload();
    _draw(app);
    const double t = _cpu() - t0;
    al_flip_display();
    return t;
}

double _hover_frame(KVN_APP *app, float x, float y) {
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
    ev.mouse.x = (int)x;
    ev.mouse.y = (int)y;
    ev.mouse.display = app->display;
    const double t0 = _cpu();
    q_gui_process_event(app->gui, &ev);
    _draw(app);
    const double t = _cpu() - t0;
    al_flip_display();
    return t;
}
} // namespace

int main(int argc, char **argv) {
    const int lines = argc > 1 ? atoi(argv[1]) : 100000;
    const int runs = argc > 2 ? atoi(argv[2]) : 9;
    char home[] = "/tmp/kvn-bench-history-XXXXXX";
    if (!mkdtemp(home)) return 1;
    setenv("KVN_HOME", home, 1);
    kvn_paths_init();
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon()) return 1;

    // Two scopes, two files: the long one and the short one.
    KVN_SESSION *sessions[2];
    char paths[2][KVN_PATH_MAX];
    const int64_t now = (int64_t)time(nullptr);
    for (int k = 0; k < 2; k++) {
        KVN_PROFILE p;
        kvn_profile_defaults(&p);
        q_format(p.auth_url, sizeof p.auth_url, "https://%s.example.com:5000/v3", k ? "short" : "long");
        sessions[k] = kvn_session_new(&p);
        kvn_history_path(sessions[k], paths[k], sizeof paths[k]);
        _write_file(paths[k], k ? 100 : lines, now);
    }
    FILE *f = fopen(paths[0], "rb");
    long size = 0;
    if (f) {
        fseek(f, 0, SEEK_END);
        size = ftell(f);
        fclose(f);
    }
    printf("history files: %d lines (%.1f MiB) and 100 lines, one sample every 300 s\n", lines,
           (double)size / (1 << 20));

    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_config_load(&app.config);
    app.display = al_create_display(k_w, k_h);
    if (!app.display) {
        fprintf(stderr, "bench_history: no display\n");
        return 1;
    }
    app.ui_font = al_load_ttf_font("/usr/share/fonts/opentype/inter/Inter-Regular.otf", 14, 0);
    if (!app.ui_font) app.ui_font = al_create_builtin_font();
    app.gui = q_gui_new_ctx(app.ui_font);
    q_gui_set_display(app.gui, app.display);
    q_gui_set_display_size(app.gui, k_w, k_h);
    kvn_app_publish(&app);
    kvn_theme_apply(app.gui, KVN_THEME_DARK);
    kvn_gui_main_build();
    app.session = sessions[1];
    kvn_gui_main_open_view("history");
    KVN_HISTORY_IDS h;
    kvn_gui_main_history_ids(&h);
    q_gui_checkbox_set_checked(app.gui, h.limits, 1);

    // Ranges: 2 the last 24 hours (the default), 4 the last 30 days, 5 all.
    const int ranges[3] = {2, 4, 5};
    const char *names[3] = {"last 24 hours", "last 30 days", "everything"};
    double first_big = 0;
    for (int r = 0; r < 3; r++) {
        std::vector<double> big, small;
        for (int i = 0; i < runs; i++) {
            big.push_back(_load_frame(&app, sessions[0], ranges[r]));
            small.push_back(_load_frame(&app, sessions[1], ranges[r]));
        }
        _load_frame(&app, sessions[0], ranges[r]);
        kvn_gui_main_history_ids(&h);
        const double b = _median(big), s = _median(small);
        if (r == 0) first_big = b;
        printf("load + first frame, %-13s: %d lines %.1f ms (%d samples), 100 lines %.1f ms, ratio %.2f\n",
               names[r], lines, b * 1e3, h.sample_count, s * 1e3, b / s);
    }

    // The hover read-out moving over the chart, everything drawn.
    float cx, cy, cw, ch;
    q_gui_widget_screen_rect(app.gui, h.chart_widget, &cx, &cy, &cw, &ch);
    double hover[2] = {0, 0};
    for (int k = 0; k < 2; k++) {
        _load_frame(&app, sessions[k], 5);
        std::vector<double> t;
        for (int i = 0; i < runs * 6; i++)
            t.push_back(_hover_frame(&app, cx + 80 + (float)(i % 40) * (cw - 120) / 40, cy + ch / 2));
        hover[k] = _median(t);
    }
    _load_frame(&app, sessions[0], 5);
    const long rss = _rss_kib();
    printf("hover frame (everything): %d lines %.2f ms, 100 lines %.2f ms, ratio %.2f\n", lines,
           hover[0] * 1e3, hover[1] * 1e3, hover[0] / hover[1]);
    printf("resident memory with the %d-line history shown: %.1f MiB\n", lines, (double)rss / 1024);
    printf("goals: first frame <= 300 ms: %s; hover frame <= 1.5x: %s\n", first_big <= 0.3 ? "met" : "MISSED",
           hover[0] / hover[1] <= 1.5 ? "met" : "MISSED");

    app.session = nullptr;
    kvn_gui_main_destroy();
    q_gui_destroy_ctx(&app.gui);
    kvn_app_publish(nullptr);
    for (int k = 0; k < 2; k++) {
        remove(paths[k]);
        kvn_session_free(&sessions[k]);
    }
    std::string folder = std::string(home) + "/history";
    rmdir(folder.c_str());
    folder = std::string(home) + "/profiles";
    rmdir(folder.c_str());
    rmdir(home);
    al_destroy_font(app.ui_font);
    al_destroy_display(app.display);
    return 0;
}
