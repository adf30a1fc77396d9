#include "client/results/RunVerdict.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

struct RateCase {
    double Rate;
    double DatagramPercent;
    uint64_t Completed; /* in ten measured seconds */
    EndReason Ended;
    const char *Conditions; /* -A */
    const char *Fault;
    const char *StepCondition; /* not met by a step whose first had a p99 of 1 ms */
};

const char Rate[] = "achieved at least 98 % of the target";
const char Latency[] = "p99 at most twice the first step's";

class OpenLoopRates : public testing::TestWithParam<RateCase> {};

/* An open loop that ran its course fails when it completes less than 98 %
 * of the transactions it asked for, unless -A says which rate is enough; a
 * sweep's step by the same rule, after a p99 over twice its first step's. */
TEST_P(OpenLoopRates, FailBelowTheShareOfASweepStep)
{
    const RateCase &c = GetParam();
    ClientSettings settings;
    settings.Rate = c.Rate;
    settings.DatagramPercent = c.DatagramPercent;
    std::string error;
    ASSERT_TRUE(ParseThresholds(c.Conditions, &settings.Thresholds, &error)) << error;
    auto result = std::make_unique<RunResult>();
    result->EndNs = 10000000000u;
    result->Counts.Transactions = result->Counts.Completed = c.Completed;
    result->Counts.MeasuredCompleted = c.Completed;
    result->Ended = c.Ended;
    result->Latency.Record(c.Completed * 10000);
    EXPECT_EQ(RunFault(settings, *result, EvaluateThresholds(settings, *result)), c.Fault);
    settings.Thresholds.clear();
    EXPECT_EQ(StepFault(settings, *result, {}, AskedTransactionRate(settings), 1000000).Condition,
              c.StepCondition);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenLoopRates,
    testing::Values(RateCase{20, 0, 196, EndReason::Count, "max>0ns", "", ""},
                    RateCase{20, 0, 195, EndReason::Duration, "max>0ns",
                             "achieved 19.5 transactions/s, below 98 % of 20.0", Rate},
                    RateCase{20, 50, 98, EndReason::Count, "max>0ns", "", ""},
                    RateCase{20, 0, 10, EndReason::Interrupt, "max>0ns", "", Rate},
                    RateCase{200, 0, 1600, EndReason::Count, "tps>=150", "", Latency},
                    RateCase{200, 0, 1400, EndReason::Count, "tps>=150",
                             "tps>=150 not met (tps = 140.0)", Latency}));

} // namespace
