#pragma once
// The composite tools: each runs many API calls as one job on a worker
// (container save, baremetal create, metric benchmark). Their reports are
// shown by the command tools on the main thread.

#include <cJSON.h>
#include <cstddef>

#include "q_http_client.h"

struct KVN_SESSION;
struct Q_STR;

// Called from the worker with the share of the work done (0..1).
typedef void (*KVN_PROGRESS_FN)(float done, void *user);

// Saves every object of a container under the folder (pseudo folders become
// directories; names that would leave the folder are skipped). Failures are
// lines of the log. The number of objects saved, or -1.
int kvn_container_save(KVN_SESSION *session, const char *container, const char *folder,
                       KVN_PROGRESS_FN progress, void *progress_user, Q_STR *log, Q_HTTPC_CANCEL *cancel);

// 0 when an object name may become a path under the save folder: not empty,
// not absolute, no backslash or ":", no ".." segment, no segment longer than
// 2047 bytes.
int kvn_container_name_safe(const char *name);

// Creates the chassis, nodes, port groups and ports of the document, logging
// each. The number of items not created (0: everything), or -1 when the
// document was refused.
int kvn_baremetal_create(KVN_SESSION *session, const cJSON *document, Q_STR *log, Q_HTTPC_CANCEL *cancel);

enum { KVN_BENCH_ROWS = 5 };

// One phase of the metric benchmark; times in milliseconds.
struct KVN_BENCH_ROW {
    char name[64];
    int count, failed;
    double total_s, min_ms, avg_ms, p95_ms, max_ms;
};
struct KVN_BENCH_STATS {
    KVN_BENCH_ROW rows[KVN_BENCH_ROWS];
    int count;
};

// Times the metric service's basic requests. The number of rows, or -1.
int kvn_metric_benchmark(KVN_SESSION *session, const char *archive_policy, int metrics, int batches,
                         int batch_size, int keep, KVN_BENCH_STATS *stats, KVN_PROGRESS_FN progress,
                         void *progress_user, Q_HTTPC_CANCEL *cancel);

// The benchmark's table, appended to the text.
void kvn_metric_benchmark_report(const KVN_BENCH_STATS *stats, int cancelled, Q_STR *text);
// The phases' request rates as {"columns": ["type", "rate"], "results": [...]},
// for the chart window; null when out of memory.
cJSON *kvn_metric_benchmark_chart(const KVN_BENCH_STATS *stats);
// The statistics of one phase from its successful times (milliseconds, any
// order; sorted in place).
void kvn_bench_row_fill(KVN_BENCH_ROW *row, const char *name, double *times_ms, int count, int failed);
