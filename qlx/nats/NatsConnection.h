/* libnats underneath both sides of the NATS transport: one connection made
 * from the settings, the state its callbacks share with the transport, QLX/1
 * messages in NATS message bodies, and publishing. */
#ifndef TFX_QLX_NATSCONNECTION_H
#define TFX_QLX_NATSCONNECTION_H

#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <nats/nats.h>
#include <string>
#include <vector>

#include "qlx/nats/NatsSettings.h"
#include "qlx/core/Transport.h"

namespace qlx {

enum : int {
    ReconnectWaitMs = 250, /* before a server is tried again */
    PingIntervalMs = 2000, /* a server that answers no ping for 3 intervals is left */
    MaxPingsOut = 3,
    /* How long a closing connection waits for libnats to say it is closed;
     * its callbacks may run until then. */
    CloseWaitMs = 2000,
    /* How long the servers get to confirm new subscriptions. */
    SubscribeConfirmMs = 10000,
};

/* Blocks every signal in this thread for as long as it lives: threads that
 * libnats starts meanwhile inherit the mask, so a signal to the process goes
 * to a thread of the application, where it ends a wait. */
class SignalsBlocked {
  public:
    SignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        (void)pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~SignalsBlocked() { (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

  private:
    sigset_t saved_;
};

/* What the callbacks of one connection share with its transport. It lives
 * on the heap, and is freed only once libnats has said the connection is
 * closed; when it never says so, the state is left behind rather than freed
 * under a callback. */
class NatsState {
  public:
    NatsState();
    virtual ~NatsState();
    NatsState(const NatsState &) = delete;
    NatsState &operator=(const NatsState &) = delete;

    /* From libnats's threads. */
    virtual void Disconnected() {}
    virtual void SlowConsumer() {}
    virtual void Closed();

    /* Makes WakeFd readable; Lock held. */
    void Wake();
    /* Makes it unreadable again; Lock held. */
    void Unwake();
    /* Waits up to ms for Closed. */
    bool WaitClosed(int ms);
    bool IsClosed()
    {
        std::lock_guard<std::mutex> guard(Lock);
        return ClosedSeen;
    }

    std::mutex Lock;
    std::condition_variable Changed;
    int WakeFd = -1; /* an eventfd */
    bool Woken = false;
    bool ClosedSeen = false;
};

/* How libnats hands a service its socket: it reads and writes only when the
 * transport asks it to. Callbacks from any thread. */
class NatsLoop {
  public:
    virtual void Attach(int socket) = 0;
    virtual void WantRead(bool wanted) = 0;
    virtual void WantWrite(bool wanted) = 0;
    virtual void Detach() = 0;

  protected:
    ~NatsLoop() = default;
};

/* One connection to the NATS servers of the settings. */
class NatsConnection {
  public:
    NatsConnection() = default;
    ~NatsConnection();
    NatsConnection(const NatsConnection &) = delete;
    NatsConnection &operator=(const NatsConnection &) = delete;

    /* Connects as role ("service" or "client") of element name. Callbacks
     * go to state; with loop, libnats starts no reading thread and leaves the
     * socket to it. Records the error (without secrets) and returns false
     * when the connection cannot be made. */
    bool Open(const NatsSettings &settings, const std::string &role, const std::string &name,
              NatsState *state, NatsLoop *loop);
    natsConnection *Get() const { return connection_; }
    /* The most the servers take in one message body. */
    size_t MaxPayload() const;
    /* Closes; true once libnats said so, when the state may be freed. */
    bool Close(NatsState *state);
    /* Frees the connection, closed or not. */
    void Destroy();
    /* Records a failed libnats call named what, its text without secrets. */
    void DetailStatus(const char *what, natsStatus status) const;
    const NatsSettings &Settings() const { return settings_; }

  private:
    bool SetOptions(natsOptions *options, const std::string &role, const std::string &name,
                    NatsState *state, NatsLoop *loop);
    bool SetAccess(natsOptions *options);

    NatsSettings settings_;
    natsConnection *connection_ = nullptr;
};

/* A QLX/1 message in one body: a byte that gives the message id's length,
 * the 16-byte header, the message id, the data. */
void JoinFrames(const Outbound &message, std::vector<uint8_t> *body);

/* The frames of a body; a body that cannot be split comes as one frame,
 * which no QLX/1 message is. Returns the frame count. */
size_t SplitBody(const uint8_t *body, size_t size, Frame frames[FramesPerMessage]);

/* What a publish's status means to the sender; failures recorded. */
SendResult PublishResult(const NatsConnection &connection, natsStatus status);

} // namespace qlx

#endif
