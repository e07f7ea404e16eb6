#include "trace_line.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "debug.h"

void TraceLine::add(const char *format, ...)
{
    if (!ovx_dprint_wanted())
        return;  // nothing would be written
    char fragment[4096];  // the cut ovx_dprintf applies
    va_list args;
    va_start(args, format);
    int needed = vsnprintf(fragment, sizeof fragment, format, args);
    va_end(args);
    if (needed <= 0)
        return;
    size_t length = static_cast<size_t>(needed) < sizeof fragment ? static_cast<size_t>(needed)
                                                                   : sizeof fragment - 1;
    if (length > kBatch) {
        flush();
        ovx_dprint_text(fragment, length);
        return;
    }
    if (length_ + length > kBatch)
        flush();
    memcpy(text_ + length_, fragment, length);
    length_ += length;
}

void TraceLine::flush()
{
    if (length_ == 0)
        return;
    size_t length = length_;
    length_ = 0;
    ovx_dprint_text(text_, length);
}
