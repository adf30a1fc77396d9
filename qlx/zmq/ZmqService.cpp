#include "qlx/zmq/ZmqService.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/zmq/LockFile.h"
#include "qlx/zmq/LockName.h"
#include "qlx/zmq/ZmqConnectionLimit.h"
#include "qlx/zmq/ZmqCurve.h"

namespace qlx {

enum : size_t { RoutingPart = 0, HeaderPart = 1, MsgIdPart = 2, DataPart = 3 };

/* A clean close leaves nothing behind. The files go while the lock is still
 * held, socket first, so a service that starts meanwhile finds either both
 * (and the lock held) or neither. */
ZmqServiceTransport::~ZmqServiceTransport()
{
    if (lockFd_ < 0)
        return;
    if (!endpoint_.SocketPath.empty())
        (void)unlink(endpoint_.SocketPath.c_str());
    (void)unlink(endpoint_.LockPath.c_str());
    (void)close(lockFd_);
}

/* What a second service on the same endpoint is told is served already: the
 * element, or the endpoint that QLX_ENDPOINT set for whatever element. */
static std::string ServedSubject(const std::string &name)
{
    if (const char *address = ExplicitEndpoint())
        return std::string("QLX_ENDPOINT=") + address;
    return "service element " + name;
}

bool ZmqServiceTransport::Open(const char *nameField, size_t fieldSize, const std::string &name)
{
    uint64_t memoryLimit = 0;
    if (!ReadMemoryLimit(&memoryLimit) || !LimitConnections())
        return false;
    budget_ = std::make_unique<MemoryBudget>(memoryLimit);
    if (!ResolveEndpoint(nameField, fieldSize, true, &endpoint_))
        return false;
    if (!endpoint_.LockPath.empty()) {
        lockFd_ = TakeServiceLock(endpoint_.LockPath, ServedSubject(name));
        if (lockFd_ < 0)
            return false;
        /* Without the name, listings show the file's name: no reason to fail. */
        (void)WriteLockName(lockFd_, std::string(nameField, strnlen(nameField, fieldSize)));
    }
    return Bind(name);
}

bool ZmqServiceTransport::Bind(const std::string &name)
{
    if (!socket_.Open(ZMQ_ROUTER))
        return false;
    partsOwnMemory_ = ReceivedPartsOwnMemory();
    int64_t frameLimit = MaxFrameSize;
    bool ok = socket_.SetInt(ZMQ_LINGER, CloseLingerMs, "ZMQ_LINGER") &&
              socket_.SetInt(ZMQ_ROUTER_MANDATORY, 1, "ZMQ_ROUTER_MANDATORY") &&
              socket_.SetInt(ZMQ_SNDHWM, SendQueueUnlimited, "ZMQ_SNDHWM") &&
              socket_.SetInt(ZMQ_RCVHWM, ReceiveQueueLimit, "ZMQ_RCVHWM") &&
              socket_.SetInt(ZMQ_HANDSHAKE_IVL, HandshakeLimitMs, "ZMQ_HANDSHAKE_IVL") &&
              socket_.KeepPeersAlive();
    if (!ok)
        return false;
    if (zmq_setsockopt(socket_.Get(), ZMQ_MAXMSGSIZE, &frameLimit, sizeof frameLimit) != 0) {
        DetailZmqErrno("zmq_setsockopt", errno);
        return Fail(QLXRC_TRANSPORT, "socket option ZMQ_MAXMSGSIZE cannot be set");
    }
    if (!endpoint_.SocketPath.empty() &&
        !socket_.SetInt(ZMQ_IPC_FILTER_UID, static_cast<int>(geteuid()), "ZMQ_IPC_FILTER_UID"))
        return false;
    if (!SecureService(socket_.Get(), endpoint_.Address, &zap_))
        return false;
    if (zmq_bind(socket_.Get(), endpoint_.Address.c_str()) != 0) {
        int error = errno;
        DetailZmqErrno(("zmq_bind " + endpoint_.Address).c_str(), error);
        if (error == EADDRINUSE)
            return Fail(QLXRC_ALREADY_SERVED, "%s is in use by another process",
                        ServedSubject(name).c_str());
        return Fail(QLXRC_TRANSPORT, "service element %s cannot be bound", name.c_str());
    }
    if (!endpoint_.SocketPath.empty())
        (void)chmod(endpoint_.SocketPath.c_str(), 0600);
    return true;
}

void ZmqServiceTransport::AddCounters(QLXSTATS *stats) const
{
    ConnectionCounts connections = CountConnections();
    stats->ConnectionsOpen = connections.Open;
    stats->ConnectionsAccepted = connections.Accepted;
    stats->ConnectionsRefused = connections.Refused;
    if (budget_ != nullptr) {
        stats->ReplyBytesHeld = budget_->Held();
        stats->ReplyBytesLimit = budget_->Limit();
    }
    memcpy(stats->Transport, "zmq", 4);
}

ReceiveResult ZmqServiceTransport::Receive(Deadline *deadline, Inbound *message)
{
    reusable_ = false;
    ReceiveResult result = received_.Receive(socket_.Get(), deadline);
    /* A quiet service forgets the peers it holds no reply for. */
    if (result == ReceiveResult::Empty)
        budget_->ForgetIdleAccounts();
    if (result != ReceiveResult::Received)
        return result;
    /* A ROUTER always puts the routing id before the sender's frames. */
    message->Peer = received_.Frames()[RoutingPart];
    message->Frames = received_.Frames() + HeaderPart;
    message->FrameCount = received_.PartCount() - 1;
    reusable_ = received_.PartCount() == ReceivedMessage::KeptParts;
    return result;
}

/* A reply's data as the library holds it until ZeroMQ lets it go: the bytes
 * it holds in the budget, and either the received part whose memory it is
 * sent in or, right behind this record, a copy of its own. */
struct QueuedData {
    std::shared_ptr<MemoryBudget::Account> Account;
    uint64_t Cost;
    bool Keeps;
    zmq_msg_t Kept;
};

/* ZeroMQ's free function of a reply's data, run on whichever thread lets the
 * reply go: mostly ZeroMQ's I/O thread, once the data is written. */
static void ReleaseData(void *, void *hint)
{
    auto *queued = static_cast<QueuedData *>(hint);
    MemoryBudget::GiveBack(*queued->Account, queued->Cost);
    if (queued->Keeps)
        (void)zmq_msg_close(&queued->Kept);
    queued->~QueuedData();
    ::operator delete(queued);
}

/* Makes *part the data of a reply: the bytes of data copied behind a new
 * record, or, with kept, the memory of that received part, which the record
 * takes over (kept and part may be one message). The budget's bytes go back
 * when ZeroMQ lets the part go. Null, with kept as it was, when memory runs
 * out; else the record, which only this thread may touch until the part is
 * sent. */
static QueuedData *MakeData(const std::shared_ptr<MemoryBudget::Account> &account, uint64_t cost,
                            Frame data, zmq_msg_t *kept, zmq_msg_t *part)
{
    size_t copied = kept == nullptr ? data.Size : 0;
    void *block = ::operator new(sizeof(QueuedData) + copied, std::nothrow);
    if (block == nullptr)
        return nullptr;
    auto *queued = new (block) QueuedData{account, cost, kept != nullptr, {}};
    uint8_t *bytes = reinterpret_cast<uint8_t *>(queued + 1);
    if (kept != nullptr) {
        (void)zmq_msg_init(&queued->Kept);
        (void)zmq_msg_move(&queued->Kept, kept);
        bytes = static_cast<uint8_t *>(zmq_msg_data(&queued->Kept));
    } else if (copied > 0) {
        memcpy(bytes, data.Data, copied);
    }
    if (zmq_msg_init_data(part, bytes, data.Size, ReleaseData, queued) == 0)
        return queued;
    if (kept != nullptr)
        (void)zmq_msg_move(kept, &queued->Kept);
    queued->~QueuedData();
    ::operator delete(queued);
    return nullptr;
}

/* A reply to the peer of the message just received, of that message's sizes,
 * can go back in the very parts the message came in, rewritten: ZeroMQ then
 * copies nothing. Only where those parts keep no memory but their own is
 * the reply's charge all that it keeps. */
bool ZmqServiceTransport::SendsInPlace(Frame peer, const Outbound &message) const
{
    if (!reusable_ || !partsOwnMemory_)
        return false;
    const Frame *frames = received_.Frames();
    return AsText(peer) == AsText(frames[RoutingPart]) &&
           message.MsgId.Size == frames[MsgIdPart].Size &&
           message.Data.Size == frames[DataPart].Size && frames[HeaderPart].Size == HeaderSize;
}

static void Rewrite(const Outbound &message, ReceivedMessage *received)
{
    EncodeHeader(message.Head, received->Bytes(HeaderPart));
    if (message.MsgId.Size > 0)
        memmove(received->Bytes(MsgIdPart), message.MsgId.Data, message.MsgId.Size);
    if (message.Data.Size > 0)
        memmove(received->Bytes(DataPart), message.Data.Data, message.Data.Size);
}

/* The parts of a reply built for it, let go at the end of scope unless sent. */
struct BuiltParts {
    zmq_msg_t Parts[ReceivedMessage::KeptParts];
    BuiltParts()
    {
        for (zmq_msg_t &part : Parts)
            (void)zmq_msg_init(&part);
    }
    ~BuiltParts()
    {
        for (zmq_msg_t &part : Parts)
            (void)zmq_msg_close(&part);
    }
    bool Copy(size_t index, Frame frame)
    {
        if (zmq_msg_init_size(&Parts[index], frame.Size) != 0)
            return false;
        if (frame.Size > 0)
            memcpy(zmq_msg_data(&Parts[index]), frame.Data, frame.Size);
        return true;
    }
};

/* Every reply's bytes are held in the budget from before it is queued until
 * ZeroMQ lets that reply go; a reply that the budget has no room for is not
 * queued. No send waits. */
SendResult ZmqServiceTransport::Send(Frame peer, const Outbound &message)
{
    const std::shared_ptr<MemoryBudget::Account> &account = budget_->AccountOf(AsText(peer));
    uint64_t cost = message.Data.Size + ReplyOverhead;
    if (!budget_->Take(*account, cost))
        return SendResult::Full;
    if (SendsInPlace(peer, message))
        return SendInPlace(message, account, cost);
    return SendReported(peer, message, account, cost);
}

/* A reply in the received parts, whose data part reports its release. Not
 * sent, its record (still this thread's) gives back the cost when the part
 * is closed. */
SendResult ZmqServiceTransport::SendInPlace(const Outbound &message,
                                            const std::shared_ptr<MemoryBudget::Account> &account,
                                            uint64_t cost)
{
    reusable_ = false;
    zmq_msg_t *parts = received_.Parts();
    Rewrite(message, &received_);
    if (MakeData(account, cost, message.Data, &parts[DataPart], &parts[DataPart]) == nullptr) {
        MemoryBudget::GiveBack(*account, cost);
        return SendResult::Full;
    }
    return SendParts(socket_.Get(), parts, ReceivedMessage::KeptParts);
}

/* A reply in parts built for it, whose data part reports its release. */
SendResult ZmqServiceTransport::SendReported(Frame peer, const Outbound &message,
                                             const std::shared_ptr<MemoryBudget::Account> &account,
                                             uint64_t cost)
{
    uint8_t header[HeaderSize];
    EncodeHeader(message.Head, header);
    BuiltParts built;
    if (MakeData(account, cost, message.Data, nullptr, &built.Parts[DataPart]) == nullptr) {
        MemoryBudget::GiveBack(*account, cost);
        return SendResult::Full;
    }
    bool copied = built.Copy(RoutingPart, peer) &&
                  built.Copy(HeaderPart, Frame{header, HeaderSize}) &&
                  built.Copy(MsgIdPart, message.MsgId);
    return copied ? SendParts(socket_.Get(), built.Parts, ReceivedMessage::KeptParts)
                  : SendResult::Full;
}

} // namespace qlx
