#include "qlx/Transport.h"

#include <cerrno>
#include <cstring>

#include "qlx/Connection.h"
#include "qlx/Endpoint.h"
#include "qlx/Errors.h"
#include "qlx/NatsClient.h"
#include "qlx/NatsService.h"
#include "qlx/ZmqClient.h"
#include "qlx/ZmqService.h"

namespace qlx {

/* Opens a transport of type T, over NATS when QLX_ENDPOINT names NATS
 * servers, else over ZeroMQ. */
template <typename Zmq, typename Nats, typename Base>
static std::unique_ptr<Base> OpenTransport(const char *nameField, size_t fieldSize,
                                           const std::string &name)
{
    const char *endpoint = ExplicitEndpoint();
    if (endpoint != nullptr && IsNatsEndpoint(endpoint)) {
        NatsSettings settings;
        auto transport = std::make_unique<Nats>();
        if (!ReadNatsSettings(endpoint, &settings) ||
            !transport->Open(settings, nameField, fieldSize, name))
            return nullptr;
        return transport;
    }
    auto transport = std::make_unique<Zmq>();
    if (!transport->Open(nameField, fieldSize, name))
        return nullptr;
    return transport;
}

std::unique_ptr<ServiceTransport> OpenServiceTransport(const char *nameField, size_t fieldSize,
                                                       const std::string &name)
{
    return OpenTransport<ZmqServiceTransport, NatsServiceTransport, ServiceTransport>(
        nameField, fieldSize, name);
}

std::unique_ptr<ClientTransport> OpenClientTransport(const char *nameField, size_t fieldSize,
                                                     const std::string &name)
{
    return OpenTransport<ZmqClientTransport, NatsClientTransport, ClientTransport>(nameField,
                                                                                   fieldSize, name);
}

/* zmq_poll waits on ZeroMQ sockets and plain descriptors alike. */
int WaitForAny(const WaitTarget *targets, uint32_t count, int32_t waitMs, uint8_t *ready)
{
    /* Each target's socket or descriptor, then its watch where it has one. */
    zmq_pollitem_t items[2 * ConnectionLimit];
    uint32_t owner[2 * ConnectionLimit];
    int used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        owner[used] = i;
        items[used++] = zmq_pollitem_t{targets[i].Socket, targets[i].Fd, ZMQ_POLLIN, 0};
        if (targets[i].Watch == nullptr)
            continue;
        owner[used] = i;
        items[used++] = zmq_pollitem_t{targets[i].Watch, -1, ZMQ_POLLIN, 0};
    }
    int polled = zmq_poll(items, used, waitMs < 0 ? -1L : long{waitMs});
    if (polled < 0 && errno != EINTR) {
        DetailErrno("zmq_poll", errno);
        return -1;
    }
    memset(ready, 0, count);
    for (int item = 0; polled > 0 && item < used; ++item)
        ready[owner[item]] |= (items[item].revents & ZMQ_POLLIN) ? 1 : 0;
    int readyCount = 0;
    for (uint32_t i = 0; i < count; ++i)
        readyCount += ready[i];
    return readyCount;
}

} // namespace qlx
