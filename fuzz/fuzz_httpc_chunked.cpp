// The chunked body decoder: whole input against the same input split into
// pieces (size from the first byte). Body bytes, the end and the error must
// be the same either way, and decoding never writes past its input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "q_http_client.h"
#include "q_log.h"

namespace {
struct OUTCOME {
    std::string body;
    long end = -2; // input offset after the body, -1 error, -2 unfinished
    const char *error = nullptr;
};

OUTCOME _decode(const char *p, size_t n, size_t step) {
    OUTCOME o;
    Q_HTTPC_CHUNKED d = {};
    std::string piece;
    for (size_t off = 0; off < n;) {
        size_t take = n - off < step ? n - off : step;
        piece.assign(p + off, take);
        size_t len = take;
        long rc = q_httpc_chunked_decode(&d, piece.data(), &len);
        if (rc == -1) {
            o.end = -1;
            o.error = d.error;
            return o;
        }
        if (len > take || (rc >= 0 && (len > (size_t)rc || (size_t)rc > take))) abort();
        o.body.append(piece.data(), len);
        if (rc >= 0) {
            o.end = (long)(off + (size_t)rc);
            return o;
        }
        off += take;
    }
    return o;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    if (size < 1) return 0;
    size_t step = data[0] % 17 + 1;
    const char *p = reinterpret_cast<const char *>(data + 1);
    size_t n = size - 1;
    OUTCOME whole = _decode(p, n, n ? n : 1), split = _decode(p, n, step);
    // After an error the body is dropped whole, so only its text is compared.
    if (whole.end != split.end || (whole.end != -1 && whole.body != split.body)) abort();
    if ((whole.error == nullptr) != (split.error == nullptr)) abort();
    if (whole.error && strcmp(whole.error, split.error) != 0) abort();
    return 0;
}
