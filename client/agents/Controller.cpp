#include "client/agents/Controller.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "client/agents/ControlPlane.h"
#include "client/values/FigureText.h"
#include "client/results/JsonReport.h"
#include "client/reports/ProgressLine.h"
#include "client/traffic/RandomSource.h"
#include "client/results/ResultMerge.h"
#include "client/reports/SummaryReport.h"
#include "client/values/ValueParsing.h"
#include "util/Clock.h"

namespace {

enum : uint64_t {
    MillisecondNs = 1000000,
    SecondNs = 1000000000,
    GatherNs = 10 * SecondNs,       /* for the agents to come, unless TFX_CONTROL_WAIT says */
    QuietNs = 2 * SecondNs,         /* every agent heard has answered, and no new one came */
    DiscoverEveryNs = SecondNs / 2, /* the call to the group, again */
    PlanAnswerNs = 2 * SecondNs,    /* for an agent to take or refuse a plan */
    ClockAnswerNs = SecondNs,       /* for one reply of the clock */
    SilenceNs = 3 * SecondNs,       /* an agent heard from no longer is lost */
    StartAfterNs = SecondNs / 2,    /* from the plan to the common start */
    MaxOffsetNs = 600 * SecondNs,   /* an agent's clock further off is refused */
};

enum : int { PollMs = 100, ClockExchanges = 8 };

double Seconds(uint64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

/* ns as seconds for a text: 10, 2.5. */
std::string SecondsText(uint64_t ns)
{
    char text[32];
    (void)snprintf(text, sizeof text, "%g", Seconds(ns));
    return text;
}

class Controller {
  public:
    Controller(const ClientSettings &settings, RunOutput output, const StopFlag *interrupted,
               AgentsRun *run, bool banner)
        : settings_(settings), output_(output), interrupted_(interrupted), run_(run),
          agents_(run->Agents), banner_(banner),
          runId_(run->Result.Identity.Id.empty() ? NewNonce() : run->Result.Identity.Id)
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
    void FreeLateShares(uint64_t now);
    std::string TooFewText() const;
    bool ReadWait(std::string *error);
    bool AllAnswered(uint64_t now) const;
    void Ask(const ControlMessage &here, uint64_t now);
    void Answered(const ControlMessage &answer);
    void Release();
    bool Assemble(std::string *error);
    void AskTime(AgentRecord *agent);
    bool MeasureClocks(std::string *silent, std::string *error);
    void Start();
    void Collect();
    void Dispatch(const ControlMessage &message);
    void TakeInterval(const ControlMessage &message, AgentRecord *agent);
    void TakeResult(const ControlMessage &message, AgentRecord *agent);
    AgentRecord *Find(const std::string &subject);
    void CheckSilence(uint64_t now);
    void PassOnInterrupt();
    void PrintDueIntervals(bool all);
    bool Merge(std::string *error);
    void Send(const std::string &subject, ResultJson message);
    bool Done() const;
    void PrintBanner() const;

    const ClientSettings &settings_;
    RunOutput output_;
    const StopFlag *interrupted_;
    AgentsRun *run_;
    std::vector<AgentRecord> &agents_;
    bool banner_; /* the settings on standard output before the start */
    ControlLink link_;
    std::string inbox_;
    std::string runId_; /* every message of this run carries it, and the merged result */
    uint64_t gatherNs_ = GatherNs;
    uint64_t lastNewNs_ = 0; /* when an agent not heard before answered the call */
    uint64_t exchanges_ = 0; /* of the clock, sent so far */
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
    message["run"] = runId_;
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
void Controller::Ask(const ControlMessage &here, uint64_t now)
{
    const std::string &subject = here.From;
    if (here.Run != runId_) {
        link_.Refuse();
        return;
    }
    if (std::find(asked_.begin(), asked_.end(), subject) != asked_.end())
        return;
    lastNewNs_ = now;
    if (freeShares_.empty())
        return;
    asked_.push_back(subject);
    uint32_t index = freeShares_.back();
    freeShares_.pop_back();
    pending_.push_back(Pending{subject, index, now});
    Send(subject, {{"type", "plan"},
                   {"challenge", here.Challenge},
                   {"text", ProcessName()},
                   {"agents", settings_.ControlAgents},
                   {"index", index},
                   {"body", PlanJson(settings_, seed_)}});
}

/* An agent took its plan or refused it. */
void Controller::Answered(const ControlMessage &answer)
{
    const std::string &subject = answer.From;
    auto pending = std::find_if(pending_.begin(), pending_.end(),
                                [&](const Pending &each) { return each.Subject == subject; });
    if (pending == pending_.end() || answer.Run != runId_) {
        link_.Refuse();
        return;
    }
    if (answer.Type == "refused") {
        ++refusals_;
        fprintf(stderr, "tfxclnt: agent %s refused the run: %s\n", Printable(answer.Name).c_str(),
                Printable(answer.Text).c_str());
        freeShares_.push_back(pending->Index);
    } else {
        AgentRecord agent;
        agent.Subject = subject;
        agent.Name = Printable(answer.Name);
        agent.Index = pending->Index;
        agent.LastHeardNs = MonotonicNs();
        agents_.push_back(std::move(agent));
    }
    pending_.erase(pending);
}

/* TFX_CONTROL_WAIT: how long the agents may take to come. */
bool Controller::ReadWait(std::string *error)
{
    const char *wait = getenv("TFX_CONTROL_WAIT");
    double seconds = 0.0;
    if (wait == nullptr || wait[0] == '\0')
        return true;
    if (!ParseDuration(wait, BareDuration::Seconds, 0.1, 3600.0, &seconds)) {
        *error = std::string("TFX_CONTROL_WAIT=") + wait +
                 ": give seconds from 0.1 to 3600, or a number with ms, s or m";
        return false;
    }
    gatherNs_ = static_cast<uint64_t>(seconds * 1e9);
    return true;
}

/* Every agent that answered the call has answered its plan, and for a
 * while no other has come: waiting longer brings none. */
bool Controller::AllAnswered(uint64_t now) const
{
    return !asked_.empty() && pending_.empty() && now - lastNewNs_ >= QuietNs;
}

/* Calls the group until every free share went to an agent that took its
 * plan; plans that are not answered in time give their share to another
 * agent. */
bool Controller::Gather(std::string *error)
{
    std::string group = link_.Subject("group", settings_.ControlGroup);
    uint64_t begin = MonotonicNs();
    uint64_t nextCall = begin;
    lastNewNs_ = begin;
    while (agents_.size() < settings_.ControlAgents && *interrupted_ == 0) {
        uint64_t now = MonotonicNs();
        if (now - begin >= gatherNs_ || AllAnswered(now))
            break;
        if (now >= nextCall) {
            Send(group, {{"type", "discover"}});
            nextCall = now + DiscoverEveryNs;
        }
        FreeLateShares(now);
        ControlMessage message;
        if (!link_.Next(PollMs, &message))
            continue;
        if (message.Type == "here")
            Ask(message, now);
        else if (message.Type == "accepted" || message.Type == "refused")
            Answered(message);
        else
            Dispatch(message);
    }
    if (agents_.size() == settings_.ControlAgents)
        return true;
    Release();
    *error = TooFewText();
    return false;
}

/* Plans not answered in time give their share back. */
void Controller::FreeLateShares(uint64_t now)
{
    for (auto late = pending_.begin(); late != pending_.end();)
        if (now - late->AskedNs >= PlanAnswerNs) {
            freeShares_.push_back(late->Index);
            late = pending_.erase(late);
        } else {
            ++late;
        }
}

/* How many agents came, and what to do about it. */
std::string Controller::TooFewText() const
{
    std::string text = std::to_string(agents_.size()) + " of " +
                       std::to_string(settings_.ControlAgents) + " agents of group " +
                       settings_.ControlGroup +
                       (*interrupted_ != 0 ? " came before the interrupt"
                                           : " came within " + SecondsText(gatherNs_) + " s");
    if (refusals_ != 0)
        text += " (" + std::to_string(refusals_) + " refused, busy)";
    return text + "; start more with tfxclnt -a " + settings_.ControlGroup +
           " where TFX_CONTROL names the same NATS servers";
}

void Controller::Release()
{
    for (const AgentRecord &agent : agents_)
        Send(agent.Subject, {{"type", "release"}});
    for (const Pending &pending : pending_)
        Send(pending.Subject, {{"type", "release"}});
}

/* Exchanges of the clock with an agent, each answered or given up in turn. */
void Controller::AskTime(AgentRecord *agent)
{
    for (int i = 0; i < ClockExchanges; ++i) {
        agent->Awaited = ++exchanges_;
        agent->AskedNs = WallClockNs();
        Send(agent->Subject, {{"type", "clock"}, {"exchange", agent->Awaited}});
        size_t had = agent->Exchanges.size();
        uint64_t giveUp = MonotonicNs() + ClockAnswerNs;
        ControlMessage message;
        while (agent->Exchanges.size() == had && MonotonicNs() < giveUp)
            if (link_.Next(PollMs, &message))
                Dispatch(message);
    }
}

/* The clock of each agent not yet measured, the exchange of least round
 * trip giving its offset. An agent that answers none is released and its
 * share freed for another, *silent taking its name. False with *error when
 * an agent's clock is too far off. */
bool Controller::MeasureClocks(std::string *silent, std::string *error)
{
    for (auto agent = agents_.begin(); agent != agents_.end();) {
        if (agent->Exchanges.empty())
            AskTime(&*agent);
        if (agent->Exchanges.empty()) {
            Send(agent->Subject, {{"type", "release"}});
            fprintf(stderr,
                    "tfxclnt: agent %s does not answer the clock: another takes its share\n",
                    agent->Name.c_str());
            freeShares_.push_back(agent->Index);
            *silent = agent->Name;
            agent = agents_.erase(agent);
            continue;
        }
        agent->Clock = BestOffset(agent->Exchanges);
        if (std::abs(agent->Clock.OffsetNs) > static_cast<int64_t>(MaxOffsetNs)) {
            Release();
            *error = "agent " + agent->Name + "'s clock is " +
                     SecondsText(static_cast<uint64_t>(std::abs(agent->Clock.OffsetNs))) +
                     " s off this one's, beyond the 600 s a controller accepts: set the clocks "
                     "right (NTP)";
            return false;
        }
        ++agent;
    }
    return true;
}

/* Agents for every share, their clocks measured: one that does not answer
 * the clock gives way to another free agent of the group. */
bool Controller::Assemble(std::string *error)
{
    for (uint32_t share = settings_.ControlAgents; share > 0; --share)
        freeShares_.push_back(share - 1);
    std::string silent;
    while (Gather(error)) {
        if (!MeasureClocks(&silent, error))
            return false;
        if (agents_.size() == settings_.ControlAgents)
            return true;
    }
    if (!silent.empty() && *interrupted_ == 0)
        *error = "agent " + silent + " does not answer the clock, and no other agent of group " +
                 settings_.ControlGroup + " came to take its share";
    return false;
}

void Controller::Start()
{
    startUnixNs_ = WallClockNs() + static_cast<int64_t>(StartAfterNs);
    startNs_ = MonotonicNs() + StartAfterNs;
    for (AgentRecord &agent : agents_) {
        Send(agent.Subject, {{"type", "start"}, {"ns", startUnixNs_ + agent.Clock.OffsetNs}});
        agent.LastHeardNs = startNs_;
    }
}

/* A message of an agent of this run: taken when it is what that agent
 * owes now, else dropped and counted. */
void Controller::Dispatch(const ControlMessage &message)
{
    if (message.Type == "here" && message.Run == runId_)
        return; /* a late answer to the call */
    AgentRecord *agent = Find(message.From);
    if (agent == nullptr || agent->Lost || message.Run != runId_) {
        link_.Refuse();
        return;
    }
    const std::string &type = message.Type;
    if (type == "time" && message.Exchange == agent->Awaited && agent->Awaited != 0) {
        agent->Exchanges.push_back(ClockExchange{agent->AskedNs, message.Ns, WallClockNs()});
        agent->Awaited = 0;
    } else if (type == "interval") {
        TakeInterval(message, agent);
    } else if (type == "result" && !agent->Reported) {
        TakeResult(message, agent);
    } else if (type != "alive") {
        link_.Refuse();
        return;
    }
    agent->LastHeardNs = MonotonicNs();
}

/* The next interval of the agent, no further than the run has gone: one a
 * second, one more at the end of the warm-up and of the sending. */
void Controller::TakeInterval(const ControlMessage &message, AgentRecord *agent)
{
    uint64_t now = MonotonicNs();
    uint64_t elapsed = now > startNs_ ? (now - startNs_) / SecondNs : 0;
    AgentInterval interval;
    if (message.Index != agent->Intervals.size() || message.Index > elapsed + 3 ||
        !ReadInterval(message.Body, &interval)) {
        link_.Refuse();
        return;
    }
    agent->Intervals.push_back(std::move(interval));
}

/* The result, when it is of the share this agent was sent. */
void Controller::TakeResult(const ControlMessage &message, AgentRecord *agent)
{
    ClientSettings share = AgentShare(settings_, settings_.ControlAgents, agent->Index);
    ResultJson expected = PlanJson(share, seed_ + agent->Index);
    auto given = message.Body.find("settings");
    bool ours = given != message.Body.end() && given->is_object();
    for (const char *member : {"element", "count", "duration_s", "rate", "seed"})
        ours = ours && given->contains(member) && given->at(member) == expected.at(member);
    if (!ours) {
        link_.Refuse();
        return;
    }
    agent->Document = message.Body;
    agent->Reported = true;
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
            Send(agent.Subject, {{"type", "stop"}, {"flag", now > 1}});
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
        if (output_.Sink != nullptr)
            output_.Sink->Closed(merged, MergedLatency(parts), counts);
        if (output_.Progress != nullptr)
            PrintProgressLine(output_.Progress, merged.StartS + merged.DurationS, counts, merged);
    }
}

void Controller::Collect()
{
    while (!Done()) {
        PassOnInterrupt();
        ControlMessage message;
        if (link_.Next(PollMs, &message))
            Dispatch(message);
        CheckSilence(MonotonicNs());
        PrintDueIntervals(false);
    }
    PrintDueIntervals(true);
}

/* The agents' results as one run. */
bool Controller::Merge(std::string *error)
{
    std::vector<IntervalFigures> intervals = std::move(run_->Result.Intervals);
    if (!MergeAgentResults(AgentsStart{settings_, seed_, startUnixNs_}, run_, error))
        return false;
    run_->Result.Identity = NewRunIdentity();
    run_->Result.Identity.Id = runId_;
    run_->Result.Intervals = std::move(intervals);
    return true;
}

void Controller::PrintBanner() const
{
    PrintSettings(stdout, AllAgentsSettings(settings_), seed_);
    PrintAgentsLine(stdout, settings_);
    (void)fflush(stdout);
}

bool Controller::Run(std::string *error)
{
    seed_ = settings_.SeedGiven ? settings_.Seed : SeedFromClock();
    if (!ReadWait(error) || !link_.Open("controller", settings_.ControlGroup, error))
        return false;
    inbox_ = link_.Self();
    bool gathered = Assemble(error);
    run_->Drops = link_.Drops();
    if (!gathered)
        return false;
    if (banner_)
        PrintBanner();
    Start();
    Collect();
    run_->Drops = link_.Drops();
    return Merge(error);
}

} // namespace

bool RunOnAgents(const ClientSettings &settings, RunOutput output, const StopFlag *interrupted,
                 AgentsRun *run, std::string *error)
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
                                           RunOutput output, const StopFlag *interrupted)
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
        result->Agents.push_back(
            AgentClock{agent.Name, agent.Clock.OffsetNs, agent.Clock.UncertaintyNs});
    for (const AgentRecord &agent : run->Agents)
        if (agent.Lost)
            FailFor("agent " + agent.Name + " was lost", result.get());
    return result;
}
