#include "q_log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {
std::atomic<int> g_level{Q_LOG_NOTICE};
std::atomic<bool> g_colour{false};
// Guards the sink pair and keeps lines of different threads whole.
std::mutex g_log_lock;
Q_LOG_SINK g_sink = nullptr;
void *g_sink_user = nullptr;

const char *const k_names[8] = {"EMERG", "ALERT", "CRITICAL", "ERR", "WARNING", "NOTICE", "INFO", "DEBUG"};

const char *_colour_of(int level) {
    switch (level) {
    case Q_LOG_EMERG:
    case Q_LOG_CRIT:
    case Q_LOG_ERR: return "\033[31m";
    case Q_LOG_ALERT: return "\033[35m";
    case Q_LOG_WARNING: return "\033[33m";
    case Q_LOG_NOTICE: return "\033[32m";
    case Q_LOG_INFO: return "\033[36m";
    case Q_LOG_DEBUG: return "\033[34m";
    default: return "\033[37m";
    }
}

// __FILE__ carries the build's absolute path; the log keeps only the name.
const char *_base_name(const char *path) {
    if (!path) return "NULL";
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}
} // namespace

void set_log_level(int level) {
    g_level.store(level);
    g_colour.store(isatty(STDERR_FILENO) == 1);
}

int get_log_level(void) { return g_level.load(); }

void q_log_set_sink(Q_LOG_SINK sink, void *user) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    g_sink = sink;
    g_sink_user = user;
}

void q_log_vwrite(int level, const char *file, const char *func, int line, const char *fmt, va_list ap) {
    if (level > g_level.load()) return;
    const bool colour = g_colour.load();
    const char *name = (level >= 0 && level <= 7) ? k_names[level] : "UNKNOWN";

    char head[512];
    snprintf(head, sizeof head, "%s%s:%jd:%s->%s:%d ", colour ? _colour_of(level) : "", name,
             (intmax_t)time(nullptr), _base_name(file), func ? func : "NULL", line);

    char body[4096];
    if (fmt) {
        va_list copy;
        va_copy(copy, ap);
        vsnprintf(body, sizeof body, fmt, copy);
        va_end(copy);
    } else {
        body[0] = 0;
    }

    std::string out;
    out.reserve(strlen(head) + strlen(body) + 8);
    out += head;
    out += body;
    if (colour) out += "\033[0m";
    out += '\n';

    std::lock_guard<std::mutex> lock(g_log_lock);
    if (g_sink) {
        g_sink(out.c_str(), g_sink_user);
        return;
    }
    fwrite(out.data(), 1, out.size(), stderr);
    fflush(stderr);
}

void q_log_write(int level, const char *file, const char *func, int line, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    q_log_vwrite(level, file, func, line, fmt, ap);
    va_end(ap);
}
