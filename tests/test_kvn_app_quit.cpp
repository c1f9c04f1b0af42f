// labels: gui
// The real program under Xvfb: closing its window or pressing Escape asks
// before quitting; No keeps it running, Yes ends it with code 0 after saving
// the settings; SIGTERM quits at once, saving too. The window manager's close
// request and the keys are sent to the program's window through X11.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "kvn_test_util.h"

extern char **environ;

namespace {
// The program with KVN_HOME in a scratch folder and its log in a file.
struct PROGRAM {
    TEST_DIR home;
    std::string log;
    pid_t pid = -1;
    int exit_code = -1;
    Display *dpy = nullptr;
    Window win = 0;

    PROGRAM() {
        log = home.file("stderr.log");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        std::string env_home = "KVN_HOME=" + home.path;
        std::vector<char *> env;
        for (char **e = environ; *e; e++)
            if (strncmp(*e, "KVN_HOME=", 9)) env.push_back(*e);
        env.push_back(env_home.data());
        env.push_back(nullptr);
        char *argv[] = {const_cast<char *>(KVN_PROGRAM), const_cast<char *>("-v"), const_cast<char *>("2"),
                        nullptr};
        EXPECT_EQ(posix_spawn(&pid, KVN_PROGRAM, &fa, nullptr, argv, env.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        dpy = XOpenDisplay(nullptr);
    }
    ~PROGRAM() {
        if (pid > 0 && exit_code < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (dpy) XCloseDisplay(dpy);
    }
    size_t count(const std::string &text) {
        const std::string all = test_read_file(log);
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            n++;
        return n;
    }
    // Waits until the log holds the text the given number of times.
    bool wait_log(const std::string &text, size_t times = 1) {
        for (int i = 0; i < 6000; i++) {
            if (count(text) >= times) return true;
            if (exited()) return count(text) >= times;
            usleep(10000);
        }
        return false;
    }
    bool exited() {
        if (exit_code >= 0) return true;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        return false;
    }
    bool wait_exit() {
        for (int i = 0; i < 6000 && !exited(); i++)
            usleep(10000);
        return exited();
    }
    Window find(Window w, const char *title) {
        // The title may be set as UTF-8 or compound text: an ASCII title has
        // the same bytes in every encoding.
        XTextProperty prop;
        if (XGetWMName(dpy, w, &prop) && prop.value) {
            const bool hit = prop.nitems == strlen(title) && !memcmp(prop.value, title, prop.nitems);
            XFree(prop.value);
            if (hit) return w;
        }
        Window root, parent, *kids = nullptr;
        unsigned n = 0;
        Window found = 0;
        if (XQueryTree(dpy, w, &root, &parent, &kids, &n)) {
            for (unsigned i = 0; i < n && !found; i++)
                found = find(kids[i], title);
            if (kids) XFree(kids);
        }
        return found;
    }
    bool find_window() {
        if (!dpy) return false;
        for (int i = 0; i < 1000 && !win; i++) {
            win = find(DefaultRootWindow(dpy), "Kelvane 0.1.0 - dev");
            if (!win) usleep(10000);
        }
        return win != 0;
    }
    // What a window manager sends when the user closes the window.
    void close_window() {
        XEvent ev;
        memset(&ev, 0, sizeof ev);
        ev.xclient.type = ClientMessage;
        ev.xclient.window = win;
        ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(dpy, win, False, NoEventMask, &ev);
        XFlush(dpy);
    }
    void key(KeySym sym) {
        for (int type : {KeyPress, KeyRelease}) {
            XEvent ev;
            memset(&ev, 0, sizeof ev);
            ev.xkey.type = type;
            ev.xkey.display = dpy;
            ev.xkey.window = win;
            ev.xkey.root = DefaultRootWindow(dpy);
            ev.xkey.same_screen = True;
            ev.xkey.time = CurrentTime;
            ev.xkey.keycode = XKeysymToKeycode(dpy, sym);
            XSendEvent(dpy, win, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &ev);
        }
        XFlush(dpy);
    }
};
} // namespace

TEST(Quit, ClosingTheWindowAsksAndOnlyYesEndsTheProgram) {
    PROGRAM p;
    ASSERT_TRUE(p.wait_log("first frame drawn")) << test_read_file(p.log);
    ASSERT_TRUE(p.find_window());
    EXPECT_FALSE(test_exists(p.home.file("kvn.conf")));

    p.close_window();
    ASSERT_TRUE(p.wait_log("asking: Quit")) << test_read_file(p.log);
    p.key(XK_n);
    ASSERT_TRUE(p.wait_log("answered: no")) << test_read_file(p.log);
    EXPECT_FALSE(p.exited()) << "No keeps it running";

    // The connect dialog, open since the start, is the first thing Escape
    // closes; with nothing open Escape asks too, and again answers No.
    p.key(XK_Escape);
    ASSERT_TRUE(p.wait_log("connect dialog closed")) << test_read_file(p.log);
    EXPECT_EQ(p.count("asking: Quit"), 1u);
    p.key(XK_Escape);
    ASSERT_TRUE(p.wait_log("asking: Quit", 2)) << test_read_file(p.log);
    p.key(XK_Escape);
    ASSERT_TRUE(p.wait_log("answered: no", 2)) << test_read_file(p.log);
    EXPECT_FALSE(p.exited());

    p.close_window();
    ASSERT_TRUE(p.wait_log("asking: Quit", 3)) << test_read_file(p.log);
    p.key(XK_y);
    ASSERT_TRUE(p.wait_exit());
    EXPECT_EQ(p.exit_code, 0) << test_read_file(p.log);
    EXPECT_EQ(p.count("answered: yes"), 1u);
    EXPECT_EQ(p.count("Kelvane stopped"), 1u);
    EXPECT_TRUE(test_exists(p.home.file("kvn.conf"))) << "settings saved at shutdown";
}

TEST(Quit, SigtermQuitsWithoutAskingAndSaves) {
    PROGRAM p;
    ASSERT_TRUE(p.wait_log("first frame drawn")) << test_read_file(p.log);
    kill(p.pid, SIGTERM);
    ASSERT_TRUE(p.wait_exit());
    EXPECT_EQ(p.exit_code, 0) << test_read_file(p.log);
    EXPECT_EQ(p.count("asking: Quit"), 0u);
    EXPECT_TRUE(test_exists(p.home.file("kvn.conf")));
}
