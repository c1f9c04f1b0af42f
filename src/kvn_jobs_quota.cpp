// The quota collector: one sample of the project's quotas and usage, taken
// through the real APIs of compute, network, block storage and image.
#include "kvn_jobs.h"

#include <cJSON.h>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "kvn_session.h"
#include "q_common.h"
#include "q_http_client.h"

namespace {
// Metric names are cut at these sizes (flavor names run longer).
enum { METRIC_NAME_SIZE = 160, FLAVOR_NAME_SIZE = 200 };

// A call's result, freed when the scope ends.
struct RESULT_HOLD {
    KVN_RESULT *r;
    explicit RESULT_HOLD(KVN_RESULT *x) : r(x) {}
    ~RESULT_HOLD() { kvn_result_free(&r); }
    RESULT_HOLD(const RESULT_HOLD &) = delete;
    RESULT_HOLD &operator=(const RESULT_HOLD &) = delete;
    bool ok() const { return kvn_result_ok(r) && r->json; }
};

struct COLLECT {
    KVN_SESSION *session;
    Q_HTTPC_CANCEL *cancel;
    cJSON *sample;
    char *err;
    size_t err_size;
    char project_id[256];
};

// Replaces a metric that exists, else adds it.
static void _put(cJSON *sample, const char *name, double value) {
    cJSON *old = cJSON_GetObjectItemCaseSensitive(sample, name);
    if (old && cJSON_IsNumber(old))
        cJSON_SetNumberValue(old, value);
    else if (!old)
        cJSON_AddNumberToObject(sample, name, value);
}

static void _put2(cJSON *sample, const char *base, const char *suffix, double value) {
    char name[METRIC_NAME_SIZE];
    q_format(name, sizeof name, "%s.%s", base, suffix);
    _put(sample, name, value);
}

// Counting adds one to a metric, creating it at 1.
static void _bump(cJSON *sample, const char *name) {
    cJSON *old = cJSON_GetObjectItemCaseSensitive(sample, name);
    if (old && cJSON_IsNumber(old))
        cJSON_SetNumberValue(old, old->valuedouble + 1);
    else if (!old)
        cJSON_AddNumberToObject(sample, name, 1);
}

static bool _number(const cJSON *o, const char *key, double *out) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
    if (!cJSON_IsNumber(v)) return false;
    *out = v->valuedouble;
    return true;
}

static void _fail(COLLECT *c, const char *label, const KVN_RESULT *r) {
    if (!c->err || c->err_size == 0) return;
    const char *why = r && r->error[0] ? r->error : "no answer";
    char piece[1200];
    q_format(piece, sizeof piece, "%s%s: %s", c->err[0] ? "; " : "", label, why);
    q_strcat(c->err, c->err_size, piece);
}

static bool _stopped(const COLLECT *c) {
    return c->cancel && q_httpc_is_cancelled(c->cancel);
}

static KVN_RESULT *_get(COLLECT *c, const char *service, const char *path) {
    return kvn_session_call(c->session, service, "GET", path, nullptr, nullptr, c->cancel);
}

// Status counters and "count" of a listing; the sum of "size" when asked.
static void _count(cJSON *sample, const char *base, const cJSON *items, const char *size_metric) {
    int n = 0;
    double size = 0;
    const cJSON *it;
    cJSON_ArrayForEach(it, q_json_array(items)) {
        const cJSON *st = cJSON_GetObjectItemCaseSensitive(it, "status");
        char name[METRIC_NAME_SIZE];
        q_format(name, sizeof name, "%s.status.%s", base, cJSON_IsString(st) ? st->valuestring : "UNKNOWN");
        _bump(sample, name);
        double v;
        if (size_metric && _number(it, "size", &v)) size += v;
        n++;
    }
    _put2(sample, base, "count", n);
    if (size_metric) _put2(sample, base, size_metric, size);
}

static void _compute(COLLECT *c) {
    static const struct {
        const char *base, *used, *limit;
    } rows[] = {
        {"compute.instances", "totalInstancesUsed", "maxTotalInstances"},
        {"compute.cores", "totalCoresUsed", "maxTotalCores"},
        {"compute.ram", "totalRAMUsed", "maxTotalRAMSize"},
        {"compute.server_groups", "totalServerGroupsUsed", "maxServerGroups"},
        {"compute.keypairs", nullptr, "maxTotalKeypairs"},
    };
    {
        RESULT_HOLD limits(_get(c, "compute", "/limits"));
        if (!kvn_result_ok(limits.r)) {
            _fail(c, "compute limits", limits.r);
            return;
        }
        const cJSON *abs = cJSON_GetObjectItemCaseSensitive(
            cJSON_GetObjectItemCaseSensitive(limits.r->json, "limits"), "absolute");
        for (const auto &row : rows) {
            double v;
            if (row.used && _number(abs, row.used, &v)) _put2(c->sample, row.base, "used", v);
            if (_number(abs, row.limit, &v)) _put2(c->sample, row.base, "limit", v);
        }
    }
    {
        RESULT_HOLD kp(_get(c, "compute", "/os-keypairs"));
        const cJSON *list = kp.ok() ? cJSON_GetObjectItemCaseSensitive(kp.r->json, "keypairs") : nullptr;
        if (cJSON_IsArray(list)) _put2(c->sample, "compute.keypairs", "used", cJSON_GetArraySize(list));
    }
    RESULT_HOLD servers(kvn_call_paged(c->session, "compute", "/servers/detail", "servers", c->cancel));
    if (!kvn_result_ok(servers.r)) {
        _fail(c, "servers", servers.r);
        return;
    }
    const cJSON *items = cJSON_GetObjectItemCaseSensitive(servers.r->json, "servers");
    _count(c->sample, "servers", items, nullptr);
    const cJSON *it;
    cJSON_ArrayForEach(it, q_json_array(items)) {
        const cJSON *flavor = cJSON_GetObjectItemCaseSensitive(it, "flavor");
        const cJSON *on = cJSON_GetObjectItemCaseSensitive(flavor, "original_name");
        const cJSON *id = cJSON_GetObjectItemCaseSensitive(flavor, "id");
        const char *label = cJSON_IsString(on) ? on->valuestring : cJSON_IsString(id) ? id->valuestring : "?";
        char name[FLAVOR_NAME_SIZE];
        q_format(name, sizeof name, "servers.flavor.%s", label);
        _bump(c->sample, name);
    }
}

// Network and block storage answer one object per quota resource; only the
// numbers named in `keys` are kept, under "<prefix>.<resource>".
static void _quota_details(COLLECT *c, const cJSON *quota, const char *prefix, const char *const keys[3][2]) {
    const cJSON *m;
    cJSON_ArrayForEach(m, quota) {
        if (!cJSON_IsObject(m) || !m->string) continue;
        char base[METRIC_NAME_SIZE];
        q_format(base, sizeof base, "%s.%s", prefix, m->string);
        for (int k = 0; k < 3; k++) {
            double v;
            if (_number(m, keys[k][0], &v)) _put2(c->sample, base, keys[k][1], v);
        }
    }
}

static void _network(COLLECT *c) {
    static const char *const keys[3][2] = {{"used", "used"}, {"limit", "limit"}, {"reserved", "reserved"}};
    char path[512];
    q_format(path, sizeof path, "/quotas/%s/details.json", c->project_id);
    RESULT_HOLD q(_get(c, "network", path));
    if (!kvn_result_ok(q.r)) {
        _fail(c, "network quotas", q.r);
        return;
    }
    const cJSON *quota = cJSON_GetObjectItemCaseSensitive(q.r->json, "quota");
    if (cJSON_IsObject(quota)) _quota_details(c, quota, "network", keys);
}

static void _block_storage(COLLECT *c) {
    static const char *const keys[3][2] = {{"in_use", "used"}, {"limit", "limit"}, {"reserved", "reserved"}};
    char path[512];
    q_format(path, sizeof path, "/os-quota-sets/%s?usage=true", c->project_id);
    {
        RESULT_HOLD q(_get(c, "block-storage", path));
        if (!kvn_result_ok(q.r)) {
            _fail(c, "volume quotas", q.r);
            return;
        }
        const cJSON *set = cJSON_GetObjectItemCaseSensitive(q.r->json, "quota_set");
        if (cJSON_IsObject(set)) _quota_details(c, set, "volume", keys);
    }
    RESULT_HOLD vols(kvn_call_paged(c->session, "block-storage", "/volumes/detail", "volumes", c->cancel));
    if (!kvn_result_ok(vols.r)) {
        _fail(c, "volumes", vols.r);
        return;
    }
    _count(c->sample, "volumes", cJSON_GetObjectItemCaseSensitive(vols.r->json, "volumes"), "size_gb");
}

static void _image(COLLECT *c) {
    {
        RESULT_HOLD u(_get(c, "image", "/info/usage"));
        const cJSON *usage = u.ok() ? cJSON_GetObjectItemCaseSensitive(u.r->json, "usage") : nullptr;
        const cJSON *count = cJSON_GetObjectItemCaseSensitive(usage, "image_count_total");
        const cJSON *size = cJSON_GetObjectItemCaseSensitive(usage, "image_size_total");
        double v;
        if (_number(count, "usage", &v)) _put(c->sample, "image.count.used", v);
        if (_number(count, "limit", &v)) _put(c->sample, "image.count.limit", v);
        // Glance counts image storage in MiB; the history keeps bytes.
        if (_number(size, "usage", &v)) _put(c->sample, "image.size.used", v * 1048576.0);
        if (_number(size, "limit", &v)) _put(c->sample, "image.size.limit", v < 0 ? -1 : v * 1048576.0);
    }
    char path[512];
    q_format(path, sizeof path, "/images?owner=%s", c->project_id);
    RESULT_HOLD list(kvn_call_paged(c->session, "image", path, "images", c->cancel));
    if (!kvn_result_ok(list.r)) {
        _fail(c, "images", list.r);
        return;
    }
    const cJSON *items = cJSON_GetObjectItemCaseSensitive(list.r->json, "images");
    if (!cJSON_GetObjectItemCaseSensitive(c->sample, "image.count.used")) {
        _put(c->sample, "image.count.used", cJSON_GetArraySize(q_json_array(items)));
        _put(c->sample, "image.count.limit", -1);
    }
    if (!cJSON_GetObjectItemCaseSensitive(c->sample, "image.size.used")) {
        double sum = 0, v;
        const cJSON *it;
        cJSON_ArrayForEach(it, q_json_array(items)) if (_number(it, "size", &v)) sum += v;
        _put(c->sample, "image.size.used", sum);
        _put(c->sample, "image.size.limit", -1);
    }
}
} // namespace

cJSON *kvn_quota_sample(KVN_SESSION *session, Q_HTTPC_CANCEL *cancel, char *err, size_t err_size) {
    cJSON *sample = cJSON_CreateObject();
    if (!sample) return nullptr;
    if (err && err_size) err[0] = 0;
    COLLECT c = {session, cancel, sample, err, err_size, {0}};
    KVN_SESSION_INFO info;
    if (session && kvn_session_info(session, &info) == 0)
        q_strcpy(c.project_id, sizeof c.project_id, info.project_id);

    static const struct {
        const char *service;
        void (*collect)(COLLECT *);
    } services[] = {
        {"compute", _compute}, {"network", _network}, {"block-storage", _block_storage}, {"image", _image}};
    enum { N = sizeof services / sizeof services[0] };
    // The services answer one after the other's latency otherwise: each is
    // asked on a thread of its own into a part of its own, and the parts are
    // joined in the order above, so the sample and the error text read as
    // if collected in turn.
    COLLECT parts[N];
    std::vector<char> part_err[N];
    std::thread threads[N];
    for (int i = 0; i < N; i++) {
        parts[i] = c;
        parts[i].sample = nullptr;
        parts[i].err = nullptr;
        parts[i].err_size = 0;
        if (!session || _stopped(&c) || !kvn_session_has_service(session, services[i].service)) continue;
        parts[i].sample = cJSON_CreateObject();
        if (!parts[i].sample) continue;
        if (err && err_size) {
            part_err[i].assign(err_size, 0);
            parts[i].err = part_err[i].data();
            parts[i].err_size = err_size;
        }
        try {
            threads[i] = std::thread(services[i].collect, &parts[i]);
        } catch (...) {
            services[i].collect(&parts[i]); // no thread to be had: in turn
        }
    }
    for (int i = 0; i < N; i++) {
        if (threads[i].joinable()) threads[i].join();
        if (!parts[i].sample) continue;
        while (parts[i].sample->child) {
            cJSON *item = cJSON_DetachItemViaPointer(parts[i].sample, parts[i].sample->child);
            cJSON_AddItemToArray(sample, item); // keeps the member's name
        }
        cJSON_Delete(parts[i].sample);
        if (parts[i].err && parts[i].err[0]) {
            if (err[0]) q_strcat(err, err_size, "; ");
            q_strcat(err, err_size, parts[i].err);
        }
    }
    cJSON_AddNumberToObject(sample, "time", (double)time(nullptr));
    return sample;
}
