// The callback table: registration rules, lookup by name (kept per slot
// until the slot is registered again or the library handle changes),
// forwarding of arguments and results, and what an unresolved slot gives.
#include <dlfcn.h>
#include <stdint.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ovxModuleAPI.h"

// Callbacks this test exports under names of its own.
#define QZ_CB extern "C" __attribute__((visibility("default")))

QZ_CB void *cbtest_request_a(void *) { return reinterpret_cast<void *>(intptr_t{0xA}); }
QZ_CB void *cbtest_request_b(void *) { return reinterpret_cast<void *>(intptr_t{0xB}); }

struct VsaCall {
    int vendor, packet_type;
    void *name, *attributes, *retval;
};
static VsaCall last_vsa;
QZ_CB void *cbtest_vsa(int vendor, void *name, int packet_type, void *attributes, void *retval)
{
    last_vsa = {vendor, packet_type, name, attributes, retval};
    return reinterpret_cast<void *>(intptr_t{30});
}

struct AddVsaCall {
    int vendor, attr, length;
    void *buffer, *response;
};
static AddVsaCall last_add_vsa;
QZ_CB void *cbtest_add_vsa(int vendor, int attr, int length, void *buffer, void *response)
{
    last_add_vsa = {vendor, attr, length, buffer, response};
    return nullptr;
}

QZ_CB int cbtest_replace(void *, int name, void *) { return name + 1000; }
QZ_CB void *cbtest_wait(void *handle, int timeout)
{
    return reinterpret_cast<void *>(reinterpret_cast<intptr_t>(handle) + timeout);
}

// A callback whose exported name is exactly 254 characters long.
#define QZ_A10 "aaaaaaaaaa"
#define QZ_A50 QZ_A10 QZ_A10 QZ_A10 QZ_A10 QZ_A10
#define QZ_NAME_254 QZ_A50 QZ_A50 QZ_A50 QZ_A50 QZ_A50 "aaaa"
QZ_CB void *cbtest_long_name(void *) __asm__(QZ_NAME_254);
void *cbtest_long_name(void *) { return reinterpret_cast<void *>(intptr_t{254}); }

namespace {

char kModule[] = "ovx-freeRADIUS";

void reg(const char *name, int slot)
{
    addCallBack(kModule, const_cast<char *>(name), slot);
}

intptr_t as_int(void *p) { return reinterpret_cast<intptr_t>(p); }

TEST(CallbackTable, TheLatestRegistrationWinsFromTheVeryNextCall)
{
    reg("cbtest_request_a", OVX_SLOT_GET_REQUEST);
    reg("cbtest_replace", OVX_SLOT_REPLACE_FIRST_ATTRIBUTE);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xA);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xA);  // now from what was kept
    EXPECT_EQ(replaceFirstAttribute(nullptr, 1, nullptr), 1001);
    reg("cbtest_request_b", OVX_SLOT_GET_REQUEST);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xB);
    // Back to the first name: no stale lookup of either name stays behind.
    reg("cbtest_request_a", OVX_SLOT_GET_REQUEST);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xA);
    // Another slot's registration leaves this one's lookup alone.
    EXPECT_EQ(replaceFirstAttribute(nullptr, 2, nullptr), 1002);
    reg("cbtest_request_b", OVX_SLOT_GET_RESPONSE);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xA);
    EXPECT_EQ(as_int(getResponse(nullptr)), 0xB);
}

TEST(CallbackTable, ASlotThatDidNotResolveWorksOnceRegisteredWithANameThatDoes)
{
    reg("cbtest_not_there", OVX_SLOT_GET_REQUEST);
    EXPECT_EQ(getRequest(nullptr), nullptr);
    EXPECT_EQ(getRequest(nullptr), nullptr);
    reg("cbtest_request_b", OVX_SLOT_GET_REQUEST);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xB);
    // And a resolved slot given a name that does not resolve stops at once.
    reg("cbtest_not_there", OVX_SLOT_GET_REQUEST);
    EXPECT_EQ(getRequest(nullptr), nullptr);
}

// A library of the tests, not linked into them: its cbtest_plugin_info
// (char *(void), the server-info slot's type) resolves only once
// the test loads it.
constexpr char kPlugin[] = QZOVX_TEST_PLUGIN;

TEST(CallbackTable, ANameThatDidNotResolveIsLookedUpAgainOnEveryCall)
{
    reg("cbtest_plugin_info", OVX_SLOT_GET_SERVER_INFO);
    ASSERT_EQ(getServerInfo(), nullptr) << "the plugin is already loaded into the test";
    // The name becomes known to the loader's default lookup without the
    // slot being registered again.
    void *plugin = dlopen(kPlugin, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    char *version = getServerInfo();
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version[0], '1') << version;
}

TEST(CallbackTable, ALookupIsNotKeptAcrossAChangeOfTheLibraryHandle)
{
    reg("cbtest_plugin_info", OVX_SLOT_GET_SERVER_INFO);
    reg("cbtest_request_a", OVX_SLOT_GET_REQUEST);
    EXPECT_EQ(getServerInfo(), nullptr);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xA);  // kept for the default lookup

    // Bound to the plugin (loaded for itself only): lookups go there now.
    char plugin[sizeof kPlugin];
    memcpy(plugin, kPlugin, sizeof plugin);
    ovxnonWinItFromFile(plugin);
    ASSERT_NE(libhandle, nullptr);
    EXPECT_NE(getServerInfo(), nullptr);
    EXPECT_EQ(getRequest(nullptr), nullptr);  // not in the plugin

    // Back to the default lookup: the plugin's function is not reachable there.
    void *bound = libhandle;
    libhandle = nullptr;
    EXPECT_EQ(getServerInfo(), nullptr);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xA);
    libhandle = bound;
    EXPECT_NE(getServerInfo(), nullptr);
}

TEST(CallbackTable, ForwardsEveryArgumentInOrderAndTheResultUnchanged)
{
    reg("cbtest_vsa", OVX_SLOT_GET_VSA_BY_REF);
    int name = 0, attributes = 0, retval = 0;
    EXPECT_EQ(as_int(GetVSAByRef(32473, &name, 2, &attributes, &retval)), 30);
    EXPECT_EQ(last_vsa.vendor, 32473);
    EXPECT_EQ(last_vsa.packet_type, 2);
    EXPECT_EQ(last_vsa.name, &name);
    EXPECT_EQ(last_vsa.attributes, &attributes);
    EXPECT_EQ(last_vsa.retval, &retval);

    reg("cbtest_add_vsa", OVX_SLOT_ADD_VSA);
    char buffer[] = "100";
    addVSA(7, 46, 3, buffer, &name);
    EXPECT_EQ(last_add_vsa.vendor, 7);
    EXPECT_EQ(last_add_vsa.attr, 46);
    EXPECT_EQ(last_add_vsa.length, 3);
    EXPECT_EQ(last_add_vsa.buffer, buffer);
    EXPECT_EQ(last_add_vsa.response, &name);

    reg("cbtest_replace", OVX_SLOT_REPLACE_FIRST_ATTRIBUTE);
    EXPECT_EQ(replaceFirstAttribute(nullptr, 27, nullptr), 1027);

    reg("cbtest_wait", OVX_SLOT_WAIT_ON_OBJECT);
    EXPECT_EQ(as_int(waitOnObject(reinterpret_cast<void *>(intptr_t{5}), 1000)), 1005);
}

TEST(CallbackTable, NameLongerThanTheEntryIsCutTo254Characters)
{
    std::string name = QZ_NAME_254;
    ASSERT_EQ(name.size(), 254u);
    name += std::string(46, 'z');  // 300 characters; the tail must be dropped
    reg(name.c_str(), OVX_SLOT_GET_REQUEST);
    EXPECT_EQ(as_int(getRequest(nullptr)), 254);
}

TEST(CallbackTable, SlotNumbersOutsideTheTableChangeNothing)
{
    reg("cbtest_request_a", OVX_SLOT_GET_REQUEST);
    reg("cbtest_vsa", OVX_SLOT_GET_VSA_BY_REF);
    reg("cbtest_request_b", -1);
    reg("cbtest_request_b", 31);
    reg("cbtest_request_b", 1000);
    EXPECT_EQ(as_int(getRequest(nullptr)), 0xA);
    EXPECT_EQ(as_int(GetVSAByRef(0, nullptr, 1, nullptr, nullptr)), 30);
}

TEST(CallbackTable, UnresolvedSlotsGiveSafeEmptyResults)
{
    reg("cbtest_no_such_function", OVX_SLOT_GET_ATTRIBUTE_AS_STRING_BY_REF);
    reg("cbtest_no_such_function", OVX_SLOT_GET_VSA_BY_REF);
    char buffer[OVX_VALUE_BUFFER] = {};
    EXPECT_EQ(GetAttributeAsStringByRef(1, 1, nullptr, buffer), nullptr);
    EXPECT_EQ(GetVSAByRef(1, nullptr, 1, nullptr, buffer), nullptr);
    EXPECT_EQ(buffer[0], '\0');

    // Never registered slots.
    EXPECT_EQ(getAttribute(1, nullptr), nullptr);
    EXPECT_EQ(findFirstAttribute(44, nullptr), nullptr);
    EXPECT_EQ(findFirstResponseAttribute(44, nullptr), nullptr);
    EXPECT_EQ(addSubVSA(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(getControlPoint(nullptr), nullptr);
    EXPECT_EQ(getResponseType(nullptr), nullptr);
    EXPECT_EQ(getUserAccess(nullptr), nullptr);
    EXPECT_EQ(getServerInfo(), nullptr);
    EXPECT_EQ(getCPName(3), 0);
    EXPECT_EQ(printAttributes(nullptr), 0);
    // An attribute nobody added is not reported as added.
    EXPECT_NE(replaceFirstAttribute(nullptr, 27, buffer), 0);
    // A hold nobody granted.
    EXPECT_EQ(as_int(waitOnObject(nullptr, 1000)), -1);
    EXPECT_EQ(ovxnonWinIt(), 0);
}

TEST(CallbackTable, RequestTypeAndSendSemaphoreReportTheLoaderMessageAsIs)
{
    reg("cbtest_missing_request_type", OVX_SLOT_GET_REQUEST_TYPE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(getRequestType(nullptr), nullptr);
    EXPECT_EQ(getSendSemaphore(), nullptr);  // never registered
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cbtest_missing_request_type"), std::string::npos) << err;
    // Two messages, neither followed by an added line feed.
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;

    // A resolving lookup reports nothing, even after a failed one.
    reg("cbtest_request_a", OVX_SLOT_GET_REQUEST_TYPE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(as_int(getRequestType(nullptr)), 0xA);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CallbackTable, BindingToAMissingFileReportsAndRecordsTheName)
{
    EXPECT_STREQ(libname, "rlm_qzovx.so");
    char missing[] = "/nonexistent/qzovx-no-such-plugin.so";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ovxnonWinItFromFile(missing), static_cast<int>(strlen(missing)));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("qzovx-no-such-plugin.so"), std::string::npos) << err;
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(err.find('\n'), err.size() - 1);
    EXPECT_EQ(libhandle, nullptr);
    EXPECT_STREQ(libname, missing);
}

TEST(CallbackTable, SecondBindingKeepsTheFirstHandleAndOnlyRecordsTheName)
{
    char libc[] = "libc.so.6";
    EXPECT_EQ(ovxnonWinItFromFile(libc), 9);
    void *first = libhandle;
    ASSERT_NE(first, nullptr);

    char other[] = "libm.so.6";
    testing::internal::CaptureStderr();
    ovxnonWinItFromFile(other);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(libhandle, first);
    EXPECT_STREQ(libname, "libm.so.6");

    // Lookups now go to the bound file: libc's abs(int) is found there.
    reg("abs", OVX_SLOT_GET_CP_NAME);
    EXPECT_EQ(getCPName(-5), 5);

    std::string long_name(300, 'x');
    EXPECT_EQ(ovxnonWinItFromFile(long_name.data()), 254);
    EXPECT_EQ(strlen(libname), 254u);
}

}  // namespace
