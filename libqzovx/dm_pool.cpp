#include "dm_pool.h"

#include <atomic>
#include <mutex>

#include "qz_text.h"
#include "timed_lock.h"

namespace {

struct Slot {
    std::timed_mutex busy;
    DM_SERVER_INFO extra{"", "", -1};  // unused for the primary, which is dm_server[0]
};

Slot slots[kMaxDmConnections];
std::atomic<int> slots_made{1};  // slot 0, the primary, always exists
std::atomic<int> exchanges{0};   // requests holding or seeking a connection
std::mutex growing;              // one thread at a time sets up a new slot

DM_SERVER slot_entry(int index)
{
    return index == 0 ? &dm_server[0] : &slots[index].extra;
}

bool wait_for_slot(int index, long long deadline_ms)
{
    return lock_by(slots[index].busy, deadline_ms);
}

// A free further connection; -1 when every one is busy.
int try_free_slot(int made)
{
    for (int index = 1; index < made; ++index)
        if (slots[index].busy.try_lock())
            return index;
    return -1;
}

// Sets up one more connection slot, held by the caller; -1 at the limit.
int add_slot()
{
    std::lock_guard<std::mutex> lock(growing);
    int made = slots_made.load(std::memory_order_acquire);
    int index = try_free_slot(made);  // one may have come free meanwhile
    if (index >= 0 || made >= kMaxDmConnections)
        return index;
    Slot &slot = slots[made];
    slot.busy.lock();  // free: nobody can reach it before it is published
    DM_SERVER_INFO &entry = slot.extra;
    qz_copy(entry.location, sizeof entry.location, dm_server[0].location);
    qz_copy(entry.dm_server_name, sizeof entry.dm_server_name, dm_server[0].dm_server_name);
    entry.dm_sock = -1;
    slots_made.store(made + 1, std::memory_order_release);
    return made;
}

}  // namespace

DmLease &DmLease::operator=(DmLease &&other) noexcept
{
    if (this != &other) {
        release();
        server = other.server;
        slot = other.slot;
        exchange = other.exchange;
        other.forget();
    }
    return *this;
}

void DmLease::release()
{
    if (server != nullptr && slot >= 0)
        slots[slot].busy.unlock();
    if (exchange)
        exchanges.fetch_sub(1, std::memory_order_acq_rel);
    forget();
}

DmLease dm_lease(DM_SERVER primary, DmRoute route, long long deadline_ms)
{
    if (primary == nullptr)
        return DmLease();
    if (primary != &dm_server[0])
        return DmLease(primary, -1);

    DmLease lease;
    if (route == DmRoute::Exchange) {
        lease.exchange = true;
        // Requests go on the further connections once there are any,
        // keeping the primary free for ordered traffic (a slow answer there
        // would hold up reports and accounting). Until then a request alone
        // takes the primary, as it always does when the host admits one
        // holder at a time; requests side by side open further ones.
        bool alone = exchanges.fetch_add(1, std::memory_order_acq_rel) == 0;
        int index = try_free_slot(slots_made.load(std::memory_order_acquire));
        if (index < 0 && alone && slots[0].busy.try_lock())
            index = 0;
        if (index < 0)
            index = add_slot();
        if (index >= 0) {
            lease.server = slot_entry(index);
            lease.slot = index;
            return lease;
        }
        // Every further connection is busy: wait for the primary.
    }
    if (!wait_for_slot(0, deadline_ms))
        return lease;  // no connection; an exchange's count is given back with it
    lease.server = &dm_server[0];
    lease.slot = 0;
    return lease;
}

void dm_pool_close_extra(long long deadline_ms)
{
    int made = slots_made.load(std::memory_order_acquire);
    for (int index = 1; index < made; ++index) {
        if (!wait_for_slot(index, deadline_ms))
            continue;  // still in use: its holder drops it on failure
        dm_sock_cleanup(&slots[index].extra);
        slots[index].busy.unlock();
    }
}
