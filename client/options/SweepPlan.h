/* The rates a capacity sweep (-R) tries, one after the other: the steps from
 * a start to a stop rate, or a search that narrows the knee between them. */
#ifndef TFX_CLIENT_SWEEPPLAN_H
#define TFX_CLIENT_SWEEPPLAN_H

#include <cstddef>
#include <string>

enum : unsigned { MaxSweepSteps = 1000 }; /* so a mistyped step cannot run for days */

/* The search ends when the highest rate met and the lowest one failed lie
 * within this factor of each other. */
constexpr double SearchPrecision = 1.02;

/* Transactions per second, as -R gives them. */
struct RateRange {
    double Start = 0.0;
    double Stop = 0.0;
    double Step = 0.0; /* 0: a search instead of steps */

    bool Search() const { return Step == 0.0; }
};

/* Reads "start:stop:step" or "start:stop" (a search), each a rate from
 * 0.001 to 1e9 with an optional k (thousands) or M (millions): 10k:200k:10k.
 * False with *error saying what is wrong; *range is then left alone. */
bool ParseRateRange(const char *text, RateRange *range, std::string *error);

/* Gives the rates to try one at a time, and takes each one's verdict. A
 * sweep in steps goes up from the start and ends at the first rate that
 * fails, or after the stop. A search tries the geometric middle of the
 * highest rate met and the lowest one failed (the start and the stop until
 * they are tried) until they lie within SearchPrecision; it tries the start
 * or the stop only when the knee is near it. */
class SweepPlan {
  public:
    explicit SweepPlan(const RateRange &range) : range_(range), low_(range.Start), high_(range.Stop)
    {
    }

    /* The next rate to try; false when the sweep is over. */
    bool Next(double *rate) const;

    /* Whether the rate that Next gave met the conditions. */
    void Record(double rate, bool met);

  private:
    bool NextStep(double *rate) const;
    bool NextInSearch(double *rate) const;

    RateRange range_;
    double low_;  /* the highest rate met, or the start until one is */
    double high_; /* the lowest rate failed, or the stop until one is */
    bool lowTried_ = false;
    bool highTried_ = false;
    size_t tried_ = 0;
};

#endif
