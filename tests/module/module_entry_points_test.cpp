// The entry points: checks, the handle given to the core, and the mapping
// of the core's verdict to the reply code and the module result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_core.h"
#include "fake_server.h"
#include "module_internal.h"
#include "ovxModuleAPI.h"

namespace {

using Strings = std::vector<std::string>;

class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fakecore::reset();
        ASSERT_EQ(qz_sessions_create(&inst), 0);
    }
    void TearDown() override { qz_module_forget_sessions(&inst); }

    static qz_request accept(uint32_t port = 17, const std::string &user = "bob")
    {
        return fake::access_request("10.1.2.3", port, "00-0f-1f-aa-bb-cc", user, 2);
    }

    static qz_request accounting(uint32_t status, uint32_t port = 17)
    {
        qz_request req;
        req.code = 4;
        fake::add(req, 4, "10.1.2.3");
        fake::add_int(req, 5, port);
        fake::add(req, 31, "00-0f-1f-aa-bb-cc");
        fake::add(req, 44, "acct-1");
        fake::add_int(req, 40, status);
        return req;
    }

    size_t sessions() const
    {
        size_t n = 0;
        for (const usermap *e = inst.sessions2users; e != nullptr; e = e->next)
            ++n;
        return n;
    }

    rlm_qzovx_t inst{};
};

TEST_F(EntryPoints, StartRegistersTheCallbacksInOrder)
{
    EXPECT_EQ(qz_module_init(), 0);
    EXPECT_TRUE(fake::logged("    rlm_qzovx: init() called"));
    qz_module_start(&inst);
    EXPECT_EQ(inst.hashsize, 100000);
    const std::vector<std::pair<std::string, int>> expected = {
        {"ovxgetRequest", 10}, {"ovxgetRequestType", 16}, {"ovxgetResponse", 9},
        {"ovxgetResponseType", 24}, {"ovxprintAttributes", 7}, {"ovxgetRequestAttributes", 11},
        {"ovxFindFirstAttribute", 3}, {"ovxreplaceFirstAttribute", 6}, {"ovxgetControlPoint", 8},
        {"ovxGetControlPointName", 21}, {"ovxgetSendSemaphore", 17}, {"ovxgetRecvSemaphore", 18},
        {"ovxwaitOnObject", 19}, {"ovxreleaseObject", 13}, {"ovxGetServerInfo", 20},
        {"ovxsetUserAccess", 23}, {"ovxgetUserAccess", 22}, {"ovxaddVSA", 25},
        {"ovxgetAttributeAsStringByRef", 28}, {"ovxgetAttributeAsString", 27}, {"ovxgetVSAByRef", 30}};
    EXPECT_EQ(fakecore::registrations(), expected);
}

TEST_F(EntryPoints, PostAuthAcceptFollowsTheVerdict)
{
    struct Case {
        int verdict;
        int result;
        int reply;
    } cases[] = {{2, QZ_RLM_UPDATED, 2}, {0, QZ_RLM_UPDATED, 2}, {3, QZ_RLM_REJECT, 3}};
    for (const Case &c : cases) {
        fakecore::reset();
        fakecore::set_verdict(c.verdict);
        fakecore::on_authorize([](freeradius_wrapper *w) {
            w->user_access->src = 9;  // what the DM's answer may set
            w->user_access->return_code = 5;
        });
        qz_request req = accept();
        EXPECT_EQ(qz_module_post_auth(&inst, &req), c.result) << c.verdict;
        EXPECT_EQ(req.reply_code, c.reply);
        ASSERT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond"}));
        const fakecore::Call &auth = fakecore::calls()[0];
        const fakecore::Call &respond = fakecore::calls()[1];
        EXPECT_EQ(auth.control_point, 1);
        EXPECT_TRUE(auth.has_user_access);
        EXPECT_EQ(auth.src, 0u);
        EXPECT_EQ(auth.return_code, 0u);
        EXPECT_EQ(respond.src, 9u);  // left as the core set them
        EXPECT_EQ(respond.return_code, 5u);
        EXPECT_EQ(respond.reply_code, c.reply);  // settled before the reply is built
        EXPECT_EQ(respond.ovx_status, c.verdict);
    }
}

TEST_F(EntryPoints, PostAuthRejectStaysRejectWithSourceAndReturnCode)
{
    for (int verdict : {0, 2, 3}) {
        fakecore::reset();
        fakecore::set_verdict(verdict);
        qz_request req = accept(17);
        req.reply_code = 3;
        EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_REJECT);
        EXPECT_EQ(req.reply_code, 3);
        ASSERT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond"}));
        EXPECT_EQ(fakecore::calls()[1].src, 4u);
        EXPECT_EQ(fakecore::calls()[1].return_code, 1u);
    }
}

TEST_F(EntryPoints, PostAuthHandsTheWrapperAndCachesTheUser)
{
    fakecore::on_authorize([this](freeradius_wrapper *w) {
        // The user is in the map before the core asks for it.
        char name[OVX_VALUE_BUFFER] = {};
        EXPECT_TRUE(qzmod::lookup_session_user(w, name));
        EXPECT_STREQ(name, "bob");
        EXPECT_EQ(w->instance, &inst);
        EXPECT_EQ(w->numattrs, 0);
    });
    qz_request req = accept();
    qz_module_post_auth(&inst, &req);
    ASSERT_EQ(fakecore::calls().size(), 2u);
    EXPECT_EQ(fakecore::calls()[0].request, &req);
    EXPECT_EQ(fakecore::calls()[1].instance, &inst);
    EXPECT_EQ(sessions(), 1u);
    for (const char *line : {"qzovx: entered qzovx_post_auth", "rlm_qzovx: request is not proxied, looking for previous copy reqqid: 10.1.2.31700-0F-1F-AA-BB-CC",
                             "qzovx:authorize starting..", "    rlm_qzovx: calling ovxauthorize", "qzovx: set CP"})
        EXPECT_TRUE(fake::logged(line)) << line;
}

TEST_F(EntryPoints, PostAuthLeavesWhatItCannotHandle)
{
    EXPECT_EQ(qz_module_post_auth(&inst, nullptr), QZ_RLM_NOOP);
    EXPECT_TRUE(fake::logged("rlm_qzovx received NULL request, cannot process!"));

    qz_request no_reply = accept();
    no_reply.has_reply = false;
    EXPECT_EQ(qz_module_post_auth(&inst, &no_reply), QZ_RLM_NOOP);
    EXPECT_TRUE(fake::logged("rlm_qzovx received request without reply, cannot process!"));

    qz_request challenge = accept();
    challenge.reply_code = 11;
    fake::clear_log();
    EXPECT_EQ(qz_module_post_auth(&inst, &challenge), QZ_RLM_OK);
    EXPECT_EQ(fake::log_lines(), (Strings{"qzovx: entered qzovx_post_auth"}));

    qz_request no_record = accept();
    no_record.has_username = false;
    EXPECT_EQ(qz_module_post_auth(&inst, &no_record), QZ_RLM_OK);
    EXPECT_TRUE(fake::logged("    qzovx: Proxy reply, or no User-Name.  Ignoring."));

    EXPECT_TRUE(fakecore::calls().empty());
    EXPECT_EQ(sessions(), 0u);
}

TEST_F(EntryPoints, PostAuthNamesTheFirstMissingAttribute)
{
    const std::pair<unsigned, const char *> cases[] = {
        {4, "rlm_qzovx: request does not contain NAS-Ip-Address, cannot process this reply"},
        {5, "rlm_qzovx: request does not contain NAS-Port, cannot process this reply"},
        {31, "rlm_qzovx: request does not contain Calling-Station-Id, cannot process this reply"},
        {1, "rlm_qzovx: request does not contain User-Name, cannot process this reply"},
    };
    for (const auto &c : cases) {
        fake::clear_log();
        qz_request req = accept();
        for (auto it = req.request_vps.begin(); it != req.request_vps.end(); ++it)
            if (it->attribute == c.first) {
                req.request_vps.erase(it);
                break;
            }
        EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_OK);
        EXPECT_TRUE(fake::logged(c.second)) << c.second;
        EXPECT_EQ(fake::log_lines().size(), 2u);  // entered + the one missing
    }
    EXPECT_TRUE(fakecore::calls().empty());
}

TEST_F(EntryPoints, LoopbackProxiedCopyIsSkippedOnce)
{
    qz_request proxied = accept();
    fake::add(proxied, 1, "127.0.0.1", 11344);
    EXPECT_EQ(qz_module_post_auth(&inst, &proxied), QZ_RLM_UPDATED);
    EXPECT_TRUE(fake::logged("qzovx: found proxied request"));
    EXPECT_TRUE(fake::logged("qzovx: request proxied to: 127.0.0.1"));
    EXPECT_EQ(fakecore::calls().size(), 2u);

    qz_request copy = accept();
    EXPECT_EQ(qz_module_post_auth(&inst, &copy), QZ_RLM_OK);
    EXPECT_EQ(fakecore::calls().size(), 2u);  // the core was not asked
    EXPECT_EQ(copy.reply_code, 2);

    qz_request third = accept();
    EXPECT_EQ(qz_module_post_auth(&inst, &third), QZ_RLM_UPDATED);
    EXPECT_EQ(fakecore::calls().size(), 4u);
}

TEST_F(EntryPoints, ProxiedElsewhereIsProcessedAndNotRecorded)
{
    const char *addresses[] = {"10.9.9.9", "127.0.0.10", "127.0.0.1.and.a.long.tail"};
    for (const char *address : addresses) {
        qz_request proxied = accept();
        fake::add(proxied, 1, address, 11344);
        EXPECT_EQ(qz_module_post_auth(&inst, &proxied), QZ_RLM_UPDATED) << address;
    }
    EXPECT_TRUE(fake::logged("qzovx: request proxied to: 127.0.0.1.and.a")); // cut to 15
    EXPECT_EQ(inst.sessionlist, nullptr);
    qz_request copy = accept();
    EXPECT_EQ(qz_module_post_auth(&inst, &copy), QZ_RLM_UPDATED);
}

TEST_F(EntryPoints, AuthorizeActsOnlyOnCodeThree)
{
    qz_request request = accept();
    EXPECT_EQ(qz_module_authorize(&inst, &request), QZ_RLM_NOOP);
    EXPECT_TRUE(fakecore::calls().empty());
    EXPECT_EQ(request.reply_code, 2);
    EXPECT_EQ(qz_module_authorize(&inst, nullptr), QZ_RLM_NOOP);

    request.code = 3;
    fakecore::set_verdict(2);
    EXPECT_EQ(qz_module_authorize(&inst, &request), QZ_RLM_REJECT);
    EXPECT_EQ(request.reply_code, 3);
    ASSERT_EQ(fakecore::entries(), (Strings{"ovxauthorize", "ovxrespond"}));
    EXPECT_EQ(fakecore::calls()[0].control_point, 1);
    EXPECT_EQ(fakecore::calls()[1].src, 4u);
    EXPECT_EQ(fakecore::calls()[1].return_code, 1u);
}

TEST_F(EntryPoints, AccountingStopEndsTheSession)
{
    qz_request auth = accept();
    qz_module_post_auth(&inst, &auth);
    ASSERT_EQ(sessions(), 1u);

    for (uint32_t status : {1u, 3u}) {
        qz_request req = accounting(status);
        EXPECT_EQ(qz_module_accounting(&inst, &req), QZ_RLM_OK);
        EXPECT_EQ(sessions(), 1u) << status;
    }
    qz_request other_port = accounting(2, 18);
    EXPECT_EQ(qz_module_accounting(&inst, &other_port), QZ_RLM_OK);
    EXPECT_EQ(sessions(), 1u);

    qz_request stop = accounting(2);
    fakecore::reset();
    EXPECT_EQ(qz_module_accounting(&inst, &stop), QZ_RLM_OK);
    EXPECT_EQ(sessions(), 0u);
    ASSERT_EQ(fakecore::entries(), (Strings{"ovxaccount"}));
    EXPECT_EQ(fakecore::calls()[0].control_point, 4);
    EXPECT_TRUE(fake::logged("    rlm_qzovx: calling ovxaccount"));
}

TEST_F(EntryPoints, AccountingSkipsWhatIsNotForIt)
{
    EXPECT_EQ(qz_module_accounting(&inst, nullptr), QZ_RLM_NOOP);
    EXPECT_TRUE(fake::logged("rlm_qzovx received NULL accounting request, cannot process!"));

    qz_request no_reply = accounting(1);
    no_reply.has_reply = false;
    EXPECT_EQ(qz_module_accounting(&inst, &no_reply), QZ_RLM_NOOP);
    EXPECT_TRUE(fake::logged("rlm_qzovx received accounting request without reply, cannot process!"));

    qz_request not_accounting = accounting(1);
    not_accounting.code = 1;
    EXPECT_EQ(qz_module_accounting(&inst, &not_accounting), QZ_RLM_NOOP);
    EXPECT_TRUE(fake::logged("    rlm_qzovx: getRequestType called:"));

    qz_request proxying = accounting(1);
    proxying.proxying = true;
    EXPECT_EQ(qz_module_accounting(&inst, &proxying), QZ_RLM_NOOP);

    const std::pair<unsigned, const char *> cases[] = {
        {4, "rlm_qzovx: request does not contain NAS-Ip-Address, cannot process this reply"},
        {5, "rlm_qzovx: request does not contain NAS-Port, cannot process this reply"},
        {44, "rlm_qzovx: request does not contain Acct-Session-Id, cannot process this reply"},
    };
    for (const auto &c : cases) {
        qz_request req = accounting(1);
        for (auto it = req.request_vps.begin(); it != req.request_vps.end(); ++it)
            if (it->attribute == c.first) {
                req.request_vps.erase(it);
                break;
            }
        EXPECT_EQ(qz_module_accounting(&inst, &req), QZ_RLM_OK);
        EXPECT_TRUE(fake::logged(c.second)) << c.second;
    }
    EXPECT_TRUE(fakecore::calls().empty());
}

TEST_F(EntryPoints, LogGates)
{
    // Routine traces need level 2; messages that end a request need level 1.
    for (int level : {0, 1, 2}) {
        fake::set_debug_level(level);
        fake::clear_log();
        qz_module_post_auth(&inst, nullptr);
        qz_request challenge = accept();
        challenge.reply_code = 11;
        qz_module_post_auth(&inst, &challenge);
        Strings expected;
        if (level > 1)
            expected.push_back("qzovx: entered qzovx_post_auth");
        if (level != 0)
            expected.push_back("rlm_qzovx received NULL request, cannot process!");
        if (level > 1)
            expected.push_back("qzovx: entered qzovx_post_auth");
        EXPECT_EQ(fake::log_lines(), expected) << level;
    }
}

}  // namespace

namespace {

// The library reports an accounting event it could not deliver with -1: the
// server must see a failure (so the switch sends it again), and a Stop must
// leave the session for that retry.
TEST_F(EntryPoints, UndeliveredAccountingFailsAndKeepsTheSession)
{
    qz_request auth = accept();
    qz_module_post_auth(&inst, &auth);
    ASSERT_EQ(sessions(), 1u);

    fakecore::set_account_result(-1);
    for (uint32_t status : {1u, 3u, 2u}) {
        qz_request req = accounting(status);
        EXPECT_EQ(qz_module_accounting(&inst, &req), QZ_RLM_FAIL) << status;
    }
    EXPECT_EQ(sessions(), 1u);
    EXPECT_TRUE(fake::logged("rlm_qzovx: accounting request not delivered to the DM"));

    fakecore::set_account_result(0);
    qz_request retry = accounting(2);
    EXPECT_EQ(qz_module_accounting(&inst, &retry), QZ_RLM_OK);
    EXPECT_EQ(sessions(), 0u);
}

}  // namespace
