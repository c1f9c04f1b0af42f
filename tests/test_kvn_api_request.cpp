// labels: unit
// Placeholder expansion, query strings, typed bodies, JSON Patch, the whole
// preparation, and list cell formats.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "kvn_api.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
// One operation parsed from descriptor text, kept with its catalogue.
struct OP_FIXTURE {
    KVN_API *api = nullptr;
    const KVN_OP *op = nullptr;
    explicit OP_FIXTURE(const std::string &op_json) {
        api = static_cast<KVN_API *>(calloc(1, sizeof(KVN_API)));
        std::string doc = R"({"service": "s", "resources": [{"id": "r", "list": {"path": "/r"}, "create": )" + op_json + "}]}";
        EXPECT_EQ(kvn_api_add(api, doc.c_str(), "t.json"), 0);
        EXPECT_STREQ(api->error_text, "");
        op = kvn_api_lookup(api, "s.r")->create;
    }
    ~OP_FIXTURE() { kvn_api_free(&api); }
};

std::string print(const cJSON *j) {
    if (!j) return "(none)";
    // cJSON_free, not free: under a FREED_WATCH the text comes from its hook.
    char *p = cJSON_PrintUnformatted(j);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

std::string body_of(const OP_FIXTURE &f, std::vector<const char *> values, std::string *err = nullptr) {
    cJSON *out = nullptr;
    char e[256];
    int rc = kvn_api_build_body(f.op, values.data(), e, sizeof e, &out);
    if (err) *err = e;
    std::string s = rc == 0 ? print(out) : "error: " + std::string(e);
    cJSON_Delete(out);
    return s;
}

// Watches every block cJSON frees while it lives and counts those that still
// hold a given text. Each block carries its size in a header of its own, so
// only what cJSON allocated under the watch may be freed under it: trees made
// before (descriptor documents) must outlive the watch.
struct FREED_WATCH {
    static inline const char *needle = nullptr;
    static inline int hits = 0;
    static constexpr size_t k_head = 16;
    static void *grab(size_t n) {
        char *p = static_cast<char *>(malloc(n + k_head));
        if (!p) return nullptr;
        memcpy(p, &n, sizeof n);
        return p + k_head;
    }
    static void release(void *p) {
        if (!p) return;
        char *base = static_cast<char *>(p) - k_head;
        size_t n;
        memcpy(&n, base, sizeof n);
        if (needle && memmem(p, n, needle, strlen(needle))) hits++;
        free(base);
    }
    explicit FREED_WATCH(const char *text) {
        needle = text;
        hits = 0;
        cJSON_Hooks hooks = {grab, release};
        cJSON_InitHooks(&hooks);
    }
    ~FREED_WATCH() {
        cJSON_InitHooks(nullptr);
        needle = nullptr;
    }
};
} // namespace

TEST(Request, ValueText) {
    struct {
        const char *json;
        const char *text;
    } rows[] = {
        {"\"a b\"", "a b"}, {"true", "true"}, {"false", "false"}, {"null", ""},
        {"42", "42"},       {"-7.0", "-7"},   {"1.5", "1.5"},     {"1e16", "1e+16"},
        {"[1,\"x\"]", "[1,\"x\"]"}, {"{\"a\":{}}", "{\"a\":{}}"},
    };
    char out[64];
    for (auto &r : rows) {
        Q_CJSON v(cJSON_Parse(r.json));
        kvn_api_value_text(v.get(), out, sizeof out);
        EXPECT_STREQ(out, r.text) << r.json;
    }
    kvn_api_value_text(nullptr, out, sizeof out);
    EXPECT_STREQ(out, "");
    Q_CJSON s(cJSON_CreateString("abcdefgh"));
    char small[4];
    kvn_api_value_text(s.get(), small, sizeof small);
    EXPECT_STREQ(small, "abc");
}

TEST(Request, Expand) {
    OP_FIXTURE f(R"({"path": "/x", "fields": [{"name": "image_ref"}, {"name": "id"}, {"name": "flavor"}, {"name": "project_id"}]})");
    Q_CJSON item(cJSON_Parse(R"({"id": "a b", "uuid": "u/1", "nested": {"port": [{"id": "p1"}]}, "n": 3})"));
    KVN_EXPAND_CTX ctx = {"proj", "usr", item.get(), nullptr, "par"};
    KVN_EXPAND_CTX uuid_ctx = {"proj", nullptr, item.get(), "uuid", nullptr};
    KVN_EXPAND_CTX no_item = {"proj", nullptr, nullptr, nullptr, nullptr};
    const char *vals[] = {"https://img.example/v2/images/abc-123", "field-id", "", "from-field"};
    struct {
        const char *tmpl;
        const KVN_EXPAND_CTX *ctx;
        bool with_values;
        int rc;
        const char *out;
    } rows[] = {
        {"servers/{id}/action", &ctx, false, 0, "servers/a%20b/action"},
        {"servers/{id}/action", &no_item, false, -1, "servers/{id}/action"},
        {"servers/{id}", &no_item, true, 0, "servers/field-id"},
        {"servers/{id}", &uuid_ctx, true, 0, "servers/u%2F1"},
        {"servers/{id|base}", &uuid_ctx, true, 0, "servers/1"},
        {"images/{image_ref|base}", nullptr, true, 0, "images/abc-123"},
        {"{project_id}/{user_id}/{parent_id}", &ctx, true, 0, "proj/usr/par"},
        {"{user_id}", &no_item, true, -1, "{user_id}"},          // no other source with a context
        {"{project_id}", nullptr, true, 0, "from-field"},          // without a context: the field
        {"{flavor}", &ctx, true, -1, "{flavor}"},                  // empty field, item has none
        {"{n}/{item.nested.port.0.id}", &ctx, true, 0, "3/p1"},   // dotted item paths
        {"a{b", &ctx, true, 0, "a{b"},                             // a brace without its pair
        {"{}", &ctx, true, -1, "{}"},
        {"{missing}/{id}", &ctx, true, -1, "{missing}/a%20b"},    // expansion goes on after a failure
    };
    char out[128];
    for (auto &r : rows) {
        int rc = kvn_api_expand(r.tmpl, r.ctx, f.op, r.with_values ? vals : nullptr, out, sizeof out);
        EXPECT_EQ(rc, r.rc) << r.tmpl;
        EXPECT_STREQ(out, r.out) << r.tmpl;
    }
    // Too long for the output: -1, and as much as fits.
    char small[8];
    EXPECT_EQ(kvn_api_expand("servers/{id}", &ctx, nullptr, nullptr, small, sizeof small), -1);
    EXPECT_STREQ(small, "servers");
}

TEST(Request, Query) {
    OP_FIXTURE f(R"({"path": "/x", "fields": [
        {"name": "limit", "in": "query"}, {"name": "all", "type": "bool", "in": "query"},
        {"name": "keep", "type": "bool", "in": "query", "omit_empty": false},
        {"name": "name", "in": "query"}, {"name": "body"}]})");
    struct {
        const char *path;
        std::vector<const char *> vals;
        const char *out;
    } rows[] = {
        {"/s?x=1", {"10", "", "", "", "b"}, "/s?x=1&limit=10"},
        {"/s", {"10", "false", "false", "a b&c", ""}, "/s?limit=10&keep=false&name=a%20b%26c"},
        {"/s", {"", "true", "", "", "x"}, "/s?all=true"},
        {"/s", {nullptr, nullptr, nullptr, nullptr, nullptr}, "/s"},
    };
    for (auto &r : rows) {
        char path[128];
        q_strcpy(path, sizeof path, r.path);
        kvn_api_append_query(f.op, r.vals.data(), path, sizeof path);
        EXPECT_STREQ(path, r.out) << r.out;
    }
    char small[10] = "/s";
    const char *v[] = {"123456789", "", "", "", ""};
    kvn_api_append_query(f.op, v, small, sizeof small);
    EXPECT_STREQ(small, "/s?limit=");
}

TEST(Request, BodyConversions) {
    TEST_DIR d;
    test_write_file(d.file("data.bin"), "hi!");
    OP_FIXTURE f(R"({"path": "/x", "key": "server", "fields": [
        {"name": "name", "label": "Name", "required": true},
        {"name": "count", "label": "Count", "type": "int"},
        {"name": "ratio", "label": "Ratio", "type": "number"},
        {"name": "on", "type": "bool"},
        {"name": "mode", "type": "enum", "values": ["a", "null"]},
        {"name": "tags", "type": "list"},
        {"name": "nets", "type": "list", "wrap": "uuid"},
        {"name": "metadata.role", "label": "Meta", "type": "kv"},
        {"name": "extra", "label": "Extra", "type": "json"},
        {"name": "net", "type": "ref", "ref": "s.r", "wrap": "uuid"},
        {"name": "sgs", "type": "ref", "ref": "s.r", "multi": true, "wrap": "name"},
        {"name": "data", "label": "Data", "type": "text", "base64": true},
        {"name": "blob", "label": "Blob", "type": "file", "base64": true},
        {"name": "upload", "type": "file"},
        {"name": "q", "in": "query"}]})");
    // Every row names the fields it fills; the others stay empty, and the
    // required name is "vm" unless a row says otherwise.
    using SET = std::vector<std::pair<const char *, const char *>>;
    auto vals = [&](const SET &set) {
        std::vector<const char *> v(f.op->field_count, "");
        v[0] = "vm";
        for (auto &p : set) {
            int i = 0;
            while (i < f.op->field_count && strcmp(f.op->fields[i].name, p.first)) i++;
            EXPECT_LT(i, f.op->field_count) << p.first;
            if (i < f.op->field_count) v[i] = p.second;
        }
        return v;
    };
    // clang-format off
    struct {
        SET set;
        const char *expect;
    } rows[] = {
        {{}, R"({"server":{"name":"vm"}})"},
        {{{"count", "12"}, {"ratio", "0.5"}, {"on", "yes"}, {"mode", "null"}}, R"({"server":{"name":"vm","count":12,"ratio":0.5,"on":true,"mode":null}})"},
        {{{"on", "1"}, {"mode", "a"}}, R"({"server":{"name":"vm","on":true,"mode":"a"}})"},
        {{{"on", "no"}}, R"({"server":{"name":"vm","on":false}})"},
        {{{"tags", " a, ,b\n"}, {"nets", "x,y"}}, R"({"server":{"name":"vm","tags":["a","b"],"nets":[{"uuid":"x"},{"uuid":"y"}]}})"},
        {{{"metadata.role", "k=v\n  k=w\r\n\n a=b=c"}}, R"({"server":{"name":"vm","metadata":{"role":{"k":"w","a":"b=c"}}}})"},
        {{{"extra", R"({"x": [1]})"}}, R"({"server":{"name":"vm","extra":{"x":[1]}}})"},
        {{{"extra", "\"s\"\r\n "}}, R"({"server":{"name":"vm","extra":"s"}})"}, // trailing white space is fine
        {{{"net", "n1"}, {"sgs", "default,web"}}, R"({"server":{"name":"vm","net":{"uuid":"n1"},"sgs":[{"name":"default"},{"name":"web"}]}})"},
        {{{"data", "hello"}}, R"({"server":{"name":"vm","data":"aGVsbG8="}})"},
        {{{"upload", "/no/such/file"}, {"q", "qv"}}, R"({"server":{"name":"vm"}})"}, // plain file and query add nothing
    };
    for (auto &r : rows) EXPECT_EQ(body_of(f, vals(r.set)), r.expect) << r.expect;

    std::string blob = d.file("data.bin");
    EXPECT_EQ(body_of(f, vals({{"blob", blob.c_str()}})), R"({"server":{"name":"vm","blob":"aGkh"}})");

    struct {
        SET set;
        std::string error;
    } errors[] = {
        {{{"name", ""}}, "Name is required"},
        {{{"count", "12abc"}}, "Count must be an integer"},
        {{{"count", "99999999999999999999"}}, "Count must be an integer"},
        {{{"ratio", "1.5x"}}, "Ratio must be a number"},
        {{{"ratio", "nan"}}, "Ratio must be a number"},
        {{{"metadata.role", "k=v\n=x"}}, "Meta: expected key=value lines"},
        {{{"extra", "{bad"}}, "Extra is not valid JSON"},
        {{{"extra", "{\"a\":1}}"}}, "Extra is not valid JSON"},
        {{{"extra", "[1] 2"}}, "Extra is not valid JSON"},
        {{{"blob", "/no/such/file"}}, "Blob: cannot read /no/such/file (missing, or larger than 33554432 bytes)"},
    };
    // clang-format on
    for (auto &e : errors) EXPECT_EQ(body_of(f, vals(e.set)), "error: " + e.error);
}

TEST(Request, EmptyValuesByFlags) {
    OP_FIXTURE f(R"({"path": "/x", "fields": [
        {"name": "a", "type": "int"},
        {"name": "b", "type": "int", "omit_empty": false},
        {"name": "c", "type": "string", "nullable": true},
        {"name": "d", "type": "bool"},
        {"name": "e", "type": "bool", "omit_empty": false},
        {"name": "f", "type": "bool", "default": true},
        {"name": "g", "type": "list", "omit_empty": false}]})");
    EXPECT_EQ(body_of(f, {"", "", "", "", "", "", ""}), R"({"b":0,"c":null,"e":false,"f":true,"g":[]})");

    // Only query, path and file fields: no body, but required is still checked.
    OP_FIXTURE q(R"({"path": "/x", "fields": [{"name": "n", "label": "N", "in": "query", "required": true}, {"name": "f", "type": "file"}]})");
    EXPECT_EQ(body_of(q, {"v", ""}), "(none)");
    EXPECT_EQ(body_of(q, {"", ""}), "error: N is required");

    // Templates, with and without a key. A template that is not an object has
    // no member for the key, so the values are dropped; the asan run proves
    // nothing is left behind by the object the key would have had.
    // clang-format off
    struct {
        const char *op;
        std::vector<const char *> values;
        const char *expect;
    } templates[] = {
        {R"({"path": "/x", "body": {"reboot": {"type": "SOFT"}}})", {}, R"({"reboot":{"type":"SOFT"}})"},
        {R"({"path": "/x", "key": "reboot", "body": {"reboot": "HARD"}, "fields": [{"name": "type"}]})", {"SOFT"}, R"({"reboot":{"type":"SOFT"}})"},
        {R"({"path": "/x", "key": "k", "body": ["a"], "fields": [{"name": "n"}]})", {"v"}, R"(["a"])"},
        {R"({"path": "/x", "key": "k", "body": "text", "fields": [{"name": "n.m"}]})", {"v"}, R"("text")"},
        {R"({"path": "/x", "body": [1], "fields": [{"name": "n", "type": "list"}]})", {"a,b"}, R"([1])"},
    };
    // clang-format on
    for (auto &t : templates) {
        OP_FIXTURE op(t.op);
        EXPECT_EQ(body_of(op, t.values), t.expect) << t.op;
    }
}

TEST(Request, JsonPatch) {
    OP_FIXTURE f(R"({"path": "/x", "json_patch": true, "key": "ignored", "body": {"ignored": 1}, "fields": [
        {"name": "name"}, {"name": "description"}, {"name": "min_ram", "type": "int"},
        {"name": "protected", "type": "bool"}, {"name": "tags", "type": "list"},
        {"name": "q", "in": "query", "required": true}]})");
    EXPECT_EQ(body_of(f, {"img", "", "", "", "", ""}), R"([{"op":"add","path":"/name","value":"img"}])");
    EXPECT_EQ(body_of(f, {"", "", "512", "true", "a,b", ""}),
              R"([{"op":"add","path":"/min_ram","value":512},{"op":"add","path":"/protected","value":true},)"
              R"({"op":"add","path":"/tags","value":["a","b"]}])");
    OP_FIXTURE req(R"({"path": "/x", "json_patch": true, "fields": [{"name": "name", "label": "Name", "required": true}]})");
    EXPECT_EQ(body_of(req, {""}), "error: Name is required");
    OP_FIXTURE none(R"({"path": "/x", "json_patch": true})");
    EXPECT_EQ(body_of(none, {}), "[]");
}

TEST(Request, PrepareExpandsPathQueryAndBody) {
    OP_FIXTURE f(R"({"path": "/projects/{project_id}/servers/{id}/action", "key": "rebuild",
        "body": {"rebuild": {"imageRef": "{image|base}", "{label}": "x", "keep": "{unknown}"}},
        "fields": [{"name": "image", "in": "path"}, {"name": "label", "in": "path"}, {"name": "dry", "in": "query"},
                   {"name": "name"}]})");
    Q_CJSON item(cJSON_Parse(R"({"id": "srv1"})"));
    KVN_EXPAND_CTX ctx = {"p1", nullptr, item.get(), nullptr, nullptr};
    const char *vals[] = {"http://g/images/img9", "tag", "1", "new"};
    char path[256], err[128];
    cJSON *body = nullptr;
    ASSERT_EQ(kvn_api_prepare(f.op, &ctx, vals, path, sizeof path, &body, err, sizeof err), 0) << err;
    EXPECT_STREQ(path, "/projects/p1/servers/srv1/action?dry=1");
    EXPECT_EQ(print(body), R"({"rebuild":{"imageRef":"img9","tag":"x","keep":"{unknown}","name":"new"}})");
    cJSON_Delete(body);

    KVN_EXPAND_CTX no_item = {"p1", nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(kvn_api_prepare(f.op, &no_item, vals, path, sizeof path, &body, err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot resolve /projects/{project_id}/servers/{id}/action");
    EXPECT_EQ(body, nullptr);
}

// Placeholders belong to the descriptor: its path, body template, key and
// field names. What the user typed, or what the item holds, reaches the body
// exactly as it was, braces and percent signs included.
TEST(Request, PrepareNeverRewritesTypedValues) {
    OP_FIXTURE f(R"({"path": "/projects/{project_id}/servers", "key": "{kind}",
        "body": {"{kind}": {"name": "{label}", "origin": "{item.origin}"}},
        "fields": [{"name": "label", "in": "path"}, {"name": "kind", "in": "path"},
                   {"name": "description"}, {"name": "adminPass", "type": "password"},
                   {"name": "user_data", "type": "text"}, {"name": "extra", "type": "json"},
                   {"name": "metadata", "type": "kv"}, {"name": "tags", "type": "list"},
                   {"name": "meta.{label}"}]})");
    Q_CJSON item(cJSON_Parse(R"({"origin": "{label} %41"})"));
    KVN_EXPAND_CTX ctx = {"p1", "u1", item.get(), nullptr, nullptr};
    const char *vals[] = {"web",
                          "server",
                          "{label} of {project_id}",
                          "p{label}w%",
                          "#!/bin/sh\necho {project_id} > /tmp/{kind}%20",
                          R"({"{label}": "{project_id}", "n": "%2F"})",
                          "{label}={project_id}\nk={kind}",
                          "{label},{kind}",
                          "v{label}"};
    char path[256], err[128];
    cJSON *raw = nullptr;
    ASSERT_EQ(kvn_api_prepare(f.op, &ctx, vals, path, sizeof path, &raw, err, sizeof err), 0) << err;
    Q_CJSON body(raw);
    EXPECT_STREQ(path, "/projects/p1/servers");
    // clang-format off
    struct {
        const char *member;
        const char *expect;
    } rows[] = {
        {"server.name", R"("web")"},                        // the template's own placeholder
        {"server.origin", R"("%7Blabel%7D%20%2541")"},      // an item value goes in once, encoded, never expanded
        {"server.description", R"("{label} of {project_id}")"},
        {"server.adminPass", R"("p{label}w%")"},
        {"server.user_data", R"("#!/bin/sh\necho {project_id} > /tmp/{kind}%20")"},
        {"server.extra", R"({"{label}":"{project_id}","n":"%2F"})"},
        {"server.metadata", R"({"{label}":"{project_id}","k":"{kind}"})"},
        {"server.tags", R"(["{label}","{kind}"])"},
        {"server.meta.web", R"("v{label}")"},               // a field name is the descriptor's text
    };
    // clang-format on
    for (auto &r : rows)
        EXPECT_EQ(print(kvn_api_json_at(body.get(), r.member)), r.expect) << r.member;
}

// A build that stops half-way has already copied earlier values, passwords
// among them, into the partial body; it must wipe them before freeing.
TEST(Request, BuilderWipesPasswordsBeforeFreeingThem) {
    const char *pw = "S3cr3t-pw";
    // clang-format off
    struct {
        const char *op;
        std::vector<const char *> values;
        std::string expect; // what body_of gives
    } rows[] = {
        {R"({"path": "/x", "fields": [{"name": "pw", "type": "password"}, {"name": "n", "label": "N", "type": "int"}]})", {pw, "x"}, "error: N must be an integer"},
        {R"({"path": "/x", "key": "server", "fields": [{"name": "a.pw", "type": "password"}, {"name": "n", "label": "N", "type": "number"}]})", {pw, "1x"}, "error: N must be a number"},
        {R"({"path": "/x", "fields": [{"name": "pw", "type": "password"}, {"name": "m", "label": "M", "type": "kv"}]})", {pw, "k=v\n=x"}, "error: M: expected key=value lines"},
        {R"({"path": "/x", "fields": [{"name": "m", "label": "M", "type": "kv"}]})", {"pass=S3cr3t-pw\n=x"}, "error: M: expected key=value lines"},
        {R"({"path": "/x", "fields": [{"name": "m", "label": "M", "type": "kv"}]})", {"pass=S3cr3t-pw\npass=x"}, R"({"m":{"pass":"x"}})"}, // replaced, not dropped
        {R"({"path": "/x", "fields": [{"name": "j", "label": "J", "type": "json"}]})", {R"({"p": "S3cr3t-pw"}})"}, "error: J is not valid JSON"},
        {R"({"path": "/x", "fields": [{"name": "pw", "type": "password"}, {"name": "j", "label": "J", "type": "json"}]})", {pw, "{bad"}, "error: J is not valid JSON"},
        {R"({"path": "/x", "body": {"t": 1}, "fields": [{"name": "pw", "type": "password"}, {"name": "r", "label": "R", "required": true}]})", {pw, ""}, "error: R is required"},
        {R"({"path": "/x", "json_patch": true, "fields": [{"name": "pw", "type": "password"}, {"name": "r", "label": "R", "required": true}]})", {pw, ""}, "error: R is required"},
    };
    // clang-format on
    for (auto &r : rows) {
        OP_FIXTURE f(r.op);
        FREED_WATCH watch(pw);
        EXPECT_EQ(body_of(f, r.values), r.expect) << r.op;
        EXPECT_EQ(FREED_WATCH::hits, 0) << r.op;
    }
}

TEST(Request, CellFormats) {
    Q_CJSON item(cJSON_Parse(R"({
        "created": "2024-05-06T07:08:09.123456", "size": 1536, "small": 1023, "disk": 2, "huge": 1e30,
        "obj3": {"a": 1, "b": 2, "c": 3}, "str": "x", "upper": "TRUE", "one": 1,
        "mixed": [{"name": "a"}, {"id": "b"}, 5, {}],
        "addresses": {"net1": [{"addr": "10.0.0.1"}, {"addr": "10.0.0.2"}], "net2": []},
        "ports": [{"ip_address": "1.1.1.1"}, {"subnet": "x"}, {"ip_address": "2.2.2.2"}],
        "meta": {"k": "v", "n": 2}, "multi": "line\none\ttab"})"));
    struct {
        const char *field, *format, *expect;
    } rows[] = {
        {"created", "date", "2024-05-06 07:08:09"},
        {"size", "bytes", "1.5 KiB"},
        {"small", "bytes", "1023 B"},
        {"disk", "gib", "2.0 GiB"},
        {"disk", "mib", "2.0 MiB"},
        {"huge", "bytes", "888178419700125.2 PiB"},
        {"obj3", "count", "3"},
        {"str", "count", "0"},
        {"upper", "bool", "yes"},
        {"one", "bool", "no"},
        {"mixed", "list", "a, b, 5, "},
        {"addresses", "addresses", "net1=10.0.0.1, 10.0.0.2; net2="},
        {"ports", "fixed_ips", "1.1.1.1, 2.2.2.2"},
        {"meta", "kv", "k=v, n=2"},
        {"multi", nullptr, "line one tab"},
        {"str", "bytes", "x"},       // a rule of another kind falls back to plain text
        {"missing", "bytes", ""},
        {"obj3.b", nullptr, "2"},
    };
    for (auto &r : rows) {
        KVN_COLUMN col = {"t", r.field, r.format, 100};
        char out[128];
        kvn_api_format_cell(item.get(), &col, out, sizeof out);
        EXPECT_STREQ(out, r.expect) << r.field << " " << (r.format ? r.format : "");
    }
    // Joined pieces that no longer fit are dropped whole.
    KVN_COLUMN col = {"t", "ports", "fixed_ips", 100};
    char small[12];
    kvn_api_format_cell(item.get(), &col, small, sizeof small);
    EXPECT_STREQ(small, "1.1.1.1");
    KVN_COLUMN none = {"t", nullptr, nullptr, 100};
    kvn_api_format_cell(item.get(), &none, small, sizeof small);
    EXPECT_STREQ(small, "");
}
