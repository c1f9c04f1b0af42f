// labels: cloud display
// The main window against the local cloud, with the program's own
// descriptors: the tree as the demo user (no administrator resource) and as
// admin, the overview's gauges against what the services answer for the
// project, and a project switch through the drop-down that brings the other
// project's figures.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_cloud_test.h"
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
#include "q_http_client.h"

namespace {
struct CLOUD_MAIN {
    TEST_DIR dir;
    KVN_APP app;
    KVN_GUI_MAIN_IDS ids;
    explicit CLOUD_MAIN(const std::string &who) {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        q_httpc_global_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        app.api = kvn_api_load_dir(KVN_SOURCE_DIR "/resources/api");
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(4), 0);
        kvn_gui_main_build();
        KVN_PROFILE p;
        test_cloud_profile(who, &p);
        KVN_SESSION *s = kvn_session_new(&p);
        kvn_profile_wipe_secret(&p);
        if (kvn_session_authenticate(s, nullptr) != 0) {
            char why[1024];
            kvn_session_last_error(s, why, sizeof why);
            ADD_FAILURE() << "authentication of " << who << ": " << why;
            kvn_session_free(&s);
            return;
        }
        // As the connect dialog does on success.
        app.session = s;
        app.session_generation++;
        kvn_app_connect_changed();
        kvn_gui_main_ids(&ids);
    }
    ~CLOUD_MAIN() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    // Delivers jobs as the loop does until the status line reads `text`.
    bool wait_status(const std::string &text, int seconds = 180) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            kvn_jobs_deliver();
            kvn_gui_main_tick();
            if (text == app.status_text) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    bool wait_idle() { return kvn_jobs_wait_idle(180000) == 0; }
    bool has_node(const char *label) {
        kvn_gui_main_ids(&ids);
        for (int i = 0; i < ids.tree->count; i++)
            if (!strcmp(ids.tree->nodes[i].label, label)) return true;
        return false;
    }
    int admin_nodes() {
        kvn_gui_main_ids(&ids);
        int n = 0;
        for (int i = 0; i < ids.tree->count; i++) {
            const void *d = ids.tree->nodes[i].user;
            for (int s = 0; s < app.api->service_count; s++)
                for (int r = 0; r < app.api->services[s]->resource_count; r++)
                    if (app.api->services[s]->resources[r] == d && app.api->services[s]->resources[r]->admin)
                        n++;
        }
        return n;
    }
    Q_CJSON get(const char *svc, const char *path) {
        KVN_RESULT *r = kvn_session_call(app.session, svc, "GET", path, nullptr, nullptr, nullptr);
        Q_CJSON out(r && kvn_result_ok(r) ? r->json : nullptr);
        if (r && kvn_result_ok(r)) r->json = nullptr;
        kvn_result_free(&r);
        return out;
    }
    const Q_GUI_CHART *gauge(const char *key) {
        KVN_OVERVIEW_IDS ov;
        kvn_gui_main_overview_ids(&ov);
        int count = 0;
        const KVN_OVERVIEW_METRIC *m = kvn_gui_main_overview_metrics(&count);
        for (int i = 0; i < count; i++)
            if (!strcmp(m[i].key, key)) return &ov.gauge_charts[i];
        return nullptr;
    }
};

double num(const cJSON *j, const char *path) {
    const cJSON *v = kvn_api_json_at(j, path);
    return cJSON_IsNumber(v) ? v->valuedouble : -12345;
}
} // namespace

TEST(MainWindowCloud, DemoSeesNoAdminResourcesAndItsOwnFigures) {
    CLOUD_MAIN m("demo");
    ASSERT_NE(m.app.session, nullptr);
    EXPECT_EQ(m.admin_nodes(), 0);
    EXPECT_TRUE(m.has_node("Overview (quotas, usage)"));
    // Connecting loads the overview (it is the current view).
    ASSERT_TRUE(m.wait_status("overview loaded")) << m.app.status_text;
    EXPECT_TRUE(m.wait_idle());
    const std::string label = q_gui_label_get_text(m.app.gui, m.ids.connection);
    EXPECT_EQ(label.rfind("demo @ demo", 0), 0u) << label;
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    const std::string first = q_gui_label_get_text(m.app.gui, ov.first);
    EXPECT_EQ(first.rfind("User demo on project demo (domain ", 0), 0u) << first;
    // The local cloud's catalog has two regions: each service is named once.
    const std::string second = q_gui_label_get_text(m.app.gui, ov.second);
    const size_t compute = second.find(" compute,");
    EXPECT_NE(compute, std::string::npos) << second;
    EXPECT_EQ(second.find(" compute,", compute + 1), std::string::npos) << second;

    // The figures the services give for the project now.
    Q_CJSON limits = m.get("compute", "/limits");
    ASSERT_TRUE(limits);
    struct ROW {
        const char *key, *used, *limit;
    };
    for (const ROW &r :
         {ROW{"compute.instances", "limits.absolute.totalInstancesUsed", "limits.absolute.maxTotalInstances"},
          ROW{"compute.cores", "limits.absolute.totalCoresUsed", "limits.absolute.maxTotalCores"},
          ROW{"compute.ram", "limits.absolute.totalRAMUsed", "limits.absolute.maxTotalRAMSize"}}) {
        const Q_GUI_CHART *g = m.gauge(r.key);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->has_data, 1) << r.key;
        EXPECT_EQ(g->used, num(limits.get(), r.used)) << r.key;
        EXPECT_EQ(g->limit, num(limits.get(), r.limit)) << r.key;
    }
    KVN_SESSION_INFO info;
    kvn_session_info(m.app.session, &info);
    Q_CJSON vq =
        m.get("block-storage", ("/os-quota-sets/" + std::string(info.project_id) + "?usage=true").c_str());
    ASSERT_TRUE(vq);
    EXPECT_EQ(m.gauge("volume.volumes")->used, num(vq.get(), "quota_set.volumes.in_use"));
    EXPECT_EQ(m.gauge("volume.volumes")->limit, num(vq.get(), "quota_set.volumes.limit"));
    Q_CJSON nq = m.get("network", ("/quotas/" + std::string(info.project_id) + "/details.json").c_str());
    ASSERT_TRUE(nq);
    EXPECT_EQ(m.gauge("network.port")->used, num(nq.get(), "quota.port.used"));
    EXPECT_EQ(m.gauge("network.port")->limit, num(nq.get(), "quota.port.limit"));
    // The sample went to the project's history file.
    char path[4096];
    ASSERT_EQ(kvn_history_path(m.app.session, path, sizeof path), 0);
    EXPECT_TRUE(test_exists(path)) << path;
}

// A server and a volume of the demo project made for one test and removed
// afterwards, so the gauges have something of their own to count.
struct DEMO_RESOURCES {
    std::string server = unique("ovsrv"), volume = unique("ovvol");
    bool made = false;
    DEMO_RESOURCES() {
        const CLOUD_RESULT s = os_cli("server create --flavor m1.nano --image cirros-fake --network private "
                                      "--wait -f value -c status " +
                                      server);
        const CLOUD_RESULT v = os_cli("volume create --size 1 -f value -c status " + volume);
        made = s.code == 0 && v.code == 0 &&
               wait_value("volume show -f value -c status " + volume, "available") == "available";
        if (!made) ADD_FAILURE() << "server: " << s.out << "\nvolume: " << v.out;
    }
    ~DEMO_RESOURCES() {
        os_cli("server delete --wait " + server);
        os_cli("volume delete " + volume);
    }
};

size_t count_of(const cJSON *j, const char *array) {
    return (size_t)cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(j, array));
}

double bar_value(const Q_GUI_CHART *c, const char *label) {
    for (int i = 0; i < c->bar_count; i++)
        if (!strcmp(c->bars[i].label, label)) return c->bars[i].value;
    return 0;
}

// The gauges and bars after a server and a volume are made: the same numbers
// as the services give. The demo project is shared with the other cloud
// tests, so a figure that moved between the dashboard's sample and the
// comparison's calls earns a fresh load, a few times at most.
TEST(MainWindowCloud, GaugesCountANewServerAndVolumeAsTheServicesDo) {
    DEMO_RESOURCES made;
    ASSERT_TRUE(made.made);
    CLOUD_MAIN m("demo");
    ASSERT_NE(m.app.session, nullptr);
    ASSERT_TRUE(m.wait_status("overview loaded")) << m.app.status_text;
    KVN_SESSION_INFO info;
    kvn_session_info(m.app.session, &info);
    const std::string quota = "/os-quota-sets/" + std::string(info.project_id) + "?usage=true";
    std::string mismatch;
    for (int attempt = 0; attempt < 4; attempt++) {
        if (attempt > 0) {
            ASSERT_TRUE(m.wait_idle());
            m.app.status_text[0] = 0;
            kvn_gui_main_overview_load();
            ASSERT_TRUE(m.wait_status("overview loaded")) << m.app.status_text;
        }
        Q_CJSON limits = m.get("compute", "/limits");
        Q_CJSON vq = m.get("block-storage", quota.c_str());
        Q_CJSON active = m.get("compute", "/servers?status=ACTIVE");
        Q_CJSON available = m.get("block-storage", "/volumes?status=available");
        ASSERT_TRUE(limits && vq && active && available);
        std::ostringstream why;
        auto same = [&](const char *key, double got, double want) {
            if (got != want) why << key << ": gauge " << got << ", service " << want << "; ";
        };
        same("instances used", m.gauge("compute.instances")->used,
             num(limits.get(), "limits.absolute.totalInstancesUsed"));
        same("cores used", m.gauge("compute.cores")->used,
             num(limits.get(), "limits.absolute.totalCoresUsed"));
        same("ram used", m.gauge("compute.ram")->used, num(limits.get(), "limits.absolute.totalRAMUsed"));
        same("volumes used", m.gauge("volume.volumes")->used, num(vq.get(), "quota_set.volumes.in_use"));
        same("volumes limit", m.gauge("volume.volumes")->limit, num(vq.get(), "quota_set.volumes.limit"));
        same("gigabytes used", m.gauge("volume.gigabytes")->used,
             num(vq.get(), "quota_set.gigabytes.in_use"));
        KVN_OVERVIEW_IDS ov;
        kvn_gui_main_overview_ids(&ov);
        same("ACTIVE servers", bar_value(ov.bars[0], "ACTIVE"), (double)count_of(active.get(), "servers"));
        same("available volumes", bar_value(ov.bars[2], "available"),
             (double)count_of(available.get(), "volumes"));
        mismatch = why.str();
        if (mismatch.empty()) break;
    }
    EXPECT_EQ(mismatch, "");
    // Ours are among what was counted.
    EXPECT_GE(m.gauge("compute.instances")->used, 1);
    EXPECT_GE(m.gauge("volume.volumes")->used, 1);
    EXPECT_EQ(m.gauge("compute.instances")->has_data, 1);
    EXPECT_EQ(m.gauge("volume.gigabytes")->has_data, 1);
}

// A project of this run on which the admin user holds a role, so the
// drop-down has a second entry whatever the cloud holds; removed afterwards.
struct EXTRA_PROJECT {
    std::string name = unique("mainwin");
    bool made = false;
    EXTRA_PROJECT() {
        made = os_cli("project create --domain Default " + quote(name), "admin").code == 0 &&
               os_cli("role add --user admin --user-domain Default --project " + quote(name) +
                          " --project-domain Default admin",
                      "admin")
                       .code == 0;
    }
    ~EXTRA_PROJECT() { os_cli("project delete " + quote(name), "admin"); }
};

TEST(MainWindowCloud, AdminSwitchesProjectThroughTheDropDown) {
    EXTRA_PROJECT extra;
    ASSERT_TRUE(extra.made);
    CLOUD_MAIN m("admin");
    ASSERT_NE(m.app.session, nullptr);
    EXPECT_GT(m.admin_nodes(), 0);
    ASSERT_TRUE(m.wait_status("overview loaded")) << m.app.status_text;
    EXPECT_TRUE(m.wait_idle());
    kvn_gui_main_tick();
    kvn_gui_main_ids(&m.ids);
    ASSERT_GT(m.ids.project_count, 1);
    EXPECT_TRUE(q_gui_widget_is_enabled(m.app.gui, m.ids.projects));
    const int current = q_gui_combobox_get_selected(m.app.gui, m.ids.projects);
    KVN_SESSION_INFO before;
    kvn_session_info(m.app.session, &before);
    EXPECT_EQ(std::string(q_gui_combobox_get_item_text(m.app.gui, m.ids.projects, current)),
              before.project_name);
    // Pick another project as a user would: open the list, click a row.
    const int other = current == 0 ? 1 : 0;
    const std::string other_name = q_gui_combobox_get_item_text(m.app.gui, m.ids.projects, other);
    q_gui_combobox_set_open(m.app.gui, m.ids.projects, 1);
    float lx, ly, lw, lh;
    ASSERT_TRUE(q_gui_combobox_list_rect(m.app.gui, m.ids.projects, &lx, &ly, &lw, &lh));
    const float row_h = lh / (float)q_gui_combobox_count(m.app.gui, m.ids.projects);
    const float y = ly + row_h * ((float)other + 0.5f);
    for (int type :
         {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ALLEGRO_EVENT_MOUSE_BUTTON_UP}) {
        ALLEGRO_EVENT ev = kvn_mouse_event(type, lx + 20, y, type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1, 5);
        q_gui_process_event(m.app.gui, &ev);
    }
    ASSERT_TRUE(m.wait_status("switched to project " + other_name)) << m.app.status_text;
    KVN_SESSION_INFO after;
    kvn_session_info(m.app.session, &after);
    EXPECT_EQ(std::string(after.project_name), other_name);
    // The overview reloads for the new project: its instance limit is the
    // new project's.
    ASSERT_TRUE(m.wait_status("overview loaded")) << m.app.status_text;
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    const std::string first = q_gui_label_get_text(m.app.gui, ov.first);
    EXPECT_NE(first.find("on project " + other_name + " "), std::string::npos) << first;
    Q_CJSON limits = m.get("compute", "/limits");
    ASSERT_TRUE(limits);
    EXPECT_EQ(m.gauge("compute.instances")->used, num(limits.get(), "limits.absolute.totalInstancesUsed"));
    EXPECT_EQ(m.gauge("compute.instances")->limit, num(limits.get(), "limits.absolute.maxTotalInstances"));
    EXPECT_TRUE(m.wait_idle());
    // Picking the project already current submits nothing.
    kvn_gui_main_ids(&m.ids);
    const int now = q_gui_combobox_get_selected(m.app.gui, m.ids.projects);
    EXPECT_EQ(std::string(q_gui_combobox_get_item_text(m.app.gui, m.ids.projects, now)), other_name);
}

// The program itself, as a user starts it from a shell with a sourced openrc:
// it connects without the dialog, the overview's first sample lands in the
// project's history file soon enough for a user waiting on it, and a SIGTERM
// ends it as a quit does, writing the settings and the layout.
TEST(MainWindowCloud, TheProgramStartedWithEnvWritesHistoryAndSavesOnSigterm) {
    const std::string project_id = field("token issue -f value -c project_id");
    ASSERT_FALSE(project_id.empty()) << cloud_last_call().result.out;
    TEST_DIR home;
    std::vector<std::string> env = {"KVN_HOME=" + home.path, "-OS_CLOUD", "-OS_CLIENT_CONFIG_FILE"};
    for (auto &kv : test_cloud_openrc("demo"))
        env.push_back(kv.first + "=" + kv.second);
    const std::string history = home.path + "/history/127.0.0.1_" + project_id + ".jsonl";
    TEST_PROC p;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(test_spawn(&p, {KVN_PROGRAM, "--env", "--open", "overview"}, env));
    std::string line;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        // Drains the child's log while it works; the text never comes.
        p.wait_for("\x01", 200);
        std::ifstream in(history);
        // A whole line only: the file may be caught between two writes.
        if (in && std::getline(in, line) && !in.eof()) break;
        line.clear();
    }
    ASSERT_FALSE(line.empty()) << "no history sample in " << history << " within 20 s; log:\n" << p.err;
    Q_CJSON sample(cJSON_Parse(line.c_str()));
    ASSERT_TRUE(cJSON_IsObject(sample.get())) << line;
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(sample.get(), "time"))) << line;
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(sample.get(), "compute.instances.limit")))
        << line;
    p.kill_now(SIGTERM);
    EXPECT_EQ(p.wait_exit(30000), 0) << p.err;
    EXPECT_TRUE(test_exists(home.path + "/layout.json")) << p.err;
    EXPECT_TRUE(test_exists(home.path + "/kvn.conf")) << p.err;
}
