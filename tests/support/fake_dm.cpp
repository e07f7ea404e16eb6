// The fake DM: one server thread polls the listener, every accepted
// connection and a wake-up eventfd. Received bytes are recorded under a
// mutex; complete authorization request lines are answered from the script.
//
// Only the server thread accepts and closes connections, and it does so while
// holding the mutex, so other threads may write on an open connection (under
// the same mutex) without racing a close.
#include "fake_dm.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string_view>

namespace qztest {
namespace {

using Clock = std::chrono::steady_clock;

struct Step {
    enum Kind { Answer, Split, Silent, Close, AnswerThenClose };
    Kind kind;
    std::string first;
    std::string second;
    int gap_ms;
};

struct Connection {
    int fd;
    uint64_t id;
    std::string partial;  // bytes after the last line feed
};

// A second part of a split answer, written once it is due.
struct PendingWrite {
    uint64_t connection_id;
    Clock::time_point due;
    std::string text;
};

void write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the peer went away; the answer is lost like on a real DM
        text.remove_prefix(static_cast<size_t>(n));
    }
}

bool is_authorization_request(std::string_view line)
{
    constexpr std::string_view prefix = "EVENT=";
    if (line.substr(0, prefix.size()) != prefix)
        return false;
    std::string_view event = line.substr(prefix.size());
    event = event.substr(0, event.find('\t'));
    constexpr std::string_view not_asking[] = {"Startup", "Shutdown", "Authorization",
                                               "AccountingRequest"};
    for (std::string_view name : not_asking) {
        if (event == name)
            return false;
    }
    return event.substr(0, 10) != "SERVERINFO";
}

}  // namespace

struct FakeDm::Impl {
    int listen_fd = -1;
    int wake_fd = -1;
    int port = 0;
    std::thread server;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    // Guarded by mutex.
    bool stopping = false;
    bool shutdown_requested = false;
    bool shut_down = false;
    bool close_requested = false;
    std::vector<Connection> connections;
    uint64_t next_connection_id = 1;
    int accepted = 0;
    int requests = 0;
    std::string received;
    std::vector<std::string> lines;
    std::vector<int> line_connections;  // per entry of lines
    std::deque<Step> script;
    std::optional<std::string> default_answer;
    std::function<std::string(const std::string &)> answer_fn;
    std::vector<PendingWrite> pending;
    bool echo_req_id = false;
    bool reading_stopped = false;
    int hold_until = 0;                // answers wait for this many requests
    std::vector<PendingWrite> held;    // answers waiting for them

    void wake() const
    {
        uint64_t one = 1;
        ssize_t ignored = write(wake_fd, &one, sizeof one);
        (void)ignored;
    }

    Connection *find_connection(uint64_t id)
    {
        for (Connection &c : connections) {
            if (c.id == id)
                return &c;
        }
        return nullptr;
    }

    void close_connection_locked(uint64_t id)
    {
        auto it = std::find_if(connections.begin(), connections.end(),
                               [id](const Connection &c) { return c.id == id; });
        if (it == connections.end())
            return;
        close(it->fd);
        connections.erase(it);
        pending.erase(std::remove_if(pending.begin(), pending.end(),
                                     [id](const PendingWrite &p) { return p.connection_id == id; }),
                      pending.end());
    }

    void close_all_locked()
    {
        for (Connection &c : connections)
            close(c.fd);
        connections.clear();
        pending.clear();
    }

    void accept_one()
    {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        connections.push_back(Connection{fd, next_connection_id++, {}});
        accepted++;
        changed.notify_all();
    }

    // Answers one authorization request that arrived on connection id.
    void answer_request(uint64_t id, const std::string &line)
    {
        std::unique_lock<std::mutex> lock(mutex);
        requests++;
        std::optional<Step> step;
        if (!script.empty()) {
            step = script.front();
            script.pop_front();
        } else if (answer_fn) {
            auto fn = answer_fn;
            lock.unlock();  // the callback may use the FakeDm itself
            std::string text = fn(line);
            lock.lock();
            step = Step{Step::Answer, text, {}, 0};
        } else if (default_answer) {
            step = Step{Step::Answer, *default_answer, {}, 0};
        }
        if (!step || step->kind == Step::Silent)
            return;
        Connection *conn = find_connection(id);
        if (conn == nullptr)
            return;
        if (echo_req_id && step->kind != Step::Close) {
            // On the first part that says anything; on both copies of a
            // repeated answer.
            std::string prefix = "REQ_ID=" + field_of(line, "REQ_ID") + "\t";
            bool repeated = step->kind == Step::Split && step->gap_ms < 0;
            if (step->kind == Step::Split && !repeated && step->first.empty())
                step->second = prefix + step->second;
            else
                step->first = prefix + step->first;
            if (repeated)
                step->second = prefix + step->second;
        }
        switch (step->kind) {
        case Step::Answer:
            if (requests < hold_until) {
                held.push_back(PendingWrite{id, Clock::now(), step->first});
                break;
            }
            write_all(conn->fd, step->first);
            if (requests == hold_until)
                release_held_locked();
            break;
        case Step::Split:
            write_all(conn->fd, step->first);
            pending.push_back(PendingWrite{
                id, Clock::now() + std::chrono::milliseconds(std::abs(step->gap_ms)), step->second});
            break;
        case Step::Close:
            close_connection_locked(id);
            break;
        case Step::AnswerThenClose:
            write_all(conn->fd, step->first);
            close_connection_locked(id);
            changed.notify_all();
            break;
        case Step::Silent:
            break;
        }
    }

    void release_held_locked()
    {
        for (const PendingWrite &answer : held) {
            if (Connection *target = find_connection(answer.connection_id))
                write_all(target->fd, answer.text);
        }
        held.clear();
    }

    // Reads what is waiting on connection id; returns the complete
    // authorization request lines found, to be answered outside the lock.
    std::vector<std::string> read_from(uint64_t id)
    {
        std::vector<std::string> requests_found;
        std::lock_guard<std::mutex> lock(mutex);
        Connection *conn = find_connection(id);
        if (conn == nullptr)
            return requests_found;
        char buffer[4096];
        ssize_t n = recv(conn->fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            return requests_found;
        if (n <= 0) {
            close_connection_locked(id);
            changed.notify_all();
            return requests_found;
        }
        received.append(buffer, static_cast<size_t>(n));
        conn->partial.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = conn->partial.find('\n')) != std::string::npos) {
            std::string line = conn->partial.substr(0, end);
            conn->partial.erase(0, end + 1);
            if (is_authorization_request(line))
                requests_found.push_back(line);
            lines.push_back(std::move(line));
            line_connections.push_back(static_cast<int>(id));
        }
        changed.notify_all();
        return requests_found;
    }

    // Writes the pending parts that are due; returns the poll timeout until
    // the next one (-1 when none is waiting).
    int flush_due_writes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        Clock::time_point now = Clock::now();
        int timeout = -1;
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due <= now) {
                if (Connection *conn = find_connection(it->connection_id))
                    write_all(conn->fd, it->text);
                it = pending.erase(it);
                continue;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(it->due - now);
            int ms = static_cast<int>(left.count()) + 1;
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
            ++it;
        }
        return timeout;
    }

    // Handles shutdown()/close requests from other threads; false to stop.
    bool handle_requests()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (shutdown_requested && !shut_down) {
            if (listen_fd >= 0)
                close(listen_fd);
            listen_fd = -1;
            close_all_locked();
            shut_down = true;
            changed.notify_all();
        }
        if (close_requested) {
            close_all_locked();
            close_requested = false;
            changed.notify_all();
        }
        return !stopping;
    }

    void serve()
    {
        std::vector<pollfd> fds;
        std::vector<uint64_t> ids;  // connection id per entry of fds (0: not a connection)
        while (handle_requests()) {
            int timeout = flush_due_writes();
            fds.clear();
            ids.clear();
            fds.push_back(pollfd{wake_fd, POLLIN, 0});
            ids.push_back(0);
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (listen_fd >= 0) {
                    fds.push_back(pollfd{listen_fd, POLLIN, 0});
                    ids.push_back(0);
                }
                for (const Connection &c : connections) {
                    if (reading_stopped)
                        break;
                    fds.push_back(pollfd{c.fd, POLLIN, 0});
                    ids.push_back(c.id);
                }
            }
            int ready = poll(fds.data(), fds.size(), timeout);
            if (ready <= 0)
                continue;
            if (fds[0].revents != 0) {
                uint64_t count;
                ssize_t ignored = read(wake_fd, &count, sizeof count);
                (void)ignored;
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                if (ids[i] == 0) {
                    accept_one();
                    continue;
                }
                for (const std::string &line : read_from(ids[i]))
                    answer_request(ids[i], line);
            }
        }
    }
};

FakeDm::FakeDm() : impl_(new Impl)
{
    impl_->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl_->listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (impl_->wake_fd < 0 || impl_->listen_fd < 0 ||
        bind(impl_->listen_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(impl_->listen_fd, 16) != 0 ||
        getsockname(impl_->listen_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        // Without a listener the tests cannot run at all; say why loudly.
        perror("fake DM: cannot listen on 127.0.0.1");
        abort();
    }
    impl_->port = ntohs(address.sin_port);
    impl_->server = std::thread([impl = impl_] { impl->serve(); });
}

FakeDm::~FakeDm()
{
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake();
    impl_->server.join();
    if (impl_->listen_fd >= 0)
        close(impl_->listen_fd);
    impl_->close_all_locked();  // the server thread is gone: no one else holds them
    close(impl_->wake_fd);
    delete impl_;
}

int FakeDm::port() const
{
    return impl_->port;
}

void FakeDm::answer(const std::string &text)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->script.push_back(Step{Step::Answer, text, {}, 0});
}

void FakeDm::answer_split(const std::string &first, const std::string &second, int gap_ms)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->script.push_back(Step{Step::Split, first, second, std::max(gap_ms, 0)});
}

void FakeDm::stay_silent()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->script.push_back(Step{Step::Silent, {}, {}, 0});
}

void FakeDm::close_connection()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->script.push_back(Step{Step::Close, {}, {}, 0});
}

void FakeDm::answer_twice(const std::string &text, int gap_ms)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    // A split whose second part repeats the first; a negative gap marks it
    // as a repetition, so the REQ_ID echo goes on both copies.
    impl_->script.push_back(Step{Step::Split, text, text, -std::max(gap_ms, 1)});
}

void FakeDm::answer_then_close(const std::string &text)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->script.push_back(Step{Step::AnswerThenClose, text, {}, 0});
}

void FakeDm::echo_req_id(bool on)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->echo_req_id = on;
}

void FakeDm::stop_reading(bool stop)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->reading_stopped = stop;
    impl_->wake();
}

void FakeDm::set_default_answer(std::optional<std::string> text)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->default_answer = std::move(text);
}

void FakeDm::answer_with(std::function<std::string(const std::string &request_line)> fn)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->answer_fn = std::move(fn);
}

void FakeDm::hold_answers_until(int n)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->hold_until = n;
}

void FakeDm::send_unasked(const std::string &text)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->connections.empty())
        write_all(impl_->connections.back().fd, text);
}

void FakeDm::shutdown()
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->shutdown_requested = true;
    impl_->wake();
    impl_->changed.wait(lock, [this] { return impl_->shut_down; });
}

void FakeDm::close_connections()
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->close_requested = true;
    impl_->wake();
    impl_->changed.wait(lock, [this] { return !impl_->close_requested; });
}

std::string FakeDm::received() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->received;
}

std::vector<std::string> FakeDm::lines() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lines;
}

std::vector<FakeDm::ConnectionLine> FakeDm::lines_by_connection() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<ConnectionLine> found;
    for (size_t i = 0; i < impl_->lines.size(); i++)
        found.push_back(ConnectionLine{impl_->line_connections[i], impl_->lines[i]});
    return found;
}

int FakeDm::connections() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->accepted;
}

int FakeDm::open_connections() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return static_cast<int>(impl_->connections.size());
}

int FakeDm::requests() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

bool FakeDm::wait_for_lines(size_t n, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [&] { return impl_->lines.size() >= n; });
}

bool FakeDm::wait_for(const std::string &needle, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return impl_->received.find(needle) != std::string::npos;
    });
}

bool FakeDm::wait_for_connections(int n, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [&] { return impl_->accepted >= n; });
}

std::string field_of(const std::string &line, const std::string &key)
{
    std::string start = key + "=";
    size_t at = line.compare(0, start.size(), start) == 0 ? 0 : line.find("\t" + start);
    if (at == std::string::npos)
        return "";
    at += (at == 0 ? 0 : 1) + start.size();
    return line.substr(at, line.find('\t', at) - at);
}

}  // namespace qztest
