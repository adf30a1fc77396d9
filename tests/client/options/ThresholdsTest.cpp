#include "client/options/Thresholds.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/values/Histogram.h"

namespace {

std::vector<Threshold> ParseOk(const char *text)
{
    std::vector<Threshold> thresholds;
    std::string error;
    EXPECT_TRUE(ParseThresholds(text, &thresholds, &error)) << error;
    return thresholds;
}

std::string ParseError(const char *text)
{
    std::vector<Threshold> thresholds;
    std::string error;
    EXPECT_FALSE(ParseThresholds(text, &thresholds, &error)) << text;
    EXPECT_TRUE(thresholds.empty());
    return error;
}

/* Conditions name a figure, an operator and a limit in the figure's unit. */
TEST(Thresholds, ParseFigureOperatorAndLimit)
{
    std::vector<Threshold> list =
        ParseOk("p99<5ms,timeouts=0,p99.9<=250us,tps>=1000.5,max!=1s,refused==0");
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list[0].Kind, FigureKind::Latency);
    EXPECT_EQ(list[0].Percentile, 99.0);
    EXPECT_EQ(list[0].Compare, Comparison::Less);
    EXPECT_EQ(list[0].Limit, 5e6);
    EXPECT_EQ(list[1].Kind, FigureKind::Count);
    EXPECT_EQ(list[1].Compare, Comparison::Equal);
    EXPECT_EQ(list[1].Limit, 0.0);
    EXPECT_EQ(list[2].Percentile, 99.9);
    EXPECT_EQ(list[2].Compare, Comparison::LessOrEqual);
    EXPECT_EQ(list[2].Limit, 250000.0);
    EXPECT_EQ(list[3].Kind, FigureKind::Rate);
    EXPECT_EQ(list[3].Compare, Comparison::GreaterOrEqual);
    EXPECT_EQ(list[3].Limit, 1000.5);
    EXPECT_EQ(list[4].Compare, Comparison::NotEqual);
    EXPECT_EQ(list[5].Compare, Comparison::Equal);
    EXPECT_EQ(list[5].Text, "refused==0");
}

/* A mistake says which condition, what was wrong and what is accepted. */
TEST(Thresholds, MistakesAreNamed)
{
    EXPECT_EQ(ParseError("p99~5ms"),
              "-A p99~5ms: not a condition <figure><op><value>, op one of < <= > >= = !=");
    EXPECT_EQ(
        ParseError("speed>5"),
        "-A speed>5: unknown figure 'speed'; use p<percentile>, min, mean, max (with a unit: ns, "
        "us, ms, s or m); sent, transactions, datagrams, completed, refused, timeouts, late, "
        "sequence, failed, alerts, notify, normal; tps, mps");
    EXPECT_EQ(
        ParseError("p101<5ms"),
        "-A p101<5ms: unknown figure 'p101'; use p<percentile>, min, mean, max (with a unit: ns, "
        "us, ms, s or m); sent, transactions, datagrams, completed, refused, timeouts, late, "
        "sequence, failed, alerts, notify, normal; tps, mps");
    EXPECT_EQ(ParseError("timeouts=0.5"),
              "-A timeouts=0.5: '0.5' is not a count; give a whole number, with k or M for "
              "thousands or millions");
    EXPECT_EQ(ParseError("tps>fast"),
              "-A tps>fast: 'fast' is not a rate; give a number per second, with k or M for "
              "thousands or millions");
    EXPECT_EQ(ParseError("timeouts=0,"),
              "-A : not a condition <figure><op><value>, op one of < <= > >= = !=");
}

ThresholdFigures Figures(const Histogram *latency)
{
    return ThresholdFigures{latency, 10, 8, 2, 7, 1, 0, 3, 0, 0, 4, 5, 6, 1500.0, 2000.0};
}

/* Each figure is compared with its limit. */
TEST(Thresholds, EvaluateAgainstTheFigures)
{
    Histogram latency;
    for (uint64_t ns : {1000000u, 2000000u, 3000000u, 4000000u})
        latency.Record(ns);
    ThresholdFigures figures = Figures(&latency);
    std::vector<Threshold> list = ParseOk("p50<=2.01ms,p50<1.99ms,max<4ms,min>=1ms,mean=2.5ms,"
                                          "refused=0,refused=1,late>2,tps>1000,mps<2000");
    std::vector<bool> met;
    for (const Threshold &threshold : list)
        met.push_back(EvaluateThreshold(threshold, figures).Met);
    EXPECT_EQ(met,
              (std::vector<bool>{true, false, false, true, true, false, true, true, true, false}));
    ThresholdOutcome outcome = EvaluateThreshold(list[7], figures);
    EXPECT_TRUE(outcome.HasValue);
    EXPECT_EQ(outcome.Value, 3.0);
}

/* A latency condition without samples is not met: nothing proves it. */
TEST(Thresholds, LatencyWithoutSamplesIsNotMet)
{
    Histogram latency;
    ThresholdOutcome outcome = EvaluateThreshold(ParseOk("p99<3600s")[0], Figures(&latency));
    EXPECT_FALSE(outcome.Met);
    EXPECT_FALSE(outcome.HasValue);
}

} // namespace
