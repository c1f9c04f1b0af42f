// openrc files as people write them: any text reads into a profile whose
// fields stay ended within their sizes, and the count never exceeds the
// lines that could carry a variable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvn_clouds.h"
#include "q_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    std::string in(reinterpret_cast<const char *>(data), size);
    static KVN_PROFILE p;
    int n = kvn_profile_from_openrc(in.c_str(), &p);
    size_t lines = 1;
    for (char c : in)
        lines += c == '\n';
    if (n < 0 || (size_t)n > lines) abort();
    if (memchr(p.secret, 0, sizeof p.secret) == nullptr ||
        memchr(p.interface, 0, sizeof p.interface) == nullptr)
        abort();
    if (p.auth_type < 0 || p.auth_type > 2 || (p.insecure != 0 && p.insecure != 1)) abort();
    if (n > 0) kvn_clouds_profile_name(p.project_name, p.name, sizeof p.name);
    kvn_profile_wipe_secret(&p);
    return 0;
}
