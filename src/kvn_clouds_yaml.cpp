// The YAML reader of clouds.yaml and secure.yaml: a line-by-line walk that
// turns the document into a flat list of path -> text entries. It reads the
// block and flow forms those files are written in and skips what it does not
// know, so a strange file yields fewer settings, never a failure.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "kvn_clouds.h"
#include "q_common.h"

namespace {
// Paths repeat their parents' keys, so a file of long keys and many short
// lines would otherwise multiply its size; past this the parse stops.
const size_t k_doc_byte_cap = 64u << 20;
const int k_first_capacity = 64;

struct SPAN {
    const char *p;
    size_t n;
};

struct LEVEL {
    int indent;
    std::string key;
    int next_index; // of the next sequence element below this level
    int is_element; // opened by a "-" line
};

struct PARSER {
    KVN_YAML_DOC *doc;
    LEVEL levels[KVN_YAML_MAX_LEVELS];
    int depth;
    int root_next_index;
    int stop;
    const char *cur; // start of the next line
    const char *end;
};

bool _is_blank(char c) {
    return c == ' ' || c == '\t';
}

SPAN _trim(SPAN s) {
    while (s.n && _is_blank(*s.p)) {
        s.p++;
        s.n--;
    }
    while (s.n && (_is_blank(s.p[s.n - 1]) || s.p[s.n - 1] == '\r'))
        s.n--;
    return s;
}

// The next line without its end (trailing blanks and CR removed), with its
// indentation. False at the end of the text.
bool _next_line(PARSER *P, SPAN *line, int *indent) {
    if (P->cur >= P->end) return false;
    const char *nl = static_cast<const char *>(memchr(P->cur, '\n', (size_t)(P->end - P->cur)));
    const char *stop = nl ? nl : P->end;
    SPAN s = {P->cur, (size_t)(stop - P->cur)};
    P->cur = nl ? nl + 1 : P->end;
    while (s.n && (_is_blank(s.p[s.n - 1]) || s.p[s.n - 1] == '\r'))
        s.n--;
    int in = 0;
    while ((size_t)in < s.n && _is_blank(s.p[in]))
        in++;
    *line = s;
    *indent = in;
    return true;
}

void _cut_short(PARSER *P) {
    if (!P->stop) q_log(Q_LOG_WARNING, "yaml: document cut short (too large or no memory)");
    P->stop = 1;
}

// Copies a text without its quotes into a new zero-ended buffer: anchors are
// skipped, aliases read as empty, plain text loses a " #" comment.
char *_unquote(SPAN s, size_t *out_len) {
    s = _trim(s);
    if (s.n && s.p[0] == '&') {
        while (s.n && !_is_blank(*s.p)) {
            s.p++;
            s.n--;
        }
        s = _trim(s);
    }
    char *out = static_cast<char *>(calloc(s.n + 1, 1));
    if (!out) return nullptr;
    size_t o = 0;
    if (s.n && s.p[0] == '*') {
        // An alias: what it stands for is not resolved.
    } else if (s.n && s.p[0] == '"') {
        for (size_t i = 1; i < s.n && s.p[i] != '"'; i++) {
            char c = s.p[i];
            if (c == '\\') {
                if (++i >= s.n) break;
                c = s.p[i] == 'n' ? '\n' : s.p[i] == 't' ? '\t' : s.p[i];
            }
            out[o++] = c;
        }
    } else if (s.n && s.p[0] == '\'') {
        for (size_t i = 1; i < s.n; i++) {
            if (s.p[i] == '\'') {
                if (i + 1 < s.n && s.p[i + 1] == '\'') {
                    out[o++] = '\'';
                    i++;
                    continue;
                }
                break;
            }
            out[o++] = s.p[i];
        }
    } else {
        size_t n = s.n;
        for (size_t i = 1; i < s.n; i++)
            if (s.p[i] == '#' && _is_blank(s.p[i - 1])) {
                n = i;
                break;
            }
        SPAN t = _trim({s.p, n});
        memcpy(out, t.p, t.n);
        o = t.n;
    }
    out[o] = 0;
    *out_len = o;
    return out;
}

std::string _unquote_key(SPAN s) {
    size_t n = 0;
    char *k = _unquote(s, &n);
    std::string key = k ? std::string(k, n) : std::string();
    if (k) {
        q_secure_zero(k, n);
        free(k);
    }
    return key;
}

// Where a quoted part may open: at the start or after a space, ",", "[" or "{".
bool _quote_may_open(SPAN s, size_t i) {
    return i == 0 || s.p[i - 1] == ' ' || s.p[i - 1] == ',' || s.p[i - 1] == '[' || s.p[i - 1] == '{';
}

// Steps through quoted text for the scanners below: true when the byte at
// *i is inside a quote or opens or closes one (an escape or a doubled ''
// moves *i past its second byte), so the caller looks only at the rest.
bool _in_quote(SPAN s, size_t *i, char *quote) {
    const char c = s.p[*i];
    if (*quote == '"') {
        if (c == '\\')
            (*i)++;
        else if (c == '"')
            *quote = 0;
        return true;
    }
    if (*quote == '\'') {
        if (c == '\'' && *i + 1 < s.n && s.p[*i + 1] == '\'')
            (*i)++;
        else if (c == '\'')
            *quote = 0;
        return true;
    }
    if ((c == '"' || c == '\'') && _quote_may_open(s, *i)) {
        *quote = c;
        return true;
    }
    return false;
}

// The offset of the colon that ends a key, or -1: the first ":" outside
// quotes that is followed by a space or ends the text.
long _key_colon(SPAN s) {
    char quote = 0;
    for (size_t i = 0; i < s.n; i++) {
        if (_in_quote(s, &i, &quote)) continue;
        if (s.p[i] == ':' && (i + 1 == s.n || s.p[i + 1] == ' ')) return (long)i;
    }
    return -1;
}

// Appends an entry whose path is the open levels plus `extra`. The value
// buffer (or null for a mapping node) passes to the document, or is wiped
// and freed when the entry cannot be stored.
void _add(PARSER *P, const std::string *extra, int extra_count, char *value, size_t value_len) {
    KVN_YAML_DOC *d = P->doc;
    auto drop = [&] {
        if (value) {
            q_secure_zero(value, value_len);
            free(value);
        }
    };
    if (P->stop) return drop();
    int depth = P->depth + extra_count;
    if (depth > KVN_YAML_MAX_PATH) {
        P->stop = 1;
        return drop();
    }
    size_t size = 0;
    for (int i = 0; i < P->depth; i++)
        size += P->levels[i].key.size() + 1;
    for (int i = 0; i < extra_count; i++)
        size += extra[i].size() + 1;
    if (d->count >= KVN_YAML_MAX_ENTRIES || d->bytes + size + value_len > k_doc_byte_cap) {
        _cut_short(P);
        return drop();
    }
    if (d->count == d->capacity) {
        int cap = d->capacity * 2;
        void *grown =
            q_realloc_checked(d->entries, (size_t)cap * sizeof *d->entries, "d->entries", __LINE__, __FILE__);
        if (!grown) {
            _cut_short(P);
            return drop();
        }
        d->entries = static_cast<KVN_YAML_ENTRY *>(grown);
        memset(d->entries + d->capacity, 0, (size_t)(cap - d->capacity) * sizeof *d->entries);
        d->capacity = cap;
    }
    char *path = static_cast<char *>(malloc(size ? size : 1));
    if (!path) {
        _cut_short(P);
        return drop();
    }
    char *w = path;
    auto put = [&](const std::string &k) {
        memcpy(w, k.data(), k.size());
        w += k.size();
        *w++ = 0;
    };
    for (int i = 0; i < P->depth; i++)
        put(P->levels[i].key);
    for (int i = 0; i < extra_count; i++)
        put(extra[i]);
    KVN_YAML_ENTRY *e = &d->entries[d->count++];
    e->path = path;
    e->path_size = size;
    e->depth = depth;
    e->value = value;
    e->value_size = value ? value_len : 0;
    d->bytes += size + e->value_size;
}

void _add_scalar(PARSER *P, const std::string *extra, int extra_count, SPAN text) {
    size_t n = 0;
    char *v = _unquote(text, &n);
    if (!v) return _cut_short(P);
    _add(P, extra, extra_count, v, n);
}

void _push(PARSER *P, int indent, const std::string &key, int is_element) {
    if (P->depth >= KVN_YAML_MAX_LEVELS) {
        P->stop = 1;
        return;
    }
    _add(P, &key, 1, nullptr, 0);
    if (P->stop) return;
    LEVEL &l = P->levels[P->depth++];
    l.indent = indent;
    l.key = key;
    l.next_index = 0;
    l.is_element = is_element;
}

void _close_from(PARSER *P, int indent, bool equal_too) {
    while (P->depth > 0) {
        const LEVEL &top = P->levels[P->depth - 1];
        if (top.indent > indent || (equal_too && top.indent == indent))
            P->depth--;
        else
            break;
    }
}

// The lines after the current one that are blank or indented deeper than
// `col`; the cursor stops at the first line that is neither.
void _take_deeper(PARSER *P, int col, std::vector<SPAN> *lines, std::vector<int> *indents) {
    for (;;) {
        const char *at = P->cur;
        SPAN line;
        int in;
        if (!_next_line(P, &line, &in)) return;
        bool blank = (size_t)in == line.n;
        if (!blank && in <= col) {
            P->cur = at;
            return;
        }
        if (lines) {
            lines->push_back(blank ? SPAN{line.p, 0} : line);
            indents->push_back(blank ? 0 : in);
        }
    }
}

// "|" keeps the lines' ends, ">" folds them into spaces; a blank line stays a
// line end in both. The text never ends in a line end.
void _block_scalar(PARSER *P, const std::string *extra, int extra_count, int col, bool folded) {
    std::vector<SPAN> lines;
    std::vector<int> indents;
    _take_deeper(P, col, &lines, &indents);
    while (!lines.empty() && lines.back().n == 0) {
        lines.pop_back();
        indents.pop_back();
    }
    int block_indent = -1;
    size_t total = 1;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].n && block_indent < 0) block_indent = indents[i];
        total += lines[i].n + 1;
    }
    char *v = static_cast<char *>(calloc(total, 1));
    if (!v) return _cut_short(P);
    size_t o = 0;
    bool prev_text = false;
    for (size_t i = 0; i < lines.size(); i++) {
        SPAN l = lines[i];
        if (!l.n) {
            if (!folded && i)
                v[o++] = '\n';
            else if (folded)
                v[o++] = '\n';
            prev_text = false;
            continue;
        }
        int strip = indents[i] < block_indent ? indents[i] : block_indent;
        if (i && (!folded || prev_text)) v[o++] = folded ? ' ' : '\n';
        memcpy(v + o, l.p + strip, l.n - (size_t)strip);
        o += l.n - (size_t)strip;
        prev_text = true;
    }
    v[o] = 0;
    _add(P, extra, extra_count, v, o);
}

// Splits the inside of a flow collection at the commas of its own level.
std::vector<SPAN> _flow_items(SPAN inner) {
    std::vector<SPAN> items;
    int nest = 0;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i <= inner.n; i++) {
        if (i < inner.n) {
            if (_in_quote(inner, &i, &quote)) continue;
            const char c = inner.p[i];
            if (c == '[' || c == '{')
                nest++;
            else if ((c == ']' || c == '}') && nest > 0)
                nest--;
            if (c != ',' || nest > 0) continue;
        }
        SPAN item = _trim({inner.p + start, i - start});
        if (item.n) items.push_back(item);
        start = i + 1;
    }
    return items;
}

// The end of a flow collection opening at v.p[0], or -1 when it does not
// close on this line.
long _flow_end(SPAN v) {
    int nest = 0;
    char quote = 0;
    for (size_t i = 0; i < v.n; i++) {
        if (_in_quote(v, &i, &quote)) continue;
        const char c = v.p[i];
        if (c == '[' || c == '{') {
            nest++;
        } else if (c == ']' || c == '}') {
            if (--nest == 0) return (long)i;
        }
    }
    return -1;
}

bool _flow(PARSER *P, const std::string &key, SPAN v) {
    long close = _flow_end(v);
    if (close < 0) return false;
    SPAN rest = _trim({v.p + close + 1, v.n - (size_t)close - 1});
    if (rest.n && rest.p[0] != '#') return false;
    std::vector<SPAN> items = _flow_items({v.p + 1, (size_t)close - 1});
    std::string extra[2] = {key, ""};
    if (v.p[0] == '[') {
        for (size_t i = 0; i < items.size() && i < KVN_YAML_MAX_FLOW && !P->stop; i++) {
            extra[1] = std::to_string(i);
            _add_scalar(P, extra, 2, items[i]);
        }
        return true;
    }
    for (size_t i = 0; i < items.size() && !P->stop; i++) {
        long c = _key_colon(items[i]);
        if (c < 0) {
            extra[1] = _unquote_key(items[i]);
            _add_scalar(P, extra, 2, {items[i].p, 0});
            continue;
        }
        extra[1] = _unquote_key({items[i].p, (size_t)c});
        _add_scalar(P, extra, 2, {items[i].p + c + 1, items[i].n - (size_t)c - 1});
    }
    return true;
}

bool _is_block_header(SPAN v) {
    if (!v.n || (v.p[0] != '|' && v.p[0] != '>')) return false;
    size_t i = 1;
    while (i < v.n && (v.p[i] == '-' || v.p[i] == '+' || (v.p[i] >= '0' && v.p[i] <= '9')))
        i++;
    return i == v.n || (_is_blank(v.p[i]) && _trim({v.p + i, v.n - i}).p[0] == '#');
}

// The value of `key` (a mapping key or a sequence index) at column `col`.
void _value(PARSER *P, int col, const std::string &key, SPAN v, int is_element) {
    v = _trim(v);
    SPAN after_anchor = v;
    if (v.n && v.p[0] == '&') {
        while (after_anchor.n && !_is_blank(*after_anchor.p)) {
            after_anchor.p++;
            after_anchor.n--;
        }
        after_anchor = _trim(after_anchor);
    }
    if (!after_anchor.n || after_anchor.p[0] == '#') return _push(P, col, key, is_element);
    if (_is_block_header(after_anchor)) return _block_scalar(P, &key, 1, col, after_anchor.p[0] == '>');
    if ((after_anchor.p[0] == '[' || after_anchor.p[0] == '{') && _flow(P, key, after_anchor)) return;
    _add_scalar(P, &key, 1, v);
}

void _mapping_pair(PARSER *P, int col, SPAN c) {
    long k = _key_colon(c);
    if (k < 0) return;
    _close_from(P, col, true);
    std::string key = _unquote_key({c.p, (size_t)k});
    SPAN v = {c.p + k + 1, c.n - (size_t)k - 1};
    if (key == "<<") {
        // Merges are not resolved; a nested mapping under the key goes too.
        if (!_trim(v).n) _take_deeper(P, col, nullptr, nullptr);
        return;
    }
    _value(P, col, key, v, 0);
}

void _sequence_line(PARSER *P, int col, SPAN c) {
    _close_from(P, col, false);
    if (P->depth > 0 && P->levels[P->depth - 1].indent == col && P->levels[P->depth - 1].is_element)
        P->depth--;
    int *next = P->depth > 0 ? &P->levels[P->depth - 1].next_index : &P->root_next_index;
    std::string index = std::to_string((*next)++);
    SPAN rest = {c.p + 1, c.n - 1};
    int key_col = col + 1;
    while (rest.n && _is_blank(*rest.p)) {
        rest.p++;
        rest.n--;
        key_col++;
    }
    bool plain = !rest.n || rest.p[0] == '[' || rest.p[0] == '{' || rest.p[0] == '#' || rest.p[0] == '|' ||
                 rest.p[0] == '>' || rest.p[0] == '*' || (rest.p[0] == '&' && _key_colon(rest) < 0);
    if (plain || _key_colon(rest) < 0) return _value(P, col, index, rest, 1);
    _push(P, col, index, 1);
    if (!P->stop) _mapping_pair(P, key_col, rest);
}
} // namespace

KVN_YAML_DOC *kvn_yaml_parse(const char *text) {
    KVN_YAML_DOC *d;
    if (!Q_CALLOC(d, 1, KVN_YAML_DOC)) return nullptr;
    if (!Q_CALLOC(d->entries, k_first_capacity, KVN_YAML_ENTRY)) {
        Q_FREE(d);
        return nullptr;
    }
    d->capacity = k_first_capacity;
    if (!text) return d;
    std::unique_ptr<PARSER> P(new (std::nothrow) PARSER());
    if (!P) return d;
    P->doc = d;
    P->cur = text;
    P->end = text + strlen(text);
    try {
        SPAN line;
        int indent;
        while (!P->stop && _next_line(P.get(), &line, &indent)) {
            SPAN c = {line.p + indent, line.n - (size_t)indent};
            if (!c.n || c.p[0] == '#' || c.p[0] == '%') continue;
            if (c.n == 3 && (!memcmp(c.p, "---", 3) || !memcmp(c.p, "...", 3))) continue;
            if (c.p[0] == '-' && (c.n == 1 || c.p[1] == ' '))
                _sequence_line(P.get(), indent, c);
            else
                _mapping_pair(P.get(), indent, c);
        }
    } catch (...) {
        // Only an allocation inside the standard containers can throw.
        _cut_short(P.get());
    }
    return d;
}

void kvn_yaml_free(KVN_YAML_DOC **doc) {
    if (!doc || !*doc) return;
    KVN_YAML_DOC *d = *doc;
    for (int i = 0; i < d->count; i++) {
        KVN_YAML_ENTRY *e = &d->entries[i];
        q_secure_zero(e->path, e->path_size);
        free(e->path);
        if (e->value) {
            q_secure_zero(e->value, e->value_size);
            free(e->value);
        }
    }
    Q_FREE(d->entries);
    Q_FREE(d);
    *doc = nullptr;
}

const char *kvn_yaml_get(const KVN_YAML_DOC *doc, const char *const *path, int count) {
    if (!doc || !path || count < 1 || count > KVN_YAML_MAX_PATH) return nullptr;
    for (int i = doc->count - 1; i >= 0; i--) {
        const KVN_YAML_ENTRY *e = &doc->entries[i];
        if (!e->value || e->depth != count) continue;
        const char *c = e->path;
        int k = 0;
        for (; k < count; k++) {
            if (!path[k] || strcmp(c, path[k]) != 0) break;
            c += strlen(c) + 1;
        }
        if (k == count) return e->value;
    }
    return nullptr;
}

const char *kvn_yaml_get_path(const KVN_YAML_DOC *doc, const char *path) {
    if (!doc || !path) return nullptr;
    std::vector<std::string> parts;
    const char *s = path;
    for (;;) {
        const char *slash = strchr(s, '/');
        parts.emplace_back(s, slash ? (size_t)(slash - s) : strlen(s));
        if (!slash) break;
        s = slash + 1;
    }
    if (parts.size() > KVN_YAML_MAX_PATH) return nullptr;
    const char *list[KVN_YAML_MAX_PATH];
    for (size_t i = 0; i < parts.size(); i++)
        list[i] = parts[i].c_str();
    return kvn_yaml_get(doc, list, (int)parts.size());
}

int kvn_yaml_cloud_names(const KVN_YAML_DOC *doc, char ***out) {
    if (!out) return 0;
    *out = nullptr;
    if (!doc) return 0;
    std::unordered_set<std::string> seen;
    int count = 0, cap = 0;
    char **names = nullptr;
    for (int i = 0; i < doc->count; i++) {
        const KVN_YAML_ENTRY *e = &doc->entries[i];
        if (e->depth < 2 || strcmp(e->path, "clouds") != 0) continue;
        const char *name = e->path + strlen(e->path) + 1;
        if (!seen.insert(name).second) continue;
        if (count == cap) {
            int grown_cap = cap ? cap * 2 : 8;
            void *grown =
                q_realloc_checked(names, (size_t)grown_cap * sizeof *names, "names", __LINE__, __FILE__);
            if (!grown) break;
            names = static_cast<char **>(grown);
            cap = grown_cap;
        }
        names[count] = strdup(name);
        if (!names[count]) break;
        count++;
    }
    *out = names;
    return count;
}
