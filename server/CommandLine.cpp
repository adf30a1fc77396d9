#include "server/CommandLine.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "getopt/tfxgnuop.h"
#include "server/OptionValues.h"
#include "server/RunSettings.h"
#include "util/ConsoleInput.h"

static const char OptionList[] = "c:t:i:s:pm:a:q?h";

static const char *const UsageLines[] = {
    "Usage:\n\n",
    "    tfxsrvr [-a y|n] [-c rsps[:notifies]] [-q]\n",
    "            [-i interval] [-t timeout]\n",
    "            [-p]\n",
    "            [-m msg_id]\n",
    "            [ServiceElement] [Put Profile] [Get Profile]\n",
    "    -a y|n             - abort transaction and optionally send alert\n",
    "    -c rsps[:notifies] - number of normal and notify responses per request\n",
    "    -q                 - quiet mode\n",
    "    -i time            - interval before responding\n",
    "    -t timeout         - maximum time waiting for a message\n",
    "    -p                 - pauses before exit\n",
    "    -m msg_id          - used to wait for messages\n\n",
    "    Default for ServiceElement is TestElement1\n\n",
    "    Interval may be specified as:\n",
    "       n                         a constant value\n",
    "       start-end                 a pseudo-random pattern within the range\n",
    nullptr,
};

/* What one pass over the options found. */
struct ArgsState {
    int UsageErrors;
    int HelpRequests;
    int CountsGiven;
};

static void ApplyAlert(const char *arg, const ArgsState *state)
{
    if (!state->CountsGiven) {
        DataNormal = 0;
        DataNotify = 1;
    }
    if (tolower(static_cast<unsigned char>(arg[0])) == 'y')
        DataAlert = 1;
}

static void ApplyCounts(const char *arg, ArgsState *state)
{
    state->CountsGiven = 1;
    if (ScanIntPair(arg, ':', &DataNormal, &DataNotify) <= 0 && HasNonBlank(arg))
        ++state->UsageErrors;
}

static void ApplySizes(const char *arg, ArgsState *state)
{
    if (ScanIntPair(arg, '-', &DataMinSize, &DataMaxSize) != 2) {
        DataMinSize = TextToInt(arg);
        DataMaxSize = DataMinSize;
    }
    if (DataMinSize < 256 || DataMaxSize < 256) {
        fputs("Minimum Data size is 256\n", stderr);
        ++state->UsageErrors;
    }
    if (DataMinSize > DataMaxSize) {
        fputs("Minimum data size must be smaller than maximum data size\n", stderr);
        ++state->UsageErrors;
    }
}

static void ApplyOption(int option, const char *arg, ArgsState *state)
{
    switch (option) {
    case 'a':
        ApplyAlert(arg, state);
        break;
    case 'c':
        ApplyCounts(arg, state);
        break;
    case 'i':
        ReadInterval(arg, &DataMinWait, &DataMaxWait);
        break;
    case 'm':
        FormatMsgId(arg, DataMsgId);
        break;
    case 'p':
        Popups = 1;
        break;
    case 'q':
        DataQuiet = 1;
        break;
    case 's':
        ApplySizes(arg, state);
        break;
    case 't':
        DataTimeout = TextToInt(arg);
        break;
    case 'h':
    case '?':
        ++state->HelpRequests;
        break;
    default:
        break;
    }
}

static void ApplyPositional(int position, const char *arg)
{
    if (position == 1)
        ElementName = arg;
    else if (position == 2)
        PutProfile = arg;
    else if (position == 3)
        GetProfile = arg;
}

static void ShowUsageAndExit(const ArgsState *state)
{
    for (const char *const *line = UsageLines; *line != nullptr; ++line)
        fputs(*line, stderr);
    if (Popups) {
        /* "Client", though this is the server: the pause text as it has always read. */
        fputs("\nTraffic Client Ended Normally, press ENTER to end\n", stdout);
        WaitForEnter();
    }
    exit(state->HelpRequests ? 0 : 2);
}

void ProcessArgs(int argc, char **argv)
{
    ArgsState state{};
    int option;
    while ((option = tfx_getopt(argc, argv, OptionList)) != -1)
        ApplyOption(option, optarg, &state);
    for (int position = 1; optind < argc; ++position, ++optind)
        ApplyPositional(position, argv[optind]);
    if (state.UsageErrors == 0 && state.HelpRequests == 0)
        return;
    ShowUsageAndExit(&state);
}

/* The signals that end the run: the user signal, and Ctrl-C and kill, so that
 * a user who presses Ctrl-C still gets the summary. */
static const int EndingSignals[] = {SIGUSR1, SIGINT, SIGTERM};

void Interrupt(int signal)
{
    static const char Line[] = "Interrupt received\n";
    (void)signal;
    ssize_t written = write(STDERR_FILENO, Line, sizeof Line - 1);
    (void)written;
    Run = 0;
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (int ending : EndingSignals)
        (void)sigaction(ending, &fallback, nullptr);
}

void OutputClosed(int signal)
{
    (void)signal;
    OutputLost = 1;
    Run = 0;
}

void InstallInterrupt()
{
    struct sigaction action {};
    action.sa_handler = Interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int ending : EndingSignals)
        (void)sigaction(ending, &action, nullptr);
    struct sigaction closed {};
    closed.sa_handler = OutputClosed;
    sigemptyset(&closed.sa_mask);
    (void)sigaction(SIGPIPE, &closed, nullptr);
}
