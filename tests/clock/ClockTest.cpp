#include "util/Clock.h"

#include <cstdint>
#include <ostream>

#include <gtest/gtest.h>

#include "util/Clock.h"

/* The clock call, scripted: this definition takes the place of the system one
 * at link time, so every reading is the one the test has set. */
static ClockReading NextReading{};
static int ClockCalls = 0;

extern "C" int SVC1_GetTime(ClockReading *reading)
{
    *reading = NextReading;
    ++ClockCalls;
    return 1;
}

static bool operator==(const TimeValue &a, const TimeValue &b)
{
    return a.Seconds == b.Seconds && a.Milliseconds == b.Milliseconds;
}

static void PrintTo(const TimeValue &t, std::ostream *out)
{
    *out << "(" << t.Seconds << " s, " << t.Milliseconds << " ms)";
}

namespace {

/* The second in which the process first asks for ticks. */
const uint32_t BaseSecond = 1700000000u;

void SetReading(uint32_t seconds, uint32_t nanoseconds)
{
    NextReading = {seconds, nanoseconds};
}

/* The ticks of the first GetTicks call of the process, which is made 0.250 s
 * into the base second. Every GetTicks test calls this first, so the base is
 * the same whether the tests run one per process or all in one. */
uint32_t FirstTicks()
{
    static const uint32_t ticks = [] {
        SetReading(BaseSecond, 250000000u);
        return GetTicks();
    }();
    return ticks;
}

/* Ticks for a reading at the given offset from the start of the base second. */
uint32_t TicksAt(uint32_t secondsAfterBase, uint32_t nanoseconds)
{
    (void)FirstTicks();
    SetReading(BaseSecond + secondsAfterBase, nanoseconds);
    return GetTicks();
}

/* The first call counts from the start of its own second, not from zero. */
TEST(GetTicks, FirstCallGivesTheMillisecondsWithinItsSecond)
{
    EXPECT_EQ(FirstTicks(), 250u);
}

/* Later calls count the milliseconds since the start of the base second. */
TEST(GetTicks, CountsFromTheStartOfTheBaseSecond)
{
    EXPECT_EQ(TicksAt(2, 750000000u), 2750u);
    EXPECT_EQ(TicksAt(0, 0), 0u);
    EXPECT_EQ(TicksAt(1, 1000000u), 1001u);
}

/* Nanoseconds are truncated to milliseconds: the last one of a second is 999. */
TEST(GetTicks, TruncatesNanoseconds)
{
    EXPECT_EQ(TicksAt(0, 999999999u), 999u);
    EXPECT_EQ(TicksAt(3, 999999u), 3000u);
    EXPECT_EQ(TicksAt(3, 1999999u), 3001u);
}

/* 2^32 ms after the base second the count starts again from small values. */
TEST(GetTicks, WrapsAfter2To32Milliseconds)
{
    EXPECT_EQ(TicksAt(4294967u, 295999999u), 4294967295u);
    EXPECT_EQ(TicksAt(4294967u, 296000000u), 0u);
    EXPECT_EQ(TicksAt(4294968u, 0), 704u);
}

/* The unsigned difference of two counts is the elapsed time across the wrap. */
TEST(GetTicks, DifferenceAcrossTheWrapIsTheElapsedTime)
{
    uint32_t earlier = TicksAt(4294966u, 500000000u);
    uint32_t later = TicksAt(4294968u, 0);
    EXPECT_GT(earlier, later);
    EXPECT_EQ(later - earlier, 1500u);
}

/* A clock set back below the base second makes the count jump to a huge value. */
TEST(GetTicks, ClockSetBackGivesAHugeCount)
{
    (void)FirstTicks();
    SetReading(BaseSecond - 1, 0);
    EXPECT_EQ(GetTicks(), 4294966296u);
    SetReading(BaseSecond - 1, 999000000u);
    EXPECT_EQ(GetTicks(), 4294967295u);
}

/* Each count takes exactly one clock reading. */
TEST(GetTicks, ReadsTheClockOncePerCall)
{
    (void)FirstTicks();
    int before = ClockCalls;
    (void)TicksAt(1, 0);
    EXPECT_EQ(ClockCalls, before + 1);
}

/* The current time is the reading's seconds with its nanoseconds truncated to milliseconds. */
TEST(GetTime, TruncatesNanosecondsToMilliseconds)
{
    TimeValue t{};
    SetReading(1700000123u, 999999999u);
    GetTime(&t);
    EXPECT_EQ(t, (TimeValue{1700000123u, 999}));
    SetReading(0, 1999999u);
    GetTime(&t);
    EXPECT_EQ(t, (TimeValue{0, 1}));
    SetReading(4294967295u, 0);
    GetTime(&t);
    EXPECT_EQ(t, (TimeValue{4294967295u, 0}));
}

/* The time keeps no base: the seconds are those of the reading itself. */
TEST(GetTime, KeepsNoStateAndReadsTheClockOnce)
{
    TimeValue t{};
    int before = ClockCalls;
    SetReading(5, 0);
    GetTime(&t);
    EXPECT_EQ(t, (TimeValue{5, 0}));
    EXPECT_EQ(ClockCalls, before + 1);
    SetReading(3, 250000000u);
    GetTime(&t);
    EXPECT_EQ(t, (TimeValue{3, 250}));
}

} // namespace
