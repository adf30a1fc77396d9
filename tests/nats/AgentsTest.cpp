/* tfxclnt's agents (-a) and controller (-D) as a user runs them: agents as
 * processes of their own, over nats-servers of the test's own, in front of
 * real tfxsrvr services. */
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "client/agents/AgentPlan.h"
#include "client/agents/ControlMessage.h"
#include "client/results/JsonReport.h"
#include "client/results/ResultDocument.h"
#include "tests/support/BareNats.h"
#include "tests/support/NatsServer.h"
#include "tests/support/ResultCheck.h"

namespace {

using tfxtest::NatsServer, tfxtest::Process;
using Env = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;
constexpr auto Generous = std::chrono::seconds(60);

/* What a ghost agent of a test does. */
struct GhostPlay {
    bool Sealed = true;
    int64_t ClockShiftNs = 0;
    int Intervals = 0;          /* sent at the start, one for each index */
    std::string Element = "E1"; /* its result's */
    bool AnswersClock = true;
};

class Agents : public testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(nats_.Failure(), "");
        int fd = open(keyPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, KeyText, sizeof KeyText - 1), static_cast<ssize_t>(sizeof KeyText - 1));
        (void)close(fd);
        ASSERT_TRUE(ParseControlKey(KeyText, &key_));
    }

    tfxtest::ProcessOptions Options(const std::string &url, const Env &env = {}) const
    {
        tfxtest::ProcessOptions options;
        options.Env = {
            {"QLX_ENDPOINT", url}, {"QLX_NATS_PREFIX", prefix_}, {"TFX_CONTROL_KEY", keyPath_}};
        options.Env.insert(options.Env.end(), env.begin(), env.end());
        options.Timeout = Generous;
        return options;
    }
    /* tfxsrvr on element E1, once its service is open. */
    void Server(const std::string &url)
    {
        servers_.push_back(std::make_unique<Process>(
            std::vector<std::string>{TFXSRVR_PATH, "-q", "E1"}, Options(url)));
        ASSERT_TRUE(servers_.back()->WaitForStdout("Waiting for message...", Generous));
    }
    /* An agent of group g, once it waits for runs. */
    Process &Agent(const std::string &url, const Env &env = {})
    {
        agents_.push_back(std::make_unique<Process>(
            std::vector<std::string>{TFXCLNT_PATH, "-a", "g"}, Options(url, env)));
        EXPECT_TRUE(agents_.back()->WaitForStdout("waiting for runs", Generous));
        return *agents_.back();
    }
    /* A controller of count agents of group g, on element E1. */
    std::unique_ptr<Process> Controller(int count, std::vector<std::string> arguments,
                                        const std::string &url = "", const Env &env = {})
    {
        arguments.insert(arguments.begin(),
                         {TFXCLNT_PATH, "-P", "-o", result_, "-D", "g:" + std::to_string(count)});
        arguments.push_back("E1");
        return std::make_unique<Process>(arguments, Options(url.empty() ? nats_.Url() : url, env));
    }
    std::string Group() const { return prefix_ + ".tfxclnt.group.g"; }
    /* message as a body for subject, sealed with the group's key or not. */
    std::string Body(const std::string &subject, const ResultJson &message, bool sealed) const
    {
        return SealControlMessage(sealed ? key_ : ControlKey{}, subject, message);
    }
    static ResultJson Json(const tfxtest::BareMessage &message)
    {
        return ResultJson::parse(message.Body.substr(65), nullptr, false);
    }
    void Ghost(const GhostPlay &play);
    ResultJson Result() const
    {
        ResultJson json;
        std::string error;
        EXPECT_TRUE(ParseResultDocument(tfxtest::ReadFile(result_), &json, &error)) << error;
        EXPECT_EQ(tfxtest::ResultFaults(result_), "");
        return json;
    }
    /* The transactions the server counted, once it ended. */
    unsigned long long ServerTransactions(Process *server)
    {
        std::string out = server->Wait(Generous).Stdout;
        size_t at = out.rfind("\nTransactions = ");
        return at == std::string::npos ? 0 : strtoull(out.c_str() + at + 16, nullptr, 10);
    }

    static constexpr char KeyText[] =
        "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n";
    NatsServer nats_;
    std::string prefix_ = tfxtest::UniqueNatsPrefix();
    tfxtest::TempDir dir_;
    std::string keyPath_ = dir_.Path() + "/control.key";
    ControlKey key_;
    std::string result_ = dir_.Path() + "/result.json";
    std::vector<std::unique_ptr<Process>> servers_;
    std::vector<std::unique_ptr<Process>> agents_;
    std::atomic<bool> ghostDone_{false};
    std::atomic<bool> ghostPlanned_{false}; /* it took a plan */
};

/* Plays an agent of group g on a bare NATS connection as play says: it
 * answers the call, takes the plan, answers the clock, and at the start
 * sends its intervals and a result of a run that never was. Ends once its
 * result is sent, or when ghostDone_ is set. */
void Agents::Ghost(const GhostPlay &play)
{
    tfxtest::BareNats bare(nats_.Url());
    const std::string self = prefix_ + ".tfxclnt.agent.ghost";
    tfxtest::BareMessage message;
    if (!bare.Failure().empty() || !bare.Subscribe(Group()) || !bare.Subscribe(self) ||
        !bare.NextHolding("\"discover\"", &message))
        return;
    std::string inbox = Json(message)["from"], run = Json(message)["run"];
    uint64_t seq = 1;
    auto send = [&](ResultJson answer) {
        answer.update({{"from", self}, {"name", "ghost:1"}, {"run", run}, {"seq", seq++}});
        (void)bare.Publish(inbox, Body(inbox, answer, play.Sealed));
    };
    send({{"type", "here"}, {"challenge", "c"}, {"flag", false}});
    ResultJson plan;
    while (!ghostDone_) {
        if (!bare.Next(&message, std::chrono::milliseconds(200)) || message.Subject != self)
            continue;
        ResultJson json = Json(message);
        if (json["type"] == "plan") {
            plan = json;
            send({{"type", "accepted"}});
            ghostPlanned_ = true;
        } else if (json["type"] == "clock" && play.AnswersClock) {
            send({{"type", "time"},
                  {"exchange", json["exchange"]},
                  {"ns", WallClockNs() + play.ClockShiftNs}});
        } else if (json["type"] == "start") {
            break;
        }
    }
    Histogram none;
    for (int i = 0; i < play.Intervals; ++i)
        send({{"type", "interval"},
              {"index", i},
              {"body", IntervalJson(IntervalFigures{}, {none, none, none, RunCounts{}, {}})}});
    ClientSettings whole;
    uint64_t seed = 0;
    std::string error;
    if (ghostDone_ || !ReadPlan(plan["body"], &whole, &seed, &error))
        return;
    uint32_t index = plan["index"];
    ClientSettings share = AgentShare(whole, plan["agents"], index);
    share.Element = play.Element;
    auto result = std::make_unique<RunResult>();
    result->Seed = seed + index;
    result->StartUnixNs = static_cast<uint64_t>(WallClockNs());
    result->SendingEndNs = result->EndNs = 1000000000;
    ResultJson document = ResultJson::parse(RunResultJson(share, *result, {}, 0));
    document.erase("intervals");
    send({{"type", "result"}, {"body", document}});
}

/* Three agents against two servers of one name make one run: its
 * transactions are the servers' sum, its percentiles lie within the agents'. */
TEST_F(Agents, ThreeAgentsMakeOneRunOfTwoServers)
{
    Server(nats_.Url());
    Server(nats_.Url());
    for (int i = 0; i < 3; ++i)
        Agent(nats_.Url());
    tfxtest::ProcessResult run = Controller(3, {"-n", "900", "-w", "4", "-x"})->Wait(Generous);
    ASSERT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    ResultJson json = Result();
    uint64_t completed = json["counts"]["completed"].get<uint64_t>();
    EXPECT_EQ(completed, 900u);
    EXPECT_EQ(ServerTransactions(servers_[0].get()) + ServerTransactions(servers_[1].get()),
              completed);
    uint64_t p50 = json["latency_ns"]["percentiles"]["50"].get<uint64_t>();
    uint64_t low = UINT64_MAX, high = 0, sent = 0;
    for (const ResultJson &agent : json["agents"]) {
        low = std::min(low, agent["p50_ns"].get<uint64_t>());
        high = std::max(high, agent["p50_ns"].get<uint64_t>());
        sent += agent["sent"].get<uint64_t>();
        EXPECT_EQ(agent["sent"].get<uint64_t>(), 300u);
    }
    EXPECT_EQ(sent, 900u);
    EXPECT_GE(p50, low);
    EXPECT_LE(p50, high);
    EXPECT_NE(run.Stdout.find("\nAgent                          sent    completed"),
              std::string::npos);
}

/* An agent killed mid-run is declared lost within 3 s of its last word; the
 * run goes on, writes its result and fails. Every figure covers the same
 * transactions, the lost agent's up to its last interval: lower bounds of
 * what the server counted, that say so, and a balance that adds up. */
TEST_F(Agents, KilledAgentIsLostAndTheFiguresAgree)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    Process &doomed = Agent(nats_.Url());
    auto controller = Controller(2, {"-d", "8", "-w", "2", "-r", "400", "-x"});
    ASSERT_TRUE(controller->WaitForStderr("tfxclnt: 2.", Generous));
    doomed.Signal(SIGKILL);
    auto killed = Clock::now();
    ASSERT_TRUE(controller->WaitForStderr(" lost ", Generous));
    EXPECT_LT(Clock::now() - killed, std::chrono::milliseconds(4500));
    tfxtest::ProcessResult run = controller->Wait(Generous);
    EXPECT_EQ(run.ExitCode, 1) << run.Stdout << run.Stderr;
    ResultJson json = Result();
    EXPECT_EQ(json["agents"][0]["lost"].get<bool>() + json["agents"][1]["lost"].get<bool>(), 1);
    EXPECT_EQ(json["lower_bounds"]["lost_agents"], 1);
    EXPECT_TRUE(json["balanced"].get<bool>());
    const ResultJson &counts = json["counts"];
    auto count = [&](const char *name) { return std::to_string(counts[name].get<uint64_t>()); };
    uint64_t server = counts["transactions"].get<uint64_t>() - counts["refused"].get<uint64_t>();
    EXPECT_EQ(json["server_view"]["transactions"], server);
    EXPECT_LE(server, ServerTransactions(servers_[0].get()));
    EXPECT_EQ(json["latency_ns"]["samples"], counts["measured_completed"]);
    EXPECT_EQ(json["uncorrected_latency_ns"]["samples"], counts["measured_completed"]);
    EXPECT_EQ(json["send_lag_ns"]["samples"], counts["messages"]);
    uint64_t unknown = json["lower_bounds"]["unknown_ends"].get<uint64_t>();
    std::string balance =
        "\nTransactions   at least " + count("transactions") + " sent = " + count("completed") +
        " completed + " + count("refused") + " refused + " + count("timed_out") + " timed out" +
        (unknown != 0 ? " + " + std::to_string(unknown) + " of unknown end (agent lost)" : "") +
        ": balanced\n";
    std::string serverLines =
        "\nAs the server should count them, if it took every message sent (at least: an agent "
        "was lost):\nTransactions = " +
        std::to_string(server) + ", Datagrams = 0, Total = " + std::to_string(server) + "\n";
    EXPECT_NE(run.Stdout.find(balance), std::string::npos) << balance << run.Stdout;
    EXPECT_NE(run.Stdout.find(serverLines), std::string::npos) << serverLines << run.Stdout;
    EXPECT_NE(run.Stdout.find(" was lost "), std::string::npos);
    EXPECT_TRUE(json["rate_missed"].is_null()) << "a lower bound misses no rate";
}

/* SIGINT to the controller ends the run on every agent, and the merged
 * summary and result are still written. */
TEST_F(Agents, InterruptedControllerEndsEveryAgentsRun)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    Agent(nats_.Url());
    auto controller = Controller(2, {"-d", "3600"});
    ASSERT_TRUE(controller->WaitForStdout("Agents         2 of group g", Generous));
    controller->Signal(SIGINT);
    tfxtest::ProcessResult run = controller->Wait(Generous);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    EXPECT_EQ(Result()["ended_by"], "interrupt");
    for (auto &agent : agents_)
        EXPECT_TRUE(agent->WaitForStdout(" messages to E1 for controller ", Generous));
}

/* -N over agents: each run is made on them, and the runs are reported as
 * repeats; the header names the agents' connections and group, and each run
 * its agents and their clocks, as a single run on agents does. */
TEST_F(Agents, RepeatedRunsAreMadeOnAgents)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    Agent(nats_.Url());
    tfxtest::ProcessResult run = Controller(2, {"-N", "2", "-n", "200"})->Wait(Generous);
    ASSERT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    EXPECT_EQ(run.Stdout.rfind("Service element E1: 2 connections, window 1, closed loop\n", 0), 0u)
        << run.Stdout;
    EXPECT_NE(run.Stdout.find("\nAgents         2 of group g\n2 runs, "), std::string::npos);
    ResultJson runs = Result()["repeats"]["runs"];
    ASSERT_EQ(runs.size(), 2u);
    for (const ResultJson &each : runs) {
        EXPECT_TRUE(each["passed"].get<bool>()) << each;
        ASSERT_EQ(each["agents"].size(), 2u) << each;
        for (const ResultJson &agent : each["agents"]) {
            std::string name = agent["host"].get<std::string>() + ":" + agent["pid"].dump();
            char clock[64];
            snprintf(clock, sizeof clock, " %+.3f ms +- %.3f ms",
                     agent["clock_offset_s"].get<double>() * 1e3,
                     agent["clock_uncertainty_s"].get<double>() * 1e3);
            EXPECT_NE(run.Stdout.find(name + clock), std::string::npos) << name << run.Stdout;
        }
    }
}

/* An agent that does not answer the clock is released, and another free
 * agent of the group takes its share. */
TEST_F(Agents, AgentSilentOnTheClockIsReplaced)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    GhostPlay play;
    play.AnswersClock = false;
    std::thread ghost([&] { Ghost(play); });
    auto controller = Controller(2, {"-n", "200"});
    auto begin = Clock::now();
    while (!ghostPlanned_ && Clock::now() < begin + Generous)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Agent(nats_.Url());
    tfxtest::ProcessResult run = controller->Wait(Generous);
    ghostDone_ = true;
    ghost.join();
    ASSERT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    EXPECT_EQ(run.Stderr.rfind("tfxclnt: agent ghost:1 does not answer the clock: another takes "
                               "its share\n",
                               0),
              0u)
        << run.Stderr;
    ResultJson json = Result();
    EXPECT_EQ(json["counts"]["completed"], 200);
    for (const ResultJson &agent : json["agents"])
        EXPECT_NE(agent["host"], "ghost");
}

struct WaitCase {
    int Agents;       /* started before the controller */
    const char *Wait; /* TFX_CONTROL_WAIT */
    const char *Said;
};

class GatherWait : public Agents, public testing::WithParamInterface<WaitCase> {};

/* Too few agents: the controller ends its wait as soon as every agent that
 * answered has answered its plan, else at TFX_CONTROL_WAIT, naming how many
 * came. */
TEST_P(GatherWait, EndsOnceEveryAgentAnsweredOrTheWaitIsOver)
{
    for (int i = 0; i < GetParam().Agents; ++i)
        Agent(nats_.Url());
    auto begin = Clock::now();
    tfxtest::ProcessResult run =
        Controller(2, {"-n", "10"}, "", {{"TFX_CONTROL_WAIT", GetParam().Wait}})->Wait(Generous);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(8));
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Stderr, std::string("tfxclnt: -D g:2: ") + GetParam().Said +
                              " agents of group g came within " + GetParam().Wait +
                              " s; start more with tfxclnt -a g where TFX_CONTROL names the same "
                              "NATS servers\n");
}

INSTANTIATE_TEST_SUITE_P(Table, GatherWait,
                         testing::Values(WaitCase{1, "20", "1 of 2"},
                                         WaitCase{0, "1.5", "0 of 2"}));

/* A busy agent refuses a second controller's plan, which says so. */
TEST_F(Agents, BusyAgentRefusesSecondController)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    auto first = Controller(1, {"-d", "3600"});
    ASSERT_TRUE(first->WaitForStdout("Agents         1 of group g", Generous));
    auto begin = Clock::now();
    tfxtest::ProcessResult second =
        tfxtest::RunProcess({TFXCLNT_PATH, "-D", "g:1", "-n", "10", "E1"}, Options(nats_.Url()));
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(8));
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_NE(second.Stderr.find("refused the run: busy with the run of "), std::string::npos)
        << second.Stderr;
    first->Signal(SIGINT);
    EXPECT_EQ(first->Wait(Generous).ExitCode, 0);
}

/* An agent whose clock is 5 s ahead: the controller measures the offset
 * within its stated uncertainty and the merged run lasts as long as it ran. */
TEST_F(Agents, ShiftedClockIsCorrected)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    Agent(nats_.Url(), {{"TFX_TEST_CLOCK_SHIFT_MS", "5000"}});
    tfxtest::ProcessResult run = Controller(2, {"-d", "1"})->Wait(Generous);
    ASSERT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    ResultJson json = Result();
    std::vector<double> errors;
    for (const ResultJson &agent : json["agents"]) {
        double offset = agent["clock_offset_s"].get<double>();
        double expected = offset > 2.5 ? 5.0 : 0.0;
        EXPECT_LE(std::abs(offset - expected), agent["clock_uncertainty_s"].get<double>() + 0.002);
    }
    EXPECT_LT(json["elapsed_s"].get<double>(), 2.5);
}

/* Agents and controller on different nodes of a cluster of three. */
TEST_F(Agents, AgentsOnDifferentNodesOfACluster)
{
    tfxtest::NatsCluster cluster;
    ASSERT_EQ(cluster.Failure(), "");
    NatsServer &first = cluster.Node(0), &second = cluster.Node(1), &third = cluster.Node(2);
    Server(first.Url());
    Agent(first.Url());
    Agent(second.Url());
    tfxtest::ProcessResult run =
        Controller(2, {"-n", "400", "-w", "2"}, third.Url())->Wait(Generous);
    ASSERT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    EXPECT_EQ(Result()["counts"]["completed"].get<uint64_t>(), 400u);
}

/* Messages that are not of the protocol, sealed with the key or not, are
 * dropped and counted by the agent and the controller, which go on. */
TEST_F(Agents, MessagesNotOfTheProtocolAreDroppedAndCounted)
{
    Server(nats_.Url());
    Process &agent = Agent(nats_.Url());
    tfxtest::BareNats bare(nats_.Url());
    ASSERT_EQ(bare.Failure(), "");
    ASSERT_TRUE(bare.Subscribe(Group()));
    const ResultJson common = {{"from", "x"}, {"name", "m:1"}, {"run", "r"}, {"seq", 1}};
    const std::vector<std::pair<const char *, ResultJson>> changes = {
        {"discover", {{"from", 5}}},
        {"stop", {{"flag", "yes"}}},
        {"time", {{"exchange", 1}, {"ns", "soon"}}},
        {"here", {{"seq", -1}}},
        {"interval", {{"index", 0}, {"body", {1, 2}}}},
        {"plan", {{"agents", 0}}},
    };
    auto sendAll = [&](const std::string &subject) {
        for (const auto &[type, change] : changes) {
            ResultJson message = common;
            message["type"] = type;
            message.update(change);
            ASSERT_TRUE(bare.Publish(subject, Body(subject, message, true)));
        }
        ASSERT_TRUE(bare.Publish(subject, "x"));
    };
    sendAll(Group());
    ASSERT_TRUE(bare.Publish(Group(), Body(Group(), common, false)));
    auto controller = Controller(1, {"-d", "1"});
    tfxtest::BareMessage discover;
    ASSERT_TRUE(bare.NextHolding(".tfxclnt.controller.", &discover));
    sendAll(Json(discover)["from"]);
    tfxtest::ProcessResult run = controller->Wait(Generous);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    EXPECT_NE(run.Stdout.find("\nControl messages dropped: 7 (7 not of the protocol)\n"),
              std::string::npos)
        << run.Stdout;
    EXPECT_EQ(Result()["control_drops"], ResultJson({{"total", 7},
                                                     {"malformed", 7},
                                                     {"unauthentic", 0},
                                                     {"replayed", 0},
                                                     {"out_of_place", 0},
                                                     {"overflow", 0}}));
    EXPECT_TRUE(agent.WaitForStdout(": control messages dropped: 8 (7 not of the protocol, 1 not "
                                    "sealed with the group's key)\n",
                                    Generous))
        << agent.StdoutSoFar();
}

/* A plan and a start without the key are not run; one with the key that
 * does not repeat the agent's challenge neither, so a plan seen on the wire
 * cannot be sent again; a plan of 0 agents is refused with a text. */
TEST_F(Agents, PlansWithoutTheKeyOrReplayedAreNotRun)
{
    Server(nats_.Url());
    Process &agent = Agent(nats_.Url());
    tfxtest::BareNats bare(nats_.Url());
    ASSERT_EQ(bare.Failure(), "");
    const std::string self = prefix_ + ".tfxclnt.controller.bare";
    ASSERT_TRUE(bare.Subscribe(self));
    ASSERT_TRUE(bare.Subscribe(prefix_ + ".tfxclnt.agent.*"));
    /* A run of a real controller, its plan and start seen on the wire. */
    ASSERT_EQ(Controller(1, {"-n", "50"})->Wait(Generous).ExitCode, 0);
    tfxtest::BareMessage plan, start;
    ASSERT_TRUE(bare.NextHolding("\"plan\"", &plan));
    ASSERT_TRUE(bare.NextHolding("\"start\"", &start));
    ResultJson discover = {
        {"type", "discover"}, {"from", self}, {"name", "bare:1"}, {"run", "r"}, {"seq", 1}};
    ASSERT_TRUE(bare.Publish(Group(), Body(Group(), discover, true)));
    tfxtest::BareMessage here;
    ASSERT_TRUE(bare.NextHolding("\"here\"", &here));
    std::string agentSubject = Json(here)["from"];
    ResultJson forged = Json(plan);
    forged.update(
        {{"from", self}, {"run", "r"}, {"seq", 2}, {"challenge", Json(here)["challenge"]}});
    ASSERT_TRUE(bare.Publish(agentSubject, Body(agentSubject, forged, false)));
    forged.update({{"type", "start"}, {"seq", 3}, {"ns", WallClockNs()}});
    ASSERT_TRUE(bare.Publish(agentSubject, Body(agentSubject, forged, false)));
    ASSERT_TRUE(bare.Publish(plan.Subject, plan.Body));
    ASSERT_TRUE(bare.Publish(start.Subject, start.Body));
    forged = Json(plan);
    forged.update({{"from", self},
                   {"run", "r"},
                   {"seq", 4},
                   {"agents", 0},
                   {"challenge", Json(here)["challenge"]}});
    ASSERT_TRUE(bare.Publish(agentSubject, Body(agentSubject, forged, true)));
    tfxtest::BareMessage refused;
    ASSERT_TRUE(bare.NextHolding("\"refused\"", &refused));
    EXPECT_EQ(Json(refused)["text"], "the plan's agents must be 1 to 1000, its index below them");
    /* Every message before the next real run has come by now. */
    ASSERT_EQ(Controller(1, {"-n", "50"})->Wait(Generous).ExitCode, 0);
    ASSERT_TRUE(agent.WaitForStdout("control messages dropped: 4 (2 not sealed with the group's "
                                    "key, 2 replayed)\n",
                                    Generous))
        << agent.StdoutSoFar();
    std::string out = agent.StdoutSoFar();
    size_t runs = 0;
    for (size_t at = out.find(" messages to E1 "); at != std::string::npos;
         at = out.find(" messages to E1 ", at + 1))
        ++runs;
    EXPECT_EQ(runs, 2u) << out;
}

struct GhostCase {
    const char *Name;
    GhostPlay Play;
    int ExitCode;
    const char *Said; /* on standard output or standard error */
};

/* A ghost that answers a controller with no agent of its own: without the
 * key it is not heard; with the key its result must be of its share, its
 * intervals as many as the run is long, its clock within bounds. */
class Ghosts : public Agents, public testing::WithParamInterface<GhostCase> {};

TEST_P(Ghosts, AreBelievedOnlyWithinTheProtocol)
{
    auto controller = Controller(1, {"-n", "1000000"}, "", {{"TFX_CONTROL_WAIT", "4"}});
    std::thread ghost([this] { Ghost(GetParam().Play); });
    tfxtest::ProcessResult run = controller->Wait(Generous);
    ghostDone_ = true;
    ghost.join();
    EXPECT_EQ(run.ExitCode, GetParam().ExitCode) << run.Stdout << run.Stderr;
    EXPECT_NE((run.Stdout + run.Stderr).find(GetParam().Said), std::string::npos)
        << run.Stdout << run.Stderr;
    if (GetParam().Play.Intervals != 0) {
        EXPECT_LE(Result()["intervals"].size(), 4u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Ghosts,
    testing::Values(
        GhostCase{
            "Unsealed", {false}, 1, "tfxclnt: -D g:1: 0 of 1 agents of group g came within 4 s;"},
        GhostCase{"ForgedResult",
                  {true, 0, 0, "E2"},
                  1,
                  "Control messages dropped: 1 (1 of another run or sender)\n"},
        GhostCase{"IntervalFlood",
                  {true, 0, 300},
                  0,
                  "Control messages dropped: 296 (296 of another run or sender)\n"},
        GhostCase{"ClockAnHourAhead",
                  {true, 3600000000000},
                  1,
                  "tfxclnt: -D g:1: agent ghost:1's clock is 3600 s off this one's, beyond the "
                  "600 s a controller accepts"}),
    [](const testing::TestParamInfo<GhostCase> &info) { return info.param.Name; });

struct ControlCase {
    Env Environment;
    std::string Error; /* the start of standard error */
};

class ControlPlane : public testing::TestWithParam<ControlCase> {};

/* Without a control plane, or one that cannot be reached, the controller
 * and the agent say what to set. */
TEST_P(ControlPlane, MissingOrUnreachableIsNamed)
{
    tfxtest::ProcessOptions options;
    options.Env = GetParam().Environment;
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"-D", "g:1", "E1"}, std::vector<std::string>{"-a", "g"}}) {
        arguments.insert(arguments.begin(), TFXCLNT_PATH);
        tfxtest::ProcessResult run = tfxtest::RunProcess(arguments, options);
        std::string said =
            "tfxclnt: " + arguments[1] + " " + arguments[2] + ": " + GetParam().Error;
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_EQ(run.Stderr.compare(0, said.size(), said), 0) << run.Stderr;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlPlane,
    testing::Values(ControlCase{{{"TFX_CONTROL", ""}, {"QLX_ENDPOINT", "tcp://127.0.0.1:1"}},
                                "agents are reached over NATS"},
                    ControlCase{{{"TFX_CONTROL", "nats://127.0.0.1:1"}},
                                "no key for the control plane: make one with tfxkeys -c FILE"},
                    ControlCase{
                        {{"TFX_CONTROL", "nats://127.0.0.1:1"}, {"TFX_CONTROL_UNSIGNED", "1"}},
                        "the control plane at nats://127.0.0.1:1 cannot be reached"}));

} // namespace
