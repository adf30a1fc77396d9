#include "util/Clock.h"

#include "util/SystemClock.h"

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
