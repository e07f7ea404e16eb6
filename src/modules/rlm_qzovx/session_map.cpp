// The two per-instance lists keyed by request id: the session map (which user
// was last authorized for a request id) and the proxied-session list
// (request ids seen proxied to the loopback address). Neither has a lock: the
// server runs the module's entry points one at a time per instance.
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "module_internal.h"
#include "qz_text.h"

namespace {

constexpr unsigned kUserName = 1;

usermap *new_usermap(const char *sessid, const char *username)
{
    auto *entry = static_cast<usermap *>(calloc(1, sizeof(usermap)));
    if (entry == nullptr)
        return nullptr;
    qz_copy(entry->sessid, sizeof entry->sessid, sessid);
    qz_copy(entry->username, sizeof entry->username, username);
    return entry;
}

void log_session_map(const rlm_qzovx_t *inst, const qz_request *req)
{
    qzmod::log_trace(req, "rlm_qzovx: current session map:");
    for (const usermap *e = inst->sessions2users; e != nullptr; e = e->next)
        qzmod::log_trace(req, "rlm_qzovx: %s %s", e->sessid, e->username);
}

}  // namespace

extern "C" void cacheSession(freeradius_wrapper *wrapper)
{
    if (wrapper == nullptr || wrapper->request == nullptr || wrapper->instance == nullptr)
        return;
    qz_request *req = wrapper->request;
    rlm_qzovx_t *inst = wrapper->instance;
    if (srv_username(req) == nullptr)
        return;
    const qz_pair *user = srv_find(req, SRV_REQUEST_LIST, 0, kUserName);
    if (user == nullptr)
        return;

    char username[QZ_ID_BUFFER] = {};
    char reqid[QZ_ID_BUFFER] = {};
    qz_copy(username, sizeof username, srv_pair_text(req, user));
    getfreeRADRequestId(wrapper, reqid);
    // An entry without an id could never be found again.
    if (reqid[0] == '\0')
        return;

    if (inst->sessions2users == nullptr) {
        qzmod::log_trace(req, "rlm_qzovx: Adding user at head");
        inst->sessions2users = new_usermap(reqid, username);
    } else {
        usermap *e = inst->sessions2users;
        for (;;) {
            if (strcmp(e->sessid, reqid) == 0) {
                qz_copy(e->username, sizeof e->username, username);
                break;
            }
            if (e->next == nullptr) {
                e->next = new_usermap(reqid, username);
                break;
            }
            e = e->next;
        }
    }
    log_session_map(inst, req);
}

extern "C" void removeSession(freeradius_wrapper *wrapper)
{
    if (wrapper == nullptr || wrapper->instance == nullptr)
        return;
    char reqid[QZ_ID_BUFFER] = {};
    getfreeRADRequestId(wrapper, reqid);
    if (reqid[0] == '\0')
        return;
    // Walk by the link that points at the entry, so head and inner entries
    // unlink the same way.
    for (usermap **link = &wrapper->instance->sessions2users; *link != nullptr; link = &(*link)->next) {
        usermap *e = *link;
        if (strcmp(e->sessid, reqid) == 0) {
            *link = e->next;
            free(e);
            return;
        }
    }
}

namespace qzmod {

bool lookup_session_user(freeradius_wrapper *wrapper, char *ref)
{
    if (wrapper == nullptr || wrapper->instance == nullptr)
        return false;
    const qz_request *req = wrapper->request;
    char reqid[QZ_ID_BUFFER] = {};
    getfreeRADRequestId(wrapper, reqid);
    for (const usermap *e = wrapper->instance->sessions2users; e != nullptr; e = e->next) {
        log_trace(req, "rlm_qzovx: getting username, searching cache, examining: %s %s", e->sessid,
                  e->username);
        if (reqid[0] != '\0' && strcmp(e->sessid, reqid) == 0) {
            qz_copy(ref, QZ_ID_BUFFER, e->username);
            return true;
        }
    }
    log_trace(req, "rlm_qzovx: username not found for session: %s", reqid);
    return false;
}

void record_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid)
{
    if (inst == nullptr)
        return;
    log_trace(log_request, "rlm_qzovx: checking session list ");
    auto *node = static_cast<sessionlist *>(calloc(1, sizeof(sessionlist)));
    if (node != nullptr)
        qz_copy(node->sessid, sizeof node->sessid, reqid);

    if (inst->sessionlist == nullptr) {
        log_trace(log_request, "qzovx: ,marking proxied request %s as handled at head", reqid);
        inst->sessionlist = node;
        return;
    }
    log_trace(log_request, "rlm_qzovx: session list is valid.. walking ");
    sessionlist *tail = inst->sessionlist;
    for (;;) {
        log_trace(log_request, "rlm_qzovx: session list is valid.. walking %s", tail->sessid);
        if (tail->next == nullptr)
            break;
        tail = tail->next;
    }
    log_trace(log_request, "qzovx: ,marking proxied request %s as handled", reqid);
    tail->next = node;
}

bool consume_proxied_session(rlm_qzovx_t *inst, const qz_request *log_request, const char *reqid)
{
    if (inst == nullptr)
        return false;
    for (sessionlist **link = &inst->sessionlist; *link != nullptr; link = &(*link)->next) {
        sessionlist *node = *link;
        log_trace(log_request, "qzovx: comparing reqid %s to sessid %s", reqid, node->sessid);
        if (strcmp(node->sessid, reqid) != 0)
            continue;
        if (link == &inst->sessionlist) {
            log_trace(log_request, "rlm_qzovx: freeing @head");
            if (node->next != nullptr)
                log_trace(log_request, "rlm_qzovx: list has >1, adjusting");
        }
        *link = node->next;
        free(node);
        return true;
    }
    return false;
}

}  // namespace qzmod

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
}
