// The callback table and the forwarding accessors. The host registers one
// name per slot; every accessor looks its slot's name up with the loader and
// forwards its arguments unchanged. What the loader found is kept per slot
// until that slot is registered again or the library handle changes, so a
// re-registered slot takes effect at once; a name that does not resolve is
// looked up again on every call. (The loader's lookup walks every object of
// the server under its own lock; done for every accessor call it costs a
// busy server more than the rest of the module together.)
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <mutex>

#include "ovxModuleAPI.h"
#include "qz_text.h"

namespace {

constexpr size_t kNameWidth = 255;

// Slot names; all empty at load. Written by registration, which the host
// does before any request arrives, read afterwards.
char callback_table[OVX_SLOT_COUNT][kNameWidth];

// What each slot's name resolved to on cached_handle; null: not known.
std::atomic<void *> cached_symbol[OVX_SLOT_COUNT];
std::atomic<void *> cached_handle{nullptr};
// Counts registrations, so a lookup that raced with one is not kept.
std::atomic<unsigned> registrations{0};
std::mutex caching;

enum class ReportLookupError { no, yes };

void *cached_lookup(int slot, void *handle)
{
    if (handle != cached_handle.load(std::memory_order_acquire))
        return nullptr;
    return cached_symbol[slot].load(std::memory_order_acquire);
}

void keep_lookup(int slot, void *handle, void *symbol, unsigned registrations_before)
{
    std::lock_guard<std::mutex> lock(caching);
    if (registrations.load(std::memory_order_acquire) != registrations_before)
        return;  // the slot may have been given another name meanwhile
    if (cached_handle.load(std::memory_order_relaxed) != handle) {
        for (auto &entry : cached_symbol)
            entry.store(nullptr, std::memory_order_relaxed);
        cached_handle.store(handle, std::memory_order_release);
    }
    cached_symbol[slot].store(symbol, std::memory_order_release);
}

// Looks the slot's name up on libhandle (null: the loader's default lookup).
// Returns null when the name does not resolve; with `report`, the loader's
// message goes to standard error as it is. May be called from several
// threads at once.
template <typename Fn>
Fn resolve(int slot, ReportLookupError report = ReportLookupError::no)
{
    ovxnonWinIt();
    void *handle = libhandle;
    if (void *known = cached_lookup(slot, handle))
        return reinterpret_cast<Fn>(known);
    unsigned registrations_before = registrations.load(std::memory_order_acquire);
    dlerror();  // clear any stale message so only this lookup's is seen
    void *symbol = dlsym(handle, callback_table[slot]);
    if (report == ReportLookupError::yes) {
        const char *message = dlerror();
        if (message != nullptr)
            fputs(message, stderr);
    }
    if (symbol != nullptr)
        keep_lookup(slot, handle, symbol, registrations_before);
    return reinterpret_cast<Fn>(symbol);
}

}  // namespace

void *libhandle = nullptr;
char libname[255] = "rlm_qzovx.so";

void addCallBack(char * /*moduleName*/, char *name, int callback)
{
    if (callback < 0 || callback >= OVX_SLOT_COUNT)
        return;
    std::lock_guard<std::mutex> lock(caching);
    qz_copy(callback_table[callback], kNameWidth, name);
    cached_symbol[callback].store(nullptr, std::memory_order_release);
    registrations.fetch_add(1, std::memory_order_acq_rel);
}

int ovxnonWinIt(void)
{
    return 0;
}

int ovxnonWinItFromFile(char *lname)
{
    // A null name would make the loader hand back the main program; treat
    // it as nothing to open.
    if (libhandle == nullptr && lname != nullptr) {
        libhandle = dlopen(lname, RTLD_NOW);
        if (libhandle == nullptr) {
            const char *message = dlerror();
            fprintf(stderr, "%s\n", message != nullptr ? message : "");
        }
    }
    return static_cast<int>(qz_copy(libname, sizeof libname, lname));
}

char *getAttribute(int ATTRIB, void *request)
{
    auto fn = resolve<ptGetAttribute>(OVX_SLOT_GET_ATTRIBUTE);
    return fn != nullptr ? fn(ATTRIB, request) : nullptr;
}

void *findFirstAttribute(int NAME, void *attribs)
{
    auto fn = resolve<ptfindFirstAttribute>(OVX_SLOT_FIND_FIRST_ATTRIBUTE);
    return fn != nullptr ? fn(NAME, attribs) : nullptr;
}

int replaceFirstAttribute(void *response, int NAME, void *attrib)
{
    auto fn = resolve<ptReplaceFirstAttribute>(OVX_SLOT_REPLACE_FIRST_ATTRIBUTE);
    // Callers read non-zero as failure; an attribute nobody added must not
    // be reported as added.
    return fn != nullptr ? fn(response, NAME, attrib) : -1;
}

BOOLEAN printAttributes(void *request)
{
    auto fn = resolve<ptPrintAttributes>(OVX_SLOT_PRINT_ATTRIBUTES);
    return fn != nullptr ? fn(request) : 0;
}

void *getControlPoint(void *request)
{
    auto fn = resolve<ptGetControlPoint>(OVX_SLOT_GET_CONTROL_POINT);
    return fn != nullptr ? fn(request) : nullptr;
}

void *getResponse(void *packet)
{
    auto fn = resolve<ptGetResponse>(OVX_SLOT_GET_RESPONSE);
    return fn != nullptr ? fn(packet) : nullptr;
}

void *getRequest(void *packet)
{
    auto fn = resolve<ptGetRequest>(OVX_SLOT_GET_REQUEST);
    return fn != nullptr ? fn(packet) : nullptr;
}

void *getAttributes(void *request)
{
    auto fn = resolve<ptGetAttributes>(OVX_SLOT_GET_ATTRIBUTES);
    return fn != nullptr ? fn(request) : nullptr;
}

void *releaseAnObject(void *handle)
{
    auto fn = resolve<ptReleaseAnObject>(OVX_SLOT_RELEASE_AN_OBJECT);
    return fn != nullptr ? fn(handle) : nullptr;
}

void *getRequestType(void *request)
{
    auto fn = resolve<ptGetRequestType>(OVX_SLOT_GET_REQUEST_TYPE, ReportLookupError::yes);
    return fn != nullptr ? fn(request) : nullptr;
}

void *getSendSemaphore(void)
{
    auto fn = resolve<ptGetSendSemaphore>(OVX_SLOT_GET_SEND_SEMAPHORE, ReportLookupError::yes);
    return fn != nullptr ? fn() : nullptr;
}

void *getRecvSemaphore(void)
{
    auto fn = resolve<ptGetRecvSemaphore>(OVX_SLOT_GET_RECV_SEMAPHORE);
    return fn != nullptr ? fn() : nullptr;
}

void *waitOnObject(void *handle, int timeout)
{
    auto fn = resolve<ptWaitOnObject>(OVX_SLOT_WAIT_ON_OBJECT);
    // No callback: the hold was not obtained.
    return fn != nullptr ? fn(handle, timeout) : reinterpret_cast<void *>(intptr_t{-1});
}

char *getServerInfo(void)
{
    auto fn = resolve<ptGetServerInfo>(OVX_SLOT_GET_SERVER_INFO);
    return fn != nullptr ? fn() : nullptr;
}

int getCPName(int ovxCPName)
{
    auto fn = resolve<ptGetCPName>(OVX_SLOT_GET_CP_NAME);
    return fn != nullptr ? fn(ovxCPName) : 0;
}

void *getUserAccess(void *radiusPacket)
{
    auto fn = resolve<ptGetUserAccess>(OVX_SLOT_GET_USER_ACCESS);
    return fn != nullptr ? fn(radiusPacket) : nullptr;
}

void *setUserAccess(void *radiusPacket, void *userAccess)
{
    auto fn = resolve<ptSetUserAccess>(OVX_SLOT_SET_USER_ACCESS);
    return fn != nullptr ? fn(radiusPacket, userAccess) : nullptr;
}

void *getResponseType(void *request)
{
    auto fn = resolve<ptGetResponseType>(OVX_SLOT_GET_RESPONSE_TYPE);
    return fn != nullptr ? fn(request) : nullptr;
}

void *addVSA(int vendorid, int attrid, int length, void *buffer, void *response)
{
    auto fn = resolve<ptAddVSA>(OVX_SLOT_ADD_VSA);
    return fn != nullptr ? fn(vendorid, attrid, length, buffer, response) : nullptr;
}

void *addSubVSA(void *VSA, int length, void *buffer)
{
    auto fn = resolve<ptAddSubVSA>(OVX_SLOT_ADD_SUB_VSA);
    return fn != nullptr ? fn(VSA, length, buffer) : nullptr;
}

void *GetAttributeAsString(int NAME, void *attributes)
{
    auto fn = resolve<ptGetAttributeAsString>(OVX_SLOT_GET_ATTRIBUTE_AS_STRING);
    return fn != nullptr ? fn(NAME, attributes) : nullptr;
}

void *GetAttributeAsStringByRef(int NAME, int PACKET_TYPE, void *attributes, void *retval)
{
    auto fn = resolve<ptGetAttributeAsStringByRef>(OVX_SLOT_GET_ATTRIBUTE_AS_STRING_BY_REF);
    return fn != nullptr ? fn(NAME, PACKET_TYPE, attributes, retval) : nullptr;
}

void *findFirstResponseAttribute(int NAME, void *attribs)
{
    auto fn = resolve<ptfindFirstAttribute>(OVX_SLOT_FIND_FIRST_RESPONSE_ATTRIBUTE);
    return fn != nullptr ? fn(NAME, attribs) : nullptr;
}

void *GetVSAByRef(int VENDOR, void *NAME, int PACKET_TYPE, void *attributes, void *retval)
{
    auto fn = resolve<ptGetVSAByRef>(OVX_SLOT_GET_VSA_BY_REF);
    return fn != nullptr ? fn(VENDOR, NAME, PACKET_TYPE, attributes, retval) : nullptr;
}
