/* ZeroMQ underneath both sides of the ZeroMQ transport: the process's
 * context, sockets with their options, and whole multipart messages in and
 * out. */
#ifndef TFX_QLX_ZMQSOCKET_H
#define TFX_QLX_ZMQSOCKET_H

#include <cstddef>
#include <cstdint>
#include <zmq.h>

#include "qlx/core/Deadline.h"
#include "qlx/core/Transport.h"
#include "qlx/core/Wire.h"

namespace qlx {

/* The process's ZeroMQ context, made on first use; null (with the error
 * recorded) when it cannot be made. Each Acquire is paired with a Release;
 * the last Release ends the context. */
void *AcquireContext();
void ReleaseContext();

/* Whether the context copies every received part into memory of its own
 * (or into the message itself, under 33 bytes), so that a part held or
 * queued keeps its own bytes and ZeroMQ's counters, no more: what a reply
 * sent back in the part it came in may then keep, and what a queued
 * message costs. Known once a context is made. */
bool ReceivedPartsOwnMemory();

/* Notes errno after a failed ZeroMQ call named by what, in ZeroMQ's words,
 * which know its own error numbers besides the system's. */
void DetailZmqErrno(const char *what, int error);

/* libzmq 4.3.4 asserts when ZMQ_HEARTBEAT_IVL meets a peer that dies while
 * its input is stopped by back-pressure (libzmq issue 4841): neither side
 * sets heartbeats, TCP keepalive finds dead tcp:// peers instead. */
enum : int {
    KeepAliveIdleS = 2,     /* silence before the first probe */
    KeepAliveIntervalS = 2, /* between probes */
    KeepAliveProbes = 3,    /* unanswered probes that drop the peer */
    /* Keepalive probes an idle connection only; one with data sent and not
     * acknowledged retransmits instead, for about 15 minutes by default
     * (tcp_retries2). ZMQ_TCP_MAXRT (TCP_USER_TIMEOUT) drops it once data
     * has gone unacknowledged this long, the same bound as keepalive's. */
    UnacknowledgedLimitMs = (KeepAliveIdleS + KeepAliveProbes * KeepAliveIntervalS) * 1000,
};

/* A ZeroMQ socket in the process's context, closed at the end of scope. */
class Socket {
  public:
    Socket() = default;
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    /* Opens a socket of type; records the error on failure. */
    bool Open(int type);
    /* Sets an int option; records the error (naming the option) on failure. */
    bool SetInt(int option, int value, const char *name);
    /* Has the kernel drop tcp:// peers that vanished without a word in about
     * KeepAliveIdleS + KeepAliveProbes x KeepAliveIntervalS seconds: an idle
     * connection by keepalive probes, one with data in flight when that data
     * goes unacknowledged for UnacknowledgedLimitMs. ipc:// peers that die
     * are closed by the kernel at once. */
    bool KeepPeersAlive();
    void *Get() const { return socket_; }

  private:
    void *socket_ = nullptr;
    bool contextHeld_ = false;
};

/* The parts of one received message. Parts past the kept ones are counted and
 * discarded, so an over-long message costs no memory here. */
class ReceivedMessage {
  public:
    enum { KeptParts = KeptFrames + 1 }; /* a ROUTER's routing id, then the frames */
    ReceivedMessage();
    ~ReceivedMessage();
    ReceivedMessage(const ReceivedMessage &) = delete;
    ReceivedMessage &operator=(const ReceivedMessage &) = delete;

    /* Takes the next whole message from socket, waiting for it as the
     * deadline allows. */
    ReceiveResult Receive(void *socket, Deadline *deadline);
    size_t PartCount() const { return count_; }
    /* The kept parts' bytes, the first min(PartCount(), KeptParts). */
    const Frame *Frames() const { return frames_; }
    /* The ZeroMQ messages of the kept parts: the transport may rewrite and
     * send them, which leaves them empty. */
    zmq_msg_t *Parts() { return parts_; }
    /* The bytes of kept part index, to be rewritten before it is sent. */
    uint8_t *Bytes(size_t index) { return const_cast<uint8_t *>(frames_[index].Data); }

  private:
    int ReceiveFirst(void *socket, Deadline *deadline);
    void Keep(size_t index, int received);
    zmq_msg_t parts_[KeptParts];
    Frame frames_[KeptParts] = {};
    zmq_msg_t discard_;
    size_t count_ = 0;
    int waitSet_ = -1; /* the socket's receive timeout: ZeroMQ's default to start with */
};

/* Sends count frames as one message, without waiting for room in the queue.
 * Interrupted sends are retried. */
SendResult SendMessage(void *socket, const Frame *frames, size_t count);

/* As SendMessage, the frames being those ZeroMQ messages, each left empty
 * once sent: ZeroMQ then neither allocates nor copies. */
SendResult SendParts(void *socket, zmq_msg_t *parts, size_t count);

} // namespace qlx

#endif
