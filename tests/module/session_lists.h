// Walking an instance's session lists from their heads, as the module links
// them, for tests that check what the lists hold.
#pragma once

#include <cstddef>

#include "module.h"

namespace modtest {

inline size_t proxied_entries(const rlm_qzovx_t &inst)
{
    size_t n = 0;
    for (const sessionlist *e = inst.sessionlist; e != nullptr; e = e->next)
        ++n;
    return n;
}

}  // namespace modtest
