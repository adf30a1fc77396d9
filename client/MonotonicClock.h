/* The clock that latencies and schedules are measured with: monotonic, in
 * nanoseconds, unaffected by changes to the time of day. */
#ifndef TFX_CLIENT_MONOTONICCLOCK_H
#define TFX_CLIENT_MONOTONICCLOCK_H

#include <cstdint>
#include <ctime>

/* Nanoseconds since an arbitrary fixed point in the past. */
inline uint64_t NowNs()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

#endif
