/* The ZeroMQ side of the library: sockets with their options, whole
 * multipart messages in and out, and the receive buffer handed to callers. */
#ifndef TFX_QLX_TRANSPORT_H
#define TFX_QLX_TRANSPORT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <zmq.h>

#include "qlx/Wire.h"

namespace qlx {

/* A ZeroMQ socket, closed at the end of scope. */
class Socket {
  public:
    Socket() = default;
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    /* Opens a socket of type in context; records the error on failure. */
    bool Open(void *context, int type);
    /* Sets an int option; records the error (naming the option) on failure. */
    bool SetInt(int option, int value, const char *name);
    /* Closes the socket now; a context can only end once its sockets are closed. */
    void Close();
    void *Get() const { return socket_; }

  private:
    void *socket_ = nullptr;
};

/* A wait of so many milliseconds for a message (negative: no end). A clock
 * reading on every receive costs a busy service a few percent of its
 * throughput, so a wait starts without one: its first part goes whole to
 * ZeroMQ's receive timeout, which with the slack added runs out no earlier
 * than asked. Only a wait that a dropped message interrupts is timed by the
 * clock: it then ends the interval after that message, so it is never shorter
 * than asked and, however many messages are dropped, never longer than twice
 * that. */
class Deadline {
  public:
    explicit Deadline(int32_t ms) : ms_(ms) {}
    /* Whether another receive is to be made, and with what receive timeout
     * in *wait (-1: no end; 0: a look without waiting). Asked before each
     * receive; after the first one, only a dropped message leads here. */
    bool NextPart(int32_t *wait);
    /* Whether a receive whose timeout ran out is to be made again, and with
     * what timeout. */
    bool PartRanOut(int32_t *wait);

  private:
    /* ZeroMQ counts its timeout in whole milliseconds from a reading it may
     * have kept for a while: it can run out up to about a millisecond early. */
    enum : int32_t { TimerSlackMs = 2 };
    enum class Phase { Unstarted, Whole, Timed };
    bool Unlimited() const { return ms_ < 0; }
    bool Left(int32_t *wait) const;
    int32_t ms_;
    Phase phase_ = Phase::Unstarted;
    std::chrono::steady_clock::time_point at_{};
};

/* The frames of one received message. Frames past the kept ones are counted
 * and discarded, so an over-long message costs no memory here. */
class ReceivedMessage {
  public:
    enum { KeptFrames = 4 };
    ReceivedMessage();
    ~ReceivedMessage();
    ReceivedMessage(const ReceivedMessage &) = delete;
    ReceivedMessage &operator=(const ReceivedMessage &) = delete;

    enum class Result { Received, Empty, Interrupted, Failed };
    /* Takes the next whole message from socket, waiting for it as the
     * deadline allows: Empty when none came in time. */
    Result Receive(void *socket, Deadline *deadline);
    size_t FrameCount() const { return count_; }
    /* A kept frame as received; its bytes are the part's, until the part is
     * sent or the next Receive. */
    Frame FrameAt(size_t index) const { return frames_[index]; }
    /* The kept frames, the first min(FrameCount(), KeptFrames) of them. */
    const Frame *Frames() const { return frames_; }
    /* The ZeroMQ messages of the kept frames, until the next Receive. */
    zmq_msg_t *Parts() { return parts_; }

  private:
    int ReceiveFirst(void *socket, Deadline *deadline);
    int ReceiveRest(void *socket, zmq_msg_t *part);
    void Keep(size_t index, int received);
    zmq_msg_t parts_[KeptFrames];
    Frame frames_[KeptFrames] = {};
    zmq_msg_t discard_;
    size_t count_ = 0;
    int waitSet_ = -1; /* the socket's receive timeout: ZeroMQ's default to start with */
};

enum class SendResult {
    Sent,
    Gone,   /* the peer is gone: nothing was sent */
    Full,   /* the queue towards the peer stayed full: nothing was sent */
    Failed, /* the transport failed (recorded) */
};

/* Sends count frames as one message. With wait, the first frame may wait for
 * room in the queue as long as the socket's send timeout allows; without,
 * not at all. With a ROUTER socket the first frame is the routing id.
 * Interrupted sends are retried. */
SendResult SendMessage(void *socket, const Frame *frames, size_t count, bool wait);

/* As SendMessage, the frames being those ZeroMQ messages, each left empty
 * once sent: a received message sent back costs ZeroMQ no allocation and no
 * copy. */
SendResult SendParts(void *socket, zmq_msg_t *parts, size_t count, bool wait);

/* A malloc'd buffer that grows as needed and is reused: the one copy of
 * received data, terminated by a zero byte. */
class ReceiveBuffer {
  public:
    ReceiveBuffer() = default;
    ~ReceiveBuffer();
    ReceiveBuffer(const ReceiveBuffer &) = delete;
    ReceiveBuffer &operator=(const ReceiveBuffer &) = delete;
    /* Copies size bytes and a terminator in; false when no room can be had. */
    bool Fill(const uint8_t *data, size_t size);
    char *Data() const { return data_; }
    uint32_t Capacity() const { return capacity_; }

  private:
    char *data_ = nullptr;
    uint32_t capacity_ = 0;
};

} // namespace qlx

#endif
