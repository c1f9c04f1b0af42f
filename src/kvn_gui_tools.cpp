#include "kvn_gui_tools.h"

#include <cJSON.h>
#include <cstring>
#include <ctime>
#include <vector>

#include "kvn_app.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_resource.h"
#include "kvn_session.h"
#include "q_common.h"

namespace {

// The text carries the token itself: it lives in this buffer only for as
// long as the result window takes to copy it, and is wiped on every path.
struct SECRET_TEXT {
    std::vector<char> bytes;
    explicit SECRET_TEXT(size_t n) : bytes(n, 0) {}
    ~SECRET_TEXT() { q_secure_zero(bytes.data(), bytes.size()); }
};

void _token(const KVN_RESOURCE *, const KVN_OP *, const cJSON *) {
    KVN_APP *app = kvn_app_get();
    if (!app || !app->session) return;
    SECRET_TEXT text(KVN_TOKEN_MAX + 4096);
    if (kvn_token_text(app->session, text.bytes.data(), text.bytes.size()) != 0) return;
    kvn_gui_show_result("openstack token issue (secret)", text.bytes.data(), 0, nullptr);
}

void _ssh(const KVN_RESOURCE *, const KVN_OP *, const cJSON *item) {
    if (!cJSON_IsObject(item)) {
        kvn_app_status(KVN_STATUS_ERROR, "%s", "select a server first");
        return;
    }
    const cJSON *name = cJSON_GetObjectItemCaseSensitive(item, "name");
    char lines[4096] = "";
    const int n = kvn_ssh_lines(item, "<user>", lines, sizeof lines);
    std::vector<char> text(sizeof lines + 512);
    q_format(text.data(), text.size(),
             "SSH to %s\n\nReplace <user> with the image login (debian, ubuntu, centos, cloud-user, fedora, "
             "rocky, "
             "almalinux...).\n\n%s",
             cJSON_IsString(name) && name->valuestring[0] ? name->valuestring : "server",
             n > 0 ? lines : "This server has no address.\n");
    kvn_gui_show_result("openstack server ssh", text.data(), 0, nullptr);
}

} // namespace

void kvn_gui_tools_register(void) {
    kvn_gui_resource_register_ui("ssh_command", _ssh);
    kvn_gui_resource_register_ui("token_issue", _token);
}

int kvn_ssh_lines(const cJSON *server, const char *user, char *out, size_t size) {
    if (!out || !size) return 0;
    out[0] = 0;
    const cJSON *addresses = server ? cJSON_GetObjectItemCaseSensitive(server, "addresses") : nullptr;
    if (!cJSON_IsObject(addresses)) return 0;
    if (!user || !*user) user = "<user>";
    char key[300] = "";
    const cJSON *key_name = cJSON_GetObjectItemCaseSensitive(server, "key_name");
    if (cJSON_IsString(key_name) && key_name->valuestring[0])
        q_format(key, sizeof key, "-i ~/.ssh/%s ", key_name->valuestring);
    int count = 0;
    size_t used = 0;
    for (int pass = 0; pass < 2; pass++) {
        const cJSON *network;
        cJSON_ArrayForEach(network, addresses) {
            const cJSON *a;
            cJSON_ArrayForEach(a, (cJSON_IsArray(network) ? network : nullptr)) {
                const cJSON *type = cJSON_GetObjectItemCaseSensitive(a, "OS-EXT-IPS:type");
                const bool floating = cJSON_IsString(type) && !strcmp(type->valuestring, "floating");
                if (floating != (pass == 0)) continue;
                const cJSON *addr = cJSON_GetObjectItemCaseSensitive(a, "addr");
                if (!cJSON_IsString(addr)) continue;
                char line[1200];
                q_format(line, sizeof line, "ssh %s%s@%s    # %s%s%s\n", key, user, addr->valuestring,
                         network->string ? network->string : "", floating ? ", floating" : "",
                         strchr(addr->valuestring, ':') ? ", IPv6" : "");
                const size_t n = strlen(line);
                // A line is written whole or not at all, and the rest with it.
                if (used + n + 1 > size) return count;
                memcpy(out + used, line, n + 1);
                used += n;
                count++;
            }
        }
    }
    return count;
}

int kvn_token_text(KVN_SESSION *session, char *out, size_t size) {
    if (!session || !out || !size) return -1;
    KVN_SESSION_INFO info;
    memset(&info, 0, sizeof info);
    if (kvn_session_info(session, &info) != 0) return -1;
    SECRET_TEXT token(KVN_TOKEN_MAX);
    if (kvn_session_token(session, token.bytes.data(), token.bytes.size()) != 0) token.bytes[0] = 0;
    char expires[32] = "";
    if (info.expires > 0) {
        const time_t t = (time_t)info.expires;
        struct tm tm;
        if (gmtime_r(&t, &tm)) strftime(expires, sizeof expires, "%Y-%m-%dT%H:%M:%SZ", &tm);
    }
    q_format(out, size,
             "The token below grants your rights to anyone holding it until it expires.\n\nexpires    %s\nid "
             "        "
             "%s\nproject_id %s\nuser_id    %s\nroles      %s\n",
             expires, token.bytes.data(), info.project_id, info.user_id, info.roles);
    return 0;
}
