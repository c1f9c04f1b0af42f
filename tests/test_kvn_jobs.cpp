// labels: unit
// The job queue: how many workers run, start and delivery order, ownership of
// user data, the status text, cancellation and shutdown with jobs in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "kvn_jobs.h"
#include "q_http_client.h"

namespace {
// Jobs block on the gate until the test opens it (or their token fires).
struct GATE {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int running = 0, max_running = 0;
    std::vector<int> started; // tags in start order
    std::vector<int> delivered;
    std::vector<int> saw_cancel;
};
GATE *g_gate;

struct TAG {
    int tag;
    std::atomic<int> *frees;
};

void free_tag(void *p) {
    auto *t = static_cast<TAG *>(p);
    t->frees->fetch_add(1);
    delete t;
}

void run_blocking(KVN_JOB *job) {
    auto *t = static_cast<TAG *>(job->user);
    std::unique_lock<std::mutex> lock(g_gate->m);
    g_gate->started.push_back(t->tag);
    g_gate->max_running = std::max(g_gate->max_running, ++g_gate->running);
    g_gate->cv.notify_all();
    while (!g_gate->open && !q_httpc_is_cancelled(job->cancel))
        g_gate->cv.wait_for(lock, std::chrono::milliseconds(5));
    g_gate->running--;
    // Tests wait for every job to have ended; without this they sat out
    // their whole bound.
    g_gate->cv.notify_all();
}

void done_record(KVN_JOB *job) {
    auto *t = static_cast<TAG *>(job->user);
    std::lock_guard<std::mutex> lock(g_gate->m);
    g_gate->delivered.push_back(t->tag);
    if (q_httpc_is_cancelled(job->cancel)) g_gate->saw_cancel.push_back(t->tag);
}

// Waits (bounded) until the condition holds under the gate's lock.
template <typename F> bool wait_until(F cond, int ms = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(g_gate->m);
    while (!cond()) {
        if (g_gate->cv.wait_until(lock, deadline) == std::cv_status::timeout && !cond()) return false;
    }
    return true;
}

void open_gate() {
    std::lock_guard<std::mutex> lock(g_gate->m);
    g_gate->open = true;
    g_gate->cv.notify_all();
}

struct JobsTest : ::testing::Test {
    GATE gate;
    std::atomic<int> frees{0};
    void SetUp() override { g_gate = &gate; }
    void TearDown() override {
        open_gate();
        kvn_jobs_shutdown();
        g_gate = nullptr;
    }
    int submit(int tag, const char *title = nullptr) {
        return kvn_jobs_submit(title, run_blocking, done_record, free_tag, new TAG{tag, &frees}, 0);
    }
};
} // namespace

TEST_F(JobsTest, WorkerCountFollowsTheRequest) {
    struct {
        int asked, expect;
    } rows[] = {{0, 4}, {-3, 4}, {40, 16}, {2, 2}};
    for (auto &r : rows) {
        {
            std::lock_guard<std::mutex> lock(gate.m);
            gate.open = false;
            gate.max_running = 0;
        }
        ASSERT_EQ(kvn_jobs_init(r.asked), 0);
        for (int i = 0; i < 20; i++) submit(i);
        EXPECT_TRUE(wait_until([&] { return gate.running == r.expect; })) << r.asked;
        open_gate();
        EXPECT_EQ(kvn_jobs_wait_idle(20000), 0);
        EXPECT_EQ(gate.max_running, r.expect) << r.asked;
        kvn_jobs_shutdown();
    }
    EXPECT_EQ(frees.load(), 80);
}

TEST_F(JobsTest, StartInSubmissionOrderDeliverNewestFirst) {
    ASSERT_EQ(kvn_jobs_init(4), 0);
    int first = submit(0);
    for (int i = 1; i < 5; i++) EXPECT_EQ(submit(i), first + i); // ids count up
    ASSERT_TRUE(wait_until([&] { return gate.running == 4; }));
    {
        std::lock_guard<std::mutex> lock(gate.m);
        std::vector<int> four(gate.started.begin(), gate.started.end());
        std::sort(four.begin(), four.end());
        EXPECT_EQ(four, (std::vector<int>{0, 1, 2, 3})); // the fifth waits for a free worker
    }
    char title[64];
    EXPECT_EQ(kvn_jobs_running(title, sizeof title, nullptr), 5);
    open_gate();
    ASSERT_TRUE(wait_until([&] { return gate.started.size() == 5 && gate.running == 0; }));
    // Wait until every worker has marked its job done, then deliver in one go.
    for (int i = 0; i < 2000 && kvn_jobs_running(nullptr, 0, nullptr) > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(kvn_jobs_deliver(), 5);
    EXPECT_EQ(gate.delivered, (std::vector<int>{4, 3, 2, 1, 0}));
    EXPECT_EQ(frees.load(), 5);
    EXPECT_EQ(kvn_jobs_deliver(), 0);
}

TEST_F(JobsTest, StatusTextNamesTheNewestRunningJob) {
    char text[128];
    kvn_jobs_status_text(text, sizeof text);
    EXPECT_STREQ(text, "");
    // No workers yet: both jobs stay queued.
    submit(1, "List servers");
    submit(2, "");
    kvn_jobs_status_text(text, sizeof text);
    EXPECT_STREQ(text, "2 running: queued");
    float progress = 0;
    EXPECT_EQ(kvn_jobs_running(text, sizeof text, &progress), 2);
    EXPECT_STREQ(text, "");
    EXPECT_FLOAT_EQ(progress, -1.0f);

    ASSERT_EQ(kvn_jobs_init(1), 0);
    ASSERT_TRUE(wait_until([&] { return gate.running == 1; }));
    kvn_jobs_status_text(text, sizeof text);
    EXPECT_STREQ(text, "2 running: List servers"); // the older one started first
    open_gate();
    ASSERT_TRUE(wait_until([&] { return gate.started.size() == 2; }));
    EXPECT_EQ(kvn_jobs_wait_idle(20000), 0);
    EXPECT_EQ(gate.started, (std::vector<int>{1, 2}));
}

TEST_F(JobsTest, CancelAllReachesQueuedAndRunningJobs) {
    ASSERT_EQ(kvn_jobs_init(1), 0);
    submit(1);
    ASSERT_TRUE(wait_until([&] { return gate.running == 1; }));
    submit(2); // queued behind the running one
    kvn_jobs_cancel_all();
    // The gate stays shut: only the fired tokens let the jobs end.
    EXPECT_EQ(kvn_jobs_wait_idle(20000), 0);
    EXPECT_EQ(gate.started, (std::vector<int>{1, 2})); // a cancelled queued job still runs
    std::sort(gate.saw_cancel.begin(), gate.saw_cancel.end());
    EXPECT_EQ(gate.saw_cancel, (std::vector<int>{1, 2}));
    EXPECT_EQ(frees.load(), 2);
}

TEST_F(JobsTest, WaitIdleTimesOutWhileAJobRuns) {
    ASSERT_EQ(kvn_jobs_init(1), 0);
    submit(1);
    ASSERT_TRUE(wait_until([&] { return gate.running == 1; }));
    EXPECT_EQ(kvn_jobs_wait_idle(30), -1);
    open_gate();
    EXPECT_EQ(kvn_jobs_wait_idle(20000), 0);
}

TEST_F(JobsTest, ShutdownWithJobsInFlightFreesWithoutDelivering) {
    ASSERT_EQ(kvn_jobs_init(2), 0);
    for (int i = 0; i < 6; i++) submit(i);
    ASSERT_TRUE(wait_until([&] { return gate.running == 2; }));
    // The gate stays shut: shutdown fires the running jobs' tokens so their
    // run functions return, joins the workers and frees the rest.
    kvn_jobs_shutdown();
    EXPECT_TRUE(gate.delivered.empty());
    EXPECT_EQ(frees.load(), 6);
    EXPECT_EQ(kvn_jobs_running(nullptr, 0, nullptr), 0);
}

TEST_F(JobsTest, JobsWithoutFunctionsOrUserData) {
    ASSERT_EQ(kvn_jobs_init(1), 0);
    EXPECT_GE(kvn_jobs_submit(nullptr, nullptr, nullptr, nullptr, nullptr, 7), 0);
    EXPECT_EQ(kvn_jobs_wait_idle(20000), 0);
}
