// Reassembles lines from the pieces a connection delivers. The agent writes
// one message in many small writes, so messages are only ever handled whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qzdm {

constexpr size_t kMaxLineBytes = 64 * 1024;

struct LineBuffer {
    std::string pending;     // bytes of the unfinished line
    bool discarding = false; // inside an over-long line, waiting for its end
    size_t max_line = kMaxLineBytes;
};

struct LineEvent {
    enum Kind { Line, TooLong } kind;
    std::string text;  // the line without its line feed (and a trailing CR); empty for TooLong
};

// Adds received bytes; appends one event per completed line to *events. A
// line that grows past max_line yields one TooLong event and is dropped up to
// and including its line feed.
void feed_lines(LineBuffer *buffer, std::string_view bytes, std::vector<LineEvent> *events);

}  // namespace qzdm
