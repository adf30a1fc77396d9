/* tfxclnt: the traffic client. Drives a service element with transactions
 * and datagrams at a chosen concurrency or rate, checks every reply, and
 * reports what it saw: a summary on standard output, progress on standard
 * error, and on request the whole result as JSON and the latency histogram
 * as HdrHistogram's text. */
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "binding/tfxcodes.h"
#include "client/agents/Agent.h"
#include "client/options/ClientOptions.h"
#include "client/agents/Controller.h"
#include "client/results/JsonReport.h"
#include "client/metrics/LiveMetrics.h"
#include "client/results/OutputFile.h"
#include "client/results/PercentileDistribution.h"
#include "client/traffic/RandomSource.h"
#include "client/results/ResultMerge.h"
#include "client/results/RunResult.h"
#include "client/results/RunVerdict.h"
#include "client/reports/SummaryReport.h"
#include "client/sweep/Sweep.h"
#include "client/reports/SweepReport.h"
#include "client/options/Thresholds.h"
#include "client/traffic/TrafficRun.h"
#include "client/values/FigureText.h"
#include "util/Clock.h"

/* SIGINT, SIGTERM and SIGUSR1: the first stops sending and lets the run
 * finish, the second ends it at once with what it has; a third takes the
 * default action, should the end itself hang. */
static StopFlag Interrupted{0}; /* how many came, up to 2 */
static volatile sig_atomic_t FirstSignal = 0;
static const int RunSignals[] = {SIGINT, SIGTERM, SIGUSR1};
/* -l: how long the end of a run waits for a scrape to read its last figures. */
static const uint32_t LiveLingerMs = 15000;

static void Say(const char *line, size_t length)
{
    ssize_t written = write(STDERR_FILENO, line, length);
    (void)written;
}

static void Interrupt(int signal)
{
    static const char First[] = "Interrupt received\n";
    static const char Second[] = "Second interrupt: ending at once\n";
    if (Interrupted == 0) {
        FirstSignal = signal;
        Interrupted = 1;
        Say(First, sizeof First - 1);
        return;
    }
    Interrupted = 2;
    Say(Second, sizeof Second - 1);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (int each : RunSignals)
        (void)sigaction(each, &action, nullptr);
}

/* Waits are not restarted, so the run notices at the next pass. */
static void InstallInterrupt()
{
    struct sigaction action {};
    action.sa_handler = Interrupt;
    sigemptyset(&action.sa_mask);
    for (int each : RunSignals)
        (void)sigaddset(&action.sa_mask, each);
    for (int each : RunSignals)
        (void)sigaction(each, &action, nullptr);
}

/* The usage text; --help writes it to standard output, so that it pages. */
static void PrintUsage(FILE *stream)
{
    for (const char *const *line = ClientUsageLines; *line != nullptr; ++line)
        fputs(*line, stream);
}

/* -o and -H: each made ready before the run and written at its end. */
static OutputFile JsonFile;
static OutputFile HistogramFile;

/* Makes the output file named with option ready; true when none is asked
 * for or it can take its result, false after saying why not. */
static bool PrepareOutput(char option, const std::string &path, OutputFile *file)
{
    std::string error;
    if (path.empty() || file->Prepare(path, &error))
        return true;
    fprintf(stderr, "tfxclnt: -%c %s\n", option, error.c_str());
    return false;
}

/* Both output files, before the run: false after saying what is wrong. */
static bool PrepareOutputs(const ClientSettings &settings)
{
    if (!PrepareOutput('o', settings.JsonPath, &JsonFile) ||
        !PrepareOutput('H', settings.HistogramPath, &HistogramFile))
        return false;
    if (!JsonFile.SamePlace(HistogramFile))
        return true;
    fprintf(stderr, "tfxclnt: -o %s and -H %s name the same file: give each a file of its own\n",
            settings.JsonPath.c_str(), settings.HistogramPath.c_str());
    return false;
}

/* Writes text whole to the file named with option; false after saying why
 * it could not. */
static bool WriteOutput(char option, OutputFile *file, const std::string &text)
{
    std::string error;
    if (file->Commit(text, &error))
        return true;
    fprintf(stderr, "tfxclnt: -%c %s\n", option, error.c_str());
    return false;
}

/* The JSON result of a run; of a run on agents (-D) with the agents and the
 * control messages dropped. */
static std::string ResultText(const ClientSettings &settings, const RunResult &result,
                              const std::vector<ThresholdOutcome> &outcomes, int exitCode,
                              const AgentsRun *agents)
{
    std::string text = RunResultJson(settings, result, outcomes, exitCode);
    if (agents == nullptr)
        return text;
    ResultJson document = ResultJson::parse(text);
    document["agents"] = AgentsJson(*agents);
    document["control_drops"] = DropsJson(agents->Drops);
    return ResultDocumentText(document);
}

/* The summary of a result, evaluated against the conditions and written out
 * as asked; returns the exit code. A run on agents shows them too, and
 * fails when one was lost. */
static int Report(const ClientSettings &settings, const RunResult &result, bool stopSent,
                  const AgentsRun *agents = nullptr)
{
    std::vector<ThresholdOutcome> outcomes = EvaluateThresholds(settings, result);
    bool lost = agents != nullptr && agents->AnyLost();
    int exitCode = RunFault(settings, result, outcomes).empty() && !lost ? 0 : 1;
    PrintSummary(stdout, settings, result, outcomes);
    if (agents != nullptr)
        PrintAgentTable(stdout, *agents);
    if (stopSent)
        printf("\nStop request sent to service element %s\n", settings.Element.c_str());
    if (!settings.HistogramPath.empty() &&
        !WriteOutput('H', &HistogramFile, PercentileDistributionText(result.Latency)))
        exitCode = 1;
    if (!settings.JsonPath.empty() &&
        !WriteOutput('o', &JsonFile, ResultText(settings, result, outcomes, exitCode, agents)))
        exitCode = 1;
    return exitCode;
}

/* -M: the results of runs on several hosts as one. */
static int MergeResults(ClientSettings *settings)
{
    static RunResult result;
    result.Identity = NewRunIdentity();
    std::string error;
    if (!MergeResultFiles(settings->MergeFiles, settings, &result, &error)) {
        fprintf(stderr, "tfxclnt: -M %s\n", error.c_str());
        return 2;
    }
    PrintSettings(stdout, *settings, result.Seed);
    if (!result.Mixed.empty())
        printf("Merged runs differ: %s\n", result.Mixed.c_str());
    return Report(*settings, result, false);
}

/* -x with -n 0: nothing but the stop request. */
static int SendStopOnly(TrafficRun *run, const ClientSettings &settings, RunResult *result)
{
    if (!run->SendStop()) {
        ProcessError(&result->Failure, result->FailureLabel.c_str(), 0);
        return 1;
    }
    printf("Stop request sent to service element %s\n", settings.Element.c_str());
    return 0;
}

/* The stop request on a connection of its own: true when it was sent,
 * false after reporting why it was not. */
static bool SendStopAlone(const ClientSettings &settings)
{
    auto result = std::make_unique<RunResult>();
    TrafficRun run(settings, result.get(), RunOutput{nullptr, nullptr});
    if (run.Connect(1) && run.SendStop())
        return true;
    ProcessError(&result->Failure, result->FailureLabel.c_str(), 0);
    return false;
}

/* After the runs of -R or -N: the stop request (-x) unless a call failed,
 * then the JSON result (-o) of json(exit code). Returns the exit code. */
template <typename Json>
static int FinishRuns(const ClientSettings &settings, bool failed, int exitCode, Json json)
{
    if (settings.StopRequest && !failed) {
        if (SendStopAlone(settings))
            printf("\nStop request sent to service element %s\n", settings.Element.c_str());
        else
            exitCode = 1;
    }
    if (!settings.JsonPath.empty() && !WriteOutput('o', &JsonFile, json(exitCode)))
        exitCode = 1;
    return exitCode;
}

/* -D: one run on agents, reported as one; the stop request (-x) once every
 * agent has ended. */
static int RunDistributed(const ClientSettings &settings, const RunIdentity &identity,
                          RunOutput output, LiveMetrics *live)
{
    static AgentsRun run;
    run.Result.Identity = identity;
    if (live != nullptr) {
        live->Follow({settings.Element, identity.Id, identity.Host, "", nullptr});
        output.Sink = live;
    }
    std::string error;
    if (!RunOnAgents(settings, output, &Interrupted, &run, &error)) {
        fprintf(stderr, "tfxclnt: -D %s:%u: %s\n", settings.ControlGroup.c_str(),
                settings.ControlAgents, error.c_str());
        return 1;
    }
    if (live != nullptr)
        live->Final(run.Result);
    run.Result.Signal = Interrupted != 0 ? FirstSignal : 0;
    bool stopSent =
        settings.StopRequest && !run.Result.Failed && Interrupted < 2 && SendStopAlone(settings);
    int exitCode = Report(run.Settings, run.Result, stopSent, &run);
    (void)fflush(stdout);
    if (live != nullptr)
        live->Linger(LiveLingerMs, &Interrupted);
    return exitCode;
}

/* The table of repeated runs or of a sweep on standard output, a row as
 * each run or step ends, and each run's heading before its progress lines. */
class TablePrinter : public RunsPrinter {
  public:
    explicit TablePrinter(FILE *progress) : progress_(progress) {}
    void RepeatsBegin(const ClientSettings &settings, uint64_t seed) override
    {
        PrintRepeatsHeading(stdout, settings, seed);
    }
    void RepeatEnded(size_t number, const RepeatRun &run) override
    {
        PrintRunRow(stdout, number, run);
    }
    void RepeatsEnded(const RepeatedRuns &runs, const RunsEnd &end, uint32_t asked) override
    {
        PrintRepeatsEnd(stdout, runs, end, asked);
    }
    void SweepBegins(const ClientSettings &settings, uint32_t runsPerStep, uint64_t seed) override
    {
        PrintSweepHeading(stdout, settings, runsPerStep, seed);
    }
    void StepBegins(double rate) override { heading_ = FixedText(rate, 1) + " transactions/s"; }
    void StepEnded(const SweepStep &step) override { PrintStepRows(stdout, step); }
    void SweepEnded(const SweepResult &sweep) override { PrintKnee(stdout, sweep); }
    void RunBegins(uint32_t number, uint32_t n) override
    {
        if (progress_ != nullptr)
            PrintRunHeading(progress_, heading_, number, n);
    }
    void RunFailed(const RunResult &result) override
    {
        QLXERROR failure = result.Failure;
        ProcessError(&failure, result.FailureLabel.c_str(), 0);
    }

  private:
    FILE *progress_;      /* null: no headings */
    std::string heading_; /* the step's rate; empty for repeated runs */
};

/* -R or -N: many runs, each from nothing, reported as one table and one
 * result. */
static int RunMany(const ClientSettings &settings, uint64_t seed, const RunIdentity &identity,
                   RunOutput output)
{
    RunMaker maker;
    if (settings.ControlAgents != 0)
        maker = [&](const ClientSettings &each, uint64_t eachSeed) {
            return RunOnAgentsOnce(each, eachSeed, output, &Interrupted);
        };
    TablePrinter printer(output.Progress);
    if (settings.SweepGiven) {
        SweepResult sweep = RunSweep(settings, seed, output, &Interrupted, &printer, maker);
        sweep.End.Identity = identity;
        return FinishRuns(settings, sweep.End.Failed, SweepExitCode(sweep),
                          [&](int exitCode) { return SweepJson(settings, seed, sweep, exitCode); });
    }
    RunsEnd end;
    end.Identity = identity;
    RepeatedRuns runs = RunRepeated(settings, seed, output, &Interrupted, &end, &printer, maker);
    return FinishRuns(settings, end.Failed, RepeatedExitCode(runs, end), [&](int exitCode) {
        return RepeatsJson(settings, seed, runs, end, exitCode);
    });
}

/* A connection that could not be opened ends the run before it began: the
 * error, and a result (-o) that says so. */
static int ConnectFailed(const ClientSettings &settings, RunResult *result)
{
    ProcessError(&result->Failure, result->FailureLabel.c_str(), 0);
    result->Ended = EndReason::Failure;
    result->StartNs = result->WarmupEndNs = result->SendingEndNs = result->EndNs = MonotonicNs();
    if (!settings.JsonPath.empty())
        (void)WriteOutput('o', &JsonFile, RunResultJson(settings, *result, {}, 1));
    return 1;
}

/* After a run, however it ended: the stop request (-x) unless a second
 * signal asked for the end at once or the service went away, then the
 * report. Returns the exit code. */
static int FinishRun(const ClientSettings &settings, TrafficRun *run, RunResult *result)
{
    result->Signal = Interrupted != 0 ? FirstSignal : 0;
    bool stopSent = settings.StopRequest && !result->Failed && Interrupted < 2 &&
                    result->GoneNs == 0 && run->SendStop();
    if (result->Failed)
        ProcessError(&result->Failure, result->FailureLabel.c_str(), 0);
    return Report(settings, *result, stopSent);
}

/* -l: the runs served live; false after saying why they cannot be. */
static bool ServeLive(const ClientSettings &settings, std::unique_ptr<LiveMetrics> *live)
{
    std::string error;
    if (settings.MetricsAddress.empty())
        return true;
    *live = LiveMetrics::Start(settings.MetricsAddress, &error);
    if (*live == nullptr)
        fprintf(stderr, "tfxclnt: -l %s: %s\n", settings.MetricsAddress.c_str(), error.c_str());
    return *live != nullptr;
}

int main(int argc, char **argv)
{
    static ClientSettings settings;
    std::string errors;
    switch (ParseClientArgs(argc, argv, &settings, &errors)) {
    case ParseOutcome::Help:
        PrintUsage(stderr);
        return 0;
    case ParseOutcome::LongHelp:
        PrintUsage(stdout);
        return 0;
    case ParseOutcome::Version:
        printf("tfxclnt %s\n", TFX_VERSION);
        return 0;
    case ParseOutcome::UsageError:
        fputs(errors.c_str(), stderr);
        PrintUsage(stderr);
        return 2;
    case ParseOutcome::Run:
        break;
    }
    if (!PrepareOutputs(settings))
        return 2;
    if (settings.Merge)
        return MergeResults(&settings);

    static RunResult result;
    result.Identity = NewRunIdentity();
    result.Seed = settings.SeedGiven ? settings.Seed : SeedFromClock();
    bool progress = !settings.NoProgress && (settings.ForceProgress || isatty(STDERR_FILENO));
    bool stopOnly = settings.StopRequest && settings.CountLimited && settings.Count == 0;
    RunOutput output{progress ? stderr : nullptr, settings.Verbose ? stdout : nullptr};
    InstallInterrupt();
    std::unique_ptr<LiveMetrics> live;
    if (!ServeLive(settings, &live))
        return 1;
    if (!settings.AgentGroup.empty())
        return RunAgent(settings, output, &Interrupted, live.get());
    if (!stopOnly && (settings.SweepGiven || settings.Repeats > 1))
        return RunMany(settings, result.Seed, result.Identity, output);
    if (settings.ControlAgents != 0)
        return RunDistributed(settings, result.Identity, output, live.get());
    if (live != nullptr) {
        live->Follow({settings.Element, result.Identity.Id, result.Identity.Host, "", &result});
        output.Sink = live.get();
    }
    TrafficRun run(settings, &result, output);
    if (!run.Connect(stopOnly ? 1 : settings.Connections))
        return ConnectFailed(settings, &result);
    if (stopOnly)
        return SendStopOnly(&run, settings, &result);

    PrintSettings(stdout, settings, result.Seed);
    (void)fflush(stdout);
    run.Run(&Interrupted);
    int exitCode = FinishRun(settings, &run, &result);
    (void)fflush(stdout);
    if (live != nullptr)
        live->Linger(LiveLingerMs, &Interrupted);
    return exitCode;
}
