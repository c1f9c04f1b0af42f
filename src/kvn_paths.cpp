#include "kvn_paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kvn_app.h"
#include "kvn_jobs.h"
#include "q_common.h"

extern char **environ;

namespace {
// Set once by kvn_paths_init before any other thread exists; read-only after.
char g_app_dir[KVN_PATH_MAX];
char g_config_dir[KVN_PATH_MAX];
char g_data_dir[KVN_PATH_MAX];

const char *_env_nonempty(const char *name) {
    const char *v = getenv(name);
    return (v && *v) ? v : nullptr;
}

void _find_app_dir(void) {
    char exe[KVN_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    if (n <= 0 || (size_t)n >= sizeof exe) {
        q_strcpy(g_app_dir, sizeof g_app_dir, ".");
        return;
    }
    exe[n] = 0;
    char *slash = strrchr(exe, '/');
    if (!slash) {
        q_strcpy(g_app_dir, sizeof g_app_dir, ".");
        return;
    }
    // An executable in the root folder keeps "/" rather than an empty folder.
    if (slash == exe) slash[1] = 0;
    else *slash = 0;
    q_strcpy(g_app_dir, sizeof g_app_dir, exe);
}

void _find_config_dir(void) {
    const char *v;
    if ((v = _env_nonempty("KVN_HOME"))) q_strcpy(g_config_dir, sizeof g_config_dir, v);
    else if ((v = _env_nonempty("APPDATA"))) kvn_paths_join(g_config_dir, sizeof g_config_dir, v, "Kelvane");
    else if ((v = _env_nonempty("XDG_CONFIG_HOME"))) kvn_paths_join(g_config_dir, sizeof g_config_dir, v, "Kelvane");
    else if ((v = _env_nonempty("HOME"))) {
        char cfg[KVN_PATH_MAX];
        kvn_paths_join(cfg, sizeof cfg, v, ".config");
        kvn_paths_join(g_config_dir, sizeof g_config_dir, cfg, "Kelvane");
    } else q_strcpy(g_config_dir, sizeof g_config_dir, g_app_dir);
}

int _write_all(int fd, const unsigned char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

// The rename is only durable once the folder entry is on disk; a failure here
// loses nothing, so it is not reported.
void _sync_parent(const char *path) {
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = (slash == std::string::npos) ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

struct OPEN_WAIT {
    pid_t pid;
    int is_url;
    char target[KVN_PATH_MAX];
};

void _report_open_failure(KVN_JOB *job) {
    const OPEN_WAIT *w = static_cast<const OPEN_WAIT *>(job->user);
    if (w->is_url)
        kvn_app_status(KVN_STATUS_ERROR, "%s", "cannot open the URL in a browser");
    else
        kvn_app_status(KVN_STATUS_ERROR, "cannot open %s", w->target);
}

void *_reap_opener(void *arg) {
    OPEN_WAIT *w = static_cast<OPEN_WAIT *>(arg);
    int status = 0;
    pid_t r;
    while ((r = waitpid(w->pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r == w->pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        free(w);
        return nullptr;
    }
    // The job owns the record from here, whether or not it is queued.
    kvn_jobs_submit("open", nullptr, _report_open_failure, free, w, 0);
    return nullptr;
}
} // namespace

void kvn_paths_join(char *out, size_t size, const char *folder, const char *name) {
    if (!out || size == 0) return;
    if (!name || !*name) q_strcpy(out, size, folder);
    else if (!folder || !*folder) q_strcpy(out, size, name);
    else q_format(out, size, "%s/%s", folder, name);
}

int kvn_paths_init(void) {
    _find_app_dir();
    _find_config_dir();
    q_strcpy(g_data_dir, sizeof g_data_dir, g_config_dir);

    char profiles[KVN_PATH_MAX], history[KVN_PATH_MAX];
    kvn_paths_join(profiles, sizeof profiles, g_config_dir, "profiles");
    kvn_paths_join(history, sizeof history, g_data_dir, "history");
    int rc = 0;
    // Each folder is tried even when an earlier one failed.
    if (kvn_paths_mkdirs(g_config_dir) != 0) rc = -1;
    if (kvn_paths_mkdirs(g_data_dir) != 0) rc = -1;
    if (kvn_paths_mkdirs(profiles) != 0) rc = -1;
    if (kvn_paths_mkdirs(history) != 0) rc = -1;
    q_log(Q_LOG_INFO, "paths: app=%s config=%s data=%s", g_app_dir, g_config_dir, g_data_dir);
    return rc;
}

const char *kvn_paths_app_dir(void) { return g_app_dir; }
const char *kvn_paths_config_dir(void) { return g_config_dir; }
const char *kvn_paths_data_dir(void) { return g_data_dir; }

void kvn_paths_app_file(char *out, size_t size, const char *name) { kvn_paths_join(out, size, g_app_dir, name); }
void kvn_paths_config_file(char *out, size_t size, const char *name) {
    kvn_paths_join(out, size, g_config_dir, name);
}
void kvn_paths_data_file(char *out, size_t size, const char *name) { kvn_paths_join(out, size, g_data_dir, name); }

int kvn_paths_mkdirs(const char *path) {
    Q_GUARD(path, -1);
    char buf[KVN_PATH_MAX];
    q_strcpy(buf, sizeof buf, path);
    size_t len = strlen(buf);
    if (len == 0) return 0;
    for (size_t i = 1; i <= len; i++) {
        if (i < len && buf[i] != '/') continue;
        char saved = buf[i];
        buf[i] = 0;
        struct stat st;
        if (stat(buf, &st) != 0 && mkdir(buf, 0700) != 0 && errno != EEXIST) {
            q_log(Q_LOG_ERR, "cannot create directory %s: %s", buf, strerror(errno));
            return -1;
        }
        buf[i] = saved;
    }
    // The walk only stops on a failed creation; an existing file in the way is
    // found here.
    struct stat st;
    if (stat(buf, &st) != 0 || !S_ISDIR(st.st_mode)) {
        q_log(Q_LOG_ERR, "cannot create directory %s: %s", buf, strerror(errno ? errno : ENOTDIR));
        return -1;
    }
    return 0;
}

int kvn_paths_write_atomic(const char *path, const void *data, size_t length, int is_private) {
    if (!path || (!data && length > 0)) return -1;
    std::string tmp = std::string(path) + ".tmp";

    // A stale temporary file could carry a wider mode or be a link planted by
    // someone else; start from a fresh one created with its final mode.
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, is_private ? 0600 : 0644);
    // On failure errno still tells the cause, so callers can say why.
    if (fd < 0) {
        const int e = errno;
        q_log(Q_LOG_ERR, "cannot write %s: %s", tmp.c_str(), strerror(e));
        errno = e;
        return -1;
    }
    bool ok = _write_all(fd, static_cast<const unsigned char *>(data), length) == 0;
    int e = ok ? 0 : errno;
    ok = ok && fsync(fd) == 0;
    if (!ok && !e) e = errno;
    ok = (close(fd) == 0) && ok;
    if (!ok) {
        if (!e) e = errno;
        unlink(tmp.c_str());
        errno = e ? e : EIO;
        return -1;
    }
    if (rename(tmp.c_str(), path) != 0) {
        e = errno;
        q_log(Q_LOG_ERR, "cannot rename %s: %s", tmp.c_str(), strerror(e));
        unlink(tmp.c_str());
        errno = e;
        return -1;
    }
    _sync_parent(path);
    return 0;
}

char *kvn_paths_read_file(const char *path, size_t cap, size_t *out_length) {
    if (out_length) *out_length = 0;
    if (!path) return nullptr;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    // Pipes and devices report no size: read them up to the cap and one byte
    // beyond, so an oversized stream is refused like an oversized file.
    bool sized = S_ISREG(st.st_mode);
    long size = sized ? (long)st.st_size : 0;
    if (sized && (size < 0 || (size_t)size > cap)) {
        q_log(Q_LOG_ERR, "refusing to read %s: size %ld over cap %zu", path, size, cap);
        close(fd);
        return nullptr;
    }
    size_t want = sized ? (size_t)size : cap + 1;
    char *buf = static_cast<char *>(q_calloc_checked(want + 1, 1, "buf", "char", __LINE__, __FILE__));
    if (!buf) {
        close(fd);
        return nullptr;
    }
    size_t got = 0;
    while (got < want) {
        ssize_t r = read(fd, buf + got, want - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            free(buf);
            close(fd);
            return nullptr;
        }
        if (r == 0) break;
        got += (size_t)r;
    }
    close(fd);
    if (!sized && got > cap) {
        q_log(Q_LOG_ERR, "refusing to read %s: size %ld over cap %zu", path, (long)got, cap);
        free(buf);
        return nullptr;
    }
    buf[got] = 0;
    if (out_length) *out_length = got;
    return buf;
}

int kvn_open_external(const char *target) {
    if (!target || !*target) return -1;
    for (const unsigned char *p = (const unsigned char *)target; *p; p++) {
        if ((*p >= 0x01 && *p <= 0x1F) || strchr("\"$&;<>\\`|", *p)) {
            q_log(Q_LOG_ERR, "refusing to open a target with unsafe characters");
            return -1;
        }
    }
    // No shell is involved, so the target reaches xdg-open as one argument
    // whatever it holds; the refusal above keeps the behaviour of platforms
    // that do go through a shell.
    char *argv[] = {const_cast<char *>("xdg-open"), const_cast<char *>(target), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return -1;
    // Without a desktop session xdg-open runs the browser itself and returns
    // only when it is closed: the frame must not wait for that. A waiter
    // thread reaps it and a failure reaches the status line on the main
    // thread through the job queue.
    OPEN_WAIT *w = nullptr;
    Q_CALLOC(w, 1, OPEN_WAIT);
    if (!w) return 0;
    w->pid = pid;
    w->is_url = strstr(target, "://") != nullptr;
    // A path is shown in the failure; a URL may embed an access token.
    if (!w->is_url) q_strcpy(w->target, sizeof w->target, target);
    pthread_attr_t attr;
    pthread_t th;
    bool started = pthread_attr_init(&attr) == 0;
    if (started) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        started = pthread_create(&th, &attr, _reap_opener, w) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        q_log(Q_LOG_NOTICE, "cannot wait for xdg-open: its outcome goes unreported");
        free(w);
    }
    return 0;
}
