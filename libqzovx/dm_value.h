/* Values written to the DM. A message is TAB-separated fields ending in a line
 * feed, and the values come from RADIUS attributes a client controls (and
 * from the DM's own answer), so a value must never carry a field or line
 * break of its own. Library-internal. */
#ifndef QZOVX_DM_VALUE_H
#define QZOVX_DM_VALUE_H

#include "ovxModuleAPI.h"

/* A value made safe for one DM field. Every text the library writes is an
 * attribute value or a record field, so at most 254 characters. */
struct DmValue {
    char text[OVX_VALUE_BUFFER];
};

/* Copies `raw` (null reads as empty) with each TAB, CR and LF replaced by a
 * blank. Use the result both for the DM and for the trace, so the trace
 * shows what was written. */
DmValue dm_value(const char *raw);

#endif
