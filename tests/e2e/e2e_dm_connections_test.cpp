// dm_connections in the real server: values outside 1..32 stop the server at
// start-up with a message that names the key; with several connections and a
// slow DM, users authorizing at the same time each get their own decision,
// the library keeps to the configured number of connections (plus the first
// one, which requests side by side leave to ordered traffic), and start-up,
// reports and accounting all travel on one connection, in order.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e_rig.h"

namespace {

using e2e::DmMessage;
using e2e::Reply;
using e2e::Rig;
using e2e::RigOptions;

TEST(DmConnections, ValuesOutsideOneTo32AreRefusedAtStart)
{
    for (const char *value : {"0", "33"}) {
        SCOPED_TRACE(value);
        RigOptions options;
        options.policy = "default\n  answer ACCESS=true\n";
        options.dm_connections = value;
        Rig rig;
        std::string error;
        EXPECT_FALSE(rig.start(e2e::test_name() + "-" + value, options, &error));
        EXPECT_NE(error.find("dm_connections must be between 1 and 32"), std::string::npos) << error;
        EXPECT_FALSE(rig.server.running());
    }
    // The largest value is taken.
    RigOptions options;
    options.policy = "default\n  answer ACCESS=true\n  answer VLAN_ID=7\n";
    options.dm_connections = "32";
    Rig rig;
    START_RIG(rig, options);
    Reply reply = rig.auth("User-Name=alice,User-Password=alice-pw,NAS-IP-Address=10.1.2.3,NAS-Port=1,"
                           "Calling-Station-Id=02-00-00-00-00-01");
    EXPECT_EQ(reply.code, "Access-Accept") << reply.output << rig.logs();
    EXPECT_EQ(reply.value("Tunnel-Private-Group-Id"), "7") << reply.output;
}

constexpr int kUsers = 30;

std::string user(int i)
{
    return "u" + std::to_string(i);
}

std::string vlan(int i)
{
    return std::to_string(100 + i);
}

// Thirty users authorize at once, the DM taking `delay_ms` for each answer;
// three of them send an accounting Start. Checks that every user got their
// own decision and that everything but the requests travelled on the
// connection of the Startup event; returns the connections that carried
// requests and the number of connections the DM saw in all.
void run_parallel_users(const std::string &dm_connections, int delay_ms, std::set<unsigned long> *request_connections,
                        size_t *connections)
{
    RigOptions options;
    options.users.clear();
    for (int i = 0; i < kUsers; i++) {
        options.users += user(i) + " Cleartext-Password := \"pw-" + user(i) + "\"\n";
        options.policy += "rule " + user(i) + "\n  match USER=" + user(i) + "\n  answer ACCESS=true\n  answer VLAN_ID=" +
                          vlan(i) + "\n";
    }
    options.dm_connections = dm_connections;
    options.threaded = true;
    // A slow DM: requests that arrive together overlap at the DM. Waits
    // for a turn are generous, so that every request gets its decision.
    options.dm_answer_delay_ms = delay_ms;
    options.properties = "dm_socket_timeout=30\n";
    Rig rig;
    START_RIG(rig, options);

    std::vector<std::string> packets;
    for (int i = 0; i < kUsers; i++) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "02-00-00-00-00-%02x", i);
        packets.push_back("User-Name=" + user(i) + ",User-Password=pw-" + user(i) +
                          ",NAS-IP-Address=10.1.2.3,NAS-Port=" + std::to_string(i + 1) + ",Calling-Station-Id=" + mac);
    }
    std::vector<Reply> replies = rig.auth_parallel(packets);
    ASSERT_EQ(replies.size(), packets.size());
    for (int i = 0; i < kUsers; i++) {
        EXPECT_EQ(replies[i].code, "Access-Accept") << user(i) << "\n" << replies[i].output;
        EXPECT_EQ(replies[i].values("Tunnel-Private-Group-Id"), std::vector<std::string>{vlan(i)})
            << user(i) << "\n" << replies[i].output;
    }

    // Accounting for three of them.
    for (int i = 0; i < 3; i++) {
        Reply done = rig.acct("Acct-Status-Type=Start,Acct-Session-Id=s" + std::to_string(i) + ",User-Name=" + user(i) +
                              ",NAS-IP-Address=10.1.2.3,NAS-Port=" + std::to_string(i + 1));
        EXPECT_EQ(done.code, "Accounting-Response") << done.output;
    }
    ASSERT_EQ(rig.wait_for("AccountingRequest", 3, 20000).size(), 3u) << rig.logs();
    ASSERT_EQ(rig.wait_for("Authorization", kUsers, 20000).size(), static_cast<size_t>(kUsers)) << rig.logs();

    std::vector<DmMessage> messages = rig.dm_messages();
    std::vector<DmMessage> startup = rig.wait_for("Startup", 1);
    ASSERT_EQ(startup.size(), 1u) << rig.logs();
    const unsigned long ordered = startup[0].conn;
    std::set<unsigned long> all_connections;
    std::map<std::string, size_t> events;
    for (const DmMessage &m : messages) {
        if (m.event == "->" || m.event == "connected" || m.event == "closed")
            continue;  // the DM's own notes
        all_connections.insert(m.conn);
        events[m.event]++;
        if (m.event == "Request")
            request_connections->insert(m.conn);
        else
            EXPECT_EQ(m.conn, ordered) << m.event << " " << m.fields;
    }
    EXPECT_EQ(events["Startup"], 1u);
    EXPECT_EQ(events["SERVERINFO"], 1u);
    EXPECT_EQ(events["Request"], static_cast<size_t>(kUsers));
    EXPECT_EQ(events["Authorization"], static_cast<size_t>(kUsers));
    EXPECT_EQ(events["AccountingRequest"], 3u);
    *connections = all_connections.size();
    // Each report names its user's own VLAN.
    for (const DmMessage &m : messages) {
        if (m.event != "Authorization")
            continue;
        for (int i = 0; i < kUsers; i++) {
            if (m.has("USER", user(i))) {
                EXPECT_TRUE(m.has("VLAN_ID", vlan(i))) << m.fields;
            }
        }
    }
}

TEST(DmConnections, ParallelUsersGetTheirOwnDecisionsOverAtMostFiveConnections)
{
    std::set<unsigned long> request_connections;
    size_t connections = 0;
    ASSERT_NO_FATAL_FAILURE(run_parallel_users("4", 200, &request_connections, &connections));
    // Four requests side by side on further connections, the first one
    // kept for reports and accounting.
    EXPECT_LE(connections, 5u);
    // Thirty users at once, each held 200 ms at the DM: they cannot all
    // have waited for one connection.
    EXPECT_GE(request_connections.size(), 2u);
}

TEST(DmConnections, OneConnectionCarriesEverythingWhenConfiguredSo)
{
    std::set<unsigned long> request_connections;
    size_t connections = 0;
    ASSERT_NO_FATAL_FAILURE(run_parallel_users("1", 50, &request_connections, &connections));
    EXPECT_EQ(connections, 1u);
    EXPECT_EQ(request_connections.size(), 1u);
}

}  // namespace
