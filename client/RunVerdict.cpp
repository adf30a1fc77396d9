#include "client/RunVerdict.h"

#include "client/FigureText.h"
#include "client/SummaryReport.h"

std::vector<ThresholdOutcome> EvaluateThresholds(const ClientSettings &settings,
                                                 const RunResult &result)
{
    const RunCounts &counts = result.Counts;
    ThresholdFigures figures{&result.Latency,
                             counts.Messages,
                             counts.Transactions,
                             counts.Datagrams,
                             counts.Completed,
                             counts.Refused,
                             counts.TimedOut,
                             counts.Late,
                             counts.OutOfSequence(),
                             counts.CheckFailures,
                             counts.Alerts,
                             counts.Notify,
                             counts.Normal,
                             result.TransactionsPerSecond(),
                             result.MessagesPerSecond()};
    std::vector<ThresholdOutcome> outcomes;
    for (const Threshold &threshold : settings.Thresholds)
        outcomes.push_back(EvaluateThreshold(threshold, figures));
    return outcomes;
}

/* "1 transaction timed out", "3 transactions timed out". */
static std::string CountText(uint64_t count, const char *one, const char *many, const char *what)
{
    return std::to_string(count) + " " + (count == 1 ? one : many) + " " + what;
}

/* What makes any run unsound, whatever its conditions. */
static std::string BrokenRun(const RunResult &result)
{
    const RunCounts &counts = result.Counts;
    if (result.Failed)
        return "qlx" + result.FailureLabel.substr(0, result.FailureLabel.find(':')) + " failed";
    if (result.Ended == EndReason::Blocked)
        return "the queue towards the service stayed full for a whole timeout";
    if (counts.Outstanding() != 0)
        return CountText(counts.Outstanding(), "transaction", "transactions", "unfinished");
    if (counts.CheckFailures != 0)
        return CountText(counts.CheckFailures, "reply", "replies", "failed their checks");
    return "";
}

static std::string LostTransactions(const RunCounts &counts)
{
    if (counts.TimedOut != 0)
        return CountText(counts.TimedOut, "transaction", "transactions", "timed out");
    if (counts.Refused != 0)
        return CountText(counts.Refused, "transaction", "transactions", "refused");
    return "";
}

static std::string UnmetCondition(const ClientSettings &settings,
                                  const std::vector<ThresholdOutcome> &outcomes)
{
    for (size_t i = 0; i < settings.Thresholds.size() && i < outcomes.size(); ++i) {
        const Threshold &threshold = settings.Thresholds[i];
        if (outcomes[i].Met)
            continue;
        if (!outcomes[i].HasValue)
            return threshold.Text + " not met (no latency samples)";
        return threshold.Text + " not met (" + threshold.Figure + " = " +
               ThresholdValueText(threshold, outcomes[i].Value) + ")";
    }
    return "";
}

std::string RunFault(const ClientSettings &settings, const RunResult &result,
                     const std::vector<ThresholdOutcome> &outcomes)
{
    std::string fault = BrokenRun(result);
    if (fault.empty())
        fault = LostTransactions(result.Counts);
    if (fault.empty() && settings.Rate > 0.0 && result.FellBehind())
        fault = "the open loop fell behind its schedule";
    return fault.empty() ? UnmetCondition(settings, outcomes) : fault;
}

std::string StepFault(const ClientSettings &settings, const RunResult &result,
                      const std::vector<ThresholdOutcome> &outcomes, double target, double achieved)
{
    std::string fault = BrokenRun(result);
    if (!fault.empty())
        return fault;
    if (!settings.Thresholds.empty())
        return UnmetCondition(settings, outcomes);
    fault = LostTransactions(result.Counts);
    if (fault.empty() && achieved < StepRateShare * target)
        fault = "achieved " + FixedText(achieved, 1) + " transactions/s, below 98 % of " +
                FixedText(target, 1);
    return fault;
}

std::vector<std::string> StepConditions(const ClientSettings &settings)
{
    if (settings.Thresholds.empty())
        return {"timeouts=0", "refused=0", "achieved at least 98 % of the target"};
    std::vector<std::string> conditions;
    for (const Threshold &threshold : settings.Thresholds)
        conditions.push_back(threshold.Text);
    return conditions;
}
