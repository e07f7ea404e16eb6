#include "decision_fields.h"

#include <algorithm>

#include "qz_text.h"

namespace {

// The value of the field that starts at `field` in a line, if it is `key`'s.
bool field_value(std::string_view line, size_t field, std::string_view key, std::string_view &value)
{
    if (line.compare(field, key.size(), key) != 0)
        return false;
    std::string_view rest = line.substr(field + key.size());
    value = rest.substr(0, std::min(rest.find_first_of("\t\r"), kDecisionValueMax));
    return true;
}

bool find_in_line(std::string_view line, std::string_view key, std::string_view &value)
{
    if (line.empty() || line.front() == '#')
        return false;
    size_t field = 0;
    for (;;) {
        if (field_value(line, field, key, value))
            return true;
        size_t tab = line.find('\t', field);
        if (tab == std::string_view::npos)
            return false;
        field = tab + 1;
    }
}

}  // namespace

bool find_decision_field(std::string_view answer, std::string_view key, char *value, size_t cap)
{
    if (key.empty() || value == nullptr || cap == 0)
        return false;
    size_t line_start = 0;
    for (;;) {
        size_t line_end = std::min(answer.find('\n', line_start), answer.size());
        std::string_view found;
        if (find_in_line(answer.substr(line_start, line_end - line_start), key, found)) {
            // Bounded by the view's length: the answer need not be terminated.
            qz_copy(value, std::min(found.size() + 1, cap), found.data());
            return true;
        }
        if (line_end >= answer.size())
            return false;
        line_start = line_end + 1;
    }
}
