/* The service side of the NATS transport: the element's work subject in a
 * queue group shared by every service of the element, its stop subject
 * heard by all of them. libnats reads and writes the socket only inside the
 * transport's own calls, on the service's thread: a message is handed from
 * the socket to the service without a thread in between, and a signal ends
 * a wait at once. */
#ifndef TFX_QLX_NATSSERVICE_H
#define TFX_QLX_NATSSERVICE_H

#include <cstring>
#include <string>
#include <vector>

#include "qlx/nats/NatsConnection.h"
#include "qlx/core/Transport.h"

namespace qlx {

enum : int {
    /* What the work subscription may hold before libnats drops and counts:
     * it is read only when empty, so it holds one read of the socket. */
    ServicePendingMessages = 65536,
    ServicePendingBytes = 64 << 20,
    /* Replies still unwritten when the service closes may take this long. */
    NatsCloseLingerMs = 500,
};

class NatsServiceState;

class NatsServiceTransport : public ServiceTransport {
  public:
    NatsServiceTransport();
    ~NatsServiceTransport() override;

    /* Connects and subscribes; true once the servers have the
     * subscriptions, so that work sent from then on reaches this service. */
    bool Open(const NatsSettings &settings, const char *nameField, size_t fieldSize,
              const std::string &name);
    ReceiveResult Receive(Deadline *deadline, Inbound *message) override;
    SendResult Send(Frame peer, const Outbound &message) override;
    /* Drains the work subscription: the servers send no more work here, and
     * what they sent before comes out before Drained. */
    bool StopReceiving() override;
    uint64_t Dropped() const override;
    void AddCounters(QLXSTATS *stats) const override { memcpy(stats->Transport, "nats", 5); }

  private:
    enum class Pumped { Events, TimedOut, Interrupted, Failed };
    bool Subscribe(const NatsSubjects &subjects, const std::string &inboxPrefix,
                   const std::string &name);
    bool Take(Inbound *message);
    Pumped Pump(int32_t waitMs);
    void WriteOut();
    bool PublishMarker();
    void Release();

    NatsServiceState *state_;
    NatsConnection connection_;
    natsSubscription *work_ = nullptr;
    natsSubscription *stop_ = nullptr;
    natsSubscription *marker_ = nullptr; /* this service's own inbox */
    std::string markerSubject_;
    natsMsg *held_ = nullptr; /* the message last received */
    Frame frames_[FramesPerMessage] = {};
    std::vector<uint8_t> body_;
    std::string subject_;
    size_t maxPayload_ = 0;
    bool markerSeen_ = false;
    bool stopping_ = false;
    bool drained_ = false;
    mutable uint64_t dropped_ = 0;
};

} // namespace qlx

#endif
