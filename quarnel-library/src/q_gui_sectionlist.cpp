// q_gui section list composite: titled sections stacked downwards, each
// folding its member widgets away behind its header button.

#include <algorithm>
#include <cstring>

#include "q_common.h"
#include "q_gui_internal.h"

static const float k_header_h = 24, k_section_gap = 4, k_body_pad = 6;

static void _label(const Q_GUI_SECTION *s, char *out, size_t cap) {
    q_format(out, cap, "%s %s", s->folded ? "+" : "-", s->title);
}

// Places every header and member from the top down.
static void _layout(Q_GUI_SECTIONLIST *sl) {
    float y = sl->y;
    for (int i = 0; i < sl->section_count; i++) {
        Q_GUI_SECTION *s = &sl->sections[i];
        Q_GUI_WIDGET *hb = q_gui_get_widget(sl->ctx, s->header);
        if (hb) q_gui_widget_set_rect(sl->ctx, s->header, sl->x, y, sl->w, sl->header_h);
        char text[Q_GUI_ITEM_TEXT_MAX + 4];
        _label(s, text, sizeof text);
        q_gui_button_set_label(sl->ctx, s->header, text);
        const float body = y + sl->header_h + k_body_pad / 2;
        for (int k = 0; k < s->count; k++) {
            Q_GUI_WIDGET *m = q_gui_get_widget(sl->ctx, s->members[k]);
            if (!m) continue;
            q_gui_widget_set_rect(sl->ctx, m->id, m->x, body + s->member_dy[k], m->w, m->h);
            q_gui_widget_set_visible(sl->ctx, m->id, !s->folded);
        }
        y += sl->header_h + (s->folded || s->count == 0 ? 0 : s->body_h) + k_section_gap;
    }
}

static void _on_header(int button, void *user) {
    Q_GUI_SECTIONLIST *sl = static_cast<Q_GUI_SECTIONLIST *>(user);
    for (int i = 0; i < sl->section_count; i++)
        if (sl->sections[i].header == button) {
            q_gui_sectionlist_set_folded(sl, i, !sl->sections[i].folded);
            return;
        }
}

Q_GUI_SECTIONLIST *q_gui_sectionlist_create(Q_GUI_CTX *ctx, int window, float x, float y, float w) {
    Q_GUARD(ctx, nullptr);
    if (!q_gui_window_find(ctx, window)) return nullptr;
    Q_GUI_SECTIONLIST *sl = nullptr;
    Q_CALLOC(sl, 1, Q_GUI_SECTIONLIST);
    if (!sl) return nullptr;
    sl->ctx = ctx;
    sl->window = window;
    sl->x = x;
    sl->y = y;
    sl->w = w;
    sl->header_h = k_header_h;
    return sl;
}

void q_gui_sectionlist_destroy(Q_GUI_SECTIONLIST **sl) {
    Q_GUARD_VOID(sl);
    Q_GUI_SECTIONLIST *s = *sl;
    if (!s) return;
    for (int i = 0; i < s->section_count; i++) {
        Q_GUI_WIDGET *b = q_gui_widget_of_kind(s->ctx, s->sections[i].header, Q_GUI_KIND_BUTTON);
        if (b) static_cast<Q_GUI_BUTTON_DATA *>(b->data)->on_click = nullptr;
        Q_FREE(s->sections[i].members);
        Q_FREE(s->sections[i].member_dy);
    }
    Q_FREE(*sl);
}

int q_gui_sectionlist_add_section(Q_GUI_SECTIONLIST *sl, const char *title, int capacity) {
    Q_GUARD(sl, -1);
    if (sl->section_count >= Q_GUI_SECTIONS_MAX || capacity < 0) return -1;
    Q_GUI_SECTION *s = &sl->sections[sl->section_count];
    memset(s, 0, sizeof *s);
    q_strcpy(s->title, sizeof s->title, title ? title : "");
    s->capacity = capacity;
    if (capacity > 0) {
        Q_CALLOC(s->members, (size_t)capacity, int);
        Q_CALLOC(s->member_dy, (size_t)capacity, float);
        if (!s->members || !s->member_dy) {
            Q_FREE(s->members);
            Q_FREE(s->member_dy);
            return -1;
        }
    }
    s->header =
        q_gui_add_button(sl->ctx, sl->window, s->title, sl->x, sl->y, sl->w, sl->header_h, 0, _on_header, sl);
    if (s->header < 0) {
        Q_FREE(s->members);
        Q_FREE(s->member_dy);
        return -1;
    }
    const int index = sl->section_count++;
    _layout(sl);
    return index;
}

int q_gui_sectionlist_add_widget(Q_GUI_SECTIONLIST *sl, int section, int widget_id) {
    Q_GUARD(sl, -1);
    if (section < 0 || section >= sl->section_count) return -1;
    Q_GUI_SECTION *s = &sl->sections[section];
    const Q_GUI_WIDGET *w = q_gui_get_widget(sl->ctx, widget_id);
    if (!w) return -1;
    if (s->count >= s->capacity) {
        q_log(Q_LOG_WARNING, "section %s is full (%d members), widget %d not added", s->title, s->capacity,
              widget_id);
        return -1;
    }
    s->members[s->count] = widget_id;
    s->member_dy[s->count] = w->y;
    s->count++;
    s->body_h = std::max(s->body_h, w->y + w->h + k_body_pad);
    _layout(sl);
    return 0;
}

void q_gui_sectionlist_set_folded(Q_GUI_SECTIONLIST *sl, int section, int flag) {
    Q_GUARD_VOID(sl);
    if (section < 0 || section >= sl->section_count) return;
    sl->sections[section].folded = flag ? 1 : 0;
    _layout(sl);
}

int q_gui_sectionlist_is_folded(const Q_GUI_SECTIONLIST *sl, int section) {
    if (!sl || section < 0 || section >= sl->section_count) return 0;
    return sl->sections[section].folded;
}

float q_gui_sectionlist_height(const Q_GUI_SECTIONLIST *sl) {
    if (!sl) return 0;
    float h = 0;
    for (int i = 0; i < sl->section_count; i++) {
        const Q_GUI_SECTION *s = &sl->sections[i];
        h += sl->header_h + (s->folded || s->count == 0 ? 0 : s->body_h) + k_section_gap;
    }
    return h;
}
