// Module functions shared between the module's own source files (not part of
// the interface the bindings call, not exported). All of them may be called
// from several threads at once, except qz_sessions_create (instantiation).
#pragma once

#include "module.h"

extern "C" {

// Forms the request id of the wrapper's request (NAS-IP-Address text, port
// text, Calling-Station-Id, upper-cased) into ref, which holds at least
// QZ_ID_BUFFER bytes. Leaves ref untouched when a piece is missing.
void getfreeRADRequestId(freeradius_wrapper *request, char *ref);

// Records the request's user name for its request id in the session map.
void cacheSession(freeradius_wrapper *wrapper);
// Drops the session-map entry of the request's request id, if any.
void removeSession(freeradius_wrapper *wrapper);

// Creates the two process-wide semaphores, each free with the count 1.
void initSemaphores(void);
// The same, each admitting `holders` threads at once (at least one): as many
// DM exchanges as the library may run side by side, one per connection.
void initSemaphoresFor(unsigned holders);

// Makes the instance's session index (hash key, locks, the bound from
// max_sessions and the first table size from hashsize). 0, or -1 when there
// is no memory for it.
int qz_sessions_create(rlm_qzovx_t *inst);

// The request-type callback, also asked by the accounting entry itself.
void *ovxgetRequestType(void *request);

}  // extern "C"

struct qz_pending_user;

namespace qzmod {

// Recording a user name in two steps, so that a request that ends in a
// Reject leaves the session map as it was: begin_session logs what
// cacheSession logs and makes the name visible to this call's own lookups
// (wrapper->pending_user = pending); commit_session puts it into the map.
// False when there is nothing to record (no User-Name record or attribute,
// no request id).
bool begin_session(freeradius_wrapper *wrapper, qz_pending_user *pending);
// Records the pending user for its id: an existing entry takes the new name
// and becomes the most recently authorized; a new entry goes at the tail,
// after the least recently authorized entries have given way down to
// max_sessions - 1.
void commit_session(rlm_qzovx_t *inst, const qz_request *req, const qz_pending_user &pending);

// Copies the user name for the request's id into ref (QZ_ID_BUFFER bytes):
// the call's own pending name first, then the session map's. Returns true
// when one was found.
bool lookup_session_user(freeradius_wrapper *wrapper, char *ref);

// Appends reqid to the instance's proxied-session list.
void record_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid);
// Takes the first node with reqid out of the proxied-session list. Returns
// true when one was found.
bool consume_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid);

}  // namespace qzmod
