#include "client/RunVerdict.h"

#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

/* A run of ten measured seconds that completed some transactions. */
std::unique_ptr<RunResult> TenSeconds(uint64_t completed, EndReason ended)
{
    auto result = std::make_unique<RunResult>();
    result->EndNs = 10000000000u;
    result->Counts.Transactions = result->Counts.Completed = completed;
    result->Counts.MeasuredCompleted = completed;
    result->Ended = ended;
    return result;
}

struct RateCase {
    const char *Name;
    double Rate;
    double DatagramPercent;
    uint64_t Completed; /* in ten seconds */
    EndReason Ended;
    const char *Conditions; /* -A, or "" */
    const char *Fault;
};

void PrintTo(const RateCase &c, std::ostream *out)
{
    *out << c.Name;
}

class OpenLoopRates : public testing::TestWithParam<RateCase> {};

/* An open loop that ran its course fails when it completes less than 98 %
 * of the transactions it asked for, unless -A says which rate is enough. */
TEST_P(OpenLoopRates, FailBelowTheShareOfTheSweepStep)
{
    const RateCase &c = GetParam();
    ClientSettings settings;
    settings.Rate = c.Rate;
    settings.DatagramPercent = c.DatagramPercent;
    std::string error;
    ASSERT_TRUE(*c.Conditions == '\0' ||
                ParseThresholds(c.Conditions, &settings.Thresholds, &error))
        << error;
    std::unique_ptr<RunResult> result = TenSeconds(c.Completed, c.Ended);
    EXPECT_EQ(RunFault(settings, *result, EvaluateThresholds(settings, *result)), c.Fault);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenLoopRates,
    testing::Values(RateCase{"AtTheShare", 200, 0, 1960, EndReason::Count, "", ""},
                    RateCase{"BelowIt", 200, 0, 1959, EndReason::Count, "",
                             "achieved 195.9 transactions/s, below 98 % of 200.0"},
                    RateCase{"ByDuration", 200, 0, 985, EndReason::Duration, "",
                             "achieved 98.5 transactions/s, below 98 % of 200.0"},
                    RateCase{"DatagramsAskNoReplies", 200, 50, 980, EndReason::Count, "", ""},
                    RateCase{"Interrupted", 200, 0, 10, EndReason::Interrupt, "", ""},
                    RateCase{"ClosedLoop", 0, 0, 10, EndReason::Count, "", ""},
                    RateCase{"RelaxedByTps", 200, 0, 1600, EndReason::Count, "tps>=150", ""},
                    RateCase{"TpsNotMet", 200, 0, 1400, EndReason::Count, "tps>=150",
                             "tps>=150 not met (tps = 140.0)"},
                    RateCase{"OtherConditionsKeepIt", 200, 0, 1000, EndReason::Count, "timeouts=0",
                             "achieved 100.0 transactions/s, below 98 % of 200.0"}),
    [](const testing::TestParamInfo<RateCase> &info) { return std::string(info.param.Name); });

/* The latency condition of a step: a p99 over twice the first step's fails
 * it and is named; timeouts come first, the rate after it. */
TEST(StepFault, NamesTheConditionNotMet)
{
    ClientSettings settings;
    std::unique_ptr<RunResult> result = TenSeconds(1000, EndReason::Duration);
    result->Latency.Record(25000000);
    EXPECT_EQ(StepFault(settings, *result, {}, 100, 13000000).Fault, "");
    Verdict saturated = StepFault(settings, *result, {}, 200, 12000000);
    EXPECT_EQ(saturated.Fault, "p99 25.0ms, over twice the 12.0ms of the first step");
    EXPECT_EQ(saturated.Condition, "p99 at most twice the first step's");
    Verdict slow = StepFault(settings, *result, {}, 200, 0);
    EXPECT_EQ(slow.Fault, "achieved 100.0 transactions/s, below 98 % of 200.0");
    EXPECT_EQ(slow.Condition, "achieved at least 98 % of the target");
    result->Counts.Completed -= 1;
    result->Counts.TimedOut = 1;
    EXPECT_EQ(StepFault(settings, *result, {}, 200, 12000000).Condition, "timeouts=0");
}

} // namespace
