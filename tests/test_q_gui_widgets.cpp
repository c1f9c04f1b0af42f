// labels: gui
// The widget kinds and composites in a real Allegro display: synthetic events
// go through q_gui_process_event as in the program; checks read the widgets'
// state through the toolkit's operations.
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "kvn_test_util.h"
#include "q_clipboard.h"
#include "q_gui.h"
#include "q_log.h"

namespace {
ALLEGRO_DISPLAY *g_display = nullptr;
ALLEGRO_FONT *g_font = nullptr;
const int k_dw = 800, k_dh = 600;

class GuiEnv : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(al_init());
        ASSERT_TRUE(al_init_font_addon());
        ASSERT_TRUE(al_init_primitives_addon());
        al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
        g_display = al_create_display(k_dw, k_dh);
        ASSERT_NE(g_display, nullptr);
        g_font = al_create_builtin_font();
        ASSERT_NE(g_font, nullptr);
    }
    void TearDown() override {
        al_destroy_font(g_font);
        al_destroy_display(g_display);
    }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new GuiEnv);

// One context with one window at (0, 0); widget coordinates plus (0, 28)
// (the title bar) are display coordinates.
struct Gui {
    Q_GUI_CTX *ctx;
    int win;
    static constexpr float tb = 28;
    Gui() {
        ctx = q_gui_new_ctx(g_font);
        q_gui_set_display(ctx, g_display);
        q_gui_set_display_size(ctx, k_dw, k_dh);
        win = q_gui_add_window(ctx, "test", 0, 0, k_dw, k_dh);
    }
    ~Gui() {
        q_gui_destroy_ctx(&ctx);
        al_set_target_backbuffer(g_display);
    }
    int feed(ALLEGRO_EVENT ev) { return q_gui_process_event(ctx, &ev); }
    int mouse(int type, float x, float y, int button = 1) {
        ALLEGRO_EVENT ev;
        memset(&ev, 0, sizeof ev);
        ev.type = type;
        ev.mouse.x = (int)x;
        ev.mouse.y = (int)(y + tb);
        ev.mouse.button = (unsigned)button;
        ev.mouse.display = g_display;
        return feed(ev);
    }
    // Clicks at content coordinates.
    void click(float x, float y, int button = 1) {
        mouse(ALLEGRO_EVENT_MOUSE_AXES, x, y, 0);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, x, y, button);
        mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, x, y, button);
    }
    int key(int type, int keycode, unsigned mods = 0, int unichar = 0) {
        ALLEGRO_EVENT ev;
        memset(&ev, 0, sizeof ev);
        ev.type = type;
        ev.keyboard.keycode = keycode;
        ev.keyboard.modifiers = mods;
        ev.keyboard.unichar = unichar;
        ev.keyboard.display = g_display;
        return feed(ev);
    }
    // The key-char event of a press; returns whether it was consumed.
    int chr(int keycode, unsigned mods = 0, int unichar = 0) {
        return key(ALLEGRO_EVENT_KEY_CHAR, keycode, mods, unichar);
    }
    void type(const char *ascii) {
        for (const char *p = ascii; *p; p++)
            chr(ALLEGRO_KEY_A, 0, *p);
    }
    void hold(int keycode) { key(ALLEGRO_EVENT_KEY_DOWN, keycode); }
    void release(int keycode) { key(ALLEGRO_EVENT_KEY_UP, keycode); }
    void draw() {
        al_set_target_backbuffer(g_display);
        al_clear_to_color(al_map_rgb(0, 0, 0));
        q_gui_draw(ctx);
    }
};

int g_changes = 0;
std::string g_last_text;
void on_text(int, const char *text, void *) {
    g_changes++;
    g_last_text = text;
}
} // namespace

// ---- text area -------------------------------------------------------------------

TEST(TextArea, EditingKeysWithMultiByteCharacters) {
    // "€" is 3 bytes (E2 82 AC), "😀" 4 bytes (F0 9F 98 80), "é" 2 bytes.
    struct STEP {
        int key;
        unsigned mods;
        int unichar;
    };
    struct CASE {
        const char *name, *start;
        int caret;
        std::vector<STEP> keys;
        const char *text;
        int caret_after, sel_a, sel_b;
    };
    const unsigned S = ALLEGRO_KEYMOD_SHIFT, C = ALLEGRO_KEYMOD_CTRL;
    const CASE cases[] = {
        {"backspace after a 3-byte char", "a\xe2\x82\xac", 4, {{ALLEGRO_KEY_BACKSPACE, 0, 8}}, "a", 1, 1, 1},
        {"left over a 4-byte char",
         "x\xf0\x9f\x98\x80",
         5,
         {{ALLEGRO_KEY_LEFT, 0, 0}},
         "x\xf0\x9f\x98\x80",
         1,
         1,
         1},
        {"delete before a 2-byte char", "\xc3\xa9z", 0, {{ALLEGRO_KEY_DELETE, 0, 127}}, "z", 0, 0, 0},
        {"right over a 2-byte char then type",
         "\xc3\xa9z",
         0,
         {{ALLEGRO_KEY_RIGHT, 0, 0}, {ALLEGRO_KEY_Q, 0, 'q'}},
         "\xc3\xa9qz",
         3,
         3,
         3},
        {"typed code point is encoded", "", 0, {{ALLEGRO_KEY_A, 0, 0x1F600}}, "\xf0\x9f\x98\x80", 4, 4, 4},
        {"shift+left selects one char back",
         "ab\xe2\x82\xac",
         5,
         {{ALLEGRO_KEY_LEFT, S, 0}},
         "ab\xe2\x82\xac",
         2,
         2,
         5},
        {"typing replaces the selection",
         "abcd",
         4,
         {{ALLEGRO_KEY_LEFT, S, 0}, {ALLEGRO_KEY_LEFT, S, 0}, {ALLEGRO_KEY_X, 0, 'X'}},
         "abX",
         3,
         3,
         3},
        {"left collapses a selection to its start",
         "abcd",
         4,
         {{ALLEGRO_KEY_HOME, S, 0}, {ALLEGRO_KEY_LEFT, 0, 0}},
         "abcd",
         0,
         0,
         0},
        {"right collapses a selection to its end",
         "abcd",
         0,
         {{ALLEGRO_KEY_END, S, 0}, {ALLEGRO_KEY_RIGHT, 0, 0}},
         "abcd",
         4,
         4,
         4},
        {"ctrl+a then backspace empties",
         "hello",
         2,
         {{ALLEGRO_KEY_A, C, 1}, {ALLEGRO_KEY_BACKSPACE, 0, 8}},
         "",
         0,
         0,
         0},
        {"control characters are ignored",
         "ab",
         2,
         {{ALLEGRO_KEY_A, 0, 7}, {ALLEGRO_KEY_A, 0, 0x110000}},
         "ab",
         2,
         2,
         2},
        {"backspace at the start does nothing", "ab", 0, {{ALLEGRO_KEY_BACKSPACE, 0, 8}}, "ab", 0, 0, 0},
        {"a character over the maximum is refused",
         "12345678",
         8,
         {{ALLEGRO_KEY_A, 0, 'z'}},
         "12345678",
         8,
         8,
         8},
        {"a 2-byte char that would pass the maximum is refused",
         "1234567",
         7,
         {{ALLEGRO_KEY_A, 0, 0xE9}},
         "1234567",
         7,
         7,
         7},
    };
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.name);
        Gui g;
        const int ta = q_gui_add_textarea(g.ctx, g.win, 10, 10, 300, 24, 0, 8, nullptr, nullptr);
        q_gui_textarea_set_text(g.ctx, ta, c.start);
        q_gui_textarea_set_selection(g.ctx, ta, c.caret, c.caret);
        q_gui_set_focus(g.ctx, ta);
        for (const STEP &s : c.keys)
            EXPECT_EQ(g.chr(s.key, s.mods, s.unichar), 1);
        EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), c.text);
        EXPECT_EQ(q_gui_textarea_get_caret(g.ctx, ta), c.caret_after);
        int a = -1, b = -1;
        q_gui_textarea_get_selection(g.ctx, ta, &a, &b);
        EXPECT_EQ(a, c.sel_a);
        EXPECT_EQ(b, c.sel_b);
    }
}

TEST(TextArea, PasteIsFilteredAndRefusedWholeWhenTooLong) {
    ASSERT_EQ(q_clipboard_init(), 1);
    struct CASE {
        const char *name;
        int multiline, max;
        const char *start, *clip;
        int sel_a, sel_b;
        const char *text;
    };
    const CASE cases[] = {
        {"single-line drops CR and LF", 0, 0, "", "a\r\nb", 0, 0, "ab"},
        {"multi-line keeps the LF only", 1, 0, "", "a\r\nb", 0, 0, "a\nb"},
        {"other control bytes are dropped", 1, 0, "", "x\ty\001z", 0, 0, "xyz"},
        {"paste replaces the selection", 0, 0, "hello", "J", 0, 1, "Jello"},
        {"a paste over the maximum changes nothing", 0, 6, "abc", "defg", 3, 3, "abc"},
        {"a refused paste keeps the selected text", 0, 6, "abcdef", "1234567", 0, 2, "abcdef"},
        {"exactly the maximum fits", 0, 6, "ab", "cdef", 2, 2, "abcdef"},
    };
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.name);
        Gui g;
        g_changes = 0;
        const int ta = q_gui_add_textarea(g.ctx, g.win, 10, 10, 300, c.multiline ? 100 : 24, c.multiline,
                                          c.max, on_text, nullptr);
        q_gui_textarea_set_text(g.ctx, ta, c.start);
        q_gui_textarea_set_selection(g.ctx, ta, c.sel_a, c.sel_b);
        q_gui_set_focus(g.ctx, ta);
        ASSERT_EQ(q_clipboard_set(0, c.clip), 0);
        EXPECT_EQ(g.chr(ALLEGRO_KEY_V, ALLEGRO_KEYMOD_CTRL, 22), 1);
        EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), c.text);
        EXPECT_EQ(g_changes, strcmp(c.start, c.text) ? 1 : 0);
    }
}

TEST(TextArea, CopyCutAndMaskedFieldsKeepTheirText) {
    ASSERT_EQ(q_clipboard_init(), 1);
    Gui g;
    const int ta = q_gui_add_textarea(g.ctx, g.win, 10, 10, 300, 24, 0, 0, nullptr, nullptr);
    q_gui_textarea_set_text(g.ctx, ta, "copy me");
    q_gui_set_focus(g.ctx, ta);
    q_gui_textarea_set_selection(g.ctx, ta, 5, 7);
    g.chr(ALLEGRO_KEY_X, ALLEGRO_KEYMOD_CTRL, 24);
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), "copy ");
    char *clip = q_clipboard_get(0);
    ASSERT_NE(clip, nullptr);
    EXPECT_STREQ(clip, "me");
    free(clip);

    // A password field neither copies nor cuts.
    q_gui_textarea_set_text(g.ctx, ta, "secret");
    q_gui_textarea_set_mask_char(g.ctx, ta, '*');
    g.chr(ALLEGRO_KEY_A, ALLEGRO_KEYMOD_CTRL, 1);
    g.chr(ALLEGRO_KEY_X, ALLEGRO_KEYMOD_CTRL, 24);
    g.chr(ALLEGRO_KEY_C, ALLEGRO_KEYMOD_CTRL, 3);
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), "secret");
    clip = q_clipboard_get(0);
    ASSERT_NE(clip, nullptr);
    EXPECT_STREQ(clip, "me");
    free(clip);
    g.draw(); // the masked text draws without touching the clipboard
}

TEST(TextArea, EnterIsLeftToTheWindowInASingleLineArea) {
    Gui g;
    const int one = q_gui_add_textarea(g.ctx, g.win, 10, 10, 300, 24, 0, 0, nullptr, nullptr);
    const int many = q_gui_add_textarea(g.ctx, g.win, 10, 50, 300, 100, 1, 0, nullptr, nullptr);
    q_gui_textarea_set_text(g.ctx, one, "ab");
    q_gui_set_focus(g.ctx, one);
    EXPECT_EQ(g.chr(ALLEGRO_KEY_ENTER, 0, 13), 0);
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, one), "ab");
    EXPECT_EQ(q_gui_focus_takes_key(g.ctx, ALLEGRO_KEY_ENTER), 1);

    q_gui_textarea_set_text(g.ctx, many, "ab");
    q_gui_textarea_set_selection(g.ctx, many, 1, 1);
    q_gui_set_focus(g.ctx, many);
    EXPECT_EQ(g.chr(ALLEGRO_KEY_ENTER, 0, 13), 1);
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, many), "a\nb");
    // Up from the second line goes to the first at the same column, up
    // again to the start; down from the last line to the end.
    q_gui_textarea_set_selection(g.ctx, many, 3, 3);
    g.chr(ALLEGRO_KEY_UP);
    EXPECT_EQ(q_gui_textarea_get_caret(g.ctx, many), 1);
    g.chr(ALLEGRO_KEY_UP);
    EXPECT_EQ(q_gui_textarea_get_caret(g.ctx, many), 0);
    g.chr(ALLEGRO_KEY_DOWN);
    g.chr(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(q_gui_textarea_get_caret(g.ctx, many), 3);
}

namespace {
int suggest_words(const char *word, Q_GUI_LISTITEM *items, int max, void *) {
    static const char *const words[] = {"server", "service", "session", "subnet", "volume"};
    int n = 0;
    for (const char *w : words)
        if (n < max && !strncmp(w, word, strlen(word)))
            snprintf(items[n++].text, sizeof items[0].text, "%s", w);
    return n;
}
} // namespace

TEST(TextArea, SuggestionsOpenMoveAndAccept) {
    Gui g;
    g_changes = 0;
    const int ta = q_gui_add_textarea(g.ctx, g.win, 10, 10, 300, 24, 0, 0, on_text, nullptr);
    const int other = q_gui_add_textarea(g.ctx, g.win, 10, 50, 300, 24, 0, 0, nullptr, nullptr);
    q_gui_textarea_set_suggest(g.ctx, ta, suggest_words, " ,", nullptr);
    q_gui_textarea_set_suggest(g.ctx, other, suggest_words, " ", nullptr);
    q_gui_set_focus(g.ctx, ta);
    g.type("list se");
    int count = 0, hl = -1;
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, &count, &hl), 1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(hl, 0);
    g.chr(ALLEGRO_KEY_DOWN);
    g.chr(ALLEGRO_KEY_DOWN);
    g.chr(ALLEGRO_KEY_DOWN); // stays on the last
    q_gui_textarea_suggest_state(g.ctx, ta, &count, &hl);
    EXPECT_EQ(hl, 2);
    g.chr(ALLEGRO_KEY_UP);
    EXPECT_EQ(g.chr(ALLEGRO_KEY_ENTER, 0, 13), 1);
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), "list service");
    EXPECT_EQ(q_gui_textarea_get_caret(g.ctx, ta), 12);
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, nullptr, nullptr), 0);
    EXPECT_EQ(g_last_text, "list service");

    // Tab accepts too (the focus stays), a word without completions closes,
    // Escape closes.
    g.type(",v");
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, &count, nullptr), 1);
    EXPECT_EQ(count, 1);
    g.chr(ALLEGRO_KEY_TAB, 0, 9);
    EXPECT_EQ(q_gui_get_focus(g.ctx), ta);
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), "list service,volume");
    g.type(" sx");
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, nullptr, nullptr), 0);
    g.chr(ALLEGRO_KEY_BACKSPACE, 0, 8);
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, nullptr, nullptr), 1);
    g.draw(); // the list is drawn over the window
    EXPECT_EQ(g.chr(ALLEGRO_KEY_ESCAPE, 0, 27), 1);
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, nullptr, nullptr), 0);
    // Down with the list closed opens it again for the same word.
    g.chr(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, nullptr, nullptr), 1);

    // Another area's list closes this one's.
    q_gui_set_focus(g.ctx, other);
    g.type("vo");
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, other, nullptr, nullptr), 1);
    EXPECT_EQ(q_gui_textarea_suggest_state(g.ctx, ta, nullptr, nullptr), 0);
}

TEST(TextArea, SetTextCutsAtTheMaximumOnACharacterBoundary) {
    Gui g;
    const int ta = q_gui_add_textarea(g.ctx, g.win, 10, 10, 300, 24, 0, 4, nullptr, nullptr);
    q_gui_textarea_set_text(g.ctx, ta, "ab\r\xe2\x82\xac");
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), "ab");
    q_gui_textarea_set_text(g.ctx, ta, "a\r\nbcdef");
    EXPECT_STREQ(q_gui_textarea_get_text(g.ctx, ta), "a\nbc");
    EXPECT_EQ(q_gui_textarea_get_caret(g.ctx, ta), 0);
}

// ---- data grid ---------------------------------------------------------------------

namespace {
std::vector<std::string> column(Q_GUI_CTX *ctx, int grid, int col) {
    std::vector<std::string> out;
    for (int r = 0; r < q_gui_datagrid_row_count(ctx, grid); r++)
        out.push_back(q_gui_datagrid_get_cell(ctx, grid, r, col));
    return out;
}
int g_selects = 0, g_last_row = -1;
void on_row(int, int row, void *) {
    g_selects++;
    g_last_row = row;
}
int g_ctx_row = -1;
void on_context(int, int row, float, float, void *) {
    g_ctx_row = row;
}
} // namespace

TEST(DataGrid, SortsNumbersNumericallyAndTextWithoutCase) {
    Gui g;
    const int grid = q_gui_add_datagrid(g.ctx, g.win, 10, 10, 400, 300, nullptr, nullptr);
    q_gui_datagrid_add_column(g.ctx, grid, "Name", 120);
    q_gui_datagrid_add_column(g.ctx, grid, "Tag", 120);
    const char *rows[][2] = {{"10", "a"},
                             {"9", "b"},
                             {"abc", "c"},
                             {"Abd", "d"},
                             {"", "e"},
                             {"010", "f"},
                             {"123456789012345678901234567890", "g"},
                             {"ABC", "h"}};
    for (auto &r : rows)
        q_gui_datagrid_add_row(g.ctx, grid, r);
    q_gui_datagrid_sort(g.ctx, grid, 0, 1);
    // Empty text first; 10 and 010 are equal numbers and keep their order;
    // abc and ABC are equal text and keep theirs.
    EXPECT_EQ(column(g.ctx, grid, 0),
              (std::vector<std::string>{"", "9", "10", "010", "123456789012345678901234567890", "abc", "ABC",
                                        "Abd"}));
    q_gui_datagrid_sort(g.ctx, grid, 0, -1);
    EXPECT_EQ(column(g.ctx, grid, 0),
              (std::vector<std::string>{"Abd", "abc", "ABC", "123456789012345678901234567890", "10", "010",
                                        "9", ""}));
    int col = -2, dir = 0;
    q_gui_datagrid_get_sort(g.ctx, grid, &col, &dir);
    EXPECT_EQ(col, 0);
    EXPECT_EQ(dir, -1);
    // The other cells travel with their rows.
    EXPECT_STREQ(q_gui_datagrid_get_cell(g.ctx, grid, 0, 1), "d");
    EXPECT_EQ(q_gui_datagrid_get_cell(g.ctx, grid, 0, 2), nullptr);
    EXPECT_EQ(q_gui_datagrid_get_cell(g.ctx, grid, 8, 0), nullptr);
}

TEST(DataGrid, TitleClicksCycleAscendingDescendingAscending) {
    Gui g;
    const int grid = q_gui_add_datagrid(g.ctx, g.win, 10, 10, 400, 300, nullptr, nullptr);
    q_gui_datagrid_add_column(g.ctx, grid, "A", 100);
    q_gui_datagrid_add_column(g.ctx, grid, "B", 100);
    for (const char *v : {"2", "3", "1"}) {
        const char *cells[2] = {v, "x"};
        q_gui_datagrid_add_row(g.ctx, grid, cells);
    }
    const float hy = 10 + q_gui_datagrid_row_height(g.ctx, grid) / 2;
    const int expect_dir[] = {1, -1, 1};
    const char *expect_first[] = {"1", "3", "1"};
    for (int i = 0; i < 3; i++) {
        g.click(60, hy);
        int col, dir;
        q_gui_datagrid_get_sort(g.ctx, grid, &col, &dir);
        EXPECT_EQ(col, 0);
        EXPECT_EQ(dir, expect_dir[i]) << "click " << i + 1;
        EXPECT_STREQ(q_gui_datagrid_get_cell(g.ctx, grid, 0, 0), expect_first[i]);
    }
    // Another title starts ascending again.
    g.click(160, hy);
    int col, dir;
    q_gui_datagrid_get_sort(g.ctx, grid, &col, &dir);
    EXPECT_EQ(col, 1);
    EXPECT_EQ(dir, 1);
    // A drag on the border between the titles resizes instead of sorting.
    g.mouse(ALLEGRO_EVENT_MOUSE_AXES, 110, hy, 0);
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, 110, hy);
    g.mouse(ALLEGRO_EVENT_MOUSE_AXES, 150, hy, 0);
    g.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, 150, hy);
    EXPECT_FLOAT_EQ(q_gui_datagrid_get_column_width(g.ctx, grid, 0), 140);
    q_gui_datagrid_get_sort(g.ctx, grid, &col, &dir);
    EXPECT_EQ(col, 1);
    q_gui_datagrid_set_column_width(g.ctx, grid, 0, 3);
    EXPECT_FLOAT_EQ(q_gui_datagrid_get_column_width(g.ctx, grid, 0), 16);
}

TEST(DataGrid, ColumnsAreRefusedOnceRowsExist) {
    Gui g;
    const int grid = q_gui_add_datagrid(g.ctx, g.win, 10, 10, 400, 300, nullptr, nullptr);
    EXPECT_EQ(q_gui_datagrid_add_column(g.ctx, grid, "A", 100), 0);
    const char *cells[1] = {"x"};
    EXPECT_EQ(q_gui_datagrid_add_row(g.ctx, grid, cells), 0);
    EXPECT_EQ(q_gui_datagrid_add_column(g.ctx, grid, "B", 100), -1);
    EXPECT_EQ(q_gui_datagrid_column_count(g.ctx, grid), 1);
    q_gui_datagrid_clear(g.ctx, grid);
    EXPECT_EQ(q_gui_datagrid_add_column(g.ctx, grid, "B", 100), 1);
    // A missing cell array or cell becomes empty text.
    EXPECT_EQ(q_gui_datagrid_add_row(g.ctx, grid, nullptr), 0);
    EXPECT_STREQ(q_gui_datagrid_get_cell(g.ctx, grid, 0, 1), "");
}

TEST(DataGrid, CtrlAndShiftBuildAMultiSelection) {
    Gui g;
    g_selects = 0;
    const int grid = q_gui_add_datagrid(g.ctx, g.win, 10, 10, 400, 300, on_row, nullptr);
    q_gui_datagrid_add_column(g.ctx, grid, "A", 100);
    for (int i = 0; i < 10; i++) {
        char v[8];
        snprintf(v, sizeof v, "%d", i);
        const char *cells[1] = {v};
        q_gui_datagrid_add_row(g.ctx, grid, cells);
    }
    q_gui_datagrid_set_multi_select(g.ctx, grid, 1);
    const float rh = q_gui_datagrid_row_height(g.ctx, grid);
    auto row_y = [&](int r) { return 10 + rh + rh * (float)r + rh / 2; };
    auto selected = [&]() {
        int out[16];
        const int n = q_gui_datagrid_get_selected_rows(g.ctx, grid, out, 16);
        return std::vector<int>(out, out + n);
    };
    g.click(50, row_y(2));
    EXPECT_EQ(selected(), (std::vector<int>{2}));
    g.hold(ALLEGRO_KEY_LCTRL);
    g.click(50, row_y(5));
    g.click(50, row_y(7));
    g.click(50, row_y(2)); // flips 2 off, anchor 2
    g.release(ALLEGRO_KEY_LCTRL);
    EXPECT_EQ(selected(), (std::vector<int>{5, 7}));
    g.hold(ALLEGRO_KEY_LSHIFT);
    g.click(50, row_y(4)); // rows between the anchor (2) and 4
    g.release(ALLEGRO_KEY_LSHIFT);
    EXPECT_EQ(selected(), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(q_gui_datagrid_get_selected_row(g.ctx, grid), 4);
    EXPECT_EQ(g_selects, 5);
    EXPECT_EQ(g_last_row, 4);
    // A right press on a selected row keeps the selection.
    q_gui_datagrid_set_context_callback(g.ctx, grid, on_context, nullptr);
    g.click(50, row_y(3), 2);
    EXPECT_EQ(g_ctx_row, 3);
    EXPECT_EQ(selected(), (std::vector<int>{2, 3, 4}));
    g.click(50, row_y(8), 2);
    EXPECT_EQ(selected(), (std::vector<int>{8}));
    // Without a modifier a click selects only the row.
    g.click(50, row_y(6));
    EXPECT_EQ(selected(), (std::vector<int>{6}));
    // Keyboard: Down moves the selection and calls back; End goes last.
    g_selects = 0;
    g.chr(ALLEGRO_KEY_DOWN);
    EXPECT_EQ(selected(), (std::vector<int>{7}));
    g.chr(ALLEGRO_KEY_END);
    EXPECT_EQ(q_gui_datagrid_get_selected_row(g.ctx, grid), 9);
    g.chr(ALLEGRO_KEY_END); // no change, no callback
    EXPECT_EQ(g_selects, 2);
}

TEST(DataGrid, RowColoursAndSelectionFollowTheirRowsThroughASort) {
    Gui g;
    const int grid = q_gui_add_datagrid(g.ctx, g.win, 10, 10, 400, 300, nullptr, nullptr);
    q_gui_datagrid_add_column(g.ctx, grid, "Status", 100);
    for (const char *v : {"error", "active", "build"}) {
        const char *cells[1] = {v};
        q_gui_datagrid_add_row(g.ctx, grid, cells);
    }
    const ALLEGRO_COLOR red = al_map_rgb(200, 40, 40);
    q_gui_datagrid_set_row_color(g.ctx, grid, 0, red);
    q_gui_datagrid_set_selected_row(g.ctx, grid, 1);
    q_gui_datagrid_sort(g.ctx, grid, 0, 1); // active, build, error
    ALLEGRO_COLOR c;
    EXPECT_EQ(q_gui_datagrid_get_row_color(g.ctx, grid, 0, &c), 0);
    EXPECT_EQ(q_gui_datagrid_get_row_color(g.ctx, grid, 1, &c), 0);
    ASSERT_EQ(q_gui_datagrid_get_row_color(g.ctx, grid, 2, &c), 1);
    EXPECT_FLOAT_EQ(c.r, red.r);
    EXPECT_EQ(q_gui_datagrid_get_selected_row(g.ctx, grid), 0);
    EXPECT_STREQ(q_gui_datagrid_get_cell(g.ctx, grid, 0, 0), "active");
    g.draw();
    q_gui_datagrid_clear(g.ctx, grid);
    EXPECT_EQ(q_gui_datagrid_get_selected_row(g.ctx, grid), -1);
    const char *cells[1] = {"new"};
    q_gui_datagrid_add_row(g.ctx, grid, cells);
    EXPECT_EQ(q_gui_datagrid_get_row_color(g.ctx, grid, 0, &c), 0);
}

TEST(DataGrid, ColumnOrderVisibilityAndScrolling) {
    Gui g;
    const int grid = q_gui_add_datagrid(g.ctx, g.win, 10, 10, 200, 200, nullptr, nullptr);
    for (const char *t : {"A", "B", "C"})
        q_gui_datagrid_add_column(g.ctx, grid, t, 100);
    q_gui_datagrid_move_column(g.ctx, grid, 2, 0);
    EXPECT_EQ(q_gui_datagrid_column_at(g.ctx, grid, 0), 2);
    EXPECT_EQ(q_gui_datagrid_column_at(g.ctx, grid, 1), 0);
    EXPECT_EQ(q_gui_datagrid_column_at(g.ctx, grid, 2), 1);
    q_gui_datagrid_move_column(g.ctx, grid, 2, 2);
    EXPECT_EQ(q_gui_datagrid_column_at(g.ctx, grid, 2), 2);
    for (int i = 0; i < 1000; i++)
        q_gui_datagrid_add_row(g.ctx, grid, nullptr);
    q_gui_datagrid_scroll_to_row(g.ctx, grid, 5000);
    const int first = q_gui_datagrid_get_first_row(g.ctx, grid);
    EXPECT_GT(first, 900);
    EXPECT_LT(first, 1000);
    q_gui_datagrid_set_hscroll(g.ctx, grid, 1000);
    EXPECT_GT(q_gui_datagrid_get_hscroll(g.ctx, grid), 0);
    q_gui_datagrid_set_column_visible(g.ctx, grid, 1, 0);
    q_gui_datagrid_set_column_visible(g.ctx, grid, 2, 0);
    EXPECT_EQ(q_gui_datagrid_get_hscroll(g.ctx, grid), 0); // one column fits
    EXPECT_EQ(q_gui_datagrid_remove_row(g.ctx, grid, 999), 0);
    EXPECT_EQ(q_gui_datagrid_row_count(g.ctx, grid), 999);
    g.draw();
}

// ---- combobox, listbox, checkbox ----------------------------------------------------

TEST(Combobox, IndexChecksAndPicking) {
    Gui g;
    g_last_row = -1;
    const int cb = q_gui_add_combobox(
        g.ctx, g.win, 10, 10, 200, 24, [](int, int i, void *) { g_last_row = i; }, nullptr);
    for (const char *t : {"small", "medium", "large"})
        q_gui_combobox_add_item(g.ctx, cb, t);
    q_gui_combobox_set_selected(g.ctx, cb, 3); // equal to the count: ignored
    EXPECT_EQ(q_gui_combobox_get_selected(g.ctx, cb), -1);
    q_gui_combobox_set_selected(g.ctx, cb, 1);
    q_gui_combobox_set_selected(g.ctx, cb, -2);
    EXPECT_EQ(q_gui_combobox_get_selected(g.ctx, cb), 1);
    EXPECT_EQ(g_last_row, -1); // setting calls nothing back
    EXPECT_STREQ(q_gui_combobox_get_item_text(g.ctx, cb, 3), "");
    EXPECT_STREQ(q_gui_combobox_get_item_text(g.ctx, cb, -1), "");
    EXPECT_STREQ(q_gui_combobox_get_item_text(g.ctx, cb, 2), "large");

    // Click opens below; a click on the third row picks it.
    g.click(50, 20);
    float x, y, w, h;
    ASSERT_EQ(q_gui_combobox_list_rect(g.ctx, cb, &x, &y, &w, &h), 1);
    EXPECT_FLOAT_EQ(y, 10 + 24 + Gui::tb);
    EXPECT_EQ(q_gui_menu_is_open(g.ctx), 1);
    g.draw();
    g.click(50, 34 + 24 * 2 + 5);
    EXPECT_EQ(q_gui_combobox_get_selected(g.ctx, cb), 2);
    EXPECT_EQ(g_last_row, 2);
    EXPECT_EQ(q_gui_menu_is_open(g.ctx), 0);
    // Keys in the open list: Escape closes only the list.
    g.click(50, 20);
    EXPECT_EQ(g.chr(ALLEGRO_KEY_ESCAPE, 0, 27), 1);
    EXPECT_EQ(q_gui_menu_is_open(g.ctx), 0);
    g.click(50, 20);
    g.chr(ALLEGRO_KEY_HOME);
    g.chr(ALLEGRO_KEY_DOWN);
    g.chr(ALLEGRO_KEY_ENTER, 0, 13);
    EXPECT_EQ(q_gui_combobox_get_selected(g.ctx, cb), 1);
    q_gui_combobox_clear(g.ctx, cb);
    EXPECT_EQ(q_gui_combobox_get_selected(g.ctx, cb), -1);
    EXPECT_EQ(q_gui_combobox_count(g.ctx, cb), 0);
}

TEST(Combobox, OpensAboveNearTheDisplayBottom) {
    struct CASE {
        const char *name;
        float y;
        int flags;
        bool above;
    };
    // Six rows of 24 px = 144 px of list; the content starts 28 px down.
    const CASE cases[] = {
        {"room below", 100, 0, false},
        {"no room below", 500, 0, true},
        {"flag 2 with room above", 300, Q_GUI_COMBOBOX_OPEN_ABOVE, true},
        {"flag 2 without room above", 20, Q_GUI_COMBOBOX_OPEN_ABOVE, false},
    };
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.name);
        Gui g;
        const int cb = q_gui_add_combobox(g.ctx, g.win, 10, c.y, 200, 24, nullptr, nullptr);
        for (int i = 0; i < 8; i++)
            q_gui_combobox_add_item(g.ctx, cb, "item");
        q_gui_combobox_set_flags(g.ctx, cb, c.flags);
        q_gui_combobox_set_open(g.ctx, cb, 1);
        float x, y, w, h;
        ASSERT_EQ(q_gui_combobox_list_rect(g.ctx, cb, &x, &y, &w, &h), 1);
        EXPECT_FLOAT_EQ(h, 24 * 6);
        EXPECT_FLOAT_EQ(y, c.above ? c.y + Gui::tb - h : c.y + Gui::tb + 24);
    }
}

TEST(Listbox, SelectionModesAndWheel) {
    struct CASE {
        int mode;
        std::vector<int> clicks;
        std::vector<int> selected;
    };
    const CASE cases[] = {
        {0, {1, 2}, {}},
        {1, {1, 2}, {2}},
        {2, {1, 2, 1}, {2}},
        {2, {0, 3}, {0, 3}},
    };
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.mode);
        Gui g;
        const int lb = q_gui_add_listbox(g.ctx, g.win, 10, 10, 200, 100, c.mode, nullptr, nullptr);
        for (int i = 0; i < 50; i++)
            q_gui_listbox_add_item(g.ctx, lb, "row");
        for (int i : c.clicks)
            g.click(50, 10 + 20 * (float)i + 5);
        std::vector<int> sel;
        for (int i = 0; i < 50; i++)
            if (q_gui_listbox_is_selected(g.ctx, lb, i)) sel.push_back(i);
        EXPECT_EQ(sel, c.selected);
    }
    Gui g;
    const int lb = q_gui_add_listbox(g.ctx, g.win, 10, 10, 200, 100, 1, nullptr, nullptr);
    for (int i = 0; i < 50; i++)
        q_gui_listbox_add_item(g.ctx, lb, "row");
    ALLEGRO_EVENT ev;
    memset(&ev, 0, sizeof ev);
    ev.type = ALLEGRO_EVENT_MOUSE_AXES;
    ev.mouse.x = 50;
    ev.mouse.y = 60;
    ev.mouse.dz = -1;
    ev.mouse.display = g_display;
    g.feed(ev);
    EXPECT_FLOAT_EQ(q_gui_listbox_get_scroll(g.ctx, lb), 60); // three whole items
    q_gui_listbox_set_scroll(g.ctx, lb, 1e6f);
    EXPECT_FLOAT_EQ(q_gui_listbox_get_scroll(g.ctx, lb), 50 * 20 - 100);
    g.draw();
}

TEST(Checkbox, ClickAndSpaceToggleSettersDoNotCallBack) {
    Gui g;
    g_last_row = -1;
    const int cb = q_gui_add_checkbox(
        g.ctx, g.win, "Enabled", 10, 10, 200, 24, 0, [](int, int state, void *) { g_last_row = state; },
        nullptr);
    g.click(20, 20);
    EXPECT_EQ(q_gui_checkbox_is_checked(g.ctx, cb), 1);
    EXPECT_EQ(g_last_row, 1);
    EXPECT_EQ(q_gui_get_focus(g.ctx), cb);
    g.chr(ALLEGRO_KEY_SPACE, 0, ' ');
    EXPECT_EQ(q_gui_checkbox_is_checked(g.ctx, cb), 0);
    EXPECT_EQ(g_last_row, 0);
    q_gui_checkbox_set_checked(g.ctx, cb, 1);
    EXPECT_EQ(g_last_row, 0);
    EXPECT_STREQ(q_gui_checkbox_get_label(g.ctx, cb), "Enabled");
    g.draw();
}
