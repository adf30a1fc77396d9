/* The agents of a run on agents (-D) as the controller knows them: what it
 * heard of each, their results merged into one run, and their table and
 * JSON after the summary. */
#ifndef TFX_CLIENT_AGENTROSTER_H
#define TFX_CLIENT_AGENTROSTER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "client/agents/AgentPlan.h"
#include "client/options/ClientOptions.h"
#include "client/agents/ControlPlane.h"
#include "client/results/ResultDocument.h"
#include "client/results/RunResult.h"

/* What the controller knows of one agent. */
struct AgentRecord {
    std::string Subject; /* where its messages go */
    std::string Name;    /* host:pid */
    uint32_t Index = 0;  /* its share of the run */
    std::vector<ClockExchange> Exchanges;
    uint64_t Awaited = 0; /* the exchange of the clock it owes an answer to; 0 = none */
    int64_t AskedNs = 0;  /* when that exchange went, on the controller's wall clock */
    ClockOffset Clock;
    std::vector<AgentInterval> Intervals;
    uint64_t LastHeardNs = 0; /* on the controller's monotonic clock */
    bool Reported = false;    /* its result came */
    bool Lost = false;
    double LostAtS = 0.0; /* from the start of the run, when it was declared lost */
    ResultJson Document;  /* its result; once merged, its start on the controller's clock */
    RunCounts Counts;     /* of its result alone, for the table */
    uint64_t Samples = 0; /* its latencies: how many, and two percentiles */
    uint64_t P50 = 0;
    uint64_t P99 = 0;
};

/* The run on agents: the merged result and the settings as the summary
 * shows them (connections and rates of all agents). */
struct AgentsRun {
    ClientSettings Settings;
    RunResult Result;
    std::vector<AgentRecord> Agents;
    ControlDrops Drops; /* the control messages the controller dropped */

    bool AnyLost() const;
};

/* How the agents' run began: its settings and seed, and the start on the
 * controller's wall clock. */
struct AgentsStart {
    const ClientSettings &Settings;
    uint64_t Seed;
    int64_t StartUnixNs;
};

/* Merges the results of run->Agents into run->Settings and run->Result as
 * -M merges results, their starts on the controller's clock; a lost agent
 * counts as far as its intervals tell, and the result says which figures
 * are lower bounds. Fills each agent's figures of the table. False with
 * *error naming the agent whose result does not merge. */
bool MergeAgentResults(const AgentsStart &start, AgentsRun *run, std::string *error);

/* The table of the agents, after the summary. */
void PrintAgentTable(FILE *out, const AgentsRun &run);

/* The agents as the result's JSON holds them. */
ResultJson AgentsJson(const AgentsRun &run);

#endif
