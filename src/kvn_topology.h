#pragma once
// The project's network as a layered graph: external networks, routers,
// networks and servers in four columns, joined by the ports that connect
// them. Built from the six list answers of one load and laid out for drawing;
// no interface code here, so it can be tested and measured on its own.

#include <string>
#include <vector>

struct cJSON;

enum {
    KVN_TOPO_EXTERNAL = 0,
    KVN_TOPO_ROUTER = 1,
    KVN_TOPO_NETWORK = 2,
    KVN_TOPO_SERVER = 3,
    KVN_TOPO_KINDS = 4,
};

// A project with thousands of servers must still be drawn whole; the caps
// only guard against answers no cloud gives.
enum { KVN_TOPO_NODES_MAX = 20000, KVN_TOPO_LINKS_MAX = 80000 };

enum { KVN_TOPO_ID_MAX = 64, KVN_TOPO_LABEL_MAX = 96, KVN_TOPO_STATUS_MAX = 32, KVN_TOPO_DETAIL_MAX = 160 };

struct KVN_TOPO_NODE {
    int kind;
    char id[KVN_TOPO_ID_MAX];
    char label[KVN_TOPO_LABEL_MAX];
    char status[KVN_TOPO_STATUS_MAX];
    char detail[KVN_TOPO_DETAIL_MAX];
    const cJSON *json; // into the graph's answer; null for a placeholder
    int position;      // row within its column
    float x, y;        // centre, graph coordinates
};

struct KVN_TOPO_LINK {
    int a, b;
    char address[KVN_TOPO_LABEL_MAX];
    int gateway;
    // The route, set by the layout: from a along start_y (a's centre row, or
    // another row of its box where that row would run on into a link of
    // another node) to turn_x, along turn_x to end_y, and along end_y into b. Links from one node
    // through one gap share their turn_x (a bus); links of different nodes
    // never share a turn_x over rows they both cover, and links into one
    // node side enter it on rows of their own.
    float start_y, turn_x, end_y;
    int trunk; // links sharing this turn_x from a: more than one draws junctions
    // The first link of those draws their shared part once: the row out of
    // a and the vertical over all their rows, trunk_y0 to trunk_y1.
    int trunk_head;
    float trunk_y0, trunk_y1;
    // The address's room: from text_x0 to text_x1 along end_y, no line of
    // another link in it, and text_h of height above end_y that no other
    // address into b claims.
    float text_x0, text_x1, text_h;
};

struct KVN_TOPO_GRAPH {
    std::vector<KVN_TOPO_NODE> nodes;
    std::vector<KVN_TOPO_LINK> links;
    cJSON *answer; // owned
    float width, height;
    int dropped_nodes, dropped_links;
};

// Builds the graph from an object holding the arrays "networks", "subnets",
// "routers", "ports", "floatingips" and "servers" (any may be missing); the
// graph takes ownership of the answer. Null only when memory ran out (the
// answer is freed then).
KVN_TOPO_GRAPH *kvn_topology_build(cJSON *answer);
// Places every node (box width and height of a node, 190 and 46 in the view)
// and sets the graph's size.
void kvn_topology_layout(KVN_TOPO_GRAPH *g, float box_w, float box_h);
void kvn_topology_free(KVN_TOPO_GRAPH **g);
// Where a link's address is drawn at a zoom with a font of line height
// line_h, relative to the graph's origin on the target in pixels: the left
// of the text, its top, and the width it may take (longer texts are cut to
// it). 0 when it is not drawn: no text, zoom 0.6 or less, a room under 60
// pixels, or less than a line of height above its row, so that two
// addresses never overlap.
int kvn_topology_label_place(const KVN_TOPO_LINK *l, float zoom, float line_h, float *x, float *y,
                             float *room);

// "External network", "Router", "Network", "Server".
const char *kvn_topology_kind_name(int kind);
// Nodes of a kind.
int kvn_topology_count(const KVN_TOPO_GRAPH *g, int kind);
// The node whose box (of the layout's size) holds the graph point, else -1.
int kvn_topology_node_at(const KVN_TOPO_GRAPH *g, float gx, float gy, float box_w, float box_h);
// The details text of a node: its kind and label, one line per link, then
// its JSON or "(not visible to this project)".
std::string kvn_topology_details(const KVN_TOPO_GRAPH *g, int node);
