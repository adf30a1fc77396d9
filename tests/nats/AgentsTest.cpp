/* tfxclnt's agents (-a) and controller (-D) as a user runs them: agents as
 * processes of their own, over nats-servers of the test's own, in front of
 * real tfxsrvr services. */
#include <algorithm>
#include <cmath>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/ResultDocument.h"
#include "tests/support/NatsServer.h"
#include "tests/support/ResultCheck.h"

namespace {

using tfxtest::NatsServer, tfxtest::Process;
using Env = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;
constexpr auto Generous = std::chrono::seconds(60);

class Agents : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(nats_.Failure(), ""); }

    tfxtest::ProcessOptions Options(const std::string &url, const Env &env = {}) const
    {
        tfxtest::ProcessOptions options;
        options.Env = {{"QLX_ENDPOINT", url}, {"QLX_NATS_PREFIX", prefix_}};
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
                                        const std::string &url = "")
    {
        arguments.insert(arguments.begin(),
                         {TFXCLNT_PATH, "-P", "-o", result_, "-D", "g:" + std::to_string(count)});
        arguments.push_back("E1");
        return std::make_unique<Process>(arguments, Options(url.empty() ? nats_.Url() : url));
    }
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

    NatsServer nats_;
    std::string prefix_ = tfxtest::UniqueNatsPrefix();
    tfxtest::TempDir dir_;
    std::string result_ = dir_.Path() + "/result.json";
    std::vector<std::unique_ptr<Process>> servers_;
    std::vector<std::unique_ptr<Process>> agents_;
};

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
 * run goes on and writes its result, and fails. */
TEST_F(Agents, KilledAgentIsLostAndTheRunFails)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    Process &doomed = Agent(nats_.Url());
    auto controller = Controller(2, {"-d", "8", "-w", "2"});
    ASSERT_TRUE(controller->WaitForStdout("Agents         2 of group g", Generous));
    std::this_thread::sleep_for(std::chrono::seconds(1)); /* part of the run, not a sync */
    doomed.Signal(SIGKILL);
    auto killed = Clock::now();
    bool reported = false;
    while (!reported && Clock::now() < killed + Generous)
        reported = controller->StderrSoFar().find(" lost ") != std::string::npos;
    EXPECT_LT(Clock::now() - killed, std::chrono::milliseconds(4500));
    tfxtest::ProcessResult run = controller->Wait(Generous);
    EXPECT_EQ(run.ExitCode, 1) << run.Stdout << run.Stderr;
    ResultJson json = Result();
    int lost = 0;
    for (const ResultJson &agent : json["agents"])
        lost += agent["lost"].get<bool>() ? 1 : 0;
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(json["exit_code"].get<int>(), 1);
    EXPECT_NE(run.Stdout.find(" was lost "), std::string::npos);
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
 * repeats. */
TEST_F(Agents, RepeatedRunsAreMadeOnAgents)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    Agent(nats_.Url());
    tfxtest::ProcessResult run = Controller(2, {"-N", "2", "-n", "200"})->Wait(Generous);
    ASSERT_EQ(run.ExitCode, 0) << run.Stdout << run.Stderr;
    ResultJson runs = Result()["repeats"]["runs"];
    ASSERT_EQ(runs.size(), 2u);
    for (const ResultJson &each : runs)
        EXPECT_TRUE(each["passed"].get<bool>()) << each;
}

/* Too few agents: the controller gives up after 10 s, naming how many came. */
TEST_F(Agents, TooFewAgentsFailWithin10Seconds)
{
    Agent(nats_.Url());
    auto begin = Clock::now();
    tfxtest::ProcessResult run = Controller(2, {"-n", "10"})->Wait(Generous);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(13));
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Stderr, "tfxclnt: -D g:2: 1 of 2 agents of group g came within 10 s; start "
                          "more with tfxclnt -a g where TFX_CONTROL names the same NATS servers\n");
}

/* A busy agent refuses a second controller's plan, which says so. */
TEST_F(Agents, BusyAgentRefusesSecondController)
{
    Server(nats_.Url());
    Agent(nats_.Url());
    auto first = Controller(1, {"-d", "3600"});
    ASSERT_TRUE(first->WaitForStdout("Agents         1 of group g", Generous));
    tfxtest::ProcessResult second =
        tfxtest::RunProcess({TFXCLNT_PATH, "-D", "g:1", "-n", "10", "E1"}, Options(nats_.Url()));
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
                                "the control plane at nats://127.0.0.1:1 cannot be reached"}));

} // namespace
