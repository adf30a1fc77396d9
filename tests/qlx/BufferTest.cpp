#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::ReplyData;

/* How the server deals with one message, and so with its buffer. */
enum class Path {
    DatagramReleasedWithHandle, /* closed, then qlxFreeBuffer with the connection handle */
    DatagramReleasedWithNull,   /* closed, then qlxFreeBuffer with a null connection handle */
    DatagramLeftToNextGet,      /* neither closed nor released: the next get takes it back */
    AnsweredAsReceived,         /* notify and normal response with the received data */
    AnsweredWithReplacedData,   /* received buffer released, the server's own one sent */
    ClosedUnanswered,           /* qlxCloseHandle on the transaction */
    AnsweredThenReleasedAgain,  /* answered, then a needless qlxFreeBuffer */
    Count,
};

const size_t ReplacedSize = 300;

class Buffers : public qlxtest::QlxTest {
  protected:
    void SetUp() override
    {
        QlxTest::SetUp();
        ASSERT_TRUE(service_.Open("E1")) << LastPrimaryText();
        ASSERT_TRUE(client_.Connect("E1")) << LastPrimaryText();
    }
    /* What the server does for the path; returns the data of the reply the
     * client is to see, or "" when none. */
    std::string Handle(Path path)
    {
        QLXMESSAGE &message = service_.Message;
        std::string received = service_.Data();
        switch (path) {
        case Path::DatagramReleasedWithHandle:
            EXPECT_EQ(qlxCloseHandle(service_.hConn, &service_.hRequest), 1);
            EXPECT_EQ(qlxFreeBuffer(service_.hConn, &message.Buffer), 1) << LastPrimaryText();
            EXPECT_EQ(message.Buffer.Data, nullptr);
            return "";
        case Path::DatagramReleasedWithNull:
            EXPECT_EQ(qlxCloseHandle(service_.hConn, &service_.hRequest), 1);
            EXPECT_EQ(qlxFreeBuffer(0, &message.Buffer), 1) << LastPrimaryText();
            EXPECT_EQ(message.Buffer.Data, nullptr);
            return "";
        case Path::DatagramLeftToNextGet:
            return "";
        case Path::AnsweredAsReceived:
            EXPECT_TRUE(service_.Respond(QLX_PMO_NOTIFY | QLX_PMO_MORE)) << LastPrimaryText();
            EXPECT_TRUE(service_.Respond()) << LastPrimaryText();
            return received;
        case Path::AnsweredWithReplacedData: {
            char *own = static_cast<char *>(calloc(1, ReplacedSize));
            EXPECT_NE(own, nullptr);
            (void)snprintf(own, ReplacedSize, "%s", message.Buffer.Data);
            EXPECT_EQ(qlxFreeBuffer(service_.hConn, &message.Buffer), 1) << LastPrimaryText();
            message.DataLength = ReplacedSize;
            if (message.Buffer.BufferOwned == 1) {
                EXPECT_EQ(qlxFreeBuffer(0, &message.Buffer), 1);
            }
            message.Buffer = QLXBUFFER{0, ReplacedSize, own};
            EXPECT_TRUE(service_.Respond()) << LastPrimaryText();
            std::string sent(own, ReplacedSize);
            free(own);
            message.Buffer = QLXBUFFER{0, 0, nullptr};
            return sent;
        }
        case Path::ClosedUnanswered:
            EXPECT_EQ(qlxCloseHandle(service_.hConn, &service_.hRequest), 1);
            return "";
        case Path::AnsweredThenReleasedAgain:
            EXPECT_TRUE(service_.Respond()) << LastPrimaryText();
            EXPECT_EQ(qlxFreeBuffer(service_.hConn, &message.Buffer), 1) << LastPrimaryText();
            EXPECT_EQ(qlxFreeBuffer(service_.hConn, &message.Buffer), 1) << LastPrimaryText();
            return received;
        case Path::Count:
            break;
        }
        return "";
    }

    qlxtest::TestService service_;
    qlxtest::TestClient client_;
};

bool IsTransaction(Path path)
{
    return path >= Path::AnsweredAsReceived;
}

/* Over a mixed run, every buffer handed out is released exactly once,
 * whichever way the server deals with its message; the buffer always holds
 * the data and a zero byte after it. */
TEST_F(Buffers, AreReleasedOnceOnEveryPath)
{
    const int Messages = 3500;
    const int Paths = static_cast<int>(Path::Count);
    for (int i = 0; i < Messages; ++i) {
        Path path = static_cast<Path>(i % Paths);
        std::string data((static_cast<size_t>(i) * 7919) % 6000, static_cast<char>('a' + i % 26));
        if (!data.empty())
            data.back() = '\n';
        ASSERT_TRUE(
            client_.Send(IsTransaction(path) ? QLX_MSGTYPE_TRANSACTION : QLX_MSGTYPE_DATAGRAM,
                         static_cast<uint64_t>(i), data));
        ASSERT_TRUE(service_.Receive()) << i << ": " << LastPrimaryText();
        const QLXMESSAGE &message = service_.Message;
        ASSERT_EQ(service_.Data(), data) << i;
        ASSERT_EQ(message.Buffer.Data[data.size()], '\0') << i;
        ASSERT_GE(message.Buffer.BufferSize, data.size() + 1) << i;
        ASSERT_EQ(message.Buffer.BufferOwned, 0) << i;
        QLXSTATS stats = service_.Stats();
        ASSERT_EQ(stats.BuffersHanded, static_cast<uint64_t>(i) + 1);
        ASSERT_EQ(stats.BuffersReleased, static_cast<uint64_t>(i)) << i;

        std::string expected = Handle(path);
        stats = service_.Stats();
        uint64_t released = path == Path::DatagramLeftToNextGet ? i : i + 1;
        ASSERT_EQ(stats.BuffersReleased, released) << i;
        if (!IsTransaction(path))
            continue;
        QLXREPLY reply;
        ASSERT_TRUE(client_.Receive(&reply)) << i << ": " << LastPrimaryText();
        if (path == Path::AnsweredAsReceived) {
            ASSERT_EQ(reply.Flags, QLX_RF_NOTIFY | QLX_RF_MORE);
            ASSERT_TRUE(client_.Receive(&reply)) << i << ": " << LastPrimaryText();
        }
        ASSERT_EQ(reply.Kind, path == Path::ClosedUnanswered ? QLX_REPLY_END : QLX_REPLY_RESPONSE);
        ASSERT_EQ(reply.RequestId, static_cast<uint64_t>(i));
        ASSERT_EQ(ReplyData(reply), expected) << i;
    }
    ASSERT_TRUE(client_.Transaction(Messages, "held at the end"));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    QLXSTATS stats = service_.Stats();
    EXPECT_EQ(stats.BuffersHanded, Messages + 1u);
    EXPECT_EQ(stats.BuffersReleased, static_cast<uint64_t>(Messages));
    EXPECT_EQ(stats.Transactions + stats.Datagrams, Messages + 1u);
}

/* A buffer still held when the service ends goes with it. */
TEST_F(Buffers, AreTakenBackWhenTheRunEnds)
{
    ASSERT_TRUE(client_.Datagram(std::string(100000, 'd')));
    ASSERT_TRUE(service_.Receive()) << LastPrimaryText();
    ASSERT_EQ(service_.Stats().BuffersHanded, 1u);
    QLXBUFFER held = service_.Message.Buffer;
    EXPECT_EQ(qlxTerminate(&service_.hConn), 1);
    EXPECT_EQ(qlxFreeBuffer(0, &held), 0);
    EXPECT_EQ(qlxtest::LastReason(), QLXRC_NOT_OUR_BUFFER);
}

} // namespace
