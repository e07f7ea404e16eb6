// The request and reply callbacks the core library finds by name. The
// opaque handle every callback receives is the entry point's
// freeradius_wrapper; request, reply and attribute-list handles are that same
// address. A null handle or a wrapper without a request reads as absent.
// Every callback may be called from several threads at once, each with its
// own wrapper; only the user-name lookup touches shared state (the session
// map, under its lock).
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "debug.h"
#include "log.h"
#include "module_internal.h"
#include "ovxModuleAPI.h"
#include "qz_text.h"

namespace {

freeradius_wrapper *as_wrapper(void *handle)
{
    return static_cast<freeradius_wrapper *>(handle);
}

qz_request *request_of(void *handle)
{
    freeradius_wrapper *w = as_wrapper(handle);
    return w == nullptr ? nullptr : w->request;
}

void *as_result(intptr_t number)
{
    return reinterpret_cast<void *>(number);
}

// How ovxgetAttributeAsStringByRef writes one identifier.
enum class Form { Text, Integer, AcctStatus };

struct TextAttribute {
    int id;
    Form form;
    const char *absent;
};

constexpr TextAttribute kTextAttributes[] = {
    {4, Form::Text, "NAS-IP-Address unknown"},
    {5, Form::Integer, "NAS-Port unknown"},
    {30, Form::Text, "Called-Station-Id unknown"},
    {31, Form::Text, "Calling-Station-Id unknown"},
    {40, Form::AcctStatus, "Acct-Status-Type unknown"},
    {42, Form::Integer, "Acct-Input-Octets unknown"},
    {43, Form::Integer, "Acct-Output-Octets  unknown"},
    {44, Form::Text, "Acct-Session-Id unknown"},
    {46, Form::Integer, "Acct-Session-Time unknown"},
    {47, Form::Integer, "Acct-Input-Packets unknown"},
    {48, Form::Integer, "Acct-Output-Packets unknown"},
    {49, Form::Integer, "Acct-Terminate-Cause unknown"},
    {61, Form::Integer, "NAS-Port-Type unknown"},
};

const char *acct_status_name(uint32_t value)
{
    switch (value) {
    case 1: return "Start";
    case 2: return "Stop";
    case 3: return "Update";
    default: return "uknown";
    }
}

void write_attribute_text(qz_request *req, const TextAttribute &attribute, char *ref)
{
    const qz_pair *pair = srv_find(req, SRV_REQUEST_LIST, 0, static_cast<unsigned>(attribute.id));
    if (pair == nullptr) {
        qz_copy(ref, QZ_ID_BUFFER, attribute.absent);
        return;
    }
    switch (attribute.form) {
    case Form::Text:
        qz_copy(ref, QZ_ID_BUFFER, srv_pair_text(req, pair));
        break;
    case Form::Integer:
        snprintf(ref, QZ_ID_BUFFER, "%d", static_cast<int>(srv_pair_integer(pair)));
        break;
    case Form::AcctStatus:
        qz_copy(ref, QZ_ID_BUFFER, acct_status_name(srv_pair_integer(pair)));
        break;
    }
}

// The user name: the session map's first, then the request's own record.
void write_user_name(freeradius_wrapper *w, char *ref)
{
    if (qzmod::lookup_session_user(w, ref))
        return;
    qz_request *req = w->request;
    const qz_pair *user = srv_username(req);
    qz_copy(ref, QZ_ID_BUFFER, user != nullptr ? srv_pair_text(req, user) : "username unknown");
}

struct ReplyName {
    int id;
    const char *name;
};

constexpr ReplyName kReplaceNames[] = {
    {27, "Session-Timeout"},
    {29, "Termination-Action"},
    {36, "Login-LAT-Group"},
    {40, "qz-port-priority-regeneration-table"},
    {45, "qz-bandwidth-min-ingress"},
    {46, "qz-bandwidth-max-ingress"},
    {47, "qz-bandwidth-min-egress"},
    {48, "qz-bandwidth-max-egress"},
    {64, "Tunnel-Type"},
    {65, "Tunnel-Medium-Type"},
    {81, "Tunnel-Private-Group-ID"},
};

struct VsaName {
    int attrid;
    const char *name;
    srv_op op;
};

constexpr VsaName kVsaNames[] = {
    {40, "qz-port-priority-regeneration-table", SRV_OP_EQ},
    {46, "qz-bandwidth-max-ingress", SRV_OP_EQ},
    {48, "qz-bandwidth-max-egress", SRV_OP_EQ},
    {61, "qz-nas-filter-rule", SRV_OP_ADD},
};

char server_info[] = "QZ OVX  freeRADIUS Plugin version B.02.45";
char not_implemented[] = "not implemented";

// The text answered for identifier 263; it must outlive the call.
thread_local char packet_id_text[16];

}  // namespace

extern "C" {

QZ_EXPORT void *ovxgetRequest(void *packet)
{
    return packet;
}

QZ_EXPORT void *ovxgetResponse(void *packet)
{
    return packet;
}

QZ_EXPORT void *ovxgetRequestAttributes(void *request)
{
    return request;
}

QZ_EXPORT void *ovxgetRequestType(void *request)
{
    qz_request *req = request_of(request);
    qzmod::log_trace(req, "    rlm_qzovx: getRequestType called:");
    if (req == nullptr)
        return as_result(0);
    const int code = srv_request_code(req);
    return as_result(code == 1 || code == 4 ? code : 0);
}

QZ_EXPORT void *ovxgetResponseType(void *request)
{
    qz_request *req = request_of(request);
    if (req == nullptr)
        return as_result(0);
    const int code = srv_reply_code(req);
    const bool known = code == 1 || code == 2 || code == 3 || code == 5;
    return as_result(known ? code : 0);
}

QZ_EXPORT void *ovxgetControlPoint(void *request)
{
    qz_request *req = request_of(request);
    if (req == nullptr)
        return as_result(0);
    const int code = srv_request_code(req);
    return as_result(code == 4 || code == 6 ? 2 : 0);
}

QZ_EXPORT int ovxGetControlPointName(int ovxCPName)
{
    switch (ovxCPName) {
    case 0: return 0;
    case 1: return 1;
    case 2:
    case 3:
    case 4:
    case 5: return 2;
    default: return -1;
    }
}

QZ_EXPORT void *ovxsetUserAccess(void *radiusPacket, void *userAccess)
{
    freeradius_wrapper *w = as_wrapper(radiusPacket);
    if (w != nullptr)
        w->user_access = static_cast<struct _OVX_USER_ACCESS *>(userAccess);
    return userAccess;
}

QZ_EXPORT void *ovxgetUserAccess(void *radiusPacket)
{
    freeradius_wrapper *w = as_wrapper(radiusPacket);
    return w == nullptr ? nullptr : w->user_access;
}

QZ_EXPORT BOOLEAN ovxprintAttributes(void *)
{
    return 0;
}

QZ_EXPORT char *ovxGetServerInfo(void)
{
    return server_info;
}

QZ_EXPORT void *ovxgetAttributeAsString(int, void *)
{
    return not_implemented;
}

QZ_EXPORT void *ovxgetAttributeAsStringByRef(int NAME, int, void *attributes, void *retval)
{
    freeradius_wrapper *w = as_wrapper(attributes);
    auto *ref = static_cast<char *>(retval);
    if (w == nullptr || w->request == nullptr || ref == nullptr)
        return retval;
    if (NAME == OVX_ATTR_USER_NAME) {
        write_user_name(w, ref);
        return retval;
    }
    if (NAME == OVX_ATTR_REQUEST_ID) {
        getfreeRADRequestId(w, ref);
        return retval;
    }
    for (const TextAttribute &attribute : kTextAttributes) {
        if (attribute.id == NAME) {
            write_attribute_text(w->request, attribute, ref);
            break;
        }
    }
    return retval;
}

QZ_EXPORT void *ovxFindFirstAttribute(int NAME, void *attribs)
{
    qz_request *req = request_of(attribs);
    if (req == nullptr)
        return nullptr;
    switch (NAME) {
    case OVX_ATTR_REQUEST_ID: {
        const int id = srv_request_id(req);
        snprintf(packet_id_text, sizeof packet_id_text, "%i", id);
        _dprintf("id: %i", id);
        return packet_id_text;
    }
    case OVX_ATTR_USER_NAME: {
        const qz_pair *user = srv_username(req);
        return user == nullptr ? nullptr : const_cast<char *>(srv_pair_text(req, user));
    }
    case OVX_ATTR_NAS_IP_ADDRESS:
    case OVX_ATTR_NAS_PORT:
    case OVX_ATTR_CALLED_STATION_ID:
    case OVX_ATTR_CALLING_STATION_ID:
    case OVX_ATTR_ACCT_SESSION_ID:
    case OVX_ATTR_NAS_PORT_TYPE:
        break;
    default:
        return nullptr;
    }
    const qz_pair *pair = srv_find(req, SRV_REQUEST_LIST, 0, static_cast<unsigned>(NAME));
    // The text belongs to the server's request and lives as long as it does.
    return pair == nullptr ? nullptr : const_cast<char *>(srv_pair_text(req, pair));
}

QZ_EXPORT void *ovxgetVSAByRef(int, void *NAME, int PACKET_TYPE, void *attributes, void *retval)
{
    qz_request *req = request_of(attributes);
    auto *ref = static_cast<char *>(retval);
    const auto *name = static_cast<const char *>(NAME);

    qzmod::log_notice(req, "Getting a VSA");
    srv_list list = SRV_REQUEST_LIST;
    bool list_usable = req != nullptr;
    if (PACKET_TYPE == OVX_PACKET_REQUEST) {
        qzmod::log_notice(req, "getting VSA from request");
    } else if (PACKET_TYPE == OVX_PACKET_REPLY) {
        qzmod::log_notice(req, "Getting VSA from response");
        list = SRV_REPLY_LIST;
        int why = 0;
        if (req == nullptr)
            qzmod::log_notice(req, "REQUEST is NULL");
        else if (!srv_list_has_attributes(req, SRV_REPLY_LIST, &why)) {
            qzmod::log_notice(req, why == 1 ? "preq->reply is NULL" : "preq->reply->vps is NULL");
            list_usable = false;
        }
    } else {
        list_usable = false;
    }
    qzmod::log_notice(req, "got VSA...");

    unsigned vendor = 0;
    unsigned attribute = 0;
    const qz_pair *pair = nullptr;
    if (list_usable && name != nullptr && srv_dict_lookup(name, &vendor, &attribute) == 0)
        pair = srv_find(req, list, vendor, attribute);
    if (ref == nullptr)
        return retval;
    if (pair == nullptr) {
        qz_copy(ref, QZ_ID_BUFFER, "-1");
        return retval;
    }
    qz_copy(ref, QZ_ID_BUFFER, srv_pair_text(req, pair));
    qzmod::log_notice(req, "FOUND VSA... String value: %s", ref);
    return retval;
}

QZ_EXPORT void *ovxaddVSA(int, int attrid, int, void *buffer, void *response)
{
    qz_request *req = request_of(response);
    if (req == nullptr || buffer == nullptr)
        return nullptr;
    for (const VsaName &vsa : kVsaNames) {
        if (vsa.attrid == attrid) {
            srv_reply_add(req, vsa.name, static_cast<const char *>(buffer), vsa.op);
            break;
        }
    }
    return nullptr;
}

QZ_EXPORT int ovxreplaceFirstAttribute(void *response, int NAME, void *attrib)
{
    qz_request *req = request_of(response);
    if (req == nullptr || attrib == nullptr)
        return 0;
    for (const ReplyName &reply : kReplaceNames) {
        if (reply.id == NAME) {
            srv_reply_add(req, reply.name, static_cast<const char *>(attrib), SRV_OP_DEFAULT);
            break;
        }
    }
    return 0;
}

}  // extern "C"

// The callbacks must have exactly the types the core calls them through.
static_assert(std::is_same_v<decltype(&ovxgetRequest), ptGetRequest>);
static_assert(std::is_same_v<decltype(&ovxgetResponse), ptGetResponse>);
static_assert(std::is_same_v<decltype(&ovxgetRequestAttributes), ptGetAttributes>);
static_assert(std::is_same_v<decltype(&ovxgetRequestType), ptGetRequestType>);
static_assert(std::is_same_v<decltype(&ovxgetResponseType), ptGetResponseType>);
static_assert(std::is_same_v<decltype(&ovxgetControlPoint), ptGetControlPoint>);
static_assert(std::is_same_v<decltype(&ovxGetControlPointName), ptGetCPName>);
static_assert(std::is_same_v<decltype(&ovxsetUserAccess), ptSetUserAccess>);
static_assert(std::is_same_v<decltype(&ovxgetUserAccess), ptGetUserAccess>);
static_assert(std::is_same_v<decltype(&ovxprintAttributes), ptPrintAttributes>);
static_assert(std::is_same_v<decltype(&ovxGetServerInfo), ptGetServerInfo>);
static_assert(std::is_same_v<decltype(&ovxgetAttributeAsString), ptGetAttributeAsString>);
static_assert(std::is_same_v<decltype(&ovxgetAttributeAsStringByRef), ptGetAttributeAsStringByRef>);
static_assert(std::is_same_v<decltype(&ovxFindFirstAttribute), ptfindFirstAttribute>);
static_assert(std::is_same_v<decltype(&ovxgetVSAByRef), ptGetVSAByRef>);
static_assert(std::is_same_v<decltype(&ovxaddVSA), ptAddVSA>);
static_assert(std::is_same_v<decltype(&ovxreplaceFirstAttribute), ptReplaceFirstAttribute>);
