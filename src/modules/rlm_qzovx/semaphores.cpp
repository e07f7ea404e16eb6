// The send and receive semaphores the core library takes around its DM
// exchanges: one pair per process, shared by all instances, each admitting
// one holder, or in the 3.2 server as many as the DM connections configured. All functions here may be called from several threads at once.
#include <semaphore.h>

#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "module_internal.h"
#include "ovxModuleAPI.h"
#include "platdefs.h"
#include "timed_wait.h"

namespace {

sem_t hSendSemaphore;
sem_t hRecvSemaphore;

void *wait_result(int rc)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(rc));
}

}  // namespace

extern "C" void initSemaphores(void)
{
    initSemaphoresFor(1);
}

void initSemaphoresFor(unsigned holders)
{
    unsigned count = holders < 1 ? 1 : holders;
    if (sem_init(&hRecvSemaphore, 0, count) != 0)
        perror("Could not init Recv Semaphore ");
    if (sem_init(&hSendSemaphore, 0, count) != 0)
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
    return wait_result(qzmod::timed_wait(static_cast<sem_t *>(handle), timeout));
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
