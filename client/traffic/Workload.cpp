#include "client/traffic/Workload.h"

#include <cmath>

enum : uint64_t { Million = 1000000 };

Workload::Workload(const ClientSettings &settings, uint64_t seed)
    : random_(seed), sizeMin_(settings.SizeMin), sizeMax_(settings.SizeMax),
      datagramShare_(static_cast<uint64_t>(std::llround(settings.DatagramPercent * 10000.0))),
      periodNs_(settings.Rate > 0.0 ? 1e9 / settings.Rate : 0.0)
{
    Plan(1);
}

/* The datagrams are spread evenly rather than drawn, so a share gives the
 * same exact count on every run: with 25 percent, every fourth message. */
void Workload::Plan(uint64_t seq)
{
    shareCarry_ += datagramShare_;
    bool datagram = shareCarry_ >= Million;
    if (datagram)
        shareCarry_ -= Million;
    next_ = PlannedMessage{seq, datagram, random_.Between(sizeMin_, sizeMax_)};
}

void Workload::Take()
{
    Plan(next_.Seq + 1);
}

uint64_t Workload::IntendedOffsetNs(uint64_t seq) const
{
    return static_cast<uint64_t>(std::llround(static_cast<double>(seq - 1) * periodNs_));
}
