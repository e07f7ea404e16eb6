// The module's entry points, shared by both server series: the checks each
// request must pass, the per-call handle given to the core library, and the
// mapping of the core's verdict to the reply code and the module result.
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <memory>

#include "callback_names.h"
#include "log.h"
#include "module_internal.h"
#include "ovxModuleAPI.h"
#include "qz_text.h"
#include "session_index.h"

namespace {

constexpr int kAccessAccept = 2;
constexpr int kAccessReject = 3;
constexpr int kAccountingRequest = 4;
constexpr int kAcctStop = 2;
constexpr int kControlPointAuthorize = 1;
constexpr int kControlPointAccounting = 4;

constexpr unsigned kEapMessage = 79;
constexpr uint8_t kEapSuccess = 3;
constexpr uint8_t kEapFailure = 4;

constexpr unsigned kProxiedToVendor = 11344;
constexpr unsigned kProxiedToAttribute = 1;
constexpr char kLoopback[] = "127.0.0.1";

// The decision record is 265 KB: it lives on the heap rather than on the
// server thread's stack. Each thread keeps the record of its last call for
// the next one, since taking 265 KB from the allocator and giving it back on
// every call cost a busy server more than the module's own work.
struct SpareRecord {
    OVX_USER_ACCESS *record = nullptr;
    ~SpareRecord() { free(record); }
};
thread_local SpareRecord spare_record;

struct RecordReturn {
    void operator()(OVX_USER_ACCESS *record) const
    {
        if (spare_record.record == nullptr)
            spare_record.record = record;
        else
            free(record);
    }
};
using UserAccessPtr = std::unique_ptr<OVX_USER_ACCESS, RecordReturn>;

// A record zero-filled as the core expects, except the table of
// access-control entries (256 KB): the core clears each of its slots before
// writing it and reads only the slots below aceCt, which starts at zero.
UserAccessPtr new_user_access()
{
    OVX_USER_ACCESS *record = spare_record.record;
    spare_record.record = nullptr;
    if (record == nullptr)
        record = static_cast<OVX_USER_ACCESS *>(malloc(sizeof(OVX_USER_ACCESS)));
    if (record == nullptr)
        return UserAccessPtr();
    auto *bytes = reinterpret_cast<unsigned char *>(record);
    constexpr size_t kTableStart = offsetof(OVX_USER_ACCESS, aces);
    constexpr size_t kTableEnd = offsetof(OVX_USER_ACCESS, aceCt);
    static_assert(kTableEnd == kTableStart + sizeof(OVX_USER_ACCESS::aces), "the table ends where aceCt begins");
    memset(bytes, 0, kTableStart);
    memset(bytes + kTableEnd, 0, sizeof(OVX_USER_ACCESS) - kTableEnd);
    return UserAccessPtr(record);
}

void prepare(freeradius_wrapper &w, rlm_qzovx_t *inst, qz_request *request, OVX_USER_ACCESS *user_access)
{
    w.request = request;
    w.instance = inst;
    w.user_access = user_access;
    w.numattrs = 0;
}

struct RequiredAttribute {
    unsigned number;
    const char *missing;
};

constexpr RequiredAttribute kPostAuthNeeds[] = {
    {4, "rlm_qzovx: request does not contain NAS-Ip-Address, cannot process this reply"},
    {5, "rlm_qzovx: request does not contain NAS-Port, cannot process this reply"},
    {31, "rlm_qzovx: request does not contain Calling-Station-Id, cannot process this reply"},
    {1, "rlm_qzovx: request does not contain User-Name, cannot process this reply"},
};

constexpr RequiredAttribute kAccountingNeeds[] = {
    {4, "rlm_qzovx: request does not contain NAS-Ip-Address, cannot process this reply"},
    {5, "rlm_qzovx: request does not contain NAS-Port, cannot process this reply"},
    {44, "rlm_qzovx: request does not contain Acct-Session-Id, cannot process this reply"},
};

// True when every attribute is there; otherwise logs the first one missing.
template <size_t N>
bool has_required(const qz_request *request, const RequiredAttribute (&needs)[N])
{
    for (const RequiredAttribute &need : needs) {
        if (srv_find(request, SRV_REQUEST_LIST, 0, need.number) == nullptr) {
            qzmod::log_trace(request, "%s", need.missing);
            return false;
        }
    }
    return true;
}

// False, after saying why, when there is no request or it has no reply yet;
// `kind` names the request in the message ("" or "accounting ").
bool has_request_and_reply(const qz_request *request, const char *kind)
{
    if (request == nullptr) {
        qzmod::log_notice(request, "rlm_qzovx received NULL %srequest, cannot process!", kind);
        return false;
    }
    if (!srv_has_reply(request)) {
        qzmod::log_notice(request, "rlm_qzovx received %srequest without reply, cannot process!", kind);
        return false;
    }
    return true;
}

void log_out_of_memory(const qz_request *request)
{
    qzmod::log_notice(request, "rlm_qzovx: out of memory, cannot process this request");
}

// Requests proxied to the loopback address (the inner request of a PEAP or
// TTLS tunnel) come back as a second, non-proxied copy with the same request
// id (the outer request): the first is recorded and decided, the copy is
// consumed and left to the server. True when this request is such a copy.
//
// The request id names a port and a MAC, not a session: an entry left by a
// tunnel the supplicant abandoned, or by another session on the same port,
// must not let a request through undecided. Where the server keeps session
// state, the inner request marks its own outer session, and only a request
// of a marked session is a copy; an entry it finds otherwise is stale and is
// dropped, and the DM decides the request.
bool is_copy_of_proxied(rlm_qzovx_t *inst, qz_request *request, const char *reqid)
{
    const qz_pair *proxied_to = srv_find(request, SRV_REQUEST_LIST, kProxiedToVendor, kProxiedToAttribute);
    if (proxied_to != nullptr) {
        qzmod::log_trace(request, "qzovx: found proxied request");
        char address[16] = {};
        qz_copy(address, sizeof address, srv_pair_text(request, proxied_to));
        qzmod::log_trace(request, "qzovx: request proxied to: %s", address);
        if (strcmp(address, kLoopback) == 0) {
            qzmod::record_proxied_session(inst, request, reqid);
            srv_mark_outer_session(request, reqid);
        }
        return false;
    }
    qzmod::log_trace(request, "rlm_qzovx: request is not proxied, looking for previous copy reqqid: %s", reqid);
    const bool listed = qzmod::consume_proxied_session(inst, request, reqid);
    const int marked = srv_outer_session_marked(request, reqid);
    if (marked < 0)
        return listed;
    if (marked > 0)
        return true;
    if (listed)
        qzmod::log_trace(request,
                         "rlm_qzovx: no inner request of this session was decided for %s, "
                         "dropped the entry another session left; asking the DM",
                         reqid);
    return false;
}

// The server put EAP-Success into the Accept before the DM refused it, and
// its reject handling keeps an EAP-Message that is already there: turn it
// into EAP-Failure for the same exchange (same identifier), so the
// supplicant does not see a success before the Reject.
void fail_eap_success(qz_request *request)
{
    const qz_pair *eap = srv_find(request, SRV_REPLY_LIST, 0, kEapMessage);
    size_t length = 0;
    const uint8_t *packet = eap != nullptr ? srv_pair_octets(eap, &length) : nullptr;
    if (packet == nullptr || length != 4 || packet[0] != kEapSuccess)
        return;
    const uint8_t failure[4] = {kEapFailure, packet[1], 0, 4};
    if (srv_pair_set_octets(request, eap, failure, sizeof failure) == 0)
        qzmod::log_trace(request, "rlm_qzovx: EAP-Success of the refused request turned into EAP-Failure");
}

}  // namespace

extern "C" int qz_module_init(void)
{
    qzmod::log_trace(nullptr, "    rlm_qzovx: init() called");
    return 0;
}

extern "C" int qz_module_start(rlm_qzovx_t *inst)
{
    if (inst != nullptr && inst->dm_connections > 1)
        initSemaphoresFor(inst->dm_connections);
    else
        initSemaphores();
    static char module_name[] = "ovx-freeRADIUS";
    for (const qzmod::CallbackName &callback : qzmod::kCallbackNames)
        addCallBack(module_name, const_cast<char *>(callback.name), callback.slot);  // copied, never written
    if (inst == nullptr)
        return 0;
    inst->hashsize = 100000;
    return qz_sessions_create(inst);
}

extern "C" int qz_module_authorize(rlm_qzovx_t *inst, qz_request *request)
{
    qzmod::log_trace(request, "qzovx: entered qzovx_authorize");
    // Only Access-Reject packets (code 3) are handed to the core here.
    if (request == nullptr || srv_request_code(request) != kAccessReject)
        return QZ_RLM_NOOP;

    UserAccessPtr user_access = new_user_access();
    if (user_access != nullptr) {
        freeradius_wrapper w{};
        prepare(w, inst, request, user_access.get());
        qzmod::log_trace(request, "    rlm_qzovx: calling ovxauthorize");
        w.control_point = kControlPointAuthorize;
        qzmod::log_trace(request, "qzovx: set CP");
        w.ovxStatus = ovxauthorize(&w);
        user_access->src = 4;
        user_access->return_code = 1;
        ovxrespond(&w);
    } else {
        log_out_of_memory(request);
    }
    if (srv_has_reply(request))
        srv_set_reply_code(request, kAccessReject);
    return QZ_RLM_REJECT;
}

extern "C" int qz_module_post_auth(rlm_qzovx_t *inst, qz_request *request)
{
    qzmod::log_trace(request, "qzovx: entered qzovx_post_auth");
    if (!has_request_and_reply(request, ""))
        return QZ_RLM_NOOP;
    // Called again for a request already asked about (listed in post-auth
    // and in the server's reject section, which a refusal leads to).
    if (srv_request_marked(request, inst)) {
        qzmod::log_trace(request, "rlm_qzovx: request already decided, nothing more to do");
        return QZ_RLM_NOOP;
    }
    const int reply_code = srv_reply_code(request);
    if (reply_code != kAccessAccept && reply_code != kAccessReject)
        return QZ_RLM_OK;
    if (!has_required(request, kPostAuthNeeds))
        return QZ_RLM_OK;

    freeradius_wrapper w{};
    prepare(w, inst, request, nullptr);

    char reqid[QZ_ID_BUFFER] = {};
    getfreeRADRequestId(&w, reqid);
    if (reqid[0] == '\0') {
        qzmod::log_notice(request,
                          "rlm_qzovx: could not get requestid, ovx cannot process this packet (this may be normal)");
        return QZ_RLM_OK;
    }
    if (is_copy_of_proxied(inst, request, reqid))
        return QZ_RLM_OK;

    if (srv_username(request) == nullptr) {
        qzmod::log_trace(request, "    qzovx: Proxy reply, or no User-Name.  Ignoring.");
        return QZ_RLM_OK;
    }

    UserAccessPtr user_access = new_user_access();
    if (user_access == nullptr) {
        log_out_of_memory(request);
        return QZ_RLM_OK;
    }
    w.user_access = user_access.get();

    qzmod::log_trace(request, "qzovx:authorize starting..");
    qzmod::log_trace(request, "    rlm_qzovx: calling ovxauthorize");
    w.control_point = kControlPointAuthorize;
    qzmod::log_trace(request, "qzovx: set CP");

    // The user is this request's for its own DM exchange and report; only
    // an Accept records it in the session map, so that a failed login on
    // someone's port and MAC does not take their session over.
    qz_pending_user pending;
    const bool recording = qzmod::begin_session(&w, &pending);
    user_access->src = 0;
    user_access->return_code = 0;
    srv_mark_request(request, inst);
    w.ovxStatus = ovxauthorize(&w);

    if (reply_code == kAccessReject) {
        user_access->src = 4;
        user_access->return_code = 1;
        ovxrespond(&w);
        return QZ_RLM_REJECT;
    }
    if (w.ovxStatus == kAccessReject) {
        // The report says Reject. Where the server handles rejects itself,
        // it must still see the Accept, so that it runs its reject section
        // (filters that strip the Accept's attributes and keys) as for its
        // own Rejects.
        srv_set_reply_code(request, kAccessReject);
        ovxrespond(&w);
        if (srv_server_rejects()) {
            srv_set_reply_code(request, kAccessAccept);
            fail_eap_success(request);
        }
        return QZ_RLM_REJECT;
    }
    ovxrespond(&w);
    w.pending_user = nullptr;
    if (recording)
        qzmod::commit_session(inst, request, pending);
    return QZ_RLM_UPDATED;
}

extern "C" int qz_module_accounting(rlm_qzovx_t *inst, qz_request *request)
{
    qzmod::log_trace(request, "qzovx: entered qzovx_accounting");
    if (!has_request_and_reply(request, "accounting "))
        return QZ_RLM_NOOP;
    if (!has_required(request, kAccountingNeeds))
        return QZ_RLM_OK;

    freeradius_wrapper w{};
    prepare(w, inst, request, nullptr);
    if (reinterpret_cast<intptr_t>(ovxgetRequestType(&w)) != kAccountingRequest)
        return QZ_RLM_NOOP;
    if (srv_is_proxying(request))
        return QZ_RLM_NOOP;

    UserAccessPtr user_access = new_user_access();
    if (user_access == nullptr) {
        log_out_of_memory(request);
        return QZ_RLM_OK;
    }
    w.user_access = user_access.get();

    qzmod::log_trace(request, "    rlm_qzovx: calling ovxaccount");
    w.control_point = kControlPointAccounting;
    qzmod::log_trace(request, "qzovx: set CP");
    // An event the DM did not get is a failure: the server then sends no
    // Accounting-Response, so the switch (or the server's detail-file
    // reader) sends it again. The session stays until a Stop gets through,
    // so that the retry still reports its user.
    if (ovxaccount(&w) == -1) {
        qzmod::log_notice(request, "rlm_qzovx: accounting request not delivered to the DM");
        return QZ_RLM_FAIL;
    }

    const qz_pair *status = srv_find(request, SRV_REQUEST_LIST, 0, OVX_ATTR_ACCT_STATUS_TYPE);
    if (status != nullptr && srv_pair_integer(status) == kAcctStop)
        removeSession(&w);
    return QZ_RLM_OK;
}
