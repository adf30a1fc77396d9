/* The millisecond clock: the current time, and a 32-bit millisecond tick count. */
#ifndef TFX_UTIL_CLOCK_H
#define TFX_UTIL_CLOCK_H

#include <cstdint>

#include "util/TimeValue.h"

/* Fills *t with the current time, milliseconds truncated. */
void GetTime(TimeValue *t);

/* Milliseconds since the start of the second of the first call, modulo 2^32.
 * Intervals are the unsigned difference of two counts, right across a wrap. */
uint32_t GetTicks();

#endif
