// labels: cloud
// The local cloud's extra services, driven with the `openstack` client. Each
// test skips when its service is not in the catalog (the cloud started with
// KVN_CLOUD_EXTRAS=0).

#include <gtest/gtest.h>

#include <string>

#include "kvn_cloud_test.h"
#include "kvn_test_util.h"

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

TEST(CloudExtras, SharedFileSystemShareBecomesAvailable) {
    REQUIRE_SERVICE("sharev2");
    const std::string share = unique("share");
    CLOUD_RESULT c = os_cli("share create NFS 1 --share-type default -f value -c id --name " + share);
    ASSERT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(wait_value("share show -f value -c status " + c.out, "available"), "available");
    EXPECT_EQ(field("share show -f value -c share_proto " + c.out), "NFS");
    EXPECT_NE(field("share list -f value -c Name").find(share), std::string::npos);
    // No delete: on SQLite, manila-share's delete opens a second session
    // while the first holds the write lock and the share stays "deleting".
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
