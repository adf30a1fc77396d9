/* The control plane of agents (-a) and their controllers (-D): one NATS
 * connection, made with the settings libqlx's NATS transport reads, JSON
 * messages on subjects under QLX_NATS_PREFIX, and a queue of the messages
 * that came. */
#ifndef TFX_CLIENT_CONTROLPLANE_H
#define TFX_CLIENT_CONTROLPLANE_H

#include <string>
#include <vector>

#include "qlx/nats/NatsConnection.h"
#include "client/ResultDocument.h"

/* The control NATS servers: TFX_CONTROL, else QLX_ENDPOINT when it names
 * NATS. False with *error saying what to set, or what is wrong with it. */
bool ReadControlSettings(qlx::NatsSettings *settings, std::string *error);

/* "host:pid" of this process, and the same as a subject token. */
std::string ProcessName();

class ControlLink {
  public:
    ControlLink();
    /* Closes the connection; its messages not yet taken are dropped. */
    ~ControlLink();
    ControlLink(const ControlLink &) = delete;
    ControlLink &operator=(const ControlLink &) = delete;

    /* Connects to the control servers as role ("agent", "controller") of
     * group. False with *error saying which servers and why not. */
    bool Open(const std::string &role, const std::string &group, std::string *error);

    /* prefix.tfxclnt.kind.name: where messages of kind for name go. */
    std::string Subject(const std::string &kind, const std::string &name) const;

    /* Queues every message on subject from now on. */
    bool Subscribe(const std::string &subject, std::string *error);

    /* Sends message to subject; false when the connection cannot take it. */
    bool Publish(const std::string &subject, const ResultJson &message);

    /* Takes the next message, waiting up to ms for one; false when none
     * came. Messages that are not JSON objects are dropped. */
    bool Next(int ms, ResultJson *message);

    /* Whether the connection to every control server is lost right now. */
    bool Disconnected() const;

    class State; /* public for libnats's callbacks */

  private:
    State *state_;
    qlx::NatsConnection connection_;
    std::vector<natsSubscription *> subscriptions_;
};

#endif
