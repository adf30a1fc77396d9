/* The run served live to Prometheus (-l): at the end of every interval the
 * run's thread publishes its counts and the latencies of the interval, added
 * into the fixed latency buckets; the listener's thread renders the last
 * publication for each scrape. The labels say which run it is: element,
 * transport, run id, host and, on an agent, the agent. */
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
    uint64_t TakenMs = 0;   /* when, on the wall clock */
};

/* The exposition of figures under the label set labels (as written between
 * braces). */
void RenderLiveFigures(MetricsText *text, const std::string &labels, const LiveFigures &figures);

/* The transport the library picks for this process: "nats" when
 * QLX_ENDPOINT names NATS servers, else "zmq". */
const char *TransportInUse();

class LiveMetrics final : public IntervalSink {
  public:
    /* Serves at address the run whose result is *result, read on the run's
     * thread at each interval. Null, with *error set, when the address
     * cannot be bound. */
    static std::unique_ptr<LiveMetrics> Start(const std::string &address, const RunResult *result,
                                              const std::string &element, const std::string &agent,
                                              std::string *error);
    ~LiveMetrics();
    LiveMetrics(const LiveMetrics &) = delete;
    LiveMetrics &operator=(const LiveMetrics &) = delete;

    void Closed(const IntervalFigures &figures, const Histogram &latency,
                const RunCounts &counts) override;

    /* After the run: waits until a scrape has read the last publication, for
     * at most limitMs, or until *interrupted is set. */
    void Linger(uint32_t limitMs, const StopFlag *interrupted);

  private:
    LiveMetrics(const RunResult *result, std::string element, std::string agent)
        : result_(result), element_(std::move(element)), agent_(std::move(agent))
    {
    }
    static void Render(MetricsText *text, void *context);
    bool LastScraped();

    const RunResult *result_;
    std::string element_;
    std::string agent_;
    LiveFigures own_; /* the run's thread's */
    MetricsServer *server_ = nullptr;
    std::mutex lock_;
    LiveFigures published_;         /* under lock_ */
    std::string labels_;            /* under lock_ */
    uint64_t publications_ = 0;     /* under lock_ */
    uint64_t lastScraped_ = 0;      /* under lock_: the publication the last scrape read */
    uint64_t sentBeforeScrape_ = 0; /* under lock_: replies written whole before it */
};

#endif
