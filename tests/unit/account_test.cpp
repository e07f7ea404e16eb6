// Accounting requests as the DM receives them.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;
using qzclient::lines_starting;

class AccountingTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        qzclient::start_accounting_request(req, "S-1");
        req.request_attrs = {
            {OVX_ATTR_ACCT_SESSION_ID, "S-1"},       {OVX_ATTR_NAS_IP_ADDRESS, "10.0.0.1"},
            {OVX_ATTR_NAS_PORT, "12"},               {OVX_ATTR_CALLING_STATION_ID, "aa-bb"},
            {OVX_ATTR_REQUEST_ID, "10.0.0.112AABB"}, {OVX_ATTR_ACCT_STATUS_TYPE, "Stop"},
            {OVX_ATTR_USER_NAME, "alice"},           {OVX_ATTR_ACCT_SESSION_TIME, "360"},
            {OVX_ATTR_ACCT_TERMINATE_CAUSE, "User-Request"},
            {OVX_ATTR_ACCT_INPUT_OCTETS, "1000"},    {OVX_ATTR_ACCT_OUTPUT_OCTETS, "2000"},
            {OVX_ATTR_ACCT_INPUT_PACKETS, "10"},     {OVX_ATTR_ACCT_OUTPUT_PACKETS, "20"},
        };
    }

    std::string accounting_line()
    {
        EXPECT_TRUE(dm.wait_for_lines(3));
        auto found = lines_starting(dm, "EVENT=AccountingRequest");
        return found.size() == 1 ? found[0] : "<" + std::to_string(found.size()) + " lines>";
    }
};

TEST_F(AccountingTest, CompleteRequest)
{
    EXPECT_EQ(ovxaccount(&req), 0);
    EXPECT_EQ(accounting_line(),
              "EVENT=AccountingRequest\tCLIENT_MAC=aa-bb\tREQ_ID=10.0.0.112AABB\tNAS_IP=10.0.0.1"
              "\tSESSION_ID=S-1\tACCT_STATUS=Stop\tUSER=alice\tSESSION_TIME=360"
              "\tTERM_CAUSE=User-Request\tINPUT_OCTETS=1000\tOUTPUT_OCTETS=2000\tINPUT_PACKETS=10"
              "\tOUTPUT_PACKETS=20\tPORT=12\t");
    qztest::SemaphoreCounts c = qztest::host_counts();
    EXPECT_EQ(c.recv_waits, 0);  // nothing is read back
    qzclient::expect_semaphores_balanced();
}

TEST_F(AccountingTest, WithoutUserNameTheSessionFieldsAreLeftOut)
{
    req.request_attrs.erase(OVX_ATTR_USER_NAME);
    req.request_attrs.erase(OVX_ATTR_CALLING_STATION_ID);
    EXPECT_EQ(ovxaccount(&req), 0);
    EXPECT_EQ(accounting_line(),
              "EVENT=AccountingRequest\tREQ_ID=10.0.0.112AABB\tNAS_IP=10.0.0.1\tSESSION_ID=S-1"
              "\tACCT_STATUS=Stop\t");
}

TEST_F(AccountingTest, LongSessionIdIsCut)
{
    std::string id(100, 's');
    req.request_attrs[OVX_ATTR_ACCT_SESSION_ID] = id;
    req.request_attrs.erase(OVX_ATTR_ACCT_STATUS_TYPE);
    EXPECT_EQ(ovxaccount(&req), 0);
    std::string line = accounting_line();
    EXPECT_NE(line.find("\tSESSION_ID=" + id.substr(0, 79) + "\tUSER=alice\t"), std::string::npos) << line;
    EXPECT_EQ(line.find("ACCT_STATUS"), std::string::npos);
    EXPECT_NE(trace().find("Session ID truncated!\n"), std::string::npos);
}

TEST_F(AccountingTest, ValuesCannotStartANewMessage)
{
    req.request_attrs[OVX_ATTR_USER_NAME] = "mallory\nEVENT=AccountingRequest\tUSER=root";
    EXPECT_EQ(ovxaccount(&req), 0);
    EXPECT_NE(accounting_line().find("\tUSER=mallory EVENT=AccountingRequest USER=root\tSESSION_TIME="),
              std::string::npos);
}

TEST_F(AccountingTest, RequestsThatAreNotAccountingAreSkipped)
{
    initialise_library();
    qztest::SemaphoreCounts before = qztest::host_counts();
    struct Case {
        const char *name;
        void (*change)(qztest::FakeRequest &);
    };
    const Case cases[] = {
        {"access request",
         [](qztest::FakeRequest &r) {
             r.request_type = rcAccessRequest;
             r.control_point = 0;
         }},
        {"accounting at another point", [](qztest::FakeRequest &r) { r.control_point = 1; }},
        {"no nas port", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_NAS_PORT); }},
        {"no nas ip", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_NAS_IP_ADDRESS); }},
    };
    for (const Case &c : cases) {
        qztest::FakeRequest r = req;
        c.change(r);
        EXPECT_EQ(ovxaccount(&r), 0) << c.name;
    }
    EXPECT_TRUE(qzclient::same_counts(before, qztest::host_counts()));
    EXPECT_TRUE(lines_starting(dm, "EVENT=AccountingRequest").empty());
}

TEST_F(AccountingTest, WithoutSessionIdOnlyTheLookupIsMade)
{
    initialise_library();
    req.first_attrs.clear();
    req.calls.clear();
    EXPECT_EQ(ovxaccount(&req), 0);
    EXPECT_EQ(req.calls, (std::vector<std::string>{"ovxgetRequest", "ovxgetRequestAttributes",
                                                    "ovxFindFirstAttribute"}));
}

TEST_F(AccountingTest, SendSemaphoreNotObtained)
{
    initialise_library();
    qztest::SemaphoreCounts before = qztest::host_counts();
    qztest::host_fail_send_waits(true);
    EXPECT_EQ(ovxaccount(&req), -1);  // not delivered: the server must keep it
    qztest::host_fail_send_waits(false);
    qztest::SemaphoreCounts after = qztest::host_counts();
    EXPECT_EQ(after.send_releases, before.send_releases);
    EXPECT_EQ(after.recv_waits, 0);
    EXPECT_NE(trace().find("Unable to reach DM for location 10.0.0.1 while trying to aquire send semaphore\n"),
              std::string::npos);
    qzclient::expect_semaphores_balanced();
}

TEST_F(AccountingTest, DmDownStillGivesTheSemaphoreBack)
{
    dm.shutdown();
    EXPECT_EQ(ovxaccount(&req), -1);
    std::string text = trace();
    EXPECT_NE(text.find("Unable to reach DM for location 10.0.0.1\n"), std::string::npos);
    EXPECT_NE(text.find("}\n"), std::string::npos);
    qzclient::expect_semaphores_balanced();
}

}  // namespace

namespace {

// A DM that restarted quietly between two events: the next event reaches it
// whole on a new connection (never its tail without "EVENT=").
TEST_F(AccountingTest, AfterAQuietDmRestartTheEventArrivesWhole)
{
    initialise_library();
    dm.close_connections();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ovxaccount(&req), 0);
    ASSERT_TRUE(dm.wait_for("PORT=12\t\n"));
    EXPECT_EQ(dm.connections(), 2);
    std::vector<std::string> lines = dm.lines();
    EXPECT_EQ(lines.back().rfind("EVENT=AccountingRequest\tCLIENT_MAC=aa-bb\t", 0), 0u) << lines.back();
    for (const std::string &line : lines)
        EXPECT_EQ(line.rfind("EVENT=", 0), 0u) << line;
}

// An event written whole reports success.
TEST_F(AccountingTest, DeliveredEventReportsSuccess)
{
    initialise_library();
    EXPECT_EQ(ovxaccount(&req), 0);
    EXPECT_EQ(accounting_line().substr(0, 24), "EVENT=AccountingRequest\t");
}

}  // namespace
