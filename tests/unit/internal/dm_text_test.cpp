// The protocol text on its own, without a socket: messages built whole and
// the choice of the lines that answer a request.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dm_answer.h"
#include "dm_message.h"

namespace {

TEST(DmMessage, FieldsAreTabTerminatedAndValuesCannotBreakThem)
{
    DmMessage message;
    message.raw("EVENT=Request\t");
    message.text_field("USER", "bob\tUSER=root\r\nEVENT=x");
    message.number_field("PORT", -14);
    message.text_field("EMPTY", nullptr);
    message.raw("\n");
    EXPECT_EQ(message.text(), "EVENT=Request\tUSER=bob USER=root  EVENT=x\tPORT=-14\tEMPTY=\t\n");
    EXPECT_EQ(message.length(), static_cast<int>(message.text().size()));
}

TEST(DmMessage, FixedEvents)
{
    EXPECT_EQ(kStartupEvent, "EVENT=Startup\t\n");
    EXPECT_EQ(kShutdownEvent, "EVENT=Shutdown\t\n");
    EXPECT_EQ(server_info_event("S 1", "A 2"), "EVENT=SERVERINFOSERVER=S 1OVXAPI=A 2\n");
    EXPECT_EQ(server_info_event(nullptr, nullptr), "EVENT=SERVERINFOSERVER=OVXAPI=\n");
}

struct Kept {
    std::string answer;
    bool found;
    int dropped;
    std::vector<std::string> foreign;
};

Kept keep(std::string text, const std::string &req_id)
{
    Kept result;
    AnswerLines lines = keep_answer_lines(
        text.data(), text.size(), req_id,
        [](std::string_view line, void *context) {
            static_cast<std::vector<std::string> *>(context)->emplace_back(line);
        },
        &result.foreign);
    result.answer = text.substr(0, lines.length);
    result.found = lines.found;
    result.dropped = lines.dropped;
    return result;
}

TEST(AnswerLines, OwnLineIsKeptOthersAreDropped)
{
    Kept k = keep("REQ_ID=a\tACCESS=true\tVLAN_ID=1\nREQ_ID=b\tACCESS=false\tVLAN_ID=2\n", "b");
    EXPECT_TRUE(k.found);
    EXPECT_EQ(k.answer, "REQ_ID=b\tACCESS=false\tVLAN_ID=2\n");
    EXPECT_EQ(k.dropped, 1);
    EXPECT_EQ(k.foreign, std::vector<std::string>{"REQ_ID=a\tACCESS=true\tVLAN_ID=1"});
}

TEST(AnswerLines, OnlyOtherRequestsMeansNoAnswerYet)
{
    Kept k = keep("REQ_ID=a\tACCESS=true\nREQ_ID=c\tACCESS=true\n", "b");
    EXPECT_FALSE(k.found);
    EXPECT_EQ(k.answer, "");
    EXPECT_EQ(k.dropped, 2);
}

TEST(AnswerLines, LinesWithoutRequestIdAreTheAnswerAsBefore)
{
    Kept k = keep("ACCESS=true\nVLAN_ID=3\n", "b");
    EXPECT_TRUE(k.found);
    EXPECT_EQ(k.answer, "ACCESS=true\nVLAN_ID=3\n");
    EXPECT_EQ(k.dropped, 0);
}

TEST(AnswerLines, ForeignLinesAmongTheAnswerLinesAreDropped)
{
    Kept k = keep("REQ_ID=b\tACCESS=true\nREQ_ID=a\tVLAN_ID=666\nVLAN_ID=4\n", "b");
    EXPECT_EQ(k.answer, "REQ_ID=b\tACCESS=true\nVLAN_ID=4\n");
    EXPECT_EQ(k.dropped, 1);
}

TEST(AnswerLines, RequestIdCountsOnlyWhereAFieldStarts)
{
    // Inside another field's value, or on a comment line, it names nothing.
    Kept k = keep("PROFILE=xREQ_ID=a\tACCESS=true\n", "b");
    EXPECT_EQ(k.answer, "PROFILE=xREQ_ID=a\tACCESS=true\n");
    k = keep("#REQ_ID=a\nACCESS=true\n", "b");
    EXPECT_EQ(k.answer, "#REQ_ID=a\nACCESS=true\n");
    // The value is compared whole, up to TAB or CR.
    k = keep("REQ_ID=bb\tACCESS=true\nREQ_ID=b\r\nACCESS=false\n", "b");
    EXPECT_EQ(k.answer, "REQ_ID=b\r\nACCESS=false\n");
}

TEST(AnswerLines, WithoutARequestIdEveryLineIsKept)
{
    Kept k = keep("REQ_ID=a\tACCESS=true\n", "");
    EXPECT_TRUE(k.found);
    EXPECT_EQ(k.answer, "REQ_ID=a\tACCESS=true\n");
}

TEST(AnswerLines, RequestIdOfALine)
{
    std::string_view id;
    EXPECT_TRUE(answer_line_req_id("ACCESS=true\tREQ_ID=x1\tVLAN_ID=2", id));
    EXPECT_EQ(id, "x1");
    EXPECT_TRUE(answer_line_req_id("REQ_ID=", id));
    EXPECT_EQ(id, "");
    EXPECT_FALSE(answer_line_req_id("NOREQ_ID=x", id));
    EXPECT_FALSE(answer_line_req_id("", id));
}

}  // namespace
