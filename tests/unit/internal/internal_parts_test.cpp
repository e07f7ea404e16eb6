// Library-internal helpers: discarding stale DM text and number reading.
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "dm_sock.h"
#include "number.h"
#include "stdout_capture.h"

namespace {

// One end of a connected pair stands in for the DM connection.
class StaleText : public testing::Test {
protected:
    void SetUp() override
    {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        dm_ = ends[1];
        entry_.dm_sock = ends[0];
        out_.emplace();
    }
    void TearDown() override
    {
        out_.reset();  // the capture ends before the cleanup's own output
        dm_sock_cleanup(&entry_);
        if (dm_ >= 0)
            close(dm_);
    }
    // Standard output since SetUp; the capture ends at the first call.
    std::string stdout_text() { return out_->text(); }
    void dm_writes(const std::string &text)
    {
        ASSERT_EQ(write(dm_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    DM_SERVER_INFO entry_{"default", "localhost", -1};
    int dm_ = -1;
    std::optional<qztest::StdoutCapture> out_;
};

TEST_F(StaleText, PendingLinesAreDiscardedAndCounted)
{
    EXPECT_EQ(dm_sock_discard_pending(&entry_), 0);
    dm_writes("late answer\n");
    dm_writes(std::string(3000, 'z') + "\n");
    EXPECT_EQ(dm_sock_discard_pending(&entry_), 3013);
    EXPECT_EQ(dm_sock_discard_pending(&entry_), 0);
    EXPECT_NE(entry_.dm_sock, -1);  // still usable

    // What the DM writes next is read normally.
    dm_writes("ACCESS=true\n");
    char answer[64];
    EXPECT_EQ(dm_sock_recv(&entry_, answer, sizeof answer), 0);
    EXPECT_STREQ(answer, "ACCESS=true\n");

    std::string out = stdout_text();
    EXPECT_NE(out.find("discarded 3013 stale bytes from DM\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("discarded 0"), std::string::npos) << out;
}

// The rest of that line would arrive later and be read as an answer.
TEST_F(StaleText, StaleTextEndingInsideALineDropsTheConnection)
{
    dm_writes("ACCESS=true\tVLAN_ID=66");
    EXPECT_EQ(dm_sock_discard_pending(&entry_), 22);
    EXPECT_EQ(entry_.dm_sock, -1);
    EXPECT_NE(stdout_text().find("stale DM text ends inside a line: connection dropped\n"), std::string::npos);
}

TEST_F(StaleText, PeerGoneDropsTheConnection)
{
    dm_writes("bye");
    close(dm_);
    dm_ = -1;
    EXPECT_EQ(dm_sock_discard_pending(&entry_), 3);
    EXPECT_EQ(entry_.dm_sock, -1);
}

TEST_F(StaleText, NoConnectionDiscardsNothing)
{
    DM_SERVER_INFO none{"default", "localhost", -1};
    EXPECT_EQ(dm_sock_discard_pending(&none), 0);
    EXPECT_EQ(dm_sock_discard_pending(nullptr), 0);
    EXPECT_EQ(stdout_text(), "");
}

TEST(Number, Base10WithClamping)
{
    EXPECT_EQ(qz_to_int32("42"), 42);
    EXPECT_EQ(qz_to_int32("  -17abc"), -17);
    EXPECT_EQ(qz_to_int32("+8"), 8);
    EXPECT_EQ(qz_to_int32(""), 0);
    EXPECT_EQ(qz_to_int32("abc"), 0);
    EXPECT_EQ(qz_to_int32("- 5"), 0);
    EXPECT_EQ(qz_to_int32("\t\n12"), 12);
    EXPECT_EQ(qz_to_int32("2147483647"), INT_MAX);
    EXPECT_EQ(qz_to_int32("2147483648"), INT_MAX);
    EXPECT_EQ(qz_to_int32("-2147483648"), INT_MIN);
    EXPECT_EQ(qz_to_int32("-2147483649"), INT_MIN);
    EXPECT_EQ(qz_to_int32("99999999999999999999999999"), INT_MAX);
    EXPECT_EQ(qz_to_int32(std::string_view("123", 2)), 12);  // not NUL-terminated
}

}  // namespace
