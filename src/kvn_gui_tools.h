#pragma once
// Two small tools reached from descriptor operations: "token_issue" shows the
// session's token with its scope, "ssh_command" ready-to-paste ssh lines for
// the selected server. Both format what the program already holds and never
// call the cloud. Main thread.

#include <cstddef>

struct cJSON;
struct KVN_SESSION;

// Registers "token_issue" and "ssh_command" with the resource panel.
void kvn_gui_tools_register(void);
// One "ssh" line per address of the server, floating addresses first; the
// user is "<user>" when empty. Lines that do not fit are left out. Returns
// the number of lines written.
int kvn_ssh_lines(const cJSON *server, const char *user, char *out, size_t size);
// The token window's text: the token, its expiry and its scope. The caller
// zeroes the text when done. -1 without a session.
int kvn_token_text(KVN_SESSION *session, char *out, size_t size);
