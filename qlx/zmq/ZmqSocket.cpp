#include "qlx/zmq/ZmqSocket.h"

#include <cerrno>
#include <climits>
#include <mutex>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"

namespace qlx {

static std::mutex ContextLock;
static void *Context = nullptr;
static int ContextUsers = 0;
static bool PartsOwnMemory = false;

/* ZMQ_ZERO_COPY_RECV, a context option of libzmq 4.3's draft API, which its
 * library takes whatever its header shows. On, as by default, ZeroMQ leaves
 * each received part of 33 to 8,191 bytes in the 8 KiB buffer it read it
 * into, and keeps the whole buffer (18,156 bytes with its counters) while
 * any such part is queued or held: a peer sending small messages one at a
 * time would make each of its queued messages cost 18 KiB. */
enum : int { ZeroCopyReceive = 10 };

/* Turns ZeroMQ's zero-copy receive off, and reads back whether it is. */
static bool CopyReceivedParts(void *context)
{
    return zmq_ctx_set(context, ZeroCopyReceive, 0) == 0 &&
           zmq_ctx_get(context, ZeroCopyReceive) == 0;
}

void *AcquireContext()
{
    std::lock_guard<std::mutex> guard(ContextLock);
    if (Context == nullptr) {
        Context = zmq_ctx_new();
        if (Context == nullptr) {
            DetailZmqErrno("zmq_ctx_new", errno);
            Fail(QLXRC_TRANSPORT, "the messaging context cannot be created");
            return nullptr;
        }
        PartsOwnMemory = CopyReceivedParts(Context);
    }
    ++ContextUsers;
    return Context;
}

void ReleaseContext()
{
    std::lock_guard<std::mutex> guard(ContextLock);
    if (--ContextUsers > 0)
        return;
    (void)zmq_ctx_term(Context);
    Context = nullptr;
}

bool ReceivedPartsOwnMemory()
{
    std::lock_guard<std::mutex> guard(ContextLock);
    return PartsOwnMemory;
}

void DetailZmqErrno(const char *what, int error)
{
    Detail(error, "%s: %s (errno %d)", what, zmq_strerror(error), error);
}

/* Whether the context holds as many sockets as ZeroMQ allows, besides the
 * one being opened: its EMFILE then says so, not that descriptors ran out. */
static bool AtSocketLimit()
{
    std::lock_guard<std::mutex> guard(ContextLock);
    return ContextUsers - 1 >= zmq_ctx_get(Context, ZMQ_MAX_SOCKETS);
}

/* A context ends only once its sockets are closed. */
Socket::~Socket()
{
    if (socket_ != nullptr)
        (void)zmq_close(socket_);
    if (contextHeld_)
        ReleaseContext();
}

bool Socket::Open(int type)
{
    void *context = AcquireContext();
    if (context == nullptr)
        return false;
    contextHeld_ = true;
    socket_ = zmq_socket(context, type);
    if (socket_ != nullptr)
        return true;
    int error = errno;
    if (OutOfDescriptors(error) && !AtSocketLimit())
        return FailOutOfDescriptors("a messaging socket", error);
    DetailZmqErrno("zmq_socket", error);
    return Fail(QLXRC_TRANSPORT, "a messaging socket cannot be opened");
}

bool Socket::SetInt(int option, int value, const char *name)
{
    if (zmq_setsockopt(socket_, option, &value, sizeof value) == 0)
        return true;
    DetailZmqErrno("zmq_setsockopt", errno);
    return Fail(QLXRC_TRANSPORT, "socket option %s cannot be set to %d", name, value);
}

bool Socket::KeepPeersAlive()
{
    return SetInt(ZMQ_TCP_KEEPALIVE, 1, "ZMQ_TCP_KEEPALIVE") &&
           SetInt(ZMQ_TCP_KEEPALIVE_IDLE, KeepAliveIdleS, "ZMQ_TCP_KEEPALIVE_IDLE") &&
           SetInt(ZMQ_TCP_KEEPALIVE_INTVL, KeepAliveIntervalS, "ZMQ_TCP_KEEPALIVE_INTVL") &&
           SetInt(ZMQ_TCP_KEEPALIVE_CNT, KeepAliveProbes, "ZMQ_TCP_KEEPALIVE_CNT") &&
           SetInt(ZMQ_TCP_MAXRT, UnacknowledgedLimitMs, "ZMQ_TCP_MAXRT");
}

ReceivedMessage::ReceivedMessage()
{
    for (zmq_msg_t &part : parts_)
        (void)zmq_msg_init(&part);
    (void)zmq_msg_init(&discard_);
}

ReceivedMessage::~ReceivedMessage()
{
    for (zmq_msg_t &part : parts_)
        (void)zmq_msg_close(&part);
    (void)zmq_msg_close(&discard_);
}

/* The parts after the first are already queued with it: only a signal can
 * get in the way, and the receive is tried again then. */
static int ReceiveRest(void *socket, zmq_msg_t *part)
{
    for (;;) {
        int received = zmq_msg_recv(part, socket, 0);
        if (received >= 0 || errno != EINTR)
            return received;
    }
}

/* Waits in ZeroMQ's own receive, with no look before it: a look at an empty
 * queue costs ZeroMQ a system call, and the wait then makes another. */
int ReceivedMessage::ReceiveFirst(void *socket, Deadline *deadline)
{
    int32_t wait = 0;
    bool more = deadline->NextPart(&wait);
    while (more) {
        if (wait != waitSet_) {
            if (zmq_setsockopt(socket, ZMQ_RCVTIMEO, &wait, sizeof wait) != 0)
                return -1;
            waitSet_ = wait;
        }
        int received = zmq_msg_recv(&parts_[0], socket, 0);
        if (received >= 0 || errno != EAGAIN)
            return received;
        more = deadline->PartRanOut(&wait);
    }
    errno = EAGAIN;
    return -1;
}

ReceiveResult ReceivedMessage::Receive(void *socket, Deadline *deadline)
{
    count_ = 0;
    int received = ReceiveFirst(socket, deadline);
    if (received < 0) {
        if (errno == EAGAIN)
            return ReceiveResult::Empty;
        if (errno == EINTR)
            return ReceiveResult::Interrupted;
        DetailZmqErrno("zmq_msg_recv", errno);
        return ReceiveResult::Failed;
    }
    Keep(0, received);
    count_ = 1;
    zmq_msg_t *last = &parts_[0];
    while (zmq_msg_more(last)) {
        bool kept = count_ < KeptParts;
        zmq_msg_t *next = kept ? &parts_[count_] : &discard_;
        received = ReceiveRest(socket, next);
        if (received < 0) {
            DetailZmqErrno("zmq_msg_recv", errno);
            return ReceiveResult::Failed;
        }
        if (kept)
            Keep(count_, received);
        ++count_;
        last = next;
    }
    return ReceiveResult::Received;
}

/* zmq_msg_recv tells the size, up to INT_MAX. */
void ReceivedMessage::Keep(size_t index, int received)
{
    zmq_msg_t *part = &parts_[index];
    size_t size = received < INT_MAX ? static_cast<size_t>(received) : zmq_msg_size(part);
    frames_[index] = Frame{static_cast<const uint8_t *>(zmq_msg_data(part)), size};
}

/* Retries a send that a signal cut short; returns 0 or the send's errno. */
template <typename Send> static int SendRetried(Send send)
{
    for (;;) {
        if (send() >= 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

static SendResult SendFailure(size_t index, int error)
{
    if (index == 0 && error == EHOSTUNREACH)
        return SendResult::Gone;
    if (index == 0 && error == EAGAIN)
        return SendResult::Full;
    DetailZmqErrno("zmq_send", error);
    return SendResult::Failed;
}

/* Sends count frames through sendFrame(index, flags), which returns 0 or an
 * errno: all but the last with ZMQ_SNDMORE, none waiting for room. */
template <typename SendFrame> static SendResult SendFrames(size_t count, SendFrame sendFrame)
{
    for (size_t i = 0; i < count; ++i) {
        int error = sendFrame(i, i + 1 < count ? ZMQ_DONTWAIT | ZMQ_SNDMORE : ZMQ_DONTWAIT);
        if (error != 0)
            return SendFailure(i, error);
    }
    return SendResult::Sent;
}

SendResult SendMessage(void *socket, const Frame *frames, size_t count)
{
    return SendFrames(count, [&](size_t i, int flags) {
        return SendRetried([&] { return zmq_send(socket, frames[i].Data, frames[i].Size, flags); });
    });
}

SendResult SendParts(void *socket, zmq_msg_t *parts, size_t count)
{
    return SendFrames(count, [&](size_t i, int flags) {
        return SendRetried([&] { return zmq_msg_send(&parts[i], socket, flags); });
    });
}

} // namespace qlx
