// labels: cloud display
// The resource panel in the real main window against the local cloud, as the
// demo user: lists of several services and a child list under its parent,
// the filter and the detail of a clicked row, three items deleted with one
// confirmation, a server stopped and started, a 403 on an administrator
// resource shown by the setting, and a 404 for an item the CLI deleted under
// the panel's feet.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_cloud_test.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_gui_popup.h"
#include "q_http_client.h"

namespace {
struct PANEL_CLOUD {
    TEST_DIR dir;
    KVN_APP app;
    explicit PANEL_CLOUD(const std::string &who, int show_restricted = 0) {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        q_httpc_global_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.config.show_restricted = show_restricted;
        app.config.sidebar_w = KVN_SIDEBAR_MIN;
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
            ADD_FAILURE() << "authentication of " << who;
            kvn_session_free(&s);
            return;
        }
        app.session = s;
        app.session_generation++;
        kvn_app_connect_changed();
    }
    ~PANEL_CLOUD() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    const KVN_RESOURCE *res(const char *key) { return kvn_api_lookup(app.api, key); }
    KVN_RES_IDS ids(const char *key) {
        KVN_RES_IDS out;
        kvn_gui_resource_ids(res(key), &out);
        return out;
    }
    void pump() {
        kvn_jobs_deliver();
        kvn_gui_main_tick();
    }
    template <class F> bool wait(F done, int seconds = 180) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            pump();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    bool wait_status(const std::string &text, int seconds = 180) {
        return wait([&] { return text == app.status_text; }, seconds);
    }
    std::string count(const char *key) { return q_gui_label_get_text(app.gui, ids(key).count); }
    // Opens the panel through the tree and waits until its load ends.
    bool open(const char *key) {
        if (kvn_gui_main_open_view(key) != 0) return false;
        return wait([&] { return !ids(key).loading && count(key) != "loading..."; });
    }
    void event(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
    double clock = 0;
    void click_at(float x, float y, int button = 1) {
        // Far apart in time, so no two clicks make a double click.
        clock += 10;
        event(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x, y, 0, clock));
        event(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, button, clock));
        event(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, button, clock));
    }
    void click(int widget) {
        float x, y, w, h;
        ASSERT_EQ(q_gui_widget_screen_rect(app.gui, widget, &x, &y, &w, &h), 1);
        click_at(x + w / 2, y + h / 2);
    }
    void click_row(int grid, int row) {
        float x, y, w, h;
        q_gui_widget_screen_rect(app.gui, grid, &x, &y, &w, &h);
        const float rh = q_gui_datagrid_row_height(app.gui, grid);
        click_at(x + 20, y + rh * (float)(row + 1) + rh / 2);
    }
    void type(int widget, const std::string &text) {
        q_gui_set_focus(app.gui, widget);
        for (char c : text)
            event(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, c));
    }
    int rows(int grid) { return q_gui_datagrid_row_count(app.gui, grid); }
    // The row whose cell in column col is text, else -1.
    int row_of(int grid, int col, const std::string &text) {
        for (int r = 0; r < rows(grid); r++)
            if (text == q_gui_datagrid_get_cell(app.gui, grid, r, col)) return r;
        return -1;
    }
    std::string detail(const char *key) { return q_gui_syntaxview_get_text(app.gui, ids(key).detail); }
};

int lines(const std::string &s) {
    if (s.empty()) return 0;
    int n = 1;
    for (char c : s)
        n += c == '\n';
    return n;
}

// Cheap items of this run made with the CLI and removed afterwards.
struct NETWORKS {
    std::string prefix = unique("respanel");
    std::vector<std::string> names, ids;
    explicit NETWORKS(int n) {
        for (int i = 0; i < n; i++) {
            names.push_back(prefix + "-" + std::to_string(i));
            ids.push_back(field("network create -f value -c id " + quote(names.back())));
        }
    }
    ~NETWORKS() {
        for (const std::string &id : ids)
            if (!id.empty()) os_cli("network delete " + id);
    }
};
} // namespace

TEST(ResourcePanelCloud, ListsFilterDetailAndChildren) {
    NETWORKS nets(2);
    ASSERT_FALSE(nets.ids[0].empty());
    const std::string container = unique("respanel-c");
    ASSERT_EQ(os_cli("container create " + quote(container)).code, 0);
    TEST_DIR files;
    const std::string object_file = files.path + "/hello.txt";
    test_write_file(object_file, "hello");
    ASSERT_EQ(os_cli("object create --name hello.txt " + quote(container) + " " + quote(object_file)).code,
              0);

    PANEL_CLOUD m("demo");
    ASSERT_NE(m.app.session, nullptr);
    // Every list answers with as many rows as the CLI prints.
    struct {
        const char *key, *cli;
    } lists[] = {
        {"network.network", "network list -f value -c ID"},
        {"compute.server", "server list -f value -c ID"},
        {"block-storage.volume", "volume list -f value -c ID"},
        {"image.image", "image list -f value -c ID"},
        {"object-store.container", "container list -f value -c Name"},
    };
    for (const auto &l : lists) {
        ASSERT_TRUE(m.open(l.key)) << l.key;
        EXPECT_EQ(m.ids(l.key).loaded, 1) << l.key << ": " << m.count(l.key) << " / " << m.app.status_text;
        int n = 0;
        char want[64] = "";
        // Other cloud tests create and delete servers and volumes in this
        // project at the same time: when the two listings differ, both are
        // taken again until they agree.
        for (int attempt = 0; attempt < 5; attempt++) {
            if (attempt > 0) {
                std::this_thread::sleep_for(std::chrono::seconds(2));
                kvn_gui_resource_reload_current();
                ASSERT_TRUE(m.wait([&] { return !m.ids(l.key).loading && m.count(l.key) != "loading..."; }));
            }
            n = lines(field(l.cli));
            kvn_res_count_text(n, n, want, sizeof want);
            if (m.count(l.key) == want && m.rows(m.ids(l.key).grid) == n) break;
        }
        EXPECT_EQ(m.count(l.key), want) << l.key;
        EXPECT_EQ(m.rows(m.ids(l.key).grid), n) << l.key;
    }

    // The filter keeps the two networks of this run whatever the case typed;
    // a click on one shows its JSON, completed by its show answer.
    KVN_RES_IDS net = m.ids("network.network");
    ASSERT_TRUE(m.open("network.network"));
    const int total = m.ids("network.network").item_count;
    std::string upper = nets.prefix;
    for (char &c : upper)
        c = (char)toupper((unsigned char)c);
    m.type(net.filter, upper);
    EXPECT_EQ(m.rows(net.grid), 2);
    EXPECT_EQ(m.count("network.network"), "2 / " + std::to_string(total) + " items");
    const int id_col = m.res("network.network")->column_count;
    const int row = m.row_of(net.grid, id_col, nets.ids[1]);
    ASSERT_GE(row, 0);
    m.click_row(net.grid, row);
    EXPECT_STREQ(m.ids("network.network").selected_id, nets.ids[1].c_str());
    EXPECT_NE(m.detail("network.network").find(nets.names[1]), std::string::npos);
    EXPECT_TRUE(m.wait([&] { return m.detail("network.network").find("\"mtu\"") != std::string::npos; }));

    // Objects wait for a parent: the drop-down lists the containers, and the
    // container of this run lists its object.
    ASSERT_TRUE(kvn_gui_main_open_view("object-store.object") == 0);
    KVN_RES_IDS obj = m.ids("object-store.object");
    EXPECT_TRUE(m.wait([&] { return q_gui_combobox_count(m.app.gui, obj.parent) > 1; }));
    EXPECT_EQ(m.count("object-store.object"), "choose a parent item");
    EXPECT_STREQ(q_gui_combobox_get_item_text(m.app.gui, obj.parent, 0), "(choose a parent)");
    int pick = -1;
    for (int i = 0; i < q_gui_combobox_count(m.app.gui, obj.parent); i++)
        if (std::string(q_gui_combobox_get_item_text(m.app.gui, obj.parent, i)).rfind(container + "  (", 0) ==
            0)
            pick = i;
    ASSERT_GT(pick, 0);
    // Chosen with the keyboard, as a user stepping through the list would.
    q_gui_combobox_set_selected(m.app.gui, obj.parent, pick - 1);
    q_gui_set_focus(m.app.gui, obj.parent);
    m.event(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_DOWN, 0, 0));
    ASSERT_TRUE(m.wait([&] { return m.count("object-store.object") == "1 item"; }))
        << m.count("object-store.object") << " / " << m.app.status_text;
    EXPECT_GE(m.row_of(obj.grid, 0, "hello.txt"), 0);

    os_cli("object delete " + quote(container) + " hello.txt");
    os_cli("container delete " + quote(container));
}

TEST(ResourcePanelCloud, DeleteThreeWithOneConfirmationAndA404Afterwards) {
    NETWORKS nets(4);
    for (const std::string &id : nets.ids)
        ASSERT_FALSE(id.empty());
    PANEL_CLOUD m("demo");
    ASSERT_NE(m.app.session, nullptr);
    ASSERT_TRUE(m.open("network.network"));
    KVN_RES_IDS net = m.ids("network.network");
    m.type(net.filter, nets.prefix);
    ASSERT_EQ(m.rows(net.grid), 4);
    const int id_col = m.res("network.network")->column_count;
    for (int i = 0; i < 3; i++)
        q_gui_datagrid_select_row(m.app.gui, net.grid, m.row_of(net.grid, id_col, nets.ids[(size_t)i]), 1);
    // Chosen behind the grid's back: the next frame enables Delete.
    m.pump();
    m.click(net.del);
    KVN_GUI_DIALOG_IDS d;
    kvn_gui_dialogs_ids(&d);
    ASSERT_GE(d.confirm_window, 0) << m.app.status_text;
    EXPECT_STREQ(q_gui_label_get_text(m.app.gui, d.confirm_first), "Delete network 3 Networks?");
    EXPECT_STREQ(q_gui_label_get_text(m.app.gui, d.confirm_second), "DELETE /networks/{id}");
    m.click(d.confirm_yes);
    ASSERT_TRUE(m.wait_status("Networks: Delete network done on every item")) << m.app.status_text;
    for (int i = 0; i < 3; i++)
        EXPECT_NE(os_cli("network show " + nets.ids[(size_t)i]).code, 0);
    // The batch reloads the list: the fourth alone is left.
    EXPECT_TRUE(m.wait([&] { return m.rows(net.grid) == 1; }));

    // The CLI deletes the fourth behind the panel: deleting it from the
    // stale row reports the 404 once, for the batch.
    ASSERT_EQ(os_cli("network delete " + nets.ids[3]).code, 0);
    q_gui_datagrid_select_row(m.app.gui, net.grid, 0, 1);
    m.pump();
    m.click(net.del);
    m.click(d.confirm_yes);
    ASSERT_TRUE(m.wait([&] {
        return std::string(m.app.status_text)
                   .rfind("Networks: Delete network failed (0 ok, 1 failed): ", 0) == 0;
    })) << m.app.status_text;
    EXPECT_NE(std::string(m.app.status_text).find("404"), std::string::npos) << m.app.status_text;
    EXPECT_EQ(m.app.status_kind, KVN_STATUS_ERROR);
    EXPECT_TRUE(m.wait([&] { return m.rows(net.grid) == 0; }));
    nets.ids.clear();
}

TEST(ResourcePanelCloud, StopAndStartAServer) {
    const std::string name = unique("respanel-vm");
    const std::string image = field(
        "image show -f value -c id cirros-fake"); // the seeded image: other tests add and delete their own
    const std::string flavor = field("flavor list -f value -c ID --sort-column RAM --limit 1");
    // The cloud's own network: other tests make networks without subnets
    // in the same project, where a server cannot get an address.
    std::string network = field("network show -f value -c id private");
    ASSERT_FALSE(image.empty());
    ASSERT_FALSE(flavor.empty());
    ASSERT_FALSE(network.empty());
    std::string id = field("server create -f value -c id --wait --image " + image + " --flavor " + flavor +
                           " --network " + network + " " + quote(name));
    // --wait prints its progress before the id.
    id = id.substr(id.find_last_of('\n') + 1);
    ASSERT_FALSE(id.empty());
    struct GONE {
        std::string id;
        ~GONE() { os_cli("server delete --wait " + id); }
    } gone{id};

    PANEL_CLOUD m("demo");
    ASSERT_NE(m.app.session, nullptr);
    ASSERT_TRUE(m.open("compute.server"));
    const KVN_RESOURCE *servers = m.res("compute.server");
    const KVN_OP *stop = nullptr, *start = nullptr;
    for (int i = 0; i < servers->action_count; i++) {
        if (!strcmp(servers->actions[i]->id, "stop")) stop = servers->actions[i];
        if (!strcmp(servers->actions[i]->id, "start")) start = servers->actions[i];
    }
    ASSERT_TRUE(stop && start);
    KVN_RES_IDS ids = m.ids("compute.server");
    const int row = m.row_of(ids.grid, servers->column_count, id);
    ASSERT_GE(row, 0);
    // Through the context menu: a right click selects the row and opens it.
    float x, y, w, h;
    q_gui_widget_screen_rect(m.app.gui, ids.grid, &x, &y, &w, &h);
    const float rh = q_gui_datagrid_row_height(m.app.gui, ids.grid);
    m.click_at(x + 20, y + rh * (float)(row + 1) + rh / 2, 2);
    ids = m.ids("compute.server");
    ASSERT_NE(ids.menu, nullptr);
    EXPECT_TRUE(q_gui_popup_is_open(ids.menu));
    int stop_entry = -1;
    for (int i = 0; i < ids.menu->count; i++)
        if (ids.menu->entries[i].label && !strcmp(ids.menu->entries[i].label, "Stop")) stop_entry = i;
    ASSERT_GT(stop_entry, 0);
    q_gui_popup_activate(ids.menu, stop_entry);
    ASSERT_TRUE(m.wait_status("Servers: Stop done")) << m.app.status_text;
    EXPECT_EQ(wait_value("server show -f value -c status " + id, "SHUTOFF"), "SHUTOFF");
    // And back through the programmatic entry the command list uses.
    Q_CJSON item(cJSON_CreateObject());
    cJSON_AddStringToObject(item.get(), "id", id.c_str());
    ASSERT_EQ(kvn_gui_resource_run(servers, start, item.get()), 0);
    ASSERT_TRUE(m.wait_status("Servers: Start done")) << m.app.status_text;
    EXPECT_EQ(wait_value("server show -f value -c status " + id, "ACTIVE"), "ACTIVE");
}

TEST(ResourcePanelCloud, ForbiddenAdminResourceAsDemo) {
    PANEL_CLOUD m("demo", 1);
    ASSERT_NE(m.app.session, nullptr);
    // Shown in the tree only because of the setting; the service refuses.
    ASSERT_TRUE(m.open("compute.hypervisor"));
    EXPECT_EQ(m.count("compute.hypervisor"), "not allowed");
    EXPECT_EQ(m.app.status_kind, KVN_STATUS_WARNING);
    EXPECT_EQ(std::string(m.app.status_text)
                  .rfind("Hypervisors (admin): your roles do not allow reading this (", 0),
              0u)
        << m.app.status_text;
    EXPECT_EQ(m.detail("compute.hypervisor").rfind("error: ", 0), 0u);
}

namespace {
// The ids the API gives for a list, through a plain paged call: what the
// panel must show, whatever the cloud holds at the moment.
std::set<std::string> api_ids(KVN_SESSION *s, const char *service, const std::string &path, const char *key,
                              const char *id_field) {
    std::set<std::string> out;
    KVN_RESULT *r = kvn_call_paged(s, service, path.c_str(), key, nullptr);
    const cJSON *it;
    const cJSON *items = kvn_result_ok(r) ? cJSON_GetObjectItem(r->json, key) : nullptr;
    cJSON_ArrayForEach(it, items) {
        const cJSON *id = cJSON_GetObjectItem(it, id_field);
        if (cJSON_IsString(id)) out.insert(id->valuestring);
    }
    kvn_result_free(&r);
    return out;
}

std::set<std::string> panel_ids(PANEL_CLOUD &m, const char *key) {
    std::set<std::string> out;
    const int grid = m.ids(key).grid, col = m.res(key)->column_count;
    for (int r = 0; r < m.rows(grid); r++)
        out.insert(q_gui_datagrid_get_cell(m.app.gui, grid, r, col));
    return out;
}

// Chooses the drop-down entry of a parent id with the keyboard and waits for
// the children's list.
bool choose_parent(PANEL_CLOUD &m, const char *key, const std::string &id) {
    const int parent = m.ids(key).parent;
    if (!m.wait([&] { return q_gui_combobox_count(m.app.gui, parent) > 1; }, 120)) return false;
    int pick = -1;
    for (int i = 1; i < q_gui_combobox_count(m.app.gui, parent); i++) {
        const std::string label = q_gui_combobox_get_item_text(m.app.gui, parent, i);
        if (label.size() > id.size() + 1 && label.compare(label.size() - id.size() - 1, id.size(), id) == 0)
            pick = i;
    }
    if (pick < 1) return false;
    q_gui_combobox_set_selected(m.app.gui, parent, pick - 1);
    q_gui_set_focus(m.app.gui, parent);
    m.event(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_DOWN, 0, 0));
    return m.wait([&] { return !m.ids(key).loading && m.count(key).find("item") != std::string::npos; }, 120);
}
} // namespace

// Lists of more services through the real panel, each compared with the ids
// the API gives at the same moment; a service this cloud lacks is skipped
// with its name.
TEST(ResourcePanelCloud, ListsOfMoreServicesMatchTheApi) {
    PANEL_CLOUD m("demo");
    ASSERT_NE(m.app.session, nullptr);
    KVN_SESSION *s = m.app.session;
    std::string skipped;

    // A zone of this run, so its recordsets (SOA, NS) have a parent.
    std::string zone_id;
    if (kvn_session_has_service(s, "dns")) {
        std::string body =
            R"({"name": ")" + unique("zone") + R"(.example.org.", "email": "kvn@example.org"})";
        Q_CJSON b(cJSON_Parse(body.c_str()));
        KVN_RESULT *r = kvn_session_call(s, "dns", "POST", "/v2/zones", b.get(), nullptr, nullptr);
        const cJSON *id = kvn_result_ok(r) ? cJSON_GetObjectItem(r->json, "id") : nullptr;
        if (cJSON_IsString(id)) zone_id = id->valuestring;
        kvn_result_free(&r);
        EXPECT_FALSE(zone_id.empty()) << "a zone of this run";
    }
    struct GONE {
        KVN_SESSION *s;
        std::string zone;
        ~GONE() {
            if (zone.empty()) return;
            KVN_RESULT *r = kvn_session_call(s, "dns", "DELETE", ("/v2/zones/" + zone).c_str(), nullptr,
                                             nullptr, nullptr);
            kvn_result_free(&r);
        }
    } gone{s, zone_id};

    // The demo project's default security group is the rules' parent.
    std::set<std::string> groups =
        api_ids(s, "network", "/security-groups?name=default", "security_groups", "id");
    const std::string group = groups.empty() ? "" : *groups.begin();
    struct {
        const char *key, *service, *key_name, *id_field;
        std::string path, parent;
    } lists[] = {
        {"network.security_group_rule", "network", "security_group_rules", "id",
         "/security-group-rules?security_group_id=" + group, group},
        {"orchestration.stack", "orchestration", "stacks", "id", "/stacks", ""},
        {"key-manager.secret", "key-manager", "secrets", "secret_ref", "/v1/secrets", ""},
        {"dns.zone", "dns", "zones", "id", "/v2/zones", ""},
        {"dns.recordset", "dns", "recordsets", "id", "/v2/zones/" + zone_id + "/recordsets", zone_id},
        {"load-balancer.loadbalancer", "load-balancer", "loadbalancers", "id", "/v2/lbaas/loadbalancers", ""},
    };
    for (const auto &l : lists) {
        if (!kvn_session_has_service(s, l.service)) {
            skipped += std::string(" ") + l.key + " (no " + l.service + " service)";
            continue;
        }
        if (m.res(l.key)->parent) {
            ASSERT_FALSE(l.parent.empty()) << l.key;
            ASSERT_EQ(kvn_gui_main_open_view(l.key), 0) << l.key;
            ASSERT_TRUE(choose_parent(m, l.key, l.parent)) << l.key << ": " << m.count(l.key);
        } else {
            ASSERT_TRUE(m.open(l.key)) << l.key;
        }
        EXPECT_EQ(m.ids(l.key).loaded, 1) << l.key << ": " << m.count(l.key) << " / " << m.app.status_text;
        EXPECT_EQ(panel_ids(m, l.key), api_ids(s, l.service, l.path, l.key_name, l.id_field)) << l.key;
    }
    if (!zone_id.empty()) {
        EXPECT_GE(m.rows(m.ids("dns.recordset").grid), 2) << "the zone's SOA and NS";
    }
    if (!skipped.empty()) printf("skipped, not run by this cloud:%s\n", skipped.c_str());
}

// As admin, a resource only administrators may list.
TEST(ResourcePanelCloud, AdminListsHypervisors) {
    PANEL_CLOUD m("admin");
    ASSERT_NE(m.app.session, nullptr);
    ASSERT_TRUE(m.open("compute.hypervisor"));
    EXPECT_EQ(m.ids("compute.hypervisor").loaded, 1)
        << m.count("compute.hypervisor") << " / " << m.app.status_text;
    std::set<std::string> want;
    KVN_RESULT *r =
        kvn_call_paged(m.app.session, "compute", "/os-hypervisors/detail", "hypervisors", nullptr);
    ASSERT_TRUE(kvn_result_ok(r)) << r->error;
    const cJSON *it;
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(r->json, "hypervisors")) {
        char id[256];
        kvn_api_value_text(cJSON_GetObjectItem(it, "id"), id, sizeof id);
        want.insert(id);
    }
    kvn_result_free(&r);
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(panel_ids(m, "compute.hypervisor"), want);
}
