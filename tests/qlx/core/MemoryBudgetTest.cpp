/* What the reply budget lets a peer queue: its share, the limit, the floor
 * past the limit, and one reply always for a peer that holds nothing. */
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "qlx/core/MemoryBudget.h"

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t Limit = qlx::LeastMemoryLimit; /* 8 MiB: a share of 2 MiB */

struct BudgetCase {
    const char *Name;
    uint64_t Held;   /* by the peer that asks */
    uint64_t Others; /* by other peers, each within its share */
    uint64_t Bytes;  /* asked for */
    bool Taken;
};

std::ostream &operator<<(std::ostream &out, const BudgetCase &c)
{
    return out << c.Name;
}

class Budget : public testing::TestWithParam<BudgetCase> {};

TEST_P(Budget, TakesWhatItsRulesAllowAndGivesItBack)
{
    const BudgetCase &c = GetParam();
    qlx::MemoryBudget budget(Limit);
    auto take = [&](const std::string &peer, uint64_t bytes) {
        return budget.Take(*budget.AccountOf(peer), bytes);
    };
    for (uint64_t left = c.Others, other = 0; left > 0; ++other) {
        uint64_t part = std::min(left, budget.Share());
        ASSERT_TRUE(take("other" + std::to_string(other), part));
        left -= part;
    }
    if (c.Held != 0) {
        ASSERT_TRUE(take("asker", c.Held));
    }
    EXPECT_EQ(take("asker", c.Bytes), c.Taken);
    uint64_t held = c.Held + (c.Taken ? c.Bytes : 0);
    EXPECT_EQ(budget.AccountOf("asker")->Held.load(), held);
    EXPECT_EQ(budget.Held(), c.Others + held);
    qlx::MemoryBudget::GiveBack(*budget.AccountOf("asker"), held);
    EXPECT_EQ(budget.Held(), c.Others);
}

const uint64_t Share = Limit / qlx::ShareOfLimit;
const uint64_t Full = Limit - 100 * KiB; /* held by others: the limit all but reached */

INSTANTIATE_TEST_SUITE_P(
    Rules, Budget,
    testing::Values(
        BudgetCase{"WithinItsShare", 0, 0, Share, true},
        BudgetCase{"PastItsShare", Share - 1, 0, 2, false},
        BudgetCase{"PastItsShareHoldingNothing", 0, 0, Share + 1, false},
        BudgetCase{"WithinTheLimit", Share / 2, Limit - Share, Share / 2, true},
        BudgetCase{"PastTheLimit", 300 * KiB, Full, 200 * KiB, false},
        BudgetCase{"PastTheLimitWithinTheFloor", 100 * KiB, Full, qlx::PeerFloor - 100 * KiB, true},
        BudgetCase{"PastTheFloor", 100 * KiB, Full, qlx::PeerFloor - 100 * KiB + 1, false},
        BudgetCase{"PastTheLimitHoldingNothing", 0, Limit, Share, true}),
    [](const testing::TestParamInfo<BudgetCase> &info) { return std::string(info.param.Name); });

/* Accounts that no queued reply refers to are forgotten; one that a queued
 * reply refers to stays, with its bytes. */
TEST(BudgetAccounts, ForgottenOnlyWhenNoQueuedReplyRefersToThem)
{
    qlx::MemoryBudget budget(Limit);
    auto queued = budget.AccountOf("in flight");
    ASSERT_TRUE(budget.Take(*queued, 3 * KiB));
    for (const char *peer : {"quiet", "gone"})
        (void)budget.AccountOf(peer);
    budget.ForgetIdleAccounts();
    EXPECT_EQ(budget.Held(), 3 * KiB);
    EXPECT_EQ(budget.AccountOf("in flight"), queued);
    EXPECT_EQ(queued->Held.load(), 3 * KiB);
}

} // namespace
