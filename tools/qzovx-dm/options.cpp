#include "options.h"

#include <string_view>

namespace qzdm {

const char kUsage[] =
    "usage: qzovx-dm --policy FILE [--port N] [--listen ADDR] [--json-log FILE] [--quiet]\n"
    "                [--no-req-id] [--answer-twice N] [--answer-delay MS]\n"
    "       qzovx-dm --policy FILE --check\n"
    "\n"
    "A stand-in decision manager: accepts the agent's messages, logs each one,\n"
    "and answers every authorization request from the policy file.\n"
    "\n"
    "  --policy FILE    rules to answer from (required)\n"
    "  --port N         TCP port to listen on (default 4444; 0 picks a free one)\n"
    "  --listen ADDR    address to listen on (default 127.0.0.1)\n"
    "  --json-log FILE  also write one JSON object per message to FILE\n"
    "  --quiet          do not log messages on standard output\n"
    "  --no-req-id      do not start answers with the request's REQ_ID (an older DM)\n"
    "  --answer-twice N send the answer to the Nth authorization request twice,\n"
    "                   the copy 5 ms later or just before the next answer,\n"
    "                   whichever comes first (fault injection for tests)\n"
    "  --answer-delay MS  send every answer MS milliseconds after its request\n"
    "                   (0 to 60000; a slow DM, for tests)\n"
    "  --check          validate the policy, exit 0 when good, 1 when not\n"
    "  --help           show this text\n";

namespace {

constexpr int kMaxAnswerDelayMs = 60000;

bool parse_port(std::string_view text, int *port)
{
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535)
        return false;
    *port = value;
    return true;
}

}  // namespace

bool parse_options(int argc, const char *const *argv, Options *out, std::string *error)
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        std::string_view name = arg;
        std::string_view value;
        bool inline_value = false;
        size_t eq = arg.find('=');
        if (arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inline_value = true;
        }
        auto flag = [&](bool *target) {
            if (inline_value) {
                *error = std::string(name) + " takes no value";
                return false;
            }
            *target = true;
            return true;
        };
        auto take = [&](std::string *target) {
            if (!inline_value) {
                if (i + 1 >= argc) {
                    *error = std::string(name) + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (value.empty()) {
                *error = std::string(name) + " needs a non-empty value";
                return false;
            }
            *target = std::string(value);
            return true;
        };
        bool ok;
        if (name == "--help" || name == "-h") {
            ok = flag(&options.help);
        } else if (name == "--quiet") {
            ok = flag(&options.quiet);
        } else if (name == "--no-req-id") {
            bool off = false;
            ok = flag(&off);
            options.echo_req_id = !off;
        } else if (name == "--answer-twice") {
            std::string text;
            ok = take(&text);
            int n = 0;
            if (ok && (!parse_port(text, &n) || n == 0)) {
                *error = "bad request number '" + text + "' (1 to 65535)";
                ok = false;
            }
            options.answer_twice = n;
        } else if (name == "--answer-delay") {
            std::string text;
            ok = take(&text);
            int ms = 0;
            if (ok && (!parse_port(text, &ms) || ms > kMaxAnswerDelayMs)) {
                *error = "bad delay '" + text + "' (0 to 60000 milliseconds)";
                ok = false;
            }
            options.answer_delay_ms = ms;
        } else if (name == "--check") {
            ok = flag(&options.check);
        } else if (name == "--policy") {
            ok = take(&options.policy_path);
        } else if (name == "--listen") {
            ok = take(&options.listen_address);
        } else if (name == "--json-log") {
            ok = take(&options.json_log_path);
        } else if (name == "--port") {
            std::string text;
            ok = take(&text);
            if (ok && !parse_port(text, &options.port)) {
                *error = "bad port '" + text + "' (0 to 65535)";
                ok = false;
            }
        } else {
            *error = "unknown option '" + std::string(arg) + "'";
            ok = false;
        }
        if (!ok)
            return false;
    }
    if (!options.help && options.policy_path.empty()) {
        *error = "--policy FILE is required";
        return false;
    }
    *out = std::move(options);
    return true;
}

}  // namespace qzdm
