// labels: cloud display
// The network and subnet forms against the local cloud as the demo user,
// with the program's own descriptors: the form's OK hands the caller what it
// would send, the test sends it as the resource panel will, and the subnet
// form's network pick list is filled from the real network API and offers
// the network just made. A value the request builder refuses stays in the
// form with its message and nothing reaches the cloud.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_cloud_test.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"

namespace {
struct CALLS {
    int count = 0;
    std::vector<std::string> values;
};

void on_done(const KVN_OP *, const char *const *values, int n, long, void *user) {
    CALLS *c = static_cast<CALLS *>(user);
    c->count++;
    c->values.assign(values, values + n);
}

struct CLOUD_FORM {
    TEST_DIR dir;
    KVN_APP app;
    CALLS calls;
    double clock = 100;
    explicit CLOUD_FORM(const std::string &who) {
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
        app.session = s;
        app.session_generation++;
    }
    ~CLOUD_FORM() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_form_destroy_all();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    const KVN_OP *create_op(const char *key) {
        const KVN_RESOURCE *r = kvn_api_lookup(app.api, key);
        return r ? r->create : nullptr;
    }
    int field_index(const KVN_OP *op, const char *name) {
        for (int i = 0; i < op->field_count; i++)
            if (!strcmp(op->fields[i].name, name)) return i;
        ADD_FAILURE() << "no field " << name;
        return 0;
    }
    void feed(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
    void click(int window, int id) {
        const Q_GUI_WIDGET *wd = q_gui_get_widget(app.gui, id);
        ASSERT_NE(wd, nullptr);
        q_gui_window_set_scroll(app.gui, window, 0, wd->y > 200 ? wd->y - 200 : 0);
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        clock += 10;
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x + w / 2, y + h / 2, 0, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x + w / 2, y + h / 2, 1, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x + w / 2, y + h / 2, 1, clock));
    }
    // Typing as the user does: focus by a click, then one key-char per byte.
    void type(int window, int id, const std::string &text) {
        click(window, id);
        q_gui_textarea_set_text(app.gui, id, "");
        for (unsigned char c : text) {
            ALLEGRO_EVENT ev = kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, c);
            feed(ev);
        }
    }
    // Sends the values as the resource panel will: the request builder's
    // path and body through the session. The answer's JSON, or null.
    Q_CJSON send(const KVN_OP *op, const std::vector<std::string> &values, int *status) {
        std::vector<const char *> v;
        for (const std::string &s : values)
            v.push_back(s.c_str());
        KVN_SESSION_INFO info;
        kvn_session_info(app.session, &info);
        KVN_EXPAND_CTX ctx;
        memset(&ctx, 0, sizeof ctx);
        ctx.project_id = info.project_id;
        ctx.user_id = info.user_id;
        char path[4096], err[1024];
        cJSON *body = nullptr;
        EXPECT_EQ(kvn_api_prepare(op, &ctx, v.data(), path, sizeof path, &body, err, sizeof err), 0) << err;
        KVN_RESULT *r = kvn_session_call(app.session, "network", op->method, path, body, nullptr, nullptr);
        cJSON_Delete(body);
        *status = r ? r->status : 0;
        Q_CJSON out(r ? r->json : nullptr);
        if (r) r->json = nullptr;
        kvn_result_free(&r);
        return out;
    }
    // Delivers jobs until the drop-down offers an entry containing `text`.
    int wait_entry(int combo, const std::string &text, int seconds = 180) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            kvn_jobs_deliver();
            for (int i = 0; i < q_gui_combobox_count(app.gui, combo); i++)
                if (std::string(q_gui_combobox_get_item_text(app.gui, combo, i)).find(text) !=
                    std::string::npos)
                    return i;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
};
} // namespace

TEST(FormCloud, NetworkAndSubnetFormsWithTheRealNetworkList) {
    CLOUD_FORM c("demo");
    ASSERT_NE(c.app.session, nullptr);
    const KVN_OP *net_op = c.create_op("network.network");
    const KVN_OP *sub_op = c.create_op("network.subnet");
    ASSERT_TRUE(net_op && sub_op);
    const std::string net_name = unique("form-net"), sub_name = unique("form-sub");

    // The network form: defaults as the descriptor gives them, the name typed.
    ASSERT_EQ(kvn_gui_form_open(net_op, nullptr, nullptr, on_done, 7, &c.calls), 0);
    KVN_FORM_IDS ids;
    ASSERT_EQ(kvn_gui_form_ids(net_op, &ids), 0);
    const int name = c.field_index(net_op, "name");
    c.type(ids.window, ids.input[name], net_name);
    c.click(ids.window, ids.ok);
    ASSERT_EQ(c.calls.count, 1) << q_gui_label_get_text(c.app.gui, ids.message);
    EXPECT_EQ(c.calls.values[name], net_name);
    EXPECT_EQ(c.calls.values[c.field_index(net_op, "admin_state_up")], "true");
    EXPECT_EQ(c.calls.values[c.field_index(net_op, "shared")], ""); // optional, unchecked: left out
    int status = 0;
    Q_CJSON made = c.send(net_op, c.calls.values, &status);
    ASSERT_EQ(status, 201);
    const cJSON *id_json = kvn_api_json_at(made.get(), "network.id");
    ASSERT_TRUE(cJSON_IsString(id_json));
    const std::string net_id = id_json->valuestring;

    // The subnet form lists the project's networks from the API, the new one
    // named with its id.
    c.calls = CALLS();
    ASSERT_EQ(kvn_gui_form_open(sub_op, nullptr, nullptr, on_done, 8, &c.calls), 0);
    ASSERT_EQ(kvn_gui_form_ids(sub_op, &ids), 0);
    const int network = c.field_index(sub_op, "network_id"), ipv = c.field_index(sub_op, "ip_version");
    const int entry = c.wait_entry(ids.input[network], net_name + "  (" + net_id + ")");
    ASSERT_GT(entry, 0) << q_gui_label_get_text(c.app.gui, ids.message);
    EXPECT_EQ(std::string(q_gui_combobox_get_item_text(c.app.gui, ids.input[network], 0)), "(none)");
    q_gui_combobox_set_selected(c.app.gui, ids.input[network], entry);
    c.type(ids.window, ids.input[c.field_index(sub_op, "name")], sub_name);
    c.type(ids.window, ids.input[c.field_index(sub_op, "cidr")], "10.77.3.0/24");

    // A refused value: the builder's words in the form, nothing sent.
    c.type(ids.window, ids.input[ipv], "four");
    c.click(ids.window, ids.ok);
    EXPECT_EQ(c.calls.count, 0);
    EXPECT_TRUE(q_gui_window_is_open(c.app.gui, ids.window));
    EXPECT_EQ(std::string(q_gui_label_get_text(c.app.gui, ids.message)), "IP version must be an integer");
    EXPECT_EQ(field("subnet list --network " + net_id + " -f value -c ID"), "");

    c.type(ids.window, ids.input[ipv], "4");
    c.click(ids.window, ids.ok);
    ASSERT_EQ(c.calls.count, 1) << q_gui_label_get_text(c.app.gui, ids.message);
    EXPECT_EQ(c.calls.values[network], net_id);
    EXPECT_EQ(c.calls.values[ipv], "4");
    Q_CJSON sub = c.send(sub_op, c.calls.values, &status);
    EXPECT_EQ(status, 201);
    EXPECT_EQ(field("subnet show " + sub_name + " -f value -c network_id"), net_id);
    EXPECT_EQ(field("subnet show " + sub_name + " -f value -c cidr"), "10.77.3.0/24");

    os_cli("subnet delete " + sub_name);
    os_cli("network delete " + net_id);
}
