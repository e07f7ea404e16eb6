// Helpers of the tests that drive the built 1.0 module record directly.
#pragma once

#include <malloc.h>

#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "fr10_host.h"

namespace fr10 {

// The built module; when it does not load, the loader's reason is reported
// and the result is null.
inline module_t *loaded()
{
    std::string error;
    module_t *module = load_module(&error);
    EXPECT_NE(module, nullptr) << error;
    return module;
}

// The allocator keeps a few freed blocks of each size in per-thread caches
// that still count as in use, so a leak shows as growth over many rounds: a
// leak of even the smallest block (32 bytes) grows by 32000 over 1000 rounds,
// far beyond what the caches can hold.
constexpr int kRounds = 1000;
constexpr long long kLeakBound = 16000;

inline size_t heap_in_use()
{
    return mallinfo2().uordblks;
}

inline long long growth_since(size_t before)
{
    return static_cast<long long>(heap_in_use()) - static_cast<long long>(before);
}

}  // namespace fr10
