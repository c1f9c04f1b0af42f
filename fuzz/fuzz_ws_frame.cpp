// The WebSocket frame reader: whole input against the same input split into
// pieces (size from the first byte). Frames, their payloads, the bytes used
// and the refusal must be the same either way, and no frame may hold more
// payload than its head announced.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "q_log.h"
#include "q_ws.h"

namespace {
struct FRAME {
    int opcode, fin, masked;
    std::string payload;
    bool operator==(const FRAME &o) const {
        return opcode == o.opcode && fin == o.fin && masked == o.masked && payload == o.payload;
    }
};
struct OUTCOME {
    std::vector<FRAME> frames;
    size_t used = 0; // input bytes that ended complete frames
    std::string error;
};

OUTCOME _read(const uint8_t *p, size_t n, size_t step) {
    OUTCOME o;
    Q_WS_FRAME_READER r = {};
    for (size_t off = 0; off < n;) {
        size_t take = n - off < step ? n - off : step;
        long rc = q_ws_frame_read(&r, p + off, take);
        if (rc == -1) {
            o.error = r.error;
            break;
        }
        if (rc == -2) {
            off += take;
            continue;
        }
        if (rc < 1 || (size_t)rc > take) abort();
        off += (size_t)rc;
        o.used = off;
        uint64_t announced = r.length;
        Q_WS_MSG m = {};
        if (q_ws_frame_take(&r, &m) != 0 || !m.payload || m.payload->length != announced ||
            m.payload->data[m.payload->length] != 0)
            abort();
        o.frames.push_back({m.opcode, m.fin, m.masked, std::string(m.payload->data, m.payload->length)});
        q_ws_msg_clear(&m);
    }
    q_ws_frame_reset(&r);
    return o;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    if (size < 1) return 0;
    size_t step = data[0] % 17 + 1;
    OUTCOME whole = _read(data + 1, size - 1, size);
    OUTCOME split = _read(data + 1, size - 1, step);
    if (!(whole.frames == split.frames) || whole.used != split.used || whole.error != split.error) abort();
    return 0;
}
