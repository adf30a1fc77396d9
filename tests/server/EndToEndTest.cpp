/* The real server over the real library: started as a process in a
 * temporary runtime directory and driven by a client of its element. */
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qlx/ClientRecords.h"
#include "qlx/ErrorRecord.h"
#include "tests/support/ServerConsole.h"
#include "tests/support/NatsServer.h"
#include "tests/support/ServiceClient.h"
#include "tests/support/Subprocess.h"

namespace {

using namespace tfxtest::console;
using tfxtest::ClientReply;

const std::string ServerPath = TFXSRVR_PATH;
const std::string Element = "E1";
const auto StartLimit = std::chrono::seconds(30);

ClientReply Response(uint64_t requestId, uint32_t flags, const std::string &data,
                     const std::string &msgId = "")
{
    return ClientReply{QLX_REPLY_RESPONSE, flags, 0, requestId, msgId, data};
}
ClientReply End(uint64_t requestId)
{
    return ClientReply{QLX_REPLY_END, 0, 0, requestId, "", ""};
}
ClientReply Alert(uint64_t requestId)
{
    return ClientReply{QLX_REPLY_ALERT, 0, 0, requestId, "", "Notify Response Sent"};
}
ClientReply Refusal(uint64_t requestId, int32_t reason)
{
    return ClientReply{QLX_REPLY_REFUSED, 0, reason, requestId, "", ""};
}

/* Response flags: notify, more follow, both or neither. */
const uint32_t Last = 0;
const uint32_t More = QLX_RF_MORE;
const uint32_t NotifyLast = QLX_RF_NOTIFY;
const uint32_t NotifyMore = QLX_RF_NOTIFY | QLX_RF_MORE;

/* The summary of a run with transactions: only counts and sizes are known. */
Summary MeasuredSummary(int transactions, int datagrams, int responses, const std::string &sizes)
{
    std::string times = MaskedTimes + " for " + std::to_string(responses) + " responses";
    return Summary{transactions, datagrams, times, sizes, MaskedFigure, MaskedFigure};
}

/* Each test runs its server in a runtime directory of its own, which this
 * process uses too, so that its client finds the server there; over NATS,
 * with the test process's nats-server and a subject prefix of its own. */
class LiveServer : public testing::Test {
  protected:
    void SetUp() override
    {
        qlxDir_ = dir_.Path() + "/qlx";
        environment_ = {{"QLX_DIR", qlxDir_}};
        if (OverNats()) {
            auto nats = tfxtest::NatsEnvironment(tfxtest::SharedNatsServer());
            environment_.insert(environment_.end(), nats.begin(), nats.end());
        }
        for (const auto &[name, value] : environment_)
            ASSERT_EQ(setenv(name.c_str(), value.c_str(), 1), 0);
    }
    void TearDown() override
    {
        CloseInput();
        for (const auto &variable : environment_)
            (void)unsetenv(variable.first.c_str());
    }
    virtual bool OverNats() const { return false; }

    /* Starts the server on Element and waits until its socket is there. */
    void StartServer(const std::vector<std::string> &options)
    {
        std::vector<std::string> argv = {ServerPath};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(Element);
        Launch(argv, {});
    }

    /* Starts the server under a shell that gives it a pipe as standard input,
     * which this test holds open and never writes: its pause waits for ever. */
    void StartServerWithSilentInput(const std::vector<std::string> &options)
    {
        std::string fifo = dir_.Path() + "/enter";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        input_ = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(input_, 0);
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <\"$ENTER\"",
                                         ServerPath};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(Element);
        Launch(argv, {{"ENTER", fifo}});
    }

    void CloseInput()
    {
        if (input_ >= 0)
            (void)close(input_);
        input_ = -1;
    }

    tfxtest::Process &Server() { return *server_; }
    const std::string &QlxDir() const { return qlxDir_; }

    /* The server's end, with a generous limit. */
    tfxtest::ProcessResult WaitForEnd()
    {
        tfxtest::ProcessResult result = server_->Wait(std::chrono::seconds(60));
        CloseInput();
        return result;
    }

  private:
    void Launch(const std::vector<std::string> &argv,
                std::vector<std::pair<std::string, std::string>> env)
    {
        tfxtest::ProcessOptions options;
        options.Env = std::move(env);
        options.Env.insert(options.Env.end(), environment_.begin(), environment_.end());
        server_ = std::make_unique<tfxtest::Process>(argv, options);
        /* The server says so once its service is open. */
        auto deadline = std::chrono::steady_clock::now() + StartLimit;
        while (server_->StdoutSoFar().find(Waiting) == std::string::npos) {
            ASSERT_TRUE(server_->Running()) << "the server ended before it opened its service:\n"
                                            << server_->StderrSoFar();
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the service did not open";
            (void)usleep(5000);
        }
    }

    tfxtest::TempDir dir_;
    std::string qlxDir_;
    std::vector<std::pair<std::string, std::string>> environment_;
    std::unique_ptr<tfxtest::Process> server_;
    int input_ = -1;
};

/* The behaviours a user sees, over ipc:// and over NATS alike. */
class LiveServerOver : public LiveServer, public testing::WithParamInterface<bool> {
  protected:
    bool OverNats() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Transports, LiveServerOver, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) {
                             return info.param ? "Nats" : "Ipc";
                         });

/* By default a transaction gets one final response: its own data, tagged
 * within the received buffer. */
TEST_P(LiveServerOver, AnswersATransactionWithOneTaggedResponse)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(1, "hello\n"));
    EXPECT_EQ(client.Collect(1), std::vector<ClientReply>{Response(1, Last, "hello;")});
    ASSERT_TRUE(client.SendStop());
    tfxtest::ProcessResult result = WaitForEnd();
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(Masked(result.Stdout), Start(Element) + Waiting + Got("Transaction", 6, "hello\n") +
                                         Elapsed(MaskedMs) + StopRequest +
                                         MeasuredSummary(1, 0, 1, "6/6/6/6").Text());
    EXPECT_EQ(result.Stderr, "");
}

/* -c 3:2: two notify responses, then three normal ones, only the last final. */
TEST_P(LiveServerOver, SendsNotifyThenNormalResponsesInOrder)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-c", "3:2"}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(7, "abc\n"));
    std::vector<ClientReply> expected = {
        Response(7, NotifyMore, "abc;"), Response(7, NotifyMore, "abc;"), Response(7, More, "abc;"),
        Response(7, More, "abc;"),       Response(7, Last, "abc;"),
    };
    EXPECT_EQ(client.Collect(7), expected);
    ASSERT_TRUE(client.SendStop());
    EXPECT_EQ(WaitForEnd().ExitCode, 0);
}

/* With the alert option the alert comes before the first notify response. */
TEST_P(LiveServerOver, SendsTheAlertBeforeTheFirstNotifyResponse)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-c", "2:2", "-a", "y"}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(3, "abc\n"));
    std::vector<ClientReply> expected = {
        Alert(3),
        Response(3, NotifyMore, "abc;"),
        Response(3, NotifyMore, "abc;"),
        Response(3, More, "abc;"),
        Response(3, Last, "abc;"),
    };
    EXPECT_EQ(client.Collect(3), expected);
    ASSERT_TRUE(client.SendStop());
    EXPECT_EQ(WaitForEnd().ExitCode, 0);
}

/* -c 0:0: the transaction is ended without a response, and still counted. */
TEST_P(LiveServerOver, EndsATransactionWithoutResponses)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-c", "0:0"}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(2, "abc\n"));
    EXPECT_EQ(client.Collect(2), std::vector<ClientReply>{End(2)});
    ASSERT_TRUE(client.SendStop());
    tfxtest::ProcessResult result = WaitForEnd();
    EXPECT_EQ(result.ExitCode, 0);
    Summary summary{1, 0, "", "4/4/4/4", MaskedFigure, MaskedFigure};
    EXPECT_EQ(Masked(result.Stdout), Start(Element) + Waiting + Got("Transaction", 4, "abc\n") +
                                         Elapsed(MaskedMs) + StopRequest + summary.Text());
}

/* A negative normal count sends none, so the last notify response ends the
 * transaction and its client does not wait for ever. */
TEST_P(LiveServerOver, NegativeNormalCountEndsWithTheLastNotifyResponse)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-c", "-1:2"}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(4, "abc\n"));
    std::vector<ClientReply> expected = {Response(4, NotifyMore, "abc;"),
                                         Response(4, NotifyLast, "abc;")};
    EXPECT_EQ(client.Collect(4), expected);
    ASSERT_TRUE(client.SendStop());
    EXPECT_EQ(WaitForEnd().ExitCode, 0);
}

/* -s 300: every reply is the server's 300-byte buffer, tagged and zero-filled. */
TEST_P(LiveServerOver, ReplacedRepliesCarryThreeHundredBytes)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-s", "300"}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(1, "hello\n"));
    ASSERT_TRUE(client.SendTransaction(2, "hi\n"));
    EXPECT_EQ(client.Collect(1),
              std::vector<ClientReply>{Response(1, Last, "hello; E1\n" + std::string(290, '\0'))});
    EXPECT_EQ(client.Collect(2),
              std::vector<ClientReply>{Response(2, Last, "hi; E1\n" + std::string(293, '\0'))});
    ASSERT_TRUE(client.SendStop());
    EXPECT_EQ(WaitForEnd().ExitCode, 0);
}

/* With a message id the server takes only messages that carry it, and sends
 * it back with each response; others are refused by the library. */
TEST_P(LiveServerOver, MessageIdSelectsAndMarksTheTransactions)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-m", "abc"}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    std::string msgId = "abc" + std::string(20, ' ') + std::string(1, '\0');
    ASSERT_TRUE(client.SendTransaction(1, "other\n"));
    ASSERT_TRUE(client.SendTransaction(2, "mine\n", msgId));
    EXPECT_EQ(client.Collect(1), std::vector<ClientReply>{Refusal(1, QLXRC_NO_RECEIVER)});
    EXPECT_EQ(client.Collect(2), std::vector<ClientReply>{Response(2, Last, "mine;", msgId)});
    ASSERT_TRUE(client.SendStop());
    EXPECT_EQ(WaitForEnd().ExitCode, 0);
}

/* A datagram is reported and counted, and gets no reply of any kind. */
TEST_P(LiveServerOver, CountsDatagramsWithoutReplying)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendDatagram("dg\n"));
    ASSERT_TRUE(client.SendTransaction(5, "t\n"));
    EXPECT_EQ(client.Collect(5), std::vector<ClientReply>{Response(5, Last, "t;")});
    ASSERT_TRUE(client.SendStop());
    tfxtest::ProcessResult result = WaitForEnd();
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(Masked(result.Stdout), Start(Element) + Waiting + Got("Datagram", 3, "dg\n") +
                                         Got("Transaction", 2, "t\n") + Elapsed(MaskedMs) +
                                         StopRequest + MeasuredSummary(1, 1, 1, "2/2/3/5").Text());
}

/* Transactions sent before the stop request are all answered before the run
 * ends. */
TEST_P(LiveServerOver, AnswersWhatCameBeforeTheStopRequest)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(1, "a\n"));
    ASSERT_TRUE(client.SendTransaction(2, "bc\n"));
    ASSERT_TRUE(client.SendStop());
    EXPECT_EQ(client.Collect(1), std::vector<ClientReply>{Response(1, Last, "a;")});
    EXPECT_EQ(client.Collect(2), std::vector<ClientReply>{Response(2, Last, "bc;")});
    tfxtest::ProcessResult result = WaitForEnd();
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(Masked(result.Stdout), Start(Element) + Waiting + Got("Transaction", 2, "a\n") +
                                         Elapsed(MaskedMs) + Got("Transaction", 3, "bc\n") +
                                         Elapsed(MaskedMs) + StopRequest +
                                         MeasuredSummary(2, 0, 2, "2/2/3/5").Text());
}

/* A second server for an element that is served already cannot open it: it
 * reports the library's error under its label and ends with exit code 1. */
TEST_F(LiveServer, SecondServerOfAnElementEndsWithTheReport)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({}));
    tfxtest::ProcessOptions options;
    options.Env = {{"QLX_DIR", QlxDir()}};
    tfxtest::ProcessResult second = tfxtest::RunProcess({ServerPath, Element}, options);
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_EQ(second.Stdout, Start(Element));
    EXPECT_EQ(second.Stderr, "ServerInitialize: \n\nPrimary Result: service element E1 is "
                             "already served by a live process (42)\n\nSub Result: lock file " +
                                 QlxDir() + "/E1.lock is held\n");
    Server().Signal(SIGUSR1);
    EXPECT_EQ(WaitForEnd().ExitCode, 0);
}

/* -t 2 with no message: two empty waits of a second each, then the end. */
TEST_P(LiveServerOver, WaitLimitEndsTheRunAfterItsEmptyWaits)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-t", "2"}));
    auto opened = std::chrono::steady_clock::now();
    tfxtest::ProcessResult result = WaitForEnd();
    auto waited = std::chrono::steady_clock::now() - opened;
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Stdout, Start(Element) + Waiting + Timeout + Summary{}.Text());
    EXPECT_EQ(result.Stderr, "");
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(30));
}

/* A stop request from the application manager ends an idle run. */
TEST_P(LiveServerOver, StopRequestEndsTheRun)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendStop());
    tfxtest::ProcessResult result = WaitForEnd();
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Stdout, Start(Element) + Waiting + StopRequest + Summary{}.Text());
    EXPECT_EQ(result.Stderr, "");
}

/* Each line reaches a pipe as it is printed, while the server runs; SIGUSR1
 * then ends its wait for the next message. */
TEST_P(LiveServerOver, PrintsEachLineAsItComes)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({}));
    tfxtest::ServiceClient client(Element);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(1, "hello\n"));
    EXPECT_TRUE(Server().WaitForStdout(Got("Transaction", 6, "hello\n"), std::chrono::seconds(30)));
    Server().Signal(SIGUSR1);
    EXPECT_EQ(WaitForEnd().ExitCode, 0);
}

/* SIGUSR1, SIGINT (Ctrl-C) and SIGTERM: the first ends the run with its
 * summary and exit code 0; a second of any of them ends the process at once,
 * here while it pauses for ENTER after its summary. */
class EndingSignals : public LiveServer, public testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(EndingSignals, FirstEndsTheRunWithItsSummary)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({}));
    Server().Signal(GetParam().first);
    tfxtest::ProcessResult result = WaitForEnd();
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Stdout, Start(Element) + Waiting + Summary{}.Text());
    EXPECT_EQ(result.Stderr, InterruptLine);
}

TEST_P(EndingSignals, SecondEndsTheProcess)
{
    ASSERT_NO_FATAL_FAILURE(StartServerWithSilentInput({"-p"}));
    Server().Signal(GetParam().first);
    ASSERT_TRUE(Server().WaitForStdout(NormalPause, std::chrono::seconds(30)));
    Server().Signal(GetParam().second);
    tfxtest::ProcessResult result = WaitForEnd();
    EXPECT_EQ(result.Signal, GetParam().second);
    EXPECT_EQ(result.Stdout, Start(Element) + Waiting + Summary{}.Text() + NormalPause);
    EXPECT_EQ(result.Stderr, InterruptLine);
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignals,
                         testing::Values(std::pair{SIGUSR1, SIGUSR1}, std::pair{SIGINT, SIGTERM},
                                         std::pair{SIGTERM, SIGINT}),
                         [](const testing::TestParamInfo<std::pair<int, int>> &info) {
                             return std::string(sigabbrev_np(info.param.first)) + "Then" +
                                    sigabbrev_np(info.param.second);
                         });

} // namespace
