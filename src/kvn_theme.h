#pragma once
// The application's two colour themes, Dark and Light. Applying one restyles
// the toolkit theme that new windows and widgets copy, the tooltips, and the
// one chart palette every application chart points to; window modules read
// their own colours from the current palette when they draw.

#include <allegro5/allegro.h>

#include "q_gui_chart.h"

struct Q_GUI_CTX;
struct Q_GUI_THEME;

enum { KVN_THEME_DARK = 0, KVN_THEME_LIGHT = 1 };

struct KVN_PALETTE {
    char name[8];             // "Dark" or "Light"
    ALLEGRO_COLOR background; // cleared behind everything
    ALLEGRO_COLOR panel;      // widget and window background
    ALLEGRO_COLOR panel_hover;
    ALLEGRO_COLOR panel_active; // also selected
    ALLEGRO_COLOR border;
    ALLEGRO_COLOR border_hover;
    ALLEGRO_COLOR accent; // active border
    ALLEGRO_COLOR text;
    ALLEGRO_COLOR dim_text;
    ALLEGRO_COLOR ok;
    ALLEGRO_COLOR warning;
    ALLEGRO_COLOR error;
    ALLEGRO_COLOR series[8]; // the same in both themes
};

// Index 1 gives Light, every other value Dark.
KVN_PALETTE kvn_theme_palette(int theme);
// The current palette; Dark until a theme is applied.
const KVN_PALETTE *kvn_theme_current(void);
// Makes the palette of the index current and refreshes the chart palette;
// with a context also restyles the toolkit and its tooltips. Main thread.
void kvn_theme_apply(Q_GUI_CTX *ctx, int theme);
// After kvn_theme_apply: every window and widget made before, whose colours
// are those of the palette `from`, takes the same roles' colours of the
// current palette, so a theme switch shows at once everywhere.
void kvn_theme_restyle(Q_GUI_CTX *ctx, const KVN_PALETTE *from);
// The palette every application chart draws with, refreshed from the current
// palette.
const Q_GUI_CHART_PALETTE *kvn_theme_chart_palette(void);
// Points the chart at the shared palette and adds its widget; -1 without a
// chart or when the widget cannot be made.
int kvn_theme_add_chart(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h, Q_GUI_CHART *chart);
// The widget theme of the status label for a KVN_STATUS_* level: flat, on the
// panel colour, text in the level's colour (information, error, warning).
Q_GUI_THEME kvn_theme_status_theme(int level);
// The same flat look with a text colour of the caller's choice.
Q_GUI_THEME kvn_theme_flat_theme(ALLEGRO_COLOR text);
