#include "dm_message.h"

#include <stdio.h>

#include "dm_value.h"

void DmMessage::text_field(std::string_view key, const char *value)
{
    DmValue clean = dm_value(value);
    text_.append(key);
    text_.push_back('=');
    text_.append(clean.text);
    text_.push_back('\t');
}

void DmMessage::number_field(std::string_view key, int number)
{
    char digits[16];
    int length = snprintf(digits, sizeof digits, "%d", number);
    text_.append(key);
    text_.push_back('=');
    text_.append(digits, static_cast<size_t>(length > 0 ? length : 0));
    text_.push_back('\t');
}

std::string server_info_event(const char *server, const char *api)
{
    std::string text = "EVENT=SERVERINFO";
    text += "SERVER=";
    text += server != nullptr ? server : "";
    text += "OVXAPI=";
    text += api != nullptr ? api : "";
    text += '\n';
    return text;
}
