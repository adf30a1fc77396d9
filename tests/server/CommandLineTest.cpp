#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/server/UsageText.h"
#include "tests/support/Subprocess.h"

namespace {

const std::string Program = TFXSRVR_PATH;

/* Everything a user sees of one run: both streams and how it ended. */
struct Outcome {
    std::string Stdout;
    std::string Stderr;
    int ExitCode = 0;
    int Signal = 0;
    bool TimedOut = false;
    bool operator==(const Outcome &) const = default;
};

void PrintTo(const Outcome &o, std::ostream *out)
{
    *out << "{stdout " << testing::PrintToString(o.Stdout) << ", stderr "
         << testing::PrintToString(o.Stderr) << ", exit code " << o.ExitCode << ", signal "
         << o.Signal << (o.TimedOut ? ", timed out" : "") << "}";
}

/* Runs the server with args and the given standard input, to its end. Should
 * it ever get as far as opening its service, it does so in a directory of its own. */
Outcome RunServer(const std::vector<std::string> &args, const std::string &input = "")
{
    tfxtest::TempDir dir;
    std::vector<std::string> argv{Program};
    argv.insert(argv.end(), args.begin(), args.end());
    tfxtest::ProcessOptions options;
    options.Stdin = input;
    options.Env.emplace_back("QLX_DIR", dir.Path() + "/rt");
    options.Timeout = std::chrono::seconds(60);
    tfxtest::ProcessResult result = tfxtest::RunProcess(argv, options);
    return Outcome{result.Stdout, result.Stderr, result.ExitCode, result.Signal, result.TimedOut};
}

Outcome Exited(int code, const std::string &errors, const std::string &output = "")
{
    return Outcome{output, errors, code, 0, false};
}

std::string Illegal(char option)
{
    return Program + ": illegal option -- " + std::string(1, option) + "\n";
}

std::string MissingArgument(char option)
{
    return Program + ": option requires an argument -- " + std::string(1, option) + "\n";
}

/* How a started run went: the first line of standard output (the one that
 * names the service element), standard error whole, and how it ended. */
struct StartedRun {
    std::string FirstLine;
    std::string Stderr;
    int ExitCode = 0;
    int Signal = 0;
    bool TimedOut = false;
    bool operator==(const StartedRun &) const = default;
};

void PrintTo(const StartedRun &r, std::ostream *out)
{
    *out << "{first line " << testing::PrintToString(r.FirstLine) << ", stderr "
         << testing::PrintToString(r.Stderr) << ", exit code " << r.ExitCode << ", signal "
         << r.Signal << (r.TimedOut ? ", timed out" : "") << "}";
}

/* A run that opened its service, was sent SIGUSR1 and ended normally. */
StartedRun Started(const std::string &elementName)
{
    return StartedRun{"Service Element " + elementName, "Interrupt received\n", 0, 0, false};
}

/* Starts the server with args and its own messaging directory, waits until it
 * waits for messages, sends it SIGUSR1 and waits for its end. */
StartedRun RunUntilSignal(const std::vector<std::string> &args)
{
    tfxtest::TempDir dir;
    std::vector<std::string> argv{Program};
    argv.insert(argv.end(), args.begin(), args.end());
    tfxtest::ProcessOptions options;
    options.Env.emplace_back("QLX_DIR", dir.Path() + "/rt");
    tfxtest::Process process(argv, options);
    if (process.WaitForStdout("Waiting for message...\n", std::chrono::seconds(30)))
        process.Signal(SIGUSR1);
    tfxtest::ProcessResult result = process.Wait(std::chrono::seconds(60));
    std::string firstLine = result.Stdout.substr(0, result.Stdout.find('\n'));
    return StartedRun{firstLine, result.Stderr, result.ExitCode, result.Signal, result.TimedOut};
}

/* Runs the server with args and returns each write it made to standard error,
 * one string per write: standard error is a packet socket, which keeps the
 * boundaries of the writes. Standard input and output are /dev/null. */
std::vector<std::string> StderrWrites(const std::vector<std::string> &args, int *exitCode)
{
    std::vector<std::string> writes;
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets) != 0) {
        ADD_FAILURE() << "socketpair: errno " << errno;
        return writes;
    }
    std::vector<std::string> argv{Program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> pointers;
    for (std::string &arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0 ||
            dup2(sockets[1], STDERR_FILENO) < 0)
            _exit(127);
        close(sockets[0]);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    close(sockets[1]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "fork or waitpid failed";
        close(sockets[0]);
        return writes;
    }
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    char packet[4096];
    ssize_t size;
    while ((size = recv(sockets[0], packet, sizeof packet, MSG_DONTWAIT)) > 0)
        writes.emplace_back(packet, static_cast<size_t>(size));
    close(sockets[0]);
    return writes;
}

const std::string SizeTooSmall = "Minimum Data size is 256\n";
const std::string SizeReversed = "Minimum data size must be smaller than maximum data size\n";

/* -h writes the usage text to standard error and ends with exit code 0. */
TEST(CommandLine, HelpShowsUsageAndExitsZero)
{
    EXPECT_EQ(RunServer({"-h"}), Exited(0, UsageText));
}

/* The usage text goes out in 17 writes, one for each of its lines. */
TEST(CommandLine, UsageTextIsWrittenIn17Writes)
{
    ASSERT_EQ(UsageLines.size(), 17u);
    int exitCode = -1;
    EXPECT_EQ(StderrWrites({"-h"}, &exitCode), UsageLines);
    EXPECT_EQ(exitCode, 0);
}

/* -? is a help request like -h. */
TEST(CommandLine, QuestionMarkShowsUsageAndExitsZero)
{
    EXPECT_EQ(RunServer({"-?"}), Exited(0, UsageText));
}

/* An unknown option is reported with the program name, then counts as a help request. */
TEST(CommandLine, IllegalOptionIsReportedThenUsage)
{
    EXPECT_EQ(RunServer({"-x"}), Exited(0, Illegal('x') + UsageText));
}

/* Each unknown option of a cluster is reported; the usage text comes once. */
TEST(CommandLine, EachIllegalOptionIsReported)
{
    EXPECT_EQ(RunServer({"--x", "-qy"}),
              Exited(0, Illegal('-') + Illegal('x') + Illegal('y') + UsageText));
}

/* A missing argument is reported with the program name, then counts as a help request. */
TEST(CommandLine, MissingArgumentIsReportedThenUsage)
{
    EXPECT_EQ(RunServer({"-t"}), Exited(0, MissingArgument('t') + UsageText));
    EXPECT_EQ(RunServer({"-q", "-a"}), Exited(0, MissingArgument('a') + UsageText));
}

/* Counts without a leading number are a usage error: usage text, exit code 2. */
TEST(CommandLine, CountsWithoutLeadingNumberAreAUsageError)
{
    EXPECT_EQ(RunServer({"-c", "x"}), Exited(2, UsageText));
    EXPECT_EQ(RunServer({"-c", ":2"}), Exited(2, UsageText));
}

/* A size below 256 is reported before the usage text, exit code 2. */
TEST(CommandLine, SizeBelowMinimumIsAUsageError)
{
    EXPECT_EQ(RunServer({"-s", "100"}), Exited(2, SizeTooSmall + UsageText));
    EXPECT_EQ(RunServer({"-s", "100-300"}), Exited(2, SizeTooSmall + UsageText));
}

/* A reversed size range is reported before the usage text, exit code 2. */
TEST(CommandLine, ReversedSizeRangeIsAUsageError)
{
    EXPECT_EQ(RunServer({"-s", "500-300"}), Exited(2, SizeReversed + UsageText));
}

/* One -s can break both rules; both messages come, in order. */
TEST(CommandLine, SizeRangeCanBreakBothRules)
{
    EXPECT_EQ(RunServer({"-s", "100-50"}), Exited(2, SizeTooSmall + SizeReversed + UsageText));
}

/* Messages come in the order of the options; the usage text comes last. */
TEST(CommandLine, MessagesFollowTheOrderOfTheOptions)
{
    EXPECT_EQ(RunServer({"-s", "100", "-x", "-s", "500-300", "-c", "x"}),
              Exited(0, SizeTooSmall + Illegal('x') + SizeReversed + UsageText));
}

/* A help request wins over usage errors, and the usage text comes once. */
TEST(CommandLine, HelpWinsOverUsageErrors)
{
    EXPECT_EQ(RunServer({"-h", "-c", "x"}), Exited(0, UsageText));
    EXPECT_EQ(RunServer({"-c", "x", "-h", "-?"}), Exited(0, UsageText));
}

/* With -p the usage path prompts on standard output and reads one line. */
TEST(CommandLine, PauseAfterHelpWaitsForOneLine)
{
    EXPECT_EQ(RunServer({"-p", "-h"}, "\n"), Exited(0, UsageText, EnterPrompt));
    EXPECT_EQ(RunServer({"-h", "-p"}, "some text\nmore\n"), Exited(0, UsageText, EnterPrompt));
}

/* The end of the input ends the pause, and the exit code stays that of the error. */
TEST(CommandLine, EndOfInputEndsThePause)
{
    EXPECT_EQ(RunServer({"-p", "-c", "x"}), Exited(2, UsageText, EnterPrompt));
    EXPECT_EQ(RunServer({"-p", "-h"}, "no newline"), Exited(0, UsageText, EnterPrompt));
}

/* A valid command line starts the service under its element name and draws
 * no message. */
TEST(CommandLine, ValidCommandLineStartsTheService)
{
    EXPECT_EQ(RunUntilSignal({}), Started("TestElement1"));
    EXPECT_EQ(RunUntilSignal({"-a", "y", "-c", "3:2", "-i", "0.5-2", "-s", "300-400", "-t", "5",
                              "-m", "id", "-q", "Elem", "P", "G", "extra"}),
              Started("Elem"));
}

/* Equal sizes from the minimum up pass. */
TEST(CommandLine, EqualSizesAtTheMinimumPass)
{
    EXPECT_EQ(RunUntilSignal({"-s", "256-256"}), Started("TestElement1"));
}

/* Arguments that carry no number are accepted as 0. */
TEST(CommandLine, TextWithoutNumbersIsAccepted)
{
    EXPECT_EQ(RunUntilSignal({"-t", "abc", "-i", "abc", "-c", "", "-a", "maybe"}),
              Started("TestElement1"));
}

/* After "--" option-like arguments are positional and draw no message. */
TEST(CommandLine, OptionsAfterDoubleDashArePositional)
{
    EXPECT_EQ(RunUntilSignal({"--", "-q"}), Started("-q"));
    EXPECT_EQ(RunUntilSignal({"--", "-x", "-h"}), Started("-x"));
}

/* Options after the first positional argument are positional and draw no message. */
TEST(CommandLine, OptionsAfterAPositionalArePositional)
{
    EXPECT_EQ(RunUntilSignal({"Elem", "-h"}), Started("Elem"));
    EXPECT_EQ(RunUntilSignal({"Elem", "-x", "-c", "x"}), Started("Elem"));
    EXPECT_EQ(RunUntilSignal({"-", "-t"}), Started("-"));
}

/* The first SIGUSR1 writes its line and ends the run normally. */
TEST(UserSignal, FirstOneEndsTheRunNormally)
{
    EXPECT_EQ(RunUntilSignal({"-q", "Elem"}), Started("Elem"));
}

/* A second SIGUSR1 is never caught again: the process ends by the first one's
 * orderly end or by the second signal's default action, with one line only. */
TEST(UserSignal, SecondOneIsNeverCaughtAgain)
{
    tfxtest::TempDir dir;
    tfxtest::ProcessOptions options;
    options.Env.emplace_back("QLX_DIR", dir.Path() + "/rt");
    tfxtest::Process process({Program, "-q", "Elem"}, options);
    ASSERT_TRUE(process.WaitForStdout("Waiting for message...\n", std::chrono::seconds(30)));
    process.Signal(SIGUSR1);
    process.Signal(SIGUSR1);
    tfxtest::ProcessResult result = process.Wait(std::chrono::seconds(60));
    EXPECT_FALSE(result.TimedOut);
    EXPECT_EQ(result.Stderr, "Interrupt received\n");
    bool endedNormally = result.ExitCode == 0 && result.Signal == 0;
    bool endedBySignal = result.ExitCode == -1 && result.Signal == SIGUSR1;
    EXPECT_TRUE(endedNormally || endedBySignal)
        << "exit code " << result.ExitCode << ", signal " << result.Signal;
}

} // namespace
