#include "util/SystemClock.h"

#include <ctime>

int SVC1_GetTime(ClockReading *reading)
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    reading->Seconds = static_cast<uint32_t>(now.tv_sec);
    reading->Nanoseconds = static_cast<uint32_t>(now.tv_nsec);
    return 1;
}
