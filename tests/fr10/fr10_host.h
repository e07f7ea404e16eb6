// A stand-in FreeRADIUS 1.0-series server for the module's tests. The test
// executable exports the server functions the module leaves undefined
// (pairfind, pairmake, pairadd, dict_attrbyname, cf_section_parse,
// rad_malloc, log_debug, debug_flag), opens the built rlm_qzovx.so as the
// server does and calls it through its module record.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "freeradius10.h"

// The server's configuration section, as far as the stand-in knows one:
// key/value pairs in file order.
struct conf_section {
    std::vector<std::pair<std::string, std::string>> items;
};

namespace fr10 {

// Vendor attribute numbers as the 1.0 server packs them.
constexpr int kQzVendor = 32473;
constexpr int vendor_attribute(int vendor, int attribute)
{
    return static_cast<int>(static_cast<unsigned>(vendor) << 16 | static_cast<unsigned>(attribute));
}
constexpr int kProxiedTo = 0x2C500001;  // FreeRADIUS-Proxied-To

// ---- Log lines written with log_debug, in order (thread-safe) ----
std::vector<std::string> log_lines();
void clear_log();
bool logged(const std::string &line);

// ---- The last cf_section_parse call ----
const CONF_PARSER *last_parse_table();

// ---- Attribute lists ----
void free_pairs(VALUE_PAIR *list);
std::vector<const VALUE_PAIR *> pairs_of(const VALUE_PAIR *list);
std::string text_of(const VALUE_PAIR *vp);

// ---- The module ----
// Opens the built module once per process with RTLD_GLOBAL | RTLD_LAZY and
// returns its record; null (and the reason in *error) when that fails.
module_t *load_module(std::string *error = nullptr);
// A symbol the module exports; null when absent or not loaded.
void *module_symbol(const char *name);

// One configured instance: instantiated from a section, detached at the end.
struct Instance {
    module_t *module = nullptr;
    void *data = nullptr;
    int result = -1;  // what instantiate returned

    Instance(module_t *module, conf_section *section);
    ~Instance();
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;
};

// A REQUEST as the server hands it to a module: request packet, reply and
// (when proxying) a proxy packet, owning every attribute in them.
struct TestRequest {
    RADIUS_PACKET packet{};
    RADIUS_PACKET reply{};
    RADIUS_PACKET proxy{};
    REQUEST request{};

    TestRequest(unsigned code, unsigned reply_code);
    ~TestRequest();
    TestRequest(const TestRequest &) = delete;
    TestRequest &operator=(const TestRequest &) = delete;

    // Adds a request attribute made with pairmake; User-Name also becomes
    // the request's username record. Returns false when pairmake refused it.
    bool add(const char *name, const char *value);
    void drop_reply() { request.reply = nullptr; }
    void start_proxying() { request.proxy = &proxy; }

    std::vector<const VALUE_PAIR *> reply_pairs() const { return pairs_of(reply.vps); }
};

}  // namespace fr10
