#include "client/ResultMerge.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/JsonReport.h"
#include "client/ResultDocument.h"
#include "tests/support/Subprocess.h"

namespace {

class ResultMerge : public testing::Test {
  protected:
    /* Writes the result of a run of element that started at startS on the
     * wall clock and lasted seconds, every latency latencyNs. */
    std::string Write(const std::string &element, double startS, double seconds, uint64_t completed,
                      uint64_t latencyNs)
    {
        static RunResult result;
        result = RunResult{};
        ClientSettings settings;
        settings.Element = element;
        result.StartUnixNs = static_cast<uint64_t>(startS * 1e9);
        result.EndNs = result.SendingEndNs = static_cast<uint64_t>(seconds * 1e9);
        result.Counts.Messages = result.Counts.Transactions = completed + 1;
        result.Counts.Completed = result.Counts.MeasuredCompleted = completed;
        result.Counts.Refused = 1;
        result.Counts.RefusedByReason[64] = 1;
        for (uint64_t i = 0; i < completed; ++i)
            result.Latency.Record(latencyNs);
        std::string path = dir_.Path() + "/r" + std::to_string(++files_) + ".json";
        std::string error;
        EXPECT_TRUE(WriteFileWhole(path, RunResultJson(settings, result, {}, 1), &error)) << error;
        return path;
    }
    bool Merge(const std::vector<std::string> &paths)
    {
        result_ = RunResult{};
        return MergeResultFiles(paths, &settings_, &result_, &error_);
    }

    tfxtest::TempDir dir_;
    int files_ = 0;
    ClientSettings settings_;
    RunResult result_;
    std::string error_;
};

/* Counts add up, percentiles come from the merged histogram, and throughput
 * is over the union of the run times: here 10 s and 10 s that overlap by 5. */
TEST_F(ResultMerge, AddsCountsMergesHistogramsAndUnitesTimes)
{
    ASSERT_TRUE(Merge({Write("E1", 100.0, 10.0, 60, 1000), Write("E1", 105.0, 10.0, 40, 3000)}))
        << error_;
    EXPECT_EQ(result_.Counts.Transactions, 102u);
    EXPECT_EQ(result_.Counts.Completed, 100u);
    EXPECT_EQ(result_.Counts.RefusedByReason[64], 2u);
    EXPECT_EQ(result_.Latency.Count(), 100u);
    EXPECT_EQ(result_.Latency.Percentile(50), 1000u);
    EXPECT_EQ(result_.Latency.Percentile(61), 3000u);
    EXPECT_DOUBLE_EQ(result_.Latency.Mean(), 1800.0);
    EXPECT_DOUBLE_EQ(result_.MeasuredSeconds(), 15.0);
    EXPECT_DOUBLE_EQ(result_.TransactionsPerSecond(), 100.0 / 15.0);
    EXPECT_EQ(settings_.Connections, 2u);
}

/* Results of different elements, or files that are no results, are named. */
TEST_F(ResultMerge, RefusesWhatDoesNotMerge)
{
    std::string first = Write("E1", 100.0, 1.0, 1, 1000);
    std::string other = Write("E2", 100.0, 1.0, 1, 1000);
    EXPECT_FALSE(Merge({first, other}));
    EXPECT_EQ(error_, other + ": drove service element E2, the first result E1: only runs of "
                              "one element merge");
    EXPECT_FALSE(Merge({first, dir_.Path() + "/none.json"}));
    EXPECT_EQ(error_, dir_.Path() + "/none.json: cannot be read (No such file or directory)");
}

} // namespace
