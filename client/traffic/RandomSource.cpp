#include "client/traffic/RandomSource.h"

#include <unistd.h>

#include "util/Clock.h"

uint64_t SeedFromClock()
{
    RandomSource mixer(MonotonicNs() + (static_cast<uint64_t>(getpid()) << 40));
    /* Small seeds are easier to read back and type again. */
    return mixer.Next() % 1000000000u;
}
