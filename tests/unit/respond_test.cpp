// The Authorization report to the DM and the reply attributes built from the
// decision record.
#include <string>
#include <vector>

#include "Authif.h"
#include "client_fixture.h"
#include "qz_text.h"

namespace {

using qzclient::ClientTest;

class RespondTest : public ClientTest {};
using qzclient::lines_starting;
using qztest::AddedAttribute;

// A record as the decision left it.
void fill_decision(OVX_USER_ACCESS *r)
{
    qz_copy(r->profile, sizeof r->profile, "prof");
    qz_copy(r->apg, sizeof r->apg, "staff");
    qz_copy(r->vlan, sizeof r->vlan, "20");
    r->qos = 0;
    r->bw = 1000;
    r->egress = 2000;
    r->time = 3600;
    qz_copy(r->VLAN_INCAP, sizeof r->VLAN_INCAP, "v");
    qz_copy(r->QOS_INCAP, sizeof r->QOS_INCAP, "q");
    qz_copy(r->BW_MAX_INCAP, sizeof r->BW_MAX_INCAP, "b");
    qz_copy(r->DEFAULT_CAP, sizeof r->DEFAULT_CAP, "d");
    qz_copy(r->ACL_INCAP, sizeof r->ACL_INCAP, "a");
    qz_copy(r->GLOBAL_RULE, sizeof r->GLOBAL_RULE, "g");
    qz_copy(r->RULE_NO, sizeof r->RULE_NO, "r");
    qz_copy(r->ovx_location, sizeof r->ovx_location, "bldg");
    qz_copy(r->clientstate, sizeof r->clientstate, "from-dm");
    r->src = 3;
    r->return_code = 4;
}

std::string report_line(const qztest::FakeDm &dm)
{
    auto reports = lines_starting(dm, "EVENT=Authorization");
    return reports.size() == 1 ? reports[0] : "<" + std::to_string(reports.size()) + " reports>";
}

TEST_F(RespondTest, ReportCarriesEveryFieldInOrder)
{
    fill_decision(record.get());
    req.request_attrs[OVX_ATTR_HI_STATE] = "hs";
    EXPECT_EQ(ovxrespond(&req), nullptr);  // Termination-Action went in
    ASSERT_TRUE(dm.wait_for("RESPONSE=Accept\t\n\n"));

    EXPECT_EQ(report_line(dm),
              "EVENT=Authorization\tUSER=alice\tHI_STATE=hs\tCLIENT_MAC=aa-bb-cc-dd-ee-ff"
              "\tNAS_IP=10.0.0.1\tNAS_MAC=11-22-33-44-55-66\tPORT=14\tPROFILE=prof\tAPG=staff"
              "\tVLAN_ID=20\tQOS=0\tBW_MAX_IN=1000\tBW_MAX_OUT=2000\tVLAN_INCAP=v\tQOS_INCAP=q"
              "\tBW_MAX_INCAP=b\tDEFAULT_CAP=d\tACL_INCAP=a\tGLOBAL_RULE=g\tRULE_NO=r"
              "\tLOCATION=bldg\tHI_STATE=hs\tSOURCE=3\tRETURN_CODE=4\tRESPONSE=Accept\t");
    // The report is followed by an empty line.
    EXPECT_NE(dm.received().find("RESPONSE=Accept\t\n\n"), std::string::npos);
    EXPECT_NE(trace().find("Authorization: {, USER=alice, HI_STATE=hs, CLIENT_MAC=aa-bb-cc-dd-ee-ff"
                           ", NAS_IP=10.0.0.1, NAS_MAC=11-22-33-44-55-66, PORT=14, PROFILE=prof"
                           ", APG=staff, VLAN_ID=20, QOS=0, BW_MAX_IN=1000, BW_MAX_OUT=2000"
                           ", VLAN_INCAP=v, QOS_INCAP=q, BW_MAX_INCAP=b, DEFAULT_CAP=d, ACL_INCAP=a"
                           ", GLOBAL_RULE=g, RULE_NO=r, LOCATION=bldg, HI_STATE=hs,SOURCE=3"
                           ", RETURN_CODE=4, RESPONSE=Accept}\n\n"),
              std::string::npos)
        << trace();
    qzclient::expect_semaphores_balanced();
}

TEST_F(RespondTest, ReportOfAnEmptyDecision)
{
    record->qos = -1;
    req.request_attrs.erase(OVX_ATTR_CALLING_STATION_ID);
    req.request_attrs.erase(OVX_ATTR_CALLED_STATION_ID);
    req.response_type = rcAccessReject;
    qz_copy(record->GLOBAL_RULE, sizeof record->GLOBAL_RULE, "\xC3\xA9");  // starts above 127
    EXPECT_EQ(ovxrespond(&req), nullptr);
    ASSERT_TRUE(dm.wait_for("RESPONSE=Reject\t\n\n"));
    EXPECT_EQ(report_line(dm), "EVENT=Authorization\tUSER=alice\tNAS_IP=10.0.0.1\tPORT=14\tRESPONSE=Reject\t");
    EXPECT_TRUE(req.added.empty());
}

TEST_F(RespondTest, LongHiStateIsCutInBothFields)
{
    req.request_attrs[OVX_ATTR_HI_STATE] = std::string(100, 'h');
    EXPECT_EQ(ovxrespond(&req), nullptr);
    ASSERT_TRUE(dm.wait_for("RESPONSE=Accept\t\n\n"));
    std::string cut(79, 'h');
    EXPECT_NE(report_line(dm).find("\tUSER=alice\tHI_STATE=" + cut + "\t"), std::string::npos);
    EXPECT_NE(report_line(dm).find("\tHI_STATE=" + cut + "\tRESPONSE=Accept\t"), std::string::npos);
    EXPECT_NE(trace().find("HI State Truncated!\n"), std::string::npos);
}

TEST_F(RespondTest, UserControlledTextCannotBreakTheReport)
{
    req.request_attrs[OVX_ATTR_USER_NAME] = "eve\n\nEVENT=Authorization\tUSER=root";
    EXPECT_EQ(ovxrespond(&req), nullptr);
    ASSERT_TRUE(dm.wait_for("RESPONSE=Accept\t\n\n"));
    EXPECT_EQ(report_line(dm).rfind("EVENT=Authorization\tUSER=eve  EVENT=Authorization USER=root\tCLIENT_MAC=", 0),
              0u);
    EXPECT_STREQ(record->user_name, "eve\n\nEVENT=Authorization\tUSER=root");
}

class LatGroupTest : public ClientTest {
    std::string extra_properties() const override { return "send_lat_group=\n"; }
};

TEST_F(LatGroupTest, ReplyAttributesInOrder)
{
    fill_decision(record.get());
    record->aceCt = 4;
    qz_copy(record->aces[0], sizeof record->aces[0], std::string(10, 'a').c_str());
    qz_copy(record->aces[1], sizeof record->aces[1], std::string(81, 'b').c_str());
    qz_copy(record->aces[2], sizeof record->aces[2], std::string(80, 'c').c_str());
    record->aces[3][0] = '\0';
    EXPECT_EQ(ovxrespond(&req), nullptr);

    struct Expected {
        AddedAttribute::Kind kind;
        int id;
        std::string text;
    };
    const std::vector<Expected> expected = {
        {AddedAttribute::Replace, OVX_ATTR_LOGIN_LAT_GROUP, "staff"},
        {AddedAttribute::Replace, OVX_ATTR_SESSION_TIMEOUT, "3600"},
        {AddedAttribute::Replace, OVX_ATTR_TERMINATION_ACTION, "Request"},
        {AddedAttribute::Replace, OVX_ATTR_TUNNEL_TYPE, "13"},
        {AddedAttribute::Replace, OVX_ATTR_TUNNEL_MEDIUM_TYPE, "6"},
        {AddedAttribute::Replace, OVX_ATTR_TUNNEL_PRIVATE_GROUP_ID, "20"},
        {AddedAttribute::Vsa, OVX_VSA_PORT_PRIORITY, "0"},
        {AddedAttribute::Vsa, OVX_VSA_BW_MAX_INGRESS, "1000"},
        {AddedAttribute::Vsa, OVX_VSA_BW_MAX_EGRESS, "2000"},
        {AddedAttribute::Vsa, OVX_VSA_FILTER_RULE, std::string(10, 'a')},
        {AddedAttribute::Vsa, OVX_VSA_FILTER_RULE, std::string(80, 'c')},
        {AddedAttribute::Vsa, OVX_VSA_FILTER_RULE, ""},
    };
    ASSERT_EQ(req.added.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        const AddedAttribute &got = req.added[i];
        EXPECT_EQ(got.kind, expected[i].kind) << i;
        EXPECT_EQ(got.id, expected[i].id) << i;
        EXPECT_EQ(got.text, expected[i].text) << i;
        if (got.kind == AddedAttribute::Vsa) {
            EXPECT_EQ(got.vendor, QZ_VENDOR_ID) << i;
            EXPECT_EQ(got.length, static_cast<int>(expected[i].text.size())) << i;
        }
    }
    EXPECT_NE(trace().find("adding 4 aces\n"), std::string::npos);
}

TEST_F(RespondTest, NoLatGroupWithoutTheSettingButApgIsReported)
{
    qz_copy(record->apg, sizeof record->apg, "staff");
    record->qos = -1;
    EXPECT_EQ(ovxrespond(&req), nullptr);
    ASSERT_TRUE(dm.wait_for("RESPONSE=Accept\t\n\n"));
    EXPECT_NE(report_line(dm).find("\tAPG=staff\t"), std::string::npos);
    EXPECT_EQ(report_line(dm).find("QOS="), std::string::npos);
    EXPECT_TRUE(req.added.empty());
}

TEST_F(RespondTest, RefusedDecisionStillGetsItsTunnelAttributes)
{
    record->qos = -1;
    qz_copy(record->vlan, sizeof record->vlan, "30");
    req.response_type = rcAccessReject;
    EXPECT_EQ(ovxrespond(&req), nullptr);
    ASSERT_EQ(req.added.size(), 3u);
    EXPECT_EQ(req.added[2].id, OVX_ATTR_TUNNEL_PRIVATE_GROUP_ID);
    EXPECT_EQ(req.added[2].text, "30");
    ASSERT_TRUE(dm.wait_for("RESPONSE=Reject\t\n\n"));
}

TEST_F(RespondTest, FailedReplyAttributesAreTracedAndReported)
{
    record->qos = -1;
    record->time = 60;
    qz_copy(record->vlan, sizeof record->vlan, "20");
    req.replace_result = 0x105;  // low byte 5
    EXPECT_EQ(ovxrespond(&req), reinterpret_cast<void *>(static_cast<intptr_t>(0x105)));
    std::string text = trace();
    EXPECT_NE(text.find("Error adding SessionTimeout, ErrorCode 261\n"), std::string::npos);
    EXPECT_NE(text.find("Error adding TerminationAction, ErrorCode 261\n"), std::string::npos);
    EXPECT_NE(text.find("Error adding TunnelType, ErrorCode 5\n"), std::string::npos);
    EXPECT_NE(text.find("Error adding TunnelMedium, ErrorCode 5\n"), std::string::npos);
    EXPECT_NE(text.find("Error adding VlanGroup attribute, ErrorCode 5\n"), std::string::npos);
    EXPECT_EQ(req.added.size(), 5u);  // every attribute was still attempted
}

TEST_F(RespondTest, TunnelResultsCountByTheirLowByteOnly)
{
    record->qos = -1;
    qz_copy(record->vlan, sizeof record->vlan, "20");
    req.replace_result = 0x1FF;
    ovxrespond(&req);
    EXPECT_NE(trace().find("Error adding TunnelType, ErrorCode -1\n"), std::string::npos);

    req.added.clear();
    req.replace_result = 0x200;  // low byte 0: success
    ovxrespond(&req);
    EXPECT_EQ(trace().find("ErrorCode 512"), std::string::npos);
}

TEST_F(RespondTest, SkippedRepliesSendAndAddNothing)
{
    initialise_library();
    fill_decision(record.get());
    qztest::SemaphoreCounts before = qztest::host_counts();
    struct Case {
        const char *name;
        void (*change)(qztest::FakeRequest &);
    };
    const Case cases[] = {
        {"access challenge", [](qztest::FakeRequest &r) { r.response_type = rcAccessChallenge; }},
        {"accounting point",
         [](qztest::FakeRequest &r) {
             r.control_point = 2;
             r.request_type = rcAccountingRequest;
         }},
        {"no nas port", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_NAS_PORT); }},
        {"no user name", [](qztest::FakeRequest &r) { r.request_attrs.erase(OVX_ATTR_USER_NAME); }},
        {"no record", [](qztest::FakeRequest &r) { r.user_access = nullptr; }},
    };
    for (const Case &c : cases) {
        qztest::FakeRequest r;
        qzclient::fill_access_request(r, record.get());
        c.change(r);
        EXPECT_EQ(ovxrespond(&r), nullptr) << c.name;
        EXPECT_TRUE(r.added.empty()) << c.name;
    }
    EXPECT_TRUE(qzclient::same_counts(before, qztest::host_counts()));
    EXPECT_TRUE(lines_starting(dm, "EVENT=Authorization").empty());
}

TEST_F(RespondTest, SemaphoreFailuresAddNothingAndGiveBackWhatWasTaken)
{
    initialise_library();
    fill_decision(record.get());

    qztest::SemaphoreCounts before = qztest::host_counts();
    qztest::host_fail_send_waits(true);
    EXPECT_EQ(ovxrespond(&req), nullptr);
    qztest::host_fail_send_waits(false);
    qztest::SemaphoreCounts after = qztest::host_counts();
    EXPECT_EQ(after.send_releases, before.send_releases);
    EXPECT_EQ(after.recv_waits, before.recv_waits);
    EXPECT_NE(trace().find("while trying to aquire send semaphore\n"), std::string::npos);

    before = after;
    qztest::host_fail_recv_waits(true);
    EXPECT_EQ(ovxrespond(&req), nullptr);
    qztest::host_fail_recv_waits(false);
    after = qztest::host_counts();
    EXPECT_EQ(after.send_releases, before.send_releases + 1);
    EXPECT_EQ(after.recv_releases, before.recv_releases);
    EXPECT_NE(trace().find("while trying to aquire recv semaphore\n"), std::string::npos);

    EXPECT_TRUE(req.added.empty());
    EXPECT_TRUE(lines_starting(dm, "EVENT=Authorization").empty());
    qzclient::expect_semaphores_balanced();
}

TEST_F(RespondTest, DmDownAddsNothing)
{
    fill_decision(record.get());
    dm.shutdown();
    EXPECT_EQ(ovxrespond(&req), nullptr);
    EXPECT_TRUE(req.added.empty());
    EXPECT_NE(trace().find("Unable to reach DM for location 10.0.0.1,14\n"), std::string::npos);
    qzclient::expect_semaphores_balanced();
}

}  // namespace
