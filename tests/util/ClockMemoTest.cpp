#include "util/ClockMemo.h"

#include <cstdint>
#include <ctime>
#include <tuple>
#include <utility>
#include <vector>

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
    EXPECT_EQ(memo.LastCount, 5000u);
    EXPECT_EQ(memo.Last.Nanoseconds, nanoseconds);
}

INSTANTIATE_TEST_SUITE_P(Readings, CountsLeft,
                         testing::Values(LeftCase{250000000u, 2.0, 1800000u},
                                         LeftCase{250999999u, 2.0, 1u},
                                         LeftCase{999999999u, 2.0, 1u},
                                         LeftCase{500500000u, 3.0, 1350000u},
                                         LeftCase{0u, 2.096, 1886400u}, LeftCase{7u, 0.0, 0u}));

/* The memo holds from its own counter reading up to the end of its counts;
 * a counter that went back does not hold it, even across a wrap. */
TEST(MemoHolds, OnlyWithinItsCountsAfterItsReading)
{
    ClockMemo memo{};
    memo.LastCount = 1000;
    memo.CountsLeft = 100;
    EXPECT_TRUE(MemoHolds(memo, 1000));
    EXPECT_TRUE(MemoHolds(memo, 1099));
    EXPECT_FALSE(MemoHolds(memo, 1100));
    EXPECT_FALSE(MemoHolds(memo, 999));
    memo.LastCount = UINT64_MAX - 10;
    EXPECT_TRUE(MemoHolds(memo, 50));
    EXPECT_FALSE(MemoHolds(memo, UINT64_MAX - 11));
}

/* Each step: a counter reading and the wall clock in ns paired with it, and
 * the rate trusted after it. */
using Steps = std::vector<std::pair<std::pair<uint64_t, int64_t>, double>>;

/* A rate is trusted only when two measurements in a row agree within 1 %;
 * one across a jump of the counter is never used, and a counter or clock
 * that went back starts afresh. */
TEST(MeasureRate, TrustsOnlyTwoMeasurementsThatAgree)
{
    auto run = [](const Steps &steps) {
        ClockMemo memo{};
        for (size_t i = 0; i < steps.size(); ++i) {
            MeasureRate(&memo, steps[i].first.first, steps[i].first.second);
            EXPECT_DOUBLE_EQ(memo.CountsPerNs, steps[i].second) << "step " << i;
        }
    };
    const int64_t t = 1700000000000000000;
    run({{{1000, t}, 0}, {{201000, t + 100000}, 0}, {{401000, t + 200000}, 2.0}});
    run({{{0, t}, 0},
         {{200000, t + 100000}, 0},
         {{400000, t + 200000}, 2.0},
         {{650000, t + 300000}, 0},
         {{850000, t + 400000}, 0},
         {{1050000, t + 500000}, 2.0}});
    run({{{0, t}, 0}, {{200000, t + 100000}, 0}, {{401500, t + 200000}, 2.015}});
    run({{{0, t}, 0}, {{200000, t + 100000}, 0}, {{403000, t + 200000}, 0}});
    run({{{0, t}, 0},
         {{200000, t + 100000}, 0},
         {{100000, t + 200000}, 0},
         {{300000, t + 300000}, 0},
         {{500000, t + 400000}, 2.0}});
    run({{{0, t}, 0},
         {{200000, t + 100000}, 0},
         {{400000, t + 50000}, 0},
         {{600000, t + 150000}, 0},
         {{800000, t + 250000}, 2.0}});
}

/* Milliseconds since the epoch of a system clock reading, and of the clock call's. */
int64_t Milliseconds(const timespec &now)
{
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t Milliseconds(const ClockReading &reading)
{
    return static_cast<int64_t>(reading.Seconds) * 1000 + reading.Nanoseconds / 1000000;
}

/* Every reading of the clock call names the millisecond the system clock
 * was in at some moment of the call, from before its rate is known until
 * long after (a second or two of readings). */
TEST(ClockCall, ReadsTheMillisecondOfTheSystemClock)
{
    timespec start{};
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < 100000000; ++i) {
        timespec before{};
        timespec after{};
        ClockReading reading{};
        (void)clock_gettime(CLOCK_REALTIME, &before);
        (void)SVC1_GetTime(&reading);
        (void)clock_gettime(CLOCK_REALTIME, &after);
        ASSERT_GE(Milliseconds(reading), Milliseconds(before)) << "reading " << i;
        ASSERT_LE(Milliseconds(reading), Milliseconds(after)) << "reading " << i;
        timespec now{};
        if (i % 1024 == 0 && clock_gettime(CLOCK_MONOTONIC, &now) == 0 &&
            now.tv_sec - start.tv_sec > 1)
            break;
    }
}

} // namespace
