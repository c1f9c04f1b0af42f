// labels: gui
// Charts in a real Allegro display: records filled as the application fills
// them, pointer moves fed through q_gui_process_event, and the drawn pixels
// read back where their colour is what the user reads (gauge arcs, bars, the
// hover line).
#include <allegro5/allegro.h>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "kvn_test_gui.h"
#include "q_gui.h"
#include "q_gui_chart.h"

namespace {
constexpr double k_nan = NAN, k_inf = INFINITY;
constexpr float k_tb = 28; // title bar of the test window at (0, 0)

// The chart record is big (series pointers, 64 bars): made on the heap, as
// the application keeps it in its window state.
std::unique_ptr<Q_GUI_CHART> new_chart(int kind, const char *units = "") {
    auto c = std::make_unique<Q_GUI_CHART>();
    memset(c.get(), 0, sizeof *c);
    c->kind = kind;
    strcpy(c->units, units);
    c->widget_id = -1;
    return c;
}

struct Gui {
    Q_GUI_CTX *ctx;
    int win;
    Gui() {
        ctx = q_gui_new_ctx(g_font);
        q_gui_set_display(ctx, g_display);
        q_gui_set_display_size(ctx, k_dw, k_dh);
        win = q_gui_add_window(ctx, "charts", 0, 0, k_dw, k_dh);
    }
    ~Gui() {
        q_gui_destroy_ctx(&ctx);
        al_set_target_backbuffer(g_display);
    }
    // Moves the pointer to content coordinates.
    void move(float x, float y) {
        ALLEGRO_EVENT ev = kvn_mouse_event(ALLEGRO_EVENT_MOUSE_AXES, x, y + k_tb, 0);
        q_gui_process_event(ctx, &ev);
    }
    void draw() {
        al_set_target_backbuffer(g_display);
        al_clear_to_color(al_map_rgb(0, 0, 0));
        q_gui_draw(ctx);
    }
};

// The pixel at content coordinates is within a few levels of the colour.
::testing::AssertionResult is_color(float x, float y, ALLEGRO_COLOR want, int tol = 4) {
    unsigned char r, g, b, wr, wg, wb;
    al_unmap_rgb(al_get_pixel(al_get_backbuffer(g_display), (int)x, (int)(y + k_tb)), &r, &g, &b);
    al_unmap_rgb(want, &wr, &wg, &wb);
    if (std::abs(r - wr) <= tol && std::abs(g - wg) <= tol && std::abs(b - wb) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "pixel (" << x << ", " << y << ") is " << (int)r << "," << (int)g << "," << (int)b
           << ", expected " << (int)wr << "," << (int)wg << "," << (int)wb;
}

std::string value(double v, const char *units) {
    char out[64];
    q_gui_chart_format_value(v, units, out, sizeof out);
    return out;
}

std::string x_label(double x, int time_axis, double span) {
    char out[64];
    q_gui_chart_format_x(x, time_axis, span, out, sizeof out);
    return out;
}

const Q_GUI_CHART_PALETTE *pal() {
    return q_gui_chart_default_palette();
}
} // namespace

// ---- values and gauges --------------------------------------------------------

TEST(Chart, ValuesPrintWithTheirUnits) {
    struct CASE {
        double v;
        const char *units, *text;
    };
    const CASE cases[] = {
        {1536, "MiB", "1.5 GiB"},
        {1023, "MiB", "1023 MiB"},
        {-2048, "MiB", "-2.0 GiB"},
        {2048, "GiB", "2.0 TiB"},
        {512, "B", "512 B"},
        {1536, "B", "1.5 KiB"},
        {3 * 1048576.0, "B", "3.0 MiB"},
        {5e15, "B", "4547.5 TiB"}, // stops at TiB
        {3, "VCPUs", "3 VCPUs"},
        {2.5, "", "2.50"},
        {7, "", "7"},
        {-1e-12, "", "0"}, // no "-0"
        {0.1 + 0.2, "", "0.30"},
        {k_nan, "MiB", "--"},
        {k_inf, "B", "--"},
        {-k_inf, "", "--"},
    };
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(value(c.v, c.units), c.text);
    }
    char small[4];
    q_gui_chart_format_value(1536, "MiB", small, sizeof small);
    EXPECT_STREQ(small, "1.5");
}

TEST(Chart, GaugeThresholdsTextsAndArcPixels) {
    struct CASE {
        const char *name;
        double used, limit, reserved;
        const char *units, *caption, *percent;
        int color;
        double used_frac, reserved_frac;
    };
    const int B = Q_GUI_CHART_BLUE, G = Q_GUI_CHART_GREEN, A = Q_GUI_CHART_AMBER, R = Q_GUI_CHART_RED,
              D = Q_GUI_CHART_DIM;
    // clang-format off
    const CASE cases[] = {
        {"95 of 100 is red", 95, 100, 0, "", "95 / 100", "95%", R, 0.95, 0},
        {"90 is red", 90, 100, 0, "", "90 / 100", "90%", R, 0.90, 0},
        {"89.9 is amber", 89.9, 100, 0, "", "89.90 / 100", "90%", A, 0.899, 0},
        {"70 is amber", 70, 100, 0, "", "70 / 100", "70%", A, 0.70, 0},
        {"69.9 is green", 69.9, 100, 0, "", "69.90 / 100", "70%", G, 0.699, 0},
        {"MiB caption", 1536, 4096, 0, "MiB", "1.5 GiB / 4.0 GiB", "38%", G, 0.375, 0},
        {"unlimited", 5, -1, 0, "VCPUs", "5 VCPUs / unlimited", "", B, 1, 0},
        {"infinite limit is unlimited", 5, k_inf, 0, "", "5 / unlimited", "", B, 1, 0},
        {"reserved band", 30, 100, 40, "", "30 / 100", "30%", G, 0.30, 0.70},
        {"reserved capped", 80, 100, 90, "", "80 / 100", "80%", A, 0.80, 1},
        {"over the limit is capped", 150, 100, 0, "", "150 / 100", "150%", R, 1, 0},
        {"tiny share draws no arc", 0.05, 100, 0, "", "0.05 / 100", "0%", G, 0, 0},
        {"limit 0 with use", 3, 0, 0, "", "3 / 0", "100%", R, 1, 0},
        {"limit 0 without use", 0, 0, 0, "", "0 / 0", "0%", G, 0, 0},
        {"negative use", -5, 100, 0, "", "-5 / 100", "-5%", G, 0, 0},
        {"used NaN", k_nan, 100, 0, "", "-- / 100", "", D, 0, 0},
        {"used infinite", k_inf, 100, 0, "", "-- / 100", "", D, 0, 0},
        {"limit NaN", 5, k_nan, 0, "", "5 / --", "", D, 0, 0},
        {"reserved infinite is ignored", 30, 100, k_inf, "", "30 / 100", "30%", G, 0.30, 0},
        {"reserved negative is ignored", 30, 100, -50, "", "30 / 100", "30%", G, 0.30, 0},
        {"quotient overflows", 1e308, 1e-300, 0, "", "", ">100%", R, 1, 0},
    };
    // clang-format on
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.name);
        Gui g;
        auto chart = new_chart(Q_GUI_CHART_GAUGE, c.units);
        strcpy(chart->title, "Instances");
        const float gx = 10, gy = 10, gw = 170, gh = 150;
        ASSERT_GE(q_gui_chart_add(g.ctx, g.win, gx, gy, gw, gh, chart.get()), 0);
        q_gui_chart_gauge(chart.get(), c.used, c.limit, c.reserved);
        EXPECT_EQ(chart->has_data, 1);
        Q_GUI_CHART_GAUGE_VIEW v;
        q_gui_chart_gauge_view(chart.get(), (float)al_get_font_line_height(g_font), gw, gh, &v);
        if (c.caption[0]) {
            EXPECT_STREQ(v.caption, c.caption);
        }
        EXPECT_STREQ(v.percent, c.percent);
        EXPECT_EQ(v.used_color, c.color);
        EXPECT_NEAR(v.used_fraction, c.used_frac, 1e-9);
        EXPECT_NEAR(v.reserved_fraction, c.reserved_frac, 1e-9);

        g.draw();
        // A point of the arc's track at a share of its 270 degrees, at a
        // radius offset from the middle of the track.
        auto at = [&](double share, float dr = 0) {
            const double a = 0.75 * M_PI + share * 1.5 * M_PI;
            return std::pair<float, float>{gx + v.cx + (v.radius + dr) * (float)cos(a),
                                           gy + v.cy + (v.radius + dr) * (float)sin(a)};
        };
        const ALLEGRO_COLOR used_col = c.color == B   ? pal()->blue
                                       : c.color == G ? pal()->green
                                       : c.color == A ? pal()->amber
                                                      : pal()->red;
        for (double share : {0.02, 0.5, 0.98}) {
            SCOPED_TRACE(share);
            const auto [px, py] = at(share);
            const ALLEGRO_COLOR want = share < c.used_frac       ? used_col
                                       : share < c.reserved_frac ? pal()->amber
                                                                 : pal()->frame;
            EXPECT_TRUE(is_color(px, py, want));
            // The reserved share is a thin band: the track's outer edge stays
            // the track's colour beyond the used arc.
            if (share >= c.used_frac) {
                const auto [ex, ey] = at(share, v.thickness * 0.35f);
                EXPECT_TRUE(is_color(ex, ey, pal()->frame));
            }
        }
        // Whatever the figures, the opening at the bottom stays empty where
        // an arc past its track would pass.
        EXPECT_TRUE(is_color(gx + v.cx, gy + v.cy + v.radius - v.thickness / 2 + 2, pal()->background));
    }
}

TEST(Chart, GaugeWithoutDataShowsItsMessageAndNoArc) {
    Gui g;
    auto chart = new_chart(Q_GUI_CHART_GAUGE);
    ASSERT_GE(q_gui_chart_add(g.ctx, g.win, 10, 10, 170, 150, chart.get()), 0);
    chart->used = 95, chart->limit = 100; // figures alone do not make data
    Q_GUI_CHART_GAUGE_VIEW v;
    q_gui_chart_gauge_view(chart.get(), (float)al_get_font_line_height(g_font), 170, 150, &v);
    g.draw();
    EXPECT_TRUE(is_color(10 + v.cx, 10 + v.cy - v.radius, pal()->background));
}

// ---- bars ---------------------------------------------------------------------

TEST(Chart, BarsMergeByLabelAndStopAt64) {
    auto chart = new_chart(Q_GUI_CHART_BARS);
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), "cpu", 2, 1), 0);
    EXPECT_EQ(chart->has_data, 1);
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), "ram", 1, 0), 1);
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), "cpu", 3, 3), 0);
    EXPECT_EQ(chart->bar_count, 2);
    EXPECT_EQ(chart->bars[0].value, 5);
    EXPECT_EQ(chart->bars[0].color, 1); // the first colour stays

    // Labels are cut to 63 bytes without splitting a character, and compared
    // as cut.
    const std::string base(62, 'x');
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), (base + "\xc3\xa9" + "tail one").c_str(), 1, 0), 2);
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), (base + "\xc3\xa9" + "tail two").c_str(), 1, 0), 2);
    EXPECT_EQ(std::string(chart->bars[2].label), base);
    EXPECT_EQ(chart->bars[2].value, 2);

    for (int i = chart->bar_count; i < Q_GUI_CHART_BARS_MAX; i++)
        EXPECT_EQ(q_gui_chart_bar_add(chart.get(), ("bar " + std::to_string(i)).c_str(), i, 0), i);
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), "one too many", 1, 0), -1);
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), "ram", 1, 0), 1) << "a full chart still adds to its bars";
    EXPECT_EQ(chart->bar_count, Q_GUI_CHART_BARS_MAX);
    EXPECT_EQ(q_gui_chart_bar_add(nullptr, "x", 1, 0), -1);
    EXPECT_EQ(q_gui_chart_bar_add(chart.get(), nullptr, 1, 0), -1);
    q_gui_chart_bars_clear(chart.get());
    EXPECT_EQ(chart->bar_count, 0);
}

TEST(Chart, BarLengthsAndColoursInPixels) {
    Gui g;
    auto chart = new_chart(Q_GUI_CHART_BARS, "MiB");
    const float cx = 20, cy = 20, cw = 400, ch = 300;
    ASSERT_GE(q_gui_chart_add(g.ctx, g.win, cx, cy, cw, ch, chart.get()), 0);
    q_gui_chart_bar_add(chart.get(), "cpu", 2, Q_GUI_CHART_GREEN);
    q_gui_chart_bar_add(chart.get(), "ram", 10, Q_GUI_CHART_RED);
    q_gui_chart_bar_add(chart.get(), "disk", k_nan, Q_GUI_CHART_AMBER);
    q_gui_chart_bar_add(chart.get(), "other", 2.5, 7); // out of range: blue
    q_gui_chart_bar_add(chart.get(), "cpu", 3, Q_GUI_CHART_BLUE);
    q_gui_chart_bar_add(chart.get(), "huge", k_inf, Q_GUI_CHART_AMBER);
    g.draw();
    const float lh = (float)al_get_font_line_height(g_font);
    const float label_w = std::min(0.4f * cw, (float)al_get_text_width(g_font, "other")) + 18;
    const float ax = cx + label_w, aw = cw - 70 - label_w;
    const float row_h = std::min(lh + 10, (ch - (lh + 10) - 6) / 5);
    auto mid = [&](int row) { return cy + lh + 10 + row_h * ((float)row + 0.5f); };
    struct CASE {
        int row;
        float len;
        ALLEGRO_COLOR col;
    };
    // The largest finite value spans the bar area; NaN and infinity keep the
    // 2 px stub.
    const CASE cases[] = {{0, aw * 0.5f, pal()->green},
                          {1, aw, pal()->red},
                          {2, 2, pal()->amber},
                          {3, aw * 0.25f, pal()->blue},
                          {4, 2, pal()->amber}};
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.row);
        EXPECT_TRUE(is_color(ax + 0.5f, mid(c.row), c.col));
        if (c.len > 8) {
            EXPECT_TRUE(is_color(ax + c.len - 4, mid(c.row), c.col));
        }
        EXPECT_TRUE(is_color(ax + c.len + 3, mid(c.row), pal()->background));
    }
}

// ---- series and the line chart ---------------------------------------------------

TEST(Chart, SeriesAreFoundByNameAndCapped) {
    auto chart = new_chart(Q_GUI_CHART_LINE);
    Q_GUI_CHART_SERIES *first = q_gui_chart_series(chart.get(), "instances");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(q_gui_chart_series(chart.get(), "instances"), first);
    const std::string long_name(70, 'n');
    Q_GUI_CHART_SERIES *cut = q_gui_chart_series(chart.get(), long_name.c_str());
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(strlen(cut->name), 63u);
    EXPECT_EQ(q_gui_chart_series(chart.get(), long_name.c_str()), cut);
    for (int i = 2; i < Q_GUI_CHART_SERIES_MAX; i++)
        EXPECT_NE(q_gui_chart_series(chart.get(), std::to_string(i).c_str()), nullptr);
    EXPECT_EQ(q_gui_chart_series(chart.get(), "ninth"), nullptr);
    EXPECT_EQ(chart->series_count, Q_GUI_CHART_SERIES_MAX);

    for (int i = 0; i < Q_GUI_CHART_POINTS_MAX; i++)
        ASSERT_EQ(q_gui_chart_point_add(first, i, i), i);
    EXPECT_EQ(q_gui_chart_point_add(first, 1, 1), -1);
    EXPECT_EQ(first->count, Q_GUI_CHART_POINTS_MAX);
    q_gui_chart_clear_series(chart.get());
    EXPECT_EQ(chart->series_count, 0);
    EXPECT_EQ(chart->series[0], nullptr);
}

TEST(Chart, LineAxesAndTimeLabels) {
    struct POINT {
        double x, y;
    };
    struct CASE {
        const char *name;
        std::vector<POINT> points;
        int fixed;
        double fx0, fx1;
        int plotted;
        double x_lo, x_hi, y_lo, y_hi, step;
        const char *units = "";
    };
    // clang-format off
    const CASE cases[] = {
        {"all zero draws 0 to 1", {{0, 0}, {10, 0}}, 0, 0, 0, 1, 0, 10, 0, 1, 0.2},
        {"0 to 100 in steps of 20", {{0, 0}, {5, 100}}, 0, 0, 0, 1, 0, 5, 0, 100, 20},
        {"axis starts at 0 and ends on a step", {{0, 3}, {1, 7}}, 0, 0, 0, 1, 0, 1, 0, 8, 2},
        {"MiB values on GiB lines", {{0, 512}, {1, 1536}}, 0, 0, 0, 1, 0, 1, 0, 1536, 512, "MiB"},
        {"MiB below a GiB", {{0, 512}, {1, 1000}}, 0, 0, 0, 1, 0, 1, 0, 1000, 200, "MiB"},
        {"bytes on GiB lines", {{0, 0}, {1, 3.5e9}}, 0, 0, 0, 1, 0, 1, 0, 4294967296.0, 1073741824.0, "B"},
        {"negative values round down", {{0, -3.7}, {1, 5}}, 0, 0, 0, 1, 0, 1, -4, 6, 2},
        {"one point widens x", {{1000, 4}}, 0, 0, 0, 1, 1000, 1001, 0, 4, 1},
        {"fixed x range", {{5, 1}, {6, 2}}, 1, 0, 100, 1, 0, 100, 0, 2, 0.5},
        {"reversed fixed range is ignored", {{5, 1}, {6, 2}}, 1, 100, 0, 1, 5, 6, 0, 2, 0.5},
        {"NaN fixed range is ignored", {{5, 1}, {6, 2}}, 1, k_nan, 9, 1, 5, 6, 0, 2, 0.5},
        {"bad points are left out", {{0, 1}, {k_nan, 50}, {1, k_inf}, {k_inf, 3}, {2, 2}}, 0, 0, 0, 1, 0, 2, 0, 2, 0.5},
        {"only bad points: the message", {{k_nan, 1}, {1, -k_inf}}, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {"no points: the message", {}, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    // clang-format on
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.name);
        auto chart = new_chart(Q_GUI_CHART_LINE, c.units);
        chart->has_data = 1;
        chart->hover_x = -1;
        Q_GUI_CHART_SERIES *s = q_gui_chart_series(chart.get(), "v");
        for (const POINT &p : c.points)
            q_gui_chart_point_add(s, p.x, p.y);
        chart->has_x_range = c.fixed;
        chart->x_min = c.fx0;
        chart->x_max = c.fx1;
        Q_GUI_CHART_LINE_VIEW v;
        q_gui_chart_line_view(chart.get(), g_font, 500, 300, &v);
        EXPECT_EQ(v.plotted, c.plotted);
        if (c.plotted) {
            EXPECT_DOUBLE_EQ(v.x_lo, c.x_lo);
            EXPECT_DOUBLE_EQ(v.x_hi, c.x_hi);
            EXPECT_NEAR(v.y_lo, c.y_lo, 1e-9);
            EXPECT_NEAR(v.y_hi, c.y_hi, 1e-9);
            EXPECT_NEAR(v.y_step, c.step, 1e-12);
        }
        q_gui_chart_clear_series(chart.get());
    }

    // A plot smaller than 20 px draws nothing more than the frame.
    auto chart = new_chart(Q_GUI_CHART_LINE);
    chart->has_data = 1;
    q_gui_chart_point_add(q_gui_chart_series(chart.get(), "v"), 1, 1);
    Q_GUI_CHART_LINE_VIEW v;
    q_gui_chart_line_view(chart.get(), g_font, 95, 300, &v);
    EXPECT_EQ(v.plotted, 0);
    q_gui_chart_line_view(chart.get(), g_font, 500, 300, &v);
    EXPECT_EQ(v.plot_x0, 64);
    strcpy(chart->units, "VCPUs");
    // Labels too wide for the margin move the plot instead of being cut.
    q_gui_chart_point_add(chart->series[0], 2, 100000);
    q_gui_chart_line_view(chart.get(), g_font, 500, 300, &v);
    EXPECT_EQ(v.plot_x0, al_get_text_width(g_font, "100000 VCPUs") + 14);
    q_gui_chart_clear_series(chart.get());

    // 2023-11-14 22:13:20 UTC; local time is made UTC for the test.
    setenv("TZ", "UTC", 1);
    tzset();
    struct LABEL {
        double x;
        int time_axis;
        double span;
        const char *text;
    };
    const LABEL labels[] = {
        {1700000000, 1, 2 * 86400, "11-14 22:13"},
        {1700000000, 1, 1728000, "11-14 22:13"},
        {1700000000, 1, 1728001, "11-14"},
        {1700000000, 1, 86400, "22:13"},
        {1700000000, 1, 3600, "22:13"},
        {1700000000, 0, 3600, "1.7e+09"},
        {2.5, 0, 1, "2.5"},
        {1e300, 1, 1, "1e+300"},
        {k_nan, 1, 1, "--"},
    };
    for (const LABEL &l : labels) {
        SCOPED_TRACE(l.text);
        EXPECT_EQ(x_label(l.x, l.time_axis, l.span), l.text);
    }
}

TEST(Chart, HoverReadOutFollowsThePointer) {
    Gui g;
    auto chart = new_chart(Q_GUI_CHART_LINE, "VCPUs");
    strcpy(chart->title, "Compute usage");
    chart->has_data = 1;
    // The y labels ("100 VCPUs") take 86 px, the plot 400 px: the pointer's
    // pixels fall on round x values.
    const float cx = 20, cy = 20, cw = 498, ch = 300;
    ASSERT_GE(q_gui_chart_add(g.ctx, g.win, cx, cy, cw, ch, chart.get()), 0);
    Q_GUI_CHART_SERIES *a = q_gui_chart_series(chart.get(), "cores");
    Q_GUI_CHART_SERIES *b = q_gui_chart_series(chart.get(), "instances");
    q_gui_chart_series(chart.get(), "empty"); // no read-out line
    for (int i = 0; i <= 10; i++)
        q_gui_chart_point_add(a, i, i * 10);
    for (int i = 0; i <= 10; i += 5)
        q_gui_chart_point_add(b, i, 1 + i / 5);
    auto view = [&]() {
        Q_GUI_CHART_LINE_VIEW v;
        q_gui_chart_line_view(chart.get(), g_font, cw, ch, &v);
        return v;
    };
    const Q_GUI_CHART_LINE_VIEW v0 = view();
    ASSERT_EQ(v0.plotted, 1);
    ASSERT_EQ(v0.plot_x1 - v0.plot_x0, 400);
    const float plot_w = v0.plot_x1 - v0.plot_x0;

    struct CASE {
        const char *name;
        float rel_x; // pointer from the chart's left edge
        int hover;
        const char *lines[3];
        int box_right; // box right of the pointer (1) or left of it (0)
    };
    const CASE cases[] = {
        {"middle", v0.plot_x0 + plot_w / 2, 1, {"5", "cores: 50 VCPUs", "instances: 2 VCPUs"}, 1},
        {"near the right edge",
         v0.plot_x0 + plot_w * 0.96f,
         1,
         {"9.6", "cores: 100 VCPUs", "instances: 3 VCPUs"},
         0},
        {"over the y labels", 30, 0, {}, 0},
    };
    for (const CASE &c : cases) {
        SCOPED_TRACE(c.name);
        g.move(cx + c.rel_x, cy + 150);
        EXPECT_FLOAT_EQ(chart->hover_x, c.rel_x);
        const Q_GUI_CHART_LINE_VIEW v = view();
        EXPECT_EQ(v.hover, c.hover);
        g.draw();
        if (!c.hover) continue;
        ASSERT_EQ(v.line_count, 3);
        for (int i = 0; i < 3; i++)
            EXPECT_STREQ(v.lines[i], c.lines[i]);
        if (c.box_right)
            EXPECT_GE(v.box_x, c.rel_x + 1);
        else
            EXPECT_LE(v.box_x + v.box_w, c.rel_x - 1);
        EXPECT_GE(v.box_x, 2);
        EXPECT_LE(v.box_x + v.box_w, cw - 2);
        EXPECT_GE(v.box_h, 3 * al_get_font_line_height(g_font));
        // The hover line at the height of 70 (no grid line, no series there),
        // and the box's own background.
        const float mid_y = cy + v.plot_y1 - 0.7f * (v.plot_y1 - v.plot_y0);
        EXPECT_TRUE(is_color(cx + c.rel_x, mid_y, pal()->dim_text));
        EXPECT_TRUE(is_color(cx + v.box_x + 2, cy + v.box_y + v.box_h - 3, pal()->background, 8));
    }

    // Leaving the chart takes the read-out away at the next draw.
    const float last = v0.plot_x0 + plot_w * 0.96f;
    g.move(cx + last, cy + 150);
    g.move(700, 500);
    g.draw();
    EXPECT_TRUE(is_color(cx + last, cy + v0.plot_y1 - 0.7f * (v0.plot_y1 - v0.plot_y0), pal()->background));

    // Other kinds keep no pointer.
    auto bars = new_chart(Q_GUI_CHART_BARS);
    ASSERT_GE(q_gui_chart_add(g.ctx, g.win, 20, 340, 300, 100, bars.get()), 0);
    q_gui_chart_bar_add(bars.get(), "x", 1, 0);
    g.move(100, 380);
    EXPECT_EQ(bars->hover_x, -1);
    q_gui_chart_clear_series(chart.get());
}

// ---- the record's edges ---------------------------------------------------------------

TEST(Chart, PaletteRefilledLaterRecoloursTheChart) {
    Gui g;
    Q_GUI_CHART_PALETTE theme = *pal();
    auto chart = new_chart(Q_GUI_CHART_BARS);
    chart->palette = &theme;
    const int id = q_gui_chart_add(g.ctx, g.win, 10, 10, 300, 200, chart.get());
    ASSERT_GE(id, 0);
    EXPECT_EQ(chart->widget_id, id);
    g.draw();
    EXPECT_TRUE(is_color(150, 150, pal()->background));
    theme.background = al_map_rgb(250, 251, 253);
    g.draw();
    EXPECT_TRUE(is_color(150, 150, theme.background));
}

TEST(Chart, BadRecordsAreRefusedOrDrawnSafely) {
    Gui g;
    EXPECT_EQ(q_gui_chart_add(g.ctx, g.win, 0, 0, 10, 10, nullptr), -1);
    auto chart = new_chart(Q_GUI_CHART_LINE);
    EXPECT_EQ(q_gui_chart_add(g.ctx, 999, 0, 0, 10, 10, chart.get()), -1);
    EXPECT_EQ(q_gui_chart_add(nullptr, g.win, 0, 0, 10, 10, chart.get()), -1);
    EXPECT_EQ(q_gui_chart_series(nullptr, "x"), nullptr);
    EXPECT_EQ(q_gui_chart_series(chart.get(), nullptr), nullptr);
    EXPECT_EQ(q_gui_chart_point_add(nullptr, 1, 1), -1);

    // Counts the application corrupted, an unknown kind and a series slot
    // left empty are drawn without reading past the arrays.
    ASSERT_GE(q_gui_chart_add(g.ctx, g.win, 10, 10, 400, 250, chart.get()), 0);
    Q_GUI_CHART_SERIES *s = q_gui_chart_series(chart.get(), "v");
    q_gui_chart_point_add(s, 0, 1);
    q_gui_chart_point_add(s, 1, 2);
    chart->has_data = 1;
    s->count = 1 << 30;
    chart->series_count = 99;
    g.draw();
    s->count = -5;
    chart->series_count = -1;
    g.draw();
    auto bars = new_chart(Q_GUI_CHART_BARS);
    bars->has_data = 1;
    bars->bar_count = 1000;
    ASSERT_GE(q_gui_chart_add(g.ctx, g.win, 10, 270, 400, 250, bars.get()), 0);
    auto odd = new_chart(77);
    ASSERT_GE(q_gui_chart_add(g.ctx, g.win, 420, 10, 100, 100, odd.get()), 0);
    g.draw();
    s->count = 2;
    chart->series_count = 1;
    q_gui_chart_clear_series(chart.get());
    EXPECT_EQ(chart->series_count, 0);
}
