// The history view: the session's history file drawn as line charts over
// time, one metric group at a time, over a chosen range.
#include <cJSON.h>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kvn_app.h"
#include "kvn_gui_main.h"
#include "kvn_history.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"

namespace {
const KVN_HISTORY_GROUP k_groups[] = {
    {"Compute usage",
     "",
     {"compute.instances", "compute.cores", "compute.server_groups", "compute.keypairs"},
     4},
    {"RAM", "MiB", {"compute.ram"}, 1},
    {"Network usage",
     "",
     {"network.network", "network.subnet", "network.port", "network.router", "network.floatingip",
      "network.security_group"},
     6},
    {"Volume usage", "", {"volume.volumes", "volume.snapshots", "volume.backups"}, 3},
    {"Block storage", "GiB", {"volume.gigabytes", "volume.backup_gigabytes"}, 2},
    {"Images", "", {"image.count"}, 1},
    {"Image storage", "B", {"image.size"}, 1},
    {"Servers by status", "", {"servers.status."}, 1},
    {"Servers by flavor", "", {"servers.flavor."}, 1},
    {"Volumes by status", "", {"volumes.status."}, 1},
};
const int k_group_count = (int)(sizeof k_groups / sizeof k_groups[0]);

const char *const k_ranges[] = {"Last hour",   "Last 6 hours", "Last 24 hours",
                                "Last 7 days", "Last 30 days", "Everything"};
const int64_t k_range_s[] = {3600, 21600, 86400, 604800, 2592000, 0};
const int k_range_count = 6;

struct HISTORY {
    Q_GUI_CTX *ctx = nullptr;
    int window = -1, group = -1, range = -1, limits = -1, reload = -1, summary = -1, chart_widget = -1;
    // Outlives its widget: it lives as long as the process.
    Q_GUI_CHART chart;
    int sample_count = 0;
    float w = 0, h = 0;
};

// Main thread only; the file is read on the main thread too.
HISTORY hv;

void _init_chart(void) {
    q_gui_chart_clear_series(&hv.chart);
    memset(&hv.chart, 0, sizeof hv.chart);
    hv.chart.kind = Q_GUI_CHART_LINE;
    hv.chart.time_axis = 1;
    hv.chart.hover_x = -1;
    hv.chart.widget_id = -1;
    q_strcpy(hv.chart.message, sizeof hv.chart.message, "--");
}

void _set_label(int id, const char *text) {
    if (id >= 0 && strcmp(q_gui_label_get_text(hv.ctx, id), text) != 0)
        q_gui_label_set_text(hv.ctx, id, text);
}

bool _is_prefix(const char *key) {
    const size_t n = strlen(key);
    return n > 0 && key[n - 1] == '.';
}

const char *_last_component(const char *key) {
    const char *dot = strrchr(key, '.');
    return dot ? dot + 1 : key;
}

void _point(Q_GUI_CHART *chart, const char *series, double x, double y) {
    Q_GUI_CHART_SERIES *s = q_gui_chart_series(chart, series);
    if (s) q_gui_chart_point_add(s, x, y);
}

void _layout(float w, float h) {
    hv.w = w;
    hv.h = h;
    q_gui_widget_set_rect(hv.ctx, hv.summary, 654, 10, w - 664 > 10 ? w - 664 : 10, 26);
    q_gui_widget_set_rect(hv.ctx, hv.chart_widget, 10, 46, w - 20 > 40 ? w - 20 : 40,
                          h - 56 > 40 ? h - 56 : 40);
}

void _on_change(int, int, void *) {
    kvn_gui_main_history_reload();
}

void _on_reload(int, void *) {
    kvn_gui_main_history_reload();
}
// A context made after this one was destroyed may sit at the same address
// and hold another window under the same id.
bool _is_ours(Q_GUI_CTX *ctx, int window) {
    const Q_GUI_WINDOW *w = q_gui_get_window(ctx, window);
    return w && !strcmp(w->title, "History");
}

} // namespace

const KVN_HISTORY_GROUP *kvn_gui_main_history_groups(int *count) {
    if (count) *count = k_group_count;
    return k_groups;
}

int kvn_gui_main_history_fill(Q_GUI_CHART *chart, const cJSON *samples, int group, int show_limits) {
    if (!chart || group < 0 || group >= k_group_count) return 0;
    const KVN_HISTORY_GROUP &gr = k_groups[group];
    const int n = cJSON_GetArraySize(samples);
    // A series holds 4096 points: a longer range is thinned evenly, always
    // keeping the newest sample, so the line still spans the whole range
    // instead of stopping where the oldest 4096 samples end.
    const int stride =
        n > Q_GUI_CHART_POINTS_MAX - 1 ? (n + Q_GUI_CHART_POINTS_MAX - 2) / (Q_GUI_CHART_POINTS_MAX - 1) : 1;
    int index = -1;
    const cJSON *sample;
    cJSON_ArrayForEach(sample, samples) {
        index++;
        if (index % stride != 0 && index != n - 1) continue;
        const cJSON *t = cJSON_GetObjectItemCaseSensitive(sample, "time");
        if (!cJSON_IsNumber(t)) continue;
        const double x = t->valuedouble;
        for (int k = 0; k < gr.key_count; k++) {
            const char *key = gr.keys[k];
            if (_is_prefix(key)) {
                const size_t plen = strlen(key);
                const cJSON *m;
                cJSON_ArrayForEach(m, sample) {
                    if (!m->string || !cJSON_IsNumber(m) || strncmp(m->string, key, plen) != 0 ||
                        !m->string[plen] || m->valuedouble < 0)
                        continue;
                    _point(chart, m->string + plen, x, m->valuedouble);
                }
                continue;
            }
            char name[192];
            q_format(name, sizeof name, "%s.used", key);
            const cJSON *used = cJSON_GetObjectItemCaseSensitive(sample, name);
            if (cJSON_IsNumber(used) && used->valuedouble >= 0)
                _point(chart, _last_component(key), x, used->valuedouble);
            if (!show_limits) continue;
            q_format(name, sizeof name, "%s.limit", key);
            const cJSON *limit = cJSON_GetObjectItemCaseSensitive(sample, name);
            if (cJSON_IsNumber(limit) && limit->valuedouble >= 0) {
                char series[Q_GUI_CHART_SERIES_NAME_MAX];
                q_format(series, sizeof series, "%s limit", _last_component(key));
                _point(chart, series, x, limit->valuedouble);
            }
        }
    }
    return n < 0 ? 0 : n;
}

int kvn_gui_main_history_window(float x, float y, float w, float h) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui) return -1;
    if (hv.ctx != app->gui || hv.window < 0 || !_is_ours(app->gui, hv.window)) {
        kvn_gui_main_history_forget();
        hv.ctx = app->gui;
        hv.window = q_gui_add_window(hv.ctx, "History", x, y, w, h);
        if (hv.window < 0) return -1;
        q_gui_window_set_flags(hv.ctx, hv.window, Q_GUI_WIN_FIXED | Q_GUI_WIN_NO_TITLEBAR);
        q_gui_window_set_zorder(hv.ctx, hv.window, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
        hv.group = q_gui_add_combobox(hv.ctx, hv.window, 10, 10, 220, 26, _on_change, nullptr);
        for (const KVN_HISTORY_GROUP &gr : k_groups)
            q_gui_combobox_add_item(hv.ctx, hv.group, gr.title);
        q_gui_combobox_set_selected(hv.ctx, hv.group, 0);
        q_gui_widget_set_tooltip(hv.ctx, hv.group, "Metrics to draw");
        hv.range = q_gui_add_combobox(hv.ctx, hv.window, 238, 10, 160, 26, _on_change, nullptr);
        for (const char *r : k_ranges)
            q_gui_combobox_add_item(hv.ctx, hv.range, r);
        q_gui_combobox_set_selected(hv.ctx, hv.range, 2);
        q_gui_widget_set_tooltip(hv.ctx, hv.range, "Time range");
        hv.limits =
            q_gui_add_checkbox(hv.ctx, hv.window, "Show limits", 406, 10, 140, 26, 0, _on_change, nullptr);
        q_gui_widget_set_tooltip(hv.ctx, hv.limits, "Also draw the quota limit of each metric");
        hv.reload = q_gui_add_button(hv.ctx, hv.window, "Reload", 554, 10, 90, 26, 0, _on_reload, nullptr);
        q_gui_widget_set_tooltip(hv.ctx, hv.reload, "Read the history file again");
        hv.summary = q_gui_add_label(hv.ctx, hv.window, "", 654, 10, 10, 26, 0);
        hv.chart_widget = kvn_theme_add_chart(hv.ctx, hv.window, 10, 46, 40, 40, &hv.chart);
        q_gui_widget_set_tooltip(hv.ctx, hv.chart_widget, "Move the mouse over the chart to read the values");
    }
    q_gui_window_set_rect(hv.ctx, hv.window, x, y, w, h);
    if (hv.w != w || hv.h != h) _layout(w, h);
    if (!q_gui_window_is_open(hv.ctx, hv.window)) q_gui_open_window(hv.ctx, hv.window);
    return hv.window;
}

void kvn_gui_main_history_reload(void) {
    KVN_APP *app = kvn_app_get();
    if (!app || !hv.ctx || hv.window < 0) return;
    q_gui_chart_clear_series(&hv.chart);
    hv.chart.has_data = 0;
    hv.sample_count = 0;
    char path[KVN_PATH_MAX];
    if (!app->session || kvn_history_path(app->session, path, sizeof path) != 0) {
        q_strcpy(hv.chart.message, sizeof hv.chart.message, "not connected");
        _set_label(hv.summary, "");
        q_gui_request_redraw(hv.ctx);
        kvn_gui_main_mark_dirty();
        return;
    }
    int group = q_gui_combobox_get_selected(hv.ctx, hv.group);
    if (group < 0 || group >= k_group_count) group = 0;
    int range = q_gui_combobox_get_selected(hv.ctx, hv.range);
    if (range < 0 || range >= k_range_count) range = 2;
    const KVN_HISTORY_GROUP &gr = k_groups[group];
    q_strcpy(hv.chart.title, sizeof hv.chart.title, gr.title);
    q_strcpy(hv.chart.units, sizeof hv.chart.units, gr.unit);

    const int64_t now = (int64_t)time(nullptr);
    const int64_t since = k_range_s[range] > 0 ? now - k_range_s[range] : INT64_MIN;
    // Only the group's members are kept of each line: a 30-day file of whole
    // samples would cost tens of megabytes.
    const char *prefixes[KVN_HISTORY_GROUP_KEYS_MAX];
    std::string keys[KVN_HISTORY_GROUP_KEYS_MAX];
    for (int k = 0; k < gr.key_count; k++) {
        keys[k] = gr.keys[k];
        if (!_is_prefix(gr.keys[k])) keys[k] += '.';
        prefixes[k] = keys[k].c_str();
    }
    // About a point every third pixel is all a 2-pixel line can show; drawing and
    // parsing more would only slow the frame and the hover read-out down.
    const Q_GUI_WIDGET *cw = q_gui_get_widget(hv.ctx, hv.chart_widget);
    int points = cw ? (int)(cw->w / 3) : Q_GUI_CHART_POINTS_MAX - 1;
    if (points < 64) points = 64;
    if (points > Q_GUI_CHART_POINTS_MAX - 1) points = Q_GUI_CHART_POINTS_MAX - 1;
    int n = 0;
    Q_CJSON samples(kvn_history_load_spread(path, since, prefixes, gr.key_count, points, &n));
    kvn_gui_main_history_fill(&hv.chart, samples.get(), group, q_gui_checkbox_is_checked(hv.ctx, hv.limits));
    hv.sample_count = n;
    double first = (double)now;
    const cJSON *t0 =
        n > 0 ? cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(samples.get(), 0), "time") : nullptr;
    if (cJSON_IsNumber(t0)) first = t0->valuedouble;
    hv.chart.has_x_range = 1;
    hv.chart.x_min = k_range_s[range] > 0 ? (double)since : first;
    hv.chart.x_max = (double)now;
    if (hv.chart.x_max <= hv.chart.x_min) hv.chart.x_min = hv.chart.x_max - 1;
    hv.chart.has_data = hv.chart.series_count > 0;
    q_format(hv.chart.message, sizeof hv.chart.message,
             "no sample in this range yet (one is recorded every %d s while connected)",
             app->config.history_period_s);
    char summary[256];
    q_format(summary, sizeof summary,
             "%d sample%s in this range (oldest %.1f h ago), sampling every %d s, kept %d days", n,
             n == 1 ? "" : "s", n > 0 ? ((double)now - first) / 3600.0 : 0.0, app->config.history_period_s,
             app->config.history_keep_days);
    _set_label(hv.summary, summary);
    // The label is cut where the window is narrow: the tooltip has it whole.
    q_gui_widget_set_tooltip(hv.ctx, hv.summary, summary);
    q_gui_request_redraw(hv.ctx);
    kvn_gui_main_mark_dirty();
}

int kvn_gui_main_history_current(void) {
    return hv.ctx && hv.window >= 0 && q_gui_window_is_open(hv.ctx, hv.window);
}

void kvn_gui_main_history_forget(void) {
    q_gui_chart_clear_series(&hv.chart);
    hv = HISTORY();
    _init_chart();
}

void kvn_gui_main_history_ids(KVN_HISTORY_IDS *out) {
    if (!out) return;
    out->window = hv.window;
    out->group = hv.group;
    out->range = hv.range;
    out->limits = hv.limits;
    out->reload = hv.reload;
    out->summary = hv.summary;
    out->chart_widget = hv.chart_widget;
    out->chart = &hv.chart;
    out->sample_count = hv.sample_count;
}
