// labels: unit
// The console's terminal model: byte streams in, cells, cursor, scrollback and
// replies out; every stream also split at each byte boundary. A second
// opinion from libvterm on the same streams, hostile input, resize, text
// extraction for copying, keys, widths and colours.
#include <gtest/gtest.h>

#include <allegro5/keycodes.h>
#include <cstring>
#include <string>
#include <vector>

#include "kvn_term.h"
#include "q_str.h"

#include <vterm.h>

namespace {

struct TERM_PTR {
    KVN_TERM *t;
    explicit TERM_PTR(KVN_TERM *term) : t(term) {}
    ~TERM_PTR() { kvn_term_free(&t); }
    KVN_TERM *operator->() const { return t; }
    operator KVN_TERM *() const { return t; }
};

void _feed(KVN_TERM *t, const std::string &s) {
    kvn_term_feed(t, s.data(), s.size());
}

std::string _screen_row(const KVN_TERM *t, int row) {
    char buf[KVN_TERM_LINE_TEXT_MAX + 1];
    kvn_term_line_text(t, t->lines_used - t->rows + row, buf, sizeof buf);
    return buf;
}

const KVN_TERM_CELL &_cell(const KVN_TERM *t, int col, int row) {
    return kvn_term_line(t, t->lines_used - t->rows + row)[col];
}

std::string _qstr(Q_STR *s) {
    std::string out = s ? std::string(s->data, s->length) : std::string("<null>");
    free_qstr(&s);
    return out;
}

// Everything a caller can observe, in one comparable string.
std::string _snapshot(const KVN_TERM *t) {
    std::string out;
    char head[512];
    snprintf(head, sizeof head,
             "%dx%d used=%d off=%lld cur=%d,%d wrap=%d region=%d-%d saved=%d,%d pen=%d/%d/%u hid=%d alt=%d "
             "st=%d title=%s reply=%s bp=%d\n",
             t->columns, t->rows, t->lines_used, (long long)t->scrolled_off, t->cursor_col, t->cursor_row,
             t->wrap_pending, t->top, t->bottom, t->saved_col, t->saved_row, t->fg, t->bg, t->attrs,
             t->cursor_hidden, t->alt_active, t->state, t->title, t->reply, t->bracketed_paste);
    out += head;
    for (int i = 0; i < t->lines_used; i++)
        out.append(reinterpret_cast<const char *>(kvn_term_line(t, i)), sizeof(KVN_TERM_CELL) * t->columns);
    return out;
}

// One stream and what it must leave behind.
struct CELL_CHECK {
    int col, row;
    int32_t codepoint, fg, bg;
    uint32_t attrs;
};
struct FEED_CASE {
    const char *name;
    int cols, rows;
    std::string in;
    std::vector<std::string> screen; // rows from the top; missing rows must be empty
    int col, row;
    int wrap = -1;       // -1: not checked
    int scrollback = -1; // lines above the screen; -1: not checked
    std::string reply = "";
    std::string title = "";
    std::vector<CELL_CHECK> cells = {};
};

const int32_t D = KVN_TERM_DEFAULT;

const std::vector<FEED_CASE> &_feed_cases() {
    static const std::vector<FEED_CASE> cases = {
        // ---- printing and wrapping
        {"full line leaves the wrap pending", 10, 3, "abcdefghij", {"abcdefghij"}, 9, 0, 1},
        {"next character wraps", 10, 3, "abcdefghijk", {"abcdefghij", "k"}, 1, 1, 0},
        {"LF implies no CR", 10, 3, "ab\ncd", {"ab", "  cd"}, 4, 1},
        {"CR LF", 10, 3, "ab\r\ncd", {"ab", "cd"}, 2, 1},
        {"VT and FF move down", 10, 3, "a\vb\fc", {"a", " b", "  c"}, 3, 2},
        {"BS stops at column 0", 10, 3, "\b\bx", {"x"}, 1, 0},
        {"BS clears the pending wrap", 10, 3, "abcdefghij\bX", {"abcdefghXj"}, 9, 0, 0},
        {"CR clears the pending wrap", 10, 3, "abcdefghij\rX", {"Xbcdefghij"}, 1, 0, 0},
        {"HT to multiples of 8, at most the last column", 10, 3, "a\tb\tc", {"a       bc"}, 9, 0, 1},
        {"DEL and BEL are ignored", 10, 3, "a\177\007b", {"ab"}, 2, 0},
        {"wrap at the bottom scrolls", 4, 2, "abcdefghij", {"efgh", "ij"}, 2, 1, 0, 1},
        // ---- UTF-8 and its errors
        {"two-byte character", 10, 3, "\303\251t\303\251", {"\303\251t\303\251"}, 3, 0},
        {"cut sequence then ASCII", 10, 3, "\303A", {"?A"}, 2, 0},
        {"stray continuation byte", 10, 3, "a\200b", {"a?b"}, 3, 0},
        {"bytes F8 to FF", 10, 3, "\370\376\377", {"???"}, 3, 0},
        {"overlong forms", 10, 3, "\300\257\340\200\257\360\200\200\257", {"???"}, 3, 0},
        {"surrogate and beyond U+10FFFF", 10, 3, "\355\240\200\364\220\200\200", {"??"}, 2, 0},
        {"decoded controls print ?", 10, 3, "\302\200\302\2331m", {"??1m"}, 4, 0},
        {"ESC ends an unfinished sequence",
         10,
         3,
         "\344\270\033[1mx",
         {"?x"},
         2,
         0,
         -1,
         -1,
         "",
         "",
         {{1, 0, 'x', D, D, KVN_TERM_BOLD}}},
        {"LF ends an unfinished sequence", 10, 3, "\360\237\n", {"?"}, 1, 1},
        {"four-byte lead with too few continuations", 10, 3, "\360\237\230a", {"?a"}, 2, 0},
        {"combining mark is dropped", 10, 3, "e\314\201x", {"ex"}, 2, 0},
        // ---- double width
        {"CJK takes two cells",
         10,
         3,
         "\344\270\255a",
         {"\344\270\255a"},
         3,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 0x4E2D, D, D, 0}, {1, 0, KVN_TERM_WIDE_TAIL, D, D, 0}, {2, 0, 'a', D, D, 0}}},
        {"CJK at the last column wraps first",
         5,
         3,
         "abcd\344\270\255",
         {"abcd", "\344\270\255"},
         2,
         1,
         0,
         -1,
         "",
         "",
         {{4, 0, 0, D, D, 0}, {0, 1, 0x4E2D, D, D, 0}, {1, 1, KVN_TERM_WIDE_TAIL, D, D, 0}}},
        {"CJK ending at the edge leaves the wrap pending",
         4,
         3,
         "ab\344\270\255",
         {"ab\344\270\255"},
         3,
         0,
         1},
        {"CJK at the last column after a cursor move",
         5,
         3,
         "\033[5G\344\270\255",
         {"", "\344\270\255"},
         2,
         1},
        {"CJK on a single column", 1, 3, "\344\270\255", {"\344\270\255"}, 0, 0, 1},
        {"emoji is wide", 10, 3, "\360\237\230\200b", {"\360\237\230\200b"}, 3, 0},
        {"writing over a right half blanks the left half", 10, 3, "\344\270\255\bx", {" x"}, 2, 0},
        {"writing over a left half blanks the right half",
         10,
         3,
         "\344\270\255\rx",
         {"x"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{1, 0, 0, D, D, 0}}},
        // ---- escape sequences
        {"ESC 7 and ESC 8", 10, 3, "ab\0337\r\ncd\0338x", {"abx", "cd"}, 3, 0},
        {"ESC D and ESC E", 10, 3, "ab\033Dc\033Ed", {"ab", "  c", "d"}, 1, 2},
        {"ESC M at the top scrolls down", 10, 3, "top\033Mx", {"   x", "top"}, 4, 0, -1, 0},
        {"ESC M moves up", 10, 3, "\n\nab\033Mc", {"", "  c", "ab"}, 3, 1},
        {"charset designations swallow one byte", 10, 3, "\033(Bx\033)0y\033#8z", {"xyz"}, 3, 0},
        {"unknown escape is ignored", 10, 3, "\033Zab", {"ab"}, 2, 0},
        {"ESC ESC restarts the escape", 10, 3, "\033\033[2Cx", {"  x"}, 3, 0},
        {"C0 inside an escape acts", 10, 3, "a\033\nZx", {"a", " x"}, 2, 1},
        {"ESC c resets",
         10,
         3,
         "\033[2;3r\033[?25l\033[31;1mab\033cx",
         {"x"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'x', D, D, 0}}},
        // ---- CSI cursor movement
        {"CUP 1-based with defaults", 10, 5, "\033[3;4Hx\033[Hy\033[;5fz", {"y   z", "", "   x"}, 5, 0},
        {"CUP clamps", 10, 5, "\033[99;99Hx", {"", "", "", "", "         x"}, 9, 4, 1},
        {"CUU CUD CUF CUB",
         10,
         5,
         "\033[3;3H\033[2Aa\033[3Bb\033[4Cc\033[9Dd",
         {"  a", "", "", "d  b    c"},
         1,
         3},
        {"moves default to 1 and 0 counts as 1", 10, 5, "\033[3;3H\033[A\033[0Ax", {"  x"}, 3, 0},
        {"CNL CPL CHA HPA VPA HPR VPR",
         10,
         5,
         "\033[2Ea\033[Fb\033[7Gc\033[3`d\033[4de\033[2af\033[ej",
         {"", "b d   c", "a", "   e  f", "       j"},
         8,
         4},
        {"CUU stops at the region top from inside", 10, 6, "\033[3;5r\033[4;1H\033[9Ax", {"", "", "x"}, 1, 2},
        {"CUU from below the region goes to row 0", 10, 6, "\033[3;5r\033[6;1H\033[9Ax", {"x"}, 1, 0},
        {"CUD stops at the region bottom from inside",
         10,
         6,
         "\033[2;4r\033[2;1H\033[9Bx",
         {"", "", "", "x"},
         1,
         3},
        {"cursor moves clear the pending wrap", 5, 3, "abcde\033[Dx", {"abcxe"}, 4, 0, 0},
        // ---- erase, insert, delete
        {"ED 0", 5, 3, "aaaaabbbbbccccc\033[2;3H\033[J", {"aaaaa", "bb"}, 2, 1},
        {"ED 1", 5, 3, "aaaaabbbbbccccc\033[2;3H\033[1J", {"", "   bb", "ccccc"}, 2, 1},
        {"ED 2 keeps the cursor", 5, 3, "aaaaabbbbb\033[2J", {}, 4, 1, 1},
        {"EL 0 1 2",
         5,
         3,
         "abcde\r\nfghij\r\nklmno\033[1;3H\033[K\033[2;3H\033[1K\033[3;3H\033[2K",
         {"ab", "   ij"},
         2,
         2},
        {"erased cells take the current background",
         5,
         3,
         "abcde\033[1;2H\033[41;1;4m\033[K",
         {"a"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{1, 0, 0, D, 1, 0}, {4, 0, 0, D, 1, 0}, {0, 0, 'a', D, D, 0}}},
        {"ECH", 6, 3, "abcdef\033[1;2H\033[2X", {"a  def"}, 1, 0},
        {"ECH stops at the line end", 6, 3, "abcdef\033[1;5H\033[99X", {"abcd"}, 4, 0},
        {"ICH shifts right and drops past the edge", 6, 3, "abcdef\033[1;2H\033[2@", {"a  bcd"}, 1, 0},
        {"DCH shifts left and blanks the end", 6, 3, "abcdef\033[1;2H\033[2P", {"adef"}, 1, 0},
        {"DCH over the rest of the line", 6, 3, "abcdef\033[1;3H\033[99P", {"ab"}, 2, 0},
        {"ICH splitting a wide character blanks it", 4, 3, "ab\344\270\255\033[1;1H\033[@", {" ab"}, 0, 0},
        {"DCH of a left half blanks the right half", 4, 3, "\344\270\255ab\033[1;1H\033[P", {" ab"}, 0, 0},
        {"IL inside the region",
         5,
         5,
         "1\r\n2\r\n3\r\n4\r\n5\033[2;4r\033[3;1H\033[L",
         {"1", "2", "", "3", "5"},
         0,
         2},
        {"DL inside the region",
         5,
         5,
         "1\r\n2\r\n3\r\n4\r\n5\033[2;4r\033[2;1H\033[2M",
         {"1", "4", "", "", "5"},
         0,
         1},
        {"IL outside the region does nothing",
         5,
         5,
         "1\r\n2\r\n3\r\n4\r\n5\033[2;4r\033[5;1H\033[L",
         {"1", "2", "3", "4", "5"},
         0,
         4},
        {"IL with a huge count clears to the region bottom",
         5,
         4,
         "1\r\n2\r\n3\r\n4\033[2;1H\033[999L",
         {"1"},
         0,
         1},
        {"SU and SD scroll the region",
         5,
         5,
         "1\r\n2\r\n3\r\n4\r\n5\033[2;4r\033[S\033[2T",
         {"1", "", "", "3", "5"},
         0,
         0,
         -1,
         0},
        {"SU on the full screen feeds the scrollback", 5, 3, "1\r\n2\r\n3\033[2S", {"3"}, 1, 2, -1, 2},
        // ---- scroll regions
        {"LF at the region bottom scrolls only the region",
         5,
         12,
         "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n11\r\n12\033[5;10r\033[10;1H\n",
         {"1", "2", "3", "4", "6", "7", "8", "9", "10", "", "11", "12"},
         0,
         9,
         -1,
         0},
        {"LF below the region stops at the last row",
         5,
         4,
         "\033[1;2r\033[4;1Ha\nb\nc",
         {"", "", "", "abc"},
         3,
         3,
         -1,
         0},
        {"region needs top below bottom", 5, 4, "\033[3;3r\033[2;2Hx\033[4;1H\n", {" x"}, 0, 3, -1, 1},
        {"region bottom out of range is the last row",
         5,
         4,
         "\033[2;99r\033[4;1Hx\n",
         {"", "", "x"},
         1,
         3,
         -1,
         0},
        {"DECSTBM homes the cursor", 5, 4, "\033[3;3H\033[2;3rx", {"x"}, 1, 0},
        // ---- CSI parsing
        {"C0 inside CSI acts without ending it", 10, 3, "\033[2\n;3Hx", {"", "  x"}, 3, 1},
        {"ESC inside CSI restarts the escape", 10, 3, "\033[3\033[2Cx", {"  x"}, 3, 0},
        {"intermediate bytes make it unknown", 10, 3, "\033[2 qx\033[!px", {"xx"}, 2, 0},
        {"other private markers are ignored", 10, 3, "\033[>1Cx\033[=2Cy", {"xy"}, 2, 0},
        {"too long a CSI is dropped at its final byte",
         10,
         3,
         "\033[1111111111111111111111111111111111111111111111111111111111111111111;2Hx",
         {"x"},
         1,
         0},
        {"numbers stop growing", 10, 3, "\033[99999999999999999Gx", {"         x"}, 9, 0, 1},
        {"at most 16 parameters",
         10,
         3,
         "\033[1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;4mx",
         {"x"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'x', D, D, KVN_TERM_BOLD}}},
        {"unknown final is ignored", 10, 3, "\033[5yx", {"x"}, 1, 0},
        // ---- SGR
        {"basic colours and attributes",
         10,
         3,
         "\033[1;4;7;31;42ma\033[22;24;27mb\033[39;49mc",
         {"abc"},
         3,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'a', 1, 2, KVN_TERM_BOLD | KVN_TERM_UNDERLINE | KVN_TERM_REVERSE},
          {1, 0, 'b', 1, 2, 0},
          {2, 0, 'c', D, D, 0}}},
        {"bright colours", 10, 3, "\033[97;100ma", {"a"}, 1, 0, -1, -1, "", "", {{0, 0, 'a', 15, 8, 0}}},
        {"256 colours and out of range",
         10,
         3,
         "\033[38;5;196;48;5;17ma\033[38;5;300mb",
         {"ab"},
         2,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'a', 196, 17, 0}, {1, 0, 'b', D, 17, 0}}},
        {"RGB colours and out of range",
         10,
         3,
         "\033[38;2;255;0;0;48;2;1;2;3ma\033[38;2;256;0;0mb",
         {"ab"},
         2,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'a', KVN_TERM_RGB | 0xFF0000, KVN_TERM_RGB | 0x010203, 0},
          {1, 0, 'b', D, KVN_TERM_RGB | 0x010203, 0}}},
        {"colon separators", 10, 3, "\033[38:5:100ma", {"a"}, 1, 0, -1, -1, "", "", {{0, 0, 'a', 100, D, 0}}},
        {"38 without its arguments ends the rendition",
         10,
         3,
         "\033[4;38m\033[1;48;5m\033[31;38;9;1ma",
         {"a"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'a', 1, D, KVN_TERM_UNDERLINE | KVN_TERM_BOLD}}},
        {"parameters after an extended colour",
         10,
         3,
         "\033[38;5;2;1ma",
         {"a"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'a', 2, D, KVN_TERM_BOLD}}},
        {"empty and 0 reset",
         10,
         3,
         "\033[1;31ma\033[mb\033[4;41ma\033[0mb",
         {"abab"},
         4,
         0,
         -1,
         -1,
         "",
         "",
         {{1, 0, 'b', D, D, 0}, {3, 0, 'b', D, D, 0}}},
        {"unknown renditions are ignored",
         10,
         3,
         "\033[3;5;9;53;31ma",
         {"a"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'a', 1, D, 0}}},
        // ---- replies
        {"cursor position report is 1-based",
         10,
         5,
         "\033[6n\033[3;7H\033[6n",
         {},
         6,
         2,
         -1,
         -1,
         "\033[1;1R\033[3;7R"},
        {"status and device attributes",
         10,
         5,
         "\033[5n\033[c\033[>c",
         {},
         0,
         0,
         -1,
         -1,
         "\033[0n\033[?1;2c"},
        {"replies that do not fit are dropped",
         10,
         5,
         "\033[6n\033[6n\033[6n\033[6n\033[6n\033[6n",
         {},
         0,
         0,
         -1,
         -1,
         "\033[1;1R\033[1;1R\033[1;1R\033[1;1R\033[1;1R"},
        // ---- OSC
        {"title with BEL", 10, 3, "\033]0;my title\007x", {"x"}, 1, 0, -1, -1, "", "my title"},
        {"title with ESC backslash", 10, 3, "\033]2;t\001\303\251\033\\x", {"x"}, 1, 0, -1, -1, "", "t"},
        {"other OSC leaves the title",
         10,
         3,
         "\033]1;icon\007\033]52;c;aGk=\007x",
         {"x"},
         1,
         0,
         -1,
         -1,
         "",
         ""},
        {"OSC keeps 63 bytes",
         10,
         3,
         "\033]0;" + std::string(100, 'a') + "\007",
         {},
         0,
         0,
         -1,
         -1,
         "",
         std::string(61, 'a')},
        {"OSC ESC other starts a new escape",
         10,
         3,
         "\033]0;abc\033[1mX",
         {"X"},
         1,
         0,
         -1,
         -1,
         "",
         "",
         {{0, 0, 'X', D, D, KVN_TERM_BOLD}}},
        {"C0 in OSC does not print", 10, 3, "\033]0;a\nb\007x", {"x"}, 1, 0, -1, -1, "", "ab"},
        // ---- alternate screen
        {"1049 restores screen and cursor, no scrollback",
         10,
         3,
         "hello\033[?1049h\033[31mdraw\r\n\n\n\n\n\nmore\033[?1049lx",
         {"hellox"},
         6,
         0,
         -1,
         0},
        {"47 keeps the cursor", 10, 3, "ab\033[?47h\r\n\ncd\033[?47lx", {"ab", "", "  x"}, 3, 2},
        {"1047 and a second entry", 10, 3, "ab\033[?1047h\033[?1047hcd\033[?1047l", {"ab"}, 4, 0},
        {"leaving while not in it does nothing", 10, 3, "ab\033[?1049lx", {"abx"}, 3, 0},
        {"modes in one sequence", 10, 3, "ab\033[?25;1049hcd\033[?1049;25lx", {"abx"}, 3, 0},
        // ---- scrollback
        {"lines scrolled off the top are kept", 5, 3, "1\r\n2\r\n3\r\n4\r\n5", {"3", "4", "5"}, 1, 2, -1, 2},
    };
    return cases;
}

void _check_case(const FEED_CASE &c, const KVN_TERM *t) {
    SCOPED_TRACE(c.name);
    for (int r = 0; r < t->rows; r++)
        EXPECT_EQ(_screen_row(t, r), r < (int)c.screen.size() ? c.screen[r] : std::string()) << "row " << r;
    EXPECT_EQ(t->cursor_col, c.col);
    EXPECT_EQ(t->cursor_row, c.row);
    if (c.wrap >= 0) {
        EXPECT_EQ(t->wrap_pending, c.wrap);
    }
    if (c.scrollback >= 0) {
        EXPECT_EQ(t->lines_used - t->rows, c.scrollback);
    }
    EXPECT_EQ(std::string(t->reply, t->reply_len), c.reply);
    EXPECT_EQ(std::string(t->title), c.title);
    for (const CELL_CHECK &k : c.cells) {
        const KVN_TERM_CELL &cell = _cell(t, k.col, k.row);
        EXPECT_EQ(cell.codepoint, k.codepoint) << "cell " << k.col << "," << k.row;
        EXPECT_EQ(cell.fg, k.fg) << "cell " << k.col << "," << k.row;
        EXPECT_EQ(cell.bg, k.bg) << "cell " << k.col << "," << k.row;
        EXPECT_EQ(cell.attrs, k.attrs) << "cell " << k.col << "," << k.row;
    }
}

TEST(KvnTerm, StreamsGiveTheirScreens) {
    for (const FEED_CASE &c : _feed_cases()) {
        TERM_PTR t(kvn_term_new(c.cols, c.rows));
        ASSERT_TRUE(t.t);
        _feed(t, c.in);
        _check_case(c, t);
    }
}

// The parser's state lives in the terminal, so a stream cut anywhere (inside
// a UTF-8 character, a CSI, an OSC) reads exactly as in one piece.
TEST(KvnTerm, SplitStreamsReadTheSame) {
    for (const FEED_CASE &c : _feed_cases()) {
        SCOPED_TRACE(c.name);
        TERM_PTR whole(kvn_term_new(c.cols, c.rows));
        _feed(whole, c.in);
        const std::string want = _snapshot(whole);
        for (size_t k = 1; k < c.in.size(); k++) {
            TERM_PTR t(kvn_term_new(c.cols, c.rows));
            _feed(t, c.in.substr(0, k));
            _feed(t, c.in.substr(k));
            ASSERT_EQ(_snapshot(t), want) << "split at " << k;
        }
        TERM_PTR bytes(kvn_term_new(c.cols, c.rows));
        for (char ch : c.in)
            kvn_term_feed(bytes, &ch, 1);
        ASSERT_EQ(_snapshot(bytes), want) << "byte by byte";
    }
}

TEST(KvnTerm, CreationLimits) {
    struct {
        int cols, rows;
        bool ok;
    } cases[] = {{1, 1, true},     {300, 120, true}, {0, 24, false}, {80, 0, false},
                 {301, 24, false}, {80, 121, false}, {-1, -1, false}};
    for (auto &c : cases) {
        KVN_TERM *t = kvn_term_new(c.cols, c.rows);
        EXPECT_EQ(t != nullptr, c.ok) << c.cols << "x" << c.rows;
        if (t) {
            EXPECT_EQ(t->lines_used, c.rows);
            EXPECT_EQ(t->ring_lines, c.rows + KVN_TERM_SCROLLBACK);
            const KVN_TERM_CELL &cell = _cell(t, c.cols - 1, c.rows - 1);
            EXPECT_EQ(cell.codepoint, 0);
            EXPECT_EQ(cell.fg, D);
            EXPECT_EQ(cell.bg, D);
        }
        kvn_term_free(&t);
        EXPECT_EQ(t, nullptr);
    }
}

// Once the ring is full every full-screen scroll drops the oldest line and
// counts it, so absolute line numbers of selections stay put.
TEST(KvnTerm, ScrollbackRingKeeps2000Lines) {
    TERM_PTR t(kvn_term_new(80, 24));
    std::string s;
    for (int i = 0; i < 2100; i++)
        s += "line " + std::to_string(i) + "\r\n";
    _feed(t, s.substr(0, s.find("line 100\r")));
    EXPECT_EQ(t->lines_used, 101); // 100 lines and the cursor's line
    EXPECT_EQ(t->scrolled_off, 0);
    // Memory follows what was printed, not the ring's size.
    EXPECT_LT(t->ring_alloc, 256);
    // A ring resized while partly grown grows again from there and rotates.
    ASSERT_EQ(kvn_term_resize(t, 100, 30), 0);
    EXPECT_EQ(t->ring_alloc, 101);
    _feed(t, s);
    EXPECT_EQ(t->lines_used, 2030);
    EXPECT_EQ(t->ring_alloc, 2030);
    char last[64];
    kvn_term_line_text(t, 2028, last, sizeof last);
    EXPECT_STREQ(last, "line 2099");
    TERM_PTR u(kvn_term_new(80, 24));
    _feed(u, s);
    // 2100 lines and the empty cursor line: 2101 lines went through the screen.
    EXPECT_EQ(u->lines_used, 2024);
    EXPECT_EQ(u->scrolled_off, 2101 - 2024);
    char buf[64];
    kvn_term_line_text(u, 0, buf, sizeof buf);
    EXPECT_STREQ(buf, "line 77");
    kvn_term_line_text(u, 2022, buf, sizeof buf);
    EXPECT_STREQ(buf, "line 2099");
    const int64_t before = u->scrolled_off;
    _feed(u, "\n\n\n");
    EXPECT_EQ(u->scrolled_off, before + 3);
    EXPECT_EQ(u->lines_used, 2024);
    // A partial region never touches the ring.
    _feed(u, "\033[2;23r\033[23;1H\n\n\n");
    EXPECT_EQ(u->scrolled_off, before + 3);
    // The alternate screen never feeds it either.
    _feed(u, "\033[r\033[?1049h\033[24;1H\n\n\n\033[?1049l");
    EXPECT_EQ(u->scrolled_off, before + 3);
}

TEST(KvnTerm, GenerationChangesWithFeedAndResize) {
    TERM_PTR t(kvn_term_new(10, 3));
    uint64_t g = t->generation;
    _feed(t, "a");
    EXPECT_GT(t->generation, g);
    g = t->generation;
    EXPECT_EQ(kvn_term_resize(t, 10, 3), 0);
    EXPECT_EQ(t->generation, g); // equal size does nothing
    EXPECT_EQ(kvn_term_resize(t, 12, 3), 0);
    EXPECT_GT(t->generation, g);
}

// ---- resize ----------------------------------------------------------------------

struct RESIZE_CASE {
    const char *name;
    int cols, rows;
    std::string in;
    int new_cols, new_rows;
    std::vector<std::string> screen;
    int col, row;
    int64_t scrolled_off;
    int scrollback;
};

TEST(KvnTerm, BracketedPasteFollowsTheHostAndAReset) {
    KVN_TERM *t = kvn_term_new(20, 3);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->bracketed_paste, 0);
    kvn_term_feed(t, "\033[?2004h", 8);
    EXPECT_EQ(t->bracketed_paste, 1);
    kvn_term_feed(t, "\033[?2004l", 8);
    EXPECT_EQ(t->bracketed_paste, 0);
    kvn_term_feed(t, "\033[?25;2004h\033c", 13);
    EXPECT_EQ(t->bracketed_paste, 0);
    kvn_term_free(&t);
}

TEST(KvnTerm, ResizeKeepsLinesUpToTheCursor) {
    std::string many;
    for (int i = 0; i < 2010; i++)
        many += std::to_string(i) + "\r\n";
    const RESIZE_CASE cases[] = {
        {"narrower cuts lines", 6, 3, "abcdef\r\nxy", 3, 3, {"abc", "xy"}, 2, 1, 0, 0},
        {"narrower blanks a cut wide character", 6, 3, "ab\344\270\255", 3, 3, {"ab"}, 2, 0, 0, 0},
        {"wider pads", 3, 3, "abc\r\nd", 6, 3, {"abc", "d"}, 1, 1, 0, 0},
        {"lines below the cursor are dropped",
         5,
         4,
         "1\r\n2\r\n3\r\n4\033[2;1H",
         6,
         4,
         {"1", "2"},
         0,
         1,
         0,
         0},
        {"fewer rows keep the newest lines", 5, 4, "1\r\n2\r\n3\r\n4", 5, 2, {"3", "4"}, 1, 1, 0, 2},
        {"more rows bring scrollback back", 5, 2, "1\r\n2\r\n3\r\n4", 5, 4, {"1", "2", "3", "4"}, 1, 3, 0, 0},
        {"more rows than lines leave the cursor where its line is",
         5,
         3,
         "1\r\n2",
         5,
         6,
         {"1", "2"},
         1,
         1,
         0,
         0},
        {"the alternate screen is left first", 5, 3, "ab\033[?1049h\033[3;3Hzz", 6, 3, {"ab"}, 2, 0, 0, 0},
        {"lines past the new ring count as scrolled off", 5, 3, many, 5, 1, {""}, 0, 0, 2011 - 2001, 2000},
    };
    for (const RESIZE_CASE &c : cases) {
        SCOPED_TRACE(c.name);
        TERM_PTR t(kvn_term_new(c.cols, c.rows));
        _feed(t, c.in);
        _feed(t, "\0337");
        ASSERT_EQ(kvn_term_resize(t, c.new_cols, c.new_rows), 0);
        EXPECT_EQ(t->columns, c.new_cols);
        EXPECT_EQ(t->rows, c.new_rows);
        for (int r = 0; r < t->rows; r++)
            EXPECT_EQ(_screen_row(t, r), r < (int)c.screen.size() ? c.screen[r] : std::string())
                << "row " << r;
        EXPECT_EQ(t->cursor_col, c.col);
        EXPECT_EQ(t->cursor_row, c.row);
        EXPECT_EQ(t->scrolled_off, c.scrolled_off);
        EXPECT_EQ(t->lines_used - t->rows, c.scrollback);
        EXPECT_EQ(t->top, 0);
        EXPECT_EQ(t->bottom, c.new_rows - 1);
        EXPECT_EQ(t->saved_col, 0);
        EXPECT_EQ(t->saved_row, 0);
        EXPECT_EQ(t->alt_active, 0);
        EXPECT_EQ(t->wrap_pending, 0);
    }
}

TEST(KvnTerm, ResizeResetsTheRegion) {
    TERM_PTR t(kvn_term_new(5, 6));
    _feed(t, "\033[2;4r\033[6;1Hx");
    ASSERT_EQ(kvn_term_resize(t, 5, 5), 0);
    EXPECT_EQ(t->top, 0);
    EXPECT_EQ(t->bottom, 4);
    _feed(t, "\n");
    EXPECT_EQ(t->lines_used - t->rows, 2); // the old region would not have fed the scrollback
}

TEST(KvnTerm, ResizeOutOfRangeKeepsTheGrid) {
    TERM_PTR t(kvn_term_new(10, 3));
    _feed(t, "hello\r\nworld");
    const std::string before = _snapshot(t);
    for (auto wh : {std::pair{0, 0}, {0, 3}, {10, 0}, {301, 3}, {10, 121}, {1000, 1000}})
        EXPECT_EQ(kvn_term_resize(t, wh.first, wh.second), -1);
    EXPECT_EQ(_snapshot(t), before);
}

// ---- text for copying ------------------------------------------------------------

TEST(KvnTerm, LineText) {
    TERM_PTR t(kvn_term_new(10, 3));
    _feed(t, "a\033[3Cb  \344\270\255\r\n\033[41m   \033[0m");
    char buf[64];
    EXPECT_EQ(kvn_term_line_text(t, 0, buf, sizeof buf), 10);
    EXPECT_STREQ(buf, "a   b  \344\270\255");
    EXPECT_EQ(kvn_term_line_text(t, 1, buf, sizeof buf), 0); // spaces and blanks are trailing
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(kvn_term_line_text(t, 3, buf, sizeof buf), -1);
    EXPECT_EQ(kvn_term_line_text(t, -1, buf, sizeof buf), -1);
    EXPECT_EQ(kvn_term_line(t, 3), nullptr);
    // Cut at the capacity on a character boundary.
    char small[9];
    EXPECT_EQ(kvn_term_line_text(t, 0, small, sizeof small), 5);
    EXPECT_STREQ(small, "a   b");
    // The widest line fits the documented maximum.
    TERM_PTR w(kvn_term_new(300, 2));
    std::string wide;
    for (int i = 0; i < 300; i++)
        wide += "\360\220\200\200"; // U+10000, narrow, four bytes
    _feed(w, wide);
    char big[KVN_TERM_LINE_TEXT_MAX + 1];
    EXPECT_EQ(kvn_term_line_text(w, 0, big, sizeof big), KVN_TERM_LINE_TEXT_MAX);
}

TEST(KvnTerm, WholeText) {
    TERM_PTR t(kvn_term_new(5, 3));
    _feed(t, "1\r\n2\r\n\r\n4\r\n");
    EXPECT_EQ(_qstr(kvn_term_text(t)), "1\n2\n\n4\n");
    TERM_PTR e(kvn_term_new(5, 3));
    EXPECT_EQ(_qstr(kvn_term_text(e)), "");
}

TEST(KvnTerm, SelectionText) {
    TERM_PTR t(kvn_term_new(10, 3));
    _feed(t, "0123456789\r\nab  cd\r\n\344\270\255xyz\r\nlast");
    // Ring: "0123456789", "ab  cd", "中xyz", "last"; nothing scrolled off yet.
    struct {
        int64_t la;
        int ca;
        int64_t lb;
        int cb;
        const char *want;
    } cases[] = {
        {0, 2, 0, 4, "234"},
        {0, 4, 0, 2, "234"},                      // ends in either order
        {0, 8, 2, 1, "89\nab  cd\n\344\270\255"}, // middle lines whole
        {2, 1, 0, 8, "89\nab  cd\n\344\270\255"},
        {1, 1, 1, 3, "b"},     // trailing blanks trimmed
        {2, 1, 2, 3, "xy"},    // starting on a right half
        {-5, 0, 0, 1, "01"},   // lines before the ring are skipped
        {3, 0, 99, 9, "last"}, // and lines after it
        {50, 0, 60, 9, ""},
    };
    for (auto &c : cases)
        EXPECT_EQ(_qstr(kvn_term_selection_text(t, c.la, c.ca, c.lb, c.cb)), c.want)
            << c.la << "," << c.ca << " " << c.lb << "," << c.cb;
    // Absolute numbers survive the ring dropping lines.
    TERM_PTR u(kvn_term_new(10, 2));
    std::string s;
    for (int i = 0; i < 2050; i++) {
        s += 'L';
        s += std::to_string(i);
        s += "\r\n";
    }
    _feed(u, s);
    ASSERT_GT(u->scrolled_off, 0);
    EXPECT_EQ(_qstr(kvn_term_selection_text(u, 2000, 0, 2001, 9)), "L2000\nL2001");
    EXPECT_EQ(_qstr(kvn_term_selection_text(u, 0, 0, u->scrolled_off, 9)),
              std::string("L").append(std::to_string(u->scrolled_off)));
}

// ---- keys, widths, colours -------------------------------------------------------

TEST(KvnTerm, KeysToBytes) {
    const int S = KVN_TERM_MOD_SHIFT, C = KVN_TERM_MOD_CTRL, A = KVN_TERM_MOD_ALT;
    struct {
        int key, ch, mods;
        std::string want;
    } cases[] = {
        {ALLEGRO_KEY_F1, 0, 0, "\033OP"},
        {ALLEGRO_KEY_F2, 0, 0, "\033OQ"},
        {ALLEGRO_KEY_F3, 0, 0, "\033OR"},
        {ALLEGRO_KEY_F4, 0, 0, "\033OS"},
        {ALLEGRO_KEY_ESCAPE, 27, 0, "\033"},
        {ALLEGRO_KEY_BACKSPACE, 8, 0, "\177"},
        {ALLEGRO_KEY_TAB, 9, 0, "\t"},
        {ALLEGRO_KEY_TAB, 9, S, "\033[Z"},
        {ALLEGRO_KEY_ENTER, 13, 0, "\r"},
        {ALLEGRO_KEY_PAD_ENTER, 13, 0, "\r"},
        {ALLEGRO_KEY_INSERT, 0, 0, "\033[2~"},
        {ALLEGRO_KEY_DELETE, 127, 0, "\033[3~"},
        {ALLEGRO_KEY_HOME, 0, 0, "\033[H"},
        {ALLEGRO_KEY_END, 0, 0, "\033[F"},
        {ALLEGRO_KEY_PGUP, 0, 0, "\033[5~"},
        {ALLEGRO_KEY_PGDN, 0, 0, "\033[6~"},
        {ALLEGRO_KEY_LEFT, 0, 0, "\033[D"},
        {ALLEGRO_KEY_RIGHT, 0, 0, "\033[C"},
        {ALLEGRO_KEY_UP, 0, 0, "\033[A"},
        {ALLEGRO_KEY_DOWN, 0, 0, "\033[B"},
        {ALLEGRO_KEY_A, 'a', 0, "a"},
        {ALLEGRO_KEY_A, 'A', S, "A"},
        {ALLEGRO_KEY_C, 'c', C, "\003"},
        {ALLEGRO_KEY_C, 'C', C | S, "\003"},
        {ALLEGRO_KEY_C, 3, C, "\003"},
        {ALLEGRO_KEY_OPENBRACE, '[', C, "\033"},
        {ALLEGRO_KEY_MINUS, '_', C | S, "\037"},
        {ALLEGRO_KEY_SPACE, ' ', C, std::string(1, '\0')},
        {ALLEGRO_KEY_2, '@', C | S, std::string(1, '\0')},
        {ALLEGRO_KEY_1, '1', C, "1"},
        {ALLEGRO_KEY_X, 'x', A, "\033x"},
        {ALLEGRO_KEY_X, 'x', A | C, "\033\030"},
        {ALLEGRO_KEY_E, 0xE9, 0, "\303\251"},
        {ALLEGRO_KEY_E, 0x20AC, A, "\033\342\202\254"},
        {0, 0x1F600, 0, "\360\237\230\200"},
        {ALLEGRO_KEY_LSHIFT, 0, S, ""},
        {0, -1, 0, ""},
        {0, 0xD800, 0, ""},
        {0, 0x110000, 0, ""},
    };
    for (auto &c : cases) {
        char out[KVN_TERM_KEY_MAX];
        const int n = kvn_term_key(c.key, c.ch, c.mods, out);
        EXPECT_EQ(std::string(out, n), c.want) << "key " << c.key << " char " << c.ch << " mods " << c.mods;
    }
}

TEST(KvnTerm, CharacterWidths) {
    const struct {
        int32_t cp;
        int w;
    } cases[] = {{'a', 1},     {0xE9, 1},    {0x2FF, 1},   {0x300, 0},   {0x36F, 0},   {0x370, 1},
                 {0x1AB0, 0},  {0x1DC0, 0},  {0x200B, 0},  {0x200D, 0},  {0x200E, 1},  {0x20D0, 0},
                 {0xFE0F, 0},  {0xFE0E, 1},  {0xFE20, 0},  {0x10FF, 1},  {0x1100, 2},  {0x115F, 2},
                 {0x1160, 1},  {0x2E80, 2},  {0x303E, 2},  {0x303F, 1},  {0x3040, 1},  {0x3041, 2},
                 {0x4DBF, 2},  {0x4DC0, 1},  {0x4E00, 2},  {0xA4CF, 2},  {0xAC00, 2},  {0xD7A3, 2},
                 {0xD7A4, 1},  {0xF900, 2},  {0xFE30, 2},  {0xFF00, 2},  {0xFF60, 2},  {0xFF61, 1},
                 {0xFFE0, 2},  {0xFFE6, 2},  {0x1F300, 2}, {0x1F64F, 2}, {0x1F650, 1}, {0x1F900, 2},
                 {0x1F9FF, 2}, {0x20000, 2}, {0x3FFFD, 2}, {0x3FFFE, 1}, {0x10FFFF, 1}};
    for (auto &c : cases)
        EXPECT_EQ(kvn_term_char_width(c.cp), c.w) << std::hex << c.cp;
}

TEST(KvnTerm, Colours) {
    const struct {
        int32_t v;
        uint32_t rgb;
    } cases[] = {{0, 0x000000},
                 {1, 0xCD3131},
                 {7, 0xCCCCCC},
                 {8, 0x666666},
                 {12, 0x3B8EEA},
                 {15, 0xF2F2F2},
                 {16, 0x000000},
                 {17, 0x00005F},
                 {196, 0xFF0000},
                 {231, 0xFFFFFF},
                 {59, 0x5F5F5F},
                 {232, 0x080808},
                 {255, 0xEEEEEE},
                 {KVN_TERM_RGB | 0x123456, 0x123456},
                 {KVN_TERM_DEFAULT, 0xCCCCCC},
                 {256, 0xCCCCCC},
                 {-5, 0xCCCCCC},
                 {0x2000000, 0xCCCCCC}};
    for (auto &c : cases)
        EXPECT_EQ(kvn_term_color(c.v), c.rgb) << c.v;
}

// ---- hostile input -----------------------------------------------------------------

// Checks what must hold whatever was fed: sizes within limits, cursor and
// region on the screen, every right half next to a wide left half.
void _check_consistent(const KVN_TERM *t) {
    ASSERT_GE(t->columns, 1);
    ASSERT_LE(t->columns, KVN_TERM_MAX_COLUMNS);
    ASSERT_GE(t->rows, 1);
    ASSERT_LE(t->rows, KVN_TERM_MAX_ROWS);
    ASSERT_GE(t->lines_used, t->rows);
    ASSERT_LE(t->lines_used, t->ring_alloc);
    ASSERT_LE(t->ring_alloc, t->ring_lines);
    ASSERT_GE(t->cursor_col, 0);
    ASSERT_LT(t->cursor_col, t->columns);
    ASSERT_GE(t->cursor_row, 0);
    ASSERT_LT(t->cursor_row, t->rows);
    ASSERT_GE(t->top, 0);
    ASSERT_LT(t->top, t->rows);
    ASSERT_LE(t->bottom, t->rows - 1);
    ASSERT_LE(t->top, t->bottom);
    ASSERT_LE(t->reply_len, KVN_TERM_REPLY_CAP);
    ASSERT_LE(strlen(t->title), (size_t)KVN_TERM_TITLE_CAP);
    for (int i = 0; i < t->lines_used; i++) {
        const KVN_TERM_CELL *line = kvn_term_line(t, i);
        for (int c = 0; c < t->columns; c++)
            if (line[c].codepoint == KVN_TERM_WIDE_TAIL) {
                ASSERT_TRUE(c > 0 && kvn_term_char_width(line[c - 1].codepoint) == 2)
                    << "line " << i << " col " << c;
            }
    }
}

TEST(KvnTerm, HostileInput) {
    TERM_PTR t(kvn_term_new(80, 24));
    std::string csi = "\033[";
    for (int i = 0; i < 10000; i++)
        csi += "1;";
    csi += "31mx";
    _feed(t, csi);
    EXPECT_EQ(_cell(t, 0, 0).fg, D); // the whole sequence is dropped
    EXPECT_EQ(_screen_row(t, 0), "x");
    _check_consistent(t);

    // An unterminated OSC of 1 MiB is swallowed without growing anything.
    _feed(t, "\033]0;" + std::string(1 << 20, 'A'));
    EXPECT_EQ(t->osc_len, KVN_TERM_PARAM_CAP);
    _feed(t, "\007y");
    EXPECT_EQ(std::string(t->title), std::string(61, 'A'));
    EXPECT_EQ(_screen_row(t, 0), "xy");

    _feed(t, "\033[2147483648;2147483648H\033[2147483648A\033[4294967297C\033[99999999999L\033[2147483648@");
    _check_consistent(t);
    EXPECT_EQ(t->cursor_col, 79);
    EXPECT_EQ(t->cursor_row, 0);
    _feed(
        t,
        "\033[2147483648;1H\033[2147483648S\033[2147483648T\033[2147483648M\033[2147483648P\033[2147483648X");
    _check_consistent(t);
    EXPECT_EQ(t->cursor_row, 23);

    // Every lead byte with every wrong follower, and every cut.
    std::string bad;
    for (int lead = 0x80; lead <= 0xFF; lead++)
        for (int follow : {0x00, 0x1b, 0x41, 0x80, 0xBF, 0xC0, 0xFF}) {
            bad.push_back((char)lead);
            bad.push_back((char)follow);
            bad.push_back((char)0x80);
            if (follow == 0x1b) bad += "[m";
        }
    _feed(t, bad);
    _check_consistent(t);

    // Resizes while text keeps arriving, including refused ones.
    TERM_PTR r(kvn_term_new(80, 24));
    std::string text;
    for (int i = 0; i < 200; i++)
        text += "\344\270\255\346\226\207 text \033[31mred\033[0m " + std::to_string(i) + "\r\n";
    const int sizes[][2] = {{0, 0},  {1000, 1000}, {1, 1},   {300, 120}, {2, 1},
                            {3, 50}, {80, 24},     {1, 120}, {300, 1}};
    for (int round = 0; round < 3; round++)
        for (auto &wh : sizes) {
            const int want = (wh[0] >= 1 && wh[0] <= 300 && wh[1] >= 1 && wh[1] <= 120) ? 0 : -1;
            EXPECT_EQ(kvn_term_resize(r, wh[0], wh[1]), want) << wh[0] << "x" << wh[1];
            _feed(r, text);
            _check_consistent(r);
            Q_STR *all = kvn_term_text(r);
            ASSERT_NE(all, nullptr);
            free_qstr(&all);
        }
}

// ---- a second opinion: libvterm ----------------------------------------------------

// libvterm fed the same bytes; its screen is read back into our cell form.
struct VTERM_PEER {
    VTerm *vt;
    VTermScreen *screen;
    int pushed = 0; // lines libvterm sent to its scrollback
    static int _push(int, const VTermScreenCell *, void *user) {
        static_cast<VTERM_PEER *>(user)->pushed++;
        return 1;
    }
    VTERM_PEER(int cols, int rows) {
        vt = vterm_new(rows, cols);
        vterm_set_utf8(vt, 1);
        screen = vterm_obtain_screen(vt);
        static VTermScreenCallbacks cbs;
        cbs.sb_pushline = _push;
        vterm_screen_set_callbacks(screen, &cbs, this);
        vterm_screen_enable_altscreen(screen, 1);
        vterm_screen_reset(screen, 1);
    }
    ~VTERM_PEER() { vterm_free(vt); }
    void feed(const std::string &s) { vterm_input_write(vt, s.data(), s.size()); }
    static int32_t _colour(const VTermColor &c, bool fg) {
        if (fg ? VTERM_COLOR_IS_DEFAULT_FG(&c) : VTERM_COLOR_IS_DEFAULT_BG(&c)) return KVN_TERM_DEFAULT;
        if (VTERM_COLOR_IS_INDEXED(&c)) return c.indexed.idx;
        return KVN_TERM_RGB | c.rgb.red << 16 | c.rgb.green << 8 | c.rgb.blue;
    }
    KVN_TERM_CELL cell(int col, int row, int *width) const {
        VTermScreenCell c;
        VTermPos pos = {row, col};
        vterm_screen_get_cell(screen, pos, &c);
        *width = c.width;
        uint32_t attrs = (c.attrs.bold ? KVN_TERM_BOLD : 0) | (c.attrs.reverse ? KVN_TERM_REVERSE : 0) |
                         (c.attrs.underline ? KVN_TERM_UNDERLINE : 0);
        return KVN_TERM_CELL{(int32_t)c.chars[0], _colour(c.fg, true), _colour(c.bg, false), attrs};
    }
};

// Compares every visible cell and the cursor; returns the first difference.
std::string _diff_with_vterm(const KVN_TERM *t, const VTERM_PEER &peer) {
    char msg[256];
    VTermPos cur;
    vterm_state_get_cursorpos(vterm_obtain_state(peer.vt), &cur);
    if (cur.col != t->cursor_col || cur.row != t->cursor_row) {
        snprintf(msg, sizeof msg, "cursor %d,%d vs libvterm %d,%d", t->cursor_col, t->cursor_row, cur.col,
                 cur.row);
        return msg;
    }
    for (int r = 0; r < t->rows; r++) {
        for (int c = 0; c < t->columns; c++) {
            const KVN_TERM_CELL &ours = _cell(t, c, r);
            int width = 1;
            KVN_TERM_CELL theirs = peer.cell(c, r, &width);
            // libvterm reads a right half as the cell after a wide one.
            if (ours.codepoint == KVN_TERM_WIDE_TAIL) {
                int lw = 1;
                peer.cell(c - 1, r, &lw);
                if (lw != 2) {
                    snprintf(msg, sizeof msg, "right half at %d,%d not wide in libvterm", c, r);
                    return msg;
                }
                continue;
            }
            const int32_t cp = ours.codepoint;
            if (theirs.codepoint != cp || theirs.fg != ours.fg || theirs.bg != ours.bg ||
                theirs.attrs != ours.attrs) {
                snprintf(msg, sizeof msg,
                         "cell %d,%d: U+%04X fg %d bg %d attrs %u vs libvterm U+%04X fg %d bg %d attrs %u", c,
                         r, (unsigned)cp, ours.fg, ours.bg, ours.attrs, (unsigned)theirs.codepoint, theirs.fg,
                         theirs.bg, theirs.attrs);
                return msg;
            }
        }
    }
    if (peer.pushed != t->lines_used - t->rows + (int)t->scrolled_off) {
        snprintf(msg, sizeof msg, "scrollback %d vs libvterm %d", t->lines_used - t->rows, peer.pushed);
        return msg;
    }
    return "";
}

struct PEER_CASE {
    const char *name;
    int cols, rows;
    std::string in;
};

TEST(KvnTerm, AgreesWithLibvterm) {
    std::string scroll;
    for (int i = 0; i < 40; i++)
        scroll += "line " + std::to_string(i) + "\r\n";
    std::string rainbow;
    for (int i = 0; i < 256; i += 7)
        rainbow += "\033[38;5;" + std::to_string(i) + ";48;5;" + std::to_string(255 - i) + "m#";
    const PEER_CASE cases[] = {
        {"plain text", 20, 5, "hello world\r\nsecond line\r\n\tafter tab"},
        {"wrap and pending wrap", 10, 4, "0123456789abcdefghij\r\nxy0123456789\b\bZ"},
        {"scrolling into scrollback", 10, 4, scroll},
        {"CJK at the last column", 5, 3, "abcd\344\270\255x\r\n\344\270\255\346\226\207\345\255\227"},
        {"scroll region", 6, 8,
         scroll.substr(0, 60) + "\033[3;6r\033[6;1H\n\nab\033[3;1H\033M\033Mcd\033[S\033[T"},
        {"alternate screen", 10, 4,
         "primary\r\n\033[?1049h\033[2Jalt text\r\n\033[31mred\033[0m\033[?1049lback"},
        {"alternate screen 1047", 10, 4, "primary\033[?1047hjunk\033[?1047l!"},
        {"SGR forms", 20, 3,
         "\033[1;31ma\033[4;42mb\033[7mc\033[0;93;104md\033[38;2;1;2;3;48;2;250;128;0me\033[22;24;27;39;"
         "49mf\033[38;5;200mg\033[mh" +
             rainbow.substr(0, 200)},
        {"cursor moves", 12, 6,
         "\033[3;4Ha\033[2Ab\033[3Bc\033[2Cd\033[5De\033[Ef\033[2Fg\033[9Gh\033[5di\033[99;99Hj\033[Hk\033[3;"
         "3fl"},
        {"save and restore", 10, 4, "ab\0337\033[3;5Hcd\0338ef\033[4;1Hgh\0338i"},
        {"erase", 8, 4,
         "abcdefghijklmnopqrstuvwxyzABCDEF\033[2;4H\033[K\033[3;4H\033[1K\033[1;3H\033[2X\033[4;5H\033[1J"},
        {"erase with a background", 8, 3, "abcdefgh\033[44m\033[1;3H\033[K\033[2;1H\033[J"},
        // Lines cleared whole are written into, scrolled, moved within a
        // region and cleared again in another colour before they are read.
        {"clears of whole lines, then writing and scrolling", 8, 4,
         "abcdefgh\r\nijkl\033[44m\033[2Jxy\r\n\r\nz\033[41m\033[2K\033[2;3r\033[2;1Hq\nr\ns\033[r\033[0m"
         "\033[4;1H\r\n\r\nend\033[1;1H\033[2K\033[3;2H\033[0J"},
        {"insert and delete", 8, 6,
         "abcdefgh\r\n12345678\r\nABCDEFGH\r\nline4\r\nline5\033[1;3H\033[2@\033[2;2H\033[3P\033[3;1H\033["
         "L\033[5;1H\033[M"},
        {"insert and delete lines in a region", 8, 6,
         "1\r\n2\r\n3\r\n4\r\n5\r\n6\033[2;5r\033[3;1H\033[2L\033[2;1H\033[M"},
        {"UTF-8 text", 12, 3, "caf\303\251 \342\202\254 \360\237\230\200!"},
        {"reset", 10, 3, "abc\033[31m\033[2;3r\033cx"},
    };
    for (const PEER_CASE &c : cases) {
        SCOPED_TRACE(c.name);
        TERM_PTR t(kvn_term_new(c.cols, c.rows));
        VTERM_PEER peer(c.cols, c.rows);
        _feed(t, c.in);
        peer.feed(c.in);
        EXPECT_EQ(_diff_with_vterm(t, peer), "");
    }
}

// Where the model departs from libvterm on purpose, and why.
TEST(KvnTerm, DepartsFromLibvtermOnPurpose) {
    const struct {
        const char *name, *why;
        int cols, rows;
        std::string in;
    } cases[] = {
        {"invalid UTF-8", "a bad byte prints \"?\", which every console font has; libvterm prints U+FFFD", 10,
         2, "\303A"},
        {"C1 codepoints", "U+0080..U+009F print \"?\" instead of acting as hidden controls", 10, 2,
         "\302\2332J"},
        {"CAN inside CSI", "controls inside a sequence act and never cancel it", 10, 2, "\033[3\030Cx"},
        {"saved cursor", "saving keeps the position only; libvterm also restores the pen", 10, 2,
         "\0337\033[31m\0338x"},
        {"CSI s and CSI u", "they save and restore the cursor; libvterm 0.1 leaves them alone", 10, 2,
         "ab\033[s\r\n\033[ux"},
        {"mode 47", "it switches screens like 1047; libvterm ignores it", 10, 2, "ab\033[?47hjunk"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.why);
        TERM_PTR t(kvn_term_new(c.cols, c.rows));
        VTERM_PEER peer(c.cols, c.rows);
        _feed(t, c.in);
        peer.feed(c.in);
        EXPECT_NE(_diff_with_vterm(t, peer), "");
    }
}

} // namespace
