// A request that cannot wait for the initialising thread must not go on with
// settings that may still be half written.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;

class InitWait : public ClientTest {};

// Generous semaphore waits, as a server configures for a slow DM.
class InitWaitSlowDm : public ClientTest {
    std::string extra_properties() const override { return "dm_socket_timeout=30\n"; }
};

TEST_F(InitWait, AuthorizationWithoutFinishedInitialisationReadsNothing)
{
    qztest::host_fail_send_waits(true);
    req.calls.clear();
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    EXPECT_TRUE(req.calls.empty()) << req.calls.front();
    EXPECT_EQ(record->req_id[0], '\0');
    EXPECT_EQ(ovxrespond(&req), nullptr);
    EXPECT_TRUE(req.added.empty());
    EXPECT_EQ(dm.connections(), 0);

    // Once the initialiser can be waited for, the next request initialises.
    qztest::host_fail_send_waits(false);
    dm.answer("ACCESS=true\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    qzclient::expect_semaphores_balanced();
}

TEST_F(InitWait, AccountingWithoutFinishedInitialisationIsNotDelivered)
{
    req.request_type = rcAccountingRequest;
    req.control_point = 2;
    req.user_access = nullptr;
    req.first_attrs[OVX_ATTR_ACCT_SESSION_ID] = "S-1";
    req.request_attrs[OVX_ATTR_ACCT_SESSION_ID] = "S-1";
    qztest::host_fail_send_waits(true);
    EXPECT_EQ(ovxaccount(&req), -1);  // the server must keep the record

    // A request the library would not forward anyway is still no failure.
    req.first_attrs.clear();
    EXPECT_EQ(ovxaccount(&req), 0);
    qztest::host_fail_send_waits(false);
}

// A boot storm: many requests arrive together at a fresh server, one of them
// initialises, and the DM takes a while to answer each. A request that waited
// for the initialiser while the others' exchanges then held the semaphore
// finds the library initialised once its wait ends, and must still be decided.
TEST_F(InitWaitSlowDm, RequestsArrivingDuringInitialisationAreStillDecided)
{
    constexpr int kThreads = 6;
    for (int i = 0; i < kThreads; i++)
        dm.answer_split("", "ACCESS=true\tVLAN_ID=5\n", 400);  // 400 ms per answer

    std::mutex mutex;
    std::condition_variable go;
    int waiting = kThreads;
    std::atomic<int> decided{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (--waiting == 0)
                    go.notify_all();
                else
                    go.wait(lock, [&] { return waiting == 0; });
            }
            auto own = qzclient::zeroed_record();
            qztest::FakeRequest request;
            qzclient::fill_access_request(request, own.get());
            request.request_attrs[OVX_ATTR_REQUEST_ID] = "10.0.0.114BOOT" + std::to_string(t);
            if (ovxauthorize(&request) == rcAccessAccept && std::string(own->vlan) == "5")
                decided++;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(decided.load(), kThreads);
    EXPECT_EQ(dm.requests(), kThreads);
    qzclient::expect_semaphores_balanced();
}

}  // namespace
