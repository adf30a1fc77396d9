#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"
#include "tests/support/RawPeer.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;
using qlxtest::MsgId;
using qlxtest::ReplyData;
using tfxtest::WireHeader;

/* A service E1 and a client of it, both open. */
class ServiceAndClient : public qlxtest::QlxTest {
  protected:
    void SetUp() override
    {
        QlxTest::SetUp();
        ASSERT_TRUE(service_.Open("E1")) << LastPrimaryText();
        ASSERT_TRUE(client_.Connect("E1")) << LastPrimaryText();
    }
    /* Sends a transaction and has the service receive it. */
    void Deliver(uint64_t requestId, const std::string &data)
    {
        ASSERT_TRUE(client_.Transaction(requestId, data));
        ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
        ASSERT_EQ(service_.Message.MsgType, QLX_MSGTYPE_TRANSACTION);
        ASSERT_EQ(service_.Data(), data);
    }
    /* The next reply: kind, flags, code, request id, message id and data. */
    std::string NextReply()
    {
        QLXREPLY reply;
        if (!client_.Receive(&reply))
            return "no reply: " + LastPrimaryText();
        std::string id(reinterpret_cast<const char *>(reply.MsgId), reply.MsgIdLength);
        return std::string(1, static_cast<char>(reply.Kind)) + " flags " +
               std::to_string(reply.Flags) + " code " + std::to_string(reply.Code) + " id " +
               std::to_string(reply.RequestId) + " msgid [" + id + "] data [" + ReplyData(reply) +
               "]";
    }

    qlxtest::TestService service_;
    qlxtest::TestClient client_;
};

class Replies : public qlxtest::OverTransports<ServiceAndClient> {};
TFX_OVER_TRANSPORTS(Replies);

/* Over ipc, with a raw peer that sees the frames as they travel. */
class RepliesOnTheWire : public ServiceAndClient {};

/* Notify and more bits of the put options become the response's flags. */
TEST_P(Replies, ResponsesCarryTheNotifyAndMoreFlags)
{
    Deliver(11, "abc\n");
    ASSERT_TRUE(service_.Respond(QLX_PMO_NOTIFY | QLX_PMO_MORE)) << LastPrimaryText();
    ASSERT_TRUE(service_.Respond(QLX_PMO_NOTIFY | QLX_PMO_MORE)) << LastPrimaryText();
    ASSERT_TRUE(service_.Respond(QLX_PMO_MORE)) << LastPrimaryText();
    ASSERT_TRUE(service_.Respond(0)) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "R flags 3 code 0 id 11 msgid [] data [abc\n]");
    EXPECT_EQ(NextReply(), "R flags 3 code 0 id 11 msgid [] data [abc\n]");
    EXPECT_EQ(NextReply(), "R flags 2 code 0 id 11 msgid [] data [abc\n]");
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 11 msgid [] data [abc\n]");
    EXPECT_EQ(service_.Stats().RepliesSent, 4u);
}

/* The response without the more bit completes the transaction. */
TEST_P(Replies, LastResponseCompletesTheTransaction)
{
    Deliver(12, "x");
    ASSERT_TRUE(service_.Respond(QLX_PMO_NOTIFY)) << LastPrimaryText();
    EXPECT_FALSE(service_.Respond(0));
    EXPECT_EQ(LastReason(), QLXRC_BAD_REQUEST);
    EXPECT_EQ(NextReply(), "R flags 1 code 0 id 12 msgid [] data [x]");
}

/* With 0x1 in the put options the response carries their message id. */
TEST_P(Replies, ResponseCarriesTheMessageIdWhenAsked)
{
    const std::string id = MsgId("ORDER-7");
    PreparePutOptions(&service_.Put, "PutProfile", id.data());
    Deliver(13, "with id");
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 13 msgid [" + id + "] data [with id]");
}

/* A response over the library's data limit is never sent: the put fails
 * with 51, the client is refused with 51 at once, the transaction is over. */
TEST_P(Replies, ResponseOverTheDataLimitFailsAndRefusesItsClient)
{
    Deliver(16, "big");
    std::vector<char> large(QLX_MAX_DATA_LENGTH + 2, 'x');
    service_.Message.Buffer = QLXBUFFER{0, static_cast<uint32_t>(large.size()), large.data()};
    service_.Message.DataLength = QLX_MAX_DATA_LENGTH + 1;
    EXPECT_FALSE(service_.Respond());
    EXPECT_EQ(LastPrimaryText(), "a response of " + std::to_string(QLX_MAX_DATA_LENGTH + 1) +
                                     " data bytes for service element E1 is over what the "
                                     "transport carries: its client was refused (51)");
    EXPECT_EQ(NextReply(), "N flags 0 code 51 id 16 msgid [] data []");
    EXPECT_FALSE(service_.Respond());
    EXPECT_EQ(LastReason(), QLXRC_BAD_REQUEST);
    EXPECT_EQ(service_.Stats().RepliesDropped, 1u);
}

/* A response carries DataLength bytes from Data, whatever buffer Data
 * points to and whatever bytes it holds. */
TEST_P(Replies, ResponseSendsDataLengthBytesFromData)
{
    Deliver(14, "abcdef");
    service_.Message.DataLength = 3;
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    Deliver(15, "second");
    char replaced[] = "new\0data";
    service_.Message.Buffer = QLXBUFFER{0, sizeof replaced, replaced};
    service_.Message.DataLength = 8;
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 14 msgid [] data [abc]");
    EXPECT_EQ(NextReply(),
              "R flags 0 code 0 id 15 msgid [] data [" + std::string("new\0data", 8) + "]");
}

/* A response as it travels: three frames, the header compared whole. */
TEST_F(RepliesOnTheWire, ResponseOnTheWireIsThreeFrames)
{
    tfxtest::RawPeer peer(Address("E1"));
    const std::string id = MsgId("WIRE");
    ASSERT_TRUE(peer.Send({WireHeader(1, 'T', 0, 0, 0x0102030405060708ull), "", "raw"}));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    PreparePutOptions(&service_.Put, nullptr, id.data());
    ASSERT_TRUE(service_.Respond(QLX_PMO_NOTIFY | QLX_PMO_MORE)) << LastPrimaryText();
    std::vector<std::string> frames;
    ASSERT_TRUE(peer.Receive(&frames, std::chrono::milliseconds(qlxtest::ReplyWaitMs)));
    EXPECT_EQ(frames, (std::vector<std::string>{WireHeader(1, 'R', 3, 0, 0x0102030405060708ull), id,
                                                "raw"}));
}

/* The first response goes back in the frames the transaction came in; what
 * the service writes into its buffer afterwards does not reach a response
 * already sent, and the next one carries the new bytes. */
TEST_P(Replies, BufferWrittenAfterAResponseLeavesThatResponseAlone)
{
    Deliver(16, "first");
    memcpy(service_.Message.Buffer.Data, "FIRST", 5);
    ASSERT_TRUE(service_.Respond(QLX_PMO_MORE)) << LastPrimaryText();
    memcpy(service_.Message.Buffer.Data, "again", 5);
    ASSERT_TRUE(service_.Respond(0)) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "R flags 2 code 0 id 16 msgid [] data [FIRST]");
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 16 msgid [] data [again]");
}

/* A response carries the message id of its put options, or none, whatever
 * id the transaction came with. */
TEST_P(Replies, ResponseMessageIdIsThePutOptionsNotTheTransactions)
{
    const std::string asked = MsgId("ASKED");
    const std::string given = MsgId("GIVEN");
    ASSERT_TRUE(client_.Transaction(17, "one", asked));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    ASSERT_TRUE(client_.Transaction(18, "two", asked));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    PreparePutOptions(&service_.Put, nullptr, given.data());
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 17 msgid [] data [one]");
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 18 msgid [" + given + "] data [two]");
}

/* A response to a transaction received before the latest one goes to its
 * own client with its own request id. */
TEST_P(Replies, ResponseToAnEarlierTransactionReachesItsOwnClient)
{
    qlxtest::TestClient other;
    ASSERT_TRUE(other.Connect("E1")) << LastPrimaryText();
    Deliver(51, "mine");
    QLXHREQ earlier = service_.hRequest;
    ASSERT_TRUE(other.Transaction(52, "theirs"));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    QLXHREQ latest = service_.hRequest;
    service_.hRequest = earlier;
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    service_.hRequest = latest;
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 51 msgid [] data [theirs]");
    QLXREPLY reply;
    ASSERT_TRUE(other.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(reply.RequestId, 52u);
    EXPECT_EQ(ReplyData(reply), "theirs");
}

/* The response that goes back in the transaction's own frames, as it
 * travels: the header rewritten whole, no message id, the data. */
TEST_F(RepliesOnTheWire, ResponseInTheTransactionsFramesOnTheWire)
{
    tfxtest::RawPeer peer(Address("E1"));
    const std::string data(200, 'd');
    ASSERT_TRUE(peer.Send({WireHeader(1, 'T', 0, 0, 0x1112131415161718ull), "", data}));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    service_.Message.Buffer.Data[0] = 'D';
    ASSERT_TRUE(service_.Respond(QLX_PMO_NOTIFY)) << LastPrimaryText();
    std::vector<std::string> frames;
    ASSERT_TRUE(peer.Receive(&frames, std::chrono::milliseconds(qlxtest::ReplyWaitMs)));
    EXPECT_EQ(frames, (std::vector<std::string>{WireHeader(1, 'R', 1, 0, 0x1112131415161718ull), "",
                                                "D" + data.substr(1)}));
}

/* Closing a transaction unanswered sends the end, and completes it. */
TEST_P(Replies, CloseHandleOnATransactionSendsTheEnd)
{
    Deliver(21, "close me");
    ASSERT_EQ(qlxCloseHandle(service_.hConn, &service_.hRequest), 1) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "E flags 0 code 0 id 21 msgid [] data []");
    EXPECT_EQ(qlxCloseHandle(service_.hConn, &service_.hRequest), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_REQUEST);
}

/* Closing a datagram sends nothing: the next reply is the next
 * transaction's. */
TEST_P(Replies, CloseHandleOnADatagramSendsNothing)
{
    ASSERT_TRUE(client_.Datagram("quiet"));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    ASSERT_EQ(service_.Message.MsgType, QLX_MSGTYPE_DATAGRAM);
    ASSERT_EQ(qlxCloseHandle(service_.hConn, &service_.hRequest), 1) << LastPrimaryText();
    Deliver(22, "loud");
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 22 msgid [] data [loud]");
    EXPECT_EQ(service_.Stats().RepliesSent, 1u);
}

/* An alert carries its type, its text and the request id of the transaction
 * being handled, ahead of the responses. */
TEST_P(Replies, AlertCarriesTypeTextAndTheTransactionsRequestId)
{
    Deliver(31, "alert me");
    QLXALERT alert;
    PrepareAlert(&alert);
    ASSERT_EQ(qlxSendAlert(service_.hConn, &alert), 1) << LastPrimaryText();
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "A flags 0 code 0 id 31 msgid [] data [Notify Response Sent]");
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 31 msgid [] data [alert me]");
}

/* The default alert has type 4; a null text travels as no data. */
TEST_P(Replies, AlertOfTheDefaultImage)
{
    Deliver(32, "y");
    QLXALERT alert = DefaultAlertRecord;
    ASSERT_EQ(qlxSendAlert(service_.hConn, &alert), 1) << LastPrimaryText();
    EXPECT_EQ(NextReply(), "A flags 0 code 4 id 32 msgid [] data []");
}

/* Once the transaction is complete there is nothing left to alert about. */
TEST_P(Replies, AlertNeedsATransactionBeingHandled)
{
    Deliver(33, "z");
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    QLXALERT alert;
    PrepareAlert(&alert);
    EXPECT_EQ(qlxSendAlert(service_.hConn, &alert), 0);
    EXPECT_EQ(LastPrimaryText(), "no transaction is being handled to alert about (33)");
}

/* A received message sits in a library buffer one byte longer than its
 * data, with a zero byte after the data, zero bytes inside kept. */
TEST_P(Replies, DeliveredDataIsTerminated)
{
    const std::string data("a\0b", 3);
    Deliver(41, data);
    EXPECT_EQ(service_.Message.DataLength, 3u);
    EXPECT_GE(service_.Message.Buffer.BufferSize, 4u);
    EXPECT_EQ(service_.Message.Buffer.Data[3], '\0');
    EXPECT_EQ(service_.Message.Buffer.BufferOwned, 0);
    ASSERT_TRUE(client_.Datagram(""));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Message.MsgType, QLX_MSGTYPE_DATAGRAM);
    EXPECT_EQ(service_.Message.DataLength, 0u);
    EXPECT_GE(service_.Message.Buffer.BufferSize, 1u);
    EXPECT_STREQ(service_.Message.Buffer.Data, "");
}

/* Messages are delivered in the order they arrived. */
TEST_P(Replies, MessagesArriveInOrder)
{
    for (uint64_t id = 1; id <= 50; ++id)
        ASSERT_TRUE(id % 3 == 0 ? client_.Datagram(std::to_string(id))
                                : client_.Transaction(id, std::to_string(id)));
    for (uint64_t id = 1; id <= 50; ++id) {
        ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
        EXPECT_EQ(service_.Data(), std::to_string(id));
        EXPECT_EQ(service_.Message.MsgType,
                  id % 3 == 0 ? QLX_MSGTYPE_DATAGRAM : QLX_MSGTYPE_TRANSACTION);
    }
}

/* With 0x1 in the get options, service E1 filtering on message id ID1. */
class MessageIdFilter : public Replies {
  protected:
    void SetUp() override
    {
        Replies::SetUp();
        PrepareGetOptions(&service_.Get, "GetProfile", wanted_.data());
    }
    const std::string wanted_ = MsgId("ID1");
};
TFX_OVER_TRANSPORTS(MessageIdFilter);

/* Only matching messages are delivered; other transactions are refused with
 * "no receiver", other datagrams dropped and counted. */
TEST_P(MessageIdFilter, DeliversOnlyTheWantedMessageId)
{
    ASSERT_TRUE(client_.Transaction(1, "no id"));
    ASSERT_TRUE(client_.Transaction(2, "other id", MsgId("ID2")));
    ASSERT_TRUE(client_.Datagram("other datagram", MsgId("ID2")));
    ASSERT_TRUE(client_.Datagram("datagram without id"));
    ASSERT_TRUE(client_.Transaction(3, "wanted", wanted_));
    ASSERT_TRUE(client_.Datagram("wanted datagram", wanted_));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Data(), "wanted");
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Data(), "wanted datagram");
    EXPECT_EQ(NextReply(), "N flags 0 code 50 id 1 msgid [] data []");
    EXPECT_EQ(NextReply(), "N flags 0 code 50 id 2 msgid [] data []");
    EXPECT_EQ(NextReply(), "R flags 0 code 0 id 3 msgid [] data [wanted]");
    QLXSTATS stats = service_.Stats();
    EXPECT_EQ(stats.Refused, 2u);
    EXPECT_EQ(stats.DatagramsDropped, 2u);
    EXPECT_EQ(stats.Transactions, 1u);
    EXPECT_EQ(stats.Datagrams, 1u);
}

/* Refused messages do not end the wait early. */
TEST_P(MessageIdFilter, RefusalsDoNotShortenTheWait)
{
    ASSERT_TRUE(client_.Transaction(4, "not wanted", MsgId("ID2")));
    QLXREPLY reply;
    bool refused = false;
    for (int attempt = 0; attempt < 50 && !refused; ++attempt) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(service_.Receive(300));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
        refused = client_.Receive(&reply, 0);
    }
    ASSERT_TRUE(refused);
    EXPECT_EQ(reply.Kind, QLX_REPLY_REFUSED);
    EXPECT_EQ(reply.Code, QLXRC_NO_RECEIVER);
    EXPECT_EQ(reply.RequestId, 4u);
}

/* A stop request gets through whatever message id the service waits for. */
TEST_P(MessageIdFilter, NeverFiltersAStopRequest)
{
    ASSERT_EQ(qlxClientStop(client_.hConn), 1) << LastPrimaryText();
    EXPECT_FALSE(service_.Receive());
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(service_.Get.Status, QLX_STATUS_STOP);
}

} // namespace
