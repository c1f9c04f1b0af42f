// URL parsing of request and redirect addresses, then percent encoding of the
// same bytes. Parsed parts must keep the invariants the request head relies on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "q_http_client.h"
#include "q_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    std::string in(reinterpret_cast<const char *>(data), size);
    Q_HTTPC_URL u;
    if (q_httpc_parse_url(in.c_str(), &u) == 0) {
        if (u.path[0] != '/' || !u.host[0] || !u.port[0]) abort();
        for (const char *p = u.host; *p; p++)
            if ((unsigned char)*p <= ' ') abort();
        for (const char *p = u.path; *p; p++)
            if ((unsigned char)*p <= ' ' || *p == '#') abort();
        long port = strtol(u.port, nullptr, 10);
        if (port < 1 || port > 65535) abort();
    }
    Q_STR *enc = nullptr;
    if (q_httpc_url_encode(&enc, in.c_str()) == 0) {
        if (enc->length != strlen(enc->data)) abort();
        for (size_t i = 0; i < enc->length; i++)
            if (!strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%", enc->data[i]))
                abort();
    }
    free_qstr(&enc);
    return 0;
}
