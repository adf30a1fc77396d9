/* The last reading of the system clock (CLOCK_REALTIME), kept for as long as
 * the time-stamp counter of the processor it was taken on shows that its
 * millisecond cannot have ended. Counters of different processors need not
 * agree (a kernel started with tsc=unstable says they may not), so a
 * counter read on another processor ends the memo. The server reads the
 * clock twice a transaction and uses milliseconds only; a counter reading
 * costs well under half a system clock reading under a hypervisor's clock
 * (docs/performance.md). */
#ifndef TFX_UTIL_CLOCKMEMO_H
#define TFX_UTIL_CLOCKMEMO_H

#include <cstdint>

#include "util/Clock.h"

/* A counter reading and the processor it was read on (rdtscp tells both). */
struct CounterReading {
    uint64_t Count;
    uint32_t Cpu;
};

struct ClockMemo {
    ClockReading Last;   /* the last reading of the system clock */
    uint64_t LastCount;  /* the counter, read just before Last */
    uint32_t LastCpu;    /* the processor LastCount was read on */
    uint32_t RateCpu;    /* the processor RateCount was read on */
    uint64_t CountsLeft; /* counts after LastCount within Last's millisecond; 0: none */
    uint64_t RateCount;  /* the counter at RateNs, where the rate is measured from */
    int64_t RateNs;      /* the system clock (CLOCK_REALTIME) in ns; 0: none yet */
    double CountsPerNs;  /* the counter's rate, measured twice alike; 0: not yet */
    double Measured;     /* the last rate measured, to compare the next with */
};

/* Whether a counter reading taken after the memo's (on the same thread)
 * still lies in Last's millisecond: read on the same processor, neither
 * gone back nor jumped ahead. */
inline bool MemoHolds(const ClockMemo &memo, CounterReading counter)
{
    return counter.Cpu == memo.LastCpu && counter.Count - memo.LastCount < memo.CountsLeft;
}

/* Keeps reading, taken just after counter, as the memo's. It is trusted for
 * nine tenths of what is left of its millisecond at the measured rate, so a
 * rate up to a tenth too high still ends it in time. */
void RememberReading(ClockMemo *memo, CounterReading counter, ClockReading reading);

/* Measures the counter's rate from the memo's base to a counter reading
 * paired with a system clock (CLOCK_REALTIME) reading in ns, and makes them
 * the new base. The rate is trusted once two measurements in a row agree
 * within 1 %: one taken across a jump of the counter (a virtual machine
 * moved or resumed) does not agree with the next. A counter or clock that
 * went back is a fresh start; a counter read on another processor than the
 * base's only becomes the new base, the rate kept. */
void MeasureRate(ClockMemo *memo, CounterReading counter, int64_t wallNs);

#endif
