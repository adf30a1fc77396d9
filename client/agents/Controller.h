/* tfxclnt -D group:agents: the controller, which makes one run on several
 * agents (-a) of a group. It gathers them, measures their clocks, starts them
 * together, merges their intervals as they come and their results at the
 * end, as -M would merge their results. */
#ifndef TFX_CLIENT_CONTROLLER_H
#define TFX_CLIENT_CONTROLLER_H

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/agents/AgentPlan.h"
#include "client/options/ClientOptions.h"
#include "client/agents/ControlPlane.h"
#include "client/results/ResultDocument.h"
#include "client/results/RunResult.h"
#include "client/traffic/TrafficRun.h"

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
    ResultJson Document;  /* its result, or what its intervals tell of it when lost */
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

/* Makes the run of settings on its agents, the progress merged on
 * output.Progress, each merged interval to output.Sink and the banner on
 * standard output; *interrupted ends it on every agent. The run's id is
 * run->Result.Identity.Id when set, else drawn; the agents are told it and
 * the merged result keeps it. False with *error when the run could not
 * begin: no control plane, too few agents within 10 s. */
bool RunOnAgents(const ClientSettings &settings, RunOutput output, const StopFlag *interrupted,
                 AgentsRun *run, std::string *error);

/* One run of settings with seed on its agents, as -R and -N make them: no
 * banner, the merged result alone. A run that cannot begin, or that loses an
 * agent, has failed, with the reason in the result. */
std::unique_ptr<RunResult> RunOnAgentsOnce(const ClientSettings &settings, uint64_t seed,
                                           RunOutput output, const StopFlag *interrupted);

/* The table of the agents, after the summary. */
void PrintAgentTable(FILE *out, const AgentsRun &run);

/* The agents as the result's JSON holds them. */
ResultJson AgentsJson(const AgentsRun &run);

#endif
