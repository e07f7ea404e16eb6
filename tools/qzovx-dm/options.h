// The command line of qzovx-dm.
#pragma once

#include <string>

namespace qzdm {

struct Options {
    std::string policy_path;
    int port = 4444;  // 0 asks the system for a free port
    std::string listen_address = "127.0.0.1";
    std::string json_log_path;  // empty: no JSON log
    bool quiet = false;         // no per-message lines on stdout
    bool echo_req_id = true;    // start every answer with the request's REQ_ID
    long answer_twice = 0;      // answer this authorization request (1 = first) twice; 0: none
    int answer_delay_ms = 0;    // every answer waits this long before it is sent
    bool check = false;         // validate the policy and exit
    bool help = false;
};

extern const char kUsage[];

// Accepts "--name value" and "--name=value". On failure returns false and
// sets *error to a one-line reason.
bool parse_options(int argc, const char *const *argv, Options *out, std::string *error);

}  // namespace qzdm
