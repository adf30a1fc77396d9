#include "client/agents/Agent.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "binding/tfxcodes.h"
#include "client/agents/AgentPlan.h"
#include "client/agents/ControlPlane.h"
#include "client/results/JsonReport.h"
#include "client/results/RunVerdict.h"
#include "client/values/ValueParsing.h"
#include "util/Clock.h"

namespace {

enum : int64_t {
    SecondNs = 1000000000,
    HeartbeatNs = SecondNs / 2,  /* the controller declares an agent lost after 3 s */
    StartWaitNs = 30 * SecondNs, /* a plan whose start never comes is dropped */
};

enum : int { PollMs = 100 };

class Agent final : public IntervalSink {
  public:
    Agent(const ClientSettings &settings, RunOutput output, const StopFlag *interrupted,
          LiveMetrics *live)
        : settings_(settings), output_(output), interrupted_(interrupted), live_(live),
          name_(ProcessName())
    {
        output_.Sink = this;
    }

    int Serve();
    void Closed(const IntervalFigures &figures, const Histogram &latency,
                const RunCounts &counts) override;

  private:
    enum class Phase { Idle, Planned, Running };

    void Attend();
    void Handle(const ControlMessage &message);
    void Offer(const ControlMessage &message);
    void Begin(const ControlMessage &message);
    bool FromOwner(const ControlMessage &message) const;
    void Heartbeat(int64_t now);
    void RunPlan();
    bool AwaitStart(int64_t *startNs);
    void BecomeIdle();
    void Report(RunResult *result, const ClientSettings &share, const char *how);
    bool Reply(const std::string &subject, const std::string &run, ResultJson message);
    void SayDrops();

    const ClientSettings &settings_;
    RunOutput output_;
    const StopFlag *interrupted_;
    LiveMetrics *live_; /* null without -l */
    std::string name_;
    ControlLink link_;
    bool quit_ = false;

    std::mutex lock_;
    std::condition_variable changed_;
    Phase phase_ = Phase::Idle;          /* under lock_ */
    std::string owner_;                  /* the controller's subject; under lock_ */
    std::string ownerName_;              /* "host:pid" of the controller, as shown; under lock_ */
    std::string run_;                    /* the controller's run id; under lock_ */
    std::string challenge_ = NewNonce(); /* a plan must repeat it; new at each change */
    ControlMessage plan_;                /* under lock_ */
    int64_t startNs_ = 0;                /* on the agent's clock; 0 = not yet; under lock_ */
    /* 1: end the run, 2: end it at once; set by the attendant, read by the run. */
    StopFlag stop_{0};
    uint32_t intervals_ = 0;              /* sent in this run */
    const TrafficRun *traffic_ = nullptr; /* the run going; read on its thread */
    int64_t lastBeatNs_ = 0;
    uint64_t dropsSaid_ = 0; /* control messages dropped, as last said */
};

bool Agent::Reply(const std::string &subject, const std::string &run, ResultJson message)
{
    message["run"] = run;
    return link_.Publish(subject, message);
}

int Agent::Serve()
{
    std::string error;
    if (!link_.Open("agent", settings_.AgentGroup, &error) ||
        !link_.Subscribe(link_.Subject("group", settings_.AgentGroup), &error)) {
        fprintf(stderr, "tfxclnt: -a %s: %s\n", settings_.AgentGroup.c_str(), error.c_str());
        return 1;
    }
    printf("tfxclnt: agent %s of group %s waiting for runs\n", name_.c_str(),
           settings_.AgentGroup.c_str());
    (void)fflush(stdout);
    std::thread attendant(&Agent::Attend, this);
    while (*interrupted_ == 0) {
        std::unique_lock<std::mutex> guard(lock_);
        if (changed_.wait_for(guard, std::chrono::milliseconds(PollMs),
                              [this] { return phase_ == Phase::Planned; })) {
            guard.unlock();
            RunPlan();
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        quit_ = true;
    }
    attendant.join();
    SayDrops();
    printf("tfxclnt: agent %s ends\n", name_.c_str());
    return 0;
}

/* The control plane's messages and the heartbeat, beside the run. */
void Agent::Attend()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (quit_)
                return;
        }
        if (*interrupted_ > stop_)
            stop_ = interrupted_->load();
        /* Without its controller a run ends at once; it reports when it can. */
        if (link_.Disconnected() && stop_ < 2)
            stop_ = 2;
        ControlMessage message;
        if (link_.Next(PollMs, &message))
            Handle(message);
        Heartbeat(MonotonicNs());
    }
}

void Agent::Heartbeat(int64_t now)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (phase_ == Phase::Idle || now - lastBeatNs_ < HeartbeatNs)
        return;
    lastBeatNs_ = now;
    (void)Reply(owner_, run_, {{"type", "alive"}});
}

/* From the controller whose plan this agent took, about its run. */
bool Agent::FromOwner(const ControlMessage &message) const
{
    return phase_ != Phase::Idle && message.From == owner_ && message.Run == run_;
}

void Agent::Handle(const ControlMessage &message)
{
    std::lock_guard<std::mutex> guard(lock_);
    const std::string &type = message.Type;
    if (type == "discover")
        (void)Reply(message.From, message.Run,
                    {{"type", "here"}, {"challenge", challenge_}, {"flag", phase_ != Phase::Idle}});
    else if (type == "plan")
        Offer(message);
    else if (!FromOwner(message))
        link_.Refuse();
    else if (type == "clock")
        (void)Reply(owner_, run_,
                    {{"type", "time"}, {"exchange", message.Exchange}, {"ns", AgentClockNs()}});
    else if (type == "start")
        Begin(message);
    else if (type == "stop")
        stop_ = message.Flag ? 2 : std::max(stop_.load(), 1);
    else if (type == "release" && phase_ == Phase::Planned)
        stop_ = 2;
    else
        link_.Refuse();
    changed_.notify_all();
}

/* A plan that repeats this agent's challenge: taken when idle, refused to
 * its controller when busy or out of bounds. */
void Agent::Offer(const ControlMessage &message)
{
    if (message.Challenge != challenge_) {
        link_.Refuse();
        return;
    }
    if (phase_ != Phase::Idle) {
        (void)Reply(message.From, message.Run,
                    {{"type", "refused"}, {"text", "busy with the run of " + ownerName_}});
        return;
    }
    ClientSettings check;
    uint64_t seed = 0;
    std::string error = "the plan's agents must be 1 to 1000, its index below them";
    if (message.Agents < 1 || message.Agents > MaxAgents || message.Index >= message.Agents ||
        !ReadPlan(message.Body, &check, &seed, &error)) {
        (void)Reply(message.From, message.Run, {{"type", "refused"}, {"text", error}});
        return;
    }
    phase_ = Phase::Planned;
    owner_ = message.From;
    ownerName_ = Printable(message.Text);
    run_ = message.Run;
    challenge_ = NewNonce();
    plan_ = message;
    startNs_ = 0;
    stop_ = interrupted_->load();
    intervals_ = 0;
    lastBeatNs_ = 0;
    (void)Reply(owner_, run_, {{"type", "accepted"}});
}

/* The start, on this agent's clock; one further off than a plan waits for
 * its start is refused, and the run with it. */
void Agent::Begin(const ControlMessage &message)
{
    int64_t away = message.Ns - AgentClockNs();
    if (away >= -StartWaitNs && away <= StartWaitNs) {
        startNs_ = message.Ns != 0 ? message.Ns : 1;
        return;
    }
    fprintf(stderr,
            "tfxclnt: agent %s: controller %s asks for a start %.1f s away, beyond the %d s "
            "an agent waits: the run is not made\n",
            name_.c_str(), ownerName_.c_str(), static_cast<double>(away) / 1e9,
            static_cast<int>(StartWaitNs / SecondNs));
    stop_ = 2;
}

/* Waits for the start on the agent's clock; false when the plan is
 * released, the agent interrupted or no start comes in time. */
bool Agent::AwaitStart(int64_t *startNs)
{
    int64_t giveUp = MonotonicNs() + StartWaitNs;
    std::unique_lock<std::mutex> guard(lock_);
    while (startNs_ == 0) {
        if (stop_ != 0 || static_cast<int64_t>(MonotonicNs()) > giveUp)
            return false;
        changed_.wait_for(guard, std::chrono::milliseconds(PollMs));
    }
    *startNs = startNs_;
    return true;
}

/* Lock held. */
void Agent::BecomeIdle()
{
    phase_ = Phase::Idle;
    owner_.clear();
    challenge_ = NewNonce();
}

void Agent::RunPlan()
{
    ClientSettings whole = settings_;
    uint64_t seed = 0;
    std::string error;
    uint32_t agents = 1, index = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        (void)ReadPlan(plan_.Body, &whole, &seed, &error);
        agents = static_cast<uint32_t>(plan_.Agents);
        index = static_cast<uint32_t>(plan_.Index);
    }
    ClientSettings share = AgentShare(whole, agents, index);
    auto result = std::make_unique<RunResult>();
    result->Identity = NewRunIdentity();
    result->Seed = seed + index;
    TrafficRun run(share, result.get(), output_);
    if (!run.Connect(share.Connections)) {
        result->Ended = EndReason::Failure;
        result->StartNs = result->WarmupEndNs = result->SendingEndNs = result->EndNs =
            MonotonicNs();
        Report(result.get(), share, "could not connect");
        return;
    }
    int64_t startNs = 0;
    if (!AwaitStart(&startNs)) {
        std::lock_guard<std::mutex> guard(lock_);
        BecomeIdle();
        return;
    }
    while (AgentClockNs() < startNs && stop_ == 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(
            std::min<int64_t>(startNs - AgentClockNs(), PollMs * 1000000)));
    std::string runId;
    {
        std::lock_guard<std::mutex> guard(lock_);
        phase_ = Phase::Running;
        runId = run_;
    }
    if (live_ != nullptr)
        live_->Follow({share.Element, runId, result->Identity.Host, name_, result.get()});
    traffic_ = &run;
    run.Run(&stop_);
    traffic_ = nullptr;
    result->StartUnixNs += AgentClockNs() - WallClockNs();
    Report(result.get(), share, "ran");
}

void Agent::Report(RunResult *result, const ClientSettings &share, const char *how)
{
    int exitCode = RunFault(share, *result, {}).empty() ? 0 : 1;
    ResultJson document =
        ResultJson::parse(RunResultJson(share, *result, {}, exitCode), nullptr, false);
    document.erase("intervals");
    /* Idle before the result goes, so the controller's next run finds it so. */
    std::string owner, ownerName, run;
    {
        std::lock_guard<std::mutex> guard(lock_);
        owner = owner_;
        ownerName = ownerName_;
        run = run_;
        BecomeIdle();
    }
    if (!Reply(owner, run, {{"type", "result"}, {"body", document}}))
        fprintf(stderr, "tfxclnt: agent %s: the result cannot be sent to controller %s\n",
                name_.c_str(), ownerName.c_str());
    printf("tfxclnt: agent %s %s %llu messages to %s for controller %s, exit code %d\n",
           name_.c_str(), how, static_cast<unsigned long long>(result->Counts.Messages),
           share.Element.c_str(), ownerName.c_str(), exitCode);
    if (result->Failed)
        ProcessError(&result->Failure, result->FailureLabel.c_str(), 0);
    SayDrops();
    (void)fflush(stdout);
}

/* The control messages dropped so far, when more than last said. */
void Agent::SayDrops()
{
    ControlDrops drops = link_.Drops();
    if (drops.Total() == dropsSaid_)
        return;
    dropsSaid_ = drops.Total();
    printf("tfxclnt: agent %s: %s\n", name_.c_str(), DropsText(drops).c_str());
}

void Agent::Closed(const IntervalFigures &figures, const Histogram &latency,
                   const RunCounts &counts)
{
    std::string owner, run;
    {
        std::lock_guard<std::mutex> guard(lock_);
        owner = owner_;
        run = run_;
    }
    if (live_ != nullptr)
        live_->Closed(figures, latency, counts);
    const IntervalSeries &intervals = traffic_->Intervals();
    ServerView server = traffic_->ServerAsIfEnded();
    IntervalTally tally{latency, intervals.ClosedUncorrected(), intervals.ClosedSendLag(), counts,
                        server};
    (void)Reply(
        owner, run,
        {{"type", "interval"}, {"index", intervals_++}, {"body", IntervalJson(figures, tally)}});
}

} // namespace

int RunAgent(const ClientSettings &settings, RunOutput output, const StopFlag *interrupted,
             LiveMetrics *live)
{
    auto agent = std::make_unique<Agent>(settings, output, interrupted, live);
    return agent->Serve();
}
