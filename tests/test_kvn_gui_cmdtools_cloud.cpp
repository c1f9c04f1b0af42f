// labels: cloud display
// The command tools in the real main window against the local cloud, as the
// demo user (the OAuth1 steps as admin, whom Keystone's policy asks for) at
// the debug log level (-v 3): the command list searched and its choice run,
// the token window (whose token never reaches the log), the ssh lines of a
// server on the cloud's network, the OAuth1 delegation through Keystone, and
// the configuration report.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_cloud_test.h"
#include "kvn_config.h"
#include "kvn_gui_cmdtools.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_gui_tools.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"
#include "q_log.h"

namespace {

struct LOG_CAPTURE {
    std::mutex mutex;
    std::string text;
};
LOG_CAPTURE g_log;

void _sink(const char *line, void *) {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    g_log.text += line;
}

struct TOOLS_CLOUD {
    TEST_DIR dir;
    KVN_APP app;
    explicit TOOLS_CLOUD(const char *who = "demo") {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        q_httpc_global_init();
        q_log_set_sink(_sink, nullptr);
        set_log_level(Q_LOG_DEBUG); // what -v 3 sets
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
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
        kvn_gui_tools_register();
        kvn_cmdtools_register();
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
    ~TOOLS_CLOUD() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_cmdtools_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        kvn_gui_form_destroy_all();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        q_log_set_sink(nullptr, nullptr);
        set_log_level(1);
        unsetenv("KVN_HOME");
    }
    const KVN_RESOURCE *res(const char *key) { return kvn_api_lookup(app.api, key); }
    const KVN_OP *action(const char *key, const char *id) {
        const KVN_RESOURCE *r = res(key);
        for (int i = 0; r && i < r->action_count; i++)
            if (!strcmp(r->actions[i]->id, id)) return r->actions[i];
        return nullptr;
    }
    void frame() {
        kvn_jobs_deliver();
        kvn_gui_main_tick();
        al_set_target_backbuffer(g_display);
        q_gui_draw(app.gui);
    }
    template <class F> bool wait(F done, int seconds = 120) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            frame();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    double clock = 1;
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
    void type(const char *text) {
        for (const char *c = text; *c; c++) {
            ALLEGRO_EVENT ev = kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, *c);
            q_gui_process_event(app.gui, &ev);
        }
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
    std::string log() {
        std::lock_guard<std::mutex> lock(g_log.mutex);
        return g_log.text;
    }
};

// The value after "label" up to the line's end in a report.
std::string line_value(const std::string &text, const std::string &label) {
    const size_t at = text.find("\n" + label);
    if (at == std::string::npos) return "";
    const size_t from = at + 1 + label.size();
    return text.substr(from, text.find('\n', from) - from);
}

} // namespace

TEST(CmdToolsCloud, CommandListSearchOpensAndRuns) {
    TOOLS_CLOUD m;
    ASSERT_NE(m.app.session, nullptr);
    const KVN_OP *list_op = m.action("identity.catalog", "command_list");
    ASSERT_NE(list_op, nullptr);
    ASSERT_EQ(kvn_gui_resource_run(m.res("identity.catalog"), list_op, nullptr), 0);
    KVN_CMDTOOLS_IDS ids;
    kvn_cmdtools_ids(&ids);
    ASSERT_TRUE(q_gui_window_is_open(m.app.gui, ids.list_window));
    m.type("keypair list");
    ASSERT_EQ(q_gui_datagrid_row_count(m.app.gui, ids.list_grid), 1);
    EXPECT_STREQ(q_gui_datagrid_get_cell(m.app.gui, ids.list_grid, 0, 0), "openstack keypair list");
    q_gui_datagrid_set_selected_row(m.app.gui, ids.list_grid, 0);
    q_gui_window_set_rect(m.app.gui, ids.list_window, 10, 10, 700, 500);
    kvn_gui_layout_tick();
    m.frame();
    m.click(ids.list_open);
    EXPECT_FALSE(q_gui_window_is_open(m.app.gui, ids.list_window));
    // The view lists what the client lists.
    const KVN_RESOURCE *keypairs = m.res("compute.keypair");
    KVN_RES_IDS r;
    ASSERT_TRUE(m.wait([&] { return kvn_gui_resource_ids(keypairs, &r) == 0 && r.loaded && !r.loading; }));
    CLOUD_RESULT cli = os_cli("keypair list -f value -c Name");
    ASSERT_EQ(cli.code, 0) << cli.out;
    const int want = cli.out.empty() ? 0 : (int)std::count(cli.out.begin(), cli.out.end(), '\n') + 1;
    EXPECT_EQ(r.item_count, want) << cli.out;

    // A create command opens the create form of that resource.
    kvn_gui_cmdlist_open();
    q_gui_textarea_set_text(m.app.gui, ids.list_filter, "");
    m.type("openstack keypair create");
    ASSERT_EQ(q_gui_datagrid_row_count(m.app.gui, ids.list_grid), 1);
    q_gui_datagrid_set_selected_row(m.app.gui, ids.list_grid, 0);
    q_gui_window_set_rect(m.app.gui, ids.list_window, 10, 10, 700, 500);
    kvn_gui_layout_tick();
    m.frame();
    m.click(ids.list_open);
    KVN_FORM_IDS f;
    ASSERT_EQ(kvn_gui_form_ids(keypairs->create, &f), 0);
    EXPECT_TRUE(q_gui_window_is_open(m.app.gui, f.window));
}

TEST(CmdToolsCloud, TokenIsShownOnceAndNeverLogged) {
    TOOLS_CLOUD m;
    ASSERT_NE(m.app.session, nullptr);
    const KVN_OP *op = m.action("identity.catalog", "token_issue");
    ASSERT_NE(op, nullptr);
    ASSERT_EQ(kvn_gui_resource_run(m.res("identity.catalog"), op, nullptr), 0);
    EXPECT_EQ(m.result_title(), "openstack token issue (secret)");
    const std::string text = m.result_text();
    char token[KVN_TOKEN_MAX];
    ASSERT_EQ(kvn_session_token(m.app.session, token, sizeof token), 0);
    const std::string shown = line_value(text, "id         ");
    EXPECT_EQ(shown, token);
    ASSERT_GT(shown.size(), 20u);
    q_secure_zero(token, sizeof token);
    EXPECT_EQ(line_value(text, "project_id "), field("token issue -f value -c project_id"));
    EXPECT_EQ(line_value(text, "user_id    "), field("token issue -f value -c user_id"));
    EXPECT_NE(line_value(text, "roles      ").find("member"), std::string::npos) << text;
    const std::string expires = line_value(text, "expires    ");
    EXPECT_EQ(expires.size(), 20u) << expires;
    EXPECT_EQ(expires.back(), 'Z');
    EXPECT_EQ(m.log().find(shown), std::string::npos);
    EXPECT_NE(m.log().find("DEBUG"), std::string::npos); // the log did run at level 3
}

TEST(CmdToolsCloud, SshLinesOfAServerOnThePrivateNetwork) {
    const std::string name = unique("ssh-vm");
    const std::string image = field(
        "image show -f value -c id cirros-fake"); // the seeded image: other tests add and delete their own
    const std::string flavor = field("flavor list -f value -c ID --sort-column RAM --limit 1");
    const std::string network = field("network show -f value -c id private");
    std::string id = field("server create -f value -c id --wait --image " + image + " --flavor " + flavor +
                           " --network " + network + " --key-name " + quote("demo-key") + " " + quote(name));
    if (id.empty()) // the key pair is optional: without it the line has no -i
        id = field("server create -f value -c id --wait --image " + image + " --flavor " + flavor +
                   " --network " + network + " " + quote(name));
    id = id.substr(id.find_last_of('\n') + 1);
    ASSERT_FALSE(id.empty()) << cloud_last_call().result.out;
    struct GONE {
        std::string id;
        ~GONE() { os_cli("server delete " + id); }
    } gone{id};
    const std::string key = field("server show -f value -c key_name " + id);
    const std::string address = field("server show -f json -c addresses " + id);

    TOOLS_CLOUD m;
    ASSERT_NE(m.app.session, nullptr);
    // The item as the panel holds it: the server's detail.
    KVN_RESULT *r =
        kvn_call(m.app.session, "compute", "GET", ("/servers/" + id).c_str(), nullptr, nullptr, nullptr);
    ASSERT_TRUE(kvn_result_ok(r)) << r->error;
    const cJSON *server = cJSON_GetObjectItemCaseSensitive(r->json, "server");
    ASSERT_EQ(kvn_gui_resource_run(m.res("compute.server"), m.action("compute.server", "ssh"), server), 0);
    kvn_result_free(&r);
    const std::string text = m.result_text();
    EXPECT_EQ(m.result_title(), "openstack server ssh");
    EXPECT_EQ(text.rfind("SSH to " + name + "\n\nReplace <user> with the image login", 0), 0u) << text;
    // Every fixed address of the client's listing has its line.
    Q_CJSON addresses(cJSON_Parse(address.c_str()));
    const cJSON *nets = cJSON_GetObjectItemCaseSensitive(addresses.get(), "addresses");
    ASSERT_TRUE(cJSON_IsObject(nets)) << address;
    int lines = 0;
    const cJSON *net;
    cJSON_ArrayForEach(net, nets) {
        const cJSON *a;
        cJSON_ArrayForEach(a, net) {
            if (!cJSON_IsString(a)) continue;
            const std::string ip = a->valuestring;
            const std::string opt = key.empty() || key == "None" ? "" : "-i ~/.ssh/" + key + " ";
            const std::string want = "ssh " + opt + "<user>@" + ip + "    # " + net->string +
                                     (ip.find(':') != std::string::npos ? ", IPv6" : "") + "\n";
            EXPECT_NE(text.find(want), std::string::npos) << want << text;
            lines++;
        }
    }
    EXPECT_GT(lines, 0) << address;
}

TEST(CmdToolsCloud, OAuth1DelegationThroughKeystone) {
    CLOUD_RESULT consumer =
        os_cli("consumer create -f value -c id -c secret --description kvn-cmdtools", "admin");
    ASSERT_EQ(consumer.code, 0) << consumer.out;
    const std::string key = consumer.out.substr(0, consumer.out.find('\n'));
    const std::string secret = consumer.out.substr(consumer.out.find('\n') + 1);
    struct GONE {
        std::string id;
        ~GONE() { os_cli("consumer delete " + id, "admin"); }
    } gone{key};

    // Keystone's policy lets only an admin authorize a request token.
    TOOLS_CLOUD m("admin");
    ASSERT_NE(m.app.session, nullptr);
    KVN_SESSION_INFO info;
    kvn_session_info(m.app.session, &info);
    // The form comes from the descriptor's "request_token" operation.
    const KVN_OP *request = m.action("identity.auth", "request_token");
    if (request) {
        ASSERT_EQ(kvn_gui_resource_run(m.res("identity.auth"), request, nullptr), 0);
        KVN_FORM_IDS f;
        ASSERT_EQ(kvn_gui_form_ids(kvn_cmdtools_form_op(5), &f), 0);
        EXPECT_TRUE(q_gui_window_is_open(m.app.gui, f.window));
        q_gui_close_window(m.app.gui, f.window);
    }
    const char *req_values[3] = {key.c_str(), secret.c_str(), info.project_id};
    ASSERT_EQ(kvn_cmdtools_form_run(5, req_values, 3), 0);
    ASSERT_TRUE(m.wait([&] {
        return m.result_text() != "(closed)" || m.app.status_kind == KVN_STATUS_ERROR;
    })) << m.app.status_text;
    std::string text = m.result_text();
    EXPECT_EQ(m.result_title(), "openstack request token create (secret)") << m.app.status_text;
    const std::string request_key = line_value(text, "key      ");
    const std::string request_secret = line_value(text, "secret   ");
    ASSERT_FALSE(request_key.empty()) << text;
    ASSERT_FALSE(request_secret.empty()) << text;
    EXPECT_NE(line_value(text, "expires  "), "-");

    // Authorized as the descriptor's "Authorize" operation does.
    Q_CJSON body(cJSON_Parse(R"({"roles": [{"name": "admin"}]})"));
    KVN_RESULT *auth =
        kvn_call(m.app.session, "identity", "PUT", ("/OS-OAUTH1/authorize/" + request_key).c_str(),
                 body.get(), nullptr, nullptr);
    ASSERT_TRUE(kvn_result_ok(auth)) << auth->error;
    const cJSON *v = kvn_api_json_at(auth->json, "token.oauth_verifier");
    const std::string verifier = cJSON_IsString(v) ? v->valuestring : "";
    kvn_result_free(&auth);
    ASSERT_FALSE(verifier.empty());
    KVN_GUI_DIALOG_IDS d;
    kvn_gui_dialogs_ids(&d);
    q_gui_close_window(m.app.gui, d.result_window);
    const char *access_values[5] = {key.c_str(), secret.c_str(), request_key.c_str(), request_secret.c_str(),
                                    verifier.c_str()};
    ASSERT_EQ(kvn_cmdtools_form_run(6, access_values, 5), 0);
    ASSERT_TRUE(m.wait([&] {
        return m.result_text() != "(closed)" || m.app.status_kind == KVN_STATUS_ERROR;
    })) << m.app.status_text;
    text = m.result_text();
    EXPECT_EQ(m.result_title(), "openstack access token create (secret)") << m.app.status_text;
    EXPECT_EQ(text.rfind("Access token (the secret is shown only now)\n\nkey      ", 0), 0u) << text;
    EXPECT_NE(text.find("\n\nThe consumer can now get a Keystone token with this access token."),
              std::string::npos);
    // Neither secret reached the log.
    EXPECT_EQ(m.log().find(secret), std::string::npos);
    EXPECT_EQ(m.log().find(request_secret), std::string::npos);
    EXPECT_EQ(m.log().find(line_value(text, "secret   ")), std::string::npos);
}

TEST(CmdToolsCloud, ConfigurationReport) {
    TOOLS_CLOUD m;
    ASSERT_NE(m.app.session, nullptr);
    const KVN_OP *op = m.action("identity.catalog", "configuration_show");
    ASSERT_NE(op, nullptr);
    ASSERT_EQ(kvn_gui_resource_run(m.res("identity.catalog"), op, nullptr), 0);
    EXPECT_EQ(m.result_title(), "openstack configuration show");
    const std::string text = m.result_text();
    const std::string project = field("token issue -f value -c project_id");
    EXPECT_NE(text.find("\n  project              demo (" + project + ")\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n  secret               <set, not shown>\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n  auth_type            password\n"), std::string::npos) << text;
    // Every endpoint of the client's catalog has its line.
    CLOUD_RESULT cli = os_cli("endpoint list --interface public -f value -c 'Service Type' -c URL", "admin");
    ASSERT_EQ(cli.code, 0) << cli.out;
    const size_t sp = cli.out.find(' ');
    ASSERT_NE(sp, std::string::npos);
    EXPECT_NE(text.find(cli.out.substr(sp + 1, cli.out.find('\n') - sp - 1)), std::string::npos) << text;
    EXPECT_NE(text.find("\nMicroversions\n"), std::string::npos);
}
