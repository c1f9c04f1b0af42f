#pragma once
// Project cleanup: everything a project owns, found across the services of
// the catalog (the dry run), then deleted in an order that lets each deletion
// succeed: servers before the volumes they use, floating IPs and router
// interfaces before networks, objects before their containers. Discovery and
// deletion are two worker jobs with the user's confirmation between them; the
// plan is what passes from one to the other. No interface code here.

#include <cstddef>

struct KVN_SESSION;
struct Q_HTTPC_CANCEL;
struct Q_STR;

enum {
    KVN_CLEANUP_SERVICE_MAX = 24,
    KVN_CLEANUP_KIND_MAX = 32,
    KVN_CLEANUP_ID_MAX = 256,
    KVN_CLEANUP_NAME_MAX = 256,
    KVN_CLEANUP_PATH_MAX = 2048,
    KVN_CLEANUP_DETAIL_MAX = 256,
    KVN_CLEANUP_PROJECT_MAX = 256,
    KVN_CLEANUP_PLAN_FIRST = 64, // first capacity of the entry array; it doubles
};

// Entry states.
enum { KVN_CLEANUP_PENDING = 0, KVN_CLEANUP_DELETED = 1, KVN_CLEANUP_FAILED = -1 };

struct KVN_CLEANUP_ITEM {
    char service[KVN_CLEANUP_SERVICE_MAX]; // "compute", "block-storage", "network", "image", "object-store"
    char kind[KVN_CLEANUP_KIND_MAX];       // "server", "volume", "floating IP", ...
    char id[KVN_CLEANUP_ID_MAX];
    char name[KVN_CLEANUP_NAME_MAX];     // the id when unnamed; a floating IP's address
    char path[KVN_CLEANUP_PATH_MAX];     // "/servers/<id>"; "/<percent-encoded name>" for containers
    int state;                           // KVN_CLEANUP_PENDING, _DELETED or _FAILED
    char detail[KVN_CLEANUP_DETAIL_MAX]; // the reason of a failure, or a note
    int external_gateway;                // routers that have one
};

struct KVN_CLEANUP_PLAN {
    KVN_CLEANUP_ITEM *entries; // owned, grown by doubling
    int count;
    int capacity;
    char project[KVN_CLEANUP_PROJECT_MAX]; // the target project id
    int other_project;                     // the target is not the session's project
};

// A new empty plan, or null when memory is short.
KVN_CLEANUP_PLAN *kvn_cleanup_plan_new(void);
// Frees the entries and the record and clears the reference; absent is no error.
void kvn_cleanup_plan_free(KVN_CLEANUP_PLAN **plan);
// Appends an entry (copied); -1 when memory is short.
int kvn_cleanup_plan_add(KVN_CLEANUP_PLAN *plan, const KVN_CLEANUP_ITEM *item);
// Entries in a state.
int kvn_cleanup_plan_count_state(const KVN_CLEANUP_PLAN *plan, int state);

// Lists what the project owns into the plan (emptied first): the project
// text's project, or the session's own when the text is empty or null. A
// listing that fails is named in the log ("<kind>: cannot list (<error>)")
// and discovery goes on. Runs on a worker. Returns the entry count, or -1
// when no project could be determined.
int kvn_cleanup_discover(KVN_SESSION *session, const char *project, KVN_CLEANUP_PLAN *plan, Q_STR *log,
                         Q_HTTPC_CANCEL *cancel);

// Deletes the plan's entries in order, waiting where a deletion must finish
// before the next kind can go, and records each entry's outcome. Before an
// entry is deleted it is checked once more against the plan's project; one
// that turns out to belong elsewhere is failed, never deleted. A failure
// never stops the run; the cancel token stops it after the call in flight,
// leaving the rest pending. progress (may be null) receives the fraction
// done, stored atomically so it may be a job's progress field. Runs on a
// worker. Returns the number of failed entries.
int kvn_cleanup_delete(KVN_SESSION *session, KVN_CLEANUP_PLAN *plan, float *progress, Q_HTTPC_CANCEL *cancel);

// ---- report texts -------------------------------------------------------------
// Each appends to out.

// One line per entry: a state column ("deleted ", "FAILED  " or eight
// spaces, only when with_state), kind, id, name and the detail when present.
void kvn_cleanup_plan_lines(const KVN_CLEANUP_PLAN *plan, int with_state, Q_STR *out);

// The dry-run report after discovery returned result (entry count or -1),
// with the discovery log. With entries: the heading, the plan lines and the
// listings that were not checked; without: "nothing ... was found" or
// "Discovery failed." and the log.
void kvn_cleanup_discovery_report(const KVN_CLEANUP_PLAN *plan, int result, const char *log, Q_STR *out);
// Its window title: "openstack project cleanup --dry-run" with entries,
// else "openstack project cleanup".
const char *kvn_cleanup_discovery_title(int result);
// The confirmation's question ("Delete the %d resources listed for project
// %.80s?") into out.
void kvn_cleanup_confirm_question(const KVN_CLEANUP_PLAN *plan, char *out, size_t size);
// The deletion report: the count line (" (cancelled)" when cancelled) and
// the plan lines with their states.
void kvn_cleanup_deletion_report(const KVN_CLEANUP_PLAN *plan, int cancelled, Q_STR *out);
// The status line after deletion: "project cleanup: %d deleted, %d failed".
void kvn_cleanup_deletion_status(const KVN_CLEANUP_PLAN *plan, char *out, size_t size);

// Fixed texts of the flow around the two jobs.
#define KVN_CLEANUP_TITLE "openstack project cleanup"
#define KVN_CLEANUP_DRY_RUN_TITLE "openstack project cleanup --dry-run"
#define KVN_CLEANUP_CONFIRM_TITLE "Project cleanup"
#define KVN_CLEANUP_CONFIRM_NOTE "Servers, volumes, networks, images, containers... cannot be recovered."
#define KVN_CLEANUP_NOTHING "Project cleanup: nothing owned by this project was found."
#define KVN_CLEANUP_DISCOVERY_FAILED "Discovery failed."
#define KVN_CLEANUP_ALREADY_RUNNING "a project cleanup is already running"
#define KVN_CLEANUP_NOTHING_DELETED "project cleanup: nothing deleted"
#define KVN_CLEANUP_JOB_LISTING "project cleanup: listing"
#define KVN_CLEANUP_JOB_DELETING "project cleanup: deleting"
