/* The control plane of agents (-a) and their controllers (-D): one NATS
 * connection of its own on libnats, made from TFX_CONTROL (else
 * QLX_ENDPOINT) and the QLX_NATS_* files, sealed JSON messages on subjects
 * under QLX_NATS_PREFIX, and a bounded queue of the messages that came and
 * were read, the others dropped and counted. */
#ifndef TFX_CLIENT_CONTROLPLANE_H
#define TFX_CLIENT_CONTROLPLANE_H

#include <atomic>
#include <cstdint>
#include <nats/nats.h>
#include <string>
#include <vector>

#include "client/agents/ControlMessage.h"

/* How the control plane is reached. */
struct ControlSettings {
    std::vector<std::string> Urls; /* as given, secrets included */
    std::string Prefix;            /* QLX_NATS_PREFIX, else "qlx" */
    std::string Creds;             /* QLX_NATS_CREDS */
    std::string Ca;                /* QLX_NATS_CA */
    std::string Cert;              /* QLX_NATS_CERT */
    std::string Key;               /* QLX_NATS_KEY */
    bool Secure = false;           /* a tls:// URL, or any of the three files */
};

/* The control NATS servers: TFX_CONTROL, else QLX_ENDPOINT when it names
 * NATS. False with *error saying what to set, or what is wrong with it. */
bool ReadControlSettings(ControlSettings *settings, std::string *error);

/* The URLs as they may be shown, every user, password and token as ***. */
std::string ShownUrls(const ControlSettings &settings);

/* "host:pid" of this process. */
std::string ProcessName();

/* The control messages a side dropped, by why. */
struct ControlDrops {
    uint64_t Malformed = 0;   /* not a message of the protocol */
    uint64_t Unauthentic = 0; /* not sealed with the group's key */
    uint64_t Replayed = 0;    /* a sender's message seen before, or older */
    uint64_t OutOfPlace = 0;  /* of another run or sender, or not expected now */
    uint64_t Overflow = 0;    /* came while the queue was full */

    uint64_t Total() const { return Malformed + Unauthentic + Replayed + OutOfPlace + Overflow; }
};

/* "control messages dropped: N (n1 why1, n2 why2)" naming each reason that
 * counted; empty when none was dropped. */
std::string DropsText(const ControlDrops &drops);

/* The same as the result's JSON holds it: the total and each reason. */
ResultJson DropsJson(const ControlDrops &drops);

class ControlLink {
  public:
    ControlLink();
    /* Closes the connection; its messages not yet taken are dropped. */
    ~ControlLink();
    ControlLink(const ControlLink &) = delete;
    ControlLink &operator=(const ControlLink &) = delete;

    /* Reads the key and connects to the control servers as role ("agent",
     * "controller") of group, listening on its own subject. False with
     * *error saying what is missing, or which servers and why not. */
    bool Open(const std::string &role, const std::string &group, std::string *error);

    /* prefix.tfxclnt.kind.name: where messages of kind for name go. */
    std::string Subject(const std::string &kind, const std::string &name) const;
    /* This side's own subject, where its answers come. */
    const std::string &Self() const { return self_; }

    /* Queues every message on subject from now on. */
    bool Subscribe(const std::string &subject, std::string *error);

    /* Sends message, with this side's subject, name and next sequence
     * number, sealed for subject; false when the connection cannot take it. */
    bool Publish(const std::string &subject, ResultJson message);

    /* Takes the next message read and not replayed, waiting up to ms for
     * one; false when none came. */
    bool Next(int ms, ControlMessage *message);

    /* Counts a message taken that was out of place. */
    void Refuse();
    ControlDrops Drops() const;

    /* Whether the connection to every control server is lost right now. */
    bool Disconnected() const;

    struct State; /* public for libnats's callbacks */

  private:
    State *state_;
    natsConnection *connection_ = nullptr;
    std::vector<natsSubscription *> subscriptions_;
    std::string prefix_;
    std::string name_;
    std::string self_;
    std::atomic<uint64_t> seq_;
};

#endif
