// The session map: which user was last authorized for a request id. Kept in
// listing order (what the debug listing shows) and in authorization order
// (which entry gives way when the map is full), found through a hash index.
// Every function here may be called from several threads at once; the map's
// lock is held for the list work only.
#include <sys/random.h>

#include <ctime>
#include <new>

#include "log.h"
#include "module_internal.h"
#include "qz_text.h"
#include "session_index.h"

namespace {

constexpr unsigned kUserName = 1;
// Room kept for a user name, so that most renamings fit in place.
constexpr size_t kMinUserRoom = 16;

bool tracing(const qz_request *req)
{
    return srv_debug_level(req) > 1;
}

usermap *find_entry(const qz_session_index *index, const char *reqid, size_t length, uint32_t hash)
{
    for (usermap *e = index->map.first_in_bucket(hash); e != nullptr; e = e->chain) {
        if (e->hash == hash && e->id_length == length && memcmp(e->text, reqid, length) == 0)
            return e;
    }
    return nullptr;
}

usermap *new_entry(const char *reqid, size_t id_length, const char *username, uint32_t hash)
{
    const size_t user_length = strlen(username);
    size_t room = (user_length + 1 + 7) & ~size_t{7};
    if (room < kMinUserRoom)
        room = kMinUserRoom;
    auto *e = static_cast<usermap *>(calloc(1, sizeof(usermap) + id_length + 1 + room));
    if (e == nullptr)
        return nullptr;
    e->hash = hash;
    e->id_length = static_cast<uint8_t>(id_length);
    e->user_room = static_cast<uint16_t>(room);
    memcpy(e->text, reqid, id_length);
    memcpy(e->text + id_length + 1, username, user_length);
    return e;
}

// Authorization order: takes e out / puts it at the newest end.
void unlink_order(qz_session_index *index, usermap *e)
{
    (e->older != nullptr ? e->older->newer : index->oldest) = e->newer;
    (e->newer != nullptr ? e->newer->older : index->newest) = e->older;
    e->older = e->newer = nullptr;
}

void link_newest(qz_session_index *index, usermap *e)
{
    e->older = index->newest;
    e->newer = nullptr;
    (index->newest != nullptr ? index->newest->newer : index->oldest) = e;
    index->newest = e;
}

// Takes e off both lists and the index; the caller frees it.
void unlink_entry(rlm_qzovx_t *inst, usermap *e)
{
    qz_session_index *index = inst->index;
    (e->prev != nullptr ? e->prev->next : inst->sessions2users) = e->next;
    (e->next != nullptr ? e->next->prev : index->tail) = e->prev;
    unlink_order(index, e);
    index->map.erase(e);
}

// Puts `fresh` where `old` stands on every list and in the index.
void substitute(rlm_qzovx_t *inst, usermap *old, usermap *fresh)
{
    qz_session_index *index = inst->index;
    fresh->next = old->next;
    fresh->prev = old->prev;
    fresh->older = old->older;
    fresh->newer = old->newer;
    (old->prev != nullptr ? old->prev->next : inst->sessions2users) = fresh;
    (old->next != nullptr ? old->next->prev : index->tail) = fresh;
    (old->older != nullptr ? old->older->newer : index->oldest) = fresh;
    (old->newer != nullptr ? old->newer->older : index->newest) = fresh;
    index->map.replace(old, fresh);
}

// The user name an entry shows to this call: its own pending one for its id.
const char *shown_user(const usermap *e, const qz_pending_user *pending)
{
    if (pending != nullptr && strcmp(usermap_sessid(e), pending->reqid) == 0)
        return pending->username;
    return usermap_username(e);
}

// The whole map, as it stands with this call's pending user recorded: the
// entry of its id shows the new name, a new id shows at the tail.
void log_session_map(const rlm_qzovx_t *inst, const qz_request *req, const qz_pending_user *pending)
{
    qzmod::log_trace(req, "rlm_qzovx: current session map:");
    bool shown = false;
    for (const usermap *e = inst->sessions2users; e != nullptr; e = e->next) {
        const char *user = shown_user(e, pending);
        shown = shown || user == pending->username;
        qzmod::log_trace(req, "rlm_qzovx: %s %s", usermap_sessid(e), user);
    }
    if (!shown)
        qzmod::log_trace(req, "rlm_qzovx: %s %s", pending->reqid, pending->username);
}

void log_busy(const qz_request *req, const char *what)
{
    qzmod::log_notice(req, "rlm_qzovx: session map busy for a second, %s", what);
}

// Makes room for one more entry: the least recently authorized give way.
void evict_for_one_more(rlm_qzovx_t *inst, const qz_request *req)
{
    qz_session_index *index = inst->index;
    while (index->map.count >= index->max_sessions && index->oldest != nullptr) {
        usermap *victim = index->oldest;
        qzmod::log_trace(req, "rlm_qzovx: session map full (%u entries), dropping least recently authorized %s %s",
                         index->max_sessions, usermap_sessid(victim), usermap_username(victim));
        unlink_entry(inst, victim);
        free(victim);
    }
}

}  // namespace

namespace qzmod {

HashKey new_hash_key()
{
    HashKey key;
    if (getrandom(&key, sizeof key, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key))
        return key;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    key.k0 = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ULL ^ reinterpret_cast<uintptr_t>(&key);
    key.k1 = static_cast<uint64_t>(now.tv_sec) * 0xC2B2AE3D27D4EB4FULL ^ reinterpret_cast<uintptr_t>(&now);
    return key;
}

bool begin_session(freeradius_wrapper *wrapper, qz_pending_user *pending)
{
    if (wrapper == nullptr || wrapper->request == nullptr || wrapper->instance == nullptr || pending == nullptr)
        return false;
    qz_request *req = wrapper->request;
    rlm_qzovx_t *inst = wrapper->instance;
    if (inst->index == nullptr || srv_username(req) == nullptr)
        return false;
    const qz_pair *user = srv_find(req, SRV_REQUEST_LIST, 0, kUserName);
    if (user == nullptr)
        return false;

    memset(pending, 0, sizeof *pending);
    qz_copy(pending->username, sizeof pending->username, srv_pair_text(req, user));
    getfreeRADRequestId(wrapper, pending->reqid);
    // An entry without an id could never be found again.
    if (pending->reqid[0] == '\0')
        return false;
    wrapper->pending_user = pending;

    if (!tracing(req))
        return true;
    ListLock lock(inst->index->map_lock);
    if (!lock.held()) {
        log_busy(req, "not listed");
        return true;
    }
    if (inst->sessions2users == nullptr)
        log_trace(req, "rlm_qzovx: Adding user at head");
    log_session_map(inst, req, pending);
    return true;
}

void commit_session(rlm_qzovx_t *inst, const qz_request *req, const qz_pending_user &pending)
{
    if (inst == nullptr || inst->index == nullptr || pending.reqid[0] == '\0')
        return;
    qz_session_index *index = inst->index;
    const size_t id_length = strlen(pending.reqid);
    const uint32_t hash = id_hash(index, pending.reqid, id_length);

    ListLock lock(index->map_lock);
    if (!lock.held()) {
        log_busy(req, "user not recorded");
        return;
    }
    usermap *e = find_entry(index, pending.reqid, id_length, hash);
    if (e != nullptr) {
        const size_t user_length = strlen(pending.username);
        if (user_length + 1 <= e->user_room) {
            char *name = e->text + e->id_length + 1;
            memset(name, 0, e->user_room);
            memcpy(name, pending.username, user_length);
        } else {
            usermap *fresh = new_entry(pending.reqid, id_length, pending.username, hash);
            if (fresh == nullptr) {
                log_notice(req, "rlm_qzovx: out of memory, user not recorded");
                return;
            }
            substitute(inst, e, fresh);
            free(e);
            e = fresh;
        }
        unlink_order(index, e);
        link_newest(index, e);
        return;
    }

    evict_for_one_more(inst, req);
    e = new_entry(pending.reqid, id_length, pending.username, hash);
    if (e == nullptr || !index->map.insert(e)) {
        free(e);
        log_notice(req, "rlm_qzovx: out of memory, user not recorded");
        return;
    }
    e->prev = index->tail;
    (index->tail != nullptr ? index->tail->next : inst->sessions2users) = e;
    index->tail = e;
    link_newest(index, e);
}

bool lookup_session_user(freeradius_wrapper *wrapper, char *ref)
{
    if (wrapper == nullptr || wrapper->instance == nullptr || wrapper->instance->index == nullptr)
        return false;
    const qz_request *req = wrapper->request;
    rlm_qzovx_t *inst = wrapper->instance;
    char reqid[QZ_ID_BUFFER] = {};
    getfreeRADRequestId(wrapper, reqid);
    const qz_pending_user *pending = wrapper->pending_user;
    if (pending != nullptr && (reqid[0] == '\0' || strcmp(pending->reqid, reqid) != 0))
        pending = nullptr;

    // Without the listing, this call's own pending name needs no lock.
    if (pending != nullptr && !tracing(req)) {
        qz_copy(ref, QZ_ID_BUFFER, pending->username);
        return true;
    }
    ListLock lock(inst->index->map_lock);
    if (!lock.held()) {
        log_busy(req, "user name not looked up");
        if (pending == nullptr)
            return false;
        qz_copy(ref, QZ_ID_BUFFER, pending->username);
        return true;
    }
    if (tracing(req)) {
        for (const usermap *e = inst->sessions2users; e != nullptr; e = e->next) {
            const char *user = shown_user(e, pending);
            log_trace(req, "rlm_qzovx: getting username, searching cache, examining: %s %s", usermap_sessid(e), user);
            if (reqid[0] != '\0' && strcmp(usermap_sessid(e), reqid) == 0) {
                qz_copy(ref, QZ_ID_BUFFER, user);
                return true;
            }
        }
        if (pending != nullptr) {
            // A new id stands at the tail once recorded.
            log_trace(req, "rlm_qzovx: getting username, searching cache, examining: %s %s", pending->reqid,
                      pending->username);
            qz_copy(ref, QZ_ID_BUFFER, pending->username);
            return true;
        }
        log_trace(req, "rlm_qzovx: username not found for session: %s", reqid);
        return false;
    }
    if (reqid[0] != '\0') {
        const size_t length = strlen(reqid);
        const usermap *e = find_entry(inst->index, reqid, length, id_hash(inst->index, reqid, length));
        if (e != nullptr) {
            qz_copy(ref, QZ_ID_BUFFER, usermap_username(e));
            return true;
        }
    }
    return false;
}

}  // namespace qzmod

extern "C" void cacheSession(freeradius_wrapper *wrapper)
{
    qz_pending_user pending;
    if (!qzmod::begin_session(wrapper, &pending))
        return;
    wrapper->pending_user = nullptr;
    qzmod::commit_session(wrapper->instance, wrapper->request, pending);
}

extern "C" void removeSession(freeradius_wrapper *wrapper)
{
    if (wrapper == nullptr || wrapper->instance == nullptr || wrapper->instance->index == nullptr)
        return;
    char reqid[QZ_ID_BUFFER] = {};
    getfreeRADRequestId(wrapper, reqid);
    if (reqid[0] == '\0')
        return;
    rlm_qzovx_t *inst = wrapper->instance;
    const size_t length = strlen(reqid);
    const uint32_t hash = qzmod::id_hash(inst->index, reqid, length);
    qzmod::ListLock lock(inst->index->map_lock);
    if (!lock.held()) {
        log_busy(wrapper->request, "session not removed");
        return;
    }
    usermap *e = find_entry(inst->index, reqid, length, hash);
    if (e == nullptr)
        return;
    unlink_entry(inst, e);
    free(e);
}

extern "C" int qz_sessions_create(rlm_qzovx_t *inst)
{
    if (inst == nullptr)
        return -1;
    if (inst->index != nullptr)
        return 0;
    auto *index = new (std::nothrow) qz_session_index;
    if (index == nullptr)
        return -1;
    index->key = qzmod::new_hash_key();
    index->max_sessions = inst->max_sessions != 0 ? inst->max_sessions : QZ_DEFAULT_MAX_SESSIONS;
    // The instance's hashsize is the first table's size, as a power of two.
    size_t buckets = 64;
    while (buckets < static_cast<size_t>(inst->hashsize) && buckets < (size_t{1} << 24))
        buckets *= 2;
    index->map.initial_buckets = buckets;
    inst->index = index;
    return 0;
}

extern "C" void qz_module_forget_sessions(rlm_qzovx_t *inst)
{
    if (inst == nullptr)
        return;
    while (usermap *e = inst->sessions2users) {
        inst->sessions2users = e->next;
        free(e);
    }
    while (sessionlist *node = inst->sessionlist) {
        inst->sessionlist = node->next;
        free(node);
    }
    if (inst->index != nullptr) {
        inst->index->map.clear();
        inst->index->proxied.clear();
        delete inst->index;
        inst->index = nullptr;
    }
}
