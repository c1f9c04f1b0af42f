// The response head reader fed in pieces: the first byte picks the piece size,
// and the end found must not depend on how the bytes were split. A complete
// head is then searched for headers as the client does.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "q_http_client.h"
#include "q_log.h"

namespace {
long _scan(const char *p, size_t n, size_t step) {
    Q_HTTPC_HEAD_SCAN scan = {};
    for (size_t off = 0; off < n;) {
        size_t take = n - off < step ? n - off : step;
        long rc = q_httpc_head_scan(&scan, p + off, take);
        if (rc == -1) return -1;
        if (rc >= 0) {
            if ((size_t)rc > take || rc == 0) abort();
            return (long)off + rc;
        }
        off += take;
    }
    return -2;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    if (size < 1) return 0;
    size_t step = data[0] % 32 + 1;
    const char *p = reinterpret_cast<const char *>(data + 1);
    size_t n = size - 1;
    long whole = _scan(p, n, n ? n : 1);
    long split = _scan(p, n, step);
    if (whole != split) abort();
    if (whole <= 0) return 0;
    std::string head(p, (size_t)whole);
    int status = q_httpc_head_status(head.data(), head.size());
    if (status > 999) abort();
    Q_HTTPC_RESP resp = {};
    resp.head = head.data();
    resp.head_len = head.size();
    char value[256];
    for (const char *name : {"Content-Length", "Transfer-Encoding", "Location", "Connection"})
        if (q_httpc_resp_header(&resp, name, value, sizeof value))
            for (const char *v = value; *v; v++)
                if (*v == '\r' || *v == '\n') abort();
    return 0;
}
