#pragma once
// The server creation wizard: one page that creates servers with everything
// chosen from lists (an active image, a flavor whose rows that do not fit
// the remaining quota are red, networks, security groups, a key pair),
// optional boot from a new volume and cloud-init user data, and a quota line
// that shows the usage the creation would lead to. It opens as the panel's
// "server_wizard" window. Main thread; the lists and the creation run as
// jobs matched by the wizard's generation.
#include <cstddef>

struct cJSON;
struct KVN_RESOURCE;
struct KVN_OP;

// The six lists, reloaded at every opening.
enum {
    KVN_WIZ_IMAGES = 0,
    KVN_WIZ_FLAVORS = 1,
    KVN_WIZ_NETWORKS = 2,
    KVN_WIZ_SECGROUPS = 3,
    KVN_WIZ_KEYPAIRS = 4,
    KVN_WIZ_LIMITS = 5,
    KVN_WIZ_LISTS = 6,
};

// ---- the rules (no window) ----------------------------------------------------------------

// The proposed boot volume size in GB of an image: the largest of 10, its
// "min_disk" and its "size" in GiB, rounded up.
double kvn_wizard_volume_size(const cJSON *image);
// The project's quota figures under "limits"."absolute" of a /limits answer;
// a missing maximum is -1, a missing usage 0.
struct KVN_WIZ_QUOTA {
    double max_instances, used_instances, max_cores, used_cores, max_ram, used_ram; // RAM in MiB
};
int kvn_wizard_quota(const cJSON *limits, KVN_WIZ_QUOTA *out);
// Whether a flavor fits the remaining cores and RAM (an unknown remainder
// never refuses).
int kvn_wizard_flavor_fits(const KVN_WIZ_QUOTA *q, const cJSON *flavor);
// The quota line after creating count servers of the flavor (none: 0 vCPUs
// and RAM); limits null gives "Quota: loading...". Returns 1 when a known
// maximum would be exceeded.
int kvn_wizard_quota_line(const cJSON *limits, const cJSON *flavor, int count, char *out, size_t size);

// What the window's inputs hold when Create is pressed.
struct KVN_WIZ_CHOICE {
    const char *name, *count_text, *image_id, *flavor_id, *key_name, *user_data;
    int boot_volume, delete_volume;
    const char *volume_size_text;
    const char *const *network_ids;
    int network_count;
    const char *const *group_names;
    int group_count;
};
// The body of POST /servers, or null with the refusal in err.
cJSON *kvn_wizard_body(const KVN_WIZ_CHOICE *c, char *err, size_t err_size);

// ---- the window -----------------------------------------------------------------------------

// Registers "server_wizard" with the resource panel.
void kvn_gui_wizard_register(void);
// Opens the wizard (nothing without a session); the panels of the resource
// reload after a creation. 0, or -1 when it did not open.
int kvn_gui_wizard_open(const KVN_RESOURCE *res);
// Opens it without asking the cloud for the lists (the gallery and tests
// hand them in with kvn_gui_wizard_take).
int kvn_gui_wizard_show(const KVN_RESOURCE *res);
// A list answer (owned; null with an error text for a failure) as if the
// current opening's request had brought it.
void kvn_gui_wizard_take(int index, cJSON *answer, const char *error);
// The body Create would send now, or null with the message shown.
cJSON *kvn_gui_wizard_request(void);
// Hides the wizard and drops its lists: the connection changed, and lists of
// another project must not feed a creation in this one.
void kvn_gui_wizard_close(void);
// Escape on a window: hides it when it is the wizard. 1 when it did.
int kvn_gui_wizard_escape(int window);
// Forgets the window before the GUI context goes.
void kvn_gui_wizard_shutdown(void);

// For tests and the gallery.
struct KVN_WIZARD_IDS {
    int window, name, count, filter, images, flavors, boot_volume, volume_size, delete_volume;
    int networks, keypair, user_data, groups, quota, message, create, cancel;
    int quota_over; // the quota line is in the error colour
    int creating;   // a creation runs
    int answers;    // list answers taken since the last opening
    unsigned generation;
};
void kvn_gui_wizard_ids(KVN_WIZARD_IDS *out);
