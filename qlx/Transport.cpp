#include "qlx/Transport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"

namespace qlx {

Socket::~Socket()
{
    Close();
}

void Socket::Close()
{
    if (socket_ != nullptr)
        (void)zmq_close(socket_);
    socket_ = nullptr;
}

bool Socket::Open(void *context, int type)
{
    socket_ = zmq_socket(context, type);
    if (socket_ != nullptr)
        return true;
    DetailErrno("zmq_socket", errno);
    return Fail(QLXRC_TRANSPORT, "a messaging socket cannot be opened");
}

bool Socket::SetInt(int option, int value, const char *name)
{
    if (zmq_setsockopt(socket_, option, &value, sizeof value) == 0)
        return true;
    DetailErrno("zmq_setsockopt", errno);
    return Fail(QLXRC_TRANSPORT, "socket option %s cannot be set to %d", name, value);
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

/* The frames after the first are already queued with it: only a signal can
 * get in the way, and the receive is tried again then. */
int ReceivedMessage::ReceiveRest(void *socket, zmq_msg_t *part)
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

ReceivedMessage::Result ReceivedMessage::Receive(void *socket, Deadline *deadline)
{
    count_ = 0;
    int received = ReceiveFirst(socket, deadline);
    if (received < 0) {
        if (errno == EAGAIN)
            return Result::Empty;
        if (errno == EINTR)
            return Result::Interrupted;
        DetailErrno("zmq_msg_recv", errno);
        return Result::Failed;
    }
    Keep(0, received);
    count_ = 1;
    zmq_msg_t *last = &parts_[0];
    while (zmq_msg_more(last)) {
        bool kept = count_ < KeptFrames;
        zmq_msg_t *next = kept ? &parts_[count_] : &discard_;
        received = ReceiveRest(socket, next);
        if (received < 0) {
            DetailErrno("zmq_msg_recv", errno);
            return Result::Failed;
        }
        if (kept)
            Keep(count_, received);
        ++count_;
        last = next;
    }
    return Result::Received;
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
    DetailErrno("zmq_send", error);
    return SendResult::Failed;
}

/* Sends count frames through send(index, flags), which returns 0 or an
 * errno: all but the last with ZMQ_SNDMORE, only the first allowed to wait. */
template <typename SendFrame>
static SendResult SendFrames(size_t count, bool wait, SendFrame sendFrame)
{
    int flags = wait ? 0 : ZMQ_DONTWAIT;
    for (size_t i = 0; i < count; ++i) {
        int error = sendFrame(i, i + 1 < count ? flags | ZMQ_SNDMORE : flags);
        if (error != 0)
            return SendFailure(i, error);
        flags = ZMQ_DONTWAIT;
    }
    return SendResult::Sent;
}

SendResult SendMessage(void *socket, const Frame *frames, size_t count, bool wait)
{
    return SendFrames(count, wait, [&](size_t i, int flags) {
        return SendRetried([&] { return zmq_send(socket, frames[i].Data, frames[i].Size, flags); });
    });
}

SendResult SendParts(void *socket, zmq_msg_t *parts, size_t count, bool wait)
{
    return SendFrames(count, wait, [&](size_t i, int flags) {
        return SendRetried([&] { return zmq_msg_send(&parts[i], socket, flags); });
    });
}

bool Deadline::NextPart(int32_t *wait)
{
    if (Unlimited()) {
        *wait = -1;
        return true;
    }
    if (phase_ == Phase::Unstarted) {
        phase_ = Phase::Whole;
        *wait = ms_ == 0 ? 0 : ms_ + std::min<int32_t>(TimerSlackMs, INT32_MAX - ms_);
        return true;
    }
    if (phase_ == Phase::Whole) {
        phase_ = Phase::Timed;
        at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms_);
    }
    return Left(wait);
}

bool Deadline::PartRanOut(int32_t *wait)
{
    if (Unlimited()) {
        *wait = -1;
        return true;
    }
    return phase_ == Phase::Timed && Left(wait);
}

/* What is left of a timed wait, rounded up to whole milliseconds. */
bool Deadline::Left(int32_t *wait) const
{
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
    *wait = left.count() > 0 ? static_cast<int32_t>(left.count()) : 0;
    return *wait > 0;
}

ReceiveBuffer::~ReceiveBuffer()
{
    free(data_);
}

bool ReceiveBuffer::Fill(const uint8_t *data, size_t size)
{
    if (size + 1 > capacity_) {
        size_t capacity = size + 1 > 2 * size_t{capacity_} ? size + 1 : 2 * size_t{capacity_};
        if (capacity > UINT32_MAX)
            return false;
        char *grown = static_cast<char *>(malloc(capacity));
        if (grown == nullptr)
            return false;
        free(data_);
        data_ = grown;
        capacity_ = static_cast<uint32_t>(capacity);
    }
    if (size > 0)
        memcpy(data_, data, size);
    data_[size] = '\0';
    return true;
}

} // namespace qlx
