// labels: unit
// The resource panel's rules without a window: row colour classes, count
// texts, the filter match, the grouping of the context menu, confirmation and
// summary texts, and the pending operation table's eviction.
#include <gtest/gtest.h>

#include <cJSON.h>
#include <string>
#include <vector>

#include "kvn_api.h"
#include "kvn_gui_resource.h"

namespace {
cJSON *_json(const char *text) {
    return cJSON_Parse(text);
}

TEST(ResourceRules, RowClassFromStatusOrProvisioningStatus) {
    struct {
        const char *item;
        int cls;
    } cases[] = {
        {R"({"status":"ACTIVE"})", 0},
        {R"({"status":"SHUTOFF"})", 0},
        {R"({"status":"error"})", 1},
        {R"({"status":"ERROR_DELETING"})", 1},
        {R"({"status":"down"})", 1},
        {R"({"status":"KILLED"})", 1},
        {R"({"status":"FAILURE"})", 1},
        {R"({"status":"build"})", 2},
        {R"({"status":"PENDING_CREATE"})", 2},
        {R"({"status":"backing-up"})", 2},
        {R"({"status":"POWERING-OFF"})", 2},
        {R"({"status":"BUILDING"})", 0}, // transitional states match whole
        {R"({"provisioning_status":"PENDING_UPDATE"})", 2},
        {R"({"status":7,"provisioning_status":"ERROR"})", 1},
        {R"({"status":"ACTIVE","provisioning_status":"ERROR"})", 0},
        {R"({"name":"x"})", 0},
        {R"([1,2])", 0},
    };
    for (const auto &c : cases) {
        cJSON *item = _json(c.item);
        EXPECT_EQ(kvn_res_status_class(item), c.cls) << c.item;
        cJSON_Delete(item);
    }
    // A status longer than the 63 characters compared is cut, never read past.
    std::string long_status = "{\"status\":\"" + std::string(200, 'B') + "\"}";
    cJSON *item = _json(long_status.c_str());
    EXPECT_EQ(kvn_res_status_class(item), 0);
    cJSON_Delete(item);
}

TEST(ResourceRules, CountTextsAndFilter) {
    struct {
        int shown, total;
        const char *text;
    } counts[] = {
        {0, 0, "0 items"}, {1, 1, "1 item"}, {2, 2, "2 items"}, {2, 5, "2 / 5 items"}, {0, 3, "0 / 3 items"}};
    for (const auto &c : counts) {
        char out[64];
        kvn_res_count_text(c.shown, c.total, out, sizeof out);
        EXPECT_STREQ(out, c.text);
    }
    struct {
        const char *cell, *filter;
        int match;
    } filters[] = {
        {"ACTIVE", "act", 1}, {"ACTIVE", "", 1}, {"web-1", "WEB", 1}, {"web-1", "web-2", 0},
        {"", "a", 0},         {"ab", "abc", 0},  {"xxABC", "abc", 1},
    };
    for (const auto &f : filters)
        EXPECT_EQ(kvn_res_cell_matches(f.cell, f.filter), f.match) << f.cell << " / " << f.filter;
}

struct OPS {
    std::vector<KVN_OP> ops;
    std::vector<std::string> titles;
    std::vector<const KVN_OP *> ptrs;
    // kinds: 'g' a GET view, 'a' an "(admin)" action, 'p' a plain POST,
    // 's' a GET that saves, 'u' a GET with a window.
    explicit OPS(const std::string &kinds) : ops(kinds.size()), titles(kinds.size()) {
        for (size_t i = 0; i < kinds.size(); i++) {
            KVN_OP &op = ops[i];
            titles[i] = "op" + std::to_string(i) + (kinds[i] == 'a' ? " (admin)" : "");
            op.title = titles[i].c_str();
            op.method = kinds[i] == 'g' || kinds[i] == 's' || kinds[i] == 'u' ? "GET" : "POST";
            if (kinds[i] == 's') op.result = "save:data";
            if (kinds[i] == 'u') op.ui = "server_serial";
        }
        for (const KVN_OP &op : ops)
            ptrs.push_back(&op);
    }
    std::string groups() {
        std::vector<int> g(ops.size());
        kvn_res_group_actions(ptrs.data(), (int)ptrs.size(), g.data());
        std::string s;
        for (int x : g)
            s += "TSAM"[x];
        return s;
    }
};

TEST(ResourceRules, MenuGrouping) {
    // Up to 18 allowed actions stand at the top whatever they are.
    EXPECT_EQ(OPS("ggaappppppppppppps").groups(), std::string(18, 'T'));
    // From 19 on: GET views to Show (not those saving or with a window),
    // "(admin)" to Administration, the first 14 others at the top, then More.
    EXPECT_EQ(OPS("gsuapppppppppppppppp").groups(), "STTATTTTTTTTTTTTMMMM");
    EXPECT_EQ(OPS("ggggggggggggggggggga").groups(), "SSSSSSSSSSSSSSSSSSSA");
}

TEST(ResourceRules, ConfirmationAndSummaryTexts) {
    KVN_OP untitled_multi{};
    untitled_multi.multi = 1;
    KVN_OP stop{};
    stop.title = "Stop";
    KVN_OP dots{};
    dots.title = "Resize...";
    struct {
        const KVN_OP *op;
        int kind, count;
        const char *name, *line;
    } confirms[] = {
        {&untitled_multi, KVN_RES_DELETE, 3, "a", "Delete 3 Servers?"},
        {&untitled_multi, KVN_RES_DELETE, 1, "web1", "Delete Servers: web1?"},
        {&stop, KVN_RES_ACTION, 2, "web1", "Stop Servers: web1?"}, // not multi: one item
        {&untitled_multi, KVN_RES_ACTION, 1, "", "Run Servers?"},
    };
    for (const auto &c : confirms) {
        char out[256];
        kvn_res_confirm_line(c.op, c.kind, "Servers", c.count, c.name, out, sizeof out);
        EXPECT_STREQ(out, c.line);
    }
    struct {
        const KVN_OP *op;
        int kind, ok, failed;
        const char *err, *line;
        int bad;
    } sums[] = {
        {&untitled_multi, KVN_RES_DELETE, 3, 0, "", "Servers: Delete done on every item", 0},
        {&stop, KVN_RES_ACTION, 1, 0, "", "Servers: Stop done", 0},
        {&dots, KVN_RES_ACTION, 1, 2, "HTTP 409: busy",
         "Servers: Resize failed (1 ok, 2 failed): HTTP 409: busy", 1},
        {&untitled_multi, KVN_RES_CREATE, 0, 1, "no", "Servers: Create failed (0 ok, 1 failed): no", 1},
        {&untitled_multi, KVN_RES_UPDATE, 1, 0, "", "Servers: Update done", 0},
    };
    for (const auto &s : sums) {
        char name[64], out[256];
        kvn_res_display_name(s.op, s.kind, name, sizeof name);
        EXPECT_EQ(kvn_res_batch_summary("Servers", name, s.ok, s.failed, s.err, out, sizeof out), s.bad);
        EXPECT_STREQ(out, s.line);
    }
    EXPECT_TRUE(kvn_res_path_needs_item("/servers/{id}/action"));
    EXPECT_TRUE(kvn_res_path_needs_item("/v2/{item.container}/x"));
    EXPECT_FALSE(kvn_res_path_needs_item("/servers"));
    EXPECT_FALSE(kvn_res_path_needs_item(nullptr));
}

TEST(ResourceRules, PendingTableEvictsTheOldest) {
    KVN_RES_PENDING_TABLE t{};
    KVN_OP a{}, b{};
    for (int i = 0; i < 16; i++)
        kvn_res_pending_add(&t, 0, nullptr, &a, KVN_RES_ACTION, cJSON_CreateArray());
    // The 17th takes the slot of id 1; the others stay found.
    KVN_RES_PENDING *p17 = kvn_res_pending_add(&t, 0, nullptr, &b, KVN_RES_UPDATE, nullptr);
    EXPECT_EQ(p17->id, 17);
    EXPECT_EQ(kvn_res_pending_find(&t, 1, &a), nullptr);
    ASSERT_NE(kvn_res_pending_find(&t, 2, &a), nullptr);
    EXPECT_EQ(kvn_res_pending_find(&t, 17, &b), p17);
    // A form answering for another operation under a reused id is ignored.
    EXPECT_EQ(kvn_res_pending_find(&t, 17, &a), nullptr);
    EXPECT_EQ(kvn_res_pending_find(&t, 0, &a), nullptr);
    // The next one evicts id 2, the lowest left.
    kvn_res_pending_add(&t, 0, nullptr, &a, KVN_RES_ACTION, nullptr);
    EXPECT_EQ(kvn_res_pending_find(&t, 2, &a), nullptr);
    EXPECT_NE(kvn_res_pending_find(&t, 3, &a), nullptr);

    const char *values[] = {"name", nullptr, "s3cret"};
    ASSERT_EQ(kvn_res_pending_set_values(p17, values, 3), 0);
    EXPECT_STREQ(p17->values[0], "name");
    EXPECT_STREQ(p17->values[1], "");
    EXPECT_STREQ(p17->values[2], "s3cret");
    kvn_res_pending_free(p17);
    EXPECT_EQ(p17->id, 0);
    EXPECT_EQ(p17->values, nullptr);
    kvn_res_pending_clear(&t);
    for (const KVN_RES_PENDING &s : t.slots)
        EXPECT_EQ(s.id, 0);
}
} // namespace
