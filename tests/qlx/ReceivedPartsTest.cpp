/* What a received part keeps, measured against the libzmq this build links:
 * the reply sent back in the part it came in is charged its data and
 * ReplyOverhead, and a queued message ReceivedPartsOverhead besides its
 * data, which holds only while each part keeps no memory but its own. With
 * ZeroMQ's zero-copy receive, a part of 33 to 8,191 bytes read on its own
 * keeps a whole read buffer of 18,156 bytes, and this test fails. */
#include <malloc.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qlx/core/MemoryBudget.h"
#include "qlx/zmq/ZmqService.h"
#include "qlx/zmq/ZmqSocket.h"
#include "tests/support/Subprocess.h"

namespace {

constexpr int Held = 64;      /* parts held at once, each read on its own */
constexpr int WaitMs = 10000; /* generous: a part normally comes at once */

/* What one held part of size costs at most: its bytes and its counters, with
 * room for ZeroMQ's queue records spread over the parts. */
constexpr size_t PartCostLimit(size_t size)
{
    return size + qlx::ReceivedPartsOverhead / 3;
}

class ReceivedParts : public testing::TestWithParam<size_t> {};

TEST_P(ReceivedParts, KeepNoMemoryButTheirOwn)
{
    if (TFX_SANITIZED)
        GTEST_SKIP() << "the sanitizer's allocator keeps its own books";
    const size_t size = GetParam();
    tfxtest::TempDir dir;
    const std::string endpoint = "ipc://" + dir.Path() + "/parts.sock";
    qlx::Socket receiver;
    ASSERT_TRUE(receiver.Open(ZMQ_PULL));
    ASSERT_TRUE(qlx::ReceivedPartsOwnMemory());
    ASSERT_TRUE(receiver.SetInt(ZMQ_RCVTIMEO, WaitMs, "ZMQ_RCVTIMEO"));
    ASSERT_EQ(zmq_bind(receiver.Get(), endpoint.c_str()), 0);
    void *context = zmq_ctx_new();
    void *sender = zmq_socket(context, ZMQ_PUSH);
    ASSERT_EQ(zmq_connect(sender, endpoint.c_str()), 0);
    const std::string data(size, 'p');
    std::vector<zmq_msg_t> parts(Held);
    /* A round first, so that the connections' own buffers and queues are made. */
    auto holdParts = [&] {
        for (zmq_msg_t &part : parts) {
            ASSERT_EQ(zmq_send(sender, data.data(), size, 0), static_cast<int>(size));
            ASSERT_EQ(zmq_msg_init(&part), 0);
            ASSERT_EQ(zmq_msg_recv(&part, receiver.Get(), 0), static_cast<int>(size));
        }
    };
    auto closeParts = [&] {
        for (zmq_msg_t &part : parts)
            (void)zmq_msg_close(&part);
    };
    ASSERT_NO_FATAL_FAILURE(holdParts());
    closeParts();
    auto before = static_cast<int64_t>(mallinfo2().uordblks);
    ASSERT_NO_FATAL_FAILURE(holdParts());
    int64_t grown = static_cast<int64_t>(mallinfo2().uordblks) - before;
    EXPECT_LE(grown, static_cast<int64_t>(Held * PartCostLimit(size)))
        << grown / Held << " bytes a part";
    EXPECT_LE(PartCostLimit(size), size + qlx::ReplyOverhead);
    closeParts();
    (void)zmq_close(sender);
    (void)zmq_ctx_term(context);
}

/* In the message itself, copied, in ZeroMQ's read buffer, its own memory. */
INSTANTIATE_TEST_SUITE_P(Sizes, ReceivedParts,
                         testing::Values(0, 32, 33, 40, 4096, 8191, 8192, 100000));

} // namespace
