#include "qlx/Transport.h"

#include <cerrno>

#include "qlx/Connection.h"
#include "qlx/Errors.h"
#include "qlx/ZmqClient.h"
#include "qlx/ZmqService.h"

namespace qlx {

std::unique_ptr<ServiceTransport> OpenServiceTransport(const char *nameField, size_t fieldSize,
                                                       const std::string &name)
{
    auto transport = std::make_unique<ZmqServiceTransport>();
    if (!transport->Open(nameField, fieldSize, name))
        return nullptr;
    return transport;
}

std::unique_ptr<ClientTransport> OpenClientTransport(const char *nameField, size_t fieldSize,
                                                     const std::string &name)
{
    auto transport = std::make_unique<ZmqClientTransport>();
    if (!transport->Open(nameField, fieldSize, name))
        return nullptr;
    return transport;
}

/* zmq_poll waits on ZeroMQ sockets and plain descriptors alike. */
int WaitForAny(const WaitTarget *targets, uint32_t count, int32_t waitMs, uint8_t *ready)
{
    zmq_pollitem_t items[ConnectionLimit];
    for (uint32_t i = 0; i < count; ++i)
        items[i] = zmq_pollitem_t{targets[i].Socket, targets[i].Fd, ZMQ_POLLIN, 0};
    int polled = zmq_poll(items, static_cast<int>(count), waitMs < 0 ? -1L : long{waitMs});
    if (polled < 0 && errno != EINTR) {
        DetailErrno("zmq_poll", errno);
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i)
        ready[i] = (items[i].revents & ZMQ_POLLIN) ? 1 : 0;
    return polled < 0 ? 0 : polled;
}

} // namespace qlx
