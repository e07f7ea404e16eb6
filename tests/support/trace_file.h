// Helpers for tests that look at the library's trace file directly.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "debug.h"
#include "qz_text.h"
#include "test_files.h"

namespace qztest_found {

// A fresh, unique path under /tmp (the file does not exist yet).
inline std::string fresh_trace_path()
{
    char path[] = "/tmp/qzovx-diag-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0)
        close(fd);
    unlink(path);
    return path;
}

// Points the library's trace at `path` and opens it.
inline void open_trace(const std::string &path)
{
    qz_copy(trace_file_name, sizeof trace_file_name, path.c_str());
    debug_init();
}

// The trace's text; "<missing>" tells a file never created from an empty one.
inline std::string read_file(const std::string &path)
{
    return qztest::read_file(path, "<missing>");
}

}  // namespace qztest_found
