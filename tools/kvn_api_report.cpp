// kvn_api_report: what a descriptor folder offers, for the people who write
// descriptors. Prints every service with its resources and operations, the
// loader's error text and the broken references, and, per service, the share
// of resources that the cloud conformance test verified against the real
// services (from the results file that test writes in the build folder).
//
//   kvn_api_report [descriptor folder] [results file]
//
// The exit status is 0 when the folder loads without any error line and
// every reference resolves, else 1.

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "kvn_api.h"

struct SHARE {
    int verified = 0, failed = 0, skipped = 0, untested = 0, unreached = 0, held_out = 0;
};

// One line per resource: "service.resource<TAB>verified|failed: ...|skipped: ...".
static std::map<std::string, std::string> _read_results(const char *path) {
    std::map<std::string, std::string> out;
    FILE *f = path ? fopen(path, "r") : nullptr;
    if (!f) return out;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        char *tab = strchr(line, '\t');
        if (!tab) continue;
        *tab = 0;
        out[line] = tab + 1;
    }
    fclose(f);
    return out;
}

static int _op_count(const KVN_RESOURCE *r) {
    return (r->list_path ? 1 : 0) + (r->show_path ? 1 : 0) + (r->create ? 1 : 0) + (r->update ? 1 : 0) +
           (r->del ? 1 : 0) + r->action_count;
}

int main(int argc, char **argv) {
    const char *folder = argc > 1 ? argv[1] : KVN_REPORT_API_DIR;
    const char *results_path = argc > 2 ? argv[2] : KVN_REPORT_RESULTS;
    KVN_API *api = kvn_api_load_dir(folder);
    if (!api) {
        fprintf(stderr, "cannot allocate the catalogue\n");
        return 1;
    }
    std::string load_errors = api->error_text;
    int broken = kvn_api_check_refs(api);
    std::map<std::string, std::string> results = _read_results(results_path);

    printf("Descriptor folder %s\n\n", folder);
    std::map<std::string, SHARE> shares;
    for (int s = 0; s < api->service_count; s++) {
        const KVN_SERVICE *svc = api->services[s];
        int ops = 0;
        for (int r = 0; r < svc->resource_count; r++)
            ops += _op_count(svc->resources[r]);
        printf("%s (%s): %d resources, %d operations\n", svc->name, svc->title, svc->resource_count, ops);
        SHARE &share = shares[svc->name];
        for (int r = 0; r < svc->resource_count; r++) {
            const KVN_RESOURCE *res = svc->resources[r];
            std::string key = std::string(svc->name) + "." + res->id;
            auto it = results.find(key);
            const char *mark = "untested";
            // A resource of a service the cloud runs that the test could not
            // reach is not verified: it counts against the share. One of a
            // service the cloud lacks is only skipped, and one the test holds
            // out by name (the cloud cannot hold an item of it) is shown apart.
            if (it == results.end())
                share.untested++;
            else if (it->second == "verified")
                share.verified++, mark = "verified";
            else if (it->second.rfind("skipped", 0) == 0 &&
                     it->second.find("not in the local cloud's catalog") != std::string::npos)
                share.skipped++, mark = "skipped";
            else if (it->second.rfind("skipped: the local cloud cannot hold", 0) == 0)
                share.held_out++, mark = "held out";
            else if (it->second.rfind("skipped", 0) == 0)
                share.unreached++, mark = "UNREACHED";
            else
                share.failed++, mark = "FAILED";
            printf("  %-34s %2d ops  %-9s %s%s\n", res->id, _op_count(res), mark, res->admin ? "admin " : "",
                   res->single ? "single" : (res->parent ? res->parent : ""));
            if (strcmp(mark, "FAILED") == 0 || strcmp(mark, "UNREACHED") == 0 ||
                strcmp(mark, "held out") == 0)
                printf("      %s\n", it->second.c_str());
        }
    }

    int resources = 0, operations = 0;
    kvn_api_count(api, &resources, &operations);
    printf("\nTotal: %d services, %d resources, %d operations\n", api->service_count, resources, operations);

    printf("\nVerified against the cloud (%s):\n",
           results.empty() ? "no results file; run test_cloud_descriptors" : results_path);
    int all_verified = 0, all_tested = 0, all_held_out = 0;
    for (const auto &kv : shares) {
        const SHARE &sh = kv.second;
        int tested = sh.verified + sh.failed + sh.unreached;
        all_verified += sh.verified;
        all_tested += tested;
        all_held_out += sh.held_out;
        if (tested)
            printf("  %-22s %3d / %-3d verified (%3.0f%%)%s%s%s\n", kv.first.c_str(), sh.verified, tested,
                   100.0 * sh.verified / tested, sh.failed ? "  some failed" : "",
                   sh.unreached ? "  some unreached" : "",
                   sh.held_out ? ("  +" + std::to_string(sh.held_out) + " held out").c_str() : "");
        else
            printf("  %-22s not in the cloud's catalog or not tested\n", kv.first.c_str());
    }
    if (all_tested)
        printf("  %-22s %3d / %-3d resources of services the cloud runs (%.0f%%)\n", "all", all_verified,
               all_tested, 100.0 * all_verified / all_tested);
    if (all_held_out)
        printf("  %-22s %3d resources the local cloud cannot hold an item of\n", "held out", all_held_out);

    printf("\nLoad errors:%s\n%s", load_errors.empty() ? " none" : "", load_errors.c_str());
    printf("Broken references: %d\n", broken);
    if (broken) printf("%s", api->error_text + load_errors.size());
    kvn_api_free(&api);
    return load_errors.empty() && broken == 0 ? 0 : 1;
}
