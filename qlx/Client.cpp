#include "qlx/Client.h"

#include <cstring>

#include "qlx/Endpoint.h"
#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"

namespace qlx {

bool Client::Connect(const QLXSERVICEADDRESS &address)
{
    name_ = PrintableName(address.Name, strnlen(address.Name, sizeof address.Name));
    transport_ = OpenClientTransport(address.Name, sizeof address.Name, name_);
    return transport_ != nullptr;
}

int Client::SendMessage(uint8_t kind, uint64_t requestId, Frame msgId, Frame data)
{
    Outbound message{Header{ProtocolVersion, kind, 0, 0, requestId}, msgId, data};
    switch (transport_->Send(message)) {
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
    return SendMessage(kind, request.RequestId, msgId,
                       Frame{reinterpret_cast<const uint8_t *>(request.Data), request.DataLength});
}

int Client::Stop()
{
    return SendMessage(KindStop, 0, Frame{}, Frame{});
}

bool Client::Deliver(const Inbound &message, QLXREPLY *reply)
{
    WireMessage wire;
    if (DecodeMessage(message.Frames, message.FrameCount, Direction::ToClient, &wire) !=
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
        Inbound message{};
        ReceiveResult result = transport_->Receive(&deadline, &message);
        if (result == ReceiveResult::Failed)
            return Fail(QLXRC_RECEIVE_FAILED, "receiving from service element %s failed",
                        name_.c_str());
        if (result != ReceiveResult::Received)
            return FailNoReply();
        if (Deliver(message, reply))
            return 1;
    }
}

} // namespace qlx
