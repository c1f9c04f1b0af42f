#pragma once
// The process-wide application record, the status line, and requests: one
// cloud call described by a record, run as a job, answered on the main thread.

#include <cJSON.h>
#include <cstdint>

#include "kvn_config.h"
#include "kvn_session.h"

struct ALLEGRO_DISPLAY;
struct ALLEGRO_FONT;
struct Q_GUI_CTX;
struct KVN_API;
struct KVN_RESOURCE;
struct KVN_OP;
struct KVN_JOB;

struct KVN_APP {
    ALLEGRO_DISPLAY *display;
    Q_GUI_CTX *gui;
    ALLEGRO_FONT *ui_font;
    ALLEGRO_FONT *mono_font;     // may be absent
    ALLEGRO_FONT *fallback_font; // may be absent
    KVN_CONFIG config;
    KVN_API *api;         // owned, may be absent
    KVN_SESSION *session; // absent while not connected
    uint64_t session_generation;
    int running;
    char status_text[1024];
    int status_kind; // KVN_STATUS_INFO, KVN_STATUS_ERROR or KVN_STATUS_WARNING
    // Registered by the entry: runs whenever a session is established,
    // changes project or is dropped, so the windows follow.
    void (*connect_changed)(void *user);
    void *connect_changed_user;
};

// Kinds of status message; the status bar colours its text by kind.
enum { KVN_STATUS_INFO = 0, KVN_STATUS_ERROR = 1, KVN_STATUS_WARNING = 2 };

enum { KVN_REQ_ALL_PAGES = 1 };

struct KVN_REQ;
typedef void (*KVN_REQ_DONE)(KVN_REQ *req, void *user);

struct KVN_REQ {
    char service[64];
    char method[16];
    char path[4096];
    char collection_key[128];
    // A raw body in opts is a malloc'ed text the request owns; the request
    // sets the progress callback itself.
    KVN_CALL_OPTS opts;
    cJSON *body;          // owned
    int flags;            // KVN_REQ_ALL_PAGES
    KVN_SESSION *session; // a reference held until the request is freed
    uint64_t generation;
    KVN_RESULT *result; // owned
    KVN_REQ_DONE done;
    void *user;
    KVN_JOB *job; // set while the request runs, for its progress
};

// The record is created by main on its own stack and published here before
// anything else reads it; null outside a run (tools, most tests).
void kvn_app_publish(KVN_APP *app);
KVN_APP *kvn_app_get(void);

// Sets the status line with a KVN_STATUS_* kind.
void kvn_app_status(int kind, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Drops the session: stale answers are discarded, running jobs cancelled.
void kvn_app_disconnect(void);
// Runs the connection-changed hook, when one is registered.
void kvn_app_connect_changed(void);
int kvn_app_can_run(const KVN_RESOURCE *res, const KVN_OP *op);
// The start with --env: fills the profile from the OS_* environment (or the
// cloud OS_CLOUD names), shows the outcome on the status line and logs which
// profile it got, never its secret. Returns what kvn_import_environment does.
int kvn_app_import_env(KVN_PROFILE *p);

KVN_REQ *kvn_req_new(const char *service, const char *method, const char *path);
// Returns the job id, or -1 (the request is then freed).
int kvn_req_submit(KVN_REQ *req, const char *title, KVN_REQ_DONE done, void *user);
void kvn_req_free(KVN_REQ *req);
