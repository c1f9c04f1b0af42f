// labels: cloud display
// The server creation wizard against the local cloud, as the demo user,
// opened through the server resource's create operation. One set-up serves
// the whole file (the cloud is small and slow): a server created while the
// limits answer is missing, three at once, one booted from a new volume, one
// whose user data is read back as admin at the microversion that shows it,
// and a flavor larger than the demo project's core quota shown red and
// refused by Nova with its message in the wizard and the values kept. What
// it creates carries its prefix and is deleted at the end (and before, when
// an earlier run left any). The quota itself is never lowered: other tests
// create servers in the demo project at the same time.
#include "kvn_test_gui.h"

#include <cJSON.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_cloud_test.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_resource.h"
#include "kvn_gui_wizard.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_profile.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"

namespace {
const std::string k_prefix = "kvn-wiz-";
const char *const k_over_flavor = "kvn-wiz-over-quota";

KVN_SESSION *login(const char *who) {
    KVN_PROFILE p;
    test_cloud_profile(who, &p);
    KVN_SESSION *s = kvn_session_new(&p);
    kvn_profile_wipe_secret(&p);
    if (kvn_session_authenticate(s, nullptr) != 0) kvn_session_free(&s);
    return s;
}

struct WIZ_CLOUD {
    TEST_DIR dir;
    KVN_APP app;
    KVN_SESSION *admin = nullptr;
    std::string project_id;
    std::string over_flavor; // id of the flavor larger than the whole core quota
    double clock = 1;
    WIZ_CLOUD() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        q_httpc_global_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, 1100, 760);
        app.api = kvn_api_load_dir(KVN_SOURCE_DIR "/resources/api");
        kvn_app_publish(&app);
        kvn_theme_apply(app.gui, KVN_THEME_DARK);
        EXPECT_EQ(kvn_jobs_init(4), 0);
        kvn_gui_wizard_register();
        app.session = login("demo");
        admin = login("admin");
        EXPECT_NE(app.session, nullptr);
        EXPECT_NE(admin, nullptr);
        app.session_generation++;
        KVN_SESSION_INFO info;
        if (app.session && kvn_session_info(app.session, &info) == 0) project_id = info.project_id;
    }
    ~WIZ_CLOUD() {
        drop_over_flavor();
        kvn_session_free(&admin);
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_wizard_shutdown();
        kvn_gui_resource_destroy_all();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    Q_CJSON call(KVN_SESSION *s, const char *method, const std::string &path, const std::string &body = "",
                 const char *microversion = nullptr) {
        Q_CJSON json(body.empty() ? nullptr : cJSON_Parse(body.c_str()));
        KVN_CALL_OPTS o;
        memset(&o, 0, sizeof o);
        if (microversion) {
            o.has_microversion = 1;
            q_strcpy(o.microversion, sizeof o.microversion, microversion);
        }
        KVN_RESULT *r = kvn_call(s, "compute", method, path.c_str(), json.get(), &o, nullptr);
        Q_CJSON out(r && kvn_result_ok(r) && r->json ? cJSON_Duplicate(r->json, 1) : nullptr);
        kvn_result_free(&r);
        return out;
    }
    // Servers of the demo project whose name starts with the text: id by name.
    std::vector<std::pair<std::string, std::string>> servers(const std::string &start) {
        std::vector<std::pair<std::string, std::string>> out;
        Q_CJSON list = call(app.session, "GET", "/servers");
        const cJSON *s;
        cJSON_ArrayForEach(s, q_json_array(cJSON_GetObjectItem(list.get(), "servers"))) {
            const std::string name = cJSON_GetObjectItem(s, "name")->valuestring;
            if (name.rfind(start, 0) == 0) out.push_back({name, cJSON_GetObjectItem(s, "id")->valuestring});
        }
        return out;
    }
    void remove_servers() {
        for (const auto &s : servers(k_prefix))
            call(app.session, "DELETE", "/servers/" + s.second);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(240);
        while (!servers(k_prefix).empty() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    double limit(const char *name) {
        Q_CJSON l = call(app.session, "GET", "/limits");
        const cJSON *v = kvn_api_json_at(l.get(), (std::string("limits.absolute.") + name).c_str());
        return cJSON_IsNumber(v) ? v->valuedouble : -1;
    }
    // A flavor with more vCPUs than the whole core quota: over the quota
    // whatever the project runs, without lowering the quota of a project
    // that other tests create servers in at the same time.
    bool make_over_flavor(double cores) {
        drop_over_flavor();
        const std::string body = R"({"flavor": {"name": ")" + std::string(k_over_flavor) +
                                 R"(", "ram": 64, "disk": 1, "vcpus": )" + std::to_string((long)cores) + "}}";
        Q_CJSON r = call(admin, "POST", "/flavors", body);
        const cJSON *id = kvn_api_json_at(r.get(), "flavor.id");
        if (cJSON_IsString(id)) over_flavor = id->valuestring;
        return !over_flavor.empty();
    }
    void drop_over_flavor() {
        if (!admin) return;
        Q_CJSON list = call(admin, "GET", "/flavors");
        const cJSON *f;
        cJSON_ArrayForEach(f, q_json_array(kvn_api_json_at(list.get(), "flavors"))) {
            const cJSON *name = cJSON_GetObjectItemCaseSensitive(f, "name");
            const cJSON *id = cJSON_GetObjectItemCaseSensitive(f, "id");
            if (cJSON_IsString(name) && cJSON_IsString(id) && !strcmp(name->valuestring, k_over_flavor))
                call(admin, "DELETE", std::string("/flavors/") + id->valuestring);
        }
        over_flavor.clear();
    }

    // ---- the window
    KVN_WIZARD_IDS ids() {
        KVN_WIZARD_IDS i;
        kvn_gui_wizard_ids(&i);
        return i;
    }
    void frame() {
        kvn_jobs_deliver();
        al_set_target_backbuffer(g_display);
        q_gui_draw(app.gui);
    }
    template <class F> bool until(F done, int seconds = 180) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            frame();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void event(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
    void click_at(float x, float y) {
        clock += 10;
        for (int type :
             {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ALLEGRO_EVENT_MOUSE_BUTTON_UP})
            event(kvn_mouse_event(type, x, y, type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1, clock));
    }
    void click(int id) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        click_at(x + w / 2, y + h / 2);
    }
    void type(int widget, const std::string &text) {
        q_gui_set_focus(app.gui, widget);
        q_gui_textarea_set_text(app.gui, widget, "");
        for (char c : text)
            event(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, (unsigned char)c));
    }
    std::string label(int id) { return q_gui_label_get_text(app.gui, id); }
    int row_of(int grid, const char *name) {
        for (int r = 0; r < q_gui_datagrid_row_count(app.gui, grid); r++)
            if (!strcmp(q_gui_datagrid_get_cell(app.gui, grid, r, 0), name)) return r;
        return -1;
    }
    bool choose(int grid, const char *name) {
        const int row = row_of(grid, name);
        if (row < 0) return false;
        q_gui_datagrid_scroll_to_row(app.gui, grid, row);
        float x, y, w, h;
        q_gui_widget_screen_rect(app.gui, grid, &x, &y, &w, &h);
        const float rh = q_gui_datagrid_row_height(app.gui, grid);
        const int first = q_gui_datagrid_get_first_row(app.gui, grid);
        click_at(x + 40, y + rh * ((float)(row - first) + 1.5f));
        return q_gui_datagrid_get_selected_row(app.gui, grid) == row;
    }
    bool red(int grid, const char *name) {
        ALLEGRO_COLOR c;
        const int row = row_of(grid, name);
        if (row < 0 || !q_gui_datagrid_get_row_color(app.gui, grid, row, &c)) return false;
        const ALLEGRO_COLOR e = kvn_theme_current()->error;
        return c.r == e.r && c.g == e.g && c.b == e.b;
    }
    int network(const char *name) {
        const int list = ids().networks;
        for (int i = 0; i < q_gui_listbox_count(app.gui, list); i++)
            if (!strcmp(q_gui_listbox_get_item_text(app.gui, list, i), name)) return i;
        return -1;
    }
    // Opens the wizard from the create operation and waits for every list.
    bool open() {
        const KVN_RESOURCE *res = kvn_api_lookup(app.api, "compute.server");
        if (!res || !res->create || kvn_gui_resource_run(res, res->create, nullptr) != 0) return false;
        return until([&] {
            const KVN_WIZARD_IDS i = ids();
            return row_of(i.images, "cirros-fake") >= 0 && row_of(i.flavors, "m1.nano") >= 0 &&
                   network("private") >= 0 && label(i.quota).rfind("After creation", 0) == 0 &&
                   q_gui_combobox_count(app.gui, i.keypair) > 1;
        });
    }
    // Fills the usual choices: cirros, m1.nano, the private network.
    void fill(const std::string &name) {
        const KVN_WIZARD_IDS i = ids();
        type(i.name, name);
        EXPECT_TRUE(choose(i.images, "cirros-fake"));
        EXPECT_TRUE(choose(i.flavors, "m1.nano"));
        q_gui_listbox_set_selected(app.gui, i.networks, network("private"), 1);
    }
    bool create() {
        app.status_text[0] = 0;
        click(ids().create);
        return until([&] { return app.status_text[0] != 0; });
    }
};

} // namespace

TEST(WizardCloud, CreatesServersFromTheListsAndShowsQuotaAndRefusals) {
    const auto started = std::chrono::steady_clock::now();
    WIZ_CLOUD t;
    ASSERT_NE(t.app.session, nullptr);
    ASSERT_NE(t.admin, nullptr);
    t.remove_servers();
    const std::string run = k_prefix + std::to_string(getpid());

    // Reopened while its lists load: only the second opening's six answers
    // are taken, the first one's are dropped.
    const KVN_RESOURCE *servers = kvn_api_lookup(t.app.api, "compute.server");
    ASSERT_EQ(kvn_gui_resource_run(servers, servers->create, nullptr), 0);
    ASSERT_TRUE(t.open()) << t.label(t.ids().message);
    kvn_jobs_wait_idle(120000);
    EXPECT_EQ(t.ids().answers, KVN_WIZ_LISTS);

    // A missing limits answer: the line says so and creation still works.
    KVN_WIZARD_IDS i = t.ids();
    EXPECT_EQ(t.row_of(i.images, "cirros-fake") >= 0, true);
    kvn_gui_wizard_take(KVN_WIZ_LIMITS, nullptr, "no answer");
    EXPECT_EQ(t.label(i.quota), "Quota: unknown (the limits could not be read)");
    t.fill(run + "-one");
    ASSERT_TRUE(t.create());
    EXPECT_STREQ(t.app.status_text, "server creation accepted") << t.label(i.message);
    EXPECT_FALSE(q_gui_window_is_open(t.app.gui, i.window));
    EXPECT_EQ(t.servers(run + "-one").size(), 1u);

    // Three at once, named by Nova with a suffix each.
    ASSERT_TRUE(t.open());
    EXPECT_STREQ(q_gui_textarea_get_text(t.app.gui, i.name), "");
    t.fill(run + "-three");
    t.type(i.count, "3");
    EXPECT_NE(t.label(i.quota).find("instances "), std::string::npos);
    ASSERT_TRUE(t.create());
    EXPECT_STREQ(t.app.status_text, "server creation accepted") << t.label(i.message);
    EXPECT_EQ(t.servers(run + "-three").size(), 3u);

    // Booted from a new volume of the proposed size, deleted with it.
    ASSERT_TRUE(t.open());
    t.type(i.count, "1");
    t.fill(run + "-volume");
    EXPECT_EQ(std::string(q_gui_textarea_get_text(t.app.gui, i.volume_size)), "10");
    q_gui_checkbox_set_checked(t.app.gui, i.boot_volume, 1);
    t.type(i.volume_size, "1");
    ASSERT_TRUE(t.create());
    EXPECT_STREQ(t.app.status_text, "server creation accepted") << t.label(i.message);
    const auto volume = t.servers(run + "-volume");
    ASSERT_EQ(volume.size(), 1u);
    q_gui_checkbox_set_checked(t.app.gui, i.boot_volume, 0);

    // User data, read back as admin where the server's attributes show it.
    const std::string user_data = "#cloud-config\nhostname: kvn-wizard\n";
    ASSERT_TRUE(t.open());
    t.fill(run + "-userdata");
    q_gui_textarea_set_text(t.app.gui, i.user_data, user_data.c_str());
    ASSERT_TRUE(t.create());
    EXPECT_STREQ(t.app.status_text, "server creation accepted") << t.label(i.message);
    q_gui_textarea_set_text(t.app.gui, i.user_data, "");
    const auto with_data = t.servers(run + "-userdata");
    ASSERT_EQ(with_data.size(), 1u);
    Q_CJSON shown = t.call(t.admin, "GET", "/servers/" + with_data[0].second, "", "2.3");
    const cJSON *ud = kvn_api_json_at(shown.get(), "server.OS-EXT-SRV-ATTR:user_data");
    ASSERT_TRUE(cJSON_IsString(ud)) << (shown ? cJSON_PrintUnformatted(shown.get()) : "no answer");
    EXPECT_STREQ(ud->valuestring, "I2Nsb3VkLWNvbmZpZwpob3N0bmFtZToga3ZuLXdpemFyZAo=");

    // The volume server runs on a volume made from the image, not on the
    // image itself.
    Q_CJSON vm;
    EXPECT_TRUE(t.until(
        [&] {
            vm = t.call(t.app.session, "GET", "/servers/" + volume[0].second, "", "2.79");
            const cJSON *st = kvn_api_json_at(vm.get(), "server.status");
            return cJSON_IsString(st) &&
                   (!strcmp(st->valuestring, "ACTIVE") || !strcmp(st->valuestring, "ERROR"));
        },
        300));
    const cJSON *image = kvn_api_json_at(vm.get(), "server.image");
    EXPECT_TRUE(cJSON_IsString(image) && !image->valuestring[0]) << "booted from the image itself";
    const cJSON *status = kvn_api_json_at(vm.get(), "server.status");
    const cJSON *fault = kvn_api_json_at(vm.get(), "server.fault.message");
    EXPECT_TRUE(cJSON_IsString(status) && !strcmp(status->valuestring, "ACTIVE"))
        << (cJSON_IsString(fault) ? fault->valuestring : "no fault");
    EXPECT_EQ(cJSON_GetArraySize(kvn_api_json_at(vm.get(), "server.os-extended-volumes:volumes_attached")),
              1);

    // A flavor over the core quota turns red, the line goes over, and Nova
    // refuses it with its own words.
    const double max_cores = t.limit("maxTotalCores");
    ASSERT_GT(max_cores, 0);
    ASSERT_TRUE(t.make_over_flavor(max_cores + 1));
    ASSERT_TRUE(t.open());
    EXPECT_TRUE(t.red(i.flavors, k_over_flavor));
    EXPECT_FALSE(t.red(i.flavors, "m1.nano"));
    t.fill(run + "-refused");
    ASSERT_TRUE(t.choose(i.flavors, k_over_flavor));
    EXPECT_NE(t.label(i.quota).find("  - OVER QUOTA"), std::string::npos) << t.label(i.quota);
    EXPECT_TRUE(t.ids().quota_over);
    ASSERT_TRUE(t.create());
    const std::string refused = t.label(i.message);
    EXPECT_NE(refused.find("Quota exceeded"), std::string::npos) << refused;
    EXPECT_EQ(std::string(t.app.status_text), "server creation failed: " + refused);
    EXPECT_TRUE(q_gui_window_is_open(t.app.gui, i.window));
    EXPECT_TRUE(q_gui_widget_is_enabled(t.app.gui, i.create));
    EXPECT_EQ(std::string(q_gui_textarea_get_text(t.app.gui, i.name)), run + "-refused");
    EXPECT_EQ(q_gui_datagrid_get_selected_row(t.app.gui, i.flavors), t.row_of(i.flavors, k_over_flavor));
    EXPECT_TRUE(t.servers(run + "-refused").empty());
    t.drop_over_flavor();

    t.remove_servers();
    EXPECT_TRUE(t.servers(k_prefix).empty());
    printf("wizard cloud test: %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}
