#include "metrics/LatencyBuckets.h"

/* The E48 series (IEC 60063), as three significant digits. */
static constexpr uint16_t E48[48] = {100, 105, 110, 115, 121, 127, 133, 140, 147, 154, 162, 169,
                                     178, 187, 196, 205, 215, 226, 237, 249, 261, 274, 287, 301,
                                     316, 332, 348, 365, 383, 402, 422, 442, 464, 487, 511, 536,
                                     562, 590, 619, 649, 681, 715, 750, 787, 825, 866, 909, 953};

struct BoundTable {
    uint64_t Ns[LatencyBounds];
};

/* Each decade scales the series by ten; the first bound, 10 us, is 100 * 100 ns. */
static constexpr BoundTable MakeBounds()
{
    BoundTable table{};
    uint64_t scale = 100;
    for (size_t index = 0; index < LatencyBounds; ++index) {
        if (index != 0 && index % 48 == 0)
            scale *= 10;
        table.Ns[index] = E48[index % 48] * scale;
    }
    return table;
}

static constexpr BoundTable Bounds = MakeBounds();
static_assert(Bounds.Ns[LatencyBounds - 1] == 100000000000ull, "the last bound is 100 s");

uint64_t LatencyBoundNs(size_t index)
{
    return index < LatencyBounds ? Bounds.Ns[index] : UINT64_MAX;
}

size_t LatencyBucketOf(uint64_t ns)
{
    size_t low = 0;
    size_t high = LatencyBounds;
    while (low < high) {
        size_t middle = (low + high) / 2;
        if (Bounds.Ns[middle] < ns)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}
