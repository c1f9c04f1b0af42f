#pragma once
// The network topology view of the main window: the project's graph drawn on
// a canvas with pan, zoom and fit, details of the clicked node, and the whole
// graph exported as a PNG. Main thread only; the six listings load on one
// worker job.

struct KVN_TOPO_GRAPH;

// Builds the window on first use, places and shows it; loads when there is
// no graph and no load runs. The window id, or -1.
int kvn_gui_topology_show(float x, float y, float w, float h);
// Refresh and F5: only when connected and not loading.
void kvn_gui_topology_reload(void);
// A connection change: the graph, the selection and the details go; a load
// still running is ignored when it ends.
void kvn_gui_topology_reset(void);
// Once per frame: the fit a completed load asked for.
void kvn_gui_topology_tick(void);
// Saves the graph, whole and at zoom 1, into a PNG (or the format the
// extension names); ".png" is appended to a name without it. 0 on success;
// the status line tells either way.
int kvn_gui_topology_export(const char *path);
// Frees the graph; the window goes with the GUI context.
void kvn_gui_topology_destroy(void);

// For tests and the gallery.
struct KVN_TOPOLOGY_IDS {
    int window, refresh, fit, export_button, status, canvas, details;
    const KVN_TOPO_GRAPH *graph;
    float pan_x, pan_y, zoom;
    int selected, hovered, loading;
};
void kvn_gui_topology_ids(KVN_TOPOLOGY_IDS *out);
// Sets or adopts a graph as a completed load would (tests, gallery): the
// graph passes to the view.
void kvn_gui_topology_set_graph(KVN_TOPO_GRAPH *graph);
