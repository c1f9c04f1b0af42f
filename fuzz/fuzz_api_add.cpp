// Feeds arbitrary bytes to the descriptor loader as one file, then runs the
// cross-reference check, lookups and counting over what was accepted.
#include <cstdint>
#include <string>

#include "kvn_api.h"
#include "q_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    KVN_API *api = nullptr;
    api = static_cast<KVN_API *>(calloc(1, sizeof(KVN_API)));
    std::string text(reinterpret_cast<const char *>(data), size);
    // The same text twice exercises the merging of an extension file.
    kvn_api_add(api, text.c_str(), "a.json");
    kvn_api_add(api, text.c_str(), "b.json");
    kvn_api_check_refs(api);
    int r = 0, o = 0;
    kvn_api_count(api, &r, &o);
    for (int s = 0; s < api->service_count; s++)
        for (int i = 0; i < api->services[s]->resource_count; i++) {
            std::string key = std::string(api->services[s]->name) + "." + api->services[s]->resources[i]->id;
            kvn_api_lookup(api, key.c_str());
        }
    kvn_api_free(&api);
    return 0;
}
