// Taking one hold on a POSIX semaphore with a time limit. Shared by the
// module's semaphores and the test host's, which must wait the same way.
#ifndef QZOVX_TIMED_WAIT_H
#define QZOVX_TIMED_WAIT_H

#include <semaphore.h>

#include <cerrno>
#include <ctime>

namespace qzmod {

// Waits at most timeout_ms milliseconds, without limit when it is negative.
// A signal neither ends the wait nor moves the deadline. 0 when the hold was
// taken, -1 when the deadline passed or the wait failed otherwise.
inline int timed_wait(sem_t *sem, int timeout_ms)
{
    if (timeout_ms < 0) {
        while (sem_wait(sem) != 0) {
            if (errno != EINTR)
                return -1;
        }
        return 0;
    }
    // The deadline is on the monotonic clock, so a step of the wall clock
    // neither stretches nor cuts the wait. ThreadSanitizer does not follow
    // sem_clockwait, so its builds wait on the wall clock instead.
#if defined(__SANITIZE_THREAD__)
    constexpr clockid_t clock = CLOCK_REALTIME;
#else
    constexpr clockid_t clock = CLOCK_MONOTONIC;
#endif
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
#if defined(__SANITIZE_THREAD__)
    while (sem_timedwait(sem, &deadline) != 0) {
#else
    while (sem_clockwait(sem, clock, &deadline) != 0) {
#endif
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

}  // namespace qzmod

#endif
