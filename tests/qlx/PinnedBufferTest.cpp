#include "qlx/zmq/PinnedBuffer.h"

#include <cstdint>
#include <ostream>

#include <gtest/gtest.h>

namespace {

struct ChargeCase {
    const char *What;
    uintptr_t Last;   /* where the last reply sent back in place lay, 0 for none */
    uintptr_t At;     /* where this one lies */
    size_t Size;      /* its data bytes */
    uint64_t Charged; /* besides its own bytes */
};

void PrintTo(const ChargeCase &c, std::ostream *out)
{
    *out << c.What;
}

class ReceiveBufferCharges : public testing::TestWithParam<ChargeCase> {};

/* A chain of replies read into one buffer is charged the buffer once. */
TEST_P(ReceiveBufferCharges, OncePerBufferAReplyMayHold)
{
    const ChargeCase &c = GetParam();
    qlx::Frame data{reinterpret_cast<const uint8_t *>(c.At), c.Size};
    EXPECT_EQ(qlx::ReceiveBufferCharge(c.Last, data), c.Charged);
}

const uintptr_t Base = 0x100000;
const uint64_t Buffer = qlx::ReceiveBufferCost;

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveBufferCharges,
    testing::Values(ChargeCase{"first of a chain", 0, Base, 64, Buffer},
                    ChargeCase{"next in the buffer", Base, Base + 100, 64, 0},
                    ChargeCase{"a buffer's data further", Base, Base + 8192, 64, 0},
                    ChargeCase{"past a buffer's data", Base, Base + 8193, 64, Buffer},
                    ChargeCase{"the same place again", Base, Base, 64, Buffer},
                    ChargeCase{"before the last", Base, Base - 100, 64, Buffer},
                    ChargeCase{"copied into its message", 0, Base, 32, 0},
                    ChargeCase{"the least left in place", 0, Base, 33, Buffer},
                    ChargeCase{"the most left in place", 0, Base, 8191, Buffer},
                    ChargeCase{"memory of its own", 0, Base, 8192, 0}));

} // namespace
