// Several DM connections when the host's semaphores admit several holders:
// requests that talk to the DM at the same time each go on a connection of
// their own and each reads its own answer; start-up events, reports and
// accounting all travel on the connection that carried the start-up, so the
// DM reads them in order; at most one connection more than holders is opened
// (requests side by side leave the first one to that ordered traffic); and
// with semaphores that admit one holder there is only ever one connection.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Authif.h"
#include "client_fixture.h"
#include "dm_sock.h"

namespace {

using qzclient::ClientTest;

using qztest::field_of;

bool starts_with(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Lets a group of threads go at the same moment.
class StartLine {
public:
    explicit StartLine(int count) : waiting_(count) {}
    void arrive_and_wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--waiting_ == 0)
            all_here_.notify_all();
        else
            all_here_.wait(lock, [this] { return waiting_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_here_;
    int waiting_;
};

// Runs fn(t) for t = 0 .. count - 1 on threads that start together, and
// returns when all are done.
template <typename Fn>
void side_by_side(int count, Fn fn)
{
    StartLine start(count);
    std::vector<std::thread> threads;
    for (int t = 0; t < count; t++) {
        threads.emplace_back([t, &start, &fn] {
            start.arrive_and_wait();
            fn(t);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
}

class DmConnectionsTest : public ClientTest {
protected:
    // Generous waits: on a loaded machine (or under the sanitizers) the
    // threads queue for a while.
    std::string extra_properties() const override { return "dm_socket_timeout=30\ndm_response_timeout=30\n"; }

    // Semaphores admitting `holders` threads, a DM that answers only once
    // `held_until` requests have arrived (0: at once), and the library
    // initialised (unless `held_until` is 0 too: the first requests do it).
    void start(int holders, int held_until)
    {
        qztest::host_reset_with_holders(holders);
        answer_with_users_vlan();
        if (held_until > 0) {
            dm.hold_answers_until(held_until);
            initialise_library();
        }
    }

    // The DM names the VLAN after the user, so an answer read by another
    // request shows as a VLAN that is not the user's own.
    void answer_with_users_vlan()
    {
        dm.answer_with([](const std::string &line) { return "ACCESS=true\tVLAN_ID=" + field_of(line, "USER") + "\n"; });
    }

    // One request for `user` through authorization and the report, as the
    // module makes it; counts every way the reply is not the user's own.
    static void authorize_and_respond(const std::string &user, const std::string &id, std::atomic<int> &wrong)
    {
        auto record = qzclient::zeroed_record();
        qztest::FakeRequest request;
        qzclient::fill_access_request(request, record.get());
        request.request_attrs[OVX_ATTR_REQUEST_ID] = id;
        request.request_attrs[OVX_ATTR_USER_NAME] = user;
        if (ovxauthorize(&request) != rcAccessAccept)
            wrong++;
        if (user != record->vlan)
            wrong++;
        ovxrespond(&request);
        // The three tunnel attributes, the VLAN being the user's.
        if (request.added.size() != 3 || request.added[2].text != user)
            wrong++;
    }

    static void account(const std::string &session)
    {
        qztest::FakeRequest request;
        qzclient::start_accounting_request(request, session);
        request.request_attrs = {
            {OVX_ATTR_ACCT_SESSION_ID, session}, {OVX_ATTR_NAS_IP_ADDRESS, "10.0.0.1"},
            {OVX_ATTR_NAS_PORT, "12"},           {OVX_ATTR_REQUEST_ID, "10.0.0.112" + session},
            {OVX_ATTR_ACCT_STATUS_TYPE, "Start"}, {OVX_ATTR_USER_NAME, "acct-" + session},
        };
        EXPECT_EQ(ovxaccount(&request), 0) << session;
    }

    // Every start-up event, report and accounting event came on the
    // connection of the Startup event; returns the connections that carried
    // authorization requests, with how many each.
    std::map<int, int> check_ordered_traffic_on_one_connection(size_t requests, size_t reports, size_t accounting)
    {
        // Startup, SERVERINFO, and per request its line, its report and the
        // report's empty line, and one line per accounting event.
        EXPECT_TRUE(dm.wait_for_lines(2 + 3 * requests + accounting, 30000));
        std::vector<qztest::FakeDm::ConnectionLine> lines = dm.lines_by_connection();
        int ordered = -1;
        size_t startups = 0, server_infos = 0, seen_requests = 0, seen_reports = 0, seen_accounting = 0;
        std::map<int, int> request_connections;
        for (const auto &line : lines) {
            if (starts_with(line.text, "EVENT=Startup\t")) {
                startups++;
                ordered = line.connection;
            }
        }
        EXPECT_EQ(startups, 1u);
        for (const auto &line : lines) {
            if (starts_with(line.text, "EVENT=Startup\t"))
                continue;
            if (starts_with(line.text, "EVENT=SERVERINFO")) {
                server_infos++;
                EXPECT_EQ(line.connection, ordered) << line.text;
            } else if (starts_with(line.text, "EVENT=Request\t")) {
                seen_requests++;
                request_connections[line.connection]++;
            } else if (starts_with(line.text, "EVENT=Authorization\t")) {
                seen_reports++;
                EXPECT_EQ(line.connection, ordered) << line.text;
            } else if (starts_with(line.text, "EVENT=AccountingRequest\t")) {
                seen_accounting++;
                EXPECT_EQ(line.connection, ordered) << line.text;
            } else if (line.text.empty()) {
                EXPECT_EQ(line.connection, ordered) << "the report's end";
            } else {
                ADD_FAILURE() << "unexpected line: " << line.text;
            }
        }
        EXPECT_EQ(server_infos, 1u);
        EXPECT_EQ(seen_requests, requests);
        EXPECT_EQ(seen_reports, reports);
        EXPECT_EQ(seen_accounting, accounting);
        return request_connections;
    }

    static void expect_semaphores_balanced(int holders)
    {
        qztest::SemaphoreCounts c = qztest::host_counts();
        EXPECT_EQ(c.send_acquired, c.send_releases);
        EXPECT_EQ(c.recv_acquired, c.recv_releases);
        EXPECT_EQ(qztest::host_send_value(), holders);
        EXPECT_EQ(qztest::host_recv_value(), holders);
    }
};

TEST_F(DmConnectionsTest, RequestsThatMustOverlapEachGetTheirOwnAnswerOnTheirOwnConnection)
{
    constexpr int kHolders = 4;
    // No answer before all four requests have arrived: on one connection,
    // one exchange at a time, they could not all be answered.
    start(kHolders, kHolders);

    std::atomic<int> wrong{0};
    side_by_side(kHolders, [&](int t) {
        authorize_and_respond("user" + std::to_string(t), "10.0.0.114ID" + std::to_string(t), wrong);
        account("S" + std::to_string(t));
    });
    EXPECT_EQ(wrong.load(), 0);

    std::map<int, int> request_connections = check_ordered_traffic_on_one_connection(kHolders, kHolders, kHolders);
    EXPECT_EQ(request_connections.size(), static_cast<size_t>(kHolders));
    EXPECT_EQ(dm.connections(), kHolders);
    expect_semaphores_balanced(kHolders);

    // Later rounds reuse the connections already open.
    for (int round = 0; round < 3; round++) {
        side_by_side(kHolders, [&](int t) {
            std::string name = "r" + std::to_string(round) + "u" + std::to_string(t);
            authorize_and_respond(name, "10.0.0.114" + name, wrong);
        });
    }
    EXPECT_EQ(wrong.load(), 0);
    check_ordered_traffic_on_one_connection(4 * kHolders, 4 * kHolders, kHolders);
    EXPECT_LE(dm.connections(), kHolders + 1);
    EXPECT_EQ(dm.open_connections(), dm.connections());  // kept open
    expect_semaphores_balanced(kHolders);
}

TEST_F(DmConnectionsTest, CleanupClosesEveryConnectionAndRequestsReconnect)
{
    constexpr int kHolders = 4;
    start(kHolders, kHolders);  // four connections in use at once

    std::atomic<int> wrong{0};
    side_by_side(kHolders, [&](int t) {
        authorize_and_respond("user" + std::to_string(t), "10.0.0.114ID" + std::to_string(t), wrong);
    });
    ASSERT_EQ(wrong.load(), 0);
    ASSERT_EQ(dm.open_connections(), kHolders);

    // Shutdown on the first connection, then every connection closed.
    EXPECT_EQ(dm_cleanup(), 0);
    EXPECT_TRUE(dm.wait_for("EVENT=Shutdown"));
    for (int waited = 0; dm.open_connections() > 0 && waited < 10000; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(dm.open_connections(), 0);
    int shutdown_connection = -1, startup_connection = -2;
    for (const auto &line : dm.lines_by_connection()) {
        if (starts_with(line.text, "EVENT=Shutdown"))
            shutdown_connection = line.connection;
        if (starts_with(line.text, "EVENT=Startup"))
            startup_connection = line.connection;
    }
    EXPECT_EQ(shutdown_connection, startup_connection);

    // Requests side by side find their way to the DM again.
    side_by_side(kHolders, [&](int t) {
        authorize_and_respond("again" + std::to_string(t), "10.0.0.114AG" + std::to_string(t), wrong);
    });
    EXPECT_EQ(wrong.load(), 0);
    expect_semaphores_balanced(kHolders);
}

TEST_F(DmConnectionsTest, ConnectionsTheDmDroppedAreOpenedAgain)
{
    constexpr int kHolders = 4;
    start(kHolders, kHolders);

    std::atomic<int> wrong{0};
    auto round = [&wrong](const std::string &prefix) {
        side_by_side(kHolders, [&](int t) {
            std::string name = prefix + std::to_string(t);
            authorize_and_respond(name, "10.0.0.114" + name, wrong);
        });
    };
    round("before");
    ASSERT_EQ(wrong.load(), 0);
    ASSERT_EQ(dm.connections(), kHolders);

    // The DM drops every client (as on a restart); the next requests side by
    // side, again all needed at once, reconnect each connection they use.
    dm.close_connections();
    dm.hold_answers_until(2 * kHolders);
    round("after");
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(dm.connections(), 2 * kHolders);
    expect_semaphores_balanced(kHolders);
}

TEST_F(DmConnectionsTest, MoreThreadsThanHoldersOpenAtMostOneConnectionMoreThanHolders)
{
    constexpr int kHolders = 3;
    constexpr int kThreads = 8;
    constexpr int kRounds = 10;
    // The first requests initialise the library among themselves.
    start(kHolders, 0);
    std::atomic<int> wrong{0};
    side_by_side(kThreads, [&](int t) {
        for (int i = 0; i < kRounds; i++) {
            std::string name = "t" + std::to_string(t) + "r" + std::to_string(i);
            authorize_and_respond(name, "10.0.0.114" + name, wrong);
            if (i % 3 == 0)
                account(name);
        }
    });
    EXPECT_EQ(wrong.load(), 0);

    const size_t total = kThreads * kRounds;
    const size_t accounting = kThreads * ((kRounds + 2) / 3);
    std::map<int, int> request_connections = check_ordered_traffic_on_one_connection(total, total, accounting);
    EXPECT_LE(request_connections.size(), static_cast<size_t>(kHolders + 1));
    EXPECT_LE(dm.connections(), kHolders + 1);
    expect_semaphores_balanced(kHolders);
}

TEST_F(DmConnectionsTest, ConcurrentFirstRequestsInitialiseOnce)
{
    constexpr int kHolders = 4;
    start(kHolders, 0);

    std::atomic<int> wrong{0};
    side_by_side(kHolders, [&](int t) {
        authorize_and_respond("first" + std::to_string(t), "10.0.0.114F" + std::to_string(t), wrong);
    });
    EXPECT_EQ(wrong.load(), 0);

    // One Startup and one SERVERINFO, both before any request.
    check_ordered_traffic_on_one_connection(kHolders, kHolders, 0);
    std::vector<std::string> lines = dm.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(starts_with(lines[0], "EVENT=Startup\t")) << lines[0];
    EXPECT_TRUE(starts_with(lines[1], "EVENT=SERVERINFO")) << lines[1];
    expect_semaphores_balanced(kHolders);
}

TEST_F(DmConnectionsTest, OneHolderKeepsEverythingOnOneConnection)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 10;
    answer_with_users_vlan();  // host_reset: semaphores that admit one holder

    std::atomic<int> wrong{0};
    side_by_side(kThreads, [&](int t) {
        for (int i = 0; i < kRounds; i++) {
            std::string name = "t" + std::to_string(t) + "r" + std::to_string(i);
            authorize_and_respond(name, "10.0.0.114" + name, wrong);
            if (i == 0)
                account(name);
        }
    });
    EXPECT_EQ(wrong.load(), 0);

    std::map<int, int> request_connections =
        check_ordered_traffic_on_one_connection(kThreads * kRounds, kThreads * kRounds, kThreads);
    EXPECT_EQ(request_connections.size(), 1u);
    EXPECT_EQ(dm.connections(), 1);
    qzclient::expect_semaphores_balanced();
}

}  // namespace

// Once further connections are open, requests use them even when alone, so a
// slow answer never holds the first connection that reports and accounting
// need (they wait for it only dm_socket_timeout seconds).
class SlowAnswerTest : public DmConnectionsTest {
protected:
    std::string extra_properties() const override { return "dm_socket_timeout=1\ndm_response_timeout=10\n"; }
};

TEST_F(SlowAnswerTest, ASlowAnswerDoesNotHoldUpAccountingOnceFurtherConnectionsExist)
{
    constexpr int kHolders = 2;
    start(kHolders, kHolders);  // both at once: a further connection opens

    std::atomic<int> wrong{0};
    side_by_side(kHolders, [&](int t) {
        authorize_and_respond("user" + std::to_string(t), "10.0.0.114ID" + std::to_string(t), wrong);
    });
    ASSERT_EQ(wrong.load(), 0);
    ASSERT_EQ(dm.connections(), kHolders);

    dm.answer_with([](const std::string &line) {
        if (field_of(line, "USER") == "slow")
            std::this_thread::sleep_for(std::chrono::seconds(3));
        return "ACCESS=true\tVLAN_ID=" + field_of(line, "USER") + "\n";
    });
    std::thread slow([&wrong] { authorize_and_respond("slow", "10.0.0.114SLOW", wrong); });
    EXPECT_TRUE(dm.wait_for("USER=slow"));
    account("during-slow-answer");  // delivered, not refused after waiting 1 s
    slow.join();
    EXPECT_EQ(wrong.load(), 0);
    check_ordered_traffic_on_one_connection(kHolders + 1, kHolders + 1, 1);
    expect_semaphores_balanced(kHolders);
}
