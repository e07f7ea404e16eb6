// rlm_qzovx inside a real FreeRADIUS 3.2: switches' packets from radclient,
// decisions from the stand-in DM. That the DM is asked at all shows that the
// library resolves the module's callbacks inside the server.
#include <gtest/gtest.h>

#include <string>

#include "e2e_rig.h"

namespace {

using e2e::count_with;
using e2e::DmMessage;
using e2e::Reply;
using e2e::Rig;
using e2e::RigOptions;

const char *const kPolicy = R"(rule alice
  match USER=alice
  answer ACCESS=true
  answer VLAN_ID=20
  answer QOS=3
  answer BW_MAX_IN=10000
  answer BW_MAX_OUT=5000
  answer TIME=3600
  answer ACL=staff|permit in tcp from any to 10.0.0.0/8|deny in ip from any to any|permit in udp from 192.168.100.0/24 to 10.20.30.0/24 port 1024-65535 established-only
rule mallory
  match USER=mallory
  answer ACCESS=false
default
  answer ACCESS=true
)";

// A switch's port 17 with a client MAC in lower case. The server writes
// every MAC as 00-0F-1F-AA-BB-CC before the module sees it.
const std::string kAlice = "User-Name=alice,User-Password=alice-pw,NAS-IP-Address=10.1.2.3,"
                           "NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc";
const std::string kAliceReqId = "10.1.2.31700-0F-1F-AA-BB-CC";

RigOptions with_dm()
{
    RigOptions options;
    options.policy = kPolicy;
    return options;
}

TEST(FreeRadius32, AllowedUserGetsTheDecisionInTheAccept)
{
    Rig rig;
    START_RIG(rig, with_dm());

    Reply reply = rig.auth(kAlice);
    ASSERT_EQ(reply.code, "Access-Accept") << reply.output << rig.logs();
    EXPECT_EQ(reply.value("Tunnel-Type"), "VLAN");
    EXPECT_EQ(reply.value("Tunnel-Medium-Type"), "IEEE-802");
    EXPECT_EQ(reply.value("Tunnel-Private-Group-Id"), "20");
    EXPECT_EQ(reply.value("Session-Timeout"), "3600");
    // The dictionary gives value 1 two names; either may be printed.
    std::string action = reply.value("Termination-Action");
    EXPECT_TRUE(action == "Request" || action == "RADIUS-Request") << action;
    EXPECT_EQ(reply.value("qz-port-priority-regeneration-table"), "3");
    EXPECT_EQ(reply.value("qz-bandwidth-max-ingress"), "10000");
    EXPECT_EQ(reply.value("qz-bandwidth-max-egress"), "5000");
    // One rule per short entry; the entry over 80 characters is left out.
    EXPECT_EQ(reply.values("qz-nas-filter-rule"),
              (std::vector<std::string>{"permit in tcp from any to 10.0.0.0/8",
                                        "deny in ip from any to any"}))
        << reply.output;

    // Start-up messages, then the request and the report for it.
    std::vector<DmMessage> reports = rig.wait_for("Authorization", 1);
    ASSERT_EQ(reports.size(), 1u) << rig.logs();
    EXPECT_EQ(rig.wait_for("Startup", 1).size(), 1u);
    std::vector<DmMessage> info = rig.wait_for("SERVERINFO", 1);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_NE(info[0].fields.find("QZ OVX  freeRADIUS Plugin version B.02.45"), std::string::npos);

    std::vector<DmMessage> requests = rig.wait_for("Request", 1);
    ASSERT_EQ(requests.size(), 1u) << rig.logs();
    EXPECT_TRUE(requests[0].has("REQ_ID", kAliceReqId)) << requests[0].fields;
    EXPECT_TRUE(requests[0].has("USER", "alice"));
    EXPECT_TRUE(requests[0].has("NAS_IP", "10.1.2.3"));
    EXPECT_TRUE(requests[0].has("PORT", "17"));
    EXPECT_TRUE(requests[0].has("CLIENT_MAC", "00-0F-1F-AA-BB-CC"));

    EXPECT_TRUE(reports[0].has("USER", "alice")) << reports[0].fields;
    EXPECT_TRUE(reports[0].has("VLAN_ID", "20"));
    EXPECT_TRUE(reports[0].has("QOS", "3"));
    EXPECT_TRUE(reports[0].has("BW_MAX_IN", "10000"));
    EXPECT_TRUE(reports[0].has("BW_MAX_OUT", "5000"));
    EXPECT_TRUE(reports[0].has("RESPONSE", "Accept"));
    EXPECT_EQ(reports[0].fields.find("SOURCE="), std::string::npos);
}

TEST(FreeRadius32, RefusedUserAndWrongPasswordAreRejected)
{
    Rig rig;
    START_RIG(rig, with_dm());

    // The server accepts mallory's password; the DM refuses.
    Reply refused = rig.auth("User-Name=mallory,User-Password=mallory-pw,NAS-IP-Address=10.1.2.3,"
                             "NAS-Port=18,Calling-Station-Id=00-0f-1f-aa-bb-dd");
    EXPECT_EQ(refused.code, "Access-Reject") << refused.output << rig.logs();
    EXPECT_EQ(refused.value("Tunnel-Private-Group-Id"), "<absent>");
    std::vector<DmMessage> reports = rig.wait_for("Authorization", 1);
    ASSERT_EQ(reports.size(), 1u) << rig.logs();
    EXPECT_TRUE(reports[0].has("USER", "mallory"));
    EXPECT_TRUE(reports[0].has("RESPONSE", "Reject"));
    EXPECT_EQ(reports[0].fields.find("SOURCE="), std::string::npos) << reports[0].fields;

    // A wrong password: the server's Reject stands although the DM would
    // allow alice, the report says where the Reject came from, and the reply
    // carries none of the DM's attributes.
    Reply wrong = rig.auth("User-Name=alice,User-Password=not-alice,NAS-IP-Address=10.1.2.3,"
                           "NAS-Port=19,Calling-Station-Id=00-0f-1f-aa-bb-ee");
    EXPECT_EQ(wrong.code, "Access-Reject") << wrong.output;
    EXPECT_TRUE(wrong.attributes.empty()) << wrong.output;
    reports = rig.wait_for("Authorization", 2);
    ASSERT_EQ(reports.size(), 2u) << rig.logs();
    EXPECT_TRUE(reports[1].has("USER", "alice")) << reports[1].fields;
    EXPECT_TRUE(reports[1].has("SOURCE", "4"));
    EXPECT_TRUE(reports[1].has("RETURN_CODE", "1"));
    EXPECT_TRUE(reports[1].has("RESPONSE", "Reject"));
}

TEST(FreeRadius32, AcceptStandsWhenTheDmIsDown)
{
    Rig rig;
    START_RIG(rig, RigOptions{}); // no DM: its port refuses connections

    for (int attempt = 0; attempt < 2; attempt++) {
        Reply reply = rig.auth(kAlice);
        EXPECT_EQ(reply.code, "Access-Accept") << "attempt " << attempt << "\n"
                                               << reply.output << rig.logs();
        EXPECT_EQ(reply.value("Tunnel-Private-Group-Id"), "<absent>");
        EXPECT_EQ(reply.value("Session-Timeout"), "<absent>");
    }
    Reply wrong = rig.auth("User-Name=alice,User-Password=nope,NAS-IP-Address=10.1.2.3,"
                           "NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc");
    EXPECT_EQ(wrong.code, "Access-Reject") << wrong.output;
}

TEST(FreeRadius32, AccountingStartAndStopReachTheDm)
{
    Rig rig;
    START_RIG(rig, with_dm());

    const std::string session = "User-Name=alice,Acct-Session-Id=sess-0001,NAS-IP-Address=10.1.2.3,"
                                "NAS-Port=17,Calling-Station-Id=00-0f-1f-aa-bb-cc";
    Reply start = rig.acct(session + ",Acct-Status-Type=Start");
    EXPECT_EQ(start.code, "Accounting-Response") << start.output << rig.logs();
    Reply stop = rig.acct(session +
                          ",Acct-Status-Type=Stop,Acct-Session-Time=120,Acct-Terminate-Cause=1,"
                          "Acct-Input-Octets=1000,Acct-Output-Octets=2000,"
                          "Acct-Input-Packets=10,Acct-Output-Packets=20");
    EXPECT_EQ(stop.code, "Accounting-Response") << stop.output;

    std::vector<DmMessage> accounting = rig.wait_for("AccountingRequest", 2);
    ASSERT_EQ(accounting.size(), 2u) << rig.logs();
    for (const DmMessage &m : accounting) {
        EXPECT_TRUE(m.has("CLIENT_MAC", "00-0F-1F-AA-BB-CC")) << m.fields;
        EXPECT_TRUE(m.has("REQ_ID", kAliceReqId));
        EXPECT_TRUE(m.has("NAS_IP", "10.1.2.3"));
        EXPECT_TRUE(m.has("SESSION_ID", "sess-0001"));
        EXPECT_TRUE(m.has("USER", "alice"));
        EXPECT_TRUE(m.has("PORT", "17"));
    }
    EXPECT_TRUE(accounting[0].has("ACCT_STATUS", "Start")) << accounting[0].fields;
    EXPECT_TRUE(accounting[1].has("ACCT_STATUS", "Stop")) << accounting[1].fields;
    EXPECT_TRUE(accounting[1].has("SESSION_TIME", "120"));
    EXPECT_TRUE(accounting[1].has("TERM_CAUSE", "1"));
    EXPECT_TRUE(accounting[1].has("INPUT_OCTETS", "1000"));
    EXPECT_TRUE(accounting[1].has("OUTPUT_OCTETS", "2000"));
    EXPECT_TRUE(accounting[1].has("INPUT_PACKETS", "10"));
    EXPECT_TRUE(accounting[1].has("OUTPUT_PACKETS", "20"));
    // Accounting never asks for a decision.
    EXPECT_TRUE(rig.wait_for("Request", 0).empty());
}

TEST(FreeRadius32, LoopbackProxiedRequestSkipsItsCopyOnce)
{
    Rig rig;
    START_RIG(rig, with_dm());

    // Marked as proxied to this server: handled, and its copy is expected.
    Reply marked = rig.auth(kAlice + ",FreeRADIUS-Proxied-To=127.0.0.1");
    EXPECT_EQ(marked.code, "Access-Accept") << marked.output << rig.logs();
    EXPECT_EQ(marked.value("Tunnel-Private-Group-Id"), "20");
    ASSERT_EQ(rig.wait_for("Authorization", 1).size(), 1u) << rig.logs();

    // The copy without the mark: the server's Accept, no DM exchange.
    Reply copy = rig.auth(kAlice);
    EXPECT_EQ(copy.code, "Access-Accept") << copy.output;
    EXPECT_EQ(copy.value("Tunnel-Private-Group-Id"), "<absent>");

    // The next one is an ordinary request again.
    Reply again = rig.auth(kAlice);
    EXPECT_EQ(again.code, "Access-Accept") << again.output;
    EXPECT_EQ(again.value("Tunnel-Private-Group-Id"), "20");
    ASSERT_EQ(rig.wait_for("Authorization", 2).size(), 2u) << rig.logs();
    EXPECT_EQ(count_with(rig.wait_for("Request", 2), "REQ_ID", kAliceReqId), 2u) << rig.logs();

    // Proxied elsewhere: handled, and nothing is recorded for its copy.
    const std::string other = "User-Name=alice,User-Password=alice-pw,NAS-IP-Address=10.1.2.3,"
                              "NAS-Port=21,Calling-Station-Id=00-0f-1f-aa-bb-cc";
    EXPECT_EQ(rig.auth(other + ",FreeRADIUS-Proxied-To=10.9.9.9").value("Tunnel-Private-Group-Id"),
              "20");
    EXPECT_EQ(rig.auth(other).value("Tunnel-Private-Group-Id"), "20");
    EXPECT_EQ(count_with(rig.wait_for("Request", 4), "REQ_ID", "10.1.2.32100-0F-1F-AA-BB-CC"), 2u)
        << rig.logs();
}

TEST(FreeRadius32, RequestWithoutCallingStationIdIsLeftToTheServer)
{
    Rig rig;
    START_RIG(rig, with_dm());

    Reply reply = rig.auth("User-Name=alice,User-Password=alice-pw,NAS-IP-Address=10.1.2.3,"
                           "NAS-Port=17");
    EXPECT_EQ(reply.code, "Access-Accept") << reply.output << rig.logs();
    EXPECT_TRUE(reply.attributes.empty()) << reply.output;

    // A complete request afterwards proves the DM was reachable all along.
    EXPECT_EQ(rig.auth(kAlice).value("Tunnel-Private-Group-Id"), "20");
    std::vector<DmMessage> requests = rig.wait_for("Request", 1);
    ASSERT_EQ(requests.size(), 1u) << rig.logs();
    EXPECT_TRUE(requests[0].has("REQ_ID", kAliceReqId));
}

} // namespace
