/* One line of the trace built from fragments ("Request: {", "REQ_ID=...",
 * ", USER=..." ...). The fragments are collected and written together, so a
 * message's trace line costs one write instead of one per fragment, while the
 * text that reaches each output stays what the fragments would have written
 * one by one: a batch never exceeds the trace file's 1000-character limit,
 * and a fragment longer than that is written alone (to standard output only).
 * Library-internal; one TraceLine belongs to one thread. */
#ifndef QZOVX_TRACE_LINE_H
#define QZOVX_TRACE_LINE_H

#include <stddef.h>

#include "platdefs.h"

class TraceLine {
public:
    TraceLine() = default;
    TraceLine(const TraceLine &) = delete;
    TraceLine &operator=(const TraceLine &) = delete;
    ~TraceLine() { flush(); }

    /* Adds one fragment, formatted like ovx_dprintf. */
    void add(const char *format, ...) QZ_PRINTF(2, 3);
    /* Writes what has been collected. */
    void flush();

private:
    static constexpr size_t kBatch = 1000;
    char text_[kBatch + 1];
    size_t length_ = 0;
};

#endif
