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

// "External network", "Router", "Network", "Server".
const char *kvn_topology_kind_name(int kind);
// Nodes of a kind.
int kvn_topology_count(const KVN_TOPO_GRAPH *g, int kind);
// The node whose box (of the layout's size) holds the graph point, else -1.
int kvn_topology_node_at(const KVN_TOPO_GRAPH *g, float gx, float gy, float box_w, float box_h);
// The details text of a node: its kind and label, one line per link, then
// its JSON or "(not visible to this project)".
std::string kvn_topology_details(const KVN_TOPO_GRAPH *g, int node);
