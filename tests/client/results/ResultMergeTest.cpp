#include "client/results/ResultMerge.h"

#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "client/results/JsonReport.h"
#include "tests/client/CraftedResults.h"
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
        RunResult
            fresh; /* swapped, not assigned: GCC 12 takes the temporary's map for uninitialized */
        std::swap(result, fresh);
        result.Identity = lastRun_ = NewRunIdentity();
        ClientSettings settings = written_;
        settings.Element = element;
        result.StartUnixNs = static_cast<uint64_t>(startS * 1e9);
        result.EndNs = result.SendingEndNs = static_cast<uint64_t>(seconds * 1e9);
        result.Counts.Messages = result.Counts.Transactions = completed + 1;
        result.Counts.MeasuredMessages = completed + 1;
        result.Counts.Completed = result.Counts.MeasuredCompleted = completed;
        result.Counts.RefusedByReason[64] = result.Counts.Refused = 1;
        for (uint64_t i = 0; i < completed; ++i)
            result.Latency.Record(latencyNs);
        std::string path = dir_.Path() + "/" + std::to_string(startS) + element + ".json";
        EXPECT_TRUE(WriteFileWhole(path, RunResultJson(settings, result, {}, 1), &error_));
        return path;
    }

    /* Writes text to a new file; its path. */
    std::string WriteText(const std::string &name, const std::string &text)
    {
        std::string path = dir_.Path() + "/" + name;
        EXPECT_TRUE(WriteFileWhole(path, text, &error_));
        return path;
    }

    static std::string RunText(const RunIdentity &run)
    {
        return "run " + run.Id + " (host " + run.Host + ", pid " + std::to_string(run.Pid) + ")";
    }

    tfxtest::TempDir dir_;
    ClientSettings written_; /* the settings Write gives a result */
    RunIdentity lastRun_;    /* the identity of the result Write wrote last */
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
    EXPECT_EQ(result_.Mixed, "");
}

/* A second copy of one run is refused, naming both files. */
TEST_F(ResultMerge, RefusesASecondCopyOfOneRun)
{
    std::string first = Write("E1", 100.0, 10.0, 60, 1000);
    std::string copy = WriteText("copy.json", tfxtest::ReadFile(first));
    EXPECT_FALSE(MergeResultFiles({first, copy}, &settings_, &result_, &error_));
    EXPECT_EQ(error_, copy + ": holds " + RunText(lastRun_) + ", which " + first +
                          " holds too: a run is merged once");
}

/* A merged result records its runs; merged again with one of them it is
 * refused, with another run it merges, its runs and the new one recorded. */
TEST_F(ResultMerge, RecordsItsRunsAndRefusesAnyOfThemAgain)
{
    std::string one = Write("E1", 100.0, 10.0, 60, 1000);
    RunIdentity runOne = lastRun_;
    std::string two = Write("E1", 105.0, 10.0, 40, 3000);
    ASSERT_TRUE(MergeResultFiles({one, two}, &settings_, &result_, &error_)) << error_;
    std::string merged = WriteText("merged.json", RunResultJson(settings_, result_, {}, 0));
    std::string three = Write("E1", 110.0, 10.0, 10, 1000);
    RunResult again;
    ClientSettings settings;
    EXPECT_FALSE(MergeResultFiles({merged, one}, &settings, &again, &error_));
    EXPECT_EQ(error_, one + ": holds " + RunText(runOne) + ", which " + merged +
                          " holds too: a run is merged once");
    static RunResult result;
    ASSERT_TRUE(MergeResultFiles({merged, three}, &settings, &result, &error_)) << error_;
    ASSERT_EQ(result.MergedFrom.size(), 3u);
    EXPECT_EQ(result.MergedFrom[0].Run.Id, runOne.Id);
    EXPECT_EQ(result.MergedFrom[1].File, two);
    EXPECT_EQ(result.MergedFrom[2].Run.Id, lastRun_.Id);
    EXPECT_EQ(result.Counts.Completed, 110u);
}

/* Results written before runs had ids merge; one is known by its start and
 * seed, so it is refused when given twice all the same. */
TEST_F(ResultMerge, ResultsWithoutIdsAreKnownByStartAndSeed)
{
    ResultJson json = ResultJson::parse(tfxtest::ReadFile(Write("E1", 100.0, 10.0, 60, 1000)));
    json.erase("run");
    json.erase("merged_from");
    std::string old = WriteText("old.json", json.dump());
    EXPECT_TRUE(
        MergeResultFiles({old, Write("E1", 105.0, 10.0, 40, 3000)}, &settings_, &result_, &error_));
    EXPECT_FALSE(MergeResultFiles({old, old}, &settings_, &result_, &error_));
    EXPECT_EQ(error_, old + ": holds the run without id started at 100.000000 with seed 0, which " +
                          old + " holds too: a run is merged once");
}

/* Runs of the open and the closed loop, other sizes or datagram shares
 * merge, and what differs is said in one line. */
TEST_F(ResultMerge, SaysWhatMixedRunsDifferIn)
{
    std::string closed = Write("E1", 100.0, 10.0, 60, 1000);
    written_.Rate = 100;
    written_.SizeMin = 64;
    written_.SizeMax = 256;
    written_.DatagramPercent = 50;
    std::string open = Write("E1", 105.0, 10.0, 40, 3000);
    ASSERT_TRUE(MergeResultFiles({closed, open}, &settings_, &result_, &error_)) << error_;
    EXPECT_EQ(result_.Mixed,
              "closed loop and open loop; request data 128 and 64-256 bytes; datagrams 0% and 50%");
}

/* A FIFO is refused at once, never waited on for a writer. */
TEST_F(ResultMerge, RefusesAFifoWithoutWaiting)
{
    std::string fifo = dir_.Path() + "/fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(MergeResultFiles({fifo}, &settings_, &result_, &error_));
    EXPECT_EQ(error_, fifo + ": not a regular file: give a file that tfxclnt -o wrote");
}

class ResultMergeBadFigure : public ResultMerge,
                             public testing::WithParamInterface<tfxtest::CraftedResult> {};

/* A figure out of its range, of the wrong kind or at odds with the others
 * is refused, naming the file and the field. */
TEST_P(ResultMergeBadFigure, IsRefusedNamingTheField)
{
    std::string path =
        WriteText("bad.json", tfxtest::CraftedText(tfxtest::CraftedBase(), GetParam()));
    EXPECT_FALSE(MergeResultFiles({path}, &settings_, &result_, &error_));
    EXPECT_EQ(error_, path + ": " + GetParam().Error);
}

INSTANTIATE_TEST_SUITE_P(Figures, ResultMergeBadFigure,
                         testing::ValuesIn(tfxtest::CraftedResults()));

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
