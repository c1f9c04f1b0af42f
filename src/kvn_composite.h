#pragma once
// The composite tools: each runs many API calls as one job on a worker
// (container save, baremetal create, cluster configuration, metric
// benchmark). Their reports are
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

// Writes the client configuration of a container-infra cluster (id or name)
// under the folder: the CA, a client key and a certificate the cloud signs,
// and a kubeconfig. With keystone set a kubernetes cluster gets no client
// certificate: its kubeconfig reads $OS_TOKEN. 0 with the shell lines that
// use the configuration in the report, or -1 with the error there.
int kvn_coe_cluster_config(KVN_SESSION *session, const char *cluster, const char *folder, int keystone,
                           char *report, size_t size, Q_HTTPC_CANCEL *cancel);

// A new 2048-bit RSA key and a certificate request for it (version 1,
// subject CN "admin", O "system:masters"), both as PEM. 0, or -1 with both
// null. The key is a secret: free_qstr zeroes it.
int kvn_coe_client_request(Q_STR **key_pem, Q_STR **csr_pem);

// The PEM of the cluster's CA (GET /certificates/<uuid>), or of the request
// signed by it (POST /certificates). 0, or -1 with the error in err: the
// service's, "no answer" or "no pem in the answer".
int kvn_coe_fetch_ca(KVN_SESSION *session, const char *cluster_uuid, Q_STR **pem, char *err, size_t err_size,
                     Q_HTTPC_CANCEL *cancel);
int kvn_coe_sign(KVN_SESSION *session, const char *cluster_uuid, const char *csr_pem, Q_STR **pem, char *err,
                 size_t err_size, Q_HTTPC_CANCEL *cancel);

// What the configuration files are made of. The PEM texts may be null where
// the configuration has none (no TLS; the keystone flag has no client
// certificate).
struct KVN_COE_FILES {
    const char *folder, *name, *api_address, *coe;
    int tls_disabled, keystone;
    const char *ca_pem, *cert_pem, *key_pem;
};

// Writes the files of the configuration into its existing folder, each one
// whole or not at all (key.pem and config private), and puts the shell
// lines in the report. 0, or -1 with the error in the report.
int kvn_coe_write_config(const KVN_COE_FILES *files, char *report, size_t size);

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
