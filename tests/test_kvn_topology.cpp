// labels: unit
// The topology graph from list answers: which items become nodes of which
// column, which ports become links and how their addresses merge,
// placeholders for gateways the project cannot see, the "addresses"
// fallback, floating IPs, cut names, and the layered layout's rows and size.
#include <gtest/gtest.h>

#include <cJSON.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "kvn_test_topology.h"
#include "kvn_topology.h"

namespace {

struct GRAPH_HOLD {
    KVN_TOPO_GRAPH *g = nullptr;
    ~GRAPH_HOLD() { kvn_topology_free(&g); }
};

KVN_TOPO_GRAPH *_build(const char *json) {
    cJSON *answer = cJSON_Parse(json);
    EXPECT_NE(answer, nullptr) << json;
    KVN_TOPO_GRAPH *g = kvn_topology_build(answer);
    kvn_topology_layout(g, 190, 46);
    return g;
}

int _node(const KVN_TOPO_GRAPH *g, const char *id) {
    for (int i = 0; i < (int)g->nodes.size(); i++)
        if (g->nodes[i].id == std::string(id)) return i;
    return -1;
}

// The address text of the link between two node ids, or "(none)".
std::string _link(const KVN_TOPO_GRAPH *g, const char *x, const char *y) {
    const int a = _node(g, x), b = _node(g, y);
    for (const KVN_TOPO_LINK &l : g->links)
        if ((l.a == a && l.b == b) || (l.a == b && l.b == a)) return l.address;
    return "(none)";
}

// A project as the six listings give it: an external network and the
// project's router gatewayed on it, two networks, two servers, and a second
// router gatewayed on a network of another project.
const char *const k_project = R"({
  "networks": [
    {"id": "ext", "name": "public", "router:external": true, "status": "ACTIVE"},
    {"id": "n1", "name": "private", "status": "ACTIVE"},
    {"id": "n2", "name": "", "status": "ACTIVE"}],
  "subnets": [
    {"id": "s1", "network_id": "n1", "cidr": "10.0.0.0/24"},
    {"id": "s2", "network_id": "n1", "cidr": "fd00::/64"},
    {"id": "s3", "network_id": "nope", "cidr": "192.0.2.0/24"}],
  "routers": [
    {"id": "r1", "name": "router1", "status": "ACTIVE",
     "external_gateway_info": {"network_id": "ext",
       "external_fixed_ips": [{"ip_address": "203.0.113.5"}]}},
    {"id": "r2", "name": "edge", "status": "ERROR",
     "external_gateway_info": {"network_id": "0123456789abcdef-hidden"}}],
  "servers": [
    {"id": "vm1", "name": "web", "status": "ACTIVE"},
    {"id": "vm2", "name": "db", "status": "SHUTOFF",
     "addresses": {"private": [{"addr": "10.0.0.9"}, {"addr": "fd00::9"}], "gone": [{"addr": "1.2.3.4"}]}}],
  "ports": [
    {"id": "p1", "network_id": "n1", "device_id": "r1", "device_owner": "network:router_interface",
     "fixed_ips": [{"ip_address": "10.0.0.1"}]},
    {"id": "p2", "network_id": "n1", "device_id": "r1", "device_owner": "network:router_interface_distributed",
     "fixed_ips": [{"ip_address": "fd00::1"}]},
    {"id": "p3", "network_id": "n1", "device_id": "vm1", "device_owner": "compute:nova",
     "fixed_ips": [{"ip_address": "10.0.0.5"}, {"ip_address": "fd00::5"}]},
    {"id": "p4", "network_id": "ext", "device_id": "r1", "device_owner": "network:router_gateway",
     "fixed_ips": [{"ip_address": "203.0.113.5"}]},
    {"id": "p5", "network_id": "n2", "device_id": "vanished", "device_owner": "compute:nova",
     "fixed_ips": [{"ip_address": "10.1.0.5"}]},
    {"id": "p6", "network_id": "n2", "device_id": "dhcp1", "device_owner": "network:dhcp",
     "fixed_ips": [{"ip_address": "10.1.0.2"}]}],
  "floatingips": [
    {"id": "f1", "port_id": "p3", "floating_ip_address": "203.0.113.20"},
    {"id": "f2", "port_id": null, "floating_ip_address": "203.0.113.21"}]
})";

} // namespace

TEST(Topology, NodesLinksAndDetailsFromTheListings) {
    GRAPH_HOLD h;
    h.g = _build(k_project);
    const KVN_TOPO_GRAPH *g = h.g;
    ASSERT_NE(g, nullptr);

    struct {
        const char *id;
        int kind;
        const char *label, *detail;
    } nodes[] = {
        {"ext", KVN_TOPO_EXTERNAL, "public", ""},
        {"n1", KVN_TOPO_NETWORK, "private", "10.0.0.0/24 fd00::/64"},
        {"n2", KVN_TOPO_NETWORK, "n2", ""},
        {"r1", KVN_TOPO_ROUTER, "router1", "ACTIVE"},
        {"r2", KVN_TOPO_ROUTER, "edge", "ERROR"},
        {"0123456789abcdef-hidden", KVN_TOPO_EXTERNAL, "external 01234567", ""},
        {"vm1", KVN_TOPO_SERVER, "web", "ACTIVE  FIP 203.0.113.20"},
        {"vm2", KVN_TOPO_SERVER, "db", "SHUTOFF"},
    };
    EXPECT_EQ(g->nodes.size(), sizeof nodes / sizeof nodes[0]);
    for (const auto &want : nodes) {
        const int n = _node(g, want.id);
        ASSERT_GE(n, 0) << want.id;
        EXPECT_EQ(g->nodes[n].kind, want.kind) << want.id;
        EXPECT_STREQ(g->nodes[n].label, want.label) << want.id;
        EXPECT_STREQ(g->nodes[n].detail, want.detail) << want.id;
    }

    struct {
        const char *a, *b, *address;
    } links[] = {
        // The gateway named by the router and by its port: one address.
        {"ext", "r1", "203.0.113.5"},
        {"0123456789abcdef-hidden", "r2", ""},
        // Two interfaces of one router on one network: one link, both texts.
        {"r1", "n1", "10.0.0.1, fd00::1"},
        {"n1", "vm1", "10.0.0.5 fd00::5"},
        // No visible port: linked through "addresses" by network name.
        {"n1", "vm2", "10.0.0.9 fd00::9"},
    };
    EXPECT_EQ(g->links.size(), sizeof links / sizeof links[0]);
    for (const auto &want : links)
        EXPECT_EQ(_link(g, want.a, want.b), want.address) << want.a << "-" << want.b;
    for (const KVN_TOPO_LINK &l : g->links)
        EXPECT_EQ(l.gateway,
                  g->nodes[l.b].kind == KVN_TOPO_ROUTER && g->nodes[l.a].kind == KVN_TOPO_EXTERNAL);

    EXPECT_EQ(kvn_topology_count(g, KVN_TOPO_EXTERNAL), 2);
    EXPECT_EQ(kvn_topology_count(g, KVN_TOPO_SERVER), 2);

    const std::string hidden = kvn_topology_details(g, _node(g, "0123456789abcdef-hidden"));
    EXPECT_EQ(hidden,
              "External network: external 01234567\n  -> Router edge \n\n(not visible to this project)");
    const std::string web = kvn_topology_details(g, _node(g, "vm1"));
    EXPECT_EQ(web.rfind("Server: web\n  -> Network private 10.0.0.5 fd00::5\n\n{", 0), 0u) << web;
    EXPECT_NE(web.find("\"id\":\t\"vm1\""), std::string::npos) << web;
}

TEST(Topology, MergedAddressesStopAtTheTextLimitAndBadAnswersBuildNothing) {
    std::string ports;
    for (int i = 0; i < 20; i++) {
        char p[256];
        snprintf(p, sizeof p,
                 R"(%s{"network_id": "n", "device_id": "r", "device_owner": "network:router_interface",
                   "fixed_ips": [{"ip_address": "10.0.%d.1"}]})",
                 i ? "," : "", i);
        ports += p;
    }
    GRAPH_HOLD h;
    h.g = _build(
        ("{\"networks\": [{\"id\": \"n\"}], \"routers\": [{\"id\": \"r\"}], \"ports\": [" + ports + "]}")
            .c_str());
    ASSERT_EQ(h.g->links.size(), 1u);
    const std::string text = h.g->links[0].address;
    EXPECT_LT(text.size(), (size_t)KVN_TOPO_LABEL_MAX);
    EXPECT_EQ(text.rfind("10.0.0.1, 10.0.1.1, ", 0), 0u) << text;
    EXPECT_EQ(text.back(), '1') << "whole addresses only: " << text;

    // Members of the wrong type, items that are not objects, and no answer.
    for (const char *bad :
         {R"({"networks": {"id": "n"}, "servers": [1, "x", null], "ports": "none"})", "{}", "[]"}) {
        GRAPH_HOLD b;
        b.g = _build(bad);
        ASSERT_NE(b.g, nullptr) << bad;
        EXPECT_TRUE(b.g->nodes.empty()) << bad;
        EXPECT_GT(b.g->width, 0) << bad;
        EXPECT_GT(b.g->height, 0) << bad;
    }
    GRAPH_HOLD none;
    none.g = kvn_topology_build(nullptr);
    ASSERT_NE(none.g, nullptr);
    kvn_topology_layout(none.g, 190, 46);
    EXPECT_EQ(kvn_topology_node_at(none.g, 115, 43, 190, 46), -1);
}

TEST(Topology, LongNamesAreCutWithoutSplittingACharacter) {
    std::string name;
    for (int i = 0; i < 500; i++)
        name += "\xc3\xa9"; // é, two bytes each
    GRAPH_HOLD h;
    h.g =
        _build(("{\"servers\": [{\"id\": \"s\", \"name\": \"" + name + "\", \"status\": \"" + name + "\"}]}")
                   .c_str());
    ASSERT_EQ(h.g->nodes.size(), 1u);
    const std::string label = h.g->nodes[0].label;
    EXPECT_EQ(label.size(), 94u);
    EXPECT_EQ(label, name.substr(0, 94));
    EXPECT_EQ(strlen(h.g->nodes[0].status), 30u);
}

TEST(Topology, LayoutColumnsRowsAndCrossings) {
    // Routers listed in the opposite order of the networks they serve: the
    // sweeps put each router level with its network.
    GRAPH_HOLD h;
    h.g = _build(R"({
      "networks": [{"id": "a"}, {"id": "b"}, {"id": "c"}],
      "routers": [{"id": "rc"}, {"id": "rb"}, {"id": "ra"}],
      "ports": [
        {"network_id": "a", "device_id": "ra", "device_owner": "network:router_interface"},
        {"network_id": "b", "device_id": "rb", "device_owner": "network:router_interface"},
        {"network_id": "c", "device_id": "rc", "device_owner": "network:router_interface"}]})");
    const KVN_TOPO_GRAPH *g = h.g;
    const char *const level[][2] = {{"a", "ra"}, {"b", "rb"}, {"c", "rc"}};
    for (const auto &pair : level)
        EXPECT_FLOAT_EQ(g->nodes[_node(g, pair[0])].y, g->nodes[_node(g, pair[1])].y) << pair[0];
    // No external network: routers take the first column, networks the second.
    EXPECT_FLOAT_EQ(g->nodes[_node(g, "ra")].x, 115);
    EXPECT_FLOAT_EQ(g->nodes[_node(g, "a")].x, 495);
    EXPECT_FLOAT_EQ(g->width, 190 + 40 + 380);
    EXPECT_FLOAT_EQ(g->height, 3 * 73.6f + 40);

    // A shorter column is centred against the tallest; hit-testing finds the
    // box under a point and nothing between boxes.
    GRAPH_HOLD c;
    c.g = _build(R"({"networks": [{"id": "n"}], "servers": [{"id": "s1"}, {"id": "s2"}, {"id": "s3"}]})");
    const KVN_TOPO_NODE &n = c.g->nodes[_node(c.g, "n")];
    EXPECT_FLOAT_EQ(n.y, 2 * 73.6f / 2 + 23 + 20);
    EXPECT_FLOAT_EQ(c.g->nodes[_node(c.g, "s3")].y, 23 + 20 + 2 * 73.6f);
    EXPECT_EQ(kvn_topology_node_at(c.g, n.x + 94, n.y - 22, 190, 46), _node(c.g, "n"));
    EXPECT_EQ(kvn_topology_node_at(c.g, n.x + 96, n.y, 190, 46), -1);
    EXPECT_EQ(kvn_topology_node_at(c.g, 495, 43 + 36, 190, 46), -1);
}

namespace {

// Listings of many servers, each on two of many networks behind several
// routers, plus one server on eight networks: more links into one box than
// its height has rows for addresses.
std::string _crowded() {
    std::string nets, ports, servers;
    char one[256];
    for (int n = 0; n < 24; n++) {
        snprintf(one, sizeof one, R"(%s{"id": "n%d"})", n ? "," : "", n);
        nets += one;
        snprintf(one, sizeof one,
                 R"({"network_id": "n%d", "device_id": "r%d", "device_owner": "network:router_interface",
                    "fixed_ips": [{"ip_address": "10.%d.0.1"}]},)",
                 n, n % 5, n);
        ports += one;
    }
    for (int v = 0; v < 120; v++) {
        snprintf(one, sizeof one, R"(%s{"id": "v%d"})", v ? "," : "", v);
        servers += one;
        for (int k = 0; k < (v == 60 ? 8 : 2); k++) {
            const int n = v == 60 ? k * 3 : k ? (v * 7 + 3) % 24 : v % 24;
            snprintf(one, sizeof one,
                     R"({"network_id": "n%d", "device_id": "v%d", "device_owner": "compute:nova",
                        "fixed_ips": [{"ip_address": "10.%d.0.%d"}]},)",
                     n, v, n, v + 2);
            ports += one;
        }
    }
    ports.pop_back();
    std::string out = R"({"networks": [)";
    out += nets;
    out += R"(], "routers": [{"id": "r0"}, {"id": "r1"}, {"id": "r2"}, {"id": "r3"}, {"id": "r4"}],
              "servers": [)";
    out += servers;
    out += R"(], "ports": [)";
    out += ports;
    out += "]}";
    return out;
}

struct SPAN {
    float x0, y0, x1, y1;
};

bool _overlap(const SPAN &p, const SPAN &q) {
    return p.x0 < q.x1 && q.x0 < p.x1 && p.y0 < q.y1 && q.y0 < p.y1;
}

// What makes a drawn graph readable, for every pair of links: each vertical
// in the gap beside its second node; verticals of different nodes apart
// where their rows overlap; links into one node side on rows of their own;
// no node's bus on the row of another node's link in the same gap (they
// would read as one line); and the addresses a zoom shows never overlapping
// each other, a box or another link's vertical.
void _check_routes(const KVN_TOPO_GRAPH *g, float zoom, float line_h, const char *what) {
    const float hw = 95, hh = 23;
    // Broken rules counted, the first case of each told.
    std::map<std::string, std::pair<int, std::string>> broken;
    auto rule = [&](bool kept, const char *name, const std::string &example) {
        if (kept) return;
        auto &b = broken[name];
        if (!b.first++) b.second = example;
    };
    auto pair = [](size_t i, size_t j) { return "links " + std::to_string(i) + ", " + std::to_string(j); };
    std::vector<SPAN> labels;
    for (size_t i = 0; i < g->links.size(); i++) {
        const KVN_TOPO_LINK &l = g->links[i];
        const KVN_TOPO_NODE &a = g->nodes[l.a], &b = g->nodes[l.b];
        const float side = a.x < b.x ? 1 : -1;
        rule(side * (l.turn_x - (b.x - side * 1.5f * 190)) > 0 && side * (b.x - l.turn_x) > hw,
             "vertical in the gap beside b", "link " + std::to_string(i));
        rule(fabsf(l.end_y - b.y) <= hh - 3 && fabsf(l.start_y - a.y) <= hh - 3, "rows inside the boxes",
             "link " + std::to_string(i));
        for (size_t j = i + 1; j < g->links.size(); j++) {
            const KVN_TOPO_LINK &m = g->links[j];
            const bool same_gap = g->nodes[m.b].x == b.x && (g->nodes[m.a].x < g->nodes[m.b].x) == (side > 0);
            if (!same_gap) continue;
            if (l.a != m.a && fabsf(l.turn_x - m.turn_x) < 1) {
                const float p0 = std::min(l.start_y, l.end_y), p1 = std::max(l.start_y, l.end_y);
                const float q0 = std::min(m.start_y, m.end_y), q1 = std::max(m.start_y, m.end_y);
                rule(p1 < q0 || q1 < p0, "verticals of two nodes apart", pair(i, j));
            }
            if (l.b == m.b) rule(fabsf(l.end_y - m.end_y) >= 4, "rows of their own into a node", pair(i, j));
            if (l.a != m.a)
                rule(fabsf(l.end_y - m.start_y) >= 6 && fabsf(m.end_y - l.start_y) >= 6,
                     "no bus on another node's entry row", pair(i, j));
        }
        float x, y, room;
        if (!kvn_topology_label_place(&l, zoom, line_h, &x, &y, &room)) continue;
        rule(room >= 60, "address room of 60 at least", "link " + std::to_string(i));
        labels.push_back(SPAN{x, y, x + room, y + line_h});
    }
    for (size_t i = 0; i < labels.size(); i++) {
        for (size_t j = i + 1; j < labels.size(); j++)
            rule(!_overlap(labels[i], labels[j]), "addresses apart", "addresses " + pair(i, j));
        for (const KVN_TOPO_NODE &n : g->nodes)
            rule(!_overlap(labels[i],
                           SPAN{(n.x - hw) * zoom, (n.y - hh) * zoom, (n.x + hw) * zoom, (n.y + hh) * zoom}),
                 "addresses off the boxes", std::string("address ") + std::to_string(i) + " on " + n.id);
        for (const KVN_TOPO_LINK &m : g->links) {
            const SPAN v{m.turn_x * zoom - 1, std::min(m.start_y, m.end_y) * zoom, m.turn_x * zoom + 1,
                         std::max(m.start_y, m.end_y) * zoom};
            rule(!_overlap(labels[i], v), "addresses off the verticals", "address " + std::to_string(i));
        }
    }
    for (const auto &b : broken)
        ADD_FAILURE() << what << ": " << b.first << " broken " << b.second.first << " times, first by "
                      << b.second.second;
}

} // namespace

TEST(Topology, LinksKeepApartAndAddressesGetTheirRoom) {
    // The 40-server project: three ports a server, ten networks, three
    // routers; every address shown whole at zoom 1 in a 17-pixel line.
    GRAPH_HOLD forty;
    forty.g = _build(test_topology_forty_servers().c_str());
    ASSERT_EQ(kvn_topology_count(forty.g, KVN_TOPO_SERVER), 40);
    _check_routes(forty.g, 1, 17, "forty");
    int shown = 0;
    for (const KVN_TOPO_LINK &l : forty.g->links) {
        float x, y, room;
        shown += kvn_topology_label_place(&l, 1, 17, &x, &y, &room);
        // Room for "10.77.0.123" and more.
        if (l.address[0]) {
            EXPECT_GE(room, 90) << l.address;
        }
    }
    EXPECT_EQ(shown, (int)forty.g->links.size());
    // Zoomed out past 0.6 no address is drawn; at 0.7 those of three-port
    // servers would touch, so only each box's first is.
    float x, y, room;
    EXPECT_EQ(kvn_topology_label_place(&forty.g->links[0], 0.6f, 17, &x, &y, &room), 0);
    _check_routes(forty.g, 0.7f, 17, "forty at 0.7");

    // More networks than lanes fit 8 apart, and a server on eight networks.
    GRAPH_HOLD crowded;
    crowded.g = _build(_crowded().c_str());
    ASSERT_EQ(kvn_topology_count(crowded.g, KVN_TOPO_SERVER), 120);
    for (float zoom : {1.0f, 2.0f, 3.0f})
        _check_routes(crowded.g, zoom, 17, "crowded");
    const int eight = _node(crowded.g, "v60");
    int placed = 0, into = 0;
    for (const KVN_TOPO_LINK &l : crowded.g->links)
        if (l.b == eight) {
            into++;
            placed += kvn_topology_label_place(&l, 1, 17, &x, &y, &room);
        }
    EXPECT_EQ(into, 8);
    EXPECT_EQ(placed, 1) << "the rows into a crowded box leave height for its first address only";
}
