// SIGPIPE: the library's sockets never raise it, the handler never loops
// when standard output is itself a broken pipe, and a host that ignores the
// signal keeps ignoring it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "Authif.h"
#include "dm_session.h"
#include "dm_sock.h"
#include "fake_dm.h"

namespace {

// Runs body in a child process; true when the child exited with status 0
// within the limit (a child that is still running is killed).
template <typename Body>
bool child_exits_cleanly(Body body, int limit_ms)
{
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    for (int waited = 0; waited < limit_ms; waited += 10) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
}

// `freeradius -X | tee` after tee died: the handler's own write would raise
// SIGPIPE again as soon as it returned, for ever.
TEST(SigPipeHandler, BrokenStandardOutputDoesNotMakeItLoop)
{
    bool clean = child_exits_cleanly(
        [] {
            int ends[2];
            if (pipe(ends) != 0)
                _exit(2);
            close(ends[0]);
            dup2(ends[1], STDOUT_FILENO);
            dm_servers = 1;  // table set up: dm_init only installs the handler
            dm_init();
            raise(SIGPIPE);
        },
        5000);
    EXPECT_TRUE(clean);
}

TEST(SigPipeHandler, HostThatIgnoresTheSignalKeepsIgnoringIt)
{
    signal(SIGPIPE, SIG_IGN);
    dm_servers = 1;
    dm_init();
    struct sigaction current;
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}

std::atomic<int> sigpipes{0};

// A DM connection broken under the library: sending on it raises no signal.
TEST(SigPipeHandler, BrokenDmConnectionRaisesNoSignal)
{
    qztest::FakeDm dm;
    ASSERT_EQ(qztest_found::initialise_against(dm.port()), 1);
    ASSERT_TRUE(dm.wait_for_lines(2));
    struct sigaction counting {};
    counting.sa_handler = [](int) { sigpipes++; };
    sigaction(SIGPIPE, &counting, nullptr);

    // A connection whose peer is gone, in place of the DM's.
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    dm_sock_cleanup(&dm_server[0]);
    dm_server[0].dm_sock = ends[0];
    close(ends[1]);
    const char message[] = "EVENT=AccountingRequest\tSESSION_ID=S\t\n";
    EXPECT_EQ(dm_sock_send(&dm_server[0], message, sizeof message - 1), 0);
    EXPECT_TRUE(dm.wait_for("SESSION_ID=S\t\n"));  // whole, on a new connection
    EXPECT_EQ(sigpipes.load(), 0);
}

}  // namespace
