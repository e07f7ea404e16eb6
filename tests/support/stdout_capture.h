// Standard output captured from construction until text() is called (or the
// capture goes out of scope). One capture at a time, as with gtest's own.
#pragma once

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

namespace qztest {

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
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Ends the capture on the first call; every call returns the same text.
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

}  // namespace qztest
