/* The last reading of the system clock, kept for as long as the processor's
 * time-stamp counter shows that its millisecond cannot have ended. The
 * server reads the clock twice a transaction and uses milliseconds only; a
 * counter reading costs well under half a system clock reading under a
 * hypervisor's clock (docs/performance.md). */
#ifndef TFX_UTIL_CLOCKMEMO_H
#define TFX_UTIL_CLOCKMEMO_H

#include <cstdint>

#include "util/Clock.h"

struct ClockMemo {
    ClockReading Last;   /* the last reading of the system clock */
    uint64_t LastCount;  /* the counter, read just before Last */
    uint64_t CountsLeft; /* counts after LastCount within Last's millisecond; 0: none */
    uint64_t RateCount;  /* the counter at RateNs, where the rate is measured from */
    int64_t RateNs;      /* a raw monotonic reading; 0: none yet */
    double CountsPerNs;  /* the counter's rate, measured twice alike; 0: not yet */
    double Measured;     /* the last rate measured, to compare the next with */
};

/* Whether a counter reading taken after the memo's (on the same thread)
 * still lies in Last's millisecond. A counter that went back, or jumped
 * ahead, does not. */
inline bool MemoHolds(const ClockMemo &memo, uint64_t count)
{
    return count - memo.LastCount < memo.CountsLeft;
}

/* Keeps reading, taken just after the counter read count, as the memo's.
 * It is trusted for nine tenths of what is left of its millisecond at the
 * measured rate, so a rate up to a tenth too high still ends it in time. */
void RememberReading(ClockMemo *memo, uint64_t count, ClockReading reading);

/* Measures the counter's rate from the memo's base to a counter reading
 * paired with a raw monotonic reading, and makes them the new base. The
 * rate is trusted once two measurements in a row agree within 1 %: one
 * taken across a jump of the counter (a virtual machine moved or resumed)
 * does not agree with the next. A counter or clock that went back is a
 * fresh start. */
void MeasureRate(ClockMemo *memo, uint64_t count, int64_t rawNs);

#endif
