// The decision policy: named rules tried in order (first match wins) and an
// optional default used when no rule matches.
//
// File format, one directive per line, '#' starts a comment:
//     rule NAME
//       match KEY=PATTERN      (USER, CLIENT_MAC, NAS_IP, PORT, NAS_MAC,
//                               HI_STATE, REQ_ID; '*' is a wildcard)
//       answer KEY=VALUE       (a decision field sent back to the agent)
//     default
//       answer KEY=VALUE
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fields.h"

namespace qzdm {

struct Rule {
    std::string name;
    int line = 0;       // where the rule starts, for diagnostics
    Fields matches;     // all must hold; values are patterns
    Fields answers;     // in the order written
};

struct Policy {
    std::vector<Rule> rules;
    std::optional<Rule> fallback;  // the "default" section
};

// The agent reads one decision of at most this many bytes.
constexpr size_t kMaxAnswerBytes = 3071;

bool is_match_key(std::string_view key);
bool is_answer_key(std::string_view key);
bool is_numeric_answer_key(std::string_view key);

// Parses policy text. On failure returns false and sets *error to
// "FILE:LINE: reason" (file_name as given).
bool parse_policy(std::string_view text, std::string_view file_name, Policy *out,
                  std::string *error);

// Reads and parses a policy file; a file that cannot be read is an error too.
bool load_policy(const std::string &path, Policy *out, std::string *error);

}  // namespace qzdm
