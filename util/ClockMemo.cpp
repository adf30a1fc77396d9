#include "util/ClockMemo.h"

static const double TrustedShare = 0.9;
static const double RateAgreement = 0.01;
static const uint32_t NsPerMs = 1000000;

void RememberReading(ClockMemo *memo, CounterReading counter, ClockReading reading)
{
    memo->Last = reading;
    memo->LastCount = counter.Count;
    memo->LastCpu = counter.Cpu;
    uint32_t nsLeft = NsPerMs - reading.Nanoseconds % NsPerMs;
    memo->CountsLeft = static_cast<uint64_t>(nsLeft * memo->CountsPerNs * TrustedShare);
}

void MeasureRate(ClockMemo *memo, CounterReading counter, int64_t wallNs)
{
    uint64_t count = counter.Count;
    bool sameCpu = counter.Cpu == memo->RateCpu;
    memo->RateCpu = counter.Cpu;
    if (!sameCpu && memo->RateNs != 0) {
        memo->RateCount = count;
        memo->RateNs = wallNs;
        return;
    }
    double rate = 0;
    if (memo->RateNs != 0 && wallNs > memo->RateNs && count > memo->RateCount)
        rate = static_cast<double>(count - memo->RateCount) /
               static_cast<double>(wallNs - memo->RateNs);
    bool agrees = rate > 0 && memo->Measured > 0 && rate <= memo->Measured * (1 + RateAgreement) &&
                  rate >= memo->Measured * (1 - RateAgreement);
    memo->CountsPerNs = agrees ? rate : 0;
    memo->Measured = rate;
    memo->RateCount = count;
    memo->RateNs = wallNs;
}
