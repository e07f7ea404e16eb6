// Detach of the 1.0 module gives back everything the instance holds.
#include <cstdlib>

#include "fr10_helpers.h"
#include "module.h"

namespace fr10 {
namespace {

TEST(Fr10Detach, NullInstanceIsHarmless)
{
    module_t *module = loaded();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->detach(nullptr), 0);
}

// An instance with a configured string and entries in both of its lists
// leaves nothing behind once detached.
TEST(Fr10Detach, GivesBackTheRecordItsStringAndBothLists)
{
    module_t *module = loaded();
    ASSERT_NE(module, nullptr);
    debug_flag = 0;
    // A first instance lets the core set up whatever it keeps for the
    // registrations, so the measurement below sees only the second one.
    conf_section plain;
    Instance first(module, &plain);
    ASSERT_EQ(first.result, 0);

    conf_section section{{{"string", "configured"}}};
    const size_t before = heap_in_use();
    for (int round = 0; round < kRounds; ++round) {
        void *place = nullptr;
        ASSERT_EQ(module->instantiate(&section, &place), 0);
        auto *inst = static_cast<rlm_qzovx_t *>(place);
        ASSERT_NE(inst->string, nullptr);

        // One entry in each list, as post-authentication makes them.
        auto *user = static_cast<usermap *>(calloc(1, sizeof(usermap)));
        auto *proxied = static_cast<sessionlist *>(calloc(1, sizeof(sessionlist)));
        ASSERT_NE(user, nullptr);
        ASSERT_NE(proxied, nullptr);
        inst->sessions2users = user;
        inst->sessionlist = proxied;

        ASSERT_EQ(module->detach(place), 0);
    }
    EXPECT_LT(growth_since(before), kLeakBound);
}

}  // namespace
}  // namespace fr10
