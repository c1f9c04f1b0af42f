#pragma once
// Usage history: quota samples stored one JSON line each in a file per cloud
// and project under the data folder's "history", read back for the charts,
// pruned at connection time, and the background schedule that takes them.

#include <cJSON.h>
#include <cstddef>
#include <cstdint>

struct KVN_SESSION;
struct KVN_CONFIG;

// Two samples of one file closer than this are one measurement taken twice
// (the background sampler and the overview both store theirs).
enum { KVN_HISTORY_NEAR_S = 50, KVN_HISTORY_FIRST_DELAY_S = 5, KVN_HISTORY_MIN_PERIOD_S = 30 };

// "<data>/history/<host>_<project>.jsonl" of the session's scope; -1 without
// a session.
int kvn_history_path(KVN_SESSION *session, char *out, size_t size);
// Appends the sample's numeric members (and "time" = now when it has none) as
// one line. A file that cannot be opened logs ERR "cannot append to %s".
int kvn_history_append(const char *path, const cJSON *sample);
// 1 when appended, 0 when skipped as a near duplicate of the last line this
// process appended to the same file, -1 on error. Main thread only.
int kvn_history_add_sample(KVN_SESSION *session, const cJSON *sample);
// Forgets the last append (tests, and a fresh start of the process).
void kvn_history_forget_last(void);
// The samples whose "time" is at or after `since`, in file order: a new
// array, empty when the file is missing; unreadable lines are skipped.
cJSON *kvn_history_load(const char *path, int64_t since);
// The same, keeping in each sample only "time" and the members whose names
// start with one of the prefixes: one chart's metric group then costs a
// fraction of the memory of whole samples. No prefixes keeps everything.
cJSON *kvn_history_load_keys(const char *path, int64_t since, const char *const *prefixes, int count);
// The same for a chart: with more than max_samples lines in the range (and
// max_samples above 1), only max_samples of them, spread evenly with the
// newest always kept, are parsed and returned; total receives the number in
// the range (a line located by its time alone counts without a parse).
// max_samples 0 returns them all.
cJSON *kvn_history_load_spread(const char *path, int64_t since, const char *const *prefixes, int count,
                               int max_samples, int *total);
// Drops lines older than keep_days (and lines that are no sample), rewriting
// the file whole only when one was dropped. The number dropped; 0 for
// keep_days <= 0 or a missing file; -1 when the file could not be read or
// rewritten (it is then left as it was).
int kvn_history_prune(const char *path, int keep_days);

// The background sampler's state, owned by the main window; it must outlive
// every sample job it started. Times are seconds of the caller's clock.
struct KVN_HISTORY_SCHEDULE {
    double next_time;
    int in_flight; // a sample job has been submitted and not yet delivered
    // Called on the main thread with each sample of the current session after
    // it was offered to the history file (the overview and charts refresh).
    void (*on_sample)(const cJSON *sample, int stored, void *user);
    void *user;
};

// A new connection or project: the first sample is due 5 s from `now`, and
// the new scope's history file is pruned to keep_days.
void kvn_history_schedule_reset(KVN_HISTORY_SCHEDULE *sched, KVN_SESSION *session, int keep_days, double now);
// Once per frame: submits the "history sample" job when one is due. The job
// keeps the session and generation; its answer is dropped when the
// application's session or generation changed meanwhile. 1 when submitted.
int kvn_history_schedule_tick(KVN_HISTORY_SCHEDULE *sched, KVN_SESSION *session, uint64_t generation,
                              const KVN_CONFIG *config, double now);
