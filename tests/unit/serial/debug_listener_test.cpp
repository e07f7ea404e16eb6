// The debug socket against a listener on the fixed port 4442.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../dm_session.h"
#include "debug.h"
#include "fake_dm.h"
#include "test_host.h"
#include "trace_file.h"

namespace {

using qztest::StdoutCapture;

// Accepts connections on 127.0.0.1:4442 and records what each one sends.
class DebugListener {
public:
    DebugListener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(4442);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                 listen(fd_, 8) == 0;
        thread_ = std::thread([this] { serve(); });
    }
    ~DebugListener()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        thread_.join();
        for (int c : clients_)
            close(c);
        close(fd_);
    }
    bool bound() const { return bound_; }

    std::string text(size_t connection = 0)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return connection < texts_.size() ? texts_[connection] : std::string();
    }
    size_t connections()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_.size();
    }
    bool wait_for(const std::string &needle, size_t connection = 0, int timeout_ms = 3000)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            return connection < texts_.size() && texts_[connection].find(needle) != std::string::npos;
        });
    }
    // Closes every accepted connection, keeps listening.
    void drop_clients()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int &c : clients_) {
            if (c >= 0)
                close(c);
            c = -1;
        }
    }

private:
    void serve()
    {
        for (;;) {
            std::vector<pollfd> fds{{fd_, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_)
                    return;
                for (int c : clients_)
                    fds.push_back({c, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (fds[0].revents & POLLIN) {
                int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    clients_.push_back(c);
                    texts_.emplace_back();
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP)) || clients_[i - 1] != fds[i].fd)
                    continue;
                char buffer[4096];
                ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
                if (n > 0)
                    texts_[i - 1].append(buffer, static_cast<size_t>(n));
                else {
                    close(fds[i].fd);
                    clients_[i - 1] = -1;
                }
            }
            changed_.notify_all();
        }
    }

    int fd_ = -1;
    bool bound_ = false;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> clients_;
    std::vector<std::string> texts_;
    std::thread thread_;
};

TEST(DebugSocket, EachOutputFunctionReachesItsPlaces)
{
    DebugListener listener;
    ASSERT_TRUE(listener.bound());
    std::string trace = qztest_found::fresh_trace_path();
    debug_window = 1;
    StdoutCapture out;
    qztest_found::open_trace(trace);
    ASSERT_NE(debug_socket, -1);

    ovx_dprintf("all %s\nplaces\n", "three");
    debug_printf("socket only %d\n", 1);
    _dprintf("trace and socket\n");
    ovx_dprintf("%s", std::string(1001, 'L').c_str());  // standard output only
    _dprint("direct\n", 7);
    ASSERT_TRUE(listener.wait_for("direct\n"));

    EXPECT_EQ(listener.text(),
              "all three\nplaces\nsocket only 1\ntrace and socket\ndirect\n");
    EXPECT_EQ(qztest_found::read_file(trace),
              "all three\r\nplaces\r\ntrace and socket\r\ndirect\r\n");
    std::string text = out.text();
    EXPECT_NE(text.find("Client attempting connection to: "), std::string::npos) << text;
    EXPECT_NE(text.find(" port: 4442\n"), std::string::npos) << text;
    EXPECT_NE(text.find("all three\nplaces\n" + std::string(1001, 'L')), std::string::npos);
    EXPECT_EQ(text.find("socket only"), std::string::npos);
    EXPECT_EQ(text.find("trace and socket"), std::string::npos);
    EXPECT_EQ(debug_sock_send("raw", 3), 3);
    debug_cleanup();
    EXPECT_EQ(debug_socket, -1);
    unlink(trace.c_str());
}

TEST(DebugSocket, NoListenerLeavesTheSocketClosed)
{
    debug_window = 1;
    StdoutCapture out;
    EXPECT_EQ(debug_sock_open(), -1);
    EXPECT_EQ(debug_socket, -1);
    EXPECT_NE(out.text().find("Unable to establish connection...\n"), std::string::npos);
    EXPECT_EQ(debug_sock_send("x", 1), -1);

    debug_window = 0;
    EXPECT_EQ(debug_sock_open(), -1);
}

TEST(DebugSocket, ListenerThatWentAwayIsReconnectedOnceAndTheTextResent)
{
    signal(SIGPIPE, SIG_IGN);  // the library's handler is installed with the DM connection
    DebugListener listener;
    ASSERT_TRUE(listener.bound());
    debug_window = 1;
    StdoutCapture out;
    ASSERT_EQ(debug_sock_open(), 0);
    debug_printf("before\n");
    ASSERT_TRUE(listener.wait_for("before\n"));

    listener.drop_clients();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    debug_printf("lost?\n");  // may still be taken by the dead connection
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    debug_printf("after\n");
    ASSERT_TRUE(listener.wait_for("after\n", 1));
    EXPECT_EQ(listener.connections(), 2u);
    EXPECT_NE(debug_socket, -1);
}

TEST(DebugSocket, InitialisationPrintsTheSettingsAfterTheConnectionLines)
{
    DebugListener listener;
    ASSERT_TRUE(listener.bound());
    qztest::FakeDm dm;
    StdoutCapture out;
    ASSERT_EQ(qztest_found::initialise_against(dm.port(), "debug_server=yes\n"), 1);
    ASSERT_TRUE(listener.wait_for("DLL_TRACE_PACKET=false\n\n"));
    std::string text = listener.text();

    const std::string settings = "DM_SERVER_NAME=localhost\n"
                                 "DM_SERVER_PORT=" + std::to_string(dm.port()) + "\n"
                                 "DM_SERVER_TIMEOUT=15\n\n"
                                 "DLL_TRACE_FILE=" + std::string(trace_file_name) + "\n"
                                 "DLL_TRACE_PACKET=false\n\n";
    size_t at = text.find(settings);
    ASSERT_NE(at, std::string::npos) << text;
    size_t startup = text.find("Sent Startup Event\n\n");
    ASSERT_NE(startup, std::string::npos) << text;
    EXPECT_LT(startup, at);
    EXPECT_EQ(out.text().find("DM_SERVER_NAME"), std::string::npos);
}

TEST(DebugSocket, WithoutTheKeyNoListenerConnectionIsMade)
{
    DebugListener listener;
    ASSERT_TRUE(listener.bound());
    qztest::FakeDm dm;
    StdoutCapture out;
    ASSERT_EQ(qztest_found::initialise_against(dm.port()), 1);
    ovx_dprintf("request output\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(listener.connections(), 0u);
    EXPECT_EQ(debug_socket, -1);
}

// A listener that accepts and never reads: its sends time out and it is
// dropped, instead of blocking every thread's diagnostics behind the output
// lock.
TEST(DebugSocket, ListenerThatStopsReadingIsDropped)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(4442);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    debug_window = 1;
    {
        StdoutCapture out;
        ASSERT_EQ(debug_sock_open(), 0);
    }
    int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);

    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    int writes = 0;
    std::thread writer([&] {
        const std::string line(900, 'd');
        for (int i = 0; i < 200000 && debug_socket != -1; i++, writes++)
            debug_printf("%s\n", line.c_str());
        std::lock_guard<std::mutex> lock(m);
        finished = true;
        cv.notify_all();
    });
    bool in_time;
    {
        std::unique_lock<std::mutex> lock(m);
        in_time = cv.wait_for(lock, std::chrono::seconds(20), [&] { return finished; });
    }
    close(accepted);  // lets a blocked writer go
    writer.join();
    close(listener);
    EXPECT_TRUE(in_time) << "diagnostics blocked behind a listener that does not read";
    EXPECT_EQ(debug_socket, -1);
    EXPECT_GT(writes, 0);
}

// Request threads that all find the debug socket closed open one connection
// between them, not one each (the others would leak).
TEST(DebugSocket, ThreadsStartingTogetherOpenOneConnection)
{
    DebugListener listener;
    ASSERT_TRUE(listener.bound());
    qztest::FakeDm dm;
    {
        StdoutCapture out;
        ASSERT_EQ(qztest_found::initialise_against(dm.port(), "debug_server=yes\n"), 1);
    }
    ASSERT_NE(debug_socket, -1);

    constexpr int kThreads = 8;
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; round++) {
        debug_sock_cleanup();
        std::atomic<int> arrived{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&] {
                arrived++;
                while (arrived.load() < kThreads) {
                }
                qztest::FakeRequest skipped;  // no Acct-Session-Id: nothing else happens
                ovxaccount(&skipped);
            });
        }
        for (std::thread &t : threads)
            t.join();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The connection of initialisation, then one per round.
    EXPECT_EQ(listener.connections(), static_cast<size_t>(1 + kRounds));
    EXPECT_NE(debug_socket, -1);
}

}  // namespace
