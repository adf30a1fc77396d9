#include "server/RandomDraw.h"

#include <cstdint>

static uint32_t NextRandom = 1;

/* The portable generator of the C standard: 15 bits, whatever RAND_MAX is. */
int DrawRandom()
{
    NextRandom = NextRandom * 1103515245u + 12345u;
    return static_cast<int>((NextRandom / 65536u) % 32768u);
}

int DrawInRange(int minimum, int maximum)
{
    int64_t r = DrawRandom();
    int64_t span = int64_t{maximum} - minimum;
    return static_cast<int>(minimum + r * span / 32767);
}
