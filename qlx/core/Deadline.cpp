#include "qlx/core/Deadline.h"

#include <algorithm>

#include "qlx/core/MonotonicClock.h"

namespace qlx {

static const uint64_t NsPerMs = 1000000;

bool Deadline::NextPart(int32_t *wait)
{
    if (Unlimited()) {
        *wait = -1;
        return true;
    }
    if (phase_ == Phase::Unstarted) {
        phase_ = Phase::Whole;
        *wait = ms_ == 0 ? 0 : ms_ + std::min<int32_t>(TimerSlackMs, INT32_MAX - ms_);
        return true;
    }
    if (phase_ == Phase::Whole) {
        phase_ = Phase::Timed;
        endNs_ = MonotonicNs() + static_cast<uint64_t>(ms_) * NsPerMs;
    }
    return Left(wait);
}

bool Deadline::PartRanOut(int32_t *wait)
{
    if (Unlimited()) {
        *wait = -1;
        return true;
    }
    return phase_ == Phase::Timed && Left(wait);
}

/* What is left of a timed wait, rounded up to whole milliseconds. */
bool Deadline::Left(int32_t *wait) const
{
    uint64_t now = MonotonicNs();
    uint64_t left = endNs_ > now ? endNs_ - now : 0;
    *wait = static_cast<int32_t>((left + NsPerMs - 1) / NsPerMs);
    return *wait > 0;
}

} // namespace qlx
