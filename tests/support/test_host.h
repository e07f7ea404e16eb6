// A stand-in for the host module: exports every callback name the module
// registers and answers from a per-test description of one request.
//
// Use: call host_reset() at the start of a test (fresh semaphores, zeroed
// counters, the 21 names registered with addCallBack exactly as the module
// does), fill a FakeRequest and pass its address to the library as
// radiusPacket. The callbacks cast it back.
//
// Link: tests that use the host are built with ENABLE_EXPORTS so the library's
// dlsym(RTLD_DEFAULT, name) finds the callbacks in the test executable.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "ovxModuleAPI.h"

namespace qztest {

// A reply attribute the library asked for, in call order.
struct AddedAttribute {
    enum Kind { Replace, Vsa };
    Kind kind;
    int vendor;        // addVSA's vendorid; 0 for Replace
    int id;            // replaceFirstAttribute's NAME or addVSA's attrid
    int length;        // addVSA's length; 0 for Replace
    std::string text;  // the value text
};

struct FakeRequest {
    int request_type = 1;   // ovxgetRequestType
    int response_type = 2;  // ovxgetResponseType
    int control_point = 0;  // ovxgetControlPoint

    // GetAttributeAsStringByRef answers: PACKET_TYPE 1 from request_attrs,
    // 2 from reply_attrs. An identifier not in the map leaves the caller's
    // buffer untouched (reads as absent). Texts longer than 254 characters
    // are cut to 254, as the module does.
    std::map<int, std::string> request_attrs;
    std::map<int, std::string> reply_attrs;

    // GetVSAByRef answers by dictionary name; absent gives "-1".
    std::map<std::string, std::string> request_vsas;
    std::map<std::string, std::string> reply_vsas;

    // findFirstAttribute answers by identifier; absent gives a null pointer.
    std::map<int, std::string> first_attrs;

    OVX_USER_ACCESS *user_access = nullptr;  // getUserAccess / setUserAccess
    int replace_result = 0;                  // what replaceFirstAttribute returns

    // Recorded by the callbacks. Not locked: one FakeRequest belongs to one
    // thread at a time, like the module's per-call wrapper.
    std::vector<AddedAttribute> added;
    std::vector<std::string> calls;  // callback names called with this request, in order
    std::vector<int> vsa_packet_types;  // PACKET_TYPE of each GetVSAByRef call
};

// Counts of semaphore traffic since host_reset(). Waits count attempts,
// successful ones and failed ones separately.
struct SemaphoreCounts {
    int send_waits = 0;
    int send_acquired = 0;
    int send_releases = 0;
    int recv_waits = 0;
    int recv_acquired = 0;
    int recv_releases = 0;
};

// Fresh semaphores with the count 1, zeroed counters, no forced failures,
// and the module's 21 callback names registered under their slots.
void host_reset();
// The same, with semaphores that admit `holders` threads at once, as the
// module makes them for several DM connections.
void host_reset_with_holders(int holders);

// Registers the module's 21 callback names (name, slot) with addCallBack, in
// the module's order. host_reset() calls it.
void register_host_callbacks();

SemaphoreCounts host_counts();
// Current values of the two semaphores (1 = free).
int host_send_value();
int host_recv_value();
// Timeouts (milliseconds) passed to ovxwaitOnObject, in order. Unlike the
// module, the host honours them: a wait gives up with -1 after that long (a
// negative timeout waits without limit).
std::vector<int> host_wait_timeouts();
// Makes every following wait on that semaphore fail with -1 (without waiting).
void host_fail_send_waits(bool fail);
void host_fail_recv_waits(bool fail);
// Text answered by ovxGetServerInfo.
extern const char *const kServerInfo;  // "QZ OVX  freeRADIUS Plugin version B.02.45"

// Whether callback calls are recorded (host_calls, FakeRequest::calls); on
// after host_reset. Benchmarks turn it off.
void host_record_calls(bool on);

// Every callback name called (with or without a request), in order; thread-safe.
std::vector<std::string> host_calls();
void host_clear_calls();

}  // namespace qztest
