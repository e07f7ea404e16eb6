/* Authorization: collect the request's identity into the decision record, ask
 * the DM, and return its verdict as a RADIUS code. */
#include <string.h>

#include "Authif.h"
#include "debug.h"
#include "dm_fields.h"
#include "dm_message.h"
#include "dm_pool.h"
#include "dm_send.h"
#include "dm_sock.h"
#include "exchange_hold.h"
#include "number.h"
#include "request_text.h"
#include "switch_port.h"
#include "trace_line.h"

namespace {

struct RequestView {
    void *packet;
    void *request_attrs;
    void *response_attrs;
    int response_type;
    int control_point;
    int request_type;
};

void dump_packet(const RequestView &req)
{
    if (trace_packet) {
        ovx_dprintf("Radius packet\n");
        ovx_dprintf("-------------\n");
        printAttributes(req.request_attrs);
        printAttributes(req.response_attrs);
        ovx_dprintf("\n");
    } else if (debug_packet) {
        debug_printf("Radius packet\n");
        debug_printf("-------------\n");
        printAttributes(req.request_attrs);
        printAttributes(req.response_attrs);
        debug_printf("\n");
    }
}

// An EAP conversation still under way (EAP-Message and State) is left alone.
bool eap_in_progress(const RequestView &req)
{
    AttrText eap, state;
    return req.request_type == rcAccessRequest &&
           fetch_attribute(req.packet, OVX_ATTR_EAP_MESSAGE, OVX_PACKET_REQUEST, eap) &&
           fetch_attribute(req.packet, OVX_ATTR_STATE, OVX_PACKET_REQUEST, state);
}

// The endpoint-integrity attribute named in the properties, sent as a second
// HI_STATE when its configured type is "STRING".
void add_endpoint_integrity(const RequestView &req, DmMessage &message, TraceLine &trace, OVX_USER_ACCESS *ua)
{
    trace.add("checking RADIUS packet for presence of EI using attribute name: %s \n", qz_ei_attribute_name);
    if (qz_ei_attribute_name[0] == '\0')
        return;
    trace.add(" looking for ei attr: %s\n", qz_ei_attribute_name);
    AttrText ei;
    fetch_vendor_attribute(req.packet, qz_ei_attribute_name, OVX_PACKET_REPLY, ei);
    trace.add("found ei attr....");
    if (strcmp(qz_ei_attribute_type, "STRING") != 0)
        return;
    trace.add("getting string attr");
    copy_field(ua->clientstate, ei.text);
    add_text_field(message, trace, "HI_STATE", ua->clientstate, ", ");
}

// The whole authorization request, built in memory with its trace line.
void build_request(const RequestView &req, DmMessage &message, TraceLine &trace, OVX_USER_ACCESS *ua)
{
    const char *type_name = code_name(req.request_type);
    message.raw("EVENT=");
    message.raw(type_name);
    message.raw("\t");
    trace.add("%s: {", type_name);
    add_text_field(message, trace, "REQ_ID", ua->req_id, "");
    add_text_field(message, trace, "USER", ua->user_name, ", ");

    AttrText attr;
    if (fetch_attribute(req.packet, OVX_ATTR_HI_STATE, OVX_PACKET_REPLY, attr)) {
        if (copy_field(ua->clientstate, attr.text))
            trace.add("HI State Truncated!\n");
        add_text_field(message, trace, "HI_STATE", ua->clientstate, ", ");
    }
    if (fetch_attribute(req.packet, OVX_ATTR_CALLING_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        if (copy_field(ua->client_id, attr.text))
            trace.add("MAC Address Truncated!\n");
        add_text_field(message, trace, "CLIENT_MAC", ua->client_id, ", ");
    }
    add_text_field(message, trace, "NAS_IP", ua->sw_ip, ", ");
    if (fetch_attribute(req.packet, OVX_ATTR_CALLED_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        if (copy_field(ua->sw_mac, attr.text))
            trace.add("MAC Address Truncated!\n");
        add_text_field(message, trace, "NAS_MAC", ua->sw_mac, ", ");
    }
    if (fetch_attribute(req.packet, OVX_ATTR_NAS_PORT, OVX_PACKET_REQUEST, attr)) {
        ua->sw_port = static_cast<uint32_t>(qz_to_int32(attr.text));
        add_number_field(message, trace, "PORT", static_cast<int>(ua->sw_port), ", ");
    }
    if (fetch_attribute(req.packet, OVX_ATTR_NAS_PORT_TYPE, OVX_PACKET_REQUEST, attr))
        ua->sw_port_type = static_cast<uint32_t>(qz_to_int32(attr.text));

    add_endpoint_integrity(req, message, trace, ua);

    if (req.control_point != 0) {
        message.raw("\n");
        trace.add("}\n");
    } else {
        const char *response_name = code_name(req.response_type);
        message.raw("RESPONSE=");
        message.raw(response_name);
        message.raw("\t\n");
        trace.add(", RESPONSE=%s}\n\n", response_name);
    }
}

// Looks attribute `id` up on the request's attribute list.
char *first_request_attribute(void *radiusPacket, int id)
{
    void *request = getRequest(radiusPacket);
    return static_cast<char *>(findFirstAttribute(id, getAttributes(request)));
}

}  // namespace

/* May run on several threads at once: everything per request is local, and
 * the DM exchange is serialised by the host's two semaphores. */
extern "C" QZ_EXPORT int processAuthorizationPacket(void *radiusPacket)
{
    // Settings are only read once initialisation has finished writing them.
    if (radiusIFInitialize() != 1)
        return rcUnknown;
    debug_sock_open_if_closed();

    auto *ua = static_cast<OVX_USER_ACCESS *>(getUserAccess(radiusPacket));
    void *request = getRequest(radiusPacket);
    void *response = getResponse(radiusPacket);
    RequestView req{};
    req.packet = radiusPacket;
    req.response_type = callback_number(getResponseType(radiusPacket));
    req.request_attrs = getAttributes(request);
    req.response_attrs = getAttributes(response);
    req.control_point = callback_number(getControlPoint(request));
    req.request_type = callback_number(getRequestType(radiusPacket));

    if (req.control_point != 1 && req.request_type != rcAccessRequest)
        return rcUnknown;
    if (req.response_type == rcAccessChallenge)
        return rcUnknown;
    if (ua == nullptr)  // no record to fill: nothing can be decided
        return rcUnknown;

    AttrText attr;
    if (!fetch_attribute(radiusPacket, OVX_ATTR_REQUEST_ID, OVX_PACKET_REQUEST, attr))
        return rcUnknown;
    copy_field(ua->req_id, attr.text);
    ua->qos = -1;

    dump_packet(req);
    if (eap_in_progress(req))
        return rcUnknown;

    if (!fetch_attribute(radiusPacket, OVX_ATTR_USER_NAME, OVX_PACKET_REQUEST, attr))
        return rcUnknown;
    copy_field(ua->user_name, attr.text);

    DM_SERVER server = locate_dm_server(radiusPacket, ua);
    if (server == nullptr)
        return rcUnknown;

    // The exchange's trace goes out in as few writes as it can: the request
    // line with the note on its sending, then (once the answer is in) the
    // decision.
    DmMessage message;
    TraceLine trace;
    build_request(req, message, trace, ua);

    ExchangeHold hold;
    hold.recv = getRecvSemaphore();
    hold.send = getSendSemaphore();
    if (!hold.take_send()) {
        trace.add("Unable to reach DM for location %s while trying to aquire send semaphore\n", ua->location);
        return rcUnknown;
    }
    if (!hold.take_recv()) {
        trace.add("Unable to reach DM for location %s while trying to aquire recv semaphore\n", ua->location);
        return rcUnknown;
    }
    // The request and its answer travel on one connection that nobody else
    // uses meanwhile.
    DmLease lease = dm_lease(server, DmRoute::Exchange, dm_now_ms() + dm_io_timeout_ms());
    if (!lease) {
        trace.add("Unable to reach DM for location %s while waiting for a free connection\n", ua->location);
        return rcUnknown;
    }
    if (dm_sock_send_noted(lease.server, message.data(), message.length(), trace) < 0) {
        trace.add("Unable to reach DM for location %s\n", ua->location);
        return rcUnknown;
    }
    trace.flush();  // visible while the DM is being waited for
    if (verify_answer(lease.server, ua, trace) < 0) {
        trace.add("no access request response received from DM \n\n");
        return rcUnknown;
    }
    lease.release();
    hold.release();
    if (ua->allowed)
        return rcAccessAccept;
    trace.add("access denied \n\n");
    return rcAccessReject;
}

extern "C" QZ_EXPORT char *getRequestId(void *radiusPacket)
{
    return first_request_attribute(radiusPacket, OVX_ATTR_REQUEST_ID);
}

extern "C" QZ_EXPORT char *getAcctSessionId(void *radiusPacket)
{
    return first_request_attribute(radiusPacket, OVX_ATTR_ACCT_SESSION_ID);
}
