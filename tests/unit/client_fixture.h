// Shared set-up of the decision client's tests: a fake DM, the test host, a
// trace file to read back, and a typical request from a switch port.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_dm.h"
#include "test_files.h"
#include "test_host.h"

namespace qzclient {

constexpr const char *kRequestId = "10.0.0.114AABBCCDDEEFF";
constexpr const char *kUser = "alice";
constexpr const char *kNasIp = "10.0.0.1";
constexpr const char *kClientMac = "aa-bb-cc-dd-ee-ff";
constexpr const char *kNasMac = "11-22-33-44-55-66";

// The record is 256 KiB: keep it off the test's stack, zero-filled like the
// module's.
inline std::unique_ptr<OVX_USER_ACCESS> zeroed_record()
{
    auto record = std::make_unique<OVX_USER_ACCESS>();
    std::memset(record.get(), 0, sizeof *record);
    return record;
}

// An Access-Request the server accepted, at control point 0.
inline void fill_access_request(qztest::FakeRequest &req, OVX_USER_ACCESS *record)
{
    req.request_type = 1;
    req.response_type = 2;
    req.control_point = 0;
    req.request_attrs = {
        {OVX_ATTR_REQUEST_ID, kRequestId}, {OVX_ATTR_USER_NAME, kUser},
        {OVX_ATTR_NAS_IP_ADDRESS, kNasIp}, {OVX_ATTR_NAS_PORT, "14"},
        {OVX_ATTR_CALLING_STATION_ID, kClientMac}, {OVX_ATTR_CALLED_STATION_ID, kNasMac},
    };
    req.user_access = record;
}

// An Accounting-Request at the accounting control point, for `session`;
// the caller adds its attributes.
inline void start_accounting_request(qztest::FakeRequest &req, const std::string &session)
{
    req.request_type = rcAccountingRequest;
    req.control_point = 2;
    req.user_access = nullptr;
    req.first_attrs[OVX_ATTR_ACCT_SESSION_ID] = session;
}

inline std::vector<std::string> lines_starting(const qztest::FakeDm &dm, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : dm.lines()) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    }
    return found;
}

// Every test starts a fresh process (ctest runs one test per process), so the
// properties written here are the ones the library reads on its first call.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qztest::write_dm_properties(dm.port(), extra_properties(), &trace_path_);
        qztest::host_reset();
        fill_access_request(req, record.get());
    }

    virtual std::string extra_properties() const { return ""; }

    // The trace file as text, line ends as written by the library ("\r\n")
    // turned back into "\n", and without the connection's note on every
    // piece sent, so that the fragments of one message's trace line join up.
    std::string trace() const
    {
        std::string raw = qztest::read_file(trace_path_), text;
        for (size_t i = 0; i < raw.size(); i++) {
            if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
                continue;
            text += raw[i];
        }
        return without_send_notes(text);
    }

    // Drops every "\nwrote N bytes to: ... \n buff= <N bytes> \n".
    static std::string without_send_notes(const std::string &text)
    {
        std::string kept;
        size_t at = 0;
        for (;;) {
            size_t note = text.find("\nwrote ", at);
            size_t buff = note == std::string::npos ? note : text.find(" \n buff= ", note);
            if (buff == std::string::npos) {
                kept += text.substr(at);
                return kept;
            }
            kept += text.substr(at, note - at);
            size_t bytes = std::stoul(text.substr(note + 7));
            at = std::min(text.size(), buff + 9 + bytes + 2);
        }
    }

    // Lets the library initialise (Startup and SERVERINFO) on a request that
    // is skipped, so later counts concern the request under test alone.
    void initialise_library()
    {
        qztest::FakeRequest skipped;
        skipped.request_type = 0;
        skipped.control_point = 3;
        EXPECT_EQ(ovxauthorize(&skipped), 0);
        ASSERT_TRUE(dm.wait_for("with EI extensions\n"));
    }

    qztest::FakeDm dm;
    std::unique_ptr<OVX_USER_ACCESS> record = zeroed_record();
    qztest::FakeRequest req;

private:
    std::string trace_path_;
};

inline bool same_counts(const qztest::SemaphoreCounts &a, const qztest::SemaphoreCounts &b)
{
    return a.send_waits == b.send_waits && a.send_acquired == b.send_acquired &&
           a.send_releases == b.send_releases && a.recv_waits == b.recv_waits &&
           a.recv_acquired == b.recv_acquired && a.recv_releases == b.recv_releases;
}

// Every hold taken was given back and both semaphores are free.
inline void expect_semaphores_balanced()
{
    qztest::SemaphoreCounts c = qztest::host_counts();
    EXPECT_EQ(c.send_acquired, c.send_releases);
    EXPECT_EQ(c.recv_acquired, c.recv_releases);
    EXPECT_EQ(qztest::host_send_value(), 1);
    EXPECT_EQ(qztest::host_recv_value(), 1);
}

}  // namespace qzclient
