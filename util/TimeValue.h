/* Time values: whole seconds with a millisecond part, and their arithmetic.
 * All arithmetic is unsigned 32-bit and wraps without notice unless said. */
#ifndef TFX_UTIL_TIMEVALUE_H
#define TFX_UTIL_TIMEVALUE_H

#include <cstddef>
#include <cstdint>

struct TimeValue {
    uint32_t Seconds;      /* an instant since 1970-01-01 00:00 UTC, or a duration */
    uint32_t Milliseconds; /* 0 to 999 */
};
static_assert(sizeof(TimeValue) == 8);
static_assert(offsetof(TimeValue, Milliseconds) == 4);

/* 1 when both fields are equal, else 0. */
int TimeEqual(const TimeValue *a, const TimeValue *b);
/* -1 when a is earlier than b, 0 when equal, 1 when later. */
int TimeCompare(const TimeValue *a, const TimeValue *b);
/* a - b, for a not earlier than b; otherwise the seconds wrap. */
TimeValue TimeDiff(const TimeValue *a, const TimeValue *b);
/* The whole seconds of a - b. */
uint32_t TimeDiffSec(const TimeValue *a, const TimeValue *b);
/* a + b; the seconds wrap at 2^32 (TimeOverflow tells when). */
TimeValue TimeSum(const TimeValue *a, const TimeValue *b);
/* The earlier of a and b. */
TimeValue TimeMin(const TimeValue *a, const TimeValue *b);
/* The later of a and b. */
TimeValue TimeMax(const TimeValue *a, const TimeValue *b);
/* t in hundredths of a second, the dropped millisecond rounded half up; 0 for
 * a value whose seconds are all ones. */
uint32_t Time100(const TimeValue *t);
/* t in milliseconds; 0 for a value whose seconds are all ones. */
uint32_t TimeMs(const TimeValue *t);
/* t / n in hundredths of a second, truncated; 0 when n is 0. */
uint32_t TimeAve100(const TimeValue *t, uint32_t n);
/* t / n; (0, 0) when n is 0. */
TimeValue TimeAve(const TimeValue *t, uint32_t n);
/* n per second of t, in hundredths, in single precision; 0 for a zero t. */
int TimeRate(uint32_t n, const TimeValue *t);
/* (0 s, 0 ms). */
TimeValue TimeZero();
/* The largest time value, (4294967295 s, 999 ms). */
TimeValue TimeBig();
/* 1 when the seconds of a + b do not fit in 32 bits, else 0. */
int TimeOverflow(const TimeValue *a, const TimeValue *b);

#endif
