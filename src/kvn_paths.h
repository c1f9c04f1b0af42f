#pragma once
// Where the program's files live, safe whole-file writes, capped reads, and
// handing a URL or file to the desktop.

#include <cstddef>

enum { KVN_PATH_MAX = 2048 };

// Read caps of the callers.
constexpr size_t KVN_READ_CAP = 0x800000;         // settings, descriptors, layout, profiles, clouds files
constexpr size_t KVN_READ_CAP_DOC = 16u << 20;    // document of the bare-metal tool
constexpr size_t KVN_READ_CAP_BODY = 32u << 20;   // a file a form field puts into a request body

// Sets the app, config and data folders and creates config, data, profiles and
// history. Returns -1 when any of them could not be created.
int kvn_paths_init(void);

const char *kvn_paths_app_dir(void);
const char *kvn_paths_config_dir(void);
const char *kvn_paths_data_dir(void);

// Join a name to a folder; cut silently at size.
void kvn_paths_join(char *out, size_t size, const char *folder, const char *name);
void kvn_paths_app_file(char *out, size_t size, const char *name);
void kvn_paths_config_file(char *out, size_t size, const char *name);
void kvn_paths_data_file(char *out, size_t size, const char *name);

int kvn_paths_mkdirs(const char *path);

// Replaces the file whole through "<path>.tmp" and a rename; the old file is
// intact whenever this fails. A private file is created with mode 0600 before
// any byte is written.
int kvn_paths_write_atomic(const char *path, const void *data, size_t length, int is_private);

// The whole file plus a terminating zero byte (free with free()), or null when
// missing, unreadable or larger than cap.
char *kvn_paths_read_file(const char *path, size_t cap, size_t *out_length);

// Opens a URL or path with the desktop's default handler (xdg-open, no shell).
int kvn_open_external(const char *target);
