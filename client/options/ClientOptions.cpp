#include "client/options/ClientOptions.h"

#include <cstdio>
#include <cstring>

#include "client/values/ValueParsing.h"
#include "metrics/MetricsListener.h"
#include "getopt/tfxgnuop.h"

static const char OptionList[] = "n:d:k:w:r:R:N:s:g:m:t:S:p:W:o:H:A:e:a:D:l:VvPqxMh?";

enum : uint64_t { MaxOutstanding = 1u << 20 };

const char *const ClientUsageLines[] = {
    "Usage:\n\n",
    "    tfxclnt [-n count] [-d seconds] [-k connections] [-w window] [-r rate]\n",
    "            [-s size] [-g percent] [-m msg_id] [-t timeout] [-S seed]\n",
    "            [-W seconds] [-p percentiles] [-A conditions] [-o file] [-H file]\n",
    "            [-V] [-e size] [-v] [-P] [-q] [-x] [-l address]\n",
    "            [-R start:stop[:step]] [-N runs]\n",
    "            [ServiceElement]\n",
    "    tfxclnt [-p percentiles] [-A conditions] [-o file] [-H file] -M result...\n",
    "    tfxclnt [-q] -a group\n",
    "    tfxclnt -D group:agents [the options of a run] [ServiceElement]\n",
    "    tfxclnt --help | --version\n",
    "    -n count           - messages to send after the warm-up (default 1000, no limit with "
    "-d)\n",
    "    -d seconds         - time to send for after the warm-up (default no limit)\n",
    "    -k connections     - connections to the service element (default 1)\n",
    "    -w window          - transactions outstanding per connection (default 1, 1024 with -r)\n",
    "    -r rate            - messages per second over all connections, datagrams included\n"
    "                         (default closed loop)\n",
    "    -R start:stop:step - sweep the rate up, -d seconds a step, until a step fails\n",
    "    -R start:stop      - search the highest rate that meets the conditions, within 2%\n",
    "    -N runs            - repeat the run (or each step) with fresh connections\n",
    "    -s size            - request data size in bytes, at most 1048576 (default 128)\n",
    "    -g percent         - share of datagrams among the messages (default 0)\n",
    "    -m msg_id          - message id sent with every message\n",
    "    -t timeout         - seconds before a transaction times out (default 5)\n",
    "    -S seed            - seed of the size generator (default from the clock)\n",
    "    -W seconds         - warm-up, reported apart from the figures (default 0)\n",
    "    -p percentiles     - latency percentiles to show (default 50,90,99,99.9)\n",
    "    -A conditions      - pass conditions, e.g. p99<5ms,timeouts=0,refused=0\n",
    "    -o file            - write the whole result as JSON\n",
    "    -H file            - write the latency histogram as HdrHistogram's text (us)\n",
    "    -l address         - serve the run live to Prometheus at port (127.0.0.1) or\n"
    "                         address:port, GET /metrics\n",
    "    -V                 - verify every reply: tag, size, message id\n",
    "    -e size            - reply size of a server run with -s (implies -V)\n",
    "    -v                 - print every message and reply\n",
    "    -P                 - progress every second even when not on a terminal\n",
    "    -q                 - no progress lines\n",
    "    -x                 - send the stop request at the end (with -n 0 only that)\n",
    "    -M                 - merge the JSON results (-o) of runs made on several hosts\n",
    "    -a group           - serve as an agent of group: run the runs its controllers send\n",
    "    -D group:agents    - run on that many agents of group, as one run; -n and -r are\n"
    "                         split among them, -k and -w apply to each\n\n",
    "    Default for ServiceElement is TestElement1\n\n",
    "    Size may be specified as:\n",
    "       n                         a constant value\n",
    "       min-max                   a pseudo-random size within the range\n\n",
    "    Counts and rates take k or M (10k, 1.5M); seconds take ms, s or m (2m).\n\n",
    "    A run under -r achieves at least 98% of its rate, unless -A has a\n",
    "    condition on tps or mps. A step of -R meets the conditions of -A;\n",
    "    without -A, it has no timeouts, no refusals, achieves at least 98% of\n",
    "    its rate, and its p99 is at most twice the p99 of the first step.\n",
    nullptr,
};

/* What one pass over the options found, beyond the settings. */
struct ArgsState {
    std::string *Errors;
    int HelpRequests;
    int UsageErrors;
    bool CountGiven;
    bool WindowGiven;
    std::string Given; /* the options given, in order */
};

static void Mistake(ArgsState *state, char option, const char *arg, const char *what)
{
    *state->Errors += std::string("tfxclnt: -") + option + " " + arg + ": " + what + "\n";
    ++state->UsageErrors;
}

static void ReadCount(ArgsState *state, char option, const char *arg, uint64_t low, uint64_t high,
                      const char *what, uint64_t *value)
{
    if (!ParseCount(arg, low, high, value))
        Mistake(state, option, arg, what);
}

static void ReadRate(ArgsState *state, char option, const char *arg, const char *what,
                     double *value)
{
    if (!ParseRate(arg, 0.001, 1e9, value))
        Mistake(state, option, arg, what);
}

static void ReadSeconds(ArgsState *state, char option, const char *arg, double low, double high,
                        const char *what, double *value)
{
    if (!ParseDuration(arg, BareDuration::Seconds, low, high, value))
        Mistake(state, option, arg, what);
}

static void ReadPercent(ArgsState *state, const char *arg, double *value)
{
    if (!ParseDecimal(arg, 0.0, 100.0, value))
        Mistake(state, 'g', arg, "the datagram share must be a percentage from 0 to 100");
}

static void ReadThresholds(ArgsState *state, const char *arg, ClientSettings *settings)
{
    std::string error;
    if (ParseThresholds(arg, &settings->Thresholds, &error))
        return;
    *state->Errors += "tfxclnt: " + error + "\n";
    ++state->UsageErrors;
}

static void ReadMetricsAddress(ArgsState *state, const char *arg, ClientSettings *settings)
{
    sockaddr_in address{};
    const char *why = nullptr;
    if (!ParseMetricsAddress(arg, &address, &why))
        Mistake(state, 'l', arg, why);
    settings->MetricsAddress = arg;
}

static void ReadRateRange(ArgsState *state, const char *arg, ClientSettings *settings)
{
    std::string error;
    if (ParseRateRange(arg, &settings->Sweep, &error))
        settings->SweepGiven = true;
    else
        Mistake(state, 'R', arg, error.c_str());
}

static void ReadNumbers(int option, const char *arg, ClientSettings *settings, ArgsState *state)
{
    uint64_t number = 0;
    char name = static_cast<char>(option);
    switch (option) {
    case 'n':
        ReadCount(state, name, arg, 0, UINT64_MAX,
                  "the count must be a whole number, with k or M for thousands or millions (10k)",
                  &settings->Count);
        state->CountGiven = true;
        break;
    case 'k':
        ReadCount(state, name, arg, 1, MaxConnections,
                  "the connections must be a whole number from 1 to 200", &number);
        settings->Connections = number != 0 ? static_cast<uint32_t>(number) : settings->Connections;
        break;
    case 'w':
        ReadCount(state, name, arg, 1, MaxWindow,
                  "the window must be a whole number from 1 to 65536", &number);
        settings->Window = number != 0 ? static_cast<uint32_t>(number) : settings->Window;
        state->WindowGiven = true;
        break;
    case 'S':
        if (!ParseUnsigned(arg, 0, UINT64_MAX, &settings->Seed))
            Mistake(state, name, arg, "the seed must be a whole number");
        settings->SeedGiven = true;
        break;
    case 'd':
        ReadSeconds(state, name, arg, 0.0, 1e7,
                    "the duration must be seconds, or a number with ms, s or m (1.5m)",
                    &settings->Duration);
        break;
    case 'r':
        ReadRate(state, name, arg,
                 "the rate must be messages per second from 0.001 to 1e9, with k or M for "
                 "thousands or millions (10k)",
                 &settings->Rate);
        break;
    case 'g':
        ReadPercent(state, arg, &settings->DatagramPercent);
        break;
    case 't':
        ReadSeconds(state, name, arg, 0.001, 3600.0,
                    "the timeout must be seconds from 0.001 to 3600, or a number with ms, s or m",
                    &settings->Timeout);
        break;
    case 'W':
        ReadSeconds(state, name, arg, 0.0, 3600.0,
                    "the warm-up must be seconds from 0 to 3600, or a number with ms, s or m",
                    &settings->Warmup);
        break;
    case 'N':
        ReadCount(state, name, arg, 1, MaxRepeats, "the runs must be a whole number from 1 to 100",
                  &number);
        settings->Repeats = static_cast<uint32_t>(number);
        break;
    default:
        break;
    }
}

static void ReadText(int option, const char *arg, ClientSettings *settings, ArgsState *state)
{
    switch (option) {
    case 's':
        if (!ParseSizeRange(arg, MaxRequestSize, &settings->SizeMin, &settings->SizeMax))
            Mistake(state, 's', arg,
                    "give n or min-max bytes, each at most 1048576 (1 MiB, the most a qlx "
                    "service takes in one request), min not above max");
        break;
    case 'e':
        settings->Verify = true;
        if (!ParseSizeRange(arg, MaxReplySize, &settings->ExpectMin, &settings->ExpectMax) ||
            settings->ExpectMin == 0)
            Mistake(state, 'e', arg,
                    "give n or min-max bytes, each from 1 to 8388608, min not above max");
        break;
    case 'p':
        if (!ParsePercentiles(arg, &settings->Percentiles))
            Mistake(state, 'p', arg,
                    "give up to 32 percentiles from 0 to 100, separated by commas");
        break;
    case 'm':
        (void)snprintf(settings->MsgId, sizeof settings->MsgId, "%-*.*s", 23, 23, arg);
        settings->MsgIdGiven = true;
        break;
    case 'o':
        if (*arg == '\0')
            Mistake(state, 'o', "''", "give the name of the file to write");
        settings->JsonPath = arg;
        break;
    case 'H':
        if (*arg == '\0')
            Mistake(state, 'H', "''", "give the name of the file to write");
        settings->HistogramPath = arg;
        break;
    case 'A':
        ReadThresholds(state, arg, settings);
        break;
    case 'l':
        ReadMetricsAddress(state, arg, settings);
        break;
    case 'R':
        ReadRateRange(state, arg, settings);
        break;
    case 'a':
        if (!ParseAgentGroup(arg, &settings->AgentGroup))
            Mistake(state, 'a', arg, "give a group name of 1 to 64 letters, digits, _ and -");
        break;
    case 'D':
        if (!ParseAgentCount(arg, &settings->ControlGroup, &settings->ControlAgents))
            Mistake(state, 'D', arg,
                    "give group:agents, a group name of 1 to 64 letters, digits, _ and - and "
                    "1 to 1000 agents");
        break;
    default:
        ReadNumbers(option, arg, settings, state);
        break;
    }
}

static void ApplyOption(int option, const char *arg, ClientSettings *settings, ArgsState *state)
{
    switch (option) {
    case 'V':
        settings->Verify = true;
        break;
    case 'v':
        settings->Verbose = true;
        break;
    case 'P':
        settings->ForceProgress = true;
        break;
    case 'q':
        settings->NoProgress = true;
        break;
    case 'x':
        settings->StopRequest = true;
        break;
    case 'M':
        settings->Merge = true;
        break;
    case 'h':
        ++state->HelpRequests;
        break;
    case '?':
        /* The scanner sets optopt only for a mistake; "-?" itself leaves it. */
        if (optopt == 0)
            ++state->HelpRequests;
        else
            ++state->UsageErrors;
        break;
    default:
        ReadText(option, arg, settings, state);
        break;
    }
}

static void Conflict(ArgsState *state, const char *what)
{
    *state->Errors += std::string("tfxclnt: ") + what + "\n";
    ++state->UsageErrors;
}

/* What a sweep or repeated runs leave no room for. */
static void CheckSweep(const ClientSettings &settings, ArgsState *state)
{
    if (settings.SweepGiven && settings.Rate > 0.0)
        Conflict(state, "-R and -r: a sweep sets the rate of each step; give one of them");
    if (settings.SweepGiven && state->CountGiven)
        Conflict(state, "-R and -n: each step sends for -d seconds; leave -n out");
    if (settings.SweepGiven && settings.Duration <= 0.0)
        Conflict(state, "-R: give -d, the seconds each step sends for");
    if (settings.SweepGiven && settings.Sweep.Search() && settings.Repeats == 1)
        Conflict(state, "-N 1: a search confirms each step by a repeat; give -N 2 or more");
    if (!settings.HistogramPath.empty() && (settings.SweepGiven || settings.Repeats > 1))
        Conflict(state, "-H: the histogram file holds a single run; leave it out with -R or -N");
    if (!settings.MetricsAddress.empty() && (settings.SweepGiven || settings.Repeats > 1))
        Conflict(state, "-l: the live metrics are of a single run; leave it out with -R or -N");
}

/* A condition on failed checks needs the checks: without -V it would be met
 * by nothing checked. (Merged results carry the checks of their runs.) */
static void CheckConditions(const ClientSettings &settings, ArgsState *state)
{
    for (const Threshold &threshold : settings.Thresholds)
        if (threshold.Figure == "failed" && !settings.Verify && !settings.Merge)
            Conflict(state, ("-A " + threshold.Text +
                             ": failed counts replies that failed their checks; give -V too")
                                .c_str());
}

/* An agent takes its runs from its controllers; merged results are not
 * made on agents. */
static void CheckAgents(const ClientSettings &settings, ArgsState *state)
{
    if (!settings.AgentGroup.empty() &&
        state->Given.find_first_not_of("aqPvl") != std::string::npos)
        Conflict(state, "-a: an agent takes its runs from the controller (-D); give only -q, -P, "
                        "-v and -l with it");
    if (!settings.ControlGroup.empty() && settings.Merge)
        Conflict(state, "-D and -M: merge results without agents; give one of them");
}

/* Rules between options, checked once all of them are read. */
static void SettleSettings(ClientSettings *settings, ArgsState *state)
{
    if (settings->Duration > 0.0 && !state->CountGiven)
        settings->CountLimited = false;
    if ((settings->Rate > 0.0 || settings->SweepGiven) && !state->WindowGiven)
        settings->Window = OpenLoopWindow;
    CheckSweep(*settings, state);
    CheckConditions(*settings, state);
    CheckAgents(*settings, state);
    if (uint64_t{settings->Connections} * settings->Window > MaxOutstanding) {
        *state->Errors += "tfxclnt: -k " + std::to_string(settings->Connections) + " -w " +
                          std::to_string(settings->Window) +
                          ": at most 1048576 transactions may be outstanding in all\n";
        ++state->UsageErrors;
    }
}

/* Scans the options of argv from argv[1] on; optind is left at the first
 * argument that is not one. */
static void ScanOptions(int argc, char **argv, ClientSettings *settings, ArgsState *state)
{
    optind = 0;
    for (;;) {
        optopt = 0;
        int option = tfx_getopt(argc, argv, OptionList);
        if (option == -1)
            return;
        state->Given += static_cast<char>(option);
        ApplyOption(option, optarg, settings, state);
    }
}

/* -M: the results from optind on, each run of them up to the next option,
 * whose options are scanned in turn; after "--" every argument is a result. */
static void ReadMergeFiles(int argc, char **argv, ClientSettings *settings, ArgsState *state)
{
    int next = optind;
    while (next < argc) {
        bool optionsOver = next > 1 && strcmp(argv[next - 1], "--") == 0;
        for (; next < argc && (optionsOver || argv[next][0] != '-' || argv[next][1] == '\0');
             ++next)
            settings->MergeFiles.emplace_back(argv[next]);
        if (next == argc)
            break;
        std::vector<char *> rest{argv[0]};
        rest.insert(rest.end(), argv + next, argv + argc);
        rest.push_back(nullptr);
        ScanOptions(static_cast<int>(rest.size()) - 1, rest.data(), settings, state);
        next += optind - 1;
    }
    optind = argc;
}

/* -M: the results to merge in place of ServiceElement, with only the options
 * that apply to a result. */
static void ReadMergeArgs(int argc, char **argv, ClientSettings *settings, ArgsState *state)
{
    ReadMergeFiles(argc, argv, settings, state);
    for (char option : state->Given) {
        if (std::string("MpAoH?h").find(option) != std::string::npos)
            continue;
        *state->Errors += std::string("tfxclnt: -") + option +
                          ": does not go with -M, which takes only -p, -A, -o and -H\n";
        ++state->UsageErrors;
    }
    if (!settings->MergeFiles.empty())
        return;
    *state->Errors += "tfxclnt: -M: give the JSON results to merge\n";
    ++state->UsageErrors;
}

/* --help and --version, which the scanner of single-letter options does not
 * know; either one, anywhere before "--", wins over the rest. */
static bool LongOption(int argc, char **argv, const char *name)
{
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], name) == 0)
            return true;
    return false;
}

ParseOutcome ParseClientArgs(int argc, char **argv, ClientSettings *settings, std::string *errors)
{
    if (LongOption(argc, argv, "--help"))
        return ParseOutcome::LongHelp;
    if (LongOption(argc, argv, "--version"))
        return ParseOutcome::Version;
    ArgsState state{errors, 0, 0, false, false, ""};
    ScanOptions(argc, argv, settings, &state);
    if (settings->Merge)
        ReadMergeArgs(argc, argv, settings, &state);
    else if (optind < argc)
        settings->Element = argv[optind++];
    for (; optind < argc; ++optind) {
        *errors += std::string("tfxclnt: ") + argv[optind] +
                   ": unexpected argument; options come before the one ServiceElement\n";
        ++state.UsageErrors;
    }
    SettleSettings(settings, &state);
    if (state.HelpRequests != 0)
        return ParseOutcome::Help;
    return state.UsageErrors != 0 ? ParseOutcome::UsageError : ParseOutcome::Run;
}
