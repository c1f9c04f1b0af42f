// labels: gui
// The resource panel given answers no real cloud sends on demand, from a
// hand-written server behind a real session: a list without its key, items
// without an id, columns reaching into strings, 1 MiB cells and an answer
// past the HTTP client's 64 MiB cap. Each ends in readable text, never a
// crash or a request built from half a path; an operation on the selected
// item waits with its button disabled until a row is chosen; and the filter
// typed over 10,000 items shows exactly the matching rows, also after a
// refresh changed them.
#include "kvn_test_gui.h"

#include <cJSON.h>
#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_script_server.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"

namespace {
const char *k_things = R"J({
  "service": "compute", "title": "Compute",
  "resources": [
    {"id": "thing", "title": "Things", "list": {"path": "/things", "key": "things",
     "columns": [{"title": "Name", "field": "name"}, {"title": "Size", "field": "meta.size"},
                 {"title": "First", "field": "tags.0"}]},
     "show": {"path": "/things/{id}", "key": "thing"},
     "create": {"title": "Create thing", "path": "/things"},
     "delete": {"title": "Delete thing", "path": "/things/{id}", "multi": true},
     "update": {"title": "Rename thing", "path": "/things/{id}", "method": "PUT"}}
  ]})J";

// A session on the script server, whose list answer each case sets.
struct INPUT_APP {
    TEST_DIR dir;
    KVN_APP app;
    std::mutex mutex;
    std::string list_answer;
    kvn_script::SERVER server{[this](const kvn_script::REQUEST &r) { return answer(r); }};
    const KVN_RESOURCE *res = nullptr;

    kvn_script::ANSWER answer(const kvn_script::REQUEST &r) {
        if (r.target == "/v3/auth/tokens") {
            std::string catalog = R"([{"type": "compute", "endpoints": [{"interface": "public", "url": ")" +
                                  server.url("/compute") + R"("}]}])";
            return {kvn_script::json_answer(
                201, R"({"token": {"expires_at": "2099-01-01T00:00:00Z", "catalog": )" + catalog + "}}",
                "X-Subject-Token: t\r\n")};
        }
        if (r.target.rfind("/compute/things?", 0) == 0 || r.target == "/compute/things") {
            std::lock_guard<std::mutex> g(mutex);
            return {list_answer};
        }
        return {kvn_script::json_answer(200, R"({"thing": {"id": "shown"}})")};
    }
    INPUT_APP() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        q_httpc_global_init();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.config.sidebar_w = KVN_SIDEBAR_MIN;
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        mkdir(dir.file("api").c_str(), 0700);
        app.api = kvn_api_load_dir(dir.file("api").c_str());
        EXPECT_EQ(kvn_api_add(app.api, k_things, "compute.json"), 0);
        res = kvn_api_lookup(app.api, "compute.thing");
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(2), 0);
        kvn_gui_main_build();
        KVN_PROFILE p;
        kvn_profile_defaults(&p);
        q_strcpy(p.auth_url, sizeof p.auth_url, server.url("/v3").c_str());
        app.session = kvn_session_new(&p);
        EXPECT_EQ(kvn_session_authenticate(app.session, nullptr), 0);
        app.session_generation++;
        kvn_app_connect_changed();
    }
    ~INPUT_APP() {
        kvn_app_disconnect();
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    KVN_RES_IDS ids() {
        KVN_RES_IDS out;
        kvn_gui_resource_ids(res, &out);
        return out;
    }
    std::string count() { return q_gui_label_get_text(app.gui, ids().count); }
    std::string detail() { return q_gui_syntaxview_get_text(app.gui, ids().detail); }
    // Loads the list with this raw HTTP answer and waits for its end.
    bool load(const std::string &raw) {
        {
            std::lock_guard<std::mutex> g(mutex);
            list_answer = raw;
        }
        if (kvn_gui_main_open_view("compute.thing") != 0) return false;
        kvn_gui_resource_reload_current();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < end) {
            kvn_jobs_deliver();
            kvn_gui_main_tick();
            if (!ids().loading) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    int rows() { return q_gui_datagrid_row_count(app.gui, ids().grid); }
    void key(int keycode, int unichar) {
        ALLEGRO_EVENT ev = kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, keycode, 0, unichar);
        q_gui_process_event(app.gui, &ev);
    }
    std::string cell(int row, int col) { return q_gui_datagrid_get_cell(app.gui, ids().grid, row, col); }
};

std::string ok(const std::string &body) {
    return kvn_script::json_answer(200, body);
}
} // namespace

TEST(ResourcePanelInput, OddListAnswers) {
    INPUT_APP m;
    ASSERT_NE(m.res, nullptr);
    const std::string mib(1 << 20, 'x');
    struct CASE {
        const char *what;
        std::string raw;
        const char *count;
        int rows;
        const char *detail_has; // in the detail view; null: not checked
    } cases[] = {
        {"the list key missing", ok(R"({"other": [{"id": "1"}]})"), "unexpected answer", 0, "\"other\""},
        {"the key holding a string", ok(R"({"things": "none"})"), "unexpected answer", 0, "\"none\""},
        {"a bare JSON number", ok("42"), "unexpected answer", 0, "42"},
        {"items without the id field", ok(R"({"things": [{"name": "a"}, {"name": "b", "id": "2"}, 7]})"),
         "3 items", 3, nullptr},
        {"column paths into a string, a number and a list",
         ok(R"({"things": [{"id": "1", "meta": "plain", "tags": "t"}, {"id": "2", "meta": 5, "tags": []},
                          {"id": "3", "meta": [1], "tags": null}]})"),
         "3 items", 3, nullptr},
        {"1 MiB strings in the cells",
         ok(R"({"things": [{"id": "1", "name": ")" + mib + R"(", "meta": {"size": ")" + mib + R"("}}]})"),
         "1 item", 1, nullptr},
        {"not JSON at all", ok("<html>busy</html>"), "unexpected answer", 0, "<html>busy</html>"},
    };
    for (const CASE &c : cases) {
        ASSERT_TRUE(m.load(c.raw)) << c.what;
        EXPECT_EQ(m.count(), c.count) << c.what << " / " << m.app.status_text;
        EXPECT_EQ(m.rows(), c.rows) << c.what;
        if (c.detail_has) {
            EXPECT_NE(m.detail().find(c.detail_has), std::string::npos) << c.what << ": " << m.detail();
        }
        for (int r = 0; r < m.rows(); r++)
            for (int col = 0; col < m.res->column_count; col++)
                EXPECT_LE(m.cell(r, col).size(), 511u) << c.what;
    }
    // The last list with cells: paths that meet no object give empty cells,
    // never the text of what they met.
    ASSERT_TRUE(m.load(cases[4].raw));
    for (int r = 0; r < 3; r++) {
        EXPECT_EQ(m.cell(r, 1), "") << r;
        EXPECT_EQ(m.cell(r, 2), "") << r;
    }
    // A 1 MiB cell is cut to what a row shows, and the filter still finds it.
    ASSERT_TRUE(m.load(cases[5].raw));
    EXPECT_EQ(m.cell(0, 0), std::string(511, 'x'));
    q_gui_set_focus(m.app.gui, m.ids().filter);
    ALLEGRO_EVENT ev = kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, 0, 0, 'X');
    q_gui_process_event(m.app.gui, &ev);
    EXPECT_EQ(m.count(), "1 item");
    ev = kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_BACKSPACE, 0, 8);
    q_gui_process_event(m.app.gui, &ev);
}

TEST(ResourcePanelInput, AnItemWithoutIdAsksNoShowOfAHalfPath) {
    INPUT_APP m;
    ASSERT_TRUE(m.load(ok(R"({"things": [{"name": "anonymous"}]})")));
    ASSERT_EQ(m.rows(), 1);
    const int before = m.server.count("/compute/things/");
    q_gui_datagrid_set_selected_row(m.app.gui, m.ids().grid, 0);
    for (int i = 0; i < 20; i++) {
        kvn_jobs_deliver();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The printed item shows; no GET of "/things/{id}" left the program.
    EXPECT_NE(m.detail().find("anonymous"), std::string::npos);
    EXPECT_EQ(m.server.count("/compute/things/"), before);
    EXPECT_EQ(m.server.count("/compute/things/%7Bid%7D") + m.server.count("/compute/things/{id}"), 0);
}

TEST(ResourcePanelInput, AnAnswerPastTheClientCapIsAnErrorText) {
    INPUT_APP m;
    // A chunked body that never says its size: 65 chunks of 1 MiB.
    std::string raw =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string chunk(1 << 20, ' ');
    raw.reserve(raw.size() + 65 * (chunk.size() + 16));
    raw += "100000\r\n{\"things\": [" + chunk.substr(12) + "\r\n";
    for (int i = 1; i < 65; i++)
        raw += "100000\r\n" + chunk + "\r\n";
    raw += "0\r\n\r\n";
    ASSERT_TRUE(m.load(raw));
    EXPECT_EQ(m.count(), "error");
    EXPECT_EQ(m.detail(), "error: response body larger than 67108864 bytes");
    EXPECT_EQ(std::string(m.app.status_text), "Things: response body larger than 67108864 bytes");
    EXPECT_EQ(m.app.status_kind, KVN_STATUS_ERROR);
    EXPECT_EQ(m.rows(), 0);
    // The panel lives on: the next answer lists.
    ASSERT_TRUE(m.load(ok(R"({"things": [{"id": "1", "name": "after"}]})")));
    EXPECT_EQ(m.count(), "1 item");
}

TEST(ResourcePanelInput, OperationsOnTheSelectedItemWaitForARow) {
    INPUT_APP m;
    ASSERT_TRUE(m.load(ok(R"({"things": [{"id": "1", "name": "a"}, {"id": "2", "name": "b"}]})")));
    KVN_RES_IDS p = m.ids();
    struct {
        const char *what;
        int select; // -1 none, else the row chosen
        bool create, edit, del;
    } cases[] = {
        {"listed, nothing chosen", -1, true, false, false},
        {"a row chosen", 1, true, true, true},
    };
    for (const auto &c : cases) {
        if (c.select >= 0) q_gui_datagrid_set_selected_row(m.app.gui, p.grid, c.select);
        EXPECT_EQ(q_gui_widget_is_enabled(m.app.gui, p.create), c.create) << c.what;
        EXPECT_EQ(q_gui_widget_is_enabled(m.app.gui, p.edit), c.edit) << c.what;
        EXPECT_EQ(q_gui_widget_is_enabled(m.app.gui, p.del), c.del) << c.what;
    }
    // Let go without the grid's callback: the next frame's tick sees it.
    q_gui_datagrid_clear_selection(m.app.gui, p.grid);
    kvn_gui_main_tick();
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, p.del));
    // A reload that drops the chosen item disables them again.
    q_gui_datagrid_set_selected_row(m.app.gui, p.grid, 0);
    EXPECT_TRUE(q_gui_widget_is_enabled(m.app.gui, p.del));
    ASSERT_TRUE(m.load(ok(R"({"things": [{"id": "3", "name": "c"}]})")));
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, p.edit));
    EXPECT_FALSE(q_gui_widget_is_enabled(m.app.gui, p.del));
    EXPECT_TRUE(q_gui_widget_is_enabled(m.app.gui, p.create));
}

namespace {
// Items of a large list: the three columns' texts and the id, kept apart
// from the panel so the expected rows come from the data, not the code.
struct ITEM {
    std::string id, name, size, tag;
};

std::vector<ITEM> many_items(int n, const char *name_prefix) {
    static const char *const kinds[] = {"Web", "db", "cache"};
    std::vector<ITEM> out;
    for (int i = 0; i < n; i++) {
        char id[32], name[64], size[32];
        snprintf(id, sizeof id, "id-%05d", i);
        snprintf(name, sizeof name, "%s%s-%05d", name_prefix, kinds[i % 3], i);
        snprintf(size, sizeof size, "%d GiB", i % 7);
        out.push_back({id, name, size, i % 2 ? "blue" : "GREEN"});
    }
    return out;
}

std::string list_of(const std::vector<ITEM> &items) {
    std::string body = R"({"things": [)";
    for (size_t i = 0; i < items.size(); i++) {
        const ITEM &t = items[i];
        body += (i ? "," : "") + std::string(R"({"id": ")") + t.id + R"(", "name": ")" + t.name +
                R"(", "meta": {"size": ")" + t.size + R"("}, "tags": [")" + t.tag + R"("]})";
    }
    return body + "]}";
}

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

// The ids a filter keeps: some column holds it, ignoring case; the id is
// not a column here and does not count.
std::set<std::string> matching(const std::vector<ITEM> &items, const std::string &filter) {
    std::set<std::string> out;
    const std::string f = lower(filter);
    for (const ITEM &t : items)
        if (lower(t.name).find(f) != std::string::npos || lower(t.size).find(f) != std::string::npos ||
            lower(t.tag).find(f) != std::string::npos)
            out.insert(t.id);
    return out;
}
} // namespace

TEST(ResourcePanelInput, FilterOverALargeListShowsExactlyTheMatches) {
    INPUT_APP m;
    const int n = 10000;
    std::vector<ITEM> items = many_items(n, "");
    ASSERT_TRUE(m.load(ok(list_of(items))));
    ASSERT_EQ(m.rows(), n);
    const int grid = m.ids().grid, id_col = m.res->column_count;
    auto shown = [&] {
        std::set<std::string> ids;
        for (int r = 0; r < m.rows(); r++)
            ids.insert(m.cell(r, id_col));
        EXPECT_EQ((int)ids.size(), m.rows()) << "a row listed twice";
        return ids;
    };
    auto count_for = [&](size_t kept) {
        return kept == items.size() ? std::to_string(items.size()) + " items"
                                    : std::to_string(kept) + " / " + std::to_string(items.size()) + " items";
    };
    std::string typed;
    auto type = [&](const std::string &text) {
        q_gui_set_focus(m.app.gui, m.ids().filter);
        for (char c : text) {
            m.key(0, c);
            typed += c;
        }
        EXPECT_EQ(std::string(q_gui_textarea_get_text(m.app.gui, m.ids().filter)), typed);
    };
    auto erase = [&](size_t k) {
        q_gui_set_focus(m.app.gui, m.ids().filter);
        for (size_t i = 0; i < k && !typed.empty(); i++) {
            m.key(ALLEGRO_KEY_BACKSPACE, 8);
            typed.pop_back();
        }
    };
    // Sorted by name, descending: every refill keeps the order.
    q_gui_datagrid_sort(m.app.gui, grid, 0, -1);
    q_gui_datagrid_set_selected_row(m.app.gui, grid, 0);
    const std::string chosen = m.cell(0, id_col);
    ASSERT_EQ(std::string(m.ids().selected_id), chosen);

    // Key by key, narrowing, widening with Backspace, and a filter that only
    // the ids hold.
    struct STEP {
        const char *what;
        const char *type; // typed after the text so far
        size_t erase;     // characters erased first
    } steps[] = {
        {"case ignored", "WEB-0", 0},         {"narrowed key by key", "999", 0},
        {"widened by Backspace", "", 2},      {"a nested column", "3 gi", 100},
        {"a list item column", "gReEn", 100}, {"text only the hidden id holds", "id-0", 100},
        {"nothing typed", "", 100},
    };
    for (const STEP &st : steps) {
        erase(st.erase);
        type(st.type);
        const std::set<std::string> want = matching(items, typed);
        EXPECT_EQ(shown(), want) << st.what << " \"" << typed << "\"";
        EXPECT_EQ(m.count(), count_for(want.size())) << typed;
        // The rows stay in the order chosen on the grid.
        for (int r = 1; r < m.rows(); r++)
            ASSERT_GE(lower(m.cell(r - 1, 0)), lower(m.cell(r, 0))) << typed << " row " << r;
        // The chosen item stays chosen while its row is shown, and is chosen
        // again when it comes back.
        const int sel = q_gui_datagrid_get_selected_row(m.app.gui, grid);
        if (want.count(chosen)) {
            ASSERT_GE(sel, 0) << typed;
            EXPECT_EQ(m.cell(sel, id_col), chosen) << typed;
        } else {
            EXPECT_EQ(sel, -1) << typed;
        }
        EXPECT_EQ(std::string(m.ids().selected_id), chosen) << typed;
    }
    EXPECT_EQ(m.rows(), n);

    // A refresh with changed items under a filter: renamed rows leave it,
    // others join, the chosen one is gone and its selection with it.
    type("web-1");
    EXPECT_EQ(shown(), matching(items, typed));
    std::vector<ITEM> changed = many_items(n - 1, "");
    for (int i = 0; i < n - 1; i += 2)
        changed[(size_t)i].name = "renamed-" + changed[(size_t)i].name;
    for (int i = 1; i < n - 1; i += 10)
        changed[(size_t)i].tag = "Web-1 tag";
    changed.erase(
        std::remove_if(changed.begin(), changed.end(), [&](const ITEM &t) { return t.id == chosen; }),
        changed.end());
    items = changed;
    ASSERT_TRUE(m.load(ok(list_of(items))));
    EXPECT_EQ(shown(), matching(items, typed));
    EXPECT_EQ(m.count(), count_for(matching(items, typed).size()));
    EXPECT_EQ(std::string(m.ids().selected_id), "");
    EXPECT_EQ(m.detail(), "");
    // Typing on after the refresh filters the new items, never the old.
    for (const char *more : {"2", "", "renamed"}) {
        if (!*more) erase(100);
        type(more);
        EXPECT_EQ(shown(), matching(items, typed)) << typed;
        EXPECT_EQ(m.count(), count_for(matching(items, typed).size())) << typed;
    }
    // Cleared, every new item is listed again.
    erase(100);
    EXPECT_EQ(shown(), matching(items, ""));
    EXPECT_EQ(m.count(), count_for(items.size()));
}
