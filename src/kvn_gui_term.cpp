// The console window. The main thread owns the window, the terminal model
// and the selection; a job worker finds the address and opens the socket;
// the console thread only moves bytes between the socket and the link's two
// buffers, under the link's mutex, and never touches the terminal or the
// GUI. Keystrokes, pasted text and addresses are zeroed when their buffers
// are emptied or freed.
#include "kvn_gui_term.h"

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <cJSON.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_gui_form.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_term.h"
#include "kvn_theme.h"
#include "kvn_ws.h"
#include "q_clipboard.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"
#include "q_log.h"
#include "q_str.h"

namespace {

const int k_recv_ms = 30;
// What one frame feeds the terminal: a flood keeps the window responsive
// and the rest waits for the next frame.
const size_t k_feed_per_tick = 512 * 1024;
// The console thread stops reading while this much waits to be fed, so a
// flood cannot grow the buffer without bound.
const size_t k_incoming_cap = 8 * 1024 * 1024;
const double k_resize_delay = 0.4;
const float k_button_w = 110, k_button_h = 26;

struct KIND {
    const char *action, *key, *job, *prefix, *layout, *missing;
};
const KIND k_kinds[3] = {
    {"container_attach", "uuid", "appcontainer attach", "Attach", "attach", "select a container first"},
    {"container_exec", "uuid", "appcontainer exec", "Exec", "attach", "select a container first"},
    {"server_serial", "id", "console url show --serial", "Serial console", "serial", "select a server first"},
};

struct TERM_LINK {
    pthread_mutex_t mutex;
    KVN_WS *ws;
    Q_HTTPC_CANCEL *cancel;
    Q_STR *incoming;
    // Bytes of incoming already fed: a backlog is taken from the front a
    // frame's share at a time, and moving the rest down each frame (up to
    // the whole cap) cost more than feeding it.
    size_t incoming_off;
    Q_STR *outgoing;
    int stop;
    int done;
    char reason[128];
    pthread_t thread;
    bool started;
};

struct TERM_JOB {
    int kind;
    int resize_only;
    KVN_SESSION *session;
    char id[256];
    char command[1024];
    char exec_id[256];
    int columns, rows;
    unsigned generation;
    uint64_t session_generation;
    Q_HTTPC_CANCEL *cancel;
    KVN_WS *ws;
    char error[1024];
    char note[1024];
    char mode[32];
};

enum { SEL_NONE = 0, SEL_SELECTING, SEL_SELECTED };

struct CONSOLE {
    Q_GUI_CTX *ctx = nullptr;
    int window = -1, area = -1, detach = -1, ctrl_c = -1, copy = -1, paste = -1, status = -1;
    KVN_TERM *term = nullptr;
    TERM_LINK *link = nullptr;
    unsigned generation = 1;
    int kind = 0;
    char id[256] = "", name[256] = "", exec_id[256] = "";
    bool active = false; // a console was started and not closed
    bool typing = false;
    int scroll = 0;
    int sel = SEL_NONE;
    int64_t sel_a_line = 0, sel_b_line = 0;
    int sel_a_col = 0, sel_b_col = 0;
    double resize_due = 0;
    long long fed = 0;
    Q_STR *feeding = nullptr; // the piece being fed; kept so a flood allocates nothing per frame
    float cell_w = 8, cell_h = 16;
    float area_x = 0, area_y = 0, area_w = 0, area_h = 0;
    bool area_drawn = false;
    char shown_title[256] = "";
};
CONSOLE c;

KVN_APP *_app(void) {
    return kvn_app_get();
}

ALLEGRO_FONT *_font(void) {
    KVN_APP *app = _app();
    if (app && app->mono_font) return app->mono_font;
    if (app && app->ui_font) return app->ui_font;
    return c.ctx ? c.ctx->default_font : nullptr;
}

void _redraw(void) {
    if (c.ctx) q_gui_request_redraw(c.ctx);
    kvn_gui_main_mark_dirty();
}

__attribute__((format(printf, 1, 2))) void _label(const char *fmt, ...) {
    char text[1200];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (c.ctx && c.status >= 0) {
        q_gui_label_set_text(c.ctx, c.status, text);
        q_gui_widget_set_tooltip(c.ctx, c.status, text);
    }
    _redraw();
}

// A failure or an ending, written into the terminal as a yellow bracketed
// line so it stays in the scrollback with what led to it.
void _term_note(const char *text) {
    if (!c.term) return;
    std::string line = "\r\n\x1b[0;93m[";
    line += text;
    line += "]\x1b[0m\r\n";
    kvn_term_feed(c.term, line.data(), line.size());
    _redraw();
}

void _zero_str(Q_STR *s) {
    if (!s) return;
    q_secure_zero(s->data, s->size);
    s->length = 0;
}

// ---- the console thread ----------------------------------------------------------------------

// Under the link mutex: the fed front of a backlog goes once it is half of
// the buffer, so each byte is moved down at most about once.
void _compact_incoming(TERM_LINK *l) {
    Q_STR *in = l->incoming;
    if (l->incoming_off == 0 || l->incoming_off < in->length / 2) return;
    const size_t left = in->length - l->incoming_off;
    memmove(in->data, in->data + l->incoming_off, left);
    q_secure_zero(in->data + left, l->incoming_off);
    in->length = left;
    l->incoming_off = 0;
}

void *_thread(void *arg) {
    TERM_LINK *l = static_cast<TERM_LINK *>(arg);
    Q_STR *sending = new_qstr(256);
    char *buf = static_cast<char *>(malloc(16384));
    const char *reason = nullptr;
    while (sending && buf) {
        bool full = false;
        pthread_mutex_lock(&l->mutex);
        if (l->stop) {
            pthread_mutex_unlock(&l->mutex);
            break;
        }
        if (l->outgoing->length > 0) std::swap(sending, l->outgoing);
        full = l->incoming->length - l->incoming_off >= k_incoming_cap;
        pthread_mutex_unlock(&l->mutex);
        if (sending->length > 0) {
            const int rc = kvn_ws_send(l->ws, 2, sending->data, sending->length);
            _zero_str(sending);
            if (rc != 0) {
                reason = "sending to the container failed";
                break;
            }
        }
        if (full) {
            // The main thread has not caught up: wait for it rather than
            // read more than it can ever show.
            struct timespec ts = {0, k_recv_ms * 1000000L};
            nanosleep(&ts, nullptr);
            continue;
        }
        const long n = kvn_ws_recv(l->ws, buf, 16384, k_recv_ms);
        if (n < 0) {
            reason = "the container closed the console";
            break;
        }
        if (n > 0) {
            pthread_mutex_lock(&l->mutex);
            _compact_incoming(l);
            qstrcat_bytes_ex(l->incoming, buf, (size_t)n);
            pthread_mutex_unlock(&l->mutex);
            q_secure_zero(buf, (size_t)n);
        }
    }
    kvn_ws_close(&l->ws);
    if (buf) {
        q_secure_zero(buf, 16384);
        free(buf);
    }
    free_qstr(&sending);
    pthread_mutex_lock(&l->mutex);
    if (reason) q_strcpy(l->reason, sizeof l->reason, reason);
    l->done = 1;
    pthread_mutex_unlock(&l->mutex);
    return nullptr;
}

void _link_free(TERM_LINK **ref) {
    TERM_LINK *l = *ref;
    if (!l) return;
    *ref = nullptr;
    if (l->started) {
        pthread_mutex_lock(&l->mutex);
        l->stop = 1;
        pthread_mutex_unlock(&l->mutex);
        bool done = false;
        for (int i = 0; i < 10 && !done; i++) {
            pthread_mutex_lock(&l->mutex);
            done = l->done != 0;
            pthread_mutex_unlock(&l->mutex);
            if (!done) {
                struct timespec ts = {0, k_recv_ms * 1000000L};
                nanosleep(&ts, nullptr);
            }
        }
        // A socket blocked in a send is shut down by the token.
        if (!done) q_httpc_cancel(l->cancel);
        pthread_join(l->thread, nullptr);
    } else {
        kvn_ws_close(&l->ws);
    }
    _zero_str(l->incoming);
    _zero_str(l->outgoing);
    free_qstr(&l->incoming);
    free_qstr(&l->outgoing);
    q_httpc_cancel_free(&l->cancel);
    pthread_mutex_destroy(&l->mutex);
    q_secure_zero(l, sizeof *l);
    free(l);
}

// ---- the grid --------------------------------------------------------------------------------

void _grid_for(float w, float h, int *columns, int *rows) {
    if (w <= 0 || h <= 0) {
        *columns = 100;
        *rows = 32;
        return;
    }
    *columns = std::clamp((int)((w - 12) / c.cell_w), 40, (int)KVN_TERM_MAX_COLUMNS);
    *rows = std::clamp((int)((h - 12) / c.cell_h), 10, (int)KVN_TERM_MAX_ROWS);
}

void _area_size(float *w, float *h) {
    const Q_GUI_WIDGET *wd = c.ctx ? q_gui_get_widget(c.ctx, c.area) : nullptr;
    *w = wd ? wd->w : 0;
    *h = wd ? wd->h : 0;
}

int _scrollback_lines(void) {
    return c.term ? c.term->lines_used - c.term->rows : 0;
}

// Ring index of the first line shown.
int _view_top(void) {
    return c.term ? c.term->lines_used - c.term->rows - c.scroll : 0;
}

void _set_live(bool live) {
    if (!c.ctx) return;
    q_gui_widget_set_enabled(c.ctx, c.paste, live ? 1 : 0);
    q_gui_widget_set_enabled(c.ctx, c.ctrl_c, live ? 1 : 0);
}

// ---- the jobs ----------------------------------------------------------------------------------

void _job_run(KVN_JOB *job) {
    TERM_JOB *t = static_cast<TERM_JOB *>(job->user);
    // The calls answer to the job's token (a disconnect fires it); the
    // socket keeps a token of its own that outlives the job.
    Q_HTTPC_CANCEL *cancel = job->cancel;
    char err[1024] = "";
    if (t->resize_only) {
        const int rc =
            t->kind == KVN_CONSOLE_EXEC
                ? kvn_container_exec_resize(t->session, t->id, t->exec_id, t->columns, t->rows, err,
                                            sizeof err, cancel)
                : kvn_container_resize(t->session, t->id, t->columns, t->rows, err, sizeof err, cancel);
        if (rc != 0) q_format(t->error, sizeof t->error, "terminal size not set: %.900s", err);
        return;
    }
    char url[4096] = "";
    int rc = -1;
    if (t->kind == KVN_CONSOLE_ATTACH)
        rc = kvn_container_attach_url(t->session, t->id, url, sizeof url, t->error, sizeof t->error, cancel);
    else if (t->kind == KVN_CONSOLE_EXEC)
        rc = kvn_container_exec_url(t->session, t->id, t->command, url, sizeof url, t->exec_id,
                                    sizeof t->exec_id, t->error, sizeof t->error, cancel);
    else if (t->kind == KVN_CONSOLE_SERIAL)
        rc = kvn_server_serial_url(t->session, t->id, url, sizeof url, t->error, sizeof t->error, cancel);
    else if (t->command[0]) // an address given straight (tests)
        rc = q_strcpy(url, sizeof url, t->command) < sizeof url ? 0 : -1;
    if (rc == 0) {
        int src = 0;
        if (t->kind == KVN_CONSOLE_ATTACH)
            src = kvn_container_resize(t->session, t->id, t->columns, t->rows, err, sizeof err, cancel);
        else if (t->kind == KVN_CONSOLE_EXEC)
            src = kvn_container_exec_resize(t->session, t->id, t->exec_id, t->columns, t->rows, err,
                                            sizeof err, cancel);
        if (src != 0) q_format(t->note, sizeof t->note, "terminal size not set: %.900s", err);
        if (q_httpc_is_cancelled(cancel)) {
            q_strcpy(t->error, sizeof t->error, "cancelled");
        } else {
            t->ws = kvn_console_ws_open(t->session, url, t->error, sizeof t->error, t->cancel);
            if (t->ws) {
                q_strcpy(t->mode, sizeof t->mode, t->ws->base64 ? "base64" : "raw");
                t->error[0] = 0;
            }
        }
    }
    q_secure_zero(url, sizeof url);
    q_secure_zero(err, sizeof err);
}

void _job_free(void *user) {
    TERM_JOB *t = static_cast<TERM_JOB *>(user);
    kvn_ws_close(&t->ws);
    q_httpc_cancel_free(&t->cancel);
    kvn_session_free(&t->session);
    q_secure_zero(t, sizeof *t);
    free(t);
}

bool _current(const TERM_JOB *t) {
    KVN_APP *app = _app();
    return t->generation == c.generation && c.term && app && app->session_generation == t->session_generation;
}

void _job_done(KVN_JOB *job) {
    TERM_JOB *t = static_cast<TERM_JOB *>(job->user);
    if (!_current(t)) return;
    if (t->resize_only) {
        if (t->error[0]) _label("%s", t->error);
        return;
    }
    if (!t->ws) {
        char text[1200];
        q_format(text, sizeof text, "connection failed: %.1000s", t->error[0] ? t->error : "cancelled");
        _term_note(text);
        _label("%s", text);
        kvn_app_status(KVN_STATUS_ERROR, "console of %s: %s", c.name, text);
        return;
    }
    q_strcpy(c.exec_id, sizeof c.exec_id, t->exec_id);
    TERM_LINK *l = nullptr;
    Q_CALLOC(l, 1, TERM_LINK);
    if (l) {
        pthread_mutex_init(&l->mutex, nullptr);
        l->incoming = new_qstr(16384);
        l->outgoing = new_qstr(256);
        l->ws = t->ws;
        l->cancel = t->cancel;
        t->ws = nullptr;
        t->cancel = nullptr;
        l->started = l->incoming && l->outgoing && pthread_create(&l->thread, nullptr, _thread, l) == 0;
    }
    if (!l || !l->started) {
        _link_free(&l);
        _term_note("cannot start the console thread");
        _label("%s", "cannot start the console thread");
        return;
    }
    c.link = l;
    if (t->note[0])
        _label("connected (%s) -- %.900s", t->mode, t->note);
    else
        _label("connected (%s)", t->mode);
    _set_live(true);
    kvn_app_status(KVN_STATUS_INFO, "console of %s open", c.name);
}

int _submit(int kind, int resize_only, const char *id, const char *command, int columns, int rows) {
    KVN_APP *app = _app();
    TERM_JOB *t = nullptr;
    Q_CALLOC(t, 1, TERM_JOB);
    if (!t) return -1;
    t->kind = kind;
    t->resize_only = resize_only;
    t->session = app && app->session ? kvn_session_ref(app->session) : nullptr;
    t->session_generation = app ? app->session_generation : 0;
    q_strcpy(t->id, sizeof t->id, id ? id : "");
    q_strcpy(t->command, sizeof t->command, command ? command : "");
    q_strcpy(t->exec_id, sizeof t->exec_id, c.exec_id);
    t->columns = columns;
    t->rows = rows;
    t->generation = c.generation;
    t->cancel = q_httpc_cancel_new();
    const char *label =
        resize_only ? "console resize" : (kind >= 0 && kind < 3 ? k_kinds[kind].job : "console");
    return kvn_jobs_submit(label, _job_run, _job_done, _job_free, t, t->session_generation) < 0 ? -1 : 0;
}

// ---- closing -----------------------------------------------------------------------------------

void _close_console(void) {
    c.generation++;
    _link_free(&c.link);
    _zero_str(c.feeding);
    free_qstr(&c.feeding);
    kvn_term_free(&c.term);
    c.active = false;
    c.typing = false;
    c.scroll = 0;
    c.sel = SEL_NONE;
    c.resize_due = 0;
    q_secure_zero(c.exec_id, sizeof c.exec_id);
}

void _on_detach(int, void *) {
    _close_console();
    if (c.ctx && c.window >= 0) q_gui_close_window(c.ctx, c.window);
    _redraw();
}

// ---- clipboard ---------------------------------------------------------------------------------

bool _clipboard_set(const char *text) {
    if (q_clipboard_init()) return q_clipboard_set(0, text) == 0;
    return c.ctx && c.ctx->display && al_set_clipboard_text(c.ctx->display, text);
}

void _send_bytes(const char *bytes, size_t n) {
    if (!c.link || n == 0) return;
    pthread_mutex_lock(&c.link->mutex);
    qstrcat_bytes_ex(c.link->outgoing, bytes, n);
    pthread_mutex_unlock(&c.link->mutex);
}

void _typing_reset(void) {
    c.typing = true;
    c.scroll = 0;
    c.sel = SEL_NONE;
    _redraw();
}

void _paste(const char *text) {
    if (!text || !*text) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "the clipboard holds no text");
        return;
    }
    std::string bytes;
    const bool bracketed = c.term && c.term->bracketed_paste;
    if (bracketed) bytes += "\x1b[200~";
    for (const char *p = text; *p; p++) {
        // A bracketed paste must not end early because the text says so.
        if (bracketed && !strncmp(p, "\x1b[201~", 6)) {
            p += 5;
            continue;
        }
        bytes += *p == '\n' ? '\r' : *p;
    }
    if (bracketed) bytes += "\x1b[201~";
    _send_bytes(bytes.data(), bytes.size());
    q_secure_zero(bytes.data(), bytes.size());
    _typing_reset();
}

void _on_paste(int, void *) {
    char *text = nullptr;
    bool allegro = false;
    if (q_clipboard_init()) {
        text = q_clipboard_get(0);
    } else if (c.ctx && c.ctx->display) {
        text = al_get_clipboard_text(c.ctx->display);
        allegro = true;
    }
    _paste(text);
    if (text) {
        q_secure_zero_str(text);
        if (allegro)
            al_free(text);
        else
            free(text);
    }
}

bool _copy_selection(void) {
    if (!c.term || c.sel != SEL_SELECTED) return false;
    Q_STR *s = kvn_term_selection_text(c.term, c.sel_a_line, c.sel_a_col, c.sel_b_line, c.sel_b_col);
    if (!s) return false;
    const bool ok = _clipboard_set(s->data);
    if (ok) kvn_app_status(KVN_STATUS_INFO, "selection copied (%lld characters)", (long long)s->length);
    free_qstr(&s);
    return ok;
}

void _on_copy(int, void *) {
    if (_copy_selection()) return;
    Q_STR *s = c.term ? kvn_term_text(c.term) : nullptr;
    long long lines = 0;
    for (size_t i = 0; s && i < s->length; i++)
        if (s->data[i] == '\n') lines++;
    if (s && _clipboard_set(s->data))
        kvn_app_status(KVN_STATUS_INFO, "terminal text copied (%lld lines)", lines);
    else
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot copy the terminal text");
    free_qstr(&s);
}

void _on_ctrl_c(int, void *) {
    _send_bytes("\x03", 1);
    _typing_reset();
}

// ---- drawing -----------------------------------------------------------------------------------

ALLEGRO_COLOR _rgb(uint32_t v) {
    return al_map_rgb((v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff);
}

float _luma(ALLEGRO_COLOR k) {
    return 0.2126f * k.r + 0.7152f * k.g + 0.0722f * k.b;
}

// Programs pick colours for a dark terminal (or a light one): bright yellow
// on the light theme's background, or black on the dark one's, cannot be
// read. Such a colour on the theme's own background is drawn towards the
// theme's text colour; colour pairs the program chose are left alone.
ALLEGRO_COLOR _readable(ALLEGRO_COLOR fg, const KVN_PALETTE *p) {
    if (std::fabs(_luma(fg) - _luma(p->background)) >= 0.3f) return fg;
    const float k = 0.6f;
    fg.r += (p->text.r - fg.r) * k;
    fg.g += (p->text.g - fg.g) * k;
    fg.b += (p->text.b - fg.b) * k;
    return fg;
}

bool _selected(int64_t line, int col) {
    if (c.sel == SEL_NONE) return false;
    int64_t al = c.sel_a_line, bl = c.sel_b_line;
    int ac = c.sel_a_col, bc = c.sel_b_col;
    if (al > bl || (al == bl && ac > bc)) {
        std::swap(al, bl);
        std::swap(ac, bc);
    }
    if (line < al || line > bl) return false;
    if (line == al && col < ac) return false;
    if (line == bl && col > bc) return false;
    return true;
}

void _on_draw(int, float x, float y, float w, float h, void *) {
    const KVN_PALETTE *p = kvn_theme_current();
    c.area_x = x;
    c.area_y = y;
    c.area_w = w;
    c.area_h = h;
    c.area_drawn = true;
    al_draw_filled_rectangle(x, y, x + w, y + h, p->background);
    al_draw_rectangle(x + 0.5f, y + 0.5f, x + w - 0.5f, y + h - 0.5f, c.typing ? p->accent : p->border, 1);
    ALLEGRO_FONT *font = _font();
    if (!c.term || !font) return;
    const KVN_TERM *t = c.term;
    const float ox = x + 6, oy = y + 6;
    const int top = _view_top();
    ALLEGRO_COLOR sel = p->accent;
    sel.r *= 0.35f;
    sel.g *= 0.35f;
    sel.b *= 0.35f;
    sel.a = 0.35f;
    auto colours = [&](const KVN_TERM_CELL &cell, ALLEGRO_COLOR *fg, ALLEGRO_COLOR *bg, bool *bg_set) {
        int32_t f = cell.fg, b = cell.bg;
        if ((cell.attrs & KVN_TERM_BOLD) && f >= 0 && f < 8) f += 8;
        ALLEGRO_COLOR fc = f == KVN_TERM_DEFAULT ? p->text : _rgb(kvn_term_color(f));
        ALLEGRO_COLOR bc = b == KVN_TERM_DEFAULT ? p->background : _rgb(kvn_term_color(b));
        bool set = b != KVN_TERM_DEFAULT;
        if (!set && f != KVN_TERM_DEFAULT) fc = _readable(fc, p);
        if (cell.attrs & KVN_TERM_REVERSE) {
            std::swap(fc, bc);
            set = true;
        }
        *fg = fc;
        *bg = bc;
        *bg_set = set;
    };
    // Backgrounds and the selection first, then the glyphs, then underlines:
    // a wide glyph or an underline is never covered by its neighbour's fill.
    for (int r = 0; r < t->rows; r++) {
        const KVN_TERM_CELL *line = kvn_term_line(t, top + r);
        if (!line) continue;
        const int64_t abs_line = t->scrolled_off + top + r;
        for (int col = 0; col < t->columns; col++) {
            ALLEGRO_COLOR fg, bg;
            bool set;
            colours(line[col], &fg, &bg, &set);
            const float cx = ox + col * c.cell_w, cy = oy + r * c.cell_h;
            if (set) al_draw_filled_rectangle(cx, cy, cx + c.cell_w, cy + c.cell_h, bg);
            if (_selected(abs_line, col)) al_draw_filled_rectangle(cx, cy, cx + c.cell_w, cy + c.cell_h, sel);
        }
    }
    al_hold_bitmap_drawing(true);
    for (int r = 0; r < t->rows; r++) {
        const KVN_TERM_CELL *line = kvn_term_line(t, top + r);
        if (!line) continue;
        for (int col = 0; col < t->columns; col++) {
            const int32_t cp = line[col].codepoint;
            if (cp <= 32) continue;
            ALLEGRO_COLOR fg, bg;
            bool set;
            colours(line[col], &fg, &bg, &set);
            al_draw_glyph(font, fg, ox + col * c.cell_w, oy + r * c.cell_h, cp);
        }
    }
    al_hold_bitmap_drawing(false);
    for (int r = 0; r < t->rows; r++) {
        const KVN_TERM_CELL *line = kvn_term_line(t, top + r);
        if (!line) continue;
        for (int col = 0; col < t->columns; col++) {
            if (!(line[col].attrs & KVN_TERM_UNDERLINE)) continue;
            ALLEGRO_COLOR fg, bg;
            bool set;
            colours(line[col], &fg, &bg, &set);
            const float cx = ox + col * c.cell_w, ly = oy + (r + 1) * c.cell_h - 1.5f;
            al_draw_line(cx, ly, cx + c.cell_w, ly, fg, 1);
        }
    }
    if (c.scroll == 0 && !t->cursor_hidden) {
        const float cx = ox + t->cursor_col * c.cell_w, cy = oy + t->cursor_row * c.cell_h;
        if (c.typing) {
            al_draw_filled_rectangle(cx, cy, cx + c.cell_w, cy + c.cell_h, p->text);
            const KVN_TERM_CELL *line = kvn_term_line(t, t->lines_used - t->rows + t->cursor_row);
            const int32_t cp = line ? line[t->cursor_col].codepoint : 0;
            if (cp > 32) al_draw_glyph(font, p->background, cx, cy, cp);
        } else {
            al_draw_rectangle(cx + 0.5f, cy + 0.5f, cx + c.cell_w - 0.5f, cy + c.cell_h - 0.5f, p->text, 1);
        }
    }
    if (c.scroll > 0) {
        char badge[64];
        q_format(badge, sizeof badge, "scrolled back %d lines", c.scroll);
        const float bw = (float)al_get_text_width(font, badge) + 12;
        const float bx = x + w - bw - 8, by = y + 8;
        al_draw_filled_rectangle(bx, by, bx + bw, by + c.cell_h + 6, p->panel_active);
        al_draw_text(font, p->text, bx + 6, by + 3, 0, badge);
    }
}

// ---- mouse -------------------------------------------------------------------------------------

void _cell_at(float mx, float my, int64_t *line, int *col) {
    const KVN_TERM *t = c.term;
    const int cx = std::clamp((int)((mx - c.area_x - 6) / c.cell_w), 0, t->columns - 1);
    const int cy = std::clamp((int)((my - c.area_y - 6) / c.cell_h), 0, t->rows - 1);
    *col = cx;
    *line = t->scrolled_off + _view_top() + cy;
}

void _on_mouse(int, const ALLEGRO_EVENT *ev, float mx, float my, void *) {
    if (!c.term || !c.area_drawn) return;
    const bool inside =
        mx >= c.area_x && mx < c.area_x + c.area_w && my >= c.area_y && my < c.area_y + c.area_h;
    switch (ev->type) {
    case ALLEGRO_EVENT_MOUSE_BUTTON_DOWN:
        if (!inside || ev->mouse.button != 1) return;
        _cell_at(mx, my, &c.sel_a_line, &c.sel_a_col);
        c.sel_b_line = c.sel_a_line;
        c.sel_b_col = c.sel_a_col;
        c.sel = SEL_SELECTING;
        c.typing = true;
        _redraw();
        break;
    case ALLEGRO_EVENT_MOUSE_AXES:
        if (c.sel != SEL_SELECTING) return;
        _cell_at(mx, my, &c.sel_b_line, &c.sel_b_col);
        _redraw();
        break;
    case ALLEGRO_EVENT_MOUSE_BUTTON_UP:
        if (c.sel != SEL_SELECTING || ev->mouse.button != 1) return;
        _cell_at(mx, my, &c.sel_b_line, &c.sel_b_col);
        if (c.sel_b_line == c.sel_a_line && c.sel_b_col == c.sel_a_col) {
            c.sel = SEL_NONE;
        } else {
            c.sel = SEL_SELECTED;
            _copy_selection();
        }
        _redraw();
        break;
    default:
        break;
    }
}

int _on_wheel(int, float dz, float, float, float, void *) {
    if (!c.term || dz == 0) return 0;
    const int step = dz > 0 ? 3 : -3;
    c.scroll = std::clamp(c.scroll + step * (int)(dz > 0 ? dz : -dz), 0, _scrollback_lines());
    _redraw();
    return 1;
}

// ---- the window --------------------------------------------------------------------------------

int _tip(int id, const char *tip) {
    if (id >= 0) q_gui_widget_set_tooltip(c.ctx, id, tip);
    return id;
}

// The area of a 100 x 32 grid and the window around it (buttons and label
// below).
void _default_size(float *aw, float *ah, float *ww, float *wh) {
    *aw = 100 * c.cell_w + 12;
    *ah = 32 * c.cell_h + 12;
    *ww = *aw + 20;
    *wh = *ah + 20 + 26 + 50;
}

bool _build(void) {
    KVN_APP *app = _app();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (!ctx) return false;
    if (ctx != c.ctx) {
        // A new GUI context (a test building another): the old widgets are gone.
        _close_console();
        c.ctx = ctx;
        c.window = -1;
    }
    if (c.window >= 0) return true;
    ALLEGRO_FONT *font = _font();
    c.cell_w = font ? (float)al_get_text_width(font, "M") : 8;
    if (c.cell_w < 1) c.cell_w = 8;
    c.cell_h = font ? (float)al_get_font_line_height(font) : 16;
    if (c.cell_h < 1) c.cell_h = 16;
    float aw, ah, ww, wh;
    _default_size(&aw, &ah, &ww, &wh);
    const int win = q_gui_add_window(ctx, "Attach", 0, 0, ww, wh);
    if (win < 0) return false;
    q_gui_window_set_flags(ctx, win, Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_RESIZABLE);
    q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
    c.window = win;
    c.area = q_gui_add_custom(ctx, win, 10, 10, aw, ah, _on_draw, nullptr);
    const float by = 10 + ah + 12;
    float bx = ww - 10 - k_button_w;
    c.detach = q_gui_add_button(ctx, win, "Detach", bx, by, k_button_w, k_button_h, 1, _on_detach, nullptr);
    bx -= k_button_w + 8;
    c.ctrl_c =
        q_gui_add_button(ctx, win, "Send Ctrl+C", bx, by, k_button_w, k_button_h, 1, _on_ctrl_c, nullptr);
    bx -= k_button_w + 8;
    c.copy = q_gui_add_button(ctx, win, "Copy", bx, by, k_button_w, k_button_h, 1, _on_copy, nullptr);
    bx -= k_button_w + 8;
    c.paste = q_gui_add_button(ctx, win, "Paste", bx, by, k_button_w, k_button_h, 1, _on_paste, nullptr);
    c.status = q_gui_add_label(ctx, win, "", 10, by + 4, bx - 18, 20, 0);
    if (c.area < 0 || c.detach < 0 || c.ctrl_c < 0 || c.copy < 0 || c.paste < 0 || c.status < 0) {
        q_log(Q_LOG_ERR, "console window: a widget could not be created");
        return false;
    }
    q_gui_custom_set_mouse(ctx, c.area, _on_mouse, nullptr);
    q_gui_custom_set_wheel(ctx, c.area, _on_wheel, nullptr);
    _tip(c.area, "Click to type into the console (ESC is sent too). Drag to select and copy. Wheel or "
                 "Shift+PgUp/PgDn: scroll back. Ctrl+Shift+V: paste, Ctrl+Shift+C: copy");
    _tip(c.detach, "Close the console and this window; the container keeps running");
    _tip(c.ctrl_c, "Interrupt the running command");
    _tip(c.copy, "Copy the selection (drag over the text), or the screen and the scrollback when nothing is "
                 "selected");
    _tip(c.paste, "Type the clipboard text into the container");
    kvn_gui_layout_anchor(win, c.area, KVN_ANCHOR_ALL);
    kvn_gui_layout_anchor(win, c.detach, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, c.ctrl_c, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, c.copy, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, c.paste, KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    kvn_gui_layout_anchor(win, c.status, KVN_ANCHOR_LEFT | KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM);
    q_gui_close_window(ctx, win);
    return true;
}

void _place(int kind) {
    float aw, ah, ww, wh;
    _default_size(&aw, &ah, &ww, &wh);
    kvn_gui_layout_place_popup(c.window, k_kinds[kind].layout, ww, wh);
    if (Q_GUI_WINDOW *w = q_gui_get_window(c.ctx, c.window)) {
        w->min_w = std::max(500.0f, ww - 60 * c.cell_w);
        w->min_h = wh - 22 * c.cell_h;
    }
}

int _start(int kind, const char *id, const char *name, const char *command, bool url_given,
           bool connect = true) {
    _close_console();
    if (!_build()) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the console window");
        return -1;
    }
    c.kind = kind;
    q_strcpy(c.id, sizeof c.id, id ? id : "");
    q_strcpy(c.name, sizeof c.name, (name && *name) ? name : (id ? id : ""));
    char title[256];
    q_format(title, sizeof title, "%s: %.100s", k_kinds[kind].prefix, c.name);
    q_strcpy(c.shown_title, sizeof c.shown_title, "");
    q_gui_window_set_caption(c.ctx, c.window, title);
    _place(kind);
    q_gui_open_window(c.ctx, c.window);
    q_gui_raise_window(c.ctx, c.window);
    float w, h;
    _area_size(&w, &h);
    int columns, rows;
    _grid_for(w, h, &columns, &rows);
    c.term = kvn_term_new(columns, rows);
    if (!c.term) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the console window");
        return -1;
    }
    c.active = true;
    c.fed = 0;
    _set_live(false);
    _label("%s", "connecting...");
    // An address given straight runs as a kind of its own in the job.
    if (connect && _submit(url_given ? 3 : kind, 0, c.id, command, columns, rows) != 0)
        _label("%s", "cannot start the connection");
    _redraw();
    return 0;
}

// ---- the resource panel's actions ----------------------------------------------------------

KVN_OP g_exec_op;
char g_exec_id[256], g_exec_name[256];

void _exec_form_done(const KVN_OP *op, const char *const *values, int count, long, void *) {
    const char *command = count > 0 && values[0] ? values[0] : "";
    while (*command == ' ')
        command++;
    if (!*command) {
        if (kvn_gui_form_open(op, nullptr, nullptr, _exec_form_done, 0, nullptr) == 0)
            kvn_gui_form_set_message(op, "enter the command to run");
        return;
    }
    _start(KVN_CONSOLE_EXEC, g_exec_id, g_exec_name, command, false);
}

void _exec_op_init(void) {
    if (g_exec_op.id) return;
    g_exec_op.id = "exec_interactive";
    g_exec_op.title = "Run a command interactively";
    g_exec_op.cli = "appcontainer exec --interactive";
    g_exec_op.method = "POST";
    g_exec_op.service = "container";
    g_exec_op.field_count = 1;
    KVN_FIELD &f = g_exec_op.fields[0];
    f.name = "command";
    f.label = "Command";
    f.def = "/bin/sh";
    f.help = "Command line run in the container with a terminal";
    f.type = KVN_FT_STRING;
}

void _action(int kind, const cJSON *item) {
    KVN_APP *app = _app();
    const char *key = k_kinds[kind].key;
    const cJSON *idv = cJSON_GetObjectItemCaseSensitive(item, key);
    const cJSON *namev = cJSON_GetObjectItemCaseSensitive(item, "name");
    const char *name = cJSON_IsString(namev) ? namev->valuestring : "";
    const char *id = cJSON_IsString(idv) && idv->valuestring[0] ? idv->valuestring : name;
    if (!app || !app->session || !id || !*id) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", k_kinds[kind].missing);
        return;
    }
    if (kind == KVN_CONSOLE_EXEC) {
        q_strcpy(g_exec_id, sizeof g_exec_id, id);
        q_strcpy(g_exec_name, sizeof g_exec_name, name);
        _exec_op_init();
        kvn_gui_form_open(&g_exec_op, nullptr, nullptr, _exec_form_done, 0, nullptr);
        return;
    }
    _start(kind, id, name, nullptr, false);
}

void _ui_attach(const KVN_RESOURCE *, const KVN_OP *, const cJSON *item) {
    _action(KVN_CONSOLE_ATTACH, item);
}
void _ui_exec(const KVN_RESOURCE *, const KVN_OP *, const cJSON *item) {
    _action(KVN_CONSOLE_EXEC, item);
}
void _ui_serial(const KVN_RESOURCE *, const KVN_OP *, const cJSON *item) {
    _action(KVN_CONSOLE_SERIAL, item);
}

// ---- the tick ----------------------------------------------------------------------------------

void _send_resize(void) {
    if (!c.ctx || c.window < 0 || !c.active) return;
    if (!q_gui_window_is_open(c.ctx, c.window)) {
        _close_console();
        return;
    }
    if (!c.term) return;
    float w, h;
    _area_size(&w, &h);
    int columns, rows;
    _grid_for(w, h, &columns, &rows);
    const double now = al_get_time();
    if (columns != c.term->columns || rows != c.term->rows) {
        if (kvn_term_resize(c.term, columns, rows) == 0) {
            c.scroll = 0;
            c.sel = SEL_NONE;
            c.resize_due = now + k_resize_delay;
            _redraw();
        }
    }
    if (c.resize_due > 0 && now >= c.resize_due && c.link) {
        c.resize_due = 0;
        // A serial console has no size to tell; an exec one needs its id.
        if (c.id[0] && (c.kind == KVN_CONSOLE_ATTACH || (c.kind == KVN_CONSOLE_EXEC && c.exec_id[0])))
            _submit(c.kind, 1, c.id, nullptr, c.term->columns, c.term->rows);
    }
    if (!c.link) return;
    TERM_LINK *l = c.link;
    Q_STR *chunk = nullptr;
    int done = 0;
    char reason[128] = "";
    if (!c.feeding) c.feeding = new_qstr(16384);
    pthread_mutex_lock(&l->mutex);
    const size_t waiting = l->incoming->length - l->incoming_off;
    if (waiting > 0 && c.feeding) {
        if (l->incoming_off == 0 && waiting <= k_feed_per_tick) {
            // All of it: the two buffers trade places and nothing is copied
            // or allocated, which is what a busy console does every frame.
            std::swap(c.feeding, l->incoming);
            chunk = c.feeding;
        } else {
            const size_t n = waiting < k_feed_per_tick ? waiting : k_feed_per_tick;
            if (qstrcat_bytes_ex(c.feeding, l->incoming->data + l->incoming_off, n) == 0) {
                q_secure_zero(l->incoming->data + l->incoming_off, n);
                l->incoming_off += n;
                if (l->incoming_off == l->incoming->length) l->incoming->length = l->incoming_off = 0;
                chunk = c.feeding;
            }
        }
    }
    // Bytes still waiting keep the console "busy" until fed.
    done = l->done && l->incoming->length == l->incoming_off;
    q_strcpy(reason, sizeof reason, l->reason[0] ? l->reason : "session ended");
    pthread_mutex_unlock(&l->mutex);
    if (chunk) {
        kvn_term_feed(c.term, chunk->data, chunk->length);
        c.fed += (long long)chunk->length;
        q_secure_zero(chunk->data, chunk->length);
        chunk->length = 0;
        _redraw();
    }
    if (c.term->reply_len > 0) {
        _send_bytes(c.term->reply, (size_t)c.term->reply_len);
        c.term->reply_len = 0;
    }
    if (c.term->title[0]) {
        char title[256];
        q_format(title, sizeof title, "%.60s -- %.55s", c.name, c.term->title);
        if (strcmp(title, c.shown_title) != 0) {
            q_strcpy(c.shown_title, sizeof c.shown_title, title);
            q_gui_window_set_caption(c.ctx, c.window, title);
            _redraw();
        }
    }
    if (done) {
        _link_free(&c.link);
        _term_note(reason);
        _label("%s", reason);
        _set_live(false);
        kvn_app_status(KVN_STATUS_INFO, "console of %s: %s", c.name, reason);
    }
}

} // namespace

void kvn_gui_term_register(void) {
    kvn_gui_resource_register_ui("container_attach", _ui_attach);
    kvn_gui_resource_register_ui("container_exec", _ui_exec);
    kvn_gui_resource_register_ui("server_serial", _ui_serial);
}

int kvn_gui_term_open(int kind, const char *id, const char *name, const char *command) {
    if (kind < 0 || kind > 2) return -1;
    return _start(kind, id, name, command, false);
}

int kvn_gui_term_open_url(int kind, const char *url, const char *name) {
    if (kind < 0 || kind > 2) return -1;
    return _start(kind, "", name, url, true);
}

int kvn_gui_term_show(int kind, const char *name, const void *bytes, size_t length) {
    if (kind < 0 || kind > 2 || _start(kind, "", name, nullptr, false, false) != 0) return -1;
    if (bytes && length) kvn_term_feed(c.term, bytes, length);
    _redraw();
    return 0;
}

void kvn_gui_term_tick(void) {
    _send_resize();
}

int kvn_gui_term_key_event(const ALLEGRO_EVENT *ev) {
    if (!c.ctx || c.window < 0 || !c.link || !c.typing || !c.term) return 0;
    if (ev->type != ALLEGRO_EVENT_KEY_DOWN && ev->type != ALLEGRO_EVENT_KEY_UP &&
        ev->type != ALLEGRO_EVENT_KEY_CHAR)
        return 0;
    if (q_gui_get_topmost_open_window(c.ctx) != c.window) return 0;
    if (ev->type != ALLEGRO_EVENT_KEY_CHAR) return 1;
    const unsigned m = ev->keyboard.modifiers;
    const bool shift = m & ALLEGRO_KEYMOD_SHIFT, ctrl = m & ALLEGRO_KEYMOD_CTRL, alt = m & ALLEGRO_KEYMOD_ALT;
    const int key = ev->keyboard.keycode;
    if (ctrl && shift && key == ALLEGRO_KEY_V) {
        _on_paste(0, nullptr);
        return 1;
    }
    if (ctrl && shift && key == ALLEGRO_KEY_C) {
        _on_copy(0, nullptr);
        return 1;
    }
    if (shift && (key == ALLEGRO_KEY_PGUP || key == ALLEGRO_KEY_PGDN)) {
        const int page = std::max(1, c.term->rows - 1);
        c.scroll = std::clamp(c.scroll + (key == ALLEGRO_KEY_PGUP ? page : -page), 0, _scrollback_lines());
        _redraw();
        return 1;
    }
    char bytes[KVN_TERM_KEY_MAX];
    const int mods =
        (shift ? KVN_TERM_MOD_SHIFT : 0) | (ctrl ? KVN_TERM_MOD_CTRL : 0) | (alt ? KVN_TERM_MOD_ALT : 0);
    const int n = kvn_term_key(key, ev->keyboard.unichar, mods, bytes);
    if (n > 0) {
        _send_bytes(bytes, (size_t)n);
        q_secure_zero(bytes, sizeof bytes);
        c.scroll = 0;
        c.sel = SEL_NONE;
        _redraw();
    }
    return 1;
}

void kvn_gui_term_close(void) {
    if (!c.active && c.window < 0) return;
    _close_console();
    KVN_APP *app = _app();
    if (c.ctx && app && app->gui == c.ctx && c.window >= 0) q_gui_close_window(c.ctx, c.window);
}

void kvn_gui_term_shutdown(void) {
    kvn_gui_term_close();
    // The context goes next, and a later one may sit at the same address:
    // its window ids must not be taken for this one's.
    c.ctx = nullptr;
    c.window = c.area = c.detach = c.ctrl_c = c.copy = c.paste = c.status = -1;
    c.area_drawn = false;
}

int kvn_gui_term_is_open(void) {
    return c.ctx && c.window >= 0 && q_gui_window_is_open(c.ctx, c.window) ? 1 : 0;
}

void kvn_gui_term_ids(KVN_GUI_TERM_IDS *out) {
    if (!out) return;
    memset(out, 0, sizeof *out);
    out->window = c.window;
    out->area = c.area;
    out->detach = c.detach;
    out->ctrl_c = c.ctrl_c;
    out->copy = c.copy;
    out->paste = c.paste;
    out->status = c.status;
    out->columns = c.term ? c.term->columns : 0;
    out->rows = c.term ? c.term->rows : 0;
    out->typing = c.typing;
    out->scroll = c.scroll;
    out->linked = c.link != nullptr;
    out->fed = c.fed;
    if (c.link) {
        pthread_mutex_lock(&c.link->mutex);
        out->waiting = (long long)(c.link->incoming->length - c.link->incoming_off);
        pthread_mutex_unlock(&c.link->mutex);
    }
    out->generation = c.generation;
    q_strcpy(out->exec_id, sizeof out->exec_id, c.exec_id);
}

int kvn_gui_term_line(int row, char *out, size_t cap) {
    if (!out || !cap) return -1;
    out[0] = 0;
    if (!c.term || row < 0 || row >= c.term->rows) return -1;
    return kvn_term_line_text(c.term, c.term->lines_used - c.term->rows + row, out, cap);
}

const KVN_OP *kvn_gui_term_exec_op(void) {
    _exec_op_init();
    return &g_exec_op;
}

void kvn_gui_term_paste_text(const char *text) {
    _paste(text);
}
