// Diagnostic output to standard output and the trace file (the debug socket
// is tested with a listener in serial/).
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "debug.h"
#include "stdout_capture.h"
#include "trace_file.h"

namespace {

using qztest_found::fresh_trace_path;
using qztest_found::open_trace;
using qztest_found::read_file;

class Diagnostics : public testing::Test {
protected:
    void SetUp() override
    {
        path_ = fresh_trace_path();
        open_trace(path_);
        ASSERT_GT(trace_fhdl, 0);
    }
    void TearDown() override
    {
        debug_cleanup();
        unlink(path_.c_str());
    }
    std::string trace() const { return read_file(path_); }

    std::string path_;
};

std::string captured_stdout_of(void (*fn)())
{
    qztest::StdoutCapture out;
    fn();
    return out.text();
}

TEST_F(Diagnostics, LinesReachTheTraceWithCrLfAndStdoutUnchanged)
{
    std::string out = captured_stdout_of([] { ovx_dprintf("first %d\nsecond", 1); });
    EXPECT_EQ(out, "first 1\nsecond");
    EXPECT_EQ(trace(), "first 1\r\nsecond");
    ovx_dprintf("\n\nthird\n");
    EXPECT_EQ(trace(), "first 1\r\nsecond\r\n\r\nthird\r\n");
}

TEST_F(Diagnostics, TraceCreatedPrivate)
{
    struct stat info {};
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(Diagnostics, OnlyMessagesUpTo1000CharactersReachTheTrace)
{
    std::string exact(1000, 'x');
    std::string over(1001, 'y');
    qztest::StdoutCapture out;
    ovx_dprintf("%s", exact.c_str());
    ovx_dprintf("%s", over.c_str());
    EXPECT_EQ(out.text(), exact + over);
    EXPECT_EQ(trace(), exact);

    _dprint(over.c_str(), 1001);
    _dprint("ok\n", 3);
    EXPECT_EQ(trace(), exact + "ok\r\n");
}

TEST_F(Diagnostics, PercentInFormattedTextIsNeverAFormatAgain)
{
    std::string out = captured_stdout_of([] { ovx_dprintf("user %s\n", "%s%n%d"); });
    EXPECT_EQ(out, "user %s%n%d\n");
    EXPECT_EQ(trace(), "user %s%n%d\r\n");
}

TEST_F(Diagnostics, TraceOnlyOutputHasNoLengthLimitButIsCutAt4095)
{
    std::string big(5000, 'b');
    std::string out = captured_stdout_of([] { _dprintf("%s", std::string(5000, 'b').c_str()); });
    EXPECT_EQ(out, "");  // _dprintf never writes to standard output
    EXPECT_EQ(trace(), big.substr(0, 4095));
}

TEST_F(Diagnostics, DebugSocketOnlyOutputGoesNowhereWithoutTheSocket)
{
    std::string out = captured_stdout_of([] { debug_printf("socket only\n"); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(trace(), "");
    EXPECT_EQ(debug_sock_send("x", 1), -1);
}

TEST_F(Diagnostics, MasterSwitchOffWritesNothing)
{
    enable_debug = 0;
    std::string out = captured_stdout_of([] {
        ovx_dprintf("a\n");
        _dprintf("b\n");
        _dprint("c\n", 2);
    });
    EXPECT_EQ(debug_sock_send("x", 1), 0);
    enable_debug = 1;
    EXPECT_EQ(out, "");
    EXPECT_EQ(trace(), "");
}

TEST_F(Diagnostics, ConcurrentWritersNeverInterleaveWithinAMessage)
{
    constexpr int kThreads = 8;
    constexpr int kMessages = 200;
    qztest::StdoutCapture capture;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            std::string body(40, static_cast<char>('A' + t));
            for (int i = 0; i < kMessages; ++i) {
                if (i % 2 == 0)
                    ovx_dprintf("<%s\n%s>\n", body.c_str(), body.c_str());
                else
                    _dprintf("<%s\n%s>\n", body.c_str(), body.c_str());
            }
        });
    }
    for (std::thread &w : writers)
        w.join();
    std::string out = capture.text();

    // Every message is "<" + 40 same letters + CR LF + 40 same letters + ">" CR LF.
    std::string text = trace();
    ASSERT_EQ(text.size(), static_cast<size_t>(kThreads * kMessages * 86));
    for (size_t at = 0; at < text.size(); at += 86) {
        std::string message = text.substr(at, 86);
        char letter = message[1];
        std::string body(40, letter);
        ASSERT_EQ(message, "<" + body + "\r\n" + body + ">\r\n") << "at " << at;
    }
    EXPECT_EQ(out.size(), static_cast<size_t>(kThreads * kMessages / 2 * 84));
}

TEST(TraceFile, EarlierRunStaysWholeAndThisRunFollows)
{
    std::string path = fresh_trace_path();
    FILE *earlier = fopen(path.c_str(), "w");
    ASSERT_NE(earlier, nullptr);
    fputs("earlier run, a long line of text\r\n", earlier);
    fclose(earlier);

    open_trace(path);
    _dprintf("new\n");
    debug_cleanup();
    EXPECT_EQ(read_file(path), "earlier run, a long line of text\r\nnew\r\n");
    unlink(path.c_str());
}

TEST(TraceFile, OneCharacterNameIsNotOpened)
{
    qz_copy(trace_file_name, sizeof trace_file_name, "x");
    debug_init();
    EXPECT_LE(trace_fhdl, 0);
    EXPECT_EQ(access("x", F_OK), -1);
}

TEST(TraceFile, UnopenablePathLeavesNoTraceAndNoMessage)
{
    qz_copy(trace_file_name, sizeof trace_file_name, "/nonexistent/dir/trace.trc");
    fflush(stdout);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    debug_init();
    ovx_dprintf("still on stdout\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "still on stdout\n");
    EXPECT_EQ(trace_fhdl, -1);
}

TEST(CodeNames, ListedValuesAndNumbersForTheRest)
{
    cv table[] = {{1, const_cast<char *>("one")}, {-3, const_cast<char *>("minus three")},
                  {0, nullptr}};
    EXPECT_STREQ(cv_display(table, 1), "one");
    EXPECT_STREQ(cv_display(table, -3), "minus three");
    EXPECT_STREQ(cv_display(table, 7), "7");
    EXPECT_STREQ(cv_display(table, -128), "-128");

    cv empty[] = {{5, nullptr}};
    EXPECT_STREQ(cv_display(empty, 5), "5");
    EXPECT_STREQ(cv_display(nullptr, 9), "9");
}

}  // namespace

namespace {

// In a shared directory such as /var/tmp anyone can plant a link under the
// trace file's name; the trace must not follow it into another file.
TEST(TraceFile, LinkUnderTheTraceNameIsNotFollowed)
{
    std::string target = fresh_trace_path();
    std::string link = fresh_trace_path();
    {
        FILE *f = fopen(target.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("precious\n", f);
        fclose(f);
    }
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    open_trace(link);
    EXPECT_LE(trace_fhdl, 0);
    ovx_dprintf("secret\n");
    EXPECT_EQ(read_file(target), "precious\n");
    debug_cleanup();
    unlink(link.c_str());
    unlink(target.c_str());
}

}  // namespace
