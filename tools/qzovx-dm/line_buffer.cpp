#include "line_buffer.h"

namespace qzdm {

void feed_lines(LineBuffer *buffer, std::string_view bytes, std::vector<LineEvent> *events)
{
    while (!bytes.empty()) {
        size_t nl = bytes.find('\n');
        std::string_view piece = bytes.substr(0, nl);
        bool complete = nl != std::string_view::npos;
        bytes.remove_prefix(complete ? nl + 1 : bytes.size());

        if (buffer->discarding) {
            if (complete)
                buffer->discarding = false;
            continue;
        }
        if (buffer->pending.size() + piece.size() > buffer->max_line) {
            buffer->pending.clear();
            buffer->discarding = !complete;
            events->push_back(LineEvent{LineEvent::TooLong, std::string()});
            continue;
        }
        buffer->pending.append(piece);
        if (!complete)
            continue;
        if (!buffer->pending.empty() && buffer->pending.back() == '\r')
            buffer->pending.pop_back();
        events->push_back(LineEvent{LineEvent::Line, std::move(buffer->pending)});
        buffer->pending.clear();
    }
}

}  // namespace qzdm
