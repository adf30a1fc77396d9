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

#include "client/agents/AgentRoster.h"
#include "client/options/ClientOptions.h"
#include "client/results/RunResult.h"
#include "client/traffic/TrafficRun.h"

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

#endif
