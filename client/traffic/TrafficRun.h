/* The traffic itself: k connections driven from one thread, each with up to
 * a window of transactions outstanding (closed loop) or fed on a schedule
 * (open loop, -r). Every reply is matched to its transaction, and every
 * transaction ends exactly once: by its last response, 'E', 'N' or its
 * timeout. Nothing is allocated per message. */
#ifndef TFX_CLIENT_TRAFFICRUN_H
#define TFX_CLIENT_TRAFFICRUN_H

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "qlx/ClientRecords.h"
#include "client/options/ClientOptions.h"
#include "client/results/IntervalSeries.h"
#include "client/traffic/ReplyChecks.h"
#include "client/traffic/RequestText.h"
#include "client/results/RunResult.h"
#include "client/traffic/Workload.h"

/* Told of every interval as it closes, from the run's own thread. */
class IntervalSink {
  public:
    virtual void Closed(const IntervalFigures &figures, const Histogram &latency,
                        const RunCounts &counts) = 0;

  protected:
    ~IntervalSink() = default;
};

/* Where a run reports while it goes; null streams for none. */
struct RunOutput {
    FILE *Progress;               /* a progress line at the end of every interval */
    FILE *Messages;               /* a line for every message and reply (-v) */
    IntervalSink *Sink = nullptr; /* every interval with its latencies (-a) */
};

/* How many interrupts came (0, 1, 2): set by a signal handler or another
 * thread, read by the run; lock-free, so a handler may set it. */
using StopFlag = std::atomic<int>;
static_assert(StopFlag::is_always_lock_free, "a signal handler sets the stop flag");

class TrafficRun {
  public:
    /* Everything the run needs is allocated here. */
    TrafficRun(const ClientSettings &settings, RunResult *result, RunOutput output);
    /* Closes every connection. */
    ~TrafficRun();
    TrafficRun(const TrafficRun &) = delete;
    TrafficRun &operator=(const TrafficRun &) = delete;

    /* Opens count connections to the element (at least one). False when one
     * cannot be opened: the failure is in the result. */
    bool Connect(uint32_t count);

    /* Sends and receives until the plan is done, the time is up, the run is
     * interrupted (*interrupted set) or a messaging call fails, then waits
     * for every outstanding transaction to end, unless *interrupted passes 1
     * or the service went away: then it ends at once, after the replies
     * already there. Stops sending early when
     * transactions time out while nothing at all comes back, or when the
     * queue towards the service stays full for a whole timeout. */
    void Run(const StopFlag *interrupted);

    /* The intervals of the run, the last closed one's latencies among them. */
    const IntervalSeries &Intervals() const { return intervals_; }
    /* The server's view of the run, had it ended now with the transactions
     * still outstanding taken by the server. */
    ServerView ServerAsIfEnded() const;

    /* Sends the application manager's stop request on the first
     * connection. False when it cannot be sent: the failure is in the result. */
    bool SendStop();

  private:
    struct Slot {
        uint64_t Seq; /* 0 = free */
        uint64_t IntendedNs;
        uint64_t SentNs;
        uint32_t Size;
        bool Warmup;
        bool SawNormal;
    };
    struct Link {
        QLXHCONN Handle = 0;
        std::vector<Slot> Slots;
        std::vector<uint32_t> Free; /* a stack of free slot numbers */
    };

    bool OpenLoop() const { return settings_.Rate > 0.0; }
    void EndSending(EndReason reason, uint64_t now);
    void ServiceGone(uint64_t now);
    void CheckSendingEnd(uint64_t now);
    bool CountReached() const;
    void SendClosedLoop(uint64_t now);
    void SendOpenLoop(uint64_t now);
    Link *LinkWithRoom();
    bool SendNext(Link *link, uint64_t intended);
    bool ReceiveReplies(int32_t waitMs);
    bool Drain(Link *link, int32_t firstWaitMs);
    bool NoMessageOrFail(const char *label);
    void HandleReply(Link *link, uint64_t now);
    void HandleKnownReply(Link *link, uint32_t index, uint64_t now);
    enum class Ending { Completed, Refused, TimedOut };
    void Finish(Link *link, uint32_t index, Ending ending, uint64_t now);
    void ExpireTimeouts(uint64_t now);
    void CountOutstandingForServer();
    void CloseInterval(uint64_t now);
    int32_t WaitBudget(uint64_t now) const;
    bool SleepUntilDue(uint64_t now) const;
    void Fail(const char *label);

    const ClientSettings &settings_;
    RunResult *result_;
    RunOutput output_;
    Workload workload_;
    RequestText text_;
    ReplyChecker checker_;
    std::vector<Link> links_;
    std::vector<QLXHCONN> handles_;
    std::vector<uint8_t> ready_;
    QLXREQUEST request_;
    QLXREPLY reply_;
    uint64_t timeoutNs_;
    uint64_t sendingEndNs_ = UINT64_MAX; /* -d, after the warm-up */
    uint64_t nextScanNs_ = 0;            /* when a transaction may time out next */
    uint64_t lastHeardNs_ = 0;           /* when any reply last came */
    uint64_t lastSeq_ = 0;               /* the last message sent */
    uint32_t nextLink_ = 0;              /* round robin over the links */
    bool sending_ = true;
    bool queueFull_ = false;        /* the last send was put off */
    uint64_t queueFullSinceNs_ = 0; /* when sends started to be put off */
    IntervalSeries intervals_;
};

#endif
