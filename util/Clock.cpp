#include "util/Clock.h"

/* Weak, so that a test's or a stand-in's own clock call is the one linked. */
extern "C" __attribute__((weak)) int SVC1_GetTime(ClockReading *reading)
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    reading->Seconds = static_cast<uint32_t>(now.tv_sec);
    reading->Nanoseconds = static_cast<uint32_t>(now.tv_nsec);
    return 1;
}

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
