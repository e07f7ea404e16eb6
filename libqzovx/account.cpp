/* Accounting: forward each Accounting-Request to the DM. No answer is read. */
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
#include "trace_line.h"

namespace {

constexpr int kAccountingPoint = 2;

struct AccountingItem {
    int attribute;
    const char *key;
};

// Sent only when the request names a user, in this order.
constexpr AccountingItem kSessionItems[] = {
    {OVX_ATTR_USER_NAME, "USER"},
    {OVX_ATTR_ACCT_SESSION_TIME, "SESSION_TIME"},
    {OVX_ATTR_ACCT_TERMINATE_CAUSE, "TERM_CAUSE"},
    {OVX_ATTR_ACCT_INPUT_OCTETS, "INPUT_OCTETS"},
    {OVX_ATTR_ACCT_OUTPUT_OCTETS, "OUTPUT_OCTETS"},
    {OVX_ATTR_ACCT_INPUT_PACKETS, "INPUT_PACKETS"},
    {OVX_ATTR_ACCT_OUTPUT_PACKETS, "OUTPUT_PACKETS"},
    {OVX_ATTR_NAS_PORT, "PORT"},
};

// Adds the attribute as "KEY=value\t" when the request carries it.
bool add_attribute(void *radiusPacket, DmMessage &message, int attribute, const char *key)
{
    AttrText attr;
    if (!fetch_attribute(radiusPacket, attribute, OVX_PACKET_REQUEST, attr))
        return false;
    message.text_field(key, attr.text);
    return true;
}

// The whole accounting request, built in memory.
void build_accounting(void *radiusPacket, DmMessage &message, TraceLine &trace, int request_type)
{
    message.raw("EVENT=");
    message.raw(code_name(request_type));
    message.raw("\t");

    AttrText attr;
    if (fetch_attribute(radiusPacket, OVX_ATTR_CALLING_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        char client_mac[128];
        if (copy_field(client_mac, attr.text))
            trace.add("MAC Address Truncated!\n");
        message.text_field("CLIENT_MAC", client_mac);
    }
    add_attribute(radiusPacket, message, OVX_ATTR_REQUEST_ID, "REQ_ID");
    add_attribute(radiusPacket, message, OVX_ATTR_NAS_IP_ADDRESS, "NAS_IP");
    if (fetch_attribute(radiusPacket, OVX_ATTR_ACCT_SESSION_ID, OVX_PACKET_REQUEST, attr)) {
        char ses_id[80];
        if (copy_field(ses_id, attr.text))
            trace.add("Session ID truncated!\n");
        message.text_field("SESSION_ID", ses_id);
    }
    add_attribute(radiusPacket, message, OVX_ATTR_ACCT_STATUS_TYPE, "ACCT_STATUS");
    if (add_attribute(radiusPacket, message, kSessionItems[0].attribute, kSessionItems[0].key)) {
        for (size_t i = 1; i < sizeof kSessionItems / sizeof kSessionItems[0]; i++)
            add_attribute(radiusPacket, message, kSessionItems[i].attribute, kSessionItems[i].key);
    }
    // Always ended, so this message never runs into the next one.
    message.raw("\n");
}

}  // namespace

/* May run on several threads at once; the message is written under the
 * host's send semaphore. Returns -1 when an event that should reach the DM
 * was not delivered whole (initialisation not finished, send semaphore not
 * obtained, no connection, send failed or timed out), so that the server can
 * keep the record and try again; 0 when it was delivered and on every path
 * that forwards nothing. */
extern "C" QZ_EXPORT int processAccountingPacket(void *radiusPacket)
{
    // Settings are only read once initialisation has finished writing them;
    // the tests below need none.
    const bool initialised = radiusIFInitialize() == 1;
    if (initialised)
        debug_sock_open_if_closed();

    if (getAcctSessionId(radiusPacket) == nullptr)
        return 0;
    void *request = getRequest(radiusPacket);
    void *response = getResponse(radiusPacket);
    getAttributes(request);
    getAttributes(response);
    int control_point = callback_number(getControlPoint(request));
    int request_type = callback_number(getRequestType(radiusPacket));
    if (control_point != kAccountingPoint || request_type != rcAccountingRequest)
        return 0;

    char sw_ip[80] = "";
    DM_SERVER server = nullptr;
    AttrText attr;
    if (fetch_attribute(radiusPacket, OVX_ATTR_NAS_IP_ADDRESS, OVX_PACKET_REQUEST, attr)) {
        copy_field(sw_ip, attr.text);
        if (fetch_attribute(radiusPacket, OVX_ATTR_NAS_PORT, OVX_PACKET_REQUEST, attr))
            server = dm_find_server(sw_ip, qz_to_int32(attr.text));
    }
    if (server == nullptr)
        return 0;
    if (!initialised)
        return -1;

    DmMessage message;
    TraceLine trace;
    build_accounting(radiusPacket, message, trace, request_type);

    ExchangeHold hold;  // the send semaphore only: nothing is read back
    hold.send = getSendSemaphore();
    if (!hold.take_send()) {
        trace.add("Unable to reach DM for location %s while trying to aquire send semaphore\n", sw_ip);
        return -1;
    }
    int result = 0;
    // One connection for all accounting, so the DM reads a session's events
    // in the order they were sent.
    DmLease lease = dm_lease(server, DmRoute::Ordered, dm_now_ms() + dm_io_timeout_ms());
    if (!lease || dm_sock_send_noted(lease.server, message.data(), message.length(), trace) < 0) {
        trace.add("Unable to reach DM for location %s\n", sw_ip);
        result = -1;
    }
    trace.add("}\n");
    return result;
}
