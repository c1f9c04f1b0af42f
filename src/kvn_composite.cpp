#include "kvn_composite.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kvn_paths.h"
#include "kvn_session.h"
#include "q_common.h"
#include "q_str.h"

namespace {

struct RESULT_PTR {
    KVN_RESULT *r = nullptr;
    RESULT_PTR() = default;
    explicit RESULT_PTR(KVN_RESULT *x) : r(x) {}
    ~RESULT_PTR() { kvn_result_free(&r); }
    RESULT_PTR(const RESULT_PTR &) = delete;
    RESULT_PTR &operator=(const RESULT_PTR &) = delete;
    void reset(KVN_RESULT *n) {
        kvn_result_free(&r);
        r = n;
    }
};

std::string _encoded(const char *text) {
    Q_STR *enc = nullptr;
    std::string out;
    if (q_httpc_url_encode(&enc, text ? text : "") == 0 && enc) out.assign(enc->data, enc->length);
    if (enc) free_qstr(&enc);
    return out;
}

const char *_str(const cJSON *obj, const char *key) {
    const cJSON *v = cJSON_IsObject(obj) ? cJSON_GetObjectItemCaseSensitive(obj, key) : nullptr;
    return cJSON_IsString(v) && v->valuestring ? v->valuestring : nullptr;
}

bool _cancelled(Q_HTTPC_CANCEL *cancel) {
    return cancel && q_httpc_is_cancelled(cancel);
}

const char *_error_of(const KVN_RESULT *r) {
    return r && r->error[0] ? r->error : "no answer";
}

void _progress(KVN_PROGRESS_FN fn, void *user, double done) {
    if (fn) fn((float)std::min(1.0, std::max(0.0, done)), user);
}

// Swift takes no microversion: nothing is negotiated or sent.
KVN_CALL_OPTS _plain_opts(void) {
    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    o.has_microversion = 1;
    return o;
}

// ---------------------------------------------------------------- container save

// Every element of a container listing, page after page: Swift pages by the
// last name seen, not by links, and stops with a short or empty page.
int _list_objects(KVN_SESSION *s, const std::string &path, cJSON *out, std::string *err,
                  Q_HTTPC_CANCEL *cancel) {
    const KVN_CALL_OPTS opts = _plain_opts();
    std::string marker;
    for (;;) {
        std::string url = path + "?format=json";
        if (!marker.empty()) url += "&marker=" + _encoded(marker.c_str());
        RESULT_PTR r(kvn_call(s, "object-store", "GET", url.c_str(), nullptr, &opts, cancel));
        if (kvn_result_ok(r.r) && r.r->status == 204) return 0; // an empty container, in older proxies
        if (!kvn_result_ok(r.r) || !cJSON_IsArray(r.r->json)) {
            *err = kvn_result_ok(r.r) ? "the listing is not an array" : _error_of(r.r);
            return -1;
        }
        std::string last;
        while (cJSON *e = cJSON_DetachItemFromArray(r.r->json, 0)) {
            if (const char *name = _str(e, "name")) last = name;
            cJSON_AddItemToArray(out, e);
        }
        if (last.empty() || last == marker) return 0;
        marker = last;
        if (_cancelled(cancel)) return 0;
    }
}

int _remove_file(const std::string &path) {
    return unlink(path.c_str());
}

} // namespace

int kvn_container_name_safe(const char *name) {
    if (!name || !*name || name[0] == '/' || strchr(name, '\\') || strchr(name, ':')) return -1;
    for (const char *seg = name;;) {
        const char *end = strchr(seg, '/');
        const size_t len = end ? (size_t)(end - seg) : strlen(seg);
        if (len == 2 && seg[0] == '.' && seg[1] == '.') return -1;
        if (len > 2047) return -1;
        if (!end) break;
        seg = end + 1;
    }
    return 0;
}

int kvn_container_save(KVN_SESSION *session, const char *container, const char *folder,
                       KVN_PROGRESS_FN progress, void *progress_user, Q_STR *log, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(session && log, -1);
    if (!container || !*container || !folder || !*folder) return -1;
    if (kvn_paths_mkdirs(folder) != 0) {
        qstrprintf_cat_ex(log, "cannot create %s\n", folder);
        return -1;
    }
    std::string cpath = "/";
    cpath += _encoded(container);
    Q_CJSON list(cJSON_CreateArray());
    std::string err;
    if (!list || _list_objects(session, cpath, list.get(), &err, cancel) != 0) {
        qstrprintf_cat_ex(log, "cannot list %s: %s\n", container, list ? err.c_str() : "out of memory");
        return -1;
    }
    const int total = cJSON_GetArraySize(list.get());
    int saved = 0, index = 0;
    std::string base = folder;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    const cJSON *e;
    cJSON_ArrayForEach(e, list.get()) {
        if (_cancelled(cancel)) break;
        _progress(progress, progress_user, total ? (double)index / total : 1.0);
        index++;
        const char *name = _str(e, "name");
        if (!name) continue;
        if (kvn_container_name_safe(name) != 0) {
            qstrprintf_cat_ex(log, "skipped %s: the name would leave the folder\n", name);
            continue;
        }
        const std::string local = base + "/" + name;
        if (local.back() == '/') {
            if (kvn_paths_mkdirs(local.c_str()) != 0)
                qstrprintf_cat_ex(log, "cannot create %s\n", local.c_str());
            continue;
        }
        const std::string parent = local.substr(0, local.rfind('/'));
        if (parent != base && kvn_paths_mkdirs(parent.c_str()) != 0) {
            qstrprintf_cat_ex(log, "cannot write %s: %s\n", local.c_str(), strerror(errno));
            continue;
        }
        // Opened here first so that an unwritable path says why in the
        // system's words; the call layer then streams the body into it.
        FILE *f = fopen(local.c_str(), "wb");
        if (!f) {
            qstrprintf_cat_ex(log, "cannot write %s: %s\n", local.c_str(), strerror(errno));
            continue;
        }
        fclose(f);
        std::string opath = cpath;
        for (const char *seg = name;;) {
            const char *end = strchr(seg, '/');
            opath += '/';
            opath += _encoded(std::string(seg, end ? (size_t)(end - seg) : strlen(seg)).c_str());
            if (!end) break;
            seg = end + 1;
        }
        KVN_CALL_OPTS opts = _plain_opts();
        q_strcpy(opts.download_path, sizeof opts.download_path, local.c_str());
        RESULT_PTR r(kvn_call(session, "object-store", "GET", opath.c_str(), nullptr, &opts, cancel));
        if (kvn_result_ok(r.r) && !r.r->broken) {
            saved++;
        } else {
            _remove_file(local);
            qstrprintf_cat_ex(log, "failed %s: %s\n", name, _error_of(r.r));
        }
    }
    _progress(progress, progress_user, 1.0);
    return saved;
}

// ---------------------------------------------------------------- baremetal create

namespace {

// POSTs one item; its new uuid, or an empty text after logging the failure.
std::string _create(KVN_SESSION *s, const char *kind, const char *path, const cJSON *item, Q_STR *log,
                    Q_HTTPC_CANCEL *cancel) {
    const char *name = _str(item, "name");
    if (!name) name = _str(item, "address");
    if (!name) name = "";
    RESULT_PTR r(kvn_call(s, "baremetal", "POST", path, item, nullptr, cancel));
    const char *uuid = kvn_result_ok(r.r) ? _str(r.r->json, "uuid") : nullptr;
    if (uuid && *uuid) {
        qstrprintf_cat_ex(log, "created %s %s %s\n", kind, uuid, name);
        return uuid;
    }
    const char *why = kvn_result_ok(r.r) ? "no uuid in the answer" : _error_of(r.r);
    qstrprintf_cat_ex(log, "FAILED  %s %s: %s\n", kind, name, why);
    return "";
}

// A copy of the item without the members that belong to other calls, with
// the parents' uuids set.
Q_CJSON _copy(const cJSON *item, std::initializer_list<const char *> drop,
              std::initializer_list<std::pair<const char *, const std::string *>> set) {
    Q_CJSON c(cJSON_Duplicate(item, 1));
    if (!c) return c;
    for (const char *d : drop)
        cJSON_DeleteItemFromObjectCaseSensitive(c.get(), d);
    for (const auto &kv : set) {
        cJSON_DeleteItemFromObjectCaseSensitive(c.get(), kv.first);
        cJSON_AddStringToObject(c.get(), kv.first, kv.second->c_str());
    }
    return c;
}

int _count(const cJSON *item, const char *key) {
    const cJSON *a = cJSON_IsObject(item) ? cJSON_GetObjectItemCaseSensitive(item, key) : nullptr;
    return cJSON_IsArray(a) ? cJSON_GetArraySize(a) : 0;
}

const cJSON *_array(const cJSON *item, const char *key) {
    const cJSON *a = cJSON_IsObject(item) ? cJSON_GetObjectItemCaseSensitive(item, key) : nullptr;
    return cJSON_IsArray(a) ? a : nullptr;
}

// Creates a node and what hangs on it; the failures counted.
int _create_node(KVN_SESSION *s, const cJSON *node, const std::string *chassis, Q_STR *log,
                 Q_HTTPC_CANCEL *cancel) {
    if (!cJSON_IsObject(node)) {
        qstrprintf_cat_ex(log, "FAILED  node : %s\n", "not an object");
        return 1;
    }
    Q_CJSON body = chassis ? _copy(node, {"ports", "portgroups"}, {{"chassis_uuid", chassis}})
                           : _copy(node, {"ports", "portgroups"}, {});
    const std::string uuid = body ? _create(s, "node", "/v1/nodes", body.get(), log, cancel) : "";
    if (uuid.empty()) return 1 + _count(node, "ports");
    int failed = 0;
    const cJSON *pg;
    if (const cJSON *groups = _array(node, "portgroups")) {
        cJSON_ArrayForEach(pg, groups) {
            Q_CJSON g = _copy(pg, {"ports"}, {{"node_uuid", &uuid}});
            const std::string gid = g && cJSON_IsObject(pg)
                                        ? _create(s, "port group", "/v1/portgroups", g.get(), log, cancel)
                                        : "";
            if (gid.empty()) {
                failed++;
                continue;
            }
            const cJSON *port;
            if (const cJSON *ports = _array(pg, "ports")) {
                cJSON_ArrayForEach(port, ports) {
                    Q_CJSON p = _copy(port, {}, {{"node_uuid", &uuid}, {"portgroup_uuid", &gid}});
                    if (!p || !cJSON_IsObject(port) ||
                        _create(s, "port", "/v1/ports", p.get(), log, cancel).empty())
                        failed++;
                }
            }
        }
    }
    const cJSON *port;
    if (const cJSON *ports = _array(node, "ports")) {
        cJSON_ArrayForEach(port, ports) {
            Q_CJSON p = _copy(port, {}, {{"node_uuid", &uuid}});
            if (!p || !cJSON_IsObject(port) || _create(s, "port", "/v1/ports", p.get(), log, cancel).empty())
                failed++;
        }
    }
    return failed;
}

} // namespace

int kvn_baremetal_create(KVN_SESSION *session, const cJSON *document, Q_STR *log, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(log, -1);
    const cJSON *chassis =
        cJSON_IsObject(document) ? cJSON_GetObjectItemCaseSensitive(document, "chassis") : nullptr;
    const cJSON *nodes =
        cJSON_IsObject(document) ? cJSON_GetObjectItemCaseSensitive(document, "nodes") : nullptr;
    if ((!chassis && !nodes) || (chassis && !cJSON_IsArray(chassis)) || (nodes && !cJSON_IsArray(nodes))) {
        qstrprintf_cat_ex(log, "%s", "the document needs a \"chassis\" and / or a \"nodes\" array\n");
        return -1;
    }
    const cJSON *c;
    cJSON_ArrayForEach(c, chassis) {
        if (!cJSON_IsObject(c)) {
            qstrprintf_cat_ex(log, "%s", "every chassis must be an object\n");
            return -1;
        }
    }
    Q_GUARD(session, -1);
    int failed = 0;
    cJSON_ArrayForEach(c, chassis) {
        if (_cancelled(cancel)) return failed + 1;
        Q_CJSON body = _copy(c, {"nodes"}, {});
        const std::string uuid =
            body ? _create(session, "chassis", "/v1/chassis", body.get(), log, cancel) : "";
        const cJSON *under = _array(c, "nodes");
        if (uuid.empty()) {
            failed += 1 + (under ? cJSON_GetArraySize(under) : 0);
            continue;
        }
        const cJSON *n;
        cJSON_ArrayForEach(n, under) {
            if (_cancelled(cancel)) return failed + 1;
            failed += _create_node(session, n, &uuid, log, cancel);
        }
    }
    const cJSON *n;
    cJSON_ArrayForEach(n, nodes) {
        if (_cancelled(cancel)) return failed + 1;
        failed += _create_node(session, n, nullptr, log, cancel);
    }
    return failed;
}

// ---------------------------------------------------------------- cluster configuration

namespace {

struct EVP_PKEY_FREE {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct X509_REQ_FREE {
    void operator()(X509_REQ *p) const { X509_REQ_free(p); }
};
struct BIO_FREE {
    void operator()(BIO *p) const { BIO_free(p); }
};
struct QSTR_FREE {
    void operator()(Q_STR *p) const { free_qstr(&p); }
};
using QSTR_PTR = std::unique_ptr<Q_STR, QSTR_FREE>;

// The bytes of a memory BIO as a new string; the BIO's buffer is cleared
// when it is freed, and the string when it is.
Q_STR *_bio_text(BIO *bio) {
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n <= 0 || !data) return nullptr;
    Q_STR *out = new_qstr((size_t)n + 1);
    if (out && qstrcat_bytes_ex(out, data, (size_t)n) != 0) free_qstr(&out);
    return out;
}

// Standard base64 on one line, as kubeconfig "-data" values are. The text is
// sized once: a key's encoding must not leave copies in freed memory.
Q_STR *_base64(const char *text) {
    const size_t n = text ? strlen(text) : 0;
    Q_STR *out = new_qstr(4 * ((n + 2) / 3) + 1);
    if (!out) return nullptr;
    const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out->data),
                                    reinterpret_cast<const unsigned char *>(text ? text : ""), (int)n);
    if (len < 0) {
        free_qstr(&out);
        return nullptr;
    }
    out->length = (size_t)len;
    out->data[len] = 0;
    return out;
}

// A certificate call's "pem", or -1 with the error.
int _pem_call(KVN_SESSION *s, const char *method, const std::string &path, const cJSON *body, Q_STR **pem,
              char *err, size_t err_size, Q_HTTPC_CANCEL *cancel) {
    *pem = nullptr;
    RESULT_PTR r(kvn_call(s, "container-infra", method, path.c_str(), body, nullptr, cancel));
    if (!kvn_result_ok(r.r)) {
        q_strcpy(err, err_size, _error_of(r.r));
        return -1;
    }
    const char *text = _str(r.r->json, "pem");
    if (!text || !*text || !(*pem = char_to_qstr(text))) {
        q_strcpy(err, err_size, text && *text ? "out of memory" : "no pem in the answer");
        return -1;
    }
    return 0;
}

} // namespace

int kvn_coe_client_request(Q_STR **key_pem, Q_STR **csr_pem) {
    Q_GUARD(key_pem && csr_pem, -1);
    *key_pem = *csr_pem = nullptr;
    std::unique_ptr<EVP_PKEY, EVP_PKEY_FREE> key(EVP_RSA_gen(2048));
    std::unique_ptr<X509_REQ, X509_REQ_FREE> req(X509_REQ_new());
    if (!key || !req || X509_REQ_set_version(req.get(), X509_REQ_VERSION_1) != 1) return -1;
    X509_NAME *subject = X509_REQ_get_subject_name(req.get());
    const auto add = [subject](const char *field, const char *value) {
        return X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char *>(value), -1, -1, 0) == 1;
    };
    if (!add("CN", "admin") || !add("O", "system:masters") ||
        X509_REQ_set_pubkey(req.get(), key.get()) != 1 ||
        X509_REQ_sign(req.get(), key.get(), EVP_sha256()) <= 0)
        return -1;
    std::unique_ptr<BIO, BIO_FREE> kbio(BIO_new(BIO_s_mem())), rbio(BIO_new(BIO_s_mem()));
    if (!kbio || !rbio ||
        PEM_write_bio_PrivateKey(kbio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509_REQ(rbio.get(), req.get()) != 1)
        return -1;
    QSTR_PTR k(_bio_text(kbio.get())), r(_bio_text(rbio.get()));
    if (!k || !r) return -1;
    *key_pem = k.release();
    *csr_pem = r.release();
    return 0;
}

int kvn_coe_fetch_ca(KVN_SESSION *session, const char *cluster_uuid, Q_STR **pem, char *err, size_t err_size,
                     Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(session && cluster_uuid && pem && err, -1);
    return _pem_call(session, "GET", "/certificates/" + _encoded(cluster_uuid), nullptr, pem, err, err_size,
                     cancel);
}

int kvn_coe_sign(KVN_SESSION *session, const char *cluster_uuid, const char *csr_pem, Q_STR **pem, char *err,
                 size_t err_size, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(session && cluster_uuid && csr_pem && pem && err, -1);
    Q_CJSON body(cJSON_CreateObject());
    if (!body || !cJSON_AddStringToObject(body.get(), "cluster_uuid", cluster_uuid) ||
        !cJSON_AddStringToObject(body.get(), "csr", csr_pem)) {
        *pem = nullptr;
        q_strcpy(err, err_size, "out of memory");
        return -1;
    }
    return _pem_call(session, "POST", "/certificates", body.get(), pem, err, err_size, cancel);
}

int kvn_coe_write_config(const KVN_COE_FILES *f, char *report, size_t size) {
    Q_GUARD(f && f->folder && report && size, -1);
    report[0] = 0;
    const std::string folder = f->folder;
    const char *coe = f->coe ? f->coe : "";
    const bool kubernetes = !strcmp(coe, "kubernetes");
    if (!kubernetes && strcmp(coe, "swarm") != 0) {
        q_format(report, size, "unsupported COE \"%s\" (kubernetes and swarm have a client configuration)",
                 coe);
        return -1;
    }
    const char *ca = f->ca_pem ? f->ca_pem : "";
    const char *cert = f->cert_pem ? f->cert_pem : "";
    const char *key = f->key_pem ? f->key_pem : "";
    const bool keystone = kubernetes && f->keystone;
    if (!f->tls_disabled) {
        const auto put = [&folder](const char *file, const char *text, int is_private) {
            return kvn_paths_write_atomic((folder + "/" + file).c_str(), text, strlen(text), is_private) == 0;
        };
        if (!put("ca.pem", ca, 0) || (!keystone && (!put("cert.pem", cert, 0) || !put("key.pem", key, 1)))) {
            q_format(report, size, "cannot write the certificates in %s", f->folder);
            return -1;
        }
    }
    const char *name = f->name ? f->name : "";
    const char *server = f->api_address ? f->api_address : "";
    if (!kubernetes) {
        q_format(report, size,
                 "export DOCKER_HOST=%s\nexport DOCKER_CERT_PATH=%s\nexport DOCKER_TLS_VERIFY=%s\n", server,
                 f->folder, f->tls_disabled ? "" : "True");
        return 0;
    }
    // The kubeconfig carries the key: sized once, so that no copy of it is
    // left in freed memory, and zeroed when freed.
    QSTR_PTR ca64(_base64(ca)), cert64(_base64(cert)), key64(_base64(key));
    if (!ca64 || !cert64 || !key64) {
        q_format(report, size, "cannot write %s/config", f->folder);
        return -1;
    }
    QSTR_PTR config(
        new_qstr(4096 + strlen(server) + 8 * strlen(name) + ca64->length + cert64->length + key64->length));
    int written = -1;
    if (config && f->tls_disabled) {
        written =
            qstrprintf_ex(config.get(),
                          "apiVersion: v1\nclusters:\n- cluster:\n    server: %s\n  name: %s\ncontexts:\n- "
                          "context:\n    cluster: %s\n    user: %s\n  name: %s\ncurrent-context: %s\nkind: "
                          "Config\npreferences: {}\nusers:\n- name: %s\n",
                          server, name, name, name, name, name, name);
    } else if (config && keystone) {
        written = qstrprintf_ex(
            config.get(),
            "apiVersion: v1\nclusters:\n- cluster:\n    certificate-authority-data: %s\n    server: %s\n  "
            "name: "
            "%s\ncontexts:\n- context:\n    cluster: %s\n    user: openstackuser\n  name: "
            "openstackuser@kubernetes\ncurrent-context: openstackuser@kubernetes\nkind: Config\npreferences: "
            "{}\nusers:\n- name: openstackuser\n  user:\n    exec:\n      command: /bin/bash\n      "
            "apiVersion: "
            "client.authentication.k8s.io/v1beta1\n      args:\n      - -c\n      - >\n        if [ -z "
            "${OS_TOKEN} ]; then\n            echo 'Error: Missing OpenStack credential from environment "
            "variable $OS_TOKEN' > /dev/stderr\n            exit 1\n        else\n            echo '{ "
            "\"apiVersion\": \"client.authentication.k8s.io/v1beta1\", \"kind\": \"ExecCredential\", "
            "\"status\": "
            "{ \"token\": \"'\"${OS_TOKEN}\"'\"}}'\n        fi\n",
            ca64->data, server, name, name);
    } else if (config) {
        written = qstrprintf_ex(
            config.get(),
            "apiVersion: v1\nclusters:\n- cluster:\n    certificate-authority-data: %s\n    server: %s\n  "
            "name: "
            "%s\ncontexts:\n- context:\n    cluster: %s\n    user: admin\n  name: default\ncurrent-context: "
            "default\nkind: Config\npreferences: {}\nusers:\n- name: admin\n  user:\n    "
            "client-certificate-data: %s\n    client-key-data: %s\n",
            ca64->data, server, name, name, cert64->data, key64->data);
    }
    if (written < 0 ||
        kvn_paths_write_atomic((folder + "/config").c_str(), config->data, config->length, 1) != 0) {
        q_format(report, size, "cannot write %s/config", f->folder);
        return -1;
    }
    q_format(report, size, "export KUBECONFIG=%s/config\n", f->folder);
    return 0;
}

int kvn_coe_cluster_config(KVN_SESSION *session, const char *cluster, const char *folder, int keystone,
                           char *report, size_t size, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(report && size, -1);
    report[0] = 0;
    Q_GUARD(session && cluster && *cluster && folder && *folder, -1);
    RESULT_PTR r(kvn_call(session, "container-infra", "GET", ("/clusters/" + _encoded(cluster)).c_str(),
                          nullptr, nullptr, cancel));
    if (!kvn_result_ok(r.r)) {
        q_format(report, size, "cluster: %s", _error_of(r.r));
        return -1;
    }
    const char *v = _str(r.r->json, "uuid");
    const std::string uuid = v ? v : "";
    v = _str(r.r->json, "name");
    const std::string name = v ? v : "";
    v = _str(r.r->json, "api_address");
    const std::string server = v ? v : "";
    v = _str(r.r->json, "cluster_template_id");
    const std::string template_id = v ? v : "";
    if (server.empty()) {
        q_format(report, size, "the API address of cluster %s is not known yet (still creating?)",
                 name.c_str());
        return -1;
    }
    r.reset(kvn_call(session, "container-infra", "GET",
                     ("/clustertemplates/" + _encoded(template_id.c_str())).c_str(), nullptr, nullptr,
                     cancel));
    if (!kvn_result_ok(r.r)) {
        q_format(report, size, "cluster template: %s", _error_of(r.r));
        return -1;
    }
    char coe[32];
    q_strcpy(coe, sizeof coe, (v = _str(r.r->json, "coe")) ? v : "");
    const int tls_disabled = cJSON_IsObject(r.r->json) &&
                             cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(r.r->json, "tls_disabled"));
    r.reset(nullptr);
    if (kvn_paths_mkdirs(folder) != 0) {
        q_format(report, size, "cannot create %s", folder);
        return -1;
    }
    if (strcmp(coe, "kubernetes") != 0 && strcmp(coe, "swarm") != 0) {
        q_format(report, size, "unsupported COE \"%s\" (kubernetes and swarm have a client configuration)",
                 coe);
        return -1;
    }
    QSTR_PTR ca, key, csr, cert;
    char err[1024];
    if (!tls_disabled) {
        Q_STR *pem = nullptr;
        if (kvn_coe_fetch_ca(session, uuid.c_str(), &pem, err, sizeof err, cancel) != 0) {
            q_format(report, size, "cluster CA: %s", err);
            return -1;
        }
        ca.reset(pem);
    }
    const bool keystone_only = !strcmp(coe, "kubernetes") && keystone;
    if (!tls_disabled && !keystone_only) {
        Q_STR *k = nullptr, *c = nullptr, *pem = nullptr;
        if (kvn_coe_client_request(&k, &c) != 0) {
            q_format(report, size, "%s", "cannot generate the client key");
            return -1;
        }
        key.reset(k);
        csr.reset(c);
        if (kvn_coe_sign(session, uuid.c_str(), csr->data, &pem, err, sizeof err, cancel) != 0) {
            q_format(report, size, "signing the client certificate: %s", err);
            return -1;
        }
        cert.reset(pem);
    }
    KVN_COE_FILES files;
    files.folder = folder;
    files.name = name.c_str();
    files.api_address = server.c_str();
    files.coe = coe;
    files.tls_disabled = tls_disabled;
    files.keystone = keystone;
    files.ca_pem = ca ? ca->data : nullptr;
    files.cert_pem = cert ? cert->data : nullptr;
    files.key_pem = key ? key->data : nullptr;
    return kvn_coe_write_config(&files, report, size);
}

// ---------------------------------------------------------------- metric benchmark

void kvn_bench_row_fill(KVN_BENCH_ROW *row, const char *name, double *times, int count, int failed) {
    Q_GUARD_VOID(row);
    memset(row, 0, sizeof *row);
    q_strcpy(row->name, sizeof row->name, name ? name : "");
    row->count = count;
    row->failed = failed;
    if (count <= 0 || !times) {
        row->count = 0;
        return;
    }
    std::sort(times, times + count);
    double sum = 0;
    for (int i = 0; i < count; i++)
        sum += times[i];
    row->total_s = sum / 1000.0;
    row->min_ms = times[0];
    row->max_ms = times[count - 1];
    row->avg_ms = sum / count;
    row->p95_ms = times[(int)std::lround((count - 1) * 0.95)];
}

namespace {

struct BENCH_RUN {
    KVN_SESSION *s;
    Q_HTTPC_CANCEL *cancel;
    KVN_PROGRESS_FN progress;
    void *progress_user;
    long long planned, done;
    std::vector<double> times;
    int failed;
};

// One timed request; the answer kept when asked for.
bool _timed(BENCH_RUN *b, const char *method, const std::string &path, const cJSON *body, RESULT_PTR *keep) {
    KVN_CALL_OPTS opts = _plain_opts();
    // Gnocchi answers a DELETE that accepts only JSON with 406, as its 204
    // has no JSON to offer.
    if (!strcmp(method, "DELETE"))
        q_strcpy(opts.extra_headers[0], sizeof opts.extra_headers[0], "Accept: */*");
    const auto t0 = std::chrono::steady_clock::now();
    RESULT_PTR r(kvn_call(b->s, "metric", method, path.c_str(), body, &opts, b->cancel));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    b->done++;
    _progress(b->progress, b->progress_user, b->planned ? (double)b->done / b->planned : 1.0);
    const bool ok = kvn_result_ok(r.r);
    if (ok)
        b->times.push_back(ms);
    else
        b->failed++;
    if (keep) std::swap(keep->r, r.r);
    return ok;
}

void _phase_end(BENCH_RUN *b, KVN_BENCH_STATS *stats, const char *name) {
    if (stats->count >= KVN_BENCH_ROWS) return;
    kvn_bench_row_fill(&stats->rows[stats->count++], name, b->times.data(), (int)b->times.size(), b->failed);
    b->times.clear();
    b->failed = 0;
}

} // namespace

int kvn_metric_benchmark(KVN_SESSION *session, const char *archive_policy, int metrics, int batches,
                         int batch_size, int keep, KVN_BENCH_STATS *stats, KVN_PROGRESS_FN progress,
                         void *progress_user, Q_HTTPC_CANCEL *cancel) {
    Q_GUARD(session && stats, -1);
    memset(stats, 0, sizeof *stats);
    if (!archive_policy || !*archive_policy || metrics <= 0) return -1;
    if (batches < 0) batches = 0;
    if (batch_size <= 0) batch_size = 1;
    BENCH_RUN b{session, cancel, progress, progress_user, 0, 0, {}, 0};
    b.planned = (long long)metrics * (batches ? batches + 3 : 2) + (keep ? 0 : metrics);
    b.times.reserve((size_t)metrics);

    std::vector<std::string> ids;
    Q_CJSON create(cJSON_CreateObject());
    if (!create || !cJSON_AddStringToObject(create.get(), "archive_policy_name", archive_policy)) return -1;
    for (int i = 0; i < metrics && !_cancelled(cancel); i++) {
        RESULT_PTR r;
        if (!_timed(&b, "POST", "/v1/metric", create.get(), &r)) continue;
        const char *id = _str(r.r->json, "id");
        if (id && *id && strlen(id) <= 63) ids.push_back(id);
    }
    _phase_end(&b, stats, "metric create");

    for (size_t i = 0; i < ids.size() && !_cancelled(cancel); i++)
        _timed(&b, "GET", "/v1/metric/" + _encoded(ids[i].c_str()), nullptr, nullptr);
    _phase_end(&b, stats, "metric show");

    if (batches > 0) {
        const time_t base = time(nullptr);
        // The batches are the same for every metric: built once.
        std::vector<Q_CJSON> bodies;
        for (int k = 0; k < batches; k++) {
            Q_CJSON points(cJSON_CreateArray());
            if (!points) return -1;
            for (int i = 0; i < batch_size; i++) {
                const long long back = (long long)k * batch_size + i;
                const time_t t = base - (time_t)back;
                struct tm tm;
                gmtime_r(&t, &tm);
                char stamp[32];
                strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
                cJSON *p = cJSON_CreateObject();
                if (!p) return -1;
                cJSON_AddStringToObject(p, "timestamp", stamp);
                cJSON_AddNumberToObject(p, "value", (double)(back % 100));
                cJSON_AddItemToArray(points.get(), p);
            }
            bodies.push_back(std::move(points));
        }
        for (size_t i = 0; i < ids.size() && !_cancelled(cancel); i++)
            for (int k = 0; k < batches && !_cancelled(cancel); k++)
                _timed(&b, "POST", "/v1/metric/" + _encoded(ids[i].c_str()) + "/measures", bodies[k].get(),
                       nullptr);
        _phase_end(&b, stats, "measures add");
        for (size_t i = 0; i < ids.size() && !_cancelled(cancel); i++)
            _timed(&b, "GET", "/v1/metric/" + _encoded(ids[i].c_str()) + "/measures?refresh=true", nullptr,
                   nullptr);
        _phase_end(&b, stats, "measures show");
    }

    if (!keep) {
        // Deleted even after a cancellation: a cancelled run leaves nothing
        // behind. The calls themselves must not see the fired token.
        b.cancel = nullptr;
        for (const std::string &id : ids)
            _timed(&b, "DELETE", "/v1/metric/" + _encoded(id.c_str()), nullptr, nullptr);
        _phase_end(&b, stats, "metric delete");
    }
    _progress(progress, progress_user, 1.0);
    return stats->count;
}

void kvn_metric_benchmark_report(const KVN_BENCH_STATS *stats, int cancelled, Q_STR *text) {
    Q_GUARD_VOID(stats && text);
    qstrprintf_cat_ex(text, "%-14s %7s %7s %9s %8s %8s %8s %8s %8s\n", "operation", "count", "failed",
                      "req/s", "min ms", "avg ms", "p95 ms", "max ms", "total s");
    for (int i = 0; i < stats->count && i < KVN_BENCH_ROWS; i++) {
        const KVN_BENCH_ROW &r = stats->rows[i];
        qstrprintf_cat_ex(text, "%-14s %7d %7d %9.1f %8.1f %8.1f %8.1f %8.1f %8.2f\n", r.name, r.count,
                          r.failed, r.total_s > 0 ? r.count / r.total_s : 0.0, r.min_ms, r.avg_ms, r.p95_ms,
                          r.max_ms, r.total_s);
    }
    qstrprintf_cat_ex(text,
                      "\nRequests run one after the other on a kept-alive connection; req/s = count / total "
                      "request time.%s\n",
                      cancelled ? "\nCancelled before the end." : "");
}

cJSON *kvn_metric_benchmark_chart(const KVN_BENCH_STATS *stats) {
    Q_GUARD(stats, nullptr);
    cJSON *chart = cJSON_CreateObject();
    if (!chart) return nullptr;
    cJSON *columns = cJSON_AddArrayToObject(chart, "columns");
    cJSON *results = cJSON_AddArrayToObject(chart, "results");
    if (!columns || !results) {
        cJSON_Delete(chart);
        return nullptr;
    }
    cJSON_AddItemToArray(columns, cJSON_CreateString("type"));
    cJSON_AddItemToArray(columns, cJSON_CreateString("rate"));
    for (int i = 0; i < stats->count && i < KVN_BENCH_ROWS; i++) {
        const KVN_BENCH_ROW &r = stats->rows[i];
        cJSON *row = cJSON_CreateArray();
        if (!row) break;
        cJSON_AddItemToArray(row, cJSON_CreateString(r.name));
        cJSON_AddItemToArray(row, cJSON_CreateNumber(r.total_s > 0 ? r.count / r.total_s : 0.0));
        cJSON_AddItemToArray(results, row);
    }
    return chart;
}
