// q_gui_filechooser: the file chooser pop-up. The window and its widgets are
// made once; an opening sets the texts of its mode and shows a start folder;
// accepting or cancelling hides the window and hands the paths to the
// caller's callback. Reading folders, examining paths and creating folders go
// through q_fs.

#include "q_gui_filechooser.h"

#include <algorithm>
#include <cstdarg>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "q_common.h"
#include "q_fs.h"
#include "q_gui_internal.h"

struct Q_GUI_FC_PRIVATE {
    // Folder of every tree node, by node index (the node's user value).
    std::vector<std::string> node_paths;
    // Type-ahead in the file list: the letters typed so far and when.
    std::string typed;
    double typed_at;
};

static const char *const k_all_files = "All files";
static const double k_typeahead_gap = 1.0;

// ---- small text helpers --------------------------------------------------------

static void _set_owned(char **slot, const char *text) {
    Q_FREE(*slot);
    if (text) *slot = strdup(text);
}

static const char *_or(const char *s, const char *fallback) {
    return s && s[0] ? s : fallback;
}

static int _lower(int c) {
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

static std::string _trim(const char *s) {
    const char *b = s ? s : "";
    while (*b == ' ' || *b == '\t' || *b == '\n' || *b == '\r')
        b++;
    const char *e = b + strlen(b);
    while (e > b && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\n' || e[-1] == '\r'))
        e--;
    return std::string(b, (size_t)(e - b));
}

// ---- paths ----------------------------------------------------------------------

// An absolute path without ".", "..", empty components or a trailing "/";
// ".." at the root stays at the root.
static std::string _normalise(const std::string &path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        const std::string c = path.substr(i, j - i);
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string &c : parts)
        out += "/" + c;
    return out.empty() ? "/" : out;
}

static std::string _join(const std::string &folder, const std::string &name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// A typed path made absolute: "~" and "~/..." start at the home folder, "/..."
// is taken as is, anything else is relative to base. Empty when the result
// would not fit a path.
static std::string _resolve(const std::string &base, const std::string &typed) {
    std::string p;
    if (typed == "~" || typed.rfind("~/", 0) == 0) {
        char home[Q_GUI_FC_PATH_MAX];
        q_fs_home(home, sizeof home);
        p = home + typed.substr(1);
    } else if (!typed.empty() && typed[0] == '/') {
        p = typed;
    } else {
        p = _join(base, typed);
    }
    if (p.size() >= Q_GUI_FC_PATH_MAX) return "";
    return _normalise(p);
}

static std::string _parent(const std::string &path) {
    return _normalise(path + "/..");
}

static std::string _base_name(const std::string &path) {
    const size_t s = path.rfind('/');
    return s == std::string::npos ? path : path.substr(s + 1);
}

static std::string _home(void) {
    char home[Q_GUI_FC_PATH_MAX];
    q_fs_home(home, sizeof home);
    return _normalise(home);
}

// ---- filter -----------------------------------------------------------------------

static int _utf8_len(unsigned char c) {
    return c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
}

// "*" any run, "?" one character, letters of any ASCII case. Iterative with
// one backtrack point: linear in practice, never exponential.
static bool _glob(const char *p, const char *pe, const char *s) {
    const char *star = nullptr, *resume = nullptr;
    while (*s) {
        if (p < pe && *p == '?') {
            p++;
            s += std::min((int)strlen(s), _utf8_len((unsigned char)*s));
        } else if (p < pe && *p == '*') {
            star = ++p;
            resume = s;
        } else if (p < pe && _lower((unsigned char)*p) == _lower((unsigned char)*s)) {
            p++;
            s++;
        } else if (star) {
            p = star;
            resume += _utf8_len((unsigned char)*resume);
            s = resume;
        } else {
            return false;
        }
    }
    while (p < pe && *p == '*')
        p++;
    return p == pe;
}

static bool _match_all_pattern(const char *p, size_t n) {
    if (n == 3 && !memcmp(p, "*.*", 3)) return true;
    for (size_t i = 0; i < n; i++)
        if (p[i] != '*') return false;
    return n > 0;
}

// Calls fn(pattern, length) for each usable pattern until it returns true.
template <class F> static bool _each_pattern(const char *filter, F fn) {
    const char *p = filter ? filter : "";
    while (*p) {
        while (*p == ';' || *p == ',' || *p == ' ')
            p++;
        const char *e = p;
        while (*e && *e != ';' && *e != ',' && *e != ' ')
            e++;
        if (e > p && !memchr(p, '/', (size_t)(e - p)) && fn(p, (size_t)(e - p))) return true;
        p = e;
    }
    return false;
}

static bool _lists_everything(const char *filter) {
    bool any = false;
    const bool all = _each_pattern(filter, [&any](const char *p, size_t n) {
        any = true;
        return _match_all_pattern(p, n);
    });
    return all || !any;
}

int q_gui_filechooser_filter_match(const char *filter, const char *name) {
    if (!name) return 0;
    if (_lists_everything(filter)) return 1;
    return _each_pattern(filter, [name](const char *p, size_t n) { return _glob(p, p + n, name); }) ? 1 : 0;
}

// The filter in force: the combobox's pattern, or none for "All files".
static const char *_active_filter(const Q_GUI_FILECHOOSER *fc) {
    const int sel = q_gui_combobox_get_selected(fc->ctx, fc->filter);
    const char *t = q_gui_combobox_get_item_text(fc->ctx, fc->filter, sel);
    if (!t || !strcmp(t, k_all_files) || fc->mode == Q_GUI_FC_MODE_FOLDER) return "";
    return fc->filter_pattern ? fc->filter_pattern : "";
}

// ---- entries ------------------------------------------------------------------------

static void _free_entries(Q_GUI_FC_ENTRY *e, int n) {
    for (int i = 0; i < n; i++)
        free(e[i].name);
    free(e);
}

struct _READ {
    Q_GUI_FC_ENTRY *e;
    int n, cap;
    int show_hidden, folders_only;
    int failed;
};

static int _collect(const Q_FS_ENTRY *fe, void *user) {
    _READ *r = static_cast<_READ *>(user);
    if (fe->hidden && !r->show_hidden) return 0;
    if (r->folders_only && (!fe->examined || !fe->is_folder)) return 0;
    if (!fe->examined) return 0; // vanished while the folder was read
    if (r->n == r->cap) {
        const int cap = r->cap ? r->cap * 2 : 64;
        void *p = realloc(r->e, sizeof(Q_GUI_FC_ENTRY) * (size_t)cap);
        if (!p) {
            q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", "Q_GUI_FC_ENTRY",
                  "cap", sizeof(Q_GUI_FC_ENTRY), "malloc error", __LINE__, __FILE__);
            r->failed = 1;
            return 1;
        }
        r->e = static_cast<Q_GUI_FC_ENTRY *>(p);
        r->cap = cap;
    }
    Q_GUI_FC_ENTRY *e = &r->e[r->n];
    e->name = strdup(fe->name);
    if (!e->name) {
        r->failed = 1;
        return 1;
    }
    e->is_folder = fe->is_folder;
    e->size = fe->size;
    e->mtime = fe->mtime;
    r->n++;
    return 0;
}

// Folders first, then by name without regard to case, ties by exact name.
static bool _entry_less(const Q_GUI_FC_ENTRY &a, const Q_GUI_FC_ENTRY &b) {
    if (a.is_folder != b.is_folder) return a.is_folder > b.is_folder;
    const int c = strcasecmp(a.name, b.name);
    if (c) return c < 0;
    return strcmp(a.name, b.name) < 0;
}

// Reads a folder into r (sorted); on failure the error text is in err.
static int _read(const char *path, int show_hidden, int folders_only, _READ *r, char *err, size_t cap) {
    *r = _READ{};
    r->show_hidden = show_hidden;
    r->folders_only = folders_only;
    const int rc = q_fs_read_folder(path, folders_only, _collect, r, err, cap);
    if (rc != 0 || r->failed) {
        if (r->failed) q_strcpy(err, cap, "out of memory");
        _free_entries(r->e, r->n);
        *r = _READ{};
        return -1;
    }
    std::sort(r->e, r->e + r->n, _entry_less);
    return 0;
}

// ---- status and texts ---------------------------------------------------------------

static void _status(Q_GUI_FILECHOOSER *fc, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void _status(Q_GUI_FILECHOOSER *fc, const char *fmt, ...) {
    char text[Q_GUI_LABEL_TEXT_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    q_gui_label_set_text(fc->ctx, fc->status, text);
}

static void _format_size(uint64_t size, char *out, size_t cap) {
    if (size < 1024) {
        q_format(out, cap, "%u B", (unsigned)size);
        return;
    }
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double v = (double)size / 1024.0;
    int u = 0;
    while (v >= 1024.0 && u < 3) {
        v /= 1024.0;
        u++;
    }
    q_format(out, cap, "%.1f %s", v, units[u]);
}

// ---- listing ------------------------------------------------------------------------

// Rows keep the index of their entry in a hidden fourth column, so a sort by
// a column title never loses the way back to the entry.
enum { k_col_name, k_col_size, k_col_modified, k_col_entry };

static int _row_entry(const Q_GUI_FILECHOOSER *fc, int row) {
    const char *s = q_gui_datagrid_get_cell(fc->ctx, fc->list, row, k_col_entry);
    if (!s) return -1;
    const int i = atoi(s);
    return i >= 0 && i < fc->entry_count ? i : -1;
}

static void _fill_list(Q_GUI_FILECHOOSER *fc) {
    Q_GUI_CTX *ctx = fc->ctx;
    q_gui_datagrid_clear(ctx, fc->list);
    const char *filter = _active_filter(fc);
    const bool everything = _lists_everything(filter);
    std::string name;
    char size[32], when[32], index[16];
    const char *cells[4] = {nullptr, size, when, index};
    for (int i = 0; i < fc->entry_count; i++) {
        const Q_GUI_FC_ENTRY *e = &fc->entries[i];
        if (!e->is_folder && !everything && !q_gui_filechooser_filter_match(filter, e->name)) continue;
        name = e->name;
        if (e->is_folder) {
            name += "/";
            size[0] = 0;
        } else {
            _format_size(e->size, size, sizeof size);
        }
        q_fs_format_time(e->mtime, when, sizeof when);
        q_format(index, sizeof index, "%d", i);
        cells[0] = name.c_str();
        if (q_gui_datagrid_add_row(ctx, fc->list, cells) < 0) {
            q_log(Q_LOG_ERR, "file chooser: the list could not hold %s", e->name);
            break;
        }
    }
    q_gui_datagrid_scroll_to_row(ctx, fc->list, 0);
    _set_owned(&fc->selection_text, nullptr);
}

// ---- folder tree ----------------------------------------------------------------------

static int _tree_add(Q_GUI_FILECHOOSER *fc, const char *label, int parent, const std::string &path) {
    std::vector<std::string> &paths = fc->priv->node_paths;
    const int node = q_gui_tree_add_node(fc->tree, label, parent, (void *)(intptr_t)paths.size());
    if (node >= 0) paths.push_back(path);
    return node;
}

// The shortcuts (home and the user's named folders), then every folder from
// the root down to the one shown, each level with its sibling folders, and
// the folders inside the one shown. Only the way to the folder shown is read.
static void _fill_tree(Q_GUI_FILECHOOSER *fc) {
    if (!fc->tree_shown) return;
    q_gui_tree_clear(fc->tree);
    fc->priv->node_paths.clear();
    const std::string home = _home();
    _tree_add(fc, "Home", -1, home);
    Q_FS_USER_FOLDER user[Q_FS_USER_FOLDERS_MAX];
    const int nu = q_fs_user_folders(user, Q_FS_USER_FOLDERS_MAX);
    for (int i = 0; i < nu; i++)
        if (q_fs_kind(user[i].path) == Q_FS_FOLDER)
            _tree_add(fc, _base_name(user[i].path).c_str(), -1, _normalise(user[i].path));

    const std::string cur = fc->folder;
    std::vector<std::string> chain; // components of the folder shown
    for (size_t i = 1; i < cur.size();) {
        size_t j = cur.find('/', i);
        if (j == std::string::npos) j = cur.size();
        chain.push_back(cur.substr(i, j - i));
        i = j + 1;
    }
    int parent = _tree_add(fc, "/", -1, "/");
    std::string at = "/";
    int current = parent;
    for (size_t level = 0; level <= chain.size() && parent >= 0; level++) {
        // The folders inside `at`: the entries already read for the folder
        // shown, a folder-only read for the ones above it.
        std::vector<std::string> names;
        if (level == chain.size()) {
            for (int i = 0; i < fc->entry_count; i++)
                if (fc->entries[i].is_folder) names.push_back(fc->entries[i].name);
        } else {
            _READ r;
            char err[256];
            if (_read(at.c_str(), fc->show_hidden, 1, &r, err, sizeof err) == 0) {
                for (int i = 0; i < r.n; i++)
                    names.push_back(r.e[i].name);
                _free_entries(r.e, r.n);
            }
            if (std::find(names.begin(), names.end(), chain[level]) == names.end())
                names.push_back(chain[level]); // hidden, or unreadable parent
        }
        // Room is kept for the rest of the way down.
        const int budget = Q_GUI_TREE_MAX - fc->tree->count - (int)(chain.size() - level) - 1;
        int next = -1, added = 0;
        for (const std::string &n : names) {
            const bool on_way = level < chain.size() && n == chain[level];
            if (!on_way && added >= budget) continue;
            const int node = _tree_add(fc, n.c_str(), parent, _join(at, n));
            if (node < 0) continue;
            added++;
            if (on_way) next = node;
        }
        if (level == chain.size()) break;
        at = _join(at, chain[level]);
        parent = current = next;
    }
    if (current >= 0) {
        q_gui_tree_select(fc->tree, current);
        q_gui_tree_expand(fc->tree, current, 1);
        // The folder shown a third of the way down, so the folders inside
        // it are in view below it.
        const Q_GUI_LISTBOX_DATA *lb = q_gui_lookup<Q_GUI_LISTBOX_DATA>(fc->ctx, fc->tree->listbox);
        const Q_GUI_WIDGET *lw = q_gui_get_widget(fc->ctx, fc->tree->listbox);
        for (int r = 0; lb && lw && r < fc->tree->row_count; r++)
            if (fc->tree->row_node[r] == current)
                q_gui_listbox_set_scroll(fc->ctx, fc->tree->listbox, lb->item_h * (float)r - lw->h / 3);
    }
}

// ---- showing a folder ---------------------------------------------------------------------

// Shows an absolute, normalised folder: 1, or 0 with a message and nothing
// changed.
static int _show(Q_GUI_FILECHOOSER *fc, const std::string &path) {
    if (path.empty()) {
        _status(fc, "That path is too long");
        return 0;
    }
    if (q_fs_kind(path.c_str()) != Q_FS_FOLDER) {
        _status(fc, "%s is not a folder", path.c_str());
        return 0;
    }
    _READ r;
    char err[256];
    if (_read(path.c_str(), fc->show_hidden, fc->mode == Q_GUI_FC_MODE_FOLDER, &r, err, sizeof err) != 0) {
        _status(fc, "Cannot read %s: %s", path.c_str(), err);
        return 0;
    }
    _free_entries(fc->entries, fc->entry_count);
    fc->entries = r.e;
    fc->entry_count = r.n;
    fc->entry_cap = r.cap;
    q_strcpy(fc->folder, sizeof fc->folder, path.c_str());
    q_gui_textarea_set_text(fc->ctx, fc->folder_field, fc->folder);
    _set_owned(&fc->pending_replace, nullptr);
    _status(fc, "%s", "");
    _fill_list(fc);
    _fill_tree(fc);
    return 1;
}

int q_gui_filechooser_set_folder(Q_GUI_FILECHOOSER *chooser, const char *folder) {
    Q_GUARD(chooser, 0);
    return _show(chooser, _resolve(chooser->folder, _trim(folder)));
}

// ---- layout -----------------------------------------------------------------------------

// Places the widgets for the window's size and the tree's visibility.
static void _layout(Q_GUI_FILECHOOSER *fc) {
    Q_GUI_CTX *ctx = fc->ctx;
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, fc->window);
    if (!win) return;
    const float u = fc->unit, m = 10 * u, gap = 6 * u, row = 26 * u;
    const float W = win->w, H = win->h - q_gui_window_tb_h(win);
    // Top: Up, Home, folder field, Go.
    q_gui_widget_set_rect(ctx, fc->up, m, m, 56 * u, row);
    q_gui_widget_set_rect(ctx, fc->home, m + 56 * u + gap, m, 64 * u, row);
    const float fx = m + 120 * u + 2 * gap, go_w = 48 * u;
    q_gui_widget_set_rect(ctx, fc->folder_field, fx, m, W - m - go_w - gap - fx, row);
    q_gui_widget_set_rect(ctx, fc->go, W - m - go_w, m, go_w, row);
    // Bottom, from the last row up: switches and buttons, name and filter,
    // the status line.
    const float by = H - m - row, ny = by - gap - row, sy = ny - gap - 20 * u;
    float x = m;
    const bool toggle = fc->tree_mode == Q_GUI_FC_TREE_SHOWN || fc->tree_mode == Q_GUI_FC_TREE_HIDDEN;
    q_gui_widget_set_visible(ctx, fc->folders_toggle, toggle);
    if (toggle) {
        q_gui_widget_set_rect(ctx, fc->folders_toggle, x, by, 90 * u, row);
        x += 90 * u + gap;
    }
    q_gui_widget_set_rect(ctx, fc->hidden_toggle, x, by, 120 * u, row);
    x += 120 * u + gap;
    q_gui_widget_set_rect(ctx, fc->new_folder, x, by, 100 * u, row);
    const float bw = 96 * u;
    q_gui_widget_set_rect(ctx, fc->cancel, W - m - bw, by, bw, row);
    q_gui_widget_set_rect(ctx, fc->accept, W - m - 2 * bw - gap, by, bw, row);
    const float lw = 86 * u, cw = 190 * u;
    const bool filter = fc->mode != Q_GUI_FC_MODE_FOLDER;
    q_gui_widget_set_rect(ctx, fc->name_label, m, ny, lw, row);
    q_gui_widget_set_rect(ctx, fc->name_field, m + lw, ny, W - 2 * m - lw - (filter ? cw + gap : 0), row);
    q_gui_widget_set_rect(ctx, fc->filter, W - m - cw, ny, cw, row);
    q_gui_widget_set_rect(ctx, fc->status, m, sy, W - 2 * m, 20 * u);
    // Middle: tree and list.
    const float ty = m + row + gap, th = sy - gap - ty;
    const float tw = fc->tree_shown ? std::min(230 * u, W * 0.3f) : 0;
    q_gui_widget_set_visible(ctx, fc->tree->listbox, fc->tree_shown);
    if (fc->tree_shown) q_gui_widget_set_rect(ctx, fc->tree->listbox, m, ty, tw, th);
    const float lx = m + (tw > 0 ? tw + gap : 0), lwid = W - m - lx;
    q_gui_widget_set_rect(ctx, fc->list, lx, ty, lwid, th);
    // Column shares of the list's width (what is left is the strip's room).
    q_gui_datagrid_set_column_width(ctx, fc->list, k_col_name, lwid * 0.58f);
    q_gui_datagrid_set_column_width(ctx, fc->list, k_col_size, lwid * 0.15f);
    q_gui_datagrid_set_column_width(ctx, fc->list, k_col_modified, lwid * 0.25f);
}

// ---- finishing -------------------------------------------------------------------------------

static void _finish(Q_GUI_FILECHOOSER *fc, const std::vector<std::string> &paths) {
    q_gui_close_window(fc->ctx, fc->window);
    const Q_GUI_FC_DONE_CB done = fc->done;
    void *user = fc->user;
    fc->done = nullptr;
    fc->user = nullptr;
    _set_owned(&fc->pending_replace, nullptr);
    _set_owned(&fc->selection_text, nullptr);
    fc->new_folder_mode = 0;
    std::vector<const char *> ptrs;
    for (const std::string &p : paths)
        ptrs.push_back(p.c_str());
    if (done) done(ptrs.empty() ? nullptr : ptrs.data(), (int)ptrs.size(), user);
}

int q_gui_filechooser_is_open(const Q_GUI_FILECHOOSER *chooser) {
    return chooser && q_gui_window_is_open(chooser->ctx, chooser->window) ? 1 : 0;
}

int q_gui_filechooser_cancel(Q_GUI_FILECHOOSER *chooser) {
    if (!q_gui_filechooser_is_open(chooser)) return 0;
    _finish(chooser, {});
    return 1;
}

// ---- mode texts ---------------------------------------------------------------------------------

static void _mode_texts(Q_GUI_FILECHOOSER *fc) {
    static const char *const label[] = {"File name:", "Save as:", "Folder:"};
    static const char *const hint[] = {"Select a file below, or type its name or full path",
                                       "File name, or a full path", "Empty: the folder shown"};
    static const char *const tip[] = {"Open the selected file, or enter the selected folder",
                                      "Save under the name on the left, in the folder shown",
                                      "Choose the folder selected below, or the folder shown when none is"};
    Q_GUI_CTX *ctx = fc->ctx;
    if (fc->new_folder_mode) {
        q_gui_label_set_text(ctx, fc->name_label, "New folder:");
        q_gui_textarea_set_placeholder(ctx, fc->name_field, "Name of the folder to create here");
        q_gui_widget_set_tooltip(ctx, fc->accept, "Create the folder named on the left in the folder shown");
        q_gui_button_set_label(ctx, fc->accept, "Create");
        q_gui_widget_set_tooltip(ctx, fc->cancel, "Do not create a folder");
        return;
    }
    q_gui_label_set_text(ctx, fc->name_label, label[fc->mode]);
    q_gui_textarea_set_placeholder(ctx, fc->name_field, hint[fc->mode]);
    q_gui_widget_set_tooltip(ctx, fc->accept, tip[fc->mode]);
    q_gui_button_set_label(ctx, fc->accept, fc->accept_label);
    q_gui_widget_set_tooltip(ctx, fc->cancel, "Close without choosing anything");
}

static void _leave_new_folder(Q_GUI_FILECHOOSER *fc) {
    fc->new_folder_mode = 0;
    q_gui_textarea_set_text(fc->ctx, fc->name_field, "");
    _mode_texts(fc);
}

// ---- accept -----------------------------------------------------------------------------------------

static int _create_folder(Q_GUI_FILECHOOSER *fc, const std::string &name) {
    if (name.empty()) {
        _status(fc, "Type the name of the folder first");
        return 0;
    }
    if (name.find('/') != std::string::npos) {
        _status(fc, "A folder name cannot hold a separator");
        return 0;
    }
    const std::string path = _join(fc->folder, name);
    if (name == "." || name == ".." || path.size() >= Q_GUI_FC_PATH_MAX) {
        _status(fc, "That name cannot be a folder");
        return 0;
    }
    char err[256];
    if (q_fs_make_folder(path.c_str(), err, sizeof err) != 0) {
        _status(fc, "Cannot create %s: %s", path.c_str(), err);
        return 0;
    }
    _leave_new_folder(fc);
    _show(fc, path);
    return 0;
}

// A save target chosen: finishes, or asks for the second accept first when
// replacing needs a confirmation.
static int _save_to(Q_GUI_FILECHOOSER *fc, const std::string &path) {
    if ((fc->flags & Q_GUI_FC_CONFIRM_REPLACE) && q_fs_kind(path.c_str()) == Q_FS_FILE &&
        !(fc->pending_replace && path == fc->pending_replace)) {
        _set_owned(&fc->pending_replace, path.c_str());
        _status(fc, "%s already exists: press %s again to replace it", _base_name(path).c_str(),
                fc->accept_label);
        return 0;
    }
    _finish(fc, {path});
    return 1;
}

// The rows selected now, as entry indices.
static std::vector<int> _selected_entries(const Q_GUI_FILECHOOSER *fc) {
    const int n = q_gui_datagrid_row_count(fc->ctx, fc->list);
    std::vector<int> rows((size_t)std::max(1, n));
    const int k = q_gui_datagrid_get_selected_rows(fc->ctx, fc->list, rows.data(), (int)rows.size());
    std::vector<int> out;
    for (int i = 0; i < k; i++) {
        const int e = _row_entry(fc, rows[(size_t)i]);
        if (e >= 0) out.push_back(e);
    }
    return out;
}

// Accepting what the list selection put into the name field.
static int _accept_selection(Q_GUI_FILECHOOSER *fc, const std::vector<int> &sel) {
    if (sel.empty()) {
        if (fc->mode == Q_GUI_FC_MODE_FOLDER) {
            _finish(fc, {fc->folder});
            return 1;
        }
        _status(fc, fc->mode == Q_GUI_FC_MODE_OPEN ? "Select a file first" : "Type the name to save as");
        return 0;
    }
    const Q_GUI_FC_ENTRY *first = &fc->entries[sel[0]];
    if (fc->mode == Q_GUI_FC_MODE_FOLDER) {
        _finish(fc, {_join(fc->folder, first->name)});
        return 1;
    }
    if (sel.size() == 1 && first->is_folder) {
        _show(fc, _join(fc->folder, first->name));
        return 0;
    }
    std::vector<std::string> paths;
    for (int i : sel)
        if (!fc->entries[i].is_folder) paths.push_back(_join(fc->folder, fc->entries[i].name));
    if (paths.empty()) {
        _status(fc, "Select a file, not a folder");
        return 0;
    }
    if (fc->mode == Q_GUI_FC_MODE_SAVE) return _save_to(fc, paths[0]);
    // The list is a picture of the folder when it was read: a file removed
    // since is refused rather than handed on.
    for (const std::string &p : paths)
        if (q_fs_kind(p.c_str()) == Q_FS_MISSING) {
            _status(fc, "There is no file named %s", _base_name(p).c_str());
            return 0;
        }
    _finish(fc, paths);
    return 1;
}

int q_gui_filechooser_accept(Q_GUI_FILECHOOSER *chooser) {
    Q_GUARD(chooser, 0);
    Q_GUI_FILECHOOSER *fc = chooser;
    const char *raw = q_gui_textarea_get_text(fc->ctx, fc->name_field);
    const std::string typed = _trim(raw);
    _set_owned(&fc->last_typed, typed.c_str());
    if (fc->new_folder_mode) return _create_folder(fc, typed);

    const std::vector<int> sel = _selected_entries(fc);
    if (fc->selection_text && !strcmp(raw ? raw : "", fc->selection_text)) return _accept_selection(fc, sel);

    if (typed.empty()) {
        if (sel.size() == 1 && fc->entries[sel[0]].is_folder) {
            const std::string p = _join(fc->folder, fc->entries[sel[0]].name);
            if (fc->mode == Q_GUI_FC_MODE_FOLDER) {
                _finish(fc, {p});
                return 1;
            }
            _show(fc, p);
            return 0;
        }
        if (fc->mode == Q_GUI_FC_MODE_FOLDER) {
            _finish(fc, {fc->folder});
            return 1;
        }
        _status(fc, fc->mode == Q_GUI_FC_MODE_OPEN ? "Select a file first" : "Type the name to save as");
        return 0;
    }

    const std::string path = _resolve(fc->folder, typed);
    if (path.empty()) {
        _status(fc, "That path is too long");
        return 0;
    }
    const int kind = q_fs_kind(path.c_str());
    if (fc->mode == Q_GUI_FC_MODE_FOLDER) {
        if (kind != Q_FS_FOLDER) {
            _status(fc, "%s is not a folder", path.c_str());
            return 0;
        }
        _finish(fc, {path});
        return 1;
    }
    if (kind == Q_FS_FOLDER) {
        if (_show(fc, path)) q_gui_textarea_set_text(fc->ctx, fc->name_field, "");
        return 0;
    }
    if (fc->mode == Q_GUI_FC_MODE_OPEN) {
        if (kind != Q_FS_FILE) {
            _status(fc, "There is no file named %s", typed.c_str());
            return 0;
        }
        _finish(fc, {path});
        return 1;
    }
    // Save: a name ending in "/" meant a folder that is not there; it is
    // never taken for a file name.
    if (typed.back() == '/') {
        _status(fc, "%s is not a folder", path.c_str());
        return 0;
    }
    const std::string parent = _parent(path);
    if (q_fs_kind(parent.c_str()) != Q_FS_FOLDER) {
        _status(fc, "The folder %s does not exist", parent.c_str());
        return 0;
    }
    return _save_to(fc, path);
}

// ---- widget callbacks -------------------------------------------------------------------------------

static void _on_up(int, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    _show(fc, _parent(fc->folder));
}

static void _on_home(int, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    _show(fc, _home());
}

static void _on_go(int, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    q_gui_filechooser_set_folder(fc, q_gui_textarea_get_text(fc->ctx, fc->folder_field));
}

static void _on_accept(int, void *user) {
    q_gui_filechooser_accept(static_cast<Q_GUI_FILECHOOSER *>(user));
}

static void _on_cancel(int, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    if (fc->new_folder_mode) {
        _leave_new_folder(fc);
        _status(fc, "%s", "");
        return;
    }
    q_gui_filechooser_cancel(fc);
}

static void _on_close(int, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    if (fc) q_gui_filechooser_cancel(fc);
}

static void _on_new_folder(int, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    fc->new_folder_mode = 1;
    q_gui_textarea_set_text(fc->ctx, fc->name_field, "");
    _set_owned(&fc->selection_text, nullptr);
    _mode_texts(fc);
    q_gui_set_focus(fc->ctx, fc->name_field);
}

static void _on_filter(int, int, void *user) {
    _fill_list(static_cast<Q_GUI_FILECHOOSER *>(user));
}

static void _on_hidden(int, int checked, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    fc->show_hidden = checked ? 1 : 0;
    _show(fc, fc->folder);
}

static void _on_folders(int, int checked, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    fc->tree_shown = checked ? 1 : 0;
    _layout(fc);
    _fill_tree(fc);
}

static void _on_tree(int node, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    const intptr_t i = (intptr_t)fc->tree->nodes[node].user;
    if (i < 0 || (size_t)i >= fc->priv->node_paths.size()) return;
    const std::string path = fc->priv->node_paths[(size_t)i];
    // A second click on the folder shown only folds or unfolds it.
    if (path == fc->folder) return;
    if (!_show(fc, path)) _fill_tree(fc);
}

// A selection puts its name(s) into the name field, except that in save mode
// a folder leaves the name typed so far; a double click enters a folder or
// chooses a file.
static void _on_list(int, int row, void *user) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FILECHOOSER *>(user);
    const int e = _row_entry(fc, row);
    if (e < 0) return;
    if (q_gui_was_double_click(fc->ctx, fc->list)) {
        const Q_GUI_FC_ENTRY *en = &fc->entries[e];
        if (en->is_folder) {
            _show(fc, _join(fc->folder, en->name));
        } else {
            _accept_selection(fc, {e});
        }
        return;
    }
    const std::vector<int> sel = _selected_entries(fc);
    std::string text;
    if (sel.size() == 1) {
        const Q_GUI_FC_ENTRY *en = &fc->entries[sel[0]];
        if (en->is_folder && fc->mode == Q_GUI_FC_MODE_SAVE) return;
        text = en->name;
    } else {
        for (int i : sel) {
            if (fc->entries[i].is_folder) continue;
            if (!text.empty()) text += " ";
            text += '"';
            text += fc->entries[i].name;
            text += '"';
        }
    }
    q_gui_textarea_set_text(fc->ctx, fc->name_field, text.c_str());
    _set_owned(&fc->selection_text, q_gui_textarea_get_text(fc->ctx, fc->name_field));
    _set_owned(&fc->pending_replace, nullptr);
}

// ---- keys: Escape and type-ahead ------------------------------------------------------------------

struct Q_GUI_FC_KEYS {
    Q_GUI_FILECHOOSER *fc; // null once the chooser is destroyed
};

static const int k_keys_kind = 0x4643; // private to this file

static int _key_letter(int keycode) {
    if (keycode >= ALLEGRO_KEY_A && keycode <= ALLEGRO_KEY_Z) return 'a' + (keycode - ALLEGRO_KEY_A);
    if (keycode >= ALLEGRO_KEY_0 && keycode <= ALLEGRO_KEY_9) return '0' + (keycode - ALLEGRO_KEY_0);
    if (keycode >= ALLEGRO_KEY_PAD_0 && keycode <= ALLEGRO_KEY_PAD_9)
        return '0' + (keycode - ALLEGRO_KEY_PAD_0);
    if (keycode == ALLEGRO_KEY_FULLSTOP) return '.';
    if (keycode == ALLEGRO_KEY_MINUS) return '-';
    return 0;
}

// Moves the list to the first row, from the selected one on, whose name
// starts with the letters typed within a second of each other.
static int _typeahead(Q_GUI_FILECHOOSER *fc, int c, double t) {
    Q_GUI_FC_PRIVATE *p = fc->priv;
    if (t - p->typed_at > k_typeahead_gap || t < p->typed_at) p->typed.clear();
    p->typed_at = t;
    p->typed += (char)c;
    const int n = q_gui_datagrid_row_count(fc->ctx, fc->list);
    if (n == 0) return 1;
    const int cur = std::max(0, q_gui_datagrid_get_selected_row(fc->ctx, fc->list));
    // A repeated first letter steps through the names that start with it.
    const bool step = p->typed.size() > 1 && p->typed.find_first_not_of(p->typed[0]) == std::string::npos;
    const std::string want = step ? p->typed.substr(0, 1) : p->typed;
    const int start = step ? cur + 1 : cur;
    for (int k = 0; k < n; k++) {
        const int r = (start + k) % n;
        const char *name = q_gui_datagrid_get_cell(fc->ctx, fc->list, r, k_col_name);
        if (name && !strncasecmp(name, want.c_str(), want.size())) {
            q_gui_datagrid_set_selected_row(fc->ctx, fc->list, r);
            return 1;
        }
    }
    return 1;
}

static int _keys_down(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, const ALLEGRO_EVENT *ev) {
    Q_GUI_FILECHOOSER *fc = static_cast<Q_GUI_FC_KEYS *>(w->data)->fc;
    if (!fc || !q_gui_window_is_open(ctx, fc->window)) return 0;
    const int key = ev->keyboard.keycode;
    if (key == ALLEGRO_KEY_ESCAPE) {
        // An open list or menu closes first.
        if (q_gui_menu_is_open(ctx)) return 0;
        _on_cancel(fc->cancel, fc);
        return 1;
    }
    if (ctx->focus != fc->list || (ctx->mods & (Q_GUI_MOD_LCTRL | Q_GUI_MOD_RCTRL | Q_GUI_MOD_ALT))) return 0;
    const int c = _key_letter(key);
    if (!c) return 0;
    return _typeahead(fc, c, ev->any.timestamp);
}

static const Q_GUI_KIND_OPS k_keys_ops = {
    .kind = k_keys_kind,
    .name = "filechooser keys",
    .key_down = _keys_down,
};

// ---- creation -------------------------------------------------------------------------------------

Q_GUI_FILECHOOSER *q_gui_filechooser_new(Q_GUI_CTX *ctx, float unit) {
    Q_GUARD(ctx, nullptr);
    const float u = unit > 0 ? unit : 1;
    const int win = q_gui_add_window(ctx, "Open", 0, 0, 800 * u, 520 * u);
    if (win < 0) {
        q_log(Q_LOG_ERR, "file chooser: a widget could not be created");
        return nullptr;
    }
    Q_GUI_FILECHOOSER *fc = nullptr;
    Q_CALLOC(fc, 1, Q_GUI_FILECHOOSER);
    if (!fc) return nullptr;
    fc->priv = new (std::nothrow) Q_GUI_FC_PRIVATE();
    fc->ctx = ctx;
    fc->unit = u;
    fc->window = win;
    q_gui_window_set_flags(ctx, win, Q_GUI_WIN_CLOSE_BTN);
    q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(ctx, win, _on_close, fc);
    q_strcpy(fc->accept_label, sizeof fc->accept_label, "Open");

    fc->up = q_gui_add_button(ctx, win, "Up", 0, 0, 10, 10, 0, _on_up, fc);
    fc->home = q_gui_add_button(ctx, win, "Home", 0, 0, 10, 10, 0, _on_home, fc);
    fc->folder_field = q_gui_add_textarea(ctx, win, 0, 0, 10, 10, 0, Q_GUI_FC_PATH_MAX - 1, nullptr, nullptr);
    fc->go = q_gui_add_button(ctx, win, "Go", 0, 0, 10, 10, 0, _on_go, fc);
    fc->tree = q_gui_tree_create(ctx, win, 0, 0, 10, 10, _on_tree, fc);
    fc->list = q_gui_add_datagrid(ctx, win, 0, 0, 10, 10, _on_list, fc);
    fc->status = q_gui_add_label(ctx, win, "", 0, 0, 10, 10, 0);
    fc->name_label = q_gui_add_label(ctx, win, "File name:", 0, 0, 10, 10, 0);
    fc->name_field = q_gui_add_textarea(ctx, win, 0, 0, 10, 10, 0, Q_GUI_FC_PATH_MAX - 1, nullptr, nullptr);
    fc->filter = q_gui_add_combobox(ctx, win, 0, 0, 10, 10, _on_filter, fc);
    fc->folders_toggle = q_gui_add_checkbox(ctx, win, "Folders", 0, 0, 10, 10, 1, _on_folders, fc);
    fc->hidden_toggle = q_gui_add_checkbox(ctx, win, "Hidden files", 0, 0, 10, 10, 0, _on_hidden, fc);
    fc->new_folder = q_gui_add_button(ctx, win, "New folder", 0, 0, 10, 10, 0, _on_new_folder, fc);
    fc->accept = q_gui_add_button(ctx, win, "Open", 0, 0, 10, 10, 0, _on_accept, fc);
    fc->cancel = q_gui_add_button(ctx, win, "Cancel", 0, 0, 10, 10, 0, _on_cancel, fc);
    Q_GUI_FC_KEYS *keys = nullptr;
    Q_CALLOC(keys, 1, Q_GUI_FC_KEYS);
    Q_GUI_WIDGET *kw = nullptr;
    if (keys) {
        keys->fc = fc;
        kw = q_gui_widget_create(ctx, win, &k_keys_ops, keys, 0, 0, 0, 0);
    }
    fc->keys = kw ? kw->id : -1;
    bool ok = fc->priv && fc->tree && fc->keys >= 0;
    for (int id :
         {fc->up, fc->home, fc->folder_field, fc->go, fc->list, fc->status, fc->name_label, fc->name_field,
          fc->filter, fc->folders_toggle, fc->hidden_toggle, fc->new_folder, fc->accept, fc->cancel})
        ok = ok && id >= 0;
    ok = ok && q_gui_datagrid_add_column(ctx, fc->list, "Name", 100) >= 0 &&
         q_gui_datagrid_add_column(ctx, fc->list, "Size", 50) >= 0 &&
         q_gui_datagrid_add_column(ctx, fc->list, "Modified", 50) >= 0 &&
         q_gui_datagrid_add_column(ctx, fc->list, "#", 16) >= 0;
    if (!ok) {
        q_log(Q_LOG_ERR, "file chooser: a widget could not be created");
        q_gui_filechooser_destroy(&fc);
        return nullptr;
    }
    q_gui_datagrid_set_column_visible(ctx, fc->list, k_col_entry, 0);
    q_gui_textarea_set_placeholder(ctx, fc->folder_field, "A folder, then Enter");
    q_gui_widget_set_tooltip(ctx, fc->up, "The folder holding this one (Backspace on the list)");
    q_gui_widget_set_tooltip(ctx, fc->home, "Your home folder");
    q_gui_widget_set_tooltip(ctx, fc->folder_field, "The folder shown; type another one and press Enter");
    q_gui_widget_set_tooltip(ctx, fc->go, "Show the folder typed on the left");
    q_gui_widget_set_tooltip(ctx, fc->tree->listbox,
                             "Every folder from the root; click one to show it, click again to fold it");
    q_gui_widget_set_tooltip(
        ctx, fc->list,
        "Double click a folder to enter it, a file to choose it; click a column title to sort");
    q_gui_widget_set_tooltip(ctx, fc->filter, "Which files are listed");
    q_gui_widget_set_tooltip(ctx, fc->folders_toggle, "Show or hide the folder tree");
    q_gui_widget_set_tooltip(ctx, fc->hidden_toggle, "List the hidden files and folders too");
    q_gui_widget_set_tooltip(ctx, fc->new_folder, "Create a folder in the folder shown");
    q_gui_widget_set_tooltip(ctx, fc->cancel, "Close without choosing anything");
    // Enter in the folder field is Go; Enter in the list or the name field
    // accepts; Backspace on the list goes up.
    const int go_scope[1] = {fc->folder_field};
    q_gui_button_set_keycode_scoped(ctx, fc->go, ALLEGRO_KEY_ENTER, 0, go_scope, 1);
    const int accept_scope[2] = {fc->list, fc->name_field};
    q_gui_button_set_keycode_scoped(ctx, fc->accept, ALLEGRO_KEY_ENTER, 0, accept_scope, 2);
    const int up_scope[1] = {fc->list};
    q_gui_button_set_keycode_scoped(ctx, fc->up, ALLEGRO_KEY_BACKSPACE, 0, up_scope, 1);
    fc->tree_shown = 1;
    _layout(fc);
    q_gui_close_window(ctx, win);
    return fc;
}

void q_gui_filechooser_destroy(Q_GUI_FILECHOOSER **chooser) {
    Q_GUARD_VOID(chooser);
    Q_GUI_FILECHOOSER *fc = *chooser;
    if (!fc) return;
    q_gui_filechooser_cancel(fc);
    // The toolkit cannot remove a window: it stays closed, and nothing in it
    // may call into the freed chooser. Closed windows get no input, so only
    // the close callback and the key widget need cutting off.
    q_gui_close_window(fc->ctx, fc->window);
    q_gui_window_set_close_callback(fc->ctx, fc->window, nullptr, nullptr);
    Q_GUI_WIDGET *kw = q_gui_widget_of_kind(fc->ctx, fc->keys, k_keys_kind);
    if (kw) static_cast<Q_GUI_FC_KEYS *>(kw->data)->fc = nullptr;
    q_gui_tree_destroy(&fc->tree);
    _free_entries(fc->entries, fc->entry_count);
    Q_FREE(fc->filter_pattern);
    Q_FREE(fc->last_typed);
    Q_FREE(fc->pending_replace);
    Q_FREE(fc->selection_text);
    delete fc->priv;
    Q_FREE(*chooser);
}

// ---- opening ----------------------------------------------------------------------------------------

int q_gui_filechooser_open(Q_GUI_FILECHOOSER *chooser, const Q_GUI_FC_OPTIONS *options, Q_GUI_FC_DONE_CB done,
                           void *user) {
    Q_GUARD(chooser, 0);
    Q_GUI_FILECHOOSER *fc = chooser;
    Q_GUI_CTX *ctx = fc->ctx;
    const Q_GUI_FC_OPTIONS defaults = {};
    const Q_GUI_FC_OPTIONS *o = options ? options : &defaults;
    if (o->mode < 0 || o->mode > 2) {
        q_log(Q_LOG_ERR, "file chooser: unknown mode %d", o->mode);
        return 0;
    }
    q_gui_filechooser_cancel(fc);

    // 1. Mode, switches and texts.
    fc->mode = o->mode;
    fc->flags = o->flags;
    fc->done = done;
    fc->user = user;
    fc->new_folder_mode = 0;
    fc->tree_mode = o->tree_mode < 0 ? 0 : std::min(o->tree_mode, (int)Q_GUI_FC_TREE_NEVER);
    fc->tree_shown = fc->tree_mode == Q_GUI_FC_TREE_SHOWN || fc->tree_mode == Q_GUI_FC_TREE_ALWAYS;
    fc->show_hidden = (o->flags & Q_GUI_FC_SHOW_HIDDEN) ? 1 : 0;
    static const char *const captions[] = {"Open", "Save as", "Choose a folder"};
    static const char *const accepts[] = {"Open", "Save", "Choose"};
    q_gui_window_set_caption(ctx, fc->window, _or(o->caption, captions[fc->mode]));
    q_strcpy(fc->accept_label, sizeof fc->accept_label, _or(o->accept_label, accepts[fc->mode]));
    _mode_texts(fc);
    q_gui_checkbox_set_checked(ctx, fc->folders_toggle, fc->tree_shown);
    q_gui_checkbox_set_checked(ctx, fc->hidden_toggle, fc->show_hidden);
    q_gui_widget_set_visible(ctx, fc->new_folder, !(o->flags & Q_GUI_FC_NO_NEW_FOLDER));
    q_gui_widget_set_visible(ctx, fc->filter, fc->mode != Q_GUI_FC_MODE_FOLDER);
    q_gui_datagrid_set_multi_select(ctx, fc->list,
                                    fc->mode == Q_GUI_FC_MODE_OPEN && (o->flags & Q_GUI_FC_MULTIPLE));
    _layout(fc);

    // 2. Filter entries, status and name.
    _set_owned(&fc->filter_pattern, _or(o->filter, ""));
    q_gui_combobox_clear(ctx, fc->filter);
    if (!_lists_everything(fc->filter_pattern)) q_gui_combobox_add_item(ctx, fc->filter, fc->filter_pattern);
    q_gui_combobox_add_item(ctx, fc->filter, k_all_files);
    q_gui_combobox_set_selected(ctx, fc->filter, 0);
    _status(fc, "%s", "");
    q_gui_textarea_set_text(ctx, fc->name_field, "");
    _set_owned(&fc->selection_text, nullptr);
    _set_owned(&fc->pending_replace, nullptr);

    // 3. The start folder.
    const std::string base = fc->folder[0] ? fc->folder : _home();
    bool shown = false;
    const std::string initial = _trim(o->initial_path);
    if (!initial.empty()) {
        const std::string p = _resolve(base, initial);
        const int kind = p.empty() ? Q_FS_MISSING : q_fs_kind(p.c_str());
        if (kind == Q_FS_FOLDER) {
            shown = _show(fc, p);
        } else if (!p.empty() && q_fs_kind(_parent(p).c_str()) == Q_FS_FOLDER) {
            shown = _show(fc, _parent(p));
            if (shown && fc->mode != Q_GUI_FC_MODE_FOLDER)
                q_gui_textarea_set_text(ctx, fc->name_field, _base_name(p).c_str());
        }
    }
    if (!shown && fc->folder[0] && q_fs_kind(fc->folder) == Q_FS_FOLDER) shown = _show(fc, fc->folder);
    if (!shown) shown = _show(fc, _home());
    if (!shown) _show(fc, "/");

    // 4. Centred, opened, raised, focused.
    const Q_GUI_WINDOW *win = q_gui_window_find(ctx, fc->window);
    const float cw = ctx->virtual_w > 0 ? ctx->virtual_w : ctx->display_w;
    const float ch = ctx->virtual_h > 0 ? ctx->virtual_h : ctx->display_h;
    if (win)
        q_gui_window_set_rect(ctx, fc->window, std::max(0.0f, (cw - win->w) / 2),
                              std::max(0.0f, (ch - win->h) / 2), win->w, win->h);
    q_gui_open_window(ctx, fc->window);
    q_gui_raise_window(ctx, fc->window);
    q_gui_set_focus(ctx, fc->mode == Q_GUI_FC_MODE_SAVE ? fc->name_field : fc->list);
    return 1;
}
