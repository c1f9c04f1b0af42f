// The server creation wizard. One window, built once per GUI context and
// reused; every opening drops the six lists and asks for them again under a
// new generation, so an answer of an earlier opening (still loading when the
// user reopened) never fills the lists of this one. The generation travels
// whole in the request's user pointer: nothing is allocated that a dropped
// answer would leak.
#include "kvn_gui_wizard.h"

#include <cJSON.h>

#include <cerrno>
#include <cmath>
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
#include "q_base64.h"
#include "q_common.h"
#include "q_gui.h"

namespace {

const float k_win_w = 1060, k_win_h = 720;
const int k_user_data_max = 65536;

struct LIST_REQ {
    const char *service, *path, *key;
    bool paged;
};
const LIST_REQ k_lists[KVN_WIZ_LISTS] = {
    {"image", "/images", "images", true},           {"compute", "/flavors/detail", "flavors", true},
    {"network", "/networks", "networks", true},     {"network", "/security-groups", "security_groups", true},
    {"compute", "/os-keypairs", "keypairs", false}, {"compute", "/limits", nullptr, false},
};

struct WIZARD {
    Q_GUI_CTX *ctx = nullptr;
    int window = -1, name = -1, count = -1, filter = -1, images = -1, flavors = -1;
    int boot_volume = -1, volume_size = -1, delete_volume = -1, networks = -1, keypair = -1;
    int user_data = -1, groups = -1, quota = -1, message = -1, create = -1, cancel = -1;
    cJSON *lists[KVN_WIZ_LISTS] = {};
    bool failed[KVN_WIZ_LISTS] = {};
    unsigned generation = 0;
    const KVN_RESOURCE *res = nullptr;
    std::vector<std::string> network_ids, group_names, key_names;
    bool creating = false;
    bool quota_over = false;
    int answers = 0;
};
WIZARD w;

void _redraw(void) {
    if (w.ctx) q_gui_request_redraw(w.ctx);
    kvn_gui_main_mark_dirty();
}

void _message(int level, const char *text) {
    if (!w.ctx || w.message < 0) return;
    q_gui_label_set_text(w.ctx, w.message, text ? text : "");
    q_gui_widget_set_tooltip(w.ctx, w.message, text && *text ? text : nullptr);
    const Q_GUI_THEME t = kvn_theme_status_theme(level);
    q_gui_widget_set_theme(w.ctx, w.message, &t);
    _redraw();
}

const char *_str(const cJSON *o, const char *name) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsString(v) ? v->valuestring : "";
}

double _num(const cJSON *o, const char *name, double fallback) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, name);
    return cJSON_IsNumber(v) ? v->valuedouble : fallback;
}

const cJSON *_items(int index) {
    return q_json_array(cJSON_GetObjectItemCaseSensitive(w.lists[index], k_lists[index].key));
}

// The list item whose member is the text, among the kept answer's items.
const cJSON *_find(int index, const char *member, const char *value) {
    const cJSON *it;
    cJSON_ArrayForEach(it, _items(index)) {
        if (value && *value && !strcmp(_str(it, member), value)) return it;
    }
    return nullptr;
}

// The hidden id of a grid's selected row, "" when none is selected.
const char *_selected_id(int grid, int id_col) {
    const int row = q_gui_datagrid_get_selected_row(w.ctx, grid);
    const char *id = row >= 0 ? q_gui_datagrid_get_cell(w.ctx, grid, row, id_col) : nullptr;
    return id ? id : "";
}
const char *_image_id(void) {
    return _selected_id(w.images, 4);
}
const char *_flavor_id(void) {
    return _selected_id(w.flavors, 4);
}

int _count_value(void) {
    const char *t = q_gui_textarea_get_text(w.ctx, w.count);
    const int n = t ? atoi(t) : 1;
    return n < 1 ? 1 : n;
}

// ---- the quota line and the lists -----------------------------------------------------------

void _update_quota(void) {
    if (!w.ctx) return;
    char text[512];
    const cJSON *flavor = _find(KVN_WIZ_FLAVORS, "id", _flavor_id());
    int over = 0;
    if (w.failed[KVN_WIZ_LIMITS])
        q_strcpy(text, sizeof text, "Quota: unknown (the limits could not be read)");
    else
        over = kvn_wizard_quota_line(w.lists[KVN_WIZ_LIMITS], flavor, _count_value(), text, sizeof text);
    const KVN_PALETTE *p = kvn_theme_current();
    const bool known = w.lists[KVN_WIZ_LIMITS] != nullptr;
    const Q_GUI_THEME t = kvn_theme_flat_theme(over ? p->error : known ? p->ok : p->dim_text);
    q_gui_label_set_text(w.ctx, w.quota, text);
    q_gui_widget_set_theme(w.ctx, w.quota, &t);
    w.quota_over = over != 0;
    _redraw();
}

bool _contains_ci(const char *hay, const char *needle) {
    if (!*needle) return true;
    const size_t n = strlen(needle);
    for (; *hay; hay++)
        if (!strncasecmp(hay, needle, n)) return true;
    return false;
}

void _fill_images(void) {
    const std::string keep = _image_id();
    q_gui_datagrid_clear(w.ctx, w.images);
    const char *filter = q_gui_textarea_get_text(w.ctx, w.filter);
    filter = filter ? filter : "";
    static const KVN_COLUMN k_size = {"Size", "size", "bytes", 80};
    const cJSON *it;
    cJSON_ArrayForEach(it, _items(KVN_WIZ_IMAGES)) {
        if (strcmp(_str(it, "status"), "active") != 0) continue;
        if (*filter && !_contains_ci(_str(it, "name"), filter) &&
            !_contains_ci(_str(it, "os_distro"), filter))
            continue;
        char size[64], min_disk[32];
        kvn_api_format_cell(it, &k_size, size, sizeof size);
        q_format(min_disk, sizeof min_disk, "%.0f", _num(it, "min_disk", 0));
        const char *name = *_str(it, "name") ? _str(it, "name") : _str(it, "id");
        const char *row[5] = {name, size, min_disk, _str(it, "visibility"), _str(it, "id")};
        const int r = q_gui_datagrid_add_row(w.ctx, w.images, row);
        if (r >= 0 && !keep.empty() && keep == _str(it, "id"))
            q_gui_datagrid_set_selected_row(w.ctx, w.images, r);
    }
}

void _fill_flavors(void) {
    const std::string keep = _flavor_id();
    q_gui_datagrid_clear(w.ctx, w.flavors);
    KVN_WIZ_QUOTA q;
    const bool quota = kvn_wizard_quota(w.lists[KVN_WIZ_LIMITS], &q) == 0;
    const ALLEGRO_COLOR red = kvn_theme_current()->error;
    static const KVN_COLUMN k_ram = {"RAM", "ram", "mib", 90};
    const cJSON *it;
    cJSON_ArrayForEach(it, _items(KVN_WIZ_FLAVORS)) {
        char vcpus[32], ram[64], disk[32];
        q_format(vcpus, sizeof vcpus, "%.0f", _num(it, "vcpus", 0));
        kvn_api_format_cell(it, &k_ram, ram, sizeof ram);
        q_format(disk, sizeof disk, "%.0f", _num(it, "disk", 0));
        const char *row[5] = {_str(it, "name"), vcpus, ram, disk, _str(it, "id")};
        const int r = q_gui_datagrid_add_row(w.ctx, w.flavors, row);
        if (r < 0) continue;
        if (quota && !kvn_wizard_flavor_fits(&q, it)) q_gui_datagrid_set_row_color(w.ctx, w.flavors, r, red);
        if (!keep.empty() && keep == _str(it, "id")) q_gui_datagrid_set_selected_row(w.ctx, w.flavors, r);
    }
}

void _fill_networks(void) {
    q_gui_listbox_clear(w.ctx, w.networks);
    w.network_ids.clear();
    const cJSON *it;
    cJSON_ArrayForEach(it, _items(KVN_WIZ_NETWORKS)) {
        char text[Q_GUI_ITEM_TEXT_MAX];
        const cJSON *ext = cJSON_GetObjectItemCaseSensitive(it, "router:external");
        q_format(text, sizeof text, "%s%s", *_str(it, "name") ? _str(it, "name") : _str(it, "id"),
                 cJSON_IsTrue(ext) ? " (external)" : "");
        q_gui_listbox_add_item(w.ctx, w.networks, text);
        w.network_ids.push_back(_str(it, "id"));
    }
}

void _fill_groups(void) {
    q_gui_listbox_clear(w.ctx, w.groups);
    w.group_names.clear();
    const cJSON *it;
    cJSON_ArrayForEach(it, _items(KVN_WIZ_SECGROUPS)) {
        const char *name = _str(it, "name");
        q_gui_listbox_add_item(w.ctx, w.groups, name);
        w.group_names.push_back(name);
        if (!strcmp(name, "default"))
            q_gui_listbox_set_selected(w.ctx, w.groups, (int)w.group_names.size() - 1, 1);
    }
}

void _fill_keypairs(void) {
    q_gui_combobox_clear(w.ctx, w.keypair);
    w.key_names.clear();
    q_gui_combobox_add_item(w.ctx, w.keypair, "(no key pair)");
    const cJSON *it;
    cJSON_ArrayForEach(it, _items(KVN_WIZ_KEYPAIRS)) {
        const char *name = _str(cJSON_GetObjectItemCaseSensitive(it, "keypair"), "name");
        if (!*name) continue;
        q_gui_combobox_add_item(w.ctx, w.keypair, name);
        w.key_names.push_back(name);
    }
    q_gui_combobox_set_selected(w.ctx, w.keypair, w.key_names.size() == 1 ? 1 : 0);
}

void _apply(int index) {
    switch (index) {
    case KVN_WIZ_IMAGES:
        _fill_images();
        break;
    case KVN_WIZ_FLAVORS:
    case KVN_WIZ_LIMITS:
        _fill_flavors();
        break;
    case KVN_WIZ_NETWORKS:
        _fill_networks();
        break;
    case KVN_WIZ_SECGROUPS:
        _fill_groups();
        break;
    case KVN_WIZ_KEYPAIRS:
        _fill_keypairs();
        break;
    default:
        break;
    }
    _update_quota();
}

void _take(int index, cJSON *answer, const char *error) {
    if (!w.ctx || index < 0 || index >= KVN_WIZ_LISTS) {
        cJSON_Delete(answer);
        return;
    }
    cJSON_Delete(w.lists[index]);
    w.lists[index] = nullptr;
    w.failed[index] = error != nullptr;
    if (error) {
        char text[1024];
        q_format(text, sizeof text, "cannot load a list: %.900s", error);
        _message(KVN_STATUS_ERROR, text);
        cJSON_Delete(answer);
    } else {
        w.lists[index] = answer;
        // An object of named entries becomes the array the fillers walk.
        if (k_lists[index].key) kvn_api_items(answer, k_lists[index].key);
    }
    _apply(index);
}

void *_tag(unsigned generation, int index) {
    return reinterpret_cast<void *>(((uintptr_t)generation << 4) | (uintptr_t)index);
}

void _on_list(KVN_REQ *req, void *user) {
    const uintptr_t t = reinterpret_cast<uintptr_t>(user);
    const int index = (int)(t & 0xf);
    if (!w.ctx || (unsigned)(t >> 4) != w.generation) return;
    w.answers++;
    KVN_RESULT *r = req->result;
    if (kvn_result_ok(r)) {
        cJSON *answer = r->json;
        r->json = nullptr;
        _take(index, answer, nullptr);
    } else {
        _take(index, nullptr, r->error[0] ? r->error : "no answer");
    }
}

void _load_lists(void) {
    for (int i = 0; i < KVN_WIZ_LISTS; i++) {
        KVN_REQ *req = kvn_req_new(k_lists[i].service, "GET", k_lists[i].path);
        if (!req) continue;
        if (k_lists[i].paged) {
            req->flags = KVN_REQ_ALL_PAGES;
            q_strcpy(req->collection_key, sizeof req->collection_key, k_lists[i].key);
        }
        kvn_req_submit(req, "loading wizard lists", _on_list, _tag(w.generation, i));
    }
}

// ---- the inputs -------------------------------------------------------------------------------

void _on_filter(int, const char *, void *) {
    _fill_images();
    _redraw();
}

void _on_count(int, const char *, void *) {
    _update_quota();
}

void _on_flavor(int, int, void *) {
    _update_quota();
}

void _on_image(int, int, void *) {
    const cJSON *image = _find(KVN_WIZ_IMAGES, "id", _image_id());
    if (!image) return;
    char size[32];
    q_format(size, sizeof size, "%.0f", kvn_wizard_volume_size(image));
    q_gui_textarea_set_text(w.ctx, w.volume_size, size);
    _redraw();
}

// ---- creating -----------------------------------------------------------------------------------

void _on_created(KVN_REQ *req, void *) {
    if (!w.ctx) return;
    w.creating = false;
    q_gui_widget_set_enabled(w.ctx, w.create, 1);
    const KVN_RESULT *r = req->result;
    if (!kvn_result_ok(r)) {
        const char *err = r->error[0] ? r->error : "no answer";
        _message(KVN_STATUS_ERROR, err);
        kvn_app_status(KVN_STATUS_ERROR, "server creation failed: %s", err);
        return;
    }
    _message(KVN_STATUS_INFO, "");
    if (w.window >= 0 && q_gui_window_is_open(w.ctx, w.window)) q_gui_close_window(w.ctx, w.window);
    kvn_app_status(KVN_STATUS_INFO, "%s", "server creation accepted");
    const cJSON *pass = kvn_api_json_at(r->json, "server.adminPass");
    if (cJSON_IsString(pass)) {
        Q_SECRET_CBUF text(q_json_print_secret(r->json, 1));
        if (text)
            kvn_gui_show_result("Server created (the admin password is shown only once)", text.get(), 1, "");
    }
    if (w.res) kvn_gui_resource_reload(w.res);
    _redraw();
}

cJSON *_request(void) {
    std::vector<const char *> nets, groups;
    for (int i = 0; i < (int)w.network_ids.size(); i++)
        if (q_gui_listbox_is_selected(w.ctx, w.networks, i)) nets.push_back(w.network_ids[(size_t)i].c_str());
    for (int i = 0; i < (int)w.group_names.size(); i++)
        if (q_gui_listbox_is_selected(w.ctx, w.groups, i)) groups.push_back(w.group_names[(size_t)i].c_str());
    const int key = q_gui_combobox_get_selected(w.ctx, w.keypair);
    KVN_WIZ_CHOICE c;
    memset(&c, 0, sizeof c);
    c.name = q_gui_textarea_get_text(w.ctx, w.name);
    c.count_text = q_gui_textarea_get_text(w.ctx, w.count);
    c.image_id = _image_id();
    c.flavor_id = _flavor_id();
    c.key_name = key >= 1 && key <= (int)w.key_names.size() ? w.key_names[(size_t)key - 1].c_str() : nullptr;
    c.user_data = q_gui_textarea_get_text(w.ctx, w.user_data);
    c.boot_volume = q_gui_checkbox_is_checked(w.ctx, w.boot_volume);
    c.delete_volume = q_gui_checkbox_is_checked(w.ctx, w.delete_volume);
    c.volume_size_text = q_gui_textarea_get_text(w.ctx, w.volume_size);
    c.network_ids = nets.data();
    c.network_count = (int)nets.size();
    c.group_names = groups.data();
    c.group_count = (int)groups.size();
    char err[256];
    cJSON *body = kvn_wizard_body(&c, err, sizeof err);
    if (!body) _message(KVN_STATUS_ERROR, err);
    return body;
}

void _on_create(int, void *) {
    if (!w.ctx || w.creating) return;
    cJSON *body = _request();
    if (!body) return;
    KVN_REQ *req = kvn_req_new("compute", "POST", "/servers");
    if (!req) {
        q_json_delete_secret(body);
        _message(KVN_STATUS_ERROR, "not connected");
        return;
    }
    req->body = body;
    req->opts.has_microversion = 1;
    q_strcpy(req->opts.microversion, sizeof req->opts.microversion, "2.37");
    _message(KVN_STATUS_INFO, "creating...");
    q_gui_widget_set_enabled(w.ctx, w.create, 0);
    w.creating = true;
    if (kvn_req_submit(req, "creating server", _on_created, nullptr) < 0) {
        w.creating = false;
        q_gui_widget_set_enabled(w.ctx, w.create, 1);
        _message(KVN_STATUS_ERROR, "cannot start the request");
    }
}

void _on_cancel(int, void *) {
    if (w.ctx && w.window >= 0) q_gui_close_window(w.ctx, w.window);
    _redraw();
}

void _on_ui(const KVN_RESOURCE *res, const KVN_OP *, const cJSON *) {
    kvn_gui_wizard_open(res);
}

// ---- building ---------------------------------------------------------------------------------

int _tip(int id, const char *text) {
    if (id >= 0) q_gui_widget_set_tooltip(w.ctx, id, text);
    return id;
}

int _label(const char *text, float x, float y, float width) {
    return q_gui_add_label(w.ctx, w.window, text, x, y, width, 26, 0);
}

int _input(float x, float y, float width, float height, int multiline, int max, Q_GUI_TEXT_CB cb,
           const char *placeholder, const char *tip) {
    const int id = q_gui_add_textarea(w.ctx, w.window, x, y, width, height, multiline, max, cb, nullptr);
    if (placeholder) q_gui_textarea_set_placeholder(w.ctx, id, placeholder);
    return _tip(id, tip);
}

int _grid(float x, Q_GUI_INDEX_CB cb, const char *tip, const char *const titles[4], const float widths[4]) {
    const int id = _tip(q_gui_add_datagrid(w.ctx, w.window, x, 76, 512, 250, cb, nullptr), tip);
    for (int i = 0; i < 4; i++)
        q_gui_datagrid_add_column(w.ctx, id, titles[i], widths[i]);
    q_gui_datagrid_add_column(w.ctx, id, "_id", 10);
    q_gui_datagrid_set_column_visible(w.ctx, id, 4, 0);
    return id;
}

bool _build(void) {
    KVN_APP *app = kvn_app_get();
    Q_GUI_CTX *ctx = app ? app->gui : nullptr;
    if (!ctx) return false;
    if (ctx != w.ctx) {
        for (cJSON *&l : w.lists)
            cJSON_Delete(l);
        w = WIZARD();
        w.ctx = ctx;
    }
    if (w.window >= 0) return true;
    w.window = q_gui_add_window(ctx, "Create a server", 0, 0, k_win_w, k_win_h);
    if (w.window < 0) return false;
    q_gui_window_set_flags(ctx, w.window, Q_GUI_WIN_CLOSE_BTN);
    q_gui_window_set_zorder(ctx, w.window, Q_GUI_ZORDER_POPUP, 0);
    _label("Name *", 12, 10, 80);
    w.name = _input(92, 10, 300, 26, 0, 255, nullptr, "server name",
                    "Name of the new server (several get a numeric suffix)");
    _label("Count", 412, 10, 60);
    w.count = _input(472, 10, 60, 26, 0, 4, _on_count, nullptr,
                     "Number of identical servers (min_count = max_count)");
    q_gui_textarea_set_text(ctx, w.count, "1");
    _label("Image *", 12, 46, 80);
    w.filter = _input(92, 46, 432, 26, 0, 127, _on_filter, "filter images",
                      "Show only the images whose name or distribution contains this text");
    _label("Flavor *", 536, 46, 200);
    static const char *const k_image_cols[4] = {"Name", "Size", "Min disk", "Visibility"};
    // "Min disk" needs a little more than 60 pixels to show its title whole.
    static const float k_image_w[4] = {230, 80, 72, 80};
    w.images = _grid(12, _on_image, "Boot image (active images only)", k_image_cols, k_image_w);
    static const char *const k_flavor_cols[4] = {"Name", "vCPUs", "RAM", "Disk GB"};
    static const float k_flavor_w[4] = {200, 60, 90, 70};
    w.flavors = _grid(536, _on_flavor, "Size of the server. Red rows do not fit the remaining quota",
                      k_flavor_cols, k_flavor_w);
    w.boot_volume = _tip(
        q_gui_add_checkbox(ctx, w.window, "Boot from a new volume of", 12, 334, 220, 26, 0, nullptr, nullptr),
        "Create a volume from the image and boot from it (block_device_mapping_v2)");
    w.volume_size = _input(237, 334, 60, 26, 0, 6, nullptr, nullptr, "Boot volume size in GB");
    q_gui_textarea_set_text(ctx, w.volume_size, "20");
    _label("GB", 302, 334, 30);
    w.delete_volume = _tip(
        q_gui_add_checkbox(ctx, w.window, "delete with the server", 337, 334, 200, 26, 1, nullptr, nullptr),
        "Delete the boot volume when the server is deleted");
    _label("Networks (none = automatic)", 12, 370, 250);
    _label("Security groups", 536, 370, 250);
    _label("Key pair", 268, 370, 100);
    w.networks = _tip(q_gui_add_listbox(ctx, w.window, 12, 396, 250, 150, 2, nullptr, nullptr),
                      "Networks to attach (Ctrl click for several). None selected: networks auto");
    w.keypair = _tip(q_gui_add_combobox(ctx, w.window, 268, 396, 256, 26, nullptr, nullptr),
                     "SSH key injected in the server");
    w.user_data = _input(268, 426, 256, 120, 1, k_user_data_max, nullptr, "cloud-init user data (optional)",
                         "Sent base64 encoded as user_data");
    w.groups = _tip(q_gui_add_listbox(ctx, w.window, 536, 396, 250, 150, 2, nullptr, nullptr),
                    "Security groups of the server ports");
    w.quota = _label("", 12, 556, 1036);
    w.message = _label("", 12, 582, 1036);
    w.create = _tip(q_gui_add_button(ctx, w.window, "Create", 820, 614, 110, 30, 1, _on_create, nullptr),
                    "POST /servers (openstack server create)");
    w.cancel = _tip(q_gui_add_button(ctx, w.window, "Cancel", 938, 614, 110, 30, 1, _on_cancel, nullptr),
                    "Close without creating (ESC)");
    if (w.name < 0 || w.images < 0 || w.flavors < 0 || w.networks < 0 || w.groups < 0 || w.quota < 0 ||
        w.message < 0 || w.create < 0 || w.cancel < 0)
        return false;
    kvn_gui_layout_auto_anchor(w.window, -1);
    q_gui_close_window(ctx, w.window);
    return true;
}

int _open(const KVN_RESOURCE *res, bool load) {
    if (!_build()) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the server wizard");
        return -1;
    }
    w.res = res;
    q_gui_textarea_set_text(w.ctx, w.name, "");
    _message(KVN_STATUS_INFO, "");
    kvn_gui_layout_place_popup(w.window, "server_wizard", k_win_w, k_win_h);
    q_gui_open_window(w.ctx, w.window);
    q_gui_raise_window(w.ctx, w.window);
    w.generation++;
    w.answers = 0;
    for (int i = 0; i < KVN_WIZ_LISTS; i++) {
        cJSON_Delete(w.lists[i]);
        w.lists[i] = nullptr;
        w.failed[i] = false;
        _apply(i);
    }
    if (load) _load_lists();
    _update_quota();
    return 0;
}

} // namespace

// ---- the rules ------------------------------------------------------------------------------------

double kvn_wizard_volume_size(const cJSON *image) {
    const double gib = ceil(_num(image, "size", 0) / 1073741824.0);
    const double min_disk = _num(image, "min_disk", 0);
    double size = 10;
    if (min_disk > size) size = min_disk;
    if (gib > size) size = gib;
    return size;
}

int kvn_wizard_quota(const cJSON *limits, KVN_WIZ_QUOTA *out) {
    const cJSON *a = kvn_api_json_at(limits, "limits.absolute");
    if (!out || !cJSON_IsObject(a)) return -1;
    out->max_instances = _num(a, "maxTotalInstances", -1);
    out->used_instances = _num(a, "totalInstancesUsed", 0);
    out->max_cores = _num(a, "maxTotalCores", -1);
    out->used_cores = _num(a, "totalCoresUsed", 0);
    out->max_ram = _num(a, "maxTotalRAMSize", -1);
    out->used_ram = _num(a, "totalRAMUsed", 0);
    return 0;
}

int kvn_wizard_flavor_fits(const KVN_WIZ_QUOTA *q, const cJSON *flavor) {
    if (!q) return 1;
    // A missing maximum, or usage already past it, tells nothing about room.
    const double cores = q->max_cores < 0 ? -1 : q->max_cores - q->used_cores;
    const double ram = q->max_ram < 0 ? -1 : q->max_ram - q->used_ram;
    if (cores >= 0 && cores < _num(flavor, "vcpus", 0)) return 0;
    if (ram >= 0 && ram < _num(flavor, "ram", 0)) return 0;
    return 1;
}

int kvn_wizard_quota_line(const cJSON *limits, const cJSON *flavor, int count, char *out, size_t size) {
    KVN_WIZ_QUOTA q;
    if (!limits || kvn_wizard_quota(limits, &q) != 0) {
        q_strcpy(out, size, "Quota: loading...");
        return 0;
    }
    const double n = count < 1 ? 1 : count;
    const double instances = q.used_instances + n;
    const double cores = q.used_cores + _num(flavor, "vcpus", 0) * n;
    const double ram = q.used_ram + _num(flavor, "ram", 0) * n;
    const bool over = (q.max_instances >= 0 && instances > q.max_instances) ||
                      (q.max_cores >= 0 && cores > q.max_cores) || (q.max_ram >= 0 && ram > q.max_ram);
    // An unknown RAM maximum reads -1 like the others, not a fraction of it.
    q_format(out, size, "After creation: instances %.0f / %.0f, vCPUs %.0f / %.0f, RAM %.1f / %.1f GiB%s",
             instances, q.max_instances, cores, q.max_cores, ram / 1024,
             q.max_ram < 0 ? -1.0 : q.max_ram / 1024, over ? "  - OVER QUOTA" : "");
    return over ? 1 : 0;
}

cJSON *kvn_wizard_body(const KVN_WIZ_CHOICE *c, char *err, size_t err_size) {
    if (err && err_size) err[0] = 0;
    if (!c) return nullptr;
    const char *name = c->name ? c->name : "";
    while (*name == ' ')
        name++;
    if (!*name) {
        q_strcpy(err, err_size, "the name is required");
        return nullptr;
    }
    if (!c->flavor_id || !*c->flavor_id) {
        q_strcpy(err, err_size, "choose a flavor");
        return nullptr;
    }
    if (!c->image_id || !*c->image_id) {
        q_strcpy(err, err_size, "choose an image");
        return nullptr;
    }
    // A count that is no whole number would otherwise create one server
    // where the user asked for several.
    long count = 1;
    const char *ct = c->count_text ? c->count_text : "";
    while (*ct == ' ')
        ct++;
    if (*ct) {
        char *end = nullptr;
        errno = 0;
        count = strtol(ct, &end, 10);
        while (end && *end == ' ')
            end++;
        if (errno || !end || *end || count < 1) {
            q_strcpy(err, err_size, "the count must be a whole number of servers, 1 or more");
            return nullptr;
        }
    }
    long volume = 0;
    if (c->boot_volume) {
        const char *vt = c->volume_size_text ? c->volume_size_text : "";
        char *end = nullptr;
        errno = 0;
        volume = strtol(vt, &end, 10);
        while (end && *end == ' ')
            end++;
        if (!*vt || errno || !end || *end || volume < 1) {
            q_strcpy(err, err_size, "boot volume size must be a positive number of GB");
            return nullptr;
        }
    }
    Q_CJSON_SECRET body(cJSON_CreateObject());
    cJSON *s = body ? cJSON_AddObjectToObject(body.get(), "server") : nullptr;
    if (!s) return nullptr;
    cJSON_AddStringToObject(s, "name", c->name);
    cJSON_AddStringToObject(s, "flavorRef", c->flavor_id);
    if (c->boot_volume) {
        cJSON *bdm = cJSON_AddArrayToObject(s, "block_device_mapping_v2");
        cJSON *d = cJSON_CreateObject();
        cJSON_AddNumberToObject(d, "boot_index", 0);
        cJSON_AddStringToObject(d, "uuid", c->image_id);
        cJSON_AddStringToObject(d, "source_type", "image");
        cJSON_AddStringToObject(d, "destination_type", "volume");
        cJSON_AddNumberToObject(d, "volume_size", (double)volume);
        cJSON_AddBoolToObject(d, "delete_on_termination", c->delete_volume ? 1 : 0);
        cJSON_AddItemToArray(bdm, d);
    } else {
        cJSON_AddStringToObject(s, "imageRef", c->image_id);
    }
    if (c->network_count > 0) {
        cJSON *nets = cJSON_AddArrayToObject(s, "networks");
        for (int i = 0; i < c->network_count; i++) {
            cJSON *n = cJSON_CreateObject();
            cJSON_AddStringToObject(n, "uuid", c->network_ids[i]);
            cJSON_AddItemToArray(nets, n);
        }
    } else {
        cJSON_AddStringToObject(s, "networks", "auto");
    }
    cJSON *groups = cJSON_AddArrayToObject(s, "security_groups");
    for (int i = 0; i < c->group_count; i++) {
        cJSON *g = cJSON_CreateObject();
        cJSON_AddStringToObject(g, "name", c->group_names[i]);
        cJSON_AddItemToArray(groups, g);
    }
    if (c->key_name && *c->key_name) cJSON_AddStringToObject(s, "key_name", c->key_name);
    if (c->user_data && *c->user_data) {
        const size_t n = strlen(c->user_data);
        std::string b64(4 * ((n + 2) / 3) + 1, '\0');
        const long len = q_base64_encode(c->user_data, n, &b64[0], b64.size());
        if (len < 0) return nullptr;
        b64.resize((size_t)len);
        cJSON_AddStringToObject(s, "user_data", b64.c_str());
        q_secure_zero(&b64[0], b64.size());
    }
    if (count > 1) {
        cJSON_AddNumberToObject(s, "min_count", (double)count);
        cJSON_AddNumberToObject(s, "max_count", (double)count);
    }
    return body.release();
}

// ---- the window ---------------------------------------------------------------------------------

void kvn_gui_wizard_register(void) {
    kvn_gui_resource_register_ui("server_wizard", _on_ui);
}

int kvn_gui_wizard_open(const KVN_RESOURCE *res) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->session) return -1;
    return _open(res, true);
}

int kvn_gui_wizard_show(const KVN_RESOURCE *res) {
    return _open(res, false);
}

void kvn_gui_wizard_take(int index, cJSON *answer, const char *error) {
    _take(index, answer, error);
}

cJSON *kvn_gui_wizard_request(void) {
    return w.ctx && w.window >= 0 ? _request() : nullptr;
}

void kvn_gui_wizard_close(void) {
    if (!w.ctx || w.window < 0) return;
    KVN_APP *app = kvn_app_get();
    if (!app || app->gui != w.ctx) return;
    w.generation++;
    if (q_gui_window_is_open(w.ctx, w.window)) q_gui_close_window(w.ctx, w.window);
    for (int i = 0; i < KVN_WIZ_LISTS; i++) {
        cJSON_Delete(w.lists[i]);
        w.lists[i] = nullptr;
        w.failed[i] = false;
        _apply(i);
    }
}

int kvn_gui_wizard_escape(int window) {
    if (!w.ctx || w.window < 0 || window != w.window || !q_gui_window_is_open(w.ctx, w.window)) return 0;
    _on_cancel(0, nullptr);
    return 1;
}

void kvn_gui_wizard_shutdown(void) {
    if (w.ctx && w.window >= 0) {
        KVN_APP *app = kvn_app_get();
        if (app && app->gui == w.ctx && q_gui_window_is_open(w.ctx, w.window))
            q_gui_close_window(w.ctx, w.window);
    }
    for (cJSON *&l : w.lists)
        cJSON_Delete(l);
    w = WIZARD();
}

void kvn_gui_wizard_ids(KVN_WIZARD_IDS *out) {
    if (!out) return;
    memset(out, 0, sizeof *out);
    out->window = w.window;
    out->name = w.name;
    out->count = w.count;
    out->filter = w.filter;
    out->images = w.images;
    out->flavors = w.flavors;
    out->boot_volume = w.boot_volume;
    out->volume_size = w.volume_size;
    out->delete_volume = w.delete_volume;
    out->networks = w.networks;
    out->keypair = w.keypair;
    out->user_data = w.user_data;
    out->groups = w.groups;
    out->quota = w.quota;
    out->message = w.message;
    out->create = w.create;
    out->cancel = w.cancel;
    out->quota_over = w.quota_over;
    out->creating = w.creating;
    out->generation = w.generation;
    out->answers = w.answers;
}
