// An in-memory stand-in for the server behind server.h: one request with
// request and reply attribute lists, a small dictionary, recorded log lines
// and a settable debug level.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server.h"

struct qz_pair {
    unsigned vendor = 0;
    unsigned attribute = 0;
    std::string text;       // the value as the server holds it
    uint32_t integer = 0;   // the integer value
    srv_op op = SRV_OP_DEFAULT;
    std::string name;       // dictionary name (reply attributes)
};

struct qz_request {
    int code = 1;           // request packet code; 0 = no packet
    int id = 0;             // RADIUS identifier
    bool has_reply = true;
    int reply_code = 2;
    bool has_username = false;
    // The server's User-Name record when it differs from the User-Name
    // attribute (e.g. a stripped name); by default the attribute is the record.
    std::optional<qz_pair> username_record;
    bool proxying = false;
    std::vector<qz_pair> request_vps;
    std::vector<qz_pair> reply_vps;
    // Owners that marked the request (srv_mark_request).
    std::vector<const void *> marks;
};

namespace fake {

// Clears the log, sets the debug level to 2 and the server back to one that
// leaves rejects to the module (the 1.0 series).
void reset();
// true: the server runs its own reject handling after a reject result (3.2).
void set_server_rejects(bool rejects);
void set_debug_level(int level);
const std::vector<std::string> &log_lines();
bool logged(const std::string &line);
void clear_log();

// Adds a request attribute with a text (and an integer value parsed from
// it when it is a number).
qz_pair &add(qz_request &req, unsigned attribute, const std::string &text, unsigned vendor = 0);
// Adds an integer request attribute; its text is the decimal number.
qz_pair &add_int(qz_request &req, unsigned attribute, uint32_t value);
// Adds User-Name and the server's User-Name record.
void set_user(qz_request &req, const std::string &name);

// A request with NAS-IP-Address, NAS-Port, Calling-Station-Id and User-Name.
qz_request access_request(const std::string &nas_ip, uint32_t port, const std::string &mac,
                          const std::string &user, int reply_code = 2);

// Reply attributes with this dictionary name, in order.
std::vector<const qz_pair *> reply_named(const qz_request &req, const std::string &name);

}  // namespace fake
