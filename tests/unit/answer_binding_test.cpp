// Answers bound to their requests: a duplicated, unasked, late, cut or
// over-long answer never becomes another user's decision.
#include <chrono>
#include <string>
#include <thread>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;

class AnswerBinding : public ClientTest {
protected:
    // A request for user uN from its own switch port, so its REQ_ID is its own.
    void make_user(int n, OVX_USER_ACCESS *record_of_user)
    {
        qzclient::fill_access_request(req, record_of_user);
        req.request_attrs[OVX_ATTR_REQUEST_ID] = "10.0.0.1" + std::to_string(n) + "AABBCCDDEEFF";
        req.request_attrs[OVX_ATTR_USER_NAME] = "u" + std::to_string(n);
    }
};

// The DM answers user u1 twice, the copy arriving while u2 waits for its own
// answer: u2 must get its own decision, not u1's.
TEST_F(AnswerBinding, DuplicatedAnswerIsNotTakenForTheNextRequest)
{
    dm.echo_req_id(true);
    dm.answer_twice("ACCESS=true\tVLAN_ID=1\n", 150);
    dm.answer_split("", "ACCESS=false\tVLAN_ID=2\n", 400);

    auto first = qzclient::zeroed_record();
    make_user(1, first.get());
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_STREQ(first->vlan, "1");

    auto second = qzclient::zeroed_record();
    make_user(2, second.get());
    EXPECT_EQ(ovxauthorize(&req), rcAccessReject);
    EXPECT_STREQ(second->vlan, "2");
    EXPECT_EQ(second->allowed, 0);
    EXPECT_NE(trace().find("discarded DM answer for another request: REQ_ID=10.0.0.11AABBCCDDEEFF\n"),
              std::string::npos)
        << trace();
    qzclient::expect_semaphores_balanced();
}

// After a duplicate, every later user still gets exactly their own VLAN.
TEST_F(AnswerBinding, EveryLaterUserGetsTheirOwnDecisionAfterADuplicate)
{
    dm.echo_req_id(true);
    dm.answer_twice("ACCESS=true\tVLAN_ID=1\n", 5);
    dm.answer_with([](const std::string &line) {
        size_t at = line.find("\tUSER=u") + 7;
        return "ACCESS=true\tVLAN_ID=" + line.substr(at, line.find('\t', at) - at) + "\n";
    });
    for (int n = 1; n <= 30; n++) {
        auto own = qzclient::zeroed_record();
        make_user(n, own.get());
        EXPECT_EQ(ovxauthorize(&req), rcAccessAccept) << n;
        EXPECT_EQ(std::string(own->vlan), std::to_string(n));
    }
}

TEST_F(AnswerBinding, UnaskedLineForAnotherRequestIsSkipped)
{
    dm.echo_req_id(true);
    dm.answer_split("", "ACCESS=false\tVLAN_ID=2\n", 400);
    std::thread intruder([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        dm.send_unasked("REQ_ID=someone-else\tACCESS=true\tVLAN_ID=666\n");
    });
    EXPECT_EQ(ovxauthorize(&req), rcAccessReject);
    intruder.join();
    EXPECT_STREQ(record->vlan, "2");
    EXPECT_NE(trace().find("discarded DM answer for another request: REQ_ID=someone-else\n"), std::string::npos);
}

// A DM that does not echo REQ_ID is read exactly as before.
TEST_F(AnswerBinding, AnswerWithoutRequestIdIsTakenAsBefore)
{
    dm.answer("ACCESS=true\tVLAN_ID=7\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_STREQ(record->vlan, "7");
}

TEST_F(AnswerBinding, OwnRequestIdIsAcceptedAnywhereInTheLine)
{
    dm.answer(std::string("ACCESS=true\tREQ_ID=") + qzclient::kRequestId + "\tVLAN_ID=8\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_STREQ(record->vlan, "8");
}

// A DM that sends only answers for other requests gives no decision once the
// response timeout passes; the foreign lines do not extend the wait.
class AnswerBindingShortTimeout : public AnswerBinding {
    std::string extra_properties() const override { return "dm_response_timeout=1\n"; }
};

TEST_F(AnswerBindingShortTimeout, OnlyForeignAnswersGiveNoDecision)
{
    dm.answer("REQ_ID=other\tACCESS=true\tVLAN_ID=9\n");
    std::thread flood([this] {
        for (int i = 0; i < 35; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            dm.send_unasked("REQ_ID=other\tACCESS=true\n");
        }
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    flood.join();
    EXPECT_LT(waited, 2.5);  // the one-second deadline, not one per foreign line
    EXPECT_EQ(record->allowed, 0);
    EXPECT_EQ(record->vlan[0], '\0');
    qzclient::expect_semaphores_balanced();
}

// The DM closes in the middle of its answer: no decision, not a cut one
// (VLAN 11 of 111x, or a refusal from "ACCESS=tr").
TEST_F(AnswerBinding, AnswerCutByACloseIsNoDecision)
{
    dm.answer_then_close("ACCESS=true\tVLAN_ID=11");
    dm.answer_then_close("ACCESS=tr");
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    EXPECT_EQ(record->vlan[0], '\0');
    EXPECT_EQ(record->allowed, 0);

    auto second = qzclient::zeroed_record();
    req.user_access = second.get();
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);

    auto third = qzclient::zeroed_record();
    req.user_access = third.get();
    dm.answer("ACCESS=true\tVLAN_ID=1110\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_STREQ(third->vlan, "1110");
    EXPECT_EQ(dm.connections(), 3);
    qzclient::expect_semaphores_balanced();
}

}  // namespace
