/* The service side of the ZeroMQ transport: one ROUTER socket bound to the
 * element's endpoint, ipc:// or tcp://. */
#ifndef TFX_QLX_ZMQSERVICE_H
#define TFX_QLX_ZMQSERVICE_H

#include <memory>
#include <string>
#include <vector>

#include "qlx/Endpoint.h"
#include "qlx/Transport.h"
#include "qlx/ZmqSocket.h"

namespace qlx {

enum : uint32_t {
    MaxFrameSize = 2u << 20, /* a larger frame drops the sender's connection */
    /* Messages received and queued per peer: with the frame limit, 256 MiB
     * of data at the very most. ZeroMQ does not limit the frames of one
     * message, and holds each (about 64 bytes when empty) until the whole
     * message can be read. */
    ReceiveQueueLimit = 128,
    /* Replies queued per peer, ZeroMQ's own default: a fast train of
     * responses rarely waits for the transport. */
    SendQueueLimit = 1000,
    /* A reply that cannot be queued for this long is dropped, and its peer
     * taken as stalled until it reads again; replies to a stalled peer are
     * dropped at once. */
    StallLimitMs = 250,
    /* Replies still queued when the service closes may take this long to
     * reach their clients; a client that does not read holds the close no
     * longer. */
    CloseLingerMs = 500,
    StalledPeersKept = 64,
    HandshakeLimitMs = 2000,   /* a peer that does not finish its handshake is dropped */
    HeartbeatMs = 2000,        /* tcp:// peers are probed this often */
    HeartbeatTimeoutMs = 6000, /* and dropped when silent this long */
};

class ZmqServiceTransport : public ServiceTransport {
  public:
    ZmqServiceTransport() = default;
    ~ZmqServiceTransport() override;

    /* Binds the endpoint of the element, after taking its lock. */
    bool Open(const char *nameField, size_t fieldSize, const std::string &name);
    ReceiveResult Receive(Deadline *deadline, Inbound *message) override;
    SendResult Send(Frame peer, const Outbound &message) override;

  private:
    bool Bind(const std::string &name);
    bool ReusesReceived(Frame peer, const Outbound &message);
    bool IsStalled(Frame peer) const;
    void MarkStalled(Frame peer, bool stalled);

    Socket socket_;
    Endpoint endpoint_;
    int lockFd_ = -1;
    ReceivedMessage received_;
    bool reusable_ = false;            /* the received parts are still there to be sent back */
    std::vector<std::string> stalled_; /* peers that stopped reading, oldest first */
};

} // namespace qlx

#endif
