// labels: unit
// Descriptor loading, merging of extension files, the error report, lookup,
// offering rules, counting, list answers and dotted paths.
#include <gtest/gtest.h>

#include "kvn_api.h"
#include "kvn_paths.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
struct API_PTR {
    KVN_API *api = nullptr;
    ~API_PTR() { kvn_api_free(&api); }
    KVN_API *operator->() const { return api; }
};

std::vector<std::string> error_lines(const KVN_API *api) {
    std::vector<std::string> out;
    std::string text = api->error_text, line;
    for (char c : text) {
        if (c == '\n') {
            out.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    EXPECT_TRUE(line.empty()) << "error text must end with a newline";
    return out;
}

const char *k_compute = R"J({
  "service": "compute", "title": "Compute", "cli_group": "server",
  "resources": [
    {"id": "server", "cli": "server list",
     "list": {"path": "/servers/detail", "key": "servers",
              "columns": [{"field": "name"}, {"title": "Status", "field": "status", "format": "status", "width": 90}]},
     "show": {"path": "/servers/{id}", "key": "server"},
     "microversion": "2.79",
     "create": {"path": "/servers", "key": "server", "fields": [
        {"name": "name", "required": true},
        {"name": "flavorRef", "type": "ref", "ref": "compute.flavor"},
        {"name": "x", "type": "enum", "values": ["a", 1, "b"], "default": 5},
        {"name": "y", "type": "bool", "default": false, "nullable": true, "omit_empty": true},
        {"name": "q", "in": "query", "omit_empty": false},
        {"name": "p", "in": "path"}, {"name": "o", "in": "other"}]},
     "actions": [{"id": "reboot", "title": "Reboot", "path": "/servers/{id}/action", "body": {"reboot": {"type": "SOFT"}}},
                 {"path": "/servers/x"},
                 {"id": "evacuate", "title": "Evacuate (admin)", "path": "/servers/{item.id}/action"},
                 "not an object"]},
    {"id": "flavor", "list": {"path": "/flavors/detail", "key": "flavors"}},
    {"id": "limits", "kind": "single", "show": {"path": "/limits", "key": "limits"}},
    {"id": "hypervisor", "title": "Hypervisors (admin)", "list": {"path": "/os-hypervisors", "columns": [{"title": "no field"}]}}
  ]})J";

const char *k_compute_ext = R"({
  "service": "compute", "title": "ignored",
  "resources": [
    {"id": "server", "cli": "server show", "title": "ignored too",
     "delete": {"path": "/servers/{id}"},
     "create": {"path": "/ignored"},
     "actions": [{"id": "pause", "path": "/servers/{id}/action"}]},
    {"id": "keypair", "list": {"path": "/os-keypairs", "key": "keypairs"}}
  ]})";
} // namespace

TEST(Api, ParsesResourcesOperationsAndFields) {
    API_PTR a;
    a.api = static_cast<KVN_API *>(calloc(1, sizeof(KVN_API)));
    ASSERT_EQ(kvn_api_add(a.api, k_compute, "compute.json"), 0);
    ASSERT_EQ(a->service_count, 1);
    const KVN_SERVICE *svc = a->services[0];
    EXPECT_STREQ(svc->title, "Compute");
    EXPECT_STREQ(svc->cli_group, "server");

    const KVN_RESOURCE *srv = kvn_api_lookup(a.api, "compute.server");
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(srv->service, svc);
    EXPECT_STREQ(srv->title, "server");
    EXPECT_STREQ(srv->id_field, "id");
    EXPECT_STREQ(srv->name_field, "name");
    ASSERT_EQ(srv->column_count, 2);
    EXPECT_STREQ(srv->columns[0].title, "name");
    EXPECT_FLOAT_EQ(srv->columns[0].width, 140);
    EXPECT_STREQ(srv->columns[1].format, "status");
    EXPECT_FLOAT_EQ(srv->columns[1].width, 90);

    const KVN_OP *c = srv->create;
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->method, "POST");
    EXPECT_STREQ(c->microversion, "2.79"); // inherited from the resource
    EXPECT_FALSE(c->needs_item);
    ASSERT_EQ(c->field_count, 7);
    EXPECT_TRUE(c->fields[0].required);
    EXPECT_FALSE(c->fields[0].omit_empty);
    EXPECT_TRUE(c->fields[1].omit_empty);
    EXPECT_EQ(c->fields[1].type, KVN_FT_REF);
    EXPECT_STREQ(c->fields[1].ref_value, "id");
    EXPECT_EQ(c->fields[2].value_count, 2); // the number is skipped
    EXPECT_STREQ(c->fields[2].values[1], "b");
    EXPECT_EQ(c->fields[2].def, nullptr); // numeric defaults are ignored
    EXPECT_STREQ(c->fields[3].def, "false");
    EXPECT_FALSE(c->fields[3].omit_empty); // nullable wins over omit_empty
    EXPECT_EQ(c->fields[4].in, KVN_IN_QUERY);
    EXPECT_FALSE(c->fields[4].omit_empty);
    EXPECT_EQ(c->fields[5].in, KVN_IN_PATH);
    EXPECT_EQ(c->fields[6].in, KVN_IN_BODY);

    ASSERT_EQ(srv->action_count, 3);
    EXPECT_STREQ(srv->actions[0]->title, "Reboot");
    EXPECT_TRUE(cJSON_IsObject(srv->actions[0]->body));
    EXPECT_TRUE(srv->actions[0]->needs_item);
    EXPECT_STREQ(srv->actions[1]->title, "action");
    EXPECT_FALSE(srv->actions[1]->needs_item);
    EXPECT_TRUE(srv->actions[2]->admin);
    EXPECT_TRUE(srv->actions[2]->needs_item); // "{item." counts

    const KVN_RESOURCE *flavor = kvn_api_lookup(a.api, "compute.flavor");
    ASSERT_EQ(flavor->column_count, 2); // defaults
    EXPECT_STREQ(flavor->columns[0].title, "Name");
    EXPECT_STREQ(flavor->columns[0].field, "name");
    EXPECT_FLOAT_EQ(flavor->columns[0].width, 220);
    EXPECT_STREQ(flavor->columns[1].title, "ID");
    EXPECT_FLOAT_EQ(flavor->columns[1].width, 280);
    EXPECT_EQ(kvn_api_lookup(a.api, "compute.limits")->column_count, 0); // single: no list columns
    const KVN_RESOURCE *hyp = kvn_api_lookup(a.api, "compute.hypervisor");
    EXPECT_TRUE(hyp->admin);
    EXPECT_EQ(hyp->column_count, 2); // the only column had no field

    // Lookup is exact on both halves.
    for (const char *miss : {"compute", "compute.", ".server", "Compute.server", "compute.serve", "computeX.server"})
        EXPECT_EQ(kvn_api_lookup(a.api, miss), nullptr) << miss;
    EXPECT_STREQ(a->error_text, "");

    // Offering: admin or show_restricted allow everything.
    EXPECT_TRUE(kvn_api_allowed(srv, srv->actions[0], 0, 0));
    EXPECT_FALSE(kvn_api_allowed(srv, srv->actions[2], 0, 0));
    EXPECT_TRUE(kvn_api_allowed(srv, srv->actions[2], 0, 1));
    EXPECT_TRUE(kvn_api_allowed(srv, srv->actions[2], 1, 0));
    EXPECT_FALSE(kvn_api_allowed(hyp, nullptr, 0, 0));

    int nr = 0, no = 0;
    kvn_api_count(a.api, &nr, &no);
    EXPECT_EQ(nr, 4);
    // server: list, show, create, 3 actions; flavor: list; limits: show; hypervisor: list
    EXPECT_EQ(no, 9);
}

TEST(Api, LoadsFolderInByteOrderAndMergesExtensions) {
    TEST_DIR d;
    // Listing order is the file system's; "b" must extend what "a" defined.
    test_write_file(d.file("b-ext.json"), k_compute_ext);
    test_write_file(d.file("a-compute.json"), k_compute);
    test_write_file(d.file(".json"), "{broken");        // 5 bytes: not a descriptor
    test_write_file(d.file("notes.txt"), "{broken");    // wrong ending
    test_write_file(d.file("B-upper.json"), R"({"service": "image", "resources": []})");
    API_PTR a;
    a.api = kvn_api_load_dir(d.path.c_str());
    ASSERT_NE(a.api, nullptr);
    EXPECT_STREQ(a->error_text, "");
    ASSERT_EQ(a->service_count, 2);
    EXPECT_STREQ(a->services[0]->name, "image"); // "B" sorts before "a" in byte order
    const KVN_SERVICE *svc = a->services[1];
    EXPECT_STREQ(svc->title, "Compute");
    ASSERT_EQ(svc->resource_count, 5);
    EXPECT_STREQ(svc->resources[4]->id, "keypair");

    const KVN_RESOURCE *srv = kvn_api_lookup(a.api, "compute.server");
    EXPECT_STREQ(srv->title, "server");
    EXPECT_STREQ(srv->cli, "server list / server show");
    ASSERT_NE(srv->del, nullptr);
    EXPECT_TRUE(srv->del->confirm);
    EXPECT_STREQ(srv->del->method, "DELETE");
    EXPECT_STREQ(srv->create->path, "/servers"); // existing create kept
    ASSERT_EQ(srv->action_count, 4);
    EXPECT_STREQ(srv->actions[3]->id, "pause");
}

TEST(Api, MergeLimitsAndCliJoin) {
    API_PTR a;
    a.api = static_cast<KVN_API *>(calloc(1, sizeof(KVN_API)));
    std::string actions;
    for (int i = 0; i < 63; i++) actions += R"({"id": "a)" + std::to_string(i) + R"(", "path": "/x"},)";
    std::string base = R"({"service": "s", "resources": [{"id": "r", "cli": "r list", "list": {"path": "/r"}, "actions": [)" +
                       actions.substr(0, actions.size() - 1) + "]}]}";
    ASSERT_EQ(kvn_api_add(a.api, base.c_str(), "1.json"), 0);
    const char *ext = R"({"service": "s", "resources": [{"id": "r", "cli": "list",
        "show": {"path": "/r/{id}", "key": "r"},
        "actions": [{"id": "last", "path": "/x"}, {"id": "over1", "path": "/x"}, {"id": "over2", "path": "/x"}]}]})";
    ASSERT_EQ(kvn_api_add(a.api, ext, "2.json"), 0);
    const KVN_RESOURCE *r = kvn_api_lookup(a.api, "s.r");
    EXPECT_EQ(r->action_count, 64);
    EXPECT_STREQ(r->actions[63]->id, "last");
    EXPECT_STREQ(r->cli, "r list"); // "list" is already contained
    EXPECT_STREQ(r->show_path, "/r/{id}");
    auto lines = error_lines(a.api);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2.json: s.r has too many actions");
}

TEST(Api, ErrorReportLinesAndMessages) {
    TEST_DIR d;
    std::string fields;
    for (int i = 0; i < 42; i++) fields += R"({"name": "f)" + std::to_string(i) + R"("},)";
    fields.pop_back();
    struct {
        const char *name;
        std::string body;
        std::vector<std::string> expect;
    } files[] = {
        {"01.json", "{\"service\": \n\"x\"", {"01.json: invalid JSON near ''"}},
        {"02.json", "[1, 2]", {"02.json: invalid JSON near '?'"}},
        {"03.json", R"({"title": "no service"})", {"03.json: no \"service\""}},
        {"04.json",
         R"({"service": "t", "resources": [
             {"list": {"path": "/a"}},
             {"id": "one", "kind": "single"},
             {"id": "lst"},
             {"id": "ops", "list": {"path": "/o"},
              "update": {"fields": [{"label": "no name"},
                                    {"name": "k", "type": "kind"},
                                    {"name": "e", "type": "enum"},
                                    {"name": "r", "type": "ref"},
                                    {"name": "bad", "type": "ref", "ref": "t.nothing"},
                                    {"name": "en", "type": "enum", "values": ["a"], "ref": "t.nothing"}]},
              "actions": [{"id": "big", "path": "/b", "fields": [)" + fields + R"(]}]},
             {"id": "child", "parent": "t.nowhere", "list": {"path": "/c"}}]})",
         {"04.json: resource without id", "04.json: t.one (single) has no show path", "04.json: t.lst has no list path",
          "04.json: t.ops update has no path", "04.json: t.ops update has a field without name",
          "04.json: t.ops update field k has unknown type kind", "04.json: t.ops update enum field e has no values",
          "04.json: t.ops update ref field r has no ref", "04.json: t.ops action big has too many fields"}},
    };
    for (auto &f : files) test_write_file(d.file(f.name), f.body);
    test_write_file(d.file("05.json"), "{}");
    chmod(d.file("05.json").c_str(), 0); // root still reads it; a folder can't be read as a file
    kvn_paths_mkdirs(d.file("06.json").c_str());

    TEST_LOG_CAPTURE cap;
    API_PTR a;
    a.api = kvn_api_load_dir(d.path.c_str());
    int broken = kvn_api_check_refs(a.api);
    EXPECT_EQ(broken, 2);
    std::vector<std::string> want;
    for (auto &f : files) want.insert(want.end(), f.expect.begin(), f.expect.end());
    want.push_back("05.json: no \"service\"");
    want.push_back("cannot read " + d.file("06.json"));
    want.push_back("t.ops: field bad refers to unknown resource t.nothing");
    want.push_back("t.child: unknown parent t.nowhere");
    auto lines = error_lines(a.api);
    // The resource-level checks come out per resource; compare as sets of
    // lines with the order of files kept.
    std::sort(want.begin(), want.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, want);
    for (auto &l : want) EXPECT_TRUE(cap.contains("descriptor: " + l)) << l;
    // The 41st field is reported once; the 40 before it are kept.
    const KVN_RESOURCE *ops = kvn_api_lookup(a.api, "t.ops");
    EXPECT_EQ(ops->actions[0]->field_count, 40);
    EXPECT_EQ(ops->update->field_count, 5); // the nameless field is skipped, the rest kept
    EXPECT_EQ(ops->update->fields[0].type, KVN_FT_STRING);
    EXPECT_EQ(kvn_api_lookup(a.api, "t.?")->title, std::string("?"));

    API_PTR missing;
    missing.api = kvn_api_load_dir(d.file("none").c_str());
    ASSERT_NE(missing.api, nullptr);
    EXPECT_EQ(std::string(missing->error_text), "cannot open descriptor directory " + d.file("none") + "\n");
    EXPECT_TRUE(missing->folder_missing);
}

TEST(Api, ErrorTextIsCappedAndLimitsHold) {
    TEST_LOG_CAPTURE cap;
    API_PTR a;
    a.api = static_cast<KVN_API *>(calloc(1, sizeof(KVN_API)));
    for (int i = 0; i < 200; i++) kvn_api_add(a.api, "{}", "a-rather-long-file-name-for-padding.json");
    EXPECT_EQ(strlen(a->error_text), 2047u);
    EXPECT_GE(strlen(a->error_text), 2000u);
    size_t logged = cap.count("descriptor: ");
    EXPECT_LT(logged, 200u); // dropped lines are not logged either
    EXPECT_EQ(logged, error_lines(a.api).size()); // the last line is cut but kept whole-lined

    API_PTR many;
    many.api = static_cast<KVN_API *>(calloc(1, sizeof(KVN_API)));
    for (int i = 0; i < 48; i++) {
        std::string doc = R"({"service": "s)" + std::to_string(i) + R"("})";
        ASSERT_EQ(kvn_api_add(many.api, doc.c_str(), "x.json"), 0);
    }
    EXPECT_EQ(kvn_api_add(many.api, R"({"service": "s0"})", "ext.json"), -1);
    EXPECT_STREQ(many->error_text, "ext.json: too many services\n");

    API_PTR res;
    res.api = static_cast<KVN_API *>(calloc(1, sizeof(KVN_API)));
    std::string list;
    for (int i = 0; i < 98; i++) list += R"({"id": "r)" + std::to_string(i) + R"(", "list": {"path": "/r"}},)";
    list.pop_back();
    ASSERT_EQ(kvn_api_add(res.api, (R"({"service": "s", "resources": [)" + list + "]}").c_str(), "r.json"), 0);
    EXPECT_EQ(res->services[0]->resource_count, 96);
    EXPECT_STREQ(res->error_text, "r.json: too many resources\n"); // reported once
}

TEST(Api, ItemsOfListAnswers) {
    struct {
        const char *answer;
        const char *key;
        const char *expect; // printed unformatted; null: no items
    } rows[] = {
        {R"({"servers": [{"id": 1}]})", "servers", R"([{"id":1}])"},
        {R"([{"id": 1}])", "servers", R"([{"id":1}])"},
        {R"([{"id": 1}])", nullptr, R"([{"id":1}])"},
        {R"({"servers": {"a": {"x": 1}, "b": 2}})", "servers", R"([{"x":1,"name":"a"},{"value":2,"name":"b"}])"},
        {R"({"m": {"a": {"name": "keep"}}})", "m", R"([{"name":"keep"}])"},
        {R"({"servers": 3})", "servers", nullptr},
        {R"({"other": []})", "servers", nullptr},
        {R"({"servers": []})", "", nullptr},
    };
    for (auto &r : rows) {
        Q_CJSON doc(cJSON_Parse(r.answer));
        cJSON *items = kvn_api_items(doc.get(), r.key);
        if (!r.expect) {
            EXPECT_EQ(items, nullptr) << r.answer;
            continue;
        }
        ASSERT_NE(items, nullptr) << r.answer;
        Q_CBUF printed(cJSON_PrintUnformatted(items));
        EXPECT_STREQ(printed.get(), r.expect) << r.answer;
    }
    // The converted array replaces the member in the answer itself.
    Q_CJSON doc(cJSON_Parse(R"({"servers": {"a": {"x": 1}}})"));
    cJSON *items = kvn_api_items(doc.get(), "servers");
    EXPECT_EQ(cJSON_GetObjectItem(doc.get(), "servers"), items);
}

TEST(Api, DottedPaths) {
    Q_CJSON doc(cJSON_Parse(R"({"addresses": [{"addr": "10.0.0.5", "x.y": 1}], "a": {"b": {"c": "deep"}},
                               "7": "seven", "list": [[1, 2], [3]]})"));
    struct {
        const char *path;
        const char *expect; // printed value or null
    } rows[] = {
        {"", nullptr /* the value itself */},
        {"addresses.0.addr", "\"10.0.0.5\""},
        {"a.b.c", "\"deep\""},
        {"a.b.missing", nullptr},
        {"addresses.1.addr", nullptr},
        {"addresses.addr", nullptr},
        {"7", "\"seven\""},
        {"list.1.0", "3"},
        {"list.-1", nullptr},
        {"a.b.c.d", nullptr},
    };
    EXPECT_EQ(kvn_api_json_at(doc.get(), ""), doc.get());
    EXPECT_EQ(kvn_api_json_at(doc.get(), "."), doc.get());
    for (auto &r : rows) {
        if (!*r.path) continue;
        cJSON *v = kvn_api_json_at(doc.get(), r.path);
        if (!r.expect) {
            EXPECT_EQ(v, nullptr) << r.path;
            continue;
        }
        ASSERT_NE(v, nullptr) << r.path;
        Q_CBUF printed(cJSON_PrintUnformatted(v));
        EXPECT_STREQ(printed.get(), r.expect) << r.path;
    }
    std::string long_seg = "a." + std::string(128, 'b');
    EXPECT_EQ(kvn_api_json_at(doc.get(), long_seg.c_str()), nullptr);
    EXPECT_EQ(kvn_api_json_at(nullptr, "a"), nullptr);
}

TEST(Api, ShippedDescriptorSetLoadsClean) {
    std::string folder = std::string(KVN_BINARY_DIR) + "/resources/api";
    API_PTR a;
    a.api = kvn_api_load_dir(folder.c_str());
    EXPECT_EQ(kvn_api_check_refs(a.api), 0);
    EXPECT_STREQ(a->error_text, "");
    for (const char *key : {"identity.project", "identity.user", "compute.server", "compute.flavor", "compute.keypair",
                            "image.image"})
        EXPECT_NE(kvn_api_lookup(a.api, key), nullptr) << key;
}
