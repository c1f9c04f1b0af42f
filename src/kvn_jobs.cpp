#include "kvn_jobs.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "q_common.h"
#include "q_http_client.h"

namespace {
// g_lock guards the list, every job's state, the id counter and the stop
// flag; g_wake tells idle workers that a job was queued or that they must stop.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_wake = PTHREAD_COND_INITIALIZER;
KVN_JOB *g_head = nullptr; // newest first
int g_next_id = 0;
int g_stop = 0;
// Touched only by the thread that starts and stops the workers.
pthread_t g_workers[KVN_JOBS_MAX_WORKERS];
int g_worker_count = 0;

void _free_job(KVN_JOB *job) {
    if (job->free_user && job->user) job->free_user(job->user);
    job->user = nullptr;
    q_httpc_cancel_free(&job->cancel);
    free(job);
}

// The oldest queued job sits nearest the tail; jobs start in submission order.
KVN_JOB *_oldest_queued(void) {
    KVN_JOB *found = nullptr;
    for (KVN_JOB *j = g_head; j; j = j->next)
        if (j->state == KVN_JOB_QUEUED) found = j;
    return found;
}

void *_worker(void *) {
    pthread_mutex_lock(&g_lock);
    for (;;) {
        if (g_stop) break;
        KVN_JOB *job = _oldest_queued();
        if (!job) {
            pthread_cond_wait(&g_wake, &g_lock);
            continue;
        }
        job->state = KVN_JOB_RUNNING;
        pthread_mutex_unlock(&g_lock);
        if (job->run) job->run(job);
        pthread_mutex_lock(&g_lock);
        job->state = KVN_JOB_DONE;
    }
    pthread_mutex_unlock(&g_lock);
    return nullptr;
}
} // namespace

// The worker writes while the main thread reads; relaxed atomics keep that a
// defined race whose only effect is a slightly stale progress bar.
void kvn_job_set_progress(KVN_JOB *job, float progress) {
    if (job) __atomic_store(&job->progress, &progress, __ATOMIC_RELAXED);
}

float kvn_job_progress(const KVN_JOB *job) {
    float v = -1.0f;
    if (job) __atomic_load(&job->progress, &v, __ATOMIC_RELAXED);
    return v;
}

int kvn_jobs_init(int workers) {
    if (workers <= 0) workers = 4;
    if (workers > KVN_JOBS_MAX_WORKERS) workers = KVN_JOBS_MAX_WORKERS;
    pthread_mutex_lock(&g_lock);
    g_stop = 0;
    pthread_mutex_unlock(&g_lock);
    while (g_worker_count < workers) {
        if (pthread_create(&g_workers[g_worker_count], nullptr, _worker, nullptr) != 0) {
            q_log(Q_LOG_ERR, "cannot start job worker %d", g_worker_count);
            break;
        }
        g_worker_count++;
    }
    return g_worker_count > 0 ? 0 : -1;
}

int kvn_jobs_submit(const char *title, KVN_JOB_FN run, KVN_JOB_FN done, KVN_JOB_FREE_FN free_user, void *user,
                    uint64_t generation) {
    KVN_JOB *job = nullptr;
    Q_CALLOC(job, 1, KVN_JOB);
    if (job) job->cancel = q_httpc_cancel_new();
    if (!job || !job->cancel) {
        if (job) free(job);
        if (free_user && user) free_user(user);
        return -1;
    }
    q_strcpy(job->title, sizeof job->title, (title && *title) ? title : "job");
    job->run = run;
    job->done = done;
    job->free_user = free_user;
    job->user = user;
    job->generation = generation;
    kvn_job_set_progress(job, -1.0f);
    job->state = KVN_JOB_QUEUED;

    pthread_mutex_lock(&g_lock);
    job->id = g_next_id++;
    job->next = g_head;
    g_head = job;
    int id = job->id;
    pthread_cond_signal(&g_wake);
    pthread_mutex_unlock(&g_lock);
    return id;
}

int kvn_jobs_deliver(void) {
    int delivered = 0;
    for (;;) {
        pthread_mutex_lock(&g_lock);
        KVN_JOB **link = &g_head;
        while (*link && (*link)->state != KVN_JOB_DONE) link = &(*link)->next;
        KVN_JOB *job = *link;
        if (job) *link = job->next;
        pthread_mutex_unlock(&g_lock);
        if (!job) break;
        if (job->done) job->done(job);
        _free_job(job);
        delivered++;
    }
    return delivered;
}

void kvn_jobs_cancel_all(void) {
    pthread_mutex_lock(&g_lock);
    for (KVN_JOB *j = g_head; j; j = j->next)
        if (j->state != KVN_JOB_DONE) q_httpc_cancel(j->cancel);
    pthread_mutex_unlock(&g_lock);
}

int kvn_jobs_running(char *title, size_t size, float *progress) {
    int count = 0;
    const KVN_JOB *shown = nullptr;
    pthread_mutex_lock(&g_lock);
    for (KVN_JOB *j = g_head; j; j = j->next) {
        if (j->state == KVN_JOB_DONE) continue;
        count++;
        if (!shown && j->state == KVN_JOB_RUNNING) shown = j;
    }
    if (title) q_strcpy(title, size, shown ? shown->title : "");
    if (progress) *progress = shown ? kvn_job_progress(shown) : -1.0f;
    pthread_mutex_unlock(&g_lock);
    return count;
}

void kvn_jobs_status_text(char *out, size_t size) {
    char title[256];
    int n = kvn_jobs_running(title, sizeof title, nullptr);
    if (n == 0) q_strcpy(out, size, "");
    else q_format(out, size, "%d running: %s", n, title[0] ? title : "queued");
}

int kvn_jobs_wait_idle(int timeout_ms) {
    for (int waited = 0;; waited += 10) {
        kvn_jobs_deliver();
        pthread_mutex_lock(&g_lock);
        bool empty = g_head == nullptr;
        pthread_mutex_unlock(&g_lock);
        if (empty) return 0;
        if (waited >= timeout_ms) return -1;
        usleep(10000);
    }
}

void kvn_jobs_shutdown(void) {
    pthread_mutex_lock(&g_lock);
    for (KVN_JOB *j = g_head; j; j = j->next)
        if (j->state != KVN_JOB_DONE) q_httpc_cancel(j->cancel);
    g_stop = 1;
    pthread_cond_broadcast(&g_wake);
    pthread_mutex_unlock(&g_lock);

    for (int i = 0; i < g_worker_count; i++) pthread_join(g_workers[i], nullptr);
    g_worker_count = 0;

    pthread_mutex_lock(&g_lock);
    KVN_JOB *list = g_head;
    g_head = nullptr;
    pthread_mutex_unlock(&g_lock);
    while (list) {
        KVN_JOB *next = list->next;
        _free_job(list);
        list = next;
    }
}
