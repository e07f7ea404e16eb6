// Lazy one-time initialisation: settings, diagnostics, the DM connection
// and the SERVERINFO introduction, under the host's send semaphore.
#include <stdint.h>

#include <mutex>
#include <string>

#include "Authif.h"
#include "debug.h"
#include "dm_message.h"
#include "dm_sock.h"
#include "init_state.h"
#include "timed_lock.h"

namespace {

constexpr const char *kApiString = "OVX Native API B.02.43, with EI extensions";
constexpr int kInitWaitMs = 1000;

// The host's send semaphore may admit several holders (one per DM
// connection), so it alone does not keep two threads from initialising.
std::timed_mutex initialising;

// Callback results carry their number in the low 32 bits.
bool hold_refused(void *wait_result)
{
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(wait_result)) == -1;
}

void print_settings()
{
    debug_printf("DM_SERVER_NAME=%s\n", "localhost");
    debug_printf("DM_SERVER_PORT=%d\n", dm_server_port);
    debug_printf("DM_SERVER_TIMEOUT=%d\n\n", dm_server_timeout);
    debug_printf("DLL_TRACE_FILE=%s\n", trace_file_name);
    debug_printf("DLL_TRACE_PACKET=%s\n\n", trace_packet ? "true" : "false");
}

void send_server_info()
{
    DM_SERVER entry = &dm_server[0];
    std::string event = server_info_event(getServerInfo(), getAPIString());
    dm_sock_send(entry, event.c_str(), static_cast<int>(event.size()));
}

}  // namespace

/* May be called from several threads at once. Returns 1 once the library is
 * initialised. A caller whose wait for the initialising thread times out gets
 * 0 and must not read the settings: they may still be being written. A wait
 * that ends after another thread finished initialising still gets 1. */
int radiusIFInitialize(void)
{
    if (init_done.load(std::memory_order_acquire) == 1)
        return 1;

    void *send_semaphore = getSendSemaphore();
    // Without the hold there is nothing to give back. The semaphore may have
    // stayed busy with other requests' exchanges after the initialiser was
    // done: then the library is ready all the same.
    if (hold_refused(waitOnObject(send_semaphore, kInitWaitMs)))
        return init_done.load(std::memory_order_acquire);

    if (lock_by(initialising, dm_now_ms() + kInitWaitMs)) {
        if (init_done.load(std::memory_order_acquire) != 1) {
            readProperties();
            debug_init();
            dm_init();
            if (debug_window)
                print_settings();
            send_server_info();
            init_done.store(1, std::memory_order_release);
        }
        initialising.unlock();
    }

    releaseAnObject(send_semaphore);
    return init_done.load(std::memory_order_acquire);
}

const char *getAPIString(void)
{
    return kApiString;
}

int sendToDM(void)
{
    return 0;
}

void _authCommon(void * /*radiusPacket*/)
{
}
