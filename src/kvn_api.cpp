#include "kvn_api.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

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
