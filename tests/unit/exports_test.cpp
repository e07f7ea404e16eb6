// The library exports exactly its interface: every name the headers declare
// with C linkage, nothing else (helpers and private flags stay hidden).
#include <stdio.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

const std::set<std::string> kInterface = {
    // callback table and binding
    "libhandle", "libname", "addCallBack", "ovxnonWinIt", "ovxnonWinItFromFile",
    // forwarding accessors
    "getAttribute", "findFirstAttribute", "replaceFirstAttribute", "printAttributes",
    "getControlPoint", "getResponse", "getRequest", "getAttributes", "releaseAnObject",
    "getRequestType", "getSendSemaphore", "getRecvSemaphore", "waitOnObject", "getServerInfo",
    "getCPName", "getUserAccess", "setUserAccess", "getResponseType", "addVSA", "addSubVSA",
    "GetAttributeAsString", "GetAttributeAsStringByRef", "findFirstResponseAttribute",
    "GetVSAByRef",
    // entry points and decision client
    "ovxauthorize", "ovxaccount", "ovxrespond", "processAuthorizationPacket", "getRequestId",
    "getAcctSessionId", "ovx_verify", "parseACEs", "_ovxrespond", "processAccountingPacket",
    "RadiusCode",
    // settings and utilities
    "dm_server_port", "sock_timeout", "dm_server_timeout", "trace_packet", "debug_packet",
    "send_lat_group", "qz_ei_attribute_name", "qz_ei_attribute_type", "readProperties",
    "ovx_get_param", "ovxAlloc", "ovxFree",
    // initialisation
    "radiusIFInitialize", "getAPIString", "sendToDM", "_authCommon",
    // DM connection
    "dm_server", "dm_servers", "dm_output", "dm_init", "dm_sock_open", "dm_sock_send",
    "dm_printf", "dm_sock_recv", "dm_sock_cleanup", "dm_cleanup", "dm_find_server", "sig_pipe",
    // diagnostics
    "enable_debug", "debug_window", "DEBUG_SERVER_NAME", "debug_socket", "trace_file_name",
    "trace_fhdl", "output", "cv_buf", "ovx_dprintf", "debug_printf", "_dprintf", "_dprint",
    "debug_init", "debug_sock_open", "debug_sock_send", "debug_sock_cleanup", "debug_cleanup",
    "cv_display",
};

std::string run(const std::string &command)
{
    std::string text;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return text;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    pclose(pipe);
    return text;
}

// Defined global names of the dynamic symbol table.
std::set<std::string> exported_names()
{
    std::set<std::string> names;
    std::string listing =
        run(std::string("nm -D --defined-only '") + QZOVX_LIBRARY_FILE + "' 2>&1");
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos)
            end = listing.size();
        std::string line = listing.substr(start, end - start);
        start = end + 1;
        // "<address> <type> <name>"
        size_t type_at = line.find(' ');
        if (type_at == std::string::npos || type_at + 3 > line.size())
            continue;
        char type = line[type_at + 1];
        std::string name = line.substr(type_at + 3);
        bool global = type >= 'A' && type <= 'Z';
        bool weak_cxx = (type == 'W' || type == 'V') && name.rfind("_Z", 0) == 0;
        // AddressSanitizer adds one-definition markers for exported data.
        bool sanitizer = name.rfind("__odr_asan", 0) == 0;
        if (!global || weak_cxx || sanitizer || name == "_init" || name == "_fini" ||
            name.find('@') != std::string::npos)
            continue;
        names.insert(name);
    }
    return names;
}

TEST(Exports, ExactlyTheInterfaceWithCLinkage)
{
    std::set<std::string> exported = exported_names();
    ASSERT_FALSE(exported.empty()) << "could not list " << QZOVX_LIBRARY_FILE;
    for (const std::string &name : kInterface)
        EXPECT_TRUE(exported.count(name)) << "not exported: " << name;
    for (const std::string &name : exported)
        EXPECT_TRUE(kInterface.count(name)) << "exported but not interface: " << name;
}

TEST(Exports, SonameIsMajorVersionZero)
{
    std::string dynamic = run(std::string("objdump -p '") + QZOVX_LIBRARY_FILE + "' 2>&1");
    size_t at = dynamic.find("SONAME");
    ASSERT_NE(at, std::string::npos) << dynamic;
    std::string line = dynamic.substr(at, dynamic.find('\n', at) - at);
    EXPECT_NE(line.find(" libqzovx.so.0"), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.find_last_of(' ') + 1), "libqzovx.so.0");
}

// A module reload must not unmap the library: its signal handler and its
// connections outlive any one load of the module.
TEST(Exports, LibraryIsNeverUnloaded)
{
    std::string dynamic = run(std::string("readelf -d '") + QZOVX_LIBRARY_FILE + "' 2>&1");
    EXPECT_NE(dynamic.find("NODELETE"), std::string::npos) << dynamic;
}

}  // namespace
