// labels: unit
// Reading clouds.yaml, secure.yaml, openrc text and the OS_* environment into
// profiles: the YAML subset, where files are looked for, how each key lands
// in the profile, hostile documents, and no secret in the log.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <unistd.h>

#include "kvn_app.h"
#include "kvn_clouds.h"
#include "kvn_test_util.h"
#include "q_common.h"

namespace {
struct DOC {
    KVN_YAML_DOC *d;
    explicit DOC(const std::string &text) : d(kvn_yaml_parse(text.c_str())) {}
    ~DOC() { kvn_yaml_free(&d); }
    // "<none>" when the path has no value.
    std::string get(const char *path) const {
        const char *v = kvn_yaml_get_path(d, path);
        return v ? v : "<none>";
    }
};

// Sets or removes environment variables for one test and puts them back.
struct ENV {
    std::map<std::string, std::pair<bool, std::string>> saved;
    void set(const std::string &name, const char *value) {
        if (!saved.count(name)) {
            const char *o = getenv(name.c_str());
            saved[name] = {o != nullptr, o ? o : ""};
        }
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }
    // Removes every OS_* variable, so the machine's own never leak in.
    void clear_os() {
        std::vector<std::string> names;
        for (char **e = environ; *e; e++)
            if (!strncmp(*e, "OS_", 3)) names.emplace_back(*e, strchr(*e, '=') - *e);
        for (auto &n : names)
            set(n, nullptr);
    }
    ~ENV() {
        for (auto &kv : saved)
            if (kv.second.first)
                setenv(kv.first.c_str(), kv.second.second.c_str(), 1);
            else
                unsetenv(kv.first.c_str());
    }
};

struct CWD {
    std::string old;
    explicit CWD(const std::string &dir) {
        old = std::filesystem::current_path().string();
        std::filesystem::current_path(dir);
    }
    ~CWD() { std::filesystem::current_path(old); }
};

// A scratch HOME and XDG_CONFIG_HOME, the current directory inside it, and no
// OS_* variable: the search sees only what the test writes.
struct CLOUD_HOME {
    TEST_DIR dir;
    ENV env;
    std::unique_ptr<CWD> cwd;
    CLOUD_HOME() {
        std::filesystem::create_directories(dir.file("home/.config/openstack"));
        std::filesystem::create_directories(dir.file("xdg/openstack"));
        std::filesystem::create_directories(dir.file("cwd"));
        env.clear_os();
        env.set("HOME", dir.file("home").c_str());
        env.set("XDG_CONFIG_HOME", dir.file("xdg").c_str());
        cwd = std::make_unique<CWD>(dir.file("cwd"));
    }
    std::string xdg(const std::string &name) const { return dir.file("xdg/openstack/" + name); }
    void write(const std::string &clouds, const std::string &secure = "") {
        test_write_file(xdg("clouds.yaml"), clouds);
        if (!secure.empty())
            test_write_file(xdg("secure.yaml"), secure);
        else
            std::filesystem::remove(xdg("secure.yaml"));
    }
};

struct LOG_LEVEL {
    int old = get_log_level();
    explicit LOG_LEVEL(int level) { set_log_level(level); }
    ~LOG_LEVEL() { set_log_level(old); }
};
} // namespace

// ------------------------------------------------------------------ YAML

TEST(Yaml, Subset) {
    struct CASE {
        const char *label, *text, *path, *want;
    };
    const CASE cases[] = {
        {"nested mapping", "clouds:\n  a:\n    auth:\n      auth_url: http://h:5000/v3\n",
         "clouds/a/auth/auth_url", "http://h:5000/v3"},
        {"a closed level is left", "a:\n  b:\n    c: 1\n  d: 2\ne: 3\n", "a/d", "2"},
        {"top level after nesting", "a:\n  b:\n    c: 1\ne: 3\n", "e", "3"},
        {"colon without space stays in the value", "url: http://h:5000/v3", "url", "http://h:5000/v3"},
        {"colon without space is no key", "a:b: c", "a:b", "c"},
        {"quoted key with a colon", "\"a: b\": c", "a: b", "c"},
        {"single-quoted key", "'k # x': v", "k # x", "v"},
        {"double-quoted escapes", "k: \"a\\\"b\\\\c\\nd\\te\\x\"", "k", "a\"b\\c\nd\tex"},
        {"single quotes doubled", "k: 'it''s # not'", "k", "it's # not"},
        {"quoted value keeps spaces", "k: '  x  '  # c", "k", "  x  "},
        {"comment after a plain value", "k: value   # comment", "k", "value"},
        {"hash inside a word", "k: a#b", "k", "a#b"},
        {"anchor before a value", "k: &name value", "k", "value"},
        {"alias reads empty", "k: *name", "k", ""},
        {"anchor alone opens a mapping", "base: &b\n  x: 1\n", "base/x", "1"},
        {"comment alone opens a mapping", "a: # here\n  b: 1\n", "a/b", "1"},
        {"merge key ignored", "a:\n  <<: *b\n  c: 1\n", "a/<<", "<none>"},
        {"merge block ignored", "a:\n  <<:\n    x: 1\n  c: 1\n", "a/x", "<none>"},
        {"merge block: the sibling stays", "a:\n  <<:\n    x: 1\n  c: 1\n", "a/c", "1"},
        {"flow sequence", "r: [a, 'b,c', [d, e], \"f\"]", "r/1", "b,c"},
        {"flow sequence nested", "r: [a, 'b,c', [d, e], \"f\"]", "r/2", "[d, e]"},
        {"flow sequence last", "r: [a, 'b,c', [d, e], \"f\"]  # c", "r/3", "f"},
        {"flow mapping", "m: {a: 1, b: 'x, y', c: {d: e}}", "m/b", "x, y"},
        {"flow mapping nested", "m: {a: 1, b: 'x, y', c: {d: e}}", "m/c", "{d: e}"},
        {"unclosed flow is plain text", "m: [a, b", "m", "[a, b"},
        {"sequence of names", "r:\n  - one\n  - two\n", "r/1", "two"},
        {"sequence at the key's indent", "r:\n- one\n- two\nk: v\n", "r/1", "two"},
        {"sequence at the key's indent, next key", "r:\n- one\n- two\nk: v\n", "k", "v"},
        {"sequence of mappings", "r:\n  - name: R1\n    id: 1\n  - name: R2\n", "r/0/id", "1"},
        {"sequence of mappings, second", "r:\n  - name: R1\n    id: 1\n  - name: R2\n", "r/1/name", "R2"},
        {"dash alone", "r:\n  -\n    name: R1\n", "r/0/name", "R1"},
        {"dash with a nested key", "r:\n  - a:\n      b: 1\n    c: 2\n", "r/0/a/b", "1"},
        {"dash with a nested key, sibling", "r:\n  - a:\n      b: 1\n    c: 2\n", "r/0/c", "2"},
        {"indices count per parent", "a:\n  - x\nb:\n  - y\n", "b/0", "y"},
        {"root sequence", "- a\n- b\n", "1", "b"},
        {"quoted dash value with colon", "r:\n  - 'a: b'\n", "r/0", "a: b"},
        {"flow after a dash", "r:\n  - [a, b]\n", "r/0/1", "b"},
        {"literal block", "k: |\n  one\n\n  two\n    three\nn: x\n", "k", "one\n\ntwo\n  three"},
        {"folded block", "k: >\n  one\n  two\n\n  three\nn: x\n", "k", "one two\nthree"},
        {"block with indicator", "k: >-\n  secret\n", "k", "secret"},
        {"key after a block", "k: |\n  one\nn: x\n", "n", "x"},
        {"block keeps hash lines", "k: |\n  # one\n  two\n", "k", "# one\ntwo"},
        {"block in a sequence", "r:\n  - |\n    a\n    b\n", "r/0", "a\nb"},
        {"CRLF lines", "a:\r\n  b: 1\r\n  c: |\r\n    x\r\n    y\r\n", "a/c", "x\ny"},
        {"CRLF value", "a:\r\n  b: 1 \r\n", "a/b", "1"},
        {"document markers and directives", "%YAML 1.1\n---\na: 1\n...\n", "a", "1"},
        {"comments everywhere", "# top\na:   # c\n  # inner\n    # deeper\n  b: 1 # c\n", "a/b", "1"},
        {"the last value wins", "k: 1\nk: 2\n", "k", "2"},
        {"a line without a key is skipped", "a:\n  just text\n  b: 1\n", "a/b", "1"},
        {"a mapping node has no value", "a:\n  b: 1\n", "a", "<none>"},
        {"tab indentation", "a:\n\tb: 1\n", "a/b", "1"},
        {"empty quoted value", "k: ''", "k", ""},
    };
    for (const CASE &c : cases) {
        DOC d(c.text);
        ASSERT_NE(d.d, nullptr);
        EXPECT_EQ(d.get(c.path), c.want) << c.label;
    }
}

TEST(Yaml, CloudNamesInOrderOfFirstAppearance) {
    DOC d("clouds:\n  b:\n    x: 1\n  a:\n    y: 2\nother:\n  c: 1\nclouds:\n  b:\n    z: 3\n  d: 4\n");
    char **names = nullptr;
    int n = kvn_yaml_cloud_names(d.d, &names);
    std::vector<std::string> got;
    for (int i = 0; i < n; i++) {
        got.push_back(names[i]);
        free(names[i]);
    }
    free(names);
    EXPECT_EQ(got, (std::vector<std::string>{"b", "a", "d"}));
}

TEST(Yaml, Limits) {
    // 31 nested levels are read; a 32nd ends the parse at that line.
    std::string text, path;
    for (int i = 0; i < 40; i++) {
        text += std::string((size_t)i * 2, ' ') + "k" + std::to_string(i) + ":" +
                (i == 30 || i == 31 ? " v" : "") + "\n";
        if (i == 31) break;
    }
    text += "after: 1\n";
    {
        DOC d(text);
        std::string p30;
        for (int i = 0; i <= 30; i++)
            p30 += (i ? "/k" : "k") + std::to_string(i);
        EXPECT_EQ(d.get(p30.c_str()), "v") << "a leaf at 31 levels";
        EXPECT_EQ(d.get("after"), "1");
    }
    std::string deep;
    for (int i = 0; i < 33; i++)
        deep += std::string((size_t)i, ' ') + "k" + std::to_string(i) + ":\n";
    deep += std::string(33, ' ') + "leaf: x\nafter: 1\n";
    {
        DOC d(deep);
        EXPECT_EQ(d.get("k0/k1/k2"), "<none>") << "mapping nodes only";
        EXPECT_EQ(d.get("after"), "<none>") << "the parse ends at the line too deep";
        EXPECT_GE(d.d->count, 31);
        for (int i = 0; i < d.d->count; i++)
            EXPECT_LE(d.d->entries[i].depth, KVN_YAML_MAX_PATH);
    }

    // A flow sequence keeps its first 64 elements.
    std::string flow = "r: [";
    for (int i = 0; i < 65; i++)
        flow += (i ? ", n" : "n") + std::to_string(i);
    DOC f(flow + "]\nnext: 1\n");
    EXPECT_EQ(f.get("r/63"), "n63");
    EXPECT_EQ(f.get("r/64"), "<none>");
    EXPECT_EQ(f.get("next"), "1");

    // 65536 entries at most, then the parse says why it stopped.
    std::string many;
    for (int i = 0; i < 70000; i++)
        many += "- x\n";
    TEST_LOG_CAPTURE log;
    DOC m(many);
    EXPECT_EQ(m.d->count, KVN_YAML_MAX_ENTRIES);
    EXPECT_EQ(m.get("65535"), "x");
    EXPECT_TRUE(log.contains("yaml: document cut short (too large or no memory)"));
}

// Input nobody should write: each parses without a crash or a hang, and what
// can be read is read.
TEST(Yaml, HostileDocuments) {
    std::mt19937 rng(12345);
    std::string garbage(1 << 20, 0);
    for (char &c : garbage)
        c = (char)(rng() % 255 + 1);
    std::string one_line(8u << 20, 'a');
    one_line[100] = ':';
    one_line[101] = ' ';
    std::string deep;
    for (int i = 0; i < 1000; i++)
        deep += std::string((size_t)i, ' ') + "k:\n";
    std::string deep_flow = "k: [" + std::string(100000, '[') + std::string(100000, ']') + "]";
    std::string deep_flow_item = std::string(100000, '[') + std::string(100000, ']');
    std::string long_keys;
    for (int i = 0; i < 8; i++)
        long_keys += std::string((size_t)i, ' ') + std::string(1 << 20, 'k') + ":\n";
    for (int i = 0; i < 20000; i++)
        long_keys += std::string(8, ' ') + "- x\n";
    std::string nul = "a: 1\nb: 2";
    nul += '\0';
    nul += "\nc: 3\n";
    struct CASE {
        const char *label;
        std::string text;
        const char *path;
        std::string want;
    };
    const CASE cases[] = {
        {"binary garbage", garbage, nullptr, ""},
        {"8 MiB in one line", one_line, nullptr, ""},
        {"1000 levels", deep, "k/k/k", "<none>"},
        {"deep flow brackets", deep_flow, "k/0", deep_flow_item},
        {"long keys repeated in many paths", long_keys, nullptr, ""},
        {"a NUL byte ends the text", nul, "b", "2"},
        {"only CR", std::string(100000, '\r'), nullptr, ""},
        {"dashes and colons", std::string(50000, '-') + ": " + std::string(50000, ':'), nullptr, ""},
        {"quotes never closed", "k: \"abc\nj: 'x\nl: 1\n", "l", "1"},
        {"block scalar to the end", "k: |\n", "k", ""},
    };
    for (const CASE &c : cases) {
        // The parser ends the text at a NUL byte, as the C text it is given does.
        KVN_YAML_DOC *d = kvn_yaml_parse(c.text.c_str());
        ASSERT_NE(d, nullptr) << c.label;
        EXPECT_LE(d->count, KVN_YAML_MAX_ENTRIES) << c.label;
        if (c.path) {
            const char *v = kvn_yaml_get_path(d, c.path);
            EXPECT_TRUE(std::string(v ? v : "<none>") == c.want) << c.label;
        }
        kvn_yaml_free(&d);
        EXPECT_EQ(d, nullptr);
    }
    DOC nul_doc(nul);
    EXPECT_EQ(nul_doc.get("c"), "<none>");
}

// ------------------------------------------------------------------ search

TEST(Clouds, SearchOrder) {
    struct CASE {
        const char *label;
        std::vector<std::string> files; // relative to the scratch folder
        const char *os_client_config;   // relative, or null
        const char *xdg;                // "unset", "empty" or "set"
        const char *base;
        const char *want; // relative, or "" for none
    };
    const CASE cases[] = {
        {"OS_CLIENT_CONFIG_FILE first",
         {"env/my.yaml", "cwd/clouds.yaml"},
         "env/my.yaml",
         "set",
         "clouds",
         "env/my.yaml"},
        {"OS_CLIENT_CONFIG_FILE missing falls back",
         {"cwd/clouds.yaml"},
         "env/none.yaml",
         "set",
         "clouds",
         "cwd/./clouds.yaml"},
        {"OS_CLIENT_CONFIG_FILE is for clouds only",
         {"env/my.yaml", "xdg/openstack/secure.yaml"},
         "env/my.yaml",
         "set",
         "secure",
         "xdg/openstack/secure.yaml"},
        {"current directory before XDG",
         {"cwd/clouds.yml", "xdg/openstack/clouds.yaml"},
         nullptr,
         "set",
         "clouds",
         "cwd/./clouds.yml"},
        {"yaml before yml",
         {"cwd/clouds.yml", "cwd/clouds.yaml"},
         nullptr,
         "set",
         "clouds",
         "cwd/./clouds.yaml"},
        {"XDG before /etc",
         {"xdg/openstack/clouds.yml"},
         nullptr,
         "set",
         "clouds",
         "xdg/openstack/clouds.yml"},
        {"XDG set hides ~/.config", {"home/.config/openstack/clouds.yaml"}, nullptr, "set", "clouds", ""},
        {"XDG unset: ~/.config/openstack",
         {"home/.config/openstack/clouds.yaml"},
         nullptr,
         "unset",
         "clouds",
         "home/.config/openstack/clouds.yaml"},
        {"XDG empty: ~/.config/openstack",
         {"home/.config/openstack/secure.yml"},
         nullptr,
         "empty",
         "secure",
         "home/.config/openstack/secure.yml"},
        {"a folder is no file",
         {"cwd/clouds.yaml/", "xdg/openstack/clouds.yaml"},
         nullptr,
         "set",
         "clouds",
         "xdg/openstack/clouds.yaml"},
        {"nothing anywhere", {}, nullptr, "set", "clouds", ""},
    };
    const bool etc_has_files = std::filesystem::exists("/etc/openstack");
    for (const CASE &c : cases) {
        CLOUD_HOME h;
        std::filesystem::create_directories(h.dir.file("env"));
        for (const auto &f : c.files) {
            if (f.back() == '/')
                std::filesystem::create_directories(h.dir.file(f));
            else
                test_write_file(h.dir.file(f), "clouds: {}\n");
        }
        if (c.os_client_config) h.env.set("OS_CLIENT_CONFIG_FILE", h.dir.file(c.os_client_config).c_str());
        if (!strcmp(c.xdg, "unset")) h.env.set("XDG_CONFIG_HOME", nullptr);
        if (!strcmp(c.xdg, "empty")) h.env.set("XDG_CONFIG_HOME", "");
        char out[2048];
        int found = kvn_clouds_find(c.base, out, sizeof out);
        if (!*c.want) {
            if (!etc_has_files) {
                EXPECT_EQ(found, 0) << c.label << ": " << out;
            }
            continue;
        }
        EXPECT_EQ(found, 1) << c.label;
        std::string want = c.want;
        if (want.rfind("cwd/", 0) == 0)
            want = want.substr(4);
        else
            want = h.dir.file(want);
        EXPECT_EQ(std::string(out), want) << c.label;
    }
}

// ------------------------------------------------------------------ import

TEST(Clouds, MappingTable) {
    struct CASE {
        const char *label;
        const char *clouds, *secure;
        std::map<std::string, std::string> want; // field -> value
        int settings;
    };
    const char *full = "clouds:\n"
                       "  c:\n"
                       "    auth:\n"
                       "      auth_url: https://k:5000/v3\n"
                       "      username: u\n"
                       "      user_id: uid\n"
                       "      user_domain_name: UD\n"
                       "      user_domain_id: udid\n"
                       "      tenant_name: tn\n"
                       "      project_name: pn\n"
                       "      tenant_id: tid\n"
                       "      project_id: pid\n"
                       "      project_domain_name: PD\n"
                       "      project_domain_id: pdid\n"
                       "      application_credential_name: acn\n"
                       "      password: pw\n"
                       "    endpoint_type: internalURL\n"
                       "    interface: admin\n"
                       "    cacert: /ca.pem\n"
                       "    region_name: R1\n"
                       "    regions: [R2]\n";
    const CASE cases[] = {
        {"every key",
         full,
         "",
         {{"auth_url", "https://k:5000/v3"},
          {"username", "u"},
          {"user_id", "uid"},
          {"user_domain_name", "UD"},
          {"user_domain_id", "udid"},
          {"project_name", "pn"},
          {"project_id", "pid"},
          {"project_domain_name", "PD"},
          {"project_domain_id", "pdid"},
          {"application_credential_name", "acn"},
          {"secret", "pw"},
          {"interface", "admin"},
          {"ca_file", "/ca.pem"},
          {"region", "R1"},
          {"auth_type", "0"},
          {"insecure", "0"},
          {"name", "c"}},
         17},
        {"secure password wins",
         "clouds:\n  c:\n    auth:\n      password: clear\n      username: u\n",
         "clouds:\n  c:\n    auth:\n      password: hidden\n",
         {{"secret", "hidden"}, {"username", "u"}},
         2},
        {"secure empty hides the clouds value",
         "clouds:\n  c:\n    auth:\n      password: clear\n      username: u\n",
         "clouds:\n  c:\n    auth:\n      password: ''\n",
         {{"secret", ""}, {"username", "u"}},
         1},
        {"secure value of another cloud does not count",
         "clouds:\n  c:\n    auth:\n      password: clear\n",
         "clouds:\n  other:\n    auth:\n      password: hidden\n",
         {{"secret", "clear"}},
         1},
        {"the token is the last secret",
         "clouds:\n  c:\n    auth:\n      password: p\n      application_credential_secret: s\n      token: "
         "t\n",
         "",
         {{"secret", "t"}},
         3},
        {"project_name overwrites tenant_name",
         "clouds:\n  c:\n    auth:\n      project_name: p\n      tenant_name: t\n",
         "",
         {{"project_name", "p"}},
         2},
        {"regions as names",
         "clouds:\n  c:\n    auth: {username: u}\n    regions:\n      - RA\n      - RB\n",
         "",
         {{"region", "RA"}},
         2},
        {"regions as mappings",
         "clouds:\n  c:\n    auth: {username: u}\n    regions:\n      - name: RM\n        values: {}\n      "
         "- name: RN\n",
         "",
         {{"region", "RM"}},
         2},
        {"region_name before regions",
         "clouds:\n  c:\n    region_name: R\n    regions: [X]\n",
         "",
         {{"region", "R"}},
         1},
        {"verify false", "clouds:\n  c:\n    verify: False\n", "", {{"insecure", "1"}}, 1},
        {"verify 0", "clouds:\n  c:\n    verify: 0\n", "", {{"insecure", "1"}}, 1},
        {"insecure yes", "clouds:\n  c:\n    insecure: yes\n", "", {{"insecure", "1"}}, 1},
        {"insecure ON", "clouds:\n  c:\n    insecure: ON\n", "", {{"insecure", "1"}}, 1},
        {"verify true, insecure no",
         "clouds:\n  c:\n    verify: true\n    insecure: no\n",
         "",
         {{"insecure", "0"}},
         2},
        {"verify true wins nothing over insecure true",
         "clouds:\n  c:\n    verify: true\n    insecure: true\n",
         "",
         {{"insecure", "1"}},
         2},
        {"interface with a suffix",
         "clouds:\n  c:\n    interface: publicURL\n",
         "",
         {{"interface", "public"}},
         1},
        {"interface overwrites endpoint_type",
         "clouds:\n  c:\n    interface: internal\n    endpoint_type: admin\n",
         "",
         {{"interface", "internal"}},
         2},
        {"other interface kept", "clouds:\n  c:\n    interface: weird\n", "", {{"interface", "weird"}}, 1},
        {"application credential id",
         "clouds:\n  c:\n    auth:\n      application_credential_id: ac\n      "
         "application_credential_secret: s\n",
         "",
         {{"auth_type", "1"}, {"application_credential_id", "ac"}, {"secret", "s"}},
         2},
        {"auth_type v3applicationcredential",
         "clouds:\n  c:\n    auth_type: v3applicationcredential\n",
         "",
         {{"auth_type", "1"}},
         1},
        {"auth_type token", "clouds:\n  c:\n    auth_type: v3token\n", "", {{"auth_type", "2"}}, 1},
        {"auth_type password", "clouds:\n  c:\n    auth_type: v3password\n", "", {{"auth_type", "0"}}, 1},
        {"default domain id fills both",
         "clouds:\n  c:\n    auth:\n      default_domain_id: did\n      default_domain_name: dn\n",
         "",
         {{"user_domain_id", "did"},
          {"project_domain_id", "did"},
          {"user_domain_name", ""},
          {"project_domain_name", ""}},
         2},
        {"domain_name when no id",
         "clouds:\n  c:\n    auth:\n      domain_name: dn\n      user_domain_id: u\n",
         "",
         {{"user_domain_id", "u"}, {"user_domain_name", ""}, {"project_domain_name", "dn"}},
         2},
        {"default_domain_id before domain_id",
         "clouds:\n  c:\n    auth:\n      domain_id: d2\n      default_domain_id: d1\n",
         "",
         {{"user_domain_id", "d1"}},
         1},
        {"no domain: Default",
         "clouds:\n  c:\n    auth:\n      username: u\n",
         "",
         {{"user_domain_name", "Default"}, {"project_domain_name", "Default"}, {"interface", "public"}},
         1},
        {"alias reads as absent",
         "clouds:\n  c:\n    auth:\n      username: *u\n      project_id: p\n",
         "",
         {{"username", ""}, {"project_id", "p"}},
         1},
    };
    for (const CASE &c : cases) {
        CLOUD_HOME h;
        h.write(c.clouds, c.secure);
        KVN_PROFILE p;
        char msg[1024];
        int n = kvn_clouds_import("c", &p, msg, sizeof msg);
        EXPECT_EQ(n, c.settings) << c.label << ": " << msg;
        std::map<std::string, std::string> got = {
            {"name", p.name},
            {"auth_url", p.auth_url},
            {"username", p.username},
            {"user_id", p.user_id},
            {"user_domain_name", p.user_domain_name},
            {"user_domain_id", p.user_domain_id},
            {"project_name", p.project_name},
            {"project_id", p.project_id},
            {"project_domain_name", p.project_domain_name},
            {"project_domain_id", p.project_domain_id},
            {"application_credential_id", p.application_credential_id},
            {"application_credential_name", p.application_credential_name},
            {"secret", p.secret},
            {"interface", p.interface},
            {"ca_file", p.ca_file},
            {"region", p.region},
            {"auth_type", std::to_string(p.auth_type)},
            {"insecure", std::to_string(p.insecure)},
        };
        for (const auto &kv : c.want)
            EXPECT_EQ(got[kv.first], kv.second) << c.label << ": " << kv.first;
        kvn_profile_wipe_secret(&p);
    }
}

TEST(Clouds, ImportMessagesAndNames) {
    CLOUD_HOME h;
    KVN_PROFILE p;
    char msg[1024];
    EXPECT_EQ(kvn_clouds_import("c", &p, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, "no clouds.yaml found (current directory, ~/.config/openstack, /etc/openstack)");

    h.write("clouds:\n  present:\n    region_name: R\n  empty:\n    auth:\n      username: ''\n");
    EXPECT_EQ(kvn_clouds_import("absent", &p, msg, sizeof msg), -1);
    EXPECT_EQ(std::string(msg), "cloud 'absent' is not in " + h.xdg("clouds.yaml"));
    EXPECT_EQ(kvn_clouds_import("empty", &p, msg, sizeof msg), -1);
    EXPECT_EQ(std::string(msg), "cloud 'empty' in " + h.xdg("clouds.yaml") + " has no setting");

    // Names become valid profile names.
    std::string long_name(250, 'n');
    h.write("clouds:\n  'my cloud/x':\n    region_name: R\n  .hidden:\n    region_name: R\n  " + long_name +
            ":\n    region_name: R\n");
    struct CASE {
        std::string cloud, name;
    };
    const CASE cases[] = {
        {"my cloud/x", "my_cloud_x"}, {".hidden", "_hidden"}, {long_name, std::string(200, 'n')}};
    for (const CASE &c : cases) {
        ASSERT_EQ(kvn_clouds_import(c.cloud.c_str(), &p, msg, sizeof msg), 1) << msg;
        EXPECT_EQ(std::string(p.name), c.name);
        EXPECT_EQ(kvn_profile_name_valid(p.name), 1) << p.name;
    }

    // An unreadable (oversized) secure.yaml counts as absent.
    h.write("clouds:\n  c:\n    auth:\n      password: clear\n");
    test_write_file(h.xdg("secure.yaml"),
                    "clouds:\n  c:\n    auth:\n      password: x\n" + std::string(9u << 20, '#'));
    ASSERT_EQ(kvn_clouds_import("c", &p, msg, sizeof msg), 1) << msg;
    EXPECT_STREQ(p.secret, "clear");
}

// ------------------------------------------------------------------ openrc

TEST(Openrc, Lines) {
    struct CASE {
        const char *label, *text;
        int count;
        std::map<std::string, std::string> want;
    };
    const CASE cases[] = {
        {"plain exports",
         "export OS_AUTH_URL=http://k:5000/v3\nexport OS_USERNAME=demo\nexport OS_PASSWORD=pw\n"
         "export OS_PROJECT_NAME=demo\nexport OS_REGION_NAME=RegionOne\n",
         5,
         {{"auth_url", "http://k:5000/v3"}, {"username", "demo"}, {"secret", "pw"}, {"region", "RegionOne"}}},
        {"no export keyword, blanks and comments",
         "  # comment\n\n   OS_USERNAME=u   \r\nexport    OS_PROJECT_ID=p\n",
         2,
         {{"username", "u"}, {"project_id", "p"}}},
        {"double quotes with escapes",
         "export OS_PASSWORD=\"a\\\"b\\\\c$d\"\n",
         1,
         {{"secret", "a\"b\\c$d"}}},
        {"single quotes as they are", "export OS_PASSWORD='a\\b\"c # d'\n", 1, {{"secret", "a\\b\"c # d"}}},
        {"comment after a plain value", "export OS_REGION_NAME=R1 # the region\n", 1, {{"region", "R1"}}},
        {"reference ignored and not counted",
         "export OS_PASSWORD=$OS_PASSWORD_INPUT\nexport OS_USERNAME=u\n",
         1,
         {{"secret", ""}, {"username", "u"}}},
        {"quoted reference ignored", "export OS_PASSWORD=\"$PW\"\n", 0, {{"secret", ""}}},
        {"tenant names",
         "OS_TENANT_NAME=t\nOS_TENANT_ID=tid\n",
         2,
         {{"project_name", "t"}, {"project_id", "tid"}}},
        {"later lines win", "OS_PROJECT_NAME=a\nOS_TENANT_NAME=b\n", 2, {{"project_name", "b"}}},
        {"endpoint type cut", "OS_ENDPOINT_TYPE=internalURL\n", 1, {{"interface", "internal"}}},
        {"interface kept", "OS_INTERFACE=admin\n", 1, {{"interface", "admin"}}},
        {"insecure true", "OS_INSECURE=TRUE\n", 1, {{"insecure", "1"}}},
        {"insecure 1", "OS_INSECURE=1\n", 1, {{"insecure", "1"}}},
        {"insecure yes is not true", "OS_INSECURE=yes\n", 1, {{"insecure", "0"}}},
        {"auth type token",
         "OS_AUTH_TYPE=v3token\nOS_TOKEN=tok\n",
         2,
         {{"auth_type", "2"}, {"secret", "tok"}}},
        {"application credential",
         "OS_AUTH_TYPE=v3applicationcredential\nOS_APPLICATION_CREDENTIAL_ID=id\n"
         "OS_APPLICATION_CREDENTIAL_SECRET=s\nOS_APPLICATION_CREDENTIAL_NAME=n\n",
         4,
         {{"auth_type", "1"}, {"application_credential_id", "id"}, {"secret", "s"}}},
        {"credential id alone turns the type", "OS_APPLICATION_CREDENTIAL_ID=id\n", 1, {{"auth_type", "1"}}},
        {"domains",
         "OS_USER_DOMAIN_ID=ud\nOS_PROJECT_DOMAIN_NAME=pd\n",
         2,
         {{"user_domain_id", "ud"}, {"user_domain_name", "Default"}, {"project_domain_name", "pd"}}},
        {"domains by id keep the default names beside them",
         "OS_USER_DOMAIN_ID=ud\nOS_PROJECT_DOMAIN_ID=pd\n",
         2,
         {{"user_domain_id", "ud"}, {"user_domain_name", "Default"}, {"project_domain_name", "Default"}}},
        {"cacert", "OS_CACERT=/etc/ca.pem\n", 1, {{"ca_file", "/etc/ca.pem"}}},
        {"other OS_ names ignored", "OS_IDENTITY_API_VERSION=3\nOS_CLOUD=x\nNOT_OS=1\nOS_NOEQUALS\n", 0, {}},
        {"one quote is no quoting", "OS_USERNAME=\"\n", 1, {{"username", "\""}}},
        {"empty value counts", "OS_REGION_NAME=\n", 1, {{"region", ""}}},
    };
    for (const CASE &c : cases) {
        KVN_PROFILE p;
        EXPECT_EQ(kvn_profile_from_openrc(c.text, &p), c.count) << c.label;
        std::map<std::string, std::string> got = {
            {"auth_url", p.auth_url},
            {"username", p.username},
            {"secret", p.secret},
            {"region", p.region},
            {"project_id", p.project_id},
            {"project_name", p.project_name},
            {"interface", p.interface},
            {"insecure", std::to_string(p.insecure)},
            {"auth_type", std::to_string(p.auth_type)},
            {"application_credential_id", p.application_credential_id},
            {"user_domain_id", p.user_domain_id},
            {"user_domain_name", p.user_domain_name},
            {"project_domain_name", p.project_domain_name},
            {"ca_file", p.ca_file},
        };
        for (const auto &kv : c.want)
            EXPECT_EQ(got[kv.first], kv.second) << c.label << ": " << kv.first;
        EXPECT_STREQ(p.name, "") << c.label;
    }
}

// ------------------------------------------------------------------ environment

TEST(Environment, Import) {
    struct CASE {
        const char *label;
        std::vector<std::pair<const char *, const char *>> vars;
        int result;
        const char *msg; // "%F" stands for the clouds.yaml path
        std::map<std::string, std::string> want;
    };
    const CASE cases[] = {
        {"openrc variables",
         {{"OS_AUTH_URL", "http://k/v3"},
          {"OS_USERNAME", "u"},
          {"OS_PASSWORD", "pw"},
          {"OS_PROJECT_NAME", "my proj"},
          {"OS_IDENTITY_API_VERSION", "3"}},
         4,
         "imported 4 OS_* variables from the environment",
         {{"name", "my_proj"}, {"secret", "pw"}, {"auth_url", "http://k/v3"}}},
        {"no secret asks for one",
         {{"OS_AUTH_URL", "http://k/v3"}, {"OS_USERNAME", "u"}},
         2,
         "imported 2 OS_* variables from the environment: type the secret",
         {{"name", "environment"}}},
        {"a value with a quote or LF is left out",
         {{"OS_AUTH_URL", "http://k/v3"}, {"OS_USERNAME", "o'brien"}, {"OS_REGION_NAME", "a\nb"}},
         1,
         "imported 1 OS_* variables from the environment: type the secret",
         {{"username", ""}, {"region", ""}}},
        {"nothing", {{"OS_IDENTITY_API_VERSION", "3"}}, -1, "no OS_* variable in the environment", {}},
        {"OS_CLOUD names a cloud",
         {{"OS_CLOUD", "c"}},
         3,
         "cloud c from clouds.yaml (OS_CLOUD)",
         {{"name", "c"}, {"secret", "file-pw"}, {"region", "R"}}},
        {"OS_PASSWORD fills a missing secret",
         {{"OS_CLOUD", "nopw"}, {"OS_PASSWORD", "env-pw"}},
         2,
         "cloud nopw from clouds.yaml (OS_CLOUD)",
         {{"secret", "env-pw"}}},
        {"OS_PASSWORD does not replace the file's",
         {{"OS_CLOUD", "c"}, {"OS_PASSWORD", "env-pw"}},
         3,
         "cloud c from clouds.yaml (OS_CLOUD)",
         {{"secret", "file-pw"}}},
        {"OS_CLOUD without a secret",
         {{"OS_CLOUD", "nopw"}},
         2,
         "cloud nopw from clouds.yaml (OS_CLOUD): type the secret",
         {}},
        {"unknown OS_CLOUD", {{"OS_CLOUD", "zz"}}, -1, "OS_CLOUD=zz: cloud 'zz' is not in %F", {}},
        {"OS_AUTH_URL wins over OS_CLOUD",
         {{"OS_CLOUD", "c"}, {"OS_AUTH_URL", "http://other/v3"}},
         1,
         "imported 1 OS_* variables from the environment: type the secret",
         {{"auth_url", "http://other/v3"}}},
        {"OS_CLIENT_CONFIG_FILE names the file",
         {{"OS_CLOUD", "elsewhere"}, {"OS_CLIENT_CONFIG_FILE", "@other"}},
         1,
         "cloud elsewhere from clouds.yaml (OS_CLOUD): type the secret",
         {{"region", "E"}}},
    };
    for (const CASE &c : cases) {
        CLOUD_HOME h;
        h.write("clouds:\n  c:\n    auth:\n      auth_url: http://k/v3\n      password: file-pw\n"
                "    region_name: R\n  nopw:\n    auth: {auth_url: 'http://k/v3', username: u}\n");
        test_write_file(h.dir.file("other.yaml"), "clouds:\n  elsewhere:\n    region_name: E\n");
        for (const auto &v : c.vars) {
            std::string value = v.second;
            if (value == "@other") value = h.dir.file("other.yaml");
            h.env.set(v.first, value.c_str());
        }
        KVN_PROFILE p;
        char msg[1024];
        EXPECT_EQ(kvn_import_environment(&p, msg, sizeof msg), c.result) << c.label << ": " << msg;
        std::string want = c.msg;
        if (size_t at = want.find("%F"); at != std::string::npos) want.replace(at, 2, h.xdg("clouds.yaml"));
        EXPECT_EQ(std::string(msg), want) << c.label;
        std::map<std::string, std::string> got = {{"name", p.name},
                                                  {"secret", p.secret},
                                                  {"auth_url", p.auth_url},
                                                  {"region", p.region},
                                                  {"username", p.username}};
        for (const auto &kv : c.want)
            EXPECT_EQ(got[kv.first], kv.second) << c.label << ": " << kv.first;
        kvn_profile_wipe_secret(&p);
    }
}

// What --env does at start-up: the status line says what was imported, the
// log names the profile, and no secret from a file or the environment shows
// up in any line, even at DEBUG.
TEST(Environment, StartupImportLogsNoSecret) {
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    LOG_LEVEL level(Q_LOG_DEBUG);
    const char *secrets[] = {"file-secret-1", "secure-secret-2", "env-secret-3", "rc-secret-4"};
    {
        CLOUD_HOME h;
        h.write("clouds:\n  c:\n    auth:\n      auth_url: http://k/v3\n      username: u\n"
                "      password: file-secret-1\n    region_name: R\n",
                "clouds:\n  c:\n    auth:\n      password: secure-secret-2\n");
        h.env.set("OS_CLOUD", "c");
        h.env.set("OS_PASSWORD", "env-secret-3");
        TEST_LOG_CAPTURE log;
        KVN_PROFILE p;
        ASSERT_GT(kvn_app_import_env(&p), 0);
        EXPECT_STREQ(p.secret, "secure-secret-2");
        EXPECT_STREQ(app.status_text, "cloud c from clouds.yaml (OS_CLOUD)");
        EXPECT_TRUE(
            log.contains("--env: profile 'c' (password, user u, project -, region R) at http://k/v3"));
        for (const auto &l : log.lines)
            for (const char *s : secrets)
                EXPECT_EQ(l.find(s), std::string::npos) << l;
        kvn_profile_wipe_secret(&p);
    }
    {
        CLOUD_HOME h;
        h.env.set("OS_AUTH_URL", "http://k/v3");
        h.env.set("OS_APPLICATION_CREDENTIAL_ID", "acid");
        h.env.set("OS_APPLICATION_CREDENTIAL_SECRET", "rc-secret-4");
        TEST_LOG_CAPTURE log;
        KVN_PROFILE p;
        ASSERT_EQ(kvn_app_import_env(&p), 3);
        EXPECT_TRUE(
            log.contains("--env: profile 'environment' (application credential, credential acid, project "
                         "-, region any) at http://k/v3"));
        for (const auto &l : log.lines)
            for (const char *s : secrets)
                EXPECT_EQ(l.find(s), std::string::npos) << l;
        kvn_profile_wipe_secret(&p);
    }
    {
        CLOUD_HOME h;
        h.env.set("OS_CLOUD", "missing");
        TEST_LOG_CAPTURE log;
        KVN_PROFILE p;
        EXPECT_EQ(kvn_app_import_env(&p), -1);
        EXPECT_EQ(app.status_kind, KVN_STATUS_ERROR);
        EXPECT_STREQ(app.status_text, "OS_CLOUD=missing: no clouds.yaml found (current directory, "
                                      "~/.config/openstack, /etc/openstack)");
    }
    kvn_app_publish(nullptr);
}
