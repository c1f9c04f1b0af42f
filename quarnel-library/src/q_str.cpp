#include "q_str.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "q_common.h"

namespace {
// Grows the buffer so that `need` bytes plus the terminator fit. The old bytes
// are zeroed before release, for the same reason free_qstr zeroes them.
int _reserve(Q_STR *str, size_t need) {
    if (need + 1 <= str->size) return 0;
    char *fresh = static_cast<char *>(q_calloc_checked(need + 1, 1, "str->data", "char", __LINE__, __FILE__));
    if (!fresh) return -1;
    if (str->data) {
        memcpy(fresh, str->data, str->length);
        q_secure_zero(str->data, str->size);
        free(str->data);
    }
    str->data = fresh;
    str->size = need + 1;
    return 0;
}

// Formats into a scratch buffer first, so arguments that point into the
// string itself stay valid while the buffer is replaced.
__attribute__((format(printf, 3, 0))) int _vformat(Q_STR *str, size_t at, const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) return -1;
    char *tmp = static_cast<char *>(q_calloc_checked((size_t)n + 1, 1, "tmp", "char", __LINE__, __FILE__));
    if (!tmp) return -1;
    vsnprintf(tmp, (size_t)n + 1, fmt, ap);
    int rc = _reserve(str, at + (size_t)n);
    if (rc == 0) {
        memcpy(str->data + at, tmp, (size_t)n + 1);
        str->length = at + (size_t)n;
    }
    q_secure_zero(tmp, (size_t)n);
    free(tmp);
    return rc;
}
} // namespace

Q_STR *new_qstr(size_t capacity) {
    Q_STR *str = nullptr;
    Q_CALLOC(str, 1, Q_STR);
    if (!str) return nullptr;
    str->data = static_cast<char *>(q_calloc_checked(capacity + 1, 1, "str->data", "char", __LINE__, __FILE__));
    if (!str->data) {
        free(str);
        return nullptr;
    }
    str->size = capacity + 1;
    return str;
}

Q_STR *char_to_qstr(const char *text) {
    Q_GUARD(text, nullptr);
    size_t n = strlen(text);
    Q_STR *str = new_qstr(n);
    if (!str) return nullptr;
    memcpy(str->data, text, n);
    str->length = n;
    return str;
}

int qstrcat_bytes_ex(Q_STR *str, const void *bytes, size_t count) {
    Q_GUARD(str, -1);
    Q_GUARD(bytes || count == 0, -1);
    if (_reserve(str, str->length + count) != 0) return -1;
    if (count) memcpy(str->data + str->length, bytes, count);
    str->length += count;
    str->data[str->length] = 0;
    return 0;
}

int qstrprintf_ex(Q_STR *str, const char *fmt, ...) {
    Q_GUARD(str && fmt, -1);
    va_list ap;
    va_start(ap, fmt);
    int rc = _vformat(str, 0, fmt, ap);
    va_end(ap);
    return rc;
}

int qstrprintf_cat_ex(Q_STR *str, const char *fmt, ...) {
    Q_GUARD(str && fmt, -1);
    va_list ap;
    va_start(ap, fmt);
    int rc = _vformat(str, str->length, fmt, ap);
    va_end(ap);
    return rc;
}

void free_qstr_ex(Q_STR **ref, const char *var, int line, const char *file) {
    if (!ref || !*ref) {
        q_log(Q_LOG_DEBUG, "%s is already NULL", var);
        (void)line;
        (void)file;
        return;
    }
    Q_STR *str = *ref;
    if (str->data) {
        q_secure_zero(str->data, str->size);
        free(str->data);
    }
    free(str);
    *ref = nullptr;
}
