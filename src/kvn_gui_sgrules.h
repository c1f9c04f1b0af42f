#pragma once
// The security group rules editor: the rules of one security group in a
// grid, eight preset buttons and a custom protocol and port range for new
// rules (sharing one direction, IP version and remote prefix), and deletion
// of the selected rules. It opens as the panel's "sg_rules" window. Main
// thread; the calls run as jobs matched by generation.
#include <cstddef>

struct cJSON;
struct KVN_RESOURCE;
struct KVN_OP;

enum { KVN_SG_PRESETS = 8, KVN_SG_PROTOCOLS = 10, KVN_SG_DELETE_MAX = 256 };

// ---- the rules (no window) ----------------------------------------------------------------

// A preset button: its label, protocol (null for any) and ports (-1 none).
struct KVN_SG_PRESET {
    const char *label;
    const char *protocol;
    int port_min, port_max;
};
const KVN_SG_PRESET *kvn_sgrules_preset(int index);
// The custom protocol drop-down's entries, "any" first.
const char *kvn_sgrules_protocol(int index);

// Checks a custom rule from the two port texts: 0 with the ports to send
// (-1 for one left out), or -1 with the refusal in err.
int kvn_sgrules_custom_ports(const char *protocol, const char *min_text, const char *max_text, int *port_min,
                             int *port_max, char *err, size_t err_size);
// The body of a new rule; protocol null or "" for any, ports sent when not
// negative, remote sent when not empty. Null on exhausted memory.
cJSON *kvn_sgrules_body(const char *group_id, int egress, int ipv6, const char *protocol, int port_min,
                        int port_max, const char *remote);
// The grid cells of a rule: direction, ether type, protocol, port min, port
// max, remote, description, id; each cut at cell_size.
enum { KVN_SG_COLUMNS = 8 };
void kvn_sgrules_cells(const cJSON *rule, char cells[][256]);

// ---- the window -----------------------------------------------------------------------------

// Registers "sg_rules" with the resource panel.
void kvn_gui_sgrules_register(void);
// Opens the editor on a security group item of the resource (its panels
// reload after a change). 0, or -1 with the status set.
int kvn_gui_sgrules_open(const KVN_RESOURCE *res, const cJSON *group);
// Hides the editor: the connection changed (answers under way are dropped).
void kvn_gui_sgrules_close(void);
// Escape on a window: hides it when it is the editor. 1 when it did.
int kvn_gui_sgrules_escape(int window);
// Forgets the window before the GUI context goes (answers still under way
// are dropped).
void kvn_gui_sgrules_shutdown(void);

// For tests and the gallery.
struct KVN_SGRULES_IDS {
    int window, title, refresh, grid, del, message, direction, ip_version, remote;
    int presets[KVN_SG_PRESETS];
    int protocol, port_min, port_max, add, close;
    int running;         // add or delete jobs under way
    int loads;           // rule lists requested since the window was built
    unsigned generation; // of the rule list
    char group_id[256], group_name[256];
};
void kvn_gui_sgrules_ids(KVN_SGRULES_IDS *out);
// Opens the editor on a group with a rule list answer (owned) as if the
// cloud had sent it, without a session: the gallery.
int kvn_gui_sgrules_show(const cJSON *group, cJSON *rules);
