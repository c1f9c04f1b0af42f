#pragma once
// The three shared dialogs every window uses: the result window (a read-only
// text with Copy, Open in browser, an optional save-secret button and Close),
// the Yes/No confirmation, and the wrapper through which windows ask for a
// path with the file chooser. Each is built once, in the application's GUI
// context, and reused: showing one again replaces its content. Main thread.

// A confirmation's on-Yes and release functions both get the caller's value.
typedef void (*KVN_CONFIRM_FN)(void *value);
// A chosen path; called once per choice, never on cancel.
typedef void (*KVN_CHOOSE_FN)(const char *path, void *context);

enum { KVN_CHOOSE_OPEN = 0, KVN_CHOOSE_SAVE = 1, KVN_CHOOSE_FOLDER = 2 };

// Title null or empty gives "Result"; the JSON flag colours the text as JSON;
// a non-empty URL shows "Open in browser". Drops any secret offered before.
void kvn_gui_show_result(const char *title, const char *text, int is_json, const char *url);
// After a result is shown: keeps a copy of the secret (zeroed when dropped)
// and shows the save button with the text given. Nothing happens when the
// result window was never built.
void kvn_gui_result_offer_save(const char *button_text, const char *secret, const char *default_name);
// A pending confirmation that is replaced gets its release function called
// with its value, without its on-Yes function. Yes calls on_yes(value) and
// then release(value); No and Escape call release(value) only.
void kvn_gui_confirm(const char *title, const char *first_line, const char *second_line,
                     KVN_CONFIRM_FN on_yes, void *value, KVN_CONFIRM_FN release);
// Opens the chooser in KVN_CHOOSE_* mode; 0 when it opened, -1 (with the
// status "cannot open the file chooser") when it could not be made.
int kvn_gui_choose_file(const char *title, int mode, const char *start_path, KVN_CHOOSE_FN callback,
                        void *context);

// The connect dialog: profiles, the form, imports and the authentication job.
// Builds it on first use, restores its place and shows and raises it.
void kvn_gui_connect_open(void);
// Opens the dialog, imports the OS_* environment and connects at once.
// When kvn_gui_connect_start_env ran at start-up, the dialog takes over
// the authentication already under way instead of asking again.
void kvn_gui_connect_from_env(void);
// Start-up only, before the display exists: imports the OS_* environment
// and starts authenticating with it, so the token comes while Allegro,
// the display and the fonts come up. Does nothing when the environment
// cannot connect without the dialog (no URL or secret). Returns 1 when
// a job was started.
int kvn_gui_connect_start_env(void);

// The connect dialog's own part of kvn_gui_dialogs_close_window: the cloud
// chooser closes (importing nothing), else the dialog hides (taking the typed
// secrets with it). 1 when it closed one.
int kvn_gui_connect_close_window(int window);
// The connect dialog's part of kvn_gui_dialogs_shutdown: the edited profile
// is wiped, a running authentication's answer will be dropped.
void kvn_gui_connect_shutdown(void);
// 1 while an authentication job of the dialog runs.
int kvn_gui_connect_in_progress(void);

// Escape and the main loop: closes the window when it is one of these dialogs
// and open (the confirmation answers No, the result drops its secret, the
// chooser cancels, the connect dialog and its cloud chooser close). 1 when
// it closed one, else 0.
int kvn_gui_dialogs_close_window(int window);
// At shutdown, before the GUI context goes: drops the chooser, the offered
// secret and the pending confirmation (its value is released).
void kvn_gui_dialogs_shutdown(void);

// Window and widget ids, -1 for those not built yet (tests and the gallery).
struct KVN_GUI_DIALOG_IDS {
    int result_window, result_text, result_copy, result_open, result_save, result_close;
    int confirm_window, confirm_first, confirm_second, confirm_yes, confirm_no;
    int chooser_window;
};
void kvn_gui_dialogs_ids(KVN_GUI_DIALOG_IDS *out);
struct KVN_GUI_CONNECT_IDS {
    int window, list, new_btn, import_openrc, import_clouds, from_env, delete_btn;
    int name, auth_url, auth_type, username_label, username, cred_id_label, cred_id;
    int user_domain_label, user_domain, cred_name_label, cred_name;
    int project_name, project_id, project_domain, region, interface, ca_file, browse, insecure;
    int secret_label, secret, store, master, unlock, message, save, connect, close;
    int clouds_window, clouds_list, clouds_import, clouds_cancel;
};
void kvn_gui_connect_ids(KVN_GUI_CONNECT_IDS *out);
struct Q_GUI_FILECHOOSER;
// The chooser behind kvn_gui_choose_file, null until first used.
Q_GUI_FILECHOOSER *kvn_gui_dialogs_chooser(void);
