#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "metrics/MetricsListener.h"
#include "tests/support/LoopbackPort.h"

namespace {

struct AddressCase {
    const char *Text;
    const char *Host; /* null: refused */
    unsigned Port;
};

class MetricsAddress : public testing::TestWithParam<AddressCase> {};

/* A bare port is loopback; anything else is given in full as IPv4 and port. */
TEST_P(MetricsAddress, IsReadOrRefused)
{
    sockaddr_in address{};
    const char *why = nullptr;
    bool read = ParseMetricsAddress(GetParam().Text, &address, &why);
    ASSERT_EQ(read, GetParam().Host != nullptr) << (why != nullptr ? why : "");
    if (!read)
        return;
    char host[INET_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, &address.sin_addr, host, sizeof host), GetParam().Host);
    EXPECT_EQ(ntohs(address.sin_port), GetParam().Port);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MetricsAddress,
    testing::Values(AddressCase{"9464", "127.0.0.1", 9464}, AddressCase{"1", "127.0.0.1", 1},
                    AddressCase{"0.0.0.0:9464", "0.0.0.0", 9464},
                    AddressCase{"192.168.1.5:65535", "192.168.1.5", 65535},
                    AddressCase{":9464", nullptr, 0}, AddressCase{"localhost:9464", nullptr, 0},
                    AddressCase{"0", nullptr, 0}, AddressCase{"65536", nullptr, 0},
                    AddressCase{"9464x", nullptr, 0}, AddressCase{"1.2.3.4:", nullptr, 0},
                    AddressCase{"", nullptr, 0}, AddressCase{"-1", nullptr, 0}));

/* A body of the size a test asks for. */
void RenderBody(MetricsText *text, void *context)
{
    const std::string &body = *static_cast<const std::string *>(context);
    AppendText(text, body.data(), body.size());
}

class Listener : public testing::Test {
  protected:
    void Start(const std::string &body)
    {
        body_ = body;
        port_ = tfxtest::FreeLoopbackPort();
        ASSERT_NE(port_, 0);
        sockaddr_in address{};
        const char *why = nullptr;
        ASSERT_TRUE(ParseMetricsAddress(std::to_string(port_).c_str(), &address, &why));
        char failure[256];
        server_ = StartMetricsServer(address, RenderBody, &body_, failure, sizeof failure);
        ASSERT_NE(server_, nullptr) << failure;
    }
    void TearDown() override
    {
        StopMetricsServer(server_);
        for (int fd : fds_)
            (void)close(fd);
    }

    int Connect()
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        fds_.push_back(fd);
        return fd;
    }

    /* What the listener sends back before it closes, read within 20 s. */
    static std::string Exchange(int fd, const std::string &request)
    {
        EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        std::string reply;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, 1000) <= 0)
                continue;
            char chunk[65536];
            ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return reply;
            reply.append(chunk, size_t(got));
        }
        ADD_FAILURE() << "no end of the reply within 20 s";
        return reply;
    }

    std::string Scrape() { return Exchange(Connect(), "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"); }

    std::string body_;
    int port_ = 0;
    MetricsServer *server_ = nullptr;
    std::vector<int> fds_;
};

/* GET /metrics gets the exposition whole, with its media type and length. */
TEST_F(Listener, ScrapeGetsTheWholeExposition)
{
    Start("x_total 1\n");
    EXPECT_EQ(Scrape(), "HTTP/1.1 200 OK\r\n"
                        "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                        "Content-Length: 10\r\nConnection: close\r\n\r\nx_total 1\n");
    EXPECT_EQ(MetricsRepliesSent(server_), 1u);
}

struct RequestCase {
    std::string Request;
    const char *Status; /* the reply's first line */
};

class ListenerRequest : public Listener, public testing::WithParamInterface<RequestCase> {};

/* Only GET /metrics is served; other paths are not found, the rest is bad. */
TEST_P(ListenerRequest, IsAnsweredWithItsStatus)
{
    Start("x_total 1\n");
    std::string reply = Exchange(Connect(), GetParam().Request);
    EXPECT_EQ(reply.substr(0, reply.find('\r')), GetParam().Status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListenerRequest,
    testing::Values(RequestCase{"GET /metrics?x=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK"},
                    RequestCase{"GET /metricsx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
                    RequestCase{"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
                    RequestCase{"POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
                    RequestCase{"\x01\x02\xff garbage\r\n\r\n", "HTTP/1.1 400 Bad Request"},
                    RequestCase{std::string("GET /metrics\0 HTTP/1.1\r\n\r\n", 26),
                                "HTTP/1.1 400 Bad Request"}));

/* A head over the limit is closed without an answer. */
TEST_F(Listener, OversizedRequestIsClosed)
{
    Start("x_total 1\n");
    EXPECT_EQ(Exchange(Connect(), std::string(MetricsRequestLimit, 'G')), "");
}

/* Hundreds of connections that send nothing, and one that asked for a large
 * body and never reads it, leave a scrape made after them served. */
TEST_F(Listener, SilentAndStuckPeersCostOnlyTheirOwnConnections)
{
    Start(std::string(8u << 20, '#') + "\n");
    int stuck = Connect();
    static const char Request[] = "GET /metrics HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(stuck, Request, sizeof Request - 1, 0), ssize_t(sizeof Request - 1));
    for (int i = 0; i < 300; ++i)
        (void)Connect();
    std::string reply = Scrape();
    EXPECT_EQ(reply.substr(0, reply.find('\r')), "HTTP/1.1 200 OK");
    EXPECT_EQ(reply.size(), reply.find("\r\n\r\n") + 4 + (8u << 20) + 1);
}

/* Ways a scraper misbehaves; each leaves its connection as it is. */
enum class Misbehaviour { Silent, Garbage, HalfHead, NeverReads, HugeHead, Vanishes };
const Misbehaviour Misbehaviours[] = {Misbehaviour::Silent,   Misbehaviour::Garbage,
                                      Misbehaviour::HalfHead, Misbehaviour::NeverReads,
                                      Misbehaviour::HugeHead, Misbehaviour::Vanishes};

/* Rounds of misbehaving scrapers drawn by a seed (TFX_METRICS_SEED replays
 * one): after each round a well-behaved scrape gets the whole exposition. */
TEST_F(Listener, WellBehavedScrapeIsServedBesideRandomMisbehaviour)
{
    Start(std::string(1u << 20, '#') + "\n");
    const char *given = getenv("TFX_METRICS_SEED");
    uint64_t seed = given != nullptr ? strtoull(given, nullptr, 10) : uint64_t(time(nullptr));
    std::mt19937_64 draw(seed);
    SCOPED_TRACE("TFX_METRICS_SEED=" + std::to_string(seed));
    for (int round = 0; round < 8; ++round) {
        for (int peer = int(draw() % 60); peer > 0; --peer) {
            int fd = Connect();
            std::string request = "GET /metrics HTTP/1.1\r\n\r\n";
            switch (Misbehaviours[draw() % std::size(Misbehaviours)]) {
            case Misbehaviour::Silent:
                continue;
            case Misbehaviour::Garbage:
                request = std::string(size_t(draw() % 3000), char(draw() % 256)) + "\r\n\r\n";
                break;
            case Misbehaviour::HalfHead:
                request = "GET /metr";
                break;
            case Misbehaviour::NeverReads:
                break;
            case Misbehaviour::HugeHead:
                request = "GET /metrics HTTP/1.1\r\nX: " + std::string(MetricsRequestLimit, 'x');
                break;
            case Misbehaviour::Vanishes:
                shutdown(fd, SHUT_RDWR);
                continue;
            }
            (void)send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        std::string reply = Scrape();
        ASSERT_EQ(reply.substr(0, reply.find('\r')), "HTTP/1.1 200 OK") << "round " << round;
        ASSERT_EQ(reply.size(), reply.find("\r\n\r\n") + 4 + (1u << 20) + 1) << "round " << round;
    }
}

} // namespace
