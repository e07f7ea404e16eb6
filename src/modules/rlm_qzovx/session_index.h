// The per-instance index behind the two session lists: a hash table over
// each list (request id -> entry), the lists' tails, the session map's
// authorization order and bound, and one lock per list. Every operation on a
// list holds that list's lock for the list work only, never while the core
// talks to the DM. Module-internal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "module.h"
#include "session_hash.h"

// The user name one post-authentication is recording for its request id. It
// enters the session map only when the request ends in an Accept; until then
// the call's own lookups see it through its wrapper (pending_user).
struct qz_pending_user {
    char reqid[QZ_ID_BUFFER];
    char username[QZ_ID_BUFFER];
};

namespace qzmod {

// How long an operation waits for a list's lock before it gives up.
constexpr std::chrono::milliseconds kListLockWait{1000};

// A hash table of intrusive entries: Node has `chain` (next in the bucket)
// and `hash`; the caller compares keys. Buckets are a power of two in number
// and double when the entries outnumber them.
template <typename Node>
struct ChainedIndex {
    Node **buckets = nullptr;
    size_t bucket_count = 0;
    size_t count = 0;
    size_t initial_buckets = 64;

    Node *first_in_bucket(uint64_t hash) const
    {
        return bucket_count == 0 ? nullptr : buckets[hash & (bucket_count - 1)];
    }

    // False when the first table could not be allocated.
    bool insert(Node *node)
    {
        if (bucket_count == 0 && !resize(initial_buckets))
            return false;
        if (count >= bucket_count)
            resize(bucket_count * 2);  // a failed growth only costs speed
        Node **slot = &buckets[node->hash & (bucket_count - 1)];
        node->chain = *slot;
        *slot = node;
        ++count;
        return true;
    }

    void erase(Node *node)
    {
        if (bucket_count == 0)
            return;
        for (Node **link = &buckets[node->hash & (bucket_count - 1)]; *link != nullptr; link = &(*link)->chain) {
            if (*link == node) {
                *link = node->chain;
                node->chain = nullptr;
                --count;
                return;
            }
        }
    }

    // Puts `replacement` where `node` stands in its bucket.
    void replace(Node *node, Node *replacement)
    {
        for (Node **link = &buckets[node->hash & (bucket_count - 1)]; *link != nullptr; link = &(*link)->chain) {
            if (*link == node) {
                replacement->chain = node->chain;
                *link = replacement;
                return;
            }
        }
    }

    bool resize(size_t wanted)
    {
        auto **fresh = static_cast<Node **>(calloc(wanted, sizeof(Node *)));
        if (fresh == nullptr)
            return false;
        for (size_t i = 0; i < bucket_count; ++i) {
            while (Node *n = buckets[i]) {
                buckets[i] = n->chain;
                Node **slot = &fresh[n->hash & (wanted - 1)];
                n->chain = *slot;
                *slot = n;
            }
        }
        free(buckets);
        buckets = fresh;
        bucket_count = wanted;
        return true;
    }

    void clear()
    {
        free(buckets);
        buckets = nullptr;
        bucket_count = 0;
        count = 0;
    }
};

}  // namespace qzmod

struct qz_session_index {
    qzmod::HashKey key;

    // The session map: listing order from the instance's sessions2users to
    // `tail`; authorization order from `oldest` to `newest`.
    std::timed_mutex map_lock;
    qzmod::ChainedIndex<usermap> map;
    usermap *tail = nullptr;
    usermap *oldest = nullptr;
    usermap *newest = nullptr;
    uint32_t max_sessions = QZ_DEFAULT_MAX_SESSIONS;

    // The proxied-session list, from the instance's sessionlist to `proxied_tail`.
    std::timed_mutex proxied_lock;
    qzmod::ChainedIndex<sessionlist> proxied;
    sessionlist *proxied_tail = nullptr;
};

namespace qzmod {

#if defined(__SANITIZE_THREAD__)
using ListLockClock = std::chrono::system_clock;
#else
using ListLockClock = std::chrono::steady_clock;
#endif

// Holds a list's lock for one operation, taken within kListLockWait.
class ListLock {
public:
    // The deadline is on the steady clock, so a step of the wall clock
    // neither stretches nor cuts the wait. ThreadSanitizer does not follow
    // that wait, so its builds wait on the system clock instead.
    explicit ListLock(std::timed_mutex &mutex)
        : mutex_(mutex), held_(mutex.try_lock() || mutex.try_lock_until(ListLockClock::now() + kListLockWait))
    {
    }
    ~ListLock()
    {
        if (held_)
            mutex_.unlock();
    }
    ListLock(const ListLock &) = delete;
    ListLock &operator=(const ListLock &) = delete;
    bool held() const { return held_; }

private:
    std::timed_mutex &mutex_;
    bool held_;
};

inline uint32_t id_hash(const qz_session_index *index, const char *id, size_t length)
{
    return static_cast<uint32_t>(keyed_hash(index->key, id, length));
}

}  // namespace qzmod
