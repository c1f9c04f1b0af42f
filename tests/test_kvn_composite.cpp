// labels: unit
// The composite tools' checks that need no cloud: which object names may
// become paths under the save folder, which baremetal documents are refused
// before any call, and the benchmark's statistics and report.
#include <gtest/gtest.h>

#include <cJSON.h>
#include <string>

#include "kvn_composite.h"
#include "q_common.h"
#include "q_str.h"

namespace {

TEST(Composite, ObjectNamesThatWouldLeaveTheFolderAreRefused) {
    const std::string long_segment(2048, 'a');
    const std::string long_name = std::string(1000, 'b') + "/" + std::string(23, 'c'); // 1,024 bytes
    struct {
        std::string name;
        bool safe;
    } rows[] = {
        {"plain.txt", true},
        {"dir/sub/file", true},
        {"dir/", true},
        {"a..b/..c/d..", true}, // dots inside a segment are names, not steps up
        {"./here", true},
        {long_name, true},
        {"", false},
        {"/etc/passwd", false},
        {"../x", false},
        {"a/../../x", false},
        {"a/..", false},
        {"..", false},
        {"a\\..\\x", false},
        {"c:x", false},
        {"ok/" + long_segment, false},
    };
    for (const auto &r : rows)
        EXPECT_EQ(kvn_container_name_safe(r.name.c_str()) == 0, r.safe) << r.name.substr(0, 40);
    EXPECT_NE(kvn_container_name_safe(nullptr), 0);
}

TEST(Composite, BaremetalDocumentsAreCheckedBeforeAnyCall) {
    // No session: a document that passes the checks would need one, so a
    // refusal here proves nothing was sent.
    struct {
        const char *doc;
        int result;
        const char *log;
    } rows[] = {
        {"{}", -1, "the document needs a \"chassis\" and / or a \"nodes\" array\n"},
        {R"({"chassis": {}})", -1, "the document needs a \"chassis\" and / or a \"nodes\" array\n"},
        {R"({"nodes": {"driver": "fake-hardware"}})", -1,
         "the document needs a \"chassis\" and / or a \"nodes\" array\n"},
        {R"({"node": []})", -1, "the document needs a \"chassis\" and / or a \"nodes\" array\n"},
        {R"({"chassis": [{"description": "a"}, 3]})", -1, "every chassis must be an object\n"},
        {"[]", -1, "the document needs a \"chassis\" and / or a \"nodes\" array\n"},
    };
    for (const auto &r : rows) {
        Q_CJSON doc(cJSON_Parse(r.doc));
        Q_STR *log = new_qstr(1024);
        EXPECT_EQ(kvn_baremetal_create(nullptr, doc.get(), log, nullptr), r.result) << r.doc;
        EXPECT_STREQ(log->data, r.log) << r.doc;
        free_qstr(&log);
    }
}

TEST(Composite, BenchmarkRowsAndReport) {
    double times[] = {40,  10,  30,  20,  50,  60,  70,  80,  90,  100,
                      110, 120, 130, 140, 150, 160, 170, 180, 190, 200};
    KVN_BENCH_STATS stats;
    memset(&stats, 0, sizeof stats);
    kvn_bench_row_fill(&stats.rows[0], "metric create", times, 20, 1);
    const KVN_BENCH_ROW &r = stats.rows[0];
    EXPECT_EQ(r.count, 20);
    EXPECT_EQ(r.failed, 1);
    EXPECT_DOUBLE_EQ(r.min_ms, 10);
    EXPECT_DOUBLE_EQ(r.max_ms, 200);
    EXPECT_DOUBLE_EQ(r.avg_ms, 105);
    EXPECT_DOUBLE_EQ(r.p95_ms, 190); // index round(19 * 0.95) = 18
    EXPECT_DOUBLE_EQ(r.total_s, 2.1);
    // A phase without a success is all zeros, whatever failed.
    kvn_bench_row_fill(&stats.rows[1], "metric show", nullptr, 0, 3);
    EXPECT_EQ(stats.rows[1].failed, 3);
    EXPECT_EQ(stats.rows[1].max_ms, 0);
    stats.count = 2;

    Q_STR *text = new_qstr(1024);
    kvn_metric_benchmark_report(&stats, 1, text);
    EXPECT_STREQ(text->data,
                 "operation        count  failed     req/s   min ms   avg ms   p95 ms   max ms  total s\n"
                 "metric create       20       1       9.5     10.0    105.0    190.0    200.0     2.10\n"
                 "metric show          0       3       0.0      0.0      0.0      0.0      0.0     0.00\n"
                 "\nRequests run one after the other on a kept-alive connection; req/s = count / total "
                 "request time.\nCancelled before the end.\n");
    free_qstr(&text);

    Q_CJSON chart(kvn_metric_benchmark_chart(&stats));
    char *printed = cJSON_PrintUnformatted(chart.get());
    EXPECT_STREQ(
        printed,
        R"({"columns":["type","rate"],"results":[["metric create",9.5238095238095237],["metric show",0]]})");
    free(printed);
}

} // namespace
