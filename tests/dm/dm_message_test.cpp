#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line_buffer.h"
#include "message.h"

namespace {

using qzdm::MessageKind;

TEST(DmMessage, SplitsAnAuthorizationRequestIntoFields)
{
    qzdm::Message m = qzdm::parse_message(
        "EVENT=Request\tREQ_ID=10.1.2.31700-0F-1F-AA-BB-CC\tUSER=alice\tHI_STATE=quarantine\t"
        "CLIENT_MAC=00-0F-1F-AA-BB-CC\tNAS_IP=10.1.2.3\tPORT=17\tHI_STATE=\tRESPONSE=Accept\t");
    EXPECT_EQ(m.kind, MessageKind::AuthorizationRequest);
    EXPECT_EQ(m.event, "Request");
    ASSERT_EQ(m.fields.size(), 9u);
    EXPECT_EQ(m.fields[0].key, "EVENT");
    EXPECT_EQ(m.fields[1].value, "10.1.2.31700-0F-1F-AA-BB-CC");
    auto hi = qzdm::field_values(m, "HI_STATE");
    ASSERT_EQ(hi.size(), 2u);
    EXPECT_EQ(hi[0], "quarantine");
    EXPECT_EQ(hi[1], "");
    EXPECT_EQ(m.fields[8].value, "Accept");
}

TEST(DmMessage, ValuesKeepBlanksAndEqualsSigns)
{
    qzdm::Message m = qzdm::parse_message("EVENT=Request\tUSER=a b=c\tNOEQUALS\t\t");
    ASSERT_EQ(m.fields.size(), 3u);
    EXPECT_EQ(m.fields[1].key, "USER");
    EXPECT_EQ(m.fields[1].value, "a b=c");
    EXPECT_EQ(m.fields[2].key, "NOEQUALS");
    EXPECT_EQ(m.fields[2].value, "");
}

TEST(DmMessage, ClassifiesEveryEvent)
{
    struct Case {
        const char *line;
        MessageKind kind;
    } cases[] = {
        {"EVENT=Startup\t", MessageKind::Startup},
        {"EVENT=Shutdown\t", MessageKind::Shutdown},
        {"EVENT=Authorization\tUSER=a\tRESPONSE=Accept\t", MessageKind::AuthorizationReport},
        {"EVENT=AccountingRequest\tNAS_IP=1.2.3.4\t", MessageKind::AccountingRequest},
        {"EVENT=Request\tUSER=a\t", MessageKind::AuthorizationRequest},
        {"EVENT=Accept\tUSER=a\t", MessageKind::AuthorizationRequest},
        {"EVENT=Unknown\t", MessageKind::AuthorizationRequest},
        {"EVENT=StartupX\t", MessageKind::AuthorizationRequest},
        {"EVENT=SERVERINFOSERVER=x", MessageKind::ServerInfo},
        {"USER=alice\t", MessageKind::NotAMessage},
        {"event=Request\t", MessageKind::NotAMessage},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qzdm::parse_message(c.line).kind, c.kind) << c.line;
}

TEST(DmMessage, ServerInfoIsOneField)
{
    const char line[] = "EVENT=SERVERINFOSERVER=QZ OVX  freeRADIUS Plugin version B.02.45"
                        "OVXAPI=OVX Native API B.02.43, with EI extensions";
    qzdm::Message m = qzdm::parse_message(line);
    EXPECT_EQ(m.event, "SERVERINFO");
    ASSERT_EQ(m.fields.size(), 1u);
    EXPECT_EQ(m.fields[0].key, "EVENT");
    EXPECT_EQ(m.fields[0].value, std::string(line).substr(6));
}

std::vector<qzdm::LineEvent> feed(qzdm::LineBuffer *buffer, const std::string &bytes)
{
    std::vector<qzdm::LineEvent> events;
    qzdm::feed_lines(buffer, bytes, &events);
    return events;
}

TEST(DmLineBuffer, JoinsPiecesAcrossReadsAndSplitsSeveralLinesInOneRead)
{
    qzdm::LineBuffer buffer;
    EXPECT_TRUE(feed(&buffer, "EVENT=").empty());
    EXPECT_TRUE(feed(&buffer, "Request\t").empty());
    EXPECT_TRUE(feed(&buffer, "USER=alice\t").empty());
    auto events = feed(&buffer, "\nEVENT=Authorization\tUSER=alice\t\n\nEVENT=Acc");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].text, "EVENT=Request\tUSER=alice\t");
    EXPECT_EQ(events[1].text, "EVENT=Authorization\tUSER=alice\t");
    EXPECT_EQ(events[2].kind, qzdm::LineEvent::Line);
    EXPECT_EQ(events[2].text, "");  // the empty line after the report
    EXPECT_EQ(buffer.pending, "EVENT=Acc");
}

TEST(DmLineBuffer, DropsOverlongLineOnceAndRecoversAtItsEnd)
{
    qzdm::LineBuffer buffer;
    buffer.max_line = 16;
    EXPECT_TRUE(feed(&buffer, "0123456789").empty());
    auto events = feed(&buffer, "0123456789");  // 20 bytes, no line end yet
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, qzdm::LineEvent::TooLong);
    EXPECT_TRUE(feed(&buffer, std::string(100000, 'x')).empty());
    events = feed(&buffer, "tail\nEVENT=Startup\t\n");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "EVENT=Startup\t");
    EXPECT_TRUE(buffer.pending.empty());
    EXPECT_FALSE(buffer.discarding);
}

TEST(DmLineBuffer, OverlongLineEndingInTheSameReadDoesNotSwallowTheNext)
{
    qzdm::LineBuffer buffer;
    buffer.max_line = 8;
    auto events = feed(&buffer, "0123456789abc\nok\n");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, qzdm::LineEvent::TooLong);
    EXPECT_EQ(events[1].text, "ok");
    // Exactly max_line bytes is still a line.
    events = feed(&buffer, "12345678\n");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "12345678");
}

TEST(DmLineBuffer, DropsTrailingCarriageReturn)
{
    qzdm::LineBuffer buffer;
    auto events = feed(&buffer, "EVENT=Startup\t\r\n");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "EVENT=Startup\t");
}

}  // namespace
