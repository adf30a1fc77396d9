/* The seeded generator behind request sizes: the same seed gives the same
 * sizes on every machine. */
#ifndef TFX_CLIENT_RANDOMSOURCE_H
#define TFX_CLIENT_RANDOMSOURCE_H

#include <cstdint>

class RandomSource {
  public:
    explicit RandomSource(uint64_t seed) : state_(seed) {}

    /* The next 64 bits of the sequence (SplitMix64). */
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    /* A draw from low to high inclusive, for low <= high; every value is
     * equally likely to within 2^-32. */
    uint32_t Between(uint32_t low, uint32_t high)
    {
        uint64_t span = uint64_t{high} - low + 1;
        return low + static_cast<uint32_t>(((Next() >> 32) * span) >> 32);
    }

  private:
    uint64_t state_;
};

/* A seed that differs from run to run: the clock and the process id, mixed. */
uint64_t SeedFromClock();

#endif
