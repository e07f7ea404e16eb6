#include "fake_server.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

struct DictEntry {
    const char *name;
    unsigned vendor;
    unsigned attribute;
    bool integer;
};

constexpr DictEntry kDictionary[] = {
    {"User-Name", 0, 1, false},
    {"NAS-IP-Address", 0, 4, false},
    {"NAS-Port", 0, 5, true},
    {"Session-Timeout", 0, 27, true},
    {"Termination-Action", 0, 29, true},
    {"Called-Station-Id", 0, 30, false},
    {"Calling-Station-Id", 0, 31, false},
    {"Login-LAT-Group", 0, 36, false},
    {"Acct-Status-Type", 0, 40, true},
    {"Acct-Session-Id", 0, 44, false},
    {"NAS-Port-Type", 0, 61, true},
    {"Tunnel-Type", 0, 64, true},
    {"Tunnel-Medium-Type", 0, 65, true},
    {"Tunnel-Private-Group-ID", 0, 81, false},
    {"FreeRADIUS-Proxied-To", 11344, 1, false},
    {"qz-port-priority-regeneration-table", 32473, 40, false},
    {"qz-bandwidth-min-ingress", 32473, 45, true},
    {"qz-bandwidth-max-ingress", 32473, 46, true},
    {"qz-bandwidth-min-egress", 32473, 47, true},
    {"qz-bandwidth-max-egress", 32473, 48, true},
    {"qz-nas-filter-rule", 32473, 61, false},
};

const DictEntry *dict_find(const char *name)
{
    for (const DictEntry &e : kDictionary)
        if (strcasecmp(e.name, name) == 0)
            return &e;
    return nullptr;
}

bool parses_as_integer(const char *text)
{
    if (*text == '\0')
        return false;
    char *end = nullptr;
    strtoul(text, &end, 10);
    return *end == '\0';
}

int g_debug_level = 2;
bool g_server_rejects = false;
std::vector<std::string> g_log;

}  // namespace

namespace fake {

void reset()
{
    g_log.clear();
    g_debug_level = 2;
    g_server_rejects = false;
}

void set_server_rejects(bool rejects) { g_server_rejects = rejects; }

void set_debug_level(int level) { g_debug_level = level; }
const std::vector<std::string> &log_lines() { return g_log; }
void clear_log() { g_log.clear(); }

bool logged(const std::string &line)
{
    for (const std::string &l : g_log)
        if (l == line)
            return true;
    return false;
}

qz_pair &add(qz_request &req, unsigned attribute, const std::string &text, unsigned vendor)
{
    qz_pair p;
    p.vendor = vendor;
    p.attribute = attribute;
    p.text = text;
    p.integer = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
    req.request_vps.push_back(p);
    return req.request_vps.back();
}

qz_pair &add_int(qz_request &req, unsigned attribute, uint32_t value)
{
    qz_pair &p = add(req, attribute, std::to_string(value));
    p.integer = value;
    return p;
}

void set_user(qz_request &req, const std::string &name)
{
    add(req, 1, name);
    req.has_username = true;
}

qz_request access_request(const std::string &nas_ip, uint32_t port, const std::string &mac,
                          const std::string &user, int reply_code)
{
    qz_request req;
    req.code = 1;
    req.reply_code = reply_code;
    add(req, 4, nas_ip);
    add_int(req, 5, port);
    add(req, 31, mac);
    set_user(req, user);
    return req;
}

std::vector<const qz_pair *> reply_named(const qz_request &req, const std::string &name)
{
    std::vector<const qz_pair *> found;
    for (const qz_pair &p : req.reply_vps)
        if (p.name == name)
            found.push_back(&p);
    return found;
}

}  // namespace fake

extern "C" {

int srv_request_code(const qz_request *request) { return request->code; }
int srv_request_id(const qz_request *request) { return request->id; }
int srv_has_reply(const qz_request *request) { return request->has_reply; }
int srv_reply_code(const qz_request *request) { return request->has_reply ? request->reply_code : 0; }
void srv_set_reply_code(qz_request *request, int code) { request->reply_code = code; }
const qz_pair *srv_username(const qz_request *request)
{
    if (!request->has_username)
        return nullptr;
    if (request->username_record)
        return &*request->username_record;
    return srv_find(request, SRV_REQUEST_LIST, 0, 1);
}
int srv_is_proxying(const qz_request *request) { return request->proxying; }

int srv_list_has_attributes(const qz_request *request, enum srv_list list, int *why)
{
    int reason = 0;
    bool has = false;
    if (list == SRV_REQUEST_LIST) {
        has = !request->request_vps.empty();
    } else if (!request->has_reply) {
        reason = 1;
    } else if (request->reply_vps.empty()) {
        reason = 2;
    } else {
        has = true;
    }
    if (why != nullptr)
        *why = reason;
    return has;
}

const qz_pair *srv_find(const qz_request *request, enum srv_list list, unsigned vendor, unsigned attribute)
{
    if (list == SRV_REPLY_LIST && !request->has_reply)
        return nullptr;
    const std::vector<qz_pair> &vps = list == SRV_REQUEST_LIST ? request->request_vps : request->reply_vps;
    for (const qz_pair &p : vps)
        if (p.vendor == vendor && p.attribute == attribute)
            return &p;
    return nullptr;
}

int srv_server_rejects(void) { return g_server_rejects; }

void srv_mark_request(qz_request *request, const void *owner) { request->marks.push_back(owner); }

int srv_request_marked(const qz_request *request, const void *owner)
{
    for (const void *mark : request->marks)
        if (mark == owner)
            return 1;
    return 0;
}

// Octets values live in the pair's text, bytes as they are.
const uint8_t *srv_pair_octets(const qz_pair *pair, size_t *length)
{
    *length = pair->text.size();
    return pair->text.empty() ? nullptr : reinterpret_cast<const uint8_t *>(pair->text.data());
}

int srv_pair_set_octets(qz_request *, const qz_pair *pair, const uint8_t *data, size_t length)
{
    const_cast<qz_pair *>(pair)->text.assign(reinterpret_cast<const char *>(data), length);
    return 0;
}

const char *srv_pair_text(qz_request *, const qz_pair *pair) { return pair->text.c_str(); }
uint32_t srv_pair_integer(const qz_pair *pair) { return pair->integer; }

int srv_dict_lookup(const char *name, unsigned *vendor, unsigned *attribute)
{
    const DictEntry *e = dict_find(name);
    if (e == nullptr)
        return -1;
    *vendor = e->vendor;
    *attribute = e->attribute;
    return 0;
}

int srv_reply_add(qz_request *request, const char *name, const char *value, enum srv_op op)
{
    const DictEntry *e = dict_find(name);
    if (e == nullptr || !request->has_reply || (e->integer && !parses_as_integer(value)))
        return -1;
    qz_pair p;
    p.vendor = e->vendor;
    p.attribute = e->attribute;
    p.text = value;
    p.integer = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    p.op = op;
    p.name = e->name;
    request->reply_vps.push_back(p);
    return 0;
}

int srv_debug_level(const qz_request *) { return g_debug_level; }

void srv_log(const qz_request *, const char *format, ...)
{
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_log.emplace_back(line);
}

}  // extern "C"
