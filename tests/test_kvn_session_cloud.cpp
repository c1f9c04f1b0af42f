// labels: cloud
// The session and call layer against the project's local OpenStack: every way
// of authenticating, re-scoping, endpoint choice, microversions, pagination,
// token renewal, real error bodies, OAuth1, and no secret in the log.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "kvn_api.h"
#include "kvn_oauth1.h"
#include "kvn_session.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
struct SESSION_PTR {
    KVN_SESSION *s = nullptr;
    SESSION_PTR() = default;
    explicit SESSION_PTR(KVN_SESSION *x) : s(x) {}
    ~SESSION_PTR() { kvn_session_free(&s); }
};
struct RESULT_PTR {
    KVN_RESULT *r = nullptr;
    explicit RESULT_PTR(KVN_RESULT *x) : r(x) {}
    ~RESULT_PTR() { kvn_result_free(&r); }
    KVN_RESULT *operator->() const { return r; }
};

KVN_PROFILE cloud_profile(const std::string &who) {
    KVN_PROFILE p;
    test_cloud_profile(who, &p);
    EXPECT_TRUE(p.auth_url[0]) << "no openrc for " << who << " in " << test_cloud_dir();
    return p;
}

KVN_SESSION *connect(const KVN_PROFILE &p) {
    KVN_SESSION *s = kvn_session_new(&p);
    char err[1024];
    if (kvn_session_authenticate(s, nullptr) != 0) {
        kvn_session_last_error(s, err, sizeof err);
        ADD_FAILURE() << "authentication of " << p.name << " failed: " << err;
    }
    return s;
}

KVN_RESULT *call(KVN_SESSION *s, const char *svc, const char *method, const char *path, const char *body = nullptr,
                 const char *extra = nullptr) {
    Q_CJSON json(body ? cJSON_Parse(body) : nullptr);
    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    if (extra) q_strcpy(o.extra_headers[0], sizeof o.extra_headers[0], extra);
    return kvn_session_call(s, svc, method, path, json.get(), &o, nullptr);
}

std::string jstr(const cJSON *j, const char *path) {
    const cJSON *v = kvn_api_json_at(j, path);
    return cJSON_IsString(v) ? v->valuestring : "";
}

KVN_SESSION_INFO info_of(KVN_SESSION *s) {
    KVN_SESSION_INFO i;
    kvn_session_info(s, &i);
    return i;
}

std::string token_of(KVN_SESSION *s) {
    char t[KVN_TOKEN_MAX];
    if (kvn_session_token(s, t, sizeof t) != 0) return "";
    std::string out = t;
    q_secure_zero(t, sizeof t);
    return out;
}

KVN_PROFILE profile_of(KVN_SESSION *s) {
    KVN_PROFILE p;
    kvn_session_profile(s, &p);
    return p;
}

std::string unique(const char *prefix) {
    std::random_device rd;
    return std::string(prefix) + std::to_string(rd() % 1000000000u);
}
} // namespace

TEST(Cloud, PasswordTokenAndScopes) {
    KVN_PROFILE demo = cloud_profile("demo");
    SESSION_PTR a(connect(demo));
    ASSERT_TRUE(info_of(a.s).has_token);
    EXPECT_STREQ(info_of(a.s).user_name, "demo");
    EXPECT_STREQ(info_of(a.s).project_name, "demo");
    EXPECT_STREQ(info_of(a.s).project_domain_name, "Default");
    EXPECT_GT(info_of(a.s).endpoint_count, 10);
    EXPECT_GT(info_of(a.s).expires, (int64_t)time(nullptr));
    EXPECT_FALSE(kvn_session_is_admin(a.s));
    EXPECT_NE(std::string(info_of(a.s).roles).find("member"), std::string::npos);
    std::string user_id = info_of(a.s).user_id, project_id = info_of(a.s).project_id;

    // By user id alone, no domain needed.
    KVN_PROFILE by_id = demo;
    q_strcpy(by_id.username, sizeof by_id.username, "");
    q_strcpy(by_id.user_domain_name, sizeof by_id.user_domain_name, "");
    q_strcpy(by_id.user_id, sizeof by_id.user_id, user_id.c_str());
    SESSION_PTR b(connect(by_id));
    EXPECT_STREQ(info_of(b.s).user_name, "demo");

    // With the token of the first session.
    KVN_PROFILE by_token = demo;
    by_token.auth_type = KVN_AUTH_TOKEN;
    q_strcpy(by_token.secret, sizeof by_token.secret, token_of(a.s).c_str());
    SESSION_PTR c(connect(by_token));
    EXPECT_STREQ(info_of(c.s).project_id, project_id.c_str());

    // Without a project the request carries no scope (Keystone then uses
    // the user's default project, when it has one); scoping by id follows.
    KVN_PROFILE unscoped = demo;
    q_strcpy(unscoped.project_name, sizeof unscoped.project_name, "");
    SESSION_PTR d(connect(unscoped));
    ASSERT_TRUE(info_of(d.s).has_token);
    ASSERT_EQ(kvn_session_rescope(d.s, project_id.c_str(), nullptr), 0);
    EXPECT_STREQ(info_of(d.s).project_name, "demo");
    EXPECT_STREQ(profile_of(d.s).project_id, project_id.c_str());
    EXPECT_STREQ(profile_of(d.s).project_name, "");
    EXPECT_GT(info_of(d.s).endpoint_count, 10);

    // A wrong password fails with Keystone's words and keeps the old token.
    std::string old_token = token_of(a.s);
    KVN_PROFILE wrong = profile_of(a.s);
    q_strcpy(wrong.secret, sizeof wrong.secret, "wrong");
    kvn_session_set_profile(a.s, &wrong);
    EXPECT_EQ(kvn_session_authenticate(a.s, nullptr), -1);
    char err[1024];
    kvn_session_last_error(a.s, err, sizeof err);
    EXPECT_EQ(std::string(err).rfind("authentication failed: HTTP 401: ", 0), 0u) << err;
    EXPECT_EQ(old_token, token_of(a.s));
    EXPECT_STREQ(info_of(a.s).user_name, "demo");

    KVN_PROFILE nothing = demo;
    nothing.auth_url[0] = 0;
    SESSION_PTR e(kvn_session_new(&nothing));
    EXPECT_EQ(kvn_session_authenticate(e.s, nullptr), -1);
    kvn_session_last_error(e.s, err, sizeof err);
    EXPECT_STREQ(err, "the profile has no authentication URL");
}

TEST(Cloud, RescopeBetweenTwoProjects) {
    SESSION_PTR admin(connect(cloud_profile("admin")));
    ASSERT_TRUE(kvn_session_is_admin(admin.s));
    std::string admin_project = info_of(admin.s).project_id;
    SESSION_PTR demo(connect(cloud_profile("demo")));
    std::string demo_project = info_of(demo.s).project_id;
    // Give admin a role on demo's project so it belongs to two projects.
    RESULT_PTR roles(call(admin.s, "identity", "GET", "/roles?name=admin"));
    std::string role_id = jstr(roles->json, "roles.0.id");
    ASSERT_FALSE(role_id.empty());
    std::string put = "/projects/" + demo_project + "/users/" + info_of(admin.s).user_id + "/roles/" + role_id;
    RESULT_PTR grant(call(admin.s, "identity", "PUT", put.c_str()));
    ASSERT_TRUE(kvn_result_ok(grant.r)) << grant->error;

    ASSERT_EQ(kvn_session_rescope(admin.s, demo_project.c_str(), nullptr), 0);
    EXPECT_STREQ(info_of(admin.s).project_name, "demo");
    RESULT_PTR servers(call(admin.s, "compute", "GET", "/servers"));
    EXPECT_TRUE(kvn_result_ok(servers.r)) << servers->error;
    ASSERT_EQ(kvn_session_rescope(admin.s, admin_project.c_str(), nullptr), 0);
    EXPECT_STREQ(info_of(admin.s).project_name, "admin");
    EXPECT_EQ(kvn_session_rescope(admin.s, "", nullptr), -1);
}

TEST(Cloud, ApplicationCredentialsByIdAndByName) {
    KVN_PROFILE demo = cloud_profile("demo");
    SESSION_PTR s(connect(demo));
    std::string name = unique("kvn-ac-");
    std::string path = std::string("/users/") + info_of(s.s).user_id + "/application_credentials";
    std::string body = R"({"application_credential": {"name": ")" + name + R"("}})";
    RESULT_PTR made(call(s.s, "identity", "POST", path.c_str(), body.c_str()));
    ASSERT_EQ(made->status, 201) << made->error;
    std::string id = jstr(made->json, "application_credential.id");
    std::string secret = jstr(made->json, "application_credential.secret");

    KVN_PROFILE ac;
    kvn_profile_defaults(&ac);
    q_strcpy(ac.auth_url, sizeof ac.auth_url, demo.auth_url);
    ac.auth_type = KVN_AUTH_APPCRED;
    q_strcpy(ac.application_credential_id, sizeof ac.application_credential_id, id.c_str());
    q_strcpy(ac.secret, sizeof ac.secret, secret.c_str());
    SESSION_PTR by_id(connect(ac));
    EXPECT_STREQ(info_of(by_id.s).project_name, "demo"); // the credential carries its project

    ac.application_credential_id[0] = 0;
    q_strcpy(ac.application_credential_name, sizeof ac.application_credential_name, name.c_str());
    q_strcpy(ac.username, sizeof ac.username, "demo");
    SESSION_PTR by_name(connect(ac));
    EXPECT_STREQ(info_of(by_name.s).user_name, "demo");

    RESULT_PTR gone(call(s.s, "identity", "DELETE", (path + "/" + id).c_str()));
    EXPECT_EQ(gone->status, 204) << gone->error;
}

TEST(Cloud, EndpointsAndMicroversions) {
    SESSION_PTR s(connect(cloud_profile("demo")));
    char url[1024];
    ASSERT_EQ(kvn_session_endpoint(s.s, "network", url, sizeof url), 0);
    EXPECT_EQ(std::string(url).find("/v2.0"), std::string(url).size() - 5) << url;
    KVN_PROFILE internal = profile_of(s.s);
    q_strcpy(internal.interface, sizeof internal.interface, "internal");
    q_strcpy(internal.region, sizeof internal.region, "RegionOne");
    kvn_session_set_profile(s.s, &internal);
    EXPECT_EQ(kvn_session_endpoint(s.s, "compute", url, sizeof url), 0);
    EXPECT_TRUE(kvn_session_has_service(s.s, "volumev3"));
    const char *regions[4];
    EXPECT_EQ(kvn_session_regions(s.s, regions, 4), 1);

    for (const char *svc : {"compute", "block-storage"}) {
        char mv[16];
        ASSERT_EQ(kvn_session_microversion(s.s, svc, mv, sizeof mv, nullptr), 0);
        int major = 0, minor = 0;
        EXPECT_EQ(sscanf(mv, "%d.%d", &major, &minor), 2) << svc << " " << mv;
        EXPECT_GT(minor, 10) << svc;
        char min[16], max[16];
        ASSERT_TRUE(kvn_session_cached_microversion(s.s, svc, min, sizeof min, max, sizeof max));
        EXPECT_STREQ(max, mv);
        EXPECT_STREQ(min, !strcmp(svc, "compute") ? "2.1" : "3.0");
    }
    // The negotiated version is sent: a server list at 2.79 shows its fields.
    RESULT_PTR r(call(s.s, "compute", "GET", "/servers/detail"));
    EXPECT_TRUE(kvn_result_ok(r.r)) << r->error;
    char none[16];
    EXPECT_EQ(kvn_session_microversion(s.s, "network", none, sizeof none, nullptr), 0);
    EXPECT_STREQ(none, "");
    RESULT_PTR missing(call(s.s, "dns-nowhere", "GET", "/x"));
    EXPECT_STREQ(missing->error, "service 'dns-nowhere' is not in the catalog of this cloud");
}

TEST(Cloud, PaginationSeesEveryItemOnce) {
    SESSION_PTR s(connect(cloud_profile("admin")));
    // Enough networks that a page size of 2 needs several pages.
    std::vector<std::string> made;
    for (int i = 0; i < 5; i++) {
        std::string body = R"({"network": {"name": ")" + unique("kvn-page-") + R"("}})";
        RESULT_PTR r(call(s.s, "network", "POST", "/networks", body.c_str()));
        ASSERT_EQ(r->status, 201) << r->error;
        made.push_back(jstr(r->json, "network.id"));
    }
    // Other tests may add networks meanwhile: every one of ours must come
    // exactly once, and nothing may repeat.
    RESULT_PTR paged(kvn_call_paged(s.s, "network", "/networks?limit=2", nullptr, nullptr));
    ASSERT_TRUE(kvn_result_ok(paged.r)) << paged->error;
    EXPECT_STREQ(paged->error, "");
    const cJSON *items = cJSON_GetObjectItem(paged->json, "networks");
    std::multiset<std::string> ids;
    const cJSON *it;
    cJSON_ArrayForEach(it, items) ids.insert(jstr(it, "id"));
    for (auto &id : made) EXPECT_EQ(ids.count(id), 1u) << id;
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());

    // Glance pages with a top-level "next".
    std::vector<std::string> images_made;
    for (int i = 0; i < 3; i++) {
        RESULT_PTR r(call(s.s, "image", "POST", "/images", R"({"name": "kvn-page", "disk_format": "raw", "container_format": "bare"})"));
        ASSERT_EQ(r->status, 201) << r->error;
        images_made.push_back(jstr(r->json, "id"));
    }
    RESULT_PTR images(kvn_call_paged(s.s, "image", "/images?limit=1", "images", nullptr));
    ASSERT_TRUE(kvn_result_ok(images.r)) << images->error;
    std::multiset<std::string> image_ids;
    cJSON_ArrayForEach(it, cJSON_GetObjectItem(images->json, "images")) image_ids.insert(jstr(it, "id"));
    for (auto &id : images_made) EXPECT_EQ(image_ids.count(id), 1u) << id;
    EXPECT_EQ(std::set<std::string>(image_ids.begin(), image_ids.end()).size(), image_ids.size());
    for (auto &id : images_made) RESULT_PTR del(call(s.s, "image", "DELETE", ("/images/" + id).c_str()));

    for (auto &id : made) RESULT_PTR del(call(s.s, "network", "DELETE", ("/networks/" + id).c_str()));
}

TEST(Cloud, RevokedTokenIsRenewedOnThe401) {
    SESSION_PTR s(connect(cloud_profile("demo")));
    std::string old = token_of(s.s);
    std::string subject = "X-Subject-Token: " + old;
    RESULT_PTR revoke(call(s.s, "identity", "DELETE", "/auth/tokens", nullptr, subject.c_str()));
    ASSERT_EQ(revoke->status, 204) << revoke->error;
    TEST_LOG_CAPTURE cap;
    set_log_level(Q_LOG_NOTICE);
    RESULT_PTR after(call(s.s, "compute", "GET", "/flavors"));
    EXPECT_TRUE(kvn_result_ok(after.r)) << after->error;
    EXPECT_NE(old, token_of(s.s));
    EXPECT_TRUE(cap.contains("401 on GET ")) << "no re-authentication logged";

    // A token close to its end is renewed before the call.
    std::string second = token_of(s.s);
    kvn_session_set_expires(s.s, time(nullptr) + 90);
    RESULT_PTR soon(call(s.s, "compute", "GET", "/flavors"));
    EXPECT_TRUE(kvn_result_ok(soon.r));
    EXPECT_NE(second, token_of(s.s));
}

TEST(Cloud, RealErrorBodiesBecomeReadableTexts) {
    SESSION_PTR s(connect(cloud_profile("demo")));
    struct {
        const char *svc, *path;
        int status;
        const char *contains;
    } rows[] = {
        {"compute", "/servers/no-such-server", 404, "could not be found"},
        {"network", "/networks/no-such-net", 404, "Network no-such-net could not be found"},
        {"image", "/images/00000000-0000-0000-0000-000000000000", 404, "00000000-0000-0000-0000-000000000000"},
        {"identity", "/users", 403, "You are not authorized"},
    };
    for (auto &r : rows) {
        RESULT_PTR res(call(s.s, r.svc, "GET", r.path));
        EXPECT_EQ(res->status, r.status) << r.path;
        std::string prefix = "HTTP " + std::to_string(r.status) + ": ";
        EXPECT_EQ(std::string(res->error).rfind(prefix, 0), 0u) << res->error;
        EXPECT_NE(std::string(res->error).find(r.contains), std::string::npos) << res->error;
        // Glance puts HTML line breaks into its JSON message; that text is
        // shown as the service wrote it.
        if (strcmp(r.svc, "image") != 0) {
            EXPECT_EQ(std::string(res->error).find('<'), std::string::npos) << res->error;
        }
        EXPECT_TRUE(res->request_id[0]) << r.path;
    }
}

TEST(Cloud, OAuth1ConsumerRequestAuthorizeAccess) {
    SESSION_PTR admin(connect(cloud_profile("admin")));
    RESULT_PTR consumer(call(admin.s, "identity", "POST", "/OS-OAUTH1/consumers", R"({"consumer": {"description": "kvn"}})"));
    ASSERT_EQ(consumer->status, 201) << consumer->error;
    std::string key = jstr(consumer->json, "consumer.id"), secret = jstr(consumer->json, "consumer.secret");

    KVN_OAUTH1_TOKEN req;
    char err[1024];
    ASSERT_EQ(kvn_oauth1_request_token(admin.s, key.c_str(), secret.c_str(), info_of(admin.s).project_id, &req, err,
                                       sizeof err, nullptr),
              0)
        << err;
    EXPECT_TRUE(req.expires_at[0]);
    std::string auth = std::string("/OS-OAUTH1/authorize/") + req.token;
    RESULT_PTR ok(call(admin.s, "identity", "PUT", auth.c_str(), R"({"roles": [{"name": "admin"}]})"));
    ASSERT_TRUE(kvn_result_ok(ok.r)) << ok->error;
    std::string verifier = jstr(ok->json, "token.oauth_verifier");
    ASSERT_FALSE(verifier.empty());

    KVN_OAUTH1_TOKEN access;
    ASSERT_EQ(kvn_oauth1_access_token(admin.s, key.c_str(), secret.c_str(), req.token, req.token_secret,
                                      verifier.c_str(), &access, err, sizeof err, nullptr),
              0)
        << err;
    EXPECT_TRUE(access.token[0]);
    EXPECT_TRUE(access.token_secret[0]);

    // A wrong consumer secret is refused by Keystone.
    EXPECT_EQ(kvn_oauth1_request_token(admin.s, key.c_str(), "wrong", info_of(admin.s).project_id, &req, err, sizeof err,
                                       nullptr),
              -1);
    EXPECT_EQ(std::string(err).rfind("HTTP 401", 0), 0u) << err;
    RESULT_PTR del(call(admin.s, "identity", "DELETE", ("/OS-OAUTH1/consumers/" + key).c_str()));
}

TEST(Cloud, NoSecretReachesTheLogEvenAtDebug) {
    KVN_PROFILE demo = cloud_profile("demo");
    std::string password = demo.secret;
    TEST_LOG_CAPTURE cap;
    set_log_level(Q_LOG_DEBUG);
    SESSION_PTR s(connect(demo));
    std::string token = info_of(s.s).has_token ? token_of(s.s) : "(none)";
    RESULT_PTR r(call(s.s, "compute", "GET", "/servers"));
    std::string subject = "X-Subject-Token: " + token;
    RESULT_PTR revoke(call(s.s, "identity", "DELETE", "/auth/tokens", nullptr, subject.c_str()));
    RESULT_PTR again(call(s.s, "compute", "GET", "/flavors")); // renews on the 401
    std::string token2 = info_of(s.s).has_token ? token_of(s.s) : "(none)";
    set_log_level(Q_LOG_NOTICE);
    ASSERT_GT(cap.lines.size(), 3u);
    for (const auto &line : cap.lines) {
        EXPECT_EQ(line.find(password), std::string::npos) << line;
        EXPECT_EQ(line.find(token), std::string::npos) << line;
        EXPECT_EQ(line.find(token2), std::string::npos) << line;
    }
}
