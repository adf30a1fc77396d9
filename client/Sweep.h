/* Many runs of one command line: the same run repeated with fresh
 * connections (-N), and the capacity sweep (-R), which runs the open loop at
 * rate after rate, each step -N times, to find the highest rate that meets
 * its conditions. Each run starts from nothing: new connections, a new
 * result, the same seed. The table goes to standard output as the runs end. */
#ifndef TFX_CLIENT_SWEEP_H
#define TFX_CLIENT_SWEEP_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qlx/ErrorRecord.h"
#include "client/ClientOptions.h"
#include "client/RunFigures.h"
#include "client/RunIdentity.h"
#include "client/TrafficRun.h"

struct RepeatRun {
    RunFigures Figures;
    /* Why the run failed (repeated runs) or did not meet the step's
     * conditions (sweeps); empty when it passed. */
    std::string Fault;
    std::string Condition; /* the step's condition it did not meet; "" for none */
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

/* Makes one run of settings from nothing with seed, elsewhere than here (on
 * agents, -D); a run that cannot be made leaves its failure in the result. */
using RunMaker =
    std::function<std::unique_ptr<RunResult>(const ClientSettings &settings, uint64_t seed)>;

/* Runs settings.Repeats times and prints the table of their figures, then
 * their median and spread. Each run is maker's when it is given. */
RepeatedRuns RunRepeated(const ClientSettings &settings, uint64_t seed, RunOutput output,
                         const volatile sig_atomic_t *interrupted, RunsEnd *end,
                         const RunMaker &maker = {});

/* Runs the sweep of settings.Sweep, printing each step as it ends, then the
 * knee: the highest rate met and the first that was not, with the reason. */
SweepResult RunSweep(const ClientSettings &settings, uint64_t seed, RunOutput output,
                     const volatile sig_atomic_t *interrupted, const RunMaker &maker = {});

/* 0 when every run passed; 1 otherwise. */
int RepeatedExitCode(const RepeatedRuns &runs, const RunsEnd &end);

/* 0 when the sweep ran to its answer and some rate met the conditions;
 * 1 when none did, or it was interrupted or failed. */
int SweepExitCode(const SweepResult &sweep);

#endif
