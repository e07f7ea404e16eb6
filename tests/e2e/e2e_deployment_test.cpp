// The rest of a real deployment, as scripts/freeradius-conf sets it up:
// MAC-authentication bypass with the switches' MAC formats, NASes that send
// no NAS-Port, and accounting that waits on disk while the DM is away.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "e2e_rig.h"

namespace {

using e2e::count_with;
using e2e::DmMessage;
using e2e::Reply;
using e2e::Rig;
using e2e::RigOptions;

const char *const kPolicy = R"(rule printer
  match CLIENT_MAC=00-0F-1F-12-34-56
  answer ACCESS=true
  answer VLAN_ID=30
rule banned-device
  match CLIENT_MAC=00-0F-1F-99-99-99
  answer ACCESS=false
rule alice
  match USER=alice
  answer ACCESS=true
  answer VLAN_ID=20
rule mallory
  match USER=mallory
  answer ACCESS=false
default
  answer ACCESS=true
  answer VLAN_ID=99
)";

RigOptions with_dm()
{
    RigOptions options;
    options.policy = kPolicy;
    return options;
}

// A MAB request as a switch sends it: the MAC is name, password and station.
std::string mab(const std::string &name, const std::string &station, int port = 5)
{
    return "User-Name=" + name + ",User-Password=" + name +
           ",Service-Type=Call-Check,NAS-IP-Address=10.1.2.3,NAS-Port=" + std::to_string(port) +
           ",Calling-Station-Id=" + station;
}

TEST(Mab, OneDeviceHasOneRequestIdInEverySwitchFormat)
{
    Rig rig;
    START_RIG(rig, with_dm());

    for (const std::string mac : {"00-0f-1f-12-34-56", "00:0F:1F:12:34:56", "000f.1f12.3456"}) {
        Reply reply = rig.auth(mab(mac, mac));
        EXPECT_EQ(reply.code, "Access-Accept") << mac << "\n" << reply.output << rig.logs();
        EXPECT_EQ(reply.value("Tunnel-Private-Group-Id"), "30") << mac;
    }
    const std::string id = "10.1.2.3500-0F-1F-12-34-56";
    std::vector<DmMessage> requests = rig.wait_for("Request", 3);
    ASSERT_EQ(requests.size(), 3u) << rig.logs();
    EXPECT_EQ(count_with(requests, "REQ_ID", id), 3u) << rig.logs();
    EXPECT_EQ(count_with(requests, "USER", "00-0F-1F-12-34-56"), 3u);
    EXPECT_EQ(count_with(requests, "CLIENT_MAC", "00-0F-1F-12-34-56"), 3u);

    // The device's accounting, in yet another format, is filed under the
    // same id and name.
    EXPECT_EQ(rig.acct("User-Name=000F1F123456,Acct-Session-Id=mab-1,Acct-Status-Type=Start,"
                       "NAS-IP-Address=10.1.2.3,NAS-Port=5,Calling-Station-Id=000F1F123456")
                  .code,
              "Accounting-Response");
    std::vector<DmMessage> accounting = rig.wait_for("AccountingRequest", 1);
    ASSERT_EQ(accounting.size(), 1u) << rig.logs();
    EXPECT_TRUE(accounting[0].has("REQ_ID", id)) << accounting[0].fields;
    EXPECT_TRUE(accounting[0].has("USER", "00-0F-1F-12-34-56"));

    // The DM's refusal applies to MAB devices too.
    EXPECT_EQ(rig.auth(mab("00-0f-1f-99-99-99", "00:0f:1f:99:99:99", 6)).code, "Access-Reject");
    // A MAB request naming another device than the station is not accepted.
    Reply other = rig.auth(mab("00-0f-1f-12-34-56", "00-0f-1f-77-77-77", 7));
    EXPECT_EQ(other.code, "Access-Reject") << other.output;
    // An ordinary user is not taken for MAB.
    EXPECT_EQ(rig.auth("User-Name=alice,User-Password=wrong,Service-Type=Call-Check,"
                       "NAS-IP-Address=10.1.2.3,NAS-Port=8,Calling-Station-Id=00-0f-1f-12-34-58")
                  .code,
              "Access-Reject");
}

const std::string kPortless = ",NAS-IP-Address=10.1.2.9,Calling-Station-Id=00-0f-1f-aa-bb-09";

TEST(PortlessNas, IsDecidedByTheDmAsPortZero)
{
    Rig rig;
    START_RIG(rig, with_dm());

    Reply refused = rig.auth("User-Name=mallory,User-Password=mallory-pw" + kPortless);
    EXPECT_EQ(refused.code, "Access-Reject") << refused.output << rig.logs();
    Reply allowed = rig.auth("User-Name=alice,User-Password=alice-pw" + kPortless);
    EXPECT_EQ(allowed.code, "Access-Accept") << allowed.output;
    EXPECT_EQ(allowed.value("Tunnel-Private-Group-Id"), "20");

    const std::string id = "10.1.2.9000-0F-1F-AA-BB-09";
    std::vector<DmMessage> requests = rig.wait_for("Request", 2);
    ASSERT_EQ(requests.size(), 2u) << rig.logs();
    EXPECT_EQ(count_with(requests, "REQ_ID", id), 2u) << rig.logs();
    EXPECT_EQ(count_with(requests, "PORT", "0"), 2u);

    EXPECT_EQ(rig.acct("User-Name=alice,Acct-Session-Id=wlan-1,Acct-Status-Type=Start" + kPortless)
                  .code,
              "Accounting-Response");
    std::vector<DmMessage> accounting = rig.wait_for("AccountingRequest", 1);
    ASSERT_EQ(accounting.size(), 1u) << rig.logs();
    EXPECT_TRUE(accounting[0].has("REQ_ID", id)) << accounting[0].fields;
}

TEST(PortlessNas, IsLeftToTheServerWithoutThePortPolicy)
{
    Rig rig;
    RigOptions options = with_dm();
    options.nas_port_default = false;
    START_RIG(rig, options);

    // The DM would refuse mallory, but is never asked.
    Reply reply = rig.auth("User-Name=mallory,User-Password=mallory-pw" + kPortless);
    EXPECT_EQ(reply.code, "Access-Accept") << reply.output << rig.logs();
    EXPECT_TRUE(reply.attributes.empty()) << reply.output;
    EXPECT_EQ(rig.acct("User-Name=mallory,Acct-Session-Id=wlan-2,Acct-Status-Type=Start" +
                       kPortless)
                  .code,
              "Accounting-Response");

    // A request with a port goes through; the port-less ones, queued before
    // it, never reached the DM.
    EXPECT_EQ(rig.auth("User-Name=alice,User-Password=alice-pw,NAS-Port=3" + kPortless)
                  .value("Tunnel-Private-Group-Id"),
              "20");
    EXPECT_EQ(rig.acct("User-Name=alice,Acct-Session-Id=wlan-3,Acct-Status-Type=Start,NAS-Port=3" +
                       kPortless)
                  .code,
              "Accounting-Response");
    std::vector<DmMessage> accounting = rig.wait_for("AccountingRequest", 1);
    ASSERT_EQ(accounting.size(), 1u) << rig.logs();
    EXPECT_TRUE(accounting[0].has("SESSION_ID", "wlan-3")) << accounting[0].fields;
    std::vector<DmMessage> requests = rig.wait_for("Request", 1);
    ASSERT_EQ(requests.size(), 1u) << rig.logs();
    EXPECT_TRUE(requests[0].has("USER", "alice"));
}

std::string stop_record(int n)
{
    char session[16];
    std::snprintf(session, sizeof session, "q-%03d", n);
    return "User-Name=alice,Acct-Session-Id=" + std::string(session) +
           ",Acct-Status-Type=Stop,Acct-Session-Time=" + std::to_string(n) +
           ",NAS-IP-Address=10.1.2.3,NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc";
}

TEST(AccountingQueue, NothingIsLostWhileTheDmIsDown)
{
    Rig rig;
    START_RIG(rig, with_dm());

    // The path works while the DM is up.
    EXPECT_EQ(rig.acct("User-Name=alice,Acct-Session-Id=q-000,Acct-Status-Type=Start,"
                       "NAS-IP-Address=10.1.2.3,NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc")
                  .code,
              "Accounting-Response");
    ASSERT_EQ(rig.wait_for("AccountingRequest", 1).size(), 1u) << rig.logs();

    rig.stop_dm();
    std::vector<std::string> stops;
    for (int n = 1; n <= 100; n++)
        stops.push_back(stop_record(n));
    // The switch gets its answers although the DM is away.
    EXPECT_EQ(rig.acct_all(stops), 100u) << rig.logs();
    // The queue's reader meets the outage: the first Stop is not delivered,
    // is tried again later, and still not delivered; nothing behind it moves.
    EXPECT_GE(rig.wait_for_server_log("No response to request", 2, 20000), 2u) << rig.logs();
    EXPECT_EQ(rig.wait_for("AccountingRequest", 2, 0).size(), 1u) << rig.logs();

    std::string error;
    ASSERT_TRUE(rig.start_dm(&error)) << error;
    std::vector<DmMessage> accounting = rig.wait_for("AccountingRequest", 101, 60000);
    ASSERT_EQ(accounting.size(), 101u) << rig.logs();
    // Give a duplicate the chance to show up.
    accounting = rig.wait_for("AccountingRequest", 102, 2000);
    ASSERT_EQ(accounting.size(), 101u) << rig.logs();
    for (int n = 1; n <= 100; n++) {
        char session[16];
        std::snprintf(session, sizeof session, "q-%03d", n);
        EXPECT_TRUE(accounting[n].has("SESSION_ID", session))
            << "record " << n << ": " << accounting[n].fields;
        EXPECT_TRUE(accounting[n].has("ACCT_STATUS", "Stop"));
        EXPECT_TRUE(accounting[n].has("SESSION_TIME", std::to_string(n)));
    }
}

} // namespace
