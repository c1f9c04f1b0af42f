#pragma once
// Growable byte string. The buffer always ends with a zero byte; appends grow
// it to exactly what is needed. Freeing zeroes the bytes first, because request
// bodies and console input carry passwords and keystrokes.

#include <cstddef>

struct Q_STR {
    char *data;    // owned, zero-terminated
    size_t size;   // allocated bytes
    size_t length; // written bytes, excluding the terminator
};

Q_STR *new_qstr(size_t capacity);
Q_STR *char_to_qstr(const char *text);
int qstrcat_bytes_ex(Q_STR *str, const void *bytes, size_t count);
int qstrprintf_ex(Q_STR *str, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int qstrprintf_cat_ex(Q_STR *str, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Frees and clears the reference; an absent string is logged at DEBUG.
#define free_qstr(ref) free_qstr_ex((ref), #ref, __LINE__, __FILE__)
void free_qstr_ex(Q_STR **ref, const char *var, int line, const char *file);
