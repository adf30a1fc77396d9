/* What a run did: its counts, outcomes and latencies, as the report and the
 * JSON output show them. Filled by the traffic run, read by everyone else. */
#ifndef TFX_CLIENT_RUNRESULT_H
#define TFX_CLIENT_RUNRESULT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qlx/ErrorRecord.h"
#include "client/values/Histogram.h"
#include "client/results/RunIdentity.h"

enum class EndReason {
    Count,     /* -n messages were sent */
    Duration,  /* -d seconds of sending were over */
    Interrupt, /* SIGINT, SIGTERM or SIGUSR1: sending stopped, outstanding transactions waited for
                */
    SecondInterrupt, /* a second one: the run ended at once, outstanding transactions left */
    Silence,         /* transactions timed out and nothing at all came for a whole timeout */
    Blocked,         /* the queue towards the service stayed full for a whole timeout */
    ServiceGone,     /* the service went away: outstanding transactions left unfinished */
    Failure,         /* a messaging call failed */
};

struct RunCounts {
    uint64_t Messages = 0; /* sent, transactions and datagrams */
    uint64_t Transactions = 0;
    uint64_t Datagrams = 0;
    /* Every transaction ends exactly once, in one of these three. */
    uint64_t Completed = 0; /* by its last response, or closed without one */
    uint64_t Refused = 0;   /* 'N' */
    uint64_t TimedOut = 0;
    uint64_t Unanswered = 0; /* of Completed: closed without a response ('E') */
    uint64_t Notify = 0;     /* responses of transactions not yet ended */
    uint64_t Normal = 0;
    uint64_t Alerts = 0;
    uint64_t Late = 0;              /* replies for transactions already ended */
    uint64_t NotifyAfterNormal = 0; /* breaks of the sequence */
    uint64_t UnknownRequest = 0;
    uint64_t Checked = 0; /* responses verified (-V) */
    uint64_t CheckFailures = 0;
    uint64_t WarmupMessages = 0;
    uint64_t WarmupTransactions = 0;
    uint64_t MeasuredMessages = 0;  /* sent after the warm-up */
    uint64_t MeasuredCompleted = 0; /* transactions sent after the warm-up and completed */
    uint64_t MeasuredBytes = 0;     /* request data of the messages sent after the warm-up */
    uint64_t QueueFull = 0;         /* sends put off because the queue was full */
    std::map<int32_t, uint64_t> RefusedByReason;

    /* Transactions still waiting for their end. */
    uint64_t Outstanding() const { return Transactions - Completed - Refused - TimedOut; }
    uint64_t OutOfSequence() const { return NotifyAfterNormal + UnknownRequest; }
};

/* The counters the server keeps, with its 32-bit arithmetic, for the
 * messages it will have received: every datagram, and every transaction but
 * the refused ones. */
struct ServerView {
    uint32_t Transactions = 0;
    uint32_t Messages = 0;
    uint32_t MinSize = 999999;
    uint32_t MaxSize = 0;
    uint32_t TotalSize = 0;

    void Count(uint32_t size, bool transaction)
    {
        MinSize = size < MinSize ? size : MinSize;
        MaxSize = size > MaxSize ? size : MaxSize;
        TotalSize += size;
        ++Messages;
        Transactions += transaction ? 1 : 0;
    }
};

/* What one interval of the run saw, usually a second: every message sent,
 * transaction ended and latency recorded between its start and its end.
 * The intervals follow each other without gap or overlap. */
struct IntervalFigures {
    double StartS = 0.0; /* from the start of the run */
    double DurationS = 0.0;
    bool Warmup = false; /* began within the warm-up */
    uint64_t Messages = 0;
    uint64_t Completed = 0;
    uint64_t Refused = 0;
    uint64_t TimedOut = 0;
    /* Latencies of the transactions completed within it; 0 when none was. */
    uint64_t P50 = 0;
    uint64_t P99 = 0;
    uint64_t P999 = 0;
    uint64_t Max = 0;

    double TransactionsPerSecond() const
    {
        return DurationS > 0.0 ? static_cast<double>(Completed) / DurationS : 0.0;
    }
};

/* An agent of a run on agents (-D): its name (host:pid) and its clock less
 * the controller's, as measured. */
struct AgentClock {
    std::string Name;
    int64_t OffsetNs = 0;
    int64_t UncertaintyNs = 0;
};

struct RunResult {
    RunIdentity Identity;
    std::vector<MergedRun> MergedFrom; /* -M: the runs merged into this one */
    std::string Mixed; /* -M: how the merged runs' settings differ; empty when alike */
    uint64_t Seed = 0;
    RunCounts Counts;
    ServerView Server;
    Histogram Latency;     /* measured transactions, from the intended send time */
    Histogram Uncorrected; /* the same from the actual send time; kept under -r only */
    Histogram Warmup;      /* transactions sent during the warm-up */
    Histogram SendLag;     /* how late each send was against the schedule, under -r */
    EndReason Ended = EndReason::Count;
    int Signal = 0;             /* the signal that ended sending, 0 for none */
    uint64_t PlannedSendNs = 0; /* under -r: when the last message sent was due, from the start */
    uint64_t LastSendLagNs = 0; /* under -r: how late it went */
    uint64_t StartNs = 0;
    uint64_t StartUnixNs = 0; /* the wall clock at the start, to line up runs of several hosts */
    uint64_t WarmupEndNs = 0;
    uint64_t SendingEndNs = 0;
    uint64_t EndNs = 0;
    uint64_t GoneNs = 0;      /* when the library told that the service went away, or 0 */
    uint64_t ServedEndNs = 0; /* then: its last reply, where the measured time ends */
    std::string FirstCheckFailure;
    bool Failed = false;
    std::string FailureLabel; /* "ClientSend: " and the like */
    QLXERROR Failure{};
    std::vector<IntervalFigures> Intervals; /* the whole run, one a second */
    /* -D: agents lost in the run. Their figures end at their last interval,
     * so the counts are lower bounds, and the transactions they had
     * outstanding then have an end no one knows. */
    uint32_t LostAgents = 0;
    uint64_t UnknownEnds = 0;
    std::vector<AgentClock> Agents; /* -D under -R and -N: the agents that made it */

    /* Transactions left without their end: outstanding, not of a lost agent. */
    uint64_t Unfinished() const { return Counts.Outstanding() - UnknownEnds; }

    double ElapsedSeconds() const { return static_cast<double>(EndNs - StartNs) / 1e9; }
    /* From the end of the warm-up to the end of the run, or to the service's
     * last reply when it went away: the time it was not there is not in the
     * figures. */
    double MeasuredSeconds() const
    {
        uint64_t end = GoneNs != 0 ? ServedEndNs : EndNs;
        return end > WarmupEndNs ? static_cast<double>(end - WarmupEndNs) / 1e9 : 0.0;
    }
    double TransactionsPerSecond() const
    {
        double seconds = MeasuredSeconds();
        return seconds > 0.0 ? static_cast<double>(Counts.MeasuredCompleted) / seconds : 0.0;
    }
    double MessagesPerSecond() const
    {
        double seconds = MeasuredSeconds();
        return seconds > 0.0 ? static_cast<double>(Counts.MeasuredMessages) / seconds : 0.0;
    }
    double BytesPerSecond() const
    {
        double seconds = MeasuredSeconds();
        return seconds > 0.0 ? static_cast<double>(Counts.MeasuredBytes) / seconds : 0.0;
    }
    /* Under -r, whether the last message went out far behind its schedule:
     * by more than a tenth of the time planned for sending, and 100 ms. */
    bool FellBehind() const
    {
        uint64_t allowed = PlannedSendNs / 10 > 100000000 ? PlannedSendNs / 10 : 100000000;
        return LastSendLagNs > allowed;
    }
};

#endif
