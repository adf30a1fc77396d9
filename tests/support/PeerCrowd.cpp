#include "tests/support/PeerCrowd.h"

#include <cerrno>
#include <stdexcept>
#include <sys/resource.h>
#include <zmq.h>

#include "tests/support/RawPeer.h"

namespace tfxtest {

PeerCrowd::PeerCrowd(const std::string &endpoint, size_t count, int kernelBuffer)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
    context_ = zmq_ctx_new();
    if (context_ == nullptr || zmq_ctx_set(context_, ZMQ_MAX_SOCKETS, static_cast<int>(count) + 8))
        throw std::runtime_error("a context for the crowd cannot be made");
    sockets_ = new void *[count]();
    int linger = 0;
    int one = 1;
    for (; count_ < count; ++count_) {
        void *socket = zmq_socket(context_, ZMQ_DEALER);
        if (socket == nullptr)
            throw std::runtime_error(std::string("zmq_socket: ") + zmq_strerror(errno));
        sockets_[count_] = socket;
        if (zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger) != 0 ||
            zmq_setsockopt(socket, ZMQ_RCVHWM, &one, sizeof one) != 0 ||
            (kernelBuffer > 0 &&
             zmq_setsockopt(socket, ZMQ_RCVBUF, &kernelBuffer, sizeof kernelBuffer) != 0) ||
            zmq_connect(socket, endpoint.c_str()) != 0)
            throw std::runtime_error("zmq_connect " + endpoint + ": " + zmq_strerror(errno));
    }
}

PeerCrowd::~PeerCrowd()
{
    for (size_t i = 0; i < count_; ++i)
        (void)zmq_close(sockets_[i]);
    delete[] sockets_;
    if (context_ != nullptr)
        (void)zmq_ctx_term(context_);
}

bool PeerCrowd::SendTransactions(uint64_t requestId, const std::string &data)
{
    const std::string header = WireHeader(1, 'T', 0, 0, requestId);
    for (size_t i = 0; i < count_; ++i) {
        zmq_msg_t part;
        (void)zmq_msg_init_data(&part, const_cast<char *>(data.data()), data.size(), nullptr,
                                nullptr);
        bool sent = zmq_send(sockets_[i], header.data(), header.size(), ZMQ_SNDMORE) >= 0 &&
                    zmq_send(sockets_[i], "", 0, ZMQ_SNDMORE) >= 0 &&
                    zmq_msg_send(&part, sockets_[i], 0) >= 0;
        (void)zmq_msg_close(&part);
        if (!sent)
            return false;
    }
    return true;
}

} // namespace tfxtest
