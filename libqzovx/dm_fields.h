/* Adding one KEY=VALUE field to a message for the DM together with its
 * fragment of the trace line that mirrors the message. Library-internal. */
#ifndef QZOVX_DM_FIELDS_H
#define QZOVX_DM_FIELDS_H

#include "dm_message.h"
#include "trace_line.h"

/* Appends "KEY=value\t" (value cleaned of TAB, CR and LF), then traces
 * trace_prefix, "KEY=" and the cleaned value, unless trace_prefix is null. */
void add_text_field(DmMessage &message, TraceLine &trace, const char *key, const char *value,
                    const char *trace_prefix);

/* Appends "KEY=number\t" (signed decimal) and traces it the same way. */
void add_number_field(DmMessage &message, TraceLine &trace, const char *key, int number,
                      const char *trace_prefix);

/* The name of a RADIUS code as messages carry it; any number is accepted. */
const char *code_name(int code);

#endif
