#include "client/traffic/ReplyChecks.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "binding/DefaultRecords.h"
#include "client/traffic/RequestText.h"

namespace {

std::string Expected(const std::string &request, uint32_t replySize, const std::string &element)
{
    std::vector<char> out(request.size() > replySize ? request.size() : replySize, 'X');
    uint32_t length = ExpectedReply(request.data(), static_cast<uint32_t>(request.size()),
                                    replySize, element, out.data());
    return std::string(out.data(), length);
}

std::string Zeros(size_t count)
{
    return std::string(count, '\0');
}

/* With room after the text, the tag replaces the line feed and is visible
 * whole, its terminating zero included. */
TEST(ExpectedReply, TagFitsInThePadding)
{
    EXPECT_EQ(Expected("abc\n" + Zeros(12), 0, "E1"), "abc; E1\n" + Zeros(8));
}

/* Without room the tag is cut at the data length: the length never changes. */
TEST(ExpectedReply, TagIsCutAtTheDataLength)
{
    EXPECT_EQ(Expected("abc\n" + Zeros(2), 0, "E1"), "abc; E");
    EXPECT_EQ(Expected("abc\n", 0, "E1"), "abc;");
}

/* A text without a line feed, or one cut before it, is sent back as it came. */
TEST(ExpectedReply, TextWithoutLineFeedIsUnchanged)
{
    EXPECT_EQ(Expected("abc" + Zeros(5), 0, "E1"), "abc" + Zeros(5));
    EXPECT_EQ(Expected("message 1 f", 0, "E1"), "message 1 f");
}

/* The tag goes at the last line feed of the text. */
TEST(ExpectedReply, TagGoesAtTheLastLineFeed)
{
    EXPECT_EQ(Expected(std::string("a\nb\n") + Zeros(6), 0, "E1"), "a\nb; E1\n" + Zeros(2));
}

/* Replaced data: the text copied into a buffer of the reply size, then
 * tagged, the rest zero. */
TEST(ExpectedReply, ReplacedDataHoldsTheTaggedText)
{
    EXPECT_EQ(Expected("abc\n" + Zeros(2), 12, "E1"), "abc; E1\n" + Zeros(4));
    EXPECT_EQ(Expected("abc\n", 300, "E1"), "abc; E1\n" + Zeros(292));
}

/* A replaced buffer keeps its last byte for the zero: the text is cut to
 * size - 1, and so is the tag. */
TEST(ExpectedReply, ReplacedDataKeepsItsLastByteZero)
{
    EXPECT_EQ(Expected("abc\n", 7, "E1"), std::string("abc; E") + '\0');
    EXPECT_EQ(Expected("abcdef\n", 5, "E1"), std::string("abcd") + '\0');
}

/* The checker against replies made as the server makes them. */
class ReplyCheckerTest : public testing::Test {
  protected:
    ReplyCheckerTest() { settings_.Element = "E1"; }

    /* A response to message seq whose data is data. */
    QLXREPLY Reply(std::string *data)
    {
        QLXREPLY reply = DefaultReply;
        reply.Kind = QLX_REPLY_RESPONSE;
        reply.DataLength = static_cast<uint32_t>(data->size());
        reply.Data = data->data();
        return reply;
    }
    /* The data of message seq as the server sends it back. */
    std::string ServerReply(uint64_t seq, uint32_t size, uint32_t replySize)
    {
        RequestText text("origin", 4096);
        return Expected(std::string(text.Fill(seq), size), replySize, "E1");
    }

    ClientSettings settings_;
};

/* A reply the server made of the request passes. */
TEST_F(ReplyCheckerTest, PassesTheServersReply)
{
    ReplyChecker checker(settings_, "origin");
    std::string data = ServerReply(5, 128, 0);
    EXPECT_NE(data.find("message 5 from origin; E1\n"), std::string::npos);
    EXPECT_TRUE(checker.CheckResponse(Reply(&data), 5, 128));
    EXPECT_EQ(checker.FirstFailure(), "");
}

/* A reply without the tag fails, and the failure shows where and what. */
TEST_F(ReplyCheckerTest, FailsAnUntaggedReply)
{
    ReplyChecker checker(settings_, "origin");
    RequestText text("origin", 64);
    std::string data(text.Fill(3), 40);
    EXPECT_FALSE(checker.CheckResponse(Reply(&data), 3, 40));
    EXPECT_EQ(checker.FirstFailure(),
              "message 3: reply data differs at byte 21 of 40: "
              "\"\\n\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\", "
              "expected \"; E1\\n\\x00\\x00\\x00\\x00\\x00\\x00\\x00\"");
}

/* Only the first failure is kept. */
TEST_F(ReplyCheckerTest, KeepsTheFirstFailure)
{
    ReplyChecker checker(settings_, "origin");
    std::string shortData(10, 'x');
    EXPECT_FALSE(checker.CheckResponse(Reply(&shortData), 7, 128));
    EXPECT_FALSE(checker.CheckResponse(Reply(&shortData), 8, 128));
    EXPECT_EQ(checker.FirstFailure(), "message 7: reply length 10, expected 128 as sent (give -e "
                                      "when the server replaces data with -s)");
}

/* With -e the reply must have a size in the range, holding the text. */
TEST_F(ReplyCheckerTest, ChecksReplacedDataAgainstTheExpectedRange)
{
    settings_.ExpectMin = 300;
    settings_.ExpectMax = 400;
    ReplyChecker checker(settings_, "origin");
    std::string data = ServerReply(9, 128, 350);
    EXPECT_TRUE(checker.CheckResponse(Reply(&data), 9, 128));
    std::string small = ServerReply(9, 128, 256);
    EXPECT_FALSE(checker.CheckResponse(Reply(&small), 9, 128));
    EXPECT_EQ(checker.FirstFailure(), "message 9: reply length 256, expected 300 to 400 (-e)");
}

/* With a message id every response must carry the same 24 bytes back. */
TEST_F(ReplyCheckerTest, ChecksTheMessageIdEchoed)
{
    settings_.MsgIdGiven = true;
    memcpy(settings_.MsgId, "abc                    ", 24);
    ReplyChecker checker(settings_, "origin");
    std::string data = ServerReply(1, 64, 0);
    QLXREPLY reply = Reply(&data);
    EXPECT_FALSE(checker.CheckResponse(reply, 1, 64));
    EXPECT_EQ(checker.FirstFailure(), "message 1: the response carries no message id; expected "
                                      "\"abc                    \\x00\"");
    reply.MsgIdLength = 24;
    memcpy(reply.MsgId, settings_.MsgId, 24);
    EXPECT_TRUE(checker.CheckResponse(reply, 1, 64));
    reply.MsgId[0] = 'x';
    EXPECT_FALSE(checker.CheckResponse(reply, 1, 64));
}

} // namespace
