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

/* The end of a wait of so many milliseconds (negative: no end). The clock is
 * read only once a wait is needed: a message that is already there costs no
 * clock reading. */
class Deadline {
  public:
    explicit Deadline(int32_t ms) : ms_(ms) {}
    bool Unlimited() const { return ms_ < 0; }
    /* Milliseconds still to wait, rounded up: -1 without an end, 0 once it
     * has come. */
    int32_t Left();
    /* True once a limited wait has reached its end. */
    bool Passed();

  private:
    std::chrono::steady_clock::time_point At();
    int32_t ms_;
    bool started_ = false;
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
    /* Takes the next whole message from socket, waiting for it until the
     * deadline: Empty when the deadline came first. */
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
