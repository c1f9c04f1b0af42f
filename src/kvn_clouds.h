#pragma once
// Credentials in the OpenStack tools' own formats: clouds.yaml (with
// secure.yaml beside it), openrc export lines, and the OS_* environment of a
// shell that sourced one, each turned into a profile. The YAML reader covers
// what those files use; it is not a general YAML library.

#include <cstddef>

#include "kvn_profile.h"

enum {
    KVN_YAML_MAX_LEVELS = 31,    // nested mappings and sequence elements
    KVN_YAML_MAX_PATH = 32,      // components of one path
    KVN_YAML_MAX_FLOW = 64,      // elements of one flow sequence
    KVN_YAML_MAX_ENTRIES = 65536 // entries of one document
};

// One node: the keys from the root down to it (a sequence element's key is
// its index, "0", "1", ...), and its text, or none for a node that only
// opens a mapping.
struct KVN_YAML_ENTRY {
    char *path; // the components one after another, each ended by a zero byte
    size_t path_size;
    int depth;   // number of components
    char *value; // null: opens a mapping
    size_t value_size;
};

// A parsed document: the entries in the order of the text.
struct KVN_YAML_DOC {
    KVN_YAML_ENTRY *entries;
    int count;
    int capacity;
    size_t bytes; // of paths and values, held under a cap
};

// Never fails on bad input: what cannot be read is skipped, and the document
// holds what came before. Null only when the first allocation fails.
KVN_YAML_DOC *kvn_yaml_parse(const char *text);
// Frees the document, overwriting every value and key with zeros first.
void kvn_yaml_free(KVN_YAML_DOC **doc);
// The value of the last entry with a value whose path equals `path`
// (count components, at most 32), or null.
const char *kvn_yaml_get(const KVN_YAML_DOC *doc, const char *const *path, int count);
// The same with the components in one text, separated by "/".
const char *kvn_yaml_get_path(const KVN_YAML_DOC *doc, const char *path);
// The distinct names under "clouds", in order of first appearance. The array
// and its texts belong to the caller (free each, then the array).
int kvn_yaml_cloud_names(const KVN_YAML_DOC *doc, char ***out);

// Looks for "<base>.yaml", then "<base>.yml": for "clouds" first the file
// OS_CLIENT_CONFIG_FILE names, then in ".", $XDG_CONFIG_HOME/openstack (else
// $HOME/.config/openstack) and /etc/openstack. 1 with the path in out, 0 when
// none opens.
int kvn_clouds_find(const char *base, char *out, size_t size);

// Fills the profile from one cloud of clouds.yaml (secure.yaml's values win).
// Returns the number of settings found, or -1 with a message for the user.
int kvn_clouds_import(const char *cloud, KVN_PROFILE *p, char *msg, size_t msg_size);
// The same mapping from documents the caller read (a clouds.yaml the user
// chose and its secure.yaml, which may be null). Returns the number of
// settings found (0: none), -1 only without memory.
int kvn_clouds_import_doc(const KVN_YAML_DOC *clouds, const KVN_YAML_DOC *secure, const char *cloud,
                          KVN_PROFILE *p);

// Fills the profile from openrc text; returns the number of recognised OS_*
// variables (0: nothing usable). The profile's name is left to the caller.
int kvn_profile_from_openrc(const char *text, KVN_PROFILE *p);

// Fills the profile from the OS_* environment, or from the cloud OS_CLOUD
// names. Returns the number of settings or variables read with a success
// text in msg, or -1 with the failure in msg.
int kvn_import_environment(KVN_PROFILE *p, char *msg, size_t msg_size);

// A profile name made from any text: cut to 200 characters, every character
// other than a letter, digit, "-", "." or "_" replaced by "_".
void kvn_clouds_profile_name(const char *from, char *out, size_t size);
