// labels: net
// The session and call layer: identity URLs, times, endpoint choice and base
// URLs, URL joining, error texts, next links and OAuth1 signing without a
// server; token answers, cut bodies and re-authentication against a
// hand-written server on 127.0.0.1.
#include <gtest/gtest.h>

#include "kvn_oauth1.h"
#include "kvn_session.h"
#include "kvn_test_script_server.h"
#include "kvn_test_util.h"
#include "q_base64.h"
#include "q_common.h"
#include "q_digest.h"

namespace {
struct SESSION_PTR {
    KVN_SESSION *s = nullptr;
    ~SESSION_PTR() { kvn_session_free(&s); }
};

void add_endpoint(KVN_SESSION *s, const char *type, const char *iface, const char *region, const char *url) {
    ASSERT_EQ(kvn_session_add_endpoint(s, type, iface, region, url), 0);
}

// A Keystone token answer: roles by name, and a catalog (JSON array).
std::string token_json(const std::vector<std::string> &roles, const std::string &catalog = "[]") {
    std::string r;
    for (const auto &name : roles)
        r += std::string(r.empty() ? "" : ", ") + R"({"name": ")" + name + "\"}";
    return R"({"token": {"expires_at": "2099-01-01T00:00:00.000000Z", "user": {"id": "u1", "name": "demo"}, )"
           R"("project": {"id": "p1", "name": "demo", "domain": {"name": "Default"}}, "roles": [)" +
           r + R"(], "catalog": )" + catalog + "}}";
}

kvn_script::ANSWER token_answer(const std::string &body, const char *token = "tok-1") {
    return {kvn_script::json_answer(201, body, std::string("X-Subject-Token: ") + token + "\r\n")};
}

// A session whose profile authenticates against the given server.
KVN_SESSION *session_on(const kvn_script::SERVER &server) {
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, server.url("/v3").c_str());
    q_strcpy(p.username, sizeof p.username, "demo");
    q_strcpy(p.secret, sizeof p.secret, "pw");
    return kvn_session_new(&p);
}

std::string endpoint(KVN_SESSION *s, const char *type) {
    char out[512];
    if (kvn_session_endpoint(s, type, out, sizeof out) != 0) return "(none)";
    return out;
}
} // namespace

TEST(Session, IdentityUrls) {
    struct {
        const char *in, *out;
    } rows[] = {
        {"http://k:5000/v2.0/", "http://k:5000/v3"},    {"http://k:5000/v3", "http://k:5000/v3"},
        {"http://k:5000/v3///", "http://k:5000/v3"},    {"http://k:5000", "http://k:5000/v3"},
        {"http://k/identity/", "http://k/identity/v3"},
    };
    char out[2048];
    for (auto &r : rows) {
        EXPECT_EQ(kvn_identity_v3_url(r.in, out, sizeof out), 0);
        EXPECT_STREQ(out, r.out) << r.in;
    }
    EXPECT_STREQ(kvn_service_alias("volumev3"), "block-storage");
    EXPECT_STREQ(kvn_service_alias("cloudformation"), "orchestration");
    EXPECT_STREQ(kvn_service_alias("compute"), "compute");
}

TEST(Session, IsoTimes) {
    struct {
        const char *text;
        int64_t t;
    } rows[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2024-02-29T12:00:00.000000Z", 1709208000},
        {"2024-02-29T14:00:00+02:00", 1709208000},
        {"2024-02-29T10:30:00-01:30", 1709208000},
        {"2024-02-29", 1709164800},
        {"1969-12-31T23:59:59Z", -1},
        {"2000-13-01T00:00:00Z", 0},
        {"2000-01-32T00:00:00Z", 0},
        {"12:00:00", 0},
        {"", 0},
    };
    for (auto &r : rows)
        EXPECT_EQ(kvn_parse_iso_time(r.text), r.t) << r.text;
    EXPECT_EQ(kvn_parse_iso_time(nullptr), 0);
}

TEST(Session, EndpointChoiceAndBaseUrls) {
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, "http://k:5000/v2.0");
    SESSION_PTR sp;
    sp.s = kvn_session_new(&p);
    KVN_SESSION *s = sp.s;
    add_endpoint(s, "volumev2", "public", "R1", "http://c:8776/v2/p");
    add_endpoint(s, "volumev3", "public", "R1", "http://c:8776/v3/p");
    add_endpoint(s, "block-storage", "public", "R1", "http://c:8776/bs/p");
    add_endpoint(s, "network", "internal", "R1", "http://n-int:9696");
    add_endpoint(s, "network", "public", "R2", "http://n-pub:9696/");
    add_endpoint(s, "image", "public", "R1", "http://g:9292/");
    add_endpoint(s, "compute", "public", "", "http://nova:8774/v2.1/");
    add_endpoint(s, "volume", "public", "R1", "http://c:8776/v1/p");

    EXPECT_EQ(endpoint(s, "block-storage"), "http://c:8776/v3/p"); // first of the best score
    EXPECT_EQ(endpoint(s, "volumev2"), "http://c:8776/v3/p");      // asked by alias: same choice
    EXPECT_EQ(endpoint(s, "network"), "http://n-pub:9696/v2.0");
    EXPECT_EQ(endpoint(s, "image"), "http://g:9292/v2");
    EXPECT_EQ(endpoint(s, "compute"), "http://nova:8774/v2.1");
    EXPECT_EQ(endpoint(s, "identity"), "http://k:5000/v3"); // from the auth URL
    EXPECT_EQ(endpoint(s, "dns"), "(none)");
    EXPECT_TRUE(kvn_session_has_service(s, "identity"));
    EXPECT_TRUE(kvn_session_has_service(s, "volume"));
    EXPECT_FALSE(kvn_session_has_service(s, "dns"));

    // Interface and region preferences.
    q_strcpy(p.interface, sizeof p.interface, "internal");
    kvn_session_set_profile(s, &p);
    EXPECT_EQ(endpoint(s, "network"), "http://n-int:9696/v2.0");
    q_strcpy(p.region, sizeof p.region, "R2");
    kvn_session_set_profile(s, &p);
    EXPECT_EQ(endpoint(s, "network"), "http://n-pub:9696/v2.0"); // region weighs more than interface

    // A volumev2 endpoint is used only when nothing better is there.
    SESSION_PTR fresh;
    fresh.s = kvn_session_new(&p);
    s = fresh.s;
    add_endpoint(s, "volumev2", "public", "", "http://c:8776/v2/p");
    add_endpoint(s, "volume", "public", "", "http://c:8776/v1/p");
    EXPECT_EQ(endpoint(s, "block-storage"), "http://c:8776/v2/p");
    add_endpoint(s, "image", "public", "", "http://g:9292/v2");
    add_endpoint(s, "network", "public", "", "http://n:9696/v2.0/");
    q_strcpy(p.region, sizeof p.region, "");
    kvn_session_set_profile(s, &p);
    EXPECT_EQ(endpoint(s, "image"), "http://g:9292/v2");
    EXPECT_EQ(endpoint(s, "network"), "http://n:9696/v2.0");

    const char *regions[8];
    SESSION_PTR spread;
    spread.s = kvn_session_new(&p);
    s = spread.s;
    add_endpoint(s, "a", "public", "R2", "u");
    add_endpoint(s, "b", "public", "", "u");
    add_endpoint(s, "c", "public", "R1", "u");
    add_endpoint(s, "d", "public", "R2", "u");
    ASSERT_EQ(kvn_session_regions(s, regions, 8), 2);
    EXPECT_STREQ(regions[0], "R2");
    EXPECT_STREQ(regions[1], "R1");
}

TEST(Session, AdminRoleFromTheTokenAnswer) {
    static const struct {
        std::vector<std::string> roles;
        int admin;
    } rows[] = {
        {{"member", "Admin"}, 1}, {{"admin"}, 1}, {{"reader", "member"}, 0}, {{"administrator"}, 0}, {{}, 0}};
    std::atomic<int> row{0};
    kvn_script::SERVER keystone(
        [&](const kvn_script::REQUEST &) { return token_answer(token_json(rows[row].roles)); });
    for (int i = 0; i < (int)(sizeof rows / sizeof rows[0]); i++) {
        row = i;
        SESSION_PTR sp;
        sp.s = session_on(keystone);
        ASSERT_EQ(kvn_session_authenticate(sp.s, nullptr), 0);
        EXPECT_EQ(kvn_session_is_admin(sp.s), rows[i].admin) << i;
    }
}

TEST(Session, UrlJoin) {
    struct {
        const char *base, *path, *out;
    } rows[] = {
        {"http://n:9696/v2.0", "/v2.0/networks", "http://n:9696/v2.0/networks"},
        {"http://n:9696/v2.0", "/v2.0", "http://n:9696/v2.0"},
        {"http://n:9696/v2.0", "/v2.0?limit=1", "http://n:9696/v2.0?limit=1"},
        {"http://n:9696/v2.0", "/v2.01/x", "http://n:9696/v2.0/v2.01/x"},
        {"http://n:9696/v2.0", "networks", "http://n:9696/v2.0/networks"},
        {"http://n:9696/v2.0", "?q=1", "http://n:9696/v2.0?q=1"},
        {"http://c:8776/v3/p1", "/volumes", "http://c:8776/v3/p1/volumes"},
        {"http://g:9292/v2", "", "http://g:9292/v2"},
    };
    char out[256];
    for (auto &r : rows) {
        kvn_url_join(r.base, r.path, out, sizeof out);
        EXPECT_STREQ(out, r.out) << r.base << " + " << r.path;
    }
}

TEST(Session, ErrorTexts) {
    std::string html = "<html><head><title>500 Internal</title></head>\n<body>\n  <h1>Server   Error</h1>" +
                       std::string(400, 'x') + "</body></html>";
    struct {
        int status;
        const char *body;
        std::string out;
    } rows[] = {
        {404, R"({"itemNotFound": {"message": "Instance x could not be found.", "code": 404}})",
         "HTTP 404: Instance x could not be found."},
        {400, R"({"NeutronError": {"type": "HTTPBadRequest", "message": "Invalid input", "detail": ""}})",
         "HTTP 400: Invalid input"},
        {401,
         R"({"error": {"code": 401, "title": "Unauthorized", "message": "The request you have made requires authentication."}})",
         "HTTP 401: The request you have made requires authentication."},
        {409, R"({"message": "top", "conflict": {"message": "nested"}})", "HTTP 409: top"},
        {500, R"({"faultstring": "boom"})", "HTTP 500: boom"},
        {400, R"({"errors": [{"title": "Bad", "detail": "field x"}]})", "HTTP 400: field x"},
        {400, R"({"errors": [{"title": "Bad"}]})", "HTTP 400: Bad"},
        {403, R"({"a": 1, "b": {"message": "second object"}})", "HTTP 403: second object"},
        {503, "", "HTTP 503"},
        {502, "   ", "HTTP 502"},
        {500, html.c_str(),
         ("HTTP 500: 500 Internal Server Error" + std::string(400, 'x')).substr(0, 10 + 300)},
        {404, "404 Not Found\n\nThe resource could not be found.",
         "HTTP 404: 404 Not Found The resource could not be found."},
    };
    char out[1024];
    for (auto &r : rows) {
        kvn_http_error_text(r.status, r.body, out, sizeof out);
        EXPECT_EQ(std::string(out), r.out) << r.body;
    }
}

TEST(Session, NextLinks) {
    struct {
        const char *json, *key, *next;
    } rows[] = {
        {R"({"images": [], "next": "/v2/images?marker=a"})", "images", "/v2/images?marker=a"},
        {R"({"ports": [], "ports_links": [{"rel": "previous", "href": "p"}, {"rel": "next", "href": "n"}]})",
         "ports", "n"},
        {R"({"servers": [], "servers_links": {"next": "s"}})", "servers", "s"},
        {R"({"x": [], "links": {"next": "l"}, "next": "top"})", "x", "l"},
        {R"({"x": [], "links": {"next": ""}, "next": "top"})", "x", "top"},
        {R"({"x": [], "links": [{"rel": "self", "href": "h"}]})", "x", nullptr},
        {R"({"x": []})", "x", nullptr},
    };
    for (auto &r : rows) {
        Q_CJSON doc(cJSON_Parse(r.json));
        const char *n = kvn_next_link(doc.get(), r.key);
        if (!r.next)
            EXPECT_EQ(n, nullptr) << r.json;
        else
            EXPECT_STREQ(n ? n : "(none)", r.next) << r.json;
    }
}

TEST(OAuth1, SignatureMachineryMatchesTheRfcExample) {
    // RFC 5849 section 1.2: the temporary-credentials request, signed with the
    // consumer secret alone.
    const char *base =
        "POST&https%3A%2F%2Fphotos.example.net%2Finitiate&oauth_callback%3Dhttp%253A%252F%252F"
        "printer.example.com%252Fready%26oauth_consumer_key%3Ddpf43f3p2l4k3l03%26oauth_nonce%3DwIjqoS%26"
        "oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D137131200";
    uint8_t digest[20];
    ASSERT_EQ(q_hmac_sha1("kd94hf93k423kf44&", 17, base, strlen(base), digest), 0);
    char b64[64];
    ASSERT_GT(q_base64_encode(digest, 20, b64, sizeof b64), 0);
    char enc[128];
    ASSERT_EQ(kvn_oauth1_encode(b64, strlen(b64), enc, sizeof enc), 0);
    EXPECT_STREQ(enc, "74KNZJeDHnMBp0EMJ9ZHt%2FXKycU%3D");
}

TEST(OAuth1, HeaderSigningRules) {
    auto sign = [](const char *method, const char *url, const char *token = nullptr,
                   const char *verifier = nullptr) {
        char out[2048];
        int rc = kvn_oauth1_header(method, url, "ck", "cs", token, token ? "ts" : nullptr, verifier, "oob",
                                   "n0nce", 1700000000, out, sizeof out);
        return rc == 0 ? std::string(out) : std::string("(failed)");
    };
    std::string h = sign("POST", "https://k.example:5000/v3/OS-OAUTH1/request_token");
    EXPECT_EQ(
        h.rfind(
            "Authorization: OAuth oauth_consumer_key=\"ck\", oauth_nonce=\"n0nce\", "
            "oauth_signature_method=\"HMAC-SHA1\", oauth_timestamp=\"1700000000\", oauth_version=\"1.0\", "
            "oauth_callback=\"oob\", oauth_signature=\"",
            0),
        0u)
        << h;
    EXPECT_EQ(h, sign("POST", "https://k.example:5000/v3/OS-OAUTH1/request_token")); // deterministic
    EXPECT_NE(h, sign("GET", "https://k.example:5000/v3/OS-OAUTH1/request_token"));

    // Equivalent URLs sign the same; the query is signed but not put in the header.
    EXPECT_EQ(sign("GET", "https://h/p?a=b+c"), sign("GET", "https://h/p?a=b%20c"));
    EXPECT_NE(sign("GET", "https://h/p?a=b+c"), sign("GET", "https://h/p?a=b%2Bc"));
    EXPECT_EQ(sign("GET", "https://h:443/p"), sign("GET", "https://h/p"));
    EXPECT_EQ(sign("GET", "http://h:80/p"), sign("GET", "http://h/p"));
    EXPECT_NE(sign("GET", "https://h:8443/p"), sign("GET", "https://h/p"));
    EXPECT_EQ(sign("GET", "https://HoSt.Example/p"), sign("GET", "https://host.example/p"));
    EXPECT_NE(sign("GET", "https://h/P"), sign("GET", "https://h/p"));
    EXPECT_EQ(sign("GET", "https://h/p?b=2&a=1"), sign("GET", "https://h/p?a=1&b=2")); // sorted
    EXPECT_EQ(sign("GET", "https://h/p?x=1").find("x="), std::string::npos);

    std::string with_token = sign("POST", "https://h/access", "tok", "ver");
    EXPECT_NE(with_token.find("oauth_token=\"tok\", oauth_verifier=\"ver\", oauth_callback=\"oob\""),
              std::string::npos);
    EXPECT_EQ(sign("POST", "not a url"), "(failed)");
    char small[40];
    EXPECT_EQ(kvn_oauth1_header("POST", "https://h/p", "ck", "cs", nullptr, nullptr, nullptr, nullptr, "n", 1,
                                small, sizeof small),
              -1);

    char dec[64];
    kvn_form_decode("a+b%2Fc%zz%4", 12, dec, sizeof dec);
    EXPECT_STREQ(dec, "a b/c%zz%4");
    char enc[8];
    EXPECT_EQ(kvn_oauth1_encode("a b", 3, enc, sizeof enc), 0);
    EXPECT_STREQ(enc, "a%20b");
    EXPECT_EQ(kvn_oauth1_encode("a b c", 5, enc, sizeof enc), -1);
}
