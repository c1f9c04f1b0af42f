#pragma once
// Helpers every module shares: bounded copies and formats, secure zeroing, and
// the checked allocation, freeing and argument-guard conventions.

#include <cstddef>
#include <cstdlib>
#include <memory>

#include <cJSON.h>

#include "q_log.h"

// Copies src into dst of capacity size, cutting silently; dst is always ended
// by a zero byte when size > 0. Returns the number of bytes copied.
size_t q_strcpy(char *dst, size_t size, const char *src);
// Appends src to the text in dst, cutting at the capacity.
size_t q_strcat(char *dst, size_t size, const char *src);
// Bounded printf into dst; cuts silently. Returns the length written.
size_t q_format(char *dst, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Overwrites memory with zeros in a way the optimiser cannot remove.
void q_secure_zero(void *p, size_t n);
// Zeroes a text up to its terminating zero byte.
void q_secure_zero_str(char *s);

// Zero-filled allocation that logs the failure in the convention's words.
void *q_calloc_checked(size_t count, size_t size, const char *var, const char *type, int line,
                       const char *file);
void *q_realloc_checked(void *ptr, size_t bytes, const char *var, int line, const char *file);
void q_free_checked(void **ptr, const char *var, int line, const char *file);

#define Q_CALLOC(var, count, type)                                                                           \
    ((var) = static_cast<type *>(q_calloc_checked((count), sizeof(type), #var, #type, __LINE__, __FILE__)))
#define Q_FREE(var)                                                                                          \
    do {                                                                                                     \
        void *q_free_tmp_ = (void *)(var);                                                                   \
        q_free_checked(&q_free_tmp_, #var, __LINE__, __FILE__);                                              \
        (var) = nullptr;                                                                                     \
    } while (0)

// Argument guard: logs at DEBUG and returns the failure value; never aborts.
#define Q_GUARD(cond, ret)                                                                                   \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            q_log(Q_LOG_DEBUG, "if( !(%s) ) assert at line %d of %s", #cond, __LINE__, __FILE__);            \
            return ret;                                                                                      \
        }                                                                                                    \
    } while (0)
#define Q_GUARD_VOID(cond)                                                                                   \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            q_log(Q_LOG_DEBUG, "if( !(%s) ) assert at line %d of %s", #cond, __LINE__, __FILE__);            \
            return;                                                                                          \
        }                                                                                                    \
    } while (0)

// Owning pointer for buffers that came from malloc/calloc (file contents,
// printed JSON).
struct Q_FREE_DELETER {
    void operator()(void *p) const { free(p); }
};
using Q_CBUF = std::unique_ptr<char, Q_FREE_DELETER>;

// The value when it is an array, else null: iterating a member that is absent
// or of another type then finds nothing.
inline cJSON *q_json_array(const cJSON *v) {
    return cJSON_IsArray(v) ? const_cast<cJSON *>(v) : nullptr;
}

// Owning pointer for a whole cJSON document.
struct Q_CJSON_DELETER {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Q_CJSON = std::unique_ptr<cJSON, Q_CJSON_DELETER>;

// Secrets inside JSON trees (passwords in request bodies, credential secrets
// and private keys in answers): every string value and every member name of
// the tree is overwritten with zeros, so deleting it afterwards leaves none
// of them in freed memory.
void q_json_scrub(cJSON *node);
// Scrubs the whole tree, then deletes it. Absent is no error.
void q_json_delete_secret(cJSON *node);
struct Q_CJSON_SECRET_DELETER {
    void operator()(cJSON *j) const { q_json_delete_secret(j); }
};
using Q_CJSON_SECRET = std::unique_ptr<cJSON, Q_CJSON_SECRET_DELETER>;

// Prints a tree that holds secrets. cJSON's own printer frees the buffers it
// outgrows without wiping them, so this one prints into buffers it wipes
// itself. The text comes from malloc; the caller wipes it before free
// (Q_SECRET_CBUF does). Null on failure.
char *q_json_print_secret(const cJSON *node, int formatted);

// A malloc'ed text that is wiped up to its end before it is freed.
struct Q_SECRET_FREE_DELETER {
    void operator()(char *p) const {
        q_secure_zero_str(p);
        free(p);
    }
};
using Q_SECRET_CBUF = std::unique_ptr<char, Q_SECRET_FREE_DELETER>;
