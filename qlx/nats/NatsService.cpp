#include "qlx/nats/NatsService.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/MonotonicClock.h"

namespace qlx {

static const uint64_t NsPerMs = 1000000;

/* The socket libnats hands over, watched with an epoll set beside the wake
 * descriptor. Write interest asked for inside the service's own calls is
 * served before the call returns, so it is only armed when data is left. */
class NatsServiceState : public NatsState, public NatsLoop {
  public:
    NatsServiceState()
    {
        Epoll = epoll_create1(EPOLL_CLOEXEC);
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.fd = WakeFd;
        if (Epoll >= 0 && WakeFd >= 0)
            (void)epoll_ctl(Epoll, EPOLL_CTL_ADD, WakeFd, &wake);
    }
    ~NatsServiceState() override
    {
        if (Epoll >= 0)
            (void)close(Epoll);
    }

    void Attach(int socket) override
    {
        std::lock_guard<std::mutex> guard(Lock);
        /* A socket is attached to be read, whatever was asked of the last. */
        Socket = socket;
        ReadWanted = true;
        Armed = 0;
        Registered = false;
        Rearm();
    }
    void WantRead(bool wanted) override
    {
        std::lock_guard<std::mutex> guard(Lock);
        ReadWanted = wanted;
        Rearm();
    }
    void WantWrite(bool wanted) override
    {
        std::lock_guard<std::mutex> guard(Lock);
        WriteWanted = wanted;
        if (!wanted || !Own())
            Rearm();
    }
    void Detach() override
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (Registered)
            (void)epoll_ctl(Epoll, EPOLL_CTL_DEL, Socket, nullptr);
        Socket = -1;
        Registered = false;
    }

    /* Brings the epoll set in line with what libnats wants; Lock held. */
    void Rearm()
    {
        uint32_t events = (ReadWanted ? uint32_t{EPOLLIN | EPOLLRDHUP} : 0u) |
                          (WriteWanted ? uint32_t{EPOLLOUT} : 0u);
        if (Socket < 0 || (Registered && events == Armed))
            return;
        epoll_event event{};
        event.events = events;
        event.data.fd = Socket;
        if (epoll_ctl(Epoll, Registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, Socket, &event) != 0 &&
            (errno != EEXIST || epoll_ctl(Epoll, EPOLL_CTL_MOD, Socket, &event) != 0))
            return;
        Registered = true;
        Armed = events;
    }
    bool Own() const;

    int Epoll = -1;
    int Socket = -1;
    uint32_t Armed = 0;
    bool Registered = false;
    bool ReadWanted = true;
    bool WriteWanted = false;
};

/* The state whose transport call this thread is inside. */
static thread_local const NatsServiceState *InCall = nullptr;

bool NatsServiceState::Own() const
{
    return InCall == this;
}

namespace {

class OwnCall {
  public:
    explicit OwnCall(const NatsServiceState *state) : saved_(InCall) { InCall = state; }
    ~OwnCall() { InCall = saved_; }
    OwnCall(const OwnCall &) = delete;
    OwnCall &operator=(const OwnCall &) = delete;

  private:
    const NatsServiceState *saved_;
};

} // namespace

NatsServiceTransport::NatsServiceTransport() : state_(new NatsServiceState) {}

NatsServiceTransport::~NatsServiceTransport()
{
    {
        OwnCall own(state_);
        Release();
        uint64_t end = MonotonicNs() + NatsCloseLingerMs * NsPerMs;
        while (connection_.Get() != nullptr && natsConnection_Buffered(connection_.Get()) > 0) {
            uint64_t now = MonotonicNs();
            if (now >= end ||
                Pump(static_cast<int32_t>((end - now + NsPerMs - 1) / NsPerMs)) == Pumped::Failed)
                break;
        }
    }
    bool closed = connection_.Close(state_);
    for (natsSubscription *subscription : {work_, stop_, marker_})
        natsSubscription_Destroy(subscription);
    connection_.Destroy();
    /* Left behind when libnats did not say it closed: a callback may still come. */
    if (closed)
        delete state_;
}

bool NatsServiceTransport::Open(const NatsSettings &settings, const char *nameField,
                                size_t fieldSize, const std::string &name)
{
    if (state_->Epoll < 0) {
        DetailErrno("epoll_create1", errno);
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be waited for", name.c_str());
    }
    if (!connection_.Open(settings, "service", name, state_, state_))
        return false;
    maxPayload_ = connection_.MaxPayload();
    return Subscribe(SubjectsFor(settings.Prefix, nameField, fieldSize), settings.Inbox, name);
}

bool NatsServiceTransport::Subscribe(const NatsSubjects &subjects, const std::string &inboxPrefix,
                                     const std::string &name)
{
    OwnCall own(state_);
    natsConnection *nc = connection_.Get();
    char *inbox = nullptr;
    natsStatus status = natsInbox_Create(&inbox);
    if (status == NATS_OK) {
        /* The marker goes to an inbox of this user's, which it alone reads. */
        markerSubject_ = inboxPrefix + strchr(inbox, '.');
        natsInbox_Destroy(inbox);
        status = natsConnection_QueueSubscribeSync(&work_, nc, subjects.Work.c_str(),
                                                   subjects.Group.c_str());
    }
    if (status == NATS_OK)
        status =
            natsSubscription_SetPendingLimits(work_, ServicePendingMessages, ServicePendingBytes);
    if (status == NATS_OK)
        status = natsConnection_SubscribeSync(&stop_, nc, subjects.Stop.c_str());
    if (status == NATS_OK)
        status = natsConnection_SubscribeSync(&marker_, nc, markerSubject_.c_str());
    if (status != NATS_OK) {
        connection_.DetailStatus("natsConnection_SubscribeSync", status);
        return Fail(QLXRC_TRANSPORT, "service element %s cannot subscribe to %s", name.c_str(),
                    subjects.Work.c_str());
    }
    /* The marker comes back once the servers have the subscriptions before it. */
    if (!PublishMarker())
        return Fail(QLXRC_TRANSPORT, "service element %s cannot reach NATS", name.c_str());
    uint64_t end = MonotonicNs() + SubscribeConfirmMs * NsPerMs;
    natsMsg *confirmation = nullptr;
    while (natsSubscription_NextMsg(&confirmation, marker_, 0) != NATS_OK) {
        uint64_t now = MonotonicNs();
        if (now >= end || Pump(static_cast<int32_t>((end - now) / NsPerMs + 1)) == Pumped::Failed)
            return Fail(QLXRC_TRANSPORT,
                        "the NATS servers did not confirm the subscriptions of service element "
                        "%s within %d ms",
                        name.c_str(), static_cast<int>(SubscribeConfirmMs));
    }
    natsMsg_Destroy(confirmation);
    return true;
}

bool NatsServiceTransport::PublishMarker()
{
    natsStatus status =
        natsConnection_Publish(connection_.Get(), markerSubject_.c_str(), nullptr, 0);
    if (status != NATS_OK) {
        connection_.DetailStatus("natsConnection_Publish", status);
        return false;
    }
    WriteOut();
    return true;
}

void NatsServiceTransport::Release()
{
    natsMsg_Destroy(held_);
    held_ = nullptr;
}

/* Work first: a stop request is taken only when no work is at hand, and then
 * the drain delivers the rest of the work before the stop is reported. */
bool NatsServiceTransport::Take(Inbound *message)
{
    Release();
    natsMsg *msg = nullptr;
    message->StopsOnly = natsSubscription_NextMsg(&msg, work_, 0) != NATS_OK;
    if (message->StopsOnly && natsSubscription_NextMsg(&msg, stop_, 0) != NATS_OK) {
        if (stopping_ && !markerSeen_ && natsSubscription_NextMsg(&msg, marker_, 0) == NATS_OK) {
            markerSeen_ = true;
            natsMsg_Destroy(msg);
        }
        return false;
    }
    held_ = msg;
    const char *reply = natsMsg_GetReply(msg);
    message->Peer = reply != nullptr ? AsFrame(reply) : Frame{};
    message->FrameCount = SplitBody(reinterpret_cast<const uint8_t *>(natsMsg_GetData(msg)),
                                    static_cast<size_t>(natsMsg_GetDataLength(msg)), frames_);
    message->Frames = frames_;
    return true;
}

/* One wait on the socket and the wake descriptor, and what libnats has to
 * do about what it found. */
NatsServiceTransport::Pumped NatsServiceTransport::Pump(int32_t waitMs)
{
    {
        std::lock_guard<std::mutex> guard(state_->Lock);
        state_->Rearm();
    }
    epoll_event events[4];
    int count = epoll_wait(state_->Epoll, events, 4, waitMs);
    if (count < 0 && errno == EINTR)
        return Pumped::Interrupted;
    if (count < 0) {
        DetailErrno("epoll_wait", errno);
        return Pumped::Failed;
    }
    if (count == 0)
        return Pumped::TimedOut;
    natsConnection *nc = connection_.Get();
    for (int i = 0; i < count; ++i) {
        uint32_t ready = events[i].events;
        if (events[i].data.fd == state_->WakeFd) {
            std::lock_guard<std::mutex> guard(state_->Lock);
            state_->Unwake();
            continue;
        }
        if (ready & EPOLLOUT)
            natsConnection_ProcessWriteEvent(nc);
        if ((ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
            /* libnats starts its reconnecting thread from here. */
            SignalsBlocked blocked;
            natsConnection_ProcessReadEvent(nc);
        } else if (ready & EPOLLIN) {
            natsConnection_ProcessReadEvent(nc);
        }
    }
    return Pumped::Events;
}

/* What a publish left in libnats's buffer goes out now. */
void NatsServiceTransport::WriteOut()
{
    {
        std::lock_guard<std::mutex> guard(state_->Lock);
        if (!state_->WriteWanted)
            return;
    }
    natsConnection_ProcessWriteEvent(connection_.Get());
}

ReceiveResult NatsServiceTransport::Receive(Deadline *deadline, Inbound *message)
{
    OwnCall own(state_);
    int32_t wait = 0;
    bool more = deadline->NextPart(&wait);
    uint64_t partEnd = 0;
    for (;;) {
        if (Take(message))
            return ReceiveResult::Received;
        if (markerSeen_ && !drained_) {
            drained_ = true;
            return ReceiveResult::Drained;
        }
        if (state_->IsClosed()) {
            Detail(0, "the connection to NATS is closed for good");
            return ReceiveResult::Failed;
        }
        if (!more)
            return ReceiveResult::Empty;
        int32_t slice = wait;
        if (wait > 0) {
            uint64_t now = MonotonicNs();
            partEnd = partEnd != 0 ? partEnd : now + static_cast<uint64_t>(wait) * NsPerMs;
            slice =
                partEnd > now ? static_cast<int32_t>((partEnd - now + NsPerMs - 1) / NsPerMs) : 0;
        }
        Pumped pumped = Pump(slice);
        if (pumped == Pumped::Interrupted)
            return ReceiveResult::Interrupted;
        if (pumped == Pumped::Failed)
            return ReceiveResult::Failed;
        if (pumped == Pumped::TimedOut || (wait > 0 && slice == 0) || wait == 0) {
            more = deadline->PartRanOut(&wait);
            partEnd = 0;
        }
    }
}

SendResult NatsServiceTransport::Send(Frame peer, const Outbound &message)
{
    if (peer.Size == 0)
        return SendResult::Gone;
    OwnCall own(state_);
    JoinFrames(message, &body_);
    if (body_.size() > maxPayload_)
        return SendResult::TooLarge;
    subject_.assign(reinterpret_cast<const char *>(peer.Data), peer.Size);
    SendResult sent = PublishResult(
        connection_, natsConnection_Publish(connection_.Get(), subject_.c_str(), body_.data(),
                                            static_cast<int>(body_.size())));
    if (sent == SendResult::Sent)
        WriteOut();
    return sent;
}

bool NatsServiceTransport::StopReceiving()
{
    if (stopping_)
        return !drained_;
    stopping_ = true;
    OwnCall own(state_);
    natsStatus status;
    {
        SignalsBlocked blocked;
        status = natsSubscription_Drain(work_);
    }
    /* Without a drain, or without its marker, the stop is reported at once. */
    if (status != NATS_OK || !PublishMarker()) {
        drained_ = true;
        return false;
    }
    return true;
}

uint64_t NatsServiceTransport::Dropped() const
{
    int64_t work = 0;
    int64_t stop = 0;
    /* A drained subscription tells nothing more: what it told last stands. */
    if (natsSubscription_GetDropped(work_, &work) == NATS_OK &&
        natsSubscription_GetDropped(stop_, &stop) == NATS_OK)
        dropped_ = static_cast<uint64_t>(work + stop);
    return dropped_;
}

} // namespace qlx
