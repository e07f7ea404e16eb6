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

// One message as the DM logged it: the event and the KEY=VALUE text after it.
struct DmMessage {
    std::string event;
    std::string fields;
    // True when the message carries KEY=VALUE as a whole field.
    bool has(const std::string &key, const std::string &value) const;
};

struct Rig {
    std::string work;   // this test's folder in the build tree
    std::string conf;   // the generated server configuration
    int auth_port = 0, acct_port = 0, dm_port = 0;
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

    // Messages the DM has logged so far.
    std::vector<DmMessage> dm_messages() const;
    // Waits until the DM has logged at least `count` messages of `event`
    // (up to a few seconds); returns those of that event.
    std::vector<DmMessage> wait_for(const std::string &event, size_t count) const;

    // Where to look when a test fails.
    std::string logs() const;
};

} // namespace e2e
