// Checks of the test fixtures themselves: a broken host or fake DM would make
// every other test meaningless.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "fake_dm.h"
#include "test_host.h"

namespace {

using qztest::FakeDm;
using qztest::FakeRequest;

template <typename Fn>
Fn callback(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

// A plain client of the fake DM, standing in for the library's connection.
struct Client {
    int fd = -1;
    explicit Client(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Client()
    {
        if (fd >= 0)
            close(fd);
    }
    void send_text(const std::string &text) const
    {
        ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // One receive, as the library reads an answer; "" on timeout, "<closed>" on end.
    std::string receive_once(int timeout_ms = 2000) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return "";
        char buffer[3072];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return "<closed>";
        return std::string(buffer, static_cast<size_t>(n));
    }
};

TEST(TestHost, ExportsEveryRegisteredNameAndRegistersItsSlots)
{
    qztest::host_reset();
    const char *names[] = {"ovxgetRequest", "ovxgetRequestType", "ovxgetResponse",
                           "ovxgetResponseType", "ovxprintAttributes", "ovxgetRequestAttributes",
                           "ovxFindFirstAttribute", "ovxreplaceFirstAttribute",
                           "ovxgetControlPoint", "ovxGetControlPointName", "ovxgetSendSemaphore",
                           "ovxgetRecvSemaphore", "ovxwaitOnObject", "ovxreleaseObject",
                           "ovxGetServerInfo", "ovxsetUserAccess", "ovxgetUserAccess", "ovxaddVSA",
                           "ovxgetAttributeAsStringByRef", "ovxgetAttributeAsString",
                           "ovxgetVSAByRef"};
    for (const char *name : names)
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;

    // Through the library's accessors: the slots lead to the host's callbacks.
    FakeRequest request;
    request.request_type = 4;
    request.control_point = 2;
    EXPECT_STREQ(getServerInfo(), qztest::kServerInfo);
    EXPECT_EQ(getRequest(&request), &request);
    EXPECT_EQ(reinterpret_cast<intptr_t>(getRequestType(&request)), 4);
    EXPECT_EQ(reinterpret_cast<intptr_t>(getControlPoint(&request)), 2);
    EXPECT_EQ(getCPName(4), 2);
    EXPECT_EQ(getSendSemaphore(), callback<ptGetSendSemaphore>("ovxgetSendSemaphore")());
    EXPECT_NE(getSendSemaphore(), getRecvSemaphore());
    std::vector<std::string> expected_calls = {"ovxgetRequest", "ovxgetRequestType",
                                               "ovxgetControlPoint"};
    EXPECT_EQ(request.calls, expected_calls);
}

TEST(TestHost, AttributeReadersCutMissAndRecord)
{
    qztest::host_reset();
    auto by_ref = callback<ptGetAttributeAsStringByRef>("ovxgetAttributeAsStringByRef");
    auto vsa = callback<ptGetVSAByRef>("ovxgetVSAByRef");
    auto find_first = callback<ptfindFirstAttribute>("ovxFindFirstAttribute");
    auto add_vsa = callback<ptAddVSA>("ovxaddVSA");
    ASSERT_TRUE(by_ref && vsa && find_first && add_vsa);

    FakeRequest request;
    request.request_attrs[OVX_ATTR_USER_NAME] = std::string(300, 'u');
    request.reply_attrs[OVX_ATTR_HI_STATE] = "healthy";
    request.reply_vsas["qz-x"] = "7";
    request.first_attrs[OVX_ATTR_ACCT_SESSION_ID] = "S1";

    char buffer[OVX_VALUE_BUFFER + 16];
    memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(by_ref(OVX_ATTR_USER_NAME, OVX_PACKET_REQUEST, &request, buffer), buffer);
    EXPECT_EQ(strlen(buffer), 254u);
    EXPECT_EQ(buffer[255], 'z');  // nothing written past the 255 bytes

    memset(buffer, 0, sizeof buffer);
    by_ref(OVX_ATTR_HI_STATE, OVX_PACKET_REQUEST, &request, buffer);  // reply-only attribute
    EXPECT_STREQ(buffer, "");
    by_ref(OVX_ATTR_HI_STATE, OVX_PACKET_REPLY, &request, buffer);
    EXPECT_STREQ(buffer, "healthy");

    char name[] = "qz-x";
    vsa(QZ_VENDOR_ID, name, OVX_PACKET_REQUEST, &request, buffer);
    EXPECT_STREQ(buffer, "-1");
    vsa(QZ_VENDOR_ID, name, OVX_PACKET_REPLY, &request, buffer);
    EXPECT_STREQ(buffer, "7");
    EXPECT_EQ(request.vsa_packet_types, (std::vector<int>{1, 2}));

    EXPECT_STREQ(static_cast<char *>(find_first(OVX_ATTR_ACCT_SESSION_ID, &request)), "S1");
    EXPECT_EQ(find_first(OVX_ATTR_USER_NAME, &request), nullptr);

    char rule[] = "permit in ip from any to any";
    add_vsa(QZ_VENDOR_ID, OVX_VSA_FILTER_RULE, 28, rule, &request);
    ASSERT_EQ(request.added.size(), 1u);
    EXPECT_EQ(request.added[0].kind, qztest::AddedAttribute::Vsa);
    EXPECT_EQ(request.added[0].vendor, QZ_VENDOR_ID);
    EXPECT_EQ(request.added[0].id, OVX_VSA_FILTER_RULE);
    EXPECT_EQ(request.added[0].text, rule);
}

TEST(TestHost, SemaphoresHonourTimeoutsAndCount)
{
    qztest::host_reset();
    auto wait = callback<ptWaitOnObject>("ovxwaitOnObject");
    auto release = callback<ptReleaseAnObject>("ovxreleaseObject");
    void *send_sem = callback<ptGetSendSemaphore>("ovxgetSendSemaphore")();
    void *recv_sem = callback<ptGetRecvSemaphore>("ovxgetRecvSemaphore")();

    EXPECT_EQ(wait(send_sem, 1000), nullptr);
    EXPECT_EQ(qztest::host_send_value(), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reinterpret_cast<intptr_t>(wait(send_sem, 150)), -1);  // held: times out
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(140));
    EXPECT_LT(waited, std::chrono::seconds(2));
    release(send_sem);
    EXPECT_EQ(qztest::host_send_value(), 1);

    qztest::host_fail_recv_waits(true);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(reinterpret_cast<intptr_t>(wait(recv_sem, 5000)), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(qztest::host_recv_value(), 1);

    qztest::SemaphoreCounts counts = qztest::host_counts();
    EXPECT_EQ(counts.send_waits, 2);
    EXPECT_EQ(counts.send_acquired, 1);
    EXPECT_EQ(counts.send_releases, 1);
    EXPECT_EQ(counts.recv_waits, 1);
    EXPECT_EQ(counts.recv_acquired, 0);
    EXPECT_EQ(qztest::host_wait_timeouts(), (std::vector<int>{1000, 150, 5000}));

    // A reset gives fresh, free semaphores and forgets everything.
    qztest::host_reset();
    EXPECT_EQ(qztest::host_send_value(), 1);
    EXPECT_EQ(qztest::host_counts().send_waits, 0);
    EXPECT_EQ(wait(recv_sem, 10), nullptr);  // forced failure cleared
}

TEST(FakeDm, AnswersOnlyAuthorizationRequestsOnceTheLineIsComplete)
{
    FakeDm dm;
    dm.answer("ACCESS=true\t\n");
    dm.set_default_answer("ACCESS=false\t\n");
    Client client(dm.port());
    ASSERT_GE(client.fd, 0);

    client.send_text("EVENT=Startup\t\n");
    client.send_text("EVENT=SERVERINFOSERVER=xOVXAPI=y\n");
    client.send_text("EVENT=Authorization\tUSER=u\t\n\n");
    client.send_text("EVENT=AccountingRequest\tNAS_IP=1.2.3.4\t\n");
    client.send_text("EVENT=");  // the request comes in pieces, like the library writes it
    client.send_text("Request\tREQ_ID=R1\t");
    ASSERT_TRUE(dm.wait_for("REQ_ID=R1"));
    EXPECT_EQ(client.receive_once(200), "");  // no line end yet: no answer
    client.send_text("\n");
    EXPECT_EQ(client.receive_once(), "ACCESS=true\t\n");
    client.send_text("EVENT=Request\tREQ_ID=R2\t\n");
    EXPECT_EQ(client.receive_once(), "ACCESS=false\t\n");  // script used up: default

    EXPECT_EQ(dm.requests(), 2);
    std::vector<std::string> lines = dm.lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[3], "");  // the report's trailing empty line
    EXPECT_EQ(lines[5], "EVENT=Request\tREQ_ID=R1\t");
}

TEST(FakeDm, SplitAnswerArrivesInTwoWritesAfterTheGap)
{
    FakeDm dm;
    dm.answer_split("ACCESS=true\t", "VLAN_ID=10\t\n", 300);
    Client client(dm.port());
    client.send_text("EVENT=Request\tREQ_ID=R1\t\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.receive_once(), "ACCESS=true\t");
    EXPECT_EQ(client.receive_once(), "VLAN_ID=10\t\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST(FakeDm, FollowsConnectionsAndGoesAway)
{
    FakeDm dm;
    dm.stay_silent();
    dm.close_connection();
    dm.set_default_answer("ACCESS=true\t\n");
    Client first(dm.port());
    Client second(dm.port());
    ASSERT_TRUE(dm.wait_for_connections(2));

    first.send_text("EVENT=Request\tREQ_ID=A\t\n");  // silent step
    ASSERT_TRUE(dm.wait_for_lines(1));
    EXPECT_EQ(first.receive_once(200), "");
    dm.send_unasked("UNASKED\n");  // goes to the newest connection
    EXPECT_EQ(second.receive_once(), "UNASKED\n");
    EXPECT_EQ(first.receive_once(200), "");

    second.send_text("EVENT=Request\tREQ_ID=B\t\n");  // close step
    EXPECT_EQ(second.receive_once(), "<closed>");
    first.send_text("EVENT=Request\tREQ_ID=C\t\n");  // answered where it came in
    EXPECT_EQ(first.receive_once(), "ACCESS=true\t\n");
    EXPECT_EQ(dm.open_connections(), 1);

    dm.shutdown();
    EXPECT_EQ(first.receive_once(), "<closed>");
    Client late(dm.port());
    EXPECT_LT(late.fd, 0);  // refused
    EXPECT_EQ(dm.connections(), 2);
}

TEST(Properties, WritesFileAndNamesTraceFiles)
{
    std::string path = qztest::write_properties("dm_port=4545\n");
    ASSERT_NE(getenv("QZOVX_PROPERTIES"), nullptr);
    EXPECT_EQ(path, getenv("QZOVX_PROPERTIES"));
    std::ifstream file(path);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "dm_port=4545\n");
    EXPECT_NE(qztest::write_properties("x=1\n"), path);

    std::string full;
    std::string value = qztest::trace_file_value(&full);
    EXPECT_EQ(value.rfind("tmp/qzovx-trace-" + std::to_string(getpid()) + "-", 0), 0u);
    EXPECT_EQ(full, "/var/" + value);
    EXPECT_NE(qztest::trace_file_value(nullptr), value);
}

}  // namespace
