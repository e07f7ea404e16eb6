/* Everything the module needs of the RADIUS server, as plain functions over
 * an opaque request. Each server series has one binding file that implements
 * these; the module code calls the server only through them.
 * C only, so the FreeRADIUS 3.2 binding (a C file) can include it. */
#ifndef QZOVX_SERVER_H
#define QZOVX_SERVER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The server's request (REQUEST in both series). */
typedef struct qz_request qz_request;
/* One attribute record of the server (VALUE_PAIR in both series). */
typedef struct qz_pair qz_pair;

/* Which attribute list of a request. */
enum srv_list { SRV_REQUEST_LIST = 1, SRV_REPLY_LIST = 2 };

/* Operators for reply attributes. SRV_OP_DEFAULT lets the server pick the
 * operator it gives a new attribute by default. */
enum srv_op { SRV_OP_DEFAULT = 0, SRV_OP_EQ = 1, SRV_OP_ADD = 2 };

/* ---- The request ---- */
/* Packet code of the request (1 Access-Request, 4 Accounting-Request...);
 * 0 when the request has no packet. */
int srv_request_code(const qz_request *request);
/* RADIUS identifier of the request packet. */
int srv_request_id(const qz_request *request);
/* Non-zero when the request has a reply record. */
int srv_has_reply(const qz_request *request);
/* Code of the reply packet; 0 when there is no reply. */
int srv_reply_code(const qz_request *request);
void srv_set_reply_code(qz_request *request, int code);
/* The server's User-Name record of the request: the name it authenticates,
 * which may differ from the User-Name attribute (a stripped name, say). Null
 * when the server holds none. */
const qz_pair *srv_username(const qz_request *request);
/* Non-zero when the server is proxying the request (it has a proxy packet). */
int srv_is_proxying(const qz_request *request);
/* Non-zero when the list exists and holds at least one attribute. For the
 * reply list, *why receives 1 when there is no reply record, 2 when the reply
 * has no attributes (0 otherwise); why may be null. */
int srv_list_has_attributes(const qz_request *request, enum srv_list list, int *why);

/* ---- Rejects ---- */
/* Non-zero when the server runs its own reject handling for a request whose
 * post-auth returns the reject result while its reply is still an Accept
 * (3.2: Post-Auth-Type REJECT, whose filters strip the Accept's attributes
 * and keys). The module then leaves the reply code to the server. 0 in the
 * 1.0 series, where the module sets Access-Reject itself. */
int srv_server_rejects(void);
/* Marks the request as asked about by `owner` (a module instance), so that
 * the module called again for the same request (3.2: listed in post-auth and
 * in Post-Auth-Type REJECT) neither asks nor reports twice. The 1.0 series
 * calls post-auth once per request: there the mark is never kept. */
void srv_mark_request(qz_request *request, const void *owner);
/* Non-zero when the request carries the mark of `owner`. */
int srv_request_marked(const qz_request *request, const void *owner);

/* ---- Attributes ---- */
/* First attribute with this number in the list; vendor 0 for standard
 * attributes. Null when absent. */
const qz_pair *srv_find(const qz_request *request, enum srv_list list,
                        unsigned vendor, unsigned attribute);
/* The attribute's value as text, as the server holds it. The text stays valid
 * while the request lives. Never null. */
const char *srv_pair_text(qz_request *request, const qz_pair *pair);
/* The attribute's integer value (32 bits). */
uint32_t srv_pair_integer(const qz_pair *pair);

/* The attribute's value as bytes (octets attributes such as EAP-Message);
 * *length receives their number. Null when there is no value. */
const uint8_t *srv_pair_octets(const qz_pair *pair, size_t *length);
/* Replaces the value of an octets attribute of the request (or its reply)
 * with `length` bytes. Returns 0 when done, -1 otherwise. */
int srv_pair_set_octets(qz_request *request, const qz_pair *pair, const uint8_t *data,
                        size_t length);

/* Looks a name up in the server's dictionary (case-insensitive). Returns 0 and
 * fills vendor and attribute when found, -1 otherwise. */
int srv_dict_lookup(const char *name, unsigned *vendor, unsigned *attribute);

/* Makes an attribute from a dictionary name and a value text and appends it to
 * the reply. Returns 0 when added, -1 when the server could not make it
 * (unknown name, value that does not parse, no reply). */
int srv_reply_add(qz_request *request, const char *name, const char *value, enum srv_op op);

/* ---- Logging ---- */
/* The server's debug level (debug_flag in 1.0; the request's or the global
 * debug level in 3.2). */
int srv_debug_level(const qz_request *request);
/* One line through the server's own debug output; request may be null. */
void srv_log(const qz_request *request, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
