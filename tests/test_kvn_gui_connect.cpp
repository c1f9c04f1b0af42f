// labels: gui
// The connect dialog on a real display, driven by clicks and keys: the form
// and what Save writes, the profile list (200 profiles, a corrupt file), the
// sealed secret and the master password, Delete, the three imports, and the
// connections that fail before or at Keystone (no URL, no scheme, nobody
// listening, an HTML page), with the typed secrets never logged and wiped
// when the dialog closes.
#include <gtest/gtest.h>

#include <cJSON.h>

#include "kvn_profile.h"
#include "kvn_test_connect.h"
#include "kvn_test_net.h"
#include "q_common.h"
#include "q_log.h"

namespace {
std::string json_str(const std::string &text, const char *key) {
    Q_CJSON root(cJSON_Parse(text.c_str()));
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(root.get(), key);
    return cJSON_IsString(v) ? v->valuestring : "<absent>";
}

void write_profile(const std::string &name, const std::string &url) {
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.name, sizeof p.name, name.c_str());
    q_strcpy(p.auth_url, sizeof p.auth_url, url.c_str());
    q_strcpy(p.username, sizeof p.username, "user");
    ASSERT_EQ(kvn_profile_save(&p), 0);
}

} // namespace

TEST(ConnectDialog, FormFieldsMethodsAndWhatSaveWrites) {
    CONNECT_APP a;
    const KVN_GUI_CONNECT_IDS &ids = a.open();
    ASSERT_GE(ids.window, 0);
    EXPECT_TRUE(a.is_open(ids.window));
    EXPECT_STREQ(q_gui_get_window(a.ctx(), ids.window)->title, "Connect to an OpenStack cloud");
    EXPECT_EQ(a.message(), "new profile: fill the fields then Save or Connect");

    // The method decides which rows show and what the secret is called.
    struct {
        int method;
        bool user_rows, cred_rows;
        const char *secret;
    } methods[] = {
        {1, false, true, "Credential secret"}, {2, false, false, "Token"}, {0, true, false, "Password"}};
    for (const auto &m : methods) {
        a.method(m.method);
        EXPECT_EQ(a.visible(ids.username), m.user_rows) << m.method;
        EXPECT_EQ(a.visible(ids.user_domain_label), m.user_rows) << m.method;
        EXPECT_EQ(a.visible(ids.cred_id), m.cred_rows) << m.method;
        EXPECT_EQ(a.visible(ids.cred_name_label), m.cred_rows) << m.method;
        EXPECT_STREQ(q_gui_label_get_text(a.ctx(), ids.secret_label), m.secret);
    }

    // Field widths: a username can hold 255 characters, no more.
    a.type(ids.username, std::string(300, 'u'));
    EXPECT_EQ(a.text(ids.username).size(), 255u);

    // An invalid name is refused before anything is written.
    a.set(ids.name, "../evil");
    a.click(ids.save);
    EXPECT_EQ(a.message(), "invalid profile name (letters, digits, - _ . and spaces)");
    EXPECT_EQ(a.status(), a.message());
    EXPECT_EQ(a.app.status_kind, KVN_STATUS_ERROR);

    // Domains: 32 lowercase hex digits are an id; one uppercase letter makes
    // it a name; an empty field keeps "Default", as its placeholder says.
    const std::string hex = "0123456789abcdef0123456789abcdef";
    std::string upper = hex;
    upper[10] = 'A';
    a.set(ids.name, "lab cloud");
    a.set(ids.auth_url, "https://keystone.lab:5000/v3");
    a.set(ids.username, "alice");
    a.set(ids.user_domain, hex);
    a.set(ids.project_domain, upper);
    a.set(ids.project_name, "web");
    a.set(ids.region, "RegionTwo");
    q_gui_combobox_set_selected(a.ctx(), ids.interface, 1);
    a.set(ids.ca_file, "/etc/ssl/lab.pem");
    q_gui_checkbox_set_checked(a.ctx(), ids.insecure, 1);
    a.set(ids.secret, "never-written");
    a.click(ids.save);
    EXPECT_EQ(a.message(), "profile lab cloud saved");
    const std::string file = test_read_file(a.profile_file("lab cloud"));
    EXPECT_EQ(json_str(file, "user_domain_id"), hex);
    EXPECT_EQ(json_str(file, "user_domain_name"), "<absent>");
    EXPECT_EQ(json_str(file, "project_domain_name"), upper);
    EXPECT_EQ(json_str(file, "project_domain_id"), "<absent>");
    EXPECT_EQ(json_str(file, "interface"), "internal");
    EXPECT_EQ(json_str(file, "region"), "RegionTwo");
    EXPECT_EQ(json_str(file, "ca_file"), "/etc/ssl/lab.pem");
    EXPECT_EQ(file.find("never-written"), std::string::npos) << "an unstored secret never reaches the file";
    EXPECT_EQ(q_gui_listbox_count(a.ctx(), ids.list), 1);
    EXPECT_EQ(q_gui_listbox_get_selected(a.ctx(), ids.list), 0);

    a.set(ids.user_domain, "");
    a.click(ids.save);
    EXPECT_EQ(json_str(test_read_file(a.profile_file("lab cloud")), "user_domain_name"), "Default");

    // New clears the form; loading the profile shows the id in the domain field.
    a.click(ids.new_btn);
    EXPECT_EQ(a.text(ids.auth_url), "");
    EXPECT_EQ(a.message(), "new profile: fill the fields then Save or Connect");
    a.click_row(ids.list, 0);
    EXPECT_EQ(a.message(), "profile lab cloud loaded");
    EXPECT_EQ(a.text(ids.project_domain), upper);
    EXPECT_EQ(a.text(ids.auth_url), "https://keystone.lab:5000/v3");
    EXPECT_EQ(q_gui_combobox_get_selected(a.ctx(), ids.interface), 1);
    EXPECT_TRUE(q_gui_checkbox_is_checked(a.ctx(), ids.insecure));

    // Grown by the user: the list takes the height, the inputs the width, the
    // buttons keep to the edges, the form's rows stay together.
    auto rect = [&](int id) { return *q_gui_get_widget(a.ctx(), id); };
    const Q_GUI_WIDGET list0 = rect(ids.list), ca0 = rect(ids.ca_file), close0 = rect(ids.close),
                       store0 = rect(ids.store), unlock0 = rect(ids.unlock);
    const Q_GUI_WINDOW *w = q_gui_get_window(a.ctx(), ids.window);
    q_gui_window_set_rect(a.ctx(), ids.window, 10, 10, w->w + 300, w->h + 100);
    kvn_gui_layout_tick();
    EXPECT_FLOAT_EQ(rect(ids.list).h, list0.h + 100);
    EXPECT_FLOAT_EQ(rect(ids.ca_file).w, ca0.w + 300);
    EXPECT_FLOAT_EQ(rect(ids.unlock).x, unlock0.x + 300);
    EXPECT_FLOAT_EQ(rect(ids.close).x, close0.x + 300);
    EXPECT_FLOAT_EQ(rect(ids.close).y, close0.y + 100);
    EXPECT_FLOAT_EQ(rect(ids.store).y, store0.y);
}

TEST(ConnectDialog, ListsTwoHundredProfilesAndNamesACorruptOne) {
    CONNECT_APP a;
    for (int i = 0; i < 200; i++) {
        char name[32];
        q_format(name, sizeof name, "cloud-%03d", i);
        write_profile(name, std::string("https://k") + std::to_string(i) + ".example:5000/v3");
    }
    test_write_file(a.profile_file("broken"), "{\"name\": \"broken\", \"auth_url\": ");
    q_strcpy(a.app.config.last_profile, sizeof a.app.config.last_profile, "cloud-150");

    const KVN_GUI_CONNECT_IDS &ids = a.open();
    ASSERT_EQ(q_gui_listbox_count(a.ctx(), ids.list), 201);
    // The last profile used is selected, loaded and named.
    EXPECT_EQ(q_gui_listbox_get_item_text(a.ctx(), ids.list, q_gui_listbox_get_selected(a.ctx(), ids.list)),
              std::string("cloud-150"));
    EXPECT_EQ(a.message(), "profile cloud-150");
    EXPECT_EQ(a.text(ids.auth_url), "https://k150.example:5000/v3");

    // The corrupt file is named in one line; the form keeps what it showed.
    a.click_row(ids.list, 0);
    EXPECT_EQ(a.message(), "cannot load profile broken");
    EXPECT_EQ(a.status(), "cannot load profile broken");
    EXPECT_EQ(a.text(ids.auth_url), "https://k150.example:5000/v3");

    // The very last of the others still loads.
    a.click_row(ids.list, 200);
    EXPECT_EQ(a.message(), "profile cloud-199 loaded");
    EXPECT_EQ(a.text(ids.auth_url), "https://k199.example:5000/v3");
}

// The profile list follows the keyboard as any list does: Down and Up move
// the selection one row and load that profile into the form, a corrupt row
// passed on the way is named, and the ends of the list stop the selection.
TEST(ConnectDialog, ArrowKeysInTheProfileListLoadEachProfile) {
    CONNECT_APP a;
    write_profile("alpha", "https://alpha.example:5000/v3");
    test_write_file(a.profile_file("beta"), "{\"name\": \"beta\", \"auth_url\": ");
    write_profile("gamma", "https://gamma.example:5000/v3");
    const KVN_GUI_CONNECT_IDS &ids = a.open();
    ASSERT_EQ(q_gui_listbox_count(a.ctx(), ids.list), 3);
    a.click_row(ids.list, 0);
    ASSERT_EQ(a.text(ids.auth_url), "https://alpha.example:5000/v3");
    auto key = [&](int code) {
        a.feed(kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, code, 0, 0));
        a.feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, code, 0, 0));
        a.feed(kvn_key_event(ALLEGRO_EVENT_KEY_UP, code, 0, 0));
    };
    auto selected = [&] {
        const int i = q_gui_listbox_get_selected(a.ctx(), ids.list);
        return i < 0 ? std::string("<none>") : std::string(q_gui_listbox_get_item_text(a.ctx(), ids.list, i));
    };
    key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(selected(), "beta");
    EXPECT_EQ(a.message(), "cannot load profile beta");
    key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(selected(), "gamma");
    EXPECT_EQ(a.message(), "profile gamma loaded");
    EXPECT_EQ(a.text(ids.name), "gamma");
    EXPECT_EQ(a.text(ids.auth_url), "https://gamma.example:5000/v3");
    key(ALLEGRO_KEY_DOWN); // the last row stays
    EXPECT_EQ(selected(), "gamma");
    key(ALLEGRO_KEY_UP);
    key(ALLEGRO_KEY_UP);
    EXPECT_EQ(selected(), "alpha");
    EXPECT_EQ(a.message(), "profile alpha loaded");
    EXPECT_EQ(a.text(ids.name), "alpha");
    EXPECT_EQ(a.text(ids.auth_url), "https://alpha.example:5000/v3");
    key(ALLEGRO_KEY_UP); // and so does the first
    EXPECT_EQ(selected(), "alpha");
}

TEST(ConnectDialog, StoredSecretNeedsTheRightMasterPassword) {
    CONNECT_APP a;
    const KVN_GUI_CONNECT_IDS *ids = &a.open();
    a.set(ids->name, "vaulted");
    a.set(ids->auth_url, "http://127.0.0.1:9/v3");
    a.set(ids->username, "alice");
    a.set(ids->secret, "s3cret-pw");
    q_gui_checkbox_set_checked(a.ctx(), ids->store, 1);
    a.click(ids->save);
    EXPECT_EQ(a.message(), "type a master password to store the secret encrypted");
    EXPECT_FALSE(test_exists(a.profile_file("vaulted")));
    a.type(ids->master, "master-1");
    a.click(ids->save);
    ASSERT_EQ(a.message(), "profile vaulted saved");
    const std::string sealed = test_read_file(a.profile_file("vaulted"));
    EXPECT_EQ(json_str(sealed, "vault").rfind("v1:", 0), 0u);
    EXPECT_EQ(sealed.find("s3cret-pw"), std::string::npos);

    // A restart: the profile comes back without its secret, with the hint.
    a.rebuild();
    ids = &a.open();
    a.click_row(ids->list, 0);
    EXPECT_EQ(a.message(), "profile vaulted loaded (secret stored: type the master password, then Unlock)");
    EXPECT_EQ(a.text(ids->secret), "");
    a.click(ids->unlock);
    EXPECT_EQ(a.message(), "type the master password first");

    // A wrong master password: the vault's message, the secret stays sealed
    // and the file untouched, by Unlock and by Connect alike.
    a.type(ids->master, "master-2");
    a.click(ids->unlock);
    EXPECT_EQ(a.message(), "wrong master password: the stored secret cannot be decrypted");
    EXPECT_EQ(a.app.status_kind, KVN_STATUS_ERROR);
    EXPECT_EQ(a.text(ids->secret), "");
    a.click(ids->connect);
    EXPECT_EQ(a.message(), "wrong master password: the stored secret cannot be decrypted");
    EXPECT_FALSE(kvn_gui_connect_in_progress());
    EXPECT_EQ(test_read_file(a.profile_file("vaulted")), sealed);

    // The right one restores it.
    a.set(ids->master, "master-1");
    a.click(ids->unlock);
    EXPECT_EQ(a.message(), "stored secret restored");
    EXPECT_EQ(a.text(ids->secret), "s3cret-pw");

    // Saving with the box checked and the secret emptied keeps the stored one;
    // unchecked, the stored secret goes.
    a.set(ids->secret, "");
    a.set(ids->master, "");
    a.click(ids->save);
    EXPECT_EQ(json_str(test_read_file(a.profile_file("vaulted")), "vault"), json_str(sealed, "vault"));
    q_gui_checkbox_set_checked(a.ctx(), ids->store, 0);
    a.click(ids->save);
    EXPECT_EQ(json_str(test_read_file(a.profile_file("vaulted")), "vault"), "<absent>");
}

TEST(ConnectDialog, DeleteAsksThenRemovesTheFile) {
    CONNECT_APP a;
    write_profile("old", "https://old.example/v3");
    write_profile("keep", "https://keep.example/v3");
    const KVN_GUI_CONNECT_IDS &ids = a.open();
    a.click_row(ids.list, 1);
    ASSERT_EQ(a.message(), "profile old loaded");
    a.click(ids.delete_btn);
    KVN_GUI_DIALOG_IDS d;
    kvn_gui_dialogs_ids(&d);
    ASSERT_TRUE(a.is_open(d.confirm_window));
    EXPECT_STREQ(q_gui_label_get_text(a.ctx(), d.confirm_first), "Delete the profile 'old'?");
    EXPECT_STREQ(q_gui_label_get_text(a.ctx(), d.confirm_second),
                 "The stored secret, if any, is deleted too.");
    a.click(d.confirm_no);
    EXPECT_TRUE(test_exists(a.profile_file("old")));

    a.click(ids.delete_btn);
    a.click(d.confirm_yes);
    EXPECT_FALSE(test_exists(a.profile_file("old")));
    EXPECT_TRUE(test_exists(a.profile_file("keep")));
    EXPECT_EQ(a.message(), "new profile: fill the fields then Save or Connect");
    EXPECT_EQ(a.text(ids.auth_url), "");
    EXPECT_EQ(q_gui_listbox_count(a.ctx(), ids.list), 1);
}

TEST(ConnectDialog, ImportsOpenrcCloudsYamlAndTheEnvironment) {
    CONNECT_APP a;
    CLEAN_ENV env;
    TEST_DIR files;
    const KVN_GUI_CONNECT_IDS &ids = a.open();

    // openrc: no project name, so the file's base name, cleaned, names it.
    const std::string rc = files.file("my project.sh");
    test_write_file(rc, "export OS_AUTH_URL=https://rc.example:5000/v3\nexport OS_USERNAME=bob\n"
                        "export OS_USER_DOMAIN_NAME=Users\n");
    a.click(ids.import_openrc);
    EXPECT_EQ(a.chooser_title(), "Import openrc file");
    a.choose(rc);
    EXPECT_EQ(a.message(),
              "imported 3 variables from my project.sh: type the password, then Save or Connect");
    EXPECT_EQ(a.text(ids.name), "my_project.sh");
    EXPECT_EQ(a.text(ids.username), "bob");
    EXPECT_EQ(a.text(ids.user_domain), "Users");
    const std::string empty_rc = files.file("empty.sh");
    test_write_file(empty_rc, "# nothing\nexport PATH=/bin\n");
    a.click(ids.import_openrc);
    a.choose(empty_rc);
    EXPECT_EQ(a.message(), "no OS_* variable found in empty.sh");
    EXPECT_EQ(a.text(ids.name), "my_project.sh") << "a failed import changes nothing";

    // clouds.yaml with one cloud: imported at once, secret from secure.yaml.
    TEST_DIR one;
    test_write_file(one.file("clouds.yaml"),
                    "clouds:\n  lab:\n    auth:\n      auth_url: https://lab:5000/v3\n"
                    "      username: carol\n      project_name: p1\n    region_name: R1\n");
    test_write_file(one.file("secure.yaml"), "clouds:\n  lab:\n    auth:\n      password: from-secure\n");
    a.click(ids.import_clouds);
    EXPECT_EQ(a.chooser_title(), "Import clouds.yaml");
    a.choose(one.file("clouds.yaml"));
    EXPECT_EQ(a.message(), "imported cloud lab (5 settings)");
    EXPECT_FALSE(a.is_open(a.refresh().clouds_window));
    EXPECT_EQ(a.text(ids.secret), "from-secure");
    EXPECT_EQ(a.text(ids.region), "R1");

    // Several clouds: the chooser; Escape closes it importing nothing, Import
    // takes the selected one.
    TEST_DIR many;
    test_write_file(many.file("clouds.yml"),
                    "clouds:\n  first:\n    auth:\n      auth_url: https://one/v3\n"
                    "  second:\n    region_name: R2\n    auth:\n      username: dave\n");
    a.click(ids.import_clouds);
    a.choose(many.file("clouds.yml"));
    a.refresh();
    ASSERT_TRUE(a.is_open(ids.clouds_window));
    EXPECT_STREQ(q_gui_get_window(a.ctx(), ids.clouds_window)->caption, "Choose a cloud of clouds.yml");
    EXPECT_EQ(q_gui_listbox_count(a.ctx(), ids.clouds_list), 2);
    EXPECT_EQ(q_gui_listbox_get_selected(a.ctx(), ids.clouds_list), 0);
    EXPECT_EQ(kvn_gui_dialogs_close_window(q_gui_get_topmost_open_window(a.ctx())), 1);
    EXPECT_FALSE(a.is_open(ids.clouds_window));
    EXPECT_TRUE(a.is_open(ids.window)) << "Escape closes the chooser only";
    EXPECT_EQ(a.text(ids.secret), "from-secure");

    a.click(ids.import_clouds);
    a.choose(many.file("clouds.yml"));
    a.click_row(ids.clouds_list, 1);
    a.click(ids.clouds_import);
    EXPECT_FALSE(a.is_open(ids.clouds_window));
    EXPECT_EQ(a.message(), "imported cloud second (2 settings): no auth_url (a vendor profile?), type it");
    EXPECT_EQ(a.text(ids.username), "dave");
    EXPECT_EQ(a.text(ids.secret), "") << "the old profile's secret went with it";

    test_write_file(many.file("other.yaml"), "profiles:\n  x: 1\n");
    a.click(ids.import_clouds);
    a.choose(many.file("other.yaml"));
    EXPECT_EQ(a.message(), "no cloud in other.yaml (a clouds: mapping is expected)");

    // The environment: a value holding a single quote is skipped silently.
    setenv("OS_AUTH_URL", "https://env.example:5000/v3", 1);
    setenv("OS_USERNAME", "eve", 1);
    setenv("OS_PROJECT_NAME", "env project", 1);
    setenv("OS_PASSWORD", "it's-secret", 1);
    a.click(ids.from_env);
    EXPECT_EQ(a.message(), "imported 3 OS_* variables from the environment: type the secret");
    EXPECT_EQ(a.text(ids.name), "env_project");
    EXPECT_EQ(a.text(ids.secret), "");
    unsetenv("OS_AUTH_URL");
    unsetenv("OS_USERNAME");
    unsetenv("OS_PROJECT_NAME");
    unsetenv("OS_PASSWORD");
    a.click(ids.from_env);
    EXPECT_EQ(a.message(), "no OS_* variable in the environment");
    EXPECT_EQ(a.app.status_kind, KVN_STATUS_ERROR);
}

TEST(ConnectDialog, FailedConnectionsSayWhyAndKeepTheDialog) {
    CONNECT_APP a;
    const KVN_GUI_CONNECT_IDS &ids = a.open();
    a.click(ids.connect);
    EXPECT_EQ(a.message(), "the authentication URL is required");
    a.set(ids.auth_url, "http://127.0.0.1:9/v3");
    a.set(ids.username, "alice");
    a.click(ids.connect);
    EXPECT_EQ(a.message(), "type the password");
    a.method(1);
    a.click(ids.connect);
    EXPECT_EQ(a.message(), "type the application credential secret");
    a.method(0);

    // Keystone that answers with a web page: nginx serving HTML.
    TEST_DIR web;
    kvn_net::NGINX nginx;
    const int port = kvn_net::free_port();
    ASSERT_TRUE(nginx.start(web.path,
                            "server { listen 127.0.0.1:" + std::to_string(port) +
                                ";\n location / { default_type text/html; return 200 "
                                "\"<html><body>Welcome to the portal</body></html>\"; }\n}\n",
                            {port}));
    const int closed = kvn_net::free_port();
    struct {
        std::string url, message;
    } cases[] = {
        {"127.0.0.1:5000/v3", "connection failed: invalid URL"},
        {"http://127.0.0.1:" + std::to_string(closed) + "/v3",
         "connection failed: cannot connect to 127.0.0.1:" + std::to_string(closed)},
        {"http://127.0.0.1:" + std::to_string(port) + "/v3",
         "connection failed: authentication answer carries no X-Subject-Token"},
    };
    for (const auto &c : cases) {
        a.set(ids.auth_url, c.url);
        a.set(ids.secret, "pw");
        a.click(ids.connect);
        EXPECT_EQ(a.message(), "connecting to " + c.url + " ...");
        EXPECT_TRUE(kvn_gui_connect_in_progress());
        a.click(ids.connect);
        EXPECT_EQ(a.message(), "a connection is already in progress");
        ASSERT_TRUE(a.wait_connected());
        EXPECT_EQ(a.message().rfind(c.message, 0), 0u) << c.url << ": " << a.message();
        EXPECT_EQ(a.status(), a.message());
        EXPECT_EQ(a.app.status_kind, KVN_STATUS_ERROR);
        EXPECT_TRUE(a.is_open(ids.window));
        EXPECT_EQ(a.app.session, nullptr);
        EXPECT_EQ(a.changed, 0);
    }
}

TEST(ConnectDialog, TypedSecretsAreNeverLoggedAndGoWhenItCloses) {
    CONNECT_APP a;
    const int level = get_log_level();
    set_log_level(Q_LOG_DEBUG);
    TEST_LOG_CAPTURE log;
    const KVN_GUI_CONNECT_IDS &ids = a.open();
    a.set(ids.name, "quiet");
    a.set(ids.auth_url, "http://127.0.0.1:" + std::to_string(kvn_net::free_port()) + "/v3");
    a.set(ids.username, "alice");
    a.type(ids.secret, "Pw-7f3a9c");
    a.type(ids.master, "Mk-51e0b2");
    EXPECT_EQ(a.text(ids.secret), "Pw-7f3a9c");
    q_gui_checkbox_set_checked(a.ctx(), ids.store, 1);
    a.click(ids.connect);
    ASSERT_TRUE(a.wait_connected());
    EXPECT_EQ(a.message().rfind("connection failed: ", 0), 0u) << a.message();
    a.click(ids.unlock);
    EXPECT_EQ(a.message(), "stored secret restored");

    // Escape on the dialog, as the loop asks the dialogs.
    EXPECT_EQ(kvn_gui_dialogs_close_window(q_gui_get_topmost_open_window(a.ctx())), 1);
    EXPECT_FALSE(a.is_open(ids.window));
    EXPECT_EQ(a.text(ids.master), "");
    EXPECT_EQ(a.text(ids.secret), "");
    // The field buffers themselves hold no copy.
    for (int id : {ids.master, ids.secret}) {
        const auto *d = static_cast<const Q_GUI_TEXTAREA_DATA *>(q_gui_get_widget(a.ctx(), id)->data);
        EXPECT_EQ(std::string(d->buf, (size_t)d->max_len + 1).find_first_not_of('\0'), std::string::npos);
    }
    set_log_level(level);
    EXPECT_GT(log.lines.size(), 3u);
    for (const auto &line : log.lines) {
        EXPECT_EQ(line.find("Pw-7f3a9c"), std::string::npos) << line;
        EXPECT_EQ(line.find("Mk-51e0b2"), std::string::npos) << line;
    }

    // Opened again: the profile is there, the secrets are not.
    a.open();
    EXPECT_EQ(a.text(ids.name), "quiet");
    EXPECT_EQ(a.text(ids.secret), "");
    EXPECT_EQ(a.text(ids.master), "");
}
