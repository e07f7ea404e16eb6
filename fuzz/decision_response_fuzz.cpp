// The DM's decision response as the library reads it: the input is written
// into one end of a connected socket pair and ovx_verify reads it from the
// other end into a zero-filled record, as during an authorization. Inputs
// whose first byte is odd are read for a request with the id "R1", so that
// answer binding (lines naming other requests dropped) is exercised too.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>

#include "Authif.h"
#include "fuzz_check.h"

namespace {

// More than the library reads (3071 bytes), so the cut is exercised too.
constexpr size_t kMaxWritten = 8192;
constexpr size_t kAnswerRead = 3071;

#define QZ_TEXT_FIELD(name) {offsetof(OVX_USER_ACCESS, name), sizeof(OVX_USER_ACCESS::name)}
struct TextField {
    size_t offset;
    size_t width;
};
constexpr TextField kTextFields[] = {
    QZ_TEXT_FIELD(req_id),      QZ_TEXT_FIELD(user_name),    QZ_TEXT_FIELD(sw_ip),
    QZ_TEXT_FIELD(sw_mac),      QZ_TEXT_FIELD(client_id),    QZ_TEXT_FIELD(location),
    QZ_TEXT_FIELD(ovx_location), QZ_TEXT_FIELD(vlan),        QZ_TEXT_FIELD(apg),
    QZ_TEXT_FIELD(profile),     QZ_TEXT_FIELD(acl),          QZ_TEXT_FIELD(VLAN_INCAP),
    QZ_TEXT_FIELD(QOS_INCAP),   QZ_TEXT_FIELD(BW_MAX_INCAP), QZ_TEXT_FIELD(ACL_INCAP),
    QZ_TEXT_FIELD(DEFAULT_CAP), QZ_TEXT_FIELD(GLOBAL_RULE),  QZ_TEXT_FIELD(RULE_NO),
    QZ_TEXT_FIELD(clientstate),
};
#undef QZ_TEXT_FIELD

bool write_all(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// "ACCESS=true" where a field starts: at the start of a line or after a TAB.
bool has_field_start_access_true(std::string_view text)
{
    constexpr std::string_view kAccessTrue = "ACCESS=true";
    for (size_t at = text.find(kAccessTrue); at != std::string_view::npos;
         at = text.find(kAccessTrue, at + 1)) {
        if (at == 0 || text[at - 1] == '\t' || text[at - 1] == '\n')
            return true;
    }
    return false;
}

void check_record(const OVX_USER_ACCESS &record, std::string_view seen)
{
    const char *bytes = reinterpret_cast<const char *>(&record);
    for (const TextField &f : kTextFields)
        FUZZ_CHECK(fuzz_terminated(bytes + f.offset, f.width));
    FUZZ_CHECK(record.aceCt >= 0 && record.aceCt <= OVX_MAX_ACES);
    for (int i = 0; i < record.aceCt; i++)
        FUZZ_CHECK(fuzz_terminated(record.aces[i], sizeof record.aces[i]));
    // The request's own fields are never touched by the answer.
    FUZZ_CHECK(record.user_name[0] == '\0' &&
               record.sw_ip[0] == '\0' && record.sw_mac[0] == '\0' &&
               record.client_id[0] == '\0' && record.location[0] == '\0');
    FUZZ_CHECK(record.sw_port == 0 && record.sw_port_type == 0);
    FUZZ_CHECK(record.allowed == 0 || record.allowed == 1);
    if (record.allowed == 1)
        FUZZ_CHECK(has_field_start_access_true(seen));
    // Entries come only from an ACL value, and each is introduced by a bar.
    if (seen.find('|') == std::string_view::npos)
        FUZZ_CHECK(record.aceCt == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = fuzz_quiet_stdout();
    // 265 KB: kept off the stack and reused, cleared per input as the module does.
    static OVX_USER_ACCESS *record = new OVX_USER_ACCESS;
    (void)quiet;

    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    size_t written = size < kMaxWritten ? size : kMaxWritten;
    FUZZ_CHECK(write_all(ends[1], data, written));
    close(ends[1]);

    memset(record, 0, sizeof *record);
    const bool bound = size > 0 && (data[0] & 1) != 0;
    if (bound)
        memcpy(record->req_id, "R1", 3);
    DM_SERVER_INFO entry = {"default", "localhost", ends[0]};
    int rc = ovx_verify(&entry, record);
    if (entry.dm_sock != -1)
        close(entry.dm_sock);

    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK(strcmp(record->req_id, bound ? "R1" : "") == 0);
    // An answer is only taken from complete lines: no line feed, no answer,
    // and a failed read leaves the record as it was.
    if (rc == 0)
        FUZZ_CHECK(memchr(data, '\n', written) != nullptr);
    if (rc == -1)
        FUZZ_CHECK(record->allowed == 0 && record->aceCt == 0 && record->vlan[0] == '\0');
    // The most the library can have seen: its buffer's worth, up to a NUL.
    std::string_view all(reinterpret_cast<const char *>(data), written < kAnswerRead ? written : kAnswerRead);
    check_record(*record, all.substr(0, all.find('\0')));
    return 0;
}
