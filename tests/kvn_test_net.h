#pragma once
// Real peers for the network tests and benchmarks: nginx and tinyproxy from
// Debian's packages, started on 127.0.0.1 with configurations and
// certificates written into a scratch folder, plus free ports and waits.
// Header-only so the benchmarks can use it without the test utilities.

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace kvn_net {

inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Waits until something accepts TCP connections on 127.0.0.1:port.
inline bool wait_port(int port, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int rc = connect(fd, (struct sockaddr *)&a, sizeof a);
        close(fd);
        if (rc == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---- certificates -------------------------------------------------------------

struct KEYCERT {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    KEYCERT() = default;
    KEYCERT(const KEYCERT &) = delete;
    KEYCERT &operator=(const KEYCERT &) = delete;
    ~KEYCERT() {
        EVP_PKEY_free(key);
        X509_free(cert);
    }
};

inline void _add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext) {
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
}

// Makes a key and a certificate valid from `from_s` to `to_s` seconds around
// now, signed by `ca` (self-signed when ca is null). `san` is a
// subjectAltName value such as "DNS:localhost,IP:127.0.0.1"; empty for a CA.
inline void make_cert(KEYCERT *out, const KEYCERT *ca, const char *cn, const char *san, long from_s,
                      long to_s) {
    static long serial = 1000;
    out->key = EVP_EC_gen("P-256");
    out->cert = X509_new();
    X509_set_version(out->cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out->cert), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(out->cert), from_s);
    X509_gmtime_adj(X509_getm_notAfter(out->cert), to_s);
    X509_set_pubkey(out->cert, out->key);
    X509_NAME *name = X509_get_subject_name(out->cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)cn, -1, -1, 0);
    X509 *issuer = ca ? ca->cert : out->cert;
    X509_set_issuer_name(out->cert, X509_get_subject_name(issuer));
    if (!ca) {
        _add_ext(out->cert, issuer, NID_basic_constraints, "critical,CA:TRUE");
        _add_ext(out->cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
        _add_ext(out->cert, issuer, NID_subject_key_identifier, "hash");
    } else {
        _add_ext(out->cert, issuer, NID_basic_constraints, "CA:FALSE");
        _add_ext(out->cert, issuer, NID_ext_key_usage, "serverAuth");
        _add_ext(out->cert, issuer, NID_authority_key_identifier, "keyid");
        if (san && san[0]) _add_ext(out->cert, issuer, NID_subject_alt_name, san);
    }
    X509_sign(out->cert, ca ? ca->key : out->key, EVP_sha256());
}

inline void save_cert(const KEYCERT &kc, const std::string &cert_path, const std::string &key_path) {
    if (FILE *f = fopen(cert_path.c_str(), "w")) {
        PEM_write_X509(f, kc.cert);
        fclose(f);
    }
    if (!key_path.empty())
        if (FILE *f = fopen(key_path.c_str(), "w")) {
            PEM_write_PrivateKey(f, kc.key, nullptr, nullptr, 0, nullptr, nullptr);
            fclose(f);
        }
}

// The certificate set of the TLS tests, written into `dir`: ca.pem, and
// key/cert pairs "good" (localhost and 127.0.0.1), "wrongname", "expired",
// "unknownca" (signed by a CA nobody trusts), "wildcard" (*.example.test) and
// "partial" (f*.example.test).
inline void make_test_certs(const std::string &dir) {
    KEYCERT ca, other_ca, good, wrong, expired, unknown, wildcard, partial;
    make_cert(&ca, nullptr, "Kelvane Test CA", "", -3600, 86400);
    make_cert(&other_ca, nullptr, "Some Other CA", "", -3600, 86400);
    make_cert(&good, &ca, "localhost", "DNS:localhost,IP:127.0.0.1", -3600, 86400);
    make_cert(&wrong, &ca, "other.example", "DNS:other.example", -3600, 86400);
    make_cert(&expired, &ca, "localhost", "DNS:localhost,IP:127.0.0.1", -86400 * 3, -86400);
    make_cert(&unknown, &other_ca, "localhost", "DNS:localhost,IP:127.0.0.1", -3600, 86400);
    make_cert(&wildcard, &ca, "wildcard", "DNS:*.example.test", -3600, 86400);
    make_cert(&partial, &ca, "partial", "DNS:f*.example.test", -3600, 86400);
    save_cert(ca, dir + "/ca.pem", "");
    save_cert(wildcard, dir + "/wildcard.pem", dir + "/wildcard.key");
    save_cert(partial, dir + "/partial.pem", dir + "/partial.key");
    save_cert(good, dir + "/good.pem", dir + "/good.key");
    save_cert(wrong, dir + "/wrongname.pem", dir + "/wrongname.key");
    save_cert(expired, dir + "/expired.pem", dir + "/expired.key");
    save_cert(unknown, dir + "/unknownca.pem", dir + "/unknownca.key");
}

// ---- processes ------------------------------------------------------------------

struct CHILD {
    pid_t pid = -1;
    // Started from the thread that stays for the child's whole life (the test
    // program's main thread): the child gets SIGTERM when that thread ends, so
    // a test program killed on a time-out leaves no server behind.
    bool start(const std::vector<std::string> &argv, const std::string &log_path) {
        std::vector<char *> a;
        for (auto &s : argv)
            a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log < 0) return false;
        pid_t parent = getpid();
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            dup2(log, 1);
            dup2(log, 2);
            execv(a[0], a.data());
            _exit(127);
        }
        close(log);
        return pid > 0;
    }
    void stop() {
        if (pid <= 0) return;
        // nginx leaves its workers behind on SIGKILL of the master; SIGTERM
        // (fast shutdown) ends them all, with SIGKILL as the fallback.
        kill(pid, SIGTERM);
        for (int i = 0; i < 500; i++) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    ~CHILD() { stop(); }
};

// nginx with the given server blocks; `%DIR%` in them is replaced by dir.
struct NGINX {
    CHILD proc;
    std::string dir;
    bool start(const std::string &folder, const std::string &servers, const std::vector<int> &ports) {
        dir = folder;
        std::string body = servers;
        for (size_t at; (at = body.find("%DIR%")) != std::string::npos;)
            body.replace(at, 5, dir);
        std::string conf;
        if (geteuid() == 0) conf += "user root root;\n"; // workers must read the 0700 scratch folder
        conf += "worker_processes 1;\ndaemon off;\npid " + dir + "/nginx.pid;\nerror_log " + dir +
                "/nginx-error.log info;\nevents { worker_connections 256; }\nhttp {\n  access_log off;\n"
                "  default_type application/octet-stream;\n  client_body_temp_path " +
                dir + "/tmp-body;\n  proxy_temp_path " + dir + "/tmp-proxy;\n  fastcgi_temp_path " + dir +
                "/tmp-fcgi;\n  uwsgi_temp_path " + dir + "/tmp-uwsgi;\n  scgi_temp_path " + dir +
                "/tmp-scgi;\n  keepalive_requests 100000;\n" + body + "\n}\n";
        write_file(dir + "/nginx.conf", conf);
        if (!proc.start({"/usr/sbin/nginx", "-p", dir, "-c", dir + "/nginx.conf"}, dir + "/nginx-out.log"))
            return false;
        for (int p : ports)
            if (!wait_port(p, 20000)) return false;
        return true;
    }
};

struct TINYPROXY {
    CHILD proc;
    std::string log;
    bool start(const std::string &dir, const std::string &name, int port,
               const std::vector<int> &connect_ports, const std::string &basic_auth) {
        log = dir + "/" + name + ".log";
        std::string conf = "Port " + std::to_string(port) + "\nListen 127.0.0.1\nTimeout 60\nLogFile \"" +
                           log + "\"\nLogLevel Info\nPidFile \"" + dir + "/" + name +
                           ".pid\"\nMaxClients 100\n"
                           "Allow 127.0.0.1\nDisableViaHeader Yes\n";
        for (int p : connect_ports)
            conf += "ConnectPort " + std::to_string(p) + "\n";
        if (!basic_auth.empty()) conf += "BasicAuth " + basic_auth + "\n";
        write_file(dir + "/" + name + ".conf", conf);
        if (!proc.start({"/usr/bin/tinyproxy", "-d", "-c", dir + "/" + name + ".conf"},
                        dir + "/" + name + "-out.log"))
            return false;
        return wait_port(port, 20000);
    }
};

} // namespace kvn_net
