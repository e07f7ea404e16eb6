// The library's settings, read once from the properties file, and the
// key=value extractor used on that file and on the DM's answers.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string_view>

#include "Authif.h"
#include "debug.h"
#include "init_state.h"
#include "number.h"
#include "qz_text.h"

namespace {

constexpr const char *kDefaultPropertiesPath = "/var/opt/QZ/ovx/agent/config/DMConfig.prp";
constexpr const char *kDefaultTraceFile = "/var/opt/QZ/ovx/agent/logs/freeRADIUS.trc";
// The trace-file key replaces the path from its sixth character on.
constexpr size_t kTracePrefixKept = 5;
constexpr size_t kMaxValue = 3072;
constexpr int kLineBuffer = 1024;  // 1023 characters and the NUL

const char *properties_path()
{
    const char *path = getenv("QZOVX_PROPERTIES");
    return (path != nullptr && path[0] != '\0') ? path : kDefaultPropertiesPath;
}

void apply_trace_file(const char *value)
{
    size_t kept = strnlen(trace_file_name, kTracePrefixKept);
    trace_file_name[kept] = '\0';
    qz_append(trace_file_name, sizeof trace_file_name, value);
    enable_debug = 1;
}

// Applies every key found on one line, in the fixed key order.
void apply_line(char *line)
{
    char value[kMaxValue + 1];
    auto found = [&](const char *key) {
        return ovx_get_param(line, const_cast<char *>(key), value) != nullptr;
    };

    if (found("dm_port=")) {
        dm_server_port = qz_to_int32(value);
        printf("qzovx: using server port: %d\n", dm_server_port);
    }
    if (found("dm_socket_timeout="))
        sock_timeout = qz_to_int32(value);
    if (found("dm_response_timeout="))
        dm_server_timeout = qz_to_int32(value);
    if (found("ovx_rif_trace_file="))
        apply_trace_file(value);
    if (found("ovx_rif_trace_packet="))
        trace_packet = 1;
    if (found("debug_server="))
        debug_window = 1;
    if (found("debug_packet="))
        debug_packet = 1;
    if (found("send_lat_group="))
        send_lat_group = 1;
    if (found("qz_ei_attributename=")) {
        qz_copy(qz_ei_attribute_name, sizeof qz_ei_attribute_name, value);
        printf("EI Attribute name=%s\n", qz_ei_attribute_name);
    }
    if (found("qz_ei_attributetype=")) {
        qz_copy(qz_ei_attribute_type, sizeof qz_ei_attribute_type, value);
        printf("EI Attribute type: %s\n", qz_ei_attribute_type);
    }
}

struct FileClose {
    void operator()(FILE *file) const { fclose(file); }
};

}  // namespace

std::atomic<int> init_done{0};
std::atomic<int> init_pending{0};

int dm_server_port = 4444;
int sock_timeout = 1;
int dm_server_timeout = 15;
int trace_packet = 0;
int debug_packet = 0;
int send_lat_group = 0;
char qz_ei_attribute_name[80] = "";
char qz_ei_attribute_type[80] = "";

int readProperties(void)
{
    if (init_pending.load() == 1 || init_done.load() == 1)
        return 1;
    init_pending = 1;

    enable_debug = 1;
    qz_copy(trace_file_name, sizeof trace_file_name, kDefaultTraceFile);

    const char *path = properties_path();
    std::unique_ptr<FILE, FileClose> file(fopen(path, "r"));
    if (!file)
        printf("error opening %s", path);
    printf("loading DMConfig props from %s\n", path);

    if (file) {
        char line[kLineBuffer];
        while (fgets(line, sizeof line, file.get()) != nullptr) {
            printf("read config data  %s\n", line);
            apply_line(line);
        }
    }
    fflush(stdout);

    init_pending = 0;
    return 0;
}

char *ovx_get_param(char *text, char *param_name, char *param_value)
{
    if (text == nullptr || param_name == nullptr)
        return nullptr;
    const char *equals = strchr(param_name, '=');
    if (equals == nullptr)
        return nullptr;
    const std::string_view query(param_name, static_cast<size_t>(equals - param_name) + 1);

    const std::string_view all(text);
    size_t line_start = 0;
    while (line_start < all.size()) {
        size_t line_end = all.find('\n', line_start);
        if (line_end == std::string_view::npos)
            line_end = all.size();
        const std::string_view line = all.substr(line_start, line_end - line_start);

        size_t at = line.empty() || line[0] == '#' ? std::string_view::npos : line.find(query);
        if (at != std::string_view::npos) {
            size_t value_start = line_start + at + query.size();
            size_t value_end = value_start;
            while (value_end < all.size() && value_end - value_start < kMaxValue &&
                   all[value_end] != '\t' && all[value_end] != '\r' && all[value_end] != '\n')
                ++value_end;
            if (param_value != nullptr) {
                memcpy(param_value, text + value_start, value_end - value_start);
                param_value[value_end - value_start] = '\0';
            }
            // Past the character that ended the value; the text's NUL when
            // the value ran to the end.
            bool ended_by_separator = value_end < all.size() &&
                                      (all[value_end] == '\t' || all[value_end] == '\r' ||
                                       all[value_end] == '\n');
            return text + value_end + (ended_by_separator ? 1 : 0);
        }
        line_start = line_end + 1;
    }
    return nullptr;
}

void *ovxAlloc(int bytes)
{
    void *block = bytes >= 0 ? malloc(static_cast<size_t>(bytes)) : nullptr;
    if (block == nullptr)
        fprintf(stderr, "ovXalloc(%d) cannot return an allocation\n", bytes);
    return block;
}

void ovxFree(void *pmem)
{
    free(pmem);
}
