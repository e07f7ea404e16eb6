// A server started in the background has standard output on /dev/null: the
// library then does not build the text meant only for it, but whoever else
// reads the diagnostics (the trace file) still gets all of it, and a standard
// output that is not /dev/null (a pipe) still gets it too. Each case runs the
// library in a child process whose standard output is set before the library
// initialises.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Authif.h"
#include "client_fixture.h"

namespace {

class DiscardedStdout : public ::testing::Test {
protected:
    void SetUp() override
    {
        qztest::write_dm_properties(dm.port(), "", &trace_path_);
        unlink(trace_path_.c_str());
        dm.answer("ACCESS=true\tVLAN_ID=77\n");
    }
    void TearDown() override { unlink(trace_path_.c_str()); }

    // Runs one authorization and its report in a child whose standard output
    // is `out`; returns the child's exit status (0: the decision arrived).
    static int authorize_in_child(int out)
    {
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            if (dup2(out, STDOUT_FILENO) < 0)
                _exit(90);
            close(out);
            qztest::host_reset();
            auto record = qzclient::zeroed_record();
            qztest::FakeRequest req;
            qzclient::fill_access_request(req, record.get());
            int verdict = ovxauthorize(&req);
            ovxrespond(&req);
            fflush(stdout);
            _exit(verdict == rcAccessAccept && std::string(record->vlan) == "77" ? 0 : 91);
        }
        close(out);
        if (child < 0)
            return -1;
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // What every diagnostics reader must see of that exchange.
    // authorize_in_child with standard output on a pipe, whose text lands in
    // `out`; the child writes more than a pipe holds, so it is read meanwhile.
    static int authorize_in_child_onto_pipe(std::string &out)
    {
        int pipe_ends[2];
        if (pipe2(pipe_ends, O_CLOEXEC) != 0)
            return -1;
        std::thread reader([&out, read_end = pipe_ends[0]] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(read_end, buffer, sizeof buffer)) > 0)
                out.append(buffer, static_cast<size_t>(n));
            close(read_end);
        });
        int status = authorize_in_child(pipe_ends[1]);
        reader.join();
        return status;
    }

    static void expect_whole_story(const std::string &text)
    {
        EXPECT_NE(text.find("Sent Startup Event"), std::string::npos) << text;
        EXPECT_NE(text.find("EVENT=Request\tREQ_ID=" + std::string(qzclient::kRequestId)), std::string::npos) << text;
        EXPECT_NE(text.find("DM Response: {ACCESS=true, VLAN_ID=77"), std::string::npos) << text;
        EXPECT_NE(text.find("EVENT=Authorization\tUSER=alice"), std::string::npos) << text;
    }

    std::string trace() const { return qztest::read_file(trace_path_); }

    qztest::FakeDm dm;
    std::string trace_path_;
};

TEST_F(DiscardedStdout, TheTraceFileStillGetsEverything)
{
    int null_out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null_out, 0);
    ASSERT_EQ(authorize_in_child(null_out), 0);
    expect_whole_story(trace());
}

TEST_F(DiscardedStdout, APipeOnStandardOutputGetsEverything)
{
    std::string out;
    ASSERT_EQ(authorize_in_child_onto_pipe(out), 0);
    expect_whole_story(out);
    expect_whole_story(trace());
}

TEST_F(DiscardedStdout, WithoutATraceFileAPipeStillGetsEverything)
{
    // A trace file that cannot be opened: standard output is the only reader.
    qztest::write_properties("dm_port=" + std::to_string(dm.port()) +
                             "\novx_rif_trace_file=tmp/qzovx-no-such-folder/x/trace.trc\n");
    std::string out;
    ASSERT_EQ(authorize_in_child_onto_pipe(out), 0);
    expect_whole_story(out);
}

}  // namespace
