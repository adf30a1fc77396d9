/* The clocks: the wall clock in milliseconds that the server's ticks and time
 * values count by, and the monotonic clock in nanoseconds that intervals,
 * schedules and waits are measured with. */
#ifndef TFX_UTIL_CLOCK_H
#define TFX_UTIL_CLOCK_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "util/TimeValue.h"

/* A reading of the wall clock. */
struct ClockReading {
    uint32_t Seconds;     /* seconds since 1970-01-01 00:00 UTC, modulo 2^32 */
    uint32_t Nanoseconds; /* 0 to 999,999,999 */
};
static_assert(sizeof(ClockReading) == 8);
static_assert(offsetof(ClockReading, Nanoseconds) == 4);

/* The clock call: fills *reading with the current wall-clock time, exact to
 * the millisecond; within a millisecond a reading may repeat the last one
 * taken from the system clock. Returns 1; the clock is taken to be always
 * readable. A program may define its own, which then takes the place of this
 * one at link time. */
extern "C" int SVC1_GetTime(ClockReading *reading);

/* Fills *t with the current time, milliseconds truncated. */
void GetTime(TimeValue *t);

/* Milliseconds since the start of the second of the first call, modulo 2^32.
 * Intervals are the unsigned difference of two counts, right across a wrap. */
uint32_t GetTicks();

/* Nanoseconds since an arbitrary fixed point in the past, never going back
 * and unaffected by changes to the time of day. */
inline uint64_t MonotonicNs()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

#endif
