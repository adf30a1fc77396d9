#include "client/reports/SummaryReport.h"

#include "client/values/FigureText.h"
#include "client/results/RunVerdict.h"
#include "client/results/RunVocabulary.h"
#include "client/values/ValueParsing.h"

typedef unsigned long long Ull;

std::string FellBehindText(const ClientSettings &settings, const RunResult &result)
{
    return "Fell behind    the open loop fell behind its schedule: the last message went out " +
           FixedText(static_cast<double>(result.LastSendLagNs) / 1e9, 3) +
           " s late; the service (or -k, -w) could not keep up with -r " +
           FixedText(settings.Rate, 1);
}

void PrintSettings(FILE *out, const ClientSettings &settings, uint64_t seed)
{
    fprintf(out, "Service element %s: %u connection%s, window %u, ", settings.Element.c_str(),
            settings.Connections, settings.Connections == 1 ? "" : "s", settings.Window);
    if (settings.Rate > 0.0)
        fprintf(out, "open loop at %s messages/s\n", FixedText(settings.Rate, 1).c_str());
    else
        fputs("closed loop\n", out);
    PrintRequestLine(out, settings, seed);
}

ClientSettings AllAgentsSettings(const ClientSettings &settings)
{
    ClientSettings all = settings;
    all.Connections *= settings.ControlAgents != 0 ? settings.ControlAgents : 1;
    return all;
}

void PrintAgentsLine(FILE *out, const ClientSettings &settings)
{
    if (settings.ControlAgents != 0)
        fprintf(out, "Agents         %u of group %s\n", settings.ControlAgents,
                settings.ControlGroup.c_str());
}

std::string AgentClockText(const AgentClock &agent)
{
    char clock[96];
    (void)snprintf(clock, sizeof clock, " %+.3f ms +- %.3f ms",
                   static_cast<double>(agent.OffsetNs) / 1e6,
                   static_cast<double>(agent.UncertaintyNs) / 1e6);
    return agent.Name + clock;
}

void PrintRequestLine(FILE *out, const ClientSettings &settings, uint64_t seed)
{
    if (settings.SizeMin == settings.SizeMax)
        fprintf(out, "Request data %u bytes, seed %llu", settings.SizeMin, static_cast<Ull>(seed));
    else
        fprintf(out, "Request data %u-%u bytes, seed %llu", settings.SizeMin, settings.SizeMax,
                static_cast<Ull>(seed));
    fprintf(out, ", datagrams %s%%, timeout %s s", PercentileName(settings.DatagramPercent).c_str(),
            PercentileName(settings.Timeout).c_str());
    if (settings.MsgIdGiven)
        fprintf(out, ", message id '%s'", settings.MsgId);
    fputs("\n", out);
}

static const char *SignalText(int signal)
{
    const char *name = SignalName(signal);
    return name != nullptr ? name : "a signal";
}

static void PrintEnd(FILE *out, const ClientSettings &settings, const RunResult &result)
{
    double sending = static_cast<double>(result.SendingEndNs - result.StartNs) / 1e9;
    const RunCounts &counts = result.Counts;
    switch (result.Ended) {
    case EndReason::Count:
        fprintf(out, "Run ended by count: %llu messages",
                static_cast<Ull>(counts.MeasuredMessages));
        break;
    case EndReason::Duration:
        fprintf(out, "Run ended by duration: %s s of sending",
                PercentileName(settings.Duration).c_str());
        break;
    case EndReason::Interrupt:
        fprintf(out, "Run ended by interrupt (%s)", SignalText(result.Signal));
        break;
    case EndReason::SecondInterrupt:
        fprintf(out, "Run ended at once by a second interrupt (%s), %llu transactions unfinished",
                SignalText(result.Signal), static_cast<Ull>(counts.Outstanding()));
        break;
    case EndReason::Silence:
        fprintf(out,
                "Run ended by silence: transactions timed out and nothing came back for %s s "
                "(a service slower than that needs a longer -t)",
                PercentileName(settings.Timeout).c_str());
        break;
    case EndReason::Blocked:
        fprintf(out, "Run ended blocked: the queue towards the service stayed full for %s s",
                PercentileName(settings.Timeout).c_str());
        break;
    case EndReason::ServiceGone:
        fprintf(out, "Run ended by the service going away at %s s, %llu transactions unfinished",
                FixedText(static_cast<double>(result.GoneNs - result.StartNs) / 1e9, 3).c_str(),
                static_cast<Ull>(counts.Outstanding()));
        break;
    case EndReason::Failure:
        fprintf(out, "Run ended by failure of qlx%s",
                result.FailureLabel.substr(0, result.FailureLabel.find(':')).c_str());
        break;
    }
    fprintf(out, "; sending took %s s, the run %s s\n", FixedText(sending, 3).c_str(),
            FixedText(result.ElapsedSeconds(), 3).c_str());
    if (settings.Rate > 0.0 && result.FellBehind())
        fprintf(out, "%s\n", FellBehindText(settings, result).c_str());
}

/* "min 1us, mean 2us, p50 ..., max 9us (n samples)", or "no samples". */
static std::string LatencyFigures(const Histogram &latency, const std::vector<double> &percentiles)
{
    if (latency.Count() == 0)
        return "no samples";
    std::string text = "min " + LatencyText(static_cast<double>(latency.Min())) + ", mean " +
                       LatencyText(latency.Mean());
    for (double percentile : percentiles)
        text += ", p" + PercentileName(percentile) + " " +
                LatencyText(static_cast<double>(latency.Percentile(percentile)));
    text += ", max " + LatencyText(static_cast<double>(latency.Max())) + " (" +
            std::to_string(latency.Count()) + (latency.Count() == 1 ? " sample)" : " samples)");
    return text;
}

/* "at least " before the figures of a run that lost an agent: its counts
 * end at that agent's last interval. */
static const char *AtLeast(const RunResult &result)
{
    return result.LostAgents != 0 ? "at least " : "";
}

/* Every transaction sent ended one way or is unfinished; a lost agent's
 * that were outstanding at its last interval ended unknown to anyone. */
static void PrintBalance(FILE *out, const RunResult &result)
{
    const RunCounts &counts = result.Counts;
    fprintf(out, "Transactions   %s%llu sent = %llu completed + %llu refused + %llu timed out",
            AtLeast(result), static_cast<Ull>(counts.Transactions),
            static_cast<Ull>(counts.Completed), static_cast<Ull>(counts.Refused),
            static_cast<Ull>(counts.TimedOut));
    if (result.Unfinished() != 0)
        fprintf(out, " + %llu unfinished", static_cast<Ull>(result.Unfinished()));
    if (result.UnknownEnds != 0)
        fprintf(out, " + %llu of unknown end (agent lost)", static_cast<Ull>(result.UnknownEnds));
    fputs(result.Unfinished() != 0 ? ": NOT balanced\n" : ": balanced\n", out);
}

static void PrintOutcomes(FILE *out, const RunResult &result)
{
    const RunCounts &counts = result.Counts;
    PrintBalance(out, result);
    fprintf(out, "Completed      %llu by their last response, %llu closed without a response\n",
            static_cast<Ull>(counts.Completed - counts.Unanswered),
            static_cast<Ull>(counts.Unanswered));
    for (const auto &[reason, count] : counts.RefusedByReason)
        fprintf(out, "Refused        %llu: %s (%d)\n", static_cast<Ull>(count), RefusalText(reason),
                reason);
    fprintf(out, "Responses      %llu notify, %llu normal, %llu alerts\n",
            static_cast<Ull>(counts.Notify), static_cast<Ull>(counts.Normal),
            static_cast<Ull>(counts.Alerts));
    fprintf(
        out,
        "Out of order   %llu late replies, %llu notify after normal, %llu unknown request ids\n",
        static_cast<Ull>(counts.Late), static_cast<Ull>(counts.NotifyAfterNormal),
        static_cast<Ull>(counts.UnknownRequest));
    fprintf(out, "Datagrams      %llu sent\n", static_cast<Ull>(counts.Datagrams));
}

static void PrintChecks(FILE *out, const ClientSettings &settings, const RunResult &result)
{
    if (!settings.Verify)
        return;
    const RunCounts &counts = result.Counts;
    fprintf(out, "Checks         %llu responses checked, %llu failed\n",
            static_cast<Ull>(counts.Checked), static_cast<Ull>(counts.CheckFailures));
    if (!result.FirstCheckFailure.empty())
        fprintf(out, "First failure  %s\n", result.FirstCheckFailure.c_str());
}

static void PrintLatency(FILE *out, const ClientSettings &settings, const RunResult &result)
{
    const std::vector<double> &percentiles = settings.Percentiles;
    if (settings.Warmup > 0.0)
        fprintf(out, "Warm-up        %s s, %llu transactions, not in the figures: %s\n",
                PercentileName(settings.Warmup).c_str(),
                static_cast<Ull>(result.Counts.WarmupTransactions),
                LatencyFigures(result.Warmup, percentiles).c_str());
    fprintf(out, "Latency        %s\n", LatencyFigures(result.Latency, percentiles).c_str());
    if (settings.Rate > 0.0) {
        fprintf(out, "Uncorrected    %s\n",
                LatencyFigures(result.Uncorrected, percentiles).c_str());
        fprintf(out, "Send lag       %s\n", LatencyFigures(result.SendLag, {50.0, 99.0}).c_str());
    }
    fprintf(out, "Throughput     %s%s transactions/s, %s messages/s, %s bytes/s over %s s\n",
            AtLeast(result), FixedText(result.TransactionsPerSecond(), 1).c_str(),
            FixedText(result.MessagesPerSecond(), 1).c_str(),
            FixedText(result.BytesPerSecond(), 0).c_str(),
            FixedText(result.MeasuredSeconds(), 3).c_str());
    double asked = 0.0;
    double achieved = 0.0;
    if (MissedRate(settings, result, &asked, &achieved))
        fprintf(out, "Rate missed    %s asked by -r\n", RateShortfall(asked, achieved).c_str());
}

static void PrintThresholds(FILE *out, const ClientSettings &settings,
                            const std::vector<ThresholdOutcome> &outcomes)
{
    for (size_t i = 0; i < settings.Thresholds.size() && i < outcomes.size(); ++i) {
        const Threshold &threshold = settings.Thresholds[i];
        const ThresholdOutcome &outcome = outcomes[i];
        std::string value = outcome.HasValue ? threshold.Figure + " = " +
                                                   ThresholdValueText(threshold, outcome.Value)
                                             : "no latency samples";
        fprintf(out, "Threshold      %s: %s, %s\n", threshold.Text.c_str(),
                outcome.Met ? "met" : "NOT MET", value.c_str());
    }
}

void PrintServerLines(FILE *out, const ServerView &server)
{
    uint32_t average = server.Messages != 0 ? server.TotalSize / server.Messages : 0;
    fprintf(out, "Transactions = %d, Datagrams = %d, Total = %d\n",
            static_cast<int>(server.Transactions),
            static_cast<int>(server.Messages - server.Transactions),
            static_cast<int>(server.Messages));
    fprintf(out, "Sent Data size (bytes) min/avg/max/total = %d/%d/%d/%d\n",
            static_cast<int>(server.MinSize), static_cast<int>(average),
            static_cast<int>(server.MaxSize), static_cast<int>(server.TotalSize));
}

void PrintSummary(FILE *out, const ClientSettings &settings, const RunResult &result,
                  const std::vector<ThresholdOutcome> &outcomes)
{
    PrintEnd(out, settings, result);
    fputs("\n", out);
    PrintOutcomes(out, result);
    PrintChecks(out, settings, result);
    PrintLatency(out, settings, result);
    PrintThresholds(out, settings, outcomes);
    fprintf(out, "\nAs the server should count them, if it took every message sent%s:\n",
            result.LostAgents != 0 ? " (at least: an agent was lost)" : "");
    PrintServerLines(out, result.Server);
}
