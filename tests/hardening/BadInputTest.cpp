/* Bad input beside good traffic: while a well-behaved client sends at a
 * steady rate, other peers send the real server what a buggy or hostile
 * program might. The well-behaved client loses nothing, and none of the bad
 * input reaches the server as a message. */
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "client/traffic/ReplyChecks.h"
#include "qlx/core/Service.h"
#include "qlx/zmq/ZmqService.h"
#include "tests/hardening/HardeningHarness.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ServiceClient.h"

namespace {

using namespace hardening;
using tfxtest::ClientReply;
using tfxtest::RawPeer;
using tfxtest::WireHeader;

class BadInput : public HardeningTest {};

/* A transaction from peer is answered with its tagged data: every message
 * the peer sent before it has been taken by the server. */
void ExpectAnswered(RawPeer *peer, uint64_t requestId)
{
    ASSERT_TRUE(peer->Send({WireHeader(1, 'T', 0, 0, requestId), "", "after\n"}));
    std::vector<std::string> frames;
    ASSERT_TRUE(peer->Receive(&frames, Generous));
    EXPECT_EQ(frames,
              (std::vector<std::string>{WireHeader(1, 'R', 0, 0, requestId), "", "after;"}));
}

/* Every shape of malformed message a client can send: frame counts from 1 to
 * 1000 (ZeroMQ carries no message of 0 frames), header lengths, versions,
 * kinds a client must not send, message id lengths, stop requests with
 * content. */
std::vector<std::vector<std::string>> MalformedShapes()
{
    const std::string header = WireHeader(1, 'T', 0, 0, 9);
    std::vector<std::vector<std::string>> shapes;
    for (size_t count = 1; count <= 1000; ++count) {
        if (count == 3)
            continue;
        std::vector<std::string> frames(count, "");
        frames[0] = header;
        shapes.push_back(frames);
    }
    for (size_t length = 0; length <= 64; ++length) {
        if (length != header.size())
            shapes.push_back({(header + std::string(64, 'h')).substr(0, length), "", "data\n"});
    }
    for (int version = 0; version <= 255; ++version) {
        if (version != 1)
            shapes.push_back(
                {WireHeader(static_cast<uint8_t>(version), 'T', 0, 0, 9), "", "data\n"});
    }
    for (int kind = 0; kind <= 255; ++kind) {
        if (kind != 'T' && kind != 'D' && kind != 'S')
            shapes.push_back({WireHeader(1, static_cast<uint8_t>(kind), 0, 0, 9), "", "data\n"});
    }
    for (size_t length : {1, 12, 23, 25, 48, 1000}) {
        shapes.push_back({header, std::string(length, 'I'), "data\n"});
        shapes.push_back({WireHeader(1, 'D', 0, 0, 0), std::string(length, 'I'), "data\n"});
    }
    shapes.push_back({WireHeader(1, 'S', 0, 0, 0), "", "stop"});
    shapes.push_back({WireHeader(1, 'S', 0, 0, 0), std::string(24, 'I'), ""});
    return shapes;
}

/* Malformed messages of every shape are dropped and counted; the
 * well-behaved client beside them loses nothing and the server sees none. */
TEST_F(BadInput, MalformedMessagesOfEveryShapeAreDroppedAndCounted)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    std::vector<std::vector<std::string>> shapes = MalformedShapes();
    {
        RawPeer peer(Endpoint());
        for (const std::vector<std::string> &frames : shapes)
            ASSERT_TRUE(peer.Send(frames));
        ASSERT_NO_FATAL_FAILURE(ExpectAnswered(&peer, 777));
    }
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent + 1);
    EXPECT_EQ(summary.Datagrams, 0u);
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["malformed"], shapes.size());
    EXPECT_EQ(stats["transactions"], sent + 1);
    EXPECT_EQ(stats["refused"], 0u);
    EXPECT_EQ(stats["stop_requests"], 0u);
}

/* A connection to a Unix socket path, as any program can open one; -1 when
 * it cannot be made. */
int ConnectUnix(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path)
        return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string &bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

/* Reads fd until the far end closes it, up to limit; false at the limit. */
bool ClosedByFarEnd(int fd, std::chrono::milliseconds limit)
{
    auto deadline = Clock::now() + limit;
    char bytes[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd item{fd, POLLIN, 0};
        if (poll(&item, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t got = recv(fd, bytes, sizeof bytes, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return true;
    }
}

/* How long a connection that does not finish its handshake may live, with
 * room for a busy machine: the library allows 2 s, ZeroMQ by itself 30 s. */
constexpr std::chrono::seconds HandshakeBound(10);

/* ZMTP 3.1 greeting of a client with the NULL mechanism. */
std::string Greeting()
{
    std::string greeting("\xff\0\0\0\0\0\0\0\0\x7f\x03\x01", 12);
    greeting += std::string("NULL") + std::string(16, '\0');
    return greeting + std::string(32, '\0');
}

/* Bytes that are not ZeroMQ at all, and connections that stop within their
 * handshake, cost only their own connection, which the server closes within
 * its handshake limit; nothing of them reaches the server. */
TEST_F(BadInput, BytesThatAreNotZeroMQAndUnfinishedHandshakesCostOnlyTheirConnection)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    size_t descriptors = OpenDescriptors(ServerPid());
    std::mt19937 generator(7);
    std::string noise(65536, '\0');
    for (char &byte : noise)
        byte = static_cast<char>(generator());
    const std::vector<std::string> openings = {
        "",
        "",
        "",
        "",
        "",
        Greeting().substr(0, 10),
        Greeting().substr(0, 11),
        Greeting().substr(0, 40),
        Greeting(),
        "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n",
        noise,
        Greeting().substr(0, 12) + "JUNK" + std::string(48, 'j'),
    };
    std::vector<int> connections;
    for (const std::string &opening : openings) {
        int fd = ConnectUnix(SocketPath());
        ASSERT_GE(fd, 0) << strerror(errno);
        connections.push_back(fd);
        ASSERT_TRUE(opening.empty() || SendAll(fd, opening)) << strerror(errno);
    }
    auto start = Clock::now();
    for (size_t i = 0; i < connections.size(); ++i) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(HandshakeBound -
                                                                          (Clock::now() - start));
        EXPECT_TRUE(ClosedByFarEnd(connections[i], left))
            << "connection " << i << " still open after " << MsSince(start) << " ms";
        (void)close(connections[i]);
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(ServerPid()) == descriptors; }, Generous))
        << OpenDescriptors(ServerPid()) << " descriptors open, " << descriptors << " before";
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent);
    EXPECT_EQ(summary.Datagrams, 0u);
    EXPECT_EQ(Stats()["refused"], 0u);
}

/* A client that speaks ZMTP 3.1 byte by byte over its own Unix socket, so
 * that it can announce frames no ZeroMQ sender would finish. */
class ZmtpPeer {
  public:
    explicit ZmtpPeer(const std::string &path) : fd_(ConnectUnix(path)) {}
    ~ZmtpPeer()
    {
        if (fd_ >= 0)
            (void)close(fd_);
    }
    ZmtpPeer(const ZmtpPeer &) = delete;
    ZmtpPeer &operator=(const ZmtpPeer &) = delete;

    int Fd() const { return fd_; }

    /* Greeting and READY command of a DEALER. As ZeroMQ's own peers do, it
     * takes the server's greeting before it sends its READY. */
    bool Handshake()
    {
        std::string ready =
            std::string("\x05READY") + "\x0bSocket-Type" + std::string("\0\0\0\x06", 4) + "DEALER";
        std::string greeting;
        return fd_ >= 0 && SendAll(fd_, Greeting()) &&
               Read(Greeting().size(), &greeting, Clock::now() + Generous) &&
               SendAll(fd_, std::string(1, '\x04') + static_cast<char>(ready.size()) + ready);
    }

    /* A frame of size bytes announced, of which body is sent. */
    bool Frame(bool more, uint64_t size, const std::string &body)
    {
        std::string frame(1, static_cast<char>((more ? 1 : 0) | (size > 255 ? 2 : 0)));
        for (int shift = size > 255 ? 56 : 0; shift >= 0; shift -= 8)
            frame += static_cast<char>(size >> shift);
        return SendAll(fd_, frame + body);
    }

    /* The next message the server sends, its frames as bytes, skipping
     * commands; false when none comes within limit. */
    bool ReceiveMessage(std::vector<std::string> *frames, std::chrono::milliseconds limit)
    {
        auto deadline = Clock::now() + limit;
        frames->clear();
        for (;;) {
            std::string flags;
            std::string length;
            std::string body;
            if (!Read(1, &flags, deadline) || !Read(flags[0] & 2 ? 8 : 1, &length, deadline))
                return false;
            uint64_t size = 0;
            for (char byte : length)
                size = (size << 8) | static_cast<uint8_t>(byte);
            if (!Read(size, &body, deadline))
                return false;
            if (flags[0] & 4)
                continue;
            frames->push_back(body);
            if ((flags[0] & 1) == 0)
                return true;
        }
    }

  private:
    bool Read(uint64_t size, std::string *bytes, Clock::time_point deadline)
    {
        bytes->clear();
        char chunk[4096];
        while (bytes->size() < size) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd item{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&item, 1, static_cast<int>(left.count())) <= 0)
                return false;
            size_t want = std::min<uint64_t>(sizeof chunk, size - bytes->size());
            ssize_t got = recv(fd_, chunk, want, 0);
            if (got <= 0)
                return false;
            bytes->append(chunk, static_cast<size_t>(got));
        }
        return true;
    }

    int fd_;
};

/* How soon a connection that announces an oversize frame is closed: at once,
 * with room for a busy machine, and well before the server's heartbeat would
 * drop a peer that stays silent (6 s). */
constexpr std::chrono::seconds OversizeCloseBound(3);

/* A frame over the frame limit drops its sender's connection as soon as it
 * is announced; a whole oversize message never reaches the server, not even
 * to be refused, and its sender is answered again once it reconnects. */
TEST_F(BadInput, OversizeFrameCostsOnlyItsSendersConnection)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));

    ZmtpPeer zmtp(SocketPath());
    ASSERT_TRUE(zmtp.Handshake()) << strerror(errno);
    ASSERT_TRUE(zmtp.Frame(true, 16, WireHeader(1, 'T', 0, 0, 5)));
    ASSERT_TRUE(zmtp.Frame(true, 0, ""));
    ASSERT_TRUE(zmtp.Frame(false, 6, "plain\n"));
    std::vector<std::string> frames;
    ASSERT_TRUE(zmtp.ReceiveMessage(&frames, Generous));
    EXPECT_EQ(frames, (std::vector<std::string>{WireHeader(1, 'R', 0, 0, 5), "", "plain;"}));
    ASSERT_TRUE(zmtp.Frame(true, 16, WireHeader(1, 'T', 0, 0, 6)));
    ASSERT_TRUE(zmtp.Frame(true, 0, ""));
    ASSERT_TRUE(zmtp.Frame(false, qlx::MaxFrameSize + 1, "oversize"));
    EXPECT_TRUE(ClosedByFarEnd(zmtp.Fd(), OversizeCloseBound));

    RawPeer peer(Endpoint());
    const std::string oversize(qlx::MaxFrameSize + 1, 'O');
    for (uint64_t id = 10; id < 13; ++id)
        ASSERT_TRUE(peer.Send({WireHeader(1, 'T', 0, 0, id), "", oversize}));
    /* What was queued behind an oversize message may go down with its
     * connection: the peer asks again until it is answered. */
    bool answered = false;
    for (uint64_t id = 100; id < 110 && !answered; ++id) {
        ASSERT_TRUE(peer.Send({WireHeader(1, 'T', 0, 0, id), "", "after\n"}));
        while (!answered && peer.Receive(&frames, std::chrono::seconds(3))) {
            ASSERT_EQ(frames.size(), 3u);
            EXPECT_EQ(frames[0].substr(0, 2), std::string("\x01R", 2));
            answered = frames[2] == "after;";
        }
    }
    EXPECT_TRUE(answered);

    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_GE(summary.Transactions, sent + 2);
    EXPECT_LE(summary.Transactions, sent + 11);
    EXPECT_LE(summary.SizeMax, 128u);
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["refused"], 0u);
    EXPECT_EQ(stats["transactions"], summary.Transactions);
}

/* What ZeroMQ holds of an empty frame until its message can be read: a
 * message of many frames is held whole, and no library limit bounds how many
 * frames one message has. */
constexpr uint64_t BytesPerTinyFrame = 64;
constexpr size_t TinyFrames = 250000;
/* The budget for one such message: half as much again as ZeroMQ holds of it,
 * and 4 MiB; twice that under AddressSanitizer, whose redzones and size
 * classes make every allocation larger. */
constexpr uint64_t TinyFramesBudgetKiB =
    (Sanitized ? 2 : 1) * (TinyFrames * BytesPerTinyFrame * 3 / 2 / 1024 + 4096);

/* A message of a quarter of a million empty frames costs the server no more
 * than its budget, is dropped as malformed, and the same message again costs
 * nothing more: what it held is reused, nothing is kept. */
TEST_F(BadInput, MessageOfVeryManyTinyFramesStaysWithinItsMemoryBudget)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    pid_t pid = ServerPid();
    uint64_t before = ResidentKiB(pid);
    std::vector<std::string> many(TinyFrames, "");
    many[0] = WireHeader(1, 'T', 0, 0, 9);
    RawPeer peer(Endpoint());
    ASSERT_TRUE(peer.Send(many));
    ASSERT_NO_FATAL_FAILURE(ExpectAnswered(&peer, 1));
    uint64_t peak = PeakResidentKiB(pid);
    uint64_t held = ResidentKiB(pid);
    EXPECT_LE(peak - before, TinyFramesBudgetKiB)
        << "resident " << before << " KiB before, peak " << peak << " KiB";
    for (uint64_t id = 2; id <= 4; ++id) {
        ASSERT_TRUE(peer.Send(many));
        ASSERT_NO_FATAL_FAILURE(ExpectAnswered(&peer, id));
    }
    uint64_t after = ResidentKiB(pid);
    RecordProperty("resident_before_kib", std::to_string(before));
    RecordProperty("peak_kib", std::to_string(peak));
    RecordProperty("resident_after_one_kib", std::to_string(held));
    RecordProperty("resident_after_four_kib", std::to_string(after));
    if (!Sanitized) {
        EXPECT_LE(after - held, FlatKiB)
            << "resident " << held << " KiB after one such message, " << after << " KiB after four";
    }
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent + 4);
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["malformed"], 4u);
    EXPECT_EQ(stats["transactions"], sent + 4);
}

/* How long the flood of foreign message ids lasts, and the part of it
 * before its memory is sampled. */
const std::string FloodSeconds = "6";
constexpr std::chrono::seconds FloodWarmUp(2);

/* A client that floods the server with transactions and datagrams of a
 * message id it does not take gets a refusal for each transaction, its
 * datagrams are dropped, none of it reaches the server, and the server's
 * memory stays flat. */
TEST_F(BadInput, FloodOfForeignMessageIdsIsTurnedAwayWithFlatMemory)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q", "-m", "order-1"}));
    StartSteadyClient({"-m", "order-1"});
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    pid_t pid = ServerPid();
    std::string json = TempPath() + "/flood.json";
    tfxtest::Process flood({ClientPath, "-d", FloodSeconds, "-k", "2", "-w", "64", "-g", "50", "-m",
                            "order-2", "-q", "-o", json, "E1"},
                           Options());
    auto start = Clock::now();
    std::vector<uint64_t> resident;
    while (flood.Running() && Clock::now() - start < Generous) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (Clock::now() - start >= FloodWarmUp)
            resident.push_back(ResidentKiB(pid));
    }
    ProcessResult flooded = flood.Wait(Generous);
    ResultJson result;
    std::string error;
    ASSERT_TRUE(ParseResultDocument(tfxtest::ReadFile(json), &result, &error)) << error;
    ResultJson &counts = result["counts"];
    uint64_t transactions = counts["transactions"].get<uint64_t>();
    uint64_t datagrams = counts["datagrams"].get<uint64_t>();
    EXPECT_GE(transactions, 10000u) << "not much of a flood";
    EXPECT_EQ(counts["refused"].get<uint64_t>(), transactions);
    EXPECT_EQ(counts["completed"].get<uint64_t>(), 0u);
    EXPECT_EQ(result["refused_by_reason"][0]["reason"].get<uint64_t>(), 50u);
    EXPECT_EQ(flooded.ExitCode, 1);
    ASSERT_GE(resident.size(), 2u);
    uint64_t low = *std::min_element(resident.begin(), resident.end());
    uint64_t high = *std::max_element(resident.begin(), resident.end());
    RecordProperty("flood_transactions", std::to_string(transactions));
    RecordProperty("flood_datagrams", std::to_string(datagrams));
    RecordProperty("resident_low_kib", std::to_string(low));
    RecordProperty("resident_high_kib", std::to_string(high));
    if (!Sanitized) {
        EXPECT_LE(high - low, FlatKiB) << "resident memory from " << low << " to " << high
                                       << " KiB over " << resident.size() << " samples";
    }

    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent);
    EXPECT_EQ(summary.Datagrams, 0u);
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["refused"], transactions);
    EXPECT_EQ(stats["datagrams_dropped"], datagrams);
}

/* An element name far longer than any reply buffer. */
const std::string LongName = "Long-" + std::string(10000, 'n');

/* Received texts that do not fit the reply buffer, with and without line
 * feeds, each answered with the text and tag cut to fit. */
std::vector<std::string> OversizeTexts()
{
    const size_t largest = qlx::MaxDataSize;
    std::vector<std::string> texts = {"",
                                      "\n",
                                      "\n" + std::string(5000, 'b'),
                                      std::string(254, 'c') + "\n" + std::string(45, 'c'),
                                      std::string(255, 'c') + "\n" + std::string(44, 'c'),
                                      std::string(256, 'c') + "\n" + std::string(43, 'c')};
    for (size_t size : {255, 256, 257, 5000, 65536}) {
        texts.push_back(std::string(size, 'a'));
        texts.push_back(std::string(size - 1, 'a') + "\n");
    }
    texts.push_back(std::string(largest, 'a'));
    texts.push_back(std::string(largest - 1, 'a') + "\n");
    texts.push_back(std::string(largest / 2, 'a') + "\n" + std::string(largest / 2 - 1, 'a'));
    std::string lines;
    for (int i = 0; i < 3000; ++i)
        lines += "l\n";
    texts.push_back(lines);
    texts.push_back(std::string("abc\0def\n", 8) + std::string(300, 'd'));
    return texts;
}

class TextsThatDoNotFit : public BadInput, public testing::WithParamInterface<uint32_t> {};

/* Texts longer than the reply buffer, and a tag longer than any buffer,
 * are cut to fit: every reply is exactly the one the client expects, and
 * the well-behaved client beside them loses nothing. */
TEST_P(TextsThatDoNotFit, AreCutToFitTheReplyBuffer)
{
    uint32_t replySize = GetParam();
    std::vector<std::string> options;
    std::vector<std::string> steadyOptions;
    if (replySize != 0) {
        options = {"-s", std::to_string(replySize)};
        steadyOptions = {"-e", std::to_string(replySize)};
    }
    ASSERT_NO_FATAL_FAILURE(StartServer(options, LongName));
    StartSteadyClient(steadyOptions);
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    tfxtest::ServiceClient client(LongName);
    ASSERT_TRUE(client.Connected()) << client.LastError();
    std::vector<std::string> texts = OversizeTexts();
    for (uint64_t id = 1; id <= texts.size(); ++id) {
        const std::string &text = texts[id - 1];
        ASSERT_TRUE(client.SendTransaction(id, text)) << client.LastError();
        std::vector<char> expected(std::max<size_t>(text.size(), replySize) + 1);
        uint32_t length = ExpectedReply(text.data(), static_cast<uint32_t>(text.size()), replySize,
                                        LongName, expected.data());
        ClientReply reply{QLX_REPLY_RESPONSE, 0, 0, id, "", std::string(expected.data(), length)};
        ASSERT_TRUE(client.Collect(id, Generous) == std::vector<ClientReply>{reply})
            << "text " << id << " of " << text.size() << " bytes";
    }
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent + texts.size());
    EXPECT_EQ(summary.SizeMax, qlx::MaxDataSize);
}

/* Replies in a buffer of the server's own of 256 bytes (-s 256), and in the
 * library's buffer that holds the received data. */
INSTANTIATE_TEST_SUITE_P(ReplyBuffers, TextsThatDoNotFit, testing::Values(256u, 0u));

} // namespace
