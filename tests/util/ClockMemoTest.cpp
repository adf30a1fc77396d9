#include "util/ClockMemo.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <tuple>

#include <gtest/gtest.h>

namespace {

using LeftCase = std::tuple<uint32_t, double, uint64_t>;

class CountsLeft : public testing::TestWithParam<LeftCase> {};

/* A reading is trusted for nine tenths of what is left of its millisecond,
 * and for nothing while the rate is unknown. */
TEST_P(CountsLeft, AreNineTenthsOfTheMillisecondsRest)
{
    auto [nanoseconds, rate, expected] = GetParam();
    ClockMemo memo{};
    memo.CountsPerNs = rate;
    RememberReading(&memo, 5000, ClockReading{1700000000u, nanoseconds});
    EXPECT_EQ(memo.CountsLeft, expected);
}

INSTANTIATE_TEST_SUITE_P(Readings, CountsLeft,
                         testing::Values(LeftCase{0u, 2.096, 1886400u},
                                         LeftCase{500500000u, 3.0, 1350000u},
                                         LeftCase{999999999u, 2.0, 1u}, LeftCase{7u, 0.0, 0u}));

/* The memo holds from its own counter reading up to the end of its counts,
 * and not for a counter that went back. */
TEST(MemoHolds, OnlyWithinItsCountsAfterItsReading)
{
    ClockMemo memo{};
    memo.LastCount = 1000;
    memo.CountsLeft = 100;
    EXPECT_TRUE(MemoHolds(memo, 1000));
    EXPECT_TRUE(MemoHolds(memo, 1099));
    EXPECT_FALSE(MemoHolds(memo, 1100));
    EXPECT_FALSE(MemoHolds(memo, 999));
}

/* A rate is trusted only when two measurements in a row agree within 1 %,
 * so one taken across a jump of the counter is never used. Each step: a
 * counter reading, the wall clock paired with it, the rate trusted after. */
TEST(MeasureRate, TrustsOnlyTwoMeasurementsThatAgree)
{
    const int64_t t = 1700000000000000000;
    const std::tuple<uint64_t, int64_t, double> steps[] = {
        {0, t, 0},
        {200000, t + 100000, 0},     /* 2.0, nothing to compare with */
        {400000, t + 200000, 2.0},   /* agrees */
        {601500, t + 300000, 2.015}, /* 0.75 % off: agrees */
        {806500, t + 400000, 0},     /* 2.05, 1.7 % off */
        {1056500, t + 500000, 0},    /* 2.5: the counter jumped */
        {1256500, t + 600000, 0},    /* 2.0 against the jump's 2.5 */
        {1456500, t + 700000, 2.0}};
    ClockMemo memo{};
    for (const auto &[count, ns, trusted] : steps) {
        MeasureRate(&memo, count, ns);
        EXPECT_DOUBLE_EQ(memo.CountsPerNs, trusted) << "at count " << count;
    }
}

/* The system clock's milliseconds since the epoch. */
int64_t SystemMilliseconds()
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

/* Every reading of the clock call names the millisecond the system clock
 * was in at some moment of the call, from before its rate is known until
 * long after (a second and a half of readings). */
TEST(ClockCall, ReadsTheMillisecondOfTheSystemClock)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (long i = 0; i < 100000000 && (i % 1024 != 0 || std::chrono::steady_clock::now() < end);
         ++i) {
        ClockReading reading{};
        int64_t before = SystemMilliseconds();
        (void)SVC1_GetTime(&reading);
        int64_t after = SystemMilliseconds();
        int64_t ms = static_cast<int64_t>(reading.Seconds) * 1000 + reading.Nanoseconds / 1000000;
        ASSERT_GE(ms, before) << "reading " << i;
        ASSERT_LE(ms, after) << "reading " << i;
    }
}

} // namespace
