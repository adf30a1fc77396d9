/* A bare ZeroMQ DEALER that sends whatever frames it is given and reads
 * whatever comes back: how the tests talk to a service as a careless or
 * hostile client would, below the library's own client calls. */
#ifndef TFX_TESTS_SUPPORT_RAWPEER_H
#define TFX_TESTS_SUPPORT_RAWPEER_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tfxtest {

class RawPeer {
  public:
    /* Connects a DEALER to endpoint in a context of its own; throws when
     * ZeroMQ refuses. receiveLimit, when positive, is the peer's ZMQ_RCVHWM. */
    explicit RawPeer(const std::string &endpoint, int receiveLimit = 0);
    ~RawPeer();
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    /* Sends frames as one multipart message; false when ZeroMQ refuses. */
    bool Send(const std::vector<std::string> &frames);
    /* Waits up to timeout for the next whole message. False at the deadline. */
    bool Receive(std::vector<std::string> *frames, std::chrono::milliseconds timeout);

  private:
    void *context_ = nullptr;
    void *socket_ = nullptr;
};

/* A QLX/1 header written byte by byte: version, kind, flags, code and
 * request id, little-endian. */
std::string WireHeader(uint8_t version, uint8_t kind, uint16_t flags, int32_t code,
                       uint64_t requestId);

} // namespace tfxtest

#endif
