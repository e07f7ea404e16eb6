/* Accounting: forward each Accounting-Request to the DM. No answer is read. */
#include "Authif.h"
#include "debug.h"
#include "dm_fields.h"
#include "dm_sock.h"
#include "exchange_hold.h"
#include "number.h"
#include "request_text.h"

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

// Sends the attribute as "KEY=value\t" when the request carries it.
bool send_attribute(void *radiusPacket, DM_SERVER server, int attribute, const char *key)
{
    AttrText attr;
    if (!fetch_attribute(radiusPacket, attribute, OVX_PACKET_REQUEST, attr))
        return false;
    send_text_field(server, key, attr.text, nullptr);
    return true;
}

void write_accounting(void *radiusPacket, DM_SERVER server, int request_type)
{
    dm_printf(server, "%s\t", code_name(request_type));

    AttrText attr;
    if (fetch_attribute(radiusPacket, OVX_ATTR_CALLING_STATION_ID, OVX_PACKET_REQUEST, attr)) {
        char client_mac[128];
        copy_field(client_mac, attr.text, "MAC Address Truncated!\n");
        send_text_field(server, "CLIENT_MAC", client_mac, nullptr);
    }
    send_attribute(radiusPacket, server, OVX_ATTR_REQUEST_ID, "REQ_ID");
    send_attribute(radiusPacket, server, OVX_ATTR_NAS_IP_ADDRESS, "NAS_IP");
    if (fetch_attribute(radiusPacket, OVX_ATTR_ACCT_SESSION_ID, OVX_PACKET_REQUEST, attr)) {
        char ses_id[80];
        copy_field(ses_id, attr.text, "Session ID truncated!\n");
        send_text_field(server, "SESSION_ID", ses_id, nullptr);
    }
    send_attribute(radiusPacket, server, OVX_ATTR_ACCT_STATUS_TYPE, "ACCT_STATUS");
    if (send_attribute(radiusPacket, server, kSessionItems[0].attribute, kSessionItems[0].key)) {
        for (size_t i = 1; i < sizeof kSessionItems / sizeof kSessionItems[0]; i++)
            send_attribute(radiusPacket, server, kSessionItems[i].attribute, kSessionItems[i].key);
    }
    // Always ended, so this message never runs into the next one.
    dm_printf(server, "\n");
}

}  // namespace

/* May run on several threads at once; the message is written under the
 * host's send semaphore. Returns 0 on every path. */
extern "C" QZ_EXPORT int processAccountingPacket(void *radiusPacket)
{
    radiusIFInitialize();
    if (debug_window && debug_socket == -1)
        debug_sock_open();

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

    ExchangeHold hold;  // the send semaphore only: nothing is read back
    hold.send = getSendSemaphore();
    if (!hold.take_send()) {
        ovx_dprintf("Unable to reach DM for location %s while trying to aquire send semaphore\n", sw_ip);
        return 0;
    }
    // A failed opening still lets the rest through: the writes that follow
    // are dropped while there is no connection.
    if (dm_sock_send(server, "EVENT=", 6) < 0)
        ovx_dprintf("Unable to reach DM for location %s\n", sw_ip);
    write_accounting(radiusPacket, server, request_type);
    ovx_dprintf("}\n");
    return 0;
}
