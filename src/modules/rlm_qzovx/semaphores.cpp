// The send and receive semaphores the core library takes around its DM
// exchanges: one pair per process, shared by all instances, each admitting
// one holder. All functions here may be called from several threads at once.
#include <semaphore.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <type_traits>

#include "module_internal.h"
#include "ovxModuleAPI.h"
#include "platdefs.h"

namespace {

sem_t hSendSemaphore;
sem_t hRecvSemaphore;

void *wait_result(int rc)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(rc));
}

// Waits without a time limit; a signal does not end the wait.
int wait_forever(sem_t *sem)
{
    while (sem_wait(sem) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

// Waits until the deadline at most; a signal does not move the deadline.
int wait_until(sem_t *sem, int timeout_ms)
{
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_timedwait(sem, &deadline) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

}  // namespace

extern "C" void initSemaphores(void)
{
    if (sem_init(&hRecvSemaphore, 0, 1) != 0)
        perror("Could not init Recv Semaphore ");
    if (sem_init(&hSendSemaphore, 0, 1) != 0)
        perror("Could not init Send Semaphore ");
}

extern "C" QZ_EXPORT void *ovxgetSendSemaphore(void)
{
    return &hSendSemaphore;
}

extern "C" QZ_EXPORT void *ovxgetRecvSemaphore(void)
{
    return &hRecvSemaphore;
}

// Takes one hold on the semaphore, waiting at most timeout milliseconds (a
// negative timeout waits without limit). 0 when held, -1 when not.
extern "C" QZ_EXPORT void *ovxwaitOnObject(void *handle, int timeout)
{
    if (handle == nullptr)
        return wait_result(-1);
    auto *sem = static_cast<sem_t *>(handle);
    return wait_result(timeout < 0 ? wait_forever(sem) : wait_until(sem, timeout));
}

// Gives back one hold. 0, or -1 when the post failed.
extern "C" QZ_EXPORT void *ovxreleaseObject(void *handle)
{
    if (handle == nullptr || sem_post(static_cast<sem_t *>(handle)) != 0)
        return wait_result(-1);
    return wait_result(0);
}

static_assert(std::is_same_v<decltype(&ovxgetSendSemaphore), ptGetSendSemaphore>);
static_assert(std::is_same_v<decltype(&ovxgetRecvSemaphore), ptGetRecvSemaphore>);
static_assert(std::is_same_v<decltype(&ovxwaitOnObject), ptWaitOnObject>);
static_assert(std::is_same_v<decltype(&ovxreleaseObject), ptReleaseAnObject>);
