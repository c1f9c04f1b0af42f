// labels: cloud localcloud
// The local cloud's extra services, driven with the `openstack` client. Each
// test skips when its service is not in the catalog (the cloud started with
// KVN_CLOUD_EXTRAS=0 or without it).

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kvn_api.h"
#include "kvn_cloud_test.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {

bool in_catalog(const std::string &type) {
    return os_cli("catalog show " + type + " -f value -c type").code == 0;
}

#define REQUIRE_SERVICE(type)                                                                                \
    do {                                                                                                     \
        if (!test_exists(cloud_dir() + "/demo-openrc")) GTEST_FAIL() << "no cloud in " << cloud_dir();       \
        if (!in_catalog(type)) GTEST_SKIP() << type << " is not running (extras off)";                       \
    } while (0)

TEST(CloudExtras, OrchestrationStackCreatesNeutronNetworkAndReportsOutputs) {
    REQUIRE_SERVICE("orchestration");
    TEST_DIR dir;
    test_write_file(dir.file("stack.yaml"), R"(heat_template_version: 2018-08-31
resources:
  word:
    type: OS::Heat::RandomString
    properties: {length: 12}
  net:
    type: OS::Neutron::Net
outputs:
  word: {value: {get_attr: [word, value]}}
  net: {value: {get_resource: net}}
)");
    const std::string stack = unique("stack");
    CLOUD_RESULT c =
        os_cli("stack create --wait -t " + dir.file("stack.yaml") + " -f value -c stack_status " + stack);
    EXPECT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(field("stack show -f value -c stack_status " + stack), "CREATE_COMPLETE");
    EXPECT_EQ(field("stack output show -f value -c output_value " + stack + " word").size(), 12u);
    std::string net_id = field("stack output show -f value -c output_value " + stack + " net");
    EXPECT_EQ(field("network show -f value -c id " + net_id), net_id) << "the stack's network is a real one";
    EXPECT_EQ(os_cli("stack delete --yes --wait " + stack).code, 0);
    EXPECT_NE(os_cli("network show " + net_id).code, 0) << "deleting the stack deletes its network";
}

TEST(CloudExtras, KeyManagerStoresAndReturnsSecretPayload) {
    REQUIRE_SERVICE("key-manager");
    CLOUD_RESULT s =
        os_cli("secret store --name " + unique("secret") + " --payload kvn-s3cret -f value -c 'Secret href'");
    ASSERT_EQ(s.code, 0) << s.out;
    EXPECT_EQ(s.out.rfind("http://127.0.0.1:9311/v1/secrets/", 0), 0u) << s.out;
    EXPECT_EQ(field("secret get --payload -f value -c Payload " + s.out), "kvn-s3cret");
    EXPECT_EQ(os_cli("secret delete " + s.out).code, 0);
}

TEST(CloudExtras, BareMetalNodeMovesThroughProvisionAndPowerStates) {
    REQUIRE_SERVICE("baremetal");
    const std::string node = unique("node");
    CLOUD_RESULT c =
        os_cli("baremetal node create --driver fake-hardware --name " + node + " -f value -c uuid", "admin");
    ASSERT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(field("baremetal node show -f value -c provision_state " + c.out, "admin"), "enroll");
    EXPECT_EQ(os_cli("baremetal node manage --wait 120 " + c.out, "admin").code, 0);
    EXPECT_EQ(os_cli("baremetal node provide --wait 120 " + c.out, "admin").code, 0);
    EXPECT_EQ(field("baremetal node show -f value -c provision_state " + c.out, "admin"), "available");
    EXPECT_EQ(os_cli("baremetal node power on " + c.out, "admin").code, 0);
    EXPECT_EQ(wait_value("baremetal node show -f value -c power_state " + c.out, "power on", 120, "admin"),
              "power on");
    EXPECT_EQ(os_cli("baremetal node delete " + c.out, "admin").code, 0);
}

TEST(CloudExtras, AlarmingKeepsEventAlarm) {
    REQUIRE_SERVICE("alarming");
    const std::string alarm = unique("alarm");
    CLOUD_RESULT c = os_cli("alarm create --type event --name " + alarm +
                            " --event-type compute.instance.create.end -f value -c alarm_id");
    ASSERT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(field("alarm show -f value -c name " + c.out), alarm);
    EXPECT_NE(field("alarm list -f value -c name").find(alarm), std::string::npos);
    EXPECT_EQ(os_cli("alarm delete " + c.out).code, 0);
}

TEST(CloudExtras, SharedFileSystemShareBecomesAvailableAndDeletes) {
    REQUIRE_SERVICE("sharev2");
    const std::string share = unique("share");
    CLOUD_RESULT c = os_cli("share create NFS 1 --share-type default -f value -c id --name " + share);
    ASSERT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(wait_value("share show -f value -c status " + c.out, "available"), "available");
    EXPECT_EQ(field("share show -f value -c share_proto " + c.out), "NFS");
    EXPECT_NE(field("share list -f value -c Name").find(share), std::string::npos);
    EXPECT_EQ(os_cli("share delete " + c.out).code, 0);
    EXPECT_TRUE(wait_gone("share show " + c.out))
        << "the share stays " << field("share show -f value -c status " + c.out);
}

TEST(CloudExtras, LoadBalancerAndListenerGoActiveAndCascadeDelete) {
    REQUIRE_SERVICE("load-balancer");
    const std::string lb = unique("lb");
    CLOUD_RESULT c =
        os_cli("loadbalancer create --wait --vip-subnet-id private-subnet -f value -c id --name " + lb);
    ASSERT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(field("loadbalancer show -f value -c provisioning_status " + c.out), "ACTIVE");
    EXPECT_FALSE(field("loadbalancer show -f value -c vip_address " + c.out).empty());
    CLOUD_RESULT l =
        os_cli("loadbalancer listener create --wait --protocol HTTP --protocol-port 80 -f value -c id "
               "--name " +
               unique("listener") + " " + c.out);
    ASSERT_EQ(l.code, 0) << l.out;
    EXPECT_EQ(field("loadbalancer listener show -f value -c provisioning_status " + l.out), "ACTIVE");
    EXPECT_EQ(field("loadbalancer show -f value -c provisioning_status " + c.out), "ACTIVE");
    EXPECT_EQ(os_cli("loadbalancer delete --cascade --wait " + c.out).code, 0);
    EXPECT_TRUE(wait_gone("loadbalancer show " + c.out));
    EXPECT_NE(os_cli("loadbalancer listener show " + l.out).code, 0)
        << "the cascade takes the listener along";
}

TEST(CloudExtras, DnsZoneAndRecordsetGoActiveAndZoneDeletes) {
    REQUIRE_SERVICE("dns");
    const std::string zone = unique("zone") + ".test.";
    CLOUD_RESULT c = os_cli("zone create --email hostmaster@kvn.test -f value -c id " + zone);
    ASSERT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(wait_value("zone show -f value -c status " + c.out, "ACTIVE"), "ACTIVE");
    CLOUD_RESULT r = os_cli("recordset create --type A --record 192.0.2.7 -f value -c id " + c.out + " www");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(wait_value("recordset show -f value -c status " + c.out + " " + r.out, "ACTIVE"), "ACTIVE");
    EXPECT_EQ(field("recordset show -f value -c records " + c.out + " " + r.out), "192.0.2.7");
    EXPECT_EQ(field("recordset show -f value -c name " + c.out + " " + r.out), "www." + zone);
    EXPECT_EQ(os_cli("zone delete " + c.out).code, 0);
    EXPECT_TRUE(wait_gone("zone show " + c.out))
        << "the zone stays " << field("zone show -f value -c status " + c.out);
}

TEST(CloudExtras, MetricMeasuresAreAggregatedAndMetricDeletes) {
    REQUIRE_SERVICE("metric");
    CLOUD_RESULT c = os_cli("metric create --archive-policy-name low -f value -c id " + unique("metric"));
    ASSERT_EQ(c.code, 0) << c.out;
    ASSERT_EQ(os_cli("metric measures add -m 2026-01-01T12:00:00@42 -m 2026-01-01T12:01:00@44 " + c.out).code,
              0);
    // metricd aggregates in the background: the 5-minute mean of both.
    const std::string read =
        "metric measures show --aggregation mean --granularity 300 -f value -c value " + c.out;
    EXPECT_EQ(wait_value(read, "43.0", 120), "43.0");
    // Gnocchi answers a DELETE that asks for JSON with 406 (its controller
    // has no content type for an empty answer); without Accept it deletes.
    CLOUD_RESULT d = os_cli("metric delete " + c.out);
    if (d.code != 0) {
        EXPECT_NE(d.out.find("406"), std::string::npos) << d.out;
        std::string token = field("token issue -f value -c id");
        ASSERT_FALSE(token.empty());
        CLOUD_RESULT del =
            sh_run("curl -s -o /dev/null -w '%{http_code}' -X DELETE -H " + quote("X-Auth-Token: " + token) +
                   " http://127.0.0.1:8041/v1/metric/" + c.out);
        EXPECT_EQ(del.out, "204");
    }
    EXPECT_NE(os_cli("metric show " + c.out).code, 0) << "the metric is gone";
}

// Every running extra service answers through the TLS front too, from its
// RegionTLS endpoint under its path prefix. Plain HTTP calls with a token
// from the front's Keystone: the `openstack` client would spend seconds per
// service starting up.
TEST(CloudExtras, EveryRunningExtraAnswersThroughTheFront) {
    FRONT_LOGIN login = front_login("admin", "admin-password");
    ASSERT_FALSE(login.token.empty())
        << explain("POST /identity/v3/auth/tokens (admin)", "no token", login.body, {});
    Q_CJSON answer(cJSON_Parse(login.body.c_str()));
    ASSERT_TRUE(answer.get()) << login.body;
    struct {
        const char *type, *prefix, *list;
    } rows[] = {
        {"orchestration", "/orchestration/v1/", "/stacks"},
        {"key-manager", "/key-manager", "/v1/secrets"},
        {"baremetal", "/baremetal", "/v1/nodes"},
        {"alarming", "/alarming", "/v2/alarms"},
        {"container-infra", "/container-infra/v1", "/clustertemplates"},
        {"sharev2", "/share/v2/", "/shares"},
        {"load-balancer", "/load-balancer", "/v2/lbaas/loadbalancers"},
        {"dns", "/dns", "/v2/zones"},
        {"metric", "/metric", "/v1/metric"},
        {"workflowv2", "/workflow/v2", "/workflows"},
        {"clustering", "/clustering", "/v1/clusters"},
        {"database", "/database/v1.0/", "/instances"},
        {"infra-optim", "/resource-optimization", "/v1/audits"},
        {"rating", "/rating", "/v1/rating/modules"},
        {"instance-ha", "/instance-ha/v1/", "/segments"},
    };
    int ran = 0;
    for (auto &r : rows) {
        std::string url;
        const cJSON *svc, *ep;
        cJSON_ArrayForEach(svc, kvn_api_json_at(answer.get(), "token.catalog")) {
            const cJSON *type = cJSON_GetObjectItem(svc, "type");
            if (!cJSON_IsString(type) || strcmp(type->valuestring, r.type) != 0) continue;
            cJSON_ArrayForEach(ep, cJSON_GetObjectItem(svc, "endpoints")) {
                const cJSON *region = cJSON_GetObjectItem(ep, "region_id"),
                            *iface = cJSON_GetObjectItem(ep, "interface");
                if (cJSON_IsString(region) && !strcmp(region->valuestring, "RegionTLS") &&
                    cJSON_IsString(iface) && !strcmp(iface->valuestring, "public"))
                    url = cJSON_GetObjectItem(ep, "url")->valuestring;
            }
        }
        if (url.empty()) continue; // not running
        ran++;
        EXPECT_EQ(url.rfind(std::string("https://127.0.0.1:8443") + r.prefix, 0), 0u)
            << r.type << ": " << url;
        std::string cmd = "curl -sS -m 60 -o /dev/null -D - -w 'status=%{http_code}' --cacert " +
                          quote(cloud_ca_file()) + " -H " + quote("X-Auth-Token: " + login.token) + " " +
                          quote((url.back() == '/' ? url.substr(0, url.size() - 1) : url) + r.list);
        CLOUD_RESULT res = sh_run(cmd);
        EXPECT_NE(res.out.find("status=200"), std::string::npos)
            << r.type
            << explain("GET " + url + r.list, res.out.substr(res.out.rfind("status=") + 7), res.out,
                       request_ids_in(res.out));
    }
    if (ran == 0) GTEST_SKIP() << "no extra service is running";
}

TEST(CloudExtras, ContainerInfraKeepsClusterTemplate) {
    REQUIRE_SERVICE("container-infra");
    const std::string tpl = unique("template");
    CLOUD_RESULT c =
        os_cli("coe cluster template create --image fedora-coreos-fake --external-network public "
               "--coe kubernetes --flavor m1.small --master-flavor m1.small -f value -c uuid " +
               tpl);
    ASSERT_EQ(c.code, 0) << c.out;
    EXPECT_NE(field("coe cluster template list -f value -c name").find(tpl), std::string::npos);
    EXPECT_EQ(field("coe cluster template show -f value -c coe " + tpl), "kubernetes");
    EXPECT_EQ(os_cli("coe cluster template delete " + tpl).code, 0);
}

} // namespace
