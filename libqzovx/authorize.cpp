/* Authorization: collect the request's identity into the decision record, ask
 * the DM, and return its verdict as a RADIUS code. */
#include <string.h>

#include "Authif.h"
#include "debug.h"
#include "dm_fields.h"
#include "dm_sock.h"
#include "exchange_hold.h"
#include "number.h"
#include "request_text.h"
#include "switch_port.h"

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
void write_endpoint_integrity(const RequestView &req, DM_SERVER server, OVX_USER_ACCESS *ua)
{
    ovx_dprintf("checking RADIUS packet for presence of EI using attribute name: %s \n", qz_ei_attribute_name);
    if (qz_ei_attribute_name[0] == '\0')
        return;
    ovx_dprintf(" looking for ei attr: %s\n", qz_ei_attribute_name);
    AttrText ei;
    fetch_vendor_attribute(req.packet, qz_ei_attribute_name, OVX_PACKET_REPLY, ei);
    ovx_dprintf("found ei attr....");
    if (strcmp(qz_ei_attribute_type, "STRING") != 0)
        return;
    ovx_dprintf("getting string attr");
    copy_field(ua->clientstate, ei.text);
    send_text_field(server, "HI_STATE", ua->clientstate, ", ");
}

// Everything of the authorization request after "EVENT=".
void write_request(const RequestView &req, DM_SERVER server, OVX_USER_ACCESS *ua)
{
    const char *type_name = code_name(req.request_type);
    dm_printf(server, "%s\t", type_name);
    ovx_dprintf("%s: {", type_name);
    send_text_field(server, "REQ_ID", ua->req_id, "");
    send_text_field(server, "USER", ua->user_name, ", ");

    AttrText attr;
    if (fetch_attribute(req.packet, OVX_ATTR_HI_STATE, OVX_PACKET_REPLY, attr)) {
        copy_field(ua->clientstate, attr.text, "HI State Truncated!\n");
        send_text_field(server, "HI_STATE", ua->clientstate, ", ");
    }
    if (fetch_attribute(req.packet, OVX_ATTR_CALLING_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        copy_field(ua->client_id, attr.text, "MAC Address Truncated!\n");
        send_text_field(server, "CLIENT_MAC", ua->client_id, ", ");
    }
    send_text_field(server, "NAS_IP", ua->sw_ip, ", ");
    if (fetch_attribute(req.packet, OVX_ATTR_CALLED_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        copy_field(ua->sw_mac, attr.text, "MAC Address Truncated!\n");
        send_text_field(server, "NAS_MAC", ua->sw_mac, ", ");
    }
    if (fetch_attribute(req.packet, OVX_ATTR_NAS_PORT, OVX_PACKET_REQUEST, attr)) {
        ua->sw_port = static_cast<uint32_t>(qz_to_int32(attr.text));
        send_number_field(server, "PORT", static_cast<int>(ua->sw_port), ", ");
    }
    if (fetch_attribute(req.packet, OVX_ATTR_NAS_PORT_TYPE, OVX_PACKET_REQUEST, attr))
        ua->sw_port_type = static_cast<uint32_t>(qz_to_int32(attr.text));

    write_endpoint_integrity(req, server, ua);

    if (req.control_point != 0) {
        dm_printf(server, "\n");
        ovx_dprintf("}\n");
    } else {
        const char *response_name = code_name(req.response_type);
        dm_printf(server, "RESPONSE=%s\t", response_name);
        dm_printf(server, "\n");
        ovx_dprintf(", RESPONSE=%s}\n\n", response_name);
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
    radiusIFInitialize();
    if (debug_window && debug_socket == -1)
        debug_sock_open();

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

    ExchangeHold hold;
    hold.recv = getRecvSemaphore();
    hold.send = getSendSemaphore();
    if (!hold.take_send()) {
        ovx_dprintf("Unable to reach DM for location %s while trying to aquire send semaphore\n", ua->location);
        return rcUnknown;
    }
    if (!hold.take_recv()) {
        ovx_dprintf("Unable to reach DM for location %s while trying to aquire recv semaphore\n", ua->location);
        return rcUnknown;
    }

    // A late answer to an earlier request must not be read as this one's.
    dm_sock_discard_pending(server);
    if (dm_sock_send(server, "EVENT=", 6) < 0) {
        ovx_dprintf("Unable to reach DM for location %s\n", ua->location);
        return rcUnknown;
    }
    write_request(req, server, ua);

    if (ovx_verify(server, ua) < 0) {
        ovx_dprintf("no access request response received from DM \n\n");
        return rcUnknown;
    }
    hold.release();
    if (ua->allowed)
        return rcAccessAccept;
    ovx_dprintf("access denied \n\n");
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
