/* Crowds of misbehaving peers beside a well-behaved client: more connections
 * than the server has descriptors, hundreds of peers that stop reading, and
 * peers that send large data and never read. The well-behaved client loses
 * nothing; the server neither aborts nor stalls, and holds its memory within
 * its budget. */
#include <string>

#include <gtest/gtest.h>

#include "qlx/core/MemoryBudget.h"
#include "tests/hardening/HardeningHarness.h"
#include "tests/support/PeerCrowd.h"

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

} // namespace
