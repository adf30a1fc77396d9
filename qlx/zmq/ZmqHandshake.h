/* Whether a service answered a client socket's connection: ZeroMQ connects
 * in the background and reports nothing to the caller, so its socket monitor
 * is read until the ZMTP handshake with the peer has succeeded. */
#ifndef TFX_QLX_ZMQHANDSHAKE_H
#define TFX_QLX_ZMQHANDSHAKE_H

#include <string>

#include "qlx/zmq/ZmqSocket.h"

namespace qlx {

/* How long a client waits for a service it cannot know to be live (tcp://,
 * or an ipc:// socket without a lock file) to answer: enough for a service
 * across a slow network, short enough for a user who forgot to start it. */
enum : int { HandshakeWaitMs = 5000 };

/* Has ZeroMQ report socket's events (ZMQ_EVENT_* bits) to *pair, a PAIR
 * socket opened here. False, with the error recorded, when it cannot. */
bool WatchEvents(void *socket, int events, Socket *pair);

/* Takes the next event from a pair of WatchEvents, waiting up to waitMs,
 * with its value; 0 when none came in time or a signal came first. */
uint16_t NextEvent(void *pair, int waitMs, uint32_t *value);

class HandshakeWatch {
  public:
    HandshakeWatch() = default;
    ~HandshakeWatch();
    HandshakeWatch(const HandshakeWatch &) = delete;
    HandshakeWatch &operator=(const HandshakeWatch &) = delete;

    /* Starts to watch socket, before it connects; with peerPath, the
     * ipc:// socket it connects, whose peer must be trusted (TrustIpcPeer).
     * False, with the error recorded, when its monitor cannot be set up. */
    bool Start(void *socket, const std::string &peerPath = "");

    /* Waits up to waitMs for the handshake: Answered when it succeeded;
     * Refused when the service turned it down (keys or mechanism), Silent when
     * nothing answered, each with *seen saying what happened; Untrusted, with
     * the error recorded, when the peer of peerPath is not trusted. */
    enum class Outcome { Answered, Refused, Silent, Untrusted };
    Outcome Wait(int waitMs, std::string *seen);

  private:
    void Stop();
    void *watched_ = nullptr;
    std::string peerPath_;
    Socket events_;
};

} // namespace qlx

#endif
