#include "client/options/ClientOptions.h"

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/client/ClientUsageText.h"

namespace {

/* Parses a command line given as words, program name first added here. */
struct Parsed {
    ParseOutcome Outcome;
    ClientSettings Settings;
    std::string Errors;
};

Parsed Parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "tfxclnt");
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    Parsed parsed{ParseOutcome::Run, ClientSettings{}, ""};
    testing::internal::CaptureStderr();
    parsed.Outcome = ParseClientArgs(static_cast<int>(words.size()), argv.data(), &parsed.Settings,
                                     &parsed.Errors);
    (void)testing::internal::GetCapturedStderr();
    return parsed;
}

/* Without arguments every setting keeps its documented default. */
TEST(ClientOptions, DefaultsWithoutArguments)
{
    Parsed parsed = Parse({});
    ASSERT_EQ(parsed.Outcome, ParseOutcome::Run);
    const ClientSettings &s = parsed.Settings;
    EXPECT_EQ(s.Element, "TestElement1");
    EXPECT_EQ(s.Count, 1000u);
    EXPECT_TRUE(s.CountLimited);
    EXPECT_EQ(s.Duration, 0.0);
    EXPECT_EQ(s.Connections, 1u);
    EXPECT_EQ(s.Window, 1u);
    EXPECT_EQ(s.Rate, 0.0);
    EXPECT_EQ(s.SizeMin, 128u);
    EXPECT_EQ(s.SizeMax, 128u);
    EXPECT_EQ(s.DatagramPercent, 0.0);
    EXPECT_FALSE(s.MsgIdGiven);
    EXPECT_EQ(s.Timeout, 5.0);
    EXPECT_FALSE(s.SeedGiven);
    EXPECT_EQ(s.Percentiles, (std::vector<double>{50, 90, 99, 99.9}));
    EXPECT_EQ(s.Warmup, 0.0);
    EXPECT_TRUE(s.JsonPath.empty());
    EXPECT_TRUE(s.Thresholds.empty());
    EXPECT_FALSE(s.Verify);
    EXPECT_EQ(s.ExpectMax, 0u);
    EXPECT_FALSE(s.Verbose);
    EXPECT_FALSE(s.ForceProgress);
    EXPECT_FALSE(s.NoProgress);
    EXPECT_FALSE(s.StopRequest);
}

/* Every option lands in its setting. */
TEST(ClientOptions, EveryOptionSetsItsSetting)
{
    Parsed parsed = Parse({"-n",    "20",
                           "-d",    "1.5",
                           "-k",    "3",
                           "-w",    "64",
                           "-s",    "100-200",
                           "-g",    "12.5",
                           "-m",    "abc",
                           "-t",    "0.25",
                           "-S",    "42",
                           "-W",    "2",
                           "-p",    "50,99.99",
                           "-o",    "out.json",
                           "-A",    "p99<5ms,timeouts=0",
                           "-e",    "300-400",
                           "-N",    "3",
                           "-vPqx", "E7"});
    ASSERT_EQ(parsed.Outcome, ParseOutcome::Run) << parsed.Errors;
    const ClientSettings &s = parsed.Settings;
    EXPECT_EQ(s.Element, "E7");
    EXPECT_EQ(s.Count, 20u);
    EXPECT_TRUE(s.CountLimited);
    EXPECT_EQ(s.Duration, 1.5);
    EXPECT_EQ(s.Connections, 3u);
    EXPECT_EQ(s.Window, 64u);
    EXPECT_EQ(s.SizeMin, 100u);
    EXPECT_EQ(s.SizeMax, 200u);
    EXPECT_EQ(s.DatagramPercent, 12.5);
    EXPECT_TRUE(s.MsgIdGiven);
    EXPECT_EQ(s.Timeout, 0.25);
    EXPECT_EQ(s.Seed, 42u);
    EXPECT_TRUE(s.SeedGiven);
    EXPECT_EQ(s.Warmup, 2.0);
    EXPECT_EQ(s.Percentiles, (std::vector<double>{50, 99.99}));
    EXPECT_EQ(s.JsonPath, "out.json");
    ASSERT_EQ(s.Thresholds.size(), 2u);
    EXPECT_EQ(s.Thresholds[0].Text, "p99<5ms");
    EXPECT_EQ(s.Thresholds[1].Text, "timeouts=0");
    EXPECT_TRUE(s.Verify);
    EXPECT_EQ(s.ExpectMin, 300u);
    EXPECT_EQ(s.ExpectMax, 400u);
    EXPECT_EQ(s.Repeats, 3u);
    EXPECT_TRUE(s.Verbose);
    EXPECT_TRUE(s.ForceProgress);
    EXPECT_TRUE(s.NoProgress);
    EXPECT_TRUE(s.StopRequest);
}

/* Counts and rates take k and M, durations ms, s and m, in every option
 * that reads one. */
TEST(ClientOptions, EveryOptionTakesTheUnitsOfItsKind)
{
    Parsed parsed = Parse({"-n", "1.5k", "-d", "2m", "-k", "0.1k", "-w", "1k", "-r", "2.5M", "-t",
                           "250ms", "-W", "0.5s", "-A", "tps>10k"});
    ASSERT_EQ(parsed.Outcome, ParseOutcome::Run) << parsed.Errors;
    const ClientSettings &s = parsed.Settings;
    EXPECT_EQ(
        (std::vector<double>{double(s.Count), s.Duration, double(s.Connections), double(s.Window),
                             s.Rate, s.Timeout, s.Warmup, s.Thresholds.at(0).Limit}),
        (std::vector<double>{1500, 120, 100, 1000, 2.5e6, 0.25, 0.5, 1e4}));
}

/* The message id is formatted as the server formats its own: 23
 * characters, blank-filled, then a zero byte. */
TEST(ClientOptions, MessageIdIsBlankFilledTo23Characters)
{
    Parsed parsed = Parse({"-m", "abc"});
    char expected[24];
    memset(expected, ' ', 23);
    memcpy(expected, "abc", 3);
    expected[23] = '\0';
    EXPECT_EQ(memcmp(parsed.Settings.MsgId, expected, 24), 0);
    Parsed longId = Parse({"-m", "0123456789012345678901234567"});
    EXPECT_EQ(std::string(longId.Settings.MsgId), "01234567890123456789012");
}

/* A duration alone runs for that time: the count is no longer a limit. */
TEST(ClientOptions, DurationWithoutCountRemovesTheCountLimit)
{
    EXPECT_FALSE(Parse({"-d", "3"}).Settings.CountLimited);
    EXPECT_TRUE(Parse({"-d", "3", "-n", "10"}).Settings.CountLimited);
}

/* An open loop, a sweep's too, gets a wide window unless one is given. */
TEST(ClientOptions, RateWidensTheDefaultWindow)
{
    EXPECT_EQ(Parse({"-r", "100"}).Settings.Window, 1024u);
    Parsed sweep = Parse({"-R", "1k:2k:1k", "-d", "1"});
    EXPECT_TRUE(sweep.Settings.SweepGiven);
    EXPECT_EQ(sweep.Settings.Sweep.Stop, 2000.0);
    EXPECT_EQ(sweep.Settings.Window, 1024u);
    EXPECT_EQ(Parse({"-r", "100", "-w", "8"}).Settings.Window, 8u);
    EXPECT_EQ(Parse({"-w", "8", "-r", "100"}).Settings.Window, 8u);
}

/* An agent serves each of its runs live, a controller the merged run. */
TEST(ClientOptions, AgentsAndControllersServeLive)
{
    EXPECT_EQ(Parse({"-q", "-l", "9465", "-a", "g"}).Outcome, ParseOutcome::Run);
    EXPECT_EQ(Parse({"-l", "9465", "-D", "g:2", "-d", "5"}).Outcome, ParseOutcome::Run);
}

/* -e implies verification. */
TEST(ClientOptions, ExpectedSizeTurnsVerificationOn)
{
    Parsed parsed = Parse({"-e", "300"});
    EXPECT_TRUE(parsed.Settings.Verify);
    EXPECT_EQ(parsed.Settings.ExpectMin, 300u);
    EXPECT_EQ(parsed.Settings.ExpectMax, 300u);
}

/* -h and -? ask for help, which wins over mistakes. */
TEST(ClientOptions, HelpWinsOverMistakes)
{
    EXPECT_EQ(Parse({"-h"}).Outcome, ParseOutcome::Help);
    EXPECT_EQ(Parse({"-?"}).Outcome, ParseOutcome::Help);
    EXPECT_EQ(Parse({"-w", "0", "-h"}).Outcome, ParseOutcome::Help);
    EXPECT_EQ(Parse({"-w", "0", "--help", "E1"}).Outcome, ParseOutcome::LongHelp);
    EXPECT_EQ(Parse({"-n", "5", "--version"}).Outcome, ParseOutcome::Version);
}

/* An unknown option or a missing argument is a usage error, not help. */
TEST(ClientOptions, UnknownOptionIsAUsageError)
{
    EXPECT_EQ(Parse({"-z"}).Outcome, ParseOutcome::UsageError);
    EXPECT_EQ(Parse({"-n"}).Outcome, ParseOutcome::UsageError);
}

struct MistakeCase {
    std::vector<std::string> Words;
    std::string Errors;
};

/* Names the case by its command line in test listings. */
void PrintTo(const MistakeCase &c, std::ostream *out)
{
    for (const std::string &word : c.Words)
        *out << word << ' ';
}

const std::string CountRule =
    "the count must be a whole number, with k or M for thousands or millions (10k)\n";
const std::string RateRule = "the rate must be messages per second from 0.001 to 1e9, with k or "
                             "M for thousands or millions (10k)\n";

class ClientOptionMistakes : public testing::TestWithParam<MistakeCase> {};

/* Each mistake is named with its option and value, and what is accepted. */
TEST_P(ClientOptionMistakes, SayWhatWasWrongAndWhatIsAccepted)
{
    Parsed parsed = Parse(GetParam().Words);
    EXPECT_EQ(parsed.Outcome, ParseOutcome::UsageError);
    EXPECT_EQ(parsed.Errors, GetParam().Errors);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientOptionMistakes,
    testing::Values(
        MistakeCase{{"-n", "x"}, "tfxclnt: -n x: " + CountRule},
        MistakeCase{{"-n", "-5"}, "tfxclnt: -n -5: " + CountRule},
        MistakeCase{{"-n", "1.0005k"}, "tfxclnt: -n 1.0005k: " + CountRule},
        MistakeCase{{"-w", "0"},
                    "tfxclnt: -w 0: the window must be a whole number from 1 to 65536\n"},
        MistakeCase{{"-w", "65537"},
                    "tfxclnt: -w 65537: the window must be a whole number from 1 to 65536\n"},
        MistakeCase{{"-k", "201"},
                    "tfxclnt: -k 201: the connections must be a whole number from 1 to 200\n"},
        MistakeCase{{"-r", "0"}, "tfxclnt: -r 0: " + RateRule},
        MistakeCase{{"-d", "5h"},
                    "tfxclnt: -d 5h: the duration must be seconds, or a number with ms, s or m "
                    "(1.5m)\n"},
        MistakeCase{{"-g", "101"},
                    "tfxclnt: -g 101: the datagram share must be a percentage from 0 to 100\n"},
        MistakeCase{{"-t", "0"},
                    "tfxclnt: -t 0: the timeout must be seconds from 0.001 to 3600, or a number "
                    "with ms, s or m\n"},
        MistakeCase{{"-W", "61m"},
                    "tfxclnt: -W 61m: the warm-up must be seconds from 0 to 3600, or a number "
                    "with ms, s or m\n"},
        MistakeCase{{"-s", "300-100"},
                    "tfxclnt: -s 300-100: give n or min-max bytes, each at most 1048576 (1 MiB, "
                    "the most a qlx service takes in one request), min not above max\n"},
        MistakeCase{{"-s", "3000000"},
                    "tfxclnt: -s 3000000: give n or min-max bytes, each at most 1048576 (1 MiB, "
                    "the most a qlx service takes in one request), min not above max\n"},
        MistakeCase{{"-A", "failed=0"},
                    "tfxclnt: -A failed=0: failed counts replies that failed their checks; give "
                    "-V too\n"},
        MistakeCase{{"-e", "0"},
                    "tfxclnt: -e 0: give n or min-max bytes, each from 1 to 8388608, min not "
                    "above max\n"},
        MistakeCase{{"-p", "50,101"},
                    "tfxclnt: -p 50,101: give up to 32 percentiles from 0 to 100, "
                    "separated by commas\n"},
        MistakeCase{{"-o", ""}, "tfxclnt: -o '': give the name of the file to write\n"},
        MistakeCase{{"-A", "p99<5"},
                    "tfxclnt: -A p99<5: '5' is not a latency; give a number and a unit "
                    "(ns, us, ms, s or m), at most an hour\n"},
        MistakeCase{{"-R", "5:1", "-d", "1"},
                    "tfxclnt: -R 5:1: the stop rate must be above the start rate\n"},
        MistakeCase{{"-N", "0"}, "tfxclnt: -N 0: the runs must be a whole number from 1 to 100\n"},
        MistakeCase{{"-R", "1:5", "-r", "2", "-n", "9", "-N", "1", "-H", "h"},
                    "tfxclnt: -R and -r: a sweep sets the rate of each step; give one of them\n"
                    "tfxclnt: -R and -n: each step sends for -d seconds; leave -n out\n"
                    "tfxclnt: -R: give -d, the seconds each step sends for\n"
                    "tfxclnt: -N 1: a search confirms each step by a repeat; give -N 2 or more\n"
                    "tfxclnt: -H: the histogram file holds a single run; leave it out with -R "
                    "or -N\n"},
        MistakeCase{{"-l", ":9465"},
                    "tfxclnt: -l :9465: give the address in full (0.0.0.0:9464 for every "
                    "interface), or a bare port for 127.0.0.1\n"},
        MistakeCase{{"-a", "g", "-l", "9465", "-n", "5"},
                    "tfxclnt: -a: an agent takes its runs from the controller (-D); give only "
                    "-q, -P, -v and -l with it\n"},
        MistakeCase{{"-l", "9465", "-N", "2"},
                    "tfxclnt: -l: the live metrics are of a single run; leave it out with -R or "
                    "-N\n"},
        MistakeCase{{"E1", "E2"},
                    "tfxclnt: E2: unexpected argument; options come before the one "
                    "ServiceElement\n"},
        MistakeCase{{"-k", "200", "-w", "65536"},
                    "tfxclnt: -k 200 -w 65536: at most 1048576 transactions may "
                    "be outstanding in all\n"},
        MistakeCase{{"-w", "0", "-k", "0"},
                    "tfxclnt: -w 0: the window must be a whole number from 1 to 65536\n"
                    "tfxclnt: -k 0: the connections must be a whole number from 1 to 200\n"}));

/* -M takes the results up to the next option, whose options count too, and
 * after "--" every argument as a result. */
TEST(ClientOptions, MergeTakesResultsUpToTheNextOption)
{
    Parsed parsed = Parse({"-M", "a.json", "b.json", "-o", "m.json", "c.json", "--", "-d.json"});
    ASSERT_EQ(parsed.Outcome, ParseOutcome::Run) << parsed.Errors;
    EXPECT_EQ(parsed.Settings.MergeFiles,
              (std::vector<std::string>{"a.json", "b.json", "c.json", "-d.json"}));
    EXPECT_EQ(parsed.Settings.JsonPath, "m.json");
}

/* The usage text is one table, whole and in order. */
TEST(ClientOptions, UsageTextIsTheTable)
{
    std::string text;
    for (const char *const *line = ClientUsageLines; *line != nullptr; ++line)
        text += *line;
    EXPECT_EQ(text, ClientUsageText);
}

/* A second parse starts from the first argument again. */
TEST(ClientOptions, ParsingTwiceScansFromTheStart)
{
    EXPECT_EQ(Parse({"-n", "7"}).Settings.Count, 7u);
    EXPECT_EQ(Parse({"-n", "8"}).Settings.Count, 8u);
}

} // namespace
