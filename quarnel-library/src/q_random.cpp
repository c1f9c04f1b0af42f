#include "q_random.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

#include "q_common.h"

int q_random_bytes(void *buf, size_t len) {
    Q_GUARD(buf || len == 0, -1);
    unsigned char *p = static_cast<unsigned char *>(buf);
    // getrandom returns at most 32 MiB per call and may be interrupted, so it
    // is called until every byte is filled.
    while (len > 0) {
        ssize_t n = getrandom(p, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            q_log(Q_LOG_ERR, "getrandom failed: %s", strerror(errno));
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}
