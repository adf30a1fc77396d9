#include "client/results/SweepResult.h"

std::string RepeatedRuns::Fault() const
{
    for (size_t i = 0; i < Runs.size(); ++i) {
        if (Runs[i].Fault.empty())
            continue;
        if (Runs.size() == 1)
            return Runs[i].Fault;
        return "run " + std::to_string(i + 1) + " of " + std::to_string(Runs.size()) + ": " +
               Runs[i].Fault;
    }
    return "";
}

std::string RepeatedRuns::Condition() const
{
    for (const RepeatRun &run : Runs)
        if (!run.Fault.empty())
            return run.Condition;
    return "";
}

const SweepStep *SweepResult::HighestMet() const
{
    const SweepStep *highest = nullptr;
    for (const SweepStep &step : Steps)
        if (step.Repeats.Passed() && (highest == nullptr || step.Target > highest->Target))
            highest = &step;
    return highest;
}

const SweepStep *SweepResult::FirstFailed() const
{
    const SweepStep *lowest = nullptr;
    for (const SweepStep &step : Steps)
        if (!step.Repeats.Passed() && (lowest == nullptr || step.Target < lowest->Target))
            lowest = &step;
    return lowest;
}

int RepeatedExitCode(const RepeatedRuns &runs, const RunsEnd &end)
{
    return end.Failed || runs.Runs.empty() || !runs.Passed() ? 1 : 0;
}

int SweepExitCode(const SweepResult &sweep)
{
    return sweep.End.Failed || sweep.End.Interrupted || sweep.HighestMet() == nullptr ? 1 : 0;
}
