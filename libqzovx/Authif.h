/* RADIUS codes as the DM protocol names them, and the library's decision
 * client, settings and initialisation. */
#ifndef QZOVX_AUTHIF_H
#define QZOVX_AUTHIF_H

#include "platdefs.h"
#include "dm_sock.h"
#include "ovxModuleAPI.h"

QZ_BEGIN_C

typedef enum _RADIUS_CODE {
    rcUnknown = 0,
    rcAccessRequest = 1,
    rcAccessAccept = 2,
    rcAccessReject = 3,
    rcAccountingRequest = 4,
    rcAccountingResponse = 5,
    rcAccessChallenge = 11,
    rcDiscard = 256
} RADIUS_CODE;

/* Name of a code as written to the DM; never null, static text. */
QZ_EXPORT const char *RadiusCode(RADIUS_CODE rc);

/* ---- Settings, written once while the properties file is read ---- */
QZ_EXPORT extern int dm_server_port;
QZ_EXPORT extern int sock_timeout;
QZ_EXPORT extern int dm_server_timeout;
QZ_EXPORT extern int trace_packet;
QZ_EXPORT extern int debug_packet;
QZ_EXPORT extern int send_lat_group;
QZ_EXPORT extern char qz_ei_attribute_name[80];
QZ_EXPORT extern char qz_ei_attribute_type[80];
/* enable_debug, debug_window and trace_file_name are declared in debug.h */

QZ_EXPORT int readProperties(void);
QZ_EXPORT char *ovx_get_param(char *text, char *param_name, char *param_value);
QZ_EXPORT void *ovxAlloc(int bytes);
QZ_EXPORT void ovxFree(void *pmem);

/* ---- Initialisation ---- */
QZ_EXPORT int radiusIFInitialize(void);
QZ_EXPORT const char *getAPIString(void);
QZ_EXPORT int sendToDM(void);
QZ_EXPORT void _authCommon(void *radiusPacket);

/* ---- Decision client ---- */
QZ_EXPORT int processAuthorizationPacket(void *radiusPacket);
QZ_EXPORT char *getRequestId(void *radiusPacket);
QZ_EXPORT char *getAcctSessionId(void *radiusPacket);
QZ_EXPORT int ovx_verify(DM_SERVER dm_server, OVX_USER_ACCESS *user_access);
QZ_EXPORT int parseACEs(char *rawACL, OVX_USER_ACCESS *user);
QZ_EXPORT int _ovxrespond(void *radiusPacket);
QZ_EXPORT int processAccountingPacket(void *radiusPacket);

QZ_END_C

#endif
