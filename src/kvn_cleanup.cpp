// Project cleanup: discovery of what a project owns, and its deletion in an
// order that lets each deletion succeed.

#include "kvn_cleanup.h"

#include <cJSON.h>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

#include "kvn_session.h"
#include "q_common.h"
#include "q_http_client.h"
#include "q_log.h"
#include "q_str.h"

namespace {

// ---------------------------------------------------------------- the table
// One row per kind, in discovery order, which is also the deletion order:
// what uses a resource goes before it.
struct CLEANUP_ROW {
    const char *kind;
    const char *service;
    const char *own_path;   // "%s" takes the encoded project id where present
    const char *other_path; // null: not listed for another project
    const char *key;
    const char *collection;
};

const CLEANUP_ROW g_rows[] = {
    {"server", "compute", "/servers/detail", "/servers/detail?all_tenants=1&project_id=%s", "servers",
     "/servers"},
    {"server group", "compute", "/os-server-groups", nullptr, "server_groups", "/os-server-groups"},
    {"volume backup", "block-storage", "/backups/detail", "/backups/detail?all_tenants=1&project_id=%s",
     "backups", "/backups"},
    {"volume snapshot", "block-storage", "/snapshots/detail", "/snapshots/detail?all_tenants=1&project_id=%s",
     "snapshots", "/snapshots"},
    {"volume", "block-storage", "/volumes/detail", "/volumes/detail?all_tenants=1&project_id=%s", "volumes",
     "/volumes"},
    {"floating IP", "network", "/floatingips?project_id=%s", "/floatingips?project_id=%s", "floatingips",
     "/floatingips"},
    {"router", "network", "/routers?project_id=%s", "/routers?project_id=%s", "routers", "/routers"},
    {"port", "network", "/ports?project_id=%s", "/ports?project_id=%s", "ports", "/ports"},
    {"network", "network", "/networks?project_id=%s", "/networks?project_id=%s", "networks", "/networks"},
    {"security group", "network", "/security-groups?project_id=%s", "/security-groups?project_id=%s",
     "security_groups", "/security-groups"},
    {"image", "image", "/images?owner=%s", "/images?owner=%s", "images", "/images"},
};
const char *const CONTAINER_KIND = "container";

// Members that name an item's project, most specific first. The last two
// are where Cinder puts the owner of snapshots and backups for an admin:
// without them another project's snapshots would never be listed, and its
// volumes could then never be deleted.
const char *const g_owner_keys[] = {"project_id",
                                    "tenant_id",
                                    "owner",
                                    "os-vol-tenant-attr:tenant_id",
                                    "project",
                                    "os-extended-snapshot-attributes:project_id",
                                    "os-backup-project-attr:project_id"};

// Deletions that go on in the background: the next kind waits until they
// are gone, or a volume would still be in use, or still have snapshots.
const int WAIT_STEP_MS = 1500;
const int WAIT_MAX_MS = 180000;

const CLEANUP_ROW *_row_of(const char *kind) {
    for (const CLEANUP_ROW &r : g_rows)
        if (strcmp(r.kind, kind) == 0) return &r;
    return nullptr;
}

bool _waits_after(const char *kind) {
    return strcmp(kind, "server") == 0 || strcmp(kind, "volume snapshot") == 0 ||
           strcmp(kind, "volume backup") == 0;
}

struct RESULT_PTR {
    KVN_RESULT *r = nullptr;
    ~RESULT_PTR() { kvn_result_free(&r); }
    RESULT_PTR() = default;
    RESULT_PTR(const RESULT_PTR &) = delete;
    RESULT_PTR &operator=(const RESULT_PTR &) = delete;
    void reset(KVN_RESULT *n) {
        kvn_result_free(&r);
        r = n;
    }
};

struct QSTR_PTR {
    Q_STR *s = nullptr;
    ~QSTR_PTR() { free_qstr(&s); }
    QSTR_PTR() = default;
    QSTR_PTR(const QSTR_PTR &) = delete;
    QSTR_PTR &operator=(const QSTR_PTR &) = delete;
};

// Everything but the characters of ids and names is encoded, so a name or
// id from an answer can never reach another path.
std::string _encoded(const char *text) {
    QSTR_PTR enc;
    if (q_httpc_url_encode(&enc.s, text ? text : "") != 0 || !enc.s) return "";
    return std::string(enc.s->data, enc.s->length);
}

const char *_str(const cJSON *obj, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    return cJSON_IsString(v) && v->valuestring ? v->valuestring : nullptr;
}

// The project the session is scoped to. A session that has not signed in
// yet knows none: it signs in first, as its first call would.
std::string _session_project(KVN_SESSION *s, Q_HTTPC_CANCEL *cancel) {
    KVN_SESSION_INFO info;
    memset(&info, 0, sizeof info);
    if (kvn_session_info(s, &info) != 0) return "";
    if (!info.has_token && kvn_session_authenticate(s, cancel) == 0 && kvn_session_info(s, &info) != 0)
        return "";
    return info.project_id;
}

// 1 when the item belongs to the target. The first member naming a project
// decides; an item that names none (Nova and Cinder hide it from some
// users) is taken only from the own project's compute and block-storage
// listings, which hold nothing else.
int _owned(const cJSON *item, const char *service, const char *target, int own) {
    for (const char *key : g_owner_keys) {
        const char *v = _str(item, key);
        if (v && *v) return strcmp(v, target) == 0;
    }
    return own && (strcmp(service, "compute") == 0 || strcmp(service, "block-storage") == 0);
}

void _store_progress(float *progress, float v) {
    if (progress) __atomic_store(progress, &v, __ATOMIC_RELAXED);
}

bool _cancelled(Q_HTTPC_CANCEL *cancel) {
    return cancel && q_httpc_is_cancelled(cancel);
}

// Sleeps up to ms, waking early when the token fires.
void _nap(int ms, Q_HTTPC_CANCEL *cancel) {
    for (int left = ms; left > 0 && !_cancelled(cancel); left -= 50) {
        struct timespec ts = {0, (left < 50 ? left : 50) * 1000000L};
        nanosleep(&ts, nullptr);
    }
}

KVN_RESULT *_call(KVN_SESSION *s, const char *service, const char *method, const char *path,
                  const cJSON *body, Q_HTTPC_CANCEL *cancel) {
    return kvn_session_call(s, service, method, path, body, nullptr, cancel);
}

void _error_of(const KVN_RESULT *r, char *out, size_t size) {
    q_format(out, size, "%s", r && r->error[0] ? r->error : "no answer");
}

// The list path of a row for the target.
std::string _list_path(const CLEANUP_ROW &row, const KVN_CLEANUP_PLAN *plan) {
    const char *tmpl = plan->other_project ? row.other_path : row.own_path;
    if (!tmpl) return "";
    std::string out;
    for (const char *p = tmpl; *p; p++) {
        if (p[0] == '%' && p[1] == 's') {
            out += _encoded(plan->project);
            p++;
        } else {
            out += *p;
        }
    }
    return out;
}

// Every element of a Swift listing (an array answer), page after page: Swift
// pages by the last name seen, not by links.
int _swift_list(KVN_SESSION *s, const std::string &path, Q_CJSON *out, char *err, size_t err_size,
                Q_HTTPC_CANCEL *cancel) {
    out->reset(cJSON_CreateArray());
    if (!*out) {
        q_strcpy(err, err_size, "out of memory");
        return -1;
    }
    std::string marker;
    for (int page = 0; page < 10000; page++) {
        std::string url = path + (path.find('?') == std::string::npos ? "?" : "&") + "format=json";
        if (!marker.empty()) url += "&marker=" + _encoded(marker.c_str());
        RESULT_PTR r;
        r.reset(kvn_call_paged(s, "object-store", url.c_str(), nullptr, cancel));
        if (!kvn_result_ok(r.r) || !cJSON_IsArray(r.r->json)) {
            _error_of(r.r, err, err_size);
            if (kvn_result_ok(r.r) && r.r->status == 204) return 0; // an empty account or container
            return page == 0 ? -1 : 0;
        }
        if (cJSON_GetArraySize(r.r->json) == 0) return 0;
        std::string last;
        while (cJSON *e = cJSON_DetachItemFromArray(r.r->json, 0)) {
            if (const char *name = _str(e, "name")) last = name;
            cJSON_AddItemToArray(out->get(), e);
        }
        if (last.empty() || last == marker) return 0;
        marker = last;
    }
    return 0;
}

// ---------------------------------------------------------------- discovery

void _item_set(KVN_CLEANUP_ITEM *it, const CLEANUP_ROW &row, const char *id, const char *name) {
    memset(it, 0, sizeof *it);
    q_strcpy(it->service, sizeof it->service, row.service);
    q_strcpy(it->kind, sizeof it->kind, row.kind);
    q_strcpy(it->id, sizeof it->id, id);
    q_strcpy(it->name, sizeof it->name, name && *name ? name : id);
    q_format(it->path, sizeof it->path, "%s/%.300s", row.collection, _encoded(id).c_str());
}

void _discover_row(KVN_SESSION *s, const CLEANUP_ROW &row, KVN_CLEANUP_PLAN *plan, int own, Q_STR *log,
                   Q_HTTPC_CANCEL *cancel) {
    const std::string path = _list_path(row, plan);
    if (path.empty()) return;
    RESULT_PTR r;
    r.reset(kvn_call_paged(s, row.service, path.c_str(), row.key, cancel));
    const cJSON *items = kvn_result_ok(r.r) ? cJSON_GetObjectItemCaseSensitive(r.r->json, row.key) : nullptr;
    if (!cJSON_IsArray(items)) {
        char err[1024];
        _error_of(r.r, err, sizeof err);
        if (log) qstrprintf_cat_ex(log, "%s: cannot list (%s)\n", row.kind, err);
        return;
    }
    const cJSON *item;
    cJSON_ArrayForEach(item, items) {
        const char *id = _str(item, "id");
        if (!id || !*id) continue;
        if (!_owned(item, row.service, plan->project, own)) continue;
        const char *name = _str(item, "name");
        if (strcmp(row.kind, "security group") == 0 && name && strcmp(name, "default") == 0) continue;
        if (strcmp(row.kind, "port") == 0) {
            const char *owner = _str(item, "device_owner");
            if (owner && strncmp(owner, "network:", 8) == 0) continue;
        }
        if (strcmp(row.kind, "floating IP") == 0) name = _str(item, "floating_ip_address");
        KVN_CLEANUP_ITEM it;
        _item_set(&it, row, id, name);
        if (strcmp(row.kind, "router") == 0)
            it.external_gateway =
                cJSON_IsObject(cJSON_GetObjectItemCaseSensitive(item, "external_gateway_info"));
        kvn_cleanup_plan_add(plan, &it);
    }
}

void _discover_containers(KVN_SESSION *s, KVN_CLEANUP_PLAN *plan, Q_STR *log, Q_HTTPC_CANCEL *cancel) {
    Q_CJSON list;
    char err[1024] = "";
    if (_swift_list(s, "/", &list, err, sizeof err, cancel) != 0) {
        if (log) qstrprintf_cat_ex(log, "container: cannot list (%s)\n", err);
        return;
    }
    const cJSON *e;
    cJSON_ArrayForEach(e, list.get()) {
        const char *name = _str(e, "name");
        if (!name || !*name) continue;
        KVN_CLEANUP_ITEM it;
        memset(&it, 0, sizeof it);
        q_strcpy(it.service, sizeof it.service, "object-store");
        q_strcpy(it.kind, sizeof it.kind, CONTAINER_KIND);
        q_strcpy(it.id, sizeof it.id, name);
        q_strcpy(it.name, sizeof it.name, name);
        q_format(it.path, sizeof it.path, "/%s", _encoded(name).c_str());
        kvn_cleanup_plan_add(plan, &it);
    }
}

// ---------------------------------------------------------------- deletion

// The object an answer to a GET of one item describes: the answer itself
// (Glance) or its one wrapped member ({"server": {...}}).
const cJSON *_answer_item(const cJSON *answer) {
    if (!cJSON_IsObject(answer)) return nullptr;
    if (_str(answer, "id")) return answer;
    const cJSON *m;
    cJSON_ArrayForEach(m, answer) {
        if (cJSON_IsObject(m)) return m;
    }
    return nullptr;
}

// What a fresh look at one kind says of each planned id: owned by the
// target, or not. Ids that the listing lacks are looked up one by one.
struct KIND_CHECK {
    bool listed = false;
    std::unordered_map<std::string, bool> owned;
};

void _check_kind(KVN_SESSION *s, const KVN_CLEANUP_PLAN *plan, const char *kind, int own, KIND_CHECK *out,
                 Q_HTTPC_CANCEL *cancel) {
    out->listed = false;
    out->owned.clear();
    const CLEANUP_ROW *row = _row_of(kind);
    if (!row) return;
    const std::string path = _list_path(*row, plan);
    if (path.empty()) return;
    RESULT_PTR r;
    r.reset(kvn_call_paged(s, row->service, path.c_str(), row->key, cancel));
    const cJSON *items = kvn_result_ok(r.r) ? cJSON_GetObjectItemCaseSensitive(r.r->json, row->key) : nullptr;
    if (!cJSON_IsArray(items)) return;
    out->listed = true;
    const cJSON *item;
    cJSON_ArrayForEach(item, items) {
        const char *id = _str(item, "id");
        if (id && *id) out->owned[id] = _owned(item, row->service, plan->project, own) != 0;
    }
}

enum { CHECK_OWNED = 0, CHECK_GONE = 1, CHECK_REFUSED = 2 };

// Whether an entry may be deleted: 0 owned, 1 already gone, 2 not to be
// touched (detail says why).
int _check_entry(KVN_SESSION *s, const KVN_CLEANUP_PLAN *plan, KVN_CLEANUP_ITEM *e, const KIND_CHECK &check,
                 int own, Q_HTTPC_CANCEL *cancel) {
    if (strcmp(e->kind, CONTAINER_KIND) == 0) {
        // A container is named within the session's own account: it is the
        // target's only while the session is still scoped to the target.
        if (!own) {
            q_format(e->detail, sizeof e->detail,
                     "not deleted: the session is no longer scoped to project %.180s", plan->project);
            return CHECK_REFUSED;
        }
        return CHECK_OWNED;
    }
    if (check.listed) {
        auto it = check.owned.find(e->id);
        if (it != check.owned.end()) {
            if (it->second) return CHECK_OWNED;
            q_format(e->detail, sizeof e->detail, "not deleted: it does not belong to project %.180s",
                     plan->project);
            return CHECK_REFUSED;
        }
    }
    RESULT_PTR r;
    r.reset(_call(s, e->service, "GET", e->path, nullptr, cancel));
    if (r.r && r.r->status == 404) return CHECK_GONE;
    const cJSON *item = kvn_result_ok(r.r) ? _answer_item(r.r->json) : nullptr;
    if (!item) {
        char err[1024];
        _error_of(r.r, err, sizeof err);
        q_format(e->detail, sizeof e->detail, "not deleted: its owner cannot be checked (%.180s)", err);
        return CHECK_REFUSED;
    }
    if (_owned(item, e->service, plan->project, own)) return CHECK_OWNED;
    q_format(e->detail, sizeof e->detail, "not deleted: it does not belong to project %.180s", plan->project);
    return CHECK_REFUSED;
}

void _wait_gone(KVN_SESSION *s, const KVN_CLEANUP_ITEM *e, Q_HTTPC_CANCEL *cancel) {
    for (int waited = 0; waited <= WAIT_MAX_MS && !_cancelled(cancel); waited += WAIT_STEP_MS) {
        RESULT_PTR r;
        r.reset(_call(s, e->service, "GET", e->path, nullptr, cancel));
        if (r.r && r.r->status == 404) return;
        _nap(WAIT_STEP_MS, cancel);
    }
    q_log(Q_LOG_WARNING, "%s %s still there after %d s", e->kind, e->id, WAIT_MAX_MS / 1000);
}

void _detach_router(KVN_SESSION *s, const KVN_CLEANUP_ITEM *e, Q_HTTPC_CANCEL *cancel) {
    std::string path = "/ports?device_id=" + _encoded(e->id);
    RESULT_PTR r;
    r.reset(kvn_call_paged(s, "network", path.c_str(), "ports", cancel));
    const cJSON *ports = kvn_result_ok(r.r) ? cJSON_GetObjectItemCaseSensitive(r.r->json, "ports") : nullptr;
    const cJSON *p;
    cJSON_ArrayForEach(p, q_json_array(ports)) {
        const char *dev = _str(p, "device_id");
        const char *owner = _str(p, "device_owner");
        const char *pid = _str(p, "id");
        if (!dev || strcmp(dev, e->id) != 0 || !owner || !strstr(owner, "router_interface") || !pid) continue;
        Q_CJSON body(cJSON_CreateObject());
        if (!body) return;
        cJSON_AddStringToObject(body.get(), "port_id", pid);
        std::string rp = "/routers/" + _encoded(e->id) + "/remove_router_interface";
        RESULT_PTR x;
        x.reset(_call(s, "network", "PUT", rp.c_str(), body.get(), cancel));
    }
    if (e->external_gateway) {
        Q_CJSON body(cJSON_Parse("{\"router\":{\"external_gateway_info\":{}}}"));
        RESULT_PTR x;
        x.reset(_call(s, "network", "PUT", e->path, body.get(), cancel));
    }
}

// Objects go before their container; a listing is repeated until it comes
// back empty, so a container holding more than one listing page is emptied
// too. A pass that deletes nothing ends it.
void _empty_container(KVN_SESSION *s, KVN_CLEANUP_ITEM *e, Q_HTTPC_CANCEL *cancel) {
    for (int pass = 0; pass < 1000 && !_cancelled(cancel); pass++) {
        Q_CJSON list;
        char err[1024] = "";
        RESULT_PTR r;
        std::string path = std::string(e->path) + "?format=json";
        r.reset(kvn_call_paged(s, "object-store", path.c_str(), nullptr, cancel));
        if (r.r && r.r->status == 204) return;
        if (!kvn_result_ok(r.r) || !cJSON_IsArray(r.r->json)) {
            if (r.r && r.r->status == 404) return;
            _error_of(r.r, err, sizeof err);
            q_format(e->detail, sizeof e->detail, "cannot list objects: %.200s", err);
            return;
        }
        int deleted = 0;
        const cJSON *o;
        cJSON_ArrayForEach(o, r.r->json) {
            if (_cancelled(cancel)) return;
            const char *name = _str(o, "name");
            if (!name) continue;
            std::string op = std::string(e->path) + "/" + _encoded(name);
            RESULT_PTR d;
            d.reset(_call(s, "object-store", "DELETE", op.c_str(), nullptr, cancel));
            if (kvn_result_ok(d.r) || (d.r && d.r->status == 404)) {
                deleted++;
            } else {
                _error_of(d.r, err, sizeof err);
                q_format(e->detail, sizeof e->detail, "object %.120s: %.120s", name, err);
            }
        }
        if (deleted == 0) return;
    }
}

} // namespace

// ---------------------------------------------------------------- the plan

KVN_CLEANUP_PLAN *kvn_cleanup_plan_new(void) {
    KVN_CLEANUP_PLAN *plan = nullptr;
    Q_CALLOC(plan, 1, KVN_CLEANUP_PLAN);
    return plan;
}

void kvn_cleanup_plan_free(KVN_CLEANUP_PLAN **plan) {
    if (!plan || !*plan) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", "plan", __LINE__, __FILE__);
        return;
    }
    Q_FREE((*plan)->entries);
    Q_FREE(*plan);
}

int kvn_cleanup_plan_add(KVN_CLEANUP_PLAN *plan, const KVN_CLEANUP_ITEM *item) {
    Q_GUARD(plan && item, -1);
    if (plan->count >= plan->capacity) {
        int cap = plan->capacity ? plan->capacity * 2 : KVN_CLEANUP_PLAN_FIRST;
        void *grown = q_realloc_checked(plan->entries, (size_t)cap * sizeof(KVN_CLEANUP_ITEM),
                                        "plan->entries", __LINE__, __FILE__);
        if (!grown) return -1;
        plan->entries = static_cast<KVN_CLEANUP_ITEM *>(grown);
        plan->capacity = cap;
    }
    plan->entries[plan->count++] = *item;
    return 0;
}

int kvn_cleanup_plan_count_state(const KVN_CLEANUP_PLAN *plan, int state) {
    int n = 0;
    for (int i = 0; plan && i < plan->count; i++)
        n += plan->entries[i].state == state;
    return n;
}

// ---------------------------------------------------------------- the jobs

int kvn_cleanup_discover(KVN_SESSION *session, const char *project, KVN_CLEANUP_PLAN *plan, Q_STR *log,
                         Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(session && plan, -1);
    plan->count = 0;
    plan->other_project = 0;
    const std::string own = _session_project(session, cancel);
    q_strcpy(plan->project, sizeof plan->project, project && *project ? project : own.c_str());
    if (!plan->project[0]) return -1;
    plan->other_project = own != plan->project;
    const int is_own = !plan->other_project;

    for (const CLEANUP_ROW &row : g_rows) {
        if (_cancelled(cancel)) break;
        if (!kvn_session_has_service(session, row.service)) continue;
        _discover_row(session, row, plan, is_own, log, cancel);
    }
    if (is_own && !_cancelled(cancel) && kvn_session_has_service(session, "object-store"))
        _discover_containers(session, plan, log, cancel);
    return plan->count;
}

int kvn_cleanup_delete(KVN_SESSION *session, KVN_CLEANUP_PLAN *plan, float *progress,
                       Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(session && plan, 0);
    int failed = 0;
    // Whether the session is still scoped to the target decides whether
    // owner-less items and containers are the target's.
    const int own = _session_project(session, cancel) == plan->project;
    KIND_CHECK check;
    const char *checked_kind = nullptr;
    for (int i = 0; i < plan->count; i++) {
        if (_cancelled(cancel)) break;
        _store_progress(progress, (float)i / (float)plan->count);
        KVN_CLEANUP_ITEM *e = &plan->entries[i];

        if (!checked_kind || strcmp(checked_kind, e->kind) != 0) {
            if (i > 0 && _waits_after(plan->entries[i - 1].kind)) {
                const char *prev = plan->entries[i - 1].kind;
                for (int j = i - 1; j >= 0 && strcmp(plan->entries[j].kind, prev) == 0; j--)
                    if (plan->entries[j].state == KVN_CLEANUP_DELETED)
                        _wait_gone(session, &plan->entries[j], cancel);
                if (_cancelled(cancel)) break;
            }
            _check_kind(session, plan, e->kind, own, &check, cancel);
            checked_kind = e->kind;
        }

        int verdict = _check_entry(session, plan, e, check, own, cancel);
        if (_cancelled(cancel)) break;
        if (verdict == CHECK_GONE) {
            e->state = KVN_CLEANUP_DELETED;
            continue;
        }
        if (verdict == CHECK_REFUSED) {
            e->state = KVN_CLEANUP_FAILED;
            failed++;
            continue;
        }
        if (strcmp(e->kind, "router") == 0) _detach_router(session, e, cancel);
        if (strcmp(e->kind, CONTAINER_KIND) == 0) _empty_container(session, e, cancel);

        // The deletion under way finishes even when the token fires, so
        // that the report says what became of it; the token is looked at
        // before the next entry.
        RESULT_PTR r;
        r.reset(_call(session, e->service, "DELETE", e->path, nullptr, nullptr));
        if (kvn_result_ok(r.r) || (r.r && r.r->status == 404)) {
            e->state = KVN_CLEANUP_DELETED;
        } else {
            char err[1024];
            _error_of(r.r, err, sizeof err);
            q_format(e->detail, sizeof e->detail, "%.250s", err);
            e->state = KVN_CLEANUP_FAILED;
            failed++;
        }
    }
    if (!_cancelled(cancel)) _store_progress(progress, 1.0f);
    return failed;
}

// ---------------------------------------------------------------- reports

void kvn_cleanup_plan_lines(const KVN_CLEANUP_PLAN *plan, int with_state, Q_STR *out) {
    if (!plan || !out) return;
    for (int i = 0; i < plan->count; i++) {
        const KVN_CLEANUP_ITEM *e = &plan->entries[i];
        const char *state = "";
        if (with_state)
            state = e->state == KVN_CLEANUP_DELETED  ? "deleted "
                    : e->state == KVN_CLEANUP_FAILED ? "FAILED  "
                                                     : "        ";
        qstrprintf_cat_ex(out, "%s%-16s %-36s %s%s%s\n", state, e->kind, e->id, e->name,
                          e->detail[0] ? "   " : "", e->detail);
    }
}

void kvn_cleanup_discovery_report(const KVN_CLEANUP_PLAN *plan, int result, const char *log, Q_STR *out) {
    if (!out) return;
    const char *l = log ? log : "";
    if (result > 0 && plan) {
        qstrprintf_cat_ex(out, "Project %s owns %d resource(s), deleted in this order if you confirm:\n\n",
                          plan->project, plan->count);
        kvn_cleanup_plan_lines(plan, 0, out);
        if (*l) qstrprintf_cat_ex(out, "\nNot checked:\n%s", l);
        return;
    }
    qstrprintf_cat_ex(out, "%s\n%s", result == 0 ? KVN_CLEANUP_NOTHING : KVN_CLEANUP_DISCOVERY_FAILED, l);
}

const char *kvn_cleanup_discovery_title(int result) {
    return result > 0 ? KVN_CLEANUP_DRY_RUN_TITLE : KVN_CLEANUP_TITLE;
}

void kvn_cleanup_confirm_question(const KVN_CLEANUP_PLAN *plan, char *out, size_t size) {
    if (!out || !size) return;
    q_format(out, size, "Delete the %d resources listed for project %.80s?", plan ? plan->count : 0,
             plan ? plan->project : "");
}

void kvn_cleanup_deletion_report(const KVN_CLEANUP_PLAN *plan, int cancelled, Q_STR *out) {
    if (!out || !plan) return;
    qstrprintf_cat_ex(out, "%d of %d resource(s) deleted, %d failed%s.\n\n",
                      kvn_cleanup_plan_count_state(plan, KVN_CLEANUP_DELETED), plan->count,
                      kvn_cleanup_plan_count_state(plan, KVN_CLEANUP_FAILED),
                      cancelled ? " (cancelled)" : "");
    kvn_cleanup_plan_lines(plan, 1, out);
}

void kvn_cleanup_deletion_status(const KVN_CLEANUP_PLAN *plan, char *out, size_t size) {
    if (!out || !size) return;
    q_format(out, size, "project cleanup: %d deleted, %d failed",
             kvn_cleanup_plan_count_state(plan, KVN_CLEANUP_DELETED),
             kvn_cleanup_plan_count_state(plan, KVN_CLEANUP_FAILED));
}
