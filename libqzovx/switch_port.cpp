#include "switch_port.h"

#include "number.h"
#include "request_text.h"

DM_SERVER locate_dm_server(void *radiusPacket, OVX_USER_ACCESS *ua)
{
    AttrText ip, port;
    if (!fetch_attribute(radiusPacket, OVX_ATTR_NAS_IP_ADDRESS, OVX_PACKET_REQUEST, ip))
        return nullptr;
    copy_field(ua->sw_ip, ip.text);
    if (!fetch_attribute(radiusPacket, OVX_ATTR_NAS_PORT, OVX_PACKET_REQUEST, port))
        return nullptr;
    qz_copy(ua->location, sizeof ua->location, ua->sw_ip);
    qz_append(ua->location, sizeof ua->location, ",");
    qz_append(ua->location, sizeof ua->location, port.text);
    return dm_find_server(ua->sw_ip, qz_to_int32(port.text));
}
