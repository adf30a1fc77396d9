#include "qlx/core/MemoryBudget.h"

#include <algorithm>

#include "qlx/core/Settings.h"

namespace qlx {

enum : size_t { AccountsBeforeSweep = 256 };

bool ReadMemoryLimit(uint64_t *limit)
{
    return ReadSizeSetting("QLX_MEMORY_LIMIT", DefaultMemoryLimit, LeastMemoryLimit,
                           GreatestMemoryLimit, limit);
}

MemoryBudget::MemoryBudget(uint64_t limit)
    : limit_(limit), share_(limit / ShareOfLimit),
      total_(std::make_shared<std::atomic<uint64_t>>(0)), sweepAt_(AccountsBeforeSweep)
{
}

const std::shared_ptr<MemoryBudget::Account> &MemoryBudget::AccountOf(std::string_view key)
{
    if (last_ != nullptr && key == lastKey_)
        return last_;
    auto found = accounts_.find(std::string(key));
    if (found == accounts_.end()) {
        if (accounts_.size() >= sweepAt_)
            ForgetIdleAccounts();
        auto account = std::make_shared<Account>();
        account->Total = total_;
        found = accounts_.emplace(std::string(key), std::move(account)).first;
    }
    lastKey_ = found->first;
    last_ = found->second;
    return last_;
}

/* An account referred to by the table alone holds nothing, and only this
 * thread could refer to it again. The next sweep waits until the table has
 * doubled, so each account costs a constant share of the sweeps. */
void MemoryBudget::ForgetIdleAccounts()
{
    last_.reset();
    std::erase_if(accounts_, [](const auto &entry) { return entry.second.use_count() == 1; });
    sweepAt_ = std::max<size_t>(AccountsBeforeSweep, 2 * accounts_.size());
}

/* Only this thread adds to the counts; other threads only lower them, so a
 * check against a count read a moment ago errs towards refusing. */
bool MemoryBudget::Take(Account &account, uint64_t bytes)
{
    uint64_t held = account.Held.load(std::memory_order_relaxed);
    if (held + bytes > share_)
        return false;
    if (total_->load(std::memory_order_relaxed) + bytes > limit_ && held + bytes > PeerFloor &&
        held != 0)
        return false;
    account.Held.fetch_add(bytes, std::memory_order_relaxed);
    total_->fetch_add(bytes, std::memory_order_relaxed);
    return true;
}

void MemoryBudget::GiveBack(Account &account, uint64_t bytes)
{
    account.Held.fetch_sub(bytes, std::memory_order_relaxed);
    account.Total->fetch_sub(bytes, std::memory_order_relaxed);
}

} // namespace qlx
