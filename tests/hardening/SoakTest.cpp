/* A soak: minutes of mixed traffic against the real server. What the client
 * sent is what the server counted, and the server's memory and descriptors
 * stay flat once it has warmed up. */
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/hardening/HardeningHarness.h"

namespace {

using namespace hardening;

/* How long the server may warm up before it is measured, and how often it
 * is measured then. */
constexpr std::chrono::seconds SoakWarmUp(20);
constexpr std::chrono::seconds SampleEvery(5);

/* How long the traffic runs: TFX_SOAK_SECONDS (make chaos gives it
 * minutes), else 70 s, the least that gives ten samples after the warm-up. */
int SoakSeconds()
{
    const char *given = getenv("TFX_SOAK_SECONDS");
    int seconds = given != nullptr ? std::atoi(given) : 0;
    return seconds >= 70 ? seconds : 70;
}

class Soak : public HardeningTest {};

/* Minutes of transactions and datagrams of random sizes over several
 * connections, against a server with delays, notify and normal responses,
 * alerts and replies of its own random sizes: nothing is lost, every reply
 * is the one expected, the client's counts and the server's agree figure by
 * figure, and resident memory and open descriptors are flat. */
TEST_F(Soak, MixedTrafficLosesNothingAndLeavesTheServerFlat)
{
    ASSERT_NO_FATAL_FAILURE(
        StartServer({"-q", "-c", "2:1", "-a", "y", "-i", "0.001-0.002", "-s", "256-2048"}));
    pid_t pid = ServerPid();
    std::string json = TempPath() + "/soak.json";
    const int seconds = SoakSeconds();
    tfxtest::Process client({ClientPath, "-d", std::to_string(seconds), "-r", "300", "-k", "4",
                             "-g", "20", "-s", "16-4096", "-e", "256-2048", "-S", "20240601", "-q",
                             "-o", json, "E1"},
                            Options());
    /* Samples end a sampling period before the client does: its run starts
     * after this clock, so it is still sending at the last one. */
    auto start = Clock::now();
    auto last = start + std::chrono::seconds(seconds) - SampleEvery;
    std::vector<uint64_t> resident;
    std::vector<size_t> descriptors;
    for (auto next = start + SoakWarmUp; next <= last && client.Running(); next += SampleEvery) {
        std::this_thread::sleep_until(next);
        resident.push_back(ResidentKiB(pid));
        descriptors.push_back(OpenDescriptors(pid));
    }
    ProcessResult run = client.Wait(Generous);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    ResultJson result;
    std::string error;
    ASSERT_TRUE(ParseResultDocument(tfxtest::ReadFile(json), &result, &error)) << error;
    ProcessResult server = InterruptServer();
    EXPECT_EQ(server.ExitCode, 0) << server.Stderr;

    ResultJson &counts = result["counts"];
    uint64_t transactions = counts["transactions"].get<uint64_t>();
    EXPECT_EQ(result["ended_by"].get<std::string>(), "duration");
    EXPECT_EQ(counts["completed"].get<uint64_t>(), transactions);
    EXPECT_EQ(counts["timed_out"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["refused"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["check_failures"].get<uint64_t>(), 0u) << result["first_check_failure"].dump();
    EXPECT_EQ(counts["late_replies"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["notify_after_normal"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["alerts"].get<uint64_t>(), transactions);
    EXPECT_EQ(counts["notify_responses"].get<uint64_t>(), transactions);
    EXPECT_EQ(counts["normal_responses"].get<uint64_t>(), 2 * transactions);
    EXPECT_GE(counts["datagrams"].get<uint64_t>(), 1u);

    ResultJson &view = result["server_view"];
    ServerSummary summary = ParseSummary(server.Stdout);
    EXPECT_EQ(summary.Transactions, view["transactions"].get<uint64_t>());
    EXPECT_EQ(summary.Transactions, transactions);
    EXPECT_EQ(summary.Datagrams, view["datagrams"].get<uint64_t>());
    EXPECT_EQ(summary.Datagrams, counts["datagrams"].get<uint64_t>());
    EXPECT_EQ(summary.Total, view["total"].get<uint64_t>());
    EXPECT_EQ(summary.Responses, counts["notify_responses"].get<uint64_t>() +
                                     counts["normal_responses"].get<uint64_t>());
    EXPECT_EQ(summary.Sizes, view["size_min"].dump() + "/" + view["size_avg"].dump() + "/" +
                                 view["size_max"].dump() + "/" + view["size_total"].dump());
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["transactions"], transactions);
    EXPECT_EQ(stats["datagrams"], counts["datagrams"].get<uint64_t>());
    EXPECT_EQ(stats["malformed"], 0u);
    EXPECT_EQ(stats["refused"], 0u);
    EXPECT_EQ(stats["replies_dropped"], 0u);
    EXPECT_EQ(stats["replies_sent"], 4 * transactions);
    EXPECT_EQ(stats["buffers_handed"], stats["buffers_released"]);

    std::string samples;
    for (size_t i = 0; i < resident.size(); ++i)
        samples += std::to_string(resident[i]) + "/" + std::to_string(descriptors[i]) + " ";
    RecordProperty("transactions", std::to_string(transactions));
    RecordProperty("datagrams", counts["datagrams"].get<uint64_t>());
    RecordProperty("resident_kib_and_descriptors", samples);
    ASSERT_GE(resident.size(), 10u) << "too few samples: " << samples;
    uint64_t low = *std::min_element(resident.begin(), resident.end());
    uint64_t high = *std::max_element(resident.begin(), resident.end());
    if (!Sanitized) {
        EXPECT_LE(high - low, FlatKiB) << "resident KiB and descriptors: " << samples;
    }
    EXPECT_EQ(*std::min_element(descriptors.begin(), descriptors.end()),
              *std::max_element(descriptors.begin(), descriptors.end()))
        << "resident KiB and descriptors: " << samples;
}

} // namespace
