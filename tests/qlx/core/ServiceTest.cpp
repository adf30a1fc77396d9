/* The service's judgement of what it receives, over a transport in memory:
 * malformed messages, refusals and the limit of open transactions. */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "tests/qlx/core/FakeTransport.h"

namespace {

using qlxtest::FakeMessage;
using qlxtest::HeaderBytes;

class ServiceCore : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(service_.Opened); }
    /* A transaction from peer p1 is delivered, answered, and its response
     * is the last reply sent, to p1. */
    void ExpectAnswered(uint64_t requestId, const std::string &data)
    {
        Put({HeaderBytes(1, 'T', 0, 0, requestId), "", data});
        ASSERT_TRUE(service_.Receive());
        EXPECT_EQ(service_.Message.MsgType, QLX_MSGTYPE_TRANSACTION);
        EXPECT_EQ(service_.Data(), data);
        ASSERT_TRUE(service_.Respond());
        EXPECT_EQ(service_.Transport->Sent.back(),
                  (FakeMessage{"p1", {HeaderBytes(1, 'R', 0, 0, requestId), "", data}}));
    }
    void Put(std::vector<std::string> frames)
    {
        service_.Transport->Queue.push_back({"p1", std::move(frames)});
    }

    qlxtest::FakeService service_;
};

struct Malformed {
    const char *Name;
    std::vector<std::string> Frames;
};

std::ostream &operator<<(std::ostream &out, const Malformed &shape)
{
    return out << shape.Name;
}

std::vector<Malformed> MalformedShapes()
{
    const std::string header = HeaderBytes(1, 'T', 0, 0, 9);
    const std::string id(24, 'I');
    return {
        {"OneFrame", {header}},
        {"TwoFrames", {header, ""}},
        {"FourFrames", {header, "", "data", "more"}},
        {"ManyTinyFrames", std::vector<std::string>(100000, "")},
        {"EmptyHeader", {"", "", "data"}},
        {"ShortHeader", {header.substr(0, 15), "", "data"}},
        {"LongHeader", {header + "!", "", "data"}},
        {"VersionZero", {HeaderBytes(0, 'T', 0, 0, 9), "", "data"}},
        {"VersionTwo", {HeaderBytes(2, 'T', 0, 0, 9), "", "data"}},
        {"UnknownKind", {HeaderBytes(1, 'Q', 0, 0, 9), "", "data"}},
        {"ResponseKind", {HeaderBytes(1, 'R', 0, 0, 9), "", "data"}},
        {"RefusalKind", {HeaderBytes(1, 'N', 0, 0, 9), "", ""}},
        {"MsgIdOfOneByte", {header, "I", "data"}},
        {"MsgIdOf23Bytes", {header, id.substr(1), "data"}},
        {"MsgIdOf25Bytes", {header, id + "I", "data"}},
        {"StopWithData", {HeaderBytes(1, 'S', 0, 0, 0), "", "stop"}},
        {"StopWithMsgId", {HeaderBytes(1, 'S', 0, 0, 0), id, ""}},
    };
}

class MalformedMessages : public ServiceCore, public testing::WithParamInterface<Malformed> {};

/* A malformed message is dropped without reply and counted; it fails no
 * call and the service goes on answering. */
TEST_P(MalformedMessages, AreDroppedCountedAndTheServiceKeepsAnswering)
{
    Put(GetParam().Frames);
    ExpectAnswered(77, "after");
    EXPECT_EQ(service_.Transport->Sent.size(), 1u);
    QLXSTATS stats = service_.Stats();
    EXPECT_EQ(stats.Malformed, 1u);
    EXPECT_EQ(stats.RepliesSent, 1u);
    EXPECT_EQ(stats.Refused, 0u);
    EXPECT_EQ(stats.Transactions, 1u);
    EXPECT_EQ(stats.StopRequests, 0u);
    EXPECT_EQ(service_.Get.Status, 0u);
}

INSTANTIATE_TEST_SUITE_P(Service, MalformedMessages, testing::ValuesIn(MalformedShapes()),
                         [](const testing::TestParamInfo<Malformed> &info) {
                             return std::string(info.param.Name);
                         });

/* Data over the maximum size is refused with its reason; the same data
 * in a datagram is dropped and counted; the maximum itself is delivered. */
TEST_F(ServiceCore, RefusesDataOverTheMaximumSize)
{
    const std::string tooLarge(qlx::MaxDataSize + 1, 'L');
    const std::string largest(qlx::MaxDataSize, 'M');
    Put({HeaderBytes(1, 'T', 0, 0, 5), "", tooLarge});
    Put({HeaderBytes(1, 'D', 0, 0, 6), "", tooLarge});
    ExpectAnswered(7, largest);
    EXPECT_EQ(service_.Transport->Sent.front(),
              (FakeMessage{"p1", {HeaderBytes(1, 'N', 0, QLXRC_DATA_TOO_LARGE, 5), "", ""}}));
    QLXSTATS stats = service_.Stats();
    EXPECT_EQ(stats.Refused, 1u);
    EXPECT_EQ(stats.RefusedTooLarge, 1u);
    EXPECT_EQ(stats.RefusedTooMany, 0u);
    EXPECT_EQ(stats.DatagramsDropped, 1u);
    EXPECT_EQ(stats.Malformed, 0u);
}

/* Every frame of a message received counts, and of a reply sent, the
 * header and message id included. */
TEST_F(ServiceCore, CountsTheBytesReceivedAndSent)
{
    ExpectAnswered(3, "twelve bytes");
    Put({HeaderBytes(1, 'T', 0, 0, 4), "", std::string(qlx::MaxDataSize + 1, 'L')});
    EXPECT_FALSE(service_.Receive());
    QLXSTATS stats = service_.Stats();
    EXPECT_EQ(stats.BytesReceived, 16u + 12u + 16u + qlx::MaxDataSize + 1);
    EXPECT_EQ(stats.BytesSent, 16u + 12u + 16u);
}

/* Past the limit of outstanding transactions a transaction is refused with
 * its reason; once one completes, the next is taken again. */
TEST_F(ServiceCore, RefusesTransactionsPastTheOutstandingLimit)
{
    for (uint64_t id = 1; id <= qlx::MaxOpenTransactions; ++id) {
        Put({HeaderBytes(1, 'T', 0, 0, id), "", "t"});
        ASSERT_TRUE(service_.Receive()) << id;
    }
    Put({HeaderBytes(1, 'T', 0, 0, qlx::MaxOpenTransactions + 1), "", "t"});
    EXPECT_FALSE(service_.Receive());
    EXPECT_EQ(qlx::LastError().PrimaryResult.ReasonCode, QLXRC_NO_MESSAGE);
    EXPECT_EQ(service_.Transport->Sent,
              (std::vector<FakeMessage>{
                  {"p1",
                   {HeaderBytes(1, 'N', 0, QLXRC_TOO_MANY_REQUESTS, qlx::MaxOpenTransactions + 1),
                    "", ""}}}));
    ASSERT_TRUE(service_.Respond());
    ExpectAnswered(9999, "room again");
    QLXSTATS stats = service_.Stats();
    EXPECT_EQ(stats.Refused, 1u);
    EXPECT_EQ(stats.RefusedTooMany, 1u);
    EXPECT_EQ(stats.RefusedTooLarge, 0u);
    EXPECT_EQ(stats.Transactions, qlx::MaxOpenTransactions + 1);
}

} // namespace
