#pragma once
// Command tools: the operations that are not one REST call (container save,
// project cleanup, baremetal create, cluster configuration, metric
// benchmark, the OAuth1 delegation steps) and the informational windows
// (command list, configuration report, module list, chart). Each tool has a
// form built in code, runs as one job and reports in the result window.
// Main thread, except the job's run function.

#include <cstddef>
#include <cstdint>

#include "kvn_composite.h"
#include "kvn_oauth1.h"

struct cJSON;
struct KVN_SESSION;
struct KVN_OP;
struct KVN_API;
struct Q_STR;
struct KVN_CLEANUP_PLAN;

enum {
    KVN_TOOL_CONTAINER_SAVE = 0,
    KVN_TOOL_CLEANUP_DISCOVER = 1,
    KVN_TOOL_CLEANUP_DELETE = 2,
    KVN_TOOL_BAREMETAL_CREATE = 3,
    KVN_TOOL_COE_CONFIG = 4,
    KVN_TOOL_METRIC_BENCHMARK = 5,
    KVN_TOOL_REQUEST_TOKEN = 6,
    KVN_TOOL_ACCESS_TOKEN = 7,
};

// One run of a tool, owned by its job. The texts mean what the kind says:
// 0 container and folder; 1 project in text[5]; 4 cluster and folder;
// 5 archive policy in text[0]; 6 and 7 consumer id, consumer secret,
// request key, request secret, verifier, project.
struct KVN_TOOL_JOB {
    int kind;
    KVN_SESSION *session; // a reference held until the record is freed
    uint64_t generation;
    char text0[2048], text1[2048], text2[1024], text3[1024], text4[1024], text5[256];
    int count, batches, batch_size, flag;
    cJSON *document;  // owned (baremetal)
    long long result; // items done, or negative on failure
    Q_STR *log;       // report lines
    char report[2048];
    KVN_CLEANUP_PLAN *plan; // owned (cleanup)
    KVN_BENCH_STATS bench;  // metric benchmark
    float progress;
    KVN_OAUTH1_TOKEN token; // zeroed before release
    char error[1024];
    int cancelled; // set on delivery
};

// Registers the nine "ui" names with the resource panel and builds the forms.
void kvn_cmdtools_register(void);
// A new record with a session reference, or null with the error status
// "connect first".
KVN_TOOL_JOB *kvn_tool_job_new(int kind);
// Submits the record as a job (ownership passes in every case). 0, or -1
// with the status "%s: cannot start".
int kvn_tool_job_submit(KVN_TOOL_JOB *job, const char *title);
// Frees a record that was never submitted; zeroes its secrets.
void kvn_tool_job_free(KVN_TOOL_JOB *job);
// The done step of a job, for tests that run the worker side themselves:
// shows the report as a delivered job would (cancelled as given).
void kvn_tool_job_report(KVN_TOOL_JOB *job, int cancelled);

// The chart window: a line chart of a "measures" answer, else a bar chart of
// {"columns": [...], "results": [[...]]}. With a fallback text and nothing to
// draw, the result window shows the text instead. 0 when the chart shows,
// 1 when the fallback did, -1 otherwise.
int kvn_gui_chart_show(const char *title, const char *kind, const cJSON *answer, const char *fallback);

// Opens the command list window (filled with an empty filter).
void kvn_gui_cmdlist_open(void);

// The texts of the informational windows, cut at the capacity.
void kvn_cmdtools_module_text(const KVN_API *api, char *out, size_t size);
void kvn_cmdtools_config_text(char *out, size_t size);

// One command list row.
struct KVN_CMD_ROW {
    char command[256];
    const char *service_title;
    const char *resource_title;
    char operation[128];
    char ref[160];
    const void *res; // KVN_RESOURCE
    const KVN_OP *op;
    int is_list; // the list / show row: opening the view is running it
};
// Every row of the catalogue that the filter keeps (all with a null or empty
// filter), up to the capacity; returns the count kept.
int kvn_cmdtools_rows(const KVN_API *api, const char *filter, KVN_CMD_ROW *rows, int capacity);

// The tool forms, for tests: 0 save, 1 cleanup, 2 create, 3 config,
// 4 benchmark, 5 request token, 6 access token; null past the end.
const KVN_OP *kvn_cmdtools_form_op(int index);
// Hands values to a tool form's Run step as its OK does (tests); -1 for an
// index past the end.
int kvn_cmdtools_form_run(int index, const char *const *values, int count);
// Drops the windows' ids and any pending plan, before the GUI context goes.
void kvn_cmdtools_shutdown(void);
// 1 while a project cleanup job exists.
int kvn_cmdtools_cleanup_running(void);

struct Q_GUI_CHART;
struct KVN_CMDTOOLS_IDS {
    int list_window, list_filter, list_count, list_grid, list_open, list_close;
    int chart_window, chart_widget, chart_close;
    Q_GUI_CHART *chart;
};
void kvn_cmdtools_ids(KVN_CMDTOOLS_IDS *out);
