#include "kvn_gui_main.h"
#include "kvn_gui_sgrules.h"
#include "kvn_gui_term.h"
#include "kvn_gui_wizard.h"
#include "kvn_gui_topology.h"

#include <allegro5/allegro.h>
#include <cJSON.h>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_form.h"
#include "kvn_gui_resource.h"
#include "kvn_history.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"

namespace {
const char *const KVN_VERSION = "0.1.0";
const char *const KVN_BUILD_TAG = "dev";

const float k_toolbar_h = 36, k_status_h = 26;
const int k_project_id_max = 256;

// The node data of the four views the tree offers besides the resources; the
// tree hands these addresses back on activation.
char g_mark_overview, g_mark_history, g_mark_topology, g_mark_usage, g_mark_service;

// Views that later builds bring: until then an empty window titled with the
// view's name stands in for each.
struct STAND_IN {
    int window = -1;
};

struct MAIN {
    Q_GUI_CTX *ctx = nullptr;
    int toolbar = -1, services = -1, status = -1;
    int connect = -1, disconnect = -1, project_label = -1, projects = -1, connection = -1;
    int refresh = -1, settings = -1, about = -1;
    int message = -1, running = -1, progress = -1, cancel = -1;
    Q_GUI_TREE *tree = nullptr;
    int view_kind = KVN_VIEW_OVERVIEW;
    const KVN_RESOURCE *resource = nullptr;
    int view_window = -1;
    STAND_IN stand_in[KVN_VIEW_KINDS];
    std::vector<std::string> project_ids;
    int filling = 0;
    KVN_HISTORY_SCHEDULE schedule = {};
    int dragging = 0;
    int over_splitter = 0;
    int shown_status_kind = -1;
    int dirty = 0;
};

// Main thread only, like every window.
MAIN g;

KVN_APP *_app(void) {
    return kvn_app_get();
}

float _display_w(void) {
    return g.ctx ? g.ctx->display_w : 0;
}

float _display_h(void) {
    return g.ctx ? g.ctx->display_h : 0;
}

float _sidebar(void) {
    KVN_APP *app = _app();
    float s = app ? app->config.sidebar_w : 270;
    if (!(s >= (float)KVN_SIDEBAR_MIN)) s = (float)KVN_SIDEBAR_MIN;
    return s;
}

// Setters that leave the toolkit alone when nothing changes, so an idle
// frame asks for no redraw.
void _set_label(int id, const char *text) {
    if (strcmp(q_gui_label_get_text(g.ctx, id), text) != 0) q_gui_label_set_text(g.ctx, id, text);
}

void _set_enabled(int id, int flag) {
    if (q_gui_widget_is_enabled(g.ctx, id) != (flag ? 1 : 0)) q_gui_widget_set_enabled(g.ctx, id, flag);
}

void _set_visible(int id, int flag) {
    if (q_gui_widget_is_visible(g.ctx, id) != (flag ? 1 : 0)) q_gui_widget_set_visible(g.ctx, id, flag);
}

int _frame_window(const char *title, float x, float y, float w, float h) {
    const int id = q_gui_add_window(g.ctx, title, x, y, w, h);
    if (id < 0) return -1;
    q_gui_window_set_flags(g.ctx, id, Q_GUI_WIN_FIXED | Q_GUI_WIN_NO_TITLEBAR);
    q_gui_window_set_zorder(g.ctx, id, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
    q_gui_open_window(g.ctx, id);
    return id;
}

int _button(int window, const char *label, float x, float w, Q_GUI_CLICK_CB cb, const char *tooltip) {
    const int id = q_gui_add_button(g.ctx, window, label, x, 4, w, 28, 0, cb, nullptr);
    if (id >= 0 && tooltip) q_gui_widget_set_tooltip(g.ctx, id, tooltip);
    return id;
}

// ---- tree ---------------------------------------------------------------------------

const char *_special_name(const void *mark) {
    if (mark == &g_mark_overview) return "Overview (quotas, usage)";
    if (mark == &g_mark_history) return "History charts";
    if (mark == &g_mark_topology) return "Network topology";
    if (mark == &g_mark_usage) return "Usage report";
    return nullptr;
}

void _fill_tree(void) {
    if (!g.tree) return;
    KVN_APP *app = _app();
    Q_GUI_TREE_STATE *state = q_gui_tree_save_state(g.tree);
    const int old_sel = q_gui_tree_get_selected(g.tree);
    void *old_data = old_sel >= 0 ? g.tree->nodes[old_sel].user : nullptr;
    q_gui_tree_clear(g.tree);
    for (char *mark : {&g_mark_overview, &g_mark_history, &g_mark_topology, &g_mark_usage})
        q_gui_tree_add_node(g.tree, _special_name(mark), -1, mark);

    KVN_SESSION *s = app ? app->session : nullptr;
    const int admin = s ? kvn_session_is_admin(s) : 0;
    const int show_restricted = app ? app->config.show_restricted : 0;
    const int show_unavailable = app ? app->config.show_unavailable : 0;
    int hidden = 0, skipped = 0;
    const KVN_API *api = app ? app->api : nullptr;
    for (int i = 0; api && i < api->service_count; i++) {
        const KVN_SERVICE *svc = api->services[i];
        int visible = 0;
        for (int r = 0; r < svc->resource_count; r++)
            if (!s || kvn_api_allowed(svc->resources[r], nullptr, admin, show_restricted)) visible++;
        hidden += svc->resource_count - visible;
        if (visible == 0) continue;
        const char *suffix = "";
        if (s && !kvn_session_has_service(s, svc->name)) {
            if (!show_unavailable) {
                skipped++;
                continue;
            }
            suffix = "  (not in catalog)";
        }
        char label[128];
        q_format(label, sizeof label, "%s%s", svc->title ? svc->title : svc->name, suffix);
        const int node = q_gui_tree_add_node(g.tree, label, -1, &g_mark_service);
        if (node < 0) break;
        for (int r = 0; r < svc->resource_count; r++) {
            KVN_RESOURCE *res = svc->resources[r];
            if (s && !kvn_api_allowed(res, nullptr, admin, show_restricted)) continue;
            if (q_gui_tree_add_node(g.tree, res->title ? res->title : res->id, node, res) < 0) break;
        }
    }
    if (state) q_gui_tree_restore_state(g.tree, state);
    q_gui_tree_free_state(&state);
    int found = old_data && old_data != &g_mark_service ? q_gui_tree_find(g.tree, old_data) : -1;
    if (found < 0 && g.view_kind == KVN_VIEW_RESOURCE) {
        // The resource shown is hidden now (another project, fewer roles).
        g.view_kind = KVN_VIEW_OVERVIEW;
        g.resource = nullptr;
        found = q_gui_tree_find(g.tree, &g_mark_overview);
    }
    if (found < 0) found = q_gui_tree_get_selected(g.tree) >= 0 ? q_gui_tree_get_selected(g.tree) : 0;
    q_gui_tree_select(g.tree, found);
    if (s && hidden)
        q_log(Q_LOG_INFO,
              "%d administrator resources hidden (Settings: show operations my roles do not allow)", hidden);
    if (s && skipped)
        q_log(Q_LOG_INFO,
              "%d services not in the catalog hidden (Settings: show services this cloud does not offer)",
              skipped);
}

// ---- views --------------------------------------------------------------------------

const char *_view_name(void) {
    switch (g.view_kind) {
    case KVN_VIEW_HISTORY:
        return _special_name(&g_mark_history);
    case KVN_VIEW_TOPOLOGY:
        return _special_name(&g_mark_topology);
    case KVN_VIEW_USAGE:
        return _special_name(&g_mark_usage);
    case KVN_VIEW_RESOURCE:
        return g.resource && g.resource->title ? g.resource->title : "Resource panel";
    default:
        return _special_name(&g_mark_overview);
    }
}

void _content_rect(float *x, float *y, float *w, float *h) {
    const float s = _sidebar();
    *x = s;
    *y = k_toolbar_h;
    *w = _display_w() - s;
    *h = _display_h() - k_toolbar_h - k_status_h;
    if (*w < 1) *w = 1;
    if (*h < 1) *h = 1;
}

void _hide_views(void) {
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    if (ov.window >= 0 && q_gui_window_is_open(g.ctx, ov.window)) q_gui_close_window(g.ctx, ov.window);
    KVN_HISTORY_IDS hist;
    kvn_gui_main_history_ids(&hist);
    if (hist.window >= 0 && q_gui_window_is_open(g.ctx, hist.window)) q_gui_close_window(g.ctx, hist.window);
    KVN_USAGE_IDS usage;
    kvn_gui_main_usage_ids(&usage);
    if (usage.window >= 0 && q_gui_window_is_open(g.ctx, usage.window))
        q_gui_close_window(g.ctx, usage.window);
    KVN_TOPOLOGY_IDS topo;
    kvn_gui_topology_ids(&topo);
    if (topo.window >= 0 && q_gui_window_is_open(g.ctx, topo.window)) q_gui_close_window(g.ctx, topo.window);
    kvn_gui_resource_hide_all();
    for (STAND_IN &si : g.stand_in)
        if (si.window >= 0 && q_gui_window_is_open(g.ctx, si.window)) q_gui_close_window(g.ctx, si.window);
}

// Re-places the current view in the content rectangle, building it on first
// use; `shown` runs what showing it means (a first load).
void _place_view(bool shown) {
    float x, y, w, h;
    _content_rect(&x, &y, &w, &h);
    if (g.view_kind == KVN_VIEW_OVERVIEW) {
        g.view_window = kvn_gui_main_overview_window(x, y, w, h);
        if (shown) kvn_gui_main_overview_shown();
        return;
    }
    if (g.view_kind == KVN_VIEW_TOPOLOGY) {
        g.view_window = kvn_gui_topology_show(x, y, w, h);
        return;
    }
    if (g.view_kind == KVN_VIEW_HISTORY) {
        g.view_window = kvn_gui_main_history_window(x, y, w, h);
        if (shown) kvn_gui_main_history_reload();
        return;
    }
    if (g.view_kind == KVN_VIEW_USAGE) {
        g.view_window = kvn_gui_main_usage_window(x, y, w, h);
        if (shown) kvn_gui_main_usage_shown();
        return;
    }
    if (g.view_kind == KVN_VIEW_RESOURCE && g.resource) {
        if (shown)
            kvn_gui_resource_show(g.resource, x, y, w, h);
        else
            kvn_gui_resource_relayout(x, y, w, h);
        KVN_RES_IDS ids;
        g.view_window = kvn_gui_resource_ids(g.resource, &ids) == 0 ? ids.window : -1;
        return;
    }
    STAND_IN &si = g.stand_in[g.view_kind];
    if (si.window < 0 || !q_gui_get_window(g.ctx, si.window)) {
        si.window = q_gui_add_window(g.ctx, _view_name(), x, y, w, h);
        if (si.window < 0) return;
        // A title bar, unlike the real views: the title is all it shows.
        q_gui_window_set_flags(g.ctx, si.window, Q_GUI_WIN_FIXED);
        q_gui_window_set_zorder(g.ctx, si.window, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
    }
    Q_GUI_WINDOW *win = q_gui_get_window(g.ctx, si.window);
    const char *shown_title = win->caption[0] ? win->caption : win->title;
    if (strcmp(shown_title, _view_name()) != 0) q_gui_window_set_caption(g.ctx, si.window, _view_name());
    q_gui_window_set_rect(g.ctx, si.window, x, y, w, h);
    if (!q_gui_window_is_open(g.ctx, si.window)) q_gui_open_window(g.ctx, si.window);
    g.view_window = si.window;
    if (shown) kvn_app_status(KVN_STATUS_INFO, "%s is not available in this build", _view_name());
}

void _show_view(void) {
    _hide_views();
    _place_view(true);
    g.dirty = 1;
}

// A node of the tree was opened (click, Enter, double click, --open).
void _on_tree(int node, void *) {
    if (!g.tree || node < 0 || node >= g.tree->count) return;
    KVN_APP *app = _app();
    if (app && app->status_kind != KVN_STATUS_INFO) kvn_app_status(KVN_STATUS_INFO, "%s", "");
    void *data = g.tree->nodes[node].user;
    if (!data || data == &g_mark_service) return;
    if (data == &g_mark_overview)
        g.view_kind = KVN_VIEW_OVERVIEW;
    else if (data == &g_mark_history)
        g.view_kind = KVN_VIEW_HISTORY;
    else if (data == &g_mark_topology)
        g.view_kind = KVN_VIEW_TOPOLOGY;
    else if (data == &g_mark_usage)
        g.view_kind = KVN_VIEW_USAGE;
    else {
        g.view_kind = KVN_VIEW_RESOURCE;
        g.resource = static_cast<const KVN_RESOURCE *>(data);
    }
    _show_view();
}

// ---- toolbar ------------------------------------------------------------------------

void _on_connect(int, void *) {
    kvn_gui_connect_open();
}

void _disconnect_confirmed(void *) {
    kvn_app_disconnect();
    kvn_app_connect_changed();
    kvn_app_status(KVN_STATUS_INFO, "%s", "disconnected");
}

void _on_disconnect(int, void *) {
    KVN_APP *app = _app();
    if (!app || !app->session) return;
    kvn_gui_confirm("Disconnect", "Disconnect from the cloud?", "Running operations are cancelled.",
                    _disconnect_confirmed, nullptr, nullptr);
}

void _on_refresh(int, void *) {
    kvn_gui_main_refresh();
}

// The visibility switches and the theme take effect without a restart.
void _settings_saved(void *) {
    const int old_kind = g.view_kind;
    _fill_tree();
    if (g.view_kind != old_kind) {
        _hide_views();
        _place_view(true);
    } else {
        _place_view(false);
    }
    g.shown_status_kind = -1;
    g.dirty = 1;
}

void _on_settings(int, void *) {
    kvn_gui_settings_open(_settings_saved, nullptr);
}

void _on_cancel(int, void *) {
    kvn_jobs_cancel_all();
    kvn_app_status(KVN_STATUS_INFO, "%s", "cancel requested");
}

struct TEXT {
    std::string s;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        char buf[4096];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        s += buf;
    }
};

void _on_about(int, void *) {
    KVN_APP *app = _app();
    TEXT t;
    t.add("Kelvane %s (%s)\n", KVN_VERSION, KVN_BUILD_TAG);
    t.add("A native OpenStack client: its own GUI on Allegro 5 and quarnel-library, the REST APIs called "
          "directly.\n\n");
    const KVN_API *api = app ? app->api : nullptr;
    KVN_SESSION *s = app ? app->session : nullptr;
    int resources = 0, operations = 0;
    if (api) kvn_api_count(api, &resources, &operations);
    t.add("API descriptors: %d services, %d resources, %d operations\n", api ? api->service_count : 0,
          resources, operations);
    for (int i = 0; api && i < api->service_count; i++) {
        const KVN_SERVICE *svc = api->services[i];
        t.add("  %-20s %3d resources  %s\n", svc->name, svc->resource_count,
              s && !kvn_session_has_service(s, svc->name) ? "(not in this catalog)" : "");
    }
    if (api && api->error_text[0]) t.add("\nDescriptor errors:\n%s\n", api->error_text);
    KVN_SESSION_INFO info;
    if (s && kvn_session_info(s, &info) == 0) {
        KVN_PROFILE p;
        char auth_url[2048] = "";
        if (kvn_session_profile(s, &p) == 0) q_strcpy(auth_url, sizeof auth_url, p.auth_url);
        kvn_profile_wipe_secret(&p);
        t.add("\nConnected to %s\nUser %s (%s)\nProject %s (%s)\nRoles %s\n\nCatalog:\n", auth_url,
              info.user_name, info.user_id, info.project_name, info.project_id, info.roles);
        KVN_ENDPOINT_INFO e;
        std::vector<std::string> types;
        for (int i = 0; kvn_session_endpoint_at(s, i, &e) == 0; i++) {
            t.add("  %-16s %-10s %-9s %s\n", e.type, e.region, e.interface, e.url);
            bool seen = false;
            for (const std::string &x : types)
                seen = seen || x == e.type;
            if (!seen) types.push_back(e.type);
        }
        bool header = false;
        for (const std::string &type : types) {
            char lo[16], hi[16];
            if (!kvn_session_cached_microversion(s, type.c_str(), lo, sizeof lo, hi, sizeof hi)) continue;
            if (!header) t.add("%s", "\nMicroversions:\n");
            header = true;
            t.add("  %-16s %s .. %s\n", type.c_str(), lo[0] ? lo : "-", hi[0] ? hi : "-");
        }
    }
    kvn_gui_show_result("About Kelvane", t.s.c_str(), 0, nullptr);
}

// ---- projects -----------------------------------------------------------------------

void _clear_projects(void) {
    g.filling = 1;
    g.project_ids.clear();
    q_gui_combobox_clear(g.ctx, g.projects);
    g.filling = 0;
}

void _on_projects(KVN_REQ *req, void *) {
    KVN_APP *app = _app();
    if (!g.ctx || !app) return;
    _clear_projects();
    g.filling = 1;
    KVN_SESSION_INFO info;
    const bool have = app->session && kvn_session_info(app->session, &info) == 0;
    int current = -1;
    const cJSON *list = kvn_result_ok(req->result)
                            ? cJSON_GetObjectItemCaseSensitive(req->result->json, "projects")
                            : nullptr;
    const cJSON *p;
    if (!cJSON_IsArray(list)) list = nullptr;
    cJSON_ArrayForEach(p, list) {
        const cJSON *id = cJSON_GetObjectItemCaseSensitive(p, "id");
        const cJSON *name = cJSON_GetObjectItemCaseSensitive(p, "name");
        if (!cJSON_IsString(id)) continue;
        if (q_gui_combobox_add_item(g.ctx, g.projects,
                                    cJSON_IsString(name) ? name->valuestring : id->valuestring) < 0)
            break;
        if (have && !strcmp(id->valuestring, info.project_id)) current = (int)g.project_ids.size();
        g.project_ids.emplace_back(id->valuestring, strnlen(id->valuestring, k_project_id_max - 1));
    }
    if (g.project_ids.empty() && have) {
        q_gui_combobox_add_item(g.ctx, g.projects, info.project_name);
        g.project_ids.emplace_back(info.project_id);
        current = 0;
    }
    q_gui_combobox_set_selected(g.ctx, g.projects, current >= 0 ? current : 0);
    g.filling = 0;
    g.dirty = 1;
}

struct RESCOPE_JOB {
    KVN_SESSION *session; // a reference
    char project_id[k_project_id_max];
    int rc;
};

void _rescope_run(KVN_JOB *job) {
    auto *r = static_cast<RESCOPE_JOB *>(job->user);
    r->rc = kvn_session_rescope(r->session, r->project_id, job->cancel);
}

void _rescope_done(KVN_JOB *job) {
    auto *r = static_cast<RESCOPE_JOB *>(job->user);
    KVN_APP *app = _app();
    if (!app || app->session != r->session || app->session_generation != job->generation) return;
    if (r->rc != 0) {
        char why[1024];
        kvn_session_last_error(r->session, why, sizeof why);
        kvn_app_status(KVN_STATUS_ERROR, "cannot switch project: %s", why);
        return;
    }
    // Answers still on their way belong to the old project.
    app->session_generation++;
    KVN_SESSION_INFO info;
    kvn_session_info(r->session, &info);
    kvn_app_status(KVN_STATUS_INFO, "switched to project %s", info.project_name);
    kvn_app_connect_changed();
}

void _rescope_free(void *user) {
    auto *r = static_cast<RESCOPE_JOB *>(user);
    kvn_session_free(&r->session);
    free(r);
}

void _on_project_pick(int, int index, void *) {
    KVN_APP *app = _app();
    if (g.filling || !app || !app->session || index < 0 || index >= (int)g.project_ids.size()) return;
    KVN_SESSION_INFO info;
    if (kvn_session_info(app->session, &info) != 0 || g.project_ids[(size_t)index] == info.project_id) return;
    RESCOPE_JOB *r = nullptr;
    Q_CALLOC(r, 1, RESCOPE_JOB);
    if (!r) return;
    r->session = kvn_session_ref(app->session);
    q_strcpy(r->project_id, sizeof r->project_id, g.project_ids[(size_t)index].c_str());
    kvn_jobs_submit("switching project", _rescope_run, _rescope_done, _rescope_free, r,
                    app->session_generation);
}

void _on_sample(const cJSON *sample, int, void *) {
    kvn_gui_main_overview_fill(sample);
    if (g.view_kind == KVN_VIEW_HISTORY) kvn_gui_main_history_reload();
    g.dirty = 1;
}

// ---- layout -------------------------------------------------------------------------

void _layout(void) {
    const float W = _display_w(), H = _display_h(), S = _sidebar();
    q_gui_window_set_rect(g.ctx, g.toolbar, 0, 0, W, k_toolbar_h);
    q_gui_window_set_rect(g.ctx, g.services, 0, k_toolbar_h, S, H - k_toolbar_h - k_status_h);
    q_gui_window_set_rect(g.ctx, g.status, 0, H - k_status_h, W, k_status_h);
    const float conn_w = W - 846 > 10 ? W - 846 : 10;
    q_gui_widget_set_rect(g.ctx, g.connection, 516, 4, conn_w, 28);
    q_gui_widget_set_rect(g.ctx, g.refresh, W - 320, 4, 90, 28);
    q_gui_widget_set_rect(g.ctx, g.settings, W - 224, 4, 100, 28);
    q_gui_widget_set_rect(g.ctx, g.about, W - 118, 4, 110, 28);
    if (g.tree) q_gui_widget_set_rect(g.ctx, g.tree->listbox, 4, 4, S - 8, H - k_toolbar_h - k_status_h - 8);
    q_gui_widget_set_rect(g.ctx, g.message, 8, 1, 0.62f * W, 24);
    q_gui_widget_set_rect(g.ctx, g.running, 0.62f * W + 10, 1, 0.18f * W, 24);
    q_gui_widget_set_rect(g.ctx, g.progress, 0.8f * W + 10, 4, 0.12f * W, 18);
    q_gui_widget_set_rect(g.ctx, g.cancel, W - 80, 1, 74, 24);
    _place_view(false);
    g.dirty = 1;
}

bool _in_splitter(float x, float y) {
    const float S = _sidebar(), H = _display_h();
    if (x < S - 3 || x > S + 5 || y <= k_toolbar_h || y >= H - k_status_h) return false;
    // An attached pop-up over the splitter takes the point.
    for (int i = 0; i < g.ctx->window_count; i++) {
        const Q_GUI_WINDOW *w = g.ctx->windows[i];
        if (!(w->state & Q_GUI_WST_OPEN) || w->native || w->z_mode == Q_GUI_ZORDER_ALWAYS_BEHIND) continue;
        if (x >= w->x && x < w->x + w->w && y >= w->y && y < w->y + w->h) return false;
    }
    return true;
}

void _forget(void) {
    kvn_gui_main_overview_forget();
    kvn_gui_main_history_forget();
    kvn_gui_main_usage_forget();
    kvn_gui_resource_destroy_all();
    if (g.tree) q_gui_tree_destroy(&g.tree);
    g = MAIN();
}
} // namespace

// ---- interface ----------------------------------------------------------------------

void kvn_gui_main_build(void) {
    KVN_APP *app = _app();
    if (!app || !app->gui) return;
    if (g.ctx) _forget();
    g.ctx = app->gui;
    app->connect_changed = kvn_gui_main_on_connect_change;
    app->connect_changed_user = nullptr;
    const float W = _display_w(), H = _display_h(), S = _sidebar();

    g.toolbar = _frame_window("Toolbar", 0, 0, W, k_toolbar_h);
    g.services = _frame_window("Services", 0, k_toolbar_h, S, H - k_toolbar_h - k_status_h);
    g.status = _frame_window("Status", 0, H - k_status_h, W, k_status_h);

    g.connect =
        _button(g.toolbar, "Connect...", 6, 100, _on_connect, "Choose, edit or import a profile and connect");
    g.disconnect = _button(g.toolbar, "Disconnect", 112, 100, _on_disconnect,
                           "Drop the session (the token is forgotten)");
    g.project_label = q_gui_add_label(g.ctx, g.toolbar, "Project", 224, 4, 60, 28, 2);
    g.projects = q_gui_add_combobox(g.ctx, g.toolbar, 286, 4, 220, 28, _on_project_pick, nullptr);
    q_gui_widget_set_tooltip(
        g.ctx, g.projects,
        "Projects you can scope to: picking one re-scopes the token (openstack --os-project-id)");
    g.connection = q_gui_add_label(g.ctx, g.toolbar, "not connected", 516, 4, W - 846, 28, 0);
    g.refresh = _button(g.toolbar, "Refresh", W - 320, 90, _on_refresh, "Reload the current view (F5)");
    q_gui_button_set_keycode(g.ctx, g.refresh, ALLEGRO_KEY_F5, 0);
    g.settings = _button(g.toolbar, "Settings", W - 224, 100, _on_settings,
                         "Theme, restricted operations, history sampling, auto refresh, logging");
    g.about = _button(g.toolbar, "About / cloud", W - 118, 110, _on_about,
                      "Version, API coverage, catalog and microversions of the connected cloud");

    g.tree = q_gui_tree_create(g.ctx, g.services, 4, 4, S - 8, H - k_toolbar_h - k_status_h - 8, _on_tree,
                               nullptr);

    g.message = q_gui_add_label(g.ctx, g.status, "Ready", 8, 1, 0.62f * W, 24, 0);
    q_gui_widget_set_tooltip(g.ctx, g.message, "Last message (errors are shown here and in the panels)");
    g.running = q_gui_add_label(g.ctx, g.status, "", 0.62f * W + 10, 1, 0.18f * W, 24, 0);
    g.progress = q_gui_add_progressbar(g.ctx, g.status, 0.8f * W + 10, 4, 0.12f * W, 18);
    g.cancel = q_gui_add_button(g.ctx, g.status, "Cancel", W - 80, 1, 74, 24, 0, _on_cancel, nullptr);
    q_gui_widget_set_tooltip(g.ctx, g.cancel, "Cancel every running operation");
    q_gui_widget_set_visible(g.ctx, g.progress, 0);
    q_gui_widget_set_enabled(g.ctx, g.cancel, 0);
    q_gui_widget_set_enabled(g.ctx, g.disconnect, 0);
    q_gui_widget_set_enabled(g.ctx, g.projects, 0);

    g.schedule.on_sample = _on_sample;
    g.view_kind = KVN_VIEW_OVERVIEW;
    _fill_tree();
    _layout();
    _show_view();
}

void kvn_gui_main_relayout(void) {
    if (!g.ctx) return;
    _layout();
}

void kvn_gui_main_tick(void) {
    KVN_APP *app = _app();
    if (!g.ctx || !app || app->gui != g.ctx) return;
    kvn_gui_topology_tick();
    char names[256];
    float progress = -1;
    const int n = kvn_jobs_running(names, sizeof names, &progress);
    if (n <= 0) {
        _set_label(g.running, "");
        _set_visible(g.progress, 0);
        _set_enabled(g.cancel, 0);
    } else {
        char text[300];
        if (names[0])
            q_format(text, sizeof text, "%d running: %s", n, names);
        else
            q_format(text, sizeof text, "%s", "queued");
        _set_label(g.running, text);
        _set_visible(g.progress, 1);
        _set_enabled(g.cancel, 1);
        double v = progress >= 0 ? progress : al_get_time() - floor(al_get_time());
        if (q_gui_progressbar_get_value(g.ctx, g.progress) != v)
            q_gui_progressbar_set_value(g.ctx, g.progress, v);
    }
    _set_label(g.message, app->status_text);
    if (app->status_kind != g.shown_status_kind) {
        g.shown_status_kind = app->status_kind;
        const Q_GUI_THEME t = kvn_theme_status_theme(app->status_kind);
        q_gui_widget_set_theme(g.ctx, g.message, &t);
    }
    _set_enabled(g.disconnect, app->session != nullptr);
    _set_enabled(g.projects, app->session != nullptr && g.project_ids.size() > 1);
    if (app->session)
        kvn_history_schedule_tick(&g.schedule, app->session, app->session_generation, &app->config,
                                  al_get_time());
    kvn_gui_resource_tick();
    kvn_gui_term_tick();
}

void kvn_gui_main_on_connect_change(void *) {
    KVN_APP *app = _app();
    if (!g.ctx || !app) return;
    // The console, the forms' pick lists and the resource panels drop their
    // state here once they exist.
    kvn_gui_main_overview_reset();
    kvn_gui_main_usage_reset();
    kvn_gui_topology_reset();
    kvn_gui_form_reset_all();
    kvn_gui_term_close();
    kvn_gui_wizard_close();
    kvn_gui_sgrules_close();
    const int old_kind = g.view_kind;
    _fill_tree();
    KVN_SESSION *s = app->session;
    kvn_history_schedule_reset(&g.schedule, s, app->config.history_keep_days, al_get_time());
    if (s) {
        KVN_SESSION_INFO info;
        kvn_session_info(s, &info);
        KVN_PROFILE p;
        char profile[256] = "", region[256] = "";
        if (kvn_session_profile(s, &p) == 0) {
            q_strcpy(profile, sizeof profile, p.name);
            q_strcpy(region, sizeof region, p.region);
        }
        kvn_profile_wipe_secret(&p);
        if (!region[0]) {
            const char *regions[1];
            if (kvn_session_regions(s, regions, 1) == 1) q_strcpy(region, sizeof region, regions[0]);
        }
        char label[1024];
        q_format(label, sizeof label, "%s @ %s%s%s", info.user_name, profile[0] ? profile : "cloud",
                 region[0] ? "  region " : "", region);
        _set_label(g.connection, label);
        KVN_REQ *req = kvn_req_new("identity", "GET", "/auth/projects");
        if (req) kvn_req_submit(req, "listing projects", _on_projects, nullptr);
    } else {
        _set_label(g.connection, "not connected");
        _clear_projects();
    }
    if (g.view_kind != old_kind) {
        // The resource shown went with the refill: its panel must not stay
        // behind the overview.
        _hide_views();
        _place_view(true);
    } else {
        _place_view(false);
    }
    if (g.view_kind == KVN_VIEW_OVERVIEW) kvn_gui_main_overview_load();
    if (g.view_kind == KVN_VIEW_HISTORY) kvn_gui_main_history_reload();
    if (g.view_kind == KVN_VIEW_USAGE) kvn_gui_main_usage_load();
    // Figures fetched with the token and not shown now would be stale when
    // the overview is opened later.
    kvn_gui_main_overview_preload(nullptr, nullptr, nullptr);
    kvn_gui_resource_reset_all();
    g.dirty = 1;
}

int kvn_gui_main_sidebar_event(const ALLEGRO_EVENT *ev) {
    KVN_APP *app = _app();
    if (!ev || !g.ctx || !app) return 0;
    if (ev->type != ALLEGRO_EVENT_MOUSE_AXES && ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_DOWN &&
        ev->type != ALLEGRO_EVENT_MOUSE_BUTTON_UP)
        return 0;
    float x, y;
    q_gui_screen_to_virtual(g.ctx, (float)ev->mouse.x, (float)ev->mouse.y, &x, &y);
    if (g.dragging) {
        if (ev->type == ALLEGRO_EVENT_MOUSE_AXES) {
            const float W = _display_w();
            const float cap = (float)KVN_SIDEBAR_MAX < W / 2 ? (float)KVN_SIDEBAR_MAX : floorf(W / 2);
            const float want = x < (float)KVN_SIDEBAR_MIN ? (float)KVN_SIDEBAR_MIN : (x < cap ? x : cap);
            if (want != app->config.sidebar_w) {
                app->config.sidebar_w = want;
                _layout();
            }
        } else if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) {
            g.dragging = 0;
            kvn_config_save(&app->config);
        }
        return 1;
    }
    const bool inside = _in_splitter(x, y);
    if (ev->type == ALLEGRO_EVENT_MOUSE_AXES) {
        if (inside != (g.over_splitter != 0)) {
            g.over_splitter = inside;
            q_gui_set_cursor(
                g.ctx, inside ? ALLEGRO_SYSTEM_MOUSE_CURSOR_RESIZE_E : ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT,
                nullptr);
        }
        return 0;
    }
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button == 1 && inside) {
        g.dragging = 1;
        return 1;
    }
    return 0;
}

int kvn_gui_main_open_view(const char *name) {
    KVN_APP *app = _app();
    if (!name || !name[0] || !g.tree) return -1;
    const void *data = nullptr;
    if (!strcmp(name, "overview"))
        data = &g_mark_overview;
    else if (!strcmp(name, "history"))
        data = &g_mark_history;
    else if (!strcmp(name, "topology"))
        data = &g_mark_topology;
    else if (!strcmp(name, "usage"))
        data = &g_mark_usage;
    else if (app && app->api)
        data = kvn_api_lookup(app->api, name);
    if (!data) return -1;
    const int node = q_gui_tree_find(g.tree, data);
    if (node < 0) return -1;
    q_gui_tree_select(g.tree, node); // unfolds the parent
    _on_tree(node, nullptr);
    return 0;
}

void kvn_gui_main_refresh(void) {
    if (!g.ctx) return;
    if (g.view_kind == KVN_VIEW_OVERVIEW)
        kvn_gui_main_overview_load();
    else if (g.view_kind == KVN_VIEW_TOPOLOGY)
        kvn_gui_topology_reload();
    else if (g.view_kind == KVN_VIEW_RESOURCE)
        kvn_gui_resource_reload_current();
    else if (g.view_kind == KVN_VIEW_HISTORY)
        kvn_gui_main_history_reload();
    else if (g.view_kind == KVN_VIEW_USAGE)
        kvn_gui_main_usage_load();
    else
        kvn_app_status(KVN_STATUS_INFO, "%s is not available in this build", _view_name());
}

int kvn_gui_main_take_dirty(void) {
    const int d = g.dirty;
    g.dirty = 0;
    return d;
}

void kvn_gui_main_destroy(void) {
    KVN_APP *app = _app();
    if (app && app->connect_changed == kvn_gui_main_on_connect_change) app->connect_changed = nullptr;
    kvn_gui_topology_destroy();
    _forget();
}

void kvn_gui_main_ids(KVN_GUI_MAIN_IDS *out) {
    if (!out) return;
    out->toolbar = g.toolbar;
    out->services = g.services;
    out->status = g.status;
    out->connect = g.connect;
    out->disconnect = g.disconnect;
    out->project_label = g.project_label;
    out->projects = g.projects;
    out->connection = g.connection;
    out->refresh = g.refresh;
    out->settings = g.settings;
    out->about = g.about;
    out->message = g.message;
    out->running = g.running;
    out->progress = g.progress;
    out->cancel = g.cancel;
    out->tree = g.tree;
    out->view_kind = g.view_kind;
    out->resource = g.view_kind == KVN_VIEW_RESOURCE ? g.resource : nullptr;
    out->view_window = g.view_window;
    out->project_count = (int)g.project_ids.size();
    out->sidebar_w = _sidebar();
    out->next_sample = g.schedule.next_time;
}

void kvn_gui_main_mark_dirty(void) {
    g.dirty = 1;
}
