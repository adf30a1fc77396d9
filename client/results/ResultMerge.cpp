#include "client/results/ResultMerge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

#include "client/values/FigureText.h"
#include "client/results/JsonReport.h"
#include "client/results/ResultDocument.h"
#include "client/results/RunVocabulary.h"
#include "client/values/ValueParsing.h"

namespace {

const double NsPerSecond = 1e9;

/* A stretch of wall-clock time, in seconds since 1970. */
struct Span {
    double Start;
    double End;
};

/* The time covered by any of the spans, overlaps counted once. */
double UnionSeconds(std::vector<Span> spans)
{
    std::sort(spans.begin(), spans.end(),
              [](const Span &a, const Span &b) { return a.Start < b.Start; });
    double total = 0.0;
    double reached = -INFINITY;
    for (const Span &span : spans) {
        double start = std::max(span.Start, reached);
        if (span.End > start)
            total += span.End - start;
        reached = std::max(reached, span.End);
    }
    return total;
}

uint64_t ToNs(double seconds)
{
    return static_cast<uint64_t>(std::llround(seconds * NsPerSecond));
}

/* The year 2223 and 31 years: beyond any clock and run of ours, and their sum
 * in nanoseconds still within the llround of ToNs. */
const double MaxUnixS = 8e9;
const double MaxRunS = 1e9;
const size_t MaxMergedRuns = 1024; /* so no sum of counts, each below 2^53, can wrap */
const size_t MaxTextBytes = 4096;
const size_t MaxRefusalReasons = 4096;
const uint64_t MaxServerFigure = UINT32_MAX;

/* A count of a run that never exceeds another: the one within the other. */
struct CountWithin {
    const char *Part;
    const char *Whole;
};
const CountWithin CountsWithin[] = {
    {"closed_without_response", "completed"},
    {"measured_completed", "completed"},
    {"warmup_transactions", "transactions"},
    {"check_failures", "checked"},
};

/* Counts that contradict each other would wrap into huge numbers in the
 * summary: refused, naming the counts. */
void CheckCounts(const ResultFields &json, const RunCounts &run)
{
    uint64_t ended = run.Completed + run.Refused + run.TimedOut;
    if (ended > run.Transactions)
        json.Fail("", "completed, refused and timed_out add up to " + std::to_string(ended) +
                          ", more than the " + std::to_string(run.Transactions) + " transactions");
    if (json.Count("unfinished") != run.Transactions - ended)
        json.Fail("unfinished", "is not transactions less completed, refused and timed_out (" +
                                    std::to_string(run.Transactions - ended) + ")");
    if (run.Transactions + run.Datagrams != run.Messages ||
        run.WarmupMessages + run.MeasuredMessages != run.Messages)
        json.Fail("messages", "is not transactions and datagrams, nor warmup_messages and "
                              "measured_messages, added");
    for (const CountWithin &within : CountsWithin)
        if (json.Count(within.Part) > json.Count(within.Whole))
            json.Fail(within.Part, "is more than " + std::string(within.Whole));
}

/* Adds the counts of a result, checked, to *counts. */
void AddCounts(const ResultFields &document, RunCounts *counts)
{
    ResultFields json = document.Fields("counts");
    RunCounts run;
    for (size_t i = 0; i < CountFieldCount; ++i)
        run.*CountFields[i].Member = json.Count(CountFields[i].Name);
    CheckCounts(json, run);
    ResultFields refusals = document.Array("refused_by_reason", MaxRefusalReasons);
    uint64_t refused = 0;
    for (size_t i = 0; i < refusals.Size(); ++i) {
        ResultFields refusal = refusals.Fields(std::to_string(i));
        uint64_t count = refusal.Count("count");
        if (count > run.Refused - refused)
            refusals.Fail("", "adds up to more than the " + std::to_string(run.Refused) +
                                  " refused of counts");
        run.RefusedByReason[static_cast<int32_t>(
            refusal.Integer("reason", INT32_MIN, INT32_MAX))] += count;
        refused += count;
    }
    if (refused != run.Refused)
        refusals.Fail("", "adds up to " + std::to_string(refused) + ", not to the " +
                              std::to_string(run.Refused) + " refused of counts");
    for (size_t i = 0; i < CountFieldCount; ++i)
        counts->*CountFields[i].Member += run.*CountFields[i].Member;
    for (const auto &[reason, count] : run.RefusedByReason)
        counts->RefusedByReason[reason] += count;
}

/* Adds a latency histogram of a result, when it has one, to *into: its
 * bucket counts must add up to its samples. */
void AddLatency(const ResultFields &document, const char *name, Histogram *into)
{
    if (document.IsNull(name))
        return;
    ResultFields latency = document.Fields(name);
    uint64_t samples = latency.Count("samples");
    if (samples == 0)
        return;
    uint64_t min = latency.Count("min");
    uint64_t max = latency.Count("max", min);
    double mean = latency.Number("mean", 0.0, static_cast<double>(MaxResultCount));
    ResultFields buckets = latency.Array("buckets", Histogram::BucketCount());
    uint64_t total = 0;
    for (size_t i = 0; i < buckets.Size(); ++i) {
        ResultFields bucket = buckets.Array(std::to_string(i), 3);
        uint64_t low = bucket.Count("0");
        (void)bucket.Count("1", low);
        uint64_t count = bucket.Count("2", 1);
        if (count > samples - total)
            buckets.Fail("", "the counts add up to more than the " + std::to_string(samples) +
                                 " samples");
        into->AddToBucket(low, count);
        total += count;
    }
    if (total != samples)
        buckets.Fail("", "the counts add up to " + std::to_string(total) + ", not to the " +
                             std::to_string(samples) + " samples");
    into->AddExtremes(min, max, static_cast<long double>(mean) * samples);
}

/* The server counts in 32 bits, and so does its view merged. */
void AddServerView(const ResultFields &document, ServerView *server)
{
    ResultFields json = document.Fields("server_view");
    uint32_t total = static_cast<uint32_t>(json.Count("total", 0, MaxServerFigure));
    uint32_t transactions = static_cast<uint32_t>(json.Count("transactions", 0, total));
    uint32_t sizeMin = static_cast<uint32_t>(json.Count("size_min", 0, MaxServerFigure));
    uint32_t sizeMax = static_cast<uint32_t>(json.Count("size_max", 0, MaxServerFigure));
    uint32_t sizeTotal = static_cast<uint32_t>(json.Count("size_total", 0, MaxServerFigure));
    if (total == 0)
        return;
    server->Transactions += transactions;
    server->Messages += total;
    server->TotalSize += sizeTotal;
    server->MinSize = std::min(server->MinSize, sizeMin);
    server->MaxSize = std::max(server->MaxSize, sizeMax);
}

/* The run's failure, as the result recorded it. */
void TakeFailure(const ResultFields &document, RunResult *result)
{
    if (document.IsNull("failure"))
        return;
    ResultFields failure = document.Fields("failure");
    std::string call = failure.Text("call", 64);
    auto reason = static_cast<int32_t>(failure.Integer("reason", INT32_MIN, INT32_MAX));
    std::string text = failure.Text("text", MaxTextBytes);
    std::string detail = failure.Text("detail", MaxTextBytes);
    if (result->Failed)
        return;
    result->Failed = true;
    result->FailureLabel = call + ": ";
    result->Failure.PrimaryResult = ResultBlock{2, reason, {}};
    result->Failure.SubResult = ResultBlock{2, 0, {}};
    (void)snprintf(result->Failure.PrimaryResult.Text, sizeof result->Failure.PrimaryResult.Text,
                   "%s", text.c_str());
    (void)snprintf(result->Failure.SubResult.Text, sizeof result->Failure.SubResult.Text, "%s",
                   detail.c_str());
}

/* The ends in the order one outweighs another when runs ended differently. */
const EndReason EndsByWeight[] = {
    EndReason::Failure,         EndReason::ServiceGone, EndReason::Blocked,  EndReason::Silence,
    EndReason::SecondInterrupt, EndReason::Interrupt,   EndReason::Duration, EndReason::Count};

EndReason EndOf(const ResultFields &document)
{
    std::string name = document.Text("ended_by", 64);
    for (EndReason reason : EndsByWeight)
        if (name == EndReasonName(reason))
            return reason;
    document.Fail("ended_by", "\"" + name + "\" is not a way a run ends");
}

EndReason Heavier(EndReason a, EndReason b)
{
    for (EndReason reason : EndsByWeight)
        if (reason == a || reason == b)
            return reason;
    return a;
}

/* The settings of one run, checked: what the summary shows of it. */
ClientSettings SettingsOf(const ResultFields &json)
{
    ClientSettings run;
    run.Element = json.Text("element", 255);
    run.Connections = static_cast<uint32_t>(
        json.Count("connections", 1, uint64_t{MaxConnections} * MaxMergedRuns));
    run.Window = static_cast<uint32_t>(json.Count("window", 1, MaxWindow));
    run.Rate = json.IsNull("rate") ? 0.0 : json.Number("rate", 0.0, 1e12);
    run.CountLimited = !json.IsNull("count");
    run.Count = run.CountLimited ? json.Count("count") : 0;
    run.Duration = json.IsNull("duration_s") ? 0.0 : json.Number("duration_s", 0.0, MaxRunS);
    run.SizeMin = static_cast<uint32_t>(json.Count("size_min", 0, MaxRequestSize));
    run.SizeMax = static_cast<uint32_t>(json.Count("size_max", run.SizeMin, MaxRequestSize));
    run.DatagramPercent = json.Number("datagram_percent", 0.0, 100.0);
    run.Timeout = json.Number("timeout_s", 0.0, MaxRunS);
    run.Warmup = json.Number("warmup_s", 0.0, MaxRunS);
    run.Verify = json.Flag("verify");
    run.Seed = json.Count("seed", 0, UINT64_MAX);
    return run;
}

/* What the summary shows of the runs: the first one's settings, with the
 * connections, rates and counts of all. */
void AddSettings(const ClientSettings &run, bool first, ClientSettings *settings)
{
    if (first) {
        settings->Element = run.Element;
        settings->Window = run.Window;
        settings->Timeout = run.Timeout;
        settings->Warmup = run.Warmup;
        settings->Verify = run.Verify;
        settings->SizeMin = run.SizeMin;
        settings->SizeMax = run.SizeMax;
        settings->Connections = run.Connections;
        settings->Rate = run.Rate;
        settings->CountLimited = run.CountLimited;
        settings->Count = run.Count;
        settings->Duration = run.Duration;
        return;
    }
    settings->Duration = std::max(settings->Duration, run.Duration);
    settings->Connections += run.Connections;
    settings->Rate += run.Rate;
    settings->CountLimited = settings->CountLimited && run.CountLimited;
    settings->Count += run.Count;
    settings->SizeMin = std::min(settings->SizeMin, run.SizeMin);
    settings->SizeMax = std::max(settings->SizeMax, run.SizeMax);
}

/* What runs of unlike settings differ in, each aspect its distinct values
 * in the order first seen. */
struct Aspects {
    std::vector<std::string> Loops, Sizes, Datagrams;

    void Add(const ClientSettings &run)
    {
        Note(&Loops, run.Rate > 0.0 ? "open loop" : "closed loop");
        Note(&Sizes, run.SizeMin == run.SizeMax
                         ? std::to_string(run.SizeMin)
                         : std::to_string(run.SizeMin) + "-" + std::to_string(run.SizeMax));
        Note(&Datagrams, PercentileName(run.DatagramPercent) + "%");
    }

    static void Note(std::vector<std::string> *values, const std::string &value)
    {
        if (std::find(values->begin(), values->end(), value) == values->end())
            values->push_back(value);
    }

    /* "a, b and c" */
    static std::string Listed(const std::vector<std::string> &values)
    {
        std::string text = values[0];
        for (size_t i = 1; i < values.size(); ++i)
            text += (i + 1 == values.size() ? " and " : ", ") + values[i];
        return text;
    }

    /* One line of what differs; empty when the runs are alike. */
    std::string Text() const
    {
        std::vector<std::string> parts;
        if (Loops.size() > 1)
            parts.push_back(Listed(Loops));
        if (Sizes.size() > 1)
            parts.push_back("request data " + Listed(Sizes) + " bytes");
        if (Datagrams.size() > 1)
            parts.push_back("datagrams " + Listed(Datagrams));
        std::string text;
        for (const std::string &part : parts)
            text += (text.empty() ? "" : "; ") + part;
        return text;
    }
};

RunIdentity IdentityOf(const ResultFields &document, const char *name)
{
    if (!document.Has(name) || document.IsNull(name))
        return {};
    ResultFields run = document.Fields(name);
    return RunIdentity{run.Text("id", 64), run.Text("host", 255),
                       static_cast<uint32_t>(run.Count("pid", 0, UINT32_MAX))};
}

/* The runs a result holds: those merged into it, or the run itself. A
 * result written before runs had ids is known by its start and seed. */
std::vector<MergedRun> RunsOf(const ResultFields &document, double started, uint64_t seed,
                              const std::string &path)
{
    if (!document.Has("merged_from") || document.IsNull("merged_from"))
        return {MergedRun{IdentityOf(document, "run"), started, seed, path}};
    ResultFields merged = document.Array("merged_from", MaxMergedRuns);
    std::vector<MergedRun> runs;
    for (size_t i = 0; i < merged.Size(); ++i) {
        ResultFields run = merged.Fields(std::to_string(i));
        runs.push_back(MergedRun{IdentityOf(run, "run"), run.Number("started_unix_s", 0, MaxUnixS),
                                 run.Count("seed", 0, UINT64_MAX), run.Text("file", MaxTextBytes)});
    }
    return runs;
}

/* How a message names a run. */
std::string RunText(const MergedRun &run)
{
    if (run.Run.Id.empty())
        return "the run without id started at " + FixedText(run.StartedUnixS, 6) + " with seed " +
               std::to_string(run.Seed);
    return "run " + run.Run.Id + " (host " + run.Run.Host + ", pid " + std::to_string(run.Run.Pid) +
           ")";
}

struct MergeState {
    std::vector<Span> Runs, Measured, Sending;
    std::map<std::string, std::string> FileOfRun; /* by id, or by start and seed */
    Aspects Mixed;
};

/* Takes the runs a result holds, each once: false with *error when one of
 * them is in an earlier file already. */
bool TakeRuns(const std::vector<MergedRun> &runs, const std::string &path, MergeState *state,
              RunResult *result, std::string *error)
{
    for (const MergedRun &run : runs) {
        std::string key = run.Run.Id.empty()
                              ? FixedText(run.StartedUnixS, 6) + "/" + std::to_string(run.Seed)
                              : run.Run.Id;
        auto [known, added] = state->FileOfRun.emplace(key, path);
        if (!added) {
            *error = "holds " + RunText(run) + ", which " + known->second +
                     " holds too: a run is merged once";
            return false;
        }
        result->MergedFrom.push_back(run);
    }
    if (result->MergedFrom.size() <= MaxMergedRuns)
        return true;
    *error = "brings the runs merged to more than " + std::to_string(MaxMergedRuns);
    return false;
}

/* Reads one document of element into *part; throws ResultFieldError on a
 * member missing, of the wrong kind or out of range. */
bool ReadPart(const ResultJson &json, const std::string &element, MergePart *part,
              std::string *error)
{
    if (json.contains("sweep") || json.contains("repeats")) {
        *error = std::string("is the result of ") +
                 (json.contains("sweep") ? "a sweep (-R)" : "repeated runs (-N)") +
                 ": only results of single runs merge";
        return false;
    }
    ResultFields document(json, "");
    std::string drove = document.Fields("settings").Text("element", 255);
    if (!element.empty() && drove != element) {
        *error = "drove service element " + drove + ", the first result " + element +
                 ": only runs of one element merge";
        return false;
    }
    part->Settings = SettingsOf(document.Fields("settings"));
    if (!document.Has("started_unix_s")) {
        *error = "has no \"started_unix_s\": written by a tfxclnt that does not say when it ran";
        return false;
    }
    part->StartS = document.Number("started_unix_s", 0.0, MaxUnixS);
    part->ElapsedS = document.Number("elapsed_s", 0.0, MaxRunS);
    part->MeasuredS = document.Number("measured_s", 0.0, part->ElapsedS);
    part->SendingS = document.Number("sending_s", 0.0, part->ElapsedS);
    RunResult &result = part->Result;
    result.MergedFrom = RunsOf(document, part->StartS, part->Settings.Seed, part->Name);
    AddCounts(document, &result.Counts);
    AddServerView(document, &result.Server);
    AddLatency(document, "latency_ns", &result.Latency);
    AddLatency(document, "uncorrected_latency_ns", &result.Uncorrected);
    AddLatency(document, "send_lag_ns", &result.SendLag);
    AddLatency(document, "warmup_latency_ns", &result.Warmup);
    result.Ended = EndOf(document);
    TakeFailure(document, &result);
    if (!document.IsNull("first_check_failure"))
        result.FirstCheckFailure = document.Text("first_check_failure", MaxTextBytes);
    return true;
}

/* Adds the figures of a part's run to those of the runs before it. */
void AddFigures(const RunResult &part, bool first, RunResult *result)
{
    for (size_t i = 0; i < CountFieldCount; ++i)
        result->Counts.*CountFields[i].Member += part.Counts.*CountFields[i].Member;
    for (const auto &[reason, count] : part.Counts.RefusedByReason)
        result->Counts.RefusedByReason[reason] += count;
    const ServerView &server = part.Server;
    if (server.Messages != 0) {
        result->Server.Transactions += server.Transactions;
        result->Server.Messages += server.Messages;
        result->Server.TotalSize += server.TotalSize;
        result->Server.MinSize = std::min(result->Server.MinSize, server.MinSize);
        result->Server.MaxSize = std::max(result->Server.MaxSize, server.MaxSize);
    }
    result->Latency.Add(part.Latency);
    result->Uncorrected.Add(part.Uncorrected);
    result->SendLag.Add(part.SendLag);
    result->Warmup.Add(part.Warmup);
    result->Ended = first ? part.Ended : Heavier(result->Ended, part.Ended);
    if (part.Failed && !result->Failed) {
        result->Failed = true;
        result->FailureLabel = part.FailureLabel;
        result->Failure = part.Failure;
    }
    if (result->FirstCheckFailure.empty())
        result->FirstCheckFailure = part.FirstCheckFailure;
}

} // namespace

bool ReadMergePart(const ResultJson &document, const std::string &element, MergePart *part,
                   std::string *error)
{
    try {
        return ReadPart(document, element, part, error);
    } catch (const ResultFieldError &fault) {
        *error = fault.what();
        return false;
    }
}

void TimesOfRun(MergePart *part)
{
    RunResult &result = part->Result;
    part->Settings.Seed = result.Seed;
    part->StartS = static_cast<double>(result.StartUnixNs) / NsPerSecond;
    part->ElapsedS = result.ElapsedSeconds();
    part->MeasuredS = result.MeasuredSeconds();
    part->SendingS = static_cast<double>(result.SendingEndNs - result.StartNs) / NsPerSecond;
    result.MergedFrom = {MergedRun{result.Identity, part->StartS, result.Seed, part->Name}};
}

struct ResultMerger::State : MergeState {};

ResultMerger::ResultMerger(ClientSettings *settings, RunResult *result)
    : settings_(settings), result_(result), state_(std::make_unique<State>())
{
}

ResultMerger::~ResultMerger() = default;

bool ResultMerger::Add(const MergePart &part, std::string *error)
{
    bool first = state_->Runs.empty();
    const ClientSettings &run = part.Settings;
    std::string why;
    if (!TakeRuns(part.Result.MergedFrom, part.Name, state_.get(), result_, &why)) {
        *error = part.Name + ": " + why;
        return false;
    }
    AddSettings(run, first, settings_);
    state_->Mixed.Add(run);
    if (first)
        result_->Seed = run.Seed;
    double start = part.StartS, end = part.StartS + part.ElapsedS;
    state_->Runs.push_back(Span{start, end});
    state_->Measured.push_back(Span{end - part.MeasuredS, end});
    state_->Sending.push_back(Span{start, start + part.SendingS});
    AddFigures(part.Result, first, result_);
    return true;
}

void ResultMerger::Finish()
{
    const MergeState &state = *state_;
    result_->Mixed = state.Mixed.Text();
    uint64_t messages = result_->Counts.Messages;
    settings_->DatagramPercent =
        messages != 0 ? 100.0 * static_cast<double>(result_->Counts.Datagrams) / messages : 0.0;
    /* One run of the length of the union, its warm-up what is not measured. */
    result_->StartNs = 0;
    result_->StartUnixNs = ToNs(
        std::min_element(state.Runs.begin(), state.Runs.end(), [](const Span &a, const Span &b) {
            return a.Start < b.Start;
        })->Start);
    result_->EndNs = ToNs(UnionSeconds(state.Runs));
    uint64_t measured = std::min(result_->EndNs, ToNs(UnionSeconds(state.Measured)));
    result_->WarmupEndNs = result_->EndNs - measured;
    result_->SendingEndNs = ToNs(UnionSeconds(state.Sending));
}

bool MergeResultFiles(const std::vector<std::string> &paths, ClientSettings *settings,
                      RunResult *result, std::string *error)
{
    std::vector<ResultJson> documents(paths.size());
    for (size_t i = 0; i < paths.size(); ++i)
        if (!ReadResultFile(paths[i], &documents[i], error))
            return false;
    return MergeResultDocuments(documents, paths, settings, result, error);
}

bool MergeResultDocuments(const std::vector<ResultJson> &documents,
                          const std::vector<std::string> &names, ClientSettings *settings,
                          RunResult *result, std::string *error)
{
    ResultMerger merger(settings, result);
    for (size_t i = 0; i < documents.size(); ++i) {
        auto part = std::make_unique<MergePart>();
        part->Name = names[i];
        if (!ReadMergePart(documents[i], i == 0 ? "" : settings->Element, part.get(), error)) {
            *error = names[i] + ": " + *error;
            return false;
        }
        if (!merger.Add(*part, error))
            return false;
    }
    merger.Finish();
    return true;
}
