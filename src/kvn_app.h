#pragma once
// The process-wide application record and the status line.

#include <cstdint>

#include "kvn_config.h"

struct ALLEGRO_DISPLAY;
struct ALLEGRO_FONT;
struct Q_GUI_CTX;
struct KVN_API;
struct KVN_SESSION;

struct KVN_APP {
    ALLEGRO_DISPLAY *display;
    Q_GUI_CTX *gui;
    ALLEGRO_FONT *ui_font;
    ALLEGRO_FONT *mono_font;     // may be absent
    ALLEGRO_FONT *fallback_font; // may be absent
    KVN_CONFIG config;
    KVN_API *api;             // owned, may be absent
    KVN_SESSION *session;     // absent while not connected
    uint64_t session_generation;
    int running;
    char status_text[1024];
    int status_kind; // 0 information, 1 error, 2 warning
};

// The record is created by main on its own stack and published here before
// anything else reads it; null outside a run (tools, most tests).
void kvn_app_publish(KVN_APP *app);
KVN_APP *kvn_app_get(void);

// Sets the status line: kind 0 information, 1 error, 2 warning.
void kvn_app_status(int kind, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
