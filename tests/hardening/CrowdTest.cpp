/* Crowds of misbehaving peers beside a well-behaved client: more connections
 * than the server has descriptors, hundreds of peers that stop reading, and
 * peers that send large data and never read. The well-behaved client loses
 * nothing; the server neither aborts nor stalls, and holds its memory within
 * its budget. */
#include <string>

#include <gtest/gtest.h>

#include "qlx/core/MemoryBudget.h"
#include "qlx/zmq/ZmqService.h"
#include "tests/hardening/HardeningHarness.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/PeerCrowd.h"
#include "tests/support/RawPeer.h"

namespace {

using namespace hardening;

class Crowds : public HardeningTest {};

/* The largest latency of a finished client's run, in milliseconds. */
std::string WorstMs(const ResultJson &json)
{
    return std::to_string(json["latency_ns"]["max"].get<uint64_t>() / 1000000);
}

/* 1,500 connections to a server started with 1,024 descriptors: those past
 * its ceiling are refused at once instead of aborting it, the well-behaved
 * client is served during the flood, and a new client after it. */
TEST_F(Crowds, MoreConnectionsThanDescriptorsAreRefusedNotFatal)
{
    ASSERT_NO_FATAL_FAILURE(
        StartServer({"-q"}, "E1", {"/usr/bin/prlimit", "--nofile=1024:1024", "--"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    {
        tfxtest::PeerCrowd crowd(Endpoint(), 1500);
        ASSERT_TRUE(WaitUntil(
            [&] { return OpenDescriptors(ServerPid()) >= 900 || !Server().Running(); }, Generous));
        EXPECT_TRUE(Steady().WaitForCompleted(Steady().Completed() + SteadyRate))
            << "the well-behaved client is not served in the flood";
        RecordProperty("descriptors_in_flood", std::to_string(OpenDescriptors(ServerPid())));
        ASSERT_TRUE(Server().Running()) << Server().StderrSoFar();
    }
    ProcessResult fresh =
        tfxtest::RunProcess({ClientPath, "-n", "50", "-t", "30", "-V", "E1"}, Options());
    EXPECT_EQ(fresh.ExitCode, 0) << fresh.Stdout << fresh.Stderr;
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent + 50);
}

/* 200 peers that send transactions and never read cost the well-behaved
 * client nothing: the replies they have no room for are dropped at once and
 * counted, and its transactions all complete, two seconds' worth of them
 * after the peers have sent theirs. Its worst transaction beside them is
 * recorded, and its worst alone before them. */
TEST_F(Crowds, TwoHundredPeersThatNeverReadStallNothing)
{
    constexpr int Peers = 200;
    constexpr int Rounds = 80; /* 640 KiB a peer: past its floor and what its socket holds */
    SetServerSettings({{"QLX_MEMORY_LIMIT", "16M"}});
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(2 * SteadyRate));
    ResultJson alone = Steady().Finish();
    ExpectLostNothing(alone);
    RecordProperty("worst_ms_alone", WorstMs(alone));

    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    const std::string data(8u << 10, 'S');
    {
        tfxtest::PeerCrowd crowd(Endpoint(), Peers);
        for (int round = 1; round <= Rounds; ++round)
            ASSERT_TRUE(crowd.SendTransactions(round, data));
        EXPECT_TRUE(Steady().WaitForCompleted(Steady().Completed() + 2 * SteadyRate));
    }
    ResultJson beside = Steady().Finish();
    ExpectLostNothing(beside);
    RecordProperty("worst_ms_beside_them", WorstMs(beside));
    ProcessResult server = InterruptServer();
    EXPECT_EQ(server.ExitCode, 0) << server.Stderr;
    ServiceStats stats = Stats();
    EXPECT_GE(stats["replies_dropped"], static_cast<uint64_t>(Peers));
    EXPECT_EQ(stats["replies_sent"] + stats["replies_dropped"], stats["transactions"]);
    RecordProperty("replies_dropped", std::to_string(stats["replies_dropped"]));
}

/* Peers that send transactions of the largest data size and never read
 * hold the server's memory within its budget: what is past their share or
 * the limit is dropped and counted, the well-behaved client loses nothing,
 * and resident memory grows by at most the limit, each peer's floor and one
 * message from each peer being read, and slack for the allocator. */
TEST_F(Crowds, PeersThatNeverReadLargeDataStayWithinTheMemoryBudget)
{
    constexpr uint64_t Peers = 50;
    constexpr int Rounds = 8;
    constexpr uint64_t Limit = 64u << 20;
    constexpr uint64_t DataSize = 1u << 20;
    SetServerSettings({{"QLX_MEMORY_LIMIT", "64M"}});
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    uint64_t before = ResidentKiB(ServerPid());
    const std::string data(DataSize, 'L');
    {
        tfxtest::PeerCrowd crowd(Endpoint(), Peers);
        for (int round = 1; round <= Rounds; ++round) {
            ASSERT_TRUE(crowd.SendTransactions(round, data));
            ASSERT_TRUE(WaitUntilIdle(ServerPid()));
        }
        EXPECT_TRUE(Steady().WaitForMore());
        uint64_t growth = PeakResidentKiB(ServerPid()) - before;
        RecordProperty("peak_growth_kib", std::to_string(growth));
        uint64_t budget = Limit + Peers * (qlx::PeerFloor + DataSize) + (32u << 20);
        if (!Sanitized) {
            EXPECT_LT(growth, budget / 1024);
        }
    }
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent + Peers * Rounds);
    ServiceStats stats = Stats();
    /* Each peer holds its floor, and takes in a reply or two itself. */
    EXPECT_GE(stats["replies_dropped"], Peers * Rounds - Limit / DataSize - 3 * Peers);
    EXPECT_EQ(stats["replies_sent"] + stats["replies_dropped"], sent + Peers * Rounds);
}

/* Waits until the server has handled all that was sent to it: for 20
 * looks in a row, a millisecond apart, every thread of the server and of
 * this process but this one sleeps, and the server waits for messages. */
bool WaitUntilDrained(pid_t server)
{
    int quiet = 0;
    return WaitUntil(
        [&] {
            bool asleep = Asleep(server) && Asleep(getpid(), static_cast<pid_t>(gettid())) &&
                          WaitsForMessages(server);
            quiet = asleep ? quiet + 1 : 0;
            return quiet >= 20;
        },
        Generous);
}

/* More peers than the service keeps accounts for between sweeps, each
 * sending one transaction a round and never reading, over both transports:
 * however the sends are spread, every queued reply stays charged, so the
 * server's resident memory grows by no more than the documented bound of
 * replies (the limit and each peer's floor), what ZeroMQ keeps for each
 * peer, and slack; the replies past it are dropped and counted. */
struct RoundsCase {
    const char *Transport;
    uint64_t Rounds; /* enough to fill the kernel's buffers and more */
};

void PrintTo(const RoundsCase &c, std::ostream *out)
{
    *out << c.Transport;
}

class PeersOneReplyPerRound : public HardeningTest,
                              public testing::WithParamInterface<RoundsCase> {};

TEST_P(PeersOneReplyPerRound, StayWithinTheMemoryBound)
{
    constexpr uint64_t Peers = 300;
    const uint64_t Rounds = GetParam().Rounds;
    constexpr int KernelBuffer = 4096; /* so that the kernel takes in little of the replies */
    constexpr uint64_t Limit = 16u << 20;
    constexpr uint64_t DataSize = 8000;
    std::string endpoint;
    if (std::string(GetParam().Transport) == "tcp") {
        endpoint = "tcp://127.0.0.1:" + std::to_string(tfxtest::FreeLoopbackPort());
        UseEndpoint(endpoint);
    }
    SetServerSettings({{"QLX_MEMORY_LIMIT", "16M"}});
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    if (endpoint.empty())
        endpoint = Endpoint();
    uint64_t before = ResidentKiB(ServerPid());
    const std::string data(DataSize, 'R');
    {
        tfxtest::PeerCrowd crowd(endpoint, Peers, KernelBuffer);
        for (uint64_t round = 1; round <= Rounds; ++round) {
            ASSERT_TRUE(crowd.SendTransactions(round, data));
            ASSERT_TRUE(WaitUntilDrained(ServerPid()));
        }
        uint64_t growth = PeakResidentKiB(ServerPid()) - before;
        RecordProperty("peak_growth_kib", std::to_string(growth));
        uint64_t bound = Limit + Peers * (qlx::PeerFloor + (64u << 10)) + (32u << 20);
        if (!Sanitized) {
            EXPECT_LT(growth, bound / 1024);
        }
    }
    ProcessResult server = InterruptServer();
    EXPECT_EQ(server.ExitCode, 0) << server.Stderr;
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["transactions"], Peers * Rounds);
    EXPECT_EQ(stats["replies_sent"] + stats["replies_dropped"], Peers * Rounds);
    RecordProperty("replies_dropped", std::to_string(stats["replies_dropped"]));
}

INSTANTIATE_TEST_SUITE_P(Transports, PeersOneReplyPerRound,
                         testing::Values(RoundsCase{"ipc", 80}, RoundsCase{"tcp", 80}));

/* Peers that send small requests one at a time to a slow server, which
 * leaves them queued: each queued message keeps only its own bytes (not a
 * receive buffer of ZeroMQ's), so the server's resident memory grows by no
 * more than the documented bound of what is received, what ZeroMQ keeps
 * for each peer, and slack. */
TEST_F(Crowds, SmallRequestsQueuedOneAtATimeStayWithinTheReceivedBound)
{
    constexpr uint64_t Peers = 150;
    constexpr uint64_t Rounds = 130;
    constexpr uint64_t DataSize = 40;
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q", "-i", "0.2"}));
    uint64_t before = ResidentKiB(ServerPid());
    const std::string data(DataSize, 'q');
    const uint64_t message = tfxtest::WireHeader(1, 'T', 0, 0, 0).size() + DataSize;
    const uint64_t bound =
        Peers * (qlx::ReceiveQueueLimit + 1) * (message + qlx::ReceivedPartsOverhead) +
        Peers * (64u << 10) + (16u << 20);
    tfxtest::PeerCrowd crowd(Endpoint(), Peers);
    uint64_t growth = 0;
    for (uint64_t round = 1; round <= Rounds; ++round) {
        ASSERT_TRUE(crowd.SendTransactions(round, data));
        /* A pause, so that each request comes in a read of its own. */
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    /* ZeroMQ reads until each peer's queue is full: a few seconds' watch. */
    for (int look = 0; look < 300 && growth < bound / 1024; ++look) {
        growth = ResidentKiB(ServerPid()) - before;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    RecordProperty("growth_kib", std::to_string(growth));
    if (!Sanitized) {
        EXPECT_LT(growth, bound / 1024);
    }
}

} // namespace
