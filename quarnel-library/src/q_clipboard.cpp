// q_clipboard on X11, through Allegro's clipboard functions (UTF-8 text). The
// primary selection is not offered, so selection 1 does nothing.

#include <allegro5/allegro.h>
#include <cstring>
#include <mutex>

#include "q_clipboard.h"
#include "q_common.h"

namespace {
// Guards every field below and every clipboard call.
std::mutex g_lock;
ALLEGRO_DISPLAY *g_display = nullptr;
bool g_announced = false;
const size_t k_max_data = 0x4000000; // 64 MiB

bool _is_text_type(const char *mime) {
    static const char *const k_text[] = {"UTF8_STRING", "STRING", "TEXT", "text/plain",
                                         "text/plain;charset=utf-8"};
    for (const char *t : k_text)
        if (!strcmp(mime, t)) return true;
    return false;
}

ALLEGRO_DISPLAY *_display_locked(void) {
    ALLEGRO_DISPLAY *d = g_display ? g_display : al_get_current_display();
    if (d && !g_announced) {
        q_log(Q_LOG_INFO, "q_clipboard: X11 clipboard backend ready");
        g_announced = true;
    }
    return d;
}
} // namespace

void q_clipboard_set_display(ALLEGRO_DISPLAY *display) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_display = display;
}

int q_clipboard_init(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    return _display_locked() ? 1 : 0;
}

int q_clipboard_set(int selection, const char *text) {
    if (selection == 1) return 0;
    Q_GUARD(text, -1);
    std::lock_guard<std::mutex> hold(g_lock);
    ALLEGRO_DISPLAY *d = _display_locked();
    if (!d || !al_set_clipboard_text(d, text)) {
        q_log(Q_LOG_ERR, "q_clipboard: failed to set the X11 clipboard");
        return -1;
    }
    return 0;
}

char *q_clipboard_get(int selection) {
    if (selection == 1) return nullptr;
    std::lock_guard<std::mutex> hold(g_lock);
    ALLEGRO_DISPLAY *d = _display_locked();
    if (!d) return nullptr;
    char *al_text = al_get_clipboard_text(d);
    if (!al_text) return nullptr;
    // Hand out memory of our own allocator so callers free it with free().
    const size_t n = strlen(al_text);
    char *out = static_cast<char *>(malloc(n + 1));
    if (out) memcpy(out, al_text, n + 1);
    // Clipboard text may be a pasted password.
    q_secure_zero(al_text, n);
    al_free(al_text);
    return out;
}

int q_clipboard_set_data(int selection, const char *mime, const void *bytes, size_t length) {
    if (length > k_max_data) {
        q_log(Q_LOG_ERR, "q_clipboard_set_data: %zu bytes is more than the %zu allowed", length, k_max_data);
        return -1;
    }
    if (bytes && !mime) return -1;
    if (selection == 1) return 0;
    if (!bytes) return q_clipboard_set(selection, "");
    if (!_is_text_type(mime)) {
        q_log(Q_LOG_WARNING, "q_clipboard_set_data: type %s is not offered by the X11 backend", mime);
        return -1;
    }
    // Text must end with a zero byte for the Allegro call; copy it.
    char *text = static_cast<char *>(malloc(length + 1));
    if (!text) return -1;
    memcpy(text, bytes, length);
    text[length] = 0;
    const int rc = q_clipboard_set(selection, text);
    q_secure_zero(text, length);
    free(text);
    return rc;
}

void *q_clipboard_get_data(int selection, const char *const *mimes, int count, size_t *size, int *index) {
    if (size) *size = 0;
    if (index) *index = -1;
    if (!mimes || selection == 1) return nullptr;
    for (int i = 0; i < count; i++) {
        if (!mimes[i] || !_is_text_type(mimes[i])) continue;
        char *text = q_clipboard_get(selection);
        if (!text) return nullptr;
        if (size) *size = strlen(text);
        if (index) *index = i;
        return text;
    }
    return nullptr;
}
