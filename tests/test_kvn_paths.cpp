// labels: unit
// Folders, joining, atomic replacement, capped reads, opening external targets
// and the settings file.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
// Sets or unsets environment variables for one test and restores them.
struct ENV_GUARD {
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> absent;
    void set(const char *name, const char *value) {
        const char *old = getenv(name);
        if (old) saved.emplace_back(name, old);
        else absent.emplace_back(name);
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ENV_GUARD() {
        for (auto &p : saved) setenv(p.first.c_str(), p.second.c_str(), 1);
        for (auto &n : absent) unsetenv(n.c_str());
    }
};

// Points the config folder at a fresh scratch folder.
struct CONFIG_HOME {
    TEST_DIR dir;
    ENV_GUARD env;
    CONFIG_HOME() {
        env.set("KVN_HOME", dir.path.c_str());
        kvn_paths_init();
    }
    std::string conf() const { return dir.file("kvn.conf"); }
};
} // namespace

TEST(Paths, ConfigFolderOrder) {
    TEST_DIR d;
    struct {
        const char *kvn_home, *appdata, *xdg, *home;
        std::string expect;
    } rows[] = {
        {"K", "A", "X", "H", "K"},
        {"", "A", "X", "H", "A/Kelvane"},
        {nullptr, "", "X", "H", "X/Kelvane"},
        {nullptr, nullptr, "", "H", "H/.config/Kelvane"},
        {"", "", "", "", "APP"},
    };
    for (auto &r : rows) {
        ENV_GUARD env;
        auto in = [&](const char *v) { return v && *v ? d.file(v) : std::string(v ? "" : "\x01"); };
        const char *names[4] = {"KVN_HOME", "APPDATA", "XDG_CONFIG_HOME", "HOME"};
        const char *vals[4] = {r.kvn_home, r.appdata, r.xdg, r.home};
        for (int i = 0; i < 4; i++) {
            std::string v = in(vals[i]);
            env.set(names[i], v == "\x01" ? nullptr : v.c_str());
        }
        int rc = kvn_paths_init();
        if (r.expect != "APP") {
            EXPECT_EQ(rc, 0);
        }
        std::string want = r.expect == "APP" ? std::string(kvn_paths_app_dir()) : d.file(r.expect);
        EXPECT_EQ(std::string(kvn_paths_config_dir()), want) << r.expect;
        EXPECT_EQ(std::string(kvn_paths_data_dir()), want);
        if (r.expect != "APP") {
            EXPECT_TRUE(test_exists(want + "/profiles"));
            EXPECT_TRUE(test_exists(want + "/history"));
        }
    }
    // The app folder is the executable's own.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    EXPECT_EQ(std::string(self).substr(0, std::string(self).rfind('/')), kvn_paths_app_dir());
}

TEST(Paths, InitReportsFoldersThatCannotBeCreated) {
    TEST_DIR d;
    test_write_file(d.file("file"), "x");
    ENV_GUARD env;
    env.set("KVN_HOME", d.file("file/sub").c_str());
    TEST_LOG_CAPTURE cap;
    EXPECT_EQ(kvn_paths_init(), -1);
    EXPECT_TRUE(cap.contains("cannot create directory " + d.file("file/sub") + ": Not a directory"));
}

TEST(Paths, Join) {
    char out[64];
    kvn_paths_join(out, sizeof out, "/cfg", "a/b");
    EXPECT_STREQ(out, "/cfg/a/b");
    kvn_paths_join(out, sizeof out, "/cfg", "");
    EXPECT_STREQ(out, "/cfg");
    kvn_paths_join(out, sizeof out, "", "name");
    EXPECT_STREQ(out, "name");
    char small[8];
    kvn_paths_join(small, sizeof small, "/folder", "name");
    EXPECT_STREQ(small, "/folder"); // cut at the buffer, still terminated
}

TEST(Paths, MkdirsCreatesParentsAndStopsAtFiles) {
    TEST_DIR d;
    EXPECT_EQ(kvn_paths_mkdirs(d.file("a/b/c").c_str()), 0);
    EXPECT_TRUE(test_exists(d.file("a/b/c")));
    EXPECT_EQ(kvn_paths_mkdirs(d.file("a/b/c/").c_str()), 0); // existing, trailing slash
    test_write_file(d.file("a/f"), "x");
    TEST_LOG_CAPTURE cap;
    EXPECT_EQ(kvn_paths_mkdirs(d.file("a/f/g").c_str()), -1);
    EXPECT_TRUE(cap.contains("cannot create directory " + d.file("a/f/g")));
}

TEST(Paths, WriteAtomicReplacesWholeAndKeepsOldFileOnFailure) {
    TEST_DIR d;
    std::string p = d.file("data.json");
    ASSERT_EQ(kvn_paths_write_atomic(p.c_str(), "first", 5, 0), 0);
    EXPECT_EQ(test_read_file(p), "first");
    ASSERT_EQ(kvn_paths_write_atomic(p.c_str(), "2nd", 3, 0), 0);
    EXPECT_EQ(test_read_file(p), "2nd");
    EXPECT_FALSE(test_exists(p + ".tmp"));
    ASSERT_EQ(kvn_paths_write_atomic(p.c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(test_read_file(p), "");
    EXPECT_EQ(kvn_paths_write_atomic(p.c_str(), nullptr, 3, 0), -1);
    EXPECT_EQ(kvn_paths_write_atomic(nullptr, "x", 1, 0), -1);

    // A private file is owner-only even when a stale temporary file of a
    // wider mode is lying around.
    std::string secret = d.file("profile.json");
    test_write_file(secret + ".tmp", "stale", 0666);
    ASSERT_EQ(kvn_paths_write_atomic(secret.c_str(), "s3cret", 6, 1), 0);
    EXPECT_EQ(test_mode_of(secret), 0600);
    EXPECT_EQ(test_read_file(secret), "s3cret");

    TEST_LOG_CAPTURE cap;
    // No folder for the temporary file.
    std::string nowhere = d.file("missing/x.json");
    EXPECT_EQ(kvn_paths_write_atomic(nowhere.c_str(), "x", 1, 0), -1);
    EXPECT_TRUE(cap.contains("cannot write " + nowhere + ".tmp: No such file or directory"));

    // The target is a folder: the rename fails and the temporary file goes.
    std::string folder = d.file("dir");
    kvn_paths_mkdirs((folder + "/inner").c_str());
    EXPECT_EQ(kvn_paths_write_atomic(folder.c_str(), "x", 1, 0), -1);
    EXPECT_TRUE(cap.contains("cannot rename " + folder + ".tmp: "));
    EXPECT_FALSE(test_exists(folder + ".tmp"));

    // A write that fails midway (file size limit) leaves the old file intact.
    std::string big(64 * 1024, 'b');
    struct rlimit old_lim;
    getrlimit(RLIMIT_FSIZE, &old_lim);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, old_lim.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lim);
    int rc = kvn_paths_write_atomic(p.c_str(), big.data(), big.size(), 0);
    setrlimit(RLIMIT_FSIZE, &old_lim);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(test_read_file(p), "");
    EXPECT_FALSE(test_exists(p + ".tmp"));
}

TEST(Paths, ReadFileUnderCap) {
    TEST_DIR d;
    std::string p = d.file("f.bin");
    test_write_file(p, std::string("ab\0cd", 5));
    size_t len = 99;
    Q_CBUF buf(kvn_paths_read_file(p.c_str(), 5, &len));
    ASSERT_TRUE(buf);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(memcmp(buf.get(), "ab\0cd\0", 6), 0);

    TEST_LOG_CAPTURE cap;
    len = 99;
    EXPECT_EQ(kvn_paths_read_file(p.c_str(), 4, &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(cap.contains("refusing to read " + p + ": size 5 over cap 4"));

    cap.lines.clear();
    EXPECT_EQ(kvn_paths_read_file(d.file("none").c_str(), 10, &len), nullptr);
    EXPECT_TRUE(cap.lines.empty()); // a missing file is no error
    EXPECT_EQ(kvn_paths_read_file(d.path.c_str(), 10, &len), nullptr);

    Q_CBUF empty(kvn_paths_read_file(p.c_str(), 5, nullptr));
    EXPECT_TRUE(empty);
}

TEST(Paths, OpenExternalRefusesUnsafeTargetsAndRunsNoShell) {
    TEST_DIR d;
    // A stand-in xdg-open first in PATH records exactly the arguments it got.
    std::string log = d.file("args.log");
    test_write_file(d.file("xdg-open"),
                    "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$1\" >> " + log + "\ncase \"$1\" in *fail*) exit 3;; esac\n",
                    0755);
    ENV_GUARD env;
    env.set("PATH", (d.path + ":" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str());

    TEST_LOG_CAPTURE cap;
    const char *unsafe[] = {"https://x/?a=1&b=2", "a\"b", "$HOME", "a;b", "a<b", "a>b", "a\\b", "a`b", "a|b",
                            "a\nb", "\x01x", "tab\there"};
    for (const char *t : unsafe) {
        cap.lines.clear();
        EXPECT_EQ(kvn_open_external(t), -1) << t;
        EXPECT_TRUE(cap.contains("refusing to open a target with unsafe characters")) << t;
    }
    EXPECT_EQ(kvn_open_external(""), -1);
    EXPECT_EQ(kvn_open_external(nullptr), -1);
    EXPECT_FALSE(test_exists(log));

    const char *ok = "https://example.test/a%20b?x=1 'quoted' (paren) \xc3\xa9";
    EXPECT_EQ(kvn_open_external(ok), 0);
    const std::string want = std::string("1\n") + ok + "\n";
    for (int i = 0; i < 2000 && test_read_file(log).size() < want.size(); i++)
        usleep(5000);
    EXPECT_EQ(test_read_file(log), want);
}

namespace {
// Delivers finished jobs until the status line reads the text or the bound
// passes.
bool wait_status(const KVN_APP &app, const char *text) {
    for (int i = 0; i < 2000; i++) {
        kvn_jobs_deliver();
        if (!strcmp(app.status_text, text)) return true;
        usleep(5000);
    }
    return false;
}
} // namespace

TEST(Paths, OpenExternalReturnsAtOnceAndReportsTheHandlerFailureLater) {
    TEST_DIR d;
    // Fails for targets holding "fail"; for "hang" records its pid and never
    // exits, like a browser started in the foreground.
    std::string pidfile = d.file("hang.pid");
    test_write_file(d.file("xdg-open"),
                    "#!/bin/sh\ncase \"$1\" in *fail*) exit 3;; *hang*) echo $$ > " + pidfile + ".tmp; mv " +
                        pidfile + ".tmp " + pidfile + "; exec sleep 100000;; esac\n",
                    0755);
    ENV_GUARD env;
    env.set("PATH", (d.path + ":" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str());
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    ASSERT_EQ(kvn_jobs_init(1), 0);

    struct CASE {
        const char *target, *status;
    } cases[] = {
        // A URL may carry a token: the message never repeats it.
        {"https://fail.example/?token=x", "cannot open the URL in a browser"},
        {"/tmp/fail-here.txt", "cannot open /tmp/fail-here.txt"},
    };
    for (const CASE &c : cases) {
        q_strcpy(app.status_text, sizeof app.status_text, "");
        EXPECT_EQ(kvn_open_external(c.target), 0) << c.target; // the spawn worked
        EXPECT_TRUE(wait_status(app, c.status)) << c.target << ": " << app.status_text;
    }

    // The handler that never exits: the call is back while it still runs.
    q_strcpy(app.status_text, sizeof app.status_text, "");
    EXPECT_EQ(kvn_open_external("https://hang.example/"), 0);
    for (int i = 0; i < 2000 && !test_exists(pidfile); i++)
        usleep(5000);
    const pid_t pid = (pid_t)atoi(test_read_file(pidfile).c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0) << "the handler is still running";
    kvn_jobs_deliver();
    EXPECT_STREQ(app.status_text, "");
    // Killed, it counts as a failure and is reaped (no zombie is left).
    kill(pid, SIGKILL);
    EXPECT_TRUE(wait_status(app, "cannot open the URL in a browser"));
    // Reported only after the waiter reaped it: a zombie would still answer.
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);

    kvn_jobs_shutdown();
    kvn_app_publish(nullptr);
}

TEST(Config, DefaultsRangesAndTypes) {
    CONFIG_HOME home;
    KVN_CONFIG c;
    memset(&c, 0x55, sizeof c);
    kvn_config_load(&c); // no file: defaults
    EXPECT_STREQ(c.last_profile, "");
    EXPECT_EQ(c.theme, 0);
    EXPECT_FLOAT_EQ(c.sidebar_w, 270.0f);
    EXPECT_EQ(c.history_enabled, 1);
    EXPECT_EQ(c.history_period_s, 300);
    EXPECT_EQ(c.history_keep_days, 90);
    EXPECT_EQ(c.auto_refresh_s, 0);
    EXPECT_EQ(c.log_level, 5);
    EXPECT_EQ(c.show_restricted, 0);
    EXPECT_EQ(c.show_unavailable, 1);
    EXPECT_EQ(c.native_popups, 0);

    struct {
        const char *json;
        int period;
        float sidebar;
        int native;
        int theme;
        const char *profile;
    } rows[] = {
        {R"({"history_period_s": 5, "sidebar_w": 100, "native_popups": 7})", 30, 270, 1, 0, ""},
        {R"({"history_period_s": 45.9, "sidebar_w": 800, "native_popups": 0, "theme": 1})", 45, 800, 0, 1, ""},
        {R"({"sidebar_w": 800.5, "theme": "1", "last_profile": 3})", 300, 270, 0, 0, ""},
        {R"({"sidebar_w": 150, "last_profile": "prod", "history_period_s": -4})", 30, 150, 0, 0, "prod"},
    };
    for (auto &r : rows) {
        test_write_file(home.conf(), r.json);
        kvn_config_load(&c);
        EXPECT_EQ(c.history_period_s, r.period) << r.json;
        EXPECT_FLOAT_EQ(c.sidebar_w, r.sidebar) << r.json;
        EXPECT_EQ(c.native_popups, r.native) << r.json;
        EXPECT_EQ(c.theme, r.theme) << r.json;
        EXPECT_STREQ(c.last_profile, r.profile) << r.json;
    }

    std::string long_name(400, 'p');
    test_write_file(home.conf(), "{\"last_profile\": \"" + long_name + "\"}");
    kvn_config_load(&c);
    EXPECT_EQ(strlen(c.last_profile), 255u);
}

TEST(Config, MalformedFilesKeepDefaults) {
    CONFIG_HOME home;
    KVN_CONFIG c;
    for (const char *bad : {"[1, 2]", "{\"theme\": 1", "", "null"}) {
        test_write_file(home.conf(), bad);
        TEST_LOG_CAPTURE cap;
        kvn_config_load(&c);
        EXPECT_TRUE(cap.contains("ignoring malformed " + home.conf())) << bad;
        EXPECT_EQ(c.theme, 0);
        EXPECT_EQ(c.history_period_s, 300);
    }
    // Over the 8 MiB cap: refused before parsing, defaults stay.
    test_write_file(home.conf(), "{\"theme\": 1," + std::string(KVN_READ_CAP, ' ') + "}");
    TEST_LOG_CAPTURE cap;
    kvn_config_load(&c);
    EXPECT_TRUE(cap.contains("refusing to read " + home.conf()));
    EXPECT_EQ(c.theme, 0);
}

TEST(Config, SaveThenLoadGivesTheSameElevenValues) {
    CONFIG_HOME home;
    KVN_CONFIG out;
    memset(&out, 0, sizeof out);
    q_strcpy(out.last_profile, sizeof out.last_profile, "prod \"eu\" \xc3\xa9");
    out.theme = 1;
    out.sidebar_w = 333.5f;
    out.history_enabled = 0;
    out.history_period_s = 600;
    out.history_keep_days = 7;
    out.auto_refresh_s = 15;
    out.log_level = 7;
    out.show_restricted = 1;
    out.show_unavailable = 0;
    out.native_popups = 1;
    ASSERT_EQ(kvn_config_save(&out), 0);
    KVN_CONFIG in;
    kvn_config_load(&in);
    EXPECT_EQ(memcmp(&in, &out, sizeof in), 0);

    // The keys are written in their documented order.
    std::string text = test_read_file(home.conf());
    const char *keys[] = {"last_profile",      "theme",          "sidebar_w",       "history_enabled",
                          "history_period_s",  "history_keep_days", "auto_refresh_s", "log_level",
                          "show_restricted",   "show_unavailable", "native_popups"};
    size_t at = 0;
    for (const char *k : keys) {
        size_t pos = text.find(std::string("\"") + k + "\"");
        ASSERT_NE(pos, std::string::npos) << k;
        EXPECT_GT(pos, at) << k;
        at = pos;
    }

    // A failed save leaves the previous file as it was.
    std::string before = test_read_file(home.conf());
    kvn_paths_mkdirs((home.conf() + ".tmp/blocker").c_str());
    out.theme = 0;
    EXPECT_EQ(kvn_config_save(&out), -1);
    EXPECT_EQ(test_read_file(home.conf()), before);
}
