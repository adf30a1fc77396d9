#include "util/ClockMemo.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <sched.h>
#include <tuple>
#include <vector>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

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
    RememberReading(&memo, CounterReading{5000, 1}, ClockReading{1700000000u, nanoseconds});
    EXPECT_EQ(memo.CountsLeft, expected);
}

INSTANTIATE_TEST_SUITE_P(Readings, CountsLeft,
                         testing::Values(LeftCase{0u, 2.096, 1886400u},
                                         LeftCase{500500000u, 3.0, 1350000u},
                                         LeftCase{999999999u, 2.0, 1u}, LeftCase{7u, 0.0, 0u}));

/* The memo holds from its own counter reading up to the end of its counts,
 * on the processor it was taken on alone, and not for a counter that went
 * back: another processor's counter may be behind or ahead. */
TEST(MemoHolds, OnlyWithinItsCountsAfterItsReadingOnItsProcessor)
{
    ClockMemo memo{};
    RememberReading(&memo, CounterReading{1000, 3}, ClockReading{});
    memo.CountsLeft = 100;
    const std::tuple<uint64_t, uint32_t, bool> cases[] = {
        {1000, 3, true}, {1099, 3, true}, {1100, 3, false}, {999, 3, false}, {1050, 2, false}};
    for (const auto &[count, cpu, holds] : cases)
        EXPECT_EQ(MemoHolds(memo, CounterReading{count, cpu}), holds) << count << " on " << cpu;
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
        MeasureRate(&memo, CounterReading{count, 0}, ns);
        EXPECT_DOUBLE_EQ(memo.CountsPerNs, trusted) << "at count " << count;
    }
}

/* A counter read on another processor than the base's measures nothing,
 * however far apart the two counters are, and keeps the rate trusted; it
 * becomes the base that the next reading there is measured from. */
TEST(MeasureRate, AcrossProcessorsOnlyMovesTheBase)
{
    const int64_t t = 1700000000000000000;
    const std::tuple<uint64_t, uint32_t, int64_t, double> steps[] = {
        {0, 0, t, 0},
        {200000, 0, t + 100000, 0},
        {400000, 0, t + 200000, 2.0},
        {9000000, 1, t + 300000, 2.0}, /* a counter far ahead: not a rate */
        {9200000, 1, t + 400000, 2.0},
        {100, 0, t + 500000, 2.0}}; /* one far behind: not a fresh start */
    ClockMemo memo{};
    for (const auto &[count, cpu, ns, trusted] : steps) {
        MeasureRate(&memo, CounterReading{count, cpu}, ns);
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

/* The processors this thread may run on; puts its affinity back at the end
 * of scope. */
class Processors {
  public:
    Processors()
    {
        (void)sched_getaffinity(0, sizeof saved_, &saved_);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &saved_))
                cpus_.push_back(cpu);
        }
    }
    ~Processors() { (void)sched_setaffinity(0, sizeof saved_, &saved_); }
    Processors(const Processors &) = delete;
    Processors &operator=(const Processors &) = delete;
    const std::vector<int> &Cpus() const { return cpus_; }
    /* Moves this thread onto cpu; false when the system refuses. */
    static bool MoveTo(int cpu)
    {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        return sched_setaffinity(0, sizeof one, &one) == 0;
    }

  private:
    cpu_set_t saved_{};
    std::vector<int> cpus_;
};

#if defined(__x86_64__)
/* What the memo's trust rests on: rdtscp names the processor it read the
 * counter on, as the system numbers it. */
TEST(Counter, NamesTheProcessorItIsReadOn)
{
    Processors processors;
    for (int cpu : processors.Cpus()) {
        ASSERT_TRUE(Processors::MoveTo(cpu));
        unsigned aux = 0;
        (void)__rdtscp(&aux);
        EXPECT_EQ(static_cast<int>(aux & 0xfffu), cpu);
    }
}
#endif

/* Every reading of the clock call names the millisecond the system clock
 * was in at some moment of the call, from before its rate is known until
 * long after (a second and a half of readings), the thread moved from one
 * processor to the next every 4,096 readings. */
TEST(ClockCall, ReadsTheMillisecondOfTheSystemClock)
{
    Processors processors;
    size_t next = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (long i = 0; i < 100000000 && (i % 1024 != 0 || std::chrono::steady_clock::now() < end);
         ++i) {
        if (i % 4096 == 0)
            (void)Processors::MoveTo(processors.Cpus()[next++ % processors.Cpus().size()]);
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
