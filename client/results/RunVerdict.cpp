#include "client/results/RunVerdict.h"

#include "client/values/FigureText.h"
#include "client/results/RunFigures.h"

/* The conditions of a step without -A, as the sweep names them. */
static const char TimeoutsCondition[] = "timeouts=0";
static const char RefusedCondition[] = "refused=0";
static const char RateCondition[] = "achieved at least 98 % of the target";
static const char LatencyCondition[] = "p99 at most twice the first step's";

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
    if (result.Ended == EndReason::ServiceGone)
        return "the service went away";
    if (result.Unfinished() != 0)
        return CountText(result.Unfinished(), "transaction", "transactions", "unfinished");
    if (counts.CheckFailures != 0)
        return CountText(counts.CheckFailures, "reply", "replies", "failed their checks");
    return "";
}

static Verdict LostTransactions(const RunCounts &counts)
{
    if (counts.TimedOut != 0)
        return {CountText(counts.TimedOut, "transaction", "transactions", "timed out"),
                TimeoutsCondition};
    if (counts.Refused != 0)
        return {CountText(counts.Refused, "transaction", "transactions", "refused"),
                RefusedCondition};
    return {};
}

static Verdict UnmetCondition(const ClientSettings &settings,
                              const std::vector<ThresholdOutcome> &outcomes)
{
    for (size_t i = 0; i < settings.Thresholds.size() && i < outcomes.size(); ++i) {
        const Threshold &threshold = settings.Thresholds[i];
        if (outcomes[i].Met)
            continue;
        if (!outcomes[i].HasValue)
            return {threshold.Text + " not met (no latency samples)", threshold.Text};
        return {threshold.Text + " not met (" + threshold.Figure + " = " +
                    ThresholdValueText(threshold, outcomes[i].Value) + ")",
                threshold.Text};
    }
    return {};
}

std::string RateShortfall(double asked, double achieved)
{
    if (achieved >= StepRateShare * asked)
        return "";
    return "achieved " + FixedText(achieved, 1) + " transactions/s, below 98 % of " +
           FixedText(asked, 1);
}

double AskedTransactionRate(const ClientSettings &settings)
{
    return settings.Rate * (100.0 - settings.DatagramPercent) / 100.0;
}

static bool RateConditionGiven(const ClientSettings &settings)
{
    for (const Threshold &threshold : settings.Thresholds)
        if (threshold.Kind == FigureKind::Rate)
            return true;
    return false;
}

bool MissedRate(const ClientSettings &settings, const RunResult &result, double *asked,
                double *achieved)
{
    bool ranItsCourse = result.Ended == EndReason::Count || result.Ended == EndReason::Duration;
    if (settings.Rate <= 0.0 || !ranItsCourse || RateConditionGiven(settings) ||
        result.LostAgents != 0)
        return false;
    *asked = AskedTransactionRate(settings);
    *achieved = FiguresOf(settings, result).Value[AchievedFigure];
    return !RateShortfall(*asked, *achieved).empty();
}

std::string RunFault(const ClientSettings &settings, const RunResult &result,
                     const std::vector<ThresholdOutcome> &outcomes)
{
    std::string fault = BrokenRun(result);
    if (fault.empty())
        fault = LostTransactions(result.Counts).Fault;
    if (fault.empty() && settings.Rate > 0.0 && result.FellBehind())
        fault = "the open loop fell behind its schedule";
    double asked = 0.0;
    double achieved = 0.0;
    if (fault.empty() && MissedRate(settings, result, &asked, &achieved))
        fault = RateShortfall(asked, achieved);
    return fault.empty() ? UnmetCondition(settings, outcomes).Fault : fault;
}

/* A p99 over twice that of the first step: latency is the first to show
 * that the service saturates, before any rate is missed. */
static Verdict SaturatedLatency(const RunResult &result, double firstP99)
{
    if (firstP99 <= 0.0 || result.Latency.Count() == 0)
        return {};
    double p99 = static_cast<double>(result.Latency.Percentile(99.0));
    if (p99 <= 2.0 * firstP99)
        return {};
    return {"p99 " + LatencyText(p99) + ", over twice the " + LatencyText(firstP99) +
                " of the first step",
            LatencyCondition};
}

Verdict StepFault(const ClientSettings &settings, const RunResult &result,
                  const std::vector<ThresholdOutcome> &outcomes, double target, double firstP99)
{
    std::string broken = BrokenRun(result);
    if (!broken.empty())
        return {broken, ""};
    if (!settings.Thresholds.empty())
        return UnmetCondition(settings, outcomes);
    Verdict verdict = LostTransactions(result.Counts);
    if (verdict.Fault.empty())
        verdict = SaturatedLatency(result, firstP99);
    if (!verdict.Fault.empty())
        return verdict;
    std::string shortfall =
        RateShortfall(target, FiguresOf(settings, result).Value[AchievedFigure]);
    return {shortfall, shortfall.empty() ? "" : RateCondition};
}

std::vector<std::string> StepConditions(const ClientSettings &settings)
{
    if (settings.Thresholds.empty())
        return {TimeoutsCondition, RefusedCondition, LatencyCondition, RateCondition};
    std::vector<std::string> conditions;
    for (const Threshold &threshold : settings.Thresholds)
        conditions.push_back(threshold.Text);
    return conditions;
}
