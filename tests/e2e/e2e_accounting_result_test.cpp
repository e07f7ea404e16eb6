// An accounting event the DM did not get is not acknowledged: the server
// sends no Accounting-Response, so the switch sends the request again.
#include <gtest/gtest.h>

#include <string>

#include "e2e_rig.h"

namespace {

std::string test_name()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

const std::string kSession = "User-Name=alice,Acct-Session-Id=sess-0002,NAS-IP-Address=10.1.2.3,"
                             "NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc";

TEST(FreeRadius32AccountingResult, UndeliveredEventGetsNoResponse)
{
    e2e::Rig rig;
    std::string error;
    // The module in accounting itself: with the queue on disk the server
    // answers once the record is stored (see AccountingQueue).
    e2e::RigOptions options;
    options.accounting_queue = false;
    ASSERT_TRUE(rig.start(test_name(), options, &error)) << error;  // no DM

    for (const char *status : {"Start", "Stop"}) {
        e2e::Reply reply = rig.acct(kSession + ",Acct-Status-Type=" + status);
        EXPECT_EQ(reply.code, "") << status << "\n" << reply.output << rig.logs();
    }
    // Access-Requests are not held back by an absent DM.
    e2e::Reply auth = rig.auth("User-Name=alice,User-Password=alice-pw,NAS-IP-Address=10.1.2.3,"
                               "NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc");
    EXPECT_EQ(auth.code, "Access-Accept") << auth.output;
}

}  // namespace
