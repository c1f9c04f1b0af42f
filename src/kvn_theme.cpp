#include "kvn_theme.h"

#include "kvn_app.h"
#include "q_common.h"
#include "q_gui.h"

namespace {
struct RGB {
    unsigned char r, g, b;
};

// The twenty colours in the palette record's order.
const RGB k_dark[20] = {{22, 24, 29},    {36, 39, 46},   {48, 53, 63},    {58, 72, 96},    {62, 67, 78},
                        {90, 150, 235},  {80, 145, 240}, {222, 226, 233}, {140, 147, 160}, {70, 190, 110},
                        {235, 175, 60},  {235, 85, 85},  {80, 145, 240},  {70, 190, 110},  {235, 175, 60},
                        {200, 100, 220}, {235, 85, 85},  {60, 195, 200},  {170, 170, 90},  {240, 130, 170}};
const RGB k_light[20] = {{232, 235, 240}, {250, 251, 253}, {225, 232, 245}, {200, 215, 240}, {190, 196, 206},
                         {60, 120, 210},  {40, 110, 210},  {25, 30, 38},    {110, 118, 130}, {30, 150, 80},
                         {210, 140, 20},  {205, 50, 50},   {80, 145, 240},  {70, 190, 110},  {235, 175, 60},
                         {200, 100, 220}, {235, 85, 85},   {60, 195, 200},  {170, 170, 90},  {240, 130, 170}};

// Main thread only, like every window that reads them.
KVN_PALETTE g_current;
bool g_current_set = false;
Q_GUI_CHART_PALETTE g_chart;

ALLEGRO_COLOR _rgb(const RGB &c) {
    return al_map_rgb(c.r, c.g, c.b);
}

void _refresh_chart(void) {
    const KVN_PALETTE *p = kvn_theme_current();
    g_chart.background = p->panel;
    g_chart.frame = p->border;
    g_chart.text = p->text;
    g_chart.dim_text = p->dim_text;
    g_chart.blue = p->accent;
    g_chart.green = p->ok;
    g_chart.amber = p->warning;
    g_chart.red = p->error;
    for (int i = 0; i < Q_GUI_CHART_SERIES_MAX && i < 8; i++)
        g_chart.series[i] = p->series[i];
}
} // namespace

KVN_PALETTE kvn_theme_palette(int theme) {
    const bool light = theme == KVN_THEME_LIGHT;
    const RGB *c = light ? k_light : k_dark;
    KVN_PALETTE p;
    q_strcpy(p.name, sizeof p.name, light ? "Light" : "Dark");
    ALLEGRO_COLOR *slots[12] = {&p.background, &p.panel,        &p.panel_hover, &p.panel_active,
                                &p.border,     &p.border_hover, &p.accent,      &p.text,
                                &p.dim_text,   &p.ok,           &p.warning,     &p.error};
    for (int i = 0; i < 12; i++)
        *slots[i] = _rgb(c[i]);
    for (int i = 0; i < 8; i++)
        p.series[i] = _rgb(c[12 + i]);
    return p;
}

const KVN_PALETTE *kvn_theme_current(void) {
    if (!g_current_set) {
        g_current = kvn_theme_palette(KVN_THEME_DARK);
        g_current_set = true;
    }
    return &g_current;
}

void kvn_theme_apply(Q_GUI_CTX *ctx, int theme) {
    g_current = kvn_theme_palette(theme);
    g_current_set = true;
    _refresh_chart();
    if (!ctx) return;
    const KVN_PALETTE &p = g_current;
    const Q_GUI_THEME t = q_gui_make_theme(p.panel, p.panel_hover, p.panel_active, p.border, p.border_hover,
                                           p.accent, p.text, p.text, p.text, 1.0f, 4.0f, 4.0f);
    // Windows and widgets made before keep their copies until rebuilt.
    q_gui_set_theme(ctx, &t);
    ctx->style.tooltip_bg = p.panel_hover;
    ctx->style.tooltip_border = p.border;
    ctx->style.tooltip_text = p.text;
    q_gui_request_redraw(ctx);
}

const Q_GUI_CHART_PALETTE *kvn_theme_chart_palette(void) {
    _refresh_chart();
    return &g_chart;
}

int kvn_theme_add_chart(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_CHART *chart) {
    Q_GUARD(chart, -1);
    chart->palette = kvn_theme_chart_palette();
    return q_gui_chart_add(ctx, window, x, y, w, h, chart);
}

Q_GUI_THEME kvn_theme_flat_theme(ALLEGRO_COLOR text) {
    const KVN_PALETTE *p = kvn_theme_current();
    return q_gui_make_theme(p->panel, p->panel, p->panel, p->panel, p->panel, p->panel, text, text, text,
                            0.0f, 0.0f, 0.0f);
}

Q_GUI_THEME kvn_theme_status_theme(int level) {
    const KVN_PALETTE *p = kvn_theme_current();
    const ALLEGRO_COLOR text = level == KVN_STATUS_ERROR     ? p->error
                               : level == KVN_STATUS_WARNING ? p->warning
                                                             : p->text;
    return kvn_theme_flat_theme(text);
}

namespace {
bool _same(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

// A colour of the old palette becomes the colour of the same role in the
// current one; colours of no role (a widget's own accent) stay.
void _remap(ALLEGRO_COLOR *c, const KVN_PALETTE *from, const KVN_PALETTE *to) {
    static ALLEGRO_COLOR KVN_PALETTE::*const roles[] = {
        &KVN_PALETTE::background,   &KVN_PALETTE::panel,   &KVN_PALETTE::panel_hover,
        &KVN_PALETTE::panel_active, &KVN_PALETTE::border,  &KVN_PALETTE::border_hover,
        &KVN_PALETTE::accent,       &KVN_PALETTE::text,    &KVN_PALETTE::dim_text,
        &KVN_PALETTE::ok,           &KVN_PALETTE::warning, &KVN_PALETTE::error};
    for (ALLEGRO_COLOR KVN_PALETTE::*r : roles)
        if (_same(*c, from->*r)) {
            *c = to->*r;
            return;
        }
}

void _remap_theme(Q_GUI_THEME *t, const KVN_PALETTE *from, const KVN_PALETTE *to) {
    for (ALLEGRO_COLOR *c :
         {&t->bg_normal, &t->bg_hover, &t->bg_active, &t->border_normal, &t->border_hover, &t->border_active,
          &t->text_normal, &t->text_hover, &t->text_active, &t->selection_color})
        _remap(c, from, to);
}
} // namespace

void kvn_theme_restyle(Q_GUI_CTX *ctx, const KVN_PALETTE *from) {
    if (!ctx || !from) return;
    const KVN_PALETTE *to = kvn_theme_current();
    for (int i = 0; i < ctx->window_count; i++) {
        Q_GUI_WINDOW *w = ctx->windows[i];
        _remap_theme(&w->theme, from, to);
        _remap_theme(&w->tb_theme, from, to);
        _remap_theme(&w->tb_close_theme, from, to);
        for (int k = 0; k < w->widget_count; k++)
            _remap_theme(&w->widgets[k]->theme, from, to);
    }
    q_gui_request_redraw(ctx);
}
