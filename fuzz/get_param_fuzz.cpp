// ovx_get_param, the key=value extractor used on the properties file and on
// DM answers: a key from a small set (first input byte) and arbitrary text.
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "Authif.h"
#include "fuzz_check.h"

namespace {

constexpr const char *kKeys[] = {
    "dm_port=", "dm_socket_timeout=", "ovx_rif_trace_file=", "qz_ei_attributename=",
    "ACCESS=",  "ACL=",               "VLAN_ID=",            "HI_STATE=",
    "=",        "a=",                 "dm_port=ignored",     "dm_port",
    "",
};
// The documented size of the destination: the longest value and its NUL.
constexpr size_t kValueBuffer = 3073;
constexpr char kUntouched = 'Z';

bool is_value_end(char c)
{
    return c == '\t' || c == '\r' || c == '\n';
}

// Per byte of `text`: whether it lies on a comment line ('#' first).
std::vector<bool> comment_lines(std::string_view text)
{
    std::vector<bool> comment(text.size());
    bool in_comment = false;
    for (size_t i = 0; i < text.size(); i++) {
        if (i == 0 || text[i - 1] == '\n')
            in_comment = text[i] == '#';
        comment[i] = in_comment;
    }
    return comment;
}

// Whether `text` holds query + value ending at `end`, at a place where the
// lookup may find it: not on a comment line, and with no earlier occurrence
// of the query outside comment lines.
bool found_at(std::string_view text, const std::vector<bool> &comment, std::string_view query,
              std::string_view value, size_t end)
{
    if (end < query.size() + value.size() || end > text.size())
        return false;
    size_t at = end - value.size() - query.size();
    if (text.substr(at, query.size()) != query || text.substr(at + query.size(), value.size()) != value)
        return false;
    for (size_t p = text.find(query); p != std::string_view::npos && p <= at; p = text.find(query, p + 1)) {
        if (p == at)
            return !comment[p];
        if (!comment[p])
            return false;  // an earlier occurrence should have won
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const char *key = kKeys[data[0] % std::size(kKeys)];
    std::vector<char> raw(data + 1, data + size);
    raw.push_back('\0');
    const std::vector<char> before = raw;
    const std::string_view text(raw.data());  // the function sees up to the first NUL

    std::string name(key);
    std::vector<char> value(kValueBuffer, kUntouched);
    char *result = ovx_get_param(raw.data(), name.data(), value.data());

    FUZZ_CHECK(raw == before);
    FUZZ_CHECK(name == key);
    const std::string_view key_view(key);
    const size_t equals = key_view.find('=');
    if (result == nullptr) {
        for (char c : value)
            FUZZ_CHECK(c == kUntouched);
        if (equals != std::string_view::npos) {
            // Not found means: no line outside the comments holds the query.
            const std::string_view query = key_view.substr(0, equals + 1);
            const std::vector<bool> comment = comment_lines(text);
            for (size_t p = text.find(query); p != std::string_view::npos; p = text.find(query, p + 1))
                FUZZ_CHECK(comment[p]);
        }
        return 0;
    }

    FUZZ_CHECK(equals != std::string_view::npos);
    FUZZ_CHECK(result >= raw.data() && result <= raw.data() + text.size());
    FUZZ_CHECK(fuzz_terminated(value.data(), value.size()));
    const std::string_view found(value.data());
    FUZZ_CHECK(found.size() <= kValueBuffer - 1);
    for (char c : found)
        FUZZ_CHECK(!is_value_end(c));

    // The result points just past the character that ended the value, or at
    // the end (or the length limit) where nothing ended it.
    const std::string_view query = key_view.substr(0, equals + 1);
    const size_t after = static_cast<size_t>(result - raw.data());
    const std::vector<bool> comment = comment_lines(text);
    bool placed = found_at(text, comment, query, found, after) ||
                  (after > 0 && is_value_end(text[after - 1]) &&
                   found_at(text, comment, query, found, after - 1));
    FUZZ_CHECK(placed);
    return 0;
}
