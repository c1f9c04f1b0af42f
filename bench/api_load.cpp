// Times loading a descriptor folder (the shipped set by default): median of
// repeated loads, with the catalogue's size.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "kvn_api.h"
#include "q_log.h"

int main(int argc, char **argv) {
    set_log_level(Q_LOG_ERR);
    std::string folder = argc > 1 ? argv[1] : "resources/api";
    int runs = argc > 2 ? std::stoi(argv[2]) : 50;
    std::vector<double> ms;
    int services = 0, resources = 0, operations = 0;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        KVN_API *api = kvn_api_load_dir(folder.c_str());
        kvn_api_check_refs(api);
        auto t1 = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        services = api->service_count;
        kvn_api_count(api, &resources, &operations);
        kvn_api_free(&api);
    }
    std::sort(ms.begin(), ms.end());
    printf("descriptor load: %d services, %d resources, %d operations: median %.3f ms over %d runs\n", services,
           resources, operations, ms[ms.size() / 2], runs);
    return 0;
}
