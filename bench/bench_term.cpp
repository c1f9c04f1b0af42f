// Terminal parse throughput: kvn_term against libvterm on the same generated
// console stream (plain text, colour changes, cursor moves, scrolling and
// scroll regions, UTF-8 with CJK), with `cat` of the stream into /dev/null as
// the floor. Each measurement runs in a child process of its own, so the
// peak RSS printed is that engine's alone. The stream is read from a file in
// 16 KiB pieces, as the console thread hands them over.
//
// usage: bench_term [MiB] [rounds]            (bench/bench_term.sh runs it)
//        bench_term --child kvn|vterm FILE   (one measurement; prints MB/s)

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <vterm.h>

#include "kvn_term.h"

namespace {
const int k_cols = 100, k_rows = 32; // the console window's first grid
const size_t k_piece = 16384;

// CPU time, not wall time: on a shared machine the wall clock mostly measures
// the neighbours.
double _now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

struct GEN {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    unsigned next(unsigned n) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return (unsigned)(s >> 33) % n;
    }
};

void _word(std::string &out, GEN &g) {
    static const char *const words[] = {"server", "volume",    "ACTIVE",  "error:",  "kernel",     "[  OK  ]",
                                        "eth0",   "10.0.0.12", "Started", "systemd", "cloud-init", "login:"};
    out += words[g.next(12)];
    out += ' ';
}

void _utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | cp >> 6);
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | cp >> 12);
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | cp >> 18);
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

std::string _stream(size_t bytes) {
    GEN g;
    std::string out;
    out.reserve(bytes + 4096);
    char buf[96];
    while (out.size() < bytes) {
        const unsigned kind = g.next(100);
        if (kind < 50) { // plain log lines
            const unsigned words = 3 + g.next(14);
            for (unsigned w = 0; w < words; w++)
                _word(out, g);
            out += "\r\n";
        } else if (kind < 65) { // colour changes of every form
            for (int k = 0; k < 4; k++) {
                switch (g.next(4)) {
                case 0:
                    snprintf(buf, sizeof buf, "\033[%u;%um", g.next(2), 30 + g.next(8));
                    break;
                case 1:
                    snprintf(buf, sizeof buf, "\033[38;5;%um", g.next(256));
                    break;
                case 2:
                    snprintf(buf, sizeof buf, "\033[38;2;%u;%u;%u;48;5;%um", g.next(256), g.next(256),
                             g.next(256), g.next(256));
                    break;
                default:
                    snprintf(buf, sizeof buf, "\033[%u;4m", 90 + g.next(8));
                    break;
                }
                out += buf;
                _word(out, g);
            }
            out += "\033[0m\r\n";
        } else if (kind < 75) { // full-screen programs moving the cursor
            for (int k = 0; k < 6; k++) {
                snprintf(buf, sizeof buf, "\033[%u;%uH", 1 + g.next(k_rows), 1 + g.next(k_cols));
                out += buf;
                _word(out, g);
                static const char *const moves[] = {"\033[K", "\033[2A", "\033[3C",
                                                    "\033[B", "\033[4D", "\033[1K"};
                out += moves[g.next(6)];
            }
            snprintf(buf, sizeof buf, "\033[%u;1H", k_rows);
            out += buf;
        } else if (kind < 85) { // UTF-8: accents, CJK, emoji
            const unsigned n = 5 + g.next(30);
            for (unsigned k = 0; k < n; k++) {
                const unsigned pick = g.next(5);
                _utf8(out, pick == 0   ? 0xE0 + g.next(32)
                           : pick == 1 ? 0x4E00 + g.next(0x5000)
                           : pick == 2 ? 0xAC00 + g.next(0x2000)
                           : pick == 3 ? 0x1F600 + g.next(64)
                                       : 'a' + g.next(26));
            }
            out += "\r\n";
        } else if (kind < 90) { // a pager's scroll region
            out += "\033[2;30r\033[30;1H";
            for (int k = 0; k < 5; k++) {
                _word(out, g);
                out += "\n\r";
            }
            out += "\033[2;1H\033M\033[3L\033[2M\033[2S\033[T\033[r\033[32;1H";
        } else if (kind < 95) { // line editing
            out += "prompt$ some command line\033[10D\033[3P\033[2@xy\033[5X\r\n";
        } else { // progress bars
            for (int k = 0; k <= 10; k++) {
                snprintf(buf, sizeof buf, "\r[%.*s%*s] %3d%%", k, "##########", 10 - k, "", k * 10);
                out += buf;
            }
            out += "\r\n";
        }
    }
    return out;
}

// ---- one measurement per process ----------------------------------------------------

// A console keeps its scrollback, so the libvterm side keeps the lines its
// screen pushes out, in a ring as deep as kvn_term's.
struct VT_SCROLLBACK {
    std::vector<VTermScreenCell> cells;
    int next = 0;
    static int push(int cols, const VTermScreenCell *line, void *user) {
        auto *sb = static_cast<VT_SCROLLBACK *>(user);
        const int n = cols < k_cols ? cols : k_cols;
        memcpy(&sb->cells[(size_t)sb->next * k_cols], line, (size_t)n * sizeof(VTermScreenCell));
        sb->next = (sb->next + 1) % KVN_TERM_SCROLLBACK;
        return 1;
    }
};

int _child(const char *mode, const char *file) {
    const int fd = open(file, O_RDONLY);
    if (fd < 0) return 1;
    std::vector<char> piece(k_piece);
    size_t total = 0;
    uint64_t check = 0;
    double t0 = 0, t1 = 0;
    if (!strcmp(mode, "kvn")) {
        KVN_TERM *t = kvn_term_new(k_cols, k_rows);
        t0 = _now();
        for (ssize_t n; (n = read(fd, piece.data(), piece.size())) > 0; total += (size_t)n)
            kvn_term_feed(t, piece.data(), (size_t)n);
        t1 = _now();
        check = (uint64_t)t->scrolled_off + (uint64_t)t->cursor_col;
        kvn_term_free(&t);
    } else {
        VTerm *vt = vterm_new(k_rows, k_cols);
        vterm_set_utf8(vt, 1);
        VTermScreen *screen = vterm_obtain_screen(vt);
        static VTermScreenCallbacks cbs;
        cbs.sb_pushline = VT_SCROLLBACK::push;
        VT_SCROLLBACK sb;
        sb.cells.resize((size_t)KVN_TERM_SCROLLBACK * k_cols);
        vterm_screen_set_callbacks(screen, &cbs, &sb);
        vterm_screen_enable_altscreen(screen, 1);
        vterm_screen_reset(screen, 1);
        t0 = _now();
        for (ssize_t n; (n = read(fd, piece.data(), piece.size())) > 0; total += (size_t)n)
            vterm_input_write(vt, piece.data(), (size_t)n);
        t1 = _now();
        VTermPos pos;
        vterm_state_get_cursorpos(vterm_obtain_state(vt), &pos);
        check = (uint64_t)sb.next + (uint64_t)pos.col;
        vterm_free(vt);
    }
    close(fd);
    printf("%.3f %" PRIu64 "\n", total / 1e6 / (t1 - t0), check);
    return 0;
}

// ---- the driver ------------------------------------------------------------------

struct RUN {
    double mbps;
    long rss_kib;
};

RUN _spawn(const std::vector<std::string> &args, const char *out_file, size_t bytes) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return {0, 0};
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = out_file ? open(out_file, O_WRONLY) : pipefd[1];
        dup2(out, 1);
        close(pipefd[0]);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    char line[128] = {0};
    size_t got = 0;
    for (ssize_t n; got < sizeof line - 1 && (n = read(pipefd[0], line + got, sizeof line - 1 - got)) > 0;)
        got += (size_t)n;
    close(pipefd[0]);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    RUN r{0, ru.ru_maxrss};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return r;
    const double cpu = (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
                       ru.ru_stime.tv_usec / 1e6;
    r.mbps = out_file ? bytes / 1e6 / (cpu > 1e-4 ? cpu : 1e-4) : atof(line);
    return r;
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && !strcmp(argv[1], "--child")) return _child(argv[2], argv[3]);
    const size_t mib = argc > 1 ? (size_t)atoi(argv[1]) : 64;
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    std::string stream = _stream(mib << 20);
    char file[] = "/tmp/kvn_bench_term_XXXXXX";
    const int fd = mkstemp(file);
    if (fd < 0 || write(fd, stream.data(), stream.size()) != (ssize_t)stream.size()) {
        fprintf(stderr, "cannot write the stream: %s\n", strerror(errno));
        return 1;
    }
    close(fd);
    size_t esc = 0, high = 0;
    for (unsigned char c : stream) {
        esc += c == 0x1b;
        high += c >= 0x80;
    }
    printf("stream: %.1f MiB, %zu escape sequences, %.1f%% UTF-8 bytes, grid %dx%d; MB per CPU second\n",
           stream.size() / 1048576.0, esc, 100.0 * high / stream.size(), k_cols, k_rows);
    const size_t stream_size = stream.size();
    // Released before forking: a child's peak RSS would otherwise count the
    // parent's copy of the stream it inherits until exec.
    std::string().swap(stream);

    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = 0;
    std::vector<double> kvn, vt, cat;
    long kvn_rss = 0, vt_rss = 0, cat_rss = 0;
    // Interleaved rounds, so a burst of load on the shared machine hits all three.
    for (int r = 0; r < rounds; r++) {
        RUN a = _spawn({self, "--child", "kvn", file}, nullptr, 0);
        RUN b = _spawn({self, "--child", "vterm", file}, nullptr, 0);
        RUN c = _spawn({"/bin/cat", file}, "/dev/null", stream_size);
        kvn.push_back(a.mbps);
        vt.push_back(b.mbps);
        cat.push_back(c.mbps);
        kvn_rss = a.rss_kib > kvn_rss ? a.rss_kib : kvn_rss;
        vt_rss = b.rss_kib > vt_rss ? b.rss_kib : vt_rss;
        cat_rss = c.rss_kib > cat_rss ? c.rss_kib : cat_rss;
        printf("round %d: kvn_term %.1f MB/s, libvterm %.1f MB/s, cat %.1f MB/s\n", r + 1, a.mbps, b.mbps,
               c.mbps);
    }
    unlink(file);
    const double mk = _median(kvn), mv = _median(vt), mc = _median(cat);
    printf("kvn_term : median %8.1f MB/s, peak RSS %ld KiB\n", mk, kvn_rss);
    printf("libvterm : median %8.1f MB/s, peak RSS %ld KiB\n", mv, vt_rss);
    printf("cat      : median %8.1f MB/s, peak RSS %ld KiB\n", mc, cat_rss);
    printf("ratio kvn_term / libvterm: %.2fx (goal >= 2x)\n", mv > 0 ? mk / mv : 0.0);
    return mk > 0 && mv > 0 ? 0 : 1;
}
