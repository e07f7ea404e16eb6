// Choosing and writing the decision for one authorization request.
#pragma once

#include <string>
#include <string_view>

#include "message.h"
#include "policy.h"

namespace qzdm {

struct Decision {
    const Rule *rule = nullptr;  // the rule or default that matched; null: neither
    bool from_default = false;
    Fields fields;               // what was answered
    std::string line;            // the bytes sent back, line feed included
};

// The answer sent when nothing in the policy matches and it has no default.
constexpr std::string_view kRefusalAnswer = "ACCESS=false\t\n";

// '*' matches any run of characters (also none); everything else literally,
// ignoring ASCII case when asked.
bool wildcard_match(std::string_view pattern, std::string_view text, bool ignore_case);

// Whether every match of the rule holds for the message. A match on a key the
// message lacks fails; a key present several times holds if any value fits.
bool rule_matches(const Rule &rule, const Message &message);

// "KEY=VALUE\t" for each field, then "\n".
std::string format_answer(const Fields &answers);

// First matching rule, else the default, else the built-in refusal.
Decision decide(const Policy &policy, const Message &request);

// The bytes sent back for a decision. With echo_req_id, the answer starts
// with the request's own "REQ_ID=<id>\t" (when it carried one), so that the
// agent can tell it from a late or duplicated answer to another request.
std::string answer_bytes(const Decision &decision, const Message &request, bool echo_req_id);

}  // namespace qzdm
