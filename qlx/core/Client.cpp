#include "qlx/core/Client.h"

#include <algorithm>
#include <cstring>

#include "qlx/core/ElementName.h"
#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"

namespace qlx {

bool Client::Connect(const QLXSERVICEADDRESS &address, ClientTransportOpener open)
{
    name_ = PrintableName(address.Name, strnlen(address.Name, sizeof address.Name));
    transport_ = open(address.Name, sizeof address.Name, name_);
    return transport_ != nullptr;
}

int Client::SendMessage(uint8_t kind, uint64_t requestId, Frame msgId, Frame data)
{
    Outbound message{Header{ProtocolVersion, kind, 0, 0, requestId}, msgId, data};
    switch (transport_->Send(message)) {
    case SendResult::Sent:
        if (kind == KindTransaction && transport_->ReportsLosses())
            outstanding_[requestId] = transport_->Losses();
        return 1;
    case SendResult::Gone:
    case SendResult::Full:
        return Fail(QLXRC_SEND_QUEUE_FULL, "the queue towards service element %s is full",
                    name_.c_str());
    case SendResult::TooLarge:
        return Fail(QLXRC_DATA_TOO_LARGE,
                    "a message of %zu data bytes to service element %s is over what the "
                    "transport carries",
                    data.Size, name_.c_str());
    case SendResult::NotServed:
        return Fail(QLXRC_NOT_SERVED, "service element %s is not served by a live process",
                    name_.c_str());
    case SendResult::Lost:
        return Fail(QLXRC_CONNECTION_LOST,
                    "the connection to service element %s was lost while a message was sent",
                    name_.c_str());
    case SendResult::Refused:
        return 0;
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

/* A reply that ends its transaction ends its tracking too. */
void Client::Untrack(const QLXREPLY &reply)
{
    bool ends = reply.Kind == QLX_REPLY_END || reply.Kind == QLX_REPLY_REFUSED ||
                (reply.Kind == QLX_REPLY_RESPONSE && (reply.Flags & QLX_RF_MORE) == 0);
    if (ends)
        outstanding_.erase(reply.RequestId);
}

/* Every transaction sent before the loss just reported may never be
 * answered: each ends now as refused, the outcome unknown. */
void Client::TakeLosses()
{
    uint64_t losses = transport_->Losses();
    size_t first = lost_.size();
    for (auto entry = outstanding_.begin(); entry != outstanding_.end();) {
        if (entry->second >= losses) {
            ++entry;
            continue;
        }
        lost_.push_back(entry->first);
        entry = outstanding_.erase(entry);
    }
    /* Reported in the order they were sent, as far as their ids tell. */
    std::sort(lost_.begin() + static_cast<ptrdiff_t>(first), lost_.end(), std::greater<>());
}

/* A reply made here, with no data: a refusal, or word of the service. */
int Client::DeliverMade(QLXREPLY *reply, int32_t kind, int32_t code, uint64_t requestId)
{
    if (!buffer_.Fill(nullptr, 0))
        return Fail(QLXRC_NO_MEMORY, "out of memory");
    *reply = QLXREPLY{{'F', 'X', 'R', 'P'}, reply->Version, kind, 0, code, 0, requestId, {}, 0,
                      buffer_.Capacity(),   buffer_.Data()};
    return 1;
}

int Client::DeliverLost(QLXREPLY *reply)
{
    if (!DeliverMade(reply, QLX_REPLY_REFUSED, QLXRC_CONNECTION_LOST, lost_.back()))
        return 0;
    lost_.pop_back();
    return 1;
}

int Client::Receive(QLXREPLY *reply, int32_t waitMs)
{
    Deadline deadline(waitMs);
    for (;;) {
        if (!lost_.empty())
            return DeliverLost(reply);
        Inbound message{};
        ReceiveResult result = transport_->Receive(&deadline, &message);
        if (result == ReceiveResult::Failed)
            return Fail(QLXRC_RECEIVE_FAILED, "receiving from service element %s failed",
                        name_.c_str());
        if (result == ReceiveResult::Lost) {
            TakeLosses();
            continue;
        }
        /* Only a caller of reply version 2 knows this reply kind. */
        if (result == ReceiveResult::Gone && reply->Version >= QLX_REPLY_VERSION_GONE)
            return DeliverMade(reply, QLX_REPLY_GONE, 0, 0);
        if (result == ReceiveResult::Gone)
            continue;
        if (result != ReceiveResult::Received)
            return FailNoReply();
        if (!Deliver(message, reply))
            continue;
        if (!outstanding_.empty())
            Untrack(*reply);
        return 1;
    }
}

} // namespace qlx
