#include "client/options/SweepPlan.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct RangeCase {
    std::string Text;
    RateRange Expected; /* when Error is empty */
    std::string Error;
};

void PrintTo(const RangeCase &c, std::ostream *out)
{
    *out << c.Text;
}

class RateRanges : public testing::TestWithParam<RangeCase> {};

/* -R reads rates with k and M, or says what is wrong. */
TEST_P(RateRanges, ReadOrSayWhatIsWrong)
{
    const RangeCase &c = GetParam();
    RateRange range{1, 2, 3};
    std::string error;
    EXPECT_EQ(ParseRateRange(c.Text.c_str(), &range, &error), c.Error.empty());
    EXPECT_EQ(error, c.Error);
    RateRange expected = c.Error.empty() ? c.Expected : RateRange{1, 2, 3};
    EXPECT_EQ(range.Start, expected.Start);
    EXPECT_EQ(range.Stop, expected.Stop);
    EXPECT_EQ(range.Step, expected.Step);
}

const char Form[] = "give start:stop:step, or start:stop for a search, in transactions per "
                    "second from 0.001 to 1e9, k for thousands, M for millions (10k:200k:10k)";

INSTANTIATE_TEST_SUITE_P(
    Table, RateRanges,
    testing::Values(RangeCase{"10k:200k:10k", {10000, 200000, 10000}, ""},
                    RangeCase{"10:300", {10, 300, 0}, ""},
                    RangeCase{"0.5M:1.5M:250k", {500000, 1500000, 250000}, ""},
                    RangeCase{"10:300:", {}, Form}, RangeCase{"10", {}, Form},
                    RangeCase{"1:2:3:4", {}, Form}, RangeCase{"0:10", {}, Form},
                    RangeCase{"10K:20K", {}, Form}, RangeCase{"2G:3G", {}, Form},
                    RangeCase{"300:10:10", {}, "the stop rate must be above the start rate"},
                    RangeCase{"1:1002:1", {}, "that is more than 1000 steps; give a larger step"}));

/* Every rate the plan gives, with the verdict met(rate). */
template <typename Met> std::vector<double> Tried(const RateRange &range, Met met)
{
    SweepPlan plan(range);
    std::vector<double> tried;
    double rate = 0.0;
    while (plan.Next(&rate) && tried.size() < 100) {
        tried.push_back(rate);
        plan.Record(rate, met(rate));
    }
    return tried;
}

/* Steps go up from the start and end at the first that fails, or after the stop. */
TEST(SweepPlan, StepsEndAtTheFirstFailureOrAfterTheStop)
{
    auto upTo35 = [](double rate) { return rate <= 35; };
    EXPECT_EQ(Tried(RateRange{10, 100, 10}, upTo35), (std::vector<double>{10, 20, 30, 40}));
    EXPECT_EQ(Tried(RateRange{10, 35, 10}, upTo35), (std::vector<double>{10, 20, 30}));
    EXPECT_EQ(Tried(RateRange{0.1, 0.3, 0.1}, upTo35).size(), 3u);
}

class SearchKnees : public testing::TestWithParam<double> {};

/* A search of 10 to 300 ends in a few steps with the highest rate met and
 * the lowest failed within 2 % of each other around the knee; or at the
 * start or the stop when the knee lies beyond. */
TEST_P(SearchKnees, NarrowTheKneeToWithinTwoPercent)
{
    double knee = GetParam();
    std::vector<double> tried =
        Tried(RateRange{10, 300, 0}, [knee](double rate) { return rate <= knee; });
    double highest = 0.0, lowestFailed = 1e9;
    for (double rate : tried) {
        highest = rate <= knee && rate > highest ? rate : highest;
        lowestFailed = rate > knee && rate < lowestFailed ? rate : lowestFailed;
    }
    EXPECT_LE(tried.size(), 10u);
    if (knee < 10) {
        EXPECT_EQ(highest, 0.0);
        EXPECT_EQ(lowestFailed, 10.0);
    } else if (knee >= 300) {
        EXPECT_EQ(highest, 300.0);
        EXPECT_EQ(lowestFailed, 1e9);
    } else {
        EXPECT_GT(highest, 0.0);
        EXPECT_LE(lowestFailed, highest * 1.02);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SearchKnees, testing::Values(97.3, 10.1, 299, 5, 400));

} // namespace
