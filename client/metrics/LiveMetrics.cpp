#include "client/metrics/LiveMetrics.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

/* How long figures stay served after they were taken: Prometheus's
 * look-back. An agent between runs serves its last run so long, then none. */
static const uint64_t KeepMs = 5 * 60 * 1000;

const char *TransportInUse()
{
    const char *endpoint = getenv("QLX_ENDPOINT");
    if (endpoint != nullptr &&
        (strncmp(endpoint, "nats://", 7) == 0 || strncmp(endpoint, "tls://", 6) == 0))
        return "nats";
    return "zmq";
}

static void Counter(MetricsText *text, const char *name, const char *help,
                    const std::string &labels, uint64_t value)
{
    AddFamily(text, name, "counter", help);
    AddSample(text, name, labels.c_str(), value);
}

static std::string With(const std::string &labels, const char *name, const std::string &value)
{
    MetricsText more{};
    AppendText(&more, labels.data(), labels.size());
    AddLabel(&more, name, value.c_str());
    std::string joined = more.Failed ? labels : std::string(more.Data, more.Length);
    FreeMetricsText(&more);
    return joined;
}

static void Refusals(MetricsText *text, const std::string &labels, const RunCounts &counts)
{
    static const char Name[] = "tfxclnt_refusals_total";
    AddFamily(text, Name, "counter", "Transactions refused, by reason code.");
    for (const auto &[code, count] : counts.RefusedByReason)
        AddSample(text, Name, With(labels, "code", std::to_string(code)).c_str(), count);
}

void RenderLiveFigures(MetricsText *text, const std::string &labels, const LiveFigures &figures)
{
    const RunCounts &counts = figures.Counts;
    text->TimestampMs = figures.TakenMs;
    Counter(text, "tfxclnt_messages_sent_total", "Messages sent, transactions and datagrams.",
            labels, counts.Messages);
    Counter(text, "tfxclnt_transactions_sent_total", "Transactions sent.", labels,
            counts.Transactions);
    Counter(text, "tfxclnt_completed_total", "Transactions completed.", labels, counts.Completed);
    Refusals(text, labels, counts);
    Counter(text, "tfxclnt_timeouts_total", "Transactions timed out.", labels, counts.TimedOut);
    Counter(text, "tfxclnt_late_replies_total", "Replies of transactions already ended.", labels,
            counts.Late);
    Counter(text, "tfxclnt_out_of_order_total",
            "Replies out of sequence: notify after normal, or of no transaction sent.", labels,
            counts.OutOfSequence());
    AddFamily(text, "tfxclnt_outstanding", "gauge", "Transactions waiting for their end.");
    AddSample(text, "tfxclnt_outstanding", labels.c_str(), counts.Outstanding());
    if (figures.Sends) {
        AddFamily(text, "tfxclnt_send_lag_seconds", "gauge",
                  "How late the last send went against the schedule (-r).");
        AddSeconds(text, "tfxclnt_send_lag_seconds", labels.c_str(), figures.SendLagNs);
    }
    AddFamily(text, "tfxclnt_latency_seconds", "histogram",
              "Latency of the transactions measured, from the intended send to the end.");
    AddLatencyHistogram(text, "tfxclnt_latency_seconds", labels.c_str(), figures.Latency.data(),
                        figures.LatencySumNs);
}

std::unique_ptr<LiveMetrics> LiveMetrics::Start(const std::string &address, std::string *error)
{
    sockaddr_in where{};
    const char *why = nullptr;
    if (!ParseMetricsAddress(address.c_str(), &where, &why)) {
        *error = why;
        return nullptr;
    }
    std::unique_ptr<LiveMetrics> live(new LiveMetrics());
    char failure[256];
    live->server_ = StartMetricsServer(where, Render, live.get(), failure, sizeof failure);
    if (live->server_ == nullptr) {
        *error = failure;
        return nullptr;
    }
    return live;
}

LiveMetrics::~LiveMetrics()
{
    StopMetricsServer(server_);
}

void LiveMetrics::Follow(const LiveRun &run)
{
    MetricsText labels{};
    AddLabel(&labels, "element", run.Element.c_str());
    AddLabel(&labels, "transport", TransportInUse());
    AddLabel(&labels, "run", run.Run.c_str());
    AddLabel(&labels, "host", run.Host.c_str());
    if (!run.Agent.empty())
        AddLabel(&labels, "agent", run.Agent.c_str());
    labels_ = labels.Failed ? std::string() : std::string(labels.Data, labels.Length);
    FreeMetricsText(&labels);
    result_ = run.Result;
    own_ = LiveFigures{};
    own_.Sends = result_ != nullptr;
    Publish();
}

/* The latencies of histogram into the fixed buckets, each of its buckets by
 * its middle. */
static void AddLatency(const Histogram &latency, LiveFigures *figures)
{
    latency.ForEachBucket([figures](uint64_t low, uint64_t high, uint64_t count) {
        figures->Latency[LatencyBucketOf(low + (high - low) / 2)] += count;
    });
    figures->LatencySumNs += static_cast<uint64_t>(latency.Mean() * latency.Count() + 0.5);
}

void LiveMetrics::Closed(const IntervalFigures &figures, const Histogram &latency,
                         const RunCounts &counts)
{
    own_.Counts = counts;
    if (result_ != nullptr)
        own_.SendLagNs = result_->LastSendLagNs;
    if (!figures.Warmup)
        AddLatency(latency, &own_);
    Publish();
}

void LiveMetrics::Final(const RunResult &result)
{
    own_.Counts = result.Counts;
    own_.Latency.assign(LatencyBuckets, 0);
    own_.LatencySumNs = 0;
    AddLatency(result.Latency, &own_);
    Publish();
}

void LiveMetrics::Publish()
{
    own_.TakenMs = WallClockMs();
    std::lock_guard<std::mutex> hold(lock_);
    published_ = own_;
    publishedLabels_ = labels_;
    ++publications_;
}

void LiveMetrics::Render(MetricsText *text, void *context)
{
    auto *live = static_cast<LiveMetrics *>(context);
    std::unique_lock<std::mutex> hold(live->lock_);
    LiveFigures figures = live->published_;
    std::string labels = live->publishedLabels_;
    uint64_t publication = live->publications_;
    hold.unlock();
    if (publication == 0 || WallClockMs() > figures.TakenMs + KeepMs)
        return;
    RenderLiveFigures(text, labels, figures);
    uint64_t sentBefore = MetricsRepliesSent(live->server_);
    hold.lock();
    live->lastScraped_ = publication;
    live->sentBeforeScrape_ = sentBefore;
}

/* Done once the reply of a scrape that read the last publication was
 * written whole: a reply finished after that scrape rendered. */
bool LiveMetrics::LastScraped()
{
    std::lock_guard<std::mutex> hold(lock_);
    return lastScraped_ == publications_ && MetricsRepliesSent(server_) > sentBeforeScrape_;
}

void LiveMetrics::Linger(uint32_t limitMs, const StopFlag *interrupted)
{
    enum : uint32_t { StepMs = 20 };
    for (uint32_t waited = 0; waited < limitMs && interrupted->load() == 0 && !LastScraped();
         waited += StepMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(StepMs));
}
