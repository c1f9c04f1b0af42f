// The connect dialog: the stored profiles, the form of the edited profile,
// its secret sealed with a master password, the imports (openrc, clouds.yaml,
// the environment) and the authentication job that turns a profile into the
// application's session. Main thread, except the job's run function.

#include <allegro5/allegro.h>
#include <cJSON.h>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "kvn_app.h"
#include "kvn_clouds.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_main.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_profile.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"

namespace {
const float k_w = 860, k_h = 640;
const float k_clouds_w = 420, k_clouds_h = 360;
const size_t k_master_max = 256;
const char *const k_new_profile = "new profile: fill the fields then Save or Connect";
const char *const k_stored_hint = " (secret stored: type the master password, then Unlock)";

// ---- state --------------------------------------------------------------------------

struct CLOUDS_CHOOSER {
    int window = -1, list = -1, import = -1, cancel = -1;
    KVN_YAML_DOC *clouds = nullptr; // owned, wiped when freed
    KVN_YAML_DOC *secure = nullptr; // owned, may stay null
    char **names = nullptr;         // owned
    int count = 0;
    char base[256] = "";
};

struct CONNECT_DIALOG {
    int window = -1;
    int list = -1, new_btn = -1, import_openrc = -1, import_clouds = -1, from_env = -1, delete_btn = -1;
    int name = -1, auth_url = -1, auth_type = -1;
    int username_label = -1, username = -1, cred_id_label = -1, cred_id = -1;
    int user_domain_label = -1, user_domain = -1, cred_name_label = -1, cred_name = -1;
    int project_name = -1, project_id = -1, project_domain = -1, region = -1, interface = -1;
    int ca_file = -1, browse = -1, insecure = -1;
    int secret_label = -1, secret = -1, store = -1, master = -1, unlock = -1;
    int message = -1, save = -1, connect = -1, close = -1;
    KVN_PROFILE profile;    // the edited one; its clear secret is wiped whenever it goes
    char **names = nullptr; // the list's profile names, owned
    int name_count = 0;
    int in_progress = 0; // an authentication job runs
    CLOUDS_CHOOSER clouds;
};

// Main thread only. Built in one GUI context; a new context (a test building
// another) starts the dialog afresh, and the generation drops the answers of
// jobs and choosers that belonged to the old one.
Q_GUI_CTX *g_ctx = nullptr;
CONNECT_DIALOG g_dlg;
uint64_t g_generation = 1;

void _free_names(char ***names, int *count) {
    for (int i = 0; i < *count; i++)
        free((*names)[i]);
    free(*names);
    *names = nullptr;
    *count = 0;
}

void _clouds_release(void) {
    CLOUDS_CHOOSER &c = g_dlg.clouds;
    kvn_yaml_free(&c.clouds);
    kvn_yaml_free(&c.secure);
    _free_names(&c.names, &c.count);
    c.base[0] = 0;
}

// Forgets everything of the dialog; the widgets go with their context.
void _reset(void) {
    _clouds_release();
    _free_names(&g_dlg.names, &g_dlg.name_count);
    q_secure_zero(&g_dlg.profile, sizeof g_dlg.profile);
    g_dlg = CONNECT_DIALOG();
    g_generation++;
}

Q_GUI_CTX *_ctx(void) {
    KVN_APP *app = kvn_app_get();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (ctx != g_ctx) {
        _reset();
        g_ctx = ctx;
    }
    return ctx;
}

// ---- small helpers --------------------------------------------------------------------

// Every message of the dialog: its label and, at the same level, the status
// line. Secrets never reach this text.
__attribute__((format(printf, 2, 3))) void _say(int level, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (g_ctx && g_dlg.message >= 0) {
        q_gui_label_set_text(g_ctx, g_dlg.message, text);
        // A long answer of a server may not fit the line; the tooltip has it whole.
        q_gui_widget_set_tooltip(g_ctx, g_dlg.message, text);
        const Q_GUI_THEME t = kvn_theme_status_theme(level);
        q_gui_widget_set_theme(g_ctx, g_dlg.message, &t);
        q_gui_request_redraw(g_ctx);
    }
    kvn_app_status(level, "%s", text);
}

const char *_text(int id) {
    const char *t = q_gui_textarea_get_text(g_ctx, id);
    return t ? t : "";
}

void _set_text(int id, const char *text) {
    q_gui_textarea_set_text(g_ctx, id, text ? text : "");
}

// A file that opens for reading and is no folder.
bool _readable(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    struct stat st;
    const bool ok = fstat(fileno(f), &st) == 0 && !S_ISDIR(st.st_mode);
    fclose(f);
    return ok;
}

const char *_base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Exactly 32 lowercase hexadecimal digits: what Keystone makes its ids of.
bool _is_domain_id(const char *t) {
    size_t n = 0;
    for (; t[n]; n++)
        if (!((t[n] >= '0' && t[n] <= '9') || (t[n] >= 'a' && t[n] <= 'f'))) return false;
    return n == 32;
}

const char *_secret_word(int method) {
    return method == KVN_AUTH_APPCRED ? "application credential secret"
           : method == KVN_AUTH_TOKEN ? "token"
                                      : "password";
}

void _wipe_field(int id) {
    // Setting the text zeroes the field's whole buffer.
    if (g_ctx && id >= 0) q_gui_textarea_set_text(g_ctx, id, "");
}

// ---- the form -------------------------------------------------------------------------

void _apply_method(int method) {
    const bool pw = method == KVN_AUTH_PASSWORD, ac = method == KVN_AUTH_APPCRED;
    for (int id : {g_dlg.username_label, g_dlg.username, g_dlg.user_domain_label, g_dlg.user_domain})
        q_gui_widget_set_visible(g_ctx, id, pw);
    for (int id : {g_dlg.cred_id_label, g_dlg.cred_id, g_dlg.cred_name_label, g_dlg.cred_name})
        q_gui_widget_set_visible(g_ctx, id, ac);
    q_gui_label_set_text(g_ctx, g_dlg.secret_label, ac ? "Credential secret" : pw ? "Password" : "Token");
    q_gui_request_redraw(g_ctx);
}

int _method(void) {
    const int m = q_gui_combobox_get_selected(g_ctx, g_dlg.auth_type);
    return m < 0 ? KVN_AUTH_PASSWORD : m > KVN_AUTH_TOKEN ? KVN_AUTH_TOKEN : m;
}

// A domain field: an id when it looks like one, else a name. Left empty it
// keeps the profile's default domain, which its placeholder shows.
void _read_domain(int field, char *id, size_t id_size, char *name, size_t name_size) {
    const char *t = _text(field);
    if (!*t) return;
    name[0] = 0;
    id[0] = 0;
    if (_is_domain_id(t))
        q_strcpy(id, id_size, t);
    else
        q_strcpy(name, name_size, t);
}

void _read_fields(void) {
    KVN_PROFILE &p = g_dlg.profile;
    char vault[sizeof p.vault];
    memcpy(vault, p.vault, sizeof vault);
    kvn_profile_defaults(&p);
    memcpy(p.vault, vault, sizeof vault);
    q_secure_zero(vault, sizeof vault);

    q_strcpy(p.name, sizeof p.name, _text(g_dlg.name));
    q_strcpy(p.auth_url, sizeof p.auth_url, _text(g_dlg.auth_url));
    p.auth_type = _method();
    q_strcpy(p.username, sizeof p.username, _text(g_dlg.username));
    q_strcpy(p.application_credential_id, sizeof p.application_credential_id, _text(g_dlg.cred_id));
    q_strcpy(p.application_credential_name, sizeof p.application_credential_name, _text(g_dlg.cred_name));
    _read_domain(g_dlg.user_domain, p.user_domain_id, sizeof p.user_domain_id, p.user_domain_name,
                 sizeof p.user_domain_name);
    q_strcpy(p.project_name, sizeof p.project_name, _text(g_dlg.project_name));
    q_strcpy(p.project_id, sizeof p.project_id, _text(g_dlg.project_id));
    _read_domain(g_dlg.project_domain, p.project_domain_id, sizeof p.project_domain_id, p.project_domain_name,
                 sizeof p.project_domain_name);
    q_strcpy(p.region, sizeof p.region, _text(g_dlg.region));
    static const char *const k_interfaces[] = {"public", "internal", "admin"};
    const int i = q_gui_combobox_get_selected(g_ctx, g_dlg.interface);
    q_strcpy(p.interface, sizeof p.interface, k_interfaces[i >= 0 && i <= 2 ? i : 0]);
    q_strcpy(p.ca_file, sizeof p.ca_file, _text(g_dlg.ca_file));
    p.insecure = q_gui_checkbox_is_checked(g_ctx, g_dlg.insecure) ? 1 : 0;
    p.store_secret = q_gui_checkbox_is_checked(g_ctx, g_dlg.store) ? 1 : 0;
    q_strcpy(p.secret, sizeof p.secret, _text(g_dlg.secret));
}

void _show_profile(void) {
    const KVN_PROFILE &p = g_dlg.profile;
    _set_text(g_dlg.name, p.name);
    _set_text(g_dlg.auth_url, p.auth_url);
    const int m = p.auth_type >= KVN_AUTH_PASSWORD && p.auth_type <= KVN_AUTH_TOKEN ? p.auth_type : 0;
    q_gui_combobox_set_selected(g_ctx, g_dlg.auth_type, m);
    _set_text(g_dlg.username, p.username);
    _set_text(g_dlg.cred_id, p.application_credential_id);
    _set_text(g_dlg.cred_name, p.application_credential_name);
    _set_text(g_dlg.user_domain, p.user_domain_id[0] ? p.user_domain_id : p.user_domain_name);
    _set_text(g_dlg.project_name, p.project_name);
    _set_text(g_dlg.project_id, p.project_id);
    _set_text(g_dlg.project_domain, p.project_domain_id[0] ? p.project_domain_id : p.project_domain_name);
    _set_text(g_dlg.region, p.region);
    q_gui_combobox_set_selected(g_ctx, g_dlg.interface,
                                !strcmp(p.interface, "internal") ? 1
                                : !strcmp(p.interface, "admin")  ? 2
                                                                 : 0);
    _set_text(g_dlg.ca_file, p.ca_file);
    q_gui_checkbox_set_checked(g_ctx, g_dlg.insecure, p.insecure ? 1 : 0);
    q_gui_checkbox_set_checked(g_ctx, g_dlg.store, p.store_secret ? 1 : 0);
    _set_text(g_dlg.secret, p.secret);
    _apply_method(m);
}

// Replaces the edited profile, wiping the old one's secret first.
void _take_profile(const KVN_PROFILE *from) {
    kvn_profile_wipe_secret(&g_dlg.profile);
    memcpy(&g_dlg.profile, from, sizeof g_dlg.profile);
    _show_profile();
}

void _new_profile(void) {
    q_secure_zero(&g_dlg.profile, sizeof g_dlg.profile);
    kvn_profile_defaults(&g_dlg.profile);
    _show_profile();
}

void _refresh_list(const char *select) {
    _free_names(&g_dlg.names, &g_dlg.name_count);
    g_dlg.name_count = kvn_profile_list(&g_dlg.names);
    q_gui_listbox_clear(g_ctx, g_dlg.list);
    int chosen = -1;
    for (int i = 0; i < g_dlg.name_count; i++) {
        q_gui_listbox_add_item(g_ctx, g_dlg.list, g_dlg.names[i]);
        if (select && !strcmp(select, g_dlg.names[i])) chosen = i;
    }
    if (chosen >= 0) {
        q_gui_listbox_set_selected(g_ctx, g_dlg.list, chosen, 1);
        q_gui_listbox_scroll_to(g_ctx, g_dlg.list, chosen);
    }
}

// ---- the vault ------------------------------------------------------------------------

// Decrypts the stored secret with the typed master password; a silent try
// (a load, a Connect) only speaks when the password is wrong.
bool _unlock(bool silent) {
    KVN_PROFILE &p = g_dlg.profile;
    if (!p.vault[0]) {
        if (!silent) _say(KVN_STATUS_ERROR, "%s", "this profile has no stored secret");
        return false;
    }
    char master[k_master_max];
    q_strcpy(master, sizeof master, _text(g_dlg.master));
    if (!master[0]) {
        q_secure_zero(master, sizeof master);
        if (!silent) _say(KVN_STATUS_ERROR, "%s", "type the master password first");
        return false;
    }
    // The record is opened on a copy so a wrong password leaves it as it was.
    KVN_PROFILE trial;
    memcpy(&trial, &p, sizeof trial);
    const int rc = kvn_profile_vault_open(&trial, master);
    q_secure_zero(master, sizeof master);
    if (rc != 0) {
        q_secure_zero(&trial, sizeof trial);
        _say(KVN_STATUS_ERROR, "%s", "wrong master password: the stored secret cannot be decrypted");
        return false;
    }
    q_strcpy(p.secret, sizeof p.secret, trial.secret);
    q_secure_zero(&trial, sizeof trial);
    _set_text(g_dlg.secret, p.secret);
    q_gui_checkbox_set_checked(g_ctx, g_dlg.store, 1);
    p.store_secret = 1;
    _say(KVN_STATUS_INFO, "%s", "stored secret restored");
    return true;
}

// ---- loading, saving, deleting ----------------------------------------------------------

void _load(const char *name, bool first_open) {
    KVN_PROFILE loaded;
    if (kvn_profile_load(name, &loaded) != 0) {
        q_secure_zero(&loaded, sizeof loaded);
        _say(KVN_STATUS_ERROR, "cannot load profile %s", name);
        return;
    }
    // What the user typed for the previous profile is of no use for this one.
    _wipe_field(g_dlg.secret);
    _take_profile(&loaded);
    q_secure_zero(&loaded, sizeof loaded);
    if (first_open) {
        _say(KVN_STATUS_INFO, "profile %s", name);
        return;
    }
    if (g_dlg.profile.vault[0] && _unlock(true)) return;
    _say(KVN_STATUS_INFO, "profile %s loaded%s", name, g_dlg.profile.vault[0] ? k_stored_hint : "");
}

bool _save(void) {
    _read_fields();
    KVN_PROFILE &p = g_dlg.profile;
    if (!kvn_profile_name_valid(p.name)) {
        _say(KVN_STATUS_ERROR, "%s", "invalid profile name (letters, digits, - _ . and spaces)");
        return false;
    }
    if (p.store_secret && p.secret[0]) {
        char master[k_master_max];
        q_strcpy(master, sizeof master, _text(g_dlg.master));
        if (!master[0]) {
            _say(KVN_STATUS_ERROR, "%s", "type a master password to store the secret encrypted");
            return false;
        }
        const int rc = kvn_profile_vault_seal(&p, master);
        q_secure_zero(master, sizeof master);
        if (rc != 0) {
            _say(KVN_STATUS_ERROR, "%s", "cannot encrypt the secret");
            return false;
        }
    } else if (!p.store_secret) {
        q_secure_zero(p.vault, sizeof p.vault);
    }
    if (kvn_profile_save(&p) != 0) {
        _say(KVN_STATUS_ERROR, "cannot save profile %s", p.name);
        return false;
    }
    _refresh_list(p.name);
    _say(KVN_STATUS_INFO, "profile %s saved", p.name);
    return true;
}

// The confirmation holds its own copy of the name: the fields may change
// while it is asked.
struct DELETE_ASK {
    char name[256];
    uint64_t generation;
};

void _delete_yes(void *value) {
    const DELETE_ASK *ask = static_cast<const DELETE_ASK *>(value);
    if (ask->generation != g_generation || !g_ctx || g_dlg.window < 0) return;
    if (kvn_profile_delete(ask->name) != 0) {
        _say(KVN_STATUS_ERROR, "cannot delete profile %s", ask->name);
        return;
    }
    _say(KVN_STATUS_INFO, "profile %s deleted", ask->name);
    _new_profile();
    _say(KVN_STATUS_INFO, "%s", k_new_profile);
    _refresh_list(nullptr);
}

void _delete_release(void *value) {
    free(value);
}

// ---- the authentication job ----------------------------------------------------------------

struct AUTH_JOB {
    KVN_SESSION *session; // owned until the done function takes it
    int rc;
    char error[1024];
    // The start-up connection also fetches the overview's figures on the
    // same worker: the display is still coming up, so they are on screen
    // with the window instead of one more round of calls after it.
    int prefetch;
    cJSON *sample;
    char sample_err[1024];
    char profile_name[256];
    uint64_t generation;
};

// The start-up authentication from the environment, until the dialog
// adopts it or its answer is dropped. Main thread only.
AUTH_JOB *g_early = nullptr;

void _auth_run(KVN_JOB *job) {
    AUTH_JOB *a = static_cast<AUTH_JOB *>(job->user);
    a->rc = kvn_session_authenticate(a->session, job->cancel);
    if (a->rc != 0)
        kvn_session_last_error(a->session, a->error, sizeof a->error);
    else if (a->prefetch)
        a->sample = kvn_quota_sample(a->session, job->cancel, a->sample_err, sizeof a->sample_err);
}

void _hide(void);

void _auth_done(KVN_JOB *job) {
    AUTH_JOB *a = static_cast<AUTH_JOB *>(job->user);
    if (a->generation != g_generation) return;
    g_dlg.in_progress = 0;
    KVN_APP *app = kvn_app_get();
    if (a->rc != 0 || !app) {
        _say(KVN_STATUS_ERROR, "connection failed: %s", a->error[0] ? a->error : "unknown error");
        return;
    }
    // As a Disconnect without the question: the old session's jobs are
    // cancelled and its late answers dropped.
    kvn_app_disconnect();
    app->session = a->session;
    a->session = nullptr;
    app->session_generation++;
    q_strcpy(app->config.last_profile, sizeof app->config.last_profile, a->profile_name);
    if (kvn_config_save(&app->config) != 0) q_log(Q_LOG_WARNING, "cannot write the settings file");
    KVN_SESSION_INFO info;
    memset(&info, 0, sizeof info);
    kvn_session_info(app->session, &info);
    _say(KVN_STATUS_INFO, "connected as %s to project %s (%d endpoints)", info.user_name, info.project_name,
         info.endpoint_count);
    _hide();
    if (a->sample) kvn_gui_main_overview_preload(app->session, a->sample, a->sample_err);
    a->sample = nullptr;
    kvn_app_connect_changed();
}

void _auth_free(void *user) {
    AUTH_JOB *a = static_cast<AUTH_JOB *>(user);
    if (a == g_early) g_early = nullptr;
    cJSON_Delete(a->sample);
    kvn_session_free(&a->session);
    q_secure_zero(a, sizeof *a);
    free(a);
}

AUTH_JOB *_submit_auth(const KVN_PROFILE *p, uint64_t generation, int prefetch = 0) {
    KVN_SESSION *s = kvn_session_new(p);
    if (!s) return nullptr;
    AUTH_JOB *a = nullptr;
    Q_CALLOC(a, 1, AUTH_JOB);
    if (!a) {
        kvn_session_free(&s);
        return nullptr;
    }
    a->session = s;
    a->generation = generation;
    a->prefetch = prefetch;
    q_strcpy(a->profile_name, sizeof a->profile_name, p->name);
    KVN_APP *app = kvn_app_get();
    // The job owns the record from here, even when it cannot start.
    if (kvn_jobs_submit("authenticating", _auth_run, _auth_done, _auth_free, a,
                        app ? app->session_generation : 0) < 0)
        return nullptr;
    return a;
}

void _connect(void) {
    if (g_dlg.in_progress) {
        _say(KVN_STATUS_ERROR, "%s", "a connection is already in progress");
        return;
    }
    _read_fields();
    KVN_PROFILE &p = g_dlg.profile;
    if (!p.auth_url[0]) {
        _say(KVN_STATUS_ERROR, "%s", "the authentication URL is required");
        return;
    }
    if (!p.secret[0]) {
        if (!p.vault[0]) {
            _say(KVN_STATUS_ERROR, "type the %s", _secret_word(p.auth_type));
            return;
        }
        if (!_unlock(true)) return;
        if (!p.secret[0]) {
            _say(KVN_STATUS_ERROR, "type the %s", _secret_word(p.auth_type));
            return;
        }
    }
    // A profile that cannot be written would be lost with the next start;
    // its message stays rather than be covered by the connection's.
    if (kvn_profile_name_valid(p.name) && !_save()) return;

    g_dlg.in_progress = 1;
    _say(KVN_STATUS_INFO, "connecting to %s ...", p.auth_url);
    if (!_submit_auth(&p, g_generation)) {
        g_dlg.in_progress = 0;
        _say(KVN_STATUS_ERROR, "connection failed: %s", "cannot start the authentication job");
    }
}

// ---- imports --------------------------------------------------------------------------------

void _openrc_chosen(const char *path, void *context) {
    if ((uintptr_t)context != (uintptr_t)g_generation || g_dlg.window < 0) return;
    size_t len = 0;
    char *text = kvn_paths_read_file(path, KVN_READ_CAP, &len);
    if (!text) {
        _say(KVN_STATUS_ERROR, "cannot read %s", path);
        return;
    }
    KVN_PROFILE p;
    const int n = kvn_profile_from_openrc(text, &p);
    q_secure_zero(text, len);
    free(text);
    const char *base = _base_name(path);
    if (n <= 0) {
        q_secure_zero(&p, sizeof p);
        _say(KVN_STATUS_ERROR, "no OS_* variable found in %s", base);
        return;
    }
    kvn_clouds_profile_name(p.project_name[0] ? p.project_name : base, p.name, sizeof p.name);
    _take_profile(&p);
    const bool secret = p.secret[0] != 0;
    q_secure_zero(&p, sizeof p);
    _say(KVN_STATUS_INFO, "imported %d variables from %s%s", n, base,
         secret ? "" : ": type the password, then Save or Connect");
}

void _import_cloud(const char *cloud) {
    CLOUDS_CHOOSER &c = g_dlg.clouds;
    KVN_PROFILE p;
    const int n = kvn_clouds_import_doc(c.clouds, c.secure, cloud, &p);
    if (n <= 0) {
        q_secure_zero(&p, sizeof p);
        _say(KVN_STATUS_ERROR, "cloud %s: nothing to import", cloud);
        return;
    }
    _take_profile(&p);
    const char *suffix = !p.auth_url[0] ? ": no auth_url (a vendor profile?), type it"
                         : p.secret[0]  ? ""
                                        : ": type the secret, then Save or Connect";
    q_secure_zero(&p, sizeof p);
    _say(KVN_STATUS_INFO, "imported cloud %s (%d settings)%s", cloud, n, suffix);
}

void _clouds_close(void) {
    if (g_ctx && g_dlg.clouds.window >= 0) q_gui_close_window(g_ctx, g_dlg.clouds.window);
    _clouds_release();
}

void _on_clouds_import(int, void *) {
    CLOUDS_CHOOSER &c = g_dlg.clouds;
    const int i = q_gui_listbox_get_selected(g_ctx, c.list);
    if (i < 0 || i >= c.count) {
        _say(KVN_STATUS_ERROR, "%s", "choose a cloud in the list");
        return;
    }
    std::string cloud = c.names[i];
    _import_cloud(cloud.c_str());
    _clouds_close();
}

void _on_clouds_cancel(int, void *) {
    _clouds_close();
}

int _tip(int id, const char *tip) {
    if (id >= 0 && tip) q_gui_widget_set_tooltip(g_ctx, id, tip);
    return id;
}

bool _build_clouds(void) {
    CLOUDS_CHOOSER &c = g_dlg.clouds;
    if (c.window >= 0) return true;
    const int win = q_gui_add_window(g_ctx, "Choose a cloud", 0, 0, k_clouds_w, k_clouds_h);
    if (win < 0) return false;
    q_gui_window_set_flags(g_ctx, win, Q_GUI_WIN_CLOSE_BTN);
    q_gui_window_set_zorder(g_ctx, win, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(
        g_ctx, win, [](int, void *) { _clouds_close(); }, nullptr);
    c.window = win;
    c.list = _tip(q_gui_add_listbox(g_ctx, win, 12, 12, 396, 260, 1, nullptr, nullptr),
                  "The clouds of the file: select the one to import");
    c.import = _tip(q_gui_add_button(g_ctx, win, "Import", 200, 284, 96, 30, 1, _on_clouds_import, nullptr),
                    "Fill the profile fields with the selected cloud");
    c.cancel = _tip(q_gui_add_button(g_ctx, win, "Cancel", 308, 284, 96, 30, 1, _on_clouds_cancel, nullptr),
                    "Import nothing (ESC)");
    if (c.list < 0 || c.import < 0 || c.cancel < 0) {
        q_log(Q_LOG_ERR, "cloud chooser: a widget could not be created");
        return false;
    }
    kvn_gui_layout_auto_anchor(win, c.list);
    q_gui_close_window(g_ctx, win);
    return true;
}

KVN_YAML_DOC *_read_yaml(const char *path) {
    size_t len = 0;
    char *text = kvn_paths_read_file(path, KVN_READ_CAP, &len);
    if (!text) return nullptr;
    KVN_YAML_DOC *doc = kvn_yaml_parse(text);
    q_secure_zero(text, len);
    free(text);
    return doc;
}

void _clouds_chosen(const char *path, void *context) {
    if ((uintptr_t)context != (uintptr_t)g_generation || g_dlg.window < 0) return;
    _clouds_close();
    CLOUDS_CHOOSER &c = g_dlg.clouds;
    c.clouds = _read_yaml(path);
    if (!c.clouds) {
        _say(KVN_STATUS_ERROR, "cannot read %s", path);
        return;
    }
    const char *base = _base_name(path);
    q_strcpy(c.base, sizeof c.base, base);
    // The secure file beside the chosen one, else the standard one.
    std::string folder(path, (size_t)(base - path));
    for (const char *name : {"secure.yaml", "secure.yml"}) {
        if (!strcmp(name, base)) continue;
        std::string candidate = folder + name;
        if (_readable(candidate.c_str()) && (c.secure = _read_yaml(candidate.c_str()))) break;
    }
    char found[KVN_PATH_MAX];
    if (!c.secure && kvn_clouds_find("secure", found, sizeof found) && strcmp(found, path) != 0)
        c.secure = _read_yaml(found);

    c.count = kvn_yaml_cloud_names(c.clouds, &c.names);
    if (c.count <= 0) {
        _say(KVN_STATUS_ERROR, "no cloud in %s (a clouds: mapping is expected)", base);
        _clouds_release();
        return;
    }
    if (c.count == 1) {
        std::string cloud = c.names[0];
        _import_cloud(cloud.c_str());
        _clouds_release();
        return;
    }
    if (!_build_clouds()) {
        _clouds_release();
        return;
    }
    char title[160];
    q_format(title, sizeof title, "Choose a cloud of %.80s", c.base);
    q_gui_window_set_caption(g_ctx, c.window, title);
    q_gui_listbox_clear(g_ctx, c.list);
    for (int i = 0; i < c.count; i++)
        q_gui_listbox_add_item(g_ctx, c.list, c.names[i]);
    q_gui_listbox_set_selected(g_ctx, c.list, 0, 1);
    kvn_gui_layout_place_popup(c.window, "clouds", k_clouds_w, k_clouds_h);
    q_gui_open_window(g_ctx, c.window);
    q_gui_raise_window(g_ctx, c.window);
    q_gui_request_redraw(g_ctx);
}

bool _from_env(void) {
    KVN_PROFILE p;
    char msg[1024];
    const int n = kvn_import_environment(&p, msg, sizeof msg);
    if (n < 0) {
        q_secure_zero(&p, sizeof p);
        _say(KVN_STATUS_ERROR, "%s", msg);
        return false;
    }
    _take_profile(&p);
    q_secure_zero(&p, sizeof p);
    _say(KVN_STATUS_INFO, "%s", msg);
    return true;
}

void _ca_chosen(const char *path, void *context) {
    if ((uintptr_t)context != (uintptr_t)g_generation || g_dlg.window < 0) return;
    _set_text(g_dlg.ca_file, path);
}

// ---- buttons ----------------------------------------------------------------------------------

void _on_list(int, int index, int selected, void *) {
    if (!selected || index < 0 || index >= g_dlg.name_count) return;
    std::string name = g_dlg.names[index];
    _load(name.c_str(), false);
}

void _on_new(int, void *) {
    _new_profile();
    _say(KVN_STATUS_INFO, "%s", k_new_profile);
}

void *_gen_context(void) {
    return (void *)(uintptr_t)g_generation;
}

void _on_import_openrc(int, void *) {
    kvn_gui_choose_file("Import openrc file", KVN_CHOOSE_OPEN, nullptr, _openrc_chosen, _gen_context());
}

void _on_import_clouds(int, void *) {
    kvn_gui_choose_file("Import clouds.yaml", KVN_CHOOSE_OPEN, nullptr, _clouds_chosen, _gen_context());
}

void _on_from_env(int, void *) {
    _from_env();
}

void _on_delete(int, void *) {
    _read_fields();
    if (!kvn_profile_name_valid(g_dlg.profile.name)) {
        _say(KVN_STATUS_ERROR, "%s", "invalid profile name (letters, digits, - _ . and spaces)");
        return;
    }
    DELETE_ASK *ask = nullptr;
    Q_CALLOC(ask, 1, DELETE_ASK);
    if (!ask) return;
    q_strcpy(ask->name, sizeof ask->name, g_dlg.profile.name);
    ask->generation = g_generation;
    char first[320];
    q_format(first, sizeof first, "Delete the profile '%s'?", ask->name);
    kvn_gui_confirm("Delete profile", first, "The stored secret, if any, is deleted too.", _delete_yes, ask,
                    _delete_release);
}

void _on_method(int, int index, void *) {
    _apply_method(index < 0 ? 0 : index);
}

void _on_browse(int, void *) {
    const char *start = _text(g_dlg.ca_file);
    kvn_gui_choose_file("CA bundle (PEM)", KVN_CHOOSE_OPEN, *start ? start : nullptr, _ca_chosen,
                        _gen_context());
}

void _on_unlock(int, void *) {
    _unlock(false);
}

void _on_save(int, void *) {
    _save();
}

void _on_connect(int, void *) {
    _connect();
}

// Hiding always takes the typed secrets with it: the master password is never
// kept, and the secret lives on in the session only.
void _hide(void) {
    if (!g_ctx || g_dlg.window < 0) return;
    _wipe_field(g_dlg.master);
    _wipe_field(g_dlg.secret);
    kvn_profile_wipe_secret(&g_dlg.profile);
    _clouds_close();
    q_gui_close_window(g_ctx, g_dlg.window);
    q_log(Q_LOG_INFO, "connect dialog closed");
}

void _on_close(int, void *) {
    _hide();
}

// ---- building ---------------------------------------------------------------------------------

// One row of the form: a label and an input, with the same tooltip.
int _row(float y, const char *label, const char *placeholder, const char *tip, int max_len, float input_w,
         int *label_id = nullptr) {
    const int l = _tip(q_gui_add_label(g_ctx, g_dlg.window, label, 234, y, 156, 26, 0), tip);
    if (label_id) *label_id = l;
    const int in = q_gui_add_textarea(g_ctx, g_dlg.window, 394, y, input_w, 26, 0, max_len, nullptr, nullptr);
    if (in < 0 || l < 0) return -1;
    q_gui_textarea_set_placeholder(g_ctx, in, placeholder);
    return _tip(in, tip);
}

int _button(const char *text, float x, float y, float w, float h, Q_GUI_CLICK_CB cb, const char *tip) {
    return _tip(q_gui_add_button(g_ctx, g_dlg.window, text, x, y, w, h, 1, cb, nullptr), tip);
}

// The left column follows the automatic rule, its list taking the height.
// The form beside it does not grow downwards: its rows stay together under
// the top edge and take the width, their buttons keep to the right edge, and
// only the message and the three buttons below it follow the bottom edge.
void _anchor(int win) {
    kvn_gui_layout_auto_anchor(win, g_dlg.list);
    const Q_GUI_WINDOW *w = q_gui_get_window(g_ctx, win);
    if (!w) return;
    const CONNECT_DIALOG &d = g_dlg;
    for (int i = 0; i < w->widget_count; i++) {
        const Q_GUI_WIDGET *wd = w->widgets[i];
        const int id = wd->id;
        if (wd->x < 230) continue;
        int flags = KVN_ANCHOR_LEFT | KVN_ANCHOR_TOP;
        if (id == d.save || id == d.connect || id == d.close)
            flags = KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM;
        else if (id == d.message)
            flags = KVN_ANCHOR_LEFT | KVN_ANCHOR_RIGHT | KVN_ANCHOR_BOTTOM;
        else if (id == d.browse || id == d.unlock)
            flags = KVN_ANCHOR_RIGHT | KVN_ANCHOR_TOP;
        else if (wd->kind == Q_GUI_KIND_TEXTAREA || wd->kind == Q_GUI_KIND_COMBOBOX)
            flags = KVN_ANCHOR_LEFT | KVN_ANCHOR_RIGHT | KVN_ANCHOR_TOP;
        kvn_gui_layout_anchor(win, id, flags);
    }
}

bool _build(void) {
    if (g_dlg.window >= 0) return true;
    const int win = q_gui_add_window(g_ctx, "Connect to an OpenStack cloud", 0, 0, k_w, k_h);
    if (win < 0) return false;
    q_gui_window_set_flags(g_ctx, win, Q_GUI_WIN_CLOSE_BTN | Q_GUI_WIN_SCROLLABLE);
    q_gui_window_set_zorder(g_ctx, win, Q_GUI_ZORDER_POPUP, 0);
    q_gui_window_set_close_callback(g_ctx, win, _on_close, nullptr);
    CONNECT_DIALOG &d = g_dlg;
    d.window = win;

    // Left column: the profiles and what fills the form.
    const int profiles = q_gui_add_label(g_ctx, win, "Profiles", 12, 10, 210, 26, 0);
    d.list = _tip(q_gui_add_listbox(g_ctx, win, 12, 40, 210, 372, 1, _on_list, nullptr),
                  "Stored profiles: click to load one");
    d.new_btn = _button("New", 12, 420, 210, 28, _on_new, "Clear the fields to create a new profile");
    d.import_openrc = _button("Import openrc...", 12, 454, 210, 28, _on_import_openrc,
                              "Read OS_* variables from an openrc.sh file (as downloaded from Horizon)");
    d.import_clouds = _button("Import clouds.yaml...", 12, 488, 210, 28, _on_import_clouds,
                              "Read a cloud of an openstack CLI clouds.yaml (and its secure.yaml)");
    d.from_env = _button("From environment", 12, 522, 210, 28, _on_from_env,
                         "Use the OS_* variables of the shell that started the program (a sourced openrc, or "
                         "OS_CLOUD for a clouds.yaml cloud)");
    d.delete_btn =
        _button("Delete profile", 12, 556, 210, 28, _on_delete, "Delete the selected profile file");

    // Right column: the profile's fields, each as wide as the record keeps.
    const float W = 446;
    d.name = _row(10, "Profile name", "e.g. my-cloud-prod", "File name of the profile", 255, W);
    d.auth_url = _row(42, "Auth URL", "https://keystone.example.com:5000/v3",
                      "Keystone v3 endpoint (OS_AUTH_URL)", 2047, W);
    const char *type_tip = "Authentication method (OS_AUTH_TYPE)";
    _tip(q_gui_add_label(g_ctx, win, "Auth type", 234, 74, 156, 26, 0), type_tip);
    d.auth_type = _tip(q_gui_add_combobox(g_ctx, win, 394, 74, W, 26, _on_method, nullptr), type_tip);
    for (const char *m : {"Password", "Application credential", "Token"})
        q_gui_combobox_add_item(g_ctx, d.auth_type, m);
    d.username = _row(106, "Username", "user name (OS_USERNAME)", "OS_USERNAME", 255, W, &d.username_label);
    d.cred_id = _row(106, "Credential ID", "OS_APPLICATION_CREDENTIAL_ID",
                     "Application credential id (or use the name below)", 255, W, &d.cred_id_label);
    d.user_domain = _row(138, "User domain", "Default", "OS_USER_DOMAIN_NAME, or a domain id", 255, W,
                         &d.user_domain_label);
    d.cred_name = _row(138, "Credential name", "OS_APPLICATION_CREDENTIAL_NAME",
                       "Application credential name (needs the username too)", 255, W, &d.cred_name_label);
    d.project_name = _row(170, "Project name", "OS_PROJECT_NAME",
                          "Project to scope to (empty with an application credential)", 255, W);
    d.project_id = _row(202, "Project ID", "OS_PROJECT_ID (overrides the name)",
                        "Project id, takes precedence over the name", 255, W);
    d.project_domain =
        _row(234, "Project domain", "Default", "OS_PROJECT_DOMAIN_NAME, or a domain id", 255, W);
    d.region = _row(266, "Region", "empty = first region of the catalog", "OS_REGION_NAME", 255, W);
    const char *if_tip = "Catalog endpoint interface (OS_INTERFACE)";
    _tip(q_gui_add_label(g_ctx, win, "Interface", 234, 298, 156, 26, 0), if_tip);
    d.interface = _tip(q_gui_add_combobox(g_ctx, win, 394, 298, W, 26, nullptr, nullptr), if_tip);
    for (const char *i : {"public", "internal", "admin"})
        q_gui_combobox_add_item(g_ctx, d.interface, i);
    d.ca_file = _row(330, "CA bundle", "optional extra CA file (OS_CACERT)",
                     "PEM file trusted in addition to the system store", 2047, 350);
    d.browse = _button("Browse...", 750, 330, 90, 26, _on_browse, "Choose the CA file");
    d.insecure = _tip(q_gui_add_checkbox(g_ctx, win, "Do not verify TLS certificates (insecure)", 394, 362, W,
                                         26, 0, nullptr, nullptr),
                      "Accept any server certificate. Only for test clouds with self-signed certificates");
    d.secret = _row(402, "Password", "secret (kept in memory only unless stored below)",
                    "Password, application credential secret or token", 1023, W, &d.secret_label);
    d.store = _tip(q_gui_add_checkbox(g_ctx, win, "Store the secret encrypted in the profile", 394, 434, W,
                                      26, 0, nullptr, nullptr),
                   "AES-256-GCM with a key derived from the master password (PBKDF2-SHA256)");
    d.master = _row(466, "Master password", "needed to store or to use a stored secret",
                    "Never stored: it derives the key of the stored secret", (int)k_master_max - 1, 348);
    d.unlock =
        _button("Unlock", 750, 466, 90, 26, _on_unlock, "Decrypt the stored secret into the password field");
    d.message = q_gui_add_label(g_ctx, win, "", 234, 508, 606, 26, 0);
    d.save = _button("Save", 510, 540, 100, 30, _on_save,
                     "Write the profile (the secret only when asked, encrypted)");
    d.connect = _button("Connect", 620, 540, 110, 30, _on_connect,
                        "Authenticate with Keystone and load the service catalog");
    d.close = _button("Close", 740, 540, 100, 30, _on_close, "Close (ESC)");

    const int all[] = {profiles,     d.list,           d.new_btn,     d.import_openrc, d.import_clouds,
                       d.from_env,   d.delete_btn,     d.name,        d.auth_url,      d.auth_type,
                       d.username,   d.cred_id,        d.user_domain, d.cred_name,     d.project_name,
                       d.project_id, d.project_domain, d.region,      d.interface,     d.ca_file,
                       d.browse,     d.insecure,       d.secret,      d.store,         d.master,
                       d.unlock,     d.message,        d.save,        d.connect,       d.close};
    for (int id : all)
        if (id < 0) {
            q_log(Q_LOG_ERR, "connect dialog: a widget could not be created");
            return false;
        }
    q_gui_textarea_set_mask_char(g_ctx, d.secret, '*');
    q_gui_textarea_set_mask_char(g_ctx, d.master, '*');
    _anchor(win);
    q_gui_close_window(g_ctx, win);

    kvn_profile_defaults(&d.profile);
    KVN_APP *app = kvn_app_get();
    const char *last = app ? app->config.last_profile : "";
    _refresh_list(last);
    _show_profile();
    if (*last && q_gui_listbox_get_selected(g_ctx, d.list) >= 0)
        _load(last, true);
    else
        _say(KVN_STATUS_INFO, "%s", k_new_profile);
    return true;
}
} // namespace

void kvn_gui_connect_open(void) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx) return;
    if (!_build()) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the connect dialog");
        return;
    }
    const float h = ctx->display_h - 40 < k_h ? ctx->display_h - 40 : k_h;
    kvn_gui_layout_place_popup(g_dlg.window, "connect", k_w, h > 0 ? h : k_h);
    q_gui_open_window(ctx, g_dlg.window);
    q_gui_raise_window(ctx, g_dlg.window);
    q_gui_request_redraw(ctx);
}

int kvn_gui_connect_start_env(void) {
    if (g_early) return 1;
    KVN_PROFILE p;
    char msg[1024];
    int started = 0;
    if (kvn_import_environment(&p, msg, sizeof msg) >= 0 && p.auth_url[0] && p.secret[0]) {
        // Generation 0 matches no dialog: an answer nobody adopted is dropped.
        g_early = _submit_auth(&p, 0, 1);
        started = g_early != nullptr;
    }
    q_secure_zero(&p, sizeof p);
    q_secure_zero(msg, sizeof msg);
    return started;
}

void kvn_gui_connect_from_env(void) {
    kvn_gui_connect_open();
    if (g_dlg.window < 0) return;
    // A failed import leaves the profile shown before, which nobody asked
    // to connect with.
    if (!_from_env()) return;
    if (!g_early || g_dlg.in_progress) {
        _connect();
        return;
    }
    // The authentication started before the window: it runs with what the
    // dialog now shows, so it is adopted as the dialog's own connect would
    // have started it, after the same save of the profile.
    AUTH_JOB *a = g_early;
    g_early = nullptr;
    _read_fields();
    if (kvn_profile_name_valid(g_dlg.profile.name) && !_save()) return;
    a->generation = g_generation;
    g_dlg.in_progress = 1;
    _say(KVN_STATUS_INFO, "connecting to %s ...", g_dlg.profile.auth_url);
}

int kvn_gui_connect_close_window(int window) {
    Q_GUI_CTX *ctx = _ctx();
    if (!ctx || window < 0) return 0;
    if (window == g_dlg.clouds.window && q_gui_window_is_open(ctx, window)) {
        _clouds_close();
        return 1;
    }
    if (window == g_dlg.window && q_gui_window_is_open(ctx, window)) {
        _hide();
        return 1;
    }
    return 0;
}

void kvn_gui_connect_shutdown(void) {
    _reset();
    g_ctx = nullptr;
}

int kvn_gui_connect_in_progress(void) {
    return g_dlg.in_progress;
}

void kvn_gui_connect_ids(KVN_GUI_CONNECT_IDS *out) {
    if (!out) return;
    _ctx();
    const CONNECT_DIALOG &d = g_dlg;
    *out = KVN_GUI_CONNECT_IDS{d.window,
                               d.list,
                               d.new_btn,
                               d.import_openrc,
                               d.import_clouds,
                               d.from_env,
                               d.delete_btn,
                               d.name,
                               d.auth_url,
                               d.auth_type,
                               d.username_label,
                               d.username,
                               d.cred_id_label,
                               d.cred_id,
                               d.user_domain_label,
                               d.user_domain,
                               d.cred_name_label,
                               d.cred_name,
                               d.project_name,
                               d.project_id,
                               d.project_domain,
                               d.region,
                               d.interface,
                               d.ca_file,
                               d.browse,
                               d.insecure,
                               d.secret_label,
                               d.secret,
                               d.store,
                               d.master,
                               d.unlock,
                               d.message,
                               d.save,
                               d.connect,
                               d.close,
                               d.clouds.window,
                               d.clouds.list,
                               d.clouds.import,
                               d.clouds.cancel};
}
