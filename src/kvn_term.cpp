#include "kvn_term.h"

#include <allegro5/keycodes.h>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "q_common.h"
#include "q_str.h"

enum { ST_GROUND = 0, ST_ESCAPE, ST_CSI, ST_OSC, ST_OSC_ESCAPE, ST_SKIP_ONE };

static const uint8_t ESC = 0x1b;

// ---- cells and lines ---------------------------------------------------------

static inline KVN_TERM_CELL _blank(int32_t bg) {
    return KVN_TERM_CELL{0, KVN_TERM_DEFAULT, bg, 0};
}

static inline void _fill(KVN_TERM_CELL *cells, size_t n, KVN_TERM_CELL v) {
    for (size_t i = 0; i < n; i++)
        cells[i] = v;
}

static inline int _ring_index(const KVN_TERM *t, int index) {
    int i = t->ring_start + index;
    if (i >= t->ring_lines) i -= t->ring_lines;
    return i;
}

// Every access to a line's cells goes through here, so a line marked blank
// is blanked before anybody sees it (readers through a const terminal too:
// the marks and cells are behind pointers).
static inline KVN_TERM_CELL *_ring_line(const KVN_TERM *t, int index) {
    const int i = _ring_index(t, index);
    KVN_TERM_CELL *line = t->cells + (size_t)i * (size_t)t->columns;
    if (t->blank_pending[i]) {
        t->blank_pending[i] = 0;
        _fill(line, (size_t)t->columns, _blank(t->blank_bg[i]));
    }
    return line;
}

static inline KVN_TERM_CELL *_row(const KVN_TERM *t, int row) {
    return _ring_line(t, t->lines_used - t->rows + row);
}

static inline void _mark_blank(KVN_TERM *t, int row, int32_t bg) {
    const int i = _ring_index(t, t->lines_used - t->rows + row);
    t->blank_pending[i] = 1;
    t->blank_bg[i] = bg;
}

static inline int _is_wide_lead(int32_t cp) {
    return cp >= 0x1100 && kvn_term_char_width(cp) == 2;
}

// Keeps every right half next to its left half after cells were overwritten,
// shifted or erased: an orphaned half of a double-width character becomes a
// blank, so renderers and copies never meet half a glyph.
static void _mend_line(KVN_TERM_CELL *line, int columns) {
    for (int c = 0; c < columns; c++) {
        if (line[c].codepoint == KVN_TERM_WIDE_TAIL) {
            if (c == 0 || !_is_wide_lead(line[c - 1].codepoint)) line[c].codepoint = 0;
        } else if (columns > 1 && _is_wide_lead(line[c].codepoint)) {
            if (c + 1 >= columns || line[c + 1].codepoint != KVN_TERM_WIDE_TAIL) line[c].codepoint = 0;
        }
    }
}

// The cheap form of _mend_line for the print path: only the edges of the
// cells [col, col + n) about to be written can split a wide character.
static inline void _unsplit(KVN_TERM_CELL *line, int columns, int col, int n) {
    if (line[col].codepoint == KVN_TERM_WIDE_TAIL && col > 0) line[col - 1].codepoint = 0;
    int after = col + n;
    if (after < columns && line[after].codepoint == KVN_TERM_WIDE_TAIL) line[after].codepoint = 0;
}

// ---- scrolling -----------------------------------------------------------------

// Doubles the allocated part of a ring that is not full yet (its lines are in
// order from index 0). When memory runs out, the scrollback ends where the
// allocation does: the ring is full from now on.
static void _grow_ring(KVN_TERM *t) {
    int want = t->ring_alloc * 2 > t->ring_alloc + 64 ? t->ring_alloc * 2 : t->ring_alloc + 64;
    if (want > t->ring_lines) want = t->ring_lines;
    void *p = q_realloc_checked(t->cells, (size_t)want * (size_t)t->columns * sizeof(KVN_TERM_CELL), "cells",
                                __LINE__, __FILE__);
    if (!p) {
        t->ring_lines = t->ring_alloc;
        return;
    }
    t->cells = static_cast<KVN_TERM_CELL *>(p);
    void *m = q_realloc_checked(t->blank_pending, (size_t)want, "marks", __LINE__, __FILE__);
    if (m) t->blank_pending = static_cast<uint8_t *>(m);
    void *b = m ? q_realloc_checked(t->blank_bg, (size_t)want * sizeof(int32_t), "marks", __LINE__, __FILE__)
                : nullptr;
    if (b) t->blank_bg = static_cast<int32_t *>(b);
    if (!m || !b) {
        // The cells grew but the marks could not follow: the ring stays
        // at the size both have.
        t->ring_lines = t->ring_alloc;
        return;
    }
    memset(t->blank_pending + t->ring_alloc, 0, (size_t)(want - t->ring_alloc));
    t->ring_alloc = want;
}

static void _scroll_up(KVN_TERM *t, int top, int bottom, int n) {
    const int height = bottom - top + 1;
    if (n > height) n = height;
    if (n <= 0) return;
    const size_t cols = (size_t)t->columns;
    const KVN_TERM_CELL blank = _blank(t->bg);
    if (top == 0 && bottom == t->rows - 1 && !t->alt_active) {
        // The top line becomes scrollback by moving the ring, not the cells.
        for (int k = 0; k < n; k++) {
            if (t->lines_used == t->ring_alloc && t->ring_alloc < t->ring_lines) _grow_ring(t);
            if (t->lines_used < t->ring_lines) {
                t->lines_used++;
            } else {
                t->ring_start = t->ring_start + 1 == t->ring_lines ? 0 : t->ring_start + 1;
                t->scrolled_off++;
            }
            _mark_blank(t, t->rows - 1, blank.bg);
        }
        return;
    }
    for (int r = top; r + n <= bottom; r++)
        memcpy(_row(t, r), _row(t, r + n), cols * sizeof(KVN_TERM_CELL));
    for (int r = bottom - n + 1; r <= bottom; r++)
        _fill(_row(t, r), cols, blank);
}

static void _scroll_down(KVN_TERM *t, int top, int bottom, int n) {
    const int height = bottom - top + 1;
    if (n > height) n = height;
    if (n <= 0) return;
    const size_t cols = (size_t)t->columns;
    for (int r = bottom; r - n >= top; r--)
        memcpy(_row(t, r), _row(t, r - n), cols * sizeof(KVN_TERM_CELL));
    for (int r = top; r < top + n; r++)
        _fill(_row(t, r), cols, _blank(t->bg));
}

static void _linefeed(KVN_TERM *t) {
    t->wrap_pending = 0;
    if (t->cursor_row == t->bottom)
        _scroll_up(t, t->top, t->bottom, 1);
    else if (t->cursor_row < t->rows - 1)
        t->cursor_row++;
}

static void _reverse_index(KVN_TERM *t) {
    t->wrap_pending = 0;
    if (t->cursor_row == t->top)
        _scroll_down(t, t->top, t->bottom, 1);
    else if (t->cursor_row > 0)
        t->cursor_row--;
}

// ---- printing ------------------------------------------------------------------

static void _put(KVN_TERM *t, int32_t cp) {
    int w = cp < 0x300 ? 1 : kvn_term_char_width(cp);
    if (w == 0) return;
    if (w == 2 && t->columns < 2) w = 1;
    if (t->wrap_pending) {
        t->cursor_col = 0;
        _linefeed(t);
    }
    KVN_TERM_CELL *line = _row(t, t->cursor_row);
    if (w == 2 && t->cursor_col == t->columns - 1) {
        _unsplit(line, t->columns, t->cursor_col, 1);
        line[t->cursor_col] = _blank(t->bg);
        t->cursor_col = 0;
        _linefeed(t);
        line = _row(t, t->cursor_row);
    }
    const int col = t->cursor_col;
    _unsplit(line, t->columns, col, w);
    line[col] = KVN_TERM_CELL{cp, t->fg, t->bg, t->attrs};
    if (w == 2) line[col + 1] = KVN_TERM_CELL{KVN_TERM_WIDE_TAIL, t->fg, t->bg, t->attrs};
    if (col + w >= t->columns) {
        t->cursor_col = t->columns - 1;
        t->wrap_pending = 1;
    } else {
        t->cursor_col = col + w;
    }
}

// Plain ASCII is most of a console's output: whole runs go into the row at
// once, with one wrap check per row instead of per character.
static void _print_ascii(KVN_TERM *t, const uint8_t *s, size_t n) {
    static_assert(offsetof(KVN_TERM_CELL, fg) == 4 && offsetof(KVN_TERM_CELL, bg) == 8 &&
                      offsetof(KVN_TERM_CELL, attrs) == 12,
                  "the halves below follow the cell's layout");
    static_assert(std::endian::native == std::endian::little, "the character is the first half's low half");
    const uint64_t pen_lo = (uint64_t)(uint32_t)t->fg << 32;
    const uint64_t pen_hi = (uint64_t)(uint32_t)t->bg | (uint64_t)t->attrs << 32;
    const int cols = t->columns;
    while (n) {
        if (t->wrap_pending) {
            t->cursor_col = 0;
            _linefeed(t);
        }
        KVN_TERM_CELL *line = _row(t, t->cursor_row);
        const int col = t->cursor_col;
        const size_t room = (size_t)(cols - col);
        const int k = (int)(n < room ? n : room);
        _unsplit(line, cols, col, k);
        KVN_TERM_CELL *out = line + col;
        for (int i = 0; i < k; i++) {
            // Two 8-byte halves: the character with the foreground, then the
            // pen's background and attributes.
            const uint64_t half[2] = {(uint64_t)s[i] | pen_lo, pen_hi};
            memcpy(&out[i], half, sizeof half);
        }
        s += k;
        n -= (size_t)k;
        if (col + k >= cols) {
            t->cursor_col = cols - 1;
            t->wrap_pending = 1;
        } else {
            t->cursor_col = col + k;
        }
    }
}

// ---- controls ------------------------------------------------------------------

static void _c0(KVN_TERM *t, uint8_t b) {
    switch (b) {
    case 0x08:
        if (t->cursor_col > 0) t->cursor_col--;
        t->wrap_pending = 0;
        break;
    case 0x09: {
        int next = (t->cursor_col / 8 + 1) * 8;
        t->cursor_col = next < t->columns ? next : t->columns - 1;
        t->wrap_pending = 0;
        break;
    }
    case 0x0a:
    case 0x0b:
    case 0x0c:
        _linefeed(t);
        break;
    case 0x0d:
        t->cursor_col = 0;
        t->wrap_pending = 0;
        break;
    default:
        break;
    }
}

static void _add_reply(KVN_TERM *t, const char *text) {
    size_t n = strlen(text);
    // An answer that does not fit whole is dropped: half an answer would
    // read as garbage keystrokes to the host.
    if ((size_t)t->reply_len + n > KVN_TERM_REPLY_CAP) return;
    memcpy(t->reply + t->reply_len, text, n);
    t->reply_len += (int)n;
    t->reply[t->reply_len] = 0;
}

static void _home(KVN_TERM *t, int col, int row) {
    t->cursor_col = col < 0 ? 0 : (col >= t->columns ? t->columns - 1 : col);
    t->cursor_row = row < 0 ? 0 : (row >= t->rows ? t->rows - 1 : row);
    t->wrap_pending = 0;
}

static void _erase_screen(KVN_TERM *t, KVN_TERM_CELL blank) {
    for (int r = 0; r < t->rows; r++)
        _mark_blank(t, r, blank.bg);
}

static void _alt_enter(KVN_TERM *t) {
    if (t->alt_active) return;
    const size_t cols = (size_t)t->columns;
    for (int r = 0; r < t->rows; r++)
        memcpy(t->primary_saved + (size_t)r * cols, _row(t, r), cols * sizeof(KVN_TERM_CELL));
    t->alt_saved_col = t->cursor_col;
    t->alt_saved_row = t->cursor_row;
    _erase_screen(t, _blank(t->bg));
    t->alt_active = 1;
}

static void _alt_leave(KVN_TERM *t, int restore_cursor) {
    if (!t->alt_active) return;
    const size_t cols = (size_t)t->columns;
    for (int r = 0; r < t->rows; r++)
        memcpy(_row(t, r), t->primary_saved + (size_t)r * cols, cols * sizeof(KVN_TERM_CELL));
    t->alt_active = 0;
    if (restore_cursor) _home(t, t->alt_saved_col, t->alt_saved_row);
}

static void _reset(KVN_TERM *t) {
    t->alt_active = 0;
    t->fg = t->bg = KVN_TERM_DEFAULT;
    t->attrs = 0;
    t->cursor_hidden = 0;
    t->bracketed_paste = 0;
    _erase_screen(t, _blank(KVN_TERM_DEFAULT));
    t->top = 0;
    t->bottom = t->rows - 1;
    _home(t, 0, 0);
}

// ---- CSI -----------------------------------------------------------------------

static void _sgr(KVN_TERM *t, const int *p, int n) {
    if (n == 0) {
        t->fg = t->bg = KVN_TERM_DEFAULT;
        t->attrs = 0;
        return;
    }
    for (int i = 0; i < n; i++) {
        const int v = p[i];
        if (v == 0) {
            t->fg = t->bg = KVN_TERM_DEFAULT;
            t->attrs = 0;
        } else if (v == 1) {
            t->attrs |= KVN_TERM_BOLD;
        } else if (v == 4) {
            t->attrs |= KVN_TERM_UNDERLINE;
        } else if (v == 7) {
            t->attrs |= KVN_TERM_REVERSE;
        } else if (v == 22) {
            t->attrs &= ~(uint32_t)KVN_TERM_BOLD;
        } else if (v == 24) {
            t->attrs &= ~(uint32_t)KVN_TERM_UNDERLINE;
        } else if (v == 27) {
            t->attrs &= ~(uint32_t)KVN_TERM_REVERSE;
        } else if (v >= 30 && v <= 37) {
            t->fg = v - 30;
        } else if (v == 39) {
            t->fg = KVN_TERM_DEFAULT;
        } else if (v >= 40 && v <= 47) {
            t->bg = v - 40;
        } else if (v == 49) {
            t->bg = KVN_TERM_DEFAULT;
        } else if (v >= 90 && v <= 97) {
            t->fg = v - 90 + 8;
        } else if (v >= 100 && v <= 107) {
            t->bg = v - 100 + 8;
        } else if (v == 38 || v == 48) {
            int32_t *dst = v == 38 ? &t->fg : &t->bg;
            // Without its arguments the extended colour cannot say where it
            // ends, so the rest of the rendition is not trusted either.
            if (i + 1 >= n) return;
            if (p[i + 1] == 5) {
                if (i + 2 >= n) return;
                *dst = p[i + 2] < 256 ? p[i + 2] : KVN_TERM_DEFAULT;
                i += 2;
            } else if (p[i + 1] == 2) {
                if (i + 4 >= n) return;
                const int r = p[i + 2], g = p[i + 3], b = p[i + 4];
                *dst = (r < 256 && g < 256 && b < 256) ? (KVN_TERM_RGB | r << 16 | g << 8 | b)
                                                       : KVN_TERM_DEFAULT;
                i += 4;
            } else {
                return;
            }
        }
    }
}

static void _private_mode(KVN_TERM *t, const int *p, int n, int set) {
    for (int i = 0; i < n; i++) {
        switch (p[i]) {
        case 25:
            t->cursor_hidden = !set;
            break;
        case 2004:
            t->bracketed_paste = set;
            break;
        case 47:
        case 1047:
            if (set)
                _alt_enter(t);
            else
                _alt_leave(t, 0);
            break;
        case 1049:
            if (set)
                _alt_enter(t);
            else
                _alt_leave(t, 1);
            break;
        default:
            break;
        }
    }
}

static void _erase_cells(KVN_TERM *t, int row, int from, int to) {
    if (from < 0) from = 0;
    if (to > t->columns) to = t->columns;
    if (from >= to) return;
    if (from == 0 && to == t->columns) {
        _mark_blank(t, row, t->bg);
        return;
    }
    KVN_TERM_CELL *line = _row(t, row);
    // Only a wide character across either edge of the erased cells can be
    // left in halves.
    _unsplit(line, t->columns, from, to - from);
    _fill(line + from, (size_t)(to - from), _blank(t->bg));
}

static void _csi(KVN_TERM *t, uint8_t final) {
    const char *s = t->params;
    const char *end = s + t->params_len;
    char marker = 0;
    if (s < end && *s >= '<' && *s <= '?') marker = *s++;
    int p[KVN_TERM_MAX_PARAMS];
    int np = 0;
    if (s < end) {
        int v = 0;
        for (; s < end; s++) {
            const char c = *s;
            if (c >= '0' && c <= '9') {
                if (v <= 99999) v = v * 10 + (c - '0');
            } else if (c == ';' || c == ':') {
                if (np < KVN_TERM_MAX_PARAMS) p[np++] = v;
                v = 0;
            } else {
                return; // intermediates and stray bytes: a sequence this model does not know
            }
        }
        if (np < KVN_TERM_MAX_PARAMS) p[np++] = v;
    }
    if (marker) {
        if (marker == '?' && (final == 'h' || final == 'l')) _private_mode(t, p, np, final == 'h');
        return;
    }
    const int p0 = np > 0 ? p[0] : 0;
    const int n = p0 > 0 ? p0 : 1;
    const int rows = t->rows, cols = t->columns;
    const int row = t->cursor_row, col = t->cursor_col;
    const int in_region = row >= t->top && row <= t->bottom;
    switch (final) {
    case '@': {
        KVN_TERM_CELL *line = _row(t, row);
        const int k = n < cols - col ? n : cols - col;
        memmove(line + col + k, line + col, (size_t)(cols - col - k) * sizeof(KVN_TERM_CELL));
        _fill(line + col, (size_t)k, _blank(t->bg));
        _mend_line(line, cols);
        break;
    }
    case 'A': {
        const int limit = in_region ? t->top : 0;
        _home(t, col, row - n < limit ? (row < limit ? row : limit) : row - n);
        break;
    }
    case 'B':
    case 'e': {
        const int limit = in_region ? t->bottom : rows - 1;
        _home(t, col, row + n > limit ? (row > limit ? row : limit) : row + n);
        break;
    }
    case 'C':
    case 'a':
        _home(t, col + n >= cols ? cols - 1 : col + n, row);
        break;
    case 'D':
        _home(t, col - n, row);
        break;
    case 'E': {
        const int limit = in_region ? t->bottom : rows - 1;
        _home(t, 0, row + n > limit ? (row > limit ? row : limit) : row + n);
        break;
    }
    case 'F': {
        const int limit = in_region ? t->top : 0;
        _home(t, 0, row - n < limit ? (row < limit ? row : limit) : row - n);
        break;
    }
    case 'G':
    case '`':
        _home(t, n - 1, row);
        break;
    case 'H':
    case 'f': {
        const int c = np > 1 && p[1] > 0 ? p[1] : 1;
        _home(t, c - 1, n - 1);
        break;
    }
    case 'J':
        if (p0 == 0) {
            _erase_cells(t, row, col, cols);
            for (int r = row + 1; r < rows; r++)
                _mark_blank(t, r, t->bg);
        } else if (p0 == 1) {
            for (int r = 0; r < row; r++)
                _mark_blank(t, r, t->bg);
            _erase_cells(t, row, 0, col + 1);
        } else {
            _erase_screen(t, _blank(t->bg));
        }
        break;
    case 'K':
        if (p0 == 0)
            _erase_cells(t, row, col, cols);
        else if (p0 == 1)
            _erase_cells(t, row, 0, col + 1);
        else
            _erase_cells(t, row, 0, cols);
        break;
    case 'L':
        if (in_region) _scroll_down(t, row, t->bottom, n);
        break;
    case 'M':
        if (in_region) _scroll_up(t, row, t->bottom, n);
        break;
    case 'P': {
        KVN_TERM_CELL *line = _row(t, row);
        const int k = n < cols - col ? n : cols - col;
        memmove(line + col, line + col + k, (size_t)(cols - col - k) * sizeof(KVN_TERM_CELL));
        _fill(line + cols - k, (size_t)k, _blank(t->bg));
        _mend_line(line, cols);
        break;
    }
    case 'S':
        _scroll_up(t, t->top, t->bottom, n);
        break;
    case 'T':
        _scroll_down(t, t->top, t->bottom, n);
        break;
    case 'X':
        _erase_cells(t, row, col, n < cols - col ? col + n : cols);
        break;
    case 'd':
        _home(t, col, n - 1);
        break;
    case 'm':
        _sgr(t, p, np);
        break;
    case 'n':
        if (p0 == 6) {
            char buf[32];
            q_format(buf, sizeof buf, "\033[%d;%dR", row + 1, col + 1);
            _add_reply(t, buf);
        } else if (p0 == 5) {
            _add_reply(t, "\033[0n");
        }
        break;
    case 'c':
        // Programs that ask which terminal this is wait for the answer; a
        // VT100 with advanced video is what the model offers.
        if (p0 == 0) _add_reply(t, "\033[?1;2c");
        break;
    case 'r': {
        const int top = p0 - 1 > 0 ? p0 - 1 : 0;
        const int bottom = np > 1 && p[1] >= 1 && p[1] <= rows ? p[1] - 1 : rows - 1;
        if (top < bottom) {
            t->top = top;
            t->bottom = bottom;
            _home(t, 0, 0);
        }
        break;
    }
    case 's':
        t->saved_col = col;
        t->saved_row = row;
        break;
    case 'u':
        _home(t, t->saved_col, t->saved_row);
        break;
    default:
        break;
    }
}

// ---- OSC -----------------------------------------------------------------------

static void _osc_end(KVN_TERM *t) {
    const char *s = t->osc;
    const int n = t->osc_len;
    if (n >= 2 && (s[0] == '0' || s[0] == '2') && s[1] == ';') {
        int k = 0;
        for (int i = 2; i < n && k < KVN_TERM_TITLE_CAP; i++)
            if (s[i] >= 32 && s[i] <= 126) t->title[k++] = s[i];
        t->title[k] = 0;
    }
}

// ---- the state machine ---------------------------------------------------------

static void _escape(KVN_TERM *t, uint8_t b) {
    if (b == ESC) return;
    if (b < 0x20) {
        _c0(t, b); // controls inside a sequence act and leave the sequence open
        return;
    }
    t->state = ST_GROUND;
    switch (b) {
    case '#':
    case '(':
    case ')':
    case '*':
    case '+':
        t->state = ST_SKIP_ONE;
        break;
    case '7':
        t->saved_col = t->cursor_col;
        t->saved_row = t->cursor_row;
        break;
    case '8':
        _home(t, t->saved_col, t->saved_row);
        break;
    case 'E':
        t->cursor_col = 0;
        _linefeed(t);
        break;
    case 'D':
        _linefeed(t);
        break;
    case 'M':
        _reverse_index(t);
        break;
    case '[':
        t->state = ST_CSI;
        t->params_len = 0;
        break;
    case ']':
        t->state = ST_OSC;
        t->osc_len = 0;
        break;
    case 'c':
        _reset(t);
        break;
    default:
        break;
    }
}

static void _utf8_done(KVN_TERM *t) {
    const uint32_t cp = t->utf8_cp;
    static const uint32_t k_least[5] = {0, 0, 0x80, 0x800, 0x10000};
    // Overlong forms, surrogates, values past Unicode and controls (C0 and
    // C1, which would otherwise act without being seen) all print one "?".
    if (cp < k_least[t->utf8_len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF || cp < 32 ||
        (cp >= 0x7F && cp <= 0x9F))
        _put(t, '?');
    else
        _put(t, (int32_t)cp);
}

static void _ground(KVN_TERM *t, uint8_t b) {
    if (t->utf8_need) {
        if ((b & 0xC0) == 0x80) {
            t->utf8_cp = t->utf8_cp << 6 | (b & 0x3F);
            if (--t->utf8_need == 0) _utf8_done(t);
            return;
        }
        t->utf8_need = 0;
        _put(t, '?');
    }
    if (b < 0x20) {
        if (b == ESC)
            t->state = ST_ESCAPE;
        else
            _c0(t, b);
    } else if (b < 0x7F) {
        _put(t, b);
    } else if (b == 0x7F) {
        // DEL is padding on the wire
    } else if ((b & 0xE0) == 0xC0) {
        t->utf8_need = 1;
        t->utf8_len = 2;
        t->utf8_cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        t->utf8_need = 2;
        t->utf8_len = 3;
        t->utf8_cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        t->utf8_need = 3;
        t->utf8_len = 4;
        t->utf8_cp = b & 0x07;
    } else {
        _put(t, '?');
    }
}

static void _byte(KVN_TERM *t, uint8_t b) {
    switch (t->state) {
    case ST_GROUND:
        _ground(t, b);
        break;
    case ST_ESCAPE:
        _escape(t, b);
        break;
    case ST_CSI:
        if (b == ESC) {
            t->state = ST_ESCAPE;
        } else if (b < 0x20) {
            _c0(t, b);
        } else if (b >= 0x40 && b <= 0x7E) {
            t->state = ST_GROUND;
            if (t->params_len <= KVN_TERM_PARAM_CAP) _csi(t, b);
        } else if (t->params_len < KVN_TERM_PARAM_CAP) {
            t->params[t->params_len++] = (char)b;
        } else {
            // Too long to be honest: swallow the rest, act on nothing.
            t->params_len = KVN_TERM_PARAM_CAP + 1;
        }
        break;
    case ST_OSC:
        if (b == 0x07) {
            t->state = ST_GROUND;
            _osc_end(t);
        } else if (b == ESC) {
            t->state = ST_OSC_ESCAPE;
        } else if (t->osc_len < KVN_TERM_PARAM_CAP) {
            t->osc[t->osc_len++] = (char)b;
        }
        break;
    case ST_OSC_ESCAPE:
        if (b == '\\') {
            t->state = ST_GROUND;
            _osc_end(t);
        } else {
            t->state = ST_ESCAPE;
            _escape(t, b);
        }
        break;
    default: // ST_SKIP_ONE
        t->state = ST_GROUND;
        break;
    }
}

void kvn_term_feed(KVN_TERM *term, const void *bytes, size_t length) {
    Q_GUARD_VOID(term);
    Q_GUARD_VOID(bytes || length == 0);
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    const uint8_t *const end = p + length;
    while (p < end) {
        if (term->state == ST_GROUND && term->utf8_need == 0) {
            const uint8_t *q = p;
            while (q < end && (uint8_t)(*q - 0x20) < 0x5F)
                q++;
            if (q != p) {
                _print_ascii(term, p, (size_t)(q - p));
                p = q;
                continue;
            }
        }
        _byte(term, *p++);
    }
    term->generation++;
}

// ---- life cycle ----------------------------------------------------------------

static int _size_ok(int columns, int rows) {
    return columns >= 1 && columns <= KVN_TERM_MAX_COLUMNS && rows >= 1 && rows <= KVN_TERM_MAX_ROWS;
}

KVN_TERM *kvn_term_new(int columns, int rows) {
    Q_GUARD(_size_ok(columns, rows), nullptr);
    KVN_TERM *t = nullptr;
    Q_CALLOC(t, 1, KVN_TERM);
    if (!t) return nullptr;
    const int ring = rows + KVN_TERM_SCROLLBACK;
    Q_CALLOC(t->cells, (size_t)rows * (size_t)columns, KVN_TERM_CELL);
    Q_CALLOC(t->primary_saved, (size_t)rows * (size_t)columns, KVN_TERM_CELL);
    Q_CALLOC(t->blank_pending, (size_t)rows, uint8_t);
    Q_CALLOC(t->blank_bg, (size_t)rows, int32_t);
    if (!t->cells || !t->primary_saved || !t->blank_pending || !t->blank_bg) {
        Q_FREE(t->cells);
        Q_FREE(t->primary_saved);
        Q_FREE(t->blank_pending);
        Q_FREE(t->blank_bg);
        Q_FREE(t);
        return nullptr;
    }
    t->columns = columns;
    t->rows = rows;
    t->ring_lines = ring;
    t->ring_alloc = rows;
    t->lines_used = rows;
    // Only lines in use are ever read; the scrollback part is allocated and
    // blanked as the ring grows, so a new console costs its screen, not its ring.
    _fill(t->cells, (size_t)rows * (size_t)columns, _blank(KVN_TERM_DEFAULT));
    t->fg = t->bg = KVN_TERM_DEFAULT;
    t->bottom = rows - 1;
    return t;
}

void kvn_term_free(KVN_TERM **term) {
    Q_GUARD_VOID(term);
    if (*term) {
        Q_FREE((*term)->cells);
        Q_FREE((*term)->primary_saved);
        Q_FREE((*term)->blank_pending);
        Q_FREE((*term)->blank_bg);
    }
    Q_FREE(*term);
}

int kvn_term_resize(KVN_TERM *t, int columns, int rows) {
    Q_GUARD(t, -1);
    Q_GUARD(_size_ok(columns, rows), -1);
    if (columns == t->columns && rows == t->rows) return 0;
    const int ring = rows + KVN_TERM_SCROLLBACK;
    // No more lines than are in use now can be kept (the cursor's line is at
    // most the last), and a screen more is never needed.
    const int kept_max = t->lines_used < ring ? t->lines_used : ring;
    const int alloc = kept_max > rows ? kept_max : rows;
    KVN_TERM_CELL *cells = nullptr, *saved = nullptr;
    uint8_t *pending = nullptr;
    int32_t *pending_bg = nullptr;
    Q_CALLOC(cells, (size_t)alloc * (size_t)columns, KVN_TERM_CELL);
    Q_CALLOC(saved, (size_t)rows * (size_t)columns, KVN_TERM_CELL);
    Q_CALLOC(pending, (size_t)alloc, uint8_t);
    Q_CALLOC(pending_bg, (size_t)alloc, int32_t);
    if (!cells || !saved || !pending || !pending_bg) {
        Q_FREE(cells);
        Q_FREE(saved);
        Q_FREE(pending);
        Q_FREE(pending_bg);
        return -1;
    }
    _alt_leave(t, 1);

    // Lines below the cursor are dropped; of those up to it, the newest that
    // fit the new ring are kept.
    const int cursor_line = t->lines_used - t->rows + t->cursor_row;
    const int copied = cursor_line + 1 < ring ? cursor_line + 1 : ring;
    const int first = cursor_line + 1 - copied;
    const int keep = columns < t->columns ? columns : t->columns;
    for (int i = 0; i < copied; i++) {
        const KVN_TERM_CELL *src = _ring_line(t, first + i);
        KVN_TERM_CELL *dst = cells + (size_t)i * (size_t)columns;
        memcpy(dst, src, (size_t)keep * sizeof(KVN_TERM_CELL));
        if (columns < t->columns)
            _mend_line(dst, columns);
        else
            _fill(dst + keep, (size_t)(columns - keep), _blank(KVN_TERM_DEFAULT));
    }
    const int used = copied > rows ? copied : rows;
    _fill(cells + (size_t)copied * (size_t)columns, (size_t)(used - copied) * (size_t)columns,
          _blank(KVN_TERM_DEFAULT));
    Q_FREE(t->cells);
    Q_FREE(t->primary_saved);
    Q_FREE(t->blank_pending);
    Q_FREE(t->blank_bg);
    t->cells = cells;
    t->primary_saved = saved;
    t->blank_pending = pending;
    t->blank_bg = pending_bg;
    t->ring_lines = ring;
    t->ring_alloc = alloc;
    t->ring_start = 0;
    t->lines_used = used;
    t->scrolled_off += first;
    t->columns = columns;
    t->rows = rows;
    const int cursor_row = copied - 1 - (t->lines_used - rows);
    _home(t, t->cursor_col, cursor_row);
    t->top = 0;
    t->bottom = rows - 1;
    t->saved_col = t->saved_row = 0;
    t->alt_saved_col = t->alt_saved_row = 0;
    t->generation++;
    return 0;
}

// ---- text ----------------------------------------------------------------------

static int _utf8_encode(uint32_t cp, char *out) {
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | cp >> 6);
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | cp >> 12);
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | cp >> 18);
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

// Cells [from, to) as UTF-8 into dst (capacity >= 1), trailing blanks
// dropped, cut at a character boundary. Returns the length.
static int _cells_text(const KVN_TERM_CELL *line, int from, int to, char *dst, size_t capacity) {
    size_t len = 0, kept = 0;
    for (int c = from; c < to; c++) {
        const int32_t cp = line[c].codepoint;
        if (cp == KVN_TERM_WIDE_TAIL) continue;
        char buf[4];
        const int n = cp <= 0 ? (buf[0] = ' ', 1) : _utf8_encode((uint32_t)cp, buf);
        if (len + (size_t)n + 1 > capacity) break;
        memcpy(dst + len, buf, (size_t)n);
        len += (size_t)n;
        if (cp > 0 && cp != ' ') kept = len;
    }
    dst[kept] = 0;
    return (int)kept;
}

const KVN_TERM_CELL *kvn_term_line(const KVN_TERM *term, int index) {
    Q_GUARD(term, nullptr);
    if (index < 0 || index >= term->lines_used) return nullptr;
    return _ring_line(term, index);
}

int kvn_term_line_text(const KVN_TERM *term, int index, char *dst, size_t capacity) {
    Q_GUARD(dst && capacity > 0, -1);
    dst[0] = 0;
    const KVN_TERM_CELL *line = kvn_term_line(term, index);
    if (!line) return -1;
    return _cells_text(line, 0, term->columns, dst, capacity);
}

static Q_STR *_to_qstr(const std::string &s) {
    Q_STR *out = new_qstr(s.size());
    if (out && qstrcat_bytes_ex(out, s.data(), s.size()) != 0) free_qstr(&out);
    return out;
}

Q_STR *kvn_term_text(const KVN_TERM *term) {
    Q_GUARD(term, nullptr);
    char buf[KVN_TERM_LINE_TEXT_MAX + 1];
    std::string all;
    size_t nonempty_end = 0;
    for (int i = 0; i < term->lines_used; i++) {
        const int n = _cells_text(_ring_line(term, i), 0, term->columns, buf, sizeof buf);
        all.append(buf, (size_t)n);
        all.push_back('\n');
        if (n > 0) nonempty_end = all.size();
    }
    all.resize(nonempty_end);
    return _to_qstr(all);
}

Q_STR *kvn_term_selection_text(const KVN_TERM *term, int64_t line_a, int col_a, int64_t line_b, int col_b) {
    Q_GUARD(term, nullptr);
    if (line_b < line_a || (line_b == line_a && col_b < col_a)) {
        std::swap(line_a, line_b);
        std::swap(col_a, col_b);
    }
    const int64_t oldest = term->scrolled_off, newest = term->scrolled_off + term->lines_used - 1;
    char buf[KVN_TERM_LINE_TEXT_MAX + 1];
    std::string out;
    bool first = true;
    for (int64_t l = line_a > oldest ? line_a : oldest; l <= line_b && l <= newest; l++) {
        int from = l == line_a ? col_a : 0;
        int to = l == line_b ? col_b + 1 : term->columns;
        if (from < 0) from = 0;
        if (to > term->columns) to = term->columns;
        const int n =
            from < to ? _cells_text(_ring_line(term, (int)(l - oldest)), from, to, buf, sizeof buf) : 0;
        if (!first) out.push_back('\n');
        out.append(buf, (size_t)n);
        first = false;
    }
    return _to_qstr(out);
}

// ---- keys, widths, colours -----------------------------------------------------

int kvn_term_key(int keycode, int character, int modifiers, char *dst) {
    Q_GUARD(dst, 0);
    // Keys whose bytes do not depend on the character.
    static const struct {
        int keycode;
        const char *bytes;
    } k_keys[] = {
        {ALLEGRO_KEY_F1, "\033OP"},      {ALLEGRO_KEY_F2, "\033OQ"},    {ALLEGRO_KEY_F3, "\033OR"},
        {ALLEGRO_KEY_F4, "\033OS"},      {ALLEGRO_KEY_ESCAPE, "\033"},  {ALLEGRO_KEY_BACKSPACE, "\177"},
        {ALLEGRO_KEY_ENTER, "\r"},       {ALLEGRO_KEY_PAD_ENTER, "\r"}, {ALLEGRO_KEY_INSERT, "\033[2~"},
        {ALLEGRO_KEY_DELETE, "\033[3~"}, {ALLEGRO_KEY_HOME, "\033[H"},  {ALLEGRO_KEY_END, "\033[F"},
        {ALLEGRO_KEY_PGUP, "\033[5~"},   {ALLEGRO_KEY_PGDN, "\033[6~"}, {ALLEGRO_KEY_LEFT, "\033[D"},
        {ALLEGRO_KEY_RIGHT, "\033[C"},   {ALLEGRO_KEY_UP, "\033[A"},    {ALLEGRO_KEY_DOWN, "\033[B"},
    };
    const char *fixed = nullptr;
    if (keycode == ALLEGRO_KEY_TAB) fixed = (modifiers & KVN_TERM_MOD_SHIFT) ? "\033[Z" : "\t";
    for (const auto &k : k_keys)
        if (k.keycode == keycode) fixed = k.bytes;
    if (fixed) {
        const size_t n = strlen(fixed);
        memcpy(dst, fixed, n);
        return (int)n;
    }
    if (character <= 0 || character > 0x10FFFF || (character >= 0xD800 && character <= 0xDFFF)) return 0;
    int n = 0;
    if (modifiers & KVN_TERM_MOD_ALT) dst[n++] = '\033';
    if (modifiers & KVN_TERM_MOD_CTRL) {
        if (character >= 'a' && character <= 'z') {
            dst[n++] = (char)(character - 'a' + 1);
            return n;
        }
        if (character == ' ' || character == '@') {
            dst[n++] = 0;
            return n;
        }
        if (character >= 'A' && character <= '_') {
            dst[n++] = (char)(character - 'A' + 1);
            return n;
        }
    }
    return n + _utf8_encode((uint32_t)character, dst + n);
}

struct RANGE {
    int32_t lo, hi;
};

static const RANGE k_zero[] = {{0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200D},
                               {0x20D0, 0x20FF}, {0xFE0F, 0xFE0F}, {0xFE20, 0xFE2F}};
static const RANGE k_wide[] = {{0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x4DBF},   {0x4E00, 0xA4CF},
                               {0xAC00, 0xD7A3}, {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
                               {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};

static int _in(const RANGE *r, size_t n, int32_t cp) {
    for (size_t i = 0; i < n && r[i].lo <= cp; i++)
        if (cp <= r[i].hi) return 1;
    return 0;
}

int kvn_term_char_width(int32_t codepoint) {
    if (codepoint < 0x300) return 1;
    if (_in(k_zero, sizeof k_zero / sizeof *k_zero, codepoint)) return 0;
    if (_in(k_wide, sizeof k_wide / sizeof *k_wide, codepoint)) return 2;
    return 1;
}

uint32_t kvn_term_color(int32_t value) {
    static const uint32_t k_basic[16] = {0x000000, 0xCD3131, 0x0DBC79, 0xE5E510, 0x2472C8, 0xBC3FBC,
                                         0x11A8CD, 0xCCCCCC, 0x666666, 0xF14C4C, 0x23D18B, 0xF5F543,
                                         0x3B8EEA, 0xD670D6, 0x29B8DB, 0xF2F2F2};
    if (value >= 0 && value < 16) return k_basic[value];
    if (value >= 16 && value < 232) {
        static const uint32_t k_level[6] = {0, 95, 135, 175, 215, 255};
        const int i = value - 16;
        return k_level[i / 36] << 16 | k_level[(i / 6) % 6] << 8 | k_level[i % 6];
    }
    if (value >= 232 && value < 256) {
        const uint32_t g = 8 + 10 * (uint32_t)(value - 232);
        return g << 16 | g << 8 | g;
    }
    if (value >= 0 && (value & KVN_TERM_RGB) && value <= (KVN_TERM_RGB | 0xFFFFFF))
        return (uint32_t)value & 0xFFFFFF;
    return 0xCCCCCC;
}
