// labels: net
// The session and call layer: identity URLs, times, endpoint choice and base
// URLs, URL joining, error texts, next links and OAuth1 signing without a
// server; token answers, cut bodies and re-authentication against a
// hand-written server on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>

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
    EXPECT_STREQ(kvn_service_alias("messaging"), "message");
    EXPECT_STREQ(kvn_service_alias("infra-optim"), "resource-optimization");
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
        {409, R"({"a": {"code": 1}, "b": {"message": "the one with a message"}})",
         "HTTP 409: the one with a message"},
        {503, "", "HTTP 503"},
        {502, "   ", "HTTP 502"},
        {500, html.c_str(),
         ("HTTP 500: 500 Internal Server Error" + std::string(400, 'x')).substr(0, 10 + 300)},
        // A styled page: its stylesheet, script and comments are no reason.
        {500,
         "<html><head><title>Oops</title>\n<STYLE type=\"text/css\">h1 { color: red; }</STYLE>\n"
         "<script>if (a < b) { go(); }</script><!-- build 42 --></head>\n"
         "<body><p>Tom &amp; Jerry &lt;3 &quot;it&#39;s&quot; &copy;</p></body></html>",
         "HTTP 500: Oops Tom & Jerry <3 \"it's\" &copy;"},
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

// ---- against a hand-written server -------------------------------------------

namespace {
// Keystone and an object store on one server. Token requests are answered
// under "/v3/auth/tokens"; "/cut/v3/auth/tokens" answers with a body cut
// short. Object-store paths are answered from `pages`, exactly as written.
struct CLOUD {
    std::mutex mutex; // guards pages and fail_first
    std::map<std::string, kvn_script::ANSWER> pages;
    std::map<std::string, int> fail_first; // target -> 401 answers still to give
    std::atomic<int> tokens{0};
    kvn_script::SERVER server;
    CLOUD() : server([this](const kvn_script::REQUEST &r) { return answer(r); }) {}

    std::string catalog() const {
        return R"([{"type": "object-store", "name": "swift", "endpoints": [{"interface": "public", "region_id": "R1", )"
               R"("url": ")" +
               server.url("/v1/AUTH_x") + R"("}]}])";
    }
    kvn_script::ANSWER answer(const kvn_script::REQUEST &r) {
        if (r.target == "/v3/auth/tokens") {
            int n = ++tokens;
            return token_answer(token_json({"member"}, catalog()), ("tok-" + std::to_string(n)).c_str());
        }
        if (r.target == "/cut/v3/auth/tokens") {
            std::string body = token_json({"member"}, catalog());
            return {"HTTP/1.1 201 Created\r\nX-Subject-Token: tok-cut\r\nContent-Type: application/json\r\n"
                    "Content-Length: " +
                    std::to_string(body.size() + 100) + "\r\n\r\n" + body};
        }
        std::lock_guard<std::mutex> g(mutex);
        auto f = fail_first.find(r.target);
        if (f != fail_first.end() && f->second > 0) {
            f->second--;
            return {kvn_script::json_answer(401, R"({"error": {"message": "token expired"}})")};
        }
        auto p = pages.find(r.target);
        if (p != pages.end()) return p->second;
        return {kvn_script::json_answer(404, R"({"message": "no such page"})")};
    }
    void page(const std::string &path, const std::string &bytes, bool hold = false) {
        std::lock_guard<std::mutex> g(mutex);
        pages["/v1/AUTH_x" + path] = kvn_script::ANSWER{bytes, hold};
    }
};

// A 200 whose head promises more body than is sent before the close.
std::string cut_answer(const std::string &sent, size_t promised) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(promised) + "\r\n\r\n" + sent;
}

struct RESULT_PTR {
    KVN_RESULT *r = nullptr;
    explicit RESULT_PTR(KVN_RESULT *x) : r(x) {}
    ~RESULT_PTR() { kvn_result_free(&r); }
    KVN_RESULT *operator->() const { return r; }
};

void cancel_on_first_bytes(int64_t done, int64_t, void *user) {
    if (done > 0) q_httpc_cancel(static_cast<Q_HTTPC_CANCEL *>(user));
}
} // namespace

TEST(Session, AnswersCutInTheirBodyFailTheCall) {
    CLOUD cloud;
    std::string chunk = R"({"items": [1, 2]})";
    char size_line[16];
    snprintf(size_line, sizeof size_line, "%zx\r\n", chunk.size() + 10);
    cloud.page("/length", cut_answer(R"({"a": 1})", 100));
    cloud.page("/chunked",
               "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" +
                   std::string(size_line) + chunk);
    cloud.page("/whole", kvn_script::json_answer(200, R"({"a": 1})"));
    SESSION_PTR sp;
    sp.s = session_on(cloud.server);

    struct {
        const char *path;
        int status, broken;
        const char *error, *text;
    } rows[] = {
        {"/length", 200, 1, "connection closed while reading the body", R"({"a": 1})"},
        {"/chunked", 200, 1, "connection closed while reading the body", R"({"items": [1, 2]})"},
        {"/whole", 200, 0, "", R"({"a": 1})"},
    };
    for (auto &row : rows) {
        RESULT_PTR r(kvn_session_call(sp.s, "object-store", "GET", row.path, nullptr, nullptr, nullptr));
        ASSERT_NE(r.r, nullptr);
        EXPECT_EQ(r->status, row.status) << row.path;
        EXPECT_EQ(kvn_result_ok(r.r), !row.broken) << row.path;
        EXPECT_EQ(r->broken, row.broken) << row.path;
        EXPECT_STREQ(r->error, row.error) << row.path;
        EXPECT_STREQ(r->text ? r->text : "", row.text) << row.path;
        EXPECT_EQ(r->json != nullptr, !row.broken) << row.path; // no JSON from half a body
    }
}

TEST(Session, CutOrCancelledDownloadsLeaveNoFile) {
    CLOUD cloud;
    std::string data(3000, 'd');
    cloud.page("/file", cut_answer(data.substr(0, 100), data.size()));
    cloud.page("/slow", cut_answer(data.substr(0, 100), data.size()), true);
    cloud.page("/good", "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + data);
    SESSION_PTR sp;
    sp.s = session_on(cloud.server);
    TEST_DIR dir;

    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    q_strcpy(o.download_path, sizeof o.download_path, dir.file("cut.raw").c_str());
    RESULT_PTR cut(kvn_session_call(sp.s, "object-store", "GET", "/file", nullptr, &o, nullptr));
    EXPECT_FALSE(kvn_result_ok(cut.r));
    EXPECT_EQ(cut->status, 200);
    EXPECT_STREQ(cut->error, "connection closed while reading the body");
    EXPECT_FALSE(test_exists(dir.file("cut.raw")));

    Q_HTTPC_CANCEL *cancel = q_httpc_cancel_new();
    q_strcpy(o.download_path, sizeof o.download_path, dir.file("cancelled.raw").c_str());
    o.progress = cancel_on_first_bytes;
    o.progress_user = cancel;
    RESULT_PTR cancelled(kvn_session_call(sp.s, "object-store", "GET", "/slow", nullptr, &o, cancel));
    q_httpc_cancel_free(&cancel);
    EXPECT_FALSE(kvn_result_ok(cancelled.r));
    EXPECT_TRUE(cancelled->cancelled);
    EXPECT_STREQ(cancelled->error, "cancelled");
    EXPECT_FALSE(test_exists(dir.file("cancelled.raw")));

    memset(&o, 0, sizeof o);
    q_strcpy(o.download_path, sizeof o.download_path, dir.file("good.raw").c_str());
    RESULT_PTR good(kvn_session_call(sp.s, "object-store", "GET", "/good", nullptr, &o, nullptr));
    EXPECT_TRUE(kvn_result_ok(good.r)) << good->error;
    EXPECT_EQ(test_read_file(dir.file("good.raw")), data);
}

TEST(Session, CutPageStopsThePagination) {
    CLOUD cloud;
    cloud.page("/list", kvn_script::json_answer(200, R"({"items": [1, 2], "next": "/v1/AUTH_x/list2"})"));
    // Looks whole, but the head promised more.
    cloud.page("/list2", cut_answer(R"({"items": [3], "next": "/v1/AUTH_x/list3"})", 200));
    cloud.page("/list3", kvn_script::json_answer(200, R"({"items": [4]})"));
    SESSION_PTR sp;
    sp.s = session_on(cloud.server);
    RESULT_PTR r(kvn_call_paged(sp.s, "object-store", "/list", "items", nullptr));
    ASSERT_NE(r.r, nullptr);
    EXPECT_EQ(r->status, 200);
    EXPECT_STREQ(r->error, "pagination stopped: connection closed while reading the body");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(r->json, "items")), 2);
    EXPECT_EQ(cloud.server.count("/v1/AUTH_x/list3"), 0);
}

TEST(Session, ListLongerThanThePageCapSaysItIsCut) {
    // Two chains: "a" of exactly 200 pages (whole), "b" of 201 (cut at 200).
    CLOUD cloud;
    for (const char *chain : {"a", "b"}) {
        const int pages = chain[0] == 'a' ? 200 : 201;
        for (int i = 0; i < pages; i++) {
            char path[16], body[96];
            snprintf(path, sizeof path, "/%s%d", chain, i);
            if (i + 1 < pages)
                snprintf(body, sizeof body, R"({"items": [%d], "next": "/v1/AUTH_x/%s%d"})", i, chain, i + 1);
            else
                snprintf(body, sizeof body, R"({"items": [%d]})", i);
            cloud.page(path, kvn_script::json_answer(200, body));
        }
    }
    SESSION_PTR sp;
    sp.s = session_on(cloud.server);
    RESULT_PTR whole(kvn_call_paged(sp.s, "object-store", "/a0", "items", nullptr));
    ASSERT_NE(whole.r, nullptr);
    EXPECT_STREQ(whole->error, "");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(whole->json, "items")), 200);

    RESULT_PTR cut(kvn_call_paged(sp.s, "object-store", "/b0", "items", nullptr));
    ASSERT_NE(cut.r, nullptr);
    EXPECT_TRUE(kvn_result_ok(cut.r));
    EXPECT_STREQ(cut->error, "pagination stopped: more than 200 pages, the list is incomplete");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(cut->json, "items")), 200);
    EXPECT_EQ(cloud.server.count("/v1/AUTH_x/b200"), 0);
}

TEST(Session, CutTokenAnswerStoresNoToken) {
    CLOUD cloud;
    KVN_PROFILE p;
    kvn_profile_defaults(&p);
    q_strcpy(p.auth_url, sizeof p.auth_url, cloud.server.url("/cut/v3").c_str());
    SESSION_PTR sp;
    sp.s = kvn_session_new(&p);
    EXPECT_EQ(kvn_session_authenticate(sp.s, nullptr), -1);
    char err[1024];
    kvn_session_last_error(sp.s, err, sizeof err);
    EXPECT_STREQ(err, "connection closed while reading the body");
    KVN_SESSION_INFO info;
    kvn_session_info(sp.s, &info);
    EXPECT_FALSE(info.has_token);
    EXPECT_EQ(info.endpoint_count, 0);

    // A session that has a token keeps it.
    q_strcpy(p.auth_url, sizeof p.auth_url, cloud.server.url("/v3").c_str());
    kvn_session_set_profile(sp.s, &p);
    ASSERT_EQ(kvn_session_authenticate(sp.s, nullptr), 0);
    q_strcpy(p.auth_url, sizeof p.auth_url, cloud.server.url("/cut/v3").c_str());
    kvn_session_set_profile(sp.s, &p);
    EXPECT_EQ(kvn_session_authenticate(sp.s, nullptr), -1);
    char token[64];
    ASSERT_EQ(kvn_session_token(sp.s, token, sizeof token), 0);
    EXPECT_STREQ(token, "tok-1");
}

TEST(Session, OnlyUnsignedCallsAreSentAgainAfterA401) {
    CLOUD cloud;
    cloud.page("/once", kvn_script::json_answer(200, R"({"ok": true})"));
    {
        std::lock_guard<std::mutex> g(cloud.mutex);
        cloud.fail_first["/v1/AUTH_x/once"] = 1;
        cloud.fail_first["/v3/OS-OAUTH1/request_token"] = 1;
    }
    SESSION_PTR sp;
    sp.s = session_on(cloud.server);
    RESULT_PTR r(kvn_session_call(sp.s, "object-store", "GET", "/once", nullptr, nullptr, nullptr));
    EXPECT_TRUE(kvn_result_ok(r.r)) << r->error;
    EXPECT_EQ(cloud.server.count("/v1/AUTH_x/once"), 2);
    EXPECT_EQ(cloud.tokens, 2); // the first token, then the renewal

    // A signed request carries a nonce that may be used once.
    KVN_OAUTH1_TOKEN t;
    char err[256];
    EXPECT_EQ(kvn_oauth1_request_token(sp.s, "ck", "cs", "p1", &t, err, sizeof err, nullptr), -1);
    EXPECT_STREQ(err, "HTTP 401: token expired");
    EXPECT_EQ(cloud.server.count("/v3/OS-OAUTH1/request_token"), 1);
    EXPECT_EQ(cloud.tokens, 2);
}

TEST(Session, UploadOfUnknownSizeSendsNothing) {
    CLOUD cloud;
    SESSION_PTR sp;
    sp.s = session_on(cloud.server);
    TEST_DIR dir;
    std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing, so that opening it for reading never waits.
    int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    KVN_CALL_OPTS o;
    memset(&o, 0, sizeof o);
    q_strcpy(o.upload_path, sizeof o.upload_path, fifo.c_str());
    RESULT_PTR r(kvn_session_call(sp.s, "object-store", "PUT", "/up", nullptr, &o, nullptr));
    close(writer);
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(std::string(r->error), "cannot find the size of " + fifo);
    EXPECT_EQ(cloud.server.requests().size(), 0u);
}

TEST(Session, PageUrls) {
    struct {
        const char *base, *link, *out; // out null: no page
    } rows[] = {
        // Behind a path prefix, services write links without it.
        {"https://cloud/image/v2", "/v2/images?marker=a", "https://cloud:443/image/v2/images?marker=a"},
        {"https://cloud/network/v2.0", "http://127.0.0.1:9696/v2.0/networks?marker=n",
         "https://cloud:443/network/v2.0/networks?marker=n"},
        {"https://cloud/volume/v3/p1", "/v3/p1/volumes?marker=v",
         "https://cloud:443/volume/v3/p1/volumes?marker=v"},
        {"https://cloud/placement", "/resource_providers?marker=r",
         "https://cloud:443/placement/resource_providers?marker=r"},
        // Links that already carry it are kept.
        {"https://cloud/image/v2", "/image/v2/images?marker=a", "https://cloud:443/image/v2/images?marker=a"},
        {"https://cloud/volume/v3/p1", "https://cloud/volume/v3/p1/volumes?m=1",
         "https://cloud:443/volume/v3/p1/volumes?m=1"},
        {"https://cloud/image/v2", "/images?x=1",
         "https://cloud:443/image/images?x=1"}, // "/image" is no prefix of it
        // Plain layouts are unchanged; scheme, host and port come from the catalog.
        {"http://g:9292/v2", "/v2/images?marker=a", "http://g:9292/v2/images?marker=a"},
        {"http://g:9292/v2", "https://elsewhere:1/v2/images?marker=a", "http://g:9292/v2/images?marker=a"},
        {"http://nova:8774/v2.1", "http://nova:8774/v2.1/servers?marker=1",
         "http://nova:8774/v2.1/servers?marker=1"},
        {"http://c:8776/v3/p1", "http://c:8776/v3/p1/volumes?marker=1",
         "http://c:8776/v3/p1/volumes?marker=1"},
        {"http://d:9001", "/zones?marker=z", "http://d:9001/zones?marker=z"},
        {"http://[::1]:9292/v2", "/v2/images", "http://[::1]:9292/v2/images"},
        {"http://g:9292/v2", "http://elsewhere", "http://g:9292/"},
        {"http://g:9292/v2", "images?marker=a", nullptr},
        {"http://g:9292/v2", "", nullptr},
        {"not a url", "/v2/images", nullptr},
    };
    char out[512];
    for (auto &r : rows) {
        int rc = kvn_page_url(r.base, r.link, out, sizeof out);
        if (!r.out)
            EXPECT_EQ(rc, -1) << r.base << " + " << r.link;
        else
            EXPECT_STREQ(rc == 0 ? out : "(failed)", r.out) << r.base << " + " << r.link;
    }
    std::string longlink = "/v2/" + std::string(600, 'x');
    EXPECT_EQ(kvn_page_url("http://g:9292/v2", longlink.c_str(), out, sizeof out), -1);
}
