#include "log_format.h"

#include <cstdio>

namespace qzdm {
namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string milliseconds(const timespec &when)
{
    // tv_nsec is below one second for any time the clock hands out.
    unsigned int ms = static_cast<unsigned int>(when.tv_nsec / 1000000) % 1000;
    char text[] = {'.', static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                   static_cast<char>('0' + ms % 10), '\0'};
    return text;
}

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
size_t utf8_sequence(std::string_view text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t len;
    unsigned int min;
    if (lead >= 0xc2 && lead <= 0xdf) {
        len = 2;
        min = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        len = 3;
        min = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size())
        return 0;
    unsigned int code = lead & (0x3f >> (len - 1));
    for (size_t k = 1; k < len; k++) {
        if ((byte(i + k) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return len;
}

}  // namespace

std::string clock_text(const timespec &when)
{
    struct tm parts;
    time_t seconds = when.tv_sec;
    localtime_r(&seconds, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    return text + milliseconds(when);
}

std::string iso_time_text(const timespec &when)
{
    struct tm parts;
    time_t seconds = when.tv_sec;
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    return text + milliseconds(when) + "Z";
}

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f || c == '\\') {
            out += '\\';
            if (c == '\\') {
                out += '\\';
                continue;
            }
            out += 'x';
            out += kHex[b >> 4];
            out += kHex[b & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

std::string message_text(const Message &message)
{
    if (message.kind == MessageKind::NotAMessage)
        return "not a message: " + printable(message.fields.front().value);
    if (message.kind == MessageKind::ServerInfo) {
        std::string_view whole = message.fields.front().value;
        return "SERVERINFO " + printable(whole.substr(message.event.size()));
    }
    std::string text = printable(message.event);
    for (size_t i = 1; i < message.fields.size(); i++) {
        text += ' ';
        text += printable(message.fields[i].key);
        text += '=';
        text += printable(message.fields[i].value);
    }
    return text;
}

std::string decision_text(const Decision &decision)
{
    std::string text = "->";
    for (const Field &f : decision.fields) {
        text += ' ';
        text += printable(f.key);
        text += '=';
        text += printable(f.value);
    }
    if (decision.rule == nullptr)
        text += " (no rule matched, no default)";
    else if (decision.from_default)
        text += " (default)";
    else
        text += " (rule " + decision.rule->name + ")";
    return text;
}

std::string json_string(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        switch (b) {
        case '"': out += "\\\""; i++; continue;
        case '\\': out += "\\\\"; i++; continue;
        case '\n': out += "\\n"; i++; continue;
        case '\r': out += "\\r"; i++; continue;
        case '\t': out += "\\t"; i++; continue;
        case '\b': out += "\\b"; i++; continue;
        case '\f': out += "\\f"; i++; continue;
        default: break;
        }
        if (b >= 0x20 && b < 0x7f) {
            out += static_cast<char>(b);
            i++;
            continue;
        }
        size_t len = b >= 0x80 ? utf8_sequence(text, i) : 0;
        if (len > 0) {
            out.append(text.substr(i, len));
            i += len;
            continue;
        }
        out += "\\u00";
        out += kHex[b >> 4];
        out += kHex[b & 0xf];
        i++;
    }
    out += '"';
    return out;
}

std::string json_fields(const Fields &fields)
{
    std::string out = "{";
    std::vector<bool> done(fields.size(), false);
    for (size_t i = 0; i < fields.size(); i++) {
        if (done[i])
            continue;
        std::vector<size_t> same;
        for (size_t k = i; k < fields.size(); k++)
            if (fields[k].key == fields[i].key) {
                same.push_back(k);
                done[k] = true;
            }
        if (out.size() > 1)
            out += ',';
        out += json_string(fields[i].key);
        out += ':';
        if (same.size() == 1) {
            out += json_string(fields[i].value);
            continue;
        }
        out += '[';
        for (size_t n = 0; n < same.size(); n++) {
            if (n > 0)
                out += ',';
            out += json_string(fields[same[n]].value);
        }
        out += ']';
    }
    out += '}';
    return out;
}

std::string json_log_line(const timespec &when, unsigned long conn, const Message &message,
                          const Decision *decision)
{
    std::string out = "{\"time\":" + json_string(iso_time_text(when)) +
                      ",\"conn\":" + std::to_string(conn) + ",\"event\":";
    if (message.kind == MessageKind::NotAMessage) {
        out += "null,\"line\":" + json_string(message.fields.front().value) + "}\n";
        return out;
    }
    out += json_string(message.event);
    out += ",\"fields\":" + json_fields(message.fields);
    if (decision != nullptr) {
        out += ",\"answer\":{\"rule\":";
        out += decision->rule != nullptr ? json_string(decision->rule->name) : "null";
        out += ",\"fields\":" + json_fields(decision->fields);
        out += ",\"line\":" + json_string(decision->line) + "}";
    }
    out += "}\n";
    return out;
}

}  // namespace qzdm
