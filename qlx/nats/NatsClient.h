/* The client side of the NATS transport: transactions and datagrams to the
 * element's work subject, stop requests to its stop subject, replies to an
 * inbox of this connection whose last token is the request id. libnats
 * reads on its own threads; replies wait in a queue of the transport that
 * an eventfd shows, so a poll, and a signal, end a wait. What the NATS
 * servers say of a request (no responders) and what cannot be carried come
 * as refusals; a lost connection comes as Lost. */
#ifndef TFX_QLX_NATSCLIENT_H
#define TFX_QLX_NATSCLIENT_H

#include <string>
#include <vector>

#include "qlx/nats/NatsConnection.h"
#include "qlx/core/Transport.h"

namespace qlx {

enum : int {
    /* Replies queued for the application before further ones are dropped,
     * counted and reported as a loss. */
    ClientPendingMessages = 1 << 18,
    ClientPendingBytes = 256 << 20,
    /* How long a stop request waits for the servers to say whether anyone
     * heard it. */
    StopConfirmMs = 5000,
};

class NatsClientState;

class NatsClientTransport : public ClientTransport {
  public:
    NatsClientTransport();
    ~NatsClientTransport() override;

    bool Open(const NatsSettings &settings, const char *nameField, size_t fieldSize,
              const std::string &name);
    ReceiveResult Receive(Deadline *deadline, Inbound *message) override;
    SendResult Send(const Outbound &message) override;
    WaitTarget WaitOn() const override;
    bool ReportsLosses() const override { return true; }
    uint64_t Losses() const override;

  private:
    SendResult SendStop();
    SendResult Publish(const char *subject, const char *reply);
    bool TooLarge() const;
    SendResult Refuse(uint64_t requestId, int32_t reason);
    void Release();

    NatsClientState *state_;
    NatsConnection connection_;
    natsSubscription *inbox_ = nullptr;
    NatsSubjects subjects_;
    std::string inboxPrefix_; /* the inbox without its last token */
    natsMsg *held_ = nullptr;
    Frame frames_[FramesPerMessage] = {};
    uint8_t refusal_[HeaderSize] = {};
    std::vector<uint8_t> body_;
    std::string reply_;
};

} // namespace qlx

#endif
