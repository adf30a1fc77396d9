/* How long a receive may wait, in the parts a transport's receive timeout
 * takes. */
#ifndef TFX_QLX_DEADLINE_H
#define TFX_QLX_DEADLINE_H

#include <cstdint>

namespace qlx {

/* A wait of so many milliseconds for a message (negative: no end). The first
 * part of a wait goes whole to the transport's receive timeout, with slack for
 * a timer that counts whole milliseconds, so a wait that nothing interrupts
 * reads no clock. Only a wait that a dropped message interrupts is timed by
 * the clock: it then ends the interval after that message, so it is never
 * shorter than asked and, however many messages are dropped, never longer
 * than twice that. */
class Deadline {
  public:
    explicit Deadline(int32_t ms) : ms_(ms) {}
    /* Whether another receive is to be made, and with what receive timeout
     * in *wait (-1: no end; 0: a look without waiting). Asked before each
     * receive; after the first one, only a dropped message leads here. */
    bool NextPart(int32_t *wait);
    /* Whether a receive whose timeout ran out is to be made again, and with
     * what timeout. */
    bool PartRanOut(int32_t *wait);

  private:
    /* A transport's millisecond timer may run out up to about a millisecond
     * early. */
    enum : int32_t { TimerSlackMs = 2 };
    enum class Phase { Unstarted, Whole, Timed };
    bool Unlimited() const { return ms_ < 0; }
    bool Left(int32_t *wait) const;
    int32_t ms_;
    Phase phase_ = Phase::Unstarted;
    uint64_t endNs_ = 0;
};

} // namespace qlx

#endif
