// The outer copy of a PEAP/TTLS tunnel's inner request is skipped, the inner
// one having been decided; nothing else is. The entry the inner request
// leaves names only a port and a MAC: an abandoned tunnel or another session
// on the same port must not turn a refusal into the server's Accept.
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
const std::string kNas = "10.1.2.3";
const std::string kMac = "00-0f-1f-aa-bb-cc";
constexpr uint32_t kPort = 17;

class TunnelCopy : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fakecore::reset();
        fake::set_server_rejects(true);
        fake::set_session_state(true);
        ASSERT_EQ(qz_sessions_create(&inst), 0);
    }
    void TearDown() override { qz_module_forget_sessions(&inst); }

    // The inner request of the tunnel whose outer request is `outer`, with
    // the switch's attributes and the loopback mark the inner-tunnel policy
    // gives it.
    static qz_request inner_of(qz_request &outer, const std::string &user)
    {
        qz_request inner = fake::access_request(kNas, kPort, kMac, user);
        fake::add(inner, 1, "127.0.0.1", 11344);  // FreeRADIUS-Proxied-To
        inner.parent = &outer;
        return inner;
    }

    static qz_request outer_round(const std::string &user, int reply_code = kAccept)
    {
        return fake::access_request(kNas, kPort, kMac, user, reply_code);
    }

    size_t proxied_entries() const { return modtest::proxied_entries(inst); }

    rlm_qzovx_t inst{};
};

TEST_F(TunnelCopy, OuterRequestOfTheDecidedSessionIsSkipped)
{
    qz_request challenge_round = outer_round("anonymous", 11);
    qz_request inner = inner_of(challenge_round, "alice");
    EXPECT_EQ(qz_module_post_auth(&inst, &inner), QZ_RLM_UPDATED);
    EXPECT_EQ(qz_module_post_auth(&inst, &challenge_round), QZ_RLM_OK);  // a challenge
    ASSERT_EQ(proxied_entries(), 1u);

    // The final round is a new request that carries the session's state.
    qz_request final_round = outer_round("anonymous");
    final_round.session_state = challenge_round.session_state;
    fakecore::set_verdict(kReject);  // would refuse the outer identity
    EXPECT_EQ(qz_module_post_auth(&inst, &final_round), QZ_RLM_OK);
    EXPECT_EQ(final_round.reply_code, kAccept);
    EXPECT_EQ(proxied_entries(), 0u);
    EXPECT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond"}));
}

// The supplicant leaves the tunnel after its inner request was decided; the
// device on that port and MAC then comes by MAB (or PAP, or EAP-TLS), and
// the DM refuses it.
TEST_F(TunnelCopy, EntryOfAnAbandonedTunnelDoesNotBypassTheDm)
{
    qz_request abandoned = outer_round("anonymous", 11);
    qz_request inner = inner_of(abandoned, "alice");
    EXPECT_EQ(qz_module_post_auth(&inst, &inner), QZ_RLM_UPDATED);
    ASSERT_EQ(proxied_entries(), 1u);

    qz_request mab = fake::access_request(kNas, kPort, kMac, "00-0F-1F-AA-BB-CC");
    fakecore::set_verdict(kReject);
    EXPECT_EQ(qz_module_post_auth(&inst, &mab), QZ_RLM_REJECT);
    EXPECT_EQ(mab.reply_code, kAccept) << "left for the server's reject section";
    EXPECT_EQ(proxied_entries(), 0u) << "the stale entry is dropped";
    EXPECT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond", "ovxauthorize", "ovxrespond"}));
    EXPECT_TRUE(fake::logged("rlm_qzovx: no inner request of this session was decided for "
                             "10.1.2.31700-0F-1F-AA-BB-CC, dropped the entry another session left; "
                             "asking the DM"));
}

// Two sessions of one port and MAC at once: a tunnel and an EAP-TLS login
// the DM refuses, their rounds interleaved either way.
TEST_F(TunnelCopy, ConcurrentSessionsOnOneRequestIdAreEachDecided)
{
    for (bool tls_first : {true, false}) {
        SCOPED_TRACE(tls_first ? "EAP-TLS ends first" : "tunnel ends first");
        fakecore::reset();
        qz_request challenge_round = outer_round("anonymous", 11);
        qz_request inner = inner_of(challenge_round, "alice");
        fakecore::set_verdict(0);
        EXPECT_EQ(qz_module_post_auth(&inst, &inner), QZ_RLM_UPDATED);

        qz_request tls = outer_round("mallory");
        qz_request final_round = outer_round("anonymous");
        final_round.session_state = challenge_round.session_state;
        fakecore::set_verdict(kReject);
        if (tls_first) {
            EXPECT_EQ(qz_module_post_auth(&inst, &tls), QZ_RLM_REJECT);
            EXPECT_EQ(qz_module_post_auth(&inst, &final_round), QZ_RLM_OK);
        } else {
            EXPECT_EQ(qz_module_post_auth(&inst, &final_round), QZ_RLM_OK);
            EXPECT_EQ(qz_module_post_auth(&inst, &tls), QZ_RLM_REJECT);
        }
        EXPECT_EQ(proxied_entries(), 0u);
        ASSERT_EQ(fakecore::calls().size(), 4u);
        EXPECT_EQ(fakecore::calls()[2].request, &tls);
    }
}

// Only the session the inner request ran in is marked, and only for its
// request id.
TEST_F(TunnelCopy, MarkBelongsToOneSessionAndOneRequestId)
{
    qz_request challenge_round = outer_round("anonymous", 11);
    qz_request inner = inner_of(challenge_round, "alice");
    EXPECT_EQ(qz_module_post_auth(&inst, &inner), QZ_RLM_UPDATED);
    EXPECT_EQ(srv_outer_session_marked(&challenge_round, "10.1.2.31700-0F-1F-AA-BB-CC"), 1);
    EXPECT_EQ(srv_outer_session_marked(&challenge_round, "10.1.2.31800-0F-1F-AA-BB-CC"), 0);
    EXPECT_EQ(srv_outer_session_marked(&inner, "10.1.2.31700-0F-1F-AA-BB-CC"), 0);

    // The same session's state on a request from another port is not a copy.
    qz_request elsewhere = fake::access_request(kNas, 18, kMac, "anonymous");
    elsewhere.session_state = challenge_round.session_state;
    fakecore::set_verdict(kReject);
    EXPECT_EQ(qz_module_post_auth(&inst, &elsewhere), QZ_RLM_REJECT);
}

// A server without session state (the 1.0 series) tells the copy by the
// entry alone, as it always has.
TEST_F(TunnelCopy, WithoutSessionStateTheEntryAloneTellsTheCopy)
{
    fake::set_session_state(false);
    qz_request outer = outer_round("anonymous");
    qz_request inner = inner_of(outer, "alice");
    EXPECT_EQ(qz_module_post_auth(&inst, &inner), QZ_RLM_UPDATED);
    fakecore::set_verdict(kReject);
    EXPECT_EQ(qz_module_post_auth(&inst, &outer), QZ_RLM_OK);
    EXPECT_EQ(proxied_entries(), 0u);
    qz_request next = outer_round("anonymous");
    EXPECT_EQ(qz_module_post_auth(&inst, &next), QZ_RLM_REJECT);
}

}  // namespace
