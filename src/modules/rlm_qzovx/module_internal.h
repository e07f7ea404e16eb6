// Module functions shared between the module's own source files (not part of
// the interface the bindings call, not exported).
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

// The request-type callback, also asked by the accounting entry itself.
void *ovxgetRequestType(void *request);

}  // extern "C"

namespace qzmod {

// Copies the user name the session map holds for the request's id into ref
// (QZ_ID_BUFFER bytes). Returns true when an entry matched.
bool lookup_session_user(freeradius_wrapper *wrapper, char *ref);

// Appends reqid to the instance's proxied-session list.
void record_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid);
// Takes the first node with reqid out of the proxied-session list. Returns
// true when one was found.
bool consume_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid);

}  // namespace qzmod
