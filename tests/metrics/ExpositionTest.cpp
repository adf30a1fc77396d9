#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>

#include "metrics/LatencyBuckets.h"
#include "metrics/TextExposition.h"

namespace {

struct BoundCase {
    size_t Index;
    uint64_t Ns;
};

class LatencyBound : public testing::TestWithParam<BoundCase> {};

/* The bounds are the E48 series from 10 us to 100 s, the same everywhere; a
 * latency falls into the first bucket whose bound is at least the latency. */
TEST_P(LatencyBound, IsTheFixedValueAndEndsItsBucket)
{
    size_t index = GetParam().Index;
    uint64_t ns = GetParam().Ns;
    EXPECT_EQ(LatencyBoundNs(index), ns);
    EXPECT_EQ(LatencyBucketOf(ns), index);
    EXPECT_EQ(LatencyBucketOf(ns - 1), ns == 10000 ? 0 : index);
    EXPECT_EQ(LatencyBucketOf(ns + 1), std::min(index + 1, size_t{LatencyBounds}));
}

INSTANTIATE_TEST_SUITE_P(Table, LatencyBound,
                         testing::Values(BoundCase{0, 10000}, BoundCase{1, 10500},
                                         BoundCase{11, 16900}, BoundCase{47, 95300},
                                         BoundCase{48, 100000}, BoundCase{100, 1210000},
                                         BoundCase{336, 100000000000ull}));

/* No bucket is wider than 5.5 % of its lower bound, so histogram_quantile
 * lands within that of the exact percentile; past the last bound is +Inf. */
TEST(LatencyBuckets, EachIsAtMostFivePointFivePercentWide)
{
    ASSERT_EQ(LatencyBuckets, 338u);
    EXPECT_EQ(LatencyBoundNs(LatencyBounds), UINT64_MAX);
    for (size_t i = 1; i < LatencyBounds; ++i)
        EXPECT_LE(LatencyBoundNs(i) * 1000, LatencyBoundNs(i - 1) * 1055) << i;
}

std::string Taken(MetricsText *text)
{
    std::string taken = text->Data != nullptr ? std::string(text->Data, text->Length) : "";
    FreeMetricsText(text);
    return taken;
}

/* A family is its HELP and TYPE lines, then a line per sample: no braces
 * without labels, seconds exact in the fewest digits, the time of the
 * figures after the value once it is set. */
TEST(TextExposition, FamilyAndSamplesAreWrittenWhole)
{
    MetricsText text{};
    AddFamily(&text, "tfx_things_total", "counter", "Things done.");
    AddSample(&text, "tfx_things_total", "", 0);
    AddSample(&text, "tfx_things_total", "kind=\"a\"", 18446744073709551615ull);
    for (uint64_t ns : {0ull, 1ull, 10500ull, 1000000000ull, 1500000000ull})
        AddSeconds(&text, "tfx_lag_seconds", "", ns);
    text.TimestampMs = 1765000000123;
    AddSample(&text, "tfx_things_total", "", 7);
    EXPECT_EQ(Taken(&text), "# HELP tfx_things_total Things done.\n"
                            "# TYPE tfx_things_total counter\n"
                            "tfx_things_total 0\n"
                            "tfx_things_total{kind=\"a\"} 18446744073709551615\n"
                            "tfx_lag_seconds 0\n"
                            "tfx_lag_seconds 0.000000001\n"
                            "tfx_lag_seconds 0.0000105\n"
                            "tfx_lag_seconds 1\n"
                            "tfx_lag_seconds 1.5\n"
                            "tfx_things_total 7 1765000000123\n");
}

/* Backslash, double quote and line feed in a label value are escaped; a
 * second label follows a comma. */
TEST(TextExposition, LabelValuesAreEscaped)
{
    MetricsText labels{};
    AddLabel(&labels, "host", "h 1");
    AddLabel(&labels, "element", "a\\b\"c\nd");
    EXPECT_EQ(Taken(&labels), "host=\"h 1\",element=\"a\\\\b\\\"c\\nd\"");
}

/* Buckets are cumulative, each with its bound as le, +Inf last; then the sum
 * in seconds and the count. */
TEST(TextExposition, HistogramIsCumulativeOverTheFixedBuckets)
{
    uint64_t counts[LatencyBuckets] = {};
    counts[0] = 2;
    counts[1] = 3;
    counts[LatencyBuckets - 1] = 1;
    MetricsText text{};
    AddLatencyHistogram(&text, "tfx_latency_seconds", "run=\"r\"", counts, 1500000);
    std::string written = Taken(&text);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), long(LatencyBuckets + 2));
    std::string head = "tfx_latency_seconds_bucket{run=\"r\",le=\"0.00001\"} 2\n"
                       "tfx_latency_seconds_bucket{run=\"r\",le=\"0.0000105\"} 5\n"
                       "tfx_latency_seconds_bucket{run=\"r\",le=\"0.000011\"} 5\n";
    std::string tail = "tfx_latency_seconds_bucket{run=\"r\",le=\"100\"} 5\n"
                       "tfx_latency_seconds_bucket{run=\"r\",le=\"+Inf\"} 6\n"
                       "tfx_latency_seconds_sum{run=\"r\"} 0.0015\n"
                       "tfx_latency_seconds_count{run=\"r\"} 6\n";
    EXPECT_EQ(written.substr(0, head.size()), head);
    EXPECT_EQ(written.substr(written.size() - tail.size()), tail);
}

} // namespace
