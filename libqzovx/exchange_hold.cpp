#include "exchange_hold.h"

#include <limits.h>
#include <stdint.h>

#include "Authif.h"

namespace {

// The host reports a failed wait as -1: a result whose low byte is 0xFF.
bool wait_obtained(void *handle)
{
    void *result = waitOnObject(handle, semaphore_timeout_ms());
    return (reinterpret_cast<uintptr_t>(result) & 0xFF) != 0xFF;
}

}  // namespace

int semaphore_timeout_ms()
{
    long long ms = static_cast<long long>(sock_timeout) * 1000;
    if (ms > INT_MAX)
        return INT_MAX;
    if (ms < INT_MIN)
        return INT_MIN;
    return static_cast<int>(ms);
}

bool ExchangeHold::take_send()
{
    send_held = wait_obtained(send);
    return send_held;
}

bool ExchangeHold::take_recv()
{
    recv_held = wait_obtained(recv);
    return recv_held;
}

void ExchangeHold::release()
{
    if (send_held) {
        send_held = false;
        releaseAnObject(send);
    }
    if (recv_held) {
        recv_held = false;
        releaseAnObject(recv);
    }
}
