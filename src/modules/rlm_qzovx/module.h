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
#define QZ_RLM_FAIL 1
#define QZ_RLM_OK 2
#define QZ_RLM_NOOP 7
#define QZ_RLM_UPDATED 8

/* Width of a request id / user name buffer: 254 characters and a NUL. */
#define QZ_ID_BUFFER 255

/* Session map entry: the user name last authorized for a request id. The
 * two texts follow the entry in the same allocation (the id, its NUL, the
 * user name, its NUL), so an entry costs what its texts need. Entries sit on
 * two lists: the listing order (the order ids were first recorded, which the
 * debug listing shows) and the authorization order (which entry gives way
 * when the map is full). */
struct usermap {
    struct usermap *next;  /* listing order; null at the tail */
    struct usermap *prev;
    struct usermap *newer; /* authorization order */
    struct usermap *older;
    struct usermap *chain; /* next entry in the same hash bucket */
    uint32_t hash;
    uint16_t user_room;    /* bytes kept for the user name and its NUL */
    uint8_t id_length;
    char text[];
};

static inline const char *usermap_sessid(const struct usermap *e)
{
    return e->text;
}

static inline const char *usermap_username(const struct usermap *e)
{
    return e->text + e->id_length + 1;
}

/* Proxied-session list node: a request id seen proxied to the loopback
 * address whose non-proxied copy is still to come. The id follows the node. */
struct sessionlist {
    struct sessionlist *next; /* null at the tail */
    struct sessionlist *prev;
    struct sessionlist *chain; /* next node in the same hash bucket */
    uint32_t hash;
    char sessid[];
};

/* The hash indexes of both lists, their tails and their locks (C++ only). */
struct qz_session_index;

/* Most entries the session map holds unless configured otherwise. */
#define QZ_DEFAULT_MAX_SESSIONS 1000000u

/* Most connections to the DM the module lets the library keep. */
#define QZ_MAX_DM_CONNECTIONS 32u

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
    int hashsize;       /* initial size of the session map's hash index */
    uint32_t max_sessions; /* most entries in the session map; 0 = the default */
    uint32_t dm_connections; /* threads that may talk to the DM at once; 0 = one */
    struct qz_session_index *index; /* made by qz_module_start */
} rlm_qzovx_t;

struct _OVX_USER_ACCESS; /* the per-call decision record, ovxModuleAPI.h */
struct qz_pending_user;  /* a user name being recorded, session_index.h */

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
    /* The user name this call is recording for its request id, not yet in
     * the session map (see qzmod::begin_session); null when none. */
    const struct qz_pending_user *pending_user;
} freeradius_wrapper;

/* Logs the init line; returns 0. */
int qz_module_init(void);

/* The common part of instantiation, called by a binding after it allocated,
 * zeroed and parsed the instance record: creates the two semaphores,
 * registers the 21 callback names with the core, sets hashsize and makes the
 * session index. Returns 0, or -1 when there was no memory for the index. */
int qz_module_start(rlm_qzovx_t *inst);

/* Request entry points; each returns a QZ_RLM_* code. A null request is
 * answered with QZ_RLM_NOOP. Each may run on several server threads at once
 * for one instance. */
int qz_module_authorize(rlm_qzovx_t *inst, qz_request *request);
int qz_module_post_auth(rlm_qzovx_t *inst, qz_request *request);
int qz_module_accounting(rlm_qzovx_t *inst, qz_request *request);

/* Frees both session lists of the instance and its session index and leaves
 * them empty. A binding calls it at detach, before it frees `string` and the
 * record; no request may be inside the instance then. */
void qz_module_forget_sessions(rlm_qzovx_t *inst);

#ifdef __cplusplus
}
#endif

#endif
