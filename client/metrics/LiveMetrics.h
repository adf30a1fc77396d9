/* The run served live to Prometheus (-l): at the end of every interval the
 * run's thread publishes its counts and the latencies of the interval, added
 * into the fixed latency buckets; the listener's thread renders the last
 * publication for each scrape. The labels say which run it is: element,
 * transport, run id, host and, on an agent, the agent. An agent serves each
 * of its runs in turn, and each run that ended for five minutes beside the
 * next, so that no scrape misses how a run ended. */
#ifndef TFX_CLIENT_LIVEMETRICS_H
#define TFX_CLIENT_LIVEMETRICS_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/results/RunResult.h"
#include "client/traffic/TrafficRun.h"
#include "metrics/MetricsListener.h"

/* What one scrape shows of a run. */
struct LiveFigures {
    RunCounts Counts;
    std::vector<uint64_t> Latency = std::vector<uint64_t>(LatencyBuckets); /* measured */
    uint64_t LatencySumNs = 0;
    uint64_t SendLagNs = 0; /* how late the last send went, under -r */
    bool Sends = true;      /* false on a controller, which has no send lag of its own */
    uint64_t TakenMs = 0;   /* when, on the wall clock */
};

/* The figures of one run under its label set (as written between braces). */
struct LiveSeries {
    std::string Labels;
    LiveFigures Figures;
};

/* The exposition of runs, each family once with a sample of every run. */
void RenderLiveFigures(MetricsText *text, const std::vector<LiveSeries> &runs);

/* The transport the library picks for this process: "nats" when
 * QLX_ENDPOINT names NATS servers, else "zmq". */
const char *TransportInUse();

/* Which run is served: its labels, and the result whose send lag each
 * interval reads (null on a controller). */
struct LiveRun {
    std::string Element;
    std::string Run; /* its id */
    std::string Host;
    std::string Agent; /* empty but on an agent */
    const RunResult *Result;
};

class LiveMetrics final : public IntervalSink {
  public:
    /* Serves at address, no run yet. Null, with *error set, when the
     * address cannot be bound. */
    static std::unique_ptr<LiveMetrics> Start(const std::string &address, std::string *error);
    ~LiveMetrics();
    LiveMetrics(const LiveMetrics &) = delete;
    LiveMetrics &operator=(const LiveMetrics &) = delete;

    /* On the run's thread, before it begins: serves run from now on, its
     * counts at zero, so that Prometheus sees them rise from its start. */
    void Follow(const LiveRun &run);

    void Closed(const IntervalFigures &figures, const Histogram &latency,
                const RunCounts &counts) override;

    /* The run's own result at its end: the merged one on a controller. */
    void Final(const RunResult &result);

    /* After the run: waits until a scrape has read the last publication, for
     * at most limitMs, or until *interrupted is set. */
    void Linger(uint32_t limitMs, const StopFlag *interrupted);

  private:
    /* Ended runs served at most beside the current one, so that the many
     * short runs of -N on an agent keep a scrape small. */
    static const size_t EndedKept = 16;

    LiveMetrics() = default;
    void RetireRun();
    void Publish();
    static void Render(MetricsText *text, void *context);
    bool LastScraped();

    const RunResult *result_ = nullptr;
    std::string labels_;
    LiveFigures own_; /* the run's thread's */
    MetricsServer *server_ = nullptr;
    std::mutex lock_;
    LiveFigures published_;         /* under lock_ */
    std::string publishedLabels_;   /* under lock_ */
    uint64_t publications_ = 0;     /* under lock_ */
    std::vector<LiveSeries> ended_; /* under lock_: the runs before, the last EndedKept */
    uint64_t lastScraped_ = 0;      /* under lock_: the publication the last scrape read */
    uint64_t sentBeforeScrape_ = 0; /* under lock_: replies written whole before it */
};

#endif
