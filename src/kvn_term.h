#pragma once
// Terminal screen model for the consoles: turns the byte stream of a serial or
// container console into a grid of cells with a scrollback ring, turns key
// presses into the bytes a terminal sends, and extracts text for copying. It
// draws nothing; the console window renders the cells. Not thread-safe: its
// users hold the console's lock around every call.

#include <cstddef>
#include <cstdint>

struct Q_STR;

enum {
    KVN_TERM_MAX_COLUMNS = 300,
    KVN_TERM_MAX_ROWS = 120,
    KVN_TERM_SCROLLBACK = 2000, // lines kept above the screen
    KVN_TERM_PARAM_CAP = 63,    // bytes of one CSI or OSC sequence that are kept
    KVN_TERM_MAX_PARAMS = 16,
    KVN_TERM_TITLE_CAP = 127,
    KVN_TERM_REPLY_CAP = 31,
    KVN_TERM_LINE_TEXT_MAX = 1200, // UTF-8 bytes of the widest line
    KVN_TERM_KEY_MAX = 16,         // bytes kvn_term_key may write
};

// Cell attributes.
enum { KVN_TERM_BOLD = 1, KVN_TERM_REVERSE = 2, KVN_TERM_UNDERLINE = 4 };
// Key modifiers of kvn_term_key.
enum { KVN_TERM_MOD_SHIFT = 1, KVN_TERM_MOD_CTRL = 2, KVN_TERM_MOD_ALT = 4 };

// Colour values: 0-15 basic, 16-255 the xterm palette, KVN_TERM_RGB | 0xRRGGBB
// a true colour, KVN_TERM_DEFAULT the theme's colour.
constexpr int32_t KVN_TERM_RGB = 0x1000000;
constexpr int32_t KVN_TERM_DEFAULT = -1;
// Codepoint of the right half of a double-width character.
constexpr int32_t KVN_TERM_WIDE_TAIL = -1;

struct KVN_TERM_CELL {
    int32_t codepoint; // 0 blank, KVN_TERM_WIDE_TAIL right half
    int32_t fg;
    int32_t bg;
    uint32_t attrs;
};
static_assert(sizeof(KVN_TERM_CELL) == 16, "cells are 16 bytes");

struct KVN_TERM {
    int columns; // 1..KVN_TERM_MAX_COLUMNS
    int rows;    // 1..KVN_TERM_MAX_ROWS

    // (rows + KVN_TERM_SCROLLBACK) lines of `columns` cells used as a ring:
    // ring index 0 is the line at ring_start; the last `rows` lines in use are
    // the screen. Scrolling the whole screen only moves ring_start. The cells
    // are allocated as the ring fills (ring_alloc lines so far), so a console
    // that printed one screen costs one screen; ring_start stays 0 until the
    // ring is full.
    KVN_TERM_CELL *cells;
    int ring_lines;
    int ring_alloc;
    int ring_start;
    int lines_used; // rows..ring_lines
    // Per ring index (ring_alloc entries): a line erased whole is only
    // marked, with the background it is to have, and blanked when it is next
    // read or written; screen clears and scrolls then cost a mark per line.
    uint8_t *blank_pending;
    int32_t *blank_bg;
    int64_t scrolled_off; // lines dropped from the ring's top; absolute line = ring index + this

    int cursor_col, cursor_row; // screen-relative
    int wrap_pending;           // the next printed character goes to the next row first
    int top, bottom;            // scroll region rows, inclusive
    int saved_col, saved_row;
    int32_t fg, bg;
    uint32_t attrs;
    int cursor_hidden;
    int bracketed_paste; // the host asked for pastes between ESC [200~ and ESC [201~

    // While the alternate screen shows, the primary screen's rows wait here
    // (rows * columns cells, allocated with the ring so switching never fails).
    int alt_active;
    KVN_TERM_CELL *primary_saved;
    int alt_saved_col, alt_saved_row; // cursor saved by mode 1049

    // Parser state; it survives between feeds, so a stream split anywhere
    // reads the same as in one piece.
    int state;
    char params[KVN_TERM_PARAM_CAP + 1];
    int params_len; // > KVN_TERM_PARAM_CAP: the sequence is too long and is dropped at its end
    char osc[KVN_TERM_PARAM_CAP + 1];
    int osc_len;
    int utf8_need; // continuation bytes still expected
    int utf8_len;  // length of the sequence being decoded
    uint32_t utf8_cp;

    char title[KVN_TERM_TITLE_CAP + 1];
    // Answers owed to the host (cursor position report); the reader sends
    // them and sets reply_len to 0.
    char reply[KVN_TERM_REPLY_CAP + 1];
    int reply_len;

    uint64_t generation; // changes with every feed and resize
};

// Null when a size is outside 1-300 columns / 1-120 rows or memory is short.
KVN_TERM *kvn_term_new(int columns, int rows);
// Frees and clears the reference; an absent terminal is no error.
void kvn_term_free(KVN_TERM **term);

void kvn_term_feed(KVN_TERM *term, const void *bytes, size_t length);
// 0, or -1 (size out of range, memory short) with the grid unchanged.
int kvn_term_resize(KVN_TERM *term, int columns, int rows);

// Cells of ring line `index` (0 is the oldest), null when out of range.
const KVN_TERM_CELL *kvn_term_line(const KVN_TERM *term, int index);
// The line as UTF-8 without trailing blanks, cut at the capacity. Returns the
// length written, -1 (and "") when the index is out of range.
int kvn_term_line_text(const KVN_TERM *term, int index, char *dst, size_t capacity);
// The whole ring, each line followed by LF, trailing empty lines dropped.
Q_STR *kvn_term_text(const KVN_TERM *term);
// Text between two absolute (line, column) positions, both ends inclusive and
// taken in either order; lines no longer kept are skipped.
Q_STR *kvn_term_selection_text(const KVN_TERM *term, int64_t line_a, int col_a, int64_t line_b, int col_b);

// Bytes a terminal sends for an Allegro key code and its character; dst
// holds at least KVN_TERM_KEY_MAX bytes. Returns the count, 0 for nothing.
int kvn_term_key(int keycode, int character, int modifiers, char *dst);
int kvn_term_char_width(int32_t codepoint);
// 0xRRGGBB of a colour value (KVN_TERM_DEFAULT and unknown values: 0xCCCCCC).
uint32_t kvn_term_color(int32_t value);
