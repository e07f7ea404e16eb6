// The test host: every callback the module exports, answering from the
// FakeRequest passed as radiusPacket, plus the host's two semaphores.
//
// All callbacks and register_host_callbacks() live in this one object file on
// purpose: a test that references host_reset() pulls the whole file out of the
// static library, so the executable really contains (and, being linked with
// exports, really exports) every callback name the library looks up.
#include "test_host.h"

#include <semaphore.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <type_traits>

#include "callback_names.h"
#include "qz_text.h"
#include "timed_wait.h"

namespace qztest {
namespace {

// Text of ovxGetServerInfo; a writable array because the callback hands out
// a char *.
char server_info_text[] = "QZ OVX  freeRADIUS Plugin version B.02.45";
char not_implemented_text[] = "not implemented";

struct SemaphoreCounters {
    std::atomic<int> waits{0};
    std::atomic<int> acquired{0};
    std::atomic<int> releases{0};
    std::atomic<bool> fail_waits{false};

    void clear()
    {
        waits = 0;
        acquired = 0;
        releases = 0;
        fail_waits = false;
    }
};

struct HostState {
    sem_t send_sem;
    sem_t recv_sem;
    bool semaphores_ready = false;
    SemaphoreCounters send;
    SemaphoreCounters recv;

    std::mutex log_mutex;  // guards calls and wait_timeouts
    std::vector<std::string> calls;
    std::vector<int> wait_timeouts;
};

HostState &state()
{
    static HostState host;
    return host;
}

// Benchmarks switch the call log off: it grows with every call.
std::atomic<bool> recording_calls{true};

void log_call(const char *name)
{
    if (!recording_calls)
        return;
    HostState &host = state();
    std::lock_guard<std::mutex> lock(host.log_mutex);
    host.calls.emplace_back(name);
}

// Logs the call globally and, when there is one, on the request itself.
FakeRequest *request_of(void *handle, const char *name)
{
    log_call(name);
    auto *request = static_cast<FakeRequest *>(handle);
    if (request != nullptr && recording_calls)
        request->calls.emplace_back(name);
    return request;
}

void *as_pointer(intptr_t value)
{
    return reinterpret_cast<void *>(value);
}

SemaphoreCounters *counters_for(void *handle)
{
    HostState &host = state();
    if (handle == &host.send_sem)
        return &host.send;
    if (handle == &host.recv_sem)
        return &host.recv;
    return nullptr;
}

int semaphore_value(sem_t *sem)
{
    int value = 0;
    if (sem_getvalue(sem, &value) != 0)
        return -1;
    return value;
}

void copy_value(void *buffer, const std::string &text)
{
    qz_copy(static_cast<char *>(buffer), OVX_VALUE_BUFFER, text.c_str());
}

}  // namespace
}  // namespace qztest

using qztest::AddedAttribute;
using qztest::FakeRequest;
using qztest::request_of;

#define QZ_HOST_CALLBACK extern "C" __attribute__((visibility("default")))

// ---- Handles and types ----

QZ_HOST_CALLBACK void *ovxgetRequest(void *packet)
{
    request_of(packet, "ovxgetRequest");
    return packet;
}

QZ_HOST_CALLBACK void *ovxgetResponse(void *packet)
{
    request_of(packet, "ovxgetResponse");
    return packet;
}

QZ_HOST_CALLBACK void *ovxgetRequestAttributes(void *request)
{
    request_of(request, "ovxgetRequestAttributes");
    return request;
}

QZ_HOST_CALLBACK void *ovxgetRequestType(void *request)
{
    FakeRequest *fake = request_of(request, "ovxgetRequestType");
    return qztest::as_pointer(fake != nullptr ? fake->request_type : 0);
}

QZ_HOST_CALLBACK void *ovxgetResponseType(void *request)
{
    FakeRequest *fake = request_of(request, "ovxgetResponseType");
    return qztest::as_pointer(fake != nullptr ? fake->response_type : 0);
}

QZ_HOST_CALLBACK void *ovxgetControlPoint(void *request)
{
    FakeRequest *fake = request_of(request, "ovxgetControlPoint");
    return qztest::as_pointer(fake != nullptr ? fake->control_point : 0);
}

QZ_HOST_CALLBACK int ovxGetControlPointName(int ovxCPName)
{
    qztest::log_call("ovxGetControlPointName");
    switch (ovxCPName) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
    case 3:
    case 4:
    case 5:
        return 2;
    default:
        return -1;
    }
}

QZ_HOST_CALLBACK BOOLEAN ovxprintAttributes(void *request)
{
    request_of(request, "ovxprintAttributes");
    return 0;
}

QZ_HOST_CALLBACK char *ovxGetServerInfo(void)
{
    qztest::log_call("ovxGetServerInfo");
    return qztest::server_info_text;
}

QZ_HOST_CALLBACK void *ovxgetUserAccess(void *radiusPacket)
{
    FakeRequest *fake = request_of(radiusPacket, "ovxgetUserAccess");
    return fake != nullptr ? fake->user_access : nullptr;
}

QZ_HOST_CALLBACK void *ovxsetUserAccess(void *radiusPacket, void *userAccess)
{
    FakeRequest *fake = request_of(radiusPacket, "ovxsetUserAccess");
    if (fake != nullptr)
        fake->user_access = static_cast<OVX_USER_ACCESS *>(userAccess);
    return userAccess;
}

// ---- Reading the request ----

QZ_HOST_CALLBACK void *ovxgetAttributeAsString(int NAME, void *attributes)
{
    (void)NAME;
    request_of(attributes, "ovxgetAttributeAsString");
    return qztest::not_implemented_text;
}

QZ_HOST_CALLBACK void *ovxgetAttributeAsStringByRef(int NAME, int PACKET_TYPE, void *attributes,
                                                    void *retval)
{
    FakeRequest *fake = request_of(attributes, "ovxgetAttributeAsStringByRef");
    if (fake == nullptr || retval == nullptr)
        return retval;
    const std::map<int, std::string> *source = nullptr;
    if (PACKET_TYPE == OVX_PACKET_REQUEST)
        source = &fake->request_attrs;
    else if (PACKET_TYPE == OVX_PACKET_REPLY)
        source = &fake->reply_attrs;
    if (source == nullptr)
        return retval;
    auto found = source->find(NAME);
    if (found != source->end())
        qztest::copy_value(retval, found->second);
    return retval;
}

QZ_HOST_CALLBACK void *ovxFindFirstAttribute(int NAME, void *attribs)
{
    FakeRequest *fake = request_of(attribs, "ovxFindFirstAttribute");
    if (fake == nullptr)
        return nullptr;
    auto found = fake->first_attrs.find(NAME);
    if (found == fake->first_attrs.end())
        return nullptr;
    return const_cast<char *>(found->second.c_str());
}

QZ_HOST_CALLBACK void *ovxgetVSAByRef(int VENDOR, void *NAME, int PACKET_TYPE, void *attributes,
                                      void *retval)
{
    (void)VENDOR;
    FakeRequest *fake = request_of(attributes, "ovxgetVSAByRef");
    if (retval == nullptr)
        return retval;
    std::string answer = "-1";
    if (fake != nullptr) {
        fake->vsa_packet_types.push_back(PACKET_TYPE);
        const std::map<std::string, std::string> *source = nullptr;
        if (PACKET_TYPE == OVX_PACKET_REQUEST)
            source = &fake->request_vsas;
        else if (PACKET_TYPE == OVX_PACKET_REPLY)
            source = &fake->reply_vsas;
        if (source != nullptr && NAME != nullptr) {
            auto found = source->find(static_cast<const char *>(NAME));
            if (found != source->end())
                answer = found->second;
        }
    }
    qztest::copy_value(retval, answer);
    return retval;
}

// ---- Writing the reply ----

QZ_HOST_CALLBACK int ovxreplaceFirstAttribute(void *response, int NAME, void *attrib)
{
    FakeRequest *fake = request_of(response, "ovxreplaceFirstAttribute");
    if (fake == nullptr)
        return 0;
    const char *text = attrib != nullptr ? static_cast<const char *>(attrib) : "";
    fake->added.push_back(AddedAttribute{AddedAttribute::Replace, 0, NAME, 0, text});
    return fake->replace_result;
}

QZ_HOST_CALLBACK void *ovxaddVSA(int vendorid, int attrid, int length, void *buffer,
                                 void *response)
{
    FakeRequest *fake = request_of(response, "ovxaddVSA");
    if (fake == nullptr)
        return nullptr;
    const char *text = buffer != nullptr ? static_cast<const char *>(buffer) : "";
    fake->added.push_back(AddedAttribute{AddedAttribute::Vsa, vendorid, attrid, length, text});
    return nullptr;
}

// ---- Semaphores ----

QZ_HOST_CALLBACK void *ovxgetSendSemaphore(void)
{
    qztest::log_call("ovxgetSendSemaphore");
    return &qztest::state().send_sem;
}

QZ_HOST_CALLBACK void *ovxgetRecvSemaphore(void)
{
    qztest::log_call("ovxgetRecvSemaphore");
    return &qztest::state().recv_sem;
}

QZ_HOST_CALLBACK void *ovxwaitOnObject(void *handle, int timeout)
{
    qztest::log_call("ovxwaitOnObject");
    qztest::HostState &host = qztest::state();
    if (qztest::recording_calls) {
        std::lock_guard<std::mutex> lock(host.log_mutex);
        host.wait_timeouts.push_back(timeout);
    }
    qztest::SemaphoreCounters *counters = qztest::counters_for(handle);
    if (counters == nullptr)
        return qztest::as_pointer(-1);
    counters->waits++;
    if (counters->fail_waits)
        return qztest::as_pointer(-1);
    if (qzmod::timed_wait(static_cast<sem_t *>(handle), timeout) != 0)
        return qztest::as_pointer(-1);
    counters->acquired++;
    return qztest::as_pointer(0);
}

QZ_HOST_CALLBACK void *ovxreleaseObject(void *handle)
{
    qztest::log_call("ovxreleaseObject");
    qztest::SemaphoreCounters *counters = qztest::counters_for(handle);
    if (counters == nullptr)
        return qztest::as_pointer(-1);
    counters->releases++;
    if (sem_post(static_cast<sem_t *>(handle)) != 0)
        return qztest::as_pointer(-1);
    return qztest::as_pointer(0);
}

// The callbacks must have exactly the slot types the library calls through.
static_assert(std::is_same_v<decltype(&ovxgetRequest), ptGetRequest>);
static_assert(std::is_same_v<decltype(&ovxgetRequestType), ptGetRequestType>);
static_assert(std::is_same_v<decltype(&ovxgetResponse), ptGetResponse>);
static_assert(std::is_same_v<decltype(&ovxgetResponseType), ptGetResponseType>);
static_assert(std::is_same_v<decltype(&ovxprintAttributes), ptPrintAttributes>);
static_assert(std::is_same_v<decltype(&ovxgetRequestAttributes), ptGetAttributes>);
static_assert(std::is_same_v<decltype(&ovxFindFirstAttribute), ptfindFirstAttribute>);
static_assert(std::is_same_v<decltype(&ovxreplaceFirstAttribute), ptReplaceFirstAttribute>);
static_assert(std::is_same_v<decltype(&ovxgetControlPoint), ptGetControlPoint>);
static_assert(std::is_same_v<decltype(&ovxGetControlPointName), ptGetCPName>);
static_assert(std::is_same_v<decltype(&ovxgetSendSemaphore), ptGetSendSemaphore>);
static_assert(std::is_same_v<decltype(&ovxgetRecvSemaphore), ptGetRecvSemaphore>);
static_assert(std::is_same_v<decltype(&ovxwaitOnObject), ptWaitOnObject>);
static_assert(std::is_same_v<decltype(&ovxreleaseObject), ptReleaseAnObject>);
static_assert(std::is_same_v<decltype(&ovxGetServerInfo), ptGetServerInfo>);
static_assert(std::is_same_v<decltype(&ovxsetUserAccess), ptSetUserAccess>);
static_assert(std::is_same_v<decltype(&ovxgetUserAccess), ptGetUserAccess>);
static_assert(std::is_same_v<decltype(&ovxaddVSA), ptAddVSA>);
static_assert(std::is_same_v<decltype(&ovxgetAttributeAsStringByRef),
                             ptGetAttributeAsStringByRef>);
static_assert(std::is_same_v<decltype(&ovxgetAttributeAsString), ptGetAttributeAsString>);
static_assert(std::is_same_v<decltype(&ovxgetVSAByRef), ptGetVSAByRef>);

namespace qztest {

const char *const kServerInfo = server_info_text;

namespace {

void init_semaphore(sem_t *sem, int holders)
{
    HostState &host = state();
    if (host.semaphores_ready)
        sem_destroy(sem);
    sem_init(sem, 0, static_cast<unsigned>(holders));
}

}  // namespace

void register_host_callbacks()
{
    char module_name[] = "ovx-freeRADIUS";
    for (const qzmod::CallbackName &entry : qzmod::kCallbackNames) {
        char name[OVX_VALUE_BUFFER];
        qz_copy(name, sizeof name, entry.name);
        addCallBack(module_name, name, entry.slot);
    }
}

void host_reset()
{
    host_reset_with_holders(1);
}

void host_reset_with_holders(int holders)
{
    HostState &host = state();
    init_semaphore(&host.send_sem, holders);
    init_semaphore(&host.recv_sem, holders);
    host.semaphores_ready = true;
    host.send.clear();
    host.recv.clear();
    {
        std::lock_guard<std::mutex> lock(host.log_mutex);
        host.calls.clear();
        host.wait_timeouts.clear();
    }
    register_host_callbacks();
}

SemaphoreCounts host_counts()
{
    HostState &host = state();
    SemaphoreCounts counts;
    counts.send_waits = host.send.waits;
    counts.send_acquired = host.send.acquired;
    counts.send_releases = host.send.releases;
    counts.recv_waits = host.recv.waits;
    counts.recv_acquired = host.recv.acquired;
    counts.recv_releases = host.recv.releases;
    return counts;
}

int host_send_value()
{
    return semaphore_value(&state().send_sem);
}

int host_recv_value()
{
    return semaphore_value(&state().recv_sem);
}

std::vector<int> host_wait_timeouts()
{
    HostState &host = state();
    std::lock_guard<std::mutex> lock(host.log_mutex);
    return host.wait_timeouts;
}

void host_record_calls(bool on)
{
    recording_calls = on;
}

void host_fail_send_waits(bool fail)
{
    state().send.fail_waits = fail;
}

void host_fail_recv_waits(bool fail)
{
    state().recv.fail_waits = fail;
}

std::vector<std::string> host_calls()
{
    HostState &host = state();
    std::lock_guard<std::mutex> lock(host.log_mutex);
    return host.calls;
}

void host_clear_calls()
{
    HostState &host = state();
    std::lock_guard<std::mutex> lock(host.log_mutex);
    host.calls.clear();
}

}  // namespace qztest
