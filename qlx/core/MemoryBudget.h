/* The bytes a service may hold in replies queued towards its peers, whatever
 * the transport and however many peers there are. Each peer may hold up to
 * its share, all of them together up to the limit. Past the limit a peer may
 * still hold a small floor, and a peer that holds nothing may always take one
 * reply: so a client that reads its replies as they come is never refused
 * room, however many others have stopped reading. Bytes are taken on the
 * service's thread before a reply is queued, and given back on whichever
 * thread the transport lets that very reply go: no reply is ever uncounted
 * while it is queued. */
#ifndef TFX_QLX_MEMORYBUDGET_H
#define TFX_QLX_MEMORYBUDGET_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qlx {

enum : uint64_t {
    DefaultMemoryLimit = 256ull << 20, /* QLX_MEMORY_LIMIT when it is not set */
    /* The least limit whose share holds a reply of the largest size. */
    LeastMemoryLimit = 8ull << 20,
    GreatestMemoryLimit = 1ull << 40,
    /* A share is this part of the limit: a client that reads slowly still
     * has room for a long train of large responses. */
    ShareOfLimit = 4,
    /* What a reply costs besides its data: the frames of its header and
     * message id queued in the transport, and the records that track it. */
    ReplyOverhead = 512,
    /* What a peer may always hold, the limit reached or not: the replies in
     * flight to a client that reads them as they come (30 of 8 KiB, hundreds
     * of small ones). A peer that holds nothing may take one reply of any
     * size besides. */
    PeerFloor = 256u << 10,
};

/* The limit from QLX_MEMORY_LIMIT (bytes, or a number with K, M or G); false,
 * with the failure recorded, when it is not a size within the bounds. */
bool ReadMemoryLimit(uint64_t *limit);

class MemoryBudget {
  public:
    /* The bytes one peer holds, given back from any thread. */
    struct Account {
        std::atomic<uint64_t> Held{0};
        std::shared_ptr<std::atomic<uint64_t>> Total; /* the budget's, shared */
    };

    explicit MemoryBudget(uint64_t limit);
    MemoryBudget(const MemoryBudget &) = delete;
    MemoryBudget &operator=(const MemoryBudget &) = delete;

    /* The account of the peer named by key (the transport's opaque peer),
     * opened on first use. Each queued reply refers to its account; those
     * that none refers to hold nothing and are forgotten from time to time. */
    const std::shared_ptr<Account> &AccountOf(std::string_view key);
    /* Forgets now every account that no queued reply refers to. */
    void ForgetIdleAccounts();
    /* Takes bytes for account when its share allows them, and the limit, its
     * floor or its holding nothing; otherwise takes nothing and returns
     * false. */
    bool Take(Account &account, uint64_t bytes);
    /* Gives back bytes taken for account, on any thread. */
    static void GiveBack(Account &account, uint64_t bytes);

    uint64_t Limit() const { return limit_; }
    uint64_t Share() const { return share_; }
    uint64_t Held() const { return total_->load(std::memory_order_relaxed); }

  private:
    uint64_t limit_;
    uint64_t share_;
    std::shared_ptr<std::atomic<uint64_t>> total_;
    std::unordered_map<std::string, std::shared_ptr<Account>> accounts_;
    size_t sweepAt_;
    std::string lastKey_; /* the peer asked for last, looked up without hashing */
    std::shared_ptr<Account> last_;
};

} // namespace qlx

#endif
