// The TCP connection to the DM: the server table, lazy connection, sending
// whole messages, receiving complete answers, and the SIGPIPE handler.
// Callers serialise all DM traffic with the host's semaphores.
//
// The socket is non-blocking and every wait is a poll with a deadline on the
// monotonic clock: connecting and sending are bounded by the socket timeout,
// receiving by the response timeout. A message is handed over in one piece
// and is either delivered whole before its deadline or counts as not sent, and
// then the connection is dropped: a message never goes out partly on one
// connection and partly on another. Sends never raise SIGPIPE.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "Authif.h"
#include "debug.h"
#include "dm_message.h"
#include "dm_pool.h"
#include "dm_send.h"
#include "dm_sock.h"
#include "qz_text.h"

namespace {

constexpr int kDefaultIoTimeoutMs = 1000;
constexpr int kDefaultResponseTimeoutMs = 15000;
constexpr long long kLongestTimeoutMs = 24LL * 3600 * 1000;

struct AddrinfoFree {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoFree>;

int seconds_to_ms(int seconds, int fallback_ms)
{
    if (seconds <= 0)
        return fallback_ms;
    long long ms = static_cast<long long>(seconds) * 1000;
    return static_cast<int>(ms < kLongestTimeoutMs ? ms : kLongestTimeoutMs);
}

// Installs sig_pipe unless the host process has chosen a disposition of its
// own (a server that ignores SIGPIPE keeps ignoring it).
void install_sigpipe_handler()
{
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) != 0)
        return;
    if (current.sa_handler != SIG_DFL && current.sa_handler != sig_pipe)
        return;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sig_pipe;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

// Signal context: poll and write only. Standard output that is a broken pipe
// is left alone, since writing to it would raise SIGPIPE again as soon as the
// handler returns, and the handler would run for ever.
void write_stdout_if_open(const char *text)
{
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&out, 1, 0) < 0 || (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
        return;
    size_t length = strlen(text);
    while (length > 0) {
        ssize_t written = write(STDOUT_FILENO, text, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

// Waits for `events` on sock until the deadline. Returns the events seen, or
// 0 when the deadline passed first.
short wait_for(SOCKET sock, short events, long long deadline_ms)
{
    for (;;) {
        long long left = deadline_ms - dm_now_ms();
        if (left <= 0)
            return 0;
        pollfd pfd{sock, events, 0};
        int rc = poll(&pfd, 1, left > 1000000 ? 1000000 : static_cast<int>(left));
        if (rc > 0)
            return pfd.revents;
        if (rc < 0 && errno != EINTR)
            return POLLERR;  // let the next call report the error
    }
}

// Connects the non-blocking socket before the deadline.
bool connect_within(SOCKET sock, const addrinfo *address, long long deadline_ms)
{
    if (connect(sock, address->ai_addr, address->ai_addrlen) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    if (wait_for(sock, POLLOUT, deadline_ms) == 0)
        return false;  // the DM did not take the connection in time
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

enum class SendResult { Whole, NothingSent, Failed };

// Sends all of text before the deadline. NothingSent: the connection failed
// before a single byte went out, so the message may go whole on another one.
SendResult send_whole(SOCKET sock, const char *text, size_t length, long long deadline_ms)
{
    size_t done = 0;
    while (done < length) {
        ssize_t sent = send(sock, text + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The DM is not reading: wait for room, but not past the deadline.
            if (wait_for(sock, POLLOUT, deadline_ms) == 0) {
                ovx_dprintf("send to DM timed out: %d of %d bytes sent\n", static_cast<int>(done),
                            static_cast<int>(length));
                return SendResult::Failed;
            }
            continue;
        }
        return done == 0 ? SendResult::NothingSent : SendResult::Failed;
    }
    return SendResult::Whole;
}

}  // namespace

long long dm_now_ms(void)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int dm_io_timeout_ms(void)
{
    return seconds_to_ms(sock_timeout, kDefaultIoTimeoutMs);
}

int dm_response_timeout_ms(void)
{
    return seconds_to_ms(dm_server_timeout, kDefaultResponseTimeoutMs);
}

int dm_sock_is_self_connected(SOCKET sock)
{
    sockaddr_storage local{}, peer{};
    socklen_t local_size = sizeof local, peer_size = sizeof peer;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &local_size) != 0 ||
        getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &peer_size) != 0)
        return 0;
    if (local_size != peer_size || local.ss_family != peer.ss_family)
        return 0;
    if (local.ss_family == AF_INET) {
        auto *a = reinterpret_cast<const sockaddr_in *>(&local);
        auto *b = reinterpret_cast<const sockaddr_in *>(&peer);
        return a->sin_port == b->sin_port && a->sin_addr.s_addr == b->sin_addr.s_addr;
    }
    if (local.ss_family == AF_INET6) {
        auto *a = reinterpret_cast<const sockaddr_in6 *>(&local);
        auto *b = reinterpret_cast<const sockaddr_in6 *>(&peer);
        return a->sin6_port == b->sin6_port &&
               memcmp(&a->sin6_addr, &b->sin6_addr, sizeof a->sin6_addr) == 0;
    }
    return 0;
}

// Every entry starts without a connection (-1): a zero descriptor would be
// taken for a connection and standard input closed or written.
#define QZ_NO_SERVER {"", "", -1}
#define QZ_NO_SERVER_8 QZ_NO_SERVER, QZ_NO_SERVER, QZ_NO_SERVER, QZ_NO_SERVER, \
    QZ_NO_SERVER, QZ_NO_SERVER, QZ_NO_SERVER, QZ_NO_SERVER
#define QZ_NO_SERVER_64 QZ_NO_SERVER_8, QZ_NO_SERVER_8, QZ_NO_SERVER_8, QZ_NO_SERVER_8, \
    QZ_NO_SERVER_8, QZ_NO_SERVER_8, QZ_NO_SERVER_8, QZ_NO_SERVER_8
DM_SERVER_INFO dm_server[DM_MAX_SERVERS] = {QZ_NO_SERVER_64, QZ_NO_SERVER_64};
static_assert(DM_MAX_SERVERS == 128, "initialiser covers 128 entries");
#undef QZ_NO_SERVER_64
#undef QZ_NO_SERVER_8
#undef QZ_NO_SERVER
int dm_servers = 0;
char dm_output[4096];

int dm_init(void)
{
    install_sigpipe_handler();
    if (dm_servers > 0)
        return 0;

    DM_SERVER entry = &dm_server[0];
    qz_copy(entry->location, sizeof entry->location, "default");
    qz_copy(entry->dm_server_name, sizeof entry->dm_server_name, "localhost");
    entry->dm_sock = -1;

    if (dm_sock_open(entry) != -1)
        dm_sock_send(entry, kStartupEvent.data(), static_cast<int>(kStartupEvent.size()));
    ovx_dprintf("Sent Startup Event\n");
    dm_servers = 1;
    ovx_dprintf("\n");
    return 0;
}

SOCKET dm_sock_open(DM_SERVER entry)
{
    if (entry == nullptr)
        return -1;
    // Never leak a connection the entry still holds.
    dm_sock_cleanup(entry);

    char service[16];
    snprintf(service, sizeof service, "%d", dm_server_port);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(entry->dm_server_name, service, &hints, &found);
    if (rc != 0) {
        ovx_dprintf("getaddrinfo failed: %d\n", rc);
        dm_sock_cleanup(entry);
        return -1;
    }
    AddrinfoList addresses(found);
    if (!addresses) {
        ovx_dprintf("Server name could not be resolved!\n");
        dm_sock_cleanup(entry);
        return -1;
    }

    const long long deadline = dm_now_ms() + dm_io_timeout_ms();
    SOCKET connected = -1;
    for (addrinfo *address = addresses.get(); address != nullptr; address = address->ai_next) {
        SOCKET sock = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                             address->ai_protocol);
        if (sock < 0) {
            ovx_dprintf("socket failed: \n");
            dm_sock_cleanup(entry);
            return -1;
        }
        // Two messages in a row (a report, then accounting) must not wait for
        // the DM's delayed acknowledgement of the first.
        int no_delay = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);

        char host[1025];
        char port[32];
        rc = getnameinfo(address->ai_addr, address->ai_addrlen, host, sizeof host, port,
                         sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
        if (rc != 0) {
            ovx_dprintf("getnameinfo failed: %d\n", rc);
            close(sock);
            dm_sock_cleanup(entry);
            return -1;
        }
        if (connect_within(sock, address, deadline)) {
            if (!dm_sock_is_self_connected(sock)) {
                connected = sock;
                break;
            }
            // Our own request would come back as the answer, and the DM
            // could not bind its port while we hold it.
            ovx_dprintf("connection to %s port %s reached itself: no DM listening\n", host, port);
        }
        close(sock);
    }
    if (connected == -1) {
        dm_sock_cleanup(entry);
        return -1;
    }
    entry->dm_sock = connected;
    return connected;
}

// Delivers the whole message or drops the connection; notes nothing on
// success.
static int deliver(DM_SERVER entry, const char *dm_msg, int buff_len)
{
    if (entry == nullptr || dm_msg == nullptr || buff_len < 0)
        return -1;
    // A DM that restarted quietly has closed the connection: find out before
    // writing, so the message goes whole on a new connection.
    dm_sock_discard_pending(entry);
    if (entry->dm_sock == -1 && dm_sock_open(entry) == -1)
        return -1;

    const long long deadline = dm_now_ms() + dm_io_timeout_ms();
    const size_t length = static_cast<size_t>(buff_len);
    SendResult result = send_whole(entry->dm_sock, dm_msg, length, deadline);
    if (result == SendResult::NothingSent) {
        // Broken before anything went out: one new connection, one more try.
        dm_sock_cleanup(entry);
        if (dm_sock_open(entry) != -1)
            result = send_whole(entry->dm_sock, dm_msg, length, deadline);
    }
    if (result != SendResult::Whole) {
        // Whatever part went out ends in the DM's reader with the close.
        dm_sock_cleanup(entry);
        ovx_dprintf("send failed: error \n");
        return -1;
    }
    return 0;
}

#define QZ_SENT_NOTE "\nwrote %d bytes to: host: %s, location: %s \n buff= %.*s \n"

int dm_sock_send(DM_SERVER entry, const char *dm_msg, int buff_len)
{
    if (deliver(entry, dm_msg, buff_len) != 0)
        return -1;
    ovx_dprintf(QZ_SENT_NOTE, buff_len, entry->dm_server_name, entry->location, buff_len, dm_msg);
    return 0;
}

int dm_sock_send_noted(DM_SERVER entry, const char *dm_msg, int buff_len, TraceLine &trace)
{
    if (deliver(entry, dm_msg, buff_len) != 0)
        return -1;
    trace.add(QZ_SENT_NOTE, buff_len, entry->dm_server_name, entry->location, buff_len, dm_msg);
    return 0;
}

#undef QZ_SENT_NOTE

int dm_printf(DM_SERVER entry, const char *format, ...)
{
    if (entry == nullptr || entry->dm_sock == -1)
        return -1;
    va_list args;
    va_start(args, format);
    int needed = vsnprintf(dm_output, sizeof dm_output, format, args);
    va_end(args);
    if (needed < 0)
        return -1;
    int length = needed < static_cast<int>(sizeof dm_output) ? needed
                                                             : static_cast<int>(sizeof dm_output) - 1;
    return dm_sock_send(entry, dm_output, length);
}

int dm_sock_recv_text(DM_SERVER entry, char *buffer, int cap, long long deadline_ms)
{
    if (entry == nullptr || buffer == nullptr || cap < 1)
        return -1;
    buffer[0] = '\0';
    if (entry->dm_sock == -1) {
        ovx_dprintf("recv failed: error \n");
        return -1;
    }
    const int capacity = cap - 1;
    int received = 0;
    while (received == 0 || buffer[received - 1] != '\n') {
        if (received == capacity) {
            buffer[received] = '\0';
            ovx_dprintf("DM answer longer than %d bytes without a line end: connection dropped\n",
                        capacity);
            dm_sock_cleanup(entry);
            return -1;
        }
        ssize_t got = recv(entry->dm_sock, buffer + received, static_cast<size_t>(capacity - received),
                           MSG_DONTWAIT);
        if (got > 0) {
            received += static_cast<int>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            wait_for(entry->dm_sock, POLLIN, deadline_ms) != 0)
            continue;
        buffer[received] = '\0';
        if (got == 0)
            ovx_dprintf("Server %s closed connection\n", entry->dm_server_name);
        else
            ovx_dprintf("recv failed: error \n");
        // A line cut by the close or the deadline is no answer.
        dm_sock_cleanup(entry);
        return -1;
    }
    buffer[received] = '\0';
    return received;
}

int dm_sock_recv(DM_SERVER entry, char *dm_msg, int buff_len)
{
    int received = dm_sock_recv_text(entry, dm_msg, buff_len, dm_now_ms() + dm_response_timeout_ms());
    if (received >= 0)
        return 0;
    if (dm_msg != nullptr && buff_len > 0)
        dm_msg[0] = '\0';  // nothing of a failed answer is handed on
    return -1;
}

int dm_sock_discard_pending(DM_SERVER entry)
{
    if (entry == nullptr || entry->dm_sock == -1)
        return 0;
    int discarded = 0;
    char last = '\n';
    bool usable = true;
    char scratch[512];
    for (;;) {
        ssize_t got = recv(entry->dm_sock, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got > 0) {
            discarded += static_cast<int>(got);
            last = scratch[got - 1];
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        // Closed by the DM or broken: the next send reconnects.
        usable = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        break;
    }
    if (discarded > 0)
        ovx_dprintf("discarded %d stale bytes from DM\n", discarded);
    if (usable && last != '\n')
        ovx_dprintf("stale DM text ends inside a line: connection dropped\n");
    if (!usable || last != '\n')
        dm_sock_cleanup(entry);
    return discarded;
}

int dm_sock_cleanup(DM_SERVER entry)
{
    if (entry == nullptr || entry->dm_sock == -1)
        return 0;
    if (shutdown(entry->dm_sock, SHUT_RD) != 0)
        ovx_dprintf("shutdown failed: \n");
    if (close(entry->dm_sock) != 0)
        ovx_dprintf("closesocket failed: \n");
    entry->dm_sock = -1;
    return 0;
}

int dm_cleanup(void)
{
    if (dm_servers <= 0)
        return 0;
    dm_pool_close_extra(dm_now_ms() + dm_io_timeout_ms());
    int count = dm_servers < DM_MAX_SERVERS ? dm_servers : DM_MAX_SERVERS;
    for (int i = 0; i < count; ++i) {
        if (dm_server[i].dm_sock != -1)
            dm_sock_send(&dm_server[i], kShutdownEvent.data(), static_cast<int>(kShutdownEvent.size()));
        dm_sock_cleanup(&dm_server[i]);
    }
    dm_servers = 0;
    return 0;
}

DM_SERVER dm_find_server(char * /*sw_ip*/, int /*port*/)
{
    return &dm_server[0];
}

// Runs in signal context: only poll(2) and write(2). The sockets of the
// library send with MSG_NOSIGNAL, so the signal comes from elsewhere in the
// process; the connection, if it was ours, is repaired by the next send.
void sig_pipe(int /*signum*/)
{
    int saved_errno = errno;
    write_stdout_if_open("In ovx RIF signal handler lost agent connection!\n");
    write_stdout_if_open("calling dm_init() to relight socket \n");
    errno = saved_errno;
}
