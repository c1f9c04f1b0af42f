// q_gui tree composite: a single-selection listbox whose rows are the
// visible nodes of a tree, indented by depth. A click on a row opens it (the
// select callback) and folds or unfolds a row with children; the second press
// of a double click opens it again without folding it back. The arrow keys
// only move the selection, so walking down the tree opens nothing; Enter
// opens like a click, Left folds (or steps to the parent) and Right unfolds.
// The expanded and selected nodes can be saved by their label paths and
// restored after the tree was cleared and refilled.

#include <cstring>
#include <vector>

#include "q_common.h"
#include "q_gui_internal.h"

static const char k_path_sep = 0x1F;

static int _row_of(const Q_GUI_TREE *tree, int node);
static void _rebuild(Q_GUI_TREE *tree);

// The node of the listbox's selected row: the keyboard moves that selection
// without telling the tree.
static int _listed_selection(const Q_GUI_TREE *t) {
    const int row = q_gui_listbox_get_selected(t->ctx, t->listbox);
    return row >= 0 && row < t->row_count ? t->row_node[row] : t->selected;
}

static void _open(Q_GUI_TREE *t, int node, bool toggle) {
    Q_GUI_TREE_NODE *n = &t->nodes[node];
    if (toggle && n->has_children) n->expanded = !n->expanded;
    t->selected = node;
    _rebuild(t);
    if (t->on_select) t->on_select(node, t->user);
}

static void _on_row(int, int index, int, void *user) {
    Q_GUI_TREE *t = static_cast<Q_GUI_TREE *>(user);
    if (index < 0 || index >= t->row_count) return;
    _open(t, t->row_node[index], !q_gui_was_double_click(t->ctx, t->listbox));
}

static int _on_key(int, int index, int keycode, void *user) {
    Q_GUI_TREE *t = static_cast<Q_GUI_TREE *>(user);
    if (index < 0 || index >= t->row_count) return 0;
    const int node = t->row_node[index];
    Q_GUI_TREE_NODE *n = &t->nodes[node];
    if (keycode == ALLEGRO_KEY_ENTER || keycode == ALLEGRO_KEY_PAD_ENTER) {
        _open(t, node, true);
        return 1;
    }
    t->selected = node;
    if (keycode == ALLEGRO_KEY_RIGHT) {
        if (!n->has_children || n->expanded) return 0;
        n->expanded = 1;
    } else if (keycode == ALLEGRO_KEY_LEFT) {
        if (n->has_children && n->expanded)
            n->expanded = 0;
        else if (n->parent >= 0)
            t->selected = n->parent; // quietly, like the other arrows
        else
            return 0;
    } else {
        return 0;
    }
    _rebuild(t);
    q_gui_listbox_scroll_to(t->ctx, t->listbox, _row_of(t, t->selected));
    return 1;
}

Q_GUI_TREE *q_gui_tree_create(Q_GUI_CTX *ctx, int window, float x, float y, float w, float h,
                              Q_GUI_TREE_CB on_select, void *user) {
    Q_GUARD(ctx, nullptr);
    Q_GUI_TREE *t = nullptr;
    Q_CALLOC(t, 1, Q_GUI_TREE);
    if (!t) return nullptr;
    Q_CALLOC(t->nodes, Q_GUI_TREE_MAX, Q_GUI_TREE_NODE);
    Q_CALLOC(t->row_node, Q_GUI_TREE_MAX, int);
    if (t->nodes && t->row_node) t->listbox = q_gui_add_listbox(ctx, window, x, y, w, h, 1, _on_row, t);
    if (t->listbox >= 0) q_gui_listbox_set_key_callback(ctx, t->listbox, _on_key, t);
    if (!t->nodes || !t->row_node || t->listbox < 0) {
        Q_FREE(t->nodes);
        Q_FREE(t->row_node);
        Q_FREE(t);
        return nullptr;
    }
    t->ctx = ctx;
    t->selected = -1;
    t->on_select = on_select;
    t->user = user;
    return t;
}

void q_gui_tree_destroy(Q_GUI_TREE **tree) {
    Q_GUARD_VOID(tree);
    Q_GUI_TREE *t = *tree;
    if (!t) return;
    // The listbox lives on with its window; it must not call into a freed tree.
    Q_GUI_WIDGET *lb = q_gui_widget_of_kind(t->ctx, t->listbox, Q_GUI_KIND_LISTBOX);
    if (lb) {
        static_cast<Q_GUI_LISTBOX_DATA *>(lb->data)->on_select = nullptr;
        static_cast<Q_GUI_LISTBOX_DATA *>(lb->data)->user = nullptr;
        static_cast<Q_GUI_LISTBOX_DATA *>(lb->data)->on_key = nullptr;
        static_cast<Q_GUI_LISTBOX_DATA *>(lb->data)->key_user = nullptr;
    }
    Q_FREE(t->nodes);
    Q_FREE(t->row_node);
    Q_FREE(*tree);
}

int q_gui_tree_add_node(Q_GUI_TREE *tree, const char *label, int parent, void *user) {
    Q_GUARD(tree, -1);
    if (tree->count >= Q_GUI_TREE_MAX || parent < -1 || parent >= tree->count) return -1;
    Q_GUI_TREE_NODE *n = &tree->nodes[tree->count];
    memset(n, 0, sizeof *n);
    const char *l = label ? label : "";
    memcpy(n->label, l, q_gui_utf8_cut(l, strlen(l), sizeof n->label - 1));
    n->parent = parent;
    n->user = user;
    n->depth = parent >= 0 ? tree->nodes[parent].depth + 1 : 0;
    if (parent >= 0) tree->nodes[parent].has_children = 1;
    return tree->count++;
}

void q_gui_tree_clear(Q_GUI_TREE *tree) {
    Q_GUARD_VOID(tree);
    tree->count = 0;
    tree->row_count = 0;
    tree->selected = -1;
    q_gui_listbox_clear(tree->ctx, tree->listbox);
}

int q_gui_tree_find(const Q_GUI_TREE *tree, const void *user) {
    Q_GUARD(tree, -1);
    for (int i = 0; i < tree->count; i++)
        if (tree->nodes[i].user == user) return i;
    return -1;
}

int q_gui_tree_get_selected(const Q_GUI_TREE *tree) {
    return tree ? _listed_selection(tree) : -1;
}

// Rows from the nodes, with tree->selected as the selection.
static void _rebuild(Q_GUI_TREE *tree) {
    Q_GUI_CTX *ctx = tree->ctx;
    const float scroll = q_gui_listbox_get_scroll(ctx, tree->listbox);
    q_gui_listbox_clear(ctx, tree->listbox);
    tree->row_count = 0;
    // Children in the order they were added: first-child / next-sibling links.
    std::vector<int> first(tree->count, -1), next(tree->count, -1), last(tree->count, -1);
    int top_first = -1, top_last = -1;
    for (int i = 0; i < tree->count; i++) {
        const int p = tree->nodes[i].parent;
        int &f = p >= 0 ? first[(size_t)p] : top_first;
        int &l = p >= 0 ? last[(size_t)p] : top_last;
        if (f < 0)
            f = i;
        else
            next[(size_t)l] = i;
        l = i;
    }
    // Depth-first walk over expanded nodes, without recursion.
    std::vector<int> stack;
    if (top_first >= 0) stack.push_back(top_first);
    while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        if (next[(size_t)i] >= 0) stack.push_back(next[(size_t)i]);
        const Q_GUI_TREE_NODE *n = &tree->nodes[i];
        const int row = q_gui_listbox_add_item(ctx, tree->listbox, n->label);
        if (row < 0) break;
        q_gui_listbox_set_item_indent(ctx, tree->listbox, row, n->depth,
                                      n->has_children ? (n->expanded ? 2 : 1) : 0);
        tree->row_node[row] = i;
        tree->row_count = row + 1;
        if (i == tree->selected) q_gui_listbox_set_selected(ctx, tree->listbox, row, 1);
        if (n->expanded && first[(size_t)i] >= 0) stack.push_back(first[(size_t)i]);
    }
    q_gui_listbox_set_scroll(ctx, tree->listbox, scroll);
}

void q_gui_tree_rebuild(Q_GUI_TREE *tree) {
    Q_GUARD_VOID(tree);
    tree->selected = _listed_selection(tree);
    _rebuild(tree);
}

static int _row_of(const Q_GUI_TREE *tree, int node) {
    for (int r = 0; r < tree->row_count; r++)
        if (tree->row_node[r] == node) return r;
    return -1;
}

void q_gui_tree_select(Q_GUI_TREE *tree, int index) {
    Q_GUARD_VOID(tree);
    if (index < 0 || index >= tree->count) return;
    for (int p = tree->nodes[index].parent; p >= 0; p = tree->nodes[p].parent)
        tree->nodes[p].expanded = 1;
    tree->selected = index;
    _rebuild(tree);
    q_gui_listbox_scroll_to(tree->ctx, tree->listbox, _row_of(tree, index));
}

void q_gui_tree_expand(Q_GUI_TREE *tree, int index, int flag) {
    Q_GUARD_VOID(tree);
    if (index < 0 || index >= tree->count || !tree->nodes[index].has_children) return;
    tree->selected = _listed_selection(tree);
    tree->nodes[index].expanded = flag ? 1 : 0;
    _rebuild(tree);
}

// The labels from the top-level node down, joined by 0x1F; -1 when the path
// does not fit (a cut path could name another node).
static int _path(const Q_GUI_TREE *tree, int node, char *out, size_t cap) {
    int chain[Q_GUI_TREE_MAX];
    int n = 0;
    for (int i = node; i >= 0 && n < Q_GUI_TREE_MAX; i = tree->nodes[i].parent)
        chain[n++] = i;
    size_t len = 0;
    for (int k = n - 1; k >= 0; k--) {
        const char *l = tree->nodes[chain[k]].label;
        const size_t ll = strlen(l);
        if (len + ll + (k < n - 1 ? 1 : 0) + 1 > cap) return -1;
        if (k < n - 1) out[len++] = k_path_sep;
        memcpy(out + len, l, ll);
        len += ll;
    }
    out[len] = 0;
    return 0;
}

Q_GUI_TREE_STATE *q_gui_tree_save_state(const Q_GUI_TREE *tree) {
    Q_GUARD(tree, nullptr);
    Q_GUI_TREE_STATE *s = nullptr;
    Q_CALLOC(s, 1, Q_GUI_TREE_STATE);
    if (!s) return nullptr;
    s->expanded =
        static_cast<char(*)[Q_GUI_TREE_PATH_MAX]>(calloc(Q_GUI_TREE_STATE_MAX, Q_GUI_TREE_PATH_MAX));
    if (!s->expanded) {
        Q_FREE(s);
        return nullptr;
    }
    for (int i = 0; i < tree->count && s->expanded_count < Q_GUI_TREE_STATE_MAX; i++)
        if (tree->nodes[i].expanded &&
            _path(tree, i, s->expanded[s->expanded_count], Q_GUI_TREE_PATH_MAX) == 0)
            s->expanded_count++;
    const int selected = _listed_selection(tree);
    if (selected < 0 || _path(tree, selected, s->selected, sizeof s->selected) != 0) s->selected[0] = 0;
    s->scroll = q_gui_listbox_get_scroll(tree->ctx, tree->listbox);
    return s;
}

void q_gui_tree_restore_state(Q_GUI_TREE *tree, const Q_GUI_TREE_STATE *state) {
    Q_GUARD_VOID(tree);
    Q_GUARD_VOID(state);
    char path[Q_GUI_TREE_PATH_MAX];
    for (bool opened = true; opened;) {
        opened = false;
        for (int i = 0; i < tree->count; i++) {
            Q_GUI_TREE_NODE *n = &tree->nodes[i];
            if (n->expanded || !n->has_children || _path(tree, i, path, sizeof path) != 0) continue;
            for (int k = 0; k < state->expanded_count; k++)
                if (!strcmp(state->expanded[k], path)) {
                    n->expanded = 1;
                    opened = true;
                    break;
                }
        }
    }
    tree->selected = -1;
    if (state->selected[0])
        for (int i = 0; i < tree->count; i++)
            if (_path(tree, i, path, sizeof path) == 0 && !strcmp(path, state->selected)) {
                tree->selected = i;
                break;
            }
    _rebuild(tree);
    q_gui_listbox_set_scroll(tree->ctx, tree->listbox, state->scroll);
}

void q_gui_tree_free_state(Q_GUI_TREE_STATE **state) {
    Q_GUARD_VOID(state);
    if (*state) Q_FREE((*state)->expanded);
    Q_FREE(*state);
}
