/* The run cut into intervals of a second, each closed into its figures while
 * the run goes: the per-second series of the result and the progress lines
 * are both read from these figures. */
#ifndef TFX_CLIENT_INTERVALSERIES_H
#define TFX_CLIENT_INTERVALSERIES_H

#include <cstdint>
#include <vector>

#include "client/values/Histogram.h"
#include "client/results/RunResult.h"

class IntervalSeries {
  public:
    /* Lays the boundaries a second apart from startNs, with one more at
     * warmupEndNs so that no interval spans the end of the warm-up, and
     * opens the first interval. */
    void Start(uint64_t startNs, uint64_t warmupEndNs);

    /* The latency of a transaction completed now, warm-up or not. */
    void Record(uint64_t latencyNs) { latency_.Record(latencyNs); }
    /* Under -r: the same from the actual send, and a send's lag. */
    void RecordUncorrected(uint64_t latencyNs) { uncorrected_.Record(latencyNs); }
    void RecordSendLag(uint64_t lagNs) { sendLag_.Record(lagNs); }

    /* When the open interval is due to close. */
    uint64_t DueNs() const { return dueNs_; }

    /* Sending ended at nowNs: the open interval takes in the rest of the
     * run, unless the wait for the last replies lasts a further second. */
    void SendingEnded(uint64_t nowNs);

    /* Closes the open interval at nowNs, with the counts as they stand then,
     * appends its figures to *series and opens the next interval. */
    const IntervalFigures &Close(uint64_t nowNs, const RunCounts &counts,
                                 std::vector<IntervalFigures> *series);

    /* The latencies of the interval closed last. */
    const Histogram &ClosedLatency() const { return closed_; }
    const Histogram &ClosedUncorrected() const { return closedUncorrected_; }
    const Histogram &ClosedSendLag() const { return closedSendLag_; }

  private:
    uint64_t NextBoundary(uint64_t boundaryNs) const;

    Histogram latency_; /* the open interval's completions */
    Histogram closed_;  /* the last closed interval's, kept for ClosedLatency */
    Histogram uncorrected_, closedUncorrected_;
    Histogram sendLag_, closedSendLag_;
    RunCounts atOpen_; /* the counts when it opened */
    uint64_t startNs_ = 0;
    uint64_t warmupEndNs_ = 0;
    uint64_t openedNs_ = 0;
    uint64_t dueNs_ = UINT64_MAX;
};

#endif
