// Each server thread keeps its decision record for its next request. What
// the DM decided for one user must never reach the reply of the next user on
// that thread: a later decision with fewer filter rules, none, no VLAN, a
// refusal or no answer at all carries only what belongs to it.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fake_dm.h"
#include "fake_server.h"
#include "module.h"

namespace {

std::vector<std::string> texts(const std::vector<const qz_pair *> &pairs)
{
    std::vector<std::string> found;
    for (const qz_pair *p : pairs)
        found.push_back(p->text);
    return found;
}

std::vector<std::string> filter_rules(const qz_request &request)
{
    return texts(fake::reply_named(request, "qz-nas-filter-rule"));
}

// The reply attributes that carry a VLAN.
size_t vlan_attributes(const qz_request &request)
{
    return fake::reply_named(request, "Tunnel-Private-Group-ID").size() +
           fake::reply_named(request, "Tunnel-Type").size() + fake::reply_named(request, "Tunnel-Medium-Type").size();
}

class ModuleRecordReuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fake::set_debug_level(0);
        // A silent DM costs one second.
        qztest::write_properties("dm_port=" + std::to_string(dm.port()) + "\ndm_response_timeout=1\n");
        ASSERT_EQ(qz_module_start(&inst), 0);
    }
    void TearDown() override { qz_module_forget_sessions(&inst); }

    qz_request post_auth(uint32_t port, const std::string &user, int expected)
    {
        qz_request request = fake::access_request("10.1.2.3", port, "00-0f-1f-aa-bb-cc", user);
        EXPECT_EQ(qz_module_post_auth(&inst, &request), expected) << user;
        return request;
    }

    qztest::FakeDm dm;
    rlm_qzovx_t inst{};
};

// The first user's decision: a VLAN and a long list of filter rules.
std::string long_decision(std::vector<std::string> *rules)
{
    std::string acl = "staff";
    for (int i = 0; i < 40; i++) {
        std::string rule = "permit in ip from any to 10.0." + std::to_string(i) + ".0/24";
        rules->push_back(rule);
        acl += "|" + rule;
    }
    return "ACCESS=true\tVLAN_ID=20\tACL=" + acl + "\n";
}

TEST_F(ModuleRecordReuse, ALaterDecisionCarriesOnlyItsOwnRulesAndVlan)
{
    std::vector<std::string> staff_rules;
    dm.answer(long_decision(&staff_rules));
    dm.answer("ACCESS=true\tVLAN_ID=30\tACL=guest|deny ip any 10.0.0.0/8|permit ip any any\n");
    dm.answer("ACCESS=true\tQOS=3\n");  // neither rules nor VLAN
    dm.answer(long_decision(&staff_rules));
    dm.answer("ACCESS=true\tVLAN_ID=40\tACL=empty|\n");  // a list without entries
    dm.answer(long_decision(&staff_rules));
    dm.stay_silent();                                   // the server's Accept stands
    dm.answer(long_decision(&staff_rules));
    dm.answer("ACCESS=true\tACL=one|permit ip any 192.0.2.1\n");  // rules, no VLAN

    qz_request staff = post_auth(1, "staff-user", QZ_RLM_UPDATED);
    EXPECT_EQ(filter_rules(staff), std::vector<std::string>(staff_rules.begin(), staff_rules.begin() + 40));
    ASSERT_EQ(fake::reply_named(staff, "Tunnel-Private-Group-ID").size(), 1u);
    EXPECT_EQ(fake::reply_named(staff, "Tunnel-Private-Group-ID")[0]->text, "20");

    qz_request guest = post_auth(2, "guest-user", QZ_RLM_UPDATED);
    EXPECT_EQ(filter_rules(guest), (std::vector<std::string>{"deny ip any 10.0.0.0/8", "permit ip any any"}));
    ASSERT_EQ(fake::reply_named(guest, "Tunnel-Private-Group-ID").size(), 1u);
    EXPECT_EQ(fake::reply_named(guest, "Tunnel-Private-Group-ID")[0]->text, "30");

    qz_request plain = post_auth(3, "plain-user", QZ_RLM_UPDATED);
    EXPECT_TRUE(filter_rules(plain).empty());
    EXPECT_EQ(vlan_attributes(plain), 0u);
    EXPECT_EQ(fake::reply_named(plain, "qz-port-priority-regeneration-table").size(), 1u);

    post_auth(4, "staff-user", QZ_RLM_UPDATED);
    qz_request empty_list = post_auth(5, "empty-list-user", QZ_RLM_UPDATED);
    EXPECT_TRUE(filter_rules(empty_list).empty());
    EXPECT_EQ(fake::reply_named(empty_list, "Tunnel-Private-Group-ID").size(), 1u);

    post_auth(6, "staff-user", QZ_RLM_UPDATED);
    qz_request unanswered = post_auth(7, "unanswered-user", QZ_RLM_UPDATED);
    EXPECT_EQ(unanswered.reply_code, 2);
    EXPECT_TRUE(filter_rules(unanswered).empty());
    EXPECT_EQ(vlan_attributes(unanswered), 0u);
    EXPECT_EQ(fake::reply_named(unanswered, "qz-port-priority-regeneration-table").size(), 0u);

    post_auth(8, "staff-user", QZ_RLM_UPDATED);
    qz_request one = post_auth(9, "one-rule-user", QZ_RLM_UPDATED);
    EXPECT_EQ(filter_rules(one), std::vector<std::string>{"permit ip any 192.0.2.1"});
    EXPECT_EQ(vlan_attributes(one), 0u);

    // The reports name each request's own decision.
    ASSERT_TRUE(dm.wait_for("USER=one-rule-user"));
    for (const std::string &line : dm.lines()) {
        if (line.rfind("EVENT=Authorization\t", 0) != 0)
            continue;
        if (line.find("USER=staff-user\t") != std::string::npos)
            EXPECT_NE(line.find("VLAN_ID=20\t"), std::string::npos) << line;
        else
            EXPECT_EQ(line.find("VLAN_ID=20\t"), std::string::npos) << line;
    }
}

TEST_F(ModuleRecordReuse, ARefusalAfterAnAcceptWithRulesLeavesNothingBehind)
{
    std::vector<std::string> staff_rules;
    dm.answer(long_decision(&staff_rules));
    dm.answer("ACCESS=false\n");

    post_auth(1, "staff-user", QZ_RLM_UPDATED);
    qz_request refused = post_auth(2, "refused-user", QZ_RLM_REJECT);
    EXPECT_EQ(refused.reply_code, 3);
    EXPECT_TRUE(filter_rules(refused).empty());
    EXPECT_EQ(vlan_attributes(refused), 0u);
}

TEST_F(ModuleRecordReuse, EachThreadKeepsItsOwnRecord)
{
    // Two threads in turn: each one's first decision has rules, its second
    // none; neither sees the other's.
    dm.answer_with([](const std::string &line) {
        if (line.find("USER=rules-") != std::string::npos)
            return std::string("ACCESS=true\tVLAN_ID=50\tACL=x|permit ip any any|deny ip any 10.9.9.9\n");
        return std::string("ACCESS=true\n");
    });
    for (int round = 0; round < 3; round++) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; t++) {
            threads.emplace_back([this, t, round] {
                uint32_t port = static_cast<uint32_t>(10 * round + 2 * t);
                qz_request with_rules = post_auth(port, "rules-" + std::to_string(port), QZ_RLM_UPDATED);
                EXPECT_EQ(filter_rules(with_rules).size(), 2u);
                qz_request without = post_auth(port + 1, "bare-" + std::to_string(port), QZ_RLM_UPDATED);
                EXPECT_TRUE(filter_rules(without).empty());
                EXPECT_EQ(vlan_attributes(without), 0u);
            });
        }
        for (std::thread &thread : threads)
            thread.join();
    }
}

}  // namespace
