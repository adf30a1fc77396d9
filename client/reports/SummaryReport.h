/* The human summary of a run, on standard output: settings before the run;
 * after it outcomes, latency, throughput, thresholds, and the figures the
 * server should print. */
#ifndef TFX_CLIENT_SUMMARYREPORT_H
#define TFX_CLIENT_SUMMARYREPORT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "client/options/ClientOptions.h"
#include "client/results/RunResult.h"
#include "client/options/Thresholds.h"

/* "Fell behind    the open loop fell behind its schedule: ...", for a run
 * under -r whose last message went out far behind its time. */
std::string FellBehindText(const ClientSettings &settings, const RunResult &result);

/* The banner that opens a run's output: the element, connections, window
 * and loop, then the request line. */
void PrintSettings(FILE *out, const ClientSettings &settings, uint64_t seed);

/* The settings as a run on agents (-D) shows them: the connections of all
 * its agents. */
ClientSettings AllAgentsSettings(const ClientSettings &settings);

/* "Agents         3 of group lab" for a run on agents (-D); nothing for
 * another. */
void PrintAgentsLine(FILE *out, const ClientSettings &settings);

/* "vm:5189 +0.032 ms +- 0.242 ms": an agent and its clock. */
std::string AgentClockText(const AgentClock &agent);

/* "Request data 128 bytes, seed 7, datagrams 0%, timeout 5 s" and the
 * message id when one is given, as a line. */
void PrintRequestLine(FILE *out, const ClientSettings &settings, uint64_t seed);

/* Writes the summary that follows the run (the banner comes before it).
 * outcomes holds one entry per threshold. */
void PrintSummary(FILE *out, const ClientSettings &settings, const RunResult &result,
                  const std::vector<ThresholdOutcome> &outcomes);

/* Writes the two lines the server prints for its counts and data sizes, as
 * it prints them. */
void PrintServerLines(FILE *out, const ServerView &server);

#endif
