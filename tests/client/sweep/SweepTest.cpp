#include "client/sweep/Sweep.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

/* Writes down what the runs tell it, a line a call. */
class RecordingPrinter : public RunsPrinter {
  public:
    std::vector<std::string> Calls;

    void RepeatsBegin(const ClientSettings &, uint64_t) override { Say("repeats"); }
    void RepeatEnded(size_t number, const RepeatRun &) override
    {
        Say("row " + std::to_string(number));
    }
    void RepeatsEnded(const RepeatedRuns &runs, const RunsEnd &, uint32_t) override
    {
        Say("end after " + std::to_string(runs.Runs.size()));
    }
    void SweepBegins(const ClientSettings &, uint32_t, uint64_t) override { Say("sweep"); }
    void StepBegins(double rate) override { Say("step " + std::to_string(static_cast<int>(rate))); }
    void StepEnded(const SweepStep &step) override
    {
        Say("step row " + std::to_string(static_cast<int>(step.Target)));
    }
    void SweepEnded(const SweepResult &sweep) override
    {
        Say("knee after " + std::to_string(sweep.Steps.size()));
    }
    void RunBegins(uint32_t number, uint32_t n) override
    {
        Say("run " + std::to_string(number) + " of " + std::to_string(n));
    }
    void RunFailed(const RunResult &) override { Say("failed"); }

  private:
    void Say(const std::string &call) { Calls.push_back(call); }
};

/* A second of every transaction the rate asked for, each in a microsecond;
 * at a rate of 30 and over, a failed call instead. */
std::unique_ptr<RunResult> MadeRun(const ClientSettings &settings, uint64_t)
{
    auto result = std::make_unique<RunResult>();
    result->Failed = settings.Rate >= 30.0;
    result->EndNs = 1000000000u;
    auto completed = static_cast<uint64_t>(settings.Rate);
    result->Counts.Transactions = result->Counts.Completed = completed;
    result->Counts.MeasuredCompleted = completed;
    result->Ended = EndReason::Duration;
    result->Latency.Record(1000);
    return result;
}

/* Each step goes to the printer as soon as its runs ended, before the next
 * step begins; a failed run ends the sweep, which still ends with the knee. */
TEST(Sweep, HandsEachStepToThePrinterAsItEnds)
{
    ClientSettings settings;
    settings.SweepGiven = true;
    settings.Sweep = RateRange{10.0, 40.0, 10.0};
    settings.Repeats = 2;
    StopFlag interrupted{0};
    RecordingPrinter printer;
    SweepResult sweep =
        RunSweep(settings, 7, RunOutput{nullptr, nullptr}, &interrupted, &printer, MadeRun);
    EXPECT_EQ(sweep.Steps.size(), 2u);
    EXPECT_EQ(printer.Calls, (std::vector<std::string>{
                                 "sweep", "step 10", "run 1 of 2", "run 2 of 2", "step row 10",
                                 "step 20", "run 1 of 2", "run 2 of 2", "step row 20", "step 30",
                                 "run 1 of 2", "failed", "knee after 2"}));
}

/* Each of repeated runs goes to the printer as soon as it ended. */
TEST(Sweep, HandsEachRepeatedRunToThePrinterAsItEnds)
{
    ClientSettings settings;
    settings.Rate = 10.0;
    settings.Repeats = 2;
    StopFlag interrupted{0};
    RunsEnd end;
    RecordingPrinter printer;
    RunRepeated(settings, 7, RunOutput{nullptr, nullptr}, &interrupted, &end, &printer, MadeRun);
    EXPECT_EQ(printer.Calls, (std::vector<std::string>{"repeats", "run 1 of 2", "row 1",
                                                       "run 2 of 2", "row 2", "end after 2"}));
}

} // namespace
