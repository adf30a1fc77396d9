/* Whether a run passed, and if not the first reason why: for a single run,
 * for each of repeated runs (-N), and for each run of a sweep's step (-R),
 * which has conditions of its own. */
#ifndef TFX_CLIENT_RUNVERDICT_H
#define TFX_CLIENT_RUNVERDICT_H

#include <string>
#include <vector>

#include "client/ClientOptions.h"
#include "client/RunResult.h"
#include "client/Thresholds.h"

/* The share of its target rate that a step must achieve when no -A
 * conditions are given. */
constexpr double StepRateShare = 0.98;

/* Each -A condition checked against the run, in order. */
std::vector<ThresholdOutcome> EvaluateThresholds(const ClientSettings &settings,
                                                 const RunResult &result);

/* Why the run fails, or "" when it passes: a failed messaging call, a queue
 * that stayed full, a transaction left unfinished, a failed check, a
 * transaction timed out or refused, or a condition not met. A run that
 * fails ends with exit code 1. */
std::string RunFault(const ClientSettings &settings, const RunResult &result,
                     const std::vector<ThresholdOutcome> &outcomes);

/* Why a run of a sweep's step does not meet the step's conditions, or ""
 * when it does: a failed call, a full queue, an unfinished transaction or a
 * failed check; then the -A conditions, or without them no timeouts, no
 * refusals and at least StepRateShare of the target rate achieved. */
std::string StepFault(const ClientSettings &settings, const RunResult &result,
                      const std::vector<ThresholdOutcome> &outcomes, double target,
                      double achieved);

/* The conditions that StepFault checks beside a sound run, as texts. */
std::vector<std::string> StepConditions(const ClientSettings &settings);

#endif
