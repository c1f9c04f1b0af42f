#include "kvn_config.h"

#include <cJSON.h>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kvn_paths.h"
#include "q_common.h"

namespace {
void _defaults(KVN_CONFIG *c) {
    memset(c, 0, sizeof *c);
    c->theme = 0;
    c->sidebar_w = 270.0f;
    c->history_enabled = 1;
    c->history_period_s = 300;
    c->history_keep_days = 90;
    c->auto_refresh_s = 0;
    c->log_level = 5;
    c->show_restricted = 0;
    c->show_unavailable = 1;
    c->native_popups = 0;
}

void _read_int(const cJSON *root, const char *key, int *out) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(root, key);
    if (cJSON_IsNumber(v)) *out = v->valueint;
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
    const cJSON *r = root.get();
    const cJSON *lp = cJSON_GetObjectItemCaseSensitive(r, "last_profile");
    if (cJSON_IsString(lp) && lp->valuestring)
        q_strcpy(config->last_profile, sizeof config->last_profile, lp->valuestring);
    _read_int(r, "theme", &config->theme);
    const cJSON *sw = cJSON_GetObjectItemCaseSensitive(r, "sidebar_w");
    if (cJSON_IsNumber(sw) && sw->valuedouble >= 150.0 && sw->valuedouble <= 800.0)
        config->sidebar_w = (float)sw->valuedouble;
    _read_int(r, "history_enabled", &config->history_enabled);
    _read_int(r, "history_period_s", &config->history_period_s);
    if (config->history_period_s < 30) config->history_period_s = 30;
    _read_int(r, "history_keep_days", &config->history_keep_days);
    _read_int(r, "auto_refresh_s", &config->auto_refresh_s);
    _read_int(r, "log_level", &config->log_level);
    _read_int(r, "show_restricted", &config->show_restricted);
    _read_int(r, "show_unavailable", &config->show_unavailable);
    int native = config->native_popups;
    _read_int(r, "native_popups", &native);
    config->native_popups = native != 0;
}

int kvn_config_save(const KVN_CONFIG *config) {
    Q_GUARD(config, -1);
    Q_CJSON root(cJSON_CreateObject());
    if (!root) return -1;
    cJSON *r = root.get();
    cJSON_AddStringToObject(r, "last_profile", config->last_profile);
    cJSON_AddNumberToObject(r, "theme", config->theme);
    cJSON_AddNumberToObject(r, "sidebar_w", config->sidebar_w);
    cJSON_AddNumberToObject(r, "history_enabled", config->history_enabled);
    cJSON_AddNumberToObject(r, "history_period_s", config->history_period_s);
    cJSON_AddNumberToObject(r, "history_keep_days", config->history_keep_days);
    cJSON_AddNumberToObject(r, "auto_refresh_s", config->auto_refresh_s);
    cJSON_AddNumberToObject(r, "log_level", config->log_level);
    cJSON_AddNumberToObject(r, "show_restricted", config->show_restricted);
    cJSON_AddNumberToObject(r, "show_unavailable", config->show_unavailable);
    cJSON_AddNumberToObject(r, "native_popups", config->native_popups);
    Q_CBUF text(cJSON_Print(r));
    if (!text) return -1;

    char path[KVN_PATH_MAX];
    kvn_paths_config_file(path, sizeof path, "kvn.conf");
    return kvn_paths_write_atomic(path, text.get(), strlen(text.get()), 0);
}
