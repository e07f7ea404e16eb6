// The stand-in DM's policy parser. A policy it accepts must give answers the
// agent reads back unchanged: every accepted rule's answer line is sent
// through a socket pair to the library's ovx_verify and the record compared
// with the rule's answers.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "Authif.h"
#include "answer.h"
#include "fuzz_check.h"
#include "message.h"
#include "policy.h"

namespace {

constexpr std::string_view kFileName = "fuzz.policy";

constexpr std::string_view kRequests[] = {
    "EVENT=Request\tUSER=alice\tCLIENT_MAC=00:0f:1f:aa:bb:cc\tNAS_IP=10.0.0.1\tPORT=3\t"
    "NAS_MAC=00-11-22-33-44-55\tHI_STATE=ok\tHI_STATE=second\tREQ_ID=7\t",
    "EVENT=Request\tUSER=\t",
    "EVENT=Request",
};

struct Stored {
    std::string_view key;
    size_t offset;
    size_t width;  // 0 for numbers
};
#define QZ_TEXT(k, f) {k, offsetof(OVX_USER_ACCESS, f), sizeof(OVX_USER_ACCESS::f)}
#define QZ_NUMBER(k, f) {k, offsetof(OVX_USER_ACCESS, f), 0}
constexpr Stored kStored[] = {
    QZ_TEXT("VLAN_ID", vlan),           QZ_TEXT("APG", apg),
    QZ_TEXT("PROFILE", profile),        QZ_TEXT("LOCATION", ovx_location),
    QZ_TEXT("HI_STATE", clientstate),   QZ_TEXT("ACL", acl),
    QZ_TEXT("GLOBAL_RULE", GLOBAL_RULE), QZ_TEXT("RULE_NO", RULE_NO),
    QZ_TEXT("VLAN_INCAP", VLAN_INCAP),  QZ_TEXT("QOS_INCAP", QOS_INCAP),
    QZ_TEXT("BW_MAX_INCAP", BW_MAX_INCAP), QZ_TEXT("ACL_INCAP", ACL_INCAP),
    QZ_TEXT("DEFAULT_CAP", DEFAULT_CAP),
    QZ_NUMBER("QOS", qos),              QZ_NUMBER("BW_MAX_IN", bw),
    QZ_NUMBER("BW_MAX_OUT", egress),    QZ_NUMBER("TIME", time),
    QZ_NUMBER("SOURCE", src),           QZ_NUMBER("RETURN_CODE", return_code),
};
#undef QZ_TEXT
#undef QZ_NUMBER

const Stored *stored_for(std::string_view key)
{
    for (const Stored &s : kStored)
        if (s.key == key)
            return &s;
    return nullptr;
}

void read_back(const std::string &line, OVX_USER_ACCESS *record)
{
    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    FUZZ_CHECK(write(ends[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()));
    close(ends[1]);
    memset(record, 0, sizeof *record);
    DM_SERVER_INFO entry = {"default", "localhost", ends[0]};
    FUZZ_CHECK(ovx_verify(&entry, record) == 0);
    if (entry.dm_sock != -1)
        close(entry.dm_sock);
}

// What the agent keeps of each answer is what the rule says, cut to the field.
void check_round_trip(const qzdm::Rule &rule, OVX_USER_ACCESS *record)
{
    const std::string line = qzdm::format_answer(rule.answers);
    FUZZ_CHECK(line.size() <= qzdm::kMaxAnswerBytes);
    read_back(line, record);

    bool access = false;
    const char *bytes = reinterpret_cast<const char *>(record);
    for (const qzdm::Field &answer : rule.answers) {
        if (answer.key == "ACCESS") {
            access = answer.value == "true";
            continue;
        }
        const Stored *stored = stored_for(answer.key);
        FUZZ_CHECK(stored != nullptr);  // every answer key the DM accepts is read
        if (stored->width == 0) {
            int32_t number;
            memcpy(&number, bytes + stored->offset, sizeof number);
            FUZZ_CHECK(number == static_cast<int32_t>(strtoll(answer.value.c_str(), nullptr, 10)));
        } else {
            std::string_view kept(bytes + stored->offset, strnlen(bytes + stored->offset, stored->width));
            FUZZ_CHECK(kept.size() < stored->width);
            FUZZ_CHECK(kept == std::string_view(answer.value).substr(0, stored->width - 1));
        }
    }
    FUZZ_CHECK(record->allowed == (access ? 1 : 0));
}

void check_accepted(const qzdm::Policy &policy, OVX_USER_ACCESS *record)
{
    for (size_t i = 0; i < policy.rules.size(); i++) {
        const qzdm::Rule &rule = policy.rules[i];
        FUZZ_CHECK(!rule.answers.empty());
        for (size_t j = 0; j < i; j++)
            FUZZ_CHECK(policy.rules[j].name != rule.name);
        for (const qzdm::Field &m : rule.matches)
            FUZZ_CHECK(qzdm::is_match_key(m.key) && !m.value.empty());
        check_round_trip(rule, record);
    }
    if (policy.fallback) {
        FUZZ_CHECK(policy.fallback->matches.empty());
        check_round_trip(*policy.fallback, record);
    }
    for (std::string_view text : kRequests) {
        qzdm::Decision decision = qzdm::decide(policy, qzdm::parse_message(text));
        FUZZ_CHECK(!decision.line.empty() && decision.line.back() == '\n');
        FUZZ_CHECK(decision.line.size() <= qzdm::kMaxAnswerBytes);
        if (decision.rule == nullptr)
            FUZZ_CHECK(decision.line == qzdm::kRefusalAnswer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = fuzz_quiet_stdout();
    static OVX_USER_ACCESS *record = new OVX_USER_ACCESS;
    (void)quiet;

    std::string_view text(reinterpret_cast<const char *>(data), size);
    qzdm::Policy policy;
    std::string error;
    if (qzdm::parse_policy(text, kFileName, &policy, &error)) {
        FUZZ_CHECK(error.empty());
        check_accepted(policy, record);
        return 0;
    }
    // "FILE:LINE: reason", the line counted from 1.
    FUZZ_CHECK(error.compare(0, kFileName.size() + 1, std::string(kFileName) + ":") == 0);
    size_t digits = kFileName.size() + 1;
    while (digits < error.size() && error[digits] >= '0' && error[digits] <= '9')
        digits++;
    FUZZ_CHECK(digits > kFileName.size() + 1 && error[kFileName.size() + 1] != '0');
    FUZZ_CHECK(error.compare(digits, 2, ": ") == 0);
    FUZZ_CHECK(policy.rules.empty() && !policy.fallback);  // nothing half-parsed is handed out
    return 0;
}
