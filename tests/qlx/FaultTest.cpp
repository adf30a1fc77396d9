#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "qlx/core/Service.h"
#include "qlx/zmq/ZmqService.h"
#include "tests/qlx/QlxHarness.h"
#include "tests/support/RawPeer.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;
using qlxtest::ReplyData;
using tfxtest::WireHeader;
using Clock = std::chrono::steady_clock;

const std::chrono::milliseconds ReplyWait(qlxtest::ReplyWaitMs);

/* A service E1 with a raw peer connected to it. */
class Faults : public qlxtest::QlxTest {
  protected:
    void SetUp() override
    {
        QlxTest::SetUp();
        ASSERT_TRUE(service_.Open("E1")) << LastPrimaryText();
        peer_ = std::make_unique<tfxtest::RawPeer>(Address("E1"));
    }
    void TearDown() override
    {
        peer_.reset();
        QlxTest::TearDown();
    }
    /* A well-formed transaction from the raw peer is delivered, answered, and
     * its response is the next thing the peer receives. */
    void ExpectAnswered(uint64_t requestId, const std::string &data)
    {
        ASSERT_TRUE(peer_->Send({WireHeader(1, 'T', 0, 0, requestId), "", data}));
        ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
        EXPECT_EQ(service_.Message.MsgType, QLX_MSGTYPE_TRANSACTION);
        EXPECT_EQ(service_.Data(), data);
        ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
        std::vector<std::string> frames;
        ASSERT_TRUE(peer_->Receive(&frames, ReplyWait));
        EXPECT_EQ(frames,
                  (std::vector<std::string>{WireHeader(1, 'R', 0, 0, requestId), "", data}));
    }

    qlxtest::TestService service_;
    std::unique_ptr<tfxtest::RawPeer> peer_;
};

/* Malformed messages do not end the wait early. */
TEST_F(Faults, MalformedMessagesDoNotShortenTheWait)
{
    const std::vector<std::vector<std::string>> malformed = {
        {"one frame only"}, {"", "", "data"}, {WireHeader(2, 'T', 0, 0, 9), "", "data"}};
    for (const std::vector<std::string> &frames : malformed)
        ASSERT_TRUE(peer_->Send(frames));
    auto start = Clock::now();
    EXPECT_FALSE(service_.Receive(300));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    ExpectAnswered(1, "still here");
    EXPECT_EQ(service_.Stats().Malformed, malformed.size());
}

/* A steady stream of malformed messages holds a wait no longer than twice
 * its interval, however long the stream goes on (here up to 10 s): the rest
 * of the wait is timed from the first message dropped. */
TEST_F(Faults, StreamOfMalformedMessagesDoesNotHoldTheWait)
{
    std::atomic<bool> stop{false};
    std::thread stream([&] {
        for (int sent = 0; sent < 2000 && !stop; ++sent) {
            (void)peer_->Send({"one frame only"});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    auto start = Clock::now();
    bool received = service_.Receive(300);
    auto waited = Clock::now() - start;
    stop = true;
    stream.join();
    EXPECT_FALSE(received);
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_GT(service_.Stats().Malformed, 0u);
}

/* A frame over the frame limit costs its sender the connection, and nobody
 * else anything. */
TEST_F(Faults, OversizeFrameCostsOnlyItsSender)
{
    ASSERT_TRUE(
        peer_->Send({WireHeader(1, 'T', 0, 0, 5), "", std::string(qlx::MaxFrameSize + 1, 'F')}));
    qlxtest::TestClient client;
    ASSERT_TRUE(client.Connect("E1")) << LastPrimaryText();
    ASSERT_TRUE(client.Transaction(8, "other client"));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Data(), "other client");
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    QLXREPLY reply;
    ASSERT_TRUE(client.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(ReplyData(reply), "other client");
    EXPECT_EQ(service_.Stats().Transactions, 1u);
}

/* A client that goes away with transactions outstanding cannot make
 * qlxPutResponse fail: its replies are dropped and counted. */
TEST_F(Faults, ClientGoneWithTransactionsOutstandingFailsNoResponse)
{
    std::vector<QLXHREQ> outstanding;
    {
        qlxtest::TestClient client;
        ASSERT_TRUE(client.Connect("E1")) << LastPrimaryText();
        for (uint64_t id = 1; id <= 3; ++id)
            ASSERT_TRUE(client.Transaction(id, "gone soon"));
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
            outstanding.push_back(service_.hRequest);
        }
    }
    char text[] = "nobody listens";
    service_.Message.Buffer = QLXBUFFER{0, sizeof text, text};
    service_.Message.DataLength = sizeof text - 1;
    for (size_t i = 0; i + 1 < outstanding.size(); ++i) {
        service_.hRequest = outstanding[i];
        EXPECT_TRUE(service_.Respond()) << LastPrimaryText();
    }
    service_.hRequest = outstanding.back();
    auto deadline = Clock::now() + std::chrono::seconds(30);
    for (int attempt = 0; attempt < 3000 && service_.Stats().RepliesDropped == 0; ++attempt) {
        ASSERT_LT(Clock::now(), deadline);
        ASSERT_TRUE(service_.Respond(QLX_PMO_MORE)) << LastPrimaryText();
        EXPECT_FALSE(service_.Receive(10));
    }
    EXPECT_GT(service_.Stats().RepliesDropped, 0u);
    EXPECT_TRUE(service_.Respond()) << LastPrimaryText();
    ExpectAnswered(2, "others still served");
}

/* A client that does not read cannot block the service or fail its
 * responses: once its queue is full, its replies are dropped and counted. */
TEST_F(Faults, ClientThatDoesNotReadFailsNoResponse)
{
    tfxtest::RawPeer sleeper(Address("E1"), 1);
    ASSERT_TRUE(sleeper.Send({WireHeader(1, 'T', 0, 0, 3), "", "flood me"}));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    std::string block(16384, 'B');
    service_.Message.Buffer = QLXBUFFER{0, static_cast<uint32_t>(block.size()), block.data()};
    service_.Message.DataLength = static_cast<uint32_t>(block.size());
    auto deadline = Clock::now() + std::chrono::seconds(60);
    for (int sent = 0; sent < 20000 && service_.Stats().RepliesDropped == 0; ++sent) {
        ASSERT_LT(Clock::now(), deadline);
        ASSERT_TRUE(service_.Respond(QLX_PMO_MORE)) << LastPrimaryText();
    }
    EXPECT_GT(service_.Stats().RepliesDropped, 0u);
    EXPECT_TRUE(service_.Respond()) << LastPrimaryText();
    ExpectAnswered(4, "others still served");
    auto start = Clock::now();
    EXPECT_EQ(qlxTerminate(&service_.hConn), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

/* Over ipc only peers of the service's own user are heard, even when the
 * socket file lets others in. */
TEST_F(Faults, IgnoresPeersOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    ASSERT_EQ(chmod(temp_.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(RuntimeDir().c_str(), 0755), 0);
    ASSERT_EQ(chmod(SocketPath("E1").c_str(), 0666), 0);
    int sent[2];
    int done[2];
    ASSERT_EQ(pipe(sent), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        (void)close(sent[0]);
        (void)close(done[1]);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        tfxtest::RawPeer stranger(Address("E1"));
        char note = stranger.Send({WireHeader(1, 'T', 0, 0, 66), "", "stranger"}) ? 'S' : 'F';
        (void)!write(sent[1], &note, 1);
        (void)!read(done[0], &note, 1);
        _exit(0);
    }
    (void)close(sent[1]);
    (void)close(done[0]);
    char note = 'F';
    EXPECT_EQ(read(sent[0], &note, 1), 1);
    EXPECT_EQ(note, 'S');
    EXPECT_FALSE(service_.Receive(2000));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    (void)close(done[1]);
    (void)close(sent[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(service_.Stats().Transactions, 0u);
    ExpectAnswered(67, "own user");
}

} // namespace
