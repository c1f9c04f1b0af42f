#pragma once
// Job workers: every network call runs on one of a few worker threads; its
// outcome comes back to the main thread when the loop delivers finished jobs.

#include <cstddef>
#include <cstdint>

struct Q_HTTPC_CANCEL;
struct KVN_JOB;

typedef void (*KVN_JOB_FN)(KVN_JOB *job);
typedef void (*KVN_JOB_FREE_FN)(void *user);

enum { KVN_JOB_QUEUED = 0, KVN_JOB_RUNNING = 1, KVN_JOB_DONE = 2 };
enum { KVN_JOBS_MAX_WORKERS = 16 };

struct KVN_JOB {
    int id;
    char title[256];
    int state; // guarded by the queue lock
    Q_HTTPC_CANCEL *cancel;
    KVN_JOB_FN run;  // on a worker
    KVN_JOB_FN done; // on the main thread
    void *user;      // owned; freed with free_user after delivery
    KVN_JOB_FREE_FN free_user;
    uint64_t generation;
    // -1 while unknown, else 0..1. Written by the run function without the
    // queue lock: use kvn_job_set_progress / kvn_job_progress.
    float progress;
    KVN_JOB *next;
};

int kvn_jobs_init(int workers);
// Ownership of user passes here in every case: it is freed even when the
// submission fails (-1).
int kvn_jobs_submit(const char *title, KVN_JOB_FN run, KVN_JOB_FN done, KVN_JOB_FREE_FN free_user, void *user,
                    uint64_t generation);
// Main thread only: calls the done functions of finished jobs, newest first.
int kvn_jobs_deliver(void);
void kvn_jobs_cancel_all(void);
// Jobs not yet done; the title and progress are those of the most recently
// started running job (empty and -1 with none running).
int kvn_jobs_running(char *title, size_t size, float *progress);
// Main thread only: delivers until the queue is empty or the time-out passes.
int kvn_jobs_wait_idle(int timeout_ms);
void kvn_jobs_shutdown(void);
void kvn_job_set_progress(KVN_JOB *job, float progress);
float kvn_job_progress(const KVN_JOB *job);

// The status bar's text for the running jobs, "" when there are none.
void kvn_jobs_status_text(char *out, size_t size);

// ---- quota sampling (kvn_jobs_quota.cpp) ------------------------------------
struct cJSON;
struct KVN_SESSION;

// Measures the project's quotas and usage through every service the session's
// catalog offers (compute, network, block-storage, image): a new flat object
// of numeric metrics plus "time". A service the catalog lacks adds nothing;
// a failed call adds "label: error" to err (separated by "; ", cut at
// err_size; err may be null). Runs on a worker; null only when memory is
// exhausted.
cJSON *kvn_quota_sample(KVN_SESSION *session, Q_HTTPC_CANCEL *cancel, char *err, size_t err_size);
