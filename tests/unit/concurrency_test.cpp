// Many request threads authorizing at once through one DM connection: every
// thread gets its own answer and the DM sees only whole messages.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 25;

std::string field(const std::string &line, const std::string &key)
{
    std::string start = key + "=";
    size_t at = line.find("\t" + start);
    if (at == std::string::npos)
        return "<none>";
    at += 1 + start.size();
    return line.substr(at, line.find('\t', at) - at);
}

class ConcurrencyTest : public ClientTest {
    // Generous waits: under the sanitizers the threads queue for a while.
    std::string extra_properties() const override { return "dm_socket_timeout=30\n"; }
};

TEST_F(ConcurrencyTest, EveryThreadGetsItsOwnAnswer)
{
    // The DM echoes the request id as the VLAN, so an answer read by the
    // wrong request shows up as a VLAN that is not the request's own.
    dm.answer_with([](const std::string &line) {
        return "ACCESS=true\tVLAN_ID=" + field(line, "REQ_ID") + "\n";
    });

    std::atomic<int> wrong{0};
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, &wrong, &granted] {
            for (int i = 0; i < kRequestsPerThread; i++) {
                std::string id = "T" + std::to_string(t) + "R" + std::to_string(i);
                auto record = qzclient::zeroed_record();
                qztest::FakeRequest req;
                qzclient::fill_access_request(req, record.get());
                req.request_attrs[OVX_ATTR_REQUEST_ID] = id;
                req.request_attrs[OVX_ATTR_USER_NAME] = "user" + id;
                if (ovxauthorize(&req) == rcAccessAccept)
                    granted++;
                if (id != record->vlan)
                    wrong++;
                ovxrespond(&req);
                // The three tunnel attributes, the VLAN being this request's.
                if (req.added.size() != 3 || req.added[2].text != id)
                    wrong++;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    const int total = kThreads * kRequestsPerThread;
    EXPECT_EQ(granted.load(), total);
    EXPECT_EQ(wrong.load(), 0);
    qzclient::expect_semaphores_balanced();

    // Startup, SERVERINFO, then per request its request line, its report and
    // the report's empty line.
    ASSERT_TRUE(dm.wait_for_lines(2 + 3 * static_cast<size_t>(total), 20000));
    int requests = 0, reports = 0, empty = 0;
    for (const std::string &line : dm.lines()) {
        if (line.empty()) {
            empty++;
            continue;
        }
        if (line.rfind("EVENT=Request\tREQ_ID=", 0) == 0) {
            requests++;
            std::string id = field(line, "REQ_ID");
            EXPECT_EQ(line, "EVENT=Request\tREQ_ID=" + id + "\tUSER=user" + id +
                                "\tCLIENT_MAC=aa-bb-cc-dd-ee-ff\tNAS_IP=10.0.0.1"
                                "\tNAS_MAC=11-22-33-44-55-66\tPORT=14\tRESPONSE=Accept\t");
        } else if (line.rfind("EVENT=Authorization\tUSER=user", 0) == 0) {
            reports++;
            std::string id = field(line, "USER").substr(4);
            EXPECT_EQ(line, "EVENT=Authorization\tUSER=user" + id +
                                "\tCLIENT_MAC=aa-bb-cc-dd-ee-ff\tNAS_IP=10.0.0.1"
                                "\tNAS_MAC=11-22-33-44-55-66\tPORT=14\tVLAN_ID=" + id +
                                "\tRESPONSE=Accept\t");
        } else {
            EXPECT_TRUE(line.rfind("EVENT=Startup\t", 0) == 0 || line.rfind("EVENT=SERVERINFO", 0) == 0)
                << line;
        }
    }
    EXPECT_EQ(requests, total);
    EXPECT_EQ(reports, total);
    EXPECT_EQ(empty, total);
}

}  // namespace
