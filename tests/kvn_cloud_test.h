#pragma once
// Helpers of the cloud tests: they drive the project's local cloud with the
// `openstack` command-line client, with the environment of one of its
// openrc files.

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

struct CLOUD_RESULT {
    int code = -1;
    std::string out;
};

inline std::string cloud_dir() {
    const char *d = std::getenv("KVN_CLOUD_DIR");
    return d && *d ? d : "/tmp/kvn-cloud";
}

inline std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command; its exit code and what it printed on both streams,
// without trailing blanks.
inline CLOUD_RESULT sh_run(const std::string &cmd) {
    CLOUD_RESULT r;
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int st = pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == ' '))
        r.out.pop_back();
    return r;
}

// Runs the client with the environment of an openrc file of the cloud.
// Debian's python runs it: another python3 first in PATH lacks the packages.
inline CLOUD_RESULT os_cli(const std::string &args, const std::string &who = "demo") {
    return sh_run("env -u OS_CLOUD -u OS_CLIENT_CONFIG_FILE bash -c " +
                  quote(". " + quote(cloud_dir() + "/" + who + "-openrc") +
                        " && exec /usr/bin/python3 /usr/bin/openstack " + args));
}

// A value printed by `... -f value -c field`; empty when the call failed.
inline std::string field(const std::string &args, const std::string &who = "demo") {
    CLOUD_RESULT r = os_cli(args, who);
    return r.code == 0 ? r.out : "";
}

// Polls a `show` command until its value is `want` or a failure state;
// the bound is generous because the machine's two cores are shared.
inline std::string wait_value(const std::string &show_args, const std::string &want, int seconds = 180,
                              const std::string &who = "demo") {
    std::string v;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        v = field(show_args, who);
        if (v == want || v == "ERROR" || v == "error" || v == "error_deleting" ||
            v.find("FAILED") != std::string::npos)
            return v;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return v;
}

// Polls until `show` fails (the resource is gone); true when it did.
inline bool wait_gone(const std::string &show_args, int seconds = 120, const std::string &who = "demo") {
    for (int i = 0; i < seconds; i++) {
        if (os_cli(show_args, who).code != 0) return true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return false;
}

// Names unique to this run, so a rerun or a leftover never collides.
inline std::string unique(const std::string &base) {
    return "kvn-smoke-" + base + "-" + std::to_string(getpid());
}
