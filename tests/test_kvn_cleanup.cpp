// labels: unit
// The project cleanup's plan and its report texts, without a cloud.
#include <gtest/gtest.h>

#include <string>

#include "kvn_cleanup.h"
#include "q_common.h"
#include "q_str.h"

namespace {
struct PLAN_PTR {
    KVN_CLEANUP_PLAN *p = kvn_cleanup_plan_new();
    ~PLAN_PTR() { kvn_cleanup_plan_free(&p); }
};
struct STR_PTR {
    Q_STR *s = new_qstr(64);
    ~STR_PTR() { free_qstr(&s); }
    std::string text() const { return std::string(s->data, s->length); }
};

void add(KVN_CLEANUP_PLAN *p, const char *kind, const char *id, const char *name, int state = 0,
         const char *detail = "") {
    KVN_CLEANUP_ITEM it = {};
    q_strcpy(it.kind, sizeof it.kind, kind);
    q_strcpy(it.id, sizeof it.id, id);
    q_strcpy(it.name, sizeof it.name, name);
    it.state = state;
    q_strcpy(it.detail, sizeof it.detail, detail);
    ASSERT_EQ(kvn_cleanup_plan_add(p, &it), 0);
}

const char *const SRV = "6a1f0c0e-0000-4000-8000-000000000001";
const char *const VOL = "6a1f0c0e-0000-4000-8000-000000000002";
} // namespace

TEST(Cleanup, PlanGrowsByDoublingAndKeepsItsOrder) {
    PLAN_PTR plan;
    ASSERT_NE(plan.p, nullptr);
    for (int i = 0; i < 130; i++)
        add(plan.p, "port", std::to_string(i).c_str(), "p");
    EXPECT_EQ(plan.p->count, 130);
    EXPECT_EQ(plan.p->capacity, 256);
    for (int i = 0; i < 130; i++)
        ASSERT_EQ(std::to_string(i), plan.p->entries[i].id);
    KVN_CLEANUP_PLAN *none = nullptr;
    kvn_cleanup_plan_free(&none); // absent is no error
}

TEST(Cleanup, DiscoveryReports) {
    PLAN_PTR plan;
    q_strcpy(plan.p->project, sizeof plan.p->project, "d1b9");
    add(plan.p, "server", SRV, "web-1");
    add(plan.p, "volume", VOL, "a-rather-long-volume-name-that-is-kept-whole");
    struct {
        int result;
        const char *log, *want, *title;
    } rows[] = {
        {2, "",
         "Project d1b9 owns 2 resource(s), deleted in this order if you confirm:\n\n"
         "server           6a1f0c0e-0000-4000-8000-000000000001 web-1\n"
         "volume           6a1f0c0e-0000-4000-8000-000000000002 "
         "a-rather-long-volume-name-that-is-kept-whole\n",
         "openstack project cleanup --dry-run"},
        {2, "image: cannot list (HTTP 503: down)\n",
         "Project d1b9 owns 2 resource(s), deleted in this order if you confirm:\n\n"
         "server           6a1f0c0e-0000-4000-8000-000000000001 web-1\n"
         "volume           6a1f0c0e-0000-4000-8000-000000000002 "
         "a-rather-long-volume-name-that-is-kept-whole\n"
         "\nNot checked:\nimage: cannot list (HTTP 503: down)\n",
         "openstack project cleanup --dry-run"},
        {0, "", "Project cleanup: nothing owned by this project was found.\n", "openstack project cleanup"},
        {0, "volume: cannot list (no answer)\n",
         "Project cleanup: nothing owned by this project was found.\nvolume: cannot list (no answer)\n",
         "openstack project cleanup"},
        {-1, "", "Discovery failed.\n", "openstack project cleanup"},
    };
    for (auto &r : rows) {
        STR_PTR out;
        kvn_cleanup_discovery_report(plan.p, r.result, r.log, out.s);
        EXPECT_EQ(out.text(), r.want) << r.result << " " << r.log;
        EXPECT_STREQ(kvn_cleanup_discovery_title(r.result), r.title);
    }
    char q[256];
    kvn_cleanup_confirm_question(plan.p, q, sizeof q);
    EXPECT_STREQ(q, "Delete the 2 resources listed for project d1b9?");
    // A long project text is cut in the question, not in the plan.
    q_strcpy(plan.p->project, sizeof plan.p->project, std::string(120, 'x').c_str());
    kvn_cleanup_confirm_question(plan.p, q, sizeof q);
    EXPECT_EQ(std::string(q), "Delete the 2 resources listed for project " + std::string(80, 'x') + "?");
}

TEST(Cleanup, DeletionReportsShowEachOutcome) {
    PLAN_PTR plan;
    add(plan.p, "server", SRV, "web-1", KVN_CLEANUP_DELETED);
    add(plan.p, "volume", VOL, "data", KVN_CLEANUP_FAILED, "HTTP 409: Volume is in use");
    add(plan.p, "floating IP", "f1", "172.24.4.7", KVN_CLEANUP_PENDING);
    struct {
        int cancelled;
        const char *first;
    } rows[] = {
        {0, "1 of 3 resource(s) deleted, 1 failed.\n\n"},
        {1, "1 of 3 resource(s) deleted, 1 failed (cancelled).\n\n"},
    };
    const std::string lines =
        "deleted server           6a1f0c0e-0000-4000-8000-000000000001 web-1\n"
        "FAILED  volume           6a1f0c0e-0000-4000-8000-000000000002 data   HTTP 409: "
        "Volume is in use\n"
        "        floating IP      f1                                   172.24.4.7\n";
    for (auto &r : rows) {
        STR_PTR out;
        kvn_cleanup_deletion_report(plan.p, r.cancelled, out.s);
        EXPECT_EQ(out.text(), std::string(r.first) + lines);
    }
    char status[128];
    kvn_cleanup_deletion_status(plan.p, status, sizeof status);
    EXPECT_STREQ(status, "project cleanup: 1 deleted, 1 failed");
    EXPECT_EQ(kvn_cleanup_plan_count_state(plan.p, KVN_CLEANUP_PENDING), 1);
}
