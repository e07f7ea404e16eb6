/* Which connection to the DM a message travels on. Library-internal.
 *
 * The server table's entry (dm_server[0]) is the primary connection: it
 * carries the start-up events, the reports and the accounting events, so
 * that the DM reads them in the order they were sent. When the host lets
 * several threads hold its send and receive semaphores at once, an
 * authorization request that finds the primary busy goes on a further
 * connection of the same entry, opened when first needed and used by the
 * requests from then on (until then, a request alone uses the primary).
 * Every connection
 * carries one message, or one request and its answer, at a time, so an
 * answer is only ever read by the thread that asked for it. With semaphores
 * that admit one holder there is never more than the primary. */
#ifndef QZOVX_DM_POOL_H
#define QZOVX_DM_POOL_H

#include "dm_sock.h"

/* Most connections one process keeps to the DM, the primary included. */
constexpr int kMaxDmConnections = 32;

enum class DmRoute {
    Ordered,   // the primary: messages whose order the DM relies on
    Exchange,  // any free connection: a request and its answer
};

/* The use of one connection; given back when the lease ends. */
struct DmLease {
    DM_SERVER server = nullptr;  // null when no connection was obtained
    int slot = -1;               // -1: an entry outside the pool, not locked
    bool exchange = false;       // counted among the requests in progress

    DmLease() = default;
    DmLease(DM_SERVER entry, int index) : server(entry), slot(index) {}
    DmLease(DmLease &&other) noexcept : server(other.server), slot(other.slot), exchange(other.exchange)
    {
        other.forget();
    }
    DmLease &operator=(DmLease &&other) noexcept;
    DmLease(const DmLease &) = delete;
    DmLease &operator=(const DmLease &) = delete;
    ~DmLease() { release(); }

    explicit operator bool() const { return server != nullptr; }
    void release();

private:
    void forget()
    {
        server = nullptr;
        slot = -1;
        exchange = false;
    }
};

/* Takes a connection of `primary` for one message or exchange, waiting for
 * it at most until deadline_ms (dm_now_ms). Connections other than the
 * primary are opened by the first message sent on them. An entry other than
 * dm_server[0] is handed back as it is: it has no pool. May be called from
 * several threads at once. */
DmLease dm_lease(DM_SERVER primary, DmRoute route, long long deadline_ms);

/* Closes the further connections, each once it is free (or when it stays
 * busy past deadline_ms). May be called from several threads at once. */
void dm_pool_close_extra(long long deadline_ms);

#endif
