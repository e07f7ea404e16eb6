// The proxied-session list: request ids seen proxied to the loopback address
// whose non-proxied copy is still to come. The same id may stand in it more
// than once. Both functions may be called from several threads at once; the
// list's lock is held for the list work only.
#include "log.h"
#include "module_internal.h"
#include "qz_text.h"
#include "session_index.h"

namespace {

bool tracing(const qz_request *req)
{
    return srv_debug_level(req) > 1;
}

void unlink_node(rlm_qzovx_t *inst, sessionlist *node)
{
    qz_session_index *index = inst->index;
    (node->prev != nullptr ? node->prev->next : inst->sessionlist) = node->next;
    (node->next != nullptr ? node->next->prev : index->proxied_tail) = node->prev;
    index->proxied.erase(node);
}

// The first node with this id in list order, logging each comparison.
sessionlist *walk_to(rlm_qzovx_t *inst, const qz_request *req, const char *reqid)
{
    for (sessionlist *node = inst->sessionlist; node != nullptr; node = node->next) {
        qzmod::log_trace(req, "qzovx: comparing reqid %s to sessid %s", reqid, node->sessid);
        if (strcmp(node->sessid, reqid) == 0)
            return node;
    }
    return nullptr;
}

// A node with this id, through the index. Nodes with the same id are alike.
sessionlist *find_node(const qz_session_index *index, const char *reqid, uint32_t hash)
{
    for (sessionlist *node = index->proxied.first_in_bucket(hash); node != nullptr; node = node->chain) {
        if (node->hash == hash && strcmp(node->sessid, reqid) == 0)
            return node;
    }
    return nullptr;
}

}  // namespace

namespace qzmod {

void record_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid)
{
    if (inst == nullptr || inst->index == nullptr || reqid == nullptr)
        return;
    qz_session_index *index = inst->index;
    log_trace(log_request, "rlm_qzovx: checking session list ");
    const size_t length = strnlen(reqid, QZ_ID_BUFFER - 1);
    auto *node = static_cast<sessionlist *>(calloc(1, sizeof(sessionlist) + length + 1));
    if (node == nullptr) {
        log_notice(log_request, "rlm_qzovx: out of memory, proxied request %s not recorded", reqid);
        return;
    }
    memcpy(node->sessid, reqid, length);
    node->hash = id_hash(index, node->sessid, length);

    ListLock lock(index->proxied_lock);
    if (!lock.held() || !index->proxied.insert(node)) {
        log_notice(log_request, "rlm_qzovx: proxied request %s not recorded (list busy or out of memory)", reqid);
        free(node);
        return;
    }
    if (inst->sessionlist == nullptr) {
        log_trace(log_request, "qzovx: ,marking proxied request %s as handled at head", reqid);
        inst->sessionlist = node;
    } else {
        log_trace(log_request, "rlm_qzovx: session list is valid.. walking ");
        if (tracing(log_request)) {
            for (const sessionlist *n = inst->sessionlist; n != nullptr; n = n->next)
                log_trace(log_request, "rlm_qzovx: session list is valid.. walking %s", n->sessid);
        }
        log_trace(log_request, "qzovx: ,marking proxied request %s as handled", reqid);
        index->proxied_tail->next = node;
        node->prev = index->proxied_tail;
    }
    index->proxied_tail = node;
}

bool consume_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid)
{
    if (inst == nullptr || inst->index == nullptr || reqid == nullptr)
        return false;
    qz_session_index *index = inst->index;
    const uint32_t hash = id_hash(index, reqid, strlen(reqid));
    ListLock lock(index->proxied_lock);
    if (!lock.held()) {
        log_notice(log_request, "rlm_qzovx: proxied-session list busy for a second, %s not looked up", reqid);
        return false;
    }
    sessionlist *node = tracing(log_request) ? walk_to(inst, log_request, reqid) : find_node(index, reqid, hash);
    if (node == nullptr)
        return false;
    if (node == inst->sessionlist) {
        log_trace(log_request, "rlm_qzovx: freeing @head");
        if (node->next != nullptr)
            log_trace(log_request, "rlm_qzovx: list has >1, adjusting");
    }
    unlink_node(inst, node);
    free(node);
    return true;
}

}  // namespace qzmod
