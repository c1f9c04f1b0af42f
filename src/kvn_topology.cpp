// The topology graph: nodes from the list answers, links from the ports, and
// a layered layout that orders each column by the mean row of its neighbours
// so that links cross as little as a few sweeps can manage.
#include "kvn_topology.h"

#include <cJSON.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <queue>
#include <string>
#include <unordered_map>

#include "q_common.h"

namespace {

const char *const k_kind_names[KVN_TOPO_KINDS] = {"External network", "Router", "Network", "Server"};

// Copies at most size - 1 bytes without splitting a UTF-8 sequence, so a cut
// name never draws as a broken glyph.
void _copy(char *dst, size_t size, const char *src) {
    if (!size) return;
    size_t n = strlen(src);
    if (n >= size) {
        n = size - 1;
        while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80)
            n--;
    }
    memcpy(dst, src, n);
    dst[n] = 0;
}

void _append(char *dst, size_t size, const char *sep, const char *text) {
    std::string s = dst;
    if (!s.empty()) s += sep;
    s += text;
    _copy(dst, size, s.c_str());
}

const char *_str(const cJSON *obj, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, key);
    return cJSON_IsString(v) && v->valuestring ? v->valuestring : "";
}

// The "ip_address" (or other member) values of an array of objects, joined
// with a blank.
std::string _joined(const cJSON *array, const char *member) {
    std::string out;
    const cJSON *e;
    cJSON_ArrayForEach(e, array) {
        const char *v = _str(e, member);
        if (!*v) continue;
        if (!out.empty()) out += ' ';
        out += v;
    }
    return out;
}

struct BUILD {
    KVN_TOPO_GRAPH *g;
    std::unordered_map<std::string, int> by_id;
    std::unordered_map<uint64_t, int> by_pair;
};

int _find(const BUILD &b, const char *id) {
    if (!*id) return -1;
    auto it = b.by_id.find(id);
    return it == b.by_id.end() ? -1 : it->second;
}

int _add_node(BUILD &b, int kind, const cJSON *item, const char *id, const char *label) {
    KVN_TOPO_GRAPH *g = b.g;
    if ((int)g->nodes.size() >= KVN_TOPO_NODES_MAX) {
        g->dropped_nodes++;
        return -1;
    }
    KVN_TOPO_NODE n;
    memset(&n, 0, sizeof n);
    n.kind = kind;
    _copy(n.id, sizeof n.id, id);
    _copy(n.label, sizeof n.label, *label ? label : id);
    if (item) _copy(n.status, sizeof n.status, _str(item, "status"));
    n.json = item;
    g->nodes.push_back(n);
    const int index = (int)g->nodes.size() - 1;
    // The first node of an id keeps it: a later duplicate answers nothing.
    if (*id) b.by_id.emplace(id, index);
    return index;
}

int _add_item(BUILD &b, int kind, const cJSON *item) {
    const char *name = _str(item, "name");
    return _add_node(b, kind, item, _str(item, "id"), name);
}

bool _has_entry(const char *list, const std::string &entry) {
    const size_t n = entry.size();
    for (const char *p = list; (p = strstr(p, entry.c_str())); p += n) {
        const bool starts = p == list || (p >= list + 2 && p[-2] == ',' && p[-1] == ' ');
        if (starts && (p[n] == 0 || p[n] == ',')) return true;
    }
    return false;
}

void _link(BUILD &b, int a, int c, const std::string &address, int gateway) {
    if (a < 0 || c < 0 || a == c) return;
    KVN_TOPO_GRAPH *g = b.g;
    const uint64_t key = ((uint64_t)(uint32_t)std::min(a, c) << 32) | (uint32_t)std::max(a, c);
    auto it = b.by_pair.find(key);
    if (it != b.by_pair.end()) {
        if (address.empty()) return;
        KVN_TOPO_LINK &l = g->links[it->second];
        // A router's gateway is named twice, by the router and by its
        // gateway port (seen by admins): one address, not the same twice.
        if (_has_entry(l.address, address)) return;
        std::string merged = l.address;
        if (!merged.empty()) merged += ", ";
        merged += address;
        if (merged.size() < sizeof l.address) _copy(l.address, sizeof l.address, merged.c_str());
        return;
    }
    if ((int)g->links.size() >= KVN_TOPO_LINKS_MAX) {
        g->dropped_links++;
        return;
    }
    KVN_TOPO_LINK l;
    memset(&l, 0, sizeof l);
    l.a = a;
    l.b = c;
    l.gateway = gateway;
    _copy(l.address, sizeof l.address, address.c_str());
    g->links.push_back(l);
    b.by_pair.emplace(key, (int)g->links.size() - 1);
}

bool _starts(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

void _build(BUILD &b) {
    const cJSON *answer = b.g->answer;
    const cJSON *item;
    const cJSON *nets = cJSON_GetObjectItemCaseSensitive(answer, "networks");
    cJSON_ArrayForEach(item, nets) {
        if (!cJSON_IsObject(item)) continue;
        _add_item(b,
                  cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(item, "router:external")) ? KVN_TOPO_EXTERNAL
                                                                                          : KVN_TOPO_NETWORK,
                  item);
    }
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(answer, "subnets")) {
        const int n = _find(b, _str(item, "network_id"));
        const char *cidr = _str(item, "cidr");
        if (n < 0 || !*cidr) continue;
        KVN_TOPO_NODE &node = b.g->nodes[n];
        if (node.kind != KVN_TOPO_EXTERNAL && node.kind != KVN_TOPO_NETWORK) continue;
        _append(node.detail, sizeof node.detail, " ", cidr);
    }
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(answer, "routers")) {
        if (!cJSON_IsObject(item)) continue;
        const int r = _add_item(b, KVN_TOPO_ROUTER, item);
        if (r < 0) continue;
        _copy(b.g->nodes[r].detail, KVN_TOPO_DETAIL_MAX, b.g->nodes[r].status);
        const cJSON *gw = cJSON_GetObjectItemCaseSensitive(item, "external_gateway_info");
        const char *net = _str(gw, "network_id");
        if (!*net) continue;
        int n = _find(b, net);
        if (n < 0) {
            char label[KVN_TOPO_LABEL_MAX];
            q_format(label, sizeof label, "external %.8s", net);
            n = _add_node(b, KVN_TOPO_EXTERNAL, nullptr, net, label);
        }
        _link(b, n, r, _joined(cJSON_GetObjectItemCaseSensitive(gw, "external_fixed_ips"), "ip_address"), 1);
    }
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(answer, "servers")) {
        if (!cJSON_IsObject(item)) continue;
        const int s = _add_item(b, KVN_TOPO_SERVER, item);
        if (s >= 0) _copy(b.g->nodes[s].detail, KVN_TOPO_DETAIL_MAX, b.g->nodes[s].status);
    }

    std::unordered_map<std::string, const cJSON *> ports;
    std::vector<char> linked(b.g->nodes.size(), 0);
    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(answer, "ports")) {
        const char *pid = _str(item, "id");
        if (*pid) ports.emplace(pid, item);
        const int net = _find(b, _str(item, "network_id"));
        const int dev = _find(b, _str(item, "device_id"));
        if (net < 0 || dev < 0) continue;
        const char *owner = _str(item, "device_owner");
        const std::string address =
            _joined(cJSON_GetObjectItemCaseSensitive(item, "fixed_ips"), "ip_address");
        if (_starts(owner, "network:router_interface") ||
            !strcmp(owner, "network:ha_router_replicated_interface"))
            _link(b, dev, net, address, 0);
        else if (!strcmp(owner, "network:router_gateway"))
            _link(b, net, dev, address, 1);
        else if (_starts(owner, "compute:"))
            _link(b, net, dev, address, 0);
        else
            continue;
        linked[dev] = linked[net] = 1;
    }

    // A server whose ports this project cannot see (another project's
    // network, or a cloud that hides them) still shows where it is attached.
    // Names are not unique: the last network of a name is taken.
    const int count = (int)b.g->nodes.size();
    std::unordered_map<std::string, int> by_label;
    for (int i = 0; i < count; i++) {
        const KVN_TOPO_NODE &c = b.g->nodes[i];
        if (c.kind == KVN_TOPO_EXTERNAL || c.kind == KVN_TOPO_NETWORK) by_label[c.label] = i;
    }
    for (int s = 0; s < count; s++) {
        const KVN_TOPO_NODE &node = b.g->nodes[s];
        if (node.kind != KVN_TOPO_SERVER || linked[s] || !node.json) continue;
        const cJSON *member;
        cJSON_ArrayForEach(member, cJSON_GetObjectItemCaseSensitive(node.json, "addresses")) {
            if (!member->string) continue;
            auto it = by_label.find(member->string);
            if (it != by_label.end()) _link(b, it->second, s, _joined(member, "addr"), 0);
        }
    }

    cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(answer, "floatingips")) {
        const char *port = _str(item, "port_id");
        const char *address = _str(item, "floating_ip_address");
        if (!*port || !*address) continue;
        auto it = ports.find(port);
        if (it == ports.end()) continue;
        const int dev = _find(b, _str(it->second, "device_id"));
        if (dev < 0) continue;
        KVN_TOPO_NODE &node = b.g->nodes[dev];
        std::string fip = "FIP ";
        fip += address;
        _append(node.detail, sizeof node.detail, "  ", fip.c_str());
    }
}

// Orders the nodes of one kind by the mean row of their neighbours of
// another kind; nodes without such neighbours keep their row as the key.
void _reorder(KVN_TOPO_GRAPH *g, const std::vector<std::vector<int>> &adj, int kind, int by) {
    std::vector<std::pair<float, int>> keyed;
    for (int i = 0; i < (int)g->nodes.size(); i++) {
        if (g->nodes[i].kind != kind) continue;
        double sum = 0;
        int n = 0;
        for (int o : adj[i])
            if (g->nodes[o].kind == by) {
                sum += g->nodes[o].position;
                n++;
            }
        float key = (float)g->nodes[i].position;
        if (n > 0 && sum / n >= 0) key = (float)(sum / n);
        keyed.emplace_back(key, i);
    }
    // Ties keep their order: the current row order among equal keys.
    std::sort(keyed.begin(), keyed.end(),
              [g](const std::pair<float, int> &x, const std::pair<float, int> &y) {
                  if (x.first != y.first) return x.first < y.first;
                  return g->nodes[x.second].position < g->nodes[y.second].position;
              });
    for (int p = 0; p < (int)keyed.size(); p++)
        g->nodes[keyed[p].second].position = p;
}

// Column of a node's kind in the layout, -1 for kinds without nodes.
struct COLUMNS {
    int of[KVN_TOPO_KINDS];
};

// Routes every link through the gap beside its second node b (where its
// address is drawn). Links into one side of a node enter on rows of their
// own, ordered like the rows they come from so that they do not cross there;
// the links of one first node a through one gap share a vertical (a bus from
// that node); those verticals take lanes of the gap so that two of them
// never share an x over rows both cover, and the addresses get the room
// between the last lane and b's box, where no vertical runs.
void _route(KVN_TOPO_GRAPH *g, const COLUMNS &cols, float box_w, float box_h) {
    const int count = (int)g->links.size();
    const float step = 1.6f * box_h;
    // Entry rows stay inside the box, clear of its rounded corners; 20 apart
    // leaves a line of text above each.
    const float spread = box_h - 6, row_gap = 20;
    // Lanes start 16 from the first column's boxes, 8 apart, and leave at
    // least 100 for the addresses.
    const float lane_start = 16, lane_gap = 8, band_max = std::max(0.0f, box_w - lane_start - 100);
    std::vector<int> side(count);
    for (int i = 0; i < count; i++) {
        const KVN_TOPO_LINK &l = g->links[i];
        const int ca = cols.of[g->nodes[l.a].kind], cb = cols.of[g->nodes[l.b].kind];
        side[i] = ca < cb ? 1 : ca > cb ? -1 : 0;
    }

    std::vector<int> order(count);
    for (int i = 0; i < count; i++)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](int x, int y) {
        const KVN_TOPO_LINK &p = g->links[x], &q = g->links[y];
        if (p.b != q.b) return p.b < q.b;
        if (side[x] != side[y]) return side[x] < side[y];
        const float ya = g->nodes[p.a].y, yb = g->nodes[q.a].y;
        if (ya != yb) return ya < yb;
        return p.a < q.a;
    });
    for (int i = 0; i < count;) {
        int j = i;
        while (j < count && g->links[order[j]].b == g->links[order[i]].b && side[order[j]] == side[order[i]])
            j++;
        const int k = j - i;
        const float gap = k > 1 ? std::min(row_gap, spread / (float)(k - 1)) : 0;
        const float by = g->nodes[g->links[order[i]].b].y;
        for (int e = 0; e < k; e++) {
            KVN_TOPO_LINK &l = g->links[order[i + e]];
            l.end_y = by + ((float)e - (float)(k - 1) / 2) * gap;
            // The first row's text may rise into the space between this box
            // and the one above, down to that box's lowest entry row.
            l.text_h = e ? gap : step - spread / 2 - (float)(k - 1) * gap / 2;
        }
        i = j;
    }

    // Trunks: the links of one first node into one column from one side.
    struct TRUNK {
        int column, side, a, links, lane;
        float y0, y1, exit;
    };
    std::vector<TRUNK> trunks;
    std::vector<int> trunk_of(count, -1);
    std::sort(order.begin(), order.end(), [&](int x, int y) {
        const KVN_TOPO_LINK &p = g->links[x], &q = g->links[y];
        const int cp = cols.of[g->nodes[p.b].kind], cq = cols.of[g->nodes[q.b].kind];
        if (cp != cq) return cp < cq;
        if (side[x] != side[y]) return side[x] < side[y];
        if (p.a != q.a) return p.a < q.a;
        return x < y;
    });
    for (int i = 0; i < count; i++) {
        const int li = order[i];
        const KVN_TOPO_LINK &l = g->links[li];
        const int column = cols.of[g->nodes[l.b].kind];
        const float ay = g->nodes[l.a].y;
        if (trunks.empty() || trunks.back().column != column || trunks.back().side != side[li] ||
            trunks.back().a != l.a)
            trunks.push_back(TRUNK{column, side[li], l.a, 0, 0, ay, ay, ay});
        TRUNK &t = trunks.back();
        t.links++;
        t.y0 = std::min(t.y0, l.end_y);
        t.y1 = std::max(t.y1, l.end_y);
        trunk_of[li] = (int)trunks.size() - 1;
    }

    // A bus leaving its node on the row where another node's link enters a
    // node of the same gap would draw one straight line between two nodes
    // that are not linked: such a bus leaves from a row of its box halfway
    // between those entry rows instead.
    struct ROW {
        int column, side;
        float y;
        int a;
        bool operator<(const ROW &o) const {
            if (column != o.column) return column < o.column;
            if (side != o.side) return side < o.side;
            return y < o.y;
        }
    };
    std::vector<ROW> entries(count);
    for (int i = 0; i < count; i++) {
        const KVN_TOPO_LINK &l = g->links[i];
        entries[i] = ROW{cols.of[g->nodes[l.b].kind], side[i], l.end_y, l.a};
    }
    std::sort(entries.begin(), entries.end());
    const float clear = 6; // rows closer than this read as one line
    for (TRUNK &t : trunks) {
        const float ay = g->nodes[t.a].y, half = spread / 2;
        auto lo =
            std::lower_bound(entries.begin(), entries.end(), ROW{t.column, t.side, ay - half - clear, -1});
        auto hi =
            std::lower_bound(entries.begin(), entries.end(), ROW{t.column, t.side, ay + half + clear, -1});
        std::vector<float> near;
        for (auto it = lo; it != hi; ++it)
            if (it->a != t.a) near.push_back(it->y - ay);
        auto distance = [&](float dy) {
            float d = 1e9f;
            for (float y : near)
                d = std::min(d, fabsf(y - dy));
            return d;
        };
        if (distance(0) >= clear) continue;
        std::vector<float> candidates = {-half, half};
        for (size_t k = 0; k + 1 < near.size(); k++)
            candidates.push_back((near[k] + near[k + 1]) / 2);
        if (!near.empty()) {
            candidates.push_back(std::max(-half, near.front() - row_gap / 2));
            candidates.push_back(std::min(half, near.back() + row_gap / 2));
        }
        float best = 0, best_d = distance(0);
        for (float c : candidates) {
            if (c < -half || c > half) continue;
            const float d = distance(c);
            // The row nearest the centre among the clearest.
            if (d > best_d + 0.01f || (fabsf(d - best_d) <= 0.01f && fabsf(c) < fabsf(best))) {
                best = c;
                best_d = d;
            }
        }
        t.exit = ay + best;
        t.y0 = std::min(t.y0, t.exit);
        t.y1 = std::max(t.y1, t.exit);
    }

    // Lanes per gap and side, the fewest that keep verticals apart: trunks
    // by their top row, each on the lowest lane free by then.
    std::vector<int> by_top(trunks.size());
    for (int i = 0; i < (int)trunks.size(); i++)
        by_top[i] = i;
    std::sort(by_top.begin(), by_top.end(), [&](int x, int y) {
        const TRUNK &p = trunks[x], &q = trunks[y];
        if (p.column != q.column) return p.column < q.column;
        if (p.side != q.side) return p.side < q.side;
        if (p.y0 != q.y0) return p.y0 < q.y0;
        return x < y;
    });
    std::vector<int> lanes_of(trunks.size(), 1);
    const float pad = 8; // two verticals on one lane never touch end to end
    for (int i = 0; i < (int)by_top.size();) {
        int j = i;
        while (j < (int)by_top.size() && trunks[by_top[j]].column == trunks[by_top[i]].column &&
               trunks[by_top[j]].side == trunks[by_top[i]].side)
            j++;
        std::priority_queue<std::pair<float, int>, std::vector<std::pair<float, int>>, std::greater<>> busy;
        std::priority_queue<int, std::vector<int>, std::greater<>> free;
        int lanes = 0;
        for (int e = i; e < j; e++) {
            TRUNK &t = trunks[by_top[e]];
            while (!busy.empty() && busy.top().first + pad < t.y0) {
                free.push(busy.top().second);
                busy.pop();
            }
            if (free.empty()) {
                t.lane = lanes++;
            } else {
                t.lane = free.top();
                free.pop();
            }
            busy.emplace(t.y1, t.lane);
        }
        for (int e = i; e < j; e++)
            lanes_of[by_top[e]] = lanes;
        i = j;
    }

    std::vector<char> headed(trunks.size(), 0);
    for (int li = 0; li < count; li++) {
        KVN_TOPO_LINK &l = g->links[li];
        const TRUNK &t = trunks[trunk_of[li]];
        const float bx = g->nodes[l.b].x;
        l.trunk = t.links;
        l.trunk_head = !headed[trunk_of[li]];
        headed[trunk_of[li]] = 1;
        l.trunk_y0 = t.y0;
        l.trunk_y1 = t.y1;
        l.start_y = t.exit;
        if (!t.side) {
            l.turn_x = bx;
            l.text_x0 = l.text_x1 = bx;
            continue;
        }
        const int lanes = lanes_of[trunk_of[li]];
        const float lane = lanes > 1 ? std::min(lane_gap, band_max / (float)(lanes - 1)) : 0;
        const float band = (float)(lanes - 1) * lane;
        if (t.side > 0) {
            const float edge = bx - 1.5f * box_w; // the box edge of the column before b's
            l.turn_x = edge + lane_start + (float)t.lane * lane;
            l.text_x0 = edge + lane_start + band;
            l.text_x1 = bx - box_w / 2;
        } else {
            const float edge = bx + 1.5f * box_w;
            l.turn_x = edge - lane_start - (float)t.lane * lane;
            l.text_x0 = bx + box_w / 2;
            l.text_x1 = edge - lane_start - band;
        }
    }
}

} // namespace

KVN_TOPO_GRAPH *kvn_topology_build(cJSON *answer) {
    KVN_TOPO_GRAPH *g = new (std::nothrow) KVN_TOPO_GRAPH();
    if (!g) {
        cJSON_Delete(answer);
        return nullptr;
    }
    g->answer = answer;
    BUILD b;
    b.g = g;
    if (answer) _build(b);
    return g;
}

void kvn_topology_layout(KVN_TOPO_GRAPH *g, float box_w, float box_h) {
    if (!g) return;
    int counts[KVN_TOPO_KINDS] = {0, 0, 0, 0};
    for (KVN_TOPO_NODE &n : g->nodes)
        n.position = counts[n.kind]++;
    std::vector<std::vector<int>> adj(g->nodes.size());
    for (const KVN_TOPO_LINK &l : g->links) {
        adj[l.a].push_back(l.b);
        adj[l.b].push_back(l.a);
    }
    for (int sweep = 0; sweep < 4; sweep++) {
        if (sweep % 2 == 0)
            for (int k = 1; k < KVN_TOPO_KINDS; k++)
                _reorder(g, adj, k, k - 1);
        else
            for (int k = 0; k + 1 < KVN_TOPO_KINDS; k++)
                _reorder(g, adj, k, k + 1);
    }
    COLUMNS cols;
    int *column = cols.of, columns = 0, rows = 1;
    for (int k = 0; k < KVN_TOPO_KINDS; k++) {
        column[k] = counts[k] ? columns++ : -1;
        rows = std::max(rows, counts[k]);
    }
    const float step = 1.6f * box_h;
    for (KVN_TOPO_NODE &n : g->nodes) {
        n.x = (float)column[n.kind] * 2 * box_w + box_w / 2 + 20;
        n.y = (float)(rows - counts[n.kind]) * step / 2 + box_h / 2 + 20 + (float)n.position * step;
    }
    _route(g, cols, box_w, box_h);
    // An empty project still gets a graph of one column's size, so the view
    // has something to fit and export.
    g->width = (float)(std::max(columns, 1) - 1) * 2 * box_w + 40 + box_w;
    g->height = (float)rows * step + 40;
}

void kvn_topology_free(KVN_TOPO_GRAPH **g) {
    if (!g || !*g) return;
    cJSON_Delete((*g)->answer);
    delete *g;
    *g = nullptr;
}

int kvn_topology_label_place(const KVN_TOPO_LINK *l, float zoom, float line_h, float *x, float *y,
                             float *room) {
    if (!l || !l->address[0] || zoom <= 0.6f) return 0;
    const float r = (l->text_x1 - l->text_x0) * zoom - 8;
    if (r < 60 || l->text_h * zoom < line_h + 1) return 0;
    if (x) *x = l->text_x0 * zoom + 4;
    if (y) *y = l->end_y * zoom - line_h - 1;
    if (room) *room = r;
    return 1;
}

const char *kvn_topology_kind_name(int kind) {
    return kind >= 0 && kind < KVN_TOPO_KINDS ? k_kind_names[kind] : "";
}

int kvn_topology_count(const KVN_TOPO_GRAPH *g, int kind) {
    if (!g) return 0;
    int n = 0;
    for (const KVN_TOPO_NODE &node : g->nodes)
        n += node.kind == kind;
    return n;
}

int kvn_topology_node_at(const KVN_TOPO_GRAPH *g, float gx, float gy, float box_w, float box_h) {
    if (!g) return -1;
    for (int i = (int)g->nodes.size() - 1; i >= 0; i--) {
        const KVN_TOPO_NODE &n = g->nodes[i];
        if (gx >= n.x - box_w / 2 && gx <= n.x + box_w / 2 && gy >= n.y - box_h / 2 && gy <= n.y + box_h / 2)
            return i;
    }
    return -1;
}

std::string kvn_topology_details(const KVN_TOPO_GRAPH *g, int node) {
    if (!g || node < 0 || node >= (int)g->nodes.size()) return "";
    const KVN_TOPO_NODE &n = g->nodes[node];
    std::string out = kvn_topology_kind_name(n.kind);
    out += ": ";
    out += n.label;
    out += "\n";
    for (const KVN_TOPO_LINK &l : g->links) {
        if (l.a != node && l.b != node) continue;
        const KVN_TOPO_NODE &o = g->nodes[l.a == node ? l.b : l.a];
        out += "  -> ";
        out += kvn_topology_kind_name(o.kind);
        out += " ";
        out += o.label;
        out += " ";
        out += l.address;
        out += "\n";
    }
    out += "\n";
    if (!n.json) {
        out += "(not visible to this project)";
        return out;
    }
    char *printed = cJSON_Print(n.json);
    if (printed) {
        out += printed;
        cJSON_free(printed);
    }
    return out;
}
