// The properties file as readProperties reads it: the input becomes the file
// (an in-memory file named through QZOVX_PROPERTIES) and is read line by line
// in pieces of at most 1023 characters. The settings are put back to their
// initial values before every input.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "Authif.h"
#include "debug.h"
#include "fuzz_check.h"

namespace {

int open_properties_file()
{
    int fd = memfd_create("qzovx-fuzz-properties", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    FUZZ_CHECK(setenv("QZOVX_PROPERTIES", path, 1) == 0);
    return fd;
}

void reset_settings()
{
    dm_server_port = 4444;
    sock_timeout = 1;
    dm_server_timeout = 15;
    trace_packet = 0;
    debug_packet = 0;
    send_lat_group = 0;
    debug_window = 0;
    enable_debug = 1;
    memset(qz_ei_attribute_name, 0, sizeof qz_ei_attribute_name);
    memset(qz_ei_attribute_type, 0, sizeof qz_ei_attribute_type);
    // Filled so that a missing terminator after the reading shows up.
    memset(trace_file_name, 'T', sizeof trace_file_name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = fuzz_quiet_stdout();
    static const int file = open_properties_file();
    (void)quiet;

    FUZZ_CHECK(ftruncate(file, 0) == 0);
    FUZZ_CHECK(pwrite(file, data, size, 0) == static_cast<ssize_t>(size));
    reset_settings();

    FUZZ_CHECK(readProperties() == 0);

    FUZZ_CHECK(fuzz_terminated(trace_file_name, sizeof trace_file_name));
    FUZZ_CHECK(strncmp(trace_file_name, "/var/", 5) == 0);
    FUZZ_CHECK(fuzz_terminated(qz_ei_attribute_name, sizeof qz_ei_attribute_name));
    FUZZ_CHECK(fuzz_terminated(qz_ei_attribute_type, sizeof qz_ei_attribute_type));
    FUZZ_CHECK(enable_debug == 1);
    FUZZ_CHECK(trace_packet == 0 || trace_packet == 1);
    FUZZ_CHECK(debug_window == 0 || debug_window == 1);
    // No debug connection is ever opened while the file is read.
    FUZZ_CHECK(debug_socket == -1);
    debug_window = 0;
    return 0;
}
