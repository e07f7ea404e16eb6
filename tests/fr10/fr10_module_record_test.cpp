// The module record and configuration table as the 1.0 server reads them
// from the built rlm_qzovx.so.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "fr10_helpers.h"
#include "module.h"

namespace fr10 {
namespace {

template <typename Fn>
void *address_of(Fn fn)
{
    return reinterpret_cast<void *>(fn);
}

TEST(Fr10Record, MembersAreTheModuleEntryPoints)
{
    module_t *module = loaded();
    ASSERT_NE(module, nullptr);
    EXPECT_STREQ(module->name, "qzovx");
    EXPECT_EQ(module->type, RLM_TYPE_THREAD_UNSAFE);
    EXPECT_EQ(address_of(module->init), module_symbol("qzovx_init"));
    EXPECT_EQ(address_of(module->instantiate), module_symbol("qzovx_instantiate"));
    EXPECT_EQ(address_of(module->detach), module_symbol("qzovx_detach"));
    EXPECT_EQ(module->destroy, nullptr);

    void *const authorize = module_symbol("qzovx_authorize");
    ASSERT_NE(authorize, nullptr);
    void *const expected[RLM_COMPONENT_COUNT] = {
        authorize, authorize, nullptr, module_symbol("qzovx_accounting"),
        nullptr,   nullptr,   nullptr, module_symbol("qzovx_post_auth"),
    };
    for (int slot = 0; slot < RLM_COMPONENT_COUNT; ++slot) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(address_of(module->methods[slot]), expected[slot]);
    }
}

TEST(Fr10Record, ConfigurationTableFillsTheInstanceRecord)
{
    module_t *module = loaded();
    ASSERT_NE(module, nullptr);
    conf_section section;
    Instance instance(module, &section);
    ASSERT_EQ(instance.result, 0);

    const CONF_PARSER *table = last_parse_table();
    ASSERT_NE(table, nullptr);
    struct Row {
        const char *name;
        int type;
        size_t offset;
        const char *dflt;
    };
    const Row rows[] = {
        {"integer", PW_TYPE_INTEGER, offsetof(rlm_qzovx_t, value), "1"},
        {"boolean", PW_TYPE_BOOLEAN, offsetof(rlm_qzovx_t, boolean), "no"},
        {"string", PW_TYPE_STRING_PTR, offsetof(rlm_qzovx_t, string), nullptr},
        {"ipaddr", PW_TYPE_IPADDR, offsetof(rlm_qzovx_t, ipaddr), "*"},
    };
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_STREQ(table[i].name, rows[i].name);
        EXPECT_EQ(table[i].type, rows[i].type);
        EXPECT_EQ(table[i].offset, rows[i].offset);
        EXPECT_EQ(table[i].data, nullptr);
        if (rows[i].dflt == nullptr) {
            EXPECT_EQ(table[i].dflt, nullptr);
        } else {
            EXPECT_STREQ(table[i].dflt, rows[i].dflt);
        }
    }
    EXPECT_EQ(table[4].name, nullptr);
    EXPECT_EQ(table[4].type, -1);
    EXPECT_EQ(table[4].offset, 0u);
    EXPECT_EQ(table[4].data, nullptr);
    EXPECT_EQ(table[4].dflt, nullptr);

    // Defaults, and the rest of the record as instantiation leaves it.
    const auto *inst = static_cast<const rlm_qzovx_t *>(instance.data);
    EXPECT_EQ(inst->value, 1);
    EXPECT_EQ(inst->boolean, 0);
    EXPECT_EQ(inst->string, nullptr);
    EXPECT_EQ(inst->ipaddr, 0u);
    EXPECT_EQ(inst->sessions2users, nullptr);
    EXPECT_EQ(inst->sessionlist, nullptr);
    EXPECT_EQ(inst->hashsize, 100000);
}

TEST(Fr10Record, ConfiguredValuesAreStored)
{
    module_t *module = loaded();
    ASSERT_NE(module, nullptr);
    conf_section section{{{"integer", "42"}, {"boolean", "yes"}, {"string", "hello"}, {"ipaddr", "10.0.0.1"}}};
    Instance instance(module, &section);
    ASSERT_EQ(instance.result, 0);
    const auto *inst = static_cast<const rlm_qzovx_t *>(instance.data);
    EXPECT_EQ(inst->value, 42);
    EXPECT_EQ(inst->boolean, 1);
    ASSERT_NE(inst->string, nullptr);
    EXPECT_STREQ(inst->string, "hello");
    EXPECT_EQ(inst->ipaddr, inet_addr("10.0.0.1"));
}

}  // namespace
}  // namespace fr10
