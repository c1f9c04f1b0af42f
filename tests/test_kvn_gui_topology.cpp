// labels: gui
// The topology view in the main window on a real display: a graph drawn
// where its layout puts it, a click selecting a node and filling the details,
// the wheel zoom and its limits, drag to pan, fit, and the PNG export read
// back (its size, a node's colour, the name rules, a folder that cannot be
// written leaving no file).
#include "kvn_test_gui.h"

#include <allegro5/allegro_image.h>
#include <allegro5/allegro_ttf.h>
#include <cJSON.h>
#include <algorithm>
#include <cmath>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_gui_topology.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_test_topology.h"
#include "kvn_test_util.h"
#include "kvn_theme.h"
#include "kvn_topology.h"
#include "q_gui.h"

namespace {

const char *const k_graph = R"({
  "networks": [{"id": "ext", "name": "public", "router:external": true},
               {"id": "n1", "name": "private"}],
  "subnets": [{"network_id": "n1", "cidr": "10.0.0.0/24"}],
  "routers": [{"id": "r1", "name": "router1", "status": "ACTIVE",
               "external_gateway_info": {"network_id": "ext",
                 "external_fixed_ips": [{"ip_address": "203.0.113.5"}]}}],
  "servers": [{"id": "vm1", "name": "web", "status": "ERROR"}],
  "ports": [{"network_id": "n1", "device_id": "r1", "device_owner": "network:router_interface",
             "fixed_ips": [{"ip_address": "10.0.0.1"}]},
            {"network_id": "n1", "device_id": "vm1", "device_owner": "compute:nova",
             "fixed_ips": [{"ip_address": "10.0.0.5"}]}]})";

struct TOPO_APP {
    TEST_DIR dir;
    KVN_APP app;
    double clock = 100;
    TOPO_APP() {
        setenv("KVN_HOME", dir.path.c_str(), 1);
        kvn_paths_init();
        al_init_image_addon();
        memset(&app, 0, sizeof app);
        kvn_config_load(&app.config);
        app.config.sidebar_w = 200;
        app.display = g_display;
        app.ui_font = g_font;
        app.gui = q_gui_new_ctx(g_font);
        q_gui_set_display(app.gui, g_display);
        q_gui_set_display_size(app.gui, k_dw, k_dh);
        mkdir(dir.file("api").c_str(), 0700);
        app.api = kvn_api_load_dir(dir.file("api").c_str());
        kvn_app_publish(&app);
        EXPECT_EQ(kvn_jobs_init(1), 0);
        kvn_theme_apply(app.gui, KVN_THEME_DARK);
        kvn_gui_main_build();
        EXPECT_EQ(kvn_gui_main_open_view("topology"), 0);
        draw();
    }
    ~TOPO_APP() {
        kvn_jobs_shutdown();
        kvn_gui_main_destroy();
        kvn_gui_dialogs_shutdown();
        q_gui_destroy_ctx(&app.gui);
        kvn_api_free(&app.api);
        kvn_app_publish(nullptr);
        unsetenv("KVN_HOME");
    }
    KVN_TOPOLOGY_IDS ids() {
        KVN_TOPOLOGY_IDS t;
        kvn_gui_topology_ids(&t);
        return t;
    }
    void draw() {
        al_set_target_backbuffer(g_display);
        al_clear_to_color(al_map_rgb(0, 0, 0));
        q_gui_draw(app.gui);
        kvn_gui_main_tick();
        q_gui_draw(app.gui);
    }
    void feed(ALLEGRO_EVENT ev) { q_gui_process_event(app.gui, &ev); }
    void mouse(int type, float x, float y, int button = 1, int dz = 0) {
        clock += 0.01;
        ALLEGRO_EVENT ev = kvn_mouse_event(type, x, y, button, clock);
        ev.mouse.dz = dz;
        feed(ev);
    }
    // Screen position of a graph point under the view's pan and zoom.
    void screen_of(float gx, float gy, float *sx, float *sy) {
        float x, y, w, h;
        ASSERT_TRUE(q_gui_widget_screen_rect(app.gui, ids().canvas, &x, &y, &w, &h));
        const KVN_TOPOLOGY_IDS t = ids();
        // Whole pixels, as the pointer gives them.
        *sx = roundf(x + t.pan_x + gx * t.zoom);
        *sy = roundf(y + t.pan_y + gy * t.zoom);
    }
    const KVN_TOPO_NODE &node(const char *id) {
        const KVN_TOPO_GRAPH *g = ids().graph;
        for (const KVN_TOPO_NODE &n : g->nodes)
            if (!strcmp(n.id, id)) return n;
        ADD_FAILURE() << id;
        return g->nodes[0];
    }
};

bool _near(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    return fabsf(a.r - b.r) < 0.02f && fabsf(a.g - b.g) < 0.02f && fabsf(a.b - b.b) < 0.02f;
}

} // namespace

TEST(TopologyView, DrawsSelectsZoomsPansAndFits) {
    TOPO_APP t;
    // Not connected: no graph and nothing loads.
    EXPECT_EQ(t.ids().graph, nullptr);
    EXPECT_EQ(t.ids().loading, 0);

    kvn_gui_topology_set_graph(kvn_topology_build(cJSON_Parse(k_graph)));
    t.draw();
    KVN_TOPOLOGY_IDS ids = t.ids();
    ASSERT_NE(ids.graph, nullptr);
    EXPECT_STREQ(q_gui_label_get_text(t.app.gui, ids.status),
                 "1 external, 1 routers, 1 networks, 1 servers ");
    // A loaded graph is fitted at the next frame: zoom 0.3 at least, centred
    // across the canvas.
    float cx, cy, cw, ch;
    ASSERT_TRUE(q_gui_widget_screen_rect(t.app.gui, ids.canvas, &cx, &cy, &cw, &ch));
    const float gw = ids.graph->width, gh = ids.graph->height;
    const float fit = std::min(1.0f, std::max(0.3f, std::min((cw - 20) / gw, (ch - 40) / gh)));
    EXPECT_FLOAT_EQ(ids.zoom, fit);
    EXPECT_FLOAT_EQ(ids.pan_x, (cw - gw * fit) / 2);

    // A click on the server selects it and fills the details.
    const KVN_TOPO_NODE &server = t.node("vm1");
    float sx, sy;
    t.screen_of(server.x, server.y, &sx, &sy);
    t.mouse(ALLEGRO_EVENT_MOUSE_AXES, sx, sy, 0);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, sx, sy);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, sx, sy);
    ids = t.ids();
    ASSERT_GE(ids.selected, 0);
    EXPECT_STREQ(ids.graph->nodes[ids.selected].id, "vm1");
    EXPECT_EQ(ids.hovered, ids.selected);
    const std::string details = q_gui_syntaxview_get_text(t.app.gui, ids.details);
    EXPECT_EQ(details.rfind("Server: web\n  -> Network private 10.0.0.5\n\n{", 0), 0u) << details;

    // Nine wheel steps up at the server keep it under the pointer; drawn
    // there with its kind stripe and the selection's accent outline.
    for (int i = 0; i < 9; i++)
        t.mouse(ALLEGRO_EVENT_MOUSE_AXES, sx, sy, 0, 1);
    EXPECT_NEAR(t.ids().zoom, fit * powf(1.15f, 9), 1e-4);
    float ax, ay;
    t.screen_of(server.x, server.y, &ax, &ay);
    EXPECT_NEAR(ax, sx, 0.5f);
    EXPECT_NEAR(ay, sy, 0.5f);
    t.draw();
    const KVN_PALETTE *p = kvn_theme_current();
    ALLEGRO_BITMAP *bb = al_get_backbuffer(g_display);
    t.screen_of(server.x - 92, server.y, &ax, &ay);
    EXPECT_TRUE(_near(al_get_pixel(bb, (int)ax, (int)ay), p->series[2]));
    t.screen_of(server.x - 40, server.y - 23, &ax, &ay);
    EXPECT_TRUE(_near(al_get_pixel(bb, (int)ax, (int)ay), p->accent));
    t.screen_of(server.x - 40, server.y - 16, &ax, &ay);
    EXPECT_TRUE(_near(al_get_pixel(bb, (int)ax, (int)ay), p->panel));

    // The wheel stops at 3 up and at 0.2 down.
    for (int i = 0; i < 12; i++)
        t.mouse(ALLEGRO_EVENT_MOUSE_AXES, sx, sy, 0, 1);
    EXPECT_FLOAT_EQ(t.ids().zoom, 3);
    t.screen_of(server.x, server.y, &ax, &ay);
    EXPECT_NEAR(ax, sx, 0.5f);
    for (int i = 0; i < 30; i++)
        t.mouse(ALLEGRO_EVENT_MOUSE_AXES, sx, sy, 0, -1);
    EXPECT_FLOAT_EQ(t.ids().zoom, 0.2f);

    // A click between boxes selects nothing.
    t.screen_of(server.x - 95 - 60, server.y, &ax, &ay);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ax, ay);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, ax, ay);
    EXPECT_EQ(t.ids().selected, -1);
    EXPECT_STREQ(q_gui_syntaxview_get_text(t.app.gui, ids.details),
                 "Click a node to see its details.\nDrag to pan, wheel to zoom.");

    // A drag moves the pan by the mouse's way, also when it leaves the
    // canvas; after the release moves pan no more.
    ids = t.ids();
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, ax, ay);
    t.mouse(ALLEGRO_EVENT_MOUSE_AXES, ax - 30, ay - 20, 0);
    t.mouse(ALLEGRO_EVENT_MOUSE_AXES, ax + 300, ay + 5, 0);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, ax + 300, ay + 5);
    t.mouse(ALLEGRO_EVENT_MOUSE_AXES, ax + 200, ay + 50, 0);
    EXPECT_FLOAT_EQ(t.ids().pan_x, ids.pan_x + 300);
    EXPECT_FLOAT_EQ(t.ids().pan_y, ids.pan_y + 5);

    // Fit again through its button.
    float fx, fy, fw, fh;
    ASSERT_TRUE(q_gui_widget_screen_rect(t.app.gui, ids.fit, &fx, &fy, &fw, &fh));
    t.mouse(ALLEGRO_EVENT_MOUSE_AXES, fx + 5, fy + 5, 0);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, fx + 5, fy + 5);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, fx + 5, fy + 5);
    EXPECT_FLOAT_EQ(t.ids().zoom, fit);
    EXPECT_FLOAT_EQ(t.ids().pan_x, (cw - gw * fit) / 2);

    // Disconnecting (a connection change) drops the graph.
    kvn_app_connect_changed();
    EXPECT_EQ(t.ids().graph, nullptr);
}

TEST(TopologyView, ExportsTheWholeGraphAsPng) {
    TOPO_APP t;
    EXPECT_EQ(kvn_gui_topology_export(t.dir.file("early.png").c_str()), -1);
    EXPECT_EQ(std::string(t.app.status_text), "nothing to export: the topology is not loaded");

    kvn_gui_topology_set_graph(kvn_topology_build(cJSON_Parse(k_graph)));
    t.draw();
    // Zoomed in and panned away: the export is still the whole graph at 1.
    for (int i = 0; i < 5; i++)
        t.mouse(ALLEGRO_EVENT_MOUSE_AXES, 500, 300, 0, 1);
    const KVN_TOPO_GRAPH *g = t.ids().graph;
    ASSERT_EQ(kvn_gui_topology_export(t.dir.file("graph").c_str()), 0);
    EXPECT_EQ(std::string(t.app.status_text), "topology saved to " + t.dir.file("graph.png"));
    ALLEGRO_BITMAP *png = al_load_bitmap(t.dir.file("graph.png").c_str());
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(al_get_bitmap_width(png), (int)ceilf(g->width + 40));
    EXPECT_EQ(al_get_bitmap_height(png), (int)ceilf(g->height + 40));
    const KVN_PALETTE *p = kvn_theme_current();
    EXPECT_TRUE(_near(al_get_pixel(png, 2, 2), p->background));
    const KVN_TOPO_NODE &server = t.node("vm1");
    EXPECT_TRUE(_near(al_get_pixel(png, (int)(20 + server.x - 95 + 3), (int)(20 + server.y)), p->series[2]));
    EXPECT_TRUE(_near(al_get_pixel(png, (int)(20 + server.x + 40), (int)(20 + server.y - 15)), p->panel));
    al_destroy_bitmap(png);

    // The name as typed when it ends in .png in any case.
    ASSERT_EQ(kvn_gui_topology_export(t.dir.file("graph.PNG").c_str()), 0);
    struct stat st;
    EXPECT_EQ(stat(t.dir.file("graph.PNG").c_str(), &st), 0);

    // A folder that cannot be written: the error, and no file at all.
    const std::string ro = t.dir.file("ro");
    mkdir(ro.c_str(), 0500);
    if (access(ro.c_str(), W_OK) != 0) {
        EXPECT_EQ(kvn_gui_topology_export((ro + "/x.png").c_str()), -1);
        EXPECT_EQ(std::string(t.app.status_text), "cannot save " + ro + "/x.png");
    }
    EXPECT_EQ(kvn_gui_topology_export((t.dir.file("missing") + "/x.png").c_str()), -1);
    EXPECT_NE(stat((t.dir.file("missing") + "/x.png").c_str(), &st), 0);
}

TEST(TopologyView, EmptyProjectLongNamesAndTargetsThatCannotBeWritten) {
    TOPO_APP t;
    const KVN_PALETTE *p = kvn_theme_current();
    ALLEGRO_BITMAP *bb = al_get_backbuffer(g_display);
    float cx, cy, cw, ch;
    ASSERT_TRUE(q_gui_widget_screen_rect(t.app.gui, t.ids().canvas, &cx, &cy, &cw, &ch));

    // A project with nothing in it: counted as such, the legend drawn, a
    // click selects nothing, and the export is a blank picture of one
    // column's size.
    kvn_gui_topology_set_graph(
        kvn_topology_build(cJSON_Parse(R"({"networks": [], "routers": [], "ports": [], "servers": []})")));
    t.draw();
    EXPECT_STREQ(q_gui_label_get_text(t.app.gui, t.ids().status),
                 "0 external, 0 routers, 0 networks, 0 servers ");
    EXPECT_TRUE(_near(al_get_pixel(bb, (int)cx + 16, (int)(cy + ch) - 16), p->series[3]));
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_DOWN, cx + cw / 2, cy + ch / 2);
    t.mouse(ALLEGRO_EVENT_MOUSE_BUTTON_UP, cx + cw / 2, cy + ch / 2);
    EXPECT_EQ(t.ids().selected, -1);
    ASSERT_EQ(kvn_gui_topology_export(t.dir.file("empty.png").c_str()), 0);
    ALLEGRO_BITMAP *png = al_load_bitmap(t.dir.file("empty.png").c_str());
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(al_get_bitmap_width(png), 190 + 40 + 40);
    EXPECT_TRUE(
        _near(al_get_pixel(png, al_get_bitmap_width(png) / 2, al_get_bitmap_height(png) / 2), p->background));
    al_destroy_bitmap(png);

    // Names of 1,000 characters stay inside their boxes, on the canvas and
    // in the picture: right of the last column there is only background.
    const std::string long_name(1000, 'W');
    const std::string json = R"({"networks": [{"id": "n1", "name": ")" + long_name +
                             R"("}], "servers": [{"id": "vm1", "status": ")" + long_name + R"(", "name": ")" +
                             long_name + R"("}], "ports": [{"network_id": "n1", "device_id": "vm1",
                             "device_owner": "compute:nova", "fixed_ips": [{"ip_address": "10.0.0.5"}]}]})";
    kvn_gui_topology_set_graph(kvn_topology_build(cJSON_Parse(json.c_str())));
    t.draw();
    const KVN_TOPO_NODE &server = t.node("vm1");
    EXPECT_EQ(strlen(server.label), 95u);
    float sx, sy;
    t.screen_of(server.x + 95, server.y, &sx, &sy);
    const float z = t.ids().zoom;
    int stray = 0;
    for (int x = (int)sx + 3; x < (int)(cx + cw) - 2; x++)
        for (int y = (int)(sy - 23 * z); y <= (int)(sy + 23 * z); y++)
            stray += !_near(al_get_pixel(bb, x, y), p->background);
    EXPECT_EQ(stray, 0);
    ASSERT_EQ(kvn_gui_topology_export(t.dir.file("long.png").c_str()), 0);
    png = al_load_bitmap(t.dir.file("long.png").c_str());
    ASSERT_NE(png, nullptr);
    stray = 0;
    for (int x = (int)(20 + server.x + 95 + 3); x < al_get_bitmap_width(png); x++)
        for (int y = (int)(20 + server.y - 23); y <= (int)(20 + server.y + 23); y++)
            stray += !_near(al_get_pixel(png, x, y), p->background);
    EXPECT_EQ(stray, 0);
    al_destroy_bitmap(png);

    // Targets no one can write, root included: a folder that is a file, and
    // a missing folder. The error names the file; nothing is left behind.
    const std::string file = t.dir.file("plain");
    test_write_file(file, "x");
    EXPECT_EQ(kvn_gui_topology_export((file + "/x.png").c_str()), -1);
    EXPECT_EQ(std::string(t.app.status_text), "cannot save " + file + "/x.png");
    EXPECT_EQ(t.app.status_kind, KVN_STATUS_ERROR);
    EXPECT_EQ(test_read_file(file), "x");
    EXPECT_EQ(kvn_gui_topology_export((t.dir.file("missing") + "/x").c_str()), -1);
    EXPECT_EQ(std::string(t.app.status_text), "cannot save " + t.dir.file("missing") + "/x.png");
    // No temporary picture stays beside the targets either.
    int temporaries = 0;
    if (DIR *d = opendir(t.dir.path.c_str())) {
        while (struct dirent *e = readdir(d))
            temporaries += strncmp(e->d_name, ".kvn-topology-", 14) == 0;
        closedir(d);
    }
    EXPECT_EQ(temporaries, 0);
    EXPECT_FALSE(test_exists(t.dir.file("missing")));
    struct stat st;
    EXPECT_NE(stat((t.dir.file("missing") + "/x.png").c_str(), &st), 0);
}

TEST(TopologyView, FortyServersExportReadably) {
    TOPO_APP t;
    // The picture a user saves, in the font the program draws with.
    al_init_ttf_addon();
    ALLEGRO_FONT *inter = al_load_ttf_font("/usr/share/fonts/opentype/inter/Inter-Regular.otf", 14, 0);
    if (inter) t.app.ui_font = inter;
    ALLEGRO_FONT *font = t.app.ui_font;
    kvn_gui_topology_set_graph(kvn_topology_build(cJSON_Parse(test_topology_forty_servers().c_str())));
    t.draw();
    const KVN_TOPO_GRAPH *g = t.ids().graph;
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(kvn_topology_count(g, KVN_TOPO_SERVER), 40);

    // Every address whole at zoom 1: on one line, or (two ports of a server
    // on one network) one entry a line in the height it has.
    const float lh = (float)al_get_font_line_height(font);
    for (const KVN_TOPO_LINK &l : g->links) {
        float x, y, room;
        ASSERT_TRUE(kvn_topology_label_place(&l, 1, lh, &x, &y, &room)) << l.address;
        if (al_get_text_width(font, l.address) <= room) continue;
        std::string rest = l.address;
        int lines = 0;
        for (size_t at = 0; at != std::string::npos; lines++) {
            const size_t comma = rest.find(", ", at);
            const std::string entry = rest.substr(at, comma == std::string::npos ? comma : comma + 1 - at);
            EXPECT_LE(al_get_text_width(font, entry.c_str()), room) << l.address;
            at = comma == std::string::npos ? comma : comma + 2;
        }
        EXPECT_LE(lines, (int)(l.text_h / (lh + 1))) << l.address;
    }

    for (int theme : {KVN_THEME_DARK, KVN_THEME_LIGHT}) {
        kvn_theme_apply(t.app.gui, theme);
        const std::string file = t.dir.file(theme == KVN_THEME_DARK ? "forty-dark.png" : "forty-light.png");
        ASSERT_EQ(kvn_gui_topology_export(file.c_str()), 0) << t.app.status_text;
        // Each link's vertical drawn where its route puts it, in its colour.
        ALLEGRO_BITMAP *png = al_load_bitmap(file.c_str());
        ASSERT_NE(png, nullptr);
        const KVN_PALETTE *p = kvn_theme_current();
        int off = 0, checked = 0;
        for (const KVN_TOPO_LINK &l : g->links) {
            if (fabsf(l.end_y - l.start_y) < 8) continue;
            checked++;
            const ALLEGRO_COLOR c =
                al_get_pixel(png, (int)floorf(20 + l.turn_x), (int)(20 + (l.start_y + l.end_y) / 2));
            off += !_near(c, l.gateway ? p->warning : p->dim_text);
        }
        EXPECT_GT(checked, 100);
        EXPECT_EQ(off, 0);
        al_destroy_bitmap(png);
        // A copy to look at, on request.
        const char *keep = getenv("KVN_TOPOLOGY_PNG_DIR");
        if (keep && *keep)
            test_write_file(std::string(keep) + "/topo-40-synthetic-" +
                                (theme == KVN_THEME_DARK ? "dark" : "light") + ".png",
                            test_read_file(file));
    }
    kvn_theme_apply(t.app.gui, KVN_THEME_DARK);
    t.app.ui_font = g_font;
    kvn_gui_topology_set_graph(nullptr);
    if (inter) al_destroy_font(inter);
}
