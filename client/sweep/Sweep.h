/* Many runs of one command line: the same run repeated with fresh
 * connections (-N), and the capacity sweep (-R), which runs the open loop at
 * rate after rate, each step -N times, to find the highest rate that meets
 * its conditions. Each run starts from nothing: new connections, a new
 * result, the same seed. The runs are made here and printed by a printer
 * given from above, each as it ends. */
#ifndef TFX_CLIENT_SWEEP_H
#define TFX_CLIENT_SWEEP_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/options/ClientOptions.h"
#include "client/results/SweepResult.h"
#include "client/traffic/TrafficRun.h"

/* Told of many runs as they go, on the thread that makes them, to print
 * them. Repeated runs: RepeatsBegin, then RunBegins and RepeatEnded for each
 * run, then RepeatsEnded. A sweep: SweepBegins, then for each step
 * StepBegins, RunBegins for each of its runs and StepEnded, then
 * SweepEnded. RunFailed when a run's messaging failed, which ends the runs. */
class RunsPrinter {
  public:
    virtual void RepeatsBegin(const ClientSettings &settings, uint64_t seed) = 0;
    /* Run number (from 1) of repeated runs, as soon as it ended. */
    virtual void RepeatEnded(size_t number, const RepeatRun &run) = 0;
    /* asked: the runs asked for, of which runs holds those that ended. */
    virtual void RepeatsEnded(const RepeatedRuns &runs, const RunsEnd &end, uint32_t asked) = 0;
    virtual void SweepBegins(const ClientSettings &settings, uint32_t runsPerStep,
                             uint64_t seed) = 0;
    /* The step of the sweep at rate transactions a second. */
    virtual void StepBegins(double rate) = 0;
    /* A step, as soon as its runs ended. */
    virtual void StepEnded(const SweepStep &step) = 0;
    virtual void SweepEnded(const SweepResult &sweep) = 0;
    /* Run number (from 1) of n of the same settings. */
    virtual void RunBegins(uint32_t number, uint32_t n) = 0;
    virtual void RunFailed(const RunResult &result) = 0;

  protected:
    ~RunsPrinter() = default;
};

/* Makes one run of settings from nothing with seed, elsewhere than here (on
 * agents, -D); a run that cannot be made leaves its failure in the result. */
using RunMaker =
    std::function<std::unique_ptr<RunResult>(const ClientSettings &settings, uint64_t seed)>;

/* Runs settings.Repeats times, handing each run to printer as it ends, and
 * returns their figures with their median and spread. Each run is maker's
 * when it is given. */
RepeatedRuns RunRepeated(const ClientSettings &settings, uint64_t seed, RunOutput output,
                         const StopFlag *interrupted, RunsEnd *end, RunsPrinter *printer,
                         const RunMaker &maker = {});

/* Runs the sweep of settings.Sweep, handing each step to printer as it
 * ends, and returns its steps: the knee is the highest rate met and the
 * first that was not. */
SweepResult RunSweep(const ClientSettings &settings, uint64_t seed, RunOutput output,
                     const StopFlag *interrupted, RunsPrinter *printer, const RunMaker &maker = {});

#endif
