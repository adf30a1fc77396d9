#include "client/RandomSource.h"

#include <ctime>
#include <unistd.h>

uint64_t SeedFromClock()
{
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    RandomSource mixer(static_cast<uint64_t>(now.tv_sec) * 1000000000u +
                       static_cast<uint64_t>(now.tv_nsec) +
                       (static_cast<uint64_t>(getpid()) << 40));
    /* Small seeds are easier to read back and type again. */
    return mixer.Next() % 1000000000u;
}
