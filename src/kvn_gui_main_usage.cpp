// The usage report: the compute service's simple tenant usage of the project
// over a chosen period, drawn as per-server bars and a per-day chart, with
// the hypervisor totals where the user's roles allow them.
#include <cJSON.h>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kvn_app.h"
#include "kvn_gui_main.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"
#include "q_http_client.h"

namespace {
const char *const k_periods[KVN_USAGE_PERIODS] = {"This month",   "Last month",   "Last 7 days",
                                                  "Last 30 days", "Last 90 days", "This year"};
const char *const k_server_titles[3] = {"vCPU hours per server", "RAM GiB hours per server",
                                        "Disk GB hours per server"};
enum { ERR_SIZE = 1024 };

struct USAGE {
    Q_GUI_CTX *ctx = nullptr;
    int window = -1, period = -1, refresh = -1, totals = -1, message = -1;
    int server_widgets[3] = {-1, -1, -1};
    int day_widget = -1, hyper_widget = -1;
    // The chart records outlive their widgets: they live as long as the process.
    Q_GUI_CHART servers[3];
    Q_GUI_CHART days;
    Q_GUI_CHART hyper;
    int loaded = 0, loading = 0;
    uint64_t generation = 0;
    float w = 0, h = 0;
};

// Main thread only.
USAGE u;

struct LOAD_JOB {
    KVN_SESSION *session; // a reference
    uint64_t generation;  // the report's
    char path[512];
    int64_t start, end;
    cJSON *usage; // "tenant_usage", owned
    cJSON *hyper; // "hypervisor_statistics", owned
    char err[ERR_SIZE];
};

void _chart(Q_GUI_CHART *c, int kind, const char *title) {
    q_gui_chart_clear_series(c);
    memset(c, 0, sizeof *c);
    c->kind = kind;
    q_strcpy(c->title, sizeof c->title, title);
    q_strcpy(c->message, sizeof c->message, "--");
    c->hover_x = -1;
    c->widget_id = -1;
}

void _init_charts(void) {
    for (int i = 0; i < 3; i++)
        _chart(&u.servers[i], Q_GUI_CHART_BARS, k_server_titles[i]);
    _chart(&u.days, Q_GUI_CHART_LINE, "Consumption per day");
    u.days.time_axis = 1;
    _chart(&u.hyper, Q_GUI_CHART_BARS, "Hypervisors (admin)");
}

// Every chart empty, showing `text` where it has no figures.
void _empty_charts(const char *text) {
    for (Q_GUI_CHART *c : {&u.servers[0], &u.servers[1], &u.servers[2], &u.days, &u.hyper}) {
        q_gui_chart_bars_clear(c);
        q_gui_chart_clear_series(c);
        c->has_data = 0;
        c->has_x_range = 0;
        q_strcpy(c->message, sizeof c->message, text);
    }
}

void _set_label(int id, const char *text) {
    if (id >= 0 && u.ctx && strcmp(q_gui_label_get_text(u.ctx, id), text) != 0)
        q_gui_label_set_text(u.ctx, id, text);
}

void _changed(void) {
    if (u.ctx) q_gui_request_redraw(u.ctx);
    kvn_gui_main_mark_dirty();
}

double _num(const cJSON *o, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
    return cJSON_IsNumber(v) ? v->valuedouble : 0;
}

void _layout(float W, float D) {
    u.w = W;
    u.h = D;
    q_gui_widget_set_rect(u.ctx, u.totals, 294, 8, W - 302 > 10 ? W - 302 : 10, 26);
    q_gui_widget_set_rect(u.ctx, u.message, 8, 34, W - 16 > 10 ? W - 16 : 10, 26);
    const float bw = (W - 32) / 3 > 40 ? (W - 32) / 3 : 40;
    const float bh = 0.48f * (D - 74) > 40 ? 0.48f * (D - 74) : 40;
    for (int i = 0; i < 3; i++)
        q_gui_widget_set_rect(u.ctx, u.server_widgets[i], 8 + (float)i * (bw + 8), 66, bw, bh);
    const float y = 66 + bh + 8;
    const float rest = D - y - 8 > 40 ? D - y - 8 : 40;
    const float lw = 0.7f * (W - 16) - 8 > 40 ? 0.7f * (W - 16) - 8 : 40;
    const float hw = 0.3f * (W - 16) > 40 ? 0.3f * (W - 16) : 40;
    q_gui_widget_set_rect(u.ctx, u.day_widget, 8, y, lw, rest);
    q_gui_widget_set_rect(u.ctx, u.hyper_widget, W - 8 - hw, y, hw, rest);
}

void _format_time(int64_t t, char *out, size_t size) {
    const time_t tt = (time_t)t;
    struct tm tm;
    if (!gmtime_r(&tt, &tm) || strftime(out, size, "%Y-%m-%dT%H:%M:%S", &tm) == 0) q_strcpy(out, size, "");
}

void _load_run(KVN_JOB *job) {
    auto *lj = static_cast<LOAD_JOB *>(job->user);
    KVN_CALL_OPTS opts;
    memset(&opts, 0, sizeof opts);
    opts.has_microversion = 1;
    q_strcpy(opts.microversion, sizeof opts.microversion, "2.1");
    KVN_RESULT *r = kvn_session_call(lj->session, "compute", "GET", lj->path, nullptr, &opts, job->cancel);
    const cJSON *tu =
        r && kvn_result_ok(r) ? cJSON_GetObjectItemCaseSensitive(r->json, "tenant_usage") : nullptr;
    if (cJSON_IsObject(tu))
        lj->usage = cJSON_Duplicate(tu, 1);
    else
        q_format(lj->err, sizeof lj->err, "usage: %.900s",
                 r && r->error[0] ? r->error
                                  : (r && kvn_result_ok(r) ? "no usage in the answer" : "no answer"));
    kvn_result_free(&r);
    if (job->cancel && q_httpc_is_cancelled(job->cancel)) return;
    q_strcpy(opts.microversion, sizeof opts.microversion, "2.87");
    r = kvn_session_call(lj->session, "compute", "GET", "/os-hypervisors/statistics", nullptr, &opts,
                         job->cancel);
    const cJSON *hs =
        r && kvn_result_ok(r) ? cJSON_GetObjectItemCaseSensitive(r->json, "hypervisor_statistics") : nullptr;
    if (cJSON_IsObject(hs)) lj->hyper = cJSON_Duplicate(hs, 1);
    kvn_result_free(&r);
}

void _load_done(KVN_JOB *job) {
    auto *lj = static_cast<LOAD_JOB *>(job->user);
    KVN_APP *app = kvn_app_get();
    if (!app || lj->generation != u.generation || app->session != lj->session) return;
    kvn_gui_main_usage_fill(lj->usage, lj->hyper, lj->err, lj->start, lj->end);
}

void _load_free(void *user) {
    auto *lj = static_cast<LOAD_JOB *>(user);
    cJSON_Delete(lj->usage);
    cJSON_Delete(lj->hyper);
    kvn_session_free(&lj->session);
    free(lj);
}

void _on_refresh(int, void *) {
    kvn_gui_main_usage_load();
}

void _on_period(int, int, void *) {
    kvn_gui_main_usage_load();
}

int64_t _month_start(int year, int month) {
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = year - 1900;
    tm.tm_mon = month;
    tm.tm_mday = 1;
    return (int64_t)timegm(&tm); // normalises month -1 into December before
}
// A context made after this one was destroyed may sit at the same address
// and hold another window under the same id.
bool _is_ours(Q_GUI_CTX *ctx, int window) {
    const Q_GUI_WINDOW *w = q_gui_get_window(ctx, window);
    return w && !strcmp(w->title, "Usage");
}

} // namespace

// ---- pure rules -----------------------------------------------------------------

int kvn_usage_period(int index, int64_t now, int64_t *start, int64_t *end) {
    if (!start || !end || index < 0 || index >= KVN_USAGE_PERIODS) return -1;
    const time_t t = (time_t)now;
    struct tm tm;
    if (!gmtime_r(&t, &tm)) return -1;
    const int year = tm.tm_year + 1900;
    *end = now;
    switch (index) {
    case 0:
        *start = _month_start(year, tm.tm_mon);
        break;
    case 1:
        *start = _month_start(year, tm.tm_mon - 1);
        *end = _month_start(year, tm.tm_mon);
        break;
    case 2:
        *start = now - 604800;
        break;
    case 3:
        *start = now - 2592000;
        break;
    case 4:
        *start = now - 7776000;
        break;
    default:
        *start = _month_start(year, 0);
        break;
    }
    return 0;
}

int kvn_usage_check_period(int64_t start, int64_t end, int64_t now, char *msg, size_t size) {
    char a[32], b[32];
    _format_time(start, a, sizeof a);
    _format_time(end, b, sizeof b);
    // The cloud answers both with figures of nothing (or an error page):
    // saying why is more use than an empty report.
    if (start > now) {
        q_format(msg, size, "the period starts in the future (%s UTC): no usage to report yet", a);
        return -1;
    }
    if (end <= start) {
        q_format(msg, size, "the period ends before it starts (%s to %s UTC)", a, b);
        return -1;
    }
    if (msg && size) msg[0] = 0;
    return 0;
}

int kvn_usage_parse_time(const char *text, int64_t *out) {
    if (!text || !out) return -1;
    int y, mo, d, h, mi, s;
    if (sscanf(text, "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) return -1;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    // The compute service writes UTC times without a zone.
    *out = (int64_t)timegm(&tm);
    return 0;
}

int kvn_usage_per_day(const cJSON *server_usages, int64_t start, int64_t end, KVN_USAGE_DAYS *out) {
    if (!out) return -1;
    memset(out, 0, sizeof *out);
    if (end <= start) return 0;
    int64_t days = (end - start + 86399) / 86400;
    if (days > KVN_USAGE_DAYS_MAX) days = KVN_USAGE_DAYS_MAX;
    out->count = (int)days;
    const cJSON *su;
    cJSON_ArrayForEach(su, server_usages) {
        int64_t from = start, to = end, t;
        const cJSON *sa = cJSON_GetObjectItemCaseSensitive(su, "started_at");
        if (cJSON_IsString(sa) && kvn_usage_parse_time(sa->valuestring, &t) == 0 && t > from) from = t;
        const cJSON *ea = cJSON_GetObjectItemCaseSensitive(su, "ended_at");
        if (cJSON_IsString(ea) && kvn_usage_parse_time(ea->valuestring, &t) == 0 && t < to) to = t;
        if (to <= from) continue;
        const double vcpus = _num(su, "vcpus"), ram = _num(su, "memory_mb") / 1024.0,
                     disk = _num(su, "local_gb");
        for (int i = 0; i < out->count; i++) {
            const int64_t d0 = start + (int64_t)i * 86400, d1 = d0 + 86400;
            const int64_t a = from > d0 ? from : d0, b = to < d1 ? to : d1;
            if (b <= a) continue;
            const double hours = (double)(b - a) / 3600.0;
            out->vcpu[i] += hours * vcpus;
            out->ram[i] += hours * ram;
            out->disk[i] += hours * disk;
        }
    }
    return 0;
}

// ---- the view -------------------------------------------------------------------

int kvn_gui_main_usage_window(float x, float y, float w, float h) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->gui) return -1;
    if (u.ctx != app->gui || u.window < 0 || !_is_ours(app->gui, u.window)) {
        kvn_gui_main_usage_forget();
        u.ctx = app->gui;
        u.window = q_gui_add_window(u.ctx, "Usage", x, y, w, h);
        if (u.window < 0) return -1;
        q_gui_window_set_flags(u.ctx, u.window, Q_GUI_WIN_FIXED | Q_GUI_WIN_NO_TITLEBAR);
        q_gui_window_set_zorder(u.ctx, u.window, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
        u.period = q_gui_add_combobox(u.ctx, u.window, 8, 8, 180, 26, _on_period, nullptr);
        for (const char *p : k_periods)
            q_gui_combobox_add_item(u.ctx, u.period, p);
        q_gui_combobox_set_selected(u.ctx, u.period, 0);
        q_gui_widget_set_tooltip(u.ctx, u.period, "Report period (openstack usage show --start --end)");
        u.refresh = q_gui_add_button(u.ctx, u.window, "Refresh", 196, 8, 90, 26, 0, _on_refresh, nullptr);
        q_gui_widget_set_tooltip(u.ctx, u.refresh, "Query os-simple-tenant-usage again");
        u.totals = q_gui_add_label(u.ctx, u.window, "", 294, 8, 10, 26, 0);
        u.message = q_gui_add_label(u.ctx, u.window, "", 8, 34, 10, 26, 0);
        const Q_GUI_THEME err = kvn_theme_status_theme(KVN_STATUS_ERROR);
        q_gui_widget_set_theme(u.ctx, u.message, &err);
        for (int i = 0; i < 3; i++)
            u.server_widgets[i] = kvn_theme_add_chart(u.ctx, u.window, 8, 66, 40, 40, &u.servers[i]);
        u.day_widget = kvn_theme_add_chart(u.ctx, u.window, 8, 120, 40, 40, &u.days);
        u.hyper_widget = kvn_theme_add_chart(u.ctx, u.window, 60, 120, 40, 40, &u.hyper);
    }
    q_gui_window_set_rect(u.ctx, u.window, x, y, w, h);
    if (u.w != w || u.h != h) _layout(w, h);
    if (!q_gui_window_is_open(u.ctx, u.window)) q_gui_open_window(u.ctx, u.window);
    return u.window;
}

void kvn_gui_main_usage_shown(void) {
    if (!u.loaded && !u.loading) kvn_gui_main_usage_load();
}

void kvn_gui_main_usage_load(void) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->session || !u.ctx || u.window < 0 || u.loading) return;
    int index = q_gui_combobox_get_selected(u.ctx, u.period);
    if (index < 0) index = 0;
    const int64_t now = (int64_t)time(nullptr);
    int64_t start = 0, end = 0;
    char msg[256];
    if (kvn_usage_period(index, now, &start, &end) != 0 ||
        kvn_usage_check_period(start, end, now, msg, sizeof msg) != 0) {
        _set_label(u.message, msg);
        kvn_app_status(KVN_STATUS_ERROR, "%s", msg);
        _changed();
        return;
    }
    KVN_SESSION_INFO info;
    if (kvn_session_info(app->session, &info) != 0) return;
    LOAD_JOB *lj = nullptr;
    Q_CALLOC(lj, 1, LOAD_JOB);
    if (!lj) return;
    u.generation++;
    u.loading = 1;
    for (Q_GUI_CHART &c : u.servers) {
        c.has_data = 0;
        q_strcpy(c.message, sizeof c.message, "loading...");
    }
    char a[32], b[32];
    _format_time(start, a, sizeof a);
    _format_time(end, b, sizeof b);
    q_format(lj->path, sizeof lj->path, "/os-simple-tenant-usage/%s?start=%s&end=%s&detailed=1",
             info.project_id, a, b);
    lj->session = kvn_session_ref(app->session);
    lj->generation = u.generation;
    lj->start = start;
    lj->end = end;
    if (kvn_jobs_submit("loading usage", _load_run, _load_done, _load_free, lj, app->session_generation) < 0)
        u.loading = 0;
    _changed();
}

void kvn_gui_main_usage_fill(const cJSON *usage, const cJSON *hyper, const char *error, int64_t start,
                             int64_t end) {
    u.loading = 0;
    u.loaded = 1;
    _set_label(u.message, error ? error : "");
    _empty_charts("");
    if (!usage) {
        for (Q_GUI_CHART *c : {&u.servers[0], &u.servers[1], &u.servers[2], &u.days})
            q_strcpy(c->message, sizeof c->message, "no usage data");
        kvn_app_status(KVN_STATUS_ERROR, "%s", error && error[0] ? error : "usage: no answer");
        _changed();
        return;
    }
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(usage, "server_usages");
    if (!cJSON_IsArray(list)) list = nullptr;
    int servers = 0;
    const cJSON *su;
    cJSON_ArrayForEach(su, list) {
        servers++;
        const cJSON *name = cJSON_GetObjectItemCaseSensitive(su, "name");
        const char *label = cJSON_IsString(name) && name->valuestring[0] ? name->valuestring : "?";
        const double hours = _num(su, "hours");
        q_gui_chart_bar_add(&u.servers[0], label, hours * _num(su, "vcpus"), Q_GUI_CHART_BLUE);
        q_gui_chart_bar_add(&u.servers[1], label, _num(su, "memory_mb") / 1024.0 * hours, Q_GUI_CHART_GREEN);
        q_gui_chart_bar_add(&u.servers[2], label, _num(su, "local_gb") * hours, Q_GUI_CHART_AMBER);
    }
    for (Q_GUI_CHART &c : u.servers) {
        c.has_data = c.bar_count > 0;
        q_strcpy(c.message, sizeof c.message, "no server in this period");
    }

    KVN_USAGE_DAYS *days = nullptr;
    Q_CALLOC(days, 1, KVN_USAGE_DAYS);
    if (days && kvn_usage_per_day(list, start, end, days) == 0 && days->count > 0) {
        Q_GUI_CHART_SERIES *s[3] = {q_gui_chart_series(&u.days, "vCPU hours"),
                                    q_gui_chart_series(&u.days, "RAM GiB hours"),
                                    q_gui_chart_series(&u.days, "disk GB hours")};
        for (int i = 0; i < days->count; i++) {
            const double x = (double)(start + (int64_t)i * 86400);
            if (s[0]) q_gui_chart_point_add(s[0], x, days->vcpu[i]);
            if (s[1]) q_gui_chart_point_add(s[1], x, days->ram[i]);
            if (s[2]) q_gui_chart_point_add(s[2], x, days->disk[i]);
        }
        u.days.has_data = 1;
    }
    free(days);
    q_strcpy(u.days.message, sizeof u.days.message, "no usage data");

    char totals[512];
    q_format(
        totals, sizeof totals,
        "Totals: %.1f server hours, %.1f vCPU hours, %.1f RAM GiB hours, %.1f disk GB hours (%d servers)",
        _num(usage, "total_hours"), _num(usage, "total_vcpus_usage"),
        _num(usage, "total_memory_mb_usage") / 1024.0, _num(usage, "total_local_gb_usage"), servers);
    _set_label(u.totals, totals);
    // Cut where the window is narrow: the tooltip has it whole.
    if (u.ctx && u.totals >= 0) q_gui_widget_set_tooltip(u.ctx, u.totals, totals);

    if (hyper) {
        struct {
            const char *label, *key;
            double scale;
            int cls;
        } const rows[] = {
            {"vCPUs used", "vcpus_used", 1, 0},          {"vCPUs total", "vcpus", 1, 1},
            {"RAM used GiB", "memory_mb_used", 1024, 0}, {"RAM total GiB", "memory_mb", 1024, 1},
            {"Disk used GB", "local_gb_used", 1, 0},     {"Disk total GB", "local_gb", 1, 1},
            {"Running VMs", "running_vms", 1, 2},        {"Hypervisors", "count", 1, 2},
        };
        for (const auto &r : rows)
            q_gui_chart_bar_add(&u.hyper, r.label, _num(hyper, r.key) / r.scale, r.cls);
    } else {
        q_strcpy(u.hyper.message, sizeof u.hyper.message, "hypervisor statistics need the admin role");
    }
    kvn_app_status(KVN_STATUS_INFO, "%s", "usage report loaded");
    _changed();
}

void kvn_gui_main_usage_reset(void) {
    u.generation++;
    u.loaded = u.loading = 0;
    _empty_charts("--");
    _set_label(u.totals, "");
    _set_label(u.message, "");
    _changed();
}

void kvn_gui_main_usage_forget(void) {
    for (Q_GUI_CHART *c : {&u.servers[0], &u.servers[1], &u.servers[2], &u.days, &u.hyper})
        q_gui_chart_clear_series(c);
    const uint64_t generation = u.generation;
    u = USAGE();
    // Answers of a load begun in the forgotten window must not land here.
    u.generation = generation + 1;
    _init_charts();
}

void kvn_gui_main_usage_ids(KVN_USAGE_IDS *out) {
    if (!out) return;
    out->window = u.window;
    out->period = u.period;
    out->refresh = u.refresh;
    out->totals = u.totals;
    out->message = u.message;
    for (int i = 0; i < 3; i++) {
        out->server_widgets[i] = u.server_widgets[i];
        out->servers[i] = &u.servers[i];
    }
    out->day_widget = u.day_widget;
    out->hyper_widget = u.hyper_widget;
    out->days = &u.days;
    out->hyper = &u.hyper;
    out->loaded = u.loaded;
    out->loading = u.loading;
}
