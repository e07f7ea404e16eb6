#include "policy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "answer.h"

namespace qzdm {
namespace {

constexpr std::string_view kMatchKeys[] = {
    "USER", "CLIENT_MAC", "NAS_IP", "PORT", "NAS_MAC", "HI_STATE", "REQ_ID",
};

constexpr std::string_view kAnswerKeys[] = {
    "ACCESS", "VLAN_ID", "QOS", "BW_MAX_IN", "BW_MAX_OUT", "TIME", "SOURCE",
    "RETURN_CODE", "APG", "PROFILE", "LOCATION", "HI_STATE", "ACL", "GLOBAL_RULE",
    "RULE_NO", "VLAN_INCAP", "QOS_INCAP", "BW_MAX_INCAP", "ACL_INCAP", "DEFAULT_CAP",
};

// The agent converts these to 32-bit integers.
constexpr std::string_view kNumericAnswerKeys[] = {
    "QOS", "BW_MAX_IN", "BW_MAX_OUT", "TIME", "SOURCE", "RETURN_CODE",
};

template <size_t N>
bool listed(const std::string_view (&table)[N], std::string_view key)
{
    for (std::string_view k : table)
        if (k == key)
            return true;
    return false;
}

bool is_int32(std::string_view text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return false;
    long long value = 0;
    for (; i < text.size(); i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL)
            return false;
    }
    return negative ? value <= 2147483648LL : value <= 2147483647LL;
}

// A '#' opens a comment at the start of a line or after a blank, so values
// such as "a#b" keep their '#'.
std::string_view strip_comment(std::string_view line)
{
    for (size_t i = 0; i < line.size(); i++)
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    return line;
}

struct Parser {
    std::string_view file_name;
    Policy *policy;
    std::string *error;
    Rule *current = nullptr;
    int line_no = 0;

    bool fail(int line, const std::string &reason)
    {
        *error = std::string(file_name) + ":" + std::to_string(line) + ": " + reason;
        return false;
    }

    // Splits "KEY=VALUE" into key and value, checking the value's bytes.
    bool split_pair(std::string_view what, std::string_view rest, Field *out)
    {
        size_t eq = rest.find('=');
        if (eq == std::string_view::npos)
            return fail(line_no, std::string(what) + " needs KEY=VALUE, got '" +
                                     std::string(rest) + "'");
        std::string_view key = trim_blanks(rest.substr(0, eq));
        std::string_view value = trim_blanks(rest.substr(eq + 1));
        if (key.empty())
            return fail(line_no, std::string(what) + " without a key");
        if (value.empty())
            return fail(line_no, "empty value for " + std::string(key));
        for (char c : value) {
            if (c == '\t')
                return fail(line_no, "value of " + std::string(key) + " contains a TAB");
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return fail(line_no,
                            "value of " + std::string(key) + " contains a control character");
        }
        out->key = std::string(key);
        out->value = std::string(value);
        return true;
    }

    bool on_rule(std::string_view rest)
    {
        if (rest.empty())
            return fail(line_no, "rule needs a name");
        if (rest.find_first_of(" \t") != std::string_view::npos)
            return fail(line_no, "rule name must be one word, got '" + std::string(rest) + "'");
        for (const Rule &r : policy->rules)
            if (r.name == rest)
                return fail(line_no, "duplicate rule name '" + std::string(rest) +
                                         "' (first at line " + std::to_string(r.line) + ")");
        Rule rule;
        rule.name = std::string(rest);
        rule.line = line_no;
        policy->rules.push_back(std::move(rule));
        current = &policy->rules.back();  // the only push_back, so never stale
        return true;
    }

    bool on_default(std::string_view rest)
    {
        if (!rest.empty())
            return fail(line_no, "default takes no name, got '" + std::string(rest) + "'");
        if (policy->fallback)
            return fail(line_no, "duplicate default (first at line " +
                                     std::to_string(policy->fallback->line) + ")");
        Rule rule;
        rule.name = "default";
        rule.line = line_no;
        policy->fallback = std::move(rule);
        current = &*policy->fallback;
        return true;
    }

    bool on_match(std::string_view rest)
    {
        if (current == nullptr)
            return fail(line_no, "match before any rule");
        if (policy->fallback && current == &*policy->fallback)
            return fail(line_no, "match in the default section (the default matches everything)");
        Field field;
        if (!split_pair("match", rest, &field))
            return false;
        if (!is_match_key(field.key))
            return fail(line_no, "unknown match key '" + field.key + "'");
        current->matches.push_back(std::move(field));
        return true;
    }

    bool on_answer(std::string_view rest)
    {
        if (current == nullptr)
            return fail(line_no, "answer before any rule");
        Field field;
        if (!split_pair("answer", rest, &field))
            return false;
        if (!is_answer_key(field.key))
            return fail(line_no, "unknown answer key '" + field.key + "'");
        if (is_numeric_answer_key(field.key) && !is_int32(field.value))
            return fail(line_no, "bad number '" + field.value + "' for " + field.key);
        // The agent honours only the first occurrence of a key.
        for (const Field &f : current->answers)
            if (f.key == field.key)
                return fail(line_no, "duplicate answer key " + field.key + " in rule '" +
                                         current->name + "'");
        current->answers.push_back(std::move(field));
        return true;
    }

    bool on_line(std::string_view raw)
    {
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        std::string_view line = trim_blanks(strip_comment(raw));
        if (line.empty())
            return true;
        size_t end = line.find_first_of(" \t");
        std::string_view directive = line.substr(0, end);
        std::string_view rest =
            end == std::string_view::npos ? std::string_view() : trim_blanks(line.substr(end));
        if (directive == "rule")
            return on_rule(rest);
        if (directive == "default")
            return on_default(rest);
        if (directive == "match")
            return on_match(rest);
        if (directive == "answer")
            return on_answer(rest);
        return fail(line_no, "unknown directive '" + std::string(directive) + "'");
    }

    bool check_rule(const Rule &rule)
    {
        if (rule.answers.empty())
            return fail(rule.line, "rule '" + rule.name + "' has no answer");
        size_t bytes = format_answer(rule.answers).size();
        if (bytes > kMaxAnswerBytes)
            return fail(rule.line, "answer of rule '" + rule.name + "' is " +
                                       std::to_string(bytes) + " bytes; the agent reads at most " +
                                       std::to_string(kMaxAnswerBytes));
        return true;
    }
};

}  // namespace

bool is_match_key(std::string_view key) { return listed(kMatchKeys, key); }
bool is_answer_key(std::string_view key) { return listed(kAnswerKeys, key); }
bool is_numeric_answer_key(std::string_view key) { return listed(kNumericAnswerKeys, key); }

bool parse_policy(std::string_view text, std::string_view file_name, Policy *out,
                  std::string *error)
{
    Policy policy;
    Parser parser{file_name, &policy, error};
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        parser.line_no++;
        if (line.find('\0') != std::string_view::npos)
            return parser.fail(parser.line_no, "NUL byte in line");
        if (!parser.on_line(line))
            return false;
    }
    for (const Rule &rule : policy.rules)
        if (!parser.check_rule(rule))
            return false;
    if (policy.fallback && !parser.check_rule(*policy.fallback))
        return false;
    *out = std::move(policy);
    return true;
}

bool load_policy(const std::string &path, Policy *out, std::string *error)
{
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = path + ":0: cannot open: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    bool read_failed = std::ferror(file) != 0;
    int read_errno = errno;
    std::fclose(file);
    if (read_failed) {
        *error = path + ":0: cannot read: " + std::strerror(read_errno);
        return false;
    }
    return parse_policy(text, path, out, error);
}

}  // namespace qzdm
