/* Timestamp text: a time value as 16 digits of UTC calendar time. */
#ifndef TFX_UTIL_TIMESTAMP_H
#define TFX_UTIL_TIMESTAMP_H

#include "util/TimeValue.h"

/* Writes exactly 16 digits to out, without a terminator: years since 1900
 * (3 digits), month, day, hour, minute, second (2 digits each) in UTC, then
 * the milliseconds (3 digits). Seconds are taken as unsigned, so values of
 * 2^31 and above fall after 2038. Touches nothing beyond out[15]. */
void SecondsToString(char *out, const TimeValue *t);

/* Writes the timestamp of t to the trace as a detail line, formatted by label,
 * whose one string conversion receives the timestamp. No other effect. */
void TimePrint(const char *label, const TimeValue *t);

#endif
