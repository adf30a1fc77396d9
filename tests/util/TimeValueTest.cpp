#include "util/TimeValue.h"

#include <climits>
#include <cstdint>
#include <ostream>

#include <gtest/gtest.h>

/* Whole-value comparison and printing of time values for the assertions. */
static bool operator==(const TimeValue &a, const TimeValue &b)
{
    return a.Seconds == b.Seconds && a.Milliseconds == b.Milliseconds;
}

static void PrintTo(const TimeValue &t, std::ostream *out)
{
    *out << "(" << t.Seconds << " s, " << t.Milliseconds << " ms)";
}

namespace {

const uint32_t MaxSeconds = 4294967295u;

TimeValue T(uint32_t seconds, uint32_t milliseconds)
{
    return TimeValue{seconds, milliseconds};
}

/* Equal means both fields equal. */
TEST(TimeEqual, IsOneOnlyWhenBothFieldsAreEqual)
{
    TimeValue a = T(1, 5);
    TimeValue same = T(1, 5);
    TimeValue otherSeconds = T(2, 5);
    TimeValue otherMilliseconds = T(1, 6);
    EXPECT_EQ(TimeEqual(&a, &same), 1);
    EXPECT_EQ(TimeEqual(&a, &otherSeconds), 0);
    EXPECT_EQ(TimeEqual(&a, &otherMilliseconds), 0);
}

/* Seconds decide first, milliseconds only between equal seconds. */
TEST(TimeCompare, OrdersBySecondsThenMilliseconds)
{
    struct Case {
        TimeValue A, B;
        int Result;
    };
    const Case cases[] = {
        {T(1, 0), T(0, 999), 1},         {T(0, 999), T(1, 0), -1}, {T(1, 5), T(1, 5), 0},
        {T(1, 4), T(1, 5), -1},          {T(1, 5), T(1, 4), 1},    {T(MaxSeconds, 0), T(0, 0), 1},
        {T(0, 0), T(MaxSeconds, 0), -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(TimeCompare(&c.A, &c.B), c.Result)
            << testing::PrintToString(c.A) << " vs " << testing::PrintToString(c.B);
    }
}

/* A smaller millisecond part borrows one second. */
TEST(TimeDiff, MillisecondsBorrowFromSeconds)
{
    TimeValue a = T(5, 200);
    TimeValue b = T(3, 700);
    EXPECT_EQ(TimeDiff(&a, &b), T(1, 500));
}

/* Without a borrow both fields subtract on their own. */
TEST(TimeDiff, SubtractsFieldByField)
{
    TimeValue a = T(5, 700);
    TimeValue b = T(3, 200);
    EXPECT_EQ(TimeDiff(&a, &b), T(2, 500));
    EXPECT_EQ(TimeDiff(&a, &a), T(0, 0));
}

/* An earlier first operand wraps the seconds modulo 2^32. */
TEST(TimeDiff, EarlierFirstOperandWrapsTheSeconds)
{
    TimeValue three = T(3, 0);
    TimeValue five = T(5, 0);
    EXPECT_EQ(TimeDiff(&three, &five), T(4294967294u, 0));
    TimeValue zero = T(0, 0);
    TimeValue oneMs = T(0, 1);
    EXPECT_EQ(TimeDiff(&zero, &oneMs), T(MaxSeconds, 999));
}

/* The whole seconds of the difference, borrow included, milliseconds dropped. */
TEST(TimeDiffSec, IsTheSecondsOfTheDifference)
{
    TimeValue a = T(5, 200);
    TimeValue b = T(3, 700);
    EXPECT_EQ(TimeDiffSec(&a, &b), 1u);
    TimeValue c = T(5, 700);
    TimeValue d = T(3, 200);
    EXPECT_EQ(TimeDiffSec(&c, &d), 2u);
    TimeValue three = T(3, 0);
    TimeValue five = T(5, 0);
    EXPECT_EQ(TimeDiffSec(&three, &five), 4294967294u);
}

/* Milliseconds that reach a whole second carry into the seconds. */
TEST(TimeSum, MillisecondsCarryIntoSeconds)
{
    TimeValue a = T(1, 600);
    TimeValue b = T(2, 500);
    EXPECT_EQ(TimeSum(&a, &b), T(4, 100));
    TimeValue half = T(0, 500);
    EXPECT_EQ(TimeSum(&half, &half), T(1, 0));
    TimeValue c = T(1, 499);
    EXPECT_EQ(TimeSum(&c, &half), T(1, 999));
}

/* The seconds wrap at 2^32 without notice, a millisecond carry included. */
TEST(TimeSum, SecondsWrapWithoutNotice)
{
    TimeValue top = T(MaxSeconds, 0);
    TimeValue one = T(1, 0);
    EXPECT_EQ(TimeSum(&top, &one), T(0, 0));
    TimeValue big = TimeBig();
    TimeValue oneMs = T(0, 1);
    EXPECT_EQ(TimeSum(&big, &oneMs), T(0, 0));
}

/* Overflow tells exactly when the sum would wrap, a carry alone included. */
TEST(TimeOverflow, TellsWhenTheSumWouldWrap)
{
    struct Case {
        TimeValue A, B;
        int Result;
    };
    const Case cases[] = {
        {T(MaxSeconds, 0), T(1, 0), 1},
        {T(0, 0), TimeBig(), 0},
        {T(0, 1), TimeBig(), 1},
        {TimeBig(), TimeBig(), 1},
        {T(4294967294u, 0), T(1, 0), 0},
        {T(4294967294u, 500), T(1, 499), 0},
        {T(4294967294u, 500), T(1, 500), 1},
        {T(1, 600), T(2, 500), 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(TimeOverflow(&c.A, &c.B), c.Result)
            << testing::PrintToString(c.A) << " + " << testing::PrintToString(c.B);
    }
}

/* Different seconds: the whole earlier operand. Equal seconds: the smaller milliseconds. */
TEST(TimeMin, IsTheEarlierValue)
{
    TimeValue a = T(1, 900);
    TimeValue b = T(2, 100);
    EXPECT_EQ(TimeMin(&a, &b), T(1, 900));
    EXPECT_EQ(TimeMin(&b, &a), T(1, 900));
    TimeValue c = T(3, 10);
    TimeValue d = T(3, 5);
    EXPECT_EQ(TimeMin(&c, &d), T(3, 5));
    EXPECT_EQ(TimeMin(&d, &c), T(3, 5));
}

/* Different seconds: the whole later operand. Equal seconds: the larger milliseconds. */
TEST(TimeMax, IsTheLaterValue)
{
    TimeValue a = T(1, 900);
    TimeValue b = T(2, 100);
    EXPECT_EQ(TimeMax(&a, &b), T(2, 100));
    EXPECT_EQ(TimeMax(&b, &a), T(2, 100));
    TimeValue c = T(3, 10);
    TimeValue d = T(3, 5);
    EXPECT_EQ(TimeMax(&c, &d), T(3, 10));
    EXPECT_EQ(TimeMax(&d, &c), T(3, 10));
}

/* The dropped millisecond digit rounds half up. */
TEST(Time100, RoundsTheDroppedMillisecondHalfUp)
{
    TimeValue a = T(2, 345);
    TimeValue b = T(2, 344);
    TimeValue c = T(0, 995);
    TimeValue d = T(0, 4);
    EXPECT_EQ(Time100(&a), 235u);
    EXPECT_EQ(Time100(&b), 234u);
    EXPECT_EQ(Time100(&c), 100u);
    EXPECT_EQ(Time100(&d), 0u);
}

/* Seconds all ones stand for the largest value and convert to 0. */
TEST(Time100, LargestValueGivesZero)
{
    TimeValue big = TimeBig();
    TimeValue top = T(MaxSeconds, 0);
    EXPECT_EQ(Time100(&big), 0u);
    EXPECT_EQ(Time100(&top), 0u);
}

/* Hundredths beyond 32 bits wrap. */
TEST(Time100, WrapsModulo2To32)
{
    TimeValue a = T(42949672u, 960);
    TimeValue b = T(42949673u, 0);
    EXPECT_EQ(Time100(&a), 0u);
    EXPECT_EQ(Time100(&b), 4u);
}

/* Seconds times a thousand plus the milliseconds. */
TEST(TimeMs, CountsMilliseconds)
{
    TimeValue a = T(2, 345);
    TimeValue b = T(0, 999);
    EXPECT_EQ(TimeMs(&a), 2345u);
    EXPECT_EQ(TimeMs(&b), 999u);
}

/* Seconds all ones give 0; other values beyond 32 bits wrap. */
TEST(TimeMs, LargestValueGivesZeroAndOthersWrap)
{
    TimeValue big = TimeBig();
    TimeValue top = T(MaxSeconds, 0);
    TimeValue wraps = T(4294967u, 296);
    TimeValue justFits = T(4294967u, 295);
    EXPECT_EQ(TimeMs(&big), 0u);
    EXPECT_EQ(TimeMs(&top), 0u);
    EXPECT_EQ(TimeMs(&wraps), 0u);
    EXPECT_EQ(TimeMs(&justFits), 4294967295u);
}

/* The average in hundredths is truncated, milliseconds entering as whole hundredths. */
TEST(TimeAve100, TruncatesTheAverage)
{
    TimeValue a = T(10, 500);
    TimeValue b = T(0, 999);
    TimeValue c = T(1, 0);
    TimeValue d = T(7, 0);
    EXPECT_EQ(TimeAve100(&a, 4), 262u);
    EXPECT_EQ(TimeAve100(&b, 1), 99u);
    EXPECT_EQ(TimeAve100(&c, 3), 33u);
    EXPECT_EQ(TimeAve100(&d, 1), 700u);
}

/* The remainder of the seconds carries into the hundredths. */
TEST(TimeAve100, RemainderOfTheSecondsCarries)
{
    TimeValue a = T(5, 990);
    EXPECT_EQ(TimeAve100(&a, 3), 199u);
}

/* A count of 0 gives 0. */
TEST(TimeAve100, ZeroCountGivesZero)
{
    TimeValue a = T(10, 500);
    EXPECT_EQ(TimeAve100(&a, 0), 0u);
}

/* The average keeps milliseconds, the remainder of the seconds included. */
TEST(TimeAve, DividesSecondsAndCarriesTheRemainder)
{
    TimeValue a = T(10, 500);
    TimeValue b = T(7, 0);
    TimeValue c = T(1, 999);
    TimeValue d = T(MaxSeconds, 999);
    EXPECT_EQ(TimeAve(&a, 4), T(2, 625));
    EXPECT_EQ(TimeAve(&b, 2), T(3, 500));
    EXPECT_EQ(TimeAve(&c, 2), T(0, 999));
    EXPECT_EQ(TimeAve(&a, 1), T(10, 500));
    EXPECT_EQ(TimeAve(&d, 4294967u), T(1000, 0));
}

/* A count of 0 gives the zero time value. */
TEST(TimeAve, ZeroCountGivesZero)
{
    TimeValue a = T(10, 500);
    EXPECT_EQ(TimeAve(&a, 0), T(0, 0));
}

/* Whole seconds: the count per second in hundredths, truncated. */
TEST(TimeRate, IsHundredthsPerSecondForWholeSeconds)
{
    struct Case {
        uint32_t N;
        TimeValue T;
        int Result;
    };
    const Case cases[] = {
        {500, T(5, 0), 10000}, {1, T(3, 0), 33},         {7, T(2, 0), 350},
        {0, T(9, 0), 0},       {1, T(MaxSeconds, 0), 0}, {100000, T(1, 0), 10000000},
    };
    for (const Case &c : cases)
        EXPECT_EQ(TimeRate(c.N, &c.T), c.Result) << c.N << " over " << testing::PrintToString(c.T);
}

/* Nothing over no time is no rate. */
TEST(TimeRate, ZeroTimeGivesZero)
{
    TimeValue zero = TimeZero();
    EXPECT_EQ(TimeRate(0, &zero), 0);
    EXPECT_EQ(TimeRate(12345, &zero), 0);
}

/* A millisecond part counts as a fraction of a second. */
TEST(TimeRate, MillisecondsCountAsAFractionOfASecond)
{
    TimeValue half = T(0, 500);
    TimeValue oneAndHalf = T(1, 500);
    EXPECT_EQ(TimeRate(3, &half), 600);
    EXPECT_EQ(TimeRate(3, &oneAndHalf), 200);
}

/* The figure falls smoothly as the milliseconds grow from one second to the next. */
TEST(TimeRate, MillisecondsMoveTheFigureSmoothlyBetweenWholeSeconds)
{
    TimeValue one = T(1, 0);
    TimeValue two = T(2, 0);
    TimeValue oneAndHalf = T(1, 500);
    int atOne = TimeRate(100, &one);
    int atTwo = TimeRate(100, &two);
    int between = TimeRate(100, &oneAndHalf);
    EXPECT_LT(between, atOne);
    EXPECT_GT(between, atTwo);
    int previous = atOne;
    for (uint32_t ms = 1; ms < 1000; ++ms) {
        TimeValue t = T(1, ms);
        int rate = TimeRate(100, &t);
        EXPECT_LE(rate, previous) << ms << " ms";
        EXPECT_GE(rate, atTwo) << ms << " ms";
        previous = rate;
    }
}

/* A figure beyond the int range is clamped to the largest int. */
TEST(TimeRate, HugeCountOverTinyTimeClamps)
{
    TimeValue oneMs = T(0, 1);
    TimeValue oneSecond = T(1, 0);
    EXPECT_EQ(TimeRate(4294967295u, &oneMs), INT_MAX);
    EXPECT_EQ(TimeRate(4294967295u, &oneSecond), INT_MAX);
    EXPECT_EQ(TimeRate(30000000u, &oneSecond), INT_MAX);
}

/* The zero value is (0 s, 0 ms). */
TEST(TimeZero, IsZeroSecondsAndZeroMilliseconds)
{
    EXPECT_EQ(TimeZero(), T(0, 0));
}

/* The largest value is all-ones seconds and 999 milliseconds. */
TEST(TimeBig, IsTheLargestTimeValue)
{
    EXPECT_EQ(TimeBig(), T(MaxSeconds, 999));
}

} // namespace
