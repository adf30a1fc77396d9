#include "client/Controller.h"

#include <algorithm>
#include <memory>

#include "client/ControlPlane.h"
#include "client/FigureText.h"
#include "client/JsonReport.h"
#include "client/ProgressLine.h"
#include "client/RandomSource.h"
#include "client/ResultMerge.h"
#include "client/SummaryReport.h"
#include "util/Clock.h"

namespace {

enum : uint64_t {
    MillisecondNs = 1000000,
    SecondNs = 1000000000,
    GatherNs = 10 * SecondNs,       /* for the agents to come */
    DiscoverEveryNs = SecondNs / 2, /* the call to the group, again */
    PlanAnswerNs = 2 * SecondNs,    /* for an agent to take or refuse a plan */
    ClockAnswerNs = SecondNs,       /* for one reply of the clock */
    SilenceNs = 3 * SecondNs,       /* an agent heard from no longer is lost */
    StartAfterNs = SecondNs / 2,    /* from the plan to the common start */
};

enum : int { PollMs = 100, ClockExchanges = 8 };

double Seconds(uint64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

class Controller {
  public:
    Controller(const ClientSettings &settings, RunOutput output,
               const volatile sig_atomic_t *interrupted, AgentsRun *run, bool banner)
        : settings_(settings), output_(output), interrupted_(interrupted), run_(run),
          agents_(run->Agents), banner_(banner)
    {
    }

    bool Run(std::string *error);

  private:
    struct Pending {
        std::string Subject;
        uint32_t Index;
        uint64_t AskedNs;
    };

    bool Gather(std::string *error);
    void Ask(const ResultJson &here, uint64_t now);
    void Answered(const ResultJson &answer);
    void Release();
    bool MeasureClocks(std::string *error);
    void Start();
    void Collect();
    void Dispatch(const ResultJson &message);
    AgentRecord *Find(const std::string &subject);
    void CheckSilence(uint64_t now);
    void PassOnInterrupt();
    void PrintDueIntervals(bool all);
    bool Merge(std::string *error);
    ResultJson LostDocument(const AgentRecord &agent) const;
    void Send(const std::string &subject, ResultJson message);
    bool Done() const;
    void PrintBanner() const;

    const ClientSettings &settings_;
    RunOutput output_;
    const volatile sig_atomic_t *interrupted_;
    AgentsRun *run_;
    std::vector<AgentRecord> &agents_;
    bool banner_; /* the settings on standard output before the start */
    ControlLink link_;
    std::string inbox_;
    std::vector<uint32_t> freeShares_;
    std::vector<Pending> pending_;
    std::vector<std::string> asked_;
    uint32_t refusals_ = 0;
    uint64_t seed_ = 0;
    int64_t startUnixNs_ = 0;   /* on the controller's clock */
    uint64_t startNs_ = 0;      /* the same on its monotonic clock */
    sig_atomic_t passedOn_ = 0; /* the interrupt the agents have been told of */
    size_t printed_ = 0;        /* merged intervals shown so far */
};

void Controller::Send(const std::string &subject, ResultJson message)
{
    message["reply"] = inbox_;
    message["controller"] = ProcessName();
    (void)link_.Publish(subject, message);
}

AgentRecord *Controller::Find(const std::string &subject)
{
    for (AgentRecord &agent : agents_)
        if (agent.Subject == subject)
            return &agent;
    return nullptr;
}

/* An agent that answered the call gets a plan, unless it has had one. */
void Controller::Ask(const ResultJson &here, uint64_t now)
{
    std::string subject = here.value("agent", "");
    if (subject.empty() || freeShares_.empty() ||
        std::find(asked_.begin(), asked_.end(), subject) != asked_.end())
        return;
    asked_.push_back(subject);
    uint32_t index = freeShares_.back();
    freeShares_.pop_back();
    pending_.push_back(Pending{subject, index, now});
    Send(subject, {{"type", "plan"},
                   {"agents", settings_.ControlAgents},
                   {"index", index},
                   {"settings", PlanJson(settings_, seed_)}});
}

/* An agent took its plan or refused it. */
void Controller::Answered(const ResultJson &answer)
{
    std::string subject = answer.value("agent", "");
    auto pending = std::find_if(pending_.begin(), pending_.end(),
                                [&](const Pending &each) { return each.Subject == subject; });
    if (pending == pending_.end())
        return;
    std::string type = answer.value("type", "");
    if (type == "refused") {
        ++refusals_;
        fprintf(stderr, "tfxclnt: agent %s refused the run: %s\n",
                answer.value("name", "?").c_str(), answer.value("why", "?").c_str());
        freeShares_.push_back(pending->Index);
    } else {
        AgentRecord agent;
        agent.Subject = subject;
        agent.Name = answer.value("name", "?");
        agent.Index = pending->Index;
        agent.LastHeardNs = MonotonicNs();
        agents_.push_back(std::move(agent));
    }
    pending_.erase(pending);
}

/* Calls the group until enough agents took a plan; plans that are not
 * answered in time give their share to another agent. */
bool Controller::Gather(std::string *error)
{
    for (uint32_t share = settings_.ControlAgents; share > 0; --share)
        freeShares_.push_back(share - 1);
    std::string group = link_.Subject("group", settings_.ControlGroup);
    uint64_t begin = MonotonicNs();
    uint64_t nextCall = begin;
    while (agents_.size() < settings_.ControlAgents && *interrupted_ == 0) {
        uint64_t now = MonotonicNs();
        if (now - begin >= GatherNs)
            break;
        if (now >= nextCall) {
            Send(group, {{"type", "discover"}});
            nextCall = now + DiscoverEveryNs;
        }
        for (auto late = pending_.begin(); late != pending_.end();)
            if (now - late->AskedNs >= PlanAnswerNs) {
                freeShares_.push_back(late->Index);
                late = pending_.erase(late);
            } else {
                ++late;
            }
        ResultJson message;
        if (!link_.Next(PollMs, &message))
            continue;
        std::string type = message.value("type", "");
        if (type == "here")
            Ask(message, now);
        else if (type == "accepted" || type == "refused")
            Answered(message);
        else
            Dispatch(message);
    }
    if (agents_.size() == settings_.ControlAgents)
        return true;
    Release();
    *error = std::to_string(agents_.size()) + " of " + std::to_string(settings_.ControlAgents) +
             " agents of group " + settings_.ControlGroup +
             (*interrupted_ != 0 ? " came before the interrupt" : " came within 10 s");
    if (refusals_ != 0)
        *error += " (" + std::to_string(refusals_) + " refused, busy)";
    *error += "; start more with tfxclnt -a " + settings_.ControlGroup +
              " where TFX_CONTROL names the same NATS servers";
    return false;
}

void Controller::Release()
{
    for (const AgentRecord &agent : agents_)
        Send(agent.Subject, {{"type", "release"}});
    for (const Pending &pending : pending_)
        Send(pending.Subject, {{"type", "release"}});
}

/* Several exchanges with each agent in turn; the one of least round trip
 * gives its offset. */
bool Controller::MeasureClocks(std::string *error)
{
    for (AgentRecord &agent : agents_) {
        for (int i = 0; i < ClockExchanges; ++i) {
            Send(agent.Subject, {{"type", "clock"}, {"sent_ns", WallClockNs()}});
            size_t had = agent.Exchanges.size();
            uint64_t giveUp = MonotonicNs() + ClockAnswerNs;
            ResultJson message;
            while (agent.Exchanges.size() == had && MonotonicNs() < giveUp)
                if (link_.Next(PollMs, &message))
                    Dispatch(message);
        }
        if (agent.Exchanges.empty()) {
            Release();
            *error = "agent " + agent.Name + " does not answer the clock";
            return false;
        }
        agent.Clock = BestOffset(agent.Exchanges);
    }
    return true;
}

void Controller::Start()
{
    startUnixNs_ = WallClockNs() + static_cast<int64_t>(StartAfterNs);
    startNs_ = MonotonicNs() + StartAfterNs;
    for (AgentRecord &agent : agents_) {
        Send(agent.Subject, {{"type", "start"}, {"at_ns", startUnixNs_ + agent.Clock.OffsetNs}});
        agent.LastHeardNs = startNs_;
    }
}

void Controller::Dispatch(const ResultJson &message)
{
    AgentRecord *agent = Find(message.value("agent", ""));
    if (agent == nullptr || agent->Lost)
        return;
    agent->LastHeardNs = MonotonicNs();
    std::string type = message.value("type", "");
    if (type == "clock") {
        agent->Exchanges.push_back(ClockExchange{message.value("sent_ns", int64_t{0}),
                                                 message.value("agent_ns", int64_t{0}),
                                                 WallClockNs()});
        return;
    }
    if (type == "interval") {
        AgentInterval interval;
        if (message.contains("interval") && ReadInterval(message.at("interval"), &interval))
            agent->Intervals.push_back(std::move(interval));
        return;
    }
    if (type == "result" && message.contains("document")) {
        agent->Document = message.at("document");
        agent->Reported = true;
    }
}

void Controller::CheckSilence(uint64_t now)
{
    for (AgentRecord &agent : agents_) {
        if (agent.Reported || agent.Lost || now < agent.LastHeardNs + SilenceNs)
            continue;
        agent.Lost = true;
        agent.LostAtS = now > startNs_ ? Seconds(now - startNs_) : 0.0;
        fprintf(stderr,
                "tfxclnt: agent %s lost %.1f s into the run: nothing heard from it for 3 s%s\n",
                agent.Name.c_str(), agent.LostAtS,
                link_.Disconnected() ? " (the control plane cannot be reached from here)" : "");
    }
}

void Controller::PassOnInterrupt()
{
    sig_atomic_t now = *interrupted_;
    if (now <= passedOn_)
        return;
    passedOn_ = now;
    for (const AgentRecord &agent : agents_)
        if (!agent.Reported && !agent.Lost)
            Send(agent.Subject, {{"type", "stop"}, {"at_once", now > 1}});
}

bool Controller::Done() const
{
    return std::all_of(agents_.begin(), agents_.end(),
                       [](const AgentRecord &agent) { return agent.Reported || agent.Lost; });
}

/* The merged interval of each index once every agent still running has
 * sent its own; with all, whatever is left. */
void Controller::PrintDueIntervals(bool all)
{
    for (;;) {
        std::vector<const AgentInterval *> parts;
        RunCounts counts;
        bool waiting = false;
        for (const AgentRecord &agent : agents_) {
            if (agent.Intervals.size() > printed_)
                parts.push_back(&agent.Intervals[printed_]);
            else
                waiting = waiting || !(agent.Reported || agent.Lost);
            if (!agent.Intervals.empty()) {
                const RunCounts &last =
                    agent.Intervals[std::min(printed_, agent.Intervals.size() - 1)].Counts;
                for (size_t i = 0; i < CountFieldCount; ++i)
                    counts.*CountFields[i].Member += last.*CountFields[i].Member;
            }
        }
        if (parts.empty() || (waiting && !all))
            return;
        IntervalFigures merged = MergeIntervals(parts);
        run_->Result.Intervals.push_back(merged);
        ++printed_;
        if (output_.Progress != nullptr)
            PrintProgressLine(output_.Progress, merged.StartS + merged.DurationS, counts, merged);
    }
}

void Controller::Collect()
{
    while (!Done()) {
        PassOnInterrupt();
        ResultJson message;
        if (link_.Next(PollMs, &message))
            Dispatch(message);
        CheckSilence(MonotonicNs());
        PrintDueIntervals(false);
    }
    PrintDueIntervals(true);
}

/* The figures of the table, from an agent's result alone. */
void TakeFigures(const ResultJson &document, AgentRecord *agent)
{
    ClientSettings settings;
    auto alone = std::make_unique<RunResult>();
    std::string ignored;
    if (!MergeResultDocuments({document}, {agent->Name}, &settings, alone.get(), &ignored))
        return;
    agent->Counts = alone->Counts;
    agent->Samples = alone->Latency.Count();
    agent->P50 = alone->Latency.Percentile(50.0);
    agent->P99 = alone->Latency.Percentile(99.0);
}

/* What the intervals of a lost agent tell of its run, as a result. */
ResultJson Controller::LostDocument(const AgentRecord &agent) const
{
    ClientSettings share = AgentShare(settings_, settings_.ControlAgents, agent.Index);
    auto result = std::make_unique<RunResult>();
    result->Seed = seed_ + agent.Index;
    result->StartUnixNs = static_cast<uint64_t>(startUnixNs_ + agent.Clock.OffsetNs);
    for (const AgentInterval &interval : agent.Intervals) {
        interval.AddLatency(interval.Figures.Warmup ? &result->Warmup : &result->Latency);
        result->Counts = interval.Counts;
        result->EndNs =
            static_cast<uint64_t>((interval.Figures.StartS + interval.Figures.DurationS) * 1e9);
    }
    result->WarmupEndNs =
        std::min<uint64_t>(result->EndNs, static_cast<uint64_t>(share.Warmup * 1e9));
    result->SendingEndNs = result->EndNs;
    result->Ended = share.Duration > 0.0 ? EndReason::Duration : EndReason::Count;
    return ResultJson::parse(RunResultJson(share, *result, {}, 1), nullptr, false);
}

/* The agents' results as -M merges them, their start times on the
 * controller's clock. */
bool Controller::Merge(std::string *error)
{
    std::vector<ResultJson> documents;
    std::vector<std::string> names;
    for (AgentRecord &agent : agents_) {
        if (!agent.Reported)
            agent.Document = LostDocument(agent);
        ResultJson document = agent.Document;
        if (document.contains("started_unix_s") && document["started_unix_s"].is_number())
            document["started_unix_s"] = document["started_unix_s"].get<double>() -
                                         static_cast<double>(agent.Clock.OffsetNs) / 1e9;
        TakeFigures(document, &agent);
        documents.push_back(std::move(document));
        names.push_back("the result of agent " + agent.Name);
    }
    std::vector<IntervalFigures> intervals = std::move(run_->Result.Intervals);
    run_->Settings = settings_;
    run_->Result = RunResult{};
    if (!MergeResultDocuments(documents, names, &run_->Settings, &run_->Result, error))
        return false;
    run_->Result.Identity = NewRunIdentity();
    run_->Result.Intervals = std::move(intervals);
    return true;
}

void Controller::PrintBanner() const
{
    ClientSettings banner = settings_;
    banner.Connections *= settings_.ControlAgents;
    PrintSettings(stdout, banner, seed_);
    printf("Agents         %u of group %s\n", settings_.ControlAgents,
           settings_.ControlGroup.c_str());
    (void)fflush(stdout);
}

bool Controller::Run(std::string *error)
{
    seed_ = settings_.SeedGiven ? settings_.Seed : SeedFromClock();
    if (!link_.Open("controller", settings_.ControlGroup, error))
        return false;
    inbox_ = link_.Subject("controller", ProcessName());
    if (!link_.Subscribe(inbox_, error) || !Gather(error) || !MeasureClocks(error))
        return false;
    if (banner_)
        PrintBanner();
    Start();
    Collect();
    return Merge(error);
}

} // namespace

bool AgentsRun::AnyLost() const
{
    return std::any_of(Agents.begin(), Agents.end(),
                       [](const AgentRecord &agent) { return agent.Lost; });
}

bool RunOnAgents(const ClientSettings &settings, RunOutput output,
                 const volatile sig_atomic_t *interrupted, AgentsRun *run, std::string *error)
{
    auto controller = std::make_unique<Controller>(settings, output, interrupted, run, true);
    return controller->Run(error);
}

/* A run that failed for want of its agents, the reason as a failure. */
static void FailFor(const std::string &why, RunResult *result)
{
    result->Failed = true;
    result->Ended = EndReason::Failure;
    result->FailureLabel = "-D: ";
    result->Failure.PrimaryResult = ResultBlock{2, 0, {}};
    (void)snprintf(result->Failure.PrimaryResult.Text, sizeof result->Failure.PrimaryResult.Text,
                   "%s", why.c_str());
}

std::unique_ptr<RunResult> RunOnAgentsOnce(const ClientSettings &settings, uint64_t seed,
                                           RunOutput output,
                                           const volatile sig_atomic_t *interrupted)
{
    ClientSettings seeded = settings;
    seeded.Seed = seed;
    seeded.SeedGiven = true;
    auto run = std::make_unique<AgentsRun>();
    std::string error;
    Controller controller(seeded, output, interrupted, run.get(), false);
    auto result = std::make_unique<RunResult>();
    if (!controller.Run(&error)) {
        result->Seed = seed;
        FailFor(error, result.get());
        return result;
    }
    *result = std::move(run->Result);
    for (const AgentRecord &agent : run->Agents)
        if (agent.Lost)
            FailFor("agent " + agent.Name + " was lost", result.get());
    return result;
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
}

ResultJson AgentsJson(const AgentsRun &run)
{
    ResultJson agents = ResultJson::array();
    for (const AgentRecord &agent : run.Agents) {
        const RunCounts &counts = agent.Counts;
        bool any = agent.Samples != 0;
        size_t colon = agent.Name.rfind(':');
        agents.push_back({
            {"host", agent.Name.substr(0, colon)},
            {"pid", std::stoll(agent.Name.substr(colon + 1))},
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
