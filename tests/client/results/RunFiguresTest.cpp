#include "client/results/RunFigures.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

/* A run's achieved rate and p99; no p99 when it is 0. */
RunFigures Figures(double achieved, double p99)
{
    RunFigures figures;
    figures.Value[AchievedFigure] = achieved;
    figures.Present[AchievedFigure] = true;
    figures.Value[P99Figure] = p99;
    figures.Present[P99Figure] = p99 != 0.0;
    return figures;
}

/* The median is the middle value, or the mean of the two middle ones, of
 * the runs that have the figure; min and max are its extremes; a figure no
 * run has stays absent. */
TEST(FigureSpread, MedianAndExtremesOfTheRunsThatHaveTheFigure)
{
    FigureSpread spread = SpreadOf({Figures(100, 12), Figures(90, 0), Figures(110, 10)});
    EXPECT_EQ(spread.Median.Value[AchievedFigure], 100.0);
    EXPECT_EQ(spread.Min.Value[AchievedFigure], 90.0);
    EXPECT_EQ(spread.Max.Value[AchievedFigure], 110.0);
    EXPECT_EQ(spread.Median.Value[P99Figure], 11.0);
    EXPECT_EQ(spread.Min.Value[P99Figure], 10.0);
    EXPECT_EQ(spread.Max.Value[P99Figure], 12.0);
    EXPECT_FALSE(spread.Median.Present[SendLagFigure]);
    EXPECT_EQ(FigureText(spread.Median, SendLagFigure), "-");
}

struct NoisyCase {
    std::vector<double> P99;
    bool Noisy;
};

class NoisySpreads : public testing::TestWithParam<NoisyCase> {};

/* Runs are noisy when their p99 spreads over more than a fifth of its median. */
TEST_P(NoisySpreads, WhenP99SpreadsOverAFifthOfItsMedian)
{
    std::vector<RunFigures> runs;
    for (double p99 : GetParam().P99)
        runs.push_back(Figures(1, p99));
    EXPECT_EQ(SpreadOf(runs).Noisy, GetParam().Noisy);
}

INSTANTIATE_TEST_SUITE_P(Table, NoisySpreads,
                         testing::Values(NoisyCase{{100, 110, 120}, false},
                                         NoisyCase{{100, 110, 122.5}, true},
                                         NoisyCase{{100, 0}, false}, NoisyCase{{0, 0}, false}));

} // namespace
