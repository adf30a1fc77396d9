#include "qlx/api/TransportChoice.h"

#include "qlx/nats/NatsClient.h"
#include "qlx/nats/NatsService.h"
#include "qlx/zmq/Endpoint.h"
#include "qlx/zmq/ZmqClient.h"
#include "qlx/zmq/ZmqService.h"

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

} // namespace qlx
