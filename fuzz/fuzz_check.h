// Small helpers shared by the fuzz targets.
#ifndef QZOVX_FUZZ_CHECK_H
#define QZOVX_FUZZ_CHECK_H

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// A broken invariant is a finding like a crash: report it and abort, so the
// fuzzer (or the standalone driver) keeps the input.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "fuzz invariant failed at %s:%d: %s\n", __FILE__, __LINE__, \
                    #cond);                                                           \
            abort();                                                                  \
        }                                                                             \
    } while (0)

// The library traces every step to standard output; the fuzzers do not need
// it, but the formatting still runs.
inline bool fuzz_quiet_stdout()
{
    fflush(stdout);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    return true;
}

// Whether a fixed-width text field holds its terminating NUL.
inline bool fuzz_terminated(const char *field, size_t width)
{
    return memchr(field, '\0', width) != nullptr;
}

#endif
