// The session map (request id -> user name) and the proxied-session list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fake_server.h"
#include "module_internal.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

class SessionMap : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        ASSERT_EQ(qz_sessions_create(&inst), 0);
    }
    void TearDown() override { qz_module_forget_sessions(&inst); }

    // A request for port `port` of switch 10.0.0.1, client MAC "m".
    void cache(uint32_t port, const std::string &user)
    {
        qz_request req = fake::access_request("10.0.0.1", port, "m", user);
        freeradius_wrapper w = wrap(req);
        cacheSession(&w);
    }

    void remove(uint32_t port)
    {
        qz_request req = fake::access_request("10.0.0.1", port, "m", "ignored");
        freeradius_wrapper w = wrap(req);
        removeSession(&w);
    }

    freeradius_wrapper wrap(qz_request &req)
    {
        freeradius_wrapper w{};
        w.request = &req;
        w.instance = &inst;
        return w;
    }

    Entries entries() const
    {
        Entries out;
        for (const usermap *e = inst.sessions2users; e != nullptr; e = e->next)
            out.emplace_back(usermap_sessid(e), usermap_username(e));
        return out;
    }

    std::vector<std::string> proxied() const
    {
        std::vector<std::string> out;
        for (const sessionlist *n = inst.sessionlist; n != nullptr; n = n->next)
            out.emplace_back(n->sessid);
        return out;
    }

    rlm_qzovx_t inst{};
};

TEST_F(SessionMap, AddsAtHeadThenAppendsAndUpdatesInPlace)
{
    cache(1, "ann");
    EXPECT_TRUE(fake::logged("rlm_qzovx: Adding user at head"));
    cache(2, "bob");
    cache(3, "cid");
    cache(2, "bea");
    EXPECT_EQ(entries(), (Entries{{"10.0.0.11M", "ann"}, {"10.0.0.12M", "bea"}, {"10.0.0.13M", "cid"}}));
    // The whole map is traced after each change.
    EXPECT_TRUE(fake::logged("rlm_qzovx: current session map:"));
    EXPECT_TRUE(fake::logged("rlm_qzovx: 10.0.0.12M bea"));
}

TEST_F(SessionMap, NothingCachedWithoutUserNameRecordOrId)
{
    qz_request no_record = fake::access_request("10.0.0.1", 1, "m", "ann");
    no_record.has_username = false;
    freeradius_wrapper w = wrap(no_record);
    cacheSession(&w);

    qz_request no_id;
    fake::set_user(no_id, "bob");
    w = wrap(no_id);
    cacheSession(&w);
    EXPECT_TRUE(entries().empty());
}

TEST_F(SessionMap, LongUserNameIsCutTo254)
{
    cache(1, std::string(300, 'u'));
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].second, std::string(254, 'u'));
}

TEST_F(SessionMap, RemovalKeepsTheOthersLinked)
{
    for (uint32_t port = 1; port <= 4; ++port)
        cache(port, "u" + std::to_string(port));

    remove(3);  // middle
    EXPECT_EQ(entries(), (Entries{{"10.0.0.11M", "u1"}, {"10.0.0.12M", "u2"}, {"10.0.0.14M", "u4"}}));
    remove(1);  // head
    EXPECT_EQ(entries(), (Entries{{"10.0.0.12M", "u2"}, {"10.0.0.14M", "u4"}}));
    remove(4);  // tail
    EXPECT_EQ(entries(), (Entries{{"10.0.0.12M", "u2"}}));
    remove(9);  // unknown
    EXPECT_EQ(entries(), (Entries{{"10.0.0.12M", "u2"}}));
    remove(2);
    EXPECT_TRUE(entries().empty());
    remove(2);  // empty map
    EXPECT_TRUE(entries().empty());
}

TEST_F(SessionMap, RemovalWithoutRequestIdChangesNothing)
{
    cache(1, "ann");
    qz_request no_id;
    fake::add(no_id, 4, "10.0.0.1");
    freeradius_wrapper w = wrap(no_id);
    removeSession(&w);
    EXPECT_EQ(entries().size(), 1u);
}

TEST_F(SessionMap, LookupFindsTheCachedUser)
{
    cache(1, "ann");
    cache(2, "bob");
    qz_request req = fake::access_request("10.0.0.1", 2, "m", "other");
    freeradius_wrapper w = wrap(req);
    char ref[QZ_ID_BUFFER] = {};
    fake::clear_log();
    EXPECT_TRUE(qzmod::lookup_session_user(&w, ref));
    EXPECT_STREQ(ref, "bob");
    EXPECT_TRUE(fake::logged("rlm_qzovx: getting username, searching cache, examining: 10.0.0.11M ann"));

    qz_request unknown = fake::access_request("10.0.0.1", 7, "m", "other");
    w = wrap(unknown);
    char untouched[QZ_ID_BUFFER] = {};
    EXPECT_FALSE(qzmod::lookup_session_user(&w, untouched));
    EXPECT_STREQ(untouched, "");
    EXPECT_TRUE(fake::logged("rlm_qzovx: username not found for session: 10.0.0.17M"));
}

TEST_F(SessionMap, ProxiedIdRecordedTwiceIsConsumedTwice)
{
    qzmod::record_proxied_session(&inst, nullptr, "A");
    EXPECT_TRUE(fake::logged("qzovx: ,marking proxied request A as handled at head"));
    qzmod::record_proxied_session(&inst, nullptr, "A");
    EXPECT_TRUE(fake::logged("rlm_qzovx: session list is valid.. walking A"));
    EXPECT_TRUE(fake::logged("qzovx: ,marking proxied request A as handled"));
    EXPECT_EQ(proxied(), (std::vector<std::string>{"A", "A"}));

    EXPECT_TRUE(qzmod::consume_proxied_session(&inst, nullptr, "A"));
    EXPECT_TRUE(fake::logged("rlm_qzovx: list has >1, adjusting"));
    EXPECT_TRUE(qzmod::consume_proxied_session(&inst, nullptr, "A"));
    EXPECT_FALSE(qzmod::consume_proxied_session(&inst, nullptr, "A"));
    EXPECT_TRUE(proxied().empty());
}

TEST_F(SessionMap, ConsumingFromTheMiddleKeepsTheRest)
{
    for (const char *id : {"A", "B", "C"})
        qzmod::record_proxied_session(&inst, nullptr, id);
    EXPECT_FALSE(qzmod::consume_proxied_session(&inst, nullptr, "Z"));
    EXPECT_TRUE(fake::logged("qzovx: comparing reqid Z to sessid C"));
    EXPECT_TRUE(qzmod::consume_proxied_session(&inst, nullptr, "B"));
    EXPECT_EQ(proxied(), (std::vector<std::string>{"A", "C"}));
    EXPECT_TRUE(qzmod::consume_proxied_session(&inst, nullptr, "C"));
    EXPECT_EQ(proxied(), (std::vector<std::string>{"A"}));
}

TEST_F(SessionMap, ForgettingEmptiesBothLists)
{
    cache(1, "ann");
    cache(2, "bob");
    qzmod::record_proxied_session(&inst, nullptr, "A");
    qzmod::record_proxied_session(&inst, nullptr, "B");
    qz_module_forget_sessions(&inst);
    EXPECT_EQ(inst.sessions2users, nullptr);
    EXPECT_EQ(inst.sessionlist, nullptr);
    // Under the address sanitizer a missed node shows up as a leak.
}

}  // namespace
