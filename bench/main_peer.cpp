// The physical limit of `kelvane --env` reaching the overview's figures: the
// same token issue and the same calls as the collector makes on a fresh
// connection (the two version documents for the microversions, then each
// service's quota and list calls), one after another with libcurl, each body
// parsed with cJSON. Reads the OS_* variables of a sourced openrc and says
// "figures ready" on stderr when the last answer is parsed.
#include <cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <string>
#include <vector>

namespace {
std::string env(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

size_t on_body(char *p, size_t n, size_t m, void *user) {
    static_cast<std::string *>(user)->append(p, n * m);
    return n * m;
}

size_t on_header(char *p, size_t n, size_t m, void *user) {
    const std::string line(p, n * m);
    if (strncasecmp(line.c_str(), "X-Subject-Token:", 16) == 0) {
        std::string v = line.substr(16);
        while (!v.empty() && (v.front() == ' '))
            v.erase(0, 1);
        while (!v.empty() && (v.back() == '\r' || v.back() == '\n'))
            v.pop_back();
        *static_cast<std::string *>(user) = v;
    }
    return n * m;
}

// One GET on the kept handle; the parsed body (nullptr when it failed).
cJSON *get(CURL *h, const std::string &url, const std::string &token, const std::string &extra = "") {
    std::string body;
    curl_slist *hs = curl_slist_append(nullptr, ("X-Auth-Token: " + token).c_str());
    hs = curl_slist_append(hs, "Accept: application/json");
    if (!extra.empty()) hs = curl_slist_append(hs, extra.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, hs);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(h);
    curl_slist_free_all(hs);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    cJSON *doc = rc == CURLE_OK && status == 200 ? cJSON_Parse(body.c_str()) : nullptr;
    if (!doc)
        fprintf(stderr, "GET %s: no JSON answer (%s, HTTP %ld)\n", url.c_str(), curl_easy_strerror(rc),
                status);
    return doc;
}

std::string str_at(const cJSON *j, const char *a, const char *b) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(j, a), b);
    return cJSON_IsString(v) ? v->valuestring : "";
}
} // namespace

int main() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL *h = curl_easy_init();
    const std::string region = env("OS_REGION_NAME");
    cJSON *auth = cJSON_CreateObject();
    {
        cJSON *a = cJSON_AddObjectToObject(auth, "auth");
        cJSON *id = cJSON_AddObjectToObject(a, "identity");
        const char *methods[] = {"password"};
        cJSON_AddItemToObject(id, "methods", cJSON_CreateStringArray(methods, 1));
        cJSON *user = cJSON_AddObjectToObject(cJSON_AddObjectToObject(id, "password"), "user");
        cJSON_AddStringToObject(user, "name", env("OS_USERNAME").c_str());
        cJSON_AddStringToObject(user, "password", env("OS_PASSWORD").c_str());
        cJSON_AddStringToObject(cJSON_AddObjectToObject(user, "domain"), "name",
                                env("OS_USER_DOMAIN_NAME").c_str());
        cJSON *proj = cJSON_AddObjectToObject(cJSON_AddObjectToObject(a, "scope"), "project");
        cJSON_AddStringToObject(proj, "name", env("OS_PROJECT_NAME").c_str());
        cJSON_AddStringToObject(cJSON_AddObjectToObject(proj, "domain"), "name",
                                env("OS_PROJECT_DOMAIN_NAME").c_str());
    }
    char *payload = cJSON_PrintUnformatted(auth);
    std::string body, token;
    curl_slist *hs = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(h, CURLOPT_URL, (env("OS_AUTH_URL") + "/auth/tokens").c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, hs);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &token);
    if (curl_easy_perform(h) != CURLE_OK || token.empty()) {
        fprintf(stderr, "token issue failed\n");
        return 1;
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    curl_slist_free_all(hs);
    cJSON_free(payload);
    cJSON_Delete(auth);
    cJSON *tok = cJSON_Parse(body.c_str());
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(tok, "token");
    const std::string project = str_at(t, "project", "id");
    // Public endpoints of the region, by service type.
    std::string compute, network, volume, image;
    const cJSON *svc;
    cJSON_ArrayForEach(svc, cJSON_GetObjectItemCaseSensitive(t, "catalog")) {
        const cJSON *type = cJSON_GetObjectItemCaseSensitive(svc, "type");
        const cJSON *e;
        cJSON_ArrayForEach(e, cJSON_GetObjectItemCaseSensitive(svc, "endpoints")) {
            const cJSON *i = cJSON_GetObjectItemCaseSensitive(e, "interface");
            const cJSON *r = cJSON_GetObjectItemCaseSensitive(e, "region");
            const cJSON *u = cJSON_GetObjectItemCaseSensitive(e, "url");
            if (!cJSON_IsString(type) || !cJSON_IsString(u) || !cJSON_IsString(i) ||
                strcmp(i->valuestring, "public"))
                continue;
            if (!region.empty() && cJSON_IsString(r) && region != r->valuestring) continue;
            const std::string ty = type->valuestring;
            if (ty == "compute")
                compute = u->valuestring;
            else if (ty == "network")
                network = u->valuestring;
            else if (ty == "block-storage" || (ty == "volumev3" && volume.empty()))
                volume = u->valuestring;
            else if (ty == "image")
                image = u->valuestring;
        }
    }
    cJSON_Delete(tok);
    if (network.find("/v2.0") == std::string::npos) network += "/v2.0";
    if (image.find("/v2") == std::string::npos) image += "/v2";
    std::vector<cJSON *> docs;
    cJSON *cv = get(h, compute + "/", token);
    const std::string mv_c = str_at(cv, "version", "version");
    cJSON_Delete(cv);
    const std::string hc = "OpenStack-API-Version: compute " + mv_c;
    docs.push_back(get(h, compute + "/limits", token, hc));
    docs.push_back(get(h, compute + "/os-keypairs", token, hc));
    docs.push_back(get(h, compute + "/servers/detail", token, hc));
    docs.push_back(get(h, network + "/quotas/" + project + "/details.json", token));
    // The version document is at the API's root, without the project.
    std::string volume_root = volume;
    if (volume_root.size() > project.size() &&
        volume_root.compare(volume_root.size() - project.size(), project.size(), project) == 0)
        volume_root.erase(volume_root.size() - project.size() - 1);
    cJSON *vv = get(h, volume_root + "/", token);
    std::string mv_v = str_at(vv, "version", "version");
    if (mv_v.empty()) {
        const cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(vv, "versions"), 0);
        const cJSON *v = cJSON_GetObjectItemCaseSensitive(first, "version");
        if (cJSON_IsString(v)) mv_v = v->valuestring;
    }
    cJSON_Delete(vv);
    const std::string hv = mv_v.empty() ? "" : "OpenStack-API-Version: volume " + mv_v;
    docs.push_back(get(h, volume + "/os-quota-sets/" + project + "?usage=true", token, hv));
    docs.push_back(get(h, volume + "/volumes/detail", token, hv));
    docs.push_back(get(h, image + "/info/usage", token));
    docs.push_back(get(h, image + "/images?owner=" + project, token));
    int ok = 0;
    for (cJSON *d : docs) {
        ok += d != nullptr;
        cJSON_Delete(d);
    }
    fprintf(stderr, "figures ready (%d of %zu answers)\n", ok, docs.size());
    curl_easy_cleanup(h);
    curl_global_cleanup();
    return ok == (int)docs.size() ? 0 : 1;
}
