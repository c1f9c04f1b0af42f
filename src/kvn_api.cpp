#include "kvn_api.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include "q_base64.h"
#include "q_http_client.h"
#include "q_str.h"
#include "kvn_paths.h"
#include "q_common.h"

namespace {
const char *const k_field_types[] = {"string", "text", "password", "int",  "number", "bool",
                                     "enum",   "ref",  "list",     "kv",   "json",   "file"};

// One line per problem, logged as it is added. Past 2046 bytes the report is
// full and further problems are dropped without a log line, so a folder of
// broken files cannot flood the log.
void _err(KVN_API *api, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void _err(KVN_API *api, const char *fmt, ...) {
    size_t have = strlen(api->error_text);
    if (have >= KVN_API_ERR_SIZE - 2) return;
    char line[KVN_API_ERR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    q_log(Q_LOG_ERR, "descriptor: %s", line);
    // A line cut at the capacity still ends with its newline, so the report
    // stays one problem per line.
    size_t room = KVN_API_ERR_SIZE - 1 - have;
    size_t len = strlen(line);
    if (len + 1 > room) len = room - 1;
    memcpy(api->error_text + have, line, len);
    api->error_text[have + len] = '\n';
    api->error_text[have + len + 1] = 0;
}

const char *_str(const cJSON *obj, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    return cJSON_IsString(v) ? v->valuestring : nullptr;
}

int _bool(const cJSON *obj, const char *key, int fallback) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (cJSON_IsBool(v)) return cJSON_IsTrue(v) ? 1 : 0;
    return fallback;
}

bool _has_admin_mark(const char *title) { return title && strstr(title, "(admin)"); }

int _type_index(const char *name) {
    for (int i = 0; i < (int)(sizeof k_field_types / sizeof k_field_types[0]); i++)
        if (!strcmp(name, k_field_types[i])) return i;
    return -1;
}

void _parse_field(KVN_API *api, const cJSON *j, KVN_FIELD *f, const char *file, const char *label) {
    f->label = _str(j, "label");
    if (!f->label) f->label = f->name;
    f->help = _str(j, "help");

    const char *type = _str(j, "type");
    f->type = KVN_FT_STRING;
    if (type) {
        int t = _type_index(type);
        if (t < 0) _err(api, "%s: %s field %s has unknown type %s", file, label, f->name, type);
        else f->type = t;
    }

    const char *in = _str(j, "in");
    f->in = (in && !strcmp(in, "query")) ? KVN_IN_QUERY : (in && !strcmp(in, "path")) ? KVN_IN_PATH : KVN_IN_BODY;
    f->required = _bool(j, "required", 0);

    const cJSON *def = cJSON_GetObjectItemCaseSensitive(j, "default");
    if (cJSON_IsString(def)) f->def = def->valuestring;
    else if (cJSON_IsTrue(def)) f->def = "true";
    else if (cJSON_IsFalse(def)) f->def = "false";

    const cJSON *values = cJSON_GetObjectItemCaseSensitive(j, "values");
    const cJSON *v;
    cJSON_ArrayForEach(v, q_json_array(values)) {
        if (f->value_count >= KVN_API_MAX_VALUES) break;
        if (cJSON_IsString(v)) f->values[f->value_count++] = v->valuestring;
    }
    if (f->type == KVN_FT_ENUM && f->value_count == 0)
        _err(api, "%s: %s enum field %s has no values", file, label, f->name);
    if (f->type == KVN_FT_ENUM || f->type == KVN_FT_REF) f->ref = _str(j, "ref");
    if (f->type == KVN_FT_REF && !f->ref) _err(api, "%s: %s ref field %s has no ref", file, label, f->name);

    f->ref_value = _str(j, "ref_value");
    if (!f->ref_value) f->ref_value = "id";
    f->wrap = _str(j, "wrap");
    f->multi = _bool(j, "multi", 0);
    f->omit_empty = _bool(j, "omit_empty", !f->required);
    f->nullable = _bool(j, "nullable", 0);
    if (f->nullable) f->omit_empty = 0;
    f->base64 = _bool(j, "base64", 0);
    f->folder = _bool(j, "folder", 0);
}

KVN_OP *_parse_op(KVN_API *api, const cJSON *j, const char *file, const char *label, const char *default_method,
                  const KVN_RESOURCE *res) {
    if (!cJSON_IsObject(j)) return nullptr;
    KVN_OP *op = nullptr;
    Q_CALLOC(op, 1, KVN_OP);
    if (!op) return nullptr;
    op->id = _str(j, "id");
    op->title = _str(j, "title");
    op->cli = _str(j, "cli");
    op->method = _str(j, "method");
    if (!op->method) op->method = default_method;
    op->path = _str(j, "path");
    op->key = _str(j, "key");
    op->body = cJSON_GetObjectItemCaseSensitive(j, "body");
    op->result = _str(j, "result");
    op->microversion = _str(j, "microversion");
    if (!op->microversion) op->microversion = res->microversion;
    op->content_type = _str(j, "content_type");
    op->upload = _str(j, "upload");
    op->download = _str(j, "download");
    op->confirm = _bool(j, "confirm", 0);
    op->admin = _bool(j, "admin", 0) || _has_admin_mark(op->title);
    op->multi = _bool(j, "multi", 0);
    op->json_patch = _bool(j, "json_patch", 0);
    op->ui = _str(j, "ui");
    op->header = _str(j, "header");
    if (!op->header) op->header = res->header;
    op->accept = _str(j, "accept");
    op->raw_body = _str(j, "raw_body");
    op->service = _str(j, "service");
    if (op->path) op->needs_item = strstr(op->path, "{id}") || strstr(op->path, "{item.");
    else _err(api, "%s: %s has no path", file, label);

    const cJSON *fields = cJSON_GetObjectItemCaseSensitive(j, "fields");
    const cJSON *fj;
    cJSON_ArrayForEach(fj, q_json_array(fields)) {
        if (op->field_count >= KVN_API_MAX_FIELDS) {
            _err(api, "%s: %s has too many fields", file, label);
            break;
        }
        const char *name = _str(fj, "name");
        if (!name) {
            _err(api, "%s: %s has a field without name", file, label);
            continue;
        }
        KVN_FIELD *f = &op->fields[op->field_count++];
        f->name = name;
        _parse_field(api, fj, f, file, label);
    }
    return op;
}

void _free_op(KVN_OP **op) {
    if (*op) Q_FREE(*op);
}

void _free_resource(KVN_RESOURCE *r) {
    if (!r) return;
    _free_op(&r->create);
    _free_op(&r->update);
    _free_op(&r->del);
    for (int i = 0; i < r->action_count; i++) _free_op(&r->actions[i]);
    free(r);
}

// Reads a resource element. `is_new` adds the checks and default columns that
// an extension of an existing resource does not get.
KVN_RESOURCE *_parse_resource(KVN_API *api, KVN_SERVICE *svc, const cJSON *j, const char *file, bool is_new) {
    KVN_RESOURCE *r = nullptr;
    Q_CALLOC(r, 1, KVN_RESOURCE);
    if (!r) return nullptr;
    r->service = svc;
    r->id = _str(j, "id");
    if (!r->id) {
        r->id = "?";
        _err(api, "%s: resource without id", file);
    }
    r->title = _str(j, "title");
    if (!r->title) r->title = r->id;
    r->cli = _str(j, "cli");
    r->help = _str(j, "help");
    r->microversion = _str(j, "microversion");
    const char *kind = _str(j, "kind");
    r->single = kind && !strcmp(kind, "single");
    r->id_field = _str(j, "id_field");
    if (!r->id_field) r->id_field = "id";
    r->name_field = _str(j, "name_field");
    if (!r->name_field) r->name_field = "name";
    r->no_paging = _bool(j, "no_paging", 0);
    r->parent = _str(j, "parent");
    r->header = _str(j, "header");
    r->admin = _bool(j, "admin", 0) || _has_admin_mark(r->title);

    const cJSON *list = cJSON_GetObjectItemCaseSensitive(j, "list");
    if (cJSON_IsObject(list)) {
        r->list_path = _str(list, "path");
        r->list_key = _str(list, "key");
        const cJSON *cols = cJSON_GetObjectItemCaseSensitive(list, "columns");
        int seen = 0;
        const cJSON *c;
        cJSON_ArrayForEach(c, q_json_array(cols)) {
            if (seen++ >= KVN_API_MAX_COLUMNS) break;
            const char *field = _str(c, "field");
            if (!field) continue;
            KVN_COLUMN *col = &r->columns[r->column_count++];
            col->field = field;
            col->title = _str(c, "title");
            if (!col->title) col->title = field;
            col->format = _str(c, "format");
            const cJSON *w = cJSON_GetObjectItemCaseSensitive(c, "width");
            col->width = cJSON_IsNumber(w) ? (float)w->valuedouble : 140.0f;
        }
    }
    const cJSON *show = cJSON_GetObjectItemCaseSensitive(j, "show");
    if (cJSON_IsObject(show)) {
        r->show_path = _str(show, "path");
        r->show_key = _str(show, "key");
    }

    if (is_new) {
        if (r->single && !r->show_path) _err(api, "%s: %s.%s (single) has no show path", file, svc->name, r->id);
        if (!r->single && !r->list_path) _err(api, "%s: %s.%s has no list path", file, svc->name, r->id);
        if (!r->single && r->column_count == 0) {
            r->columns[0] = {"Name", r->name_field, nullptr, 220.0f};
            r->columns[1] = {"ID", r->id_field, nullptr, 280.0f};
            r->column_count = 2;
        }
    }

    char label[512];
    q_format(label, sizeof label, "%s.%s create", svc->name, r->id);
    r->create = _parse_op(api, cJSON_GetObjectItemCaseSensitive(j, "create"), file, label, "POST", r);
    q_format(label, sizeof label, "%s.%s update", svc->name, r->id);
    r->update = _parse_op(api, cJSON_GetObjectItemCaseSensitive(j, "update"), file, label, "PUT", r);
    q_format(label, sizeof label, "%s.%s delete", svc->name, r->id);
    r->del = _parse_op(api, cJSON_GetObjectItemCaseSensitive(j, "delete"), file, label, "DELETE", r);
    if (r->del) r->del->confirm = 1;

    const cJSON *actions = cJSON_GetObjectItemCaseSensitive(j, "actions");
    int seen = 0;
    const cJSON *a;
    cJSON_ArrayForEach(a, q_json_array(actions)) {
        if (seen++ >= KVN_API_MAX_ACTIONS) break;
        if (!cJSON_IsObject(a)) continue;
        const char *aid = _str(a, "id");
        q_format(label, sizeof label, "%s.%s action %s", svc->name, r->id, aid ? aid : "?");
        KVN_OP *op = _parse_op(api, a, file, label, "POST", r);
        if (!op) continue;
        if (!op->title) op->title = op->id ? op->id : "action";
        r->actions[r->action_count++] = op;
    }
    return r;
}

KVN_RESOURCE *_find_resource(KVN_SERVICE *svc, const char *id) {
    for (int i = 0; i < svc->resource_count; i++)
        if (!strcmp(svc->resources[i]->id, id)) return svc->resources[i];
    return nullptr;
}

// Folds an extension file's element into the resource of the same id.
void _merge_resource(KVN_API *api, KVN_SERVICE *svc, KVN_RESOURCE *into, cJSON *elem, const char *file) {
    KVN_RESOURCE *ext = _parse_resource(api, svc, elem, file, false);
    if (!ext) return;
    for (int i = 0; i < ext->action_count; i++) {
        if (into->action_count < KVN_API_MAX_ACTIONS) {
            into->actions[into->action_count++] = ext->actions[i];
        } else {
            _err(api, "%s: %s.%s has too many actions", file, svc->name, into->id);
            _free_op(&ext->actions[i]);
        }
        ext->actions[i] = nullptr;
    }
    ext->action_count = 0;
    if (!into->create) std::swap(into->create, ext->create);
    if (!into->update) std::swap(into->update, ext->update);
    if (!into->del) std::swap(into->del, ext->del);

    if (ext->cli && (!into->cli || !strstr(into->cli, ext->cli))) {
        char joined[1024];
        if (into->cli) q_format(joined, sizeof joined, "%s / %s", into->cli, ext->cli);
        else q_strcpy(joined, sizeof joined, ext->cli);
        // Stored in the element so the joined text lives with the documents.
        cJSON_DeleteItemFromObjectCaseSensitive(elem, "_cli_merged");
        cJSON *merged = cJSON_AddStringToObject(elem, "_cli_merged", joined);
        if (merged) into->cli = merged->valuestring;
    }
    if (!into->show_path) {
        into->show_path = ext->show_path;
        into->show_key = ext->show_key;
    }
    _free_resource(ext);
}

// Keeps the error line on one line whatever the parser stopped at.
void _position_text(char *out, size_t size, const char *pos) {
    if (!pos) {
        q_strcpy(out, size, "?");
        return;
    }
    size_t n = 0;
    for (; n + 1 < size && n < 40 && pos[n]; n++) out[n] = ((unsigned char)pos[n] < 0x20) ? ' ' : pos[n];
    out[n] = 0;
}
} // namespace

KVN_API *kvn_api_load_dir(const char *folder) {
    KVN_API *api = nullptr;
    Q_CALLOC(api, 1, KVN_API);
    if (!api) return nullptr;
    DIR *dir = folder ? opendir(folder) : nullptr;
    if (!dir) {
        _err(api, "cannot open descriptor directory %s", folder ? folder : "(null)");
        api->folder_missing = !folder || errno == ENOENT;
        return api;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(dir)) {
        size_t len = strlen(e->d_name);
        if (len < 6 || strcmp(e->d_name + len - 5, ".json") != 0) continue;
        names.emplace_back(e->d_name);
        if (names.size() >= KVN_API_MAX_FILES) break;
    }
    closedir(dir);
    // std::string compares bytes as unsigned char, which is byte order.
    std::sort(names.begin(), names.end());

    for (const std::string &name : names) {
        char path[KVN_PATH_MAX];
        kvn_paths_join(path, sizeof path, folder, name.c_str());
        Q_CBUF text(kvn_paths_read_file(path, KVN_READ_CAP, nullptr));
        if (!text) {
            _err(api, "cannot read %s", path);
            continue;
        }
        kvn_api_add(api, text.get(), name.c_str());
    }
    int resources = 0, operations = 0;
    kvn_api_count(api, &resources, &operations);
    q_log(Q_LOG_INFO, "api: %d services, %d resources, %d operations from %s", api->service_count, resources,
          operations, folder);
    return api;
}

int kvn_api_add(KVN_API *api, const char *text, const char *file_name) {
    Q_GUARD(api, -1);
    if (!file_name) file_name = "(null)";
    if (api->service_count >= KVN_API_MAX_SERVICES) {
        _err(api, "%s: too many services", file_name);
        return -1;
    }
    const char *end = nullptr;
    Q_CJSON doc(text ? cJSON_ParseWithOpts(text, &end, 0) : nullptr);
    if (!cJSON_IsObject(doc.get())) {
        char near[48];
        _position_text(near, sizeof near, doc ? nullptr : end);
        _err(api, "%s: invalid JSON near '%.40s'", file_name, near);
        return -1;
    }
    const char *name = _str(doc.get(), "service");
    if (!name) {
        _err(api, "%s: no \"service\"", file_name);
        return -1;
    }

    KVN_SERVICE *svc = nullptr;
    for (int i = 0; i < api->service_count; i++)
        if (!strcmp(api->services[i]->name, name)) svc = api->services[i];
    cJSON *root = doc.get();
    if (svc) {
        // The extension's texts must live as long as the service's.
        cJSON_AddItemToObject(svc->document, "_ext", doc.release());
    } else {
        Q_CALLOC(svc, 1, KVN_SERVICE);
        if (!svc) return -1;
        svc->document = doc.release();
        svc->name = name;
        svc->title = _str(root, "title");
        if (!svc->title) svc->title = name;
        svc->cli_group = _str(root, "cli_group");
        api->services[api->service_count++] = svc;
    }

    cJSON *resources = cJSON_GetObjectItemCaseSensitive(root, "resources");
    cJSON *elem;
    cJSON_ArrayForEach(elem, q_json_array(resources)) {
        const char *id = _str(elem, "id");
        KVN_RESOURCE *existing = id ? _find_resource(svc, id) : nullptr;
        if (existing) {
            _merge_resource(api, svc, existing, elem, file_name);
            continue;
        }
        if (svc->resource_count >= KVN_API_MAX_RESOURCES) {
            _err(api, "%s: too many resources", file_name);
            break;
        }
        KVN_RESOURCE *r = _parse_resource(api, svc, elem, file_name, true);
        if (r) svc->resources[svc->resource_count++] = r;
    }
    return 0;
}

int kvn_api_check_refs(KVN_API *api) {
    Q_GUARD(api, 0);
    int broken = 0;
    for (int s = 0; s < api->service_count; s++) {
        const KVN_SERVICE *svc = api->services[s];
        for (int i = 0; i < svc->resource_count; i++) {
            const KVN_RESOURCE *r = svc->resources[i];
            if (r->parent && !kvn_api_lookup(api, r->parent)) {
                _err(api, "%s.%s: unknown parent %s", svc->name, r->id, r->parent);
                broken++;
            }
            const KVN_OP *ops[3 + KVN_API_MAX_ACTIONS];
            int n = 0;
            ops[n++] = r->create;
            ops[n++] = r->update;
            ops[n++] = r->del;
            for (int a = 0; a < r->action_count; a++) ops[n++] = r->actions[a];
            for (int o = 0; o < n; o++) {
                if (!ops[o]) continue;
                for (int f = 0; f < ops[o]->field_count; f++) {
                    const KVN_FIELD *fd = &ops[o]->fields[f];
                    if (fd->type != KVN_FT_REF || !fd->ref || kvn_api_lookup(api, fd->ref)) continue;
                    _err(api, "%s.%s: field %s refers to unknown resource %s", svc->name, r->id, fd->name, fd->ref);
                    broken++;
                }
            }
        }
    }
    return broken;
}

const KVN_RESOURCE *kvn_api_lookup(const KVN_API *api, const char *key) {
    if (!api || !key) return nullptr;
    const char *dot = strchr(key, '.');
    if (!dot) return nullptr;
    size_t svc_len = (size_t)(dot - key);
    for (int s = 0; s < api->service_count; s++) {
        const KVN_SERVICE *svc = api->services[s];
        if (strlen(svc->name) != svc_len || strncmp(svc->name, key, svc_len) != 0) continue;
        for (int i = 0; i < svc->resource_count; i++)
            if (!strcmp(svc->resources[i]->id, dot + 1)) return svc->resources[i];
    }
    return nullptr;
}

int kvn_api_allowed(const KVN_RESOURCE *res, const KVN_OP *op, int is_admin, int show_restricted) {
    if (is_admin || show_restricted) return 1;
    if (res && res->admin) return 0;
    if (op && op->admin) return 0;
    return 1;
}

void kvn_api_count(const KVN_API *api, int *resources, int *operations) {
    int nr = 0, no = 0;
    for (int s = 0; api && s < api->service_count; s++) {
        const KVN_SERVICE *svc = api->services[s];
        nr += svc->resource_count;
        for (int i = 0; i < svc->resource_count; i++) {
            const KVN_RESOURCE *r = svc->resources[i];
            no += (r->list_path != nullptr) + (r->show_path != nullptr) + (r->create != nullptr) +
                  (r->update != nullptr) + (r->del != nullptr) + r->action_count;
        }
    }
    if (resources) *resources = nr;
    if (operations) *operations = no;
}

cJSON *kvn_api_items(cJSON *answer, const char *key) {
    if (!answer) return nullptr;
    cJSON *member = (key && *key) ? cJSON_GetObjectItemCaseSensitive(answer, key) : nullptr;
    if (!member) return cJSON_IsArray(answer) ? answer : nullptr;
    if (cJSON_IsArray(member)) return member;
    if (!cJSON_IsObject(member)) return nullptr;

    cJSON *array = cJSON_CreateArray();
    if (!array) return nullptr;
    const cJSON *entry;
    cJSON_ArrayForEach(entry, member) {
        cJSON *item;
        if (cJSON_IsObject(entry)) {
            item = cJSON_Duplicate(entry, 1);
        } else {
            item = cJSON_CreateObject();
            if (item) cJSON_AddItemToObject(item, "value", cJSON_Duplicate(entry, 1));
        }
        if (!item) continue;
        if (!cJSON_GetObjectItemCaseSensitive(item, "name") && entry->string)
            cJSON_AddStringToObject(item, "name", entry->string);
        cJSON_AddItemToArray(array, item);
    }
    cJSON_ReplaceItemInObjectCaseSensitive(answer, key, array);
    return array;
}

cJSON *kvn_api_json_at(const cJSON *value, const char *path) {
    if (!value || !path) return nullptr;
    if (!*path || !strcmp(path, ".")) return const_cast<cJSON *>(value);
    const cJSON *cur = value;
    const char *p = path;
    for (;;) {
        const char *dot = strchr(p, '.');
        size_t len = dot ? (size_t)(dot - p) : strlen(p);
        if (len > 127) return nullptr;
        char seg[128];
        memcpy(seg, p, len);
        seg[len] = 0;
        if (cJSON_IsArray(cur) && seg[0] >= '0' && seg[0] <= '9') {
            long idx = strtol(seg, nullptr, 10);
            cur = (idx >= 0 && idx <= 0x7fffffff) ? cJSON_GetArrayItem(cur, (int)idx) : nullptr;
        } else {
            cur = cJSON_IsObject(cur) ? cJSON_GetObjectItemCaseSensitive(cur, seg) : nullptr;
        }
        if (!cur) return nullptr;
        if (!dot) return const_cast<cJSON *>(cur);
        p = dot + 1;
    }
}

void kvn_api_free(KVN_API **ref) {
    if (!ref || !*ref) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", "api", __LINE__, __FILE__);
        return;
    }
    KVN_API *api = *ref;
    for (int s = 0; s < api->service_count; s++) {
        KVN_SERVICE *svc = api->services[s];
        for (int i = 0; i < svc->resource_count; i++) _free_resource(svc->resources[i]);
        cJSON_Delete(svc->document);
        free(svc);
    }
    free(api);
    *ref = nullptr;
}

// ---- building requests -------------------------------------------------------
// An operation and its form values become a path, a query and a JSON body;
// answer values become list cells.

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

// Sets value at a dotted member path under target, making objects on the way.
// Takes ownership of value in every case.
void _set_at(cJSON *target, const char *path, cJSON *value) {
    cJSON *cur = target;
    const char *p = path;
    for (;;) {
        const char *dot = strchr(p, '.');
        size_t len = dot ? (size_t)(dot - p) : strlen(p);
        if (len > 127) {
            cJSON_Delete(value);
            return;
        }
        std::string seg(p, len);
        if (!dot) {
            if (cJSON_GetObjectItemCaseSensitive(cur, seg.c_str()))
                cJSON_ReplaceItemInObjectCaseSensitive(cur, seg.c_str(), value);
            else cJSON_AddItemToObject(cur, seg.c_str(), value);
            return;
        }
        cJSON *next = cJSON_GetObjectItemCaseSensitive(cur, seg.c_str());
        if (!cJSON_IsObject(next)) {
            cJSON *fresh = cJSON_CreateObject();
            if (next) cJSON_ReplaceItemInObjectCaseSensitive(cur, seg.c_str(), fresh);
            else cJSON_AddItemToObject(cur, seg.c_str(), fresh);
            next = fresh;
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
            cJSON *val = cJSON_CreateString(piece.c_str() + eq + 1);
            if (cJSON_GetObjectItemCaseSensitive(obj, key.c_str()))
                cJSON_ReplaceItemInObjectCaseSensitive(obj, key.c_str(), val);
            else cJSON_AddItemToObject(obj, key.c_str(), val);
        });
        if (bad) {
            cJSON_Delete(obj);
            q_format(err, err_size, "%s: expected key=value lines", f->label);
            return CONV_ERR;
        }
        *out = obj;
        return CONV_SET;
    }
    case KVN_FT_JSON: {
        cJSON *parsed = cJSON_Parse(v);
        if (!parsed) {
            q_format(err, err_size, "%s is not valid JSON", f->label);
            return CONV_ERR;
        }
        *out = parsed;
        return CONV_SET;
    }
    default: *out = cJSON_CreateString(v); return CONV_SET;
    }
}

int _patch_body(const KVN_OP *op, KVN_VALUES values, char *err, size_t err_size, cJSON **out) {
    Q_CJSON arr(cJSON_CreateArray());
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
        cJSON_AddStringToObject(o, "path", (std::string("/") + f->name).c_str());
        cJSON_AddItemToObject(o, "value", value);
        cJSON_AddItemToArray(arr.get(), o);
    }
    *out = arr.release();
    return 0;
}

bool _has(const char *s) { return s && strchr(s, '{'); }

// Expands placeholders in member names and string values at every depth;
// what does not resolve stays as it was.
void _expand_body(cJSON *node, const KVN_EXPAND_CTX *ctx, const KVN_OP *op, KVN_VALUES values) {
    char buf[k_body_text_max];
    cJSON *child;
    cJSON_ArrayForEach(child, node) {
        if (_has(child->string) && !(child->type & cJSON_StringIsConst) &&
            kvn_api_expand(child->string, ctx, op, values, buf, sizeof buf) == 0) {
            cJSON_free(child->string);
            child->string = strdup(buf);
        }
        if (cJSON_IsString(child) && _has(child->valuestring) && !(child->type & cJSON_IsReference) &&
            kvn_api_expand(child->valuestring, ctx, op, values, buf, sizeof buf) == 0) {
            cJSON_free(child->valuestring);
            child->valuestring = strdup(buf);
        }
        if (cJSON_IsObject(child) || cJSON_IsArray(child)) _expand_body(child, ctx, op, values);
    }
}

// Appends a piece to a joined cell text of capacity cap. The separator goes
// only between pieces of this join; a piece that no longer fits is dropped
// whole rather than cut.
void _join(std::string *out, size_t cap, const char *sep, const std::string &piece) {
    size_t need = out->size() + (out->empty() ? 0 : strlen(sep)) + piece.size();
    if (need >= cap) return;
    if (!out->empty()) *out += sep;
    *out += piece;
}

std::string _plain(const cJSON *v) {
    char buf[k_value_text_max];
    kvn_api_value_text(v, buf, sizeof buf);
    for (char *c = buf; *c; c++)
        if (*c == '\t' || *c == '\n' || *c == '\r') *c = ' ';
    return buf;
}

std::string _size_text(double bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    char buf[64];
    if (bytes < 1024) {
        snprintf(buf, sizeof buf, "%.0f %s", bytes, units[0]);
        return buf;
    }
    int n = 0;
    while (bytes >= 1024 && n < 5) {
        bytes /= 1024;
        n++;
    }
    snprintf(buf, sizeof buf, "%.1f %s", bytes, units[n]);
    return buf;
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

int kvn_api_build_body(const KVN_OP *op, KVN_VALUES values, char *err, size_t err_size, cJSON **out) {
    if (err && err_size) err[0] = 0;
    Q_GUARD(op && out, -1);
    *out = nullptr;
    if (op->field_count == 0) {
        if (op->json_patch) *out = cJSON_CreateArray();
        else if (op->body) *out = cJSON_Duplicate(op->body, 1);
        return 0;
    }
    if (op->json_patch) return _patch_body(op, values, err, err_size, out);

    bool any_body = false;
    for (int i = 0; i < op->field_count; i++) any_body = any_body || _is_body_field(&op->fields[i]);
    Q_CJSON root;
    if (op->body) root.reset(cJSON_Duplicate(op->body, 1));
    else if (any_body) root.reset(cJSON_CreateObject());

    cJSON *target = root.get();
    if (target && op->key) {
        cJSON *member = cJSON_GetObjectItemCaseSensitive(target, op->key);
        if (!cJSON_IsObject(member)) {
            cJSON *fresh = cJSON_CreateObject();
            if (member) cJSON_ReplaceItemInObjectCaseSensitive(target, op->key, fresh);
            else if (cJSON_IsObject(target)) cJSON_AddItemToObject(target, op->key, fresh);
            member = fresh;
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
            // A template that is not an object has no members to set.
            if (cJSON_IsObject(target)) _set_at(target, f->name, value);
            else cJSON_Delete(value);
        }
    }
    *out = root.release();
    return 0;
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
    if (kvn_api_build_body(op, values, err, err_size, out) != 0) return -1;
    if (*out) _expand_body(*out, ctx, op, values);
    return 0;
}

void kvn_api_format_cell(const cJSON *item, const KVN_COLUMN *col, char *out, size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    if (!item || !col || !col->field) return;
    const cJSON *v = kvn_api_json_at(item, col->field);
    if (!v) return;
    const char *fmt = col->format ? col->format : "";
    std::string text;
    if (!strcmp(fmt, "addresses") && cJSON_IsObject(v)) {
        const cJSON *net;
        cJSON_ArrayForEach(net, v) {
            std::string addrs;
            const cJSON *a;
            cJSON_ArrayForEach(a, q_json_array(net)) {
                const cJSON *addr = cJSON_GetObjectItemCaseSensitive(a, "addr");
                if (cJSON_IsString(addr)) _join(&addrs, size, ", ", addr->valuestring);
            }
            _join(&text, size, "; ", std::string(net->string ? net->string : "?") + "=" + addrs);
        }
    } else if (!strcmp(fmt, "fixed_ips") && cJSON_IsArray(v)) {
        const cJSON *e;
        cJSON_ArrayForEach(e, v) {
            const cJSON *ip = cJSON_GetObjectItemCaseSensitive(e, "ip_address");
            if (cJSON_IsString(ip)) _join(&text, size, ", ", ip->valuestring);
        }
    } else if (!strcmp(fmt, "count")) {
        text = std::to_string((cJSON_IsArray(v) || cJSON_IsObject(v)) ? cJSON_GetArraySize(v) : 0);
    } else if (!strcmp(fmt, "list") && cJSON_IsArray(v)) {
        const cJSON *e;
        cJSON_ArrayForEach(e, v) {
            std::string piece;
            if (cJSON_IsObject(e)) {
                const cJSON *n = cJSON_GetObjectItemCaseSensitive(e, "name");
                const cJSON *id = cJSON_GetObjectItemCaseSensitive(e, "id");
                piece = cJSON_IsString(n) ? n->valuestring : cJSON_IsString(id) ? id->valuestring : "";
            } else {
                piece = _plain(e);
            }
            _join(&text, size, ", ", piece);
        }
    } else if (!strcmp(fmt, "kv") && cJSON_IsObject(v)) {
        const cJSON *m;
        cJSON_ArrayForEach(m, v) _join(&text, size, ", ", std::string(m->string ? m->string : "") + "=" + _plain(m));
    } else if ((!strcmp(fmt, "bytes") || !strcmp(fmt, "mib") || !strcmp(fmt, "gib")) && cJSON_IsNumber(v)) {
        double mult = !strcmp(fmt, "mib") ? 1048576.0 : !strcmp(fmt, "gib") ? 1073741824.0 : 1.0;
        text = _size_text(v->valuedouble * mult);
    } else if (!strcmp(fmt, "bool")) {
        text = (cJSON_IsTrue(v) || (cJSON_IsString(v) && !strcasecmp(v->valuestring, "true"))) ? "yes" : "no";
    } else if (!strcmp(fmt, "date") && cJSON_IsString(v)) {
        text = std::string(v->valuestring).substr(0, 19);
        if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
    } else {
        text = _plain(v);
    }
    // Cut at the capacity on a character boundary so a cell never ends in
    // half a UTF-8 sequence.
    if (text.size() >= size) {
        size_t cut = size - 1;
        while (cut > 0 && ((unsigned char)text[cut] & 0xC0) == 0x80) cut--;
        text.resize(cut);
    }
    q_strcpy(out, size, text.c_str());
}
