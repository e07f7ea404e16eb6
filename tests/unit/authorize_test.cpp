// Authorization requests as the DM receives them, the verdicts, and the
// semaphore discipline around the exchange.
#include <chrono>
#include <string>
#include <thread>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;

class AuthorizeTest : public ClientTest {};
using qzclient::lines_starting;

// Authorizes `req` with the DM answering `answer`, expecting `verdict`; gives
// the one Request line the DM received.
void authorize_once(qztest::FakeDm &dm, qztest::FakeRequest &req, const char *answer, int verdict,
                    std::string &request_line)
{
    dm.answer(answer);
    EXPECT_EQ(ovxauthorize(&req), verdict);
    auto requests = lines_starting(dm, "EVENT=Request");
    ASSERT_EQ(requests.size(), 1u);
    request_line = requests[0];
}

const std::string kFullRequestLine = std::string("EVENT=Request\tREQ_ID=") + qzclient::kRequestId +
                                     "\tUSER=alice\tCLIENT_MAC=aa-bb-cc-dd-ee-ff\tNAS_IP=10.0.0.1"
                                     "\tNAS_MAC=11-22-33-44-55-66\tPORT=14\t";

TEST_F(AuthorizeTest, RequestAtControlPointZeroEndsWithTheResponse)
{
    std::string request;
    ASSERT_NO_FATAL_FAILURE(authorize_once(dm, req, "ACCESS=true\n", rcAccessAccept, request));
    EXPECT_EQ(request, kFullRequestLine + "RESPONSE=Accept\t");

    EXPECT_STREQ(record->req_id, qzclient::kRequestId);
    EXPECT_STREQ(record->user_name, "alice");
    EXPECT_STREQ(record->sw_ip, "10.0.0.1");
    EXPECT_STREQ(record->location, "10.0.0.1,14");
    EXPECT_STREQ(record->client_id, qzclient::kClientMac);
    EXPECT_STREQ(record->sw_mac, qzclient::kNasMac);
    EXPECT_EQ(record->sw_port, 14u);
    EXPECT_EQ(record->allowed, 1);
    EXPECT_EQ(record->qos, -1);
    EXPECT_NE(trace().find(std::string("Request: {REQ_ID=") + qzclient::kRequestId +
                           ", USER=alice, CLIENT_MAC=aa-bb-cc-dd-ee-ff, NAS_IP=10.0.0.1"
                           ", NAS_MAC=11-22-33-44-55-66, PORT=14"
                           // the EI check always traces a line of its own here
                           "checking RADIUS packet for presence of EI using attribute name:  \n"
                           ", RESPONSE=Accept}\n\n"),
              std::string::npos)
        << trace();
    qzclient::expect_semaphores_balanced();
}

TEST_F(AuthorizeTest, RequestAtAnotherControlPointHasNoResponseField)
{
    req.control_point = 1;
    req.request_attrs = {{OVX_ATTR_REQUEST_ID, "R1"}, {OVX_ATTR_USER_NAME, "bob"},
                         {OVX_ATTR_NAS_IP_ADDRESS, "10.0.0.2"}, {OVX_ATTR_NAS_PORT, "0014"},
                         {OVX_ATTR_NAS_PORT_TYPE, "15"}};
    std::string request;
    ASSERT_NO_FATAL_FAILURE(authorize_once(dm, req, "ACCESS=false\n", rcAccessReject, request));
    EXPECT_EQ(request, "EVENT=Request\tREQ_ID=R1\tUSER=bob\tNAS_IP=10.0.0.2\tPORT=14\t");
    EXPECT_STREQ(record->location, "10.0.0.2,0014");
    EXPECT_EQ(record->sw_port_type, 15u);
    EXPECT_EQ(record->allowed, 0);
    EXPECT_NE(trace().find("access denied \n\n"), std::string::npos);
    qzclient::expect_semaphores_balanced();
}

TEST_F(AuthorizeTest, LongTextsAreCutToTheirFields)
{
    req.request_attrs[OVX_ATTR_NAS_IP_ADDRESS] = "2001:db8:1111:2222:3333:4444:5555:6666";
    req.request_attrs[OVX_ATTR_CALLING_STATION_ID] = std::string(200, 'm');
    req.request_attrs[OVX_ATTR_USER_NAME] = std::string(120, 'u');
    req.reply_attrs[OVX_ATTR_HI_STATE] = std::string(100, 'h');
    std::string request;
    ASSERT_NO_FATAL_FAILURE(authorize_once(dm, req, "ACCESS=true\n", rcAccessAccept, request));

    EXPECT_STREQ(record->sw_ip, "2001:db8:1111:2222:");
    EXPECT_STREQ(record->location, "2001:db8:1111:2222:,14");
    EXPECT_EQ(std::string(record->client_id), std::string(127, 'm'));
    EXPECT_EQ(std::string(record->user_name), std::string(79, 'u'));
    EXPECT_EQ(std::string(record->clientstate), std::string(79, 'h'));
    EXPECT_NE(request.find("\tHI_STATE=" + std::string(79, 'h') + "\t"), std::string::npos);
    EXPECT_NE(request.find("\tCLIENT_MAC=" + std::string(127, 'm') + "\t"), std::string::npos);
    std::string text = trace();
    EXPECT_NE(text.find("HI State Truncated!\n"), std::string::npos);
    EXPECT_NE(text.find("MAC Address Truncated!\n"), std::string::npos);
}

TEST_F(AuthorizeTest, EapMessageWithoutStateIsProcessed)
{
    req.request_attrs[OVX_ATTR_EAP_MESSAGE] = "0x0201";
    dm.answer("ACCESS=true\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_EQ(dm.requests(), 1);
}

// Requests the library leaves alone: nothing is sent, no semaphore is touched.
TEST_F(AuthorizeTest, SkippedRequestsSendNothingAndTakeNoSemaphore)
{
    initialise_library();
    struct Case {
        const char *name;
        void (*change)(qztest::FakeRequest &);
    };
    const Case cases[] = {
        {"access challenge", [](qztest::FakeRequest &r) { r.response_type = rcAccessChallenge; }},
        {"eap with state",
         [](qztest::FakeRequest &r) {
             r.request_attrs[OVX_ATTR_EAP_MESSAGE] = "0x0201";
             r.request_attrs[OVX_ATTR_STATE] = "0x77";
         }},
        {"no nas port", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_NAS_PORT); }},
        {"no nas ip", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_NAS_IP_ADDRESS); }},
        {"no user name", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_USER_NAME); }},
        {"no request id", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_REQUEST_ID); }},
        {"accounting point",
         [](qztest::FakeRequest &r) {
             r.control_point = 2;
             r.request_type = rcAccountingRequest;
         }},
        {"no record", [](qztest::FakeRequest &r) { r.user_access = nullptr; }},
    };
    dm.set_default_answer("ACCESS=true\n");
    qztest::SemaphoreCounts before = qztest::host_counts();
    for (const Case &c : cases) {
        auto own = qzclient::zeroed_record();
        qztest::FakeRequest r;
        qzclient::fill_access_request(r, own.get());
        c.change(r);
        EXPECT_EQ(ovxauthorize(&r), rcUnknown) << c.name;
        EXPECT_EQ(own->allowed, 0) << c.name;
    }
    EXPECT_TRUE(qzclient::same_counts(before, qztest::host_counts()));
    EXPECT_EQ(dm.requests(), 0);
    EXPECT_TRUE(lines_starting(dm, "EVENT=Request").empty());
}

class EiStringTest : public ClientTest {
    std::string extra_properties() const override
    {
        return "qz_ei_attributename=qz-ei-state\nqz_ei_attributetype=STRING\n";
    }
};

TEST_F(EiStringTest, HiStateAndStringEiAttributeGiveTwoHiStateFields)
{
    req.reply_attrs[OVX_ATTR_HI_STATE] = "quarantine";
    req.reply_vsas["qz-ei-state"] = "healthy";
    std::string request;
    ASSERT_NO_FATAL_FAILURE(authorize_once(dm, req, "ACCESS=true\n", rcAccessAccept, request));
    EXPECT_EQ(request, std::string("EVENT=Request\tREQ_ID=") + qzclient::kRequestId +
                           "\tUSER=alice\tHI_STATE=quarantine\tCLIENT_MAC=aa-bb-cc-dd-ee-ff"
                           "\tNAS_IP=10.0.0.1\tNAS_MAC=11-22-33-44-55-66\tPORT=14"
                           "\tHI_STATE=healthy\tRESPONSE=Accept\t");
    EXPECT_EQ(req.vsa_packet_types, std::vector<int>{OVX_PACKET_REPLY});
    EXPECT_STREQ(record->clientstate, "healthy");
    std::string text = trace();
    EXPECT_NE(text.find(" looking for ei attr: qz-ei-state\n"), std::string::npos);
    EXPECT_NE(text.find("getting string attr, HI_STATE=healthy"), std::string::npos);
}

TEST_F(EiStringTest, MissingEiAttributeIsStillSent)
{
    std::string request;
    ASSERT_NO_FATAL_FAILURE(authorize_once(dm, req, "ACCESS=true\n", rcAccessAccept, request));
    // The host's text for a vendor attribute it does not have.
    EXPECT_NE(request.find("\tPORT=14\tHI_STATE=-1\tRESPONSE=Accept\t"), std::string::npos);
}

class EiLowerCaseTypeTest : public ClientTest {
    std::string extra_properties() const override
    {
        return "qz_ei_attributename=qz-ei-state\nqz_ei_attributetype=string\n";
    }
};

TEST_F(EiLowerCaseTypeTest, OnlyTheUpperCaseTypeIsSent)
{
    req.reply_attrs[OVX_ATTR_HI_STATE] = "quarantine";
    req.reply_vsas["qz-ei-state"] = "healthy";
    std::string request;
    ASSERT_NO_FATAL_FAILURE(authorize_once(dm, req, "ACCESS=true\n", rcAccessAccept, request));
    EXPECT_NE(request.find("\tUSER=alice\tHI_STATE=quarantine\t"), std::string::npos);
    EXPECT_EQ(request.find("HI_STATE=healthy"), std::string::npos);
    EXPECT_STREQ(record->clientstate, "quarantine");
}

// ---- Values a client controls cannot break the message apart ----

TEST_F(AuthorizeTest, FieldBreaksInValuesAreSentAsBlanks)
{
    req.request_attrs[OVX_ATTR_USER_NAME] = "bob\tUSER=admin";
    req.request_attrs[OVX_ATTR_CALLING_STATION_ID] = "aa\nEVENT=Request\tREQ_ID=forged\r";
    std::string request;
    ASSERT_NO_FATAL_FAILURE(authorize_once(dm, req, "ACCESS=true\n", rcAccessAccept, request));
    EXPECT_EQ(dm.requests(), 1);
    EXPECT_EQ(request, std::string("EVENT=Request\tREQ_ID=") + qzclient::kRequestId +
                           "\tUSER=bob USER=admin\tCLIENT_MAC=aa EVENT=Request REQ_ID=forged "
                           "\tNAS_IP=10.0.0.1\tNAS_MAC=11-22-33-44-55-66\tPORT=14\tRESPONSE=Accept\t");
    EXPECT_NE(trace().find(", USER=bob USER=admin, CLIENT_MAC=aa EVENT=Request REQ_ID=forged ,"),
              std::string::npos);
}

// ---- The DM away, silent or closing ----

TEST_F(AuthorizeTest, DmDownGivesNoVerdict)
{
    dm.shutdown();
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    EXPECT_NE(trace().find("Unable to reach DM for location 10.0.0.1,14\n"), std::string::npos);
    qzclient::expect_semaphores_balanced();
}

class SilentDmTest : public ClientTest {
    std::string extra_properties() const override { return "dm_response_timeout=1\n"; }
};

TEST_F(SilentDmTest, SilentDmGivesNoVerdictAndTheNextRequestReconnects)
{
    dm.stay_silent();
    dm.answer("ACCESS=true\tVLAN_ID=7\n");
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    EXPECT_NE(trace().find("no access request response received from DM \n\n"), std::string::npos);
    qzclient::expect_semaphores_balanced();

    auto second = qzclient::zeroed_record();
    req.user_access = second.get();
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_STREQ(second->vlan, "7");
    EXPECT_EQ(dm.connections(), 2);
    qzclient::expect_semaphores_balanced();
}

TEST_F(AuthorizeTest, ClosingDmGivesNoVerdictAndTheNextRequestReconnects)
{
    dm.close_connection();
    dm.answer("ACCESS=true\n");
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    EXPECT_EQ(record->allowed, 0);
    EXPECT_NE(trace().find("no access request response received from DM \n\n"), std::string::npos);

    auto second = qzclient::zeroed_record();
    req.user_access = second.get();
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_EQ(dm.connections(), 2);
    EXPECT_EQ(lines_starting(dm, "EVENT=Request").size(), 2u);
    qzclient::expect_semaphores_balanced();
}

TEST_F(AuthorizeTest, LateAnswerIsNotTakenForTheNextRequest)
{
    dm.answer("ACCESS=true\tVLAN_ID=first\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);

    dm.send_unasked("ACCESS=true\tVLAN_ID=stale\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    auto second = qzclient::zeroed_record();
    req.user_access = second.get();
    dm.answer("ACCESS=false\tVLAN_ID=own\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessReject);
    EXPECT_STREQ(second->vlan, "own");
    EXPECT_EQ(second->allowed, 0);
}

// ---- Semaphores ----

TEST_F(AuthorizeTest, SendSemaphoreNotObtainedTakesNothing)
{
    initialise_library();
    qztest::SemaphoreCounts before = qztest::host_counts();
    qztest::host_fail_send_waits(true);
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    qztest::host_fail_send_waits(false);

    qztest::SemaphoreCounts after = qztest::host_counts();
    EXPECT_EQ(after.send_waits, before.send_waits + 1);
    EXPECT_EQ(after.send_releases, before.send_releases);
    EXPECT_EQ(after.recv_waits, before.recv_waits);
    EXPECT_EQ(after.recv_releases, before.recv_releases);
    EXPECT_EQ(dm.requests(), 0);
    EXPECT_NE(trace().find("Unable to reach DM for location 10.0.0.1,14 while trying to aquire send semaphore\n"),
              std::string::npos);
    qzclient::expect_semaphores_balanced();
}

TEST_F(AuthorizeTest, ReceiveSemaphoreNotObtainedGivesTheSendSemaphoreBack)
{
    initialise_library();
    qztest::SemaphoreCounts before = qztest::host_counts();
    qztest::host_fail_recv_waits(true);
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    qztest::host_fail_recv_waits(false);

    qztest::SemaphoreCounts after = qztest::host_counts();
    EXPECT_EQ(after.send_acquired, before.send_acquired + 1);
    EXPECT_EQ(after.send_releases, before.send_releases + 1);
    EXPECT_EQ(after.recv_waits, before.recv_waits + 1);
    EXPECT_EQ(after.recv_releases, before.recv_releases);
    EXPECT_EQ(dm.requests(), 0);
    EXPECT_NE(trace().find("Unable to reach DM for location 10.0.0.1,14 while trying to aquire recv semaphore\n"),
              std::string::npos);
    qzclient::expect_semaphores_balanced();
}

class SocketTimeoutTest : public ClientTest {
    std::string extra_properties() const override { return "dm_socket_timeout=3\n"; }
};

TEST_F(SocketTimeoutTest, WaitsUseTheSocketTimeoutInMilliseconds)
{
    initialise_library();
    dm.answer("ACCESS=true\n");
    size_t before = qztest::host_wait_timeouts().size();
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    auto timeouts = qztest::host_wait_timeouts();
    ASSERT_EQ(timeouts.size(), before + 2);
    EXPECT_EQ(timeouts[before], 3000);
    EXPECT_EQ(timeouts[before + 1], 3000);
}

TEST_F(AuthorizeTest, LookupsReturnTheHostsTexts)
{
    req.first_attrs[OVX_ATTR_REQUEST_ID] = "RID";
    req.first_attrs[OVX_ATTR_ACCT_SESSION_ID] = "SID";
    EXPECT_STREQ(getRequestId(&req), "RID");
    EXPECT_STREQ(getAcctSessionId(&req), "SID");
    qztest::FakeRequest empty;
    EXPECT_EQ(getRequestId(&empty), nullptr);
    EXPECT_EQ(getAcctSessionId(&empty), nullptr);
}

}  // namespace
