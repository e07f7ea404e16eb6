// One-time initialisation under the host's send semaphore.
#include <string>

#include <gtest/gtest.h>

#include "Authif.h"
#include "dm_session.h"
#include "dm_sock.h"
#include "fake_dm.h"
#include "test_host.h"

namespace {

using qztest::FakeDm;
using qztest::StdoutCapture;
using qztest_found::initialise_against;

TEST(Initialisation, SecondCallTouchesNoSemaphore)
{
    FakeDm dm;
    StdoutCapture out;
    EXPECT_EQ(initialise_against(dm.port()), 1);
    EXPECT_EQ(qztest::host_counts().send_waits, 1);
    EXPECT_EQ(qztest::host_wait_timeouts(), std::vector<int>{1000});

    EXPECT_EQ(radiusIFInitialize(), 1);
    qztest::SemaphoreCounts counts = qztest::host_counts();
    EXPECT_EQ(counts.send_waits, 1);
    EXPECT_EQ(counts.send_releases, 1);
    EXPECT_EQ(counts.recv_waits, 0);
    ASSERT_TRUE(dm.wait_for_lines(2));
    EXPECT_EQ(dm.connections(), 1);
}

TEST(Initialisation, FailedWaitReturnsZeroReleasesNothingAndLaterSucceeds)
{
    FakeDm dm;
    StdoutCapture out;
    qztest::host_reset();
    qztest::write_dm_properties(dm.port());
    qztest::host_fail_send_waits(true);
    EXPECT_EQ(radiusIFInitialize(), 0);
    qztest::SemaphoreCounts counts = qztest::host_counts();
    EXPECT_EQ(counts.send_waits, 1);
    EXPECT_EQ(counts.send_releases, 0);
    EXPECT_EQ(qztest::host_send_value(), 1);
    EXPECT_EQ(dm_servers, 0);  // nothing initialised
    EXPECT_EQ(dm.connections(), 0);

    // The next request tries again.
    qztest::host_fail_send_waits(false);
    EXPECT_EQ(radiusIFInitialize(), 1);
    ASSERT_TRUE(dm.wait_for_lines(2));
    EXPECT_EQ(dm.lines()[0], "EVENT=Startup\t");
    EXPECT_EQ(qztest::host_counts().send_releases, 1);
    EXPECT_EQ(qztest::host_send_value(), 1);
}

TEST(Initialisation, WithoutRegisteredCallbacksNothingIsInitialised)
{
    // No host registered: the semaphore wait cannot be made.
    EXPECT_EQ(radiusIFInitialize(), 0);
    EXPECT_EQ(dm_servers, 0);
}

TEST(Initialisation, ApiIdentificationAndInertHelpers)
{
    EXPECT_STREQ(getAPIString(), "OVX Native API B.02.43, with EI extensions");
    EXPECT_EQ(sendToDM(), 0);
    _authCommon(nullptr);
}

}  // namespace
