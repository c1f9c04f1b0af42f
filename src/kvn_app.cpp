#include "kvn_app.h"

#include <cstdarg>
#include <cstdio>

#include "q_common.h"

namespace {
// Written once by main before the workers start; the record's fields belong
// to the main thread.
KVN_APP *g_app = nullptr;
} // namespace

void kvn_app_publish(KVN_APP *app) { g_app = app; }

KVN_APP *kvn_app_get(void) { return g_app; }

void kvn_app_status(int kind, const char *fmt, ...) {
    if (!fmt || !g_app) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_app->status_text, sizeof g_app->status_text, fmt, ap);
    va_end(ap);
    g_app->status_kind = kind;
    int level = kind == 1 ? Q_LOG_ERR : kind == 2 ? Q_LOG_NOTICE : Q_LOG_INFO;
    q_log(level, "status: %s", g_app->status_text);
}
