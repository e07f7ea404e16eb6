// The TCP connection to the DM: the server table, lazy connection, sending
// with one reconnect-and-resend, receiving one answer, and the SIGPIPE
// handler. Callers serialise all DM traffic with the host's semaphores.
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
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "Authif.h"
#include "debug.h"
#include "dm_sock.h"
#include "qz_text.h"

namespace {

struct AddrinfoFree {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoFree>;

void install_sigpipe_handler()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sig_pipe;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void write_stdout(const char *text)
{
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

ssize_t send_once(SOCKET sock, const char *text, int length)
{
    ssize_t sent;
    do {
        sent = send(sock, text, static_cast<size_t>(length), 0);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the socket is readable. A timeout of 0 or less waits without
// limit, as the socket's own receive timeout does. Returns false on timeout.
bool wait_readable(SOCKET sock, long long deadline_ms, bool limited)
{
    for (;;) {
        int wait_ms = -1;
        if (limited) {
            long long left = deadline_ms - now_ms();
            if (left <= 0)
                return false;
            wait_ms = left > 1000000 ? 1000000 : static_cast<int>(left);
        }
        pollfd pfd{sock, POLLIN, 0};
        int rc = poll(&pfd, 1, wait_ms);
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return true;  // let recv report the error
    }
}

}  // namespace

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
        dm_printf(entry, "EVENT=Startup\t\n");
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

    SOCKET connected = -1;
    for (addrinfo *address = addresses.get(); address != nullptr; address = address->ai_next) {
        SOCKET sock = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC,
                             address->ai_protocol);
        if (sock < 0) {
            ovx_dprintf("socket failed: \n");
            dm_sock_cleanup(entry);
            return -1;
        }
        timeval timeout{};
        timeout.tv_sec = dm_server_timeout;
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        // Messages go out in many small pieces and the DM answers only after
        // the last one; without this, the last piece waits for the DM's
        // delayed acknowledgement and every request stalls for ~40 ms while
        // holding the DM locks.
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
        if (connect(sock, address->ai_addr, address->ai_addrlen) == 0) {
            connected = sock;
            break;
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

int dm_sock_send(DM_SERVER entry, const char *dm_msg, int buff_len)
{
    if (entry == nullptr || dm_msg == nullptr || buff_len < 0)
        return -1;
    if (entry->dm_sock == -1 && dm_sock_open(entry) == -1)
        return -1;

    ssize_t sent = send_once(entry->dm_sock, dm_msg, buff_len);
    if (sent < 0) {
        // Broken connection: one new connection, one more try.
        dm_sock_cleanup(entry);
        dm_sock_open(entry);
        if (entry->dm_sock != -1)
            sent = send_once(entry->dm_sock, dm_msg, buff_len);
        if (sent < 0) {
            ovx_dprintf("send failed: error \n");
            return -1;
        }
    }
    ovx_dprintf("\nwrote %d bytes to: host: %s, location: %s \n buff= %.*s \n",
                static_cast<int>(sent), entry->dm_server_name, entry->location, buff_len,
                dm_msg);
    return 0;
}

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

// Reads until the text ends with a line feed, the buffer is full, or the
// receive timeout passes, so an answer that arrives in several segments is
// read whole.
int dm_sock_recv(DM_SERVER entry, char *dm_msg, int buff_len)
{
    if (entry == nullptr || dm_msg == nullptr || buff_len < 1)
        return -1;
    dm_msg[0] = '\0';
    if (entry->dm_sock == -1) {
        ovx_dprintf("recv failed: error \n");
        return -1;
    }

    const bool limited = dm_server_timeout > 0;
    const long long deadline = now_ms() + static_cast<long long>(dm_server_timeout) * 1000;
    const int capacity = buff_len - 1;
    int received = 0;
    while (received < capacity && (received == 0 || dm_msg[received - 1] != '\n')) {
        if (!wait_readable(entry->dm_sock, deadline, limited)) {
            dm_msg[received] = '\0';
            ovx_dprintf("recv failed: error \n");
            dm_sock_cleanup(entry);
            return -1;
        }
        ssize_t got = recv(entry->dm_sock, dm_msg + received,
                           static_cast<size_t>(capacity - received), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            dm_msg[received] = '\0';
            ovx_dprintf("recv failed: error \n");
            dm_sock_cleanup(entry);
            return -1;
        }
        if (got == 0) {
            // Orderly close: the connection is of no further use, so drop
            // it and let the next send reconnect. Text that came before the
            // close is still the answer.
            dm_msg[received] = '\0';
            ovx_dprintf("Server %s closed connection\n", entry->dm_server_name);
            dm_sock_cleanup(entry);
            return received > 0 ? 0 : -1;
        }
        received += static_cast<int>(got);
    }
    dm_msg[received] = '\0';
    return 0;
}

int dm_sock_discard_pending(DM_SERVER entry)
{
    if (entry == nullptr || entry->dm_sock == -1)
        return 0;
    int discarded = 0;
    char scratch[512];
    for (;;) {
        ssize_t got = recv(entry->dm_sock, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got > 0) {
            discarded += static_cast<int>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // Closed by the DM or broken: the next send reconnects.
        dm_sock_cleanup(entry);
        break;
    }
    if (discarded > 0)
        ovx_dprintf("discarded %d stale bytes from DM\n", discarded);
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
    int count = dm_servers < DM_MAX_SERVERS ? dm_servers : DM_MAX_SERVERS;
    for (int i = 0; i < count; ++i) {
        if (dm_server[i].dm_sock != -1)
            dm_printf(&dm_server[i], "EVENT=Shutdown\t\n");
        dm_sock_cleanup(&dm_server[i]);
    }
    dm_servers = 0;
    return 0;
}

DM_SERVER dm_find_server(char * /*sw_ip*/, int /*port*/)
{
    return &dm_server[0];
}

// Runs in signal context: only write(2) and sigaction. The broken
// connection is repaired by the send that raised the signal.
void sig_pipe(int /*signum*/)
{
    int saved_errno = errno;
    write_stdout("In ovx RIF signal handler lost agent connection!\n");
    write_stdout("calling dm_init() to relight socket \n");
    install_sigpipe_handler();
    errno = saved_errno;
}
