/* The platform clock call that the millisecond clock reads. */
#ifndef TFX_UTIL_SYSTEMCLOCK_H
#define TFX_UTIL_SYSTEMCLOCK_H

#include <cstddef>
#include <cstdint>

struct ClockReading {
    uint32_t Seconds;     /* seconds since 1970-01-01 00:00 UTC, modulo 2^32 */
    uint32_t Nanoseconds; /* 0 to 999,999,999 */
};
static_assert(sizeof(ClockReading) == 8);
static_assert(offsetof(ClockReading, Nanoseconds) == 4);

/* Fills *reading with the current wall-clock time. Returns 1; the clock is
 * taken to be always readable. */
extern "C" int SVC1_GetTime(ClockReading *reading);

#endif
