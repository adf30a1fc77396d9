#include "qlx/core/Service.h"

#include <cerrno>
#include <cstring>

#include "qlx/core/ElementName.h"
#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/MemoryBudget.h"

namespace qlx {

static_assert(LeastMemoryLimit / ShareOfLimit >= uint64_t{MaxDataSize} + ReplyOverhead,
              "a share holds a reply of the largest size");

Service::~Service()
{
    if (transport_ != nullptr)
        statsFile_.Write(name_, Stats());
}

bool Service::Open(const QLXSERVICEADDRESS &address, ServiceTransportOpener open)
{
    name_ = PrintableName(address.Name, strnlen(address.Name, sizeof address.Name));
    if (!statsFile_.Open())
        return false;
    transport_ = open(address.Name, sizeof address.Name, name_);
    return transport_ != nullptr;
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

/* Sends one reply and counts it. A peer that has gone or does not read loses
 * the reply; only a failing transport fails the send. A reply over what the
 * transport carries is refused to its client instead, and TooLarge returned. */
SendResult Service::Reply(Frame peer, const Header &head, Frame msgId, Frame data)
{
    /* No client takes data over the library's limit, whatever the transport. */
    SendResult sent = data.Size > MaxDataSize ? SendResult::TooLarge
                                              : transport_->Send(peer, Outbound{head, msgId, data});
    if (sent == SendResult::TooLarge && head.Kind != KindRefused) {
        /* The client learns at once why its reply will not come. */
        ++stats_.RepliesDropped;
        Header refusal{ProtocolVersion, KindRefused, 0, QLXRC_DATA_TOO_LARGE, head.RequestId};
        (void)Reply(peer, refusal, Frame{}, Frame{});
        return sent;
    }
    if (sent == SendResult::Sent) {
        ++stats_.RepliesSent;
        stats_.BytesSent += HeaderSize + msgId.Size + data.Size;
    } else if (sent != SendResult::Failed)
        ++stats_.RepliesDropped;
    return sent;
}

static Header ReplyHeader(uint8_t kind, uint16_t flags, int32_t code, uint64_t requestId)
{
    return Header{ProtocolVersion, kind, flags, code, requestId};
}

QLXSTATS Service::Stats() const
{
    QLXSTATS stats = stats_;
    stats.TransportDropped = transport_->Dropped();
    stats.KeysRefused = transport_->KeysRefused();
    transport_->AddCounters(&stats);
    return stats;
}

void Service::CountRefusal(int32_t reason)
{
    if (reason == QLXRC_NO_RECEIVER)
        ++stats_.RefusedNoReceiver;
    else if (reason == QLXRC_DATA_TOO_LARGE)
        ++stats_.RefusedTooLarge;
    else if (reason == QLXRC_TOO_MANY_REQUESTS)
        ++stats_.RefusedTooMany;
    else if (reason == QLXRC_NO_MEMORY)
        ++stats_.RefusedNoMemory;
}

void Service::Refuse(const WireMessage &wire, int32_t reason)
{
    ++stats_.Refused;
    CountRefusal(reason);
    (void)Reply(received_.Peer, ReplyHeader(KindRefused, 0, reason, wire.Head.RequestId), Frame{},
                Frame{});
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
    current_ = requests_.Open(received_.Peer.Data, received_.Peer.Size, wire.Head.RequestId);
    *hRequest = current_;
    return 1;
}

/* Decodes and judges the message just received; delivers it when it is to be
 * delivered. */
Service::Verdict Service::TakeReceived(QLXMESSAGE *message, QLXGETOPTIONS *options,
                                       QLXHREQ *hRequest)
{
    /* A message of more frames than were kept is refused by its count before
     * any of them is read. */
    size_t kept = received_.FrameCount < KeptFrames ? received_.FrameCount : KeptFrames;
    for (size_t i = 0; i < kept; ++i)
        stats_.BytesReceived += received_.Frames[i].Size;
    WireMessage wire;
    if (DecodeMessage(received_.Frames, received_.FrameCount, Direction::ToService, &wire) !=
            Fault::None ||
        (received_.StopsOnly && wire.Head.Kind != KindStop)) {
        ++stats_.Malformed;
        return Verdict::Dropped;
    }
    Verdict verdict = Classify(*options, wire);
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
    Deadline deadline(options->WaitInterval);
    for (;;) {
        ReceiveResult result = transport_->Receive(&deadline, &received_);
        if (result == ReceiveResult::Interrupted)
            return Interrupted();
        if (result == ReceiveResult::Failed)
            return Fail(QLXRC_RECEIVE_FAILED, "receiving for service element %s failed",
                        name_.c_str());
        if (result == ReceiveResult::Empty || result == ReceiveResult::Lost)
            return WaitedInVain(options->WaitInterval);
        if (result == ReceiveResult::Drained)
            return Stopped(options);
        Verdict verdict = TakeReceived(message, options, hRequest);
        if (verdict == Verdict::Deliver)
            return 1;
        /* A transport that may still hold earlier messages delivers them
         * first, and reports Drained after the last. */
        if (verdict == Verdict::Stop && !transport_->StopReceiving())
            return Stopped(options);
    }
}

int Service::Stopped(QLXGETOPTIONS *options)
{
    options->Status |= QLX_STATUS_STOP;
    Detail(0, "the application manager asked the service to stop");
    return NoMessage();
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
    SendResult sent =
        Reply(AsFrame(request->Peer), ReplyHeader(KindResponse, flags, 0, request->RequestId),
              msgId, Frame{reinterpret_cast<const uint8_t *>(data), message->DataLength});
    if (sent == SendResult::Failed)
        return Fail(QLXRC_SEND_FAILED, "a response for service element %s cannot be sent",
                    name_.c_str());
    if ((options->Options & QLX_PMO_MORE) == 0 || sent == SendResult::TooLarge)
        Complete(handle);
    if (sent == SendResult::TooLarge)
        return Fail(QLXRC_DATA_TOO_LARGE,
                    "a response of %u data bytes for service element %s is over what the "
                    "transport carries: its client was refused",
                    message->DataLength, name_.c_str());
    return 1;
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
    SendResult sent = Reply(AsFrame(request->Peer),
                            ReplyHeader(KindAlert, 0, alert.AlertType, request->RequestId), Frame{},
                            Frame{reinterpret_cast<const uint8_t *>(text), strlen(text)});
    if (sent == SendResult::Failed)
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
    SendResult sent = Reply(AsFrame(request->Peer), ReplyHeader(KindEnd, 0, 0, request->RequestId),
                            Frame{}, Frame{});
    Complete(handle);
    if (sent == SendResult::Failed)
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
