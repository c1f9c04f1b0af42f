// The terminal model under console output it never expected: the input is a
// script of writes of any bytes, resizes (refused ones included), key presses,
// and the text extraction a copy does. After every step the model must still
// be consistent; a broken rule traps.
#include <cstdint>
#include <cstring>

#include "kvn_term.h"
#include "q_log.h"
#include "q_str.h"

static void _check(const KVN_TERM *t) {
    bool ok = t->columns >= 1 && t->columns <= KVN_TERM_MAX_COLUMNS && t->rows >= 1 &&
              t->rows <= KVN_TERM_MAX_ROWS && t->lines_used >= t->rows && t->lines_used <= t->ring_alloc &&
              t->ring_alloc <= t->ring_lines && (t->ring_start == 0 || t->lines_used == t->ring_lines) &&
              t->ring_start >= 0 && t->ring_start < t->ring_lines && t->cursor_col >= 0 &&
              t->cursor_col < t->columns && t->cursor_row >= 0 && t->cursor_row < t->rows && t->top >= 0 &&
              t->top <= t->bottom && t->bottom < t->rows && t->reply_len >= 0 &&
              t->reply_len <= KVN_TERM_REPLY_CAP && strlen(t->title) <= KVN_TERM_TITLE_CAP &&
              t->osc_len <= KVN_TERM_PARAM_CAP && t->params_len <= KVN_TERM_PARAM_CAP + 1 &&
              t->saved_col >= 0 && t->saved_row >= 0 && t->scrolled_off >= 0;
    if (!ok) __builtin_trap();
    // A right half always follows its wide left half: the screen rows only,
    // as the rest of the ring was checked when it was the screen.
    for (int r = 0; r < t->rows; r++) {
        const KVN_TERM_CELL *line = kvn_term_line(t, t->lines_used - t->rows + r);
        for (int c = 0; c < t->columns; c++)
            if (line[c].codepoint == KVN_TERM_WIDE_TAIL &&
                (c == 0 || kvn_term_char_width(line[c - 1].codepoint) != 2))
                __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    if (size < 2) return 0;
    KVN_TERM *t = kvn_term_new(1 + data[0] % 64, 1 + data[1] % 32);
    if (!t) return 0;
    size_t i = 2;
    while (i < size) {
        const uint8_t op = data[i++];
        const size_t left = size - i;
        switch (op >> 5) {
        case 0: // resize, sometimes out of range
            if (left >= 2) {
                // Mostly small grids keep executions fast; the extremes and
                // refused sizes come from a few byte values.
                const int cols = data[i] == 255 ? 1000 : data[i] == 254 ? KVN_TERM_MAX_COLUMNS : data[i] % 64;
                const int rows = data[i + 1] == 255   ? 1000
                                 : data[i + 1] == 254 ? KVN_TERM_MAX_ROWS
                                                      : data[i + 1] % 32;
                const int rc = kvn_term_resize(t, cols, rows);
                const bool fits =
                    cols >= 1 && cols <= KVN_TERM_MAX_COLUMNS && rows >= 1 && rows <= KVN_TERM_MAX_ROWS;
                if ((rc == 0) != fits) __builtin_trap();
                i += 2;
            }
            break;
        case 1: { // key press
            if (left >= 3) {
                char out[KVN_TERM_KEY_MAX];
                const int ch = data[i + 1] | (data[i + 2] & 0x1F) << 8 | (data[i + 2] >> 5) << 16;
                const int n = kvn_term_key(data[i], ch, data[i + 2] & 7, out);
                if (n < 0 || n > KVN_TERM_KEY_MAX) __builtin_trap();
                kvn_term_feed(t, out, (size_t)n); // echoed, as a shell would
                i += 3;
            }
            break;
        }
        case 2: { // copy: a line, the whole text, a selection
            char line[KVN_TERM_LINE_TEXT_MAX + 1];
            const int idx = left ? data[i] * 9 : 0;
            const int n = kvn_term_line_text(t, idx, line, sizeof line);
            if (n > KVN_TERM_LINE_TEXT_MAX || (n >= 0 && (size_t)n != strlen(line))) __builtin_trap();
            Q_STR *all = kvn_term_text(t);
            if (!all) __builtin_trap();
            free_qstr(&all);
            const int64_t base = t->scrolled_off;
            Q_STR *sel = kvn_term_selection_text(t, base + idx - 50, idx % 301 - 1, base + idx / 3, idx % 17);
            if (!sel) __builtin_trap();
            free_qstr(&sel);
            t->reply_len = 0; // the console sends what is owed
            t->reply[0] = 0;
            i += left ? 1 : 0;
            break;
        }
        default: { // a write of the next 1 to 64 bytes
            size_t n = (size_t)(op & 0x3F) + 1;
            if (n > left) n = left;
            kvn_term_feed(t, data + i, n);
            i += n;
            break;
        }
        }
        _check(t);
    }
    kvn_term_free(&t);
    return 0;
}
