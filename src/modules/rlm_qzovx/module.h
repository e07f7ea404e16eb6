/* The module code shared by both server series, as the bindings see it:
 * the instance record, the session list records, the request handle given to
 * the core library, and the functions a binding's glue calls.
 * C-compatible: the FreeRADIUS 3.2 binding is a C file. */
#ifndef QZOVX_MODULE_H
#define QZOVX_MODULE_H

#include <stdint.h>

#include "server.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Module return codes (the same values in both server series). */
#define QZ_RLM_REJECT 0
#define QZ_RLM_OK 2
#define QZ_RLM_NOOP 7
#define QZ_RLM_UPDATED 8

/* Width of a request id / user name buffer: 254 characters and a NUL. */
#define QZ_ID_BUFFER 255

/* Session map entry: the user name last authorized for a request id. */
struct usermap {
    char sessid[QZ_ID_BUFFER];
    char username[QZ_ID_BUFFER];
    int isproxied; /* not used */
    struct usermap *next;
};

/* Proxied-session list node: a request id seen proxied to the loopback
 * address whose non-proxied copy is still to come. */
struct sessionlist {
    char sessid[QZ_ID_BUFFER];
    struct sessionlist *next;
};

/* One configured module instance. The first four members receive the four
 * configuration keys ("boolean", "integer", "string", "ipaddr"), which are
 * parsed and not used. */
typedef struct rlm_qzovx_t {
    int boolean;
    int value;
    char *string;
    uint32_t ipaddr;
    struct usermap *sessions2users; /* head of the session map, null when empty */
    struct sessionlist *sessionlist; /* head of the proxied-session list */
    int hashsize;
} rlm_qzovx_t;

struct _OVX_USER_ACCESS; /* the per-call decision record, ovxModuleAPI.h */

/* The record behind the core library's opaque request handle. The entry
 * points own it for one call. `request` is first, so the wrapper's address is
 * also the address of that member. */
typedef struct freeradius_wrapper {
    qz_request *request;
    rlm_qzovx_t *instance;
    void *vars[255]; /* not used */
    int ovxStatus;   /* the core's authorization verdict */
    struct _OVX_USER_ACCESS *user_access;
    char requestID[255]; /* not used */
    int numattrs;
    int control_point;
} freeradius_wrapper;

/* Logs the init line; returns 0. */
int qz_module_init(void);

/* The common part of instantiation, called by a binding after it allocated,
 * zeroed and parsed the instance record: creates the two semaphores,
 * registers the 21 callback names with the core and sets hashsize. */
void qz_module_start(rlm_qzovx_t *inst);

/* Request entry points; each returns a QZ_RLM_* code. A null request is
 * answered with QZ_RLM_NOOP. */
int qz_module_authorize(rlm_qzovx_t *inst, qz_request *request);
int qz_module_post_auth(rlm_qzovx_t *inst, qz_request *request);
int qz_module_accounting(rlm_qzovx_t *inst, qz_request *request);

/* Frees both session lists of the instance and leaves them empty. A binding
 * calls it at detach, before it frees `string` and the record. */
void qz_module_forget_sessions(rlm_qzovx_t *inst);

#ifdef __cplusplus
}
#endif

#endif
