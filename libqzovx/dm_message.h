/* Messages to the DM, built whole in memory before they are sent: KEY=VALUE
 * fields each followed by a TAB, the message ended by a line feed. Plain text
 * work with no socket in it; dm_sock delivers the finished text in one piece.
 * Library-internal. */
#ifndef QZOVX_DM_MESSAGE_H
#define QZOVX_DM_MESSAGE_H

#include <string>
#include <string_view>

class DmMessage {
public:
    /* Appends text as it is (event names, separators, the line end). */
    void raw(std::string_view text) { text_.append(text); }
    /* Appends "KEY=value\t"; TAB, CR and LF in the value become blanks so a
     * value can never start a field or a message of its own. */
    void text_field(std::string_view key, const char *value);
    /* Appends "KEY=number\t" in signed decimal. */
    void number_field(std::string_view key, int number);

    const std::string &text() const { return text_; }
    const char *data() const { return text_.c_str(); }
    int length() const { return static_cast<int>(text_.size()); }

private:
    std::string text_;
};

/* The fixed events. */
constexpr std::string_view kStartupEvent = "EVENT=Startup\t\n";
constexpr std::string_view kShutdownEvent = "EVENT=Shutdown\t\n";

/* The SERVERINFO event: its three pieces run together without TABs. */
std::string server_info_event(const char *server, const char *api);

#endif
