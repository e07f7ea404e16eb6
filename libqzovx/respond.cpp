/* Reply construction: report the decision to the DM as an Authorization
 * event and turn it into reply attributes. */
#include <stdio.h>
#include <string.h>

#include "Authif.h"
#include "debug.h"
#include "dm_fields.h"
#include "dm_message.h"
#include "dm_send.h"
#include "dm_pool.h"
#include "dm_sock.h"
#include "exchange_hold.h"
#include "number.h"
#include "request_text.h"
#include "switch_port.h"
#include "trace_line.h"

namespace {

struct Flag {
    const char *key;
    const char *value;
};

// Entries longer than this are not sent as filter rules.
constexpr size_t kMaxFilterRule = 80;
constexpr char kTunnelTypeVlan[] = "13";
constexpr char kTunnelMediumIeee802[] = "6";

// The whole Authorization report with its trace line, refreshing the request
// side of the record from the request as it goes.
void build_report(void *radiusPacket, DmMessage &message, TraceLine &trace, OVX_USER_ACCESS *ua, int response_type)
{
    message.raw("EVENT=Authorization\t");
    trace.add("Authorization: {");
    add_text_field(message, trace, "USER", ua->user_name, ", ");

    AttrText attr;
    if (fetch_attribute(radiusPacket, OVX_ATTR_HI_STATE, OVX_PACKET_REQUEST, attr)) {
        if (copy_field(ua->clientstate, attr.text))
            trace.add("HI State Truncated!\n");
        add_text_field(message, trace, "HI_STATE", ua->clientstate, ", ");
    }
    if (fetch_attribute(radiusPacket, OVX_ATTR_CALLING_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        if (copy_field(ua->client_id, attr.text))
            trace.add("MAC Address Truncated!\n");
        add_text_field(message, trace, "CLIENT_MAC", ua->client_id, ", ");
    }
    add_text_field(message, trace, "NAS_IP", ua->sw_ip, ", ");
    if (fetch_attribute(radiusPacket, OVX_ATTR_CALLED_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        if (copy_field(ua->sw_mac, attr.text))
            trace.add("MAC Address Truncated!\n");
        add_text_field(message, trace, "NAS_MAC", ua->sw_mac, ", ");
    }
    if (fetch_attribute(radiusPacket, OVX_ATTR_NAS_PORT, OVX_PACKET_REQUEST, attr)) {
        ua->sw_port = static_cast<uint32_t>(qz_to_int32(attr.text));
        add_number_field(message, trace, "PORT", static_cast<int>(ua->sw_port), ", ");
    }
    if (fetch_attribute(radiusPacket, OVX_ATTR_NAS_PORT_TYPE, OVX_PACKET_REQUEST, attr))
        ua->sw_port_type = static_cast<uint32_t>(qz_to_int32(attr.text));

    if (ua->profile[0] != '\0')
        add_text_field(message, trace, "PROFILE", ua->profile, ", ");
    if (ua->apg[0] != '\0')
        add_text_field(message, trace, "APG", ua->apg, ", ");
    if (ua->vlan[0] != '\0')
        add_text_field(message, trace, "VLAN_ID", ua->vlan, ", ");
    if (ua->qos >= 0)
        add_number_field(message, trace, "QOS", ua->qos, ", ");
    if (ua->bw != 0)
        add_number_field(message, trace, "BW_MAX_IN", static_cast<int>(ua->bw), ", ");
    if (ua->egress != 0)
        add_number_field(message, trace, "BW_MAX_OUT", static_cast<int>(ua->egress), ", ");
    // The short flags go back in this order; DEFAULT_CAP before ACL_INCAP.
    const Flag flags[] = {
        {"VLAN_INCAP", ua->VLAN_INCAP}, {"QOS_INCAP", ua->QOS_INCAP},     {"BW_MAX_INCAP", ua->BW_MAX_INCAP},
        {"DEFAULT_CAP", ua->DEFAULT_CAP}, {"ACL_INCAP", ua->ACL_INCAP},
    };
    for (const Flag &f : flags) {
        if (f.value[0] != '\0')
            add_text_field(message, trace, f.key, f.value, ", ");
    }
    unsigned char rule_start = static_cast<unsigned char>(ua->GLOBAL_RULE[0]);
    if (rule_start >= 1 && rule_start <= 127)
        add_text_field(message, trace, "GLOBAL_RULE", ua->GLOBAL_RULE, ", ");
    if (ua->RULE_NO[0] != '\0')
        add_text_field(message, trace, "RULE_NO", ua->RULE_NO, ", ");
    if (ua->ovx_location[0] != '\0')
        add_text_field(message, trace, "LOCATION", ua->ovx_location, ", ");
    if (ua->clientstate[0] != '\0')
        add_text_field(message, trace, "HI_STATE", ua->clientstate, ", ");
    if (ua->src != 0)
        add_number_field(message, trace, "SOURCE", static_cast<int>(ua->src), ",");
    if (ua->return_code != 0)
        add_number_field(message, trace, "RETURN_CODE", static_cast<int>(ua->return_code), ", ");

    const char *response_name = code_name(response_type);
    message.raw("RESPONSE=");
    message.raw(response_name);
    message.raw("\t\n\n");
    trace.add(", RESPONSE=%s}\n\n", response_name);
}

int add_reply_text(void *radiusPacket, int id, const char *text)
{
    char value[OVX_VALUE_BUFFER];
    qz_copy(value, sizeof value, text);
    return replaceFirstAttribute(radiusPacket, id, value);
}

// Tunnel attributes report success or failure in the low 8 bits alone.
int add_tunnel_attribute(void *radiusPacket, int id, const char *text)
{
    return static_cast<signed char>(add_reply_text(radiusPacket, id, text) & 0xFF);
}

int add_reply_attributes(void *radiusPacket, const OVX_USER_ACCESS *ua, TraceLine &trace)
{
    int dwResult = 0;
    char seconds[16];

    if (ua->apg[0] != '\0' && send_lat_group == 1)
        dwResult = add_reply_text(radiusPacket, OVX_ATTR_LOGIN_LAT_GROUP, ua->apg);

    // The record holds the DM's numbers as 32 bits; a negative session time
    // would reach the switch as a huge unsigned one, so it counts as none.
    const int session_time = static_cast<int32_t>(ua->time);
    if (session_time < 0)
        trace.add("negative session time %d from DM: no Session-Timeout\n", session_time);
    if (session_time > 0) {
        snprintf(seconds, sizeof seconds, "%d", session_time);
        int r = add_reply_text(radiusPacket, OVX_ATTR_SESSION_TIMEOUT, seconds);
        if (r != 0)
            trace.add("Error adding SessionTimeout, ErrorCode %d\n", r);
        dwResult = add_reply_text(radiusPacket, OVX_ATTR_TERMINATION_ACTION, code_name(rcAccessRequest));
        if (dwResult != 0)
            trace.add("Error adding TerminationAction, ErrorCode %d\n", dwResult);
    }

    if (ua->vlan[0] != '\0') {
        int r = add_tunnel_attribute(radiusPacket, OVX_ATTR_TUNNEL_TYPE, kTunnelTypeVlan);
        if (r != 0)
            trace.add("Error adding TunnelType, ErrorCode %d\n", r);
        r = add_tunnel_attribute(radiusPacket, OVX_ATTR_TUNNEL_MEDIUM_TYPE, kTunnelMediumIeee802);
        if (r != 0)
            trace.add("Error adding TunnelMedium, ErrorCode %d\n", r);
        r = add_tunnel_attribute(radiusPacket, OVX_ATTR_TUNNEL_PRIVATE_GROUP_ID, ua->vlan);
        if (r != 0)
            trace.add("Error adding VlanGroup attribute, ErrorCode %d\n", r);
    }
    return dwResult;
}

void add_vendor_number(void *radiusPacket, int attribute, int value)
{
    char val[253];
    int length = snprintf(val, sizeof val, "%d", value);
    addVSA(QZ_VENDOR_ID, attribute, length, val, radiusPacket);
}

// A bandwidth limit of 0 means none; a negative one is no usable limit either.
void add_bandwidth(void *radiusPacket, int attribute, const char *key, uint32_t raw, TraceLine &trace)
{
    const int limit = static_cast<int32_t>(raw);
    if (limit < 0)
        trace.add("negative %s %d from DM: no bandwidth attribute\n", key, limit);
    if (limit > 0)
        add_vendor_number(radiusPacket, attribute, limit);
}

void add_vendor_attributes(void *radiusPacket, const OVX_USER_ACCESS *ua, TraceLine &trace)
{
    if (ua->qos >= 0)
        add_vendor_number(radiusPacket, OVX_VSA_PORT_PRIORITY, ua->qos);
    add_bandwidth(radiusPacket, OVX_VSA_BW_MAX_INGRESS, "BW_MAX_IN", ua->bw, trace);
    add_bandwidth(radiusPacket, OVX_VSA_BW_MAX_EGRESS, "BW_MAX_OUT", ua->egress, trace);
    if (ua->aceCt <= 0)
        return;
    trace.add("adding %d aces\n", ua->aceCt);
    int count = ua->aceCt < OVX_MAX_ACES ? ua->aceCt : OVX_MAX_ACES;
    for (int i = 0; i < count; i++) {
        size_t length = strnlen(ua->aces[i], sizeof ua->aces[i]);
        if (length > kMaxFilterRule)
            continue;
        char val[253];
        qz_copy(val, sizeof val, ua->aces[i]);
        addVSA(QZ_VENDOR_ID, OVX_VSA_FILTER_RULE, static_cast<int>(length), val, radiusPacket);
    }
}

}  // namespace

/* May run on several threads at once; the report is written under the host's
 * send and receive semaphores, the reply attributes without them. */
extern "C" QZ_EXPORT int _ovxrespond(void *radiusPacket)
{
    auto *ua = static_cast<OVX_USER_ACCESS *>(getUserAccess(radiusPacket));
    // Settings are only read once initialisation has finished writing them.
    if (radiusIFInitialize() != 1)
        return 0;
    debug_sock_open_if_closed();
    void *request = getRequest(radiusPacket);
    void *response = getResponse(radiusPacket);
    getAttributes(request);
    getAttributes(response);
    int control_point = callback_number(getControlPoint(request));
    int response_type = callback_number(getResponseType(radiusPacket));
    int request_type = callback_number(getRequestType(radiusPacket));

    if (!(control_point == 1 || request_type == rcAccessRequest) || response_type == rcAccessChallenge)
        return 0;
    if (ua == nullptr)  // no decision to report or apply
        return 0;

    AttrText attr;
    if (!fetch_attribute(radiusPacket, OVX_ATTR_USER_NAME, OVX_PACKET_REQUEST, attr))
        return 0;
    copy_field(ua->user_name, attr.text);

    DM_SERVER server = locate_dm_server(radiusPacket, ua);
    if (server == nullptr)
        return 0;

    // The report's trace line, the note on its sending and the reply
    // attributes' lines go out together.
    DmMessage message;
    TraceLine trace;
    build_report(radiusPacket, message, trace, ua, response_type);
    {
        ExchangeHold hold;
        hold.recv = getRecvSemaphore();
        hold.send = getSendSemaphore();
        if (!hold.take_send()) {
            trace.add("Unable to reach DM for location %s while trying to aquire send semaphore\n", ua->location);
            return 0;
        }
        if (!hold.take_recv()) {
            trace.add("Unable to reach DM for location %s while trying to aquire recv semaphore\n", ua->location);
            return 0;
        }
        // Reports go where accounting goes, so the DM reads a session's
        // report before its accounting.
        DmLease lease = dm_lease(server, DmRoute::Ordered, dm_now_ms() + dm_io_timeout_ms());
        if (!lease || dm_sock_send_noted(lease.server, message.data(), message.length(), trace) < 0) {
            trace.add("Unable to reach DM for location %s\n", ua->location);
            return 0;
        }
    }  // the connection and both semaphores given back, send first

    int dwResult = add_reply_attributes(radiusPacket, ua, trace);
    add_vendor_attributes(radiusPacket, ua, trace);
    return dwResult;
}
