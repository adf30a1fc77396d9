#include "client/values/ValueParsing.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct DurationCase {
    const char *Text;
    BareDuration Bare;
    bool Valid;
    double Seconds;
};

/* Names the case by its text in test listings. */
void PrintTo(const DurationCase &c, std::ostream *out)
{
    *out << '"' << c.Text << '"';
}

class Durations : public testing::TestWithParam<DurationCase> {};

/* A duration is a plain number and one of the units ns, us, ms, s, m, or
 * bare seconds where they are allowed; within its range (here an hour). */
TEST_P(Durations, ReadIntoSeconds)
{
    double seconds = 77.0;
    EXPECT_EQ(ParseDuration(GetParam().Text, GetParam().Bare, 0.0, 3600.0, &seconds),
              GetParam().Valid);
    EXPECT_DOUBLE_EQ(seconds, GetParam().Valid ? GetParam().Seconds : 77.0);
}

constexpr BareDuration Bare = BareDuration::Seconds;
constexpr BareDuration Unit = BareDuration::Refused;

INSTANTIATE_TEST_SUITE_P(
    Table, Durations,
    testing::Values(DurationCase{"5ms", Unit, true, 0.005},
                    DurationCase{"250us", Unit, true, 2.5e-4},
                    DurationCase{"1.5s", Unit, true, 1.5}, DurationCase{"800ns", Unit, true, 8e-7},
                    DurationCase{".5ms", Unit, true, 5e-4}, DurationCase{"2m", Unit, true, 120.0},
                    DurationCase{"60m", Bare, true, 3600.0}, DurationCase{"3601s", Bare, false, 0},
                    DurationCase{"5", Unit, false, 0}, DurationCase{"5", Bare, true, 5.0},
                    DurationCase{"0", Bare, true, 0.0}, DurationCase{"5 ms", Bare, false, 0},
                    DurationCase{"5min", Bare, false, 0}, DurationCase{"-5ms", Bare, false, 0},
                    DurationCase{"ms", Bare, false, 0}, DurationCase{"1e3ms", Bare, false, 0},
                    DurationCase{"", Bare, false, 0}));

/* A count comes to a whole number, with k or M if wanted (here 1 to 2M);
 * a rate is any number they scale (here 0.001 to 1e9). */
TEST(ValueParsing, CountsAndRatesTakeKAndM)
{
    const struct {
        const char *Text;
        double Count; /* 0: not a count */
        double Rate;  /* 0: not a rate */
    } cases[] = {
        {"10k", 1e4, 1e4},         {"1.001k", 1001, 1001}, {"2M", 2e6, 2e6}, {"0.5", 0, 0.5},
        {"2.000001M", 0, 2000001}, {"0k", 0, 0},           {"1km", 0, 0},    {"5K", 0, 0}};
    for (const auto &c : cases) {
        uint64_t count = 0;
        double rate = 0.0;
        EXPECT_EQ(ParseCount(c.Text, 1, 2000000, &count), c.Count != 0) << c.Text;
        EXPECT_EQ(static_cast<double>(count), c.Count) << c.Text;
        EXPECT_EQ(ParseRate(c.Text, 0.001, 1e9, &rate), c.Rate != 0) << c.Text;
        EXPECT_DOUBLE_EQ(rate, c.Rate) << c.Text;
    }
}

struct RangeCase {
    const char *Text;
    bool Valid;
    uint32_t Low;
    uint32_t High;
};

void PrintTo(const RangeCase &c, std::ostream *out)
{
    *out << '"' << c.Text << '"';
}

class SizeRanges : public testing::TestWithParam<RangeCase> {};

/* A size is n or min-max, each within the limit, min not above max. */
TEST_P(SizeRanges, ReadAsTheServerReadsItsOwn)
{
    uint32_t low = 1;
    uint32_t high = 2;
    EXPECT_EQ(ParseSizeRange(GetParam().Text, 1000, &low, &high), GetParam().Valid)
        << GetParam().Text;
    EXPECT_EQ(low, GetParam().Valid ? GetParam().Low : 1u);
    EXPECT_EQ(high, GetParam().Valid ? GetParam().High : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SizeRanges,
    testing::Values(RangeCase{"300", true, 300, 300}, RangeCase{"0", true, 0, 0},
                    RangeCase{"100-200", true, 100, 200}, RangeCase{"5-5", true, 5, 5},
                    RangeCase{"1000", true, 1000, 1000}, RangeCase{"1001", false, 0, 0},
                    RangeCase{"200-100", false, 0, 0}, RangeCase{"-5", false, 0, 0},
                    RangeCase{"5-", false, 0, 0}, RangeCase{"a", false, 0, 0},
                    RangeCase{"1-2-3", false, 0, 0}, RangeCase{" 5", false, 0, 0}));

/* Whole numbers: digits only, within the range given. */
TEST(ValueParsing, UnsignedNeedsDigitsOnlyWithinRange)
{
    uint64_t value = 9;
    EXPECT_TRUE(ParseUnsigned("18446744073709551615", 0, UINT64_MAX, &value));
    EXPECT_EQ(value, UINT64_MAX);
    EXPECT_FALSE(ParseUnsigned("18446744073709551616", 0, UINT64_MAX, &value));
    EXPECT_FALSE(ParseUnsigned("+5", 0, 10, &value));
    EXPECT_FALSE(ParseUnsigned("5x", 0, 10, &value));
    EXPECT_FALSE(ParseUnsigned("11", 0, 10, &value));
    EXPECT_FALSE(ParseUnsigned("0", 1, 10, &value));
    EXPECT_EQ(value, UINT64_MAX);
}

/* Decimals: a plain number, no sign, exponent or words such as inf. */
TEST(ValueParsing, DecimalIsAPlainNumber)
{
    double value = 0.0;
    EXPECT_TRUE(ParseDecimal("12.5", 0, 100, &value));
    EXPECT_EQ(value, 12.5);
    EXPECT_TRUE(ParseDecimal("7.", 0, 100, &value));
    EXPECT_EQ(value, 7.0);
    for (const char *bad : {"", ".", "inf", "nan", "1e2", "-1", "0x10", "5 ", "101"})
        EXPECT_FALSE(ParseDecimal(bad, 0, 100, &value)) << bad;
}

/* Percentiles come as a comma-separated list, each from 0 to 100. */
TEST(ValueParsing, PercentileListKeepsItsOrder)
{
    std::vector<double> list;
    EXPECT_TRUE(ParsePercentiles("99.9,50,0,100", &list));
    EXPECT_EQ(list, (std::vector<double>{99.9, 50, 0, 100}));
    EXPECT_FALSE(ParsePercentiles("50,,90", &list));
    EXPECT_FALSE(ParsePercentiles("50,", &list));
    EXPECT_FALSE(ParsePercentiles("", &list));
    EXPECT_EQ(list.size(), 4u);
}

/* A percentile reads back as the user would write it. */
TEST(ValueParsing, PercentileNamesAreShort)
{
    EXPECT_EQ(PercentileName(50), "50");
    EXPECT_EQ(PercentileName(99.9), "99.9");
    EXPECT_EQ(PercentileName(99.99), "99.99");
    EXPECT_EQ(PercentileName(0.5), "0.5");
}

} // namespace
