#pragma once
// The catalogue of API descriptors: services, resource kinds and operations
// read from resources/api/*.json. Every text is borrowed from the service's
// parsed document, which lives as long as the catalogue.

#include <cJSON.h>
#include <cstddef>

enum {
    KVN_API_MAX_SERVICES = 48,
    KVN_API_MAX_RESOURCES = 96,
    KVN_API_MAX_COLUMNS = 16,
    KVN_API_MAX_ACTIONS = 64,
    KVN_API_MAX_FIELDS = 40,
    KVN_API_MAX_VALUES = 32,
    KVN_API_MAX_FILES = 256,
    KVN_API_ERR_SIZE = 2048,
};

enum KVN_FIELD_TYPE {
    KVN_FT_STRING = 0,
    KVN_FT_TEXT,
    KVN_FT_PASSWORD,
    KVN_FT_INT,
    KVN_FT_NUMBER,
    KVN_FT_BOOL,
    KVN_FT_ENUM,
    KVN_FT_REF,
    KVN_FT_LIST,
    KVN_FT_KV,
    KVN_FT_JSON,
    KVN_FT_FILE,
};

enum KVN_FIELD_IN { KVN_IN_BODY = 0, KVN_IN_QUERY = 1, KVN_IN_PATH = 2 };

struct KVN_FIELD {
    const char *name;
    const char *label;
    const char *help;
    const char *def; // "default"
    int type;        // KVN_FIELD_TYPE
    int in;          // KVN_FIELD_IN
    int required;
    const char *values[KVN_API_MAX_VALUES];
    int value_count;
    const char *ref;
    const char *ref_value;
    const char *wrap;
    int multi;
    int omit_empty;
    int nullable;
    int base64;
    int folder;
};

struct KVN_SERVICE;

struct KVN_OP {
    const char *id;
    const char *title;
    const char *cli;
    const char *method;
    const char *path;
    const char *key;
    const cJSON *body;
    const char *result;
    const char *microversion;
    const char *content_type;
    const char *upload;
    const char *download;
    int confirm;
    int admin;
    int needs_item;
    int multi;
    int json_patch;
    const char *ui;
    const char *header;
    const char *accept;
    const char *raw_body;
    const char *service;
    KVN_FIELD fields[KVN_API_MAX_FIELDS];
    int field_count;
};

struct KVN_COLUMN {
    const char *title;
    const char *field;
    const char *format;
    float width;
};

struct KVN_RESOURCE {
    const char *id;
    const char *title;
    const char *cli;
    const char *help;
    int single;
    const char *list_path;
    const char *list_key;
    const char *id_field;
    const char *name_field;
    const char *show_path;
    const char *show_key;
    const char *microversion;
    int no_paging;
    const char *parent;
    int admin;
    const char *header;
    KVN_COLUMN columns[KVN_API_MAX_COLUMNS];
    int column_count;
    KVN_OP *create;
    KVN_OP *update;
    KVN_OP *del; // "delete"
    KVN_OP *actions[KVN_API_MAX_ACTIONS];
    int action_count;
    KVN_SERVICE *service;
};

struct KVN_SERVICE {
    const char *name;
    const char *title;
    const char *cli_group;
    KVN_RESOURCE *resources[KVN_API_MAX_RESOURCES];
    int resource_count;
    cJSON *document; // owned; extension documents hang under it as "_ext"
};

struct KVN_API {
    KVN_SERVICE *services[KVN_API_MAX_SERVICES];
    int service_count;
    char error_text[KVN_API_ERR_SIZE]; // one line per problem, newline-ended
    int folder_missing; // the descriptor folder does not exist at all
};

// Loads every *.json of a folder in byte order of the names. Returns null only
// when the catalogue itself cannot be allocated.
KVN_API *kvn_api_load_dir(const char *folder);
// Adds one document; -1 when it was refused. The text is parsed, not kept.
int kvn_api_add(KVN_API *api, const char *text, const char *file_name);
// Number of broken references; each is also added to the error text.
int kvn_api_check_refs(KVN_API *api);
const KVN_RESOURCE *kvn_api_lookup(const KVN_API *api, const char *key);
int kvn_api_allowed(const KVN_RESOURCE *res, const KVN_OP *op, int is_admin, int show_restricted);
void kvn_api_count(const KVN_API *api, int *resources, int *operations);
// The item array of a list answer; an object of named entries is converted in
// place into an array.
cJSON *kvn_api_items(cJSON *answer, const char *key);
cJSON *kvn_api_json_at(const cJSON *value, const char *path);
void kvn_api_free(KVN_API **api);

// ---- building requests from an operation -----------------------------------

// What placeholders may draw on besides the form's values. Every member may
// be absent.
struct KVN_EXPAND_CTX {
    const char *project_id;
    const char *user_id;
    const cJSON *item;    // the selected item
    const char *id_field; // the resource's id field ("id" when absent)
    const char *parent_id;
};

// Field values are one text per field of the operation, in field order; a
// missing text counts as empty.
typedef const char *const *KVN_VALUES;

// The text of one JSON value: strings as they are, whole numbers without a
// fraction, containers as compact JSON, null and none as "".
void kvn_api_value_text(const cJSON *value, char *out, size_t size);
// 0 when every placeholder was resolved and the result fit; the output holds
// the expansion either way, unresolved placeholders kept as they were.
int kvn_api_expand(const char *tmpl, const KVN_EXPAND_CTX *ctx, const KVN_OP *op, KVN_VALUES values, char *out,
                   size_t size);
void kvn_api_append_query(const KVN_OP *op, KVN_VALUES values, char *path, size_t size);
// 0 with the body (or none) in *out, or -1 with a message for the form. The
// template's placeholders stay as they are here; kvn_api_prepare expands them.
int kvn_api_build_body(const KVN_OP *op, KVN_VALUES values, char *err, size_t err_size, cJSON **out);
// Path, query and body of one request, in that order. Placeholders are
// expanded in the descriptor's own texts (path, body template, key, field
// names) and never inside what the user typed or the item holds.
int kvn_api_prepare(const KVN_OP *op, const KVN_EXPAND_CTX *ctx, KVN_VALUES values, char *path, size_t path_size,
                    cJSON **out, char *err, size_t err_size);

// ---- list cells --------------------------------------------------------------

// The cell text of one item for one column; always terminated, empty when
// anything is missing.
void kvn_api_format_cell(const cJSON *item, const KVN_COLUMN *column, char *out, size_t size);
