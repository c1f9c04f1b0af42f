// q_gui charts: a gauge, a horizontal bar chart and a line chart over time,
// each drawn by a custom widget from a record the application fills.
//
// Every figure in a record may be NaN, infinite or out of range (a quota the
// cloud did not report, a corrupt history line): the geometry is computed
// from finite values only and clamped, so a bad figure shows as "--" or is
// left out, never as an arc past its track or a division by zero.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

#include "q_common.h"
#include "q_gui_chart.h"
#include "q_gui_internal.h"

namespace {
constexpr double k_pi = 3.14159265358979323846;
// Every arc starts down and to the left and runs clockwise over three
// quarters of a turn, leaving the opening at the bottom.
constexpr double k_arc_start = 0.75 * k_pi;
constexpr double k_arc_span = 1.5 * k_pi;
// The lowest point of the arc's track lies this far below its centre, in
// radii (sin 45 degrees).
constexpr double k_arc_drop = 0.70710678118654752;
} // namespace

// =============================================================================
// Palette
// =============================================================================

const Q_GUI_CHART_PALETTE *q_gui_chart_default_palette(void) {
    static Q_GUI_CHART_PALETTE p;
    static bool built = false;
    if (!built) {
        p.background = al_map_rgb(34, 37, 44);
        p.frame = al_map_rgb(62, 67, 78);
        p.text = al_map_rgb(222, 226, 233);
        p.dim_text = al_map_rgb(140, 147, 160);
        p.blue = al_map_rgb(77, 144, 254);
        p.green = al_map_rgb(62, 190, 120);
        p.amber = al_map_rgb(240, 170, 60);
        p.red = al_map_rgb(232, 84, 84);
        static const unsigned char series[Q_GUI_CHART_SERIES_MAX][3] = {
            {77, 144, 254},  {62, 190, 120}, {240, 170, 60},  {232, 84, 84},
            {170, 120, 240}, {60, 200, 210}, {240, 120, 190}, {180, 190, 90}};
        for (int i = 0; i < Q_GUI_CHART_SERIES_MAX; i++)
            p.series[i] = al_map_rgb(series[i][0], series[i][1], series[i][2]);
        built = true;
    }
    return &p;
}

static const Q_GUI_CHART_PALETTE *_palette(const Q_GUI_CHART *c) {
    return c->palette ? c->palette : q_gui_chart_default_palette();
}

static ALLEGRO_COLOR _role(const Q_GUI_CHART_PALETTE *p, int role) {
    switch (role) {
    case Q_GUI_CHART_GREEN:
        return p->green;
    case Q_GUI_CHART_AMBER:
        return p->amber;
    case Q_GUI_CHART_RED:
        return p->red;
    case Q_GUI_CHART_DIM:
        return p->dim_text;
    default:
        return p->blue;
    }
}

// =============================================================================
// The record
// =============================================================================

// The counts as far as they can be trusted: the record is the application's
// and may hold anything.
static int _bar_count(const Q_GUI_CHART *c) {
    return std::clamp(c->bar_count, 0, Q_GUI_CHART_BARS_MAX);
}
static int _series_count(const Q_GUI_CHART *c) {
    return std::clamp(c->series_count, 0, Q_GUI_CHART_SERIES_MAX);
}
static int _point_count(const Q_GUI_CHART_SERIES *s) {
    return s ? std::clamp(s->count, 0, Q_GUI_CHART_POINTS_MAX) : 0;
}

// Copies text cut to fit cap - 1 bytes without splitting a character.
static void _copy_cut(char *dst, size_t cap, const char *text) {
    const size_t n = q_gui_utf8_cut(text, strlen(text), cap - 1);
    memcpy(dst, text, n);
    dst[n] = 0;
}

void q_gui_chart_gauge(Q_GUI_CHART *chart, double used, double limit, double reserved) {
    Q_GUARD_VOID(chart);
    chart->used = used;
    chart->limit = limit;
    chart->reserved = reserved;
    chart->has_data = 1;
}

void q_gui_chart_bars_clear(Q_GUI_CHART *chart) {
    Q_GUARD_VOID(chart);
    chart->bar_count = 0;
}

int q_gui_chart_bar_add(Q_GUI_CHART *chart, const char *label, double value, int color) {
    Q_GUARD(chart, -1);
    Q_GUARD(label, -1);
    // Compared as stored: two long labels that differ only past the cut
    // would otherwise show as two bars of the same name.
    char cut[Q_GUI_CHART_BAR_LABEL_MAX];
    _copy_cut(cut, sizeof cut, label);
    const int n = _bar_count(chart);
    for (int i = 0; i < n; i++) {
        if (strcmp(chart->bars[i].label, cut) != 0) continue;
        chart->bars[i].value += value;
        chart->has_data = 1;
        return i;
    }
    if (n >= Q_GUI_CHART_BARS_MAX) return -1;
    Q_GUI_CHART_BAR *b = &chart->bars[n];
    memcpy(b->label, cut, sizeof cut);
    b->value = value;
    b->color = color;
    chart->bar_count = n + 1;
    chart->has_data = 1;
    return n;
}

Q_GUI_CHART_SERIES *q_gui_chart_series(Q_GUI_CHART *chart, const char *name) {
    Q_GUARD(chart, nullptr);
    Q_GUARD(name, nullptr);
    char cut[Q_GUI_CHART_SERIES_NAME_MAX];
    _copy_cut(cut, sizeof cut, name);
    const int n = _series_count(chart);
    for (int i = 0; i < n; i++)
        if (chart->series[i] && !strcmp(chart->series[i]->name, cut)) return chart->series[i];
    if (n >= Q_GUI_CHART_SERIES_MAX) return nullptr;
    Q_GUI_CHART_SERIES *s = nullptr;
    Q_CALLOC(s, 1, Q_GUI_CHART_SERIES);
    if (!s) return nullptr;
    memcpy(s->name, cut, sizeof cut);
    chart->series[n] = s;
    chart->series_count = n + 1;
    return s;
}

int q_gui_chart_point_add(Q_GUI_CHART_SERIES *series, double x, double y) {
    Q_GUARD(series, -1);
    const int n = _point_count(series);
    if (n >= Q_GUI_CHART_POINTS_MAX) return -1;
    series->x[n] = x;
    series->y[n] = y;
    series->count = n + 1;
    return n;
}

void q_gui_chart_clear_series(Q_GUI_CHART *chart) {
    Q_GUARD_VOID(chart);
    // Every slot, not only the counted ones: a count the caller lowered must
    // not leak the series above it.
    for (Q_GUI_CHART_SERIES *&s : chart->series)
        Q_FREE(s);
    chart->series_count = 0;
}

// =============================================================================
// Printing values
// =============================================================================

size_t q_gui_chart_format_value(double value, const char *units, char *out, size_t size) {
    if (!out || size == 0) return 0;
    const char *u = units ? units : "";
    if (!std::isfinite(value)) return q_format(out, size, "--");
    const double mag = fabs(value);
    if (!strcmp(u, "MiB") && mag >= 1024) return q_format(out, size, "%.1f GiB", value / 1024);
    if (!strcmp(u, "GiB") && mag >= 1024) return q_format(out, size, "%.1f TiB", value / 1024);
    if (!strcmp(u, "B")) {
        if (mag < 1024) return q_format(out, size, "%.0f %s", value + 0.0, "B");
        static const char *const steps[] = {"KiB", "MiB", "GiB", "TiB"};
        double v = value / 1024;
        int i = 0;
        while (fabs(v) >= 1024 && i < 3) {
            v /= 1024;
            i++;
        }
        return q_format(out, size, "%.1f %s", v, steps[i]);
    }
    const char *sep = u[0] ? " " : "";
    const double whole = nearbyint(value);
    // Adding 0.0 turns a rounded -0 into 0: a tiny negative error prints "0".
    if (fabs(value - whole) <= 1e-9) return q_format(out, size, "%.0f%s%s", whole + 0.0, sep, u);
    return q_format(out, size, "%.2f%s%s", value, sep, u);
}

size_t q_gui_chart_format_x(double x, int time_axis, double span, char *out, size_t size) {
    if (!out || size == 0) return 0;
    if (!std::isfinite(x)) return q_format(out, size, "--");
    // time_t cannot hold every double; such times are not dates anyway.
    if (!time_axis || fabs(x) > 1e15) return q_format(out, size, "%g", x);
    const time_t t = (time_t)floor(x);
    struct tm tm;
#ifdef _WIN32
    if (localtime_s(&tm, &t) != 0) return q_format(out, size, "%g", x);
#else
    if (!localtime_r(&t, &tm)) return q_format(out, size, "%g", x);
#endif
    const size_t n = span > 1728000 ? strftime(out, size, "%m-%d", &tm)
                     : span > 86400 ? strftime(out, size, "%m-%d %H:%M", &tm)
                                    : strftime(out, size, "%H:%M", &tm);
    if (n == 0) out[0] = 0;
    return n;
}

// =============================================================================
// Gauge
// =============================================================================

void q_gui_chart_gauge_view(const Q_GUI_CHART *chart, float line_h, float w, float h,
                            Q_GUI_CHART_GAUGE_VIEW *out) {
    Q_GUARD_VOID(out);
    memset(out, 0, sizeof *out);
    out->used_color = Q_GUI_CHART_DIM;
    Q_GUARD_VOID(chart);
    float r = std::min((h - 3 * line_h - 16) / 2, 0.36f * w);
    if (!(r >= 8)) r = 8; // also when a size was NaN
    out->radius = r;
    out->thickness = 0.28f * r;
    out->cx = w / 2;
    // Centred in the room between the title and the caption line.
    const float top = 4 + line_h + 4, bottom = h - line_h - 8, reach = r + out->thickness / 2;
    const float drawn_h = reach * (float)(1 + k_arc_drop);
    out->cy = top + std::max(0.0f, (bottom - top - drawn_h) / 2) + reach;

    const char *units = chart->units;
    const double used = chart->used, limit = chart->limit;
    const double reserved = std::isfinite(chart->reserved) && chart->reserved > 0 ? chart->reserved : 0;
    char u[48], l[48];
    q_gui_chart_format_value(used, units, u, sizeof u);
    if (limit < 0 || limit == HUGE_VAL) {
        out->used_fraction = 1;
        out->used_color = Q_GUI_CHART_BLUE;
        q_format(out->caption, sizeof out->caption, "%s / unlimited", u);
        return;
    }
    q_gui_chart_format_value(limit, units, l, sizeof l);
    q_format(out->caption, sizeof out->caption, "%s / %s", u, l);
    if (!std::isfinite(used) || std::isnan(limit)) return; // figures to read, no arc to draw
    if (limit == 0) {
        const bool over = used > 0;
        out->used_fraction = over ? 1 : 0;
        out->used_color = over ? Q_GUI_CHART_RED : Q_GUI_CHART_GREEN;
        q_format(out->percent, sizeof out->percent, "%s", over ? "100%" : "0%");
        return;
    }
    const double f = used / limit;
    if (!std::isfinite(f)) { // a limit so small that the share overflows
        out->used_fraction = 1;
        out->used_color = Q_GUI_CHART_RED;
        q_format(out->percent, sizeof out->percent, ">100%%");
        return;
    }
    if (reserved > 0) out->reserved_fraction = std::clamp((used + reserved) / limit, 0.0, 1.0);
    out->used_fraction = f > 0.001 ? std::min(f, 1.0) : 0;
    out->used_color = f >= 0.9 ? Q_GUI_CHART_RED : f >= 0.7 ? Q_GUI_CHART_AMBER : Q_GUI_CHART_GREEN;
    q_format(out->percent, sizeof out->percent, "%.0f%%", 100 * f + 0.0);
}

static void _draw_gauge(const Q_GUI_CHART *c, const Q_GUI_CHART_PALETTE *p, ALLEGRO_FONT *font, float x,
                        float y, float w, float h) {
    const float lh = (float)al_get_font_line_height(font);
    Q_GUI_CHART_GAUGE_VIEW g;
    q_gui_chart_gauge_view(c, lh, w, h, &g);
    const float cx = x + g.cx, cy = y + g.cy;
    al_draw_arc(cx, cy, g.radius, k_arc_start, k_arc_span, p->frame, g.thickness);
    // The reserved share is a thinner band, so it reads as a reservation and
    // not as more use where the used arc is amber too.
    if (g.reserved_fraction > 0)
        al_draw_arc(cx, cy, g.radius, k_arc_start, k_arc_span * g.reserved_fraction, p->amber,
                    g.thickness * 0.45f);
    const ALLEGRO_COLOR col = _role(p, g.used_color);
    if (g.used_fraction > 0)
        al_draw_arc(cx, cy, g.radius, k_arc_start, k_arc_span * g.used_fraction, col, g.thickness);
    if (g.percent[0]) al_draw_text(font, col, cx, cy - lh / 2, ALLEGRO_ALIGN_CENTRE, g.percent);
    q_gui_draw_text_fit(font, col, x + w / 2, y + h - lh - 6, w - 12, 1, g.caption);
}

// =============================================================================
// Bars
// =============================================================================

static void _draw_bars(const Q_GUI_CHART *c, const Q_GUI_CHART_PALETTE *p, ALLEGRO_FONT *font, float x,
                       float y, float w, float h) {
    const int n = _bar_count(c);
    const float lh = (float)al_get_font_line_height(font);
    float widest = 0;
    double top_value = 0;
    bool any = false;
    for (int i = 0; i < n; i++) {
        widest = std::max(widest, (float)al_get_text_width(font, c->bars[i].label));
        const double v = c->bars[i].value;
        if (!std::isfinite(v)) continue;
        top_value = any ? std::max(top_value, v) : v;
        any = true;
    }
    const float label_w = std::min(0.4f * w, widest) + 18;
    const float area_x = x + label_w, area_w = std::max(0.0f, w - 70 - label_w);
    const float rows_y = y + lh + 10;
    const float row_h = std::min(lh + 10, (h - (lh + 10) - 6) / (float)n);
    if (!(row_h > 0)) return;
    // Rows thinner than a line of text would smear their labels into one
    // another: label every k-th row only, in the label column.
    const int every = row_h >= lh ? 1 : (int)ceilf(lh / row_h);
    const float inset = std::min(3.0f, std::max(0.0f, (row_h - 1) / 2));
    for (int i = 0; i < n; i++) {
        const Q_GUI_CHART_BAR *b = &c->bars[i];
        const float ry = rows_y + row_h * (float)i;
        float len = 2;
        if (top_value > 0 && std::isfinite(b->value))
            len = std::max(2.0f, (float)(b->value / top_value * area_w));
        const int role =
            b->color >= Q_GUI_CHART_BLUE && b->color <= Q_GUI_CHART_RED ? b->color : Q_GUI_CHART_BLUE;
        al_draw_filled_rounded_rectangle(area_x, ry + inset, area_x + len, ry + row_h - inset, 3, 3,
                                         _role(p, role));
        if (i % every != 0) continue;
        const float ty = ry + (row_h - lh) / 2;
        q_gui_draw_text_fit(font, p->text, x + 8, ty, label_w - 14, 0, b->label);
        // A value beside a thin bar would cover the bars of the rows below.
        if (every > 1) continue;
        char v[48];
        q_gui_chart_format_value(b->value, c->units, v, sizeof v);
        const float vx = area_x + len + 6;
        q_gui_draw_text_fit(font, p->dim_text, vx, ty, x + w - 4 - vx, 0, v);
    }
}

// =============================================================================
// Line chart
// =============================================================================

// The range of the finite values of one coordinate over every series.
static bool _range(const Q_GUI_CHART *c, bool of_y, double *lo, double *hi) {
    bool any = false;
    for (int s = 0; s < _series_count(c); s++) {
        const Q_GUI_CHART_SERIES *se = c->series[s];
        for (int i = 0; i < _point_count(se); i++) {
            if (!std::isfinite(se->x[i]) || !std::isfinite(se->y[i])) continue;
            const double v = of_y ? se->y[i] : se->x[i];
            *lo = any ? std::min(*lo, v) : v;
            *hi = any ? std::max(*hi, v) : v;
            any = true;
        }
    }
    return any;
}

// A grid step of 1, 2 or 5 times a power of ten giving four to eight lines;
// lo and hi are widened to multiples of it.
static void _y_axis(double lo, double hi, double *out_lo, double *out_hi, double *out_step) {
    *out_lo = lo;
    *out_hi = hi;
    *out_step = 0;
    const double s = (hi - lo) / 4;
    if (!std::isfinite(s) || s <= 0) return;
    double g = pow(10, floor(log10(s)));
    if (!std::isfinite(g) || g <= 0) return;
    const double k = s / g;
    if (k >= 1.5) g *= k < 3 ? 2 : k < 7 ? 5 : 10;
    // The small slack keeps a quotient like 2.9999999999999996 from adding
    // a needless step.
    const double top = ceil(hi / g - 1e-9) * g;
    const double bottom = lo < 0 ? floor(lo / g + 1e-9) * g : lo;
    if (!std::isfinite(top) || !std::isfinite(bottom)) return;
    *out_lo = bottom;
    *out_hi = std::max(top, hi);
    *out_step = g;
}

static float _text_w(ALLEGRO_FONT *font, const char *s) {
    return font ? (float)al_get_text_width(font, s) : 0;
}

// What values are divided by to read in the unit their labels print in, so
// that grid lines fall on round numbers of GiB rather than of MiB.
static double _label_scale(const char *units, double lo, double hi) {
    const double mag = std::max(fabs(lo), fabs(hi));
    if ((!strcmp(units, "MiB") || !strcmp(units, "GiB")) && mag >= 1024) return 1024;
    double f = 1;
    if (!strcmp(units, "B"))
        for (int i = 0; i < 4 && mag / f >= 1024; i++)
            f *= 1024;
    return f;
}

// The grid lines of an axis: every step from lo to hi, or lo and hi alone
// when no step could be found.
static int _grid_lines(const Q_GUI_CHART_LINE_VIEW *v) {
    return v->y_step > 0 ? std::min(64, (int)floor((v->y_hi - v->y_lo) / v->y_step + 1e-6)) + 1 : 2;
}
static double _grid_value(const Q_GUI_CHART_LINE_VIEW *v, int k) {
    return v->y_step > 0 ? v->y_lo + v->y_step * k : (k ? v->y_hi : v->y_lo);
}

// Room for a series' colour mark before its read-out line.
static float _mark_w(float lh) {
    return floorf(lh * 0.6f) + 6;
}

void q_gui_chart_line_view(const Q_GUI_CHART *chart, ALLEGRO_FONT *font, float w, float h,
                           Q_GUI_CHART_LINE_VIEW *out) {
    Q_GUARD_VOID(out);
    memset(out, 0, sizeof *out);
    Q_GUARD_VOID(chart);
    const float lh = font ? (float)al_get_font_line_height(font) : 12;
    out->plot_x0 = 64;
    out->plot_x1 = w - 12;
    out->plot_y0 = lh + 12;
    out->plot_y1 = h - (2 * lh + 14);
    if (!chart->has_data) return;
    double ylo = 0, yhi = 0;
    if (!_range(chart, true, &ylo, &yhi)) return;
    double xlo = 0, xhi = 0;
    _range(chart, false, &xlo, &xhi);
    if (chart->has_x_range && std::isfinite(chart->x_min) && std::isfinite(chart->x_max) &&
        chart->x_max >= chart->x_min) {
        xlo = chart->x_min;
        xhi = chart->x_max;
    }
    if (!(xhi > xlo)) xhi = xlo + 1;
    ylo = std::min(0.0, ylo);
    if (!(yhi > ylo)) yhi = ylo + 1;
    out->x_lo = xlo;
    out->x_hi = xhi;
    const double scale = _label_scale(chart->units, ylo, yhi);
    _y_axis(ylo / scale, yhi / scale, &out->y_lo, &out->y_hi, &out->y_step);
    out->y_lo *= scale;
    out->y_hi *= scale;
    out->y_step *= scale;
    // Labels wider than the usual margin push the plot right rather than
    // being cut, up to two fifths of the chart.
    float label_w = 0;
    for (int k = 0; k < _grid_lines(out); k++) {
        char label[48];
        q_gui_chart_format_value(_grid_value(out, k), chart->units, label, sizeof label);
        label_w = std::max(label_w, _text_w(font, label));
    }
    out->plot_x0 = std::max(64.0f, std::min(label_w + 14, 0.4f * w));
    if (!(out->plot_x1 - out->plot_x0 >= 20) || !(out->plot_y1 - out->plot_y0 >= 20)) return;
    out->plotted = 1;

    const float hx = chart->hover_x;
    if (!(hx >= out->plot_x0 && hx <= out->plot_x1)) return;
    out->hover = 1;
    out->hover_x = hx;
    const double span = xhi - xlo;
    const double at = xlo + (double)(hx - out->plot_x0) / (double)(out->plot_x1 - out->plot_x0) * span;
    q_gui_chart_format_x(at, chart->time_axis, span, out->lines[0], sizeof out->lines[0]);
    out->line_count = 1;
    float text_w = _text_w(font, out->lines[0]);
    const float mark = _mark_w(lh);
    for (int s = 0; s < _series_count(chart); s++) {
        const Q_GUI_CHART_SERIES *se = chart->series[s];
        int best = -1;
        double best_d = 0;
        for (int i = 0; i < _point_count(se); i++) {
            if (!std::isfinite(se->x[i]) || !std::isfinite(se->y[i])) continue;
            const double d = fabs(se->x[i] - at);
            if (best < 0 || d < best_d) {
                best = i;
                best_d = d;
            }
        }
        if (best < 0) continue;
        char v[48];
        q_gui_chart_format_value(se->y[best], chart->units, v, sizeof v);
        char *line = out->lines[out->line_count++];
        q_format(line, sizeof out->lines[0], "%s: %s", se->name, v);
        text_w = std::max(text_w, mark + _text_w(font, line));
    }
    const float pad = 6;
    out->box_w = text_w + 2 * pad;
    out->box_h = lh * (float)out->line_count + 2 * pad;
    // Right of the pointer while it fits the plot, else left of it; always
    // inside the chart.
    float bx = hx + 10;
    if (bx + out->box_w > out->plot_x1) bx = hx - 10 - out->box_w;
    out->box_x = std::max(2.0f, std::min(bx, w - out->box_w - 2));
    out->box_y = std::max(2.0f, std::min(out->plot_y0 + 6, h - out->box_h - 2));
}

// Draws the finite points of a series as polylines broken where a point is
// not a number.
static void _draw_series(const Q_GUI_CHART_SERIES *se, ALLEGRO_COLOR col, float ox, float oy,
                         const Q_GUI_CHART_LINE_VIEW *v) {
    const int n = _point_count(se);
    const double sx = (v->plot_x1 - v->plot_x0) / (v->x_hi - v->x_lo);
    const double sy = (v->plot_y1 - v->plot_y0) / (v->y_hi - v->y_lo);
    std::vector<float> run;
    run.reserve(2 * (size_t)n);
    auto flush = [&]() {
        // Round joins cost a fan of triangles per point; past the length
        // where dots are drawn the points lie too close for a bevel to show.
        if (run.size() >= 4)
            al_draw_polyline(run.data(), 2 * sizeof(float), (int)(run.size() / 2),
                             n < 60 ? ALLEGRO_LINE_JOIN_ROUND : ALLEGRO_LINE_JOIN_BEVEL,
                             ALLEGRO_LINE_CAP_ROUND, col, 2, 1);
        else if (run.size() == 2)
            al_draw_filled_circle(run[0], run[1], 2.5f, col);
        run.clear();
    };
    for (int i = 0; i < n; i++) {
        if (!std::isfinite(se->x[i]) || !std::isfinite(se->y[i])) {
            flush();
            continue;
        }
        // Points far outside a fixed range are clipped anyway; keeping them
        // near the plot keeps the float arithmetic sane.
        const double px = std::clamp(ox + v->plot_x0 + (se->x[i] - v->x_lo) * sx, -1e5, 1e5);
        const double py = std::clamp(oy + v->plot_y1 - (se->y[i] - v->y_lo) * sy, -1e5, 1e5);
        run.push_back((float)px);
        run.push_back((float)py);
        if (n < 60) al_draw_filled_circle((float)px, (float)py, 2.5f, col);
    }
    flush();
}

static void _draw_line(const Q_GUI_CHART *c, const Q_GUI_CHART_PALETTE *p, ALLEGRO_FONT *font, float x,
                       float y, float w, bool hovered, const Q_GUI_CHART_LINE_VIEW *v) {
    const float lh = (float)al_get_font_line_height(font);
    const float px0 = x + v->plot_x0, px1 = x + v->plot_x1, py0 = y + v->plot_y0, py1 = y + v->plot_y1;
    // Horizontal grid with the y labels.
    const double yspan = v->y_hi - v->y_lo;
    for (int k = 0; k < _grid_lines(v); k++) {
        const double val = _grid_value(v, k);
        const float gy = (float)(py1 - (val - v->y_lo) / yspan * (py1 - py0));
        al_draw_line(px0, floorf(gy) + 0.5f, px1, floorf(gy) + 0.5f, p->frame, 1);
        char label[48];
        q_gui_chart_format_value(val, c->units, label, sizeof label);
        q_gui_draw_text_fit(font, p->dim_text, px0 - 6, gy - lh / 2, v->plot_x0 - 8, 2, label);
    }
    al_draw_line(floorf(px0) + 0.5f, py0, floorf(px0) + 0.5f, py1, p->frame, 1);

    // X labels, as many as fit side by side.
    const double span = v->x_hi - v->x_lo;
    char a[64], b[64];
    q_gui_chart_format_x(v->x_lo, c->time_axis, span, a, sizeof a);
    q_gui_chart_format_x(v->x_hi, c->time_axis, span, b, sizeof b);
    const float label_w = std::max(_text_w(font, a), _text_w(font, b));
    const int ticks = std::clamp((int)((px1 - px0) / (label_w + 30)), 2, 6);
    for (int i = 0; i < ticks; i++) {
        const double f = (double)i / (ticks - 1);
        const float tx = px0 + (float)f * (px1 - px0);
        char label[64];
        q_gui_chart_format_x(v->x_lo + f * span, c->time_axis, span, label, sizeof label);
        const float tw = _text_w(font, label);
        const float lx = std::max(x + 2, std::min(tx - tw / 2, x + w - 2 - tw));
        al_draw_line(floorf(tx) + 0.5f, py1, floorf(tx) + 0.5f, py1 + 4, p->frame, 1);
        // A little lower than the tick, clear of the lowest y label.
        al_draw_text(font, p->dim_text, lx, py1 + 7, 0, label);
    }

    // Series, clipped to the plot (with room for the dots on its edges).
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    q_gui_clip_rect(px0 - 3, py0 - 3, px1 - px0 + 6, py1 - py0 + 6, ox, oy, ow, oh);
    const int ns = _series_count(c);
    for (int s = 0; s < ns; s++)
        if (c->series[s]) _draw_series(c->series[s], p->series[s % Q_GUI_CHART_SERIES_MAX], x, y, v);
    al_set_clipping_rectangle(ox, oy, ow, oh);

    // Legend under the x labels.
    float lx = px0;
    const float ly = py1 + lh + 10, sq = 12;
    for (int s = 0; s < ns && lx < x + w - 20; s++) {
        if (!c->series[s]) continue;
        al_draw_filled_rectangle(lx, ly + (lh - sq) / 2, lx + sq, ly + (lh - sq) / 2 + sq,
                                 p->series[s % Q_GUI_CHART_SERIES_MAX]);
        q_gui_draw_text_fit(font, p->text, lx + sq + 5, ly, x + w - 6 - (lx + sq + 5), 0, c->series[s]->name);
        lx += _text_w(font, c->series[s]->name) + 28;
    }

    if (!v->hover || !hovered) return;
    const float hx = floorf(x + v->hover_x) + 0.5f;
    al_draw_line(hx, py0, hx, py1, p->dim_text, 1);
    const float bx = x + v->box_x, by = y + v->box_y;
    al_draw_filled_rounded_rectangle(bx, by, bx + v->box_w, by + v->box_h, 4, 4,
                                     q_gui_with_alpha(p->background, 0.94f));
    al_draw_rounded_rectangle(bx + 0.5f, by + 0.5f, bx + v->box_w - 0.5f, by + v->box_h - 0.5f, 4, 4,
                              p->dim_text, 1);
    al_draw_text(font, p->text, bx + 6, by + 6, 0, v->lines[0]);
    // One line per series that has points, in series order.
    int line = 1;
    const float mark = _mark_w(lh), msq = mark - 6;
    for (int s = 0; s < ns && line < v->line_count; s++) {
        const Q_GUI_CHART_SERIES *se = c->series[s];
        bool has = false;
        for (int i = 0; i < _point_count(se) && !has; i++)
            has = std::isfinite(se->x[i]) && std::isfinite(se->y[i]);
        if (!has) continue;
        const float ty = by + 6 + lh * (float)line;
        al_draw_filled_rectangle(bx + 6, ty + (lh - msq) / 2, bx + 6 + msq, ty + (lh - msq) / 2 + msq,
                                 p->series[s % Q_GUI_CHART_SERIES_MAX]);
        al_draw_text(font, p->text, bx + 6 + mark, ty, 0, v->lines[line]);
        line++;
    }
}

// =============================================================================
// The widget
// =============================================================================

namespace {
// What the custom widget's callbacks need besides the record: the context
// gives the widget's font, state and position. Owned by the widget.
struct CHART_LINK {
    Q_GUI_CTX *ctx;
    Q_GUI_CHART *chart;
};
} // namespace

static void _message(const Q_GUI_CHART *c, const Q_GUI_CHART_PALETTE *p, ALLEGRO_FONT *font, float x, float y,
                     float w, float h) {
    const float lh = (float)al_get_font_line_height(font);
    const float top = y + lh + 8;
    const char *text = c->message[0] ? c->message : "no data";
    q_gui_draw_text_fit(font, p->dim_text, x + w / 2, top + (y + h - top - lh) / 2, w - 12, 1, text);
}

static void _on_draw(int id, float x, float y, float w, float h, void *user) {
    const CHART_LINK *link = static_cast<const CHART_LINK *>(user);
    const Q_GUI_CHART *c = link->chart;
    const Q_GUI_WIDGET *wd = q_gui_get_widget(link->ctx, id);
    ALLEGRO_FONT *font = q_gui_widget_font(link->ctx, wd);
    if (!font || !(w > 0) || !(h > 0)) return;
    const Q_GUI_CHART_PALETTE *p = _palette(c);
    int ox, oy, ow, oh;
    al_get_clipping_rectangle(&ox, &oy, &ow, &oh);
    q_gui_clip_rect(x, y, w, h, ox, oy, ow, oh);

    q_gui_fill_box(link->ctx, x, y, w, h, 6, 6, p->background);
    q_gui_stroke_box(link->ctx, x, y, w, h, 6, 6, p->frame, 1);
    if (c->kind == Q_GUI_CHART_GAUGE)
        q_gui_draw_text_fit(font, p->text, x + w / 2, y + 4, w - 12, 1, c->title);
    else
        q_gui_draw_text_fit(font, p->text, x + 6, y + 4, w - 12, 0, c->title);

    if (c->kind == Q_GUI_CHART_GAUGE) {
        if (c->has_data)
            _draw_gauge(c, p, font, x, y, w, h);
        else
            _message(c, p, font, x, y, w, h);
    } else if (c->kind == Q_GUI_CHART_BARS) {
        if (c->has_data && _bar_count(c) > 0)
            _draw_bars(c, p, font, x, y, w, h);
        else
            _message(c, p, font, x, y, w, h);
    } else if (c->kind == Q_GUI_CHART_LINE) {
        Q_GUI_CHART_LINE_VIEW v;
        q_gui_chart_line_view(c, font, w, h, &v);
        double lo, hi;
        if (!c->has_data || !_range(c, true, &lo, &hi))
            _message(c, p, font, x, y, w, h);
        else if (v.plotted)
            _draw_line(c, p, font, x, y, w, wd && (wd->state & Q_GUI_WS_HOVER), &v);
    }
    al_set_clipping_rectangle(ox, oy, ow, oh);
}

static void _on_mouse(int id, const ALLEGRO_EVENT *ev, float mx, float my, void *user) {
    const CHART_LINK *link = static_cast<const CHART_LINK *>(user);
    Q_GUI_CHART *c = link->chart;
    if (c->kind != Q_GUI_CHART_LINE || ev->type != ALLEGRO_EVENT_MOUSE_AXES) return;
    const Q_GUI_WIDGET *wd = q_gui_get_widget(link->ctx, id);
    const Q_GUI_WINDOW *win = q_gui_widget_window(link->ctx, wd);
    if (!win) return;
    float ox, oy;
    q_gui_widget_origin(win, wd, &ox, &oy);
    // A held button keeps sending moves after the pointer has left.
    const bool inside = mx >= ox && mx < ox + wd->w && my >= oy && my < oy + wd->h;
    c->hover_x = inside ? mx - ox : -1;
    q_gui_request_redraw(link->ctx);
}

static void _on_destroy(int, void *user) {
    CHART_LINK *link = static_cast<CHART_LINK *>(user);
    Q_FREE(link);
}

int q_gui_chart_add(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_CHART *chart) {
    Q_GUARD(ctx, -1);
    Q_GUARD(chart, -1);
    CHART_LINK *link = nullptr;
    Q_CALLOC(link, 1, CHART_LINK);
    if (!link) return -1;
    link->ctx = ctx;
    link->chart = chart;
    chart->hover_x = -1;
    const int id = q_gui_add_custom(ctx, window, x, y, w, h, _on_draw, link);
    if (id < 0) {
        Q_FREE(link);
        return -1;
    }
    q_gui_custom_set_mouse(ctx, id, _on_mouse, link);
    q_gui_custom_set_destroy(ctx, id, _on_destroy, link);
    chart->widget_id = id;
    return id;
}
