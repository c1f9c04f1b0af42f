#pragma once
// System clipboard service. Selection 0 is the clipboard; selection 1 (the
// primary selection) is not offered by this backend. Safe from any thread:
// every operation takes one process-wide mutex.

#include <cstddef>

struct ALLEGRO_DISPLAY;

// The display whose X11 connection carries the clipboard (the main display).
void q_clipboard_set_display(ALLEGRO_DISPLAY *display);
// 1 when the backend is ready (a display is known); logs once when it is.
int q_clipboard_init(void);
int q_clipboard_set(int selection, const char *text);
// Newly allocated UTF-8 text (free with free()), or null.
char *q_clipboard_get(int selection);
// Text types only on this backend: the text names ("UTF8_STRING", "STRING",
// "TEXT", "text/plain", "text/plain;charset=utf-8"); other types are refused.
int q_clipboard_set_data(int selection, const char *mime, const void *bytes, size_t length);
void *q_clipboard_get_data(int selection, const char *const *mimes, int count, size_t *size, int *index);
