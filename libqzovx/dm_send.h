/* Sending a message as part of an exchange whose trace line is being
 * collected. Library-internal, C++ only. */
#ifndef QZOVX_DM_SEND_H
#define QZOVX_DM_SEND_H

#include "dm_sock.h"
#include "trace_line.h"

/* As dm_sock_send, but the note on the message sent ("wrote N bytes to:
 * ...") joins `trace` instead of being written on its own. */
int dm_sock_send_noted(DM_SERVER dm_server, const char *dm_msg, int buff_len, TraceLine &trace);

/* Reads the decision response to the request in the record into it,
 * tracing into `trace`; ovx_verify with a caller's trace line. */
int verify_answer(DM_SERVER dm_server, OVX_USER_ACCESS *user_access, TraceLine &trace);

/* parseACEs with a caller's trace line. */
int parse_aces(const char *rawACL, OVX_USER_ACCESS *user, TraceLine &trace);

#endif
