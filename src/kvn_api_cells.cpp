// List cells: how one JSON value of an item becomes the text of a column.

#include "kvn_api.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "q_common.h"

namespace {
const size_t k_value_text_max = 512;

// Appends a piece to a joined cell text of capacity cap. The separator goes
// only between pieces of this join; a piece that no longer fits is dropped
// whole rather than cut.
void _join(std::string *out, size_t cap, const char *sep, const std::string &piece) {
    size_t need = out->size() + (out->empty() ? 0 : strlen(sep)) + piece.size();
    if (need >= cap) return;
    if (!out->empty()) *out += sep;
    *out += piece;
}

std::string _plain(const cJSON *v) {
    char buf[k_value_text_max];
    kvn_api_value_text(v, buf, sizeof buf);
    for (char *c = buf; *c; c++)
        if (*c == '\t' || *c == '\n' || *c == '\r') *c = ' ';
    return buf;
}

std::string _size_text(double bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    char buf[64];
    if (bytes < 1024) {
        snprintf(buf, sizeof buf, "%.0f %s", bytes, units[0]);
        return buf;
    }
    int n = 0;
    while (bytes >= 1024 && n < 5) {
        bytes /= 1024;
        n++;
    }
    snprintf(buf, sizeof buf, "%.1f %s", bytes, units[n]);
    return buf;
}
} // namespace

void kvn_api_format_cell(const cJSON *item, const KVN_COLUMN *col, char *out, size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    if (!item || !col || !col->field) return;
    const cJSON *v = kvn_api_json_at(item, col->field);
    if (!v) return;
    const char *fmt = col->format ? col->format : "";
    std::string text;
    if (!strcmp(fmt, "addresses") && cJSON_IsObject(v)) {
        const cJSON *net;
        cJSON_ArrayForEach(net, v) {
            std::string addrs;
            const cJSON *a;
            cJSON_ArrayForEach(a, q_json_array(net)) {
                const cJSON *addr = cJSON_GetObjectItemCaseSensitive(a, "addr");
                if (cJSON_IsString(addr)) _join(&addrs, size, ", ", addr->valuestring);
            }
            _join(&text, size, "; ", std::string(net->string ? net->string : "?") + "=" + addrs);
        }
    } else if (!strcmp(fmt, "fixed_ips") && cJSON_IsArray(v)) {
        const cJSON *e;
        cJSON_ArrayForEach(e, v) {
            const cJSON *ip = cJSON_GetObjectItemCaseSensitive(e, "ip_address");
            if (cJSON_IsString(ip)) _join(&text, size, ", ", ip->valuestring);
        }
    } else if (!strcmp(fmt, "count")) {
        text = std::to_string((cJSON_IsArray(v) || cJSON_IsObject(v)) ? cJSON_GetArraySize(v) : 0);
    } else if (!strcmp(fmt, "list") && cJSON_IsArray(v)) {
        const cJSON *e;
        cJSON_ArrayForEach(e, v) {
            std::string piece;
            if (cJSON_IsObject(e)) {
                const cJSON *n = cJSON_GetObjectItemCaseSensitive(e, "name");
                const cJSON *id = cJSON_GetObjectItemCaseSensitive(e, "id");
                piece = cJSON_IsString(n) ? n->valuestring : cJSON_IsString(id) ? id->valuestring : "";
            } else {
                piece = _plain(e);
            }
            _join(&text, size, ", ", piece);
        }
    } else if (!strcmp(fmt, "kv") && cJSON_IsObject(v)) {
        const cJSON *m;
        cJSON_ArrayForEach(m, v) _join(&text, size, ", ", std::string(m->string ? m->string : "") + "=" + _plain(m));
    } else if ((!strcmp(fmt, "bytes") || !strcmp(fmt, "mib") || !strcmp(fmt, "gib")) && cJSON_IsNumber(v)) {
        double mult = !strcmp(fmt, "mib") ? 1048576.0 : !strcmp(fmt, "gib") ? 1073741824.0 : 1.0;
        text = _size_text(v->valuedouble * mult);
    } else if (!strcmp(fmt, "bool")) {
        text = (cJSON_IsTrue(v) || (cJSON_IsString(v) && !strcasecmp(v->valuestring, "true"))) ? "yes" : "no";
    } else if (!strcmp(fmt, "date") && cJSON_IsString(v)) {
        text = std::string(v->valuestring).substr(0, 19);
        if (text.size() > 10 && text[10] == 'T') text[10] = ' ';
    } else {
        text = _plain(v);
    }
    // Cut at the capacity on a character boundary so a cell never ends in
    // half a UTF-8 sequence.
    if (text.size() >= size) {
        size_t cut = size - 1;
        while (cut > 0 && ((unsigned char)text[cut] & 0xC0) == 0x80) cut--;
        text.resize(cut);
    }
    q_strcpy(out, size, text.c_str());
}
