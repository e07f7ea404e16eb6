/* The contract between the library and the host module: the per-request
 * decision record, the callback slots the module registers by name, the
 * library's forwarding accessors and its three entry points. */
#ifndef QZOVX_OVXMODULEAPI_H
#define QZOVX_OVXMODULEAPI_H

#include <stddef.h>
#include <stdint.h>

#include "platdefs.h"

QZ_BEGIN_C

/* Enterprise number under which the qz vendor attributes are defined. */
#define QZ_VENDOR_ID 32473

/* PACKET_TYPE arguments of the string and VSA readers. */
#define OVX_PACKET_REQUEST 1
#define OVX_PACKET_REPLY 2

/* Attribute identifiers crossing the boundary. */
#define OVX_ATTR_USER_NAME 1
#define OVX_ATTR_NAS_IP_ADDRESS 4
#define OVX_ATTR_NAS_PORT 5
#define OVX_ATTR_STATE 24
#define OVX_ATTR_SESSION_TIMEOUT 27
#define OVX_ATTR_TERMINATION_ACTION 29
#define OVX_ATTR_CALLED_STATION_ID 30
#define OVX_ATTR_CALLING_STATION_ID 31
#define OVX_ATTR_LOGIN_LAT_GROUP 36
#define OVX_ATTR_ACCT_STATUS_TYPE 40
#define OVX_ATTR_ACCT_INPUT_OCTETS 42
#define OVX_ATTR_ACCT_OUTPUT_OCTETS 43
#define OVX_ATTR_ACCT_SESSION_ID 44
#define OVX_ATTR_ACCT_SESSION_TIME 46
#define OVX_ATTR_ACCT_INPUT_PACKETS 47
#define OVX_ATTR_ACCT_OUTPUT_PACKETS 48
#define OVX_ATTR_ACCT_TERMINATE_CAUSE 49
#define OVX_ATTR_NAS_PORT_TYPE 61
#define OVX_ATTR_TUNNEL_TYPE 64
#define OVX_ATTR_TUNNEL_MEDIUM_TYPE 65
#define OVX_ATTR_EAP_MESSAGE 79
#define OVX_ATTR_TUNNEL_PRIVATE_GROUP_ID 81
#define OVX_ATTR_REQUEST_ID 263
#define OVX_ATTR_HI_STATE 1006

/* Vendor attribute numbers (vendor QZ_VENDOR_ID). */
#define OVX_VSA_PORT_PRIORITY 40
#define OVX_VSA_BW_MIN_INGRESS 45
#define OVX_VSA_BW_MAX_INGRESS 46
#define OVX_VSA_BW_MIN_EGRESS 47
#define OVX_VSA_BW_MAX_EGRESS 48
#define OVX_VSA_FILTER_RULE 61

/* Size every caller gives an attribute value buffer (254 characters and a NUL). */
#define OVX_VALUE_BUFFER 255

#define OVX_MAX_ACES 128
#define OVX_ACE_WIDTH 2048

/* One authorization call: the request's identity and the DM's decision.
 * Owned by the module, zero-filled per call; field order and widths are
 * shared with the module and must not change. */
typedef struct _OVX_USER_ACCESS {
    char req_id[80];
    char user_name[80];
    char sw_ip[20];
    char sw_mac[128];
    uint32_t sw_port;
    uint32_t sw_port_type;
    char client_id[128];
    char location[80];
    char ovx_location[80];
    int32_t allowed;
    char vlan[80];
    int32_t qos;
    uint32_t bw;
    uint32_t egress;
    uint32_t time;
    uint32_t return_code;
    uint32_t src;
    char apg[80];
    char profile[80];
    char acl[2048];
    char aces[OVX_MAX_ACES][OVX_ACE_WIDTH];
    int32_t aceCt;
    char VLAN_INCAP[6];
    char QOS_INCAP[6];
    char BW_MAX_INCAP[6];
    char ACL_INCAP[6];
    char DEFAULT_CAP[6];
    char GLOBAL_RULE[6];
    char RULE_NO[6];
    char clientstate[80];
} OVX_USER_ACCESS;

#ifdef __cplusplus
#define QZ_STATIC_ASSERT static_assert
#else
#define QZ_STATIC_ASSERT _Static_assert
#endif
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, user_name) == 80, "user_name");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, sw_ip) == 160, "sw_ip");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, sw_mac) == 180, "sw_mac");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, sw_port) == 308, "sw_port");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, sw_port_type) == 312, "sw_port_type");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, client_id) == 316, "client_id");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, location) == 444, "location");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, ovx_location) == 524, "ovx_location");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, allowed) == 604, "allowed");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, vlan) == 608, "vlan");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, qos) == 688, "qos");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, bw) == 692, "bw");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, egress) == 696, "egress");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, time) == 700, "time");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, return_code) == 704, "return_code");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, src) == 708, "src");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, apg) == 712, "apg");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, profile) == 792, "profile");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, acl) == 872, "acl");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, aces) == 2920, "aces");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, aceCt) == 265064, "aceCt");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, VLAN_INCAP) == 265068, "VLAN_INCAP");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, QOS_INCAP) == 265074, "QOS_INCAP");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, BW_MAX_INCAP) == 265080, "BW_MAX_INCAP");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, ACL_INCAP) == 265086, "ACL_INCAP");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, DEFAULT_CAP) == 265092, "DEFAULT_CAP");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, GLOBAL_RULE) == 265098, "GLOBAL_RULE");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, RULE_NO) == 265104, "RULE_NO");
QZ_STATIC_ASSERT(offsetof(OVX_USER_ACCESS, clientstate) == 265110, "clientstate");
QZ_STATIC_ASSERT(sizeof(OVX_USER_ACCESS) == 265192, "OVX_USER_ACCESS size");

/* ---- Callback pointer types, one per kind of slot ---- */
typedef char *(*ptGetAttribute)(int ATTRIB, void *request);
typedef void *(*ptfindFirstAttribute)(int NAME, void *attribs);
typedef int (*ptReplaceFirstAttribute)(void *response, int NAME, void *attrib);
typedef BOOLEAN (*ptPrintAttributes)(void *request);
typedef void *(*ptGetControlPoint)(void *request);
typedef void *(*ptGetResponse)(void *packet);
typedef void *(*ptGetRequest)(void *packet);
typedef void *(*ptGetAttributes)(void *request);
typedef void *(*ptReleaseAnObject)(void *handle);
typedef void *(*ptGetRequestType)(void *request);
typedef void *(*ptGetSendSemaphore)(void);
typedef void *(*ptGetRecvSemaphore)(void);
typedef void *(*ptWaitOnObject)(void *handle, int timeout);
typedef char *(*ptGetServerInfo)(void);
typedef int (*ptGetCPName)(int ovxCPName);
typedef void *(*ptGetUserAccess)(void *radiusPacket);
typedef void *(*ptSetUserAccess)(void *radiusPacket, void *userAccess);
typedef void *(*ptGetResponseType)(void *request);
typedef void *(*ptAddVSA)(int vendorid, int attrid, int length, void *buffer, void *response);
typedef void *(*ptAddSubVSA)(void *VSA, int length, void *buffer);
typedef void *(*ptGetAttributeAsString)(int NAME, void *attributes);
typedef void *(*ptGetAttributeAsStringByRef)(int NAME, int PACKET_TYPE, void *attributes, void *retval);
typedef void *(*ptGetVSAByRef)(int VENDOR, void *NAME, int PACKET_TYPE, void *attributes, void *retval);

/* Slot numbers of the callback table. */
enum {
    OVX_SLOT_GET_ATTRIBUTE = 1,
    OVX_SLOT_FIND_FIRST_ATTRIBUTE = 3,
    OVX_SLOT_REPLACE_FIRST_ATTRIBUTE = 6,
    OVX_SLOT_PRINT_ATTRIBUTES = 7,
    OVX_SLOT_GET_CONTROL_POINT = 8,
    OVX_SLOT_GET_RESPONSE = 9,
    OVX_SLOT_GET_REQUEST = 10,
    OVX_SLOT_GET_ATTRIBUTES = 11,
    OVX_SLOT_RELEASE_AN_OBJECT = 13,
    OVX_SLOT_GET_REQUEST_TYPE = 16,
    OVX_SLOT_GET_SEND_SEMAPHORE = 17,
    OVX_SLOT_GET_RECV_SEMAPHORE = 18,
    OVX_SLOT_WAIT_ON_OBJECT = 19,
    OVX_SLOT_GET_SERVER_INFO = 20,
    OVX_SLOT_GET_CP_NAME = 21,
    OVX_SLOT_GET_USER_ACCESS = 22,
    OVX_SLOT_SET_USER_ACCESS = 23,
    OVX_SLOT_GET_RESPONSE_TYPE = 24,
    OVX_SLOT_ADD_VSA = 25,
    OVX_SLOT_ADD_SUB_VSA = 26,
    OVX_SLOT_GET_ATTRIBUTE_AS_STRING = 27,
    OVX_SLOT_GET_ATTRIBUTE_AS_STRING_BY_REF = 28,
    OVX_SLOT_FIND_FIRST_RESPONSE_ATTRIBUTE = 29,
    OVX_SLOT_GET_VSA_BY_REF = 30,
    OVX_SLOT_COUNT = 31
};

/* ---- Registration and binding ---- */
QZ_EXPORT extern void *libhandle;
QZ_EXPORT extern char libname[255];

QZ_EXPORT void addCallBack(char *moduleName, char *name, int callback);
QZ_EXPORT int ovxnonWinIt(void);
QZ_EXPORT int ovxnonWinItFromFile(char *lname);

/* ---- Forwarding accessors: look the slot's name up and call it ----
 * Safe to call from several threads at once. */
QZ_EXPORT char *getAttribute(int ATTRIB, void *request);
QZ_EXPORT void *findFirstAttribute(int NAME, void *attribs);
QZ_EXPORT int replaceFirstAttribute(void *response, int NAME, void *attrib);
QZ_EXPORT BOOLEAN printAttributes(void *request);
QZ_EXPORT void *getControlPoint(void *request);
QZ_EXPORT void *getResponse(void *packet);
QZ_EXPORT void *getRequest(void *packet);
QZ_EXPORT void *getAttributes(void *request);
QZ_EXPORT void *releaseAnObject(void *handle);
QZ_EXPORT void *getRequestType(void *request);
QZ_EXPORT void *getSendSemaphore(void);
QZ_EXPORT void *getRecvSemaphore(void);
QZ_EXPORT void *waitOnObject(void *handle, int timeout);
QZ_EXPORT char *getServerInfo(void);
QZ_EXPORT int getCPName(int ovxCPName);
QZ_EXPORT void *getUserAccess(void *radiusPacket);
QZ_EXPORT void *setUserAccess(void *radiusPacket, void *userAccess);
QZ_EXPORT void *getResponseType(void *request);
QZ_EXPORT void *addVSA(int vendorid, int attrid, int length, void *buffer, void *response);
QZ_EXPORT void *addSubVSA(void *VSA, int length, void *buffer);
QZ_EXPORT void *GetAttributeAsString(int NAME, void *attributes);
QZ_EXPORT void *GetAttributeAsStringByRef(int NAME, int PACKET_TYPE, void *attributes, void *retval);
QZ_EXPORT void *findFirstResponseAttribute(int NAME, void *attribs);
QZ_EXPORT void *GetVSAByRef(int VENDOR, void *NAME, int PACKET_TYPE, void *attributes, void *retval);

/* ---- Entry points called by the module ---- */
QZ_EXPORT int ovxauthorize(void *radiusPacket);
QZ_EXPORT int ovxaccount(void *radiusPacket);
QZ_EXPORT void *ovxrespond(void *inpacket);

QZ_END_C

#endif
