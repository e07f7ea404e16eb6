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
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "debug.h"

namespace {

constexpr const char *kDebugPort = "4442";
constexpr int kMaxTracedMessage = 1000;
// The debug listener is a convenience: connecting to it and handing it text
// may never hold the output mutex (and so every thread's diagnostics) longer
// than this. A listener that does not keep up is dropped and picked up again
// at the next request.
constexpr int kDebugDeadlineMs = 250;

std::mutex output_mutex;

// Set at initialisation when standard output is /dev/null (as a server
// started in the background has it): text meant only for it is then not
// formatted at all.
std::atomic<bool> stdout_discarded{false};

bool stdout_is_discarded()
{
    struct stat out {};
    if (fstat(STDOUT_FILENO, &out) != 0)
        return errno == EBADF;  // closed: nothing written there is seen
    struct stat null_device {};
    return S_ISCHR(out.st_mode) && stat("/dev/null", &null_device) == 0 && S_ISCHR(null_device.st_mode) &&
           out.st_rdev == null_device.st_rdev;
}

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

// The trace file holds CR LF line ends. The converted text goes out in as
// few writes as the buffer allows (one for any message of the usual size).
void trace_write_locked(const char *text, int length)
{
    if (trace_fhdl <= 0 || text == nullptr || length <= 0)
        return;
    char converted[2 * sizeof output];
    size_t used = 0;
    const char *end = text + length;
    while (text < end) {
        const char *feed = static_cast<const char *>(memchr(text, '\n', static_cast<size_t>(end - text)));
        const char *stop = feed != nullptr ? feed : end;
        size_t run = static_cast<size_t>(stop - text);
        if (used + run + 2 > sizeof converted) {
            write_all(trace_fhdl, converted, used);
            used = 0;
        }
        if (run + 2 > sizeof converted) {
            write_all(trace_fhdl, text, run);  // longer than the buffer: as it is
        } else {
            memcpy(converted + used, text, run);
            used += run;
        }
        if (feed != nullptr) {
            converted[used++] = '\r';
            converted[used++] = '\n';
        }
        text = feed != nullptr ? feed + 1 : end;
    }
    if (used > 0)
        write_all(trace_fhdl, converted, used);
}

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for events on the debug socket until the deadline; 0 when it passed.
short wait_debug_socket(short events, long long deadline_ms)
{
    for (;;) {
        long long left = deadline_ms - now_ms();
        if (left <= 0)
            return 0;
        pollfd pfd{debug_socket, events, 0};
        int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc > 0)
            return pfd.revents;
        if (rc < 0 && errno != EINTR)
            return POLLERR;
    }
}

bool debug_connect_within(const addrinfo *address, long long deadline_ms)
{
    if (connect(debug_socket, address->ai_addr, address->ai_addrlen) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    if (wait_debug_socket(POLLOUT, deadline_ms) == 0)
        return false;
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(debug_socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
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
    if (debug_socket != -1)
        return 0;  // already connected: a second connection would leak the first

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
        debug_socket = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
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
        if (debug_connect_within(address, now_ms() + kDebugDeadlineMs)) {
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

enum class DebugSend { Whole, Failed, TooSlow };

// Hands the whole text to the listener before the deadline, never raising
// SIGPIPE. Returns the outcome and the bytes sent in `sent`.
DebugSend send_whole(const char *text, int length, int &sent)
{
    const long long deadline = now_ms() + kDebugDeadlineMs;
    sent = 0;
    while (sent < length) {
        ssize_t n = send(debug_socket, text + sent, static_cast<size_t>(length - sent),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_debug_socket(POLLOUT, deadline) == 0)
                return DebugSend::TooSlow;
            continue;
        }
        return DebugSend::Failed;
    }
    return DebugSend::Whole;
}

int debug_sock_send_locked(const char *text, int length)
{
    if (!enable_debug)
        return 0;
    if (!debug_window || debug_socket == -1)
        return -1;
    if (text == nullptr || length < 0)
        return -1;
    int sent = 0;
    DebugSend result = send_whole(text, length, sent);
    if (result == DebugSend::Whole)
        return sent;
    debug_sock_cleanup_locked();
    if (result == DebugSend::TooSlow) {
        fputs("debug listener does not keep up: disconnected\n", stderr);
        return -1;
    }
    // The listener went away: one reconnection and one resend.
    debug_sock_open_locked();
    if (debug_socket == -1)
        return -1;
    result = send_whole(text, length, sent);
    if (result != DebugSend::Whole) {
        debug_sock_cleanup_locked();
        return -1;
    }
    return sent;
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

int ovx_dprint_wanted(void)
{
    if (!enable_debug)
        return 0;
    return !stdout_discarded.load(std::memory_order_relaxed) || trace_fhdl > 0 || debug_window;
}

int ovx_dprintf(const char *format, ...)
{
    if (!ovx_dprint_wanted())
        return 0;
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

void ovx_dprint_text(const char *text, size_t length)
{
    if (!ovx_dprint_wanted() || text == nullptr)
        return;
    if (length >= sizeof output)
        length = sizeof output - 1;  // the cut every formatted message gets
    std::lock_guard<std::mutex> lock(output_mutex);
    fwrite(text, 1, length, stdout);
    fflush(stdout);
    dprint_locked(text, static_cast<int>(length));
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
    stdout_discarded.store(stdout_is_discarded(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(output_mutex);
    if (trace_fhdl <= 0 && trace_file_name[0] != '\0' && trace_file_name[1] != '\0') {
        // Appending keeps an earlier run's trace whole; this run's text
        // follows it.
        // O_NOFOLLOW: in a shared directory such as /var/tmp, a link planted
        // under the trace file's name must not redirect our writes.
        trace_fhdl = open(trace_file_name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
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

void debug_sock_open_if_closed(void)
{
    if (!debug_window || !enable_debug)
        return;
    std::lock_guard<std::mutex> lock(output_mutex);
    if (debug_socket == -1)
        debug_sock_open_locked();
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
