// The send and receive semaphores: one holder at a time, waits bounded by
// their timeout.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "module.h"
#include "module_internal.h"

extern "C" {
void *ovxgetSendSemaphore(void);
void *ovxgetRecvSemaphore(void);
void *ovxwaitOnObject(void *handle, int timeout);
void *ovxreleaseObject(void *handle);
}

namespace {

using Clock = std::chrono::steady_clock;

intptr_t wait_on(void *handle, int timeout)
{
    return reinterpret_cast<intptr_t>(ovxwaitOnObject(handle, timeout));
}

long elapsed_ms(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(Semaphores, FreshPairAdmitsOneHolderEach)
{
    initSemaphores();
    void *send = ovxgetSendSemaphore();
    void *recv = ovxgetRecvSemaphore();
    ASSERT_NE(send, recv);

    auto start = Clock::now();
    EXPECT_EQ(wait_on(send, 1000), 0);
    EXPECT_EQ(wait_on(recv, 1000), 0);  // independent of the send semaphore
    EXPECT_LT(elapsed_ms(start), 100);

    EXPECT_EQ(wait_on(send, 0), -1);  // held: a zero timeout fails at once
    EXPECT_EQ(reinterpret_cast<intptr_t>(ovxreleaseObject(send)), 0);
    EXPECT_EQ(wait_on(send, 0), 0);
    ovxreleaseObject(send);
    ovxreleaseObject(recv);
}

TEST(Semaphores, HeldSemaphoreTimesOut)
{
    initSemaphores();
    void *send = ovxgetSendSemaphore();
    ASSERT_EQ(wait_on(send, 100), 0);

    auto start = Clock::now();
    EXPECT_EQ(wait_on(send, 300), -1);
    const long waited = elapsed_ms(start);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 2000);
    // The failed wait took nothing: one release frees it again.
    ovxreleaseObject(send);
    EXPECT_EQ(wait_on(send, 0), 0);
    ovxreleaseObject(send);
}

TEST(Semaphores, ReleaseFromAnotherThreadWakesTheWaiter)
{
    initSemaphores();
    void *recv = ovxgetRecvSemaphore();
    ASSERT_EQ(wait_on(recv, 0), 0);

    std::thread releaser([recv] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ovxreleaseObject(recv);
    });
    auto start = Clock::now();
    EXPECT_EQ(wait_on(recv, 5000), 0);
    const long waited = elapsed_ms(start);
    releaser.join();
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 4000);

    // A negative timeout waits without limit, until a release.
    std::thread again([recv] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ovxreleaseObject(recv);
    });
    EXPECT_EQ(wait_on(recv, -1), 0);
    again.join();
    ovxreleaseObject(recv);
}

void ignore_signal(int) {}

TEST(Semaphores, SignalDoesNotEndTheWait)
{
    struct sigaction action {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: the wait sees EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

    initSemaphores();
    void *send = ovxgetSendSemaphore();
    ASSERT_EQ(wait_on(send, 0), 0);

    std::atomic<intptr_t> result{99};
    std::atomic<bool> started{false};
    std::thread waiter([&] {
        started = true;
        result = wait_on(send, 3000);
    });
    while (!started)
        std::this_thread::yield();
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        pthread_kill(waiter.native_handle(), SIGUSR1);
    }
    EXPECT_EQ(result.load(), 99);  // still waiting
    ovxreleaseObject(send);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    ovxreleaseObject(send);
}

// How many holds each semaphore grants at once (each given back after).
int holders(void *handle)
{
    int granted = 0;
    while (granted < 100 && wait_on(handle, 0) == 0)
        ++granted;
    for (int i = 0; i < granted; ++i)
        ovxreleaseObject(handle);
    return granted;
}

TEST(Semaphores, StartAdmitsAsManyHoldersAsDmConnections)
{
    struct Case {
        uint32_t dm_connections;
        int expected;
    };
    // 0 is what an instance that never read the key holds: one, as in the
    // 1.0-series server.
    for (const Case c : {Case{4, 4}, Case{1, 1}, Case{0, 1}, Case{32, 32}, Case{2, 2}}) {
        rlm_qzovx_t inst{};
        inst.dm_connections = c.dm_connections;
        ASSERT_EQ(qz_module_start(&inst), 0);
        EXPECT_EQ(holders(ovxgetSendSemaphore()), c.expected) << c.dm_connections;
        EXPECT_EQ(holders(ovxgetRecvSemaphore()), c.expected) << c.dm_connections;
        qz_module_forget_sessions(&inst);
    }
    // Starting without an instance keeps one holder.
    ASSERT_EQ(qz_module_start(nullptr), 0);
    EXPECT_EQ(holders(ovxgetSendSemaphore()), 1);
}

TEST(Semaphores, NullHandleFails)
{
    EXPECT_EQ(wait_on(nullptr, 10), -1);
    EXPECT_EQ(reinterpret_cast<intptr_t>(ovxreleaseObject(nullptr)), -1);
}

}  // namespace
