// The key=value extractor, the properties file and the allocation helpers.
#include <stdio.h>
#include <stdlib.h>

#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Authif.h"
#include "debug.h"
#include "fake_dm.h"
#include "test_host.h"

namespace {

// ovx_get_param on const test text; returns the value, or "<none>".
std::string param(std::string text, const char *key)
{
    char value[3073];
    std::strcpy(value, "untouched");
    char *found = ovx_get_param(text.data(), const_cast<char *>(key), value);
    if (found == nullptr) {
        EXPECT_STREQ(value, "untouched") << "value changed although key not found";
        return "<none>";
    }
    return value;
}

TEST(GetParam, KeyRulesAndValueEnds)
{
    EXPECT_EQ(param("a=1\tb=2\n", "b="), "2");
    EXPECT_EQ(param("a=1\tb=2\n", "a="), "1");
    EXPECT_EQ(param("a=\tb=2\n", "a="), "");            // empty value still counts
    EXPECT_EQ(param("a=1\tb=2\n", "b"), "<none>");      // key without "="
    EXPECT_EQ(param("", "a="), "<none>");
    EXPECT_EQ(param("a=1\n", "c="), "<none>");
    EXPECT_EQ(param("x=1\r\ny=2\r\n", "x="), "1");      // CR ends the value
    EXPECT_EQ(param("k=with spaces kept\n", "k="), "with spaces kept");
    EXPECT_EQ(param("k=last", "k="), "last");            // runs to the end
    EXPECT_EQ(param("NOACCESS=true\n", "ACCESS="), "true");  // plain substring
    // Only the part up to the first "=" of the key is looked for.
    EXPECT_EQ(param("dm_port=5\n", "dm_port=ignored"), "5");
}

TEST(GetParam, CommentsAndFirstMatchWins)
{
    EXPECT_EQ(param("#a=1\na=2\n", "a="), "2");
    EXPECT_EQ(param("#a=1\n", "a="), "<none>");
    EXPECT_EQ(param(" #a=1\n", "a="), "1");              // not a comment
    EXPECT_EQ(param("a=1\na=2\n", "a="), "1");
    EXPECT_EQ(param("a=1\ta=2\n", "a="), "1");
    EXPECT_EQ(param("\n\na=3", "a="), "3");
}

TEST(GetParam, ResultPointsPastTheValueEnd)
{
    char text[] = "a=12\tb=3";
    char key_a[] = "a=";
    char key_b[] = "b=";
    char value[16];
    EXPECT_EQ(ovx_get_param(text, key_a, value), text + 5);
    EXPECT_EQ(ovx_get_param(text, key_b, value), text + std::strlen(text));
    EXPECT_EQ(ovx_get_param(nullptr, key_a, value), nullptr);
    EXPECT_EQ(ovx_get_param(text, nullptr, value), nullptr);
}

TEST(GetParam, ValueIsCappedAt3072Characters)
{
    std::string text = "k=" + std::string(5000, 'v') + "\n";
    std::string value = param(text, "k=");
    EXPECT_EQ(value.size(), 3072u);
}

// Runs readProperties over the given file text and returns its stdout.
std::string read_properties(const std::string &text)
{
    qztest::write_properties(text);
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readProperties(), 0);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Properties, MissingFileLeavesTheDefaults)
{
    setenv("QZOVX_PROPERTIES", "/nonexistent/DMConfig.prp", 1);
    enable_debug = 0;
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readProperties(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "error opening /nonexistent/DMConfig.prploading DMConfig props from "
                   "/nonexistent/DMConfig.prp\n");
    EXPECT_EQ(dm_server_port, 4444);
    EXPECT_EQ(dm_server_timeout, 15);
    EXPECT_EQ(sock_timeout, 1);
    EXPECT_STREQ(trace_file_name, "/var/opt/QZ/ovx/agent/logs/freeRADIUS.trc");
    EXPECT_EQ(enable_debug, 1);
    EXPECT_EQ(trace_packet, 0);
    EXPECT_EQ(debug_window, 0);
    EXPECT_EQ(debug_packet, 0);
    EXPECT_EQ(send_lat_group, 0);
    EXPECT_STREQ(qz_ei_attribute_name, "");
    EXPECT_STREQ(qz_ei_attribute_type, "");
}

TEST(Properties, EchoesLinesAndAppliesEveryKey)
{
    std::string out = read_properties(
        "dm_port=5555\n"
        "dm_socket_timeout=3\n"
        "dm_response_timeout=7\n"
        "qz_ei_attributename=qz-ei-state\n"
        "qz_ei_attributetype=STRING\n");
    EXPECT_EQ(dm_server_port, 5555);
    EXPECT_EQ(sock_timeout, 3);
    EXPECT_EQ(dm_server_timeout, 7);
    EXPECT_STREQ(qz_ei_attribute_name, "qz-ei-state");
    EXPECT_STREQ(qz_ei_attribute_type, "STRING");
    EXPECT_NE(out.find("read config data  dm_port=5555\n\n"), std::string::npos) << out;
    EXPECT_NE(out.find("qzovx: using server port: 5555\n"), std::string::npos);
    EXPECT_NE(out.find("EI Attribute name=qz-ei-state\n"), std::string::npos);
    EXPECT_NE(out.find("EI Attribute type: STRING\n"), std::string::npos);
    EXPECT_EQ(out.find("error opening"), std::string::npos);
}

TEST(Properties, CommentsBlanksAndLineEnds)
{
    read_properties(
        "#dm_port=1111\n"
        " #dm_response_timeout=9\r\n"
        "dm_socket_timeout=4\r\n"
        "qz_ei_attributetype=STRING\r\n");
    EXPECT_EQ(dm_server_port, 4444);
    EXPECT_EQ(dm_server_timeout, 9);
    EXPECT_EQ(sock_timeout, 4);
    EXPECT_STREQ(qz_ei_attribute_type, "STRING");  // no CR kept
}

TEST(Properties, KeysAnywhereOnALine)
{
    read_properties(
        "dm_port=6000 the DM's port\n"
        "dm_socket_timeout=2\tdm_response_timeout=30\n"
        "qz_ei_attributename=xdm_port=7000\n");
    // The EI value holds "dm_port=7000", found on the later line too; the
    // last line that holds a key wins.
    EXPECT_EQ(dm_server_port, 7000);
    EXPECT_EQ(sock_timeout, 2);
    EXPECT_EQ(dm_server_timeout, 30);
    EXPECT_STREQ(qz_ei_attribute_name, "xdm_port=7000");
}

TEST(Properties, FlagsAreSetByPresenceWhateverTheValue)
{
    read_properties(
        "ovx_rif_trace_packet=false\n"
        "debug_server=\n"
        "debug_packet=0\n"
        "send_lat_group=no\n");
    EXPECT_EQ(trace_packet, 1);
    EXPECT_EQ(debug_window, 1);
    EXPECT_EQ(debug_packet, 1);
    EXPECT_EQ(send_lat_group, 1);
}

TEST(Properties, NumbersConvertBase10AndClamp)
{
    read_properties(
        "dm_port=abc\n"
        "dm_socket_timeout=  -2x\n"
        "dm_response_timeout=99999999999999\n");
    EXPECT_EQ(dm_server_port, 0);
    EXPECT_EQ(sock_timeout, -2);
    EXPECT_EQ(dm_server_timeout, INT_MAX);
}

TEST(Properties, TraceFileValueFollowsVarPrefix)
{
    read_properties("dm_port=1\novx_rif_trace_file=tmp/a.trc\n");
    EXPECT_STREQ(trace_file_name, "/var/tmp/a.trc");
    EXPECT_EQ(enable_debug, 1);
}

TEST(Properties, SecondTraceFileKeyWorksOnThePathTheFirstLeft)
{
    read_properties("ovx_rif_trace_file=ab\novx_rif_trace_file=tmp/b.trc\n");
    EXPECT_STREQ(trace_file_name, "/var/tmp/b.trc");
}

TEST(Properties, TraceFilePathIsCutTo254Characters)
{
    read_properties("ovx_rif_trace_file=" + std::string(400, 'p') + "\n");
    EXPECT_EQ(std::strlen(trace_file_name), 254u);
    EXPECT_EQ(std::string(trace_file_name, 5), "/var/");
}

TEST(Properties, EiValuesAreCutTo79Characters)
{
    read_properties("qz_ei_attributename=" + std::string(100, 'n') + "\n");
    EXPECT_EQ(std::string(qz_ei_attribute_name), std::string(79, 'n'));
}

TEST(Properties, LongLinesAreReadInPiecesOf1023)
{
    // The key starts beyond the first 1023 characters: it is seen in the
    // second piece, as a line of its own.
    read_properties(std::string(1030, ' ') + "dm_port=4321\n");
    EXPECT_EQ(dm_server_port, 4321);
}

TEST(Properties, ReadOnceAfterInitialisation)
{
    qztest::host_reset();
    std::string trace;
    qztest::write_properties("dm_port=1\novx_rif_trace_file=" + qztest::trace_file_value(&trace) +
                             "\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(radiusIFInitialize(), 1);
    testing::internal::GetCapturedStdout();

    qztest::write_properties("dm_port=2\n");
    EXPECT_EQ(readProperties(), 1);
    EXPECT_EQ(dm_server_port, 1);
}

TEST(Alloc, AllocatesAndReportsFailure)
{
    void *block = ovxAlloc(64);
    ASSERT_NE(block, nullptr);
    std::memset(block, 1, 64);
    ovxFree(block);
    ovxFree(nullptr);

    testing::internal::CaptureStderr();
    EXPECT_EQ(ovxAlloc(-1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ovXalloc(-1) cannot return an allocation\n");
}

TEST(RadiusCodeNames, AsTheDmReadsThem)
{
    EXPECT_STREQ(RadiusCode(rcUnknown), "Unknown");
    EXPECT_STREQ(RadiusCode(rcAccessRequest), "Request");
    EXPECT_STREQ(RadiusCode(rcAccessAccept), "Accept");
    EXPECT_STREQ(RadiusCode(rcAccessReject), "Reject");
    EXPECT_STREQ(RadiusCode(rcAccountingRequest), "AccountingRequest");
    EXPECT_STREQ(RadiusCode(rcAccountingResponse), "AcountingResponse");
    EXPECT_STREQ(RadiusCode(rcAccessChallenge), "AccessChallenge");
    EXPECT_STREQ(RadiusCode(rcDiscard), "Discard");
    EXPECT_STREQ(RadiusCode(static_cast<RADIUS_CODE>(7)), "Unknown");
}

}  // namespace
