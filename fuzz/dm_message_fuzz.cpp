// The stand-in DM's side of a connection: received bytes reassembled into
// lines, each line parsed as an agent message and decided on. However the
// bytes are cut into reads, the same lines must come out.
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "answer.h"
#include "fuzz_check.h"
#include "line_buffer.h"
#include "message.h"
#include "policy.h"

namespace {

constexpr std::string_view kPolicy =
    "default\n"
    "  answer ACCESS=false\n"
    "rule mac\n"
    "  match CLIENT_MAC=00-0f-*-*\n"
    "  match HI_STATE=*o*k*\n"
    "  answer ACCESS=true\n"
    "  answer ACL=staff|permit ip|deny ip\n"
    "rule user\n"
    "  match USER=a*b*c*d*e*\n"
    "  match NAS_IP=10.*\n"
    "  answer ACCESS=true\n"
    "  answer VLAN_ID=20\n";

const qzdm::Policy &fuzz_policy()
{
    static const qzdm::Policy *policy = [] {
        auto *p = new qzdm::Policy;
        std::string error;
        FUZZ_CHECK(qzdm::parse_policy(kPolicy, "builtin", p, &error));
        return p;
    }();
    return *policy;
}

bool same_events(const std::vector<qzdm::LineEvent> &a, const std::vector<qzdm::LineEvent> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].kind != b[i].kind || a[i].text != b[i].text)
            return false;
    return true;
}

void check_message(std::string_view line)
{
    qzdm::Message message = qzdm::parse_message(line);
    const bool is_event = line.substr(0, 6) == "EVENT=";
    FUZZ_CHECK((message.kind == qzdm::MessageKind::NotAMessage) == !is_event);
    FUZZ_CHECK(!message.fields.empty());
    if (is_event) {
        FUZZ_CHECK(message.fields.front().key == "EVENT");
        // Fields are split at TABs; only SERVERINFO keeps its text whole.
        if (message.kind != qzdm::MessageKind::ServerInfo)
            for (const qzdm::Field &f : message.fields)
                FUZZ_CHECK(f.key.find('\t') == std::string::npos &&
                           f.value.find('\t') == std::string::npos);
    }
    qzdm::Decision decision = qzdm::decide(fuzz_policy(), message);
    FUZZ_CHECK(decision.rule != nullptr);  // the policy has a default
    FUZZ_CHECK(!decision.line.empty() && decision.line.back() == '\n');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: a short line limit (or the real one), second: how reads are cut.
    const size_t max_line = data[0] < 200 ? 1 + data[0] % 64 : qzdm::kMaxLineBytes;
    uint32_t cut_state = data[1] * 2654435761u + 1;
    const std::string_view bytes(reinterpret_cast<const char *>(data + 2), size - 2);

    qzdm::LineBuffer whole;
    whole.max_line = max_line;
    std::vector<qzdm::LineEvent> at_once;
    qzdm::feed_lines(&whole, bytes, &at_once);

    qzdm::LineBuffer pieces;
    pieces.max_line = max_line;
    std::vector<qzdm::LineEvent> in_pieces;
    for (size_t at = 0; at < bytes.size();) {
        cut_state = cut_state * 1103515245u + 12345u;
        size_t n = 1 + (cut_state >> 16) % 97;
        qzdm::feed_lines(&pieces, bytes.substr(at, n), &in_pieces);
        at += n;
    }
    FUZZ_CHECK(same_events(at_once, in_pieces));
    FUZZ_CHECK(whole.pending == pieces.pending && whole.discarding == pieces.discarding);
    FUZZ_CHECK(whole.pending.size() <= max_line);

    for (const qzdm::LineEvent &event : at_once) {
        FUZZ_CHECK(event.text.find('\n') == std::string::npos);
        FUZZ_CHECK(event.text.size() <= max_line);
        if (event.kind == qzdm::LineEvent::TooLong)
            FUZZ_CHECK(event.text.empty());
        else
            check_message(event.text);
    }
    return 0;
}
