#include "q_common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>

size_t q_strcpy(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) return 0;
    if (!src) {
        dst[0] = 0;
        return 0;
    }
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
    return n;
}

size_t q_strcat(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) return 0;
    size_t have = strnlen(dst, size);
    if (have >= size) {
        dst[size - 1] = 0;
        return size - 1;
    }
    return have + q_strcpy(dst + have, size - have, src);
}

size_t q_format(char *dst, size_t size, const char *fmt, ...) {
    if (!dst || size == 0) return 0;
    if (!fmt) {
        dst[0] = 0;
        return 0;
    }
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(dst, size, fmt, ap);
    va_end(ap);
    if (n < 0) {
        dst[0] = 0;
        return 0;
    }
    return (size_t)n < size ? (size_t)n : size - 1;
}

void q_secure_zero(void *p, size_t n) {
    if (p && n) OPENSSL_cleanse(p, n);
}

void q_secure_zero_str(char *s) {
    if (s) q_secure_zero(s, strlen(s));
}

void *q_calloc_checked(size_t count, size_t size, const char *var, const char *type, int line,
                       const char *file) {
    // calloc(0, ...) may legally return null; callers always want a buffer.
    void *p = calloc(count ? count : 1, size ? size : 1);
    if (!p) {
        q_log(Q_LOG_ERR, "( %s *)calloc( %zu , sizeof( %s ) ) %s at line %d of %s", var, count, type,
              errno ? strerror(errno) : "malloc error", line, file);
    }
    return p;
}

void *q_realloc_checked(void *ptr, size_t bytes, const char *var, int line, const char *file) {
    void *p = realloc(ptr, bytes ? bytes : 1);
    if (!p)
        q_log(Q_LOG_ERR, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", var, var, bytes,
              errno ? strerror(errno) : "malloc error", line, file);
    return p;
}

void q_free_checked(void **ptr, const char *var, int line, const char *file) {
    if (!ptr || !*ptr) {
        q_log(Q_LOG_DEBUG, "Free( %s ) already done or NULL at line %d of %s", var, line, file);
        return;
    }
    free(*ptr);
    *ptr = nullptr;
}

void q_json_scrub(cJSON *node) {
    if (!node) return;
    // Borrowed texts (references, constant member names) may be literals
    // in read-only memory; they are not the tree's to wipe.
    if (node->valuestring && !(node->type & cJSON_IsReference)) q_secure_zero_str(node->valuestring);
    if (node->string && !(node->type & cJSON_StringIsConst)) q_secure_zero_str(node->string);
    for (cJSON *k = node->child; k; k = k->next)
        q_json_scrub(k);
}

void q_json_delete_secret(cJSON *node) {
    if (!node) return;
    q_json_scrub(node);
    cJSON_Delete(node);
}

char *q_json_print_secret(const cJSON *node, int formatted) {
    if (!node) return nullptr;
    // cJSON_PrintPreallocated writes into our buffer and never reallocates
    // it; when the buffer is too small it fails, the partial text is wiped and
    // a buffer twice as large is tried.
    int size = 256;
    for (;;) {
        char *buf = static_cast<char *>(malloc((size_t)size));
        if (!buf) return nullptr;
        if (cJSON_PrintPreallocated(const_cast<cJSON *>(node), buf, size, formatted ? 1 : 0)) return buf;
        q_secure_zero(buf, (size_t)size);
        free(buf);
        // Bodies with secrets are small; a tree that still does not fit is
        // one the printer refuses for another reason.
        if (size >= (64 << 20)) return nullptr;
        size *= 2;
    }
}
