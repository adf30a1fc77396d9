#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <thread>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"
#include "tests/support/RawPeer.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;
using qlxtest::LastSubText;
using Clock = std::chrono::steady_clock;

class OpenService : public qlxtest::QlxTest {
  protected:
    void SetUp() override
    {
        QlxTest::SetUp();
        ASSERT_TRUE(service_.Open("E1")) << LastPrimaryText();
    }
    qlxtest::TestService service_;
};

class GetRequest : public qlxtest::OverTransports<OpenService> {};
TFX_OVER_TRANSPORTS(GetRequest);

/* Over ipc, where peers can come and go without a word. */
class GetRequestOverIpc : public OpenService {};

/* With nothing to deliver the call waits its interval and fails with 20. */
TEST_P(GetRequest, WaitsTheIntervalThenFailsWithNoMessage)
{
    auto start = Clock::now();
    EXPECT_FALSE(service_.Receive(300));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(LastPrimaryText(), "no message available within the wait interval (20)");
    EXPECT_EQ(LastSubText(), "waited 300 ms");
    EXPECT_EQ(service_.Get.Status, 0u);
}

/* Short waits are never cut short, though ZeroMQ's own timer counts whole
 * milliseconds from a reading it may have kept, and peers that come and go
 * wake the wait in between. */
TEST_F(GetRequestOverIpc, ShortWaitsLastAtLeastTheirInterval)
{
    std::atomic<bool> stop{false};
    std::thread visitors([&] {
        for (int visit = 0; visit < 5000 && !stop; ++visit)
            tfxtest::RawPeer visitor(Address("E1"));
    });
    for (int32_t interval : {1, 2, 5}) {
        for (int attempt = 0; attempt < 40; ++attempt) {
            auto start = Clock::now();
            EXPECT_FALSE(service_.Receive(interval));
            auto waited = Clock::now() - start;
            EXPECT_GE(waited, std::chrono::milliseconds(interval)) << "attempt " << attempt;
            EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
        }
    }
    stop = true;
    visitors.join();
}

/* A wait of 0 looks once and fails at once when nothing is there. */
TEST_P(GetRequest, ZeroIntervalDoesNotWait)
{
    auto start = Clock::now();
    EXPECT_FALSE(service_.Receive(0));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

/* CPU time of the whole process, threads of the library included. */
std::chrono::nanoseconds ProcessCpuTime()
{
    timespec now{};
    (void)clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

/* Waiting sleeps in the poll: idle waits cost under 5% of a core. */
TEST_P(GetRequest, IdleWaitUsesUnderFivePercentOfACore)
{
    auto cpuStart = ProcessCpuTime();
    auto wallStart = Clock::now();
    for (int attempt = 0; attempt < 5; ++attempt) {
        EXPECT_FALSE(service_.Receive(200));
        EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    }
    auto cpu = ProcessCpuTime() - cpuStart;
    auto wall = Clock::now() - wallStart;
    EXPECT_GE(wall, std::chrono::milliseconds(1000));
    EXPECT_LT(cpu * 20, wall) << "CPU " << cpu.count() << " ns over " << wall.count() << " ns";
}

void NoteSignal(int) {}

/* A signal cuts the wait short, as a no-message failure that says why. */
TEST_P(GetRequest, SignalEndsTheWaitAsNoMessage)
{
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    pthread_t waiter = pthread_self();
    std::thread signaller([&] {
        std::unique_lock<std::mutex> guard(lock);
        for (int shot = 0; shot < 400 && !done; ++shot) {
            (void)pthread_kill(waiter, SIGUSR1);
            (void)changed.wait_for(guard, std::chrono::milliseconds(50), [&] { return done; });
        }
    });
    auto start = Clock::now();
    bool received = service_.Receive(60000);
    auto waited = Clock::now() - start;
    QLXERROR error = qlxtest::LastError();
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    changed.notify_all();
    signaller.join();
    ASSERT_EQ(sigaction(SIGUSR1, &previous, nullptr), 0);
    EXPECT_FALSE(received);
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_EQ(error.PrimaryResult.ReasonCode, QLXRC_NO_MESSAGE);
    EXPECT_EQ(qlxtest::BlockText(error.SubResult), "the wait was cut short by a signal");
}

/* A service E1 and a client that can send it a stop request. */
class StopRequest : public GetRequest {
  protected:
    void SetUp() override
    {
        GetRequest::SetUp();
        ASSERT_TRUE(client_.Connect("E1")) << LastPrimaryText();
    }
    qlxtest::TestClient client_;
};
TFX_OVER_TRANSPORTS(StopRequest);

/* A stop request ends the wait at once: it fails with 20 and sets bit 0 of
 * Status, which stays set. */
TEST_P(StopRequest, EndsTheWaitAndSetsStatus)
{
    ASSERT_EQ(qlxClientStop(client_.hConn), 1) << LastPrimaryText();
    auto start = Clock::now();
    EXPECT_FALSE(service_.Receive(60000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(LastPrimaryText(), "no message available within the wait interval (20)");
    EXPECT_EQ(LastSubText(), "the application manager asked the service to stop");
    EXPECT_EQ(service_.Get.Status, QLX_STATUS_STOP);
    EXPECT_FALSE(service_.Receive(50));
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(service_.Get.Status, QLX_STATUS_STOP);
    EXPECT_EQ(service_.Stats().StopRequests, 1u);
}

/* What arrived before the stop request is delivered first, the stop after.
 * Over ipc the element's one service goes on taking messages; over NATS a
 * stopped one takes no more: work goes to others, here none, so is refused. */
TEST_P(StopRequest, DeliversWhatArrivedBeforeIt)
{
    bool nats = GetParam() == qlxtest::Transport::Nats;
    ASSERT_TRUE(client_.Transaction(1, "before"));
    ASSERT_TRUE(client_.Datagram("also before"));
    ASSERT_EQ(qlxClientStop(client_.hConn), 1) << LastPrimaryText();
    ASSERT_TRUE(nats || client_.Transaction(2, "after"));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Data(), "before");
    ASSERT_TRUE(service_.Respond()) << LastPrimaryText();
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    EXPECT_EQ(service_.Data(), "also before");
    EXPECT_EQ(service_.Get.Status, 0u);
    EXPECT_FALSE(service_.Receive());
    EXPECT_EQ(LastReason(), QLXRC_NO_MESSAGE);
    EXPECT_EQ(service_.Get.Status, QLX_STATUS_STOP);
    QLXREPLY reply;
    ASSERT_TRUE(client_.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(reply.RequestId, 1u);
    if (!nats) {
        ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
        EXPECT_EQ(service_.Data(), "after");
        return;
    }
    ASSERT_TRUE(client_.Transaction(3, "after"));
    ASSERT_TRUE(client_.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(reply.Code, QLXRC_NOT_SERVED);
}

/* The library only ever sets the stop bit; other bits of Status stay. */
TEST_P(StopRequest, LeavesOtherStatusBitsAlone)
{
    service_.Get.Status = 0x80000000u;
    ASSERT_EQ(qlxClientStop(client_.hConn), 1) << LastPrimaryText();
    EXPECT_FALSE(service_.Receive());
    EXPECT_EQ(service_.Get.Status, 0x80000001u);
}

} // namespace
