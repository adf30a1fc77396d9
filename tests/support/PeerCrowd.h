/* Many bare DEALERs in one ZeroMQ context of their own: a crowd of careless
 * clients that connect to a service, send it transactions and never read a
 * reply. */
#ifndef TFX_TESTS_SUPPORT_PEERCROWD_H
#define TFX_TESTS_SUPPORT_PEERCROWD_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tfxtest {

class PeerCrowd {
  public:
    /* Connects count DEALERs to endpoint, each taking in at most one reply
     * (ZMQ_RCVHWM 1), and with kernelBuffer, when positive, as the kernel's
     * receive buffer of each connection (ZMQ_RCVBUF); raises this process's
     * descriptor limit as far as it may. Throws when ZeroMQ refuses. */
    PeerCrowd(const std::string &endpoint, size_t count, int kernelBuffer = 0);
    ~PeerCrowd();
    PeerCrowd(const PeerCrowd &) = delete;
    PeerCrowd &operator=(const PeerCrowd &) = delete;

    /* Every peer sends a transaction with data, sent from where it lies
     * (data must outlive the crowd); false when ZeroMQ refuses a send. */
    bool SendTransactions(uint64_t requestId, const std::string &data);

  private:
    void *context_ = nullptr;
    void **sockets_ = nullptr;
    size_t count_ = 0;
};

} // namespace tfxtest

#endif
