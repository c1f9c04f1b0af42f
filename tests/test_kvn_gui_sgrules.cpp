// labels: gui
// The security group rules editor on a real display, without a cloud: the
// custom rule's refusals and port rules, the bodies the presets and the
// shared inputs make, the grid a rule list fills (missing protocol, remote
// group, unnumbered ports), and the messages of the window itself.
#include "kvn_test_gui.h"

#include <cJSON.h>

#include <string>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_sgrules.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_test_util.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"

namespace {

struct SG_APP {
    TEST_DIR dir;
    KVN_APP app;
    double clock = 1;
    SG_APP() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, 1000, 620);
        kvn_app_publish(&app);
        kvn_theme_apply(app.gui, KVN_THEME_DARK);
    }
    ~SG_APP() {
        kvn_gui_sgrules_shutdown();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    KVN_SGRULES_IDS ids() {
        KVN_SGRULES_IDS i;
        kvn_gui_sgrules_ids(&i);
        return i;
    }
    void click(int id) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        clock += 10;
        for (int type :
             {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ALLEGRO_EVENT_MOUSE_BUTTON_UP}) {
            ALLEGRO_EVENT ev =
                kvn_mouse_event(type, x + w / 2, y + h / 2, type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1, clock);
            q_gui_process_event(app.gui, &ev);
        }
    }
    std::string label(int id) { return q_gui_label_get_text(app.gui, id); }
};

std::string custom(const char *protocol, const char *lo, const char *hi, int *out_lo = nullptr,
                   int *out_hi = nullptr) {
    int a = -7, b = -7;
    char err[256];
    const int rc = kvn_sgrules_custom_ports(protocol, lo, hi, &a, &b, err, sizeof err);
    if (out_lo) *out_lo = a;
    if (out_hi) *out_hi = b;
    return rc == 0 ? "ok " + std::to_string(a) + " " + std::to_string(b) : err;
}

std::string print(cJSON *body) {
    char *text = cJSON_PrintUnformatted(body);
    std::string s = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(body);
    return s;
}

} // namespace

TEST(SgRules, CustomPortsAreCheckedAgainstTheProtocol) {
    const char *const ports_need = "ports need tcp, udp, sctp (or icmp type / code)";
    const struct {
        const char *protocol, *lo, *hi, *want;
    } cases[] = {
        {"tcp", "8000", "", "ok 8000 8000"}, // only the minimum: the maximum follows it
        {"tcp", "", "", "ok -1 -1"},         // no ports at all
        {"any", "", "", "ok -1 -1"},         // any protocol without ports
        {"udp", "", "53", "ok -1 53"},       // only the maximum: the minimum is left out
        // ICMP takes a type and a code, not a range: echo request is 8 / 0,
        // and a type alone matches every code of it.
        {"icmp", "8", "0", "ok 8 0"},
        {"icmp", "3", "", "ok 3 -1"},
        {"icmp", "", "0", "invalid port range"},
        {"icmp", "256", "", "invalid port range"},
        {"sctp", "1", "65535", "ok 1 65535"},
        {"gre", "5", "", ports_need},
        {"any", "22", "22", ports_need},
        {"vrrp", "", "9", ports_need},
        {"tcp", "9000", "8000", "invalid port range"},
        {"tcp", "1", "65536", "invalid port range"},
        {"tcp", "80x", "", "invalid port range"}, // no number is never taken for an empty port
        {"tcp", "-5", "", "invalid port range"},
        {"tcp", " 443 ", "", "ok 443 443"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(custom(c.protocol, c.lo, c.hi), c.want) << c.protocol << " " << c.lo << "-" << c.hi;
}

TEST(SgRules, BodiesSendOnlyWhatTheRuleHas) {
    // "Any protocol": neither protocol nor ports; an empty remote means any
    // source, so no prefix.
    const KVN_SG_PRESET *any = kvn_sgrules_preset(7);
    ASSERT_NE(any, nullptr);
    EXPECT_STREQ(any->label, "Any protocol");
    EXPECT_EQ(
        print(kvn_sgrules_body("g1", 0, 0, any->protocol, any->port_min, any->port_max, "")),
        R"({"security_group_rule":{"security_group_id":"g1","direction":"ingress","ethertype":"IPv4"}})");
    const KVN_SG_PRESET *dns = kvn_sgrules_preset(4);
    EXPECT_EQ(print(kvn_sgrules_body("g1", 1, 1, dns->protocol, dns->port_min, dns->port_max, "::/0")),
              R"({"security_group_rule":{"security_group_id":"g1","direction":"egress","ethertype":"IPv6",)"
              R"("protocol":"udp","port_range_min":53,"port_range_max":53,"remote_ip_prefix":"::/0"}})");
    // Only the maximum given: the minimum stays out of the body.
    EXPECT_EQ(print(kvn_sgrules_body("g1", 0, 0, "udp", -1, 53, nullptr)),
              R"({"security_group_rule":{"security_group_id":"g1","direction":"ingress","ethertype":"IPv4",)"
              R"("protocol":"udp","port_range_max":53}})");
    const char *labels[KVN_SG_PRESETS] = {"SSH 22",     "HTTP 80", "HTTPS 443", "RDP 3389",
                                          "DNS 53/udp", "ICMP",    "All TCP",   "Any protocol"};
    for (int i = 0; i < KVN_SG_PRESETS; i++)
        EXPECT_STREQ(kvn_sgrules_preset(i)->label, labels[i]);
    EXPECT_EQ(kvn_sgrules_preset(8), nullptr);
    EXPECT_STREQ(kvn_sgrules_protocol(0), "any");
    EXPECT_STREQ(kvn_sgrules_protocol(9), "vrrp");
}

TEST(SgRules, WindowFillsTheGridAndRefusesBadInput) {
    SG_APP t;
    // Without a session (or an item) nothing opens.
    EXPECT_EQ(kvn_gui_sgrules_open(nullptr, nullptr), -1);
    EXPECT_STREQ(t.app.status_text, "select a security group first");

    cJSON *group = cJSON_Parse(R"({"id": "5f0c", "name": "web"})");
    ASSERT_EQ(kvn_gui_sgrules_show(group, cJSON_Parse(R"({"security_group_rules": [
        {"id": "r1", "direction": "egress", "ethertype": "IPv4", "protocol": null,
         "port_range_min": null, "port_range_max": null, "remote_ip_prefix": null, "description": ""},
        {"id": "r2", "direction": "ingress", "ethertype": "IPv6", "protocol": "tcp",
         "port_range_min": 22, "port_range_max": 22, "remote_ip_prefix": null,
         "remote_group_id": "5f0c", "description": "ssh from the group"}]})")),
              0);
    const KVN_SGRULES_IDS i = t.ids();
    EXPECT_TRUE(q_gui_window_is_open(t.app.gui, i.window));
    EXPECT_EQ(t.label(i.title), "Security group web (5f0c)");
    EXPECT_EQ(t.label(i.message), "2 rules");
    ASSERT_EQ(q_gui_datagrid_row_count(t.app.gui, i.grid), 2);
    const char *want[2][KVN_SG_COLUMNS] = {
        {"egress", "IPv4", "any", "", "", "any", "", "r1"},
        {"ingress", "IPv6", "tcp", "22", "22", "5f0c", "ssh from the group", "r2"}};
    for (int r = 0; r < 2; r++)
        for (int c = 0; c < KVN_SG_COLUMNS; c++)
            EXPECT_STREQ(q_gui_datagrid_get_cell(t.app.gui, i.grid, r, c), want[r][c]) << r << "," << c;
    EXPECT_FALSE(q_gui_datagrid_get_column_visible(t.app.gui, i.grid, KVN_SG_COLUMNS - 1));
    EXPECT_EQ(std::string(q_gui_textarea_get_text(t.app.gui, i.remote)), "0.0.0.0/0");
    EXPECT_EQ(q_gui_combobox_get_selected(t.app.gui, i.protocol), 1);

    // The custom rule's refusals reach the message label before anything is sent.
    q_gui_combobox_set_selected(t.app.gui, i.protocol, 5); // gre
    q_gui_textarea_set_text(t.app.gui, i.port_min, "47");
    t.click(i.add);
    EXPECT_EQ(t.label(i.message), "ports need tcp, udp, sctp (or icmp type / code)");
    q_gui_combobox_set_selected(t.app.gui, i.protocol, 1);
    q_gui_textarea_set_text(t.app.gui, i.port_min, "9000");
    q_gui_textarea_set_text(t.app.gui, i.port_max, "8000");
    t.click(i.add);
    EXPECT_EQ(t.label(i.message), "invalid port range");
    EXPECT_EQ(t.ids().running, 0);

    // Delete with nothing selected asks for a selection, not a confirmation.
    t.click(i.del);
    EXPECT_EQ(t.label(i.message), "select the rules to delete");
    KVN_GUI_DIALOG_IDS d;
    kvn_gui_dialogs_ids(&d);
    EXPECT_TRUE(d.confirm_window < 0 || !q_gui_window_is_open(t.app.gui, d.confirm_window));
    // Two selected: the confirmation names the count and the group.
    q_gui_datagrid_select_row(t.app.gui, i.grid, 0, 1);
    q_gui_datagrid_select_row(t.app.gui, i.grid, 1, 1);
    t.click(i.del);
    kvn_gui_dialogs_ids(&d);
    ASSERT_GE(d.confirm_window, 0);
    EXPECT_TRUE(q_gui_window_is_open(t.app.gui, d.confirm_window));
    EXPECT_EQ(t.label(d.confirm_first), "Delete 2 rules of web?");
    EXPECT_EQ(t.label(d.confirm_second), "DELETE /security-group-rules/{id}");
    kvn_gui_dialogs_close_window(d.confirm_window); // No: nothing runs
    EXPECT_EQ(t.ids().running, 0);
    cJSON_Delete(group);

    // A group without a name is shown by its id.
    group = cJSON_Parse(R"({"id": "77aa", "name": ""})");
    ASSERT_EQ(kvn_gui_sgrules_show(group, cJSON_Parse(R"({"security_group_rules": [{"id": "x"}]})")), 0);
    EXPECT_EQ(t.label(i.title), "Security group 77aa (77aa)");
    EXPECT_EQ(t.label(i.message), "1 rule");
    cJSON_Delete(group);

    // Escape hides the editor, and only the editor.
    EXPECT_EQ(kvn_gui_sgrules_escape(i.window + 1000), 0);
    EXPECT_EQ(kvn_gui_sgrules_escape(i.window), 1);
    EXPECT_FALSE(q_gui_window_is_open(t.app.gui, i.window));
    EXPECT_EQ(kvn_gui_sgrules_escape(i.window), 0);
}
