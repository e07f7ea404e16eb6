#include "dm_answer.h"

#include <string.h>

namespace {

constexpr std::string_view kReqIdKey = "REQ_ID=";

}  // namespace

bool answer_line_req_id(std::string_view line, std::string_view &req_id)
{
    if (line.empty() || line.front() == '#')
        return false;
    size_t field = 0;
    for (;;) {
        if (line.compare(field, kReqIdKey.size(), kReqIdKey) == 0) {
            std::string_view rest = line.substr(field + kReqIdKey.size());
            req_id = rest.substr(0, rest.find_first_of("\t\r\n"));
            return true;
        }
        size_t tab = line.find('\t', field);
        if (tab == std::string_view::npos)
            return false;
        field = tab + 1;
    }
}

AnswerLines keep_answer_lines(char *text, size_t length, std::string_view req_id,
                              ForeignLine on_foreign, void *context)
{
    AnswerLines result{0, false, 0};
    size_t start = 0;
    while (start < length) {
        const char *end = static_cast<const char *>(memchr(text + start, '\n', length - start));
        size_t stop = end != nullptr ? static_cast<size_t>(end - text) + 1 : length;
        std::string_view line(text + start, stop - start);
        std::string_view content = line.substr(0, line.size() - (line.back() == '\n' ? 1 : 0));

        std::string_view named;
        if (!req_id.empty() && answer_line_req_id(content, named) && named != req_id) {
            result.dropped++;
            if (on_foreign != nullptr)
                on_foreign(content, context);
        } else {
            result.found = true;
            memmove(text + result.length, text + start, line.size());
            result.length += line.size();
        }
        start = stop;
    }
    return result;
}
