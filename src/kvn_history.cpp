#include "kvn_history.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "q_common.h"
#include "q_http_client.h"

namespace {
// The last line this process appended: main thread only, so not locked.
char g_last_path[2048];
int64_t g_last_time;
bool g_have_last;

// A sample job's own record; the session reference keeps the session alive
// while the worker uses it, whatever happens to the connection meanwhile.
struct SAMPLE_JOB {
    KVN_HISTORY_SCHEDULE *sched;
    KVN_SESSION *session;
    uint64_t generation;
    cJSON *sample;
};

struct LINE_READER {
    FILE *f = nullptr;
    char *line = nullptr;
    size_t cap = 0;
    ~LINE_READER() {
        free(line);
        if (f) fclose(f);
    }
    // The next line with its newline, or -1 at the end or on a read error.
    ssize_t next() { return getline(&line, &cap, f); }
};
} // namespace

static bool _safe_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// The "time" of a line that is a sample, parsed without building a tree for
// lines that cannot be one.
static bool _line_time(const char *line, size_t length, double *time_out, cJSON **tree_out) {
    size_t i = 0;
    while (i < length && (line[i] == ' ' || line[i] == '\t'))
        i++;
    if (i == length || line[i] != '{') return false;
    const char *end = nullptr;
    cJSON *o = cJSON_ParseWithLengthOpts(line, length, &end, 0);
    // Whatever follows the object must be blank, or the line is no sample.
    while (o && end && end < line + length && (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n'))
        end++;
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(o, "time");
    if (!cJSON_IsObject(o) || !cJSON_IsNumber(t) || end != line + length) {
        cJSON_Delete(o);
        return false;
    }
    *time_out = t->valuedouble;
    if (tree_out)
        *tree_out = o;
    else
        cJSON_Delete(o);
    return true;
}

// The "time" of a line as this program writes it (compact, one flat object),
// read without parsing the line: loading a short range of a long file then
// skips the old lines at the cost of a scan. False whenever the line could
// be anything else (an escape or a nested object could hide a member named
// "time" inside a string): the full parse decides those.
static bool _quick_time(const char *line, size_t length, double *time_out) {
    if (length < 9 || line[0] != '{') return false;
    if (memchr(line, '\\', length) || memchr(line + 1, '{', length - 1)) return false;
    static const char k_key[] = "\"time\":";
    const size_t klen = sizeof k_key - 1;
    for (const char *p = line + 1; p + klen <= line + length;) {
        const char *hit = static_cast<const char *>(memchr(p, '"', (size_t)(line + length - p)));
        if (!hit || hit + klen > line + length) return false;
        if (memcmp(hit, k_key, klen) == 0 && (hit[-1] == '{' || hit[-1] == ',')) {
            char num[64];
            size_t n = 0;
            const char *v = hit + klen;
            while (v + n < line + length && n < sizeof num - 1 && strchr("0123456789+-.eE", v[n]))
                n++;
            if (n == 0 || v + n >= line + length || (v[n] != ',' && v[n] != '}')) return false;
            memcpy(num, v, n);
            num[n] = 0;
            char *end = nullptr;
            *time_out = strtod(num, &end);
            return end == num + n;
        }
        p = hit + 1;
    }
    return false;
}

// Recreates the folders of a path that went away (a user clearing the
// history by hand); quiet, because the append reports its own failure.
static void _make_parents(const char *path) {
    std::string p(path);
    for (size_t i = 1; i < p.size(); i++) {
        if (p[i] != '/') continue;
        p[i] = 0;
        mkdir(p.c_str(), 0700);
        p[i] = '/';
    }
}

// Read access lets the append look at the file's last byte; a file that
// may only be written is still appended to.
static int _open_append(const char *path) {
    int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd;
}

static int _write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int kvn_history_path(KVN_SESSION *session, char *out, size_t size) {
    Q_GUARD(out && size > 0, -1);
    out[0] = 0;
    Q_GUARD(session, -1);
    KVN_PROFILE *profile = nullptr;
    Q_CALLOC(profile, 1, KVN_PROFILE);
    if (!profile) return -1;
    KVN_SESSION_INFO info;
    if (kvn_session_profile(session, profile) != 0 || kvn_session_info(session, &info) != 0) {
        q_secure_zero(profile, sizeof *profile);
        free(profile);
        return -1;
    }
    Q_HTTPC_URL url;
    memset(&url, 0, sizeof url);
    const char *host = (q_httpc_parse_url(profile->auth_url, &url) == 0 && url.host[0]) ? url.host : "cloud";
    char name[1024];
    q_format(name, sizeof name, "%s_%s.jsonl", host, info.project_id[0] ? info.project_id : "unscoped");
    q_secure_zero(profile, sizeof *profile);
    free(profile);
    for (char *c = name; *c; c++)
        if (!_safe_char(*c)) *c = '_';
    char relative[1100];
    q_format(relative, sizeof relative, "history/%s", name);
    kvn_paths_data_file(out, size, relative);
    return 0;
}

int kvn_history_append(const char *path, const cJSON *sample) {
    Q_GUARD(path && sample, -1);
    Q_CJSON line(cJSON_CreateObject());
    if (!line) return -1;
    const cJSON *m;
    cJSON_ArrayForEach(m, sample) {
        // JSON has no spelling for NaN or infinity: such a value is no number.
        if (m->string && cJSON_IsNumber(m) && std::isfinite(m->valuedouble))
            cJSON_AddNumberToObject(line.get(), m->string, m->valuedouble);
    }
    if (!cJSON_GetObjectItemCaseSensitive(line.get(), "time"))
        cJSON_AddNumberToObject(line.get(), "time", (double)time(nullptr));
    Q_CBUF text(cJSON_PrintUnformatted(line.get()));
    if (!text) return -1;

    int fd = _open_append(path);
    if (fd < 0 && errno == ENOENT) {
        _make_parents(path);
        fd = _open_append(path);
    }
    if (fd < 0) {
        q_log(Q_LOG_ERR, "cannot append to %s", path);
        return -1;
    }
    // A line cut short by an earlier failure (a full disk) would swallow this
    // one; starting on a fresh line keeps this sample readable.
    std::string out;
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
    if (last != '\n') out += '\n';
    out += text.get();
    out += '\n';
    // One write, so two processes appending at once never interleave a line.
    int rc = _write_all(fd, out.data(), out.size());
    if (close(fd) != 0) rc = -1;
    return rc;
}

void kvn_history_forget_last(void) {
    g_last_path[0] = 0;
    g_last_time = 0;
    g_have_last = false;
}

int kvn_history_add_sample(KVN_SESSION *session, const cJSON *sample) {
    Q_GUARD(session && sample, -1);
    char path[KVN_PATH_MAX];
    if (kvn_history_path(session, path, sizeof path) != 0) return -1;
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(sample, "time");
    int64_t when = cJSON_IsNumber(t) ? (int64_t)t->valuedouble : (int64_t)time(nullptr);
    // Either order counts: the overview's sample may be delivered after a
    // background one taken a moment later.
    if (g_have_last && strcmp(path, g_last_path) == 0 && llabs(when - g_last_time) < KVN_HISTORY_NEAR_S)
        return 0;
    if (kvn_history_append(path, sample) != 0) return -1;
    q_strcpy(g_last_path, sizeof g_last_path, path);
    g_last_time = when;
    g_have_last = true;
    return 1;
}

static bool _wanted(const char *name, const char *const *prefixes, int count) {
    if (!name) return false;
    if (!strcmp(name, "time")) return true;
    for (int i = 0; i < count; i++)
        if (prefixes[i] && !strncmp(name, prefixes[i], strlen(prefixes[i]))) return true;
    return false;
}

cJSON *kvn_history_load(const char *path, int64_t since) {
    return kvn_history_load_keys(path, since, nullptr, 0);
}

static void _keep_wanted(cJSON *tree, const char *const *prefixes, int count) {
    if (!prefixes || count <= 0) return;
    cJSON *m = tree->child;
    while (m) {
        cJSON *next = m->next;
        if (!_wanted(m->string, prefixes, count)) cJSON_Delete(cJSON_DetachItemViaPointer(tree, m));
        m = next;
    }
}

cJSON *kvn_history_load_keys(const char *path, int64_t since, const char *const *prefixes, int count) {
    return kvn_history_load_spread(path, since, prefixes, count, 0, nullptr);
}

namespace {
// A line in the range: where it is, and its tree when finding its time
// took a full parse anyway.
struct CANDIDATE {
    long offset;
    size_t length;
    cJSON *tree;
};
} // namespace

cJSON *kvn_history_load_spread(const char *path, int64_t since, const char *const *prefixes, int count,
                               int max_samples, int *total) {
    if (total) *total = 0;
    cJSON *out = cJSON_CreateArray();
    if (!out || !path) return out;
    LINE_READER r;
    r.f = fopen(path, "rb");
    if (!r.f) return out;
    // First pass: which lines are in the range. Lines whose time reads
    // without a parse are only located; the rest are parsed now.
    std::vector<CANDIDATE> in_range;
    long offset = 0;
    ssize_t n;
    while ((n = r.next()) >= 0) {
        const long at = offset;
        offset += (long)n;
        double t;
        if (_quick_time(r.line, (size_t)n, &t)) {
            if (t >= (double)since) in_range.push_back({at, (size_t)n, nullptr});
            continue;
        }
        cJSON *tree = nullptr;
        if (!_line_time(r.line, (size_t)n, &t, &tree)) continue;
        if (t < (double)since) {
            cJSON_Delete(tree);
            continue;
        }
        in_range.push_back({at, (size_t)n, tree});
    }
    // Second pass: parse the lines kept, evenly spread when there are more
    // than asked for, the newest always among them.
    const size_t m = in_range.size();
    const size_t want = max_samples > 1 ? (size_t)max_samples : 0;
    const size_t stride = want && m > want ? (m - 1 + want - 2) / (want - 1) : 1;
    std::string buf;
    int found = 0;
    for (size_t i = 0; i < m; i++) {
        CANDIDATE &c = in_range[i];
        const bool chosen = i % stride == 0 || i == m - 1;
        if (!chosen) {
            // Located by its time alone: counted as the sample it looks like.
            if (c.tree) cJSON_Delete(c.tree);
            found++;
            continue;
        }
        cJSON *tree = c.tree;
        double t;
        if (!tree) {
            buf.resize(c.length);
            if (fseek(r.f, c.offset, SEEK_SET) != 0 || fread(&buf[0], 1, c.length, r.f) != c.length ||
                !_line_time(buf.data(), c.length, &t, &tree))
                continue;
        }
        found++;
        _keep_wanted(tree, prefixes, count);
        cJSON_AddItemToArray(out, tree);
    }
    if (total) *total = found;
    return out;
}

int kvn_history_prune(const char *path, int keep_days) {
    if (!path || keep_days <= 0) return 0;
    LINE_READER r;
    r.f = fopen(path, "rb");
    if (!r.f) return 0;
    const double cutoff = (double)((int64_t)time(nullptr) - (int64_t)keep_days * 86400);
    std::string kept;
    int dropped = 0;
    ssize_t n;
    while ((n = r.next()) >= 0) {
        double t;
        if (_line_time(r.line, (size_t)n, &t, nullptr) && t >= cutoff) {
            kept.append(r.line, (size_t)n);
            if (kept.back() != '\n') kept += '\n';
        } else {
            dropped++;
        }
    }
    // What could not be read is not known to be old: rewriting now would
    // lose it.
    if (ferror(r.f)) return -1;
    if (dropped == 0) return 0;
    return kvn_paths_write_atomic(path, kept.data(), kept.size(), 0) == 0 ? dropped : -1;
}

// ---- background schedule ----------------------------------------------------

static void _sample_run(KVN_JOB *job) {
    auto *sj = static_cast<SAMPLE_JOB *>(job->user);
    sj->sample = kvn_quota_sample(sj->session, job->cancel, nullptr, 0);
}

static void _sample_done(KVN_JOB *job) {
    auto *sj = static_cast<SAMPLE_JOB *>(job->user);
    sj->sched->in_flight = 0;
    KVN_APP *app = kvn_app_get();
    if (!app || app->session != sj->session || app->session_generation != sj->generation || !sj->sample)
        return;
    int stored = kvn_history_add_sample(sj->session, sj->sample);
    if (sj->sched->on_sample) sj->sched->on_sample(sj->sample, stored, sj->sched->user);
}

static void _sample_free(void *user) {
    auto *sj = static_cast<SAMPLE_JOB *>(user);
    cJSON_Delete(sj->sample);
    kvn_session_free(&sj->session);
    free(sj);
}

void kvn_history_schedule_reset(KVN_HISTORY_SCHEDULE *sched, KVN_SESSION *session, int keep_days,
                                double now) {
    Q_GUARD_VOID(sched);
    sched->next_time = now + (double)KVN_HISTORY_FIRST_DELAY_S;
    char path[KVN_PATH_MAX];
    if (session && kvn_history_path(session, path, sizeof path) == 0) kvn_history_prune(path, keep_days);
}

int kvn_history_schedule_tick(KVN_HISTORY_SCHEDULE *sched, KVN_SESSION *session, uint64_t generation,
                              const KVN_CONFIG *config, double now) {
    if (!sched || !session || !config || !config->history_enabled) return 0;
    if (sched->in_flight || now < sched->next_time) return 0;
    int period = config->history_period_s < KVN_HISTORY_MIN_PERIOD_S ? KVN_HISTORY_MIN_PERIOD_S
                                                                     : config->history_period_s;
    sched->next_time = now + period;
    SAMPLE_JOB *sj = nullptr;
    Q_CALLOC(sj, 1, SAMPLE_JOB);
    if (!sj) return 0;
    sj->sched = sched;
    sj->session = kvn_session_ref(session);
    sj->generation = generation;
    sched->in_flight = 1;
    if (kvn_jobs_submit("history sample", _sample_run, _sample_done, _sample_free, sj, generation) < 0) {
        sched->in_flight = 0;
        return 0;
    }
    return 1;
}
