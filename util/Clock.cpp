#include "util/Clock.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>

#include "util/ClockMemo.h"
#endif

static const int64_t NsPerSecond = 1000000000;

static int64_t WallNs(const timespec &now)
{
    return static_cast<int64_t>(now.tv_sec) * NsPerSecond + now.tv_nsec;
}

static void Fill(ClockReading *reading, const timespec &now)
{
    reading->Seconds = static_cast<uint32_t>(now.tv_sec);
    reading->Nanoseconds = static_cast<uint32_t>(now.tv_nsec);
}

/* Reads the system clock alone; returns 1, as the clock call does. */
static int ReadSystemClockOnly(ClockReading *reading)
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    Fill(reading, now);
    return 1;
}

#if defined(__x86_64__)

static const int64_t RateSpanNs = 100000000; /* the counter's rate is measured this often */
static const int64_t PairSlackNs = 20000;    /* a paired counter reading is this close */

static thread_local ClockMemo Memo{};

/* Whether the processor declares a counter that ticks at one rate in every
 * power state (one that slows down with the processor would hold the memo
 * past its millisecond), and rdtscp, which names the processor read. */
static bool CounterUsable()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    bool invariant =
        __get_cpuid(0x80000007u, &eax, &ebx, &ecx, &edx) != 0 && (edx & (1u << 8)) != 0;
    return invariant && __get_cpuid(0x80000001u, &eax, &ebx, &ecx, &edx) != 0 &&
           (edx & (1u << 27)) != 0;
}

/* The counter and the processor it was read on: Linux keeps the processor's
 * number in the low 12 bits of what rdtscp reads besides. */
static CounterReading ReadCounter()
{
    unsigned aux = 0;
    uint64_t count = __rdtscp(&aux);
    return CounterReading{count, aux & 0xfffu};
}

/* Measures the counter's rate against the system clock read around it; a
 * pair the thread lost the processor within is left for the next time. */
static void MeasureRateNow()
{
    timespec before{};
    timespec after{};
    (void)clock_gettime(CLOCK_REALTIME, &before);
    CounterReading counter = ReadCounter();
    (void)clock_gettime(CLOCK_REALTIME, &after);
    int64_t spread = WallNs(after) - WallNs(before);
    if (spread >= 0 && spread <= PairSlackNs)
        MeasureRate(&Memo, counter, WallNs(before) + spread / 2);
}

/* Out of line, so that a reading from the memo saves no registers. */
[[gnu::noinline]] static void ReadSystemClock(ClockReading *reading, CounterReading counter)
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    Fill(reading, now);
    int64_t sinceRate = WallNs(now) - Memo.RateNs;
    if (sinceRate >= RateSpanNs || sinceRate < 0)
        MeasureRateNow();
    RememberReading(&Memo, counter, *reading);
}

/* Weak, so that a test's or a stand-in's own clock call is the one linked. */
extern "C" __attribute__((weak)) int SVC1_GetTime(ClockReading *reading)
{
    static const bool Usable = CounterUsable();
    if (!Usable)
        return ReadSystemClockOnly(reading);
    CounterReading counter = ReadCounter();
    if (MemoHolds(Memo, counter))
        *reading = Memo.Last;
    else
        ReadSystemClock(reading, counter);
    return 1;
}

#else

extern "C" __attribute__((weak)) int SVC1_GetTime(ClockReading *reading)
{
    return ReadSystemClockOnly(reading);
}

#endif

void GetTime(TimeValue *t)
{
    ClockReading now{};
    (void)SVC1_GetTime(&now);
    t->Seconds = now.Seconds;
    t->Milliseconds = now.Nanoseconds / 1000000u;
}

uint32_t GetTicks()
{
    static int First = 1;
    static uint32_t BaseTime = 0;
    ClockReading now{};
    (void)SVC1_GetTime(&now);
    uint32_t s = now.Seconds;
    uint32_t ms = now.Nanoseconds / 1000000u;
    if (First) {
        First = 0;
        BaseTime = s;
    }
    return (s - BaseTime) * 1000u + ms;
}
