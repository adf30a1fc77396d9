/* The client side of the ZeroMQ transport: one DEALER socket connected to a
 * service element, and its socket monitor, which tells when a service that
 * served it closed the connection. Over tcp:// ZeroMQ connects again by
 * itself, so a service that takes the element over serves what is sent from
 * then on. Over ipc:// the client connects again itself, at its next send,
 * and sends nothing before the kernel has said who holds the other end
 * (SO_PEERCRED): ZeroMQ's own reconnects would send what is queued to
 * whoever answers, before the client could look. */
#ifndef TFX_QLX_ZMQCLIENT_H
#define TFX_QLX_ZMQCLIENT_H

#include <string>
#include <sys/types.h>

#include "qlx/zmq/Endpoint.h"
#include "qlx/core/Transport.h"
#include "qlx/zmq/ZmqSocket.h"

namespace qlx {

enum : int {
    ClientQueueLimit = 100000, /* messages queued each way */
    ClientLingerMs = 1000,     /* how long a closing client still tries to deliver */
    ConnectRetryMs = 100,      /* between the ipc:// connects of a client that finds no socket */
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
    void TakeEvent(uint16_t event, uint32_t value);
    void TakeEvents();
    bool ConnectChecked(const std::string &name);
    SendResult Reconnect();

    Socket socket_;
    Socket events_;       /* the monitor's events */
    bool served_ = false; /* a handshake succeeded on the connection now made */
    bool gone_ = false;   /* the served connection closed: Gone is still to be reported */
    bool checks_ = false; /* ipc://: each connection's peer is checked, connected by this client */
    bool verified_ = false;  /* ipc://: the peer of the connection now made passed its check */
    bool connected_ = false; /* ipc://: a checked connection is up, as far as the events tell */
    bool refused_ = false;   /* ipc://: a peer was refused, and the client with it */
    uid_t refusedUser_ = 0;  /* the user of the refused peer */
    std::string name_;
    Endpoint endpoint_;
    ReceivedMessage received_;
};

} // namespace qlx

#endif
