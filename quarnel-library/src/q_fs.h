#pragma once
// q_fs: the local file system as the toolkit's file chooser sees it. Every
// operating-system call the chooser makes (reading a folder, examining and
// creating paths, the home and user folders, local time) sits here, so a port
// to another system changes this file only.

#include <cstddef>
#include <cstdint>

// What reading a folder reports for each name in it.
struct Q_FS_ENTRY {
    const char *name; // valid during the callback only
    int is_folder;    // the name leads to a folder (links are followed)
    int hidden;       // the system's convention for hidden names
    int examined;     // 0: the entry vanished or cannot be examined at all
    uint64_t size;
    int64_t mtime; // seconds since the epoch
};

// Returns 0 to go on, anything else to stop reading.
typedef int (*Q_FS_ENTRY_CB)(const Q_FS_ENTRY *entry, void *user);

// Calls cb for every name in a folder except "." and "..". folders_only
// examines only what is needed to tell folders apart (size and time stay 0).
// Returns 0, or -1 with the system's error text in err (cut at err_cap) when
// the folder cannot be opened or read.
int q_fs_read_folder(const char *path, int folders_only, Q_FS_ENTRY_CB cb, void *user, char *err,
                     size_t err_cap);

enum { Q_FS_MISSING = 0, Q_FS_FILE = 1, Q_FS_FOLDER = 2 };
// What a path names, following links; a link loop or a dangling link is a
// file when the link itself exists (it can be replaced), missing otherwise.
int q_fs_kind(const char *path);
// Creates one folder (mode 0777 before the umask). 0, or -1 with the error text.
int q_fs_make_folder(const char *path, char *err, size_t err_cap);
// The user's home folder: $HOME when it is absolute, else the password
// database's, else the working folder, else "/". Always fills out.
void q_fs_home(char *out, size_t cap);

#define Q_FS_USER_FOLDERS_MAX 16
struct Q_FS_USER_FOLDER {
    char path[4096];
};
// The user's named folders (desktop, documents, downloads, ...) from the
// user-dirs file of the XDG base folder ($XDG_CONFIG_HOME or ~/.config), in
// the file's order, without duplicates and without the home folder itself
// (the file's way of turning one off). Returns how many were stored.
int q_fs_user_folders(Q_FS_USER_FOLDER *out, int max);
// Local time as "%Y-%m-%d %H:%M".
void q_fs_format_time(int64_t t, char *out, size_t cap);
