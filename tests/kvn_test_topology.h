#pragma once
// Listings of a synthetic project for the topology tests, shaped like the
// 40-server project the cloud test builds.

#include <cJSON.h>

#include <string>

// The six listings of a project like a real one of 40 servers: three
// routers (one gatewayed on public, one without a gateway, one on an
// external network the project cannot see), ten networks and a shared one,
// 40 servers of three ports each (the first ten with two ports on one
// network), and four floating IPs.
inline std::string test_topology_forty_servers() {
    cJSON *root = cJSON_CreateObject();
    cJSON *nets = cJSON_AddArrayToObject(root, "networks");
    cJSON *subnets = cJSON_AddArrayToObject(root, "subnets");
    cJSON *routers = cJSON_AddArrayToObject(root, "routers");
    cJSON *ports = cJSON_AddArrayToObject(root, "ports");
    cJSON *fips = cJSON_AddArrayToObject(root, "floatingips");
    cJSON *servers = cJSON_AddArrayToObject(root, "servers");
    auto obj = [](cJSON *array) {
        cJSON *o = cJSON_CreateObject();
        cJSON_AddItemToArray(array, o);
        return o;
    };
    auto ips = [&](const std::string &ip) {
        cJSON *a = cJSON_CreateArray();
        cJSON_AddStringToObject(obj(a), "ip_address", ip.c_str());
        return a;
    };
    cJSON *pub = obj(nets);
    cJSON_AddStringToObject(pub, "id", "public");
    cJSON_AddStringToObject(pub, "name", "public");
    cJSON_AddBoolToObject(pub, "router:external", 1);
    for (int n = 0; n <= 10; n++) {
        const std::string id = n < 10 ? "net" + std::to_string(n) : "shared";
        cJSON *o = obj(nets);
        cJSON_AddStringToObject(o, "id", id.c_str());
        cJSON_AddStringToObject(o, "name", ("kvn-topo-26164-" + id).c_str());
        cJSON *s = obj(subnets);
        cJSON_AddStringToObject(s, "network_id", id.c_str());
        cJSON_AddStringToObject(s, "cidr",
                                (n < 10 ? "10.77." + std::to_string(n) + ".0/24" : "10.78.0.0/24").c_str());
    }
    const int first_net[4] = {0, 4, 7, 10};
    const char *const gateway[3] = {"public", "", "fb5bc4a3-5d1e-4c86-9a57-0b3e4f0c2d11"};
    const char *const gateway_ip[3] = {"203.0.113.115", "", "198.51.100.7"};
    for (int r = 0; r < 3; r++) {
        const std::string id = "router" + std::to_string(r);
        cJSON *o = obj(routers);
        cJSON_AddStringToObject(o, "id", id.c_str());
        cJSON_AddStringToObject(o, "name", ("kvn-topo-26164-" + id).c_str());
        cJSON_AddStringToObject(o, "status", "ACTIVE");
        if (*gateway[r]) {
            cJSON *gw = cJSON_AddObjectToObject(o, "external_gateway_info");
            cJSON_AddStringToObject(gw, "network_id", gateway[r]);
            cJSON_AddItemToObject(gw, "external_fixed_ips", ips(gateway_ip[r]));
        }
        for (int n = first_net[r]; n < first_net[r + 1]; n++) {
            cJSON *p = obj(ports);
            cJSON_AddStringToObject(p, "id", ("rp" + std::to_string(n)).c_str());
            cJSON_AddStringToObject(p, "network_id", ("net" + std::to_string(n)).c_str());
            cJSON_AddStringToObject(p, "device_id", id.c_str());
            cJSON_AddStringToObject(p, "device_owner", "network:router_interface");
            cJSON_AddItemToObject(p, "fixed_ips", ips("10.77." + std::to_string(n) + ".1"));
        }
    }
    const char *const batches[4][3] = {{"net0", "net1", "net0"},
                                       {"net2", "net3", "shared"},
                                       {"net4", "net5", "net6"},
                                       {"net7", "net8", "net9"}};
    for (int s = 0; s < 40; s++) {
        const std::string id = "vm" + std::to_string(s);
        cJSON *o = obj(servers);
        cJSON_AddStringToObject(o, "id", id.c_str());
        cJSON_AddStringToObject(o, "name", ("kvn-topo-26164-vm-" + std::to_string(s + 1)).c_str());
        cJSON_AddStringToObject(o, "status", "ACTIVE");
        for (int k = 0; k < 3; k++) {
            const std::string net = batches[s / 10][k], port = id + "-" + std::to_string(k);
            cJSON *p = obj(ports);
            cJSON_AddStringToObject(p, "id", port.c_str());
            cJSON_AddStringToObject(p, "network_id", net.c_str());
            cJSON_AddStringToObject(p, "device_id", id.c_str());
            cJSON_AddStringToObject(p, "device_owner", "compute:nova");
            const std::string prefix = net == "shared" ? "10.78.0." : "10.77." + net.substr(3) + ".";
            cJSON_AddItemToObject(p, "fixed_ips",
                                  ips(prefix + std::to_string(10 + (s * 37 + k * 101) % 240)));
            if (k == 1 && s < 4) {
                cJSON *f = obj(fips);
                cJSON_AddStringToObject(f, "port_id", port.c_str());
                cJSON_AddStringToObject(f, "floating_ip_address",
                                        ("203.0.113." + std::to_string(84 + s)).c_str());
            }
        }
    }
    char *text = cJSON_PrintUnformatted(root);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}
