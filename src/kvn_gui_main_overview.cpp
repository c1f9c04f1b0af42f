// The overview dashboard: who is connected where, how long the token lives,
// the services of the catalog, one gauge per quota metric and three bar
// charts, all from one quota sample of the collector the history uses.
#include <allegro5/allegro.h>
#include <cJSON.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <set>
#include <string>

#include "kvn_app.h"
#include "kvn_gui_main.h"
#include "kvn_history.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"

namespace {
const KVN_OVERVIEW_METRIC k_metrics[] = {
    {"compute.instances", "Instances", "", "compute"},
    {"compute.cores", "vCPUs", "", "compute"},
    {"compute.ram", "RAM", "MiB", "compute"},
    {"compute.server_groups", "Server groups", "", "compute"},
    {"compute.keypairs", "Key pairs", "", "compute"},
    {"network.network", "Networks", "", "network"},
    {"network.subnet", "Subnets", "", "network"},
    {"network.port", "Ports", "", "network"},
    {"network.router", "Routers", "", "network"},
    {"network.floatingip", "Floating IPs", "", "network"},
    {"network.security_group", "Security groups", "", "network"},
    {"network.security_group_rule", "Security group rules", "", "network"},
    {"volume.volumes", "Volumes", "", "block-storage"},
    {"volume.gigabytes", "Volume storage", "GiB", "block-storage"},
    {"volume.snapshots", "Volume snapshots", "", "block-storage"},
    {"volume.backups", "Volume backups", "", "block-storage"},
    {"volume.backup_gigabytes", "Backup storage", "GiB", "block-storage"},
    {"image.count", "Images", "", "image"},
    {"image.size", "Image storage", "B", "image"},
};
const int k_metric_count = (int)(sizeof k_metrics / sizeof k_metrics[0]);
static_assert(sizeof k_metrics / sizeof k_metrics[0] <= KVN_OVERVIEW_GAUGES_MAX, "one gauge per metric");

const float k_gauge_w = 170, k_gauge_h = 150, k_gauge_step_x = 178, k_gauge_step_y = 158;
const float k_bars_h = 230;
enum { ERR_SIZE = 1024, MESSAGE_MAX = 1000 };

const char *const k_bar_titles[3] = {"Servers by status", "Servers by flavor", "Volumes by status"};
const char *const k_bar_prefixes[3] = {"servers.status.", "servers.flavor.", "volumes.status."};
const char *const k_bar_empty[3] = {"no server", "no server", "no volume"};

struct OVERVIEW {
    Q_GUI_CTX *ctx = nullptr;
    int window = -1, first = -1, second = -1, refresh = -1, message = -1;
    int gauges[KVN_OVERVIEW_GAUGES_MAX] = {};
    int bar_widgets[3] = {-1, -1, -1};
    // The chart records outlive their widgets: they live as long as the process.
    Q_GUI_CHART gauge_charts[KVN_OVERVIEW_GAUGES_MAX];
    Q_GUI_CHART bars[3];
    int loaded = 0, loading = 0;
    uint64_t generation = 0;
    uint64_t load_session_generation = 0;
    float w = 0, h = 0; // of the last layout
    // A sample fetched with the token before the window was up, waiting for
    // the first load of that session (a reference, only compared).
    KVN_SESSION *pending_session = nullptr;
    cJSON *pending = nullptr;
    char pending_err[ERR_SIZE] = "";
};

// Main thread only.
OVERVIEW o;

struct LOAD_JOB {
    KVN_SESSION *session; // a reference
    uint64_t generation;  // the dashboard's
    cJSON *sample;
    char err[ERR_SIZE];
};

void _set_label(int id, const char *text) {
    if (id >= 0 && strcmp(q_gui_label_get_text(o.ctx, id), text) != 0) q_gui_label_set_text(o.ctx, id, text);
}

// The state text shows where a gauge has no figures; `clear` drops the
// figures too.
void _gauge_state(const char *text, bool clear) {
    for (int i = 0; i < k_metric_count; i++) {
        if (clear) o.gauge_charts[i].has_data = 0;
        q_strcpy(o.gauge_charts[i].message, sizeof o.gauge_charts[i].message, text);
    }
    if (o.ctx) q_gui_request_redraw(o.ctx);
    kvn_gui_main_mark_dirty();
}

void _init_charts(void) {
    for (int i = 0; i < k_metric_count; i++) {
        Q_GUI_CHART *c = &o.gauge_charts[i];
        memset(c, 0, sizeof *c);
        c->kind = Q_GUI_CHART_GAUGE;
        q_strcpy(c->title, sizeof c->title, k_metrics[i].title);
        q_strcpy(c->units, sizeof c->units, k_metrics[i].unit);
        q_strcpy(c->message, sizeof c->message, "--");
        c->hover_x = -1;
        c->widget_id = -1;
    }
    for (int b = 0; b < 3; b++) {
        Q_GUI_CHART *c = &o.bars[b];
        memset(c, 0, sizeof *c);
        c->kind = Q_GUI_CHART_BARS;
        q_strcpy(c->title, sizeof c->title, k_bar_titles[b]);
        q_strcpy(c->message, sizeof c->message, k_bar_empty[b]);
        c->hover_x = -1;
        c->widget_id = -1;
    }
}

int _columns(float w) {
    const int n = (int)floorf((w - 10) / k_gauge_step_x);
    return n < 1 ? 1 : n;
}

// The grid of the content width; when the dashboard is taller than the
// window its vertical scroll bar takes a strip of that width, and laying out
// in the full width would add a horizontal bar for the last few pixels.
void _layout(float full_w, float h) {
    o.w = full_w;
    o.h = h;
    float w = full_w;
    const int n0 = _columns(w);
    const float tall = (float)((k_metric_count + n0 - 1) / n0) * k_gauge_step_y + 98 + k_bars_h;
    if (tall > h) w -= o.ctx->style.scrollbar_size;
    q_gui_widget_set_rect(o.ctx, o.first, 10, 10, w - 140, 26);
    q_gui_widget_set_rect(o.ctx, o.second, 10, 36, w - 140, 26);
    q_gui_widget_set_rect(o.ctx, o.refresh, w - 120, 10, 110, 28);
    q_gui_widget_set_rect(o.ctx, o.message, 10, 62, w - 20, 26);
    const int n = _columns(w);
    for (int i = 0; i < k_metric_count; i++)
        q_gui_widget_set_rect(o.ctx, o.gauges[i], (float)(i % n) * k_gauge_step_x + 10,
                              (float)(i / n) * k_gauge_step_y + 94, k_gauge_w, k_gauge_h);
    float bw = (w - 36) / 3;
    if (bw < 260) bw = 260;
    const float by = (float)((k_metric_count + n - 1) / n) * k_gauge_step_y + 98;
    for (int b = 0; b < 3; b++)
        q_gui_widget_set_rect(o.ctx, o.bar_widgets[b], 10 + (float)b * (bw + 8), by, bw, k_bars_h);
}

void _on_refresh(int, void *) {
    kvn_gui_main_overview_load();
}

void _load_run(KVN_JOB *job) {
    auto *lj = static_cast<LOAD_JOB *>(job->user);
    lj->sample = kvn_quota_sample(lj->session, job->cancel, lj->err, sizeof lj->err);
}

// Shows a sample of `session` and stores it in the history, with the
// partial-data message when some calls failed.
void _apply(KVN_SESSION *session, const cJSON *sample, const char *err) {
    o.loading = 0;
    if (o.window >= 0 && sample) kvn_gui_main_overview_fill(sample);
    if (sample) kvn_history_add_sample(session, sample);
    if (err[0]) {
        char text[MESSAGE_MAX + 32];
        q_format(text, sizeof text, "partial data: %.1000s", err);
        _set_label(o.message, text);
        kvn_app_status(KVN_STATUS_ERROR, "overview %s", "loaded with errors (see the dashboard)");
    } else {
        _set_label(o.message, "");
        kvn_app_status(KVN_STATUS_INFO, "overview %s", "loaded");
    }
    kvn_gui_main_mark_dirty();
}

void _drop_pending(void) {
    cJSON_Delete(o.pending);
    o.pending = nullptr;
    kvn_session_free(&o.pending_session);
    o.pending_err[0] = 0;
}

void _load_done(KVN_JOB *job) {
    auto *lj = static_cast<LOAD_JOB *>(job->user);
    KVN_APP *app = kvn_app_get();
    if (!app || lj->generation != o.generation || app->session_generation != o.load_session_generation ||
        app->session != lj->session)
        return;
    _apply(lj->session, lj->sample, lj->err);
}

void _load_free(void *user) {
    auto *lj = static_cast<LOAD_JOB *>(user);
    cJSON_Delete(lj->sample);
    kvn_session_free(&lj->session);
    free(lj);
}

bool _starts(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}
} // namespace

const KVN_OVERVIEW_METRIC *kvn_gui_main_overview_metrics(int *count) {
    if (count) *count = k_metric_count;
    return k_metrics;
}

int kvn_gui_main_status_class(const char *status) {
    if (!status) return 0;
    if (!strcasecmp(status, "ACTIVE") || !strcasecmp(status, "available") || !strcasecmp(status, "in-use"))
        return 1;
    if (strcasestr(status, "error")) return 3;
    for (const char *s : {"SHUTOFF", "PAUSED", "SUSPENDED", "SHELVED_OFFLOADED"})
        if (!strcasecmp(status, s)) return 2;
    return 0;
}

int kvn_gui_main_overview_window(float x, float y, float w, float h) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui) return -1;
    if (o.ctx != app->gui || o.window < 0 || !q_gui_get_window(app->gui, o.window)) {
        kvn_gui_main_overview_forget();
        o.ctx = app->gui;
        _init_charts();
        o.window = q_gui_add_window(o.ctx, "Overview", x, y, w, h);
        if (o.window < 0) return -1;
        q_gui_window_set_flags(o.ctx, o.window,
                               Q_GUI_WIN_FIXED | Q_GUI_WIN_NO_TITLEBAR | Q_GUI_WIN_SCROLLABLE);
        q_gui_window_set_zorder(o.ctx, o.window, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
        o.first = q_gui_add_label(o.ctx, o.window, "", 10, 10, w - 140, 26, 0);
        o.second = q_gui_add_label(o.ctx, o.window, "", 10, 36, w - 140, 26, 0);
        o.refresh =
            q_gui_add_button(o.ctx, o.window, "Refresh", w - 120, 10, 110, 28, 0, _on_refresh, nullptr);
        q_gui_widget_set_tooltip(o.ctx, o.refresh,
                                 "Reload quotas and usage of every service (limits, quota sets, lists)");
        o.message = q_gui_add_label(o.ctx, o.window, "", 10, 62, w - 20, 26, 0);
        const Q_GUI_THEME err = kvn_theme_status_theme(KVN_STATUS_ERROR);
        q_gui_widget_set_theme(o.ctx, o.message, &err);
        for (int i = 0; i < k_metric_count; i++) {
            o.gauges[i] =
                kvn_theme_add_chart(o.ctx, o.window, 0, 0, k_gauge_w, k_gauge_h, &o.gauge_charts[i]);
            char tip[256];
            q_format(tip, sizeof tip, "%s quota usage (%s). The thin orange arc is reserved",
                     k_metrics[i].title, k_metrics[i].service);
            q_gui_widget_set_tooltip(o.ctx, o.gauges[i], tip);
        }
        for (int b = 0; b < 3; b++)
            o.bar_widgets[b] = kvn_theme_add_chart(o.ctx, o.window, 0, 0, 260, k_bars_h, &o.bars[b]);
        kvn_gui_main_overview_header();
    }
    q_gui_window_set_rect(o.ctx, o.window, x, y, w, h);
    if (o.w != w || o.h != h) _layout(w, h);
    if (!q_gui_window_is_open(o.ctx, o.window)) q_gui_open_window(o.ctx, o.window);
    return o.window;
}

void kvn_gui_main_overview_shown(void) {
    kvn_gui_main_overview_header();
    if (!o.loaded && !o.loading) kvn_gui_main_overview_load();
}

void kvn_gui_main_overview_header(void) {
    if (!o.ctx || o.window < 0) return;
    KVN_APP *app = kvn_app_get();
    KVN_SESSION *s = app ? app->session : nullptr;
    KVN_SESSION_INFO info;
    if (!s || kvn_session_info(s, &info) != 0) {
        _set_label(o.first, "Not connected: use Connect in the toolbar");
        _set_label(o.second, "");
        return;
    }
    std::string roles;
    for (const char *r = info.roles; *r; r++)
        roles += *r == ',' ? std::string(", ") : std::string(1, *r);
    char line[2048];
    q_format(line, sizeof line, "User %s on project %s (domain %s), roles: %s", info.user_name,
             info.project_name, info.project_domain_name, roles.c_str());
    _set_label(o.first, line);
    char until[64] = "";
    if (info.expires > 0) {
        const time_t t = (time_t)info.expires;
        struct tm tm;
        if (localtime_r(&t, &tm)) strftime(until, sizeof until, "%Y-%m-%d %H:%M", &tm);
    }
    std::string services;
    KVN_ENDPOINT_INFO e;
    // A catalog with several regions has a public endpoint per region for
    // each service: the line names services, each once.
    std::set<std::string> seen;
    for (int i = 0; kvn_session_endpoint_at(s, i, &e) == 0; i++) {
        if (strcmp(e.interface, "public") != 0 || !seen.insert(e.type).second) continue;
        if (!services.empty()) services += ", ";
        services += e.type;
    }
    q_format(line, sizeof line, "Token valid until %s. Services: %s", until, services.c_str());
    _set_label(o.second, line);
    // A long catalog runs past the window's edge: the tooltip has all of it.
    q_format(line, sizeof line, "Services of the catalog: %s", services.c_str());
    q_gui_widget_set_tooltip(o.ctx, o.second, line);
}

void kvn_gui_main_overview_load(void) {
    kvn_gui_main_overview_header();
    KVN_APP *app = kvn_app_get();
    if (!app || !app->session || o.loading) return;
    o.generation++;
    if (o.pending) {
        const bool same = o.pending_session == app->session;
        if (same) {
            o.load_session_generation = app->session_generation;
            _apply(app->session, o.pending, o.pending_err);
        }
        _drop_pending();
        if (same) return;
    }
    o.loading = 1;
    o.load_session_generation = app->session_generation;
    _gauge_state("loading...", false);
    LOAD_JOB *lj = nullptr;
    Q_CALLOC(lj, 1, LOAD_JOB);
    if (!lj) {
        o.loading = 0;
        return;
    }
    lj->session = kvn_session_ref(app->session);
    lj->generation = o.generation;
    if (kvn_jobs_submit("loading overview", _load_run, _load_done, _load_free, lj, app->session_generation) <
        0)
        o.loading = 0;
}

void kvn_gui_main_overview_reset(void) {
    o.generation++;
    o.loaded = o.loading = 0;
    _gauge_state("--", true);
    for (Q_GUI_CHART &c : o.bars) {
        q_gui_chart_bars_clear(&c);
        c.has_data = 0;
    }
    _set_label(o.message, "");
    kvn_gui_main_overview_header();
}

void kvn_gui_main_overview_fill(const cJSON *sample) {
    if (!sample) return;
    for (int i = 0; i < k_metric_count; i++) {
        Q_GUI_CHART *c = &o.gauge_charts[i];
        char key[160];
        q_format(key, sizeof key, "%s.used", k_metrics[i].key);
        const cJSON *used = cJSON_GetObjectItemCaseSensitive(sample, key);
        q_format(key, sizeof key, "%s.limit", k_metrics[i].key);
        const cJSON *limit = cJSON_GetObjectItemCaseSensitive(sample, key);
        q_format(key, sizeof key, "%s.reserved", k_metrics[i].key);
        const cJSON *reserved = cJSON_GetObjectItemCaseSensitive(sample, key);
        if (!cJSON_IsNumber(used) && !cJSON_IsNumber(limit)) {
            c->has_data = 0;
            q_strcpy(c->message, sizeof c->message, "not available");
            continue;
        }
        q_gui_chart_gauge(c, cJSON_IsNumber(used) ? used->valuedouble : 0,
                          cJSON_IsNumber(limit) ? limit->valuedouble : -1,
                          cJSON_IsNumber(reserved) ? reserved->valuedouble : 0);
    }
    for (Q_GUI_CHART &c : o.bars)
        q_gui_chart_bars_clear(&c);
    const cJSON *m;
    cJSON_ArrayForEach(m, sample) {
        if (!cJSON_IsNumber(m) || !m->string) continue;
        for (int b = 0; b < 3; b++) {
            if (!_starts(m->string, k_bar_prefixes[b])) continue;
            const char *label = m->string + strlen(k_bar_prefixes[b]);
            q_gui_chart_bar_add(&o.bars[b], label, m->valuedouble,
                                b == 1 ? 0 : kvn_gui_main_status_class(label));
        }
    }
    for (int b = 0; b < 3; b++) {
        o.bars[b].has_data = 1;
        q_strcpy(o.bars[b].message, sizeof o.bars[b].message, k_bar_empty[b]);
    }
    o.loaded = 1;
    if (o.ctx) q_gui_request_redraw(o.ctx);
    kvn_gui_main_mark_dirty();
}

void kvn_gui_main_overview_preload(KVN_SESSION *session, cJSON *sample, const char *err) {
    _drop_pending();
    if (!session || !sample) {
        cJSON_Delete(sample);
        return;
    }
    o.pending_session = kvn_session_ref(session);
    o.pending = sample;
    q_strcpy(o.pending_err, sizeof o.pending_err, err ? err : "");
}

void kvn_gui_main_overview_forget(void) {
    _drop_pending();
    o = OVERVIEW();
    _init_charts();
    for (int &g : o.gauges)
        g = -1;
}

void kvn_gui_main_overview_ids(KVN_OVERVIEW_IDS *out) {
    if (!out) return;
    memset(out, 0, sizeof *out);
    out->window = o.window;
    out->first = o.first;
    out->second = o.second;
    out->refresh = o.refresh;
    out->message = o.message;
    for (int i = 0; i < KVN_OVERVIEW_GAUGES_MAX; i++)
        out->gauges[i] = i < k_metric_count ? o.gauges[i] : -1;
    out->gauge_count = k_metric_count;
    out->gauge_charts = o.gauge_charts;
    for (int b = 0; b < 3; b++) {
        out->bars[b] = &o.bars[b];
        out->bar_widgets[b] = o.bar_widgets[b];
    }
    out->loaded = o.loaded;
    out->loading = o.loading;
}
