#include <gtest/gtest.h>

#include <string>

#include "answer.h"
#include "message.h"
#include "policy.h"

namespace {

qzdm::Policy policy_from(const std::string &text)
{
    qzdm::Policy policy;
    std::string error;
    EXPECT_TRUE(qzdm::parse_policy(text, "test", &policy, &error)) << error;
    return policy;
}

std::string answer_for(const qzdm::Policy &policy, const std::string &request)
{
    return qzdm::decide(policy, qzdm::parse_message(request)).line;
}

TEST(DmAnswer, WildcardMatching)
{
    using qzdm::wildcard_match;
    EXPECT_TRUE(wildcard_match("alice", "alice", false));
    EXPECT_FALSE(wildcard_match("alice", "alice2", false));
    EXPECT_FALSE(wildcard_match("alice", "alic", false));
    EXPECT_TRUE(wildcard_match("*", "", false));
    EXPECT_TRUE(wildcard_match("a*", "a", false));
    EXPECT_TRUE(wildcard_match("*@corp", "bob@corp", false));
    EXPECT_FALSE(wildcard_match("*@corp", "bob@corp.example", false));
    EXPECT_TRUE(wildcard_match("10.*.*.1", "10.20.30.1", false));
    EXPECT_FALSE(wildcard_match("10.*.*.1", "10.20.30.12", false));
    // Needs backtracking: the first "ab" candidate is not the right one.
    EXPECT_TRUE(wildcard_match("*ab*abc", "xabyabababc", false));
    EXPECT_TRUE(wildcard_match("**a**", "bab", false));
    EXPECT_FALSE(wildcard_match("Alice", "alice", false));
    EXPECT_TRUE(wildcard_match("00-0F-1F-*", "00-0f-1f-aa-bb-cc", true));
    EXPECT_FALSE(wildcard_match("", "x", false));
    // A hostile value against a pathological pattern finishes quickly.
    EXPECT_FALSE(wildcard_match("*a*a*a*a*a*a*a*b", std::string(20000, 'a'), false));
}

TEST(DmAnswer, FirstMatchingRuleWinsAndAllMatchesMustHold)
{
    qzdm::Policy policy = policy_from(
        "rule lab\n"
        "  match USER=alice\n"
        "  match NAS_IP=10.9.*\n"
        "  answer ACCESS=true\n  answer VLAN_ID=90\n"
        "rule alice\n  match USER=alice\n  answer ACCESS=true\n  answer VLAN_ID=20\n"
        "rule alice-again\n  match USER=alice\n  answer ACCESS=false\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tUSER=alice\tNAS_IP=10.9.0.1\tPORT=1\t"),
              "ACCESS=true\tVLAN_ID=90\t\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tUSER=alice\tNAS_IP=10.1.0.1\tPORT=1\t"),
              "ACCESS=true\tVLAN_ID=20\t\n");
    qzdm::Decision d = qzdm::decide(policy, qzdm::parse_message("EVENT=Request\tUSER=alice\t"));
    ASSERT_NE(d.rule, nullptr);
    EXPECT_EQ(d.rule->name, "alice");
    EXPECT_FALSE(d.from_default);
}

TEST(DmAnswer, MacKeysIgnoreCaseOtherKeysDoNot)
{
    qzdm::Policy policy = policy_from(
        "rule dev\n  match CLIENT_MAC=00-0F-1F-*\n  answer VLAN_ID=30\n"
        "rule sw\n  match NAS_MAC=aa-bb-*\n  answer VLAN_ID=40\n"
        "rule user\n  match USER=Bob\n  answer VLAN_ID=50\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tCLIENT_MAC=00-0f-1f-01-02-03\t"),
              "VLAN_ID=30\t\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tNAS_MAC=AA-BB-CC-DD-EE-FF\t"), "VLAN_ID=40\t\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tUSER=Bob\t"), "VLAN_ID=50\t\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tUSER=bob\t"), "ACCESS=false\t\n");
}

TEST(DmAnswer, MissingFieldNeverMatchesEvenAStar)
{
    qzdm::Policy policy = policy_from(
        "rule mac\n  match CLIENT_MAC=*\n  answer ACCESS=true\n"
        "default\n  answer ACCESS=false\n  answer VLAN_ID=99\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tUSER=x\tNAS_IP=1.2.3.4\t"),
              "ACCESS=false\tVLAN_ID=99\t\n");
    // Present but empty is still present.
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tCLIENT_MAC=\t"), "ACCESS=true\t\n");
}

TEST(DmAnswer, RepeatedRequestFieldMatchesOnAnyOccurrence)
{
    qzdm::Policy policy = policy_from(
        "rule healthy\n  match HI_STATE=healthy\n  match HI_STATE=ei-*\n  answer ACCESS=true\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tHI_STATE=healthy\tNAS_IP=x\tHI_STATE=ei-ok\t"),
              "ACCESS=true\t\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\tHI_STATE=healthy\t"), "ACCESS=false\t\n");
}

TEST(DmAnswer, DefaultWhenNothingMatchesAndBuiltInRefusalWithoutDefault)
{
    // The default section is the fallback wherever it is written.
    qzdm::Policy with_default = policy_from(
        "default\n  answer ACCESS=true\n  answer VLAN_ID=99\n"
        "rule m\n  match USER=mallory\n  answer ACCESS=false\n");
    qzdm::Decision d = qzdm::decide(with_default, qzdm::parse_message("EVENT=Request\tUSER=eve\t"));
    EXPECT_EQ(d.line, "ACCESS=true\tVLAN_ID=99\t\n");
    EXPECT_TRUE(d.from_default);
    EXPECT_EQ(answer_for(with_default, "EVENT=Request\tUSER=mallory\t"), "ACCESS=false\t\n");

    qzdm::Policy without = policy_from("rule m\n  match USER=mallory\n  answer ACCESS=true\n");
    d = qzdm::decide(without, qzdm::parse_message("EVENT=Request\tUSER=eve\t"));
    EXPECT_EQ(d.line, "ACCESS=false\t\n");
    EXPECT_EQ(d.rule, nullptr);
    ASSERT_EQ(d.fields.size(), 1u);
    EXPECT_EQ(d.fields[0].key, "ACCESS");
}

TEST(DmAnswer, RuleWithoutMatchesTakesEveryRequest)
{
    qzdm::Policy policy = policy_from("rule all\n  answer ACCESS=true\n  answer QOS=0\n"
                                      "default\n  answer ACCESS=false\n");
    EXPECT_EQ(answer_for(policy, "EVENT=Request\t"), "ACCESS=true\tQOS=0\t\n");
}

TEST(DmAnswer, FormatsFieldsInOrderEachWithTab)
{
    qzdm::Fields fields{{"ACCESS", "true"}, {"ACL", "n|permit in ip from any to any"}, {"QOS", "3"}};
    EXPECT_EQ(qzdm::format_answer(fields),
              "ACCESS=true\tACL=n|permit in ip from any to any\tQOS=3\t\n");
    EXPECT_EQ(qzdm::format_answer({}), "\n");
}

}  // namespace

namespace {

// The stand-in DM binds its answers: "REQ_ID=<id>\t" first, unless told not to.
TEST(DmAnswerBinding, AnswerStartsWithTheRequestsId)
{
    qzdm::Policy policy;
    qzdm::Message request = qzdm::parse_message("EVENT=Request\tREQ_ID=10.0.0.114AABB\tUSER=alice\t");
    qzdm::Decision refusal = qzdm::decide(policy, request);
    EXPECT_EQ(qzdm::answer_bytes(refusal, request, true), "REQ_ID=10.0.0.114AABB\tACCESS=false\t\n");
    EXPECT_EQ(qzdm::answer_bytes(refusal, request, false), "ACCESS=false\t\n");
    // A request without REQ_ID gets the plain answer.
    qzdm::Message anonymous = qzdm::parse_message("EVENT=Request\tUSER=alice\t");
    EXPECT_EQ(qzdm::answer_bytes(refusal, anonymous, true), "ACCESS=false\t\n");
}

}  // namespace
