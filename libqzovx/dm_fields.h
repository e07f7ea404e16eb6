/* Writing one KEY=VALUE field of a message to the DM, and its fragment of the
 * trace line that mirrors the message. Library-internal; callers hold the
 * send semaphore. */
#ifndef QZOVX_DM_FIELDS_H
#define QZOVX_DM_FIELDS_H

#include "dm_sock.h"

/* Writes "KEY=value\t" with the value cleaned of TAB, CR and LF, then traces
 * trace_prefix, "KEY=" and the cleaned value, unless trace_prefix is null. */
void send_text_field(DM_SERVER server, const char *key, const char *value, const char *trace_prefix);

/* Writes "KEY=number\t" (signed decimal) and traces it the same way. */
void send_number_field(DM_SERVER server, const char *key, int number, const char *trace_prefix);

/* The name of a RADIUS code as messages carry it; any number is accepted. */
const char *code_name(int code);

#endif
