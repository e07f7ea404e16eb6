// Accounting through the 1.0 module record, down to the bytes the DM receives.
#include "fr10_dm_fixture.h"

namespace fr10 {
namespace {

using Fr10Accounting = DmTest;

void fill_accounting(TestRequest &r, const char *status, const char *user)
{
    r.add("NAS-IP-Address", kNas);
    r.add("NAS-Port", kPort);
    r.add("Calling-Station-Id", kMac);
    r.add("Acct-Session-Id", "S1");
    r.add("Acct-Status-Type", status);
    r.add("User-Name", user);
    r.add("Acct-Session-Time", "60");
    r.add("Acct-Terminate-Cause", "1");
    r.add("Acct-Input-Octets", "100");
    r.add("Acct-Output-Octets", "200");
    r.add("Acct-Input-Packets", "3");
    r.add("Acct-Output-Packets", "4");
}

std::string accounting_line(const std::string &status, const std::string &user)
{
    return "EVENT=AccountingRequest\tCLIENT_MAC=00-0f-1f-aa-bb-cc\tREQ_ID=10.1.2.31700-0F-1F-AA-BB-CC\t"
           "NAS_IP=10.1.2.3\tSESSION_ID=S1\tACCT_STATUS=" +
           status + "\tUSER=" + user +
           "\tSESSION_TIME=60\tTERM_CAUSE=1\tINPUT_OCTETS=100\tOUTPUT_OCTETS=200\t"
           "INPUT_PACKETS=3\tOUTPUT_PACKETS=4\tPORT=17\t";
}

TEST_F(Fr10Accounting, StartIsForwardedWithEveryCounter)
{
    ASSERT_NO_FATAL_FAILURE(start());
    TestRequest r(4, 5);
    fill_accounting(r, "Start", "bob");

    EXPECT_EQ(accounting(r), RLM_MODULE_OK);
    ASSERT_TRUE(dm.wait_for_lines(kInitLines + 1));
    EXPECT_EQ(request_lines().at(0), accounting_line("Start", "bob"));
    EXPECT_TRUE(r.reply_pairs().empty());
    EXPECT_EQ(r.reply.code, 5u);
}

// The user a request id was authorized as stands in for the accounting
// request's own User-Name until the Stop drops it from the session map.
TEST_F(Fr10Accounting, StopEndsTheSessionMapEntry)
{
    ASSERT_NO_FATAL_FAILURE(start());
    dm.set_default_answer("ACCESS=true\n");
    TestRequest auth(1, 2);
    fill_access(auth, "alice");
    ASSERT_EQ(post_auth(auth), RLM_MODULE_UPDATED);

    TestRequest interim(4, 5);
    fill_accounting(interim, "Interim-Update", "bob");
    EXPECT_EQ(accounting(interim), RLM_MODULE_OK);
    TestRequest stop(4, 5);
    fill_accounting(stop, "Stop", "bob");
    EXPECT_EQ(accounting(stop), RLM_MODULE_OK);
    TestRequest later(4, 5);
    fill_accounting(later, "Start", "bob");
    EXPECT_EQ(accounting(later), RLM_MODULE_OK);

    ASSERT_TRUE(dm.wait_for_lines(kInitLines + 6));
    std::vector<std::string> lines = request_lines();
    ASSERT_EQ(lines.size(), 6u);  // request, report + empty line, three accounting
    EXPECT_EQ(lines[3], accounting_line("Update", "alice"));
    EXPECT_EQ(lines[4], accounting_line("Stop", "alice"));
    EXPECT_EQ(lines[5], accounting_line("Start", "bob"));
}

TEST_F(Fr10Accounting, ProxiedOrIncompleteRequestsAreNotForwarded)
{
    ASSERT_NO_FATAL_FAILURE(start());
    TestRequest proxied(4, 5);
    fill_accounting(proxied, "Start", "bob");
    proxied.start_proxying();
    EXPECT_EQ(accounting(proxied), RLM_MODULE_NOOP);

    TestRequest access(1, 2);  // not an Accounting-Request
    fill_accounting(access, "Start", "bob");
    EXPECT_EQ(accounting(access), RLM_MODULE_NOOP);

    TestRequest no_session(4, 5);
    no_session.add("NAS-IP-Address", kNas);
    no_session.add("NAS-Port", kPort);
    EXPECT_EQ(accounting(no_session), RLM_MODULE_OK);
    EXPECT_TRUE(logged("rlm_qzovx: request does not contain Acct-Session-Id, cannot process this reply"));

    TestRequest no_reply(4, 5);
    fill_accounting(no_reply, "Start", "bob");
    no_reply.drop_reply();
    EXPECT_EQ(accounting(no_reply), RLM_MODULE_NOOP);
    EXPECT_TRUE(logged("rlm_qzovx received accounting request without reply, cannot process!"));

    EXPECT_EQ(dm.connections(), 0);
}

}  // namespace
}  // namespace fr10
