// Feeds arbitrary bytes to the descriptor loader as one file, then runs the
// cross-reference check, lookups and counting over what was accepted.
#include <cstdint>
#include <string>
#include <vector>

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
    // Every operation is prepared with the input's own text as each field
    // value and a small item, so templates, bodies and fields from the
    // descriptor meet the expansion and conversion code.
    cJSON *item = cJSON_Parse(R"({"id": "i/1", "name": "n", "a": {"b": [1, "x"]}})");
    std::vector<const char *> values(KVN_API_MAX_FIELDS, text.c_str());
    for (int s = 0; s < api->service_count; s++)
        for (int i = 0; i < api->services[s]->resource_count; i++) {
            const KVN_RESOURCE *res = api->services[s]->resources[i];
            std::string key = std::string(api->services[s]->name) + "." + res->id;
            kvn_api_lookup(api, key.c_str());
            KVN_EXPAND_CTX ctx = {"p", "u", item, res->id_field, nullptr};
            const KVN_OP *ops[3 + KVN_API_MAX_ACTIONS] = {res->create, res->update, res->del};
            int n = 3;
            for (int a = 0; a < res->action_count; a++) ops[n++] = res->actions[a];
            for (int o = 0; o < n; o++) {
                if (!ops[o]) continue;
                char path[4096], err[256];
                cJSON *body = nullptr;
                kvn_api_prepare(ops[o], &ctx, values.data(), path, sizeof path, &body, err, sizeof err);
                cJSON_Delete(body);
                char cell[256];
                for (int c = 0; c < res->column_count; c++) kvn_api_format_cell(item, &res->columns[c], cell, sizeof cell);
            }
        }
    cJSON_Delete(item);
    kvn_api_free(&api);
    return 0;
}
