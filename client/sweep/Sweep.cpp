#include "client/sweep/Sweep.h"

#include <memory>

#include "client/results/RunVerdict.h"
#include "client/options/SweepPlan.h"

namespace {

/* What every run of a command line shares. */
struct RunContext {
    uint64_t Seed;
    RunOutput Output;
    const StopFlag *Interrupted;
    RunsPrinter *Printer;
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

/* Runs settings n times into *repeats, each run's fault from faultOf, and
 * hands each run to the printer as repeated runs when repeat is set. True
 * when all n ran; false when a failed call or a signal cut them short. A
 * run whose sending a signal ended is left out. */
template <typename FaultOf>
bool RunTimes(const ClientSettings &settings, uint32_t n, const RunContext &context,
              FaultOf faultOf, bool repeat, RepeatedRuns *repeats, RunsEnd *end)
{
    std::vector<RunFigures> figures;
    for (uint32_t i = 0; i < n; ++i) {
        end->Interrupted = *context.Interrupted != 0;
        if (end->Interrupted)
            break;
        context.Printer->RunBegins(i + 1, n);
        std::unique_ptr<RunResult> result = RunOnce(settings, context);
        if (result->Failed) {
            context.Printer->RunFailed(*result);
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
        if (repeat)
            context.Printer->RepeatEnded(repeats->Runs.size(), run);
    }
    repeats->Spread = SpreadOf(figures);
    return repeats->Runs.size() == n;
}

} // namespace

RepeatedRuns RunRepeated(const ClientSettings &settings, uint64_t seed, RunOutput output,
                         const StopFlag *interrupted, RunsEnd *end, RunsPrinter *printer,
                         const RunMaker &maker)
{
    printer->RepeatsBegin(settings, seed);
    RepeatedRuns repeats;
    auto faultOf = [&settings](const RunResult &result) {
        return Verdict{RunFault(settings, result, EvaluateThresholds(settings, result)), ""};
    };
    (void)RunTimes(settings, settings.Repeats,
                   RunContext{seed, output, interrupted, printer, maker}, faultOf, true, &repeats,
                   end);
    printer->RepeatsEnded(repeats, *end, settings.Repeats);
    return repeats;
}

SweepResult RunSweep(const ClientSettings &settings, uint64_t seed, RunOutput output,
                     const StopFlag *interrupted, RunsPrinter *printer, const RunMaker &maker)
{
    SweepResult sweep;
    sweep.RunsPerStep = settings.Repeats != 0 ? settings.Repeats : settings.Sweep.Search() ? 2 : 1;
    printer->SweepBegins(settings, sweep.RunsPerStep, seed);
    RunContext context{seed, output, interrupted, printer, maker};
    ClientSettings step = settings;
    double firstP99 = 0.0; /* the p99 of the first step, once it ran */
    auto faultOf = [&step, &firstP99](const RunResult &result) {
        return StepFault(step, result, EvaluateThresholds(step, result), AskedTransactionRate(step),
                         firstP99);
    };
    SweepPlan plan(settings.Sweep);
    while (plan.Next(&step.Rate)) {
        SweepStep done{step.Rate, {}};
        printer->StepBegins(step.Rate);
        if (!RunTimes(step, sweep.RunsPerStep, context, faultOf, false, &done.Repeats, &sweep.End))
            break;
        if (sweep.Steps.empty())
            firstP99 = done.Repeats.Spread.Median.Value[P99Figure];
        sweep.Steps.push_back(done);
        printer->StepEnded(done);
        plan.Record(done.Target, done.Repeats.Passed());
    }
    printer->SweepEnded(sweep);
    return sweep;
}
