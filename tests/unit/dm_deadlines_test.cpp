// Connecting and sending are bounded: a DM that stops reading or does not
// take connections never holds a request thread (and the send semaphore)
// longer than the socket timeout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "Authif.h"
#include "client_fixture.h"
#include "debug.h"
#include "dm_session.h"
#include "dm_sock.h"
#include "fake_dm.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs fn on its own thread; when it has not returned after `limit`, runs
// `unblock` (which must make it return) and reports the overrun.
template <typename Fn, typename Unblock>
bool returns_within(Fn fn, std::chrono::seconds limit, Unblock unblock)
{
    auto done = std::async(std::launch::async, fn);
    if (done.wait_for(limit) == std::future_status::ready)
        return true;
    unblock();
    done.wait();
    return false;
}

TEST(SendDeadline, DmThatStopsReadingFailsTheSendAndDropsTheConnection)
{
    qztest::FakeDm dm;
    qztest::StdoutCapture out;
    ASSERT_EQ(qztest_found::initialise_against(dm.port()), 1);
    ASSERT_TRUE(dm.wait_for_lines(2));
    dm.stop_reading(true);

    // Far more than the socket buffers hold.
    std::string message(64 << 20, 'x');
    message.back() = '\n';
    int result = 0;
    double took = 0;
    bool returned = returns_within(
        [&] {
            auto start = Clock::now();
            result = dm_sock_send(&dm_server[0], message.data(), static_cast<int>(message.size()));
            took = seconds_since(start);
        },
        std::chrono::seconds(10), [&] { dm.shutdown(); });
    ASSERT_TRUE(returned) << "send blocked while the DM did not read";
    EXPECT_EQ(result, -1);
    EXPECT_GE(took, 0.9);  // dm_socket_timeout defaults to one second
    EXPECT_LT(took, 5.0);
    EXPECT_EQ(dm_server[0].dm_sock, -1);
    EXPECT_NE(out.text().find("send to DM timed out: "), std::string::npos);
}

// A DM whose accept queue is full: the connection attempt is never answered.
TEST(ConnectDeadline, UnansweredConnectFailsAfterTheSocketTimeout)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
    // Fill the queue; nothing ever accepts.
    int fillers[2];
    for (int &f : fillers) {
        f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    usleep(100000);

    qztest::write_dm_properties(ntohs(address.sin_port));
    qztest::host_reset();
    readProperties();
    DM_SERVER_INFO entry{"default", "localhost", -1};
    SOCKET opened = 0;
    double took = 0;
    bool returned = returns_within(
        [&] {
            auto start = Clock::now();
            opened = dm_sock_open(&entry);
            took = seconds_since(start);
        },
        std::chrono::seconds(10), [&] { close(listener); listener = -1; });
    ASSERT_TRUE(returned) << "connect waited without a deadline";
    EXPECT_EQ(opened, -1);
    EXPECT_EQ(entry.dm_sock, -1);
    EXPECT_LT(took, 5.0);
    for (int f : fillers)
        close(f);
    if (listener >= 0)
        close(listener);
}

class AccountingDeadline : public qzclient::ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        qzclient::start_accounting_request(req, "S-1");
        // Long values make each message large, so the buffers fill sooner.
        std::string long_value(250, 'v');
        req.request_attrs = {
            {OVX_ATTR_ACCT_SESSION_ID, "S-1"}, {OVX_ATTR_NAS_IP_ADDRESS, "10.0.0.1"},
            {OVX_ATTR_NAS_PORT, "12"},         {OVX_ATTR_USER_NAME, long_value},
            {OVX_ATTR_ACCT_STATUS_TYPE, long_value}, {OVX_ATTR_ACCT_TERMINATE_CAUSE, long_value},
            {OVX_ATTR_ACCT_INPUT_OCTETS, long_value}, {OVX_ATTR_ACCT_OUTPUT_OCTETS, long_value},
            {OVX_ATTR_ACCT_INPUT_PACKETS, long_value}, {OVX_ATTR_ACCT_OUTPUT_PACKETS, long_value},
            {OVX_ATTR_REQUEST_ID, long_value}, {OVX_ATTR_CALLING_STATION_ID, long_value},
        };
    }
};

// The DM stops reading: accounting goes on until the buffers are full, then
// the first event that cannot be written reports -1 after the socket timeout
// at most, holding the send semaphore no longer than that.
TEST_F(AccountingDeadline, DmThatStopsReadingMakesAccountingFailInBoundedTime)
{
    initialise_library();
    enable_debug = 0;  // thousands of events: keep their trace out of the log
    dm.stop_reading(true);
    int delivered = 0, failed_after = -1;
    double slowest = 0;
    bool returned = returns_within(
        [&] {
            for (int i = 0; i < 200000 && failed_after < 0; i++) {
                auto start = Clock::now();
                int result = ovxaccount(&req);
                slowest = std::max(slowest, seconds_since(start));
                if (result == 0)
                    delivered++;
                else
                    failed_after = i;
            }
        },
        std::chrono::seconds(60), [&] { dm.shutdown(); });
    enable_debug = 1;
    ASSERT_TRUE(returned) << "accounting blocked while the DM did not read";
    EXPECT_GT(delivered, 0);
    EXPECT_GE(failed_after, 0);
    EXPECT_LT(slowest, 5.0);
    qzclient::expect_semaphores_balanced();
}

}  // namespace
