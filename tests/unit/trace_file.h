// Helpers for tests that look at the trace file.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "debug.h"
#include "qz_text.h"

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

inline std::string read_file(const std::string &path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

}  // namespace qztest_found
