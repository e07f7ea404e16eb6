#include "answer.h"

namespace qzdm {
namespace {

char fold(char c, bool ignore_case)
{
    return ignore_case && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// MAC addresses arrive in either case depending on the switch.
bool case_insensitive_key(std::string_view key)
{
    return key == "CLIENT_MAC" || key == "NAS_MAC";
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view text, bool ignore_case)
{
    // Greedy scan with one backtrack point: linear enough for policy patterns
    // and never recursive, so hostile input cannot blow the stack.
    size_t p = 0, t = 0;
    size_t star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() &&
                   fold(pattern[p], ignore_case) == fold(text[t], ignore_case)) {
            p++;
            t++;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

bool rule_matches(const Rule &rule, const Message &message)
{
    for (const Field &match : rule.matches) {
        bool ignore_case = case_insensitive_key(match.key);
        bool held = false;
        for (std::string_view value : field_values(message, match.key))
            if (wildcard_match(match.value, value, ignore_case)) {
                held = true;
                break;
            }
        if (!held)
            return false;
    }
    return true;
}

std::string format_answer(const Fields &answers)
{
    std::string line;
    for (const Field &f : answers) {
        line += f.key;
        line += '=';
        line += f.value;
        line += '\t';
    }
    line += '\n';
    return line;
}

Decision decide(const Policy &policy, const Message &request)
{
    for (const Rule &rule : policy.rules)
        if (rule_matches(rule, request))
            return Decision{&rule, false, rule.answers, format_answer(rule.answers)};
    if (policy.fallback)
        return Decision{&*policy.fallback, true, policy.fallback->answers,
                        format_answer(policy.fallback->answers)};
    return Decision{nullptr, false, Fields{Field{"ACCESS", "false"}}, std::string(kRefusalAnswer)};
}

std::string answer_bytes(const Decision &decision, const Message &request, bool echo_req_id)
{
    if (!echo_req_id)
        return decision.line;
    std::vector<std::string_view> ids = field_values(request, "REQ_ID");
    if (ids.empty())
        return decision.line;
    std::string line = "REQ_ID=";
    line += ids.front();
    line += '\t';
    line += decision.line;
    return line;
}

}  // namespace qzdm
