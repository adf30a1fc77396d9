#include "client/ResultMerge.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "client/JsonReport.h"
#include "client/ResultDocument.h"
#include "client/SummaryReport.h"

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

bool ReadDocument(const std::string &path, ResultJson *document, std::string *error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot be read (" + strerror(errno) + ")";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::string why;
    if (ParseResultDocument(text.str(), document, &why))
        return true;
    *error = path + ": " + why;
    return false;
}

/* Adds a latency histogram of a result, when it has one, to *into. */
void AddLatency(const ResultJson &latency, Histogram *into)
{
    if (!latency.is_object() || latency.at("samples").get<uint64_t>() == 0)
        return;
    uint64_t samples = latency.at("samples").get<uint64_t>();
    for (const ResultJson &bucket : latency.at("buckets"))
        into->AddToBucket(bucket.at(0).get<uint64_t>(), bucket.at(2).get<uint64_t>());
    into->AddExtremes(latency.at("min").get<uint64_t>(), latency.at("max").get<uint64_t>(),
                      static_cast<long double>(latency.at("mean").get<double>()) * samples);
}

void AddCounts(const ResultJson &document, RunCounts *counts)
{
    const ResultJson &json = document.at("counts");
    for (size_t i = 0; i < CountFieldCount; ++i)
        counts->*CountFields[i].Member += json.at(CountFields[i].Name).get<uint64_t>();
    for (const ResultJson &refusal : document.at("refused_by_reason"))
        counts->RefusedByReason[refusal.at("reason").get<int32_t>()] +=
            refusal.at("count").get<uint64_t>();
}

/* The server counts in 32 bits, and so does its view merged. */
void AddServerView(const ResultJson &json, ServerView *server)
{
    if (json.at("total").get<uint32_t>() == 0)
        return;
    server->Transactions += json.at("transactions").get<uint32_t>();
    server->Messages += json.at("total").get<uint32_t>();
    server->TotalSize += json.at("size_total").get<uint32_t>();
    server->MinSize = std::min(server->MinSize, json.at("size_min").get<uint32_t>());
    server->MaxSize = std::max(server->MaxSize, json.at("size_max").get<uint32_t>());
}

/* The run's failure, as the result recorded it. */
void TakeFailure(const ResultJson &failure, RunResult *result)
{
    if (failure.is_null() || result->Failed)
        return;
    result->Failed = true;
    result->FailureLabel = failure.at("call").get<std::string>() + ": ";
    result->Failure.PrimaryResult = ResultBlock{2, failure.at("reason").get<int32_t>(), {}};
    result->Failure.SubResult = ResultBlock{2, 0, {}};
    (void)snprintf(result->Failure.PrimaryResult.Text, sizeof result->Failure.PrimaryResult.Text,
                   "%s", failure.at("text").get<std::string>().c_str());
    (void)snprintf(result->Failure.SubResult.Text, sizeof result->Failure.SubResult.Text, "%s",
                   failure.at("detail").get<std::string>().c_str());
}

/* The ends in the order one outweighs another when runs ended differently. */
const EndReason EndsByWeight[] = {EndReason::Failure,   EndReason::Blocked,  EndReason::Silence,
                                  EndReason::Interrupt, EndReason::Duration, EndReason::Count};

EndReason EndOf(const std::string &name)
{
    for (EndReason reason : EndsByWeight)
        if (name == EndReasonName(reason))
            return reason;
    return EndReason::Failure;
}

EndReason Heavier(EndReason a, EndReason b)
{
    for (EndReason reason : EndsByWeight)
        if (reason == a || reason == b)
            return reason;
    return a;
}

/* What the summary shows of the runs: the first one's settings, with the
 * connections, rates and counts of all. */
void AddSettings(const ResultJson &json, bool first, ClientSettings *settings)
{
    uint32_t connections = json.at("connections").get<uint32_t>();
    double rate = json.at("rate").is_null() ? 0.0 : json.at("rate").get<double>();
    bool counted = !json.at("count").is_null();
    uint64_t count = counted ? json.at("count").get<uint64_t>() : 0;
    double duration = json.at("duration_s").is_null() ? 0.0 : json.at("duration_s").get<double>();
    settings->Duration = first ? duration : std::max(settings->Duration, duration);
    if (first) {
        settings->Element = json.at("element").get<std::string>();
        settings->Window = json.at("window").get<uint32_t>();
        settings->Timeout = json.at("timeout_s").get<double>();
        settings->Warmup = json.at("warmup_s").get<double>();
        settings->Verify = json.at("verify").get<bool>();
        settings->SizeMin = json.at("size_min").get<uint32_t>();
        settings->SizeMax = json.at("size_max").get<uint32_t>();
        settings->Connections = connections;
        settings->Rate = rate;
        settings->CountLimited = counted;
        settings->Count = count;
        return;
    }
    settings->Connections += connections;
    settings->Rate += rate;
    settings->CountLimited = settings->CountLimited && counted;
    settings->Count += count;
    settings->SizeMin = std::min(settings->SizeMin, json.at("size_min").get<uint32_t>());
    settings->SizeMax = std::max(settings->SizeMax, json.at("size_max").get<uint32_t>());
}

struct RunSpans {
    std::vector<Span> Runs, Measured, Sending;
};

/* Merges one document; throws the JSON library's exceptions on a member of
 * the wrong type or missing. */
bool AddDocument(const ResultJson &document, bool first, ClientSettings *settings,
                 RunResult *result, RunSpans *spans, std::string *error)
{
    if (document.contains("sweep") || document.contains("repeats")) {
        *error = std::string("is the result of ") +
                 (document.contains("sweep") ? "a sweep (-R)" : "repeated runs (-N)") +
                 ": only results of single runs merge";
        return false;
    }
    const ResultJson &runSettings = document.at("settings");
    if (!first && runSettings.at("element").get<std::string>() != settings->Element) {
        *error = "drove service element " + runSettings.at("element").get<std::string>() +
                 ", the first result " + settings->Element + ": only runs of one element merge";
        return false;
    }
    auto started = document.find("started_unix_s");
    if (started == document.end() || !started->is_number()) {
        *error = "has no \"started_unix_s\": written by a tfxclnt that does not say when it ran";
        return false;
    }
    AddSettings(runSettings, first, settings);
    if (first)
        result->Seed = runSettings.at("seed").get<uint64_t>();
    double start = started->get<double>();
    double end = start + document.at("elapsed_s").get<double>();
    spans->Runs.push_back(Span{start, end});
    spans->Measured.push_back(Span{end - document.at("measured_s").get<double>(), end});
    spans->Sending.push_back(Span{start, start + document.at("sending_s").get<double>()});
    AddCounts(document, &result->Counts);
    AddServerView(document.at("server_view"), &result->Server);
    AddLatency(document.at("latency_ns"), &result->Latency);
    AddLatency(document.at("uncorrected_latency_ns"), &result->Uncorrected);
    AddLatency(document.at("send_lag_ns"), &result->SendLag);
    AddLatency(document.at("warmup_latency_ns"), &result->Warmup);
    EndReason ended = EndOf(document.at("ended_by").get<std::string>());
    result->Ended = first ? ended : Heavier(result->Ended, ended);
    TakeFailure(document.at("failure"), result);
    const ResultJson &check = document.at("first_check_failure");
    if (result->FirstCheckFailure.empty() && !check.is_null())
        result->FirstCheckFailure = check.get<std::string>();
    return true;
}

} // namespace

bool MergeResultFiles(const std::vector<std::string> &paths, ClientSettings *settings,
                      RunResult *result, std::string *error)
{
    std::vector<ResultJson> documents(paths.size());
    for (size_t i = 0; i < paths.size(); ++i)
        if (!ReadDocument(paths[i], &documents[i], error))
            return false;
    return MergeResultDocuments(documents, paths, settings, result, error);
}

bool MergeResultDocuments(const std::vector<ResultJson> &documents,
                          const std::vector<std::string> &names, ClientSettings *settings,
                          RunResult *result, std::string *error)
{
    RunSpans spans;
    for (size_t i = 0; i < documents.size(); ++i) {
        std::string why;
        try {
            if (!AddDocument(documents[i], i == 0, settings, result, &spans, &why)) {
                *error = names[i] + ": " + why;
                return false;
            }
        } catch (const ResultJson::exception &fault) {
            std::string what = fault.what();
            *error =
                names[i] + ": not a whole result of tfxclnt: " + what.substr(what.find("] ") + 2);
            return false;
        }
    }
    uint64_t messages = result->Counts.Messages;
    settings->DatagramPercent =
        messages != 0 ? 100.0 * static_cast<double>(result->Counts.Datagrams) / messages : 0.0;
    /* One run of the length of the union, its warm-up what is not measured. */
    result->StartNs = 0;
    result->StartUnixNs = ToNs(
        std::min_element(spans.Runs.begin(), spans.Runs.end(), [](const Span &a, const Span &b) {
            return a.Start < b.Start;
        })->Start);
    result->EndNs = ToNs(UnionSeconds(spans.Runs));
    uint64_t measured = std::min(result->EndNs, ToNs(UnionSeconds(spans.Measured)));
    result->WarmupEndNs = result->EndNs - measured;
    result->SendingEndNs = ToNs(UnionSeconds(spans.Sending));
    return true;
}
