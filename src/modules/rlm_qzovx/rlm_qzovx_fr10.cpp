// The module as a FreeRADIUS 1.0-series server sees it: the module record,
// the configuration table, instantiate/detach, thin method entries, and the
// server.h functions over the 1.0 request structures. No module logic here.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "freeradius10.h"
#include "module.h"
#include "platdefs.h"
#include "qz_text.h"
#include "server.h"

namespace {

// The 1.0 server numbers vendor attributes as vendor << 16 | attribute.
constexpr unsigned kVendorShift = 16;
constexpr unsigned kAttributeMask = 0xFFFFu;

// Longest name handed to pairmake: a dictionary name (39 characters) with a
// ":tag" suffix fits with room to spare.
constexpr size_t kPairNameBuffer = 64;

// Longest line handed to log_debug; the module's own lines are shorter.
constexpr size_t kLogLine = 2048;

const REQUEST *as_server(const qz_request *request)
{
    return reinterpret_cast<const REQUEST *>(request);
}

REQUEST *as_server(qz_request *request)
{
    return reinterpret_cast<REQUEST *>(request);
}

const VALUE_PAIR *as_server(const qz_pair *pair)
{
    return reinterpret_cast<const VALUE_PAIR *>(pair);
}

VALUE_PAIR *list_head(const REQUEST *request, srv_list list)
{
    if (request == nullptr)
        return nullptr;
    const RADIUS_PACKET *packet = nullptr;
    if (list == SRV_REQUEST_LIST)
        packet = request->packet;
    else if (list == SRV_REPLY_LIST)
        packet = request->reply;
    return packet != nullptr ? packet->vps : nullptr;
}

// Fills vendor/attribute from the server's single attribute number.
void split_number(int number, unsigned *vendor, unsigned *attribute)
{
    const unsigned value = static_cast<unsigned>(number);
    *vendor = value >> kVendorShift;
    *attribute = value & kAttributeMask;
}

}  // namespace

// ---- server.h over the 1.0 structures ----

extern "C" {

int srv_request_code(const qz_request *request)
{
    const REQUEST *req = as_server(request);
    if (req == nullptr || req->packet == nullptr)
        return 0;
    return static_cast<int>(req->packet->code);
}

int srv_request_id(const qz_request *request)
{
    const REQUEST *req = as_server(request);
    if (req == nullptr || req->packet == nullptr)
        return 0;
    return req->packet->id;
}

int srv_has_reply(const qz_request *request)
{
    const REQUEST *req = as_server(request);
    return req != nullptr && req->reply != nullptr;
}

int srv_reply_code(const qz_request *request)
{
    const REQUEST *req = as_server(request);
    if (req == nullptr || req->reply == nullptr)
        return 0;
    return static_cast<int>(req->reply->code);
}

void srv_set_reply_code(qz_request *request, int code)
{
    REQUEST *req = as_server(request);
    if (req == nullptr || req->reply == nullptr)
        return;
    req->reply->code = static_cast<unsigned int>(code);
}

const qz_pair *srv_username(const qz_request *request)
{
    const REQUEST *req = as_server(request);
    return req != nullptr ? reinterpret_cast<const qz_pair *>(req->username) : nullptr;
}

int srv_is_proxying(const qz_request *request)
{
    const REQUEST *req = as_server(request);
    return req != nullptr && req->proxy != nullptr;
}

int srv_list_has_attributes(const qz_request *request, enum srv_list list, int *why)
{
    const REQUEST *req = as_server(request);
    int reason = 0;
    if (list == SRV_REPLY_LIST) {
        if (req == nullptr || req->reply == nullptr)
            reason = 1;
        else if (req->reply->vps == nullptr)
            reason = 2;
    }
    if (why != nullptr)
        *why = reason;
    return list_head(req, list) != nullptr;
}

// The 1.0 series has no reject section after post-auth: the module sets
// Access-Reject itself, and is called once per request.
int srv_server_rejects(void)
{
    return 0;
}

void srv_mark_request(qz_request *, const void *) {}

int srv_request_marked(const qz_request *, const void *)
{
    return 0;
}

const qz_pair *srv_find(const qz_request *request, enum srv_list list, unsigned vendor,
                        unsigned attribute)
{
    // Numbers that do not fit the server's packing name no attribute it holds.
    if (vendor > kAttributeMask || attribute > kAttributeMask)
        return nullptr;
    VALUE_PAIR *head = list_head(as_server(request), list);
    if (head == nullptr)
        return nullptr;
    const int number = static_cast<int>(vendor << kVendorShift | attribute);
    return reinterpret_cast<const qz_pair *>(pairfind(head, number));
}

const char *srv_pair_text(qz_request *, const qz_pair *pair)
{
    const VALUE_PAIR *vp = as_server(pair);
    if (vp == nullptr)
        return "";
    return reinterpret_cast<const char *>(vp->strvalue);
}

uint32_t srv_pair_integer(const qz_pair *pair)
{
    const VALUE_PAIR *vp = as_server(pair);
    return vp != nullptr ? vp->lvalue : 0;
}

const uint8_t *srv_pair_octets(const qz_pair *pair, size_t *length)
{
    const VALUE_PAIR *vp = as_server(pair);
    size_t n = vp != nullptr && vp->length > 0 ? static_cast<size_t>(vp->length) : 0;
    if (n > sizeof vp->strvalue)
        n = sizeof vp->strvalue;
    if (length != nullptr)
        *length = n;
    return n > 0 ? vp->strvalue : nullptr;
}

int srv_pair_set_octets(qz_request *, const qz_pair *pair, const uint8_t *data, size_t length)
{
    // The server's attribute records hold their value in place.
    VALUE_PAIR *vp = const_cast<VALUE_PAIR *>(as_server(pair));
    if (vp == nullptr || data == nullptr || length > sizeof vp->strvalue)
        return -1;
    memcpy(vp->strvalue, data, length);
    vp->length = static_cast<int>(length);
    return 0;
}

int srv_dict_lookup(const char *name, unsigned *vendor, unsigned *attribute)
{
    if (name == nullptr || vendor == nullptr || attribute == nullptr)
        return -1;
    const DICT_ATTR *da = dict_attrbyname(name);
    if (da == nullptr)
        return -1;
    split_number(da->attr, vendor, attribute);
    return 0;
}

int srv_reply_add(qz_request *request, const char *name, const char *value, enum srv_op op)
{
    REQUEST *req = as_server(request);
    if (req == nullptr || req->reply == nullptr || name == nullptr || value == nullptr)
        return -1;
    // pairmake writes into the name when it carries a tag: give it a copy of
    // its own. A name too long for the copy is refused rather than cut, since
    // a cut name could be another attribute's.
    char name_copy[kPairNameBuffer];
    if (qz_copy(name_copy, sizeof name_copy, name) != strlen(name))
        return -1;
    VALUE_PAIR *vp = pairmake(name_copy, value, 0);
    if (vp == nullptr)
        return -1;
    if (op == SRV_OP_EQ)
        vp->op = T_OP_EQ;
    else if (op == SRV_OP_ADD)
        vp->op = T_OP_ADD;
    pairadd(&req->reply->vps, vp);
    return 0;
}

int srv_debug_level(const qz_request *)
{
    return debug_flag;
}

void srv_log(const qz_request *, const char *format, ...)
{
    if (debug_flag == 0 || format == nullptr)
        return;
    char line[kLogLine];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log_debug("%s", line);
}

}  // extern "C"

// ---- The module record and its entry points ----

namespace {

// The four keys are parsed into the instance record and read by nothing.
// Kept internal: every 1.0 module has a table of this name, and the server
// loads modules into one global namespace.
const CONF_PARSER module_config[] = {
    {"integer", PW_TYPE_INTEGER, offsetof(rlm_qzovx_t, value), nullptr, "1"},
    {"boolean", PW_TYPE_BOOLEAN, offsetof(rlm_qzovx_t, boolean), nullptr, "no"},
    {"string", PW_TYPE_STRING_PTR, offsetof(rlm_qzovx_t, string), nullptr, nullptr},
    {"ipaddr", PW_TYPE_IPADDR, offsetof(rlm_qzovx_t, ipaddr), nullptr, "*"},
    {nullptr, -1, 0, nullptr, nullptr},
};

rlm_qzovx_t *as_instance(void *instance)
{
    return static_cast<rlm_qzovx_t *>(instance);
}

qz_request *as_module(REQUEST *request)
{
    return reinterpret_cast<qz_request *>(request);
}

}  // namespace

extern "C" {

QZ_EXPORT int qzovx_init(void)
{
    return qz_module_init();
}

QZ_EXPORT int qzovx_instantiate(CONF_SECTION *conf, void **instance)
{
    if (debug_flag > 1)
        srv_log(nullptr, "    rlm_qzovx: instansiate called");
    if (instance == nullptr)
        return -1;
    if (*instance != nullptr)
        return 0;

    auto *inst = static_cast<rlm_qzovx_t *>(rad_malloc(sizeof(rlm_qzovx_t)));
    if (inst == nullptr)
        return -1;
    // Zeroed whole: the parser frees any string pointer it finds in place.
    memset(inst, 0, sizeof *inst);

    if (cf_section_parse(conf, inst, module_config) < 0) {
        // The parser may have stored the string before a later key failed.
        free(inst->string);
        free(inst);
        return -1;
    }

    if (qz_module_start(inst) != 0) {
        qz_module_forget_sessions(inst);
        free(inst->string);
        free(inst);
        return -1;
    }
    *instance = inst;
    return 0;
}

QZ_EXPORT int qzovx_authorize(void *instance, REQUEST *request)
{
    return qz_module_authorize(as_instance(instance), as_module(request));
}

QZ_EXPORT int qzovx_post_auth(void *instance, REQUEST *request)
{
    return qz_module_post_auth(as_instance(instance), as_module(request));
}

QZ_EXPORT int qzovx_accounting(void *instance, REQUEST *request)
{
    return qz_module_accounting(as_instance(instance), as_module(request));
}

QZ_EXPORT int qzovx_detach(void *instance)
{
    rlm_qzovx_t *inst = as_instance(instance);
    if (inst == nullptr)
        return 0;
    qz_module_forget_sessions(inst);
    free(inst->string);
    free(inst);
    return 0;
}

// Found by the server under this name once it has loaded the module.
QZ_EXPORT module_t rlm_qzovx = {
    "qzovx",
    RLM_TYPE_THREAD_UNSAFE,
    qzovx_init,
    qzovx_instantiate,
    {
        qzovx_authorize,  // authenticate
        qzovx_authorize,  // authorize
        nullptr,          // preacct
        qzovx_accounting, // accounting
        nullptr,          // checksimul
        nullptr,          // pre-proxy
        nullptr,          // post-proxy
        qzovx_post_auth,  // post-auth
    },
    qzovx_detach,
    nullptr,  // destroy
};

}  // extern "C"
