// parseACEs on arbitrary text: "name|entry|entry..." split into the record's
// 128 entry slots of 2048 bytes.
#include <stdint.h>

#include <string_view>
#include <vector>

#include "Authif.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = fuzz_quiet_stdout();
    static OVX_USER_ACCESS *record = new OVX_USER_ACCESS;
    (void)quiet;

    std::vector<char> raw(data, data + size);
    raw.push_back('\0');
    const std::vector<char> before = raw;
    const std::string_view text(raw.data());

    memset(record, 0, sizeof *record);
    int count = parseACEs(raw.data(), record);

    FUZZ_CHECK(raw == before);  // the caller's text is only read
    FUZZ_CHECK(count == record->aceCt);
    FUZZ_CHECK(count >= 0 && count <= OVX_MAX_ACES);
    FUZZ_CHECK(fuzz_terminated(record->acl, sizeof record->acl));
    // The list itself is kept, cut to the field.
    FUZZ_CHECK(std::string_view(record->acl) == text.substr(0, sizeof record->acl - 1));

    // Entries come from the first bar up to the next line feed, and each is
    // introduced by a bar.
    const size_t first_bar = text.find('|');
    std::string_view listed;
    if (first_bar != std::string_view::npos) {
        listed = text.substr(first_bar);
        listed = listed.substr(0, listed.find('\n'));
    }
    size_t bars = 0;
    for (char c : listed)
        bars += c == '|';
    FUZZ_CHECK(static_cast<size_t>(count) <= bars);
    for (int i = 0; i < count; i++) {
        FUZZ_CHECK(fuzz_terminated(record->aces[i], sizeof record->aces[i]));
        std::string_view entry(record->aces[i]);
        FUZZ_CHECK(entry.find('|') == std::string_view::npos);
        FUZZ_CHECK(entry.find('\n') == std::string_view::npos);
        FUZZ_CHECK(listed.find(entry) != std::string_view::npos);
    }
    // Writing the table never spills into the fields after it.
    FUZZ_CHECK(record->VLAN_INCAP[0] == '\0' && record->clientstate[0] == '\0');

    parseACEs(nullptr, record);  // no list at all
    FUZZ_CHECK(record->aceCt == 0);
    return 0;
}
