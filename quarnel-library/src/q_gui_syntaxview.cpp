// q_gui syntax view kind: read-only text drawn line by line with colours by
// language (plain, header lines, JSON, XML/HTML, YAML, script code, unified
// diff), mouse selection and Ctrl+C. Only the lines in view are drawn; the
// classifier's state at each line start is kept so block comments that span
// lines colour correctly wherever the view is scrolled.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cctype>
#include <cmath>
#include <cstring>
#include <vector>

#include "q_common.h"
#include "q_gui_internal.h"

static Q_GUI_SYNTAXVIEW_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_SYNTAXVIEW_DATA *>(w->data);
}

// ---- classification -------------------------------------------------------------

static bool _word(char c) {
    return isalnum((unsigned char)c) || c == '_' || c == '$';
}

// A quoted run from i (the opening quote); returns the index after it.
static int _quoted(const char *s, int len, int i, unsigned char *cls, unsigned char tok) {
    const char q = s[i];
    cls[i++] = tok;
    while (i < len) {
        cls[i] = tok;
        if (s[i] == '\\' && i + 1 < len) {
            cls[i + 1] = tok;
            i += 2;
            continue;
        }
        if (s[i++] == q) break;
    }
    return i;
}

static void _json(const char *s, int len, unsigned char *cls) {
    int i = 0;
    while (i < len) {
        const char c = s[i];
        if (c == '"') {
            const int start = i;
            i = _quoted(s, len, i, cls, Q_GUI_TOK_STRING);
            int k = i;
            while (k < len && (s[k] == ' ' || s[k] == '\t'))
                k++;
            if (k < len && s[k] == ':') memset(cls + start, Q_GUI_TOK_KEY, (size_t)(i - start));
        } else if (c == '-' || isdigit((unsigned char)c)) {
            while (i < len && (isdigit((unsigned char)s[i]) || strchr("-+.eE", s[i])))
                cls[i++] = Q_GUI_TOK_NUMBER;
        } else if (isalpha((unsigned char)c)) {
            const int start = i;
            while (i < len && isalpha((unsigned char)s[i]))
                i++;
            const int n = i - start;
            const bool lit = (n == 4 && (!strncmp(s + start, "true", 4) || !strncmp(s + start, "null", 4))) ||
                             (n == 5 && !strncmp(s + start, "false", 5));
            memset(cls + start, lit ? Q_GUI_TOK_LITERAL : Q_GUI_TOK_TEXT, (size_t)n);
        } else {
            cls[i++] = strchr("{}[],:", c) ? Q_GUI_TOK_PUNCT : Q_GUI_TOK_TEXT;
        }
    }
}

// States: 0 text, 1 inside a tag, 2 inside a comment.
static void _xml(const char *s, int len, int *state, unsigned char *cls) {
    int i = 0;
    while (i < len) {
        if (*state == 2) {
            const char *e = nullptr;
            for (int k = i; k + 2 < len + 0 && !e; k++)
                if (!strncmp(s + k, "-->", 3)) e = s + k;
            const int end = e ? (int)(e - s) + 3 : len;
            memset(cls + i, Q_GUI_TOK_COMMENT, (size_t)(end - i));
            i = end;
            if (e) *state = 0;
        } else if (*state == 1) {
            const char c = s[i];
            if (c == '>' || (c == '/' && i + 1 < len && s[i + 1] == '>')) {
                const int n = c == '>' ? 1 : 2;
                memset(cls + i, Q_GUI_TOK_TAG, (size_t)n);
                i += n;
                *state = 0;
            } else if (c == '"' || c == '\'') {
                i = _quoted(s, len, i, cls, Q_GUI_TOK_STRING);
            } else if (c == '=') {
                cls[i++] = Q_GUI_TOK_PUNCT;
            } else if (_word(c) || c == '-' || c == ':') {
                while (i < len && (_word(s[i]) || s[i] == '-' || s[i] == ':'))
                    cls[i++] = Q_GUI_TOK_ATTR;
            } else {
                cls[i++] = Q_GUI_TOK_TEXT;
            }
        } else if (s[i] == '<') {
            if (i + 3 < len + 0 && !strncmp(s + i, "<!--", 4)) {
                *state = 2;
                continue;
            }
            cls[i++] = Q_GUI_TOK_TAG;
            while (i < len && (s[i] == '/' || s[i] == '?' || s[i] == '!'))
                cls[i++] = Q_GUI_TOK_TAG;
            while (i < len && (_word(s[i]) || s[i] == '-' || s[i] == ':' || s[i] == '.'))
                cls[i++] = Q_GUI_TOK_TAG;
            *state = 1;
        } else {
            cls[i++] = Q_GUI_TOK_TEXT;
        }
    }
}

static void _yaml(const char *s, int len, unsigned char *cls) {
    int i = 0;
    while (i < len && (s[i] == ' ' || s[i] == '\t'))
        i++;
    while (i + 1 <= len && s[i] == '-' && (i + 1 == len || s[i + 1] == ' ')) {
        cls[i++] = Q_GUI_TOK_PUNCT;
        while (i < len && s[i] == ' ')
            i++;
    }
    // A key: text up to a colon that ends the line or is followed by a space.
    for (int k = i; k < len && s[k] != '#' && s[k] != '"' && s[k] != '\''; k++)
        if (s[k] == ':' && (k + 1 == len || s[k + 1] == ' ')) {
            memset(cls + i, Q_GUI_TOK_KEY, (size_t)(k - i));
            cls[k] = Q_GUI_TOK_PUNCT;
            i = k + 1;
            break;
        }
    while (i < len) {
        const char c = s[i];
        if (c == '#' && (i == 0 || s[i - 1] == ' ' || s[i - 1] == '\t')) {
            memset(cls + i, Q_GUI_TOK_COMMENT, (size_t)(len - i));
            return;
        }
        if (c == '"' || c == '\'')
            i = _quoted(s, len, i, cls, Q_GUI_TOK_STRING);
        else
            cls[i++] = Q_GUI_TOK_TEXT;
    }
}

// States: 0 code, 1 inside a block comment.
static void _script(const char *s, int len, int *state, unsigned char *cls) {
    int i = 0;
    int first = 0;
    while (first < len && (s[first] == ' ' || s[first] == '\t'))
        first++;
    if (*state == 0 && first < len && s[first] == '#') {
        memset(cls, Q_GUI_TOK_COMMENT, (size_t)len);
        return;
    }
    char prev = 0; // last significant character, for regular expressions
    while (i < len) {
        const char c = s[i];
        if (*state == 1) {
            cls[i] = Q_GUI_TOK_COMMENT;
            if (c == '*' && i + 1 < len && s[i + 1] == '/') {
                cls[i + 1] = Q_GUI_TOK_COMMENT;
                i += 2;
                *state = 0;
            } else {
                i++;
            }
            continue;
        }
        if (c == '/' && i + 1 < len && s[i + 1] == '/') {
            memset(cls + i, Q_GUI_TOK_COMMENT, (size_t)(len - i));
            return;
        }
        if (c == '/' && i + 1 < len && s[i + 1] == '*') {
            cls[i] = cls[i + 1] = Q_GUI_TOK_COMMENT;
            i += 2;
            *state = 1;
            continue;
        }
        if (c == '"' || c == '\'' || c == '`') {
            i = _quoted(s, len, i, cls, Q_GUI_TOK_STRING);
            prev = 'a';
            continue;
        }
        if (c == '/' && (prev == 0 || strchr("(,=:[!&|?;{}<>+-*%~^", prev))) {
            // A regular expression literal: up to the unescaped closing slash
            // outside a character class, then its flags.
            int k = i + 1;
            bool in_class = false, closed = false;
            while (k < len) {
                if (s[k] == '\\' && k + 1 < len) {
                    k += 2;
                    continue;
                }
                if (s[k] == '[') in_class = true;
                if (s[k] == ']') in_class = false;
                if (s[k] == '/' && !in_class) {
                    closed = true;
                    k++;
                    break;
                }
                k++;
            }
            if (closed) {
                while (k < len && isalpha((unsigned char)s[k]))
                    k++;
                memset(cls + i, Q_GUI_TOK_REGEX, (size_t)(k - i));
                i = k;
                prev = 'a';
                continue;
            }
        }
        if (isdigit((unsigned char)c) && (i == 0 || !_word(s[i - 1]))) {
            while (i < len && (isalnum((unsigned char)s[i]) || s[i] == '.'))
                cls[i++] = Q_GUI_TOK_NUMBER;
            prev = '0';
            continue;
        }
        if (_word(c)) {
            const int start = i;
            while (i < len && _word(s[i]))
                i++;
            const int n = i - start;
            const bool kw = (n == 5 && (!strncmp(s + start, "async", 5) || !strncmp(s + start, "await", 5)));
            memset(cls + start, kw ? Q_GUI_TOK_KEYWORD : Q_GUI_TOK_TEXT, (size_t)n);
            prev = 'a';
            continue;
        }
        cls[i++] = strchr("{}[]();,.", c) ? Q_GUI_TOK_PUNCT : Q_GUI_TOK_TEXT;
        if (c != ' ' && c != '\t') prev = c;
    }
}

void q_gui_syntax_classify(int language, const char *line, int len, int *state, unsigned char *classes) {
    if (!line || !classes || len <= 0) return;
    int dummy = 0;
    if (!state) state = &dummy;
    memset(classes, Q_GUI_TOK_TEXT, (size_t)len);
    switch (language) {
    case Q_GUI_SYNTAX_HEADERS: {
        const char *colon = static_cast<const char *>(memchr(line, ':', (size_t)len));
        if (!colon) return;
        const int k = (int)(colon - line);
        memset(classes, Q_GUI_TOK_KEY, (size_t)k);
        memset(classes + k, Q_GUI_TOK_STRING, (size_t)(len - k));
        return;
    }
    case Q_GUI_SYNTAX_JSON:
        _json(line, len, classes);
        return;
    case Q_GUI_SYNTAX_XML:
        _xml(line, len, state, classes);
        return;
    case Q_GUI_SYNTAX_YAML:
        _yaml(line, len, classes);
        return;
    case Q_GUI_SYNTAX_SCRIPT:
        _script(line, len, state, classes);
        return;
    case Q_GUI_SYNTAX_DIFF: {
        const unsigned char t = (len >= 2 && line[0] == '@' && line[1] == '@') ? Q_GUI_TOK_DIFF_HUNK
                                : line[0] == '+'                               ? Q_GUI_TOK_DIFF_ADD
                                : line[0] == '-'                               ? Q_GUI_TOK_DIFF_DEL
                                                                               : Q_GUI_TOK_TEXT;
        memset(classes, t, (size_t)len);
        return;
    }
    default:
        return;
    }
}

static ALLEGRO_COLOR _mix(ALLEGRO_COLOR a, ALLEGRO_COLOR b, float f) {
    return al_map_rgba_f(a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f, 1);
}

static ALLEGRO_COLOR _color(const Q_GUI_THEME *t, int tok) {
    const ALLEGRO_COLOR accent = _mix(q_gui_with_alpha(t->selection_color, 1), t->text_active, 0.45f);
    switch (tok) {
    case Q_GUI_TOK_KEY:
    case Q_GUI_TOK_TAG:
        return accent;
    case Q_GUI_TOK_STRING:
        return _mix(t->border_active, accent, 0.25f);
    case Q_GUI_TOK_NUMBER:
        return t->border_hover;
    case Q_GUI_TOK_LITERAL:
    case Q_GUI_TOK_KEYWORD:
        return _mix(accent, t->text_active, 0.5f);
    case Q_GUI_TOK_PUNCT:
        return t->border_normal;
    case Q_GUI_TOK_COMMENT:
        return q_gui_with_alpha(t->text_normal, t->text_normal.a * 0.5f);
    case Q_GUI_TOK_ATTR:
        return _mix(t->border_hover, accent, 0.5f);
    case Q_GUI_TOK_REGEX:
        return _mix(accent, t->border_hover, 0.5f);
    case Q_GUI_TOK_DIFF_HUNK:
        return al_map_rgb(96, 148, 200);
    case Q_GUI_TOK_DIFF_ADD:
        return al_map_rgb(64, 160, 72);
    case Q_GUI_TOK_DIFF_DEL:
        return al_map_rgb(200, 72, 72);
    default:
        return t->text_normal;
    }
}

// ---- text and lines --------------------------------------------------------------

static void _index(Q_GUI_SYNTAXVIEW_DATA *d) {
    Q_FREE(d->line_start);
    Q_FREE(d->line_state);
    d->line_count = 0;
    int n = 1;
    for (size_t i = 0; i < d->len; i++)
        if (d->text[i] == '\n') n++;
    Q_CALLOC(d->line_start, (size_t)n, int);
    Q_CALLOC(d->line_state, (size_t)n, int);
    if (!d->line_start || !d->line_state) {
        Q_FREE(d->line_start);
        Q_FREE(d->line_state);
        return;
    }
    int li = 0;
    d->line_start[li++] = 0;
    for (size_t i = 0; i < d->len; i++)
        if (d->text[i] == '\n') d->line_start[li++] = (int)i + 1;
    d->line_count = n;
    // Classifier states at each line start, for the languages that carry one.
    int state = 0;
    std::vector<unsigned char> cls;
    for (int l = 0; l < n; l++) {
        d->line_state[l] = state;
        if (d->language != Q_GUI_SYNTAX_XML && d->language != Q_GUI_SYNTAX_SCRIPT) continue;
        const int a = d->line_start[l];
        const int b = l + 1 < n ? d->line_start[l + 1] - 1 : (int)d->len;
        cls.resize((size_t)std::max(1, b - a));
        q_gui_syntax_classify(d->language, d->text + a, b - a, &state, cls.data());
    }
}

static int _line_end(const Q_GUI_SYNTAXVIEW_DATA *d, int l) {
    return l + 1 < d->line_count ? d->line_start[l + 1] - 1 : (int)d->len;
}

static float _line_h(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return (float)al_get_font_line_height(q_gui_widget_font(ctx, w)) + 1;
}

static int _visible(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    return std::max(1, (int)floorf((w->h - 8) / _line_h(ctx, w)));
}

static void _clamp(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    d->scroll_line = std::max(0, std::min(d->scroll_line, d->line_count - _visible(ctx, w)));
    if (d->scroll_x < 0) d->scroll_x = 0;
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    _clamp(ctx, w);
    q_gui_fill_box(ctx, x, y, w->w, w->h, 0, 0, t->bg_normal);
    const float lh = _line_h(ctx, w), pad = 4;
    const int vis = _visible(ctx, w);
    const bool strip = d->line_count > vis;
    const float sw = strip ? ctx->style.scrollbar_size : 0;
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    q_gui_clip_within(x + 1, y + 1, x + w->w - sw - 1, y + w->h - 1, ox, oy, ow, oh);
    const int sa = std::min(d->sel_anchor, d->sel_end), sb = std::max(d->sel_anchor, d->sel_end);
    std::vector<unsigned char> cls;
    for (int l = d->scroll_line; l < d->line_count && l <= d->scroll_line + vis; l++) {
        const int a = d->line_start[l], b = _line_end(d, l);
        const float ly = y + pad + lh * (float)(l - d->scroll_line), lx = x + pad - d->scroll_x;
        if (sa != sb && sb > a && sa <= b) {
            const float x0 = lx + q_gui_text_w(font, d->text + a, std::max(sa, a) - a);
            float x1 = lx + q_gui_text_w(font, d->text + a, std::min(sb, b) - a);
            if (sb > b) x1 += 4;
            al_draw_filled_rectangle(x0, ly, x1, ly + lh, t->selection_color);
        }
        if (b <= a) continue;
        cls.resize((size_t)(b - a));
        int state = d->line_state ? d->line_state[l] : 0;
        q_gui_syntax_classify(d->language, d->text + a, b - a, &state, cls.data());
        float cx = lx;
        for (int i = 0; i < b - a;) {
            int k = i;
            while (k < b - a && cls[(size_t)k] == cls[(size_t)i])
                k++;
            ALLEGRO_USTR_INFO info;
            const ALLEGRO_USTR *u = al_ref_buffer(&info, d->text + a + i, (size_t)(k - i));
            al_draw_ustr(font, q_gui_dim(w, _color(t, cls[(size_t)i])), cx, ly, 0, u);
            cx += (float)al_get_ustr_width(font, u);
            if (cx > x + w->w) break;
            i = k;
        }
    }
    al_set_clipping_rectangle(ox, oy, ow, oh);
    if (strip) q_gui_draw_strip(ctx, x + w->w - sw, y, sw, w->h, 1, d->line_count, vis, d->scroll_line, 0);
    q_gui_stroke_view_border(ctx, w, x, y, 0, 0);
}

static int _offset_at(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float x, float y, float mx, float my) {
    const Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    if (d->line_count == 0) return 0;
    ALLEGRO_FONT *font = q_gui_widget_font(ctx, w);
    int l = d->scroll_line + (int)floorf((my - y - 4) / _line_h(ctx, w));
    l = std::max(0, std::min(d->line_count - 1, l));
    const int a = d->line_start[l], b = _line_end(d, l);
    const float target = mx - (x + 4) + d->scroll_x;
    float cx = 0;
    int i = a;
    while (i < b) {
        const int n = std::min(q_gui_utf8_size((unsigned char)d->text[i]), b - i);
        const float cw = q_gui_text_w(font, d->text + i, n);
        if (cx + cw / 2 > target) break;
        cx += cw;
        i += n;
    }
    return i;
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button == 1) {
        d->sel_anchor = d->sel_end = _offset_at(ctx, w, x, y, mx, my);
        d->selecting = 1;
        // Ctrl+C reaches the view through the selection even without focus.
        ctx->selection_owner = w->id;
    } else if (d->selecting &&
               (ev->type == ALLEGRO_EVENT_MOUSE_AXES || ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP)) {
        d->sel_end = _offset_at(ctx, w, x, y, mx, my);
        if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) d->selecting = 0;
    }
    ctx->redraw = 1;
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    const int vis = _visible(ctx, w);
    const int copied = q_gui_copy_key(ctx, w, ev, q_gui_syntaxview_get_selected_text);
    if (copied >= 0) return copied;
    // Without the focus the view is only reached as the owner of a selection.
    if (ctx->focus != w->id) return 0;
    if ((ev->keyboard.modifiers & ALLEGRO_KEYMOD_CTRL) && ev->keyboard.keycode == ALLEGRO_KEY_A) {
        d->sel_anchor = 0;
        d->sel_end = (int)d->len;
        return 1;
    }
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_UP:
        d->scroll_line--;
        break;
    case ALLEGRO_KEY_DOWN:
        d->scroll_line++;
        break;
    case ALLEGRO_KEY_PGUP:
        d->scroll_line -= vis - 1;
        break;
    case ALLEGRO_KEY_PGDN:
        d->scroll_line += vis - 1;
        break;
    case ALLEGRO_KEY_HOME:
        d->scroll_line = 0;
        d->scroll_x = 0;
        break;
    case ALLEGRO_KEY_END:
        d->scroll_line = d->line_count;
        break;
    case ALLEGRO_KEY_LEFT:
        d->scroll_x -= ctx->style.scroll_step;
        break;
    case ALLEGRO_KEY_RIGHT:
        d->scroll_x += ctx->style.scroll_step;
        break;
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        return 1;
    default:
        return 0;
    }
    _clamp(ctx, w);
    ctx->redraw = 1;
    return 1;
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float dw) {
    Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    d->scroll_line -= (int)(dz * 3);
    d->scroll_x -= dw * ctx->style.scroll_step;
    _clamp(ctx, w);
    return 1;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    Q_FREE(d->text);
    Q_FREE(d->line_start);
    Q_FREE(d->line_state);
}

static int _cursor_at(const Q_GUI_CTX *, const Q_GUI_WIDGET *, float, float) {
    return ALLEGRO_SYSTEM_MOUSE_CURSOR_EDIT;
}

static const Q_GUI_KIND_OPS k_syntaxview_ops = {
    .kind = Q_GUI_KIND_SYNTAXVIEW,
    .name = "syntaxview",
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
    .wheel = _wheel,
    .cursor_at = _cursor_at,
};

int q_gui_add_syntaxview(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, int language) {
    Q_GUARD(ctx, -1);
    Q_GUI_SYNTAXVIEW_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_SYNTAXVIEW_DATA);
    if (!d) return -1;
    d->language = language;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_syntaxview_ops, d, x, y, w, h);
    if (!wd) return -1;
    q_gui_syntaxview_set_text(ctx, wd->id, "");
    return wd->id;
}

static Q_GUI_WIDGET *_sv(const Q_GUI_CTX *ctx, int id) {
    return q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_SYNTAXVIEW);
}

void q_gui_syntaxview_set_text(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = _sv(ctx, id);
    if (!w) return;
    Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    const char *t = text ? text : "";
    const size_t n = strlen(t);
    // A tab becomes two blanks: the fonts draw it as a box, and JSON
    // printers indent with tabs.
    size_t tabs = 0;
    for (size_t i = 0; i < n; i++)
        tabs += t[i] == '\t';
    if (n + tabs > (size_t)INT32_MAX - 1) return; // offsets are ints
    char *copy = nullptr;
    Q_CALLOC(copy, n + tabs + 1, char);
    if (!copy) return;
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        if (t[i] == '\t') {
            copy[k++] = ' ';
            copy[k++] = ' ';
        } else if (!(t[i] == '\r' && t[i + 1] == '\n')) {
            copy[k++] = t[i];
        }
    }
    Q_FREE(d->text);
    d->text = copy;
    d->len = k;
    d->sel_anchor = d->sel_end = 0;
    d->scroll_line = 0;
    d->scroll_x = 0;
    _index(d);
    ctx->redraw = 1;
}

const char *q_gui_syntaxview_get_text(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _sv(ctx, id);
    return w && _data(w)->text ? _data(w)->text : "";
}

void q_gui_syntaxview_set_language(Q_GUI_CTX *ctx, int id, int language) {
    Q_GUI_WIDGET *w = _sv(ctx, id);
    if (!w) return;
    _data(w)->language = language;
    _index(_data(w));
    ctx->redraw = 1;
}

int q_gui_syntaxview_get_language(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _sv(ctx, id);
    return w ? _data(w)->language : 0;
}

char *q_gui_syntaxview_get_selected_text(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = _sv(ctx, id);
    if (!w) return nullptr;
    const Q_GUI_SYNTAXVIEW_DATA *d = _data(w);
    const int a = std::min(d->sel_anchor, d->sel_end), b = std::max(d->sel_anchor, d->sel_end);
    if (a == b || !d->text) return nullptr;
    char *out = static_cast<char *>(malloc((size_t)(b - a) + 1));
    if (!out) return nullptr;
    memcpy(out, d->text + a, (size_t)(b - a));
    out[b - a] = 0;
    return out;
}
