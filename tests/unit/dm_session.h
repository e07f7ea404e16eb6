// Brings the library up against a fake DM the way the first request does.
#pragma once

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "Authif.h"
#include "fake_dm.h"
#include "test_host.h"

namespace qztest_found {

// Standard output captured from construction until text() is called.
class StdoutCapture {
public:
    StdoutCapture()
    {
        fflush(stdout);
        testing::internal::CaptureStdout();
    }
    ~StdoutCapture()
    {
        if (!done_)
            text();
    }
    std::string text()
    {
        if (!done_) {
            fflush(stdout);
            text_ = testing::internal::GetCapturedStdout();
            done_ = true;
        }
        return text_;
    }

private:
    bool done_ = false;
    std::string text_;
};

// Properties naming the DM's port and a private trace file, plus `extra`.
inline void write_dm_properties(int port, const std::string &extra = "")
{
    std::string trace;
    qztest::write_properties("dm_port=" + std::to_string(port) + "\n" +
                             "ovx_rif_trace_file=" + qztest::trace_file_value(&trace) + "\n" +
                             extra);
}

// Initialises the library with the test host against `port`.
inline int initialise_against(int port, const std::string &extra = "")
{
    qztest::host_reset();
    write_dm_properties(port, extra);
    return radiusIFInitialize();
}

}  // namespace qztest_found
