#include "qlx/Client.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"

namespace qlx {

Client::~Client()
{
    socket_.Close();
    if (context_ != nullptr)
        ReleaseContext();
}

/* A service holds a lock on its lock file while it lives; without the file,
 * or with the file unlocked, nobody serves the element. */
bool Client::ServiceIsLive() const
{
    if (endpoint_.LockPath.empty())
        return true;
    int fd = open(endpoint_.LockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int tested = fcntl(fd, F_OFD_GETLK, &lock);
    (void)close(fd);
    return tested == 0 && lock.l_type != F_UNLCK;
}

bool Client::Connect(const QLXSERVICEADDRESS &address)
{
    size_t length = strnlen(address.Name, sizeof address.Name);
    name_ = PrintableName(address.Name, length);
    std::string dir = RuntimeDirectoryPath();
    struct stat info {};
    if (ExplicitEndpoint() == nullptr && lstat(dir.c_str(), &info) != 0)
        return Fail(QLXRC_NOT_SERVED, "service element %s is not served: no runtime directory %s",
                    name_.c_str(), dir.c_str());
    if (!ResolveEndpoint(address.Name, sizeof address.Name, false, &endpoint_))
        return false;
    if (!ServiceIsLive()) {
        Detail(0, "no live process holds %s", endpoint_.LockPath.c_str());
        return Fail(QLXRC_NOT_SERVED, "service element %s is not served by a live process",
                    name_.c_str());
    }
    context_ = AcquireContext();
    if (context_ == nullptr || !socket_.Open(context_, ZMQ_DEALER))
        return false;
    bool ok = socket_.SetInt(ZMQ_LINGER, ClientLingerMs, "ZMQ_LINGER") &&
              socket_.SetInt(ZMQ_SNDHWM, ClientQueueLimit, "ZMQ_SNDHWM") &&
              socket_.SetInt(ZMQ_RCVHWM, ClientQueueLimit, "ZMQ_RCVHWM") &&
              socket_.SetInt(ZMQ_HEARTBEAT_IVL, 2000, "ZMQ_HEARTBEAT_IVL") &&
              socket_.SetInt(ZMQ_HEARTBEAT_TIMEOUT, 6000, "ZMQ_HEARTBEAT_TIMEOUT");
    if (!ok)
        return false;
    if (zmq_connect(socket_.Get(), endpoint_.Address.c_str()) != 0) {
        DetailErrno(("zmq_connect " + endpoint_.Address).c_str(), errno);
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be connected", name_.c_str());
    }
    return true;
}

int Client::SendFrames(uint8_t kind, uint64_t requestId, Frame msgId, Frame data)
{
    uint8_t header[HeaderSize];
    EncodeHeader(Header{ProtocolVersion, kind, 0, 0, requestId}, header);
    const Frame frames[] = {Frame{header, HeaderSize}, msgId, data};
    switch (SendMessage(socket_.Get(), frames, 3, false)) {
    case SendResult::Sent:
        return 1;
    case SendResult::Gone:
    case SendResult::Full:
        return Fail(QLXRC_SEND_QUEUE_FULL, "the queue towards service element %s is full",
                    name_.c_str());
    case SendResult::Failed:
        break;
    }
    return Fail(QLXRC_SEND_FAILED, "a message to service element %s cannot be sent", name_.c_str());
}

int Client::Send(const QLXREQUEST &request)
{
    if (request.Data == nullptr && request.DataLength > 0)
        return Fail(QLXRC_BAD_ARGUMENT, "request data is null but DataLength is %u",
                    request.DataLength);
    uint8_t kind = request.MsgType == QLX_MSGTYPE_TRANSACTION ? KindTransaction : KindDatagram;
    Frame msgId{};
    if (request.Options & QLX_RQO_MSGID)
        msgId = Frame{request.MsgId, MsgIdSize};
    return SendFrames(kind, request.RequestId, msgId,
                      Frame{reinterpret_cast<const uint8_t *>(request.Data), request.DataLength});
}

int Client::Stop()
{
    return SendFrames(KindStop, 0, Frame{}, Frame{});
}

bool Client::Deliver(QLXREPLY *reply)
{
    WireMessage wire;
    if (DecodeMessage(received_.Frames(), received_.FrameCount(), Direction::ToClient, &wire) !=
            Fault::None ||
        !buffer_.Fill(wire.Data.Data, wire.Data.Size)) {
        ++malformed_;
        return false;
    }
    reply->Kind = wire.Head.Kind;
    reply->Flags = wire.Head.Flags;
    reply->Code = wire.Head.Code;
    reply->RequestId = wire.Head.RequestId;
    reply->MsgIdLength = static_cast<uint32_t>(wire.MsgId.Size);
    memset(reply->MsgId, 0, sizeof reply->MsgId);
    if (wire.MsgId.Size > 0)
        memcpy(reply->MsgId, wire.MsgId.Data, wire.MsgId.Size);
    reply->DataLength = static_cast<uint32_t>(wire.Data.Size);
    reply->BufferSize = buffer_.Capacity();
    reply->Data = buffer_.Data();
    return true;
}

int Client::Receive(QLXREPLY *reply, int32_t waitMs)
{
    Deadline deadline(waitMs);
    for (;;) {
        ReceivedMessage::Result result = received_.Receive(socket_.Get(), &deadline);
        if (result == ReceivedMessage::Result::Failed)
            return Fail(QLXRC_RECEIVE_FAILED, "receiving from service element %s failed",
                        name_.c_str());
        if (result != ReceivedMessage::Result::Received)
            return FailNoReply();
        if (Deliver(reply))
            return 1;
    }
}

} // namespace qlx
