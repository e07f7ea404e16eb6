// A fake decision manager on an ephemeral loopback port. It records every byte
// it receives and answers authorization requests from a script.
//
// An authorization request is any complete line that begins with "EVENT=" and
// whose event is not Startup, Shutdown, SERVERINFO..., Authorization or
// AccountingRequest. Each one consumes the next script step; with the script
// empty, the default answer is used (none unless set: the DM stays silent).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qztest {

class FakeDm {
public:
    FakeDm();   // listens on 127.0.0.1:<ephemeral>, serves in a thread
    ~FakeDm();  // closes everything and joins
    FakeDm(const FakeDm &) = delete;
    FakeDm &operator=(const FakeDm &) = delete;

    int port() const;

    // ---- Script: one step per authorization request, in order ----
    void answer(const std::string &text);  // written in one write
    // Written in two writes with a pause between them.
    void answer_split(const std::string &first, const std::string &second, int gap_ms = 100);
    void stay_silent();       // no answer for that request
    void close_connection();  // closes the connection instead of answering
    // Writes the text, then the same text again gap_ms later (a DM that
    // answers one request twice).
    void answer_twice(const std::string &text, int gap_ms = 5);
    // Writes the text (typically the start of a line) and closes the
    // connection right after it.
    void answer_then_close(const std::string &text);
    // Starts every scripted or computed answer with "REQ_ID=<the request's
    // id>\t", as a DM that binds its answers does. Off by default.
    void echo_req_id(bool on);
    // Stops (or resumes) reading every connection: what the agent sends piles
    // up in the socket buffers. Connections are still accepted.
    void stop_reading(bool stop);
    // Answer used when the script is empty; std::nullopt = stay silent.
    void set_default_answer(std::optional<std::string> text);
    // Computes every answer from the request line (without its line feed);
    // used when the script is empty, before the default answer.
    void answer_with(std::function<std::string(const std::string &request_line)> fn);
    // Holds every answer back until n authorization requests have arrived in
    // all, then sends the held ones together (each on the connection its
    // request came on); later requests are answered at once. Requests that
    // can only wait for one another cannot all be answered.
    void hold_answers_until(int n);

    // Writes text on the newest open connection now, unasked (nothing when
    // no connection is open).
    void send_unasked(const std::string &text);
    // Closes the listener and every connection: the DM goes away.
    void shutdown();
    // Closes every open connection but keeps listening: the DM drops its
    // clients and the library has to reconnect. Returns once they are closed.
    void close_connections();

    // ---- What was received ----
    std::string received() const;          // every byte, all connections, in order
    // Complete lines, without their line feeds, in the order they were
    // completed; empty lines count (the Authorization report ends with one).
    std::vector<std::string> lines() const;
    // Complete lines as lines() has them, each with the connection it came
    // on: 1 for the first connection accepted, 2 for the second, ...
    struct ConnectionLine {
        int connection;
        std::string text;
    };
    std::vector<ConnectionLine> lines_by_connection() const;
    int connections() const;               // connections accepted so far
    int open_connections() const;          // accepted and not closed yet
    int requests() const;                  // authorization requests seen so far
    // Wait until at least n complete lines / the text has been received.
    bool wait_for_lines(size_t n, int timeout_ms = 5000) const;
    bool wait_for(const std::string &needle, int timeout_ms = 5000) const;
    // Wait until at least n connections have been accepted.
    bool wait_for_connections(int n, int timeout_ms = 5000) const;

private:
    struct Impl;
    Impl *impl_;
};

// Writes a properties file with the given text to a fresh temporary path and
// points QZOVX_PROPERTIES at it. Returns the path.
std::string write_properties(const std::string &text);

// A trace file path for "ovx_rif_trace_file=": the library puts "/var/" in
// front of the value, so this returns a value under "tmp/" that is unique to
// the process; full_path receives the resulting absolute path.
std::string trace_file_value(std::string *full_path);

// The value of "KEY=" in a TAB-separated DM line; empty when absent.
std::string field_of(const std::string &line, const std::string &key);

}  // namespace qztest
