// The module's callbacks as the real library finds them: by name, through
// the loader, on every call. A fake DM makes the decisions.
#include <gtest/gtest.h>

#include <string>

#include "fake_dm.h"
#include "fake_server.h"
#include "module.h"

namespace {

bool has_line_with(const qztest::FakeDm &dm, const std::string &needle)
{
    for (const std::string &line : dm.lines())
        if (line.find(needle) != std::string::npos)
            return true;
    return false;
}

TEST(ModuleWithCore, DecisionsReachTheReplyAndSessionsEndOnStop)
{
    fake::reset();
    fake::set_debug_level(0);
    qztest::FakeDm dm;
    qztest::write_properties("dm_port=" + std::to_string(dm.port()) + "\n");
    dm.answer("ACCESS=true\tVLAN_ID=20\t\n");
    dm.answer("ACCESS=false\t\n");

    rlm_qzovx_t inst{};
    qz_module_start(&inst);

    qz_request granted = fake::access_request("10.1.2.3", 17, "00-0f-1f-aa-bb-cc", "bob");
    EXPECT_EQ(qz_module_post_auth(&inst, &granted), QZ_RLM_UPDATED);
    EXPECT_EQ(granted.reply_code, 2);
    auto vlan = fake::reply_named(granted, "Tunnel-Private-Group-ID");
    ASSERT_EQ(vlan.size(), 1u);
    EXPECT_EQ(vlan[0]->text, "20");
    // The request id and the user name came through the callbacks.
    EXPECT_TRUE(has_line_with(dm, "REQ_ID=10.1.2.31700-0F-1F-AA-BB-CC\t"));
    EXPECT_TRUE(has_line_with(dm, "USER=bob\t"));

    qz_request refused = fake::access_request("10.1.2.3", 18, "00-0f-1f-aa-bb-cc", "eve");
    EXPECT_EQ(qz_module_post_auth(&inst, &refused), QZ_RLM_REJECT);
    EXPECT_EQ(refused.reply_code, 3);
    // The refused request reported its own user, and did not stay.
    EXPECT_TRUE(has_line_with(dm, "USER=eve\t"));
    ASSERT_NE(inst.sessions2users, nullptr);
    EXPECT_STREQ(usermap_username(inst.sessions2users), "bob");
    EXPECT_EQ(inst.sessions2users->next, nullptr);

    qz_request stop;
    stop.code = 4;
    fake::add(stop, 4, "10.1.2.3");
    fake::add_int(stop, 5, 17);
    fake::add(stop, 31, "00-0f-1f-aa-bb-cc");
    fake::add(stop, 44, "acct-17");
    fake::add_int(stop, 40, 2);
    EXPECT_EQ(qz_module_accounting(&inst, &stop), QZ_RLM_OK);
    EXPECT_TRUE(dm.wait_for("acct-17"));
    EXPECT_EQ(inst.sessions2users, nullptr);

    qz_module_forget_sessions(&inst);
}

}  // namespace
