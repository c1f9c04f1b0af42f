// labels: gui
// The server creation wizard on a real display, without a cloud: the
// proposed boot volume size, the quota arithmetic and line, the body Create
// sends (counts, automatic networks, boot volume, user data) and each of its
// refusals, and the window filled from list answers as the cloud sends them
// (active images only, the filter, red flavor rows, the quota line turning
// red, a failed limits answer that leaves creation possible).
#include "kvn_test_gui.h"

#include <cJSON.h>

#include <string>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_wizard.h"
#include "kvn_paths.h"
#include "kvn_test_util.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"

namespace {

struct WIZ_APP {
    TEST_DIR dir;
    KVN_APP app;
    double clock = 1;
    WIZ_APP() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, 1100, 760);
        kvn_app_publish(&app);
        kvn_theme_apply(app.gui, KVN_THEME_LIGHT);
    }
    ~WIZ_APP() {
        kvn_gui_wizard_shutdown();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    KVN_WIZARD_IDS ids() {
        KVN_WIZARD_IDS i;
        kvn_gui_wizard_ids(&i);
        return i;
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
    // A grid row clicked as a user would, below the header.
    void click_row(int grid, int row) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, grid, &x, &y, &w, &h));
        const float rh = q_gui_datagrid_row_height(app.gui, grid);
        click_at(x + 40, y + rh * ((float)row + 1.5f));
    }
    void type(int widget, const std::string &text) {
        q_gui_set_focus(app.gui, widget);
        q_gui_textarea_set_text(app.gui, widget, "");
        for (char c : text)
            event(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, (unsigned char)c));
    }
    std::string label(int id) { return q_gui_label_get_text(app.gui, id); }
    std::string text(int id) { return q_gui_textarea_get_text(app.gui, id); }
    int row_of(int grid, const char *name) {
        for (int r = 0; r < q_gui_datagrid_row_count(app.gui, grid); r++)
            if (!strcmp(q_gui_datagrid_get_cell(app.gui, grid, r, 0), name)) return r;
        return -1;
    }
    bool red(int grid, int row) {
        ALLEGRO_COLOR c;
        if (!q_gui_datagrid_get_row_color(app.gui, grid, row, &c)) return false;
        const ALLEGRO_COLOR e = kvn_theme_current()->error;
        return c.r == e.r && c.g == e.g && c.b == e.b;
    }
    // The body Create would send, printed; the message label when refused.
    std::string request() {
        cJSON *body = kvn_gui_wizard_request();
        if (!body) return "refused: " + label(ids().message);
        char *t = cJSON_PrintUnformatted(body);
        std::string s = t;
        cJSON_free(t);
        cJSON_Delete(body);
        return s;
    }
};

const char *k_limits = R"({"limits": {"absolute": {"maxTotalInstances": 10, "totalInstancesUsed": 2,
    "maxTotalCores": 10, "totalCoresUsed": 4, "maxTotalRAMSize": 51200, "totalRAMUsed": 2048}}})";
const char *k_flavors = R"({"flavors": [
    {"id": "f1", "name": "m1.tiny", "vcpus": 1, "ram": 512, "disk": 1},
    {"id": "f8", "name": "c1.xlarge", "vcpus": 8, "ram": 8192, "disk": 40},
    {"id": "fr", "name": "r1.huge", "vcpus": 2, "ram": 65536, "disk": 10}]})";
const char *k_images = R"({"images": [
    {"id": "i1", "name": "cirros", "status": "active", "size": 2684354560, "min_disk": 0, "visibility": "public"},
    {"id": "i2", "name": "big", "status": "active", "size": 13099650252, "min_disk": 0, "visibility": "private",
     "os_distro": "fedora-coreos"},
    {"id": "i3", "name": "half", "status": "queued", "size": 0, "visibility": "public"},
    {"id": "i4", "name": "", "status": "active", "size": 1024, "min_disk": 30, "visibility": "shared"}]})";

} // namespace

TEST(Wizard, ProposesTheBootVolumeAndCountsTheQuota) {
    const struct {
        const char *image;
        double want;
    } sizes[] = {
        {R"({"size": 2684354560, "min_disk": 0})", 10},  // 2.5 GiB
        {R"({"size": 13099650252, "min_disk": 0})", 13}, // 12.2 GiB, rounded up
        {R"({"size": 1024, "min_disk": 30})", 30},
        {R"({"size": null})", 10},
    };
    for (const auto &s : sizes) {
        Q_CJSON image(cJSON_Parse(s.image));
        EXPECT_EQ(kvn_wizard_volume_size(image.get()), s.want) << s.image;
    }

    Q_CJSON limits(cJSON_Parse(k_limits));
    Q_CJSON eight(cJSON_Parse(R"({"vcpus": 8, "ram": 1024})"));
    Q_CJSON tiny(cJSON_Parse(R"({"vcpus": 1, "ram": 512})"));
    char line[512];
    EXPECT_EQ(kvn_wizard_quota_line(nullptr, tiny.get(), 1, line, sizeof line), 0);
    EXPECT_STREQ(line, "Quota: loading...");
    EXPECT_EQ(kvn_wizard_quota_line(limits.get(), nullptr, 0, line, sizeof line), 0);
    EXPECT_STREQ(line, "After creation: instances 3 / 10, vCPUs 4 / 10, RAM 2.0 / 50.0 GiB");
    EXPECT_EQ(kvn_wizard_quota_line(limits.get(), tiny.get(), 3, line, sizeof line), 0);
    EXPECT_STREQ(line, "After creation: instances 5 / 10, vCPUs 7 / 10, RAM 3.5 / 50.0 GiB");
    // 8 vCPUs with 6 cores left: red, and over quota once chosen.
    KVN_WIZ_QUOTA q;
    ASSERT_EQ(kvn_wizard_quota(limits.get(), &q), 0);
    EXPECT_FALSE(kvn_wizard_flavor_fits(&q, eight.get()));
    EXPECT_TRUE(kvn_wizard_flavor_fits(&q, tiny.get()));
    EXPECT_EQ(kvn_wizard_quota_line(limits.get(), eight.get(), 1, line, sizeof line), 1);
    EXPECT_STREQ(line, "After creation: instances 3 / 10, vCPUs 12 / 10, RAM 3.0 / 50.0 GiB  - OVER QUOTA");

    // Missing maxima are unknown: nothing is red or over, and they read -1.
    Q_CJSON open(cJSON_Parse(R"({"limits": {"absolute": {"totalCoresUsed": 40, "totalRAMUsed": 1024}}})"));
    ASSERT_EQ(kvn_wizard_quota(open.get(), &q), 0);
    EXPECT_TRUE(kvn_wizard_flavor_fits(&q, eight.get()));
    EXPECT_EQ(kvn_wizard_quota_line(open.get(), eight.get(), 2, line, sizeof line), 0);
    EXPECT_STREQ(line, "After creation: instances 2 / -1, vCPUs 56 / -1, RAM 3.0 / -1.0 GiB");
    // Usage already past a maximum leaves no known room: not red either.
    Q_CJSON past(cJSON_Parse(R"({"limits": {"absolute": {"maxTotalCores": 4, "totalCoresUsed": 6}}})"));
    ASSERT_EQ(kvn_wizard_quota(past.get(), &q), 0);
    EXPECT_TRUE(kvn_wizard_flavor_fits(&q, eight.get()));
}

TEST(Wizard, BodyCarriesTheChoicesAndRefusesWhatIsMissing) {
    const char *nets[] = {"n1", "n2"};
    const char *groups[] = {"default", "web"};
    KVN_WIZ_CHOICE c;
    memset(&c, 0, sizeof c);
    c.name = "vm";
    c.count_text = "1";
    c.image_id = "img";
    c.flavor_id = "fl";
    auto body = [&]() {
        char err[256];
        cJSON *b = kvn_wizard_body(&c, err, sizeof err);
        if (!b) return std::string("refused: ") + err;
        char *t = cJSON_PrintUnformatted(b);
        std::string s = t;
        cJSON_free(t);
        cJSON_Delete(b);
        return s;
    };
    // Count 1, no network chosen: no counts, "networks": "auto".
    EXPECT_EQ(body(), R"({"server":{"name":"vm","flavorRef":"fl","imageRef":"img","networks":"auto",)"
                      R"("security_groups":[]}})");
    c.count_text = "3";
    c.network_ids = nets;
    c.network_count = 2;
    c.group_names = groups;
    c.group_count = 2;
    c.key_name = "demo-key";
    c.user_data = "#cloud-config\n";
    EXPECT_EQ(body(),
              R"({"server":{"name":"vm","flavorRef":"fl","imageRef":"img","networks":[{"uuid":"n1"},)"
              R"({"uuid":"n2"}],"security_groups":[{"name":"default"},{"name":"web"}],)"
              R"("key_name":"demo-key","user_data":"I2Nsb3VkLWNvbmZpZwo=","min_count":3,"max_count":3}})");
    c.count_text = "1";
    c.network_count = 0;
    c.group_count = 0;
    c.key_name = nullptr;
    c.user_data = "";
    c.boot_volume = 1;
    c.delete_volume = 0;
    c.volume_size_text = "13";
    EXPECT_EQ(body(), R"({"server":{"name":"vm","flavorRef":"fl","block_device_mapping_v2":[{"boot_index":0,)"
                      R"("uuid":"img","source_type":"image","destination_type":"volume","volume_size":13,)"
                      R"("delete_on_termination":false}],"networks":"auto","security_groups":[]}})");

    const struct {
        const char *name, *image, *flavor, *count, *volume, *want;
    } refusals[] = {
        {"", "img", "fl", "1", "13", "the name is required"},
        {"  ", "img", "fl", "1", "13", "the name is required"},
        {"vm", "img", "", "1", "13", "choose a flavor"},
        {"vm", "", "", "1", "13", "choose a flavor"},
        {"vm", "", "fl", "1", "13", "choose an image"},
        {"vm", "img", "fl", "1", "0", "boot volume size must be a positive number of GB"},
        {"vm", "img", "fl", "1", "2.5", "boot volume size must be a positive number of GB"},
        {"vm", "img", "fl", "1", "", "boot volume size must be a positive number of GB"},
        {"vm", "img", "fl", "x3", "13", "the count must be a whole number of servers, 1 or more"},
        {"vm", "img", "fl", "0", "13", "the count must be a whole number of servers, 1 or more"},
    };
    for (const auto &r : refusals) {
        c.name = r.name;
        c.image_id = r.image;
        c.flavor_id = r.flavor;
        c.count_text = r.count;
        c.volume_size_text = r.volume;
        EXPECT_EQ(body(), std::string("refused: ") + r.want) << r.name << "/" << r.count << "/" << r.volume;
    }
}

TEST(Wizard, WindowFillsFromTheListsAndShowsTheQuota) {
    WIZ_APP t;
    ASSERT_EQ(kvn_gui_wizard_show(nullptr), 0);
    KVN_WIZARD_IDS i = t.ids();
    EXPECT_TRUE(q_gui_window_is_open(t.app.gui, i.window));
    EXPECT_STREQ(q_gui_get_window(t.app.gui, i.window)->title, "Create a server");
    EXPECT_EQ(t.label(i.quota), "Quota: loading...");
    EXPECT_EQ(t.text(i.count), "1");

    kvn_gui_wizard_take(KVN_WIZ_IMAGES, cJSON_Parse(k_images), nullptr);
    kvn_gui_wizard_take(KVN_WIZ_FLAVORS, cJSON_Parse(k_flavors), nullptr);
    kvn_gui_wizard_take(KVN_WIZ_NETWORKS, cJSON_Parse(R"({"networks": [
        {"id": "pub", "name": "public", "router:external": true},
        {"id": "priv", "name": "private", "router:external": false}]})"),
                        nullptr);
    kvn_gui_wizard_take(KVN_WIZ_SECGROUPS,
                        cJSON_Parse(R"({"security_groups": [{"name": "web"}, {"name": "default"}]})"),
                        nullptr);
    kvn_gui_wizard_take(KVN_WIZ_KEYPAIRS, cJSON_Parse(R"({"keypairs": [{"keypair": {"name": "demo-key"}}]})"),
                        nullptr);
    // Flavors came before the limits: nothing red yet.
    EXPECT_FALSE(t.red(i.flavors, t.row_of(i.flavors, "c1.xlarge")));
    kvn_gui_wizard_take(KVN_WIZ_LIMITS, cJSON_Parse(k_limits), nullptr);

    // Active images only, the id standing in for a missing name.
    ASSERT_EQ(q_gui_datagrid_row_count(t.app.gui, i.images), 3);
    EXPECT_EQ(t.row_of(i.images, "half"), -1);
    EXPECT_GE(t.row_of(i.images, "i4"), 0);
    const int cirros = t.row_of(i.images, "cirros");
    EXPECT_STREQ(q_gui_datagrid_get_cell(t.app.gui, i.images, cirros, 2), "0");
    EXPECT_STREQ(q_gui_datagrid_get_cell(t.app.gui, i.images, cirros, 3), "public");
    // The filter matches the distribution as well as the name, ignoring case.
    t.type(i.filter, "COREOS");
    ASSERT_EQ(q_gui_datagrid_row_count(t.app.gui, i.images), 1);
    EXPECT_STREQ(q_gui_datagrid_get_cell(t.app.gui, i.images, 0, 0), "big");
    // Choosing it proposes a 13 GB volume.
    t.click_row(i.images, 0);
    EXPECT_EQ(t.text(i.volume_size), "13");
    // Emptying the filter shows them all again and keeps the choice.
    t.type(i.filter, "c");
    t.event(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_BACKSPACE, 0, 8));
    EXPECT_EQ(t.text(i.filter), "");
    EXPECT_EQ(q_gui_datagrid_row_count(t.app.gui, i.images), 3);
    EXPECT_EQ(q_gui_datagrid_get_selected_row(t.app.gui, i.images), t.row_of(i.images, "big"));
    q_gui_datagrid_clear_selection(t.app.gui, i.images);

    // Rows over the remaining 6 cores or 48 GiB of RAM are red.
    EXPECT_FALSE(t.red(i.flavors, t.row_of(i.flavors, "m1.tiny")));
    EXPECT_TRUE(t.red(i.flavors, t.row_of(i.flavors, "c1.xlarge")));
    EXPECT_TRUE(t.red(i.flavors, t.row_of(i.flavors, "r1.huge")));
    EXPECT_STREQ(q_gui_datagrid_get_cell(t.app.gui, i.flavors, t.row_of(i.flavors, "m1.tiny"), 1), "1");

    // Networks, groups with "default" chosen, the only key pair chosen.
    EXPECT_STREQ(q_gui_listbox_get_item_text(t.app.gui, i.networks, 0), "public (external)");
    EXPECT_STREQ(q_gui_listbox_get_item_text(t.app.gui, i.networks, 1), "private");
    EXPECT_FALSE(q_gui_listbox_is_selected(t.app.gui, i.groups, 0));
    EXPECT_TRUE(q_gui_listbox_is_selected(t.app.gui, i.groups, 1));
    EXPECT_EQ(q_gui_combobox_get_selected(t.app.gui, i.keypair), 1);
    EXPECT_STREQ(q_gui_combobox_get_item_text(t.app.gui, i.keypair, 0), "(no key pair)");

    EXPECT_EQ(t.label(i.quota), "After creation: instances 3 / 10, vCPUs 4 / 10, RAM 2.0 / 50.0 GiB");
    EXPECT_FALSE(t.ids().quota_over);
    // The refusals, in the order a user meets them.
    EXPECT_EQ(t.request(), "refused: the name is required");
    t.type(i.name, "web");
    EXPECT_EQ(t.request(), "refused: choose a flavor");
    t.click_row(i.flavors, t.row_of(i.flavors, "c1.xlarge"));
    EXPECT_EQ(t.label(i.quota),
              "After creation: instances 3 / 10, vCPUs 12 / 10, RAM 10.0 / 50.0 GiB  - OVER QUOTA");
    EXPECT_TRUE(t.ids().quota_over);
    t.click_row(i.flavors, t.row_of(i.flavors, "m1.tiny"));
    EXPECT_FALSE(t.ids().quota_over);
    // Every change of the count follows in the line.
    t.type(i.count, "7");
    EXPECT_EQ(t.label(i.quota),
              "After creation: instances 9 / 10, vCPUs 11 / 10, RAM 5.5 / 50.0 GiB  - OVER QUOTA");
    t.type(i.count, "2");
    EXPECT_EQ(t.request(), "refused: choose an image");
    t.click_row(i.images, t.row_of(i.images, "cirros"));
    EXPECT_EQ(t.text(i.volume_size), "10");
    q_gui_listbox_set_selected(t.app.gui, i.networks, 1, 1);
    EXPECT_EQ(t.request(),
              R"({"server":{"name":"web","flavorRef":"f1","imageRef":"i1","networks":[{"uuid":"priv"}],)"
              R"("security_groups":[{"name":"default"}],"key_name":"demo-key","min_count":2,)"
              R"("max_count":2}})");

    // A limits answer that fails: the line says so, creation stays possible.
    kvn_gui_wizard_take(KVN_WIZ_LIMITS, nullptr, "HTTP 503: Service Unavailable");
    EXPECT_EQ(t.label(i.message), "cannot load a list: HTTP 503: Service Unavailable");
    EXPECT_EQ(t.label(i.quota), "Quota: unknown (the limits could not be read)");
    EXPECT_FALSE(t.red(i.flavors, t.row_of(i.flavors, "c1.xlarge")));
    EXPECT_EQ(t.request().rfind(R"({"server":{"name":"web")", 0), 0u);

    // Reopening empties the name and the lists and asks again.
    const unsigned generation = t.ids().generation;
    ASSERT_EQ(kvn_gui_wizard_show(nullptr), 0);
    EXPECT_EQ(t.ids().generation, generation + 1);
    EXPECT_EQ(t.text(i.name), "");
    EXPECT_EQ(q_gui_datagrid_row_count(t.app.gui, i.images), 0);
    EXPECT_EQ(q_gui_listbox_count(t.app.gui, i.networks), 0);
    EXPECT_EQ(t.label(i.quota), "Quota: loading...");

    // Escape hides the wizard, and only the wizard.
    EXPECT_EQ(kvn_gui_wizard_escape(i.window + 1000), 0);
    EXPECT_EQ(kvn_gui_wizard_escape(i.window), 1);
    EXPECT_FALSE(q_gui_window_is_open(t.app.gui, i.window));
}
