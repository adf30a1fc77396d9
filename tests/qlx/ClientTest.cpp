#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <zmq.h>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;
using qlxtest::ReplyData;
using Clock = std::chrono::steady_clock;

/* A service E1 and a client of it. */
class ServiceAndClient : public qlxtest::QlxTest {
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

class Client : public qlxtest::OverTransports<ServiceAndClient> {};
TFX_OVER_TRANSPORTS(Client);

/* The checks of the calls themselves, whatever the transport. */
class ClientCalls : public ServiceAndClient {};

/* With no reply the receive waits its interval and fails with 20. */
TEST_P(Client, ReceiveWaitsTheIntervalThenFailsWithNoMessage)
{
    QLXREPLY reply;
    auto start = Clock::now();
    EXPECT_FALSE(client_.Receive(&reply, 300));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(LastPrimaryText(), "no reply available within the wait interval (20)");
}

/* A bare ROUTER on a loopback port, posing as the service a client reaches
 * through QLX_ENDPOINT: it learns the client's routing id from one message
 * and then sends it replies that are not QLX/1 until told to stop. */
class MalformedReplier {
  public:
    MalformedReplier()
    {
        int zero = 0;
        (void)zmq_setsockopt(socket_, ZMQ_LINGER, &zero, sizeof zero);
        EXPECT_EQ(zmq_bind(socket_, "tcp://127.0.0.1:*"), 0);
        char endpoint[64] = {};
        size_t size = sizeof endpoint;
        (void)zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, endpoint, &size);
        endpoint_ = endpoint;
    }
    ~MalformedReplier()
    {
        Stop();
        (void)zmq_close(socket_);
        (void)zmq_ctx_term(context_);
    }
    const std::string &Endpoint() const { return endpoint_; }
    /* Takes the client's first message, then replies junk every 5 ms, for
     * at most 10 s. */
    void Start()
    {
        thread_ = std::thread([this] {
            char id[256];
            int idSize = zmq_recv(socket_, id, sizeof id, 0);
            if (idSize <= 0)
                return;
            for (int sent = 0; sent < 2000 && !stop_; ++sent) {
                (void)zmq_send(socket_, id, static_cast<size_t>(idSize), ZMQ_SNDMORE);
                (void)zmq_send(socket_, "junk", 4, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void *context_ = zmq_ctx_new();
    void *socket_ = zmq_socket(context_, ZMQ_ROUTER);
    std::string endpoint_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/* A steady stream of malformed replies holds a receive no longer than twice
 * its interval, however long the stream goes on. */
TEST(ClientReceive, StreamOfMalformedRepliesDoesNotHoldTheWait)
{
    qlxtest::SavedEnvironment environment;
    MalformedReplier replier;
    (void)setenv("QLX_ENDPOINT", replier.Endpoint().c_str(), 1);
    replier.Start();
    qlxtest::TestClient client;
    ASSERT_TRUE(client.Connect("E1")) << LastPrimaryText();
    ASSERT_TRUE(client.Transaction(1, "hello"));
    QLXREPLY reply;
    auto start = Clock::now();
    bool received = client.Receive(&reply, 300);
    auto waited = Clock::now() - start;
    replier.Stop();
    EXPECT_FALSE(received);
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

/* The reply's data sits in a buffer with a zero byte after it. */
TEST_P(Client, ReplyDataIsTerminated)
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
TEST_P(Client, WaitMarksTheClientsWithAReply)
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

/* The replies a client receives into a record of version ("R1 N43 G0": kind,
 * then a refusal's reason or the request id; a repeat shown once), until it
 * is told the service went away or nothing comes for a second. With probe, a
 * transaction goes out whenever nothing came for 200 ms. */
static std::string RepliesAfterTheEnd(qlxtest::TestClient *client, int32_t version, bool probe)
{
    std::string seen;
    std::string last;
    uint64_t next = 2;
    for (int quiet = 0; quiet < 5 && next < 200;) {
        QLXREPLY reply = DefaultReply;
        reply.Version = version;
        if (!qlxClientReceive(client->hConn, &reply, 200)) {
            ++quiet;
            bool sent = !probe || client->Transaction(next++, "probe");
            EXPECT_TRUE(sent) << LastPrimaryText();
            continue;
        }
        quiet = 0;
        std::string token =
            static_cast<char>(reply.Kind) +
            std::to_string(reply.Kind == QLX_REPLY_REFUSED ? reply.Code : reply.RequestId);
        seen += token == last ? "" : (seen.empty() ? "" : " ") + token;
        last = token;
        if (reply.Kind == QLX_REPLY_GONE)
            break;
    }
    return seen;
}

/* A client of reply version 2 is told once that the service that served it
 * went away, after the replies that came before; one of version 1 is not.
 * Over NATS transactions that find nobody for 10 s tell it. */
TEST_P(Client, IsToldThatItsServiceWentAway)
{
    qlxtest::TestClient plain;
    ASSERT_TRUE(plain.Connect("E1")) << LastPrimaryText();
    for (qlxtest::TestClient *each : {&client_, &plain}) {
        ASSERT_TRUE(each->Transaction(1, "served"));
        ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
        ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    }
    ASSERT_TRUE(qlxTerminate(&service_.hConn)) << LastPrimaryText();
    bool nats = GetParam() == qlxtest::Transport::Nats;
    EXPECT_EQ(RepliesAfterTheEnd(&client_, QLX_REPLY_VERSION_GONE, nats),
              nats ? "R1 N43 G0" : "R1 G0");
    EXPECT_EQ(RepliesAfterTheEnd(&plain, 1, false), "R1");
}

/* Requests with a wrong eye-catcher, or data missing, are refused. */
TEST_F(ClientCalls, RefusesBadRequests)
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
TEST_F(ClientCalls, HandlesOfTheOtherSideAreRefused)
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
TEST_P(Client, SendsTheMessageIdWhenAsked)
{
    const std::string id = qlxtest::MsgId("ID1");
    PrepareGetOptions(&service_.Get, nullptr, id.data());
    ASSERT_TRUE(client_.Transaction(3, "tagged", id));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Data(), "tagged");
}

} // namespace
