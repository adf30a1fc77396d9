#include "qlx/Service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"

namespace qlx {

Service::~Service()
{
    if (socket_.Get() != nullptr)
        WriteStatsFile();
    socket_.Close();
    if (!endpoint_.SocketPath.empty() && lockFd_ >= 0)
        (void)unlink(endpoint_.SocketPath.c_str());
    if (lockFd_ >= 0)
        (void)close(lockFd_);
    if (context_ != nullptr)
        ReleaseContext();
}

/* A live service holds a lock on its lock file for as long as it runs; the
 * kernel drops the lock when the process dies, however it dies. */
bool Service::TakeLiveness()
{
    if (endpoint_.LockPath.empty())
        return true;
    const char *path = endpoint_.LockPath.c_str();
    lockFd_ = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        DetailErrno(path, errno);
        return Fail(QLXRC_ENDPOINT, "lock file of service element %s cannot be opened",
                    name_.c_str());
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(lockFd_, F_OFD_SETLK, &lock) == 0)
        return true;
    int error = errno;
    (void)close(lockFd_);
    lockFd_ = -1;
    if (error == EAGAIN || error == EACCES) {
        Detail(0, "lock file %s is held", path);
        return Fail(QLXRC_ALREADY_SERVED, "service element %s is already served by a live process",
                    name_.c_str());
    }
    DetailErrno(path, error);
    return Fail(QLXRC_ENDPOINT, "lock file of service element %s cannot be locked", name_.c_str());
}

bool Service::BindSocket()
{
    if (!socket_.Open(context_, ZMQ_ROUTER))
        return false;
    int64_t frameLimit = MaxFrameSize;
    bool ok = socket_.SetInt(ZMQ_LINGER, CloseLingerMs, "ZMQ_LINGER") &&
              socket_.SetInt(ZMQ_ROUTER_MANDATORY, 1, "ZMQ_ROUTER_MANDATORY") &&
              socket_.SetInt(ZMQ_SNDHWM, SendQueueLimit, "ZMQ_SNDHWM") &&
              socket_.SetInt(ZMQ_RCVHWM, ReceiveQueueLimit, "ZMQ_RCVHWM") &&
              socket_.SetInt(ZMQ_SNDTIMEO, StallLimitMs, "ZMQ_SNDTIMEO") &&
              socket_.SetInt(ZMQ_HANDSHAKE_IVL, HandshakeLimitMs, "ZMQ_HANDSHAKE_IVL") &&
              socket_.SetInt(ZMQ_HEARTBEAT_IVL, HeartbeatMs, "ZMQ_HEARTBEAT_IVL") &&
              socket_.SetInt(ZMQ_HEARTBEAT_TIMEOUT, HeartbeatTimeoutMs, "ZMQ_HEARTBEAT_TIMEOUT");
    if (!ok)
        return false;
    if (zmq_setsockopt(socket_.Get(), ZMQ_MAXMSGSIZE, &frameLimit, sizeof frameLimit) != 0) {
        DetailErrno("zmq_setsockopt", errno);
        return Fail(QLXRC_TRANSPORT, "socket option ZMQ_MAXMSGSIZE cannot be set");
    }
    if (!endpoint_.SocketPath.empty() &&
        !socket_.SetInt(ZMQ_IPC_FILTER_UID, static_cast<int>(geteuid()), "ZMQ_IPC_FILTER_UID"))
        return false;
    if (zmq_bind(socket_.Get(), endpoint_.Address.c_str()) != 0) {
        int error = errno;
        DetailErrno(("zmq_bind " + endpoint_.Address).c_str(), error);
        if (error == EADDRINUSE)
            return Fail(QLXRC_ALREADY_SERVED, "endpoint of service element %s is in use",
                        name_.c_str());
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be bound", name_.c_str());
    }
    if (!endpoint_.SocketPath.empty())
        (void)chmod(endpoint_.SocketPath.c_str(), 0600);
    return true;
}

bool Service::Open(const QLXSERVICEADDRESS &address)
{
    size_t length = strnlen(address.Name, sizeof address.Name);
    name_ = PrintableName(address.Name, length);
    if (!ResolveEndpoint(address.Name, sizeof address.Name, true, &endpoint_))
        return false;
    if (!TakeLiveness())
        return false;
    context_ = AcquireContext();
    if (context_ == nullptr)
        return false;
    return BindSocket();
}

void Service::ReleaseBuffer()
{
    if (!bufferHanded_)
        return;
    bufferHanded_ = false;
    ++stats_.BuffersReleased;
}

int Service::NoMessage()
{
    return Fail(QLXRC_NO_MESSAGE, "no message available within the wait interval");
}

void Service::Reply(Frame routingId, uint8_t kind, uint16_t flags, int32_t code, uint64_t requestId,
                    Frame msgId, Frame data, bool *failed, zmq_msg_t *parts)
{
    uint8_t header[HeaderSize];
    EncodeHeader(Header{ProtocolVersion, kind, flags, code, requestId}, header);
    const Frame frames[] = {
        routingId,
        Frame{header, HeaderSize},
        msgId,
        data,
    };
    /* Returned parts are the received message's: its header frame is kept. */
    if (parts != nullptr)
        memcpy(const_cast<uint8_t *>(received_.FrameAt(1).Data), header, HeaderSize);
    bool stalled = IsStalled(routingId);
    SendResult sent = parts != nullptr ? SendParts(socket_.Get(), parts, 4, !stalled)
                                       : SendMessage(socket_.Get(), frames, 4, !stalled);
    switch (sent) {
    case SendResult::Sent:
        ++stats_.RepliesSent;
        if (stalled)
            MarkStalled(routingId, false);
        return;
    case SendResult::Gone:
        ++stats_.RepliesDropped;
        return;
    case SendResult::Full:
        ++stats_.RepliesDropped;
        if (!stalled)
            MarkStalled(routingId, true);
        return;
    case SendResult::Failed:
        *failed = true;
        return;
    }
}

bool Service::IsStalled(Frame routingId) const
{
    for (const std::string &peer : stalled_) {
        if (peer == AsText(routingId))
            return true;
    }
    return false;
}

void Service::MarkStalled(Frame routingId, bool stalled)
{
    if (!stalled) {
        std::erase(stalled_, AsText(routingId));
        return;
    }
    if (stalled_.size() >= StalledPeersKept)
        stalled_.erase(stalled_.begin());
    stalled_.emplace_back(AsText(routingId));
}

/* With QLX_STATS_FILE set, a closing service appends its counters there: how
 * tests and operators see what was dropped and refused. */
void Service::WriteStatsFile() const
{
    const char *path = getenv("QLX_STATS_FILE");
    if (path == nullptr || path[0] == '\0')
        return;
    FILE *file = fopen(path, "a");
    if (file == nullptr)
        return;
    const QLXSTATS &s = stats_;
    fprintf(file,
            "qlx-stats element=%s transactions=%llu datagrams=%llu stop_requests=%llu "
            "malformed=%llu refused=%llu datagrams_dropped=%llu replies_sent=%llu "
            "replies_dropped=%llu buffers_handed=%llu buffers_released=%llu\n",
            name_.c_str(), static_cast<unsigned long long>(s.Transactions),
            static_cast<unsigned long long>(s.Datagrams),
            static_cast<unsigned long long>(s.StopRequests),
            static_cast<unsigned long long>(s.Malformed),
            static_cast<unsigned long long>(s.Refused),
            static_cast<unsigned long long>(s.DatagramsDropped),
            static_cast<unsigned long long>(s.RepliesSent),
            static_cast<unsigned long long>(s.RepliesDropped),
            static_cast<unsigned long long>(s.BuffersHanded),
            static_cast<unsigned long long>(s.BuffersReleased));
    (void)fclose(file);
}

void Service::Refuse(const WireMessage &wire, int32_t reason)
{
    ++stats_.Refused;
    bool failed = false;
    Reply(received_.FrameAt(0), KindRefused, 0, reason, wire.Head.RequestId, Frame{}, Frame{},
          &failed);
}

static bool MsgIdMatches(const QLXGETOPTIONS &options, const WireMessage &wire)
{
    if ((options.Options & QLX_GMO_MSGID) == 0)
        return true;
    return wire.MsgId.Size == MsgIdSize && memcmp(wire.MsgId.Data, options.MsgId, MsgIdSize) == 0;
}

Service::Verdict Service::Classify(const QLXGETOPTIONS &options, const WireMessage &wire)
{
    bool transaction = wire.Head.Kind == KindTransaction;
    if (wire.Head.Kind == KindStop) {
        ++stats_.StopRequests;
        return Verdict::Stop;
    }
    int32_t refusal = QLXRC_NONE;
    if (wire.Data.Size > MaxDataSize)
        refusal = QLXRC_DATA_TOO_LARGE;
    else if (!MsgIdMatches(options, wire))
        refusal = QLXRC_NO_RECEIVER;
    else if (transaction && requests_.OpenCount() >= MaxOpenTransactions)
        refusal = QLXRC_TOO_MANY_REQUESTS;
    if (refusal == QLXRC_NONE)
        return Verdict::Deliver;
    if (transaction)
        Refuse(wire, refusal);
    else
        ++stats_.DatagramsDropped;
    return Verdict::Dropped;
}

int Service::Deliver(const WireMessage &wire, QLXMESSAGE *message, QLXHREQ *hRequest)
{
    bool transaction = wire.Head.Kind == KindTransaction;
    if (!buffer_.Fill(wire.Data.Data, wire.Data.Size)) {
        if (transaction)
            Refuse(wire, QLXRC_NO_MEMORY);
        else
            ++stats_.DatagramsDropped;
        return 0;
    }
    message->MsgType = transaction ? QLX_MSGTYPE_TRANSACTION : QLX_MSGTYPE_DATAGRAM;
    message->DataLength = static_cast<uint32_t>(wire.Data.Size);
    message->Buffer = QLXBUFFER{0, buffer_.Capacity(), buffer_.Data()};
    bufferHanded_ = true;
    ++stats_.BuffersHanded;
    if (!transaction) {
        ++stats_.Datagrams;
        *hRequest = requests_.NextDatagramHandle();
        return 1;
    }
    ++stats_.Transactions;
    Frame routing = received_.FrameAt(0);
    current_ = requests_.Open(routing.Data, routing.Size, wire.Head.RequestId);
    returnable_ = current_;
    *hRequest = current_;
    return 1;
}

/* Decodes and judges the message just received; delivers it when it is to be
 * delivered. */
Service::Verdict Service::TakeReceived(QLXMESSAGE *message, QLXGETOPTIONS *options,
                                       QLXHREQ *hRequest)
{
    /* The frames after the routing id: a message of more frames than were
     * kept is refused by its count before any of them is read. */
    const Frame *payload = received_.Frames() + 1;
    WireMessage wire;
    if (DecodeMessage(payload, received_.FrameCount() - 1, Direction::ToService, &wire) !=
        Fault::None) {
        ++stats_.Malformed;
        return Verdict::Dropped;
    }
    Verdict verdict = Classify(*options, wire);
    if (verdict == Verdict::Stop)
        options->Status |= QLX_STATUS_STOP;
    if (verdict == Verdict::Deliver && !Deliver(wire, message, hRequest))
        return Verdict::Dropped;
    return verdict;
}

int Service::WaitedInVain(int32_t waitMs)
{
    Detail(0, "waited %d ms", waitMs);
    return NoMessage();
}

int Service::Interrupted()
{
    Detail(EINTR, "the wait was cut short by a signal");
    return NoMessage();
}

int Service::GetRequest(QLXMESSAGE *message, QLXGETOPTIONS *options, QLXHREQ *hRequest)
{
    ReleaseBuffer();
    returnable_ = 0;
    Deadline deadline(options->WaitInterval);
    for (;;) {
        ReceivedMessage::Result result = received_.Receive(socket_.Get(), &deadline);
        if (result == ReceivedMessage::Result::Interrupted)
            return Interrupted();
        if (result == ReceivedMessage::Result::Failed)
            return Fail(QLXRC_RECEIVE_FAILED, "receiving for service element %s failed",
                        name_.c_str());
        if (result == ReceivedMessage::Result::Empty)
            return WaitedInVain(options->WaitInterval);
        Verdict verdict = TakeReceived(message, options, hRequest);
        if (verdict == Verdict::Deliver)
            return 1;
        if (verdict == Verdict::Stop) {
            Detail(0, "the application manager asked the service to stop");
            return NoMessage();
        }
    }
}

static int BadRequest(QLXHREQ handle)
{
    if (RequestTable::IsDatagramHandle(handle))
        return Fail(QLXRC_BAD_REQUEST, "request handle %08x is a datagram's: it takes no reply",
                    handle);
    return Fail(QLXRC_BAD_REQUEST, "request handle %08x names no open transaction", handle);
}

int Service::PutResponse(QLXMESSAGE *message, QLXPUTOPTIONS *options, QLXHREQ *hRequest)
{
    QLXHREQ handle = *hRequest;
    OpenRequest *request = requests_.Find(handle);
    if (request == nullptr)
        return BadRequest(handle);
    const char *data = message->Buffer.Data;
    if (data == nullptr && message->DataLength > 0)
        return Fail(QLXRC_BAD_ARGUMENT, "response data is null but DataLength is %u",
                    message->DataLength);
    uint16_t flags = ((options->Options & QLX_PMO_NOTIFY) ? FlagNotify : 0) |
                     ((options->Options & QLX_PMO_MORE) ? FlagMore : 0);
    Frame msgId{};
    if (options->Options & QLX_PMO_MSGID)
        msgId = Frame{options->MsgId, MsgIdSize};
    bool failed = false;
    Reply(AsFrame(request->RoutingId), KindResponse, flags, 0, request->RequestId, msgId,
          Frame{reinterpret_cast<const uint8_t *>(data), message->DataLength}, &failed,
          ReturnableParts(handle, *message, msgId));
    if (failed)
        return Fail(QLXRC_SEND_FAILED, "a response for service element %s cannot be sent",
                    name_.c_str());
    if ((options->Options & QLX_PMO_MORE) == 0)
        Complete(handle);
    return 1;
}

/* The first response to the transaction just received that carries data of
 * its length out of the buffer it was handed in goes back in the very frames
 * the transaction came in, rewritten: ZeroMQ then neither allocates nor
 * copies, as for a bare echo. Later responses are built afresh. */
zmq_msg_t *Service::ReturnableParts(QLXHREQ handle, const QLXMESSAGE &message, Frame msgId)
{
    if (handle != returnable_ || message.Buffer.Data != buffer_.Data())
        return nullptr;
    returnable_ = 0;
    Frame sentId = received_.FrameAt(2);
    Frame sentData = received_.FrameAt(3);
    if (sentId.Size != msgId.Size || sentData.Size != message.DataLength)
        return nullptr;
    /* The parts are the library's own until they are sent. */
    if (msgId.Size > 0)
        memcpy(const_cast<uint8_t *>(sentId.Data), msgId.Data, msgId.Size);
    if (message.DataLength > 0)
        memcpy(const_cast<uint8_t *>(sentData.Data), buffer_.Data(), message.DataLength);
    return received_.Parts();
}

/* A completed transaction is done with its received buffer too. */
void Service::Complete(QLXHREQ handle)
{
    requests_.Close(handle);
    if (current_ == handle)
        current_ = 0;
    ReleaseBuffer();
}

int Service::SendAlert(const QLXALERT &alert)
{
    OpenRequest *request = requests_.Find(current_);
    if (request == nullptr)
        return Fail(QLXRC_NO_CURRENT_REQUEST, "no transaction is being handled to alert about");
    const char *text = alert.Text != nullptr ? alert.Text : "";
    bool failed = false;
    Reply(AsFrame(request->RoutingId), KindAlert, 0, alert.AlertType, request->RequestId, Frame{},
          Frame{reinterpret_cast<const uint8_t *>(text), strlen(text)}, &failed);
    if (failed)
        return Fail(QLXRC_SEND_FAILED, "an alert for service element %s cannot be sent",
                    name_.c_str());
    return 1;
}

int Service::CloseHandle(QLXHREQ handle)
{
    if (RequestTable::IsDatagramHandle(handle))
        return 1;
    OpenRequest *request = requests_.Find(handle);
    if (request == nullptr)
        return BadRequest(handle);
    bool failed = false;
    Reply(AsFrame(request->RoutingId), KindEnd, 0, 0, request->RequestId, Frame{}, Frame{},
          &failed);
    Complete(handle);
    if (failed)
        return Fail(QLXRC_SEND_FAILED, "the end of a transaction cannot be sent");
    return 1;
}

bool Service::FreeBuffer(QLXBUFFER *buffer)
{
    if (!OwnsBuffer(buffer->Data))
        return false;
    ReleaseBuffer();
    *buffer = QLXBUFFER{0, 0, nullptr};
    return true;
}

} // namespace qlx
