#include "dm_fields.h"

#include "Authif.h"
#include "debug.h"
#include "dm_value.h"

void add_text_field(DmMessage &message, TraceLine &trace, const char *key, const char *value,
                    const char *trace_prefix)
{
    DmValue clean = dm_value(value);
    message.text_field(key, clean.text);
    if (trace_prefix != nullptr)
        trace.add("%s%s=%s", trace_prefix, key, clean.text);
}

void add_number_field(DmMessage &message, TraceLine &trace, const char *key, int number,
                      const char *trace_prefix)
{
    message.number_field(key, number);
    if (trace_prefix != nullptr)
        trace.add("%s%s=%d", trace_prefix, key, number);
}

const char *code_name(int code)
{
    switch (code) {
    case rcAccessRequest:
    case rcAccessAccept:
    case rcAccessReject:
    case rcAccountingRequest:
    case rcAccountingResponse:
    case rcAccessChallenge:
    case rcDiscard:
        return RadiusCode(static_cast<RADIUS_CODE>(code));
    default:
        // Only named codes are converted: other numbers need not be
        // values of the enumeration.
        return RadiusCode(rcUnknown);
    }
}
