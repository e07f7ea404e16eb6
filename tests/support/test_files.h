// Files the tests write for the library and read back from it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "fake_dm.h"

namespace qztest {

// The whole file, or `if_missing` when it cannot be opened.
inline std::string read_file(const std::string &path, const std::string &if_missing = "")
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return if_missing;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Properties naming the DM's port and a private trace file, followed by
// `extra` (further lines, each ending in a line feed). trace_path, when
// given, receives the trace file's absolute path.
inline void write_dm_properties(int port, const std::string &extra = "", std::string *trace_path = nullptr)
{
    write_properties("dm_port=" + std::to_string(port) + "\n" +
                     "ovx_rif_trace_file=" + trace_file_value(trace_path) + "\n" + extra);
}

}  // namespace qztest
