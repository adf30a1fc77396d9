#include "client/Sweep.h"

#include <memory>

#include "binding/tfxcodes.h"
#include "client/FigureText.h"
#include "client/RunVerdict.h"
#include "client/SweepPlan.h"
#include "client/SweepReport.h"

namespace {

/* What every run of a command line shares. */
struct RunContext {
    uint64_t Seed;
    RunOutput Output;
    const StopFlag *Interrupted;
    RunMaker Maker; /* empty: runs from here */
};

/* One run from nothing: fresh connections, a fresh result. A connection
 * that cannot be opened leaves the failure in the result. */
std::unique_ptr<RunResult> RunOnce(const ClientSettings &settings, const RunContext &context)
{
    if (context.Maker)
        return context.Maker(settings, context.Seed);
    auto result = std::make_unique<RunResult>();
    result->Seed = context.Seed;
    TrafficRun run(settings, result.get(), context.Output);
    if (run.Connect(settings.Connections))
        run.Run(context.Interrupted);
    return result;
}

/* "tfxclnt: 30.0 transactions/s, run 2 of 3" before the progress lines of
 * a run; the run's number only when there are several. */
void PrintRunHeading(FILE *out, const std::string &heading, uint32_t number, uint32_t n)
{
    std::string line = heading;
    if (n > 1)
        line += (line.empty() ? "run " : ", run ") + std::to_string(number) + " of " +
                std::to_string(n);
    fprintf(out, "tfxclnt: %s\n", line.c_str());
}

/* Runs settings n times into *repeats, each run's fault from faultOf, and
 * writes each run's row to rows when it is not null. True when all n ran;
 * false when a failed call (reported here) or a signal cut them short. A
 * run whose sending a signal ended is left out. */
template <typename FaultOf>
bool RunTimes(const ClientSettings &settings, uint32_t n, const std::string &heading,
              const RunContext &context, FaultOf faultOf, FILE *rows, RepeatedRuns *repeats,
              RunsEnd *end)
{
    std::vector<RunFigures> figures;
    for (uint32_t i = 0; i < n; ++i) {
        end->Interrupted = *context.Interrupted != 0;
        if (end->Interrupted)
            break;
        if (context.Output.Progress != nullptr)
            PrintRunHeading(context.Output.Progress, heading, i + 1, n);
        std::unique_ptr<RunResult> result = RunOnce(settings, context);
        if (result->Failed) {
            ProcessError(&result->Failure, result->FailureLabel.c_str(), 0);
            end->Failed = true;
            end->FailureLabel = result->FailureLabel;
            end->Failure = result->Failure;
            break;
        }
        end->Interrupted =
            result->Ended == EndReason::Interrupt || result->Ended == EndReason::SecondInterrupt;
        if (end->Interrupted)
            break;
        Verdict verdict = faultOf(*result);
        RepeatRun run{FiguresOf(settings, *result), verdict.Fault, verdict.Condition,
                      std::move(result->Agents)};
        figures.push_back(run.Figures);
        repeats->Runs.push_back(run);
        if (rows != nullptr)
            PrintRunRow(rows, repeats->Runs.size(), run);
    }
    repeats->Spread = SpreadOf(figures);
    return repeats->Runs.size() == n;
}

} // namespace

RepeatedRuns RunRepeated(const ClientSettings &settings, uint64_t seed, RunOutput output,
                         const StopFlag *interrupted, RunsEnd *end, const RunMaker &maker)
{
    PrintRepeatsHeading(stdout, settings, seed);
    RepeatedRuns repeats;
    auto faultOf = [&settings](const RunResult &result) {
        return Verdict{RunFault(settings, result, EvaluateThresholds(settings, result)), ""};
    };
    (void)RunTimes(settings, settings.Repeats, "", RunContext{seed, output, interrupted, maker},
                   faultOf, stdout, &repeats, end);
    PrintRepeatsEnd(stdout, repeats, *end, settings.Repeats);
    return repeats;
}

SweepResult RunSweep(const ClientSettings &settings, uint64_t seed, RunOutput output,
                     const StopFlag *interrupted, const RunMaker &maker)
{
    SweepResult sweep;
    sweep.RunsPerStep = settings.Repeats != 0 ? settings.Repeats : settings.Sweep.Search() ? 2 : 1;
    PrintSweepHeading(stdout, settings, sweep.RunsPerStep, seed);
    RunContext context{seed, output, interrupted, maker};
    ClientSettings step = settings;
    double firstP99 = 0.0; /* the p99 of the first step, once it ran */
    auto faultOf = [&step, &firstP99](const RunResult &result) {
        return StepFault(step, result, EvaluateThresholds(step, result), AskedTransactionRate(step),
                         firstP99);
    };
    SweepPlan plan(settings.Sweep);
    while (plan.Next(&step.Rate)) {
        SweepStep done{step.Rate, {}};
        std::string heading = FixedText(step.Rate, 1) + " transactions/s";
        if (!RunTimes(step, sweep.RunsPerStep, heading, context, faultOf, nullptr, &done.Repeats,
                      &sweep.End))
            break;
        if (sweep.Steps.empty())
            firstP99 = done.Repeats.Spread.Median.Value[P99Figure];
        sweep.Steps.push_back(done);
        PrintStepRows(stdout, done);
        plan.Record(done.Target, done.Repeats.Passed());
    }
    PrintKnee(stdout, sweep);
    return sweep;
}
