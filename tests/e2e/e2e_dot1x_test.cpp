// 802.1X with a real supplicant (eapol_test) against FreeRADIUS 3.2 set up
// by scripts/freeradius-conf: PEAP and TTLS with an anonymous outer
// identity are decided on the inner identity, EAP-TLS on a certificate that
// matches the identity, and a refusal is a clean Access-Reject.
#include <gtest/gtest.h>

#include <string>

#include "e2e_rig.h"

namespace {

using e2e::count_with;
using e2e::DmMessage;
using e2e::EapolResult;
using e2e::Rig;
using e2e::RigOptions;

// A decision made on the outer identity would refuse: that makes it visible.
const char *const kPolicy = R"(rule outer-identity
  match USER=anonymous*
  answer ACCESS=false
rule alice
  match USER=alice
  answer ACCESS=true
  answer VLAN_ID=20
  answer TIME=3600
  answer QOS=3
  answer BW_MAX_IN=10000
  answer BW_MAX_OUT=5000
  answer ACL=staff|permit in tcp from any to 10.0.0.0/8
rule mallory
  match USER=mallory
  answer ACCESS=false
default
  answer ACCESS=true
  answer VLAN_ID=99
)";

constexpr unsigned kMicrosoft = 311;  // MS-MPPE-Send-Key / -Recv-Key
constexpr unsigned kQz = 32473;       // QoS, bandwidth limits, filter rules
constexpr int kUserName = 1, kFilterId = 11, kFramedMtu = 12, kSessionTimeout = 27;
constexpr int kTunnelPrivateGroupId = 81;
constexpr int kEapSuccess = 3, kEapFailure = 4;

RigOptions dot1x_options()
{
    RigOptions options;
    options.policy = kPolicy;
    // mallory's users-file reply item must not reach the switch in a Reject.
    options.users = "alice Cleartext-Password := \"alice-pw\"\n"
                    "mallory Cleartext-Password := \"mallory-pw\"\n"
                    "\tFilter-Id = \"users-file-item\"\n";
    options.client_certs = {"alice", "bob", "mallory"};
    return options;
}

std::string tunnel(const std::string &method, const std::string &phase2, const std::string &user,
                   const std::string &password, const std::string &outer = "anonymous@example.org")
{
    return "\teap=" + method + "\n\tidentity=\"" + user + "\"\n\tanonymous_identity=\"" + outer +
           "\"\n\tpassword=\"" + password + "\"\n\tphase2=\"auth=" + phase2 + "\"\n";
}

std::string tls(const std::string &identity, const std::string &cert)
{
    return "\teap=TLS\n\tidentity=\"" + identity + "\"\n\tclient_cert=\"CERTS/" + cert +
           ".pem\"\n\tprivate_key=\"CERTS/" + cert + ".key\"\n";
}

// A Reject as the switch must see it: EAP-Failure, no session keys, nothing
// of the Accept it replaced.
void expect_clean_reject(const EapolResult &r)
{
    EXPECT_FALSE(r.success) << r.output;
    EXPECT_EQ(r.code, "Access-Reject");
    EXPECT_EQ(r.eap_code(), kEapFailure);
    EXPECT_EQ(r.vendor_attributes(kMicrosoft), 0u) << "MS-MPPE keys in a Reject";
    EXPECT_EQ(r.vendor_attributes(kQz), 0u) << "decision attributes in a Reject";
    for (int attribute : {kUserName, kFilterId, kFramedMtu, kSessionTimeout, kTunnelPrivateGroupId})
        EXPECT_EQ(r.value(attribute), "<absent>") << "attribute " << attribute << " in a Reject";
}

std::vector<DmMessage> with(const std::vector<DmMessage> &messages, const std::string &key,
                            const std::string &value)
{
    std::vector<DmMessage> found;
    for (const DmMessage &m : messages)
        if (m.has(key, value))
            found.push_back(m);
    return found;
}

// One allowed user, one the DM refuses, one wrong inner password, each on
// its own port, then accounting under the outer name.
void expect_decided_on_inner_identity(const std::string &method, const std::string &phase2)
{
    Rig rig;
    START_RIG(rig, dot1x_options());

    EapolResult alice = rig.eapol(tunnel(method, phase2, "alice", "alice-pw"), 17, "00:0f:1f:aa:bb:01");
    EXPECT_TRUE(alice.success) << alice.output << rig.logs();
    EXPECT_EQ(alice.code, "Access-Accept");
    EXPECT_EQ(alice.eap_code(), kEapSuccess);
    EXPECT_EQ(alice.value(kTunnelPrivateGroupId), "3230");  // "20"
    EXPECT_EQ(alice.value(kSessionTimeout), "3600");
    EXPECT_EQ(alice.vendor_attributes(kMicrosoft), 2u);
    // QoS, ingress and egress limits, one filter rule.
    EXPECT_EQ(alice.vendor_attributes(kQz), 4u) << alice.output;

    const std::string alice_id = "127.0.0.11700-0F-1F-AA-BB-01";
    std::vector<DmMessage> requests = rig.wait_for("Request", 1);
    ASSERT_EQ(requests.size(), 1u) << rig.logs();
    EXPECT_TRUE(requests[0].has("USER", "alice")) << requests[0].fields;
    EXPECT_TRUE(requests[0].has("REQ_ID", alice_id));
    EXPECT_TRUE(requests[0].has("PORT", "17"));
    std::vector<DmMessage> reports = rig.wait_for("Authorization", 1);
    ASSERT_EQ(reports.size(), 1u) << rig.logs();
    EXPECT_TRUE(reports[0].has("USER", "alice"));
    EXPECT_TRUE(reports[0].has("VLAN_ID", "20"));
    EXPECT_TRUE(reports[0].has("RESPONSE", "Accept"));

    EapolResult mallory =
        rig.eapol(tunnel(method, phase2, "mallory", "mallory-pw"), 18, "00:0f:1f:aa:bb:02");
    expect_clean_reject(mallory);

    EapolResult wrong = rig.eapol(tunnel(method, phase2, "alice", "not-her-password"), 19,
                                  "00:0f:1f:aa:bb:03");
    expect_clean_reject(wrong);

    // mallory calling herself alice outside the tunnel does not get alice's
    // decision.
    EapolResult posing =
        rig.eapol(tunnel(method, phase2, "mallory", "mallory-pw", "alice"), 20, "00:0f:1f:aa:bb:04");
    expect_clean_reject(posing);

    // The DM saw each authentication once, always under the inner identity.
    requests = rig.wait_for("Request", 4);
    reports = rig.wait_for("Authorization", 4);
    EXPECT_EQ(requests.size(), 4u) << rig.logs();
    EXPECT_EQ(reports.size(), 4u) << rig.logs();
    EXPECT_EQ(count_with(requests, "USER", "mallory"), 2u) << rig.logs();
    EXPECT_EQ(count_with(requests, "USER", "anonymous@example.org"), 0u);
    EXPECT_EQ(count_with(reports, "USER", "anonymous@example.org"), 0u);
    std::vector<DmMessage> refused = with(reports, "PORT", "18");
    ASSERT_EQ(refused.size(), 1u) << rig.logs();
    EXPECT_TRUE(refused[0].has("USER", "mallory"));
    EXPECT_TRUE(refused[0].has("RESPONSE", "Reject"));
    EXPECT_EQ(refused[0].fields.find("SOURCE="), std::string::npos) << refused[0].fields;
    std::vector<DmMessage> failed = with(reports, "PORT", "19");
    ASSERT_EQ(failed.size(), 1u) << rig.logs();
    EXPECT_TRUE(failed[0].has("USER", "alice")) << failed[0].fields;
    EXPECT_TRUE(failed[0].has("SOURCE", "4"));
    EXPECT_TRUE(failed[0].has("RETURN_CODE", "1"));
    EXPECT_TRUE(failed[0].has("RESPONSE", "Reject"));

    // The switch's accounting carries the outer name; the DM hears of alice.
    EXPECT_EQ(rig.acct("User-Name=anonymous@example.org,Acct-Session-Id=dot1x-1,"
                       "Acct-Status-Type=Start,NAS-IP-Address=127.0.0.1,NAS-Port=17,"
                       "Calling-Station-Id=00:0F:1F:AA:BB:01")
                  .code,
              "Accounting-Response");
    std::vector<DmMessage> accounting = rig.wait_for("AccountingRequest", 1);
    ASSERT_EQ(accounting.size(), 1u) << rig.logs();
    EXPECT_TRUE(accounting[0].has("USER", "alice")) << accounting[0].fields;
    EXPECT_TRUE(accounting[0].has("REQ_ID", alice_id));
}

TEST(Dot1x, PeapIsDecidedOnTheInnerIdentity)
{
    expect_decided_on_inner_identity("PEAP", "MSCHAPV2");
}

TEST(Dot1x, TtlsIsDecidedOnTheInnerIdentity)
{
    expect_decided_on_inner_identity("TTLS", "PAP");
}

TEST(Dot1x, TlsCertificateMustMatchTheIdentity)
{
    Rig rig;
    START_RIG(rig, dot1x_options());

    EapolResult alice = rig.eapol(tls("alice", "alice"), 21, "00:0f:1f:aa:bb:21");
    EXPECT_TRUE(alice.success) << alice.output << rig.logs();
    EXPECT_EQ(alice.code, "Access-Accept");
    EXPECT_EQ(alice.value(kTunnelPrivateGroupId), "3230");
    std::vector<DmMessage> requests = rig.wait_for("Request", 1);
    ASSERT_EQ(requests.size(), 1u) << rig.logs();
    EXPECT_TRUE(requests[0].has("USER", "alice"));

    // bob's certificate presented under alice's name: the server refuses.
    EapolResult borrowed = rig.eapol(tls("alice", "bob"), 22, "00:0f:1f:aa:bb:22");
    expect_clean_reject(borrowed);
    std::vector<DmMessage> reports = with(rig.wait_for("Authorization", 2), "PORT", "22");
    ASSERT_EQ(reports.size(), 1u) << rig.logs();
    EXPECT_TRUE(reports[0].has("SOURCE", "4"));
    EXPECT_TRUE(reports[0].has("RESPONSE", "Reject"));
}

TEST(Dot1x, TlsRefusedByTheDmIsACleanReject)
{
    Rig rig;
    START_RIG(rig, dot1x_options());

    // The server accepts mallory's certificate; the DM refuses her. The
    // server had already put EAP-Success and the session keys in the reply.
    EapolResult mallory = rig.eapol(tls("mallory", "mallory"), 23, "00:0f:1f:aa:bb:23");
    expect_clean_reject(mallory);
    EXPECT_EQ(mallory.eap_identifier(), mallory.request_eap_identifier) << mallory.output;

    // Asked and reported once, although the module runs again in the
    // server's reject section.
    std::vector<DmMessage> requests = rig.wait_for("Request", 1);
    std::vector<DmMessage> reports = rig.wait_for("Authorization", 1);
    ASSERT_EQ(requests.size(), 1u) << rig.logs();
    ASSERT_EQ(reports.size(), 1u) << rig.logs();
    EXPECT_TRUE(reports[0].has("USER", "mallory"));
    EXPECT_TRUE(reports[0].has("RESPONSE", "Reject"));
    EXPECT_EQ(reports[0].fields.find("SOURCE="), std::string::npos) << reports[0].fields;
    // Nothing more arrives later either.
    EXPECT_EQ(rig.wait_for("Authorization", 2, 1500).size(), 1u) << rig.logs();
}

} // namespace
