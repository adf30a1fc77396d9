#include "qlx/ZmqService.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"
#include "qlx/LockFile.h"

namespace qlx {

enum : size_t { RoutingPart = 0, HeaderPart = 1, MsgIdPart = 2, DataPart = 3 };

ZmqServiceTransport::~ZmqServiceTransport()
{
    if (!endpoint_.SocketPath.empty() && lockFd_ >= 0)
        (void)unlink(endpoint_.SocketPath.c_str());
    if (lockFd_ >= 0)
        (void)close(lockFd_);
}

bool ZmqServiceTransport::Open(const char *nameField, size_t fieldSize, const std::string &name)
{
    if (!ResolveEndpoint(nameField, fieldSize, true, &endpoint_))
        return false;
    if (!endpoint_.LockPath.empty()) {
        lockFd_ = TakeServiceLock(endpoint_.LockPath, name);
        if (lockFd_ < 0)
            return false;
    }
    return Bind(name);
}

bool ZmqServiceTransport::Bind(const std::string &name)
{
    if (!socket_.Open(ZMQ_ROUTER))
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
                        name.c_str());
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be bound", name.c_str());
    }
    if (!endpoint_.SocketPath.empty())
        (void)chmod(endpoint_.SocketPath.c_str(), 0600);
    return true;
}

ReceiveResult ZmqServiceTransport::Receive(Deadline *deadline, Inbound *message)
{
    reusable_ = false;
    ReceiveResult result = received_.Receive(socket_.Get(), deadline);
    if (result != ReceiveResult::Received)
        return result;
    /* A ROUTER always puts the routing id before the sender's frames. */
    message->Peer = received_.Frames()[RoutingPart];
    message->Frames = received_.Frames() + HeaderPart;
    message->FrameCount = received_.PartCount() - 1;
    reusable_ = received_.PartCount() == ReceivedMessage::KeptParts;
    return result;
}

/* A reply to the peer of the message just received, of that message's sizes,
 * goes back in the very parts the message came in, rewritten: ZeroMQ then
 * neither allocates nor copies. */
bool ZmqServiceTransport::ReusesReceived(Frame peer, const Outbound &message)
{
    if (!reusable_)
        return false;
    const Frame *frames = received_.Frames();
    if (AsText(peer) != AsText(frames[RoutingPart]) ||
        message.MsgId.Size != frames[MsgIdPart].Size ||
        message.Data.Size != frames[DataPart].Size || frames[HeaderPart].Size != HeaderSize)
        return false;
    reusable_ = false;
    zmq_msg_t *parts = received_.Parts();
    EncodeHeader(message.Head, static_cast<uint8_t *>(zmq_msg_data(&parts[HeaderPart])));
    if (message.MsgId.Size > 0)
        memmove(zmq_msg_data(&parts[MsgIdPart]), message.MsgId.Data, message.MsgId.Size);
    if (message.Data.Size > 0)
        memmove(zmq_msg_data(&parts[DataPart]), message.Data.Data, message.Data.Size);
    return true;
}

SendResult ZmqServiceTransport::Send(Frame peer, const Outbound &message)
{
    bool stalled = IsStalled(peer);
    SendResult sent;
    if (ReusesReceived(peer, message)) {
        sent = SendParts(socket_.Get(), received_.Parts(), ReceivedMessage::KeptParts, !stalled);
    } else {
        uint8_t header[HeaderSize];
        EncodeHeader(message.Head, header);
        const Frame frames[] = {peer, Frame{header, HeaderSize}, message.MsgId, message.Data};
        sent = SendMessage(socket_.Get(), frames, 4, !stalled);
    }
    if (sent == SendResult::Sent && stalled)
        MarkStalled(peer, false);
    if (sent == SendResult::Full && !stalled)
        MarkStalled(peer, true);
    return sent;
}

bool ZmqServiceTransport::IsStalled(Frame peer) const
{
    for (const std::string &stalled : stalled_) {
        if (stalled == AsText(peer))
            return true;
    }
    return false;
}

void ZmqServiceTransport::MarkStalled(Frame peer, bool stalled)
{
    if (!stalled) {
        std::erase(stalled_, AsText(peer));
        return;
    }
    if (stalled_.size() >= StalledPeersKept)
        stalled_.erase(stalled_.begin());
    stalled_.emplace_back(AsText(peer));
}

} // namespace qlx
