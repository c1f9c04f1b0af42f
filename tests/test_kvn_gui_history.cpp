// labels: gui
// The history view and the usage report of the main window on a real
// display: history files written by the sampler's own append, bad lines,
// gaps, a metric appearing halfway, a 30-day file at 5 minutes and a
// 100,000-line one; the usage rules (periods, per-day consumption, 400 days)
// and the report filled from answers shaped as the compute service sends.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_history.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"

namespace {
struct HIST_APP {
    TEST_DIR dir;
    KVN_APP app;
    std::string path;
    HIST_APP() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        mkdir(dir.file("api").c_str(), 0700);
        app.api = kvn_api_load_dir(dir.file("api").c_str());
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(1), 0);
        kvn_gui_main_build();
    }
    ~HIST_APP() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        kvn_history_forget_last();
        unsetenv("KVN_HOME");
    }
    void connect() {
        KVN_PROFILE p;
        kvn_profile_defaults(&p);
        q_strcpy(p.name, sizeof p.name, "lab");
        q_strcpy(p.auth_url, sizeof p.auth_url, "http://127.0.0.1:9/v3");
        app.session = kvn_session_new(&p);
        app.session_generation++;
        char buf[KVN_PATH_MAX];
        ASSERT_EQ(kvn_history_path(app.session, buf, sizeof buf), 0);
        path = buf;
        kvn_app_connect_changed();
    }
    // Appends through the history module, as the sampler stores its samples.
    void sample(int64_t t, std::initializer_list<std::pair<const char *, double>> members) {
        Q_CJSON s(cJSON_CreateObject());
        cJSON_AddNumberToObject(s.get(), "time", (double)t);
        for (const auto &m : members)
            cJSON_AddNumberToObject(s.get(), m.first, m.second);
        ASSERT_EQ(kvn_history_append(path.c_str(), s.get()), 0);
    }
    KVN_HISTORY_IDS ids() {
        KVN_HISTORY_IDS h;
        kvn_gui_main_history_ids(&h);
        return h;
    }
    std::string summary() { return q_gui_label_get_text(app.gui, ids().summary); }
    const Q_GUI_CHART_SERIES *series(const char *name) {
        const Q_GUI_CHART *c = ids().chart;
        for (int i = 0; i < c->series_count; i++)
            if (!strcmp(c->series[i]->name, name)) return c->series[i];
        return nullptr;
    }
    void pick(int group, int range, int limits) {
        KVN_HISTORY_IDS h = ids();
        q_gui_combobox_set_selected(app.gui, h.group, group);
        q_gui_combobox_set_selected(app.gui, h.range, range);
        q_gui_checkbox_set_checked(app.gui, h.limits, limits);
        kvn_gui_main_history_reload();
    }
    void draw() {
        al_set_target_backbuffer(g_display);
        q_gui_draw(app.gui);
    }
};

enum { G_COMPUTE = 0, G_RAM = 1, G_SERVERS_STATUS = 7, R_HOUR = 0, R_DAY = 2, R_30D = 4, R_ALL = 5 };
} // namespace

TEST(HistoryView, DrawsTheSamplerFileWithLimitsAndStatusSeries) {
    HIST_APP h;
    ASSERT_EQ(kvn_gui_main_open_view("history"), 0);
    // Without a session the chart says so and the summary is empty.
    EXPECT_EQ(std::string(h.ids().chart->message), "not connected");
    EXPECT_FALSE(h.ids().chart->has_data);
    EXPECT_EQ(h.summary(), "");

    h.connect();
    const int64_t now = (int64_t)time(nullptr);
    // An unlimited instance quota (-1) is no limit point; the cores limit is.
    h.sample(now - 7200, {{"compute.instances.used", 1},
                          {"compute.instances.limit", -1},
                          {"compute.cores.used", 2},
                          {"compute.cores.limit", 20},
                          {"servers.status.ACTIVE", 1}});
    h.sample(now - 4000, {{"compute.instances.used", 2},
                          {"compute.instances.limit", 10},
                          {"compute.cores.used", 4},
                          {"compute.cores.limit", 20},
                          {"servers.status.ACTIVE", 1},
                          {"servers.status.ERROR", 1}});
    h.sample(now - 60, {{"compute.instances.used", 3},
                        {"compute.instances.limit", 10},
                        {"compute.cores.used", 6},
                        {"compute.cores.limit", 20},
                        {"servers.status.SHUTOFF", 3}});
    h.pick(G_COMPUTE, R_DAY, 1);
    EXPECT_EQ(h.ids().sample_count, 3);
    EXPECT_TRUE(h.ids().chart->has_data);
    EXPECT_EQ(std::string(h.ids().chart->title), "Compute usage");
    ASSERT_NE(h.series("instances"), nullptr);
    EXPECT_EQ(h.series("instances")->count, 3);
    ASSERT_NE(h.series("instances limit"), nullptr);
    EXPECT_EQ(h.series("instances limit")->count, 2); // the -1 is skipped
    EXPECT_EQ(h.series("instances limit")->x[0], (double)(now - 4000));
    EXPECT_EQ(h.series("cores limit")->count, 3);
    EXPECT_EQ(h.series("server_groups"), nullptr); // never sampled: no series
    // The axis runs from now minus the range to now.
    EXPECT_NEAR(h.ids().chart->x_min, (double)(now - 86400), 5);
    EXPECT_NEAR(h.ids().chart->x_max, (double)now, 5);
    EXPECT_EQ(h.summary().rfind(
                  "3 samples in this range (oldest 2.0 h ago), sampling every 300 s, kept 90 days", 0),
              0u)
        << h.summary();

    // Without "Show limits" no limit series at all.
    h.pick(G_COMPUTE, R_DAY, 0);
    EXPECT_EQ(h.series("instances limit"), nullptr);
    EXPECT_NE(h.series("cores"), nullptr);

    // A prefix group: one series per status, each from the samples naming it.
    h.pick(G_SERVERS_STATUS, R_DAY, 0);
    ASSERT_NE(h.series("ACTIVE"), nullptr);
    EXPECT_EQ(h.series("ACTIVE")->count, 2);
    EXPECT_EQ(h.series("ERROR")->count, 1);
    EXPECT_EQ(h.series("SHUTOFF")->y[0], 3);

    // The last hour holds one sample: "1 sample", and its age.
    h.pick(G_COMPUTE, R_HOUR, 0);
    EXPECT_EQ(h.summary().rfind("1 sample in this range (oldest 0.0 h ago)", 0), 0u) << h.summary();
    // "Everything" starts the axis at the first sample.
    h.pick(G_COMPUTE, R_ALL, 0);
    EXPECT_EQ(h.summary().rfind("3 samples in this range", 0), 0u);
    EXPECT_EQ(h.ids().chart->x_min, (double)(now - 7200));

    // A group the file never had: the empty text names the sampling period.
    h.app.config.history_period_s = 120;
    h.pick(G_RAM, R_DAY, 1);
    EXPECT_FALSE(h.ids().chart->has_data);
    EXPECT_EQ(std::string(h.ids().chart->message),
              "no sample in this range yet (one is recorded every 120 s while connected)");
    h.draw();
}

TEST(HistoryView, BadLinesGapsAndAMetricAppearingHalfway) {
    HIST_APP h;
    h.connect();
    const int64_t now = (int64_t)time(nullptr);
    h.sample(now - 5000, {{"compute.cores.used", 1}});
    // Damage of every kind between good lines: not JSON, a cut line, a time
    // that is text, an array, a line with no time, an empty line, a nested
    // object that only looks old.
    std::string junk =
        "garbage\n{\"time\":" + std::to_string(now - 4000) + ",\"compute.cores.used\":\n" +
        "{\"time\":\"yesterday\",\"compute.cores.used\":5}\n[1,2,3]\n{\"compute.cores.used\":9}\n\n" +
        "{\"x\":{\"time\":1},\"time\":" + std::to_string(now - 3500) + ",\"compute.cores.used\":7}\n";
    FILE *f = fopen(h.path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fputs(junk.c_str(), f);
    fclose(f);
    // A gap of an hour, then RAM starts being recorded.
    h.sample(now - 100,
             {{"compute.cores.used", 3}, {"compute.ram.used", 2048}, {"compute.ram.limit", 51200}});
    ASSERT_EQ(kvn_gui_main_open_view("history"), 0);
    h.pick(G_COMPUTE, R_DAY, 0);
    EXPECT_EQ(h.ids().sample_count, 3);
    ASSERT_NE(h.series("cores"), nullptr);
    ASSERT_EQ(h.series("cores")->count, 3);
    EXPECT_EQ(h.series("cores")->y[1], 7); // the nested object's line is a sample
    EXPECT_EQ(h.series("cores")->x[2], (double)(now - 100));
    h.pick(G_RAM, R_DAY, 1);
    ASSERT_NE(h.series("ram"), nullptr);
    EXPECT_EQ(h.series("ram")->count, 1);
    EXPECT_EQ(h.series("ram limit")->y[0], 51200);
    EXPECT_EQ(std::string(h.ids().chart->units), "MiB");
    h.draw();
}

TEST(HistoryView, ThirtyDaysAtFiveMinutesSpanTheWholeRange) {
    HIST_APP h;
    h.connect();
    const int64_t now = (int64_t)time(nullptr);
    // 8640 samples: more than a series holds.
    std::string text;
    const int n = 30 * 24 * 12;
    for (int i = 0; i < n; i++) {
        const int64_t t = now - 2592000 + 150 + (int64_t)i * 300;
        text += "{\"time\":" + std::to_string(t) + ",\"compute.instances.used\":" + std::to_string(i % 50) +
                ",\"compute.instances.limit\":100}\n";
    }
    test_write_file(h.path, text);
    ASSERT_EQ(kvn_gui_main_open_view("history"), 0);
    h.pick(G_COMPUTE, R_30D, 1);
    EXPECT_EQ(h.ids().sample_count, n);
    const Q_GUI_CHART_SERIES *s = h.series("instances");
    ASSERT_NE(s, nullptr);
    // About a point per three pixels of the chart's width.
    const Q_GUI_WIDGET *cw = q_gui_get_widget(h.app.gui, h.ids().chart_widget);
    EXPECT_LE(s->count, (int)(cw->w / 3) + 1);
    EXPECT_GE(s->count, (int)(cw->w / 6));
    // Both ends of the month are drawn, not only its first fortnight.
    EXPECT_EQ(s->x[0], (double)(now - 2592000 + 150));
    EXPECT_EQ(s->x[s->count - 1], (double)(now - 2592000 + 150 + (int64_t)(n - 1) * 300));
    for (int i = 1; i < s->count; i++)
        ASSERT_GT(s->x[i], s->x[i - 1]);
    EXPECT_EQ(h.series("instances limit")->count, s->count);
    EXPECT_EQ(h.summary().rfind("8640 samples in this range (oldest 720.0 h ago)", 0), 0u) << h.summary();
    h.draw();
    // Every sample handed to a chart at once: thinned to what a series
    // holds, the newest kept.
    Q_CJSON all(kvn_history_load(h.path.c_str(), 0));
    Q_GUI_CHART chart;
    memset(&chart, 0, sizeof chart);
    EXPECT_EQ(kvn_gui_main_history_fill(&chart, all.get(), G_COMPUTE, 0), n);
    ASSERT_EQ(chart.series_count, 1);
    EXPECT_LE(chart.series[0]->count, Q_GUI_CHART_POINTS_MAX);
    EXPECT_GE(chart.series[0]->count, Q_GUI_CHART_POINTS_MAX / 2);
    EXPECT_EQ(chart.series[0]->x[chart.series[0]->count - 1],
              (double)(now - 2592000 + 150 + (int64_t)(n - 1) * 300));
    q_gui_chart_clear_series(&chart);
}

TEST(HistoryView, AHundredThousandLinesLoadTheRangeOnly) {
    HIST_APP h;
    h.connect();
    const int64_t now = (int64_t)time(nullptr);
    std::string text;
    text.reserve(100000 * 200);
    for (int i = 0; i < 100000; i++) {
        const int64_t t = now - (int64_t)(100000 - i) * 300 + 150;
        text += "{\"compute.instances.used\":" + std::to_string(i % 7) +
                ",\"compute.instances.limit\":10,\"compute.cores.used\":3,\"network.port.used\":4,\"time\":" +
                std::to_string(t) + ",\"servers.status.ACTIVE\":2}\n";
    }
    test_write_file(h.path, text);
    ASSERT_EQ(kvn_gui_main_open_view("history"), 0);
    h.pick(G_COMPUTE, R_DAY, 0);
    EXPECT_EQ(h.ids().sample_count, 288);
    h.pick(G_COMPUTE, R_ALL, 0);
    EXPECT_EQ(h.ids().sample_count, 100000);
    EXPECT_LE(h.series("instances")->count, Q_GUI_CHART_POINTS_MAX);
    EXPECT_EQ(h.series("instances")->x[h.series("instances")->count - 1], (double)(now - 150));
    h.draw();
}

TEST(HistoryView, ReloadsWhenTheSamplerStoresASample) {
    HIST_APP h;
    h.connect();
    ASSERT_EQ(kvn_gui_main_open_view("history"), 0);
    h.pick(G_COMPUTE, R_ALL, 0);
    EXPECT_EQ(h.ids().sample_count, 0);
    // The first background sample is due 5 s after the connection; its
    // session offers no service, so it holds only its time.
    const double t0 = al_get_time();
    while (h.ids().sample_count == 0 && al_get_time() - t0 < 60) {
        kvn_gui_main_tick();
        kvn_jobs_deliver();
        al_rest(0.02);
    }
    EXPECT_EQ(h.ids().sample_count, 1);
    EXPECT_EQ(h.summary().rfind("1 sample in this range", 0), 0u) << h.summary();
    EXPECT_TRUE(test_exists(h.path));
}

// ---- usage report ------------------------------------------------------------------

TEST(UsageRules, PeriodsInUtcAndTheRefusedOnes) {
    // 2026-01-15 12:00:00 UTC: "Last month" crosses into the year before.
    const int64_t now = 1768478400;
    struct CASE {
        int index;
        int64_t start, end;
    } cases[] = {
        {0, 1767225600, now},        // 2026-01-01
        {1, 1764547200, 1767225600}, // 2025-12-01 .. 2026-01-01
        {2, now - 604800, now},      {3, now - 2592000, now},
        {4, now - 7776000, now},     {5, 1767225600, now}, // 1 January
    };
    for (const CASE &c : cases) {
        int64_t s = 0, e = 0;
        ASSERT_EQ(kvn_usage_period(c.index, now, &s, &e), 0) << c.index;
        EXPECT_EQ(s, c.start) << c.index;
        EXPECT_EQ(e, c.end) << c.index;
    }
    int64_t s, e;
    EXPECT_EQ(kvn_usage_period(6, now, &s, &e), -1);
    char msg[256];
    EXPECT_EQ(kvn_usage_check_period(now - 10, now, now, msg, sizeof msg), 0);
    EXPECT_EQ(kvn_usage_check_period(now + 3600, now + 7200, now, msg, sizeof msg), -1);
    EXPECT_EQ(std::string(msg),
              "the period starts in the future (2026-01-15T13:00:00 UTC): no usage to report yet");
    EXPECT_EQ(kvn_usage_check_period(now - 10, now - 20, now, msg, sizeof msg), -1);
    EXPECT_EQ(std::string(msg),
              "the period ends before it starts (2026-01-15T11:59:50 to 2026-01-15T11:59:40 UTC)");
    // The first second of a month: "This month" is empty, and says so.
    ASSERT_EQ(kvn_usage_period(0, 1767225600, &s, &e), 0);
    EXPECT_EQ(kvn_usage_check_period(s, e, 1767225600, msg, sizeof msg), -1);

    int64_t t = 0;
    EXPECT_EQ(kvn_usage_parse_time("2026-01-15T12:00:00.123456", &t), 0);
    EXPECT_EQ(t, now);
    EXPECT_EQ(kvn_usage_parse_time("yesterday", &t), -1);
}

TEST(UsageRules, PerDayConsumption) {
    const int64_t start = 1767225600; // 2026-01-01
    // Started before the period and still running: every day whole. One
    // started at noon of day 1 and ended at noon of day 2. One that ended
    // before the period adds nothing.
    Q_CJSON list(cJSON_Parse(R"([
      {"name":"a","vcpus":2,"memory_mb":2048,"local_gb":10,"started_at":"2025-12-20T00:00:00"},
      {"name":"b","vcpus":1,"memory_mb":512,"local_gb":1,"started_at":"2026-01-02T12:00:00.000000",
       "ended_at":"2026-01-03T12:00:00.000000"},
      {"name":"c","vcpus":8,"memory_mb":8192,"local_gb":80,"started_at":"2025-11-01T00:00:00",
       "ended_at":"2025-11-02T00:00:00"}])"));
    ASSERT_NE(list, nullptr);
    KVN_USAGE_DAYS *d = (KVN_USAGE_DAYS *)calloc(1, sizeof(KVN_USAGE_DAYS));
    ASSERT_EQ(kvn_usage_per_day(list.get(), start, start + 3 * 86400 - 3600, d), 0);
    EXPECT_EQ(d->count, 3); // a part day is a day
    EXPECT_DOUBLE_EQ(d->vcpu[0], 48);
    EXPECT_DOUBLE_EQ(d->vcpu[1], 48 + 12);
    EXPECT_DOUBLE_EQ(d->vcpu[2], 2 * 23 + 12);
    EXPECT_DOUBLE_EQ(d->ram[1], 48 + 6);
    EXPECT_DOUBLE_EQ(d->disk[2], 10 * 23 + 12);
    // 500 days are cut to 400 points.
    ASSERT_EQ(kvn_usage_per_day(list.get(), start, start + 500LL * 86400, d), 0);
    EXPECT_EQ(d->count, KVN_USAGE_DAYS_MAX);
    EXPECT_DOUBLE_EQ(d->vcpu[399], 48);
    free(d);
}

TEST(UsageReport, FilledFromTheAnswersWithAndWithoutAdmin) {
    HIST_APP h;
    ASSERT_EQ(kvn_gui_main_open_view("usage"), 0);
    KVN_USAGE_IDS u;
    kvn_gui_main_usage_ids(&u);
    ASSERT_GE(u.window, 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(std::string(u.servers[i]->message), "--");
    EXPECT_EQ(std::string(u.days->message), "--");
    EXPECT_EQ(std::string(u.hyper->message), "--");

    const int64_t start = 1767225600, end = start + 2 * 86400;
    Q_CJSON usage(cJSON_Parse(R"({"server_usages":[
        {"name":"web","hours":48,"vcpus":2,"memory_mb":1024,"local_gb":10,"started_at":"2025-12-01T00:00:00"},
        {"hours":10,"vcpus":1,"memory_mb":512,"started_at":"2026-01-02T00:00:00","ended_at":"2026-01-02T10:00:00"}],
      "total_hours":58,"total_vcpus_usage":106,"total_memory_mb_usage":54272,"total_local_gb_usage":480})"));
    kvn_gui_main_usage_fill(usage.get(), nullptr, "", start, end);
    kvn_gui_main_usage_ids(&u);
    EXPECT_TRUE(u.loaded);
    EXPECT_EQ(
        std::string(q_gui_label_get_text(h.app.gui, u.totals)),
        "Totals: 58.0 server hours, 106.0 vCPU hours, 53.0 RAM GiB hours, 480.0 disk GB hours (2 servers)");
    ASSERT_EQ(u.servers[0]->bar_count, 2);
    EXPECT_EQ(std::string(u.servers[0]->bars[1].label), "?");
    EXPECT_DOUBLE_EQ(u.servers[0]->bars[0].value, 96);
    EXPECT_DOUBLE_EQ(u.servers[1]->bars[0].value, 48);
    EXPECT_DOUBLE_EQ(u.servers[2]->bars[1].value, 0); // no local_gb counts as 0
    ASSERT_EQ(u.days->series_count, 3);
    EXPECT_EQ(std::string(u.days->series[0]->name), "vCPU hours");
    EXPECT_EQ(u.days->series[0]->count, 2);
    EXPECT_DOUBLE_EQ(u.days->series[0]->y[1], 48 + 10);
    EXPECT_EQ(u.days->series[0]->x[1], (double)(start + 86400));
    EXPECT_FALSE(u.hyper->has_data);
    EXPECT_EQ(std::string(u.hyper->message), "hypervisor statistics need the admin role");
    EXPECT_EQ(std::string(h.app.status_text), "usage report loaded");

    Q_CJSON hyper(cJSON_Parse(R"({"count":1,"vcpus":8,"vcpus_used":3,"memory_mb":16384,"memory_mb_used":2048,
      "local_gb":100,"local_gb_used":20,"running_vms":3})"));
    kvn_gui_main_usage_fill(usage.get(), hyper.get(), "", start, end);
    kvn_gui_main_usage_ids(&u);
    ASSERT_EQ(u.hyper->bar_count, 8);
    const char *labels[8] = {"vCPUs used",   "vCPUs total",   "RAM used GiB", "RAM total GiB",
                             "Disk used GB", "Disk total GB", "Running VMs",  "Hypervisors"};
    const double values[8] = {3, 8, 2, 16, 20, 100, 3, 1};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(std::string(u.hyper->bars[i].label), labels[i]);
        EXPECT_DOUBLE_EQ(u.hyper->bars[i].value, values[i]);
    }
    EXPECT_EQ(u.hyper->bars[1].color, 1);
    EXPECT_EQ(u.hyper->bars[7].color, 2);
    h.draw();

    // A failed load: the message label and the status line carry the error.
    kvn_gui_main_usage_fill(nullptr, nullptr, "usage: HTTP 403 Forbidden", start, end);
    kvn_gui_main_usage_ids(&u);
    EXPECT_EQ(std::string(q_gui_label_get_text(h.app.gui, u.message)), "usage: HTTP 403 Forbidden");
    EXPECT_EQ(std::string(u.servers[0]->message), "no usage data");
    EXPECT_EQ(std::string(u.days->message), "no usage data");
    EXPECT_EQ(h.app.status_kind, KVN_STATUS_ERROR);
    // A connection change empties it all again.
    kvn_app_connect_changed();
    kvn_gui_main_usage_ids(&u);
    EXPECT_FALSE(u.loaded);
    EXPECT_EQ(std::string(u.servers[0]->message), "--");
    EXPECT_EQ(std::string(q_gui_label_get_text(h.app.gui, u.message)), "");
}
