// The first line of the input is a dotted path, the rest a JSON answer; the
// path is walked and the answer's items taken as a list answer would be.
#include <cstdint>
#include <string>

#include "kvn_api.h"
#include "q_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (set_log_level(-1), true);
    (void)quiet;
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t nl = in.find('\n');
    std::string path = in.substr(0, nl);
    std::string json = nl == std::string::npos ? "" : in.substr(nl + 1);
    cJSON *doc = cJSON_Parse(json.c_str());
    if (!doc) return 0;
    kvn_api_json_at(doc, path.c_str());
    kvn_api_items(doc, path.c_str());
    kvn_api_json_at(doc, path.c_str());
    cJSON_Delete(doc);
    return 0;
}
