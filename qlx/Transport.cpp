#include "qlx/Transport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "binding/ErrorRecord.h"
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
bool ReceivedMessage::ReceiveRest(void *socket, zmq_msg_t *part)
{
    for (;;) {
        if (zmq_msg_recv(part, socket, 0) >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

ReceivedMessage::Result ReceivedMessage::Receive(void *socket)
{
    count_ = 0;
    if (zmq_msg_recv(&parts_[0], socket, ZMQ_DONTWAIT) < 0) {
        if (errno == EAGAIN)
            return Result::Empty;
        if (errno == EINTR)
            return Result::Interrupted;
        DetailErrno("zmq_msg_recv", errno);
        return Result::Failed;
    }
    count_ = 1;
    zmq_msg_t *last = &parts_[0];
    while (zmq_msg_more(last)) {
        zmq_msg_t *next = count_ < KeptFrames ? &parts_[count_] : &discard_;
        if (!ReceiveRest(socket, next)) {
            DetailErrno("zmq_msg_recv", errno);
            return Result::Failed;
        }
        ++count_;
        last = next;
    }
    return Result::Received;
}

Frame ReceivedMessage::FrameAt(size_t index)
{
    zmq_msg_t *part = &parts_[index];
    return Frame{static_cast<const uint8_t *>(zmq_msg_data(part)), zmq_msg_size(part)};
}

static int SendFrame(void *socket, const Frame &frame, int flags)
{
    for (;;) {
        if (zmq_send(socket, frame.Data, frame.Size, flags) >= 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

SendResult SendMessage(void *socket, const Frame *frames, size_t count, bool wait)
{
    for (size_t i = 0; i < count; ++i) {
        int flags = (i + 1 < count ? ZMQ_SNDMORE : 0) | (i == 0 && wait ? 0 : ZMQ_DONTWAIT);
        int error = SendFrame(socket, frames[i], flags);
        if (error == 0)
            continue;
        if (i == 0 && error == EHOSTUNREACH)
            return SendResult::Gone;
        if (i == 0 && error == EAGAIN)
            return SendResult::Full;
        DetailErrno("zmq_send", error);
        return SendResult::Failed;
    }
    return SendResult::Sent;
}

std::chrono::steady_clock::time_point Deadline::At()
{
    if (!started_) {
        at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(Unlimited() ? 0 : ms_);
        started_ = true;
    }
    return at_;
}

bool Deadline::Passed()
{
    return !Unlimited() && std::chrono::steady_clock::now() >= At();
}

int WaitReadable(void *socket, Deadline *deadline)
{
    /* A look without a wait, the client's usual poll, reads no clock. */
    if (deadline->Milliseconds() == 0)
        return 0;
    zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
    long timeout = -1;
    if (!deadline->Unlimited()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline->At() -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return 0;
        timeout = static_cast<long>(left.count());
    }
    int ready = zmq_poll(&item, 1, timeout);
    if (ready > 0)
        return 1;
    /* zmq_poll may come back a fraction of a millisecond early. */
    if (ready == 0)
        return deadline->Passed() ? 0 : 1;
    if (errno == EINTR)
        return -1;
    DetailErrno("zmq_poll", errno);
    return -2;
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
