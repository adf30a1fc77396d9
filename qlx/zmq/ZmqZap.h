/* The ZAP handler of the process's ZeroMQ context (ZeroMQ's RFC 27): a
 * thread of the library that decides, during each CurveZMQ handshake, whether
 * the client's public key may in. Each service that uses CurveZMQ is a domain
 * of its own with the keys it allows; a key not allowed is refused and
 * counted for that service. The thread runs while any such service is open. */
#ifndef TFX_QLX_ZMQZAP_H
#define TFX_QLX_ZMQZAP_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace qlx {

/* One service's place in the handler, given up at the end of scope. */
class ZapDomain {
  public:
    /* Enters a domain that allows the public keys in allowed (32 bytes
     * each), starting the handler when it is the first. Null, with the
     * failure recorded, when the handler cannot start. */
    static std::unique_ptr<ZapDomain> Open(std::set<std::string> allowed);
    ~ZapDomain();
    ZapDomain(const ZapDomain &) = delete;
    ZapDomain &operator=(const ZapDomain &) = delete;

    /* What a service sets as its ZMQ_ZAP_DOMAIN. */
    const std::string &Name() const { return name_; }
    /* Client keys refused so far. */
    uint64_t Refused() const { return refused_->load(std::memory_order_relaxed); }

  private:
    ZapDomain(std::string name, std::shared_ptr<std::atomic<uint64_t>> refused)
        : name_(std::move(name)), refused_(std::move(refused))
    {
    }
    std::string name_;
    std::shared_ptr<std::atomic<uint64_t>> refused_;
};

} // namespace qlx

#endif
