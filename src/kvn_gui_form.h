#pragma once
// Operation forms: the dialog generated from the fields of one descriptor
// operation, one labelled input per field chosen by its type, prefilled from
// the selected item or the field defaults, with pick lists loaded from the
// resources that reference fields name. OK checks the values with the request
// builder and hands them to the caller; the form never sends anything itself.
// Main thread only.

#include <cstddef>

struct cJSON;
struct KVN_OP;
struct KVN_FIELD;

enum { KVN_FORMS_MAX = 256, KVN_FORM_FIELDS_MAX = 40 };

// Receives the operation, one text per field in field order (secrets
// included; valid during the call only, wiped afterwards) and the caller's
// number (a pending operation id of the resource panel, or a tool's own).
typedef void (*KVN_FORM_DONE)(const KVN_OP *op, const char *const *values, int field_count, long number,
                              void *user);

// Opens (or re-opens) the form of the operation, prefilled from item when
// given. title may be null (the operation's title, else "Form"). Nothing
// happens without a session. 0 when shown, -1 otherwise ("too many forms" is
// on the status line then).
int kvn_gui_form_open(const KVN_OP *op, const char *title, const cJSON *item, KVN_FORM_DONE done, long number,
                      void *user);
// The request made from the form failed: the form opens again with exactly
// the values it handed over (one per field, as the callback got them;
// secrets too, which stay in its inputs only and are wiped when it closes)
// and the error in its message label. A form the user has open again is left
// as it is: -1 then, and when nothing could open.
int kvn_gui_form_reopen(const KVN_OP *op, const char *title, const char *const *values, int count,
                        const char *error, KVN_FORM_DONE done, long number, void *user);
// A text in the message label of the operation's form (command tools).
void kvn_gui_form_set_message(const KVN_OP *op, const char *text);
// Whether the toolkit window is one of the forms.
int kvn_gui_form_is_form(int window);
// Escape on a form window: its answers are dropped and it hides.
void kvn_gui_form_escape(int window);
// A connection change: every pick list is dropped and late answers ignored.
void kvn_gui_form_reset_all(void);
// Frees every form record (its windows go with the GUI context).
void kvn_gui_form_destroy_all(void);

// For tests and the gallery: the form's window and the widgets of a field.
struct KVN_FORM_IDS {
    int window, message, ok, cancel;
    int field_count;
    int input[KVN_FORM_FIELDS_MAX]; // text input, drop-down or check box
    int kind[KVN_FORM_FIELDS_MAX];  // 0 text, 1 drop-down, 2 check box
    int pick[KVN_FORM_FIELDS_MAX];  // pick drop-down of a multi-valued ref, else -1
    int browse[KVN_FORM_FIELDS_MAX];
    unsigned generation;
};
// 0 and the ids of the operation's form, -1 when it was never opened.
int kvn_gui_form_ids(const KVN_OP *op, KVN_FORM_IDS *out);

// The text a field starts with: from the item at the field's name (never for
// a password), else the field default with "{user_id}" and "{project_id}"
// filled in. Cut at the capacity; 1 when there was a value, 0 when none.
int kvn_gui_form_prefill(const KVN_FIELD *field, const cJSON *item, const char *user_id,
                         const char *project_id, char *out, size_t size);
// A pick list entry: "name  (value)", "value  (id)" or the value alone.
void kvn_gui_form_entry_text(const char *name, const char *value, const char *id, char *out, size_t size);
// What a check box sends for its field.
void kvn_gui_form_bool_value(const KVN_FIELD *field, int checked, char *out, size_t size);
// Hands a pick list answer (or an error text) to a field as the loading job
// would; -1 when the form, field or generation does not match (the answer is
// dropped then). For tests.
int kvn_gui_form_deliver_list(const KVN_OP *op, int field, unsigned generation, const cJSON *answer,
                              const char *error);
