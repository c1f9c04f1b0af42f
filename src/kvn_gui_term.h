#pragma once
// The console window: an interactive terminal on a container's main process
// (attach), a command run inside a container (exec) or a server's serial
// console. A job asks the cloud for the WebSocket address and opens it; one
// console thread then moves bytes between the socket and two buffers, and
// the main thread feeds the terminal model, draws its cells and turns keys,
// mouse and clipboard into bytes. One console is open at a time.
#include <cstddef>

struct KVN_SESSION;
struct KVN_WS;
struct KVN_OP;
struct Q_HTTPC_CANCEL;
union ALLEGRO_EVENT;

enum { KVN_CONSOLE_ATTACH = 0, KVN_CONSOLE_EXEC = 1, KVN_CONSOLE_SERIAL = 2 };

// ---- the console addresses (worker threads) ----------------------------------------------
// Each returns 0 with the address (which carries the console's access token:
// the caller zeroes it), or -1 with the reason in err.
int kvn_container_attach_url(KVN_SESSION *s, const char *container, char *url, size_t url_cap, char *err,
                             size_t err_cap, Q_HTTPC_CANCEL *cancel);
int kvn_container_exec_url(KVN_SESSION *s, const char *container, const char *command, char *url,
                           size_t url_cap, char *exec_id, size_t exec_id_cap, char *err, size_t err_cap,
                           Q_HTTPC_CANCEL *cancel);
int kvn_server_serial_url(KVN_SESSION *s, const char *server, char *url, size_t url_cap, char *err,
                          size_t err_cap, Q_HTTPC_CANCEL *cancel);
int kvn_container_resize(KVN_SESSION *s, const char *container, int columns, int rows, char *err,
                         size_t err_cap, Q_HTTPC_CANCEL *cancel);
int kvn_container_exec_resize(KVN_SESSION *s, const char *container, const char *exec_id, int columns,
                              int rows, char *err, size_t err_cap, Q_HTTPC_CANCEL *cancel);
// The console's WebSocket with the profile's verification and CA file.
KVN_WS *kvn_console_ws_open(KVN_SESSION *s, const char *url, char *err, size_t err_cap,
                            Q_HTTPC_CANCEL *cancel);
// The address at the start of an answer text (a JSON string or plain text):
// leading blanks and LFs skipped, "ws://" or "wss://" required, cut at the
// first space, CR, LF or double quote. 0, or -1 (url "") without one.
int kvn_console_url_in_text(const char *text, char *url, size_t url_cap);

// ---- the window (main thread) ------------------------------------------------------------
// Registers "container_attach", "container_exec" and "server_serial" with the
// resource panel.
void kvn_gui_term_register(void);
// Opens a console of the kind on the resource (closing the one open before).
// command: the exec's command line, else ignored. 0, or -1 when the window
// cannot be made.
int kvn_gui_term_open(int kind, const char *id, const char *name, const char *command);
// Every frame: moves received bytes into the terminal, sends the debounced
// resize, notices the end of the console and a window closed by the user.
void kvn_gui_term_tick(void);
// Keyboard events while the console is topmost and typing: 1 when consumed.
int kvn_gui_term_key_event(const ALLEGRO_EVENT *ev);
// Closes the console (the window hides); at shutdown and on disconnect.
void kvn_gui_term_close(void);
// Closes the console and forgets the window, before the GUI context is
// destroyed (a later context builds the window afresh).
void kvn_gui_term_shutdown(void);
// Whether a console window is open.
int kvn_gui_term_is_open(void);

// For tests and the gallery.
struct KVN_GUI_TERM_IDS {
    int window, area, detach, ctrl_c, copy, paste, status;
    int columns, rows; // the grid
    int typing;        // keys go to the console
    int scroll;        // lines scrolled back
    int linked;        // the console thread runs
    long long fed;     // bytes from the console fed to the terminal
    long long waiting; // bytes received and not yet fed
    unsigned generation;
    char exec_id[256];
};
void kvn_gui_term_ids(KVN_GUI_TERM_IDS *out);
// The screen line of the terminal as text ("" without a terminal).
int kvn_gui_term_line(int row, char *out, size_t cap);
// Opens a console straight on a WebSocket address, without asking the cloud
// (tests and the gallery).
int kvn_gui_term_open_url(int kind, const char *url, const char *name);
// The operation of the exec console's command form.
const KVN_OP *kvn_gui_term_exec_op(void);
// Opens the window on a terminal fed with the bytes and no connection (the
// gallery). 0, or -1 when the window cannot be made.
int kvn_gui_term_show(int kind, const char *name, const void *bytes, size_t length);
// Pastes a text as the Paste button does with the clipboard's.
void kvn_gui_term_paste_text(const char *text);
