// Container save on the local cloud, the tool's side of
// bench/bench_container_save.sh: it fills the benchmark's two containers (one
// of `count` small objects in pseudo folders, one of a single object of
// `mib` MiB), saves one of them into a folder, or deletes both. The script
// times each save, ours and the peers', with /usr/bin/time -v.
//
// usage: bench_container_save <tag> --setup <count> <mib>
//        bench_container_save <tag> --save <container> <folder>
//        bench_container_save <tag> --cleanup
#include <cJSON.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "kvn_composite.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"
#include "q_http_client.h"
#include "q_str.h"

namespace {

KVN_SESSION *_demo(void) {
    q_httpc_global_init();
    KVN_PROFILE p;
    test_cloud_profile("demo", &p);
    KVN_SESSION *s = kvn_session_new(&p);
    kvn_profile_wipe_secret(&p);
    if (s && kvn_session_authenticate(s, nullptr) != 0) kvn_session_free(&s);
    return s;
}

// A Swift call without a microversion; its status and, when asked, its answer.
int _swift(KVN_SESSION *s, const char *method, const std::string &path, const char *body = nullptr,
           const std::string &upload = "", const char *type = nullptr, cJSON **json = nullptr) {
    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    o.has_microversion = 1;
    o.raw_body = body;
    if (type) q_strcpy(o.content_type, sizeof o.content_type, type);
    if (!upload.empty()) q_strcpy(o.upload_path, sizeof o.upload_path, upload.c_str());
    KVN_RESULT *r = kvn_call(s, "object-store", method, path.c_str(), nullptr, &o, nullptr);
    const int status = r ? r->status : 0;
    if (r && !kvn_result_ok(r)) fprintf(stderr, "%s %s: %s\n", method, path.c_str(), r->error);
    if (json && r) {
        *json = r->json;
        r->json = nullptr;
    }
    kvn_result_free(&r);
    return status;
}

int _run(const char *cmd) {
    const int rc = system(cmd);
    if (rc != 0) fprintf(stderr, "failed (%d): %s\n", rc, cmd);
    return rc;
}

int _setup(KVN_SESSION *s, const std::string &tag, int count, int mib) {
    const std::string small = "/" + tag + "-small", big = "/" + tag + "-big";
    TEST_DIR dir;
    // The small objects go up as one archive the proxy unpacks: 1,000 PUTs
    // one after the other would take longer than the saves measured.
    for (int i = 0; i < count; i++) {
        char sub[64], name[96];
        snprintf(sub, sizeof sub, "%s/tree/d%d/sub%d", dir.path.c_str(), i % 10, i % 4);
        snprintf(name, sizeof name, "%s/o%d.txt", sub, i);
        if (_run(("mkdir -p '" + std::string(sub) + "'").c_str()) != 0) return -1;
        test_write_file(name, "object " + std::to_string(i) + "\n");
    }
    if (_run(("cd '" + dir.path + "/tree' && tar -cf ../small.tar d*").c_str()) != 0) return -1;
    if (_swift(s, "PUT", small) / 100 != 2 || _swift(s, "PUT", big) / 100 != 2) return -1;
    cJSON *answer = nullptr;
    _swift(s, "PUT", small + "?extract-archive=tar", nullptr, dir.path + "/small.tar", nullptr, &answer);
    Q_CJSON guard(answer);
    const cJSON *n = cJSON_GetObjectItemCaseSensitive(answer, "Number Files Created");
    if (!cJSON_IsNumber(n) || n->valueint != count) {
        fprintf(stderr, "the archive made %d objects of %d\n", cJSON_IsNumber(n) ? n->valueint : -1, count);
        return -1;
    }
    const std::string blob = dir.path + "/big.bin";
    if (_run(("head -c " + std::to_string(mib) + "M /dev/urandom > '" + blob + "'").c_str()) != 0) return -1;
    if (_swift(s, "PUT", big + "/big.bin", nullptr, blob) != 201) return -1;
    return 0;
}

void _cleanup(KVN_SESSION *s, const std::string &tag) {
    for (const char *kind : {"-small", "-big"}) {
        const std::string c = "/" + tag + kind;
        for (int round = 0; round < 20; round++) {
            cJSON *list = nullptr;
            if (_swift(s, "GET", c + "?format=json", nullptr, "", nullptr, &list) / 100 != 2) {
                if (list) cJSON_Delete(list);
                break;
            }
            Q_CJSON guard(list);
            if (!cJSON_GetArraySize(list)) break;
            std::string names;
            const cJSON *o;
            cJSON_ArrayForEach(o, list) {
                const cJSON *on = cJSON_GetObjectItemCaseSensitive(o, "name");
                Q_STR *enc = nullptr;
                if (cJSON_IsString(on) && q_httpc_url_encode(&enc, on->valuestring) == 0 && enc)
                    names += c + "/" + std::string(enc->data, enc->length) + "\n";
                if (enc) free_qstr(&enc);
            }
            _swift(s, "POST", "/?bulk-delete", names.c_str(), "", "text/plain");
        }
        _swift(s, "DELETE", c);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <tag> --setup <count> <mib> | --save <container> <folder> | --cleanup\n",
                argv[0]);
        return 2;
    }
    const std::string tag = argv[1], mode = argv[2];
    KVN_SESSION *s = _demo();
    if (!s) {
        fprintf(stderr, "cannot authenticate as demo\n");
        return 1;
    }
    int rc = 0;
    if (mode == "--setup" && argc == 5) {
        rc = _setup(s, tag, atoi(argv[3]), atoi(argv[4])) == 0 ? 0 : 1;
    } else if (mode == "--save" && argc == 5) {
        Q_STR *log = new_qstr(1024);
        const auto t0 = std::chrono::steady_clock::now();
        const int n = kvn_container_save(s, argv[3], argv[4], nullptr, nullptr, log, nullptr);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        struct rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        printf("saved %d objects in %.2f s (peak RSS %ld KiB)\n%s", n, secs, ru.ru_maxrss, log->data);
        free_qstr(&log);
        rc = n < 0 ? 1 : 0;
    } else if (mode == "--cleanup") {
        _cleanup(s, tag);
    } else {
        rc = 2;
    }
    kvn_session_free(&s);
    return rc;
}
