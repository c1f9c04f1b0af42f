// labels: cloud display
// The usage report against the local cloud: a server of this test is
// created and deleted, and the report of "This month" is compared with what
// `openstack usage show` says for the same period. Other tests create
// servers in the same project at the same time, and usage only grows while
// a period runs, so the client's figures must lie between two loads of the
// report made before and after it. Without the admin role the hypervisor
// chart says why it is empty; with it, it shows the cloud's hypervisors.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_cloud_test.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_profile.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"

namespace {
// Every server of this test starts with it, so a run killed half-way is
// cleaned up by the next one.
const char *const k_prefix = "kvn-usage-";

struct FIGURES {
    double server_hours = -1, vcpu = -1, ram_gib = -1, disk = -1;
    int servers = -1;
};

struct USAGE_CLOUD {
    TEST_DIR dir;
    KVN_APP app;
    explicit USAGE_CLOUD(const std::string &who) {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.config.history_enabled = 0;
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        mkdir(dir.file("api").c_str(), 0700);
        app.api = kvn_api_load_dir(dir.file("api").c_str());
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(2), 0);
        kvn_gui_main_build();
        KVN_PROFILE p;
        test_cloud_profile(who, &p);
        app.session = kvn_session_new(&p);
        kvn_profile_wipe_secret(&p);
        if (kvn_session_authenticate(app.session, nullptr) != 0) {
            char why[1024];
            kvn_session_last_error(app.session, why, sizeof why);
            ADD_FAILURE() << "authentication of " << who << ": " << why;
            kvn_session_free(&app.session);
            return;
        }
        app.session_generation++;
        kvn_app_connect_changed();
    }
    ~USAGE_CLOUD() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    KVN_USAGE_IDS ids() {
        KVN_USAGE_IDS u;
        kvn_gui_main_usage_ids(&u);
        return u;
    }
    // Loads the report (or waits for the load the view started) and reads
    // its totals line.
    FIGURES load() {
        if (!ids().loading) kvn_gui_main_usage_load();
        EXPECT_TRUE(ids().loading);
        const auto t0 = std::chrono::steady_clock::now();
        while (ids().loading && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(240)) {
            kvn_jobs_deliver();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_FALSE(ids().loading) << "no answer in 240 s";
        FIGURES f;
        const char *text = q_gui_label_get_text(app.gui, ids().totals);
        EXPECT_EQ(
            sscanf(
                text,
                "Totals: %lf server hours, %lf vCPU hours, %lf RAM GiB hours, %lf disk GB hours (%d servers)",
                &f.server_hours, &f.vcpu, &f.ram_gib, &f.disk, &f.servers),
            5)
            << text << " / " << q_gui_label_get_text(app.gui, ids().message);
        return f;
    }
    const Q_GUI_CHART_BAR *bar(int chart, const std::string &label) {
        const Q_GUI_CHART *c = ids().servers[chart];
        for (int i = 0; i < c->bar_count; i++)
            if (label == c->bars[i].label) return &c->bars[i];
        return nullptr;
    }
};

std::string _day(time_t t) {
    struct tm tm;
    gmtime_r(&t, &tm);
    char out[16];
    strftime(out, sizeof out, "%Y-%m-%d", &tm);
    return out;
}

// `openstack usage show` of the project from the first of this month to
// tomorrow (the service stops a period at its own now).
FIGURES _cli(const std::string &project) {
    const time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char first[16];
    strftime(first, sizeof first, "%Y-%m-01", &tm);
    const CLOUD_RESULT r = os_cli("usage show -f json --project " + project + " --start " + first +
                                  " --end " + _day(now + 86400));
    FIGURES f;
    EXPECT_EQ(r.code, 0) << r.out;
    Q_CJSON j(cJSON_Parse(r.out.c_str()));
    // Numbers in JSON output, texts in older clients', and "" for a
    // project without usage; "Servers" is the list of servers.
    auto num = [&](const char *key) {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(j.get(), key);
        if (cJSON_IsNumber(v)) return v->valuedouble;
        if (cJSON_IsArray(v)) return (double)cJSON_GetArraySize(v);
        return cJSON_IsString(v) && v->valuestring[0] ? atof(v->valuestring) : 0.0;
    };
    f.vcpu = num("CPU Hours");
    f.ram_gib = num("RAM MB-Hours") / 1024;
    f.disk = num("Disk GB-Hours");
    f.servers = (int)num("Servers");
    return f;
}

void _remove_leftovers(void) {
    const CLOUD_RESULT r = os_cli(std::string("server list -f value -c ID --name '^") + k_prefix + "'");
    size_t start = 0;
    while (start < r.out.size()) {
        size_t nl = r.out.find('\n', start);
        if (nl == std::string::npos) nl = r.out.size();
        const std::string id = r.out.substr(start, nl - start);
        if (!id.empty()) os_cli("server delete --wait " + id);
        start = nl + 1;
    }
}
} // namespace

TEST(UsageReportCloud, FiguresMatchTheClientForTheSamePeriod) {
    _remove_leftovers();
    const std::string name = std::string(k_prefix) + std::to_string(getpid());
    const std::string image = field(
        "image show -f value -c id cirros-fake"); // the seeded image: other tests add and delete their own
    const std::string flavor = field("flavor list -f value -c ID --sort-column RAM --limit 1");
    const std::string network = field("network show -f value -c id private");
    ASSERT_FALSE(image.empty());
    ASSERT_FALSE(flavor.empty());
    ASSERT_FALSE(network.empty());
    const int vcpus = atoi(field("flavor show -f value -c vcpus " + flavor).c_str());
    std::string id = field("server create -f value -c id --wait --image " + image + " --flavor " + flavor +
                           " --network " + network + " " + quote(name));
    id = id.substr(id.find_last_of('\n') + 1); // --wait prints its progress first
    ASSERT_FALSE(id.empty());
    struct GONE {
        std::string id;
        bool done = false;
        ~GONE() {
            if (!done) os_cli("server delete --wait " + id);
        }
    } gone{id};

    USAGE_CLOUD u("demo");
    ASSERT_NE(u.app.session, nullptr);
    KVN_SESSION_INFO info;
    ASSERT_EQ(kvn_session_info(u.app.session, &info), 0);
    ASSERT_EQ(kvn_gui_main_open_view("usage"), 0);
    ASSERT_TRUE(u.ids().loading); // shown: it loads by itself
    const FIGURES before = u.load();
    const FIGURES cli = _cli(info.project_id);
    const FIGURES after = u.load();
    printf(
        "usage this month: report %d servers %.1f vCPU h %.1f RAM GiB h %.1f disk GB h; client %d servers "
        "%.2f vCPU h %.2f RAM GiB h %.2f disk GB h; report again %d servers %.1f vCPU h %.1f RAM GiB h %.1f "
        "disk GB h\n",
        before.servers, before.vcpu, before.ram_gib, before.disk, cli.servers, cli.vcpu, cli.ram_gib,
        cli.disk, after.servers, after.vcpu, after.ram_gib, after.disk);
    // Usage only grows while the period runs: the client's figures, rounded
    // to hundredths, lie between the two loads of ours, rounded to tenths.
    EXPECT_GE(cli.servers, before.servers);
    EXPECT_LE(cli.servers, after.servers);
    EXPECT_GE(cli.vcpu, before.vcpu - 0.06);
    EXPECT_LE(cli.vcpu, after.vcpu + 0.06);
    EXPECT_GE(cli.ram_gib, before.ram_gib - 0.06);
    EXPECT_LE(cli.ram_gib, after.ram_gib + 0.06);
    EXPECT_GE(cli.disk, before.disk - 0.06);
    EXPECT_LE(cli.disk, after.disk + 0.06);
    // Our server is one bar of each per-server chart, its vCPU hours its
    // running hours times the flavor's vCPUs.
    const Q_GUI_CHART_BAR *b = u.bar(0, name);
    ASSERT_NE(b, nullptr);
    EXPECT_GT(b->value, 0);
    ASSERT_NE(u.bar(1, name), nullptr);
    ASSERT_NE(u.bar(2, name), nullptr);
    // The per-day chart has a point per day of the month so far.
    const Q_GUI_CHART *days = u.ids().days;
    ASSERT_EQ(days->series_count, 3);
    struct tm tm;
    const time_t now = time(nullptr);
    gmtime_r(&now, &tm);
    EXPECT_EQ(days->series[0]->count, tm.tm_mday);
    // Today's vCPU hours hold at least our server's.
    EXPECT_GE(days->series[0]->y[days->series[0]->count - 1] + 1e-6, b->value);
    // The demo user is no admin.
    EXPECT_EQ(std::string(u.ids().hyper->message), "hypervisor statistics need the admin role");
    EXPECT_EQ(std::string(u.app.status_text), "usage report loaded");

    // Deleted, the server is still reported for the time it ran.
    os_cli("server delete --wait " + id);
    gone.done = true;
    const double ran = b->value / (vcpus > 0 ? vcpus : 1);
    const FIGURES later = u.load();
    const Q_GUI_CHART_BAR *kept = u.bar(0, name);
    ASSERT_NE(kept, nullptr);
    EXPECT_GE(kept->value / (vcpus > 0 ? vcpus : 1), ran - 1e-6);
    EXPECT_GE(later.servers, after.servers);
    const FIGURES cli_later = _cli(info.project_id);
    EXPECT_GE(cli_later.servers, later.servers);
    EXPECT_GE(cli_later.vcpu, later.vcpu - 0.06);
}

TEST(UsageReportCloud, AdminSeesTheHypervisors) {
    USAGE_CLOUD u("admin");
    ASSERT_NE(u.app.session, nullptr);
    ASSERT_EQ(kvn_gui_main_open_view("usage"), 0);
    u.load();
    const Q_GUI_CHART *h = u.ids().hyper;
    ASSERT_EQ(h->bar_count, 8);
    EXPECT_EQ(std::string(h->bars[7].label), "Hypervisors");
    EXPECT_GE(h->bars[7].value, 1);
    EXPECT_GT(h->bars[1].value, 0); // vCPUs total
    EXPECT_EQ(std::string(q_gui_label_get_text(u.app.gui, u.ids().message)), "");
}
