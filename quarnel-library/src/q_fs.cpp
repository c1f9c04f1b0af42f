// q_fs: POSIX implementation (Linux).

#include "q_fs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "q_common.h"

static void _err(char *err, size_t cap, int code) {
    if (err && cap) q_strcpy(err, cap, strerror(code));
}

// RAII for an open folder stream.
struct _DIR_CLOSER {
    void operator()(DIR *d) const { closedir(d); }
};

int q_fs_read_folder(const char *path, int folders_only, Q_FS_ENTRY_CB cb, void *user, char *err,
                     size_t err_cap) {
    if (!path || !cb) {
        _err(err, err_cap, EINVAL);
        return -1;
    }
    std::unique_ptr<DIR, _DIR_CLOSER> dir(opendir(path));
    if (!dir) {
        _err(err, err_cap, errno);
        return -1;
    }
    const int fd = dirfd(dir.get());
    for (;;) {
        errno = 0;
        const struct dirent *de = readdir(dir.get());
        if (!de) {
            if (errno) {
                _err(err, err_cap, errno);
                return -1;
            }
            return 0;
        }
        const char *n = de->d_name;
        if (n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2]))) continue;
        Q_FS_ENTRY e = {};
        e.name = n;
        e.hidden = n[0] == '.';
        e.examined = 1;
        // A folder-only read trusts the type the folder itself records and
        // examines links and unknown types only: thousands of files then cost
        // no system call each.
        if (folders_only && (de->d_type == DT_DIR || de->d_type == DT_REG)) {
            e.is_folder = de->d_type == DT_DIR;
        } else {
            struct stat st;
            if (fstatat(fd, n, &st, 0) == 0) {
                e.is_folder = S_ISDIR(st.st_mode);
                e.size = S_ISDIR(st.st_mode) ? 0 : (uint64_t)st.st_size;
                e.mtime = (int64_t)st.st_mtime;
            } else if (fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                // A dangling link or a link loop: listed as what it is, a
                // link that is not a folder.
                e.size = (uint64_t)st.st_size;
                e.mtime = (int64_t)st.st_mtime;
            } else {
                e.examined = 0; // gone since the folder was read
            }
        }
        if (cb(&e, user) != 0) return 0;
    }
}

int q_fs_kind(const char *path) {
    if (!path || !path[0]) return Q_FS_MISSING;
    struct stat st;
    if (stat(path, &st) == 0) return S_ISDIR(st.st_mode) ? Q_FS_FOLDER : Q_FS_FILE;
    if (lstat(path, &st) == 0) return Q_FS_FILE;
    return Q_FS_MISSING;
}

int q_fs_make_folder(const char *path, char *err, size_t err_cap) {
    if (mkdir(path, 0777) == 0) return 0;
    _err(err, err_cap, errno);
    return -1;
}

void q_fs_home(char *out, size_t cap) {
    const char *h = getenv("HOME");
    if (h && h[0] == '/') {
        q_strcpy(out, cap, h);
        return;
    }
    const struct passwd *pw = getpwuid(getuid());
    if (pw && pw->pw_dir && pw->pw_dir[0] == '/') {
        q_strcpy(out, cap, pw->pw_dir);
        return;
    }
    if (getcwd(out, cap)) return;
    q_strcpy(out, cap, "/");
}

// One value of the user-dirs file: a double-quoted text, "$HOME" or
// "$HOME/..." or an absolute path, with backslash escapes. Empty on anything
// else.
static std::string _user_dir_value(const char *p, const char *home) {
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p != '"') return "";
    p++;
    std::string v;
    if (!strncmp(p, "$HOME", 5) && (p[5] == '/' || p[5] == '"')) {
        v = home;
        p += 5;
    } else if (*p != '/') {
        return "";
    }
    for (; *p && *p != '"'; p++) {
        if (*p == '\\' && p[1]) p++;
        v += *p;
    }
    if (*p != '"') return "";
    while (v.size() > 1 && v.back() == '/')
        v.pop_back();
    return v;
}

int q_fs_user_folders(Q_FS_USER_FOLDER *out, int max) {
    if (!out || max <= 0) return 0;
    char home[4096];
    q_fs_home(home, sizeof home);
    std::string file;
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        file = std::string(xdg) + "/user-dirs.dirs";
    else
        file = std::string(home) + "/.config/user-dirs.dirs";
    FILE *f = fopen(file.c_str(), "r");
    if (!f) return 0;
    int n = 0;
    char line[8192];
    while (n < max && fgets(line, sizeof line, f)) {
        const char *p = line;
        while (*p == ' ' || *p == '\t')
            p++;
        if (strncmp(p, "XDG_", 4) != 0) continue;
        const char *eq = strchr(p, '=');
        if (!eq || eq - p < 8 || strncmp(eq - 4, "_DIR", 4) != 0) continue;
        char *nl = strpbrk(line, "\r\n");
        if (nl) *nl = 0;
        const std::string v = _user_dir_value(eq + 1, home);
        if (v.empty() || v == home || v.size() >= sizeof out[0].path) continue;
        bool dup = false;
        for (int i = 0; i < n && !dup; i++)
            dup = v == out[i].path;
        if (!dup) q_strcpy(out[n++].path, sizeof out[0].path, v.c_str());
    }
    fclose(f);
    return n;
}

void q_fs_format_time(int64_t t, char *out, size_t cap) {
    if (!out || !cap) return;
    const time_t tt = (time_t)t;
    struct tm tm;
    if (!localtime_r(&tt, &tm) || !strftime(out, cap, "%Y-%m-%d %H:%M", &tm)) out[0] = 0;
}
