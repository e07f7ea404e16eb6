/* Which switch port a request comes from, and the DM server that serves it.
 * Library-internal. */
#ifndef QZOVX_SWITCH_PORT_H
#define QZOVX_SWITCH_PORT_H

#include "dm_sock.h"
#include "ovxModuleAPI.h"

/* Reads NAS-IP-Address into sw_ip and, with a NAS-Port, forms location
 * ("address,port" as the texts came) and looks the DM server up. Null when
 * the request lacks either attribute or no server serves it. */
DM_SERVER locate_dm_server(void *radiusPacket, OVX_USER_ACCESS *ua);

#endif
