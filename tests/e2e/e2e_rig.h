// A real FreeRADIUS 3.2 with rlm_qzovx, the stand-in DM and radclient, all on
// loopback ports of their own, for one test. Everything the rig starts is
// stopped when it goes out of scope (and, through PDEATHSIG, when the test
// process dies).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace e2e {

// A child process; stopping it is idempotent.
struct Child {
    pid_t pid = -1;
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { stop(); }
    // SIGTERM, then SIGKILL when it has not ended within a few seconds.
    void stop();
    bool running();
};

struct RigOptions {
    // Lines of mods-config/files/authorize.
    std::string users = "alice Cleartext-Password := \"alice-pw\"\n"
                        "mallory Cleartext-Password := \"mallory-pw\"\n";
    // The DM's policy; empty starts no DM (its port then refuses connections).
    std::string policy;
    // Client certificates to make (CN = the name) beside the CA and the
    // server certificate, which are always made for the eap module.
    std::vector<std::string> client_certs;
    // false: the server leaves requests without NAS-Port as they come.
    bool nas_port_default = true;
    // false: accounting calls the module directly instead of going through
    // the queue on disk (the server then answers only what the DM got).
    bool accounting_queue = true;
    // The module's dm_connections key; empty keeps the shipped file's value.
    std::string dm_connections;
    // true: the server runs its thread pool (as in production) instead of
    // the single-threaded debug mode; its log then holds only what it logs
    // at the normal level.
    bool threaded = false;
    // Further lines of the library's properties file.
    std::string properties;
    // The DM answers every request this many milliseconds after it came.
    int dm_answer_delay_ms = 0;
};

// What radclient saw: the reply's code name ("Access-Accept", ...; empty when
// no reply came) and its attributes in order, tags and quotes removed.
struct Reply {
    std::string code;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string output; // radclient's whole output, for failure messages

    std::vector<std::string> values(const std::string &name) const;
    // The first value, or "<absent>".
    std::string value(const std::string &name) const;
};

// What eapol_test saw of the last Access-Accept or Access-Reject.
struct EapolResult {
    bool success = false;  // eapol_test's verdict (EAP success and keys)
    std::string code;      // "Access-Accept", "Access-Reject"; empty without one
    // The attributes in order: number, and the value as eapol_test prints it
    // (text for strings, decimal for integers, hex for the rest).
    std::vector<std::pair<int, std::string>> attributes;
    std::string output;  // for failure messages
    // EAP identifier of the supplicant's last EAP-Message sent to the server.
    int request_eap_identifier = -1;

    std::vector<std::string> values(int number) const;
    std::string value(int number) const;  // the first, or "<absent>"
    // Vendor-Specific attributes of this vendor (hex value starts with it).
    size_t vendor_attributes(unsigned vendor) const;
    // EAP code (3 Success, 4 Failure) and identifier of EAP-Message; -1 if none.
    int eap_code() const;
    int eap_identifier() const;
};

// One message as the DM logged it: the event and the KEY=VALUE text after it.
struct DmMessage {
    unsigned long conn = 0;  // the DM's number of the connection it came on
    std::string event;
    std::string fields;
    // True when the message carries KEY=VALUE as a whole field.
    bool has(const std::string &key, const std::string &value) const;
};

struct Rig {
    std::string work;   // this test's folder in the build tree
    std::string conf;   // the generated server configuration
    int auth_port = 0, acct_port = 0, dm_port = 0;
    int dm_answer_delay_ms = 0;  // RigOptions::dm_answer_delay_ms, kept for start_dm
    Child dm, server;

    Rig() = default;
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // Generates everything and starts the DM (when a policy is given) and
    // the server; false with *error filled when something did not come up.
    bool start(const std::string &name, const RigOptions &options, std::string *error);

    // Sends one packet; attributes as radclient reads them ("A=b,C=d").
    Reply auth(const std::string &attributes);
    Reply acct(const std::string &attributes);
    // Sends every packet at once, one radclient each; the replies in the
    // order of the packets.
    std::vector<Reply> auth_parallel(const std::vector<std::string> &packets);
    // Sends many packets, one radclient call, one at a time in the given
    // order; returns how many were answered.
    size_t acct_all(const std::vector<std::string> &packets);

    // Runs eapol_test with this network block (the CA is ca_cert; "CERTS/"
    // in the text stands for the certificates' folder) as a switch would:
    // NAS-Port, Calling-Station-Id and NAS-IP-Address 127.0.0.1.
    EapolResult eapol(const std::string &network, int nas_port, const std::string &mac);
    // Folder of the test certificates.
    std::string certs() const { return work + "/certs"; }

    // Stops the DM / starts it again on the same port, its log continued.
    void stop_dm();
    bool start_dm(std::string *error);

    // Messages the DM has logged so far.
    std::vector<DmMessage> dm_messages() const;
    // Waits until the DM has logged at least `count` messages of `event`
    // (up to timeout_ms); returns those of that event.
    std::vector<DmMessage> wait_for(const std::string &event, size_t count,
                                    int timeout_ms = 5000) const;

    // Waits until the server's log holds `text` at least `count` times (up
    // to timeout_ms); returns how many times it does.
    size_t wait_for_server_log(const std::string &text, size_t count, int timeout_ms) const;

    // Where to look when a test fails.
    std::string logs() const;
};

// "Suite.Name" of the running test: its folder in the build tree.
std::string test_name();

// How many of the messages carry KEY=VALUE.
size_t count_with(const std::vector<DmMessage> &messages, const std::string &key,
                  const std::string &value);

} // namespace e2e

// Starts a rig for the running test; fails the test when it cannot.
#define START_RIG(rig, options)                                                                \
    do {                                                                                       \
        std::string start_error;                                                               \
        ASSERT_TRUE((rig).start(e2e::test_name(), (options), &start_error)) << start_error;    \
    } while (0)
