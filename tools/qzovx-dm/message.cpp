#include "message.h"

namespace qzdm {
namespace {

constexpr std::string_view kEventPrefix = "EVENT=";
constexpr std::string_view kServerInfo = "SERVERINFO";

MessageKind classify(std::string_view event)
{
    if (event.substr(0, kServerInfo.size()) == kServerInfo)
        return MessageKind::ServerInfo;
    if (event == "Startup")
        return MessageKind::Startup;
    if (event == "Shutdown")
        return MessageKind::Shutdown;
    if (event == "Authorization")
        return MessageKind::AuthorizationReport;
    if (event == "AccountingRequest")
        return MessageKind::AccountingRequest;
    return MessageKind::AuthorizationRequest;
}

Field split_field(std::string_view piece)
{
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos)
        return Field{std::string(piece), std::string()};
    return Field{std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1))};
}

}  // namespace

Message parse_message(std::string_view line)
{
    Message message;
    if (line.substr(0, kEventPrefix.size()) != kEventPrefix) {
        message.fields.push_back(Field{std::string(), std::string(line)});
        return message;
    }
    std::string_view rest = line.substr(kEventPrefix.size());
    if (rest.substr(0, kServerInfo.size()) == kServerInfo) {
        // Its pieces follow each other without separators: keep them whole.
        message.kind = MessageKind::ServerInfo;
        message.event = std::string(kServerInfo);
        message.fields.push_back(Field{"EVENT", std::string(rest)});
        return message;
    }
    while (!line.empty()) {
        size_t tab = line.find('\t');
        std::string_view piece = line.substr(0, tab);
        line.remove_prefix(tab == std::string_view::npos ? line.size() : tab + 1);
        if (!piece.empty())
            message.fields.push_back(split_field(piece));
    }
    message.event = message.fields.front().value;
    message.kind = classify(message.event);
    return message;
}

std::vector<std::string_view> field_values(const Message &message, std::string_view key)
{
    std::vector<std::string_view> values;
    for (const Field &f : message.fields)
        if (f.key == key)
            values.push_back(f.value);
    return values;
}

}  // namespace qzdm
