#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "binding/qlx.h"
#include "tests/qlx/QlxHarness.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;
using qlxtest::ReplyData;
using Clock = std::chrono::steady_clock;

/* A service E1 and a client of it. */
class Client : public qlxtest::QlxTest {
  protected:
    void SetUp() override
    {
        QlxTest::SetUp();
        ASSERT_TRUE(service_.Open("E1")) << LastPrimaryText();
        ASSERT_TRUE(client_.Connect("E1")) << LastPrimaryText();
    }
    qlxtest::TestService service_;
    qlxtest::TestClient client_;
};

/* With no reply the receive waits its interval and fails with 20. */
TEST_F(Client, ReceiveWaitsTheIntervalThenFailsWithNoMessage)
{
    QLXREPLY reply;
    auto start = Clock::now();
    EXPECT_FALSE(client_.Receive(&reply, 300));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(LastPrimaryText(), "no reply available within the wait interval (20)");
}

/* The reply's data sits in a buffer with a zero byte after it. */
TEST_F(Client, ReplyDataIsTerminated)
{
    ASSERT_TRUE(client_.Transaction(1, std::string("x\0y", 3)));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    QLXREPLY reply;
    ASSERT_TRUE(client_.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(ReplyData(reply), std::string("x\0y", 3));
    EXPECT_GE(reply.BufferSize, 4u);
    EXPECT_EQ(reply.Data[3], '\0');
}

/* The wait over several clients marks those that hold a reply. */
TEST_F(Client, WaitMarksTheClientsWithAReply)
{
    qlxtest::TestClient second;
    ASSERT_TRUE(second.Connect("E1")) << LastPrimaryText();
    ASSERT_TRUE(second.Transaction(2, "second"));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    const QLXHCONN both[2] = {client_.hConn, second.hConn};
    uint8_t ready[2] = {9, 9};
    ASSERT_EQ(qlxClientWait(both, 2, qlxtest::ReplyWaitMs, ready), 1) << LastPrimaryText();
    EXPECT_EQ(ready[0], 0);
    EXPECT_EQ(ready[1], 1);
    QLXREPLY reply;
    ASSERT_TRUE(second.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(ReplyData(reply), "second");
    EXPECT_EQ(qlxClientWait(both, 2, 50, ready), 0);
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(ready[0], 0);
    EXPECT_EQ(ready[1], 0);
}

/* Requests with a wrong eye-catcher, or data missing, are refused. */
TEST_F(Client, RefusesBadRequests)
{
    QLXREQUEST request = DefaultRequest;
    request.StrucId[0] = 'x';
    EXPECT_EQ(qlxClientSend(client_.hConn, &request), 0);
    EXPECT_EQ(LastPrimaryText(), "request is null or not a request record (32)");
    request = DefaultRequest;
    request.DataLength = 5;
    EXPECT_EQ(qlxClientSend(client_.hConn, &request), 0);
    EXPECT_EQ(LastPrimaryText(), "request data is null but DataLength is 5 (32)");
    QLXREPLY reply = DefaultReply;
    reply.StrucId[0] = 'x';
    EXPECT_EQ(qlxClientReceive(client_.hConn, &reply, 0), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_ARGUMENT);
}

/* Client calls take client handles only, and service calls service ones. */
TEST_F(Client, HandlesOfTheOtherSideAreRefused)
{
    EXPECT_EQ(qlxClientStop(service_.hConn), 0);
    char handle[9];
    (void)snprintf(handle, sizeof handle, "%08x", service_.hConn);
    EXPECT_EQ(LastPrimaryText(),
              std::string("connection handle ") + handle + " names no open client (30)");
    QLXSTATS stats = DefaultStats;
    EXPECT_EQ(qlxGetServiceStats(client_.hConn, &stats), 0);
    EXPECT_EQ(LastReason(), QLXRC_BAD_CONNECTION);
}

/* A request with a message id carries it to the service. */
TEST_F(Client, SendsTheMessageIdWhenAsked)
{
    const std::string id = qlxtest::MsgId("ID1");
    PrepareGetOptions(&service_.Get, nullptr, id.data());
    ASSERT_TRUE(client_.Transaction(3, "tagged", id));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Data(), "tagged");
}

} // namespace
