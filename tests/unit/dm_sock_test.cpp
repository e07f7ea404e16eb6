// The DM connection against a fake DM: introduction, sending with one
// reconnect, receiving one answer, clean-up and the SIGPIPE handler.
#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Authif.h"
#include "dm_session.h"
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "dm_sock.h"
#include "fake_dm.h"
#include "test_host.h"

namespace {

using qztest::FakeDm;
using qztest::StdoutCapture;
using qztest_found::initialise_against;

constexpr char kRequest[] = "EVENT=Request\tREQ_ID=R1\t\n";
const std::string kServerInfoLine =
    "EVENT=SERVERINFOSERVER=QZ OVX  freeRADIUS Plugin version B.02.45"
    "OVXAPI=OVX Native API B.02.43, with EI extensions";

DM_SERVER entry() { return &dm_server[0]; }

int send_text(const std::string &text)
{
    return dm_sock_send(entry(), text.c_str(), static_cast<int>(text.size()));
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A live, introduced connection to a fresh fake DM.
class DmConnection : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(initialise_against(dm_.port(), extra_properties()), 1);
        ASSERT_TRUE(dm_.wait_for_lines(2));
        ASSERT_NE(entry()->dm_sock, -1);
    }
    virtual std::string extra_properties() const { return ""; }

    FakeDm dm_;
    StdoutCapture out_;
};

TEST_F(DmConnection, FirstConnectionCarriesStartupThenServerInfo)
{
    std::vector<std::string> lines = dm_.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "EVENT=Startup\t");
    EXPECT_EQ(lines[1], kServerInfoLine);
    EXPECT_EQ(dm_.connections(), 1);
    EXPECT_EQ(dm_servers, 1);
    EXPECT_STREQ(entry()->location, "default");
    EXPECT_STREQ(entry()->dm_server_name, "localhost");

    std::string out = out_.text();
    EXPECT_NE(out.find("Sent Startup Event\n"), std::string::npos) << out;
    // One note per message, naming the whole message.
    EXPECT_NE(out.find("\nwrote " + std::to_string(kServerInfoLine.size() + 1) +
                       " bytes to: host: localhost, location: default \n buff= " + kServerInfoLine +
                       "\n \n"),
              std::string::npos)
        << out;

    qztest::SemaphoreCounts counts = qztest::host_counts();
    EXPECT_EQ(counts.send_acquired, 1);
    EXPECT_EQ(counts.send_releases, 1);
    EXPECT_EQ(qztest::host_send_value(), 1);
}

// Messages go out in many small pieces; the connection must not hold the
// last one back waiting for the DM's acknowledgement of the previous ones.
TEST_F(DmConnection, PiecesAreNotHeldBackForAcknowledgements)
{
    int no_delay = 0;
    socklen_t size = sizeof no_delay;
    ASSERT_EQ(getsockopt(entry()->dm_sock, IPPROTO_TCP, TCP_NODELAY, &no_delay, &size), 0);
    EXPECT_NE(no_delay, 0);
}

// A DM that restarted quietly: the next message finds the closed connection
// before writing and goes whole on a new one, without SIGPIPE.
TEST_F(DmConnection, ClosedByTheDmTheNextMessageGoesWholeOnANewConnection)
{
    dm_.close_connections();
    sleep_ms(100);
    const std::string report = "EVENT=Authorization\tUSER=a\tNAS_IP=10.0.0.1\tRESPONSE=Accept\t\n\n";
    EXPECT_EQ(send_text(report), 0);
    EXPECT_EQ(send_text("EVENT=AccountingRequest\tSESSION_ID=S\t\n"), 0);
    ASSERT_TRUE(dm_.wait_for("SESSION_ID=S\t\n"));
    EXPECT_EQ(dm_.connections(), 2);
    std::vector<std::string> lines = dm_.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "EVENT=Authorization\tUSER=a\tNAS_IP=10.0.0.1\tRESPONSE=Accept\t");
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], "EVENT=AccountingRequest\tSESSION_ID=S\t");
    EXPECT_EQ(out_.text().find("In ovx RIF signal handler"), std::string::npos);
}

TEST_F(DmConnection, SplitAnswerIsReadWhole)
{
    dm_.answer_split("ACCESS=true\t", "VLAN_ID=5\t\n", 200);
    ASSERT_EQ(send_text(kRequest), 0);
    char answer[3072];
    ASSERT_EQ(dm_sock_recv(entry(), answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "ACCESS=true\tVLAN_ID=5\t\n");
    EXPECT_NE(entry()->dm_sock, -1);
}

TEST_F(DmConnection, OrderlyCloseFailsAndDropsTheConnection)
{
    dm_.close_connection();
    ASSERT_EQ(send_text(kRequest), 0);
    char answer[64];
    EXPECT_EQ(dm_sock_recv(entry(), answer, sizeof answer), -1);
    EXPECT_STREQ(answer, "");
    EXPECT_EQ(entry()->dm_sock, -1);
    EXPECT_NE(out_.text().find("Server localhost closed connection\n"), std::string::npos);

    // The next message reconnects.
    EXPECT_EQ(send_text("EVENT=Authorization\t\n\n"), 0);
    EXPECT_TRUE(dm_.wait_for("EVENT=Authorization"));
    EXPECT_EQ(dm_.connections(), 2);
}

// A line cut by the DM's close is no answer: "ACCESS=tr" or "VLAN_ID=11"
// of "VLAN_ID=111" must never be applied.
TEST_F(DmConnection, TextCutByACloseIsNoAnswer)
{
    dm_.send_unasked("ACCESS=true\tVLAN_ID=11");
    sleep_ms(50);
    dm_.close_connections();
    char answer[64];
    EXPECT_EQ(dm_sock_recv(entry(), answer, sizeof answer), -1);
    EXPECT_STREQ(answer, "");
    EXPECT_EQ(entry()->dm_sock, -1);
    EXPECT_NE(out_.text().find("Server localhost closed connection\n"), std::string::npos);
}

// A line that does not fit is unusable, and its tail must never be read as
// the start of the next answer: the connection is dropped.
TEST_F(DmConnection, LineLongerThanTheBufferDropsTheConnection)
{
    dm_.send_unasked(std::string(20, 'x'));
    sleep_ms(50);
    char answer[32];
    ASSERT_EQ(dm_sock_recv(entry(), answer, 16), -1);
    EXPECT_EQ(entry()->dm_sock, -1);
    dm_.send_unasked("tail\n");
    EXPECT_NE(out_.text().find("DM answer longer than 15 bytes without a line end: connection dropped\n"),
              std::string::npos);
}

TEST_F(DmConnection, SeveralLinesArrivingTogetherAreReadTogether)
{
    dm_.send_unasked("REQ_ID=a\tACCESS=true\nVLAN_ID=5\n");
    sleep_ms(50);
    char answer[64];
    ASSERT_EQ(dm_sock_recv(entry(), answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "REQ_ID=a\tACCESS=true\nVLAN_ID=5\n");
}

TEST_F(DmConnection, PrintWithoutConnectionSendsNothing)
{
    dm_sock_cleanup(entry());
    EXPECT_EQ(entry()->dm_sock, -1);
    EXPECT_EQ(dm_printf(entry(), "EVENT=%s\t\n", "Authorization"), -1);
    sleep_ms(100);
    EXPECT_EQ(dm_.connections(), 1);
    EXPECT_EQ(dm_.lines().size(), 2u);
}

TEST_F(DmConnection, CleanupSaysShutdownAndInitStartsAgain)
{
    EXPECT_EQ(dm_cleanup(), 0);
    ASSERT_TRUE(dm_.wait_for_lines(3));
    EXPECT_EQ(dm_.lines()[2], "EVENT=Shutdown\t");
    EXPECT_EQ(dm_servers, 0);
    EXPECT_EQ(entry()->dm_sock, -1);

    // Nothing connected: a second clean-up sends nothing.
    EXPECT_EQ(dm_cleanup(), 0);
    EXPECT_EQ(dm_init(), 0);
    ASSERT_TRUE(dm_.wait_for_lines(4));
    std::vector<std::string> lines = dm_.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "EVENT=Startup\t");
    EXPECT_EQ(dm_.connections(), 2);
    EXPECT_EQ(dm_servers, 1);
}

class SilentDm : public DmConnection {
protected:
    std::string extra_properties() const override { return "dm_response_timeout=1\n"; }
};

TEST_F(SilentDm, ReceiveTimeoutFailsAndDropsTheConnection)
{
    dm_.stay_silent();
    ASSERT_EQ(send_text(kRequest), 0);
    char answer[3072];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dm_sock_recv(entry(), answer, sizeof answer), -1);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 5.0);
    EXPECT_EQ(entry()->dm_sock, -1);
    EXPECT_NE(out_.text().find("recv failed: error \n"), std::string::npos);
}

TEST_F(SilentDm, PartialAnswerWithoutLineEndTimesOut)
{
    dm_.answer("ACCESS=true\t");  // never finished with a line feed
    ASSERT_EQ(send_text(kRequest), 0);
    char answer[3072];
    EXPECT_EQ(dm_sock_recv(entry(), answer, sizeof answer), -1);
    EXPECT_EQ(entry()->dm_sock, -1);
}

TEST(DmUnreachable, InitialisationStillCompletes)
{
    int port;
    {
        FakeDm gone;
        port = gone.port();
        gone.shutdown();
    }
    StdoutCapture out;
    EXPECT_EQ(initialise_against(port), 1);
    EXPECT_EQ(dm_servers, 1);
    EXPECT_EQ(entry()->dm_sock, -1);
    std::string text = out.text();
    EXPECT_NE(text.find("Sent Startup Event\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("SERVERINFO"), std::string::npos) << text;
    EXPECT_EQ(qztest::host_send_value(), 1);

    // Every later message tries one connection and fails quietly.
    EXPECT_EQ(send_text("EVENT="), -1);
    EXPECT_EQ(dm_printf(entry(), "x"), -1);
}

TEST(SigPipe, HandlerWritesItsLinesAndStaysArmed)
{
    dm_servers = 1;  // table counts as set up: dm_init only installs the handler
    dm_init();
    StdoutCapture out;
    raise(SIGPIPE);
    raise(SIGPIPE);
    struct sigaction current;
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, &sig_pipe);
    const std::string lines =
        "In ovx RIF signal handler lost agent connection!\ncalling dm_init() to relight socket \n";
    EXPECT_EQ(out.text(), lines + lines);
}

TEST(FindServer, EverySwitchUsesTheOneEntry)
{
    char ip[] = "10.1.1.2";
    EXPECT_EQ(dm_find_server(ip, 14), &dm_server[0]);
    EXPECT_EQ(dm_find_server(nullptr, -1), &dm_server[0]);
    // Unset entries hold no connection.
    EXPECT_EQ(dm_server[0].dm_sock, -1);
    EXPECT_EQ(dm_server[127].dm_sock, -1);
}

}  // namespace
