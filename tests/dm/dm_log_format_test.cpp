#include <gtest/gtest.h>

#include <string>

#include "answer.h"
#include "log_format.h"
#include "message.h"
#include "policy.h"

namespace {

TEST(DmJson, EscapesQuotesBackslashesAndControlBytes)
{
    EXPECT_EQ(qzdm::json_string("plain text"), "\"plain text\"");
    EXPECT_EQ(qzdm::json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(qzdm::json_string("\t\n\r\b\f"), "\"\\t\\n\\r\\b\\f\"");
    EXPECT_EQ(qzdm::json_string(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(qzdm::json_string(std::string("a\0b", 3)), "\"a\\u0000b\"");
    EXPECT_EQ(qzdm::json_string("/"), "\"/\"");
}

TEST(DmJson, KeepsValidUtf8AndEscapesInvalidBytes)
{
    EXPECT_EQ(qzdm::json_string("J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x94\x92"),
              "\"J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x94\x92\"");
    // Latin-1 byte, truncated sequence, overlong encoding, surrogate.
    EXPECT_EQ(qzdm::json_string("J\xfcrgen"), "\"J\\u00fcrgen\"");
    EXPECT_EQ(qzdm::json_string("\xe2\x82"), "\"\\u00e2\\u0082\"");
    EXPECT_EQ(qzdm::json_string("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(qzdm::json_string("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
}

TEST(DmJson, RepeatedKeysBecomeAnArrayAtTheirFirstPlace)
{
    qzdm::Fields fields{{"EVENT", "Request"}, {"HI_STATE", "a"}, {"USER", "u"}, {"HI_STATE", "b"}};
    EXPECT_EQ(qzdm::json_fields(fields),
              "{\"EVENT\":\"Request\",\"HI_STATE\":[\"a\",\"b\"],\"USER\":\"u\"}");
    EXPECT_EQ(qzdm::json_fields({}), "{}");
}

TEST(DmJson, LogLineCarriesTimeConnEventFieldsAndAnswer)
{
    qzdm::Policy policy;
    std::string error;
    ASSERT_TRUE(qzdm::parse_policy("rule a\n match USER=a\"q\n answer ACCESS=true\n answer QOS=3\n",
                                   "t", &policy, &error));
    qzdm::Message request = qzdm::parse_message("EVENT=Request\tUSER=a\"q\t");
    qzdm::Decision decision = qzdm::decide(policy, request);
    timespec when{0, 123456789};
    EXPECT_EQ(qzdm::json_log_line(when, 7, request, &decision),
              "{\"time\":\"1970-01-01T00:00:00.123Z\",\"conn\":7,\"event\":\"Request\","
              "\"fields\":{\"EVENT\":\"Request\",\"USER\":\"a\\\"q\"},"
              "\"answer\":{\"rule\":\"a\",\"fields\":{\"ACCESS\":\"true\",\"QOS\":\"3\"},"
              "\"line\":\"ACCESS=true\\tQOS=3\\t\\n\"}}\n");

    qzdm::Message report = qzdm::parse_message("EVENT=Authorization\tUSER=a\t");
    EXPECT_EQ(qzdm::json_log_line(when, 1, report, nullptr),
              "{\"time\":\"1970-01-01T00:00:00.123Z\",\"conn\":1,\"event\":\"Authorization\","
              "\"fields\":{\"EVENT\":\"Authorization\",\"USER\":\"a\"}}\n");

    qzdm::Decision refusal = qzdm::decide(qzdm::Policy{}, request);
    std::string line = qzdm::json_log_line(when, 1, request, &refusal);
    EXPECT_NE(line.find("\"answer\":{\"rule\":null,\"fields\":{\"ACCESS\":\"false\"}"),
              std::string::npos)
        << line;

    qzdm::Message stray = qzdm::parse_message("hello\x01");
    EXPECT_EQ(qzdm::json_log_line(when, 2, stray, nullptr),
              "{\"time\":\"1970-01-01T00:00:00.123Z\",\"conn\":2,\"event\":null,"
              "\"line\":\"hello\\u0001\"}\n");
}

TEST(DmTextLog, ShowsEventThenFieldsAndTheAnswerWithItsRule)
{
    qzdm::Message m = qzdm::parse_message(
        "EVENT=Request\tREQ_ID=10.1.2.31700-0F-1F-AA-BB-CC\tUSER=alice\tPORT=17\t");
    EXPECT_EQ(qzdm::message_text(m),
              "Request REQ_ID=10.1.2.31700-0F-1F-AA-BB-CC USER=alice PORT=17");

    qzdm::Policy policy;
    std::string error;
    ASSERT_TRUE(qzdm::parse_policy("rule alice\n match USER=alice\n answer ACCESS=true\n"
                                   " answer VLAN_ID=20\ndefault\n answer ACCESS=false\n",
                                   "t", &policy, &error));
    EXPECT_EQ(qzdm::decision_text(qzdm::decide(policy, m)), "-> ACCESS=true VLAN_ID=20 (rule alice)");
    qzdm::Message other = qzdm::parse_message("EVENT=Request\tUSER=bob\t");
    EXPECT_EQ(qzdm::decision_text(qzdm::decide(policy, other)), "-> ACCESS=false (default)");
    EXPECT_EQ(qzdm::decision_text(qzdm::decide(qzdm::Policy{}, other)),
              "-> ACCESS=false (no rule matched, no default)");

    qzdm::Message info = qzdm::parse_message("EVENT=SERVERINFOSERVER=s v1OVXAPI=api");
    EXPECT_EQ(qzdm::message_text(info), "SERVERINFO SERVER=s v1OVXAPI=api");
}

TEST(DmTextLog, ControlBytesCannotReachTheTerminal)
{
    qzdm::Message m = qzdm::parse_message("EVENT=Request\tUSER=\x1b[2Jevil\\\t");
    EXPECT_EQ(qzdm::message_text(m), "Request USER=\\x1b[2Jevil\\\\");
    EXPECT_EQ(qzdm::message_text(qzdm::parse_message("junk\x7f")), "not a message: junk\\x7f");
}

TEST(DmTextLog, ClockHasMilliseconds)
{
    std::string text = qzdm::clock_text(timespec{1000, 5000000});
    ASSERT_EQ(text.size(), 12u) << text;
    EXPECT_EQ(text.substr(8), ".005");
    EXPECT_EQ(qzdm::iso_time_text(timespec{86400 + 3661, 999999999}), "1970-01-02T01:01:01.999Z");
}

}  // namespace
