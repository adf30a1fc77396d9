#include "server/OptionValues.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

/* Values a field holds before the scan, so that an unread field shows. */
const int FirstBefore = -7;
const int SecondBefore = -8;

struct PairCase {
    const char *Name;
    const char *Text;
    char Separator;
    int Result;
    int First;
    int Second;
};

void PrintTo(const PairCase &c, std::ostream *out)
{
    *out << '"' << c.Text << '"';
}

const int F = FirstBefore;
const int S = SecondBefore;

/* Texts whose numbers all fit an int. */
const PairCase InRange[] = {
    {"BothFields", "5:2", ':', 2, 5, 2},
    {"FirstFieldOnly", "5", ':', 1, 5, S},
    {"NoLeadingNumber", ":2", ':', 0, F, S},
    {"NoNumberAtAll", "x", ':', 0, F, S},
    {"EmptyText", "", ':', -1, F, S},
    {"OnlyWhiteSpace", "   ", ':', -1, F, S},
    {"NothingAfterTheSeparator", "5:", ':', 1, 5, S},
    {"BlanksBeforeTheSecondNumber", "5: 2", ':', 2, 5, 2},
    {"BlanksAndSigns", " -3:+4", ':', 2, -3, 4},
    {"BlankBeforeTheSeparator", "5 :2", ':', 1, 5, S},
    {"SecondFieldNotANumber", "5:x", ':', 1, 5, S},
    {"LoneSign", "+", ':', 0, F, S},
    {"LoneMinus", "-", ':', 0, F, S},
    {"SignThenBlank", "+ 5", ':', 0, F, S},
    {"TrailingText", "12abc", ':', 1, 12, S},
    {"TabsAndNewlines", "\t7:8\n", ':', 2, 7, 8},
    {"HexIsReadAsDecimal", "0x10", ':', 1, 0, S},
    {"IntRangeEnds", "2147483647:-2147483648", ':', 2, INT_MAX, INT_MIN},
    {"DashSeparatedRange", "500-300", '-', 2, 500, 300},
    {"DashSeparatedNegativeEnd", "100--50", '-', 2, 100, -50},
    {"DashSeparatedSingle", "256", '-', 1, 256, S},
    {"DashSeparatedLeadingMinus", "-5-6", '-', 2, -5, 6},
};

/* Texts with numbers beyond the int range, where sscanf has no defined result. */
const PairCase BeyondIntRange[] = {
    {"AboveIntRangeClamps", "99999999999", ':', 1, INT_MAX, S},
    {"BelowIntRangeClamps", "-99999999999", ':', 1, INT_MIN, S},
    {"JustBeyondIntRangeClamps", "2147483648:-2147483649", ':', 2, INT_MAX, INT_MIN},
    {"HugeSecondFieldClamps", "1:99999999999999999999999", ':', 2, 1, INT_MAX},
};

class ScanIntPair : public testing::TestWithParam<PairCase> {};

/* Reads "<int><separator><int>" as sscanf does; a field not read keeps its value. */
TEST_P(ScanIntPair, ReadsTheFieldsItFinds)
{
    const PairCase &c = GetParam();
    int first = FirstBefore;
    int second = SecondBefore;
    EXPECT_EQ(::ScanIntPair(c.Text, c.Separator, &first, &second), c.Result);
    EXPECT_EQ(first, c.First);
    EXPECT_EQ(second, c.Second);
}

auto CaseName = [](const testing::TestParamInfo<PairCase> &info) {
    return std::string(info.param.Name);
};

INSTANTIATE_TEST_SUITE_P(InRange, ScanIntPair, testing::ValuesIn(InRange), CaseName);
INSTANTIATE_TEST_SUITE_P(BeyondIntRange, ScanIntPair, testing::ValuesIn(BeyondIntRange), CaseName);

/* Where every number fits an int, the result is the C library's own scan. */
TEST(ScanIntPairWithinIntRange, AgreesWithScanf)
{
    for (const PairCase &c : InRange) {
        int first = FirstBefore;
        int second = SecondBefore;
        int scanFirst = FirstBefore;
        int scanSecond = SecondBefore;
        int scanned = c.Separator == ':' ? sscanf(c.Text, "%d:%d", &scanFirst, &scanSecond)
                                         : sscanf(c.Text, "%d-%d", &scanFirst, &scanSecond);
        EXPECT_EQ(::ScanIntPair(c.Text, c.Separator, &first, &second), scanned) << c.Name;
        EXPECT_EQ(first, scanFirst) << c.Name;
        EXPECT_EQ(second, scanSecond) << c.Name;
    }
}

/* The valid leading decimal integer, as atoi reads it, clamped to the int range. */
TEST(TextToInt, ReadsTheLeadingInteger)
{
    struct Case {
        const char *Text;
        int Value;
    };
    const Case cases[] = {
        {"42", 42},
        {"  -17x", -17},
        {"+8", 8},
        {"abc", 0},
        {"", 0},
        {"   ", 0},
        {"12-34", 12},
        {"5.9", 5},
        {"- 3", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(TextToInt(c.Text), c.Value) << '"' << c.Text << '"';
        EXPECT_EQ(TextToInt(c.Text), atoi(c.Text)) << '"' << c.Text << '"';
    }
}

/* Numbers beyond the int range become the nearest int. */
TEST(TextToInt, ClampsToTheIntRange)
{
    EXPECT_EQ(TextToInt("99999999999"), INT_MAX);
    EXPECT_EQ(TextToInt("-99999999999"), INT_MIN);
    EXPECT_EQ(TextToInt("2147483648"), INT_MAX);
    EXPECT_EQ(TextToInt("-2147483649"), INT_MIN);
    EXPECT_EQ(TextToInt("99999999999999999999999999"), INT_MAX);
}

struct IntervalCase {
    const char *Name;
    const char *Text;
    int MinWait;
    int MaxWait;
};

void PrintTo(const IntervalCase &c, std::ostream *out)
{
    *out << '"' << c.Text << '"';
}

class ReadInterval : public testing::TestWithParam<IntervalCase> {};

/* Seconds in, milliseconds out, truncated toward zero and clamped to the int range. */
TEST_P(ReadInterval, GivesMillisecondsTruncatedAndClamped)
{
    const IntervalCase &c = GetParam();
    int minWait = -1;
    int maxWait = -1;
    ::ReadInterval(c.Text, &minWait, &maxWait);
    EXPECT_EQ(minWait, c.MinWait);
    EXPECT_EQ(maxWait, c.MaxWait);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadInterval,
    testing::Values(
        IntervalCase{"OneValueIsBothBounds", "2", 2000, 2000},
        IntervalCase{"Range", "0.5-2", 500, 2000},
        IntervalCase{"TruncatesTowardZero", "1.005", 1004, 1004},
        IntervalCase{"NegativeTruncatesTowardZero", "-0.0015", -1, -1},
        IntervalCase{"NoNumberGivesZero", "abc", 0, 0}, IntervalCase{"EmptyGivesZero", "", 0, 0},
        IntervalCase{"NegativeValue", "-2", -2000, -2000},
        IntervalCase{"ReversedRange", "3-1", 3000, 1000},
        IntervalCase{"NegativeRange", "-1--2", -1000, -2000},
        IntervalCase{"MissingUpperBoundTakesTheFirst", "2.5-", 2500, 2500},
        IntervalCase{"BlanksAround", " 2 ", 2000, 2000}, IntervalCase{"ExponentForm", "1e-3", 1, 1},
        IntervalCase{"HugeClampsToIntMax", "1e12", INT_MAX, INT_MAX},
        IntervalCase{"HugeNegativeClampsToIntMin", "-1e12", INT_MIN, INT_MIN},
        IntervalCase{"HugeRangeClampsBothWays", "-1e12-1e12", INT_MIN, INT_MAX},
        IntervalCase{"InfinityClamps", "inf", INT_MAX, INT_MAX},
        IntervalCase{"NegativeInfinityClamps", "-inf", INT_MIN, INT_MIN},
        IntervalCase{"LargestIntMillisecondsFit", "2147483.647", INT_MAX, INT_MAX},
        IntervalCase{"JustBelowTheLargestTruncates", "2147483.6469", INT_MAX - 1, INT_MAX - 1},
        IntervalCase{"SmallestIntMillisecondsFit", "-2147483.648", INT_MIN, INT_MIN},
        IntervalCase{"NotANumberGivesZero", "nan", 0, 0}),
    [](const testing::TestParamInfo<IntervalCase> &info) { return std::string(info.param.Name); });

/* The message id of a text, as all 24 bytes. */
std::string MsgIdOf(const char *text)
{
    char msgId[24];
    memset(msgId, 'U', sizeof msgId);
    FormatMsgId(text, msgId);
    return std::string(msgId, sizeof msgId);
}

/* A short text is filled with blanks to 23 characters, then a zero byte. */
TEST(FormatMsgId, FillsWithBlanksTo23AndEndsWithZero)
{
    EXPECT_EQ(MsgIdOf("abc"), "abc" + std::string(20, ' ') + std::string(1, '\0'));
}

/* An empty text gives 23 blanks, so a message id is in force. */
TEST(FormatMsgId, EmptyTextGivesBlanks)
{
    EXPECT_EQ(MsgIdOf(""), std::string(23, ' ') + std::string(1, '\0'));
}

/* A longer text is cut to its first 23 characters. */
TEST(FormatMsgId, CutsLongTextTo23)
{
    const char text[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"; /* 30 characters */
    EXPECT_EQ(MsgIdOf(text), std::string(text, 23) + std::string(1, '\0'));
    const char exact[] = "ABCDEFGHIJKLMNOPQRSTUVW"; /* 23 characters */
    EXPECT_EQ(MsgIdOf(exact), std::string(exact) + std::string(1, '\0'));
}

/* Only a character other than white space counts. */
TEST(HasNonBlank, IsOneOnlyForTextBeyondWhiteSpace)
{
    EXPECT_EQ(HasNonBlank(""), 0);
    EXPECT_EQ(HasNonBlank(" \t\n\v\f\r"), 0);
    EXPECT_EQ(HasNonBlank("  x"), 1);
    EXPECT_EQ(HasNonBlank(":"), 1);
}

} // namespace
