// The security group rules editor. One window, built once per GUI context
// and reused for every group. Rule lists carry the list generation so a late
// answer of an earlier load or group is dropped; adds and deletes carry the
// opening's epoch, so only the jobs of the group on show count towards the
// one reload that follows the last of them.
#include "kvn_gui_sgrules.h"

#include <cJSON.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"
#include "q_str.h"

namespace {

const KVN_SG_PRESET k_presets[KVN_SG_PRESETS] = {
    {"SSH 22", "tcp", 22, 22},       {"HTTP 80", "tcp", 80, 80},        {"HTTPS 443", "tcp", 443, 443},
    {"RDP 3389", "tcp", 3389, 3389}, {"DNS 53/udp", "udp", 53, 53},     {"ICMP", "icmp", -1, -1},
    {"All TCP", "tcp", 1, 65535},    {"Any protocol", nullptr, -1, -1},
};
const char *const k_protocols[KVN_SG_PROTOCOLS] = {"any", "tcp", "udp", "icmp", "ipv6-icmp",
                                                   "gre", "esp", "ah",  "sctp", "vrrp"};
const float k_win_w = 980, k_win_h = 600;

struct EDITOR {
    Q_GUI_CTX *ctx = nullptr;
    int window = -1, title = -1, refresh = -1, grid = -1, del = -1, message = -1;
    int direction = -1, ip_version = -1, remote = -1, protocol = -1, port_min = -1, port_max = -1;
    int add = -1, close = -1;
    int presets[KVN_SG_PRESETS] = {-1, -1, -1, -1, -1, -1, -1, -1};
    const KVN_RESOURCE *res = nullptr;
    char group_id[256] = "", group_name[256] = "";
    unsigned generation = 0; // rule lists
    unsigned epoch = 0;      // openings: adds and deletes of an earlier one are not counted
    int running = 0;
    int loads = 0;
    int failed = 0; // failures since the last reload, kept beside the count
    char last_error[1024] = "";
};
EDITOR e;

// Deletions waiting for the confirmation's answer.
struct PENDING_DELETE {
    unsigned epoch;
    std::vector<std::string> ids;
};

void _redraw(void) {
    if (e.ctx) q_gui_request_redraw(e.ctx);
    kvn_gui_main_mark_dirty();
}

void _message(int level, const char *text) {
    if (!e.ctx || e.message < 0) return;
    q_gui_label_set_text(e.ctx, e.message, text);
    q_gui_widget_set_tooltip(e.ctx, e.message, text && *text ? text : nullptr);
    const Q_GUI_THEME t = kvn_theme_status_theme(level);
    q_gui_widget_set_theme(e.ctx, e.message, &t);
    _redraw();
}

void *_tag(unsigned value) {
    return reinterpret_cast<void *>((uintptr_t)value);
}
unsigned _untag(void *user) {
    return (unsigned)reinterpret_cast<uintptr_t>(user);
}

// A port text: -1 when empty, -2 when it is no whole number of at most five
// digits (blanks around it allowed).
int _port(const char *text) {
    while (text && (*text == ' ' || *text == '\t'))
        text++;
    if (!text || !*text) return -1;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    while (end && (*end == ' ' || *end == '\t'))
        end++;
    if (errno || !end || *end || v < 0 || v > 99999) return -2;
    return (int)v;
}

bool _takes_ports(const char *protocol) {
    static const char *const k[] = {"tcp", "udp", "sctp", "icmp"};
    for (const char *p : k)
        if (protocol && !strcmp(protocol, p)) return true;
    return false;
}

// ---- the rule list -----------------------------------------------------------------------

void _fill(const cJSON *answer) {
    q_gui_datagrid_clear(e.ctx, e.grid);
    const cJSON *rules = cJSON_GetObjectItemCaseSensitive(answer, "security_group_rules");
    int n = 0;
    const cJSON *rule;
    cJSON_ArrayForEach(rule, q_json_array(rules)) {
        char cells[KVN_SG_COLUMNS][256];
        kvn_sgrules_cells(rule, cells);
        const char *row[KVN_SG_COLUMNS];
        for (int i = 0; i < KVN_SG_COLUMNS; i++)
            row[i] = cells[i];
        q_gui_datagrid_add_row(e.ctx, e.grid, row);
        n++;
    }
    char text[1200];
    if (e.failed)
        q_format(text, sizeof text, "%d rule%s -- last change failed: %.1000s", n, n == 1 ? "" : "s",
                 e.last_error);
    else
        q_format(text, sizeof text, "%d rule%s", n, n == 1 ? "" : "s");
    _message(e.failed ? KVN_STATUS_ERROR : KVN_STATUS_INFO, text);
    e.failed = 0;
}

void _on_rules(KVN_REQ *req, void *user) {
    if (!e.ctx || _untag(user) != e.generation) return;
    const KVN_RESULT *r = req->result;
    q_gui_datagrid_clear(e.ctx, e.grid);
    if (!kvn_result_ok(r)) {
        _message(KVN_STATUS_ERROR, r->error[0] ? r->error : "no answer");
        return;
    }
    _fill(r->json);
}

void _load(void) {
    if (!e.ctx) return;
    Q_STR *enc = nullptr;
    q_httpc_url_encode(&enc, e.group_id);
    char path[1024];
    q_format(path, sizeof path, "/security-group-rules?security_group_id=%s", enc ? enc->data : "");
    free_qstr(&enc);
    e.generation++;
    KVN_REQ *req = kvn_req_new("network", "GET", path);
    if (!req) {
        _message(KVN_STATUS_ERROR, "not connected");
        return;
    }
    e.loads++;
    if (kvn_req_submit(req, "loading rules", _on_rules, _tag(e.generation)) < 0)
        _message(KVN_STATUS_ERROR, "cannot start the request");
}

// ---- adds and deletes ----------------------------------------------------------------------

void _on_change(KVN_REQ *req, void *user) {
    if (!e.ctx || _untag(user) != e.epoch) return;
    const KVN_RESULT *r = req->result;
    if (kvn_result_ok(r)) {
        kvn_app_status(KVN_STATUS_INFO, "%s: rules updated", e.group_name);
    } else {
        const char *err = r->error[0] ? r->error : "no answer";
        q_strcpy(e.last_error, sizeof e.last_error, err);
        e.failed++;
        kvn_app_status(KVN_STATUS_ERROR, "%s: %s", e.group_name, err);
        char text[1200];
        q_format(text, sizeof text, "%s: %.1000s", e.group_name, err);
        _message(KVN_STATUS_ERROR, text);
    }
    if (e.running > 0) e.running--;
    if (e.running == 0) {
        _load();
        if (e.res) kvn_gui_resource_reload(e.res);
    }
}

void _submit_change(KVN_REQ *req, const char *title) {
    if (!req) {
        _message(KVN_STATUS_ERROR, "not connected");
        return;
    }
    e.running++;
    if (kvn_req_submit(req, title, _on_change, _tag(e.epoch)) < 0) {
        e.running--;
        _message(KVN_STATUS_ERROR, "cannot start the request");
    }
}

void _add(const char *protocol, int port_min, int port_max) {
    if (!e.ctx) return;
    const int egress = q_gui_combobox_get_selected(e.ctx, e.direction) == 1;
    const int ipv6 = q_gui_combobox_get_selected(e.ctx, e.ip_version) == 1;
    const char *remote = q_gui_textarea_get_text(e.ctx, e.remote);
    cJSON *body = kvn_sgrules_body(e.group_id, egress, ipv6, protocol, port_min, port_max, remote);
    if (!body) return;
    KVN_REQ *req = kvn_req_new("network", "POST", "/security-group-rules");
    if (req)
        req->body = body;
    else
        cJSON_Delete(body);
    _submit_change(req, "adding rule");
}

void _on_preset(int, void *user) {
    const KVN_SG_PRESET *p = kvn_sgrules_preset((int)reinterpret_cast<intptr_t>(user));
    if (p) _add(p->protocol, p->port_min, p->port_max);
}

void _on_add(int, void *) {
    if (!e.ctx) return;
    const int sel = q_gui_combobox_get_selected(e.ctx, e.protocol);
    const char *protocol = kvn_sgrules_protocol(sel >= 0 ? sel : 1);
    int lo = -1, hi = -1;
    char err[256];
    if (kvn_sgrules_custom_ports(protocol, q_gui_textarea_get_text(e.ctx, e.port_min),
                                 q_gui_textarea_get_text(e.ctx, e.port_max), &lo, &hi, err,
                                 sizeof err) != 0) {
        _message(KVN_STATUS_ERROR, err);
        return;
    }
    _add(strcmp(protocol, "any") ? protocol : nullptr, lo, hi);
}

void _delete_yes(void *value) {
    PENDING_DELETE *d = static_cast<PENDING_DELETE *>(value);
    if (!e.ctx || d->epoch != e.epoch) return;
    for (const std::string &id : d->ids) {
        Q_STR *enc = nullptr;
        q_httpc_url_encode(&enc, id.c_str());
        char path[1024];
        q_format(path, sizeof path, "/security-group-rules/%s", enc ? enc->data : "");
        free_qstr(&enc);
        _submit_change(kvn_req_new("network", "DELETE", path), "deleting rule");
    }
}

void _delete_release(void *value) {
    delete static_cast<PENDING_DELETE *>(value);
}

void _on_delete(int, void *) {
    if (!e.ctx) return;
    int rows[KVN_SG_DELETE_MAX];
    const int n = q_gui_datagrid_get_selected_rows(e.ctx, e.grid, rows, KVN_SG_DELETE_MAX);
    PENDING_DELETE *d = new PENDING_DELETE();
    d->epoch = e.epoch;
    for (int i = 0; i < n && i < KVN_SG_DELETE_MAX; i++) {
        const char *id = q_gui_datagrid_get_cell(e.ctx, e.grid, rows[i], KVN_SG_COLUMNS - 1);
        if (id && *id) d->ids.push_back(id);
    }
    if (d->ids.empty()) {
        delete d;
        _message(KVN_STATUS_ERROR, "select the rules to delete");
        return;
    }
    char first[600];
    q_format(first, sizeof first, "Delete %zu rule%s of %s?", d->ids.size(), d->ids.size() == 1 ? "" : "s",
             e.group_name);
    kvn_gui_confirm("Delete rules", first, "DELETE /security-group-rules/{id}", _delete_yes, d,
                    _delete_release);
}

void _on_refresh(int, void *) {
    _message(KVN_STATUS_INFO, "loading...");
    _load();
}

void _on_close(int, void *) {
    if (e.ctx && e.window >= 0) q_gui_close_window(e.ctx, e.window);
    _redraw();
}

void _on_ui(const KVN_RESOURCE *res, const KVN_OP *, const cJSON *item) {
    kvn_gui_sgrules_open(res, item);
}

// ---- building --------------------------------------------------------------------------------

int _tip(int id, const char *text) {
    if (id >= 0) q_gui_widget_set_tooltip(e.ctx, id, text);
    return id;
}

int _label(const char *text, float x, float y, float w) {
    return q_gui_add_label(e.ctx, e.window, text, x, y, w, 26, 0);
}

bool _build(void) {
    KVN_APP *app = kvn_app_get();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (!ctx) return false;
    if (ctx != e.ctx) {
        e = EDITOR();
        e.ctx = ctx;
    }
    if (e.window >= 0) return true;
    const int win = q_gui_add_window(ctx, "Security group rules", 0, 0, k_win_w, k_win_h);
    if (win < 0) return false;
    e.window = win;
    q_gui_window_set_flags(ctx, win, Q_GUI_WIN_CLOSE_BTN);
    q_gui_window_set_zorder(ctx, win, Q_GUI_ZORDER_POPUP, 0);
    e.title = _label("", 12, 10, 840);
    e.refresh = _tip(q_gui_add_button(ctx, win, "Refresh", 868, 10, 100, 26, 1, _on_refresh, nullptr),
                     "Reload the rules");
    e.grid = _tip(q_gui_add_datagrid(ctx, win, 12, 42, 956, 300, nullptr, nullptr),
                  "Rules of the group (Ctrl click to select several)");
    // The port titles and a remote group's id need a little more room than
    // 70 and 260 pixels to show whole.
    static const struct {
        const char *title;
        float width;
    } k_cols[KVN_SG_COLUMNS] = {{"Direction", 80}, {"Ether", 60},   {"Protocol", 80},     {"Port min", 76},
                                {"Port max", 76},  {"Remote", 300}, {"Description", 200}, {"_id", 10}};
    for (const auto &col : k_cols)
        q_gui_datagrid_add_column(ctx, e.grid, col.title, col.width);
    q_gui_datagrid_set_column_visible(ctx, e.grid, KVN_SG_COLUMNS - 1, 0);
    q_gui_datagrid_set_multi_select(ctx, e.grid, 1);
    e.del = _tip(q_gui_add_button(ctx, win, "Delete selected", 12, 350, 150, 26, 1, _on_delete, nullptr),
                 "Delete the selected rules (openstack security group rule delete)");
    e.message = _label("", 172, 350, 780);
    _label("New rules:", 12, 388, 90);
    e.direction = _tip(q_gui_add_combobox(ctx, win, 102, 388, 100, 26, nullptr, nullptr),
                       "Traffic direction of the new rules");
    q_gui_combobox_add_item(ctx, e.direction, "ingress");
    q_gui_combobox_add_item(ctx, e.direction, "egress");
    q_gui_combobox_set_selected(ctx, e.direction, 0);
    e.ip_version =
        _tip(q_gui_add_combobox(ctx, win, 208, 388, 80, 26, nullptr, nullptr), "IP version of the new rules");
    q_gui_combobox_add_item(ctx, e.ip_version, "IPv4");
    q_gui_combobox_add_item(ctx, e.ip_version, "IPv6");
    q_gui_combobox_set_selected(ctx, e.ip_version, 0);
    _label("from", 294, 388, 40);
    e.remote = _tip(q_gui_add_textarea(ctx, win, 334, 388, 200, 26, 0, 63, nullptr, nullptr),
                    "Remote IP prefix of the new rules (e.g. 0.0.0.0/0, ::/0, 192.0.2.0/24)");
    q_gui_textarea_set_text(ctx, e.remote, "0.0.0.0/0");
    q_gui_textarea_set_placeholder(ctx, e.remote, "remote CIDR, empty = any");
    for (int i = 0; i < KVN_SG_PRESETS; i++)
        e.presets[i] = _tip(q_gui_add_button(ctx, win, k_presets[i].label, 12 + 118.0f * (float)i, 422, 112,
                                             26, 1, _on_preset, reinterpret_cast<void *>((intptr_t)i)),
                            "Add this rule with the direction, IP version and remote above");
    _label("Custom:", 12, 458, 90);
    e.protocol = _tip(q_gui_add_combobox(ctx, win, 102, 458, 120, 26, nullptr, nullptr), "Protocol");
    for (const char *p : k_protocols)
        q_gui_combobox_add_item(ctx, e.protocol, p);
    q_gui_combobox_set_selected(ctx, e.protocol, 1);
    e.port_min = _tip(q_gui_add_textarea(ctx, win, 228, 458, 80, 26, 0, 5, nullptr, nullptr),
                      "First port (or ICMP type)");
    q_gui_textarea_set_placeholder(ctx, e.port_min, "port min");
    e.port_max = _tip(q_gui_add_textarea(ctx, win, 314, 458, 80, 26, 0, 5, nullptr, nullptr),
                      "Last port (or ICMP code), empty = same as min");
    q_gui_textarea_set_placeholder(ctx, e.port_max, "port max");
    e.add = _tip(q_gui_add_button(ctx, win, "Add rule", 402, 458, 110, 26, 1, _on_add, nullptr),
                 "openstack security group rule create");
    e.close =
        _tip(q_gui_add_button(ctx, win, "Close", 868, 528, 100, 30, 1, _on_close, nullptr), "Close (ESC)");
    if (e.title < 0 || e.grid < 0 || e.message < 0 || e.add < 0 || e.close < 0) return false;
    kvn_gui_layout_auto_anchor(win, e.grid);
    q_gui_close_window(ctx, win);
    return true;
}

} // namespace

// ---- the rules -------------------------------------------------------------------------------

const KVN_SG_PRESET *kvn_sgrules_preset(int index) {
    return index >= 0 && index < KVN_SG_PRESETS ? &k_presets[index] : nullptr;
}

const char *kvn_sgrules_protocol(int index) {
    return index >= 0 && index < KVN_SG_PROTOCOLS ? k_protocols[index] : "any";
}

int kvn_sgrules_custom_ports(const char *protocol, const char *min_text, const char *max_text, int *port_min,
                             int *port_max, char *err, size_t err_size) {
    int lo = _port(min_text), hi = _port(max_text);
    if (err && err_size) err[0] = 0;
    // A text that is no port at all can only be a mistake: refused rather
    // than sent as if it were empty.
    if (lo == -2 || hi == -2) {
        q_strcpy(err, err_size, "invalid port range");
        return -1;
    }
    if ((lo >= 0 || hi >= 0) && (!protocol || !strcmp(protocol, "any") || !_takes_ports(protocol))) {
        q_strcpy(err, err_size, "ports need tcp, udp, sctp (or icmp type / code)");
        return -1;
    }
    if (!strcmp(protocol, "icmp")) {
        // For ICMP the two numbers are a type and a code, not a range: echo
        // request is type 8 code 0. A type alone matches all its codes; a
        // code without a type means nothing.
        if ((hi >= 0 && lo < 0) || lo > 255 || hi > 255) {
            q_strcpy(err, err_size, "invalid port range");
            return -1;
        }
        *port_min = lo;
        *port_max = hi;
        return 0;
    }
    if (lo >= 0 && hi < 0) hi = lo;
    if (lo >= 0 || hi >= 0) {
        if (hi < lo || hi >= 65536) {
            q_strcpy(err, err_size, "invalid port range");
            return -1;
        }
    }
    *port_min = lo;
    *port_max = hi;
    return 0;
}

cJSON *kvn_sgrules_body(const char *group_id, int egress, int ipv6, const char *protocol, int port_min,
                        int port_max, const char *remote) {
    Q_CJSON body(cJSON_CreateObject());
    cJSON *rule = body ? cJSON_AddObjectToObject(body.get(), "security_group_rule") : nullptr;
    if (!rule) return nullptr;
    cJSON_AddStringToObject(rule, "security_group_id", group_id ? group_id : "");
    cJSON_AddStringToObject(rule, "direction", egress ? "egress" : "ingress");
    cJSON_AddStringToObject(rule, "ethertype", ipv6 ? "IPv6" : "IPv4");
    if (protocol && *protocol) cJSON_AddStringToObject(rule, "protocol", protocol);
    if (port_min >= 0) cJSON_AddNumberToObject(rule, "port_range_min", port_min);
    if (port_max >= 0) cJSON_AddNumberToObject(rule, "port_range_max", port_max);
    if (remote && *remote) cJSON_AddStringToObject(rule, "remote_ip_prefix", remote);
    return body.release();
}

void kvn_sgrules_cells(const cJSON *rule, char cells[][256]) {
    auto str = [&](const char *name) -> const char * {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(rule, name);
        return cJSON_IsString(v) && v->valuestring[0] ? v->valuestring : nullptr;
    };
    auto port = [&](const char *name, char *out) {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(rule, name);
        if (cJSON_IsNumber(v))
            q_format(out, 256, "%.0f", v->valuedouble);
        else
            out[0] = 0;
    };
    q_strcpy(cells[0], 256, str("direction") ? str("direction") : "");
    q_strcpy(cells[1], 256, str("ethertype") ? str("ethertype") : "");
    q_strcpy(cells[2], 256, str("protocol") ? str("protocol") : "any");
    port("port_range_min", cells[3]);
    port("port_range_max", cells[4]);
    const char *remote = str("remote_ip_prefix") ? str("remote_ip_prefix") : str("remote_group_id");
    q_strcpy(cells[5], 256, remote ? remote : "any");
    q_strcpy(cells[6], 256, str("description") ? str("description") : "");
    q_strcpy(cells[7], 256, str("id") ? str("id") : "");
}

// ---- the window ------------------------------------------------------------------------------

void kvn_gui_sgrules_register(void) {
    kvn_gui_resource_register_ui("sg_rules", _on_ui);
}

namespace {
int _open(const KVN_RESOURCE *res, const cJSON *group, bool connected) {
    KVN_APP *app = kvn_app_get();
    const cJSON *idv = cJSON_GetObjectItemCaseSensitive(group, "id");
    if (!app || (connected && !app->session) || !cJSON_IsString(idv) || !idv->valuestring[0]) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "select a security group first");
        return -1;
    }
    if (!_build()) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the rules editor");
        return -1;
    }
    const cJSON *namev = cJSON_GetObjectItemCaseSensitive(group, "name");
    q_strcpy(e.group_id, sizeof e.group_id, idv->valuestring);
    q_strcpy(e.group_name, sizeof e.group_name,
             cJSON_IsString(namev) && namev->valuestring[0] ? namev->valuestring : idv->valuestring);
    e.res = res;
    e.epoch++;
    e.running = 0;
    e.failed = 0;
    char title[600];
    q_format(title, sizeof title, "Security group %s (%s)", e.group_name, e.group_id);
    q_gui_label_set_text(e.ctx, e.title, title);
    _message(KVN_STATUS_INFO, "loading...");
    q_gui_datagrid_clear(e.ctx, e.grid);
    kvn_gui_layout_place_popup(e.window, "sg_rules", k_win_w, k_win_h);
    q_gui_open_window(e.ctx, e.window);
    q_gui_raise_window(e.ctx, e.window);
    if (connected) _load();
    _redraw();
    return 0;
}
} // namespace

int kvn_gui_sgrules_open(const KVN_RESOURCE *res, const cJSON *group) {
    return _open(res, group, true);
}

int kvn_gui_sgrules_show(const cJSON *group, cJSON *rules) {
    Q_CJSON owned(rules);
    if (_open(nullptr, group, false) != 0) return -1;
    _fill(rules);
    return 0;
}

void kvn_gui_sgrules_close(void) {
    if (!e.ctx || e.window < 0) return;
    KVN_APP *app = kvn_app_get();
    if (!app || app->gui != e.ctx) return;
    e.generation++;
    e.epoch++;
    e.running = 0;
    if (q_gui_window_is_open(e.ctx, e.window)) q_gui_close_window(e.ctx, e.window);
}

int kvn_gui_sgrules_escape(int window) {
    if (!e.ctx || e.window < 0 || window != e.window || !q_gui_window_is_open(e.ctx, e.window)) return 0;
    _on_close(0, nullptr);
    return 1;
}

void kvn_gui_sgrules_shutdown(void) {
    if (e.ctx && e.window >= 0) {
        KVN_APP *app = kvn_app_get();
        if (app && app->gui == e.ctx && q_gui_window_is_open(e.ctx, e.window))
            q_gui_close_window(e.ctx, e.window);
    }
    e = EDITOR();
}

void kvn_gui_sgrules_ids(KVN_SGRULES_IDS *out) {
    if (!out) return;
    memset(out, 0, sizeof *out);
    out->window = e.window;
    out->title = e.title;
    out->refresh = e.refresh;
    out->grid = e.grid;
    out->del = e.del;
    out->message = e.message;
    out->direction = e.direction;
    out->ip_version = e.ip_version;
    out->remote = e.remote;
    for (int i = 0; i < KVN_SG_PRESETS; i++)
        out->presets[i] = e.presets[i];
    out->protocol = e.protocol;
    out->port_min = e.port_min;
    out->port_max = e.port_max;
    out->add = e.add;
    out->close = e.close;
    out->running = e.running;
    out->loads = e.loads;
    out->generation = e.generation;
    q_strcpy(out->group_id, sizeof out->group_id, e.group_id);
    q_strcpy(out->group_name, sizeof out->group_name, e.group_name);
}
