/* The client side of the ZeroMQ transport: one DEALER socket connected to a
 * service element, and its socket monitor, which tells when a service that
 * served it closed the connection. ZeroMQ connects again by itself, so a
 * service that takes the element over serves what is sent from then on. */
#ifndef TFX_QLX_ZMQCLIENT_H
#define TFX_QLX_ZMQCLIENT_H

#include <string>

#include "qlx/zmq/Endpoint.h"
#include "qlx/core/Transport.h"
#include "qlx/zmq/ZmqSocket.h"

namespace qlx {

enum : int {
    ClientQueueLimit = 100000, /* messages queued each way */
    ClientLingerMs = 1000,     /* how long a closing client still tries to deliver */
};

class ZmqClientTransport : public ClientTransport {
  public:
    ~ZmqClientTransport() override;
    /* Connects to the element's endpoint; fails when no live process serves
     * it: an ipc:// endpoint of this library's service by its lock file, any
     * other when no service answers the handshake within HandshakeWaitMs. */
    bool Open(const char *nameField, size_t fieldSize, const std::string &name);
    ReceiveResult Receive(Deadline *deadline, Inbound *message) override;
    SendResult Send(const Outbound &message) override;
    WaitTarget WaitOn() const override { return WaitTarget{socket_.Get(), -1, events_.Get()}; }
    bool Settle() override;

  private:
    bool Watch(bool served);
    int WaitEither(int32_t waitMs);
    void TakeEvents();

    Socket socket_;
    Socket events_;       /* the monitor's events */
    bool served_ = false; /* a handshake succeeded on the connection now made */
    bool gone_ = false;   /* the served connection closed: Gone is still to be reported */
    Endpoint endpoint_;
    ReceivedMessage received_;
};

} // namespace qlx

#endif
