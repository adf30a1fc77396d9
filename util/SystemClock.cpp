#include "util/SystemClock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

/* The server reads the clock twice a transaction, and a system clock call
 * costs as much as a good part of the server's own work. Where the
 * processor's time-stamp counter can be trusted, the counter is read
 * instead: each thread anchors it on the system clock at least once a
 * millisecond and scales it by a rate measured against the raw monotonic
 * clock, so a reading stays within a microsecond of the system clock. */

static const int64_t NsPerSecond = 1000000000;

static int64_t ReadNs(clockid_t clock)
{
    timespec now{};
    (void)clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * NsPerSecond + now.tv_nsec;
}

static void Fill(ClockReading *reading, int64_t ns)
{
    int64_t seconds = ns / NsPerSecond;
    int64_t rest = ns % NsPerSecond;
    if (rest < 0) {
        rest += NsPerSecond;
        --seconds;
    }
    reading->Seconds = static_cast<uint32_t>(seconds);
    reading->Nanoseconds = static_cast<uint32_t>(rest);
}

#if defined(__x86_64__)

static const int64_t AnchorSpanNs = 1000000;       /* an anchor serves this long */
static const int64_t CalibrationSpanNs = 20000000; /* the rate is measured over at least this */
static const int64_t PairSlackNs = 4000;           /* a counter and clock pair is this close */
static const int64_t DriftLimitNs = 50000;         /* a calibrated counter misses by less */

static bool KernelKeepsTimeByCounter()
{
    FILE *file = fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
    if (file == nullptr)
        return false;
    char name[16] = {};
    bool tsc = fgets(name, sizeof name, file) != nullptr && strcmp(name, "tsc\n") == 0;
    (void)fclose(file);
    return tsc;
}

static bool HasFlag(const char *flags, const char *flag)
{
    size_t length = strlen(flag);
    for (const char *at = strstr(flags, flag); at != nullptr; at = strstr(at + 1, flag)) {
        if ((at == flags || at[-1] == ' ' || at[-1] == '\t') &&
            (at[length] == ' ' || at[length] == '\n' || at[length] == '\0'))
            return true;
    }
    return false;
}

/* A counter that ticks at one rate in every power state, as a hypervisor
 * that keeps the guest's time by kvm-clock (itself read from the counter)
 * declares it. */
static bool CounterInvariant()
{
    FILE *file = fopen("/proc/cpuinfo", "r");
    if (file == nullptr)
        return false;
    char *line = nullptr;
    size_t size = 0;
    bool invariant = false;
    while (getline(&line, &size, file) > 0) {
        if (strncmp(line, "flags", 5) != 0)
            continue;
        invariant = HasFlag(line, "constant_tsc") && HasFlag(line, "nonstop_tsc");
        break;
    }
    free(line);
    (void)fclose(file);
    return invariant;
}

/* Only a steady counter will do. One that jumps or changes its rate all the
 * same (a virtual machine moved to another host) is caught at the next
 * anchor, and is then measured afresh. */
static bool CounterTrusted()
{
    static const bool Trusted = KernelKeepsTimeByCounter() || CounterInvariant();
    return Trusted;
}

struct CounterClock {
    uint64_t RateBaseCount; /* the thread's first reading, for the rate */
    int64_t RateBaseNs;
    double NsPerCount;   /* 0 until measured */
    uint64_t SpanCounts; /* counts an anchor serves; 0 until the rate is known */
    uint64_t AnchorCount;
    int64_t AnchorNs; /* the system clock at AnchorCount */
    int64_t LastNs;   /* the last reading given */
};

static thread_local CounterClock Counter{};

/* A counter reading with a clock reading taken around it; false when
 * something came between them (the thread lost the processor), which would
 * pair the counter with the wrong time. */
static bool ReadPair(clockid_t clock, uint64_t *count, int64_t *ns)
{
    int64_t before = ReadNs(clock);
    *count = __rdtsc();
    int64_t after = ReadNs(clock);
    *ns = before + (after - before) / 2;
    return after - before <= PairSlackNs;
}

/* Whether the scaled counter, a span or so after the last anchor, misses
 * the system clock by more than a calibrated counter can: it jumped, or its
 * rate changed. */
static bool Drifted(const CounterClock &c, uint64_t count, int64_t wall)
{
    uint64_t elapsed = count - c.AnchorCount;
    if (c.SpanCounts == 0 || elapsed >= 2 * c.SpanCounts)
        return false;
    int64_t scaled = c.AnchorNs + static_cast<int64_t>(static_cast<double>(elapsed) * c.NsPerCount);
    return scaled - wall > DriftLimitNs || wall - scaled > DriftLimitNs;
}

/* The rate is measured afresh from the next anchor on; the last reading
 * given stays, so the clock still never goes back. */
static void ForgetRate(CounterClock *c)
{
    c->RateBaseCount = 0;
    c->RateBaseNs = 0;
    c->NsPerCount = 0;
    c->SpanCounts = 0;
}

/* Takes a fresh anchor, and measures the rate once enough time has passed
 * since the thread's first reading. A reading that cannot be paired is the
 * system clock's, and the next one tries again. Kept out of line, so that
 * the common reading saves no registers. */
[[gnu::noinline]] static int64_t Reanchor(CounterClock &c)
{
    uint64_t rawCount = 0;
    uint64_t count = 0;
    int64_t raw = 0;
    int64_t wall = 0;
    if (!ReadPair(CLOCK_MONOTONIC_RAW, &rawCount, &raw) || !ReadPair(CLOCK_REALTIME, &count, &wall))
        return ReadNs(CLOCK_REALTIME);
    if (Drifted(c, count, wall))
        ForgetRate(&c);
    if (c.RateBaseCount == 0) {
        c.RateBaseCount = rawCount;
        c.RateBaseNs = raw;
    } else if (raw - c.RateBaseNs >= CalibrationSpanNs && rawCount > c.RateBaseCount) {
        c.NsPerCount = static_cast<double>(raw - c.RateBaseNs) /
                       static_cast<double>(rawCount - c.RateBaseCount);
        c.SpanCounts = static_cast<uint64_t>(static_cast<double>(AnchorSpanNs) / c.NsPerCount);
    }
    c.AnchorCount = count;
    c.AnchorNs = wall;
    return wall;
}

static int64_t CounterNs()
{
    CounterClock &c = Counter;
    uint64_t elapsed = __rdtsc() - c.AnchorCount;
    int64_t ns =
        elapsed < c.SpanCounts
            ? c.AnchorNs + static_cast<int64_t>(static_cast<double>(elapsed) * c.NsPerCount)
            : Reanchor(c);
    /* A scaled reading may run a little ahead of the next anchor; a step of
     * the system clock itself is followed. */
    if (ns < c.LastNs && c.LastNs - ns < AnchorSpanNs)
        ns = c.LastNs;
    c.LastNs = ns;
    return ns;
}

static int64_t NowNs()
{
    return CounterTrusted() ? CounterNs() : ReadNs(CLOCK_REALTIME);
}

#else

static int64_t NowNs()
{
    return ReadNs(CLOCK_REALTIME);
}

#endif

int SVC1_GetTime(ClockReading *reading)
{
    Fill(reading, NowNs());
    return 1;
}
