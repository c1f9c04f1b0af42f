// q_gui markdown view kind: read-only rendering of a markdown subset --
// headings (#), paragraphs, **bold**, *italic* or _italic_, `code`, fenced
// code blocks, bulleted and numbered lists -- wrapped to the widget's width,
// with mouse selection (a double click takes a word) and Ctrl+C.
//
// The layout is a list of runs (a word or a code line in one font at one
// place), rebuilt only when the text or the width changes.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "q_common.h"
#include "q_gui_internal.h"

enum { MD_REGULAR = 0, MD_BOLD = 1, MD_ITALIC = 2, MD_MONO = 3 };

struct Q_GUI_MD_RUN {
    char *text; // owned
    int len;
    int font;
    float x, y, w, h;
    int line_break; // first run of a new line (for copying)
    int code_block; // drawn on the code background
    int bullet;     // 1: a bullet dot precedes it
};

static const float k_pad = 6;
static const int k_run_bytes = 4096, k_max_runs = 500000;

static Q_GUI_MARKDOWNVIEW_DATA *_data(const Q_GUI_WIDGET *w) {
    return static_cast<Q_GUI_MARKDOWNVIEW_DATA *>(w->data);
}

static ALLEGRO_FONT *_font(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, int f) {
    const Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    if (f >= 0 && f < 4 && d->fonts[f]) return d->fonts[f];
    return d->fonts[0] ? d->fonts[0] : q_gui_widget_font(ctx, w);
}

static void _free_runs(Q_GUI_MARKDOWNVIEW_DATA *d) {
    for (int i = 0; i < d->run_count; i++)
        Q_FREE(d->runs[i].text);
    d->run_count = 0;
}

// ---- layout ----------------------------------------------------------------------

struct MD_LAYOUT {
    const Q_GUI_CTX *ctx;
    const Q_GUI_WIDGET *w;
    Q_GUI_MARKDOWNVIEW_DATA *d;
    float left, right, x, y, line_h;
    bool line_start;
    bool failed;
};

// glue: the run follows the previous one without a space (a comma after a
// bold word).
static void _emit(MD_LAYOUT *L, const char *text, int len, int font, bool code_block, bool bullet,
                  bool glue = false) {
    Q_GUI_MARKDOWNVIEW_DATA *d = L->d;
    // Selection positions pack a run index and a byte offset into an int.
    if (d->run_count >= k_max_runs) {
        L->failed = true;
        return;
    }
    len = (int)q_gui_utf8_cut(text, (size_t)len, k_run_bytes - 1);
    if (d->run_count == d->run_cap) {
        const int cap = d->run_cap ? d->run_cap * 2 : 64;
        void *p = realloc(d->runs, sizeof(Q_GUI_MD_RUN) * (size_t)cap);
        if (!p) {
            L->failed = true;
            return;
        }
        d->runs = static_cast<Q_GUI_MD_RUN *>(p);
        d->run_cap = cap;
    }
    ALLEGRO_FONT *f = _font(L->ctx, L->w, font);
    const float rw = q_gui_text_w(f, text, len), rh = (float)al_get_font_line_height(f);
    const float space = q_gui_text_w(f, " ", 1);
    float x = L->line_start || glue ? L->x : L->x + space;
    if (!L->line_start && !code_block && !glue && x + rw > L->right) {
        // Wrap: a new line at the paragraph's left edge.
        L->y += L->line_h;
        L->line_h = 0;
        x = L->left;
        L->line_start = true;
    }
    Q_GUI_MD_RUN *r = &d->runs[d->run_count];
    memset(r, 0, sizeof *r);
    Q_CALLOC(r->text, (size_t)len + 1, char);
    if (!r->text) {
        L->failed = true;
        return;
    }
    memcpy(r->text, text, (size_t)len);
    r->len = len;
    r->font = font;
    r->x = x;
    r->y = L->y;
    r->w = rw;
    r->h = rh;
    r->line_break = L->line_start ? 1 : 0;
    r->code_block = code_block ? 1 : 0;
    r->bullet = bullet ? 1 : 0;
    d->run_count++;
    L->x = x + rw;
    L->line_h = std::max(L->line_h, rh);
    L->line_start = false;
}

static void _newline(MD_LAYOUT *L, float extra) {
    if (!L->line_start || L->line_h > 0) L->y += std::max(L->line_h, 1.0f);
    L->y += extra;
    L->line_h = 0;
    L->x = L->left;
    L->line_start = true;
}

// Inline spans of one block: words with their font.
static void _inline(MD_LAYOUT *L, const std::string &s, int base_font, bool bullet_first) {
    bool bold = base_font == MD_BOLD, italic = false, code = false;
    std::string word;
    int word_font = base_font;
    bool bullet = bullet_first;
    bool space_before = true;
    auto flush = [&]() {
        if (!word.empty()) {
            _emit(L, word.data(), (int)word.size(), word_font, false, bullet, !space_before);
            bullet = false;
            space_before = false;
        }
        word.clear();
    };
    auto cur_font = [&]() { return code ? MD_MONO : bold ? MD_BOLD : italic ? MD_ITALIC : MD_REGULAR; };
    for (size_t i = 0; i < s.size(); i++) {
        const char c = s[i];
        if (c == '`') {
            flush();
            code = !code;
            word_font = cur_font();
            continue;
        }
        if (!code && c == '*' && i + 1 < s.size() && s[i + 1] == '*') {
            flush();
            bold = !bold;
            i++;
            word_font = cur_font();
            continue;
        }
        if (!code && (c == '*' || c == '_') &&
            (italic || (i + 1 < s.size() && s[i + 1] != ' ' && (i == 0 || s[i - 1] == ' ')))) {
            flush();
            italic = !italic;
            word_font = cur_font();
            continue;
        }
        if (c == ' ') {
            flush();
            space_before = true;
            word_font = cur_font();
            continue;
        }
        if (word.empty()) word_font = cur_font();
        word += c;
    }
    flush();
}

static void _layout(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    _free_runs(d);
    MD_LAYOUT L = {ctx, w, d, k_pad, w->w - k_pad - ctx->style.scrollbar_size, k_pad, k_pad, 0, true, false};
    const char *src = d->source ? d->source : "";
    std::string para;
    bool in_code = false;
    auto end_para = [&]() {
        if (!para.empty()) {
            _inline(&L, para, MD_REGULAR, false);
            _newline(&L, 6);
        }
        para.clear();
    };
    const char *p = src;
    while (*p && !L.failed) {
        const char *e = strchr(p, '\n');
        std::string line(p, e ? (size_t)(e - p) : strlen(p));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        p = e ? e + 1 : p + strlen(p);
        if (line.rfind("```", 0) == 0) {
            end_para();
            in_code = !in_code;
            if (!in_code) _newline(&L, 4);
            continue;
        }
        if (in_code) {
            L.left = L.x = k_pad + 8;
            if (!line.empty()) _emit(&L, line.data(), (int)line.size(), MD_MONO, true, false);
            _newline(&L, 0);
            L.left = L.x = k_pad;
            continue;
        }
        size_t lead = 0;
        while (lead < line.size() && line[lead] == ' ')
            lead++;
        const std::string body = line.substr(lead);
        if (body.empty()) {
            end_para();
            continue;
        }
        int hashes = 0;
        while (hashes < (int)body.size() && body[(size_t)hashes] == '#')
            hashes++;
        if (hashes >= 1 && hashes <= 6 && (size_t)hashes < body.size() && body[(size_t)hashes] == ' ') {
            end_para();
            _newline(&L, hashes <= 2 ? 6 : 2);
            _inline(&L, body.substr((size_t)hashes + 1), MD_BOLD, false);
            _newline(&L, hashes <= 2 ? 6 : 3);
            continue;
        }
        const bool bullet = body.size() > 2 && strchr("-*+", body[0]) && body[1] == ' ';
        size_t digits = 0;
        while (digits < body.size() && isdigit((unsigned char)body[digits]))
            digits++;
        const bool numbered =
            digits > 0 && digits + 1 < body.size() && body[digits] == '.' && body[digits + 1] == ' ';
        if (bullet || numbered) {
            end_para();
            const float indent = 18 + 14 * (float)(lead / 2);
            L.left = L.x = k_pad + indent;
            if (numbered) {
                const std::string num = body.substr(0, digits + 1);
                _emit(&L, num.data(), (int)num.size(), MD_REGULAR, false, false);
            }
            _inline(&L, body.substr(numbered ? digits + 2 : 2), MD_REGULAR, bullet);
            _newline(&L, 2);
            L.left = L.x = k_pad;
            continue;
        }
        if (!para.empty()) para += ' ';
        para += body;
    }
    end_para();
    d->content_h = L.y + k_pad;
    d->laid_w = w->w;
}

static void _ensure_layout(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    if (_data(w)->laid_w != w->w) _layout(ctx, w);
}

// ---- selection --------------------------------------------------------------------

static int _pos(int run, int byte) {
    return run * k_run_bytes + byte;
}

static int _pos_at(const Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w, float lx, float ly) {
    const Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    int best = -1;
    for (int i = 0; i < d->run_count; i++) {
        const Q_GUI_MD_RUN *r = &d->runs[i];
        if (ly < r->y) break;
        if (ly >= r->y + r->h) {
            best = _pos(i, r->len);
            continue;
        }
        if (lx < r->x) return best >= 0 && d->runs[best / k_run_bytes].y == r->y ? best : _pos(i, 0);
        if (lx >= r->x + r->w) {
            best = _pos(i, r->len);
            continue;
        }
        ALLEGRO_FONT *f = _font(ctx, w, r->font);
        int k = 0;
        while (k < r->len) {
            const int n = q_gui_utf8_size((unsigned char)r->text[k]);
            if (r->x + q_gui_text_w(f, r->text, k + n / 2 + 1) > lx) break;
            k += n;
        }
        return _pos(i, std::min(k, r->len));
    }
    return best >= 0 ? best : 0;
}

static void _draw(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, float x, float y) {
    Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    const Q_GUI_THEME *t = &w->theme;
    _ensure_layout(ctx, w);
    d->scroll = std::max(0.0f, std::min(d->scroll, d->content_h - w->h));
    q_gui_fill_box(ctx, x, y, w->w, w->h, 0, 0, t->bg_normal);
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    q_gui_clip_within(x + 1, y + 1, x + w->w - 1, y + w->h - 1, ox, oy, ow, oh);
    const int sa = std::min(d->sel_a, d->sel_b), sb = std::max(d->sel_a, d->sel_b);
    const ALLEGRO_COLOR code_bg = q_gui_with_alpha(t->bg_active, 0.8f);
    for (int i = 0; i < d->run_count; i++) {
        const Q_GUI_MD_RUN *r = &d->runs[i];
        const float rx = x + r->x, ry = y + r->y - d->scroll;
        if (ry + r->h < y) continue;
        if (ry > y + w->h) break;
        ALLEGRO_FONT *f = _font(ctx, w, r->font);
        if (r->code_block)
            al_draw_filled_rectangle(x + k_pad, ry, x + w->w - k_pad - ctx->style.scrollbar_size, ry + r->h,
                                     code_bg);
        else if (r->font == MD_MONO)
            al_draw_filled_rounded_rectangle(rx - 2, ry, rx + r->w + 2, ry + r->h, 3, 3, code_bg);
        if (sa >= 0 && sa != sb) {
            const int a = _pos(i, 0), b = _pos(i, r->len);
            if (sb > a && sa < b) {
                const int from = std::max(sa, a) - a, to = std::min(sb, b) - a;
                al_draw_filled_rectangle(rx + q_gui_text_w(f, r->text, from), ry,
                                         rx + q_gui_text_w(f, r->text, to), ry + r->h, t->selection_color);
            }
        }
        if (r->bullet) al_draw_filled_circle(rx - 10, ry + r->h / 2, 2.5f, t->text_normal);
        const ALLEGRO_COLOR c = r->font == MD_BOLD ? t->text_active : t->text_normal;
        al_draw_text(f, q_gui_dim(w, c), rx, ry, 0, r->text);
    }
    al_set_clipping_rectangle(ox, oy, ow, oh);
    if (d->content_h > w->h) {
        const float sw = ctx->style.scrollbar_size;
        q_gui_draw_strip(ctx, x + w->w - sw, y, sw, w->h, 1, d->content_h, w->h, d->scroll, 0);
    }
    q_gui_stroke_view_border(ctx, w, x, y, 0, 0);
}

static void _mouse(Q_GUI_CTX *ctx, Q_GUI_WINDOW *, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev, float mx,
                   float my, float x, float y) {
    Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    _ensure_layout(ctx, w);
    const float lx = mx - x, ly = my - y + d->scroll;
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button == 1) {
        const int p = _pos_at(ctx, w, lx, ly);
        ctx->selection_owner = w->id;
        if (q_gui_was_double_click(ctx, w->id) && p / k_run_bytes < d->run_count) {
            // The word under the pointer: runs are words.
            d->sel_a = _pos(p / k_run_bytes, 0);
            d->sel_b = _pos(p / k_run_bytes, d->runs[p / k_run_bytes].len);
            d->selecting = 0;
            return;
        }
        d->sel_a = d->sel_b = p;
        d->selecting = 1;
    } else if (d->selecting &&
               (ev->type == ALLEGRO_EVENT_MOUSE_AXES || ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP)) {
        d->sel_b = _pos_at(ctx, w, lx, ly);
        if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) d->selecting = 0;
    }
    ctx->redraw = 1;
}

static int _key_char(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    const float line = (float)al_get_font_line_height(_font(ctx, w, 0));
    const int copied = q_gui_copy_key(ctx, w, ev, q_gui_markdownview_get_selection);
    if (copied >= 0) return copied;
    switch (ev->keyboard.keycode) {
    case ALLEGRO_KEY_UP:
        d->scroll -= line;
        break;
    case ALLEGRO_KEY_DOWN:
        d->scroll += line;
        break;
    case ALLEGRO_KEY_PGUP:
        d->scroll -= w->h - line;
        break;
    case ALLEGRO_KEY_PGDN:
        d->scroll += w->h - line;
        break;
    case ALLEGRO_KEY_HOME:
        d->scroll = 0;
        break;
    case ALLEGRO_KEY_END:
        d->scroll = d->content_h;
        break;
    case ALLEGRO_KEY_LEFT:
    case ALLEGRO_KEY_RIGHT:
    case ALLEGRO_KEY_ENTER:
    case ALLEGRO_KEY_PAD_ENTER:
        return 1;
    default:
        return 0;
    }
    d->scroll = std::max(0.0f, std::min(d->scroll, d->content_h - w->h));
    ctx->redraw = 1;
    return 1;
}

static int _wheel(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float dz, float) {
    Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    if (d->content_h <= w->h) return 0;
    d->scroll = std::max(0.0f, std::min(d->scroll - dz * ctx->style.scroll_step * 2, d->content_h - w->h));
    return 1;
}

static void _destroy(Q_GUI_CTX *, Q_GUI_WIDGET *w) {
    Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    _free_runs(d);
    Q_FREE(d->runs);
    Q_FREE(d->source);
}

static const Q_GUI_KIND_OPS k_markdown_ops = {
    .kind = Q_GUI_KIND_MARKDOWNVIEW,
    .name = "markdownview",
    .click_focus = 1,
    .tab_focus = 1,
    .draw = _draw,
    .mouse = _mouse,
    .key_char = _key_char,
    .takes_key = q_gui_nav_takes_key,
    .destroy = _destroy,
    .wheel = _wheel,
};

int q_gui_add_markdownview(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                           ALLEGRO_FONT *const fonts[4]) {
    Q_GUARD(ctx, -1);
    Q_GUI_MARKDOWNVIEW_DATA *d = nullptr;
    Q_CALLOC(d, 1, Q_GUI_MARKDOWNVIEW_DATA);
    if (!d) return -1;
    for (int i = 0; fonts && i < 4; i++)
        d->fonts[i] = fonts[i];
    d->sel_a = d->sel_b = -1;
    d->laid_w = -1;
    Q_GUI_WIDGET *wd = q_gui_widget_create(ctx, window, &k_markdown_ops, d, x, y, w, h);
    return wd ? wd->id : -1;
}

void q_gui_markdownview_set_text(Q_GUI_CTX *ctx, int id, const char *text) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_MARKDOWNVIEW);
    if (!w) return;
    Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    const char *t = text ? text : "";
    const size_t n = strlen(t);
    char *copy = nullptr;
    Q_CALLOC(copy, n + 1, char);
    if (!copy) return;
    memcpy(copy, t, n);
    Q_FREE(d->source);
    d->source = copy;
    d->sel_a = d->sel_b = -1;
    d->scroll = 0;
    _layout(ctx, w);
    ctx->redraw = 1;
}

void q_gui_markdownview_set_fonts(Q_GUI_CTX *ctx, int id, ALLEGRO_FONT *const fonts[4]) {
    Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_MARKDOWNVIEW);
    if (!w) return;
    for (int i = 0; i < 4; i++)
        _data(w)->fonts[i] = fonts ? fonts[i] : nullptr;
    _layout(ctx, w);
    ctx->redraw = 1;
}

char *q_gui_markdownview_get_selection(const Q_GUI_CTX *ctx, int id) {
    const Q_GUI_WIDGET *w = q_gui_widget_of_kind(ctx, id, Q_GUI_KIND_MARKDOWNVIEW);
    if (!w) return nullptr;
    const Q_GUI_MARKDOWNVIEW_DATA *d = _data(w);
    const int sa = std::min(d->sel_a, d->sel_b), sb = std::max(d->sel_a, d->sel_b);
    if (sa < 0 || sa == sb) return nullptr;
    std::string out;
    for (int i = sa / k_run_bytes; i < d->run_count && _pos(i, 0) < sb; i++) {
        const Q_GUI_MD_RUN *r = &d->runs[i];
        const int from = std::max(sa, _pos(i, 0)) - _pos(i, 0),
                  to = std::min(sb, _pos(i, r->len)) - _pos(i, 0);
        if (i > sa / k_run_bytes) out += r->line_break ? '\n' : ' ';
        if (to > from) out.append(r->text + from, (size_t)(to - from));
    }
    char *copy = static_cast<char *>(malloc(out.size() + 1));
    if (copy) memcpy(copy, out.c_str(), out.size() + 1);
    return copy;
}
