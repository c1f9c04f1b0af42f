// labels: gui
// The command tools' windows and forms in a real display with the project's
// descriptors: the command list (rows, a filter typed in capitals, the
// selection), the checks of the tool forms, the chart window, the texts of
// the informational windows, the ssh and token texts, a tool answer that
// arrives after a disconnect, and an OAuth1 answer without its secret from a
// stand-in Keystone (no real one sends that).
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <unistd.h>
#include <string>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_gui_cmdtools.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_resource.h"
#include "kvn_gui_tools.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_script_server.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"
#include "q_http_client.h"

namespace {

struct TOOLS_APP {
    TEST_DIR home;
    KVN_APP app;
    explicit TOOLS_APP(bool session = true) {
        setenv("KVN_HOME", home.path.c_str(), 1);
        kvn_paths_init();
        q_httpc_global_init();
        memset(&app, 0, sizeof app);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        app.api = kvn_api_load_dir(KVN_SOURCE_DIR "/resources/api");
        if (session) {
            KVN_PROFILE p;
            kvn_profile_defaults(&p);
            app.session = kvn_session_new(&p);
            kvn_session_add_endpoint(app.session, "identity", "public", "R1", "http://127.0.0.1:9/v3");
            app.session_generation = 1;
        }
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(2), 0);
        kvn_cmdtools_register();
        kvn_gui_tools_register();
    }
    ~TOOLS_APP() {
        kvn_jobs_shutdown();
        kvn_cmdtools_shutdown();
        kvn_gui_form_destroy_all();
        kvn_gui_dialogs_shutdown();
        kvn_session_free(&app.session);
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    void feed(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
    void type(const char *text) {
        for (const char *c = text; *c; c++)
            feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, *c));
    }
    std::string result_text() {
        KVN_GUI_DIALOG_IDS d;
        kvn_gui_dialogs_ids(&d);
        if (d.result_window < 0 || !q_gui_window_is_open(app.gui, d.result_window)) return "(closed)";
        return q_gui_syntaxview_get_text(app.gui, d.result_text);
    }
    std::string result_title() {
        KVN_GUI_DIALOG_IDS d;
        kvn_gui_dialogs_ids(&d);
        const Q_GUI_WINDOW *w = q_gui_get_window(app.gui, d.result_window);
        return w ? w->caption : "";
    }
    std::string form_message(const KVN_OP *op) {
        KVN_FORM_IDS f;
        if (kvn_gui_form_ids(op, &f) != 0) return "(no form)";
        return q_gui_label_get_text(app.gui, f.message);
    }
    bool form_open(const KVN_OP *op) {
        KVN_FORM_IDS f;
        return kvn_gui_form_ids(op, &f) == 0 && q_gui_window_is_open(app.gui, f.window);
    }
    const KVN_OP *action(const char *res, const char *id) {
        const KVN_RESOURCE *r = kvn_api_lookup(app.api, res);
        for (int i = 0; r && i < r->action_count; i++)
            if (!strcmp(r->actions[i]->id, id)) return r->actions[i];
        return nullptr;
    }
};

std::vector<KVN_CMD_ROW> rows_of(const KVN_API *api, const char *filter) {
    std::vector<KVN_CMD_ROW> rows(8192);
    rows.resize((size_t)kvn_cmdtools_rows(api, filter, rows.data(), (int)rows.size()));
    return rows;
}

} // namespace

TEST(CmdTools, CommandListRowsFilterAndOpen) {
    TOOLS_APP t;
    std::vector<KVN_CMD_ROW> all = rows_of(t.app.api, nullptr);
    ASSERT_GT(all.size(), 100u);
    // A listed resource gives one row per command of "list / show", each
    // saying what the GUI does with it.
    int list = 0, show = 0;
    for (const KVN_CMD_ROW &r : all) {
        if (strcmp(r.ref, "compute.server")) continue;
        list += !strcmp(r.command, "openstack server list") && !strcmp(r.operation, "List / show");
        show += !strcmp(r.command, "openstack server show") && !strcmp(r.operation, "List / show");
        EXPECT_EQ(std::string(r.command).find("  "), std::string::npos) << r.command;
        EXPECT_EQ(std::string(r.command).back() == ' ', false) << r.command;
    }
    EXPECT_EQ(list, 1);
    EXPECT_EQ(show, 1);
    bool ssh = false;
    for (const KVN_CMD_ROW &r : all)
        ssh = ssh || (!strcmp(r.command, "openstack server ssh") && !strcmp(r.operation, "SSH command line"));
    EXPECT_TRUE(ssh);

    // Typed in capitals, the filter still finds the lower-case titles.
    kvn_gui_cmdlist_open();
    KVN_CMDTOOLS_IDS ids;
    kvn_cmdtools_ids(&ids);
    ASSERT_GE(ids.list_window, 0);
    EXPECT_TRUE(q_gui_window_is_open(t.app.gui, ids.list_window));
    char want[64];
    q_format(want, sizeof want, "%zu commands", all.size());
    EXPECT_STREQ(q_gui_label_get_text(t.app.gui, ids.list_count), want);
    t.type("KEYPAIR");
    const int shown = q_gui_datagrid_row_count(t.app.gui, ids.list_grid);
    EXPECT_EQ(shown, (int)rows_of(t.app.api, "keypair").size());
    ASSERT_GT(shown, 1);
    for (int i = 0; i < shown; i++) {
        std::string row;
        for (int c = 0; c < 4; c++)
            row += q_gui_datagrid_get_cell(t.app.gui, ids.list_grid, i, c);
        for (char &ch : row)
            ch = (char)tolower((unsigned char)ch);
        EXPECT_NE(row.find("keypair"), std::string::npos) << row;
    }
    t.type("-nothing-like-it");
    EXPECT_STREQ(q_gui_label_get_text(t.app.gui, ids.list_count), "0 commands");

    // Without a selection the window says what is missing and stays.
    q_gui_textarea_set_text(t.app.gui, ids.list_filter, "");
    t.type("openstack server list");
    ASSERT_EQ(q_gui_datagrid_row_count(t.app.gui, ids.list_grid), 1);
    EXPECT_STREQ(q_gui_label_get_text(t.app.gui, ids.list_count), "1 command");
    // Smaller than it opens, as on a small screen, and drawn once as a frame
    // would.
    q_gui_window_set_rect(t.app.gui, ids.list_window, 10, 10, 700, 500);
    kvn_gui_layout_tick();
    al_set_target_backbuffer(g_display);
    q_gui_draw(t.app.gui);
    float x, y, w, h;
    ASSERT_TRUE(q_gui_widget_screen_rect(t.app.gui, ids.list_open, &x, &y, &w, &h));
    for (int type :
         {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ALLEGRO_EVENT_MOUSE_BUTTON_UP})
        t.feed(kvn_mouse_event(type, x + w / 2, y + h / 2, type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1, 50));
    EXPECT_STREQ(q_gui_label_get_text(t.app.gui, ids.list_count), "select a command first")
        << t.app.status_text;
    EXPECT_TRUE(q_gui_window_is_open(t.app.gui, ids.list_window));
}

TEST(CmdTools, CommandListRowsOfEachCliShape) {
    TEST_DIR empty;
    KVN_API *api = kvn_api_load_dir(empty.path.c_str());
    ASSERT_NE(api, nullptr);
    ASSERT_EQ(kvn_api_add(api, R"({"service": "demo", "title": "Demo", "resources": [
        {"id": "server", "title": "Servers", "cli": "server", "list": {"path": "/s", "key": "s"},
         "actions": [{"id": "go", "title": "Go", "cli": "server go / server  went ", "path": "/s/{id}/go"},
                     {"id": "quiet", "title": "Quiet", "path": "/s/{id}/q"}]},
        {"id": "volume", "title": "Volumes", "cli": "volume list", "list": {"path": "/v", "key": "v"},
         "delete": {"cli": "volume delete", "path": "/v/{id}"}},
        {"id": "zone", "title": "Zones", "cli": "availability zone list --long", "list": {"path": "/z", "key": "z"}},
        {"id": "limits", "title": "Limits", "cli": "limits", "kind": "single", "show": {"path": "/l", "key": "l"}, "list": {"path": "/l", "key": "l"}},
        {"id": "pair", "title": "Pairs", "cli": "pair list / pair show --long", "list": {"path": "/p", "key": "p"}},
        {"id": "nolist", "title": "No list", "cli": "nolist"}]})",
                          "demo.json"),
              0)
        << api->error_text;
    struct {
        const char *command, *operation, *ref;
    } want[] = {
        {"openstack server list", "List / show", "demo.server"},
        {"openstack server show", "List / show", "demo.server"},
        {"openstack server go", "Go", "demo.server"},
        {"openstack server  went", "Go", "demo.server"},
        {"openstack volume list", "List / show", "demo.volume"},
        {"openstack volume show", "List / show", "demo.volume"},
        {"openstack volume delete", "Delete", "demo.volume"},
        {"openstack availability zone list --long", "List / show", "demo.zone"},
        {"openstack limits", "Show", "demo.limits"},
        {"openstack pair list", "List / show", "demo.pair"},
        {"openstack pair show --long", "List / show", "demo.pair"},
    };
    std::vector<KVN_CMD_ROW> rows = rows_of(api, "");
    std::string got;
    for (const KVN_CMD_ROW &r : rows)
        got += std::string(r.command) + " | " + r.operation + "\n";
    ASSERT_EQ(rows.size(), sizeof want / sizeof want[0]) << got;
    for (size_t i = 0; i < rows.size(); i++) {
        EXPECT_STREQ(rows[i].command, want[i].command) << i;
        EXPECT_STREQ(rows[i].operation, want[i].operation) << i;
        EXPECT_STREQ(rows[i].ref, want[i].ref) << i;
        EXPECT_STREQ(rows[i].service_title, "Demo");
    }
    // The filter looks at the command, the resource title and the operation.
    EXPECT_EQ(rows_of(api, "VOLUMES").size(), 3u);
    EXPECT_EQ(rows_of(api, "delete").size(), 1u);
    EXPECT_EQ(rows_of(api, "--LONG").size(), 2u);
    kvn_api_free(&api);
}

TEST(CmdTools, FormsRefuseWhatTheToolCannotRun) {
    TOOLS_APP t;
    // A container row without a name opens nothing.
    const KVN_OP *save_op = t.action("object-store.container", "save");
    const KVN_RESOURCE *containers = kvn_api_lookup(t.app.api, "object-store.container");
    ASSERT_NE(containers, nullptr);
    const KVN_OP *ui_save = nullptr;
    for (int i = 0; i < containers->action_count; i++)
        if (containers->actions[i]->ui && !strcmp(containers->actions[i]->ui, "container_save"))
            ui_save = containers->actions[i];
    ASSERT_NE(ui_save, nullptr) << (save_op ? save_op->id : "");
    kvn_session_add_endpoint(t.app.session, "object-store", "public", "R1", "http://127.0.0.1:9/v1/AUTH_x");
    Q_CJSON nameless(cJSON_Parse(R"({"count": 3})"));
    kvn_gui_resource_run(containers, ui_save, nameless.get());
    EXPECT_STREQ(t.app.status_text, "select a container first");
    EXPECT_FALSE(t.form_open(kvn_cmdtools_form_op(0)));

    // The benchmark form, opened from its "ui" name, checks its numbers:
    // 0 batches is fine, 10001 metrics is not.
    const KVN_RESOURCE *metrics = nullptr;
    const KVN_OP *ui_bench = nullptr;
    for (int s = 0; s < t.app.api->service_count && !ui_bench; s++)
        for (int i = 0; i < t.app.api->services[s]->resource_count && !ui_bench; i++) {
            const KVN_RESOURCE *r = t.app.api->services[s]->resources[i];
            for (int a = 0; a < r->action_count; a++)
                if (r->actions[a]->ui && !strcmp(r->actions[a]->ui, "metric_benchmark")) {
                    metrics = r;
                    ui_bench = r->actions[a];
                }
        }
    ASSERT_NE(ui_bench, nullptr);
    kvn_session_add_endpoint(t.app.session, "metric", "public", "R1", "http://127.0.0.1:9/");
    kvn_gui_resource_run(metrics, ui_bench, nullptr);
    const KVN_OP *bench = kvn_cmdtools_form_op(4);
    ASSERT_TRUE(t.form_open(bench));
    KVN_FORM_IDS f;
    ASSERT_EQ(kvn_gui_form_ids(bench, &f), 0);
    ASSERT_EQ(f.field_count, 5);
    EXPECT_STREQ(q_gui_textarea_get_text(t.app.gui, f.input[1]), "50");
    EXPECT_STREQ(q_gui_textarea_get_text(t.app.gui, f.input[2]), "2");
    EXPECT_STREQ(q_gui_textarea_get_text(t.app.gui, f.input[3]), "100");
    q_gui_close_window(t.app.gui, f.window);
    struct {
        const char *count, *batches, *size;
        bool refused;
    } rows[] = {
        {"10001", "2", "100", true}, {"0", "2", "100", true}, {"5", "-1", "100", true},
        {"5", "1001", "100", true},  {"5", "2", "0", true},   {"5x", "2", "100", true},
        {"", "2", "100", true},      {"10", "0", "1", false},
    };
    for (const auto &r : rows) {
        const char *values[5] = {"low", r.count, r.batches, r.size, "false"};
        t.app.status_text[0] = 0;
        ASSERT_EQ(kvn_cmdtools_form_run(4, values, 5), 0);
        if (r.refused) {
            EXPECT_TRUE(t.form_open(bench)) << r.count << " " << r.batches << " " << r.size;
            EXPECT_EQ(t.form_message(bench), "metrics 1..10000, batches 0..1000, batch size 1..10000")
                << r.count << " " << r.batches << " " << r.size;
            q_gui_close_window(t.app.gui, f.window);
            continue;
        }
        EXPECT_FALSE(t.form_open(bench));
        // Accepted: the job runs against a port that refuses every
        // connection, and the table counts each request as failed.
        ASSERT_EQ(kvn_jobs_wait_idle(30000), 0);
        const std::string report = t.result_text();
        EXPECT_NE(report.find("metric create        0      10"), std::string::npos) << report;
        EXPECT_NE(report.find("metric delete        0       0"), std::string::npos) << report;
    }

    // A baremetal document must be a JSON object; YAML is named.
    struct {
        const char *content;
        const char *message;
    } docs[] = {
        {"[{\"nodes\": []}]", "the file is not a JSON object (YAML is not read: convert it to JSON)"},
        {"nodes:\n  - driver: fake\n",
         "the file is not a JSON object (YAML is not read: convert it to JSON)"},
        {nullptr, "cannot read the file"},
        {"", "cannot read the file"}, // past the 16 MiB cap (written below)
    };
    const KVN_OP *create = kvn_cmdtools_form_op(2);
    for (const auto &d : docs) {
        std::string path = t.home.path + "/doc.json";
        unlink(path.c_str());
        if (d.content && !*d.content) {
            // 17 MiB of a valid document: the cap alone refuses it.
            std::string big = "{\"nodes\": [], \"pad\": \"";
            big.append(17u * 1024 * 1024, 'x');
            test_write_file(path, big + "\"}");
        } else if (d.content) {
            test_write_file(path, d.content);
        }
        const char *values[1] = {path.c_str()};
        ASSERT_EQ(kvn_cmdtools_form_run(2, values, 1), 0);
        EXPECT_EQ(t.form_message(create), d.message) << (d.content ? d.content : "(missing)");
        ASSERT_EQ(kvn_gui_form_ids(create, &f), 0);
        q_gui_close_window(t.app.gui, f.window);
    }
    // An empty folder is refused before anything starts.
    const char *no_dir[2] = {"", "false"};
    ASSERT_EQ(kvn_cmdtools_form_run(3, no_dir, 2), 0);
    EXPECT_EQ(t.form_message(kvn_cmdtools_form_op(3)), "choose a folder");
}

// The reports of container save and baremetal create as a delivered job
// shows them: a skipped name makes the save's status a warning, a failed
// listing is the status alone, and baremetal's head line follows its result.
TEST(CmdTools, CompositeReportsFollowTheResult) {
    TOOLS_APP t;
    struct {
        int kind;
        long long result;
        const char *log;
        int cancelled;
        const char *text, *status;
        int status_kind;
    } rows[] = {
        {KVN_TOOL_CONTAINER_SAVE, 2, "skipped ../x: the name would leave the folder\n", 0,
         "2 objects of photos saved in /tmp/out\n\nskipped ../x: the name would leave the folder\n",
         "container save: 2 object(s) saved in /tmp/out", KVN_STATUS_WARNING},
        {KVN_TOOL_CONTAINER_SAVE, 1, "", 1, "1 object of photos saved in /tmp/out (cancelled)\n\n",
         "container save: 1 object(s) saved in /tmp/out", KVN_STATUS_INFO},
        {KVN_TOOL_CONTAINER_SAVE, -1, "cannot list photos: HTTP 404\nmore\n", 0, "(closed)",
         "container save: cannot list photos: HTTP 404", KVN_STATUS_ERROR},
        {KVN_TOOL_BAREMETAL_CREATE, 0, "created node u1 n1\n", 0,
         "Everything was created.\n\ncreated node u1 n1\n", "baremetal create: done", KVN_STATUS_INFO},
        {KVN_TOOL_BAREMETAL_CREATE, 2, "FAILED  node n2: HTTP 400\n", 0,
         "Some resources could not be created.\n\nFAILED  node n2: HTTP 400\n",
         "baremetal create: see the report", KVN_STATUS_ERROR},
        {KVN_TOOL_BAREMETAL_CREATE, -1, "every chassis must be an object\n", 0,
         "The document was not accepted.\n\nevery chassis must be an object\n",
         "baremetal create: see the report", KVN_STATUS_ERROR},
    };
    for (const auto &r : rows) {
        KVN_GUI_DIALOG_IDS d;
        kvn_gui_dialogs_ids(&d);
        if (d.result_window >= 0) q_gui_close_window(t.app.gui, d.result_window);
        KVN_TOOL_JOB *j = kvn_tool_job_new(r.kind);
        ASSERT_NE(j, nullptr);
        q_strcpy(j->text0, sizeof j->text0, "photos");
        q_strcpy(j->text1, sizeof j->text1, "/tmp/out");
        j->result = r.result;
        qstrprintf_cat_ex(j->log, "%s", r.log);
        kvn_tool_job_report(j, r.cancelled);
        kvn_tool_job_free(j);
        EXPECT_EQ(t.result_text(), r.text) << r.log;
        EXPECT_STREQ(t.app.status_text, r.status) << r.log;
        EXPECT_EQ(t.app.status_kind, r.status_kind) << r.log;
    }

    // The cluster configuration: its shell lines, or its error as the status.
    struct {
        long long result;
        const char *report, *text, *status;
    } coe[] = {
        {0, "export KUBECONFIG=/tmp/out/config\n",
         "Configuration written in /tmp/out\n\nexport KUBECONFIG=/tmp/out/config\n",
         "coe cluster config: written in /tmp/out"},
        {-1, "cluster CA: HTTP 404", "(closed)", "coe cluster config: cluster CA: HTTP 404"},
    };
    for (const auto &r : coe) {
        KVN_GUI_DIALOG_IDS d;
        kvn_gui_dialogs_ids(&d);
        if (d.result_window >= 0) q_gui_close_window(t.app.gui, d.result_window);
        KVN_TOOL_JOB *j = kvn_tool_job_new(KVN_TOOL_COE_CONFIG);
        ASSERT_NE(j, nullptr);
        q_strcpy(j->text0, sizeof j->text0, "k1");
        q_strcpy(j->text1, sizeof j->text1, "/tmp/out");
        q_strcpy(j->report, sizeof j->report, r.report);
        j->result = r.result;
        kvn_tool_job_report(j, 0);
        kvn_tool_job_free(j);
        EXPECT_EQ(t.result_text(), r.text) << r.report;
        EXPECT_STREQ(t.app.status_text, r.status) << r.report;
    }
}

TEST(CmdTools, ChartWindowDrawsBarsAndMeasuresOrFallsBack) {
    TOOLS_APP t;
    KVN_CMDTOOLS_IDS ids;
    Q_CJSON summary(cJSON_Parse(R"({"columns": ["type", "rate", "unit"],
        "results": [["compute", 2.5, "h"], ["compute", 1.5, "h"], ["network", 3, "h"], [null, 1, "h"],
                    ["image", "n/a", "h"]]})"));
    EXPECT_EQ(kvn_gui_chart_show(nullptr, "summary", summary.get(), "raw"), 0);
    kvn_cmdtools_ids(&ids);
    ASSERT_NE(ids.chart, nullptr);
    EXPECT_TRUE(q_gui_window_is_open(t.app.gui, ids.chart_window));
    EXPECT_STREQ(ids.chart->title, "Summary");
    ASSERT_EQ(ids.chart->bar_count, 3); // same labels add up; a text value draws nothing
    EXPECT_STREQ(ids.chart->bars[0].label, "compute");
    EXPECT_DOUBLE_EQ(ids.chart->bars[0].value, 4.0);
    EXPECT_STREQ(ids.chart->bars[2].label, "total");

    Q_CJSON measures(cJSON_Parse(R"([["2026-12-10T09:00:00+00:00", 300.0, 1.5],
        ["2026-12-10T09:05:00+00:00", 300.0, 2.5], ["bad", 300, 1], [1, 2]])"));
    EXPECT_EQ(kvn_gui_chart_show("cpu", "measures", measures.get(), nullptr), 0);
    ASSERT_EQ(ids.chart->series_count, 1);
    EXPECT_EQ(ids.chart->kind, Q_GUI_CHART_LINE);
    EXPECT_EQ(ids.chart->series[0]->count, 2);
    EXPECT_DOUBLE_EQ(ids.chart->series[0]->x[1] - ids.chart->series[0]->x[0], 300.0);

    // Nothing to draw: the chart says so, or the fallback text is shown.
    Q_CJSON empty(cJSON_Parse("[]"));
    EXPECT_EQ(kvn_gui_chart_show(nullptr, "measures", empty.get(), nullptr), 0);
    EXPECT_STREQ(ids.chart->message, "no measure in the answer");
    EXPECT_EQ(kvn_gui_chart_show(nullptr, "summary", empty.get(), nullptr), 0);
    EXPECT_STREQ(ids.chart->message, "no cost in the answer");
    EXPECT_EQ(kvn_gui_chart_show("Costs", "summary", empty.get(), "[]\n"), 1);
    EXPECT_EQ(t.result_title(), "Costs");
    EXPECT_EQ(t.result_text(), "[]\n");
}

TEST(CmdTools, InformationTexts) {
    TOOLS_APP t;
    char text[4096];
    kvn_cmdtools_module_text(t.app.api, text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("Kelvane   0.1.0 (dev build)\nAllegro            5.2.", 0), 0u) << text;
    EXPECT_NE(std::string(text).find("\nOpenSSL            OpenSSL 3."), std::string::npos) << text;
    EXPECT_NE(std::string(text).find(
                  "\nThe REST APIs are called directly: no Python client library is involved.\n"),
              std::string::npos);
    int resources = 0, operations = 0;
    for (int s = 0; s < t.app.api->service_count; s++)
        for (int i = 0; i < t.app.api->services[s]->resource_count; i++) {
            const KVN_RESOURCE *r = t.app.api->services[s]->resources[i];
            resources++;
            operations += 1 + !!r->create + !!r->update + !!r->del + r->action_count;
        }
    char counts[128];
    q_format(counts, sizeof counts, "API descriptors    %d services, %d resources, %d operations\n",
             t.app.api->service_count, resources, operations);
    EXPECT_NE(std::string(text).find(counts), std::string::npos) << text;

    // The configuration names the profile's secret without showing it.
    std::vector<char> config(65536);
    kvn_cmdtools_config_text(config.data(), config.size());
    std::string c = config.data();
    EXPECT_EQ(c.rfind("Settings (", 0), 0u);
    EXPECT_NE(c.find("\n  region_name          (first)\n"), std::string::npos) << c;
    EXPECT_NE(c.find("\n  cacert               (system)\n"), std::string::npos);
    EXPECT_NE(c.find("\n  secret               <none>\n"), std::string::npos);
    EXPECT_NE(c.find("\n  identity           public    R1         http://127.0.0.1:9/v3\n"),
              std::string::npos)
        << c;
    KVN_PROFILE p;
    kvn_session_profile(t.app.session, &p);
    q_strcpy(p.secret, sizeof p.secret, "s3cr3t-pass");
    kvn_session_set_profile(t.app.session, &p);
    kvn_profile_wipe_secret(&p);
    kvn_cmdtools_config_text(config.data(), config.size());
    c = config.data();
    EXPECT_NE(c.find("\n  secret               <set, not shown>\n"), std::string::npos);
    EXPECT_EQ(c.find("s3cr3t-pass"), std::string::npos);

    kvn_session_free(&t.app.session);
    kvn_cmdtools_config_text(config.data(), config.size());
    c = config.data();
    EXPECT_EQ(c.substr(c.size() - 15), "Not connected.\n");
}

TEST(CmdTools, SshLines) {
    struct {
        const char *server;
        const char *lines;
    } rows[] = {
        {R"({"key_name": "mykey", "addresses": {"private": [
            {"addr": "10.0.0.5", "OS-EXT-IPS:type": "fixed"},
            {"addr": "fd00::5", "OS-EXT-IPS:type": "fixed"},
            {"addr": "172.24.4.9", "OS-EXT-IPS:type": "floating"}]}})",
         "ssh -i ~/.ssh/mykey <user>@172.24.4.9    # private, floating\n"
         "ssh -i ~/.ssh/mykey <user>@10.0.0.5    # private\n"
         "ssh -i ~/.ssh/mykey <user>@fd00::5    # private, IPv6\n"},
        {R"({"key_name": "", "addresses": {"a": [{"addr": "10.1.0.2"}], "b": [{"addr": 7}, {"addr": "10.2.0.2"}]}})",
         "ssh <user>@10.1.0.2    # a\nssh <user>@10.2.0.2    # b\n"},
        {R"({"addresses": {}})", ""},
        {R"({"name": "x"})", ""},
    };
    for (const auto &r : rows) {
        Q_CJSON s(cJSON_Parse(r.server));
        ASSERT_TRUE(s) << r.server;
        char out[4096];
        const int n = kvn_ssh_lines(s.get(), "", out, sizeof out);
        EXPECT_EQ(std::string(out), r.lines) << r.server;
        EXPECT_EQ(n, (int)std::count(r.lines, r.lines + strlen(r.lines), '\n'));
    }
    // A line that does not fit is left out whole.
    Q_CJSON s(cJSON_Parse(rows[0].server));
    char small[80];
    EXPECT_EQ(kvn_ssh_lines(s.get(), "debian", small, sizeof small), 1);
    EXPECT_STREQ(small, "ssh -i ~/.ssh/mykey debian@172.24.4.9    # private, floating\n");
}

TEST(CmdTools, SshAndTokenWindows) {
    TOOLS_APP t;
    const KVN_RESOURCE *servers = kvn_api_lookup(t.app.api, "compute.server");
    ASSERT_NE(servers, nullptr);
    const KVN_OP *ssh = t.action("compute.server", "ssh");
    ASSERT_NE(ssh, nullptr);
    kvn_session_add_endpoint(t.app.session, "compute", "public", "R1", "http://127.0.0.1:9/");
    Q_CJSON bare(cJSON_Parse(R"({"id": "s1", "name": "web", "addresses": {}})"));
    kvn_gui_resource_run(servers, ssh, bare.get());
    EXPECT_EQ(t.result_title(), "openstack server ssh");
    EXPECT_EQ(t.result_text(),
              "SSH to web\n\nReplace <user> with the image login (debian, ubuntu, centos, cloud-user, "
              "fedora, rocky, almalinux...).\n\nThis server has no address.\n");

    // A session that never had a token shows empty fields, never stale ones.
    char text[8192];
    ASSERT_EQ(kvn_token_text(t.app.session, text, sizeof text), 0);
    EXPECT_EQ(std::string(text),
              "The token below grants your rights to anyone holding it until it expires.\n\n"
              "expires    \nid         \nproject_id \nuser_id    \nroles      \n");
    kvn_session_set_expires(t.app.session, 4102444800); // 2100-01-01
    ASSERT_EQ(kvn_token_text(t.app.session, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("\nexpires    2100-01-01T00:00:00Z\n"), std::string::npos);
    EXPECT_EQ(kvn_token_text(nullptr, text, sizeof text), -1);
}

TEST(CmdTools, LateAnswerShowsNothingAndKeepsNoSecret) {
    TOOLS_APP t;
    KVN_TOOL_JOB *j = kvn_tool_job_new(KVN_TOOL_REQUEST_TOKEN);
    ASSERT_NE(j, nullptr);
    q_strcpy(j->token.token, sizeof j->token.token, "rtok");
    q_strcpy(j->token.token_secret, sizeof j->token.token_secret, "rsecret");
    j->result = 0;
    // The user disconnected and connected again meanwhile.
    t.app.session_generation++;
    q_strcpy(t.app.status_text, sizeof t.app.status_text, "before");
    kvn_tool_job_report(j, 0);
    EXPECT_EQ(t.result_text(), "(closed)");
    EXPECT_STREQ(t.app.status_text, "before");
    kvn_tool_job_free(j);

    // Delivered in time, the secret is shown once and then kept nowhere.
    j = kvn_tool_job_new(KVN_TOOL_REQUEST_TOKEN);
    ASSERT_NE(j, nullptr);
    q_strcpy(j->token.token, sizeof j->token.token, "rtok");
    q_strcpy(j->token.token_secret, sizeof j->token.token_secret, "rsecret");
    kvn_tool_job_report(j, 0);
    EXPECT_EQ(t.result_title(), "openstack request token create (secret)");
    EXPECT_EQ(t.result_text(),
              "Request token (the secret is shown only now)\n\nkey      rtok\nsecret   rsecret\n"
              "expires  -\n\nNext: a user with a role on the project authorizes it (Identity > "
              "OAuth1 delegation > Authorize), then the consumer exchanges it for an access token.");
    EXPECT_EQ(std::string(j->report, strnlen(j->report, sizeof j->report)), "");
    kvn_tool_job_free(j);

    // Without a session nothing starts.
    kvn_session_free(&t.app.session);
    EXPECT_EQ(kvn_tool_job_new(KVN_TOOL_ACCESS_TOKEN), nullptr);
    EXPECT_STREQ(t.app.status_text, "connect first");
}

namespace {
// A Keystone that signs in anybody and answers the request token with its
// key only.
kvn_script::ANSWER _keystone(const kvn_script::REQUEST &r, const std::string &self) {
    if (r.target == "/v3/auth/tokens") {
        std::string body =
            R"({"token": {"expires_at": "2099-01-01T00:00:00.000000Z", "user": {"id": "u1", )"
            R"("name": "demo"}, "project": {"id": "p1", "name": "demo"}, "roles": [{"name": )"
            R"("member"}], "catalog": [{"type": "identity", "endpoints": [{"interface": "public", )"
            R"("region_id": "R1", "url": ")" +
            self + R"(/v3"}]}]}})";
        return {kvn_script::json_answer(201, body, "X-Subject-Token: tok-1\r\n")};
    }
    if (r.target == "/v3/OS-OAUTH1/request_token") {
        const std::string body = "oauth_token=abc123&oauth_expires_at=2099-01-01";
        return {
            "HTTP/1.1 201 Created\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body};
    }
    return {kvn_script::json_answer(404, R"({"error": {"message": "no such page"}})")};
}
} // namespace

TEST(CmdTools, OAuth1AnswerWithoutSecretIsAnError) {
    TOOLS_APP t(false);
    std::string self;
    kvn_script::SERVER keystone([&self](const kvn_script::REQUEST &r) { return _keystone(r, self); });
    self = keystone.url("");
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, keystone.url("/v3").c_str());
    q_strcpy(p.username, sizeof p.username, "demo");
    q_strcpy(p.secret, sizeof p.secret, "pw");
    t.app.session = kvn_session_new(&p);
    kvn_profile_wipe_secret(&p);
    ASSERT_EQ(kvn_session_authenticate(t.app.session, nullptr), 0);
    t.app.session_generation = 3;

    const char *values[3] = {"consumer-1", "consumer-secret", "p1"};
    ASSERT_EQ(kvn_cmdtools_form_run(5, values, 3), 0);
    ASSERT_EQ(kvn_jobs_wait_idle(30000), 0);
    EXPECT_STREQ(t.app.status_text,
                 "request token create: unexpected answer (no oauth_token / oauth_token_secret)");
    EXPECT_EQ(t.app.status_kind, KVN_STATUS_ERROR);
    EXPECT_EQ(t.result_text(), "(closed)");
    // It was signed for the consumer and scoped to the project.
    bool seen = false;
    {
        std::lock_guard<std::mutex> g(keystone.mutex);
        for (const kvn_script::REQUEST &r : keystone.seen)
            if (r.target == "/v3/OS-OAUTH1/request_token") {
                seen = true;
                EXPECT_TRUE(r.has_header("Requested-Project-Id: p1")) << r.head;
                EXPECT_TRUE(r.has_header("oauth_consumer_key=\"consumer-1\"")) << r.head;
                EXPECT_EQ(r.head.find("consumer-secret"), std::string::npos);
            }
    }
    EXPECT_TRUE(seen);
}

namespace {
// Keystone and a Neutron holding one network and two security groups of
// project p1, "default" among them; it forgets what is deleted.
struct NEUTRON {
    std::mutex mutex; // guards deleted
    std::set<std::string> deleted;
    std::string self;
    kvn_script::SERVER server;
    NEUTRON() : server([this](const kvn_script::REQUEST &r) { return answer(r); }) { self = server.url(""); }
    kvn_script::ANSWER answer(const kvn_script::REQUEST &r) {
        if (r.target == "/v3/auth/tokens") {
            std::string body =
                R"({"token": {"expires_at": "2099-01-01T00:00:00.000000Z", "user": {"id": "u1", )"
                R"("name": "demo"}, "project": {"id": "p1", "name": "demo"}, "roles": [{"name": )"
                R"("member"}], "catalog": [{"type": "network", "endpoints": [{"interface": )"
                R"("public", "region_id": "R1", "url": ")" +
                self + R"("}]}]}})";
            return {kvn_script::json_answer(201, body, "X-Subject-Token: tok-1\r\n")};
        }
        std::lock_guard<std::mutex> g(mutex);
        const std::string t = r.target;
        if (r.method == "DELETE") {
            deleted.insert(t.substr(t.rfind('/') + 1));
            return {"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
        }
        auto item = [&](const char *id, const char *name) {
            return deleted.count(id) ? std::string()
                                     : std::string(R"({"id": ")") + id + R"(", "name": ")" + name +
                                           R"(", "project_id": "p1"})";
        };
        auto list = [&](const char *key, std::string a, std::string b = "") {
            std::string items = a;
            if (!b.empty()) items += (items.empty() ? "" : ", ") + b;
            return kvn_script::ANSWER{
                kvn_script::json_answer(200, "{\"" + std::string(key) + "\": [" + items + "]}")};
        };
        if (t.rfind("/v2.0/networks?", 0) == 0) return list("networks", item("n1", "net1"));
        if (t.rfind("/v2.0/security-groups?", 0) == 0)
            return list("security_groups", item("sg0", "default"), item("sg1", "web"));
        if (t.rfind("/v2.0/floatingips?", 0) == 0) return list("floatingips", "");
        if (t.rfind("/v2.0/routers?", 0) == 0) return list("routers", "");
        if (t.rfind("/v2.0/ports?", 0) == 0) return list("ports", "");
        return {kvn_script::json_answer(404, R"({"NeutronError": {"message": "no such thing"}})")};
    }
};
} // namespace

TEST(CmdTools, ProjectCleanupAsksThenDeletes) {
    TOOLS_APP t(false);
    NEUTRON neutron;
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, neutron.server.url("/v3").c_str());
    q_strcpy(p.username, sizeof p.username, "demo");
    q_strcpy(p.secret, sizeof p.secret, "pw");
    t.app.session = kvn_session_new(&p);
    kvn_profile_wipe_secret(&p);
    ASSERT_EQ(kvn_session_authenticate(t.app.session, nullptr), 0);
    t.app.session_generation = 5;
    KVN_GUI_DIALOG_IDS d;

    const char *values[1] = {""};
    for (bool yes : {false, true}) {
        ASSERT_EQ(kvn_cmdtools_form_run(1, values, 1), 0);
        EXPECT_EQ(kvn_cmdtools_cleanup_running(), 1);
        // One at a time.
        ASSERT_EQ(kvn_cmdtools_form_run(1, values, 1), 0);
        EXPECT_STREQ(t.app.status_text, "a project cleanup is already running");
        ASSERT_EQ(kvn_jobs_wait_idle(30000), 0);
        EXPECT_EQ(kvn_cmdtools_cleanup_running(), 0);
        EXPECT_EQ(t.result_title(), "openstack project cleanup --dry-run");
        const std::string dry = t.result_text();
        EXPECT_EQ(dry.rfind("Project p1 owns 2 resource(s), deleted in this order if you confirm:\n\n", 0),
                  0u)
            << dry;
        EXPECT_NE(dry.find("network          n1"), std::string::npos) << dry;
        EXPECT_NE(dry.find("security group   sg1"), std::string::npos) << dry;
        EXPECT_EQ(dry.find("sg0"), std::string::npos) << dry;
        kvn_gui_dialogs_ids(&d);
        ASSERT_TRUE(q_gui_window_is_open(t.app.gui, d.confirm_window));
        EXPECT_STREQ(q_gui_label_get_text(t.app.gui, d.confirm_first),
                     "Delete the 2 resources listed for project p1?");
        if (!yes) {
            // Escape answers No: nothing is deleted and the plan goes.
            EXPECT_EQ(kvn_gui_dialogs_close_window(d.confirm_window), 1);
            EXPECT_STREQ(t.app.status_text, "project cleanup: nothing deleted");
            std::lock_guard<std::mutex> g(neutron.mutex);
            EXPECT_TRUE(neutron.deleted.empty());
            continue;
        }
        al_set_target_backbuffer(g_display);
        q_gui_draw(t.app.gui);
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(t.app.gui, d.confirm_yes, &x, &y, &w, &h));
        for (int type :
             {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ALLEGRO_EVENT_MOUSE_BUTTON_UP})
            t.feed(kvn_mouse_event(type, x + w / 2, y + h / 2, type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1, 90));
        EXPECT_EQ(kvn_cmdtools_cleanup_running(), 1);
        ASSERT_EQ(kvn_jobs_wait_idle(30000), 0);
        EXPECT_EQ(kvn_cmdtools_cleanup_running(), 0);
        EXPECT_EQ(t.result_title(), "openstack project cleanup");
        const std::string done = t.result_text();
        EXPECT_EQ(done.rfind("2 of 2 resource(s) deleted, 0 failed.\n\n", 0), 0u) << done;
        EXPECT_NE(done.find("deleted network          n1"), std::string::npos) << done;
        EXPECT_STREQ(t.app.status_text, "project cleanup: 2 deleted, 0 failed");
        EXPECT_EQ(t.app.status_kind, KVN_STATUS_INFO);
        std::lock_guard<std::mutex> g(neutron.mutex);
        EXPECT_EQ(neutron.deleted, (std::set<std::string>{"n1", "sg1"}));
    }
}
