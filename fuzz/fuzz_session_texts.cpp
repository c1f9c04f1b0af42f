// Outside texts the session layer reads: ISO times from token answers, error
// bodies of any service, list answers with their next links (and the page
// URLs made from them), and sealed secrets from profile files.
#include <cstdint>
#include <cstring>
#include <string>

#include "kvn_profile.h"
#include "kvn_session.h"
#include "q_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    std::string in(reinterpret_cast<const char *>(data), size);
    kvn_parse_iso_time(in.c_str());

    char err[1024];
    kvn_http_error_text(500, in.c_str(), err, sizeof err);

    cJSON *doc = cJSON_Parse(in.c_str());
    if (doc) {
        kvn_next_link(doc, "items");
        kvn_next_link(doc, nullptr);
        cJSON_Delete(doc);
    }

    // A next link as a service wrote it, against a prefixed and a plain
    // endpoint; a first line of the input is tried as the endpoint too.
    char url[4096];
    kvn_page_url("https://cloud.example/image/v2", in.c_str(), url, sizeof url);
    kvn_page_url("http://[::1]:9292", in.c_str(), url, sizeof url);
    size_t nl = in.find('\n');
    if (nl != std::string::npos) kvn_page_url(in.substr(0, nl).c_str(), in.c_str() + nl + 1, url, sizeof url);

    // Blobs that pass the format checks cost a full key derivation (tens of
    // milliseconds); staying below the smallest valid size keeps the fuzzer
    // on the decoding and length checks, which are what outside input meets.
    static KVN_PROFILE p;
    kvn_profile_defaults(&p);
    std::string vault = in.substr(0, sizeof p.vault - 1);
    memcpy(p.vault, vault.c_str(), vault.size() + 1);
    if (vault.size() < 63) kvn_profile_vault_open(&p, "pw");
    return 0;
}
