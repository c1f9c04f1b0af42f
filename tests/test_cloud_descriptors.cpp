// labels: cloud conformance
// The shipped API descriptors against the real services of the local cloud,
// driven only by the data: every resource of a service in the catalog is
// listed and shown, every create of the services below is run with values
// derived from its field types and references and then deleted, the
// everyday actions on servers, volumes, routers and floating IPs are run on
// items made here, and every cli text must be a command the `openstack`
// client knows. A new descriptor file is covered without new code here.
//
// Each resource's outcome is written to descriptor-conformance.txt in the
// build folder; kvn_api_report reads it. A child resource whose parent this
// cloud cannot hold is "skipped" with the reason, never counted verified.
//
// Part of the cloud suite; alone: `ctest --test-dir build/release -L conformance`.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <sstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kvn_api.h"
#include "kvn_cloud_test.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {

// ------------------------------------------------------------------ catalogue
struct API_HOLD {
    KVN_API *api = nullptr;
    ~API_HOLD() { kvn_api_free(&api); }
};

KVN_API *shipped() {
    static API_HOLD hold;
    static std::once_flag once;
    std::call_once(once, [] {
        hold.api = kvn_api_load_dir(KVN_SOURCE_DIR "/resources/api");
        kvn_api_check_refs(hold.api);
    });
    return hold.api;
}

std::string key_of(const KVN_RESOURCE *r) {
    return std::string(r->service->name) + "." + r->id;
}

// Creates run against these services; the others are only listed.
const std::set<std::string> k_create_services = {
    "identity",      "compute",     "image", "network",       "block-storage",     "object-store",
    "orchestration", "key-manager", "dns",   "load-balancer", "shared-file-system"};

// Creates the local cloud cannot carry out, with the reason. The descriptor
// is right; the cloud lacks the part that would do the work.
const std::map<std::string, std::string> k_create_skips = {
    {"block-storage.backup", "the local cloud runs no cinder-backup service"},
    {"block-storage.group", "the fake volume driver does not create generic groups"},
    {"identity.implied_role", "an implied role needs two roles made for it; covered by the role create"},
    {"block-storage.group_type", "cinder of the local cloud answers 500 to any group type create"},
    {"dns.transfer_accept", "accepting needs a transfer request made for another project, and its key"},
    {"shared-file-system.share_group", "the local cloud configures no default share group type"},
    {"shared-file-system.share_replica", "the local cloud's one dummy back end has no replication domain"},
};

// Values a user types that no field type suggests: a zone is a domain name
// that ends with a dot and a primary zone needs a contact, a record set
// lives under its zone's name, a TSIG key names the pool it signs for, a
// zone import is a zone file and a stack a template. "{parent_name}" stands
// for the name of the parent item; "{pick}" asks for an item of the field's
// reference where the service needs one of several optional fields.
std::map<std::string, std::string> typed_values(const std::string &key) {
    static std::atomic<int> n{0};
    std::string label = "kvn-desc-" + std::to_string(getpid()) + "-" + std::to_string(++n);
    if (key == "dns.zone") return {{"name", label + ".example.org."}, {"email", "kvn@example.org"}};
    if (key == "dns.zone_import") {
        std::string zone = label + ".example.org.";
        return {{"zonefile", "$ORIGIN " + zone + "\n$TTL 3600\n" + zone +
                                 " IN SOA ns1.example.org. kvn.example.org. " + "1 3600 600 86400 3600\n" +
                                 zone + " IN NS ns1.example.org.\nwww." + zone + " IN A 192.0.2.7\n"}};
    }
    if (key == "shared-file-system.share_access")
        return {{"access_type", "ip"}, {"access_to", "192.0.2.0/24"}};
    if (key == "dns.recordset") return {{"name", "www.{parent_name}"}, {"records", "192.0.2.7"}};
    // Designate's built-in default pool.
    if (key == "dns.tsigkey")
        return {{"scope", "POOL"}, {"resource_id", "794ccc2c-d751-44fe-b57f-8894c9f5c842"}};
    if (key == "orchestration.stack")
        return {{"template",
                 "heat_template_version: 2018-08-31\nresources:\n  nothing:\n    type: OS::Heat::None\n"}};
    // Octavia wants one of the VIP's subnet, network or port, and a pool
    // needs its load balancer or its listener.
    if (key == "load-balancer.loadbalancer") return {{"vip_subnet_id", "{pick}"}};
    if (key == "load-balancer.pool") return {{"loadbalancer_id", "{pick}"}};
    // A load balancer takes one listener per port, and this run may reuse
    // one that another run left a listener on.
    if (key == "load-balancer.lb_listener" || key == "load-balancer.listener")
        return {{"protocol_port", std::to_string(1024 + (getpid() * 64 + n) % 60000)}};
    // A trunk's parent port must be one no server uses: "{new}" makes one.
    if (key == "network.trunk") return {{"port_id", "{new}"}};
    // The compute worker attaches and detaches the shared volume meanwhile.
    if (key == "block-storage.attachment") return {{"volume_uuid", "{new}"}};
    // A profile is its definition document; a stack profile with an empty template needs
    // nothing behind it.
    if (key == "clustering.profile")
        return {{"spec", "{\"type\": \"os.heat.stack\", \"version\": \"1.0\", \"properties\": "
                         "{\"template\": {\"heat_template_version\": \"2016-04-08\", \"resources\": {}}}}"}};
    return {};
}

// Resources the local cloud cannot hold an item of, with the reason: their
// lists are not reached, and the report shows them apart from the verified.
const std::map<std::string, std::string> k_list_skips = {
    {"database.database", "trove runs without its task manager and guest agent: no instance ever gets "
                          "ready, and trove lists databases of ready instances only"},
    {"database.user", "trove runs without its task manager and guest agent: no instance ever gets ready, "
                      "and trove lists users of ready instances only"},
    {"resource-optimization.action", "watcher runs without its decision engine, which alone makes action "
                                     "plans and their actions"},
    {"instance-ha.host", "masakari of Debian 12 answers 500 to every segment create: it cannot rebuild the "
                         "request context for its notification (read_deleted None)"},
    {"container-infra.nodegroup", "a cluster needs a template with a Fedora CoreOS image and a Heat stack of "
                                  "real servers, which the local cloud does not have"},
};

// Columns whose member a real service leaves out when it has nothing to say.
const std::map<std::string, std::string> k_column_allow = {
    {"compute.server_volume/tag", "only sent when the attachment was tagged"},
    {"compute.migration/dest_compute", "no migration ever ran on a fresh cloud"},
};

// ------------------------------------------------------------------ sessions
struct SESSION_HOLD {
    KVN_SESSION *s = nullptr;
    KVN_SESSION_INFO info{};
    ~SESSION_HOLD() { kvn_session_free(&s); }
};

KVN_SESSION *session_of(const std::string &who, KVN_SESSION_INFO *info = nullptr) {
    static std::mutex mutex;
    static std::map<std::string, SESSION_HOLD> held;
    std::lock_guard<std::mutex> lock(mutex);
    SESSION_HOLD &h = held[who];
    if (!h.s) {
        KVN_PROFILE p;
        test_cloud_profile(who, &p);
        h.s = kvn_session_new(&p);
        q_secure_zero(&p, sizeof p);
        if (kvn_session_authenticate(h.s, nullptr) != 0) {
            char err[1024];
            kvn_session_last_error(h.s, err, sizeof err);
            ADD_FAILURE() << "cannot log in as " << who << ": " << err;
        }
        kvn_session_info(h.s, &h.info);
    }
    if (info) *info = h.info;
    return h.s;
}

const std::string &run_prefix() {
    static const std::string p = "kvn-desc-" + std::to_string(getpid()) + "-";
    return p;
}

std::string unique_name(const std::string &what) {
    static std::atomic<int> n{0};
    return run_prefix() + what + "-" + std::to_string(++n);
}

// ------------------------------------------------------------------ calls
struct RESULT_HOLD {
    KVN_RESULT *r = nullptr;
    RESULT_HOLD() = default;
    explicit RESULT_HOLD(KVN_RESULT *x) : r(x) {}
    RESULT_HOLD(RESULT_HOLD &&o) noexcept : r(o.r) { o.r = nullptr; }
    RESULT_HOLD &operator=(RESULT_HOLD &&o) noexcept {
        std::swap(r, o.r);
        return *this;
    }
    ~RESULT_HOLD() { kvn_result_free(&r); }
    bool ok() const { return r && kvn_result_ok(r); }
    int status() const { return r ? r->status : 0; }
    std::string why() const {
        if (!r) return "no result";
        return "HTTP " + std::to_string(r->status) + " " + r->error +
               (r->text ? std::string(" ") + std::string(r->text).substr(0, 400) : "");
    }
};

std::string jtext(const cJSON *v) {
    char buf[512];
    kvn_api_value_text(v, buf, sizeof buf);
    return buf;
}

struct PREPARED {
    std::string path, service, method, error, raw_body;
    Q_CJSON body;
    KVN_CALL_OPTS opts{};
};

// What the resource panel does before it submits an operation: the request
// built from the descriptor, the service, method, microversion and headers.
bool prepare(const KVN_RESOURCE *res, const KVN_OP *op, const KVN_EXPAND_CTX &ctx,
             const std::vector<std::string> &values, PREPARED *out) {
    std::vector<const char *> v;
    for (const auto &s : values)
        v.push_back(s.c_str());
    char path[4096], err[1024];
    cJSON *body = nullptr;
    int rc =
        kvn_api_prepare(op, &ctx, v.empty() ? nullptr : v.data(), path, sizeof path, &body, err, sizeof err);
    out->body.reset(body);
    if (rc != 0) {
        out->error = err;
        return false;
    }
    out->path = path;
    out->service = op->service ? op->service : res->service->name;
    out->method = op->method ? op->method : "POST";
    memset(&out->opts, 0, sizeof out->opts);
    const char *mv = op->microversion ? op->microversion : res->microversion;
    if (mv) {
        q_strcpy(out->opts.microversion, sizeof out->opts.microversion, mv);
        out->opts.has_microversion = 1;
    }
    if (op->content_type) q_strcpy(out->opts.content_type, sizeof out->opts.content_type, op->content_type);
    const char *header = op->header ? op->header : res->header;
    int hi = 0;
    if (header) {
        char line[KVN_HEADER_LINE_MAX];
        if (kvn_api_expand(header, &ctx, op, v.empty() ? nullptr : v.data(), line, sizeof line) != 0) {
            out->error = std::string("cannot resolve header ") + header;
            return false;
        }
        q_strcpy(out->opts.extra_headers[hi++], KVN_HEADER_LINE_MAX, line);
    }
    if (op->accept) q_format(out->opts.extra_headers[hi], KVN_HEADER_LINE_MAX, "Accept: %s", op->accept);
    for (int i = 0; i < op->field_count; i++) {
        const char *name = op->fields[i].name;
        const char *val = i < (int)values.size() ? values[i].c_str() : "";
        if (op->upload && !strcmp(op->upload, name))
            q_strcpy(out->opts.upload_path, sizeof out->opts.upload_path, val);
        if (op->download && !strcmp(op->download, name))
            q_strcpy(out->opts.download_path, sizeof out->opts.download_path, val);
        if (op->raw_body && !strcmp(op->raw_body, name)) out->raw_body = val;
    }
    // A zone file and the like travel as they are, not inside JSON.
    if (op->raw_body) {
        out->body.reset();
        out->opts.raw_body = out->raw_body.c_str();
    }
    return true;
}

RESULT_HOLD run_prepared(KVN_SESSION *s, PREPARED &p) {
    return RESULT_HOLD(kvn_session_call(s, p.service.c_str(), p.method.c_str(), p.path.c_str(), p.body.get(),
                                        &p.opts, nullptr));
}

// A read, tried again while the service answers 5xx: the local services
// keep one database connection each and time out under a burst of
// requests from several engineers at once.
RESULT_HOLD get(KVN_SESSION *s, const KVN_RESOURCE *res, const std::string &path) {
    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    if (res->microversion) {
        q_strcpy(o.microversion, sizeof o.microversion, res->microversion);
        o.has_microversion = 1;
    }
    if (res->header) q_strcpy(o.extra_headers[0], sizeof o.extra_headers[0], res->header);
    RESULT_HOLD r;
    for (int attempt = 0; attempt < 3; attempt++) {
        r = RESULT_HOLD(kvn_session_call(s, res->service->name, "GET", path.c_str(), nullptr, &o, nullptr));
        if (r.status() > 0 && r.status() < 500) break;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    return r;
}

std::string who_for(const KVN_RESOURCE *res, const KVN_OP *op = nullptr) {
    return res->admin || (op && op->admin) ? "admin" : "demo";
}

KVN_EXPAND_CTX ctx_for(const std::string &who, const KVN_RESOURCE *res, const cJSON *item,
                       const char *parent_id) {
    static std::mutex mutex;
    static std::map<std::string, KVN_SESSION_INFO> infos;
    KVN_SESSION_INFO *info;
    {
        std::lock_guard<std::mutex> lock(mutex);
        info = &infos[who];
        if (!info->user_id[0]) session_of(who, info);
    }
    KVN_EXPAND_CTX c{};
    c.project_id = info->project_id;
    c.user_id = info->user_id;
    c.item = item;
    c.id_field = res->id_field;
    c.parent_id = parent_id && *parent_id ? parent_id : nullptr;
    return c;
}

// ------------------------------------------------------------------ registry
// What this run made, so references prefer it and the end removes it.
struct MADE {
    std::string key, who, id, parent_id, name;
    Q_CJSON item;
};
struct REGISTRY {
    std::mutex mutex;
    std::vector<MADE *> made; // owned, in creation order
    ~REGISTRY() {
        for (MADE *m : made)
            delete m;
    }
};
REGISTRY &registry() {
    static REGISTRY r;
    return r;
}
void remember(const std::string &key, const std::string &who, const std::string &id,
              const std::string &parent_id, const cJSON *item, const std::string &name = "") {
    MADE *m = new MADE;
    m->name = name;
    m->key = key;
    m->who = who;
    m->id = id;
    m->parent_id = parent_id;
    m->item.reset(item ? cJSON_Duplicate(item, 1) : nullptr);
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().made.push_back(m);
}
std::vector<std::string> made_ids(const std::string &key) {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (MADE *m : registry().made)
        if (m->key == key) out.push_back(m->id);
    return out;
}

// ------------------------------------------------------------------ items
// An item that holds only its id, at the resource's id field (a dotted
// path such as keypair.name makes nested objects).
// With a name, also at the name field: some paths hold both (a stack's).
Q_CJSON stub_item(const KVN_RESOURCE *res, const std::string &id, const std::string &name = "") {
    Q_CJSON item(cJSON_CreateObject());
    auto put = [&](std::string path, const std::string &value) {
        cJSON *at = item.get();
        size_t dot;
        while ((dot = path.find('.')) != std::string::npos) {
            std::string part = path.substr(0, dot);
            cJSON *next = cJSON_GetObjectItemCaseSensitive(at, part.c_str());
            at = next ? next : cJSON_AddObjectToObject(at, part.c_str());
            path = path.substr(dot + 1);
        }
        if (!cJSON_GetObjectItemCaseSensitive(at, path.c_str()))
            cJSON_AddStringToObject(at, path.c_str(), value.c_str());
    };
    put(res->id_field, id);
    if (!name.empty() && res->name_field) put(res->name_field, name);
    return item;
}

const char *k_settling[] = {
    "BUILD",      "CREATING", "DELETING",       "REBOOT",         "HARD_REBOOT",    "RESIZE",
    "MIGRATING",  "REBUILD",  "ATTACHING",      "DETACHING",      "DOWNLOADING",    "UPLOADING",
    "EXTENDING",  "SAVING",   "QUEUED",         "IMPORTING",      "RESERVED",       "BACKING-UP",
    "RESTORING",  "RETYPING", "PENDING_CREATE", "PENDING_UPDATE", "PENDING_DELETE", "SHELVING",
    "UNSHELVING", "PAUSING",  "SUSPENDING",     "RESUMING",       "POWERING-ON",    "POWERING-OFF",
    "PENDING"};

std::string upper(std::string s) {
    for (char &c : s)
        c = (char)toupper((unsigned char)c);
    return s;
}

std::string status_of(const cJSON *item) {
    std::string s = jtext(kvn_api_json_at(item, "status"));
    if (s.empty()) s = jtext(kvn_api_json_at(item, "provisioning_status"));
    return upper(s);
}

bool settling(const std::string &st) {
    for (const char *s : k_settling)
        if (st == s) return true;
    return false;
}

// The item's current show answer (the object under the show key), or none.
Q_CJSON show_item(const std::string &who, const KVN_RESOURCE *res, const cJSON *item,
                  const std::string &parent_id) {
    if (!res->show_path) return nullptr;
    KVN_EXPAND_CTX c = ctx_for(who, res, item, parent_id.c_str());
    char path[4096];
    if (kvn_api_expand(res->show_path, &c, nullptr, nullptr, path, sizeof path) != 0) return nullptr;
    RESULT_HOLD r = get(session_of(who), res, path);
    if (!r.ok() || !r.r->json) return nullptr;
    const cJSON *v = res->show_key ? cJSON_GetObjectItemCaseSensitive(r.r->json, res->show_key) : r.r->json;
    return Q_CJSON(v ? cJSON_Duplicate(v, 1) : nullptr);
}

// Polls the item until its status leaves the transitional states (or it is
// gone); returns the last status seen ("" when the item has none or is gone).
std::string wait_settled(const std::string &who, const KVN_RESOURCE *res, const std::string &id,
                         const std::string &parent_id, int seconds = 180) {
    Q_CJSON item = stub_item(res, id);
    std::string st;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        Q_CJSON now = show_item(who, res, item.get(), parent_id);
        st = now ? status_of(now.get()) : "";
        if (!settling(st)) return st;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return st;
}

// Waits for a status that the test expects after an action.
std::string wait_status(const std::string &who, const KVN_RESOURCE *res, const std::string &id,
                        const std::string &want, int seconds = 180) {
    Q_CJSON item = stub_item(res, id);
    std::string st;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        Q_CJSON now = show_item(who, res, item.get(), "");
        st = now ? status_of(now.get()) : "";
        if (st == upper(want) || st.find("ERROR") != std::string::npos) return st;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return st;
}

// Items of a list answer, copied.
Q_CJSON list_items(const std::string &who, const KVN_RESOURCE *res, const std::string &parent_id,
                   std::string *why = nullptr) {
    if (!res->list_path) return nullptr;
    KVN_EXPAND_CTX c = ctx_for(who, res, nullptr, parent_id.c_str());
    char path[4096];
    if (kvn_api_expand(res->list_path, &c, nullptr, nullptr, path, sizeof path) != 0) {
        if (why) *why = std::string("cannot expand ") + res->list_path;
        return nullptr;
    }
    RESULT_HOLD r = get(session_of(who), res, path);
    if (!r.ok()) {
        if (why) *why = std::string("GET ") + path + ": " + r.why();
        return nullptr;
    }
    cJSON *items = kvn_api_items(r.r->json, res->list_key);
    if (!cJSON_IsArray(items)) {
        if (why)
            *why = std::string("GET ") + path + ": no array under " +
                   (res->list_key ? res->list_key : "(answer)");
        return nullptr;
    }
    return Q_CJSON(cJSON_Duplicate(items, 1));
}

// ------------------------------------------------------------------ values
std::string make(const char *key, const std::map<std::string, std::string> &given, std::string *why,
                 const std::string &parent_id = "");

// A value for a reference: an item of the referenced resource, preferring
// what this run made, items in a usable state, and the user's own. With
// none, one is made by the resource's own create, as a user would before
// filling in the form.
std::string pick_ref(const std::string &who, const KVN_FIELD &f, const std::string &hint = "",
                     bool may_make = true) {
    const KVN_RESOURCE *ref = kvn_api_lookup(shipped(), f.ref);
    if (!ref || ref->parent) return "";
    Q_CJSON items = list_items(who, ref, "");
    if (!items) return "";
    if (cJSON_GetArraySize(items.get()) == 0 && may_make && ref->create && !k_create_skips.count(f.ref)) {
        std::string why;
        std::string id = make(f.ref, {}, &why);
        if (id.empty()) return "";
        wait_settled(who_for(ref, ref->create), ref, id, "");
        return pick_ref(who, f, hint, false);
    }
    KVN_SESSION_INFO info;
    session_of(who, &info);
    std::vector<std::string> mine = made_ids(f.ref);
    bool want_external = std::string(f.label ? f.label : "").find("xternal") != std::string::npos;
    int best_score = -1000;
    std::string best, best_id, best_status;
    const cJSON *it;
    cJSON_ArrayForEach(it, items.get()) {
        std::string value = jtext(kvn_api_json_at(it, f.ref_value ? f.ref_value : "id"));
        if (value.empty()) continue;
        std::string id = jtext(kvn_api_json_at(it, ref->id_field));
        std::string name = jtext(kvn_api_json_at(it, ref->name_field));
        std::string st = status_of(it);
        int score = 0;
        if (!hint.empty() && (name == hint || value == hint)) score += 100;
        if (st == "ACTIVE" || st == "AVAILABLE" || st.empty()) score += 8;
        if (st.find("ERROR") != std::string::npos) score -= 50;
        for (const auto &m : mine)
            if (m == id || m == value) score += 4;
        if (name.rfind(run_prefix(), 0) == 0) score += 4;
        std::string owner = jtext(kvn_api_json_at(it, "project_id"));
        if (owner.empty()) owner = jtext(kvn_api_json_at(it, "owner"));
        if (owner == info.project_id) score += 2;
        const cJSON *ext = kvn_api_json_at(it, "router:external");
        if (ext) score += (cJSON_IsTrue(ext) == want_external) ? 16 : -16;
        const cJSON *subnets = kvn_api_json_at(it, "subnets");
        if (cJSON_IsArray(subnets) && cJSON_GetArraySize(subnets) == 0) score -= 8;
        if (score > best_score) {
            best_score = score;
            best = value;
            best_id = id;
            best_status = st;
        }
    }
    // An item still busy with the previous create's undoing (a volume
    // detaching from a deleted attachment) is waited for, as a user would.
    if (settling(best_status) && !best_id.empty())
        wait_settled(who_for(ref) == "admin" ? "admin" : who, ref, best_id, "", 60);
    return best;
}

std::string tmp_file() {
    static std::string path;
    static std::once_flag once;
    std::call_once(once, [] {
        path = std::string(KVN_BINARY_DIR) + "/" + run_prefix() + "upload.bin";
        test_write_file(path, "kelvane descriptor conformance\n");
    });
    return path;
}

// The value a user would most plausibly type: the default, else for a
// required field something of the right type, else nothing.
std::string derive(const std::string &who, const KVN_FIELD &f,
                   const std::map<std::string, std::string> &given) {
    auto g = given.find(f.name);
    if (g != given.end()) {
        if (g->second == "{pick}") return pick_ref(who, f);
        if (g->second == "{new}" && f.ref) {
            std::string why;
            std::string id = make(f.ref, {}, &why);
            const KVN_RESOURCE *ref = kvn_api_lookup(shipped(), f.ref);
            if (!id.empty() && ref) wait_settled(who_for(ref, ref->create), ref, id, "");
            return id;
        }
        return g->second;
    }
    KVN_SESSION_INFO info;
    session_of(who, &info);
    std::string name = f.name, label = f.label ? f.label : "";
    if (f.def) {
        std::string d = f.def;
        if (d == "{user_id}") return info.user_id;
        if (d == "{project_id}") return info.project_id;
        if (!d.empty() && d.back() == '_') return d + upper(unique_name("x").substr(9));
        return d;
    }
    if (!f.required) return "";
    static std::atomic<int> net{0};
    switch (f.type) {
    case KVN_FT_INT:
    case KVN_FT_NUMBER:
        return "1";
    case KVN_FT_BOOL:
        return "true";
    case KVN_FT_ENUM:
        return f.value_count ? f.values[0] : "";
    case KVN_FT_REF:
        return pick_ref(who, f);
    case KVN_FT_KV:
        return "kvn=1";
    case KVN_FT_JSON:
        return "{}";
    case KVN_FT_TEXT:
        return "made by the descriptor conformance test";
    case KVN_FT_PASSWORD:
        return "Kvn-" + std::to_string(getpid()) + "-secret";
    case KVN_FT_FILE:
        return tmp_file();
    default:
        break;
    }
    if (name.find("cidr") != std::string::npos)
        return "10." + std::to_string(100 + getpid() % 100) + "." + std::to_string(++net) + ".0/24";
    if (name.find("url") != std::string::npos) return "http://127.0.0.1:1/";
    if (name.find("email") != std::string::npos) return "kvn@example.org";
    if (name.find("address") != std::string::npos) return "192.0.2." + std::to_string(10 + ++net % 200);
    return unique_name(name.substr(0, name.find('.')));
}

std::vector<std::string> derive_all(const std::string &who, const KVN_OP *op,
                                    const std::map<std::string, std::string> &given = {}) {
    std::vector<std::string> v;
    for (int i = 0; i < op->field_count; i++)
        v.push_back(derive(who, op->fields[i], given));
    return v;
}

// The id of what a create made: in the answer (under the operation's key,
// the show key, or at the top), else the value typed for the id or name.
std::string created_id(const KVN_RESOURCE *res, const KVN_OP *op, const cJSON *answer,
                       const std::vector<std::string> &values) {
    for (const char *k : {op->key, res->show_key, (const char *)nullptr}) {
        const cJSON *obj = answer;
        if (k) obj = answer ? cJSON_GetObjectItemCaseSensitive(answer, k) : nullptr;
        std::string id = jtext(kvn_api_json_at(obj, res->id_field));
        if (!id.empty()) return id;
    }
    for (int i = 0; i < op->field_count; i++)
        if (!strcmp(op->fields[i].name, res->id_field) || !strcmp(op->fields[i].name, "name"))
            return values[i];
    // A key typed into the path (a metadata key) is the id.
    for (int i = 0; i < op->field_count; i++)
        if (op->fields[i].in == KVN_IN_PATH) return values[i];
    return "";
}

// Runs an operation with values; the answer's JSON copied into *answer.
RESULT_HOLD run_op(const std::string &who, const KVN_RESOURCE *res, const KVN_OP *op, const cJSON *item,
                   const std::string &parent_id, const std::vector<std::string> &values, std::string *why) {
    PREPARED p;
    KVN_EXPAND_CTX c = ctx_for(who, res, item, parent_id.c_str());
    if (!prepare(res, op, c, values, &p)) {
        *why = "cannot build: " + p.error;
        return RESULT_HOLD();
    }
    RESULT_HOLD r = run_prepared(session_of(who), p);
    if (!r.ok()) *why = p.method + " " + p.path + ": " + r.why();
    return r;
}

// Deletes one item, retrying while the service still holds it busy.
bool delete_item(const std::string &who, const KVN_RESOURCE *res, const std::string &id,
                 const std::string &parent_id, std::string *why, const std::string &name = "") {
    if (!res->del) {
        *why = "no delete";
        return false;
    }
    Q_CJSON item = stub_item(res, id, name);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    for (;;) {
        RESULT_HOLD r = run_op(who, res, res->del, item.get(), parent_id, {}, why);
        if (r.ok() || r.status() == 404) return true;
        if ((r.status() != 409 && r.status() != 400 && r.status() != 500) ||
            std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// A create, tried again while Octavia holds the load balancer it changes
// immutable for the previous change (a few seconds with its no-op drivers).
RESULT_HOLD run_create(const std::string &who, const KVN_RESOURCE *res, const std::string &parent_id,
                       const std::vector<std::string> &values, std::string *why) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    for (;;) {
        RESULT_HOLD r = run_op(who, res, res->create, nullptr, parent_id, values, why);
        if (r.ok() || r.status() != 409 || why->find("immutable") == std::string::npos ||
            std::chrono::steady_clock::now() > end)
            return r;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// The name typed into a create, for paths that hold the name.
std::string typed_name(const KVN_RESOURCE *res, const KVN_OP *op, const std::vector<std::string> &values) {
    for (int i = 0; i < op->field_count && i < (int)values.size(); i++)
        if (res->name_field && !strcmp(op->fields[i].name, res->name_field)) return values[i];
    return "";
}

// ------------------------------------------------------------------ results
struct OUTCOMES {
    std::mutex mutex;
    std::map<std::string, std::string> by_key; // "verified", "failed: ...", "skipped: ..."
};
OUTCOMES &outcomes() {
    static OUTCOMES o;
    return o;
}
void record(const std::string &key, const std::string &what) {
    std::lock_guard<std::mutex> lock(outcomes().mutex);
    outcomes().by_key[key] = what;
}
// Merged into what earlier runs wrote: a run filtered to a few tests
// updates the resources it checked and keeps the others' outcomes.
void write_outcomes() {
    const std::string path = std::string(KVN_BINARY_DIR) + "/descriptor-conformance.txt";
    std::map<std::string, std::string> all;
    if (test_exists(path)) {
        std::istringstream in(test_read_file(path));
        for (std::string line; std::getline(in, line);) {
            const size_t tab = line.find('\t');
            if (tab != std::string::npos) all[line.substr(0, tab)] = line.substr(tab + 1);
        }
    }
    std::lock_guard<std::mutex> lock(outcomes().mutex);
    for (const auto &kv : outcomes().by_key)
        all[kv.first] = kv.second;
    std::string text;
    for (const auto &kv : all)
        text += kv.first + "\t" + kv.second + "\n";
    test_write_file(path, text);
}

// Runs fn over every element with a few threads: the services answer in
// parallel far faster than the client starts.
template <class T>
void parallel(const std::vector<T> &work, int threads, const std::function<void(const T &)> &fn) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&] {
            for (size_t i; (i = next++) < work.size();)
                fn(work[i]);
        });
    for (auto &t : pool)
        t.join();
}

std::vector<const KVN_RESOURCE *> all_resources() {
    std::vector<const KVN_RESOURCE *> out;
    KVN_API *api = shipped();
    for (int s = 0; s < api->service_count; s++)
        for (int r = 0; r < api->services[s]->resource_count; r++)
            out.push_back(api->services[s]->resources[r]);
    return out;
}

// The local cloud's container service is a stand-in for the console
// endpoints only (scripts/cloud/container_standin.py): none of its
// descriptors can be proven against it.
bool standin(const KVN_RESOURCE *res) {
    return !strcmp(res->service->name, "container");
}

bool in_catalog(const KVN_RESOURCE *res) {
    return !standin(res) && kvn_session_has_service(session_of("demo"), res->service->name);
}

// ------------------------------------------------------------------ fixtures
// A network with a subnet, a router, a security group, an active server on
// that network, an available volume and a container with one object: the
// parents and references of what the tests list, make and act on.
struct FIXTURES {
    std::string net, subnet, router, sg, sg_name, server, volume, container, object, image, public_net;
    std::string error;
};

FIXTURES &fixtures_record() {
    static FIXTURES f;
    return f;
}
void make_fixtures();

// Made on first use, so the tests that need none run without them.
FIXTURES &fixtures() {
    static std::once_flag once;
    std::call_once(once, make_fixtures);
    return fixtures_record();
}

const KVN_RESOURCE *res_of(const char *key) {
    const KVN_RESOURCE *r = kvn_api_lookup(shipped(), key);
    EXPECT_NE(r, nullptr) << key;
    return r;
}

// The typed values with "{parent_name}" replaced by the parent item's name.
std::map<std::string, std::string> with_parent_name(const KVN_RESOURCE *res,
                                                    std::map<std::string, std::string> values,
                                                    const std::string &parent_id) {
    for (auto &kv : values) {
        size_t at = kv.second.find("{parent_name}");
        if (at == std::string::npos) continue;
        const KVN_RESOURCE *parent = res->parent ? kvn_api_lookup(shipped(), res->parent) : nullptr;
        std::string name;
        if (parent) {
            Q_CJSON stub = stub_item(parent, parent_id);
            Q_CJSON item = show_item(who_for(parent), parent, stub.get(), "");
            name = item ? jtext(kvn_api_json_at(item.get(), parent->name_field)) : "";
        }
        kv.second.replace(at, strlen("{parent_name}"), name);
    }
    return values;
}

// Makes an item through the resource's own create with the given values
// over the derived ones; its id, or "" with the reason in *why.
std::string make(const char *key, const std::map<std::string, std::string> &given, std::string *why,
                 const std::string &parent_id) {
    const KVN_RESOURCE *res = res_of(key);
    if (!res || !res->create) {
        *why = std::string(key) + " has no create";
        return "";
    }
    std::string who = who_for(res, res->create);
    std::map<std::string, std::string> all = typed_values(key);
    for (const auto &kv : given)
        all[kv.first] = kv.second;
    std::vector<std::string> values = derive_all(who, res->create, with_parent_name(res, all, parent_id));
    RESULT_HOLD r = run_create(who, res, parent_id, values, why);
    if (!r.ok()) return "";
    std::string id = created_id(res, res->create, r.r->json, values);
    if (id.empty()) {
        *why = std::string(key) + ": no id in the answer";
        return "";
    }
    remember(key, who, id, parent_id, r.r->json, typed_name(res, res->create, values));
    return id;
}

void make_fixtures() {
    FIXTURES &f = fixtures_record();
    std::string why;
    KVN_FIELD ext{};
    ext.ref = "network.network";
    ext.label = "External network";
    ext.ref_value = "id";
    f.public_net = pick_ref("demo", ext);
    f.net = make("network.network", {{"name", unique_name("net")}}, &why);
    if (!f.net.empty())
        f.subnet = make("network.subnet",
                        {{"name", unique_name("subnet")},
                         {"network_id", f.net},
                         {"cidr", "10.77." + std::to_string(getpid() % 200) + ".0/24"}},
                        &why);
    f.router = make("network.router", {{"name", unique_name("router")}}, &why);
    f.sg_name = unique_name("sg");
    f.sg = make("network.security_group", {{"name", f.sg_name}}, &why);
    if (!f.subnet.empty()) {
        // The cloud's own small image and flavor: an image another run
        // uploaded may ask for more disk than the resize test's flavors have.
        KVN_FIELD image{}, flavor{};
        image.ref = "image.image";
        flavor.ref = "compute.flavor";
        f.server = make("compute.server",
                        {{"name", unique_name("server")},
                         {"networks", f.net},
                         {"imageRef", pick_ref("demo", image, "cirros-fake")},
                         {"flavorRef", pick_ref("demo", flavor, "m1.nano")}},
                        &why);
    }
    f.volume = make("block-storage.volume", {{"name", unique_name("volume")}, {"size", "1"}}, &why);
    f.container = make("object-store.container", {{"name", unique_name("container")}}, &why);
    if (!f.container.empty())
        f.object = make("object-store.object", {{"name", "dir/obj.txt"}}, &why, f.container);
    f.image = make("image.image",
                   {{"name", unique_name("image")}, {"disk_format", "raw"}, {"visibility", "shared"}}, &why);
    if (!f.image.empty()) {
        const KVN_RESOURCE *img = res_of("image.image");
        for (int i = 0; i < img->action_count; i++)
            if (!strcmp(img->actions[i]->id, "upload")) {
                Q_CJSON item(cJSON_CreateObject());
                cJSON_AddStringToObject(item.get(), "id", f.image.c_str());
                std::string w;
                run_op("demo", img, img->actions[i], item.get(), "", {tmp_file()}, &w);
            }
    }
    if (!f.server.empty() && wait_settled("demo", res_of("compute.server"), f.server, "") != "ACTIVE")
        why = "the fixture server did not become ACTIVE";
    if (!f.volume.empty() &&
        wait_settled("demo", res_of("block-storage.volume"), f.volume, "") != "AVAILABLE")
        why = "the fixture volume did not become available";
    // The container and its object only serve as parents; the tests of
    // objects find or make their own when these could not be made.
    if (f.server.empty() || f.volume.empty() || f.subnet.empty() || f.router.empty() || f.sg.empty())
        f.error = "fixtures incomplete: " + why;
}

// Removes everything this run made, newest first; retries cover items that
// wait for a dependent to go (a port of a deleted server, a snapshot).
void remove_made() {
    std::vector<MADE *> made;
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        made = registry().made;
    }
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        MADE *m = *it;
        const KVN_RESOURCE *res = kvn_api_lookup(shipped(), m->key.c_str());
        if (!res || !res->del) continue;
        if (m->key == "network.router") {
            // Interfaces go first, or the router refuses to go.
            Q_CJSON ports = list_items("demo", res_of("network.router_port"), m->id);
            const cJSON *p;
            if (ports) cJSON_ArrayForEach(p, ports.get()) {
                    std::string body = "{\"port_id\": \"" + jtext(kvn_api_json_at(p, "id")) + "\"}";
                    Q_CJSON b(cJSON_Parse(body.c_str()));
                    KVN_CALL_OPTS o{};
                    RESULT_HOLD r(kvn_session_call(session_of("demo"), "network", "PUT",
                                                   ("/routers/" + m->id + "/remove_router_interface").c_str(),
                                                   b.get(), &o, nullptr));
                }
        }
        std::string why;
        if (!delete_item(m->who, res, m->id, m->parent_id, &why, m->name))
            ADD_FAILURE() << "cannot remove " << m->key << " " << m->id << ": " << why;
        else if (m->key == "compute.server")
            wait_settled(m->who, res, m->id, "", 120);
    }
    // A zone import makes a zone that no answer names: found by this run's
    // prefix in its name.
    const KVN_RESOURCE *zone = kvn_api_lookup(shipped(), "dns.zone");
    Q_CJSON zones = zone && in_catalog(zone) ? list_items("demo", zone, "") : nullptr;
    const cJSON *z;
    if (zones) cJSON_ArrayForEach(z, zones.get()) {
            if (jtext(kvn_api_json_at(z, zone->name_field)).rfind(run_prefix(), 0) != 0) continue;
            std::string why;
            if (!delete_item("demo", zone, jtext(kvn_api_json_at(z, zone->id_field)), "", &why))
                ADD_FAILURE() << "cannot remove the imported zone: " << why;
        }
}

class CloudDescriptors : public ::testing::Test {
  protected:
    static void TearDownTestSuite() {
        if (!test_exists(cloud_dir() + "/demo-openrc")) return;
        remove_made();
        write_outcomes();
        std::remove(tmp_file().c_str());
    }
    void SetUp() override {
        if (!test_exists(cloud_dir() + "/demo-openrc"))
            GTEST_FAIL() << "no local cloud in " << cloud_dir() << ": start it with scripts/cloud/start.sh";
    }
};

// ------------------------------------------------------------------ tests
TEST_F(CloudDescriptors, ShippedSetLoadsWithoutAnyErrorLine) {
    KVN_API *api = shipped();
    ASSERT_NE(api, nullptr);
    EXPECT_STREQ(api->error_text, "");
    EXPECT_EQ(kvn_api_check_refs(api), 0) << api->error_text;
    int resources = 0, operations = 0;
    kvn_api_count(api, &resources, &operations);
    EXPECT_GE(api->service_count, 7);
    EXPECT_GT(operations, resources);
}

// Candidate parents of a child resource: what this run made first, then
// what the parent's list holds; made by its create when there is none.
// Without any, *why says what stood in the way.
std::vector<std::string> parent_candidates(const KVN_RESOURCE *res, const std::string &who,
                                           std::string *why = nullptr) {
    // Listing a parent can take a minute on a busy cloud: what this run
    // made is enough when there is some.
    std::vector<std::string> out = made_ids(res->parent);
    const KVN_RESOURCE *parent = kvn_api_lookup(shipped(), res->parent);
    if (!parent || !out.empty()) return out;
    std::string list_why;
    Q_CJSON items = list_items(who_for(parent) == "admin" ? "admin" : who, parent, "", &list_why);
    const cJSON *it;
    if (items) cJSON_ArrayForEach(it, items.get()) {
            std::string id = jtext(kvn_api_json_at(it, parent->id_field));
            if (!id.empty() && out.size() < 6) out.push_back(id);
        }
    if (!out.empty()) return out;
    std::string made_why;
    if (!items)
        made_why = "its list failed: " + list_why;
    else if (!parent->create)
        made_why = "the list is empty and it has no create";
    else if (parent->parent)
        made_why = "the list is empty and it is itself a child";
    else {
        std::string id = make(res->parent, {}, &made_why);
        if (!id.empty()) {
            out.push_back(id);
            wait_settled(who_for(parent, parent->create), parent, id, "");
            return out;
        }
        made_why = "the list is empty and its create failed: " + made_why;
    }
    if (why) *why = made_why;
    return out;
}

// Checks one resource; "" when it holds, else what failed. A child whose
// parent cannot be found or made here is not checked: *skipped says why.
std::string check_resource(const KVN_RESOURCE *res, std::string *skipped) {
    std::string who = who_for(res);
    std::string key = key_of(res);
    if (res->single) {
        Q_CJSON item = show_item(who, res, nullptr, "");
        if (!item) {
            KVN_EXPAND_CTX c = ctx_for(who, res, nullptr, nullptr);
            char path[4096];
            kvn_api_expand(res->show_path, &c, nullptr, nullptr, path, sizeof path);
            RESULT_HOLD r = get(session_of(who), res, path);
            return std::string("show ") + path + ": " +
                   (r.ok() ? std::string("no member ") + (res->show_key ? res->show_key : "") : r.why());
        }
        return "";
    }
    std::vector<std::string> parents = {""};
    if (res->parent) {
        std::string why;
        parents = parent_candidates(res, who, &why);
        if (parents.empty()) {
            const KVN_RESOURCE *parent = kvn_api_lookup(shipped(), res->parent);
            std::string what = std::string("no item of the parent ") + res->parent + " to list under: " + why;
            // A parent of a service whose creates this test runs must be
            // makeable; any other is only skipped.
            if (parent && k_create_services.count(parent->service->name) &&
                why.find("create failed") != std::string::npos)
                return what;
            *skipped = what;
            return "";
        }
    }
    // A parent may refuse children (members of a public image): any parent
    // whose list answers will do, one with children preferred.
    // A parent only an admin may make (a bare metal node) is not the
    // demo user's to see: its children are listed as the admin.
    const KVN_RESOURCE *parent = res->parent ? kvn_api_lookup(shipped(), res->parent) : nullptr;
    if (parent && parent->create && who_for(parent, parent->create) == "admin" &&
        !made_ids(res->parent).empty())
        who = "admin";
    std::string why, parent_id;
    Q_CJSON items;
    for (const auto &p : parents) {
        std::string w;
        Q_CJSON got = list_items(who, res, p, &w);
        if (!got) {
            if (!items) why = w;
            continue;
        }
        if (!items || cJSON_GetArraySize(got.get()) > 0) {
            items = std::move(got);
            parent_id = p;
        }
        if (cJSON_GetArraySize(items.get()) > 0) break;
    }
    if (!items) return why;
    int n = cJSON_GetArraySize(items.get());
    if (n == 0) return ""; // the list answered; nothing more to see
    for (int c = 0; c < res->column_count; c++) {
        const KVN_COLUMN &col = res->columns[c];
        if (k_column_allow.count(key + "/" + col.field)) continue;
        bool seen = false;
        const cJSON *it;
        cJSON_ArrayForEach(it, items.get()) seen = seen || kvn_api_json_at(it, col.field) != nullptr;
        if (!seen) return std::string("column ") + col.title + ": no item has " + col.field;
    }
    if (res->show_path) {
        const cJSON *first = cJSON_GetArrayItem(items.get(), 0);
        KVN_EXPAND_CTX c = ctx_for(who, res, first, parent_id.c_str());
        char path[4096];
        if (kvn_api_expand(res->show_path, &c, nullptr, nullptr, path, sizeof path) != 0)
            return std::string("cannot expand the show path ") + res->show_path;
        RESULT_HOLD r = get(session_of(who), res, path);
        if (!r.ok()) return std::string("show ") + path + ": " + r.why();
        if (res->show_key && !cJSON_GetObjectItemCaseSensitive(r.r->json, res->show_key))
            return std::string("show ") + path + ": no member " + res->show_key;
    }
    return "";
}

TEST_F(CloudDescriptors, EveryResourceListsAndShows) {
    fixtures();
    // Services answer in parallel, but each one a request at a time: the
    // local services keep a single database connection and time out when
    // requests queue behind it.
    std::map<std::string, std::vector<const KVN_RESOURCE *>> by_service;
    size_t count = 0;
    for (const KVN_RESOURCE *r : all_resources()) {
        auto held_out = k_list_skips.find(key_of(r));
        if (held_out != k_list_skips.end() && in_catalog(r)) {
            record(key_of(r), "skipped: the local cloud cannot hold one: " + held_out->second);
        } else if (in_catalog(r)) {
            by_service[r->service->name].push_back(r);
            count++;
        } else if (standin(r)) {
            record(key_of(r), "skipped: the local cloud runs a stand-in of its console endpoints only");
        } else {
            record(key_of(r), "skipped: service not in the local cloud's catalog");
        }
    }
    std::vector<std::string> services;
    for (const auto &kv : by_service)
        services.push_back(kv.first);
    std::mutex mutex;
    std::vector<std::string> failures;
    parallel<std::string>(services, 6, [&](const std::string &svc) {
        for (const KVN_RESOURCE *r : by_service[svc]) {
            std::string skipped;
            std::string why = check_resource(r, &skipped);
            record(key_of(r), !skipped.empty() ? "skipped: " + skipped
                              : why.empty()    ? "verified"
                                               : "failed: " + why);
            if (!why.empty()) {
                std::lock_guard<std::mutex> lock(mutex);
                failures.push_back(key_of(r) + ": " + why);
            }
        }
    });
    for (const auto &f : failures)
        ADD_FAILURE() << f;
    EXPECT_GT(count, 40u);
}

// One create and its delete for a resource; "" when both held.
std::string create_and_delete(const KVN_RESOURCE *res) {
    const KVN_OP *op = res->create;
    std::string who = who_for(res, op);
    std::string parent_id;
    if (res->parent) {
        std::vector<std::string> ps = made_ids(res->parent);
        if (ps.empty()) ps = parent_candidates(res, who);
        if (ps.empty()) return std::string("no parent ") + res->parent;
        parent_id = ps[0];
    }
    std::vector<std::string> values =
        derive_all(who, op, with_parent_name(res, typed_values(key_of(res)), parent_id));
    std::string why;
    RESULT_HOLD r = run_create(who, res, parent_id, values, &why);
    if (!r.ok()) return "create: " + why;
    std::string id = created_id(res, op, r.r->json, values);
    if (id.empty()) return "create: no id in the answer";
    std::string name = typed_name(res, op, values);
    std::string st = wait_settled(who, res, id, parent_id);
    std::string failed_state = st.find("ERROR") != std::string::npos ? "create ended in " + st : "";
    if (!res->del) {
        remember(key_of(res), who, id, parent_id, nullptr, name);
        return failed_state;
    }
    if (!delete_item(who, res, id, parent_id, &why, name)) {
        remember(key_of(res), who, id, parent_id, nullptr, name);
        return "delete: " + why;
    }
    // The next create of the service may need what this delete frees (a
    // load balancer that is immutable while its listener goes).
    wait_settled(who, res, id, parent_id);
    return failed_state;
}

TEST_F(CloudDescriptors, EveryCreateRunsAndItsDeleteUndoesIt) {
    fixtures();
    // One worker per service: creates of one service may share a fixture
    // (a volume cannot be attached and transferred at once).
    std::map<std::string, std::vector<const KVN_RESOURCE *>> by_service;
    for (const KVN_RESOURCE *r : all_resources()) {
        if (!r->create || r->create->ui || !k_create_services.count(r->service->name) || !in_catalog(r))
            continue;
        if (k_create_skips.count(key_of(r))) continue;
        by_service[r->service->name].push_back(r);
    }
    std::vector<std::string> services;
    for (const auto &kv : by_service)
        services.push_back(kv.first);
    std::mutex mutex;
    std::vector<std::string> failures;
    int ran = 0;
    parallel<std::string>(services, 6, [&](const std::string &svc) {
        for (const KVN_RESOURCE *r : by_service[svc]) {
            std::string why = create_and_delete(r);
            std::lock_guard<std::mutex> lock(mutex);
            ran++;
            if (!why.empty()) failures.push_back(key_of(r) + ": " + why);
        }
    });
    for (const auto &f : failures)
        ADD_FAILURE() << f;
    EXPECT_GT(ran, 30);
}

// ------------------------------------------------------------------ actions
const KVN_OP *action_of(const KVN_RESOURCE *res, const char *id) {
    for (int i = 0; i < res->action_count; i++)
        if (res->actions[i]->id && !strcmp(res->actions[i]->id, id)) return res->actions[i];
    ADD_FAILURE() << key_of(res) << " has no action " << id;
    return nullptr;
}

struct STEP {
    const char *action;
    std::map<std::string, std::string> given;
    const char *then_status; // status to wait for afterwards, or null
};

// Runs actions on one item in order, each with derived values over the
// given ones, waiting for the stated status after it.
void run_steps(const std::string &key, const std::string &id, const std::vector<STEP> &steps,
               std::vector<std::string> *answers = nullptr) {
    const KVN_RESOURCE *res = res_of(key.c_str());
    if (!res) return;
    for (const STEP &s : steps) {
        const KVN_OP *op = action_of(res, s.action);
        if (!op) continue;
        std::string who = who_for(res, op);
        Q_CJSON stub = stub_item(res, id);
        Q_CJSON now = show_item(who, res, stub.get(), "");
        std::vector<std::string> values = derive_all(who, op, s.given);
        std::string why;
        RESULT_HOLD r = run_op(who, res, op, now ? now.get() : stub.get(), "", values, &why);
        EXPECT_TRUE(r.ok()) << key << " " << s.action << ": " << why;
        if (answers) answers->push_back(r.r && r.r->text ? r.r->text : "");
        if (s.then_status) {
            std::string st = wait_status(who, res, id, s.then_status);
            EXPECT_EQ(st, upper(s.then_status)) << key << " after " << s.action;
        }
    }
}

std::string id_named(const char *key, const std::string &name) {
    KVN_FIELD f{};
    f.ref = key;
    f.ref_value = "id";
    return pick_ref("demo", f, name);
}

TEST_F(CloudDescriptors, ServerVolumeRouterAndFloatingIpActionsRun) {
    FIXTURES &f = fixtures();
    ASSERT_EQ(f.error, "");
    std::string tiny = id_named("compute.flavor", "m1.tiny");
    std::string cirros = id_named("image.image", "cirros-fake");
    ASSERT_FALSE(tiny.empty());

    // The router first: the floating IP needs its gateway and interface.
    run_steps("network.router", f.router,
              {{"set_gateway", {{"external_gateway_info.network_id", f.public_net}}, nullptr},
               {"add_interface", {{"subnet_id", f.subnet}}, nullptr},
               {"add_routes",
                {{"routes", "[{\"destination\": \"10.99.0.0/24\", \"nexthop\": \"" + std::string("10.77.") +
                                std::to_string(getpid() % 200) + ".5\"}]"}},
                nullptr},
               {"remove_routes",
                {{"routes", "[{\"destination\": \"10.99.0.0/24\", \"nexthop\": \"" + std::string("10.77.") +
                                std::to_string(getpid() % 200) + ".5\"}]"}},
                nullptr}});

    Q_CJSON ports = list_items("demo", res_of("network.port"), "");
    std::string server_port;
    const cJSON *p;
    if (ports)
        cJSON_ArrayForEach(p, ports.get()) if (jtext(kvn_api_json_at(p, "device_id")) == f.server)
            server_port = jtext(kvn_api_json_at(p, "id"));
    ASSERT_FALSE(server_port.empty()) << "the fixture server has no port";
    std::string why;
    std::string fip =
        make("network.floating_ip", {{"floating_network_id", f.public_net}, {"port_id", ""}}, &why);
    ASSERT_FALSE(fip.empty()) << why;
    run_steps("network.floating_ip", fip,
              {{"associate", {{"port_id", server_port}}, nullptr}, {"disassociate", {}, nullptr}});

    run_steps("compute.server", f.server,
              {{"stop", {}, "SHUTOFF"},
               {"start", {}, "ACTIVE"},
               {"reboot", {}, "ACTIVE"},
               {"lock", {}, nullptr},
               {"unlock", {}, nullptr},
               {"pause", {}, "PAUSED"},
               {"unpause", {}, "ACTIVE"},
               {"suspend", {}, "SUSPENDED"},
               {"resume", {}, "ACTIVE"},
               {"console_log", {}, nullptr},
               {"add_security_group", {{"name", f.sg_name}}, nullptr},
               {"remove_security_group", {{"name", f.sg_name}}, nullptr},
               {"attach_volume", {{"volumeId", f.volume}}, nullptr}});
    EXPECT_EQ(wait_status("demo", res_of("block-storage.volume"), f.volume, "in-use"), "IN-USE");
    run_steps("compute.server", f.server, {{"detach_volume", {{"volume_id", f.volume}}, nullptr}});
    EXPECT_EQ(wait_status("demo", res_of("block-storage.volume"), f.volume, "available"), "AVAILABLE");
    std::vector<std::string> answers;
    run_steps("compute.server", f.server,
              {{"attach_interface", {{"net_id", f.net}, {"port_id", ""}}, nullptr}}, &answers);
    Q_CJSON att(answers.empty() ? nullptr : cJSON_Parse(answers[0].c_str()));
    std::string new_port = jtext(kvn_api_json_at(att.get(), "interfaceAttachment.port_id"));
    EXPECT_FALSE(new_port.empty()) << (answers.empty() ? "" : answers[0]);
    if (!new_port.empty())
        run_steps("compute.server", f.server, {{"detach_interface", {{"port_id", new_port}}, nullptr}});
    answers.clear();
    run_steps("compute.server", f.server,
              {{"resize", {{"flavorRef", tiny}}, "VERIFY_RESIZE"}, {"confirm_resize", {}, "ACTIVE"}},
              nullptr);
    // Resizing to the flavor it has is refused; back to a smaller one to revert.
    std::string nano = id_named("compute.flavor", "m1.nano");
    run_steps("compute.server", f.server,
              {{"resize", {{"flavorRef", nano}}, "VERIFY_RESIZE"},
               {"revert_resize", {}, "ACTIVE"},
               {"rebuild", {{"imageRef", cirros}}, "ACTIVE"},
               {"rescue", {}, "RESCUE"},
               {"unrescue", {}, "ACTIVE"},
               {"shelve", {}, "SHELVED_OFFLOADED"},
               {"unshelve", {}, "ACTIVE"},
               {"set_metadata", {{"metadata", "kvn=1"}}, nullptr},
               {"create_image", {{"name", unique_name("snapshot")}}, nullptr}},
              &answers);
    Q_CJSON snap(answers.empty() ? nullptr : cJSON_Parse(answers.back().c_str()));
    std::string snap_id = jtext(kvn_api_json_at(snap.get(), "image_id"));
    EXPECT_FALSE(snap_id.empty()) << (answers.empty() ? "" : answers.back());
    if (!snap_id.empty()) remember("image.image", "demo", snap_id, "", nullptr);

    // Cinder takes the extend, but the fake LVM back end of the local cloud
    // has no extend and leaves the volume "error_extending": a volume of its
    // own, so the fixture stays usable for the actions below.
    std::string to_extend =
        make("block-storage.volume", {{"name", unique_name("extend")}, {"size", "1"}}, &why);
    ASSERT_FALSE(to_extend.empty()) << why;
    EXPECT_EQ(wait_settled("demo", res_of("block-storage.volume"), to_extend, ""), "AVAILABLE");
    run_steps("block-storage.volume", to_extend, {{"extend", {{"new_size", "2"}}, nullptr}});
    std::string extended = wait_settled("demo", res_of("block-storage.volume"), to_extend, "");
    EXPECT_TRUE(extended == "AVAILABLE" || extended == "ERROR_EXTENDING") << extended;

    answers.clear();
    run_steps("block-storage.volume", f.volume,
              {{"set_bootable", {}, nullptr},
               {"set_readonly", {{"readonly", "false"}}, nullptr},
               {"set_metadata", {{"metadata", "kvn=1"}}, nullptr},
               {"attach", {{"server_id", f.server}}, "in-use"},
               {"detach", {}, "available"},
               {"upload_image", {{"image_name", unique_name("from-volume")}}, "available"},
               {"snapshot", {{"snapshot.name", unique_name("vsnap")}}, nullptr}},
              &answers);
    ASSERT_EQ(answers.size(), 7u);
    Q_CJSON up(cJSON_Parse(answers[5].c_str()));
    std::string up_image = jtext(kvn_api_json_at(up.get(), "os-volume_upload_image.image_id"));
    EXPECT_FALSE(up_image.empty()) << answers[5];
    if (!up_image.empty()) remember("image.image", "demo", up_image, "", nullptr);
    Q_CJSON vs(cJSON_Parse(answers[6].c_str()));
    std::string vsnap = jtext(kvn_api_json_at(vs.get(), "snapshot.id"));
    EXPECT_FALSE(vsnap.empty()) << answers[6];
    if (!vsnap.empty()) {
        EXPECT_EQ(wait_settled("demo", res_of("block-storage.snapshot"), vsnap, ""), "AVAILABLE");
        remember("block-storage.snapshot", "demo", vsnap, "", nullptr);
    }
    // Cinder transfers a volume only when its snapshots are available too.
    run_steps("block-storage.volume", f.volume,
              {{"transfer", {{"transfer.name", unique_name("transfer")}}, nullptr}}, &answers);
    ASSERT_EQ(answers.size(), 8u);
    Q_CJSON tr(cJSON_Parse(answers[7].c_str()));
    std::string transfer = jtext(kvn_api_json_at(tr.get(), "transfer.id"));
    EXPECT_FALSE(transfer.empty()) << answers[7];
    EXPECT_FALSE(jtext(kvn_api_json_at(tr.get(), "transfer.auth_key")).empty())
        << "the transfer's secret is in the answer";
    if (!transfer.empty()) remember("block-storage.transfer", "demo", transfer, "", nullptr);

    run_steps("network.router", f.router,
              {{"remove_interface", {{"subnet_id", f.subnet}}, nullptr}, {"clear_gateway", {}, nullptr}});
}

// ------------------------------------------------------------------ cli
// The command words of a cli text: everything before the first option.
std::vector<std::string> commands_of(const char *cli) {
    std::vector<std::string> out;
    std::string text = cli ? cli : "";
    size_t at = 0;
    while (at <= text.size()) {
        size_t bar = text.find(" / ", at);
        std::string piece = text.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
        std::string words, w;
        std::istringstream in(piece);
        while (in >> w && w.rfind("--", 0) != 0)
            words += (words.empty() ? "" : " ") + w;
        if (!words.empty()) out.push_back(words);
        if (bar == std::string::npos) break;
        at = bar + 3;
    }
    return out;
}

TEST_F(CloudDescriptors, EveryCliTextIsAnOpenstackCommand) {
    std::map<std::string, std::set<std::string>> by_group; // first word -> commands
    std::map<std::string, std::string> where;
    auto add = [&](const std::string &what, const char *cli) {
        for (const auto &c : commands_of(cli)) {
            by_group[c.substr(0, c.find(' '))].insert(c);
            where.emplace(c, what);
        }
    };
    for (const KVN_RESOURCE *r : all_resources()) {
        std::string k = key_of(r);
        EXPECT_TRUE(r->cli && *r->cli) << k << " has no cli text";
        add(k, r->cli);
        for (const KVN_OP *op : {r->create, r->update, r->del}) {
            if (!op) continue;
            EXPECT_TRUE(op->cli && *op->cli) << k << " " << op->title << " has no cli text";
            add(k + " " + (op->title ? op->title : ""), op->cli);
        }
        for (int i = 0; i < r->action_count; i++) {
            EXPECT_TRUE(r->actions[i]->cli && *r->actions[i]->cli)
                << k << " action " << r->actions[i]->id << " has no cli text";
            add(k + " " + r->actions[i]->id, r->actions[i]->cli);
        }
    }
    // One client run lists every command it knows: each run spends tens of
    // seconds loading its plugins, so a run per group would cost minutes.
    CLOUD_RESULT help = os_cli("help");
    ASSERT_EQ(help.code, 0) << help.out.substr(0, 2000);
    std::set<std::string> known;
    std::istringstream in(help.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("  ", 0) != 0 || line.size() < 3 || line[2] == ' ') continue;
        size_t gap = line.find("  ", 2);
        known.insert(line.substr(2, gap == std::string::npos ? std::string::npos : gap - 2));
    }
    ASSERT_GT(known.size(), 500u) << "the client listed too few commands:\n" << help.out.substr(0, 2000);
    for (const auto &kv : by_group)
        for (const auto &c : kv.second)
            EXPECT_TRUE(known.count(c))
                << "openstack " << c << " (" << where[c] << ") is not a command of the client";
}

} // namespace
