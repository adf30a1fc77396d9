/* The whole result of a run as JSON (-o): settings, counts, outcomes,
 * latency percentiles, the histogram's non-empty buckets and the figures of
 * every second. Always valid JSON: a figure without samples is null, never
 * NaN or a made-up 0. */
#ifndef TFX_CLIENT_JSONREPORT_H
#define TFX_CLIENT_JSONREPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qlx/ErrorRecord.h"
#include "client/options/ClientOptions.h"
#include "client/results/ResultDocument.h"
#include "client/results/RunResult.h"
#include "client/options/Thresholds.h"

/* A count of the result by its name in the JSON, in the order written.
 * "unfinished" follows "timed_out": it is derived, not kept. */
struct CountField {
    const char *Name;
    uint64_t RunCounts::*Member;
};
extern const CountField CountFields[];
extern const size_t CountFieldCount;

/* The JSON text of a run that ends with exitCode. */
std::string RunResultJson(const ClientSettings &settings, const RunResult &result,
                          const std::vector<ThresholdOutcome> &outcomes, int exitCode);

/* The settings of a run, as every result holds them. */
ResultJson SettingsJson(const ClientSettings &settings, uint64_t seed);

/* Which run a result is of: its id, host and process; null for none. */
ResultJson RunIdentityJson(const RunIdentity &run);

/* The messaging call that failed, with its reason code and texts; null
 * when failed is false. */
ResultJson FailureJson(bool failed, const std::string &label, const QLXERROR &failure);

/* An agent's name, host:pid, as the JSON holds it: host and pid, the pid
 * null when the name holds none. */
ResultJson AgentNameJson(const std::string &name);

/* The agents of a run on agents (-D) under -R and -N, with their clocks. */
ResultJson AgentClocksJson(const std::vector<AgentClock> &agents);

/* Writes text to path through a temporary file in the same directory, so a
 * reader never sees half of it. False with *error set when it cannot. */
bool WriteFileWhole(const std::string &path, const std::string &text, std::string *error);

#endif
