/* What a controller (-D) and its agents (-a) tell each other, as JSON: the
 * share of the run each agent makes, each closed interval with its
 * latencies, and the clock offsets the controller measures. */
#ifndef TFX_CLIENT_AGENTPLAN_H
#define TFX_CLIENT_AGENTPLAN_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "client/options/ClientOptions.h"
#include "client/values/Histogram.h"
#include "client/results/ResultDocument.h"
#include "client/results/RunResult.h"

/* The share of agent index (from 0) of the whole run: -n and -r split
 * evenly, the first agents taking one message more when -n does not divide;
 * everything else as given. */
ClientSettings AgentShare(const ClientSettings &whole, uint32_t agents, uint32_t index);

/* A run's settings as a plan, and read back into *settings (the agent's
 * output files and progress left alone). False with *error naming what is
 * missing or wrong. */
ResultJson PlanJson(const ClientSettings &settings, uint64_t seed);
bool ReadPlan(const ResultJson &plan, ClientSettings *settings, uint64_t *seed, std::string *error);

/* Latencies as an interval carries them: the histogram's buckets (low
 * bound, count) with its extremes. */
struct IntervalLatency {
    std::vector<std::array<uint64_t, 2>> Buckets;
    uint64_t Min = 0;
    uint64_t Max = 0;
    double Sum = 0.0;

    /* Adds the latencies to *into. */
    void AddTo(Histogram *into) const;
};

/* One interval of an agent's run: its figures and latencies, and the
 * agent's counts and server view at its end. */
struct AgentInterval {
    IntervalFigures Figures;
    IntervalLatency Latency;
    IntervalLatency Uncorrected; /* under -r */
    IntervalLatency SendLag;     /* under -r */
    RunCounts Counts;
    ServerView Server; /* with the transactions then outstanding */
};

/* What a run tells of an interval as it closes, beyond its figures. */
struct IntervalTally {
    const Histogram &Latency;
    const Histogram &Uncorrected;
    const Histogram &SendLag;
    const RunCounts &Counts;
    const ServerView &Server;
};

ResultJson IntervalJson(const IntervalFigures &figures, const IntervalTally &tally);
/* False when json is not an interval as IntervalJson writes it. */
bool ReadInterval(const ResultJson &json, AgentInterval *interval);

/* The intervals of several agents with the same index as one: counts added,
 * latencies merged, its length the longest of theirs. */
IntervalFigures MergeIntervals(const std::vector<const AgentInterval *> &parts);
/* Their latencies together. */
Histogram MergedLatency(const std::vector<const AgentInterval *> &parts);

/* One request and reply of the clock: when the controller sent it and had
 * the answer back (its own wall clock), and the agent's wall clock between. */
struct ClockExchange {
    int64_t SentNs;
    int64_t AgentNs;
    int64_t ReceivedNs;
};

/* The agent's clock less the controller's, from the exchange of least round
 * trip, and its uncertainty: half that round trip. */
struct ClockOffset {
    int64_t OffsetNs = 0;
    int64_t UncertaintyNs = 0;
};
ClockOffset BestOffset(const std::vector<ClockExchange> &exchanges);

/* The wall clock in nanoseconds since 1970; an agent's is shifted by
 * TFX_TEST_CLOCK_SHIFT_MS, which only the tests set. */
int64_t WallClockNs();
int64_t AgentClockNs();

#endif
