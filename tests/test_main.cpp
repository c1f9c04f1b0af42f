// labels: gui
// The real program: its command line, start-up messages, and a clean shutdown
// on SIGTERM that saves the settings.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <unistd.h>

#include "kvn_config.h"
#include "kvn_paths.h"
#include "kvn_test_util.h"

namespace {
const int k_wait_ms = 60000;

const std::string k_usage_tail =
    " [-v level] [--env] [--open view] [-h]\n"
    "  -v level     log level: 0 error .. 3 debug (default notice)\n"
    "  --env        connect at once with the OS_* environment (a sourced openrc,\n"
    "               or OS_CLOUD naming a cloud of clouds.yaml)\n"
    "  --open view  open a view: overview, history, topology, usage or\n"
    "               service.resource such as compute.server\n"
    "  -h        this help\n"
    "Profiles live in the config directory (KVN_HOME overrides it).\n";

// Runs the program until it has set up its folders, then stops it the way a
// desktop session would. Returns the exit code; stderr lands in *err.
int run_and_stop(const std::string &program, const std::string &home, const std::vector<std::string> &args,
                 std::string *err, const std::string &ready = "") {
    TEST_PROC p;
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(test_spawn(&p, argv, {"KVN_HOME=" + home}));
    if (!ready.empty()) {
        EXPECT_TRUE(p.wait_for(ready, k_wait_ms)) << p.err;
    } else {
        // Nothing is logged at low levels: the history folder is made after
        // the signal handlers are in place (the home must be a fresh one).
        for (int i = 0; i < k_wait_ms / 10 && !test_exists(home + "/history"); i++)
            usleep(10000);
    }
    p.kill_now(SIGTERM);
    int rc = p.wait_exit(k_wait_ms);
    *err = p.err;
    return rc;
}
} // namespace

TEST(Program, HelpPrintsUsageAndCreatesNothing) {
    TEST_DIR d;
    std::string home = d.file("home");
    for (const char *flag : {"-h", "--help"}) {
        TEST_PROC p;
        ASSERT_TRUE(test_spawn(&p, {KVN_PROGRAM, "-v", "3", flag, "--env"}, {"KVN_HOME=" + home}));
        EXPECT_EQ(p.wait_exit(k_wait_ms), 0);
        EXPECT_EQ(p.err, std::string("Kelvane 0.1.0\nusage: ") + KVN_PROGRAM + k_usage_tail);
    }
    EXPECT_FALSE(test_exists(home));
}

TEST(Program, StartsDrawsAndSavesSettingsOnSigterm) {
    TEST_DIR d;
    std::string home = d.file("home");
    std::filesystem::create_directories(home);
    test_write_file(home + "/kvn.conf", R"({"last_profile": "prod", "theme": 1, "sidebar_w": 321.5,
        "history_enabled": 0, "history_period_s": 120, "history_keep_days": 30, "auto_refresh_s": 10,
        "log_level": 5, "show_restricted": 1, "show_unavailable": 0, "native_popups": 9})");
    std::string err;
    int rc = run_and_stop(KVN_PROGRAM, home, {"-v", "2"}, &err, "first frame drawn");
    EXPECT_EQ(rc, 0) << err;
    EXPECT_NE(err.find("NOTICE:"), std::string::npos);
    EXPECT_NE(err.find("Kelvane 0.1.0 (dev) starting"), std::string::npos) << err;
    EXPECT_EQ(err.find("paths: "), std::string::npos) << err; // INFO, logged before -v applies
    EXPECT_NE(err.find("status: Welcome. Connect to a cloud to start."), std::string::npos) << err;
    EXPECT_NE(err.find("Kelvane stopped"), std::string::npos) << err;
    EXPECT_EQ(err.find("descriptor:"), std::string::npos) << err; // the shipped set is clean

    // The saved file loads back to the eleven values it was started with.
    setenv("KVN_HOME", home.c_str(), 1);
    kvn_paths_init();
    KVN_CONFIG c;
    kvn_config_load(&c);
    EXPECT_STREQ(c.last_profile, "prod");
    EXPECT_EQ(c.theme, 1);
    EXPECT_FLOAT_EQ(c.sidebar_w, 321.5f);
    EXPECT_EQ(c.history_enabled, 0);
    EXPECT_EQ(c.history_period_s, 120);
    EXPECT_EQ(c.history_keep_days, 30);
    EXPECT_EQ(c.auto_refresh_s, 10);
    EXPECT_EQ(c.log_level, 5);
    EXPECT_EQ(c.show_restricted, 1);
    EXPECT_EQ(c.show_unavailable, 0);
    EXPECT_EQ(c.native_popups, 1);
    unsetenv("KVN_HOME");
}

TEST(Program, VerbosityTableAndSettingLevel) {
    struct {
        std::vector<std::string> args;
        int setting;
        bool notice, debug;
    } rows[] = {
        {{"-v", "0"}, 7, false, false}, // -v overrides the setting
        {{"-v", "-2"}, 5, false, false},
        {{"-v", "abc"}, 5, false, false},
        {{"-v", "1"}, 7, true, false},
        {{"-v", "9"}, 3, true, true},
        {{}, 7, true, true},
        {{"-v"}, 3, false, false}, // a trailing -v is ignored: the setting rules
    };
    for (auto &r : rows) {
        TEST_DIR d;
        std::string home = d.file("home");
        std::filesystem::create_directories(home);
        test_write_file(home + "/kvn.conf", "{\"log_level\": " + std::to_string(r.setting) + "}");
        std::string err;
        std::string label = r.args.empty() ? "(none)" : r.args.back();
        EXPECT_EQ(run_and_stop(KVN_PROGRAM, home, r.args, &err), 0) << label << err;
        EXPECT_EQ(err.find("Kelvane 0.1.0 (dev) starting") != std::string::npos, r.notice) << label << err;
        EXPECT_EQ(err.find("DEBUG:") != std::string::npos, r.debug) << label << err;
    }
}

// --open through the service tree of the real catalogue: a view or resource
// the tree holds opens, an unknown one is named.
TEST(Program, OpenShowsTheNamedView) {
    struct CASE {
        const char *view;
        const char *status;
    };
    const CASE cases[] = {
        {"overview", nullptr},
        {"history", nullptr},
        {"usage", nullptr},
        {"compute.server", nullptr},
        {"compute.nothing", "status: unknown view 'compute.nothing'"},
    };
    for (const CASE &c : cases) {
        TEST_DIR d;
        std::string err;
        EXPECT_EQ(run_and_stop(KVN_PROGRAM, d.file("home"), {"-v", "2", "--open", c.view}, &err,
                               "first frame drawn"),
                  0)
            << c.view << err;
        if (c.status)
            EXPECT_NE(err.find(c.status), std::string::npos) << c.view << err;
        else
            EXPECT_EQ(err.find("unknown view"), std::string::npos) << c.view << err;
    }
}

TEST(Program, BrokenDescriptorsAreReportedAndTheProgramStillRuns) {
    // The program reads its descriptors next to its executable: run a copy
    // that has a folder of broken files beside it (and no fonts, so the
    // built-in font is used).
    TEST_DIR d;
    std::string prog = d.file("kelvane");
    std::filesystem::copy_file(KVN_PROGRAM, prog);
    std::filesystem::create_directories(d.file("resources/api"));
    test_write_file(d.file("resources/api/a.json"), "{not json");
    test_write_file(d.file("resources/api/b.json"), R"({"resources": []})");
    test_write_file(
        d.file("resources/api/c.json"),
        R"({"service": "x", "resources": [{"id": "r", "parent": "x.none", "list": {"path": "/r"}}]})");
    std::string err;
    EXPECT_EQ(run_and_stop(prog, d.file("home"), {"-v", "2"}, &err, "first frame drawn"), 0) << err;
    EXPECT_NE(err.find("descriptor: a.json: invalid JSON near"), std::string::npos) << err;
    EXPECT_NE(err.find("descriptor: b.json: no \"service\""), std::string::npos) << err;
    EXPECT_NE(err.find("descriptor: x.r: unknown parent x.none"), std::string::npos) << err;
    EXPECT_NE(
        err.find("TTF font not found at " + d.file("assets/fonts/inter.ttf") + ", using the builtin font"),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("no ca-bundle.pem next to the executable"), std::string::npos) << err;
    EXPECT_NE(err.find("status: Welcome. Some API descriptors have errors (see About)."), std::string::npos)
        << err;

    // A view that cannot be opened is named in the status line; a trailing
    // --open without a name is ignored.
    EXPECT_EQ(run_and_stop(prog, d.file("home-open"), {"-v", "0", "--open", "no.such"}, &err), 0) << err;
    EXPECT_NE(err.find("status: unknown view 'no.such'"), std::string::npos) << err;
    EXPECT_EQ(run_and_stop(prog, d.file("home"), {"-v", "2", "--open"}, &err, "first frame drawn"), 0) << err;
    EXPECT_EQ(err.find("unknown view"), std::string::npos) << err;

    // Without any descriptor folder the user is simply asked to connect.
    std::filesystem::remove_all(d.file("resources"));
    EXPECT_EQ(run_and_stop(prog, d.file("home"), {"-v", "2"}, &err, "first frame drawn"), 0) << err;
    EXPECT_NE(err.find("status: Welcome. Connect to a cloud to start."), std::string::npos) << err;
}
