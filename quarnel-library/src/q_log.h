#pragma once
// Leveled logging to standard error. Levels use syslog numbering; a message is
// written when its level is at most the current level.

#include <cstdarg>

enum {
    Q_LOG_EMERG = 0,
    Q_LOG_ALERT = 1,
    Q_LOG_CRIT = 2,
    Q_LOG_ERR = 3,
    Q_LOG_WARNING = 4,
    Q_LOG_NOTICE = 5,
    Q_LOG_INFO = 6,
    Q_LOG_DEBUG = 7,
};

// Sets the current level and decides once whether lines are coloured (only
// when standard error is a terminal).
void set_log_level(int level);
int get_log_level(void);

// Where lines go; standard error unless a test captures them. The sink gets the
// whole line including its newline.
typedef void (*Q_LOG_SINK)(const char *line, void *user);
void q_log_set_sink(Q_LOG_SINK sink, void *user);

void q_log_write(int level, const char *file, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void q_log_vwrite(int level, const char *file, const char *func, int line, const char *fmt, va_list ap)
    __attribute__((format(printf, 5, 0)));

// The level check runs before the arguments are formatted, so DEBUG lines cost
// nothing at the default level.
#define q_log(level, ...)                                                                            \
    do {                                                                                             \
        if ((level) <= get_log_level()) q_log_write((level), __FILE__, __func__, __LINE__, __VA_ARGS__); \
    } while (0)
