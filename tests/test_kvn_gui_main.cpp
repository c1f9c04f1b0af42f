// labels: gui
// The main window on a real display, driven with synthetic events: the tree
// and its visibility rules, the view switch, the keyboard in the tree, the
// status bar, the sidebar drag, disconnect, the overview filled from a
// sample, and an idle frame that asks for no redraw.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "q_gui_popup.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_chart.h"
#include "q_http_client.h"

namespace {
const char *k_compute = R"J({
  "service": "compute", "title": "Compute",
  "resources": [
    {"id": "server", "title": "Servers", "cli": "server", "list": {"path": "/servers/detail", "key": "servers"},
     "columns": [{"title": "Name", "field": "name", "width": 200}, {"title": "Status", "field": "status"}],
     "delete": {"title": "Delete server", "path": "/servers/{id}", "multi": true},
     "actions": [{"id": "stop", "title": "Stop", "path": "/servers/{id}/action", "body": {"os-stop": null}}]},
    {"id": "flavor", "title": "Flavors", "list": {"path": "/flavors/detail", "key": "flavors"}},
    {"id": "hypervisor", "title": "Hypervisors", "admin": true, "list": {"path": "/os-hypervisors"}}
  ]})J";
const char *k_dns = R"J({
  "service": "dns", "title": "DNS",
  "resources": [{"id": "zone", "title": "Zones", "list": {"path": "/v2/zones", "key": "zones"}}]})J";
const char *k_admin_only = R"J({
  "service": "placement", "title": "Placement",
  "resources": [{"id": "provider", "title": "Resource providers", "admin": true,
                 "list": {"path": "/resource_providers"}}]})J";

// The application as main builds it, with a three-service catalogue, and
// the frame built; the settings live in a folder of the test's own.
struct MAIN_APP {
    TEST_DIR dir;
    KVN_APP app;
    double clock = 100;
    KVN_GUI_MAIN_IDS ids;
    MAIN_APP() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.config.sidebar_w = 270;
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        mkdir(dir.file("api").c_str(), 0700);
        app.api = kvn_api_load_dir(dir.file("api").c_str());
        EXPECT_EQ(kvn_api_add(app.api, k_compute, "compute.json"), 0);
        EXPECT_EQ(kvn_api_add(app.api, k_dns, "dns.json"), 0);
        EXPECT_EQ(kvn_api_add(app.api, k_admin_only, "placement.json"), 0);
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(1), 0);
        kvn_gui_main_build();
        refresh();
    }
    ~MAIN_APP() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    const KVN_GUI_MAIN_IDS &refresh() {
        kvn_gui_main_ids(&ids);
        return ids;
    }
    void feed(ALLEGRO_EVENT ev) {
        if ((ev.type == ALLEGRO_EVENT_MOUSE_AXES || ev.type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN ||
             ev.type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) &&
            kvn_gui_main_sidebar_event(&ev))
            return;
        q_gui_process_event(app.gui, &ev);
    }
    void mouse(int type, float x, float y, int button = 1) {
        clock += 10;
        feed(kvn_mouse_event(type, x, y, button, clock));
    }
    void click_at(float x, float y, double dt = 10) {
        clock += dt;
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x, y, 0, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, 1, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, 1, clock));
    }
    void click(int id) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        click_at(x + w / 2, y + h / 2);
    }
    void key(int keycode) {
        feed(kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, keycode, 0, 0));
        feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, keycode, 0, 0));
        feed(kvn_key_event(ALLEGRO_EVENT_KEY_UP, keycode, 0, 0));
    }
    // The rows of the tree as shown, folded children absent.
    std::vector<std::string> rows() {
        std::vector<std::string> out;
        const int lb = refresh().tree->listbox;
        for (int i = 0; i < q_gui_listbox_count(app.gui, lb); i++)
            out.push_back(q_gui_listbox_get_item_text(app.gui, lb, i));
        return out;
    }
    int node(const std::string &label) {
        const Q_GUI_TREE *t = refresh().tree;
        for (int i = 0; i < t->count; i++)
            if (label == t->nodes[i].label) return i;
        return -1;
    }
    std::string window_title(int id) {
        const Q_GUI_WINDOW *w = q_gui_get_window(app.gui, id);
        return !w ? "" : w->caption[0] ? w->caption : w->title;
    }
    void draw() {
        al_set_target_backbuffer(g_display);
        q_gui_draw(app.gui);
    }
    // A session that never authenticated: no roles, a catalog of the given
    // services.
    void connect(std::initializer_list<const char *> services) {
        KVN_PROFILE p;
        kvn_profile_defaults(&p);
        q_strcpy(p.name, sizeof p.name, "lab");
        q_strcpy(p.auth_url, sizeof p.auth_url, "http://127.0.0.1:9/v3");
        q_strcpy(p.region, sizeof p.region, "RegionX");
        app.session = kvn_session_new(&p);
        for (const char *s : services)
            kvn_session_add_endpoint(app.session, s, "public", "RegionX", "http://127.0.0.1:9/");
        app.session_generation++;
        kvn_app_connect_changed();
    }
};
} // namespace

TEST(MainWindow, TreeFollowsTheCatalogueAndTheSession) {
    MAIN_APP m;
    // Not connected: every service, every resource.
    std::vector<std::string> top = {"Overview (quotas, usage)",
                                    "History charts",
                                    "Network topology",
                                    "Usage report",
                                    "Compute",
                                    "DNS",
                                    "Placement"};
    EXPECT_EQ(m.rows(), top);
    EXPECT_EQ(m.ids.view_kind, KVN_VIEW_OVERVIEW);
    EXPECT_EQ(q_gui_tree_get_selected(m.ids.tree), 0);
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, m.ids.connection)), "not connected");

    // Connected without the admin role, with compute only in the catalog:
    // the admin resources go, and with them the service holding only one;
    // DNS is not offered.
    m.connect({"compute"});
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, m.ids.connection)), " @ lab  region RegionX");
    m.app.config.show_unavailable = 1;
    kvn_app_connect_changed();
    EXPECT_EQ(m.rows(),
              (std::vector<std::string>{"Overview (quotas, usage)", "History charts", "Network topology",
                                        "Usage report", "Compute", "DNS  (not in catalog)"}));
    m.app.config.show_unavailable = 0;
    kvn_app_connect_changed();
    ASSERT_EQ(kvn_gui_main_open_view("compute.server"), 0);
    EXPECT_EQ(m.rows(),
              (std::vector<std::string>{"Overview (quotas, usage)", "History charts", "Network topology",
                                        "Usage report", "Compute", "Servers", "Flavors"}));
    EXPECT_EQ(kvn_gui_main_open_view("compute.hypervisor"), -1); // hidden: no node
    EXPECT_EQ(kvn_gui_main_open_view("dns.zone"), -1);
    // Restricted resources shown on request; the panel stays where it was.
    m.app.config.show_restricted = 1;
    kvn_app_connect_changed();
    EXPECT_NE(m.node("Hypervisors"), -1);
    EXPECT_EQ(m.node("Placement"), -1); // still not in the catalog
    ASSERT_EQ(kvn_gui_main_open_view("compute.hypervisor"), 0);
    EXPECT_EQ(m.refresh().view_kind, KVN_VIEW_RESOURCE);
    // Hidden again: the tree refill falls back to the overview.
    m.app.config.show_restricted = 0;
    kvn_app_connect_changed();
    EXPECT_EQ(m.refresh().view_kind, KVN_VIEW_OVERVIEW);
    EXPECT_EQ(q_gui_tree_get_selected(m.ids.tree), m.node("Overview (quotas, usage)"));
}

TEST(MainWindow, ResourceNodesShowTheirPanel) {
    MAIN_APP m;
    ASSERT_EQ(kvn_gui_main_open_view("compute.server"), 0);
    m.refresh();
    EXPECT_EQ(m.ids.view_kind, KVN_VIEW_RESOURCE);
    KVN_RES_IDS p;
    ASSERT_EQ(kvn_gui_resource_ids(m.ids.resource, &p), 0);
    EXPECT_EQ(m.ids.view_window, p.window);
    EXPECT_EQ(m.window_title(p.window), "Servers");
    const Q_GUI_WINDOW *w = q_gui_get_window(m.app.gui, p.window);
    EXPECT_FLOAT_EQ(w->x, 270);
    EXPECT_FLOAT_EQ(w->w, k_dw - 270);
    EXPECT_STREQ(q_gui_label_get_text(m.app.gui, p.header), "Compute / Servers");
    EXPECT_STREQ(q_gui_label_get_text(m.app.gui, p.cli), "openstack server");
    // Without a session nothing is asked, and the panel says why.
    EXPECT_STREQ(q_gui_label_get_text(m.app.gui, p.count), "not connected");
    EXPECT_EQ(q_gui_datagrid_column_count(m.app.gui, p.grid), 3); // Name, Status, the hidden id
    EXPECT_FALSE(q_gui_datagrid_get_column_visible(m.app.gui, p.grid, 2));
    // Without create or update the buttons stay, disabled; delete is allowed.
    EXPECT_TRUE(q_gui_widget_is_visible(m.app.gui, p.create));
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, p.create));
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, p.edit));
    EXPECT_TRUE(q_gui_widget_is_enabled(m.app.gui, p.del));
    m.click(p.del);
    EXPECT_STREQ(m.app.status_text, "not connected");
    EXPECT_EQ(m.app.status_kind, KVN_STATUS_ERROR);
    // The Actions button opens the menu under itself; Escape's route closes it.
    m.click(p.actions);
    kvn_gui_resource_ids(m.ids.resource, &p);
    ASSERT_NE(p.menu, nullptr);
    EXPECT_TRUE(q_gui_popup_is_open(p.menu));
    std::vector<std::string> labels;
    for (int i = 1; i < p.menu->count; i++)
        labels.push_back(p.menu->entries[i].kind == Q_GUI_POPUP_SEPARATOR ? "-" : p.menu->entries[i].label);
    EXPECT_EQ(labels, (std::vector<std::string>{"Delete", "Copy ID", "Show JSON", "-", "Stop"}));
    EXPECT_EQ(kvn_gui_resource_close_menus(), 1);
    EXPECT_FALSE(q_gui_popup_is_open(p.menu));
    // A press of Actions right after a click closed the menu does not reopen it.
    m.click(p.actions);
    EXPECT_EQ(kvn_gui_resource_mouse_down(5, 5), 1);
    float x, y, bw, bh;
    q_gui_widget_screen_rect(m.app.gui, p.actions, &x, &y, &bw, &bh);
    m.click_at(x + bw / 2, y + bh / 2, 0.1);
    EXPECT_FALSE(q_gui_popup_is_open(p.menu));
    // Another view hides the panel.
    ASSERT_EQ(kvn_gui_main_open_view("overview"), 0);
    EXPECT_FALSE(q_gui_window_is_open(m.app.gui, p.window));
}

TEST(MainWindow, HistoryAndUsageViewsFillTheContentRectangle) {
    MAIN_APP m;
    struct CASE {
        const char *name;
        int kind;
        const char *title;
    };
    const CASE cases[] = {
        {"history", KVN_VIEW_HISTORY, "History"},
        {"usage", KVN_VIEW_USAGE, "Usage"},
    };
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    ASSERT_GE(ov.window, 0);
    EXPECT_TRUE(q_gui_window_is_open(m.app.gui, ov.window));
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.name);
        kvn_app_status(KVN_STATUS_ERROR, "%s", "an old error");
        ASSERT_EQ(kvn_gui_main_open_view(c.name), 0);
        m.refresh();
        EXPECT_EQ(m.ids.view_kind, c.kind);
        EXPECT_EQ(m.window_title(m.ids.view_window), c.title);
        EXPECT_TRUE(q_gui_window_is_open(m.app.gui, m.ids.view_window));
        EXPECT_FALSE(q_gui_window_is_open(m.app.gui, ov.window));
        const Q_GUI_WINDOW *w = q_gui_get_window(m.app.gui, m.ids.view_window);
        EXPECT_GE(w->widget_count, 6);
        // Opening a view clears an error left from before.
        EXPECT_EQ(std::string(m.app.status_text), "");
        // The content rectangle beside the sidebar.
        EXPECT_FLOAT_EQ(w->x, 270);
        EXPECT_FLOAT_EQ(w->y, 36);
        EXPECT_FLOAT_EQ(w->w, k_dw - 270);
        EXPECT_FLOAT_EQ(w->h, k_dh - 62);
    }
    EXPECT_EQ(kvn_gui_main_open_view("nothing.here"), -1);
    EXPECT_EQ(kvn_gui_main_open_view(""), -1);
    EXPECT_EQ(m.refresh().view_kind, KVN_VIEW_USAGE); // unchanged by a failed open
    ASSERT_EQ(kvn_gui_main_open_view("overview"), 0);
    EXPECT_TRUE(q_gui_window_is_open(m.app.gui, ov.window));
    EXPECT_EQ(m.refresh().view_window, ov.window);
}

TEST(MainWindow, ArrowsMoveTheSelectionEnterOpensLeftRightFold) {
    MAIN_APP m;
    const int lb = m.ids.tree->listbox;
    q_gui_set_focus(m.app.gui, lb);
    // Down four times: over the special views to "Compute", opening none.
    for (int i = 0; i < 4; i++)
        m.key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(q_gui_tree_get_selected(m.refresh().tree), m.node("Compute"));
    EXPECT_EQ(m.ids.view_kind, KVN_VIEW_OVERVIEW);
    EXPECT_EQ(m.rows().size(), 7u); // nothing unfolded on the way
    m.key(ALLEGRO_KEY_RIGHT);
    EXPECT_EQ(m.rows().size(), 10u);
    m.key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(q_gui_tree_get_selected(m.refresh().tree), m.node("Servers"));
    EXPECT_EQ(m.ids.view_kind, KVN_VIEW_OVERVIEW);
    m.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(m.refresh().view_kind, KVN_VIEW_RESOURCE);
    EXPECT_STREQ(m.ids.resource->id, "server");
    // Left on a leaf steps to its parent, a second Left folds it.
    m.key(ALLEGRO_KEY_LEFT);
    EXPECT_EQ(q_gui_tree_get_selected(m.refresh().tree), m.node("Compute"));
    EXPECT_EQ(m.rows().size(), 10u);
    m.key(ALLEGRO_KEY_LEFT);
    EXPECT_EQ(m.rows().size(), 7u);
    EXPECT_EQ(m.refresh().view_kind, KVN_VIEW_RESOURCE); // folding opens nothing
    // Up to the history node and Enter opens it.
    for (int i = 0; i < 3; i++)
        m.key(ALLEGRO_KEY_UP);
    m.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(m.refresh().view_kind, KVN_VIEW_HISTORY);
}

TEST(MainWindow, StatusBarShowsTheLastMessageInItsLevelsColour) {
    MAIN_APP m;
    kvn_theme_apply(m.app.gui, KVN_THEME_LIGHT);
    const KVN_PALETTE *p = kvn_theme_current();
    struct CASE {
        int kind;
        ALLEGRO_COLOR colour;
    };
    const CASE cases[] = {
        {KVN_STATUS_ERROR, p->error}, {KVN_STATUS_WARNING, p->warning}, {KVN_STATUS_INFO, p->text}};
    for (const CASE &c : cases) {
        kvn_app_status(c.kind, "message of kind %d", c.kind);
        kvn_gui_main_tick();
        EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, m.ids.message)),
                  "message of kind " + std::to_string(c.kind));
        const Q_GUI_WIDGET *w = q_gui_get_widget(m.app.gui, m.ids.message);
        EXPECT_EQ(memcmp(&w->theme.text_normal, &c.colour, sizeof c.colour), 0) << c.kind;
    }
    // No job: no running text, no progress, Cancel disabled; Disconnect and
    // the project list disabled without a session.
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, m.ids.running)), "");
    EXPECT_FALSE(q_gui_widget_is_visible(m.app.gui, m.ids.progress));
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, m.ids.cancel));
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, m.ids.disconnect));
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, m.ids.projects));
    EXPECT_TRUE(q_gui_widget_is_enabled(m.app.gui, m.ids.settings));
    // A running job shows its title, the sweeping bar and Cancel, which
    // cancels it.
    static volatile int stop = 0;
    stop = 0;
    kvn_jobs_submit(
        "waiting test",
        [](KVN_JOB *job) {
            while (!q_httpc_is_cancelled(job->cancel) && !stop)
                usleep(1000);
        },
        nullptr, nullptr, nullptr, 0);
    for (int i = 0;
         i < 500 && std::string(q_gui_label_get_text(m.app.gui, m.ids.running)) != "1 running: waiting test";
         i++) {
        usleep(2000);
        kvn_gui_main_tick();
    }
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, m.ids.running)), "1 running: waiting test");
    EXPECT_TRUE(q_gui_widget_is_visible(m.app.gui, m.ids.progress));
    ASSERT_TRUE(q_gui_widget_is_enabled(m.app.gui, m.ids.cancel));
    m.click(m.ids.cancel);
    EXPECT_EQ(std::string(m.app.status_text), "cancel requested");
    EXPECT_EQ(kvn_jobs_wait_idle(10000), 0);
    kvn_gui_main_tick();
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, m.ids.running)), "");
    kvn_theme_apply(m.app.gui, KVN_THEME_DARK);
}

TEST(MainWindow, SidebarDragIsClampedAndSavedOnRelease) {
    MAIN_APP m;
    const std::string conf = m.dir.file("kvn.conf");
    unlink(conf.c_str());
    // Moving over the splitter takes nothing; a press there starts a drag.
    m.mouse(ALLEGRO_EVENT_MOUSE_AXES, 271, 300, 0);
    m.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 271, 300);
    m.mouse(ALLEGRO_EVENT_MOUSE_AXES, 100, 300, 0);
    EXPECT_FLOAT_EQ(m.app.config.sidebar_w, 150);
    const Q_GUI_WINDOW *services = q_gui_get_window(m.app.gui, m.ids.services);
    EXPECT_FLOAT_EQ(services->w, 150);
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    EXPECT_FLOAT_EQ(q_gui_get_window(m.app.gui, ov.window)->x, 150);
    m.mouse(ALLEGRO_EVENT_MOUSE_AXES, 700, 300, 0);
    EXPECT_FLOAT_EQ(m.app.config.sidebar_w, k_dw / 2); // half the display
    m.mouse(ALLEGRO_EVENT_MOUSE_AXES, 320, 300, 0);
    EXPECT_FALSE(test_exists(conf)); // written at release only
    m.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 320, 300);
    EXPECT_FLOAT_EQ(m.app.config.sidebar_w, 320);
    ASSERT_TRUE(test_exists(conf));
    EXPECT_NE(test_read_file(conf).find("320"), std::string::npos);
    // A press away from the splitter is the toolkit's.
    m.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 500, 300);
    m.mouse(ALLEGRO_EVENT_MOUSE_AXES, 600, 300, 0);
    m.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 600, 300);
    EXPECT_FLOAT_EQ(m.app.config.sidebar_w, 320);
}

TEST(MainWindow, DisconnectAsksThenClearsTheViews) {
    MAIN_APP m;
    m.connect({"compute"});
    kvn_gui_main_tick();
    ASSERT_TRUE(q_gui_widget_is_enabled(m.app.gui, m.ids.disconnect));
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, ov.first)).rfind("User  on project", 0), 0u);
    m.click(m.ids.disconnect);
    KVN_GUI_DIALOG_IDS d;
    kvn_gui_dialogs_ids(&d);
    ASSERT_GE(d.confirm_window, 0);
    ASSERT_TRUE(q_gui_window_is_open(m.app.gui, d.confirm_window));
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, d.confirm_first)), "Disconnect from the cloud?");
    EXPECT_NE(m.app.session, nullptr); // nothing happens before Yes
    m.click(d.confirm_yes);
    EXPECT_EQ(m.app.session, nullptr);
    EXPECT_EQ(std::string(m.app.status_text), "disconnected");
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, m.ids.connection)), "not connected");
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, ov.first)),
              "Not connected: use Connect in the toolbar");
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, ov.second)), "");
    EXPECT_EQ(q_gui_combobox_count(m.app.gui, m.ids.projects), 0);
    EXPECT_EQ(ov.gauge_charts[0].has_data, 0);
    EXPECT_STREQ(ov.gauge_charts[0].message, "--");
    kvn_gui_main_tick();
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, m.ids.disconnect));
    EXPECT_EQ(m.rows().size(), 7u); // the whole catalogue again
}

TEST(Overview, FillsGaugesAndBarsFromASample) {
    MAIN_APP m;
    Q_CJSON sample(cJSON_Parse(R"({"time": 1700000000,
        "compute.instances.used": 2, "compute.instances.limit": 10,
        "compute.ram.used": 1024, "compute.ram.limit": -1,
        "network.port.used": 3, "network.port.limit": 50, "network.port.reserved": 4,
        "image.count.limit": 100,
        "servers.count": 4, "servers.status.ACTIVE": 2, "servers.status.SHUTOFF": 1, "servers.status.ERROR": 1,
        "servers.flavor.m1.tiny": 3, "servers.flavor.m1.small": 1,
        "volumes.status.error_deleting": 1, "volumes.status.in-use": 2, "volumes.status.creating": 1})"));
    ASSERT_TRUE(sample);
    kvn_gui_main_overview_fill(sample.get());
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    int count = 0;
    const KVN_OVERVIEW_METRIC *metrics = kvn_gui_main_overview_metrics(&count);
    ASSERT_EQ(count, 19);
    ASSERT_EQ(ov.gauge_count, 19);
    auto gauge = [&](const char *key) -> const Q_GUI_CHART & {
        for (int i = 0; i < count; i++)
            if (!strcmp(metrics[i].key, key)) return ov.gauge_charts[i];
        ADD_FAILURE() << key;
        return ov.gauge_charts[0];
    };
    EXPECT_EQ(gauge("compute.instances").has_data, 1);
    EXPECT_EQ(gauge("compute.instances").used, 2);
    EXPECT_EQ(gauge("compute.instances").limit, 10);
    EXPECT_EQ(gauge("compute.ram").limit, -1); // unlimited
    EXPECT_STREQ(gauge("compute.ram").units, "MiB");
    EXPECT_EQ(gauge("network.port").reserved, 4);
    EXPECT_EQ(gauge("image.count").used, 0); // a limit alone is enough
    EXPECT_EQ(gauge("image.count").limit, 100);
    EXPECT_EQ(gauge("volume.volumes").has_data, 0);
    EXPECT_STREQ(gauge("volume.volumes").message, "not available");
    EXPECT_STREQ(ov.bars[0]->title, "Servers by status");
    ASSERT_EQ(ov.bars[0]->bar_count, 3);
    EXPECT_STREQ(ov.bars[0]->bars[0].label, "ACTIVE");
    EXPECT_EQ(ov.bars[0]->bars[0].color, 1);
    EXPECT_EQ(ov.bars[0]->bars[1].color, 2);
    EXPECT_EQ(ov.bars[0]->bars[2].color, 3);
    ASSERT_EQ(ov.bars[1]->bar_count, 2);
    EXPECT_STREQ(ov.bars[1]->bars[0].label, "m1.tiny");
    EXPECT_EQ(ov.bars[1]->bars[0].value, 3);
    ASSERT_EQ(ov.bars[2]->bar_count, 3);
    EXPECT_EQ(ov.bars[2]->bars[0].color, 3);
    EXPECT_EQ(ov.bars[2]->bars[1].color, 1);
    EXPECT_EQ(ov.bars[2]->bars[2].color, 0);
    EXPECT_EQ(ov.loaded, 1);
    // A sample without volumes: an empty chart that says so.
    Q_CJSON bare(cJSON_Parse(R"({"time": 1})"));
    kvn_gui_main_overview_fill(bare.get());
    EXPECT_EQ(ov.bars[2]->has_data, 1);
    EXPECT_EQ(ov.bars[2]->bar_count, 0);
    EXPECT_STREQ(ov.bars[2]->message, "no volume");
    EXPECT_STREQ(ov.bars[0]->message, "no server");
    m.draw();
}

TEST(Overview, StatusClassesAndTheGaugeGrid) {
    struct CASE {
        const char *status;
        int cls;
    };
    const CASE cases[] = {
        {"ACTIVE", 1}, {"available", 1}, {"In-Use", 1}, {"ERROR", 3},     {"error_deleting", 3},
        {"Error", 3},  {"SHUTOFF", 2},   {"paused", 2}, {"SUSPENDED", 2}, {"SHELVED_OFFLOADED", 2},
        {"BUILD", 0},  {"creating", 0}};
    for (const CASE &c : cases)
        EXPECT_EQ(kvn_gui_main_status_class(c.status), c.cls) << c.status;

    // A content area 1000 wide (and tall enough to need no scroll bar):
    // five gauges a row, the charts under the fourth row.
    MAIN_APP m;
    m.app.config.sidebar_w = 150;
    q_gui_set_display_size(m.app.gui, 1150, 1062);
    kvn_gui_main_relayout();
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    const Q_GUI_WIDGET *g5 = q_gui_get_widget(m.app.gui, ov.gauges[5]);
    EXPECT_FLOAT_EQ(g5->x, 10);
    EXPECT_FLOAT_EQ(g5->y, 158 + 94);
    const Q_GUI_WIDGET *g4 = q_gui_get_widget(m.app.gui, ov.gauges[4]);
    EXPECT_FLOAT_EQ(g4->x, 4 * 178 + 10);
    const Q_GUI_WIDGET *b1 = q_gui_get_widget(m.app.gui, ov.bar_widgets[1]);
    EXPECT_FLOAT_EQ(b1->y, 4 * 158 + 98);
    EXPECT_FLOAT_EQ(b1->w, (1000 - 36) / 3.0f);
    EXPECT_FLOAT_EQ(b1->x, 18 + (1000 - 36) / 3.0f);
    // Shorter: the vertical scroll bar's strip is left free, so no
    // horizontal bar appears.
    q_gui_set_display_size(m.app.gui, 1150, 700);
    kvn_gui_main_relayout();
    m.draw();
    const Q_GUI_WINDOW *w = q_gui_get_window(m.app.gui, ov.window);
    EXPECT_FLOAT_EQ(w->w, 1000);
    EXPECT_LE(w->content_w, 1000 - m.app.gui->style.scrollbar_size);
    EXPECT_GT(w->content_h, w->h);
}

TEST(MainWindow, AnIdleFrameAsksForNoRedraw) {
    MAIN_APP m;
    m.draw();
    kvn_gui_main_tick();
    kvn_gui_main_take_dirty();
    m.draw(); // what the first ticks changed is drawn once
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(kvn_jobs_deliver(), 0);
        kvn_gui_main_tick();
        EXPECT_EQ(kvn_gui_main_take_dirty(), 0) << i;
        EXPECT_EQ(q_gui_needs_redraw(m.app.gui), 0) << i;
    }
    // A new status message is a change.
    kvn_app_status(KVN_STATUS_INFO, "%s", "something happened");
    kvn_gui_main_tick();
    EXPECT_EQ(q_gui_needs_redraw(m.app.gui), 1);
}

TEST(MainWindow, AboutTellsCoverageAndTheConnectedCatalog) {
    MAIN_APP m;
    m.connect({"compute"});
    // The first history sample is due five seconds after the connection.
    const double wait = m.refresh().next_sample - al_get_time();
    EXPECT_GT(wait, 4.0);
    EXPECT_LE(wait, 5.0);
    m.click(m.ids.about);
    KVN_GUI_DIALOG_IDS d;
    kvn_gui_dialogs_ids(&d);
    ASSERT_GE(d.result_window, 0);
    EXPECT_TRUE(q_gui_window_is_open(m.app.gui, d.result_window));
    EXPECT_EQ(m.window_title(d.result_window), "About Kelvane");
    const std::string text = q_gui_syntaxview_get_text(m.app.gui, d.result_text);
    EXPECT_EQ(text.rfind("Kelvane 0.1.0 (dev)\n", 0), 0u) << text;
    for (const char *part :
         {"\nAPI descriptors: 3 services, 5 resources, ", "\n  compute                3 resources  \n",
          "\n  dns                    1 resources  (not in this catalog)\n",
          "\nConnected to http://127.0.0.1:9/v3\n",
          "\n\nCatalog:\n  compute          RegionX    public    http://127.0.0.1:9/\n"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\nin:\n" << text;
    EXPECT_EQ(text.find("Microversions"), std::string::npos); // none negotiated
}

// A cloud that does not answer: the overview still loads, says which part
// failed, and the status line reports it as an error; the drop-down keeps
// only the session's own project and stays disabled.
TEST(Overview, FailedCallsShowAsPartialData) {
    MAIN_APP m;
    m.connect({"compute"});
    ASSERT_EQ(kvn_jobs_wait_idle(60000), 0);
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    const std::string msg = q_gui_label_get_text(m.app.gui, ov.message);
    EXPECT_EQ(msg.rfind("partial data: compute limits: ", 0), 0u) << msg;
    EXPECT_EQ(std::string(m.app.status_text), "overview loaded with errors (see the dashboard)");
    EXPECT_EQ(m.app.status_kind, KVN_STATUS_ERROR);
    EXPECT_EQ(ov.loaded, 1);
    EXPECT_EQ(ov.loading, 0);
    EXPECT_STREQ(ov.gauge_charts[0].message, "not available");
    EXPECT_EQ(ov.gauge_charts[0].has_data, 0);
    kvn_gui_main_tick();
    EXPECT_EQ(m.refresh().project_count, 1);
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, m.ids.projects));
    EXPECT_TRUE(q_gui_widget_is_enabled(m.app.gui, m.ids.disconnect));
}
