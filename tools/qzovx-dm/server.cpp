#include "server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "answer.h"
#include "line_buffer.h"
#include "log_format.h"
#include "message.h"

namespace qzdm {
namespace {

volatile sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int signum) { g_stop_signal = signum; }

// Answers waiting for a reader that does not read: stop reading from it
// beyond this, rather than buffering without end.
constexpr size_t kMaxOutgoingBytes = 1024 * 1024;

struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    UniqueFd(UniqueFd &&other) noexcept : fd(other.fd) { other.fd = -1; }
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd = other.fd;
            other.fd = -1;
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

struct AddrInfoList {
    addrinfo *head = nullptr;
    AddrInfoList() = default;
    AddrInfoList(const AddrInfoList &) = delete;
    AddrInfoList &operator=(const AddrInfoList &) = delete;
    ~AddrInfoList()
    {
        if (head != nullptr)
            freeaddrinfo(head);
    }
};

// An answer that goes out later: a copy sent again (--answer-twice), or an
// answer held back (--answer-delay).
struct LaterAnswer {
    long long due_ms;
    std::string text;
    bool repeat;  // a copy: goes out before the next answer at the latest
};

struct Connection {
    unsigned long id = 0;
    UniqueFd socket;
    LineBuffer lines;
    std::string outgoing;
    std::vector<LaterAnswer> later;
    bool peer_finished = false;  // the agent closed its side
    bool dead = false;
};

struct Logs {
    bool quiet;
    FILE *json;
};

// How answers are written, and how many authorization requests were answered.
struct Answering {
    bool echo_req_id = true;
    long answer_twice = 0;
    int delay_ms = 0;
    long answered = 0;
};

constexpr long long kRepeatDelayMs = 5;

long long monotonic_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

timespec now()
{
    timespec when;
    clock_gettime(CLOCK_REALTIME, &when);
    return when;
}

// One readable line on stdout, flushed so that a reader sees it at once.
void say(const Logs &logs, const timespec &when, unsigned long conn, const std::string &text)
{
    if (logs.quiet)
        return;
    std::printf("[%s] conn#%lu %s\n", clock_text(when).c_str(), conn, text.c_str());
    std::fflush(stdout);
}

void warn(unsigned long conn, const std::string &text)
{
    std::fprintf(stderr, "qzovx-dm: warning: conn#%lu: %s\n", conn, text.c_str());
    std::fflush(stderr);
}

std::string address_text(const sockaddr *address, socklen_t length)
{
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    if (address->sa_family == AF_INET6)
        return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

bool open_listener(const Options &options, UniqueFd *out, std::string *bound, std::string *error)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    AddrInfoList found;
    std::string port = std::to_string(options.port);
    int rc = getaddrinfo(options.listen_address.c_str(), port.c_str(), &hints, &found.head);
    if (rc != 0) {
        *error = "cannot resolve " + options.listen_address + ": " + gai_strerror(rc);
        return false;
    }
    *error = "no usable address for " + options.listen_address;
    for (addrinfo *ai = found.head; ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           ai->ai_protocol));
        if (fd.fd < 0) {
            *error = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        int on = 1;
        setsockopt(fd.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd.fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd.fd, 64) != 0) {
            *error = "cannot listen on " + address_text(ai->ai_addr, ai->ai_addrlen) + ": " +
                     std::strerror(errno);
            continue;
        }
        sockaddr_storage local;
        socklen_t length = sizeof local;
        if (getsockname(fd.fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
            *error = std::string("getsockname: ") + std::strerror(errno);
            continue;
        }
        *bound = address_text(reinterpret_cast<sockaddr *>(&local), length);
        *out = std::move(fd);
        return true;
    }
    return false;
}

void handle_line(Connection *conn, const std::string &line, const Policy &policy,
                 const Logs &logs, Answering *answering)
{
    // The Authorization report is followed by an empty line; it carries nothing.
    if (line.empty())
        return;
    timespec when = now();
    Message message = parse_message(line);
    say(logs, when, conn->id, message_text(message));
    Decision decision;
    bool answered = message.kind == MessageKind::AuthorizationRequest;
    if (answered) {
        decision = decide(policy, message);
        std::string bytes = answer_bytes(decision, message, answering->echo_req_id);
        // A repeated answer still waiting goes out before this one: it is
        // late, not lost. Answers leave in the order they were decided.
        const long long due = monotonic_ms() + answering->delay_ms;
        for (LaterAnswer &a : conn->later)
            if (a.repeat)
                a.due_ms = 0;
        if (answering->delay_ms > 0 || !conn->later.empty())
            conn->later.push_back(LaterAnswer{due, bytes, false});
        else
            conn->outgoing += bytes;
        decision.line = bytes;  // the JSON log shows what was sent
        say(logs, now(), conn->id, decision_text(decision));
        if (++answering->answered == answering->answer_twice) {
            conn->later.push_back(LaterAnswer{due + kRepeatDelayMs, bytes, true});
            say(logs, now(), conn->id, "answer will be sent again (--answer-twice)");
        }
    }
    if (logs.json != nullptr) {
        std::string json = json_log_line(when, conn->id, message, answered ? &decision : nullptr);
        std::fwrite(json.data(), 1, json.size(), logs.json);
        std::fflush(logs.json);
    }
}

void flush_outgoing(Connection *conn)
{
    while (!conn->outgoing.empty()) {
        ssize_t n = send(conn->socket.fd, conn->outgoing.data(), conn->outgoing.size(),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            conn->outgoing.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        warn(conn->id, std::string("cannot send the answer: ") + std::strerror(errno));
        conn->dead = true;
        return;
    }
}

void read_from(Connection *conn, const Policy &policy, const Logs &logs, Answering *answering)
{
    char chunk[16384];
    ssize_t n = recv(conn->socket.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        if (errno != ECONNRESET)
            warn(conn->id, std::string("receive failed: ") + std::strerror(errno));
        conn->dead = true;
        return;
    }
    if (n == 0) {
        if (!conn->lines.pending.empty() || conn->lines.discarding)
            warn(conn->id, "connection closed in the middle of a line; the partial line is dropped");
        conn->lines = LineBuffer();
        conn->peer_finished = true;
        return;
    }
    std::vector<LineEvent> events;
    feed_lines(&conn->lines, std::string_view(chunk, static_cast<size_t>(n)), &events);
    for (const LineEvent &event : events) {
        if (event.kind == LineEvent::TooLong)
            warn(conn->id, "line longer than " + std::to_string(conn->lines.max_line) +
                               " bytes dropped");
        else
            handle_line(conn, event.text, policy, logs, answering);
    }
}

}  // namespace

int run_server(const Options &options, const Policy &policy, FILE *json_log)
{
    // Signals are blocked except while waiting in ppoll, so a stop request can
    // never slip in between the check and the wait.
    sigset_t stop_signals, wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    UniqueFd listener;
    std::string bound, error;
    if (!open_listener(options, &listener, &bound, &error)) {
        std::fprintf(stderr, "qzovx-dm: %s\n", error.c_str());
        return 2;
    }
    std::printf("qzovx-dm: listening on %s\n", bound.c_str());
    std::fflush(stdout);

    Logs logs{options.quiet, json_log};
    Answering answering;
    answering.echo_req_id = options.echo_req_id;
    answering.answer_twice = options.answer_twice;
    answering.delay_ms = options.answer_delay_ms;
    std::list<Connection> connections;
    unsigned long next_id = 1;
    bool accepting = true;
    std::vector<pollfd> polled;

    while (g_stop_signal == 0) {
        polled.clear();
        polled.push_back(pollfd{listener.fd, static_cast<short>(accepting ? POLLIN : 0), 0});
        for (Connection &c : connections) {
            short wanted = 0;
            if (!c.peer_finished && c.outgoing.size() < kMaxOutgoingBytes)
                wanted |= POLLIN;
            if (!c.outgoing.empty())
                wanted |= POLLOUT;
            polled.push_back(pollfd{c.socket.fd, wanted, 0});
        }
        // While accepting is paused (out of descriptors), look again each
        // second; a repeated answer that is due sets an earlier limit.
        long long wait_ms = accepting ? -1 : 1000;
        long long now_ms = monotonic_ms();
        for (const Connection &c : connections)
            if (!c.later.empty()) {
                // Answers leave in turn: only the first one's time counts.
                const LaterAnswer &a = c.later.front();
                long long left = a.due_ms > now_ms ? a.due_ms - now_ms : 0;
                wait_ms = wait_ms < 0 ? left : std::min(wait_ms, left);
            }
        timespec limit{static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000000L};
        int ready = ppoll(polled.data(), polled.size(), wait_ms < 0 ? nullptr : &limit, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "qzovx-dm: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        accepting = true;

        size_t index = 1;
        for (Connection &c : connections) {
            short got = polled[index++].revents;
            if (got & (POLLIN | POLLHUP | POLLERR)) {
                // Once the agent has finished sending, a hang-up or error
                // means the rest of the answers can no longer be delivered.
                if (c.peer_finished)
                    c.dead = true;
                else
                    read_from(&c, policy, logs, &answering);
            }
            long long due_now = monotonic_ms();
            while (!c.later.empty() && c.later.front().due_ms <= due_now) {
                c.outgoing += c.later.front().text;
                c.later.erase(c.later.begin());
            }
            if (!c.dead)
                flush_outgoing(&c);
            if (c.peer_finished && c.outgoing.empty() && c.later.empty())
                c.dead = true;
        }
        for (auto it = connections.begin(); it != connections.end();) {
            if (!it->dead) {
                ++it;
                continue;
            }
            say(logs, now(), it->id, "closed");
            it = connections.erase(it);
        }

        if (polled[0].revents & POLLIN) {
            for (;;) {
                sockaddr_storage peer;
                socklen_t length = sizeof peer;
                int fd = accept4(listener.fd, reinterpret_cast<sockaddr *>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
                        errno == ENOMEM) {
                        std::fprintf(stderr, "qzovx-dm: warning: cannot accept: %s\n",
                                     std::strerror(errno));
                        accepting = false;
                    }
                    break;  // EAGAIN, or an aborted connection: nothing to take now
                }
                connections.emplace_back();
                Connection &c = connections.back();
                c.id = next_id++;
                c.socket = UniqueFd(fd);
                say(logs, now(), c.id,
                    "connected from " +
                        address_text(reinterpret_cast<sockaddr *>(&peer), length));
            }
        }
    }

    if (!options.quiet) {
        std::printf("qzovx-dm: stopping on %s\n", g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM");
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace qzdm
