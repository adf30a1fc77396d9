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

/* The bounds are the E48 series from 10 us to 100 s, the same everywhere. */
TEST_P(LatencyBound, IsTheFixedValue)
{
    EXPECT_EQ(LatencyBoundNs(GetParam().Index), GetParam().Ns);
}

INSTANTIATE_TEST_SUITE_P(Table, LatencyBound,
                         testing::Values(BoundCase{0, 10000}, BoundCase{1, 10500},
                                         BoundCase{11, 16900}, BoundCase{47, 95300},
                                         BoundCase{48, 100000}, BoundCase{100, 1210000},
                                         BoundCase{335, 95300000000ull},
                                         BoundCase{336, 100000000000ull},
                                         BoundCase{337, UINT64_MAX}));

struct BucketCase {
    uint64_t Ns;
    size_t Bucket;
};

class LatencyBucket : public testing::TestWithParam<BucketCase> {};

/* A latency falls into the first bucket whose bound is at least the latency. */
TEST_P(LatencyBucket, IsTheFirstBoundNotBelow)
{
    EXPECT_EQ(LatencyBucketOf(GetParam().Ns), GetParam().Bucket);
}

INSTANTIATE_TEST_SUITE_P(Table, LatencyBucket,
                         testing::Values(BucketCase{0, 0}, BucketCase{10000, 0},
                                         BucketCase{10001, 1}, BucketCase{10500, 1},
                                         BucketCase{99999, 48}, BucketCase{100000000000ull, 336},
                                         BucketCase{100000000001ull, 337},
                                         BucketCase{UINT64_MAX, 337}));

/* No bucket is wider than 5.5 % of its lower bound: histogram_quantile lands
 * within that of the exact percentile. */
TEST(LatencyBuckets, EachIsAtMostFivePointFivePercentWide)
{
    ASSERT_EQ(LatencyBuckets, 338u);
    for (size_t i = 1; i < LatencyBounds; ++i) {
        EXPECT_GT(LatencyBoundNs(i), LatencyBoundNs(i - 1)) << i;
        EXPECT_LE(LatencyBoundNs(i) * 1000, LatencyBoundNs(i - 1) * 1055) << i;
    }
}

struct SecondsCase {
    uint64_t Ns;
    const char *Text;
};

class Seconds : public testing::TestWithParam<SecondsCase> {};

/* Seconds are written exactly, in the fewest digits. */
TEST_P(Seconds, AreWrittenExactly)
{
    char text[32];
    FormatSeconds(text, GetParam().Ns);
    EXPECT_STREQ(text, GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(Table, Seconds,
                         testing::Values(SecondsCase{0, "0"}, SecondsCase{1, "0.000000001"},
                                         SecondsCase{10000, "0.00001"},
                                         SecondsCase{10500, "0.0000105"},
                                         SecondsCase{1000000000, "1"},
                                         SecondsCase{1500000000, "1.5"},
                                         SecondsCase{100000000000ull, "100"}));

std::string Taken(MetricsText *text)
{
    std::string taken = text->Data != nullptr ? std::string(text->Data, text->Length) : "";
    FreeMetricsText(text);
    return taken;
}

/* A family is its HELP and TYPE lines, then one line per sample; a sample
 * without labels has no braces. */
TEST(TextExposition, FamilyAndSamplesAreWrittenWhole)
{
    MetricsText text{};
    AddFamily(&text, "tfx_things_total", "counter", "Things done.");
    AddSample(&text, "tfx_things_total", "", 0);
    AddSample(&text, "tfx_things_total", "kind=\"a\"", 18446744073709551615ull);
    AddSeconds(&text, "tfx_lag_seconds", "", 2500000);
    EXPECT_EQ(Taken(&text), "# HELP tfx_things_total Things done.\n"
                            "# TYPE tfx_things_total counter\n"
                            "tfx_things_total 0\n"
                            "tfx_things_total{kind=\"a\"} 18446744073709551615\n"
                            "tfx_lag_seconds 0.0025\n");
}

/* A text with the time of its figures writes it after every sample. */
TEST(TextExposition, SamplesCarryTheTimeOfTheirFigures)
{
    MetricsText text{};
    text.TimestampMs = 1765000000123;
    AddSample(&text, "tfx_things_total", "", 7);
    AddSeconds(&text, "tfx_lag_seconds", "kind=\"a\"", 1000000);
    EXPECT_EQ(Taken(&text), "tfx_things_total 7 1765000000123\n"
                            "tfx_lag_seconds{kind=\"a\"} 0.001 1765000000123\n");
}

struct LabelCase {
    const char *Value;
    const char *Written;
};

class Label : public testing::TestWithParam<LabelCase> {};

/* Backslash, double quote and line feed are escaped; a second label follows
 * a comma. */
TEST_P(Label, ValueIsEscaped)
{
    MetricsText labels{};
    AddLabel(&labels, "host", "h1");
    AddLabel(&labels, "element", GetParam().Value);
    EXPECT_EQ(Taken(&labels), std::string("host=\"h1\",element=\"") + GetParam().Written + "\"");
}

INSTANTIATE_TEST_SUITE_P(Table, Label,
                         testing::Values(LabelCase{"", ""}, LabelCase{"Test 1", "Test 1"},
                                         LabelCase{"a\\b", "a\\\\b"}, LabelCase{"a\"b", "a\\\"b"},
                                         LabelCase{"a\nb", "a\\nb"}));

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
    std::string tail = "tfx_latency_seconds_bucket{run=\"r\",le=\"95.3\"} 5\n"
                       "tfx_latency_seconds_bucket{run=\"r\",le=\"100\"} 5\n"
                       "tfx_latency_seconds_bucket{run=\"r\",le=\"+Inf\"} 6\n"
                       "tfx_latency_seconds_sum{run=\"r\"} 0.0015\n"
                       "tfx_latency_seconds_count{run=\"r\"} 6\n";
    EXPECT_EQ(written.substr(0, head.size()), head);
    EXPECT_EQ(written.substr(written.size() - tail.size()), tail);
}

} // namespace
