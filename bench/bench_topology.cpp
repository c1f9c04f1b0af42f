// Topology at cloud scale: synthetic listings of 2,000 servers (two ports
// each), 200 networks with a subnet each and 50 routers gatewayed on an
// external network, with a floating IP on every fourth server. Prints the
// time to build and to lay out the graph, the resident memory it adds, and
// the frame cost of the view zoomed to fit as a ratio against the same view
// holding an empty graph (drawn interleaved in the same run).
//
// usage: bench_topology [servers] [frames]   (needs an X display;
// bench/bench_topology.sh runs it under xvfb-run)

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <cJSON.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_main.h"
#include "kvn_gui_topology.h"
#include "kvn_paths.h"
#include "kvn_theme.h"
#include "kvn_topology.h"
#include "q_gui.h"

namespace {
const int k_w = 1600, k_h = 1000;

long _rss_kib() {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, "VmRSS:", 6)) kib = atol(line + 6);
    fclose(f);
    return kib;
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

cJSON *_obj(cJSON *array) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddItemToArray(array, o);
    return o;
}

cJSON *_ips(const char *ip) {
    cJSON *a = cJSON_CreateArray();
    cJSON_AddStringToObject(_obj(a), "ip_address", ip);
    return a;
}

// The six listings of a large project, as the services would answer them.
std::string _listings(int servers, int networks, int routers) {
    cJSON *root = cJSON_CreateObject();
    cJSON *nets = cJSON_AddArrayToObject(root, "networks");
    cJSON *subnets = cJSON_AddArrayToObject(root, "subnets");
    cJSON *rts = cJSON_AddArrayToObject(root, "routers");
    cJSON *ports = cJSON_AddArrayToObject(root, "ports");
    cJSON *fips = cJSON_AddArrayToObject(root, "floatingips");
    cJSON *srvs = cJSON_AddArrayToObject(root, "servers");
    char id[64], name[64], ip[64];
    cJSON *ext = _obj(nets);
    cJSON_AddStringToObject(ext, "id", "ext");
    cJSON_AddStringToObject(ext, "name", "public");
    cJSON_AddBoolToObject(ext, "router:external", 1);
    for (int n = 0; n < networks; n++) {
        snprintf(id, sizeof id, "net-%04d", n);
        snprintf(name, sizeof name, "tier-%d-network-%04d", n % 7, n);
        cJSON *o = _obj(nets);
        cJSON_AddStringToObject(o, "id", id);
        cJSON_AddStringToObject(o, "name", name);
        cJSON_AddStringToObject(o, "status", "ACTIVE");
        cJSON *s = _obj(subnets);
        cJSON_AddStringToObject(s, "network_id", id);
        snprintf(ip, sizeof ip, "10.%d.%d.0/24", n / 256, n % 256);
        cJSON_AddStringToObject(s, "cidr", ip);
    }
    for (int r = 0; r < routers; r++) {
        snprintf(id, sizeof id, "router-%03d", r);
        cJSON *o = _obj(rts);
        cJSON_AddStringToObject(o, "id", id);
        cJSON_AddStringToObject(o, "name", id);
        cJSON_AddStringToObject(o, "status", "ACTIVE");
        cJSON *gw = cJSON_AddObjectToObject(o, "external_gateway_info");
        cJSON_AddStringToObject(gw, "network_id", "ext");
        snprintf(ip, sizeof ip, "203.0.113.%d", r + 2);
        cJSON_AddItemToObject(gw, "external_fixed_ips", _ips(ip));
    }
    for (int n = 0; n < networks; n++) {
        cJSON *p = _obj(ports);
        snprintf(id, sizeof id, "net-%04d", n);
        cJSON_AddStringToObject(p, "network_id", id);
        snprintf(id, sizeof id, "router-%03d", n % routers);
        cJSON_AddStringToObject(p, "device_id", id);
        cJSON_AddStringToObject(p, "device_owner", "network:router_interface");
        snprintf(ip, sizeof ip, "10.%d.%d.1", n / 256, n % 256);
        cJSON_AddItemToObject(p, "fixed_ips", _ips(ip));
    }
    for (int s = 0; s < servers; s++) {
        snprintf(id, sizeof id, "server-%05d", s);
        cJSON *o = _obj(srvs);
        cJSON_AddStringToObject(o, "id", id);
        snprintf(name, sizeof name, "app-%05d.example.org", s);
        cJSON_AddStringToObject(o, "name", name);
        cJSON_AddStringToObject(o, "status", s % 50 ? "ACTIVE" : "ERROR");
        for (int k = 0; k < 2; k++) {
            const int n = k ? (s * 7 + 3) % networks : s % networks;
            cJSON *p = _obj(ports);
            snprintf(name, sizeof name, "port-%05d-%d", s, k);
            cJSON_AddStringToObject(p, "id", name);
            snprintf(ip, sizeof ip, "net-%04d", n);
            cJSON_AddStringToObject(p, "network_id", ip);
            cJSON_AddStringToObject(p, "device_id", id);
            cJSON_AddStringToObject(p, "device_owner", "compute:nova");
            snprintf(ip, sizeof ip, "10.%d.%d.%d", n / 256, n % 256, 10 + s % 240);
            cJSON_AddItemToObject(p, "fixed_ips", _ips(ip));
            if (k == 0 && s % 4 == 0) {
                cJSON *f = _obj(fips);
                cJSON_AddStringToObject(f, "port_id", name);
                snprintf(ip, sizeof ip, "198.51.%d.%d", s / 250, s % 250);
                cJSON_AddStringToObject(f, "floating_ip_address", ip);
            }
        }
    }
    char *text = cJSON_PrintUnformatted(root);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

// Reads one pixel back so the frame's drawing has really happened.
void _finish(ALLEGRO_DISPLAY *d) {
    ALLEGRO_BITMAP *bb = al_get_backbuffer(d);
    ALLEGRO_LOCKED_REGION *r =
        al_lock_bitmap_region(bb, 0, 0, 1, 1, ALLEGRO_PIXEL_FORMAT_ANY, ALLEGRO_LOCK_READONLY);
    if (r) al_unlock_bitmap(bb);
}

double _frame(KVN_APP *app) {
    al_set_target_backbuffer(app->display);
    al_clear_to_color(al_map_rgb(0, 0, 0));
    const double t0 = al_get_time();
    kvn_gui_main_tick();
    q_gui_draw(app->gui);
    _finish(app->display);
    const double t = al_get_time() - t0;
    al_flip_display();
    return t;
}
} // namespace

int main(int argc, char **argv) {
    const int servers = argc > 1 ? atoi(argv[1]) : 2000;
    const int frames = argc > 2 ? atoi(argv[2]) : 60;
    const int networks = 200, routers = 50;
    char home[] = "/tmp/kvn-bench-topo-XXXXXX";
    if (!mkdtemp(home)) return 1;
    setenv("KVN_HOME", home, 1);
    kvn_paths_init();

    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon()) return 1;
    const std::string text = _listings(servers, networks, routers);
    const long rss0 = _rss_kib();
    std::vector<double> build, layout;
    for (int r = 0; r < 7; r++) {
        cJSON *answer = cJSON_Parse(text.c_str());
        const double t0 = al_get_time();
        KVN_TOPO_GRAPH *g = kvn_topology_build(answer);
        const double t1 = al_get_time();
        kvn_topology_layout(g, 190, 46);
        const double t2 = al_get_time();
        build.push_back(t1 - t0);
        layout.push_back(t2 - t1);
        kvn_topology_free(&g);
    }
    cJSON *answer = cJSON_Parse(text.c_str());
    KVN_TOPO_GRAPH *kept = kvn_topology_build(answer);
    kvn_topology_layout(kept, 190, 46);
    const long rss1 = _rss_kib();
    printf("listings: %d servers (%d ports), %d networks, %d routers; %.1f MiB of JSON\n", servers,
           servers * 2 + networks, networks, routers, (double)text.size() / (1 << 20));
    printf("graph: %zu nodes, %zu links; build %.1f ms, layout %.1f ms (medians of 7); %.1f MiB with its answer\n",
           kept->nodes.size(), kept->links.size(), _median(build) * 1e3, _median(layout) * 1e3,
           (double)(rss1 - rss0) / 1024);

    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL);
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_config_load(&app.config);
    app.display = al_create_display(k_w, k_h);
    if (!app.display) {
        fprintf(stderr, "bench_topology: no display\n");
        return 1;
    }
    app.ui_font = al_load_ttf_font("/usr/share/fonts/opentype/inter/Inter-Regular.otf", 14, 0);
    if (!app.ui_font) app.ui_font = al_create_builtin_font();
    app.gui = q_gui_new_ctx(app.ui_font);
    q_gui_set_display(app.gui, app.display);
    q_gui_set_display_size(app.gui, k_w, k_h);
    kvn_app_publish(&app);
    kvn_theme_apply(app.gui, KVN_THEME_DARK);
    kvn_gui_main_build();
    kvn_gui_main_open_view("topology");

    // The big graph and an empty one take turns in the same view; each is
    // fitted by its first frame, which is not counted.
    KVN_TOPO_GRAPH *empty = kvn_topology_build(cJSON_Parse("{}"));
    std::vector<double> big_frames, empty_frames;
    KVN_TOPOLOGY_IDS ids;
    for (int f = 0; f < frames; f++) {
        for (int which = 0; which < 2; which++) {
            // The view owns what it is given: hand it a fresh copy each turn.
            KVN_TOPO_GRAPH *g = kvn_topology_build(cJSON_Parse(which ? "{}" : text.c_str()));
            kvn_gui_topology_set_graph(g);
            _frame(&app);
            _frame(&app);
            (which ? empty_frames : big_frames).push_back(_frame(&app));
        }
    }
    kvn_gui_topology_ids(&ids);
    const double fb = _median(big_frames), fe = _median(empty_frames);
    kvn_gui_topology_set_graph(kvn_topology_build(cJSON_Parse(text.c_str())));
    _frame(&app);
    _frame(&app);
    kvn_gui_topology_ids(&ids);
    printf("frame fitted (zoom %.2f): %d-server graph %.3f ms, empty graph %.3f ms, ratio %.2f (medians of %d)\n",
           ids.zoom, servers, fb * 1e3, fe * 1e3, fb / fe, frames);
    kvn_topology_free(&kept);
    kvn_topology_free(&empty);
    kvn_gui_main_destroy();
    q_gui_destroy_ctx(&app.gui);
    kvn_app_publish(nullptr);
    al_destroy_font(app.ui_font);
    al_destroy_display(app.display);
    return 0;
}
