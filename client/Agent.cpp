#include "client/Agent.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "binding/tfxcodes.h"
#include "client/AgentPlan.h"
#include "client/ControlPlane.h"
#include "client/JsonReport.h"
#include "client/RunVerdict.h"
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
    Agent(const ClientSettings &settings, RunOutput output,
          const volatile sig_atomic_t *interrupted)
        : settings_(settings), output_(output), interrupted_(interrupted), name_(ProcessName())
    {
        output_.Sink = this;
    }

    int Serve();
    void Closed(const IntervalFigures &figures, const Histogram &latency,
                const RunCounts &counts) override;

  private:
    enum class Phase { Idle, Planned, Running };

    void Attend();
    void Handle(const ResultJson &message);
    void Offer(const ResultJson &message);
    bool FromOwner(const ResultJson &message);
    void Heartbeat(int64_t now);
    void RunPlan();
    bool AwaitStart(int64_t *startNs);
    void Report(RunResult *result, const ClientSettings &share, const char *how);
    bool Reply(const std::string &subject, ResultJson message);

    const ClientSettings &settings_;
    RunOutput output_;
    const volatile sig_atomic_t *interrupted_;
    std::string name_;
    std::string subject_;
    ControlLink link_;
    bool quit_ = false;

    std::mutex lock_;
    std::condition_variable changed_;
    Phase phase_ = Phase::Idle; /* under lock_ */
    std::string owner_;         /* the controller's subject; under lock_ */
    std::string ownerName_;     /* "host:pid" of the controller; under lock_ */
    ResultJson plan_;           /* under lock_ */
    int64_t startNs_ = 0;       /* on the agent's clock; 0 = not yet; under lock_ */
    /* 1: end the run, 2: end it at once; set by the attendant, read by the run
     * at every pass, as a signal handler would set it. */
    volatile sig_atomic_t stop_ = 0;
    uint32_t intervals_ = 0; /* sent in this run */
    int64_t lastBeatNs_ = 0;
};

bool Agent::Reply(const std::string &subject, ResultJson message)
{
    message["agent"] = subject_;
    message["name"] = name_;
    return link_.Publish(subject, message);
}

int Agent::Serve()
{
    std::string error;
    if (!link_.Open("agent", settings_.AgentGroup, &error)) {
        fprintf(stderr, "tfxclnt: -a %s: %s\n", settings_.AgentGroup.c_str(), error.c_str());
        return 1;
    }
    subject_ = link_.Subject("agent", name_);
    if (!link_.Subscribe(subject_, &error) ||
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
            stop_ = *interrupted_;
        /* Without its controller a run ends at once; it reports when it can. */
        if (link_.Disconnected() && stop_ < 2)
            stop_ = 2;
        ResultJson message;
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
    (void)Reply(owner_, {{"type", "alive"}});
}

bool Agent::FromOwner(const ResultJson &message)
{
    return message.value("reply", "") == owner_ && phase_ != Phase::Idle;
}

void Agent::Handle(const ResultJson &message)
{
    std::string type = message.value("type", "");
    std::string reply = message.value("reply", "");
    if (reply.empty())
        return;
    std::lock_guard<std::mutex> guard(lock_);
    if (type == "discover")
        (void)Reply(reply, {{"type", "here"}, {"busy", phase_ != Phase::Idle}});
    else if (type == "clock")
        (void)Reply(reply, {{"type", "clock"},
                            {"sent_ns", message.value("sent_ns", int64_t{0})},
                            {"agent_ns", AgentClockNs()}});
    else if (type == "plan")
        Offer(message);
    else if (type == "start" && FromOwner(message))
        startNs_ = message.value("at_ns", int64_t{1});
    else if (type == "stop" && FromOwner(message))
        stop_ = message.value("at_once", false) ? 2 : (stop_ > 1 ? stop_ : 1);
    else if (type == "release" && FromOwner(message) && phase_ == Phase::Planned)
        stop_ = 2;
    changed_.notify_all();
}

/* A plan: taken when idle, refused to its controller when busy. */
void Agent::Offer(const ResultJson &message)
{
    std::string reply = message.at("reply").get<std::string>();
    if (phase_ != Phase::Idle) {
        (void)Reply(reply, {{"type", "refused"}, {"why", "busy with the run of " + ownerName_}});
        return;
    }
    ClientSettings check;
    uint64_t seed = 0;
    std::string error;
    if (!message.contains("settings") || !ReadPlan(message.at("settings"), &check, &seed, &error)) {
        (void)Reply(reply, {{"type", "refused"}, {"why", error.empty() ? "no settings" : error}});
        return;
    }
    phase_ = Phase::Planned;
    owner_ = reply;
    ownerName_ = message.value("controller", "?");
    plan_ = message;
    startNs_ = 0;
    stop_ = *interrupted_;
    intervals_ = 0;
    lastBeatNs_ = 0;
    (void)Reply(reply, {{"type", "accepted"}});
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

void Agent::RunPlan()
{
    ClientSettings whole = settings_;
    uint64_t seed = 0;
    std::string error;
    uint32_t agents = 1, index = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        (void)ReadPlan(plan_.at("settings"), &whole, &seed, &error);
        agents = plan_.value("agents", 1u);
        index = plan_.value("index", 0u);
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
        phase_ = Phase::Idle;
        owner_.clear();
        return;
    }
    while (AgentClockNs() < startNs && stop_ == 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(
            std::min<int64_t>(startNs - AgentClockNs(), PollMs * 1000000)));
    {
        std::lock_guard<std::mutex> guard(lock_);
        phase_ = Phase::Running;
    }
    run.Run(&stop_);
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
    std::string owner, ownerName;
    {
        std::lock_guard<std::mutex> guard(lock_);
        owner = owner_;
        ownerName = ownerName_;
        phase_ = Phase::Idle;
        owner_.clear();
    }
    if (!Reply(owner, {{"type", "result"}, {"document", document}}))
        fprintf(stderr, "tfxclnt: agent %s: the result cannot be sent to controller %s\n",
                name_.c_str(), ownerName.c_str());
    printf("tfxclnt: agent %s %s %llu messages to %s for controller %s, exit code %d\n",
           name_.c_str(), how, static_cast<unsigned long long>(result->Counts.Messages),
           share.Element.c_str(), ownerName.c_str(), exitCode);
    if (result->Failed)
        ProcessError(&result->Failure, result->FailureLabel.c_str(), 0);
    (void)fflush(stdout);
}

void Agent::Closed(const IntervalFigures &figures, const Histogram &latency,
                   const RunCounts &counts)
{
    std::string owner;
    {
        std::lock_guard<std::mutex> guard(lock_);
        owner = owner_;
    }
    (void)Reply(owner, {{"type", "interval"},
                        {"index", intervals_++},
                        {"interval", IntervalJson(figures, latency, counts)}});
}

} // namespace

int RunAgent(const ClientSettings &settings, RunOutput output,
             const volatile sig_atomic_t *interrupted)
{
    auto agent = std::make_unique<Agent>(settings, output, interrupted);
    return agent->Serve();
}
