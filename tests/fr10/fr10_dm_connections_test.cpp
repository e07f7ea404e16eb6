// The 1.0-series module keeps to one DM connection and one exchange at a
// time: its semaphores admit one holder, and every message, authorizations
// included, travels on the connection that carried the start-up. Its decision
// record is reused from one request to the next without carrying anything
// over.
#include "fr10_dm_fixture.h"

#include <stdint.h>

namespace fr10 {
namespace {

using WaitFn = void *(*)(void *, int);
using ReleaseFn = void *(*)(void *);
using SemaphoreFn = void *(*)();

class Fr10DmConnections : public DmTest {};

TEST_F(Fr10DmConnections, OneHolderAndOneConnection)
{
    ASSERT_NO_FATAL_FAILURE(start());
    auto wait = reinterpret_cast<WaitFn>(module_symbol("ovxwaitOnObject"));
    auto release = reinterpret_cast<ReleaseFn>(module_symbol("ovxreleaseObject"));
    auto send_semaphore = reinterpret_cast<SemaphoreFn>(module_symbol("ovxgetSendSemaphore"));
    auto recv_semaphore = reinterpret_cast<SemaphoreFn>(module_symbol("ovxgetRecvSemaphore"));
    ASSERT_TRUE(wait && release && send_semaphore && recv_semaphore);
    for (void *semaphore : {send_semaphore(), recv_semaphore()}) {
        EXPECT_EQ(reinterpret_cast<intptr_t>(wait(semaphore, 0)), 0);
        EXPECT_EQ(reinterpret_cast<intptr_t>(wait(semaphore, 0)), -1);  // one holder only
        release(semaphore);
    }

    // The first user's decision carries many filter rules and a VLAN, the
    // next ones less: nothing of it reaches their replies.
    std::string acl = "staff";
    for (int i = 0; i < 30; i++)
        acl += "|permit in ip from any to 10.0." + std::to_string(i) + ".0/24";
    dm.answer("ACCESS=true\tVLAN_ID=20\tACL=" + acl + "\n");
    dm.answer("ACCESS=true\tQOS=2\n");
    dm.answer("ACCESS=true\tVLAN_ID=30\tACL=guest|deny in ip from any to 10.0.0.0/8\n");
    const char *users[] = {"staff-user", "plain-user", "guest-user"};
    std::vector<std::vector<std::string>> rules(3), vlans(3);
    for (int i = 0; i < 3; i++) {
        TestRequest r(1, 2);
        fill_access(r, users[i]);
        EXPECT_EQ(post_auth(r), RLM_MODULE_UPDATED) << users[i];
        for (const VALUE_PAIR *pair : r.reply_pairs()) {
            if (std::string(pair->name) == "qz-nas-filter-rule")
                rules[i].push_back(text_of(pair));
            if (std::string(pair->name) == "Tunnel-Private-Group-ID")
                vlans[i].push_back(text_of(pair));
        }
    }
    EXPECT_EQ(rules[0].size(), 30u);
    EXPECT_EQ(vlans[0], std::vector<std::string>{"20"});
    EXPECT_TRUE(rules[1].empty());
    EXPECT_TRUE(vlans[1].empty());
    EXPECT_EQ(rules[2], std::vector<std::string>{"deny in ip from any to 10.0.0.0/8"});
    EXPECT_EQ(vlans[2], std::vector<std::string>{"30"});

    TestRequest start_record(4, 5);
    start_record.add("NAS-IP-Address", kNas);
    start_record.add("NAS-Port", kPort);
    start_record.add("Acct-Session-Id", "s-1");
    start_record.add("Acct-Status-Type", "Start");
    EXPECT_EQ(accounting(start_record), RLM_MODULE_OK);

    // Startup, SERVERINFO, three requests with their reports, accounting.
    ASSERT_TRUE(dm.wait_for_lines(kInitLines + 3 * 3 + 1)) << dm.received();
    EXPECT_EQ(dm.connections(), 1);
    for (const auto &line : dm.lines_by_connection())
        EXPECT_EQ(line.connection, 1) << line.text;
}

}  // namespace
}  // namespace fr10
