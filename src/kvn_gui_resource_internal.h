#pragma once
// What the two halves of the resource panel share: the panel record and the
// few functions each half offers the other. Not for other modules.
#include <allegro5/allegro.h>
#include <cstddef>
#include <string>
#include <vector>

#include "kvn_gui_resource.h"

struct cJSON;
struct KVN_RESOURCE;
struct Q_GUI_POPUP;

// One listed item's texts, as offsets into the panel's text stores.
struct RES_ROW {
    size_t cells;  // the column cells, then the id, each ended by a NUL
    size_t id;     // the id among them
    size_t folded; // the column cells lowered (ASCII), each ended by a NUL
    size_t folded_len;
    int cls; // status class (kvn_res_status_class)
};

struct RES_PANEL {
    const KVN_RESOURCE *res = nullptr;
    const KVN_RESOURCE *parent_res = nullptr;
    int index = -1;
    int window = -1, header = -1, cli = -1, refresh = -1, create = -1, edit = -1, del = -1, actions = -1;
    int parent = -1, filter = -1, count = -1, split = -1, grid = -1, detail = -1;
    float x = 0, y = 0, w = 0, h = 0;
    cJSON *answer = nullptr; // owned
    cJSON *items = nullptr;  // inside answer
    int loaded = 0, loading = 0, busy = 0, filling = 0;
    int no_row = -1; // rows listed and none chosen, as the buttons last showed it
    double next_reload = 0;
    unsigned list_gen = 0, show_gen = 0;
    char selected[KVN_RES_ID_MAX] = "";
    cJSON *show_json = nullptr; // owned
    char parent_id[KVN_RES_ID_MAX] = "";
    std::vector<std::string> parent_ids;
    char filter_text[KVN_RES_FILTER_MAX] = "";
    // Every item's cells formatted once per answer: a key typed in the
    // filter scans these texts and refills the grid, and formats nothing.
    const cJSON *rows_of = nullptr; // the items they were made from
    std::vector<RES_ROW> rows;
    std::string row_text, row_folded;
    // What the grid holds: the items kept, in item order, for the folded
    // filter text, under the sort and row colours it was filled with.
    std::vector<int> shown;
    bool shown_valid = false;
    std::string shown_filter;
    int shown_sort_col = -1, shown_sort_dir = 0;
    ALLEGRO_COLOR shown_error{}, shown_warning{};
    Q_GUI_POPUP *menu = nullptr;
    int menu_mode = -1;
    double menu_closed_at = -1;
};

// kvn_gui_resource.cpp
void kvn_res_place(RES_PANEL *p, float x, float y, float w, float h);
void kvn_res_refresh_buttons(RES_PANEL *p);
void kvn_res_reload(RES_PANEL *p);
void kvn_res_reload_show(RES_PANEL *p);
RES_PANEL *kvn_res_panel(int index);
RES_PANEL *kvn_res_shown_panel(void);
int kvn_res_panel_count(void);
const cJSON *kvn_res_find_item(const RES_PANEL *p, const char *id);

// kvn_gui_resource_ops.cpp
void kvn_res_on_create(int widget, void *panel);
void kvn_res_on_edit(int widget, void *panel);
void kvn_res_on_delete(int widget, void *panel);
void kvn_res_on_actions(int widget, void *panel);
// from_button: the Actions button, which a click that just closed the menu
// must not reopen.
void kvn_res_open_menu(RES_PANEL *p, float x, float y, int from_button);
void kvn_res_ops_reset(void);
