#include "client/results/PercentileDistribution.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

namespace {

const std::string Header = "       Value     Percentile TotalCount 1/(1-Percentile)\n\n";

/* A row at every tick a bucket reaches, 5 to each half of the distance left
 * to 100 %, the bucket's highest value in microseconds; then the footer. */
TEST(PercentileDistribution, RowsAtHdrHistogramsTicksThenItsFooter)
{
    Histogram latency;
    latency.Record(1000);
    latency.Record(1000);
    latency.Record(3000);
    EXPECT_EQ(PercentileDistributionText(latency),
              Header + "       1.000 0.000000000000          2           1.00\n"
                       "       1.000 0.100000000000          2           1.11\n"
                       "       1.000 0.200000000000          2           1.25\n"
                       "       1.000 0.300000000000          2           1.43\n"
                       "       1.000 0.400000000000          2           1.67\n"
                       "       1.000 0.500000000000          2           2.00\n"
                       "       1.000 0.550000000000          2           2.22\n"
                       "       1.000 0.600000000000          2           2.50\n"
                       "       1.000 0.650000000000          2           2.86\n"
                       "       3.001 0.700000000000          3           3.33\n"
                       "       3.001 1.000000000000          3\n"
                       "#[Mean    =        1.667, StdDeviation   =        0.943]\n"
                       "#[Max     =        3.001, Total count    =            3]\n"
                       "#[Buckets =           32, SubBuckets     =         2048]\n");
}

/* Without samples: no rows, a footer of zeros. */
TEST(PercentileDistribution, EmptyHistogramHasOnlyTheFooter)
{
    Histogram latency;
    EXPECT_EQ(PercentileDistributionText(latency),
              Header + "#[Mean    =        0.000, StdDeviation   =        0.000]\n"
                       "#[Max     =        0.000, Total count    =            0]\n"
                       "#[Buckets =           32, SubBuckets     =         2048]\n");
}

/* However many samples, the rows end: a tick that no longer moves the level
 * stops them, here at 2^60 samples in one bucket and one above. */
TEST(PercentileDistribution, RowsEndForCountsBeyondADoublesReach)
{
    Histogram latency;
    latency.AddToBucket(1000, uint64_t{1} << 60);
    latency.AddToBucket(3000, 1);
    std::string text = PercentileDistributionText(latency);
    EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 400);
    EXPECT_NE(text.find("       3.001 1.000000000000 1152921504606846977\n"), std::string::npos);
}

} // namespace
