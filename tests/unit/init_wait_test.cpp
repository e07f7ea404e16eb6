// A request that cannot wait for the initialising thread must not go on with
// settings that may still be half written.
#include <string>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;

class InitWait : public ClientTest {};

TEST_F(InitWait, AuthorizationWithoutFinishedInitialisationReadsNothing)
{
    qztest::host_fail_send_waits(true);
    req.calls.clear();
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    EXPECT_TRUE(req.calls.empty()) << req.calls.front();
    EXPECT_EQ(record->req_id[0], '\0');
    EXPECT_EQ(ovxrespond(&req), nullptr);
    EXPECT_TRUE(req.added.empty());
    EXPECT_EQ(dm.connections(), 0);

    // Once the initialiser can be waited for, the next request initialises.
    qztest::host_fail_send_waits(false);
    dm.answer("ACCESS=true\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    qzclient::expect_semaphores_balanced();
}

TEST_F(InitWait, AccountingWithoutFinishedInitialisationIsNotDelivered)
{
    req.request_type = rcAccountingRequest;
    req.control_point = 2;
    req.user_access = nullptr;
    req.first_attrs[OVX_ATTR_ACCT_SESSION_ID] = "S-1";
    req.request_attrs[OVX_ATTR_ACCT_SESSION_ID] = "S-1";
    qztest::host_fail_send_waits(true);
    EXPECT_EQ(ovxaccount(&req), -1);  // the server must keep the record

    // A request the library would not forward anyway is still no failure.
    req.first_attrs.clear();
    EXPECT_EQ(ovxaccount(&req), 0);
    qztest::host_fail_send_waits(false);
}

}  // namespace
