#include "client/traffic/TrafficRun.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>

#include "binding/RecordPreparation.h"
#include "qlx/qlx.h"
#include "binding/tfxcodes.h"
#include "client/traffic/MessageLines.h"
#include "util/Clock.h"
#include "client/reports/ProgressLine.h"

enum : uint64_t {
    SlotBits = 20, /* request id = message number << SlotBits | slot */
    SlotMask = (uint64_t{1} << SlotBits) - 1,
    SecondNs = 1000000000,
    MillisecondNs = 1000000,
    WakeUpMarginNs = 60000, /* how much earlier than due a sleep ends */
};

enum : uint32_t {
    MaxSendsPerPass = 4096, /* so replies are read between bursts of sends */
    MaxDrainPerLink = 4096, /* so one busy connection does not starve the others */
};

static uint64_t ToNs(double seconds)
{
    return static_cast<uint64_t>(std::llround(seconds * 1e9));
}

TrafficRun::TrafficRun(const ClientSettings &settings, RunResult *result, RunOutput output)
    : settings_(settings), result_(result), output_(output), workload_(settings, result->Seed),
      text_(RequestOrigin(), settings.SizeMax), checker_(settings, RequestOrigin()),
      request_(DefaultRequest), reply_(DefaultReply), timeoutNs_(ToNs(settings.Timeout))
{
    reply_.Version = QLX_REPLY_VERSION_GONE;
    if (settings.MsgIdGiven) {
        request_.Options |= QLX_RQO_MSGID;
        memcpy(request_.MsgId, settings.MsgId, QLX_MSGID_LENGTH);
    }
}

TrafficRun::~TrafficRun()
{
    for (Link &link : links_)
        (void)qlxTerminate(&link.Handle);
}

void TrafficRun::Fail(const char *label)
{
    (void)qlxGetLastError(&result_->Failure);
    result_->Failed = true;
    result_->FailureLabel = label;
}

bool TrafficRun::Connect(uint32_t count)
{
    QLXSERVICEADDRESS address;
    PrepareServiceAddress(&address, settings_.Element.c_str());
    links_.resize(count);
    handles_.assign(count, 0);
    ready_.assign(count, 0);
    for (uint32_t i = 0; i < count; ++i) {
        Link &link = links_[i];
        if (!qlxClientConnect(&address, &link.Handle)) {
            Fail("ClientConnect: ");
            return false;
        }
        handles_[i] = link.Handle;
        link.Slots.assign(settings_.Window, Slot{});
        link.Free.reserve(settings_.Window);
        for (uint32_t slot = settings_.Window; slot > 0; --slot)
            link.Free.push_back(slot - 1);
    }
    return true;
}

bool TrafficRun::SendStop()
{
    if (qlxClientStop(links_[0].Handle))
        return true;
    Fail("ClientStop: ");
    return false;
}

void TrafficRun::EndSending(EndReason reason, uint64_t now)
{
    if (!sending_)
        return;
    sending_ = false;
    result_->Ended = reason;
    result_->SendingEndNs = now;
    intervals_.SendingEnded(now);
}

/* Whatever ended sending before, the run ends as the service's going away,
 * its figures up to the last reply. */
void TrafficRun::ServiceGone(uint64_t now)
{
    if (result_->GoneNs != 0)
        return;
    EndSending(EndReason::ServiceGone, now);
    result_->Ended = EndReason::ServiceGone;
    result_->GoneNs = now;
}

bool TrafficRun::CountReached() const
{
    return settings_.CountLimited && result_->Counts.MeasuredMessages >= settings_.Count;
}

void TrafficRun::CheckSendingEnd(uint64_t now)
{
    if (CountReached())
        EndSending(EndReason::Count, now);
    else if (!OpenLoop() && now >= sendingEndNs_)
        EndSending(EndReason::Duration, now);
    else if (queueFull_ && now - queueFullSinceNs_ >= timeoutNs_)
        EndSending(EndReason::Blocked, now);
}

bool TrafficRun::SendNext(Link *link, uint64_t intended)
{
    const PlannedMessage &planned = workload_.Peek();
    RunCounts &counts = result_->Counts;
    uint32_t index = planned.Datagram ? 0 : link->Free.back();
    request_.MsgType = planned.Datagram ? QLX_MSGTYPE_DATAGRAM : QLX_MSGTYPE_TRANSACTION;
    request_.RequestId = planned.Datagram ? 0 : (planned.Seq << SlotBits) | index;
    request_.Data = text_.Fill(planned.Seq);
    request_.DataLength = planned.Size;
    /* In a closed loop a message goes when it is meant to: one clock reading. */
    uint64_t sent = OpenLoop() ? MonotonicNs() : intended;
    if (!qlxClientSend(link->Handle, &request_)) {
        QLXERROR error;
        (void)qlxGetLastError(&error);
        if (error.PrimaryResult.ReasonCode != QLXRC_SEND_QUEUE_FULL) {
            Fail("ClientSend: ");
            return false;
        }
        ++counts.QueueFull;
        queueFullSinceNs_ = queueFull_ ? queueFullSinceNs_ : sent;
        queueFull_ = true;
        return false;
    }
    queueFull_ = false;
    bool warmup = intended < result_->WarmupEndNs;
    ++counts.Messages;
    ++(warmup ? counts.WarmupMessages : counts.MeasuredMessages);
    lastSeq_ = planned.Seq;
    counts.MeasuredBytes += warmup ? 0 : planned.Size;
    if (OpenLoop()) {
        result_->SendLag.Record(sent - intended);
        intervals_.RecordSendLag(sent - intended);
        result_->PlannedSendNs = intended - result_->StartNs;
        result_->LastSendLagNs = sent > intended ? sent - intended : 0;
    }
    if (output_.Messages != nullptr)
        PrintSentLine(output_.Messages, planned, request_.Data);
    if (planned.Datagram) {
        ++counts.Datagrams;
        result_->Server.Count(planned.Size, false);
    } else {
        ++counts.Transactions;
        counts.WarmupTransactions += warmup ? 1 : 0;
        link->Free.pop_back();
        link->Slots[index] = Slot{planned.Seq, intended, sent, planned.Size, warmup, false};
    }
    workload_.Take();
    return true;
}

void TrafficRun::SendClosedLoop(uint64_t now)
{
    for (Link &link : links_) {
        for (uint32_t sent = 0; sent < settings_.Window && !link.Free.empty(); ++sent) {
            if (CountReached()) {
                EndSending(EndReason::Count, now);
                return;
            }
            if (!SendNext(&link, MonotonicNs()))
                return;
        }
    }
}

/* The next link with a free slot, round robin; null when all are full. */
TrafficRun::Link *TrafficRun::LinkWithRoom()
{
    for (size_t tried = 0; tried < links_.size(); ++tried) {
        Link *link = &links_[nextLink_];
        nextLink_ = (nextLink_ + 1) % static_cast<uint32_t>(links_.size());
        if (!link->Free.empty())
            return link;
    }
    return nullptr;
}

/* Sends every message whose time has come. When every window is full the
 * rest wait: their latency still counts from when they were meant to go. */
void TrafficRun::SendOpenLoop(uint64_t now)
{
    for (uint32_t sent = 0; sent < MaxSendsPerPass; ++sent) {
        if (CountReached()) {
            EndSending(EndReason::Count, now);
            return;
        }
        uint64_t intended = result_->StartNs + workload_.IntendedOffsetNs(workload_.Peek().Seq);
        if (intended >= sendingEndNs_) {
            EndSending(EndReason::Duration, now);
            return;
        }
        if (intended > now)
            return;
        const PlannedMessage &next = workload_.Peek();
        Link *link = next.Datagram ? &links_[next.Seq % links_.size()] : LinkWithRoom();
        if (link == nullptr || !SendNext(link, intended))
            return;
    }
}

bool TrafficRun::NoMessageOrFail(const char *label)
{
    QLXERROR error;
    (void)qlxGetLastError(&error);
    if (IsNoMsgError(&error))
        return true;
    Fail(label);
    return false;
}

/* Reads what the link holds, the first reply waited for up to firstWaitMs,
 * the rest not at all. Once the link has nothing outstanding no reply is
 * due, so it stops there; a stray one waits for the next pass. */
bool TrafficRun::Drain(Link *link, int32_t firstWaitMs)
{
    for (uint32_t i = 0; i < MaxDrainPerLink; ++i) {
        if (i > 0 && link->Free.size() == link->Slots.size())
            return true;
        if (!qlxClientReceive(link->Handle, &reply_, i == 0 ? firstWaitMs : 0))
            return NoMessageOrFail("ClientReceive: ");
        HandleReply(link, MonotonicNs());
    }
    return true;
}

/* Waits for any link to hold a reply, then reads the links that do. A
 * closed loop with one link waits in the receive itself, which costs ZeroMQ
 * several system calls fewer than a poll first. An open loop keeps the poll:
 * the receive may wait up to 2 ms past its time, and would delay the next
 * scheduled send by as much. */
bool TrafficRun::ReceiveReplies(int32_t waitMs)
{
    if (links_.size() == 1 && (waitMs == 0 || !OpenLoop()))
        return Drain(&links_[0], waitMs);
    if (!qlxClientWait(handles_.data(), static_cast<uint32_t>(handles_.size()), waitMs,
                       ready_.data()))
        return NoMessageOrFail("ClientWait: ");
    for (size_t i = 0; i < links_.size(); ++i)
        if (ready_[i] != 0 && !Drain(&links_[i], 0))
            return false;
    return true;
}

void TrafficRun::HandleReply(Link *link, uint64_t now)
{
    uint64_t seq = reply_.RequestId >> SlotBits;
    uint64_t index = reply_.RequestId & SlotMask;
    if (output_.Messages != nullptr)
        PrintReplyLine(output_.Messages, reply_, seq);
    if (reply_.Kind == QLX_REPLY_GONE) {
        ServiceGone(now);
        return;
    }
    lastHeardNs_ = now;
    if (seq == 0 || seq > lastSeq_ || index >= link->Slots.size()) {
        ++result_->Counts.UnknownRequest;
        return;
    }
    if (link->Slots[index].Seq != seq) {
        ++result_->Counts.Late;
        return;
    }
    HandleKnownReply(link, static_cast<uint32_t>(index), now);
}

void TrafficRun::HandleKnownReply(Link *link, uint32_t index, uint64_t now)
{
    Slot &slot = link->Slots[index];
    RunCounts &counts = result_->Counts;
    switch (reply_.Kind) {
    case QLX_REPLY_ALERT:
        ++counts.Alerts;
        return;
    case QLX_REPLY_RESPONSE:
        if (reply_.Flags & QLX_RF_NOTIFY) {
            ++counts.Notify;
            counts.NotifyAfterNormal += slot.SawNormal ? 1 : 0;
        } else {
            ++counts.Normal;
            slot.SawNormal = true;
        }
        if (settings_.Verify) {
            ++counts.Checked;
            counts.CheckFailures += checker_.CheckResponse(reply_, slot.Seq, slot.Size) ? 0 : 1;
        }
        if ((reply_.Flags & QLX_RF_MORE) == 0)
            Finish(link, index, Ending::Completed, now);
        return;
    case QLX_REPLY_END:
        ++counts.Unanswered;
        Finish(link, index, Ending::Completed, now);
        return;
    case QLX_REPLY_REFUSED:
        ++counts.RefusedByReason[reply_.Code];
        Finish(link, index, Ending::Refused, now);
        return;
    default:
        ++counts.UnknownRequest;
        return;
    }
}

void TrafficRun::Finish(Link *link, uint32_t index, Ending ending, uint64_t now)
{
    Slot &slot = link->Slots[index];
    RunCounts &counts = result_->Counts;
    if (ending == Ending::Refused)
        ++counts.Refused;
    else
        result_->Server.Count(slot.Size, true);
    if (ending == Ending::TimedOut)
        ++counts.TimedOut;
    if (ending == Ending::Completed) {
        ++counts.Completed;
        uint64_t latency = now - slot.IntendedNs;
        intervals_.Record(latency);
        if (slot.Warmup) {
            result_->Warmup.Record(latency);
        } else {
            result_->Latency.Record(latency);
            ++counts.MeasuredCompleted;
            if (OpenLoop()) {
                result_->Uncorrected.Record(now - slot.SentNs);
                intervals_.RecordUncorrected(now - slot.SentNs);
            }
        }
    }
    slot.Seq = 0;
    link->Free.push_back(index);
}

/* Run only when the earliest deadline may have passed, so the scan costs
 * next to nothing while replies come in time. */
void TrafficRun::ExpireTimeouts(uint64_t now)
{
    uint64_t next = now + timeoutNs_;
    bool expired = false;
    for (Link &link : links_) {
        for (uint32_t i = 0; i < link.Slots.size(); ++i) {
            const Slot &slot = link.Slots[i];
            if (slot.Seq == 0)
                continue;
            uint64_t deadline = slot.SentNs + timeoutNs_;
            if (now < deadline) {
                next = deadline < next ? deadline : next;
                continue;
            }
            Finish(&link, i, Ending::TimedOut, now);
            expired = true;
        }
    }
    nextScanNs_ = next;
    if (expired && now - lastHeardNs_ >= timeoutNs_)
        EndSending(EndReason::Silence, now);
}

/* Transactions left outstanding were sent all the same: the server counts
 * every one it took, answered or not. */
ServerView TrafficRun::ServerAsIfEnded() const
{
    ServerView server = result_->Server;
    for (const Link &link : links_)
        for (const Slot &slot : link.Slots)
            if (slot.Seq != 0)
                server.Count(slot.Size, true);
    return server;
}

void TrafficRun::CountOutstandingForServer()
{
    result_->Server = ServerAsIfEnded();
}

void TrafficRun::CloseInterval(uint64_t now)
{
    const IntervalFigures &figures = intervals_.Close(now, result_->Counts, &result_->Intervals);
    if (output_.Progress != nullptr)
        PrintProgressLine(output_.Progress, static_cast<double>(now - result_->StartNs) / 1e9,
                          result_->Counts, figures);
    if (output_.Sink != nullptr)
        output_.Sink->Closed(figures, intervals_.ClosedLatency(), result_->Counts);
}

/* How long the next wait for replies may last: until the next send is due,
 * a transaction may time out, an interval is due to close or the sending
 * time is over. Whole milliseconds, rounded down, so no deadline is overslept. */
int32_t TrafficRun::WaitBudget(uint64_t now) const
{
    uint64_t until = nextScanNs_ < intervals_.DueNs() ? nextScanNs_ : intervals_.DueNs();
    if (sending_) {
        bool room = false;
        for (const Link &link : links_)
            room = room || !link.Free.empty();
        if (queueFull_)
            return 1;
        if (!OpenLoop() && room)
            return 0;
        if (OpenLoop() && (room || workload_.Peek().Datagram)) {
            uint64_t due = result_->StartNs + workload_.IntendedOffsetNs(workload_.Peek().Seq);
            until = due < until ? due : until;
        }
        until = sendingEndNs_ < until ? sendingEndNs_ : until;
    }
    if (until <= now)
        return 0;
    uint64_t ms = (until - now) / MillisecondNs;
    return static_cast<int32_t>(ms > 1000 ? 1000 : ms);
}

/* With nothing outstanding no reply can be kept waiting, so in an open loop
 * the thread sleeps until shortly before the next send is due rather than
 * polling for it; the last stretch is polled, since waking up takes tens of
 * microseconds. False when it must poll instead. */
bool TrafficRun::SleepUntilDue(uint64_t now) const
{
    if (!sending_ || !OpenLoop() || queueFull_ || result_->Counts.Outstanding() != 0)
        return false;
    uint64_t until = result_->StartNs + workload_.IntendedOffsetNs(workload_.Peek().Seq);
    until = intervals_.DueNs() < until ? intervals_.DueNs() : until;
    until = sendingEndNs_ < until ? sendingEndNs_ : until;
    until = now + SecondNs < until ? now + SecondNs : until;
    if (until <= now + WakeUpMarginNs)
        return false;
    until -= WakeUpMarginNs;
    timespec wake{static_cast<time_t>(until / SecondNs), static_cast<long>(until % SecondNs)};
    /* A signal cuts the sleep short; the next pass sees why. */
    (void)clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    return true;
}

void TrafficRun::Run(const StopFlag *interrupted)
{
    /* Sleeps and waits end within a microsecond of their time, not the
     * default 50, so sends keep to their schedule. */
    (void)prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    uint64_t start = MonotonicNs();
    result_->StartNs = start;
    timespec wall{};
    (void)clock_gettime(CLOCK_REALTIME, &wall);
    result_->StartUnixNs =
        static_cast<uint64_t>(wall.tv_sec) * SecondNs + static_cast<uint64_t>(wall.tv_nsec);
    result_->WarmupEndNs = start + ToNs(settings_.Warmup);
    if (settings_.Duration > 0.0)
        sendingEndNs_ = result_->WarmupEndNs + ToNs(settings_.Duration);
    nextScanNs_ = start + timeoutNs_;
    lastHeardNs_ = start;
    intervals_.Start(start, result_->WarmupEndNs);
    for (;;) {
        uint64_t now = MonotonicNs();
        if (sending_ && *interrupted)
            EndSending(EndReason::Interrupt, now);
        if (*interrupted > 1) {
            result_->Ended = EndReason::SecondInterrupt;
            CountOutstandingForServer();
            break;
        }
        if (result_->GoneNs != 0) {
            /* Other connections may hold replies that came before. */
            (void)ReceiveReplies(0);
            CountOutstandingForServer();
            break;
        }
        if (sending_)
            CheckSendingEnd(now);
        if (sending_)
            OpenLoop() ? SendOpenLoop(now) : SendClosedLoop(now);
        if (result_->Failed)
            break;
        now = MonotonicNs();
        if (now >= nextScanNs_)
            ExpireTimeouts(now);
        /* The interval in which sending is to end closes with the run. */
        if (now >= intervals_.DueNs() && !(sending_ && intervals_.DueNs() >= sendingEndNs_))
            CloseInterval(now);
        if (!sending_ && result_->Counts.Outstanding() == 0)
            break;
        if (SleepUntilDue(now))
            continue;
        if (!ReceiveReplies(WaitBudget(now)))
            break;
    }
    result_->EndNs = MonotonicNs();
    result_->ServedEndNs = result_->GoneNs != 0 ? lastHeardNs_ : 0;
    if (sending_)
        EndSending(EndReason::Failure, result_->EndNs);
    CloseInterval(result_->EndNs);
    if (result_->Failed)
        result_->Ended = EndReason::Failure;
    result_->FirstCheckFailure = checker_.FirstFailure();
}
