// The session map at scale and under parallel requests: the bound and its
// eviction order, lookups that do not walk the map, failed logins that leave
// it alone, and one instance used by many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_core.h"
#include "fake_server.h"
#include "module_internal.h"
#include "ovxModuleAPI.h"
#include "session_index.h"

extern "C" void *ovxgetAttributeAsStringByRef(int, int, void *, void *);

namespace {

class SessionScale : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fakecore::reset();
    }
    void TearDown() override { qz_module_forget_sessions(&inst); }

    void start(uint32_t max_sessions)
    {
        inst.max_sessions = max_sessions;
        ASSERT_EQ(qz_sessions_create(&inst), 0);
    }

    static qz_request request(uint32_t port, const std::string &user, int reply_code = 2)
    {
        return fake::access_request("10.9.8.7", port, "aa-bb", user, reply_code);
    }

    static std::string id(uint32_t port) { return "10.9.8.7" + std::to_string(port) + "AA-BB"; }

    // What the session map holds for port's id ("" when nothing).
    std::string user_of(uint32_t port)
    {
        qz_request req = request(port, "asker");
        freeradius_wrapper w{};
        w.request = &req;
        w.instance = &inst;
        char name[QZ_ID_BUFFER] = {};
        return qzmod::lookup_session_user(&w, name) ? name : "";
    }

    std::vector<std::string> listing() const
    {
        std::vector<std::string> out;
        for (const usermap *e = inst.sessions2users; e != nullptr; e = e->next)
            out.push_back(std::string(usermap_sessid(e)) + " " + usermap_username(e));
        return out;
    }

    // The user name the core reads for the request during its exchange.
    static std::string user_seen_by_core(qz_request &req, rlm_qzovx_t *inst)
    {
        std::string seen;
        fakecore::on_authorize([&seen](freeradius_wrapper *w) {
            char name[OVX_VALUE_BUFFER] = {};
            ovxgetAttributeAsStringByRef(OVX_ATTR_USER_NAME, OVX_PACKET_REQUEST, w, name);
            seen = name;
        });
        qz_module_post_auth(inst, &req);
        fakecore::on_authorize(nullptr);
        return seen;
    }

    rlm_qzovx_t inst{};
};

TEST_F(SessionScale, FullMapDropsTheLeastRecentlyAuthorized)
{
    start(3);
    for (uint32_t port = 1; port <= 3; ++port) {
        qz_request req = request(port, "u" + std::to_string(port));
        EXPECT_EQ(qz_module_post_auth(&inst, &req), QZ_RLM_UPDATED);
    }
    // Port 1 authorizes again: port 2 is now the least recent. Its place in
    // the listing stays where it was first recorded.
    qz_request again = request(1, "u1b");
    qz_module_post_auth(&inst, &again);
    fake::clear_log();
    qz_request fourth = request(4, "u4");
    qz_module_post_auth(&inst, &fourth);

    EXPECT_EQ(listing(), (std::vector<std::string>{id(1) + " u1b", id(3) + " u3", id(4) + " u4"}));
    EXPECT_TRUE(fake::logged("rlm_qzovx: session map full (3 entries), dropping least recently authorized " + id(2) +
                             " u2"));
    size_t evictions = 0;
    for (const std::string &line : fake::log_lines())
        evictions += line.find("dropping least recently authorized") != std::string::npos;
    EXPECT_EQ(evictions, 1u);

    // Entries the map can hold are never dropped.
    qz_request update = request(3, "u3b");
    qz_module_post_auth(&inst, &update);
    EXPECT_EQ(listing().size(), 3u);
    EXPECT_EQ(user_of(4), "u4");
}

TEST_F(SessionScale, EvictionIsSilentBelowDebugTwo)
{
    start(1);
    fake::set_debug_level(1);
    for (uint32_t port = 1; port <= 3; ++port) {
        qz_request req = request(port, "u");
        qz_module_post_auth(&inst, &req);
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{id(3) + " u"}));
    for (const std::string &line : fake::log_lines())
        EXPECT_EQ(line.find("dropping"), std::string::npos) << line;
}

TEST_F(SessionScale, LookupsFindEntriesWithoutWalkingUnlessListing)
{
    start(QZ_DEFAULT_MAX_SESSIONS);
    fake::set_debug_level(1);
    constexpr uint32_t kSessions = 20000;  // several growths of the index
    for (uint32_t port = 1; port <= kSessions; ++port) {
        qz_request req = request(port, "user" + std::to_string(port));
        freeradius_wrapper w{};
        w.request = &req;
        w.instance = &inst;
        cacheSession(&w);
    }
    fake::clear_log();
    for (uint32_t port : {1u, 777u, kSessions})
        EXPECT_EQ(user_of(port), "user" + std::to_string(port));
    EXPECT_EQ(user_of(kSessions + 1), "");
    for (const std::string &line : fake::log_lines())
        EXPECT_EQ(line.find("examining"), std::string::npos) << line;

    // With the listing on, the walk and its lines are as they always were.
    fake::set_debug_level(2);
    fake::clear_log();
    EXPECT_EQ(user_of(2), "user2");
    EXPECT_EQ(fake::log_lines().size(), 3u);  // the id line, then entries 1 and 2
    EXPECT_TRUE(fake::logged("rlm_qzovx: getting username, searching cache, examining: " + id(2) + " user2"));

    for (uint32_t port = 1; port <= kSessions; port += 2) {
        qz_request stop = request(port, "");
        freeradius_wrapper w{};
        w.request = &stop;
        w.instance = &inst;
        removeSession(&w);
    }
    EXPECT_EQ(listing().size(), kSessions / 2);
    EXPECT_EQ(user_of(1), "");
    EXPECT_EQ(user_of(2), "user2");
}

TEST_F(SessionScale, FailedLoginDoesNotTakeTheSessionOver)
{
    start(QZ_DEFAULT_MAX_SESSIONS);
    qz_request alice = request(17, "alice");
    EXPECT_EQ(user_seen_by_core(alice, &inst), "alice");

    // bob fails on the same port and MAC: the server rejects him, then the
    // DM refuses him. Each exchange names bob, the session stays alice's.
    qz_request bob = request(17, "bob", 3);
    EXPECT_EQ(user_seen_by_core(bob, &inst), "bob");
    EXPECT_EQ(user_of(17), "alice");
    fakecore::set_verdict(3);
    qz_request bob_again = request(17, "bob");
    EXPECT_EQ(user_seen_by_core(bob_again, &inst), "bob");
    EXPECT_EQ(bob_again.reply_code, 3);
    EXPECT_EQ(user_of(17), "alice");

    // A failed login where there was no session leaves none.
    qz_request stranger = request(18, "mallory", 3);
    EXPECT_EQ(user_seen_by_core(stranger, &inst), "mallory");
    EXPECT_EQ(user_of(18), "");
    EXPECT_EQ(listing(), (std::vector<std::string>{id(17) + " alice"}));

    // An Accept records the new user, as always.
    fakecore::set_verdict(2);
    qz_request carol = request(17, "carol");
    EXPECT_EQ(user_seen_by_core(carol, &inst), "carol");
    EXPECT_EQ(user_of(17), "carol");
}

TEST_F(SessionScale, OthersDoNotSeeAUserBeforeTheAccept)
{
    start(QZ_DEFAULT_MAX_SESSIONS);
    qz_request alice = request(17, "alice");
    qz_module_post_auth(&inst, &alice);

    // While bob's exchange runs, alice's accounting on the port still reads alice.
    std::string seen_by_other;
    fakecore::on_authorize([&](freeradius_wrapper *) { seen_by_other = user_of(17); });
    qz_request bob = request(17, "bob");
    qz_module_post_auth(&inst, &bob);
    EXPECT_EQ(seen_by_other, "alice");
    EXPECT_EQ(user_of(17), "bob");
}

TEST_F(SessionScale, ListingShowsTheUserBeingRecorded)
{
    start(QZ_DEFAULT_MAX_SESSIONS);
    qz_request alice = request(1, "alice");
    qz_module_post_auth(&inst, &alice);
    fake::clear_log();
    qz_request bob = request(2, "bob", 3);
    qz_module_post_auth(&inst, &bob);
    const std::vector<std::string> want = {"rlm_qzovx: current session map:", "rlm_qzovx: " + id(1) + " alice",
                                           "rlm_qzovx: " + id(2) + " bob"};
    const auto &lines = fake::log_lines();
    auto at = std::search(lines.begin(), lines.end(), want.begin(), want.end());
    EXPECT_NE(at, lines.end());
    EXPECT_FALSE(fake::logged("rlm_qzovx: Adding user at head"));
}

// Many threads on one instance: authorizations, failed logins, accounting
// Stops and proxied copies. The lists must stay whole (every entry reachable
// both ways, counts matching) and the bound must hold. Run under
// ThreadSanitizer too.
TEST_F(SessionScale, ParallelRequestsKeepTheListsWhole)
{
    constexpr uint32_t kMax = 500;
    start(kMax);
    fake::set_debug_level(0);
    constexpr int kThreads = 8;
    constexpr int kRounds = 3000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &failures] {
            for (int i = 0; i < kRounds; ++i) {
                const uint32_t port = static_cast<uint32_t>((i * 7 + t * 131) % 1500 + 1);
                qz_request req = request(port, "u" + std::to_string(t), i % 5 == 0 ? 3 : 2);
                freeradius_wrapper w{};
                w.request = &req;
                w.instance = &inst;
                switch (i % 4) {
                case 0:
                case 1: {
                    qz_pending_user pending;
                    if (qzmod::begin_session(&w, &pending)) {
                        char name[QZ_ID_BUFFER] = {};
                        if (!qzmod::lookup_session_user(&w, name) || strcmp(name, pending.username) != 0)
                            ++failures;
                        if (req.reply_code == 2)
                            qzmod::commit_session(&inst, &req, pending);
                    }
                    break;
                }
                case 2:
                    removeSession(&w);
                    break;
                case 3: {
                    const std::string reqid = id(port);
                    qzmod::record_proxied_session(&inst, &req, reqid.c_str());
                    qzmod::consume_proxied_session(&inst, &req, reqid.c_str());
                    break;
                }
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);

    size_t forward = 0;
    const usermap *last = nullptr;
    for (const usermap *e = inst.sessions2users; e != nullptr; e = e->next) {
        EXPECT_EQ(e->prev, last);
        last = e;
        ++forward;
    }
    EXPECT_LE(forward, kMax);
    size_t by_age = 0;
    for (const usermap *e = inst.index->oldest; e != nullptr; e = e->newer)
        ++by_age;
    EXPECT_EQ(by_age, forward);
    EXPECT_EQ(inst.index->map.count, forward);
    for (const usermap *e = inst.sessions2users; e != nullptr; e = e->next)
        EXPECT_EQ(user_of(static_cast<uint32_t>(atoi(usermap_sessid(e) + strlen("10.9.8.7")))), usermap_username(e));
    EXPECT_EQ(inst.sessionlist, nullptr);
}

}  // namespace
