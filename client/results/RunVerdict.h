/* Whether a run passed, and if not the first reason why: for a single run,
 * for each of repeated runs (-N), and for each run of a sweep's step (-R),
 * which has conditions of its own. */
#ifndef TFX_CLIENT_RUNVERDICT_H
#define TFX_CLIENT_RUNVERDICT_H

#include <string>
#include <vector>

#include "client/options/ClientOptions.h"
#include "client/results/RunResult.h"
#include "client/options/Thresholds.h"

/* The share of its target rate that a step must achieve when no -A
 * conditions are given. */
constexpr double StepRateShare = 0.98;

/* Each -A condition checked against the run, in order. */
std::vector<ThresholdOutcome> EvaluateThresholds(const ClientSettings &settings,
                                                 const RunResult &result);

/* Why the run fails, or "" when it passes: a failed messaging call, a queue
 * that stayed full, a transaction left unfinished, a failed check, a
 * transaction timed out or refused, an open loop behind its schedule or
 * short of its rate (MissedRate), or a condition not met. A run that fails
 * ends with exit code 1. */
std::string RunFault(const ClientSettings &settings, const RunResult &result,
                     const std::vector<ThresholdOutcome> &outcomes);

/* Why a run does not meet a condition, and the condition as StepConditions
 * names it; both "" when it does, and the condition "" alone when the run
 * is unsound, which no condition allows. */
struct Verdict {
    std::string Fault;
    std::string Condition;
};

/* "achieved 96.8 transactions/s, below 98 % of 100.0" when achieved falls
 * short of StepRateShare of asked, "" when it does not: the rule of an open
 * loop and of a sweep's step alike. */
std::string RateShortfall(double asked, double achieved);

/* The transactions per second that -r (less the datagrams of -g) asked for. */
double AskedTransactionRate(const ClientSettings &settings);

/* Whether an open loop that ran its course achieved less than StepRateShare
 * of the transactions it asked for, with both rates. The rule gives way to a
 * condition of -A on tps or mps, which says itself what rate is enough.
 * A run that lost an agent achieved at least its figures: not a miss. */
bool MissedRate(const ClientSettings &settings, const RunResult &result, double *asked,
                double *achieved);

/* Why a run of a sweep's step does not meet the step's conditions: a failed
 * call, a full queue, an unfinished transaction or a failed check; then the
 * -A conditions, or without them no timeouts, no refusals, a p99 at most
 * twice firstP99, that of the first step (0 while there is none), and at
 * least StepRateShare of the target rate achieved. */
Verdict StepFault(const ClientSettings &settings, const RunResult &result,
                  const std::vector<ThresholdOutcome> &outcomes, double target, double firstP99);

/* The conditions that StepFault checks beside a sound run, as texts. */
std::vector<std::string> StepConditions(const ClientSettings &settings);

#endif
