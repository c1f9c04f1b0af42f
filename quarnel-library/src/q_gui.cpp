// q_gui core: the context, theme and style, display size, DPI and the virtual
// canvas, event routing, focus, hover and tooltips, and the draw pass.
// Windows live in q_gui_window.cpp, the common widget record in
// q_gui_widget.cpp, and each widget kind in its own file.

#include <algorithm>
#include <allegro5/allegro_primitives.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstddef>

#include "q_clipboard.h"
#include "q_common.h"
#include "q_gui_internal.h"

// =============================================================================
// Theme and style
// =============================================================================

Q_GUI_THEME q_gui_default_theme(void) {
    Q_GUI_THEME t;
    t.bg_normal = al_map_rgba(50, 50, 60, 230);
    t.bg_hover = al_map_rgba(70, 70, 85, 240);
    t.bg_active = al_map_rgba(90, 90, 110, 250);
    t.border_normal = al_map_rgba(120, 120, 140, 255);
    t.border_hover = al_map_rgba(160, 160, 180, 255);
    t.border_active = al_map_rgba(200, 200, 220, 255);
    t.text_normal = al_map_rgba(220, 220, 220, 255);
    t.text_hover = al_map_rgba(255, 255, 255, 255);
    t.text_active = al_map_rgba(255, 255, 255, 255);
    t.border_thickness = 1.0f;
    t.corner_rx = 4.0f;
    t.corner_ry = 4.0f;
    t.selection_color = al_map_rgba(50, 100, 200, 120);
    return t;
}

Q_GUI_THEME q_gui_make_theme(ALLEGRO_COLOR bg_normal, ALLEGRO_COLOR bg_hover, ALLEGRO_COLOR bg_active,
                             ALLEGRO_COLOR border_normal, ALLEGRO_COLOR border_hover,
                             ALLEGRO_COLOR border_active, ALLEGRO_COLOR text_normal, ALLEGRO_COLOR text_hover,
                             ALLEGRO_COLOR text_active, float border_thickness, float corner_rx,
                             float corner_ry) {
    Q_GUI_THEME t;
    t.bg_normal = bg_normal;
    t.bg_hover = bg_hover;
    t.bg_active = bg_active;
    t.border_normal = border_normal;
    t.border_hover = border_hover;
    t.border_active = border_active;
    t.text_normal = text_normal;
    t.text_hover = text_hover;
    t.text_active = text_active;
    t.border_thickness = border_thickness;
    t.corner_rx = corner_rx;
    t.corner_ry = corner_ry;
    t.selection_color = al_map_rgba(50, 100, 200, 120);
    return t;
}

static Q_GUI_THEME _tb_theme(ALLEGRO_COLOR hover, ALLEGRO_COLOR active) {
    Q_GUI_THEME t;
    const ALLEGRO_COLOR clear = al_map_rgba(0, 0, 0, 0);
    t.bg_normal = clear;
    t.bg_hover = hover;
    t.bg_active = active;
    t.border_normal = t.border_hover = t.border_active = clear;
    t.text_normal = al_map_rgba(200, 200, 200, 255);
    t.text_hover = t.text_active = al_map_rgba(255, 255, 255, 255);
    t.border_thickness = 0.0f;
    t.corner_rx = t.corner_ry = 2.0f;
    t.selection_color = clear;
    return t;
}

static Q_GUI_STYLE _default_style(void) {
    Q_GUI_STYLE s;
    memset(&s, 0, sizeof s);
    s.titlebar_h = 28;
    s.min_win_w = 120;
    s.min_win_h = 60;
    s.title_padding = 8;
    s.title_max_w_reserve = 16;
    s.tb_btn_size = 0;
    s.tb_btn_spacing = 2;
    s.tb_btn_right_margin = 4;
    s.tb_btn_glyph_thickness = 1.5f;
    s.scrollbar_size = 12;
    s.scrollbar_thumb_min = 16;
    s.scrollbar_thumb_padding = 2;
    s.scrollbar_thumb_corner_r = 3;
    s.scrollbar_track_color = al_map_rgba(40, 40, 50, 200);
    s.scrollbar_thumb_color = al_map_rgba(120, 120, 140, 220);
    s.global_scrollbar_size = 14;
    s.global_scrollbar_thumb_min = 20;
    s.global_scrollbar_thumb_padding = 2;
    s.global_scrollbar_thumb_corner_r = 4;
    s.global_scrollbar_border_thickness = 1;
    s.global_scrollbar_track_color = al_map_rgba(30, 30, 40, 200);
    s.global_scrollbar_thumb_color = al_map_rgba(100, 100, 120, 220);
    s.global_scrollbar_thumb_border_color = al_map_rgba(140, 140, 160, 255);
    s.grip_size = 12;
    s.grip_line_thickness = 1;
    s.grip_color = al_map_rgba(160, 160, 180, 200);
    s.slider_track_size = 6;
    s.slider_track_corner_r = 3;
    s.slider_track_border_thickness = 1;
    s.slider_handle_min_r = 4;
    s.slider_handle_edge_offset = 2;
    s.slider_handle_border_thickness = 1.5f;
    s.slider_value_label_offset = 8;
    s.textarea_padding = 4;
    s.textarea_cursor_width = 2;
    s.textarea_cursor_blink_period = 1.0f;
    s.checkbox_max_size = 20;
    s.checkbox_mark_margin = 4;
    s.checkbox_mark_thickness = 2;
    s.checkbox_label_gap = 10;
    s.checkbox_label_offset = 6;
    s.radio_circle_min_r = 4;
    s.radio_circle_border_thickness = 1.5f;
    s.radio_inner_offset = 3;
    s.radio_label_gap = 6;
    s.listbox_default_item_height = 20;
    s.radiolist_default_item_height = 22;
    s.combobox_max_visible = 6;
    s.dropmenu_max_visible = 12;
    s.shape_mode = 1;
    s.item_text_padding = 6;
    s.item_selection_inset = 1;
    s.item_height_pad = 4;
    s.dropdown_arrow_reserve = 16;
    s.dropdown_arrow_thickness = 1.5f;
    s.dropdown_arrow_half_h = 3;
    s.dropdown_arrow_half_w = 5;
    s.dropdown_border_thickness = 1;
    s.label_padding = 4;
    s.link_underline_thickness = 1;
    s.link_color_normal = al_map_rgba(80, 140, 220, 255);
    s.link_color_hover = al_map_rgba(120, 180, 255, 255);
    s.scroll_step = 20;
    s.global_scroll_step = 30;
    s.combobox_max_dropdown_width = 0;
    s.tooltip_delay = 0.6f;
    s.tooltip_bg = al_map_rgba(28, 30, 36, 240);
    s.tooltip_border = al_map_rgba(110, 115, 130, 255);
    s.tooltip_text = al_map_rgba(225, 225, 230, 255);
    s.tooltip_max_w = 480;
    return s;
}

void q_gui_set_theme(Q_GUI_CTX *ctx, const Q_GUI_THEME *theme) {
    Q_GUARD_VOID(ctx);
    Q_GUARD_VOID(theme);
    ctx->theme = *theme;
    ctx->style.scrollbar_track_color = q_gui_with_alpha(theme->bg_normal, 0.78f);
    ctx->style.scrollbar_thumb_color = q_gui_with_alpha(theme->border_normal, 0.86f);
    ctx->style.global_scrollbar_track_color = q_gui_with_alpha(theme->bg_active, 0.78f);
    ctx->style.global_scrollbar_thumb_color = q_gui_with_alpha(theme->border_normal, 0.86f);
    ctx->style.global_scrollbar_thumb_border_color = q_gui_with_alpha(theme->text_normal, 0.5f);
    Q_GUI_THEME *tbs[2] = {&ctx->tb_theme, &ctx->tb_close_theme};
    for (Q_GUI_THEME *t : tbs) {
        t->text_normal = q_gui_with_alpha(theme->text_normal, 0.8f);
        t->text_hover = theme->text_hover;
        t->text_active = theme->text_active;
    }
    ctx->redraw = 1;
}

// ---- theme file ----------------------------------------------------------------

namespace {
enum { K_FLOAT, K_INT, K_COLOR };
struct THEME_KEY {
    const char *name;
    int type;
    size_t offset;
};

#define TK(f, t)                                                                                             \
    { #f, t, offsetof(Q_GUI_THEME, f) }
const THEME_KEY k_theme_keys[] = {
    TK(bg_normal, K_COLOR),        TK(bg_hover, K_COLOR),     TK(bg_active, K_COLOR),
    TK(border_normal, K_COLOR),    TK(border_hover, K_COLOR), TK(border_active, K_COLOR),
    TK(text_normal, K_COLOR),      TK(text_hover, K_COLOR),   TK(text_active, K_COLOR),
    TK(border_thickness, K_FLOAT), TK(corner_rx, K_FLOAT),    TK(corner_ry, K_FLOAT),
    TK(selection_color, K_COLOR),
};
#undef TK

#define SK(f, t)                                                                                             \
    { #f, t, offsetof(Q_GUI_STYLE, f) }
const THEME_KEY k_style_keys[] = {
    SK(titlebar_h, K_FLOAT),
    SK(min_win_w, K_FLOAT),
    SK(min_win_h, K_FLOAT),
    SK(title_padding, K_FLOAT),
    SK(title_max_w_reserve, K_FLOAT),
    SK(tb_btn_size, K_FLOAT),
    SK(tb_btn_spacing, K_FLOAT),
    SK(tb_btn_right_margin, K_FLOAT),
    SK(tb_btn_glyph_thickness, K_FLOAT),
    SK(scrollbar_size, K_FLOAT),
    SK(scrollbar_thumb_min, K_FLOAT),
    SK(scrollbar_thumb_padding, K_FLOAT),
    SK(scrollbar_thumb_corner_r, K_FLOAT),
    SK(scrollbar_track_color, K_COLOR),
    SK(scrollbar_thumb_color, K_COLOR),
    SK(global_scrollbar_size, K_FLOAT),
    SK(global_scrollbar_thumb_min, K_FLOAT),
    SK(global_scrollbar_thumb_padding, K_FLOAT),
    SK(global_scrollbar_thumb_corner_r, K_FLOAT),
    SK(global_scrollbar_border_thickness, K_FLOAT),
    SK(global_scrollbar_track_color, K_COLOR),
    SK(global_scrollbar_thumb_color, K_COLOR),
    SK(global_scrollbar_thumb_border_color, K_COLOR),
    SK(grip_size, K_FLOAT),
    SK(grip_line_thickness, K_FLOAT),
    SK(grip_color, K_COLOR),
    SK(slider_track_size, K_FLOAT),
    SK(slider_track_corner_r, K_FLOAT),
    SK(slider_track_border_thickness, K_FLOAT),
    SK(slider_handle_min_r, K_FLOAT),
    SK(slider_handle_edge_offset, K_FLOAT),
    SK(slider_handle_border_thickness, K_FLOAT),
    SK(slider_value_label_offset, K_FLOAT),
    SK(textarea_padding, K_FLOAT),
    SK(textarea_cursor_width, K_FLOAT),
    SK(textarea_cursor_blink_period, K_FLOAT),
    SK(checkbox_max_size, K_FLOAT),
    SK(checkbox_mark_margin, K_FLOAT),
    SK(checkbox_mark_thickness, K_FLOAT),
    SK(checkbox_label_gap, K_FLOAT),
    SK(checkbox_label_offset, K_FLOAT),
    SK(radio_circle_min_r, K_FLOAT),
    SK(radio_circle_border_thickness, K_FLOAT),
    SK(radio_inner_offset, K_FLOAT),
    SK(radio_label_gap, K_FLOAT),
    SK(listbox_default_item_height, K_FLOAT),
    SK(radiolist_default_item_height, K_FLOAT),
    SK(combobox_max_visible, K_INT),
    SK(dropmenu_max_visible, K_INT),
    SK(shape_mode, K_INT),
    SK(item_text_padding, K_FLOAT),
    SK(item_selection_inset, K_FLOAT),
    SK(item_height_pad, K_FLOAT),
    SK(dropdown_arrow_reserve, K_FLOAT),
    SK(dropdown_arrow_thickness, K_FLOAT),
    SK(dropdown_arrow_half_h, K_FLOAT),
    SK(dropdown_arrow_half_w, K_FLOAT),
    SK(dropdown_border_thickness, K_FLOAT),
    SK(label_padding, K_FLOAT),
    SK(link_underline_thickness, K_FLOAT),
    SK(link_color_normal, K_COLOR),
    SK(link_color_hover, K_COLOR),
    SK(scroll_step, K_FLOAT),
    SK(global_scroll_step, K_FLOAT),
    SK(combobox_max_dropdown_width, K_FLOAT),
};
#undef SK
} // namespace

static cJSON *_keys_to_json(const void *base, const THEME_KEY *keys, size_t n) {
    cJSON *obj = cJSON_CreateObject();
    if (!obj) return nullptr;
    for (size_t i = 0; i < n; i++) {
        const char *p = static_cast<const char *>(base) + keys[i].offset;
        cJSON *v = nullptr;
        if (keys[i].type == K_COLOR) {
            unsigned char c[4];
            al_unmap_rgba(*reinterpret_cast<const ALLEGRO_COLOR *>(p), &c[0], &c[1], &c[2], &c[3]);
            int ci[4] = {c[0], c[1], c[2], c[3]};
            v = cJSON_CreateIntArray(ci, 4);
        } else if (keys[i].type == K_INT) {
            v = cJSON_CreateNumber(*reinterpret_cast<const int *>(p));
        } else {
            v = cJSON_CreateNumber(*reinterpret_cast<const float *>(p));
        }
        if (!v || !cJSON_AddItemToObject(obj, keys[i].name, v)) {
            cJSON_Delete(v);
            cJSON_Delete(obj);
            return nullptr;
        }
    }
    return obj;
}

static int _clamp_byte(double v) {
    return v < 0 ? 0 : v > 255 ? 255 : (int)lround(v);
}

// Applies the members present; a member of the wrong shape is skipped so that
// one bad key does not throw away the rest of a hand-edited file.
static void _keys_from_json(void *base, const THEME_KEY *keys, size_t n, const cJSON *obj) {
    if (!cJSON_IsObject(obj)) return;
    for (size_t i = 0; i < n; i++) {
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, keys[i].name);
        if (!v) continue;
        char *p = static_cast<char *>(base) + keys[i].offset;
        if (keys[i].type == K_COLOR) {
            if (!cJSON_IsArray(v) || cJSON_GetArraySize(v) != 4) continue;
            int c[4];
            bool ok = true;
            for (int k = 0; k < 4; k++) {
                const cJSON *e = cJSON_GetArrayItem(v, k);
                if (!cJSON_IsNumber(e))
                    ok = false;
                else
                    c[k] = _clamp_byte(e->valuedouble);
            }
            if (ok) *reinterpret_cast<ALLEGRO_COLOR *>(p) = al_map_rgba(c[0], c[1], c[2], c[3]);
        } else if (cJSON_IsNumber(v)) {
            if (keys[i].type == K_INT)
                *reinterpret_cast<int *>(p) = (int)v->valuedouble;
            else
                *reinterpret_cast<float *>(p) = (float)v->valuedouble;
        }
    }
}

int q_gui_save_theme_json(const Q_GUI_CTX *ctx, const char *path) {
    Q_GUARD(ctx, -1);
    Q_GUARD(path, -1);
    Q_CJSON doc(cJSON_CreateObject());
    if (!doc) return -1;
    cJSON *theme = _keys_to_json(&ctx->theme, k_theme_keys, sizeof k_theme_keys / sizeof k_theme_keys[0]);
    if (!theme || !cJSON_AddItemToObject(doc.get(), "theme", theme)) {
        cJSON_Delete(theme);
        return -1;
    }
    cJSON *style = _keys_to_json(&ctx->style, k_style_keys, sizeof k_style_keys / sizeof k_style_keys[0]);
    if (!style || !cJSON_AddItemToObject(doc.get(), "style", style)) {
        cJSON_Delete(style);
        return -1;
    }
    Q_CBUF text(cJSON_Print(doc.get()));
    if (!text) return -1;
    FILE *f = fopen(path, "wb");
    if (!f) {
        q_log(Q_LOG_ERR, "q_gui_save_theme_json: cannot open %s for writing", path);
        return -1;
    }
    const size_t len = strlen(text.get());
    bool ok = fwrite(text.get(), 1, len, f) == len && fputc('\n', f) != EOF;
    ok = (fclose(f) == 0) && ok;
    return ok ? 0 : -1;
}

int q_gui_load_theme_json(Q_GUI_CTX *ctx, const char *path) {
    Q_GUARD(ctx, -1);
    Q_GUARD(path, -1);
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    // A theme file is a few kilobytes; anything far larger is not one.
    const long k_cap = 1 << 20;
    char *buf = nullptr;
    Q_CALLOC(buf, (size_t)k_cap + 1, char);
    if (!buf) {
        fclose(f);
        return -1;
    }
    Q_CBUF hold(buf);
    const size_t n = fread(buf, 1, (size_t)k_cap + 1, f);
    fclose(f);
    if (n > (size_t)k_cap) {
        q_log(Q_LOG_ERR, "q_gui_load_theme_json: %s is larger than %ld bytes", path, k_cap);
        return -1;
    }
    buf[n] = 0;
    Q_CJSON doc(cJSON_Parse(buf));
    if (!cJSON_IsObject(doc.get())) {
        q_log(Q_LOG_ERR, "q_gui_load_theme_json: %s is not a JSON object", path);
        return -1;
    }
    _keys_from_json(&ctx->theme, k_theme_keys, sizeof k_theme_keys / sizeof k_theme_keys[0],
                    cJSON_GetObjectItemCaseSensitive(doc.get(), "theme"));
    _keys_from_json(&ctx->style, k_style_keys, sizeof k_style_keys / sizeof k_style_keys[0],
                    cJSON_GetObjectItemCaseSensitive(doc.get(), "style"));
    ctx->redraw = 1;
    return 0;
}

// =============================================================================
// Context and display
// =============================================================================

double q_gui_now(void) {
    return al_get_time();
}

double q_gui_event_time(const ALLEGRO_EVENT *ev) {
    return (ev && ev->any.timestamp > 0) ? ev->any.timestamp : al_get_time();
}

void q_gui_redraw_until(Q_GUI_CTX *ctx, double t) {
    if (t > ctx->redraw_until) ctx->redraw_until = t;
}

Q_GUI_CTX *q_gui_new_ctx(ALLEGRO_FONT *font) {
    Q_GUARD(font, nullptr);
    Q_GUI_CTX *ctx = nullptr;
    Q_CALLOC(ctx, 1, Q_GUI_CTX);
    if (!ctx) return nullptr;
    ctx->window_cap = 16;
    ctx->windows = static_cast<Q_GUI_WINDOW **>(calloc((size_t)ctx->window_cap, sizeof(Q_GUI_WINDOW *)));
    if (!ctx->windows) {
        q_log(Q_LOG_ERR, "q_gui_new_ctx: failed to allocate window list");
        Q_FREE(ctx);
        return nullptr;
    }
    ctx->widgets =
        static_cast<Q_GUI_WIDGET_SLOT **>(calloc(Q_GUI_WIDGET_BUCKETS, sizeof(Q_GUI_WIDGET_SLOT *)));
    if (!ctx->widgets) {
        q_log(Q_LOG_ERR, "q_gui_new_ctx: failed to allocate widget hash table");
        Q_FREE(ctx->windows);
        Q_FREE(ctx);
        return nullptr;
    }
    ctx->next_window_id = 1;
    ctx->next_widget_id = 1;
    ctx->default_font = font;
    ctx->theme = q_gui_default_theme();
    ctx->style = _default_style();
    ctx->tb_theme = _tb_theme(al_map_rgba(255, 255, 255, 40), al_map_rgba(255, 255, 255, 80));
    ctx->tb_close_theme = _tb_theme(al_map_rgba(232, 17, 35, 220), al_map_rgba(200, 10, 25, 255));
    ctx->focus = -1;
    ctx->system_cursor = ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT;
    ctx->requested_cursor = ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT;
    ctx->dc_last_widget = -1;
    ctx->dc_last_x = ctx->dc_last_y = -1e9f;
    ctx->dc_widget = -1;
    ctx->dc_time = 0.4;
    ctx->dc_radius = 4;
    ctx->hover_widget = -1;
    ctx->hover_x = ctx->hover_y = -1e9f;
    ctx->capture = -1;
    for (Q_GUI_OVERLAY &o : ctx->overlays)
        o = {-1, nullptr};
    ctx->dpi_scale = 1.0f;
    ctx->virtual_scale = 1.0f;
    ctx->redraw = 1;
    ctx->selection_owner = -1;
    return ctx;
}

void q_gui_destroy_ctx(Q_GUI_CTX **pctx) {
    Q_GUARD_VOID(pctx);
    Q_GUI_CTX *ctx = *pctx;
    Q_GUARD_VOID(ctx);
    for (int i = 0; i < ctx->window_count; i++)
        if (ctx->windows[i]->native) q_gui_window_drop_native(ctx, ctx->windows[i], 0);
    for (int i = 0; i < ctx->window_count; i++)
        q_gui_window_free(ctx, ctx->windows[i]);
    Q_FREE(ctx->windows);
    for (int b = 0; b < Q_GUI_WIDGET_BUCKETS; b++) {
        Q_GUI_WIDGET_SLOT *s = ctx->widgets[b];
        while (s) {
            Q_GUI_WIDGET_SLOT *next = s->next;
            free(s);
            s = next;
        }
    }
    Q_FREE(ctx->widgets);
    free(ctx->pending_geom);
    free(ctx->pending_states);
    Q_FREE(ctx);
    *pctx = nullptr;
}

int q_gui_set_default_font(Q_GUI_CTX *ctx, ALLEGRO_FONT *font) {
    Q_GUARD(ctx, 0);
    if (!font) return 0;
    ctx->default_font = font;
    for (int i = 0; i < ctx->window_count; i++)
        q_gui_window_update_content(ctx, ctx->windows[i]);
    ctx->redraw = 1;
    return 1;
}

void q_gui_set_display(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *display) {
    Q_GUARD_VOID(ctx);
    ctx->display = display;
    q_clipboard_set_display(display);
}

void q_gui_set_display_size(Q_GUI_CTX *ctx, float w, float h) {
    Q_GUARD_VOID(ctx);
    ctx->display_w = w;
    ctx->display_h = h;
    ctx->display_size_set = 1;
    if (ctx->resize_mode == 1 && w > 0 && h > 0)
        q_gui_apply_adaptive_resize(ctx, w, h);
    else if (ctx->virtual_w > 0)
        q_gui_update_transform(ctx);
    ctx->redraw = 1;
}

void q_gui_set_virtual_size(Q_GUI_CTX *ctx, float w, float h) {
    Q_GUARD_VOID(ctx);
    if (w > 0 && h > 0) {
        ctx->virtual_w = w;
        ctx->virtual_h = h;
    } else if (w <= 0 && h <= 0) {
        ctx->virtual_w = ctx->virtual_h = 0;
    } else {
        q_log(Q_LOG_WARNING,
              "q_gui_set_virtual_size: both dimensions must be > 0 (got w=%.1f, h=%.1f); virtual canvas not "
              "changed",
              (double)w, (double)h);
        return;
    }
    q_gui_update_transform(ctx);
    ctx->redraw = 1;
}

void q_gui_update_transform(Q_GUI_CTX *ctx) {
    Q_GUARD_VOID(ctx);
    if (ctx->virtual_w <= 0 || ctx->virtual_h <= 0 || ctx->display_w <= 0 || ctx->display_h <= 0) {
        ctx->virtual_scale = 1.0f;
        ctx->letterbox_x = ctx->letterbox_y = 0;
        return;
    }
    float s = fminf(ctx->display_w / ctx->virtual_w, ctx->display_h / ctx->virtual_h);
    if (s < 0.01f) s = 0.01f;
    ctx->virtual_scale = s;
    ctx->letterbox_x = (ctx->display_w - ctx->virtual_w * s) / 2;
    ctx->letterbox_y = (ctx->display_h - ctx->virtual_h * s) / 2;
}

void q_gui_screen_to_virtual(const Q_GUI_CTX *ctx, float x, float y, float *vx, float *vy) {
    float s = (ctx && ctx->virtual_w > 0 && ctx->virtual_scale > 0) ? ctx->virtual_scale : 1.0f;
    float ox = (ctx && ctx->virtual_w > 0) ? ctx->letterbox_x : 0;
    float oy = (ctx && ctx->virtual_w > 0) ? ctx->letterbox_y : 0;
    if (vx) *vx = (x - ox) / s;
    if (vy) *vy = (y - oy) / s;
}

// The canvas the windows live on: the virtual one when set, else the display.
static void _canvas_size(const Q_GUI_CTX *ctx, float *w, float *h) {
    if (ctx->virtual_w > 0) {
        *w = ctx->virtual_w;
        *h = ctx->virtual_h;
    } else {
        *w = ctx->display_w;
        *h = ctx->display_h;
    }
}

float q_gui_dpi_scale_for(float w, float h, float bw, float bh) {
    if (w <= 0 || h <= 0 || bw <= 0 || bh <= 0) return 1.0f;
    float s = fmaxf(bw / w, bh / h);
    if (s < 0.5f) return 1.0f;
    if (s > 8.0f) return 8.0f;
    return s;
}

float q_gui_detect_dpi_scale(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *display) {
    Q_GUARD(ctx, 1.0f);
    float s = 1.0f;
    if (display) {
        ALLEGRO_BITMAP *bb = al_get_backbuffer(display);
        if (bb)
            s = q_gui_dpi_scale_for((float)al_get_display_width(display),
                                    (float)al_get_display_height(display), (float)al_get_bitmap_width(bb),
                                    (float)al_get_bitmap_height(bb));
    }
    ctx->dpi_scale = s;
    return s;
}

void q_gui_set_dpi_scale(Q_GUI_CTX *ctx, float s) {
    Q_GUARD_VOID(ctx);
    ctx->dpi_scale = s < 0.25f ? 0.25f : s > 8.0f ? 8.0f : s;
    ctx->redraw = 1;
}

float q_gui_get_dpi_scale(const Q_GUI_CTX *ctx) {
    return ctx ? ctx->dpi_scale : 1.0f;
}

void q_gui_set_resize_mode(Q_GUI_CTX *ctx, int mode) {
    Q_GUARD_VOID(ctx);
    ctx->resize_mode = mode;
    if (mode != 1) return;
    // Adaptive layout follows the real display, so a canvas would only fight
    // it.
    ctx->virtual_w = ctx->virtual_h = 0;
    q_gui_update_transform(ctx);
    ctx->ref_w = ctx->display_w;
    ctx->ref_h = ctx->display_h;
    for (int i = 0; i < ctx->window_count; i++)
        q_gui_window_update_normalized(ctx, ctx->windows[i]->id);
}

int q_gui_get_resize_mode(const Q_GUI_CTX *ctx) {
    return ctx ? ctx->resize_mode : 0;
}

void q_gui_apply_adaptive_resize(Q_GUI_CTX *ctx, float w, float h) {
    Q_GUARD_VOID(ctx);
    if (w <= 0 || h <= 0) return;
    for (int i = 0; i < ctx->window_count; i++) {
        Q_GUI_WINDOW *win = ctx->windows[i];
        if (win->native) continue;
        if (win->resize_policy == 1) {
            win->x = win->nx * w;
            win->y = win->ny * h;
        } else if (win->resize_policy == 2) {
            float nw = win->nw * w, nh = win->nh * h;
            if (!(win->flags & Q_GUI_WIN_NO_TITLEBAR)) {
                if (nw < win->min_w) nw = win->min_w;
                if (nh < win->min_h) nh = win->min_h;
            }
            win->x = win->nx * w;
            win->y = win->ny * h;
            win->w = nw < 1 ? 1 : nw;
            win->h = nh < 1 ? 1 : nh;
            q_gui_window_relayout_widgets(win, 1, 1);
        }
    }
    ctx->ref_w = w;
    ctx->ref_h = h;
    ctx->redraw = 1;
}

void q_gui_set_shape_mode(Q_GUI_CTX *ctx, int mode) {
    Q_GUARD_VOID(ctx);
    ctx->style.shape_mode = mode == 1 ? 1 : 0;
    ctx->redraw = 1;
}

void q_gui_set_event_queue(Q_GUI_CTX *ctx, ALLEGRO_EVENT_QUEUE *queue) {
    Q_GUARD_VOID(ctx);
    ctx->queue = queue;
}

ALLEGRO_EVENT_QUEUE *q_gui_get_event_queue(const Q_GUI_CTX *ctx) {
    return ctx ? ctx->queue : nullptr;
}

// =============================================================================
// Focus
// =============================================================================

static int _usable(const Q_GUI_WIDGET *w) {
    return w && w->visible && w->enabled;
}

void q_gui_set_focus(Q_GUI_CTX *ctx, int widget_id) {
    Q_GUARD_VOID(ctx);
    if (ctx->focus >= 0) {
        Q_GUI_WIDGET *old = q_gui_get_widget(ctx, ctx->focus);
        if (old) old->state &= ~Q_GUI_WS_FOCUSED;
    }
    ctx->focus = -1;
    ctx->redraw = 1;
    if (widget_id < 0) return;
    Q_GUI_WIDGET *w = q_gui_get_widget(ctx, widget_id);
    if (!w) {
        q_log(Q_LOG_WARNING, "q_gui_set_focus: widget %d not found", widget_id);
        return;
    }
    w->state |= Q_GUI_WS_FOCUSED;
    ctx->focus = widget_id;
    if (w->ops && w->ops->animates_when_focused) q_gui_redraw_until(ctx, q_gui_now() + 0.05);
    Q_GUI_WINDOW *win = q_gui_widget_window(ctx, w);
    if (win && (win->state & Q_GUI_WST_OPEN)) q_gui_raise_window(ctx, win->id);
}

int q_gui_get_focus(const Q_GUI_CTX *ctx) {
    return ctx ? ctx->focus : -1;
}

void q_gui_focus_window(Q_GUI_CTX *ctx, int window_id) {
    Q_GUARD_VOID(ctx);
    Q_GUI_WINDOW *win = q_gui_window_find(ctx, window_id);
    if (!win) return;
    q_gui_raise_window(ctx, window_id);
    for (int i = 0; i < win->widget_count; i++) {
        Q_GUI_WIDGET *w = win->widgets[i];
        if (_usable(w) && w->ops && w->ops->click_focus) {
            q_gui_set_focus(ctx, w->id);
            return;
        }
    }
    q_gui_set_focus(ctx, -1);
}

int q_gui_focus_takes_key(const Q_GUI_CTX *ctx, int keycode) {
    Q_GUARD(ctx, 0);
    const Q_GUI_WIDGET *w = q_gui_get_widget(ctx, ctx->focus);
    if (!_usable(w) || !w->ops || !w->ops->takes_key) return 0;
    return w->ops->takes_key(w, keycode) ? 1 : 0;
}

// Tab order: the focusable widgets of one window, in creation order.
static void _tab_move(Q_GUI_CTX *ctx, int backwards) {
    Q_GUI_WINDOW *win = nullptr;
    Q_GUI_WIDGET *focused = q_gui_get_widget(ctx, ctx->focus);
    if (focused) win = q_gui_widget_window(ctx, focused);
    if (!win) {
        for (int i = ctx->window_count - 1; i >= 0; i--) {
            Q_GUI_WINDOW *c = ctx->windows[i];
            if ((c->state & Q_GUI_WST_OPEN) && !(c->state & Q_GUI_WST_MINIMIZED) &&
                q_gui_window_display(ctx, c) == ctx->event_display) {
                win = c;
                break;
            }
        }
    }
    if (!win) return;
    int order[Q_GUI_TAB_MAX];
    int n = 0, cur = -1;
    for (int i = 0; i < win->widget_count && n < Q_GUI_TAB_MAX; i++) {
        Q_GUI_WIDGET *w = win->widgets[i];
        if (!_usable(w) || !w->ops || !w->ops->tab_focus) continue;
        if (w->id == ctx->focus) cur = n;
        order[n++] = w->id;
    }
    if (n == 0) return;
    int next;
    if (cur < 0)
        next = backwards ? n - 1 : 0;
    else
        next = backwards ? (cur + n - 1) % n : (cur + 1) % n;
    q_gui_set_focus(ctx, order[next]);
}

void q_gui_focus_move_dir(Q_GUI_CTX *ctx, Q_GUI_WIDGET *from, int dx, int dy) {
    Q_GUI_WINDOW *win = q_gui_widget_window(ctx, from);
    if (!win) return;
    const float cx = from->x + from->w / 2, cy = from->y + from->h / 2;
    int best = -1;
    float best_score = 0;
    for (int i = 0; i < win->widget_count; i++) {
        Q_GUI_WIDGET *w = win->widgets[i];
        if (w == from || !_usable(w) || !w->ops || !w->ops->tab_focus) continue;
        const float ox = w->x + w->w / 2 - cx, oy = w->y + w->h / 2 - cy;
        const float along = ox * (float)dx + oy * (float)dy;
        if (along <= 0) continue;
        const float across = fabsf(ox * (float)dy) + fabsf(oy * (float)dx);
        // Straight ahead beats diagonal: the sideways offset weighs double.
        const float score = along + 2 * across;
        if (best < 0 || score < best_score) {
            best = w->id;
            best_score = score;
        }
    }
    if (best >= 0) q_gui_set_focus(ctx, best);
}

// =============================================================================
// Queries
// =============================================================================

int q_gui_wants_mouse(const Q_GUI_CTX *ctx) {
    Q_GUARD(ctx, 0);
    const float x = (float)ctx->mouse_x, y = (float)ctx->mouse_y;
    for (int i = 0; i < ctx->window_count; i++) {
        const Q_GUI_WINDOW *win = ctx->windows[i];
        if (win->native || !(win->state & Q_GUI_WST_OPEN)) continue;
        if (q_gui_window_contains(win, x, y)) return 1;
    }
    return 0;
}

int q_gui_hovered_widget(const Q_GUI_CTX *ctx) {
    Q_GUARD(ctx, -1);
    for (int i = ctx->window_count - 1; i >= 0; i--) {
        const Q_GUI_WINDOW *win = ctx->windows[i];
        if (!(win->state & Q_GUI_WST_OPEN)) continue;
        for (int k = win->widget_count - 1; k >= 0; k--) {
            const Q_GUI_WIDGET *w = win->widgets[k];
            if (_usable(w) && (w->state & (Q_GUI_WS_HOVER | Q_GUI_WS_PRESSED))) return w->id;
        }
    }
    return -1;
}

int q_gui_double_clicked_widget(const Q_GUI_CTX *ctx) {
    return ctx ? ctx->dc_widget : -1;
}

int q_gui_was_double_click(const Q_GUI_CTX *ctx, int widget_id) {
    return ctx && widget_id >= 0 && ctx->dc_widget == widget_id;
}

void q_gui_set_double_click_time(Q_GUI_CTX *ctx, double seconds) {
    Q_GUARD_VOID(ctx);
    ctx->dc_time = seconds <= 0 ? 0 : seconds;
}

void q_gui_set_double_click_radius(Q_GUI_CTX *ctx, float px) {
    Q_GUARD_VOID(ctx);
    ctx->dc_radius = px < 0 ? 0 : px;
}

int q_gui_menu_is_open(const Q_GUI_CTX *ctx) {
    return ctx &&
           (ctx->overlays[Q_GUI_LAYER_LIST].widget >= 0 || ctx->overlays[Q_GUI_LAYER_MENU].widget >= 0);
}

int q_gui_list_takes_key(const Q_GUI_CTX *ctx, int keycode) {
    if (!ctx ||
        (keycode != ALLEGRO_KEY_ENTER && keycode != ALLEGRO_KEY_PAD_ENTER && keycode != ALLEGRO_KEY_ESCAPE))
        return 0;
    for (const Q_GUI_OVERLAY &o : ctx->overlays)
        if (o.widget >= 0 && o.ops && o.ops->key && q_gui_get_widget(ctx, o.widget)) return 1;
    return 0;
}

void q_gui_close_menus(Q_GUI_CTX *ctx) {
    Q_GUARD_VOID(ctx);
    ctx->overlays[Q_GUI_LAYER_LIST] = {-1, nullptr};
    ctx->overlays[Q_GUI_LAYER_MENU] = {-1, nullptr};
    ctx->redraw = 1;
}

static void _apply_cursor(Q_GUI_CTX *ctx, int shape) {
    if (shape == ctx->system_cursor) return;
    ctx->system_cursor = shape;
    ALLEGRO_DISPLAY *d = ctx->event_display ? ctx->event_display : ctx->display;
    if (d) al_set_system_mouse_cursor(d, (ALLEGRO_SYSTEM_MOUSE_CURSOR)shape);
}

void q_gui_set_cursor(Q_GUI_CTX *ctx, int shape, ALLEGRO_MOUSE_CURSOR *bitmap_cursor) {
    Q_GUARD_VOID(ctx);
    ctx->requested_cursor = shape;
    if (ctx->mouse_down) {
        ctx->cursor_pending = 1;
        return;
    }
    if (bitmap_cursor && ctx->display) {
        al_set_mouse_cursor(ctx->display, bitmap_cursor);
        ctx->system_cursor = -1;
        return;
    }
    _apply_cursor(ctx, shape);
}

int q_gui_tooltip_widget(const Q_GUI_CTX *ctx) {
    Q_GUARD(ctx, -1);
    if (ctx->hover_widget < 0 || ctx->style.tooltip_delay <= 0) return -1;
    const Q_GUI_WIDGET *w = q_gui_get_widget(ctx, ctx->hover_widget);
    if (!w || !w->visible || !w->tooltip || !w->tooltip[0]) return -1;
    const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, w);
    if (!win || !(win->state & Q_GUI_WST_OPEN) || (win->state & Q_GUI_WST_MINIMIZED)) return -1;
    if (q_gui_now() - ctx->hover_start < ctx->style.tooltip_delay) return -1;
    return w->id;
}

// =============================================================================
// Event routing
// =============================================================================

static ALLEGRO_DISPLAY *_main_display(const Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *d) {
    // Events of the main display (or synthetic ones without a display) count
    // as the main display's; only native windows of detached windows differ.
    return (d && q_gui_window_from_display(ctx, d) >= 0) ? d : nullptr;
}

// The widget that holds a layer, with the layer's hooks.
static Q_GUI_WIDGET *_overlay(const Q_GUI_CTX *ctx, int layer, const Q_GUI_OVERLAY_OPS **ops) {
    const Q_GUI_OVERLAY *o = &ctx->overlays[layer];
    Q_GUI_WIDGET *w = o->ops ? q_gui_get_widget(ctx, o->widget) : nullptr;
    *ops = o->ops;
    return w;
}

void q_gui_overlay_open(Q_GUI_CTX *ctx, int layer, Q_GUI_WIDGET *w, const Q_GUI_OVERLAY_OPS *ops) {
    Q_GUI_OVERLAY *o = &ctx->overlays[layer];
    if (o->widget >= 0 && o->widget != w->id) {
        Q_GUI_WIDGET *prev = q_gui_get_widget(ctx, o->widget);
        if (prev && o->ops && o->ops->displaced) o->ops->displaced(ctx, prev);
    }
    o->widget = w->id;
    o->ops = ops;
}

void q_gui_overlay_release(Q_GUI_CTX *ctx, int layer, const Q_GUI_WIDGET *w) {
    Q_GUI_OVERLAY *o = &ctx->overlays[layer];
    if (o->widget == w->id) *o = {-1, nullptr};
}

int q_gui_overlay_held(const Q_GUI_CTX *ctx, int layer, const Q_GUI_WIDGET *w) {
    return ctx->overlays[layer].widget == w->id;
}

void q_gui_overlay_forget(Q_GUI_CTX *ctx, const Q_GUI_WIDGET *w) {
    for (int l = 0; l < Q_GUI_OVERLAY_LAYERS; l++)
        q_gui_overlay_release(ctx, l, w);
}

static void _display_event(Q_GUI_CTX *ctx, const ALLEGRO_EVENT *ev) {
    ALLEGRO_DISPLAY *d = ev->display.source;
    ctx->event_display = _main_display(ctx, d);
    const int wid = q_gui_window_from_display(ctx, d);
    Q_GUI_WINDOW *win = wid >= 0 ? q_gui_window_find(ctx, wid) : nullptr;
    if (ev->type == ALLEGRO_EVENT_DISPLAY_SWITCH_OUT) {
        ctx->mods = 0;
        ctx->shortcut_key = 0;
        ctx->redraw = 1;
        for (int i = 0; i < ctx->window_count; i++) {
            Q_GUI_WINDOW *c = ctx->windows[i];
            if (q_gui_window_display(ctx, c) == ctx->event_display) q_gui_window_cancel_drags(c);
        }
        return;
    }
    if (win) q_gui_window_native_event(ctx, win, ev);
}

static void _update_mods_from_char(Q_GUI_CTX *ctx, unsigned mods) {
    if (mods & ALLEGRO_KEYMOD_CTRL) {
        if (!(ctx->mods & (Q_GUI_MOD_LCTRL | Q_GUI_MOD_RCTRL))) ctx->mods |= Q_GUI_MOD_LCTRL;
    } else {
        ctx->mods &= ~(Q_GUI_MOD_LCTRL | Q_GUI_MOD_RCTRL);
    }
    if (mods & ALLEGRO_KEYMOD_SHIFT) {
        if (!(ctx->mods & (Q_GUI_MOD_LSHIFT | Q_GUI_MOD_RSHIFT))) ctx->mods |= Q_GUI_MOD_LSHIFT;
    } else {
        ctx->mods &= ~(Q_GUI_MOD_LSHIFT | Q_GUI_MOD_RSHIFT);
    }
    if (mods & ALLEGRO_KEYMOD_ALT)
        ctx->mods |= Q_GUI_MOD_ALT;
    else
        ctx->mods &= ~Q_GUI_MOD_ALT;
    if (mods & ALLEGRO_KEYMOD_ALTGR)
        ctx->mods |= Q_GUI_MOD_ALTGR;
    else
        ctx->mods &= ~Q_GUI_MOD_ALTGR;
}

static int _mod_bit_for_key(int keycode) {
    switch (keycode) {
    case ALLEGRO_KEY_LSHIFT:
        return Q_GUI_MOD_LSHIFT;
    case ALLEGRO_KEY_RSHIFT:
        return Q_GUI_MOD_RSHIFT;
    case ALLEGRO_KEY_LCTRL:
        return Q_GUI_MOD_LCTRL;
    case ALLEGRO_KEY_RCTRL:
        return Q_GUI_MOD_RCTRL;
    case ALLEGRO_KEY_ALT:
        return Q_GUI_MOD_ALT;
    case ALLEGRO_KEY_ALTGR:
        return Q_GUI_MOD_ALTGR;
    default:
        return 0;
    }
}

// Allegro modifier bits equivalent to the context's mask, for shortcuts that
// are matched on key-down (whose events carry no modifiers).
unsigned q_gui_allegro_mods(const Q_GUI_CTX *ctx) {
    unsigned m = 0;
    if (ctx->mods & (Q_GUI_MOD_LCTRL | Q_GUI_MOD_RCTRL)) m |= ALLEGRO_KEYMOD_CTRL;
    if (ctx->mods & (Q_GUI_MOD_LSHIFT | Q_GUI_MOD_RSHIFT)) m |= ALLEGRO_KEYMOD_SHIFT;
    if (ctx->mods & Q_GUI_MOD_ALT) m |= ALLEGRO_KEYMOD_ALT;
    return m;
}

static int _key_event(Q_GUI_CTX *ctx, const ALLEGRO_EVENT *ev) {
    ctx->event_display = _main_display(ctx, ev->keyboard.display);
    const int key = ev->keyboard.keycode;
    if (ev->type == ALLEGRO_EVENT_KEY_DOWN) {
        ctx->mods |= _mod_bit_for_key(key);
        // Enter and Escape belong to an open list (they pick or close it on
        // their key-char); a button scoped to them must not fire first and
        // act on the value the list was about to replace.
        if (q_gui_list_takes_key(ctx, key)) return 0;
        // Shortcuts: the first visible, enabled widget of an open window of
        // this display, from the top, that acts on the key.
        for (int i = ctx->window_count - 1; i >= 0; i--) {
            Q_GUI_WINDOW *win = ctx->windows[i];
            if (!(win->state & Q_GUI_WST_OPEN) || q_gui_window_display(ctx, win) != ctx->event_display)
                continue;
            for (int k = 0; k < win->widget_count; k++) {
                Q_GUI_WIDGET *w = win->widgets[k];
                if (!_usable(w) || !w->ops || !w->ops->key_down) continue;
                if (w->ops->key_down(ctx, w, ev)) {
                    ctx->shortcut_key = key;
                    ctx->redraw = 1;
                    return 1;
                }
            }
        }
        return 0;
    }
    if (ev->type == ALLEGRO_EVENT_KEY_UP) {
        ctx->mods &= ~_mod_bit_for_key(key);
        if (key == ctx->shortcut_key) ctx->shortcut_key = 0;
        return 0;
    }
    // Key-char.
    _update_mods_from_char(ctx, ev->keyboard.modifiers);
    for (int l = 0; l < Q_GUI_OVERLAY_LAYERS; l++) {
        const Q_GUI_OVERLAY_OPS *ops;
        Q_GUI_WIDGET *o = _overlay(ctx, l, &ops);
        // An open list takes its own keys; the others go on.
        if (o && ops->key && ops->key(ctx, o, ev)) {
            ctx->redraw = 1;
            return 1;
        }
    }
    Q_GUI_WIDGET *focused = q_gui_get_widget(ctx, ctx->focus);
    if (focused && !_usable(focused)) focused = nullptr;
    if (key == ALLEGRO_KEY_TAB) {
        if (!(focused && focused->ops && focused->ops->wants_tab && focused->ops->wants_tab(ctx, focused))) {
            _tab_move(ctx, (ev->keyboard.modifiers & ALLEGRO_KEYMOD_SHIFT) != 0);
            return 1;
        }
    }
    // The key already pressed a button by its shortcut on key-down; neither
    // its character nor its repeats reach the focused widget until it is
    // released, so one press never acts twice.
    if (ctx->shortcut_key && key == ctx->shortcut_key) return 1;
    if (focused && focused->ops && focused->ops->key_char && focused->ops->key_char(ctx, focused, ev)) {
        ctx->redraw = 1;
        return 1;
    }
    Q_GUI_WIDGET *owner = q_gui_get_widget(ctx, ctx->selection_owner);
    if (owner && owner != focused && owner->ops && owner->ops->key_char &&
        owner->ops->key_char(ctx, owner, ev)) {
        ctx->redraw = 1;
        return 1;
    }
    return 0;
}

static Q_GUI_WINDOW *_window_under(const Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *d, float x, float y) {
    for (int i = ctx->window_count - 1; i >= 0; i--) {
        Q_GUI_WINDOW *win = ctx->windows[i];
        if (!(win->state & Q_GUI_WST_OPEN) || q_gui_window_display(ctx, win) != d) continue;
        if (q_gui_window_contains(win, x, y)) return win;
    }
    return nullptr;
}

static void _clear_hover(Q_GUI_CTX *ctx, ALLEGRO_DISPLAY *d) {
    for (int i = 0; i < ctx->window_count; i++) {
        Q_GUI_WINDOW *win = ctx->windows[i];
        if (q_gui_window_display(ctx, win) != d) continue;
        win->state &= ~Q_GUI_WST_TB_HOVER_MASK;
        for (int k = 0; k < win->widget_count; k++)
            win->widgets[k]->state &= ~Q_GUI_WS_HOVER;
    }
}

// Global scrollbar geometry on the main display, in screen pixels.
struct GSCROLL {
    float vis_w, vis_h;             // visible canvas area (canvas units)
    float vx, vy, vw, vh, tvy, tvh; // vertical track and thumb
    float hx, hy, hw, hh, thx, thw; // horizontal track and thumb
};

static void _gscroll_geometry(Q_GUI_CTX *ctx, GSCROLL *g) {
    float cw, ch;
    _canvas_size(ctx, &cw, &ch);
    const float bar = ctx->style.global_scrollbar_size;
    ctx->content_w = ctx->content_h = 0;
    for (int i = 0; i < ctx->window_count; i++) {
        const Q_GUI_WINDOW *win = ctx->windows[i];
        if (win->native || !(win->state & Q_GUI_WST_OPEN)) continue;
        ctx->content_w = fmaxf(ctx->content_w, win->x + win->w);
        ctx->content_h = fmaxf(ctx->content_h, win->y + q_gui_window_visible_h(win));
    }
    int show_v = ctx->content_h > ch, show_h = ctx->content_w > cw;
    if (show_v && !show_h) show_h = ctx->content_w > cw - bar;
    if (show_h && !show_v) show_v = ctx->content_h > ch - bar;
    ctx->gscroll_show_v = show_v;
    ctx->gscroll_show_h = show_h;
    g->vis_w = cw - (show_v ? bar : 0);
    g->vis_h = ch - (show_h ? bar : 0);
    if (g->vis_w < 1) g->vis_w = 1;
    if (g->vis_h < 1) g->vis_h = 1;
    const float max_x = fmaxf(0, ctx->content_w - g->vis_w), max_y = fmaxf(0, ctx->content_h - g->vis_h);
    ctx->gscroll_x = fminf(fmaxf(ctx->gscroll_x, 0), show_h ? max_x : 0);
    ctx->gscroll_y = fminf(fmaxf(ctx->gscroll_y, 0), show_v ? max_y : 0);
    const float pad = ctx->style.global_scrollbar_thumb_padding, tmin = ctx->style.global_scrollbar_thumb_min;
    g->vx = g->vis_w;
    g->vy = 0;
    g->vw = bar;
    g->vh = g->vis_h;
    g->tvh = fmaxf(tmin, (g->vh - 2 * pad) * g->vis_h / fmaxf(ctx->content_h, 1));
    if (g->tvh > g->vh - 2 * pad) g->tvh = g->vh - 2 * pad;
    g->tvy = pad + (max_y > 0 ? (g->vh - 2 * pad - g->tvh) * ctx->gscroll_y / max_y : 0);
    g->hx = 0;
    g->hy = g->vis_h;
    g->hw = g->vis_w;
    g->hh = bar;
    g->thw = fmaxf(tmin, (g->hw - 2 * pad) * g->vis_w / fmaxf(ctx->content_w, 1));
    if (g->thw > g->hw - 2 * pad) g->thw = g->hw - 2 * pad;
    g->thx = pad + (max_x > 0 ? (g->hw - 2 * pad - g->thw) * ctx->gscroll_x / max_x : 0);
}

// Press, drag and release of the global scrollbars; (cx, cy) are canvas
// coordinates without the scroll. Returns 1 when taken.
static int _gscroll_mouse(Q_GUI_CTX *ctx, const ALLEGRO_EVENT *ev, float cx, float cy) {
    GSCROLL g;
    _gscroll_geometry(ctx, &g);
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && ev->mouse.button == 1) {
        if (ctx->gscroll_show_v && cx >= g.vx && cx < g.vx + g.vw && cy >= g.vy && cy < g.vy + g.vh) {
            ctx->gscroll_drag_v = 1;
            ctx->gscroll_drag_offset = (cy >= g.tvy && cy < g.tvy + g.tvh) ? cy - g.tvy : g.tvh / 2;
        } else if (ctx->gscroll_show_h && cx >= g.hx && cx < g.hx + g.hw && cy >= g.hy && cy < g.hy + g.hh) {
            ctx->gscroll_drag_h = 1;
            ctx->gscroll_drag_offset = (cx >= g.thx && cx < g.thx + g.thw) ? cx - g.thx : g.thw / 2;
        } else {
            return 0;
        }
    } else if (!ctx->gscroll_drag_v && !ctx->gscroll_drag_h) {
        return 0;
    }
    const float pad = ctx->style.global_scrollbar_thumb_padding;
    if (ctx->gscroll_drag_v) {
        const float room = g.vh - 2 * pad - g.tvh;
        const float t = room > 0 ? (cy - ctx->gscroll_drag_offset - pad) / room : 0;
        ctx->gscroll_y = fminf(fmaxf(t, 0), 1) * fmaxf(0, ctx->content_h - g.vis_h);
    } else {
        const float room = g.hw - 2 * pad - g.thw;
        const float t = room > 0 ? (cx - ctx->gscroll_drag_offset - pad) / room : 0;
        ctx->gscroll_x = fminf(fmaxf(t, 0), 1) * fmaxf(0, ctx->content_w - g.vis_w);
    }
    if (ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) ctx->gscroll_drag_v = ctx->gscroll_drag_h = 0;
    ctx->redraw = 1;
    return 1;
}

// A disabled widget takes no input but still explains itself: its tooltip
// tells why it cannot be used.
static Q_GUI_WIDGET *_disabled_tip_at(const Q_GUI_WINDOW *win, float x, float y) {
    if (win->state & Q_GUI_WST_MINIMIZED) return nullptr;
    for (int i = win->widget_count - 1; i >= 0; i--) {
        Q_GUI_WIDGET *w = win->widgets[i];
        if (!w->visible || w->enabled || !w->tooltip || !w->tooltip[0]) continue;
        float wx, wy;
        q_gui_widget_origin(win, w, &wx, &wy);
        if (x >= wx && x < wx + w->w && y >= wy && y < wy + w->h) return w;
    }
    return nullptr;
}

static void _hover_update(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, float x, float y, double t) {
    if (!win) {
        ctx->pointer_over_window = 0;
        if (ctx->hover_widget >= 0) ctx->redraw = 1;
        ctx->hover_widget = -1;
        return;
    }
    ctx->pointer_over_window = 1;
    ctx->redraw = 1;
    if (ctx->style.tooltip_delay <= 0) return;
    Q_GUI_WIDGET *w = q_gui_window_widget_at(ctx, win, x, y);
    if (!w) w = _disabled_tip_at(win, x, y);
    const int id = w ? w->id : -1;
    const float dx = x - ctx->hover_x, dy = y - ctx->hover_y;
    if (id != ctx->hover_widget || dx * dx + dy * dy > 4.0f) {
        ctx->hover_widget = id;
        ctx->hover_start = t;
        ctx->hover_x = x;
        ctx->hover_y = y;
        q_gui_redraw_until(ctx, t + ctx->style.tooltip_delay + 0.05);
    }
}

static void _cursor_update(Q_GUI_CTX *ctx, Q_GUI_WINDOW *win, float x, float y) {
    int shape = ctx->requested_cursor;
    Q_GUI_WIDGET *w = win ? q_gui_window_widget_at(ctx, win, x, y) : nullptr;
    if (w && w->ops && w->ops->cursor_at) {
        const int s = w->ops->cursor_at(ctx, w, x, y);
        if (s) shape = s;
    }
    if (!ctx->mouse_down) _apply_cursor(ctx, shape);
}

static void _double_click(Q_GUI_CTX *ctx, Q_GUI_WIDGET *w, float x, float y, double t) {
    const int id = w ? w->id : -1;
    const float dx = x - ctx->dc_last_x, dy = y - ctx->dc_last_y;
    if (id >= 0 && id == ctx->dc_last_widget && t - ctx->dc_last_time <= ctx->dc_time && ctx->dc_time > 0 &&
        dx * dx + dy * dy <= ctx->dc_radius * ctx->dc_radius) {
        ctx->dc_widget = id;
        ctx->dc_last_widget = -1;
        return;
    }
    ctx->dc_last_widget = id;
    ctx->dc_last_time = t;
    ctx->dc_last_x = x;
    ctx->dc_last_y = y;
}

static int _mouse_event(Q_GUI_CTX *ctx, const ALLEGRO_EVENT *ev) {
    ALLEGRO_DISPLAY *d = _main_display(ctx, ev->mouse.display);
    ctx->event_display = d;
    const double t = q_gui_event_time(ev);
    // Canvas coordinates: the main display goes through the letterbox and the
    // global scroll; a native window shows its window at (0, 0).
    float cx = (float)ev->mouse.x, cy = (float)ev->mouse.y;
    if (!d) q_gui_screen_to_virtual(ctx, cx, cy, &cx, &cy);
    const float mx = d ? cx : cx + ctx->gscroll_x, my = d ? cy : cy + ctx->gscroll_y;
    ctx->mouse_x = (int)lroundf(mx);
    ctx->mouse_y = (int)lroundf(my);
    ctx->mouse_down_prev = ctx->mouse_down;
    const bool press = ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN;
    const bool release = ev->type == ALLEGRO_EVENT_MOUSE_BUTTON_UP;
    if (press && ev->mouse.button == 1) ctx->mouse_down = 1;
    if (release && ev->mouse.button == 1) ctx->mouse_down = 0;

    _clear_hover(ctx, d);
    Q_GUI_WINDOW *under = _window_under(ctx, d, mx, my);
    Q_GUI_WIDGET *under_w = under ? q_gui_window_widget_at(ctx, under, mx, my) : nullptr;
    if (under_w) under_w->state |= Q_GUI_WS_HOVER;
    int taken = under != nullptr;

    if (ev->type == ALLEGRO_EVENT_MOUSE_AXES && (ev->mouse.dz || ev->mouse.dw)) {
        for (int l = 0; l < Q_GUI_OVERLAY_LAYERS; l++) {
            const Q_GUI_OVERLAY_OPS *ops;
            Q_GUI_WIDGET *o = _overlay(ctx, l, &ops);
            if (o && ops->wheel) {
                ops->wheel(ctx, o, (float)ev->mouse.dz);
                ctx->redraw = 1;
                return 1;
            }
        }
        if (under_w && under_w->enabled && under_w->ops && under_w->ops->wheel &&
            under_w->ops->wheel(ctx, under_w, (float)ev->mouse.dz, (float)ev->mouse.dw)) {
            ctx->redraw = 1;
            return 1;
        }
        if (under && q_gui_window_wheel(ctx, under, (float)ev->mouse.dz, (float)ev->mouse.dw)) {
            ctx->redraw = 1;
            return 1;
        }
        if (!d && !under && (ctx->gscroll_show_v || ctx->gscroll_show_h)) {
            ctx->gscroll_y -= (float)ev->mouse.dz * ctx->style.global_scroll_step;
            ctx->gscroll_x -= (float)ev->mouse.dw * ctx->style.global_scroll_step;
            GSCROLL g;
            _gscroll_geometry(ctx, &g);
            ctx->redraw = 1;
            return 1;
        }
        if (!ev->mouse.dx && !ev->mouse.dy) return taken;
    }

    if (!d && _gscroll_mouse(ctx, ev, cx, cy)) return 1;

    if (press) {
        for (int l = 0; l < Q_GUI_OVERLAY_LAYERS; l++) {
            const Q_GUI_OVERLAY_OPS *ops;
            Q_GUI_WIDGET *o = _overlay(ctx, l, &ops);
            if (o && ops->mouse) {
                ctx->redraw = 1;
                if (ops->mouse(ctx, o, ev, mx, my)) return 1;
            }
        }
    }

    // A widget holding the capture gets every move and the release.
    Q_GUI_WIDGET *cap = q_gui_get_widget(ctx, ctx->capture);
    if (cap && !press) {
        Q_GUI_WINDOW *cwin = q_gui_widget_window(ctx, cap);
        if (cwin && cap->ops && cap->ops->mouse) {
            float ox, oy;
            q_gui_widget_origin(cwin, cap, &ox, &oy);
            cap->ops->mouse(ctx, cwin, cap, ev, mx, my, ox, oy);
        }
        if (release && ev->mouse.button == 1) {
            cap = q_gui_get_widget(ctx, ctx->capture); // the callback may have changed it
            if (cap) cap->state &= ~(Q_GUI_WS_PRESSED | Q_GUI_WS_CAPTURE);
            ctx->capture = -1;
            if (ctx->cursor_pending) {
                ctx->cursor_pending = 0;
                _apply_cursor(ctx, ctx->requested_cursor);
            }
        }
        ctx->redraw = 1;
        return 1;
    }
    if (cap && press && ev->mouse.button == 1) { // a capture that missed its release ends here
        cap->state &= ~(Q_GUI_WS_PRESSED | Q_GUI_WS_CAPTURE);
        ctx->capture = -1;
    }

    // A window in the middle of a move, resize or scroll drag.
    Q_GUI_WINDOW *busy = nullptr;
    for (int i = 0; i < ctx->window_count && !press; i++) {
        Q_GUI_WINDOW *win = ctx->windows[i];
        if (q_gui_window_display(ctx, win) == d &&
            (win->state &
             (Q_GUI_WST_MOVING | Q_GUI_WST_RESIZING | Q_GUI_WST_VSCROLL_DRAG | Q_GUI_WST_HSCROLL_DRAG)))
            busy = win;
    }
    if (busy) {
        q_gui_window_mouse(ctx, busy, ev, mx, my);
        ctx->redraw = 1;
        taken = 1;
    } else if (under) {
        if (press) {
            q_gui_raise_window(ctx, under->id);
            q_gui_set_focus(ctx, -1);
            if (ev->mouse.button == 1) _double_click(ctx, under_w, mx, my, t);
        }
        q_gui_window_mouse(ctx, under, ev, mx, my);
        ctx->redraw = 1;
    } else if (press && ev->mouse.button == 1) {
        _double_click(ctx, nullptr, mx, my, t);
    }

    if (ev->type == ALLEGRO_EVENT_MOUSE_AXES) _hover_update(ctx, under, mx, my, t);
    _cursor_update(ctx, under, mx, my);
    if (release && ev->mouse.button == 1 && ctx->cursor_pending) {
        ctx->cursor_pending = 0;
        _apply_cursor(ctx, ctx->requested_cursor);
    }
    // A middle press would paste the primary selection; the clipboard backend
    // has none, so there is nothing to paste.
    return taken;
}

int q_gui_is_key_event(const ALLEGRO_EVENT *ev) {
    return ev && (ev->type == ALLEGRO_EVENT_KEY_DOWN || ev->type == ALLEGRO_EVENT_KEY_UP ||
                  ev->type == ALLEGRO_EVENT_KEY_CHAR);
}

int q_gui_is_pointer_event(const ALLEGRO_EVENT *ev) {
    if (!ev) return 0;
    switch (ev->type) {
    case ALLEGRO_EVENT_MOUSE_AXES:
    case ALLEGRO_EVENT_MOUSE_BUTTON_DOWN:
    case ALLEGRO_EVENT_MOUSE_BUTTON_UP:
    case ALLEGRO_EVENT_MOUSE_WARPED:
    case ALLEGRO_EVENT_MOUSE_ENTER_DISPLAY:
    case ALLEGRO_EVENT_MOUSE_LEAVE_DISPLAY:
        return 1;
    default:
        return 0;
    }
}

int q_gui_is_display_event(const ALLEGRO_EVENT *ev) {
    if (!ev) return 0;
    return (ev->type >= ALLEGRO_EVENT_DISPLAY_EXPOSE && ev->type <= ALLEGRO_EVENT_DISPLAY_RESUME_DRAWING) ||
           ev->type == ALLEGRO_EVENT_DISPLAY_CONNECTED || ev->type == ALLEGRO_EVENT_DISPLAY_DISCONNECTED;
}

int q_gui_process_event(Q_GUI_CTX *ctx, const ALLEGRO_EVENT *ev) {
    Q_GUARD(ctx, 0);
    Q_GUARD(ev, 0);
    ctx->dc_widget = -1;
    if (q_gui_is_key_event(ev)) return _key_event(ctx, ev);
    if (ev->type == ALLEGRO_EVENT_MOUSE_LEAVE_DISPLAY) {
        _clear_hover(ctx, _main_display(ctx, ev->mouse.display));
        ctx->hover_widget = -1;
        ctx->redraw = 1;
        return 0;
    }
    // Entering a display changes nothing until the pointer moves.
    if (ev->type == ALLEGRO_EVENT_MOUSE_ENTER_DISPLAY) return 0;
    if (q_gui_is_pointer_event(ev)) return _mouse_event(ctx, ev);
    if (q_gui_is_display_event(ev)) _display_event(ctx, ev);
    return 0;
}

// =============================================================================
// Drawing
// =============================================================================

void q_gui_request_redraw(Q_GUI_CTX *ctx) {
    Q_GUARD_VOID(ctx);
    ctx->redraw = 1;
}

int q_gui_needs_redraw(const Q_GUI_CTX *ctx) {
    if (!ctx) return 1;
    if (ctx->redraw || ctx->redraw_until > q_gui_now()) return 1;
    const Q_GUI_WIDGET *w = q_gui_get_widget(ctx, ctx->focus);
    return (w && w->ops && w->ops->animates_when_focused) ? 1 : 0;
}

// Draws a tooltip box for the hovered widget, kept inside the given area.
static void _draw_tooltip(Q_GUI_CTX *ctx, float area_x, float area_y, float area_w, float area_h) {
    const int id = q_gui_tooltip_widget(ctx);
    if (id < 0) return;
    const Q_GUI_WIDGET *w = q_gui_get_widget(ctx, id);
    const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, w);
    if (!win || q_gui_window_display(ctx, win) != ctx->draw_display) return;
    ALLEGRO_FONT *font = ctx->default_font;
    const float pad = 6, max_w = ctx->style.tooltip_max_w;
    const float lh = (float)al_get_font_line_height(font);
    // Measure the wrapped lines first.
    struct MEASURE {
        int lines;
        float width;
    } m = {0, 0};
    al_do_multiline_text(
        font, max_w - 2 * pad, w->tooltip,
        [](int, const char *, int, void *extra) -> bool {
            static_cast<MEASURE *>(extra)->lines++;
            return true;
        },
        &m);
    // Widths come from the longest unwrapped line, capped at the maximum.
    {
        const char *p = w->tooltip;
        while (*p) {
            const char *e = strchr(p, '\n');
            const size_t len = e ? (size_t)(e - p) : strlen(p);
            ALLEGRO_USTR_INFO info;
            const ALLEGRO_USTR *u = al_ref_buffer(&info, p, len);
            m.width = fmaxf(m.width, (float)al_get_ustr_width(font, u));
            if (!e) break;
            p = e + 1;
        }
    }
    const float bw = fminf(m.width, max_w - 2 * pad) + 2 * pad;
    const float bh = (float)(m.lines > 0 ? m.lines : 1) * lh + 2 * pad;
    float x = (float)ctx->mouse_x + 14, y = (float)ctx->mouse_y + 20;
    if (!ctx->draw_display) {
        // Tooltips are placed in display terms; the canvas transform is on.
        x -= ctx->gscroll_x;
        y -= ctx->gscroll_y;
    }
    if (x + bw > area_x + area_w) x = area_x + area_w - bw;
    if (y + bh > area_y + area_h) y = (float)ctx->mouse_y - bh - 4;
    if (x < area_x) x = area_x;
    if (y < area_y) y = area_y;
    al_draw_filled_rounded_rectangle(x, y, x + bw, y + bh, 4, 4, ctx->style.tooltip_bg);
    al_draw_rounded_rectangle(x + 0.5f, y + 0.5f, x + bw - 0.5f, y + bh - 0.5f, 4, 4,
                              ctx->style.tooltip_border, 1);
    al_draw_multiline_text(font, ctx->style.tooltip_text, x + pad, y + pad, max_w - 2 * pad, lh, 0,
                           w->tooltip);
}

static void _draw_overlays(Q_GUI_CTX *ctx) {
    for (int l = 0; l < Q_GUI_OVERLAY_LAYERS; l++) {
        const Q_GUI_OVERLAY_OPS *ops;
        Q_GUI_WIDGET *o = _overlay(ctx, l, &ops);
        if (!o || !ops->draw) continue;
        const Q_GUI_WINDOW *win = q_gui_widget_window(ctx, o);
        if (win && q_gui_window_display(ctx, win) == ctx->draw_display) ops->draw(ctx, o);
    }
}

static void _draw_gscroll(Q_GUI_CTX *ctx, const GSCROLL *g) {
    const Q_GUI_STYLE *s = &ctx->style;
    const float r = s->global_scrollbar_thumb_corner_r, bt = s->global_scrollbar_border_thickness;
    const float pad = s->global_scrollbar_thumb_padding;
    if (ctx->gscroll_show_v) {
        al_draw_filled_rectangle(g->vx, g->vy, g->vx + g->vw, g->vy + g->vh, s->global_scrollbar_track_color);
        const ALLEGRO_COLOR c =
            ctx->gscroll_drag_v ? ctx->theme.border_active : s->global_scrollbar_thumb_color;
        al_draw_filled_rounded_rectangle(g->vx + pad, g->tvy, g->vx + g->vw - pad, g->tvy + g->tvh, r, r, c);
        al_draw_rounded_rectangle(g->vx + pad, g->tvy, g->vx + g->vw - pad, g->tvy + g->tvh, r, r,
                                  s->global_scrollbar_thumb_border_color, bt);
    }
    if (ctx->gscroll_show_h) {
        al_draw_filled_rectangle(g->hx, g->hy, g->hx + g->hw, g->hy + g->hh, s->global_scrollbar_track_color);
        const ALLEGRO_COLOR c =
            ctx->gscroll_drag_h ? ctx->theme.border_active : s->global_scrollbar_thumb_color;
        al_draw_filled_rounded_rectangle(g->thx, g->hy + pad, g->thx + g->thw, g->hy + g->hh - pad, r, r, c);
        al_draw_rounded_rectangle(g->thx, g->hy + pad, g->thx + g->thw, g->hy + g->hh - pad, r, r,
                                  s->global_scrollbar_thumb_border_color, bt);
    }
}

void q_gui_draw(Q_GUI_CTX *ctx) {
    Q_GUARD_VOID(ctx);
    ALLEGRO_BITMAP *target = al_get_target_bitmap();
    if (!target) return;
    if (!ctx->display_size_set) {
        const float w = (float)al_get_bitmap_width(target), h = (float)al_get_bitmap_height(target);
        if (!ctx->display_size_warned) {
            q_log(Q_LOG_WARNING,
                  "q_gui: no display size was set, using the draw target's %.0fx%.0f; call "
                  "q_gui_set_display_size() "
                  "at start up and on resize",
                  (double)w, (double)h);
            ctx->display_size_warned = 1;
        }
        q_gui_set_display_size(ctx, w, h);
    }
    ctx->draw_display = nullptr;
    GSCROLL g;
    _gscroll_geometry(ctx, &g);

    ALLEGRO_TRANSFORM caller, canvas;
    al_copy_transform(&caller, al_get_current_transform());
    int clip_x, clip_y, clip_w, clip_h;
    al_get_clipping_rectangle(&clip_x, &clip_y, &clip_w, &clip_h);

    // Canvas space -> screen: scroll, then the letterbox scale and offset,
    // then whatever the caller had.
    const float vs = ctx->virtual_w > 0 ? ctx->virtual_scale : 1.0f;
    const float lx = ctx->virtual_w > 0 ? ctx->letterbox_x : 0,
                ly = ctx->virtual_w > 0 ? ctx->letterbox_y : 0;
    al_identity_transform(&canvas);
    al_translate_transform(&canvas, -ctx->gscroll_x, -ctx->gscroll_y);
    al_scale_transform(&canvas, vs, vs);
    al_translate_transform(&canvas, lx, ly);
    al_compose_transform(&canvas, &caller);
    al_use_transform(&canvas);
    {
        // The clip leaves the global scrollbars out.
        float x0 = 0, y0 = 0, x1 = g.vis_w, y1 = g.vis_h;
        ALLEGRO_TRANSFORM bars;
        al_identity_transform(&bars);
        al_scale_transform(&bars, vs, vs);
        al_translate_transform(&bars, lx, ly);
        al_compose_transform(&bars, &caller);
        al_transform_coordinates(&bars, &x0, &y0);
        al_transform_coordinates(&bars, &x1, &y1);
        const int cx0 = std::max(clip_x, (int)floorf(x0)), cy0 = std::max(clip_y, (int)floorf(y0));
        const int cx1 = std::min(clip_x + clip_w, (int)ceilf(x1)),
                  cy1 = std::min(clip_y + clip_h, (int)ceilf(y1));
        al_set_clipping_rectangle(cx0, cy0, std::max(0, cx1 - cx0), std::max(0, cy1 - cy0));
    }
    for (int i = 0; i < ctx->window_count; i++) {
        Q_GUI_WINDOW *win = ctx->windows[i];
        if (win->native) continue;
        if (win->autofit) q_gui_window_apply_autofit(ctx, win->id);
        if (!(win->state & Q_GUI_WST_OPEN)) continue;
        q_gui_window_draw(ctx, win);
        if (win->content_draw_cb && !(win->state & Q_GUI_WST_MINIMIZED))
            win->content_draw_cb(win->id, win->content_draw_user);
    }
    _draw_overlays(ctx);
    al_set_clipping_rectangle(clip_x, clip_y, clip_w, clip_h);

    ALLEGRO_TRANSFORM screen;
    al_identity_transform(&screen);
    al_scale_transform(&screen, vs, vs);
    al_translate_transform(&screen, lx, ly);
    al_compose_transform(&screen, &caller);
    al_use_transform(&screen);
    _draw_gscroll(ctx, &g);
    // The tooltip is placed in canvas units relative to the visible area.
    {
        float cw, ch;
        _canvas_size(ctx, &cw, &ch);
        _draw_tooltip(ctx, 0, 0, cw, ch);
    }
    al_use_transform(&caller);
    ctx->redraw = 0;
}

void q_gui_draw_detached(Q_GUI_CTX *ctx) {
    Q_GUARD_VOID(ctx);
    ALLEGRO_BITMAP *prev = al_get_target_bitmap();
    for (;;) {
        Q_GUI_WINDOW *pending = nullptr;
        for (int i = 0; i < ctx->window_count && !pending; i++)
            if (ctx->windows[i]->native && ctx->windows[i]->native_close_pending) pending = ctx->windows[i];
        if (!pending) break;
        q_gui_window_drop_native(ctx, pending, 1);
        prev = ctx->display ? al_get_backbuffer(ctx->display) : nullptr;
    }
    for (int i = 0; i < ctx->window_count; i++) {
        Q_GUI_WINDOW *win = ctx->windows[i];
        if (!win->native || !(win->state & Q_GUI_WST_OPEN) || win->drawing_halted) continue;
        if (al_get_display_flags(win->native) & ALLEGRO_MINIMIZED) continue;
        al_set_target_backbuffer(win->native);
        ALLEGRO_TRANSFORM ident, saved;
        al_copy_transform(&saved, al_get_current_transform());
        al_identity_transform(&ident);
        al_use_transform(&ident);
        al_clear_to_color(q_gui_with_alpha(win->theme.bg_normal, 1.0f));
        ctx->draw_display = win->native;
        if (win->autofit) q_gui_window_apply_autofit(ctx, win->id);
        q_gui_window_draw(ctx, win);
        if (win->content_draw_cb && !(win->state & Q_GUI_WST_MINIMIZED))
            win->content_draw_cb(win->id, win->content_draw_user);
        _draw_overlays(ctx);
        // Tooltips stay inside the part of the native display the window
        // covers, or the whole display when that part is a sliver.
        float ax = win->x, ay = win->y, aw = win->w, ah = win->h;
        const float dw = (float)al_get_display_width(win->native),
                    dh = (float)al_get_display_height(win->native);
        if (aw > dw - ax) aw = dw - ax;
        if (ah > dh - ay) ah = dh - ay;
        if (aw < 8 || ah < 8) {
            ax = ay = 0;
            aw = dw;
            ah = dh;
        }
        _draw_tooltip(ctx, ax, ay, aw, ah);
        al_use_transform(&saved);
        al_flip_display();
    }
    ctx->draw_display = nullptr;
    if (prev) al_set_target_bitmap(prev);
}
