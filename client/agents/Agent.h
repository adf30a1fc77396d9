/* tfxclnt -a group: an agent, which runs the runs that controllers of its
 * group (-D) send it, one at a time, and reports every interval and the
 * result back over the control plane. */
#ifndef TFX_CLIENT_AGENT_H
#define TFX_CLIENT_AGENT_H

#include <csignal>

#include "client/metrics/LiveMetrics.h"
#include "client/options/ClientOptions.h"
#include "client/traffic/TrafficRun.h"

/* Serves the group of settings until *interrupted; a run in progress then
 * ends as an interrupted run does and is reported first. Each run is served
 * on live (-l) when it is not null. Returns the exit code: 0, or 1 when the
 * control plane cannot be reached (said on standard error). */
int RunAgent(const ClientSettings &settings, RunOutput output, const StopFlag *interrupted,
             LiveMetrics *live);

#endif
