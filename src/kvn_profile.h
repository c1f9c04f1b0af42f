#pragma once
// Connection profiles, one JSON file each under profiles/, with the secret
// sealed by a master password when the user asks for it to be kept.

enum { KVN_AUTH_PASSWORD = 0, KVN_AUTH_APPCRED = 1, KVN_AUTH_TOKEN = 2 };

struct KVN_PROFILE {
    char name[256];
    char auth_url[2048];
    int auth_type;
    char username[256];
    char user_id[256];
    char user_domain_name[256];
    char user_domain_id[256];
    char project_name[256];
    char project_id[256];
    char project_domain_name[256];
    char project_domain_id[256];
    char region[256];
    char interface[32];
    char application_credential_id[256];
    char application_credential_name[256];
    char ca_file[2048];
    int insecure;
    int store_secret;
    char secret[1024]; // clear, memory only, never written or logged
    char vault[2048];  // sealed secret, "v1:" + base64
};

void kvn_profile_defaults(KVN_PROFILE *p);
int kvn_profile_name_valid(const char *name);
int kvn_profile_save(const KVN_PROFILE *p);
int kvn_profile_load(const char *name, KVN_PROFILE *p);
// Reads a profile's JSON text into the record; -1 leaves the record untouched.
int kvn_profile_from_json(const char *text, KVN_PROFILE *p);
int kvn_profile_delete(const char *name);
// Sorted names; the array and its texts belong to the caller (free each, then
// the array). Returns the count.
int kvn_profile_list(char ***out);
int kvn_auth_type_from_text(const char *text);
void kvn_profile_wipe_secret(KVN_PROFILE *p);
int kvn_profile_vault_seal(KVN_PROFILE *p, const char *master);
int kvn_profile_vault_open(KVN_PROFILE *p, const char *master);
