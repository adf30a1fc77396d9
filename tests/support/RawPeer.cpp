#include "tests/support/RawPeer.h"

#include <cerrno>
#include <stdexcept>
#include <zmq.h>

namespace tfxtest {

RawPeer::RawPeer(const std::string &endpoint, int receiveLimit)
{
    context_ = zmq_ctx_new();
    if (context_ == nullptr)
        throw std::runtime_error("zmq_ctx_new failed");
    socket_ = zmq_socket(context_, ZMQ_DEALER);
    int linger = 0;
    if (socket_ == nullptr || zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger) != 0)
        throw std::runtime_error("a raw DEALER cannot be made");
    if (receiveLimit > 0 &&
        zmq_setsockopt(socket_, ZMQ_RCVHWM, &receiveLimit, sizeof receiveLimit) != 0)
        throw std::runtime_error("ZMQ_RCVHWM cannot be set");
    if (zmq_connect(socket_, endpoint.c_str()) != 0)
        throw std::runtime_error("zmq_connect " + endpoint + ": " + zmq_strerror(errno));
}

RawPeer::~RawPeer()
{
    if (socket_ != nullptr)
        (void)zmq_close(socket_);
    (void)zmq_ctx_term(context_);
}

bool RawPeer::Send(const std::vector<std::string> &frames)
{
    for (size_t i = 0; i < frames.size(); ++i) {
        int flags = i + 1 < frames.size() ? ZMQ_SNDMORE : 0;
        if (zmq_send(socket_, frames[i].data(), frames[i].size(), flags) < 0)
            return false;
    }
    return true;
}

bool RawPeer::Receive(std::vector<std::string> *frames, std::chrono::milliseconds timeout)
{
    frames->clear();
    zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        int ready = zmq_poll(&item, 1, left.count() > 0 ? static_cast<long>(left.count()) : 0);
        if (ready > 0)
            break;
        if (ready == 0 || errno != EINTR)
            return false;
    }
    for (;;) {
        zmq_msg_t part;
        (void)zmq_msg_init(&part);
        if (zmq_msg_recv(&part, socket_, 0) < 0) {
            (void)zmq_msg_close(&part);
            return false;
        }
        frames->emplace_back(static_cast<const char *>(zmq_msg_data(&part)), zmq_msg_size(&part));
        bool more = zmq_msg_more(&part) != 0;
        (void)zmq_msg_close(&part);
        if (!more)
            return true;
    }
}

std::string WireHeader(uint8_t version, uint8_t kind, uint16_t flags, int32_t code,
                       uint64_t requestId)
{
    std::string header(16, '\0');
    header[0] = static_cast<char>(version);
    header[1] = static_cast<char>(kind);
    for (int i = 0; i < 2; ++i)
        header[2 + i] = static_cast<char>(flags >> (8 * i));
    uint32_t bits = static_cast<uint32_t>(code);
    for (int i = 0; i < 4; ++i)
        header[4 + i] = static_cast<char>(bits >> (8 * i));
    for (int i = 0; i < 8; ++i)
        header[8 + i] = static_cast<char>(requestId >> (8 * i));
    return header;
}

} // namespace tfxtest
