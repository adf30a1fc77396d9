#include "client/metrics/LiveMetrics.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

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

/* A family of one sample a run, each stamped with when its run's figures
 * were taken. */
template <typename Samples>
static void Family(MetricsText *text, const char *name, const char *type, const char *help,
                   const std::vector<LiveSeries> &runs, Samples samples)
{
    AddFamily(text, name, type, help);
    for (const LiveSeries &run : runs) {
        text->TimestampMs = run.Figures.TakenMs;
        samples(run.Labels, run.Figures);
    }
}

static void Counter(MetricsText *text, const char *name, const char *help,
                    const std::vector<LiveSeries> &runs, uint64_t (*value)(const RunCounts &))
{
    Family(text, name, "counter", help, runs,
           [&](const std::string &labels, const LiveFigures &figures) {
               AddSample(text, name, labels.c_str(), value(figures.Counts));
           });
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

static void Refusals(MetricsText *text, const std::vector<LiveSeries> &runs)
{
    static const char Name[] = "tfxclnt_refusals_total";
    Family(text, Name, "counter", "Transactions refused, by reason code.", runs,
           [&](const std::string &labels, const LiveFigures &figures) {
               for (const auto &[code, count] : figures.Counts.RefusedByReason)
                   AddSample(text, Name, With(labels, "code", std::to_string(code)).c_str(), count);
           });
}

static void SendLag(MetricsText *text, const std::vector<LiveSeries> &runs)
{
    static const char Name[] = "tfxclnt_send_lag_seconds";
    std::vector<LiveSeries> sending;
    for (const LiveSeries &run : runs)
        if (run.Figures.Sends)
            sending.push_back(run);
    if (sending.empty())
        return;
    Family(text, Name, "gauge", "How late the last send went against the schedule (-r).", sending,
           [&](const std::string &labels, const LiveFigures &figures) {
               AddSeconds(text, Name, labels.c_str(), figures.SendLagNs);
           });
}

void RenderLiveFigures(MetricsText *text, const std::vector<LiveSeries> &runs)
{
    Counter(text, "tfxclnt_messages_sent_total", "Messages sent, transactions and datagrams.", runs,
            [](const RunCounts &counts) { return counts.Messages; });
    Counter(text, "tfxclnt_transactions_sent_total", "Transactions sent.", runs,
            [](const RunCounts &counts) { return counts.Transactions; });
    Counter(text, "tfxclnt_completed_total", "Transactions completed.", runs,
            [](const RunCounts &counts) { return counts.Completed; });
    Refusals(text, runs);
    Counter(text, "tfxclnt_timeouts_total", "Transactions timed out.", runs,
            [](const RunCounts &counts) { return counts.TimedOut; });
    Counter(text, "tfxclnt_late_replies_total", "Replies of transactions already ended.", runs,
            [](const RunCounts &counts) { return counts.Late; });
    Counter(text, "tfxclnt_out_of_order_total",
            "Replies out of sequence: notify after normal, or of no transaction sent.", runs,
            [](const RunCounts &counts) { return counts.OutOfSequence(); });
    Family(text, "tfxclnt_outstanding", "gauge", "Transactions waiting for their end.", runs,
           [&](const std::string &labels, const LiveFigures &figures) {
               AddSample(text, "tfxclnt_outstanding", labels.c_str(), figures.Counts.Outstanding());
           });
    SendLag(text, runs);
    Family(text, "tfxclnt_latency_seconds", "histogram",
           "Latency of the transactions measured, from the intended send to the end.", runs,
           [&](const std::string &labels, const LiveFigures &figures) {
               AddLatencyHistogram(text, "tfxclnt_latency_seconds", labels.c_str(),
                                   figures.Latency.data(), figures.LatencySumNs);
           });
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
    /* Swapped, not assigned: GCC 12 takes the temporary's map for uninitialized. */
    LiveFigures fresh;
    std::swap(own_, fresh);
    own_.Sends = result_ != nullptr;
    RetireRun();
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

/* The run served so far joins the ended ones, which stay served beside the
 * next: a scrape that comes after the next run began still reads how the
 * last one ended. */
void LiveMetrics::RetireRun()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (publications_ == 0 || publishedLabels_.empty())
        return;
    ended_.push_back({publishedLabels_, published_});
    if (ended_.size() > EndedKept)
        ended_.erase(ended_.begin());
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
    std::vector<LiveSeries> runs = live->ended_;
    if (live->publications_ != 0)
        runs.push_back({live->publishedLabels_, live->published_});
    uint64_t publication = live->publications_;
    hold.unlock();
    uint64_t now = WallClockMs();
    runs.erase(
        std::remove_if(runs.begin(), runs.end(),
                       [now](const LiveSeries &run) { return now > run.Figures.TakenMs + KeepMs; }),
        runs.end());
    if (runs.empty())
        return;
    RenderLiveFigures(text, runs);
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
