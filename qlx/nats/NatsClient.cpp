#include "qlx/nats/NatsClient.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <deque>
#include <poll.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/MonotonicClock.h"

namespace qlx {

enum : int {
    /* How long a lost connection waits for the replies libnats read before
     * it to be queued, so that they come out before the loss. */
    LossOrderMs = 200,
    /* How long nobody serves the element before a service that answered is
     * taken as gone: one whose NATS server died is back well within it (a
     * server that vanished without a word is left after 3 pings, 6 s). */
    ServiceAbsentMs = 10000,
};

/* One entry of the queue: a reply, a refusal made here, the service gone,
 * or a loss. */
struct QueuedReply {
    natsMsg *Msg;       /* a reply, or null */
    uint64_t RequestId; /* of a refusal */
    int32_t Reason;     /* of a refusal; 0 with neither a reply nor a refusal: a loss */
    bool Gone = false;  /* the service that answered is gone */
};

class NatsClientState : public NatsState {
  public:
    /* Lock held for all but the callbacks. */
    void Push(const QueuedReply &reply)
    {
        Queue.push_back(reply);
        Wake();
    }
    void Lose()
    {
        ++Losses;
        if (Queue.empty() || Queue.back().Msg != nullptr || Queue.back().Reason != 0 ||
            Queue.back().Gone)
            Push(QueuedReply{nullptr, 0, 0});
    }
    void Received(natsMsg *msg);
    void Disconnected() override;
    void SlowConsumer() override
    {
        std::lock_guard<std::mutex> guard(Lock);
        Lose();
    }
    void Closed() override
    {
        std::lock_guard<std::mutex> guard(Lock);
        Lose();
        ClosedSeen = true;
        Changed.notify_all();
    }
    void SubscriptionDone()
    {
        std::lock_guard<std::mutex> guard(Lock);
        InboxDone = true;
        Changed.notify_all();
    }

    std::deque<QueuedReply> Queue;
    size_t Bytes = 0;
    std::atomic<uint64_t> Losses{0};
    uint64_t Delivered = 0;
    natsSubscription *Inbox = nullptr;
    bool InboxDone = false;
    bool Awaited = false;       /* someone waits for Changed */
    bool Served = false;        /* a service answered since it was last taken as gone */
    uint64_t AbsentSinceNs = 0; /* the first "no responders" since a service answered */

  private:
    void NobodyServes();
};

/* Where a service answered before and nobody has served the element for
 * ServiceAbsentMs, the service is gone; a shorter absence is one reconnecting. */
void NatsClientState::NobodyServes()
{
    uint64_t now = MonotonicNs();
    if (!Served)
        return;
    if (AbsentSinceNs == 0)
        AbsentSinceNs = now;
    if (now - AbsentSinceNs < uint64_t{ServiceAbsentMs} * 1000000u)
        return;
    Push(QueuedReply{nullptr, 0, 0, true});
    Served = false;
    AbsentSinceNs = 0;
}

/* The request id is the last token of the reply subject. */
static uint64_t RequestIdOf(natsMsg *msg)
{
    const char *subject = natsMsg_GetSubject(msg);
    const char *dot = subject != nullptr ? strrchr(subject, '.') : nullptr;
    return dot != nullptr ? strtoull(dot + 1, nullptr, 10) : 0;
}

void NatsClientState::Received(natsMsg *msg)
{
    std::lock_guard<std::mutex> guard(Lock);
    ++Delivered;
    size_t size = static_cast<size_t>(natsMsg_GetDataLength(msg));
    if (natsMsg_IsNoResponders(msg)) {
        Push(QueuedReply{nullptr, RequestIdOf(msg), QLXRC_NOT_SERVED});
        NobodyServes();
        natsMsg_Destroy(msg);
    } else if (Queue.size() >= ClientPendingMessages || Bytes + size > ClientPendingBytes) {
        natsMsg_Destroy(msg);
        Lose();
    } else {
        Bytes += size;
        Served = true;
        AbsentSinceNs = 0;
        Push(QueuedReply{msg, 0, 0});
    }
    if (Awaited)
        Changed.notify_all();
}

void NatsClientState::Disconnected()
{
    std::unique_lock<std::mutex> guard(Lock);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(LossOrderMs);
    while (Inbox != nullptr && std::chrono::steady_clock::now() < end) {
        int pending = 0;
        int64_t delivered = 0;
        guard.unlock();
        bool known = natsSubscription_GetPending(Inbox, &pending, nullptr) == NATS_OK &&
                     natsSubscription_GetDelivered(Inbox, &delivered) == NATS_OK;
        guard.lock();
        if (!known || (pending <= 0 && Delivered >= static_cast<uint64_t>(delivered)))
            break;
        Awaited = true;
        (void)Changed.wait_for(guard, std::chrono::milliseconds(5));
        Awaited = false;
    }
    Lose();
}

static void OnReply(natsConnection *, natsSubscription *, natsMsg *msg, void *closure)
{
    static_cast<NatsClientState *>(closure)->Received(msg);
}

static void OnInboxDone(void *closure)
{
    static_cast<NatsClientState *>(closure)->SubscriptionDone();
}

NatsClientTransport::NatsClientTransport() : state_(new NatsClientState) {}

NatsClientTransport::~NatsClientTransport()
{
    Release();
    if (inbox_ != nullptr) {
        SignalsBlocked blocked;
        (void)natsSubscription_Unsubscribe(inbox_);
    }
    bool closed = connection_.Close(state_);
    {
        std::unique_lock<std::mutex> guard(state_->Lock);
        closed = state_->Changed.wait_for(guard, std::chrono::milliseconds(CloseWaitMs), [this] {
            return inbox_ == nullptr || state_->InboxDone;
        }) && closed;
        state_->Inbox = nullptr;
        for (const QueuedReply &reply : state_->Queue)
            natsMsg_Destroy(reply.Msg);
        state_->Queue.clear();
    }
    natsSubscription_Destroy(inbox_);
    connection_.Destroy();
    /* Left behind when libnats did not say it closed: a callback may still come. */
    if (closed)
        delete state_;
}

bool NatsClientTransport::Open(const NatsSettings &settings, const char *nameField,
                               size_t fieldSize, const std::string &name)
{
    if (!connection_.Open(settings, "client", name, state_, nullptr))
        return false;
    natsConnection *nc = connection_.Get();
    subjects_ = SubjectsFor(settings.Prefix, nameField, fieldSize);
    char *inbox = nullptr;
    natsStatus status = natsInbox_Create(&inbox);
    if (status == NATS_OK) {
        /* libnats makes "_INBOX.<unique>": the unique part under our prefix. */
        inboxPrefix_ = settings.Inbox + strchr(inbox, '.');
        natsInbox_Destroy(inbox);
        SignalsBlocked blocked;
        status =
            natsConnection_Subscribe(&inbox_, nc, (inboxPrefix_ + ".*").c_str(), OnReply, state_);
    }
    if (status == NATS_OK)
        status =
            natsSubscription_SetPendingLimits(inbox_, ClientPendingMessages, ClientPendingBytes);
    if (status == NATS_OK)
        status = natsSubscription_SetOnCompleteCB(inbox_, OnInboxDone, state_);
    {
        std::lock_guard<std::mutex> guard(state_->Lock);
        state_->Inbox = inbox_;
    }
    /* Replies to the first transactions need the subscription in place. */
    if (status == NATS_OK)
        status = natsConnection_FlushTimeout(nc, SubscribeConfirmMs);
    if (status != NATS_OK) {
        connection_.DetailStatus("natsConnection_Subscribe", status);
        return Fail(QLXRC_TRANSPORT, "the client for service element %s cannot subscribe to %s",
                    name.c_str(), inboxPrefix_.c_str());
    }
    return true;
}

void NatsClientTransport::Release()
{
    natsMsg_Destroy(held_);
    held_ = nullptr;
}

ReceiveResult NatsClientTransport::Receive(Deadline *deadline, Inbound *message)
{
    Release();
    int32_t wait = 0;
    bool more = deadline->NextPart(&wait);
    for (;;) {
        QueuedReply reply{};
        bool taken = false;
        bool closed = false;
        {
            std::lock_guard<std::mutex> guard(state_->Lock);
            taken = !state_->Queue.empty();
            if (taken) {
                reply = state_->Queue.front();
                state_->Queue.pop_front();
                if (reply.Msg != nullptr)
                    state_->Bytes -= static_cast<size_t>(natsMsg_GetDataLength(reply.Msg));
                if (state_->Queue.empty())
                    state_->Unwake();
            }
            closed = state_->ClosedSeen;
        }
        if (taken && reply.Msg != nullptr) {
            held_ = reply.Msg;
            message->Peer = Frame{};
            message->FrameCount =
                SplitBody(reinterpret_cast<const uint8_t *>(natsMsg_GetData(held_)),
                          static_cast<size_t>(natsMsg_GetDataLength(held_)), frames_);
            message->Frames = frames_;
            return ReceiveResult::Received;
        }
        if (taken && reply.Reason != 0) {
            EncodeHeader(Header{ProtocolVersion, KindRefused, 0, reply.Reason, reply.RequestId},
                         refusal_);
            frames_[0] = Frame{refusal_, HeaderSize};
            frames_[1] = frames_[2] = Frame{};
            message->Peer = Frame{};
            message->Frames = frames_;
            message->FrameCount = FramesPerMessage;
            return ReceiveResult::Received;
        }
        if (taken && reply.Gone)
            return ReceiveResult::Gone;
        if (taken)
            return ReceiveResult::Lost;
        if (closed) {
            Detail(0, "the connection to NATS is closed for good");
            return ReceiveResult::Failed;
        }
        if (!more)
            return ReceiveResult::Empty;
        /* The descriptor is readable while the queue holds something. */
        pollfd wake{state_->WakeFd, POLLIN, 0};
        int ready = poll(&wake, 1, wait);
        if (ready < 0 && errno == EINTR)
            return ReceiveResult::Interrupted;
        if (ready < 0) {
            DetailErrno("poll", errno);
            return ReceiveResult::Failed;
        }
        if (ready == 0)
            more = deadline->PartRanOut(&wait);
    }
}

bool NatsClientTransport::TooLarge() const
{
    size_t payload = connection_.MaxPayload();
    if (body_.size() <= payload)
        return false;
    Detail(0, "the NATS servers take at most %zu bytes a message; this one takes %zu", payload,
           body_.size());
    return true;
}

SendResult NatsClientTransport::Publish(const char *subject, const char *reply)
{
    natsConnection *nc = connection_.Get();
    int size = static_cast<int>(body_.size());
    natsStatus status = reply != nullptr
                            ? natsConnection_PublishRequest(nc, subject, reply, body_.data(), size)
                            : natsConnection_Publish(nc, subject, body_.data(), size);
    return PublishResult(connection_, status);
}

SendResult NatsClientTransport::Send(const Outbound &message)
{
    if (message.Head.Kind == KindStop)
        return SendStop();
    JoinFrames(message, &body_);
    if (message.Head.Kind != KindTransaction)
        return TooLarge() ? SendResult::TooLarge : Publish(subjects_.Work.c_str(), nullptr);
    uint64_t requestId = message.Head.RequestId;
    /* Refused here, as the service would refuse it, before anything is sent. */
    if (TooLarge())
        return Refuse(requestId, QLXRC_DATA_TOO_LARGE);
    char digits[24];
    auto written = std::to_chars(digits, digits + sizeof digits, requestId);
    reply_.assign(inboxPrefix_);
    reply_ += '.';
    reply_.append(digits, written.ptr);
    SendResult sent = Publish(subjects_.Work.c_str(), reply_.c_str());
    /* A connection that goes down under a publish costs that transaction,
     * as it costs those outstanding, never the client's run. */
    return sent == SendResult::Lost ? Refuse(requestId, QLXRC_CONNECTION_LOST) : sent;
}

/* The transaction requestId ends here, refused with reason: taken as sent,
 * its refusal comes as its reply. */
SendResult NatsClientTransport::Refuse(uint64_t requestId, int32_t reason)
{
    std::lock_guard<std::mutex> guard(state_->Lock);
    state_->Push(QueuedReply{nullptr, requestId, reason});
    return SendResult::Sent;
}

/* The stop request goes with a reply subject of its own, so the servers say
 * when nobody hears it; a round trip later it is known. */
SendResult NatsClientTransport::SendStop()
{
    natsConnection *nc = connection_.Get();
    char *inbox = nullptr;
    natsSubscription *answer = nullptr;
    natsStatus status = natsInbox_Create(&inbox);
    if (status == NATS_OK)
        status = natsConnection_SubscribeSync(&answer, nc, inbox);
    if (status == NATS_OK) {
        JoinFrames(Outbound{Header{ProtocolVersion, KindStop, 0, 0, 0}, Frame{}, Frame{}}, &body_);
        status = natsConnection_PublishRequest(nc, subjects_.Stop.c_str(), inbox, body_.data(),
                                               static_cast<int>(body_.size()));
    }
    if (status == NATS_OK)
        status = natsConnection_FlushTimeout(nc, StopConfirmMs);
    natsMsg *msg = nullptr;
    bool heard =
        status != NATS_OK || natsSubscription_NextMsg(&msg, answer, 0) != NATS_NO_RESPONDERS;
    natsMsg_Destroy(msg);
    natsSubscription_Destroy(answer);
    natsInbox_Destroy(inbox);
    if (!heard) {
        Detail(0, "the NATS servers know no subscriber of %s", subjects_.Stop.c_str());
        return SendResult::NotServed;
    }
    return PublishResult(connection_, status);
}

WaitTarget NatsClientTransport::WaitOn() const
{
    return WaitTarget{nullptr, state_->WakeFd};
}

uint64_t NatsClientTransport::Losses() const
{
    return state_->Losses.load();
}

} // namespace qlx
