#include "kvn_config.h"

#include <cJSON.h>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kvn_paths.h"
#include "q_common.h"

namespace {
enum CFG_TYPE { CFG_TEXT, CFG_INT, CFG_FLOAT };

// What a loaded number must satisfy; a value outside keeps the default, or is
// raised or normalised where the setting says so.
enum CFG_RANGE {
    CFG_ANY,        // any number
    CFG_WITHIN,     // only lo..hi inclusive, otherwise the default stays
    CFG_AT_LEAST,   // values below lo become lo
    CFG_ZERO_OR_ONE // any number, stored as 0 or 1
};

// One settings key. Load and save both walk this table, so a key is added,
// renamed or given a new default in one place, and the file keeps the
// table's order.
struct CFG_KEY {
    const char *name;
    int type; // CFG_TYPE
    size_t offset;
    size_t size; // of the field; texts are cut to it
    double def;
    int range; // CFG_RANGE
    double lo, hi;
};

#define CFG_FIELD(member) offsetof(KVN_CONFIG, member), sizeof(KVN_CONFIG::member)

const CFG_KEY k_keys[] = {
    {"last_profile", CFG_TEXT, CFG_FIELD(last_profile), 0, CFG_ANY, 0, 0},
    {"theme", CFG_INT, CFG_FIELD(theme), 0, CFG_ANY, 0, 0},
    {"sidebar_w", CFG_FLOAT, CFG_FIELD(sidebar_w), 270, CFG_WITHIN, 150, 800},
    {"history_enabled", CFG_INT, CFG_FIELD(history_enabled), 1, CFG_ANY, 0, 0},
    {"history_period_s", CFG_INT, CFG_FIELD(history_period_s), 300, CFG_AT_LEAST, 30, 0},
    {"history_keep_days", CFG_INT, CFG_FIELD(history_keep_days), 90, CFG_ANY, 0, 0},
    {"auto_refresh_s", CFG_INT, CFG_FIELD(auto_refresh_s), 0, CFG_ANY, 0, 0},
    {"log_level", CFG_INT, CFG_FIELD(log_level), 5, CFG_ANY, 0, 0},
    {"show_restricted", CFG_INT, CFG_FIELD(show_restricted), 0, CFG_ANY, 0, 0},
    {"show_unavailable", CFG_INT, CFG_FIELD(show_unavailable), 1, CFG_ANY, 0, 0},
    {"native_popups", CFG_INT, CFG_FIELD(native_popups), 0, CFG_ZERO_OR_ONE, 0, 0},
};

#undef CFG_FIELD

void *_field(KVN_CONFIG *c, const CFG_KEY *k) {
    return reinterpret_cast<char *>(c) + k->offset;
}
const void *_field(const KVN_CONFIG *c, const CFG_KEY *k) {
    return reinterpret_cast<const char *>(c) + k->offset;
}

void _defaults(KVN_CONFIG *c) {
    memset(c, 0, sizeof *c);
    for (const CFG_KEY &k : k_keys) {
        if (k.type == CFG_INT)
            *static_cast<int *>(_field(c, &k)) = (int)k.def;
        else if (k.type == CFG_FLOAT)
            *static_cast<float *>(_field(c, &k)) = (float)k.def;
    }
}

void _read_key(const cJSON *root, const CFG_KEY *k, KVN_CONFIG *c) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(root, k->name);
    if (k->type == CFG_TEXT) {
        if (cJSON_IsString(v) && v->valuestring)
            q_strcpy(static_cast<char *>(_field(c, k)), k->size, v->valuestring);
        return;
    }
    if (k->type == CFG_FLOAT) {
        if (!cJSON_IsNumber(v)) return;
        if (k->range == CFG_WITHIN && (v->valuedouble < k->lo || v->valuedouble > k->hi)) return;
        *static_cast<float *>(_field(c, k)) = (float)v->valuedouble;
        return;
    }
    int *field = static_cast<int *>(_field(c, k));
    // Integers are read the JSON way: a fraction is cut off.
    if (cJSON_IsNumber(v)) {
        if (k->range == CFG_WITHIN && (v->valueint < k->lo || v->valueint > k->hi)) return;
        *field = v->valueint;
    }
    if (k->range == CFG_AT_LEAST && *field < k->lo) *field = (int)k->lo;
    if (k->range == CFG_ZERO_OR_ONE) *field = *field != 0;
}
} // namespace

void kvn_config_load(KVN_CONFIG *config) {
    Q_GUARD_VOID(config);
    _defaults(config);

    char path[KVN_PATH_MAX];
    kvn_paths_config_file(path, sizeof path, "kvn.conf");
    Q_CBUF text(kvn_paths_read_file(path, KVN_READ_CAP, nullptr));
    if (!text) return;
    Q_CJSON root(cJSON_Parse(text.get()));
    if (!cJSON_IsObject(root.get())) {
        q_log(Q_LOG_ERR, "ignoring malformed %s", path);
        return;
    }
    for (const CFG_KEY &k : k_keys)
        _read_key(root.get(), &k, config);
}

int kvn_config_save(const KVN_CONFIG *config) {
    Q_GUARD(config, -1);
    Q_CJSON root(cJSON_CreateObject());
    if (!root) return -1;
    cJSON *r = root.get();
    for (const CFG_KEY &k : k_keys) {
        const void *field = _field(config, &k);
        if (k.type == CFG_TEXT)
            cJSON_AddStringToObject(r, k.name, static_cast<const char *>(field));
        else if (k.type == CFG_FLOAT)
            cJSON_AddNumberToObject(r, k.name, *static_cast<const float *>(field));
        else
            cJSON_AddNumberToObject(r, k.name, *static_cast<const int *>(field));
    }
    Q_CBUF text(cJSON_Print(r));
    if (!text) return -1;

    char path[KVN_PATH_MAX];
    kvn_paths_config_file(path, sizeof path, "kvn.conf");
    return kvn_paths_write_atomic(path, text.get(), strlen(text.get()), 0);
}
