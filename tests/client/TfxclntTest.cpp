/* tfxclnt against the real tfxsrvr, both run as processes with a private
 * QLX_DIR. Figures are read back from the client's JSON output and the
 * server's summary; texts that do not vary are compared whole. */
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "client/results/ResultDocument.h"
#include "tests/client/ClientUsageText.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ResultCheck.h"
#include "tests/support/Subprocess.h"

namespace {

using tfxtest::Process;
using tfxtest::ProcessOptions;
using tfxtest::ProcessResult;

const std::chrono::seconds Generous(120);

class ClientAgainstServer : public testing::Test {
  protected:
    ClientAgainstServer() : qlxDir_(dir_.Path() + "/qlx"), json_(dir_.Path() + "/result.json") {}

    ProcessOptions Options() const
    {
        ProcessOptions options;
        options.Env = {{"QLX_DIR", qlxDir_}};
        options.Timeout = Generous;
        return options;
    }

    /* Starts tfxsrvr with args and waits until its socket is there. */
    void StartServer(std::vector<std::string> args, const std::string &element = "E1")
    {
        args.insert(args.begin(), TFXSRVR_PATH);
        args.push_back(element);
        server_ = std::make_unique<Process>(args, Options());
        ASSERT_TRUE(tfxtest::WaitForPath(qlxDir_ + "/" + element + ".sock", Generous))
            << server_->StderrSoFar();
    }

    ProcessResult RunClient(std::vector<std::string> args) const
    {
        args.insert(args.begin(), TFXCLNT_PATH);
        return tfxtest::RunProcess(args, Options());
    }

    /* Runs the client with its JSON output, and reads that back. */
    ResultJson RunClientJson(std::vector<std::string> args, ProcessResult *result = nullptr) const
    {
        args.insert(args.begin(), {"-o", json_});
        ProcessResult run = RunClient(args);
        if (result != nullptr)
            *result = run;
        ResultJson json;
        std::string error;
        EXPECT_TRUE(ParseResultDocument(tfxtest::ReadFile(json_), &json, &error))
            << error << "\n"
            << run.Stdout << run.Stderr;
        EXPECT_EQ(tfxtest::ResultFaults(json_), "");
        return json;
    }

    /* Ends the server's run with the client's stop request; its result. */
    ProcessResult StopServer(const std::string &element = "E1")
    {
        ProcessResult stop = RunClient({"-n", "0", "-x", element});
        EXPECT_EQ(stop.ExitCode, 0) << stop.Stderr;
        return server_->Wait(Generous);
    }

    /* The server's two summary lines that the client prints too. */
    static std::string CountLines(const std::string &summary)
    {
        size_t counts = summary.rfind("Transactions = ");
        size_t sizes = summary.find("Sent Data size", counts);
        size_t end = summary.find('\n', sizes);
        if (counts == std::string::npos || sizes == std::string::npos || end == std::string::npos)
            return "";
        std::string lines = summary.substr(counts, end + 1 - counts);
        size_t service = lines.find("Transaction service time");
        if (service != std::string::npos)
            lines.erase(service, lines.find('\n', service) + 1 - service);
        return lines;
    }

    tfxtest::TempDir dir_;
    std::string qlxDir_;
    std::string json_;
    std::unique_ptr<Process> server_;
};

/* Every transaction ends once: sent = completed + refused + timed out. */
void ExpectBalanced(ResultJson &json)
{
    ResultJson &counts = json["counts"];
    EXPECT_TRUE(json["balanced"].get<bool>());
    EXPECT_EQ(counts["transactions"].get<uint64_t>(), counts["completed"].get<uint64_t>() +
                                                          counts["refused"].get<uint64_t>() +
                                                          counts["timed_out"].get<uint64_t>());
    EXPECT_EQ(counts["unfinished"].get<uint64_t>(), 0u);
}

/* Two runs merged: the counts added, the server's view of both, and the
 * conditions and the JSON output applied to the merged result. */
TEST_F(ClientAgainstServer, MergesTheResultsOfTwoRuns)
{
    StartServer({"-q"});
    std::string first = dir_.Path() + "/first.json", second = dir_.Path() + "/second.json";
    ASSERT_EQ(RunClient({"-q", "-o", first, "-n", "30", "E1"}).ExitCode, 0);
    ASSERT_EQ(RunClient({"-q", "-o", second, "-n", "20", "-g", "50", "E1"}).ExitCode, 0);
    ProcessResult merged;
    ResultJson json = RunClientJson({"-A", "timeouts=0", "-M", first, second}, &merged);
    EXPECT_EQ(merged.ExitCode, 0) << merged.Stderr;
    EXPECT_EQ(CountLines(merged.Stdout), CountLines(StopServer().Stdout));
    EXPECT_TRUE(json["thresholds"][0]["met"].get<bool>());
    EXPECT_EQ(json["counts"]["messages"].get<uint64_t>(), 50u);
    EXPECT_NE(merged.Stdout.find("\nMerged runs differ: datagrams 0% and 50%\n"),
              std::string::npos);
    EXPECT_EQ(json["merged_from"].size(), 2u);
}

/* Three normal and two notify responses a transaction are all counted, in order. */
TEST_F(ClientAgainstServer, CountsThreeNormalAndTwoNotifyResponses)
{
    StartServer({"-q", "-c", "3:2"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-n", "40", "-w", "4", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    ResultJson &counts = json["counts"];
    EXPECT_EQ(counts["transactions"].get<uint64_t>(), 40u);
    EXPECT_EQ(counts["completed"].get<uint64_t>(), 40u);
    EXPECT_EQ(counts["notify_responses"].get<uint64_t>(), 80u);
    EXPECT_EQ(counts["normal_responses"].get<uint64_t>(), 120u);
    EXPECT_EQ(counts["alerts"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["notify_after_normal"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["late_replies"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["unknown_request_ids"].get<uint64_t>(), 0u);
    EXPECT_EQ(json["latency_ns"]["samples"].get<uint64_t>(), 40u);
    ExpectBalanced(json);
    ProcessResult server = StopServer();
    EXPECT_EQ(server.ExitCode, 0);
    EXPECT_NE(server.Stdout.find("Transaction service time (ms) min/avg/max = "),
              std::string::npos);
    EXPECT_NE(server.Stdout.find(" for 200 responses\n"), std::string::npos);
    EXPECT_EQ(CountLines(server.Stdout), CountLines(run.Stdout));
}

/* With no responses the server closes each transaction: the client sees E. */
TEST_F(ClientAgainstServer, TransactionsWithoutResponsesEndByTheirClose)
{
    StartServer({"-q", "-c", "0:0"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-n", "25", "-w", "5", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    ResultJson &counts = json["counts"];
    EXPECT_EQ(counts["completed"].get<uint64_t>(), 25u);
    EXPECT_EQ(counts["closed_without_response"].get<uint64_t>(), 25u);
    EXPECT_EQ(counts["notify_responses"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["normal_responses"].get<uint64_t>(), 0u);
    ExpectBalanced(json);
    EXPECT_NE(
        run.Stdout.find("Completed      0 by their last response, 25 closed without a response\n"),
        std::string::npos);
    StopServer();
}

/* -a y: one notify response and, before it, one alert per transaction. */
TEST_F(ClientAgainstServer, AlertComesWithEachNotifyResponse)
{
    StartServer({"-q", "-a", "y"});
    ResultJson json = RunClientJson({"-n", "30", "-w", "3", "E1"});
    ResultJson &counts = json["counts"];
    EXPECT_EQ(counts["completed"].get<uint64_t>(), 30u);
    EXPECT_EQ(counts["notify_responses"].get<uint64_t>(), 30u);
    EXPECT_EQ(counts["normal_responses"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["alerts"].get<uint64_t>(), 30u);
    EXPECT_EQ(json["exit_code"].get<uint64_t>(), 0u);
    StopServer();
}

/* Datagrams get no reply; the client's and the server's counts agree. */
TEST_F(ClientAgainstServer, DatagramsAreCountedAlikeByClientAndServer)
{
    StartServer({"-q"});
    ProcessResult run;
    ResultJson json =
        RunClientJson({"-n", "200", "-g", "25", "-s", "64-512", "-S", "7", "-w", "8", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    ResultJson &counts = json["counts"];
    EXPECT_EQ(counts["messages"].get<uint64_t>(), 200u);
    EXPECT_EQ(counts["datagrams"].get<uint64_t>(), 50u);
    EXPECT_EQ(counts["transactions"].get<uint64_t>(), 150u);
    EXPECT_EQ(counts["completed"].get<uint64_t>(), 150u);
    EXPECT_EQ(json["server_view"]["datagrams"].get<uint64_t>(), 50u);
    ProcessResult server = StopServer();
    std::string lines = CountLines(server.Stdout);
    EXPECT_EQ(lines.rfind("Transactions = 150, Datagrams = 50, Total = 200\n", 0), 0u) << lines;
    EXPECT_EQ(lines, CountLines(run.Stdout));
}

/* A server that replaces data (-s 300) passes -V when told the size (-e). */
TEST_F(ClientAgainstServer, VerifiesRepliesOfReplacedData)
{
    StartServer({"-q", "-s", "300", "-c", "2:1"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-n", "50", "-w", "4", "-V", "-e", "300", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    ResultJson &counts = json["counts"];
    EXPECT_EQ(counts["checked"].get<uint64_t>(), 150u);
    EXPECT_EQ(counts["check_failures"].get<uint64_t>(), 0u);
    EXPECT_TRUE(json["first_check_failure"].is_null());
    EXPECT_NE(run.Stdout.find("Checks         150 responses checked, 0 failed\n"),
              std::string::npos);
    StopServer();
}

/* Without -e the replaced replies fail the size check, shown by example. */
TEST_F(ClientAgainstServer, VerificationFailuresAreCountedAndShown)
{
    StartServer({"-q", "-s", "300"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-n", "10", "-V", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(json["counts"]["check_failures"].get<uint64_t>(), 10u);
    std::string first =
        "message 1: reply length 300, expected 128 as sent (give -e when the server "
        "replaces data with -s)";
    EXPECT_EQ(json["first_check_failure"].get<std::string>(), first);
    EXPECT_NE(run.Stdout.find("First failure  " + first + "\n"), std::string::npos);
    StopServer();
}

/* The tag and the message id come back as the server sends them. */
TEST_F(ClientAgainstServer, VerifiesTagAndMessageId)
{
    StartServer({"-q", "-m", "order-77"});
    ProcessResult run;
    ResultJson json =
        RunClientJson({"-n", "20", "-V", "-m", "order-77", "-s", "40-200", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    EXPECT_EQ(json["counts"]["checked"].get<uint64_t>(), 20u);
    EXPECT_EQ(json["counts"]["check_failures"].get<uint64_t>(), 0u);
    StopServer();
}

/* A message id the server does not take is refused with its reason. */
TEST_F(ClientAgainstServer, OtherMessageIdIsRefused)
{
    StartServer({"-q", "-m", "order-77"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-n", "6", "-m", "order-78", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(json["counts"]["refused"].get<uint64_t>(), 6u);
    EXPECT_EQ(json["refused_by_reason"][0]["reason"].get<uint64_t>(), 50u);
    EXPECT_EQ(json["refused_by_reason"][0]["count"].get<uint64_t>(), 6u);
    ExpectBalanced(json);
    EXPECT_NE(run.Stdout.find("Refused        6: no receiver for the message id (50)\n"),
              std::string::npos);
    StopServer();
}

/* No server: a clear error at once, exit code 1, nothing on standard output. */
TEST_F(ClientAgainstServer, ServerNotRunningIsAClearError)
{
    ASSERT_EQ(mkdir(qlxDir_.c_str(), 0700), 0);
    ProcessResult run = RunClient({"-n", "5", "E1"});
    EXPECT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Stdout, "");
    EXPECT_EQ(run.Stderr,
              "ClientConnect: \n\nPrimary Result: service element E1 is not served in " + qlxDir_ +
                  " (QLX_DIR): start its service there first, e.g. tfxsrvr E1 (43)\n\nSub "
                  "Result: nothing is served there now\n");
}

/* A client that runs out of descriptors says so, with its limit, rather
 * than that the element is not served. */
TEST_F(ClientAgainstServer, RunningOutOfDescriptorsIsNamed)
{
    if (TFX_SANITIZED)
        GTEST_SKIP() << "the sanitizers check memory through descriptors of their own";
    StartServer({"-q"});
    ProcessResult run = tfxtest::RunProcess(
        {"/usr/bin/prlimit", "--nofile=64", TFXCLNT_PATH, "-k", "200", "E1"}, Options());
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Stderr.find("ran out of file descriptors opening "), std::string::npos)
        << run.Stderr;
    EXPECT_NE(run.Stderr.find(": its limit is 64; raise it (ulimit -n) or open fewer connections"),
              std::string::npos)
        << run.Stderr;
    StopServer();
}

/* A reply over what the library carries is never sent: the server fails
 * at once through its error report, and the client is told by a refusal
 * rather than left to time out. */
TEST_F(ClientAgainstServer, ReplyOverTheDataLimitEndsTheServerAndIsRefused)
{
    StartServer({"-q", "-s", "2000000"});
    ProcessResult run = RunClient({"-n", "1", "-t", "60", "E1"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Stdout.find("1 sent = 0 completed + 1 refused + 0 timed out"), std::string::npos)
        << run.Stdout;
    ProcessResult server = server_->Wait(Generous);
    EXPECT_EQ(server.ExitCode, 1);
    EXPECT_EQ(server.Stderr, "PutResponse: \n\nPrimary Result: a response of 2000000 data bytes "
                             "for service element E1 is over what the transport carries: its "
                             "client was refused (51)\n\nSub Result: \n");
}

/* A server stopped mid-run (SIGSTOP, its connections open) leaves
 * transactions to time out: counted, the run ends by silence, exit code 1;
 * one ended with SIGTERM closes its connections: the run ends as it goes,
 * its outstanding transactions unfinished, no -t advice, exit code 1. */
struct MidRunStop {
    int Signal;
    const char *Timeout; /* -t */
    const char *EndedBy;
    const char *EndLine; /* a pattern of the summary's first line */
};

class ServerStoppedMidRun : public ClientAgainstServer,
                            public testing::WithParamInterface<MidRunStop> {};

TEST_P(ServerStoppedMidRun, EndsTheRunAsItHappened)
{
    StartServer({"-q"});
    std::vector<std::string> args = {TFXCLNT_PATH,       "-d", "60", "-w",  "4", "-t",
                                     GetParam().Timeout, "-P", "-o", json_, "E1"};
    Process client(args, Options());
    auto deadline = std::chrono::steady_clock::now() + Generous;
    while (!std::regex_search(client.StderrSoFar(), std::regex("[1-9][0-9]* completed")) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server_->Signal(GetParam().Signal);
    ProcessResult run = client.Wait(Generous);
    EXPECT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, 1);
    ResultJson json;
    std::string error;
    ASSERT_TRUE(ParseResultDocument(tfxtest::ReadFile(json_), &json, &error)) << error;
    EXPECT_EQ(json["ended_by"].get<std::string>(), GetParam().EndedBy);
    EXPECT_GE(json["counts"]["completed"].get<uint64_t>(), 1u);
    EXPECT_EQ(json["counts"]["transactions"].get<uint64_t>(),
              json["counts"]["completed"].get<uint64_t>() +
                  json["counts"]["timed_out"].get<uint64_t>() +
                  json["counts"]["unfinished"].get<uint64_t>());
    std::string endLine = run.Stdout.substr(0, run.Stdout.find('\n', run.Stdout.find("Run ended")));
    endLine.erase(0, endLine.find("Run ended"));
    EXPECT_TRUE(std::regex_match(endLine, std::regex(GetParam().EndLine))) << endLine;
}

INSTANTIATE_TEST_SUITE_P(
    ClientAgainstServer, ServerStoppedMidRun,
    testing::Values(MidRunStop{SIGSTOP, "0.5", "silence",
                               "Run ended by silence: transactions timed out and nothing came "
                               "back for 0\\.5 s \\(a service slower than that needs a longer "
                               "-t\\); sending took [0-9.]+ s, the run [0-9.]+ s"},
                    MidRunStop{SIGTERM, "60", "service gone",
                               "Run ended by the service going away at [0-9]+\\.[0-9]{3} s, [0-4] "
                               "transactions unfinished; sending took [0-9.]+ s, the run [0-9.]+ "
                               "s"}),
    [](const testing::TestParamInfo<MidRunStop> &info) {
        return std::string(info.param.Signal == SIGSTOP ? "Sigstop" : "Sigterm");
    });

/* One way a run can end, and what its result file says of it. */
struct RunEnding {
    const char *Name;
    std::vector<int> Signals; /* sent once the server holds a transaction */
    bool ServerUp;
    const char *EndedBy;
    const char *Signal; /* null: none */
    int ExitCode;
};

class RunEndings : public ClientAgainstServer, public testing::WithParamInterface<RunEnding> {};

/* However a run ends, -o holds its whole result, saying why it ended. */
TEST_P(RunEndings, WriteTheWholeResult)
{
    const RunEnding &ending = GetParam();
    ASSERT_EQ(mkdir(qlxDir_.c_str(), 0700), 0);
    if (ending.ServerUp)
        StartServer({"-i", "2"});
    std::vector<std::string> args = {TFXCLNT_PATH, "-o", json_, "-t", "60", "E1"};
    args.insert(args.begin() + 1, ending.Signals.empty() ? "-n" : "-d");
    args.insert(args.begin() + 2, ending.Signals.empty() ? "1" : "600");
    Process client(args, Options());
    if (!ending.Signals.empty()) {
        ASSERT_TRUE(server_->WaitForStdout("Got Transaction", Generous));
    }
    for (size_t i = 0; i < ending.Signals.size(); ++i) {
        client.Signal(ending.Signals[i]);
        /* Signals sent at once are taken as one: the next waits for the first. */
        auto deadline = std::chrono::steady_clock::now() + Generous;
        while (i + 1 < ending.Signals.size() &&
               client.StderrSoFar().find("Interrupt received") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ProcessResult run = client.Wait(Generous);
    EXPECT_FALSE(run.TimedOut);
    EXPECT_EQ(run.ExitCode, ending.ExitCode) << run.Stderr;
    ResultJson json;
    std::string error;
    ASSERT_TRUE(ParseResultDocument(tfxtest::ReadFile(json_), &json, &error)) << error;
    EXPECT_EQ(json["ended_by"].get<std::string>(), ending.EndedBy);
    EXPECT_EQ(json["signal"], ending.Signal != nullptr ? ResultJson(ending.Signal) : ResultJson());
    EXPECT_EQ(json["exit_code"].get<int>(), ending.ExitCode);
    /* What the server should count: every transaction sent and not refused, unfinished or not. */
    EXPECT_EQ(json["server_view"]["transactions"].get<uint64_t>(),
              json["counts"]["transactions"].get<uint64_t>() -
                  json["counts"]["refused"].get<uint64_t>());
}

INSTANTIATE_TEST_SUITE_P(
    ClientAgainstServer, RunEndings,
    testing::Values(RunEnding{"NormalEnd", {}, true, "count", nullptr, 0},
                    RunEnding{"CtrlC", {SIGINT}, true, "interrupt", "SIGINT", 0},
                    RunEnding{
                        "SecondCtrlC", {SIGINT, SIGINT}, true, "second interrupt", "SIGINT", 1},
                    RunEnding{"Sigusr1", {SIGUSR1}, true, "interrupt", "SIGUSR1", 0},
                    RunEnding{"Sigterm", {SIGTERM}, true, "interrupt", "SIGTERM", 0},
                    RunEnding{"ConnectionFailure", {}, false, "failure", nullptr, 1}),
    [](const testing::TestParamInfo<RunEnding> &info) { return std::string(info.param.Name); });

/* Over tcp:// with no service, the stop request alone is not reported
 * sent: the client fails once no service answered its handshake. */
TEST_F(ClientAgainstServer, StopRequestOverTcpWithoutServiceFails)
{
    std::string endpoint = "tcp://127.0.0.1:" + std::to_string(tfxtest::FreeLoopbackPort());
    ProcessOptions options = Options();
    options.Env.push_back({"QLX_ENDPOINT", endpoint});
    ProcessResult run = tfxtest::RunProcess({TFXCLNT_PATH, "-n", "0", "-x", "E1"}, options);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Stdout, "");
    EXPECT_EQ(run.Stderr.rfind("ClientConnect: \n\nPrimary Result: service element E1 is not "
                               "served at QLX_ENDPOINT=" +
                                   endpoint +
                                   ": start its service there first, e.g. tfxsrvr E1 with the "
                                   "same QLX_ENDPOINT (43)\n\nSub Result: no connection could "
                                   "be made within 5 s",
                               0),
              0u)
        << run.Stderr;
}

/* An open loop that a slow service holds back says so, after its banner,
 * and fails: its figures are not those of the rate asked for. */
TEST_F(ClientAgainstServer, OpenLoopThatFellBehindSaysSo)
{
    StartServer({"-q", "-i", "0.05"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-r", "200", "-w", "1", "-n", "20", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 1) << run.Stderr;
    EXPECT_EQ(run.Stdout.rfind("Service element E1: 1 connection, window 1, open loop at 200.0 "
                               "messages/s\n",
                               0),
              0u);
    EXPECT_NE(run.Stdout.find("\nFell behind    the open loop fell behind its schedule: the last "
                              "message went out "),
              std::string::npos)
        << run.Stdout;
    EXPECT_TRUE(json["fell_behind"].get<bool>());
}

/* An open loop that a slow service keeps below its rate, without falling
 * behind its schedule, says so in one line with both rates, and fails. */
TEST_F(ClientAgainstServer, OpenLoopThatMissedItsRateSaysSo)
{
    StartServer({"-q", "-i", "0.02"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-r", "100", "-n", "50", "-q", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 1) << run.Stdout;
    EXPECT_NE(run.Stdout.find("\nRate missed    achieved "), std::string::npos) << run.Stdout;
    EXPECT_NE(run.Stdout.find(" transactions/s, below 98 % of 100.0 asked by -r\n"),
              std::string::npos)
        << run.Stdout;
    EXPECT_EQ(json["rate_missed"]["asked_per_s"].get<double>(), 100.0);
    EXPECT_LT(json["rate_missed"]["achieved_per_s"].get<double>(), 98.0);
}

/* -x at the end of a run ends the server's run too. */
TEST_F(ClientAgainstServer, StopRequestEndsTheServersRun)
{
    StartServer({"-q"});
    ProcessResult run = RunClient({"-n", "10", "-x", "E1"});
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    EXPECT_NE(run.Stdout.find("\nStop request sent to service element E1\n"), std::string::npos);
    ProcessResult server = server_->Wait(Generous);
    EXPECT_FALSE(server.TimedOut);
    EXPECT_EQ(server.ExitCode, 0);
    EXPECT_NE(server.Stdout.find("Terminating due to applicaton manager request\n"),
              std::string::npos);
    EXPECT_NE(server.Stdout.find("Transactions = 10, Datagrams = 0, Total = 10\n"),
              std::string::npos);
}

/* -x with -n 0 only sends the stop request. */
TEST_F(ClientAgainstServer, StopRequestAloneSendsNothingElse)
{
    StartServer({"-q"});
    ProcessResult run = RunClient({"-n", "0", "-x", "E1"});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(run.Stdout, "Stop request sent to service element E1\n");
    EXPECT_EQ(run.Stderr, "");
    ProcessResult server = server_->Wait(Generous);
    EXPECT_EQ(server.ExitCode, 0);
    EXPECT_NE(server.Stdout.find("Transactions = 0, Datagrams = 0, Total = 0\n"),
              std::string::npos);
}

/* The JSON output parses back and agrees with itself and with the run. */
TEST_F(ClientAgainstServer, JsonOutputParsesBackAndAgrees)
{
    StartServer({"-q"});
    ResultJson json =
        RunClientJson({"-n", "300", "-k", "3", "-w", "2", "-p", "50,99", "-S", "11", "E1"});
    EXPECT_EQ(json["tool"].get<std::string>(), "tfxclnt");
    EXPECT_EQ(json["settings"]["element"].get<std::string>(), "E1");
    EXPECT_EQ(json["settings"]["connections"].get<uint64_t>(), 3u);
    EXPECT_EQ(json["settings"]["window"].get<uint64_t>(), 2u);
    EXPECT_EQ(json["settings"]["seed"].get<uint64_t>(), 11u);
    EXPECT_EQ(json["ended_by"].get<std::string>(), "count");
    EXPECT_EQ(json["counts"]["completed"].get<uint64_t>(), 300u);
    ExpectBalanced(json);
    ResultJson &latency = json["latency_ns"];
    EXPECT_EQ(latency["samples"].get<uint64_t>(), 300u);
    EXPECT_LE(latency["min"].get<uint64_t>(), latency["percentiles"]["50"].get<uint64_t>());
    EXPECT_LE(latency["percentiles"]["50"].get<uint64_t>(),
              latency["percentiles"]["99"].get<uint64_t>());
    EXPECT_LE(latency["percentiles"]["99"].get<uint64_t>(), latency["max"].get<uint64_t>());
    EXPECT_FALSE(latency["percentiles"].contains("90"));
    uint64_t counted = 0;
    for (ResultJson &bucket : latency["buckets"]) {
        EXPECT_LE(bucket[0].get<uint64_t>(), bucket[1].get<uint64_t>());
        counted += bucket[2].get<uint64_t>();
    }
    EXPECT_EQ(counted, 300u);
    EXPECT_GT(json["throughput"]["transactions_per_s"].get<double>(), 0.0);
    EXPECT_EQ(json["server_view"]["size_total"].get<uint64_t>(), 300u * 128u);
    EXPECT_EQ(json["exit_code"].get<uint64_t>(), 0u);
    StopServer();
}

/* Under a rate the uncorrected latency and the send lag come beside it; a
 * second of sending, so the wait for the last replies keeps within its rate. */
TEST_F(ClientAgainstServer, OpenLoopReportsBothLatencies)
{
    StartServer({"-q"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-r", "2000", "-n", "2000", "-k", "2", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    EXPECT_EQ(json["counts"]["completed"].get<uint64_t>(), 2000u);
    EXPECT_EQ(json["uncorrected_latency_ns"]["samples"].get<uint64_t>(), 2000u);
    EXPECT_EQ(json["send_lag_ns"]["samples"].get<uint64_t>(), 2000u);
    EXPECT_NE(run.Stdout.find("\nUncorrected    min "), std::string::npos);
    EXPECT_NE(run.Stdout.find("\nSend lag       min "), std::string::npos);
    StopServer();
}

/* The warm-up is kept apart: -n counts the messages after it. */
TEST_F(ClientAgainstServer, WarmupIsReportedApart)
{
    StartServer({"-q"});
    ResultJson json = RunClientJson({"-W", "0.2", "-n", "100", "E1"});
    ResultJson &counts = json["counts"];
    EXPECT_EQ(counts["measured_messages"].get<uint64_t>(), 100u);
    EXPECT_EQ(json["latency_ns"]["samples"].get<uint64_t>(), 100u);
    EXPECT_GE(counts["warmup_transactions"].get<uint64_t>(), 1u);
    EXPECT_EQ(json["warmup_latency_ns"]["samples"].get<uint64_t>(),
              counts["warmup_transactions"].get<uint64_t>());
    EXPECT_EQ(counts["messages"].get<uint64_t>(), 100u + counts["warmup_messages"].get<uint64_t>());
    StopServer();
}

/* -d ends the run after its time, and says so. */
TEST_F(ClientAgainstServer, DurationEndsTheRun)
{
    StartServer({"-q"});
    ResultJson json = RunClientJson({"-d", "0.3", "-w", "2", "E1"});
    EXPECT_EQ(json["ended_by"].get<std::string>(), "duration");
    EXPECT_TRUE(json["settings"]["count"].is_null());
    EXPECT_GE(json["counts"]["completed"].get<uint64_t>(), 1u);
    ExpectBalanced(json);
    StopServer();
}

/* The intervals follow each other over the whole run, the warm-up marked,
 * add up to its totals, and are what the progress lines said. */
TEST_F(ClientAgainstServer, IntervalsAddUpToTheTotals)
{
    StartServer({"-q"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-W", "1", "-d", "2", "-w", "4", "-P", "E1"}, &run);
    ResultJson &intervals = json["intervals"];
    ASSERT_EQ(intervals.size(), 3u) << intervals.dump();
    std::istringstream progress(run.Stderr);
    std::string line;
    uint64_t sums[4] = {};
    const char *names[4] = {"messages", "completed", "refused", "timed_out"};
    double seconds = 0.0;
    for (size_t i = 0; i < intervals.size(); ++i) {
        ResultJson &interval = intervals[i];
        EXPECT_EQ(interval["warmup"].get<bool>(), i == 0);
        EXPECT_NEAR(interval["start_s"].get<double>(), seconds, 1e-6);
        seconds += interval["duration_s"].get<double>();
        for (size_t n = 0; n < 4; ++n)
            sums[n] += interval[names[n]].get<uint64_t>();
        unsigned long long sent = 0, completed = 0;
        ASSERT_TRUE(std::getline(progress, line));
        ASSERT_EQ(
            sscanf(line.c_str(), "tfxclnt: %*f s: %llu sent, %llu completed", &sent, &completed), 2)
            << line;
        EXPECT_EQ(sent, sums[0]);
        EXPECT_EQ(completed, sums[1]);
    }
    EXPECT_NEAR(seconds, json["elapsed_s"].get<double>(), 1e-6);
    for (size_t n = 0; n < 4; ++n)
        EXPECT_EQ(sums[n], json["counts"][names[n]].get<uint64_t>()) << names[n];
    StopServer();
}

/* A stall in the server shows in the second where it happened. With
 * -i -38.1-1.9 the server's generator (the C standard's, from seed 1) makes
 * the 15th of the first 40 transactions alone wait, 1238 ms. At 10 a second
 * it is due at 1.4 s: the second from 1 s completes fewer, and the second
 * from 2 s completes the backlog, the stalled one with its whole wait. */
TEST_F(ClientAgainstServer, StallShowsInTheIntervalWhereItHappened)
{
    StartServer({"-q", "-i", "-38.1-1.9"});
    ResultJson json = RunClientJson({"-r", "10", "-d", "4", "E1"});
    ResultJson &intervals = json["intervals"];
    ASSERT_EQ(intervals.size(), 4u) << intervals.dump();
    const uint64_t stallNs = 1238000000;
    for (size_t i = 0; i < intervals.size(); ++i) {
        uint64_t max = intervals[i]["latency_ns"]["max"].get<uint64_t>();
        if (i == 2)
            EXPECT_GE(max, stallNs);
        else
            EXPECT_LT(max, stallNs / 2) << "interval " << i;
    }
    EXPECT_LT(intervals[1]["completed"].get<uint64_t>(), intervals[0]["completed"].get<uint64_t>());
    EXPECT_EQ(json["counts"]["completed"].get<uint64_t>(), 40u);
    StopServer();
}

/* One row of an .hgrm file: its value (written in microseconds), percentile and count. */
struct HgrmRow {
    uint64_t ValueNs;
    double Percentile;
    uint64_t TotalCount;
};

/* The rows of an .hgrm text, and its footer's total count. */
std::vector<HgrmRow> ReadHgrm(const std::string &text, uint64_t *totalCount)
{
    std::vector<HgrmRow> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        double us = 0.0, percentile = 0.0;
        unsigned long long count = 0;
        if (sscanf(line.c_str(), "%lf %lf %llu", &us, &percentile, &count) == 3)
            rows.push_back({static_cast<uint64_t>(std::llround(us * 1000.0)), percentile, count});
        (void)sscanf(line.c_str(), "#[Max = %*f, Total count = %llu]", &count);
        *totalCount = line.rfind("#[Max", 0) == 0 ? count : *totalCount;
    }
    return rows;
}

/* -H writes HdrHistogram's text of the same histogram the summary reads:
 * each of the summary's percentiles lies between the rows that bracket its
 * rank. */
TEST_F(ClientAgainstServer, HistogramFileMatchesTheSummary)
{
    StartServer({"-q"});
    std::string hgrm = dir_.Path() + "/latency.hgrm";
    ProcessResult run;
    ResultJson json = RunClientJson({"-n", "3000", "-w", "4", "-H", hgrm, "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    std::string text = tfxtest::ReadFile(hgrm);
    EXPECT_EQ(text.rfind("       Value     Percentile TotalCount 1/(1-Percentile)\n\n", 0), 0u);
    uint64_t total = 0;
    std::vector<HgrmRow> rows = ReadHgrm(text, &total);
    ResultJson &latency = json["latency_ns"];
    uint64_t samples = latency["samples"].get<uint64_t>();
    EXPECT_EQ(total, samples);
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows.back().Percentile, 1.0);
    EXPECT_EQ(rows.back().TotalCount, samples);
    for (auto &[name, value] : latency["percentiles"].items()) {
        double rank = std::ceil(std::stod(name) / 100.0 * static_cast<double>(samples));
        uint64_t below = 0, above = 0;
        for (const HgrmRow &row : rows) {
            bool reached = static_cast<double>(row.TotalCount) >= rank;
            below = reached ? below : row.ValueNs;
            above = reached && above == 0 ? row.ValueNs : above;
        }
        uint64_t ns = value.get<uint64_t>();
        EXPECT_LT(below, ns) << "p" << name;
        EXPECT_LE(ns, above) << "p" << name;
    }
    StopServer();
}

/* Thresholds that hold: listed as met, exit code 0. */
TEST_F(ClientAgainstServer, ThresholdsThatHoldPass)
{
    StartServer({"-q"});
    ProcessResult run =
        RunClient({"-n", "20", "-A", "timeouts=0,refused=0,completed=20,max<3600s", "E1"});
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    EXPECT_NE(run.Stdout.find("Threshold      timeouts=0: met, timeouts = 0\n"), std::string::npos);
    EXPECT_NE(run.Stdout.find("Threshold      completed=20: met, completed = 20\n"),
              std::string::npos);
    StopServer();
}

/* A threshold missed is printed and makes the exit code 1. */
TEST_F(ClientAgainstServer, ThresholdMissedFailsTheRun)
{
    StartServer({"-q"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-n", "20", "-A", "p50<1ns,completed=20", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_NE(run.Stdout.find("Threshold      p50<1ns: NOT MET, p50 = "), std::string::npos);
    EXPECT_FALSE(json["thresholds"][0]["met"].get<bool>());
    EXPECT_TRUE(json["thresholds"][1]["met"].get<bool>());
    EXPECT_EQ(json["exit_code"].get<uint64_t>(), 1u);
    StopServer();
}

/* A sweep against a server that answers one transaction at a time, 10 ms
 * each (-i 0.01: at most 100 a second whatever the window), finds its knee
 * near what the server gives a closed loop, in steps and by a search: not
 * above it by more than 10 %, and not below it by more than a quarter, as
 * latency that saturates (or a busy machine's noise in the p99 of a second
 * of samples) may end the sweep before the rate is missed. */
class SweepAgainstDelay : public ClientAgainstServer,
                          public testing::WithParamInterface<const char *> {};

TEST_P(SweepAgainstDelay, FindsTheKneeNearTheCapacity)
{
    StartServer({"-q", "-i", "0.01"});
    ResultJson closed = RunClientJson({"-d", "1", "-w", "64", "-q", "E1"});
    double capacity = closed["throughput"]["transactions_per_s"].get<double>();
    EXPECT_LE(capacity, 101.0);
    ProcessResult run;
    ResultJson json = RunClientJson({"-R", GetParam(), "-d", "1", "-w", "64", "-q", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    double knee = json["sweep"]["highest_met_per_s"].get<double>();
    EXPECT_GE(knee, 0.75 * capacity) << run.Stdout;
    EXPECT_LE(knee, 1.1 * capacity) << run.Stdout;
    StopServer();
}

INSTANTIATE_TEST_SUITE_P(Ranges, SweepAgainstDelay, testing::Values("80:120:4", "50:150"));

/* A sweep stops at the first step that fails its conditions and names it
 * with the reason; the result holds every step that ran. */
TEST_F(ClientAgainstServer, SweepStopsAtTheFirstFailingStep)
{
    StartServer({"-q"});
    ProcessResult run;
    ResultJson json =
        RunClientJson({"-R", "10:50:10", "-d", "1", "-A", "completed<25", "-q", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    ResultJson &sweep = json["sweep"];
    ASSERT_EQ(sweep["steps"].size(), 3u) << run.Stdout;
    EXPECT_TRUE(sweep["steps"][1]["met"].get<bool>());
    EXPECT_FALSE(sweep["steps"][2]["met"].get<bool>());
    EXPECT_EQ(sweep["highest_met_per_s"].get<double>(), 20.0);
    EXPECT_EQ(sweep["first_failed_per_s"].get<double>(), 30.0);
    EXPECT_EQ(sweep["condition"], "completed<25");
    EXPECT_NE(run.Stdout.find("\nKnee: 20.0 transactions/s met the conditions; 30.0 did not: "
                              "completed<25 not met (completed = 30)\n"),
              std::string::npos)
        << run.Stdout;
    StopServer();
}

/* Without -A, a step whose p99 is over twice the first step's does not
 * meet the conditions, and the knee names that condition. */
TEST_F(ClientAgainstServer, SweepEndsWhereLatencySaturates)
{
    StartServer({"-q", "-i", "0.01"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-R", "20:200:180", "-d", "1", "-w", "256", "-q", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    ResultJson &sweep = json["sweep"];
    EXPECT_EQ(sweep["condition"], "p99 at most twice the first step's") << run.Stdout;
    EXPECT_EQ(sweep["steps"][1]["condition"], sweep["condition"]);
    EXPECT_NE(run.Stdout.find("\nKnee: 20.0 transactions/s met the conditions; 200.0 did not "
                              "meet p99 at most twice the first step's: p99 "),
              std::string::npos)
        << run.Stdout;
    StopServer();
}

/* -N runs the same settings again, fresh connections each time, and
 * reports each run, then the median and spread of each figure. */
TEST_F(ClientAgainstServer, RepeatsReportTheirMedianAndSpread)
{
    StartServer({"-q"});
    ProcessResult run;
    ResultJson json = RunClientJson({"-N", "3", "-r", "200", "-d", "0.3", "-q", "E1"}, &run);
    EXPECT_EQ(run.ExitCode, 0) << run.Stdout;
    ResultJson &repeats = json["repeats"];
    ASSERT_EQ(repeats["runs"].size(), 3u);
    std::vector<double> p99;
    for (ResultJson &each : repeats["runs"])
        p99.push_back(each["p99_ns"].get<double>());
    std::sort(p99.begin(), p99.end());
    EXPECT_EQ(repeats["min"]["p99_ns"].get<double>(), p99[0]);
    EXPECT_EQ(repeats["median"]["p99_ns"].get<double>(), p99[1]);
    EXPECT_EQ(repeats["max"]["p99_ns"].get<double>(), p99[2]);
    EXPECT_EQ(repeats["noisy"].get<bool>(), p99[2] - p99[0] > 0.2 * p99[1]);
    for (const char *row :
         {"\n    median  ", "\n       min  ", "\n       max  ", "\nSpread of p99: "})
        EXPECT_NE(run.Stdout.find(row), std::string::npos) << row << "\n" << run.Stdout;
    StopServer();
}

/* -v shows each message and reply, the server's tag included. */
TEST_F(ClientAgainstServer, VerboseShowsEveryMessageAndReply)
{
    StartServer({"-q", "-c", "1:1"});
    ProcessResult run = RunClient({"-n", "1", "-v", "E1"});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_NE(run.Stdout.find("Sent Transaction 1 length 128: message 1 from tfxclnt "),
              std::string::npos);
    EXPECT_NE(
        run.Stdout.find("Got Response to 1 (notify, more) length 128: message 1 from tfxclnt "),
        std::string::npos);
    EXPECT_NE(run.Stdout.find("; E1\nGot Response to 1 (normal) length 128: "), std::string::npos);
    StopServer();
}

/* Help: the usage text, exit code 0; -h on standard error as the server's,
 * --help on standard output. */
TEST(TfxclntCommandLine, HelpPrintsTheUsageText)
{
    ProcessResult shortHelp = tfxtest::RunProcess({TFXCLNT_PATH, "-h"});
    EXPECT_EQ(shortHelp.ExitCode, 0);
    EXPECT_EQ(shortHelp.Stdout, "");
    EXPECT_EQ(shortHelp.Stderr, ClientUsageText);
    ProcessResult longHelp = tfxtest::RunProcess({TFXCLNT_PATH, "--help"});
    EXPECT_EQ(longHelp.ExitCode, 0);
    EXPECT_EQ(longHelp.Stdout, ClientUsageText);
    EXPECT_EQ(longHelp.Stderr, "");
}

/* A usage error: what was wrong, then the usage text, exit code 2. */
TEST(TfxclntCommandLine, UsageErrorNamesTheMistake)
{
    ProcessResult run = tfxtest::RunProcess({TFXCLNT_PATH, "-w", "0", "E1"});
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_EQ(run.Stdout, "");
    EXPECT_EQ(run.Stderr, "tfxclnt: -w 0: the window must be a whole number from 1 to 65536\n" +
                              ClientUsageText);
}

/* An unknown option: the scanner's line, then the usage text, exit code 2. */
TEST(TfxclntCommandLine, UnknownOptionIsAUsageError)
{
    ProcessResult run = tfxtest::RunProcess({TFXCLNT_PATH, "-z"});
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_EQ(run.Stderr, std::string(TFXCLNT_PATH) + ": illegal option -- z\n" + ClientUsageText);
}

/* Output files that cannot take the result are refused before the run, and
 * leave nothing behind. "@" stands for a temporary folder, which holds
 * "link", a link to itself. */
struct OutputRefusal {
    std::vector<std::string> Args;
    std::string Stderr;
};

class TfxclntOutputs : public testing::TestWithParam<OutputRefusal> {};

TEST_P(TfxclntOutputs, AreRefusedBeforeTheRun)
{
    tfxtest::TempDir dir;
    ASSERT_EQ(symlink(".", (dir.Path() + "/link").c_str()), 0);
    auto spelt = [&dir](std::string text) {
        for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
            text.replace(at, 1, dir.Path());
        return text;
    };
    std::vector<std::string> args = {TFXCLNT_PATH};
    for (const std::string &arg : GetParam().Args)
        args.push_back(spelt(arg));
    ProcessResult run = tfxtest::RunProcess(args);
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_EQ(run.Stderr, spelt(GetParam().Stderr));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              1);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TfxclntOutputs,
    testing::Values(
        OutputRefusal{{"-o", "/proc/r.json", "E1"},
                      "tfxclnt: -o /proc/r.json: cannot be written (No such file or directory)\n"},
        OutputRefusal{{"-H", "@", "E1"}, "tfxclnt: -H @: cannot be written (it is a directory)\n"},
        OutputRefusal{{"-o", "@/same.out", "-H", "@/same.out", "E1"},
                      "tfxclnt: -o @/same.out and -H @/same.out name the same file: give each a "
                      "file of its own\n"},
        OutputRefusal{{"-o", "@/same.out", "-H", "@/link/./same.out", "E1"},
                      "tfxclnt: -o @/same.out and -H @/link/./same.out name the same file: give "
                      "each a file of its own\n"}));

} // namespace
