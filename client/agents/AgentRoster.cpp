#include "client/agents/AgentRoster.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

#include "client/values/FigureText.h"
#include "client/results/ResultMerge.h"
#include "client/results/JsonReport.h"

bool AgentsRun::AnyLost() const
{
    return std::any_of(Agents.begin(), Agents.end(),
                       [](const AgentRecord &agent) { return agent.Lost; });
}

namespace {

/* What the intervals of a lost agent tell of its run, up to the end of its
 * last one, as its result. */
std::unique_ptr<MergePart> LostPart(const AgentsStart &start, const AgentRecord &agent)
{
    auto part = std::make_unique<MergePart>();
    part->Name = "the result of agent " + agent.Name;
    part->Settings = AgentShare(start.Settings, start.Settings.ControlAgents, agent.Index);
    RunResult &result = part->Result;
    result.Seed = start.Seed + agent.Index;
    result.StartUnixNs = static_cast<uint64_t>(start.StartUnixNs);
    for (const AgentInterval &interval : agent.Intervals) {
        interval.Latency.AddTo(interval.Figures.Warmup ? &result.Warmup : &result.Latency);
        interval.Uncorrected.AddTo(&result.Uncorrected);
        interval.SendLag.AddTo(&result.SendLag);
        result.Counts = interval.Counts;
        result.Server = interval.Server;
        result.EndNs =
            static_cast<uint64_t>((interval.Figures.StartS + interval.Figures.DurationS) * 1e9);
    }
    result.WarmupEndNs =
        std::min<uint64_t>(result.EndNs, static_cast<uint64_t>(part->Settings.Warmup * 1e9));
    result.SendingEndNs = result.EndNs;
    result.Ended = part->Settings.Duration > 0.0 ? EndReason::Duration : EndReason::Count;
    TimesOfRun(part.get());
    return part;
}

/* The result an agent sent, its start on the controller's clock; null with
 * *error when it does not read. */
std::unique_ptr<MergePart> ReportedPart(AgentRecord *agent, std::string *error)
{
    auto part = std::make_unique<MergePart>();
    part->Name = "the result of agent " + agent->Name;
    ResultJson &document = agent->Document;
    if (document.contains("started_unix_s") && document["started_unix_s"].is_number())
        document["started_unix_s"] = document["started_unix_s"].get<double>() -
                                     static_cast<double>(agent->Clock.OffsetNs) / 1e9;
    if (ReadMergePart(document, "", part.get(), error))
        return part;
    *error = part->Name + ": " + *error;
    return nullptr;
}

/* The figures of the table, from an agent's part alone. */
void TakeFigures(const RunResult &alone, AgentRecord *agent)
{
    agent->Counts = alone.Counts;
    agent->Samples = alone.Latency.Count();
    agent->P50 = alone.Latency.Percentile(50.0);
    agent->P99 = alone.Latency.Percentile(99.0);
}

} // namespace

bool MergeAgentResults(const AgentsStart &start, AgentsRun *run, std::string *error)
{
    run->Settings = start.Settings;
    /* Swapped, not assigned: GCC 12 takes the temporary's map for uninitialized. */
    RunResult fresh;
    std::swap(run->Result, fresh);
    ResultMerger merger(&run->Settings, &run->Result);
    uint64_t unknown = 0;
    for (AgentRecord &agent : run->Agents) {
        std::unique_ptr<MergePart> part =
            agent.Reported ? ReportedPart(&agent, error) : LostPart(start, agent);
        if (part == nullptr || !merger.Add(*part, error))
            return false;
        TakeFigures(part->Result, &agent);
        unknown += agent.Lost ? part->Result.Counts.Outstanding() : 0;
    }
    merger.Finish();
    run->Result.LostAgents =
        static_cast<uint32_t>(std::count_if(run->Agents.begin(), run->Agents.end(),
                                            [](const AgentRecord &agent) { return agent.Lost; }));
    run->Result.UnknownEnds = unknown;
    return true;
}

/* Latency as the summary shows it, or "-" without a sample. */
static std::string TableLatency(const AgentRecord &agent, uint64_t latency)
{
    return agent.Samples != 0 ? LatencyText(static_cast<double>(latency)) : "-";
}

void PrintAgentTable(FILE *out, const AgentsRun &run)
{
    using Ull = unsigned long long;
    fprintf(out, "\nAgent                          sent    completed  timeouts       p50       p99"
                 "   clock offset\n");
    for (const AgentRecord &agent : run.Agents) {
        const RunCounts &counts = agent.Counts;
        fprintf(out, "%-26s %12llu %12llu %9llu %9s %9s %+10.3f ms +- %.3f ms%s\n",
                agent.Name.c_str(), static_cast<Ull>(counts.Messages),
                static_cast<Ull>(counts.Completed), static_cast<Ull>(counts.TimedOut),
                TableLatency(agent, agent.P50).c_str(), TableLatency(agent, agent.P99).c_str(),
                static_cast<double>(agent.Clock.OffsetNs) / 1e6,
                static_cast<double>(agent.Clock.UncertaintyNs) / 1e6, agent.Lost ? ", lost" : "");
    }
    for (const AgentRecord &agent : run.Agents)
        if (agent.Lost)
            fprintf(out, "Agent %s was lost %.1f s into the run: nothing heard from it for 3 s\n",
                    agent.Name.c_str(), agent.LostAtS);
    std::string drops = DropsText(run.Drops);
    if (!drops.empty())
        fprintf(out, "%c%s\n", toupper(drops[0]), drops.c_str() + 1);
}

ResultJson AgentsJson(const AgentsRun &run)
{
    ResultJson agents = ResultJson::array();
    for (const AgentRecord &agent : run.Agents) {
        const RunCounts &counts = agent.Counts;
        bool any = agent.Samples != 0;
        ResultJson name = AgentNameJson(agent.Name);
        agents.push_back({
            {"host", name["host"]},
            {"pid", name["pid"]},
            {"sent", counts.Messages},
            {"completed", counts.Completed},
            {"timed_out", counts.TimedOut},
            {"p50_ns", any ? ResultJson(agent.P50) : ResultJson()},
            {"p99_ns", any ? ResultJson(agent.P99) : ResultJson()},
            {"clock_offset_s", static_cast<double>(agent.Clock.OffsetNs) / 1e9},
            {"clock_uncertainty_s", static_cast<double>(agent.Clock.UncertaintyNs) / 1e9},
            {"lost", agent.Lost},
            {"lost_at_s", agent.Lost ? ResultJson(agent.LostAtS) : ResultJson()},
        });
    }
    return agents;
}
