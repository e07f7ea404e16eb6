// The two logs: one readable line per message for people, and one JSON
// object per message for programs.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "answer.h"
#include "message.h"

namespace qzdm {

// "12:00:01.123", local time.
std::string clock_text(const timespec &when);
// "2024-05-01T12:00:01.123Z", UTC.
std::string iso_time_text(const timespec &when);

// Control bytes shown as \xNN so a hostile line cannot drive the terminal.
std::string printable(std::string_view text);

// "Request REQ_ID=... USER=alice ..." (the event, then the other fields).
std::string message_text(const Message &message);
// "-> ACCESS=true VLAN_ID=20 (rule alice)".
std::string decision_text(const Decision &decision);

// A JSON string literal, quotes included. Bytes that are not valid UTF-8 are
// written as \u00XX so the output always parses.
std::string json_string(std::string_view text);

// {"KEY":"value",...}; a key seen more than once becomes an array of its values.
std::string json_fields(const Fields &fields);

// One JSON line (with its line feed) for a message; decision is the answer
// sent for it, or null when none was sent.
std::string json_log_line(const timespec &when, unsigned long conn, const Message &message,
                          const Decision *decision);

}  // namespace qzdm
