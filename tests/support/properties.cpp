// Properties files and trace file names for tests. Both kinds of file are
// removed when the test process exits.
#include "fake_dm.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string_view>

namespace qztest {
namespace {

struct TempFiles {
    std::mutex mutex;
    std::vector<std::string> paths;
};

TempFiles &temp_files()
{
    static TempFiles files;
    return files;
}

void remove_temp_files()
{
    TempFiles &files = temp_files();
    std::lock_guard<std::mutex> lock(files.mutex);
    for (const std::string &path : files.paths)
        unlink(path.c_str());
    files.paths.clear();
}

// Remembers a file for removal at exit. The list is created before the exit
// handler is registered, so it is still alive when the handler runs.
void remove_at_exit(const std::string &path)
{
    TempFiles &files = temp_files();
    static const bool registered = (atexit(remove_temp_files), true);
    (void)registered;
    std::lock_guard<std::mutex> lock(files.mutex);
    files.paths.push_back(path);
}

bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

std::string write_properties(const std::string &text)
{
    char path[] = "/tmp/qzovx-props-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        perror("write_properties: mkstemp");
        abort();
    }
    bool written = write_all(fd, text);
    close(fd);
    if (!written) {
        perror("write_properties: write");
        abort();
    }
    remove_at_exit(path);
    setenv("QZOVX_PROPERTIES", path, 1);
    return path;
}

std::string trace_file_value(std::string *full_path)
{
    static std::atomic<int> counter{0};
    std::string value = "tmp/qzovx-trace-" + std::to_string(getpid()) + "-" +
                        std::to_string(counter++) + ".trc";
    std::string full = "/var/" + value;
    unlink(full.c_str());
    remove_at_exit(full);
    if (full_path != nullptr)
        *full_path = full;
    return value;
}

}  // namespace qztest
