/* What many runs of one command line come to: repeated runs (-N) and the
 * steps of a capacity sweep (-R), with the queries that both the runner and
 * the report ask of them. */
#ifndef TFX_CLIENT_SWEEPRESULT_H
#define TFX_CLIENT_SWEEPRESULT_H

#include <cstdint>
#include <string>
#include <vector>

#include "qlx/ErrorRecord.h"
#include "client/results/RunFigures.h"
#include "client/results/RunIdentity.h"
#include "client/results/RunResult.h"

struct RepeatRun {
    RunFigures Figures;
    /* Why the run failed (repeated runs) or did not meet the step's
     * conditions (sweeps); empty when it passed. */
    std::string Fault;
    std::string Condition;          /* the step's condition it did not meet; "" for none */
    std::vector<AgentClock> Agents; /* -D: the agents that made it */
};

/* Runs of the same settings, in the order they ran. */
struct RepeatedRuns {
    std::vector<RepeatRun> Runs;
    FigureSpread Spread;

    bool Passed() const { return Fault().empty(); }
    /* The first run's fault, "run 2 of 3: " before it when there are more. */
    std::string Fault() const;
    /* The condition the first run that failed did not meet; "" for none. */
    std::string Condition() const;
};

struct SweepStep {
    double Target; /* transactions/s */
    RepeatedRuns Repeats;
};

/* How many runs ended, and why the last one did. */
struct RunsEnd {
    bool Interrupted = false; /* a signal came: the run it cut short is left out */
    bool Failed = false;      /* a messaging call failed: the error was reported */
    std::string FailureLabel;
    QLXERROR Failure{};
    RunIdentity Identity; /* of the whole of the runs */
};

struct SweepResult {
    std::vector<SweepStep> Steps; /* in the order they ran */
    uint32_t RunsPerStep = 1;
    RunsEnd End;

    /* The highest rate that met the conditions and the lowest that did
     * not; null when there is none. */
    const SweepStep *HighestMet() const;
    const SweepStep *FirstFailed() const;
};

/* 0 when every run passed; 1 otherwise. */
int RepeatedExitCode(const RepeatedRuns &runs, const RunsEnd &end);

/* 0 when the sweep ran to its answer and some rate met the conditions;
 * 1 when none did, or it was interrupted or failed. */
int SweepExitCode(const SweepResult &sweep);

#endif
