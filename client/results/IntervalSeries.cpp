#include "client/results/IntervalSeries.h"

#include <utility>

enum : uint64_t { SecondNs = 1000000000 };

void IntervalSeries::Start(uint64_t startNs, uint64_t warmupEndNs)
{
    startNs_ = startNs;
    warmupEndNs_ = warmupEndNs;
    openedNs_ = startNs;
    dueNs_ = NextBoundary(startNs);
    latency_.Clear();
    uncorrected_.Clear();
    sendLag_.Clear();
    atOpen_ = RunCounts{};
}

uint64_t IntervalSeries::NextBoundary(uint64_t boundaryNs) const
{
    uint64_t next = boundaryNs + SecondNs;
    return boundaryNs < warmupEndNs_ && next > warmupEndNs_ ? warmupEndNs_ : next;
}

void IntervalSeries::SendingEnded(uint64_t nowNs)
{
    dueNs_ = nowNs + SecondNs;
}

const IntervalFigures &IntervalSeries::Close(uint64_t nowNs, const RunCounts &counts,
                                             std::vector<IntervalFigures> *series)
{
    IntervalFigures figures;
    figures.StartS = static_cast<double>(openedNs_ - startNs_) / 1e9;
    figures.DurationS = static_cast<double>(nowNs - openedNs_) / 1e9;
    figures.Warmup = openedNs_ < warmupEndNs_;
    figures.Messages = counts.Messages - atOpen_.Messages;
    figures.Completed = counts.Completed - atOpen_.Completed;
    figures.Refused = counts.Refused - atOpen_.Refused;
    figures.TimedOut = counts.TimedOut - atOpen_.TimedOut;
    figures.P50 = latency_.Percentile(50.0);
    figures.P99 = latency_.Percentile(99.0);
    figures.P999 = latency_.Percentile(99.9);
    figures.Max = latency_.Max();
    series->push_back(figures);

    std::swap(latency_, closed_);
    std::swap(uncorrected_, closedUncorrected_);
    std::swap(sendLag_, closedSendLag_);
    latency_.Clear();
    uncorrected_.Clear();
    sendLag_.Clear();
    atOpen_.Messages = counts.Messages;
    atOpen_.Completed = counts.Completed;
    atOpen_.Refused = counts.Refused;
    atOpen_.TimedOut = counts.TimedOut;
    openedNs_ = nowNs;
    while (dueNs_ <= nowNs)
        dueNs_ = NextBoundary(dueNs_);
    return series->back();
}
