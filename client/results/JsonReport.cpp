#include "client/results/JsonReport.h"

#include <cstring>

#include "client/results/OutputFile.h"
#include "client/results/ResultDocument.h"
#include "client/results/RunVerdict.h"
#include "client/results/RunVocabulary.h"
#include "client/values/ValueParsing.h"

const CountField CountFields[] = {
    {"messages", &RunCounts::Messages},
    {"transactions", &RunCounts::Transactions},
    {"datagrams", &RunCounts::Datagrams},
    {"completed", &RunCounts::Completed},
    {"refused", &RunCounts::Refused},
    {"timed_out", &RunCounts::TimedOut},
    {"closed_without_response", &RunCounts::Unanswered},
    {"notify_responses", &RunCounts::Notify},
    {"normal_responses", &RunCounts::Normal},
    {"alerts", &RunCounts::Alerts},
    {"late_replies", &RunCounts::Late},
    {"notify_after_normal", &RunCounts::NotifyAfterNormal},
    {"unknown_request_ids", &RunCounts::UnknownRequest},
    {"checked", &RunCounts::Checked},
    {"check_failures", &RunCounts::CheckFailures},
    {"warmup_messages", &RunCounts::WarmupMessages},
    {"warmup_transactions", &RunCounts::WarmupTransactions},
    {"measured_messages", &RunCounts::MeasuredMessages},
    {"measured_completed", &RunCounts::MeasuredCompleted},
    {"measured_bytes", &RunCounts::MeasuredBytes},
    {"sends_put_off", &RunCounts::QueueFull},
};
const size_t CountFieldCount = sizeof CountFields / sizeof CountFields[0];

namespace {

/* A figure that may be missing: null rather than a made-up 0. */
template <typename Value> ResultJson Maybe(bool present, Value value)
{
    return present ? ResultJson(value) : ResultJson(nullptr);
}

/* A fixed-size text field of the error record, up to its first zero byte. */
template <size_t Size> std::string FieldText(const char (&field)[Size])
{
    return std::string(field, strnlen(field, Size));
}

ResultJson LatencyJson(const Histogram &latency, const std::vector<double> &percentiles)
{
    bool any = latency.Count() != 0;
    ResultJson json = {{"samples", latency.Count()},
                       {"min", Maybe(any, latency.Min())},
                       {"mean", Maybe(any, latency.Mean())},
                       {"max", Maybe(any, latency.Max())}};
    ResultJson &named = json["percentiles"] = ResultJson::object();
    for (double percentile : percentiles)
        named[PercentileName(percentile)] = Maybe(any, latency.Percentile(percentile));
    ResultJson &buckets = json["buckets"] = ResultJson::array();
    latency.ForEachBucket([&buckets](uint64_t low, uint64_t high, uint64_t count) {
        buckets.push_back({low, high, count});
    });
    return json;
}

} // namespace

ResultJson SettingsJson(const ClientSettings &settings, uint64_t seed)
{
    bool expect = settings.ExpectMax != 0;
    return {
        {"element", settings.Element},
        {"connections", settings.Connections},
        {"window", settings.Window},
        {"rate", Maybe(settings.Rate > 0.0, settings.Rate)},
        {"count", Maybe(settings.CountLimited, settings.Count)},
        {"duration_s", Maybe(settings.Duration > 0.0, settings.Duration)},
        {"size_min", settings.SizeMin},
        {"size_max", settings.SizeMax},
        {"datagram_percent", settings.DatagramPercent},
        {"message_id", Maybe(settings.MsgIdGiven, std::string(settings.MsgId))},
        {"timeout_s", settings.Timeout},
        {"warmup_s", settings.Warmup},
        {"seed", seed},
        {"verify", settings.Verify},
        {"expect_size_min", Maybe(expect, settings.ExpectMin)},
        {"expect_size_max", Maybe(expect, settings.ExpectMax)},
        {"percentiles", settings.Percentiles},
        {"stop_request", settings.StopRequest},
    };
}

namespace {

ResultJson CountsJson(const RunCounts &counts)
{
    ResultJson json = ResultJson::object();
    for (size_t i = 0; i < CountFieldCount; ++i) {
        json[CountFields[i].Name] = counts.*CountFields[i].Member;
        if (CountFields[i].Member == &RunCounts::TimedOut)
            json["unfinished"] = counts.Outstanding();
    }
    return json;
}

ResultJson RefusalsJson(const RunCounts &counts)
{
    ResultJson refusals = ResultJson::array();
    for (const auto &[reason, count] : counts.RefusedByReason)
        refusals.push_back(
            {{"reason", reason}, {"meaning", RefusalText(reason)}, {"count", count}});
    return refusals;
}

/* Each interval as the run saw it; its latencies are null when nothing completed in it. */
ResultJson IntervalsJson(const std::vector<IntervalFigures> &intervals)
{
    ResultJson series = ResultJson::array();
    for (const IntervalFigures &interval : intervals) {
        bool any = interval.Completed != 0;
        series.push_back({
            {"start_s", interval.StartS},
            {"duration_s", interval.DurationS},
            {"warmup", interval.Warmup},
            {"messages", interval.Messages},
            {"completed", interval.Completed},
            {"refused", interval.Refused},
            {"timed_out", interval.TimedOut},
            {"transactions_per_s", interval.TransactionsPerSecond()},
            {"latency_ns",
             {{"max", Maybe(any, interval.Max)},
              {"percentiles",
               {{"50", Maybe(any, interval.P50)},
                {"99", Maybe(any, interval.P99)},
                {"99.9", Maybe(any, interval.P999)}}}}},
        });
    }
    return series;
}

ResultJson ServerViewJson(const ServerView &server)
{
    return {
        {"transactions", server.Transactions},
        {"datagrams", server.Messages - server.Transactions},
        {"total", server.Messages},
        {"size_min", server.MinSize},
        {"size_avg", server.Messages != 0 ? server.TotalSize / server.Messages : 0},
        {"size_max", server.MaxSize},
        {"size_total", server.TotalSize},
    };
}

ResultJson ThresholdsJson(const ClientSettings &settings,
                          const std::vector<ThresholdOutcome> &outcomes)
{
    ResultJson thresholds = ResultJson::array();
    for (size_t i = 0; i < settings.Thresholds.size() && i < outcomes.size(); ++i)
        thresholds.push_back({{"condition", settings.Thresholds[i].Text},
                              {"met", outcomes[i].Met},
                              {"value", Maybe(outcomes[i].HasValue, outcomes[i].Value)}});
    return thresholds;
}

/* The transactions per second asked and achieved by an open loop that
 * missed its rate; null for any other run. */
ResultJson RateMissedJson(const ClientSettings &settings, const RunResult &result)
{
    double asked = 0.0;
    double achieved = 0.0;
    if (!MissedRate(settings, result, &asked, &achieved))
        return nullptr;
    return {{"asked_per_s", asked}, {"achieved_per_s", achieved}};
}

} // namespace

ResultJson RunIdentityJson(const RunIdentity &run)
{
    if (run.Id.empty())
        return nullptr;
    return {{"id", run.Id}, {"host", run.Host}, {"pid", run.Pid}};
}

namespace {

/* The runs a merged result holds; null for the result of one run. */
ResultJson MergedFromJson(const std::vector<MergedRun> &runs)
{
    if (runs.empty())
        return nullptr;
    ResultJson merged = ResultJson::array();
    for (const MergedRun &run : runs)
        merged.push_back({{"run", RunIdentityJson(run.Run)},
                          {"started_unix_s", run.StartedUnixS},
                          {"seed", run.Seed},
                          {"file", run.File}});
    return merged;
}

} // namespace

ResultJson FailureJson(bool failed, const std::string &label, const QLXERROR &failure)
{
    if (!failed)
        return nullptr;
    return {
        {"call", label.substr(0, label.find(':'))},
        {"reason", failure.PrimaryResult.ReasonCode},
        {"text", FieldText(failure.PrimaryResult.Text)},
        {"detail", FieldText(failure.SubResult.Text)},
    };
}

std::string RunResultJson(const ClientSettings &settings, const RunResult &result,
                          const std::vector<ThresholdOutcome> &outcomes, int exitCode)
{
    bool openLoop = settings.Rate > 0.0;
    ResultJson json;
    json["tool"] = "tfxclnt";
    json["run"] = RunIdentityJson(result.Identity);
    json["merged_from"] = MergedFromJson(result.MergedFrom);
    json["settings"] = SettingsJson(settings, result.Seed);
    json["ended_by"] = EndReasonName(result.Ended);
    json["started_unix_s"] = static_cast<double>(result.StartUnixNs) / 1e9;
    const char *signal = SignalName(result.Signal);
    json["signal"] = Maybe(signal != nullptr, signal != nullptr ? signal : "");
    json["fell_behind"] = openLoop && result.FellBehind();
    json["rate_missed"] = RateMissedJson(settings, result);
    json["elapsed_s"] = result.ElapsedSeconds();
    json["sending_s"] = static_cast<double>(result.SendingEndNs - result.StartNs) / 1e9;
    json["measured_s"] = result.MeasuredSeconds();
    json["counts"] = CountsJson(result.Counts);
    json["balanced"] = result.Unfinished() == 0;
    json["refused_by_reason"] = RefusalsJson(result.Counts);
    json["first_check_failure"] =
        Maybe(!result.FirstCheckFailure.empty(), result.FirstCheckFailure);
    json["latency_ns"] = LatencyJson(result.Latency, settings.Percentiles);
    json["uncorrected_latency_ns"] =
        openLoop ? LatencyJson(result.Uncorrected, settings.Percentiles) : nullptr;
    json["send_lag_ns"] = openLoop ? LatencyJson(result.SendLag, {50.0, 99.0}) : nullptr;
    json["warmup_latency_ns"] =
        settings.Warmup > 0.0 ? LatencyJson(result.Warmup, settings.Percentiles) : nullptr;
    json["throughput"] = {{"transactions_per_s", result.TransactionsPerSecond()},
                          {"messages_per_s", result.MessagesPerSecond()},
                          {"bytes_per_s", result.BytesPerSecond()}};
    json["intervals"] = IntervalsJson(result.Intervals);
    json["server_view"] = ServerViewJson(result.Server);
    json["thresholds"] = ThresholdsJson(settings, outcomes);
    json["failure"] = FailureJson(result.Failed, result.FailureLabel, result.Failure);
    json["exit_code"] = exitCode;
    if (result.LostAgents != 0)
        json["lower_bounds"] = {{"lost_agents", result.LostAgents},
                                {"unknown_ends", result.UnknownEnds}};
    return ResultDocumentText(json);
}

ResultJson AgentNameJson(const std::string &name)
{
    size_t colon = name.rfind(':');
    uint64_t pid = 0;
    bool named =
        colon != std::string::npos && ParseUnsigned(name.c_str() + colon + 1, 1, INT32_MAX, &pid);
    return {{"host", name.substr(0, named ? colon : name.size())},
            {"pid", named ? ResultJson(pid) : ResultJson()}};
}

ResultJson AgentClocksJson(const std::vector<AgentClock> &agents)
{
    ResultJson json = ResultJson::array();
    for (const AgentClock &agent : agents) {
        ResultJson &entry = json.emplace_back(AgentNameJson(agent.Name));
        entry["clock_offset_s"] = static_cast<double>(agent.OffsetNs) / 1e9;
        entry["clock_uncertainty_s"] = static_cast<double>(agent.UncertaintyNs) / 1e9;
    }
    return json;
}

bool WriteFileWhole(const std::string &path, const std::string &text, std::string *error)
{
    OutputFile file;
    return file.Prepare(path, error) && file.Commit(text, error);
}
