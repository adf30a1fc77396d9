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

#include "client/options/ClientOptions.h"
#include "client/results/SweepResult.h"
#include "client/traffic/TrafficRun.h"

/* Makes one run of settings from nothing with seed, elsewhere than here (on
 * agents, -D); a run that cannot be made leaves its failure in the result. */
using RunMaker =
    std::function<std::unique_ptr<RunResult>(const ClientSettings &settings, uint64_t seed)>;

/* Runs settings.Repeats times and prints the table of their figures, then
 * their median and spread. Each run is maker's when it is given. */
RepeatedRuns RunRepeated(const ClientSettings &settings, uint64_t seed, RunOutput output,
                         const StopFlag *interrupted, RunsEnd *end, const RunMaker &maker = {});

/* Runs the sweep of settings.Sweep, printing each step as it ends, then the
 * knee: the highest rate met and the first that was not, with the reason. */
SweepResult RunSweep(const ClientSettings &settings, uint64_t seed, RunOutput output,
                     const StopFlag *interrupted, const RunMaker &maker = {});

#endif
