#pragma once
// q_gui_chart: gauges, horizontal bar charts and line charts over time, drawn
// inside a custom widget.
//
// The application owns the chart record: it fills the title, units, values
// and series points and asks for a redraw. The toolkit only reads the record
// when it draws and writes the pointer position into it (hover x) when the
// mouse moves over a line chart. The record must outlive its widget, and its
// series (allocated here) are freed with q_gui_chart_clear_series.

#include <cstddef>
#include <cstdint>

#include "q_gui.h"

#define Q_GUI_CHART_TITLE_MAX 128
#define Q_GUI_CHART_UNITS_MAX 24
#define Q_GUI_CHART_MESSAGE_MAX 256
#define Q_GUI_CHART_BARS_MAX 64
#define Q_GUI_CHART_BAR_LABEL_MAX 64 // 63 bytes and the zero byte
#define Q_GUI_CHART_SERIES_MAX 8
#define Q_GUI_CHART_SERIES_NAME_MAX 64
#define Q_GUI_CHART_POINTS_MAX 4096

enum {
    Q_GUI_CHART_GAUGE = 0,
    Q_GUI_CHART_BARS = 1,
    Q_GUI_CHART_LINE = 2,
};

// Colour roles shared by the gauge arcs and the bar colour indexes.
enum {
    Q_GUI_CHART_BLUE = 0,
    Q_GUI_CHART_GREEN = 1,
    Q_GUI_CHART_AMBER = 2,
    Q_GUI_CHART_RED = 3,
    Q_GUI_CHART_DIM = 4, // texts of a gauge whose figures are not numbers
};

// The colours every chart draws with. The application's themes keep one
// record of their own and point every chart at it, so refilling it recolours
// the charts at their next draw.
struct Q_GUI_CHART_PALETTE {
    ALLEGRO_COLOR background, frame, text, dim_text;
    ALLEGRO_COLOR blue, green, amber, red;
    ALLEGRO_COLOR series[Q_GUI_CHART_SERIES_MAX];
};

struct Q_GUI_CHART_BAR {
    char label[Q_GUI_CHART_BAR_LABEL_MAX];
    double value;
    int color; // Q_GUI_CHART_BLUE..Q_GUI_CHART_RED; other values draw blue
};

// One line of a line chart. Points are appended at index count (see
// q_gui_chart_point_add); x values are Unix times on a time axis.
struct Q_GUI_CHART_SERIES {
    char name[Q_GUI_CHART_SERIES_NAME_MAX];
    double x[Q_GUI_CHART_POINTS_MAX];
    double y[Q_GUI_CHART_POINTS_MAX];
    int32_t count;
};

struct Q_GUI_CHART {
    int32_t kind; // Q_GUI_CHART_GAUGE, _BARS or _LINE
    char title[Q_GUI_CHART_TITLE_MAX];
    // "B", "MiB", "GiB", a unit word such as "VCPUs", or empty.
    char units[Q_GUI_CHART_UNITS_MAX];
    // 0 shows the message (or "no data") instead of the chart.
    int has_data;
    char message[Q_GUI_CHART_MESSAGE_MAX];
    // Gauge: a limit below 0 means unlimited.
    double used, limit, reserved;
    Q_GUI_CHART_BAR bars[Q_GUI_CHART_BARS_MAX];
    int bar_count;
    Q_GUI_CHART_SERIES *series[Q_GUI_CHART_SERIES_MAX]; // owned
    int series_count;
    int time_axis;
    int has_x_range; // use x_min..x_max instead of the points' range
    double x_min, x_max;
    float hover_x;                      // pointer x from the chart's left edge, -1 when none
    const Q_GUI_CHART_PALETTE *palette; // none = q_gui_chart_default_palette()
    int widget_id;
};

// The built-in dark palette, built on first use (Allegro must be set up by
// then: its colour tables are filled by al_init).
const Q_GUI_CHART_PALETTE *q_gui_chart_default_palette(void);

// Adds the custom widget that shows the chart; stores its id in the chart.
// Returns the widget id or -1.
int q_gui_chart_add(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_CHART *chart);
// Sets the gauge values and marks the chart as having data.
void q_gui_chart_gauge(Q_GUI_CHART *chart, double used, double limit, double reserved);
void q_gui_chart_bars_clear(Q_GUI_CHART *chart);
// Adds value to the bar of the same label (labels cut to 63 bytes), or
// appends a bar. Returns the bar index, or -1 when 64 bars exist already or
// the chart or label is absent. Marks the chart as having data.
int q_gui_chart_bar_add(Q_GUI_CHART *chart, const char *label, double value, int color);
// The series of that name, or a new empty one while fewer than 8 exist;
// null otherwise.
Q_GUI_CHART_SERIES *q_gui_chart_series(Q_GUI_CHART *chart, const char *name);
// Appends a point; returns its index, or -1 when the series is full.
int q_gui_chart_point_add(Q_GUI_CHART_SERIES *series, double x, double y);
// Frees every series.
void q_gui_chart_clear_series(Q_GUI_CHART *chart);

// ---- what the drawing shows, for callers that lay out around a chart and
// for tests --------------------------------------------------------------------

// A value as every chart prints it: "MiB" and "GiB" step up to the next unit
// from 1024, "B" steps through KiB..TiB, other units follow the number after
// a space; whole numbers without decimals. Values that are not finite print
// "--". Returns the length written.
size_t q_gui_chart_format_value(double value, const char *units, char *out, size_t size);
// An x axis label: on a time axis the local time, with the date only for
// spans over 20 days and the date and time for spans over a day; else "%g".
size_t q_gui_chart_format_x(double x, int time_axis, double span, char *out, size_t size);

// A gauge as drawn in a w x h widget (lengths from its top-left corner). The
// fractions are of the 270 degree arc, 0..1; 0 draws no arc.
struct Q_GUI_CHART_GAUGE_VIEW {
    float cx, cy, radius, thickness;
    double used_fraction;
    double reserved_fraction; // drawn under the used arc, amber
    int used_color;           // Q_GUI_CHART_BLUE..Q_GUI_CHART_DIM
    char percent[32];         // centre text, may be empty
    char caption[96];         // "used / limit" line
};
void q_gui_chart_gauge_view(const Q_GUI_CHART *chart, float line_h, float w, float h,
                            Q_GUI_CHART_GAUGE_VIEW *out);

// A line chart as drawn in a w x h widget with a font (lengths from its
// top-left corner). plotted is 0 when the chart shows its message or the plot
// is too small to draw.
struct Q_GUI_CHART_LINE_VIEW {
    int plotted;
    float plot_x0, plot_y0, plot_x1, plot_y1;
    double x_lo, x_hi;         // x range
    double y_lo, y_hi, y_step; // y axis: grid lines every step from lo to hi
    // The hover read-out: the line at hover_x and the box with its lines (the
    // x value, then one "name: value" line per series with points).
    int hover;
    float hover_x;
    float box_x, box_y, box_w, box_h;
    int line_count;
    char lines[1 + Q_GUI_CHART_SERIES_MAX][Q_GUI_CHART_SERIES_NAME_MAX + 48];
};
void q_gui_chart_line_view(const Q_GUI_CHART *chart, ALLEGRO_FONT *font, float w, float h,
                           Q_GUI_CHART_LINE_VIEW *out);
