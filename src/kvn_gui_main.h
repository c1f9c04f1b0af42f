#pragma once
// The main window: the toolbar, the service tree, the status bar and the one
// content view beside the tree (the overview dashboard, a resource panel, the
// history charts, the topology or the usage report). It owns the project
// drop-down, disconnect and cancel, the about text, the background history
// sampling tick and opening a view by name. Main thread only.

#include <cstddef>
#include <cstdint>

union ALLEGRO_EVENT;
struct cJSON;
struct Q_GUI_TREE;
struct Q_GUI_CHART;
struct KVN_RESOURCE;
struct KVN_SESSION;

enum {
    KVN_VIEW_OVERVIEW = 0,
    KVN_VIEW_RESOURCE = 1,
    KVN_VIEW_HISTORY = 2,
    KVN_VIEW_TOPOLOGY = 3,
    KVN_VIEW_USAGE = 4,
    KVN_VIEW_KINDS = 5,
};

// Sidebar width bounds while dragging: the upper one is also capped at half
// the display width.
enum { KVN_SIDEBAR_MIN = 150, KVN_SIDEBAR_MAX = 800 };

// Builds the frame in the application's GUI context, fills the tree and shows
// the current view. Once, after the GUI context exists.
void kvn_gui_main_build(void);
// Every rectangle again from the display size and the sidebar width.
void kvn_gui_main_relayout(void);
// Once per drawn frame: status bar, enabled states, the history sample when
// due.
void kvn_gui_main_tick(void);
// The application's connection-changed hook (its user pointer is unused).
void kvn_gui_main_on_connect_change(void *user);
// Mouse axes, button down and up on the main display, before the toolkit:
// the sidebar splitter. Non-zero when it took the event.
int kvn_gui_main_sidebar_event(const ALLEGRO_EVENT *ev);
// "overview", "history", "topology", "usage" or "service.resource": selects
// and shows the view. 0, or -1 when the name resolves to no node.
int kvn_gui_main_open_view(const char *name);
// Refresh and F5: reloads the current view.
void kvn_gui_main_refresh(void);
// Something of the frame or its views changed that the toolkit cannot know
// of (figures filled into a chart record): 1 once, then 0 until the next.
int kvn_gui_main_take_dirty(void);
// A view's own change wants a frame (see kvn_gui_main_take_dirty).
void kvn_gui_main_mark_dirty(void);
// Frees what the frame owns (tree, project ids); before the GUI context goes.
void kvn_gui_main_destroy(void);

// Ids and state for tests and the gallery; -1 for what is not built.
struct KVN_GUI_MAIN_IDS {
    int toolbar, services, status;
    int connect, disconnect, project_label, projects, connection, refresh, settings, about;
    int message, running, progress, cancel;
    Q_GUI_TREE *tree;
    int view_kind;
    const KVN_RESOURCE *resource; // of the resource view
    int view_window;              // the current view's window
    int project_count;
    float sidebar_w;
    double next_sample; // Allegro clock time of the next history sample
};
void kvn_gui_main_ids(KVN_GUI_MAIN_IDS *out);

// ---- the overview dashboard (kvn_gui_main_overview.cpp) -------------------------

enum { KVN_OVERVIEW_GAUGES_MAX = 32 };

// One quota metric of a sample: "<key>.used", ".limit" and ".reserved".
struct KVN_OVERVIEW_METRIC {
    const char *key;
    const char *title;
    const char *unit; // "MiB", "GiB", "B" or ""
    const char *service;
};
// The table, in gauge order.
const KVN_OVERVIEW_METRIC *kvn_gui_main_overview_metrics(int *count);
// 1 healthy, 2 stopped, 3 error, 0 anything else (bar colour classes).
int kvn_gui_main_status_class(const char *status);
// Builds the window on first use and puts it in the content rectangle.
int kvn_gui_main_overview_window(float x, float y, float w, float h);
// Refreshes the header lines and loads when neither loaded nor loading.
void kvn_gui_main_overview_shown(void);
// Refresh, F5, a connection change while shown.
void kvn_gui_main_overview_load(void);
// Hands over a sample of `session` fetched before the window was up (the
// overview takes `sample`); the next load for that session shows it
// instead of asking again, any other load drops it. A null session drops
// what is waiting.
void kvn_gui_main_overview_preload(KVN_SESSION *session, cJSON *sample, const char *err);
// Back to not loaded (connection change).
void kvn_gui_main_overview_reset(void);
// Gauges and charts from a sample; the state does not change.
void kvn_gui_main_overview_fill(const cJSON *sample);
// Header lines from the session.
void kvn_gui_main_overview_header(void);
// Forgets the window (its context is going).
void kvn_gui_main_overview_forget(void);

struct KVN_OVERVIEW_IDS {
    int window, first, second, refresh, message;
    int gauges[KVN_OVERVIEW_GAUGES_MAX]; // widget ids
    int gauge_count;
    const Q_GUI_CHART *gauge_charts; // gauge_count records
    const Q_GUI_CHART *bars[3];      // servers by status, by flavor, volumes by status
    int bar_widgets[3];
    int loaded, loading;
};
void kvn_gui_main_overview_ids(KVN_OVERVIEW_IDS *out);

// ---- the history view (kvn_gui_main_history.cpp) --------------------------------

enum { KVN_HISTORY_GROUP_KEYS_MAX = 6 };

// A metric group of the history view: plain keys draw "<key>.used" (and with
// the limits "<key>.limit"); a key ending in "." is a prefix whose every
// member is a series of its own.
struct KVN_HISTORY_GROUP {
    const char *title;
    const char *unit;
    const char *keys[KVN_HISTORY_GROUP_KEYS_MAX];
    int key_count;
};
const KVN_HISTORY_GROUP *kvn_gui_main_history_groups(int *count);
// Adds the series of the group drawn from a samples array (as the history
// loader returns it) to the chart; the number of samples. Negative values
// (unlimited limits) are no points; more samples than a series holds are
// thinned evenly, the newest always kept.
int kvn_gui_main_history_fill(Q_GUI_CHART *chart, const cJSON *samples, int group, int show_limits);
// Builds the window on first use and puts it in the content rectangle.
int kvn_gui_main_history_window(float x, float y, float w, float h);
// Reads the session's history file again and redraws (show, the controls,
// Reload, a new sample).
void kvn_gui_main_history_reload(void);
// 1 while the view's window is open.
int kvn_gui_main_history_current(void);
// Forgets the window (its context is going).
void kvn_gui_main_history_forget(void);
struct KVN_HISTORY_IDS {
    int window, group, range, limits, reload, summary, chart_widget;
    const Q_GUI_CHART *chart;
    int sample_count;
};
void kvn_gui_main_history_ids(KVN_HISTORY_IDS *out);

// ---- the usage report (kvn_gui_main_usage.cpp) ----------------------------------

enum { KVN_USAGE_PERIODS = 6, KVN_USAGE_DAYS_MAX = 400 };

// The period of a drop-down entry ("This month" .. "This year") at `now`, in
// UTC seconds; 0, or -1 for an unknown entry.
int kvn_usage_period(int index, int64_t now, int64_t *start, int64_t *end);
// 0 for a period that can be asked for; -1 with the message for one that
// starts after now or ends before it starts.
int kvn_usage_check_period(int64_t start, int64_t end, int64_t now, char *msg, size_t size);
// "2026-12-10T09:00:00[.ffffff]" of the compute service, in UTC.
int kvn_usage_parse_time(const char *text, int64_t *out);
// Consumption per day of the period: each server's running time inside
// each day [start + i * 86400, +86400) times its vCPUs, RAM GiB and disk GB;
// at most 400 days.
struct KVN_USAGE_DAYS {
    int count;
    double vcpu[KVN_USAGE_DAYS_MAX], ram[KVN_USAGE_DAYS_MAX], disk[KVN_USAGE_DAYS_MAX];
};
int kvn_usage_per_day(const cJSON *server_usages, int64_t start, int64_t end, KVN_USAGE_DAYS *out);

// Builds the window on first use and puts it in the content rectangle.
int kvn_gui_main_usage_window(float x, float y, float w, float h);
// Loads when neither loaded nor loading.
void kvn_gui_main_usage_shown(void);
// Refresh, F5, a change of period: only when connected and not loading.
void kvn_gui_main_usage_load(void);
// A load's answer (tests and the gallery give their own): the tenant usage
// object or none with the error text, the hypervisor statistics or none.
void kvn_gui_main_usage_fill(const cJSON *usage, const cJSON *hyper, const char *error, int64_t start,
                             int64_t end);
// Back to not loaded (connection change).
void kvn_gui_main_usage_reset(void);
// Forgets the window (its context is going).
void kvn_gui_main_usage_forget(void);
struct KVN_USAGE_IDS {
    int window, period, refresh, totals, message;
    int server_widgets[3], day_widget, hyper_widget;
    const Q_GUI_CHART *servers[3];
    const Q_GUI_CHART *days, *hyper;
    int loaded, loading;
};
void kvn_gui_main_usage_ids(KVN_USAGE_IDS *out);
