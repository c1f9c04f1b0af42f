// labels: gui
// The file chooser on real folders made by the tests: synthetic mouse and
// key events go through q_gui_process_event as in the program, and checks
// read the paths the callback receives, the list's rows and the status line.
#include <allegro5/allegro.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "kvn_test_gui.h"
#include "kvn_test_util.h"
#include "q_fs.h"
#include "q_gui.h"
#include "q_gui_filechooser.h"

namespace {
struct CALLS {
    std::vector<std::vector<std::string>> results;
};

void on_done(const char *const *paths, int count, void *user) {
    std::vector<std::string> r;
    for (int i = 0; i < count; i++)
        r.push_back(paths[i]);
    static_cast<CALLS *>(user)->results.push_back(r);
}

void mkdir_p(const std::string &p) {
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p;
}

// A context on the test display with a chooser, HOME pointing into the
// scratch folder so the home shortcut and the user folders are the test's.
struct Chooser {
    TEST_DIR dir;
    std::string home, root;
    Q_GUI_CTX *ctx;
    Q_GUI_FILECHOOSER *fc;
    CALLS calls;
    double clock = 100;
    std::string old_home;

    Chooser() {
        home = dir.file("home");
        root = dir.file("root");
        mkdir(home.c_str(), 0755);
        mkdir(root.c_str(), 0755);
        const char *h = getenv("HOME");
        old_home = h ? h : "";
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        ctx = q_gui_new_ctx(g_font);
        q_gui_set_display(ctx, g_display);
        q_gui_set_display_size(ctx, k_dw, k_dh);
        fc = q_gui_filechooser_new(ctx, 1);
    }
    ~Chooser() {
        q_gui_filechooser_destroy(&fc);
        q_gui_destroy_ctx(&ctx);
        setenv("HOME", old_home.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void open(int mode, int flags = 0, const char *filter = nullptr, const std::string &start = "") {
        Q_GUI_FC_OPTIONS o = {};
        o.mode = mode;
        o.flags = flags;
        o.filter = filter;
        const std::string s = start.empty() ? root : start;
        o.initial_path = s.c_str();
        ASSERT_EQ(q_gui_filechooser_open(fc, &o, on_done, &calls), 1);
    }
    int feed(ALLEGRO_EVENT ev) { return q_gui_process_event(ctx, &ev); }
    void rect(int id, float *x, float *y, float *w, float *h) {
        ASSERT_TRUE(q_gui_widget_screen_rect(ctx, id, x, y, w, h));
    }
    void press_at(float x, float y, double t, int button = 1) {
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x, y, 0, t));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, button, t));
        feed(kvn_mouse_event(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, button, t));
    }
    void click(int id) {
        float x, y, w, h;
        rect(id, &x, &y, &w, &h);
        press_at(x + w / 2, y + h / 2, clock += 10);
    }
    // A click (or double click) on a row of the file list as it is scrolled.
    void click_row(int row, bool twice = false) {
        float x, y, w, h;
        rect(fc->list, &x, &y, &w, &h);
        const float rh = q_gui_datagrid_row_height(ctx, fc->list);
        const int first = q_gui_datagrid_get_first_row(ctx, fc->list);
        const float ry = y + rh * (float)(1 + row - first) + rh / 2;
        ASSERT_LT(ry, y + h) << "row " << row << " is not in view";
        press_at(x + 30, ry, clock += 10);
        if (twice) press_at(x + 30, ry, clock + 0.1);
    }
    // A whole key press as Allegro delivers it.
    void key(int keycode, int unichar = 0) {
        feed(kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, keycode, 0, 0));
        feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, keycode, 0, unichar));
        feed(kvn_key_event(ALLEGRO_EVENT_KEY_UP, keycode, 0, 0));
    }
    void type_name(const std::string &text) {
        q_gui_set_focus(ctx, fc->name_field);
        q_gui_textarea_set_text(ctx, fc->name_field, "");
        // One key-char per code point, as Allegro delivers typed UTF-8.
        for (size_t i = 0; i < text.size();) {
            const unsigned char c = (unsigned char)text[i];
            const int n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            int cp = n == 1 ? c : c & (0x3F >> (n - 1));
            for (int k = 1; k < n; k++)
                cp = (cp << 6) | ((unsigned char)text[i + (size_t)k] & 0x3F);
            feed(kvn_key_event(ALLEGRO_EVENT_KEY_CHAR, ALLEGRO_KEY_A, 0, cp));
            i += (size_t)n;
        }
    }
    std::string status() { return q_gui_label_get_text(ctx, fc->status); }
    std::vector<std::string> names() {
        std::vector<std::string> v;
        const int n = q_gui_datagrid_row_count(ctx, fc->list);
        for (int r = 0; r < n; r++)
            v.push_back(q_gui_datagrid_get_cell(ctx, fc->list, r, 0));
        return v;
    }
    int row_of(const std::string &name) {
        const std::vector<std::string> v = names();
        for (size_t i = 0; i < v.size(); i++)
            if (v[i] == name) return (int)i;
        return -1;
    }
    std::vector<std::string> tree_rows() {
        std::vector<std::string> v;
        for (int r = 0; r < q_gui_listbox_count(ctx, fc->tree->listbox); r++)
            v.push_back(q_gui_listbox_get_item_text(ctx, fc->tree->listbox, r));
        return v;
    }
};

using Strings = std::vector<std::string>;
} // namespace

// ---- filter -----------------------------------------------------------------------

TEST(FileChooser, FilterPatterns) {
    struct CASE {
        const char *filter, *name;
        int listed;
    };
    const CASE cases[] = {
        {"*.yaml;*.yml", "a.YAML", 1},
        {"*.yaml;*.yml", "b.yml", 1},
        {"*.yaml;*.yml", "c.json", 0},
        {"*.yaml, *.yml", "x.yml", 1},
        {"*.png *.jpg", "p.JPG", 1},
        {"", "anything", 1},
        {"*", "no-dot", 1},
        {"*.*", "no-dot", 1},
        {"a/*.txt", "b.txt", 1},
        {"a/*.txt;*.md", "b.txt", 0},
        {"?.txt", "\xc3\xa9.txt", 1},
        {"?.txt", "ab.txt", 0},
        {"*rc", "openrc", 1},
        {"*rc", "openrc.sh", 0},
        {"*a*b*c", "xxaxxbxxbxc", 1},
        {"clouds.yaml", "CLOUDS.yaml", 1},
        {"*.tar.gz", "x.tar.gz", 1},
        {"*.tar.gz", "x.gz", 0},
    };
    for (const CASE &c : cases)
        EXPECT_EQ(q_gui_filechooser_filter_match(c.filter, c.name), c.listed)
            << "\"" << c.filter << "\" on " << c.name;
}

TEST(FileChooser, ListingOrderSizesTimesAndFilter) {
    Chooser t;
    ASSERT_NE(t.fc, nullptr);
    for (const char *f : {"c.json", "b.yml", "a.YAML", "B.yml"})
        test_write_file(t.root + "/" + f, "x");
    mkdir_p(t.root + "/zdir");
    mkdir_p(t.root + "/Adir");
    test_write_file(t.root + "/size1023", std::string(1023, 'a'));
    test_write_file(t.root + "/size1536", std::string(1536, 'a'));
    test_write_file(t.root + "/big", "");
    ASSERT_EQ(truncate((t.root + "/big").c_str(), 3LL << 30), 0);
    struct timeval tv[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(utimes((t.root + "/b.yml").c_str(), tv), 0);

    t.open(Q_GUI_FC_MODE_OPEN, 0, "*.yaml;*.yml");
    // Any case, and an exact tie broken by the bytes ("B" before "b").
    EXPECT_EQ(t.names(), (Strings{"Adir/", "zdir/", "a.YAML", "B.yml", "b.yml"}));
    ASSERT_STREQ(q_gui_combobox_get_item_text(t.ctx, t.fc->filter, 1), "All files");
    q_gui_set_focus(t.ctx, t.fc->filter);
    t.key(ALLEGRO_KEY_DOWN);
    ASSERT_EQ(q_gui_combobox_get_selected(t.ctx, t.fc->filter), 1);
    EXPECT_EQ(t.names(), (Strings{"Adir/", "zdir/", "a.YAML", "B.yml", "b.yml", "big", "c.json", "size1023",
                                  "size1536"}));
    auto cell = [&](const char *name, int col) {
        return std::string(q_gui_datagrid_get_cell(t.ctx, t.fc->list, t.row_of(name), col));
    };
    EXPECT_EQ(cell("size1023", 1), "1023 B");
    EXPECT_EQ(cell("size1536", 1), "1.5 KiB");
    EXPECT_EQ(cell("big", 1), "3.0 GiB");
    EXPECT_EQ(cell("zdir/", 1), "");
    char when[32];
    const time_t tt = 1700000000;
    strftime(when, sizeof when, "%Y-%m-%d %H:%M", localtime(&tt));
    EXPECT_EQ(cell("b.yml", 2), when);
}

TEST(FileChooser, HiddenFilesSwitch) {
    Chooser t;
    test_write_file(t.root + "/.secret", "x");
    mkdir_p(t.root + "/.cache");
    test_write_file(t.root + "/shown", "x");
    t.open(Q_GUI_FC_MODE_OPEN);
    EXPECT_EQ(t.names(), (Strings{"shown"}));
    t.click(t.fc->hidden_toggle);
    EXPECT_EQ(t.names(), (Strings{".cache/", ".secret", "shown"}));
    t.click(t.fc->hidden_toggle);
    EXPECT_EQ(t.names(), (Strings{"shown"}));
    t.fc->done = nullptr;
    t.open(Q_GUI_FC_MODE_OPEN, Q_GUI_FC_SHOW_HIDDEN);
    EXPECT_EQ(t.names().size(), 3u);
}

// ---- open -------------------------------------------------------------------------

TEST(FileChooser, OpenByDoubleClickEnterAndSeveral) {
    Chooser t;
    mkdir_p(t.root + "/sub dir");
    test_write_file(t.root + "/sub dir/inner.txt", "x");
    for (const char *f : {"one.txt", "two.txt", "three.txt"})
        test_write_file(t.root + "/" + f, "x");

    // A double click on a folder enters it; on a file it chooses it.
    t.open(Q_GUI_FC_MODE_OPEN);
    t.click_row(t.row_of("sub dir/"), true);
    EXPECT_EQ(std::string(t.fc->folder), t.root + "/sub dir");
    EXPECT_EQ(t.names(), (Strings{"inner.txt"}));
    t.click_row(0, true);
    ASSERT_EQ(t.calls.results.size(), 1u);
    EXPECT_EQ(t.calls.results[0], (Strings{t.root + "/sub dir/inner.txt"}));
    EXPECT_FALSE(q_gui_filechooser_is_open(t.fc));

    // Keyboard: the list has the focus; Backspace goes up, Down and Enter choose.
    t.open(Q_GUI_FC_MODE_OPEN, 0, nullptr, t.root + "/sub dir");
    EXPECT_EQ(q_gui_get_focus(t.ctx), t.fc->list);
    t.key(ALLEGRO_KEY_BACKSPACE);
    EXPECT_EQ(std::string(t.fc->folder), t.root);
    t.key(ALLEGRO_KEY_DOWN);
    t.key(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(q_gui_datagrid_get_selected_row(t.ctx, t.fc->list), 1);
    EXPECT_STREQ(q_gui_textarea_get_text(t.ctx, t.fc->name_field), "one.txt");
    t.key(ALLEGRO_KEY_ENTER);
    ASSERT_EQ(t.calls.results.size(), 2u);
    EXPECT_EQ(t.calls.results[1], (Strings{t.root + "/one.txt"}));

    // Several: Ctrl-clicks, then the accept button.
    t.open(Q_GUI_FC_MODE_OPEN, Q_GUI_FC_MULTIPLE);
    t.click_row(t.row_of("one.txt"));
    t.feed(kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_LCTRL, 0, 0));
    t.click_row(t.row_of("two.txt"));
    t.click_row(t.row_of("sub dir/"));
    t.feed(kvn_key_event(ALLEGRO_EVENT_KEY_UP, ALLEGRO_KEY_LCTRL, 0, 0));
    EXPECT_STREQ(q_gui_textarea_get_text(t.ctx, t.fc->name_field), "\"one.txt\" \"two.txt\"");
    t.click(t.fc->accept);
    ASSERT_EQ(t.calls.results.size(), 3u);
    EXPECT_EQ(t.calls.results[2], (Strings{t.root + "/one.txt", t.root + "/two.txt"}));

    // Without the flag a Ctrl-click keeps one selection.
    t.open(Q_GUI_FC_MODE_OPEN);
    t.click_row(t.row_of("one.txt"));
    t.feed(kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_LCTRL, 0, 0));
    t.click_row(t.row_of("two.txt"));
    t.feed(kvn_key_event(ALLEGRO_EVENT_KEY_UP, ALLEGRO_KEY_LCTRL, 0, 0));
    t.click(t.fc->accept);
    EXPECT_EQ(t.calls.results.back(), (Strings{t.root + "/two.txt"}));
}

TEST(FileChooser, TypedNamesInOpenMode) {
    Chooser t;
    mkdir_p(t.root + "/a");
    mkdir_p(t.root + "/a/b");
    mkdir_p(t.root + "/x");
    test_write_file(t.root + "/x/f.txt", "x");
    test_write_file(t.root + "/top.txt", "x");
    test_write_file(t.home + "/in-home.txt", "x");
    test_write_file(t.root + "/a/b/deep \xc3\xbc.txt", "x");
    struct CASE {
        const char *start, *typed;
        const char *chosen; // relative to root ("~" prefix: home), null: none
        const char *folder; // folder shown afterwards when nothing was chosen
        const char *status; // expected status when nothing was chosen
    };
    const CASE cases[] = {
        {"a/b", "../../x/f.txt", "x/f.txt", nullptr, nullptr},
        {"a/b", "..", nullptr, "a", ""},
        {"a", "b", nullptr, "a/b", ""},
        {"a", "  b/deep \xc3\xbc.txt  ", "a/b/deep \xc3\xbc.txt", nullptr, nullptr},
        {"a/b", "/ROOT/top.txt", "top.txt", nullptr, nullptr},
        {"a", "~/in-home.txt", "~in-home.txt", nullptr, nullptr},
        {"a", "nothing.txt", nullptr, "a", "There is no file named nothing.txt"},
        {"a", "", nullptr, "a", "Select a file first"},
    };
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.typed);
        const size_t before = t.calls.results.size();
        t.open(Q_GUI_FC_MODE_OPEN, 0, nullptr, t.root + "/" + c.start);
        std::string typed = c.typed;
        if (typed.rfind("/ROOT", 0) == 0) typed = t.root + typed.substr(5);
        t.type_name(typed);
        t.key(ALLEGRO_KEY_ENTER);
        if (c.chosen) {
            ASSERT_EQ(t.calls.results.size(), before + 1);
            const std::string ch = c.chosen;
            const std::string want = ch[0] == '~' ? t.home + "/" + ch.substr(1) : t.root + "/" + ch;
            EXPECT_EQ(t.calls.results.back(), (Strings{want}));
        } else {
            EXPECT_EQ(t.calls.results.size(), before);
            EXPECT_EQ(std::string(t.fc->folder), t.root + "/" + c.folder);
            EXPECT_EQ(t.status(), c.status);
            q_gui_filechooser_cancel(t.fc);
            t.calls.results.pop_back();
        }
    }
}

// ---- save ---------------------------------------------------------------------------

TEST(FileChooser, SaveConfirmsReplacingAndRefusesBadNames) {
    Chooser t;
    test_write_file(t.root + "/exists.txt", "x");
    mkdir_p(t.root + "/sub");
    t.open(Q_GUI_FC_MODE_SAVE, Q_GUI_FC_CONFIRM_REPLACE, nullptr, t.root + "/report.txt");
    EXPECT_EQ(q_gui_get_focus(t.ctx), t.fc->name_field);
    EXPECT_STREQ(q_gui_textarea_get_text(t.ctx, t.fc->name_field), "report.txt");
    EXPECT_STREQ(q_gui_button_get_label(t.ctx, t.fc->accept), "Save");

    struct REFUSAL {
        const char *typed, *status;
    };
    const REFUSAL refusals[] = {
        {"", "Type the name to save as"},
        {"   ", "Type the name to save as"},
        {"newdir/", "ROOT/newdir is not a folder"},
        {"nosuch/x.txt", "The folder ROOT/nosuch does not exist"},
    };
    for (const REFUSAL &r : refusals) {
        t.type_name(r.typed);
        t.key(ALLEGRO_KEY_ENTER);
        std::string want = r.status;
        if (want.find("ROOT") != std::string::npos) want.replace(want.find("ROOT"), 4, t.root);
        EXPECT_EQ(t.status(), want) << "\"" << r.typed << "\"";
        EXPECT_TRUE(t.calls.results.empty());
    }
    // A typed folder is entered, the field emptied.
    t.type_name("sub");
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(std::string(t.fc->folder), t.root + "/sub");
    EXPECT_TRUE(t.calls.results.empty());

    // Replacing asks once; the same path accepted again is chosen.
    t.type_name("../exists.txt");
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(t.status(), "exists.txt already exists: press Save again to replace it");
    EXPECT_TRUE(t.calls.results.empty());
    t.click(t.fc->accept);
    ASSERT_EQ(t.calls.results.size(), 1u);
    EXPECT_EQ(t.calls.results[0], (Strings{t.root + "/exists.txt"}));

    // A pending confirmation is forgotten when another folder is shown.
    t.open(Q_GUI_FC_MODE_SAVE, Q_GUI_FC_CONFIRM_REPLACE);
    t.type_name("exists.txt");
    t.key(ALLEGRO_KEY_ENTER);
    q_gui_filechooser_set_folder(t.fc, "sub");
    q_gui_filechooser_set_folder(t.fc, "..");
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(t.status(), "exists.txt already exists: press Save again to replace it");
    EXPECT_EQ(t.calls.results.size(), 1u);

    // Without the flag a new name or an existing one finishes at once.
    t.open(Q_GUI_FC_MODE_SAVE);
    t.type_name("exists.txt");
    t.key(ALLEGRO_KEY_ENTER);
    ASSERT_EQ(t.calls.results.size(), 3u); // the cancelled opening, then this
    EXPECT_EQ(t.calls.results[2], (Strings{t.root + "/exists.txt"}));
}

// ---- folder mode ------------------------------------------------------------------------

TEST(FileChooser, ChoosingAFolder) {
    Chooser t;
    mkdir_p(t.root + "/pick");
    mkdir_p(t.root + "/other");
    test_write_file(t.root + "/file.txt", "x");
    t.open(Q_GUI_FC_MODE_FOLDER);
    EXPECT_EQ(t.names(), (Strings{"other/", "pick/"}));
    EXPECT_FALSE(q_gui_widget_is_visible(t.ctx, t.fc->filter));
    t.click_row(t.row_of("pick/"));
    t.key(ALLEGRO_KEY_ENTER);
    ASSERT_EQ(t.calls.results.size(), 1u);
    EXPECT_EQ(t.calls.results[0], (Strings{t.root + "/pick"}));

    // Nothing selected, nothing typed: the folder shown.
    t.open(Q_GUI_FC_MODE_FOLDER);
    t.click(t.fc->accept);
    EXPECT_EQ(t.calls.results.back(), (Strings{t.root}));
    // A typed file is refused.
    t.open(Q_GUI_FC_MODE_FOLDER);
    t.type_name("file.txt");
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(t.status(), t.root + "/file.txt is not a folder");
    EXPECT_EQ(t.calls.results.size(), 2u);
}

TEST(FileChooser, NewFolder) {
    Chooser t;
    t.open(Q_GUI_FC_MODE_SAVE);
    t.click(t.fc->new_folder);
    EXPECT_STREQ(q_gui_button_get_label(t.ctx, t.fc->accept), "Create");
    EXPECT_STREQ(q_gui_label_get_text(t.ctx, t.fc->name_label), "New folder:");
    const std::pair<const char *, std::string> refusals[] = {
        {"", "Type the name of the folder first"},
        {"a/b", "A folder name cannot hold a separator"},
        {"..", "That name cannot be a folder"},
        {".", "That name cannot be a folder"},
    };
    for (const auto &r : refusals) {
        t.type_name(r.first);
        t.key(ALLEGRO_KEY_ENTER);
        EXPECT_EQ(t.status(), r.second) << r.first;
    }
    t.type_name("Neuer Ordner \xc3\x9f");
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(std::string(t.fc->folder), t.root + "/Neuer Ordner \xc3\x9f");
    EXPECT_STREQ(q_gui_button_get_label(t.ctx, t.fc->accept), "Save");
    EXPECT_TRUE(t.calls.results.empty());
    // An existing name: the system's own error text.
    q_gui_filechooser_set_folder(t.fc, "..");
    t.click(t.fc->new_folder);
    t.type_name("Neuer Ordner \xc3\x9f");
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(t.status(), "Cannot create " + t.root + "/Neuer Ordner \xc3\x9f: File exists");
    // Cancel leaves the sub-mode, not the dialog.
    t.click(t.fc->cancel);
    EXPECT_TRUE(q_gui_filechooser_is_open(t.fc));
    EXPECT_STREQ(q_gui_button_get_label(t.ctx, t.fc->accept), "Save");
    // Flag bit 3 hides the button.
    t.open(Q_GUI_FC_MODE_OPEN, Q_GUI_FC_NO_NEW_FOLDER);
    EXPECT_FALSE(q_gui_widget_is_visible(t.ctx, t.fc->new_folder));
}

// ---- cancelling -------------------------------------------------------------------------

TEST(FileChooser, CancelCloseEscapeAndReopenReportNothing) {
    Chooser t;
    t.open(Q_GUI_FC_MODE_OPEN);
    t.click(t.fc->cancel);
    t.open(Q_GUI_FC_MODE_OPEN);
    float x, y, w, h;
    ASSERT_TRUE(q_gui_window_button_rect(t.ctx, t.fc->window, 3, &x, &y, &w, &h));
    t.press_at(x + w / 2, y + h / 2, t.clock += 10);
    t.open(Q_GUI_FC_MODE_SAVE);
    t.key(ALLEGRO_KEY_ESCAPE);
    t.open(Q_GUI_FC_MODE_FOLDER);
    t.open(Q_GUI_FC_MODE_OPEN); // replaces the folder opening
    ASSERT_EQ(t.calls.results.size(), 4u);
    for (const Strings &r : t.calls.results)
        EXPECT_TRUE(r.empty());
    EXPECT_TRUE(q_gui_filechooser_is_open(t.fc));

    TEST_LOG_CAPTURE log;
    Q_GUI_FC_OPTIONS bad = {};
    bad.mode = 7;
    EXPECT_EQ(q_gui_filechooser_open(t.fc, &bad, on_done, &t.calls), 0);
    EXPECT_TRUE(log.contains("file chooser: unknown mode 7"));
    EXPECT_EQ(q_gui_filechooser_open(nullptr, nullptr, on_done, nullptr), 0);
    EXPECT_EQ(t.calls.results.size(), 4u);
}

// ---- keyboard ---------------------------------------------------------------------------

TEST(FileChooser, FolderFieldEnterAndTypeAhead) {
    Chooser t;
    mkdir_p(t.root + "/target");
    for (const char *f : {"alpha", "beta", "bravo", "Bronze", "charlie"})
        test_write_file(t.root + "/target/" + f, "x");
    t.open(Q_GUI_FC_MODE_OPEN);
    q_gui_set_focus(t.ctx, t.fc->folder_field);
    q_gui_textarea_set_text(t.ctx, t.fc->folder_field, (t.root + "/target").c_str());
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(std::string(t.fc->folder), t.root + "/target");
    EXPECT_TRUE(t.calls.results.empty());

    q_gui_set_focus(t.ctx, t.fc->list);
    auto selected = [&] {
        return std::string(q_gui_datagrid_get_cell(t.ctx, t.fc->list,
                                                   q_gui_datagrid_get_selected_row(t.ctx, t.fc->list), 0));
    };
    t.key(ALLEGRO_KEY_B, 'b');
    EXPECT_EQ(selected(), "beta");
    t.key(ALLEGRO_KEY_R, 'r');
    EXPECT_EQ(selected(), "bravo");
    t.key(ALLEGRO_KEY_O, 'o');
    EXPECT_EQ(selected(), "Bronze");
    // A pause starts a new search; the same letter again steps on.
    t.feed(kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_C, 0, 0));
    ALLEGRO_EVENT late = kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_A, 0, 0);
    late.any.timestamp = 50;
    t.feed(late);
    EXPECT_EQ(selected(), "alpha");
    ALLEGRO_EVENT b1 = kvn_key_event(ALLEGRO_EVENT_KEY_DOWN, ALLEGRO_KEY_B, 0, 0);
    b1.any.timestamp = 60;
    t.feed(b1);
    EXPECT_EQ(selected(), "beta");
    b1.any.timestamp = 60.2;
    t.feed(b1);
    EXPECT_EQ(selected(), "bravo");
    // Letters typed into the name field stay there.
    t.type_name("b");
    EXPECT_STREQ(q_gui_textarea_get_text(t.ctx, t.fc->name_field), "b");
}

// ---- folders of every shape ---------------------------------------------------------------

TEST(FileChooser, TenThousandFiles) {
    Chooser t;
    const std::string big = t.root + "/big";
    mkdir_p(big);
    for (int i = 0; i < 10000; i++) {
        char name[64];
        snprintf(name, sizeof name, "/file %05d.dat", i);
        const int fd = open((big + name).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    t.open(Q_GUI_FC_MODE_OPEN, 0, "*.dat", big);
    ASSERT_EQ(q_gui_datagrid_row_count(t.ctx, t.fc->list), 10000);
    EXPECT_EQ(t.names().back(), "file 09999.dat");
    t.key(ALLEGRO_KEY_END);
    t.key(ALLEGRO_KEY_ENTER);
    ASSERT_EQ(t.calls.results.size(), 1u);
    EXPECT_EQ(t.calls.results[0], (Strings{big + "/file 09999.dat"}));
}

TEST(FileChooser, SymlinkLoopsAndVanishedFiles) {
    Chooser t;
    const std::string r = t.root;
    ASSERT_EQ(symlink("self", (r + "/self").c_str()), 0); // a link to itself
    ASSERT_EQ(symlink("nowhere", (r + "/dangling").c_str()), 0);
    mkdir_p(r + "/cyc");
    ASSERT_EQ(symlink("..", (r + "/cyc/up").c_str()), 0); // a folder cycle
    test_write_file(r + "/doomed.txt", "x");
    t.open(Q_GUI_FC_MODE_OPEN);
    EXPECT_EQ(t.names(), (Strings{"cyc/", "dangling", "doomed.txt", "self"}));
    // Walking round the cycle only lengthens the path; it never hangs.
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(q_gui_filechooser_set_folder(t.fc, i % 2 ? "up" : "cyc"), 1);
    EXPECT_NE(t.row_of("cyc/"), -1);
    q_gui_filechooser_set_folder(t.fc, r.c_str());

    // Removed between the listing and the choice.
    t.click_row(t.row_of("doomed.txt"));
    ASSERT_EQ(unlink((r + "/doomed.txt").c_str()), 0);
    t.key(ALLEGRO_KEY_ENTER);
    EXPECT_EQ(t.status(), "There is no file named doomed.txt");
    EXPECT_TRUE(t.calls.results.empty());
    // The folder shown removed: Up still works, the shown listing stays.
    mkdir_p(r + "/gone");
    q_gui_filechooser_set_folder(t.fc, "gone");
    ASSERT_EQ(rmdir((r + "/gone").c_str()), 0);
    EXPECT_EQ(q_gui_filechooser_set_folder(t.fc, "."), 0);
    EXPECT_EQ(t.status(), r + "/gone is not a folder");
    t.click(t.fc->up);
    EXPECT_EQ(std::string(t.fc->folder), r);
}

TEST(FileChooser, UnreadableFolderKeepsTheListing) {
    Chooser t;
    test_write_file(t.root + "/kept.txt", "x");
    mkdir_p(t.root + "/locked");
    t.open(Q_GUI_FC_MODE_OPEN);
    if (geteuid() != 0) {
        ASSERT_EQ(chmod((t.root + "/locked").c_str(), 0), 0);
        EXPECT_EQ(q_gui_filechooser_set_folder(t.fc, "locked"), 0);
        EXPECT_EQ(t.status(), "Cannot read " + t.root + "/locked: Permission denied");
        EXPECT_EQ(t.names(), (Strings{"locked/", "kept.txt"}));
    } else {
        // Permissions do not stop root: the failure is made by leaving the
        // process no file descriptor to open the folder with.
        struct rlimit old;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
        int lowest_free = dup(0);
        ASSERT_GE(lowest_free, 0);
        close(lowest_free);
        struct rlimit tight = old;
        tight.rlim_cur = (rlim_t)lowest_free;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        const int shown = q_gui_filechooser_set_folder(t.fc, "locked");
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
        EXPECT_EQ(shown, 0);
        EXPECT_EQ(t.status(), "Cannot read " + t.root + "/locked: Too many open files");
        EXPECT_EQ(std::string(t.fc->folder), t.root);
        EXPECT_EQ(t.names(), (Strings{"locked/", "kept.txt"}));
    }
    // The platform read on a path that is not a folder: the system's text.
    char err[128] = "";
    auto none = [](const Q_FS_ENTRY *, void *) { return 0; };
    EXPECT_EQ(q_fs_read_folder((t.root + "/kept.txt").c_str(), 0, none, nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "Not a directory");
    EXPECT_EQ(q_gui_filechooser_set_folder(t.fc, "kept.txt"), 0);
    EXPECT_EQ(t.status(), t.root + "/kept.txt is not a folder");
}

// ---- tree and shortcuts ------------------------------------------------------------------

TEST(FileChooser, TreeShortcutsAndFolding) {
    Chooser t;
    mkdir_p(t.home + "/.config");
    mkdir_p(t.home + "/Dokumente");
    mkdir_p(t.home + "/Bilder");
    test_write_file(t.home + "/.config/user-dirs.dirs", "# written by xdg-user-dirs-update\n"
                                                        "XDG_DESKTOP_DIR=\"$HOME\"\n"
                                                        "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
                                                        "XDG_MUSIC_DIR=\"$HOME/Musik\"\n"
                                                        "XDG_PICTURES_DIR=\"$HOME/Bilder/\"\n"
                                                        "XDG_VIDEOS_DIR=\"" +
                                                            t.home + "/Dokumente\"\n");
    mkdir_p(t.root + "/a");
    mkdir_p(t.root + "/a/inner");
    mkdir_p(t.root + "/b");
    t.open(Q_GUI_FC_MODE_OPEN, 0, nullptr, t.root + "/a");
    const Strings rows = t.tree_rows();
    ASSERT_GE(rows.size(), 5u);
    EXPECT_EQ(Strings(rows.begin(), rows.begin() + 4), (Strings{"Home", "Dokumente", "Bilder", "/"}));
    // The way down to the folder shown ends with its own folders.
    size_t a = 0;
    while (a < rows.size() && rows[a] != "a")
        a++;
    ASSERT_LT(a + 2, rows.size());
    EXPECT_EQ(rows[a + 1], "inner");
    EXPECT_EQ(rows[a + 2], "b");

    float x, y, w, h;
    t.rect(t.fc->tree->listbox, &x, &y, &w, &h);
    auto click_tree = [&](const std::string &label) {
        const Strings now = t.tree_rows();
        int row = -1;
        for (size_t i = 0; i < now.size(); i++)
            if (now[i] == label) row = (int)i;
        ASSERT_GE(row, 0) << label;
        const float rh =
            t.ctx->style.listbox_default_item_height > 1 ? t.ctx->style.listbox_default_item_height : 20;
        q_gui_listbox_scroll_to(t.ctx, t.fc->tree->listbox, row);
        const float top = rh * (float)row - q_gui_listbox_get_scroll(t.ctx, t.fc->tree->listbox);
        t.press_at(x + 20, y + top + rh / 2, t.clock += 10);
    };
    click_tree("Dokumente");
    EXPECT_EQ(std::string(t.fc->folder), t.home + "/Dokumente");
    click_tree("Home");
    EXPECT_EQ(std::string(t.fc->folder), t.home);
    // Hidden folders stay out of the tree like the list.
    for (const std::string &r : t.tree_rows())
        EXPECT_NE(r, ".config");

    // The "Folders" switch hides the tree and widens the list.
    float lx, ly, lw, lh;
    t.rect(t.fc->list, &lx, &ly, &lw, &lh);
    t.click(t.fc->folders_toggle);
    EXPECT_FALSE(q_gui_widget_is_visible(t.ctx, t.fc->tree->listbox));
    float lx2, ly2, lw2, lh2;
    t.rect(t.fc->list, &lx2, &ly2, &lw2, &lh2);
    EXPECT_GT(lw2, lw + 100);
}
