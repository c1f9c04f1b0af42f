// labels: cloud localcloud
// Proves that the local cloud is a real one by driving it with the
// `openstack` command-line client as the non-admin demo user: the checks
// need the services to talk to each other (nova to neutron, placement and
// cinder; swift to keystone), which no stand-in would do.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "kvn_cloud_test.h"
#include "kvn_test_util.h"

namespace {

using RESULT = CLOUD_RESULT;

class CloudSmoke : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test_exists(cloud_dir() + "/demo-openrc"))
            GTEST_FAIL() << "no local cloud in " << cloud_dir() << ": start it with scripts/cloud/start.sh";
    }
};

TEST_F(CloudSmoke, IdentityIssuesTokensAndEnforcesRoles) {
    RESULT tok = os_cli("token issue -f value -c id");
    ASSERT_EQ(tok.code, 0) << tok.out;
    EXPECT_GE(tok.out.size(), 100u) << "a Fernet token is long: " << tok.out;

    // demo is a plain member: listing users is the admin's business.
    RESULT users = os_cli("user list -f value -c Name");
    EXPECT_NE(users.code, 0);
    EXPECT_NE(users.out.find("403"), std::string::npos) << users.out;

    RESULT admin_users = os_cli("user list -f value -c Name", "admin");
    ASSERT_EQ(admin_users.code, 0) << admin_users.out;
    EXPECT_NE(admin_users.out.find("demo"), std::string::npos) << admin_users.out;

    // Every core service is in the catalog.
    RESULT cat = os_cli("catalog list -f value -c Type");
    ASSERT_EQ(cat.code, 0) << cat.out;
    for (const char *type :
         {"identity", "image", "placement", "compute", "network", "volumev3", "object-store"})
        EXPECT_NE(cat.out.find(type), std::string::npos) << "catalog lacks " << type << ": " << cat.out;
}

TEST_F(CloudSmoke, ServerBecomesActiveAndVolumeAttachesAndDetaches) {
    const std::string server = unique("server"), volume = unique("volume");
    RESULT created = os_cli("server create --flavor m1.nano --image cirros-fake --network private "
                            "--key-name demo-key --wait -f value -c status " +
                            server);
    EXPECT_EQ(created.code, 0) << created.out;
    EXPECT_EQ(field("server show -f value -c status " + server), "ACTIVE") << created.out;
    // The port was bound by ML2 for the compute host, not left unbound.
    std::string server_id = field("server show -f value -c id " + server);
    std::string port = field("port list --device-id " + server_id + " -f value -c ID");
    ASSERT_FALSE(port.empty());
    EXPECT_EQ(field("port show -f value -c binding_vif_type " + port, "admin"), "ovs");

    RESULT vc = os_cli("volume create --size 1 -f value -c id " + volume);
    ASSERT_EQ(vc.code, 0) << vc.out;
    const std::string volume_id = vc.out;
    ASSERT_EQ(wait_value("volume show -f value -c status " + volume_id, "available"), "available");

    RESULT att = os_cli("server add volume " + server + " " + volume_id);
    EXPECT_EQ(att.code, 0) << att.out;
    EXPECT_EQ(wait_value("volume show -f value -c status " + volume_id, "in-use"), "in-use");
    EXPECT_NE(field("server show -f value -c volumes_attached " + server).find(volume_id), std::string::npos);

    RESULT det = os_cli("server remove volume " + server + " " + volume_id);
    EXPECT_EQ(det.code, 0) << det.out;
    EXPECT_EQ(wait_value("volume show -f value -c status " + volume_id, "available"), "available");
    EXPECT_EQ(field("server show -f value -c volumes_attached " + server).find(volume_id), std::string::npos);

    EXPECT_EQ(os_cli("server delete --wait " + server).code, 0);
    EXPECT_EQ(os_cli("volume delete " + volume_id).code, 0);
}

TEST_F(CloudSmoke, RouterGetsInterfaceAndFloatingIpReachesPort) {
    const std::string net = unique("net"), subnet = unique("subnet"), router = unique("router"),
                      port = unique("port");
    ASSERT_EQ(os_cli("network create " + net).code, 0);
    RESULT sn =
        os_cli("subnet create --network " + net + " --subnet-range 192.0.2.0/24 -f value -c id " + subnet);
    ASSERT_EQ(sn.code, 0) << sn.out;
    ASSERT_EQ(os_cli("router create " + router).code, 0);
    RESULT gw = os_cli("router set --external-gateway public " + router);
    EXPECT_EQ(gw.code, 0) << gw.out;
    RESULT itf = os_cli("router add subnet " + router + " " + subnet);
    EXPECT_EQ(itf.code, 0) << itf.out;
    std::string router_id = field("router show -f value -c id " + router);
    std::string itf_ips = field("port list --device-id " + router_id +
                                " --device-owner network:router_interface -f value -c 'Fixed IP Addresses'");
    EXPECT_NE(itf_ips.find("192.0.2.1'"), std::string::npos) << itf_ips;

    RESULT pc = os_cli("port create --network " + net + " -f value -c id " + port);
    ASSERT_EQ(pc.code, 0) << pc.out;
    // Associating needs the subnet's router to have a gateway on public.
    RESULT fip = os_cli("floating ip create --port " + pc.out + " -f value -c floating_ip_address public");
    ASSERT_EQ(fip.code, 0) << fip.out;
    EXPECT_EQ(fip.out.rfind("203.0.113.", 0), 0u) << fip.out;
    EXPECT_EQ(field("floating ip show -f value -c port_id " + fip.out), pc.out);

    EXPECT_EQ(os_cli("floating ip delete " + fip.out).code, 0);
    EXPECT_EQ(os_cli("port delete " + port).code, 0);
    EXPECT_EQ(os_cli("router remove subnet " + router + " " + subnet).code, 0);
    EXPECT_EQ(os_cli("router delete " + router).code, 0);
    EXPECT_EQ(os_cli("network delete " + net).code, 0);
}

TEST_F(CloudSmoke, ImageAndObjectRoundTripByteForByte) {
    TEST_DIR dir;
    // Every byte value, in an order no zero-filled or truncated copy matches.
    std::string data;
    unsigned x = 12345;
    for (int i = 0; i < 300 * 1024 + 17; i++) {
        x = x * 1103515245u + 12345u;
        data += static_cast<char>(x >> 16);
    }
    test_write_file(dir.file("in.bin"), data);

    const std::string image = unique("image");
    RESULT ic = os_cli("image create --disk-format raw --container-format bare --file " + dir.file("in.bin") +
                       " -f value -c id " + image);
    ASSERT_EQ(ic.code, 0) << ic.out;
    EXPECT_EQ(wait_value("image show -f value -c status " + ic.out, "active"), "active");
    RESULT save = os_cli("image save --file " + dir.file("image.out") + " " + ic.out);
    EXPECT_EQ(save.code, 0) << save.out;
    EXPECT_TRUE(test_read_file(dir.file("image.out")) == data) << "downloaded image differs";
    EXPECT_EQ(os_cli("image delete " + ic.out).code, 0);

    const std::string container = unique("container");
    ASSERT_EQ(os_cli("container create " + container).code, 0);
    RESULT oc = os_cli("object create --name data.bin " + container + " " + dir.file("in.bin"));
    ASSERT_EQ(oc.code, 0) << oc.out;
    EXPECT_EQ(field("object list -f value -c Name " + container), "data.bin");
    EXPECT_EQ(field("object show -f value -c content-length " + container + " data.bin"),
              std::to_string(data.size()));
    RESULT os = os_cli("object save --file " + dir.file("object.out") + " " + container + " data.bin");
    EXPECT_EQ(os.code, 0) << os.out;
    EXPECT_TRUE(test_read_file(dir.file("object.out")) == data) << "downloaded object differs";
    EXPECT_EQ(os_cli("object delete " + container + " data.bin").code, 0);
    EXPECT_EQ(os_cli("container delete " + container).code, 0);
}

// The same cloud through its TLS front, as the `openstack` client of a user
// with the *-tls-openrc sees it: the RegionTLS endpoints, the CA file, and
// every core service answering under its path prefix.
TEST_F(CloudSmoke, FrontServesEveryCoreServiceOverTls) {
    // One call per core service: the client takes seconds to start.
    struct {
        const char *args, *want;
    } rows[] = {
        {"catalog list -f value", "https://127.0.0.1:8443/compute/v2.1"},
        {"image list -f value -c Name", "cirros-fake"},
        {"network list -f value -c Name", "private"},
        {"server list -f value -c Name", ""},
        {"volume list -f value -c Name", ""},
        {"container list -f value -c Name", ""},
    };
    for (auto &r : rows) {
        RESULT res = os_cli(r.args, "demo-tls");
        EXPECT_EQ(res.code, 0) << explain(std::string("openstack ") + r.args + " (demo-tls)", res);
        EXPECT_NE(res.out.find(r.want), std::string::npos)
            << explain(std::string("openstack ") + r.args, res);
    }
    // The CA is what makes the front trusted: without it the client refuses.
    RESULT bare = sh_run("env -u OS_CLOUD -u OS_CLIENT_CONFIG_FILE bash -c " +
                         quote(". " + quote(cloud_dir() + "/demo-tls-openrc") +
                               " && unset OS_CACERT && exec /usr/bin/python3 /usr/bin/openstack image list"));
    EXPECT_NE(bare.code, 0) << bare.out;
    EXPECT_NE(bare.out.find("CERTIFICATE_VERIFY_FAILED"), std::string::npos) << bare.out;
}

// The links a service builds from the request (version documents here)
// point back the way the request came: through the front under its prefix,
// or straight to the service's port.
TEST_F(CloudSmoke, LinksPointBackTheWayTheRequestCame) {
    const std::string ca = cloud_dir() + "/tls/ca.pem";
    struct {
        const char *url, *href;
    } rows[] = {
        {"https://127.0.0.1:8443/identity/v3", "\"href\": \"https://127.0.0.1:8443/identity/v3/\""},
        {"http://127.0.0.1:5000/v3", "\"href\": \"http://127.0.0.1:5000/v3/\""},
        {"https://127.0.0.1:8443/compute/", "\"href\": \"https://127.0.0.1:8443/compute/v2.1/\""},
        {"http://127.0.0.1:8774/", "\"href\": \"http://127.0.0.1:8774/v2.1/\""},
        {"https://127.0.0.1:8443/network/", "\"href\": \"https://127.0.0.1:8443/network/v2.0/\""},
        {"http://127.0.0.1:9696/", "\"href\": \"http://127.0.0.1:9696/v2.0/\""},
        {"https://127.0.0.1:8443/volume/", "\"href\": \"https://127.0.0.1:8443/volume/v3/\""},
        {"http://127.0.0.1:8776/", "\"href\": \"http://127.0.0.1:8776/v3/\""},
        {"https://127.0.0.1:8443/image/", "\"href\": \"https://127.0.0.1:8443/image/v2/\""},
        {"http://127.0.0.1:9292/", "\"href\": \"http://127.0.0.1:9292/v2/\""},
    };
    for (auto &r : rows) {
        std::string cmd = "curl -sS -m 30 --cacert " + quote(ca) + " " + quote(r.url);
        RESULT res = sh_run(cmd);
        EXPECT_EQ(res.code, 0) << explain(cmd, res);
        EXPECT_NE(res.out.find(r.href), std::string::npos) << "no " << r.href << explain(cmd, res);
    }
}

// The start script is what a test run calls first whatever state the cloud
// is in: with the cloud up it must only check, never restart a service.
TEST_F(CloudSmoke, StartScriptRerunChangesNothing) {
    auto pid_files = [] {
        std::map<std::string, std::string> m;
        for (const auto &e : std::filesystem::directory_iterator(cloud_dir() + "/run"))
            if (e.path().extension() == ".pid") m[e.path().filename()] = test_read_file(e.path());
        return m;
    };
    auto before = pid_files();
    ASSERT_GE(before.size(), 20u) << "the core and its TLS front alone record 20 services";
    EXPECT_EQ(before.count("nginx.pid"), 1u) << "the TLS front is recorded like every other service";
    CLOUD_RESULT r = sh_run("bash " KVN_SOURCE_DIR "/scripts/cloud/start.sh");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out.find(" started "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cloud ready"), std::string::npos) << r.out;
    EXPECT_EQ(pid_files(), before) << "no service was restarted or dropped";
}

} // namespace
