#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "policy.h"

namespace {

using qzdm::Policy;

std::string parse_error(const std::string &text)
{
    Policy policy;
    std::string error;
    EXPECT_FALSE(qzdm::parse_policy(text, "p.conf", &policy, &error)) << text;
    return error;
}

TEST(DmPolicy, ParsesRulesMatchesAnswersAndDefaultInOrder)
{
    const char text[] =
        "# leading comment\n"
        "\n"
        "rule alice   # trailing comment\n"
        "  match USER=alice\n"
        "  match CLIENT_MAC = 00-0F-1F-*\n"
        "\tanswer ACCESS=true\r\n"
        "  answer ACL=staff|permit in tcp from any to 10.0.0.0/8|deny#1 in ip\n"
        "  answer QOS=-3\n"
        "default\n"
        "  answer ACCESS=false\n"
        "rule late\n"
        "  answer ACCESS=true\n";
    Policy policy;
    std::string error;
    ASSERT_TRUE(qzdm::parse_policy(text, "p.conf", &policy, &error)) << error;
    ASSERT_EQ(policy.rules.size(), 2u);
    const qzdm::Rule &alice = policy.rules[0];
    EXPECT_EQ(alice.name, "alice");
    EXPECT_EQ(alice.line, 3);
    ASSERT_EQ(alice.matches.size(), 2u);
    EXPECT_EQ(alice.matches[1].key, "CLIENT_MAC");
    EXPECT_EQ(alice.matches[1].value, "00-0F-1F-*");
    ASSERT_EQ(alice.answers.size(), 3u);
    EXPECT_EQ(alice.answers[0].value, "true");  // CR of a CRLF file removed
    // '#' inside a value is kept; only "#" after a blank opens a comment.
    EXPECT_EQ(alice.answers[1].value, "staff|permit in tcp from any to 10.0.0.0/8|deny#1 in ip");
    EXPECT_EQ(alice.answers[2].value, "-3");
    ASSERT_TRUE(policy.fallback.has_value());
    EXPECT_EQ(policy.fallback->answers[0].value, "false");
    EXPECT_EQ(policy.rules[1].name, "late");
}

TEST(DmPolicy, ExampleFileIsValid)
{
    Policy policy;
    std::string error;
    ASSERT_TRUE(qzdm::load_policy(QZOVX_EXAMPLE_POLICY, &policy, &error)) << error;
    ASSERT_GE(policy.rules.size(), 3u);
    EXPECT_EQ(policy.rules[0].name, "alice");
    EXPECT_EQ(policy.rules[1].name, "mallory");
    EXPECT_TRUE(policy.fallback.has_value());
}

TEST(DmPolicy, RefusalsNameFileLineAndReason)
{
    struct Case {
        const char *text;
        const char *expected;
    } cases[] = {
        {"rule a\n  answer ACCESS=true\nallow all\n", "p.conf:3: unknown directive 'allow'"},
        {"\n\nmatch USER=x\n", "p.conf:3: match before any rule"},
        {"answer ACCESS=true\n", "p.conf:1: answer before any rule"},
        {"rule a\n  answer ACCESS=true\nrule a\n  answer ACCESS=true\n",
         "p.conf:3: duplicate rule name 'a' (first at line 1)"},
        {"rule a\n  match COLOR=red\n  answer ACCESS=true\n", "p.conf:2: unknown match key 'COLOR'"},
        {"rule a\n  answer ACCES=true\n", "p.conf:2: unknown answer key 'ACCES'"},
        {"rule a\n  answer QOS=high\n", "p.conf:2: bad number 'high' for QOS"},
        {"rule a\n  answer TIME=2147483648\n", "p.conf:2: bad number '2147483648' for TIME"},
        {"rule a\n  answer BW_MAX_IN=12k\n", "p.conf:2: bad number '12k' for BW_MAX_IN"},
        {"rule a\n  answer VLAN_ID=\n", "p.conf:2: empty value for VLAN_ID"},
        {"rule a\n  match USER=  # nobody\n  answer ACCESS=true\n", "p.conf:2: empty value for USER"},
        {"rule a\n  answer APG=a\tb\n", "p.conf:2: value of APG contains a TAB"},
        {"rule a\n  answer APG=a\x01" "b\n", "p.conf:2: value of APG contains a control character"},
        {"rule a\n  answer ACCESS=true\n  answer ACCESS=false\n",
         "p.conf:3: duplicate answer key ACCESS in rule 'a'"},
        {"rule a\n  match USER\n", "p.conf:2: match needs KEY=VALUE, got 'USER'"},
        {"rule\n", "p.conf:1: rule needs a name"},
        {"rule two words\n", "p.conf:1: rule name must be one word, got 'two words'"},
        {"default\n  answer ACCESS=true\ndefault\n", "p.conf:3: duplicate default (first at line 1)"},
        {"default\n  match USER=x\n",
         "p.conf:2: match in the default section (the default matches everything)"},
        {"rule a\n  match USER=x\nrule b\n  answer ACCESS=true\n", "p.conf:1: rule 'a' has no answer"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(parse_error(c.text), c.expected) << c.text;
    }
    const char with_nul[] = "rule a\n  answer ACCESS=true\n\0\n";
    EXPECT_EQ(parse_error(std::string(with_nul, sizeof with_nul - 1)), "p.conf:3: NUL byte in line");
}

TEST(DmPolicy, RefusesAnAnswerLongerThanTheAgentReads)
{
    std::string text = "rule big\n  answer ACCESS=true\n  answer ACL=x|" +
                       std::string(3100, 'a') + "\n";
    std::string error = parse_error(text);
    EXPECT_EQ(error.rfind("p.conf:1: answer of rule 'big' is ", 0), 0u) << error;
}

TEST(DmPolicy, NumbersAcceptSignAndInt32Limits)
{
    Policy policy;
    std::string error;
    EXPECT_TRUE(qzdm::parse_policy("rule a\n answer QOS=+7\n answer TIME=2147483647\n"
                                   " answer SOURCE=-2147483648\n",
                                   "p", &policy, &error))
        << error;
    EXPECT_FALSE(qzdm::parse_policy("rule a\n answer SOURCE=-2147483649\n", "p", &policy, &error));
    EXPECT_FALSE(qzdm::parse_policy("rule a\n answer SOURCE=-\n", "p", &policy, &error));
}

TEST(DmPolicy, MissingFileIsReportedWithItsName)
{
    Policy policy;
    std::string error;
    EXPECT_FALSE(qzdm::load_policy("/nonexistent/qzovx-policy.conf", &policy, &error));
    EXPECT_EQ(error, "/nonexistent/qzovx-policy.conf:0: cannot open: No such file or directory");
}

TEST(DmPolicy, LoadReportsErrorsWithThePathGiven)
{
    char path[] = "/tmp/dm_policy_testXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "rule a\n  answer ACCESS=maybe\n  answer VLAN_ID=x y\n  answer QOS=1.5\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    Policy policy;
    std::string error;
    EXPECT_FALSE(qzdm::load_policy(path, &policy, &error));
    EXPECT_EQ(error, std::string(path) + ":4: bad number '1.5' for QOS");
    unlink(path);
}

}  // namespace
