/* Taking a std::timed_mutex by a deadline on the monotonic clock
 * (dm_now_ms). Library-internal, C++ only. */
#ifndef QZOVX_TIMED_LOCK_H
#define QZOVX_TIMED_LOCK_H

#include <chrono>
#include <mutex>

#include "dm_sock.h"

/* True when the mutex was taken before deadline_ms. The wait is on the
 * monotonic clock, so a step of the wall clock neither stretches nor cuts
 * it. ThreadSanitizer does not follow the monotonic-clock wait the standard
 * library uses for that, so its builds wait on the system clock instead. */
inline bool lock_by(std::timed_mutex &mutex, long long deadline_ms)
{
    if (mutex.try_lock())
        return true;
#if defined(__SANITIZE_THREAD__)
    auto left = std::chrono::milliseconds(deadline_ms - dm_now_ms());
    return mutex.try_lock_until(std::chrono::system_clock::now() + left);
#else
    // dm_now_ms and steady_clock both count on the monotonic clock.
    return mutex.try_lock_until(std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline_ms)));
#endif
}

#endif
