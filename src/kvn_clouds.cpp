// Profiles from the OpenStack tools' credential files: which clouds.yaml is
// read, how its keys land in the profile, openrc text and the OS_*
// environment. Every buffer that held a file's text or a secret is wiped
// before it goes.

#include "kvn_clouds.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kvn_paths.h"
#include "q_common.h"

namespace {
const size_t k_name_cut = 200;
const size_t k_env_text_max = 16384;

// A file that opens for reading and is not a folder.
bool _readable_file(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    close(fd);
    return ok;
}

const char *_env(const char *name) {
    const char *v = getenv(name);
    return v && *v ? v : nullptr;
}

// A document read from a file, wiped and freed with the holder.
struct YAML_FILE {
    KVN_YAML_DOC *doc = nullptr;
    ~YAML_FILE() { kvn_yaml_free(&doc); }
};

// Missing or unreadable files give an empty document: they count as absent.
void _load(const char *path, YAML_FILE *f) {
    size_t len = 0;
    char *text = path ? kvn_paths_read_file(path, KVN_READ_CAP, &len) : nullptr;
    f->doc = kvn_yaml_parse(text ? text : "");
    if (text) {
        q_secure_zero(text, len);
        free(text);
    }
}

struct LOOKUP {
    const KVN_YAML_DOC *clouds;
    const KVN_YAML_DOC *secure;
    const char *cloud;
    int found;
};

// A setting of the cloud, "key" or "auth/key": secure.yaml's value wins, and
// an empty value there hides clouds.yaml's. Null when absent.
const char *_setting(LOOKUP *L, const char *key, bool in_auth) {
    const char *path[4] = {"clouds", L->cloud, in_auth ? "auth" : key, key};
    int n = in_auth ? 4 : 3;
    const char *v = kvn_yaml_get(L->secure, path, n);
    if (!v) v = kvn_yaml_get(L->clouds, path, n);
    if (!v || !*v) return nullptr;
    L->found++;
    return v;
}

void _set(char *field, size_t size, const char *v) {
    if (v) q_strcpy(field, size, v);
}
#define KVN_SET(field, v) _set(field, sizeof(field), (v))

bool _word_in(const char *v, const char *const *words) {
    for (; *words; words++)
        if (!strcasecmp(v, *words)) return true;
    return false;
}

// The steps every import ends with: an application credential id means that
// kind of login, interfaces lose their "URL"-style suffix, and a user or
// project without any domain is in "Default".
void _finish(KVN_PROFILE *p) {
    if (p->application_credential_id[0] && p->auth_type == KVN_AUTH_PASSWORD) p->auth_type = KVN_AUTH_APPCRED;
    static const char *const k_interfaces[] = {"public", "internal", "admin"};
    for (const char *w : k_interfaces)
        if (!strncmp(p->interface, w, strlen(w))) {
            q_strcpy(p->interface, sizeof p->interface, w);
            break;
        }
    if (!p->user_domain_id[0] && !p->user_domain_name[0])
        q_strcpy(p->user_domain_name, sizeof p->user_domain_name, "Default");
    if (!p->project_domain_id[0] && !p->project_domain_name[0])
        q_strcpy(p->project_domain_name, sizeof p->project_domain_name, "Default");
}

// An openrc value: double quotes with backslash escapes, single quotes taken
// as they are, or plain text up to a " #" comment.
std::string _openrc_value(const char *s, size_t n) {
    std::string v;
    // Room for the whole value at once: a growing buffer would leave copies
    // of a password behind in freed memory.
    v.reserve(n);
    if (n > 1 && s[0] == '"' && s[n - 1] == '"') {
        for (size_t i = 1; i + 1 < n; i++) {
            if (s[i] == '\\' && i + 2 < n) i++;
            v += s[i];
        }
    } else if (n > 1 && s[0] == '\'' && s[n - 1] == '\'') {
        v.assign(s + 1, n - 2);
    } else {
        const char *hash = nullptr;
        for (size_t i = 1; i < n && !hash; i++)
            if (s[i] == '#' && s[i - 1] == ' ') hash = s + i;
        size_t len = hash ? (size_t)(hash - s) : n;
        while (len && isspace((unsigned char)s[len - 1]))
            len--;
        size_t start = 0;
        while (start < len && isspace((unsigned char)s[start]))
            start++;
        v.assign(s + start, len - start);
    }
    return v;
}

struct OPENRC_FIELD {
    const char *name;
    size_t offset;
    size_t size;
};
#define KVN_RC(n, f)                                                                                         \
    { n, offsetof(KVN_PROFILE, f), sizeof(((KVN_PROFILE *)nullptr)->f) }
const OPENRC_FIELD k_openrc_fields[] = {
    KVN_RC("OS_AUTH_URL", auth_url),
    KVN_RC("OS_USERNAME", username),
    KVN_RC("OS_USER_ID", user_id),
    KVN_RC("OS_USER_DOMAIN_NAME", user_domain_name),
    KVN_RC("OS_USER_DOMAIN_ID", user_domain_id),
    KVN_RC("OS_PROJECT_NAME", project_name),
    KVN_RC("OS_TENANT_NAME", project_name),
    KVN_RC("OS_PROJECT_ID", project_id),
    KVN_RC("OS_TENANT_ID", project_id),
    KVN_RC("OS_PROJECT_DOMAIN_NAME", project_domain_name),
    KVN_RC("OS_PROJECT_DOMAIN_ID", project_domain_id),
    KVN_RC("OS_REGION_NAME", region),
    KVN_RC("OS_INTERFACE", interface),
    KVN_RC("OS_ENDPOINT_TYPE", interface),
    KVN_RC("OS_APPLICATION_CREDENTIAL_ID", application_credential_id),
    KVN_RC("OS_APPLICATION_CREDENTIAL_NAME", application_credential_name),
    KVN_RC("OS_CACERT", ca_file),
    KVN_RC("OS_PASSWORD", secret),
    KVN_RC("OS_APPLICATION_CREDENTIAL_SECRET", secret),
    KVN_RC("OS_TOKEN", secret),
};

// One "NAME=value" line; 1 when it set something.
int _openrc_line(const char *s, size_t n, KVN_PROFILE *p) {
    const char *eq = static_cast<const char *>(memchr(s, '=', n));
    if (n < 3 || strncmp(s, "OS_", 3) != 0 || !eq) return 0;
    std::string name(s, (size_t)(eq - s));
    std::string v = _openrc_value(eq + 1, n - (size_t)(eq + 1 - s));
    int used = 0;
    if (!v.empty() && v[0] == '$') {
        // A reference to another variable: the shell would expand it, we cannot.
    } else if (name == "OS_AUTH_TYPE") {
        p->auth_type = kvn_auth_type_from_text(v.c_str());
        used = 1;
    } else if (name == "OS_INSECURE") {
        p->insecure = !strcasecmp(v.c_str(), "true") || v == "1";
        used = 1;
    } else {
        for (const OPENRC_FIELD &f : k_openrc_fields)
            if (name == f.name) {
                q_strcpy(reinterpret_cast<char *>(p) + f.offset, f.size, v.c_str());
                used = 1;
                break;
            }
    }
    q_secure_zero(v.data(), v.size());
    return used;
}
} // namespace

void kvn_clouds_profile_name(const char *from, char *out, size_t size) {
    if (!out || !size) return;
    q_strcpy(out, size < k_name_cut + 1 ? size : k_name_cut + 1, from ? from : "");
    for (char *c = out; *c; c++)
        if (!isalnum((unsigned char)*c) && *c != '-' && *c != '.' && *c != '_') *c = '_';
}

int kvn_clouds_find(const char *base, char *out, size_t size) {
    Q_GUARD(base && out && size, 0);
    out[0] = 0;
    if (!strcmp(base, "clouds")) {
        const char *file = _env("OS_CLIENT_CONFIG_FILE");
        if (file && _readable_file(file)) {
            q_strcpy(out, size, file);
            q_log(Q_LOG_DEBUG, "clouds file %s (OS_CLIENT_CONFIG_FILE)", out);
            return 1;
        }
    }
    // The user's folder is empty when neither variable is set, and skipped.
    std::string dirs[3] = {".", "", "/etc/openstack"};
    if (const char *xdg = _env("XDG_CONFIG_HOME"))
        dirs[1] = std::string(xdg) + "/openstack";
    else if (const char *home = _env("HOME"))
        dirs[1] = std::string(home) + "/.config/openstack";
    static const char *const k_ext[] = {"yaml", "yml"};
    for (int i = 0; i < 3; i++)
        for (const char *ext : k_ext) {
            if (dirs[i].empty()) continue;
            char path[KVN_PATH_MAX];
            q_format(path, sizeof path, "%s%s%s.%s", dirs[i].c_str(), "/", base, ext);
            if (!_readable_file(path)) continue;
            q_strcpy(out, size, path);
            q_log(Q_LOG_DEBUG, "%s file %s", base, out);
            return 1;
        }
    return 0;
}

int kvn_clouds_import_doc(const KVN_YAML_DOC *clouds, const KVN_YAML_DOC *secure, const char *cloud,
                          KVN_PROFILE *p) {
    Q_GUARD(clouds && cloud && p, -1);
    // A missing secure file reads as an empty one.
    YAML_FILE none;
    if (!secure) {
        none.doc = kvn_yaml_parse("");
        if (!none.doc) return -1;
        secure = none.doc;
    }
    kvn_profile_defaults(p);
    p->user_domain_name[0] = 0;
    p->project_domain_name[0] = 0;
    LOOKUP L = {clouds, secure, cloud, 0};
    auto auth = [&](const char *key) { return _setting(&L, key, true); };
    auto top = [&](const char *key) { return _setting(&L, key, false); };

    KVN_SET(p->auth_url, auth("auth_url"));
    KVN_SET(p->username, auth("username"));
    KVN_SET(p->user_id, auth("user_id"));
    KVN_SET(p->user_domain_name, auth("user_domain_name"));
    KVN_SET(p->user_domain_id, auth("user_domain_id"));
    KVN_SET(p->project_name, auth("tenant_name"));
    KVN_SET(p->project_name, auth("project_name"));
    KVN_SET(p->project_id, auth("tenant_id"));
    KVN_SET(p->project_id, auth("project_id"));
    KVN_SET(p->project_domain_name, auth("project_domain_name"));
    KVN_SET(p->project_domain_id, auth("project_domain_id"));
    KVN_SET(p->application_credential_id, auth("application_credential_id"));
    KVN_SET(p->application_credential_name, auth("application_credential_name"));
    KVN_SET(p->secret, auth("password"));
    KVN_SET(p->secret, auth("application_credential_secret"));
    KVN_SET(p->secret, auth("token"));
    KVN_SET(p->interface, top("endpoint_type"));
    KVN_SET(p->interface, top("interface"));
    KVN_SET(p->ca_file, top("cacert"));
    KVN_SET(p->region, top("region_name"));

    // Domains the user and project do not name come from the cloud's default.
    const char *def_id = auth("default_domain_id");
    if (!def_id) def_id = auth("domain_id");
    const char *def_name = auth("default_domain_name");
    if (!def_name) def_name = auth("domain_name");
    if (def_id && !p->user_domain_id[0] && !p->user_domain_name[0]) KVN_SET(p->user_domain_id, def_id);
    if (def_id && !p->project_domain_id[0] && !p->project_domain_name[0])
        KVN_SET(p->project_domain_id, def_id);
    if (def_name && !p->user_domain_id[0] && !p->user_domain_name[0]) KVN_SET(p->user_domain_name, def_name);
    if (def_name && !p->project_domain_id[0] && !p->project_domain_name[0])
        KVN_SET(p->project_domain_name, def_name);

    if (!p->region[0]) {
        const char *names_path[4] = {"clouds", cloud, "regions", "0"};
        const char *maps_path[5] = {"clouds", cloud, "regions", "0", "name"};
        const char *r = kvn_yaml_get(clouds, names_path, 4);
        if (!r || !*r) r = kvn_yaml_get(clouds, maps_path, 5);
        if (r && *r) {
            KVN_SET(p->region, r);
            L.found++;
        }
    }

    if (const char *t = top("auth_type"))
        p->auth_type = strstr(t, "applicationcredential") ? KVN_AUTH_APPCRED
                       : strstr(t, "token")               ? KVN_AUTH_TOKEN
                                                          : KVN_AUTH_PASSWORD;

    static const char *const k_off[] = {"false", "no", "off", "0", nullptr};
    static const char *const k_on[] = {"true", "yes", "on", "1", nullptr};
    const char *verify = top("verify");
    if (verify && _word_in(verify, k_off))
        p->insecure = 1;
    else if (const char *insecure = top("insecure"); insecure && _word_in(insecure, k_on))
        p->insecure = 1;

    _finish(p);
    kvn_clouds_profile_name(cloud, p->name, sizeof p->name);
    if (p->name[0] == '.') p->name[0] = '_';
    return L.found;
}

int kvn_clouds_import(const char *cloud, KVN_PROFILE *p, char *msg, size_t msg_size) {
    char scratch[8];
    if (!msg || !msg_size) {
        msg = scratch;
        msg_size = sizeof scratch;
    }
    msg[0] = 0;
    Q_GUARD(cloud && p, -1);
    char clouds_path[KVN_PATH_MAX], secure_path[KVN_PATH_MAX];
    if (!kvn_clouds_find("clouds", clouds_path, sizeof clouds_path)) {
        q_strcpy(msg, msg_size,
                 "no clouds.yaml found (current directory, ~/.config/openstack, /etc/openstack)");
        return -1;
    }
    YAML_FILE clouds, secure;
    _load(clouds_path, &clouds);
    _load(kvn_clouds_find("secure", secure_path, sizeof secure_path) ? secure_path : nullptr, &secure);
    if (!clouds.doc || !secure.doc) {
        q_format(msg, msg_size, "cloud '%s' is not in %s", cloud, clouds_path);
        return -1;
    }

    char **names = nullptr;
    int count = kvn_yaml_cloud_names(clouds.doc, &names);
    bool known = false;
    for (int i = 0; i < count; i++) {
        if (!strcmp(names[i], cloud)) known = true;
        free(names[i]);
    }
    free(names);
    if (!known) {
        q_format(msg, msg_size, "cloud '%s' is not in %s", cloud, clouds_path);
        return -1;
    }

    const int found = kvn_clouds_import_doc(clouds.doc, secure.doc, cloud, p);
    if (found <= 0) {
        q_format(msg, msg_size, "cloud '%s' in %s has no setting", cloud, clouds_path);
        return -1;
    }
    q_log(Q_LOG_INFO, "cloud %s from %s: %d settings", cloud, clouds_path, found);
    return found;
}

int kvn_profile_from_openrc(const char *text, KVN_PROFILE *p) {
    Q_GUARD(p, 0);
    kvn_profile_defaults(p);
    if (!text) return 0;
    int count = 0;
    const char *s = text;
    while (*s) {
        const char *nl = strchr(s, '\n');
        size_t n = nl ? (size_t)(nl - s) : strlen(s);
        const char *line = s;
        s = nl ? nl + 1 : s + n;
        while (n && isspace((unsigned char)*line)) {
            line++;
            n--;
        }
        while (n && isspace((unsigned char)line[n - 1]))
            n--;
        if (!n || line[0] == '#') continue;
        if (n >= 7 && !strncmp(line, "export ", 7)) {
            line += 7;
            n -= 7;
            while (n && isspace((unsigned char)*line)) {
                line++;
                n--;
            }
        }
        count += _openrc_line(line, n, p);
    }
    _finish(p);
    return count;
}

int kvn_import_environment(KVN_PROFILE *p, char *msg, size_t msg_size) {
    char scratch[8];
    if (!msg || !msg_size) {
        msg = scratch;
        msg_size = sizeof scratch;
    }
    msg[0] = 0;
    Q_GUARD(p, -1);
    const char *cloud = _env("OS_CLOUD");
    if (cloud && !getenv("OS_AUTH_URL")) {
        char why[1024];
        int n = kvn_clouds_import(cloud, p, why, sizeof why);
        if (n < 0) {
            q_format(msg, msg_size, "OS_CLOUD=%s: %s", cloud, why);
            return -1;
        }
        const char *password = getenv("OS_PASSWORD");
        if (!p->secret[0] && password) q_strcpy(p->secret, sizeof p->secret, password);
        q_format(msg, msg_size, "cloud %s from clouds.yaml (OS_CLOUD)%s", cloud,
                 p->secret[0] ? "" : ": type the secret");
        return n;
    }

    static const char *const k_vars[] = {
        "OS_AUTH_URL",
        "OS_AUTH_TYPE",
        "OS_USERNAME",
        "OS_USER_ID",
        "OS_USER_DOMAIN_NAME",
        "OS_USER_DOMAIN_ID",
        "OS_PROJECT_NAME",
        "OS_TENANT_NAME",
        "OS_PROJECT_ID",
        "OS_TENANT_ID",
        "OS_PROJECT_DOMAIN_NAME",
        "OS_PROJECT_DOMAIN_ID",
        "OS_REGION_NAME",
        "OS_INTERFACE",
        "OS_ENDPOINT_TYPE",
        "OS_PASSWORD",
        "OS_APPLICATION_CREDENTIAL_ID",
        "OS_APPLICATION_CREDENTIAL_NAME",
        "OS_APPLICATION_CREDENTIAL_SECRET",
        "OS_TOKEN",
        "OS_CACERT",
        "OS_INSECURE",
    };
    // The openrc reader does the mapping, so both ways in agree; the text
    // holds the password and is wiped below.
    char text[k_env_text_max];
    size_t used = 0;
    text[0] = 0;
    for (const char *name : k_vars) {
        const char *v = getenv(name);
        if (!v || strchr(v, '\'') || strchr(v, '\n')) continue;
        size_t need = strlen(name) + strlen(v) + 12;
        if (used + need >= sizeof text) continue;
        used += q_format(text + used, sizeof text - used, "export %s='%s'\n", name, v);
    }
    int n = kvn_profile_from_openrc(text, p);
    q_secure_zero(text, sizeof text);
    if (n <= 0) {
        q_strcpy(msg, msg_size, "no OS_* variable in the environment");
        return -1;
    }
    kvn_clouds_profile_name(p->project_name[0] ? p->project_name : "environment", p->name, sizeof p->name);
    q_format(msg, msg_size, "imported %d OS_* variables from the environment%s", n,
             p->secret[0] ? "" : ": type the secret");
    return n;
}
