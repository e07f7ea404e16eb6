// Request threads that find the debug socket closed open it at the same
// time: one connection, no descriptor left behind.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "debug.h"

namespace {

int open_descriptors()
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++n;
    closedir(dir);
    return n;
}

TEST(DebugSocketThreads, ParallelOpensMakeOneConnection)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4442);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0)
        << "port 4442 busy (another test run?)";
    ASSERT_EQ(listen(listener, 64), 0);

    debug_window = 1;
    const int before = open_descriptors();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] { debug_sock_open(); });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_NE(debug_socket, -1);
    EXPECT_EQ(open_descriptors(), before + 1);

    // Every connection the library made is waiting in the backlog.
    int accepted = 0;
    timeval short_wait{0, 200000};
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &short_wait, sizeof short_wait);
    for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; ++accepted)
        close(fd);
    EXPECT_EQ(accepted, 1);

    debug_sock_cleanup();
    close(listener);
}

}  // namespace
