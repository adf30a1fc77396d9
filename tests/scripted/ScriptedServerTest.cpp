/* The whole server, run as a process over the scripted stand-in for the qlx
 * calls: its console output byte for byte and its calls one by one. */
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ServerConsole.h"
#include "tests/support/Subprocess.h"

namespace {

const std::string ServerPath = TFXSRVR_SCRIPTED_PATH;

using namespace tfxtest::console;

/* The report of a failed call, as the stand-in's error texts make it. */
std::string Report(const std::string &label, int reason, const std::string &call)
{
    return label + "\n\nPrimary Result: [scripted reason " + std::to_string(reason) + " in " +
           call + "]\n\nSub Result: [scripted detail of " + call + "]\n";
}

/* n zero bytes as the call log shows them. */
std::string Zeros(size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; ++i)
        text += "\\0";
    return text;
}

/* What the server puts into its records, as the call log shows it. */
struct Records {
    std::string Name = "TestElement1";
    std::string GetOptions = "0x20148";
    std::string MsgId;
    std::string GetProfile;
    std::string PutProfile;
};

/* Option bits of a response: the default word with more, notify, both or
 * neither. */
const std::string Last = "0x40000000";
const std::string More = "0x40000040";
const std::string NotifyLast = "0x40000800";
const std::string NotifyMore = "0x40000840";

/* The call log that a run is expected to write, built call by call. A buffer
 * descriptor reads BufferOwned/BufferSize/Data, where Data is lib<n> for the
 * buffer of the n-th message, own for the server's own and null. */
class Calls {
  public:
    explicit Calls(Records records = {}) : records_(std::move(records)) {}

    Calls &Initialize(int reason = 0)
    {
        std::string result = reason == 0 ? "-> 1 hConn=7" : Failed(reason) + " hConn=0";
        return Add("qlxServerInitialize FXAD/3 Name=\"" + records_.Name + "\" " + result);
    }
    Calls &Get(const std::string &buffer, const std::string &result)
    {
        return Add("qlxGetRequest hConn=7 FXMD/3 Buffer=" + buffer +
                   " FXGO/3 Options=" + records_.GetOptions + " WaitInterval=1000 MsgId=\"" +
                   records_.MsgId + "\" Profile=\"" + records_.GetProfile + "\" " + result);
    }
    Calls &NoMessage(const std::string &buffer = "0/0/null")
    {
        return Get(buffer, Failed(20)).LastError(20);
    }
    Calls &NoMessages(int count, const std::string &buffer = "0/0/null")
    {
        for (int i = 0; i < count; ++i)
            NoMessage(buffer);
        return *this;
    }
    Calls &StopWithoutMessage(const std::string &buffer = "0/0/null")
    {
        return Get(buffer, Failed(20) + " stop").LastError(20);
    }
    Calls &Message(int n, const std::string &buffer = "0/0/null")
    {
        return Get(buffer, "-> 1 hRequest=" + Request(n));
    }
    Calls &Put(int n, const std::string &options, int dataLength, const std::string &buffer,
               const std::string &data, int reason = 0)
    {
        std::string sent = data == "null" ? data : "\"" + data + "\"";
        return Add("qlxPutResponse hConn=7 FXMD/3 DataLength=" + std::to_string(dataLength) +
                   " Buffer=" + buffer + " FXPO/3 Options=" + options + " MsgId=\"" +
                   records_.MsgId + "\" Profile=\"" + records_.PutProfile + "\" hRequest=" +
                   Request(n) + " Data=" + sent + " " + (reason == 0 ? "-> 1" : Failed(reason)));
    }
    Calls &Alert()
    {
        return Add("qlxSendAlert hConn=7 LXLD/1 AlertType=0 Text=\"Notify Response Sent\" -> 1");
    }
    Calls &Close(int n) { return Add("qlxCloseHandle hConn=7 hRequest=" + Request(n) + " -> 1"); }
    Calls &Free(int hConn, const std::string &buffer)
    {
        return Add("qlxFreeBuffer hConn=" + std::to_string(hConn) + " Buffer=" + buffer + " -> 1");
    }
    Calls &LastError(int reason)
    {
        return Add("qlxGetLastError -> 1 ReasonCode=" + std::to_string(reason));
    }
    /* The report's two blocks, each given the room left in 800 bytes. */
    Calls &Report(const std::string &label, int reason, const std::string &call)
    {
        std::string primary = label + "\n\nPrimary Result: ";
        std::string sub = primary + "[scripted reason " + std::to_string(reason) + " in " + call +
                          "]\n\nSub Result: ";
        return Format(800 - primary.size()).Format(800 - sub.size());
    }
    Calls &Terminate(int hConn = 7)
    {
        return Add("qlxTerminate hConn=" + std::to_string(hConn) + " -> 1");
    }
    const std::string &Text() const { return text_; }

  private:
    static std::string Failed(int reason) { return "-> 0 (" + std::to_string(reason) + ")"; }
    static std::string Request(int n) { return std::to_string(100 + n); }
    Calls &Format(size_t room)
    {
        return Add("qlxFormatError count=1 room=" + std::to_string(room) + " -> 1");
    }
    Calls &Add(const std::string &line)
    {
        text_ += line + "\n";
        return *this;
    }

    Records records_;
    std::string text_;
};

/* What one run of the server did. */
struct Outcome {
    tfxtest::ProcessResult Process;
    std::string Calls;
};

/* Runs the server over a script in a folder of its own. */
class ScriptedRun : public testing::Test {
  protected:
    Outcome RunServer(const std::vector<std::string> &args, const std::string &script,
                      const std::string &input = "")
    {
        std::vector<std::string> argv = {ServerPath};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunCommand(argv, script, input, {});
    }

    /* The server with so little memory that a large allocation fails: under
     * a shell that limits its address space, when it can start at all within
     * the limit, and with the allocator options of a sanitizer build, which
     * reserves too much address space to start within it. */
    Outcome RunServerInLimitedMemory(const std::vector<std::string> &args,
                                     const std::string &script)
    {
        const std::string limited = "ulimit -v 262144";
        std::vector<std::string> argv = {"/bin/sh", "-c",
                                         "if (" + limited +
                                             " && exec \"$0\" -h) >/dev/null 2>&1; then " +
                                             limited + "; fi; exec \"$0\" \"$@\"",
                                         ServerPath};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string sanitizer = "allocator_may_return_null=1:max_allocation_size_mb=64";
        if (const char *given = getenv("ASAN_OPTIONS"))
            sanitizer = std::string(given) + ":" + sanitizer;
        return RunCommand(argv, script, "", {{"ASAN_OPTIONS", sanitizer}});
    }

  private:
    Outcome RunCommand(const std::vector<std::string> &argv, const std::string &script,
                       const std::string &input,
                       std::vector<std::pair<std::string, std::string>> env)
    {
        std::string scriptPath = dir_.Path() + "/script";
        std::string logPath = dir_.Path() + "/calls";
        WriteFile(scriptPath, script);
        tfxtest::ProcessOptions options;
        options.Stdin = input;
        options.Env = std::move(env);
        options.Env.emplace_back("QLX_SCRIPT", scriptPath);
        options.Env.emplace_back("QLX_CALL_LOG", logPath);
        Outcome outcome;
        outcome.Process = tfxtest::RunProcess(argv, options);
        outcome.Calls = tfxtest::ReadFile(logPath);
        return outcome;
    }

    static void WriteFile(const std::string &path, const std::string &text)
    {
        FILE *file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        (void)fwrite(text.data(), 1, text.size(), file);
        (void)fclose(file);
    }

    tfxtest::TempDir dir_;
};

/* Each subject of the run gets a suite of its own over the same runner. */
class ServerRequestLoop : public ScriptedRun {};
class ServerFatalFailure : public ScriptedRun {};
class ServerResponses : public ScriptedRun {};
class ServerReplyBuffers : public ScriptedRun {};
class ServerReplyText : public ScriptedRun {};
class ServerTransactions : public ScriptedRun {};
class ServerSummary : public ScriptedRun {};

void ExpectNormalEnd(const Outcome &outcome)
{
    EXPECT_EQ(outcome.Process.ExitCode, 0);
    EXPECT_EQ(outcome.Process.Signal, 0);
    EXPECT_FALSE(outcome.Process.TimedOut);
}

/* A wait limit of 3 allows exactly three empty attempts, then ends the run. */
TEST_F(ServerRequestLoop, WaitLimitOfThreeMakesExactlyThreeAttempts)
{
    Outcome run = RunServer({"-t", "3"}, "");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Timeout + Summary{}.Text());
    EXPECT_EQ(run.Process.Stderr, "");
    EXPECT_EQ(run.Calls, Calls().Initialize().NoMessages(3).Terminate().Text());
}

/* A message after two empty attempts gives the next wait the whole limit again. */
TEST_F(ServerRequestLoop, MessageAfterTwoEmptyAttemptsRestartsTheCountdown)
{
    Outcome run = RunServer({"-t", "3"}, "none\nnone\ntransaction size=64 \"hi\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 1 responses", "3/3/3/3"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 3, "hi\n") + Elapsed(0) +
                                      Timeout + summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .NoMessages(2)
                             .Message(1)
                             .Put(1, Last, 3, "0/64/lib1", "hi;")
                             .NoMessages(3, "0/64/lib1")
                             .Terminate()
                             .Text());
}

/* A negative wait limit never runs out: only the stop request ends this run. */
TEST_F(ServerRequestLoop, NegativeWaitLimitNeverRunsOut)
{
    Outcome run = RunServer({"-t", "-1"}, "none\nnone\nnone\nnone\nnone stop\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + StopRequest + Summary{}.Text());
    EXPECT_EQ(run.Calls,
              Calls().Initialize().NoMessages(4).StopWithoutMessage().Terminate().Text());
}

/* A stop request reported with the no-message failure ends the run at once. */
TEST_F(ServerRequestLoop, StopReportedWithNoMessageEndsTheRun)
{
    Outcome run = RunServer({}, "none stop\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + StopRequest + Summary{}.Text());
    EXPECT_EQ(run.Process.Stderr, "");
    EXPECT_EQ(run.Calls, Calls().Initialize().StopWithoutMessage().Terminate().Text());
}

/* A message that comes with the stop request is answered in full before the end. */
TEST_F(ServerRequestLoop, MessageThatComesWithTheStopIsAnsweredFirst)
{
    Outcome run = RunServer({"-c", "2"}, "transaction stop size=64 \"last\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 2 responses", "5/5/5/5"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + StopRequest +
                                      Got("Transaction", 5, "last\n") + Elapsed(0) +
                                      summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Get("0/0/null", "-> 1 hRequest=101 stop")
                             .Put(1, More, 5, "0/64/lib1", "last;")
                             .Put(1, Last, 5, "0/64/lib1", "last;")
                             .Terminate()
                             .Text());
}

/* The interrupt signal during a wait ends the run after that attempt, with
 * the summary. */
TEST_F(ServerRequestLoop, InterruptDuringAWaitEndsTheRunAfterIt)
{
    Outcome run = RunServer({}, "none signal\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Summary{}.Text());
    EXPECT_EQ(run.Process.Stderr, InterruptLine);
    EXPECT_EQ(run.Calls, Calls().Initialize().NoMessage().Terminate().Text());
}

/* An interrupt before the first wait leaves the loop without a single attempt. */
TEST_F(ServerRequestLoop, InterruptBeforeTheFirstWaitMakesNoAttempt)
{
    Outcome run = RunServer({}, "init signal\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Summary{}.Text());
    EXPECT_EQ(run.Process.Stderr, InterruptLine);
    EXPECT_EQ(run.Calls, Calls().Initialize().Terminate().Text());
}

/* With the pause set, the normal end waits for a line after the summary. */
TEST_F(ServerRequestLoop, PauseFollowsTheSummary)
{
    Outcome run = RunServer({"-p", "-t", "1"}, "", "\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Timeout + Summary{}.Text() + NormalPause);
    EXPECT_EQ(run.Calls, Calls().Initialize().NoMessage().Terminate().Text());
}

/* A failed start is reported under its label; nothing waits, nothing is summed up. */
TEST_F(ServerFatalFailure, FailedServerInitializeEndsBeforeTheFirstWait)
{
    Outcome run = RunServer({}, "init fail 42\n");
    EXPECT_EQ(run.Process.ExitCode, 1);
    EXPECT_EQ(run.Process.Stdout, Start());
    EXPECT_EQ(run.Process.Stderr, Report("ServerInitialize: ", 42, "qlxServerInitialize"));
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize(42)
                             .LastError(42)
                             .Report("ServerInitialize: ", 42, "qlxServerInitialize")
                             .Terminate(0)
                             .Text());
}

/* A real error of the wait, however late, ends the run with the report and
 * without the summary of what went before. */
TEST_F(ServerFatalFailure, GetRequestErrorAfterManyTransactionsEndsWithoutSummary)
{
    const int count = 25;
    std::string script;
    std::string stdoutText = Start() + Waiting;
    Calls calls;
    calls.Initialize();
    std::string buffer = "0/0/null";
    for (int n = 1; n <= count; ++n) {
        script += "transaction size=64 \"n\\n\"\n";
        stdoutText += Got("Transaction", 2, "n\n") + Elapsed(0);
        calls.Message(n, buffer).Put(n, Last, 2, "0/64/lib" + std::to_string(n), "n;");
        buffer = "0/64/lib" + std::to_string(n);
    }
    script += "fail 61\n";
    Outcome run = RunServer({}, script);
    EXPECT_EQ(run.Process.ExitCode, 1);
    EXPECT_EQ(run.Process.Stdout, stdoutText);
    EXPECT_EQ(run.Process.Stderr, Report("GetRequest: ", 61, "qlxGetRequest"));
    calls.Get(buffer, "-> 0 (61)")
        .LastError(61)
        .LastError(61)
        .Report("GetRequest: ", 61, "qlxGetRequest")
        .Terminate();
    EXPECT_EQ(run.Calls, calls.Text());
}

/* A response that cannot be sent ends the run there: the rest are never sent. */
TEST_F(ServerFatalFailure, FailedPutResponseEndsTheRunMidTransaction)
{
    Outcome run = RunServer({"-c", "3"}, "put 2 fail 60\ntransaction size=64 \"abc\\n\"\n");
    EXPECT_EQ(run.Process.ExitCode, 1);
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 4, "abc\n"));
    EXPECT_EQ(run.Process.Stderr, Report("PutResponse: ", 60, "qlxPutResponse"));
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, More, 4, "0/64/lib1", "abc;")
                             .Put(1, More, 4, "0/64/lib1", "abc;", 60)
                             .LastError(60)
                             .Report("PutResponse: ", 60, "qlxPutResponse")
                             .Terminate()
                             .Text());
}

/* With the pause set, the report waits for a line before the process ends. */
TEST_F(ServerFatalFailure, PauseFollowsTheReport)
{
    Outcome run = RunServer({"-p"}, "put 1 fail 60\ntransaction size=64 \"abc\\n\"\n", "\n");
    EXPECT_EQ(run.Process.ExitCode, 1);
    EXPECT_EQ(run.Process.Stdout,
              Start() + Waiting + Got("Transaction", 4, "abc\n") + AbnormalPause);
    EXPECT_EQ(run.Process.Stderr, Report("PutResponse: ", 60, "qlxPutResponse"));
}

/* Three normal and two notify responses: notify first, and only the last one
 * goes without "more follow". */
TEST_F(ServerResponses, ThreeNormalAndTwoNotifyCarryTheirBitsInOrder)
{
    Outcome run = RunServer({"-c", "3:2", "-t", "1"}, "transaction size=64 \"q\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 5 responses", "2/2/2/2"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 2, "q\n") + Elapsed(0) +
                                      Timeout + summary.Text());
    Calls calls;
    calls.Initialize().Message(1);
    for (const std::string &options : {NotifyMore, NotifyMore, More, More, Last})
        calls.Put(1, options, 2, "0/64/lib1", "q;");
    EXPECT_EQ(run.Calls, calls.NoMessage("0/64/lib1").Terminate().Text());
}

/* -a y: one notify response that ends the request, after exactly one alert. */
TEST_F(ServerResponses, AlertGoesOnceBeforeTheOnlyNotifyResponse)
{
    Outcome run = RunServer({"-a", "y", "-t", "1"}, "transaction size=64 \"q\\n\"\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Alert()
                             .Put(1, NotifyLast, 2, "0/64/lib1", "q;")
                             .NoMessage("0/64/lib1")
                             .Terminate()
                             .Text());
}

/* -c 0:0: no response at all; the request is closed, timed and counted. */
TEST_F(ServerResponses, NoResponsesCloseTheRequest)
{
    Outcome run = RunServer({"-c", "0:0", "-t", "1"}, "transaction size=64 \"q\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "", "2/2/2/2"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 2, "q\n") + Elapsed(0) +
                                      Timeout + summary.Text());
    EXPECT_EQ(run.Calls,
              Calls().Initialize().Message(1).Close(1).NoMessage("0/64/lib1").Terminate().Text());
}

/* Negative counts send nothing, so the request is closed as with 0:0. */
TEST_F(ServerResponses, NegativeCountsCloseTheRequest)
{
    Outcome run = RunServer({"-c", "-1:-2", "-t", "1"}, "transaction size=64 \"q\\n\"\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls,
              Calls().Initialize().Message(1).Close(1).NoMessage("0/64/lib1").Terminate().Text());
}

/* With a negative normal count no normal response follows, so the last
 * notify response ends the request. */
TEST_F(ServerResponses, NegativeNormalCountLeavesTheLastNotifyResponseFinal)
{
    Outcome run = RunServer({"-c", "-1:2", "-t", "1"}, "transaction size=64 \"q\\n\"\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, NotifyMore, 2, "0/64/lib1", "q;")
                             .Put(1, NotifyLast, 2, "0/64/lib1", "q;")
                             .NoMessage("0/64/lib1")
                             .Terminate()
                             .Text());
}

/* A datagram, whatever its type and owner, is closed and its buffer given
 * back with the connection handle; it is counted but never timed. */
TEST_F(ServerReplyBuffers, DatagramIsClosedAndItsBufferGivenBack)
{
    Outcome run = RunServer({"-t", "1"}, "datagram \"d\\n\"\n"
                                         "datagram owned=1 \"e\\n\"\n"
                                         "transaction type=7 \"f\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{0, 3, "", "2/2/2/6"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Datagram", 2, "d\n") +
                                      Got("Datagram", 2, "e\n") + Got("Datagram", 2, "f\n") +
                                      Timeout + summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Close(1)
                             .Free(7, "0/3/lib1")
                             .Message(2, "0/3/lib1")
                             .Close(2)
                             .Free(7, "1/3/lib2")
                             .Message(3, "1/3/lib2")
                             .Close(3)
                             .Free(7, "0/3/lib3")
                             .NoMessage("0/3/lib3")
                             .Terminate()
                             .Text());
}

/* A transaction answered with its own data makes no buffer call, owned or not. */
TEST_F(ServerReplyBuffers, TransactionAnsweredWithItsOwnDataMakesNoBufferCall)
{
    Outcome run = RunServer({"-t", "1"}, "transaction owned=1 size=64 \"x\\n\"\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, Last, 2, "1/64/lib1", "x;")
                             .NoMessage("1/64/lib1")
                             .Terminate()
                             .Text());
}

/* Replaced data: the received buffer goes back, the reply is the server's
 * zero-filled buffer sent whole, and the record is empty for the next wait. */
TEST_F(ServerReplyBuffers, ReplacedDataGivesTheReceivedBufferBack)
{
    Outcome run = RunServer({"-s", "300", "-t", "1"}, "transaction size=64 \"abc\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 1 responses", "4/4/4/4"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 4, "abc\n") + Elapsed(0) +
                                      Timeout + summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Free(7, "0/64/lib1")
                             .Put(1, Last, 300, "0/300/own", "abc; TestElement1\\n" + Zeros(282))
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* Every reply buffer starts as zeros, also where an earlier reply left its
 * text in the memory it reuses. */
TEST_F(ServerReplyBuffers, EveryReplyBufferIsZeroFilled)
{
    std::string script =
        "transaction \"" + std::string(280, 'x') + "\\n\"\n" + "transaction size=64 \"b\\n\"\n";
    Outcome run = RunServer({"-s", "300", "-q", "-t", "1"}, script);
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Free(7, "0/282/lib1")
                             .Put(1, Last, 300, "0/300/own",
                                  std::string(280, 'x') + "; TestElement1\\n" + Zeros(5))
                             .Message(2)
                             .Free(7, "0/64/lib2")
                             .Put(2, Last, 300, "0/300/own", "b; TestElement1\\n" + Zeros(284))
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* A received buffer still owned goes back twice: once with the connection
 * handle, once with a null one. */
TEST_F(ServerReplyBuffers, ReplacedOwnedBufferIsGivenBackTwice)
{
    Outcome run = RunServer({"-s", "300", "-t", "1"}, "transaction owned=1 size=64 \"abc\\n\"\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Free(7, "1/64/lib1")
                             .Free(0, "1/64/lib1")
                             .Put(1, Last, 300, "0/300/own", "abc; TestElement1\\n" + Zeros(282))
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* Without memory for the reply buffer, the received data is sent back
 * unchanged but tagged, and the run goes on. */
TEST_F(ServerReplyBuffers, BufferThatCannotBeAllocatedLeavesTheReceivedData)
{
    Outcome run = RunServerInLimitedMemory({"-s", "1000000000", "-t", "1"},
                                           "transaction size=64 \"one\\n\"\n"
                                           "transaction size=64 \"two\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{2, 0, "0/0/0 for 2 responses", "4/4/4/8"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 4, "one\n") + Elapsed(0) +
                                      Got("Transaction", 4, "two\n") + Elapsed(0) + Timeout +
                                      summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, Last, 4, "0/64/lib1", "one;")
                             .Message(2, "0/64/lib1")
                             .Put(2, Last, 4, "0/64/lib2", "two;")
                             .NoMessage("0/64/lib2")
                             .Terminate()
                             .Text());
}

/* A text longer than the reply buffer is cut to it; the tag then goes at the
 * last line feed that survived. */
TEST_F(ServerReplyText, TextLongerThanTheReplyIsCutAndStillTagged)
{
    std::string text = "line\\n" + std::string(300, 'x') + "\\n";
    Outcome run = RunServer({"-s", "256", "-q", "-t", "1"}, "transaction \"" + text + "\"\n");
    ExpectNormalEnd(run);
    std::string sent = "line; TestElement1\\n\\0" + std::string(235, 'x') + "\\0";
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Free(7, "0/307/lib1")
                             .Put(1, Last, 256, "0/256/own", sent)
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* A tag that does not fit after the text is cut, leaving the terminating zero. */
TEST_F(ServerReplyText, TagIsCutToTheReplyBuffer)
{
    std::string text = std::string(250, 'a') + "\\n";
    Outcome run = RunServer({"-s", "256", "-q", "-t", "1"}, "transaction \"" + text + "\"\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Free(7, "0/252/lib1")
                             .Put(1, Last, 256, "0/256/own", std::string(250, 'a') + "; Tes\\0")
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* In the received buffer the tag stays within BufferSize too: the buffer
 * ends at an inaccessible page, and the whole of it is sent. */
TEST_F(ServerReplyText, TagIsCutToTheReceivedBuffer)
{
    Outcome run = RunServer({"-q", "-t", "1"}, "transaction length=8 size=8 \"abc\\n\"\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, Last, 8, "0/8/lib1", "abc; Te\\0")
                             .NoMessage("0/8/lib1")
                             .Terminate()
                             .Text());
}

/* A text without a line feed is sent as it came, and its "Got" line stays
 * open for the next line. */
TEST_F(ServerReplyText, TextWithoutLineFeedIsLeftAsItIs)
{
    Outcome run = RunServer({"-t", "1"}, "transaction length=8 size=8 \"abc\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 1 responses", "8/8/8/8"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 8, "abc") + Elapsed(0) +
                                      Timeout + summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, Last, 8, "0/8/lib1", "abc" + Zeros(5))
                             .NoMessage("0/8/lib1")
                             .Terminate()
                             .Text());
}

/* A message without data prints as an empty text and goes back as it came. */
TEST_F(ServerReplyText, MessageWithoutDataIsPrintedEmptyAndSentAsItCame)
{
    Outcome run = RunServer({"-t", "1"}, "transaction nodata\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 1 responses", "0/0/0/0"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 0, "") + Elapsed(0) +
                                      Timeout + summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, Last, 0, "0/0/null", "null")
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* A message without data, replaced, is answered with a buffer of zeros only. */
TEST_F(ServerReplyText, MessageWithoutDataIsReplacedByZeros)
{
    Outcome run = RunServer({"-s", "300", "-q", "-t", "1"}, "transaction nodata\n");
    ExpectNormalEnd(run);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Free(7, "0/0/null")
                             .Put(1, Last, 300, "0/300/own", Zeros(300))
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* Each transaction draws its delay first, then its size, from the one
 * sequence that every run repeats. */
TEST_F(ServerTransactions, DelayAndSizeAreDrawnInThatOrder)
{
    Outcome run = RunServer({"-i", "0.001-0.002", "-s", "256-512", "-t", "1"},
                            "transaction size=64 \"a\\n\"\ntransaction size=64 \"b\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{2, 0, "0/0/0 for 2 responses", "2/2/2/4"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 2, "a\n") + WaitTime(1) +
                                      Elapsed(0) + Got("Transaction", 2, "b\n") + WaitTime(1) +
                                      Elapsed(0) + Timeout + summary.Text());
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Free(7, "0/64/lib1")
                             .Put(1, Last, 300, "0/300/own", "a; TestElement1\\n" + Zeros(284))
                             .Message(2)
                             .Free(7, "0/64/lib2")
                             .Put(2, Last, 392, "0/392/own", "b; TestElement1\\n" + Zeros(376))
                             .NoMessage()
                             .Terminate()
                             .Text());
}

/* A negative delay is printed as it is and the answer goes out. */
TEST_F(ServerTransactions, NegativeDelayIsPrinted)
{
    Outcome run = RunServer({"-i", "-2", "-t", "1"}, "transaction size=64 \"a\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 1 responses", "2/2/2/2"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 2, "a\n") +
                                      WaitTime(-2000) + Elapsed(0) + Timeout + summary.Text());
}

/* Quiet mode drops the lines of each message and keeps the rest. */
TEST_F(ServerTransactions, QuietModePrintsNoMessageLines)
{
    Outcome run = RunServer({"-q", "-i", "0.001", "-t", "1"},
                            "transaction size=64 \"a\\n\"\ndatagram \"b\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 1, "0/0/0 for 1 responses", "2/2/2/4"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Timeout + summary.Text());
}

/* An interrupt during the responses of a transaction lets all of them go,
 * then ends the run. */
TEST_F(ServerTransactions, InterruptDuringTheResponsesLetsThemAllGo)
{
    Outcome run = RunServer({"-c", "3"}, "put 1 signal\ntransaction size=64 \"t\\n\"\n");
    ExpectNormalEnd(run);
    Summary summary{1, 0, "0/0/0 for 3 responses", "2/2/2/2"};
    EXPECT_EQ(run.Process.Stdout,
              Start() + Waiting + Got("Transaction", 2, "t\n") + Elapsed(0) + summary.Text());
    EXPECT_EQ(run.Process.Stderr, InterruptLine);
    EXPECT_EQ(run.Calls, Calls()
                             .Initialize()
                             .Message(1)
                             .Put(1, More, 2, "0/64/lib1", "t;")
                             .Put(1, More, 2, "0/64/lib1", "t;")
                             .Put(1, Last, 2, "0/64/lib1", "t;")
                             .Terminate()
                             .Text());
}

/* The message id and the profiles go into every record that carries them. */
TEST_F(ServerTransactions, MessageIdAndProfilesGoIntoTheRecords)
{
    Outcome run = RunServer({"-m", "abc", "-q", "-t", "1", "E1", "PP", "GP"},
                            "transaction size=64 \"a\\n\"\n");
    ExpectNormalEnd(run);
    Records records;
    records.Name = "E1";
    records.GetOptions = "0x20149";
    records.MsgId = "abc" + std::string(20, ' ');
    records.GetProfile = "GP";
    records.PutProfile = "PP";
    Summary summary{1, 0, "0/0/0 for 1 responses", "2/2/2/2"};
    EXPECT_EQ(run.Process.Stdout, Start("E1") + Waiting + Timeout + summary.Text());
    EXPECT_EQ(run.Calls, Calls(records)
                             .Initialize()
                             .Message(1)
                             .Put(1, "0x40000001", 2, "0/64/lib1", "a;")
                             .NoMessage("0/64/lib1")
                             .Terminate()
                             .Text());
}

/* Known service times and sizes give exact figures: the average time is over
 * the responses, the rate over every message from the first arrival to the
 * last completion. */
TEST_F(ServerSummary, KnownTimesAndSizesGiveExactFigures)
{
    std::string script = "clock 1000.250\nclock 1000.260\nclock 1000.900\n"
                         "clock 1001.720\nclock 1001.750\n"
                         "transaction length=100 \"a\\n\"\n"
                         "datagram length=200 \"b\\n\"\n"
                         "transaction length=300 \"c\\n\"\n";
    Outcome run = RunServer({"-c", "2", "-t", "1"}, script);
    ExpectNormalEnd(run);
    Summary summary{2, 1, "10/10/30 for 4 responses", "100/200/300/600", "1.500", "2.000"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Got("Transaction", 100, "a\n") + Elapsed(10) +
                                      Got("Datagram", 200, "b\n") + Got("Transaction", 300, "c\n") +
                                      Elapsed(30) + Timeout + summary.Text());
}

/* With datagrams only no transaction ends: no elapsed time and no rate. */
TEST_F(ServerSummary, DatagramsOnlyShowNoElapsedTimeOrRate)
{
    std::string script = "clock 1000.250\nclock 1000.900\n"
                         "datagram \"a\\n\"\ndatagram \"bc\\n\"\n";
    Outcome run = RunServer({"-q", "-t", "1"}, script);
    ExpectNormalEnd(run);
    Summary summary{0, 2, "", "2/2/3/5"};
    EXPECT_EQ(run.Process.Stdout, Start() + Waiting + Timeout + summary.Text());
}

} // namespace
