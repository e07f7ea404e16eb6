// Refusals on a server that runs its own reject handling (FreeRADIUS 3.2):
// the module leaves the reply code to the server, is not asked twice when the
// server calls it again in its reject section, and turns an EAP-Success the
// refused Accept carried into EAP-Failure. The 1.0 series keeps setting the
// Reject itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_core.h"
#include "fake_server.h"
#include "module_internal.h"
#include "session_lists.h"

namespace {

using Strings = std::vector<std::string>;

constexpr int kAccept = 2, kReject = 3;
const std::string kEapSuccess("\x03\x2a\x00\x04", 4);
const std::string kEapFailure("\x04\x2a\x00\x04", 4);

class CleanReject : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fakecore::reset();
        fake::set_server_rejects(true);
        ASSERT_EQ(qz_sessions_create(&inst), 0);
    }
    void TearDown() override { qz_module_forget_sessions(&inst); }

    static qz_request request(int reply_code, const std::string &eap = kEapSuccess)
    {
        qz_request req = fake::access_request("10.1.2.3", 17, "00-0f-1f-aa-bb-cc", "bob", reply_code);
        if (!eap.empty()) {
            qz_pair message;
            message.attribute = 79;
            message.text = eap;
            req.reply_vps.push_back(message);
        }
        return req;
    }

    static std::string eap_in_reply(const qz_request &req)
    {
        const qz_pair *eap = srv_find(&req, SRV_REPLY_LIST, 0, 79);
        return eap != nullptr ? eap->text : "<absent>";
    }

    // What the server does after a reject result: Reject, then the module
    // again in the reject section.
    int reject_section(qz_request &req)
    {
        req.reply_code = kReject;
        return qz_module_post_auth(&inst, &req);
    }

    size_t proxied_entries() const { return modtest::proxied_entries(inst); }

    rlm_qzovx_t inst{};
};

TEST_F(CleanReject, RefusalLeavesTheRejectToTheServerAndIsNotAskedTwice)
{
    fakecore::set_verdict(kReject);
    qz_request req = request(kAccept);

    EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_REJECT);
    // The server must still see the Accept, or it skips its reject section.
    EXPECT_EQ(req.reply_code, kAccept);
    // The report went out as a Reject.
    ASSERT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond"}));
    EXPECT_EQ(fakecore::calls()[1].reply_code, kReject);
    EXPECT_EQ(eap_in_reply(req), kEapFailure);

    EXPECT_EQ(reject_section(req), QZ_RLM_NOOP);
    EXPECT_EQ(fakecore::entries().size(), 2u);
    EXPECT_EQ(req.reply_code, kReject);
    EXPECT_EQ(eap_in_reply(req), kEapFailure);
}

TEST_F(CleanReject, ServersOwnRejectIsReportedOnce)
{
    qz_request req = request(kReject, "");
    EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_REJECT);
    ASSERT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond"}));
    EXPECT_EQ(fakecore::calls()[1].src, 4u);
    EXPECT_EQ(fakecore::calls()[1].return_code, 1u);
    EXPECT_EQ(req.reply_code, kReject);

    // Another request is a new one, although it comes from the same port.
    qz_request next = request(kReject, "");
    EXPECT_EQ(qz_module_post_auth(&inst, &next), QZ_RLM_REJECT);
    EXPECT_EQ(fakecore::entries().size(), 4u);
}

TEST_F(CleanReject, AllowedAcceptKeepsItsEapSuccess)
{
    fakecore::set_verdict(kAccept);
    qz_request req = request(kAccept);
    EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_UPDATED);
    EXPECT_EQ(req.reply_code, kAccept);
    EXPECT_EQ(eap_in_reply(req), kEapSuccess);
}

TEST_F(CleanReject, OnlyAnEapSuccessIsTurnedIntoFailure)
{
    fakecore::set_verdict(kReject);
    // An EAP-Request (code 1) and a malformed success are left as they are.
    for (const std::string &eap : {std::string("\x01\x2a\x00\x06\x19\x00", 6),
                                   std::string("\x03\x2a\x00\x05\x00", 5)}) {
        qz_request req = request(kAccept, eap);
        EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_REJECT);
        EXPECT_EQ(eap_in_reply(req), eap);
    }
}

TEST_F(CleanReject, RefusedInnerRequestIsRecordedOnceForItsOuterCopy)
{
    fakecore::set_verdict(kReject);
    qz_request inner = request(kAccept, "");
    fake::add(inner, 1, "127.0.0.1", 11344);  // FreeRADIUS-Proxied-To
    EXPECT_EQ(qz_module_post_auth(&inst, &inner), QZ_RLM_REJECT);
    EXPECT_EQ(reject_section(inner), QZ_RLM_NOOP);
    EXPECT_EQ(proxied_entries(), 1u);

    // The outer copy, rejected by the server in turn, is skipped once.
    qz_request outer = request(kReject, "");
    EXPECT_EQ(qz_module_post_auth(&inst, &outer), QZ_RLM_OK);
    EXPECT_EQ(proxied_entries(), 0u);
    EXPECT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond"}));
}

TEST_F(CleanReject, ServerThatLeavesRejectsToTheModuleGetsTheRejectCode)
{
    fake::set_server_rejects(false);
    fakecore::set_verdict(kReject);
    qz_request req = request(kAccept);
    EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_REJECT);
    EXPECT_EQ(req.reply_code, kReject);
    EXPECT_EQ(eap_in_reply(req), kEapSuccess);
    EXPECT_EQ(fakecore::calls()[1].reply_code, kReject);
}

} // namespace
