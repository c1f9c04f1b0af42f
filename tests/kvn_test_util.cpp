#include "kvn_test_util.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kvn_profile.h"
#include "q_common.h"
#include "q_log.h"

extern char **environ;

TEST_DIR::TEST_DIR() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvn-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    path = mkdtemp(buf.data()) ? buf.data() : "";
}

TEST_DIR::~TEST_DIR() {
    std::error_code ec;
    if (!path.empty()) {
        // Tests make folders read-only on purpose; give the rights back first.
        for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            chmod(it->path().c_str(), 0700);
        chmod(path.c_str(), 0700);
        std::filesystem::remove_all(path, ec);
    }
}

void test_write_file(const std::string &path, const std::string &content, int mode) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    f.close();
    chmod(path.c_str(), mode);
}

std::string test_read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool test_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int test_mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 07777) : -1;
}

namespace {
void _capture_sink(const char *line, void *user) {
    auto *cap = static_cast<TEST_LOG_CAPTURE *>(user);
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    cap->lines.push_back(s);
}
} // namespace

TEST_LOG_CAPTURE::TEST_LOG_CAPTURE() { q_log_set_sink(_capture_sink, this); }
TEST_LOG_CAPTURE::~TEST_LOG_CAPTURE() { q_log_set_sink(nullptr, nullptr); }

bool TEST_LOG_CAPTURE::contains(const std::string &text) const { return count(text) > 0; }

size_t TEST_LOG_CAPTURE::count(const std::string &text) const {
    size_t n = 0;
    for (const auto &l : lines)
        if (l.find(text) != std::string::npos) n++;
    return n;
}

bool test_spawn(TEST_PROC *proc, const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++) envs.emplace_back(*e);
    for (const auto &change : env) {
        bool remove = !change.empty() && change[0] == '-';
        std::string name = remove ? change.substr(1) : change.substr(0, change.find('='));
        std::erase_if(envs, [&](const std::string &s) { return s.compare(0, name.size() + 1, name + "=") == 0; });
        if (!remove) envs.push_back(change);
    }
    std::vector<char *> cargv, cenv;
    for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto &e : envs) cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    pid_t pid;
    int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    proc->pid = pid;
    proc->err_fd = fds[0];
    return true;
}

bool TEST_PROC::wait_for(const std::string &text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (err.find(text) == std::string::npos) {
        if (err_fd < 0) return false;
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now())
                       .count();
        if (left <= 0) return false;
        struct pollfd p = {err_fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char buf[4096];
        ssize_t n = read(err_fd, buf, sizeof buf);
        if (n <= 0) {
            close(err_fd);
            err_fd = -1;
            return err.find(text) != std::string::npos;
        }
        err.append(buf, (size_t)n);
    }
    return true;
}

int TEST_PROC::wait_exit(int timeout_ms) {
    // Drain standard error so the child never blocks on a full pipe.
    wait_for("\x01never\x01", timeout_ms);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        usleep(10000);
    }
}

void TEST_PROC::kill_now(int sig) {
    if (pid > 0) ::kill(pid, sig);
}

TEST_PROC::~TEST_PROC() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (err_fd >= 0) close(err_fd);
}

std::string test_cloud_dir() {
    const char *d = getenv("KVN_CLOUD_DIR");
    return (d && *d) ? d : "/tmp/kvn-cloud";
}

std::vector<std::pair<std::string, std::string>> test_cloud_openrc(const std::string &who) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(test_read_file(test_cloud_dir() + "/" + who + "-openrc"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("export ", 0) != 0) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        out.emplace_back(line.substr(7, eq - 7), value);
    }
    return out;
}

void test_cloud_profile(const std::string &who, KVN_PROFILE *p) {
    kvn_profile_defaults(p);
    q_strcpy(p->name, sizeof p->name, who.c_str());
    for (auto &kv : test_cloud_openrc(who)) {
        const char *v = kv.second.c_str();
        if (kv.first == "OS_AUTH_URL") q_strcpy(p->auth_url, sizeof p->auth_url, v);
        else if (kv.first == "OS_USERNAME") q_strcpy(p->username, sizeof p->username, v);
        else if (kv.first == "OS_PASSWORD") q_strcpy(p->secret, sizeof p->secret, v);
        else if (kv.first == "OS_PROJECT_NAME") q_strcpy(p->project_name, sizeof p->project_name, v);
        else if (kv.first == "OS_USER_DOMAIN_NAME") q_strcpy(p->user_domain_name, sizeof p->user_domain_name, v);
        else if (kv.first == "OS_PROJECT_DOMAIN_NAME")
            q_strcpy(p->project_domain_name, sizeof p->project_domain_name, v);
        else if (kv.first == "OS_REGION_NAME") q_strcpy(p->region, sizeof p->region, v);
    }
}

int test_listen_loopback(int *port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}
