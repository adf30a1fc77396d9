/* The plan of messages: which message is a datagram, how large each one is,
 * and, in an open loop, when each one is meant to be sent. Messages are
 * numbered from 1; the same seed gives the same plan. */
#ifndef TFX_CLIENT_WORKLOAD_H
#define TFX_CLIENT_WORKLOAD_H

#include <cstdint>

#include "client/options/ClientOptions.h"
#include "client/traffic/RandomSource.h"

struct PlannedMessage {
    uint64_t Seq; /* 1, 2, ... */
    bool Datagram;
    uint32_t Size; /* data bytes */
};

class Workload {
  public:
    Workload(const ClientSettings &settings, uint64_t seed);

    /* The next message to send; the same until Take. */
    const PlannedMessage &Peek() const { return next_; }

    /* Moves on to the message after Peek's. */
    void Take();

    /* How long after the start of the run message seq is meant to be sent
     * under the rate (-r): evenly spaced, the first at 0. 0 without a rate. */
    uint64_t IntendedOffsetNs(uint64_t seq) const;

  private:
    void Plan(uint64_t seq);

    RandomSource random_;
    uint32_t sizeMin_;
    uint32_t sizeMax_;
    uint64_t datagramShare_; /* parts per million */
    uint64_t shareCarry_ = 0;
    double periodNs_;
    PlannedMessage next_{};
};

#endif
