#pragma once
// The settings file "kvn.conf" in the config folder.

struct KVN_CONFIG {
    char last_profile[256];
    int theme;
    float sidebar_w;
    int history_enabled;
    int history_period_s;
    int history_keep_days;
    int auto_refresh_s;
    int log_level;
    int show_restricted;
    int show_unavailable;
    int native_popups;
};

// Resets to the defaults, then reads "kvn.conf" over them.
void kvn_config_load(KVN_CONFIG *config);
// Writes all eleven keys; the previous file stays intact when this fails.
int kvn_config_save(const KVN_CONFIG *config);
