#include "client/values/Histogram.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "client/traffic/RandomSource.h"

namespace {

/* The sample of rank ceil(p/100 * n) of sorted samples: the definition the
 * histogram approximates. */
uint64_t ExactPercentile(const std::vector<uint64_t> &sorted, double percent)
{
    double rank = std::ceil(percent / 100.0 * static_cast<double>(sorted.size()));
    size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

/* Records samples and checks every percentile in the list against the
 * exact one, within the histogram's resolution of 1/2048. */
void ExpectPercentilesNearExact(std::vector<uint64_t> samples, const std::vector<double> &percents)
{
    Histogram histogram;
    for (uint64_t sample : samples)
        histogram.Record(sample);
    std::sort(samples.begin(), samples.end());
    for (double percent : percents) {
        double exact = static_cast<double>(ExactPercentile(samples, percent));
        double reported = static_cast<double>(histogram.Percentile(percent));
        EXPECT_LE(std::fabs(reported - exact), exact / 2048.0)
            << "p" << percent << " exact " << exact;
    }
}

const std::vector<double> ManyPercentiles = {0.1, 1,  5,  10,   25,   50,   75,
                                             90,  95, 99, 99.5, 99.9, 99.99};

/* Below 2048 ns every value has a bucket of its own, so percentiles are exact. */
TEST(Histogram, ValuesBelow2048NanosecondsAreExact)
{
    Histogram histogram;
    std::vector<uint64_t> samples;
    for (uint64_t value = 0; value < 2048; value += 3) {
        histogram.Record(value);
        samples.push_back(value);
    }
    for (double percent : ManyPercentiles)
        EXPECT_EQ(histogram.Percentile(percent), ExactPercentile(samples, percent)) << percent;
}

/* Every value from 0 to an hour falls in exactly one bucket, and the
 * buckets follow each other without gap or overlap. */
TEST(Histogram, BucketsTileTheRangeWithoutGaps)
{
    size_t count = Histogram::BucketCount();
    EXPECT_EQ(Histogram::LowOf(0), 0u);
    for (size_t i = 0; i + 1 < count; ++i) {
        ASSERT_EQ(Histogram::HighOf(i) + 1, Histogram::LowOf(i + 1)) << i;
        ASSERT_EQ(Histogram::IndexOf(Histogram::LowOf(i)), i);
        ASSERT_EQ(Histogram::IndexOf(Histogram::HighOf(i)), i);
    }
    EXPECT_GE(Histogram::HighOf(count - 1), Histogram::HighestValue);
}

/* A bucket is never wider than 1/1024 of its lowest value, so its middle is
 * within 1/2048 of anything in it: three significant digits. */
TEST(Histogram, BucketsAreNarrowerThanOnePartIn1024)
{
    for (size_t i = 2048; i < Histogram::BucketCount(); ++i) {
        uint64_t width = Histogram::HighOf(i) - Histogram::LowOf(i) + 1;
        ASSERT_LE(width * 1024, Histogram::LowOf(i)) << i;
    }
}

/* The memory is fixed: about 33 thousand 64-bit counters, whatever is recorded. */
TEST(Histogram, HasAFixedNumberOfBuckets)
{
    EXPECT_EQ(Histogram::BucketCount(), 33421u);
}

/* A uniform spread from 1 us to 1 s gives the exact percentiles. */
TEST(Histogram, PercentilesMatchExactOnesOnUniformSamples)
{
    std::vector<uint64_t> samples;
    for (uint64_t value = 1000; value <= 1000000000; value += 9973)
        samples.push_back(value);
    ExpectPercentilesNearExact(samples, ManyPercentiles);
}

/* A log-uniform spread from 1 us to an hour, the shape of real latencies
 * with a long tail, gives the exact percentiles too. */
TEST(Histogram, PercentilesMatchExactOnesOnLongTailedSamples)
{
    RandomSource random(12345);
    std::vector<uint64_t> samples;
    for (int i = 0; i < 200000; ++i) {
        double exponent = static_cast<double>(random.Next() >> 11) / 9007199254740992.0;
        samples.push_back(static_cast<uint64_t>(1000.0 * std::pow(3.6e9, exponent)));
    }
    ExpectPercentilesNearExact(samples, ManyPercentiles);
}

/* Two clusters far apart: the percentiles land in the right one. */
TEST(Histogram, PercentilesFindTheRightClusterOfABimodalSpread)
{
    std::vector<uint64_t> samples(990, 50000);
    samples.insert(samples.end(), 10, 7000000);
    ExpectPercentilesNearExact(samples, {50, 98.9, 99, 99.1, 99.9});
    Histogram histogram;
    for (uint64_t sample : samples)
        histogram.Record(sample);
    EXPECT_EQ(histogram.Percentile(99), 50000u);
    EXPECT_GT(histogram.Percentile(99.1), 6990000u);
}

/* One sample: every percentile is that sample. */
TEST(Histogram, OneSampleIsEveryPercentile)
{
    Histogram histogram;
    histogram.Record(123456789);
    for (double percent : ManyPercentiles)
        EXPECT_EQ(histogram.Percentile(percent), 123456789u);
}

/* Min, max and mean are kept exactly, beside the buckets. */
TEST(Histogram, MinMaxAndMeanAreExact)
{
    Histogram histogram;
    for (uint64_t value : {1000001u, 3000003u, 2000002u})
        histogram.Record(value);
    EXPECT_EQ(histogram.Count(), 3u);
    EXPECT_EQ(histogram.Min(), 1000001u);
    EXPECT_EQ(histogram.Max(), 3000003u);
    EXPECT_DOUBLE_EQ(histogram.Mean(), 2000002.0);
    EXPECT_EQ(histogram.Percentile(0), 1000001u);
    EXPECT_EQ(histogram.Percentile(100), 3000003u);
}

/* With no sample every figure reads 0 rather than a made-up value. */
TEST(Histogram, EmptyHistogramReadsZero)
{
    Histogram histogram;
    EXPECT_EQ(histogram.Count(), 0u);
    EXPECT_EQ(histogram.Min(), 0u);
    EXPECT_EQ(histogram.Max(), 0u);
    EXPECT_EQ(histogram.Mean(), 0.0);
    EXPECT_EQ(histogram.Percentile(50), 0u);
    int buckets = 0;
    histogram.ForEachBucket([&](uint64_t, uint64_t, uint64_t) { ++buckets; });
    EXPECT_EQ(buckets, 0);
}

/* A value beyond an hour is counted in the top bucket; max stays exact. */
TEST(Histogram, ValuesBeyondAnHourAreCountedInTheTopBucket)
{
    Histogram histogram;
    histogram.Record(Histogram::HighestValue * 5);
    EXPECT_EQ(histogram.Count(), 1u);
    EXPECT_EQ(histogram.Max(), Histogram::HighestValue * 5);
    uint64_t high = 0;
    histogram.ForEachBucket([&](uint64_t, uint64_t bucketHigh, uint64_t) { high = bucketHigh; });
    EXPECT_EQ(high, Histogram::HighOf(Histogram::BucketCount() - 1));
}

/* The non-empty buckets, in order, add up to the sample count. */
TEST(Histogram, BucketsListOnlyTheNonEmptyOnesInOrder)
{
    Histogram histogram;
    for (uint64_t value : {5u, 5u, 3000u, 7000000u})
        histogram.Record(value);
    std::vector<std::vector<uint64_t>> buckets;
    histogram.ForEachBucket([&](uint64_t low, uint64_t high, uint64_t count) {
        buckets.push_back({low, high, count});
    });
    std::vector<std::vector<uint64_t>> expected = {
        {5, 5, 2}, {3000, 3001, 1}, {6995968, 7000063, 1}};
    EXPECT_EQ(buckets, expected);
}

/* Clear forgets every sample. */
TEST(Histogram, ClearForgetsEverySample)
{
    Histogram histogram;
    histogram.Record(10);
    histogram.Record(30);
    histogram.Clear();
    EXPECT_EQ(histogram.Count(), 0u);
    EXPECT_EQ(histogram.Max(), 0u);
    EXPECT_EQ(histogram.Percentile(50), 0u);
    histogram.Record(20);
    EXPECT_EQ(histogram.Min(), 20u);
}

/* Many samples do not overflow the counts or the mean. */
TEST(Histogram, CountsAndMeanHoldForBillionsOfNanoseconds)
{
    Histogram histogram;
    for (int i = 0; i < 1000; ++i)
        histogram.Record(Histogram::HighestValue);
    EXPECT_EQ(histogram.Count(), 1000u);
    EXPECT_DOUBLE_EQ(histogram.Mean(), static_cast<double>(Histogram::HighestValue));
}

} // namespace
