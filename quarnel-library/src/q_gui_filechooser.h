#pragma once
// q_gui_filechooser: a toolkit-drawn dialog for choosing files and folders:
// open one or several files, save under a name, or choose a folder. One
// pop-up window, built once and reused; each opening sets its mode, texts and
// filter and ends by calling the caller's callback with the chosen paths.
// Paths use "/" and start at "/"; a typed name may start with "~/" for the
// home folder. The file system is reached through q_fs only.

#include <cstdint>

#include "q_gui.h"

enum {
    Q_GUI_FC_MODE_OPEN = 0,
    Q_GUI_FC_MODE_SAVE = 1,
    Q_GUI_FC_MODE_FOLDER = 2,
};

// Flags of the open options.
enum {
    Q_GUI_FC_MULTIPLE = 0x1,        // open mode: several files may be chosen
    Q_GUI_FC_CONFIRM_REPLACE = 0x2, // save mode: ask before replacing a file
    Q_GUI_FC_SHOW_HIDDEN = 0x4,     // start with hidden files shown
    Q_GUI_FC_NO_NEW_FOLDER = 0x8,   // hide the "New folder" button
};

// Tree modes of the open options.
enum {
    Q_GUI_FC_TREE_SHOWN = 0,  // shown, with its "Folders" toggle
    Q_GUI_FC_TREE_HIDDEN = 1, // hidden, with the toggle
    Q_GUI_FC_TREE_ALWAYS = 2, // shown, without the toggle
    Q_GUI_FC_TREE_NEVER = 3,  // hidden, without the toggle (and larger)
};

#define Q_GUI_FC_PATH_MAX 4096
#define Q_GUI_FC_LABEL_MAX 64

// Paths chosen (count 0 on cancel: the Cancel button, the window's close
// button, a new opening); they are freed after the callback returns.
typedef void (*Q_GUI_FC_DONE_CB)(const char *const *paths, int count, void *user);

struct Q_GUI_FC_ENTRY {
    char *name; // owned
    int is_folder;
    int64_t mtime;
    uint64_t size;
};

struct Q_GUI_FC_OPTIONS {
    int mode;
    int flags;
    int tree_mode;
    const char *filter;       // patterns separated by ";", "," or spaces; null or empty = all files
    const char *caption;      // null or empty: "Open", "Save as" or "Choose a folder"
    const char *initial_path; // a folder or a file, relative to the last folder
    const char *accept_label; // null or empty: "Open", "Save" or "Choose"
};

struct Q_GUI_FC_PRIVATE; // tree paths and type-ahead state (q_gui_filechooser.cpp)

struct Q_GUI_FILECHOOSER {
    Q_GUI_CTX *ctx;
    float unit;
    int window, up, home, folder_field, go, list, name_label, name_field, filter, folders_toggle,
        hidden_toggle, new_folder, accept, cancel, status;
    int keys; // invisible widget that takes Escape and the list's type-ahead
    Q_GUI_TREE *tree;
    int mode, flags, tree_mode, tree_shown, show_hidden, new_folder_mode;
    char folder[Q_GUI_FC_PATH_MAX];
    char accept_label[Q_GUI_FC_LABEL_MAX];
    char *filter_pattern;  // owned
    char *last_typed;      // owned: what the last accept read from the name field
    char *pending_replace; // owned: the path waiting for a second accept
    char *selection_text;  // owned: what a list selection put into the name field
    Q_GUI_FC_ENTRY *entries;
    int entry_count, entry_cap;
    Q_GUI_FC_DONE_CB done;
    void *user;
    Q_GUI_FC_PRIVATE *priv;
};

// Builds the hidden window and its widgets; null (logged) when one cannot be made.
Q_GUI_FILECHOOSER *q_gui_filechooser_new(Q_GUI_CTX *ctx, float unit);
// Destroys the chooser and its window; an open one is cancelled first. Call
// it before the context is destroyed.
void q_gui_filechooser_destroy(Q_GUI_FILECHOOSER **chooser);
// 1, or 0 for a null chooser or an unknown mode. An earlier opening still
// open is cancelled first. options may be null (all defaults).
int q_gui_filechooser_open(Q_GUI_FILECHOOSER *chooser, const Q_GUI_FC_OPTIONS *options, Q_GUI_FC_DONE_CB done,
                           void *user);
// 1 when the folder (resolved against the one shown) was shown.
int q_gui_filechooser_set_folder(Q_GUI_FILECHOOSER *chooser, const char *folder);
// What the accept button does; 1 when the dialog finished with a result.
int q_gui_filechooser_accept(Q_GUI_FILECHOOSER *chooser);
// Closes an open chooser as its Cancel button does; 1 when it was open.
int q_gui_filechooser_cancel(Q_GUI_FILECHOOSER *chooser);
int q_gui_filechooser_is_open(const Q_GUI_FILECHOOSER *chooser);
// Whether a file name is listed under a filter (patterns separated by ";",
// "," or spaces, "*" and "?" wildcards, any case; patterns holding "/" are
// ignored; an empty filter or a match-everything pattern lists every file).
int q_gui_filechooser_filter_match(const char *filter, const char *name);
