// With no DM listening on a port inside the ephemeral range, TCP's
// simultaneous open can connect the library's socket to itself. This test
// makes that happen every time: its connect() (which the library's calls
// resolve to, since test executables export their symbols) first binds the
// socket to the very address it connects to.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "Authif.h"
#include "dm_sock.h"
#include "fake_dm.h"
#include "stdout_capture.h"
#include "test_files.h"
#include "test_host.h"

namespace {

std::atomic<bool> force_self_connect{false};

int unused_port()
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(sock, reinterpret_cast<sockaddr *>(&address), &size);
    close(sock);
    return ntohs(address.sin_port);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int connect(int fd, const sockaddr *address,
                                                               socklen_t length)
{
    using Connect = int (*)(int, const sockaddr *, socklen_t);
    static Connect real = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
    if (force_self_connect && address->sa_family == AF_INET) {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        bind(fd, address, length);
    }
    return real(fd, address, length);
}

namespace {

TEST(SelfConnect, ConnectionToItselfCountsAsNoConnection)
{
    int port = unused_port();
    qztest::write_dm_properties(port);
    qztest::host_reset();
    readProperties();
    qztest::StdoutCapture out;
    DM_SERVER_INFO entry{"default", "localhost", -1};
    force_self_connect = true;
    SOCKET opened = dm_sock_open(&entry);
    force_self_connect = false;
    EXPECT_EQ(opened, -1);
    EXPECT_EQ(entry.dm_sock, -1);
    EXPECT_NE(out.text().find("connection to 127.0.0.1 port " + std::to_string(port) +
                              " reached itself: no DM listening\n"),
              std::string::npos)
        << out.text();

    // The port is free again for a DM to bind (with SO_REUSEADDR, as servers
    // do: the closed connection lingers in TIME_WAIT).
    int dm = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(dm, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(bind(dm, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(dm);
}

TEST(SelfConnect, AConnectionToARealPeerIsNotItself)
{
    qztest::FakeDm dm;
    qztest::write_dm_properties(dm.port());
    qztest::host_reset();
    readProperties();
    DM_SERVER_INFO entry{"default", "localhost", -1};
    SOCKET opened = dm_sock_open(&entry);
    ASSERT_NE(opened, -1);
    dm_sock_cleanup(&entry);
}

}  // namespace
