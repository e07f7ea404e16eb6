// Reading the DM's decision response: keys, conversions, field widths, the
// field-start rule, and the splitting of the access-control list.
#include <stdint.h>

#include <string>

#include "Authif.h"
#include "client_fixture.h"

namespace {

using qzclient::ClientTest;

class VerifyTest : public ClientTest {};

TEST_F(VerifyTest, EveryKeyIsStoredWithItsConversionAndWidth)
{
    dm.answer("ACCESS=true\tVLAN_ID=" + std::string(100, 'v') +
              "\tQOS=\tBW_MAX_IN=99999999999\tBW_MAX_OUT=-5\tTIME=3600\tSOURCE= +3"
              "\tRETURN_CODE=12abc\tAPG=staff\tPROFILE=prof\tLOCATION=bldg-4\tHI_STATE=ok"
              "\tGLOBAL_RULE=abcdefgh\tRULE_NO=1234567\tVLAN_INCAP=vi\tQOS_INCAP=qi"
              "\tBW_MAX_INCAP=bi\tACL_INCAP=ai\tDEFAULT_CAP=di\tACL=acl1|permit ip|deny ip\r\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);

    EXPECT_EQ(record->allowed, 1);
    EXPECT_EQ(std::string(record->vlan), std::string(79, 'v'));
    EXPECT_EQ(record->qos, 0);  // present but empty: a QoS decision of 0
    EXPECT_EQ(record->bw, 2147483647u);
    EXPECT_EQ(record->egress, static_cast<uint32_t>(-5));
    EXPECT_EQ(record->time, 3600u);
    EXPECT_EQ(record->src, 3u);
    EXPECT_EQ(record->return_code, 12u);
    EXPECT_STREQ(record->apg, "staff");
    EXPECT_STREQ(record->profile, "prof");
    EXPECT_STREQ(record->ovx_location, "bldg-4");
    EXPECT_STREQ(record->clientstate, "ok");
    EXPECT_STREQ(record->GLOBAL_RULE, "abcde");
    EXPECT_STREQ(record->RULE_NO, "12345");
    EXPECT_STREQ(record->VLAN_INCAP, "vi");
    EXPECT_STREQ(record->QOS_INCAP, "qi");
    EXPECT_STREQ(record->BW_MAX_INCAP, "bi");
    EXPECT_STREQ(record->ACL_INCAP, "ai");
    EXPECT_STREQ(record->DEFAULT_CAP, "di");
    EXPECT_STREQ(record->acl, "acl1|permit ip|deny ip");
    ASSERT_EQ(record->aceCt, 2);
    EXPECT_STREQ(record->aces[0], "permit ip");
    EXPECT_STREQ(record->aces[1], "deny ip");

    std::string text = trace();
    EXPECT_NE(text.find("DM Response: {ACCESS=true, VLAN_ID=" + std::string(100, 'v') +
                        ", QOS=0, BW_MAX_IN=2147483647, BW_MAX_OUT=-5, TIME=3600, SOURCE=3"
                        ", RETURN_CODE=12, APG=staff, PROFILE=prof, LOCATION=bldg-4, HI_STATE=ok"
                        ", ACL=acl1|permit ip|deny ip"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(", GLOBAL_RULE=abcdefgh, RULE_NO=1234567, VLAN_INCAP=vi, QOS_INCAP=qi"
                        ", BW_MAX_INCAP=bi, ACL_INCAP=ai, DEFAULT_CAP=di}\n"),
              std::string::npos);
}

TEST_F(VerifyTest, AnswerWithOnlyAccessChangesNothingElse)
{
    dm.answer("ACCESS=true\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_EQ(record->qos, -1);
    EXPECT_EQ(record->vlan[0], '\0');
    EXPECT_EQ(record->time, 0u);
    EXPECT_EQ(record->aceCt, 0);
    EXPECT_NE(trace().find("DM Response: {ACCESS=true}\n"), std::string::npos);
}

TEST_F(VerifyTest, AnswerOverSeveralCrLfLines)
{
    dm.answer("PROFILE=p\r\nVLAN_ID=20\r\nACCESS=true\r\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_STREQ(record->vlan, "20");
    EXPECT_STREQ(record->profile, "p");
}

TEST_F(VerifyTest, AnswerSplitOverTwoWritesIsReadWhole)
{
    dm.answer_split("ACCESS=true\tVLAN_ID=", "9\n", 100);
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_STREQ(record->vlan, "9");
}

// Keys count only where a field starts: at a line start or after a TAB.
TEST_F(VerifyTest, KeysMatchOnlyAtTheStartOfAField)
{
    struct Case {
        const char *answer;
        int verdict;
    };
    const Case cases[] = {
        {"NOACCESS=true\n", rcAccessReject},
        {"PROFILE=x ACCESS=true\n", rcAccessReject},
        {"PROFILE=x\tACCESS=true\n", rcAccessAccept},
        {"#ACCESS=true\n", rcAccessReject},
        {"#ACCESS=true\nVLAN_ID=3\tACCESS=true\n", rcAccessAccept},
        {"ACCESS=TRUE\n", rcAccessReject},
        {"ACCESS=true1\n", rcAccessReject},
        {"ACCESS=false\tACCESS=true\n", rcAccessReject},
        {"\n", rcAccessReject},
    };
    for (const Case &c : cases) {
        auto own = qzclient::zeroed_record();
        req.user_access = own.get();
        dm.answer(c.answer);
        EXPECT_EQ(ovxauthorize(&req), c.verdict) << c.answer;
    }
}

TEST_F(VerifyTest, ValuesAreTakenFromTheirOwnFieldOnly)
{
    dm.answer("ACCESS=true\tSESSION_TIME=5\tXQOS=4\tPROFILE=a VLAN_ID=99\tTIME=7\tVLAN_ID=1\tVLAN_ID=2\n");
    EXPECT_EQ(ovxauthorize(&req), rcAccessAccept);
    EXPECT_EQ(record->time, 7u);
    EXPECT_EQ(record->qos, -1);
    EXPECT_STREQ(record->profile, "a VLAN_ID=99");
    EXPECT_STREQ(record->vlan, "1");  // the first occurrence counts
}

// An answer that does not fit the 3071-byte buffer is no decision, and its
// late tail ("...ACCESS=true\tVLAN_ID=666") is never read as the next
// request's answer.
TEST_F(VerifyTest, AnswerLongerThanTheBufferIsNoDecisionAndItsTailIsNeverAnAnswer)
{
    dm.answer_split("ACCESS=false\tPROFILE=" + std::string(4000, 'p'), "\tACCESS=true\tVLAN_ID=666\n", 200);
    dm.answer_split("", "ACCESS=false\tVLAN_ID=6\n", 400);
    EXPECT_EQ(ovxauthorize(&req), rcUnknown);
    EXPECT_EQ(record->profile[0], '\0');
    EXPECT_EQ(record->allowed, 0);

    auto second = qzclient::zeroed_record();
    req.user_access = second.get();
    EXPECT_EQ(ovxauthorize(&req), rcAccessReject);
    EXPECT_STREQ(second->vlan, "6");
    EXPECT_EQ(dm.connections(), 2);
    EXPECT_NE(trace().find("without a line end: connection dropped\n"), std::string::npos);
    qzclient::expect_semaphores_balanced();
}

// ---- Splitting the access-control list ----

struct AclCase {
    const char *raw;
    std::vector<std::string> entries;
};

TEST(ParseAces, SplitsEntriesAfterTheListName)
{
    const AclCase cases[] = {
        {"name|e1|e2", {"e1", "e2"}},
        {"name|e1|", {"e1", ""}},
        {"name||e2", {"", "e2"}},
        {"name|", {}},
        {"name", {}},
        {"", {}},
        {"|only", {"only"}},
        {"name|a|b\nc|d", {"a", "b"}},  // a line feed ends the list
    };
    for (const AclCase &c : cases) {
        auto record = qzclient::zeroed_record();
        std::string raw = c.raw;
        int count = parseACEs(raw.data(), record.get());
        ASSERT_EQ(count, static_cast<int>(c.entries.size())) << c.raw;
        EXPECT_EQ(record->aceCt, count) << c.raw;
        EXPECT_STREQ(record->acl, c.raw);
        for (int i = 0; i < count; i++)
            EXPECT_EQ(record->aces[i], c.entries[i]) << c.raw << " entry " << i;
    }
}

TEST(ParseAces, KeepsAtMost128Entries)
{
    std::string raw = "name";
    for (int i = 0; i < 130; i++)
        raw += "|e" + std::to_string(i);
    auto record = qzclient::zeroed_record();
    EXPECT_EQ(parseACEs(raw.data(), record.get()), OVX_MAX_ACES);
    EXPECT_EQ(record->aceCt, OVX_MAX_ACES);
    EXPECT_STREQ(record->aces[0], "e0");
    EXPECT_STREQ(record->aces[127], "e127");
    EXPECT_EQ(std::string(record->acl), raw.substr(0, 2047));
}

TEST(ParseAces, EntriesAreCutAndTerminatedInTheirSlots)
{
    auto record = qzclient::zeroed_record();
    memset(record->aces[0], 'X', sizeof record->aces[0]);
    memset(record->aces[1], 'Y', sizeof record->aces[1]);
    std::string raw = "n|ab|" + std::string(3000, 'z');
    EXPECT_EQ(parseACEs(raw.data(), record.get()), 2);
    EXPECT_STREQ(record->aces[0], "ab");
    EXPECT_EQ(std::string(record->aces[1]), std::string(2047, 'z'));
    EXPECT_EQ(std::string(record->acl), raw.substr(0, 2047));

    // A shorter list later leaves no remains of the longer entry behind it.
    std::string shorter = "n|c";
    EXPECT_EQ(parseACEs(shorter.data(), record.get()), 1);
    EXPECT_STREQ(record->aces[0], "c");
    EXPECT_STREQ(record->acl, "n|c");
}

TEST_F(VerifyTest, AceSplittingIsTraced)
{
    initialise_library();
    auto own = qzclient::zeroed_record();
    std::string raw = "name||e2|e3";
    EXPECT_EQ(parseACEs(raw.data(), own.get()), 3);
    std::string text = trace();
    EXPECT_NE(text.find("strlen reports the length of this ACL name||e2|e3 \n as 11 \n :"), std::string::npos);
    EXPECT_EQ(text.find("parse ace: 0 "), std::string::npos);  // the empty entry is not traced
    EXPECT_NE(text.find("parse ace: 1 data: e2 \n"), std::string::npos);
    EXPECT_NE(text.find("EOS: parse ace: 2 data: e3 \n"), std::string::npos);
}

}  // namespace
