// One line the agent sent, split into its KEY=VALUE fields.
#pragma once

#include <string>
#include <string_view>

#include "fields.h"

namespace qzdm {

enum class MessageKind {
    NotAMessage,           // a line that does not begin with "EVENT="
    Startup,
    Shutdown,
    ServerInfo,
    AuthorizationReport,   // EVENT=Authorization
    AccountingRequest,
    AuthorizationRequest,  // any other event; the DM answers these
};

struct Message {
    MessageKind kind = MessageKind::NotAMessage;
    std::string event;  // "Request", "SERVERINFO", ...; empty for NotAMessage
    Fields fields;      // every field as received, EVENT first
};

// Parses one line (without its line feed). Fields are TAB-terminated; a
// SERVERINFO line has no TABs and is kept as one EVENT field.
Message parse_message(std::string_view line);

// The values of every field named key, in order (HI_STATE may appear twice).
std::vector<std::string_view> field_values(const Message &message, std::string_view key);

}  // namespace qzdm
