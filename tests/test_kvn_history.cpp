// labels: unit
// The usage history files and the background sampler: file per scope, what a
// line holds, the near-duplicate rule, loading and pruning with bad lines,
// files and folders that cannot be written, the collector's errors when
// services are absent or unreachable, and the schedule on a fake clock.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_history.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_http_client.h"

namespace {
struct SESSION_PTR {
    KVN_SESSION *s = nullptr;
    explicit SESSION_PTR(const char *auth_url) {
        KVN_PROFILE p;
        kvn_profile_defaults(&p);
        q_strcpy(p.auth_url, sizeof p.auth_url, auth_url);
        s = kvn_session_new(&p);
    }
    ~SESSION_PTR() { kvn_session_free(&s); }
};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

std::vector<double> times_of(const cJSON *samples) {
    std::vector<double> out;
    const cJSON *s;
    cJSON_ArrayForEach(s, samples) out.push_back(cJSON_GetObjectItem(s, "time")->valuedouble);
    return out;
}

Q_CJSON sample_at(double t, const char *extra = nullptr) {
    Q_CJSON s(extra ? cJSON_Parse(extra) : cJSON_CreateObject());
    cJSON_AddNumberToObject(s.get(), "time", t);
    return s;
}

// Every test gets its own data folder, and the process forgets its last
// append, so no test sees another's files.
class History : public ::testing::Test {
  protected:
    TEST_DIR dir;
    std::string old_home;
    void SetUp() override {
        const char *h = getenv("KVN_HOME");
        old_home = h ? h : "";
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        kvn_history_forget_last();
    }
    void TearDown() override {
        if (old_home.empty())
            unsetenv("KVN_HOME");
        else
            setenv("KVN_HOME", old_home.c_str(), 1);
    }
    std::string history(const std::string &name) const { return dir.file("history/" + name); }
    static std::string path_of(KVN_SESSION *s) {
        char p[KVN_PATH_MAX];
        EXPECT_EQ(kvn_history_path(s, p, sizeof p), 0);
        return p;
    }
};
} // namespace

TEST_F(History, PathNamesTheHostAndScopeOnly) {
    struct {
        const char *auth_url, *file;
    } cases[] = {
        {"https://keystone.example.com:5000/v3", "keystone.example.com_unscoped.jsonl"},
        {"http://10.0.0.5/identity/v3", "10.0.0.5_unscoped.jsonl"},
        {"https://[fd00::1]:5000/v3", "fd00__1_unscoped.jsonl"},
        {"not a url", "cloud_unscoped.jsonl"},
        {"", "cloud_unscoped.jsonl"},
    };
    for (const auto &c : cases) {
        SESSION_PTR s(c.auth_url);
        EXPECT_EQ(path_of(s.s), history(c.file)) << c.auth_url;
    }
    char out[KVN_PATH_MAX];
    EXPECT_EQ(kvn_history_path(nullptr, out, sizeof out), -1);
    EXPECT_STREQ(out, "");
}

TEST_F(History, AppendWritesOneLineOfNumbersOnly) {
    struct {
        const char *sample, *line;
    } cases[] = {
        {R"({"time": 1700000000, "compute.cores.used": 4, "image.size.used": 10737418240})",
         R"({"time":1700000000,"compute.cores.used":4,"image.size.used":10737418240})"},
        {R"({"time": 5, "name": "web", "nested": {"a": 1}, "list": [1], "ok": true, "n": null, "x.y": -1})",
         R"({"time":5,"x.y":-1})"},
        {R"({"ratio": 0.5, "time": 7})", R"({"ratio":0.5,"time":7})"},
    };
    std::string f = history("a.jsonl"), want;
    for (const auto &c : cases) {
        Q_CJSON s(cJSON_Parse(c.sample));
        ASSERT_EQ(kvn_history_append(f.c_str(), s.get()), 0) << c.sample;
        want += std::string(c.line) + "\n";
    }
    EXPECT_EQ(test_read_file(f), want);

    // Values JSON cannot spell are left out; a sample without "time" gets now.
    Q_CJSON odd(cJSON_CreateObject());
    cJSON_AddNumberToObject(odd.get(), "nan", NAN);
    cJSON_AddNumberToObject(odd.get(), "inf", INFINITY);
    int64_t before = time(nullptr);
    ASSERT_EQ(kvn_history_append(f.c_str(), odd.get()), 0);
    Q_CJSON all(kvn_history_load(f.c_str(), 0));
    ASSERT_EQ(cJSON_GetArraySize(all.get()), 4);
    const cJSON *last = cJSON_GetArrayItem(all.get(), 3);
    EXPECT_EQ(cJSON_GetArraySize(last), 1);
    EXPECT_GE(cJSON_GetObjectItem(last, "time")->valuedouble, (double)before);
}

TEST_F(History, NearDuplicatesOfOneFileAreSkipped) {
    SESSION_PTR a("https://a.example/v3"), b("https://b.example/v3");
    struct {
        KVN_SESSION *s;
        double t;
        int rc;
    } steps[] = {
        {a.s, 1000, 1},
        {a.s, 1020, 0},
        {a.s, 1049, 0},
        {a.s, 1050, 1},
        // Another scope gets its sample at once.
        {b.s, 1051, 1},
        // Back in the first scope, the memory is of the other file.
        {a.s, 1052, 1},
        {a.s, 1010, 0},
        {a.s, 1102, 1},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        Q_CJSON s = sample_at(steps[i].t);
        EXPECT_EQ(kvn_history_add_sample(steps[i].s, s.get()), steps[i].rc) << "step " << i;
    }
    Q_CJSON in_a(kvn_history_load(path_of(a.s).c_str(), 0)), in_b(kvn_history_load(path_of(b.s).c_str(), 0));
    EXPECT_EQ(times_of(in_a.get()), (std::vector<double>{1000, 1050, 1052, 1102}));
    EXPECT_EQ(times_of(in_b.get()), (std::vector<double>{1051}));
}

TEST_F(History, LoadKeepsSamplesSinceAndSkipsBadLines) {
    std::string big_garbage(1 << 20, 'x');
    std::string big_sample = R"({"time":250,"pad.)" + std::string((1 << 20) - 40, 'p') + R"(":1})";
    std::string text = std::string(R"({"time":100,"a.used":1})") + "\n" + "not json\n" + "\n" +
                       R"({"time":"200"})" + "\n" + R"([{"time":150}])" + "\n" + R"({"a.used":3})" + "\n" +
                       R"({"time":160} trailing)" + "\n" + big_garbage + "\n" + R"({"time":200})" + "\r\n" +
                       big_sample + "\n" + R"({"time":300,"a.used":2})" + "\n" + R"({"time":400,"cut":)";
    std::string f = history("load.jsonl");
    test_write_file(f, text);
    struct {
        int64_t since;
        std::vector<double> times;
    } cases[] = {
        {0, {100, 200, 250, 300}},
        {200, {200, 250, 300}},
        {301, {}},
    };
    for (const auto &c : cases) {
        Q_CJSON got(kvn_history_load(f.c_str(), c.since));
        ASSERT_TRUE(cJSON_IsArray(got.get()));
        EXPECT_EQ(times_of(got.get()), c.times) << "since " << c.since;
    }
    Q_CJSON missing(kvn_history_load(history("none.jsonl").c_str(), 0));
    ASSERT_TRUE(cJSON_IsArray(missing.get()));
    EXPECT_EQ(cJSON_GetArraySize(missing.get()), 0);
}

TEST_F(History, LoadWithPrefixesKeepsTimeAndTheirMembers) {
    std::string f = history("keys.jsonl");
    test_write_file(f, R"({"time":10,"compute.cores.used":2,"compute.cores.limit":20,"compute.ram.used":512,)"
                       R"("servers.status.ACTIVE":1,"servers.count":1})"
                       "\n"
                       R"({"time":20,"compute.ram.used":1024})"
                       "\n");
    const char *cores[] = {"compute.cores"}, *status[] = {"servers.status.", "compute.ram."},
               *none[] = {"x."};
    struct {
        const char *const *prefixes;
        int count;
        std::string want;
    } cases[] = {
        {cores, 1, R"([{"time":10,"compute.cores.used":2,"compute.cores.limit":20},{"time":20}])"},
        {status, 2,
         R"([{"time":10,"compute.ram.used":512,"servers.status.ACTIVE":1},{"time":20,"compute.ram.used":1024}])"},
        {none, 1, R"([{"time":10},{"time":20}])"},
        {nullptr, 0,
         R"([{"time":10,"compute.cores.used":2,"compute.cores.limit":20,"compute.ram.used":512,)"
         R"("servers.status.ACTIVE":1,"servers.count":1},{"time":20,"compute.ram.used":1024}])"},
    };
    for (const auto &c : cases) {
        Q_CJSON got(kvn_history_load_keys(f.c_str(), 0, c.prefixes, c.count));
        Q_CBUF text(cJSON_PrintUnformatted(got.get()));
        EXPECT_EQ(std::string(text.get()), c.want);
    }
}

TEST_F(History, PruneRewritesOnlyWhenALineIsDropped) {
    int64_t now = time(nullptr);
    auto line = [](int64_t t) { return "{\"time\":" + std::to_string(t) + ",\"x.used\":1}"; };
    std::string recent = line(now - 3600), fresh = line(now - 60);
    struct {
        const char *what;
        std::string text;
        int keep_days;
        int rc;
        std::string after;
    } cases[] = {
        {"old and malformed", line(now - 2 * 86400) + "\n" + recent + "\n" + "garbage\n" + fresh + "\r\n", 1,
         2, recent + "\n" + fresh + "\r\n"},
        {"last line without newline", line(now - 3 * 86400) + "\n" + fresh, 1, 1, fresh + "\n"},
        {"nothing old", recent + "\n" + fresh + "\n", 1, 0, recent + "\n" + fresh + "\n"},
        {"keep 0 days", line(now - 9 * 86400) + "\n", 0, 0, line(now - 9 * 86400) + "\n"},
        {"keep -1 days", "garbage\n", -1, 0, "garbage\n"},
    };
    for (const auto &c : cases) {
        std::string f = history("prune.jsonl");
        test_write_file(f, c.text);
        struct stat before;
        stat(f.c_str(), &before);
        EXPECT_EQ(kvn_history_prune(f.c_str(), c.keep_days), c.rc) << c.what;
        EXPECT_EQ(test_read_file(f), c.after) << c.what;
        struct stat after;
        stat(f.c_str(), &after);
        // A file with nothing to drop is not even rewritten.
        if (c.rc == 0) {
            EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
        }
    }
    EXPECT_EQ(kvn_history_prune(history("missing.jsonl").c_str(), 1), 0);
    EXPECT_FALSE(test_exists(history("missing.jsonl")));

    // A rewrite that cannot happen leaves the old file whole.
    std::string f = history("stuck.jsonl"), text = line(now - 5 * 86400) + "\n" + fresh + "\n";
    test_write_file(f, text);
    ASSERT_EQ(mkdir((f + ".tmp").c_str(), 0700), 0);
    EXPECT_EQ(kvn_history_prune(f.c_str(), 1), -1);
    EXPECT_EQ(test_read_file(f), text);
}

TEST_F(History, WriteFailuresAreReportedOnceAndSamplingGoesOn) {
    SESSION_PTR s("https://fail.example/v3");
    std::string f = path_of(s.s);

    // The file's place is taken by a folder: it cannot be opened for appending.
    ASSERT_EQ(mkdir(f.c_str(), 0700), 0);
    {
        TEST_LOG_CAPTURE log;
        Q_CJSON x = sample_at(1000);
        EXPECT_EQ(kvn_history_add_sample(s.s, x.get()), -1);
        EXPECT_EQ(log.count("ERR"), 1u);
        EXPECT_EQ(log.count("cannot append to " + f), 1u);
    }
    // The failed sample was not remembered: the next one, a second later, is
    // stored once the file can be written.
    rmdir(f.c_str());
    Q_CJSON y = sample_at(1001);
    EXPECT_EQ(kvn_history_add_sample(s.s, y.get()), 1);
    EXPECT_EQ(test_read_file(f), "{\"time\":1001}\n");

    // The history folder removed by hand comes back with the next sample.
    ASSERT_EQ(system(("rm -rf '" + dir.file("history") + "'").c_str()), 0);
    Q_CJSON z = sample_at(2000);
    EXPECT_EQ(kvn_history_add_sample(s.s, z.get()), 1);
    EXPECT_EQ(test_read_file(f), "{\"time\":2000}\n");

    // A line cut short by an earlier failure does not swallow the next one.
    test_write_file(f, "{\"time\":3000}\n{\"time\":30");
    Q_CJSON w = sample_at(4000);
    EXPECT_EQ(kvn_history_add_sample(s.s, w.get()), 1);
    Q_CJSON all(kvn_history_load(f.c_str(), 0));
    EXPECT_EQ(times_of(all.get()), (std::vector<double>{3000, 4000})) << test_read_file(f);
}

TEST(QuotaSample, AbsentServicesAddNothingAndFailuresNameTheirCall) {
    // No authentication URL: every call fails before anything is sent.
    const char *no_auth = "the profile has no authentication URL";
    struct {
        const char *what;
        std::vector<const char *> services;
        size_t err_size;
        bool cancelled;
        std::string err;
    } cases[] = {
        {"no catalog", {}, 1024, false, ""},
        {"compute only", {"compute"}, 1024, false, std::string("compute limits: ") + no_auth},
        {"all four",
         {"compute", "network", "volumev3", "image"},
         1024,
         false,
         std::string("compute limits: ") + no_auth + "; network quotas: " + no_auth +
             "; volume quotas: " + no_auth + "; images: " + no_auth},
        {"cut at the buffer", {"network", "image"}, 20, false, "network quotas: the"},
        {"cancelled first", {"compute", "network"}, 1024, true, ""},
    };
    for (const auto &c : cases) {
        SESSION_PTR s("");
        for (const char *svc : c.services)
            kvn_session_add_endpoint(s.s, svc, "public", "RegionOne", "http://127.0.0.1:9/v1");
        Q_HTTPC_CANCEL *cancel = q_httpc_cancel_new();
        if (c.cancelled) q_httpc_cancel(cancel);
        std::string err(c.err_size, 'x');
        int64_t before = time(nullptr);
        Q_CJSON sample(kvn_quota_sample(s.s, cancel, err.data(), err.size()));
        q_httpc_cancel_free(&cancel);
        ASSERT_TRUE(sample) << c.what;
        EXPECT_STREQ(err.c_str(), c.err.c_str()) << c.what;
        // Nothing answered, so "time" is the only metric.
        EXPECT_EQ(cJSON_GetArraySize(sample.get()), 1) << c.what;
        const cJSON *t = cJSON_GetObjectItem(sample.get(), "time");
        ASSERT_TRUE(cJSON_IsNumber(t)) << c.what;
        EXPECT_GE(t->valuedouble, (double)before);
        EXPECT_EQ(t->valuedouble, std::floor(t->valuedouble));
    }
    // Without a buffer the collector still runs.
    SESSION_PTR s("");
    kvn_session_add_endpoint(s.s, "compute", "public", "RegionOne", "http://127.0.0.1:9/v1");
    Q_CJSON sample(kvn_quota_sample(s.s, nullptr, nullptr, 0));
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(sample.get(), "time")));
}

namespace {
struct SEEN {
    int calls = 0;
    std::vector<int> stored;
};
void on_sample(const cJSON *sample, int stored, void *user) {
    auto *seen = static_cast<SEEN *>(user);
    seen->calls++;
    seen->stored.push_back(stored);
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(sample, "time")));
}
} // namespace

TEST_F(History, ScheduleOnAFakeClock) {
    ASSERT_EQ(kvn_jobs_init(2), 0);
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    SESSION_PTR s("https://sched.example:5000/v3"), other("https://other.example/v3");
    app.session = s.s;
    app.session_generation = 7;
    KVN_CONFIG config;
    memset(&config, 0, sizeof config);
    config.history_enabled = 1;
    config.history_period_s = 300;
    config.history_keep_days = 1;

    // The reset prunes the new scope's file.
    std::string f = path_of(s.s);
    test_write_file(f, "{\"time\":1}\nnot json\n");
    SEEN seen;
    KVN_HISTORY_SCHEDULE sched;
    memset(&sched, 0, sizeof sched);
    sched.on_sample = on_sample;
    sched.user = &seen;
    kvn_history_schedule_reset(&sched, s.s, config.history_keep_days, 1000.0);
    EXPECT_EQ(test_read_file(f), "");

    enum { TICK, DELIVER, BUMP_GENERATION, SWITCH_SESSION, RESTORE, SET_PERIOD, SET_ENABLED };
    struct {
        int op;
        double t; // the clock for TICK, the value for SET_*
        int want; // TICK: submitted; DELIVER: callbacks seen so far
    } steps[] = {
        {TICK, 1004.9, 0},
        {TICK, 1005.0, 1},
        {TICK, 1006.0, 0}, // one in flight
        {DELIVER, 0, 1},
        {TICK, 1304.9, 0},
        {TICK, 1305.0, 1},
        {DELIVER, 0, 2},
        // An answer of an older generation is dropped, and the mark clears.
        {TICK, 1605.0, 1},
        {BUMP_GENERATION, 0, 0},
        {DELIVER, 0, 2},
        {TICK, 1905.0, 1},
        {SWITCH_SESSION, 0, 0},
        {DELIVER, 0, 2},
        {RESTORE, 0, 0},
        // Periods under 30 s count as 30.
        {SET_PERIOD, 5, 0},
        {TICK, 2205.0, 1},
        {DELIVER, 0, 3},
        {TICK, 2234.9, 0},
        {TICK, 2235.0, 1},
        {DELIVER, 0, 4},
        {SET_ENABLED, 0, 0},
        {TICK, 9999.0, 0},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        const auto &st = steps[i];
        switch (st.op) {
        case TICK:
            EXPECT_EQ(kvn_history_schedule_tick(&sched, app.session, app.session_generation, &config, st.t),
                      st.want)
                << "step " << i;
            if (st.want) {
                EXPECT_EQ(sched.in_flight, 1) << "step " << i;
            }
            break;
        case DELIVER:
            ASSERT_EQ(kvn_jobs_wait_idle(60000), 0) << "step " << i;
            EXPECT_EQ(sched.in_flight, 0) << "step " << i;
            EXPECT_EQ(seen.calls, st.want) << "step " << i;
            break;
        case BUMP_GENERATION:
            app.session_generation++;
            break;
        case SWITCH_SESSION:
            app.session = other.s;
            break;
        case RESTORE:
            app.session = s.s;
            break;
        case SET_PERIOD:
            config.history_period_s = (int)st.t;
            break;
        case SET_ENABLED:
            config.history_enabled = (int)st.t;
            break;
        }
    }
    // The samples' own times are real ones: whichever of them are 50 s apart
    // are stored, the rest are near duplicates; the first always is.
    ASSERT_EQ(seen.stored.size(), 4u);
    EXPECT_EQ(seen.stored[0], 1);
    size_t stored = 0;
    for (int rc : seen.stored) {
        EXPECT_TRUE(rc == 0 || rc == 1);
        stored += rc == 1;
    }
    EXPECT_EQ(lines_of(test_read_file(f)).size(), stored);
    EXPECT_EQ(kvn_history_schedule_tick(&sched, nullptr, 1, &config, 1e9), 0);

    kvn_app_publish(nullptr);
    kvn_jobs_shutdown();
}
