// Instantiation of the 1.0 module: registrations with the core, an instance
// place that is already set, a section that does not parse.
#include <dlfcn.h>

#include <string>
#include <vector>

#include "fr10_helpers.h"
#include "module.h"
#include "platdefs.h"

namespace {

struct Registration {
    std::string module;
    std::string name;
    int slot;
};

std::vector<Registration> &registrations()
{
    static std::vector<Registration> list;
    return list;
}

}  // namespace

// Stands in front of libqzovx's addCallBack (the executable comes first in the
// lookup order) to record what the module registers, then passes it on.
extern "C" QZ_EXPORT void addCallBack(char *moduleName, char *name, int callback)
{
    registrations().push_back({moduleName, name, callback});
    using Real = void (*)(char *, char *, int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "addCallBack"));
    if (real != nullptr)
        real(moduleName, name, callback);
}

namespace fr10 {
namespace {

TEST(Fr10Instantiate, RegistersTheCallbacksOnceAndNotAgainForAFilledPlace)
{
    module_t *module = loaded();
    ASSERT_NE(module, nullptr);
    registrations().clear();
    conf_section section;
    void *place = nullptr;
    ASSERT_EQ(module->instantiate(&section, &place), 0);
    ASSERT_NE(place, nullptr);

    ASSERT_EQ(registrations().size(), 21u);
    for (const Registration &r : registrations())
        EXPECT_EQ(r.module, "ovx-freeRADIUS");
    EXPECT_EQ(registrations().front().name, "ovxgetRequest");
    EXPECT_EQ(registrations().front().slot, 10);
    EXPECT_EQ(registrations().back().name, "ovxgetVSAByRef");
    EXPECT_EQ(registrations().back().slot, 30);
    // Every name registered is one the module exports.
    for (const Registration &r : registrations())
        EXPECT_NE(module_symbol(r.name.c_str()), nullptr) << r.name;

    void *const first = place;
    EXPECT_EQ(module->instantiate(&section, &place), 0);
    EXPECT_EQ(place, first);
    EXPECT_EQ(registrations().size(), 21u);

    EXPECT_EQ(module->detach(place), 0);
}

TEST(Fr10Instantiate, SectionThatDoesNotParseFailsAndKeepsNothing)
{
    module_t *module = loaded();
    ASSERT_NE(module, nullptr);
    debug_flag = 0;
    registrations().clear();
    const std::vector<conf_section> bad = {
        {{{"integer", "12abc"}}},
        {{{"boolean", "maybe"}}},
        // The string is stored before the address fails to parse.
        {{{"string", "kept until the failure"}, {"ipaddr", "not-an-address"}}},
    };
    for (conf_section section : bad) {
        SCOPED_TRACE(section.items.front().first);
        const size_t before = heap_in_use();
        for (int round = 0; round < kRounds; ++round) {
            void *place = nullptr;
            ASSERT_EQ(module->instantiate(&section, &place), -1);
            ASSERT_EQ(place, nullptr);
        }
        EXPECT_LT(growth_since(before), kLeakBound);
    }
    EXPECT_TRUE(registrations().empty());
}

}  // namespace
}  // namespace fr10
