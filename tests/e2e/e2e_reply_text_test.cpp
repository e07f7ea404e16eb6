// The DM's texts reach the switch exactly as the DM wrote them: VLAN names
// and filter rules with backslashes, quotes and percent signs pass through
// the real server's reply untouched (no unescaping, no expansion, no tags).
#include <gtest/gtest.h>

#include <string>

#include "e2e_rig.h"

namespace {

// Backslash sequences the server would otherwise read as escapes ("\101" is
// "A", "\n" a line feed, a trailing "\" ends nothing), quotes, "%{...}" that
// looks like an expansion, and ":1:" that looks like a tag.
const char *const kPolicy = R"(rule alice
  match USER=alice
  answer ACCESS=true
  answer VLAN_ID=eng\
  answer ACL=odd|permit in tcp from any to 10.0.0.0/8 "staff\101"|deny in ip from any to any \n 100%|permit %{User-Name} \\share
rule bob
  match USER=bob
  answer ACCESS=true
  answer VLAN_ID=:1:lab"\x41"
default
  answer ACCESS=true
)";

// radclient prints string values escaped; this gives the text back.
std::string radclient_text(const std::string &printed)
{
    std::string out;
    for (size_t i = 0; i < printed.size(); ++i) {
        if (printed[i] == '\\' && i + 1 < printed.size()) {
            const char next = printed[++i];
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
        } else {
            out += printed[i];
        }
    }
    return out;
}

std::string test_name()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

TEST(FreeRadius32ReplyText, DmTextsReachTheReplyUnchanged)
{
    e2e::RigOptions options;
    options.users += "bob Cleartext-Password := \"bob-pw\"\n";
    options.policy = kPolicy;
    e2e::Rig rig;
    std::string error;
    ASSERT_TRUE(rig.start(test_name(), options, &error)) << error;

    e2e::Reply alice = rig.auth("User-Name=alice,User-Password=alice-pw,NAS-IP-Address=10.1.2.3,"
                                "NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc");
    ASSERT_EQ(alice.code, "Access-Accept") << alice.output << rig.logs();
    EXPECT_EQ(radclient_text(alice.value("Tunnel-Private-Group-Id")), "eng\\") << alice.output;
    std::vector<std::string> rules;
    for (const std::string &printed : alice.values("qz-nas-filter-rule"))
        rules.push_back(radclient_text(printed));
    EXPECT_EQ(rules, (std::vector<std::string>{"permit in tcp from any to 10.0.0.0/8 \"staff\\101\"",
                                               "deny in ip from any to any \\n 100%",
                                               "permit %{User-Name} \\\\share"}))
        << alice.output;

    e2e::Reply bob = rig.auth("User-Name=bob,User-Password=bob-pw,NAS-IP-Address=10.1.2.3,"
                              "NAS-Port=18,Calling-Station-Id=00-0f-1f-aa-bb-cd");
    ASSERT_EQ(bob.code, "Access-Accept") << bob.output << rig.logs();
    EXPECT_EQ(radclient_text(bob.value("Tunnel-Private-Group-Id")), ":1:lab\"\\x41\"") << bob.output;
}

}  // namespace
