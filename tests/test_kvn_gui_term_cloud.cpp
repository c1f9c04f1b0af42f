// labels: cloud display
// Consoles opened from the resource panel against the local cloud, as the
// demo user at log level 3: a server's serial console through real Nova (the
// token Nova handed out arrives at the cloud's console server, and Nova
// says whose it is), a shell typed into and read back, a full-screen program
// drawn and left; a container's attach and exec consoles through the
// container stand-in with the resizes it was sent. No console address, and
// so no console token, ever reaches the log.
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
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_gui_term.h"
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

struct CONSOLE_CLOUD {
    TEST_DIR dir;
    KVN_APP app;
    CONSOLE_CLOUD() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        q_httpc_global_init();
        q_log_set_sink(_sink, nullptr);
        set_log_level(3);
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
        kvn_gui_term_register();
        KVN_PROFILE p;
        test_cloud_profile("demo", &p);
        KVN_SESSION *s = kvn_session_new(&p);
        kvn_profile_wipe_secret(&p);
        if (kvn_session_authenticate(s, nullptr) != 0) {
            ADD_FAILURE() << "authentication of demo";
            kvn_session_free(&s);
            return;
        }
        app.session = s;
        app.session_generation++;
        kvn_app_connect_changed();
    }
    ~CONSOLE_CLOUD() {
        kvn_gui_term_shutdown();
        kvn_app_disconnect();
        kvn_jobs_shutdown();
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
    KVN_GUI_TERM_IDS ids() {
        KVN_GUI_TERM_IDS t;
        kvn_gui_term_ids(&t);
        return t;
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
    std::string label() { return q_gui_label_get_text(app.gui, ids().status); }
    std::string screen() {
        std::string all;
        for (int r = 0; r < ids().rows; r++) {
            char line[1300];
            kvn_gui_term_line(r, line, sizeof line);
            all += line;
            all += '\n';
        }
        return all;
    }
    double clock = 1;
    void click(int id, float dx, float dy) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        clock += 10;
        for (int type :
             {ALLEGRO_EVENT_MOUSE_AXES, ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ALLEGRO_EVENT_MOUSE_BUTTON_UP}) {
            ALLEGRO_EVENT ev =
                kvn_mouse_event(type, x + dx, y + dy, type == ALLEGRO_EVENT_MOUSE_AXES ? 0 : 1, clock);
            q_gui_process_event(app.gui, &ev);
        }
    }
    void type(const std::string &text) {
        for (char ch : text) {
            ALLEGRO_EVENT ev =
                kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ch == '\r' ? ALLEGRO_KEY_ENTER : 0, 0, ch);
            EXPECT_EQ(kvn_gui_term_key_event(&ev), 1);
        }
    }
    // Types a command into the console and waits for a line of its output.
    bool run(const std::string &command, const std::string &line) {
        type(command + "\r");
        return wait([&] { return screen().find("\n" + line + "\n") != std::string::npos; }, 60);
    }
};

std::string log_file(const std::string &name) {
    return test_read_file(cloud_dir() + "/log/" + name);
}

// The last value after "key=" in the text, up to a blank or the line end.
std::string last_value(const std::string &text, const std::string &key) {
    const size_t at = text.rfind(key + "=");
    if (at == std::string::npos) return "";
    const size_t from = at + key.size() + 1;
    return text.substr(from, text.find_first_of(" \n", from) - from);
}

} // namespace

TEST(ConsoleCloud, SerialConsoleOfAServerThroughNova) {
    const std::string name = unique("console-vm");
    const std::string image = field(
        "image show -f value -c id cirros-fake"); // the seeded image: other tests add and delete their own
    const std::string flavor = field("flavor list -f value -c ID --sort-column RAM --limit 1");
    // The cloud's own network: other tests make networks without subnets
    // in the same project, where a server cannot get an address.
    std::string network = field("network show -f value -c id private");
    std::string id = field("server create -f value -c id --wait --image " + image + " --flavor " + flavor +
                           " --network " + network + " " + quote(name));
    id = id.substr(id.find_last_of('\n') + 1);
    ASSERT_FALSE(id.empty()) << cloud_last_call().result.out;
    struct GONE {
        std::string id;
        ~GONE() { os_cli("server delete " + id); }
    } gone{id};

    CONSOLE_CLOUD m;
    ASSERT_NE(m.app.session, nullptr);
    const KVN_OP *serial = m.action("compute.server", "serial_console");
    ASSERT_NE(serial, nullptr);
    Q_CJSON item(cJSON_CreateObject());
    cJSON_AddStringToObject(item.get(), "id", id.c_str());
    cJSON_AddStringToObject(item.get(), "name", name.c_str());
    ASSERT_EQ(kvn_gui_resource_run(m.res("compute.server"), serial, item.get()), 0);
    ASSERT_TRUE(m.wait([&] { return m.ids().linked || m.label().rfind("connection failed", 0) == 0; }))
        << m.label();
    ASSERT_TRUE(m.ids().linked) << m.label();
    EXPECT_EQ(std::string(q_gui_get_window(m.app.gui, m.ids().window)->caption), "Serial console: " + name);

    // The token Nova put in the address is the one the console server got,
    // and Nova knows it as this server's.
    std::string token;
    ASSERT_TRUE(m.wait(
        [&] { return !(token = last_value(log_file("console-server.out"), "console token")).empty(); }, 30));
    {
        KVN_PROFILE p;
        test_cloud_profile("admin", &p);
        KVN_SESSION *admin = kvn_session_new(&p);
        kvn_profile_wipe_secret(&p);
        ASSERT_EQ(kvn_session_authenticate(admin, nullptr), 0);
        KVN_CALL_OPTS opts;
        memset(&opts, 0, sizeof opts);
        q_strcpy(opts.microversion, sizeof opts.microversion, "2.31");
        opts.has_microversion = 1;
        KVN_RESULT *r = kvn_session_call(
            admin, "compute", "GET", ("/os-console-auth-tokens/" + token).c_str(), nullptr, &opts, nullptr);
        const cJSON *uuid = kvn_api_json_at(r ? r->json : nullptr, "console.instance_uuid");
        EXPECT_TRUE(cJSON_IsString(uuid) && id == uuid->valuestring)
            << (r && r->text ? r->text : "no answer");
        kvn_result_free(&r);
        kvn_session_free(&admin);
    }
    // Never logged, at the most talkative level.
    {
        std::lock_guard<std::mutex> lock(g_log.mutex);
        EXPECT_EQ(g_log.text.find(token), std::string::npos);
        EXPECT_EQ(g_log.text.find("token="), std::string::npos);
    }

    m.click(m.ids().area, 30, 30);
    ASSERT_TRUE(m.run("echo hel''lo", "hello")) << m.screen();
    // A full-screen program takes the screen and gives it back.
    m.type("less /etc/os-release\r");
    ASSERT_TRUE(m.wait([&] { return m.screen().find("PRETTY_NAME") != std::string::npos; }, 60))
        << m.screen();
    m.type("q");
    ASSERT_TRUE(m.run("echo back''again", "backagain")) << m.screen();

    // Detach and open again: a new token, a new shell.
    m.click(m.ids().detach, 10, 10);
    m.frame();
    EXPECT_FALSE(kvn_gui_term_is_open());
    ASSERT_EQ(kvn_gui_resource_run(m.res("compute.server"), serial, item.get()), 0);
    ASSERT_TRUE(m.wait([&] { return m.ids().linked; })) << m.label();
    EXPECT_NE(last_value(log_file("console-server.out"), "console token"), token);
}

TEST(ConsoleCloud, ContainerAttachAndExecThroughTheStandIn) {
    CONSOLE_CLOUD m;
    ASSERT_NE(m.app.session, nullptr);
    if (!kvn_session_has_service(m.app.session, "container")) GTEST_SKIP() << "no container service";
    // The container the stand-in lists.
    KVN_CALL_OPTS opts;
    memset(&opts, 0, sizeof opts);
    KVN_RESULT *r =
        kvn_session_call(m.app.session, "container", "GET", "/containers", nullptr, &opts, nullptr);
    ASSERT_TRUE(kvn_result_ok(r));
    const cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItem(r->json, "containers"), 0);
    ASSERT_NE(first, nullptr);
    Q_CJSON item(cJSON_Duplicate(first, 1));
    kvn_result_free(&r);
    const std::string uuid = cJSON_GetObjectItem(item.get(), "uuid")->valuestring;

    const size_t before = log_file("container-standin.out").size();
    ASSERT_EQ(kvn_gui_resource_run(m.res("container.container"), m.action("container.container", "attach"),
                                   item.get()),
              0);
    ASSERT_TRUE(m.wait([&] { return m.ids().linked; })) << m.label();
    // The size was set when connecting, and once more 0.4 s after the
    // window last changed, not at every step of the change.
    const KVN_GUI_TERM_IDS ids = m.ids();
    Q_GUI_WINDOW *w = q_gui_get_window(m.app.gui, ids.window);
    for (int step = 1; step <= 5; step++) {
        q_gui_window_set_rect(m.app.gui, ids.window, w->x, w->y, w->w - 30, w->h - 20);
        m.frame();
    }
    const int cols = m.ids().columns, rows = m.ids().rows;
    const std::string want =
        "resize " + uuid + " exec_id= w=" + std::to_string(cols) + " h=" + std::to_string(rows);
    ASSERT_TRUE(
        m.wait([&] { return log_file("container-standin.out").find(want, before) != std::string::npos; }, 30))
        << log_file("container-standin.out").substr(before);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    m.frame();
    const std::string calls = log_file("container-standin.out").substr(before);
    size_t resizes = 0;
    for (size_t at = calls.find("\nresize "); at != std::string::npos; at = calls.find("\nresize ", at + 1))
        resizes++;
    EXPECT_EQ(resizes + (calls.rfind("resize ", 0) == 0), 2u) << calls;
    m.click(m.ids().area, 30, 30);
    ASSERT_TRUE(m.run("echo at''tached", "attached")) << m.screen();

    // Exec: the form asks for the command; an empty one is refused there.
    const KVN_OP *exec = m.action("container.container", "exec");
    ASSERT_EQ(kvn_gui_resource_run(m.res("container.container"), exec, item.get()), 0);
    m.frame();
    KVN_FORM_IDS form;
    ASSERT_EQ(kvn_gui_form_ids(kvn_gui_term_exec_op(), &form), 0);
    ASSERT_TRUE(q_gui_window_is_open(m.app.gui, form.window));
    EXPECT_EQ(std::string(q_gui_textarea_get_text(m.app.gui, form.input[0])), "/bin/sh");
    q_gui_textarea_set_text(m.app.gui, form.input[0], "  ");
    m.click(form.ok, 10, 10);
    m.frame();
    ASSERT_EQ(kvn_gui_form_ids(kvn_gui_term_exec_op(), &form), 0);
    EXPECT_TRUE(q_gui_window_is_open(m.app.gui, form.window));
    EXPECT_EQ(std::string(q_gui_label_get_text(m.app.gui, form.message)), "enter the command to run");
    q_gui_textarea_set_text(m.app.gui, form.input[0], "/bin/bash -i");
    m.click(form.ok, 10, 10);
    ASSERT_TRUE(m.wait([&] { return m.ids().linked && m.ids().exec_id[0]; })) << m.label();
    const std::string exec_id = m.ids().exec_id;
    const std::string log = log_file("container-standin.out").substr(before);
    EXPECT_NE(log.find("execute " + uuid + " run=false interactive=true command=/bin/bash -i"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("execute_resize " + uuid + " exec_id=" + exec_id + " w="), std::string::npos) << log;
    m.click(m.ids().area, 30, 30);
    ASSERT_TRUE(m.run("echo ex''eced", "execed")) << m.screen();
    std::lock_guard<std::mutex> lock(g_log.mutex);
    EXPECT_EQ(g_log.text.find("token="), std::string::npos);
}
