/* The service side of the ZeroMQ transport: one ROUTER socket bound to the
 * element's endpoint, ipc:// or tcp://. */
#ifndef TFX_QLX_ZMQSERVICE_H
#define TFX_QLX_ZMQSERVICE_H

#include <memory>
#include <string>

#include "qlx/zmq/Endpoint.h"
#include "qlx/core/MemoryBudget.h"
#include "qlx/core/Transport.h"
#include "qlx/zmq/ZmqSocket.h"
#include "qlx/zmq/ZmqZap.h"

namespace qlx {

enum : uint32_t {
    MaxFrameSize = 2u << 20, /* a larger frame drops the sender's connection */
    /* Messages received and queued per peer: with the frame limit, 256 MiB
     * of data at the very most. ZeroMQ does not limit the frames of one
     * message, and holds each (about 64 bytes when empty) until the whole
     * message can be read. */
    ReceiveQueueLimit = 128,
    /* What a queued message keeps besides its data bytes: a record of
     * ZeroMQ's for each of its frames (at most 3 are the sender's), and for
     * data of 33 bytes and more an allocation of its own with its counters. */
    ReceivedPartsOverhead = 3 * 128,
    /* Replies to a peer are limited by the bytes they hold (MemoryBudget),
     * not by their number. */
    SendQueueUnlimited = 0,
    /* Replies still queued when the service closes may take this long to
     * reach their clients; a client that does not read holds the close no
     * longer. */
    CloseLingerMs = 500,
    HandshakeLimitMs = 2000, /* a peer that does not finish its handshake is dropped */
};

struct QueuedData;

class ZmqServiceTransport : public ServiceTransport {
  public:
    ZmqServiceTransport() = default;
    ~ZmqServiceTransport() override;

    /* Binds the endpoint of the element, after taking its lock. */
    bool Open(const char *nameField, size_t fieldSize, const std::string &name);
    ReceiveResult Receive(Deadline *deadline, Inbound *message) override;
    SendResult Send(Frame peer, const Outbound &message) override;
    uint64_t KeysRefused() const override { return zap_ != nullptr ? zap_->Refused() : 0; }
    void AddCounters(QLXSTATS *stats) const override;

  private:
    bool Bind(const std::string &name);
    bool SendsInPlace(Frame peer, const Outbound &message) const;
    SendResult SendInPlace(const Outbound &message,
                           const std::shared_ptr<MemoryBudget::Account> &account, uint64_t cost);
    SendResult SendReported(Frame peer, const Outbound &message,
                            const std::shared_ptr<MemoryBudget::Account> &account, uint64_t cost);

    std::unique_ptr<ZapDomain> zap_; /* ended after the socket, whose handshakes it answers */
    Socket socket_;
    Endpoint endpoint_;
    int lockFd_ = -1;
    ReceivedMessage received_;
    bool reusable_ = false;       /* the received parts are still there to be sent back */
    bool partsOwnMemory_ = false; /* received parts keep no memory but their own */
    std::unique_ptr<MemoryBudget> budget_;
};

} // namespace qlx

#endif
