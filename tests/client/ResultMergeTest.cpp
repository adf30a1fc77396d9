#include "client/ResultMerge.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/JsonReport.h"
#include "tests/support/Subprocess.h"

namespace {

class ResultMerge : public testing::Test {
  protected:
    /* Writes the result of a run of element that started at startS on the
     * wall clock and lasted seconds: completed transactions of latencyNs
     * each, and one refused. */
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
        result.Counts.RefusedByReason[64] = result.Counts.Refused = 1;
        for (uint64_t i = 0; i < completed; ++i)
            result.Latency.Record(latencyNs);
        std::string path = dir_.Path() + "/" + std::to_string(startS) + element + ".json";
        EXPECT_TRUE(WriteFileWhole(path, RunResultJson(settings, result, {}, 1), &error_));
        return path;
    }

    tfxtest::TempDir dir_;
    ClientSettings settings_;
    RunResult result_;
    std::string error_;
};

/* Counts add up, percentiles come from the merged histogram, and throughput
 * is over the union of the run times: here 10 s and 10 s that overlap by 5. */
TEST_F(ResultMerge, AddsCountsMergesHistogramsAndUnitesTimes)
{
    std::vector<std::string> paths = {Write("E1", 100.0, 10.0, 60, 1000),
                                      Write("E1", 105.0, 10.0, 40, 3000)};
    ASSERT_TRUE(MergeResultFiles(paths, &settings_, &result_, &error_)) << error_;
    EXPECT_EQ(result_.Counts.Transactions, 102u);
    EXPECT_EQ(result_.Counts.RefusedByReason[64], 2u);
    EXPECT_EQ(result_.Latency.Percentile(60), 1000u);
    EXPECT_EQ(result_.Latency.Percentile(61), 3000u);
    EXPECT_DOUBLE_EQ(result_.Latency.Mean(), 1800.0);
    EXPECT_DOUBLE_EQ(result_.TransactionsPerSecond(), 100.0 / 15.0);
    EXPECT_EQ(settings_.Connections, 2u);
}

using Refusal = std::pair<std::string, std::string>;

class ResultMergeRefusal : public ResultMerge, public testing::WithParamInterface<Refusal> {};

/* Only single runs of one element merge: any other document is refused, its
 * file named. */
TEST_P(ResultMergeRefusal, NamesTheFileAndWhatItIs)
{
    std::string path = dir_.Path() + "/other.json";
    ASSERT_TRUE(WriteFileWhole(path, GetParam().first, &error_));
    EXPECT_FALSE(
        MergeResultFiles({Write("E1", 100.0, 1.0, 1, 1000), path}, &settings_, &result_, &error_));
    EXPECT_EQ(error_, path + ": " + GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ResultMergeRefusal,
    testing::Values(Refusal{R"({"tool":"tfxclnt","settings":{"element":"E2"},"counts":{},)"
                            R"("latency_ns":{},"intervals":[]})",
                            "drove service element E2, the first result E1: only runs of one "
                            "element merge"},
                    Refusal{R"({"tool":"tfxclnt","settings":{},"sweep":{}})",
                            "is the result of a sweep (-R): only results of single runs merge"},
                    Refusal{R"({"tool":"tfxclnt","settings":{},"repeats":{}})",
                            "is the result of repeated runs (-N): only results of single runs "
                            "merge"},
                    Refusal{R"({"samples":[1,2]})",
                            "not a result of tfxclnt: it has no \"tool\": \"tfxclnt\""}));

} // namespace
