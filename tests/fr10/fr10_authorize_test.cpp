// The authenticate/authorize slots, and the module's log lines with the
// debug_flag levels that let them through.
#include <thread>

#include "fr10_dm_fixture.h"

namespace fr10 {
namespace {

using Fr10Authorize = DmTest;

TEST_F(Fr10Authorize, AccessRequestInEitherSlotIsLeftAlone)
{
    ASSERT_NO_FATAL_FAILURE(start());
    for (int slot : {RLM_COMPONENT_AUTH, RLM_COMPONENT_AUTZ}) {
        SCOPED_TRACE(slot);
        TestRequest r(1, 0);
        fill_access(r);
        EXPECT_EQ(module->methods[slot](instance->data, &r.request), RLM_MODULE_NOOP);
        EXPECT_EQ(r.reply.code, 0u);
        EXPECT_TRUE(r.reply_pairs().empty());
    }
    EXPECT_EQ(dm.connections(), 0);
}

TEST_F(Fr10Authorize, AccessRejectPacketIsRejectedAfterTheCoreSawIt)
{
    ASSERT_NO_FATAL_FAILURE(start());
    TestRequest r(3, 2);
    fill_access(r);

    EXPECT_EQ(module->methods[RLM_COMPONENT_AUTZ](instance->data, &r.request), RLM_MODULE_REJECT);
    EXPECT_EQ(r.reply.code, 3u);
    EXPECT_TRUE(logged("    rlm_qzovx: calling ovxauthorize"));

    // The core initialised (Startup, SERVERINFO) but had nothing to ask or
    // report for a request of that type.
    ASSERT_TRUE(dm.wait_for_lines(kInitLines));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(dm.lines().size(), kInitLines);
    EXPECT_TRUE(r.reply_pairs().empty());
}

// Routine traces need debug_flag > 1; the messages that end a request's
// handling need it non-zero; at 0 the module says nothing.
TEST_F(Fr10Authorize, LogLinesFollowDebugFlag)
{
    ASSERT_NO_FATAL_FAILURE(start(0));
    dm.set_default_answer("ACCESS=true\n");
    const std::string trace = "qzovx: entered qzovx_post_auth";
    const std::string notice = std::string("return from getfreeRADRequestId, value ") + kRequestId + " ";

    for (int level : {0, 1, 2}) {
        SCOPED_TRACE(level);
        clear_log();
        debug_flag = level;
        TestRequest r(1, 2);
        fill_access(r);
        ASSERT_EQ(post_auth(r), RLM_MODULE_UPDATED);
        if (level == 0) {
            EXPECT_TRUE(log_lines().empty());
        }
        EXPECT_EQ(logged(notice), level >= 1);
        EXPECT_EQ(logged(trace), level >= 2);
        EXPECT_EQ(logged("qzovx:authorize starting.."), level >= 2);
        EXPECT_EQ(logged("qzovx: set CP"), level >= 2);
    }
}

TEST(Fr10Lifecycle, InitAndInstantiateLogOnlyAboveLevelOne)
{
    std::string error;
    module_t *module = load_module(&error);
    ASSERT_NE(module, nullptr) << error;
    for (int level : {1, 2}) {
        SCOPED_TRACE(level);
        clear_log();
        debug_flag = level;
        conf_section section;
        EXPECT_EQ(module->init(), 0);
        Instance instance(module, &section);
        EXPECT_EQ(instance.result, 0);
        EXPECT_EQ(logged("    rlm_qzovx: init() called"), level > 1);
        EXPECT_EQ(logged("    rlm_qzovx: instansiate called"), level > 1);
    }
    debug_flag = 0;
}

}  // namespace
}  // namespace fr10
