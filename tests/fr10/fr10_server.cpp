// The stand-in server executable's own functions: debug output, allocation
// and the configuration-section parser.
#include <arpa/inet.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fr10_host.h"
#include "platdefs.h"

namespace {

std::mutex log_mutex;
std::vector<std::string> &log_store()
{
    static std::vector<std::string> lines;
    return lines;
}

const CONF_PARSER *parse_table = nullptr;

const char *section_value(const conf_section *cs, const char *name)
{
    if (cs == nullptr)
        return nullptr;
    for (const auto &item : cs->items) {
        if (item.first == name)
            return item.second.c_str();
    }
    return nullptr;
}

bool parse_integer(const char *text, int *value)
{
    char *end = nullptr;
    errno = 0;
    const long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < INT_MIN || n > INT_MAX)
        return false;
    *value = static_cast<int>(n);
    return true;
}

bool parse_boolean(const char *text, int *value)
{
    if (strcasecmp(text, "yes") == 0 || strcasecmp(text, "on") == 0 || strcmp(text, "1") == 0) {
        *value = 1;
        return true;
    }
    if (strcasecmp(text, "no") == 0 || strcasecmp(text, "off") == 0 || strcmp(text, "0") == 0) {
        *value = 0;
        return true;
    }
    return false;
}

bool parse_address(const char *text, uint32_t *value)
{
    if (strcmp(text, "*") == 0) {
        *value = htonl(INADDR_ANY);
        return true;
    }
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1)
        return false;
    *value = address.s_addr;
    return true;
}

}  // namespace

extern "C" {

QZ_EXPORT int debug_flag = 0;

QZ_EXPORT int log_debug(const char *fmt, ...)
{
    char line[8192];
    va_list args;
    va_start(args, fmt);
    const int n = vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(log_mutex);
    log_store().emplace_back(line);
    return n;
}

QZ_EXPORT void *rad_malloc(size_t size)
{
    void *p = malloc(size);
    if (p == nullptr) {
        fprintf(stderr, "Out of memory\n");
        exit(1);
    }
    return p;
}

QZ_EXPORT int cf_section_parse(CONF_SECTION *cs, void *base, const CONF_PARSER *variables)
{
    parse_table = variables;
    for (const CONF_PARSER *row = variables; row != nullptr && row->name != nullptr; ++row) {
        void *target = row->data != nullptr ? row->data : static_cast<char *>(base) + row->offset;
        const char *text = section_value(cs, row->name);
        if (text == nullptr)
            text = row->dflt;

        if (row->type == PW_TYPE_STRING_PTR) {
            char **field = static_cast<char **>(target);
            free(*field);
            *field = text != nullptr ? strdup(text) : nullptr;
            continue;
        }
        if (text == nullptr)
            continue;
        bool parsed = false;
        switch (row->type) {
        case PW_TYPE_INTEGER:
            parsed = parse_integer(text, static_cast<int *>(target));
            break;
        case PW_TYPE_BOOLEAN:
            parsed = parse_boolean(text, static_cast<int *>(target));
            break;
        case PW_TYPE_IPADDR:
            parsed = parse_address(text, static_cast<uint32_t *>(target));
            break;
        default:
            break;
        }
        if (!parsed)
            return -1;
    }
    return 0;
}

}  // extern "C"

namespace fr10 {

std::vector<std::string> log_lines()
{
    std::lock_guard<std::mutex> hold(log_mutex);
    return log_store();
}

void clear_log()
{
    std::lock_guard<std::mutex> hold(log_mutex);
    log_store().clear();
}

bool logged(const std::string &line)
{
    std::lock_guard<std::mutex> hold(log_mutex);
    for (const std::string &l : log_store()) {
        if (l == line)
            return true;
    }
    return false;
}

const CONF_PARSER *last_parse_table()
{
    return parse_table;
}

}  // namespace fr10
