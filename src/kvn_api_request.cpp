// Request building: an operation, its form values, the selected item and the
// session's identifiers become a path, a query string and a JSON body.

#include "kvn_api.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvn_paths.h"
#include "q_base64.h"
#include "q_common.h"
#include "q_http_client.h"
#include "q_str.h"

namespace {
const size_t k_value_text_max = 512;
const size_t k_body_text_max = 2048;

struct QSTR_PTR {
    Q_STR *s = nullptr;
    ~QSTR_PTR() { free_qstr_ex(&s, "s", __LINE__, __FILE__); }
};

const char *_value_of(const KVN_OP *op, KVN_VALUES values, int i) {
    if (!values || !op || i < 0 || i >= op->field_count) return "";
    return values[i] ? values[i] : "";
}

int _field_index(const KVN_OP *op, const char *name) {
    if (!op) return -1;
    for (int i = 0; i < op->field_count; i++)
        if (!strcmp(op->fields[i].name, name)) return i;
    return -1;
}

std::string _item_text(const KVN_EXPAND_CTX *ctx, const char *path) {
    if (!ctx || !ctx->item) return "";
    char buf[k_value_text_max];
    kvn_api_value_text(kvn_api_json_at(ctx->item, path), buf, sizeof buf);
    return buf;
}

// Finds the text a placeholder stands for; empty means not found.
std::string _resolve(const std::string &name, const KVN_EXPAND_CTX *ctx, const KVN_OP *op, KVN_VALUES values) {
    // "{}" names nothing; read as the empty dotted path it would insert the
    // whole item, which no template means (and body texts such as "{}" must
    // stay as they are).
    if (name.empty()) return "";
    if (ctx) {
        if (name == "project_id") return ctx->project_id ? ctx->project_id : "";
        if (name == "user_id") return ctx->user_id ? ctx->user_id : "";
        if (name == "parent_id") return ctx->parent_id ? ctx->parent_id : "";
    }
    if (name == "id") {
        if (ctx && ctx->item) return _item_text(ctx, ctx->id_field ? ctx->id_field : "id");
        if (values) return _value_of(op, values, _field_index(op, "id"));
        return "";
    }
    if (op && values) {
        std::string v = _value_of(op, values, _field_index(op, name.c_str()));
        if (!v.empty()) return v;
    }
    std::string path = name;
    if (path.size() >= 6 && path.compare(0, 5, "item.") == 0) path = path.substr(5);
    if (name.size() > 127) return "";
    return _item_text(ctx, path.c_str());
}

// Splits list and kv texts at commas and newlines.
template <typename F> void _split_pieces(const char *text, F piece) {
    const char *p = text;
    for (;;) {
        size_t n = strcspn(p, ",\n");
        piece(std::string(p, n));
        if (!p[n]) break;
        p += n + 1;
    }
}

std::string _trim(const std::string &s, const char *left, const char *right) {
    size_t b = s.find_first_not_of(left);
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(right);
    if (e == std::string::npos || e < b) return "";
    return s.substr(b, e - b + 1);
}

cJSON *_wrapped(const KVN_FIELD *f, const std::string &text) {
    if (!f->wrap) return cJSON_CreateString(text.c_str());
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, f->wrap, text.c_str());
    return o;
}

cJSON *_list(const KVN_FIELD *f, const char *text) {
    cJSON *arr = cJSON_CreateArray();
    _split_pieces(text, [&](const std::string &raw) {
        std::string piece = _trim(raw, " \t\r", " \t\r");
        if (!piece.empty()) cJSON_AddItemToArray(arr, _wrapped(f, piece));
    });
    return arr;
}

// What the descriptor's own texts (body template, key, field names) are
// expanded with. Absent when the body is built without a request around it.
struct EXPANSION {
    const KVN_EXPAND_CTX *ctx;
    const KVN_OP *op;
    KVN_VALUES values;
};

bool _has(const char *s) {
    return s && strchr(s, '{');
}

// A descriptor text with its placeholders expanded; the text as it is when
// there is nothing to expand or something does not resolve.
std::string _expanded(const char *text, const EXPANSION *ex) {
    char buf[k_body_text_max];
    if (ex && _has(text) && kvn_api_expand(text, ex->ctx, ex->op, ex->values, buf, sizeof buf) == 0)
        return buf;
    return text;
}

// A copy of text from cJSON's own allocator, so cJSON can free it.
char *_cjson_strdup(const char *text) {
    size_t n = strlen(text) + 1;
    char *copy = static_cast<char *>(cJSON_malloc(n));
    if (copy) memcpy(copy, text, n);
    return copy;
}

// Puts item under name in obj. A member it replaces may hold an earlier form
// value (two fields of one name, a repeated kv key), so it is wiped first.
void _put(cJSON *obj, const char *name, cJSON *item) {
    if (!item) return;
    cJSON *old = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!old) {
        cJSON_AddItemToObject(obj, name, item);
        return;
    }
    // Replaced through the pointer: the wiped member no longer has its name.
    char *copy = _cjson_strdup(name);
    if (!copy) {
        q_json_delete_secret(item);
        return;
    }
    if (item->string && !(item->type & cJSON_StringIsConst)) cJSON_free(item->string);
    item->string = copy;
    item->type &= ~cJSON_StringIsConst;
    q_json_scrub(old);
    cJSON_ReplaceItemViaPointer(obj, old, item);
}

// Sets value at a dotted member path under target, making objects on the way;
// each segment of the path is the descriptor's text and is expanded on its
// own, so an inserted value never adds a level. Takes ownership of value in
// every case.
void _set_at(cJSON *target, const char *path, cJSON *value, const EXPANSION *ex) {
    cJSON *cur = target;
    const char *p = path;
    for (;;) {
        const char *dot = strchr(p, '.');
        size_t len = dot ? (size_t)(dot - p) : strlen(p);
        if (len > 127) {
            q_json_delete_secret(value);
            return;
        }
        std::string seg = _expanded(std::string(p, len).c_str(), ex);
        if (!dot) {
            _put(cur, seg.c_str(), value);
            return;
        }
        cJSON *next = cJSON_GetObjectItemCaseSensitive(cur, seg.c_str());
        if (!cJSON_IsObject(next)) {
            next = cJSON_CreateObject();
            if (!next) {
                q_json_delete_secret(value);
                return;
            }
            _put(cur, seg.c_str(), next);
        }
        cur = next;
        p = dot + 1;
    }
}

bool _bool_text(const char *v) { return !strcmp(v, "true") || !strcmp(v, "1") || !strcmp(v, "yes"); }

// A body field is one whose value goes into the JSON body.
bool _is_body_field(const KVN_FIELD *f) { return f->in == KVN_IN_BODY && f->type != KVN_FT_FILE; }

enum { CONV_SET = 0, CONV_SKIP = 1, CONV_ERR = -1 };

// Converts one body value; *out receives the JSON value on CONV_SET.
int _convert(const KVN_FIELD *f, const char *v, cJSON **out, char *err, size_t err_size) {
    *out = nullptr;
    if (f->type == KVN_FT_FILE) {
        if (!f->base64 || !*v) return CONV_SKIP;
        size_t len = 0;
        Q_CBUF data(kvn_paths_read_file(v, KVN_READ_CAP_BODY, &len));
        if (!data) {
            q_format(err, err_size, "%s: cannot read %s (missing, or larger than %lld bytes)", f->label, v,
                     (long long)KVN_READ_CAP_BODY);
            return CONV_ERR;
        }
        std::string enc(len / 3 * 4 + 8, '\0');
        long n = q_base64_encode(data.get(), len, enc.data(), enc.size());
        if (n < 0) {
            q_format(err, err_size, "%s: cannot encode", f->label);
            return CONV_ERR;
        }
        *out = cJSON_CreateString(enc.c_str());
        q_secure_zero(enc.data(), enc.size());
        q_secure_zero(data.get(), len);
        return CONV_SET;
    }
    if (!*v) {
        if (f->nullable) {
            *out = cJSON_CreateNull();
            return CONV_SET;
        }
        if (f->type == KVN_FT_BOOL) {
            if (f->def) *out = cJSON_CreateBool(_bool_text(f->def));
            else if (f->omit_empty) return CONV_SKIP;
            else *out = cJSON_CreateFalse();
            return CONV_SET;
        }
        if (f->omit_empty) return CONV_SKIP;
    }
    if (f->base64 && *v) {
        size_t len = strlen(v);
        std::string enc(len / 3 * 4 + 8, '\0');
        if (q_base64_encode(v, len, enc.data(), enc.size()) < 0) {
            q_format(err, err_size, "%s: cannot encode", f->label);
            return CONV_ERR;
        }
        *out = cJSON_CreateString(enc.c_str());
        q_secure_zero(enc.data(), enc.size());
        return CONV_SET;
    }
    switch (f->type) {
    case KVN_FT_INT: {
        errno = 0;
        char *end = nullptr;
        long long n = strtoll(v, &end, 10);
        if (*end || errno == ERANGE) {
            q_format(err, err_size, "%s must be an integer", f->label);
            return CONV_ERR;
        }
        *out = cJSON_CreateNumber((double)n);
        return CONV_SET;
    }
    case KVN_FT_NUMBER: {
        char *end = nullptr;
        double d = strtod(v, &end);
        // "nan" and "inf" parse but have no JSON form.
        if (*end || !std::isfinite(d)) {
            q_format(err, err_size, "%s must be a number", f->label);
            return CONV_ERR;
        }
        *out = cJSON_CreateNumber(d);
        return CONV_SET;
    }
    case KVN_FT_BOOL: *out = cJSON_CreateBool(_bool_text(v)); return CONV_SET;
    case KVN_FT_ENUM: *out = !strcmp(v, "null") ? cJSON_CreateNull() : cJSON_CreateString(v); return CONV_SET;
    case KVN_FT_REF:
        *out = f->multi ? _list(f, v) : _wrapped(f, v);
        return CONV_SET;
    case KVN_FT_LIST: *out = _list(f, v); return CONV_SET;
    case KVN_FT_KV: {
        cJSON *obj = cJSON_CreateObject();
        bool bad = false;
        _split_pieces(v, [&](const std::string &raw) {
            if (bad) return;
            std::string piece = _trim(raw, " \t", " \t\r");
            if (piece.empty()) return;
            size_t eq = piece.find('=');
            if (eq == std::string::npos || eq == 0) {
                bad = true;
                return;
            }
            std::string key = piece.substr(0, eq);
            _put(obj, key.c_str(), cJSON_CreateString(piece.c_str() + eq + 1));
        });
        if (bad) {
            q_json_delete_secret(obj);
            q_format(err, err_size, "%s: expected key=value lines", f->label);
            return CONV_ERR;
        }
        *out = obj;
        return CONV_SET;
    }
    case KVN_FT_JSON: {
        // One value and nothing after it but white space: text after a
        // complete value is a typing slip, not something to drop silently.
        const char *end = nullptr;
        Q_CJSON_SECRET parsed(cJSON_ParseWithOpts(v, &end, 0));
        if (parsed && end) end += strspn(end, " \t\r\n");
        if (!parsed || !end || *end) {
            q_format(err, err_size, "%s is not valid JSON", f->label);
            return CONV_ERR;
        }
        *out = parsed.release();
        return CONV_SET;
    }
    default: *out = cJSON_CreateString(v); return CONV_SET;
    }
}

int _patch_body(const KVN_OP *op, KVN_VALUES values, const EXPANSION *ex, char *err, size_t err_size,
                cJSON **out) {
    Q_CJSON_SECRET arr(cJSON_CreateArray());
    for (int i = 0; i < op->field_count; i++) {
        const KVN_FIELD *f = &op->fields[i];
        if (!_is_body_field(f)) continue;
        const char *v = _value_of(op, values, i);
        if (!*v) {
            if (f->required) {
                q_format(err, err_size, "%s is required", f->label);
                return -1;
            }
            continue;
        }
        cJSON *value;
        if (f->type == KVN_FT_INT || f->type == KVN_FT_NUMBER) value = cJSON_CreateNumber(strtod(v, nullptr));
        else if (f->type == KVN_FT_BOOL) value = cJSON_CreateBool(!strcmp(v, "true"));
        else if (f->type == KVN_FT_LIST) value = _list(f, v);
        else value = cJSON_CreateString(v);
        cJSON *o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "op", "add");
        std::string path = "/";
        path += _expanded(f->name, ex);
        cJSON_AddStringToObject(o, "path", path.c_str());
        cJSON_AddItemToObject(o, "value", value);
        cJSON_AddItemToArray(arr.get(), o);
    }
    *out = arr.release();
    return 0;
}

// Expands placeholders in the member names and string values of a body
// template, at every depth; what does not resolve stays as it was. Runs
// before any form value is in the tree, so typed text is never touched.
void _expand_template(cJSON *node, const EXPANSION *ex) {
    char buf[k_body_text_max];
    cJSON *child;
    cJSON_ArrayForEach(child, node) {
        if (_has(child->string) && !(child->type & cJSON_StringIsConst) &&
            kvn_api_expand(child->string, ex->ctx, ex->op, ex->values, buf, sizeof buf) == 0) {
            if (char *copy = _cjson_strdup(buf)) {
                cJSON_free(child->string);
                child->string = copy;
            }
        }
        if (cJSON_IsString(child) && _has(child->valuestring) && !(child->type & cJSON_IsReference) &&
            kvn_api_expand(child->valuestring, ex->ctx, ex->op, ex->values, buf, sizeof buf) == 0) {
            if (char *copy = _cjson_strdup(buf)) {
                cJSON_free(child->valuestring);
                child->valuestring = copy;
            }
        }
        if (cJSON_IsObject(child) || cJSON_IsArray(child)) _expand_template(child, ex);
    }
}
} // namespace

void kvn_api_value_text(const cJSON *v, char *out, size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    if (!v || cJSON_IsNull(v)) return;
    if (cJSON_IsString(v)) q_strcpy(out, size, v->valuestring);
    else if (cJSON_IsTrue(v)) q_strcpy(out, size, "true");
    else if (cJSON_IsFalse(v)) q_strcpy(out, size, "false");
    else if (cJSON_IsNumber(v)) {
        double d = v->valuedouble;
        if (std::fabs(d - std::trunc(d)) < 1e-9 && std::fabs(d) < 9e15) q_format(out, size, "%lld", (long long)d);
        else q_format(out, size, "%g", d);
    } else if (cJSON_IsArray(v) || cJSON_IsObject(v)) {
        Q_CBUF printed(cJSON_PrintUnformatted(v));
        q_strcpy(out, size, printed ? printed.get() : "");
    }
}

int kvn_api_expand(const char *tmpl, const KVN_EXPAND_CTX *ctx, const KVN_OP *op, KVN_VALUES values, char *out,
                   size_t size) {
    if (out && size) out[0] = 0;
    Q_GUARD(tmpl && out && size, -1);
    QSTR_PTR res;
    res.s = new_qstr(strlen(tmpl) + 16);
    if (!res.s) return -1;
    int rc = 0;
    const char *p = tmpl;
    while (*p) {
        const char *close = *p == '{' ? strchr(p + 1, '}') : nullptr;
        if (!close) {
            qstrcat_bytes_ex(res.s, p, 1);
            p++;
            continue;
        }
        std::string name(p + 1, (size_t)(close - p - 1));
        bool base = false;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, "|base") == 0) {
            name.resize(name.size() - 5);
            base = true;
        }
        std::string value = _resolve(name, ctx, op, values);
        if (!value.empty() && base) {
            size_t slash = value.rfind('/');
            if (slash != std::string::npos && slash + 1 < value.size()) value = value.substr(slash + 1);
        }
        if (value.empty()) {
            qstrcat_bytes_ex(res.s, p, (size_t)(close - p + 1));
            rc = -1;
        } else {
            q_httpc_url_encode(&res.s, value.c_str());
        }
        p = close + 1;
    }
    q_strcpy(out, size, res.s->data);
    if (res.s->length >= size) rc = -1;
    return rc;
}

void kvn_api_append_query(const KVN_OP *op, KVN_VALUES values, char *path, size_t size) {
    Q_GUARD_VOID(op && path && size);
    QSTR_PTR q;
    for (int i = 0; i < op->field_count; i++) {
        const KVN_FIELD *f = &op->fields[i];
        const char *v = _value_of(op, values, i);
        if (f->in != KVN_IN_QUERY || !*v) continue;
        if (f->type == KVN_FT_BOOL && !strcmp(v, "false") && f->omit_empty) continue;
        if (q.s) qstrcat_bytes_ex(q.s, "&", 1);
        q_httpc_url_encode(&q.s, f->name);
        qstrcat_bytes_ex(q.s, "=", 1);
        q_httpc_url_encode(&q.s, v);
    }
    if (!q.s) return;
    q_strcat(path, size, strchr(path, '?') ? "&" : "?");
    q_strcat(path, size, q.s->data);
}

// The body of an operation. With an expansion, the descriptor's texts (body
// template, key, field names) are expanded before any form value goes in;
// the tree holds form values from then on, so every path that drops it wipes
// it first.
static int _build_body(const KVN_OP *op, KVN_VALUES values, const EXPANSION *ex, char *err, size_t err_size,
                       cJSON **out) {
    if (err && err_size) err[0] = 0;
    Q_GUARD(op && out, -1);
    *out = nullptr;
    if (op->field_count == 0) {
        if (op->json_patch) *out = cJSON_CreateArray();
        else if (op->body) *out = cJSON_Duplicate(op->body, 1);
        if (*out && ex && !op->json_patch) _expand_template(*out, ex);
        return 0;
    }
    if (op->json_patch) return _patch_body(op, values, ex, err, err_size, out);

    bool any_body = false;
    for (int i = 0; i < op->field_count; i++) any_body = any_body || _is_body_field(&op->fields[i]);
    Q_CJSON_SECRET root;
    if (op->body) root.reset(cJSON_Duplicate(op->body, 1));
    else if (any_body) root.reset(cJSON_CreateObject());
    if (root && ex) _expand_template(root.get(), ex);

    // Values go under the key's member, made an object when it is not one. A
    // template that is not an object has no member for the key and no
    // members to set: the values are dropped below.
    cJSON *target = root.get();
    if (cJSON_IsObject(target) && op->key) {
        std::string key = _expanded(op->key, ex);
        cJSON *member = cJSON_GetObjectItemCaseSensitive(target, key.c_str());
        if (!cJSON_IsObject(member)) {
            member = cJSON_CreateObject();
            _put(target, key.c_str(), member);
        }
        target = member;
    }

    for (int i = 0; i < op->field_count; i++) {
        const KVN_FIELD *f = &op->fields[i];
        const char *v = _value_of(op, values, i);
        if (f->required && !*v) {
            q_format(err, err_size, "%s is required", f->label);
            return -1;
        }
        if (!root || f->in != KVN_IN_BODY) continue;
        cJSON *value = nullptr;
        int conv = _convert(f, v, &value, err, err_size);
        if (conv == CONV_ERR) return -1;
        if (conv == CONV_SET && value) {
            if (cJSON_IsObject(target))
                _set_at(target, f->name, value, ex);
            else
                q_json_delete_secret(value);
        }
    }
    *out = root.release();
    return 0;
}

int kvn_api_build_body(const KVN_OP *op, KVN_VALUES values, char *err, size_t err_size, cJSON **out) {
    return _build_body(op, values, nullptr, err, err_size, out);
}

int kvn_api_prepare(const KVN_OP *op, const KVN_EXPAND_CTX *ctx, KVN_VALUES values, char *path, size_t path_size,
                    cJSON **out, char *err, size_t err_size) {
    if (path && path_size) path[0] = 0;
    if (out) *out = nullptr;
    if (err && err_size) err[0] = 0;
    if (!op || !op->path || !path || !path_size || !out) return -1;
    if (kvn_api_expand(op->path, ctx, op, values, path, path_size) != 0) {
        q_format(err, err_size, "cannot resolve %s", op->path);
        return -1;
    }
    if (values) kvn_api_append_query(op, values, path, path_size);
    EXPANSION ex = {ctx, op, values};
    return _build_body(op, values, &ex, err, err_size, out);
}
