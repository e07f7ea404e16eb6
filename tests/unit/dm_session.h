// Brings the library up against a fake DM the way the first request does.
#pragma once

#include <string>

#include "Authif.h"
#include "fake_dm.h"
#include "stdout_capture.h"
#include "test_files.h"
#include "test_host.h"

namespace qztest_found {

// Initialises the library with the test host against `port`; `extra` adds
// properties lines.
inline int initialise_against(int port, const std::string &extra = "")
{
    qztest::host_reset();
    qztest::write_dm_properties(port, extra);
    return radiusIFInitialize();
}

}  // namespace qztest_found
