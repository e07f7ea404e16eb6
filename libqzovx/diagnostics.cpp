// Diagnostic output: standard output, the trace file and the debug socket
// (a one-way live copy of the text for a listener on localhost:4442).
//
// Every output function may be called from several threads at once. One
// mutex covers formatting into the shared buffer and writing one message,
// so messages never interleave; the *_locked helpers below are the paths
// used while that mutex is already held.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>

#include "debug.h"

namespace {

constexpr const char *kDebugPort = "4442";
constexpr int kMaxTracedMessage = 1000;

std::mutex output_mutex;

struct AddrinfoFree {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoFree>;

// Formats into `output`, cut at its width less one; returns the length kept.
int format_output(const char *format, va_list args)
{
    int needed = vsnprintf(output, sizeof output, format, args);
    if (needed < 0) {
        output[0] = '\0';
        return 0;
    }
    return needed < static_cast<int>(sizeof output) ? needed : static_cast<int>(sizeof output) - 1;
}

void write_all(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;  // trace write errors are ignored
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

// The trace file holds CR LF line ends.
void trace_write_locked(const char *text, int length)
{
    if (trace_fhdl <= 0 || text == nullptr)
        return;
    int start = 0;
    while (start < length) {
        int end = start;
        while (end < length && text[end] != '\n')
            ++end;
        if (end > start)
            write_all(trace_fhdl, text + start, static_cast<size_t>(end - start));
        if (end < length) {
            write_all(trace_fhdl, "\r\n", 2);
            ++end;
        }
        start = end;
    }
}

int debug_sock_cleanup_locked()
{
    if (!enable_debug || debug_socket == -1)
        return 0;
    if (close(debug_socket) != 0)
        fputs("closesocket failed: \n", stderr);
    debug_socket = -1;
    return 0;
}

// Reports straight to stdout/stderr: going through ovx_dprintf would try the
// debug socket again.
int debug_sock_open_locked()
{
    if (!debug_window || !enable_debug)
        return -1;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(DEBUG_SERVER_NAME, kDebugPort, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo failed: %d\n", rc);
        debug_sock_cleanup_locked();
        return -1;
    }
    AddrinfoList addresses(found);
    if (!addresses) {
        fputs("Server name could not be resolved!\n", stderr);
        debug_sock_cleanup_locked();
        return -1;
    }

    bool connected = false;
    for (addrinfo *address = addresses.get(); address != nullptr; address = address->ai_next) {
        debug_socket = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC,
                              address->ai_protocol);
        if (debug_socket < 0) {
            debug_socket = -1;
            fputs("socket failed: \n", stderr);
            return -1;
        }
        char host[NI_MAXHOST];
        char port[NI_MAXSERV];
        rc = getnameinfo(address->ai_addr, address->ai_addrlen, host, sizeof host, port,
                         sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
        if (rc != 0) {
            fprintf(stderr, "getnameinfo failed: %d\n", rc);
            debug_sock_cleanup_locked();
            return -1;
        }
        printf("Client attempting connection to: %s port: %s\n", host, port);
        fflush(stdout);
        if (connect(debug_socket, address->ai_addr, address->ai_addrlen) == 0) {
            connected = true;
            break;
        }
        close(debug_socket);
        debug_socket = -1;
    }
    if (connected)
        return 0;
    printf("Unable to establish connection...\n");
    fflush(stdout);
    debug_sock_cleanup_locked();
    return -1;
}

int send_once(const char *text, int length)
{
    ssize_t sent;
    do {
        sent = send(debug_socket, text, static_cast<size_t>(length), 0);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int debug_sock_send_locked(const char *text, int length)
{
    if (!enable_debug)
        return 0;
    if (!debug_window || debug_socket == -1)
        return -1;
    if (text == nullptr || length < 0)
        return -1;
    int sent = send_once(text, length);
    if (sent >= 0)
        return sent;
    // The listener went away: one reconnection and one resend.
    debug_sock_cleanup_locked();
    debug_sock_open_locked();
    if (debug_socket == -1)
        return -1;
    return send_once(text, length);
}

void dprint_locked(const char *text, int length)
{
    if (!enable_debug || length > kMaxTracedMessage)
        return;
    debug_sock_send_locked(text, length);
    trace_write_locked(text, length);
}

// The shared path of the printf-like outputs: under the output mutex, formats
// into `output` and hands the kept length to `write`.
void print_formatted(const char *format, va_list args, void (*write)(int length))
{
    if (!enable_debug)
        return;
    std::lock_guard<std::mutex> lock(output_mutex);
    write(format_output(format, args));
}

}  // namespace

int enable_debug = 1;
int debug_window = 0;
char DEBUG_SERVER_NAME[100] = "localhost";
SOCKET debug_socket = -1;
char trace_file_name[255] = "dm_trace";
int trace_fhdl = -1;
char output[4096];
char cv_buf[20];

int ovx_dprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_formatted(format, args, [](int length) {
        // Written as text, never used as a format again.
        fwrite(output, 1, static_cast<size_t>(length), stdout);
        fflush(stdout);
        dprint_locked(output, length);
    });
    va_end(args);
    return 0;
}

int debug_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_formatted(format, args, [](int length) { debug_sock_send_locked(output, length); });
    va_end(args);
    return 0;
}

int _dprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    print_formatted(format, args, [](int length) {
        debug_sock_send_locked(output, length);
        trace_write_locked(output, length);
    });
    va_end(args);
    return 0;
}

int _dprint(const char *debug_msg, int buff_len)
{
    if (!enable_debug || debug_msg == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(output_mutex);
    dprint_locked(debug_msg, buff_len);
    return 0;
}

int debug_init(void)
{
    if (!enable_debug)
        return 0;
    std::lock_guard<std::mutex> lock(output_mutex);
    if (trace_fhdl <= 0 && trace_file_name[0] != '\0' && trace_file_name[1] != '\0') {
        // Appending keeps an earlier run's trace whole; this run's text
        // follows it.
        trace_fhdl = open(trace_file_name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (trace_fhdl < 0)
            trace_fhdl = -1;
    }
    if (debug_socket == -1)
        debug_sock_open_locked();
    return 0;
}

int debug_sock_open(void)
{
    std::lock_guard<std::mutex> lock(output_mutex);
    return debug_sock_open_locked();
}

int debug_sock_send(const char *debug_msg, int buff_len)
{
    std::lock_guard<std::mutex> lock(output_mutex);
    return debug_sock_send_locked(debug_msg, buff_len);
}

int debug_sock_cleanup(void)
{
    std::lock_guard<std::mutex> lock(output_mutex);
    return debug_sock_cleanup_locked();
}

int debug_cleanup(void)
{
    std::lock_guard<std::mutex> lock(output_mutex);
    debug_sock_cleanup_locked();
    if (trace_fhdl > 0) {
        close(trace_fhdl);
        trace_fhdl = -1;
    }
    return 0;
}

char *cv_display(cv *cv_ptr, DWORD value)
{
    for (cv *entry = cv_ptr; entry != nullptr && entry->display != nullptr; ++entry) {
        if (entry->value == value)
            return entry->display;
    }
    std::lock_guard<std::mutex> lock(output_mutex);
    snprintf(cv_buf, sizeof cv_buf, "%d", static_cast<int>(value));
    return cv_buf;
}
