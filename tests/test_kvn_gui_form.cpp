// labels: gui
// Operation forms on a real display: what a field starts with (item values,
// defaults), where the inputs sit, the pick lists as their answers arrive,
// what OK hands to the caller, refused values and closing. The session has
// a catalog but no workers, so pick lists stay loading until a test hands an
// answer over as the job would.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <string>
#include <vector>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_profile.h"
#include "kvn_session.h"
#include "q_common.h"
#include "kvn_test_util.h"
#include "q_gui.h"
#include "q_gui_filechooser.h"

namespace {
const char *const k_doc = R"({"service": "network", "resources": [
 {"id": "net", "list": {"path": "/networks", "key": "networks"}},
 {"id": "thing", "list": {"path": "/things", "key": "things"},
  "create": {"title": "Create thing", "cli": "thing create", "path": "/things", "key": "thing", "fields": [
   {"name": "name", "label": "Name", "required": true},
   {"name": "secret", "label": "Secret", "type": "password"},
   {"name": "size", "label": "Size", "type": "int", "help": "In GiB."},
   {"name": "flag", "label": "Flag", "type": "bool"},
   {"name": "strict", "label": "Strict", "type": "bool", "omit_empty": false},
   {"name": "up", "label": "Up", "type": "bool", "default": true},
   {"name": "kind", "label": "Kind", "type": "enum", "values": ["a", "b"]},
   {"name": "net_id", "label": "Net", "type": "ref", "ref": "network.net", "required": true},
   {"name": "nets", "label": "Nets", "type": "ref", "ref": "network.net", "multi": true},
   {"name": "tags", "label": "Tags", "type": "list"},
   {"name": "meta", "label": "Meta", "type": "kv"},
   {"name": "definition", "label": "Definition", "type": "json"},
   {"name": "file", "label": "File", "type": "file"},
   {"name": "zone", "label": "Zone", "type": "ref", "ref": "dns.zone"},
   {"name": "owner", "label": "Owner", "in": "query", "default": "{user_id}/{project_id}"}]},
  "update": {"title": "Edit thing", "path": "/things/{id}", "key": "thing", "fields": [
   {"name": "name", "label": "Name"},
   {"name": "secret", "label": "Secret", "type": "password"},
   {"name": "net_id", "label": "Net", "type": "ref", "ref": "network.net", "required": true}]}}]})";
const char *const k_dns =
    R"({"service": "dns", "resources": [{"id": "zone", "list": {"path": "/zones", "key": "zones"}}]})";

enum {
    F_NAME,
    F_SECRET,
    F_SIZE,
    F_FLAG,
    F_STRICT,
    F_UP,
    F_KIND,
    F_NET,
    F_NETS,
    F_TAGS,
    F_META,
    F_SPEC,
    F_FILE,
    F_ZONE,
    F_OWNER
};

struct CALLS {
    int count = 0;
    long number = 0;
    std::vector<std::string> values;
};

void on_done(const KVN_OP *, const char *const *values, int n, long number, void *user) {
    CALLS *c = static_cast<CALLS *>(user);
    c->count++;
    c->number = number;
    c->values.assign(values, values + n);
}

struct FORM_APP {
    TEST_DIR descriptors; // empty: the catalogue holds only the documents below
    KVN_APP app;
    CALLS calls;
    KVN_FORM_IDS ids;
    double clock = 100;
    FORM_APP() {
        memset(&app, 0, sizeof app);
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        app.api = kvn_api_load_dir(descriptors.path.c_str());
        EXPECT_EQ(kvn_api_add(app.api, k_doc, "network.json"), 0) << app.api->error_text;
        EXPECT_EQ(kvn_api_add(app.api, k_dns, "dns.json"), 0) << app.api->error_text;
        KVN_PROFILE p;
        kvn_profile_defaults(&p);
        app.session = kvn_session_new(&p);
        kvn_session_add_endpoint(app.session, "network", "public", "R1", "http://127.0.0.1:9/");
        kvn_app_publish(&app);
    }
    ~FORM_APP() {
        kvn_gui_form_destroy_all();
        kvn_gui_dialogs_shutdown();
        kvn_session_free(&app.session);
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
    }
    const KVN_OP *op(bool update = false) {
        const KVN_RESOURCE *r = kvn_api_lookup(app.api, "network.thing");
        return update ? r->update : r->create;
    }
    const KVN_FORM_IDS &open(const KVN_OP *o, const cJSON *item = nullptr, const char *title = nullptr) {
        EXPECT_EQ(kvn_gui_form_open(o, title, item, on_done, 42, &calls), 0);
        EXPECT_EQ(kvn_gui_form_ids(o, &ids), 0);
        return ids;
    }
    void feed(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
    // Scrolls the form's content so the widget shows (the tall form is
    // higher than the test display), then clicks its middle.
    void click(int id) {
        const Q_GUI_WIDGET *wd = q_gui_get_widget(app.gui, id);
        ASSERT_NE(wd, nullptr);
        q_gui_window_set_scroll(app.gui, ids.window, 0, wd->y > 200 ? wd->y - 200 : 0);
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, id, &x, &y, &w, &h)) << id;
        clock += 10;
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x + w / 2, y + h / 2, 0, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x + w / 2, y + h / 2, 1, clock));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x + w / 2, y + h / 2, 1, clock));
    }
    const Q_GUI_WIDGET *w(int id) { return q_gui_get_widget(app.gui, id); }
    std::string text(int id) {
        const char *t = q_gui_textarea_get_text(app.gui, id);
        return t ? t : "";
    }
    void type(int id, const char *t) { q_gui_textarea_set_text(app.gui, id, t); }
    std::string entry(int id, int i) { return q_gui_combobox_get_item_text(app.gui, id, i); }
    std::string shown(int id) { return entry(id, q_gui_combobox_get_selected(app.gui, id)); }
    std::string message() { return q_gui_label_get_text(app.gui, ids.message); }
    bool is_open() { return q_gui_window_is_open(app.gui, ids.window) != 0; }
    int deliver(const KVN_OP *o, int field, const char *json, const char *error = nullptr) {
        Q_CJSON answer(json ? cJSON_Parse(json) : nullptr);
        return kvn_gui_form_deliver_list(o, field, ids.generation, answer.get(), error);
    }
};

KVN_FIELD field(int type, const char *def = nullptr) {
    KVN_FIELD f;
    memset(&f, 0, sizeof f);
    f.name = "v";
    f.label = "V";
    f.type = type;
    f.def = def;
    return f;
}
} // namespace

TEST(FormPrefill, ItemValuesAndDefaultsByType) {
    Q_CJSON item(cJSON_Parse(R"({"v": "plain", "t": true, "n": 2.5, "big": 1e21, "nul": null,
        "kv": {"x": "1", "n": 2, "y": "z"}, "list": ["a", "b", 3], "obj": {"a": [1, 2]}, "pw": "hunter2",
        "deep": {"er": "value"}})"));
    struct {
        int type;
        const char *name;
        int has;
        const char *want;
    } cases[] = {
        {KVN_FT_STRING, "v", 1, "plain"},
        {KVN_FT_BOOL, "t", 1, "true"},
        {KVN_FT_NUMBER, "n", 1, "2.5"},
        {KVN_FT_INT, "big", 1, "1e+21"},
        {KVN_FT_STRING, "nul", 0, ""},
        {KVN_FT_STRING, "missing", 0, ""},
        {KVN_FT_KV, "kv", 1, "x=1\ny=z\n"}, // string members only
        {KVN_FT_LIST, "list", 1, "a,b"},
        {KVN_FT_STRING, "list", 1, R"(["a","b",3])"},
        {KVN_FT_REF, "list", 1, "a,b"}, // multi below: a comma list like the input takes
        {KVN_FT_JSON, "obj", 1, R"({"a":[1,2]})"},
        {KVN_FT_PASSWORD, "pw", 0, ""}, // never from the item
        {KVN_FT_STRING, "deep.er", 1, "value"},
    };
    char out[4096];
    for (const auto &c : cases) {
        KVN_FIELD f = field(c.type, "the default");
        f.name = c.name;
        f.multi = c.type == KVN_FT_REF;
        memset(out, 'X', sizeof out);
        EXPECT_EQ(kvn_gui_form_prefill(&f, item.get(), "u", "p", out, sizeof out), c.has) << c.name;
        EXPECT_STREQ(out, c.want) << c.name;
    }

    // Without an item: the default, with the session's ids put in; a long
    // value is cut at the capacity.
    KVN_FIELD f = field(KVN_FT_STRING, "{user_id}:{project_id}:{user_id}");
    EXPECT_EQ(kvn_gui_form_prefill(&f, nullptr, "U1", "P2", out, sizeof out), 1);
    EXPECT_STREQ(out, "U1:P2:U1");
    f.def = nullptr;
    EXPECT_EQ(kvn_gui_form_prefill(&f, nullptr, "U1", "P2", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    std::string huge(10000, 'q');
    Q_CJSON big(cJSON_CreateObject());
    cJSON_AddStringToObject(big.get(), "v", huge.c_str());
    EXPECT_EQ(kvn_gui_form_prefill(&f, big.get(), "", "", out, 4096), 1);
    EXPECT_EQ(strlen(out), 4095u);
}

TEST(FormValues, CheckBoxTextsAndPickEntries) {
    char out[16];
    struct {
        const char *def;
        int omit_empty, checked;
        const char *want;
    } bools[] = {
        {nullptr, 1, 0, ""},     {nullptr, 1, 1, "true"}, {nullptr, 0, 0, "false"},
        {"true", 1, 0, "false"}, {"true", 0, 1, "true"},  {"false", 1, 0, ""},
    };
    for (const auto &b : bools) {
        KVN_FIELD f = field(KVN_FT_BOOL, b.def);
        f.omit_empty = b.omit_empty;
        kvn_gui_form_bool_value(&f, b.checked, out, sizeof out);
        EXPECT_STREQ(out, b.want) << (b.def ? b.def : "-") << b.omit_empty << b.checked;
    }
    struct {
        const char *name, *value, *id, *want;
    } entries[] = {
        {"web", "n1", "n1", "web  (n1)"},
        {"n1", "n1", "x9", "n1  (x9)"}, // the name is the value: the id says more
        {"", "10.0.0.0/24", "s1", "10.0.0.0/24  (s1)"},
        {"", "v", "v", "v"},
        {"", "v", "", "v"},
    };
    char text[256];
    for (const auto &e : entries) {
        kvn_gui_form_entry_text(e.name, e.value, e.id, text, sizeof text);
        EXPECT_STREQ(text, e.want);
    }
}

TEST(FormLayout, InputsLabelsButtonsAndTheWindow) {
    FORM_APP a;
    const KVN_FORM_IDS &ids = a.open(a.op(), nullptr, "Make a thing");
    ASSERT_EQ(ids.field_count, 15);
    // The builtin font is 8 pixels a character: every label fits 190.
    const float L = 190, W = 420 + L + 10 + 30;
    const Q_GUI_WINDOW *win = q_gui_get_window(a.app.gui, ids.window);
    ASSERT_NE(win, nullptr);
    EXPECT_STREQ(win->caption[0] ? win->caption : win->title, "Make a thing");
    EXPECT_EQ(win->flags & (Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_SCROLLABLE | Q_GUI_WIN_NO_TITLEBAR),
              Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_SCROLLABLE);
    EXPECT_EQ(win->z_mode, Q_GUI_ZORDER_POPUP);
    EXPECT_FLOAT_EQ(win->w, W);
    // 12 + 11 one-line rows + a pick row + three multi-line rows, plus 96,
    // and the height stays inside the display.
    const float content = 12 + 11 * 32 + 64 + 3 * 96 + 96;
    EXPECT_FLOAT_EQ(win->h, std::min(30 + content, (float)k_dh - 80));

    float y = 12;
    const float heights[] = {26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 90, 90, 26, 26, 26};
    for (int i = 0; i < ids.field_count; i++) {
        const Q_GUI_WIDGET *in = a.w(ids.input[i]);
        ASSERT_NE(in, nullptr) << i;
        EXPECT_FLOAT_EQ(in->x, L + 10) << i;
        EXPECT_FLOAT_EQ(in->y, y) << i;
        EXPECT_FLOAT_EQ(in->h, heights[i]) << i;
        EXPECT_FLOAT_EQ(in->w, i == F_FILE ? 330 : 420) << i;
        y += heights[i] + 6 + (i == F_NETS ? 32 : 0);
    }
    EXPECT_EQ(ids.kind[F_FLAG], 2);
    EXPECT_EQ(ids.kind[F_KIND], 1);
    EXPECT_EQ(ids.kind[F_NET], 1);
    EXPECT_EQ(ids.kind[F_NETS], 0);
    EXPECT_EQ(ids.pick[F_NET], -1);
    ASSERT_GE(ids.pick[F_NETS], 0);
    EXPECT_FLOAT_EQ(a.w(ids.pick[F_NETS])->y, a.w(ids.input[F_NETS])->y + 32);
    EXPECT_STREQ(a.w(ids.pick[F_NETS])->tooltip, "Pick to append to the list above");
    ASSERT_GE(ids.browse[F_FILE], 0);
    EXPECT_FLOAT_EQ(a.w(ids.browse[F_FILE])->x, L + 10 + 420 - 84);
    EXPECT_EQ(q_gui_button_get_label(a.app.gui, ids.browse[F_FILE]), std::string("Browse..."));
    EXPECT_STREQ(a.w(ids.input[F_SIZE])->tooltip, "In GiB. (size)");
    EXPECT_STREQ(a.w(ids.input[F_OWNER])->tooltip, "(owner, query)");
    EXPECT_STREQ(a.w(ids.input[F_NAME])->tooltip, "(name, required)");

    const Q_GUI_WIDGET *msg = a.w(ids.message), *ok = a.w(ids.ok), *cancel = a.w(ids.cancel);
    EXPECT_FLOAT_EQ(msg->y, y + 4);
    EXPECT_FLOAT_EQ(msg->w, W - 30);
    EXPECT_FLOAT_EQ(ok->x, W - 230);
    EXPECT_FLOAT_EQ(cancel->x, W - 120);
    EXPECT_FLOAT_EQ(ok->y, y + 56);
    EXPECT_STREQ(ok->tooltip, "Run: POST /things  (CLI: openstack thing create)");
    EXPECT_STREQ(cancel->tooltip, "Close without running (ESC)");

    // Placeholders and inputs by type.
    EXPECT_EQ(q_gui_combobox_get_item_text(a.app.gui, ids.input[F_KIND], 0), std::string("(unset)"));
    EXPECT_EQ(q_gui_combobox_count(a.app.gui, ids.input[F_KIND]), 3);
    EXPECT_TRUE(q_gui_checkbox_is_checked(a.app.gui, ids.input[F_UP]));
    EXPECT_FALSE(q_gui_checkbox_is_checked(a.app.gui, ids.input[F_FLAG]));
}

TEST(FormPickLists, ArrivalsSelectionAndFailures) {
    FORM_APP a;
    const KVN_OP *op = a.op();
    const KVN_FORM_IDS &ids = a.open(op);
    EXPECT_EQ(a.shown(ids.input[F_NET]), "(loading...)");
    EXPECT_EQ(a.shown(ids.pick[F_NETS]), "(loading...)");
    // The catalog has no DNS service.
    EXPECT_EQ(a.shown(ids.input[F_ZONE]), "(service not available)");
    EXPECT_EQ(q_gui_combobox_count(a.app.gui, ids.input[F_ZONE]), 1);

    // A required reference with exactly one network takes it by itself...
    const char *one = R"({"networks": [{"id": "n1", "name": "web"}]})";
    const char *two = R"({"networks": [{"id": "n1", "name": "web"}, {"id": "n2", "name": ""}, {"id": ""}]})";
    ASSERT_EQ(a.deliver(op, F_NET, one), 0);
    EXPECT_EQ(a.shown(ids.input[F_NET]), "web  (n1)");
    // ...with two it stays on "(none)"; items without a value are skipped.
    ASSERT_EQ(a.deliver(op, F_NET, two), 0);
    EXPECT_EQ(a.shown(ids.input[F_NET]), "(none)");
    EXPECT_EQ(q_gui_combobox_count(a.app.gui, ids.input[F_NET]), 3);
    EXPECT_EQ(a.entry(ids.input[F_NET], 2), "n2");
    // A pick list starts on "(pick to add)" even with one item.
    ASSERT_EQ(a.deliver(op, F_NETS, one), 0);
    EXPECT_EQ(a.shown(ids.pick[F_NETS]), "(pick to add)");

    // A failure says so in the list and in the message.
    ASSERT_EQ(a.deliver(op, F_NET, nullptr, "HTTP 503: Service Unavailable"), 0);
    EXPECT_EQ(a.shown(ids.input[F_NET]), "(cannot load list)");
    EXPECT_EQ(a.message(), "Net list: HTTP 503: Service Unavailable");

    // An answer of an older opening is dropped.
    const unsigned old = ids.generation;
    a.open(op);
    EXPECT_EQ(kvn_gui_form_deliver_list(op, F_NET, old, nullptr, "late"), -1);
    EXPECT_EQ(a.shown(ids.input[F_NET]), "(loading...)");
    EXPECT_EQ(a.message(), "");
    // So is every answer after a connection change, and the lists are gone.
    kvn_gui_form_reset_all();
    EXPECT_EQ(a.deliver(op, F_NET, one), -1);
    EXPECT_EQ(q_gui_combobox_count(a.app.gui, ids.input[F_NET]), 0);
}

TEST(FormOk, ValuesReachTheCallerAndTheInputsAreWiped) {
    FORM_APP a;
    const KVN_OP *op = a.op();
    const KVN_FORM_IDS &ids = a.open(op);
    EXPECT_EQ(a.text(ids.input[F_OWNER]), "/"); // no user or project id in this session
    a.type(ids.input[F_NAME], "alpha");
    a.type(ids.input[F_SECRET], "s3cret");
    a.type(ids.input[F_SIZE], "10");
    q_gui_checkbox_set_checked(a.app.gui, ids.input[F_UP], 0);
    q_gui_combobox_set_selected(a.app.gui, ids.input[F_KIND], 2);
    ASSERT_EQ(a.deliver(op, F_NET, R"({"networks": [{"id": "n1", "name": "web"}, {"id": "n2"}]})"), 0);
    q_gui_combobox_set_selected(a.app.gui, ids.input[F_NET], 2);
    // Two picks append to what was typed.
    ASSERT_EQ(a.deliver(op, F_NETS, R"({"networks": [{"id": "n1"}, {"id": "n2"}]})"), 0);
    a.type(ids.input[F_NETS], "n0");
    for (int pick : {1, 2}) {
        q_gui_combobox_set_open(a.app.gui, ids.pick[F_NETS], 1);
        float x, y, w, h;
        ASSERT_TRUE(q_gui_combobox_list_rect(a.app.gui, ids.pick[F_NETS], &x, &y, &w, &h));
        const float row = h / (float)q_gui_combobox_count(a.app.gui, ids.pick[F_NETS]);
        a.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x + 10, y + row * ((float)pick + 0.5f), 0));
        a.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x + 10, y + row * ((float)pick + 0.5f), 1));
        a.feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x + 10, y + row * ((float)pick + 0.5f), 1));
        EXPECT_EQ(a.shown(ids.pick[F_NETS]), "(pick to add)");
    }
    EXPECT_EQ(a.text(ids.input[F_NETS]), "n0,n1,n2");
    a.type(ids.input[F_META], "x=1\n");

    a.click(ids.ok);
    ASSERT_EQ(a.calls.count, 1) << a.message();
    EXPECT_EQ(a.calls.number, 42);
    const std::vector<std::string> want = {"alpha",    "s3cret", "10",    "", "false", "false", "b", "n2",
                                           "n0,n1,n2", "",       "x=1\n", "", "",      "",      "/"};
    EXPECT_EQ(a.calls.values, want);
    EXPECT_FALSE(a.is_open());
    // Nothing typed stays behind in the hidden form.
    EXPECT_EQ(a.text(ids.input[F_SECRET]), "");
    EXPECT_EQ(a.text(ids.input[F_NAME]), "");
}

TEST(FormOk, ARefusedValueStaysInTheFormWithTheBuildersWords) {
    FORM_APP a;
    const KVN_OP *op = a.op();
    const KVN_FORM_IDS &ids = a.open(op);
    a.type(ids.input[F_NAME], "alpha");
    a.type(ids.input[F_SIZE], "ten");
    a.click(ids.ok);
    EXPECT_EQ(a.calls.count, 0);
    EXPECT_TRUE(a.is_open());
    EXPECT_EQ(a.message(), "Size must be an integer");
    EXPECT_EQ(a.text(ids.input[F_SIZE]), "ten");
    a.type(ids.input[F_NAME], "");
    a.type(ids.input[F_SIZE], "");
    a.click(ids.ok);
    EXPECT_EQ(a.message(), "Name is required");
    EXPECT_EQ(a.calls.count, 0);
}

TEST(FormOpen, UpdatePrefillKeepsTheRefUntilItsListAndNeverThePassword) {
    FORM_APP a;
    const KVN_OP *op = a.op(true);
    Q_CJSON item(cJSON_Parse(R"({"id": "t1", "name": "old", "secret": "hunter2", "net_id": "n2"})"));
    const KVN_FORM_IDS &ids = a.open(op, item.get());
    EXPECT_EQ(a.text(ids.input[0]), "old");
    EXPECT_EQ(a.text(ids.input[1]), "");
    // Confirmed before the list arrives: the item's reference goes out.
    a.click(ids.ok);
    ASSERT_EQ(a.calls.count, 1) << a.message();
    EXPECT_EQ(a.calls.values[2], "n2");

    a.open(op, item.get());
    ASSERT_EQ(a.deliver(op, 2, R"({"networks": [{"id": "n1"}, {"id": "n2", "name": "db"}]})"), 0);
    EXPECT_EQ(a.shown(ids.input[2]), "db  (n2)");

    // Cancel and Escape close without calling and drop later answers.
    const unsigned g = ids.generation;
    a.type(ids.input[1], "typed");
    a.click(ids.cancel);
    EXPECT_FALSE(a.is_open());
    EXPECT_EQ(a.text(ids.input[1]), "");
    a.open(op, item.get());
    EXPECT_TRUE(kvn_gui_form_is_form(ids.window));
    EXPECT_FALSE(kvn_gui_form_is_form(ids.window + 1000));
    kvn_gui_form_escape(ids.window);
    EXPECT_FALSE(a.is_open());
    EXPECT_EQ(a.calls.count, 1);
    KVN_FORM_IDS after;
    ASSERT_EQ(kvn_gui_form_ids(op, &after), 0);
    EXPECT_GT(after.generation, g + 1);

    // No session, no form.
    KVN_SESSION *s = a.app.session;
    a.app.session = nullptr;
    EXPECT_EQ(kvn_gui_form_open(op, nullptr, nullptr, on_done, 0, &a.calls), -1);
    a.app.session = s;
}

TEST(FormBrowse, TheChosenPathFillsTheFieldUnlessTheFormWasClosed) {
    FORM_APP a;
    TEST_DIR dir;
    test_write_file(dir.file("disk.img"), "x");
    const KVN_OP *op = a.op();
    const KVN_FORM_IDS &ids = a.open(op);
    a.type(ids.input[F_FILE], dir.path.c_str());
    a.click(ids.browse[F_FILE]);
    Q_GUI_FILECHOOSER *fc = kvn_gui_dialogs_chooser();
    ASSERT_NE(fc, nullptr);
    ASSERT_TRUE(q_gui_filechooser_is_open(fc));
    EXPECT_STREQ(q_gui_get_window(a.app.gui, fc->window)->caption, "File");
    EXPECT_EQ(fc->mode, Q_GUI_FC_MODE_OPEN); // neither a folder field nor a download
    q_gui_textarea_set_text(a.app.gui, fc->name_field, "disk.img");
    EXPECT_EQ(q_gui_filechooser_accept(fc), 1);
    EXPECT_EQ(a.text(ids.input[F_FILE]), dir.file("disk.img"));

    // A choice that comes after the form was cancelled goes nowhere.
    a.type(ids.input[F_FILE], dir.path.c_str());
    a.click(ids.browse[F_FILE]);
    ASSERT_TRUE(q_gui_filechooser_is_open(fc));
    kvn_gui_form_escape(ids.window);
    q_gui_textarea_set_text(a.app.gui, fc->name_field, "disk.img");
    q_gui_filechooser_accept(fc);
    EXPECT_EQ(a.text(ids.input[F_FILE]), "");
}

// A request that failed brings the form back with every value as OK read
// it, the error under the fields, and OK hands the same values again; a
// form the user has open again keeps what is in it.
TEST(FormReopen, AFailedRequestGivesBackEveryValue) {
    FORM_APP a;
    const KVN_OP *op = a.op();
    const KVN_FORM_IDS &ids = a.open(op);
    a.type(ids.input[F_NAME], "alpha");
    a.type(ids.input[F_SECRET], "s3cret");
    a.type(ids.input[F_SIZE], "10");
    q_gui_checkbox_set_checked(a.app.gui, ids.input[F_FLAG], 1);
    q_gui_checkbox_set_checked(a.app.gui, ids.input[F_UP], 0);
    q_gui_combobox_set_selected(a.app.gui, ids.input[F_KIND], 2);
    ASSERT_EQ(a.deliver(op, F_NET, R"({"networks": [{"id": "n1"}, {"id": "n2"}]})"), 0);
    q_gui_combobox_set_selected(a.app.gui, ids.input[F_NET], 2);
    a.type(ids.input[F_NETS], "n0,n1");
    a.type(ids.input[F_META], "x=1\ny=2\n");
    a.type(ids.input[F_SPEC], "{\"a\": [1, 2]}");
    a.click(ids.ok);
    ASSERT_EQ(a.calls.count, 1) << a.message();
    const std::vector<std::string> sent = a.calls.values;
    std::vector<const char *> values;
    for (const std::string &v : sent)
        values.push_back(v.c_str());

    ASSERT_EQ(kvn_gui_form_reopen(op, "Things - Create thing", values.data(), (int)values.size(),
                                  "HTTP 409: name taken", on_done, 43, &a.calls),
              0);
    EXPECT_TRUE(a.is_open());
    EXPECT_STREQ(q_gui_get_window(a.app.gui, ids.window)->caption, "Things - Create thing");
    EXPECT_EQ(a.message(), "HTTP 409: name taken");
    EXPECT_EQ(a.text(ids.input[F_NAME]), "alpha");
    EXPECT_EQ(a.text(ids.input[F_SECRET]), "s3cret");
    EXPECT_TRUE(q_gui_checkbox_is_checked(a.app.gui, ids.input[F_FLAG]));
    EXPECT_FALSE(q_gui_checkbox_is_checked(a.app.gui, ids.input[F_UP]));
    EXPECT_EQ(a.shown(ids.input[F_KIND]), "b");
    EXPECT_EQ(a.text(ids.input[F_META]), "x=1\ny=2\n");
    // The reference waits for its list, which loads again, and takes the
    // value chosen before.
    KVN_FORM_IDS now;
    ASSERT_EQ(kvn_gui_form_ids(op, &now), 0);
    ASSERT_EQ(kvn_gui_form_deliver_list(
                  op, F_NET, now.generation,
                  Q_CJSON(cJSON_Parse(R"({"networks": [{"id": "n1"}, {"id": "n2"}]})")).get(), nullptr),
              0);
    EXPECT_EQ(a.shown(ids.input[F_NET]), "n2");
    a.click(ids.ok);
    ASSERT_EQ(a.calls.count, 2) << a.message();
    EXPECT_EQ(a.calls.number, 43);
    EXPECT_EQ(a.calls.values, sent);

    // Opened again by the user before the answer came: left alone.
    a.open(op);
    a.type(ids.input[F_NAME], "beta");
    EXPECT_EQ(
        kvn_gui_form_reopen(op, nullptr, values.data(), (int)values.size(), "late", on_done, 44, &a.calls),
        -1);
    EXPECT_EQ(a.text(ids.input[F_NAME]), "beta");
    EXPECT_EQ(a.message(), "");
}
