#pragma once
// Shared helpers of the test programs: scratch folders, files, child processes
// and captured log lines.

#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
struct TEST_DIR {
    std::string path;
    TEST_DIR();
    ~TEST_DIR();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

void test_write_file(const std::string &path, const std::string &content, int mode = 0644);
std::string test_read_file(const std::string &path);
bool test_exists(const std::string &path);
int test_mode_of(const std::string &path);

// A listening TCP socket on 127.0.0.1 at a port the system chose, for the
// tests' own small servers. Returns the socket (-1 on failure) and the port.
int test_listen_loopback(int *port, int backlog = 16);

// Captures the log lines written while it lives.
struct TEST_LOG_CAPTURE {
    std::vector<std::string> lines;
    TEST_LOG_CAPTURE();
    ~TEST_LOG_CAPTURE();
    bool contains(const std::string &text) const;
    size_t count(const std::string &text) const;
};

// A child process with its standard error read into a string.
struct TEST_PROC {
    int pid = -1;
    int err_fd = -1;
    std::string err;
    // Reads what the child wrote so far; waits up to timeout_ms for `text`
    // to appear. Returns whether it appeared.
    bool wait_for(const std::string &text, int timeout_ms);
    // Waits for the exit; returns the exit code, or 128 + signal.
    int wait_exit(int timeout_ms);
    void kill_now(int sig);
    ~TEST_PROC();
};

// Starts argv[0] with the given extra environment ("NAME=value"; "NAME=" with
// an empty value sets it empty, "-NAME" removes it).
bool test_spawn(TEST_PROC *proc, const std::vector<std::string> &argv, const std::vector<std::string> &env);

// The local cloud's folder ($KVN_CLOUD_DIR, else /tmp/kvn-cloud).
std::string test_cloud_dir();
// Reads "export NAME=value" lines of an openrc file of the local cloud
// ("admin", "demo", "alt_demo") into NAME -> value.
std::vector<std::pair<std::string, std::string>> test_cloud_openrc(const std::string &who);
// A password profile made from that openrc file (named after `who`).
struct KVN_PROFILE;
void test_cloud_profile(const std::string &who, KVN_PROFILE *p);
