// q_gui text area kind: a single- or multi-line UTF-8 field with a caret,
// a selection, clipboard keys, paste filtering, a mask character for
// passwords, a placeholder and a completion list fed by a provider.
//
// Offsets are bytes into the UTF-8 buffer and always sit on character
// boundaries. Text typed or pasted here may be a password: the buffer is
// zeroed wherever bytes leave it, and nothing of it is logged.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>
#include <vector>

#include "q_clipboard.h"
#include "q_common.h"
#include "q_gui_internal.h"

static const int k_sugg_rows = 8;

static Q_GUI_TEXTAREA_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_TEXTAREA_DATA *>(w->data);
}

static void _sel(const Q_GUI_TEXTAREA_DATA *d, int *a, int *b) {
    *a = d->sel_anchor < d->sel_end ? d->sel_anchor : d->sel_end;
    *b = d->sel_anchor < d->sel_end ? d->sel_end : d->sel_anchor;
}

static bool _has_sel(const Q_GUI_TEXTAREA_DATA *d) {
    return d->sel_anchor != d->sel_end;
}

static int _prev(const Q_GUI_TEXTAREA_DATA *d, int off) {
    if (off <= 0) return 0;
    int p = off - 1;
    while (p > 0 && off - p < 4 && ((unsigned char)d->buf[p] & 0xC0) == 0x80)
        p--;
    return p;
}

static int _next(const Q_GUI_TEXTAREA_DATA *d, int off) {
    if (off >= d->len) return d->len;
    const int n = off + q_gui_utf8_size((unsigned char)d->buf[off]);
    return n > d->len ? d->len : n;
}

static int _decode(const char *s, int *size) {
    const unsigned char c = (unsigned char)s[0];
    const int n = q_gui_utf8_size(c);
    *size = n;
    if (n == 1) return c;
    int cp = c & (0x7F >> n);
    for (int i = 1; i < n; i++) {
        if (((unsigned char)s[i] & 0xC0) != 0x80) {
            *size = i;
            return 0xFFFD;
        }
        cp = (cp << 6) | ((unsigned char)s[i] & 0x3F);
    }
    return cp;
}

static int _encode(int cp, char *out) {
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

// ---- layout ---------------------------------------------------------------------

struct TA_LINE {
    int start, end; // end excludes the line feed
};

static float _adv(ALLEGRO_FONT *font, const Q_GUI_TEXTAREA_DATA *d, int off, int *size) {
    const int cp = _decode(d->buf + off, size);
    const int shown = d->mask_char ? d->mask_char : (cp == '\t' ? ' ' : cp);
    const int a = al_get_glyph_advance(font, shown, ALLEGRO_NO_KERNING);
    return (float)(cp == '\t' && !d->mask_char ? a * 4 : a);
}

// Visual lines: line feeds break, and a multi-line area wraps words to its
// width (a word longer than the width is broken between characters).
static void _layout(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, std::vector<TA_LINE> *lines) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    lines->clear();
    if (!d->multiline) {
        lines->push_back({0, d->len});
        return;
    }
    const float avail = fmaxf(8, w->w - 2 * ctx->style.textarea_padding - ctx->style.scrollbar_size);
    int start = 0, i = 0, last_space = -1;
    float x = 0;
    while (i < d->len) {
        if (d->buf[i] == '\n') {
            lines->push_back({start, i});
            start = ++i;
            x = 0;
            last_space = -1;
            continue;
        }
        int size;
        const float a = _adv(font, d, i, &size);
        if (x + a > avail && i > start) {
            if (last_space >= start && d->buf[last_space] == ' ') {
                lines->push_back({start, last_space + 1});
                start = last_space + 1;
            } else {
                lines->push_back({start, i});
                start = i;
            }
            last_space = -1;
            x = 0;
            for (int k = start; k < i;) {
                int s2;
                x += _adv(font, d, k, &s2);
                k += s2;
            }
            continue;
        }
        if (d->buf[i] == ' ') last_space = i;
        x += a;
        i += size;
    }
    lines->push_back({start, d->len});
}

static int _line_of(const std::vector<TA_LINE> &lines, int off) {
    for (size_t i = 0; i < lines.size(); i++) {
        const bool next_starts_here = i + 1 < lines.size() && lines[i + 1].start == off;
        if (off >= lines[i].start && off <= lines[i].end && !next_starts_here) return (int)i;
    }
    return (int)lines.size() - 1;
}

static float _x_in_line(ALLEGRO_FONT *font, const Q_GUI_TEXTAREA_DATA *d, const TA_LINE &l, int off) {
    float x = 0;
    for (int i = l.start; i < off && i < l.end;) {
        int size;
        x += _adv(font, d, i, &size);
        i += size;
    }
    return x;
}

static int _off_at_x(ALLEGRO_FONT *font, const Q_GUI_TEXTAREA_DATA *d, const TA_LINE &l, float x) {
    float cx = 0;
    int i = l.start;
    while (i < l.end) {
        int size;
        const float a = _adv(font, d, i, &size);
        if (cx + a / 2 > x) break;
        cx += a;
        i += size;
    }
    // A wrapped line's trailing space belongs to it, but the caret stays
    // before it so that it does not land on the next line's start.
    if (i == l.end && l.end > l.start && l.end < d->len && d->buf[l.end] != '\n' && d->buf[l.end - 1] == ' ')
        i = l.end - 1;
    return i;
}

static float _line_h(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return (float)al_get_font_line_height(q_gui_widget_font(ctx, w));
}

static void _ensure_visible(const Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float pad = ctx->style.textarea_padding;
    std::vector<TA_LINE> lines;
    _layout(ctx, w, &lines);
    const int li = _line_of(lines, d->caret);
    if (!d->multiline) {
        const float cx = _x_in_line(font, d, lines[0], d->caret);
        const float avail = w->w - 2 * pad - ctx->style.textarea_cursor_width;
        if (cx - d->scroll_x > avail) d->scroll_x = cx - avail;
        if (cx < d->scroll_x) d->scroll_x = cx;
        if (d->scroll_x < 0) d->scroll_x = 0;
        return;
    }
    const float lh = _line_h(ctx, w), view = w->h - 2 * pad;
    const float top = lh * (float)li;
    if (top < d->scroll_y) d->scroll_y = top;
    if (top + lh > d->scroll_y + view) d->scroll_y = top + lh - view;
    const float maxs = fmaxf(0, lh * (float)lines.size() - view);
    d->scroll_y = fminf(fmaxf(d->scroll_y, 0), maxs);
}

// ---- editing ----------------------------------------------------------------------

static void _changed(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    ctx->redraw = 1;
    if (d->on_change) d->on_change(w->id, d->buf, d->user);
}

// Replaces bytes [from, to) by ins; refused as a whole when the result would
// not fit the maximum length. The caret ends after the inserted bytes.
static int _replace(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, int from, int to, const char *ins, int ins_len) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    const long nlen = (long)d->len - (to - from) + ins_len;
    if (nlen > d->max_len) return -1;
    if (to == from && ins_len == 0) return 0;
    memmove(d->buf + from + ins_len, d->buf + to, (size_t)(d->len - to));
    memcpy(d->buf + from, ins, (size_t)ins_len);
    // Bytes left behind past the end may be part of a password.
    if (nlen < d->len) q_secure_zero(d->buf + nlen, (size_t)(d->len - nlen));
    d->len = (int)nlen;
    d->buf[d->len] = 0;
    d->caret = d->sel_anchor = d->sel_end = from + ins_len;
    _changed(ctx, w);
    return 0;
}

static int _delete_sel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    int a, b;
    _sel(_data(w), &a, &b);
    return _replace(ctx, w, a, b, "", 0);
}

static void _move(Q_GUI_TEXTAREA_DATA *d, int to, bool extend) {
    if (extend) {
        if (!_has_sel(d)) d->sel_anchor = d->caret;
        d->caret = d->sel_end = to;
    } else {
        d->caret = d->sel_anchor = d->sel_end = to;
    }
}

// Filters pasted text (carriage returns dropped, line feeds kept only in a
// multi-line area, other control bytes dropped, at most Q_GUI_PASTE_MAX bytes)
// and inserts it in place of the selection, or changes nothing when it does
// not fit.
static void _paste(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const char *text) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    const size_t n = strlen(text);
    char *f = static_cast<char *>(calloc(n < Q_GUI_PASTE_MAX ? n + 1 : Q_GUI_PASTE_MAX + 1, 1));
    if (!f) return;
    size_t k = 0;
    for (size_t i = 0; i < n && k < Q_GUI_PASTE_MAX; i++) {
        const unsigned char c = (unsigned char)text[i];
        if (c == '\n' ? !d->multiline : c < 32) continue;
        f[k++] = (char)c;
    }
    k = q_gui_utf8_cut(f, k, Q_GUI_PASTE_MAX);
    // A trailing partial character would leave a broken sequence behind.
    size_t s = k;
    while (s > 0 && ((unsigned char)f[s - 1] & 0xC0) == 0x80)
        s--;
    if (s > 0 && ((unsigned char)f[s - 1] & 0x80) &&
        (size_t)q_gui_utf8_size((unsigned char)f[s - 1]) > k - (s - 1))
        k = s - 1;
    int a, b;
    _sel(d, &a, &b);
    if (k > 0) _replace(ctx, w, a, b, f, (int)k);
    q_secure_zero(f, k);
    free(f);
}

// The selection as the primary selection, where the clipboard backend has
// one (this one does not: the call changes nothing). Never for a masked field.
static void _publish_primary(const Q_GUI_WIDGET *w) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (d->mask_char || !_has_sel(d) || !q_clipboard_init()) return;
    int a, b;
    _sel(d, &a, &b);
    std::vector<char> t((size_t)(b - a) + 1, 0);
    memcpy(t.data(), d->buf + a, (size_t)(b - a));
    q_clipboard_set(1, t.data());
}

static void _copy_sel(Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    // A masked field never hands its text to other programs.
    if (d->mask_char || !_has_sel(d)) return;
    int a, b;
    _sel(d, &a, &b);
    std::vector<char> t((size_t)(b - a) + 1, 0);
    memcpy(t.data(), d->buf + a, (size_t)(b - a));
    q_gui_copy_text(ctx, t.data());
}

static int _edit_key(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    const int key = ev->keyboard.keycode;
    const bool ctrl = (ev->keyboard.modifiers & ALLEGRO_KEYMOD_CTRL) != 0;
    const bool shift = (ev->keyboard.modifiers & ALLEGRO_KEYMOD_SHIFT) != 0;
    ctx->redraw = 1;
    if (ctrl) {
        switch (key) {
        case ALLEGRO_KEY_A:
            d->sel_anchor = 0;
            d->caret = d->sel_end = d->len;
            _publish_primary(w);
            return 1;
        case ALLEGRO_KEY_C:
            _copy_sel(ctx, w);
            return 1;
        case ALLEGRO_KEY_X:
            if (_has_sel(d) && !d->mask_char) {
                _copy_sel(ctx, w);
                _delete_sel(ctx, w);
            }
            return 1;
        case ALLEGRO_KEY_V: {
            char *clip = q_gui_clipboard_text(ctx, 0);
            if (clip) {
                _paste(ctx, w, clip);
                q_secure_zero(clip, strlen(clip));
                free(clip);
            }
            return 1;
        }
        default:
            break;
        }
    }
    switch (key) {
    case ALLEGRO_KEY_BACKSPACE:
        if (_has_sel(d))
            _delete_sel(ctx, w);
        else if (d->caret > 0)
            _replace(ctx, w, _prev(d, d->caret), d->caret, "", 0);
        return 1;
    case ALLEGRO_KEY_DELETE:
        if (_has_sel(d))
            _delete_sel(ctx, w);
        else if (d->caret < d->len)
            _replace(ctx, w, d->caret, _next(d, d->caret), "", 0);
        return 1;
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER: {
        if (!d->multiline) return 0; // the window's default action may use it
        int a, b;
        _sel(d, &a, &b);
        _replace(ctx, w, a, b, "\n", 1);
        return 1;
    }
    case ALLEGRO_KEY_HOME:
        _move(d, 0, shift);
        return 1;
    case ALLEGRO_KEY_END:
        _move(d, d->len, shift);
        return 1;
    case ALLEGRO_KEY_LEFT:
        if (!shift && _has_sel(d)) {
            int a, b;
            _sel(d, &a, &b);
            _move(d, a, false);
        } else {
            _move(d, _prev(d, d->caret), shift);
        }
        return 1;
    case ALLEGRO_KEY_RIGHT:
        if (!shift && _has_sel(d)) {
            int a, b;
            _sel(d, &a, &b);
            _move(d, b, false);
        } else {
            _move(d, _next(d, d->caret), shift);
        }
        return 1;
    case ALLEGRO_KEY_UP:
    case ALLEGRO_KEY_DOWN: {
        if (!d->multiline) return 1;
        ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
        std::vector<TA_LINE> lines;
        _layout(ctx, w, &lines);
        const int li = _line_of(lines, d->caret);
        const int target = key == ALLEGRO_KEY_UP ? li - 1 : li + 1;
        int to;
        if (target < 0)
            to = 0;
        else if (target >= (int)lines.size())
            to = d->len;
        else
            to = _off_at_x(font, d, lines[(size_t)target], _x_in_line(font, d, lines[(size_t)li], d->caret));
        _move(d, to, shift);
        return 1;
    }
    case ALLEGRO_KEY_ESCAPE:
        return 0; // left to the application
    case ALLEGRO_KEY_TAB:
        // Only reaches here when Ctrl+Tab asks a multi-line area for a tab.
        if (d->multiline) {
            int a, b;
            _sel(d, &a, &b);
            _replace(ctx, w, a, b, "\t", 1);
        }
        return 1;
    default:
        break;
    }
    const int cp = ev->keyboard.unichar;
    if (ctrl || cp < 32 || cp > 0x10FFFF || cp == 127 || (cp >= 0xD800 && cp <= 0xDFFF)) return 1;
    char enc[4];
    const int n = _encode(cp, enc);
    int a, b;
    _sel(d, &a, &b);
    _replace(ctx, w, a, b, enc, n);
    return 1;
}

// ---- suggestions ------------------------------------------------------------------

static bool _is_sep(const Q_GUI_TEXTAREA_DATA *d, char c) {
    return c && strchr(d->separators, c) != nullptr;
}

static int _word_start(const Q_GUI_TEXTAREA_DATA *d) {
    int s = d->caret;
    while (s > 0 && !_is_sep(d, d->buf[s - 1]))
        s--;
    return s;
}

static int _sugg_mouse(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx, float my);
static void _sugg_draw(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w);

static void _sugg_displaced(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    _data(w)->sugg_open = 0;
}

static const Q_GUI_OVERLAY_OPS k_sugg_overlay = {
    .key = nullptr,
    .mouse = _sugg_mouse,
    .wheel = nullptr,
    .draw = _sugg_draw,
    .displaced = _sugg_displaced,
};

// The context may close the list behind the widget's back.
static bool _sugg_shown(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return _data(w)->sugg_open && q_gui_overlay_held(ctx, Q_GUI_LAYER_SUGGEST, w);
}

static void _sugg_close(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    d->sugg_open = 0;
    q_gui_overlay_release(ctx, Q_GUI_LAYER_SUGGEST, w);
    ctx->redraw = 1;
}

static int _sugg_refresh(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, bool force) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (!d->suggest) return 0;
    int s = _word_start(d);
    if (d->caret - s > Q_GUI_SUGGEST_WORD_MAX - 1) s = d->caret - (Q_GUI_SUGGEST_WORD_MAX - 1);
    while (s < d->caret && ((unsigned char)d->buf[s] & 0xC0) == 0x80)
        s++;
    char word[Q_GUI_SUGGEST_WORD_MAX];
    memcpy(word, d->buf + s, (size_t)(d->caret - s));
    word[d->caret - s] = 0;
    if (!word[0]) {
        _sugg_close(ctx, w);
        return 0;
    }
    const bool open = _sugg_shown(ctx, w);
    if (open && !force && !strcmp(word, d->sugg_word)) return 1;
    if (!d->sugg) {
        Q_CALLOC(d->sugg, Q_GUI_SUGGEST_MAX, Q_GUI_LISTITEM);
        if (!d->sugg) return 0;
    }
    memset(d->sugg, 0, sizeof(Q_GUI_LISTITEM) * Q_GUI_SUGGEST_MAX);
    int n = d->suggest(word, d->sugg, Q_GUI_SUGGEST_MAX, d->suggest_user);
    n = n < 0 ? 0 : n > Q_GUI_SUGGEST_MAX ? Q_GUI_SUGGEST_MAX : n;
    for (int i = 0; i < n; i++)
        d->sugg[i].text[Q_GUI_ITEM_TEXT_MAX - 1] = 0;
    d->sugg_count = n;
    q_strcpy(d->sugg_word, sizeof d->sugg_word, word);
    if (n == 0) {
        _sugg_close(ctx, w);
        return 0;
    }
    // One list at a time across all text areas.
    q_gui_overlay_open(ctx, Q_GUI_LAYER_SUGGEST, w, &k_sugg_overlay);
    d->sugg_open = 1;
    d->sugg_hl = 0;
    ctx->redraw = 1;
    return 1;
}

static void _sugg_accept(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (d->sugg_hl >= 0 && d->sugg_hl < d->sugg_count) {
        const int s = _word_start(d);
        int e = d->caret;
        while (e < d->len && !_is_sep(d, d->buf[e]))
            e++;
        const char *item = d->sugg[d->sugg_hl].text;
        _replace(ctx, w, s, e, item, (int)strlen(item));
    }
    _sugg_close(ctx, w);
}

// ---- kind hooks -----------------------------------------------------------------

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    const int key = ev->keyboard.keycode;
    d->blink_start = q_gui_now();
    if (_sugg_shown(ctx, w)) {
        switch (key) {
        case ALLEGRO_KEY_ESCAPE:
            _sugg_close(ctx, w);
            return 1;
        case ALLEGRO_KEY_TAB:
        case ALLEGRO_KEY_ENTER:
        case ALLEGRO_KEY_PAD_ENTER:
            _sugg_accept(ctx, w);
            _ensure_visible(ctx, w);
            return 1;
        case ALLEGRO_KEY_UP:
        case ALLEGRO_KEY_DOWN:
        case ALLEGRO_KEY_PGUP:
        case ALLEGRO_KEY_PGDN: {
            const int step = key == ALLEGRO_KEY_UP     ? -1
                             : key == ALLEGRO_KEY_DOWN ? 1
                             : key == ALLEGRO_KEY_PGUP ? -k_sugg_rows
                                                       : k_sugg_rows;
            int hl = d->sugg_hl + step;
            hl = hl < 0 ? 0 : hl >= d->sugg_count ? d->sugg_count - 1 : hl;
            d->sugg_hl = hl;
            ctx->redraw = 1;
            return 1;
        }
        default:
            break;
        }
    } else if (key == ALLEGRO_KEY_DOWN && d->suggest && _sugg_refresh(ctx, w, true)) {
        return 1;
    }
    const int r = _edit_key(ctx, w, ev);
    if (r) {
        _sugg_refresh(ctx, w, false);
        _ensure_visible(ctx, w);
    }
    return r;
}

static int _takes_key(const Q_GUI_WIDGET *, int) {
    return 1;
}

static int _wants_tab(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (_sugg_shown(ctx, w)) return 1;
    return d->multiline && q_gui_ctrl_held(ctx);
}

static int _offset_at(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, float mx, float my) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float pad = ctx->style.textarea_padding, lh = _line_h(ctx, w);
    std::vector<TA_LINE> lines;
    _layout(ctx, w, &lines);
    int li = 0;
    if (d->multiline) {
        li = (int)floorf((my - (y + pad) + d->scroll_y) / lh);
        li = li < 0 ? 0 : li >= (int)lines.size() ? (int)lines.size() - 1 : li;
    }
    return _off_at_x(font, d, lines[(size_t)li], mx - (x + pad) + d->scroll_x);
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button == 3) {
        // Middle button: the primary selection, where the backend has one.
        char *prim = q_gui_clipboard_text(ctx, 1);
        if (prim) {
            _paste(ctx, w, prim);
            q_secure_zero(prim, strlen(prim));
            free(prim);
        }
        return;
    }
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button == 1) {
        const int off = _offset_at(ctx, w, x, y, mx, my);
        const bool extend = q_gui_shift_held(ctx);
        _move(d, off, extend);
        d->selecting = 1;
        d->blink_start = q_gui_now();
        _sugg_close(ctx, w);
    } else if (d->selecting &&
               (ev->type == ALLEGRO_EVENT_MOUSE_AXES || ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP)) {
        _move(d, _offset_at(ctx, w, x, y, mx, my), true);
        if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) {
            d->selecting = 0;
            _publish_primary(w);
        }
        _ensure_visible(ctx, w);
    }
    ctx->redraw = 1;
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (!d->multiline) return 0;
    std::vector<TA_LINE> lines;
    _layout(ctx, w, &lines);
    const float lh = _line_h(ctx, w), view = w->h - 2 * ctx->style.textarea_padding;
    const float maxs = fmaxf(0, lh * (float)lines.size() - view);
    if (maxs <= 0) return 0;
    d->scroll_y = fminf(fmaxf(d->scroll_y - dz * 3 * lh, 0), maxs);
    return 1;
}

static void _draw_line(ALLEGRO_FONT *font, const Q_GUI_TEXTAREA_DATA *d, ALLEGRO_COLOR c, float x, float y,
                       const TA_LINE &l) {
    if (l.end <= l.start) return;
    if (!d->mask_char) {
        // Tabs are drawn as spaces so they take the width the layout gave.
        ALLEGRO_USTR *u = al_ustr_new_from_buffer(d->buf + l.start, (size_t)(l.end - l.start));
        if (!u) return;
        for (int i = 0; i < (int)al_ustr_size(u); i++)
            if (al_ustr_get(u, i) == '\t') {
                al_ustr_remove_chr(u, i);
                al_ustr_insert_cstr(u, i, "    ");
            }
        // Glyphs one by one, so the caret and the text agree without kerning.
        float cx = x;
        int pos = 0;
        int32_t cp;
        while ((cp = al_ustr_get_next(u, &pos)) >= 0) {
            al_draw_glyph(font, c, cx, y, cp);
            cx += (float)al_get_glyph_advance(font, cp, ALLEGRO_NO_KERNING);
        }
        al_ustr_free(u);
        return;
    }
    float cx = x;
    for (int i = l.start; i < l.end;) {
        int size;
        _decode(d->buf + i, &size);
        al_draw_glyph(font, c, cx, y, d->mask_char);
        cx += (float)al_get_glyph_advance(font, d->mask_char, ALLEGRO_NO_KERNING);
        i += size;
    }
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const bool focused = (w->state & Q_GUI_WS_FOCUSED) != 0;
    // Editing reads as pressed: the focused area takes the active colours.
    const Q_GUI_LOOK look = q_gui_look(w, focused);
    const float pad = ctx->style.textarea_padding, lh = _line_h(ctx, w);
    if (d->bitmap)
        q_gui_draw_bitmap_in(d->bitmap, x, y, w->w, w->h);
    else
        q_gui_fill_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, look.bg);
    q_gui_stroke_box(ctx, x, y, w->w, w->h, t->corner_rx, t->corner_ry, look.border,
                     focused ? t->border_thickness + 1 : t->border_thickness);

    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    // Clip to the inside, intersected with the window's clip.
    q_gui_clip_within(x + pad / 2, y + pad / 2, x + w->w - pad / 2, y + w->h - pad / 2, ox, oy, ow, oh);
    std::vector<TA_LINE> lines;
    _layout(ctx, w, &lines);
    const float tx = x + pad - d->scroll_x;
    const float ty0 = d->multiline ? y + pad - d->scroll_y : y + (w->h - lh) / 2;
    if (d->len == 0 && d->placeholder && !focused) {
        al_draw_text(font, q_gui_with_alpha(t->text_normal, t->text_normal.a * 0.45f), x + pad, ty0, 0,
                     d->placeholder);
    }
    int a, b;
    _sel(d, &a, &b);
    const ALLEGRO_COLOR tc = q_gui_dim(w, focused ? t->text_active : t->text_normal);
    const int first = d->multiline ? std::max(0, (int)floorf(d->scroll_y / lh)) : 0;
    for (int i = first; i < (int)lines.size(); i++) {
        const float ly = ty0 + lh * (float)i;
        if (ly > y + w->h) break;
        const TA_LINE &l = lines[(size_t)i];
        if (a != b && b > l.start && a <= l.end) {
            const int s0 = std::max(a, l.start), s1 = std::min(b, l.end);
            float x0 = tx + _x_in_line(font, d, l, s0), x1 = tx + _x_in_line(font, d, l, s1);
            if (b > l.end && l.end < d->len) x1 += 4; // the selected line feed
            al_draw_filled_rectangle(x0, ly, x1, ly + lh, t->selection_color);
        }
        _draw_line(font, d, tc, tx, ly, l);
    }
    if (focused && d->len == 0 && d->placeholder) {
        // Focused and empty: the placeholder stays as a faint hint.
        al_draw_text(font, q_gui_with_alpha(t->text_normal, t->text_normal.a * 0.3f), x + pad + 4, ty0, 0,
                     d->placeholder);
    }
    if (focused) {
        const double period = ctx->style.textarea_cursor_blink_period;
        const double phase = period > 0 ? fmod(q_gui_now() - d->blink_start, period) : 0;
        if (phase < period / 2) {
            const int li = _line_of(lines, d->caret);
            const float cx = tx + _x_in_line(font, d, lines[(size_t)li], d->caret);
            const float cy = ty0 + lh * (float)li;
            al_draw_filled_rectangle(cx, cy, cx + ctx->style.textarea_cursor_width, cy + lh, t->text_active);
        }
    }
    al_set_clipping_rectangle(ox, oy, ow, oh);
    if (d->multiline) {
        const float view = w->h - 2 * pad, content = lh * (float)lines.size();
        if (content > view) {
            const float sw = ctx->style.scrollbar_size * 0.6f;
            q_gui_draw_strip(ctx, x + w->w - sw - 1, y + 1, sw, w->h - 2, 1, content, view, d->scroll_y, 0);
        }
    }
}

// Where the open list is drawn: below the field, or above it when it does
// not fit below. Returns false when no list is shown.
struct SUGG_GEOM {
    float x, y, w, row_h;
    int rows, first;
};

static bool _sugg_geom(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, SUGG_GEOM *g) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, w);
    // The list belongs to the field being typed in; it is not shown once
    // the focus went elsewhere.
    if (!win || !d->sugg_open || d->sugg_count <= 0 || !(win->state & Q_GUI_WST_OPEN) || !w->visible ||
        ctx->focus != w->id)
        return false;
    float x, y;
    q_gui_widget_origin(win, w, &x, &y);
    g->row_h = (float)al_get_font_line_height(q_gui_widget_font(ctx, w)) + ctx->style.item_height_pad;
    g->rows = std::min(d->sugg_count, k_sugg_rows);
    g->first = std::max(0, std::min(d->sugg_hl - g->rows + 1, d->sugg_count - g->rows));
    float top, bottom;
    q_gui_overlay_area(ctx, win, &top, &bottom);
    const float h = g->row_h * (float)g->rows;
    g->x = x;
    g->y = (y + w->h + h > bottom && y - h >= top) ? y - h : y + w->h;
    g->w = std::max(w->w, 160.0f);
    return true;
}

// A press on a suggestion accepts it; a press elsewhere closes the list and
// goes on to whatever is under the pointer.
static int _sugg_mouse(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx, float my) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    SUGG_GEOM g;
    if (!_sugg_geom(ctx, w, &g)) return 0;
    if (mx >= g.x && mx < g.x + g.w && my >= g.y && my < g.y + g.row_h * (float)g.rows) {
        if (ev->mouse.button == 1) {
            d->sugg_hl = g.first + (int)floorf((my - g.y) / g.row_h);
            _sugg_accept(ctx, w);
            _ensure_visible(ctx, w);
        }
        return 1;
    }
    _sugg_close(ctx, w);
    return 0;
}

static void _sugg_draw(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w) {
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    SUGG_GEOM g;
    if (!_sugg_geom(ctx, w, &g)) return;
    const Q_GUI_THEME *t = &w->theme;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    const float x = g.x, ly = g.y, lw = g.w, rh = g.row_h;
    const int rows = g.rows, first = g.first;
    al_draw_filled_rectangle(x, ly, x + lw, ly + rh * (float)rows, q_gui_with_alpha(t->bg_active, 1.0f));
    for (int i = 0; i < rows; i++) {
        const int k = first + i;
        const float ry = ly + rh * (float)i;
        const ALLEGRO_COLOR tc = q_gui_lit_row(t, w->enabled, x + 1, ry, x + lw - 1, ry + rh,
                                               k == d->sugg_hl ? Q_GUI_LIT_CURSOR : Q_GUI_LIT_NONE);
        q_gui_draw_text_fit(font, tc, x + ctx->style.item_text_padding, ry + ctx->style.item_height_pad / 2,
                            lw - 2 * ctx->style.item_text_padding, 0, d->sugg[k].text);
    }
    al_draw_rectangle(x + 0.5f, ly + 0.5f, x + lw - 0.5f, ly + rh * (float)rows - 0.5f, t->border_active, 1);
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (d->buf) q_secure_zero(d->buf, (size_t)d->max_len + 1);
    Q_FREE(d->buf);
    Q_FREE(d->placeholder);
    Q_FREE(d->sugg);
}

static int _cursor_at(const Q_GUI_CTX *, const Q_GUI_WIDGET *, float, float) {
    return ALLEGRO_SYSTEM_MOUSE_CURSOR_EDIT;
}

static const Q_GUI_KIND_OPS k_textarea_ops = {
    .kind = Q_GUI_KIND_TEXTAREA,
    .name = "textarea",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = _takes_key,
    .destroy = _destroy,
    .wheel = _wheel,
    .wants_tab = _wants_tab,
    .cursor_at = _cursor_at,
    .animates_when_focused = 1,
};

// ---- operations -----------------------------------------------------------------

int q_gui_add_textarea(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int multiline,
                       int max_len, Q_GUI_TEXT_CB on_change, void *user) {
    Q_GUARD(ctx, -1);
    if (!q_gui_window_find(ctx, window)) return -1;
    Q_GUI_TEXTAREA_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_TEXTAREA_DATA);
    if (!d) return -1;
    d->max_len = max_len > 0 ? max_len : Q_GUI_TEXTAREA_DEFAULT_MAX;
    Q_CALLOC(d->buf, (size_t)d->max_len + 1, char);
    if (!d->buf) {
        Q_FREE(d);
        return -1;
    }
    d->multiline = multiline ? 1 : 0;
    d->on_change = on_change;
    d->user = user;
    d->sugg_hl = -1;
    char *buf = d->buf;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_textarea_ops, d, x, y, w, h);
    // q_gui_widget_create frees the record itself on failure, not its buffer.
    if (!wd) {
        free(buf);
        return -1;
    }
    return wd->id;
}

static Q_GUI_WIDGET *_ta(const Q_GUI_CTX *ctx, int id, const char *fn) {
    return q_gui_widget_expect(ctx, id, Q_GUI_KIND_TEXTAREA, fn, "textarea");
}

void q_gui_textarea_set_text(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = _ta(ctx, id, "q_gui_textarea_set_text");
    if (!w) return;
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    q_secure_zero(d->buf, (size_t)d->max_len + 1);
    int n = 0;
    for (const char *p = text ? text : ""; *p && n < d->max_len; p++)
        if (*p != '\r') d->buf[n++] = *p;
    n = (int)q_gui_utf8_cut(d->buf, (size_t)n, (size_t)n);
    // Do not leave a character cut in half at the maximum length.
    int s = n;
    while (s > 0 && ((unsigned char)d->buf[s - 1] & 0xC0) == 0x80)
        s--;
    if (s > 0 && ((unsigned char)d->buf[s - 1] & 0x80) &&
        q_gui_utf8_size((unsigned char)d->buf[s - 1]) > n - (s - 1)) {
        q_secure_zero(d->buf + s - 1, (size_t)(n - (s - 1)));
        n = s - 1;
    }
    d->len = n;
    d->buf[n] = 0;
    d->caret = d->sel_anchor = d->sel_end = 0;
    d->scroll_x = d->scroll_y = 0;
    if (d->sugg_open) _sugg_close(ctx, w);
    ctx->redraw = 1;
}

const char *q_gui_textarea_get_text(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_TEXTAREA);
    return w ? _data(w)->buf : "";
}

void q_gui_textarea_set_placeholder(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = _ta(ctx, id, "q_gui_textarea_set_placeholder");
    if (!w) return;
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    Q_FREE(d->placeholder);
    if (text && text[0]) {
        const size_t n = strlen(text);
        Q_CALLOC(d->placeholder, n + 1, char);
        if (d->placeholder) memcpy(d->placeholder, text, n);
    }
    ctx->redraw = 1;
}

void q_gui_textarea_set_mask_char(Q_GUI_CTX *ctx, int id, int codepoint) {
    Q_GUI_WIDGET *w = _ta(ctx, id, "q_gui_textarea_set_mask_char");
    if (!w) return;
    _data(w)->mask_char = (codepoint >= 32 && codepoint <= 0x10FFFF) ? codepoint : 0;
    ctx->redraw = 1;
}

void q_gui_textarea_set_suggest(Q_GUI_CTX *ctx, int id, Q_GUI_SUGGEST_CB provider, const char *separators,
                                void *user) {
    Q_GUI_WIDGET *w = _ta(ctx, id, "q_gui_textarea_set_suggest");
    if (!w) return;
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    d->suggest = provider;
    d->suggest_user = user;
    q_strcpy(d->separators, sizeof d->separators, separators ? separators : " ");
    if (!provider && d->sugg_open) _sugg_close(ctx, w);
}

void q_gui_textarea_set_bitmap(Q_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap) {
    Q_GUI_WIDGET *w = _ta(ctx, id, "q_gui_textarea_set_bitmap");
    if (!w) return;
    _data(w)->bitmap = bitmap;
    ctx->redraw = 1;
}

int q_gui_textarea_get_caret(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_TEXTAREA);
    return w ? _data(w)->caret : -1;
}

void q_gui_textarea_set_selection(Q_GUI_CTX *ctx, int id, int anchor, int end) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_TEXTAREA);
    if (!w) return;
    Q_GUI_TEXTAREA_DATA *d = _data(w);
    auto fix = [d](int off) {
        off = off < 0 ? 0 : off > d->len ? d->len : off;
        while (off > 0 && off < d->len && ((unsigned char)d->buf[off] & 0xC0) == 0x80)
            off--;
        return off;
    };
    d->sel_anchor = fix(anchor);
    d->caret = d->sel_end = fix(end);
    ctx->redraw = 1;
}

int q_gui_textarea_get_selection(const Q_GUI_CTX *ctx, int id, int *start, int *end) {
    const Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_TEXTAREA);
    if (!w) return 0;
    int a, b;
    _sel(_data(w), &a, &b);
    if (start) *start = a;
    if (end) *end = b;
    return a != b;
}

int q_gui_textarea_suggest_state(const Q_GUI_CTX *ctx, int id, int *count, int *highlight) {
    const Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_TEXTAREA);
    if (!w) return 0;
    const Q_GUI_TEXTAREA_DATA *d = _data(w);
    if (count) *count = d->sugg_count;
    if (highlight) *highlight = d->sugg_hl;
    return _sugg_shown(ctx, w);
}
