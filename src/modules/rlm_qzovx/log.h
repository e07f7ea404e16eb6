// Gated logging through the server's own debug output. Routine traces appear
// only at debug level 2 and above; messages that end the handling of a
// request appear whenever debugging is on at all.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "server.h"

namespace qzmod {

// Longest line the module logs: two 254-character ids and some text.
constexpr size_t kLogLine = 1024;

inline void log_vformat(const qz_request *request, const char *format, va_list args)
{
    char line[kLogLine];
    vsnprintf(line, sizeof line, format, args);
    srv_log(request, "%s", line);
}

// Logged when the debug level is greater than 1.
__attribute__((format(printf, 2, 3))) inline void log_trace(const qz_request *request,
                                                            const char *format, ...)
{
    if (srv_debug_level(request) <= 1)
        return;
    va_list args;
    va_start(args, format);
    log_vformat(request, format, args);
    va_end(args);
}

// Logged whenever the debug level is not 0.
__attribute__((format(printf, 2, 3))) inline void log_notice(const qz_request *request,
                                                            const char *format, ...)
{
    if (srv_debug_level(request) == 0)
        return;
    va_list args;
    va_start(args, format);
    log_vformat(request, format, args);
    va_end(args);
}

}  // namespace qzmod
