// clouds.yaml and secure.yaml as anyone may write them: the YAML reader must
// end on any text, keep its limits, and find every entry it stored by the
// entry's own path.
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
    KVN_YAML_DOC *d = kvn_yaml_parse(in.c_str());
    if (!d) return 0;
    if (d->count > KVN_YAML_MAX_ENTRIES) abort();
    for (int i = 0; i < d->count && i < 64; i++) {
        const KVN_YAML_ENTRY *e = &d->entries[i];
        if (e->depth < 1 || e->depth > KVN_YAML_MAX_PATH) abort();
        const char *path[KVN_YAML_MAX_PATH];
        const char *c = e->path;
        for (int k = 0; k < e->depth; k++) {
            path[k] = c;
            c += strlen(c) + 1;
        }
        if ((size_t)(c - e->path) != e->path_size) abort();
        if (e->value && strlen(e->value) != e->value_size) abort();
        // The lookup answers the last entry with a value on the path.
        if (e->value && !kvn_yaml_get(d, path, e->depth)) abort();
    }
    char **names = nullptr;
    int n = kvn_yaml_cloud_names(d, &names);
    for (int i = 0; i < n; i++) {
        const char *auth_url[4] = {"clouds", names[i], "auth", "auth_url"};
        kvn_yaml_get(d, auth_url, 4);
        free(names[i]);
    }
    free(names);
    size_t nl = in.find('\n');
    kvn_yaml_get_path(d, in.substr(0, nl == std::string::npos ? 64 : nl).c_str());
    kvn_yaml_free(&d);
    return 0;
}
