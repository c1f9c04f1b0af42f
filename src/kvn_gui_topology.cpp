// The topology view: one job fetches the six listings, the graph is built on
// the main thread, and the canvas draws only what lies inside it so a project
// of thousands of servers pans as smoothly as a small one.
#include "kvn_gui_topology.h"

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_primitives.h>
#include <cJSON.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "kvn_app.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_main.h"
#include "kvn_jobs.h"
#include "kvn_session.h"
#include "kvn_theme.h"
#include "kvn_topology.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"

namespace {

const float k_box_w = 190, k_box_h = 46;
const float k_zoom_min = 0.2f, k_zoom_max = 3.0f, k_zoom_step = 1.15f;
const char *const k_details_hint = "Click a node to see its details.\nDrag to pan, wheel to zoom.";

// Text cut to a width, kept per node until the zoom changes the width.
struct FITTED {
    float width = -1;
    std::string text;
};

struct VIEW {
    Q_GUI_CTX *ctx = nullptr;
    int window = -1, refresh = -1, fit = -1, export_button = -1, status = -1, canvas = -1, details = -1;
    float w = 0, h = 0;
    KVN_TOPO_GRAPH *graph = nullptr;
    float pan_x = 10, pan_y = 10, zoom = 1;
    int selected = -1, hovered = -1;
    float last_x = 0, last_y = 0;
    bool pressed = false;
    int loading = 0;
    unsigned generation = 0;
    bool fit_pending = false;
    float canvas_x = 0, canvas_y = 0, canvas_w = 0, canvas_h = 0;
    std::vector<FITTED> labels, details_lines;
};
VIEW v;

struct LOAD_JOB {
    KVN_SESSION *session;
    unsigned generation;
    cJSON *answer;
    char err[1024];
};

KVN_APP *_app(void) {
    return kvn_app_get();
}

void _redraw(void) {
    if (v.ctx) q_gui_request_redraw(v.ctx);
    kvn_gui_main_mark_dirty();
}

ALLEGRO_COLOR _kind_colour(const KVN_PALETTE *p, int kind) {
    static const int series[KVN_TOPO_KINDS] = {3, 4, 1, 2};
    return p->series[series[kind & 3]];
}

// The longest prefix of text (at most 255 bytes looked at) that fits with
// "..." after it; the text itself when it fits.
std::string _fit(ALLEGRO_FONT *font, const char *text, float max_w) {
    std::string s(text, strnlen(text, 255));
    if (max_w <= 0) return "";
    if (al_get_text_width(font, s.c_str()) <= max_w) return s;
    // Byte offsets of character starts, searched for the last one that fits.
    std::vector<size_t> starts;
    for (size_t i = 0; i < s.size(); i++)
        if (((unsigned char)s[i] & 0xC0) != 0x80) starts.push_back(i);
    size_t lo = 0, hi = starts.size(); // prefix of starts[k] bytes for k < hi
    std::string best = "...";
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        std::string t = s.substr(0, starts[mid]) + "...";
        if (al_get_text_width(font, t.c_str()) <= max_w) {
            best = t;
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return best;
}

// An address text in lines of a width: whole entries of a merged text
// (", " between them) per line while the lines allowed suffice; the last line
// allowed is cut when they do not.
std::vector<std::string> _wrap(ALLEGRO_FONT *font, const char *text, float max_w, int lines_max) {
    std::string s(text, strnlen(text, 255));
    std::vector<std::string> lines;
    if (lines_max <= 1 || al_get_text_width(font, s.c_str()) <= max_w) {
        lines.push_back(_fit(font, s.c_str(), max_w));
        return lines;
    }
    size_t at = 0;
    while (at < s.size()) {
        if ((int)lines.size() == lines_max - 1) {
            lines.push_back(_fit(font, s.c_str() + at, max_w));
            break;
        }
        // The most entries that fit on this line, at least one.
        size_t end = s.find(", ", at), best = end;
        while (end != std::string::npos) {
            if (al_get_text_width(font, s.substr(at, end + 1 - at).c_str()) > max_w) break;
            best = end;
            end = s.find(", ", end + 2);
        }
        if (end == std::string::npos && al_get_text_width(font, s.c_str() + at) <= max_w)
            best = std::string::npos;
        const std::string line = best == std::string::npos ? s.substr(at) : s.substr(at, best + 1 - at);
        lines.push_back(_fit(font, line.c_str(), max_w));
        if (best == std::string::npos) break;
        at = best + 2;
    }
    return lines;
}

const std::string &_fitted(std::vector<FITTED> &cache, int node, ALLEGRO_FONT *font, const char *text,
                           float max_w) {
    FITTED &f = cache[node];
    if (f.width != max_w) {
        f.width = max_w;
        f.text = _fit(font, text, max_w);
    }
    return f.text;
}

ALLEGRO_FONT *_font(void) {
    KVN_APP *app = _app();
    if (app && app->ui_font) return app->ui_font;
    return v.ctx ? v.ctx->default_font : nullptr;
}

void _set_details(const char *text, bool json) {
    if (v.details < 0) return;
    q_gui_syntaxview_set_language(v.ctx, v.details, json ? Q_GUI_SYNTAX_JSON : Q_GUI_SYNTAX_PLAIN);
    q_gui_syntaxview_set_text(v.ctx, v.details, text);
}

void _show_details(void) {
    if (!v.graph || v.selected < 0) {
        _set_details(k_details_hint, false);
        return;
    }
    _set_details(kvn_topology_details(v.graph, v.selected).c_str(), true);
}

void _set_status(const char *text) {
    if (v.status >= 0) q_gui_label_set_text(v.ctx, v.status, text);
}

// ---- drawing ------------------------------------------------------------------------

struct DRAW {
    const KVN_TOPO_GRAPH *g;
    float ox, oy, zoom;
    int selected, hovered;
    float clip_x0, clip_y0, clip_x1, clip_y1; // what is visible, in target pixels
    bool cache;                               // the view's fitted texts may be used
};

bool _visible(const DRAW &d, float x0, float y0, float x1, float y1) {
    return x1 >= d.clip_x0 && x0 <= d.clip_x1 && y1 >= d.clip_y0 && y0 <= d.clip_y1;
}

void _draw_graph(const DRAW &d, const KVN_PALETTE *p, ALLEGRO_FONT *font) {
    const KVN_TOPO_GRAPH *g = d.g;
    const float z = d.zoom, hw = k_box_w / 2 * z, hh = k_box_h / 2 * z;
    const float lh = font ? (float)al_get_font_line_height(font) : 0;
    const ALLEGRO_COLOR muted = p->dim_text;
    auto px = [&](float gx) { return d.ox + gx * z; };
    auto py = [&](float gy) { return d.oy + gy * z; };

    // Each link runs along the route the layout gave it: its own row into
    // the second node, a vertical no link of another node shares. A bus of
    // several links from one node marks where each leaves it with a dot, so
    // a branch is told from a line that merely crosses.
    const float dot = 2.5f * z;
    for (const KVN_TOPO_LINK &l : g->links) {
        const KVN_TOPO_NODE &a = g->nodes[l.a], &b = g->nodes[l.b];
        const float x1 = px(a.x), y1 = py(l.start_y), x2 = px(b.x), y2 = py(l.end_y), mx = px(l.turn_x);
        const float ty0 = l.trunk_head ? std::min(y1, py(l.trunk_y0)) : std::min(y1, y2);
        const float ty1 = l.trunk_head ? std::max(y1, py(l.trunk_y1)) : std::max(y1, y2);
        if (!_visible(d, std::min(x1, x2), std::min(ty0, y2) - lh, std::max(x1, x2), std::max(ty1, y2)))
            continue;
        const bool touches = d.selected >= 0 && (l.a == d.selected || l.b == d.selected);
        const ALLEGRO_COLOR plain = l.gateway ? p->warning : muted;
        const ALLEGRO_COLOR c = touches ? p->accent : plain;
        const float t = touches ? 2.5f : 1.5f;
        // A bus is drawn once, by its first link (its links come after it);
        // a highlighted link draws its own way along it on top.
        if (l.trunk_head) {
            al_draw_line(x1, y1, mx, y1, plain, 1.5f);
            al_draw_line(mx, py(l.trunk_y0), mx, py(l.trunk_y1), plain, 1.5f);
        }
        if (touches) {
            al_draw_line(x1, y1, mx, y1, c, t);
            al_draw_line(mx, y1, mx, y2, c, t);
        }
        al_draw_line(mx, y2, x2, y2, c, t);
        if (l.trunk > 1 && z >= 0.45f) {
            al_draw_filled_circle(mx, y2, dot, c);
            if (l.trunk_head || touches) al_draw_filled_circle(mx, y1, dot, c);
        }
        float tx, ty, room;
        if (!font || !kvn_topology_label_place(&l, z, lh, &tx, &ty, &room)) continue;
        const int lines_max = std::max(1, (int)(l.text_h * z / (lh + 1)));
        const std::vector<std::string> lines = _wrap(font, l.address, room, lines_max);
        const int n = (int)lines.size();
        for (int k = 0; k < n; k++)
            al_draw_text(font, touches ? p->text : muted, d.ox + tx,
                         d.oy + ty - (float)(n - 1 - k) * (lh + 1), 0, lines[k].c_str());
    }

    for (int i = 0; i < (int)g->nodes.size(); i++) {
        const KVN_TOPO_NODE &n = g->nodes[i];
        const float cx = px(n.x), cy = py(n.y);
        if (!_visible(d, cx - hw - 3, cy - hh - 3, cx + hw + 3, cy + hh + 3)) continue;
        const ALLEGRO_COLOR kc = _kind_colour(p, n.kind);
        const float r = 6 * z;
        al_draw_filled_rounded_rectangle(cx - hw, cy - hh, cx + hw, cy + hh, r, r, p->panel);
        al_draw_filled_rectangle(cx - hw, cy - hh + r / 2, cx - hw + 6 * z, cy + hh - r / 2, kc);
        if (i == d.selected)
            al_draw_rounded_rectangle(cx - hw, cy - hh, cx + hw, cy + hh, r, r, p->accent, 3);
        else
            al_draw_rounded_rectangle(cx - hw, cy - hh, cx + hw, cy + hh, r, r, kc, i == d.hovered ? 2 : 1);
        if (!font || z < 0.45f) continue;
        const float tx = cx - hw + 10 * z, max_w = 2 * hw - 14 * z;
        const bool error = !strcmp(n.status, "ERROR");
        const char *lower = n.detail[0] ? n.detail : kvn_topology_kind_name(n.kind);
        const bool cached = d.cache && (int)v.labels.size() == (int)g->nodes.size();
        if (2 * hh >= 2 * lh + 4) {
            const std::string &up =
                cached ? _fitted(v.labels, i, font, n.label, max_w) : _fit(font, n.label, max_w);
            al_draw_text(font, p->text, tx, cy - lh - 1, 0, up.c_str());
            const std::string low =
                cached ? _fitted(v.details_lines, i, font, lower, max_w) : _fit(font, lower, max_w);
            al_draw_text(font, error ? p->error : muted, tx, cy + 1, 0, low.c_str());
        } else {
            const std::string &one =
                cached ? _fitted(v.labels, i, font, n.label, max_w) : _fit(font, n.label, max_w);
            al_draw_text(font, error ? p->error : p->text, tx, cy - lh / 2, 0, one.c_str());
        }
    }
}

void _draw_legend(float x, float y, float h, const KVN_PALETTE *p, ALLEGRO_FONT *font) {
    if (!font) return;
    float lx = x + 10;
    const float ly = y + h - 22;
    for (int k = 0; k < KVN_TOPO_KINDS; k++) {
        al_draw_filled_rectangle(lx, ly, lx + 12, ly + 12, _kind_colour(p, k));
        const char *name = kvn_topology_kind_name(k);
        al_draw_text(font, p->text, lx + 18, ly + 6 - (float)al_get_font_line_height(font) / 2, 0, name);
        lx += (float)al_get_text_width(font, name) + 30;
    }
}

void _on_draw(int, float x, float y, float w, float h, void *) {
    const KVN_PALETTE *p = kvn_theme_current();
    ALLEGRO_FONT *font = _font();
    v.canvas_x = x;
    v.canvas_y = y;
    v.canvas_w = w;
    v.canvas_h = h;
    al_draw_filled_rectangle(x, y, x + w, y + h, p->background);
    al_draw_rectangle(x + 0.5f, y + 0.5f, x + w - 0.5f, y + h - 0.5f, p->border, 1);
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    // Within the window's own clip, never outside it.
    const int cx0 = std::max(ox, (int)x + 1), cy0 = std::max(oy, (int)y + 1);
    const int cx1 = std::min(ox + ow, (int)(x + w) - 1), cy1 = std::min(oy + oh, (int)(y + h) - 1);
    if (cx1 <= cx0 || cy1 <= cy0) return;
    al_set_clipping_rectangle(cx0, cy0, cx1 - cx0, cy1 - cy0);
    if (v.graph) {
        DRAW d;
        d.g = v.graph;
        d.ox = x + v.pan_x;
        d.oy = y + v.pan_y;
        d.zoom = v.zoom;
        d.selected = v.selected;
        d.hovered = v.hovered;
        d.clip_x0 = (float)cx0;
        d.clip_y0 = (float)cy0;
        d.clip_x1 = (float)cx1;
        d.clip_y1 = (float)cy1;
        d.cache = true;
        _draw_graph(d, p, font);
        _draw_legend(x, y, h, p, font);
    } else if (font) {
        KVN_APP *app = _app();
        const char *text = v.loading             ? "loading topology..."
                           : app && app->session ? "press Refresh"
                                                 : "not connected";
        al_draw_text(font, p->dim_text, x + w / 2, y + h / 2 - (float)al_get_font_line_height(font) / 2,
                     ALLEGRO_ALIGN_CENTRE, text);
    }
    al_set_clipping_rectangle(ox, oy, ow, oh);
}

// ---- mouse --------------------------------------------------------------------------

int _node_under(float mx, float my) {
    if (!v.graph || v.zoom <= 0) return -1;
    const float gx = (mx - v.canvas_x - v.pan_x) / v.zoom, gy = (my - v.canvas_y - v.pan_y) / v.zoom;
    return kvn_topology_node_at(v.graph, gx, gy, k_box_w, k_box_h);
}

bool _inside(float mx, float my) {
    return mx >= v.canvas_x && mx < v.canvas_x + v.canvas_w && my >= v.canvas_y &&
           my < v.canvas_y + v.canvas_h;
}

void _zoom_at(float mx, float my, float factor) {
    const float old = v.zoom;
    const float z = std::clamp(old * factor, k_zoom_min, k_zoom_max);
    if (z == old) return;
    // The graph point under the pointer stays under it.
    const float lx = mx - v.canvas_x, ly = my - v.canvas_y;
    v.pan_x = lx - (lx - v.pan_x) * z / old;
    v.pan_y = ly - (ly - v.pan_y) * z / old;
    v.zoom = z;
    _redraw();
}

void _on_mouse(int, const ALLEGRO_EVENT *ev, float mx, float my, void *) {
    switch (ev->type) {
    case ALLEGRO_EVENT_MOUSE_BUTTON_DOWN:
        if (!_inside(mx, my)) return;
        v.last_x = mx;
        v.last_y = my;
        // Only the left button holds the pointer while it is out of the
        // canvas, so only its drag pans: another's release may never come.
        if (ev->mouse.button == 1) {
            v.pressed = true;
            v.selected = _node_under(mx, my);
            _show_details();
            _redraw();
        }
        break;
    case ALLEGRO_EVENT_MOUSE_BUTTON_UP:
        if (ev->mouse.button == 1) v.pressed = false;
        break;
    case ALLEGRO_EVENT_MOUSE_AXES:
        if (v.pressed) {
            v.pan_x += mx - v.last_x;
            v.pan_y += my - v.last_y;
            _redraw();
        } else {
            const int h = _inside(mx, my) ? _node_under(mx, my) : -1;
            if (h != v.hovered) {
                v.hovered = h;
                _redraw();
            }
        }
        v.last_x = mx;
        v.last_y = my;
        break;
    default:
        break;
    }
}

int _on_wheel(int, float dz, float, float mx, float my, void *) {
    if (dz == 0 || !_inside(mx, my)) return 0;
    _zoom_at(mx, my, dz > 0 ? powf(k_zoom_step, dz) : powf(1 / k_zoom_step, -dz));
    return 1;
}

// ---- loading ------------------------------------------------------------------------

void _load_run(KVN_JOB *job) {
    auto *lj = static_cast<LOAD_JOB *>(job->user);
    static const struct {
        const char *service, *path, *key;
    } lists[] = {
        {"network", "/networks", "networks"},       {"network", "/subnets", "subnets"},
        {"network", "/routers", "routers"},         {"network", "/ports", "ports"},
        {"network", "/floatingips", "floatingips"}, {"compute", "/servers/detail", "servers"},
    };
    lj->answer = cJSON_CreateObject();
    if (!lj->answer) return;
    for (const auto &l : lists) {
        if (job->cancel && q_httpc_is_cancelled(job->cancel)) break;
        if (!kvn_session_has_service(lj->session, l.service)) continue;
        // Every page: a project of thousands of servers is drawn whole.
        KVN_RESULT *r = kvn_call_paged(lj->session, l.service, l.path, l.key, job->cancel);
        cJSON *items =
            r && kvn_result_ok(r) ? cJSON_DetachItemFromObjectCaseSensitive(r->json, l.key) : nullptr;
        if (items && cJSON_IsArray(items)) {
            cJSON_AddItemToObject(lj->answer, l.key, items);
        } else {
            cJSON_Delete(items);
            char one[1200];
            q_format(one, sizeof one, "%s%s: %s", lj->err[0] ? "; " : "", l.key,
                     r && r->error[0] ? r->error : "no answer");
            q_strcat(lj->err, sizeof lj->err, one);
        }
        kvn_result_free(&r);
    }
}

void _adopt(KVN_TOPO_GRAPH *graph, const char *err) {
    kvn_topology_free(&v.graph);
    v.graph = graph;
    if (v.graph) kvn_topology_layout(v.graph, k_box_w, k_box_h);
    v.labels.assign(v.graph ? v.graph->nodes.size() : 0, FITTED());
    v.details_lines.assign(v.graph ? v.graph->nodes.size() : 0, FITTED());
    v.selected = v.hovered = -1;
    _show_details();
    v.fit_pending = true;
    char text[1024];
    q_format(text, sizeof text, "%d external, %d routers, %d networks, %d servers %s%.700s",
             kvn_topology_count(v.graph, KVN_TOPO_EXTERNAL), kvn_topology_count(v.graph, KVN_TOPO_ROUTER),
             kvn_topology_count(v.graph, KVN_TOPO_NETWORK), kvn_topology_count(v.graph, KVN_TOPO_SERVER),
             err && err[0] ? " - errors: " : "", err ? err : "");
    _set_status(text);
    _redraw();
}

void _load_done(KVN_JOB *job) {
    auto *lj = static_cast<LOAD_JOB *>(job->user);
    if (lj->generation != v.generation) return;
    v.loading = 0;
    KVN_TOPO_GRAPH *g = kvn_topology_build(lj->answer);
    lj->answer = nullptr;
    _adopt(g, lj->err);
    if (lj->err[0])
        kvn_app_status(KVN_STATUS_ERROR, "topology %s", "loaded with errors");
    else
        kvn_app_status(KVN_STATUS_INFO, "topology %s", "loaded");
}

void _load_free(void *user) {
    auto *lj = static_cast<LOAD_JOB *>(user);
    cJSON_Delete(lj->answer);
    kvn_session_free(&lj->session);
    free(lj);
}

void _load(void) {
    KVN_APP *app = _app();
    if (!app || !app->session || v.loading) return;
    LOAD_JOB *lj = nullptr;
    Q_CALLOC(lj, 1, LOAD_JOB);
    if (!lj) return;
    v.generation++;
    v.loading = 1;
    lj->session = kvn_session_ref(app->session);
    lj->generation = v.generation;
    if (kvn_jobs_submit("loading topology", _load_run, _load_done, _load_free, lj, app->session_generation) <
        0)
        v.loading = 0;
    _redraw();
}

// ---- fit and export -----------------------------------------------------------------

void _fit_view(void) {
    if (!v.graph || v.canvas_w <= 0) return;
    const float gw = v.graph->width, gh = v.graph->height, w = v.canvas_w, h = v.canvas_h;
    float z = std::min((w - 20) / gw, (h - 40) / gh);
    z = std::clamp(z, 0.3f, 1.0f);
    v.zoom = z;
    v.pan_x = (w - gw * z) / 2;
    v.pan_y = std::max(10.0f, (h - 30 - gh * z) / 2);
    _redraw();
}

void _on_refresh(int, void *) {
    kvn_gui_topology_reload();
}

void _on_fit(int, void *) {
    _fit_view();
}

void _on_export_chosen(const char *path, void *) {
    kvn_gui_topology_export(path);
}

void _on_export(int, void *) {
    if (!v.graph) return;
    kvn_gui_choose_file("Export topology as PNG", KVN_CHOOSE_SAVE, "topology.png", _on_export_chosen,
                        nullptr);
}

bool _ends_png(const std::string &s) {
    return s.size() > 3 && strcasecmp(s.c_str() + s.size() - 4, ".png") == 0;
}

void _layout(float w, float h) {
    v.w = w;
    v.h = h;
    q_gui_widget_set_rect(v.ctx, v.refresh, 8, 8, 90, 26);
    q_gui_widget_set_rect(v.ctx, v.fit, 104, 8, 70, 26);
    q_gui_widget_set_rect(v.ctx, v.export_button, 180, 8, 120, 26);
    q_gui_widget_set_rect(v.ctx, v.status, 308, 8, std::max(1.0f, w - 316), 26);
    q_gui_widget_set_rect(v.ctx, v.canvas, 8, 42, std::max(1.0f, 0.7f * w - 24), std::max(1.0f, h - 50));
    q_gui_widget_set_rect(v.ctx, v.details, 0.7f * w - 8, 42, std::max(1.0f, 0.3f * w),
                          std::max(1.0f, h - 50));
}

} // namespace

int kvn_gui_topology_show(float x, float y, float w, float h) {
    KVN_APP *app = _app();
    if (!app || !app->gui) return -1;
    if (v.ctx != app->gui || v.window < 0 || !q_gui_get_window(app->gui, v.window)) {
        v.ctx = app->gui;
        v.window = q_gui_add_window(v.ctx, "Topology", x, y, w, h);
        if (v.window < 0) return -1;
        q_gui_window_set_flags(v.ctx, v.window, Q_GUI_WIN_FIXED | Q_GUI_WIN_NO_TITLEBAR);
        q_gui_window_set_zorder(v.ctx, v.window, Q_GUI_ZORDER_ALWAYS_BEHIND, 0);
        v.refresh = q_gui_add_button(v.ctx, v.window, "Refresh", 8, 8, 90, 26, 0, _on_refresh, nullptr);
        q_gui_widget_set_tooltip(v.ctx, v.refresh,
                                 "Reload networks, subnets, routers, ports, floating IPs and servers");
        v.fit = q_gui_add_button(v.ctx, v.window, "Fit", 104, 8, 70, 26, 0, _on_fit, nullptr);
        q_gui_widget_set_tooltip(v.ctx, v.fit, "Zoom to show the whole graph");
        v.export_button =
            q_gui_add_button(v.ctx, v.window, "Export PNG...", 180, 8, 120, 26, 0, _on_export, nullptr);
        q_gui_widget_set_tooltip(v.ctx, v.export_button, "Save the graph as a PNG image");
        v.status = q_gui_add_label(v.ctx, v.window, "", 308, 8, 100, 26, 0);
        v.canvas = q_gui_add_custom(v.ctx, v.window, 8, 42, 100, 100, _on_draw, nullptr);
        q_gui_custom_set_mouse(v.ctx, v.canvas, _on_mouse, nullptr);
        q_gui_custom_set_wheel(v.ctx, v.canvas, _on_wheel, nullptr);
        q_gui_widget_set_tooltip(v.ctx, v.canvas, "Click a node to inspect it, drag to pan, wheel to zoom");
        v.details = q_gui_add_syntaxview(v.ctx, v.window, 0, 42, 100, 100, Q_GUI_SYNTAX_PLAIN);
        _show_details();
        v.w = v.h = -1;
    }
    q_gui_window_set_rect(v.ctx, v.window, x, y, w, h);
    if (v.w != w || v.h != h) _layout(w, h);
    if (!q_gui_window_is_open(v.ctx, v.window)) q_gui_open_window(v.ctx, v.window);
    if (!v.graph && !v.loading) _load();
    return v.window;
}

void kvn_gui_topology_reload(void) {
    KVN_APP *app = _app();
    if (!app || !app->session || v.loading) return;
    _load();
}

void kvn_gui_topology_reset(void) {
    v.generation++;
    v.loading = 0;
    kvn_topology_free(&v.graph);
    v.labels.clear();
    v.details_lines.clear();
    v.selected = v.hovered = -1;
    v.fit_pending = false;
    if (v.ctx && v.window >= 0) {
        _set_status("");
        _show_details();
    }
    _redraw();
}

void kvn_gui_topology_tick(void) {
    if (v.fit_pending && v.canvas_w > 100) {
        v.fit_pending = false;
        _fit_view();
    }
}

int kvn_gui_topology_export(const char *path) {
    if (!path || !*path) return -1;
    if (!v.graph) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "nothing to export: the topology is not loaded");
        return -1;
    }
    std::string name = path;
    if (!_ends_png(name)) name += ".png";
    const int bw = (int)ceilf(v.graph->width + 40), bh = (int)ceilf(v.graph->height + 40);
    ALLEGRO_STATE state;
    al_store_state(&state, ALLEGRO_STATE_TARGET_BITMAP | ALLEGRO_STATE_NEW_BITMAP_PARAMETERS);
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP *bmp = al_create_bitmap(bw, bh);
    if (!bmp) {
        al_restore_state(&state);
        kvn_app_status(KVN_STATUS_ERROR, "cannot create a %dx%d bitmap", bw, bh);
        return -1;
    }
    al_set_target_bitmap(bmp);
    const KVN_PALETTE *p = kvn_theme_current();
    al_clear_to_color(p->background);
    DRAW d;
    d.g = v.graph;
    d.ox = 20;
    d.oy = 20;
    d.zoom = 1;
    d.selected = d.hovered = -1;
    d.clip_x0 = d.clip_y0 = 0;
    d.clip_x1 = (float)bw;
    d.clip_y1 = (float)bh;
    d.cache = false;
    _draw_graph(d, p, _font());
    al_restore_state(&state);
    // Written beside the target and renamed over it, so a failed save never
    // leaves a partial picture under the chosen name.
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string ext = name.substr(name.rfind('.'));
    char tmp_name[64];
    q_format(tmp_name, sizeof tmp_name, ".kvn-topology-%d.tmp", (int)getpid());
    const std::string tmp = dir + tmp_name + ext;
    const bool saved = al_save_bitmap(tmp.c_str(), bmp) && rename(tmp.c_str(), name.c_str()) == 0;
    al_destroy_bitmap(bmp);
    if (!saved) {
        unlink(tmp.c_str());
        kvn_app_status(KVN_STATUS_ERROR, "cannot save %s", name.c_str());
        return -1;
    }
    kvn_app_status(KVN_STATUS_INFO, "topology saved to %s", name.c_str());
    return 0;
}

void kvn_gui_topology_destroy(void) {
    kvn_topology_free(&v.graph);
    v = VIEW();
}

void kvn_gui_topology_ids(KVN_TOPOLOGY_IDS *out) {
    if (!out) return;
    out->window = v.window;
    out->refresh = v.refresh;
    out->fit = v.fit;
    out->export_button = v.export_button;
    out->status = v.status;
    out->canvas = v.canvas;
    out->details = v.details;
    out->graph = v.graph;
    out->pan_x = v.pan_x;
    out->pan_y = v.pan_y;
    out->zoom = v.zoom;
    out->selected = v.selected;
    out->hovered = v.hovered;
    out->loading = v.loading;
}

void kvn_gui_topology_set_graph(KVN_TOPO_GRAPH *graph) {
    v.generation++;
    v.loading = 0;
    _adopt(graph, nullptr);
}
